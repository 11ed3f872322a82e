// The main window on real database files only: a long log through the
// controller and a restart, the backup as a database of its own, and a post
// that fails inside the engine.
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

// A commit that cannot write (a full disk): the engine's error reaches the
// error box, the entry is kept for another try, and the backup, which is not
// touched after a failed post, still holds every contact added before.
TEST_F(EngineLogTest, ACommitThatCannotWriteKeepsTheEntryAndTheBackup) {
  Start({true, "IBM", true});
  AddContact(3);
  const std::string backupBefore = ReadFile(Home + "TEST/BakV5LogDB.vlm");
  {
    auto disarm = ScopeExit([] { SetFileFaultAfter(0, FileFault::FailFrom); });
    SetFileFaultAfter(1, FileFault::FailFrom);
    try {
      AddContact(6);
      ADD_FAILURE() << "the post succeeded";
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(Controller->LogData().State(), dsBrowse);
  EXPECT_EQ(Text(Ctl::CallEntered), "K6");
  Controller.reset();
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), backupBefore);
  const std::vector<QsoRecord> backup = QsosOf({LogTableSpec(), Home + "TEST/BakV5LogDB.vlm"});
  ASSERT_EQ(backup.size(), 1u);
  EXPECT_EQ(backup[0].Call, "K3");
}

}  // namespace
}  // namespace qv::app::wintest
