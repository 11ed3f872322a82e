// Random SELECTs: generated queries, grouped ones among them (mixed with the
// generator's other statements, row changes too), give only the engine's and the dataset
// layer's errors, never a crash or a leak; and random single-table queries
// over integer columns, indexed or not, sorted and cut by TOP or not, and a
// text column (LIKE patterns with '_' and '%', numeric functions of nullable
// columns) return the rows SQLite returns for the same text.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/sql/SqliteOracle.h"
#include "tests/support/TestBudget.h"

namespace {

using SelectRandomTest = sql_test::QueryFixture;

TEST_F(SelectRandomTest, GeneratedQueriesGiveOnlyEngineAndDatasetErrors) {
  Run(sql_test::kSetupSql);
  sql_test::SqlGenerator gen(20240917);
  sql_test::AddSelectProductions(gen);
  sql_test::AddGroupProductions(gen);
  sql_test::AddJoinProductions(gen);
  sql_test::AddQueryExpressionProductions(gen);
  sql_test::AddModifyProductions(gen);
  gen.Tables.push_back({"emp", "emp", false,
                        {{"id", "INTEGER", 0}, {"name", "VARCHAR", 20}, {"dept", "VARCHAR", 10},
                         {"salary", "INTEGER", 0}, {"mgr", "INTEGER", 0}}});
  gen.Tables.push_back({"dept", "dept", false,
                        {{"code", "VARCHAR", 10}, {"title", "VARCHAR", 20}, {"budget", "INTEGER", 0}}});
  RunGeneratedTexts(gen, qv::test::TestBudget::Steps(2500, 25), 2, [&](const std::string& text) { FetchRows(text); });
}

using Oracle = sql_test::SqliteOracle;

std::string Number(sql_test::SqlGenerator& g) { return std::to_string(g.Int(-3, 12)); }

// A LIKE pattern of one to four pieces: letters, '_' and '%', never two '%'
// in a row (where the dialects part: 'a' LIKE 'a%%').
std::string Pattern(sql_test::SqlGenerator& g) {
  std::string pattern;
  const int pieces = g.Int(1, 4);
  for (int i = 0; i < pieces; ++i) {
    char c = "ab_%"[g.Int(0, 3)];
    if (c == '%' && !pattern.empty() && pattern.back() == '%') c = '_';
    pattern += c;
  }
  return pattern;
}

struct OracleTable {
  std::string Name;
  std::vector<std::string> Columns;  // integers
  std::string Text;                  // a text column
};

std::string Condition(sql_test::SqlGenerator& g, const OracleTable& table, int depth) {
  if (depth > 0 && g.Chance(0.4)) {
    return "(" + Condition(g, table, depth - 1) + (g.Chance(0.5) ? " AND " : " OR ") + Condition(g, table, depth - 1) +
           ")";
  }
  const std::string& c = g.Pick(table.Columns);
  switch (g.Int(0, 6)) {
    case 0:
      return c + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return c + " IN (" + Number(g) + ", " + Number(g) + ", " + Number(g) + ")";
    case 2:
      return c + " BETWEEN " + Number(g) + " AND " + Number(g);
    case 3:
      // A null value matches no pattern here, in neither dialect.
      return "(" + table.Text + " IS NOT NULL AND " + table.Text + (g.Chance(0.3) ? " NOT" : "") + " LIKE '" +
             Pattern(g) + "')";
    default:
      return c + " " + g.Pick(std::vector<std::string>{"=", "<", ">"}) + " " +
             (g.Chance(0.2) ? g.Pick(table.Columns) : Number(g));
  }
}

// A numeric function of column c, null for a null c in both dialects; the
// ones of a float result read as integers, which both print alike.
std::string Function(sql_test::SqlGenerator& g, const std::string& c) {
  static const std::vector<std::string> kForms = {"ABS(#)",
                                                  "SIGN(#)",
                                                  "FLOOR(#)",
                                                  "CEIL(#)",
                                                  "CAST(ROUND(#) AS INTEGER)",
                                                  "CAST(POWER(#, 2) AS INTEGER)",
                                                  "CAST(SQRT(ABS(#)) AS INTEGER)",
                                                  "CAST(EXP(# / 10) AS INTEGER)",
                                                  "CAST(SIN(#) * 100 AS INTEGER)",
                                                  "CAST(POWER(2, # / 10) * 8 AS INTEGER)"};
  std::string form = g.Pick(kForms);
  for (size_t at = form.find('#'); at != std::string::npos; at = form.find('#')) form.replace(at, 1, c);
  return form;
}

TEST_F(SelectRandomTest, RowsMatchSqliteForRandomSingleTableQueries) {
  Oracle oracle;
  Run(sql_test::kSetupSql);
  oracle.Exec(
      "CREATE TABLE emp (id INTEGER NOT NULL, name VARCHAR(20), dept VARCHAR(10), salary INTEGER, mgr INTEGER, "
      "PRIMARY KEY (id));"
      "INSERT INTO emp VALUES (1,'alice','eng',100,NULL),(2,'bob','eng',80,1),(3,'carol','ops',70,1),"
      "(4,'dave','ops',60,3),(5,'erin','sales',50,1),(6,'frank',NULL,40,NULL)");
  sql_test::SqlGenerator gen(11);
  std::vector<OracleTable> tables{{"emp", {"id", "salary", "mgr"}, "dept"}};
  const std::vector<std::string> texts{"'a'", "'b'", "'ab'", "'ba'", "'abb'", "'bab'", "'aab'", "NULL"};
  for (int t = 0; t < 3; ++t) {
    OracleTable table{"r" + std::to_string(t), {"a", "b", "c"}, "s"};
    const std::string create = "CREATE TABLE " + table.Name + " (a INTEGER, b INTEGER, c INTEGER, s VARCHAR(4))";
    Run(create);
    oracle.Exec(create);
    std::string insert = "INSERT INTO " + table.Name + " VALUES ";
    const int rows = gen.Int(5, 40);
    for (int r = 0; r < rows; ++r) {
      insert += r > 0 ? ", (" : "(";
      for (int c = 0; c < 3; ++c) insert += (c > 0 ? ", " : "") + (gen.Chance(0.15) ? "NULL" : Number(gen));
      insert += ", " + gen.Pick(texts) + ")";
    }
    Run(insert);
    oracle.Exec(insert);
    tables.push_back(std::move(table));
  }
  // Ranges, BETWEEN and the TOP of a sort are planned over these indexes,
  // ascending and descending; r2 keeps none.
  for (const char* index : {"CREATE INDEX r0a ON r0 (a)", "CREATE INDEX r1b ON r1 (b DESC)"}) {
    Run(index);
    oracle.Exec(index);
  }
  auto budget = qv::test::TestBudget::Steps(600, 20);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const OracleTable& table = gen.Pick(tables);
    std::vector<std::string> selected;
    for (const std::string& c : table.Columns)
      if (gen.Chance(0.6)) selected.push_back(c);
    if (selected.empty()) selected.push_back(gen.Pick(table.Columns));
    const bool distinct = gen.Chance(0.3);
    std::string list;
    for (size_t i = 0; i < selected.size(); ++i) list += (i > 0 ? ", " : "") + selected[i];
    // Functions over selected columns only, so that rows equal in the
    // ORDER BY keys are equal in every item.
    if (gen.Chance(0.4)) list += ", " + Function(gen, gen.Pick(selected));
    if (gen.Chance(0.2)) list += ", " + Function(gen, gen.Pick(selected));
    std::string rest = " FROM " + table.Name;
    if (gen.Chance(0.8)) rest += " WHERE " + Condition(gen, table, 2);
    const bool ordered = gen.Chance(0.5);
    if (ordered) {
      // Sorted on every selected column: rows that tie are alike, so a TOP
      // keeps the same rows on both sides.
      std::vector<std::string> keys = selected;
      std::shuffle(keys.begin(), keys.end(), std::mt19937(static_cast<uint32_t>(round)));
      rest += " ORDER BY ";
      for (size_t i = 0; i < keys.size(); ++i) rest += (i > 0 ? ", " : "") + keys[i] + (gen.Chance(0.3) ? " DESC" : "");
    }
    const int top = ordered && gen.Chance(0.4) ? gen.Int(0, 6) : -1;
    const std::string head = std::string("SELECT ") + (distinct ? "DISTINCT " : "");
    const std::string sql = head + (top >= 0 ? "TOP " + std::to_string(top) + " " : "") + list + rest;
    std::vector<std::string> ours = FetchRows(sql);
    std::vector<std::string> theirs =
        oracle.Rows(head + list + rest + (top >= 0 ? " LIMIT " + std::to_string(top) : ""));
    if (!ordered) {
      std::sort(ours.begin(), ours.end());
      std::sort(theirs.begin(), theirs.end());
    }
    ASSERT_EQ(ours, theirs) << sql;
  }
}

}  // namespace
