// Long random sequences of texts and prepared statements (queries, INSERT,
// UPDATE, DELETE, CREATE and DROP INDEX, ALTER TABLE ADD and DROP) through
// several long-lived query objects, each answer (rows, rows affected,
// refused or not) compared with SQLite's for the same statement in the same
// order: in one process on a file it has alone, where the query objects
// keep tables and parsed statements between runs, and with a second process
// changing rows, indexes and definitions between the first one's
// statements.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMMainQuery.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

// One statement as each side writes it; Param: it reads the parameter p
// (a new value each run); Changes: it reports the rows it changed.
struct Statement {
  std::string Ours;
  std::string Theirs;
  bool Param = false;
  bool Changes = false;
};

// The statements of the run over two tables ta and tb (id, k, and columns
// e1-e3 that come and go), small integer values and nulls.
class Generator {
public:
  explicit Generator(uint32_t seed) : Rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Rng_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(Rng_); }
  std::string Value() { return Chance(0.15) ? "NULL" : std::to_string(Int(-1, 6)); }
  std::string Table() { return Chance(0.5) ? "ta" : "tb"; }
  std::string Other(const std::string& t) { return t == "ta" ? "tb" : "ta"; }

  Statement Query() {
    const std::string t = Table(), u = Other(t);
    const std::string cond = Condition();
    switch (Int(0, 9)) {
      case 0:
        return Same("SELECT id, k FROM " + t + " WHERE " + cond, true);
      case 9:
        // A join keyed on a column that comes and goes.
        return Same("SELECT x.id, y.id FROM " + t + " x JOIN " + u + " y ON y." + Extra() + " = x.k WHERE x.id > :p",
                    true);
      case 1:
        return Same("SELECT COUNT(*) AS n FROM " + t + (Chance(0.5) ? " WHERE " + cond : ""), true);
      case 2:
        return Same("SELECT * FROM " + t, false);
      case 3:
        return Same("SELECT x.id FROM " + t + " x WHERE x.k IN (SELECT y.k FROM " + u + " y WHERE y.k > :p)", true);
      case 4:
        return Same("SELECT x.id, y.id FROM " + t + " x JOIN " + u + " y ON y.k = x.k WHERE x.id > :p", true);
      case 5:
        return Same("SELECT x.id FROM " + t + " x WHERE EXISTS (SELECT y.id FROM " + u +
                        " y WHERE y.k = x.k AND y.id <> :p)",
                    true);
      case 6: {
        const std::string n = std::to_string(Int(1, 4));
        const std::string rest = "id, k FROM " + t + " WHERE k IS NOT NULL AND id IS NOT NULL ORDER BY k DESC, id";
        return {"SELECT TOP " + n + " " + rest, "SELECT " + rest + " LIMIT " + n, false, false};
      }
      case 7:
        return Same("SELECT id FROM " + t + " WHERE k BETWEEN :p AND " + std::to_string(Int(0, 6)), true);
      default:
        return Same("SELECT y.id FROM " + t + " y, " + u + " z WHERE (z.id IN (SELECT x.k FROM " + t +
                        " x) OR y.k < :p)",
                    true);
    }
  }
  Statement Change() {
    const std::string t = Table(), u = Other(t);
    Statement s;
    switch (Int(0, 7)) {
      case 0:
        s = Same("INSERT INTO " + t + " (id, k) VALUES (:p, " + Value() + ")", true);
        break;
      case 7:
        s = Same("UPDATE " + t + " SET " + Extra() + " = k WHERE " + Condition(), true);
        break;
      case 1:
        s = Same("INSERT INTO " + t + " (id, k) VALUES (" + Value() + ", " + Value() + "), (" + Value() + ", " +
                     Value() + ")",
                 false);
        break;
      case 2:
        s = Same("UPDATE " + t + " SET k = " + (Chance(0.5) ? Value() : "k + 1") + " WHERE " + Condition(), true);
        break;
      case 3:
        s = Same("DELETE FROM " + t + " WHERE " + Condition(), true);
        break;
      case 4:
        s = Same("DELETE FROM " + t + " WHERE k IN (SELECT y.id FROM " + u + " y WHERE y.k = :p)", true);
        break;
      case 5:
        s = Same("INSERT INTO " + t + " (id, k) SELECT id, k FROM " + u + " WHERE k = :p", true);
        break;
      default:
        s = Same("DELETE FROM " + t, false);
    }
    s.Changes = true;
    return s;
  }
  Statement Definition() {
    const std::string t = Table();
    const std::string e = Extra();
    const std::string ix = "ix_" + t + "_" + std::to_string(Int(1, 2));
    const std::string columns = ix.back() == '1' ? "(k)" : "(id, k)";
    switch (Int(0, 3)) {
      case 0:
        return {"CREATE INDEX " + ix + " ON " + t + " " + columns, "CREATE INDEX " + ix + " ON " + t + " " + columns};
      case 1:
        return {"DROP INDEX " + t + "." + ix, "DROP INDEX " + ix};
      case 2:
        return {"ALTER TABLE " + t + " ADD (" + e + " INTEGER)", "ALTER TABLE " + t + " ADD COLUMN " + e + " INTEGER"};
      default:
        return {"ALTER TABLE " + t + " DROP " + e, "ALTER TABLE " + t + " DROP COLUMN " + e};
    }
  }

private:
  std::string Extra() { return "e" + std::to_string(Int(1, 3)); }
  static Statement Same(const std::string& sql, bool param) { return {sql, sql, param, false}; }
  std::string Condition() {
    switch (Int(0, 3)) {
      case 0:
        return "k = :p";
      case 1:
        return "k > :p";
      case 2:
        return "k IN (:p, " + std::to_string(Int(0, 6)) + ")";
      default:
        return "id <= :p";
    }
  }
  std::mt19937 Rng_;
};

// SQLite in memory, the oracle.
class Oracle {
public:
  Oracle() { sqlite3_open(":memory:", &Db_); }
  ~Oracle() { sqlite3_close(Db_); }
  Oracle(const Oracle&) = delete;
  Oracle& operator=(const Oracle&) = delete;

  // The answer as the engine's side gives it (Answer below).
  std::string Run(const Statement& s, int p) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(Db_, s.Theirs.c_str(), -1, &statement, nullptr) != SQLITE_OK) return "error";
    if (s.Param) sqlite3_bind_int(statement, sqlite3_bind_parameter_index(statement, ":p"), p);
    std::vector<std::string> rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        const auto* text = sqlite3_column_text(statement, c);
        row += (c > 0 ? "|" : "") + (text == nullptr ? std::string("NULL") : reinterpret_cast<const char*>(text));
      }
      rows.push_back(row);
    }
    const bool yieldsRows = sqlite3_column_count(statement) > 0;
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) return "error";
    if (!yieldsRows) return "ok " + std::to_string(s.Changes ? sqlite3_changes(Db_) : 0);
    return Joined(rows);
  }
  static std::string Joined(std::vector<std::string>& rows) {
    std::sort(rows.begin(), rows.end());
    std::string text = "rows";
    for (const std::string& row : rows) text += " " + row;
    return text;
  }

private:
  sqlite3* Db_ = nullptr;
};

// The engine's answer to one run of query: its rows (sorted), "ok N" (N the
// rows changed, for a statement that changes rows) or "error".
std::string Answer(TVLMQuery& query, const Statement& s, int p) {
  try {
    query.SetSQL(s.Ours);
    if (qv::Param* param = query.Params().FindParam("p")) param->SetAsInteger(p);
    if (!query.ExecuteForCursor()) return "ok " + std::to_string(s.Changes ? query.RowsAffected() : 0);
    query.Open();
    std::vector<std::string> rows;
    for (query.First(); !query.Eof(); query.Next()) {
      std::string row;
      for (int32_t i = 0; i < query.FieldCount(); ++i) {
        qv::Field& field = *query.GetFields()[i];
        row += (i > 0 ? "|" : "") + (field.IsNull() ? std::string("NULL") : field.AsString());
      }
      rows.push_back(row);
    }
    query.Close();
    return Oracle::Joined(rows);
  } catch (const EVLMException&) {
    query.Close();
    return "error";
  }
}

class KeptStateDifferentialTest : public sql_test::QueryFixture {
protected:
  // The run on a fresh file (shared with a second process when peer), the
  // budget's steps each one statement of a query object or of the peer.
  void RunSequence(bool shared, uint32_t seed) {
    Reopen(shared);
    Oracle oracle;
    std::vector<std::unique_ptr<TVLMQuery>> queries;
    for (int i = 0; i < 6; ++i) {
      queries.push_back(std::make_unique<TVLMQuery>());
      queries.back()->SetDatabaseName("SQLDB");
    }
    for (const char* sql : {"CREATE TABLE ta (id INTEGER, k INTEGER)", "CREATE TABLE tb (id INTEGER, k INTEGER)"}) {
      const Statement s{sql, sql};
      ASSERT_EQ(Answer(*queries[0], s, 0), oracle.Run(s, 0));
    }
    std::unique_ptr<storage_test::Peer> peer;
    if (shared) {
      peer = std::make_unique<storage_test::Peer>(Folder.File("q.vlm"), "", "engine_sqlpeer");
      ASSERT_EQ(peer->Greeting, "ready");
    }
    Generator gen(seed);
    // Each query object keeps its statement for a while, run with new
    // values, before it takes another.
    std::vector<Statement> held(queries.size());
    auto budget = qv::test::TestBudget::Steps(shared ? 1500 : 4000, 25);
    std::vector<std::string> trail;
    // How the answers went: rows, "ok" (changes and definitions), errors.
    std::map<std::string, int> outcomes;
    auto count = [&](const std::string& answer) { ++outcomes[answer.substr(0, answer.find(' '))]; };
    uint64_t step = 0;
    for (; budget.Continue(step); ++step) {
      const int p = gen.Int(-1, 6);
      if (peer && gen.Chance(0.25)) {
        const Statement s = gen.Chance(0.7) ? gen.Change() : gen.Definition();
        std::string sql = s.Ours;
        if (s.Param) sql.replace(sql.find(":p"), 2, std::to_string(p));
        trail.push_back("B: " + sql);
        std::string theirs = oracle.Run(s, p);
        std::string ours = peer->Ask(sql);
        if (ours.rfind("error", 0) == 0) ours = "error";
        if (!s.Changes && ours.rfind("ok", 0) == 0) ours = "ok 0";
        ASSERT_EQ(ours, theirs) << Trail(trail);
        count(ours);
        continue;
      }
      const size_t slot = static_cast<size_t>(gen.Int(0, static_cast<int>(queries.size()) - 1));
      if (held[slot].Ours.empty() || gen.Chance(0.3)) {
        const int kind = gen.Int(0, 9);
        held[slot] = kind < 5 ? gen.Query() : kind < 9 ? gen.Change() : gen.Definition();
      }
      const Statement& s = held[slot];
      trail.push_back(std::to_string(slot) + ": " + s.Ours + (s.Param ? "  [p=" + std::to_string(p) + "]" : ""));
      const std::string ours = Answer(*queries[slot], s, p);
      ASSERT_EQ(ours, oracle.Run(s, p)) << Trail(trail);
      count(ours);
    }
    // Most statements ran through: the comparison was about rows, not about
    // refusals.
    EXPECT_GT(outcomes["rows"] + outcomes["ok"], 3 * outcomes["error"]);
    std::string summary = std::to_string(step) + " steps:";
    for (const auto& [kind, n] : outcomes) summary += " " + kind + " " + std::to_string(n);
    ::testing::Test::RecordProperty(shared ? "two_processes" : "one_process", summary);
  }
  // The last statements before a difference.
  static std::string Trail(const std::vector<std::string>& trail) {
    std::string text = "after:";
    for (size_t i = trail.size() > 25 ? trail.size() - 25 : 0; i < trail.size(); ++i) text += "\n  " + trail[i];
    return text;
  }
};

TEST_F(KeptStateDifferentialTest, QueryObjectsOfOneProcessAnswerAsSqlite) { RunSequence(false, 6001); }

TEST_F(KeptStateDifferentialTest, QueryObjectsAnswerAsSqliteWhileAnotherProcessChangesTheFile) {
  RunSequence(true, 6002);
}

}  // namespace
