// Record pages and the disk record manager: slots per page, the page index
// that lists exactly the pages holding records, navigation at the ends and
// from records that went, record numbers in page order, and the repair that
// rebuilds the page index from the pages.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "tests/engine/storage/DiskTableSupport.h"

namespace storage_test {
namespace {

using qv::test::RaisedCode;

// Text of n characters: a stored record of n + 2 bytes.
tabledata_test::FieldSpec Text(int32_t n) { return {"Text", dtString, n}; }

// A step of the record manager (records are not copied out).
TVLMNavigationRequest Navigate(DiskTable& table, uint8_t mode, bool bof, bool eof, TVLMRecordID from = {}) {
  TVLMNavigationRequest request;
  request.Mode = mode;
  request.Bof = bof;
  request.Eof = eof;
  request.RecordID = from;
  table.Records().GetRecord(0, request);
  return request;
}

TEST(RecordPages, SlotsPerPageFollowTheStoredRecordSize) {
  struct Case {
    uint16_t PageSize;
    int32_t TextSize;
    int32_t Slots;  // 0: the table cannot be made
    int32_t BitmapBytes;
  };
  for (const Case& c : {Case{4096, 98, 40, 5}, Case{256, 25, 7, 1}, Case{256, 212, 1, 1}, Case{256, 214, 0, 0}}) {
    if (c.Slots == 0) {
      EXPECT_EQ(RaisedCode([&] { DiskTable table(c.PageSize, {Text(c.TextSize)}); }), 20174);
      continue;
    }
    DiskTable table(c.PageSize, {Text(c.TextSize)});
    EXPECT_EQ(table.Records().RecordsPerPage, c.Slots) << c.TextSize;
    TVLMHeldPage page(&table.Pages(), table.Pages().GetPage(0, static_cast<int32_t>(table.Insert({"x"}).Page), true,
                                                            kVLMPageTableRecord));
    EXPECT_EQ(TVLMSmallRecordPage(page.Get(), c.Slots, c.TextSize + 2).BitmapSize, c.BitmapBytes);
    EXPECT_EQ(page->GetOwnerTableID(), table.Records().TableID);
  }
}

TEST(RecordPages, PagesAreListedWhileTheyHoldRecords) {
  DiskTable table(4096, {Text(98)});
  // Empty: 2 in every mode.
  for (uint8_t mode : {0, 1, 2}) EXPECT_EQ(Navigate(table, mode, mode != 2, mode == 2).Result, kVLMNavEOF);
  std::vector<TVLMRecordID> ids;
  for (int i = 0; i < 85; ++i) ids.push_back(table.Insert({std::to_string(i)}));
  TVLMBTreeRecordPageIndex& index = *table.Records().PageIndex;
  auto listed = [&] {
    std::vector<int32_t> counts;
    TVLMKeyPath path;
    for (bool more = index.GoFirst(0, path); more; more = index.NextEntry(0, path))
      counts.push_back(index.GetValueAt(0, path));
    return counts;
  };
  EXPECT_EQ(listed(), (std::vector<int32_t>{40, 40, 5}));
  struct End {
    uint8_t Mode;
    bool Bof;
    uint8_t Result;
  };
  for (const End& e : {End{0, true, 3}, End{2, true, 1}, End{0, false, 3}, End{1, false, 2}})
    EXPECT_EQ(Navigate(table, e.Mode, e.Bof, !e.Bof).Result, e.Result) << int(e.Mode) << e.Bof;

  const auto firstPage = static_cast<int32_t>(ids[0].Page);
  for (int i = 0; i < 40; ++i) table.Delete(ids[static_cast<size_t>(i)]);
  EXPECT_EQ(index.GetPageValue(0, firstPage), -1);
  EXPECT_FALSE(table.Pages().FreeSpace->IsPageUsed(firstPage));
  // A walk from a record whose page went goes on from where it stood.
  TVLMNavigationRequest next = Navigate(table, 1, false, false, ids[5]);
  EXPECT_EQ(next.Result, kVLMNavOK);
  EXPECT_EQ(next.RecordID, ids[40]);
  EXPECT_EQ(Navigate(table, 2, false, false, ids[5]).Result, kVLMNavBOF);
  // Inserts fill the listed pages first.
  const TVLMRecordID again = table.Insert({"again"});
  EXPECT_EQ(listed(), (std::vector<int32_t>{40, 6}));
  EXPECT_EQ(again.Page, ids[84].Page);
  table.Records().CheckPageIndex(0);
  FreeSpaceChecker checker(table.Pages());
  checker.AddPageIndex(*table.Records().PageIndex, "T");
  EXPECT_EQ(checker.Check(), "");
  // The checker finds a page reached twice and a page nothing reaches.
  checker.AddPage(static_cast<int32_t>(again.Page), "again");
  TVLMHeldPage(&table.Pages(), table.Pages().NewPage(0, kVLMPageTableRecord));
  table.Pages().Commit(0);
  const std::string faults = checker.Check();
  EXPECT_NE(faults.find("is reached by T and again"), std::string::npos) << faults;
  EXPECT_NE(faults.find("is used but lost"), std::string::npos) << faults;
  // A deleted record leaves zeros in its slot, nothing a damaged bitmap
  // could bring back.
  table.Delete(ids[50]);
  {
    TVLMHeldPage page(&table.Pages(), table.Pages().GetPage(0, static_cast<int32_t>(ids[50].Page), true,
                                                            kVLMPageTableRecord));
    const TVLMSmallRecordPage view(page.Get(), 40, 100);
    const uint8_t* slot = page->Data() + view.BitmapSize + ids[50].Row * 100;
    EXPECT_EQ(std::vector<uint8_t>(slot, slot + 100), std::vector<uint8_t>(100, 0));
    EXPECT_FALSE(view.IsSet(ids[50].Row));
  }
}

TEST(RecordPages, RecordNumbersFollowPageOrder) {
  DiskTable table(4096, {Text(98)});
  std::vector<TVLMRecordID> ids;
  for (int i = 0; i < 80; ++i) ids.push_back(table.Insert({std::to_string(i)}));
  table.Delete(ids[10]);
  // The free slot of the first page takes the next record, which then comes
  // before every record of the second page.
  EXPECT_EQ(table.Insert({"late"}), ids[10]);
  TVLMDiskRecordManager& records = table.Records();
  EXPECT_EQ(records.GetRecNo(0, ids[10]), 11);
  const std::vector<uint64_t> walk = table.Walk();
  for (int64_t k = 1; k <= 80; ++k) {
    TVLMRecordID id;
    records.SetRecNo(0, id, k);
    EXPECT_EQ(IDKey(id), walk[static_cast<size_t>(k - 1)]);
    EXPECT_EQ(records.GetRecNo(0, id), k);
  }
  TVLMRecordID id;
  EXPECT_EQ(RaisedCode([&] { records.SetRecNo(0, id, 81); }), 20113);
  struct Order {
    TVLMRecordID A, B;
    int32_t Result;
  };
  for (const Order& o : {Order{{0x80000000u, 0}, {1, 0}, -1}, Order{{0xFFFFFFFFu, 9}, {0, 0}, -1},
                         Order{{5, 1}, {5, 2}, -1}, Order{{7, 3}, {7, 3}, 0}, Order{{2, 0}, {1, 9}, 1}})
    EXPECT_EQ(records.CompareRecordIDs(o.A, o.B), o.Result) << o.A.Page;
}

TEST(RecordPages, RebuildFindsEveryRecordOfTheTableAndSkipsSystemPages) {
  // One record a page, so that the table passes the second free-space map
  // page (page 704 of a file of 128-byte pages); a second table shares it.
  DiskTable table(128, {Text(78)});
  tabledata_test::TableCursor other(table.Db, table.Session, "U");
  other.Create({Text(78)});
  for (int i = 0; i < 3; ++i) other.Append({"other"});
  std::vector<TVLMRecordID> ids;
  for (int i = 0; i < 720; ++i) ids.push_back(table.Insert({std::to_string(i)}));
  ASSERT_GT(ids.back().Page, 704u);
  for (size_t i = 0; i < ids.size(); i += 7) table.Delete(ids[i]);
  const std::vector<uint64_t> before = table.Walk();
  TVLMDiskRecordManager& records = table.Records();
  TVLMPage* root = table.Pages().GetPage(0, records.PageIndex->RootPageNo, true, kVLMAnyPageType);
  std::memset(root->Data(), 0, static_cast<size_t>(root->DataSize()));
  root->Modified = true;
  table.Pages().ReleasePage(root);
  table.Pages().Commit(0);
  EXPECT_NE(RaisedCode([&] { records.CheckPageIndex(0); }), 0);
  records.RebuildPageIndex(0);
  table.Pages().Commit(0);
  EXPECT_EQ(records.RecordCount, static_cast<int64_t>(before.size()));
  records.CheckPageIndex(0);
  EXPECT_EQ(table.Walk(), before);
  EXPECT_EQ(other.Column(0), (std::vector<std::string>{"other", "other", "other"}));
}

#if VLM_DEBUG_CHECKS
// A debug build stops at a broken invariant and names it: a slot at or
// beyond the page's slot count is never addressed.
TEST(RecordPagesDeathTest, ABrokenInvariantStopsTheRunWithItsName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DiskTable table(4096, {Text(98)});
  TVLMHeldPage page(&table.Pages(), table.Pages().GetPage(0, static_cast<int32_t>(table.Insert({"x"}).Page), true,
                                                          kVLMPageTableRecord));
  const TVLMSmallRecordPage view(page.Get(), 40, 100);
  EXPECT_DEATH(static_cast<void>(view.RecordData(40)), "Invariant VLMDiskEngineRecords 5 violated");
}
#endif

}  // namespace
}  // namespace storage_test
