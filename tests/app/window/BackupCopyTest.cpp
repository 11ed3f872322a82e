// The backup copy of the log after each added contact: brought up to date
// from the live file every time (no temporary file is left beside it, also
// when the copy fails), and a failed copy keeps the contact.
#include "WindowTestSupport.h"
#include "engine/storage/VLMDiskEngineJournal.h"

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

}  // namespace
}  // namespace qv::app::wintest
