// IBM QSO Party scoring: points per contact, the band-by-country multiplier
// table with the contact that earned each multiplier, the running totals and
// how the main window shows them.
//
// Rules:
//   - a member contact (flag IBM) earns 5 points when its continent differs
//     from the station's own continent, 2 when it is the same (exact text);
//     a non-member contact earns 1;
//   - the first member contact of a country on a band makes that country a
//     multiplier on that band; the band must be one of the 16 band names
//     exactly (any other frequency text scores points but no multiplier);
//     each band holds at most 52 countries, later ones are not counted;
//   - non-member contacts beyond the number of member contacts earn no points
//     in the shown totals (the "member cap"); the stored records keep theirs;
//   - claimed score = points x multipliers.
//
// BandTable invariants: band b's slots 1 .. Used(b) hold its multipliers in
// the order they were first worked, each country at most once; slots after
// Used(b) hold "-". Slot 0 of each band is the band name. Texts are cut to
// 255 bytes, the most a slot holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {
class DataSet;
}

namespace qv::app {

class LogTable;
class MainWindowHooks;
struct AppState;

inline constexpr int32_t kBandCount = 16;
inline constexpr int32_t kSlotsPerBand = 52;
inline constexpr size_t kMaxSlotText = 255;
inline constexpr std::string_view kFreeSlot = "-";
// In table order; the frequency drop-down lists them from the last to the first.
extern const std::array<std::string_view, kBandCount> kBandNames;

// Windows colour values (0x00BBGGRR) the totals and the notice use.
inline constexpr uint32_t kColorRed = 255;
inline constexpr uint32_t kColorWhite = 0xFFFFFF;
inline constexpr uint32_t kColorLime = 65280;
inline constexpr uint32_t kColorBlue = 0xFF0000;

struct ScoreTotals {
  int32_t LastPoints = 0;
  int32_t TotalPoints = 0;
  int32_t Multipliers = 0;
  int32_t Score = 0;
  int32_t MemberCount = 0;
  int32_t NonMemberCount = 0;

  bool operator==(const ScoreTotals&) const = default;
};

// The five total panels: TlIBM, TLNonIBM, TlPoints, TlMult, TlScore, and the
// colour of TLNonIBM (red while non-members outnumber members).
struct TotalsDisplay {
  std::string TlIBM;
  std::string TLNonIBM;
  std::string TlPoints;
  std::string TlMult;
  std::string TlScore;
  uint32_t NonMemberColor = kColorWhite;

  bool operator==(const TotalsDisplay&) const = default;
};
TotalsDisplay MakeTotalsDisplay(const ScoreTotals& totals);

class BandTable {
public:
  BandTable() { Clear(); }
  // Every slot "-", no owners.
  void Clear();
  // The band block whose name equals freq exactly; -1 when none.
  static int32_t BandIndex(std::string_view freq);
  // Slot 0 is the band name; slots 1..52 countries or "-".
  const std::string& Country(int32_t band, int32_t slot) const;
  // "<serial> <call>" of the contact that made slot 1..52 a multiplier.
  const std::string& Owner(int32_t band, int32_t slot) const;
  int32_t Used(int32_t band) const { return Used_[static_cast<size_t>(band)]; }
  // The multiplier test of one member contact: true when country is new on
  // the band freq (it then takes the next slot, owned by owner).
  bool Test(std::string_view freq, std::string_view country, std::string_view owner);

  bool operator==(const BandTable&) const = default;

private:
  std::array<std::array<std::string, kSlotsPerBand + 1>, kBandCount> Countries_;
  std::array<std::array<std::string, kSlotsPerBand + 1>, kBandCount> Owners_;
  std::array<int32_t, kBandCount> Used_{};
};

// The "View Multipliers" button's notice: a new multiplier turns it into
// "New Multiplier" in lime; the window's timer restores it after kResetMs.
struct MultiplierNotice {
  static constexpr int32_t kResetMs = 3000;
  bool Active = false;
  std::string Caption = "View Multipliers";
  uint32_t Color = kColorBlue;

  void Raise();
  void Expire();
};

// Points of one contact.
int32_t ContactPoints(bool member, std::string_view continent, std::string_view myContinent);

// The running score of the current log.
class IbmScore {
public:
  const ScoreTotals& Totals() const { return Totals_; }
  const BandTable& Bands() const { return Bands_; }
  const TotalsDisplay& Display() const { return Display_; }
  MultiplierNotice& Notice() { return Notice_; }
  const MultiplierNotice& Notice() const { return Notice_; }

  // Zero totals and free every slot; the panels keep what they show.
  void Zero();
  // Zero, and the five panels emptied (TLNonIBM white).
  void Reset();
  // Recomputes the panels from the totals.
  void ShowTotals();

  // Scores one contact being added: member and non-member counts, points,
  // the multiplier test (owner = serial sent + " " + call), the notice on a
  // new multiplier, the panels. Returns the contact's points, the text its
  // Points field takes.
  int32_t AddContact(bool member, std::string_view continent, std::string_view myContinent,
                     std::string_view freq, std::string_view country, std::string_view owner);

  // The whole-log recount over the open log, from its first record in the
  // current (contact) order: points are the stored Points (empty or not a
  // number: 0), members run the multiplier test with owner "%4.3d" of the
  // record's position + " " + call. Leaves the log past its last record.
  void TallyLog(DataSet& log);

private:
  void AddPoints(int32_t points);

  ScoreTotals Totals_;
  BandTable Bands_;
  TotalsDisplay Display_;
  MultiplierNotice Notice_;
};

// The number in a Points text (blanks around it allowed); 0 for an empty or
// non-numeric text.
int32_t PointsOf(std::string_view text);

// After the settings dialog: runs it, retitles the window, resets the score,
// recounts an IBM QSO Party log that holds records, reopens the log in
// contact order and takes the serial number from its last record.
void RunSettingsAndRetally(AppState& state, LogTable& log, MainWindowHooks& hooks);

}  // namespace qv::app
