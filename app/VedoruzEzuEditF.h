// The log editor window TVedoruzEzuEdit: an editable grid over the live log
// (the main window's dataset), the navigator tool bar, the call and serial
// searches and the close button. Thin: every event goes to EditController
// inside the error guard. The window has no close box; it closes through
// "[F9]  CLOSE" (Escape and the window manager's close ask the same way).
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "app/DialogHooks.h"
#include "app/EditController.h"

class QLineEdit;
class QTableView;
class QToolBar;
class QPushButton;
class QLabel;

namespace qv::app {

class LogEditModel;
class MainController;
class MainView;

class TVedoruzEzuEdit : public QDialog, public EditView {
  Q_OBJECT
public:
  TVedoruzEzuEdit(MainController& main, MainView& mainView, DialogHooks hooks, QWidget* parent = nullptr);
  ~TVedoruzEzuEdit() override;

  EditController& Controller() { return *Controller_; }
  LogEditModel& Model() { return *Model_; }
  QTableView* Grid() const { return Grid_; }
  // The navigator's button of a name ("nbPost"), for tests.
  QAction* NavigatorAction(NavBtn button) const;
  QLineEdit* SearchField(ECtl c) const;

  // ---- EditView
  std::string Text(ECtl c) const override;
  void SetCaption(const std::string& caption) override;
  void Maximize() override;
  void SetGridColumnVisible(int32_t column, bool visible) override;
  void Focus(ECtl c) override;
  bool ConfirmClose(const std::string& text) override;
  void CloseWindow() override;
  void Inform(const std::string& text) override;
  void Warn(const std::string& text) override;
  bool Confirm(const std::string& text) override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

private:
  void Build();
  void Handle(const std::function<void()>& handler);
  void FormResize();

  std::unique_ptr<EditController> Controller_;
  std::unique_ptr<LogEditModel> Model_;
  DialogHooks Hooks_;
  QTableView* Grid_ = nullptr;
  QToolBar* Navigator_ = nullptr;
  QLineEdit* CallSrch_ = nullptr;
  QLineEdit* NumSrch_ = nullptr;
  QPushButton* CallSrchBtn_ = nullptr;
  QPushButton* NumSrchBtn_ = nullptr;
  QPushButton* CloseBtn_ = nullptr;
  QWidget* SearchIndent_ = nullptr;
  bool Activated_ = false;
  bool Closing_ = false;
};

}  // namespace qv::app
