// Damaged record, BLOB and index pages: a table with records, small and
// large BLOB values and two indexes is written once; each round damages a
// few bytes of one of its pages in the file and then walks, reads, numbers,
// checks and changes the table. Every failure must be an engine error (never
// a crash, a wild read or another exception), every page must be released
// and the BLOB cache left empty. Pages of a file without a password carry no
// checksum, so every damage reaches the page parsers.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "platform/host/ScopeExit.h"
#include "tests/engine/blob/BLOBTestUtil.h"
#include "tests/engine/storage/DiskTableSupport.h"
#include "tests/support/TestBudget.h"

namespace storage_test {
namespace {

enum { kID, kName, kNotes };

constexpr int64_t kPageSize = 512;

TEST(StorageCorruption, DamagedPagesRaiseEngineErrors) {
  BlobTable table(kPageSize, {{"ID", dtInteger}, {"Name", dtString, 40}, {"Notes", dtBLOB}},
                  {{"ByName", "Name"}, {"ByID", "ID", false, true}}, kNotes);
  tabledata_test::TableCursor& cursor = table.Cursor;
  for (int i = 0; i < 120; ++i) {
    cursor.PrepareInsert();
    cursor.SetInt(kID, i);
    cursor.SetText(kName, std::string(static_cast<size_t>(5 + i % 30), static_cast<char>('a' + i % 26)));
    if (i % 4 != 3) table.Put(blobtest::Data(i % 4 == 0 ? 40u + i : 3 * kPageSize + i, static_cast<uint32_t>(i)));
    cursor.Post(true);
  }
  uint8_t counters[kVLMRecordCountersSize];
  int64_t offset = 0;
  table.Records().SaveCounters(counters, sizeof counters, offset);
  TVLMDiskPageManager& pages = table.Pages();
  pages.CloseDatabase();
  const std::string file = table.Db.FileName();
  std::vector<uint8_t> pristine;
  {
    std::ifstream in(file, std::ios::binary);
    pristine.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<int64_t> targets;  // file positions of record, BLOB and index pages
  for (int64_t at = kVLMFirstPagePosition; at + kPageSize <= static_cast<int64_t>(pristine.size()); at += kPageSize) {
    const uint16_t type = VLMGetU16LE(pristine.data() + at + kVLMPageTypeOffset);
    if (type >= kVLMPageTableRecord && type <= kVLMPageTableIndex) targets.push_back(at);
  }
  ASSERT_GT(targets.size(), 20u);

  std::mt19937 rng(77);
  int64_t errors = 0;
  auto access = [&](const std::function<void()>& run) {
    try {
      run();
    } catch (const EVLMException&) {
      ++errors;
    }
  };
  qv::test::TestBudget budget(20);
  uint64_t round = 0;
  for (; budget.Continue(round); ++round) {
    std::vector<uint8_t> bytes = pristine;
    const int64_t page = targets[rng() % targets.size()];
    // Mostly the data area; now and then the page header.
    for (uint32_t n = 1 + rng() % 6; n > 0; --n) {
      const int64_t at = rng() % 8 == 0 ? page + rng() % kVLMPageHeaderSize
                                        : page + kVLMPageHeaderSize + rng() % (kPageSize - kVLMPageHeaderSize);
      bytes[static_cast<size_t>(at)] = rng() % 3 == 0 ? static_cast<uint8_t>(rng()) : 0xFF;
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bool multiUser = false, needsRepair = false, readOnly = false;
    pages.OpenDatabase(file, TVLMPasswordRecord{}, multiUser, false, needsRepair, readOnly);
    offset = 0;
    table.Records().LoadCounters(counters, sizeof counters, offset);

    for (const char* index : {"", "ByName", "ByID"})
      access([&] {
        cursor.UseIndex(index);
        cursor.SetToBegin();
        for (int steps = 0; steps < 300 && cursor.GetRecord(1) == kVLMNavOK; ++steps) {
          auto free = qv::ScopeExit([&] { table.Blobs.FreeRecordBlobs(table.Record()); });
          TVLMBLOBDescriptor descriptor;
          std::vector<uint8_t> data;
          table.Blobs.GetBlobData(0, table.Record(), descriptor, data, kNotes);
          if (*index != 0) cursor.GetRecNo();
        }
      });
    access([&] { table.Records().CheckPageIndex(0); });
    for (const char* index : {"ByName", "ByID"}) access([&] { table.Index(index).CheckIntegrity(0); });
    access([&] {
      cursor.UseIndex("ByName");
      cursor.SetRecNo(1 + static_cast<int64_t>(rng() % 120));
      cursor.Edit();
      cursor.SetText(kName, "changed");
      cursor.Post(false);
      cursor.DeleteRecord();
    });
    access([&] {
      cursor.PrepareInsert();
      cursor.SetInt(kID, 1000 + static_cast<int64_t>(round));
      table.Put(blobtest::Data(2 * kPageSize, 5));
      cursor.Post(true);
    });
    table.Blobs.FreeRecordBlobs(table.Record());
    ASSERT_EQ(table.Blobs.CacheCount(), 0) << "round " << round;
    for (int32_t session : {0, kVLMSystemSessionID}) pages.RollbackSession(session);
    ASSERT_EQ(pages.PagesInUse(), 0) << "round " << round;
    pages.CloseDatabase();
  }
  RecordProperty("Rounds", static_cast<int>(round));
  EXPECT_GT(errors, 0);
}

}  // namespace
}  // namespace storage_test
