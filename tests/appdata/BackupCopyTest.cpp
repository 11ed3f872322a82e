// The backup copy of a log: after every update it is byte-identical to the
// log. With the log's last changes and a backup stamped as the log was
// before them, only the changed ranges are written, the stamp last; without
// them a backup of the same kind and size is compared and the blocks that
// differ written, the first last; a missing, foreign, resized or wrongly
// stamped one is rebuilt whole through a new file and a rename, which never
// leaves a half-written backup. The compare and the rebuild in slices end
// the same. The catch-up at open follows only a database log that committed
// after its backup, and keeps the backup of one that differs otherwise.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
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
  const std::string base = LogBytes(150 * kBlock + 380, 7);  // over two chunks of 64 blocks
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
  for (const auto& [c, sliced] : [&] {
         std::vector<std::pair<Case, bool>> runs;
         for (const Case& c : cases)
           for (bool s : {false, true}) runs.emplace_back(c, s);
         return runs;
       }()) {
    SCOPED_TRACE(std::string(c.Name) + (sliced ? ", in slices" : ""));
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
    if (c.Backup != none) WriteFileAtomically(backup, c.Backup);
    WriteFileAtomically(log, c.Log);
    const int64_t writes = FileWriteCount();
    BackupUpdate u;
    if (sliced) {
      // A slice of one byte goes through one chunk; a rebuild leaves the old
      // backup until its last slice.
      BackupCatchUp catchUp(log, backup);
      int32_t slices = 1;
      for (; !catchUp.Step(1); ++slices) {
        if (c.Road == BackupRoad::Rebuild) {
          EXPECT_EQ(Read(backup), c.Backup == none ? "" : c.Backup);
        }
      }
      EXPECT_EQ(slices, std::max<int32_t>(1, static_cast<int32_t>((c.Log.size() + 64 * kBlock - 1) / (64 * kBlock))));
      u = catchUp.Result();
    } else {
      u = UpdateBackupCopy(log, backup);
    }
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
  std::string bytes = LogBytes(80 * kBlock, 1);
  WriteFileAtomically(log, bytes);
  WriteFileAtomically(backup, "an older, shorter backup");
  SetFileFaultAfter(4, FileFault::Fail);  // the rebuild's two writes, flush, then its rename fails
  EXPECT_THROW(UpdateBackupCopy(log, backup), EOSError);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup), "an older, shorter backup");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);

  {
    BackupCatchUp abandoned(log, backup);  // a rebuild left after its first slice
    EXPECT_FALSE(abandoned.Step(1));
  }
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

// A commit over a log-like file with a stamp at kStamp: it writes pages
// (cut off where the file ends) and the stamp, and reports its changes as
// the database component does (the head, which holds the stamp, first).
constexpr int64_t kStamp = 20, kStampSize = 8;

FileChanges Commit(std::string& log, std::vector<FileChanges::Range> pages, int64_t newSize = -1) {
  FileChanges c{{{0, 100}}, kStamp, log.substr(kStamp, kStampSize), "", true, static_cast<int64_t>(log.size())};
  if (newSize >= 0) log.resize(static_cast<size_t>(newSize), '\0');
  for (const FileChanges::Range& r : pages) {
    c.Ranges.push_back(r);
    for (int64_t at = r.Position; at < std::min<int64_t>(r.Position + r.Length, log.size()); ++at)
      log[static_cast<size_t>(at)] = static_cast<char>('a' + at % 13 + log[kStamp]);
  }
  ++log[kStamp];
  c.StampAfter = log.substr(kStamp, kStampSize);
  return c;
}

TEST(BackupCopyTest, TheCommitsChangesAreWrittenWhenTheBackupHoldsTheStampBeforeThem) {
  using Alter = std::function<void(std::string & backup, FileChanges & c)>;
  struct Case {
    std::string_view Name;
    std::vector<FileChanges::Range> Pages;
    int64_t NewSize;
    Alter Change;
    BackupRoad Road;
    int64_t Writes;  // in place: truncate, ranges, flush
  } cases[] = {
      {"two ranges", {{kBlock + 100, 2 * kBlock}, {9 * kBlock, 5}}, -1, nullptr, BackupRoad::Changes, 4},
      {"grown", {{26 * kBlock + 100, kBlock}}, 27 * kBlock + 100, nullptr, BackupRoad::Changes, 4},
      {"shrunk, a page cut off", {{3 * kBlock, 4}, {20 * kBlock, 4}}, 12 * kBlock, nullptr, BackupRoad::Changes, 4},
      {"an older backup", {{kBlock, 9}}, -1, [](std::string& b, FileChanges&) { --b[kStamp]; }, BackupRoad::Rebuild, 0},
      {"another length", {{kBlock, 9}}, -1, [](std::string& b, FileChanges&) { b += "x"; }, BackupRoad::Rebuild, 0},
      // compare: the page's block, a flush, then the first block (the
      // stamp) and a flush
      {"first commit of an open", {{kBlock, 9}}, -1, [](std::string&, FileChanges& c) { c.Complete = false; },
       BackupRoad::Compare, 4},
      {"log committed again", {{kBlock, 9}}, -1, [](std::string&, FileChanges& c) { c.StampAfter[1] ^= 1; },
       BackupRoad::Compare, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
    std::string bytes = LogBytes(24 * kBlock, 3), backupBytes = bytes;
    FileChanges changes = Commit(bytes, c.Pages, c.NewSize);
    if (c.Change) c.Change(backupBytes, changes);
    WriteFileAtomically(backup, backupBytes);
    WriteFileAtomically(log, bytes);
    const int64_t writes = FileWriteCount();
    EXPECT_EQ(UpdateBackupCopy(log, backup, &changes).Road, c.Road);
    if (c.Road != BackupRoad::Rebuild) {
      EXPECT_EQ(FileWriteCount() - writes, c.Writes);
    }
    EXPECT_EQ(Read(backup), bytes);
  }
}

// The stamp is written last: a backup left half written keeps the old one,
// and the next commit's changes do not fit it.
TEST(BackupCopyTest, ABackupLeftHalfWrittenKeepsItsOldStampAndIsRebuiltNextTime) {
  test::ScratchFolder dir;
  const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
  std::string bytes = LogBytes(12 * kBlock, 5);
  WriteFileAtomically(backup, bytes);
  const FileChanges first = Commit(bytes, {{4 * kBlock, kBlock}});
  WriteFileAtomically(log, bytes);
  SetFileFaultAfter(2, FileFault::FailFrom);  // the page is written, the stamp and the rebuild fail
  EXPECT_THROW(UpdateBackupCopy(log, backup, &first), EOSError);
  SetFileFaultAfter(0, FileFault::Fail);
  EXPECT_EQ(Read(backup).substr(kStamp, kStampSize), first.StampBefore);
  const FileChanges second = Commit(bytes, {{7 * kBlock, kBlock}});
  WriteFileAtomically(log, bytes);
  EXPECT_EQ(UpdateBackupCopy(log, backup, &second).Road, BackupRoad::Rebuild);
  EXPECT_EQ(Read(backup), bytes);
}

// A database file of the engine's kind: its signature, then bytes that
// follow the seed, its commit count at kBackupCommitCountPosition.
std::string DatabaseBytes(size_t size, uint32_t seed, uint32_t count) {
  std::string bytes = LogBytes(size, seed, kBackupDatabaseSignature);
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<size_t>(kBackupCommitCountPosition + i)] = static_cast<char>(count >> (8 * i));
  return bytes;
}

TEST(BackupCopyTest, TheCatchUpFollowsOnlyALogThatCommittedAfterTheBackup) {
  const std::string base = DatabaseBytes(70 * kBlock + 380, 11, 41);  // two chunks
  const auto changed = [&](uint32_t count, int64_t at) {
    std::string bytes = DatabaseBytes(base.size(), 11, count);
    bytes[static_cast<size_t>(at)] ^= 0x10;
    return bytes;
  };
  const std::string none = "\x01 no backup file";
  struct Case {
    std::string_view Name;
    std::string Backup, Log;
    BackupFollow Follow;
    std::optional<uint32_t> CountBeforeOpen;
    BackupRoad Road;  // Kept: the backup stays as it was
  } cases[] = {
      {"same commit, same bytes", base, base, BackupFollow::LaterCommit, {}, BackupRoad::Compare},
      {"same commit, a byte changed", base, changed(41, 66 * kBlock), BackupFollow::LaterCommit, {}, BackupRoad::Kept},
      {"same commit, cut", base, base.substr(0, 30 * kBlock), BackupFollow::LaterCommit, {}, BackupRoad::Kept},
      {"earlier commit", base, changed(40, 3 * kBlock), BackupFollow::LaterCommit, {}, BackupRoad::Kept},
      {"later commit", base, changed(42, 66 * kBlock), BackupFollow::LaterCommit, {}, BackupRoad::Compare},
      {"later commit, grown", base, base + LogBytes(kBlock, 3), BackupFollow::LaterCommit, 42, BackupRoad::Rebuild},
      {"the open committed", base, changed(42, 3 * kBlock), BackupFollow::LaterCommit, 41, BackupRoad::Kept},
      {"kept before, later commit", base, changed(42, 3 * kBlock), BackupFollow::Never, {}, BackupRoad::Kept},
      {"kept before, restored", base, base, BackupFollow::Never, {}, BackupRoad::Compare},
      {"backup of another kind", LogBytes(base.size(), 9), changed(41, 3 * kBlock), BackupFollow::Never, {},
       BackupRoad::Rebuild},
      {"no backup", none, base, BackupFollow::Never, {}, BackupRoad::Rebuild},
      {"log of another kind", base, LogBytes(base.size(), 9), BackupFollow::LaterCommit, {}, BackupRoad::Rebuild},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::ScratchFolder dir;
    const std::string log = dir.File("V5LogDB.vlm"), backup = dir.File("BakV5LogDB.vlm");
    if (c.Backup != none) WriteFileAtomically(backup, c.Backup);
    WriteFileAtomically(log, c.Log);
    BackupCatchUp catchUp(log, backup, c.Follow, c.CountBeforeOpen);
    // The first slice goes through the first chunk; the stamp's block is
    // written only with the last.
    if (!catchUp.Step(1) && c.Road == BackupRoad::Compare) {
      EXPECT_EQ(Read(backup).substr(0, kBlock), c.Backup.substr(0, kBlock));
    }
    EXPECT_EQ(catchUp.Run().Road, c.Road);
    EXPECT_EQ(Read(backup), c.Road == BackupRoad::Kept ? c.Backup : c.Log);
  }
  test::ScratchFolder dir;
  WriteFileAtomically(dir.File("a"), base);
  WriteFileAtomically(dir.File("b"), LogBytes(base.size(), 9));
  EXPECT_EQ(ReadCommitCount(dir.File("a")), 41u);
  EXPECT_EQ(ReadCommitCount(dir.File("b")), std::nullopt);
  EXPECT_EQ(ReadCommitCount(dir.File("none")), std::nullopt);
}

}  // namespace
}  // namespace qv::app
