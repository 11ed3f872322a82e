// The table component's structure changes on database files: a field
// renamed, indexes added and removed (also while another process has the
// table open), the refusals inside a transaction, and the restructure that
// rebuilds a table, keeping its records when it succeeds and when it fails.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "platform/host/StringList.h"
#include "tests/engine/components/DataSetTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

namespace {

using dataset_test::Column;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

// The names the two-process helper opens.
constexpr const char* kLogTable = "V5LogTabl";

class TableRestructureTest : public ::testing::Test {
protected:
  void SetUp() override { Database = MakeDatabase(Dir.File("log.vlm"), false); }

  static std::unique_ptr<TVLMDatabase> MakeDatabase(const std::string& file, bool multiUser) {
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName("Log");
    database->SetDatabaseFileName(file);
    database->SilentMode = true;
    database->MultiUser = multiUser;
    if (!database->Exists()) database->CreateDatabase();
    return database;
  }
  static std::unique_ptr<TVLMTable> Table(const std::string& name = kLogTable) {
    auto table = std::make_unique<TVLMTable>();
    table->SetDatabaseName("Log");
    table->SetTableName(name);
    return table;
  }
  // A small log of three contacts, closed.
  static std::unique_ptr<TVLMTable> FilledLog() {
    auto log = Table();
    qv::FieldDefs& fields = log->GetFieldDefs();
    fields.Add("QsoID", qv::ftAutoInc);
    fields.Add("Call", qv::ftString, 10);
    fields.Add("Freq", qv::ftString, 12);
    fields.Add("Name", qv::ftString, 6);
    fields.Add("Notes", qv::ftString, 40);
    log->GetIndexDefs().Add("PrimeIndex", "QsoID", qv::ixPrimary | qv::ixUnique);
    log->CreateTable();
    log->Open();
    for (const auto& [call, freq, name] : kContacts) {
      log->Append();
      log->FieldByName("Call")->SetAsString(call);
      log->FieldByName("Freq")->SetAsString(freq);
      log->FieldByName("Name")->SetAsString(name);
      log->FieldByName("Notes")->SetAsString(std::string("note ") + call);
      log->Post();
    }
    log->Close();
    return log;
  }
  std::vector<std::string> TableNames() {
    qv::StringList names;
    Database->GetTableNames(names);
    std::vector<std::string> out;
    for (int32_t i = 0; i < names.Count(); ++i) out.push_back(names[i]);
    return out;
  }
  std::vector<std::string> IndexNames(TVLMTable& table) {
    table.GetIndexDefs().Update();
    std::vector<std::string> out;
    for (int32_t i = 0; i < table.GetIndexDefs().Count(); ++i) out.push_back(table.GetIndexDefs()[i]->Name());
    return out;
  }

  static constexpr std::tuple<const char*, const char*, const char*> kContacts[] = {
      {"K1ABC", "14025", "Al"}, {"W2XYZ", "7040", "Bo"}, {"N3Q", "3550", "Cy"}};

  qv::test::ScratchFolder Dir;
  local_test::RuntimeScope Runtime;
  std::unique_ptr<TVLMDatabase> Database;
};

TEST_F(TableRestructureTest, AFieldIsRenamedAndIndexesComeAndGo) {
  auto log = FilledLog();
  log->Exclusive = false;
  log->RenameField("Name", "OpName");
  EXPECT_FALSE(log->Active());
  EXPECT_FALSE(log->Exclusive);
  log->Open();
  EXPECT_EQ(Column(*log, "OpName"), (std::vector<std::string>{"Al", "Bo", "Cy"}));
  EXPECT_EQ(log->FindField("Name"), nullptr);
  log->Close();

  // On the closed table through a cursor of its own, on the open one
  // through its cursor; either way the new index serves at once.
  log->AddIndex("CallIndex", "Call", 0);
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"PrimeIndex", "CallIndex"}));
  log->Open();
  log->AddIndex("FreqIndex", "Freq", qv::ixDescending);
  log->SetIndexName("FreqIndex");
  EXPECT_EQ(Column(*log, "Call"), (std::vector<std::string>{"W2XYZ", "N3Q", "K1ABC"}));
  log->SetIndexName("CallIndex");
  EXPECT_EQ(Column(*log, "Call"), (std::vector<std::string>{"K1ABC", "N3Q", "W2XYZ"}));
  log->SetIndexName("");
  log->DeleteIndex("FreqIndex");
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"PrimeIndex", "CallIndex"}));
  log->Close();
  log->DeleteIndex("CallIndex");
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"PrimeIndex"}));

  struct Bad {
    const char* What;
    std::function<void()> Run;
    int32_t Code;
  };
  const std::vector<Bad> bad = {
      {"index without name", [&] { log->AddIndex("", "Call", 0); }, 20046},
      {"index without fields", [&] { log->AddIndex("X", "", 0); }, 20047},
      {"index on a missing field", [&] { log->AddIndex("X", "Band", 0); }, 20050},
      {"index twice", [&] { log->AddIndex("PrimeIndex", "Call", 0); }, 20022},
      {"missing index", [&] { log->DeleteIndex("NoSuch"); }, 20021},
      {"missing field", [&] { log->RenameField("NoSuch", "X"); }, 30343},
      {"field onto another", [&] { log->RenameField("Call", "Freq"); }, 30344},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.What);
    EXPECT_EQ(RaisedCode(b.Run), b.Code);
    EXPECT_FALSE(log->Active());
  }
  log->Open();
  EXPECT_EQ(log->RecordCount(), 3);
}

TEST_F(TableRestructureTest, StructureChangesAreRefusedInsideATransaction) {
  auto log = FilledLog();
  log->AddIndex("CallIndex", "Call", 0);
  Database->StartTransaction();
  struct Refusal {
    const char* Operation;
    int32_t Code;
    std::function<void()> Run;
  };
  const std::vector<Refusal> refusals = {
      {"AddIndex", 20175, [&] { log->AddIndex("FreqIndex", "Freq", 0); }},
      {"DeleteIndex", 20177, [&] { log->DeleteIndex("CallIndex"); }},
      {"RenameField", 20179, [&] { log->RenameField("Name", "OpName"); }},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.Operation);
    EXPECT_EQ(RaisedMessage(r.Run), "Cannot perform '" + std::string(r.Operation) +
                                        "' operation on a database in transaction - Native error: " +
                                        std::to_string(r.Code));
    EXPECT_FALSE(log->Active());
  }
  Database->Commit(false);
  EXPECT_EQ(TableNames(), std::vector<std::string>{kLogTable});
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"PrimeIndex", "CallIndex"}));
  log->Open();
  EXPECT_NE(log->FindField("Name"), nullptr);
}

TEST_F(TableRestructureTest, AddIndexIsRefusedWhileAnotherProcessHasTheTableOpen) {
  Database.reset();
  const std::string path = Dir.File("multi.vlm");
  Database = MakeDatabase(path, true);
  auto log = Table();
  log->GetFieldDefs().Add("Call", qv::ftString, 10);
  log->GetFieldDefs().Add("Name", qv::ftString, 30);
  // The helper orders by this index.
  log->GetIndexDefs().Add("CallIndex", "Call", 0);
  log->CreateTable();

  {
    storage_test::Peer peer(path, "multi", "engine_tablepeer");
    ASSERT_EQ(peer.Greeting, "ready writable");
    storage_test::FastRetries retries;
    EXPECT_EQ(RaisedMessage([&] { log->AddIndex("NameIndex", "Name", 0); }),
              "Cannot access table 'V5LogTabl' in exclusive mode. Table is open by another user - Native error: "
              "20228");
    EXPECT_GT(retries.Sleeps, 0);
    EXPECT_EQ(IndexNames(*log), std::vector<std::string>{"CallIndex"});
    EXPECT_EQ(peer.Quit(), 0);
  }
  // This process's own open of the table does not stand in the way.
  log->Open();
  log->AddIndex("NameIndex", "Name", 0);
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"CallIndex", "NameIndex"}));
}

}  // namespace
