// Record pages and the disk record manager: slots per page, the page index
// that lists exactly the pages holding records, navigation at the ends,
// record numbers in page order, and the repair that rebuilds the page index
// from the pages themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/engine/storage/DiskTableSupport.h"

namespace storage_test {
namespace {

using qv::test::RaisedCode;

TEST(RecordPages, SlotsPerPageFollowTheStoredRecordSize) {
  struct Case {
    uint16_t PageSize;
    int32_t TextSize;  // stored record: null byte + text + terminator
    int32_t Slots;
    int32_t BitmapBytes;
  };
  const Case cases[] = {{4096, 98, 40, 5}, {256, 25, 7, 1}, {256, 212, 1, 1}, {256, 214, 0, 0}};
  for (const Case& c : cases) {
    if (c.Slots == 0) {
      tabledata_test::RefDatabaseData db(tabledata_test::EngineKind::Disk, c.PageSize);
      schema_test::TestSession session;
      db.ConnectSession(&session);
      tabledata_test::TableCursor cursor(db, session, "T");
      EXPECT_EQ(RaisedCode([&] { cursor.Create({{"Text", dtString, c.TextSize}}); }), 20174) << c.TextSize;
      continue;
    }
    DiskTable table(c.PageSize, {{"Text", dtString, c.TextSize}});
    EXPECT_EQ(table.Records().RecordsPerPage, c.Slots) << c.TextSize;
    const TVLMRecordID id = table.Insert({"x"});
    TVLMHeldPage page(&table.Pages(), table.Pages().GetPage(0, static_cast<int32_t>(id.Page), true, kVLMPageTableRecord));
    EXPECT_EQ(TVLMSmallRecordPage(page.Get(), c.Slots, c.TextSize + 2).BitmapSize, c.BitmapBytes);
    EXPECT_EQ(page->GetOwnerTableID(), table.Records().TableID);
  }
}

TEST(RecordPages, PagesJoinAndLeaveThePageIndexWithTheirRecords) {
  DiskTable table(4096, {{"Text", dtString, 98}});
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
  const auto firstPage = static_cast<int32_t>(ids[0].Page);
  for (int i = 0; i < 40; ++i) table.Delete(ids[i]);
  // The emptied page is freed and unlisted; inserts fill the listed pages.
  EXPECT_EQ(index.GetPageValue(0, firstPage), -1);
  EXPECT_FALSE(table.Pages().FreeSpace->IsPageUsed(firstPage));
  // A walk from a record whose page went goes on from where it stood.
  struct Step {
    TVLMRecordID From;
    uint8_t Mode;
    uint8_t Result;
    TVLMRecordID Found;
  };
  for (const Step& s : {Step{ids[5], 1, kVLMNavOK, ids[40]}, Step{ids[5], 2, kVLMNavBOF, ids[5]}}) {
    std::vector<uint8_t> buffer(static_cast<size_t>(table.Records().RecordBufferSize));
    TVLMNavigationRequest request;
    request.Mode = s.Mode;
    request.RecordID = s.From;
    request.RecordBuffer = buffer.data();
    table.Records().GetRecord(0, request);
    EXPECT_EQ(request.Result, s.Result) << int(s.Mode);
    EXPECT_EQ(request.RecordID, s.Found) << int(s.Mode);
  }
  const TVLMRecordID next = table.Insert({"again"});
  EXPECT_EQ(listed(), (std::vector<int32_t>{40, 6}));
  EXPECT_EQ(next.Page, ids[84].Page);
  EXPECT_EQ(table.Records().RecordCount, 46);
  table.Records().CheckPageIndex(0);
  FreeSpaceChecker checker(table.Pages());
  checker.AddRecordManager(table.Records(), "T");
  EXPECT_EQ(checker.Check(), "");
  // The checker finds a page reached twice and a page nothing reaches.
  checker.AddPage(static_cast<int32_t>(next.Page), "again");
  TVLMHeldPage(&table.Pages(), table.Pages().NewPage(0, kVLMPageTableRecord));
  table.Pages().Commit(0);
  const std::string faults = checker.Check();
  EXPECT_NE(faults.find("is reached by T and again"), std::string::npos) << faults;
  EXPECT_NE(faults.find("is used but lost"), std::string::npos) << faults;
}

TEST(RecordPages, GetRecordAnswersAtTheEndsByMode) {
  struct Case {
    bool Empty;
    uint8_t Mode;
    bool Bof;
    uint8_t Result;
    const char* Found;  // the record read, when one is
  };
  const Case cases[] = {{true, 0, true, 2, nullptr},  {true, 1, true, 2, nullptr},  {true, 2, false, 2, nullptr},
                        {false, 0, true, 3, nullptr}, {false, 2, true, 1, nullptr}, {false, 1, true, 0, "a"},
                        {false, 0, false, 3, nullptr}, {false, 1, false, 2, nullptr}, {false, 2, false, 0, "c"}};
  for (const Case& c : cases) {
    DiskTable table(256, {{"Text", dtString, 10}});
    if (!c.Empty)
      for (const char* text : {"a", "b", "c"}) table.Insert({text});
    std::vector<uint8_t> buffer(static_cast<size_t>(table.Records().RecordBufferSize));
    TVLMNavigationRequest request;
    request.Mode = c.Mode;
    request.Bof = c.Bof;
    request.Eof = !c.Bof;
    request.RecordBuffer = buffer.data();
    table.Records().GetRecord(0, request);
    EXPECT_EQ(request.Result, c.Result) << int(c.Mode) << c.Bof << c.Empty;
    if (c.Found != nullptr) {
      EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + 1), c.Found);
    }
  }
}

TEST(RecordPages, RecordNumbersFollowPageOrder) {
  DiskTable table(4096, {{"Text", dtString, 98}});
  std::vector<TVLMRecordID> ids;
  for (int i = 0; i < 80; ++i) ids.push_back(table.Insert({std::to_string(i)}));
  table.Delete(ids[10]);
  // The free slot of the first page takes the next record, which then comes
  // before every record of the second page.
  const TVLMRecordID late = table.Insert({"late"});
  EXPECT_EQ(late, ids[10]);
  TVLMDiskRecordManager& records = table.Records();
  EXPECT_EQ(records.GetRecNo(0, late), 11);
  const std::vector<uint64_t> walk = table.Walk();
  ASSERT_EQ(walk.size(), 80u);
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
  const Order orders[] = {{{0x80000000u, 0}, {1, 0}, -1}, {{0xFFFFFFFFu, 9}, {0, 0}, -1}, {{5, 1}, {5, 2}, -1},
                          {{7, 3}, {7, 3}, 0},            {{2, 0}, {1, 9}, 1}};
  for (const Order& o : orders) EXPECT_EQ(records.CompareRecordIDs(o.A, o.B), o.Result) << o.A.Page;
}

TEST(RecordPages, RebuildFindsEveryRecordOfTheTableAndSkipsSystemPages) {
  // One record a page, so that the table passes the second free-space map
  // page (page 704 of a file of 128-byte pages).
  DiskTable table(128, {{"Text", dtString, 78}});
  tabledata_test::TableCursor other(table.Db, table.Session, "U");
  other.Create({{"Text", dtString, 78}});
  for (int i = 0; i < 3; ++i) other.Append({"other"});
  std::vector<TVLMRecordID> ids;
  for (int i = 0; i < 720; ++i) ids.push_back(table.Insert({std::to_string(i)}));
  ASSERT_GT(ids.back().Page, 704u);
  for (int i = 0; i < 720; i += 7) table.Delete(ids[static_cast<size_t>(i)]);
  const std::vector<uint64_t> before = table.Walk();
  TVLMDiskRecordManager& records = table.Records();
  {
    // Destroy the page index: its root becomes zeros.
    TVLMPage* root = table.Pages().GetPage(0, records.PageIndex->RootPageNo, true, kVLMAnyPageType);
    std::memset(root->Data(), 0, static_cast<size_t>(root->DataSize()));
    root->Modified = true;
    table.Pages().ReleasePage(root);
    table.Pages().Commit(0);
  }
  EXPECT_NE(RaisedCode([&] { records.CheckPageIndex(0); }), 0);
  records.RecordCount = 0;
  records.RebuildPageIndex(0);
  table.Pages().Commit(0);
  EXPECT_EQ(records.RecordCount, static_cast<int64_t>(before.size()));
  records.CheckPageIndex(0);
  EXPECT_EQ(table.Walk(), before);
  EXPECT_EQ(other.Column(0), (std::vector<std::string>{"other", "other", "other"}));
}

}  // namespace
}  // namespace storage_test
