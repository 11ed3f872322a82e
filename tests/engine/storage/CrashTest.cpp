// A writer stopped, failed or cut off at every file-changing operation of an
// insert-like transaction (allocations, with and without growth of the file,
// new and changed pages, a growing internal file, one commit). The next open
// must either report that repair is needed, or see a clean file holding
// exactly the state before or after the commit (or after the second commit a
// failed writer makes when its first failure was outside a commit), with no
// torn page, and go on allocating and committing.
//
// The sweep runs every k of every mode once; the rest of its time budget
// (QV_TEST_BUDGET_SECONDS for longer runs) goes to more power cuts with new
// seeds.
#include <gtest/gtest.h>

#include "engine/storage/StorageTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;

std::vector<uint8_t> MetaContent(size_t size, uint8_t seed) {
  std::vector<uint8_t> content(size);
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(seed * 31 + i * 3);
  return content;
}

struct BaseFile {
  uint32_t Counter = 0;
  uint32_t PageCount = 0;
  int32_t Record = 0;
};

// The base database: table "LOG" with a metadata file naming one record page
// (pattern 1). With growth the file is filled up so that the next allocation
// grows it; without, twelve free pages lie below a used one.
BaseFile PrepareBase(const std::string& path, bool growth) {
  CreateStandardDatabase(path, 1024, 8);
  TVLMDiskPageManager pm;
  OpenDatabase(pm, path);
  BaseFile base;
  TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
  const int32_t metaPage = meta.CreateFile(0);
  {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    FillData(page.Get(), 1);
    base.Record = page->PageNo;
  }
  std::vector<uint8_t> content = MetaContent(100, 1);
  VLMPutU32LE(content.data(), static_cast<uint32_t>(base.Record));
  meta.WriteFile(0, content.data(), 0, 0, static_cast<uint32_t>(content.size()));
  TVLMTableListFile tables(&pm);
  tables.OpenFile(4);
  tables.Load();
  tables.AddTable(1, "LOG", 0, 0, static_cast<uint32_t>(metaPage));
  tables.Save();
  pm.Commit(0);
  pm.Commit(kVLMSystemSessionID);
  std::vector<int32_t> fillers;
  while (pm.GetHeader().LastUsedPage + 1 < static_cast<int32_t>(pm.GetHeader().PageCount) ||
         (!growth && fillers.size() < 13)) {
    TVLMHeldPage filler(&pm, pm.NewPage(0, kVLMPageTableRecord));
    fillers.push_back(filler->PageNo);
  }
  pm.Commit(0);
  if (!growth) {
    fillers.pop_back();  // the last one stays and keeps the file from shrinking
    for (int32_t no : fillers) pm.RemovePage(0, no);
    pm.Commit(0);
  }
  base.Counter = pm.GetHeader().ChangeCounter;
  base.PageCount = pm.GetHeader().PageCount;
  return base;
}

enum class Outcome { Repair, Before, After, Second };

Outcome Verify(const std::string& path, const BaseFile& base, bool secondAllowed, const std::string& what) {
  TVLMDiskPageManager pm;
  OpenResult open = OpenDatabase(pm, path);
  if (open.NeedsRepair) return Outcome::Repair;
  const uint32_t counter = pm.GetHeader().ChangeCounter;
  EXPECT_TRUE(counter == base.Counter || counter == base.Counter + 1) << what;

  TVLMTableListFile tables(&pm);
  tables.OpenFile(4);
  tables.Load();
  uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
  tables.GetTable("LOG", id, locks, mostUpdated, metaData);
  TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
  meta.OpenFile(static_cast<int32_t>(metaData));
  std::vector<uint8_t> content = meta.ReadAll(0, true);
  const bool committed = counter == base.Counter + 1;
  // The second transaction of a failed writer changes the record page alone.
  const bool second = committed && secondAllowed && content.size() == 100;
  const bool after = committed && !second;
  std::vector<uint8_t> expected = MetaContent(after ? 3 * pm.PageDataSize : 100, after ? 2 : 1);
  VLMPutU32LE(expected.data(), static_cast<uint32_t>(base.Record));
  if (after) {
    std::memcpy(expected.data() + 4, content.data() + 4, 8);  // the page numbers the writer got
  }
  EXPECT_EQ(content, expected) << what;
  std::vector<int32_t> pages{base.Record};
  if (after) {
    pages.push_back(static_cast<int32_t>(VLMGetU32LE(content.data() + 4)));
    pages.push_back(static_cast<int32_t>(VLMGetU32LE(content.data() + 8)));
  }
  for (int32_t no : pages) {
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMPageTableRecord));
    EXPECT_TRUE(DataIs(page.Get(), second ? 5 : after ? 2 : 1)) << what << " page " << no;
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
  EXPECT_FALSE(OpenDatabase(again, path).NeedsRepair) << what;
  for (int32_t no : fresh) {
    EXPECT_EQ(std::find(pages.begin(), pages.end(), no), pages.end()) << what;  // never handed out twice
    TVLMHeldPage page(&again, again.GetPage(0, no, true, kVLMPageTableBlob));
    EXPECT_TRUE(DataIs(page.Get(), 3)) << what;
  }
  return second ? Outcome::Second : after ? Outcome::After : Outcome::Before;
}

TEST(CrashTest, EveryStopFailureAndPowerCutLeavesACleanFileOrOneThatAsksForRepair) {
  FastRetries fast;
  ScratchFolder dir;
  struct Config {
    const char* Mode;
    bool Growth;
  };
  const Config kConfigs[] = {{"exit", true},      {"exit", false},     {"failfrom", true},
                             {"failfrom", false}, {"powercut", true},  {"powercut", false}};
  BaseFile bases[2];
  const std::string files[2] = {dir.File("base-growth.vlm"), dir.File("base-room.vlm")};
  for (int g = 0; g < 2; ++g) bases[g] = PrepareBase(files[g], g == 0);
  const std::string work = dir.File("work.vlm");

  qv::test::TestBudget budget(30);
  for (int round = 0; budget.Continue(static_cast<uint64_t>(round)); ++round) {
    for (const Config& config : kConfigs) {
      const std::string mode = config.Mode;
      // After the first round only power cuts have anything new to find.
      if (round > 0 && mode != "powercut") continue;
      const BaseFile& base = bases[config.Growth ? 0 : 1];
      int repairs = 0, before = 0;
      bool completed = false;
      for (int k = 1; k <= 400 && !completed; ++k) {
        if (round > 0 && budget.Expired()) break;
        const std::string what = mode + (config.Growth ? " growth" : " no growth") + " k=" + std::to_string(k) +
                                 " round " + std::to_string(round);
        ASSERT_TRUE(qv::CopyFile(files[config.Growth ? 0 : 1], work, false));
        const std::string seed = std::to_string(static_cast<uint64_t>(round) * 1000003u + static_cast<uint64_t>(k));
        const int rc = RunHelper("engine_crashcommit", {work, mode, std::to_string(k), seed});
        const bool failed = rc == 3 || rc == 5;
        ASSERT_TRUE(rc == 0 || (mode == "failfrom" ? failed : rc == 99)) << what << " exit " << rc;
        completed = rc == 0;
        const uint32_t pageCount = VLMGetU32LE(ReadBytes(work).data() + 30);
        const Outcome outcome = Verify(work, base, rc == 5, what);
        // Exit 5: the first failure came before the commit, which the second
        // transaction then made. Exit 3 may leave any state: a commit whose
        // last flush failed after every write reached the file is clean.
        if (rc == 5) {
          EXPECT_EQ(outcome, Outcome::Second) << what;
        }
        if (completed) {
          EXPECT_EQ(outcome, Outcome::After) << what;
          EXPECT_EQ(pageCount > base.PageCount, config.Growth) << what;
        }
        repairs += outcome == Outcome::Repair;
        before += outcome == Outcome::Before;
        if (HasFailure()) return;
      }
      if (round == 0) {
        EXPECT_TRUE(completed) << mode;
        EXPECT_GT(repairs, 0) << mode;  // stops inside the commit
        EXPECT_GT(before, 0) << mode;   // stops during the allocations
      }
    }
  }
}

}  // namespace
