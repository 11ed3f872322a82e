// The call check run when the operator leaves the call field: duplicate test
// (contest logs), recall of earlier contacts, member look-up, the focus for
// the next field, and the online lookup or callsign page.
#include <functional>

#include "app/LogFiles.h"
#include "app/MainController.h"
#include "app/OnlineLookup.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/HostVariant.h"
#include "platform/host/StringList.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

std::string FieldText(DataSet& ds, std::string_view name) { return ds.FieldByName(name)->AsString(); }

// The log fields a recall copies and the entry fields they go to.
struct RecallField {
  std::string_view Name;
  Ctl Field;
};
constexpr RecallField kRecallFields[] = {
    {"Country", Ctl::CountryFLD}, {"Continent", Ctl::ContinentFLD}, {"Name", Ctl::NameFld},
    {"LastName", Ctl::LName},     {"City", Ctl::CityFld},           {"State", Ctl::StateFLD},
    {"County", Ctl::County},      {"CQZ", Ctl::CQZ},                {"Grid", Ctl::GridSq},
    {"ITUZ", Ctl::ITUZ},          {"FISTS", Ctl::FISTS},            {"IOTA", Ctl::IOTA},
    {"OOTC", Ctl::OOTC},          {"TENTEN", Ctl::TenTen},          {"QCWA", Ctl::QCWA},
    {"DXCC", Ctl::DXCC},          {"ClassLic", Ctl::LicClass},      {"BmCode", Ctl::BMCode},
    {"Street", Ctl::Street},      {"PrefixCountry", Ctl::PrefCountry}, {"PostCode", Ctl::PostalCode},
    {"Lat", Ctl::Lat},            {"Long", Ctl::Long},              {"QSLMgr", Ctl::QSLMgr},
    {"URL", Ctl::WebURL}};
// The first five are what the early recall (before the member look-up) copies.
constexpr size_t kShortRecall = 5;
constexpr int kShortRecallMap[kShortRecall] = {0, 1, 2, 4, 5};  // Country Continent Name City State

}  // namespace

void MainController::RecallFields(DataSet& log, bool allFields) {
  if (!allFields) {
    for (int i : kShortRecallMap) {
      const RecallField& f = kRecallFields[i];
      View_.SetText(f.Field, FieldText(log, f.Name));
    }
    return;
  }
  for (const RecallField& f : kRecallFields) View_.SetText(f.Field, FieldText(log, f.Name));
  if (View_.Text(Ctl::Email).empty()) View_.SetText(Ctl::Email, FieldText(log, "Email"));
}

void MainController::CallEnteredExit() {
  const std::string call = View_.Text(Ctl::CallEntered);
  if (call.empty()) return;
  Module_.MemberFound = false;
  Module_.CurrentCall = PlainZeros(call);
  const bool linked = Module_.HamScopeLinked;
  const bool ibm = IsContest(ContestKind::IBM);
  const std::string freq = View_.Text(Ctl::FreqEntered);
  const std::string mode = View_.Text(Ctl::Mode);
  DataSet& log = LogData();
  // A log that could not be opened has no earlier contacts to show (the
  // operator was told when that was found); it counts no records. One whose
  // pages fail a read on the way is noted as damaged (its backup kept) and
  // the check goes on without it: the contact can still be logged, and the
  // add's own message, if any, names the damage.
  bool logOpen = log.Active();
  const auto readsLog = [&](const std::function<bool()>& read) {
    if (!logOpen) return false;
    try {
      return read();
    } catch (const std::exception& e) {
      logOpen = false;
      NoteReadFailure(e.what());
      return false;
    }
  };

  if (State_.Station.TypeLog && readsLog([&] {
        return log.Locate("CALL;FREQ;MODE",
                          HostVariant::ArrayOf({HostVariant(call), HostVariant(freq), HostVariant(mode)}), 0);
      })) {
    if (linked) {
      Poke("Name", "Duplicate");
      Poke("Ext_macro", "000");
    }
    StatusText(kWinTeal, kWinYellow,
               call + " is a DUPLICATE on " + freq + " MHz " + mode + ", @ " + FieldText(log, "TimeStart") +
                   " UTC " + FieldText(log, "QSODate"));
    View_.SetText(Ctl::CallEntered, "");
    FocusField(Ctl::CallEntered);
    return;
  }

  StatusText(kWinWhite, kWinBlack, "");
  readsLog([&] {
    ReopenLog(*Log_);
    return true;
  });

  auto recallNote = [&] {
    const std::string name = View_.Text(Ctl::NameFld);
    if (linked && !name.empty()) Poke("Name", name);
    StatusText(kWinTeal, kWinYellow, "Note below the previous Contact(s) with " + name + ", " + call);
  };
  if (readsLog([&] {
        if (log.RecordCount() == 0 || !log.Locate("Call", call, 0)) return false;
        RecallFields(log, false);
        return true;
      }))
    recallNote();

  if (State_.AutoTime) {
    View_.SetText(Ctl::TimeST, View_.Text(Ctl::ClockPanel));
    Module_.QsoDate = View_.Text(Ctl::QSODate);
    if (IsContest(ContestKind::NAQP))
      FocusField(Ctl::NameFld);
    else if (ibm)
      FocusField(Ctl::RSTNumRcvd);
    else
      FocusField(Ctl::RSTSent);
  } else {
    FocusField(Ctl::TimeST);
  }

  if (linked && State_.Station.TypeLog) Poke("Ext_macro", View_.Text(Ctl::NumSent));

  // The member list is asked whenever its table is open (with plain zeros).
  if (MembersOpen_) {
    DataSet& members = Members_->Data();
    if (members.Locate("CALL", Module_.CurrentCall, 0)) {
      Module_.MemberFound = true;
      View_.SetText(Ctl::Notes, "IBM Ham");
      const std::string country = FieldText(members, "Country");
      View_.SetText(Ctl::CountryFLD, country);
      if (ibm) {
        View_.SetChecked(Ctl::IBM, true);
        View_.SetFontColor(Ctl::IBM, kWinBlue);
      } else if (country.starts_with("USA")) {
        View_.SetText(Ctl::CountryFLD, "USA");
      }
      View_.SetText(Ctl::ContinentFLD, FieldText(members, "Continent"));
      View_.SetText(Ctl::NameFld, FieldText(members, "Name"));
      View_.SetText(Ctl::CityFld, FieldText(members, "City"));
      View_.SetText(Ctl::StateFLD, FieldText(members, "State"));
      View_.SetText(Ctl::Email, FieldText(members, "Email"));
      const std::string name = View_.Text(Ctl::NameFld);
      if (ibm)
        StatusText(kWinAqua, kWinBlack,
                   "(" + freq + " MHz " + mode + ")," + " IBM Station " + call + " - " + name + ", " +
                       View_.Text(Ctl::CityFld) + ", " + View_.Text(Ctl::StateFLD) + ", " +
                       View_.Text(Ctl::CountryFLD) + ", " + View_.Text(Ctl::ContinentFLD));
      if (linked && !name.empty()) Poke("Name", name);
    }
  }

  if (!Module_.MemberFound) {
    bool wasMember = false;
    if (readsLog([&] {
          if (log.RecordCount() == 0 || !log.Locate("Call", call, 0)) return false;
          RecallFields(log, true);
          if (ibm) wasMember = log.FieldByName("IBM")->AsBoolean();
          return true;
        })) {
      if (ibm) {
        View_.SetChecked(Ctl::IBM, wasMember);
        View_.SetFontColor(Ctl::IBM, wasMember ? kWinBlue : kWinBlack);
      }
      recallNote();
    } else if (ibm) {
      View_.SetChecked(Ctl::IBM, false);
      View_.SetFontColor(Ctl::IBM, kWinBlack);
      StatusText(kWinWhite, kWinBlack, call + " :  Non IBM ");
    }
  }

  RunOnlineLookup(call);
}

void MainController::RunOnlineLookup(const std::string& call) {
  switch (View_.ItemIndex(Ctl::OnlineLookup)) {
    case lcHamQthPage: View_.OpenUrl(HamQthPageUrl(call)); break;
    case lcQrzPage: View_.OpenUrl(QrzPageUrl(call)); break;
    case lcRawLookup: RawLookup(call); break;
    default: break;
  }
}

void MainController::RawLookup(const std::string& call) {
  if (State_.Program.HCPW.empty()) {
    View_.Warn("User ID and Password required in \"Settings\" in order to use HamCall");
    return;
  }
  for (Ctl c : {Ctl::LName, Ctl::County, Ctl::CQZ, Ctl::GridSq, Ctl::ITUZ, Ctl::FISTS, Ctl::IOTA, Ctl::OOTC,
                Ctl::TenTen, Ctl::QCWA, Ctl::DXCC, Ctl::LicClass, Ctl::BMCode, Ctl::Street, Ctl::PrefCountry,
                Ctl::PostalCode, Ctl::Lat, Ctl::Long, Ctl::QSLMgr, Ctl::WebURL})
    View_.SetText(c, "");
  if (!Module_.MemberFound)
    for (Ctl c : {Ctl::NameFld, Ctl::CityFld, Ctl::StateFLD, Ctl::CountryFLD, Ctl::ContinentFLD})
      View_.SetText(c, "");

  StringList lines;
  bool ok = false;
  std::string failure;
  try {
    ok = Fetch_(BuildLookupRequest(LookupHost_, State_.Program.HCID, State_.Program.HCPW, call), lines, failure);
  } catch (const std::exception& e) {
    failure = e.what();
    lines.Clear();
  }
  const int32_t answer = ok ? FindAnswerLine(lines) : -1;
  if (answer < 0) {
    // A request that failed says why (the deadline passed, the name was not
    // found, the connection was refused): what came before is cut short.
    // A whole reply without the answer says what went wrong in its first
    // line that is not blank, and so does a failure that gives no reason; a
    // reply with no such line says that it was empty.
    if (ok || failure.empty()) {
      for (int32_t i = 0; i < lines.Count(); ++i)
        if (!Trim(lines[i]).empty()) {
          failure = lines[i];
          break;
        }
    }
    if (failure.empty()) failure = ok ? "The reply was empty." : "The request failed without a reason.";
    View_.SetText(Ctl::StatPanel, "Can not retrieve data! " + failure);
    return;
  }
  ApplyLookupAnswer(View_, lines[answer], Module_.MemberFound);
}

}  // namespace qv::app
