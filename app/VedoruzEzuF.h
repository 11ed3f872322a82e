// The main window TVedoruzEzu: the Qt widgets of the QSO entry, the totals,
// the status panel, the buttons and the log grid, and the program's entry.
// The window is thin: it forwards every event to MainController inside the
// error guard and shows what the controller sets through MainView.
//
// Focus rule: a field-exit check runs when the operator moves the focus from
// one control of this window to another. Moves into or out of another window
// (a message box appearing or closing) run no check, nor do moves that a
// handler makes; a check that puts the focus back cancels the move, so the
// control the operator was moving to is not entered, and a click on Add To
// Log that caused the move adds nothing.
#pragma once

#include <QMainWindow>
#include <QUrl>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "app/MainView.h"

class QButtonGroup;
class QLabel;
class QTableView;
class QTimer;

namespace qv::app {

class HamScopeConversation;
class LogGridModel;
class MainController;
class TVedoruzEzuPrt;
struct DialogHooks;
class SettingsStore;
class TableFactory;

class TVedoruzEzu : public QMainWindow, public MainView {
  Q_OBJECT
public:
  // programFolder: ExeDir, with a trailing '/'.
  TVedoruzEzu(TableFactory& tables, SettingsStore& settings, const std::string& programFolder,
              QWidget* parent = nullptr);
  ~TVedoruzEzu() override;

  // FormCreate, show (with the stored placement), FormActivate.
  void Start();

  MainController& Controller() { return *Controller_; }
  LogGridModel& GridModel() { return *GridModel_; }
  QWidget* Widget(Ctl c) const { return Widgets_[static_cast<size_t>(c)]; }
  QTableView* Grid() const { return Grid_; }

  // Replaces the desktop's URL handler (tests).
  void SetUrlOpener(std::function<void(const QUrl&)> opener) { UrlOpener_ = std::move(opener); }
  // Replaces the message boxes (tests): kind "warning", "information",
  // "confirm"; the result answers a confirmation.
  using MessageHook = std::function<bool(const std::string& kind, const std::string& text)>;
  void SetMessageHook(MessageHook hook) { MessageHook_ = std::move(hook); }
  // The settings dialog, shown modally by RunSettingsDialog.
  void SetSettingsDialog(std::function<void()> dialog) { SettingsDialog_ = std::move(dialog); }
  // Replaces the input prompt of the dialogs (tests).
  using PromptHook = std::function<bool(const std::string& title, const std::string& label, std::string& value)>;
  void SetPromptHook(PromptHook hook) { PromptHook_ = std::move(hook); }
  // The printed report (its printer dialog can be replaced by tests).
  TVedoruzEzuPrt& ReportWindow() { return *Report_; }

  // ---- MainView
  std::string Text(Ctl c) const override;
  void SetText(Ctl c, std::string_view text) override;
  bool Checked(Ctl c) const override;
  void SetChecked(Ctl c, bool checked) override;
  bool Visible(Ctl c) const override;
  void SetVisible(Ctl c, bool visible) override;
  int32_t Width(Ctl c) const override;
  void SetWidth(Ctl c, int32_t pixels) override;
  void SetHeight(Ctl c, int32_t pixels) override;
  void SetMaxLength(Ctl c, int32_t chars) override;
  void SetFontSize(Ctl c, int32_t points) override;
  void SetColor(Ctl c, uint32_t winColor) override;
  void SetFontColor(Ctl c, uint32_t winColor) override;
  void SetItems(Ctl c, const std::vector<std::string>& items) override;
  int32_t ItemIndex(Ctl c) const override;
  void SetItemIndex(Ctl c, int32_t index) override;
  void Focus(Ctl c) override;
  Ctl FocusedControl() const override;
  void SetGridColumnVisible(int32_t column, bool visible) override;
  int32_t ClientWidth() const override;
  void SetTimerEnabled(MainTimer timer, bool enabled) override;
  void SetTimerInterval(MainTimer timer, int32_t ms) override;
  bool IsActiveWindow() const override;
  WindowState CurrentWindowState() const override;
  void ShowError(const std::string& text) override;
  void OpenUrl(const std::string& url) override;
  void CloseWindow() override;
  // AppUi
  void Inform(const std::string& text) override;
  void Warn(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  // MainWindowHooks
  void RunSettingsDialog() override;
  void SetTitle(const std::string& title) override;
  WindowPlacement CurrentPlacement() override;
  void ApplyPlacement(const WindowPlacement& placement) override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  struct Look {
    bool HasBack = false;
    uint32_t Back = 0;
    bool HasFore = false;
    uint32_t Fore = 0;
  };

  void BuildWidgets();
  void Register(Ctl c, QWidget* w);
  void Connect();
  void InstallFilters();
  // Runs a controller handler inside the error guard.
  void Handle(const std::function<void()>& handler);
  void OnFocusChanged(QWidget* old, QWidget* now);
  Ctl CtlOf(const QObject* object) const;
  void ApplyLook(Ctl c);
  bool Message(const std::string& kind, const std::string& text);
  // The settings dialog, the log editor, the multiplier view, the printed
  // report and the output choice (VedoruzEzuFDialogs.cpp).
  void InstallDialogs();
  DialogHooks Hooks();

  std::unique_ptr<MainController> Controller_;
  std::unique_ptr<LogGridModel> GridModel_;
  // The DDE conversation with the digital-mode program (DdeClientConv1).
  std::unique_ptr<HamScopeConversation> HamScope_;
  std::array<QWidget*, static_cast<size_t>(Ctl::Count)> Widgets_{};
  std::array<Look, static_cast<size_t>(Ctl::Count)> Looks_{};
  QTableView* Grid_ = nullptr;
  QButtonGroup* LookupGroup_ = nullptr;
  QButtonGroup* OutputGroup_ = nullptr;
  QTimer* Timer(MainTimer timer) const { return Timers_[static_cast<size_t>(timer)]; }
  // Timer1, Timer2 and the backup's timer, by MainTimer.
  std::array<QTimer*, 3> Timers_{};
  int HandlerDepth_ = 0;
  bool FocusMovedByHandler_ = false;
  // The control the operator's last focus move went to when the exit check
  // of the field left refused the move (the focus went back to the field).
  QWidget* RefusedFocusTarget_ = nullptr;
  bool Started_ = false;
  bool ClosingHandled_ = false;
  bool HasPlacement_ = false;
  WindowPlacement Placement_;
  std::function<void(const QUrl&)> UrlOpener_;
  MessageHook MessageHook_;
  std::function<void()> SettingsDialog_;
  PromptHook PromptHook_;
  std::unique_ptr<TVedoruzEzuPrt> Report_;
};

// The process entry: one instance per program folder (a second one ends at
// once, returning 0), then the main window and the event loop.
// The program's database side around its window, up for this object's
// life: the engine's component runtime (left up at the end when it was up
// before), the engine's questions and wait window on Qt, and the tables over
// database files. Made after the application object, destroyed after the
// window.
class ProgramDatabases {
public:
  ProgramDatabases();
  ~ProgramDatabases();
  ProgramDatabases(const ProgramDatabases&) = delete;
  ProgramDatabases& operator=(const ProgramDatabases&) = delete;
  TableFactory& Tables();

private:
  struct Parts;
  std::unique_ptr<Parts> Parts_;
};

int RunProgram(int argc, char** argv);

}  // namespace qv::app
