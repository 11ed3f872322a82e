// Random SELECTs: generated queries, grouped ones among them (mixed with the
// generator's other statements, row changes too), give only the engine's and the dataset
// layer's errors, never a crash or a leak; and random queries over integer
// columns, indexed or not, and a text column, of one table or two (the same
// table twice among them), with aliases that are column names, repeated and
// qualified columns, conditions naming items, LIKE patterns with '_' and
// '%', numeric functions of nullable columns, and ORDER BY by number and
// alias, cut by TOP or not, return the rows SQLite returns for the same text.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

// A number, or with params now and then a parameter's place "@n@" (params
// counts them).
std::string Value(sql_test::SqlGenerator& g, int* params) {
  if (params == nullptr || g.Chance(0.3)) return Number(g);
  return "@" + std::to_string((*params)++) + "@";
}

// text with each place "@n@" replaced by what value(n) gives.
std::string FillPlaces(std::string text, const std::function<std::string(int)>& value) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    const size_t end = text.find('@', at + 1);
    const std::string with = value(std::stoi(text.substr(at + 1, end - at - 1)));
    text.replace(at, end - at + 1, with);
    at += with.size();
  }
  return text;
}

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

// A condition over the integer names and the text column text.
std::string Condition(sql_test::SqlGenerator& g, const std::vector<std::string>& names, const std::string& text,
                      int depth, int* params = nullptr) {
  if (depth > 0 && g.Chance(0.4)) {
    return "(" + Condition(g, names, text, depth - 1, params) + (g.Chance(0.5) ? " AND " : " OR ") +
           Condition(g, names, text, depth - 1, params) + ")";
  }
  const std::string& c = g.Pick(names);
  switch (g.Int(0, 6)) {
    case 0:
      return c + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return c + " IN (" + Value(g, params) + ", " + Value(g, params) + ", " + Value(g, params) + ")";
    case 2:
      return c + " BETWEEN " + Value(g, params) + " AND " + Value(g, params);
    case 3:
      // A null value matches no pattern here, in neither dialect.
      return "(" + text + " IS NOT NULL AND " + text + (g.Chance(0.3) ? " NOT" : "") + " LIKE '" + Pattern(g) + "')";
    default:
      return c + " " + g.Pick(std::vector<std::string>{"=", "<", ">"}) + " " +
             (g.Chance(0.2) ? g.Pick(names) : Value(g, params));
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
    // One table, or now and then two (often the same table twice) joined by
    // WHERE or ON; items with and without aliases (an alias may be the name
    // of a column), qualified or not, repeated, computed.
    const OracleTable& table = gen.Pick(tables);
    const bool join = gen.Chance(0.25);
    const OracleTable& other = join && gen.Chance(0.4) ? gen.Pick(tables) : table;
    const std::string first = gen.Chance(join ? 0.7 : 0.4) ? "x" : table.Name;
    const std::vector<std::string> qualifiers = join ? std::vector<std::string>{first, "y"} : std::vector{first};
    const std::vector<const OracleTable*> sides = {&table, &other};
    std::vector<std::string> columns = table.Columns;
    if (join) columns.insert(columns.end(), other.Columns.begin(), other.Columns.end());
    auto isColumn = [&](const std::string& name) { return std::count(columns.begin(), columns.end(), name) > 0; };
    // Items as {text, alias}; an alias is a column's name or one of its own,
    // and no two items have one alias.
    std::vector<std::pair<std::string, std::string>> items;
    std::vector<std::string> aliases;
    for (int i = gen.Int(1, 4); i > 0; --i) {
      if (!items.empty() && gen.Chance(0.2)) {
        items.emplace_back(items[static_cast<size_t>(gen.Int(0, static_cast<int>(items.size()) - 1))].first, "");
        continue;
      }
      const size_t side = static_cast<size_t>(gen.Int(0, static_cast<int>(qualifiers.size()) - 1));
      std::string column = gen.Pick(sides[side]->Columns);
      if (join || gen.Chance(0.3)) column = qualifiers[side] + "." + column;
      if (gen.Chance(0.25))
        column = Function(gen, column);
      else if (gen.Chance(0.1))  // a WHEN that is unknown is not taken
        column = "CASE WHEN " + column + " BETWEEN " + gen.Pick(std::vector<std::string>{"NULL", Number(gen)}) +
                 " AND " + Number(gen) + " THEN " + column + " ELSE -1 END";
      else if (gen.Chance(0.3))
        column += gen.Pick(std::vector<std::string>{" + ", " * "}) + std::to_string(gen.Int(0, 9));
      const std::string alias = gen.Chance(0.5) ? gen.Pick(sides[side]->Columns) : "k" + std::to_string(i);
      const bool aliased = gen.Chance(0.5) && std::count(aliases.begin(), aliases.end(), alias) == 0;
      if (aliased) aliases.push_back(alias);
      items.emplace_back(column, aliased ? alias : "");
    }
    // Names a condition may use: columns (qualified in a join, where a bare
    // one may be ambiguous), and aliases; a name that is both is the column.
    std::vector<std::string> names;
    for (size_t k = 0; k < qualifiers.size(); ++k)
      for (const std::string& c : sides[k]->Columns) names.push_back(join ? qualifiers[k] + "." + c : c);
    for (const std::string& alias : aliases)
      if (!join || !isColumn(alias)) names.push_back(alias);
    const std::string head = std::string("SELECT ") + (gen.Chance(0.3) ? "DISTINCT " : "");
    std::string sql;
    for (size_t i = 0; i < items.size(); ++i)
      sql += (i > 0 ? ", " : "") + items[i].first + (items[i].second.empty() ? "" : " AS " + items[i].second);
    sql += " FROM " + table.Name + (first == "x" ? " x" : "");
    const std::string text = join ? qualifiers[0] + "." + table.Text : table.Text;
    // Now and then the values are parameters, and the prepared query runs
    // with several sets of values. (A null value compares as the lowest
    // value in this engine, not as unknown: the oracle gets none.)
    int params = 0;
    const bool prepared = gen.Chance(0.3);
    std::string where = gen.Chance(0.8) ? Condition(gen, names, text, 2, prepared ? &params : nullptr) : "";
    if (join) {
      // The left side of the key, now and then an item by its alias.
      std::vector<std::string> itemNames;
      for (const std::string& alias : aliases)
        if (!isColumn(alias)) itemNames.push_back(alias);
      const std::string left =
          !itemNames.empty() && gen.Chance(0.4) ? gen.Pick(itemNames) : first + "." + gen.Pick(table.Columns);
      const std::string on = left + " = y." + gen.Pick(other.Columns);
      if (gen.Chance(0.5)) {
        sql += " JOIN " + other.Name + " y ON " + on;
      } else {
        sql += ", " + other.Name + " y";
        where = where.empty() ? on : on + " AND " + where;
      }
    }
    if (!where.empty()) sql += " WHERE " + where;
    // Every result column is a sort key, so the order is total: by its
    // number or by its alias.
    const bool ordered = gen.Chance(0.5);
    if (ordered) {
      std::vector<size_t> keys(items.size());
      for (size_t i = 0; i < keys.size(); ++i) keys[i] = i;
      std::shuffle(keys.begin(), keys.end(), std::mt19937(static_cast<uint32_t>(round)));
      sql += " ORDER BY ";
      for (size_t k = 0; k < keys.size(); ++k) {
        const std::string& alias = items[keys[k]].second;
        sql += (k > 0 ? ", " : "") + (!alias.empty() && gen.Chance(0.5) ? alias : std::to_string(keys[k] + 1)) +
               (gen.Chance(0.3) ? " DESC" : "");
      }
    }
    // A sorted result cut by TOP keeps the same rows on both sides: rows that
    // tie on every key are alike.
    const int top = ordered && gen.Chance(0.4) ? gen.Int(0, 6) : -1;
    const std::string ourSql = head + (top >= 0 ? "TOP " + std::to_string(top) + " " : "") + sql;
    const std::string theirSql = head + sql + (top >= 0 ? " LIMIT " + std::to_string(top) : "");
    const std::string ourText = FillPlaces(ourSql, [](int n) { return ":p" + std::to_string(n); });
    // Or each set of values written into a new text of the same shape.
    const bool newTexts = params > 0 && gen.Chance(0.5);
    for (int run = 0; run < (params > 0 ? 3 : 1); ++run) {
      std::vector<std::string> values;
      for (int p = 0; p < params; ++p) values.push_back(Number(gen));
      std::vector<std::string> ours;
      try {
        Query->SetSQL(newTexts ? FillPlaces(ourSql, [&](int n) { return values[static_cast<size_t>(n)]; }) : ourText);
        for (int p = 0; p < params && !newTexts; ++p)
          Query->ParamByName("p" + std::to_string(p))->SetAsInteger(std::stoi(values[static_cast<size_t>(p)]));
        Query->Open();
        ours = ReadRows();
        Query->Close();
      } catch (const std::exception& e) {
        FAIL() << ourText << ": " << e.what();
      }
      const std::string filled = FillPlaces(theirSql, [&](int n) { return values[static_cast<size_t>(n)]; });
      std::vector<std::string> theirs = oracle.Rows(filled);
      if (!ordered) {
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
      }
      ASSERT_EQ(ours, theirs) << ourText << " / " << filled;
    }
  }
}

}  // namespace
