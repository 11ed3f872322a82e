// Random query expressions: set operations over integer tables return
// SQLite's rows, compared as multisets, and INTERSECT ALL / EXCEPT ALL the
// rows of their rule; IN, EXISTS and scalar subqueries, over the outer
// query's table or another, with and without aliases, return SQLite's rows
// where the two dialects agree. (The generated set operations, derived
// tables and subqueries run in SelectRandomTest's robustness run.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/sql/SqliteOracle.h"
#include "tests/support/TestBudget.h"

namespace {

using RowList = std::vector<std::string>;

class QueryExprDifferentialBase : public sql_test::QueryFixture {
protected:
  // The rows of the last statement of sql when it yields rows, sorted.
  RowList Fetch(const std::string& sql) {
    RowList rows = FetchRows(sql);
    std::sort(rows.begin(), rows.end());
    return rows;
  }
};

// SQLite's rows, sorted.
class Oracle : public sql_test::SqliteOracle {
public:
  RowList Query(const std::string& sql) {
    RowList rows = Rows(sql);
    std::sort(rows.begin(), rows.end());
    return rows;
  }
};

// The same tables on both engines: r0..r3 (a, b) of small integers with
// nulls and duplicates; k (id unique, v) with every id from -3 to 12; o (a
// NOT NULL within k's ids, b; an index on a); w (id key from -3 to 196, v).
class QueryExprDifferentialTest : public QueryExprDifferentialBase {
protected:
  void Both(const std::string& sql) {
    Run(sql);
    Oracle_.Exec(sql);
  }
  void MakeTables(sql_test::SqlGenerator& gen) {
    auto number = [&] { return gen.Chance(0.15) ? std::string("NULL") : std::to_string(gen.Int(-3, 6)); };
    for (int t = 0; t < 4; ++t) {
      const std::string name = "r" + std::to_string(t);
      Both("CREATE TABLE " + name + " (a INTEGER, b INTEGER)");
      const int rows = gen.Int(0, 25);
      if (rows == 0) continue;
      std::string insert = "INSERT INTO " + name + " VALUES ";
      for (int r = 0; r < rows; ++r) insert += (r > 0 ? ", (" : "(") + number() + ", " + number() + ")";
      Both(insert);
    }
    Both("CREATE TABLE k (id INTEGER NOT NULL, v INTEGER)");
    std::string insert = "INSERT INTO k VALUES ";
    for (int id = -3; id <= 12; ++id) insert += (id > -3 ? ", (" : "(") + std::to_string(id) + ", " + number() + ")";
    Both(insert);
    Both("CREATE TABLE o (a INTEGER NOT NULL, b INTEGER)");
    Both("CREATE INDEX oa ON o (a)");
    insert = "INSERT INTO o VALUES ";
    for (int r = 0; r < 20; ++r) insert += (r > 0 ? ", (" : "(") + std::to_string(gen.Int(-3, 12)) + ", " + number() + ")";
    Both(insert);
    // w: 200 rows keyed by id: an IN over it looks its few values up in the
    // index.
    Both("CREATE TABLE w (id INTEGER NOT NULL, v INTEGER, PRIMARY KEY (id))");
    insert = "INSERT INTO w VALUES ";
    for (int id = 0; id < 200; ++id) insert += (id > 0 ? ", (" : "(") + std::to_string(id - 3) + ", " + number() + ")";
    Both(insert);
  }
  Oracle Oracle_;
};

// A query expression as both dialects write it: ours with parentheses,
// SQLite's (whose compound operators all bind alike and take no
// parentheses) with a nested operation as a derived table.
struct Expr {
  std::string Ours;
  std::string Theirs;
};

TEST_F(QueryExprDifferentialTest, SetOperationsReturnSqlitesRows) {
  sql_test::SqlGenerator gen(4242);
  MakeTables(gen);
  std::function<Expr(int, int)> expression = [&](int width, int depth) -> Expr {
    if (depth <= 0 || gen.Chance(0.4)) {
      const std::string table = "r" + std::to_string(gen.Int(0, 3));
      std::string items = width == 1 ? gen.Pick(RowList{"a", "b"}) : gen.Pick(RowList{"a, b", "b, a"});
      std::string text = "SELECT " + items + " FROM " + table;
      if (gen.Chance(0.4)) text += " WHERE a " + gen.Pick(RowList{"<", ">", "<>"}) + " " + std::to_string(gen.Int(-2, 5));
      return {text, text};
    }
    const Expr left = expression(width, depth - 1);
    const Expr right = expression(width, depth - 1);
    const std::string op = gen.Pick(RowList{"UNION", "UNION ALL", "INTERSECT", "EXCEPT"});
    auto compound = [](const Expr& x) {
      return x.Ours.find("UNION") != std::string::npos || x.Ours.find("INTERSECT") != std::string::npos ||
             x.Ours.find("EXCEPT") != std::string::npos;
    };
    // SQLite takes its operators left to right, so only a compound right
    // side needs the derived table there.
    Expr made;
    made.Ours = (compound(left) ? "(" + left.Ours + ")" : left.Ours) + " " + op + " " +
                (compound(right) ? "(" + right.Ours + ")" : right.Ours);
    made.Theirs = left.Theirs + " " + op + " " +
                  (compound(right) ? "SELECT * FROM (" + right.Theirs + ")" : right.Theirs);
    return made;
  };
  auto budget = qv::test::TestBudget::Steps(500, 8);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const Expr e = expression(gen.Int(1, 2), 2);
    ASSERT_EQ(Fetch(e.Ours), Oracle_.Query(e.Theirs)) << e.Ours;
  }
}

TEST_F(QueryExprDifferentialTest, IntersectAllAndExceptAllKeepEveryLeftRowOfTheirRule) {
  sql_test::SqlGenerator gen(977);
  MakeTables(gen);
  auto budget = qv::test::TestBudget::Steps(300, 6);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const std::string items = gen.Pick(RowList{"a", "b", "a, b"});
    const std::string left = "SELECT " + items + " FROM r" + std::to_string(gen.Int(0, 3));
    const std::string right = "SELECT " + items + " FROM r" + std::to_string(gen.Int(0, 3)) +
                              (gen.Chance(0.5) ? " WHERE b > " + std::to_string(gen.Int(-2, 4)) : "");
    const RowList l = Oracle_.Query(left);
    const RowList r = Oracle_.Query(right);
    RowList intersect, except;
    // Every left row, duplicates included, with (without) an equal right row;
    // nulls equal each other.
    for (const std::string& row : l)
      (std::binary_search(r.begin(), r.end(), row) ? intersect : except).push_back(row);
    ASSERT_EQ(Fetch(left + " INTERSECT ALL " + right), intersect) << left << " / " << right;
    ASSERT_EQ(Fetch(left + " EXCEPT ALL " + right), except) << left << " / " << right;
  }
}

TEST_F(QueryExprDifferentialTest, SubqueriesReturnSqlitesRows) {
  sql_test::SqlGenerator gen(313);
  MakeTables(gen);
  auto number = [&] { return std::to_string(gen.Int(-3, 6)); };
  auto table = [&] { return "r" + std::to_string(gen.Int(0, 3)); };
  auto budget = qv::test::TestBudget::Steps(400, 12);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    // The outer and the inner query, often over the same table, each under
    // an alias or not; each names its table by the name it exposes (where
    // both expose the same name, the inner one is meant).
    const std::string outerTable = table();
    const std::string outer = gen.Chance(0.6) ? "x" : outerTable;
    const std::string innerTable = gen.Chance(0.5) ? outerTable : table();
    const std::string in = gen.Chance(0.6) ? "y" : innerTable;
    const std::string from = " FROM " + outerTable + (outer == "x" ? " x" : "");
    auto inner = [&](const std::string& correlation, const std::string& item = "") {
      std::string text = "SELECT " + (item.empty() ? gen.Pick(RowList{"a", "b"}) : item) + " FROM " + innerTable +
                         (in == "y" ? " y" : "");
      RowList conditions;
      if (gen.Chance(0.5))
        conditions.push_back(in + "." + gen.Pick(RowList{"a", "b"}) + " " + gen.Pick(RowList{"<", ">", "="}) + " " +
                             number());
      if (!correlation.empty()) conditions.push_back(correlation);
      for (size_t i = 0; i < conditions.size(); ++i) text += (i == 0 ? " WHERE " : " AND ") + conditions[i];
      return text;
    };
    std::string sql;
    const std::string op = gen.Pick(RowList{"=", "<", ">", "<=", ">=", "<>"});
    switch (gen.Int(0, 6)) {
      case 6: {  // EXISTS, correlated, an equality on a key or indexed column
        const bool key = gen.Chance(0.5);
        const std::string column = key ? "z.id" : "z.a";
        const std::string other = key ? "z.v" : "z.b";
        const std::string outerColumn = outer + "." + gen.Pick(RowList{"a", "b"});
        RowList conditions{gen.Chance(0.5) ? column + " = " + outerColumn : outerColumn + " = " + column};
        if (gen.Chance(0.3)) conditions = {column + " = " + number(), other + " >= " + outerColumn};
        if (gen.Chance(0.5)) conditions.push_back(other + " " + op + " " + number());
        sql = "SELECT a, b" + from + " WHERE " + (gen.Chance(0.3) ? "NOT " : "") + "EXISTS (SELECT * FROM " +
              (key ? "w" : "o") + " z WHERE " + conditions[0];
        for (size_t i = 1; i < conditions.size(); ++i) sql += " AND " + conditions[i];
        sql += ")";
        break;
      }
      case 5:  // IN over a key, not correlated; halves are looked up but need not match
        sql = "SELECT id, v FROM w WHERE id IN (" + inner("", gen.Chance(0.3) ? "a * 0.5" : "") + ")" +
              (gen.Chance(0.4) ? " AND v > " + number() : "");
        break;
      case 0: {  // [NOT] IN, not correlated, over rows that may be none
        // NOT IN keeps to subqueries without nulls: where one yields a null
        // and no equal value, the dialects part.
        const bool negated = gen.Chance(0.4);
        const std::string item = gen.Pick(RowList{"a", "b"});
        sql = "SELECT a, b" + from + " WHERE " + outer + "." + gen.Pick(RowList{"a", "b"}) +
              (negated ? " NOT IN (" + inner(in + "." + item + " IS NOT NULL", item) : " IN (" + inner("")) + ")";
        break;
      }
      case 1:  // IN, correlated
        sql = "SELECT a, b" + from + " WHERE " + outer + ".a IN (" + inner(in + ".b " + op + " " + outer + ".b") + ")";
        break;
      case 2:  // EXISTS, correlated
        sql = "SELECT a, b" + from + " WHERE EXISTS (" +
              inner(in + ".a " + op + " " + outer + "." + gen.Pick(RowList{"a", "b"})) + ")" +
              (gen.Chance(0.3) ? " AND " + outer + ".b > " + number() : "");
        break;
      case 3:  // scalar, one row
        sql = "SELECT a, b" + from + " WHERE " + outer + ".a " + op + " (SELECT v FROM k WHERE id = " +
              std::to_string(gen.Int(-3, 12)) + ")";
        break;
      default:  // scalar, correlated, one row each
        sql = "SELECT a, b FROM o x WHERE x.b " + op + " (SELECT v FROM k WHERE k.id = x.a)";
        break;
    }
    ASSERT_EQ(Fetch(sql), Oracle_.Query(sql)) << sql;
  }
}

}  // namespace
