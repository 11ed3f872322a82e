// UPDATE, DELETE and INSERT ... SELECT through the SQL shell, each case on a
// fresh copy of the setup database: what the statement prints (or the error
// it fails with) and what a query then reads; and the table locks against a
// second process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"

namespace {

using sql_test::RunShell;
using sql_test::ShellRows;
using sql_test::ScratchDatabase;

struct Check {
  const char* Sql;
  // "OK n", or the start of the ERROR line on standard error.
  const char* Prints;
  // A query run afterwards, and its rows.
  const char* Query;
  const char* Rows;
};

void RunChecks(const std::vector<Check>& checks) {
  // Each case on a copy of one setup database.
  const auto setup = ScratchDatabase::WithSetup();
  for (const Check& c : checks) {
    qv::test::ScratchFolder folder;
    const std::string file = folder.File("copy.vlm");
    std::filesystem::copy_file(setup->File(), file);
    const sql_test::ShellResult r = RunShell(file, c.Sql);
    const std::string prints(c.Prints);
    if (prints.rfind("ERROR", 0) == 0) {
      EXPECT_EQ(r.Err.rfind(prints, 0), 0u) << c.Sql << "\n" << r.Err;
      EXPECT_EQ(r.Status, 1) << c.Sql;
    } else {
      EXPECT_EQ(r.Out, prints + "\n") << c.Sql << "\n" << r.Err;
    }
    if (c.Query != nullptr) {
      EXPECT_EQ(ShellRows(RunShell(file, c.Query).Out), c.Rows) << c.Sql;
    }
  }
}

constexpr const char* kIds = "SELECT id FROM emp ORDER BY id";
constexpr const char* kDepts = "SELECT * FROM dept ORDER BY code";
constexpr const char* kSetupDepts = "eng|Engineering|1000; hr|Human Resources|200; ops|Operations|500";

TEST(ModifyShellTest, UpdateChangesTheSelectedRowsOnce) {
  RunChecks({
      // The values read the row as it was.
      {"UPDATE emp SET salary = mgr, mgr = salary WHERE id = 2", "OK 1", "SELECT salary, mgr FROM emp WHERE id = 2",
       "1|80"},
      {"UPDATE emp SET salary = salary + 5 WHERE dept = 'ops'", "OK 2",
       "SELECT salary FROM emp WHERE dept = 'ops' ORDER BY id", "75; 65"},
      {"UPDATE emp SET salary = salary + 100 WHERE salary > 50", "OK 4", "SELECT salary FROM emp ORDER BY id",
       "200; 180; 170; 160; 50; 40"},
      // Rows that move in the key's order are changed once.
      {"UPDATE emp SET id = id + 10 WHERE id > 0", "OK 6", kIds, "11; 12; 13; 14; 15; 16"},
      // The WHERE clause is that of a query: computed, with parentheses.
      {"UPDATE emp SET salary = salary * 2 WHERE (salary * 2 > 150) AND NOT dept IS NULL", "OK 2",
       "SELECT salary FROM emp WHERE salary > 150 ORDER BY id", "200; 160"},
      {"UPDATE emp SET emp.salary = 1, dept = NULL WHERE id = 1", "OK 1",
       "SELECT salary, dept FROM emp WHERE id = 1", "1|NULL"},
      {"UPDATE emp AS e SET name = 'x' WHERE e.id = 3", "OK 1", "SELECT name FROM emp WHERE id = 3", "x"},
      {"UPDATE emp SET salary = 0 WHERE id > 99", "OK 0", nullptr, nullptr},
      {"UPDATE emp SET mgr = 0 WHERE mgr IS NULL; DELETE FROM emp WHERE id = 6", "OK 3", kIds, "1; 2; 3; 4; 5"},
      // A key clash on the third row: nothing changes.
      {"UPDATE emp SET id = CASE WHEN id = 3 THEN 6 ELSE id + 10 END", "ERROR 30319 Primary Key constraint 'C_PK$id' "
       "violated. Duplicate found.\n", kIds, "1; 2; 3; 4; 5; 6"},
  });
}

TEST(ModifyShellTest, TimestampColumnsAndIntegerRanges) {
  RunChecks({
      // A TIMESTAMP column is a date-time to SQL and to the shell's dataset.
      {"CREATE TABLE c (id INTEGER, ts TIMESTAMP); INSERT INTO c (id, ts) VALUES (1, TIMESTAMP '2024-01-02 03:04:05')",
       "OK 1", "SELECT * FROM c", "1|2024-01-02 03:04:05"},
      {"CREATE TABLE c (id INTEGER, ts TIMESTAMP); INSERT INTO c VALUES (1, NULL), (2, NULL); "
       "UPDATE c SET ts = TIMESTAMP '2024-05-06 07:08:09' WHERE id = 2",
       "OK 3", "SELECT id, ts FROM c WHERE ts IS NOT NULL", "2|2024-05-06 07:08:09"},
      {"CREATE TABLE c (id INTEGER, ts TIMESTAMP); INSERT INTO c VALUES (1, TIMESTAMP '2024-01-02 03:04:05')", "OK 1",
       "SELECT ts, CAST(ts AS DATE) AS d, EXTRACT(HOUR FROM ts) AS h FROM c", "2024-01-02 03:04:05|2024-01-02|3"},
      // A value its integer column cannot hold is refused, never cut.
      {"INSERT INTO emp (id, salary) VALUES (7, 99999999999)",
       "ERROR 20840 Value 99999999999 is out of range for column 'salary' of type INTEGER (-2147483648 to "
       "2147483647)\n",
       kIds, "1; 2; 3; 4; 5; 6"},
      {"UPDATE emp SET salary = 2147483648 WHERE id = 1", "ERROR 20840 ", "SELECT salary FROM emp WHERE id = 1", "100"},
      {"CREATE TABLE s (a SHORTINT, b BYTE, c CARDINAL, d SMALLINT); INSERT INTO s VALUES (-128, 255, 4294967295, "
       "-32768); INSERT INTO s VALUES (128, 0, 0, 0)",
       "ERROR 20840 Value 128 is out of range for column 'a' of type SHORTINT", "SELECT * FROM s",
       "-128|255|4294967295|-32768"},
      {"INSERT INTO emp (id, salary) SELECT 7, budget * 1000000000 FROM dept", "ERROR 30841 ", kIds,
       "1; 2; 3; 4; 5; 6"},
      // Aggregates overflow as the arithmetic does.
      {"CREATE TABLE big (b LARGEINT); INSERT INTO big VALUES (9223372036854775807), (9223372036854775807); "
       "SELECT SUM(b) FROM big",
       "ERROR 30840 Integer overflow: 9223372036854775807 + 9223372036854775807 does not fit the type LARGEINT\n",
       "SELECT COUNT(*) FROM big", "2"},
  });
}

TEST(ModifyShellTest, RowValueSetTakesTheRowOfASubquery) {
  RunChecks({
      {"UPDATE emp SET (salary, mgr) = (SELECT budget, 9 FROM dept WHERE code = 'hr') WHERE id = 6", "OK 1",
       "SELECT salary, mgr FROM emp WHERE id = 6", "200|9"},
      {"UPDATE emp SET (salary, mgr) = (SELECT budget FROM dept WHERE code = 'hr')",
       "ERROR 20259 Number of field names does not equal the number of field values: 2 <> 1", kIds,
       "1; 2; 3; 4; 5; 6"},
  });
}

TEST(ModifyShellTest, DeleteAndInsertSelect) {
  RunChecks({
      {"DELETE FROM emp WHERE salary < 60", "OK 2", kIds, "1; 2; 3; 4"},
      {"DELETE FROM emp", "OK 6", kIds, ""},
      {"DELETE FROM emp e WHERE e.dept = 'eng' OR e.dept IS NULL", "OK 3", kIds, "3; 4; 5"},
      {"INSERT INTO dept (code,title,budget) SELECT dept, name, salary FROM emp WHERE id = 5", "OK 1",
       "SELECT * FROM dept WHERE code = 'sales'", "sales|erin|50"},
      {"INSERT INTO dept (SELECT name, dept, id FROM emp WHERE id > 4)", "OK 2", "SELECT * FROM dept WHERE budget < 10",
       "erin|sales|5; frank|NULL|6"},
      // A source column repeated, also qualified.
      {"INSERT INTO dept SELECT e.id, e.id, e.id FROM emp e WHERE e.id = 2", "OK 1",
       "SELECT * FROM dept WHERE budget = 2", "2|2|2"},
      // Fewer columns than fields fill the first fields.
      {"INSERT INTO dept SELECT DISTINCT dept FROM emp WHERE dept = 'eng'", "OK 1",
       "SELECT * FROM dept WHERE budget IS NULL", "eng|NULL|NULL"},
      // The query reads the target's rows as they were.
      {"INSERT INTO dept SELECT * FROM dept", "OK 3", "SELECT code FROM dept ORDER BY code",
       "eng; eng; hr; hr; ops; ops"},
      // A key clash on the second row: no row goes in.
      {"INSERT INTO emp (id, name) SELECT budget / 100 + 1, code FROM dept", "ERROR 30319 ", kIds, "1; 2; 3; 4; 5; 6"},
  });
}

TEST(ModifyShellTest, RefusalsCarryTheirCodes) {
  RunChecks({
      {"UPDATE emp x SET x.salary = 1", "ERROR 30221 Token '=' expected, but '.'", nullptr, nullptr},
      {"UPDATE emp SET salary 1", "ERROR 30221 ", nullptr, nullptr},
      {"UPDATE emp salary = 1", "ERROR 30220 Token 'SET' expected, but '='", nullptr, nullptr},
      {"UPDATE emp SET salary = 1 mgr = 2", "ERROR 30222 Token ',' expected, but 'mgr'", nullptr, nullptr},
      {"UPDATE emp SET salary = 1,", "ERROR 30223 ", nullptr, nullptr},
      {"UPDATE emp SET salary = WHERE id = 1", "ERROR 20780 Expression expected, but 'WHERE'", nullptr, nullptr},
      {"UPDATE emp SET (salary mgr) = (SELECT 1, 2 FROM dept)", "ERROR 30494 Token ')' expected", nullptr, nullptr},
      {"UPDATE emp SET (salary) 1", "ERROR 30495 Token '=' expected, but '1'", nullptr, nullptr},
      {"UPDATE emp SET (salary) = (1)", "ERROR 20781 Subquery expected, but '('", nullptr, nullptr},
      {"UPDATE emp SET salary = 1 WHERE id = 1 2", "ERROR 20260 End of SQL command expected, but '2'", nullptr,
       nullptr},
      {"UPDATE emp SET nosuch = 1", "ERROR 20841 Column 'nosuch' not found in table 'emp'", nullptr, nullptr},
      {"UPDATE nosuch SET a = 1", "ERROR 10303 ", nullptr, nullptr},
      {"DELETE emp", "ERROR 30184 Token 'FROM' expected, but 'emp' found at line 1, column 8", nullptr, nullptr},
      {"DELETE", "ERROR 30224 ", nullptr, nullptr},
      {"DELETE FROM emp WHERE id = 1 2", "ERROR 20260 ", kIds, "1; 2; 3; 4; 5; 6"},
      {"INSERT INTO dept SELECT * FROM emp", "ERROR 20259 Number of field names does not equal the number of field "
       "values: 3 <> 5", kDepts, kSetupDepts},
      {"INSERT INTO dept (code, title) SELECT name FROM emp", "ERROR 20259 ", kDepts, kSetupDepts},
      {"INSERT INTO dept (code, nosuch) SELECT name, id FROM emp", "ERROR 20841 ", kDepts, kSetupDepts},
      // The lexer finds the '(' that is never closed first.
      {"INSERT INTO dept (SELECT code, title, budget FROM dept", "ERROR 30059 Missing symbol ')'", nullptr, nullptr},
      {"INSERT INTO dept (SELECT code, title, budget FROM dept d e)", "ERROR 20256 Missing symbol ')' at line 1, "
       "column 58", kDepts, kSetupDepts},
      {"INSERT INTO dept SELECT code FROM dept d e", "ERROR 20260 ", nullptr, nullptr},
      {"INSERT INTO dept SELECT code INTO x FROM dept", "ERROR 20783 ", nullptr, nullptr},
      {"INSERT INTO dept (code) budget", "ERROR 30213 ", nullptr, nullptr},
  });
}

TEST(ModifyShellTest, ATableAnotherProcessChangesKeepsTheStatementsOut) {
  const auto db = ScratchDatabase::WithSetup();
  // The peer holds emp as changed in its transaction: queries read it,
  // writes of other sessions wait.
  storage_test::Peer peer(db->File(), "emp:3", "engine_sqllockpeer");
  ASSERT_EQ(peer.Greeting, "locked");
  const std::vector<std::string> fast{"--fast-retries"};
  const struct {
    const char* Sql;
    const char* Err;
  } cases[] = {
      {"UPDATE emp SET salary = 0", "ERROR 20851 Table 'emp' is locked and cannot be changed: another session"},
      {"DELETE FROM emp WHERE id > 3", "ERROR 20851 Table 'emp' is locked and cannot be changed"},
      {"INSERT INTO emp (id, name) SELECT budget, code FROM dept", "ERROR 20851 "},
  };
  for (const auto& c : cases) {
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql, fast);
    EXPECT_EQ(r.Err.rfind(c.Err, 0), 0u) << c.Sql << ": " << r.Err;
  }
  const char* const emp = "SELECT id, salary FROM emp ORDER BY id";
  const char* const unchanged = "1|100; 2|80; 3|70; 4|60; 5|50; 6|40";
  EXPECT_EQ(ShellRows(RunShell(db->File(), emp, fast).Out), unchanged);
  // dept is not held: it takes rows from emp.
  EXPECT_EQ(RunShell(db->File(), "INSERT INTO dept (code) SELECT name FROM emp WHERE id = 1", fast).Out, "OK 1\n");
  EXPECT_EQ(peer.Ask("unlock"), "1");
  EXPECT_EQ(RunShell(db->File(), "UPDATE emp SET salary = 0 WHERE id = 1").Out, "OK 1\n");
}

TEST(ModifyShellTest, EachKindOfLockConflictHasOneCodeAndNamesTheTable) {
  const auto db = ScratchDatabase::WithSetup();
  const struct {
    const char* Peer;     // the table the peer holds, and how
    const char* Command;  // what the peer does then ("" nothing)
    const char* Sql;
    const char* Err;
  } cases[] = {
      {"emp", "", "SELECT name FROM emp", "ERROR 20850 Table 'emp' is locked and cannot be read: another session"},
      {"emp:3", "", "START TRANSACTION; DELETE FROM emp WHERE id = 6; COMMIT",
       "ERROR 20851 Table 'emp' is locked and cannot be changed: another session"},
      {"emp:0", "edit", "UPDATE emp SET salary = 1 WHERE id = 1",
       "ERROR 20852 A record of table 'emp' is locked: another session held it longer than the retries waited\n"},
      {"emp:0", "locktables", "SELECT code FROM dept",
       "ERROR 20853 The database of table 'dept' is locked: another session"},
  };
  for (const auto& c : cases) {
    storage_test::Peer peer(db->File(), c.Peer, "engine_sqllockpeer");
    ASSERT_EQ(peer.Greeting, "locked");
    if (*c.Command != 0) {
      ASSERT_EQ(peer.Ask(c.Command), "1");
    }
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql, {"--fast-retries"});
    EXPECT_EQ(r.Err.rfind(c.Err, 0), 0u) << c.Sql << ": " << r.Err;
  }
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT COUNT(*) FROM emp WHERE salary > 1").Out), "6");
}

TEST(ModifyShellTest, ATransactionReadsTheRowAsAnotherSessionLeftIt) {
  // The shell's UPDATE waits for the peer's hold on emp, which changes the
  // row meanwhile: the UPDATE reads the row after its wait, never refuses
  // it as changed by another process.
  const auto db = ScratchDatabase::WithSetup();
  storage_test::Peer peer(db->File(), "emp:3", "engine_sqllockpeer");
  ASSERT_EQ(peer.Greeting, "locked");
  sql_test::ShellRun update(db->File(), "START TRANSACTION; UPDATE emp SET salary = salary + 1 WHERE id = 1; COMMIT");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(peer.Ask("bump salary"), "1");
  EXPECT_EQ(peer.Ask("unlock"), "1");
  const sql_test::ShellResult r = update.Wait();
  EXPECT_EQ(r.Out, "OK 1\n") << r.Err;
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT salary FROM emp WHERE id = 1").Out), "102");
}

}  // namespace
