// The engine's user interface on Qt: the password prompt, message boxes
// titled like the program's error boxes (ErrorBoxTitle, "Quorvex"), the wait
// window, and minimising the program for the wait window's background mode.
// The program installs one with VLMSetEngineUi while its windows exist.
//
// It lives beside the program, in the library qv_engineui above both the
// engine and qv_gui, because platform/ sits below the engine and must not
// include it. The Qt pieces it builds on (QtText, ErrorGuard, the password
// dialog) stay in platform/gui and keep their namespace qv::gui.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <vector>

#include "engine/components/VLMEngineUi.h"

namespace qv::gui {

class TfrmWait;

class QtEngineUi : public EngineUi {
public:
  QtEngineUi();
  ~QtEngineUi() override;
  QtEngineUi(const QtEngineUi&) = delete;
  QtEngineUi& operator=(const QtEngineUi&) = delete;

  bool AskPassword(const std::string& nameText, std::string& password) override;
  bool Confirm(const std::string& text) override;
  void Information(const std::string& text) override;
  void Warning(const std::string& text) override;
  // The program's error box (ReportError).
  void Error(const std::string& text) override;

  void ShowWaitWindow(const std::string& text, int32_t percent, WaitWindowEvents& events) override;
  void SetWaitProgress(int32_t percent) override;
  void HideWaitWindow() override;

  void ProcessMessages() override;
  // Minimises every visible top-level window; when the user brings one of
  // them back, the others follow and events hears of it once.
  void MinimiseApplication(WaitWindowEvents& events) override;
  void RestoreApplication() override;

  // The wait window, nullptr before it was first shown (tests).
  TfrmWait* WaitWindow() const { return Wait_.get(); }

private:
  class RestoreWatcher;
  void RestoreMinimised();
  void WindowRestored();

  std::unique_ptr<TfrmWait> Wait_;
  std::unique_ptr<RestoreWatcher> Watcher_;
  std::vector<QPointer<QWidget>> Minimised_;
  // Told of the next restore; then, until the report is delivered, pending.
  WaitWindowEvents* RestoreEvents_ = nullptr;
  WaitWindowEvents* PendingRestored_ = nullptr;
};

}  // namespace qv::gui
