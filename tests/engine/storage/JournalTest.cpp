// The journal of an interrupted commit is applied by the next open of its own
// file that has the file alone and may write, also over a write torn inside
// a piece, and never to any other file: a backup restored over the file,
// another database with the same header, a copy made without the journal; a
// journal that is not whole is never applied, and one damaged beside an
// unfinished commit stays with the file untouched; an open that may not
// apply it reads around it; a sharing connection rolls it back before it
// writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"

namespace {

using namespace storage_test;

constexpr int32_t kPageSize = 1024;

// Pages 3-5 of path in pattern seed, committed alone or as a sharing handle
// would; with failFrom the commit fails from that file operation on (the
// journal is written by operations 1 and 2; fault TornFrom tears that
// operation's write first) and leaves its journal. kCutAfterPages: the
// operation after CommitState 1 and the pages (a sharing handle flushes
// after each).
constexpr int kCutAfterPages = -1;
void CommitPattern(const std::string& path, uint8_t seed, int failFrom = 0, bool alone = true,
                   qv::FileFault fault = qv::FileFault::FailFrom) {
  if (failFrom == kCutAfterPages) failFrom = alone ? 5 : 6;
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  pm.SetSoleWriterLock(alone);
  for (int32_t no : {3, 4, 5}) {
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMAnyPageType));
    FillData(page.Get(), seed);
    page->Modified = true;
  }
  if (failFrom > 0) qv::SetFileFaultAfter(failFrom, fault, 99, 7);
  const int32_t code = CodeOf([&] { pm.Commit(0); });
  qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);
  EXPECT_EQ(code != 0, failFrom > 0);
  pm.CloseDatabase();
}

// The pattern of pages 3-5 (-1: they differ), after an open that reports
// whether the file needs repair.
int Pattern(const std::string& path, bool& needsRepair, bool readOnly = false) {
  TVLMDiskPageManager pm;
  needsRepair = OpenDatabase(pm, path, "", readOnly).NeedsRepair;
  int found = -2;
  for (int32_t no : {3, 4, 5}) {
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMAnyPageType));
    int seed = -1;
    for (int s : {1, 2, 3, 7})
      if (DataIs(page.Get(), static_cast<uint8_t>(s))) seed = s;
    found = found == -2 || found == seed ? seed : -1;
  }
  return found;
}

TEST(Journal, IsAppliedToItsOwnFileAloneAndNeverToAnother) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("log.vlm"), journal = VLMJournalFileName(path);
  const std::string older = dir.File("older.vlm"), backup = dir.File("backup.vlm"), twin = dir.File("twin.vlm");
  // older: pattern 1; backup and the file: pattern 2, one commit later; twin:
  // the same commits with pattern 7, so the same header as the file.
  CreateStandardDatabase(path, kPageSize, 8);
  for (int32_t i = 0; i < 4; ++i) {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    page.Release();
    pm.Commit(0);
  }
  CommitPattern(path, 1);
  ASSERT_TRUE(qv::CopyFile(path, older, false));
  ASSERT_TRUE(qv::CopyFile(path, twin, false));
  CommitPattern(path, 2);
  CommitPattern(twin, 7);
  ASSERT_TRUE(qv::CopyFile(path, backup, false));
  const std::vector<uint8_t> committed = ReadBytes(path), twinBytes = ReadBytes(twin);
  ASSERT_TRUE(std::equal(committed.begin(), committed.begin() + kVLMBlock1Size, twinBytes.begin()));

  struct Row {
    const char* What;
    int FailFrom;  // the interrupted commit of pattern 3 fails from this operation on
    std::function<void()> Then;
    int Expected;      // pattern after the next open (-1: mixed; 0: the open refuses with 10743)
    bool Repair;       // the open reports that repair is needed
    bool JournalStays;
    qv::FileFault Fault = qv::FileFault::FailFrom;
  };
  const auto copyOver = [&](const std::string& from) { return [&, from] { ASSERT_TRUE(qv::CopyFile(from, path, false)); }; };
  // The stored PageCount damaged to lie far past the file's end.
  const auto countPastTheEnd = [&] {
    uint8_t count[4];
    VLMPutU32LE(count, VLMGetU32LE(committed.data() + kVLMPageCountOffset) + 1000);
    PatchBytes(path, kVLMPageCountOffset, count, sizeof count);
  };
  const auto damage = [&](int64_t at) {
    return [&, at] {
      std::vector<uint8_t> bytes = ReadBytes(journal);
      ASSERT_LT(at, static_cast<int64_t>(bytes.size()));
      bytes[static_cast<size_t>(at)] ^= 0x40;
      WriteBytes(journal, bytes);
    };
  };
  // Operations of the commit alone: journal write and flush, CommitState 1,
  // the three pages, the header after, flush.
  const Row rows[] = {
      {"cut after the pages", 5, [] {}, 2, false, false},
      {"cut after CommitState 1", 4, [] {}, 2, false, false},
      {"cut after the header after, before its flush", 6, [] {}, 3, false, false},
      {"cut in the journal", 1, [] {}, 2, false, false},
      // Not written; the count is the file's own, and only ever cuts it.
      {"cut before CommitState 1, the count damaged past the end", 3, countPastTheEnd, 2, true, false},
      {"the pages' write torn inside a piece", 4, [] {}, 2, false, false, qv::FileFault::TornFrom},
      {"the journal's write torn", 1, [] {}, 2, false, false, qv::FileFault::TornFrom},
      {"the backup of the state before restored over it", 5, copyOver(backup), 2, false, false},
      {"an older backup restored over it", 5, copyOver(older), 1, false, false},
      {"another database with the same header put in its place", 5, copyOver(twin), 7, false, false},
      // Damaged after the commit began: neither applied nor deleted.
      {"a journal with a damaged record", 5, damage(kVLMJournalHeaderSize + 20), 0, false, true},
      {"a journal with a damaged pre-image", 5, damage(kVLMJournalHeaderSize + 3 * 4 + 16 + 200), 0, false, true},
      {"a journal with a damaged header", 5, damage(100), 0, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.What);
    WriteBytes(path, committed);
    qv::DeleteFile(journal);
    CommitPattern(path, 3, row.FailFrom, true, row.Fault);
    ASSERT_EQ(qv::FileExists(journal), true);
    row.Then();
    if (row.Expected == 0) {
      const std::vector<uint8_t> file = ReadBytes(path), kept = ReadBytes(journal);
      TVLMDiskPageManager pm;
      std::string message;
      EXPECT_EQ(CodeOf([&] { OpenDatabase(pm, path); }, &message), 10743);
      EXPECT_EQ(message, "Cannot restore database file '" + path + "' from its journal '" + journal +
                             "': the journal is damaged. Both files are left as they are - Native error: 10743");
      EXPECT_EQ(ReadBytes(path), file);
      EXPECT_EQ(ReadBytes(journal), kept);
      continue;
    }
    const size_t size = ReadBytes(path).size();
    bool repair = false;
    EXPECT_EQ(Pattern(path, repair), row.Expected);
    EXPECT_EQ(repair, row.Repair);
    EXPECT_EQ(qv::FileExists(journal), row.JournalStays);
    EXPECT_LE(ReadBytes(path).size(), size) << "the open grew the file";
  }
}

// An open that may write rolls an interrupted commit back whoever else has
// the file open (its writer is gone: it would hold the database lock); with
// the file alone it writes block 1 before as it was, beside another handle
// with the marks moved (ChangeCounter + 2, RollbackCount + 1). An open that
// may not write reads the last finished commit through the pre-images,
// asks for no repair and leaves file and journal as they are. A copy made
// without the journal asks for repair. An open whose restoring write fails
// raises and leaves the journal for the next.
TEST(Journal, AnOpenThatMayWriteAppliesItAndOneThatMayNotReadsAroundIt) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("log.vlm"), journal = VLMJournalFileName(path);
  CreateStandardDatabase(path, kPageSize, 8);
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    for (int i = 0; i < 4; ++i) TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    pm.Commit(0);
  }
  CommitPattern(path, 2);
  const std::vector<uint8_t> committed = ReadBytes(path);
  for (bool written : {true, false})
    for (bool alone : {true, false}) {
      SCOPED_TRACE(std::string(written ? "written alone" : "written by a sharing handle") +
                   (alone ? ", restored alone" : ", restored beside another handle"));
      WriteBytes(path, committed);
      CommitPattern(path, 3, kCutAfterPages, written);
      const std::vector<uint8_t> torn = ReadBytes(path);
      bool repair = true;
      EXPECT_EQ(Pattern(path, repair, true), 2) << "read-only";
      EXPECT_FALSE(repair);
      EXPECT_EQ(ReadBytes(path), torn);
      ASSERT_TRUE(qv::FileExists(journal));
      const std::string copy = dir.File("copy.vlm");
      ASSERT_TRUE(qv::CopyFile(path, copy, false));
      EXPECT_EQ(Pattern(copy, repair), 3) << "copy";
      EXPECT_TRUE(repair);

      qv::SetFileFaultAfter(2, qv::FileFault::FailFrom);
      TVLMDiskPageManager failing;
      EXPECT_EQ(CodeOf([&] { OpenDatabase(failing, path); }), 10743);
      qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);
      ASSERT_TRUE(qv::FileExists(journal));
      {
        TVLMDatabaseFile other;
        other.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);
        if (!alone) {
          ASSERT_TRUE(other.LockByte(1, 12345));
        }
        EXPECT_EQ(Pattern(path, repair), 2);
      }
      EXPECT_FALSE(repair);
      EXPECT_FALSE(qv::FileExists(journal));
      std::vector<uint8_t> block1(committed.begin(), committed.begin() + kVLMBlock1Size);
      if (!alone) {
        VLMPutU32LE(block1.data() + kVLMChangeCounterOffset, VLMGetU32LE(block1.data() + kVLMChangeCounterOffset) + 2);
        VLMPutU32LE(block1.data() + kVLMRollbackCountOffset, VLMGetU32LE(block1.data() + kVLMRollbackCountOffset) + 1);
      }
      const std::vector<uint8_t> restored = ReadBytes(path);
      EXPECT_TRUE(std::equal(block1.begin(), block1.end(), restored.begin()));
    }
}

// A connection that shares the file with one whose commit was cut after it
// changed pages rolls that commit back before it writes: its own commit
// lands over the file as it was before the cut, and its rollback of a page
// taken before the cut gives that page back.
TEST(Journal, ASharingConnectionRollsAnotherOnesInterruptedCommitBackBeforeItWrites) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string base = dir.File("base.vlm"), path = dir.File("log.vlm");
  CreateStandardDatabase(base, kPageSize, 8);
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, base);
    for (int i = 0; i < 4; ++i) TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    pm.Commit(0);
  }
  CommitPattern(base, 2);
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "a commit after the cut" : "a rollback of a page taken before the cut");
    ASSERT_TRUE(qv::CopyFile(base, path, false));
    TVLMDiskPageManager other;  // open without the single-user lock
    OpenDatabase(other, path);
    // As a connection's session byte: no other open has the file alone.
    ASSERT_TRUE(other.DatabaseFile.LockByte(1, 12345));
    const int32_t taken = commit ? -1 : TVLMHeldPage(&other, other.NewPage(0, kVLMPageTableRecord))->PageNo;
    CommitPattern(path, 3, kCutAfterPages, false);
    if (commit) {
      {
        TVLMHeldPage page(&other, other.GetPage(0, 6, true, kVLMAnyPageType));
        FillData(page.Get(), 1);
        page->Modified = true;
      }
      EXPECT_EQ(CodeOf([&] { other.Commit(0); }), 0);
    }
    EXPECT_EQ(CodeOf([&] { other.RollbackSession(0); }), 0);
    other.CloseDatabase();
    EXPECT_FALSE(qv::FileExists(VLMJournalFileName(path)));
    bool repair = false;
    EXPECT_EQ(Pattern(path, repair), 2);
    EXPECT_FALSE(repair);
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    if (commit) {
      EXPECT_TRUE(DataIs(TVLMHeldPage(&pm, pm.GetPage(0, 6, true, kVLMAnyPageType)).Get(), 1));
    } else {
      EXPECT_FALSE(pm.FreeSpace->IsPageUsed(taken)) << taken;
    }
  }
}

// A sharing handle's commit cut before its first write of the database
// (its journal whole, block 1 as before it, CommitState 2) wrote nothing:
// another handle, which takes the file for a clean one, takes a page in
// place (a hole, or pages past the end, growing the file and writing new
// counts in block 1), and the next open beside it leaves those pages taken
// and the counts as they are (the cut commit's journal holds the maps and
// block 1 as they were before); an open that may not write reads the maps
// as they stand.
TEST(Journal, ACommitCutBeforeItsFirstWriteTakesNoPageBackThatAnotherHandleTookSince) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("log.vlm");
  const auto storedCount = [&] { return VLMGetU32LE(ReadBytes(path).data() + kVLMPageCountOffset); };
  for (const bool grows : {false, true}) {
    SCOPED_TRACE(grows ? "pages past the end" : "a hole");
    CreateStandardDatabase(path, kPageSize, 8);
    int32_t hole = -1, freedByCut = -1;
    {
      // A hole below the last used page, so that taking it changes no count.
      TVLMDiskPageManager pm;
      OpenDatabase(pm, path);
      std::vector<int32_t> pages;
      for (int i = 0; i < 6; ++i) pages.push_back(TVLMHeldPage(&pm, pm.NewPage(0, kVLMPageTableRecord))->PageNo);
      pm.Commit(0);
      hole = pages[1];
      freedByCut = pages[3];
      pm.RemovePage(0, hole);
      pm.Commit(0);
      pm.CloseDatabase();
    }
    TVLMDiskPageManager other;
    OpenDatabase(other, path);
    // As a connection's session byte: no other open has the file alone.
    ASSERT_TRUE(other.DatabaseFile.LockByte(1, 12345));
    {
      // Its free puts the maps into the journal; the journal is written by
      // file operations 1 and 2, and the third (block 1 with CommitState 1)
      // fails.
      TVLMDiskPageManager cut;
      OpenDatabase(cut, path);
      cut.RemovePage(0, freedByCut);
      qv::SetFileFaultAfter(3, qv::FileFault::FailFrom);
      EXPECT_NE(CodeOf([&] { cut.Commit(0); }), 0);
      qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);
      CodeOf([&] { cut.CloseDatabase(); });
    }
    ASSERT_TRUE(qv::FileExists(VLMJournalFileName(path)));
    ASSERT_EQ(ReadBytes(path)[kVLMCommitStateOffset], kVLMCommitClean);
    const uint32_t countBefore = storedCount();
    int32_t taken = TVLMHeldPage(&other, other.NewPage(0, kVLMPageTableRecord))->PageNo;
    if (!grows) {
      ASSERT_EQ(taken, hole);
    }
    for (int i = 0; grows && i < 100 && storedCount() == countBefore; ++i)
      taken = TVLMHeldPage(&other, other.NewPage(0, kVLMPageTableRecord))->PageNo;
    const uint32_t countAfter = storedCount();
    ASSERT_EQ(countAfter > countBefore, grows);
    {
      TVLMDiskPageManager reader;
      OpenDatabase(reader, path, "", true);
      EXPECT_TRUE(reader.ReadsThroughPreImages());
      EXPECT_TRUE(reader.FreeSpace->IsPageUsed(taken));
      EXPECT_TRUE(reader.FreeSpace->IsPageUsed(freedByCut));
    }
    {
      TVLMDiskPageManager next;
      OpenDatabase(next, path);
      EXPECT_TRUE(next.FreeSpace->IsPageUsed(taken));
      EXPECT_TRUE(next.FreeSpace->IsPageUsed(freedByCut));
      next.CloseDatabase();
    }
    EXPECT_EQ(storedCount(), countAfter);
    EXPECT_EQ(CodeOf([&] { other.Commit(0); }), 0);
    other.CloseDatabase();
    TVLMDiskPageManager pm;
    EXPECT_FALSE(OpenDatabase(pm, path).NeedsRepair);
    EXPECT_TRUE(pm.FreeSpace->IsPageUsed(taken));
  }
}

// A sharing handle's commit whose pages reached the file but whose
// CommitState 1 and block 1 after did not (its writes landed out of order),
// after which another handle grew the file in place (new counts in block
// 1): the counts do not hide the torn commit. The growing handle's commit
// is refused (10741), and so is an open beside it; the next open that has
// the file alone rolls the torn commit back.
TEST(Journal, ATornCommitStaysOneWhenAnotherHandleMovesTheCountsInPlace) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("log.vlm"), journal = VLMJournalFileName(path);
  CreateStandardDatabase(path, kPageSize, 8);
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    for (int i = 0; i < 4; ++i) TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    pm.Commit(0);
  }
  CommitPattern(path, 2);
  TVLMDiskPageManager other;
  OpenDatabase(other, path);
  // As a connection's session byte: no other open has the file alone.
  ASSERT_TRUE(other.DatabaseFile.LockByte(1, 12345));
  CommitPattern(path, 3, 0, false);
  TVLMJournalCommit torn;
  {
    qv::File file = qv::File::Open(journal, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
    ASSERT_TRUE(TVLMCommitJournal::ReadHeader(file, 0, kPageSize, torn));
  }
  PatchBytes(path, 0, torn.Before.data(), torn.Before.size());
  const auto storedCount = [&] { return VLMGetU32LE(ReadBytes(path).data() + kVLMPageCountOffset); };
  const uint32_t countBefore = storedCount();
  for (int i = 0; i < 100 && storedCount() == countBefore; ++i)
    TVLMHeldPage page(&other, other.NewPage(0, kVLMPageTableRecord));
  ASSERT_GT(storedCount(), countBefore);
  {
    TVLMHeldPage page(&other, other.GetPage(0, 6, true, kVLMAnyPageType));
    FillData(page.Get(), 1);
    page->Modified = true;
  }
  EXPECT_EQ(CodeOf([&] { other.Commit(0); }), 10741);
  {
    TVLMDiskPageManager beside;
    EXPECT_EQ(CodeOf([&] { OpenDatabase(beside, path); }), 10741);
  }
  EXPECT_EQ(CodeOf([&] { other.RollbackSession(0); }), 0);
  other.CloseDatabase();
  ASSERT_TRUE(qv::FileExists(journal));
  bool repair = true;
  EXPECT_EQ(Pattern(path, repair), 2);
  EXPECT_FALSE(repair);
  EXPECT_FALSE(qv::FileExists(journal));
  EXPECT_EQ(storedCount(), countBefore);
}

// The journal's new name reaches the disk before the commit's first write
// of the database: the first commit of an open creates the journal and
// flushes its folder; every commit makes two flushes of its own.
TEST(Journal, TheFirstCommitOfAnOpenFlushesTheJournalsFolderBeforeItsFirstWrite) {
  ScratchFolder dir;
  const std::string path = dir.File("log.vlm"), journal = VLMJournalFileName(path);
  CreateStandardDatabase(path, kPageSize, 8);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  pm.SetSoleWriterLock(true);
  struct Row {
    const char* What;
    int Creates, FolderFlushes, Flushes;
  };
  for (const Row& row : {Row{"first commit", 1, 1, 2}, Row{"second commit", 0, 0, 2}}) {
    SCOPED_TRACE(row.What);
    {
      TVLMHeldPage page(&pm, pm.GetPage(0, kVLMSystemDirectoryPage, true, kVLMPageFileSystemDirectory));
      page->Modified = true;
    }
    qv::RecordFileOperations(true);
    pm.Commit(0);
    const std::vector<qv::FileOperationRecord> ops = qv::RecordedFileOperations();
    qv::RecordFileOperations(false);
    using qv::FileOperation;
    const auto count = [&](FileOperation kind) {
      return std::count_if(ops.begin(), ops.end(), [&](const qv::FileOperationRecord& op) { return op.Operation == kind; });
    };
    const auto first = [&](FileOperation kind, const std::string& name) {
      return std::find_if(ops.begin(), ops.end(),
                          [&](const qv::FileOperationRecord& op) { return op.Operation == kind && op.Path == name; }) -
             ops.begin();
    };
    EXPECT_EQ(count(FileOperation::Create), row.Creates);
    EXPECT_EQ(count(FileOperation::SyncFolder), row.FolderFlushes);
    EXPECT_EQ(count(FileOperation::Sync), row.Flushes);
    if (row.FolderFlushes > 0) {
      EXPECT_LT(first(FileOperation::Create, journal), first(FileOperation::SyncFolder, dir.Path()));
      EXPECT_LT(first(FileOperation::SyncFolder, dir.Path()), first(FileOperation::Write, path));
    }
  }
}

// A journal that cannot be made beside the database file: the commit is
// refused before anything is written, naming the journal's path and why.
TEST(Journal, AJournalThatCannotBeCreatedNamesItsPathAndWhyItIsNeeded) {
  ScratchFolder dir;
  const std::string path = dir.File("log.vlm"), journal = VLMJournalFileName(path);
  CreateStandardDatabase(path, kPageSize, 8);
  std::filesystem::create_directory(journal);  // root may write anywhere; a folder cannot be opened as a file
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  const std::vector<uint8_t> before = ReadBytes(path);
  {
    TVLMHeldPage page(&pm, pm.GetPage(0, kVLMSystemDirectoryPage, true, kVLMPageFileSystemDirectory));
    page->Modified = true;
  }
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.Commit(0); }, &message), 10740);
  EXPECT_EQ(message, "Cannot create the journal file '" + journal + "' of database file '" + path +
                         "'. Every commit first keeps there what it overwrites, so that a commit cut off by a crash "
                         "or a full disk can be undone: the folder of the database file must let this user create "
                         "and write files. ErrorMessage: " + qv::SysErrorMessage(EISDIR) + " - Native error: 10740");
  EXPECT_FALSE(pm.IsFailed());
  EXPECT_EQ(ReadBytes(path), before);
  pm.RollbackSession(0);
}

}  // namespace
