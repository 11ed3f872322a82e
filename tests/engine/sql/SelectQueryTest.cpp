// SELECT in this process, through the query component and on the operators
// themselves: nothing of a run is left in "TEMP" or in temporary files, the
// result tables, the read-only verdict, TOP's reads, the operator base's
// names, and the statement lock against a second process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMRelAlgebra.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/SmallStack.h"

namespace {

using qv::test::RaisedCode;

class SelectQueryTest : public sql_test::QueryFixture {
protected:
  void SetUp() override {
    QueryFixture::SetUp();
    Run(sql_test::kSetupSql);
  }
  // The database component and the query again, the file opened shared so
  // that other processes may work on it.
  void ReopenShared() {
    Query.reset();
    Database.reset();
    Database = std::make_unique<TVLMDatabase>();
    Database->SetDatabaseName("SQLDB");
    Database->SetDatabaseFileName(Folder.File("q.vlm"));
    Database->MultiUser = true;
    Database->SilentMode = true;
    Query = std::make_unique<TVLMQuery>();
    Query->SetDatabaseName("SQLDB");
  }
};

TEST_F(SelectQueryTest, NoTemporaryTableOrFileOutlivesARun) {
  const sql_test::SpilledTemporaryTables spilled;
  auto leftover = [&] {
    Query->Disconnect();
    int32_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(spilled.Folder.Path())) ++files;
    return std::to_string(TemporaryTables()) + " tables, " + std::to_string(files) + " files";
  };
  EXPECT_EQ(Select("SELECT DISTINCT dept, salary / 10 AS s FROM emp ORDER BY s DESC").size(), 6u);
  EXPECT_EQ(leftover(), "0 tables, 0 files");
  EXPECT_EQ(Select("SELECT TOP 0 name FROM emp ORDER BY name").size(), 0u);
  EXPECT_EQ(leftover(), "0 tables, 0 files");
  // Groups read their operand's result through a second table.
  EXPECT_EQ(Select("SELECT UPPER(dept) AS d, SUM(salary) AS s FROM emp GROUP BY d HAVING SUM(salary) > 45 ORDER BY s"),
            (std::vector<std::string>{"SALES|50", "OPS|130", "ENG|180"}));
  EXPECT_EQ(leftover(), "0 tables, 0 files");
  Query->SetSQL("SELECT UPPER(dept) AS d, SUM(100 / (id - 4)) AS x FROM emp GROUP BY d");
  EXPECT_NE(RaisedCode([&] { Query->Open(); }), 0);
  EXPECT_EQ(leftover(), "0 tables, 0 files");
  // Division by zero at the fourth row, half-way through the fill.
  Query->SetSQL("SELECT name, 100 / (id - 4) AS x FROM emp ORDER BY x");
  EXPECT_NE(RaisedCode([&] { Query->Open(); }), 0);
  EXPECT_EQ(TemporaryTables(), 0);
  EXPECT_EQ(leftover(), "0 tables, 0 files");
}

TEST_F(SelectQueryTest, ResultTablesHoldNoAutoincrementFields) {
  Run("CREATE TABLE a (id AUTOINC, n VARCHAR(5)); INSERT INTO a (n) VALUES ('x'), ('y')");
  EXPECT_EQ(Select("SELECT id, n FROM a ORDER BY id DESC"), (std::vector<std::string>{"2|y", "1|x"}));
  TVLMLocalCursor& cursor = *Query->Handle();
  EXPECT_EQ(cursor.FieldDefs->GetFieldDef(0)->DataType, dtInteger);
  // The copy of the rows into t keeps the values.
  Run("SELECT * INTO t FROM a");
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x", "2|y"}));
}

TEST_F(SelectQueryTest, ResultRowsAndIndexRangesKeepNullsBlobsAndDuplicates) {
  Run("CREATE TABLE r (id INTEGER NOT NULL, v INTEGER, w INTEGER, b BLOB, PRIMARY KEY (id), INDEX vup (v), "
      "INDEX wdown (w DESC)); INSERT INTO r VALUES (1, NULL, 5, NULL), (2, 3, NULL, 'ab'), (3, 7, 2, NULL), "
      "(4, NULL, NULL, 'cd'), (5, 3, 9, NULL), (6, 5, 4, NULL)");
  using Texts = std::vector<std::string>;
  struct Case {
    const char* Sql;
    Texts Expected;
  };
  const Case cases[] = {
      // Ranges bounded on both sides keep the null keys out, in either
      // order of the bounds and on a descending index; one bound alone on
      // the null side of the index must not take them in.
      {"SELECT id, v FROM r WHERE v >= 3 AND v < 7 ORDER BY id", {"2|3", "5|3", "6|5"}},
      {"SELECT COUNT(*) FROM r WHERE v < 6 AND v > 2", {"3"}},
      {"SELECT COUNT(*) FROM r WHERE v <= 5", {"3"}},
      {"SELECT id FROM r WHERE w > 1 AND w <= 5 ORDER BY id", {"1", "3", "6"}},
      {"SELECT COUNT(*) FROM r WHERE w < 5", {"2"}},
      // Nulls and computed values in the rows; BLOB columns.
      {"SELECT id, v, w + 1 AS x FROM r WHERE id <= 2", {"1|NULL|6", "2|3|NULL"}},
      {"SELECT id, b FROM r WHERE b IS NOT NULL", {"2|ab", "4|cd"}},
      {"SELECT id, b FROM r WHERE id = 1", {"1|NULL"}},
      {"SELECT TOP 1 id, b FROM r WHERE b IS NOT NULL ORDER BY id DESC", {"4|cd"}},
      // DISTINCT over adjacent and scattered duplicates and over nulls.
      {"SELECT DISTINCT v FROM r ORDER BY v", {"NULL", "3", "5", "7"}},
      {"SELECT DISTINCT v * 0 AS z FROM r ORDER BY z", {"NULL", "0"}},
      {"SELECT DISTINCT v, w * 0 AS z FROM r ORDER BY v, z", {"NULL|NULL", "NULL|0", "3|NULL", "3|0", "5|0", "7|0"}},
      {"SELECT TOP 2 id, v FROM r ORDER BY v DESC", {"3|7", "6|5"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Select(c.Sql), c.Expected) << c.Sql;
  // INTO writes into a table of the user's.
  Run("SELECT id, v, b INTO rc FROM r WHERE v >= 3 AND v < 7");
  EXPECT_EQ(Rows("rc"), (Texts{"2|3|ab", "5|3|NULL", "6|5|NULL"}));
}

TEST_F(SelectQueryTest, OnlyALiveSingleTableResultCanBeEdited) {
  Query->RequestLive = false;
  Select("SELECT name FROM emp WHERE id = 2");
  EXPECT_FALSE(Query->CanModify());
  Query->RequestLive = true;
  EXPECT_EQ(Select("SELECT name, salary FROM emp WHERE id = 2"), std::vector<std::string>{"bob|80"});
  ASSERT_TRUE(Query->CanModify());
  Query->Edit();
  Query->FieldByName("salary")->SetAsInteger(85);
  Query->Post();
  Select("SELECT TOP 1 name FROM emp");
  EXPECT_FALSE(Query->CanModify());
  Query->Close();
  EXPECT_EQ(Rows("emp")[1], "2|bob|eng|85|1");
}

// A table leaf over emp whose dataset counts the records its cursor reads,
// with the name column selected.
struct CountingLeaf {
  explicit CountingLeaf(int32_t& reads) {
    auto table = std::make_unique<TVLMTable>();
    table->SetDatabaseName("SQLDB");
    table->SetTableName("emp");
    table->SetOnFilterRecord([&reads](qv::DataSet&, bool& accept) {
      ++reads;
      accept = true;
    });
    table->SetFiltered(true);
    Leaf = std::make_unique<TVLMAOTable>("emp", std::move(table), nullptr, "");
    std::vector<TVLMFieldRef> items(1);
    items[0].FieldName = "name";
    Leaf->SetResultFields(items, false);
  }
  std::unique_ptr<TVLMAO> Leaf;
};

TEST_F(SelectQueryTest, TopReadsNoInputRowBeyondTheRowsItKeeps) {
  struct Case {
    int64_t Start, Count;
    bool Copy;  // a table-expression operator between TOP and the table
    int32_t Rows, Reads;
  };
  const Case cases[] = {{-1, 0, false, 0, 1}, {-1, 0, true, 0, 1}, {-1, 2, false, 2, 2}, {3, 2, true, 2, 4}};
  for (const Case& c : cases) {
    int32_t reads = 0;
    CountingLeaf source(reads);
    std::unique_ptr<TVLMAO> below = std::move(source.Leaf);
    if (c.Copy) below = std::make_unique<TVLMAOTableExpr>(std::move(below));
    TVLMAOSQLTopRowCount top(std::move(below));
    top.SetRowLimit(c.Start, c.Count);
    reads = 0;
    top.Open(true, nullptr, nullptr);
    EXPECT_EQ(top.RecordCount(), c.Rows) << c.Start << "," << c.Count;
    EXPECT_EQ(reads, c.Reads) << c.Start << "," << c.Count << " copy " << c.Copy;
  }
}

TEST_F(SelectQueryTest, OutputNamesAndColumnNumbers) {
  TVLMAO op(nullptr, nullptr, "", "t");
  for (const char* name : {"A", "a", "A_1", "B", "A"}) {
    TVLMAOField field;
    field.Name = name;
    field.Source = TVLMAOFromOperand{&op, 0};
    op.Fields.push_back(std::move(field));
  }
  op.Fields[3].Hidden = 1;
  op.MakeOutputNames();
  std::vector<std::string> names;
  for (const TVLMAOField& f : op.Fields) names.push_back(f.Name);
  // A taken name grows by "_1", then by one more digit each time.
  EXPECT_EQ(names, (std::vector<std::string>{"A", "a_1", "A_1_1", "B", "A_12"}));
  // Without FieldMap entries the columns are the visible fields in order.
  EXPECT_EQ(op.GetOrderByName(3), "A_12");
  EXPECT_EQ(RaisedCode([&] { op.GetOrderByName(4); }), 20243);
  EXPECT_EQ(RaisedCode([&] { op.GetSourceFieldName(5, true); }), 10306);
  TVLMVariant value;
  EXPECT_EQ(RaisedCode([&] { op.GetFieldValue(value, 3, false, false); }), 10310);
}

TEST_F(SelectQueryTest, TheStatementLockIsNeverLeftTaken) {
  ReopenShared();
  TVLMRetrySettings& retry = VLMChangeRetrySettings();
  const TVLMRetrySettings saved = retry;
  auto restore = qv::ScopeExit([&] { retry = saved; });
  retry.StatementLockTries = 3;
  retry.StatementLockDelayMs = 1;
  retry.LeafLockDelayMs = 1;
  retry.TableOperationTries = 3;
  retry.TableOperationDelayMs = 1;

  EXPECT_EQ(Select("SELECT name FROM emp WHERE id = 1"), std::vector<std::string>{"alice"});
  Query->Close();
  storage_test::Peer peer(Folder.File("q.vlm"), "emp", "engine_sqllockpeer");
  ASSERT_EQ(peer.Greeting, "locked");
  Query->SetSQL("SELECT name FROM emp");
  EXPECT_EQ(RaisedCode([&] { Query->Open(); }), 20850);
  // The peer gets its lock back at once: no read lock of this process is
  // in its way, neither after the failure nor after a query that ran.
  EXPECT_EQ(peer.Ask("unlock"), "1");
  EXPECT_EQ(peer.Ask("lock"), "1");
  EXPECT_EQ(peer.Ask("unlock"), "1");
  EXPECT_EQ(Select("SELECT name FROM emp WHERE id = 6"), std::vector<std::string>{"frank"});
  EXPECT_EQ(peer.Ask("lock"), "1");

  // A leaf whose table is open already: its read lock is refused while the
  // peer holds the table, and refusing leaves nothing held.
  EXPECT_EQ(peer.Ask("unlock"), "1");
  int32_t reads = 0;
  CountingLeaf leaf(reads);
  EXPECT_TRUE(leaf.Leaf->LockTables());
  EXPECT_EQ(peer.Ask("lock"), "0");
  EXPECT_TRUE(leaf.Leaf->UnlockTables());
  EXPECT_EQ(peer.Ask("lock"), "1");
  EXPECT_FALSE(leaf.Leaf->LockTables());
  EXPECT_TRUE(leaf.Leaf->UnlockTables());
  EXPECT_EQ(peer.Ask("unlock"), "1");
  EXPECT_EQ(peer.Ask("lock"), "1");
}

TEST_F(SelectQueryTest, NestingEndsWithAnEngineErrorOnASmallStack) {
  // before n times, the core, after n times.
  auto nest = [](int n, const std::string& before, const std::string& core, const std::string& after) {
    std::string text;
    for (int i = 0; i < n; ++i) text += before;
    text += core;
    for (int i = 0; i < n; ++i) text += after;
    return text;
  };
  std::string unions = "SELECT id FROM emp";
  for (int i = 0; i < 17500; ++i) unions += " UNION SELECT id FROM emp";
  constexpr int kRefused = -1;
  const struct {
    std::string Sql;
    int Rows;  // or kRefused: a clear error of nesting on every stack
  } cases[] = {
      {nest(3, "SELECT id FROM emp WHERE id IN (", "SELECT id FROM emp WHERE id > 4", ")"), 2},
      {nest(3, "SELECT id FROM emp WHERE EXISTS (", "SELECT code FROM dept", ")"), 6},
      {nest(3, "SELECT * FROM (", "SELECT id FROM emp WHERE id < 3", ") d"), 2},
      {nest(3, "(", "SELECT id FROM emp", ")"), 6},
      {"SELECT id FROM emp UNION SELECT id FROM emp UNION SELECT id FROM emp", 6},
      {nest(2000, "SELECT id FROM emp WHERE id IN (", "SELECT id FROM emp", ")"), kRefused},
      {nest(2000, "SELECT id FROM emp WHERE EXISTS (", "SELECT id FROM emp", ")"), kRefused},
      {nest(5000, "SELECT * FROM (", "SELECT id FROM emp", ") d"), kRefused},
      {nest(75000, "(", "SELECT id FROM emp", ")"), kRefused},
      {"SELECT id FROM " + nest(5000, "(", "emp", ")"), kRefused},
      {unions, kRefused},
      {"SELECT id FROM emp WHERE id = " + nest(5000, "(", "1", ")"), kRefused},
  };
  // The clear errors of nesting: expressions, queries, building, opening.
  const std::vector<int32_t> nesting{30693, 20842, 20843, 20844};
  for (const bool small : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(small ? "small stack: " : "") + c.Sql.substr(0, 60));
      int32_t code = 0;
      int rows = 0;
      auto run = [&] {
        code = RaisedCode([&] { rows = static_cast<int>(FetchRows(c.Sql).size()); });
        Query->Disconnect();
      };
      if (small)
        EXPECT_EQ(qv::test::OnSmallStack(run), "");
      else
        run();
      if (c.Rows == kRefused)
        EXPECT_NE(std::find(nesting.begin(), nesting.end(), code), nesting.end()) << code;
      else
        EXPECT_EQ(code == 0 ? rows : code, c.Rows);
    }
  }
}

// A prepared SELECT and a prepared INSERT keep their table open from one
// run to the next; another connection (a second process) still writes the
// table between the runs at its first try, and each run sees what it
// wrote; a result open while it wrote gives, from First again, the rows of
// its own run.
TEST_F(SelectQueryTest, PreparedStatementsSeeAndLetOtherConnectionsWriteBetweenRuns) {
  ReopenShared();
  Query->SetSQL("SELECT name FROM emp WHERE id = :id");
  Query->Prepare();
  TVLMQuery insert;
  insert.SetDatabaseName("SQLDB");
  insert.SetSQL("INSERT INTO emp (id, name) VALUES (:id, 'ours')");
  insert.Prepare();
  auto nameOf = [&](int32_t id) {
    Query->ParamByName("id")->SetAsInteger(id);
    Query->Open();
    std::vector<std::string> rows = ReadRows();
    Query->Close();
    return rows;
  };
  auto insertOurs = [&](int32_t id) {
    insert.ParamByName("id")->SetAsInteger(id);
    insert.ExecSQL();
  };
  EXPECT_EQ(nameOf(1), std::vector<std::string>{"alice"});
  insertOurs(20);
  storage_test::Peer peer(Folder.File("q.vlm"), "", "engine_sqlpeer");
  ASSERT_EQ(peer.Greeting, "ready");
  struct Case {
    const char* PeerSql;
    int32_t Id;
    std::vector<std::string> Seen;
    bool WhileOpen = false;
  };
  const Case cases[] = {
      {"UPDATE emp SET name = 'zed' WHERE id = 1", 1, {"zed"}},
      {"INSERT INTO emp (id, name) VALUES (9, 'nine')", 9, {"nine"}},
      {"DELETE FROM emp WHERE id = 2", 2, {}},
      {"UPDATE emp SET name = 'theirs' WHERE id = 20", 20, {"theirs"}},
      {"DELETE FROM emp WHERE id = 30", 30, {}},
      {"DELETE FROM emp WHERE id = 3", 3, {}, true},
      {"INSERT INTO emp (id, name) VALUES (10, 'ten')", 10, {"ten"}, true},
      {"UPDATE emp SET name = 'ann' WHERE id = 1", 1, {"ann"}, true},
  };
  int32_t ours = 30;
  for (const Case& c : cases) {
    if (c.WhileOpen) {
      Query->ParamByName("id")->SetAsInteger(c.Id);
      Query->Open();
      const std::vector<std::string> before = ReadRows();
      EXPECT_EQ(peer.Ask(c.PeerSql), "ok 1") << c.PeerSql;
      Query->First();
      EXPECT_EQ(ReadRows(), before) << c.PeerSql;
      Query->Close();
      EXPECT_EQ(nameOf(c.Id), c.Seen) << c.PeerSql;
      continue;
    }
    EXPECT_EQ(peer.Ask(c.PeerSql), "ok 1") << c.PeerSql;
    EXPECT_EQ(nameOf(c.Id), c.Seen) << c.PeerSql;
    // Ours runs again after theirs; the next case's peer meets it.
    insertOurs(ours++);
  }
}

// Another process's transfer between two tables (a balance moved and its
// log row written, one commit) stopped at a few writes of its commit while
// this connection keeps the file: a query reading both tables sees every
// transfer wholly or not at all; a cut commit is rolled back by the query
// that meets it.
TEST_F(SelectQueryTest, AQueryOfTwoTablesNeverSeesAStoppedTransfer) {
  Run("CREATE TABLE acct (id INTEGER, bal INTEGER); CREATE TABLE xfer (id INTEGER, amount INTEGER);"
      "INSERT INTO acct (id, bal) VALUES (1, 1000)");
  const std::string read = "SELECT a.bal, x.amount FROM acct a LEFT JOIN xfer x ON x.id = a.id";
  // The balance and its log rows, 10 each, add up to 1000.
  auto whole = [](const std::vector<std::string>& rows) {
    int64_t total = rows.empty() ? 0 : std::stoll(rows[0]);
    for (const std::string& row : rows) total += row.ends_with("|NULL") ? 0 : 10;
    return total == 1000;
  };
  const std::string path = Folder.File("q.vlm");
  // A transfer by a new peer, stopped at the k-th write of its commit (0:
  // not stopped, the writes of the commit counted).
  auto transfer = [&](int64_t k) {
    storage_test::Peer peer(path, "", "engine_sqlpeer");
    for (const char* sql : {"START TRANSACTION", "UPDATE acct SET bal = bal - 10 WHERE id = 1",
                            "INSERT INTO xfer (id, amount) VALUES (1, 10)"})
      EXPECT_EQ(peer.Ask(sql).substr(0, 2), "ok") << sql;
    const int64_t before = std::stoll(peer.Ask("writes"));
    if (k > 0) {
      EXPECT_EQ(peer.Ask("stop " + std::to_string(k)), "ok");
    }
    EXPECT_EQ(peer.Ask("COMMIT"), k > 0 ? "" : "ok 0");
    const int64_t writes = k > 0 ? 0 : std::stoll(peer.Ask("writes")) - before;
    EXPECT_EQ(peer.Quit(), k > 0 ? 99 : 0);
    return writes;
  };
  ReopenShared();
  const int64_t writes = transfer(0);
  ASSERT_GT(writes, 4);
  int cuts = 0;
  for (const int64_t k : {int64_t{1}, writes / 3, writes / 2, writes - 2, writes - 1, writes}) {
    SCOPED_TRACE("stopped at write " + std::to_string(k) + " of " + std::to_string(writes));
    ReopenShared();
    EXPECT_TRUE(whole(Select(read)));
    Query->Close();
    transfer(k);
    const bool cut = storage_test::ReadBytes(path)[kVLMCommitStateOffset] == kVLMCommitWriting;
    std::vector<std::string> rows;
    EXPECT_EQ(RaisedCode([&] { rows = Select(read); }), 0);
    EXPECT_TRUE(whole(rows));
    cuts += cut ? 1 : 0;
    Query.reset();
    Database.reset();
  }
  EXPECT_GT(cuts, 0);
  ReopenShared();
  EXPECT_TRUE(whole(Select(read)));
}

// Another process commits transfers between accounts (two UPDATEs in one
// transaction each) while this one reads the accounts through one
// statement, a row at a time: each transfer takes from a row already read
// and gives to one not read yet. Every read of the result, to its end and
// again from First, gives the rows as they were when the statement ran:
// the same rows each time, summing to the total. The statement run again
// (its table kept open) reads the state of its new run.
TEST_F(SelectQueryTest, AStatementReadsOneCommittedStateWhileAnotherProcessCommits) {
  constexpr int32_t kAccounts = 2000;
  constexpr int64_t kTotal = kAccounts * 100;
  std::string insert = "INSERT INTO acct (id, bal) VALUES ";
  for (int32_t id = 1; id <= kAccounts; ++id)
    insert += (id > 1 ? ", (" : "(") + std::to_string(id) + ", 100)";
  Run("CREATE TABLE acct (id INTEGER NOT NULL, bal INTEGER, PRIMARY KEY (id))");
  Run(insert);
  ReopenShared();
  storage_test::Peer peer(Folder.File("q.vlm"), "", "engine_sqlpeer");
  ASSERT_EQ(peer.Greeting, "ready");
  auto transfer = [&](int32_t from, int32_t to) {
    const std::string amount = std::to_string(1 + from % 7);
    for (const std::string& sql : {std::string("START TRANSACTION"),
                                   "UPDATE acct SET bal = bal - " + amount + " WHERE id = " + std::to_string(from),
                                   "UPDATE acct SET bal = bal + " + amount + " WHERE id = " + std::to_string(to),
                                   std::string("COMMIT")})
      ASSERT_EQ(peer.Ask(sql).substr(0, 2), "ok") << sql;
  };
  const char* const texts[] = {
      "SELECT id, bal FROM acct",
      "SELECT * FROM acct WHERE bal >= 0",
      "SELECT id, bal FROM acct WHERE id BETWEEN 1 AND 5000 ORDER BY id",
      "SELECT bal, id FROM acct WHERE id >= :lo OR bal IS NULL",
      "SELECT TOP 5000 id, bal FROM acct",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    Query->Close();
    Query->SetSQL(text);
    if (std::string(text).find(":lo") != std::string::npos) Query->ParamByName("lo")->SetAsInteger(0);
    for (int run = 0; run < 2; ++run) {
      Query->Open();
      const int32_t idField = Query->FieldByName("id")->Index();
      const int32_t balField = Query->FieldByName("bal")->Index();
      std::vector<std::string> rows;
      int64_t sum = 0;
      for (Query->First(); !Query->Eof(); Query->Next()) {
        const int32_t id = Query->GetFields()[idField]->AsInteger();
        sum += Query->GetFields()[balField]->AsInteger();
        std::string row;
        for (int32_t i = 0; i < Query->FieldCount(); ++i) row += (i > 0 ? "|" : "") + Query->GetFields()[i]->AsString();
        rows.push_back(row);
        if (id % 100 == 1) transfer(id, kAccounts - id / 100);
      }
      EXPECT_EQ(rows.size(), static_cast<size_t>(kAccounts));
      EXPECT_EQ(sum, kTotal) << "run " << run;
      transfer(kAccounts, 1);
      Query->First();
      EXPECT_EQ(ReadRows(), rows) << "run " << run;
      Query->Close();
    }
  }
}

// A prepared query takes each run's parameter values, also when a value
// changes what the parse made of it (null, a LIKE prefix, text that is
// empty).
TEST_F(SelectQueryTest, APreparedQueryTakesEachRunsValues) {
  Query->SetSQL("SELECT id, name FROM emp WHERE name LIKE :p OR id = :id OR salary BETWEEN :lo AND :hi");
  Query->Prepare();
  struct Case {
    const char* Pattern;  // nullptr: null
    int32_t Id;           // 0: null
    int32_t Low, High;
    std::vector<std::string> Rows;
  };
  const Case cases[] = {
      {"b%", 1, 0, 0, {"1|alice", "2|bob"}},    {"b%", 3, 45, 55, {"2|bob", "3|carol", "5|erin"}},
      {"%a%", 0, 0, 0, {"1|alice", "3|carol", "4|dave", "6|frank"}},
      {nullptr, 6, 60, 70, {"3|carol", "4|dave", "6|frank"}},
      {"", 2, 0, 0, {"2|bob"}},                 {"fr%", 0, 100, 100, {"1|alice", "6|frank"}},
  };
  for (const Case& c : cases) {
    qv::Param& pattern = *Query->ParamByName("p");
    pattern.SetAsString(c.Pattern != nullptr ? c.Pattern : "");
    if (c.Pattern == nullptr) pattern.Clear();
    for (const char* name : {"id", "lo", "hi"}) {
      const int32_t value = std::string(name) == "id" ? c.Id : std::string(name) == "lo" ? c.Low : c.High;
      Query->ParamByName(name)->SetAsInteger(value);
      if (value == 0) Query->ParamByName(name)->Clear();
    }
    Query->Open();
    std::vector<std::string> rows = ReadRows();
    Query->Close();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, c.Rows) << (c.Pattern ? c.Pattern : "NULL") << " " << c.Id;
  }
}

// A prepared query and a prepared INSERT keep their table open between
// runs, but give it up to a statement or table of their own process that
// needs it alone; their next run builds anew on the changed table. A new
// text of the query finds the table the last one read, kept open as well.
// An open result is a copy of its rows: it holds no table.
TEST_F(SelectQueryTest, KeptTablesGiveWayToTheirOwnProcess) {
  TVLMQuery select;
  select.SetDatabaseName("SQLDB");
  select.SetSQL("SELECT name FROM emp WHERE id = :id");
  TVLMQuery insert;
  insert.SetDatabaseName("SQLDB");
  insert.SetSQL("INSERT INTO emp (id, name) VALUES (:id, 'new')");
  int32_t added = 100;
  bool flip = false;
  auto runBoth = [&](int32_t id) {
    flip = !flip;
    select.SetSQL(flip ? "SELECT name FROM emp WHERE :id = id" : "SELECT name FROM emp WHERE id = :id");
    select.ParamByName("id")->SetAsInteger(id);
    select.Open();
    std::vector<std::string> rows;
    for (select.First(); !select.Eof(); select.Next()) rows.push_back(select.FieldByName("name")->AsString());
    select.Close();
    insert.ParamByName("id")->SetAsInteger(added++);
    insert.ExecSQL();
    return rows;
  };
  const char* const statements[] = {
      "CREATE INDEX empname ON emp (name)", "ALTER TABLE emp ADD (z INTEGER)", "DROP INDEX emp.empname",
      "ALTER TABLE emp RENAME COLUMN z TO zz", "TRUNCATE TABLE dept",
  };
  for (const char* sql : statements) {
    EXPECT_EQ(runBoth(2), std::vector<std::string>{"bob"}) << sql;
    EXPECT_NO_THROW(Run(sql)) << sql;
  }
  EXPECT_EQ(runBoth(added - 1), std::vector<std::string>{"new"});
  TVLMTable exclusive;
  exclusive.SetDatabaseName("SQLDB");
  exclusive.SetTableName("emp");
  exclusive.Exclusive = true;
  EXPECT_NO_THROW(exclusive.Open());
  exclusive.Close();
  EXPECT_EQ(runBoth(1), std::vector<std::string>{"alice"});
  // The database's close shuts the kept tables; the next text opens anew.
  Database->SetConnected(false);
  Database->SetConnected(true);
  EXPECT_EQ(runBoth(1), std::vector<std::string>{"alice"});
  select.ParamByName("id")->SetAsInteger(1);
  select.Open();
  EXPECT_EQ(RaisedCode([&] { Run("DROP TABLE emp"); }), 0);
  select.First();
  EXPECT_EQ(select.FieldByName("name")->AsString(), "alice");
  select.Close();
  EXPECT_EQ(RaisedCode([&] { select.Open(); }), 10303);
  EXPECT_EQ(RaisedCode([&] { insert.ExecSQL(); }), 30396);
}

// A connection reads a table as the file has it after another connection
// changed its definition or indexes: another process (the shell, one
// process per statement) or another database component of this process,
// between this one's statements, also after this one read the table
// through the database component it keeps. A table made anew, rebuilt or
// emptied counts its changes from 0 again, so that what this connection
// cached of it must not pass for current on an equal count.
TEST_F(SelectQueryTest, AnotherConnectionsDefinitionChangesAreSeen) {
  ReopenShared();
  TVLMDatabase component;
  component.SetDatabaseName("OTHERDB");
  component.SetDatabaseFileName(Folder.File("q.vlm"));
  component.MultiUser = true;
  component.SilentMode = true;
  TVLMQuery theirQuery;
  theirQuery.SetDatabaseName("OTHERDB");
  auto answer = [&](const std::string& sql) {
    std::vector<std::string> rows;
    try {
      rows = Select(sql);
    } catch (const EVLMException& e) {
      rows = {"error " + std::to_string(e.NativeError)};
    }
    Query->Close();
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  struct Check {
    const char* Sql;
    std::vector<std::string> Rows;
  };
  struct Case {
    const char* Ours;  // after the table is made
    std::vector<const char*> Theirs;
    std::vector<Check> Checks;
  };
  const std::vector<std::string> all = {"1|10|a|100", "2|20|b|200", "3|30|c|300", "4|40|d|400"};
  const Case cases[] = {
      {"",
       {"CREATE INDEX ix1 ON tb (id DESC)", "ALTER TABLE tb ADD (e7 INTEGER)", "ALTER TABLE tb ADD (e8 INTEGER)"},
       {{"SELECT id, d, e8 FROM tb WHERE id >= 3", {"3|300|NULL", "4|400|NULL"}},
        {"SELECT * FROM tb", {"1|10|a|100|NULL|NULL", "2|20|b|200|NULL|NULL", "3|30|c|300|NULL|NULL",
                              "4|40|d|400|NULL|NULL"}}}},
      {"CREATE INDEX ixk ON tb (k)",
       {"DROP INDEX tb.ixk", "CREATE INDEX ixw ON tb (w DESC)", "INSERT INTO tb VALUES (5, 5, 'e', 5)"},
       {{"SELECT id FROM tb WHERE k >= 20", {"2", "3", "4"}}, {"SELECT id FROM tb WHERE w > 'c'", {"4", "5"}}}},
      {"CREATE INDEX ixk ON tb (k)",
       {"ALTER TABLE tb DROP d"},
       {{"SELECT * FROM tb WHERE id > 2", {"3|30|c", "4|40|d"}}, {"SELECT d FROM tb", {"error 10305"}}}},
      {"",
       {"DROP TABLE tb", "CREATE TABLE tb (id INTEGER, z VARCHAR(5))", "INSERT INTO tb VALUES (9, 'n')"},
       {{"SELECT * FROM tb", {"9|n"}}, {"SELECT z FROM tb WHERE id >= 3", {"n"}}}},
      {"CREATE INDEX ixk ON tb (k)",
       {"TRUNCATE TABLE tb", "INSERT INTO tb VALUES (5, 50, 'e', 500), (6, 60, 'f', 600), (7, 70, 'g', 700), "
                             "(8, 80, 'h', 800)"},
       {{"SELECT * FROM tb", {"5|50|e|500", "6|60|f|600", "7|70|g|700", "8|80|h|800"}},
        {"SELECT id FROM tb WHERE k <= 60", {"5", "6"}}}},
  };
  for (const bool shell : {true, false}) {
    for (const bool readFirst : {false, true}) {
      for (const Case& c : cases) {
        const std::string where = std::string(shell ? "shell" : "component") + (readFirst ? ", read first: " : ": ") +
                                  c.Theirs.front();
        Run("CREATE TABLE tb (id INTEGER, k INTEGER, w VARCHAR(5), d INTEGER); "
            "INSERT INTO tb VALUES (1, 10, 'a', 100), (2, 20, 'b', 200), (3, 30, 'c', 300), (4, 40, 'd', 400)");
        if (*c.Ours != '\0') Run(c.Ours);
        if (readFirst) {
          EXPECT_EQ(answer("SELECT * FROM tb"), all) << where;
          EXPECT_EQ(answer("SELECT * FROM tb WHERE id >= 3 AND k > 0 AND w > '' AND d > 0").size(), 2u) << where;
        }
        Query->Disconnect();
        for (const char* sql : c.Theirs) {
          if (shell) {
            EXPECT_EQ(sql_test::RunShell(Folder.File("q.vlm"), sql).Err, "") << where << " / " << sql;
          } else {
            theirQuery.SetSQL(sql);
            EXPECT_NO_THROW(theirQuery.ExecSQL()) << where << " / " << sql;
          }
        }
        theirQuery.Disconnect();
        for (const Check& check : c.Checks) EXPECT_EQ(answer(check.Sql), check.Rows) << where << " / " << check.Sql;
        Run("DROP TABLE tb");
      }
    }
  }
}

// The first open of a table reads its definitions under the table lock it
// takes: an index that another connection (another handle of the file)
// added while it had the table alone and this open waited for the lock is
// the opener's as well, so its writes keep the index whole.
TEST_F(SelectQueryTest, AnOpenThatWaitedForTheTableReadsTheDefinitionsAfterTheWait) {
  ReopenShared();
  auto* session = new TVLMSession();  // the runtime frees it
  session->SetSessionName("Other");
  TVLMDatabase other;
  other.SetSessionName("Other");
  other.SetDatabaseName("OTHERDB");
  other.SetDatabaseFileName(Folder.File("q.vlm"));
  other.MultiUser = true;
  other.SilentMode = true;
  TVLMTable theirs;
  theirs.SetSessionName("Other");
  theirs.SetDatabaseName("OTHERDB");
  theirs.SetTableName("emp");
  theirs.Exclusive = true;
  theirs.Open();
  const TVLMRetrySettings saved = VLMRetrySettings();
  VLMChangeRetrySettings().TableOpenTries = 3;
  VLMChangeRetrySettings().TableOpenDelayMs = 1;
  bool added = false;
  qv::SetSleeper([&](uint32_t) {
    if (added) return;
    added = true;
    theirs.AddIndex("byname", "name", {});
    theirs.Close();
  });
  auto restore = qv::ScopeExit([&] {
    qv::SetSleeper(nullptr);
    VLMChangeRetrySettings() = saved;
  });
  TVLMTable ours;
  ours.SetDatabaseName("SQLDB");
  ours.SetTableName("emp");
  ours.Open();
  EXPECT_TRUE(added);
  ours.Append();
  ours.FieldByName("id")->SetAsInteger(7);
  ours.FieldByName("name")->SetAsString("gina");
  ours.Post();
  ours.Close();
  EXPECT_EQ(Rows("emp", "byname").size(), 7u);
  EXPECT_EQ(Select("SELECT id FROM emp WHERE name = 'gina'"), std::vector<std::string>{"7"});
}

}  // namespace
