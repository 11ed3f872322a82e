// The main window on real database files only: a long log through the
// controller and a restart, the backup as a database of its own, and a disk
// that fills during an add.
#include "WindowTestSupport.h"

#include "app/Scoring.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"

namespace qv::app::wintest {
namespace {

class EngineLogTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }

  // Types one contact of the IBM QSO Party into the fields and adds it: a
  // member on every third, over four bands and five countries.
  void AddContact(int32_t i) {
    static const char* const kBands[] = {"14", "21", "7", "28"};
    static const char* const kCountries[] = {"GERMANY", "FRANCE", "JAPAN", "USA", "BRAZIL"};
    static const char* const kContinents[] = {"EU", "EU", "AS", "NA", "SA"};
    const bool member = i % 3 == 0;
    Set(Ctl::CallEntered, "K" + std::to_string(i));
    Set(Ctl::FreqEntered, kBands[i % 4]);
    Set(Ctl::Mode, "CW");
    Set(Ctl::RSTNumRcvd, std::to_string(i % 1000));
    Set(Ctl::CountryFLD, kCountries[i % 5]);
    Set(Ctl::ContinentFLD, kContinents[i % 5]);
    View.C(Ctl::IBM).Checked = member;
    Controller->AddToLogButtonClick();
  }
  TotalsDisplay ShownTotals() {
    TotalsDisplay t;
    t.TlIBM = Text(Ctl::TlIBM);
    t.TLNonIBM = Text(Ctl::TLNonIBM);
    t.TlPoints = Text(Ctl::TlPoints);
    t.TlMult = Text(Ctl::TlMult);
    t.TlScore = Text(Ctl::TlScore);
    t.NonMemberColor = View.C(Ctl::TLNonIBM).Color;
    return t;
  }
  void Restart(const LogKind& kind) {
    Controller.reset();
    View = FakeMainView();
    Start(kind);
  }
};

TEST_F(EngineLogTest, TwoThousandContactsSurviveARestartAndTheBackupHoldsThemToo) {
  constexpr int32_t kContacts = 2000;
  const LogKind ibm{true, "IBM", true};
  Start(ibm);
  for (int32_t i = 1; i <= kContacts; ++i) AddContact(i);
  EXPECT_EQ(Text(Ctl::LogNr), "2000 Log Entries");
  const TotalsDisplay totals = ShownTotals();
  const ScoreTotals counted = Controller->State().Score.Totals();
  EXPECT_EQ(counted.MemberCount + counted.NonMemberCount, kContacts);
  EXPECT_GT(counted.Multipliers, 1);

  Restart(ibm);
  EXPECT_EQ(Text(Ctl::LogNr), "2000 Log Entries");
  EXPECT_EQ(ShownTotals(), totals);
  EXPECT_EQ(Controller->State().Score.Totals().Score, counted.Score);
  EXPECT_EQ(Text(Ctl::NumSent), "2001");
  Controller.reset();

  // The backup opens as a database of its own with the same contacts.
  const std::vector<QsoRecord> live = LogRecords();
  ASSERT_EQ(live.size(), static_cast<size_t>(kContacts));
  EXPECT_EQ(live.front().Call, "K1");
  EXPECT_EQ(live.back().Call, "K2000");
  const std::vector<QsoRecord> backup = QsosOf({LogTableSpec(), Home + "TEST/BakV5LogDB.vlm"});
  ASSERT_EQ(backup.size(), live.size());
  for (size_t i = 0; i < live.size(); ++i) {
    ASSERT_EQ(backup[i].Call, live[i].Call) << i;
    ASSERT_EQ(backup[i].Points, live[i].Points) << i;
  }
}

// A disk that fills during an add (every write from the k-th on fails), for
// each k over the writes of one add: the message names the failure, the
// totals shown equal what the file holds, and once space is free the same
// entry is added without a restart. The log and its backup end holding every
// contact that was acknowledged, and nothing else.
TEST_F(EngineLogTest, ADiskFullDuringAnAddIsReportedAndLoggingGoesOnOnceSpaceIsFree) {
  Start({true, "IBM", true});
  AddContact(3);
  std::vector<std::string> acknowledged = {"K3"};
  const int64_t before = FileWriteCount();
  AddContact(6);
  acknowledged.push_back("K6");
  const int64_t writesPerAdd = FileWriteCount() - before;
  ASSERT_GT(writesPerAdd, 2);

  auto fileTotals = [&] {
    IbmScore score;
    TablesUnderTest->WithTable(LogStorage(), [&](LogTable& t) {
      t.SetIndexName("PrimeIndex");
      score.TallyLog(t.Data());
    });
    return score.Display();
  };
  int32_t failures = 0;
  for (int64_t k = 1; k <= writesPerAdd + 1; ++k) {
    const int32_t i = static_cast<int32_t>(10 + k);
    View.Messages.clear();
    {
      auto disarm = ScopeExit([] { SetFileFaultAfter(0, FileFault::FailFrom); });
      SetFileFaultAfter(k, FileFault::FailFrom);
      AddContact(i);
    }
    const bool failed = !View.Messages.empty();
    if (failed) {
      ++failures;
      ASSERT_EQ(View.Messages.size(), 1u) << k;
      EXPECT_EQ(View.Messages[0].Kind, "warning");
      EXPECT_EQ(View.Messages[0].Text.rfind("The contact could not be written to the Log!", 0), 0u) << k;
      EXPECT_NE(View.Messages[0].Text.find("No space left on device"), std::string::npos) << View.Messages[0].Text;
      EXPECT_EQ(Text(Ctl::CallEntered), "K" + std::to_string(i)) << k;  // kept for another try
      EXPECT_EQ(ShownTotals(), fileTotals()) << k;
      EXPECT_EQ(Text(Ctl::LogNr), std::to_string(acknowledged.size()) + " Log Entries") << k;
      // Space is free again: the same entry goes in, no restart.
      View.Messages.clear();
      Controller->AddToLogButtonClick();
      EXPECT_TRUE(View.MessageTexts().empty()) << k;
    }
    acknowledged.push_back("K" + std::to_string(i));
    EXPECT_EQ(Text(Ctl::CallEntered), "") << k;
    EXPECT_EQ(ShownTotals(), fileTotals()) << k;
  }
  EXPECT_GT(failures, 0);
  // A fault in the backup's update (the contact is logged) leaves the backup
  // behind; the next add brings it up to date.
  AddContact(99);
  acknowledged.push_back("K99");
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  Controller.reset();

  for (const std::string& file : {std::string("TEST/V5LogDB.vlm"), std::string("TEST/BakV5LogDB.vlm")}) {
    std::vector<std::string> calls;
    for (const QsoRecord& q : QsosOf({LogTableSpec(), Home + file})) calls.push_back(q.Call);
    EXPECT_EQ(calls, acknowledged) << file;
  }
}

// Real damaged files: a state file of random bytes and a zero-length member
// file. The program starts, names both in the status panel, and logs.
TEST_F(EngineLogTest, DamagedStateAndMemberFilesAreNamedAndContactsAreLogged) {
  std::string noise(8192, '\0');
  uint32_t x = 2463534242u;
  for (char& c : noise) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  WriteFile(Home + "USCountryDB.vlm", noise);
  WriteFile(Home + "WWHAMDB.vlm", "");
  Start({true, "IBM", true});
  EXPECT_EQ(Text(Ctl::StatPanel), " Damaged, not used: USCountryDB.vlm, WWHAMDB.vlm");
  EXPECT_FALSE(Controller->StateTableOpen());
  EXPECT_FALSE(Controller->MemberTableOpen());
  EXPECT_TRUE(View.Messages.empty());
  AddContact(1);
  AddContact(2);
  EXPECT_EQ(Text(Ctl::LogNr), "2 Log Entries");
  EXPECT_EQ(ReadFile(Home + "USCountryDB.vlm"), noise);  // left as it was
  Controller.reset();
  EXPECT_EQ(LogRecords().size(), 2u);
}

}  // namespace
}  // namespace qv::app::wintest
