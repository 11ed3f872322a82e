// The SQL generator's statements that change an existing table: ALTER TABLE
// (ADD, MODIFY, DROP, RENAME COLUMN, RENAME TO), RENAME TABLE, CREATE INDEX
// and DROP INDEX over the tables of the model, which follows each statement
// as if it ran. Kept apart from the other productions so that each SQL
// feature adds its own file.
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"

namespace sql_test {

namespace {

const std::vector<std::string> kTypes = {"INTEGER", "LARGEINT", "SMALLINT", "FLOAT", "VARCHAR",
                                         "CHAR",    "DATE",     "LOGICAL",  "MEMO"};
const std::vector<std::string> kIndexNames = {"x0", "[x 1]"};

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i > 0 ? " , " : "") + parts[i];
  return text;
}

std::string Stored(const std::string& name) {
  return name.front() == '[' || name.front() == '"' ? name.substr(1, name.size() - 2) : name;
}

std::string Target(const SqlGenerator::Table& t) { return (t.Memory ? "MEMORY " : "") + t.Name; }

// A column of the table, now and then a name it does not have.
std::string AnyColumn(SqlGenerator& g, const SqlGenerator::Table& t) {
  return t.Columns.empty() || g.Chance(0.05) ? g.NewName() : g.Pick(t.Columns).Name;
}

SqlGenerator::Column* FindColumn(SqlGenerator::Table& t, const std::string& name) {
  for (auto& c : t.Columns)
    if (c.Name == name) return &c;
  return nullptr;
}

// "name TYPE[(size)] [option]"; column takes the name, type and size.
std::string Definition(SqlGenerator& g, SqlGenerator::Column& column) {
  column.Type = g.Pick(kTypes);
  column.Size = column.Type == "VARCHAR" || column.Type == "CHAR" ? g.Int(1, 30) : 0;
  std::string text = column.Name + " " + column.Type + (column.Size > 0 ? " ( " + std::to_string(column.Size) + " )" : "");
  switch (g.Int(0, 5)) {
    case 0:
      return text + " NOT NULL";
    case 1:
      return text + " DEFAULT " + g.Value(column);
    case 2:
      return text + " UNIQUE";
    default:
      return text;
  }
}

}  // namespace

AlterStatement MakeAlterStatement(SqlGenerator& g) {
  if (g.Tables.empty()) return {"ALTER TABLE " + g.NewName() + " ADD ( c INTEGER )", "", ""};
  SqlGenerator::Table& t = g.Tables[static_cast<size_t>(g.Int(0, static_cast<int>(g.Tables.size()) - 1))];
  AlterStatement s{"", t.StoredName, t.StoredName};
  const std::string alter = "ALTER TABLE " + Target(t);
  switch (g.Int(0, 7)) {
    case 0: {
      std::vector<std::string> items;
      for (int i = g.Int(1, 2); i > 0; --i) {
        SqlGenerator::Column column;
        column.Name = g.Chance(0.2) ? AnyColumn(g, t) : g.NewName();
        const bool known = FindColumn(t, column.Name) != nullptr;
        items.push_back((g.Chance(0.3) ? "IF NOT EXISTS " : "") + Definition(g, column));
        if (!known) t.Columns.push_back(column);
      }
      if (g.Chance(0.2)) items.push_back("UNIQUE INDEX " + g.Pick(kIndexNames) + " ( " + AnyColumn(g, t) + " )");
      s.Text = alter + " ADD ( " + Join(items) + " )";
      break;
    }
    case 1: {
      SqlGenerator::Column column;
      column.Name = AnyColumn(g, t);
      s.Text = alter + " MODIFY ( " + Definition(g, column) + " )";
      if (SqlGenerator::Column* known = FindColumn(t, column.Name)) *known = column;
      break;
    }
    case 2: {
      std::vector<std::string> names{AnyColumn(g, t)};
      if (g.Chance(0.3)) names.push_back(AnyColumn(g, t));
      s.Text = alter + " DROP " + (g.Chance(0.5) ? "COLUMN " : "") + Join(names);
      // A table keeps at least one column (the rebuild refuses none).
      for (const auto& name : names)
        if (t.Columns.size() > 1) std::erase_if(t.Columns, [&](const auto& c) { return c.Name == name; });
      break;
    }
    case 3: {
      const std::string from = AnyColumn(g, t);
      const std::string to = g.NewName();
      s.Text = alter + " RENAME " + (g.Chance(0.5) ? "COLUMN " : "") + from + " TO " + to;
      if (SqlGenerator::Column* known = FindColumn(t, from)) known->Name = to;
      break;
    }
    case 4:
    case 5: {
      const std::string to = g.NewName();
      s.Text = g.Chance(0.5) ? alter + " RENAME TO " + to
                             : "RENAME " + std::string(g.Chance(0.5) ? "TABLE " : "") + Target(t) + " TO " + to;
      t.Name = to;
      t.StoredName = s.NewTable = Stored(to);
      break;
    }
    case 6: {
      std::vector<std::string> columns;
      for (int i = g.Int(1, 3); i > 0; --i)
        columns.push_back(AnyColumn(g, t) + (g.Chance(0.3) ? " DESC" : "") + (g.Chance(0.2) ? " NOCASE" : ""));
      s.Text = std::string("CREATE ") + (g.Chance(0.4) ? "UNIQUE " : "") + "INDEX " + g.Pick(kIndexNames) + " ON " +
               Target(t) + " ( " + Join(columns) + " )";
      break;
    }
    default:
      s.Text = "DROP INDEX " + Target(t) + " . " + g.Pick(kIndexNames);
      break;
  }
  return s;
}

void AddAlterProductions(SqlGenerator& gen) {
  gen.AddProduction("alter table and indexes", 2, [](SqlGenerator& g) { return MakeAlterStatement(g).Text; });
}

}  // namespace sql_test
