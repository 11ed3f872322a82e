// Random row changes: UPDATE, DELETE and INSERT ... SELECT statements on
// integer tables leave the tables as SQLite leaves them, statement after
// statement, also when a statement fails on a key and must change nothing.
// (The generated texts of every statement kind, row changes among them, run
// in SelectRandomTest's robustness run.)
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/sql/SqliteOracle.h"
#include "tests/support/TestBudget.h"

namespace {

class ModifyRandomTest : public sql_test::QueryFixture {};

std::string Number(sql_test::SqlGenerator& g) {
  const int n = g.Int(-3, 15);
  return n < 0 ? "(" + std::to_string(n) + ")" : std::to_string(n);
}

// + - * over the columns and small numbers: never beyond 32 bits while the
// stored values stay small.
std::string Expression(sql_test::SqlGenerator& g, const std::vector<std::string>& columns, int depth) {
  if (depth == 0 || g.Chance(0.4)) return g.Chance(0.5) ? g.Pick(columns) : Number(g);
  return "(" + Expression(g, columns, depth - 1) + g.Pick(std::vector<std::string>{" + ", " - ", " * "}) +
         Expression(g, columns, depth - 1) + ")";
}

// A value to store: a number, or a column moved by a number, so that the
// stored values grow no faster than the rounds.
std::string Stored(sql_test::SqlGenerator& g, const std::vector<std::string>& columns) {
  switch (g.Int(0, 3)) {
    case 0:
      return Number(g);
    case 1:
      return g.Pick(columns);
    default:
      return g.Pick(columns) + g.Pick(std::vector<std::string>{" + ", " - "}) + Number(g);
  }
}

std::string Condition(sql_test::SqlGenerator& g, const std::vector<std::string>& columns, int depth) {
  if (depth > 0 && g.Chance(0.35))
    return "(" + Condition(g, columns, depth - 1) + (g.Chance(0.5) ? " AND " : " OR ") +
           Condition(g, columns, depth - 1) + ")";
  const std::string& c = g.Pick(columns);
  switch (g.Int(0, 5)) {
    case 0:
      return c + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return c + " IN (" + Number(g) + ", " + Number(g) + ")";
    case 2:
      return c + " BETWEEN " + Number(g) + " AND " + Number(g);
    default:
      return Expression(g, columns, 1) + " " + g.Pick(std::vector<std::string>{"=", "<", ">", "<>"}) + " " +
             Expression(g, columns, 1);
  }
}

TEST_F(ModifyRandomTest, TablesMatchSqliteAfterEachRandomChange) {
  sql_test::SqliteOracle oracle;
  sql_test::SqlGenerator gen(5);
  // k is a key: a statement that would repeat a key fails in both engines
  // and changes nothing. UPDATE leaves it alone, so that no engine's order
  // of rows decides whether a change clashes on the way.
  struct Table {
    std::string Name;
    std::vector<std::string> Columns;
    bool Keyed;
  };
  const std::vector<Table> tables{{"k1", {"k", "a", "b"}, true}, {"p1", {"a", "b", "c"}, false},
                                  {"p2", {"a", "b", "c"}, false}};
  for (const Table& t : tables) {
    const std::string create = "CREATE TABLE " + t.Name + " (" + t.Columns[0] + " INTEGER" +
                               (t.Keyed ? " NOT NULL" : "") + ", " + t.Columns[1] + " INTEGER, " + t.Columns[2] +
                               " INTEGER" + (t.Keyed ? ", PRIMARY KEY (k)" : "") + ")";
    Run(create);
    oracle.Exec(create);
    std::string insert = "INSERT INTO " + t.Name + " VALUES ";
    for (int r = 0; r < 12; ++r) {
      insert += r > 0 ? ", (" : "(";
      insert += t.Keyed ? std::to_string(r * 3) : (gen.Chance(0.1) ? "NULL" : Number(gen));
      for (int c = 1; c < 3; ++c) insert += ", " + (gen.Chance(0.15) ? std::string("NULL") : Number(gen));
      insert += ")";
    }
    Run(insert);
    oracle.Exec(insert);
  }
  std::map<std::string, int> outcomes;
  auto budget = qv::test::TestBudget::Steps(500, 20);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const Table& t = gen.Pick(tables);
    std::string sql;
    const int kind = gen.Int(0, 2);
    if (kind == 0) {
      sql = "UPDATE " + t.Name + " SET ";
      const int count = gen.Int(1, 2);
      for (int i = 0; i < count; ++i) {
        const std::string& column = t.Columns[static_cast<size_t>(gen.Int(t.Keyed ? 1 : 0, 2))];
        sql += (i > 0 ? ", " : "") + column + " = " + (gen.Chance(0.1) ? "NULL" : Stored(gen, t.Columns));
      }
    } else if (kind == 1) {
      sql = "DELETE FROM " + t.Name;
    } else {
      // Rows of another table (or of the same one), all columns or some.
      const Table& from = gen.Pick(tables);
      sql = "INSERT INTO " + t.Name;
      std::vector<std::string> names = t.Columns;
      if (gen.Chance(0.5)) {
        std::shuffle(names.begin(), names.end(), std::mt19937(static_cast<uint32_t>(round)));
        names.resize(static_cast<size_t>(gen.Int(t.Keyed ? 3 : 1, 3)));
        sql += " (";
        for (size_t i = 0; i < names.size(); ++i) sql += (i > 0 ? ", " : "") + names[i];
        sql += ")";
      }
      sql += " SELECT ";
      for (size_t i = 0; i < names.size(); ++i) {
        // A key is made new often enough for some inserts to go through.
        const std::string value =
            names[i] == "k" ? "k + " + std::to_string(gen.Int(1, 4) * 100) : Stored(gen, from.Columns);
        // (SQLite makes up a key for a null one: none is given.)
        sql += (i > 0 ? ", " : "") + (names[i] == "k" && !from.Keyed ? "COALESCE(a, 0) + 1000" : value);
      }
      sql += " FROM " + from.Name;
    }
    if (gen.Chance(0.8)) sql += " WHERE " + Condition(gen, kind == 2 ? std::vector<std::string>{"a", "b"} : t.Columns, 2);
    bool ours = true;
    try {
      Run(sql);
    } catch (const std::exception&) {
      ours = false;
    }
    const bool theirs = oracle.TryExec(sql);
    ++outcomes[ours ? "ran" : "failed"];
    ASSERT_EQ(ours, theirs) << sql;
    for (const Table& each : tables) {
      std::vector<std::string> rows = Rows(each.Name);
      std::vector<std::string> expected = oracle.Rows("SELECT * FROM " + each.Name);
      std::sort(rows.begin(), rows.end());
      std::sort(expected.begin(), expected.end());
      ASSERT_EQ(rows, expected) << sql;
    }
  }
  EXPECT_GT(outcomes["failed"], 0);
  EXPECT_GT(outcomes["ran"], outcomes["failed"]);
}

}  // namespace
