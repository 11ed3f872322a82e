// The SQL generator's statements that change rows: UPDATE (plain and
// row-value SET), DELETE and INSERT ... SELECT over the tables of the model.
// Kept apart from the other productions so that each SQL feature adds its
// own file.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"

namespace sql_test {

namespace {

using Table = SqlGenerator::Table;
using Column = SqlGenerator::Column;

std::string TableRef(const Table& t) { return std::string(t.Memory ? "MEMORY " : "") + t.Name; }

// A column of t, qualified by the table's name or by qualifier now and
// then; now and then a name t does not have.
std::string Field(SqlGenerator& g, const Table& t, const std::string& qualifier) {
  if (t.Columns.empty() || g.Chance(0.04)) return g.NewName();
  const std::string& name = g.Pick(t.Columns).Name;
  if (!qualifier.empty() && g.Chance(0.3)) return qualifier + " . " + name;
  return name;
}

std::string Where(SqlGenerator& g, const Table& t, const std::string& qualifier, int depth) {
  if (depth > 0 && g.Chance(0.3))
    return "( " + Where(g, t, qualifier, depth - 1) + (g.Chance(0.5) ? " AND " : " OR ") +
           Where(g, t, qualifier, depth - 1) + " )";
  if (t.Columns.empty()) return "1 = 1";
  const Column& column = g.Pick(t.Columns);
  const std::string field = Field(g, t, qualifier);
  switch (g.Int(0, 4)) {
    case 0:
      return field + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return field + " IN ( " + g.Value(column) + " , " + g.Value(column) + " )";
    case 2:
      return field + " BETWEEN " + g.Value(column) + " AND " + g.Value(column);
    default:
      return field + " " + g.Pick(std::vector<std::string>{"=", "<>", "<", ">", "<=", ">="}) + " " + g.Value(column);
  }
}

// A value for column: a literal, another column, or an expression over the
// row.
std::string NewValue(SqlGenerator& g, const Table& t, const Column& column, const std::string& qualifier) {
  switch (g.Int(0, 5)) {
    case 0:
      return Field(g, t, qualifier);
    case 1:
      return Field(g, t, qualifier) + " + " + std::to_string(g.Int(0, 9));
    case 2:
      return "CASE WHEN " + Where(g, t, qualifier, 0) + " THEN " + g.Value(column) + " ELSE " +
             Field(g, t, qualifier) + " END";
    case 3:
      return "COALESCE ( " + Field(g, t, qualifier) + " , " + g.Value(column) + " )";
    default:
      return g.Value(column);
  }
}

std::string Update(SqlGenerator& g) {
  const Table* t = g.AnyTable();
  if (t == nullptr || t->Columns.empty()) return "UPDATE " + g.NewName() + " SET a = 1";
  // The table's own name qualifies a column; an alias qualifies only the
  // WHERE clause's.
  const std::string alias = g.Chance(0.15) ? "u" + std::to_string(g.Int(0, 2)) : std::string();
  std::string text = "UPDATE " + TableRef(*t) + (alias.empty() ? "" : " " + alias) + " SET ";
  const int count = g.Int(1, std::min<int>(3, static_cast<int>(t->Columns.size())));
  if (g.Chance(0.1)) {
    // A row value from another table of the model.
    const Table* source = g.AnyTable();
    std::vector<std::string> names, items;
    for (int i = 0; i < count; ++i) names.push_back(g.Pick(t->Columns).Name);
    const int width = g.Chance(0.8) ? count : g.Int(1, 3);
    for (int i = 0; i < width; ++i)
      items.push_back(source != nullptr && !source->Columns.empty() ? g.Pick(source->Columns).Name
                                                                   : std::to_string(g.Int(0, 9)));
    std::string list, select;
    for (size_t i = 0; i < names.size(); ++i) list += (i > 0 ? " , " : "") + names[i];
    for (size_t i = 0; i < items.size(); ++i) select += (i > 0 ? " , " : "") + items[i];
    text += "( " + list + " ) = ( SELECT TOP 1 " + select + " FROM " +
            (source != nullptr ? TableRef(*source) : g.NewName()) + " )";
  } else {
    for (int i = 0; i < count; ++i) {
      const Column& column = g.Pick(t->Columns);
      std::string name = column.Name;
      if (g.Chance(0.1)) name = t->Name + " . " + name;
      text += (i > 0 ? " , " : "") + name + " = " + NewValue(g, *t, column, alias);
    }
  }
  if (g.Chance(0.7)) text += " WHERE " + Where(g, *t, alias, 2);
  return text;
}

std::string Delete(SqlGenerator& g) {
  const Table* t = g.AnyTable();
  if (t == nullptr) return "DELETE FROM " + g.NewName();
  const std::string alias = g.Chance(0.15) ? "d" + std::to_string(g.Int(0, 2)) : std::string();
  std::string text = "DELETE FROM " + TableRef(*t) + (alias.empty() ? "" : " " + alias);
  if (g.Chance(0.8)) text += " WHERE " + Where(g, *t, alias, 2);
  return text;
}

std::string InsertSelect(SqlGenerator& g) {
  const Table* target = g.AnyTable();
  const Table* source = g.AnyTable();
  if (target == nullptr || source == nullptr || target->Columns.empty() || source->Columns.empty())
    return "INSERT INTO " + g.AnyTableName() + " SELECT * FROM " + g.AnyTableName();
  std::string text = "INSERT INTO " + TableRef(*target);
  if (g.Chance(0.2)) {
    // Any query of the SELECT productions, of whatever width.
    const std::string query = SelectStatement(g, *source);
    return text + (g.Chance(0.5) ? " ( " + query + " )" : " " + query);
  }
  // As many selected columns as named ones, mostly.
  std::vector<std::string> names;
  const bool list = g.Chance(0.7);
  int count = static_cast<int>(target->Columns.size());
  if (list) {
    count = g.Int(1, count);
    for (int i = 0; i < count; ++i) names.push_back(g.Pick(target->Columns).Name);
  }
  if (g.Chance(0.1)) count += g.Chance(0.5) ? 1 : -1;
  std::vector<std::string> items;
  for (int i = 0; i < std::max(count, 1); ++i)
    items.push_back(g.Chance(0.8) ? Field(g, *source, "") : g.Value(g.Pick(target->Columns)));
  if (list) {
    text += " (";
    for (size_t i = 0; i < names.size(); ++i) text += (i > 0 ? " , " : " ") + names[i];
    text += " )";
  }
  std::string query = "SELECT " + std::string(g.Chance(0.1) ? "DISTINCT " : "");
  for (size_t i = 0; i < items.size(); ++i) query += (i > 0 ? " , " : "") + items[i];
  query += " FROM " + TableRef(*source);
  if (g.Chance(0.6)) query += " WHERE " + Where(g, *source, "", 1);
  return text + (g.Chance(0.2) ? " ( " + query + " )" : " " + query);
}

}  // namespace

void AddModifyProductions(SqlGenerator& gen) {
  gen.AddProduction("update", 5, Update);
  gen.AddProduction("delete", 2, Delete);
  gen.AddProduction("insert select", 3, InsertSelect);
}

}  // namespace sql_test
