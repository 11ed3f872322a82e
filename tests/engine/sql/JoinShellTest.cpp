// Joins through the SQL shell on the scratch database of the SQL checks
// (and two small tables with duplicate and null keys): what each statement
// prints, rows joined by ";", and the refusals with their codes.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/sql/SqlTestSupport.h"

namespace {

using sql_test::RunShell;

// The header line, then the rows joined by "; ".
std::string Printed(const std::string& out) {
  const size_t header = out.find('\n');
  if (header == std::string::npos) return out;
  std::string text = out.substr(0, header) + ":";
  for (size_t at = header; at + 1 < out.size();) {
    const size_t end = out.find('\n', at + 1);
    text += (at == header ? " " : "; ") + out.substr(at + 1, end - at - 1);
    at = end;
  }
  return text;
}

// l and r: key 1 twice on the left and three times on the right, a null key
// on each side, a key only on one side.
const char* const kKeyTables =
    "CREATE TABLE l (k INTEGER, v VARCHAR(5)); CREATE TABLE r (k INTEGER, w VARCHAR(5));"
    "INSERT INTO l VALUES (1,'a'),(1,'b'),(NULL,'n'),(2,'c');"
    "INSERT INTO r VALUES (1,'x'),(3,'q'),(1,'y'),(NULL,'m'),(1,'z')";

const char* const kEighteen =
    "1|eng; 1|hr; 1|ops; 2|eng; 2|hr; 2|ops; 3|eng; 3|hr; 3|ops; 4|eng; 4|hr; 4|ops; 5|eng; 5|hr; 5|ops; "
    "6|eng; 6|hr; 6|ops";

TEST(JoinShellTest, PrintsTheRowsOfEachJoin) {
  const auto db = sql_test::ScratchDatabase::WithSetup();
  ASSERT_EQ(RunShell(db->File(), kKeyTables).Out, "OK 9\n");
  struct Check {
    const char* Sql;
    std::string Printed;
  };
  const Check checks[] = {
      {"SELECT e.name, d.title FROM emp e INNER JOIN dept d ON e.dept = d.code ORDER BY e.name",
       "name|title: alice|Engineering; bob|Engineering; carol|Operations; dave|Operations"},
      // A derived table joins like a table, on either side and in a comma list.
      {"SELECT e.name, d.title FROM emp e JOIN (SELECT code, title FROM dept WHERE budget > 600) d "
       "ON e.dept = d.code ORDER BY e.name",
       "name|title: alice|Engineering; bob|Engineering"},
      {"SELECT d.code, e.n FROM dept d LEFT JOIN (SELECT dept, COUNT(*) AS n FROM emp GROUP BY dept) e "
       "ON e.dept = d.code ORDER BY d.code",
       "code|n: eng|2; hr|NULL; ops|2"},
      {"SELECT x.name FROM (SELECT name, dept FROM emp) x, dept d WHERE x.dept = d.code AND d.code = 'ops' "
       "ORDER BY 1",
       "name: carol; dave"},
      {"SELECT e.name, d.title FROM emp e LEFT JOIN dept d ON e.dept = d.code ORDER BY e.name",
       "name|title: alice|Engineering; bob|Engineering; carol|Operations; dave|Operations; erin|NULL; frank|NULL"},
      {"SELECT d.code, e.name FROM emp e RIGHT JOIN dept d ON e.dept = d.code ORDER BY d.code, e.name",
       "code|name: eng|alice; eng|bob; hr|NULL; ops|carol; ops|dave"},
      {"SELECT e.id, d.code FROM emp e CROSS JOIN dept d ORDER BY e.id, d.code", std::string("id|code: ") + kEighteen},
      {"SELECT e.name, m.name AS boss FROM emp e LEFT JOIN emp m ON e.mgr = m.id ORDER BY e.id",
       "name|boss: alice|NULL; bob|alice; carol|alice; dave|carol; erin|alice; frank|NULL"},
      {"SELECT e.name, d.title FROM emp e LEFT JOIN dept d ON e.dept = d.code WHERE e.salary < 65 ORDER BY e.name",
       "name|title: dave|Operations; erin|NULL; frank|NULL"},
      // No ON or USING, no common column, no WHERE equality: every pair.
      {"SELECT e.id, d.code FROM emp e INNER JOIN dept d ORDER BY e.id, d.code", std::string("id|code: ") + kEighteen},
      {"SELECT e.id, d.code FROM emp e NATURAL JOIN dept d ORDER BY 1, 2", std::string("id|code: ") + kEighteen},
      {"SELECT e.id, d.code FROM emp e, dept d ORDER BY e.id, d.code", std::string("id|code: ") + kEighteen},
      {"SELECT e.name, d.title FROM emp e, dept d WHERE e.dept = d.code AND d.budget > 600 ORDER BY e.name",
       "name|title: alice|Engineering; bob|Engineering"},
      // Duplicate keys give every combination; null keys never match, and
      // the two null keys of a FULL join come out as two padded rows.
      {"SELECT l.v, r.w FROM l JOIN r ON l.k = r.k ORDER BY l.v, r.w", "v|w: a|x; a|y; a|z; b|x; b|y; b|z"},
      {"SELECT l.v, r.w FROM l NATURAL JOIN r ORDER BY l.v, r.w", "v|w: a|x; a|y; a|z; b|x; b|y; b|z"},
      {"SELECT l.v, r.w FROM l LEFT JOIN r ON l.k = r.k ORDER BY l.v, r.w",
       "v|w: a|x; a|y; a|z; b|x; b|y; b|z; c|NULL; n|NULL"},
      {"SELECT l.v, r.w FROM l FULL JOIN r ON l.k = r.k ORDER BY l.v, r.w",
       "v|w: NULL|m; NULL|q; a|x; a|y; a|z; b|x; b|y; b|z; c|NULL; n|NULL"},
      {"SELECT l.v, r.w FROM l FULL OUTER JOIN r ON l.k = r.k AND r.w <> 'y' ORDER BY l.v, r.w",
       "v|w: NULL|m; NULL|q; NULL|y; a|x; a|z; b|x; b|z; c|NULL; n|NULL"},
      // WHERE on the null-supplying side filters the padded rows too.
      {"SELECT e.name FROM emp e LEFT JOIN dept d ON e.dept = d.code WHERE d.code IS NULL ORDER BY 1", "name: erin; frank"},
      {"SELECT e.name FROM emp e LEFT JOIN dept d ON e.dept = d.code WHERE d.budget > 600 ORDER BY 1", "name: alice; bob"},
      // Computed items read a padded side as null.
      {"SELECT e.name, COALESCE(d.title, 'none') AS t, d.budget + 1 AS b FROM emp e LEFT JOIN dept d "
       "ON e.dept = d.code WHERE e.id > 4 ORDER BY e.id",
       "name|t|b: erin|none|NULL; frank|none|NULL"},
      {"SELECT * FROM dept d JOIN emp e ON d.code = e.dept WHERE e.id = 1",
       "code|title|budget|id|name|dept|salary|mgr: eng|Engineering|1000|1|alice|eng|100|NULL"},
      {"SELECT e.name, d.title, m.name AS boss FROM emp e JOIN dept d ON e.dept = d.code LEFT JOIN emp m "
       "ON e.mgr = m.id ORDER BY e.name",
       "name|title|boss: alice|Engineering|NULL; bob|Engineering|alice; carol|Operations|alice; dave|Operations|carol"},
      // Without ON between them the chain nests to the right; the part of
      // the ON below that names the first table goes to the outer join.
      {"SELECT e.name, m.name AS boss FROM emp e JOIN emp m JOIN dept d ON m.dept = d.code AND e.mgr = m.id "
       "ORDER BY e.name",
       "name|boss: bob|alice; carol|alice; dave|carol; erin|alice"},
      {"SELECT DISTINCT d.title FROM emp e JOIN emp m ON e.mgr = m.id JOIN dept d ON m.dept = d.code ORDER BY 1",
       "title: Engineering; Operations"},
      {"SELECT TOP 2 e.name, d.code FROM emp e JOIN dept d ON e.dept = d.code ORDER BY e.name DESC",
       "name|code: dave|ops; carol|ops"},
      // ON and WHERE may name an item by its alias; a table and the same
      // table under an alias are two tables.
      {"SELECT e.dept AS k, d.budget FROM emp e INNER JOIN dept d ON k = d.code WHERE e.id < 4",
       "k|budget: eng|1000; eng|1000; ops|500"},
      {"SELECT emp.id, e.id FROM emp, emp e WHERE e.mgr = emp.id ORDER BY 2", "id|id_1: 1|2; 1|3; 3|4; 1|5"},
  };
  for (const Check& c : checks) {
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql);
    EXPECT_EQ(Printed(r.Out), c.Printed) << c.Sql << "\n" << r.Err;
    EXPECT_EQ(r.Status, 0) << c.Sql;
  }
}

TEST(JoinShellTest, RefusesWithTheCodeOfTheFault) {
  const auto db = sql_test::ScratchDatabase::WithSetup();
  const std::vector<sql_test::Refusal> checks = {
      // A USING column only one side has pairs a field with itself.
      {"SELECT e.name FROM emp e JOIN dept d USING (name)",
       "ERROR 10334 Both join fields are from the same table. Field1 = 'name', Field2 = 'name'"},
      {"SELECT e.name FROM emp e JOIN dept d USING (nosuch)",
       "ERROR 10331 Invalid field for join operation. Table name = '', FieldName = 'nosuch', i = 0, FieldExists = 0"},
      {"SELECT e.name FROM (emp e JOIN emp m ON e.id = m.id) JOIN dept d USING (id)",
       "ERROR 10331 Invalid field for join operation. Table name = '', FieldName = 'id', i = 0, FieldExists = 2"},
      {"SELECT e.name FROM emp e, dept d JOIN emp m ON e.id = m.mgr", "ERROR 20270 ON condition for JOIN is not"},
      {"SELECT e.name FROM emp e LEFT JOIN dept d ON e.dept = x.code", "ERROR 20270 ON condition for JOIN is not"},
      {"SELECT e.name FROM emp e JOIN dept d ON e.id = m.id", "ERROR 20270 ON condition for JOIN is not applicable"},
      {"SELECT e.name FROM emp e JOIN emp m ON id = mgr", "ERROR 10404 Ambiguous field reference to 'id'"},
      {"SELECT e.name FROM emp e JOIN dept d USING code", "ERROR 30167 Token '(' expected, but 'code'"},
      {"SELECT e.name FROM emp e CROSS dept", "ERROR 30168 Unexpected token 'dept'"},
      {"SELECT e.name FROM emp e NATURAL 5", "ERROR 30169 Unexpected token '5'"},
      {"SELECT e.name FROM emp e INNER 5", "ERROR 30170 Unexpected token '5'"},
      {"SELECT e.name FROM emp e LEFT dept", "ERROR 30171 Unexpected token 'dept'"},
      {"SELECT e.name FROM emp e RIGHT dept", "ERROR 30172 Unexpected token 'dept'"},
      {"SELECT e.name FROM emp e FULL dept", "ERROR 30173 Unexpected token 'dept'"},
      {"SELECT e.name FROM emp e LEFT OUTER dept", "ERROR 30174 Unexpected token 'dept'"},
      {"SELECT e.name FROM emp e INNER WHERE e.id = 1", "ERROR 30175 Token 'JOIN' expected, but 'WHERE'"},
      {"SELECT e.name FROM emp e JOIN 5", "ERROR 30176 Table name expected, but '5'"},
      {"SELECT e.name FROM emp e, 5", "ERROR 30181 Table name expected, but '5'"},
  };
  sql_test::ExpectRefusals(db->File(), checks);
}

}  // namespace
