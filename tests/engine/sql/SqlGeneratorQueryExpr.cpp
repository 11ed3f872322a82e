// The SQL generator's query expressions: set operations (UNION, INTERSECT,
// EXCEPT and MINUS, with ALL, CORRESPONDING [BY] and parentheses), derived
// tables in FROM, and subqueries in conditions and select lists (IN,
// EXISTS, quantified and scalar, correlated or not), over the tables of
// the model. Kept apart from the other productions so that each SQL feature
// adds its own file.
#include <string>
#include <vector>

#include "tests/engine/sql/SqlGenerator.h"

namespace sql_test {

namespace {

using Strings = std::vector<std::string>;

std::string AnyColumn(SqlGenerator& g, const SqlGenerator::Table& t) {
  return t.Columns.empty() || g.Chance(0.05) ? g.NewName() : g.Pick(t.Columns).Name;
}

const SqlGenerator::Table* AnyUsableTable(SqlGenerator& g) {
  const SqlGenerator::Table* t = g.AnyTable();
  return t != nullptr && !t->Columns.empty() ? t : nullptr;
}

std::string TableRef(const SqlGenerator::Table& t) { return (t.Memory ? "MEMORY " : "") + t.Name; }

// A condition on a column of t (qualified by q when given).
std::string SimpleCondition(SqlGenerator& g, const SqlGenerator::Table& t, const std::string& q) {
  const SqlGenerator::Column& c = g.Pick(t.Columns);
  const std::string name = (q.empty() ? "" : q + " . ") + c.Name;
  switch (g.Int(0, 3)) {
    case 0:
      return name + " IS NOT NULL";
    case 1:
      return name + " IN ( " + g.Value(c) + " , " + g.Value(c) + " )";
    default:
      return name + " " + g.Pick(Strings{"=", "<>", "<", ">", "<=", ">="}) + " " + g.Value(c);
  }
}

// SELECT of count columns of a table of the model (or the shared SELECT and
// GROUP BY productions' forms now and then); the columns are mostly named c0, c1, ...
// when named is set.
std::string Operand(SqlGenerator& g, int count, bool named = false) {
  const SqlGenerator::Table* t = AnyUsableTable(g);
  if (t == nullptr) return "SELECT * FROM " + g.NewName();
  if (g.Chance(0.15)) return SelectStatement(g, *t);
  if (g.Chance(0.1)) return GroupStatement(g, *t);
  std::string text = std::string("SELECT ") + (g.Chance(0.1) ? "DISTINCT " : "");
  for (int i = 0; i < count; ++i) {
    text += (i > 0 ? " , " : "") + AnyColumn(g, *t);
    if (g.Chance(named ? 0.9 : 0.15)) text += " AS c" + std::to_string(i);
  }
  if (g.Chance(0.03)) text += " INTO " + g.NewName();
  text += " FROM " + TableRef(*t);
  if (g.Chance(0.5)) text += " WHERE " + SimpleCondition(g, *t, "");
  return text;
}

std::string SetOperator(SqlGenerator& g) {
  std::string op = g.Pick(Strings{"UNION", "UNION", "INTERSECT", "EXCEPT", "MINUS"});
  if (g.Chance(0.4)) op += " ALL";
  if (g.Chance(0.1)) op += g.Chance(0.5) ? " CORRESPONDING" : " CORRESPONDING BY ( c0 )";
  return op;
}

std::string Expression(SqlGenerator& g, int count, int depth, bool named = false) {
  if (depth <= 0 || g.Chance(0.35)) return Operand(g, count, named);
  std::string left = Expression(g, count, depth - 1, named);
  std::string right = Expression(g, g.Chance(0.1) ? count + 1 : count, depth - 1);
  if (g.Chance(0.3)) right = "( " + right + " )";
  return left + " " + SetOperator(g) + " " + right;
}

std::string SetOperation(SqlGenerator& g) {
  const int count = g.Int(1, 2);
  std::string text = Expression(g, count, 3);
  if (g.Chance(0.4)) text += " ORDER BY " + (g.Chance(0.6) ? std::to_string(g.Int(1, count + 1)) : "c0") +
                             (g.Chance(0.3) ? " DESC" : "");
  return text;
}

std::string DerivedTable(SqlGenerator& g) {
  const int count = g.Int(1, 2);
  std::string inner = g.Chance(0.4) ? Expression(g, count, 1, true) : Operand(g, count, true);
  std::string text = "SELECT ";
  if (g.Chance(0.2)) text += "DISTINCT ";
  if (g.Chance(0.15)) text += "TOP " + std::to_string(g.Int(0, 4)) + " ";
  text += g.Chance(0.5) ? "*" : (g.Chance(0.5) ? "d . c0" : "c0") + std::string(g.Chance(0.2) ? " + 1" : "");
  text += " FROM ( " + inner + " ) " + (g.Chance(0.8) ? "d" : "");
  if (g.Chance(0.5)) text += " WHERE c0 " + g.Pick(Strings{"=", "<", ">", "IS NOT NULL AND c0 <>"}) + " " +
                             std::to_string(g.Int(-3, 9));
  if (g.Chance(0.4)) text += " ORDER BY " + g.Pick(Strings{"1", "c0", "d . c0 DESC"});
  return text;
}

// A subquery over a table of the model: correlated to outer through q when
// given, with one column when single.
std::string Subquery(SqlGenerator& g, const SqlGenerator::Table& outer, const std::string& q, bool single) {
  const SqlGenerator::Table* t = AnyUsableTable(g);
  if (t == nullptr) return "SELECT * FROM " + g.NewName();
  std::string text = "SELECT " + (single || g.Chance(0.5) ? AnyColumn(g, *t) : std::string("*")) + " FROM " +
                     TableRef(*t) + " s";
  Strings conditions;
  if (g.Chance(0.5)) conditions.push_back(SimpleCondition(g, *t, "s"));
  if (!q.empty() && g.Chance(0.6))
    conditions.push_back("s . " + AnyColumn(g, *t) + " " + g.Pick(Strings{"=", "<", ">"}) + " " + q + " . " +
                         AnyColumn(g, outer));
  for (size_t i = 0; i < conditions.size(); ++i) text += (i == 0 ? " WHERE " : " AND ") + conditions[i];
  if (g.Chance(0.1)) text += " UNION SELECT " + AnyColumn(g, *t) + " FROM " + TableRef(*t);
  return text;
}

std::string SubqueryQuery(SqlGenerator& g) {
  const SqlGenerator::Table* t = AnyUsableTable(g);
  if (t == nullptr) return "SELECT * FROM " + g.NewName();
  const std::string q = g.Chance(0.8) ? "o" : "";
  const std::string column = (q.empty() ? "" : q + " . ") + AnyColumn(g, *t);
  std::string item = column;
  if (g.Chance(0.15)) item += " , ( " + Subquery(g, *t, q, true) + " ) AS v";
  std::string condition;
  switch (g.Int(0, 5)) {
    case 0:
      condition = column + (g.Chance(0.2) ? " NOT" : "") + " IN ( " + Subquery(g, *t, q, true) + " )";
      break;
    case 1:
      condition = std::string(g.Chance(0.2) ? "NOT " : "") + "EXISTS ( " + Subquery(g, *t, q, false) + " )";
      break;
    case 2:
      condition = column + " " + g.Pick(Strings{"=", "<", ">="}) + " " + g.Pick(Strings{"ALL", "ANY", "SOME"}) +
                  " ( " + Subquery(g, *t, q, true) + " )";
      break;
    case 3:
      condition = column + " " + g.Pick(Strings{"=", "<>", ">"}) + " ( " + Subquery(g, *t, q, true) + " )";
      break;
    case 4:
      // Nested: a subquery whose condition holds another.
      condition = column + " IN ( SELECT " + AnyColumn(g, *t) + " FROM " + TableRef(*t) + " i WHERE EXISTS ( " +
                  Subquery(g, *t, "i", false) + " ) )";
      break;
    default:
      condition = SimpleCondition(g, *t, q) + " OR EXISTS ( " + Subquery(g, *t, q, false) + " )";
      break;
  }
  return "SELECT " + item + " FROM " + TableRef(*t) + (q.empty() ? "" : " " + q) + " WHERE " + condition +
         (g.Chance(0.3) ? " ORDER BY 1" : "");
}

}  // namespace

void AddQueryExpressionProductions(SqlGenerator& gen) {
  gen.AddProduction("set operation", 6, SetOperation);
  gen.AddProduction("derived table", 4, DerivedTable);
  gen.AddProduction("subquery", 6, SubqueryQuery);
}

}  // namespace sql_test
