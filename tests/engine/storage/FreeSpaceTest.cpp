// Free-space management: growth, the PFS and EAM maps against a model of the
// used pages, shrinking at map boundaries, the already-used and already-free
// errors, and maps left ahead of the header by an interrupted allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;

// A bare database: header blocks only, no page yet.
void CreateBare(TVLMDiskPageManager& pm, const std::string& path, uint16_t pageSize, uint16_t extentSize) {
  pm.CreateDatabase(path, {}, pageSize, extentSize);
}

// Gives the pages the head a commit writes: an open that has the file alone
// gives back used pages that no commit wrote.
void MarkWritten(TVLMDiskPageManager& pm, const std::set<int32_t>& pages) {
  uint8_t head[kVLMPageWriteCounterOffset + 4];
  std::memcpy(head + kVLMPageMagicOffset, "VLMP", 4);
  VLMPutU32LE(head + kVLMPageWriteCounterOffset, 1);
  for (int32_t pageNo : pages) pm.WritePageBytes(head, pageNo, sizeof head, 0);
}

uint16_t StoredType(TVLMDiskPageManager& pm, int64_t pageNo) {
  uint8_t type[2];
  pm.ReadPageBytes(type, static_cast<int32_t>(pageNo), 2, kVLMPageTypeOffset);
  return VLMGetU16LE(type);
}

// The header, the file size and the maps agree with the model; with full,
// every page's bit is compared as well.
void CheckMaps(TVLMDiskPageManager& pm, const std::set<int32_t>& used, bool full) {
  TVLMDatabaseFreeSpaceManager& fs = *pm.FreeSpace;
  pm.ReadHeader();
  const int64_t total = pm.GetHeader().PageCount;
  ASSERT_EQ(pm.DatabaseFile.GetSize(), pm.FirstPagePosition + total * pm.PageSize);
  ASSERT_EQ(pm.GetHeader().LastUsedPage, used.empty() ? -1 : *used.rbegin());
  for (int64_t k = 0; k * fs.PagesPerPFS < total; ++k) ASSERT_EQ(StoredType(pm, k * fs.PagesPerPFS), kVLMPagePFS);
  for (int64_t j = 0; j * fs.PagesPerEAM < total; ++j) {
    ASSERT_LT(fs.EAMPagePosition(j), total) << "EAM page " << j << " cut off";
    ASSERT_EQ(StoredType(pm, fs.EAMPagePosition(j)), kVLMPageEAM);
  }
  if (!full) return;
  for (int32_t p = 0; p < total; ++p)
    ASSERT_EQ(fs.IsPageUsed(p), used.count(p) > 0 || fs.IsSystemPage(p)) << "page " << p;
}

TEST(FreeSpace, TheFirstAllocationGrowsBySixPages) {
  FastRetries fast;
  ScratchFolder dir;
  TVLMDiskPageManager pm;
  CreateBare(pm, dir.File("g.vlm"), 4096, 8);
  EXPECT_EQ(pm.FreeSpace->GrowStep(), 6);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 2);
  EXPECT_EQ(pm.GetHeader().PageCount, 6u);
  EXPECT_EQ(pm.GetHeader().LastUsedPage, 2);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 3);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 4);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 5);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 6);  // the next growth: max(6 div 10, 8) pages
  EXPECT_EQ(pm.GetHeader().PageCount, 14u);
  EXPECT_TRUE(pm.FreeSpace->IsSystemPage(0));
  EXPECT_TRUE(pm.FreeSpace->IsSystemPage(1));
  EXPECT_FALSE(pm.FreeSpace->IsSystemPage(2));
  EXPECT_EQ(pm.FreeSpace->PagesPerPFS, 4056 * 8);
  EXPECT_EQ(pm.FreeSpace->PagesPerEAM, 4056 * 4 * 8);
  EXPECT_EQ(pm.FreeSpace->EAMPagePosition(1), 4056 * 4 * 8 + 1);  // even extent: after its PFS page
}

TEST(FreeSpace, UsedAndFreePagesAreChecked) {
  FastRetries fast;
  ScratchFolder dir;
  TVLMDiskPageManager pm;
  CreateBare(pm, dir.File("e.vlm"), 4096, 8);
  for (int i = 0; i < 4; ++i) pm.FreeSpace->AllocatePage();
  std::string message;
  EXPECT_EQ(CodeOf([&] { pm.FreeSpace->SetPageState(4, true); }, &message), 30425);
  EXPECT_EQ(message, "Page: 4 already used - Native error: 30425");
  pm.FreeSpace->FreePage(4);
  EXPECT_EQ(CodeOf([&] { pm.FreeSpace->FreePage(4); }, &message), 30427);
  EXPECT_EQ(message, "Page: 4 already free - Native error: 30427");
  EXPECT_EQ(CodeOf([&] { pm.FreeSpace->FreePage(1); }), 30434);
  EXPECT_EQ(CodeOf([&] { pm.FreeSpace->SetPageState(100, true); }, &message), 30430);
  EXPECT_EQ(message, "Page: 100 cannot be addressed. TotalPageCount=6 - Native error: 30430");
  // The header is unchanged by the refused operations.
  EXPECT_EQ(pm.GetHeader().LastUsedPage, 5);
}

TEST(FreeSpace, FreeingTheOnlyDataPageShrinksOnlyAtTheGrowStep) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("s.vlm");
  TVLMDiskPageManager pm;
  CreateBare(pm, path, 4096, 8);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 2);
  pm.FreeSpace->FreePage(2);
  // Tail of 6 free pages, grow step max(6 div 10, 8) = 8: no shrink.
  EXPECT_EQ(pm.GetHeader().PageCount, 6u);
  EXPECT_EQ(pm.GetHeader().LastUsedPage, -1);
  // Growing 40 pages, then freeing them from the top shrinks in whole steps.
  std::set<int32_t> used;
  for (int i = 0; i < 40; ++i) used.insert(pm.FreeSpace->AllocatePage());
  while (!used.empty()) {
    pm.FreeSpace->FreePage(*used.rbegin());
    used.erase(std::prev(used.end()));
    CheckMaps(pm, used, false);
  }
  EXPECT_LT(pm.GetHeader().PageCount, 20u);
}

// Random allocations and frees over small pages, so that the maps cross
// several PFS and EAM pages, for odd and even extent sizes; written through
// at once, and by a handle alone, which keeps the maps and LastUsedPage in
// memory from one free to the next until a commit writes them.
TEST(FreeSpace, MapsMatchAModelOfUsedPages) {
  FastRetries fast;
  for (const int run : {0, 1, 2, 3, 4, 5}) {
    const bool alone = run >= 3;
    const auto extent = static_cast<uint16_t>(run % 3 + 1);
    SCOPED_TRACE(std::string(alone ? "alone" : "written through") + ", extent " + std::to_string(extent));
    ScratchFolder dir;
    TVLMDiskPageManager pm;
    CreateBare(pm, dir.File("m.vlm"), 128, extent);
    if (alone) pm.SetSoleWriterLock(true);
    TVLMDatabaseFreeSpaceManager& fs = *pm.FreeSpace;
    std::set<int32_t> used;
    std::mt19937 random(extent);
    auto check = [&](bool full) {
      if (!alone) return CheckMaps(pm, used, full);
      ASSERT_EQ(fs.LastUsedPage, used.empty() ? -1 : *used.rbegin());
      for (int32_t p = 0; full && p < fs.TotalPageCount; ++p)
        ASSERT_EQ(fs.IsPageUsed(p), used.count(p) > 0 || fs.IsSystemPage(p)) << "page " << p;
    };
    auto allocate = [&] {
      int32_t p = fs.AllocatePage();
      ASSERT_FALSE(fs.IsSystemPage(p)) << p;
      ASSERT_TRUE(used.insert(p).second) << "page " << p << " handed out twice";
    };
    auto freeOne = [&] {
      auto it = used.begin();
      std::advance(it, random() % used.size());
      fs.FreePage(*it);
      used.erase(it);
    };
    for (int i = 0; i < 1600; ++i) allocate();
    check(true);
    const auto budget = qv::test::TestBudget::Steps(1500, 10);
    for (uint64_t i = 0; budget.Continue(i); ++i) {
      // A long walk can free every page; then it allocates.
      if (used.empty() || random() % 2 == 0) allocate();
      else freeOne();
      if (i % 50 == 0) check(false);
    }
    check(true);
    while (!used.empty()) {
      freeOne();
      check(false);
    }
    check(true);
    allocate();
    check(true);
    if (!alone) continue;
    // A commit writes them, with a page of its own.
    {
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      FillData(page.Get(), 4);
      used.insert(page->PageNo);
    }
    pm.Commit(0);
    pm.SetSoleWriterLock(false);
    CheckMaps(pm, used, true);
  }
}

// With an even extent size the EAM page follows its PFS page. A shrink that
// would end the file on the PFS page keeps the EAM page as well.
TEST(FreeSpace, ShrinkingNeverSeparatesAPFSPageFromItsEAMPage) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("b.vlm");
  TVLMDiskPageManager pm;
  CreateBare(pm, path, 128, 2);
  TVLMDatabaseFreeSpaceManager& fs = *pm.FreeSpace;
  ASSERT_EQ(fs.PagesPerPFS, 704);
  ASSERT_EQ(fs.EAMPagePosition(1), 705);
  std::set<int32_t> used;
  int32_t p = 0;
  while ((p = fs.AllocatePage()) < 706) used.insert(p);
  ASSERT_EQ(p, 706);
  used.insert(p);
  // 783 pages: freeing 706 drops the last used page to 703, a free tail of
  // 79 pages against a grow step of 78. Cutting whole steps would end the
  // file on page 704, the PFS page, and lose EAM page 705.
  pm.ReadHeader();
  pm.AddPages(static_cast<int32_t>(783 - pm.GetHeader().PageCount));
  pm.WriteHeader(true);
  fs.FreePage(706);
  used.erase(706);
  EXPECT_EQ(pm.GetHeader().PageCount, 707u);
  CheckMaps(pm, used, true);
  MarkWritten(pm, used);
  {
    TVLMDiskPageManager reopened;
    pm.CloseDatabase();
    EXPECT_FALSE(OpenDatabase(reopened, path).NeedsRepair);
    EXPECT_EQ(reopened.FreeSpace->AllocatePage(), 706);
  }
}

// An allocation stopped between writing the maps and writing the header
// leaves the header behind the maps; growth must trust the maps.
TEST(FreeSpace, GrowthTrustsMapsThatAreAheadOfTheHeader) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("t.vlm");
  TVLMDiskPageManager pm;
  CreateBare(pm, path, 4096, 8);
  for (int i = 0; i < 3; ++i) pm.FreeSpace->AllocatePage();  // pages 2-4
  // Page 5 marked used, but the header still says LastUsedPage 4.
  pm.ReadHeader();
  TVLMDatabaseHeader before = pm.Header;
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 5);
  pm.Header = before;
  pm.WriteHeader(true);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 6);  // grows past the page the map holds
  EXPECT_EQ(pm.GetHeader().LastUsedPage, 6);

  // A growth stopped before its header: the file is longer and the map marks
  // pages beyond the header's page count.
  for (int i = 0; i < 7; ++i) pm.FreeSpace->AllocatePage();  // pages 7-13, the file is full
  pm.ReadHeader();
  before = pm.Header;
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 14);
  EXPECT_EQ(pm.GetHeader().PageCount, 22u);
  pm.Header = before;
  pm.WriteHeader(true);
  EXPECT_EQ(pm.FreeSpace->AllocatePage(), 14);
  EXPECT_EQ(pm.GetHeader().PageCount, 22u);
  EXPECT_EQ(std::filesystem::file_size(path), 380u + 22 * 4096u);
  std::set<int32_t> used;
  for (int32_t i = 2; i <= 14; ++i) used.insert(i);
  CheckMaps(pm, used, true);
}

}  // namespace

// While one handle holds the single-user lock, allocations change the maps
// and counts in memory only, also when they grow the file; they reach the
// file with the next commit, never when the header is read. Released or
// closed before, the file keeps the maps of its last commit. A copy taken
// before is the file before the allocations.
TEST(FreeSpace, MapChangesOfAHandleAloneReachTheFileWithTheNextCommitOnly) {
  FastRetries fast;
  for (const std::string way : {"commit", "release", "close"}) {
    for (const bool growth : {false, true}) {
      SCOPED_TRACE(way + (growth ? " growth" : ""));
      ScratchFolder dir;
      const std::string path = dir.File("d.vlm"), copy = dir.File("copy.vlm");
      CreateStandardDatabase(path);
      TVLMDiskPageManager pm;
      OpenDatabase(pm, path);
      pm.SetSoleWriterLock(true);  // what a single-user connection holds
      auto newPage = [&] {
        TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
        FillData(page.Get(), 4);
        return page->PageNo;
      };
      // Room for the allocations below without growth, or none at all.
      do newPage();
      while (growth ? pm.GetHeader().LastUsedPage + 1 < static_cast<int32_t>(pm.GetHeader().PageCount)
                    : static_cast<int64_t>(pm.GetHeader().PageCount) - 1 - pm.GetHeader().LastUsedPage < 4);
      pm.Commit(0);
      const std::vector<uint8_t> committed = ReadBytes(path);
      const uint32_t pageCount = pm.GetHeader().PageCount;
      std::vector<int32_t> pages;
      for (int i = 0; i < 3; ++i) pages.push_back(newPage());
      EXPECT_EQ(pm.GetHeader().PageCount > pageCount, growth);
      pm.ReadHeader();
      auto storedBit = [&](const std::string& file, int32_t p) {
        const std::vector<uint8_t> bytes = ReadBytes(file);
        return (bytes[static_cast<size_t>(kVLMFirstPagePosition + kVLMPageHeaderSize + p / 8)] >> (p % 8)) & 1;
      };
      EXPECT_EQ(storedBit(path, pages.back()), 0);
      std::vector<uint8_t> now = ReadBytes(path);
      now.resize(committed.size());
      EXPECT_EQ(now, committed) << "nothing but the file's length changed";
      ASSERT_TRUE(qv::CopyFile(path, copy, false));

      if (way == "commit") {
        pm.Commit(0);
        for (int32_t p : pages) EXPECT_EQ(storedBit(path, p), 1) << p;
        EXPECT_EQ(VLMGetI32LE(ReadBytes(path).data() + kVLMLastUsedPageOffset), pages.back());
        EXPECT_EQ(VLMGetU32LE(ReadBytes(path).data() + kVLMPageCountOffset), pm.GetHeader().PageCount);
      } else {
        pm.RollbackSession(0);
        if (way == "release") pm.SetSoleWriterLock(false);
        else pm.CloseDatabase();
        now = ReadBytes(path);
        now.resize(committed.size());
        EXPECT_EQ(now, committed);
      }

      TVLMDiskPageManager before;
      EXPECT_FALSE(OpenDatabase(before, copy).NeedsRepair);
      EXPECT_FALSE(before.FreeSpace->IsPageUsed(pages[0]));
      EXPECT_EQ(before.FreeSpace->AllocatePage(), pages[0]);
      EXPECT_EQ(before.GetHeader().PageCount > pageCount, growth);
    }
  }
}
