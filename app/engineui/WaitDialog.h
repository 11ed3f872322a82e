// The wait window of long engine operations: "Please Wait..." with a message,
// a progress bar, "Abort" and "Background Mode". It takes all input of the
// program while it is on screen (application-modal, shown without a nested
// event loop, so the work goes on between two of its steps); when it hides,
// the window that was active before comes back to the front.
//
// When it appears and what the buttons do is decided by the engine's
// WaitController (engine/components/VLMDlgWait.h); this form only reports
// the clicks.
#pragma once

#include <QDialog>
#include <QPointer>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;
class WaitWindowEvents;

namespace qv::gui {

class TfrmWait : public QDialog {
public:
  TfrmWait();

  // Shows (or, when on screen, updates) the window; the clicks go to events
  // until Hide.
  void ShowWait(const std::string& text, int percent, WaitWindowEvents* events);
  void SetProgress(int percent);
  void HideWait();

  QLabel* lMessage;
  QProgressBar* pb;
  QPushButton* btnCancel;
  QPushButton* btnBgMode;

protected:
  // Escape means "Abort", as the Abort button is the cancel button; the
  // window has no close button and is not closed by the user.
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

private:
  WaitWindowEvents* Events_ = nullptr;
  QPointer<QWidget> SavedActive_;
};

}  // namespace qv::gui
