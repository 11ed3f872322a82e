#include "app/Scoring.h"

#include <limits>

#include "app/AppState.h"
#include "app/AppUi.h"
#include "app/LogFiles.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Exception.h"
#include "platform/host/Format.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

const std::array<std::string_view, kBandCount> kBandNames = {"1.8", "3.5", "5.3", "7",   "10.1", "14",
                                                             "18",  "21",  "24",  "28",  "50",   "144",
                                                             "222", "420", "902", "1240"};

namespace {

constexpr int32_t kMemberDxPoints = 5;
constexpr int32_t kMemberSameContinentPoints = 2;
constexpr int32_t kNonMemberPoints = 1;

std::string_view Cut(std::string_view text) { return text.substr(0, std::min(text.size(), kMaxSlotText)); }

int32_t CheckedAdd(int32_t a, int64_t b) {
  int64_t r = static_cast<int64_t>(a) + b;
  if (r > std::numeric_limits<int32_t>::max() || r < std::numeric_limits<int32_t>::min())
    throw Exception("Score total out of range");
  return static_cast<int32_t>(r);
}

int32_t CheckedMul(int32_t a, int32_t b) {
  int64_t r = static_cast<int64_t>(a) * b;
  if (r > std::numeric_limits<int32_t>::max() || r < std::numeric_limits<int32_t>::min())
    throw Exception("Score total out of range");
  return static_cast<int32_t>(r);
}

}  // namespace

// ---- display

TotalsDisplay MakeTotalsDisplay(const ScoreTotals& t) {
  TotalsDisplay d;
  d.TlIBM = IntToStr(t.MemberCount);
  d.TLNonIBM = IntToStr(t.NonMemberCount);
  d.TlMult = IntToStr(t.Multipliers);
  if (t.NonMemberCount > t.MemberCount) {
    const int32_t capped = CheckedAdd(t.TotalPoints, -(static_cast<int64_t>(t.NonMemberCount) - t.MemberCount));
    d.NonMemberColor = kColorRed;
    d.TlPoints = IntToStr(capped);
    d.TlScore = IntToStr(CheckedMul(capped, t.Multipliers));
  } else {
    d.NonMemberColor = kColorWhite;
    d.TlPoints = IntToStr(t.TotalPoints);
    d.TlScore = IntToStr(t.Score);
  }
  return d;
}

// ---- band table

void BandTable::Clear() {
  for (int32_t b = 0; b < kBandCount; ++b) {
    auto& countries = Countries_[static_cast<size_t>(b)];
    auto& owners = Owners_[static_cast<size_t>(b)];
    countries[0] = std::string(kBandNames[static_cast<size_t>(b)]);
    owners[0].clear();
    for (int32_t s = 1; s <= kSlotsPerBand; ++s) {
      countries[static_cast<size_t>(s)] = std::string(kFreeSlot);
      owners[static_cast<size_t>(s)].clear();
    }
    Used_[static_cast<size_t>(b)] = 0;
  }
}

int32_t BandTable::BandIndex(std::string_view freq) {
  for (int32_t b = 0; b < kBandCount; ++b)
    if (kBandNames[static_cast<size_t>(b)] == freq) return b;
  return -1;
}

const std::string& BandTable::Country(int32_t band, int32_t slot) const {
  if (band < 0 || band >= kBandCount || slot < 0 || slot > kSlotsPerBand) throw EListError("Band slot out of range");
  return Countries_[static_cast<size_t>(band)][static_cast<size_t>(slot)];
}

const std::string& BandTable::Owner(int32_t band, int32_t slot) const {
  if (band < 0 || band >= kBandCount || slot < 0 || slot > kSlotsPerBand) throw EListError("Band slot out of range");
  return Owners_[static_cast<size_t>(band)][static_cast<size_t>(slot)];
}

bool BandTable::Test(std::string_view freq, std::string_view country, std::string_view owner) {
  const int32_t band = BandIndex(freq);
  if (band < 0) return false;
  const std::string_view c = Cut(country);
  auto& countries = Countries_[static_cast<size_t>(band)];
  int32_t& used = Used_[static_cast<size_t>(band)];
  // Filled slots are counted rather than recognised by "-", so a country
  // typed as "-" is one multiplier like any other.
  for (int32_t s = 1; s <= used; ++s)
    if (countries[static_cast<size_t>(s)] == c) return false;
  if (used == kSlotsPerBand) return false;
  ++used;
  countries[static_cast<size_t>(used)] = std::string(c);
  Owners_[static_cast<size_t>(band)][static_cast<size_t>(used)] = std::string(Cut(owner));
  return true;
}

// ---- notice

void MultiplierNotice::Raise() {
  Active = true;
  Caption = "New Multiplier";
  Color = kColorLime;
}

void MultiplierNotice::Expire() {
  Active = false;
  Caption = "View Multipliers";
  Color = kColorBlue;
}

// ---- score

int32_t ContactPoints(bool member, std::string_view continent, std::string_view myContinent) {
  if (!member) return kNonMemberPoints;
  return continent != myContinent ? kMemberDxPoints : kMemberSameContinentPoints;
}

int32_t PointsOf(std::string_view text) {
  int32_t value = 0;
  return TryStrToInt(text, value) ? value : 0;
}

void IbmScore::Zero() {
  Totals_ = ScoreTotals{};
  Bands_.Clear();
}

void IbmScore::Reset() {
  Zero();
  Display_ = TotalsDisplay{};
}

void IbmScore::ShowTotals() {
  Totals_.Score = CheckedMul(Totals_.TotalPoints, Totals_.Multipliers);
  Display_ = MakeTotalsDisplay(Totals_);
}

void IbmScore::AddPoints(int32_t points) {
  Totals_.LastPoints = points;
  Totals_.TotalPoints = CheckedAdd(Totals_.TotalPoints, points);
}

int32_t IbmScore::AddContact(bool member, std::string_view continent, std::string_view myContinent,
                             std::string_view freq, std::string_view country, std::string_view owner) {
  if (member) {
    Totals_.MemberCount = CheckedAdd(Totals_.MemberCount, 1);
    AddPoints(ContactPoints(true, continent, myContinent));
    if (Bands_.Test(freq, country, owner)) {
      Totals_.Multipliers = CheckedAdd(Totals_.Multipliers, 1);
      Notice_.Raise();
    }
  } else {
    AddPoints(kNonMemberPoints);
    Totals_.NonMemberCount = CheckedAdd(Totals_.NonMemberCount, 1);
  }
  ShowTotals();
  return Totals_.LastPoints;
}

void IbmScore::TallyLog(DataSet& log) {
  Zero();
  Field* points = log.FieldByName("Points");
  Field* ibm = log.FieldByName("IBM");
  Field* freq = log.FieldByName("FREQ");
  Field* country = log.FieldByName("COUNTRY");
  Field* call = log.FieldByName("CALL");
  log.First();
  int32_t n = 0;
  while (!log.Eof()) {
    n = CheckedAdd(n, 1);
    AddPoints(PointsOf(points->AsString()));
    if (ibm->AsBoolean()) {
      Totals_.MemberCount = CheckedAdd(Totals_.MemberCount, 1);
      const std::string owner = format("%4.3d", {n}) + " " + call->AsString();
      if (Bands_.Test(freq->AsString(), country->AsString(), owner))
        Totals_.Multipliers = CheckedAdd(Totals_.Multipliers, 1);
    } else {
      Totals_.NonMemberCount = CheckedAdd(Totals_.NonMemberCount, 1);
    }
    log.Next();
  }
  ShowTotals();
}

// ---- after the settings dialog

void RunSettingsAndRetally(AppState& state, LogTable& log, MainWindowHooks& hooks) {
  hooks.RunSettingsDialog();
  hooks.SetTitle(WindowTitle(state));
  state.Score.Reset();
  DataSet& ds = log.Data();
  bool disabled = false;
  // A recount that fails (a log that cannot be read) leaves the grid working.
  auto enable = ScopeExit([&] {
    if (disabled) ds.EnableControls();
  });
  if (IsIbmContest(state)) {
    // Reopened before counting: a table the dialog left closed counts its
    // records too.
    ds.DisableControls();
    disabled = true;
    ReopenLog(log);
    state.LogNrText = LogEntriesText(log);
    if (ds.RecordCount() > 0) state.Score.TallyLog(ds);
  }
  ReopenLog(log);
  state.LogNrText = LogEntriesText(log);
  SerialState serial = SerialAfterLastRecord(log);
  if (serial.HasRecords) state.LastMode = serial.LastMode;
  state.NextSerial = serial.NextSerial;
  state.NumSentText = serial.NumSentText;
}

}  // namespace qv::app

