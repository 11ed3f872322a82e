// Copying a table into its own database, another database file (with a
// password) and the memory database, with its refusals raised or logged;
// importing a table from a dataset of another kind.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "tests/support/MemDataSet.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/components/LogFileSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

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
}

}  // namespace
