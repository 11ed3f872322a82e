// The disk database data: sessions in single- and multi-user mode (also
// against a second process), opening and closing with the last session, the
// table list shared by two handles, commits and rollbacks.
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
  // A page of the session filled from seed; its number.
  static int32_t NewFilledPage(TVLMDiskDatabaseData& database, int32_t sessionID, uint8_t seed) {
    std::lock_guard guard(database.CriticalSection());
    TVLMHeldPage page(database.PageManager, database.PageManager->NewPage(sessionID, kVLMPageTableRecord));
    FillData(page.Get(), seed);
    return page->PageNo;
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
    int32_t SecondID;
  };
  const Case cases[] = {
      {false, false, false, 0, 0},      // single-user sessions share ID 0
      {true, true, false, 0, 1},        // multi-user sessions take slots
      {true, true, true, 0, 1},         // also under another session name
      {false, true, false, 20235, -1},  // modes do not mix
      {true, false, false, 20235, -1},
      {false, true, true, 20094, -1},   // every slot is taken
      {false, false, true, 0, 0},       // and a second one is read-only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.FirstMulti << c.SecondMulti << c.SecondNewDatabase);
    auto first = NewDiskDatabase(Path);
    auto other = NewDiskDatabase(Path, "other");
    TVLMDiskDatabaseData& second = c.SecondNewDatabase ? *other : *first;
    DiskSession a(first.get(), c.FirstMulti), b(&second, c.SecondMulti);
    a.Connect();
    EXPECT_EQ(first->IsExclusiveLocked(), !c.FirstMulti);
    EXPECT_EQ(RaisedCode([&] { b.Connect(); }), c.Code);
    EXPECT_EQ(b.GetConnected(), c.Code == 0);
    if (c.Code != 0) continue;
    EXPECT_EQ(b.SessionID, c.SecondID);
    EXPECT_EQ(second.ReadOnly, c.SecondNewDatabase && !c.SecondMulti);
  }
  // A second process: the peer connects first, then this one, and back.
  struct Process {
    const char* PeerMode;  // "" multi-user
    bool MineMulti;
    int32_t Code;
  };
  for (const Process& p : {Process{"single", false, 0}, Process{"single", true, 20094}, Process{"", false, 0}}) {
    Peer peer(Path, p.PeerMode);
    ASSERT_EQ(peer.Greeting, "session 0");
    auto database = NewDiskDatabase(Path);
    DiskSession mine(database.get(), p.MineMulti);
    EXPECT_EQ(RaisedCode([&] { mine.Connect(); }), p.Code) << p.PeerMode << p.MineMulti;
    EXPECT_EQ(database->ReadOnly, p.Code == 0) << p.PeerMode << p.MineMulti;
  }
  auto database = NewDiskDatabase(Path);
  DiskSession mine(database.get());
  mine.Connect();
  EXPECT_EQ(Peer(Path, "single").Greeting, "session 0 readonly");
  EXPECT_EQ(Peer(Path).Greeting, "error 20094");
}

TEST_F(DiskDatabase, TheLastSessionClosesTheFile) {
  auto database = NewDiskDatabase(Path);
  DiskSession a(database.get()), b(database.get());
  a.Connect();
  b.Connect();
  EXPECT_EQ(database->MaxSessions, 20);
  a.Disconnect();
  EXPECT_TRUE(database->IsOpen());
  b.Disconnect();
  EXPECT_FALSE(database->IsOpen());
  // A file left in the middle of a commit opens and asks for repair.
  const uint8_t writing = kVLMCommitWriting;
  PatchBytes(Path, kVLMCommitStateOffset, &writing, 1);
  a.Connect();
  EXPECT_TRUE(a.NeedsRepair);
  a.Disconnect();
  // A failed first connection leaves nothing open.
  WriteBytes(Path, std::vector<uint8_t>(4000, 7));
  EXPECT_EQ(RaisedCode([&] { a.Connect(); }), 10470);
  EXPECT_FALSE(database->IsOpen());
  qv::StringList names;
  EXPECT_EQ(RaisedCode([&] { database->GetTableNames(names); }), 20520);
  EXPECT_EQ(RaisedCode([&] { database->NextObjectID(); }), 20521);
}

// Two database data on one file behave as two processes: the table list
// each changes is read again first, so neither misses nor overwrites an
// entry of the other; the tables lock keeps the other out, and nests.
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
  second->GetTableInfo("ONE", tableID, meta, most, locks);
  EXPECT_EQ(tableID, 1);
  qv::StringList names;
  first->GetTableNames(names);
  EXPECT_EQ(names.Count(), 2);
  first->LockDatabaseTables();
  first->LockDatabaseTables();
  first->UnlockDatabaseTables();
  EXPECT_EQ(RaisedCode([&] { second->LockDatabaseTables(); }), 20210);
  first->UnlockDatabaseTables();
  EXPECT_EQ(RaisedCode([&] { first->UnlockDatabaseTables(); }), 20211);
  second->LockDatabaseTables();
  second->UnlockDatabaseTables();
}

TEST_F(DiskDatabase, CommitRollbackAndUncommittedPages) {
  auto database = NewDiskDatabase(Path);
  DiskSession session(database.get());
  session.Connect();
  std::unique_lock guard(database->CriticalSection());
  session.StartTransaction();
  NewFilledPage(*database, 0, 3);
  session.Rollback();
  EXPECT_FALSE(database->PageManager->HasSessionChanges(0));
  const int32_t pageNo = NewFilledPage(*database, 0, 4);
  database->Commit(0, true);
  // Pages left uncommitted are reported when the last session leaves; the
  // database is closed when it is freed.
  NewFilledPage(*database, 0, 5);
  EXPECT_EQ(RaisedCode([&] { session.Disconnect(); }), 20097);
  EXPECT_TRUE(database->IsOpen());
  guard.unlock();
  database.reset();
  TVLMDiskPageManager pages;
  OpenDatabase(pages, Path);
  TVLMHeldPage page(&pages, pages.GetPage(0, pageNo, true, kVLMAnyPageType));
  EXPECT_TRUE(DataIs(page.Get(), 4));
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
  locks.CreateFile(database->MaxSessions);
  database->PageManager->Commit(kVLMSystemSessionID);
  leaves->StartTransaction();
  ASSERT_TRUE(database->TableLockManager()->LockTable(1, kVLMLockTableChanged, false, false, 0, 1, locks));
  NewFilledPage(*database, 1, 7);
  leaves.reset();
  EXPECT_FALSE(database->PageManager->HasSessionChanges(1));
  EXPECT_TRUE(database->TableLockManager()->List(1).Items().empty());
  EXPECT_FALSE(locks.IsHeldByOthers(0, kVLMLockTableChanged));
  DiskSession next(database.get(), true);
  next.Connect();
  EXPECT_EQ(next.SessionID, 1);
}

}  // namespace
