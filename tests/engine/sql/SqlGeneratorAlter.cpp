// The SQL generator's statements that change an existing table: ALTER TABLE
// (ADD, MODIFY, DROP, RENAME COLUMN, RENAME TO), RENAME TABLE, CREATE INDEX
// and DROP INDEX over the tables of the model, which follows each statement
// as if it ran. Kept apart from the other productions so that each SQL
// feature adds its own file.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"

namespace sql_test {

namespace {

using Strings = std::vector<std::string>;
const Strings kTypes = {"INTEGER", "LARGEINT", "SMALLINT", "FLOAT", "VARCHAR", "CHAR", "DATE", "LOGICAL", "MEMO"};
const Strings kIndexNames = {"x0", "[x 1]"};

std::string Join(const Strings& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : " , ") + part;
  return text;
}

// A column of the table, now and then a name it does not have.
std::string AnyColumn(SqlGenerator& g, const SqlGenerator::Table& t) {
  return t.Columns.empty() || g.Chance(0.05) ? g.NewName() : g.Pick(t.Columns).Name;
}

SqlGenerator::Column* Find(SqlGenerator::Table& t, const std::string& name) {
  auto it = std::find_if(t.Columns.begin(), t.Columns.end(), [&](const auto& c) { return c.Name == name; });
  return it == t.Columns.end() ? nullptr : &*it;
}

// "name TYPE[(size)] [option]"; column takes the type and size.
std::string Definition(SqlGenerator& g, SqlGenerator::Column& column) {
  column.Type = g.Pick(kTypes);
  column.Size = column.Type == "VARCHAR" || column.Type == "CHAR" ? g.Int(1, 30) : 0;
  const std::string size = column.Size > 0 ? " ( " + std::to_string(column.Size) + " )" : "";
  return column.Name + " " + column.Type + size +
         g.Pick(Strings{" NOT NULL", " DEFAULT " + g.Value(column), " UNIQUE", "", ""});
}

}  // namespace

AlterStatement MakeAlterStatement(SqlGenerator& g) {
  if (g.Tables.empty()) return {"ALTER TABLE " + g.NewName() + " ADD ( c INTEGER )", "", ""};
  SqlGenerator::Table& t = g.Tables[static_cast<size_t>(g.Int(0, static_cast<int>(g.Tables.size()) - 1))];
  AlterStatement s{"", t.StoredName, t.StoredName};
  const std::string table = (t.Memory ? "MEMORY " : "") + t.Name;
  const std::string alter = "ALTER TABLE " + table;
  SqlGenerator::Column column{AnyColumn(g, t), "", 0};
  switch (g.Int(0, 7)) {
    case 0: {
      if (g.Chance(0.8)) column.Name = g.NewName();
      const bool known = Find(t, column.Name) != nullptr;
      Strings items{(g.Chance(0.3) ? "IF NOT EXISTS " : "") + Definition(g, column)};
      if (g.Chance(0.2)) items.push_back("UNIQUE INDEX " + g.Pick(kIndexNames) + " ( " + AnyColumn(g, t) + " )");
      if (!known) t.Columns.push_back(column);
      s.Text = alter + " ADD ( " + Join(items) + " )";
      break;
    }
    case 1:
      s.Text = alter + " MODIFY ( " + Definition(g, column) + " )";
      if (SqlGenerator::Column* known = Find(t, column.Name)) *known = column;
      break;
    case 2: {
      Strings names{column.Name};
      if (g.Chance(0.3)) names.push_back(AnyColumn(g, t));
      s.Text = alter + " DROP " + (g.Chance(0.5) ? "COLUMN " : "") + Join(names);
      // A table keeps at least one column (the rebuild refuses none).
      for (const auto& name : names)
        if (t.Columns.size() > 1) std::erase_if(t.Columns, [&](const auto& c) { return c.Name == name; });
      break;
    }
    case 3: {
      const std::string to = g.NewName();
      s.Text = alter + " RENAME " + (g.Chance(0.5) ? "COLUMN " : "") + column.Name + " TO " + to;
      if (SqlGenerator::Column* known = Find(t, column.Name)) known->Name = to;
      break;
    }
    case 4:
    case 5:
      t.Name = t.StoredName = s.NewTable = "r" + std::to_string(g.Int(0, 999));
      s.Text = g.Chance(0.5) ? alter + " RENAME TO " + t.Name
                             : "RENAME " + std::string(g.Chance(0.5) ? "TABLE " : "") + table + " TO " + t.Name;
      break;
    case 6: {
      Strings columns;
      for (int i = g.Int(1, 3); i > 0; --i)
        columns.push_back(AnyColumn(g, t) + (g.Chance(0.3) ? " DESC" : "") + (g.Chance(0.2) ? " NOCASE" : ""));
      s.Text = std::string("CREATE ") + (g.Chance(0.4) ? "UNIQUE " : "") + "INDEX " + g.Pick(kIndexNames) + " ON " +
               table + " ( " + Join(columns) + " )";
      break;
    }
    default:
      s.Text = "DROP INDEX " + table + " . " + g.Pick(kIndexNames);
  }
  return s;
}

void AddAlterProductions(SqlGenerator& gen) {
  gen.AddProduction("alter table and indexes", 1, [](SqlGenerator& g) { return MakeAlterStatement(g).Text; });
}

}  // namespace sql_test
