// The backup copy of the log after each added contact: brought up to date
// from the live file every time (no temporary file is left beside it, also
// when the copy fails), and a failed copy keeps the contact; on a log file
// only what the add's commit changed is written.
#include <unistd.h>

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

// A run of the program killed while it rebuilt the backup, or restored the
// log, leaves the temporary files of its copies; the next open of the log
// removes those of processes that are gone, and nothing else.
TEST_P(BackupCopyTest, AtOpenTemporariesOfProcessesThatAreGoneAreRemoved) {
  const std::string dir = Home + "TEST/";
  // Above any process id the system gives.
  const std::vector<std::string> gone = {"BakV5LogDB.vlm.tmp4194305-7", "V5LogDB.vlm.tmp4194305-1",
                                         "V5LogDB.vlm.tmp4194305-1.jnl", "V5LogDB.vlm.before-restore.tmp4194305-2"};
  const std::vector<std::string> kept = {
      "BakV5LogDB.vlm.tmp" + std::to_string(::getppid()) + "-0",  // a running process's
      "BakV5LogDB.vlm.tmp" + std::to_string(::getpid()) + "-3",   // this process's
      "BakV5LogDB.vlm.tmp",  "BakV5LogDB.vlm.tmp04194305-1", "BakV5LogDB.vlm.tmp4194305-", "V5LogDB.vlm.tmp",
      "V5LogDB.vlm.tmp4194305-1.",
  };
  for (const std::string& name : kept) WriteFile(dir + name, "x");
  for (const std::string& name : gone) WriteFile(dir + name, std::string(8192, 'x'));
  Start({});
  while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  std::vector<std::string> expected = kept;
  expected.push_back("V5LogDB.vlm");
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> left = LogFolder();
  left.erase(std::remove(left.begin(), left.end(), "BakV5LogDB.vlm"), left.end());
  EXPECT_EQ(left, expected);
}

QV_ON_BOTH_TABLE_KINDS(BackupCopyTest);

// Adds, deletes and edits in random order on a log file, as the operator
// and the log editor make them, now and then a backup spoilt (its stamp
// edited by hand, an older copy put back, deleted) and the program started
// again. After every add the backup is the log byte for byte, and nothing
// was said (a backup older than the log is no sign of damage); it took the
// commit's changes when the add followed an add or a start (which brings
// the backup up to date, in slices or at the add), and was rebuilt whole
// when a delete, an edit (which reach it with the next add) or a spoilt
// backup came between.
class BackupOfLogFileTest : public WindowFixture {
protected:
  tabletest::TablesKind KindOfTables() const override { return tabletest::TablesKind::Engine; }
};

TEST_F(BackupOfLogFileTest, AfterEveryAddOfARandomRunTheBackupIsTheLog) {
  Start({});
  const std::string backup = Home + "TEST/BakV5LogDB.vlm";
  bool found = false;  // read through the file layer: a stream is slow under the sanitizers
  const auto read = [&](const std::string& path) { return ReadWholeFile(path, found); };
  const auto log = [&]() -> DataSet& { return Controller->LogData(); };
  std::mt19937 random(45);
  BackupRoad expected = BackupRoad::Changes;
  std::string older;
  int32_t changes = 0;
  auto budget = qv::test::TestBudget::Steps(1000, 25);
  uint64_t step = 0;
  for (; budget.Continue(step); ++step) {
    const uint32_t what = random() % 22;
    if (what < 12 || log().RecordCount() < 3) {
      if (random() % 8 == 0) older = read(backup);  // older than the backup after this add
      Set(Ctl::CallEntered, "K" + std::to_string(step));
      Set(Ctl::FreqEntered, "14");
      Set(Ctl::Mode, "SSB");
      Controller->AddToLogButtonClick();
      ASSERT_EQ(read(backup), read(Home + "TEST/V5LogDB.vlm")) << "after step " << step;
      ASSERT_EQ(View.MessageTexts(), std::vector<std::string>{}) << "after step " << step;
      ASSERT_EQ(Controller->LastBackupUpdate().Road, expected) << "at step " << step;
      changes += Controller->LastBackupUpdate().Road == BackupRoad::Changes;
      expected = BackupRoad::Changes;
      continue;
    }
    if (what >= 20) {
      // A close and a start, the first add perhaps before the slices are through.
      Controller->FormClose();
      Start({});
      for (uint32_t slices = random() % 3; slices > 0; --slices) Controller->BackupTimer();
      expected = BackupRoad::Changes;
      continue;
    }
    // The log editor's button, and the time a hand needs, let the slices end.
    while (Controller->BackupCatchingUp()) Controller->BackupTimer();
    expected = BackupRoad::Rebuild;
    if (what < 17) {
      log().First();
      log().MoveBy(static_cast<int32_t>(random() % static_cast<uint32_t>(log().RecordCount())));
      if (what < 15) {
        log().Delete();
      } else {
        log().Edit();
        log().FieldByName("Notes")->SetAsString("edit " + std::to_string(step));
        log().Post();
      }
    } else if (what == 17) {
      std::string bytes = read(backup);
      if (found) std::fill_n(bytes.begin() + kBackupCommitCountPosition, 4, '\0');  // a count long past
      WriteFile(backup, bytes);
    } else if (what == 18 && !older.empty()) {
      WriteFile(backup, older);
    } else {
      std::filesystem::remove(backup);
    }
  }
  EXPECT_GT(changes, static_cast<int32_t>(step / 4));
}

}  // namespace
}  // namespace qv::app::wintest
