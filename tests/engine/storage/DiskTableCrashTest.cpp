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
// free-space map marks exactly the pages the structures reach, LastUsedPage
// the highest of them (a multi-user writer, which marks its allocations at
// once, gets back those of a transaction that never committed).
//
// The same check follows a second connection's commit after a third
// connection stopped inside its own, an update torn inside a 512-byte piece
// at every write, and a sharing connection's copy of the table stopped
// again and again on one file.
//
// Each sweep takes a sample of the stops within its budget (every stop with
// QV_TEST_BUDGET_SECONDS).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "engine/storage/StorageTestSupport.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
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
  int32_t PageCountAfter = 0;
};

uint32_t StoredPageCount(const std::string& path) {
  return VLMGetU32LE(storage_test::ReadBytes(path).data() + kVLMPageCountOffset);
}

// Pages the free-space map marks used, the map pages aside.
std::set<int32_t> UsedPages(TVLMDiskPageManager& pages) {
  std::set<int32_t> used;
  for (int32_t pageNo = 0; pageNo < pages.GetPageCount(); ++pageNo)
    if (!pages.FreeSpace->IsSystemPage(pageNo) && pages.FreeSpace->IsPageUsed(pageNo)) used.insert(pageNo);
  return used;
}

// A connection of this process to the file at path: its session connected,
// Log open. Members are named for structured bindings: database, session, log.
struct LogConnection {
  LogConnection(const std::string& path, bool multiUser)
      : Database(disk_test::NewDiskDatabase(path)), Session(Database.get(), multiUser), Log(*Database, Session, "Log") {
    Session.Connect();
    Log.Open();
  }
  std::unique_ptr<TVLMDiskDatabaseData> Database;
  DiskSession Session;
  DiskCursor Log;
};

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
    BasePageCount = pages.GetPageCount();
  }

  std::vector<std::string> Args(const std::string& path, const Operation& op, const std::string& mode, int64_t k,
                                uint64_t seed) const {
    return {path, op.Name, mode, std::to_string(k), std::to_string(seed), op.MultiUser ? "multi" : "single", op.Call};
  }

  // The operation run once without a stop on a copy of the base: its file
  // operations, the state and the page count after it.
  void Measure(Operation& op) {
    const std::string work = Dir.File("measure.vlm");
    const std::string what = op.Name + " " + op.Call + (op.MultiUser ? " multi" : " single");
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    ASSERT_EQ(RunHelper("engine_tablecrash", Args(work, op, "exit", 0, 0)), 0) << what;
    std::ifstream(work + ".count") >> op.Stops;
    ASSERT_GT(op.Stops, 3) << what;
    LogConnection connection(work, false);
    auto& [database, session, log] = connection;
    op.After = ReadState(log);
    std::lock_guard guard(database->CriticalSection());
    op.PageCountAfter = database->DiskPageManager()->GetPageCount();
  }

  // "" when the file a stopped writer left is sound (see the top), else what
  // is wrong; after tells whether it holds the state after the commit. The
  // records of another connection (Call beginning with otherPrefix) are left
  // out of that and counted in others.
  std::string Verify(const std::string& path, const Operation& op, bool& after, const std::string& otherPrefix = "",
                     size_t* others = nullptr) {
    {
      auto database = disk_test::NewDiskDatabase(path);
      DiskSession session(database.get(), op.MultiUser);
      session.Connect();
      if (session.NeedsRepair) return "the file asks for repair";
      DiskCursor log(*database, session, "Log");
      log.Open();
      const LogState all = ReadState(log);
      LogState state;
      for (const auto& [id, record] : all)
        if (otherPrefix.empty() || record.first.rfind(otherPrefix, 0) != 0) state.emplace(id, record);
      if (others != nullptr) *others = all.size() - state.size();
      if (state != BaseState && state != op.After) return "the records are neither before nor after the commit";
      after = state == op.After && state != BaseState;
      DiskCursor second(*database, session, "Second");
      const int32_t code = qv::test::RaisedCode([&] { second.Open(); });
      if (code != 0 && code != 30396) return "Second open raised " + std::to_string(code);
      if (op.SecondAfter) after = code == 0;
      else if (code == 0) return "Second is there";
      const std::string faults = CheckTables(*database, log, code == 0 ? &second : nullptr);
      if (!faults.empty()) return faults;
    }
    if (qv::FileExists(VLMJournalFileName(path))) return "the journal stays after the file closed";
    return "";
  }

  static std::string CheckTables(TVLMDiskDatabaseData& database, DiskCursor& log, DiskCursor* second) {
    return disk_test::CheckLogFile(database, log, second);
  }

  ScratchFolder Dir;
  std::string Base;
  std::string SplitCall;
  std::string PlainCall;
  LogState BaseState;
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
    ASSERT_NO_FATAL_FAILURE(Measure(op));
    ASSERT_EQ(op.After != BaseState, !op.SecondAfter) << op.Name;
    if (op.Name == "grow") {
      ASSERT_GT(op.PageCountAfter, BasePageCount) << "the transaction must grow the file";
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

// Three sharing connections: the first keeps Log open and has read it, the
// third is stopped at every write of its commit, or has its writes from
// there on held back until a flush that ends it, landing in any subset and
// order (a client cache of a shared file), then the first reads Log again
// (in natural and ByCall order, with the values) and the second takes
// pages and commits. The first connection that meets the third's cut commit
// (CommitState 1 beside its journal) rolls it back: the first reads exactly
// the last finished commit without reopening, and the second commits on it.
// The third's change is wholly there or not at all (not at all when it was
// cut), and the second's records are there. A budget raised by hand goes on
// with new seeds.
TEST_F(Crash, ASharingConnectionRollsAnotherOnesStoppedCommitBackAndGoesOn) {
  std::vector<Operation> ops(4);
  ops[0].Name = "insert";
  ops[0].Call = SplitCall;
  ops[1].Name = "mixed";
  ops[2].Name = "update-blob";
  ops[3].Name = "delete-blob";
  struct Stop {
    size_t Op;
    int64_t K;
    const char* Mode;
  };
  std::vector<Stop> stops;
  for (size_t o = 0; o < ops.size(); ++o) {
    ops[o].MultiUser = true;
    ASSERT_NO_FATAL_FAILURE(Measure(ops[o]));
    for (const char* mode : {"exit", "lost"})
      for (int64_t k = 1; k <= ops[o].Stops; ++k) stops.push_back({o, k, mode});
  }
  constexpr int kOtherRecords = 12;
  const std::string work = Dir.File("work.vlm");
  int rolledBack = 0, committed = 0, landed = 0;
  uint64_t i = 0;
  auto budget = qv::test::TestBudget::Steps(stops.size(), 25);
  for (; budget.Continue(i); ++i) {
    const Stop& stop = stops[i % stops.size()];
    const Operation& op = ops[stop.Op];
    const std::string what = op.Name + " " + stop.Mode + " at " + std::to_string(stop.K) + " of " +
                             std::to_string(op.Stops) + ", seed " + std::to_string(i);
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    bool cut = false;
    int32_t code = -1;
    std::string message, readMessage;
    std::vector<uint8_t> stopped;
    {
      auto first = disk_test::NewDiskDatabase(work), second = disk_test::NewDiskDatabase(work);
      DiskSession keeper(first.get(), true), writer(second.get(), true);
      keeper.Connect();
      writer.Connect();
      DiskCursor kept(*first, keeper, "Log");
      kept.Open();
      ASSERT_EQ(ReadState(kept), BaseState) << what;
      const int rc = RunHelper("engine_tablecrash", Args(work, op, stop.Mode, stop.K, i));
      ASSERT_TRUE(rc == 99 || rc == 0) << what << " exit " << rc;
      stopped = ReadBytes(work);
      cut = stopped[kVLMCommitStateOffset] == kVLMCommitWriting;
      LogState read;
      std::vector<std::string> byCall;
      int32_t readCode = 0;
      try {
        read = ReadState(kept);
        kept.UseIndex("ByCall");
        byCall = kept.Column(disk_test::kLogCall);
      } catch (const EVLMException& e) {
        readCode = e.NativeError;
        readMessage = e.what();
      }
      EXPECT_EQ(readCode, 0) << what << ": " << readMessage;
      EXPECT_TRUE(read == BaseState || (!cut && read == op.After)) << what << ": not the last finished commit";
      std::vector<std::string> calls;
      for (const auto& [id, record] : read) calls.push_back(record.first);
      std::sort(calls.begin(), calls.end());
      EXPECT_EQ(byCall, calls) << what;
      DiskCursor log(*second, writer, "Log");
      writer.StartTransaction();
      try {
        log.Open();
        for (int r = 0; r < kOtherRecords; ++r)
          if (!disk_test::InsertLog(log, "B" + std::to_string(r), std::vector<uint8_t>(300, static_cast<uint8_t>(r))))
            throw qv::Exception("a record was not stored");
        writer.Commit(false);
        code = 0;
      } catch (const EVLMException& e) {
        code = e.NativeError;
        message = e.what();
      }
      if (writer.InTransaction) writer.Rollback();
    }
    EXPECT_EQ(code, 0) << what << ": " << message;
    rolledBack += cut ? 1 : 0;
    committed += code == 0 ? 1 : 0;
    bool after = false;
    size_t others = 0;
    ASSERT_EQ(Verify(work, op, after, "B", &others), "") << what;
    EXPECT_FALSE(cut && after) << what << ": the cut commit's change stayed";
    EXPECT_EQ(others, code == 0 ? kOtherRecords : 0u) << what;
    landed += after ? 1 : 0;
  }
  std::printf("[ figures  ] stops %llu, cut and rolled back %d, landed whole %d, other commits %d\n",
              static_cast<unsigned long long>(i), rolledBack, landed, committed);
  EXPECT_GT(rolledBack, 0);
  EXPECT_GT(committed, 0);
}

// A connection that keeps Log open while another process commits an insert
// that splits a page of ByCall, then writes in its own transaction (or
// record by record): what it writes is built on the other's commit.
TEST_F(Crash, AConnectionKeepingTheTableOpenWritesOnAnotherProcesssCommit) {
  struct Case {
    const char* Name;
    bool Transaction;
    bool ReadFirst;  // a read of the table before the other commits
    int Updates;     // of base records, before the inserts
  };
  const Case cases[] = {
      {"12 inserts in a transaction", true, false, 0},
      {"a read, then 12 inserts in a transaction", true, true, 0},
      {"updates and deletes, then 12 inserts, in a transaction", true, false, 3},
      {"12 inserts one by one", false, false, 0},
  };
  Operation op;
  op.Name = "insert";
  op.Call = SplitCall;
  op.MultiUser = true;
  ASSERT_NO_FATAL_FAILURE(Measure(op));
  const std::string work = Dir.File("work.vlm");
  for (const Case& c : cases) {
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    LogState expected = op.After;
    {
      LogConnection connection(work, true);
      auto& [database, session, log] = connection;
      if (c.ReadFirst) ReadState(log);
      ASSERT_EQ(RunHelper("engine_tablecrash", Args(work, op, "exit", 0, 0)), 0) << c.Name;
      if (c.Transaction) session.StartTransaction();
      for (int i = 0; i < c.Updates; ++i) {
        const std::string call = "C" + std::to_string(1000 + i * 7), renamed = "U" + call;
        ASSERT_TRUE(disk_test::UpdateLog(log, call, &renamed, nullptr)) << c.Name;
        ASSERT_TRUE(disk_test::DeleteLog(log, "C" + std::to_string(1301 + i * 7))) << c.Name;
      }
      for (int r = 0; r < 12; ++r)
        ASSERT_TRUE(disk_test::InsertLog(log, "B" + std::to_string(r), disk_test::LogNotes(300, r))) << c.Name;
      if (c.Transaction) session.Commit(false);
      expected = ReadState(log);
    }
    LogConnection connection(work, true);
    auto& [database, session, log] = connection;
    EXPECT_EQ(CheckTables(*database, log, nullptr), "") << c.Name;
    EXPECT_EQ(ReadState(log).size(), op.After.size() + 12 - c.Updates) << c.Name;
    EXPECT_EQ(ReadState(log), expected) << c.Name;
  }
}

// A connection reads in a transaction after a change of its own and rolls
// back; another process then commits as many changes, so the table's change
// stamp comes back to the value the first connection's reads carried: the
// pages it read then no longer vouch for themselves.
TEST_F(Crash, ARolledBackTransactionLeavesNoPageTrustedForAnotherCommit) {
  const std::string work = Dir.File("work.vlm");
  ASSERT_TRUE(qv::CopyFile(Base, work, false));
  storage_test::Peer other(work, "peer", "engine_tablecrash");
  ASSERT_EQ(other.Greeting, "ready");
  LogConnection connection(work, true);
  auto& [database, session, log] = connection;
  session.StartTransaction();
  const std::string renamed = "X1000";
  ASSERT_TRUE(disk_test::UpdateLog(log, "C1000", &renamed, nullptr));
  ASSERT_TRUE(disk_test::FindLog(log, "C1413"));
  session.Rollback();
  ASSERT_EQ(other.Ask("update C1413 R1413 -1 0"), "ok");
  EXPECT_TRUE(disk_test::FindLog(log, "R1413"));
  EXPECT_EQ(CheckTables(*database, log, nullptr), "");
}

// Two processes keep Log open and take turns: each turn a few inserts,
// updates and deletes, one by one or in a transaction that commits or rolls
// back, with no value, small values and values of their own pages, so that
// ByCall and ByID pages split and merge and record, BLOB and index pages
// come and go under the other connection's cached view. After every turn
// the in-process connection sees what the committed turns made of the
// records, through every index, and every structure agrees (CheckTables).
TEST_F(Crash, TwoProcessesTakingTurnsOnOneTableKeepItsStructuresWhole) {
  using Model = std::map<std::string, std::vector<uint8_t>>;  // Call -> value
  const std::string work = Dir.File("work.vlm");
  auto budget = qv::test::TestBudget::Steps(12, 25);
  for (uint64_t episode = 0; budget.Continue(episode); ++episode) {
    std::mt19937 random(static_cast<uint32_t>(7919 * episode + 17));
    auto pick = [&](size_t n) { return static_cast<int32_t>(random() % n); };
    Model model;
    for (const auto& [id, record] : BaseState) model[record.first] = record.second;
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    storage_test::Peer other(work, "peer", "engine_tablecrash");
    ASSERT_EQ(other.Greeting, "ready");
    LogConnection connection(work, true);
    auto& [database, session, log] = connection;
    int next = 0;
    std::string trace = "episode " + std::to_string(episode) + "\n";
    for (int turn = 0; turn < 30; ++turn) {
      const bool mine = turn % 2 == 1;
      auto run = [&](const std::string& command) {
        trace += (mine ? "B " : "A ") + command + "\n";
        if (mine) return disk_test::LogCommand(session, log, command);
        const std::string answer = other.Ask(command);
        if (answer != "ok") trace += answer + "\n";
        return answer == "ok";
      };
      const int32_t kind = pick(4);  // 0, 1: one by one, 2: committed, 3: rolled back
      if (kind >= 2) {
        ASSERT_TRUE(run("begin")) << trace;
      }
      Model changed = model;
      for (int32_t step = 0, steps = kind < 2 ? 1 + pick(3) : 2 + pick(7); step < steps; ++step) {
        const int32_t action = changed.size() < 40 ? 0 : changed.size() > 140 ? 2 : pick(3);
        const int32_t size = std::array<int32_t, 4>{0, 40, 300, 2500}[static_cast<size_t>(pick(4))];
        const int32_t seed = pick(200);
        const std::string values = " " + std::to_string(size) + " " + std::to_string(seed);
        auto existing = std::next(changed.begin(), pick(changed.size()));
        if (action == 0) {
          const std::string added = "N" + std::to_string(next++);
          ASSERT_TRUE(run("insert " + added + values)) << trace;
          changed[added] = disk_test::LogNotes(size, seed);
        } else if (action == 1) {
          const bool rename = pick(2) == 0, revalue = !rename || pick(2) == 0;
          const std::string renamed = rename ? "R" + std::to_string(next++) : existing->first;
          ASSERT_TRUE(run("update " + existing->first + " " + (rename ? renamed : "-") +
                          (revalue ? values : " -1 0")))
              << trace;
          std::vector<uint8_t> notes = revalue ? disk_test::LogNotes(size, seed) : existing->second;
          changed.erase(existing);
          changed[renamed] = notes;
        } else {
          ASSERT_TRUE(run("delete " + existing->first)) << trace;
          changed.erase(existing);
        }
      }
      if (kind >= 2) {
        ASSERT_TRUE(run(kind == 2 ? "commit" : "rollback")) << trace;
      }
      if (kind != 3) model = changed;
      Model seen;
      for (const auto& [id, record] : ReadState(log)) seen[record.first] = record.second;
      std::string differences;  // Calls seen with a wrong value or not at all (-)
      for (const auto& [call, value] : seen)
        if (!model.contains(call) || model.at(call) != value) differences += " " + call;
      for (const auto& [call, value] : model)
        if (!seen.contains(call)) differences += " -" + call;
      ASSERT_EQ(differences, "") << trace;
      ASSERT_EQ(CheckTables(*database, log, nullptr), "") << trace;
    }
  }
}

// An update of every record in one transaction whose k-th file operation
// is a write torn inside a 512-byte piece (then the disk is full), for every
// k, through a single-user and a multi-user session: the next open holds
// the table wholly before or wholly after the update.
TEST_F(Crash, AnUpdateWhoseKthWriteIsTornInsideAPieceOpensWhollyBeforeOrAfterIt) {
  std::vector<Operation> ops(2);
  std::vector<std::pair<size_t, int64_t>> stops;
  for (size_t o = 0; o < ops.size(); ++o) {
    ops[o].Name = "update";
    ops[o].MultiUser = o == 1;
    ASSERT_NO_FATAL_FAILURE(Measure(ops[o]));
    ASSERT_EQ(ops[o].After.begin()->second.first, "U" + BaseState.begin()->second.first);
    for (int64_t k = 1; k <= ops[o].Stops; ++k) stops.emplace_back(o, k);
  }
  const std::string work = Dir.File("work.vlm");
  int befores = 0, afters = 0;
  auto budget = qv::test::TestBudget::Steps(stops.size(), 25);
  for (uint64_t i = 0; i < stops.size() && budget.Continue(i); ++i) {
    const Operation& op = ops[stops[i].first];
    const std::string what = (op.MultiUser ? "multi torn at " : "single torn at ") + std::to_string(stops[i].second);
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    const int rc = RunHelper("engine_tablecrash", Args(work, op, "tornfrom", stops[i].second, i));
    ASSERT_TRUE(rc == 3 || rc == 0) << what << " exit " << rc;
    bool after = false;
    ASSERT_EQ(Verify(work, op, after), "") << what;
    (after ? afters : befores) += 1;
  }
  EXPECT_GT(befores, 0);
  EXPECT_GT(afters, 0);  // a failed last flush leaves the commit whole
}

// A sharing connection's copy of the whole table in one transaction (an
// INSERT ... SELECT) stopped at every write in turn, then refused by a full
// disk at a few, all on one file: after every stop the next open, which has
// the file alone, finds no page marked used that nothing reaches and
// LastUsedPage the highest used page (Verify), and the file never grows
// past what the copy itself takes, however often it is stopped.
TEST_F(Crash, ASharingCopyStoppedOrRefusedGivesItsPagesBackAtTheNextOpen) {
  Operation op;
  op.Name = "copy";
  op.MultiUser = true;
  ASSERT_NO_FATAL_FAILURE(Measure(op));
  ASSERT_GT(op.PageCountAfter, BasePageCount) << "the copy must take pages";
  struct Run {
    const char* Mode;
    int64_t K;
  };
  std::vector<Run> runs;
  for (int64_t k = 1; k <= op.Stops; ++k) runs.push_back({"exit", k});
  for (int64_t part : {2, 5})
    for (int repeat = 0; repeat < 2; ++repeat) runs.push_back({"failfrom", op.Stops * part / 7});
  for (int repeat = 0; repeat < 3; ++repeat) runs.push_back({"exit", op.Stops * 6 / 7});
  const std::string work = Dir.File("work.vlm");
  ASSERT_TRUE(qv::CopyFile(Base, work, false));
  std::vector<uint32_t> counts;
  auto budget = qv::test::TestBudget::Steps(runs.size(), 25);
  for (uint64_t i = 0; i < runs.size() && budget.Continue(i); ++i) {
    const std::string mode = runs[i].Mode;
    const std::string what = mode + " at " + std::to_string(runs[i].K) + " of " + std::to_string(op.Stops);
    const int rc = RunHelper("engine_tablecrash", Args(work, op, mode, runs[i].K, i));
    ASSERT_TRUE(rc == (mode == "failfrom" ? 3 : 99) || (mode == "failfrom" && rc == 0)) << what << " exit " << rc;
    bool after = false;
    ASSERT_EQ(Verify(work, op, after), "") << what;
    counts.push_back(StoredPageCount(work));
    EXPECT_LE(counts.back(), static_cast<uint32_t>(op.PageCountAfter)) << what;
    // The copy was made: the next stops start from the base again.
    if (after) {
      ASSERT_TRUE(qv::CopyFile(Base, work, false));
    }
  }
  ASSERT_GE(counts.size(), 3u);
  EXPECT_EQ(counts[counts.size() - 1], counts[counts.size() - 3]) << "the same stop made again";
  EXPECT_EQ(counts[counts.size() - 2], counts[counts.size() - 3]) << "the same stop made again";
}

// Calls and values of Log, which IDs a failed insert leaves alone.
std::map<std::string, std::vector<uint8_t>> CallsOf(DiskCursor& log) {
  std::map<std::string, std::vector<uint8_t>> calls;
  for (const auto& [id, record] : ReadState(log)) calls[record.first] = record.second;
  return calls;
}

// A sharing connection's write that fails at one of its writes to the file
// (the k-th, for every k: the allocations it writes at once, the journal,
// the commit) alone or in a transaction between two inserts: an insert
// whose keys split pages of ByID and ByCall with a value of its own pages,
// an update that moves its record in ByCall and grows its value, a delete.
// A write that raised before its commit began leaves nothing: the next
// insert's commit (or the transaction's) holds everything else and not it,
// and every structure agrees at the next open (CheckTables). One that
// raised inside its commit (the database then refuses more until it is
// opened again) is wholly there or not at all.
TEST_F(Crash, AWriteThatFailsAtAnyWriteLeavesNothingForTheNextCommit) {
  using Calls = std::map<std::string, std::vector<uint8_t>>;
  const std::vector<uint8_t> value = disk_test::LogNotes(3000, 7);
  const std::string renamed = "Z1000";
  auto insert = [&](DiskCursor& log) { return disk_test::InsertLog(log, SplitCall, value); };
  auto inserted = [&](Calls& calls) { calls[SplitCall] = value; };
  const struct {
    const char* Name;
    bool Transaction;
    std::function<bool(DiskCursor&)> Write;
    std::function<void(Calls&)> Apply;  // its effect on the records
  } cases[] = {
      {"insert", false, insert, inserted},
      {"insert in a transaction", true, insert, inserted},
      {"update in a transaction", true, [&](DiskCursor& log) { return disk_test::UpdateLog(log, "C1000", &renamed, &value); },
       [&](Calls& calls) { calls.erase("C1000"), calls[renamed] = value; }},
      {"delete", false, [](DiskCursor& log) { return disk_test::DeleteLog(log, "C1021"); },
       [](Calls& calls) { calls.erase("C1021"); }},
  };
  const std::string work = Dir.File("work.vlm");
  int takenBack = 0;
  qv::test::TestBudget budget(25);
  uint64_t step = 0;
  for (const auto& c : cases) {
    // Every k until the write no longer meets the fault.
    bool raised = true;
    for (int64_t k = 1; raised && budget.Continue(step++); ++k) {
      const std::string what = std::string(c.Name) + " failing at write " + std::to_string(k);
      ASSERT_TRUE(qv::CopyFile(Base, work, false));
      Calls model, written;
      bool failedCommit = false;
      {
        auto connection = std::make_unique<LogConnection>(work, true);
        if (c.Transaction) {
          connection->Session.StartTransaction();
          ASSERT_TRUE(disk_test::InsertLog(connection->Log, "T1")) << what;
        }
        model = written = CallsOf(connection->Log);
        c.Apply(written);
        qv::SetFileFaultAfter(k, qv::FileFault::FailFrom);
        try {
          raised = !c.Write(connection->Log);
        } catch (const qv::Exception&) {
          raised = true;
        }
        qv::SetFileFaultAfter(0, qv::FileFault::FailFrom);
        if (!raised) model = written;
        {
          std::lock_guard guard(connection->Database->CriticalSection());
          failedCommit = connection->Database->DiskPageManager()->IsFailed();
        }
        // The next open rolls a cut commit back, or finds it whole.
        if (failedCommit) {
          connection.reset();
          connection = std::make_unique<LogConnection>(work, true);
        }
        takenBack += raised && !failedCommit ? 1 : 0;
        ASSERT_TRUE(disk_test::InsertLog(connection->Log, "F1")) << what;
        model["F1"] = written["F1"] = {};
        if (c.Transaction) connection->Session.Commit(false);
      }
      LogConnection connection(work, false);
      auto& [database, session, log] = connection;
      const Calls seen = CallsOf(log);
      EXPECT_TRUE(seen == model || (failedCommit && seen == written)) << what << (raised ? ": raised" : "");
      ASSERT_EQ(CheckTables(*database, log, nullptr), "") << what;
    }
  }
  EXPECT_GT(takenBack, 0);  // some write failed before its commit began
}

// A sharing connection keeps Log open while another process grows the file
// with records (and a few values of their own pages); the test then holds
// the database lock, and the connection posts a record, which goes to a
// record page past the end of the file it knows. Every wait for the lock retries: released
// during the wait, the post lands whole; held past the tries, the post fails
// and leaves nothing for the next commit, and the structures agree.
TEST_F(Crash, APostThatWaitsForTheDatabaseLockLandsWholeOrLeavesNothing) {
  const std::string work = Dir.File("work.vlm");
  storage_test::FastRetries retries(40);
  for (const bool released : {true, false}) {
    const std::string what = released ? "lock released during the wait" : "lock held";
    ASSERT_TRUE(qv::CopyFile(Base, work, false));
    std::map<std::string, std::vector<uint8_t>> model;
    bool raised = false;
    {
      storage_test::Peer other(work, "peer", "engine_tablecrash");
      ASSERT_EQ(other.Greeting, "ready");
      LogConnection connection(work, true);
      auto& [database, session, log] = connection;
      model = CallsOf(log);
      for (int r = 0; r < 60; ++r) {
        const int32_t size = r % 10 == 0 ? 2500 : 0;
        ASSERT_EQ(other.Ask("insert G" + std::to_string(r) + " " + std::to_string(size) + " " + std::to_string(r)), "ok");
        model["G" + std::to_string(r)] = disk_test::LogNotes(size, r);
      }
      qv::File holder = qv::File::Open(work, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
      ASSERT_TRUE(holder.Lock(kVLMDatabaseLockOffset, 1));
      int sleeps = 0;
      qv::SetSleeper([&](uint32_t) {
        if (++sleeps == 5 && released) holder.Unlock(kVLMDatabaseLockOffset, 1);
      });
      try {
        raised = !disk_test::InsertLog(log, "W1");
      } catch (const qv::Exception&) {
        raised = true;
      }
      qv::SetSleeper([](uint32_t) {});
      EXPECT_GE(sleeps, 5) << what << ": the post did not wait for the lock";
      EXPECT_EQ(raised, !released) << what;
      if (!raised) model["W1"] = {};
      holder.Close();
      ASSERT_TRUE(disk_test::InsertLog(log, "W2")) << what;
      model["W2"] = {};
    }
    LogConnection connection(work, false);
    auto& [database, session, log] = connection;
    EXPECT_TRUE(CallsOf(log) == model) << what;
    ASSERT_EQ(CheckTables(*database, log, nullptr), "") << what;
  }
}

}  // namespace
