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
      // A later entry of a column already sorted on changes nothing.
      {"SELECT name FROM emp ORDER BY salary, salary DESC", "frank; erin; dave; carol; bob; alice"},
      {"SELECT name FROM emp WHERE id < 4 ORDER BY name DESC, salary, name", "carol; bob; alice"},
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
      // Over a subquery without rows IN is false and NOT IN true, for a null
      // value too; a searched CASE passes a WHEN that is unknown by.
      {"SELECT id FROM emp WHERE mgr NOT IN (SELECT id FROM emp WHERE id > 9) ORDER BY id", "1; 2; 3; 4; 5; 6"},
      {"SELECT id, CASE WHEN mgr BETWEEN NULL AND 5 THEN 'p' WHEN mgr > 2 THEN 'r' ELSE 'q' END FROM emp "
       "WHERE id IN (1, 2, 4) ORDER BY id",
       "1|q; 2|q; 4|r"},
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

// An alias names its item and a column name its column; neither takes the
// other's place (in the select list, DISTINCT, GROUP BY, ORDER BY and the
// conditions), and a number names its result column.
TEST(SelectShellTest, AliasesAndColumnNamesNameTheirOwnThings) {
  const auto db = ScratchDatabase::WithSetup();
  ASSERT_EQ(RunShell(db->File(), "CREATE TABLE t (c0 INTEGER, c1 INTEGER, c2 INTEGER); "
                                 "CREATE TABLE u (c0 INTEGER, c1 INTEGER, c2 INTEGER); "
                                 "INSERT INTO t VALUES (1, 0, 7), (2, 0, 8), (3, 5, 9); INSERT INTO u VALUES (10, 20, 30)")
                .Out,
            "OK 4\n");
  struct Check {
    const char* Sql;
    const char* Printed;  // the header, then the rows, joined by "; "
  };
  const Check checks[] = {
      {"SELECT DISTINCT - c0 AS c1 FROM t", "c1; -1; -2; -3"},
      {"SELECT c2 AS x, c1 AS c2 FROM t", "x|c2; 7|0; 8|0; 9|5"},
      {"SELECT c0 AS c1, c1 FROM t", "c1|c1_1; 1|0; 2|0; 3|5"},
      {"SELECT c0 AS c2, c0 * 2 AS c0 FROM t", "c2|c0; 1|2; 2|4; 3|6"},
      {"SELECT - 19 AS c1 FROM t GROUP BY c1", "c1; -19; -19"},
      {"SELECT - 19 AS c1 FROM u, t GROUP BY t.c1", "c1; -19; -19"},
      {"SELECT - t.c1 AS x FROM u, t GROUP BY t.c1", "x; 0; -5"},
      {"SELECT DISTINCT COUNT(*) AS c1 FROM t, u", "c1; 3"},
      {"SELECT c0 AS x FROM t WHERE x > 1", "x; 2; 3"},
      {"SELECT c0 AS k, c1 AS j FROM t WHERE CASE k WHEN 2 THEN j + 1 ELSE j END = 1", "k|j; 2|0"},
      // A column's name is the column, also where an alias has that name.
      {"SELECT c0 AS c1 FROM t WHERE c1 > 0", "c1; 3"},
      {"SELECT c0 AS c2 FROM t GROUP BY c2 ORDER BY c2", "ERROR 10342 "},
      // Two items under one name get distinct names.
      {"SELECT 1 AS x, 2 AS x FROM u", "x|x_1; 1|2"},
      {"SELECT x.c0, x.c0, x.c0 FROM t x WHERE x.c0 = 2", "c0|c0_1|c0_2; 2|2|2"},
      {"SELECT t.c0, c0 FROM t WHERE c0 = 3", "c0|c0_1; 3|3"},
      // ORDER BY: a number its column, a name the item shown under it
      // before a column, a qualified name the column.
      {"SELECT x.c0, y.c0 FROM t x, t y WHERE x.c1 = 0 AND y.c1 = 0 ORDER BY 1, 2 DESC",
       "c0|c0_1; 1|2; 1|1; 2|2; 2|1"},
      {"SELECT c0 AS c1, c1 FROM t ORDER BY c1 DESC", "c1|c1_1; 3|5; 2|0; 1|0"},
      {"SELECT c0 AS c1 FROM t ORDER BY t.c1 DESC, c0", "c1; 3; 1; 2"},
      {"SELECT TOP 2 c2 AS c0 FROM t ORDER BY c0 DESC", "c0; 9; 8"},
  };
  for (const Check& c : checks) {
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql);
    std::string printed = r.Out.empty() ? r.Err.substr(0, r.Err.find(' ', 6) + 1) : r.Out;
    printed.erase(printed.find_last_not_of('\n') + 1);
    for (size_t at = printed.find('\n'); at != std::string::npos; at = printed.find('\n', at))
      printed.replace(at, 1, "; ");
    EXPECT_EQ(printed, c.Printed) << c.Sql << "\n" << r.Err;
  }
}

TEST(SelectShellTest, RefusesWithTheCodeOfTheFault) {
  const auto db = ScratchDatabase::WithSetup();
  const std::vector<sql_test::Refusal> checks = {
      {"SELECT 1", "ERROR 30184 Token 'FROM' expected, but '1' found at line 1, column 8"},
      {"SELECT X.A FROM emp", "ERROR 30327 Invalid table name in reference. Table name = EMP, table alias = , tname = X"},
      {"SELECT nosuch FROM emp", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT name FROM emp WHERE nosuch = 1", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT name FROM emp x WHERE id > 1 AND (x.nosuch IS NULL OR id = 2)", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT name FROM emp WHERE COUNT(*) > 1", "ERROR 30144 Search condition is not applicable"},
      // So is one in a subquery, an ON or HAVING; a name that some table in
      // the statement has, out of the clause's reach, keeps the clause's code.
      {"SELECT name FROM emp WHERE id IN (SELECT code FROM dept WHERE nosuch = 1)",
       "ERROR 10305 Cannot find field nosuch"},
      {"SELECT name FROM emp e WHERE EXISTS (SELECT 1 FROM dept d WHERE d.code = e.nosuch)",
       "ERROR 10305 Cannot find field nosuch"},
      {"SELECT e.id FROM emp e WHERE EXISTS (SELECT 1 FROM dept d WHERE EXISTS (SELECT 1 FROM emp m "
       "WHERE m.dept = d.nosuch))",
       "ERROR 10305 Cannot find field nosuch"},
      {"SELECT (SELECT title FROM dept WHERE nosuch = 1) FROM emp", "ERROR 10305 Cannot find field nosuch"},
      {"UPDATE emp SET salary = salary WHERE id IN (SELECT id FROM emp x WHERE x.id = emp.nosuch)",
       "ERROR 10305 Cannot find field nosuch"},
      {"SELECT e.id FROM emp e WHERE EXISTS (SELECT 1 FROM dept d WHERE EXISTS (SELECT 1 FROM emp m "
       "WHERE m.id = e.id AND m.dept = d.code))",
       "ERROR 30144 Search condition is not applicable"},
      {"SELECT salary * 2 AS s FROM emp WHERE EXISTS (SELECT 1 FROM dept WHERE budget > s)", "ERROR 30144 "},
      {"SELECT e.name FROM emp e JOIN dept d ON e.dept = d.nosuch", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT e.name FROM emp e LEFT JOIN dept d ON nosuch = d.code", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT e.name FROM dept d, emp e JOIN emp m ON e.id = m.mgr AND budget > 1",
       "ERROR 20270 ON condition for JOIN is not applicable"},
      {"SELECT dept FROM emp GROUP BY dept HAVING COUNT(nosuch) > 1", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT dept FROM emp e GROUP BY dept HAVING COUNT(*) > (SELECT COUNT(*) FROM dept d WHERE d.code = e.nosuch)",
       "ERROR 10305 Cannot find field nosuch"},
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
