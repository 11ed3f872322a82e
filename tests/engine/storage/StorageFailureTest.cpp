// What the disk engine does when the disk or the file lets it down: a commit
// whose writes fail from some write on, a header that counts pages the file
// does not hold, and B-tree pages whose heads were damaged on disk. Every
// case must end in an engine error or a file that asks for repair; none may
// leave half a transaction under a clean header or read past a page.
#include <gtest/gtest.h>

#include <set>

#include "engine/storage/StorageTestSupport.h"

namespace {

using namespace storage_test;

constexpr int32_t kPageSize = 1024;

int64_t PageOffset(int32_t pageNo) { return kVLMFirstPagePosition + static_cast<int64_t>(pageNo) * kPageSize; }

// Every write, truncate and flush of a commit fails from the k-th on (a full
// disk), or the k-th alone fails with EIO, for a handle that writes the file
// alone and for one that may share it. A write of the database that failed
// once is written again and the commit lands; a failed flush, or a failed
// write of the journal, is never tried again: the commit raises and the database
// stays failed until it is closed: rollback works, reads, allocations and
// commits raise 10600, no cached copy of the commit's pages is left, and no
// change is reported. Another handle opened beside it reads the state
// before the commit, and the next open asks nothing and holds that state;
// only when every operation failed from the last flush on (the write that
// takes the commit back as well) may the commit stand.
TEST(StorageFailure, ACommitFailingFromTheKthWriteLeavesTheDatabaseFailedUntilReopened) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string base = dir.File("base.vlm"), path = dir.File("work.vlm");
  CreateStandardDatabase(base, kPageSize, 8);
  std::vector<int32_t> pages;
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, base);
    for (int i = 0; i < 3; ++i) {
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      FillData(page.Get(), 1);
      pages.push_back(page->PageNo);
    }
    pm.Commit(0);
  }
  // Journal write and flush, CommitState 1, the three adjacent pages in one
  // write, the header after, flush; shared, a flush after CommitState 1 and
  // after the pages too.
  for (int run = 0; run < 4; ++run) {
    const bool alone = run < 2, once = run % 2 == 1;
    const qv::FileFault fault = once ? qv::FileFault::Fail : qv::FileFault::FailFrom;
    SCOPED_TRACE(std::string(alone ? "alone" : "shared") + (once ? ", once" : ", from"));
    const int operations = alone ? 6 : 8;
    // What fails the commit when it fails once: the journal's write and
    // every flush.
    const std::set<int> failing = alone ? std::set<int>{1, 2, 6} : std::set<int>{1, 2, 4, 6, 8};
    int failures = 0;
    for (int k = 1; k < 30; ++k) {
      SCOPED_TRACE("k=" + std::to_string(k));
      ASSERT_TRUE(qv::CopyFile(base, path, false));
      TVLMDiskPageManager pm;
      OpenDatabase(pm, path);
      pm.SetSoleWriterLock(alone);
      for (int32_t no : pages) {
        TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMPageTableRecord));
        FillData(page.Get(), 2);
        page->Modified = true;
      }
      qv::SetFileFaultAfter(k, fault);
      const int32_t code = CodeOf([&] { pm.Commit(0); });
      qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);  // the disk has room again
      if (k > operations) break;
      EXPECT_EQ(code != 0, !once || failing.count(k) != 0);
      if (code == 0) continue;
      ++failures;
      EXPECT_TRUE(pm.IsFailed());
      EXPECT_TRUE(pm.LastCommitChanges().Block1After.empty());
      EXPECT_EQ(CodeOf([&] { pm.RollbackSession(0); }), 0);
      for (int32_t no : pages) EXPECT_EQ(pm.SharedPages.Find(no), nullptr) << no;
      std::string message;
      EXPECT_EQ(CodeOf([&] { pm.GetPage(0, pages[0], true, kVLMPageTableRecord); }, &message), 10600);
      EXPECT_EQ(message.rfind("Database file '" + path + "' cannot be used after a failed write during a commit.", 0),
                0u);
      EXPECT_EQ(CodeOf([&] { pm.NewPage(0, kVLMPageTableRecord); }), 10600);
      EXPECT_EQ(CodeOf([&] { pm.Commit(0); }), 10600);
      const bool stands = !once && k == operations;
      if (once) {
        TVLMDiskPageManager beside;
        OpenDatabase(beside, path);
        for (int32_t no : pages)
          EXPECT_TRUE(DataIs(TVLMHeldPage(&beside, beside.GetPage(0, no, true, kVLMPageTableRecord)).Get(), 1)) << no;
      }
      pm.CloseDatabase();
      EXPECT_EQ(qv::FileExists(pm.JournalFileName()), !once) << "the journal stays for the next open";

      TVLMDiskPageManager again;
      EXPECT_FALSE(OpenDatabase(again, path).NeedsRepair);
      EXPECT_FALSE(qv::FileExists(again.JournalFileName()));
      for (int32_t no : pages) {
        TVLMHeldPage page(&again, again.GetPage(0, no, true, kVLMPageTableRecord));
        EXPECT_TRUE(DataIs(page.Get(), stands ? 2 : 1)) << no;
      }
    }
    EXPECT_EQ(failures, once ? static_cast<int>(failing.size()) : operations);
  }
}

// A header whose PageCount lies beyond the end of the file opens as needing
// repair and takes no allocation, commit or truncation: growth from that
// count would extend the file by a tenth of pages it does not have.
TEST(StorageFailure, AHeaderCountingPagesTheFileLacksTakesNoAllocationOrCommit) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("count.vlm");
  struct Row {
    uint32_t PageCount;  // 0: one more than the file holds
    int32_t LastUsedPage;
  };
  for (const Row& row : {Row{1000000, -1}, Row{0, 2}}) {
    CreateStandardDatabase(path, kPageSize, 8);
    const int64_t size = static_cast<int64_t>(ReadBytes(path).size());
    const uint32_t count = row.PageCount ? row.PageCount : static_cast<uint32_t>((size - 380) / kPageSize + 1);
    uint8_t fields[8];
    VLMPutU32LE(fields, count);
    VLMPutI32LE(fields + 4, row.LastUsedPage);
    PatchBytes(path, 30, fields, sizeof fields);

    TVLMDiskPageManager pm;
    EXPECT_TRUE(OpenDatabase(pm, path).NeedsRepair);
    EXPECT_EQ(CodeOf([&] { pm.NewPage(0, kVLMPageTableRecord); }), 10601) << count;
    {
      TVLMHeldPage page(&pm, pm.GetPage(0, kVLMSystemDirectoryPage, true, kVLMPageFileSystemDirectory));
      page->Modified = true;
    }
    std::string message;
    EXPECT_EQ(CodeOf([&] { pm.Commit(0); }, &message), 10601) << count;
    EXPECT_EQ(message, "Database file '" + path + "' is shorter than its header says (PageCount = " +
                           std::to_string(count) + ", file size = " + std::to_string(size) +
                           "). The database needs repair - Native error: 10601");
    EXPECT_FALSE(pm.IsFailed());  // refused before anything was written
    EXPECT_EQ(CodeOf([&] { pm.TruncateUnusedPages(); }), 10601);
    pm.RollbackSession(0);
    pm.CloseDatabase();
    EXPECT_EQ(static_cast<int64_t>(ReadBytes(path).size()), size);
  }
}

// A file longer than its header's PageCount: what an interrupted growth or
// shrink leaves past the count (zeros, freed pages, map pages) is sound and
// the file grows over it; a page committed there means the count is too
// small, so the open asks for repair and growth, which sizes the file from
// the count, refuses (10730) instead of writing over the page.
TEST(StorageFailure, AHeaderCountingTooFewPagesAsksForRepairAndTakesNoGrowth) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string path = dir.File("few.vlm");
  struct Row {
    const char* What;
    uint16_t Type;  // of the second page past the count; 0: never written
    uint32_t WriteCounter;
    bool InUse;
  };
  for (const Row& row : {Row{"record page", kVLMPageTableRecord, 5, true},
                         Row{"index page", kVLMPageTableIndex, 1, true},
                         Row{"freed record page", kVLMPageTableRecord, kVLMFreedPageCounter, false},
                         Row{"map page", kVLMPagePFS, 1, false}, Row{"never written", 0, 0, false}}) {
    SCOPED_TRACE(row.What);
    CreateStandardDatabase(path, kPageSize, 8);
    std::vector<uint8_t> bytes = ReadBytes(path);
    const uint32_t count = VLMGetU32LE(bytes.data() + kVLMPageCountOffset);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(PageOffset(static_cast<int32_t>(count))));
    std::vector<uint8_t> tail(3 * kPageSize, 0);
    if (row.Type != 0) {
      uint8_t* page = tail.data() + kPageSize;
      std::memcpy(page, "VLMP", 4);
      VLMPutU32LE(page + kVLMPageWriteCounterOffset, row.WriteCounter);
      VLMPutU16LE(page + kVLMPageTypeOffset, row.Type);
      for (int32_t i = kVLMPageHeaderSize; i < kPageSize; ++i) page[i] = static_cast<uint8_t>(i * 7);
    }
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    WriteBytes(path, bytes);

    TVLMDiskPageManager pm;
    EXPECT_EQ(OpenDatabase(pm, path).NeedsRepair, row.InUse);
    int32_t code = 0;
    for (int i = 0; i < 40 && code == 0; ++i)
      code = CodeOf([&] { TVLMHeldPage(&pm, pm.NewPage(0, kVLMPageTableRecord)); });
    EXPECT_EQ(code, row.InUse ? 10730 : 0);
    pm.ReadHeader();
    if (row.InUse) {
      EXPECT_EQ(pm.GetHeader().PageCount, count);
      const std::vector<uint8_t> after = ReadBytes(path);
      ASSERT_EQ(after.size(), bytes.size());
      EXPECT_TRUE(std::equal(tail.begin(), tail.end(), after.end() - static_cast<long>(tail.size())));
    } else {
      EXPECT_GT(pm.GetHeader().PageCount, count + 3);
    }
    pm.RollbackSession(0);
    pm.CloseDatabase();
  }
}

// A page index of 600 pages (seven leaves under a root node) built through
// the storage API, then one head field changed on disk per row. Every
// operation of the index either works or raises an engine error, and the
// row's code is among them; undamaged, none fails.
TEST(StorageFailure, DamagedBTreePageHeadsRaiseEngineErrors) {
  FastRetries fast;
  ScratchFolder dir;
  const std::string base = dir.File("tree.vlm"), path = dir.File("work.vlm");
  CreateStandardDatabase(base, kPageSize, 8);
  int32_t root = 0, leaf1 = 0, leaf2 = 0;
  {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, base);
    TVLMBTreeRecordPageIndex index(&pm);
    index.MaxRecordsPerPage = 100;
    index.CreateTree(0);
    for (int32_t no = 1000; no < 1600; ++no) index.AddToPage(0, 1, no);
    pm.Commit(0);
    root = index.RootPageNo;
    TVLMKeyPath path;
    ASSERT_TRUE(index.GoFirst(0, path));
    ASSERT_EQ(path.Depth, 2);
    leaf1 = path.Levels[1].PageNo;
    leaf2 = TVLMBTreePage::Load(&pm, index.KeyRef.get(), 0, leaf1)->GetNextPageNo();
  }
  struct Row {
    const char* Name;
    int32_t Page, Offset, Size;  // the bytes changed, in the B-tree head
    int64_t Value;
    int32_t Code;
  };
  const Row kRows[] = {
      {"undamaged", root, 0, 0, 0, 0},
      {"EntryCount beyond the page", leaf1, kVLMBTreeEntryCountOffset, 2, 0xFFFF, 10602},
      {"KeySize not the tree's", leaf2, kVLMBTreeKeySizeOffset, 2, 200, 10602},
      {"VarAreaSize beyond the page", leaf1, kVLMBTreeVarAreaOffset, 2, 990, 10602},
      // HasExtra 1, KeySize 4, EntryCount 150: fits only without the extras.
      {"HasExtra on a page too full for it", leaf1, kVLMBTreeHasExtraOffset, 5, 0x9600000401, 10602},
      {"IsLeaf neither 0 nor 1", leaf2, kVLMBTreeIsLeafOffset, 1, 7, 10602},
      {"root without its root flag", root, kVLMBTreeIsRootOffset, 1, 0, 10603},
      {"leaf with a root flag", leaf2, kVLMBTreeIsRootOffset, 1, 1, 10603},
      {"first child link back to the root", root, kVLMBTreeHeadSize + 4, 4, root, 10603},
      {"leaf that says it is a node", leaf1, kVLMBTreeIsLeafOffset, 1, 0, 10603},
      {"leaf chain that loops", leaf2, kVLMBTreeNextOffset, 4, leaf1, 10604},
      // The removal from the first leaf merges it into the second.
      {"neighbours laid out differently", leaf2, kVLMBTreeVarAreaOffset, 2, 6, 10605},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.Name);
    ASSERT_TRUE(qv::CopyFile(base, path, false));
    uint8_t bytes[8];
    VLMPutI64LE(bytes, row.Value);
    PatchBytes(path, PageOffset(row.Page) + kVLMPageHeaderSize + row.Offset, bytes, static_cast<size_t>(row.Size));
    TVLMDiskPageManager pm;
    OpenDatabase(pm, path);
    TVLMBTreeRecordPageIndex index(&pm);
    index.MaxRecordsPerPage = 100;
    index.SetRootPageNo(root);
    const std::vector<int32_t> codes = PageIndexOperationCodes(pm, index, 600);
    if (row.Code == 0) {
      EXPECT_EQ(codes, std::vector<int32_t>(codes.size(), 0));
    } else {
      EXPECT_GT(std::count(codes.begin(), codes.end(), row.Code), 0) << ::testing::PrintToString(codes);
    }
    pm.RollbackSession(0);
  }
}

}  // namespace
