// The database component: connecting (missing files, passwords, shared
// local sessions), names within a session, the datasets it closes, files it
// creates and deletes (also while another process has one open),
// transactions, and whose answer counts when the user is asked.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "tests/support/MemDataSet.h"
#include "platform/host/StringList.h"
#include "platform/os/System.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

namespace {

using local_test::RuntimeScope;
using local_test::ScriptedUi;
using qv::test::MessageOf;
using qv::test::RaisedCode;

class DatabaseComponentTest : public ::testing::Test {
protected:
  void SetUp() override { VLMSetEngineUi(&Ui); }
  void TearDown() override { VLMSetEngineUi(nullptr); }

  // A database component (owned by the test) on file in the default session.
  std::unique_ptr<TVLMDatabase> Database(const std::string& name, const std::string& file,
                                         const std::string& password = "") {
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName(name);
    database->SetDatabaseFileName(file);
    database->Password = password;
    database->MaxConnections = 20;
    database->PageSize = 1024;
    return database;
  }
  // The file, made with password.
  std::string NewFile(const std::string& name, const std::string& password = "") {
    const std::string file = Dir.File(name);
    Database("Maker", file, password)->CreateDatabase();
    return file;
  }
  // The database data of the file's connections besides "MEMORY" and "TEMP".
  static int32_t DiskCount() { return VLMOpenDatabaseList().Count() - 2; }
  static int32_t SessionsOf(TVLMDatabase& database) {
    TVLMDatabaseData* data = database.Handle()->DatabaseData;
    std::lock_guard guard(data->CriticalSection());
    return static_cast<int32_t>(data->Sessions.size());
  }

  storage_test::FastRetries Retries;
  qv::test::ScratchFolder Dir;
  RuntimeScope Runtime;
  ScriptedUi Ui;
};

TEST_F(DatabaseComponentTest, MissingFilesAndWrongPasswordsLeaveNothingConnected) {
  const std::string missing = Dir.File("missing.vlm");
  auto absent = Database("Absent", missing);
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { absent->SetConnected(true); }),
            "Database file '" + missing + "' does not exist");
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { Database("", missing)->DoConnect(); }), "Database name missing");

  const std::string file = NewFile("secret.vlm", "Secret");
  struct Row {
    const char* name;
    bool silent;
    bool handler;         // an OnPassword handler...
    const char* handed;   // ...that sets this password (nullptr: answers no)
    const char* typed;    // what the user types at the prompt ("" cancels)
    int32_t code;         // 0: connected
    const char* asked;    // who was asked: "handler", "user" or ""
  };
  const Row rows[] = {
      {"silent fails at once", true, false, nullptr, "Secret", 30445, ""},
      {"a handler that answers yes", true, true, "Secret", "", 0, "handler"},
      {"a handler that answers no", false, true, nullptr, "Secret", 30445, "handler"},
      {"the user types it", false, false, nullptr, "Secret", 0, "user"},
      {"the user cancels", false, false, nullptr, "", 30445, "user"},
  };
  for (bool alreadyOpen : {false, true}) {
    // A second connection to a file already open is checked against the
    // open file's password (20298), and asks all the same.
    std::unique_ptr<TVLMDatabase> first;
    if (alreadyOpen) {
      first = Database("First", file, "Secret");
      first->DoConnect();
    }
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (alreadyOpen ? ", file open" : ""));
      auto database = Database("Log", file, "wrong");
      database->SilentMode = row.silent;
      int32_t handlerCalls = 0;
      if (row.handler)
        database->OnPassword = [&](TVLMDatabase& sender, bool& continueConnect) {
          ++handlerCalls;
          EXPECT_FALSE(continueConnect);
          if (row.handed != nullptr) sender.Password = row.handed;
          continueConnect = row.handed != nullptr;
        };
      Ui.Typed = row.typed;
      Ui.Log.clear();
      const int32_t expected = row.code == 0 ? 0 : (alreadyOpen ? 20298 : row.code);
      EXPECT_EQ(RaisedCode([&] { database->DoConnect(); }), expected);
      EXPECT_EQ(database->Connected(), expected == 0);
      EXPECT_EQ(handlerCalls, std::string(row.asked) == "handler" ? 1 : 0);
      EXPECT_EQ(Ui.Log.size(), std::string(row.asked) == "user" ? 1u : 0u);
      // No local session stays registered after a refusal.
      EXPECT_EQ(DiskCount(), alreadyOpen || expected == 0 ? 1 : 0);
      if (alreadyOpen) {
        EXPECT_EQ(SessionsOf(*first), expected == 0 ? 2 : 1);
      }
      if (expected == 0) {
        EXPECT_EQ(database->Password, "Secret");
      }
    }
  }
  EXPECT_EQ(DiskCount(), 0);
}

TEST_F(DatabaseComponentTest, NamesAreUniqueInASessionUnlessSharedOrLeftOver) {
  const std::string file = NewFile("log.vlm");
  struct Row {
    const char* name;
    bool olderShared, newerShared;
    bool olderLeftOver;  // a database the session made that no dataset holds
    bool refused;
  };
  const Row rows[] = {
      {"plain", false, false, false, true},
      {"one shared", true, false, false, true},
      {"both shared", true, true, false, false},
      {"left over", false, false, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TVLMSession* session = VLMGetDefaultSession();
    TVLMDatabase* older = nullptr;
    std::unique_ptr<TVLMDatabase> ownOlder;
    if (row.olderLeftOver) {
      session->KeepConnections = true;
      older = session->OpenDatabase("MEMORY", nullptr);
      session->CloseDatabase(older);
    } else {
      ownOlder = Database("MEMORY", file);
      ownOlder->HandleShared = row.olderShared;
      older = ownOlder.get();
    }
    auto newer = std::make_unique<TVLMDatabase>();
    newer->HandleShared = row.newerShared;
    if (row.refused) {
      EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { newer->SetDatabaseName("memory"); }),
                "Duplicate database name 'memory'");
      EXPECT_EQ(newer->DatabaseName(), "");
      continue;
    }
    newer->SetDatabaseName("memory");
    // The left-over database was freed; a shared one stays.
    EXPECT_EQ(session->DatabaseCount(), row.olderLeftOver ? 1 : 2);
  }
  // A database in use by a dataset is not freed for the name.
  TVLMSession* session = VLMGetDefaultSession();
  TVLMDatabase* inUse = session->OpenDatabase("TEMP", nullptr);
  TVLMDatabase second;
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { second.SetDatabaseName("Temp"); }), "Duplicate database name 'Temp'");
  session->CloseDatabase(inUse);
}

TEST_F(DatabaseComponentTest, SharedLocalSessionsAndDisconnectingClosesQueriesFirstThenDatasetsLastFirst) {
  const std::string file = NewFile("log.vlm");
  auto owner = Database("Log", file);
  owner->HandleShared = true;
  owner->DoConnect();
  auto borrower = std::make_unique<TVLMDatabase>();
  borrower->HandleShared = true;
  borrower->SetDatabaseName("LOG");
  borrower->DoConnect();  // no file name: the local session is borrowed
  EXPECT_EQ(borrower->Handle(), owner->Handle());
  EXPECT_EQ(DiskCount(), 1);

  std::vector<std::string> closed;
  std::vector<std::unique_ptr<qv::MemDataSet>> dataSets;
  for (const char* name : {"Table1", "Query1", "Table2", "Query2", "Table3", "Borrowed"}) {
    auto& dataSet = dataSets.emplace_back(std::make_unique<qv::MemDataSet>());
    dataSet->SetName(name);
    dataSet->GetFieldDefs().Add("Call", qv::ftString, 10);
    dataSet->Open();
    dataSet->AfterClose = [&closed](qv::DataSet& d) { closed.push_back(d.Name()); };
    (dataSets.size() < 6 ? owner.get() : borrower.get())->AddDataSet(dataSet.get(), name[0] == 'Q');
  }
  ASSERT_EQ(owner->DataSetCount(), 5);
  owner->StartTransaction();
  owner->DoDisconnect();
  EXPECT_EQ(closed, (std::vector<std::string>{"Query1", "Query2", "Table3", "Table2", "Table1", "Borrowed"}));
  // The borrower gave the local session back (closing its dataset) before
  // the local session went; the database data went with it.
  EXPECT_FALSE(borrower->Connected());
  EXPECT_EQ(owner->DataSetCount(), 0);
  EXPECT_EQ(DiskCount(), 0);

  // "MEMORY" stays when the last component lets it go.
  TVLMDatabase* memory = VLMGetDefaultSession()->OpenDatabase("MEMORY", nullptr);
  memory->DoDisconnect();
  EXPECT_EQ(VLMOpenDatabaseList().Count(), 2);
}

TEST_F(DatabaseComponentTest, TransactionsTablesAndThePropertiesOfAConnection) {
  const std::string file = Dir.File("log.vlm");
  auto database = Database("Log", file, "pw");
  database->ExtentSize = 4;
  database->CipherId = 3;
  database->CreateDatabase();
  // A connection takes the file's settings.
  auto reader = Database("Reader", file, "pw");
  reader->PageSize = 4096;
  reader->MaxConnections = 500;
  qv::StringList names;
  reader->GetTableNames(names);  // connects and disconnects again
  EXPECT_FALSE(reader->Connected());
  EXPECT_FALSE(reader->TableExists("Log"));  // connects and stays
  EXPECT_TRUE(reader->Connected());
  EXPECT_EQ(reader->PageSize, 1024);
  EXPECT_EQ(reader->ExtentSize, 4);
  EXPECT_EQ(reader->CipherId, 3);
  EXPECT_EQ(reader->MaxConnections, 20);
  EXPECT_FALSE(reader->ReadOnly);
  EXPECT_EQ(TVLMDatabase::CurrentVersion(), " 6.20");

  const std::string closed = "Cannot perform this operation on a closed database";
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { database->StartTransaction(); }), closed);
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { database->Commit(false); }), closed);
  EXPECT_FALSE(database->InTransaction());
  reader->StartTransaction();
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { reader->StartTransaction(); }),
            "Database is already within a transaction");
  reader->Commit(true);
  EXPECT_FALSE(reader->InTransaction());
  EXPECT_EQ(RaisedCode([&] { reader->Rollback(); }), 20229);
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { reader->SetDatabaseName("Other"); }),
            "Cannot perform this operation on an open database");
  // A new file name closes it.
  reader->SetDatabaseFileName(file + ".other");
  EXPECT_FALSE(reader->Connected());

  reader->GetTableNames(names);  // a missing file: no names, no error
  // An unknown session is found out when the database is used.
  reader->SetSessionName("Nobody");
  EXPECT_EQ(reader->Session(), nullptr);
  EXPECT_EQ(RaisedCode([&] { reader->DoConnect(); }), 20002);
}

TEST_F(DatabaseComponentTest, AFileAnotherProcessHasOpenIsNeitherReplacedNorDeleted) {
  for (const char* mode : {"single", ""}) {
    SCOPED_TRACE(mode);
    const std::string file = NewFile("shared.vlm");
    auto database = Database("Log", file);
    {
      storage_test::Peer other(file, mode);
      ASSERT_EQ(other.Greeting.rfind("session ", 0), 0u) << other.Greeting;
      EXPECT_FALSE(database->DeleteDatabase());
      EXPECT_TRUE(std::filesystem::exists(file));
      EXPECT_EQ(RaisedCode([&] { database->CreateDatabase(); }), 10790);
      // The file is intact: this process can still open it.
      database->DoConnect();
      EXPECT_EQ(RaisedCode([&] { Database("Again", file)->CreateDatabase(); }), 20092);
      database->DoDisconnect();
    }
    EXPECT_TRUE(database->DeleteDatabase());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(database->DeleteDatabase());  // nothing left to delete
  }
}

TEST_F(DatabaseComponentTest, ComponentEventsComeBeforeTheUserAndSilentModeAsksNobody) {
  auto database = Database("Log", Dir.File("log.vlm"));
  const std::string question = "confirm Database file was not correctly closed last time. Do you want to repair it?";
  struct Row {
    const char* name;
    bool silent;
    bool handler;  // OnNeedRepair answers yes
    bool userYes;
    bool repair;
    std::vector<std::string> asked;
  };
  const Row rows[] = {
      {"the handler decides", false, true, false, true, {}},
      {"the user decides", false, false, true, true, {question}},
      {"silent: nobody is asked", true, false, true, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    database->SilentMode = row.silent;
    database->OnNeedRepair = nullptr;
    if (row.handler) database->OnNeedRepair = [](TVLMDatabase&, bool& repair) { repair = true; };
    Ui.Yes = row.userYes;
    Ui.Log.clear();
    EXPECT_EQ(database->AskRepair(), row.repair);
    EXPECT_EQ(Ui.Log, row.asked);
  }
  database->SilentMode = false;

  // The repair's progress: the wait window by its rule, stopped by "Abort";
  // an assigned progress event takes its place.
  int64_t now = 0;
  qv::SetMonotonicMsSource([&] { return now; });
  Ui.Log.clear();
  database->DoBeforeRepair();
  EXPECT_TRUE(database->DoRepairProgress(10));
  now = 600;
  EXPECT_TRUE(database->DoRepairProgress(20));
  ASSERT_NE(Ui.Events, nullptr);
  Ui.Events->AbortClicked();
  EXPECT_FALSE(database->DoRepairProgress(30));
  database->DoAfterRepair();
  EXPECT_EQ(Ui.Log, (std::vector<std::string>{"show Repairing Database...", "hide"}));
  database->OnRepairProgress = [&](TVLMDatabase&, int32_t percent, bool& go) { go = percent < 50; };
  EXPECT_FALSE(database->DoRepairProgress(60));
  qv::SetMonotonicMsSource(nullptr);
}

}  // namespace
