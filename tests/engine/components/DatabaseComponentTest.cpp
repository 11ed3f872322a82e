// The database component: connecting (missing files, passwords, shared
// local sessions), names within a session, the datasets it closes, files it
// creates and deletes (also while another process has one open),
// transactions, and whose answer counts when the user is asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "tests/support/MemDataSet.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

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

// What another connection making or replacing the file meets, played with
// a handle of this process in the maker's place (its locks conflict as
// another process's do) that acts while the connection waits (the sleeper).
// A maker finds the file being made and leaves it as it is (10970). An open
// that finds the file empty waits while its maker holds the making lock,
// then reads it whole, or the file put in its place; one that nobody makes
// is read as it is after a few looks (its read error, no repair asked). An
// open during which another replaced the file ends on the new file, never
// on the one replaced. A file nobody has is replaced by a rename, the name
// never without a file.
TEST_F(DatabaseComponentTest, AFileBeingMadeOrReplacedIsWaitedForAndNeverReadHalfMade) {
  auto bytesOf = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  };
  auto made = [&](const std::string& name, const std::string& table) {
    const std::string file = NewFile(name);
    auto database = Database("Made", file);
    TVLMTable t;
    t.SetDatabaseName("Made");
    t.SetTableName(table);
    t.GetFieldDefs().Add("a", qv::ftInteger);
    t.CreateTable();
    return bytesOf(file);
  };
  const std::string first = made("first.vlm", "a"), second = made("second.vlm", "b");
  std::function<void()> meanwhile;
  qv::SetSleeper([&](uint32_t) {
    if (meanwhile) std::exchange(meanwhile, nullptr)();
  });
  const int64_t making = 358;

  const std::string file = Dir.File("made.vlm");
  std::filesystem::copy_file(Dir.File("first.vlm"), file);
  auto maker = qv::File::Open(file, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
  ASSERT_TRUE(maker.Lock(making, 1));
  EXPECT_EQ(qv::test::RaisedMessage([&] { Database("Again", file)->CreateDatabase(); }),
            "Cannot create database file '" + file +
                "': another connection is making or opening it - Native error: 10970");
  EXPECT_EQ(bytesOf(file), first);

  // Empty, its maker at work: the open reads what it wrote.
  maker.Truncate(0);
  meanwhile = [&] {
    maker.WriteAt(second.data(), static_cast<int64_t>(second.size()), 0);
    maker.Unlock(making, 1);
  };
  auto database = Database("Log", file);
  database->DoConnect();
  EXPECT_TRUE(database->TableExists("b"));
  database->DoDisconnect();

  // Empty, its maker refused, replaced by another's: the open ends there.
  maker.Truncate(0);
  ASSERT_TRUE(maker.Lock(making, 1));
  meanwhile = [&] {
    std::ofstream(file + ".new", std::ios::binary) << first;
    std::filesystem::rename(file + ".new", file);
    maker.Close();
  };
  database->DoConnect();
  EXPECT_TRUE(database->TableExists("a"));
  database->DoDisconnect();

  // Replaced while it was being opened: the connection is on the new file.
  maker = qv::File::Open(file, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting);
  std::ofstream(file, std::ios::binary) << second;
  ASSERT_TRUE(maker.Lock(making, 1));
  meanwhile = [&] {
    std::filesystem::remove(file);
    std::ofstream(file, std::ios::binary) << first;
    maker.Close();
  };
  database->DoConnect();
  EXPECT_TRUE(database->TableExists("a"));
  EXPECT_FALSE(database->TableExists("b"));
  database->DoDisconnect();

  // Empty, and nobody makes it: a few looks, then its read error.
  std::filesystem::resize_file(file, 0);
  Retries.Sleeps = 0;
  qv::SetSleeper([&](uint32_t) { ++Retries.Sleeps; });
  EXPECT_EQ(RaisedCode([&] { database->DoConnect(); }), 10464);
  EXPECT_EQ(Retries.Sleeps, VLMRetrySettings().NewFileTries - 1);
  EXPECT_EQ(Ui.Log, std::vector<std::string>{});
  // Nobody has it: made anew beside it and renamed over it (the name never
  // lacks a file), nothing left beside it.
  qv::RecordFileOperations(true);
  database->CreateDatabase();
  const std::vector<qv::FileOperationRecord> operations = qv::RecordedFileOperations();
  qv::RecordFileOperations(false);
  int32_t renamed = 0;
  for (const qv::FileOperationRecord& op : operations) {
    EXPECT_FALSE(op.Operation == qv::FileOperation::Delete && op.Path == file);
    renamed += op.Operation == qv::FileOperation::Rename && op.Path.rfind(file + ".", 0) == 0;
  }
  EXPECT_EQ(renamed, 1);
  EXPECT_FALSE(database->TableExists("a"));
  int32_t beside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
    beside += entry.path().filename().string().rfind("made.vlm", 0) == 0;
  EXPECT_EQ(beside, 1);
}

// Two processes make one new file at once, then each makes its table if it
// is missing and adds a row, round after round. A maker that loses is
// refused before it writes a byte: the file is being made (10970, 10971,
// 10973) or in use (10790) (or, had the first let its new file go before
// connecting, replaced). Every file passes the whole-file check, opens
// without a repair and holds every row acknowledged.
TEST_F(DatabaseComponentTest, TwoProcessesMakingOneNewFileAtOnceLeaveItWhole) {
  storage_test::Peer a(Dir.File("none"), "", "engine_sqlpeer"), b(Dir.File("none"), "", "engine_sqlpeer");
  storage_test::Peer* peers[2] = {&a, &b};
  const std::set<std::string> makerAnswers{"ok", "error 10970", "error 10971", "error 10973", "error 10790"};
  std::map<std::string, int32_t> answers;
  int32_t rounds = 0, damaged = 0;
  for (auto budget = qv::test::TestBudget::Steps(300, 25); budget.Continue(rounds); ++rounds) {
    SCOPED_TRACE(rounds);
    const std::string file = Dir.File("made" + std::to_string(rounds) + ".vlm");
    std::string before[2];
    for (int i : {0, 1}) {
      ASSERT_EQ(peers[i]->Ask("file " + file), "ok");
      before[i] = peers[i]->Ask("writes");
    }
    // All at once, each from making the file to its row.
    for (int i : {0, 1})
      for (const std::string& line : {std::string("create"), std::string("writes"),
                                      std::string("CREATE TABLE IF NOT EXISTS t (a INTEGER)"),
                                      "INSERT INTO t VALUES (" + std::to_string(i) + ")"})
        peers[i]->Send(line);
    std::set<std::string> acknowledged;
    int32_t made = 0;
    for (int i : {0, 1}) {
      const std::string create = peers[i]->Receive(), writes = peers[i]->Receive();
      ++answers[create];
      made += create == "ok";
      EXPECT_EQ(makerAnswers.count(create), 1u) << create;
      EXPECT_TRUE(create == "ok" || writes == before[i]);  // refused before it wrote
      EXPECT_EQ(peers[i]->Receive(), "ok 0");               // never a file read half made
      const std::string insert = peers[i]->Receive();
      EXPECT_TRUE(insert == "ok 1" || insert == "error 20850" || insert == "error 20851") << insert;
      if (insert == "ok 1") acknowledged.insert(std::to_string(i));
      ASSERT_EQ(peers[i]->Ask("file " + Dir.File("none")), "ok");
    }
    EXPECT_GE(made, 1);
    const std::vector<std::string> problems = TVLMDatabase::CheckDatabaseFile(file);
    EXPECT_EQ(problems, std::vector<std::string>{});
    damaged += !problems.empty();
    auto database = Database("Made", file);
    database->DoConnect();
    EXPECT_FALSE(database->Handle()->NeedsRepair);
    TVLMTable t;
    t.SetDatabaseName("Made");
    t.SetTableName("t");
    t.Open();
    for (t.First(); !t.Eof(); t.Next()) acknowledged.erase(t.FieldByName("a")->AsString());
    EXPECT_EQ(acknowledged, std::set<std::string>{});
  }
  std::cout << "rounds " << rounds << ", damaged files " << damaged << ", answers of the makers:";
  for (const auto& [answer, count] : answers) std::cout << " '" << answer << "' " << count;
  std::cout << "\n";
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
