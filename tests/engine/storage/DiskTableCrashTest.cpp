// A writer stopped (the file layer's Exit fault), failed from some write on
// (FailFrom, a full disk) or cut off (PowerCut: unflushed writes partly
// lost, the last perhaps torn; PowerCutAnyOrder: any subset of them kept,
// torn at every 512 bytes) at every file-changing operation of table
// operations that each end in one commit: inserts (one that splits an index
// page, one with a BLOB chain), a small BLOB that grows, a record with a
// small BLOB deleted, a delete and an insert on one page, a transaction that
// grows the file, a transaction of updates, deletes and inserts, and a
// CREATE TABLE; through a single-user session and a multi-user one.
//
// After every stop the next open asks nothing and holds exactly the state
// before the commit or after it (every record, value and index entry; no
// deleted record back), the indexes pass their integrity check and the
// free-space map marks exactly the pages the structures reach (a multi-user
// writer, which writes its allocations at once, may leave those of the
// interrupted transaction marked).
//
// The sweep takes a sample of the stops within its budget (every stop with
// QV_TEST_BUDGET_SECONDS).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
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

// Every record of Log by ID: Call and value.
using LogState = std::map<int64_t, std::pair<std::string, std::vector<uint8_t>>>;

struct Operation {
  std::string Name;
  std::string Call;  // the record an insert adds
  bool MultiUser = false;
  int64_t Stops = 0;
  LogState After;
  bool SecondAfter = false;  // the table Second exists after it
};

// Pages the free-space map marks used, the map pages aside.
std::set<int32_t> UsedPages(TVLMDiskPageManager& pages) {
  std::set<int32_t> used;
  for (int32_t pageNo = 0; pageNo < pages.GetPageCount(); ++pageNo)
    if (!pages.FreeSpace->IsSystemPage(pageNo) && pages.FreeSpace->IsPageUsed(pageNo)) used.insert(pageNo);
  return used;
}

LogState ReadState(DiskCursor& log) {
  LogState state;
  for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK;)
    state[log.Int(disk_test::kLogID).value_or(-1)] = {log.Text(disk_test::kLogCall).value_or("null"),
                                                     log.ReadBlob(disk_test::kLogNotes)};
  return state;
}

class Crash : public ::testing::Test {
protected:
  // The base file: Log with 60 records (every third with a small value),
  // the Call of an insert that splits a page of the ByCall index and of one
  // that does not.
  void SetUp() override {
    Base = Dir.File("base.vlm");
    CreateStandardDatabase(Base, 1024, 8, {}, 20);
    auto database = disk_test::NewDiskDatabase(Base);
    DiskSession session(database.get());
    session.Connect();
    DiskCursor log(*database, session, "Log");
    disk_test::CreateLogTable(log);
    log.Open();
    for (int i = 0; i < 60; ++i)
      ASSERT_TRUE(disk_test::InsertLog(log, "C" + std::to_string(1000 + i * 7),
                                       std::vector<uint8_t>(i % 3 == 0 ? 40 : 0, static_cast<uint8_t>(i))));
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
      if (splits(call)) SplitCall = call;
      else ASSERT_TRUE(disk_test::InsertLog(log, call));
    }
    for (const char* call : {"A0", "D0", "M0", "R0"})
      if (PlainCall.empty() && !splits(call)) PlainCall = call;
    ASSERT_FALSE(SplitCall.empty());
    ASSERT_FALSE(PlainCall.empty());
    BaseState = ReadState(log);
    BaseUsed = UsedPages(pages);
    BasePageCount = pages.GetPageCount();
  }

  std::vector<std::string> Args(const std::string& path, const Operation& op, const std::string& mode, int64_t k,
                                uint64_t seed) const {
    return {path, op.Name, mode, std::to_string(k), std::to_string(seed), op.MultiUser ? "multi" : "single", op.Call};
  }

  // "" when the file a stopped writer left is sound (see the top), else what
  // is wrong; after tells whether it holds the state after the commit.
  std::string Verify(const std::string& path, const Operation& op, bool& after) {
    {
      auto database = disk_test::NewDiskDatabase(path);
      DiskSession session(database.get(), op.MultiUser);
      session.Connect();
      if (session.NeedsRepair) return "the file asks for repair";
      DiskCursor log(*database, session, "Log");
      log.Open();
      const LogState state = ReadState(log);
      if (state != BaseState && state != op.After) return "the records are neither before nor after the commit";
      after = state == op.After && state != BaseState;
      if (log.GetRecordCount() != static_cast<int64_t>(state.size())) return "the record count differs";
      for (const char* index : {"ByCall", "ByID"}) {
        log.UseIndex(index);
        const std::vector<std::string> calls = log.Column(disk_test::kLogCall);
        std::multiset<std::string> expected;
        for (const auto& [id, record] : state) expected.insert(record.first);
        if (std::multiset<std::string>(calls.begin(), calls.end()) != expected) return std::string(index) + " differs";
        if (std::string(index) == "ByCall" && !std::is_sorted(calls.begin(), calls.end())) return "ByCall is not sorted";
      }
      DiskCursor second(*database, session, "Second");
      const int32_t code = qv::test::RaisedCode([&] { second.Open(); });
      if (code != 0 && code != 30396) return "Second open raised " + std::to_string(code);
      if (op.SecondAfter) after = code == 0;
      else if (code == 0) return "Second is there";
      std::lock_guard guard(database->CriticalSection());
      std::vector<DiskCursor*> tables{&log};
      if (code == 0) tables.push_back(&second);
      for (DiskCursor* table : tables) {
        TVLMBaseIndexManager& indexes = *table->Table().IndexManager;
        for (int32_t i = 0; i < indexes.IndexDefs->GetCount(); ++i) {
          auto& index = static_cast<TVLMBTreeRecordIndex&>(*indexes.GetIndex(indexes.IndexDefs->GetIndexDef(i)->ObjectID));
          const int32_t failed = qv::test::RaisedCode([&] { index.CheckIntegrity(table->SessionID()); });
          if (failed != 0) return "index " + indexes.IndexDefs->GetIndexDef(i)->Name + " fails its check";
        }
      }
      const std::string extents = storage_test::FreeSpaceChecker(*database->DiskPageManager()).CheckExtentMap();
      if (!extents.empty()) return extents;
      const std::string faults = code == 0 ? disk_test::CheckDiskFreeSpace(*database, {&log, &second})
                                           : disk_test::CheckDiskFreeSpace(*database, {&log});
      std::istringstream lines(faults);
      for (std::string line; std::getline(lines, line);) {
        int32_t pageNo = -1;
        if (op.MultiUser && std::sscanf(line.c_str(), "page %d is used but lost", &pageNo) == 1 &&
            BaseUsed.count(pageNo) == 0)
          continue;
        return line;
      }
    }
    if (qv::FileExists(VLMJournalFileName(path))) return "the journal stays after the file closed";
    return "";
  }

  ScratchFolder Dir;
  std::string Base;
  std::string SplitCall;
  std::string PlainCall;
  LogState BaseState;
  std::set<int32_t> BaseUsed;
  int32_t BasePageCount = 0;
};

TEST_F(Crash, EveryStopFailureAndPowerCutOfATableCommitOpensBeforeOrAfterIt) {
  std::vector<Operation> ops;
  for (bool multiUser : {false, true}) {
    for (const std::string name :
         {"insert", "split", "blob", "update-blob", "delete-blob", "delete-insert", "grow", "mixed", "create"}) {
      Operation op;
      op.Name = name == "split" ? "insert" : name;
      op.Call = name == "split" ? SplitCall : name == "insert" ? PlainCall : "";
      op.MultiUser = multiUser;
      op.SecondAfter = name == "create";
      ops.push_back(op);
    }
  }
  const std::string work = Dir.File("work.vlm");
  for (Operation& op : ops) {
    const std::string what = op.Name + " " + op.Call + (op.MultiUser ? " multi" : " single");
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    ASSERT_EQ(RunHelper("engine_tablecrash", Args(work, op, "exit", 0, 0)), 0) << what;
    std::ifstream(work + ".count") >> op.Stops;
    ASSERT_GT(op.Stops, 3) << what;
    auto database = disk_test::NewDiskDatabase(work);
    DiskSession session(database.get());
    session.Connect();
    DiskCursor log(*database, session, "Log");
    log.Open();
    op.After = ReadState(log);
    ASSERT_EQ(op.After != BaseState, !op.SecondAfter) << what;
    if (op.Name == "grow") {
      std::lock_guard guard(database->CriticalSection());
      ASSERT_GT(database->DiskPageManager()->GetPageCount(), BasePageCount) << "the transaction must grow the file";
    }
  }

  struct Stop {
    size_t Op;
    const char* Mode;
    int64_t K;
  };
  std::vector<Stop> stops;
  for (size_t o = 0; o < ops.size(); ++o)
    for (const char* mode : {"exit", "failfrom", "powercut", "anyorder"})
      for (int64_t k = 1; k <= ops[o].Stops; ++k) stops.push_back({o, mode, k});
  std::shuffle(stops.begin(), stops.end(), std::mt19937(20240611));
  int befores = 0, afters = 0;
  auto budget = qv::test::TestBudget::Steps(stops.size() / 4, 25);
  for (uint64_t i = 0; i < stops.size() && budget.Continue(i); ++i) {
    const Stop& stop = stops[i];
    const Operation& op = ops[stop.Op];
    const std::string mode = stop.Mode;
    const std::string what = op.Name + " " + op.Call + (op.MultiUser ? " multi " : " single ") + mode + " at " +
                             std::to_string(stop.K) + " of " + std::to_string(op.Stops);
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    const int rc = RunHelper("engine_tablecrash", Args(work, op, mode, stop.K, i));
    // A failure of the last, best-effort operations leaves the commit made.
    ASSERT_TRUE(rc == (mode == "failfrom" ? 3 : 99) || (mode == "failfrom" && rc == 0)) << what << " exit " << rc;
    bool after = false;
    ASSERT_EQ(Verify(work, op, after), "") << what;
    (after ? afters : befores) += 1;
  }
  EXPECT_GT(befores, 0);
  EXPECT_GT(afters, 0);  // a stop after the commit's last write keeps it
}

}  // namespace
