// The productions of the SQL generator: table definitions, INSERT and the
// transaction statements. Tokens are written with blanks around them, so
// that Break can work on whole tokens.
#include "tests/engine/sql/SqlGenerator.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace sql_test {

namespace {

const std::vector<std::string> kSizedTypes = {"VARCHAR", "CHAR", "WIDESTRING", "BYTES"};
const std::vector<std::string> kPlainTypes = {"INTEGER", "SMALLINT", "LARGEINT", "FLOAT",    "LOGICAL",
                                              "DATE",    "TIME",     "DATETIME", "MEMO",     "BLOB",
                                              "AUTOINC", "CURRENCY", "BYTE",     "CARDINAL", "BOOLEAN"};
// Tokens that Break puts in place of others.
const std::vector<std::string> kNoise = {"(",   ")",    ",",     "NULL",   "'x'",    "1e999", "MEMORY",  "TABLE",
                                         "KEY", "0",    "-",     "*",      "VALUES", "IF",    "DEFAULT", "''",
                                         ":p",  "[b]",  "SELECT", "12abc", "'",      ".",     "2147483648"};

std::string Join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i > 0 ? sep : "") + parts[i];
  return text;
}

std::string ColumnDefinition(SqlGenerator& g, SqlGenerator::Column& column) {
  std::string text = column.Name + " ";
  if (g.Chance(0.3)) {
    column.Type = g.Pick(kSizedTypes);
    column.Size = g.Chance(0.05) ? g.Int(0, 70000) : g.Int(1, 30);
    text += column.Type + " ( " + std::to_string(column.Size) + " )";
  } else {
    column.Type = g.Pick(kPlainTypes);
    text += column.Type;
    if (column.Type == "AUTOINC" && g.Chance(0.5))
      text += " ( INCREMENT " + std::to_string(g.Int(1, 5)) + " , INITIALVALUE " + std::to_string(g.Int(0, 50)) +
              (g.Chance(0.5) ? " , LARGEINT" : "") + " )";
  }
  const int options = g.Int(0, 2);
  for (int i = 0; i < options; ++i) {
    switch (g.Int(0, 7)) {
      case 0:
        text += " NOT NULL";
        break;
      case 1:
        text += " NULL";
        break;
      case 2:
        text += " DEFAULT " + g.Value(column);
        break;
      case 3:
        text += " MINVALUE " + std::to_string(g.Int(-100, 0)) + " MAXVALUE " + std::to_string(g.Int(1, 1000));
        break;
      case 4:
        text += " UNIQUE";
        break;
      case 5:
        text += " PRIMARY KEY";
        break;
      case 6:
        text += " BLOBCOMPRESSIONALGORITHM " + g.Pick(std::vector<std::string>{"ZLIB", "BZIP", "PPM", "NONE"}) +
                " BLOBCOMPRESSIONMODE " + std::to_string(g.Int(0, 9));
        break;
      default:
        text += " DEFAULT NOW";
        break;
    }
  }
  return text;
}

std::string CreateTable(SqlGenerator& g) {
  SqlGenerator::Table table;
  table.Name = g.Chance(0.7) || g.Tables.empty() ? g.NewName() : g.AnyTableName();
  table.StoredName = table.Name;
  if (table.Name.front() == '[' || table.Name.front() == '"')
    table.StoredName = table.Name.substr(1, table.Name.size() - 2);
  table.Memory = g.Chance(0.2);
  std::vector<std::string> elements;
  const int columns = g.Int(1, 6);
  for (int i = 0; i < columns; ++i) {
    SqlGenerator::Column column;
    column.Name = g.NewName();
    elements.push_back(ColumnDefinition(g, column));
    table.Columns.push_back(std::move(column));
  }
  if (g.Chance(0.3)) {
    const std::string& key = g.Pick(table.Columns).Name;
    elements.push_back(g.Pick(std::vector<std::string>{"PRIMARY KEY", "UNIQUE INDEX", "INDEX"}) + " ( " + key +
                       (g.Chance(0.3) ? " DESC" : "") + (g.Chance(0.2) ? " NOCASE" : "") + " )");
  }
  std::string prefix = "CREATE TABLE ";
  if (g.Chance(0.2)) prefix += "IF NOT EXISTS ";
  if (table.Memory) prefix += "MEMORY ";
  std::string name = table.Name;
  if (!g.OtherFile.empty() && g.Chance(0.05)) name = "'" + g.OtherFile + "' . " + name;
  // A table of that name stays as it is (the CREATE fails, or does nothing).
  const bool known = std::any_of(g.Tables.begin(), g.Tables.end(),
                                 [&](const SqlGenerator::Table& t) { return t.StoredName == table.StoredName; });
  if (!known) g.Tables.push_back(table);
  return prefix + name + " ( " + Join(elements, " , ") + " )";
}

std::string DropTable(SqlGenerator& g) {
  const SqlGenerator::Table* table = g.AnyTable();
  std::string text = std::string("DROP TABLE ") + (g.Chance(0.3) ? "IF EXISTS " : "");
  if (table == nullptr) return text + g.NewName();
  text += (table->Memory ? "MEMORY " : "") + table->Name;
  const std::string name = table->Name;
  std::erase_if(g.Tables, [&](const SqlGenerator::Table& t) { return t.Name == name; });
  return text;
}

std::string Truncate(SqlGenerator& g) {
  const SqlGenerator::Table* table = g.AnyTable();
  std::string text = std::string("TRUNCATE ") + (g.Chance(0.5) ? "TABLE " : "");
  if (table == nullptr) return text + g.NewName();
  return text + (table->Memory ? "MEMORY " : "") + table->Name;
}

std::string Insert(SqlGenerator& g) {
  const SqlGenerator::Table* table = g.AnyTable();
  if (table == nullptr) return "INSERT INTO " + g.NewName() + " VALUES ( 1 )";
  std::vector<const SqlGenerator::Column*> columns;
  for (const auto& c : table->Columns) columns.push_back(&c);
  const bool list = g.Chance(0.5);
  if (list) {
    std::shuffle(columns.begin(), columns.end(), std::mt19937(static_cast<uint32_t>(g.Int(0, 1 << 30))));
    columns.resize(static_cast<size_t>(g.Int(1, static_cast<int>(columns.size()))));
  }
  std::string text = std::string("INSERT INTO ") + (table->Memory ? "MEMORY " : "") + table->Name;
  if (list) {
    std::vector<std::string> names;
    for (const auto* c : columns) names.push_back(c->Name);
    text += " ( " + Join(names, " , ") + " )";
  }
  std::vector<std::string> rows;
  const int count = g.Int(1, 4);
  const int wrongRow = g.Chance(0.05) ? g.Int(0, count - 1) : -1;
  for (int r = 0; r < count; ++r) {
    std::vector<std::string> values;
    for (const auto* c : columns) values.push_back(g.Value(*c));
    if (r == wrongRow) {
      if (g.Chance(0.5))
        values.pop_back();
      else
        values.push_back("1");
    }
    rows.push_back("( " + Join(values, " , ") + " )");
  }
  return text + " VALUES " + Join(rows, " , ");
}

std::string Transaction(SqlGenerator& g) {
  // Now and then the wrong one, for the refusals.
  const bool inTransaction = g.InTransaction != g.Chance(0.1);
  g.InTransaction = !inTransaction;
  if (!inTransaction) return "START TRANSACTION";
  switch (g.Int(0, 2)) {
    case 0:
      return "COMMIT";
    case 1:
      return "COMMIT WORK FLUSH";
    default:
      return "ROLLBACK";
  }
}

}  // namespace

SqlGenerator::SqlGenerator(uint32_t seed) : Rng_(seed) {
  AddDefinitionProductions(*this);
  AddInsertProductions(*this);
  AddTransactionProductions(*this);
  AddAlterProductions(*this);
}

void SqlGenerator::AddProduction(std::string name, int weight, Production make) {
  Productions_.push_back({std::move(name), weight, std::move(make)});
  TotalWeight_ += weight;
}

std::string SqlGenerator::Statement() {
  int pick = Int(0, TotalWeight_ - 1);
  for (const Entry& entry : Productions_) {
    if (pick < entry.Weight) {
      const std::string statement = entry.Make(*this);
      return Chance(Breakage) ? Break(statement) : statement;
    }
    pick -= entry.Weight;
  }
  return "";
}

std::string SqlGenerator::Text(int maxStatements) {
  std::vector<std::string> statements;
  const int count = Int(1, maxStatements);
  for (int i = 0; i < count; ++i) statements.push_back(Statement());
  return Join(statements, " ;\n");
}

void SqlGenerator::Reconcile(const std::function<bool(const Table&)>& exists) {
  std::erase_if(Tables, [&](const Table& t) { return !exists(t); });
}

int SqlGenerator::Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Rng_); }

bool SqlGenerator::Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(Rng_) < p; }

std::string SqlGenerator::NewName() {
  switch (Int(0, 19)) {
    case 0:
      return Pick(std::vector<std::string>{"date", "value", "key", "user", "time", "index"});
    case 1:
      return "[n " + std::to_string(Int(0, 99)) + "]";
    case 2:
      return "\"q" + std::to_string(Int(0, 99)) + "\"";
    default:
      return std::string(1, static_cast<char>('a' + Int(0, 5))) + std::to_string(Int(0, 30));
  }
}

const SqlGenerator::Table* SqlGenerator::AnyTable() {
  if (Tables.empty() || Chance(0.1)) return nullptr;
  return &Pick(Tables);
}

std::string SqlGenerator::AnyTableName() {
  const Table* table = AnyTable();
  return table != nullptr ? table->Name : NewName();
}

std::string SqlGenerator::IntegerExpression(int depth) {
  if (depth <= 0 || Chance(0.4)) {
    const int v = Int(-999, 999);
    return v < 0 ? "( " + std::to_string(v) + " )" : std::to_string(v);
  }
  const char* op = Pick(std::vector<const char*>{"+", "-", "*"});
  return "( " + IntegerExpression(depth - 1) + " " + op + " " + IntegerExpression(depth - 1) + " )";
}

std::string SqlGenerator::QuotedText(int maxLength) {
  std::string text;
  const int length = Int(0, std::max(0, maxLength));
  for (int i = 0; i < length; ++i) {
    const int c = Int(0, 40);
    text += c == 0 ? "''" : std::string(1, c == 1 ? ' ' : static_cast<char>('a' + c % 26));
  }
  return "'" + text + "'";
}

std::string SqlGenerator::Value(const Column& column) {
  if (Chance(0.1)) return "NULL";
  if (Chance(0.05)) return Pick(std::vector<std::string>{"'abc'", "1.5", "TRUE", "-7", "'2020-13-45'", "x1"});
  const std::string& t = column.Type;
  if (t == "VARCHAR" || t == "CHAR" || t == "WIDESTRING" || t == "MEMO")
    return QuotedText(t == "MEMO" ? 40 : column.Size + (Chance(0.1) ? 5 : 0));
  if (t == "FLOAT" || t == "CURRENCY") return std::to_string(Int(-1000, 1000)) + "." + std::to_string(Int(0, 99));
  if (t == "LOGICAL" || t == "BOOLEAN") return Chance(0.5) ? "TRUE" : "FALSE";
  if (t == "DATE") return "DATE '20" + std::to_string(Int(10, 29)) + "-0" + std::to_string(Int(1, 9)) + "-1" +
                          std::to_string(Int(0, 9)) + "'";
  if (t == "TIME") return "TIME '1" + std::to_string(Int(0, 9)) + ":2" + std::to_string(Int(0, 9)) + ":00'";
  if (t == "DATETIME") return "TIMESTAMP '2021-05-06 07:08:09'";
  if (t == "BLOB" || t == "BYTES") return QuotedText(column.Size > 0 ? column.Size : 20);
  if (t == "BYTE") return std::to_string(Int(0, 300));
  return IntegerExpression(Int(0, 2));
}

std::string SqlGenerator::Break(const std::string& statement) {
  std::istringstream in(statement);
  std::vector<std::string> tokens;
  for (std::string token; in >> token;) tokens.push_back(token);
  if (tokens.empty()) return statement;
  const size_t at = static_cast<size_t>(Int(0, static_cast<int>(tokens.size()) - 1));
  switch (Int(0, 3)) {
    case 0:
      tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(at));
      break;
    case 1:
      tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(at), tokens[at]);
      break;
    case 2:
      if (at + 1 < tokens.size()) std::swap(tokens[at], tokens[at + 1]);
      break;
    default:
      tokens[at] = Pick(kNoise);
      break;
  }
  return Join(tokens, " ");
}

void AddDefinitionProductions(SqlGenerator& gen) {
  gen.AddProduction("create table", 4, CreateTable);
  gen.AddProduction("drop table", 1, DropTable);
  gen.AddProduction("truncate table", 1, Truncate);
}

void AddInsertProductions(SqlGenerator& gen) { gen.AddProduction("insert values", 8, Insert); }

void AddTransactionProductions(SqlGenerator& gen) { gen.AddProduction("transaction", 2, Transaction); }

}  // namespace sql_test

// ------------------------------------------------------------------ SELECT

namespace sql_test {

namespace {

std::string Operand(SqlGenerator& g, const SqlGenerator::Table& table, const std::string& qualifier) {
  const SqlGenerator::Column& column = g.Pick(table.Columns);
  if (g.Chance(0.05)) return "nosuch";
  return qualifier.empty() || g.Chance(0.5) ? column.Name : qualifier + " . " + column.Name;
}

std::string Condition(SqlGenerator& g, const SqlGenerator::Table& table, const std::string& qualifier,
                      const std::vector<std::string>& aliases, int depth) {
  if (depth > 0 && g.Chance(0.35)) {
    const std::string a = Condition(g, table, qualifier, aliases, depth - 1);
    const std::string b = Condition(g, table, qualifier, aliases, depth - 1);
    return "( " + a + (g.Chance(0.5) ? " AND " : " OR ") + b + " )";
  }
  if (depth > 0 && g.Chance(0.1)) return "NOT ( " + Condition(g, table, qualifier, aliases, depth - 1) + " )";
  const SqlGenerator::Column& column = g.Pick(table.Columns);
  std::string field = Operand(g, table, qualifier);
  if (!aliases.empty() && g.Chance(0.1)) field = g.Pick(aliases);
  switch (g.Int(0, 6)) {
    case 0:
      return field + " IS " + (g.Chance(0.5) ? "NOT " : "") + "NULL";
    case 1:
      return field + " IN ( " + g.Value(column) + " , " + g.Value(column) + " )";
    case 2:
      return field + (g.Chance(0.2) ? " NOT" : "") + " BETWEEN " + g.Value(column) + " AND " + g.Value(column);
    case 3:
      return field + " LIKE '%" + std::string(1, static_cast<char>('a' + g.Int(0, 25))) + "%'";
    default:
      return field + " " + g.Pick(std::vector<std::string>{"=", "<>", "<", ">", "<=", ">="}) + " " + g.Value(column);
  }
}

std::string Item(SqlGenerator& g, const SqlGenerator::Table& table, const std::string& qualifier) {
  const std::string field = Operand(g, table, qualifier);
  switch (g.Int(0, 9)) {
    case 0:
      return field + " + 1";
    case 1:
      return "UPPER ( " + field + " )";
    case 2:
      return field + " || 'x'";
    case 3:
      return "CASE WHEN " + field + " IS NULL THEN 0 ELSE 1 END";
    case 4:
      return "COALESCE ( " + field + " , " + field + " )";
    case 5:
      return std::to_string(g.Int(0, 9));
    case 6:
      return qualifier.empty() ? "*" : qualifier + " . *";
    default:
      return field;
  }
}

}  // namespace

std::string SelectStatement(SqlGenerator& g, const SqlGenerator::Table& table) {
  std::string text = "SELECT ";
  if (g.Chance(0.25)) text += "DISTINCT ";
  if (g.Chance(0.2)) text += "TOP " + std::to_string(g.Int(0, 4)) + (g.Chance(0.4) ? " , " + std::to_string(g.Int(0, 5)) : "") + " ";
  const std::string qualifier = g.Chance(0.3) ? "q" + std::to_string(g.Int(0, 2)) : std::string();
  std::vector<std::string> aliases;
  if (g.Chance(0.15)) {
    text += "*";
  } else {
    std::vector<std::string> items;
    const int count = g.Int(1, 4);
    for (int i = 0; i < count; ++i) {
      std::string item = Item(g, table, qualifier);
      if (item.find('*') == std::string::npos && g.Chance(0.4)) {
        aliases.push_back("x" + std::to_string(i));
        item += (g.Chance(0.5) ? " AS " : " ") + aliases.back();
      }
      items.push_back(item);
    }
    for (size_t i = 0; i < items.size(); ++i) text += (i > 0 ? " , " : "") + items[i];
  }
  if (g.Chance(0.05)) text += " INTO " + std::string(g.Chance(0.3) ? "MEMORY " : "") + g.NewName();
  text += " FROM " + std::string(table.Memory ? "MEMORY " : "") + table.Name + (qualifier.empty() ? "" : " " + qualifier);
  if (g.Chance(0.6)) text += " WHERE " + Condition(g, table, qualifier, aliases, 2);
  if (g.Chance(0.5)) {
    std::vector<std::string> keys;
    const int count = g.Int(1, 3);
    for (int i = 0; i < count; ++i) {
      std::string key = g.Chance(0.25) ? std::to_string(g.Int(1, 5))
                        : !aliases.empty() && g.Chance(0.3) ? g.Pick(aliases)
                                                            : Operand(g, table, qualifier);
      if (g.Chance(0.4)) key += g.Chance(0.5) ? " DESC" : " ASC";
      keys.push_back(key);
    }
    text += " ORDER BY";
    for (size_t i = 0; i < keys.size(); ++i) text += (i > 0 ? " , " : " ") + keys[i];
  }
  if (g.Chance(0.05)) text = "( " + text + " )";
  if (g.Chance(0.03)) text += g.Pick(std::vector<std::string>{" UNION SELECT 1 FROM t", " GROUP BY a", " , t2"});
  return text;
}

void AddSelectProductions(SqlGenerator& gen) {
  gen.AddProduction("select", 10, [](SqlGenerator& g) {
    const SqlGenerator::Table* table = g.AnyTable();
    if (table == nullptr || table->Columns.empty()) return "SELECT * FROM " + g.NewName();
    return SelectStatement(g, *table);
  });
}

}  // namespace sql_test

// ---------------------------------------------------------------- GROUP BY

namespace sql_test {

namespace {

std::string Aggregate(SqlGenerator& g, const SqlGenerator::Table& table, const std::string& qualifier) {
  if (g.Chance(0.2)) return "COUNT ( * )";
  const std::string function = g.Pick(std::vector<std::string>{"COUNT", "SUM", "AVG", "MIN", "MAX"});
  std::string argument = Operand(g, table, qualifier);
  if (g.Chance(0.15)) argument += " + 1";
  return function + " ( " + (g.Chance(0.15) ? "DISTINCT " : "") + argument + " )";
}

// A HAVING condition: aggregates, group columns and item aliases compared
// with values, under AND, OR and NOT.
std::string HavingCondition(SqlGenerator& g, const SqlGenerator::Table& table, const std::string& qualifier,
                            const std::vector<std::string>& groupColumns, const std::vector<std::string>& aliases,
                            int depth) {
  if (depth > 0 && g.Chance(0.3)) {
    const std::string a = HavingCondition(g, table, qualifier, groupColumns, aliases, depth - 1);
    const std::string b = HavingCondition(g, table, qualifier, groupColumns, aliases, depth - 1);
    return "( " + a + (g.Chance(0.5) ? " AND " : " OR ") + b + " )";
  }
  if (depth > 0 && g.Chance(0.1)) {
    return "NOT ( " + HavingCondition(g, table, qualifier, groupColumns, aliases, depth - 1) + " )";
  }
  std::string left = Aggregate(g, table, qualifier);
  if (!groupColumns.empty() && g.Chance(0.2)) left = g.Pick(groupColumns);
  if (!aliases.empty() && g.Chance(0.15)) left = g.Pick(aliases);
  // Now and then a column that is not grouped, or a WHERE-style condition.
  if (g.Chance(0.05)) return Condition(g, table, qualifier, aliases, 0);
  const std::string op = g.Pick(std::vector<std::string>{"=", "<>", "<", ">", "<=", ">="});
  return left + " " + op + " " + std::to_string(g.Int(-5, 20));
}

}  // namespace

std::string GroupStatement(SqlGenerator& g, const SqlGenerator::Table& table) {
  const std::string qualifier = g.Chance(0.2) ? "q" + std::to_string(g.Int(0, 2)) : std::string();
  std::vector<std::string> groupColumns;
  const int groups = g.Int(0, 2);
  for (int i = 0; i < groups; ++i) groupColumns.push_back(Operand(g, table, qualifier));
  std::vector<std::string> items;
  std::vector<std::string> aliases;
  for (const std::string& column : groupColumns)
    if (g.Chance(0.7)) items.push_back(g.Chance(0.15) ? "UPPER ( " + column + " )" : column);
  const int aggregates = g.Int(groups == 0 ? 1 : 0, 3);
  for (int i = 0; i < aggregates; ++i) items.push_back(Aggregate(g, table, qualifier));
  // Now and then a column that is not grouped.
  if (g.Chance(0.1)) items.push_back(Operand(g, table, qualifier));
  if (g.Chance(0.1)) items.push_back(Aggregate(g, table, qualifier) + " + 1");
  if (items.empty()) items.push_back("COUNT ( * )");
  std::string text = "SELECT ";
  if (g.Chance(0.15)) text += "DISTINCT ";
  if (g.Chance(0.15)) {
    text += "TOP " + std::to_string(g.Int(0, 3));
    if (g.Chance(0.4)) text += " , " + std::to_string(g.Int(0, 4));
    text += " ";
  }
  for (size_t i = 0; i < items.size(); ++i) {
    std::string item = items[i];
    if (g.Chance(0.5)) {
      aliases.push_back("g" + std::to_string(i));
      item += (g.Chance(0.5) ? " AS " : " ") + aliases.back();
    }
    text += (i > 0 ? " , " : "") + item;
  }
  text += " FROM " + std::string(table.Memory ? "MEMORY " : "") + table.Name;
  if (!qualifier.empty()) text += " " + qualifier;
  if (g.Chance(0.4)) text += " WHERE " + Condition(g, table, qualifier, {}, 1);
  if (!groupColumns.empty()) {
    text += " GROUP BY ";
    for (size_t i = 0; i < groupColumns.size(); ++i) {
      // Now and then an item's alias instead of the column.
      const std::string& key = !aliases.empty() && g.Chance(0.1) ? g.Pick(aliases) : groupColumns[i];
      text += (i > 0 ? " , " : "") + key;
    }
  }
  if (g.Chance(0.4)) text += " HAVING " + HavingCondition(g, table, qualifier, groupColumns, aliases, 2);
  if (g.Chance(0.4)) {
    std::string key = g.Chance(0.3) ? std::to_string(g.Int(1, 4))
                      : !aliases.empty() && g.Chance(0.5) ? g.Pick(aliases)
                      : !groupColumns.empty()            ? g.Pick(groupColumns)
                                                         : Operand(g, table, qualifier);
    text += " ORDER BY " + key + (g.Chance(0.3) ? " DESC" : "");
  }
  return text;
}

void AddGroupProductions(SqlGenerator& gen) {
  gen.AddProduction("group select", 10, [](SqlGenerator& g) {
    const SqlGenerator::Table* table = g.AnyTable();
    if (table == nullptr || table->Columns.empty()) return "SELECT COUNT ( * ) FROM " + g.NewName();
    return GroupStatement(g, *table);
  });
}

}  // namespace sql_test
