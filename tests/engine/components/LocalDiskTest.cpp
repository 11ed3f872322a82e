// The local session and cursor on database files: the registry, passwords,
// implicit transactions, the index fill, and a second process sharing the
// file in multi-user mode (helper program engine_localpeer).
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMTableData.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

namespace {

using local_test::LocalTable;
using local_test::RuntimeScope;
using qv::test::RaisedCode;

class LocalDiskTest : public ::testing::Test {
protected:
  // A session on the file (made when missing), connected.
  std::unique_ptr<TVLMLocalSession> Session(const std::string& file, const std::string& password = "",
                                            bool multiUser = false, const std::string& sessionName = "") {
    auto session = std::make_unique<TVLMLocalSession>();
    session->DatabaseName = "Log";
    session->DatabaseFileName = file;
    session->MaxConnections = 50;
    session->PageSize = 1024;
    session->PasswordRecord = {password, static_cast<uint8_t>(password.empty() ? 0 : 5)};
    session->MultiUser = multiUser;
    session->MultiUserSessionName = sessionName;
    if (!std::filesystem::exists(file)) session->CreateDatabase();
    session->SetConnected(true);
    return session;
  }
  // The names of the listed database data besides "MEMORY" and "TEMP".
  static int32_t DiskCount() { return VLMOpenDatabaseList().Count() - 2; }

  qv::test::ScratchFolder Dir;
  RuntimeScope Runtime;
};

TEST_F(LocalDiskTest, SessionsShareADatabaseDataOnlyForTheSameFileAndSessionName) {
  const std::string lower = Dir.File("log.vlm"), upper = Dir.File("LOG.vlm");
  auto a = Session(lower);
  auto b = Session(upper);
  auto c = Session(lower);
  // Two files that differ in case are two databases, each with its tables.
  EXPECT_NE(a->DatabaseData, b->DatabaseData);
  EXPECT_EQ(a->DatabaseData, c->DatabaseData);
  {
    LocalTable t(*a, "OnlyInLower");
    t.Create({{"Call", dtString, 10}});
    ASSERT_EQ(t.Append({"K1ABC"}), 0);
  }
  EXPECT_TRUE(c->TableExists("OnlyInLower"));
  EXPECT_FALSE(b->TableExists("OnlyInLower"));
  EXPECT_EQ(RaisedCode([&] { a->CreateDatabase(); }), 20092);
  EXPECT_EQ(DiskCount(), 2);
  a.reset();
  b.reset();
  EXPECT_EQ(DiskCount(), 1);
  c->SetConnected(false);
  EXPECT_EQ(DiskCount(), 0);

  // Multi-user sessions of one file under two session names: two database
  // data with a slot each.
  const std::string shared = Dir.File("shared.vlm");
  auto m1 = Session(shared, "", true, "One");
  auto m2 = Session(shared, "", true, "two");
  auto m3 = Session(shared, "", true, "ONE");
  EXPECT_NE(m1->DatabaseData, m2->DatabaseData);
  EXPECT_EQ(m1->DatabaseData, m3->DatabaseData);
  EXPECT_NE(m1->SessionID, m2->SessionID);

  // At design time the file is opened for each operation; a file made then
  // opens like any other.
  VLMSetDesignMode(true);
  auto designed = Session(Dir.File("design.vlm"));
  ASSERT_TRUE(designed->GetConnected());
  EXPECT_TRUE(static_cast<TVLMDiskDatabaseData*>(designed->DatabaseData)->OpenPerOperation);
  EXPECT_TRUE(designed->TableExists("None") == false);
}

TEST_F(LocalDiskTest, AWrongPasswordLeavesNothingBehindAndEverySessionMustKnowIt) {
  const std::string file = Dir.File("secret.vlm");
  Session(file, "Secret")->SetConnected(false);
  EXPECT_EQ(DiskCount(), 0);
  // A first connect that fails leaves no database data with its password.
  EXPECT_EQ(RaisedCode([&] { Session(file, "wrong"); }), 30445);
  EXPECT_EQ(DiskCount(), 0);
  auto right = Session(file, "Secret");
  ASSERT_TRUE(right->GetConnected());
  EXPECT_EQ(right->PasswordRecord.CipherId, 5);
  {
    std::unique_ptr<TVLMLocalSession> second;
    EXPECT_EQ(RaisedCode([&] { second = Session(file, "secret"); }), 20298);
  }
  // The refused session was freed and left the database data.
  EXPECT_EQ(right->DatabaseData->Sessions.size(), 1u);
  right.reset();
  EXPECT_EQ(VLMOpenDatabaseList().Count(), 2);
}

TEST_F(LocalDiskTest, ImplicitTransactionsAndIndexFillsOnADiskTable) {
  auto session = Session(Dir.File("t.vlm"));
  LocalTable log(*session, "Log");
  log.Create({{"Call", dtString, 10}, {"Points", dtInteger}});
  for (const char* call : {"W2XYZ", "K1ABC", "N3Q"}) ASSERT_EQ(log.Append({call, "1"}), 0);
  log.Cursor.NoAutoCommit = true;
  log.Cursor.BeginImplicitTransaction();
  ASSERT_EQ(log.Append({"DL1X", "2"}), 0);
  log.Cursor.RollbackImplicitTransaction();
  log.Cursor.NoAutoCommit = false;
  log.Close();
  log.Open();
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"W2XYZ", "K1ABC", "N3Q"}));

  {
    local_test::WalkerSpy spy;
    std::unique_ptr<TVLMIndexDef> byCall = tabledata_test::IndexOn("ByCall", "Call");
    log.Cursor.CreateIndex(*byCall);
    EXPECT_EQ(spy.Records, 3);
  }
  log.UseIndex("ByCall");
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"K1ABC", "N3Q", "W2XYZ"}));
  // Renaming, emptying and deleting leave the table data to the next open.
  log.Close();
  log.Cursor.RenameTable("Contacts");
  log.Open();
  EXPECT_EQ(log.Cursor.GetRecordCount(), 3);
  log.Close();
  log.Cursor.EmptyTable();
  log.Open();
  EXPECT_EQ(log.Cursor.GetRecordCount(), 0);
  log.Close();
  log.Cursor.DeleteTable();
  EXPECT_FALSE(session->TableExists("Contacts"));
}

// The last session cannot disconnect while a cursor of it has a table open:
// the page manager that table reads through would go with the database. A
// session destroyed with a table open closes that table first.
TEST_F(LocalDiskTest, ASessionKeepsItsDatabaseWhileACursorHasATableOpen) {
  const std::string file = Dir.File("o.vlm");
  auto session = Session(file);
  LocalTable log(*session, "Log");
  log.Create({{"Call", dtString, 10}});
  ASSERT_EQ(log.Append({"K1ABC"}), 0);
  EXPECT_EQ(RaisedCode([&] { session->SetConnected(false); }), 20610);
  EXPECT_TRUE(session->GetConnected());
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"K1ABC"}));
  log.Close();
  session->SetConnected(false);
  EXPECT_EQ(DiskCount(), 0);

  session = Session(file);
  log.Cursor.Session = session.get();
  log.Open();
  EXPECT_EQ(log.Cursor.GetRecordCount(), 1);
  session.reset();
  EXPECT_EQ(log.Cursor.TableData, nullptr);
  EXPECT_EQ(DiskCount(), 0);
  log.Close();
}

TEST_F(LocalDiskTest, ABlobWrittenThroughTheCursorReadsBackEqual) {
  auto session = Session(Dir.File("b.vlm"));
  LocalTable notes(*session, "Notes");
  notes.Create({{"Call", dtString, 10}, {"Data", dtBLOB}});
  std::vector<uint8_t> value(1 << 20);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>((i * 7919) >> 5);
  notes.Cursor.InitRecordBuffer(notes.Cursor.RecordBuffer, true);
  notes.Set(0, "K1ABC");
  notes.Cursor.OpenBlob(true, false, 1, TVLMCursorBLOBStream::kOpenWrite, false)
      ->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
  notes.Cursor.Post(true);
  ASSERT_EQ(notes.Cursor.ResultCode, 0);
  notes.Close();
  notes.Open();
  ASSERT_TRUE(notes.First());
  for (int pass = 0; pass < 2; ++pass) {  // the value read is let go on close
    qv::Stream* reader = notes.Cursor.OpenBlob(false, false, 1, TVLMCursorBLOBStream::kOpenRead, true);
    std::vector<uint8_t> back(value.size());
    ASSERT_EQ(reader->GetSize(), static_cast<int64_t>(value.size()));
    reader->ReadBuffer(back.data(), static_cast<int64_t>(back.size()));
    EXPECT_TRUE(back == value);
    notes.Cursor.CloseBlob(1);
  }
}

// A table of 3,000 records, C0..C2999 with Points 0..2999, indexed on both.
class LocalDiskReadTest : public LocalDiskTest {
protected:
  void SetUp() override {
    Me = Session(Dir.File("r.vlm"));
    Log = std::make_unique<LocalTable>(*Me, "Log");
    Log->Create({{"Call", dtString, 10}, {"Points", dtInteger}}, {{"ByCall", "Call"}, {"ByPoints", "Points"}});
    Me->StartTransaction();
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(Log->Append({"C" + std::to_string(i), std::to_string(i)}), 0);
    Me->Commit(false);
  }
  void TearDown() override { Log.reset(); }
  int64_t RecordsRead() { return static_cast<TVLMTableData*>(Log->Cursor.TableData)->GetSearchFigures().RecordsRead; }

  std::unique_ptr<TVLMLocalSession> Me;
  std::unique_ptr<LocalTable> Log;
};

// A walk through a filter that a range of the cursor's index answers reads
// each matching record once, whether the index was named or chosen by its
// fields; a walk that finds nothing from the start reads the table once
// although a dataset asks twice.
TEST_F(LocalDiskReadTest, AFilteredWalkReadsEachMatchingRecordOnce) {
  for (bool byFields : {false, true}) {
    SCOPED_TRACE(byFields ? "index by fields" : "index by name");
    if (byFields)
      Log->Cursor.SetIndexByFields(schema_test::List({"Points"}), schema_test::List({"ASC"}),
                                   schema_test::List({"CASE"}));
    else
      Log->UseIndex("ByPoints");
    Log->Cursor.SetFilter("Points >= 1000 and Points < 2000", false, false);
    const int64_t before = RecordsRead();
    int32_t rows = 0;
    for (bool more = Log->First(); more; more = Log->Next()) ASSERT_EQ(Log->Get(1), std::to_string(1000 + rows++));
    EXPECT_EQ(rows, 1000);
    EXPECT_EQ(RecordsRead() - before, 1000);
    // The other way, from the end.
    Log->Cursor.SetToEnd();
    rows = 0;
    while (Log->Read(2) == kVLMNavOK) ++rows;
    EXPECT_EQ(rows, 1000);
    EXPECT_EQ(RecordsRead() - before, 2000);
    Log->Cursor.ClearFilter();
  }
  Log->UseIndex("");
  Log->Cursor.SetFilter("Points + 1 = 0", false, false);
  const int64_t before = RecordsRead();
  EXPECT_FALSE(Log->First());
  EXPECT_FALSE(Log->Next());  // the dataset's second ask
  EXPECT_EQ(RecordsRead() - before, 3000);
}

// A kept walk goes on past changes of the table made between its steps.
TEST_F(LocalDiskReadTest, AWalkGoesOnPastChangesBetweenItsSteps) {
  Log->UseIndex("ByPoints");
  Log->Cursor.SetFilter("Points >= 10 and Points < 20", false, false);
  ASSERT_TRUE(Log->First());
  ASSERT_TRUE(Log->Next());
  EXPECT_EQ(Log->Get(1), "11");
  {
    LocalTable other(*Me, "Log");
    other.Open();
    ASSERT_TRUE(other.Find(1, "12"));
    ASSERT_EQ(other.Delete(), 0);
    ASSERT_EQ(other.Append({"X", "13"}), 0);
  }
  std::vector<std::string> rest;
  while (Log->Next()) rest.push_back(Log->Get(1).value_or("null"));
  EXPECT_EQ(rest, (std::vector<std::string>{"13", "13", "14", "15", "16", "17", "18", "19"}));
}

// A filtered scan in natural order goes on from its last match: each record
// is read once, and a change made between the steps is seen.
TEST_F(LocalDiskReadTest, AScanGoesOnFromItsLastMatch) {
  // No index serves the sum.
  Log->Cursor.SetFilter("Points + 0 >= 1000", false, false);
  const int64_t before = RecordsRead();
  ASSERT_TRUE(Log->First());
  ASSERT_TRUE(Log->Next());
  EXPECT_EQ(Log->Get(1), "1001");
  EXPECT_EQ(RecordsRead() - before, 1002);
  {
    LocalTable other(*Me, "Log");
    other.Open();
    ASSERT_TRUE(other.Find(1, "1002"));
    ASSERT_EQ(other.Update(1, "5"), 0);
    ASSERT_TRUE(other.Find(1, "2"));
    ASSERT_EQ(other.Update(1, "2500"), 0);
  }
  std::vector<std::string> rest, expected;
  while (Log->Next()) rest.push_back(Log->Get(1).value_or("null"));
  for (int i = 1003; i < 3000; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(rest, expected);
}

// Locate keeps its condition for the same fields, options and kinds of key
// value, and builds a new one when any of them changes.
TEST_F(LocalDiskReadTest, LocatesAnswerRightWhenTheirConditionIsKeptOrRebuilt) {
  const struct {
    const char* fields;
    qv::HostVariant keys;
    bool caseInsensitive;
    std::optional<int> found;  // the Points of the record found
  } cases[] = {
      {"Call", qv::HostVariant(std::string("C5")), false, 5},
      {"Call", qv::HostVariant(std::string("C6")), false, 6},
      {"Call", qv::HostVariant(std::string("c7")), false, std::nullopt},
      {"Call", qv::HostVariant(std::string("c7")), true, 7},
      {"Call", qv::HostVariant(std::string("c8")), true, 8},
      {"Points", qv::HostVariant(9), false, 9},
      {"Points", qv::HostVariant(std::string("10")), false, 10},
      {"Points", qv::HostVariant(2999), false, 2999},
      {"Call;Points", qv::VarArrayOf({std::string("C11"), 11}), false, 11},
      {"Call;Points", qv::VarArrayOf({std::string("C12"), 11}), false, std::nullopt},
      {"Call;Points", qv::VarArrayOf({std::string("C12"), 12}), false, 12},
      {"Points", qv::VarArrayOf({13}), false, 13},
      {"Points", qv::HostVariant(3000), false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fields) + " " + (c.found ? std::to_string(*c.found) : "none"));
    ASSERT_EQ(Log->Cursor.Locate(c.fields, c.keys, c.caseInsensitive, false), c.found.has_value());
    if (c.found) {
      EXPECT_EQ(Log->Get(1), std::to_string(*c.found));
    }
  }
  EXPECT_EQ(RaisedCode([&] { Log->Cursor.Locate("Call;Points", qv::HostVariant(std::string("C1")), false, false); }),
            30112);
}

// Two processes on one file in multi-user mode, with short waits.
class LocalMultiUserTest : public LocalDiskTest {
protected:
  void SetUp() override {
    Path = Dir.File("m.vlm");
    Me = Session(Path, "", true, "Me");
    Log = std::make_unique<LocalTable>(*Me, "Log");
    Log->Create({{"Call", dtString, 10}, {"Points", dtInteger}});
    for (const char* call : {"K1ABC", "W2XYZ", "N3Q", "VE3AA", "DL1X"}) ASSERT_EQ(Log->Append({call, "1"}), 0);
    Other = std::make_unique<storage_test::Peer>(Path, "Log", "engine_localpeer");
    ASSERT_EQ(Other->Greeting, "ready");
  }
  void TearDown() override {
    Other.reset();
    Log.reset();
  }
  // The table locks this session holds on the table (the open lock aside).
  std::vector<uint8_t> HeldLocks() {
    auto* disk = static_cast<TVLMDiskDatabaseData*>(Me->DatabaseData);
    std::vector<uint8_t> types;
    for (const TVLMTableLock& lock : disk->TableLockManager()->List(Me->SessionID).Items())
      if (lock.LockType != kVLMLockTableOpen) types.push_back(lock.LockType);
    return types;
  }

  storage_test::FastRetries Retries;
  std::string Path;
  std::unique_ptr<TVLMLocalSession> Me;
  std::unique_ptr<LocalTable> Log;
  std::unique_ptr<storage_test::Peer> Other;
};

TEST_F(LocalMultiUserTest, WritesSeeTheOtherProcessesChangesAndLocks) {
  struct Row {
    const char* call;
    const char* other;  // what the other process does first
    bool deleting;      // else this process edits
    int32_t code;
  };
  const Row rows[] = {
      {"K1ABC", "update K1ABC 7", false, -4},
      {"W2XYZ", "delete W2XYZ", false, -6},
      {"N3Q", "delete N3Q", true, -7},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.other);
    ASSERT_TRUE(Log->Find(0, row.call));
    ASSERT_EQ(Other->Ask(row.other), "0");
    Log->Cursor.ResultCode = 0;
    if (row.deleting)
      Log->Cursor.DeleteRecord();
    else
      Log->Cursor.Edit();
    EXPECT_EQ(Log->Cursor.ResultCode, row.code);
    EXPECT_TRUE(HeldLocks().empty());
  }

  // A record the other process is editing: -12, and no lock stays here.
  ASSERT_EQ(Other->Ask("edit VE3AA"), "0");
  ASSERT_TRUE(Log->Find(0, "VE3AA"));
  EXPECT_EQ(Log->Update(1, "9"), -12);
  EXPECT_TRUE(HeldLocks().empty());
  ASSERT_EQ(Other->Ask("cancel"), "0");

  // The other process's transaction holds type 3: a post gives -13, writes
  // nothing and raises no lock error; the edit keeps its locks until the
  // post goes through.
  ASSERT_TRUE(Log->Find(0, "DL1X"));
  Log->Cursor.Edit();
  ASSERT_EQ(Log->Cursor.ResultCode, 0);
  ASSERT_EQ(Other->Ask("begin"), "0");
  ASSERT_EQ(Other->Ask("update VE3AA 5"), "0");
  Log->Set(1, "8");
  EXPECT_NO_THROW(Log->Cursor.Post(false));
  EXPECT_EQ(Log->Cursor.ResultCode, -13);
  {
    LocalTable inserting(*Me, "Log");
    inserting.Open();
    EXPECT_EQ(inserting.Append({"JA1ZZ", "1"}), -13);
  }
  EXPECT_EQ(HeldLocks(), (std::vector<uint8_t>{kVLMLockTableEdit, kVLMLockTableRecord}));
  ASSERT_EQ(Other->Ask("commit"), "0");
  Log->Cursor.Post(false);
  EXPECT_EQ(Log->Cursor.ResultCode, 0);
  EXPECT_TRUE(HeldLocks().empty());
  EXPECT_EQ(Log->Column(1), (std::vector<std::string>{"7", "5", "8"}));
}

// What a read sees of the other process: everything it committed before the
// read began, nothing of a transaction still open. The reads that find the
// file unchanged since their last locked read check it with one read of the
// commit mark and take no lock; a walk through one page checks once.
TEST_F(LocalMultiUserTest, ReadsSeeTheOtherProcessesCommitsAtTheirNextOperation) {
  auto* disk = static_cast<TVLMDiskTableData*>(Log->Cursor.TableData);
  auto* pages = static_cast<TVLMDiskDatabaseData*>(Me->DatabaseData)->DiskPageManager();
  EXPECT_EQ(Log->Column(1), (std::vector<std::string>{"1", "1", "1", "1", "1"}));
  struct Step {
    const char* other;  // what the other process does, "" for nothing
    bool commits;       // it reaches the file
    std::vector<std::string> calls;
    std::vector<std::string> points;
  };
  const Step steps[] = {
      {"update K1ABC 7", true, {"K1ABC", "W2XYZ", "N3Q", "VE3AA", "DL1X"}, {"7", "1", "1", "1", "1"}},
      {"delete N3Q", true, {"K1ABC", "W2XYZ", "VE3AA", "DL1X"}, {"7", "1", "1", "1"}},
      // The new record takes the slot the deleted one left.
      {"insert JA1ZZ 4", true, {"K1ABC", "W2XYZ", "JA1ZZ", "VE3AA", "DL1X"}, {"7", "1", "4", "1", "1"}},
      {"begin", false, {"K1ABC", "W2XYZ", "JA1ZZ", "VE3AA", "DL1X"}, {"7", "1", "4", "1", "1"}},
      {"update W2XYZ 9", false, {"K1ABC", "W2XYZ", "JA1ZZ", "VE3AA", "DL1X"}, {"7", "1", "4", "1", "1"}},
      {"commit", true, {"K1ABC", "W2XYZ", "JA1ZZ", "VE3AA", "DL1X"}, {"7", "9", "4", "1", "1"}},
      {"", false, {"K1ABC", "W2XYZ", "JA1ZZ", "VE3AA", "DL1X"}, {"7", "9", "4", "1", "1"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.other);
    if (*step.other != '\0') {
      ASSERT_EQ(Other->Ask(step.other), "0");
    }
    const uint64_t locked = disk->LockedReads();
    // A locate, a count and a walk, each seeing the committed state.
    ASSERT_TRUE(Log->Cursor.Locate("Call", qv::HostVariant(std::string("W2XYZ")), false, false));
    EXPECT_EQ(Log->Get(1), step.points[1]);
    EXPECT_EQ(Log->Cursor.GetRecordCount(), static_cast<int64_t>(step.calls.size()));
    EXPECT_EQ(Log->Column(0), step.calls);
    EXPECT_EQ(Log->Column(1), step.points);
    // A commit of the other process costs this one locked read; nothing
    // new, none.
    EXPECT_EQ(disk->LockedReads() - locked, step.commits ? 1u : 0u);
  }
  // The walk over the table's few pages checked the file far fewer times
  // than it read records.
  const uint64_t marks = pages->CommitMarkReads();
  EXPECT_EQ(Log->Column(0).size(), 5u);
  EXPECT_LE(pages->CommitMarkReads() - marks, 3u);
}

// The commit mark a read trusts: a changed counter, or a commit in progress,
// sends the next read under the lock to load the counters again. A commit
// in progress (its writer holds the database lock) is waited for; a mark
// that says a commit is being written while no one holds the lock (beside
// the journal this connection's commits left) is another connection's cut
// commit: the read is refused (10741).
TEST_F(LocalMultiUserTest, AChangedCommitMarkSendsTheNextReadUnderTheLock) {
  auto* disk = static_cast<TVLMDiskTableData*>(Log->Cursor.TableData);
  auto* pages = static_cast<TVLMDiskDatabaseData*>(Me->DatabaseData)->DiskPageManager();
  ASSERT_TRUE(Log->First());
  auto poke = [&](uint32_t counter, uint8_t state) {
    uint8_t bytes[5];
    VLMPutU32LE(bytes, counter);
    bytes[4] = state;
    std::lock_guard<qv::RecursiveMutex> guard(pages->CriticalSection());
    pages->DatabaseFile.WriteBuffer(bytes, 1, pages->DatabaseOffset + kVLMChangeCounterOffset, 5);
  };
  uint32_t mark = 0;
  {
    std::lock_guard<qv::RecursiveMutex> guard(pages->CriticalSection());
    ASSERT_TRUE(pages->ReadCommitMark(mark));
  }
  const struct {
    uint32_t counter;
    uint8_t state;
    bool held;        // the database lock is held until the first wait, which ends the commit (mark + 2)
    uint64_t locked;  // locked reads the next locate makes
    int32_t code;
  } cases[] = {{mark, kVLMCommitClean, false, 0, 0},     {mark + 1, kVLMCommitClean, false, 1, 0},
               {mark + 1, kVLMCommitClean, false, 0, 0}, {mark + 1, kVLMCommitWriting, true, 1, 0},
               {mark + 2, kVLMCommitClean, false, 0, 0}, {mark + 3, kVLMCommitClean, false, 1, 0},
               {mark + 3, kVLMCommitWriting, false, 1, 10741}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.counter - mark) + " " + std::to_string(c.state));
    poke(c.counter, c.state);
    qv::File holder = qv::File::Open(Path, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
    if (c.held) {
      ASSERT_TRUE(holder.Lock(kVLMDatabaseLockOffset, 1));
      qv::SetSleeper([&](uint32_t) {
        if (holder.IsByteLocked(kVLMDatabaseLockOffset)) {
          poke(mark + 2, kVLMCommitClean);
          holder.Unlock(kVLMDatabaseLockOffset, 1);
        }
      });
    }
    const uint64_t locked = disk->LockedReads();
    bool found = false;
    EXPECT_EQ(RaisedCode([&] { found = Log->Cursor.Locate("Call", qv::HostVariant(std::string("DL1X")), false, false); }),
              c.code);
    EXPECT_EQ(found, c.code == 0);
    EXPECT_EQ(disk->LockedReads() - locked, c.locked);
    qv::SetSleeper([](uint32_t) {});
  }
  poke(mark + 3, kVLMCommitClean);
}

// Inserts number on from the other process's inserts: this session keeps the
// counters it loaded only while it holds a lock that keeps the other process
// from committing to the table (its transaction's, not a post's that went),
// and reads them again after a rollback or a failed insert.
TEST_F(LocalMultiUserTest, InsertsNumberOnFromTheOtherProcessesInserts) {
  TVLMConstraintDefs checks;
  TVLMConstraintDefCheck* check = checks.AddCheck();
  check->TargetName = "Points";
  check->MinValue.SetAsInteger(0);
  LocalTable seq(*Me, "Seq");
  seq.Create({{"Call", dtString, 10}, {"Points", dtInteger}, {"ID", dtAutoinc}}, {}, &checks);
  storage_test::Peer other(Path, "Seq", "engine_localpeer");
  ASSERT_EQ(other.Greeting, "ready");
  auto* pages = static_cast<TVLMDiskDatabaseData*>(Me->DatabaseData)->DiskPageManager();
  struct Step {
    const char* me;     // begin, commit, rollback, insert CALL, refused CALL
    const char* other;  // a command of the other process, or ""
    const char* answer;
  };
  const Step steps[] = {
      {"insert A", "", ""},         {"", "insert B 0", "0"},      {"insert C", "", ""},
      {"begin", "", ""},            {"insert D", "", ""},         {"insert E", "", ""},
      {"", "insert X 0", "-13"},    {"commit", "", ""},           {"", "insert F 0", "0"},
      {"begin", "", ""},            {"insert G", "", ""},         {"rollback", "", ""},
      {"insert H", "", ""},         {"refused I", "", ""},           {"insert J", "", ""},
      {"", "insert K 0", "0"},      {"insert L", "", ""},         {"begin", "", ""},
      {"insert M", "", ""},         {"refused N", "", ""},        {"insert O", "", ""},
      {"commit", "", ""},
  };
  int32_t inserted = 0;  // in the open transaction
  for (const Step& step : steps) {
    const std::string me = step.me;
    SCOPED_TRACE(me + step.other);
    if (*step.other != '\0') {
      ASSERT_EQ(other.Ask(step.other), step.answer);
    } else if (me == "begin") {
      Me->StartTransaction();
      inserted = 0;
    } else if (me == "commit") {
      Me->Commit(false);
    } else if (me == "rollback") {
      Me->Rollback();
    } else if (me.starts_with("insert")) {
      ASSERT_EQ(seq.Append({me.substr(7), "1"}), 0);
      // Once the transaction has read the table, reading back its inserts
      // asks the file nothing.
      ++inserted;
      const uint64_t marks = pages->CommitMarkReads();
      ASSERT_TRUE(seq.Cursor.Locate("Call", qv::HostVariant(me.substr(7)), false, false));
      if (Me->InTransaction && inserted > 1) {
        EXPECT_EQ(pages->CommitMarkReads(), marks);
      }
    } else {
      // Refused by the check after the ID was taken: the counters are read
      // again, and the next read checks the file.
      ASSERT_EQ(seq.Append({me.substr(8), "-1"}), -8);
      inserted = 0;
    }
  }
  std::vector<std::string> ids;
  for (bool more = seq.First(); more; more = seq.Next()) ids.push_back(*seq.Get(0) + *seq.Get(2));
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"A1", "B2", "C3", "D4", "E5", "F6", "H7", "J8", "K9", "L10", "M11", "O12"}));
}

}  // namespace
