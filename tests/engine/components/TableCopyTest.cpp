// Copying a table into its own database, another database file (with a
// password) and the memory database, with its refusals raised or logged;
// importing a table from a dataset of another kind. The copies, imports
// and repairs of disk tables commit in batches, all or nothing: counted
// flushes, a full disk at each write, a process stopped at each write,
// another connection reading meanwhile, and the copies cut short that the
// next connect undoes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"
#include "tests/support/MemDataSet.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/components/LogFileSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

namespace {

using logfile_test::Expected;
using logfile_test::kLogTable;
using logfile_test::Rows;
using logfile_test::RowsOf;
using qv::test::RaisedCode;

class TableCopyTest : public ::testing::Test {
protected:
  // Log on log.vlm with QsoLog (rows 1 and 3: row 2 deleted) and Other (one
  // row); other.vlm with a password and a QsoLog of one row.
  void SetUp() override {
    Own = logfile_test::Database(Dir.File("log.vlm"));
    logfile_test::MakeLog("Log", 3);
    logfile_test::MakeLog("Log", 1, "Other");
    auto log = logfile_test::Table("Log");
    log->Open();
    ASSERT_TRUE(log->Locate("ID", qv::HostVariant(2), 0));
    log->Delete();
    Other = logfile_test::Database(Dir.File("other.vlm"), "Other", "secret", 3);
    logfile_test::MakeLog("Other", 1);
    Other->DoDisconnect();
  }

  qv::test::ScratchFolder Dir;
  local_test::RuntimeScope Runtime;
  std::unique_ptr<TVLMDatabase> Own;
  std::unique_ptr<TVLMDatabase> Other;
};

TEST_F(TableCopyTest, RefusalsRaiseOrGoToTheLogAndLeaveBothTablesAsTheyWere) {
  const std::string ownFile = Dir.File("log.vlm");
  const std::string otherFile = Dir.File("other.vlm");
  const std::string missing = Dir.File("missing.vlm");
  struct Row {
    const char* name;
    std::string destFile;
    std::string newName;
    std::string password;
    bool inTransaction;
    bool overwrite;
    int32_t code;  // 0: an error of another kind
    std::string text;
  };
  const Row rows[] = {
      {"into itself", "", kLogTable, "", false, true, 30447, "Cannot copy table 'Log.QsoLog' into it self"},
      {"into itself through its file's name", ownFile, "qsolog", "", false, true, 30447,
       "Cannot copy table '" + ownFile + ".QsoLog' into it self"},
      {"onto a table of its database", "", "Other", "", false, false, 30448, "Table 'Log.Other' already exists"},
      {"onto a table of another file", otherFile, kLogTable, "secret", false, false, 30448,
       "Table '" + otherFile + ".QsoLog' already exists"},
      {"onto a memory table", "MEMORY", "MemLog", "", false, false, 10515, "Table 'MEMORY.MemLog' already exists"},
      {"inside a transaction", "", "Copy", "", true, false, 30450,
       "Create table 'Log.QsoLog' error: 'Cannot perform 'CreateTable' operation on a database in transaction - "
       "Native error: 20182'"},
      {"into a file that does not exist", missing, "Copy", "", false, false, 0,
       "Database file '" + missing + "' does not exist"},
  };
  logfile_test::MakeLog("MEMORY", 1, "MemLog");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool ignoreErrors : {false, true}) {
      auto table = logfile_test::Table("Log");
      if (row.inTransaction) Own->StartTransaction();
      std::string log = "before\r\n";
      bool cont = true;
      bool copied = true;
      const int32_t code = RaisedCode([&] {
        try {
          copied = table->CopyTable(row.newName, log, cont, row.destFile, row.password, ignoreErrors, row.overwrite);
        } catch (const qv::EDatabaseError& e) {
          EXPECT_EQ(row.code, 0);
          EXPECT_NE(std::string(e.what()).find(row.text), std::string::npos) << e.what();
        }
      });
      if (row.inTransaction) Own->Rollback();
      EXPECT_EQ(code, ignoreErrors ? 0 : row.code);
      if (ignoreErrors) {
        EXPECT_FALSE(copied);
        EXPECT_NE(log.find(row.text), std::string::npos) << log;
      } else {
        EXPECT_EQ(log, "before\r\n");
      }
      EXPECT_FALSE(table->Active());
      EXPECT_EQ(RowsOf("Log"), Expected({1, 3}));
      EXPECT_EQ(RowsOf("Log", "Other"), Expected({1}));
      EXPECT_EQ(RowsOf("MEMORY", "MemLog"), Expected({1}));
      EXPECT_FALSE(logfile_test::Table("Log", "Copy")->Exists());
    }
  }
}

TEST_F(TableCopyTest, ACopyHoldsEveryRowAndIndexAndTheTableKeepsItsPlace) {
  const std::string otherFile = Dir.File("other.vlm");
  struct Row {
    const char* name;
    std::string destFile;
    std::string password;
    std::string readAs;  // the database to read the copy through
    std::string newName;
    bool overwrite;
    bool copyIndexes;
  };
  const Row rows[] = {
      {"into its own database", "", "", "Log", "Copy", false, true},
      {"over a table of its own database", "", "", "Log", "Other", true, true},
      {"into another file with a password", otherFile, "secret", "Other", "Copy", false, true},
      {"over a table of another file", otherFile, "secret", "Other", kLogTable, true, false},
      {"into the memory database", "MEMORY", "", "MEMORY", "Copy", false, true},
      {"under a name that leaves no room for its steps' names", "", "", "Log", std::string(240, 'L'), false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto table = logfile_test::Table("Log");
    table->Open();
    table->Last();
    std::vector<std::string> events;
    table->BeforeCopy = [&](TVLMTable&) { events.push_back("before"); };
    table->OnCopyProgress = [&](TVLMTable&, int32_t percent, bool&) { events.push_back(std::to_string(percent)); };
    table->AfterCopy = [&](TVLMTable&) { events.push_back("after"); };
    std::string log;
    bool cont = true;
    EXPECT_TRUE(
        table->CopyTable(row.newName, log, cont, row.destFile, row.password, false, row.overwrite, row.copyIndexes,
                         20, 40));
    EXPECT_EQ(log, "");
    EXPECT_EQ(events, (std::vector<std::string>{"before", "30", "40", "after"}));
    // Still open, on the record it was on.
    ASSERT_TRUE(table->Active());
    EXPECT_EQ(table->FieldByName("ID")->AsInteger(), 3);
    table->Close();

    auto copy = logfile_test::Table(row.readAs, row.newName);
    copy->Open();
    EXPECT_EQ(Rows(*copy), Expected({1, 3}));
    copy->GetIndexDefs().Update();
    EXPECT_EQ(copy->GetIndexDefs().IndexOf("ByCall") >= 0, row.copyIndexes);
    copy->Close();
    if (!row.password.empty()) {
      // The file opens with its password only.
      Other->DoDisconnect();
      Other->Password = "wrong";
      EXPECT_EQ(RaisedCode([&] { Other->DoConnect(); }), 30445);
      Other->Password = row.password;
      Other->DoDisconnect();
    }
    if (row.readAs != "Log") logfile_test::Table(row.readAs, row.newName)->DeleteTable();
  }
}

TEST_F(TableCopyTest, ImportTakesTheStructureAndEveryRowOfAnyDataSet) {
  qv::MemTable source;
  source.GetFieldDefs().Add("ID", qv::ftInteger);
  source.GetFieldDefs().Add("Call", qv::ftString, 10);
  source.GetFieldDefs().Add("Notes", qv::ftMemo);
  qv::MemDataSet sourceSet;
  sourceSet.SetTable(&source);
  sourceSet.Open();
  for (int id : {1, 3}) {
    sourceSet.Append();
    sourceSet.FieldByName("ID")->SetAsInteger(id);
    sourceSet.FieldByName("Call")->SetAsString("C" + std::to_string(id));
    sourceSet.FieldByName("Notes")->SetAsString("note " + std::to_string(id));
    sourceSet.Post();
  }
  qv::IndexDefs indexes;
  indexes.Add("", "ID", qv::ixPrimary | qv::ixUnique);
  indexes.Add("ByCall", "Call", 0);
  indexes.Add("Odd", "", 0);
  struct Row {
    const char* name;
    qv::DataSet* source;
    const qv::IndexDefs* indexes;
    bool inTransaction;
    int32_t code;
    std::string log;
    std::vector<std::string> indexNames;
  };
  auto engineSource = logfile_test::Table("Log");
  engineSource->Open();
  const Row rows[] = {
      {"a memory dataset with its indexes", &sourceSet, &indexes, false, 0,
       "Cannot import index 'Odd'. Index type is not supported, index skipped\r\n", {"idxPrimaryKey", "ByCall"}},
      {"a memory dataset without indexes", &sourceSet, nullptr, false, 0, "", {}},
      {"a table of the engine", engineSource.get(), nullptr, false, 0, "", {"PK", "ByCall"}},
      {"inside a transaction", &sourceSet, nullptr, true, 20182, "", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto table = logfile_test::Table("Log", "Imported");
    if (row.inTransaction) Own->StartTransaction();
    std::string log;
    bool imported = false;
    EXPECT_EQ(RaisedCode([&] { imported = table->ImportTable(*row.source, log, row.indexes); }), row.code);
    if (row.inTransaction) Own->Rollback();
    EXPECT_EQ(log, row.log);
    if (row.code != 0) {
      EXPECT_FALSE(table->Exists());
      continue;
    }
    EXPECT_EQ(imported, row.log.empty());
    EXPECT_FALSE(table->Active());
    EXPECT_EQ(RowsOf("Log", "Imported"), Expected({1, 3}));
    table->GetIndexDefs().Update();
    std::vector<std::string> names;
    for (int32_t i = 0; i < table->GetIndexDefs().Count(); ++i) names.push_back(table->GetIndexDefs()[i]->Name());
    EXPECT_EQ(names, row.indexNames);
    table->DeleteTable();
  }
  // A record the new table refuses (its key twice): all or nothing, so no
  // table is left, and the log names the record.
  sourceSet.Append();
  sourceSet.FieldByName("ID")->SetAsInteger(1);
  sourceSet.Post();
  auto table = logfile_test::Table("Log", "Imported");
  std::string log;
  EXPECT_FALSE(table->ImportTable(sourceSet, log, &indexes));
  EXPECT_NE(log.find("Record #3 was not imported due to error: Velmoran Engine Error # -8 Primary Key"),
            std::string::npos)
      << log;
  EXPECT_FALSE(table->Exists());
}

// ------------------------------------------------------ batched copies

// The operations of logfile_test::RunWholeTableOperation on a log of Rows
// rows (QsoLog, with Other of two rows beside it) in batches of kCopyBatch
// bytes: what they leave, read through new connections, and another process
// at work on the file after them.
class WholeTableCopyTest : public ::testing::Test {
protected:
  static constexpr const char* kOperations[] = {"copy", "over", "file", "import", "importover", "repair"};

  void SetUp() override { VLMChangeRetrySettings().CopyBatchBytes = logfile_test::kCopyBatch; }
  void TearDown() override {
    Database.reset();
    VLMChangeRetrySettings() = Saved;
  }
  // The base file of rows rows (posted in one transaction) and its other file.
  void MakeBase(int rows) {
    for (int id = 1; id <= rows; ++id) Ids.push_back(id);
    auto maker = logfile_test::Database(Base, "Maker");
    logfile_test::MakeLog("Maker", 0);
    auto log = logfile_test::Table("Maker");
    log->Open();
    maker->StartTransaction();
    logfile_test::AddRows(*log, rows);
    maker->Commit(false);
    log->Close();
    logfile_test::MakeLog("Maker", 2, "Other");
    logfile_test::Database(logfile_test::OtherFile(Base), "MakerOther");
  }
  // Work and its other file as the base has them; Database on work.
  void Reset() {
    Database.reset();
    for (const std::string& file : {Work, logfile_test::OtherFile(Work)}) qv::DeleteFile(VLMJournalFileName(file));
    ASSERT_TRUE(qv::CopyFile(Base, Work, false));
    ASSERT_TRUE(qv::CopyFile(logfile_test::OtherFile(Base), logfile_test::OtherFile(Work), false));
    Database = logfile_test::Database(Work);
  }
  static std::vector<std::string> TableNames(TVLMDatabase& database) {
    qv::StringList list;
    database.GetTableNames(list);
    std::vector<std::string> names;
    for (int32_t i = 0; i < list.Count(); ++i) names.push_back(list[i]);
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string TargetOf(const std::string& op) {
    return op == "copy" ? "Copy" : op == "import" ? "Imported" : op == "file" || op == "repair" ? "QsoLog" : "Other";
  }
  // "" when, read through new connections (whose connect undoes a copy cut
  // short), the source is whole, the target of op is as it was or the
  // whole copy (whole: a repair's always) and no other table is there.
  std::string Outcome(const std::string& op, bool& whole) {
    const bool replaces = op == "over" || op == "importover";
    const std::vector<std::string> source = logfile_test::Expected(Ids), two = logfile_test::Expected({1, 2});
    auto check = logfile_test::Database(Work, "Check");
    auto checkOther = logfile_test::Database(logfile_test::OtherFile(Work), "CheckOther");
    const std::string database = op == "file" ? "CheckOther" : "Check";
    std::vector<std::string> target, names = {"Other", "QsoLog"}, otherNames;
    if (logfile_test::Table(database, TargetOf(op))->Exists()) target = logfile_test::RowsOf(database, TargetOf(op));
    whole = target == source;
    if (whole && (op == "copy" || op == "import")) names.push_back(TargetOf(op));
    if (whole && op == "file") otherNames.push_back("QsoLog");
    std::sort(names.begin(), names.end());
    if (logfile_test::RowsOf("Check") != source) return "the source changed";
    if (!whole && target != (replaces ? two : std::vector<std::string>{}))
      return "the target holds " + std::to_string(target.size()) + " rows";
    if (!replaces && logfile_test::RowsOf("Check", "Other") != two) return "table Other changed";
    if (TableNames(*check) != names || TableNames(*checkOther) != otherNames) return "a table left beside";
    return "";
  }
  // "" when another process reads the tables of the file op wrote, writes
  // and runs DDL on it; else what it answered.
  std::string PeerFault(const std::string& op, bool whole) {
    storage_test::Peer peer(op == "file" ? logfile_test::OtherFile(Work) : Work, "", "engine_sqlpeer");
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"CREATE TABLE PeerTable (A INTEGER)", "ok 0"},
        {"INSERT INTO PeerTable VALUES (7)", "ok 1"},
        {"SELECT SUM(A) FROM PeerTable", "7"},
        {"DROP TABLE PeerTable", "ok 0"},
        {op == "file" ? "" : "INSERT INTO QsoLog (Call) VALUES ('PEER')", "ok 1"},
        {whole ? "SELECT COUNT(*) FROM " + TargetOf(op) : "", std::to_string(Ids.size() + (op == "repair"))}};
    for (const auto& [sql, answer] : steps)
      if (const std::string got = sql.empty() ? answer : peer.Ask(sql); got != answer) return sql + ": " + got;
    return "";
  }

  TVLMRetrySettings Saved = VLMRetrySettings();
  qv::test::ScratchFolder Dir;
  local_test::RuntimeScope Runtime;
  std::string Base = Dir.File("base.vlm"), Work = Dir.File("work.vlm");
  std::vector<int> Ids;
  std::unique_ptr<TVLMDatabase> Database;
};

// A copy, import and repair of 10,000 rows (100,000, and every operation,
// in a long run by hand) in batches of 256 KB flush a few times per batch,
// not per row (20,000 flushes before): each batch is one commit of two
// flushes, and the steps around the fill take a few commits more.
TEST_F(WholeTableCopyTest, FlushesAreCountedPerBatchNotPerRow) {
  VLMChangeRetrySettings().CopyBatchBytes = 256 * 1024;
  const bool longRun = qv::test::LongRunRequested();
  const int rows = longRun ? 100000 : 10000;
  MakeBase(rows);
  for (const std::string op : kOperations) {
    if (!longRun && op != "copy" && op != "import" && op != "repair") continue;
    SCOPED_TRACE(op);
    Reset();
    const int64_t before = qv::FileSyncCount();
    std::string log;
    ASSERT_TRUE(logfile_test::RunWholeTableOperation(op, *Database, log)) << log;
    const int64_t syncs = qv::FileSyncCount() - before;
    EXPECT_LE(syncs, rows / 250);
    EXPECT_GE(syncs, 4);
    Database.reset();
    auto check = logfile_test::Database(op == "file" ? logfile_test::OtherFile(Work) : Work, "Check");
    auto target = logfile_test::Table("Check", TargetOf(op));
    target->Open();
    EXPECT_EQ(target->RecordCount(), rows);
  }
}

// A disk that refuses every write from the k-th on (for good, or for two
// writes; in single-user mode, and every other run shared, whose maps are
// written at once) and a process stopped before its k-th write, at each
// write of each operation (as far as the budget goes, in an order shuffled
// once): the source stays whole, the target is as it was or the whole copy
// (the whole copy when the operation said it succeeded), and another
// process reads, writes and runs DDL on the file.
TEST_F(WholeTableCopyTest, AFullDiskOrAStopAtEachWriteLeavesSourceAndTargetWholeOrAsTheyWere) {
  // First every write of the repair of a file of one small table, on a
  // disk that refuses two writes: the table is whole whether it failed.
  const std::string small = Dir.File("small.vlm");
  logfile_test::MakeLog(logfile_test::Database(small, "Small")->DatabaseName(), 2, "Other");
  for (int64_t k = 1, writes = INT64_MAX; k <= writes; ++k) {
    Database.reset();
    ASSERT_TRUE(qv::CopyFile(small, Work, false));
    Database = logfile_test::Database(Work);
    const int64_t before = qv::FileWriteCount();
    std::string log;
    qv::SetFileFaultAfter(writes == INT64_MAX ? 0 : k, qv::FileFault::FailTwice);
    try {
      Database->RepairDatabase(log);
    } catch (const std::exception& e) {
      log += e.what();
    }
    qv::SetFileFaultAfter(0, qv::FileFault::FailTwice);
    if (writes == INT64_MAX) writes = qv::FileWriteCount() - before, k = 0;
    EXPECT_EQ(logfile_test::RowsOf("Log", "Other").size(), 2u) << "write " << k << ": " << log;
  }
  MakeBase(120);
  enum class Fault { FullDisk, TwoWrites, Stop };
  struct Point {
    std::string Op;
    int64_t K;
    Fault F;
  };
  // Each growth of a file that a post meets comes first, on a disk full for
  // a moment; then every other point, shuffled.
  std::vector<Point> growths, points;
  for (const char* op : kOperations) {
    // The writes of the operation run whole, here and in a process of its own.
    Reset();
    const int64_t before = qv::FileWriteCount();
    std::string log;
    qv::RecordFileOperations(true);
    ASSERT_TRUE(logfile_test::RunWholeTableOperation(op, *Database, log)) << op << ": " << log;
    const int64_t writes = qv::FileWriteCount() - before;
    int64_t k = 0;
    for (const qv::FileOperationRecord& record : qv::RecordedFileOperations()) {
      if (record.Operation == qv::FileOperation::Create || record.Operation == qv::FileOperation::SyncFolder ||
          record.Operation == qv::FileOperation::Delete)
        continue;
      ++k;
      if (record.Operation == qv::FileOperation::Truncate) growths.push_back({op, k, Fault::TwoWrites});
    }
    qv::RecordFileOperations(false);
    Reset();
    Database.reset();
    ASSERT_EQ(storage_test::RunHelper("engine_repaircrash", {Work, op, "0"}), 0) << op;
    int64_t stops = 0;
    std::ifstream(Work + ".count") >> stops;
    for (k = 1; k <= std::max(writes, stops); ++k)
      for (const Fault f : {Fault::FullDisk, Fault::TwoWrites, Fault::Stop})
        if (k <= (f == Fault::Stop ? stops : writes)) points.push_back({op, k, f});
  }
  std::shuffle(points.begin(), points.end(), std::mt19937(20261208));
  points.insert(points.begin(), growths.begin(), growths.end());
  int failed = 0;
  auto budget = qv::test::TestBudget::Steps(points.size(), 25);
  for (uint64_t i = 0; i < points.size() && budget.Continue(i); ++i) {
    const Point& p = points[i];
    const std::string what = p.Op + (p.F == Fault::Stop ? " stopped before" : " on a full disk from") + " write " +
                             std::to_string(p.K) + (p.F == Fault::TwoWrites ? " for two writes" : "");
    Reset();
    Database->MultiUser = i % 2 == 1;
    std::string log;
    bool done = false;
    if (p.F == Fault::Stop) {
      Database.reset();
      ASSERT_EQ(storage_test::RunHelper("engine_repaircrash", {Work, p.Op, std::to_string(p.K)}), 99) << what;
    } else {
      const qv::FileFault mode = p.F == Fault::FullDisk ? qv::FileFault::FailFrom : qv::FileFault::FailTwice;
      qv::SetFileFaultAfter(p.K, mode);
      try {
        done = logfile_test::RunWholeTableOperation(p.Op, *Database, log);
      } catch (const std::exception& e) {
        log += e.what();
      }
      qv::SetFileFaultAfter(0, mode);
      Database.reset();
    }
    failed += done ? 0 : 1;
    bool whole = false;
    ASSERT_EQ(Outcome(p.Op, whole), "") << what << ": " << log;
    EXPECT_TRUE(whole || !done) << what << ": succeeded with the target as it was";
    ASSERT_EQ(PeerFault(p.Op, whole), "") << what;
  }
  EXPECT_GT(failed, 0);
}

// Another connection sees the table of the name as it was (or none) while
// the copy fills in batches, and the whole copy once it took the name; a
// table it makes meanwhile, or holds open, keeps the copy from taking its
// place: the copy fails and the table stays as it was.
TEST_F(WholeTableCopyTest, AnotherConnectionSeesTheTableAsItWasUntilTheWholeCopyTakesItsPlace) {
  MakeBase(120);
  for (const bool import : {false, true}) {
    const std::string target = import ? "Imported" : "Other", count = "SELECT COUNT(*) FROM " + target;
    SCOPED_TRACE(target);
    Reset();
    Database->MultiUser = true;
    storage_test::Peer peer(Work, "", "engine_sqlpeer");
    std::vector<std::string> seen;
    const auto watch = [&](TVLMTable&, int32_t, bool&) { seen.push_back(peer.Ask(count)); };
    auto source = logfile_test::Table("Log");
    auto into = logfile_test::Table("Log", target);
    std::string log;
    bool cont = true;
    source->OnCopyProgress = into->OnImportProgress = watch;
    source->Open();
    ASSERT_TRUE(import ? into->ImportTable(*source, log) : source->CopyTable(target, log, cont, "", "", false, true))
        << log;
    ASSERT_GT(seen.size(), 2u);
    EXPECT_EQ(seen, std::vector<std::string>(seen.size(), import ? "error 10303" : "2"));
    EXPECT_EQ(peer.Ask(count), "120");
  }
  // A copy not asked to overwrite leaves alone a table of its name that
  // another connection made meanwhile.
  Reset();
  Database->MultiUser = true;
  storage_test::Peer maker(Work, "", "engine_sqlpeer");
  auto source = logfile_test::Table("Log");
  bool made = false;
  source->OnCopyProgress = [&](TVLMTable&, int32_t, bool&) {
    made = made || maker.Ask("CREATE TABLE Fresh (A INTEGER)") == "ok 0";
  };
  std::string log;
  bool cont = true;
  EXPECT_EQ(qv::test::RaisedCode([&] { source->CopyTable("Fresh", log, cont); }), 30451);
  EXPECT_TRUE(made);
  EXPECT_EQ(maker.Ask("SELECT COUNT(*) FROM Fresh"), "0");
  Reset();
  Database->MultiUser = true;
  storage_test::FastRetries fast;
  auto held = logfile_test::Table("Log", "V5LogTabl");  // the table the peer opens first
  held->GetFieldDefs().Add("Call", qv::ftString, 10);
  held->GetFieldDefs().Add("Name", qv::ftString, 30);
  held->GetIndexDefs().Add("CallIndex", "Call", 0);
  held->CreateTable();
  storage_test::Peer holder(Work, "multi", "engine_tablepeer");
  ASSERT_EQ(holder.Ask("hold Other"), "ok");
  for (const char* op : {"over", "importover"}) {
    SCOPED_TRACE(op);
    std::string log;
    EXPECT_NE(qv::test::RaisedCode([&] { EXPECT_FALSE(logfile_test::RunWholeTableOperation(op, *Database, log)); }),
              0);
    EXPECT_EQ(logfile_test::RowsOf("Log", "Other"), logfile_test::Expected({1, 2}));
    EXPECT_EQ(TableNames(*Database), (std::vector<std::string>{"Other", "QsoLog", "V5LogTabl"}));
  }
}

// The next connect that may write undoes a copy cut short by the step its
// tables show, and leaves alone what no rule covers.
TEST_F(WholeTableCopyTest, TheNextConnectUndoesACopyCutShort) {
  const std::string g = "_{00000000-0000-4000-8000-000000000001}", h = "_{00000000-0000-4000-8000-000000000002}";
  using Tables = std::vector<std::pair<std::string, size_t>>;
  const std::tuple<const char*, Tables, Tables> cases[] = {
      {"cut during the fill of a new table", {{"COPY_T" + g, 2}}, {}},
      {"cut during the fill over a table", {{"COPY_T" + g, 2}, {"COPY_T" + h, 1}, {"T", 3}}, {{"T", 3}}},
      {"cut with the table set aside", {{"COPY_T" + g, 4}, {"PREV_T" + g, 3}}, {{"T", 3}}},
      {"cut before the table set aside was dropped", {{"PREV_T" + g, 3}, {"T", 4}}, {{"T", 4}}},
      {"a table set aside alone", {{"PREV_T" + g, 3}}, {{"T", 3}}},
      {"two tables set aside", {{"PREV_T" + g, 1}, {"PREV_T" + h, 2}}, {{"PREV_T" + g, 1}, {"PREV_T" + h, 2}}},
      {"a table made while the copy's own was set aside", {{"COPY_T" + g, 1}, {"PREV_T" + g, 2}, {"T", 3}},
       {{"COPY_T" + g, 1}, {"PREV_T" + g, 2}, {"T", 3}}},
      {"names of no copy", {{"COPY_T", 1}, {"PREV_T_{x}", 2}}, {{"COPY_T", 1}, {"PREV_T_{x}", 2}}},
  };
  for (const auto& [what, before, after] : cases) {
    SCOPED_TRACE(what);
    Database.reset();
    qv::DeleteFile(Work);
    Database = logfile_test::Database(Work);
    for (const auto& [name, rows] : before) logfile_test::MakeLog("Log", static_cast<int>(rows), name);
    Database->SetConnected(false);
    Tables now;
    for (const std::string& name : TableNames(*Database))
      now.emplace_back(name, logfile_test::RowsOf("Log", name).size());
    EXPECT_EQ(now, after);
  }
}

}  // namespace
