// The backup copy of a log: after every update it is byte-identical to the
// log; a backup of the same kind and size is updated in place, writing only
// the blocks that differ; a missing, foreign or resized one is rebuilt whole
// through a new file and a rename.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "appdata/AtomicFile.h"
#include "appdata/BackupCopy.h"
#include "platform/os/File.h"
#include "tests/support/ScratchFolder.h"

namespace qv::app {
namespace {

constexpr int64_t kBlock = kBackupBlockSize;

// A log-like file: a signature, then bytes that follow a seed.
std::string LogBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  std::mt19937 rng(seed);
  for (char& c : bytes) c = static_cast<char>(rng());
  const std::string_view signature = "QVTESTDATABASE01";
  bytes.replace(0, std::min(size, signature.size()), signature.substr(0, std::min(size, signature.size())));
  return bytes;
}

std::string Read(const std::string& path) {
  bool found = false;
  return ReadWholeFile(path, found);
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BackupCopyTest, TheBackupFollowsTheLogWritingOnlyWhatDiffers) {
  const std::string base = LogBytes(40 * kBlock + 380, 7);
  struct Case {
    std::string_view Name;
    std::function<std::string()> Backup;  // `missing`: no backup file
    std::function<std::string()> Log;
    bool Rebuilt;
    int64_t BlocksWritten;
    int64_t Writes;  // in place: one write per run of adjacent blocks, and the flush
  };
  const std::string missing = "\x01missing";
  const Case cases[] = {
      {"first copy", [&] { return missing; }, [&] { return base; }, true, 0, 0},
      {"unchanged", [&] { return base; }, [&] { return base; }, false, 0, 1},
      {"one changed byte",
       [&] { return base; },
       [&] {
         std::string s = base;
         s[17 * kBlock + 5] ^= 0x55;
         return s;
       },
       false, 1, 2},
      {"a page across two blocks and the last, short block",
       [&] { return base; },
       [&] {
         std::string s = base;
         for (int64_t i = 3 * kBlock + 380; i < 4 * kBlock + 380; ++i) s[i] = 'p';
         s.back() ^= 1;
         return s;
       },
       false, 3, 3},
      {"grown", [&] { return base; }, [&] { return base + LogBytes(4 * kBlock, 8); }, true, 0, 0},
      {"shrunk", [&] { return base; }, [&] { return base.substr(0, 30 * kBlock); }, true, 0, 0},
      {"foreign (same size, another signature)",
       [&] { return LogBytes(base.size(), 9).replace(0, 4, "XXXX"); },
       [&] { return base; }, true, 0, 0},
      {"empty log", [&] { return base; }, [&] { return std::string(); }, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm");
    const std::string backup = dir.File("BakV5LogDB.vlm");
    const std::string before = c.Backup();
    if (before != missing) WriteFileAtomically(backup, before);
    const std::string after = c.Log();
    WriteFileAtomically(log, after);

    const int64_t writes = FileWriteCount();
    const BackupUpdate u = UpdateBackupCopy(log, backup);
    EXPECT_EQ(u.Rebuilt, c.Rebuilt);
    EXPECT_EQ(u.BlocksWritten, c.BlocksWritten);
    EXPECT_EQ(Read(backup), after);
    EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"BakV5LogDB.vlm", "V5LogDB.vlm"}));
    // An unchanged log writes no block at all, only the flush.
    if (!c.Rebuilt) {
      EXPECT_EQ(FileWriteCount() - writes, c.Writes);
    }
  }
}

TEST(BackupCopyTest, AFailedRebuildKeepsTheOldBackupAndLeavesNoTemporary) {
  test::ScratchFolder dir;
  const std::string log = dir.File("V5LogDB.vlm");
  const std::string backup = dir.File("BakV5LogDB.vlm");
  WriteFileAtomically(log, LogBytes(8 * kBlock, 1));
  WriteFileAtomically(backup, "an older, shorter backup");

  // The rebuild's rename (its third change: write, flush, rename) fails:
  // the old backup stays as it was.
  SetFileFaultAfter(3, FileFault::Fail);
  EXPECT_THROW(UpdateBackupCopy(log, backup), EOSError);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup), "an older, shorter backup");
  EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"BakV5LogDB.vlm", "V5LogDB.vlm"}));

  // A failed write in place falls back to a rebuild.
  UpdateBackupCopy(log, backup);
  std::string changed = LogBytes(8 * kBlock, 1);
  changed[kBlock] ^= 1;
  WriteFileAtomically(log, changed);
  SetFileFaultAfter(1, FileFault::Fail);
  const BackupUpdate u = UpdateBackupCopy(log, backup);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_TRUE(u.Rebuilt);
  EXPECT_EQ(Read(backup), changed);

  // No log: nothing to copy, the backup is kept.
  std::filesystem::remove(log);
  EXPECT_THROW(UpdateBackupCopy(log, backup), EOSError);
  EXPECT_EQ(Read(backup), changed);
}

}  // namespace
}  // namespace qv::app
