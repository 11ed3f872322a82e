// The "Settings" dialog TVedoruzEzuPrefs: the Qt widgets of the station and
// program settings and the log buttons. The dialog is thin: every event goes
// to PrefsController inside the error guard.
//
// Focus rule (as in the main window): a field-exit check runs when the
// operator moves the focus from one control of the dialog to another; moves
// made by a handler, and moves into or out of another window, run none. The
// Save and User Guide buttons take no focus, so Save (click or F9) runs the
// check of the field the operator is in itself.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <memory>

#include "app/DialogHooks.h"
#include "app/PrefsController.h"

class QButtonGroup;

namespace qv::app {

class MainController;

class TVedoruzEzuPrefs : public QDialog, public PrefsView {
  Q_OBJECT
public:
  TVedoruzEzuPrefs(MainController& main, DialogHooks hooks, QWidget* parent = nullptr);
  ~TVedoruzEzuPrefs() override;

  PrefsController& Controller() { return *Controller_; }
  QWidget* Widget(PCtl c) const { return Widgets_[static_cast<size_t>(c)]; }

  // ---- PrefsView
  std::string Text(PCtl c) const override;
  void SetText(PCtl c, std::string_view text) override;
  bool Checked(PCtl c) const override;
  void SetChecked(PCtl c, bool checked) override;
  bool Enabled(PCtl c) const override;
  void SetEnabled(PCtl c, bool enabled) override;
  void SetItems(PCtl c, const std::vector<std::string>& items) override;
  int32_t ItemIndex(PCtl c) const override;
  void SetItemIndex(PCtl c, int32_t index) override;
  void SetLook(PCtl c, uint32_t back, uint32_t text) override;
  void SetMasked(PCtl c, bool masked) override;
  void Focus(PCtl c) override;
  PCtl FocusedControl() const override;
  bool Prompt(const std::string& title, const std::string& label, std::string& value) override;
  void OpenUrl(const std::string& url) override;
  void CloseDialog() override;
  void EndProgram() override;
  void Inform(const std::string& text) override;
  void Warn(const std::string& text) override;
  bool Confirm(const std::string& text) override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

private:
  void Build();
  void Register(PCtl c, QWidget* w);
  void Connect();
  void Handle(const std::function<void()>& handler);
  void OnFocusChanged(QWidget* old, QWidget* now);
  PCtl CtlOf(const QObject* object) const;
  QButtonGroup* Group(PCtl c) const;

  std::unique_ptr<PrefsController> Controller_;
  std::array<QWidget*, static_cast<size_t>(PCtl::Count)> Widgets_{};
  QButtonGroup* ContTyp_ = nullptr;
  QButtonGroup* DatTim_ = nullptr;
  DialogHooks Hooks_;
  int HandlerDepth_ = 0;
  bool Activated_ = false;
  bool Closing_ = false;
};

}  // namespace qv::app
