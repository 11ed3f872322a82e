// The shared state of an open database: table data look-up and creation,
// sessions, commit and rollback, freeing, and the process-wide list.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "engine/core/VLMBaseEngine.h"
#include "platform/host/StringList.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace {

using namespace schema_test;

TEST(DatabaseData, TableDatasAreFoundIgnoringLetterCase) {
  int32_t freed = 0;
  {
    TestDatabaseData db(&freed);
    EXPECT_EQ(db.EngineSetting1, 20);
    EXPECT_EQ(db.EngineSetting2, 50);
    EXPECT_FALSE(db.MultiUser);
    TestCursor log;
    log.TableName = "Log";
    TestCursor upper;
    upper.TableName = "LOG";
    TVLMTableDataBase* created = db.GetTableData(&log);
    EXPECT_EQ(db.Created, 1);
    EXPECT_EQ(created->TableName, "Log");
    EXPECT_EQ(created->DatabaseData, &db);
    EXPECT_EQ(db.FindTableData(&upper), created);
    EXPECT_EQ(db.GetTableData(&upper), created);
    EXPECT_EQ(db.Created, 1);
    TestCursor other;
    other.TableName = "Members";
    EXPECT_EQ(db.FindTableData(&other), nullptr);
    db.GetTableData(&other);
    qv::StringList names;
    db.GetTableNames(names);
    EXPECT_EQ(names.CommaText(), "Log,Members");
    EXPECT_TRUE(db.TableExists("members"));
    EXPECT_FALSE(db.TableExists("Member"));
    db.FreeTableData(created);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(db.FindTableData(&log), nullptr);
    db.FreeTableData(created);  // no longer listed: nothing happens
    EXPECT_EQ(freed, 1);
  }
  EXPECT_EQ(freed, 2);  // the rest go with the database
}

TEST(DatabaseData, SessionsConnectOnce) {
  TestDatabaseData db;
  TestSession a, b;
  db.ConnectSession(&a);
  db.ConnectSession(&a);
  db.ConnectSession(&b);
  EXPECT_EQ(a.SessionID, 0);
  EXPECT_EQ(db.Sessions.size(), 2u);
  db.DisconnectSession(&a);
  ASSERT_EQ(db.Sessions.size(), 1u);
  EXPECT_EQ(db.Sessions[0], &b);
}

TEST(DatabaseData, CommitAndRollbackReachThePagesAndTheTables) {
  TestDatabaseData db;
  TestCursor c1, c2;
  c1.TableName = "A";
  c2.TableName = "B";
  auto* a = static_cast<TestTableData*>(db.GetTableData(&c1));
  auto* b = static_cast<TestTableData*>(db.GetTableData(&c2));
  // Without a page manager only the tables hear of a rollback.
  db.Commit(3, true);
  db.Rollback(3);
  EXPECT_TRUE(db.PagesCommitted.empty());
  EXPECT_TRUE(db.PagesRolledBack.empty());
  EXPECT_EQ(a->Refreshed, std::vector<int32_t>{3});
  int marker = 0;
  db.PageManager = reinterpret_cast<TVLMPageManager*>(&marker);
  db.Commit(4, false);
  db.Rollback(5);
  EXPECT_EQ(db.PagesCommitted, std::vector<int32_t>{4});
  EXPECT_EQ(db.PagesRolledBack, std::vector<int32_t>{5});
  EXPECT_EQ(b->Refreshed, (std::vector<int32_t>{3, 5}));
}

TEST(DatabaseData, FreedWhenUnusedAndLeavesTheOpenList) {
  int32_t freed = 0;
  const int32_t before = VLMOpenDatabaseList().Count();
  auto* db = new TestDatabaseData(&freed);
  VLMOpenDatabaseList().Add(db);
  VLMOpenDatabaseList().Add(db);  // listed once
  EXPECT_EQ(VLMOpenDatabaseList().Count(), before + 1);
  EXPECT_TRUE(VLMOpenDatabaseList().Contains(db));
  TestCursor c;
  c.TableName = "Log";
  db->GetTableData(&c);
  TestSession s;
  db->ConnectSession(&s);
  std::lock_guard list(VLMOpenDatabaseList().Mutex());
  db->FreeIfUnused();  // still in use
  EXPECT_TRUE(VLMOpenDatabaseList().Contains(db));
  db->DisconnectSession(&s);
  db->FreeIfUnused();
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(VLMOpenDatabaseList().Count(), before);
}

#ifndef NDEBUG
TEST(DatabaseDataDeathTest, FreeIfUnusedRequiresTheOpenListLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto* db = new TestDatabaseData;
  VLMOpenDatabaseList().Add(db);
  EXPECT_DEATH(db->FreeIfUnused(), "FreeIfUnused called without the open-database list's lock");
  std::lock_guard list(VLMOpenDatabaseList().Mutex());
  db->FreeIfUnused();
  EXPECT_FALSE(VLMOpenDatabaseList().Contains(db));
}
#endif

}  // namespace
