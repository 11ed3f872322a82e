// The backup copy of a log: after every update it is byte-identical to the
// log; a backup of the same kind and size is updated in place, writing only
// the blocks that differ; a missing, foreign or resized one is rebuilt whole
// through a new file and a rename, which never leaves a half-written backup.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "appdata/AtomicFile.h"
#include "appdata/BackupCopy.h"
#include "tests/support/ScratchFolder.h"

namespace qv::app {
namespace {

constexpr int64_t kBlock = kBackupBlockSize;

// A log-like file: a signature, then bytes that follow the seed.
std::string LogBytes(size_t size, uint32_t seed, std::string_view signature = "QVTESTDATABASE01") {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes.replace(0, std::min(size, signature.size()), signature.substr(0, std::min(size, signature.size())));
}

std::string Read(const std::string& path) {
  bool found = false;
  return ReadWholeFile(path, found);
}

TEST(BackupCopyTest, TheBackupFollowsTheLogWritingOnlyWhatDiffers) {
  const std::string base = LogBytes(40 * kBlock + 380, 7);
  std::string oneByte = base;
  oneByte[17 * kBlock + 5] ^= 0x55;
  std::string pageAndTail = base;  // a page across blocks 3 and 4, and the short last block
  pageAndTail.replace(3 * kBlock + 380, kBlock, kBlock, 'p');
  pageAndTail.back() ^= 1;
  const std::string none = "\x01 no backup file";
  struct Case {
    std::string_view Name;
    std::string Backup, Log;
    bool Rebuilt;
    int64_t Blocks, Writes;  // in place: a write per run of adjacent blocks, and the flush
  } cases[] = {
      {"first copy", none, base, true, 0, 0},
      {"unchanged", base, base, false, 0, 1},
      {"one changed byte", base, oneByte, false, 1, 2},
      {"a page and the last block", base, pageAndTail, false, 3, 3},
      {"grown", base, base + LogBytes(4 * kBlock, 8), true, 0, 0},
      {"shrunk", base, base.substr(0, 30 * kBlock), true, 0, 0},
      {"foreign", LogBytes(base.size(), 9, "ANOTHERKINDOFILE"), base, true, 0, 0},
      {"empty log", base, "", true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
    if (c.Backup != none) WriteFileAtomically(backup, c.Backup);
    WriteFileAtomically(log, c.Log);
    const int64_t writes = FileWriteCount();
    const BackupUpdate u = UpdateBackupCopy(log, backup);
    EXPECT_EQ(u.Rebuilt, c.Rebuilt);
    EXPECT_EQ(u.BlocksWritten, c.Blocks);
    if (!c.Rebuilt) {
      EXPECT_EQ(FileWriteCount() - writes, c.Writes);
    }
    EXPECT_EQ(Read(backup), c.Log);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);  // no temporary left
  }
}

TEST(BackupCopyTest, AFailedRebuildKeepsTheOldBackupAndAFailedWriteInPlaceRebuilds) {
  test::ScratchFolder dir;
  const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
  std::string bytes = LogBytes(8 * kBlock, 1);
  WriteFileAtomically(log, bytes);
  WriteFileAtomically(backup, "an older, shorter backup");
  SetFileFaultAfter(3, FileFault::Fail);  // the rebuild's write, flush, then its rename fails
  EXPECT_THROW(UpdateBackupCopy(log, backup), EOSError);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup), "an older, shorter backup");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);

  UpdateBackupCopy(log, backup);
  bytes[kBlock] ^= 1;
  WriteFileAtomically(log, bytes);
  SetFileFaultAfter(1, FileFault::Fail);  // the write in place
  EXPECT_TRUE(UpdateBackupCopy(log, backup).Rebuilt);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup), bytes);
}

}  // namespace
}  // namespace qv::app
