// A writer stopped at every write of an insert-like transaction (allocations
// that grow the file, new and changed pages, a growing internal file, one
// commit). The next open must either report that repair is needed, or see a
// clean file holding exactly the state before or exactly the state after the
// commit, and go on allocating and committing.
#include <gtest/gtest.h>

#include "engine/storage/StorageTestSupport.h"

namespace {

using namespace storage_test;

std::vector<uint8_t> MetaContent(size_t size, uint8_t seed) {
  std::vector<uint8_t> content(size);
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(seed * 31 + i * 3);
  return content;
}

// The base database: table "LOG" with a metadata file naming one record page
// (pattern 1), and the file filled up so that the next allocation grows it.
uint32_t PrepareBase(const std::string& path, int32_t& record) {
  CreateStandardDatabase(path, 1024, 8);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
  const int32_t metaPage = meta.CreateFile(0);
  {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    FillData(page.Get(), 1);
    record = page->PageNo;
  }
  std::vector<uint8_t> content = MetaContent(100, 1);
  VLMPutU32LE(content.data(), static_cast<uint32_t>(record));
  meta.WriteFile(0, content.data(), 0, 0, static_cast<uint32_t>(content.size()));
  TVLMTableListFile tables(&pm);
  tables.OpenFile(4);
  tables.Load();
  tables.AddTable(1, "LOG", 0, 0, static_cast<uint32_t>(metaPage));
  tables.Save();
  pm.Commit(0);
  pm.Commit(kVLMSystemSessionID);
  while (pm.GetHeader().LastUsedPage + 1 < static_cast<int32_t>(pm.GetHeader().PageCount)) {
    TVLMHeldPage filler(&pm, pm.NewPage(0, kVLMPageTableRecord));
  }
  pm.Commit(0);
  return pm.GetHeader().ChangeCounter;
}

enum class Outcome { Repair, Before, After };

Outcome Verify(const std::string& path, uint32_t baseCounter, int32_t record, int k) {
  TVLMDiskPageManager pm;
  OpenResult open = OpenDatabase(pm, path);
  if (open.NeedsRepair) return Outcome::Repair;
  const uint32_t counter = pm.GetHeader().ChangeCounter;
  EXPECT_TRUE(counter == baseCounter || counter == baseCounter + 1) << "k=" << k;

  TVLMTableListFile tables(&pm);
  tables.OpenFile(4);
  tables.Load();
  uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
  tables.GetTable("LOG", id, locks, mostUpdated, metaData);
  TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
  meta.OpenFile(static_cast<int32_t>(metaData));
  std::vector<uint8_t> content = meta.ReadAll(0, true);
  const bool after = counter == baseCounter + 1;
  std::vector<uint8_t> expected = MetaContent(after ? 3 * pm.PageDataSize : 100, after ? 2 : 1);
  VLMPutU32LE(expected.data(), static_cast<uint32_t>(record));
  if (after) {
    std::memcpy(expected.data() + 4, content.data() + 4, 8);  // the page numbers the writer got
  }
  EXPECT_EQ(content, expected) << "k=" << k;
  std::vector<int32_t> pages{record};
  if (after) {
    pages.push_back(static_cast<int32_t>(VLMGetU32LE(content.data() + 4)));
    pages.push_back(static_cast<int32_t>(VLMGetU32LE(content.data() + 8)));
  }
  for (int32_t no : pages) {
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMPageTableRecord));
    EXPECT_TRUE(DataIs(page.Get(), after ? 2 : 1)) << "k=" << k << " page " << no;
  }

  // The file goes on: allocations (also growth) and a commit succeed.
  std::vector<int32_t> fresh;
  for (int i = 0; i < 30; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableBlob));
    FillData(page.Get(), 3);
    fresh.push_back(page->PageNo);
  }
  pm.Commit(0);
  pm.CloseDatabase();
  TVLMDiskPageManager again;
  EXPECT_FALSE(OpenDatabase(again, path).NeedsRepair) << "k=" << k;
  for (int32_t no : fresh) {
    EXPECT_EQ(std::find(pages.begin(), pages.end(), no), pages.end()) << "k=" << k;  // never handed out twice
    TVLMHeldPage page(&again, again.GetPage(0, no, true, kVLMPageTableBlob));
    EXPECT_TRUE(DataIs(page.Get(), 3));
  }
  return after ? Outcome::After : Outcome::Before;
}

TEST(CrashTest, AStoppedWriterLeavesACleanFileOrOneThatAsksForRepair) {
  FastRetries fast;
  ScratchFolder dir;
  std::string base = dir.File("base.vlm");
  int32_t record = 0;
  const uint32_t baseCounter = PrepareBase(base, record);
  std::string work = dir.File("work.vlm");
  int repairs = 0, before = 0;
  bool completed = false;
  for (int k = 1; k <= 200 && !completed; ++k) {
    ASSERT_TRUE(qv::CopyFile(base, work, false));
    const int rc = RunHelper("engine_crashcommit", {work, std::to_string(k)});
    ASSERT_TRUE(rc == 99 || rc == 0) << "k=" << k << " exit " << rc;
    completed = rc == 0;
    switch (Verify(work, baseCounter, record, k)) {
      case Outcome::Repair:
        EXPECT_FALSE(completed);
        ++repairs;
        break;
      case Outcome::Before:
        EXPECT_FALSE(completed) << "k=" << k;
        ++before;
        break;
      case Outcome::After:
        break;
    }
    if (HasFailure()) break;
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(repairs, 0);   // stops inside the commit
  EXPECT_GT(before, 3);    // stops during the allocations
}

}  // namespace
