// Query expressions through the SQL shell on the scratch database of the SQL
// checks: set operations, derived tables and subqueries, what each prints
// (rows joined by "; ") and the refusals with their codes.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/sql/SqlTestSupport.h"

namespace {

using sql_test::RunShell;
using sql_test::ShellRows;
using sql_test::ScratchDatabase;

// Beside the setup: a table with a BLOB and a MEMO column, and one whose
// indexed column holds nulls.
const char* const kMoreTables =
    "CREATE TABLE b (k INTEGER, v BLOB, m MEMO);\n"
    "INSERT INTO b VALUES (1, 'blob one', 'memo one'), (2, 'blob two', NULL);\n"
    "CREATE TABLE n (k INTEGER, v INTEGER, INDEX (k));\n"
    "INSERT INTO n VALUES (NULL, 1), (2, 2), (NULL, 3)\n";

std::unique_ptr<ScratchDatabase> Database() {
  auto db = ScratchDatabase::WithSetup();
  const sql_test::ShellResult more = RunShell(db->File(), kMoreTables);
  if (more.Status != 0) throw std::runtime_error("setup failed: " + more.Err);
  return db;
}

struct Check {
  const char* Sql;
  const char* Rows;
};

void ExpectRows(const ScratchDatabase& db, std::initializer_list<Check> checks) {
  for (const Check& c : checks) {
    const sql_test::ShellResult r = RunShell(db.File(), c.Sql);
    EXPECT_EQ(ShellRows(r.Out), c.Rows) << c.Sql << "\n" << r.Err;
    EXPECT_EQ(r.Status, 0) << c.Sql;
  }
}

TEST(QueryExprShellTest, PrintsTheRowsOfEachQuery) {
  const auto db = Database();
  ExpectRows(*db, {
      {"SELECT code FROM dept UNION SELECT dept FROM emp ORDER BY 1", "NULL; eng; hr; ops; sales"},
      {"SELECT name FROM emp WHERE dept='eng' UNION ALL SELECT name FROM emp WHERE dept='eng'",
       "alice; bob; alice; bob"},
      {"SELECT code FROM dept INTERSECT SELECT dept FROM emp ORDER BY 1", "eng; ops"},
      {"SELECT code FROM dept MINUS SELECT dept FROM emp", "hr"},
      {"SELECT code FROM dept EXCEPT SELECT dept FROM emp", "hr"},
      {"SELECT name FROM emp WHERE dept IN (SELECT code FROM dept WHERE budget >= 500) ORDER BY name",
       "alice; bob; carol; dave"},
      {"SELECT code FROM dept d WHERE EXISTS (SELECT id FROM emp e WHERE e.dept = d.code) ORDER BY code", "eng; ops"},
      {"SELECT t.name FROM (SELECT name, salary FROM emp WHERE dept = 'ops') t ORDER BY t.salary", "dave; carol"},
      // INTERSECT binds tighter than UNION and EXCEPT; both associate to
      // the left; parentheses override.
      {"SELECT id FROM emp WHERE id < 3 UNION SELECT id FROM emp WHERE id > 4 INTERSECT SELECT id FROM emp "
       "WHERE id > 5 ORDER BY 1",
       "1; 2; 6"},
      {"(SELECT id FROM emp WHERE id < 3 UNION SELECT id FROM emp WHERE id > 4) INTERSECT SELECT id FROM emp "
       "WHERE id > 5",
       "6"},
      {"SELECT id FROM emp WHERE id < 4 EXCEPT SELECT id FROM emp WHERE id = 2 UNION SELECT id FROM emp WHERE id = 2",
       "1; 2; 3"},
      {"SELECT id FROM emp WHERE id < 4 EXCEPT (SELECT id FROM emp WHERE id = 2 UNION SELECT id FROM emp WHERE id = 2)",
       "1; 3"},
      // The trailing ORDER BY sorts the whole expression, also one whose
      // last operand is an INTERSECT.
      {"SELECT id FROM emp WHERE id > 4 UNION ALL SELECT id FROM emp WHERE id < 6 INTERSECT SELECT id FROM emp "
       "WHERE id < 3 ORDER BY id DESC",
       "6; 5; 2; 1"},
      // CORRESPONDING pairs by name, BY by the listed names only.
      {"SELECT name, dept FROM emp WHERE id < 3 UNION CORRESPONDING SELECT code AS dept, title AS name FROM dept "
       "WHERE budget < 600",
       "alice|eng; bob|eng; Human Resources|hr; Operations|ops"},
      {"SELECT name, dept FROM emp WHERE id < 3 UNION CORRESPONDING BY (dept) SELECT code AS dept, title FROM dept",
       "eng; hr; ops"},
      // Duplicates: UNION drops them also inside one operand; INTERSECT ALL
      // keeps every left row that has an equal right row.
      {"SELECT mgr FROM emp UNION SELECT mgr FROM emp", "NULL; 1; 3"},
      {"SELECT mgr FROM emp INTERSECT ALL SELECT id FROM emp WHERE id <> 2", "1; 1; 1; 3"},
      {"SELECT mgr FROM emp INTERSECT SELECT id FROM emp", "1; 3"},
      {"SELECT mgr FROM emp EXCEPT ALL SELECT id FROM emp WHERE id > 100", "NULL; NULL; 1; 1; 1; 3"},
      {"SELECT mgr FROM emp EXCEPT SELECT id FROM emp WHERE id > 100", "NULL; 1; 3"},
      {"SELECT mgr FROM emp WHERE id > 100 EXCEPT SELECT id FROM emp", ""},
      // The column is as wide as the wider side.
      {"SELECT code FROM dept UNION ALL SELECT title FROM dept", "eng; ops; hr; Engineering; Operations; Human Resources"},
      // Derived tables: a union, TOP and ORDER BY inside stay as they are;
      // the outer WHERE and TOP apply to the derived rows.
      {"SELECT * FROM (SELECT code FROM dept UNION SELECT dept FROM emp) u WHERE code > 'f' ORDER BY code",
       "hr; ops; sales"},
      {"SELECT * FROM (SELECT TOP 2 name FROM emp ORDER BY name) t WHERE name <> 'alice'", "bob"},
      {"SELECT TOP 1 * FROM (SELECT TOP 3 name FROM emp ORDER BY name DESC) t ORDER BY name", "dave"},
      {"SELECT a FROM (SELECT name AS a, id AS name FROM emp) t WHERE name > 4 ORDER BY a", "erin; frank"},
      {"SELECT DISTINCT d FROM (SELECT dept AS d, salary FROM emp) x WHERE salary < 90 ORDER BY d",
       "NULL; eng; ops; sales"},
      // Subqueries: correlated in WHERE and as a value, nested, NOT EXISTS.
      {"SELECT name FROM emp e WHERE EXISTS (SELECT id FROM emp x WHERE x.mgr = e.id) ORDER BY name", "alice; carol"},
      {"SELECT name FROM emp e WHERE NOT EXISTS (SELECT id FROM emp x WHERE x.mgr = e.id) ORDER BY name",
       "bob; dave; erin; frank"},
      {"SELECT name, (SELECT title FROM dept WHERE code = e.dept) AS t FROM emp e WHERE id IN (1, 3) ORDER BY id",
       "alice|Engineering; carol|Operations"},
      {"SELECT name FROM emp WHERE dept IN (SELECT code FROM dept WHERE code IN (SELECT dept FROM emp WHERE id > 3))",
       "carol; dave"},
      {"SELECT name FROM emp e WHERE e.id IN (SELECT mgr FROM emp x WHERE x.dept = e.dept UNION SELECT id FROM emp y "
       "WHERE y.salary > e.salary) ORDER BY name",
       "alice; carol"},
      {"SELECT name FROM emp WHERE salary < ALL (SELECT salary FROM emp WHERE dept = 'ops') ORDER BY name",
       "erin; frank"},
      {"SELECT name FROM emp WHERE id = ANY (SELECT mgr FROM emp) ORDER BY name", "alice; carol"},
      // Mends: the ALL rule over an empty subquery; UNION ALL keeps a BLOB
      // column beside text; an outer value that is NULL matches nothing,
      // also through an index.
      {"SELECT name FROM emp WHERE salary > ALL (SELECT salary FROM emp WHERE id > 100) ORDER BY id",
       "alice; bob; carol; dave; erin; frank"},
      {"SELECT name FROM emp WHERE salary > ANY (SELECT salary FROM emp WHERE id > 100)", ""},
      {"SELECT name FROM emp WHERE id = 1 UNION ALL SELECT v FROM b", "alice; blob one; blob two"},
      {"SELECT v FROM b UNION ALL SELECT name FROM emp WHERE id = 1", "blob one; blob two; alice"},
      {"SELECT name FROM emp WHERE id = 1 UNION ALL SELECT m FROM b", "alice; memo one; NULL"},
      {"SELECT m FROM b UNION ALL SELECT v FROM b", "memo one; NULL; blob one; blob two"},
      {"SELECT name FROM emp e WHERE EXISTS (SELECT v FROM n WHERE n.k = e.mgr)", ""},
      {"SELECT name FROM emp e WHERE EXISTS (SELECT v FROM n WHERE n.k > e.mgr) ORDER BY id", "bob; carol; erin"},
      // A qualifier names the table exposing it in the innermost query that
      // has one: here the outer emp, not the inner emp under an alias.
      {"SELECT id, (SELECT MAX(salary) FROM emp e WHERE e.dept = emp.dept) AS m FROM emp ORDER BY id",
       "1|100; 2|100; 3|70; 4|70; 5|50; 6|NULL"},
      {"SELECT (SELECT COUNT(*) FROM emp AS x WHERE x.id < emp.id) AS n FROM emp ORDER BY 1", "0; 1; 2; 3; 4; 5"},
      {"SELECT id FROM emp WHERE EXISTS (SELECT id FROM emp e WHERE e.mgr = emp.id) ORDER BY id", "1; 3"},
      // Where nothing exposes the name, the innermost table of that name.
      {"SELECT id FROM emp x WHERE id IN (SELECT emp.mgr FROM emp y WHERE y.id > 3) ORDER BY id", "1; 3"},
  });
}

TEST(QueryExprShellTest, ResultColumnsAreNamedAndTypedByTheLeftQuery) {
  const auto db = Database();
  EXPECT_EQ(RunShell(db->File(), "SELECT code AS c, budget FROM dept WHERE code = 'hr' UNION SELECT name, salary "
                                 "FROM emp WHERE id = 1")
                .Out,
            "c|budget\nalice|100\nhr|200\n");
  // The left query's type: text from the left, so 10 sorts before 9.
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT name FROM emp WHERE id = 1 UNION SELECT budget FROM dept ORDER BY 1").Out),
            "1000; 200; 500; alice");
  // INTO takes the union's result when it is in a derived table.
  EXPECT_EQ(RunShell(db->File(), "SELECT * INTO u FROM (SELECT code FROM dept UNION SELECT dept FROM emp) x").Status,
            0);
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT code FROM u ORDER BY code").Out), "NULL; eng; hr; ops; sales");
  // A single SELECT ... INTO is allowed, also written in parentheses.
  EXPECT_EQ(RunShell(db->File(), "(SELECT name INTO w FROM emp WHERE id < 3)").Status, 0);
  EXPECT_EQ(ShellRows(RunShell(db->File(), "SELECT name FROM w ORDER BY name").Out), "alice; bob");
}

TEST(QueryExprShellTest, RefusesWithTheCodeOfTheFault) {
  const auto db = Database();
  const std::vector<sql_test::Refusal> checks = {
      {"SELECT name INTO t9 FROM emp UNION SELECT code FROM dept", "ERROR 20272 UNION subselect cannot contain INTO"},
      {"SELECT name FROM emp UNION SELECT code INTO t9 FROM dept", "ERROR 20272 "},
      {"SELECT name FROM emp WHERE salary = (SELECT salary FROM emp)", "ERROR 20247 Subquery must have only one row"},
      {"SELECT name FROM emp WHERE salary = (SELECT salary FROM emp WHERE id > 100)", "ERROR 20249 "},
      {"SELECT name FROM emp WHERE salary IN (SELECT id, salary FROM emp)", "ERROR 20246 "},
      {"SELECT name FROM emp UNION", "ERROR 30194 Token 'SELECT' expected, but ''"},
      {"SELECT name FROM emp UNION dept", "ERROR 30194 Token 'SELECT' expected, but 'dept'"},
      {"SELECT name FROM emp UNION CORRESPONDING BY name SELECT code FROM dept", "ERROR 30193 Token '(' expected"},
      {"SELECT name FROM emp UNION CORRESPONDING BY () SELECT code FROM dept", "ERROR 10408 "},
      {"SELECT name FROM emp UNION CORRESPONDING SELECT code FROM dept", "ERROR 10339 Empty field list"},
      {"SELECT v FROM b INTERSECT SELECT v FROM b", "ERROR 10339 "},
      {"SELECT name FROM emp UNION SELECT code FROM dept ORDER BY code", "ERROR 30195 "},
      {"SELECT emp.name FROM (SELECT name FROM emp) t", "ERROR 10305 Cannot find field name"},
      {"SELECT * FROM (SELECT name INTO t9 FROM emp) t", "ERROR 20761 INTO is not allowed in a subquery"},
      {"SELECT name FROM emp WHERE id IN (SELECT nosuch FROM dept)", "ERROR 10305 "},
      {"SELECT name FROM emp WHERE id IN (SELECT code FROM nosuch)", "ERROR 10303 "},
      {"SELECT name FROM emp WHERE id IN (SELECT code FROM dept WHERE nosuch = 1)", "ERROR 10305 "},
      {"SELECT * FROM (SELECT name FROM emp WHERE nosuch = 1) t", "ERROR 10305 Cannot find field nosuch"},
  };
  sql_test::ExpectRefusals(db->File(), checks);
}

TEST(QueryExprShellTest, AggregateSubqueries) {
  const auto db = Database();
  ExpectRows(*db, {
      {"SELECT name FROM emp WHERE salary = (SELECT MAX(salary) FROM emp)", "alice"},
      {"SELECT name, (SELECT COUNT(*) FROM emp x WHERE x.mgr = e.id) AS n FROM emp e ORDER BY id",
       "alice|3; bob|0; carol|1; dave|0; erin|0; frank|0"},
      // Grouped operands and derived tables, a subquery in HAVING.
      {"SELECT dept FROM emp GROUP BY dept HAVING COUNT(*) > 1 UNION SELECT code FROM dept ORDER BY 1",
       "eng; hr; ops"},
      {"SELECT * FROM (SELECT dept, COUNT(*) AS n FROM emp GROUP BY dept) t WHERE n > 1 ORDER BY dept",
       "eng|2; ops|2"},
      {"SELECT dept, COUNT(*) AS c FROM emp GROUP BY dept HAVING COUNT(*) > (SELECT COUNT(*) FROM dept WHERE "
       "budget > 600) ORDER BY dept",
       "eng|2; ops|2"},
  });
}

}  // namespace
