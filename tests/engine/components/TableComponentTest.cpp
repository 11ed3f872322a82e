// The table component on database files: a log table made, filled, searched,
// edited and reopened as the logging program uses it; key violations and
// transactions; attaching to the database; index choice; master and detail;
// the structural operations and their refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/HostVariant.h"
#include "engine/components/VLMEngineUi.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/System.h"
#include "tests/engine/components/DataSetTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

namespace {

using dataset_test::Column;
using qv::test::MessageOf;
using qv::test::RaisedCode;
using qv::VarArrayOf;

// The log's names, as the program's log layout has them.
constexpr const char* kLogTable = "V5LogTabl";
constexpr const char* kPrimeIndex = "PrimeIndex";

struct Contact {
  const char* Call;
  const char* Freq;
  const char* Mode;
  const char* Name;
};

const Contact kContacts[] = {
    {"K1ABC", "14025", "CW", "Al"}, {"W2XYZ", "7040", "SSB", "Bo"}, {"K1ABC", "14025", "SSB", "Al"}};

class TableComponentTest : public ::testing::Test {
protected:
  // A database component on file (made when missing), closed.
  std::unique_ptr<TVLMDatabase> Database(const std::string& file, const std::string& name = "Log") {
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName(name);
    database->SetDatabaseFileName(file);
    database->SilentMode = true;
    if (!database->Exists()) database->CreateDatabase();
    return database;
  }
  static std::unique_ptr<TVLMTable> Table(const std::string& database, const std::string& name = kLogTable) {
    auto table = std::make_unique<TVLMTable>();
    table->SetDatabaseName(database);
    table->SetTableName(name);
    return table;
  }
  // The log table's structure.
  static void DefineLog(TVLMTable& table) {
    qv::FieldDefs& fields = table.GetFieldDefs();
    fields.Clear();
    fields.Add("QsoID", qv::ftAutoInc);
    fields.Add("Call", qv::ftString, 10);
    fields.Add("Freq", qv::ftString, 12);
    fields.Add("Mode", qv::ftString, 10);
    fields.Add("QSODate", qv::ftString, 10);
    fields.Add("TimeStart", qv::ftString, 4);
    fields.Add("Name", qv::ftString, 30);
    fields.Add("IBM", qv::ftBoolean);
    fields.Add("Notes", qv::ftString, 255);
    qv::IndexDefs& indexes = table.GetIndexDefs();
    indexes.Clear();
    indexes.Add(kPrimeIndex, "QsoID", qv::ixPrimary | qv::ixUnique);
    indexes.Add("CallIndex", "Call", 0);
  }
  static void Add(TVLMTable& table, const Contact& c, const char* notes = "") {
    table.Append();
    table.FieldByName("Call")->SetAsString(c.Call);
    table.FieldByName("Freq")->SetAsString(c.Freq);
    table.FieldByName("Mode")->SetAsString(c.Mode);
    table.FieldByName("QSODate")->SetAsString("2024-05-04");
    table.FieldByName("TimeStart")->SetAsString("1200");
    table.FieldByName("Name")->SetAsString(c.Name);
    table.FieldByName("IBM")->SetAsBoolean(true);
    table.FieldByName("Notes")->SetAsString(notes);
    table.Post();
  }
  // The log table of database Log, made and filled with kContacts (and
  // more), closed.
  static std::unique_ptr<TVLMTable> FilledLog(std::initializer_list<Contact> more = {}) {
    auto log = Table("Log");
    DefineLog(*log);
    log->CreateTable();
    log->Open();
    for (const Contact& c : kContacts) Add(*log, c);
    for (const Contact& c : more) Add(*log, c);
    log->Close();
    return log;
  }
  // The rows as "id call freq mode name".
  static std::vector<std::string> Rows(TVLMTable& table) {
    std::vector<std::string> rows;
    for (table.First(); !table.Eof(); table.Next()) {
      std::string row = table.FieldByName("QsoID")->AsString();
      for (const char* f : {"Call", "Freq", "Mode", "Name"}) row += " " + table.FieldByName(f)->AsString();
      rows.push_back(row);
    }
    return rows;
  }

  qv::test::ScratchFolder Dir;
  local_test::RuntimeScope Runtime;
};

TEST_F(TableComponentTest, TheLogTableIsMadeFilledSearchedEditedAndReopened) {
  auto database = Database(Dir.File("log.vlm"));
  auto log = Table("Log");
  DefineLog(*log);
  log->CreateTable();
  EXPECT_TRUE(log->Exists());

  log->Open();
  log->SetIndexName(kPrimeIndex);
  for (const Contact& c : kContacts) Add(*log, c);
  EXPECT_EQ(log->RecordCount(), 3);
  log->Last();
  EXPECT_EQ(log->FieldByName("QsoID")->AsInteger(), 3);
  EXPECT_EQ(Rows(*log), (std::vector<std::string>{"1 K1ABC 14025 CW Al", "2 W2XYZ 7040 SSB Bo",
                                                  "3 K1ABC 14025 SSB Al"}));
  EXPECT_TRUE(log->FieldByName("Notes")->IsNull());

  // The duplicate check finds the contact whose mode matches; a mode none
  // has leaves the record where it was.
  ASSERT_TRUE(log->Locate("Call;Freq;Mode", VarArrayOf({"K1ABC", "14025", "SSB"}), 0));
  EXPECT_EQ(log->FieldByName("QsoID")->AsInteger(), 3);
  log->First();
  EXPECT_FALSE(log->Locate("Call;Freq;Mode", VarArrayOf({"K1ABC", "14025", "RTTY"}), 0));
  EXPECT_EQ(log->FieldByName("QsoID")->AsInteger(), 1);
  ASSERT_TRUE(log->Locate("Call", qv::HostVariant("W2"), qv::loPartialKey));
  EXPECT_EQ(log->FieldByName("Call")->AsString(), "W2XYZ");
  EXPECT_EQ(log->Lookup("Call", qv::HostVariant("K1ABC"), "Name").AsString(), "Al");
  EXPECT_EQ(log->FieldByName("Call")->AsString(), "W2XYZ");

  log->Edit();
  log->FieldByName("Name")->SetAsString("Bob");
  log->Post();
  log->Delete();
  EXPECT_EQ(log->RecordCount(), 2);
  EXPECT_EQ(log->FieldByName("QsoID")->AsInteger(), 3);
  const std::vector<std::string> rows = Rows(*log);
  EXPECT_EQ(rows, (std::vector<std::string>{"1 K1ABC 14025 CW Al", "3 K1ABC 14025 SSB Al"}));

  // A copy of the file, taken after the commit, opens with the same rows.
  std::filesystem::copy_file(Dir.File("log.vlm"), Dir.File("copy.vlm"));
  log->Close();
  database->SetConnected(false);
  for (const char* file : {"log.vlm", "copy.vlm"}) {
    SCOPED_TRACE(file);
    auto reopened = Database(Dir.File(file), "Reopened");
    auto table = Table("Reopened");
    table->Open();
    table->SetIndexName(kPrimeIndex);
    EXPECT_EQ(Rows(*table), rows);
    EXPECT_FALSE(reopened->Handle()->NeedsRepair);
  }

  // The definitions read back as they were given.
  auto fresh = Table("Log");
  DefineLog(*fresh);
  qv::FieldDefs given;
  given.Assign(fresh->GetFieldDefs());
  fresh->GetFieldDefs().Clear();
  fresh->GetFieldDefs().Update();
  ASSERT_EQ(fresh->GetFieldDefs().Count(), given.Count());
  for (int32_t i = 0; i < given.Count(); ++i) {
    const qv::FieldDef& want = *given[i];
    const qv::FieldDef& got = *fresh->GetFieldDefs()[i];
    EXPECT_EQ(got.Name() + " " + std::to_string(got.DataType()) + " " + std::to_string(got.Size()),
              want.Name() + " " + std::to_string(want.DataType()) + " " + std::to_string(want.Size()));
  }
  fresh->GetIndexDefs().SetUpdated(false);
  fresh->GetIndexDefs().Update();
  ASSERT_EQ(fresh->GetIndexDefs().Count(), 2);
  EXPECT_EQ(fresh->GetIndexDefs().Find(kPrimeIndex)->Fields(), "QsoID");
  EXPECT_EQ(fresh->GetIndexDefs().Find(kPrimeIndex)->Options() & (qv::ixPrimary | qv::ixUnique),
            qv::ixPrimary | qv::ixUnique);
  EXPECT_EQ(fresh->GetIndexDefs().Find("CallIndex")->Fields(), "Call");
}

TEST_F(TableComponentTest, AMemoFieldHoldsLongTextAndItsDefault) {
  // Made from extended definitions: the memo's default fills new records.
  auto database = Database(Dir.File("memo.vlm"));
  auto table = Table("Log", "Remarks");
  TVLMAdvFieldDef* id = table->AdvFieldDefs.Add();
  id->Name = "Id";
  id->DataType = dtAutoinc;
  TVLMAdvFieldDef* remark = table->AdvFieldDefs.Add();
  remark->Name = "Remark";
  remark->DataType = dtMemo;
  remark->DefaultValue.SetAsString("none yet");
  table->CreateTable();
  EXPECT_EQ(table->GetFieldDefs().Find("Remark")->DataType(), qv::ftMemo);
  table->Open();
  const std::string text(5000, 'x');
  table->Append();
  EXPECT_EQ(table->FieldByName("Remark")->AsString(), "none yet");
  table->FieldByName("Remark")->SetAsString(text);
  table->Post();
  table->Append();
  table->Post();
  table->Close();
  table->Open();
  EXPECT_EQ(Column(*table, "Remark"), (std::vector<std::string>{text, "none yet"}));
}

TEST_F(TableComponentTest, KeyViolationsTransactionsAndStructuralRefusals) {
  auto database = Database(Dir.File("log.vlm"));
  auto log = FilledLog();
  log->Open();

  // A second contact numbered 1 violates the primary key: the record stays
  // in insert state, and Cancel leaves the count.
  log->Append();
  log->FieldByName("QsoID")->SetAsInteger(1);
  log->FieldByName("Call")->SetAsString("N3Q");
  try {
    log->Post();
    ADD_FAILURE() << "no key violation";
  } catch (const EVLMEngineError& e) {
    EXPECT_EQ(e.ErrorCode, -8);
    EXPECT_NE(std::string(e.what()).find("Duplicate found."), std::string::npos) << e.what();
  }
  EXPECT_EQ(log->State(), qv::dsInsert);
  log->Cancel();
  EXPECT_EQ(log->RecordCount(), 3);
  log->Close();

  // Inside a transaction: emptying runs, the others are refused.
  database->StartTransaction();
  struct Refusal {
    const char* Operation;
    int32_t Code;
    std::function<void()> Run;
  };
  auto other = Table("Log", "Other");
  other->GetFieldDefs().Add("Id", qv::ftInteger);
  const std::vector<Refusal> refusals = {{"CreateTable", 20182, [&] { other->CreateTable(); }},
                                         {"DeleteTable", 20183, [&] { log->DeleteTable(); }},
                                         {"RenameTable", 20181, [&] { log->RenameTable("Renamed"); }}};
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.Operation);
    EXPECT_EQ(qv::test::RaisedMessage(r.Run),
              "Cannot perform '" + std::string(r.Operation) +
                  "' operation on a database in transaction - Native error: " + std::to_string(r.Code));
  }
  log->EmptyTable();
  database->Commit(false);
  log->Open();
  EXPECT_EQ(log->RecordCount(), 0);
  log->Close();

  // Definitions are checked before anything is made.
  auto bad = Table("Log", "Bad");
  bad->GetFieldDefs().Add("Call", qv::ftString, 0);
  EXPECT_EQ(RaisedCode([&] { bad->CreateTable(); }), 30453);
  EXPECT_FALSE(bad->Exists());

  // Rename, then delete.
  log->RenameTable("OldLog");
  EXPECT_EQ(log->TableName(), "OldLog");
  EXPECT_FALSE(Table("Log")->Exists());
  log->DeleteTable();
  EXPECT_FALSE(log->Exists());
}

TEST_F(TableComponentTest, TablesAttachToTheirDatabaseThroughTheSession) {
  // No DatabaseName: refused before any database is touched.
  auto nameless = Table("");
  const int32_t databases = VLMGetDefaultSession()->DatabaseCount();
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { nameless->Open(); }), "DatabaseName property is blank");
  EXPECT_EQ(VLMGetDefaultSession()->DatabaseCount(), databases);
  EXPECT_EQ(nameless->Database(), nullptr);

  auto database = Database(Dir.File("log.vlm"));
  database->SetKeepConnection(false);
  {
    auto maker = Table("Log");
    DefineLog(*maker);
    maker->CreateTable();
  }
  EXPECT_FALSE(database->Connected());
  // Exists on a closed database opens it for the question only.
  EXPECT_TRUE(Table("Log")->Exists());
  EXPECT_FALSE(database->Connected());

  // Two tables keep the database open until both close.
  auto first = Table("Log");
  auto second = Table("Log");
  first->Open();
  second->Open();
  EXPECT_EQ(first->Database(), database.get());
  first->Close();
  EXPECT_TRUE(database->Connected());
  second->Close();
  EXPECT_FALSE(database->Connected());

  // Disconnecting the database closes the tables on it.
  database->SetKeepConnection(true);
  first->Open();
  database->SetConnected(false);
  EXPECT_FALSE(first->Active());
}

TEST_F(TableComponentTest, IndexChoiceAndMasterDetail) {
  auto database = Database(Dir.File("log.vlm"));
  auto log = FilledLog({{"AA1A", "3510", "CW", "Cy"}});

  // Set on a closed table, the index applies when it opens.
  log->SetIndexName("CallIndex");
  log->Open();
  EXPECT_EQ(Column(*log, "Call"), (std::vector<std::string>{"AA1A", "K1ABC", "K1ABC", "W2XYZ"}));
  log->Close();
  log->SetIndexFieldNames("Mode");
  EXPECT_THROW(log->Open(), qv::EDatabaseError);
  EXPECT_FALSE(log->Active());
  log->SetIndexFieldNames("Call");
  log->Open();
  EXPECT_EQ(log->IndexFieldNames(), "Call");
  EXPECT_EQ(Column(*log, "QsoID"), (std::vector<std::string>{"4", "1", "3", "2"}));
  log->Close();

  // A detail shows the contacts of the master's station and follows it.
  auto stations = Table("Log", "Stations");
  stations->GetFieldDefs().Add("Call", qv::ftString, 10);
  stations->GetIndexDefs().Add("ByCall", "Call", qv::ixPrimary | qv::ixUnique);
  stations->CreateTable();
  stations->Open();
  for (const char* call : {"K1ABC", "N3Q", "W2XYZ"}) {
    stations->Append();
    stations->FieldByName("Call")->SetAsString(call);
    stations->Post();
  }
  stations->SetIndexName("ByCall");
  qv::DataSource master;
  master.SetDataSet(stations.get());
  log->SetMasterSource(&master);
  log->SetMasterFields("Call");
  log->SetIndexName("CallIndex");
  log->Open();
  stations->First();
  EXPECT_EQ(Column(*log, "QsoID"), (std::vector<std::string>{"1", "3"}));
  stations->Next();
  EXPECT_TRUE(log->IsEmpty());
  stations->Next();
  EXPECT_EQ(log->FieldByName("QsoID")->AsString(), "2");
  EXPECT_EQ(log->RecordCount(), 1);
  // A new detail record takes the master's key.
  log->Append();
  EXPECT_EQ(log->FieldByName("Call")->AsString(), "W2XYZ");
  log->Cancel();
  EXPECT_THROW(stations->SetMasterSource(&master), qv::EDatabaseError);
  log->SetMasterSource(nullptr);
  EXPECT_EQ(log->RecordCount(), 4);
}

TEST_F(TableComponentTest, TheLastAutoincrementValueNamesTheRightColumn) {
  // The autoincrement field is the table's second column, behind a
  // TIMESTAMP column (made from a field definition of no host type), which
  // shows as a date-time field.
  auto database = Database(Dir.File("log.vlm"));
  auto table = Table("Log", "Stamped");
  table->GetFieldDefs().Add("Logged", qv::ftUnknown);
  table->GetFieldDefs().Add("Id", qv::ftAutoInc);
  table->GetFieldDefs().Add("Call", qv::ftString, 10);
  table->CreateTable();
  table->Open();
  for (const char* call : {"K1ABC", "W2XYZ"}) {
    table->Append();
    table->FieldByName("Call")->SetAsString(call);
    table->Post();
  }
  ASSERT_EQ(table->GetFields()[1]->FieldName(), "Id");
  EXPECT_EQ(table->GetFields()[0]->DataType(), qv::ftDateTime);
  EXPECT_EQ(table->GetLastAutoincValue("Id"), 2);
}

TEST_F(TableComponentTest, ASecondProcessInSingleUserModeReadsUntilTheFirstHasGone) {
  const std::string path = Dir.File("log.vlm");
  auto database = Database(path);
  auto log = FilledLog();
  log->Open();

  storage_test::Peer peer(path, "single", "engine_tablepeer");
  EXPECT_EQ(peer.Greeting, "ready readonly");
  EXPECT_EQ(peer.Ask("count"), "3");
  EXPECT_EQ(peer.Ask("locate W2XYZ"), "found Bo");
  EXPECT_EQ(peer.Ask("append N3Q Cy"), "error Cannot modify a read-only dataset");
  log->Close();
  database->SetConnected(false);
  EXPECT_EQ(peer.Ask("reconnect"), "ready writable");
  EXPECT_EQ(peer.Ask("append N3Q Cy"), "ok");
  EXPECT_EQ(peer.Quit(), 0);
  log->Open();
  EXPECT_EQ(log->RecordCount(), 4);
}

// A read-only connection (let in beside a single-user holder in another
// process, opened read-only alone or shared, or on a file without write
// permission) refuses every road that changes the file, SQL and components
// alike, a statement that names the file itself among them, before a byte
// of the file or a journal is written; the holder goes on
// writing, and its rows are there when the file is opened again.
TEST_F(TableComponentTest, AReadOnlyConnectionRefusesEveryChangeBeforeItTouchesTheFile) {
  const std::string path = Dir.File("ro.vlm");
  {
    auto maker = Database(path);
    TVLMQuery make;
    make.SetDatabaseName("Log");
    make.SetSQL("CREATE TABLE t (id INTEGER, k INTEGER, b BLOB, PRIMARY KEY (id)); CREATE INDEX ix ON t (k); "
                "INSERT INTO t VALUES (1, 1, NULL), (2, 2, NULL)");
    make.ExecSQL();
  }
  // Another file like it, which statements name.
  const std::string other = Dir.File("other.vlm");
  std::filesystem::copy_file(path, other);
  // The files' bytes and their journals' (a single-user holder keeps the
  // journal of its last commit).
  auto bytes = [&] {
    std::string all;
    for (const std::string& name :
         {path, TVLMDatabase::JournalFileName(path), other, TVLMDatabase::JournalFileName(other)}) {
      std::ifstream in(name, std::ios::binary);
      std::ostringstream content;
      if (in) content << in.rdbuf();
      all += content.str() + (in ? "|" : "none|");
    }
    return all;
  };
  // Each table marked '@' named alone, through the file's own name
  // ('"<path>".t': the same connection), or in the other file (through a
  // connection of the statement's own, as read-only as the component).
  std::string named;
  auto sql = [&named](const char* text) {
    return [text, &named] {
      std::string statement = text;
      for (size_t at; (at = statement.find('@')) != std::string::npos;) statement.replace(at, 1, named);
      TVLMQuery query;
      query.SetDatabaseName("Log");
      query.SetSQL(statement);
      query.ExecSQL();
    };
  };
  auto table = [](const char* name, const std::function<void(TVLMTable&)>& run) {
    return [name, run] {
      auto t = Table("Log", name);
      run(*t);
    };
  };
  auto readOnly = [](int32_t code) { return "Dataset is in read only mode - Native error: " + std::to_string(code); };
  struct Road {
    const char* Name;
    std::string Refusal;
    std::function<void()> Run;
  };
  const std::vector<Road> roads{
      {"CREATE TABLE", readOnly(20860), sql("CREATE TABLE @u (id INTEGER)")},
      {"SELECT INTO", readOnly(20860), sql("SELECT id INTO u FROM @t")},
      {"DROP TABLE", readOnly(20861), sql("DROP TABLE @t")},
      {"TRUNCATE TABLE", readOnly(20862), sql("TRUNCATE TABLE @t")},
      {"RENAME TABLE", readOnly(20863), sql("RENAME TABLE @t TO u")},
      {"RENAME COLUMN", readOnly(20864), sql("ALTER TABLE @t RENAME COLUMN k TO kk")},
      {"CREATE INDEX", readOnly(20865), sql("CREATE INDEX ix2 ON @t (id DESC)")},
      {"DROP INDEX", readOnly(20866), sql("DROP INDEX @t.ix")},
      {"ALTER ADD", readOnly(20867), sql("ALTER TABLE @t ADD (e INTEGER)")},
      {"ALTER MODIFY", readOnly(20867), sql("ALTER TABLE @t MODIFY (k LARGEINT)")},
      {"ALTER DROP", readOnly(20867), sql("ALTER TABLE @t DROP k")},
      {"INSERT", readOnly(10032), sql("INSERT INTO @t VALUES (9, 9, 'x')")},
      {"INSERT SELECT", readOnly(10032), sql("INSERT INTO @t SELECT id + 10, k, b FROM @t")},
      {"UPDATE", readOnly(10032), sql("UPDATE @t SET b = 'x' WHERE id = 1")},
      {"DELETE", readOnly(10069), sql("DELETE FROM @t")},
      {"CreateTable", readOnly(20860), table("u", [](TVLMTable& t) {
         t.GetFieldDefs().Add("id", qv::ftInteger);
         t.CreateTable();
       })},
      {"DeleteTable", readOnly(20861), table("t", [](TVLMTable& t) { t.DeleteTable(); })},
      {"EmptyTable", readOnly(20862), table("t", [](TVLMTable& t) { t.EmptyTable(); })},
      {"RenameTable", readOnly(20863), table("t", [](TVLMTable& t) { t.RenameTable("u"); })},
      {"RenameField", readOnly(20864), table("t", [](TVLMTable& t) { t.RenameField("k", "kk"); })},
      {"AddIndex", readOnly(20865), table("t", [](TVLMTable& t) { t.AddIndex("ix2", "id", 0); })},
      {"DeleteIndex", readOnly(20866), table("t", [](TVLMTable& t) { t.DeleteIndex("ix"); })},
      {"RestructureTable", readOnly(20867), table("t", [](TVLMTable& t) {
         t.Open();
         t.Close();
         t.RestructureFieldDefs.Add()->Name = "e";
         std::string log;
         t.RestructureTable(log);
       })},
      {"RepairTable", readOnly(20868), table("t", [](TVLMTable& t) { t.RepairTable(); })},
      {"BLOB write", readOnly(10107), table("t", [](TVLMTable& t) {
         t.Open();
         t.CreateBlobStream(t.FieldByName("b"), qv::bmWrite);
       })},
      // The session's memory tables are no part of the file; a read that
      // makes a temporary index takes no object ID of the file.
      {"MEMORY table", "", sql("CREATE TABLE MEMORY m (id INTEGER); INSERT INTO MEMORY m VALUES (1); "
                               "DROP TABLE MEMORY m")},
      {"temporary index", "", table("t", [](TVLMTable& t) {
         t.Open();
         qv::StringList fields, directions, cases;
         fields.Add("id");
         directions.Add("DESC");
         cases.Add("CASE");
         t.GetIndexForFields(fields, directions, cases);
       })},
      {"Append", "Cannot modify a read-only dataset", table("t", [](TVLMTable& t) {
         t.Open();
         t.Append();
       })},
      {"Delete", readOnly(10069), table("t", [](TVLMTable& t) {
         t.Open();
         t.Delete();
       })},
  };
  auto refusal = [](const std::function<void()>& run) -> std::string {
    try {
      run();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  };
  // Each kind of read-only connection, and the holder's INSERT and COUNT
  // after each road (none but for a connection let in).
  enum class Kind { LetIn, OpenedReadOnly, OpenedReadOnlyShared, ReadOnlyFile };
  int32_t rows = 2;
  for (const Kind kind : {Kind::LetIn, Kind::OpenedReadOnly, Kind::OpenedReadOnlyShared, Kind::ReadOnlyFile}) {
    SCOPED_TRACE(static_cast<int>(kind));
    std::unique_ptr<storage_test::Peer> holder;
    if (kind == Kind::LetIn) {
      holder = std::make_unique<storage_test::Peer>(path, "alone", "engine_sqlpeer");
      ASSERT_EQ(holder->Ask("SELECT COUNT(*) AS n FROM t"), std::to_string(rows));
    }
    if (kind == Kind::ReadOnlyFile) std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    auto database = Database(path);
    database->ReadOnly = kind == Kind::OpenedReadOnly || kind == Kind::OpenedReadOnlyShared;
    database->MultiUser = kind == Kind::OpenedReadOnlyShared;
    database->SetConnected(true);
    ASSERT_TRUE(database->ReadOnly);
    for (const std::string& name : {std::string(), "\"" + path + "\".", "\"" + other + "\"."})
      for (const Road& road : roads) {
        SCOPED_TRACE(road.Name + name);
        named = name;
        const std::string before = bytes();
        EXPECT_EQ(refusal(road.Run), road.Refusal);
        EXPECT_TRUE(bytes() == before);
        if (!holder) continue;
        EXPECT_EQ(holder->Ask("INSERT INTO t VALUES (" + std::to_string(++rows + 100) + ", 0, 'h')"), "ok 1");
        EXPECT_EQ(holder->Ask("SELECT COUNT(*) AS n FROM t"), std::to_string(rows));
      }
    // A repair, asked of the component closed, is refused as well.
    database->SetConnected(false);
    std::string errorText;
    EXPECT_EQ(RaisedCode([&] { database->RepairDatabase(errorText); }), 20869);
    EXPECT_TRUE(std::filesystem::exists(path));
    if (holder) {
      EXPECT_EQ(holder->Ask("CREATE INDEX ix3 ON t (id DESC)"), "ok 0");
      EXPECT_EQ(holder->Quit(), 0);
    }
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  // Another process opens the file with write access: the holder's rows
  // are there, and it writes and runs DDL.
  storage_test::Peer after(path, "alone", "engine_sqlpeer");
  EXPECT_EQ(after.Ask("SELECT COUNT(*) AS n FROM t"), std::to_string(rows));
  EXPECT_EQ(after.Ask("INSERT INTO t VALUES (0, 0, NULL)"), "ok 1");
  EXPECT_EQ(after.Ask("DROP INDEX t.ix3"), "ok 0");
  EXPECT_EQ(after.Ask("ALTER TABLE t ADD (e INTEGER)"), "ok 0");
  EXPECT_EQ(after.Ask("SELECT COUNT(*) AS n FROM t WHERE e IS NULL"), std::to_string(rows + 1));
}

TEST_F(TableComponentTest, TwoProcessesAppendAtOnceInMultiUserMode) {
  const std::string path = Dir.File("log.vlm");
  constexpr int32_t kEach = 500;
  auto database = Database(path);
  database->MultiUser = true;
  auto log = Table("Log");
  DefineLog(*log);
  log->CreateTable();
  log->Open();

  storage_test::Peer peer(path, "multi", "engine_tablepeer");
  ASSERT_EQ(peer.Greeting, "ready writable");
  peer.Send("fill B " + std::to_string(kEach));
  for (int32_t i = 0; i < kEach; ++i) Add(*log, {("A" + std::to_string(i)).c_str(), "14025", "CW", "test"});
  EXPECT_EQ(peer.Receive(), "ok " + std::to_string(kEach));
  EXPECT_EQ(peer.Quit(), 0);

  log->Refresh();
  EXPECT_EQ(log->RecordCount(), 2 * kEach);
  std::set<int32_t> ids;
  for (log->First(); !log->Eof(); log->Next()) ids.insert(log->FieldByName("QsoID")->AsInteger());
  EXPECT_EQ(ids.size(), static_cast<size_t>(2 * kEach));
  log->SetIndexName("CallIndex");
  int32_t found = 0;
  for (const char* tag : {"A", "B"})
    for (int32_t i = 0; i < kEach; ++i) found += log->Locate("Call", qv::HostVariant(tag + std::to_string(i)), 0);
  EXPECT_EQ(found, 2 * kEach);
  log->Close();
  database->SetConnected(false);
  database->SetConnected(true);
  EXPECT_FALSE(database->Handle()->NeedsRepair);
}

// The progress events of the long operations, reached as the operations
// of the table reach them.
class ProgressTable : public TVLMTable {
public:
  using TVLMTable::DoAfterOperation;
  using TVLMTable::DoBeforeOperation;
  using TVLMTable::DoOperationProgress;
};

class WindowUi : public SilentEngineUi {
public:
  void ShowWaitWindow(const std::string& text, int32_t, WaitWindowEvents& events) override {
    Log.push_back("show " + text);
    Events = &events;
  }
  void HideWaitWindow() override { Log.push_back("hide"); }
  std::vector<std::string> Log;
  WaitWindowEvents* Events = nullptr;
};

TEST_F(TableComponentTest, LongOperationsReportToTheirEventsOrTheWaitWindow) {
  using Op = TVLMTable::LongOperation;
  auto database = Database(Dir.File("log.vlm"));
  ProgressTable table;
  table.SetDatabaseName("Log");
  table.SetTableName(kLogTable);
  DefineLog(table);
  table.CreateTable();
  std::vector<std::string> log;
  table.BeforeImport = [&](TVLMTable&) { log.push_back("before"); };
  table.OnImportProgress = [&](TVLMTable&, int32_t percent, bool& cont) {
    log.push_back(std::to_string(percent));
    cont = percent < 50;
  };
  table.AfterImport = [&](TVLMTable&) { log.push_back("after"); };
  table.DoBeforeOperation(Op::Import);
  EXPECT_TRUE(table.DoOperationProgress(Op::Import, 10));
  EXPECT_FALSE(table.DoOperationProgress(Op::Import, 60));
  table.DoAfterOperation(Op::Import);
  EXPECT_EQ(log, (std::vector<std::string>{"before", "10", "60", "after"}));

  // Without events the wait window runs, and its Abort stops the work; a
  // silent database shows none.
  WindowUi ui;
  VLMSetEngineUi(&ui);
  int64_t now = 1000000;
  qv::SetMonotonicMsSource([&] { return now; });
  auto restore = qv::ScopeExit([] {
    qv::SetMonotonicMsSource(nullptr);
    VLMSetEngineUi(nullptr);
  });
  for (bool silent : {true, false}) {
    SCOPED_TRACE(silent);
    ui.Log.clear();
    database->SilentMode = silent;
    table.Open();
    table.DoBeforeOperation(Op::Copy);
    now += 600;
    EXPECT_TRUE(table.DoOperationProgress(Op::Copy, 10));
    if (ui.Events != nullptr) ui.Events->AbortClicked();
    EXPECT_EQ(table.DoOperationProgress(Op::Copy, 20), silent);
    table.DoAfterOperation(Op::Copy);
    table.Close();
    const std::vector<std::string> shown = {"show Copy Table...", "hide"};
    EXPECT_EQ(ui.Log, silent ? std::vector<std::string>() : shown);
  }
}

}  // namespace
