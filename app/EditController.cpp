#include "app/EditController.h"

#include <utility>

#include "app/AppState.h"
#include "app/LogFiles.h"
#include "app/MainController.h"
#include "app/MainView.h"
#include "app/QsoEntry.h"
#include "appdata/LogSchemas.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace qv::app {

namespace {

bool Editing(const DataSet& ds) { return ds.State() == dsEdit || ds.State() == dsInsert; }

// Makes the first record (in the current order) whose NumSent is the number
// wanted current; the current record stays when none is. Serials are stored
// as typed (" 007") or computed ("7"), so they are compared as numbers.
bool LocateSerial(DataSet& ds, int64_t wanted) {
  ds.CheckBrowseMode();
  const Bookmark mark = ds.GetBookmark();
  ds.DisableControls();
  auto enable = ScopeExit([&] { ds.EnableControls(); });
  Field* numSent = ds.FieldByName("NumSent");
  for (ds.First(); !ds.Eof(); ds.Next()) {
    int64_t serial = 0;
    if (TryStrToInt64(numSent->AsString(), serial) && serial == wanted) return true;
  }
  ds.GotoBookmark(mark);
  return false;
}

}  // namespace

EditController::EditController(EditView& view, MainController& main, MainView& mainView)
    : View_(view), Controller_(main), Log_(main.Log()), State_(main.State()), Main_(mainView) {
  DataSet& ds = Log_.Data();
  BeforePost_ = ds.BeforePost;
  BeforeDelete_ = ds.BeforeDelete;
  AfterPost_ = ds.AfterPost;
  AfterDelete_ = ds.AfterDelete;
  ds.BeforePost = [this](DataSet& d) {
    CheckPostedRow(d);
    NoteWrite(d, PendingWrite::Kind::Post);
  };
  ds.BeforeDelete = [this](DataSet& d) {
    if (BeforeDelete_) BeforeDelete_(d);
    NoteWrite(d, PendingWrite::Kind::Delete);
  };
  ds.AfterPost = [this](DataSet& d) {
    Committed_ = true;
    if (AfterPost_) AfterPost_(d);
  };
  ds.AfterDelete = [this](DataSet& d) {
    Committed_ = true;
    if (AfterDelete_) AfterDelete_(d);
  };
}

EditController::~EditController() {
  DataSet& ds = Log_.Data();
  ds.BeforePost = std::move(BeforePost_);
  ds.BeforeDelete = std::move(BeforeDelete_);
  ds.AfterPost = std::move(AfterPost_);
  ds.AfterDelete = std::move(AfterDelete_);
}

std::string_view EditController::WrittenText(PendingWrite::Kind what) {
  return what == PendingWrite::Kind::Post ? "The change was stored in the Log" : "The record was deleted from the Log";
}

void EditController::NoteWrite(DataSet& ds, PendingWrite::Kind what) {
  Controller_.BeforeLogWrite();
  Pending_.What = what;
  Pending_.Id = ds.FieldByName(kQsoIdField)->AsInteger();
  Pending_.Row = what == PendingWrite::Kind::Post ? QsoReader(ds).Read() : QsoRecord();
  Committed_ = false;
}

bool EditController::ReopenWithKeptEdit() {
  if (Log_.Data().Active()) return true;
  const std::string failure = Controller_.ReopenLogAfterFailedWrite();
  if (!failure.empty()) {
    View_.Warn(Controller_.RefusedWriteText("The Log could not be opened again!", failure, {},
                                            Kept_.What == PendingWrite::Kind::Post
                                                ? "The change is kept in the editor: post it again"
                                                : "Try again"));
    return false;
  }
  Controller_.LogReopened();
  if (Kept_.What == PendingWrite::Kind::Post) PutBack(Kept_);
  Kept_ = {};
  return true;
}

bool EditController::PutBack(const PendingWrite& w) {
  DataSet& ds = Log_.Data();
  try {
    if (!ds.Locate(kQsoIdField, HostVariant(w.Id), 0)) return false;
    ds.Edit();
    WriteQso(ds, w.Row);
    return true;
  } catch (const std::exception&) {
    try {
      if (Editing(ds)) ds.Cancel();
    } catch (const std::exception&) {
    }
    return false;
  }
}

bool EditController::RunWrite(const std::function<void()>& action) {
  if (!ReopenWithKeptEdit()) return false;
  Pending_ = {};
  Committed_ = false;
  std::exception_ptr failure;
  bool done = false;
  try {
    action();
    done = true;
  } catch (const ESilentException&) {
    // A post the checks refused (they have told the operator): no write.
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  const PendingWrite::Kind what = Pending_.What;
  if (Committed_ && what != PendingWrite::Kind::None) Controller_.LogWritten(WrittenText(what));
  if (!failure) return done;
  // A failure that met no write of this action (a read), or one after its
  // commit, goes to the window's error box as before.
  if (what == PendingWrite::Kind::None || Committed_) std::rethrow_exception(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    RecoverFailedWrite(e.what());
  }
  return false;
}

void EditController::RecoverFailedWrite(const std::string& reason) {
  const PendingWrite w = std::exchange(Pending_, PendingWrite());
  const bool post = w.What == PendingWrite::Kind::Post;
  const std::string reopenFailure = Controller_.ReopenLogAfterFailedWrite();
  DataSet& ds = Log_.Data();
  bool stored = false;
  bool found = false;
  if (reopenFailure.empty()) {
    try {
      found = ds.Locate(kQsoIdField, HostVariant(w.Id), 0);
      stored = post ? found && QsoReader(ds).Read() == w.Row : !found;
    } catch (const std::exception&) {
    }
  }
  if (stored) {
    Controller_.LogWritten(WrittenText(w.What));
    return;
  }
  // A refused edit goes back into its record, for a post once the cause is
  // gone (or a cancel); while the log cannot be opened it waits for the
  // next action.
  bool kept = false;
  if (post && !reopenFailure.empty()) {
    Kept_ = w;
    kept = true;
  } else if (post && found) {
    kept = PutBack(w);
  }
  View_.Warn(Controller_.RefusedWriteText(
      post ? "The change could not be written to the Log!" : "The record could not be deleted from the Log!",
      reason, reopenFailure,
      post ? (kept ? "The change is kept in the editor: post it again"
                   : "The record is as it was before the change: make the change again")
           : "The record is still in the Log: delete it again"));
  Controller_.LogReopened();
}

void EditController::CheckPostedRow(DataSet& ds) {
  const auto time = [](std::string_view t) { return t.empty() || IsTimeText(t); };
  struct Check {
    const char* Field;
    std::function<bool(std::string_view)> Valid;
    std::string_view Message;
  };
  std::string date;
  const auto storedDate = [&](std::string_view t) { return ReadStoredDate(t, date); };
  const Check checks[] = {{"Freq", IsFrequencyText, kInvalidFrequencyText},
                          {"TimeStart", time, kInvalidTimeText},
                          {"TimeEnd", time, kInvalidTimeText},
                          {"QSODate", storedDate, kInvalidDateText}};
  const auto refuse = [&](std::string_view message) {
    View_.Warn(std::string(message));
    ds.Cancel();
    throw ESilentException();
  };
  for (const Check& c : checks)
    if (!c.Valid(ds.FieldByName(c.Field)->AsString())) refuse(c.Message);
  // A date in an older form ("2024/05/07", as the entry once took it) is the
  // same date: it is stored as the exports write it.
  Field* qsoDate = ds.FieldByName("QSODate");
  if (date != qsoDate->AsString()) qsoDate->SetAsString(date);
  // The call is required, and stored in capitals as the call field types it,
  // so that the duplicate check and the exports find it.
  Field* call = ds.FieldByName("Call");
  std::string text = call->AsString();
  if (!NormaliseCallText(text)) refuse(kRequiredFieldsText);
  if (text != call->AsString()) call->SetAsString(text);
  if (BeforePost_) BeforePost_(ds);
}

void EditController::FormActivate() {
  View_.SetCaption(std::string(kEditCaption));
  View_.Maximize();
  NavigatorUsed_ = false;
  LastNavigatorAction_.clear();

  // The columns of the reports (5, 7), the serials (6, 8), the member mark
  // and points (15, 16) and the notes (18); a later rule overrides an
  // earlier one.
  struct Rule {
    bool Reports, Serials, Member, Notes;
  };
  auto apply = [&](const Rule& r) {
    for (int32_t c : {5, 7}) View_.SetGridColumnVisible(c, r.Reports);
    for (int32_t c : {6, 8}) View_.SetGridColumnVisible(c, r.Serials);
    for (int32_t c : {15, 16}) View_.SetGridColumnVisible(c, r.Member);
    View_.SetGridColumnVisible(18, r.Notes);
  };
  const std::string& code = State_.Station.TypeContest;
  if (code == "GP") apply({true, false, false, true});
  if (State_.Station.TypeLog) apply({true, true, false, true});
  if (code == "WWDX") apply({true, false, false, true});
  if (code == "NAQP") apply({false, false, false, true});
  if (code == "IBM") apply({false, true, true, true});
}

void EditController::FormKeyDown(HotKey key) {
  if (key == HotKey::F3) CallSrchBtnClick();
  if (key == HotKey::F4) NumSrchBtnClick();
  if (key == HotKey::F9) CloseWindowClick();
}

// Calls are stored with the zeros the operator saw while typing them, so the
// search types them the same way.
char EditController::CallSrchKeyPress(char key) {
  if (key == '0' && State_.Program.ZSlashed) return kSlashedZero;
  return UpperChar1252(key);
}

void EditController::CallSrchBtnClick() {
  const std::string text = View_.Text(ECtl::CallSrch);
  if (!text.empty() && !Log_.Data().Locate("CALL", text, 0)) View_.Warn(text + " Not found!");
  View_.Focus(ECtl::CallSrch);
}

void EditController::NumSrchBtnClick() {
  const std::string text = View_.Text(ECtl::NumSrch);
  if (text.empty()) return;
  int64_t wanted = 0;
  if (!TryStrToInt64(text, wanted) || !LocateSerial(Log_.Data(), wanted)) View_.Warn(text + " Not found!");
  View_.Focus(ECtl::NumSrch);
}

// ---------------------------------------------------------------- navigator

void EditController::EditDBNavigatorBeforeAction(NavBtn button) {
  LastNavigatorAction_ = std::string(kNavBtnNames[static_cast<size_t>(button)]);
}

void EditController::EditDBNavigatorClick(NavBtn button) {
  NavigatorUsed_ = true;
  LastNavigatorAction_ = std::string(kNavBtnNames[static_cast<size_t>(button)]);
}

void EditController::NavigatorButton(NavBtn button) {
  EditDBNavigatorBeforeAction(button);
  if (RunAction(button)) EditDBNavigatorClick(button);
}

bool EditController::RunAction(NavBtn button) {
  // A post the checks refused, or a move whose post they refused, is no
  // action (they have told the operator); nor is a write that failed.
  bool done = false;
  RunWrite([&] { done = RunDatasetAction(button); });
  return done;
}

bool EditController::RunDatasetAction(NavBtn button) {
  DataSet& ds = Log_.Data();
  const bool empty = ds.RecordCount() == 0;
  switch (button) {
    case NavBtn::nbFirst: ds.First(); return true;
    case NavBtn::nbPrior: ds.Prior(); return true;
    case NavBtn::nbNext: ds.Next(); return true;
    case NavBtn::nbLast: ds.Last(); return true;
    case NavBtn::nbRefresh: ds.Refresh(); return true;
    case NavBtn::nbDelete:
      if (empty || !View_.Confirm(std::string(kDeleteQuestion))) return false;
      ds.Delete();
      return true;
    case NavBtn::nbEdit:
      // An edit of an empty log would append a record.
      if (empty || Editing(ds)) return false;
      ds.Edit();
      return true;
    case NavBtn::nbPost:
      if (!Editing(ds)) return false;
      ds.Post();
      return true;
    case NavBtn::nbCancel:
      if (!Editing(ds)) return false;
      ds.Cancel();
      return true;
    case NavBtn::nbInsert:
      return false;
  }
  return false;
}

// ---------------------------------------------------------------- closing

void EditController::CloseWindowClick() {
  // An edit still open (a post that failed left it) is no post.
  const bool posted = NavigatorUsed_ && LastNavigatorAction_ == kNavBtnNames[static_cast<size_t>(NavBtn::nbPost)] &&
                      !Editing(Log_.Data()) && Kept_.What == PendingWrite::Kind::None;
  if (!posted && !View_.ConfirmClose(std::string(kCloseQuestion))) return;
  UpdateMainWindow();
  View_.CloseWindow();
}

void EditController::UpdateMainWindow() {
  DataSet& ds = Log_.Data();
  // A log a failed write left closed shows nothing (the next write opens it).
  if (!ds.Active()) return;
  // A change the operator did not post is dropped, as closing the editor
  // always did.
  if (Editing(ds)) ds.Cancel();
  State_.LogNrText = LogEntriesText(Log_);
  Main_.SetText(Ctl::LogNr, State_.LogNrText);
  const SerialState serial = SerialAfterCurrentRecord(ds);
  if (serial.HasRecords) {
    State_.LastMode = serial.LastMode;
    Main_.SetText(Ctl::Mode, serial.LastMode);
  }
  State_.NextSerial = serial.NextSerial;
  State_.NumSentText = serial.NumSentText;
  Main_.SetText(Ctl::NumSent, serial.NumSentText);
}

}  // namespace qv::app
