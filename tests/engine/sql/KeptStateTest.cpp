// What query objects keep between their runs (tables, parsed statements,
// probes) answers as a fresh statement would: after runs of other query
// objects of this process and of another process, after a change of a
// table's rows, indexes or definition; and a closed query holds nothing
// another connection needs alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <functional>
#include <thread>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMKeptTables.h"
#include "engine/sql/VLMMainQuery.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"

namespace {

// The answer of one run of query as text: its rows joined by "; " (rows
// "v|v", NULL for a null), "ok N" for a text without rows, "error CODE" for
// a refusal. The query is left closed, prepared.
std::string Answer(TVLMQuery& query) {
  try {
    if (!query.ExecuteForCursor()) return "ok " + std::to_string(query.RowsAffected());
    query.Open();
    std::string rows;
    for (query.First(); !query.Eof(); query.Next()) {
      std::string row;
      for (int32_t i = 0; i < query.FieldCount(); ++i) {
        qv::Field& field = *query.GetFields()[i];
        row += (i > 0 ? "|" : "") + (field.IsNull() ? std::string("NULL") : field.AsString());
      }
      rows += (rows.empty() ? "" : "; ") + row;
    }
    query.Close();
    return rows;
  } catch (const EVLMException& e) {
    query.Close();
    return "error " + std::to_string(e.NativeError);
  }
}

// One step of a script: who runs sql ('0'-'9' a query object of this
// process, kept for the whole script; 'B' another process; 'T' a walk of
// the table named by sql through a table component kept open), with the
// value of the parameter p when it has one, and what it must answer.
struct Step {
  char Who;
  const char* Sql;
  const char* Expected;
  int32_t P = 0;
};

class KeptStateTest : public sql_test::QueryFixture {
protected:
  // The other process's connection: "" multi-user, "alone" single-user.
  std::string PeerMode;

  // Runs the steps in order through query objects that live as long as the
  // script, on a fresh file opened shared or alone (steps of 'B' need it
  // shared, or the peer to hold the file first); the other process is a
  // peer that keeps its own connection.
  void RunScript(const std::vector<Step>& steps, bool shared) {
    SCOPED_TRACE(shared ? "file shared" : "file alone");
    Reopen(shared);
    std::vector<std::unique_ptr<TVLMQuery>> queries(10);
    std::unique_ptr<storage_test::Peer> peer;
    std::unique_ptr<TVLMTable> table;
    int32_t n = 0;
    for (const Step& step : steps) {
      SCOPED_TRACE("step " + std::to_string(++n) + " " + step.Who + ": " + step.Sql);
      if (step.Who == 'T') {
        // A table component that stays open from its first step on, walked
        // from its first row: its first column's values.
        if (!table) {
          table = std::make_unique<TVLMTable>();
          table->SetDatabaseName("SQLDB");
          table->SetTableName(step.Sql);
          table->Open();
        }
        std::string ids;
        for (table->First(); !table->Eof(); table->Next())
          ids += (ids.empty() ? "" : " ") + table->GetFields()[0]->AsString();
        EXPECT_EQ(ids, step.Expected);
        continue;
      }
      if (step.Who == 'B') {
        if (!peer) peer = std::make_unique<storage_test::Peer>(Folder.File("q.vlm"), PeerMode, "engine_sqlpeer");
        EXPECT_EQ(peer->Ask(step.Sql), step.Expected);
        continue;
      }
      std::unique_ptr<TVLMQuery>& query = queries[static_cast<size_t>(step.Who - '0')];
      if (!query) {
        query = std::make_unique<TVLMQuery>();
        query->SetDatabaseName("SQLDB");
      }
      query->SetSQL(step.Sql);
      if (qv::Param* p = query->Params().FindParam("p")) p->SetAsInteger(step.P);
      EXPECT_EQ(Answer(*query), step.Expected);
    }
  }
};

// A statement run again (the same text, or a prepared one with new values)
// deletes, counts and reads what a fresh one would, after changes made
// between its runs by other query objects of this process.
TEST_F(KeptStateTest, AStatementRunAgainAnswersAsAFreshOne) {
  const std::vector<Step> steps{
      {'0', "CREATE TABLE tb (id INTEGER, k INTEGER); INSERT INTO tb VALUES (1, 4), (2, NULL), (3, 5), (4, 6)",
       "ok 4"},
      {'1', "DELETE FROM tb WHERE k = 4", "ok 1"},
      {'0', "INSERT INTO tb VALUES (7, 4)", "ok 1"},
      {'1', "DELETE FROM tb WHERE k = 4", "ok 1"},
      {'2', "DELETE FROM tb WHERE k = :p", "ok 1", 5},
      {'0', "INSERT INTO tb VALUES (8, 5), (9, 6)", "ok 2"},
      {'2', "DELETE FROM tb WHERE k = :p", "ok 2", 6},
      {'2', "DELETE FROM tb WHERE k > :p", "ok 1", 4},
      {'0', "INSERT INTO tb VALUES (1, 1), (2, 2), (3, 3)", "ok 3"},
      {'3', "DELETE FROM tb WHERE k IN (SELECT id FROM tb WHERE id < 2)", "ok 1"},
      {'0', "INSERT INTO tb VALUES (1, 1)", "ok 1"},
      {'3', "DELETE FROM tb WHERE k IN (SELECT id FROM tb WHERE id < 2)", "ok 1"},
      {'4', "SELECT COUNT(*) AS n FROM tb", "3"},
      {'5', "DELETE FROM tb", "ok 3"},
      {'0', "INSERT INTO tb VALUES (5, 5)", "ok 1"},
      {'4', "SELECT COUNT(*) AS n FROM tb", "1"},
      {'5', "DELETE FROM tb", "ok 1"},
      {'4', "SELECT COUNT(*) AS n FROM tb", "0"},
  };
  for (const bool shared : {false, true}) RunScript(steps, shared);
}

// Another process writes between this process's statements: every query
// object reads what the file holds.
TEST_F(KeptStateTest, AnotherProcesssChangesAreSeen) {
  RunScript({
      {'B', "CREATE TABLE ta (id INTEGER, k INTEGER)", "ok 0"},
      {'B', "CREATE TABLE tb (id INTEGER, k INTEGER)", "ok 0"},
      {'2', "SELECT id FROM tb", ""},
      {'1', "SELECT COUNT(*) AS n FROM ta x WHERE x.k IN (SELECT y.k FROM tb y)", "0"},
      {'B', "INSERT INTO ta VALUES (1, 1)", "ok 1"},
      {'1', "SELECT x.id FROM ta x WHERE x.k IN (SELECT y.id FROM tb y)", ""},
      {'B', "INSERT INTO tb VALUES (1, 3), (2, 7), (2, 4)", "ok 3"},
      {'2', "SELECT x.id FROM ta x WHERE x.id IN (SELECT y.k FROM tb y)", ""},
      {'9', "SELECT * FROM tb", "1|3; 2|7; 2|4"},
      {'9', "SELECT COUNT(*) AS n FROM tb", "3"},
      {'3', "SELECT id, k FROM tb WHERE id = :p", "2|7; 2|4", 2},
      {'B', "UPDATE tb SET k = 8 WHERE k = 7", "ok 1"},
      {'3', "SELECT id, k FROM tb WHERE id = :p", "2|8; 2|4", 2},
      {'B', "DELETE FROM tb WHERE k = 4", "ok 1"},
      {'3', "SELECT id, k FROM tb WHERE id = :p", "2|8", 2},
      {'9', "SELECT COUNT(*) AS n FROM tb", "2"},
      {'B', "INSERT INTO tb VALUES (2, 9)", "ok 1"},
      {'3', "SELECT id, k FROM tb WHERE id = :p", "2|8; 2|9", 2},
      {'1', "SELECT x.id FROM ta x WHERE x.k IN (SELECT y.id FROM tb y)", "1"},
  }, true);
}

// A closed query (not disconnected) holds no table that another connection
// needs alone: another process changes the indexes and definition of a
// table an idle query last read at its first try (its lock waits are a few
// milliseconds), and the query's next run reads the new definition; in
// this process a column a join was keyed on can be dropped, and a table a
// prepared query read through a subquery under OR can be altered.
TEST_F(KeptStateTest, AClosedQueryHoldsNothingOthersNeed) {
  const char* const made =
      "CREATE TABLE tb (id INTEGER, k INTEGER, e1 INTEGER); CREATE TABLE ta (id INTEGER, k INTEGER); "
      "CREATE TABLE tc (id INTEGER); INSERT INTO tb VALUES (1, 1, 1), (2, -1, 2); INSERT INTO ta VALUES (1, 1); "
      "INSERT INTO tc VALUES (1)";
  const char* const orIn = "SELECT y.id FROM tb y, tc z WHERE (z.id IN (SELECT x.k FROM ta x) OR y.k < 0)";
  const std::vector<Step> inProcess{
      {'0', made, "ok 4"},
      {'1', "SELECT * FROM tb", "1|1|1; 2|-1|2"},
      {'2', "SELECT a.id, b.k FROM tb a JOIN tb b ON b.e1 = a.e1", "1|1; 2|-1"},
      {'3', "ALTER TABLE tb DROP e1", "ok 0"},
      {'1', "SELECT * FROM tb", "1|1; 2|-1"},
      {'4', orIn, "1; 2"},
      {'3', "ALTER TABLE ta ADD (e9 INTEGER)", "ok 0"},
      {'4', orIn, "1; 2"},
      {'5', "SELECT * FROM ta", "1|1|NULL"},
  };
  for (const bool shared : {false, true}) RunScript(inProcess, shared);
  RunScript({
      {'0', made, "ok 4"},
      {'1', "SELECT * FROM tb", "1|1|1; 2|-1|2"},
      {'B', "CREATE INDEX ix1 ON tb (id DESC)", "ok 0"},
      {'B', "ALTER TABLE tb ADD (e7 INTEGER)", "ok 0"},
      {'1', "SELECT * FROM tb", "1|1|1|NULL; 2|-1|2|NULL"},
      {'2', "SELECT id FROM tb WHERE id >= :p", "2", 2},
      {'B', "ALTER TABLE tb ADD (e8 INTEGER)", "ok 0"},
      {'2', "SELECT id FROM tb WHERE id >= :p", "2", 2},
      {'3', "SELECT id, e8 FROM tb WHERE id >= :p", "2|NULL", 2},
      {'4', orIn, "1; 2"},
      {'B', "ALTER TABLE ta ADD (e9 INTEGER)", "ok 0"},
      {'B', "DROP INDEX tb.ix1", "ok 0"},
      {'3', "SELECT id, e8 FROM tb WHERE id >= :p", "2|NULL", 2},
      {'4', orIn, "1; 2"},
  }, true);
}

// A statement refused for a misspelt column in the same condition as an
// uncorrelated IN, NOT IN or scalar subquery (whose tree the name check
// builds) keeps none of the subquery's tables: DDL on that table from
// another query object of this process, and from another process, runs
// while the refused query object still holds its text.
TEST_F(KeptStateTest, ARefusedStatementKeepsNoTableOpen) {
  const char* const made =
      "CREATE TABLE ta (id INTEGER, k INTEGER); CREATE TABLE tb (id INTEGER, k INTEGER); "
      "CREATE TABLE tc (id INTEGER); INSERT INTO ta VALUES (1, 1), (2, 2); INSERT INTO tb VALUES (1, 1)";
  const char* const shapes[] = {
      "SELECT id FROM ta WHERE nope = 1 OR k %s",
      "SELECT k, COUNT(*) AS n FROM ta GROUP BY k HAVING nope = 1 OR k %s",
      "SELECT d.id FROM (SELECT id FROM ta WHERE nope = 1 OR k %s) d",
      "INSERT INTO tc SELECT id FROM ta WHERE nope = 1 OR k %s",
      "UPDATE ta SET k = 0 WHERE nope = 1 OR k %s",
      "DELETE FROM ta WHERE nope = 1 OR k %s",
  };
  const char* const subqueries[] = {"IN (SELECT id FROM tb)", "NOT IN (SELECT id FROM tb)",
                                    "= (SELECT MAX(id) FROM tb)"};
  PeerMode = "";
  for (const char* shape : shapes) {
    for (const char* subquery : subqueries) {
      std::string refused = shape;
      refused.replace(refused.find("%s"), 2, subquery);
      SCOPED_TRACE(refused);
      RunScript({
          {'0', made, "ok 3"},
          {'1', refused.c_str(), "error 10305"},
          {'2', "ALTER TABLE tb ADD (e INTEGER)", "ok 0"},
          {'B', "ALTER TABLE tb ADD (f INTEGER)", "ok 0"},
          {'2', "SELECT * FROM tb", "1|1|NULL|NULL"},
      }, true);
    }
  }
}

// A single-user connection let in read-only because another process holds
// the file (single-user or shared) reads what that process commits: rows,
// counts and new tables, through fresh query objects and table components
// alike; its writes are refused whatever rows they match.
TEST_F(KeptStateTest, AConnectionLetInReadOnlyReadsWhatTheHolderCommits) {
  for (const char* holder : {"alone", ""}) {
    SCOPED_TRACE(std::string("holder ") + (*holder != 0 ? holder : "shared"));
    PeerMode = holder;
    RunScript({
        {'B', "CREATE TABLE t (id INTEGER, k INTEGER); INSERT INTO t VALUES (1, 1)", "ok 1"},
        {'0', "SELECT * FROM t", "1|1"},
        {'T', "t", "1"},
        {'B', "INSERT INTO t VALUES (2, 2), (3, 3)", "ok 2"},
        {'T', "t", "1 2 3"},
        {'B', "DELETE FROM t WHERE id = 1", "ok 1"},
        {'T', "t", "2 3"},
        {'1', "SELECT * FROM t", "2|2; 3|3"},
        {'0', "SELECT * FROM t", "2|2; 3|3"},
        {'2', "SELECT COUNT(*) AS n FROM t", "2"},
        {'B', "UPDATE t SET k = 9 WHERE id = 2", "ok 1"},
        {'0', "SELECT * FROM t WHERE k > 3", "2|9"},
        {'4', "DELETE FROM t WHERE id = 2", "error 10069"},
        {'4', "UPDATE t SET k = 0", "error 10032"},
        {'B', "CREATE TABLE u (id INTEGER); INSERT INTO u VALUES (5)", "ok 1"},
        {'3', "SELECT * FROM u", "5"},
        {'4', "DELETE FROM t WHERE id = 1", "error 10069"},
        {'4', "UPDATE t SET k = 0 WHERE id = 7", "error 10032"},
        {'4', "INSERT INTO t VALUES (4, 4)", "error 10032"},
        {'B', "INSERT INTO t VALUES (6, 6)", "ok 1"},
    }, false);
    EXPECT_TRUE(Database->ReadOnly);
    std::vector<std::string> rows = Rows("t");
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"2|9", "3|3", "6|6"}));
  }
}

#if VLM_DEBUG_CHECKS
// Each invariant of the kept tables stops the process where it breaks: a
// kept table closed, or robbed of its release, behind the set's back; a
// table given twice; a set used by a second thread while it holds tables.
using KeptTablesDeathTest = sql_test::QueryFixture;

TEST_F(KeptTablesDeathTest, EveryInvariantStopsTheProcessWhereItBreaks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Run("CREATE TABLE t (id INTEGER)");
  struct Case {
    const char* Invariant;
    std::function<void(TVLMKeptTables&, TVLMTable&)> Break;
  };
  auto take = [](TVLMKeptTables& kept, TVLMTable& table) {
    return kept.Take(table.SessionName(), table.DatabaseName(), table.TableName(), table.InMemory());
  };
  const Case cases[] = {
      {"VLMKeptTables 1",
       [&](TVLMKeptTables& kept, TVLMTable& table) {
         table.Close();
         take(kept, table);
       }},
      {"VLMKeptTables 2",
       [&](TVLMKeptTables& kept, TVLMTable& table) {
         VLMSetReleaseIdle(*table.Handle(), nullptr);
         take(kept, table);
       }},
      {"VLMKeptTables 3",
       [](TVLMKeptTables& kept, TVLMTable& table) { kept.Give(std::unique_ptr<TVLMTable>(&table)); }},
      {"VLMKeptTables 4",
       [&](TVLMKeptTables& kept, TVLMTable& table) { std::thread([&] { take(kept, table); }).join(); }},
  };
  for (const Case& c : cases) {
    TVLMKeptTables kept;
    auto table = std::make_unique<TVLMTable>();
    table->SetDatabaseName("SQLDB");
    table->SetTableName("t");
    table->Open();
    TVLMTable& lent = *table;
    kept.Give(std::move(table));
    ASSERT_EQ(kept.Count(), 1);
    EXPECT_DEATH(c.Break(kept, lent), std::string("Invariant ") + c.Invariant + " violated") << c.Invariant;
    // Unbroken, the table comes back as it was lent.
    std::unique_ptr<TVLMTable> back = take(kept, lent);
    EXPECT_EQ(back.get(), &lent);
    kept.Give(std::move(back));
    EXPECT_EQ(kept.Count(), 1);
  }
}
#endif

}  // namespace
