// Random GROUP BY queries over integer tables (and the setup tables), their
// items under aliases that are now and then column names, GROUP BY and
// HAVING naming items by alias, return the rows SQLite returns for the same
// text, compared as multisets. (The
// generated grouped queries run in SelectRandomTest's robustness run.)
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/sql/SqliteOracle.h"
#include "tests/support/TestBudget.h"

namespace {

using GroupRandomTest = sql_test::QueryFixture;

std::string Number(sql_test::SqlGenerator& g) { return std::to_string(g.Int(-3, 12)); }

std::string WhereCondition(sql_test::SqlGenerator& g, const std::vector<std::string>& columns, int depth) {
  if (depth > 0 && g.Chance(0.4)) {
    return "(" + WhereCondition(g, columns, depth - 1) + (g.Chance(0.5) ? " AND " : " OR ") +
           WhereCondition(g, columns, depth - 1) + ")";
  }
  const std::string& c = g.Pick(columns);
  switch (g.Int(0, 3)) {
    case 0:
      return c + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return c + " BETWEEN " + Number(g) + " AND " + Number(g);
    default:
      return c + " " + g.Pick(std::vector<std::string>{"=", "<", ">"}) + " " + Number(g);
  }
}

std::string Aggregate(sql_test::SqlGenerator& g, const std::vector<std::string>& columns) {
  if (g.Chance(0.25)) return "COUNT(*)";
  const std::string function = g.Pick(std::vector<std::string>{"COUNT", "SUM", "MIN", "MAX"});
  const bool distinct = (function == "COUNT" || function == "SUM") && g.Chance(0.2);
  return function + "(" + (distinct ? "DISTINCT " : "") + g.Pick(columns) + ")";
}

std::string HavingCondition(sql_test::SqlGenerator& g, const std::vector<std::string>& columns, int depth) {
  if (depth > 0 && g.Chance(0.3)) {
    return "(" + HavingCondition(g, columns, depth - 1) + (g.Chance(0.5) ? " AND " : " OR ") +
           HavingCondition(g, columns, depth - 1) + ")";
  }
  return Aggregate(g, columns) + " " + g.Pick(std::vector<std::string>{"=", "<>", "<", ">", "<=", ">="}) + " " +
         std::to_string(g.Int(-5, 30));
}

TEST_F(GroupRandomTest, RowsMatchSqliteForRandomGroupedQueries) {
  sql_test::SqliteOracle oracle;
  Run(sql_test::kSetupSql);
  oracle.Exec(sql_test::kSetupSql);
  sql_test::SqlGenerator gen(40);
  struct Table {
    std::string Name;
    std::vector<std::string> Columns;
    // Columns that may also group (not aggregated: text).
    std::vector<std::string> GroupOnly;
  };
  std::vector<Table> tables{{"emp", {"id", "salary", "mgr"}, {"dept"}}, {"dept", {"budget"}, {"code"}}};
  // Integer tables with nulls and many equal values; the first is empty.
  for (int t = 0; t < 4; ++t) {
    Table table{"r" + std::to_string(t), {"a", "b", "c"}, {}};
    const std::string create = "CREATE TABLE " + table.Name + " (a INTEGER, b INTEGER, c INTEGER)";
    Run(create);
    oracle.Exec(create);
    const int rows = t == 0 ? 0 : gen.Int(1, 200);
    for (int start = 0; start < rows; start += 50) {
      std::string insert = "INSERT INTO " + table.Name + " VALUES ";
      for (int r = start; r < std::min(rows, start + 50); ++r) {
        insert += r > start ? ", (" : "(";
        for (int c = 0; c < 3; ++c) insert += (c > 0 ? ", " : "") + (gen.Chance(0.15) ? "NULL" : Number(gen));
        insert += ")";
      }
      Run(insert);
      oracle.Exec(insert);
    }
    tables.push_back(std::move(table));
  }
  auto budget = qv::test::TestBudget::Steps(2500, 25);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const Table& table = gen.Pick(tables);
    std::vector<std::string> candidates = table.Columns;
    candidates.insert(candidates.end(), table.GroupOnly.begin(), table.GroupOnly.end());
    std::vector<std::string> groups;
    const int groupCount = gen.Int(0, std::min<int>(2, static_cast<int>(candidates.size())));
    std::shuffle(candidates.begin(), candidates.end(), std::mt19937(static_cast<uint32_t>(round)));
    groups.assign(candidates.begin(), candidates.begin() + groupCount);
    std::vector<std::string> items;
    for (const std::string& g : groups)
      if (gen.Chance(0.8)) items.push_back(g);
    const int aggregates = gen.Int(groups.empty() ? 1 : 0, 3);
    for (int i = 0; i < aggregates; ++i) items.push_back(Aggregate(gen, table.Columns));
    if (items.empty()) items.push_back("COUNT(*)");
    // Each item under an alias of its own, now and then the name of a
    // column (GROUP BY and HAVING then mean the column).
    std::vector<std::string> columns = table.Columns;
    columns.insert(columns.end(), table.GroupOnly.begin(), table.GroupOnly.end());
    std::vector<std::string> aliases;
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string name = gen.Chance(0.3) ? gen.Pick(columns) : "x" + std::to_string(i);
      aliases.push_back(std::find(aliases.begin(), aliases.end(), name) == aliases.end() ? name : "x" + std::to_string(i));
    }
    auto isColumn = [&](const std::string& name) {
      return std::find(columns.begin(), columns.end(), name) != columns.end();
    };
    std::string sql = "SELECT ";
    for (size_t i = 0; i < items.size(); ++i) sql += (i > 0 ? ", " : "") + items[i] + " AS " + aliases[i];
    sql += " FROM " + table.Name;
    if (gen.Chance(0.5)) sql += " WHERE " + WhereCondition(gen, table.Columns, 1);
    if (!groups.empty()) {
      // A group column, or the alias of its item where that is no column.
      sql += " GROUP BY ";
      for (size_t i = 0; i < groups.size(); ++i) {
        std::string name = groups[i];
        const auto item = std::find(items.begin(), items.end(), groups[i]);
        const std::string alias = item == items.end() ? "" : aliases[static_cast<size_t>(item - items.begin())];
        if (!alias.empty() && !isColumn(alias) && gen.Chance(0.3)) name = alias;
        sql += (i > 0 ? ", " : "") + name;
      }
    }
    if (gen.Chance(0.5)) {
      // Aggregates, an integer group column, or an item by its alias where
      // that is no column.
      std::vector<std::string> names;
      for (const std::string& g : groups)
        if (std::find(table.Columns.begin(), table.Columns.end(), g) != table.Columns.end()) names.push_back(g);
      for (size_t i = 0; i < aliases.size(); ++i)
        if (!isColumn(aliases[i]) && std::find(table.GroupOnly.begin(), table.GroupOnly.end(), items[i]) ==
                                         table.GroupOnly.end())
          names.push_back(aliases[i]);
      std::string having = HavingCondition(gen, table.Columns, 1);
      if (!names.empty() && gen.Chance(0.5))
        having = gen.Pick(names) + " " + gen.Pick(std::vector<std::string>{"=", "<>", "<", ">"}) + " " +
                 std::to_string(gen.Int(-3, 12)) + (gen.Chance(0.5) ? " OR " + having : "");
      sql += " HAVING " + having;
    }
    if (gen.Chance(0.3)) sql += " ORDER BY " + (gen.Chance(0.5) ? aliases[0] : "1") + (gen.Chance(0.5) ? " DESC" : "");
    std::vector<std::string> ours = FetchRows(sql);
    std::vector<std::string> theirs = oracle.Rows(sql);
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    ASSERT_EQ(ours, theirs) << sql;
  }
}

}  // namespace
