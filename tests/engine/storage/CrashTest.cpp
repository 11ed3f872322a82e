// A writer stopped, failed or cut off (its unflushed writes partly lost, in
// order or in any order) at every file-changing operation of an
// insert-like transaction (allocations, with and without growth of the file,
// new and changed pages, a growing internal file, one commit), writing the
// file alone (a single-user connection) or as a handle that may share it.
// The next open asks nothing and finds a clean file holding exactly the
// state before or after the commit (or after the second commit a failed
// writer makes when its first failure was outside a commit), maps that mark
// exactly the pages its structures reach (the pages a writer that shares the
// file took and never committed are given back) with LastUsedPage the
// highest of them, and goes on allocating and committing.
//
// The sweep runs every k of every mode once (as far as its time budget
// lasts on a slow machine); the rest of the budget (QV_TEST_BUDGET_SECONDS
// for longer runs) goes to more power cuts with new seeds.
#include <gtest/gtest.h>


#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "tests/engine/storage/FreeSpaceChecker.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;

std::vector<uint8_t> MetaContent(size_t size, uint8_t seed) {
  std::vector<uint8_t> content(size);
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(seed * 31 + i * 3);
  return content;
}

struct BaseFile {
  uint32_t PageCount = 0;
  int32_t Record = 0;
  std::vector<int32_t> Fillers;  // used pages nothing refers to
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
    base.Fillers.push_back(fillers.back());  // the last one stays and keeps the file from shrinking
    fillers.pop_back();
    for (int32_t no : fillers) pm.RemovePage(0, no);
    pm.Commit(0);
  } else {
    base.Fillers = fillers;
  }
  base.PageCount = pm.GetHeader().PageCount;
  pm.CloseDatabase();
  return base;
}

enum class Outcome { Before, After, Second };

// "" when the file a stopped writer left is sound (see the top), else what
// is wrong; outcome tells which state it holds.
std::string Verify(const std::string& path, const BaseFile& base, bool secondAllowed, Outcome& outcome) {
  TVLMDiskPageManager pm;
  if (OpenDatabase(pm, path).NeedsRepair) return "the file asks for repair";
  TVLMSystemDirectory directory(&pm);
  directory.Load();
  TVLMTableListFile tables(&pm);
  tables.OpenFile(directory.Find(TVLMDirectoryKind::TableList));
  tables.Load();
  uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
  tables.GetTable("LOG", id, locks, mostUpdated, metaData);
  TVLMInternalDBTransactedAccessFile meta(&pm, kVLMPageTableMetaData);
  meta.OpenFile(static_cast<int32_t>(metaData));
  const std::vector<uint8_t> content = meta.ReadAll(0, true);

  std::vector<uint8_t> before = MetaContent(100, 1);
  VLMPutU32LE(before.data(), static_cast<uint32_t>(base.Record));
  std::vector<int32_t> records{base.Record};
  uint8_t pattern = 1;
  if (content == before) {
    outcome = Outcome::Before;
    TVLMHeldPage page(&pm, pm.GetPage(0, base.Record, true, kVLMPageTableRecord));
    if (secondAllowed && DataIs(page.Get(), 5)) outcome = Outcome::Second;
    pattern = outcome == Outcome::Second ? 5 : 1;
  } else {
    std::vector<uint8_t> after = MetaContent(3 * pm.PageDataSize, 2);
    if (content.size() != after.size()) return "the metadata file is torn";
    std::memcpy(after.data(), content.data(), 12);  // the record page and the page numbers the writer got
    if (content != after || VLMGetU32LE(content.data()) != static_cast<uint32_t>(base.Record))
      return "the metadata file is torn";
    outcome = Outcome::After;
    pattern = 2;
    records.push_back(static_cast<int32_t>(VLMGetU32LE(content.data() + 4)));
    records.push_back(static_cast<int32_t>(VLMGetU32LE(content.data() + 8)));
  }
  for (int32_t no : records) {
    TVLMHeldPage page(&pm, pm.GetPage(0, no, true, kVLMPageTableRecord));
    if (!DataIs(page.Get(), pattern)) return "record page " + std::to_string(no) + " is torn";
  }

  FreeSpaceChecker checker(pm);
  checker.AddChain(kVLMSystemDirectoryPage, "directory");
  checker.AddChain(directory.Find(TVLMDirectoryKind::ActiveSessions), "sessions");
  checker.AddChain(directory.Find(TVLMDirectoryKind::TableList), "table list");
  checker.AddChain(static_cast<int32_t>(metaData), "metadata");
  for (int32_t no : records) checker.AddPage(no, "records");
  for (int32_t no : base.Fillers) checker.AddPage(no, "fillers");
  const std::string faults = checker.CheckExtentMap() + checker.Check() + checker.CheckLastUsedPage();
  if (!faults.empty()) return faults;

  // The file goes on: allocations (also growth) and a commit succeed.
  std::vector<int32_t> fresh;
  for (int i = 0; i < 30; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableBlob));
    FillData(page.Get(), 3);
    fresh.push_back(page->PageNo);
  }
  pm.Commit(0);
  pm.CloseDatabase();
  if (qv::FileExists(pm.JournalFileName())) return "the journal stays after the file closed";
  TVLMDiskPageManager again;
  if (OpenDatabase(again, path).NeedsRepair) return "the file asks for repair after going on";
  for (int32_t no : fresh) {
    if (std::find(records.begin(), records.end(), no) != records.end()) return "a page was handed out twice";
    TVLMHeldPage page(&again, again.GetPage(0, no, true, kVLMPageTableBlob));
    if (!DataIs(page.Get(), 3)) return "a page of the later commit is wrong";
  }
  again.CloseDatabase();
  return "";
}

TEST(CrashTest, EveryStopFailureAndPowerCutOpensCleanBeforeOrAfterTheCommit) {
  FastRetries fast;
  ScratchFolder dir;
  struct Config {
    const char* Mode;
    bool Growth;
    bool Alone;
  };
  std::vector<Config> configs;
  for (const char* mode : {"exit", "failfrom", "powercut", "anyorder"})
    for (bool growth : {true, false})
      for (bool alone : {true, false}) configs.push_back({mode, growth, alone});
  BaseFile bases[2];
  const std::string files[2] = {dir.File("base-growth.vlm"), dir.File("base-room.vlm")};
  for (int g = 0; g < 2; ++g) bases[g] = PrepareBase(files[g], g == 0);
  const std::string work = dir.File("work.vlm");

  qv::test::TestBudget budget(30);
  for (int round = 0; budget.Continue(static_cast<uint64_t>(round)); ++round) {
    for (const Config& config : configs) {
      const std::string mode = config.Mode;
      // After the first round only power cuts have anything new to find.
      if (round > 0 && mode != "powercut" && mode != "anyorder") continue;
      const BaseFile& base = bases[config.Growth ? 0 : 1];
      int before = 0;
      bool completed = false, cut = false;
      for (int k = 1; k <= 400 && !completed; ++k) {
        if (budget.Expired()) {
          cut = true;
          break;
        }
        const std::string what = mode + (config.Growth ? " growth" : " no growth") +
                                 (config.Alone ? " alone" : " shared") + " k=" + std::to_string(k) + " round " +
                                 std::to_string(round);
        ASSERT_TRUE(qv::CopyFile(files[config.Growth ? 0 : 1], work, false));
        const std::string seed = std::to_string(static_cast<uint64_t>(round) * 1000003u + static_cast<uint64_t>(k));
        const int rc = RunHelper("engine_crashcommit",
                                 {work, mode, std::to_string(k), seed, config.Alone ? "alone" : "shared"});
        const bool failed = rc == 3 || rc == 5;
        ASSERT_TRUE(rc == 0 || (mode == "failfrom" ? failed : rc == 99)) << what << " exit " << rc;
        completed = rc == 0;
        const uint32_t pageCount = VLMGetU32LE(ReadBytes(work).data() + 30);
        Outcome outcome = Outcome::Before;
        ASSERT_EQ(Verify(work, base, rc == 5, outcome), "") << what;
        // Exit 5: the first failure came before the commit, which the second
        // transaction then made. Exit 3 may leave either state: a commit whose
        // last flush failed after every write reached the file is whole.
        if (rc == 5) {
          EXPECT_EQ(outcome, Outcome::Second) << what;
        }
        if (completed) {
          EXPECT_EQ(outcome, Outcome::After) << what;
          EXPECT_EQ(pageCount > base.PageCount, config.Growth) << what;
        }
        before += outcome == Outcome::Before;
      }
      if (round == 0 && !cut) {
        EXPECT_TRUE(completed) << mode;
        EXPECT_GT(before, 0) << mode;  // stops in the allocations and in the commit
      }
    }
  }
}

}  // namespace
