// A grammar-aware generator of SQL texts for the robustness runs of the SQL
// engine: mostly well-formed statements over the tables it has made, some of
// them broken on purpose (a token dropped, doubled, swapped or replaced), so
// that parsers and executors see both the paths that work and those that
// fail half-way.
//
// Statements come from named productions, each with a weight. Later SQL
// features add theirs next to the ones here:
//
//   sql_test::SqlGenerator gen(seed);            // DDL, INSERT, transactions
//   gen.AddProduction("select", 3, [](sql_test::SqlGenerator& g) {
//     return "SELECT * FROM " + g.AnyTableName();
//   });
//
// The generator keeps a model of the tables its CREATE statements named
// (Tables); productions use it only to pick plausible names and values, so
// it may differ from the database when a statement failed.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace sql_test {

class SqlGenerator {
public:
  using Production = std::function<std::string(SqlGenerator&)>;

  struct Column {
    std::string Name;
    // "INTEGER", "VARCHAR", ... as written in CREATE TABLE.
    std::string Type;
    int Size = 0;
  };
  struct Table {
    // As written in statements ([n 1], "q2", a3) and as stored (n 1, q2, a3).
    std::string Name;
    std::string StoredName;
    bool Memory = false;
    std::vector<Column> Columns;
  };

  // With the productions of this file (AddDefinitionProductions,
  // AddInsertProductions, AddTransactionProductions) and
  // AddAlterProductions.
  explicit SqlGenerator(uint32_t seed);

  void AddProduction(std::string name, int weight, Production make);
  // One statement of a production picked by weight, broken with the
  // probability Breakage.
  std::string Statement();
  // One to maxStatements statements joined by ";".
  std::string Text(int maxStatements);

  // ---- pieces for productions
  int Int(int lo, int hi);
  bool Chance(double p);
  template <class T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(Int(0, static_cast<int>(items.size()) - 1))];
  }
  // A new table or column name (a few of them reserved words, quoted or
  // bracketed names).
  std::string NewName();
  // A table of the model, or a name no table has.
  const Table* AnyTable();
  std::string AnyTableName();
  // A value for a column of type (sometimes of another type, NULL, or an
  // expression).
  std::string Value(const Column& column);
  // An integer expression of + - * over small numbers.
  std::string IntegerExpression(int depth);
  std::string QuotedText(int maxLength);

  // Forgets the tables of the model that exists says are not there (a
  // CREATE that failed, a DROP the model missed).
  void Reconcile(const std::function<bool(const Table&)>& exists);

  std::vector<Table> Tables;
  double Breakage = 0.1;
  // Set by the caller: the texts run inside an open transaction, so the
  // transaction production ends it rather than starting another.
  bool InTransaction = false;
  // Prefix of a second database file that dotted names may name ('path'.t);
  // empty: none.
  std::string OtherFile;

private:
  std::string Break(const std::string& statement);

  struct Entry {
    std::string Name;
    int Weight;
    Production Make;
  };
  std::vector<Entry> Productions_;
  int TotalWeight_ = 0;
  std::mt19937 Rng_;
};

void AddDefinitionProductions(SqlGenerator& gen);
void AddInsertProductions(SqlGenerator& gen);
void AddTransactionProductions(SqlGenerator& gen);

// ------------------------------------------------------------------ SELECT
// Queries over the tables of the model (not added by the constructor):
// DISTINCT, TOP, plain and computed items with and without aliases, a
// qualifier, WHERE conditions (comparisons, IN, BETWEEN, LIKE, IS NULL,
// AND, OR, NOT, select-item names), ORDER BY by name, alias and number,
// now and then INTO, a parenthesised query or a refused form.
void AddSelectProductions(SqlGenerator& gen);
// One such query over table.
std::string SelectStatement(SqlGenerator& gen, const SqlGenerator::Table& table);
// ---- ALTER TABLE, RENAME TABLE and the index statements
// (SqlGeneratorAlter.cpp)
struct AlterStatement {
  std::string Text;
  // The stored name of the table the statement changes, and the one it has
  // afterwards when the statement runs (another only for a rename).
  std::string Table;
  std::string NewTable;
};
// One such statement over a table of the model, the model changed as if it
// ran.
AlterStatement MakeAlterStatement(SqlGenerator& gen);
void AddAlterProductions(SqlGenerator& gen);

// ---------------------------------------------------------------- GROUP BY
// Grouped queries over the tables of the model (not added by the
// constructor): GROUP BY over zero to two columns (now and then an item's
// alias), group columns and aggregates (COUNT(*), COUNT, SUM, AVG, MIN, MAX,
// DISTINCT ones, over columns and expressions) as items with and without
// aliases, now and then a column that is not grouped, WHERE, HAVING over
// aggregates, group columns and aliases, ORDER BY, DISTINCT and TOP.
void AddGroupProductions(SqlGenerator& gen);
// One such query over table.
std::string GroupStatement(SqlGenerator& gen, const SqlGenerator::Table& table);
// ---- query expressions (SqlGeneratorQueryExpr.cpp)
// Set operations of SELECTs over the tables of the model (UNION, INTERSECT,
// EXCEPT, MINUS, ALL, CORRESPONDING [BY], parentheses, a trailing ORDER BY,
// now and then INTO or operands of different widths), derived tables in
// FROM, and subqueries in conditions and select lists (IN, EXISTS, ALL /
// ANY, scalar, correlated or not, nested).
void AddQueryExpressionProductions(SqlGenerator& gen);

// ---- joins (SqlGeneratorJoin.cpp)
// SELECT over two to four tables of the model (not added by the
// constructor): CROSS, INNER, LEFT, RIGHT, FULL and NATURAL joins with ON or
// USING, parenthesised, chained and in comma lists, WHERE on either side,
// now and then DISTINCT, TOP and ORDER BY.
void AddJoinProductions(SqlGenerator& gen);
std::string JoinStatement(SqlGenerator& gen);

// ---- UPDATE, DELETE and INSERT ... SELECT (SqlGeneratorModify.cpp)
// Row changes over the tables of the model (not added by the constructor):
// UPDATE with one to three assignments of literals, columns and expressions
// over the row (now and then qualified by the table's name, or a row value
// of a subquery), DELETE, and INSERT ... SELECT with and without a column
// list, in parentheses, now and then of another width or a query of the
// SELECT productions; with an alias and WHERE conditions over the table.
void AddModifyProductions(SqlGenerator& gen);

}  // namespace sql_test
