// The main window's logic: start-up (the three tables, settings, first
// recount), activation and the layout per log kind, the clock and notice
// timers, hot keys, closing; the QSO entry fields' key filters and checks;
// the call check with duplicate test, recall and member look-up; the online
// lookup; adding a contact. The window (VedoruzEzuF) forwards its events
// here and shows what this class tells its MainView.
//
// Implementation files: MainController.cpp (start, activation, layouts,
// timers, keys, settings, closing), MainControllerQsoChecks.cpp (field
// checks, Clear, Add To Log), MainControllerLogWrites.cpp (what follows a
// change committed to the log or refused: the backup's update, the log
// opened again after a failed write, the one message; Empty Log),
// MainControllerCallCheck.cpp (call check and online lookup),
// MainControllerLink.cpp (the link to the digital-mode program),
// MainControllerDialogs.cpp (what the dialogs are given, the output choice),
// MainControllerBackup.cpp (a kept backup read through and compared with
// the log).
//
// Focus and the field handlers: FieldExit runs when the operator moves the
// focus from one control of the window to another (Tab, a click); it may put
// the focus back, and then the move is cancelled. FieldEnter runs when a
// control receives the focus, by the operator or by a handler (FocusField).
// Enter in a field runs that field's exit check first (AddToLogByEnter): a
// value the check refuses is never logged.
//
// While no log is selected (IsLogSelected), the checks and the lookup work
// but nothing is written to a log: Add To Log, the log editor, emptying the
// log and the outputs (print, export) refuse.
//
// The backup copy: after the log is opened (the start, the settings dialog)
// and its records were read whole (the start's recount, a read through
// after the dialog), the log's database starts its chain of changes and the
// backup is brought up to date with the log a slice at each tick of the
// backup timer, between the operator's keys; whatever may write the log
// (Add To Log, the log editor, the settings dialog, emptying) and the
// window's close finish the slices first. Every change the program commits
// to the log (an add, the editor's post or delete, an emptied log) then
// writes into the backup only what its commit changed, the first of a start
// included, and a backup left behind by a crash is the log again once the
// window has been open and closed. A backup update that fails is told in a
// box (the change is in the log; the backup is no way back until it is made
// anew) and tried again at each tick of the clock and at the close until
// it is the log again.
//
// A write to the log that fails (a full disk, an I/O error) leaves the
// log's database refusing every use until it is closed: whichever road
// wrote (an add, the editor's post or delete, emptying) closes it and opens
// it again, which rolls back what the commit left, finds out from the file
// whether the change was stored after all (then nothing is said), and else
// says so in one box, headline first, with the engine's words and the way
// on; what that reopen found (a repair, a rollback) is then taken as a
// start takes it (LogReopened). The next write works without a restart
// once the cause is gone.
//
// A file is whole only when the engine's whole-file check finds every page
// of it whole and it reads through every index (ReadLogCopy). A log that is
// not whole, or whose records could not be read, is never copied over its
// backup: it is opened read-only (OpenLog) and connected for writing only
// by the operator's first write, and the backup is kept (the operator is
// told once; contacts logged from then on are in the log only until
// "Restore Log" carries them over) until a change finds the log whole, or
// the operator restores it; a log whose repair was declined keeps it until
// a start repairs the log (the question is asked once a session). A log
// whose open rolled back a commit cut short (TakeRollbackNotice, at a start
// or at a reopen) is as last committed: the backup follows it, silently,
// once the log is whole with the very contacts the backup holds (else the
// two are judged as below). Two cases keep the backup, marked so in the
// log's settings (KeptFor), across starts and changes, until a start finds
// it equal to the log again (after "Restore Log") or the operator chooses
// the log: a log that committed nothing after its backup was stamped but
// differs from it (BackupFollow: one of the two was changed outside the
// program), and a log repaired at an open. Either way the backup is first
// checked and read through (JudgeKeptBackup): one that is not whole is no
// way back and is made anew from the log, with a word; else the box says
// how the two compare, contact by contact, and asks whether to keep the log
// (the backup made anew from it). A log that cannot be opened at all is
// told once, as one that cannot be read (and when the backup is not whole
// either, that neither file is); the window then goes on without it, and
// what needs the log says why it cannot.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppState.h"
#include "app/MainView.h"
#include "app/TableFactory.h"
#include "appdata/BackupCopy.h"

namespace qv {
class DataSet;
class StringList;
}  // namespace qv

namespace qv::app {

class SettingsStore;
struct QsoRecord;
struct SerialState;

// The conversation with the digital-mode program (the window holds it; its
// item changes and close event come back through LinkItemChange and
// LinkClosed).
class HamScopeLink {
public:
  virtual ~HamScopeLink() = default;
  // Opens the conversation; true when the program answered.
  virtual bool SetLink(const std::string& service, const std::string& topic) = 0;
  // Names an item component: the item's changes are reported from now on.
  virtual void StartAdvise(const std::string& item) = 0;
  virtual void Poke(const std::string& item, const std::string& text) = 0;
  // Ends the conversation; the close event follows.
  virtual void CloseLink() = 0;
};

// The way back the messages about a damaged log name.
inline constexpr std::string_view kBackupKeptText =
    "Its backup copy is kept as it was: \"Restore Log\" in \"Settings\" brings the Log back from it.";
// What becomes of the contacts logged into a log that could not be read.
inline constexpr std::string_view kLoggedUntilRestoreText =
    "Contacts logged from now on are in the Log only until then: the restore carries them into the Log it "
    "brings back.";

// What "Restore Log" carried from the log it replaced into the restored one
// (CarryMissingContacts).
struct CarryReport {
  // Contacts of the replaced log whose number the backup lacks, now in the
  // restored log.
  int32_t Carried = 0;
  // Contacts of the replaced log with a number the backup holds but other
  // values, or a backup contact's values under another number: the
  // restored log keeps the backup's.
  int32_t Differing = 0;
  // Entries of the replaced log that could not be read (-1: how many is not
  // known), and the first failure met while reading it.
  int32_t Unread = 0;
  std::string Failure;
  // Records of the replaced log, missing in the backup, that no add or post
  // would have stored (no call, mode, frequency or date): damage read as a
  // record, left in the kept log.
  int32_t Garbled = 0;
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
  // The HTTP GET of the lookup: the answer's lines; when it fails, a short
  // reason in failure.
  using FetchFunction = std::function<bool(const std::string& url, StringList& lines, std::string& failure)>;
  // The longest the online lookup may keep the window waiting.
  static constexpr int32_t kLookupDeadlineMs = 10000;

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
  // A slice of bringing the backup copy up to date with the log just opened
  // (the backup timer runs while one is going on).
  void BackupTimer();

  // ---- entry fields
  // The character a typed key becomes in field, 0 to drop it.
  char KeyPress(Ctl field, char key, int32_t caretPos);
  // The field's exit check; false when it refused the field's text (the
  // focus is then back in the field).
  bool FieldExit(Ctl field);
  void FieldEnter(Ctl field);
  void FieldChange(Ctl field);
  void IBMClick();

  // ---- buttons and choices
  void AddToLogButtonClick();
  // Enter in the field (Ctl::Count: in no entry field): the field's exit
  // check, then Add To Log unless the check refused.
  void AddToLogByEnter(Ctl field);
  void ClearButtonClick();
  void ExitButtonClick();
  void UserGuidBtnClick();
  void SettingsButtonClick();
  void EditLogBtnClick();
  void ViewMultBtnClick();
  void OnlineLookupClick();
  void CallEnteredExit();
  // Empties the log (the settings dialog's request); true when done. A
  // failure is told in one box and leaves the log as the file holds it.
  bool EmptyLog();
  // The settings dialog is about to open the log at logFile: its commit
  // count now is what the backup is compared with after the open (an open
  // may commit, setting a damaged map right).
  void NoteLogBeforeOpen(const std::string& logFile);
  // ... and could not open it: told when the dialog has closed.
  void NoteLogOpenFailed(const std::string& failure);
  // Reads the log file at file (a backup copy, or the open log beside its
  // pair): every page checked by the engine's whole-file check, then
  // through a pair of its own, read-only, every record through each index,
  // every field, each index listing as many records as the table counts,
  // and the same ones. True when it read whole (each record's fields,
  // joined, in rows when given, sorted); else the reason in failure (a
  // missing file too).
  bool ReadLogCopy(const std::string& file, std::vector<std::string>* rows, std::string& failure);
  // The first problem the whole-file check finds in file, worded for a box;
  // empty when every page of it is whole.
  std::string FileDamageOf(const std::string& file);
  // Opens the log's table on the file the log pair names (a failure passes
  // on). A file that fails the whole-file check is connected read-only, so
  // that nothing is written to it before the operator writes (a write
  // connects it again for writing, EnsureLogOpen); one that a read-only
  // connect refuses (it needs repair) is connected as usual, which asks the
  // repair question.
  void OpenLog();
  // "Restore Log" put the backup in place of the log: a backup kept until
  // the operator chose, and the notices of the log it replaced, are
  // forgotten.
  void BackupRestored();
  // Before "Restore Log" puts restoredCopy (a verified copy of the backup,
  // not yet in place) where the log is: every contact of the replaced log
  // (read from replacedLog, its kept copy, as far as it can be read: in
  // record order, and through each index, from both ends, where a walk
  // fails) whose number restoredCopy lacks is appended to restoredCopy.
  // Throws when restoredCopy cannot be written, so that the restore fails
  // and leaves the log as it was.
  CarryReport CarryMissingContacts(const std::string& restoredCopy, const std::string& replacedLog);
  // The sentences of the restore's message about a carry.
  static std::string CarryText(const CarryReport& report, std::string_view keptName);

  // ---- the link to the digital-mode program
  void ConnHSBtnClick();
  // The conversation's events. They run in arrival order, never inside a
  // modal scope: while one is open they wait, and run when the last closes.
  void LinkItemChange(const std::string& item, const std::string& text);
  void LinkClosed();
  // A modal scope is open while a modal dialog or an output runs (and, in
  // the window, while any event handler runs).
  // Leaving the last scope runs the waiting events, unless runEvents is
  // false (the scope ends by an exception: they wait for the next chance).
  void EnterModalScope() { ++ModalDepth_; }
  void LeaveModalScope(bool runEvents = true);
  class ModalScope {
  public:
    explicit ModalScope(MainController& c) : C_(c), Unwinding_(std::uncaught_exceptions()) { C_.EnterModalScope(); }
    ~ModalScope() { C_.LeaveModalScope(std::uncaught_exceptions() == Unwinding_); }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

  private:
    MainController& C_;
    int Unwinding_;
  };

  // ---- state and collaborators
  AppState& State() { return State_; }
  MainState& Module() { return Module_; }
  // The live log; valid from FormCreate on.
  bool HasLog() const { return Log_ != nullptr; }
  DatabaseTable& Log() { return *Log_; }
  DataSet& LogData();
  // How the last backup update of an added contact that succeeded went.
  const BackupUpdate& LastBackupUpdate() const { return LastBackup_; }
  // The backup is being brought up to date with the log opened (BackupTimer).
  bool BackupCatchingUp() const { return CatchUp_ != nullptr; }
  // The backup is kept until the operator chooses: it differs from the log
  // (changed outside the program, or the log repaired).
  bool LogChangedOutside() const { return ChangedOutside_; }
  bool StateTableOpen() const { return StatesOpen_; }
  bool MemberTableOpen() const { return MembersOpen_; }

  // The HTTP GET of the online lookup (FetchLookupReply by default), its host and
  // its deadline (kLookupDeadlineMs by default).
  void SetFetch(FetchFunction fetch) { Fetch_ = std::move(fetch); }
  void SetLookupHost(std::string host) { LookupHost_ = std::move(host); }
  void SetLookupDeadline(int32_t ms) { LookupDeadlineMs_ = ms; }
  // The conversation with the digital-mode program, closed until
  // ConnHSBtnClick opens it; FormClose closes and forgets it.
  void SetHamScopeLink(HamScopeLink* link) { HamScope_ = link; }
  // Shown modally by the log editor and multiplier view buttons.
  void SetLogEditor(std::function<void()> show) { ShowLogEditor_ = std::move(show); }
  void SetMultiplierView(std::function<void()> show) { ShowMultView_ = std::move(show); }

  // ---- the roads that write the log (MainControllerLogWrites.cpp), for
  // the log editor too
  // Before a change of the log: the backup's catch-up is finished.
  void BeforeLogWrite() { FinishBackupCatchUp(); }
  // A change committed to the log: the backup follows it (or stays kept,
  // said in the status line). what names the change in the box that tells
  // a failed update of the backup ("The contact was logged"). The current
  // record stays the current record.
  void LogWritten(std::string_view what);
  // After a write to the log failed: the table and the log's database
  // closed and opened again (the open rolls back what the failed commit
  // left), the count and the totals taken from the file. Empty when the
  // log opened again, else why not (the next write opens it). The caller
  // tells the operator what became of the write, then calls LogReopened.
  std::string ReopenLogAfterFailedWrite();
  // What the last open of the log's database found, taken as a start takes
  // it (once; nothing when there is nothing to take): a repair made is
  // judged (JudgeKeptBackup, the kept mark set first), a repair declined
  // keeps the backup, and a commit cut short and rolled back lets the
  // backup follow a log that reads whole with the very contacts it holds.
  void LogReopened();
  // The one message of a write that was not stored: headline, the engine's
  // words, why the log could not be opened again, then the damage known
  // with the way back, or what is kept and when to try again (kept: "The
  // entry is kept: add it again"; the hint names free space on the disk
  // only when the disk was full).
  std::string RefusedWriteText(std::string_view headline, const std::string& reason,
                               const std::string& reopenFailure, std::string_view kept) const;

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
  enum class LookupTable : uint8_t { Open, NoDatabase, NoTable, Damaged };
  // Opens the state or member table read-only; a file that raises any error
  // on the way counts as damaged.
  LookupTable OpenLookupTable(DatabaseTable& table);
  void LoadWindowSettings();
  void RunSettings();
  void ApplyLayout();
  void ResizeWwdxReports(std::string_view mode);
  void ShowUtcClock();
  void ShowTotals();
  void ShowNotice();
  void SetNumSent(const std::string& text);
  void ShowLogCount();
  void ApplySerial();
  void ApplySerial(const SerialState& serial);
  void FillStateList();
  // After the log was opened, with the reason its records could not be
  // read (empty: read whole): the temporaries of backup rebuilds and
  // restores that a killed run left are removed, and the backup catch-up
  // starts (the backup following at once a log whose open rolled a cut
  // commit back); after a read failure the backup is kept and the operator
  // told so, after a repair at open it is judged (JudgeKeptBackup).
  void LogOpened(const std::string& readFailure);
  // Reads every record of the open log once and goes to the last; the
  // message of the first failure, empty when the log read whole (or no log
  // is open).
  std::string ReadLogThrough();
  // The log's chain of changes starts and the backup is compared with the
  // log (or rebuilt) in slices, so that the first add already takes only its
  // commit's changes. Anything that may write the log finishes the slices
  // first.
  void StartBackupCatchUp(BackupFollow follow, std::optional<uint32_t> countBeforeOpen);
  void FinishBackupCatchUp();
  // The end of the catch-up (done, or failed: shown), its timer stopped; a
  // backup the catch-up kept is judged (JudgeKeptBackup).
  void EndBackupCatchUp(bool done);
  // Why a backup that differs from a log which reads whole is kept, as
  // marked in the log's settings across starts: it differed at the same
  // commit count (one of the two was changed outside the program), or the
  // log was repaired at its open and the operator has not chosen the
  // repaired log.
  enum class KeptFor : uint8_t { None, Difference, Repair };
  KeptFor BackupKeptMark();
  void SetBackupKeptMark(KeptFor why);
  // The backup differs from the open log, which is whole, for the reason
  // why (newly: found at this open). A backup that is not whole is no way
  // back: it is made anew from the log, and the operator is told. Else the
  // operator is shown how the two compare, contact by contact, and asked
  // whether to keep the log as it is (yes: the backup follows it; no: it
  // is kept, and marked so).
  void JudgeKeptBackup(KeptFor why, bool newly);
  // The contacts of the open log, each record's fields joined, in contact
  // order (the log left on its last record); empty when it cannot be read.
  std::vector<std::string> LogRows();
  // A read of the open log failed: told once (with the way back) unless a
  // failure was told since its open, and its backup is kept from then on.
  void TellReadFailure(const std::string& failure);
  // The same without a box (a read on the way to a contact: the write's
  // own message, if any, names it; the status line says the backup is kept).
  void NoteReadFailure(const std::string& failure);
  // The box of a log that could not be read, for failure: the way back when
  // the backup reads whole (it is read through here), else that neither
  // file is whole, naming the logs earlier restores kept.
  std::string UnreadableLogText(const std::string& failure);
  // What is known to be wrong with the log since its open (a read that
  // failed, a change outside the program), with the way back; empty when
  // nothing is.
  std::string KnownDamage() const;
  // checks
  void ExitCheck(Ctl field);
  bool RefuseWithoutLog();
  // The log open (for writing when write: a log opened read-only because it
  // failed the whole-file check is connected again for writing), or opened
  // now (a start or a reopen after a failed write left it closed); when it
  // cannot be, one message, headline first, with the engine's reason and
  // the way back, and false.
  bool EnsureLogOpen(const std::string& headline, bool write);
  // After a failed post: the log database closed and opened again and the
  // totals counted from the file; true when the file holds the contact all
  // the same (the last of countBefore + 1 records), else one message naming
  // the failure and false.
  bool ReopenAfterFailedWrite(const std::string& reason, int32_t countBefore, const QsoRecord& qso);
  // The backup brought up to date after a commit to the log; a failure is
  // told in a box (what: the change, as LogWritten takes it) and the update
  // is tried again later (BackupRetry_). True when the backup is the log.
  bool UpdateBackupAfterCommit(std::string_view what);
  // A backup update that failed tried again (the clock's tick, the close):
  // silent, the status line cleared once it is the log again.
  void RetryBackupUpdate();
  void FocusField(Ctl field);
  void StatusLook(uint32_t background, uint32_t text);
  void StatusText(uint32_t background, uint32_t textColor, const std::string& text);
  void RecallFields(DataSet& log, bool allFields);
  void RunOnlineLookup(const std::string& call);
  void RawLookup(const std::string& call);
  void Poke(const std::string& item, const std::string& text);
  bool IsContest(ContestKind kind) const;
  std::string UtcText(std::string_view pattern) const;
  // link
  struct LinkEvent {
    bool Close = false;
    std::string Item;
    std::string Text;
  };
  void RunLinkEvents();
  void DdeClientConv1Close();
  void ClientItemChange(const std::string& item, const std::string& text);
  void ClientRadioChange(const std::string& text);

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
  // Names the state and member files that could not be opened; shown in the
  // status panel at each activation.
  std::string DamagedFilesNote_;
  FetchFunction Fetch_;
  std::string LookupHost_;
  int32_t LookupDeadlineMs_ = kLookupDeadlineMs;
  // The field whose exit check runs, and whether the check put the focus
  // back into it (refused).
  Ctl Exiting_ = Ctl::Count;
  bool ExitRefused_ = false;
  HamScopeLink* HamScope_ = nullptr;
  int32_t ModalDepth_ = 0;
  bool RunningLinkEvents_ = false;
  std::deque<LinkEvent> LinkEvents_;
  std::function<void()> ShowLogEditor_;
  std::function<void()> ShowMultView_;
  ReportPrinter* Printer_ = nullptr;
  std::function<double()> LocalNow_;
  // The last backup update failed: the backup may be partly written under
  // a stamp that looks current, so the next one compares it whole.
  bool BackupInDoubt_ = false;
  // The backup is kept as it was, not brought up to date from the log (see
  // the file's head); so from the start until a log opened reads whole (a
  // log whose open failed is read through by the next add first).
  bool BackupKept_ = true;
  // The backup is kept, whatever the log reads like, until the operator
  // chooses (see the file's head): the log differed from it at the same
  // commit count, or was repaired and the operator kept the backup.
  bool ChangedOutside_ = false;
  // Why the log could not be opened or read, at its open or since.
  std::string ReadFailure_;
  // The log needed repair at its open, and the repair was declined: its
  // backup stays kept whatever the log reads like.
  bool RepairDeclined_ = false;
  // The log's commit count before its open, and the log it is of.
  std::optional<uint32_t> CountBeforeOpen_;
  std::string CountBeforeOpenFile_;
  // Why the settings dialog could not open the log it selected.
  std::string OpenFailureNoted_;
  BackupUpdate LastBackup_;
  // An update of the backup after a commit failed and is to be tried again.
  bool BackupRetry_ = false;
  std::unique_ptr<BackupCatchUp> CatchUp_;
};

}  // namespace qv::app
