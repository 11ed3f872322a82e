// Damaged record, BLOB and index pages: a table with records, small and
// large BLOB values and two indexes is written once; each round damages a
// few bytes of one of its pages in a copy of the file and then walks,
// reads, numbers, checks and changes the table. Every failure must be an
// engine error (never a crash, a wild read or a foreign exception), every
// page must be released, and nothing may stay in the BLOB cache. The pages of
// a file without a password carry no checksum, so every damage reaches the
// page parsers.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "tests/engine/blob/BLOBTestUtil.h"
#include "tests/engine/storage/DiskTableSupport.h"
#include "platform/host/ScopeExit.h"
#include "tests/support/TestBudget.h"

namespace storage_test {
namespace {

enum { kID, kName, kNotes };

constexpr uint16_t kPageSize = 512;

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void PutFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs one access; an engine error ends it, anything else fails the test.
template <typename F>
void Access(int64_t& errors, F&& access) {
  try {
    access();
  } catch (const EVLMException&) {
    ++errors;
  }
}

TEST(StorageCorruption, DamagedPagesRaiseEngineErrors) {
  BlobTable table(kPageSize, {{"ID", dtInteger}, {"Name", dtString, 40}, {"Notes", dtBLOB}},
                  {{"ByName", "Name"}, {"ByID", "ID", false, true}}, kNotes);
  tabledata_test::TableCursor& cursor = table.Cursor;
  std::mt19937 rng(77);
  for (int i = 0; i < 120; ++i) {
    cursor.PrepareInsert();
    cursor.SetInt(kID, i);
    cursor.SetText(kName, std::string(static_cast<size_t>(5 + i % 30), static_cast<char>('a' + i % 26)));
    if (i % 4 != 3) {
      TVLMBLOBDescriptor descriptor;
      const size_t size = i % 4 == 0 ? 40 + i : 3 * kPageSize + i;
      descriptor.UncompressedSize = static_cast<int64_t>(size);
      table.Put(blobtest::Data(size, static_cast<uint32_t>(i)), descriptor);
    }
    cursor.Post(true);
  }
  TVLMDiskRecordManager& records = table.Records();
  uint8_t counters[kVLMRecordCountersSize];
  int64_t offset = 0;
  records.SaveCounters(counters, sizeof counters, offset);
  TVLMDiskPageManager& pages = table.Pages();
  pages.CloseDatabase();
  const std::vector<uint8_t> pristine = FileBytes(table.Db.FileName());
  std::vector<int32_t> targets;
  for (int32_t p = 0; kVLMFirstPagePosition + (p + 1) * int64_t{kPageSize} <= static_cast<int64_t>(pristine.size()); ++p) {
    const uint16_t type = VLMGetU16LE(pristine.data() + kVLMFirstPagePosition + p * kPageSize + kVLMPageTypeOffset);
    if (type == kVLMPageTableRecord || type == kVLMPageTableBlob || type == kVLMPageTableIndex) targets.push_back(p);
  }
  ASSERT_GT(targets.size(), 20u);

  int64_t errors = 0;
  qv::test::TestBudget budget(20);
  uint64_t round = 0;
  for (; budget.Continue(round); ++round) {
    std::vector<uint8_t> bytes = pristine;
    const int64_t page = kVLMFirstPagePosition + targets[rng() % targets.size()] * int64_t{kPageSize};
    // Mostly the data area; now and then the page header.
    for (uint32_t n = 1 + rng() % 6; n > 0; --n) {
      const int64_t at = rng() % 8 == 0 ? page + rng() % kVLMPageHeaderSize
                                        : page + kVLMPageHeaderSize + rng() % (kPageSize - kVLMPageHeaderSize);
      bytes[static_cast<size_t>(at)] = rng() % 3 == 0 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(0xFF);
    }
    PutFile(table.Db.FileName(), bytes);
    bool multiUser = false, needsRepair = false, readOnly = false;
    pages.OpenDatabase(table.Db.FileName(), TVLMPasswordRecord{}, multiUser, false, needsRepair, readOnly);
    offset = 0;
    records.LoadCounters(counters, sizeof counters, offset);

    // Walks in every order, reading every value on the way.
    for (const char* index : {"", "ByName", "ByID"})
      Access(errors, [&] {
        cursor.UseIndex(index);
        cursor.SetToBegin();
        for (int steps = 0; steps < 300 && cursor.GetRecord(1) == kVLMNavOK; ++steps) {
          TVLMBLOBDescriptor descriptor;
          std::vector<uint8_t> data;
          auto free = qv::ScopeExit([&] { table.Blobs.FreeRecordBlobs(table.Record()); });
          table.Blobs.GetBlobData(0, table.Record(), descriptor, data, kNotes);
          if (*index != 0) cursor.GetRecNo();
        }
      });
    Access(errors, [&] { records.CheckPageIndex(0); });
    for (const char* index : {"ByName", "ByID"}) Access(errors, [&] { table.Index(index).CheckIntegrity(0); });
    Access(errors, [&] {
      cursor.UseIndex("ByName");
      cursor.SetRecNo(1 + static_cast<int64_t>(rng() % 120));
      cursor.Edit();
      cursor.SetText(kName, "changed");
      cursor.Post(false);
      cursor.DeleteRecord();
    });
    Access(errors, [&] {
      cursor.PrepareInsert();
      cursor.SetInt(kID, 1000 + static_cast<int64_t>(round));
      TVLMBLOBDescriptor descriptor;
      descriptor.UncompressedSize = 2 * kPageSize;
      table.Put(blobtest::Data(2 * kPageSize, 5), descriptor);
      cursor.Post(true);
    });
    table.Blobs.FreeRecordBlobs(table.Record());
    ASSERT_EQ(table.Blobs.CacheCount(), 0) << "round " << round;
    // Every page taken was released: the sessions roll back cleanly.
    for (int32_t session : {0, kVLMSystemSessionID}) pages.RollbackSession(session);
    ASSERT_EQ(pages.PagesInUse(), 0) << "round " << round;
    pages.CloseDatabase();
  }
  RecordProperty("Rounds", static_cast<int>(round));
  EXPECT_GT(errors, 0);
  PutFile(table.Db.FileName(), pristine);
  bool multiUser = false, needsRepair = false, readOnly = false;
  pages.OpenDatabase(table.Db.FileName(), TVLMPasswordRecord{}, multiUser, false, needsRepair, readOnly);
}

}  // namespace
}  // namespace storage_test
