// SELECT through the SQL shell on the scratch database of the SQL checks:
// what each statement prints (rows joined by ";"), its refusals, the live
// verdict, and the statement lock against a second process.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"

namespace {

using sql_test::RunShell;
using sql_test::ShellRows;
using sql_test::ScratchDatabase;

TEST(SelectShellTest, PrintsTheRowsOfEachQuery) {
  const auto db = ScratchDatabase::WithSetup();
  struct Check {
    const char* Sql;
    const char* Rows;
  };
  const Check checks[] = {
      {"SELECT [name] FROM emp /* c */ WHERE salary > 60 AND dept = 'eng' ORDER BY name -- x", "alice; bob"},
      {"SELECT TOP 3 name, salary FROM emp ORDER BY salary DESC", "alice|100; bob|80; carol|70"},
      {"SELECT TOP 2, 3 name FROM emp ORDER BY id", "carol; dave"},
      {"SELECT DISTINCT dept FROM emp ORDER BY dept", "NULL; eng; ops; sales"},
      // Equal values and nulls that are not adjacent in the input.
      {"SELECT DISTINCT mgr FROM emp ORDER BY mgr", "NULL; 1; 3"},
      {"SELECT 7 / 2 AS q, 7.0 / 2 AS r, 2 + 3 * 4 AS s, 2 + '3' AS t FROM dept WHERE code = 'eng'", "3|3.5|14|23"},
      {"SELECT name || '-' || dept AS x FROM emp WHERE id IN (1, 6) ORDER BY id", "alice-eng; frank-"},
      {"SELECT name FROM emp WHERE name LIKE '%r%' ORDER BY name", "carol; erin; frank"},
      {"SELECT name FROM emp WHERE salary BETWEEN 60 AND 80 ORDER BY salary", "dave; carol; bob"},
      {"SELECT name, CASE WHEN salary >= 90 THEN 'high' ELSE 'low' END AS b, COALESCE(dept, 'none') AS d FROM emp "
       "WHERE id IN (1,2,6) ORDER BY id",
       "alice|high|eng; bob|low|eng; frank|low|none"},
      {"SELECT UPPER(name) AS u, LENGTH(name) AS l, SUBSTRING(name FROM 2 FOR 3) AS s, POS('r', name) AS p FROM emp "
       "WHERE id = 3",
       "CAROL|5|aro|3"},
      {"SELECT name, name FROM emp WHERE id = 1", "alice|alice"},
      {"SELECT name FROM emp WHERE dept <> 'eng' ORDER BY name", "carol; dave; erin; frank"},
      // WHERE and ORDER BY name a select item.
      {"SELECT salary * 2 AS s FROM emp WHERE s > 150 ORDER BY s DESC", "200; 160"},
      // Only the TOP operator skips, with and without a sort.
      {"SELECT TOP 2, 2 id, salary + 1 AS s FROM emp ORDER BY id", "2|81; 3|71"},
      {"SELECT TOP 2, 2 id, salary + 1 AS s FROM emp", "2|81; 3|71"},
      {"SELECT TOP 2, 2 name FROM emp WHERE salary < 90", "carol; dave"},
      {"SELECT DISTINCT TOP 2 dept FROM emp ORDER BY dept", "NULL; eng"},
      {"SELECT TOP 0 name FROM emp", ""},
      {"SELECT name, salary FROM emp ORDER BY 2", "frank|40; erin|50; dave|60; carol|70; bob|80; alice|100"},
      {"SELECT name, dept AS x FROM emp ORDER BY x DESC, 1",
       "erin|sales; carol|ops; dave|ops; alice|eng; bob|eng; frank|NULL"},
      {"SELECT e.name FROM emp e WHERE e.id = 2", "bob"},
      {"SELECT name FROM emp ORDER BY salary DESC, name", "alice; bob; carol; dave; erin; frank"},
      {"(SELECT name FROM emp WHERE id < 3) ORDER BY name DESC", "bob; alice"},
      {"SELECT * FROM dept WHERE budget > 300 ORDER BY budget", "ops|Operations|500; eng|Engineering|1000"},
      // '_' stays a wildcard in a pattern that ends in its only '%'.
      {"SELECT name FROM emp WHERE name LIKE '_a%' ORDER BY name", "carol; dave"},
      {"SELECT name FROM emp WHERE name LIKE 'e_%'", "erin"},
      {"SELECT name FROM emp WHERE name NOT LIKE '_o%' AND id < 4 ORDER BY id", "alice; carol"},
      // A null argument gives a null value, for ABS as for the others.
      {"SELECT ROUND(mgr), ROUND(mgr, 1), SQRT(mgr), FLOOR(mgr), CEIL(mgr), SIGN(mgr), POWER(mgr, 2), POWER(2, mgr), "
       "EXP(mgr), SIN(mgr), LOG(mgr), ABS(mgr), SQR(mgr) FROM emp WHERE id = 1",
       "NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL"},
      {"SELECT id, SIGN(mgr - 2) FROM emp WHERE id > 3 ORDER BY id", "4|1; 5|-1; 6|NULL"},
      // || reads a null part as the empty text, on either side.
      {"SELECT 'x' || dept, dept || 'x', dept || dept FROM emp WHERE id = 6", "x|x|NULL"},
      // NOT IN over a subquery is unknown for a null value, as over a list.
      {"SELECT id FROM emp WHERE mgr NOT IN (SELECT id FROM emp WHERE id > 3) ORDER BY id", "2; 3; 4; 5"},
      {"SELECT id FROM emp WHERE mgr NOT IN (4, 5, 6) ORDER BY id", "2; 3; 4; 5"},
      {"SELECT id FROM emp WHERE NOT (mgr IN (SELECT id FROM emp WHERE id < 3)) ORDER BY id", "4"},
      // Sums and products in range; out of range they are refused below.
      {"SELECT SUM(salary) * 1000000, -MIN(id) FROM emp", "400000000|-1"},
  };
  for (const Check& c : checks) {
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql);
    EXPECT_EQ(ShellRows(r.Out), c.Rows) << c.Sql << "\n" << r.Err;
    EXPECT_EQ(r.Status, 0) << c.Sql;
  }
  EXPECT_EQ(RunShell(db->File(), "SELECT name, name FROM emp WHERE id = 1").Out, "name|name_1\nalice|alice\n");
}

TEST(SelectShellTest, RefusesWithTheCodeOfTheFault) {
  const auto db = ScratchDatabase::WithSetup();
  const std::vector<sql_test::Refusal> checks = {
      {"SELECT 1", "ERROR 30184 Token 'FROM' expected, but '1' found at line 1, column 8"},
      {"SELECT X.A FROM emp", "ERROR 30327 Invalid table name in reference. Table name = EMP, table alias = , tname = X"},
      {"SELECT nosuch FROM emp", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT name FROM emp WHERE nosuch = 1", "ERROR 30144 Search condition is not applicable"},
      {"SELECT name, salary FROM emp ORDER BY 3", "ERROR 20243 Invalid field number in ORDER BY clause: 3"},
      {"SELECT name FROM emp ORDER BY nosuch", "ERROR 30195 Column 'nosuch' from ORDER BY clause not found"},
      {"SELECT name FROM emp x y", "ERROR 20260 End of SQL command expected, but 'y' found at line 1, column 24"},
      {"SELECT name FROM nosuch", "ERROR 10303 Error on opening table \"nosuch\""},
      {"SELECT TOP x name FROM emp", "ERROR 30158 Integer expected, but 'x'"},
      {"SELECT name FROM emp ORDER name", "ERROR 30188 Token 'BY' expected, but 'name'"},
      {"SELECT , FROM emp", "ERROR 30160 Expression expected, but ','"},
      {"UPDATE emp", "ERROR 30220 "},
      // Integer overflow is refused, never wrapped.
      {"SELECT salary * 100000000 FROM emp", "ERROR 30841 Integer overflow: 100 * 100000000 does not fit the type "
       "INTEGER\n"},
      {"SELECT SUM(salary) * 9223372036854775807 FROM emp", "ERROR 30841 "},
      {"SELECT id FROM emp WHERE salary + 2147483600 > 0", "ERROR 30840 Integer overflow: 100 + 2147483600 does "
       "not fit the type INTEGER\n"},
  };
  sql_test::ExpectRefusals(db->File(), checks);
}

TEST(SelectShellTest, LiveResultsAndSelectInto) {
  const auto db = ScratchDatabase::WithSetup();
  const std::vector<std::string> live{"--live"};
  EXPECT_EQ(RunShell(db->File(), "SELECT name FROM emp WHERE id < 3", live).Out, "name\nalice\nbob\nEDITABLE\n");
  EXPECT_EQ(RunShell(db->File(), "SELECT name, salary + 1 AS s FROM emp WHERE id = 1", live).Out,
            "name|s\nalice|101\nREADONLY\n");
  EXPECT_EQ(RunShell(db->File(), "SELECT TOP 1 name FROM emp", live).Out, "name\nalice\nREADONLY\n");
  // A live DISTINCT drops the duplicates too.
  const sql_test::ShellResult distinct = RunShell(db->File(), "SELECT DISTINCT dept FROM emp", live);
  EXPECT_EQ(std::count(distinct.Out.begin(), distinct.Out.end(), '\n'), 1 + 4 + 1) << distinct.Out;
  EXPECT_NE(distinct.Out.find("READONLY"), std::string::npos);

  EXPECT_EQ(RunShell(db->File(), "SELECT * INTO t2 FROM emp WHERE id > 4").Status, 0);
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT * FROM t2").Out), "5|erin|sales|50|1; 6|frank|NULL|40|NULL");
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT name AS who, salary * 2 AS twice INTO t3 FROM emp WHERE id = 2; "
                                      "SELECT * FROM t3")
                     .Out),
            "bob|160");
}

TEST(SelectShellTest, ALockHeldByAnotherProcessFailsTheStatementNamingTheTable) {
  const auto db = ScratchDatabase::WithSetup();
  storage_test::Peer peer(db->File(), "emp", "engine_sqllockpeer");
  ASSERT_EQ(peer.Greeting, "locked");
  const sql_test::ShellResult r = RunShell(db->File(), "SELECT name FROM emp", {"--fast-retries"});
  EXPECT_EQ(r.Err, "ERROR 20850 Table 'emp' is locked and cannot be read: another session held it longer than the "
                   "retries waited\n");
  EXPECT_EQ(r.Status, 1);
  // A table the peer does not hold is read as usual.
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT code FROM dept WHERE budget = 200", {"--fast-retries"}).Out), "hr");
  EXPECT_EQ(peer.Ask("unlock"), "1");
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT name FROM emp WHERE id = 1").Out), "alice");
}

}  // namespace
