// Joins against two oracles: random FROM clauses (every join kind, USING,
// NATURAL, comma lists joined on WHERE equalities, chains of two and three
// joins, parenthesised or not) with random WHERE conjuncts on either side,
// over the setup tables and random tables with nulls and duplicate keys,
// run by this engine, by SQLite and by nested loops written here, the rows
// compared as multisets. A WHERE conjunct on the null-supplying side of an
// outer join shows whether it was pushed below the join.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/StringList.h"
#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqliteOracle.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using Strings = std::vector<std::string>;
// A value as both engines print it; integers in decimal.
using Val = std::optional<std::string>;
// A row index per FROM alias; -1: none (padded, or not joined yet).
using Row = std::vector<int>;
enum Truth { kFalse, kTrue, kUnknown };

struct Table {
  std::string Name;
  Strings Columns;
  std::vector<bool> Text;
  std::vector<std::vector<Val>> Rows;
};

std::vector<Table> SetupTables() {
  auto rows = [](std::vector<std::vector<const char*>> text) {
    std::vector<std::vector<Val>> out;
    for (const auto& r : text) {
      out.emplace_back();
      for (const char* v : r) out.back().push_back(v == nullptr ? Val() : Val(v));
    }
    return out;
  };
  return {{"emp", {"id", "name", "dept", "salary", "mgr"}, {false, true, true, false, false},
           rows({{"1", "alice", "eng", "100", nullptr}, {"2", "bob", "eng", "80", "1"}, {"3", "carol", "ops", "70", "1"},
                 {"4", "dave", "ops", "60", "3"}, {"5", "erin", "sales", "50", "1"}, {"6", "frank", nullptr, "40", nullptr}})},
          {"dept", {"code", "title", "budget"}, {true, true, false},
           rows({{"eng", "Engineering", "1000"}, {"ops", "Operations", "500"}, {"hr", "Human Resources", "200"}})}};
}

// A condition as SQL text and as the nested loops evaluate it.
struct Cond {
  std::string Sql;
  std::function<Truth(const Row&)> Eval;
};

// A node of the FROM tree: a table (Alias >= 0) or a join of L and R whose
// pairs satisfy Match (every pair without one).
struct Src {
  int Alias = -1;
  std::string Kind;
  std::string Sql;
  bool EndsInOn = false;
  // INNER written without ON: every pair.
  bool Bare = false;
  std::optional<Cond> Match;
  std::unique_ptr<Src> L, R;
};

class RandomJoin {
public:
  RandomJoin(const std::vector<Table>& tables, sql_test::SqlGenerator& g) : Tables_(tables), G_(g) {
    const int count = g.Chance(0.3) ? 4 : g.Int(2, 3);
    // Tables whose product stays small enough for the nested loops.
    for (double product = 1e9; product > 20000;) {
      Aliases_.clear();
      product = 1;
      for (int i = 0; i < count; ++i) {
        Aliases_.push_back(g.Int(0, static_cast<int>(tables.size()) - 1));
        product *= static_cast<double>(TableOf(i).Rows.size());
      }
    }
    if (g.Chance(0.3)) {
      // A comma list: a product of entries of one table or a join of two.
      // SQLite reads "a, b JOIN c" as "(a, b) JOIN c": such a join goes in
      // parentheses.
      for (int lo = 0; lo < count;) {
        const int size = std::min(count - lo, g.Chance(0.3) ? 2 : 1);
        std::unique_ptr<Src> entry = Tree(lo, lo + size);
        if (lo > 0) {
          auto product = std::make_unique<Src>();
          product->Sql = From_->Sql + (size > 1 ? ", (" + entry->Sql + ")" : ", " + entry->Sql);
          product->L = std::move(From_);
          product->R = std::move(entry);
          entry = std::move(product);
        }
        From_ = std::move(entry);
        lo += size;
      }
    } else {
      From_ = Tree(0, count);
    }
    std::vector<int> all;
    for (int a = 0; a < count; ++a) all.push_back(a);
    if (g.Chance(0.8)) {
      std::vector<Cond> parts;
      for (int i = g.Int(1, 3); i > 0; --i) parts.push_back(g.Chance(0.3) ? Equality(all, all) : Simple(all, 1));
      Where_ = Combine(parts, true);
    }
    for (int a = 0; a < count; ++a)
      for (int c = 0; c < static_cast<int>(TableOf(a).Columns.size()); ++c)
        if (g.Chance(0.5)) Select_.push_back({a, c});
    if (Select_.empty()) Select_.push_back({0, 0});
    Distinct_ = g.Chance(0.2);
    Sql = Distinct_ ? "SELECT DISTINCT " : "SELECT ";
    for (size_t i = 0; i < Select_.size(); ++i) Sql += (i > 0 ? ", " : "") + Name(Select_[i].first, Select_[i].second);
    Sql += " FROM " + From_->Sql + (Where_ ? " WHERE " + Where_->Sql : "");
  }

  std::string Sql;
  // SQLite finds a qualified column ambiguous in some queries that join
  // more than two tables, two of them by USING or NATURAL.
  bool SqliteReadsIt = true;

  // The rows by nested loops: every pair of rows tried.
  Strings Rows() const {
    Strings out;
    for (const Row& row : Rows(*From_)) {
      if (Where_ && Where_->Eval(row) != kTrue) continue;
      std::string line;
      for (const auto& [a, c] : Select_) line += (line.empty() ? "" : "|") + At(a, c, row).value_or("NULL");
      out.push_back(line);
    }
    if (Distinct_) {
      std::sort(out.begin(), out.end());
      out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
  }

private:
  const Table& TableOf(int alias) const { return Tables_[static_cast<size_t>(Aliases_[static_cast<size_t>(alias)])]; }
  std::string Name(int a, int c) const { return "t" + std::to_string(a) + "." + TableOf(a).Columns[static_cast<size_t>(c)]; }
  Val At(int a, int c, const Row& row) const {
    const int r = row[static_cast<size_t>(a)];
    return r < 0 ? Val() : TableOf(a).Rows[static_cast<size_t>(r)][static_cast<size_t>(c)];
  }
  static Row Merge(Row a, const Row& b) {
    for (size_t i = 0; i < a.size(); ++i)
      if (b[i] >= 0) a[i] = b[i];
    return a;
  }
  int AnyColumn(int a, bool text) {
    for (;;) {
      const int c = G_.Int(0, static_cast<int>(TableOf(a).Columns.size()) - 1);
      if (TableOf(a).Text[static_cast<size_t>(c)] == text) return c;
    }
  }

  // a op b of two columns (b >= 0) or of a column and the constant k.
  Cond Compare(int a, int ca, char op, int b, int cb) const {
    const std::string right = b >= 0 ? Name(b, cb) : std::to_string(cb);
    return {Name(a, ca) + " " + op + " " + right, [=, this](const Row& row) {
              const Val x = At(a, ca, row);
              const Val y = b >= 0 ? At(b, cb, row) : Val(std::to_string(cb));
              if (!x || !y) return kUnknown;
              if (op == '=') return *x == *y ? kTrue : kFalse;
              return (op == '<' ? std::stoll(*x) < std::stoll(*y) : std::stoll(*x) > std::stoll(*y)) ? kTrue : kFalse;
            }};
  }
  static Cond Combine(std::vector<Cond> parts, bool all) {
    std::string sql;
    for (const Cond& p : parts) sql += (sql.empty() ? "" : all ? " AND " : " OR ") + p.Sql;
    return {parts.size() > 1 ? "(" + sql + ")" : sql, [=](const Row& row) {
              bool unknown = false;
              for (const Cond& p : parts) {
                const Truth t = p.Eval(row);
                if (t == (all ? kFalse : kTrue)) return t;
                unknown = unknown || t == kUnknown;
              }
              return unknown ? kUnknown : all ? kTrue : kFalse;
            }};
  }
  // Two columns of one type, one of left, one of right, equal.
  Cond Equality(const std::vector<int>& left, const std::vector<int>& right) {
    const int a = G_.Pick(left);
    const int b = G_.Pick(right);
    const bool text = G_.Chance(0.3) && std::find(TableOf(a).Text.begin(), TableOf(a).Text.end(), true) !=
                                            TableOf(a).Text.end() &&
                      std::find(TableOf(b).Text.begin(), TableOf(b).Text.end(), true) != TableOf(b).Text.end();
    return Compare(a, AnyColumn(a, text), '=', b, AnyColumn(b, text));
  }
  // An integer column compared with a constant or another one, IS [NOT]
  // NULL, or an OR of two.
  Cond Simple(const std::vector<int>& aliases, int depth) {
    if (depth > 0 && G_.Chance(0.2)) return Combine({Simple(aliases, 0), Simple(aliases, 0)}, false);
    const int a = G_.Pick(aliases);
    const int c = AnyColumn(a, false);
    if (G_.Chance(0.2)) {
      const bool notNull = G_.Chance(0.5);
      return {Name(a, c) + (notNull ? " IS NOT NULL" : " IS NULL"),
              [=, this](const Row& row) { return At(a, c, row).has_value() == notNull ? kTrue : kFalse; }};
    }
    const char op = G_.Pick(std::vector<char>{'=', '<', '>'});
    if (G_.Chance(0.2)) {
      const int b = G_.Pick(aliases);
      return Compare(a, c, op, b, AnyColumn(b, false));
    }
    return Compare(a, c, op, -1, G_.Int(0, 8));
  }

  std::unique_ptr<Src> Tree(int lo, int hi) {
    auto node = std::make_unique<Src>();
    if (hi - lo == 1) {
      node->Alias = lo;
      node->Sql = TableOf(lo).Name + " t" + std::to_string(lo);
      return node;
    }
    const int mid = G_.Int(lo + 1, hi - 1);
    node->L = Tree(lo, mid);
    node->R = Tree(mid, hi);
    node->Kind = G_.Pick(Strings{"CROSS", "INNER", "LEFT", "RIGHT", "FULL"});
    const bool tables = node->L->Alias >= 0 && node->R->Alias >= 0;
    std::vector<int> left, right;
    for (int i = lo; i < hi; ++i) (i < mid ? left : right).push_back(i);
    std::string words = node->Kind + " JOIN";
    std::string suffix;
    if (node->Kind == "CROSS") {
    } else if (tables && node->Kind == "INNER" && G_.Chance(0.1)) {
      words = "JOIN";
      node->Bare = true;
    } else if (tables && G_.Chance(0.25)) {
      // NATURAL, or USING one column both have: the shared columns equal.
      const Table& a = TableOf(lo);
      const Table& b = TableOf(mid);
      const bool natural = G_.Chance(0.5) || a.Name[0] != 'r' || b.Name[0] != 'r';
      const std::string column = G_.Pick(Strings{"k", "v", "w"});
      std::vector<Cond> equal;
      for (size_t i = 0; i < a.Columns.size(); ++i)
        for (size_t j = 0; j < b.Columns.size(); ++j)
          if (a.Columns[i] == b.Columns[j] && (natural || a.Columns[i] == column))
            equal.push_back(Compare(lo, static_cast<int>(i), '=', mid, static_cast<int>(j)));
      if (!equal.empty()) node->Match = Combine(equal, true);
      words = natural ? "NATURAL " + words : words;
      suffix = natural ? "" : " USING (" + column + ")";
      SqliteReadsIt = SqliteReadsIt && Aliases_.size() == 2;
    } else {
      std::vector<Cond> on;
      for (int i = G_.Int(0, 2); i > 0; --i) on.push_back(Equality(left, right));
      if (on.empty() || G_.Chance(0.3)) {
        std::vector<int> both = left;
        both.insert(both.end(), right.begin(), right.end());
        on.push_back(Simple(G_.Chance(0.5) ? both : G_.Chance(0.5) ? left : right, 1));
      }
      node->Match = Combine(on, true);
      suffix = " ON " + node->Match->Sql;
    }
    node->EndsInOn = !suffix.empty();
    // Both parsers make the same tree of a join after ON or USING and of one
    // in parentheses; "a JOIN b JOIN c ON ..." nests to the right here, to
    // the left in SQLite: the same rows for inner joins.
    const bool bareInner = node->L->Bare && node->Kind == "INNER" && node->R->Alias >= 0 && node->EndsInOn;
    const std::string l = node->L->Alias < 0 && !bareInner && !(node->L->EndsInOn && G_.Chance(0.5))
                              ? "(" + node->L->Sql + ")"
                              : node->L->Sql;
    const std::string r = node->R->Alias < 0 ? "(" + node->R->Sql + ")" : node->R->Sql;
    node->Sql = l + " " + words + " " + r + suffix;
    // That form goes in parentheses before a further join, whose words the
    // right-nested part would take as its own.
    node->EndsInOn = node->EndsInOn && !bareInner;
    return node;
  }

  std::vector<Row> Rows(const Src& s) const {
    std::vector<Row> out;
    if (s.Alias >= 0) {
      for (size_t r = 0; r < TableOf(s.Alias).Rows.size(); ++r) {
        out.push_back(Row(Aliases_.size(), -1));
        out.back()[static_cast<size_t>(s.Alias)] = static_cast<int>(r);
      }
      return out;
    }
    const std::vector<Row> left = Rows(*s.L);
    const std::vector<Row> right = Rows(*s.R);
    std::vector<bool> used(right.size(), false);
    for (const Row& l : left) {
      bool matched = false;
      for (size_t j = 0; j < right.size(); ++j) {
        Row m = Merge(l, right[j]);
        if (s.Match && s.Match->Eval(m) != kTrue) continue;
        out.push_back(std::move(m));
        matched = used[j] = true;
      }
      if (!matched && (s.Kind == "LEFT" || s.Kind == "FULL")) out.push_back(l);
    }
    for (size_t j = 0; j < right.size(); ++j)
      if (!used[j] && (s.Kind == "RIGHT" || s.Kind == "FULL")) out.push_back(right[j]);
    return out;
  }

  const std::vector<Table>& Tables_;
  sql_test::SqlGenerator& G_;
  std::vector<int> Aliases_;
  std::unique_ptr<Src> From_;
  std::optional<Cond> Where_;
  std::vector<std::pair<int, int>> Select_;
  bool Distinct_ = false;
};

class JoinRandomTest : public sql_test::QueryFixture {
protected:
  void Both(const std::string& sql) {
    Run(sql);
    Sqlite.Exec(sql);
  }
  Strings Ours(const std::string& sql) { return FetchRows(sql); }
  // Three tables r0-r2 (k, v, w INTEGER) of 0-50 rows, mostly few so that
  // products of four tables stay quick, small values, 15% nulls.
  void MakeRandomTables(sql_test::SqlGenerator& g, std::vector<Table>& tables) {
    tables.resize(2);
    for (int t = 0; t < 3; ++t) {
      Table table{"r" + std::to_string(t), {"k", "v", "w"}, {false, false, false}, {}};
      Run("DROP TABLE " + table.Name);
      Sqlite.Exec("DROP TABLE IF EXISTS " + table.Name);
      Both("CREATE TABLE " + table.Name + " (k INTEGER, v INTEGER, w INTEGER)");
      std::string values;
      for (int r = g.Chance(0.15) ? 0 : g.Chance(0.3) ? g.Int(20, 50) : g.Int(1, 12); r > 0; --r) {
        table.Rows.emplace_back();
        for (int c = 0; c < 3; ++c)
          table.Rows.back().push_back(g.Chance(0.15) ? Val() : Val(std::to_string(g.Int(0, c == 0 ? 6 : 9))));
        const auto& v = table.Rows.back();
        values += (values.empty() ? "(" : ", (") + v[0].value_or("NULL") + ", " + v[1].value_or("NULL") + ", " +
                  v[2].value_or("NULL") + ")";
      }
      if (!values.empty()) Both("INSERT INTO " + table.Name + " VALUES " + values);
      tables.push_back(std::move(table));
    }
  }
  sql_test::SqliteOracle Sqlite;
};

TEST_F(JoinRandomTest, RowsMatchSqliteAndNestedLoops) {
  Both(sql_test::kSetupSql);
  std::vector<Table> tables = SetupTables();
  sql_test::SqlGenerator g(41);
  auto budget = qv::test::TestBudget::Steps(1000, 20);
  uint64_t round = 0;
  int againstSqlite = 0;
  for (; budget.Continue(round); ++round) {
    if (round % 60 == 0) MakeRandomTables(g, tables);
    const RandomJoin q(tables, g);
    Strings ours;
    try {
      ours = Ours(q.Sql);
    } catch (const std::exception& e) {
      ADD_FAILURE() << q.Sql << "\n" << e.what();
      continue;
    }
    Strings naive = q.Rows();
    std::sort(ours.begin(), ours.end());
    std::sort(naive.begin(), naive.end());
    if (q.SqliteReadsIt) {
      Strings theirs = Sqlite.Rows(q.Sql);
      std::sort(theirs.begin(), theirs.end());
      ASSERT_EQ(naive, theirs) << "the nested loops and SQLite differ: " << q.Sql;
      ++againstSqlite;
    }
    ASSERT_EQ(ours, naive) << q.Sql;
  }
  EXPECT_GT(againstSqlite, static_cast<int>(round / 2));
  RecordProperty("rounds", std::to_string(round) + ", against SQLite too: " + std::to_string(againstSqlite));
  // Every result table of every join went with its query.
  TVLMDatabase temp;
  temp.SetDatabaseName("TEMPCHECK");
  temp.SetDatabaseFileName("TEMP");
  qv::StringList names;
  temp.GetTableNames(names);
  for (const std::string& name : names) EXPECT_NE(name.rfind("TEMPORARY_TABLE_", 0), 0u) << name;
}

// A few rows joined to a big table on its key or on an indexed column with
// repeated values: the join seeks each new outer key down the big table's
// index. Random keys (some beyond the table, some null), both join kinds,
// with and without a condition on the big table, and chains where a further
// join seeks the big table again for each row the first join hands over (in
// no key order); SQLite's rows. The big table's key is a whole number of
// each width in turn.
TEST_F(JoinRandomTest, FewRowsJoinedToABigIndexedTableMatchSqlite) {
  sql_test::SqlGenerator g(97);
  auto key = [&](int high) { return g.Chance(0.1) ? std::string("NULL") : std::to_string(g.Int(-5, high)); };
  const Strings keyTypes{"INTEGER", "SMALLINT", "LARGEINT", "WORD"};
  auto budget = qv::test::TestBudget::Steps(120, 10);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    if (round % 30 == 0) {
      Run("DROP TABLE big");
      Sqlite.Exec("DROP TABLE IF EXISTS big");
      Both("CREATE TABLE big (id " + keyTypes[round / 30 % keyTypes.size()] +
           " NOT NULL, v INTEGER, PRIMARY KEY (id))");
      Both("CREATE INDEX bigv ON big (v)");
      std::string rows;
      for (int id = 0; id < 600; ++id) rows += (id > 0 ? ", (" : "(") + std::to_string(id) + ", " + key(60) + ")";
      Both("INSERT INTO big VALUES " + rows);
    }
    if (round % 20 == 0) {
      Run("DROP TABLE s");
      Sqlite.Exec("DROP TABLE IF EXISTS s");
      Both("CREATE TABLE s (k INTEGER, w INTEGER)");
      // Keys often repeated: an outer key met again finds its run again,
      // also after a condition in ON refused that run to the row before.
      const std::string twice = std::to_string(g.Int(0, 4));
      std::string few = "(" + twice + ", -100), (" + twice + ", 100)";
      for (int r = g.Int(0, 18); r > 0; --r)
        few += ", (" + (g.Chance(0.3) ? std::to_string(g.Int(0, 4)) : key(620)) + ", " + key(60) + ")";
      Both("INSERT INTO s VALUES " + few);
    }
    // A condition in ON beside the key can leave a row of the run behind.
    const std::string on = std::string(g.Chance(0.5) ? "s.k = big.id" : "big.v = s.w") +
                           (g.Chance(0.25) ? " AND big.v < s.w" : "");
    const bool chain = g.Chance(0.5);
    std::string sql = "SELECT s.k, s.w, big.id, big.v" + std::string(chain ? ", b2.id, b2.v" : "") + " FROM s " +
                      (g.Chance(0.5) ? "LEFT " : "") + "JOIN big ON " + on;
    if (chain)
      sql += std::string(g.Chance(0.5) ? " LEFT" : "") + " JOIN big b2 ON " +
             g.Pick(Strings{"b2.id = big.v", "b2.v = s.w", "b2.id = s.k"});
    const bool where = g.Chance(0.3);
    if (where) sql += " WHERE big.id > " + std::to_string(g.Int(0, 600));
    // A condition over both tables of the first join keeps its rows in a
    // result table.
    if (chain && g.Chance(0.3)) sql += std::string(where ? " AND" : " WHERE") + " big.v < s.w";
    Strings ours = Ours(sql);
    Strings theirs = Sqlite.Rows(sql);
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    ASSERT_EQ(ours, theirs) << sql;
  }
}

}  // namespace
