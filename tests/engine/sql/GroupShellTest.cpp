// GROUP BY, HAVING and aggregates through the SQL shell on the scratch
// database of the SQL checks: what each statement prints (rows joined by
// "; ") or the code it is refused with.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/sql/SqlTestSupport.h"

namespace {

using sql_test::RunShell;

// The lines of the shell's output joined by "; " (the header included).
std::string Lines(const std::string& out) {
  std::string lines;
  for (size_t at = 0; at < out.size();) {
    const size_t end = out.find('\n', at);
    lines += (lines.empty() ? "" : "; ") + out.substr(at, end - at);
    at = end == std::string::npos ? out.size() : end + 1;
  }
  return lines;
}

TEST(GroupShellTest, PrintsWhatEachGroupedQueryGives) {
  const auto db = sql_test::ScratchDatabase::WithSetup();
  struct Check {
    const char* Sql;
    // The output lines, or the start of the error line.
    const char* Expected;
  };
  const Check checks[] = {
      {"SELECT COUNT(*) AS n FROM emp", "n; 6"},
      {"SELECT dept, COUNT(*) AS n, SUM(salary) AS s FROM emp GROUP BY dept ORDER BY dept",
       "dept|n|s; NULL|1|40; eng|2|180; ops|2|130; sales|1|50"},
      // HAVING drops whole groups, with aggregates the items do not show.
      {"SELECT dept FROM emp GROUP BY dept HAVING SUM(salary) > 100 ORDER BY dept", "dept; eng; ops"},
      {"SELECT dept, COUNT(*) AS n FROM emp GROUP BY dept HAVING MAX(salary) < 90 ORDER BY dept",
       "dept|n; NULL|1; ops|2; sales|1"},
      {"SELECT COUNT(*) AS n FROM emp GROUP BY dept HAVING n > 1", "n; 2; 2"},
      {"SELECT COUNT(dept) AS c, COUNT(*) AS n, MIN(salary) AS lo, MAX(salary) AS hi, AVG(salary) AS av FROM emp",
       "c|n|lo|hi|av; 5|6|40|100|66.6666666666667"},
      {"SELECT COUNT(DISTINCT dept) AS a, SUM(DISTINCT mgr) AS b FROM emp", "a|b; 3|4"},
      // Only TOP skips, and no limit passes the HAVING (mend).
      {"SELECT TOP 1, 2 dept, SUM(salary) AS s FROM emp GROUP BY dept HAVING SUM(salary) > 45", "dept|s; ops|130"},
      {"SELECT TOP 2 dept FROM emp GROUP BY dept", "dept; NULL; eng"},
      // An empty input has no groups (mend), but one row without GROUP BY.
      {"SELECT dept, COUNT(*) AS n FROM emp WHERE id > 100 GROUP BY dept", "dept|n"},
      {"SELECT COUNT(*) AS n FROM emp WHERE id > 100", "n; 0"},
      {"SELECT COUNT(*) AS n, SUM(salary) AS s, MAX(name) AS m FROM emp WHERE id > 100", "n|s|m; 0|NULL|NULL"},
      // The COUNT(*) of HAVING is counted too (mend).
      {"SELECT COUNT(*) AS n FROM emp HAVING COUNT(*) > 5", "n; 6"},
      {"SELECT COUNT(*) AS a, COUNT(*) AS b FROM emp", "a|b; 6|6"},
      // Nulls form one group, also when they are not adjacent in the input.
      {"SELECT mgr, COUNT(*) AS n FROM emp GROUP BY mgr ORDER BY mgr", "mgr|n; NULL|2; 1|3; 3|1"},
      {"SELECT dept, mgr, COUNT(*) AS n FROM emp GROUP BY dept, mgr ORDER BY dept, mgr",
       "dept|mgr|n; NULL|NULL|1; eng|NULL|1; eng|1|1; ops|1|1; ops|3|1; sales|1|1"},
      // GROUP BY the alias of a computed item, or of a column.
      {"SELECT UPPER(dept) AS d, COUNT(*) AS n FROM emp GROUP BY d ORDER BY d", "d|n; NULL|1; ENG|2; OPS|2; SALES|1"},
      {"SELECT UPPER(dept) AS d, SUM(salary) AS s FROM emp GROUP BY d ORDER BY s",
       "d|s; NULL|40; SALES|50; OPS|130; ENG|180"},
      {"SELECT dept AS x, COUNT(*) AS n FROM emp GROUP BY x ORDER BY x", "x|n; NULL|1; eng|2; ops|2; sales|1"},
      {"SELECT e.dept, COUNT(*) AS n FROM emp e GROUP BY e.dept HAVING MIN(e.salary) > 45 ORDER BY e.dept",
       "dept|n; eng|2; ops|2; sales|1"},
      {"SELECT dept, MIN(name) AS m FROM emp WHERE salary < 90 GROUP BY dept ORDER BY dept",
       "dept|m; NULL|frank; eng|bob; ops|carol; sales|erin"},
      {"SELECT dept, SUM(salary) AS s FROM emp GROUP BY dept ORDER BY 2 DESC",
       "dept|s; eng|180; ops|130; sales|50; NULL|40"},
      {"SELECT COUNT(*) AS n FROM emp GROUP BY dept ORDER BY dept", "n; 1; 2; 2; 1"},
      // DISTINCT applies to the group rows (mend).
      {"SELECT DISTINCT COUNT(*) AS n FROM emp GROUP BY dept ORDER BY n", "n; 1; 2"},
      {"SELECT dept, COUNT(*) AS n INTO g1 FROM emp GROUP BY dept; SELECT * FROM g1 WHERE n = 2 ORDER BY dept",
       "dept|n; eng|2; ops|2"},
      // GROUP BY a name that is a column and an alias groups by the column;
      // an item may have the name of a column of the groups.
      {"SELECT - 19 AS mgr FROM emp GROUP BY mgr", "mgr; -19; -19; -19"},
      {"SELECT - 19 AS mgr FROM emp x, emp y WHERE x.id = y.id GROUP BY y.mgr", "mgr; -19; -19; -19"},
      {"SELECT - y.mgr AS x FROM emp x, emp y WHERE x.id = y.id GROUP BY y.mgr ORDER BY 1", "x; NULL; -3; -1"},
      {"SELECT DISTINCT COUNT(*) AS dept FROM emp GROUP BY dept ORDER BY 1", "dept; 1; 2"},
      {"SELECT salary FROM emp GROUP BY dept", "ERROR 10342 Field is not included in GROUP BY list"},
      {"SELECT name, COUNT(*) FROM emp", "ERROR 10342 "},
      {"SELECT * FROM emp GROUP BY dept", "ERROR 10342 "},
      {"SELECT dept, salary + 1 FROM emp GROUP BY dept", "ERROR 20269 Expression (Name="},
      {"SELECT COUNT(*) AS n FROM emp GROUP BY n", "ERROR 20245 Invalid field for 'GROUP BY.'"},
      {"SELECT dept FROM emp GROUP BY nosuch", "ERROR 20245 "},
      {"SELECT name FROM emp HAVING salary > 50", "ERROR 20244 'Having' condition is not applicable"},
      {"SELECT dept FROM emp GROUP BY dept HAVING nosuch > 1", "ERROR 10305 Cannot find field nosuch"},
      {"SELECT dept FROM emp GROUP dept", "ERROR 30185 Token 'BY' expected, but 'dept'"},
      {"SELECT dept FROM emp GROUP BY dept + 1", "ERROR 10412 "},
      {"SELECT SUM(name) FROM emp", "ERROR 30132 "},
      // Last: it changes dept.
      {"INSERT INTO dept VALUES ('', 'Blank', 0); SELECT COUNT(*) AS n FROM dept WHERE code IS NULL", "n; 1"},
  };
  for (const Check& c : checks) {
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql);
    const std::string expected = c.Expected;
    if (expected.rfind("ERROR", 0) == 0) {
      EXPECT_EQ(r.Err.rfind(expected, 0), 0u) << c.Sql << ": " << r.Err;
      EXPECT_EQ(r.Status, 1) << c.Sql;
    } else {
      EXPECT_EQ(Lines(r.Out), expected) << c.Sql << "\n" << r.Err;
      EXPECT_EQ(r.Status, 0) << c.Sql;
    }
  }
  // Unnamed items: two columns, each its own count.
  const std::string twice = Lines(RunShell(db->File(), "SELECT COUNT(*), COUNT(*) FROM emp").Out);
  EXPECT_EQ(twice.substr(twice.find("; ")), "; 6|6") << twice;
  EXPECT_EQ(Lines(RunShell(db->File(), "SELECT dept FROM emp GROUP BY dept", {"--live"}).Out),
            "dept; NULL; eng; ops; sales; READONLY");
}

}  // namespace
