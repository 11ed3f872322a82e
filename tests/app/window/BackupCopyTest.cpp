// The backup copy of the log after each added contact: brought up to date
// from the live file every time (no temporary file is left beside it, also
// when the copy fails), and a failed copy keeps the contact. On a log file,
// an add that follows an add writes only what its commit changed; a backup
// that is not the log as it stood before that commit is rebuilt whole.
#include <optional>
#include <random>

#include "WindowTestSupport.h"
#include "appdata/AtomicFile.h"
#include "engine/storage/VLMDiskEngineJournal.h"
#include "tests/support/TestBudget.h"

namespace qv::app::wintest {
namespace {

class BackupCopyTest : public WindowTest {
protected:
  void AddContact(const std::string& call) {
    Set(Ctl::CallEntered, call);
    Set(Ctl::FreqEntered, "7");
    Set(Ctl::Mode, "CW");
    Controller->AddToLogButtonClick();
  }
  // The files of the log folder, but for the live file's journal, which
  // lies beside it while the log is open.
  std::vector<std::string> LogFolder() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Home + "TEST"))
      if (e.path().string() != VLMJournalFileName(Home + "TEST/V5LogDB.vlm"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_P(BackupCopyTest, EveryAddRewritesTheBackupFromTheLiveFile) {
  Start({});
  AddContact("K1XX");
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), ReadFile(Home + "TEST/V5LogDB.vlm"));
  EXPECT_EQ(LogFolder(), (std::vector<std::string>{"BakV5LogDB.vlm", "V5LogDB.vlm"}));

  // A backup changed since (here: a foreign file) follows the live file at
  // the next contact.
  const std::string changed("changed \x00\xD8 backup bytes, and longer than before", 45);
  WriteFile(Home + "TEST/BakV5LogDB.vlm", changed);
  AddContact("K2YY");
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), ReadFile(Home + "TEST/V5LogDB.vlm"));
  EXPECT_EQ(LogFolder(), (std::vector<std::string>{"BakV5LogDB.vlm", "V5LogDB.vlm"}));
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  EXPECT_EQ(LogRecords().size(), 2u);
}

TEST_P(BackupCopyTest, AFailedCopyLeavesNoTemporaryAndTheNextAddTriesAgain) {
  Start({});
  std::filesystem::create_directory(Home + "TEST/BakV5LogDB.vlm");  // cannot be replaced by a file
  AddContact("K1XX");
  EXPECT_EQ(Text(Ctl::StatPanel), "Backup copy of the Log failed!");
  EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 255u);
  EXPECT_EQ(LogFolder(), (std::vector<std::string>{"BakV5LogDB.vlm", "V5LogDB.vlm"}));
  EXPECT_TRUE(std::filesystem::is_directory(Home + "TEST/BakV5LogDB.vlm"));

  std::filesystem::remove(Home + "TEST/BakV5LogDB.vlm");
  AddContact("K2YY");
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), ReadFile(Home + "TEST/V5LogDB.vlm"));
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  EXPECT_EQ(LogRecords().size(), 2u);
}

QV_ON_BOTH_TABLE_KINDS(BackupCopyTest);

class BackupOfLogFileTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }
  void AddContact(const std::string& call) {
    Set(Ctl::CallEntered, call);
    Set(Ctl::FreqEntered, "14");
    Set(Ctl::Mode, "SSB");
    Controller->AddToLogButtonClick();
    ASSERT_EQ(Text(Ctl::StatPanel), "");
  }
  std::string Backup() const { return Home + "TEST/BakV5LogDB.vlm"; }
  // Read whole through the file layer (the stream reader is slow under the
  // sanitizers and this runs after every add).
  bool BackupIsLog() {
    bool found = false;
    return ReadWholeFile(Backup(), found) == ReadWholeFile(Home + "TEST/V5LogDB.vlm", found);
  }
  BackupRoad Road() const { return Controller->LastBackupUpdate().Road; }
};

// Adds, deletes and edits in random order, as the operator and the log
// editor make them on the live log. After every add the backup is the log
// byte for byte; it took the add's changes when the add followed an add,
// and was rebuilt when a delete or an edit came between (the log editor's
// changes reach it with the next add).
TEST_F(BackupOfLogFileTest, AfterEveryAddOfARandomRunTheBackupIsTheLog) {
  Start({});
  std::mt19937 random(45);
  DataSet& log = Controller->LogData();
  const auto goTo = [&](int32_t n) {
    log.First();
    log.MoveBy(n);
  };
  int32_t roads[3] = {};
  std::optional<BackupRoad> expected;  // none: the first add of the start
  auto budget = qv::test::TestBudget::Steps(1000, 25);
  uint64_t step = 0;
  for (; budget.Continue(step); ++step) {
    const uint32_t what = random() % 10;
    const int32_t count = log.RecordCount();
    if (what < 6 || count < 3) {
      AddContact("K" + std::to_string(step));
      ASSERT_TRUE(BackupIsLog()) << "after step " << step;
      if (expected) {
        ASSERT_EQ(Road(), *expected) << "at step " << step;
      }
      ++roads[static_cast<int>(Road())];
      expected = BackupRoad::Changes;
    } else if (what < 8) {
      goTo(static_cast<int32_t>(random() % static_cast<uint32_t>(count)));
      log.Delete();
      expected = BackupRoad::Rebuild;
    } else {
      goTo(static_cast<int32_t>(random() % static_cast<uint32_t>(count)));
      log.Edit();
      log.FieldByName("Notes")->SetAsString("edit " + std::to_string(step));
      log.Post();
      expected = BackupRoad::Rebuild;
    }
  }
  EXPECT_GT(roads[static_cast<int>(BackupRoad::Changes)], roads[static_cast<int>(BackupRoad::Rebuild)]);
  RecordProperty("steps", static_cast<int>(step));
  RecordProperty("changes", roads[static_cast<int>(BackupRoad::Changes)]);
}

// A backup that is not the log as it stood before the add's commit (its
// stamp edited by hand, an older copy, none) is rebuilt whole, and the add
// after it takes the changes again; so does the first add of a start, after
// which the backup is compared with the log whole.
TEST_F(BackupOfLogFileTest, ABackupThatDoesNotMatchTheStampIsRebuiltWhole) {
  Start({});
  AddContact("K1AA");
  EXPECT_EQ(Road(), BackupRoad::Rebuild);  // there was none
  AddContact("K1AB");
  EXPECT_EQ(Road(), BackupRoad::Changes);
  const std::string older = ReadFile(Backup());
  AddContact("K1AC");
  struct Case {
    std::string_view Name;
    std::function<void()> Spoil;
  } cases[] = {
      {"stamp edited by hand", [&] {
         std::string bytes = ReadFile(Backup());
         bytes[38] ^= 0x10;  // the commit counter
         WriteFile(Backup(), bytes);
       }},
      {"an older copy", [&] { WriteFile(Backup(), older); }},
      {"missing", [&] { std::filesystem::remove(Backup()); }},
  };
  int32_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Spoil();
    AddContact("K2A" + std::to_string(++n));
    EXPECT_EQ(Road(), BackupRoad::Rebuild);
    EXPECT_TRUE(BackupIsLog());
    AddContact("K3A" + std::to_string(n));
    EXPECT_EQ(Road(), BackupRoad::Changes);
    EXPECT_TRUE(BackupIsLog());
  }

  // A new start knows nothing of the commits before it: its first add
  // compares, the next takes the changes.
  Controller.reset();
  Start({});
  AddContact("K4AA");
  EXPECT_EQ(Road(), BackupRoad::Compare);
  EXPECT_TRUE(BackupIsLog());
  AddContact("K4AB");
  EXPECT_EQ(Road(), BackupRoad::Changes);
  EXPECT_TRUE(BackupIsLog());
  EXPECT_EQ(LogRecords().size(), 11u);
}

}  // namespace
}  // namespace qv::app::wintest
