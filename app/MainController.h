// The main window's logic: start-up (the three tables, settings, first
// recount), activation and the layout per log kind, the clock and notice
// timers, hot keys, closing; the QSO entry fields' key filters and checks;
// the call check with duplicate test, recall and member look-up; the online
// lookup; adding a contact. The window (VedoruzEzuF) forwards its events
// here and shows what this class tells its MainView.
//
// Implementation files: MainController.cpp (start, activation, layouts,
// timers, keys, settings, closing), QsoChecks.cpp (field checks, Clear, Add
// To Log, EmptyLog), CallCheck.cpp (call check and online lookup).
//
// Focus and the field handlers: FieldExit runs when the operator moves the
// focus from one control of the window to another (Tab, a click); it may put
// the focus back, and then the move is cancelled. FieldEnter runs when a
// control receives the focus, by the operator or by a handler (FocusField).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppState.h"
#include "app/MainView.h"
#include "app/TableFactory.h"

namespace qv {
class DataSet;
class StringList;
}  // namespace qv

namespace qv::app {

class SettingsStore;

// The pokes to the digital-mode program while its link is up.
class HamScopeLink {
public:
  virtual ~HamScopeLink() = default;
  virtual void Poke(const std::string& item, const std::string& text) = 0;
};

// Keys the window hands to FormKeyDown before its controls see them.
enum class HotKey : uint8_t { Other, F1, F2, F3, F4, F8, F9, F11 };

// Module state of the main window beyond AppState (read and written by the
// dialogs too).
struct MainState {
  std::string CurrentDate;  // date shown in the date field
  std::string QsoDate;      // date written into the next record
  std::string CurrentCall;  // the call field with plain zeros
  std::string LastFreq;
  bool FirstTick = true;
  bool HamScopeLinked = false;
  bool MemberFound = false;
  bool EmptyLogRequested = false;
};

class MainController {
public:
  using FetchFunction = std::function<bool(const std::string& url, StringList& lines)>;

  // programFolder: ExeDir, with a trailing '/'.
  MainController(MainView& view, TableFactory& tables, SettingsStore& settings, std::string programFolder);
  ~MainController();
  MainController(const MainController&) = delete;
  MainController& operator=(const MainController&) = delete;

  // ---- window events
  void FormCreate();
  void FormActivate();
  void FormClose();
  void FormResize();
  void FormKeyDown(HotKey key);
  void Timer1Timer();
  void Timer2Timer();

  // ---- entry fields
  // The character a typed key becomes in field, 0 to drop it.
  char KeyPress(Ctl field, char key, int32_t caretPos);
  void FieldExit(Ctl field);
  void FieldEnter(Ctl field);
  void FieldChange(Ctl field);
  void IBMClick();

  // ---- buttons and choices
  void AddToLogButtonClick();
  void ClearButtonClick();
  void ExitButtonClick();
  void UserGuidBtnClick();
  void SettingsButtonClick();
  void EditLogBtnClick();
  void ViewMultBtnClick();
  void OnlineLookupClick();
  void CallEnteredExit();
  // Empties the log (the settings dialog's request); true when done.
  bool EmptyLog();

  // ---- state and collaborators
  AppState& State() { return State_; }
  MainState& Module() { return Module_; }
  // The live log; valid from FormCreate on.
  bool HasLog() const { return Log_ != nullptr; }
  DatabaseTable& Log() { return *Log_; }
  DataSet& LogData();
  bool StateTableOpen() const { return StatesOpen_; }
  bool MemberTableOpen() const { return MembersOpen_; }

  // The HTTP GET of the online lookup (FetchUrlText by default) and its host.
  void SetFetch(FetchFunction fetch) { Fetch_ = std::move(fetch); }
  void SetLookupHost(std::string host) { LookupHost_ = std::move(host); }
  // The link to the digital-mode program; none until it is opened.
  void SetHamScopeLink(HamScopeLink* link) { HamScope_ = link; }
  // Shown modally by the log editor and multiplier view buttons.
  void SetLogEditor(std::function<void()> show) { ShowLogEditor_ = std::move(show); }
  void SetMultiplierView(std::function<void()> show) { ShowMultView_ = std::move(show); }

  // ---- for the dialogs and the output choice (MainControllerDialogs.cpp)
  SettingsStore& Store() { return Settings_; }
  // The member table when it is open, else nullptr.
  DataSet* MemberData();
  // The State values of the state table, in table order (empty without it).
  std::vector<std::string> StateNames();
  // The clock timer stops while the settings dialog is active and starts
  // again (1500 ms) after a successful save.
  void StopClock();
  // After the settings dialog saved: both status panels cleared, the layout
  // of the log's kind, the clock restarted, the entry count shown.
  void ApplySavedSettings();
  // The output choice's click: the print or the export of the selected item,
  // then the frequency field and the choice put back as they were.
  void OutFmtRadGrpClick();
  // The printed report's printer; none: printing does nothing.
  void SetReportPrinter(ReportPrinter* printer) { Printer_ = printer; }
  // The local clock of the print date (Now by default).
  void SetLocalClock(std::function<double()> clock) { LocalNow_ = std::move(clock); }

private:
  class PlacementOnce;

  // start and layout
  void LoadWindowSettings();
  void RunSettings();
  void ApplyLayout();
  void ResizeWwdxReports(std::string_view mode);
  void ShowTotals();
  void ShowNotice();
  void SetNumSent(const std::string& text);
  void ShowLogCount();
  void ApplySerial();
  void FillStateList();
  // checks
  void FocusField(Ctl field);
  void StatusLook(uint32_t background, uint32_t text);
  void StatusText(uint32_t background, uint32_t textColor, const std::string& text);
  void RecallFields(DataSet& log, bool allFields);
  void RunOnlineLookup(const std::string& call);
  void RawLookup(const std::string& call);
  void Poke(const std::string& item, const std::string& text);
  bool IsContest(ContestKind kind) const;
  std::string UtcText(std::string_view pattern) const;

  MainView& View_;
  TableFactory& Tables_;
  SettingsStore& Settings_;
  AppState State_;
  MainState Module_;
  std::unique_ptr<PlacementOnce> Hooks_;
  std::unique_ptr<DatabaseTable> Log_;
  std::unique_ptr<DatabaseTable> States_;
  std::unique_ptr<DatabaseTable> Members_;
  bool StatesOpen_ = false;
  bool MembersOpen_ = false;
  FetchFunction Fetch_;
  std::string LookupHost_;
  HamScopeLink* HamScope_ = nullptr;
  std::function<void()> ShowLogEditor_;
  std::function<void()> ShowMultView_;
  ReportPrinter* Printer_ = nullptr;
  std::function<double()> LocalNow_;
};

}  // namespace qv::app
