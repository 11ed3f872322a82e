#include "app/EditController.h"

#include "app/AppState.h"
#include "app/LogFiles.h"
#include "app/MainController.h"
#include "app/MainView.h"
#include "app/QsoEntry.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"
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

EditController::EditController(EditView& view, LogTable& log, AppState& state, MainView& main)
    : View_(view), Log_(log), State_(state), Main_(main), BeforePost_(log.Data().BeforePost) {
  Log_.Data().BeforePost = [this](DataSet& ds) { CheckPostedRow(ds); };
}

EditController::~EditController() { Log_.Data().BeforePost = std::move(BeforePost_); }

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
  // action (they have told the operator).
  try {
    return RunDatasetAction(button);
  } catch (const ESilentException&) {
    return false;
  }
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
  const bool posted = NavigatorUsed_ && LastNavigatorAction_ == kNavBtnNames[static_cast<size_t>(NavBtn::nbPost)];
  if (!posted && !View_.ConfirmClose(std::string(kCloseQuestion))) return;
  UpdateMainWindow();
  View_.CloseWindow();
}

void EditController::UpdateMainWindow() {
  DataSet& ds = Log_.Data();
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
