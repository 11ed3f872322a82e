// The backup copy of a log: after every update it is byte-identical to the
// log. With the log's last changes and a backup stamped as the log was
// before them, only the changed ranges are written, the stamp last; without
// them a backup of the same kind and size is compared and the blocks that
// differ written; a missing, foreign, resized or wrongly stamped one is
// rebuilt whole through a new file and a rename, which never leaves a
// half-written backup.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
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
    BackupRoad Road;
    int64_t Blocks, Writes;  // in place: a write per run of adjacent blocks, and the flush
  } cases[] = {
      {"first copy", none, base, BackupRoad::Rebuild, 0, 0},
      {"unchanged", base, base, BackupRoad::Compare, 0, 1},
      {"one changed byte", base, oneByte, BackupRoad::Compare, 1, 2},
      {"a page and the last block", base, pageAndTail, BackupRoad::Compare, 3, 3},
      {"grown", base, base + LogBytes(4 * kBlock, 8), BackupRoad::Rebuild, 0, 0},
      {"shrunk", base, base.substr(0, 30 * kBlock), BackupRoad::Rebuild, 0, 0},
      {"foreign", LogBytes(base.size(), 9, "ANOTHERKINDOFILE"), base, BackupRoad::Rebuild, 0, 0},
      {"empty log", base, "", BackupRoad::Rebuild, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
    if (c.Backup != none) WriteFileAtomically(backup, c.Backup);
    WriteFileAtomically(log, c.Log);
    const int64_t writes = FileWriteCount();
    const BackupUpdate u = UpdateBackupCopy(log, backup);
    EXPECT_EQ(u.Road, c.Road);
    EXPECT_EQ(u.BlocksWritten, c.Blocks);
    if (c.Road != BackupRoad::Rebuild) {
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
  EXPECT_EQ(UpdateBackupCopy(log, backup).Road, BackupRoad::Rebuild);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup), bytes);
}

// A log-like file with a stamp, and a commit over it that reports its
// changes as the database component does: the head (which holds the
// stamp), then the changed ranges.
constexpr int64_t kStampAt = 20, kStampSize = 8, kHeadSize = 100;

struct Commit {
  std::vector<FileChanges::Range> Pages;  // written with the commit's pattern
  int64_t NewSize = -1;                   // the log's length after it (-1: as before)
};

FileChanges Apply(std::string& log, const Commit& commit, char pattern) {
  FileChanges c;
  c.StampPosition = kStampAt;
  c.StampBefore = log.substr(kStampAt, kStampSize);
  c.SizeBefore = static_cast<int64_t>(log.size());
  c.Complete = true;
  if (commit.NewSize >= 0) log.resize(static_cast<size_t>(commit.NewSize), '\0');
  c.Ranges.push_back({0, kHeadSize});
  for (const FileChanges::Range& r : commit.Pages) {
    c.Ranges.push_back(r);
    for (int64_t at = r.Position; at < std::min<int64_t>(r.Position + r.Length, log.size()); ++at)
      log[static_cast<size_t>(at)] = static_cast<char>(pattern + at % 13);
  }
  ++log[kStampAt + kStampSize - 1];
  c.StampAfter = log.substr(kStampAt, kStampSize);
  return c;
}

TEST(BackupCopyTest, TheLastCommitsChangesAreWrittenWhenTheBackupHoldsTheStampBeforeThem) {
  const std::string base = LogBytes(24 * kBlock, 3);
  const std::string none = "\x01 no backup file";
  struct Case {
    std::string_view Name;
    Commit Change;
    std::function<void(std::string& backup, FileChanges& c)> Alter;  // the backup and the report
    BackupRoad Road;
    int64_t Ranges, Writes;  // in place: truncate, ranges, flush
  } cases[] = {
      {"a page", {{{5 * kBlock + 100, kBlock}}}, nullptr, BackupRoad::Changes, 2, 3},
      {"two ranges", {{{kBlock + 100, 2 * kBlock}, {9 * kBlock + 100, kBlock}}}, nullptr,
       BackupRoad::Changes, 3, 4},
      {"grown, a new page at the end", {{{26 * kBlock + 100, kBlock}}, 27 * kBlock + 100}, nullptr,
       BackupRoad::Changes, 2, 4},
      {"shrunk, a freed page cut off", {{{3 * kBlock, 4}, {20 * kBlock, 4}}, 12 * kBlock}, nullptr,
       BackupRoad::Changes, 2, 4},
      {"no backup", {{{kBlock, 9}}}, [&](std::string& b, FileChanges&) { b = none; }, BackupRoad::Rebuild, 0, 0},
      {"an older backup", {{{kBlock, 9}}}, [](std::string& b, FileChanges&) { --b[kStampAt + kStampSize - 1]; },
       BackupRoad::Rebuild, 0, 0},
      {"a stamp edited by hand", {{{kBlock, 9}}}, [](std::string& b, FileChanges&) { b[kStampAt] = 'x'; },
       BackupRoad::Rebuild, 0, 0},
      {"the first commit of an open", {{{kBlock, 9}}}, [](std::string&, FileChanges& c) { c.Complete = false; },
       BackupRoad::Compare, 0, 2},
      {"a backup of another length", {{{kBlock, 9}}}, [](std::string& b, FileChanges&) { b += "more"; },
       BackupRoad::Rebuild, 0, 0},
      {"the log committed again since", {{{kBlock, 9}}},
       [](std::string&, FileChanges& c) { c.StampAfter[0] ^= 1; }, BackupRoad::Compare, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
    std::string bytes = base, backupBytes = base;
    FileChanges changes = Apply(bytes, c.Change, 'a');
    if (c.Alter) c.Alter(backupBytes, changes);
    if (backupBytes != none) WriteFileAtomically(backup, backupBytes);
    WriteFileAtomically(log, bytes);
    const int64_t writes = FileWriteCount();
    const BackupUpdate u = UpdateBackupCopy(log, backup, &changes);
    EXPECT_EQ(u.Road, c.Road);
    EXPECT_EQ(u.RangesWritten, c.Ranges);
    if (c.Road != BackupRoad::Rebuild) {
      EXPECT_EQ(FileWriteCount() - writes, c.Writes);
    }
    EXPECT_EQ(Read(backup), bytes);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
  }
}

TEST(BackupCopyTest, ABackupLeftHalfWrittenKeepsItsOldStampAndTheNextCommitRebuildsIt) {
  test::ScratchFolder dir;
  const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
  std::string bytes = LogBytes(12 * kBlock, 5);
  WriteFileAtomically(backup, bytes);
  const FileChanges first = Apply(bytes, {{{4 * kBlock, kBlock}}}, 'p');
  WriteFileAtomically(log, bytes);
  // The page is written, the head with the stamp fails, and so does every
  // write of the rebuild after it.
  SetFileFaultAfter(2, FileFault::FailFrom);
  EXPECT_THROW(UpdateBackupCopy(log, backup, &first), EOSError);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup).substr(kStampAt, kStampSize), first.StampBefore);
  EXPECT_EQ(Read(backup).substr(4 * kBlock, kBlock), bytes.substr(4 * kBlock, kBlock));

  const FileChanges second = Apply(bytes, {{{7 * kBlock, kBlock}}}, 'q');
  WriteFileAtomically(log, bytes);
  EXPECT_EQ(UpdateBackupCopy(log, backup, &second).Road, BackupRoad::Rebuild);
  EXPECT_EQ(Read(backup), bytes);
  const FileChanges third = Apply(bytes, {{{kBlock, 10}}}, 'r');
  WriteFileAtomically(log, bytes);
  EXPECT_EQ(UpdateBackupCopy(log, backup, &third).Road, BackupRoad::Changes);
  EXPECT_EQ(Read(backup), bytes);
}

}  // namespace
}  // namespace qv::app
