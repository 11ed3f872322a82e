// The disk database data: connecting sessions in single- and multi-user mode
// (also against a second process), opening and closing with the last
// session, the table list, the tables lock, commits and rollbacks.
#include <gtest/gtest.h>

#include "engine/storage/StorageTestSupport.h"
#include "tests/engine/storage/DiskTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using namespace storage_test;
using disk_test::DiskSession;
using disk_test::NewDiskDatabase;
using qv::test::RaisedCode;

class DiskDatabase : public ::testing::Test {
protected:
  void SetUp() override {
    Path = Dir.File("d.vlm");
    CreateStandardDatabase(Path, 1024, 8, {}, 20);
  }
  // A page of the session with its data filled from seed; its number.
  static int32_t NewFilledPage(TVLMDiskDatabaseData& database, int32_t sessionID, uint8_t seed) {
    std::lock_guard guard(database.CriticalSection());
    TVLMHeldPage page(database.PageManager, database.PageManager->NewPage(sessionID, kVLMPageTableRecord));
    FillData(page.Get(), seed);
    return page->PageNo;
  }
  // The page as this file holds it now, read by a fresh page manager.
  bool StoredPageIs(int32_t pageNo, uint8_t seed) {
    TVLMDiskPageManager pm;
    OpenDatabase(pm, Path, "", true);
    TVLMHeldPage page(&pm, pm.GetPage(kVLMSystemSessionID, pageNo, true, kVLMAnyPageType));
    return DataIs(page.Get(), seed);
  }

  ScratchFolder Dir;
  std::string Path;
  FastRetries Retries;
};

TEST_F(DiskDatabase, SessionsConnectByMode) {
  struct Case {
    bool FirstMulti, SecondMulti;
    bool SecondNewDatabase;  // another database data (own handle) on the file
    int32_t Code;
    int32_t FirstID, SecondID;
  };
  const Case cases[] = {
      {false, false, false, 0, 0, 0},       // single-user sessions share ID 0
      {true, true, false, 0, 0, 1},         // multi-user sessions take slots
      {true, true, true, 0, 0, 1},          // also under another session name
      {false, true, false, 20235, 0, -1},   // modes do not mix
      {true, false, false, 20235, 0, -1},
      {false, true, true, 20094, 0, -1},    // all slots are taken
      {false, false, true, 0, 0, 0},        // and a second one is read-only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.FirstMulti << c.SecondMulti << c.SecondNewDatabase);
    auto first = NewDiskDatabase(Path);
    auto other = NewDiskDatabase(Path, "other");
    TVLMDiskDatabaseData& second = c.SecondNewDatabase ? *other : *first;
    DiskSession a(first.get(), c.FirstMulti), b(&second, c.SecondMulti);
    a.Connect();
    EXPECT_EQ(a.SessionID, c.FirstID);
    EXPECT_EQ(first->IsExclusiveLocked(), !c.FirstMulti);
    EXPECT_EQ(RaisedCode([&] { b.Connect(); }), c.Code);
    if (c.Code != 0) {
      EXPECT_FALSE(b.GetConnected());
      continue;
    }
    EXPECT_EQ(b.SessionID, c.SecondID);
    EXPECT_EQ(second.ReadOnly, c.SecondNewDatabase && !c.SecondMulti);
    EXPECT_FALSE(first->ReadOnly);
  }
}

TEST_F(DiskDatabase, TheLastSessionClosesTheFile) {
  auto database = NewDiskDatabase(Path);
  DiskSession a(database.get()), b(database.get());
  a.Connect();
  b.Connect();
  EXPECT_FALSE(a.NeedsRepair);
  EXPECT_EQ(database->PageSize, 1024);
  EXPECT_EQ(database->MaxSessions, 20);
  a.Disconnect();
  EXPECT_TRUE(database->IsOpen());
  b.Disconnect();
  EXPECT_FALSE(database->IsOpen());
  EXPECT_EQ(database->PageManager, nullptr);
  // A file left in the middle of a commit opens and asks for repair.
  const uint8_t writing = kVLMCommitWriting;
  PatchBytes(Path, kVLMCommitStateOffset, &writing, 1);
  a.Connect();
  EXPECT_TRUE(database->IsOpen());
  EXPECT_TRUE(a.NeedsRepair);
  a.Disconnect();
  // Nothing is open while a failed first connection is reported.
  WriteBytes(Path, std::vector<uint8_t>(4000, 7));
  EXPECT_EQ(RaisedCode([&] { a.Connect(); }), 10470);
  EXPECT_FALSE(database->IsOpen());
  // Without a file nothing answers but with its own code.
  qv::StringList names;
  EXPECT_EQ(RaisedCode([&] { database->GetTableNames(names); }), 20520);
  EXPECT_EQ(RaisedCode([&] { database->NextObjectID(); }), 20521);
}

TEST_F(DiskDatabase, ObjectIDsAndTableListEntries) {
  auto database = NewDiskDatabase(Path);
  DiskSession session(database.get());
  session.Connect();
  std::lock_guard guard(database->CriticalSection());
  const int32_t id = database->NextObjectID();
  EXPECT_EQ(database->NextObjectID(), id + 1);
  database->LockDatabaseTables();
  database->AddTable(id, "Log", 11, 12, 13);
  database->AddTable(id + 1, "Members", 21, 22, 23);
  database->RenameTableEntry("MEMBERS", "Club");
  database->DeleteTableEntry("log");
  database->PageManager->Commit(kVLMSystemSessionID);
  database->UnlockDatabaseTables();
  int32_t tableID = 0, meta = 0, most = 0, locks = 0;
  database->GetTableInfo("club", tableID, meta, most, locks);
  EXPECT_EQ(std::vector<int32_t>({tableID, meta, most, locks}), std::vector<int32_t>({id + 1, 21, 22, 23}));
  EXPECT_EQ(RaisedCode([&] { database->GetTableInfo("Log", tableID, meta, most, locks); }), 30396);
  EXPECT_EQ(RaisedCode([&] { database->AddTable(1, "CLUB", 1, 2, 3); }), 30395);
  qv::StringList names;
  database->GetTableNames(names);
  EXPECT_EQ(names.Count(), 1);
  EXPECT_EQ(names[0], "Club");
}

// Two database data on one file behave as two processes: the table list
// each changes is read again first, so neither misses nor overwrites an
// entry of the other.
TEST_F(DiskDatabase, TableListChangesOfAnotherHandleAreSeen) {
  auto first = NewDiskDatabase(Path, "a");
  auto second = NewDiskDatabase(Path, "b");
  DiskSession a(first.get(), true), b(second.get(), true);
  a.Connect();
  b.Connect();
  auto add = [](TVLMDiskDatabaseData& database, const char* name, int32_t id) {
    std::lock_guard guard(database.CriticalSection());
    database.LockDatabaseTables();
    database.AddTable(id, name, id, id, id);
    database.PageManager->Commit(kVLMSystemSessionID);
    database.UnlockDatabaseTables();
  };
  add(*first, "One", 1);
  add(*second, "Two", 2);
  int32_t tableID = 0, meta = 0, most = 0, locks = 0;
  second->GetTableInfo("One", tableID, meta, most, locks);
  EXPECT_EQ(tableID, 1);
  qv::StringList names;
  first->GetTableNames(names);
  EXPECT_EQ(names.Count(), 2);
  // The tables lock keeps the other handle out, and nests within one.
  first->LockDatabaseTables();
  first->LockDatabaseTables();
  EXPECT_EQ(RaisedCode([&] { second->LockDatabaseTables(); }), 20210);
  first->UnlockDatabaseTables();
  EXPECT_EQ(RaisedCode([&] { second->LockDatabaseTables(); }), 20210);
  first->UnlockDatabaseTables();
  EXPECT_EQ(RaisedCode([&] { first->UnlockDatabaseTables(); }), 20211);
  second->LockDatabaseTables();
  second->UnlockDatabaseTables();
}

TEST_F(DiskDatabase, CommitAndRollback) {
  auto database = NewDiskDatabase(Path);
  DiskSession session(database.get());
  session.Connect();
  std::unique_lock guard(database->CriticalSection());
  const int32_t kept = NewFilledPage(*database, 0, 3);
  database->Commit(0, true);
  EXPECT_TRUE(StoredPageIs(kept, 3));
  session.StartTransaction();
  {
    TVLMHeldPage page(database->PageManager, database->PageManager->GetPage(0, kept, true, kVLMAnyPageType));
    FillData(page.Get(), 4);
    page->Modified = true;
  }
  session.Rollback();
  EXPECT_FALSE(database->PageManager->HasSessionChanges(0));
  EXPECT_TRUE(StoredPageIs(kept, 3));
  // Pages left uncommitted are reported when the last session leaves; the
  // database is closed when it is freed.
  NewFilledPage(*database, 0, 5);
  EXPECT_EQ(RaisedCode([&] { session.Disconnect(); }), 20097);
  EXPECT_TRUE(database->IsOpen());
  guard.unlock();
  database.reset();
}

TEST_F(DiskDatabase, MultiUserCommitWaitsForTheTableLocks) {
  auto first = NewDiskDatabase(Path, "a");
  DiskSession a(first.get(), true);
  a.Connect();
  std::lock_guard guard(first->CriticalSection());
  first->LockDatabaseTables();
  TVLMTableLocksFile locks(first->DiskPageManager());
  const int32_t table = locks.CreateFile(first->MaxSessions);
  first->PageManager->Commit(kVLMSystemSessionID);
  first->UnlockDatabaseTables();
  // The other process reads the table (type 1), which keeps commits out.
  Peer peer(Path);
  ASSERT_EQ(peer.Session, 1);
  const std::string t = std::to_string(table);
  ASSERT_EQ(peer.Ask("lock " + t + " 1 1"), "1");
  a.StartTransaction();
  ASSERT_TRUE(first->TableLockManager()->LockTable(0, kVLMLockTableChanged, false, false, 0, 1, locks));
  const int32_t pageNo = NewFilledPage(*first, 0, 6);
  EXPECT_EQ(RaisedCode([&] { a.Commit(false); }), 20233);
  EXPECT_TRUE(a.InTransaction);
  EXPECT_TRUE(first->PageManager->HasSessionChanges(0));
  EXPECT_FALSE(first->TableLockManager()->List(0).Has(kVLMLockTableCommit, static_cast<uint32_t>(table)));
  ASSERT_EQ(peer.Ask("unlock " + t + " 1"), "1");
  a.Commit(false);
  EXPECT_TRUE(StoredPageIs(pageNo, 6));
  EXPECT_TRUE(first->TableLockManager()->List(0).Items().empty());
}

// A multi-user session that leaves inside a transaction rolls it back: the
// next session in its slot starts clean, and its table locks are gone.
TEST_F(DiskDatabase, LeavingMultiUserSessionRollsBack) {
  auto database = NewDiskDatabase(Path);
  DiskSession stays(database.get(), true);
  stays.Connect();
  auto leaves = std::make_unique<DiskSession>(database.get(), true);
  leaves->Connect();
  ASSERT_EQ(leaves->SessionID, 1);
  std::lock_guard guard(database->CriticalSection());
  TVLMTableLocksFile locks(database->DiskPageManager());
  database->LockDatabaseTables();
  const int32_t table = locks.CreateFile(database->MaxSessions);
  database->PageManager->Commit(kVLMSystemSessionID);
  database->UnlockDatabaseTables();
  leaves->StartTransaction();
  ASSERT_TRUE(database->TableLockManager()->LockTable(1, kVLMLockTableChanged, false, false, 0, 1, locks));
  NewFilledPage(*database, 1, 7);
  leaves.reset();
  EXPECT_FALSE(database->PageManager->HasSessionChanges(1));
  EXPECT_TRUE(database->TableLockManager()->List(1).Items().empty());
  DiskSession next(database.get(), true);
  next.Connect();
  EXPECT_EQ(next.SessionID, 1);
  // And another handle can take what the locks kept out.
  auto other = NewDiskDatabase(Path, "x");
  DiskSession theirs(other.get(), true);
  theirs.Connect();
  std::lock_guard theirGuard(other->CriticalSection());
  TVLMTableLocksFile theirLocks(other->DiskPageManager());
  theirLocks.OpenFile(table);
  EXPECT_TRUE(other->TableLockManager()->LockTable(theirs.SessionID, kVLMLockTableCommit, false, false, 0, 1,
                                                   theirLocks));
  EXPECT_TRUE(other->TableLockManager()->UnlockTable(theirs.SessionID, kVLMLockTableCommit, false, false,
                                                     theirLocks));
}

// A second process: single-user against single-user is read-only, single-
// against multi-user finds no slot or no whole file.
TEST_F(DiskDatabase, SecondProcessByMode) {
  struct Case {
    const char* PeerMode;  // "" multi-user
    bool MineMulti;
    int32_t Code;
    bool ReadOnly;
  };
  const Case cases[] = {
      {"single", false, 0, true},
      {"single", true, 20094, false},
      {"", false, 0, true},
      {"", true, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.PeerMode << c.MineMulti);
    Peer peer(Path, c.PeerMode);
    ASSERT_EQ(peer.Greeting, "session 0");
    auto database = NewDiskDatabase(Path);
    DiskSession mine(database.get(), c.MineMulti);
    EXPECT_EQ(RaisedCode([&] { mine.Connect(); }), c.Code);
    EXPECT_EQ(database->ReadOnly, c.ReadOnly);
    if (c.Code == 0 && c.MineMulti) {
      EXPECT_EQ(mine.SessionID, 1);
    }
  }
  // The other way round: the peer comes second.
  auto database = NewDiskDatabase(Path);
  DiskSession mine(database.get());
  mine.Connect();
  EXPECT_EQ(Peer(Path, "single").Greeting, "session 0 readonly");
  EXPECT_EQ(Peer(Path).Greeting, "error 20094");
}

}  // namespace
