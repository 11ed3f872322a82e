// The temporary engine's record store and page store: the memory share, the
// move to temporary files, the limits computed from free memory, and the
// refusals of an append-only store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/storage/VLMTempEngine.h"
#include "platform/os/System.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

using qv::test::RaisedCode;

// The free-memory figure the engine sees, for the lifetime of the object.
class FreeMemory {
public:
  explicit FreeMemory(int64_t bytes) { qv::SetAvailablePhysicalMemoryOverride(bytes); }
  ~FreeMemory() { qv::SetAvailablePhysicalMemoryOverride(-1); }
};

constexpr int32_t kRecordSize = 40;

void FillRecord(uint8_t* record, int64_t recordNo) {
  for (int32_t i = 0; i < kRecordSize; ++i) record[i] = static_cast<uint8_t>(recordNo * 31 + i);
  VLMPutI64LE(record, recordNo);
}

TEST(TemporaryMemoryLimit, IsComputedIn64BitsAndKeptWithinTheIntegerRange) {
  struct Case {
    int64_t FreeMemory;
    int64_t UnitSize;
    int32_t Limit;
  };
  const Case cases[] = {
      // A tenth of 64 GiB is past 2^31 - 1 itself; the limit is not.
      {int64_t{64} << 30, 8, 858993459},
      {int64_t{1} << 40, 8, INT32_MAX},
      {int64_t{64} << 30, 4096, 1677721},
      {40000, 40, 100},
      {399, 40, 0},
      {0, 40, 0},
      {1000, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(VLMTemporaryMemoryLimit(c.FreeMemory, c.UnitSize), c.Limit) << c.FreeMemory << "/" << c.UnitSize;
  FreeMemory large(int64_t{64} << 30);
  TVLMTemporaryRecordManager records(8, false, 1000, 10);
  EXPECT_GT(records.GetMemoryLimit(), 0);
  TVLMTemporaryPageManager pages(false);
  EXPECT_GT(pages.GetMemoryPageLimit(), 0);
}

TEST(TemporaryRecordManager, RecordsRoundTripAcrossTheMemoryAndFileBoundary) {
  FreeMemory small(int64_t{kRecordSize} * 10 * 100);
  TVLMTemporaryRecordManager records(kRecordSize, false, 30, 10);
  ASSERT_EQ(records.GetMemoryLimit(), 100);
  const int64_t count = qv::test::LongRunRequested() ? 1000000 : 20000;
  std::vector<uint8_t> record(kRecordSize), read(kRecordSize);
  for (int64_t n = 0; n < count; ++n) {
    FillRecord(record.data(), n);
    TVLMRecordID id;
    ASSERT_TRUE(records.InsertRecord(0, record.data(), id));
    ASSERT_EQ(TVLMTemporaryRecordManager::RecordNoOf(id), n);
  }
  EXPECT_EQ(records.GetMemoryCount(), 100);
  EXPECT_EQ(records.GetMemoryCapacity(), 100);
  ASSERT_NE(records.GetFileStream(), nullptr);
  // The first record of the file is record MemoryLimit, at offset 0.
  records.Flush();
  TVLMFileStream& file = *records.GetFileStream();
  file.SetPosition(0);
  ASSERT_EQ(file.Read(read.data(), kRecordSize), kRecordSize);
  FillRecord(record.data(), 100);
  EXPECT_EQ(read, record);
  EXPECT_EQ(file.Size(), (count - 100) * kRecordSize);

  // Every record, in both directions, from the ends.
  for (uint8_t mode : {1, 2}) {
    TVLMNavigationRequest request;
    request.Mode = mode;
    request.RecordBuffer = read.data();
    (mode == 1 ? request.Bof : request.Eof) = true;
    int64_t expected = mode == 1 ? 0 : count - 1;
    for (records.GetRecord(0, request); request.Result == kVLMNavOK; records.GetRecord(0, request)) {
      ASSERT_EQ(TVLMTemporaryRecordManager::RecordNoOf(request.RecordID), expected);
      FillRecord(record.data(), expected);
      ASSERT_EQ(read, record) << expected;
      expected += mode == 1 ? 1 : -1;
    }
    EXPECT_EQ(expected, mode == 1 ? count : -1);
    EXPECT_EQ(request.Result, mode == 1 ? kVLMNavEOF : kVLMNavBOF);
  }

  // An append-only store refuses changes and keeps what it holds.
  const uint32_t stamp = records.ChangeStamp;
  for (int64_t n : {int64_t{0}, int64_t{150}}) {
    EXPECT_FALSE(records.UpdateRecord(0, read.data(), TVLMTemporaryRecordManager::RecordIDOf(n)));
    EXPECT_FALSE(records.DeleteRecord(0, TVLMTemporaryRecordManager::RecordIDOf(n)));
    ASSERT_TRUE(records.ReadRecord(n, read.data()));
    FillRecord(record.data(), n);
    EXPECT_EQ(read, record);
  }
  EXPECT_EQ(records.ChangeStamp, stamp);
  EXPECT_EQ(records.RecordCount, count);
  struct Estimate {
    int64_t RecordNo;
    int64_t Expected;
  };
  for (const Estimate& e : {Estimate{0, 1}, Estimate{count - 1, count}, Estimate{count, -1}, Estimate{count + 9, -1}})
    EXPECT_EQ(records.GetRecordNo(0, TVLMTemporaryRecordManager::RecordIDOf(e.RecordNo)), e.Expected) << e.RecordNo;

  records.EmptyTable(0);
  EXPECT_EQ(records.GetFileStream(), nullptr);
  TVLMNavigationRequest empty;
  empty.Mode = 1;
  empty.Bof = true;
  empty.RecordBuffer = read.data();
  records.GetRecord(0, empty);
  EXPECT_EQ(empty.Result, kVLMNavEOF);
}

TEST(TemporaryPageManager, PagesLiveInMemoryUpToTheLimitThenInTheFile) {
  FreeMemory small(int64_t{4096} * 10 * 3);
  TVLMTemporaryPageManager pm(false);
  ASSERT_EQ(pm.GetMemoryPageLimit(), 3);
  for (int32_t i = 0; i < 8; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, 0));
    ASSERT_EQ(page->PageNo, i);
    std::memset(page->Buffer, 0x40 + i, 4096);
  }
  pm.Commit(0);
  ASSERT_NE(pm.GetFileStream(), nullptr);
  // Page n of the file lies at n x 4096; the file grows ahead of its pages.
  uint8_t byte = 0;
  pm.GetFileStream()->SetPosition(int64_t{5} * 4096 + 100);
  ASSERT_EQ(pm.GetFileStream()->Read(&byte, 1), 1);
  EXPECT_EQ(byte, 0x45);
  EXPECT_GE(pm.GetFileStream()->Size(), int64_t{8} * 4096);
  pm.DropSharedPages();
  for (int32_t i = 0; i < 8; ++i)
    EXPECT_EQ(TVLMHeldPage(&pm, pm.GetPage(0, i, false, kVLMAnyPageType))->Buffer[4095], 0x40 + i) << i;

  pm.RemovePage(0, 1);
  pm.RemovePage(0, 6);
  pm.Commit(0);
  EXPECT_EQ(pm.GetAllocatedCount(), 6);
  TVLMPage freed(&pm);
  freed.AllocateBuffer();
  struct Refusal {
    int32_t PageNo;
    bool Write;
    int32_t Code;
  };
  for (const Refusal& r : {Refusal{1, false, 10396}, Refusal{6, false, 10396}, Refusal{1, true, 10397},
                           Refusal{6, true, 10397}, Refusal{40, false, 10396}}) {
    freed.PageNo = r.PageNo;
    EXPECT_EQ(RaisedCode([&] { r.Write ? pm.WritePage(&freed) : void(pm.ReadPage(&freed)); }), r.Code) << r.PageNo;
  }
  EXPECT_EQ(RaisedCode([&] { pm.FreePage(6); }), 10704);
  // Freed numbers are given again before the count grows: memory first.
  for (int32_t expected : {1, 6, 8}) EXPECT_EQ(TVLMHeldPage(&pm, pm.NewPage(0, 0))->PageNo, expected);
}

// The memory array grows by half its capacity: appending n records costs a
// logarithmic number of copies of the array, not n / GrowBy of them.
TEST(TemporaryRecordManager, TheMemoryArrayGrowsGeometrically) {
  FreeMemory large(int64_t{64} << 30);
  TVLMTemporaryRecordManager records(8, true, 1000, 10);
  std::vector<int32_t> capacities;
  uint8_t record[8] = {};
  for (int32_t n = 0; n < 200000; ++n) {
    TVLMRecordID id;
    records.InsertRecord(0, record, id);
    if (capacities.empty() || capacities.back() != records.GetMemoryCapacity())
      capacities.push_back(records.GetMemoryCapacity());
  }
  EXPECT_EQ(capacities.front(), 1000);
  ASSERT_LE(capacities.size(), 20u);
  for (size_t i = 1; i < capacities.size(); ++i)
    EXPECT_EQ(capacities[i], capacities[i - 1] + std::max(1000, capacities[i - 1] / 2)) << i;
}

// Pages allocated and freed at random against a model of the live pages:
// contents survive, freed numbers come back, and the file follows the live
// pages (count, size, the file itself) however long the store is used.
TEST(TemporaryPageManager, FreedPagesAreReusedAndTheFileFollowsTheLivePages) {
  FreeMemory small(int64_t{4096} * 10 * 4);
  TVLMTemporaryPageManager pm(false);
  ASSERT_EQ(pm.GetMemoryPageLimit(), 4);
  std::mt19937 random(35);
  std::map<int32_t, uint8_t> live;  // page number -> fill byte
  int64_t peakFileBytes = 0;
  for (int32_t step = 0; step < 3000; ++step) {
    // Waves of growth and decline, up to 60 live pages.
    const bool grow = live.empty() || (live.size() < 60 && random() % 100 < ((step / 500) % 2 ? 35u : 65u));
    if (grow) {
      TVLMHeldPage page(&pm, pm.NewPage(0, 0));
      ASSERT_FALSE(live.count(page->PageNo)) << step;
      const auto fill = static_cast<uint8_t>(random());
      std::memset(page->Buffer, fill, 4096);
      live[page->PageNo] = fill;
    } else {
      auto it = std::next(live.begin(), static_cast<long>(random() % live.size()));
      pm.RemovePage(0, it->first);
      live.erase(it);
    }
    pm.Commit(0);
    const int32_t highest = live.empty() ? -1 : live.rbegin()->first;
    ASSERT_EQ(pm.GetAllocatedCount(), static_cast<int32_t>(live.size()));
    // New numbers only when no freed one is left: never more file pages
    // than were live at once.
    ASSERT_LE(pm.PageCount, 4 + 60) << step;
    ASSERT_LE(pm.PageCount, std::max(4, highest + 1)) << step;
    ASSERT_EQ(pm.GetFileStream() != nullptr, highest >= 4) << step;
    if (pm.GetFileStream() != nullptr) {
      ASSERT_LE(pm.GetFileStream()->Size(), int64_t{2} * pm.PageCount * 4096) << step;
      peakFileBytes = std::max(peakFileBytes, pm.GetFileStream()->Size());
    }
  }
  EXPECT_LE(peakFileBytes, int64_t{2} * (4 + 60) * 4096);
  pm.DropSharedPages();
  for (const auto& [pageNo, fill] : live) {
    TVLMHeldPage page(&pm, pm.GetPage(0, pageNo, false, kVLMAnyPageType));
    EXPECT_EQ(page->Buffer[0], fill) << pageNo;
    EXPECT_EQ(page->Buffer[4095], fill) << pageNo;
  }
}

}  // namespace
