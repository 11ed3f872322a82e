// A writer stopped (helper program, the file layer's Exit fault) before every
// file-changing operation of a table insert, an insert that splits an index
// page, an insert with a BLOB chain and a CREATE TABLE. The next open either
// is clean, with every committed record, consistent indexes and a free-space
// map that only the interrupted operation's allocations may exceed, or asks
// for repair, and then the table opened in repair mode still yields every
// committed record in a physical walk.
//
// The sweep takes a sample of the stops within its budget (every stop with
// QV_TEST_BUDGET_SECONDS).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "engine/storage/StorageTestSupport.h"
#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace storage_test;
using disk_test::DiskCursor;
using disk_test::DiskSession;

struct Operation {
  std::string Name;
  std::string Call;  // the record an insert adds
  int64_t Stops = 0;
};

// Pages the free-space map marks used, the map pages aside.
std::set<int32_t> UsedPages(TVLMDiskPageManager& pages) {
  std::set<int32_t> used;
  for (int32_t pageNo = 0; pageNo < pages.GetPageCount(); ++pageNo)
    if (!pages.FreeSpace->IsSystemPage(pageNo) && pages.FreeSpace->IsPageUsed(pageNo)) used.insert(pageNo);
  return used;
}

class Crash : public ::testing::Test {
protected:
  // The base file: Log with 60 records (some with values), the Call of an
  // insert that splits a page of the ByCall index and of one that does not.
  void SetUp() override {
    Base = Dir.File("base.vlm");
    CreateStandardDatabase(Base, 1024, 8, {}, 20);
    auto database = disk_test::NewDiskDatabase(Base);
    DiskSession session(database.get());
    session.Connect();
    DiskCursor log(*database, session, "Log");
    disk_test::CreateLogTable(log);
    log.Open();
    for (int i = 0; i < 60; ++i) {
      Calls.insert("C" + std::to_string(1000 + i * 7));
      ASSERT_TRUE(disk_test::InsertLog(log, "C" + std::to_string(1000 + i * 7),
                                       std::vector<uint8_t>(i % 3 == 0 ? 40 : 0, static_cast<uint8_t>(i))));
    }
    std::lock_guard guard(database->CriticalSection());
    TVLMDiskPageManager& pages = *database->DiskPageManager();
    // Tried in a transaction and rolled back: does an insert take more
    // pages than a new record page?
    const int64_t perPage = log.Table().DiskRecordManager()->RecordsPerPage;
    auto splits = [&](const std::string& call) {
      const size_t before = UsedPages(pages).size();
      const bool newRecordPage = log.Table().RecordManager->RecordCount % perPage == 0;
      session.StartTransaction();
      EXPECT_TRUE(disk_test::InsertLog(log, call));
      const bool grew = UsedPages(pages).size() > before + (newRecordPage ? 1 : 0);
      session.Rollback();
      return grew;
    };
    for (int i = 0; SplitCall.empty() && i < 400; ++i) {
      const std::string call = "S" + std::to_string(100 + i);
      if (splits(call)) {
        SplitCall = call;
      } else {
        ASSERT_TRUE(disk_test::InsertLog(log, call));
        Calls.insert(call);
      }
    }
    for (const char* call : {"A0", "D0", "M0", "R0"})
      if (PlainCall.empty() && !splits(call)) PlainCall = call;
    ASSERT_FALSE(SplitCall.empty());
    ASSERT_FALSE(PlainCall.empty());
    BaseUsed = UsedPages(pages);
  }

  // The outcome of one stop: "" when sound, else what is wrong.
  std::string Verify(const std::string& path, const Operation& op) {
    auto database = disk_test::NewDiskDatabase(path);
    DiskSession session(database.get());
    session.Connect();
    DiskCursor log(*database, session, "Log");
    log.RepairMode = session.NeedsRepair;
    log.Open();
    std::set<std::string> walked;
    for (const std::string& call : log.Column(disk_test::kLogCall)) walked.insert(call);
    std::set<std::string> allowed = Calls;
    if (!op.Call.empty()) allowed.insert(op.Call);
    for (const std::string& call : Calls)
      if (walked.count(call) == 0) return "committed record " + call + " is lost";
    for (const std::string& call : walked)
      if (allowed.count(call) == 0) return "record " + call + " was never written";
    if (session.NeedsRepair) return "";
    if (log.GetRecordCount() != static_cast<int64_t>(walked.size())) return "record count differs";
    log.UseIndex("ByCall");
    const std::vector<std::string> byCall = log.Column(disk_test::kLogCall);
    if (!std::is_sorted(byCall.begin(), byCall.end()) || byCall.size() != walked.size()) return "ByCall differs";
    for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;)
      if (log.Text(disk_test::kLogCall) == "BLOB" &&
          log.ReadBlob(disk_test::kLogNotes) != std::vector<uint8_t>(3000, 0x5A))
        return "the new value differs";
    DiskCursor second(*database, session, "Second");
    const int32_t code = qv::test::RaisedCode([&] { second.Open(); });
    if (code != 0 && code != 30396) return "Second open raised " + std::to_string(code);
    if (code == 0 && second.GetRecordCount() != 0) return "Second is not empty";
    std::lock_guard guard(database->CriticalSection());
    const std::string faults = code == 0 ? disk_test::CheckDiskFreeSpace(*database, {&log, &second})
                                         : disk_test::CheckDiskFreeSpace(*database, {&log});
    // Pages the stopped writer took stay marked used; nothing else may be.
    std::istringstream lines(faults);
    for (std::string line; std::getline(lines, line);) {
      int32_t pageNo = -1;
      if (std::sscanf(line.c_str(), "page %d is used but lost", &pageNo) == 1 && BaseUsed.count(pageNo) == 0) continue;
      return line;
    }
    return "";
  }

  ScratchFolder Dir;
  std::string Base;
  std::set<std::string> Calls;
  std::string SplitCall;
  std::string PlainCall;
  std::set<int32_t> BaseUsed;
};

TEST_F(Crash, EveryStopOfATableWriteLeavesACleanFileOrOneThatRepairs) {
  std::vector<Operation> ops = {{"insert", PlainCall}, {"insert", SplitCall}, {"blob", "BLOB"}, {"create", ""}};
  const std::string work = Dir.File("work.vlm");
  for (Operation& op : ops) {
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    ASSERT_EQ(RunHelper("engine_tablecrash", {work, op.Name, "0", op.Call}), 0) << op.Name;
    std::ifstream(work + ".count") >> op.Stops;
    ASSERT_GT(op.Stops, 3) << op.Name;
    EXPECT_EQ(Verify(work, op), "") << op.Name << " completed";
  }
  std::vector<std::pair<size_t, int64_t>> stops;
  for (size_t o = 0; o < ops.size(); ++o)
    for (int64_t k = 1; k <= ops[o].Stops; ++k) stops.emplace_back(o, k);
  std::shuffle(stops.begin(), stops.end(), std::mt19937(20240611));
  int repairs = 0;
  auto budget = qv::test::TestBudget::Steps(stops.size(), 25);
  for (uint64_t i = 0; i < stops.size() && budget.Continue(i); ++i) {
    const Operation& op = ops[stops[i].first];
    const std::string what = op.Name + " " + op.Call + " stopped before operation " + std::to_string(stops[i].second);
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    ASSERT_EQ(RunHelper("engine_tablecrash", {work, op.Name, std::to_string(stops[i].second), op.Call}), 99) << what;
    {
      TVLMDiskPageManager pages;
      repairs += OpenDatabase(pages, work).NeedsRepair;
    }
    ASSERT_EQ(Verify(work, op), "") << what;
  }
  EXPECT_GT(repairs, 0);
}

}  // namespace
