// The disk page manager: the file a new database gets, databases inside
// other files, the commit protocol and its flushes, repair states, write
// counters, object IDs, lock bytes, encrypted databases and the changes of
// the last commit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <random>
#include <thread>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMCompression.h"
#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;

int32_t FirstPageOfKind(TVLMDiskPageManager& pm, TVLMDirectoryKind kind) {
  TVLMSystemDirectory directory(&pm);
  directory.Load();
  return directory.Find(kind);
}

TEST(DiskPageManager, ANewDatabaseHasTheStandardLayout) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("new.vlm");
  CreateStandardDatabase(path);
  EXPECT_EQ(std::filesystem::file_size(path), 24956u);

  TVLMDiskPageManager pm;
  OpenResult open = OpenDatabase(pm, path);
  EXPECT_FALSE(open.NeedsRepair);
  EXPECT_FALSE(open.ReadOnly);
  const TVLMDatabaseHeader& h = pm.GetHeader();
  EXPECT_EQ(h.PageCount, 6u);
  EXPECT_EQ(h.LastUsedPage, 4);
  EXPECT_EQ(h.ChangeCounter, 1u);
  EXPECT_EQ(h.CommitState, kVLMCommitClean);
  EXPECT_EQ(h.Encrypted, 0);
  EXPECT_EQ(h.Version, 6.2);
  EXPECT_EQ(pm.PageSize, 4096);
  EXPECT_EQ(pm.PageDataSize, 4056);
  EXPECT_EQ(pm.DatabaseOffset, 0);
  EXPECT_EQ(pm.FirstPagePosition, 380);
  EXPECT_EQ(pm.GetPageCount(), 6);

  TVLMSystemDirectory directory(&pm);
  directory.Load();
  EXPECT_EQ(directory.File.StartPageNo, kVLMSystemDirectoryPage);
  EXPECT_EQ(directory.Find(TVLMDirectoryKind::ActiveSessions), 3);
  EXPECT_EQ(directory.Find(TVLMDirectoryKind::TableList), 4);
  TVLMTableListFile tables(&pm);
  tables.OpenFile(4);
  tables.Load();
  EXPECT_TRUE(tables.Entries.empty());

  // The stored bytes: block 1 field by field, blocks 2 and 3, NextObjectID.
  std::vector<uint8_t> bytes = ReadBytes(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 16), "VELM0RANDATABASE");
  EXPECT_EQ(bytes[16], 76);
  EXPECT_EQ(std::bit_cast<double>(VLMGetU32LE(&bytes[18]) | (uint64_t{VLMGetU32LE(&bytes[22])} << 32)), 6.2);
  EXPECT_EQ(VLMGetU16LE(&bytes[26]), 4096);
  EXPECT_EQ(VLMGetU16LE(&bytes[28]), 8);
  EXPECT_EQ(bytes[76], 24);  // block 2 length 280
  EXPECT_EQ(bytes[77], 1);
  EXPECT_EQ(bytes[356], 20);  // block 3 length
  EXPECT_EQ(VLMGetU32LE(&bytes[376]), 0u);
  EXPECT_EQ(std::string(bytes.begin() + 380, bytes.begin() + 384), "VLMP");
  EXPECT_EQ(VLMGetU16LE(&bytes[380 + 8]), kVLMPagePFS);
  EXPECT_EQ(VLMGetU16LE(&bytes[380 + 4096 + 8]), kVLMPageEAM);
  EXPECT_EQ(VLMGetU16LE(&bytes[380 + 2 * 4096 + 8]), kVLMPageFileSystemDirectory);
  EXPECT_EQ(bytes[380 + 40], 0x1F);  // PFS: pages 0-4 used
}

// A copy of a database after prefix bytes of other data.
std::string Embed(ScratchFolder& dir, const std::string& source, size_t prefix, const std::string& name) {
  std::vector<uint8_t> bytes(prefix);
  for (size_t i = 0; i < prefix; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> db = ReadBytes(source);
  bytes.insert(bytes.end(), db.begin(), db.end());
  std::string path = dir.File(name);
  WriteBytes(path, bytes);
  return path;
}

TEST(DiskPageManager, ADatabaseInsideAnotherFileIsFoundAndUsed) {
  FastRetries fast;
  ScratchFolder dir;
  std::string source = dir.File("plain.vlm");
  CreateStandardDatabase(source);
  for (size_t prefix : {size_t{12345}, size_t{9990}}) {
    std::string path = Embed(dir, source, prefix, "embedded" + std::to_string(prefix));
    {
      TVLMDiskPageManager pm;
      EXPECT_FALSE(OpenDatabase(pm, path).NeedsRepair);
      EXPECT_EQ(pm.DatabaseOffset, static_cast<int64_t>(prefix));
      EXPECT_EQ(pm.FirstPagePosition, static_cast<int64_t>(prefix) + 380);
      EXPECT_EQ(FirstPageOfKind(pm, TVLMDirectoryKind::TableList), 4);
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      FillData(page.Get(), 3);
      EXPECT_EQ(page->PageNo, 5);
      page.Release();
      pm.Commit(0);
    }
    std::vector<uint8_t> bytes = ReadBytes(path);
    EXPECT_EQ(bytes[0], 7);  // the other data is untouched
    EXPECT_EQ(bytes.size(), prefix + 380 + 6 * 4096u);
    TVLMDiskPageManager pm;
    EXPECT_FALSE(OpenDatabase(pm, path).NeedsRepair);
    EXPECT_EQ(pm.GetHeader().ChangeCounter, 2u);
    TVLMHeldPage page(&pm, pm.GetPage(0, 5, true, kVLMPageTableRecord));
    EXPECT_TRUE(DataIs(page.Get(), 3));
  }

  // A file without a signature is not a database.
  std::string junk = dir.File("junk");
  WriteBytes(junk, std::vector<uint8_t>(5000, 0x41));
  TVLMDiskPageManager pm;
  std::string message;
  EXPECT_EQ(CodeOf([&] { OpenDatabase(pm, junk); }, &message), 10470);
  EXPECT_EQ(message,
            "Invalid file format. Found signature: 'AAAAAAAAAAAAAAAA', expected: 'VELM0RANDATABASE' - Native error: 10470");
  EXPECT_FALSE(pm.DatabaseFile.IsOpen());
}

TEST(DiskPageManager, OpenLocksTheDatabaseByteOfTheFoundDatabase) {
  FastRetries fast;
  ScratchFolder dir;
  std::string source = dir.File("plain.vlm");
  CreateStandardDatabase(source);
  std::string path = Embed(dir, source, 12345, "e.vlm");
  TVLMDatabaseFile other;
  other.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);

  ASSERT_TRUE(other.LockByte(1, 360));  // the byte of a database at 0: unrelated
  {
    TVLMDiskPageManager pm;
    EXPECT_EQ(CodeOf([&] { OpenDatabase(pm, path); }), 0);
  }
  ASSERT_TRUE(other.LockByte(1, 12345 + 360));
  TVLMDiskPageManager pm;
  std::string message;
  EXPECT_EQ(CodeOf([&] { OpenDatabase(pm, path); }, &message), 20230);
  EXPECT_EQ(message, "Database is locked - Native error: 20230");
  EXPECT_EQ(fast.Sleeps, 3);
  EXPECT_TRUE(other.UnlockByte(1, 12345 + 360));
  EXPECT_EQ(CodeOf([&] { OpenDatabase(pm, path); }), 0);
  // Open released the byte again.
  EXPECT_TRUE(other.LockByte(1, 12345 + 360));
}

// Records the CommitState the file holds at every flush of the database
// file in a commit.
class RecordingPageManager : public TVLMDiskPageManager {
public:
  std::vector<int> Flushes;

protected:
  void FlushForCommit() override {
    qv::File probe = qv::File::Open(DatabaseFile.FileName, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
    uint8_t state = 0;
    probe.ReadAt(&state, 1, DatabaseOffset + kVLMCommitStateOffset);
    Flushes.push_back(state);
    TVLMDiskPageManager::FlushForCommit();
  }
};

// A commit flushes its journal, then the database: alone once (pages and
// the header after together); a handle that may share the file flushes
// what it wrote in place since its last flush (an allocation) first, then
// after CommitState 1, after the pages and after the header after, so that
// its writes reach the disk in that order; with SyncOnCommit off nothing.
// The journal stays beside the file and names the commit; a commit with
// nothing to write touches nothing.
TEST(DiskPageManager, ACommitFlushesItsJournalThenTheDatabase) {
  FastRetries fast;
  ScratchFolder dir;
  struct Row {
    bool Alone, Sync;
    std::vector<int> DatabaseFlushes;  // the CommitState stored at each
    int64_t Syncs;                     // every flush, the journal's included
  };
  const Row rows[] = {
      {true, true, {2}, 2}, {false, true, {2, 1, 1, 2}, 5}, {true, false, {}, 0}, {false, false, {}, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.Alone ? "alone" : "shared") + (row.Sync ? " sync" : " no sync"));
    const std::string path = dir.File("c.vlm");
    CreateStandardDatabase(path);
    RecordingPageManager pm;
    EXPECT_TRUE(pm.SyncOnCommit);
    OpenDatabase(pm, path);
    pm.SetSoleWriterLock(row.Alone);
    pm.SyncOnCommit = row.Sync;
    const uint32_t before = pm.GetHeader().ChangeCounter;
    for (int32_t no : {3, 4}) {
      TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMAnyPageType));
      page->Modified = true;
    }
    int32_t added = 0;
    {
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      FillData(page.Get(), 7);
      added = page->PageNo;
    }
    const int64_t syncs = qv::FileSyncCount();
    pm.Commit(0);
    EXPECT_EQ(pm.Flushes, row.DatabaseFlushes);
    EXPECT_EQ(qv::FileSyncCount() - syncs, row.Syncs);
    EXPECT_EQ(ReadBytes(path)[kVLMCommitStateOffset], kVLMCommitClean);
    EXPECT_EQ(pm.GetHeader().ChangeCounter, before + 1);
    qv::File journal = qv::File::Open(pm.JournalFileName(), qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
    TVLMJournalCommit commit;
    ASSERT_TRUE(TVLMCommitJournal::ReadHeader(journal, 0, pm.PageSize, commit));
    EXPECT_EQ(VLMGetU32LE(commit.Before.data() + kVLMChangeCounterOffset), before);
    EXPECT_EQ(VLMGetU32LE(commit.After.data() + kVLMChangeCounterOffset), before + 1);
    // The pages the commit wrote: the two changed, the new one, and the page
    // map that marks it, which a handle alone changed in memory only.
    const std::vector<int32_t> written = pm.LastCommitWrites().PageNumbers();
    for (int32_t no : {3, 4, added, row.Alone ? 0 : 3})
      EXPECT_TRUE(std::binary_search(written.begin(), written.end(), no)) << no;
    EXPECT_EQ(std::binary_search(written.begin(), written.end(), 0), row.Alone);

    pm.Flushes.clear();
    const std::vector<uint8_t> bytes = ReadBytes(path);
    pm.Commit(0);  // nothing to write
    EXPECT_TRUE(pm.Flushes.empty());
    EXPECT_EQ(ReadBytes(path), bytes);
    pm.CloseDatabase();
    EXPECT_FALSE(qv::FileExists(pm.JournalFileName())) << "the journal goes when the file closes";
  }
}

TEST(DiskPageManager, RepairIsNeededAfterAnInterruptedCommitOrForOldFiles) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("r.vlm");
  CreateStandardDatabase(path);
  auto needsRepair = [&] {
    TVLMDiskPageManager pm;
    return OpenDatabase(pm, path).NeedsRepair;
  };
  EXPECT_FALSE(needsRepair());
  uint8_t writing = kVLMCommitWriting;
  PatchBytes(path, kVLMCommitStateOffset, &writing, 1);
  EXPECT_TRUE(needsRepair());
  uint8_t clean = kVLMCommitClean;
  PatchBytes(path, kVLMCommitStateOffset, &clean, 1);
  for (auto [version, expected] : {std::pair{2.99, true}, std::pair{1.0, true}, std::pair{3.0, false},
                                   std::pair{6.2, false}}) {
    uint64_t bits = std::bit_cast<uint64_t>(version);
    uint8_t stored[8];
    for (int i = 0; i < 8; ++i) stored[i] = static_cast<uint8_t>(bits >> (8 * i));
    PatchBytes(path, 18, stored, 8);
    EXPECT_EQ(needsRepair(), expected) << version;
  }
  // A file shorter than its page count is damaged too.
  std::filesystem::resize_file(path, 380 + 5 * 4096);
  EXPECT_TRUE(needsRepair());
}

// Page counts that cannot be (a used page at or past the count, a count
// the file is too short for) are refused before anything is written, by a
// commit and by a write-through header update: the file stays usable and
// the handle is not failed. A refused commit's pages stay its session's:
// another session reads the page as committed, the header in memory keeps
// possible counts, and the next commit writes none of the refused bytes.
TEST(DiskPageManager, HeaderCountsThatCannotBeAreNeverWritten) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("c.vlm");
  CreateStandardDatabase(path);
  for (const bool sole : {true, false}) {
    SCOPED_TRACE(sole ? "commit of a sole writer" : "write-through header update");
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    pm.SetSoleWriterLock(sole);
    const std::vector<uint8_t> before = ReadBytes(path);
    const std::vector<uint8_t> refused(16, 0xEE);
    auto holdsRefused = [&](const uint8_t* bytes, size_t size) {
      return std::search(bytes, bytes + size, refused.begin(), refused.end()) != bytes + size;
    };
    {
      std::lock_guard guard(pm.CriticalSection());
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      page->Modified = true;
      TVLMHeldPage committed(&pm, pm.GetPage(0, 3, true, kVLMAnyPageType));
      std::copy(refused.begin(), refused.end(), committed->Data());
      committed->Modified = true;
    }
    std::lock_guard guard(pm.CriticalSection());
    if (sole) {
      // The counts kept in memory say a page past the count is used.
      pm.FreeSpace->LastUsedPage = pm.FreeSpace->TotalPageCount + 3;
      EXPECT_EQ(CodeOf([&] { pm.Commit(0); }), 10748);
      TVLMHeldPage seen(&pm, pm.GetPage(1, 3, true, kVLMAnyPageType));
      EXPECT_FALSE(holdsRefused(seen->Data(), static_cast<size_t>(seen->DataSize())));
      EXPECT_LT(static_cast<int64_t>(pm.Header.LastUsedPage), static_cast<int64_t>(pm.Header.PageCount));
    } else {
      EXPECT_EQ(CodeOf([&] { pm.CheckHeaderCounts(pm.Header.PageCount + 1, 0); }), 10748);
      EXPECT_EQ(CodeOf([&] { pm.CheckHeaderCounts(4, 4); }), 10748);
      pm.RollbackSession(0);
    }
    EXPECT_FALSE(pm.IsFailed());
    pm.RollbackSession(0);
    if (sole) {
      EXPECT_EQ(ReadBytes(path), before);
      {
        TVLMHeldPage page(&pm, pm.GetPage(1, 3, true, kVLMAnyPageType));
        page->Data()[200] ^= 0x5A;
        page->Modified = true;
      }
      pm.Commit(1);
      const std::vector<uint8_t> after = ReadBytes(path);
      EXPECT_NE(after, before);
      EXPECT_FALSE(holdsRefused(after.data(), after.size()));
    }
  }
}

#if VLM_DEBUG_CHECKS
// The database lock is counted for the thread that took it: another
// thread that finds it counted in the database section (which the first
// left while it still held the lock) stops the run.
TEST(DiskPageManagerDeathTest, TheDatabaseLockCountsOnlyForTheThreadThatTookIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("t.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  EXPECT_DEATH(
      {
        {
          std::lock_guard guard(pm.CriticalSection());
          pm.LockDatabase();
        }
        std::thread([&] {
          std::lock_guard guard(pm.CriticalSection());
          pm.LockDatabase();
        }).join();
      },
      "Invariant VLMDiskEngine 12 violated");
}
#endif

TEST(DiskPageManager, WriteCountersCountWritesAndWrap) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("w.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  uint32_t start = pm.ReadPageWriteCounter(3);
  for (int i = 0; i < 2; ++i) {
    TVLMHeldPage page(&pm, pm.GetPage(0, 3, true, kVLMAnyPageType));
    page->Modified = true;
    page.Release();
    pm.Commit(0);
  }
  EXPECT_EQ(pm.ReadPageWriteCounter(3), start + 2);

  {
    TVLMHeldPage page(&pm, pm.GetPage(0, 3, true, kVLMAnyPageType));
    page->SetWriteCounter(0x7FFFFFFB);
    page->Modified = true;
  }
  pm.Commit(0);
  EXPECT_EQ(pm.ReadPageWriteCounter(3), 0x7FFFFFFCu);
  {
    TVLMHeldPage page(&pm, pm.GetPage(0, 3, true, kVLMAnyPageType));
    page->Modified = true;
  }
  pm.Commit(0);
  EXPECT_EQ(pm.ReadPageWriteCounter(3), 0u);
}

TEST(DiskPageManager, AFreedPageIsMarkedAndItsNumberReused) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("f.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  std::vector<int32_t> pages;
  for (int i = 0; i < 4; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    pages.push_back(page->PageNo);
  }
  pm.Commit(0);
  EXPECT_EQ(pages, (std::vector<int32_t>{5, 6, 7, 8}));
  pm.RemovePage(0, 6);
  EXPECT_TRUE(pm.FreeSpace->IsPageUsed(6));  // only at commit
  pm.Commit(0);
  EXPECT_FALSE(pm.FreeSpace->IsPageUsed(6));
  EXPECT_EQ(pm.ReadPageWriteCounter(6), kVLMFreedPageCounter);
  EXPECT_EQ(pm.SharedPages.Find(6), nullptr);
  TVLMHeldPage again(&pm, pm.NewPage(0, kVLMPageTableRecord));
  EXPECT_EQ(again->PageNo, 6);
  again.Release();
  pm.RollbackSession(0);
  EXPECT_FALSE(pm.FreeSpace->IsPageUsed(6));

  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.RemovePage(0, 1); }, &message), 30434);
  EXPECT_EQ(message, "Cannot delete PFS or EAM page. PageNo=1 - Native error: 30434");
  EXPECT_EQ(CodeOf([&] { pm.GetPage(0, 0, true, kVLMAnyPageType); }), 30434);
  EXPECT_EQ(CodeOf([&] { pm.PagePosition(-1); }, &message), 10471);
  EXPECT_EQ(message, "Invalid PageNo = -1 - Native error: 10471");
  EXPECT_EQ(CodeOf([&] { pm.GetPage(0, 40, true, kVLMAnyPageType); }), 20299);  // beyond the file
  EXPECT_EQ(CodeOf([&] {
              uint8_t b[8];
              pm.ReadPageBytes(b, 2, 8, 4090);
            }, &message),
            10476);
  EXPECT_EQ(message, "Error - invalid page offset = 4098, page size = 4096 - Native error: 10476");
}

TEST(DiskPageManager, ObjectIDsAreUniqueAlsoWhenNothingCanBeWritten) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("o.vlm");
  CreateStandardDatabase(path);
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    EXPECT_EQ(pm.GetNextObjectID(), 1u);
    EXPECT_EQ(pm.GetNextObjectID(), 2u);
  }
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    EXPECT_EQ(pm.GetNextObjectID(), 3u);
  }
  // A file without write permission opens read-only, and single-user; a
  // handle let in read-only beside a holder writes nothing either: object
  // IDs step on in memory, and a commit, allocation or free is refused
  // before a byte or a journal is written.
  std::vector<uint8_t> before = ReadBytes(path);
  for (const bool letIn : {false, true}) {
    SCOPED_TRACE(letIn ? "let in" : "read-only file");
    if (!letIn) chmod(path.c_str(), 0444);
    TVLMDiskPageManager pm;
    OpenResult open = OpenDatabase(pm, path, "", false, !letIn);
    pm.SharedReader = letIn;
    EXPECT_EQ(open.ReadOnly, !letIn);
    EXPECT_FALSE(open.MultiUser);
    uint32_t last = 3;
    for (int i = 0; i < 200; ++i) {
      uint32_t id = pm.GetNextObjectID();
      EXPECT_GT(id, last);
      EXPECT_LE(id, 10003u + i);
      last = id;
    }
    EXPECT_EQ(CodeOf([&] { pm.NewPage(0, kVLMPageTableRecord); }), 10761);
    EXPECT_EQ(CodeOf([&] { pm.FreePage(3); }), 10762);
    {
      TVLMHeldPage page(&pm, pm.GetPage(0, 3, true, kVLMAnyPageType));
      page->Modified = true;
    }
    EXPECT_EQ(CodeOf([&] { pm.Commit(0); }), 10760);
    pm.RollbackSession(0);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_FALSE(qv::FileExists(pm.JournalFileName()));
    chmod(path.c_str(), 0644);
  }

  TVLMDiskPageManager closed;
  EXPECT_EQ(CodeOf([&] { closed.GetNextObjectID(); }), 30399);
  TVLMDatabaseFile holder;
  holder.OpenFile(path, TVLMFileAccessMode::ReadWrite, TVLMFileShareMode::ReadWrite);
  ASSERT_TRUE(holder.LockByte(1, 376));
  TVLMDiskPageManager busy;
  OpenDatabase(busy, path);
  std::string message;
  EXPECT_EQ(CodeOf([&] { busy.GetNextObjectID(); }, &message), 30401);
  EXPECT_EQ(message, "Cannot get NextObjectID. File area is Locked. - Native error: 30401");
}

TEST(DiskPageManager, DatabaseLockNestsAndConflictsBetweenHandles) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("l.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager a, b;
  OpenDatabase(a, path);
  OpenDatabase(b, path);
  EXPECT_TRUE(a.LockDatabase());
  EXPECT_TRUE(a.LockDatabase());
  EXPECT_FALSE(b.LockDatabase());
  EXPECT_EQ(CodeOf([&] { b.GetPageCount(); }), 20236);
  {
    TVLMHeldPage page(&b, b.GetPage(0, 3, true, kVLMAnyPageType));
    page->Modified = true;
  }
  EXPECT_EQ(CodeOf([&] { b.Commit(0); }), 20213);
  EXPECT_EQ(ReadBytes(path)[kVLMCommitStateOffset], kVLMCommitClean);  // nothing written
  EXPECT_EQ(CodeOf([&] { b.NewPage(0, kVLMPageTableRecord); }), 20231);
  EXPECT_TRUE(a.UnlockDatabase());
  EXPECT_FALSE(b.LockDatabase());  // still held once
  EXPECT_TRUE(a.UnlockDatabase());
  EXPECT_FALSE(a.UnlockDatabase());
  b.Commit(0);

  EXPECT_TRUE(a.LockPageByte(3, 40));
  EXPECT_TRUE(b.IsPageByteLocked(3, 40));
  EXPECT_TRUE(b.IsPageRegionLocked(3, 30, 20));
  EXPECT_FALSE(b.IsPageRegionLocked(3, 41, 20));
  EXPECT_TRUE(a.UnlockPageByte(3, 40));
  EXPECT_FALSE(b.IsPageByteLocked(3, 40));
}

TEST(DiskPageManager, ShrinkingToTheLastUsedPageKeepsMapPages) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("t.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  std::vector<int32_t> pages;
  for (int i = 0; i < 20; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    pages.push_back(page->PageNo);
  }
  pm.Commit(0);
  for (size_t i = 5; i < pages.size(); ++i) pm.RemovePage(0, pages[i]);
  pm.Commit(0);
  pm.TruncateUnusedPages();
  EXPECT_EQ(pm.GetPageCount(), pages[4] + 1);
  EXPECT_EQ(std::filesystem::file_size(path), 380u + (pages[4] + 1) * 4096u);
}

TVLMPasswordRecord Password(const std::string& text, uint8_t cipherId) {
  TVLMPasswordRecord record;
  record.Password = text;
  record.CipherId = cipherId;
  return record;
}

TEST(DiskPageManager, EncryptedDatabasesKeepPageDataUnreadableWithoutThePassword) {
  FastRetries fast;
  ScratchFolder dir;
  for (uint8_t cipher : {uint8_t{0}, uint8_t{4}}) {
    std::string path = dir.File("enc" + std::to_string(cipher) + ".vlm");
    CreateStandardDatabase(path, 1024, 8, Password("s3cret", cipher));
    int32_t a, b;
    {
      TVLMDiskPageManager pm;
      OpenDatabase(pm, path, "s3cret");
      EXPECT_TRUE(pm.IsEncrypted());
      EXPECT_EQ(pm.PasswordRecord.CipherId, cipher);
      TVLMHeldPage p1(&pm, pm.NewPage(0, kVLMPageTableRecord));
      TVLMHeldPage p2(&pm, pm.NewPage(0, kVLMPageTableRecord));
      FillData(p1.Get(), 9);
      FillData(p2.Get(), 9);
      a = p1->PageNo;
      b = p2->PageNo;
      p1.Release();
      p2.Release();
      pm.Commit(0);
    }
    std::vector<uint8_t> bytes = ReadBytes(path);
    EXPECT_EQ(bytes[43], kVLMEncryptedFlag);
    EXPECT_EQ(bytes[78], cipher);
    auto page = [&](int32_t no) { return bytes.begin() + 380 + no * 1024; };
    std::vector<uint8_t> plain(1024 - 40);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(9 + i * 7);
    EXPECT_FALSE(std::equal(plain.begin(), plain.end(), page(a) + 40));
    EXPECT_TRUE(std::equal(page(a) + 40, page(a) + 1024, page(b) + 40));  // same data, same bytes
    EXPECT_EQ(VLMGetU16LE(&*(page(a) + 8)), kVLMPageTableRecord);             // headers stay plain
    EXPECT_EQ(VLMGetU32LE(&*(page(a) + 14)), VLMCRC32(0, plain.data(), static_cast<int64_t>(plain.size())));
    EXPECT_EQ(*(page(0) + 40), 0x7F);  // PFS data stays plain: pages 0-6 used
    EXPECT_EQ(*(page(1) + 40), 0x01);  // EAM data too

    TVLMDiskPageManager wrong;
    std::string message;
    EXPECT_EQ(CodeOf([&] { OpenDatabase(wrong, path, "S3cret"); }, &message), 30445);
    EXPECT_EQ(message, "Cannot open database - incorrect password - Native error: 30445");
    EXPECT_EQ(CodeOf([&] { OpenDatabase(wrong, path, ""); }), 30445);
    EXPECT_FALSE(wrong.DatabaseFile.IsOpen());

    TVLMDiskPageManager pm;
    OpenDatabase(pm, path, "s3cret");
    EXPECT_EQ(FirstPageOfKind(pm, TVLMDirectoryKind::TableList), 4);
    TVLMHeldPage read(&pm, pm.GetPage(0, a, true, kVLMPageTableRecord));
    EXPECT_TRUE(DataIs(read.Get(), 9));
  }

  // Without a password nothing is encrypted and the check block stays zero.
  std::string path = dir.File("plain.vlm");
  CreateStandardDatabase(path);
  std::vector<uint8_t> bytes = ReadBytes(path);
  EXPECT_EQ(bytes[43], 0);
  EXPECT_TRUE(std::all_of(bytes.begin() + 76 + 2, bytes.begin() + 76 + 264, [](uint8_t b) { return b == 0; }));
}

// A new record page of the file filled from seed and committed: its number.
int32_t CommitFilledPage(const std::string& path, const std::string& password, uint8_t seed) {
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path, password);
  TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
  FillData(page.Get(), seed);
  const int32_t no = page->PageNo;
  page.Release();
  pm.Commit(0);
  return no;
}

TEST(DiskPageManager, APageFailingItsCheckIsNotCachedAndAFailedWriteLeavesItPlain) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("crc.vlm");
  CreateStandardDatabase(path, 1024, 8, Password("pw", 1));
  const int32_t no = CommitFilledPage(path, "pw", 1);
  uint8_t flip = 0x5A;
  PatchBytes(path, 380 + no * 1024 + 500, &flip, 1);
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path, "pw");
    std::string message;
    EXPECT_EQ(CodeOf([&] { pm.GetPage(0, no, true, kVLMPageTableRecord); }, &message), 30446);
    EXPECT_EQ(message, "Decrypt page error. Check CRC failed. PageNo: " + std::to_string(no) + " - Native error: 30446");
    EXPECT_EQ(pm.SharedPages.Find(no), nullptr);
    EXPECT_EQ(CodeOf([&] { pm.GetPage(0, no, true, kVLMPageTableRecord); }), 30446);
    pm.SkipChecks = true;  // reinitialising a damaged file reads it anyway
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMPageTableRecord));
    pm.SkipChecks = false;
  }

  // A write that fails (read-only handle) leaves the cached page plain.
  TVLMDiskPageManager pm;
  EXPECT_TRUE(OpenDatabase(pm, path, "pw", true).ReadOnly);
  TVLMHeldPage page(&pm, pm.GetPage(0, 4, true, kVLMPageTableList));
  std::vector<uint8_t> plain(page->Data(), page->Data() + page->DataSize());
  EXPECT_EQ(CodeOf([&] { pm.WritePage(page.Get()); }), 10469);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), page->Data()));
}

// A repair's read (MendHeaderReads) takes a page whose plain header alone is
// damaged: its data, its header set right, the page marked; damaged data
// still raises, and so does every damage outside a repair.
TEST(DiskPageManager, ARepairReadsPastADamagedCipherByteOrCRCButNotPastDamagedData) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string clean = dir.File("clean.vlm");
  CreateStandardDatabase(clean, 1024, 8, Password("pw", 1));
  const int32_t no = CommitFilledPage(clean, "pw", 3);
  const int64_t at = 380 + static_cast<int64_t>(no) * 1024;
  struct Row {
    const char* name;
    std::vector<std::pair<int64_t, uint8_t>> flips;  // offset in the page, xor
    bool mended;
  };
  const Row rows[] = {
      {"the CRC's low byte", {{kVLMPageCRCOffset, 0x01}}, true},
      {"the CRC's high byte", {{kVLMPageCRCOffset + 3, 0xFF}}, true},
      {"the cipher byte, another cipher", {{kVLMPageCipherIdOffset, 0x01}}, true},
      {"the cipher byte, no cipher", {{kVLMPageCipherIdOffset, 0x80}}, true},
      {"the cipher byte and a CRC byte", {{kVLMPageCipherIdOffset, 0x01}, {kVLMPageCRCOffset + 1, 0x40}}, true},
      {"two CRC bytes", {{kVLMPageCRCOffset, 0x01}, {kVLMPageCRCOffset + 2, 0x01}}, false},
      {"a byte of the data area", {{500, 0x01}}, false},
      {"a CRC byte and a byte of the data area", {{kVLMPageCRCOffset, 0x01}, {1000, 0x10}}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir.File("damaged.vlm");
    std::filesystem::copy_file(clean, path, std::filesystem::copy_options::overwrite_existing);
    std::vector<uint8_t> bytes = ReadBytes(path);
    for (const auto& [offset, mask] : row.flips) {
      uint8_t b = bytes[static_cast<size_t>(at + offset)] ^ mask;
      PatchBytes(path, at + offset, &b, 1);
    }
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path, "pw");
    EXPECT_EQ(CodeOf([&] { pm.GetPage(0, no, true, kVLMPageTableRecord); }), 30446);
    pm.MendHeaderReads = true;
    if (!row.mended) {
      EXPECT_EQ(CodeOf([&] { pm.GetPage(0, no, true, kVLMPageTableRecord); }), 30446);
      continue;
    }
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMPageTableRecord));
    EXPECT_TRUE(page->HeaderMended);
    EXPECT_TRUE(DataIs(page.Get(), 3));
    EXPECT_EQ(page->GetCipherId(), 1);
    EXPECT_EQ(page->GetCRC(), VLMCRC32(0, page->Data(), page->DataSize()));
  }
}

// Two managers on one file, as two processes share it in multi-user mode.
TEST(DiskPageManager, MultiUserCachesRevalidateUnlessATableStampVouchesForThem) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("m.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager a, b;
  EXPECT_TRUE(OpenDatabase(a, path, "", false, true).MultiUser);
  OpenDatabase(b, path, "", false, true);
  int32_t no;
  {
    TVLMHeldPage page(&a, a.NewPage(0, kVLMPageTableRecord));
    FillData(page.Get(), 1);
    no = page->PageNo;
  }
  a.Commit(0);
  auto change = [&](uint8_t seed) {
    {
      TVLMHeldPage page(&b, b.GetPage(1, no, true, kVLMPageTableRecord));
      FillData(page.Get(), seed);
      page->Modified = true;
    }
    b.Commit(1);
  };
  auto seenByA = [&] {
    TVLMHeldPage page(&a, a.GetPage(0, no, true, kVLMPageTableRecord));
    return page->Data()[0];
  };

  change(2);
  EXPECT_EQ(seenByA(), 2);  // the cached copy was stale: its write counter told
  EXPECT_EQ(seenByA(), 2);

  // While session 0 holds a lock on the table and has stamped it, pages
  // loaded under that stamp are trusted.
  auto* table = reinterpret_cast<TVLMTableData*>(&dir);
  a.PagesCache.OperationLockTaken(0, table);
  a.PagesCache.EnterTable(0, table);
  const uint64_t epoch = a.PagesCache.NewEpoch();
  a.PagesCache.SetStamp(0, table, {epoch, 7});
  a.PagesCache.SetStamp(0, table, {epoch, 8});  // the first stamp of a locked period wins
  TVLMPageStamp stamp;
  ASSERT_TRUE(a.PagesCache.CurrentStamp(0, stamp));
  EXPECT_EQ(stamp, (TVLMPageStamp{epoch, 7}));
  change(3);
  EXPECT_EQ(seenByA(), 3);  // loaded now, under stamp 7
  change(4);
  EXPECT_EQ(seenByA(), 3);  // vouched for by the stamp
  a.PagesCache.OperationLockReleased(0, table);
  EXPECT_FALSE(a.PagesCache.HasStamp(0, table));
  EXPECT_FALSE(a.PagesCache.CurrentStamp(0, stamp));
  EXPECT_EQ(seenByA(), 4);
  // The same change stamp in another open period of the table (made anew,
  // given an index by another connection) vouches for nothing.
  a.PagesCache.OperationLockTaken(0, table);
  a.PagesCache.SetStamp(0, table, {epoch, 7});
  EXPECT_EQ(seenByA(), 4);
  a.PagesCache.OperationLockReleased(0, table);
  change(5);
  a.PagesCache.OperationLockTaken(0, table);
  a.PagesCache.SetStamp(0, table, {a.PagesCache.NewEpoch(), 7});
  EXPECT_EQ(seenByA(), 5);
  a.PagesCache.OperationLockReleased(0, table);
  a.PagesCache.LeaveTable(0, table);
}

TEST(DiskPageManager, OpenPerOperationClosesTheFileBetweenOperations) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("p.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager pm;
  pm.OpenPerOperation = true;
  OpenDatabase(pm, path);
  EXPECT_FALSE(pm.DatabaseFile.IsOpen());
  int32_t no;
  {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    FillData(page.Get(), 4);
    no = page->PageNo;
  }
  pm.Commit(0);
  EXPECT_FALSE(pm.DatabaseFile.IsOpen());
  EXPECT_EQ(pm.GetNextObjectID(), 1u);
  EXPECT_EQ(FirstPageOfKind(pm, TVLMDirectoryKind::TableList), 4);
  EXPECT_FALSE(pm.DatabaseFile.IsOpen());

  // Another program committed meanwhile and left its commit unfinished.
  uint8_t state = kVLMCommitWriting;
  PatchBytes(path, kVLMCommitStateOffset, &state, 1);
  uint8_t counter[4];
  VLMPutU32LE(counter, pm.GetHeader().ChangeCounter + 5);
  PatchBytes(path, 38, counter, 4);
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.WriteHeader(true); }, &message), 20196);
  EXPECT_EQ(message, "Cannot write changes. Database file was modified by external application - Native error: 20196");
  EXPECT_EQ(CodeOf([&] { pm.WriteHeader(false); }), 0);

  pm.CloseDatabase();
  TVLMDiskPageManager again;
  OpenDatabase(again, path);
  TVLMHeldPage page(&again, again.GetPage(0, no, true, kVLMPageTableRecord));
  EXPECT_TRUE(DataIs(page.Get(), 4));
}

TEST(DiskPageManager, CreateAndOpenRefuseBadArguments) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("b.vlm");
  TVLMDiskPageManager pm;
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabase(path, {}, 64, 8); }), 10463);
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabase(path, {}, 4096, 0); }), 10463);
  pm.CreateDatabase(path, {}, 4096, 8);
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.CreateDatabase(path, {}, 4096, 8); }, &message), 10461);
  EXPECT_EQ(message, "Error - database file " + path + " is in use. - Native error: 10461");
  bool multi = false, repair = false, readOnly = false;
  EXPECT_EQ(CodeOf([&] { pm.OpenDatabase(path, {}, multi, false, repair, readOnly); }), 10462);
  pm.CloseDatabase();
  EXPECT_EQ(CodeOf([&] { pm.ReadHeader(); }, &message), 10459);
  EXPECT_EQ(message, "Error - database file is not opened. - Native error: 10459");
  EXPECT_EQ(CodeOf([&] { OpenDatabase(pm, dir.File("none.vlm")); }), 30364);
}

// The last commit's changes keep a copy of the file byte-identical when it
// takes the head, the listed pages and the file's length after each commit
// of random work of a handle that writes alone: changed, new (growth) and
// freed pages and the cut after them, page bytes written in place between
// commits, object IDs. The first commit of an open, and the first after the
// single-user lock changed hands, is not complete, unless the chain was
// started (the copy taken whole) after that; a close forgets them.
TEST(DiskPageManager, TheLastCommitsChangesKeepACopyOfTheFileInStep) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("copy.vlm");
  CreateStandardDatabase(path);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  EXPECT_FALSE(pm.StartChangeChain());  // another handle may write the file
  pm.SetSoleWriterLock(true);
  std::vector<uint8_t> copy, lastAfter;
  // The chain starts and the copy is taken whole, its block 1 the stamp.
  const auto startChain = [&] {
    ASSERT_TRUE(pm.StartChangeChain());
    qv::File f = qv::File::Open(path, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
    copy.resize(static_cast<size_t>(f.Size()));
    f.ReadAt(copy.data(), static_cast<int64_t>(copy.size()), 0);
    lastAfter.assign(copy.begin() + pm.DatabaseOffset, copy.begin() + pm.DatabaseOffset + kVLMBlock1Size);
  };
  const auto follow = [&](bool complete) {
    const TVLMCommitChanges& c = pm.LastCommitChanges();
    if (c.Block1After == lastAfter) return;  // nothing was committed
    qv::File f = qv::File::Open(path, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
    std::vector<uint8_t> file(static_cast<size_t>(f.Size()));
    f.ReadAt(file.data(), static_cast<int64_t>(file.size()), 0);
    ASSERT_EQ(c.Complete, complete);
    if (complete) {
      EXPECT_EQ(c.Block1Before, lastAfter);
      EXPECT_EQ(c.SizeBefore, static_cast<int64_t>(copy.size()));
      copy.resize(file.size());
      std::copy_n(file.begin(), pm.FirstPagePosition, copy.begin());
      for (int32_t pageNo : c.Pages) {
        const int64_t at = pm.PagePosition(pageNo);
        const int64_t end = std::min<int64_t>(at + pm.PageSize, static_cast<int64_t>(file.size()));
        if (at < end) std::copy(file.begin() + at, file.begin() + end, copy.begin() + at);
      }
      ASSERT_EQ(copy, file);
    }
    copy = file;
    lastAfter = c.Block1After;
  };
  startChain();
  std::mt19937 random(45);
  std::vector<int32_t> live;
  auto budget = qv::test::TestBudget::Steps(1000, 20);
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    for (uint32_t n = random() % 3; n > 0 && !live.empty(); --n) {
      TVLMHeldPage page(&pm, pm.GetPage(0, live[random() % live.size()], true, kVLMAnyPageType));
      FillData(page.Get(), static_cast<uint8_t>(random()));
      page->Modified = true;
    }
    for (uint32_t n = 1 + random() % (live.size() < 40 ? 6 : 2); n > 0; --n)
      live.push_back(TVLMHeldPage(&pm, pm.NewPage(0, kVLMPageTableRecord))->PageNo);
    for (uint32_t n = random() % (live.size() > 30 ? 8 : 2); n > 0 && live.size() > 1; --n) {
      const auto at = live.begin() + static_cast<std::ptrdiff_t>(random() % live.size());
      pm.RemovePage(0, *at);
      live.erase(at);
    }
    pm.Commit(0);
    follow(true);
    const uint8_t bytes[4] = {1, 2, 3, static_cast<uint8_t>(step)};
    if (random() % 4 == 0) pm.WritePageBytes(bytes, live[random() % live.size()], 4, kVLMPageHeaderSize + 9);
    if (random() % 5 == 0) pm.GetNextObjectID();
    if (random() % 8 == 0) pm.TruncateUnusedPages();
    follow(true);
  }
  pm.SetSoleWriterLock(false);
  pm.SetSoleWriterLock(true);
  TVLMHeldPage(&pm, pm.NewPage(0, kVLMPageTableRecord)).Release();
  pm.Commit(0);
  follow(false);
  pm.SetSoleWriterLock(false);
  pm.SetSoleWriterLock(true);
  startChain();
  const uint8_t bytes[4] = {9, 8, 7, 6};
  pm.WritePageBytes(bytes, live.front(), 4, kVLMPageHeaderSize + 9);  // in place, after the chain's start
  TVLMHeldPage(&pm, pm.NewPage(0, kVLMPageTableRecord)).Release();
  pm.Commit(0);
  follow(true);
  pm.CloseDatabase();
  EXPECT_TRUE(pm.LastCommitChanges().Block1After.empty());
}

}  // namespace
