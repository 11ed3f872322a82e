// UPDATE, DELETE and INSERT ... SELECT in this process, through the query
// component: a failed statement takes back every row it changed on a disk
// table (not on a memory table, which keeps no rollback) and is not tried
// again; an UPDATE that meets a record another session holds is tried again
// and counts each row once; explicit transactions; and INSERT ... SELECT
// leaves no temporary table, reporting a copy that lost rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/dataset/Fields.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "tests/engine/sql/SqlTestSupport.h"

namespace {

// The code a statement fails with: an engine error's native code, a refused
// write's record-level code, 1 for any other exception, 0 when it ran.
int32_t FailureCode(const std::function<void()>& run) {
  try {
    run();
  } catch (const EVLMException& e) {
    return e.NativeError;
  } catch (const EVLMEngineError& e) {
    return e.ErrorCode;
  } catch (const std::exception&) {
    return 1;
  }
  return 0;
}

class ModifyQueryTest : public sql_test::QueryFixture {
protected:
  void SetUp() override {
    QueryFixture::SetUp();
    Database->MultiUser = true;
    Run(sql_test::kSetupSql);
    Saved_ = VLMRetrySettings();
    TVLMRetrySettings& retry = VLMChangeRetrySettings();
    retry.RecordLockTries = 2;
    retry.RecordLockDelayMs = 1;
    retry.ModifyLockTries = 2;
    retry.ModifyLockDelayMs = 2;
    retry.UpdateAttemptDelayMs = kAttemptDelay;
    qv::SetSleeper([this](uint32_t ms) {
      if (ms == kAttemptDelay) ++Retries;
      if (OnSleep) OnSleep(ms);
    });
  }
  void TearDown() override {
    qv::SetSleeper(nullptr);
    VLMChangeRetrySettings() = Saved_;
    QueryFixture::TearDown();
  }
  int32_t Fails(const std::string& sql) {
    return FailureCode([&] { Run(sql); });
  }
  // Field field of every row of table ("MEMORY.t" for a memory table).
  std::vector<std::string> Column(const std::string& table, int32_t field, const std::string& index = "") {
    std::vector<std::string> values;
    const bool memory = table.rfind("MEMORY.", 0) == 0;
    for (const std::string& row : sql_test::TableRows(memory ? "MEMORY" : "SQLDB", memory ? table.substr(7) : table,
                                                      index)) {
      size_t start = 0;
      for (int32_t i = 0; i < field; ++i) start = row.find('|', start) + 1;
      values.push_back(row.substr(start, row.find('|', start) - start));
    }
    return values;
  }

  static constexpr uint32_t kAttemptDelay = 7;
  int32_t Retries = 0;
  std::function<void(uint32_t)> OnSleep;

private:
  TVLMRetrySettings Saved_;
};

using Strings = std::vector<std::string>;

TEST_F(ModifyQueryTest, AFailedStatementTakesBackTheRowsItChangedAndIsNotTriedAgain) {
  // The third row clashes with the key of the sixth, after rows 1 and 2 have
  // moved to 11 and 12.
  const std::string clash = "UPDATE emp SET id = CASE WHEN id = 3 THEN 6 ELSE id + 10 END";
  // The key violation inside the write is the statement's refusal.
  EXPECT_EQ(Fails(clash), 30319);
  EXPECT_EQ(Retries, 0);
  EXPECT_EQ(Column("emp", 0), (Strings{"1", "2", "3", "4", "5", "6"}));
  // The table's counters and key index are those of the committed rows.
  EXPECT_EQ(Run("INSERT INTO emp (id, name) VALUES (11, 'gina')"), 1);
  EXPECT_EQ(Column("emp", 0, "C_PK$id"), (Strings{"1", "2", "3", "4", "5", "6", "11"}));
  EXPECT_EQ(Run("DELETE FROM emp WHERE id = 11"), 1);

  // A table component of the session open meanwhile reads the rows as they
  // are after the rollback.
  TVLMTable emp;
  emp.SetDatabaseName("SQLDB");
  emp.SetTableName("emp");
  emp.SetIndexName("C_PK$id");
  emp.Open();
  EXPECT_EQ(Fails("INSERT INTO emp SELECT CASE WHEN id = 3 THEN 1 ELSE id + 20 END, name, dept, salary, mgr "
                  "FROM emp"),
            30319);
  EXPECT_EQ(Column("emp", 0), (Strings{"1", "2", "3", "4", "5", "6"}));
  emp.Refresh();
  EXPECT_EQ(emp.RecordCount(), 6);
  emp.Last();
  EXPECT_EQ(emp.FieldByName("id")->AsInteger(), 6);
  EXPECT_FALSE(emp.Locate("id", qv::HostVariant(21), 0));
  emp.Close();

  // A memory table keeps no rollback: what was changed before the clash
  // stays changed, once.
  Run("CREATE TABLE MEMORY m (id INTEGER NOT NULL, n INTEGER, PRIMARY KEY (id));"
      "INSERT INTO MEMORY m SELECT id, salary FROM emp");
  EXPECT_EQ(Fails("UPDATE MEMORY m SET id = CASE WHEN id = 3 THEN 6 ELSE id + 10 END"), 30319);
  EXPECT_EQ(Retries, 0);
  EXPECT_EQ(Column("MEMORY.m", 0), (Strings{"11", "12", "3", "4", "5", "6"}));
  Run("DROP TABLE MEMORY m");

  // On a file alone, with the table kept open between statements (a
  // statement that read it too), the count is again that of the rows: the
  // rollback did not leave the rows it took back counted.
  Reopen(false);
  Query = std::make_unique<TVLMQuery>();
  Query->SetDatabaseName("SQLDB");
  Run("CREATE TABLE k (k INTEGER NOT NULL, a INTEGER, PRIMARY KEY (k));"
      "CREATE TABLE p (a INTEGER); INSERT INTO p VALUES (1), (2), (1);"
      "INSERT INTO k SELECT k + 1, a FROM k");
  EXPECT_EQ(Fails("INSERT INTO k SELECT a, a FROM p"), 30319);
  Query->SetSQL("SELECT COUNT(*) AS n FROM k");
  Query->Open();
  EXPECT_EQ(Query->FieldByName("n")->AsInteger(), 0);
  Query->Close();
  EXPECT_EQ(Rows("k"), Strings{});
}

TEST_F(ModifyQueryTest, AnUpdateTriedAgainAfterALockConflictCountsEachRowOnce) {
  // A second session holds row 3 in an edit until this process's UPDATE
  // waits for its second attempt.
  TVLMDatabase peerDatabase;
  peerDatabase.SetDatabaseName("PEERDB");
  peerDatabase.SetDatabaseFileName(Folder.File("q.vlm"));
  peerDatabase.MultiUser = true;
  peerDatabase.SilentMode = true;
  TVLMTable peer;
  peer.SetDatabaseName("PEERDB");
  peer.SetTableName("emp");
  peer.Open();
  ASSERT_TRUE(peer.Locate("id", qv::HostVariant(3), 0));
  peer.Edit();
  OnSleep = [&](uint32_t ms) {
    if (ms == kAttemptDelay && peer.State() == qv::dsEdit) peer.Cancel();
  };
  EXPECT_EQ(Run("UPDATE emp SET salary = salary + 1"), 6);
  EXPECT_EQ(Retries, 1);
  EXPECT_EQ(Column("emp", 3), (Strings{"101", "81", "71", "61", "51", "41"}));

  // A lock that stays: every attempt, then the record lock's conflict.
  peer.Locate("id", qv::HostVariant(4), 0);
  peer.Edit();
  OnSleep = nullptr;
  Retries = 0;
  EXPECT_EQ(Fails("UPDATE emp SET salary = 0 WHERE id > 2"), 20852);
  EXPECT_EQ(Retries, VLMRetrySettings().UpdateAttempts - 1);
  // DELETE is not tried again; the rows before the held one come back.
  EXPECT_EQ(Fails("DELETE FROM emp"), 20852);
  EXPECT_EQ(Column("emp", 3), (Strings{"101", "81", "71", "61", "51", "41"}));
  peer.Cancel();
  // A table another session is changing keeps UPDATE, DELETE and INSERT ...
  // SELECT out (a write lock's conflict); nothing is written.
  ASSERT_TRUE(peer.Handle()->LockTable(3, 1, 0, true));
  Retries = 0;
  EXPECT_EQ(Fails("UPDATE emp SET salary = 0"), 20851);
  EXPECT_EQ(Retries, VLMRetrySettings().UpdateAttempts - 1);
  EXPECT_EQ(Fails("DELETE FROM emp"), 20851);
  EXPECT_EQ(Fails("INSERT INTO emp (id) SELECT budget FROM dept"), 20851);
  EXPECT_TRUE(peer.Handle()->UnlockTable(3, false));
  EXPECT_EQ(Column("emp", 3), (Strings{"101", "81", "71", "61", "51", "41"}));
  EXPECT_EQ(Run("DELETE FROM emp WHERE id = 6"), 1);
}

TEST_F(ModifyQueryTest, InsideATransactionTheRowsWaitForItsEnd) {
  Run("START TRANSACTION; UPDATE emp SET salary = 0 WHERE id < 3; DELETE FROM emp WHERE id = 6;"
      "INSERT INTO emp (id, name) SELECT budget, code FROM dept");
  EXPECT_EQ(Query->RowsAffected(), 6);
  EXPECT_EQ(Column("emp", 0).size(), 8u);
  Run("ROLLBACK");
  EXPECT_EQ(Column("emp", 3), (Strings{"100", "80", "70", "60", "50", "40"}));
  Run("START TRANSACTION; UPDATE emp SET salary = 0 WHERE id < 3; DELETE FROM emp WHERE id = 6; COMMIT");
  EXPECT_EQ(Column("emp", 3), (Strings{"0", "0", "70", "60", "50"}));
}

// A statement that names the database's own file ('"<file>".emp') runs
// through the same connection, inside its transaction: it reads what the
// transaction changed, waits for no lock (it sleeps not once), and goes
// with the rollback.
TEST_F(ModifyQueryTest, AStatementNamingItsOwnFileRunsInsideTheTransaction) {
  const std::string emp = "\"" + Folder.File("q.vlm") + "\".emp";
  int32_t sleeps = 0;
  OnSleep = [&](uint32_t) { ++sleeps; };
  struct Case {
    std::string Sql;
    int64_t Rows;
  };
  for (const Case& c : {Case{"UPDATE " + emp + " SET salary = salary + 1 WHERE salary = 0", 2},
                        Case{"DELETE FROM " + emp + " WHERE salary = 0", 2},
                        Case{"INSERT INTO " + emp + " (id, salary) VALUES (7, 0)", 1},
                        Case{"INSERT INTO " + emp + " (id, salary) SELECT id + 10, salary FROM " + emp +
                                 " WHERE salary = 0",
                             2}}) {
    SCOPED_TRACE(c.Sql);
    Run("START TRANSACTION; UPDATE emp SET salary = 0 WHERE id < 3");
    EXPECT_EQ(Run(c.Sql), c.Rows);
    Run("ROLLBACK");
    EXPECT_EQ(sleeps, 0);
    EXPECT_EQ(Column("emp", 3), (Strings{"100", "80", "70", "60", "50", "40"}));
  }
}

TEST_F(ModifyQueryTest, ParametersBindInSetAndWhereAndARunRepeats) {
  Query->SetSQL("UPDATE emp SET salary = salary + :raise WHERE dept = :dept AND salary < :raise * 10");
  Query->ParamByName("raise")->SetAsInteger(9);
  Query->ParamByName("dept")->SetAsString("ops");
  Query->ExecSQL();
  EXPECT_EQ(Query->RowsAffected(), 2);
  // The same statement once more, with a value that selects one row less.
  Query->ParamByName("raise")->SetAsInteger(7);
  Query->ExecSQL();
  EXPECT_EQ(Query->RowsAffected(), 1);
  EXPECT_EQ(Column("emp", 3), (Strings{"100", "80", "79", "76", "50", "40"}));
  Query->SetSQL("DELETE FROM emp WHERE id > :id; INSERT INTO dept (code, budget) SELECT name, :id FROM emp");
  Query->ParamByName("id")->SetAsInteger(4);
  Query->ExecSQL();
  EXPECT_EQ(Query->RowsAffected(), 2 + 4);
  Query->ExecSQL();
  EXPECT_EQ(Query->RowsAffected(), 0 + 4);
  EXPECT_EQ(Column("dept", 2).size(), 11u);
}

TEST_F(ModifyQueryTest, InsertSelectLeavesNoTemporaryTableAndReportsACopyThatLostRows) {
  // Temporary tables go to files at once, where the file layer can fail.
  const sql_test::SpilledTemporaryTables spilled;
  auto restore = qv::ScopeExit([] { qv::SetFileFaultAfter(0, qv::FileFault::Fail); });
  // The target is a memory table, so that only the temporary tables write
  // to files: a failed write of the query's result or of the copy of it.
  Run("CREATE TABLE MEMORY m (id INTEGER, name VARCHAR(20))");
  // emp doubled four times over: 96 rows, enough for several writes.
  for (int32_t top = 6; top < 96; top *= 2)
    Run("INSERT INTO emp SELECT id + " + std::to_string(top) + ", name, dept, salary, mgr FROM emp");
  const std::string insert = "INSERT INTO MEMORY m SELECT id, name FROM emp ORDER BY name DESC";
  const int64_t before = qv::FileWriteCount();
  EXPECT_EQ(Run(insert), 96);
  const int64_t writes = qv::FileWriteCount() - before;
  EXPECT_EQ(TemporaryTables("TmpTableForInsert"), 0);
  // A write of the statement fails, one after the other.
  int32_t rows = 96;
  int32_t lostCopies = 0;
  for (int64_t k = 1; k <= writes; k += std::max<int64_t>(1, writes / 40)) {
    qv::SetFileFaultAfter(k, qv::FileFault::Fail);
    const int32_t code = FailureCode([&] { Run(insert); });
    qv::SetFileFaultAfter(0, qv::FileFault::Fail);
    // All rows, or none and an error: never fewer rows reported as done.
    if (code == 0) rows += 96;
    lostCopies += code == 10403 ? 1 : 0;
    ASSERT_EQ(static_cast<int32_t>(Column("MEMORY.m", 0).size()), rows) << "fault at write " << k << ", code " << code;
    ASSERT_EQ(TemporaryTables("TmpTableForInsert"), 0) << "fault at write " << k;
  }
  EXPECT_GT(lostCopies, 0);
  Run("DROP TABLE MEMORY m");
}

}  // namespace
