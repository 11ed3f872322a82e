// The SQL generator's joins: SELECT over two to four tables of the model,
// joined by every kind with ON (equalities of any two columns, other
// comparisons, now and then a name of no table), USING, NATURAL, in
// parentheses, in chains and in comma lists, with WHERE on either side and
// now and then DISTINCT, TOP and ORDER BY. Kept apart from the other
// productions so that each SQL feature adds its own file.
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"

namespace sql_test {

namespace {

using Strings = std::vector<std::string>;

struct Named {
  const SqlGenerator::Table* Table;
  std::string Alias;
};

// A qualified column of one of tables, now and then a bare or unknown name.
std::string Column(SqlGenerator& g, const std::vector<Named>& tables) {
  const Named& t = g.Pick(tables);
  if (t.Table->Columns.empty() || g.Chance(0.04)) return g.NewName();
  const std::string& name = g.Pick(t.Table->Columns).Name;
  return g.Chance(0.15) ? name : t.Alias + " . " + name;
}

std::string Condition(SqlGenerator& g, const std::vector<Named>& tables, int depth) {
  if (depth > 0 && g.Chance(0.3))
    return "( " + Condition(g, tables, depth - 1) + (g.Chance(0.6) ? " AND " : " OR ") +
           Condition(g, tables, depth - 1) + " )";
  const std::string a = Column(g, tables);
  switch (g.Int(0, 4)) {
    case 0:
      return a + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return a + " " + g.Pick(Strings{"<", ">", "<>"}) + " " + std::to_string(g.Int(-2, 9));
    default:
      return a + " = " + Column(g, tables);
  }
}

// A reference over tables[lo, hi): a table, or a join of two parts.
std::string Reference(SqlGenerator& g, const std::vector<Named>& tables, size_t lo, size_t hi) {
  if (hi - lo == 1)
    return (tables[lo].Table->Memory ? "MEMORY " : "") + tables[lo].Table->Name + " " + tables[lo].Alias;
  const size_t mid = lo + static_cast<size_t>(g.Int(1, static_cast<int>(hi - lo) - 1));
  std::string left = Reference(g, tables, lo, mid);
  std::string right = Reference(g, tables, mid, hi);
  if (mid - lo > 1 && g.Chance(0.7)) left = "( " + left + " )";
  if (hi - mid > 1 && g.Chance(0.8)) right = "( " + right + " )";
  if (g.Chance(0.15)) return left + " CROSS JOIN " + right;
  const std::vector<Named> both(tables.begin() + static_cast<std::ptrdiff_t>(lo),
                                tables.begin() + static_cast<std::ptrdiff_t>(hi));
  const std::string text = left + (g.Chance(0.1) ? " NATURAL " : " ") +
                           g.Pick(Strings{"", "INNER ", "LEFT ", "LEFT OUTER ", "RIGHT ", "FULL ", "FULL OUTER "}) +
                           "JOIN " + right;
  if (g.Chance(0.15)) return text;
  if (g.Chance(0.2)) {
    const std::string column = Column(g, both);
    return text + " USING ( " + column.substr(column.find_last_of(' ') + 1) + " )";
  }
  return text + " ON " + Condition(g, both, 2);
}

}  // namespace

std::string JoinStatement(SqlGenerator& g) {
  std::vector<Named> tables;
  const int count = g.Int(2, 4);
  for (int i = 0; i < count; ++i) {
    const SqlGenerator::Table* t = g.AnyTable();
    if (t == nullptr) return "SELECT * FROM " + g.NewName() + " JOIN " + g.NewName() + " ON a = b";
    tables.push_back({t, "j" + std::to_string(i)});
  }
  std::string text = std::string("SELECT ") + (g.Chance(0.2) ? "DISTINCT " : "");
  if (g.Chance(0.1)) text += "TOP " + std::to_string(g.Int(0, 5)) + " ";
  if (g.Chance(0.3)) {
    text += g.Chance(0.5) ? "*" : g.Pick(tables).Alias + " . *";
  } else {
    const int items = g.Int(1, 4);
    for (int i = 0; i < items; ++i)
      text += (i > 0 ? " , " : "") + Column(g, tables) + (g.Chance(0.2) ? " + 1 AS x" + std::to_string(i) : "");
  }
  text += " FROM ";
  if (g.Chance(0.25)) {
    for (size_t i = 0; i < tables.size(); ++i) text += (i > 0 ? " , " : "") + Reference(g, tables, i, i + 1);
  } else {
    text += Reference(g, tables, 0, tables.size());
  }
  if (g.Chance(0.6)) text += " WHERE " + Condition(g, tables, 2);
  if (g.Chance(0.3)) text += " ORDER BY " + Column(g, tables) + (g.Chance(0.3) ? " DESC" : "");
  return text;
}

void AddJoinProductions(SqlGenerator& gen) { gen.AddProduction("join", 6, JoinStatement); }

}  // namespace sql_test
