#include "AppTestSupport.h"
#include "app/AppState.h"
#include "app/MultList.h"
#include "app/Scoring.h"
#include "platform/host/Format.h"

namespace qv::app::test {
namespace {

TEST(ScoringTest, PointsByMembershipAndContinent) {
  struct Case {
    bool Member;
    const char* Continent;
    const char* Mine;
    int32_t Points;
  } cases[] = {
      {true, "EU", "NA", 5}, {true, "NA", "NA", 2}, {false, "EU", "NA", 1},
      {false, "NA", "NA", 1}, {true, "na", "NA", 5},  // exact text
      {true, "", "NA", 5},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ContactPoints(c.Member, c.Continent, c.Mine), c.Points) << c.Continent << " " << c.Member;
}

TEST(ScoringTest, MultipliersPerBandAndCountry) {
  IbmScore s;
  EXPECT_EQ(s.AddContact(true, "EU", "NA", "14", "GERMANY", " 001 DL1AA"), 5);
  EXPECT_EQ(s.Totals().Multipliers, 1);
  s.AddContact(true, "EU", "NA", "14", "GERMANY", " 002 DL2BB");  // same band: no
  EXPECT_EQ(s.Totals().Multipliers, 1);
  s.AddContact(true, "EU", "NA", "7", "GERMANY", " 003 DL1AA");  // another band: yes
  EXPECT_EQ(s.Totals().Multipliers, 2);
  EXPECT_EQ(s.AddContact(true, "NA", "NA", "14.025", "CANADA", " 004 VE3X"), 2);  // no band name
  EXPECT_EQ(s.AddContact(false, "EU", "NA", "14", "FRANCE", " 005 F5X"), 1);     // non-member
  EXPECT_EQ(s.Totals().Multipliers, 2);
  EXPECT_EQ(s.Totals().TotalPoints, 5 + 5 + 5 + 2 + 1);
  EXPECT_EQ(s.Totals().MemberCount, 4);
  EXPECT_EQ(s.Totals().NonMemberCount, 1);
  EXPECT_EQ(s.Totals().LastPoints, 1);

  const BandTable& b = s.Bands();
  const int32_t b14 = BandTable::BandIndex("14");
  EXPECT_EQ(b.Country(b14, 0), "14");
  EXPECT_EQ(b.Country(b14, 1), "GERMANY");
  EXPECT_EQ(b.Owner(b14, 1), " 001 DL1AA");  // the first contact owns it
  EXPECT_EQ(b.Country(b14, 2), "-");
  EXPECT_EQ(BandTable::BandIndex("1240"), 15);
  EXPECT_EQ(BandTable::BandIndex("1.80"), -1);
}

TEST(ScoringTest, ABandHoldsFiftyTwoCountries) {
  BandTable b;
  for (int32_t i = 1; i <= 52; ++i) EXPECT_TRUE(b.Test("21", "C" + std::to_string(i), "o"));
  EXPECT_FALSE(b.Test("21", "C53", "o"));
  EXPECT_FALSE(b.Test("21", "C7", "o"));
  EXPECT_EQ(b.Used(BandTable::BandIndex("21")), 52);
  EXPECT_TRUE(b.Test("24", "C53", "o"));
  // A country typed as "-" is one multiplier, not one per contact.
  EXPECT_TRUE(b.Test("18", "-", "o"));
  EXPECT_FALSE(b.Test("18", "-", "o"));
}

TEST(ScoringTest, MemberCapInTheShownTotals) {
  IbmScore s;
  s.AddContact(true, "EU", "NA", "14", "A", "o");
  s.AddContact(true, "EU", "NA", "14", "B", "o");
  s.AddContact(true, "EU", "NA", "14", "C", "o");
  EXPECT_EQ(s.Display().NonMemberColor, kColorWhite);
  for (int i = 0; i < 5; ++i) s.AddContact(false, "NA", "NA", "14", "", "");
  EXPECT_EQ(s.Totals().TotalPoints, 20);
  EXPECT_EQ(s.Totals().Score, 60);
  const TotalsDisplay& d = s.Display();
  EXPECT_EQ(d.TlIBM, "3");
  EXPECT_EQ(d.TLNonIBM, "5");
  EXPECT_EQ(d.TlPoints, "18");
  EXPECT_EQ(d.TlMult, "3");
  EXPECT_EQ(d.TlScore, "54");
  EXPECT_EQ(d.NonMemberColor, kColorRed);

  s.Reset();
  EXPECT_EQ(s.Display(), TotalsDisplay{});
  EXPECT_EQ(s.Totals(), ScoreTotals{});
  EXPECT_EQ(s.Bands(), BandTable{});
}

TEST(ScoringTest, NewMultiplierNotice) {
  IbmScore s;
  s.AddContact(true, "EU", "NA", "14", "A", "o");
  EXPECT_TRUE(s.Notice().Active);
  EXPECT_EQ(s.Notice().Caption, "New Multiplier");
  EXPECT_EQ(s.Notice().Color, kColorLime);
  s.Notice().Expire();
  s.AddContact(true, "EU", "NA", "14", "A", "o");
  EXPECT_FALSE(s.Notice().Active);
  EXPECT_EQ(s.Notice().Caption, "View Multipliers");
  EXPECT_EQ(s.Notice().Color, kColorBlue);
}

// Adds contacts the way the main window does, then recounts the stored log.
TEST(ScoringTest, RecountEqualsIncrementalTotals) {
  MemLog log;
  IbmScore live;
  const char* bands[] = {"14", "7", "21", "14.2", "3.5", "1240"};
  const char* countries[] = {"USA", "GERMANY", "JAPAN", "BRAZIL", "USA", "ITALY", "CANADA"};
  const char* continents[] = {"NA", "EU", "AS", "SA", "NA", "EU", "NA"};
  for (int32_t i = 0; i < 200; ++i) {
    QsoRecord q = Contact("K" + std::to_string(i), bands[i % 6], i % 3 != 0, countries[i % 7], continents[i % 7]);
    q.NumSent = format("%4.3d", {i + 1});
    const int32_t points = live.AddContact(q.IBM, q.Continent, "NA", q.Freq, q.Country, q.NumSent + " " + q.Call);
    q.Points = std::to_string(points);
    log.Add(q);
  }
  IbmScore recount;
  recount.TallyLog(log.Data());
  EXPECT_EQ(recount.Totals(), live.Totals());
  EXPECT_EQ(recount.Bands(), live.Bands());
  EXPECT_EQ(recount.Display(), live.Display());
}

TEST(ScoringTest, RecountSurvivesEditedPoints) {
  MemLog log;
  log.Add(Contact("A", "14", true, "X", "EU", "abc"));
  log.Add(Contact("B", "14", false, "", "", " 5 "));
  log.Add(Contact("C", "14", false, "", "", ""));
  log.Add(Contact("D", "7", true, "X", "EU", "5"));
  IbmScore s;
  s.TallyLog(log.Data());
  EXPECT_EQ(s.Totals().TotalPoints, 10);
  EXPECT_EQ(s.Totals().LastPoints, 5);
  EXPECT_EQ(s.Totals().MemberCount, 2);
  EXPECT_EQ(s.Totals().NonMemberCount, 2);
  EXPECT_EQ(s.Totals().Multipliers, 2);
  EXPECT_EQ(s.Bands().Owner(BandTable::BandIndex("7"), 1), " 004 D");  // position in the log
  EXPECT_EQ(PointsOf("x1"), 0);
}

TEST(ScoringTest, NextSerialFollowsTheLastRecord) {
  MemLog log;
  SerialState s = SerialAfterLastRecord(log.Table());
  EXPECT_FALSE(s.HasRecords);
  EXPECT_EQ(s.NextSerial, 1);
  EXPECT_EQ(s.NumSentText, "1");

  QsoRecord q = Contact("A", "14", false);
  q.NumSent = " 007";
  q.Mode = "SSB";
  log.Add(q);
  s = SerialAfterLastRecord(log.Table());
  EXPECT_EQ(s.NextSerial, 8);
  EXPECT_EQ(s.NumSentText, "8");
  EXPECT_EQ(s.LastMode, "SSB");

  q.NumSent = "12x";  // edited into a non-number: continue from the count
  log.Add(q);
  q.NumSent = "";
  log.Add(q);
  s = SerialAfterLastRecord(log.Table());
  EXPECT_EQ(s.NextSerial, 4);
}

struct RetallyHooks : MainWindowHooks {
  std::function<void()> OnDialog;
  std::vector<std::string> Titles;
  void RunSettingsDialog() override {
    if (OnDialog) OnDialog();
  }
  void SetTitle(const std::string& t) override { Titles.push_back(t); }
  WindowPlacement CurrentPlacement() override { return {}; }
  void ApplyPlacement(const WindowPlacement&) override {}
};

TEST(ScoringTest, RunSettingsAndRetallyRecountsAnIbmLog) {
  MemLog log;
  QsoRecord a = Contact("DL1AA", "14", true, "GERMANY", "EU", "5");
  a.NumSent = " 001";
  QsoRecord b = Contact("W2X", "14", false, "", "", "1");
  b.NumSent = " 002";
  b.Mode = "SSB";
  log.Add(a);
  log.Add(b);

  AppState state;
  state.ProgramVersion = "5.0.0.0";
  state.Program.LogName = "IBM24";
  state.Score.AddContact(false, "", "", "", "", "");  // stale totals to be replaced
  RetallyHooks hooks;
  hooks.OnDialog = [&] {  // the dialog saves an IBM contest log
    state.Station.MyCall = "K1ABC";
    state.Station.TypeLog = true;
    state.Station.TypeContest = "IBM";
  };
  RunSettingsAndRetally(state, log.Table(), hooks);
  EXPECT_EQ(hooks.Titles, std::vector<std::string>{"Quorvex - v5.0.0.0 K1ABC  IBM24"});
  EXPECT_EQ(state.Score.Totals().TotalPoints, 6);
  EXPECT_EQ(state.Score.Totals().Multipliers, 1);
  EXPECT_EQ(state.Score.Display().TlScore, "6");
  EXPECT_EQ(state.LogNrText, "2 Log Entries");
  EXPECT_EQ(state.NextSerial, 3);
  EXPECT_EQ(state.NumSentText, "3");
  EXPECT_EQ(state.LastMode, "SSB");
  EXPECT_FALSE(log.Data().ControlsDisabled());

  // Another kind: totals and panels cleared, no recount.
  hooks.OnDialog = [&] { state.Station.TypeContest = "NAQP"; };
  RunSettingsAndRetally(state, log.Table(), hooks);
  EXPECT_EQ(state.Score.Totals(), ScoreTotals{});
  EXPECT_EQ(state.Score.Display(), TotalsDisplay{});
  EXPECT_EQ(state.NextSerial, 3);
}

TEST(MultListTest, ListsEveryBandInWorkedOrder) {
  BandTable b;
  EXPECT_TRUE(MultiplierList(b).empty());
  b.Test("1240", "USA", " 003 W1X");
  b.Test("1.8", "CANADA", " 001 VE1X");
  b.Test("1.8", "USA", " 002 W2X");
  std::vector<MultListLine> expected = {
      {" 001 VE1X", "1.8", "CANADA"}, {" 002 W2X", "1.8", "USA"}, {" 003 W1X", "1240", "USA"}};
  EXPECT_EQ(MultiplierList(b), expected);

  BandTable full;
  for (int32_t i = 1; i <= 53; ++i) full.Test("50", "C" + std::to_string(i), "o");
  EXPECT_EQ(MultiplierList(full).size(), 52u);
}

}  // namespace
}  // namespace qv::app::test
