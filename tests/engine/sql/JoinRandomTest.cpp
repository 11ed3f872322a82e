// Joins against two oracles: random FROM clauses (every join kind, USING,
// NATURAL, comma lists joined on WHERE equalities, chains of two and three
// joins, parenthesised or not) with random WHERE conjuncts on either side,
// over the setup tables and random tables with nulls and duplicate keys, run
// by this engine, by SQLite and by a nested-loop evaluator written here, the
// rows compared as multisets. A WHERE conjunct on the null-supplying side
// of an outer join shows whether it was pushed below the join. And
// generated statements with joins give only engine errors.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "platform/host/StringList.h"
#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using Strings = std::vector<std::string>;

// ------------------------------------------------------------------ data

struct Value {
  enum Kind { Null, Int, Text } K = Null;
  long long I = 0;
  std::string S;
};

std::string Show(const Value& v) { return v.K == Value::Null ? "NULL" : v.K == Value::Int ? std::to_string(v.I) : v.S; }

struct Table {
  std::string Name;
  Strings Columns;
  std::vector<bool> Text;
  std::vector<std::vector<Value>> Rows;
};

Value I(long long v) { return {Value::Int, v, {}}; }
Value S(const char* v) { return v == nullptr ? Value{} : Value{Value::Text, 0, v}; }
const Value N{};

std::vector<Table> SetupTables() {
  Table emp{"emp", {"id", "name", "dept", "salary", "mgr"}, {false, true, true, false, false}, {}};
  emp.Rows = {{I(1), S("alice"), S("eng"), I(100), N}, {I(2), S("bob"), S("eng"), I(80), I(1)},
              {I(3), S("carol"), S("ops"), I(70), I(1)}, {I(4), S("dave"), S("ops"), I(60), I(3)},
              {I(5), S("erin"), S("sales"), I(50), I(1)}, {I(6), S("frank"), N, I(40), N}};
  Table dept{"dept", {"code", "title", "budget"}, {true, true, false}, {}};
  dept.Rows = {{S("eng"), S("Engineering"), I(1000)}, {S("ops"), S("Operations"), I(500)},
               {S("hr"), S("Human Resources"), I(200)}};
  return {emp, dept};
}

// ------------------------------------------------------------ the queries

// A column of one FROM alias, or (Alias -1) a constant.
struct Operand {
  int Alias = -1;
  int Column = 0;
  long long Constant = 0;
};

struct Cond {
  enum Kind { Compare, And, Or, IsNull, IsNotNull };
  explicit Cond(Kind k = Compare) : K(k) {}
  Kind K;
  char Op = '=';
  Operand A, B;
  std::vector<Cond> Parts;
};

// A node of the FROM tree: a table (Alias >= 0) or a join.
struct Source {
  int Alias = -1;
  std::string Kind;  // CROSS, INNER, LEFT, RIGHT, FULL
  bool Natural = false;
  std::string Using;
  std::optional<Cond> On;
  std::unique_ptr<Source> Left, Right;
  // INNER without ON written between two tables before a join that has one:
  // "a JOIN b JOIN c ON ..." (which nests to the right here, to the left in
  // SQLite; the same rows for inner joins).
  bool Bare = false;
};

class JoinQuery {
public:
  JoinQuery(const std::vector<Table>& tables, sql_test::SqlGenerator& g) : Tables_(tables), G_(g) {}

  // Aliases over tables (by index), the FROM entries, WHERE, the columns.
  std::vector<int> AliasTable;
  std::vector<std::unique_ptr<Source>> Entries;
  std::optional<Cond> Where;
  std::vector<Operand> Select;

  void Generate() {
    const int count = G_.Chance(0.3) ? 4 : G_.Int(2, 3);
    for (int i = 0; i < count; ++i) AliasTable.push_back(G_.Int(0, static_cast<int>(Tables_.size()) - 1));
    if (G_.Chance(0.3)) {
      // A comma list: entries of one table or a join of two.
      for (int lo = 0; lo < count;) {
        const int size = std::min(count - lo, G_.Chance(0.3) ? 2 : 1);
        Entries.push_back(Tree(lo, lo + size));
        lo += size;
      }
    } else {
      Entries.push_back(Tree(0, count));
    }
    if (G_.Chance(0.8)) {
      Cond where(Cond::And);
      const int conjuncts = G_.Int(1, 3);
      std::vector<int> all(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) all[static_cast<size_t>(i)] = i;
      for (int i = 0; i < conjuncts; ++i) where.Parts.push_back(G_.Chance(0.3) ? Equality(all, all) : Simple(all, 1));
      Where = where;
    }
    for (int a = 0; a < count; ++a)
      for (int c = 0; c < static_cast<int>(TableOf(a).Columns.size()); ++c)
        if (G_.Chance(0.5)) Select.push_back({a, c, 0});
    if (Select.empty()) Select.push_back({G_.Int(0, count - 1), 0, 0});
  }

  std::string Sql() const {
    std::string text = "SELECT ";
    for (size_t i = 0; i < Select.size(); ++i) text += (i > 0 ? ", " : "") + Column(Select[i]);
    text += " FROM ";
    // SQLite reads "a, b JOIN c" as "(a, b) JOIN c": a join after a comma
    // goes in parentheses.
    for (size_t i = 0; i < Entries.size(); ++i) {
      const bool join = Entries[i]->Alias < 0;
      text += i == 0 ? Print(*Entries[i]) : join ? ", (" + Print(*Entries[i]) + ")" : ", " + Print(*Entries[i]);
    }
    if (Where) text += " WHERE " + Print(*Where);
    return text;
  }

  // SQLite finds a qualified column ambiguous in some queries that join
  // more than two tables, one pair of them by USING or NATURAL.
  bool SqliteReadsIt() const {
    bool shared = false;
    int joins = 0;
    std::function<void(const Source&)> look = [&](const Source& s) {
      if (s.Alias >= 0) return;
      shared = shared || s.Natural || !s.Using.empty();
      ++joins;
      look(*s.Left);
      look(*s.Right);
    };
    for (const auto& e : Entries) look(*e);
    return !shared || joins + static_cast<int>(Entries.size()) <= 2;
  }

  // The rows by nested loops: every pair of rows tried.
  Strings Evaluate() const {
    std::vector<Row> rows{Row(AliasTable.size(), -1)};
    for (const auto& entry : Entries) {
      std::vector<Row> next;
      for (const Row& a : rows)
        for (const Row& b : Evaluate(*entry)) next.push_back(Merge(a, b));
      rows = std::move(next);
    }
    Strings out;
    for (const Row& row : rows) {
      if (Where && Eval(*Where, row) != kTrue) continue;
      std::string line;
      for (size_t i = 0; i < Select.size(); ++i) line += (i > 0 ? "|" : "") + Show(ValueOf(Select[i], row));
      out.push_back(line);
    }
    return out;
  }

private:
  // A row index per alias; -1: no row (padded, or not in the subtree).
  using Row = std::vector<int>;
  enum Truth { kFalse, kTrue, kUnknown };

  const Table& TableOf(int alias) const { return Tables_[static_cast<size_t>(AliasTable[static_cast<size_t>(alias)])]; }
  static std::string AliasName(int alias) { return "t" + std::to_string(alias); }
  std::string Column(const Operand& o) const {
    return o.Alias < 0 ? std::to_string(o.Constant) : AliasName(o.Alias) + "." + TableOf(o.Alias).Columns[static_cast<size_t>(o.Column)];
  }
  // An integer column of one of aliases.
  Operand IntColumn(const std::vector<int>& aliases) {
    for (;;) {
      const int a = G_.Pick(aliases);
      const Table& t = TableOf(a);
      const int c = G_.Int(0, static_cast<int>(t.Columns.size()) - 1);
      if (!t.Text[static_cast<size_t>(c)]) return {a, c, 0};
    }
  }
  // a = b of two columns of one type, one of left, one of right.
  Cond Equality(const std::vector<int>& left, const std::vector<int>& right) {
    for (;;) {
      const int a = G_.Pick(left);
      const int b = G_.Pick(right);
      const int ca = G_.Int(0, static_cast<int>(TableOf(a).Columns.size()) - 1);
      const int cb = G_.Int(0, static_cast<int>(TableOf(b).Columns.size()) - 1);
      if (TableOf(a).Text[static_cast<size_t>(ca)] != TableOf(b).Text[static_cast<size_t>(cb)]) continue;
      Cond c(Cond::Compare);
      c.A = {a, ca, 0};
      c.B = {b, cb, 0};
      return c;
    }
  }
  // A comparison with a constant or another integer column, IS [NOT] NULL,
  // or (depth > 0) an OR of two.
  Cond Simple(const std::vector<int>& aliases, int depth) {
    if (depth > 0 && G_.Chance(0.2)) {
      Cond c(Cond::Or);
      c.Parts = {Simple(aliases, depth - 1), Simple(aliases, depth - 1)};
      return c;
    }
    Cond c(Cond::Compare);
    c.A = IntColumn(aliases);
    switch (G_.Int(0, 5)) {
      case 0:
        c.K = G_.Chance(0.5) ? Cond::IsNull : Cond::IsNotNull;
        return c;
      case 1:
        c.B = IntColumn(aliases);
        break;
      default:
        c.B = {-1, 0, G_.Int(0, 8)};
        break;
    }
    c.Op = G_.Pick(std::vector<char>{'=', '<', '>'});
    return c;
  }
  std::vector<int> Range(int lo, int hi) const {
    std::vector<int> r;
    for (int i = lo; i < hi; ++i) r.push_back(i);
    return r;
  }
  bool IsRandomTable(int alias) const { return TableOf(alias).Name[0] == 'r'; }

  std::unique_ptr<Source> Tree(int lo, int hi) {
    auto node = std::make_unique<Source>();
    if (hi - lo == 1) {
      node->Alias = lo;
      return node;
    }
    const int mid = G_.Int(lo + 1, hi - 1);
    node->Left = Tree(lo, mid);
    node->Right = Tree(mid, hi);
    node->Kind = G_.Pick(Strings{"CROSS", "INNER", "LEFT", "RIGHT", "FULL"});
    const bool tables = node->Left->Alias >= 0 && node->Right->Alias >= 0;
    if (node->Kind == "CROSS") return node;
    if (tables && node->Kind == "INNER" && hi - lo == 2 && G_.Chance(0.15)) {
      node->Bare = true;
      return node;
    }
    if (tables && G_.Chance(0.15)) {
      node->Natural = true;
      return node;
    }
    if (tables && IsRandomTable(lo) && IsRandomTable(mid) && G_.Chance(0.2)) {
      node->Using = G_.Pick(Strings{"k", "v", "w"});
      return node;
    }
    const std::vector<int> left = Range(lo, mid);
    const std::vector<int> right = Range(mid, hi);
    Cond on(Cond::And);
    const int equalities = G_.Int(0, 2);
    for (int i = 0; i < equalities; ++i) on.Parts.push_back(Equality(left, right));
    if (on.Parts.empty() || G_.Chance(0.3)) {
      std::vector<int> both = left;
      both.insert(both.end(), right.begin(), right.end());
      on.Parts.push_back(Simple(G_.Chance(0.5) ? both : G_.Chance(0.5) ? left : right, 1));
    }
    node->On = on;
    return node;
  }

  std::string Print(const Source& s) const {
    if (s.Alias >= 0) return TableOf(s.Alias).Name + " " + AliasName(s.Alias);
    // Both parsers make the same tree of a join that follows an ON or USING
    // and of one in parentheses.
    const bool hasSuffix = s.Left->On || !s.Left->Using.empty();
    std::string left = Print(*s.Left);
    if (s.Left->Alias < 0 && s.Left->Bare && s.Kind == "INNER" && s.On && s.Right->Alias >= 0) {
      // a JOIN b JOIN c ON ...
      return left + " JOIN " + Print(*s.Right) + " ON " + Print(*s.On);
    }
    if (s.Left->Alias < 0 && !(hasSuffix && G_.Chance(0.5))) left = "(" + left + ")";
    std::string right = Print(*s.Right);
    if (s.Right->Alias < 0) right = "(" + right + ")";
    std::string words = s.Kind == "CROSS" ? "CROSS JOIN" : s.Kind + " JOIN";
    if (s.Natural) words = "NATURAL " + words;
    if (s.Bare) words = "JOIN";
    std::string text = left + " " + words + " " + right;
    if (!s.Using.empty()) text += " USING (" + s.Using + ")";
    if (s.On) text += " ON " + Print(*s.On);
    return text;
  }
  std::string Print(const Cond& c) const {
    switch (c.K) {
      case Cond::IsNull:
        return Column(c.A) + " IS NULL";
      case Cond::IsNotNull:
        return Column(c.A) + " IS NOT NULL";
      case Cond::And:
      case Cond::Or: {
        std::string text;
        for (const Cond& p : c.Parts) text += (text.empty() ? "" : c.K == Cond::And ? " AND " : " OR ") + Print(p);
        return c.Parts.size() > 1 ? "(" + text + ")" : text;
      }
      default:
        return Column(c.A) + " " + c.Op + " " + Column(c.B);
    }
  }

  Value ValueOf(const Operand& o, const Row& row) const {
    if (o.Alias < 0) return I(o.Constant);
    const int r = row[static_cast<size_t>(o.Alias)];
    return r < 0 ? N : TableOf(o.Alias).Rows[static_cast<size_t>(r)][static_cast<size_t>(o.Column)];
  }
  Truth Eval(const Cond& c, const Row& row) const {
    switch (c.K) {
      case Cond::IsNull:
        return ValueOf(c.A, row).K == Value::Null ? kTrue : kFalse;
      case Cond::IsNotNull:
        return ValueOf(c.A, row).K != Value::Null ? kTrue : kFalse;
      case Cond::And:
      case Cond::Or: {
        const Truth decisive = c.K == Cond::And ? kFalse : kTrue;
        bool unknown = false;
        for (const Cond& p : c.Parts) {
          const Truth t = Eval(p, row);
          if (t == decisive) return decisive;
          unknown = unknown || t == kUnknown;
        }
        return unknown ? kUnknown : (c.K == Cond::And ? kTrue : kFalse);
      }
      default: {
        const Value a = ValueOf(c.A, row);
        const Value b = ValueOf(c.B, row);
        if (a.K == Value::Null || b.K == Value::Null) return kUnknown;
        const int r = a.K == Value::Text ? a.S.compare(b.S) : (a.I < b.I ? -1 : a.I > b.I ? 1 : 0);
        const bool holds = c.Op == '=' ? r == 0 : c.Op == '<' ? r < 0 : r > 0;
        return holds ? kTrue : kFalse;
      }
    }
  }
  static Row Merge(const Row& a, const Row& b) {
    Row m = a;
    for (size_t i = 0; i < m.size(); ++i)
      if (b[i] >= 0) m[i] = b[i];
    return m;
  }
  // Whether two rows of a NATURAL or USING join agree on the shared
  // columns (both sides single tables).
  bool SharedColumnsEqual(const Source& s, const Row& row) const {
    const Table& l = TableOf(s.Left->Alias);
    const Table& r = TableOf(s.Right->Alias);
    for (size_t i = 0; i < l.Columns.size(); ++i) {
      for (size_t j = 0; j < r.Columns.size(); ++j) {
        if (l.Columns[i] != r.Columns[j] || (!s.Natural && l.Columns[i] != s.Using)) continue;
        Cond c(Cond::Compare);
        c.A = {s.Left->Alias, static_cast<int>(i), 0};
        c.B = {s.Right->Alias, static_cast<int>(j), 0};
        if (Eval(c, row) != kTrue) return false;
      }
    }
    return true;
  }
  std::vector<Row> Evaluate(const Source& s) const {
    if (s.Alias >= 0) {
      std::vector<Row> rows;
      for (size_t r = 0; r < TableOf(s.Alias).Rows.size(); ++r) {
        Row row(AliasTable.size(), -1);
        row[static_cast<size_t>(s.Alias)] = static_cast<int>(r);
        rows.push_back(row);
      }
      return rows;
    }
    const std::vector<Row> left = Evaluate(*s.Left);
    const std::vector<Row> right = Evaluate(*s.Right);
    std::vector<Row> out;
    std::vector<bool> rightMatched(right.size(), false);
    for (const Row& l : left) {
      bool matched = false;
      for (size_t j = 0; j < right.size(); ++j) {
        const Row m = Merge(l, right[j]);
        if ((s.Natural || !s.Using.empty()) && !SharedColumnsEqual(s, m)) continue;
        if (s.On && Eval(*s.On, m) != kTrue) continue;
        out.push_back(m);
        matched = true;
        rightMatched[j] = true;
      }
      if (!matched && (s.Kind == "LEFT" || s.Kind == "FULL")) out.push_back(l);
    }
    if (s.Kind == "RIGHT" || s.Kind == "FULL")
      for (size_t j = 0; j < right.size(); ++j)
        if (!rightMatched[j]) out.push_back(right[j]);
    return out;
  }

  const std::vector<Table>& Tables_;
  sql_test::SqlGenerator& G_;
};

// ---------------------------------------------------------------- engines

class Sqlite {
public:
  Sqlite() { sqlite3_open(":memory:", &Db_); }
  ~Sqlite() { sqlite3_close(Db_); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << (error ? error : "") << " [" << sql << "]";
      sqlite3_free(error);
    }
  }
  Strings Rows(const std::string& sql) {
    Strings rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(Db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << sqlite3_errmsg(Db_) << " [" << sql << "]";
      return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        const auto* text = sqlite3_column_text(statement, c);
        row += (c > 0 ? "|" : "") + (text == nullptr ? std::string("NULL") : reinterpret_cast<const char*>(text));
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
  }

private:
  sqlite3* Db_ = nullptr;
};

class JoinRandomTest : public sql_test::QueryFixture {
protected:
  Strings Fetch(const std::string& sql) {
    Strings rows;
    Query->SetSQL(sql);
    if (!Query->ExecuteForCursor()) return rows;
    Query->Open();
    for (Query->First(); !Query->Eof(); Query->Next()) {
      std::string row;
      for (int32_t i = 0; i < Query->FieldCount(); ++i) {
        qv::Field& field = *Query->GetFields()[i];
        row += (i > 0 ? "|" : "") + (field.IsNull() ? std::string("NULL") : field.AsString());
      }
      rows.push_back(row);
    }
    Query->Close();
    return rows;
  }
  static int32_t TemporaryTables() {
    TVLMDatabase temp;
    temp.SetDatabaseName("TEMPCHECK");
    temp.SetDatabaseFileName("TEMP");
    qv::StringList names;
    temp.GetTableNames(names);
    int32_t count = 0;
    for (const std::string& name : names) count += name.rfind("TEMPORARY_TABLE_", 0) == 0 ? 1 : 0;
    return count;
  }
};

// Three tables r0-r2 (k, v, w INTEGER) of 0-50 rows of small values, with
// nulls and repeated keys, made on both engines and in the model.
void MakeRandomTables(sql_test::SqlGenerator& g, std::vector<Table>& tables, Sqlite& sqlite,
                      const std::function<void(const std::string&)>& run) {
  tables.resize(2);
  for (int t = 0; t < 3; ++t) {
    Table table{"r" + std::to_string(t), {"k", "v", "w"}, {false, false, false}, {}};
    const std::string drop = "DROP TABLE " + table.Name;
    run(drop);
    sqlite.Exec("DROP TABLE IF EXISTS " + table.Name);
    const std::string create = "CREATE TABLE " + table.Name + " (k INTEGER, v INTEGER, w INTEGER)";
    run(create);
    sqlite.Exec(create);
    // Mostly small, so that products of four tables stay quick.
    const int rows = g.Chance(0.15) ? 0 : g.Chance(0.3) ? g.Int(20, 50) : g.Int(1, 12);
    std::string insert;
    for (int r = 0; r < rows; ++r) {
      std::vector<Value> row;
      insert += r > 0 ? ", (" : "(";
      for (int c = 0; c < 3; ++c) {
        const Value v = g.Chance(0.15) ? N : I(g.Int(0, c == 0 ? 6 : 9));
        insert += (c > 0 ? ", " : "") + Show(v);
        row.push_back(v);
      }
      insert += ")";
      table.Rows.push_back(row);
    }
    if (rows > 0) {
      run("INSERT INTO " + table.Name + " VALUES " + insert);
      sqlite.Exec("INSERT INTO " + table.Name + " VALUES " + insert);
    }
    tables.push_back(std::move(table));
  }
}

TEST_F(JoinRandomTest, RowsMatchSqliteAndNestedLoops) {
  Sqlite sqlite;
  Run(sql_test::kSetupSql);
  sqlite.Exec(sql_test::kSetupSql);
  std::vector<Table> tables = SetupTables();
  sql_test::SqlGenerator g(41);
  auto run = [&](const std::string& sql) { Run(sql); };
  std::map<std::string, int> kinds;
  auto budget = qv::test::TestBudget::Steps(900, 25);
  uint64_t round = 0;
  for (; budget.Continue(round); ++round) {
    if (round % 60 == 0) MakeRandomTables(g, tables, sqlite, run);
    JoinQuery q(tables, g);
    q.Generate();
    const std::string sql = q.Sql();
    Strings ours;
    try {
      ours = Fetch(sql);
    } catch (const std::exception& e) {
      ADD_FAILURE() << sql << "\n" << e.what();
      continue;
    }
    // Those SQLite does not read are checked against the evaluator alone.
    Strings theirs = q.SqliteReadsIt() ? sqlite.Rows(sql) : Strings();
    Strings naive = q.Evaluate();
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    std::sort(naive.begin(), naive.end());
    if (q.SqliteReadsIt()) {
      ASSERT_EQ(naive, theirs) << "the evaluator and SQLite differ: " << sql;
    }
    ASSERT_EQ(ours, naive) << sql;
    for (const char* kind : {"CROSS", "INNER", "LEFT", "RIGHT", "FULL", "NATURAL", "USING", "JOIN r", "JOIN e",
                             "JOIN d", "JOIN (", "FROM ("})
      if (sql.find(kind) != std::string::npos) ++kinds[kind];
    if (q.Entries.size() > 1) ++kinds["comma list"];
  }
  std::string summary = "rounds:" + std::to_string(round) + " ";
  for (const auto& [kind, count] : kinds) summary += kind + std::string(":") + std::to_string(count) + " ";
  RecordProperty("kinds", summary);
  EXPECT_EQ(TemporaryTables(), 0);
}

TEST_F(JoinRandomTest, GeneratedJoinsGiveOnlyEngineAndDatasetErrors) {
  Run(sql_test::kSetupSql);
  sql_test::SqlGenerator gen(4141);
  sql_test::AddSelectProductions(gen);
  sql_test::AddJoinProductions(gen);
  gen.Tables.push_back({"emp", "emp", false,
                        {{"id", "INTEGER", 0}, {"name", "VARCHAR", 20}, {"dept", "VARCHAR", 10},
                         {"salary", "INTEGER", 0}, {"mgr", "INTEGER", 0}}});
  gen.Tables.push_back({"dept", "dept", false,
                        {{"code", "VARCHAR", 10}, {"title", "VARCHAR", 20}, {"budget", "INTEGER", 0}}});
  std::map<std::string, int> outcomes;
  auto budget = qv::test::TestBudget::Steps(2000, 20);
  uint64_t i = 0;
  for (; budget.Continue(i); ++i) {
    gen.InTransaction = Database->InTransaction();
    const std::string text = gen.Chance(0.5) ? sql_test::JoinStatement(gen) : gen.Text(2);
    try {
      Fetch(text);
      ++outcomes["ok"];
    } catch (const EVLMException& e) {
      ++outcomes["engine " + std::to_string(e.NativeError)];
    } catch (const qv::EDatabaseError&) {
      ++outcomes["dataset"];
    } catch (const qv::EVariantError&) {
      ++outcomes["conversion"];
    } catch (const qv::EConvertError&) {
      ++outcomes["conversion"];
    } catch (const std::exception& e) {
      ADD_FAILURE() << "[" << text << "]: " << typeid(e).name() << " " << e.what();
    }
    Query->Close();
    if (Database->InTransaction() && gen.Chance(0.3)) Database->Rollback();
    gen.Reconcile([&](const sql_test::SqlGenerator::Table& t) {
      TVLMTable table;
      table.SetDatabaseName(t.Memory ? "MEMORY" : "SQLDB");
      table.SetTableName(t.StoredName);
      return table.Exists();
    });
  }
  if (Database->InTransaction()) Database->Rollback();
  Query->Disconnect();
  EXPECT_GT(outcomes["ok"], static_cast<int>(i / 8)) << "too few texts ran through";
  EXPECT_EQ(TemporaryTables(), 0);
  std::string summary;
  for (const auto& [kind, count] : outcomes) summary += kind + ":" + std::to_string(count) + " ";
  RecordProperty("outcomes", summary);
}

}  // namespace
