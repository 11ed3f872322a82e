// The table component's structure changes on database files: a field
// renamed, indexes added and removed (also while another process has the
// table open), the refusals inside a transaction, and the restructure that
// rebuilds a table, keeping its records when it succeeds and when it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"
#include "tests/engine/components/DataSetTestSupport.h"
#include "tests/engine/components/LogFileSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

namespace {

using dataset_test::Column;
using qv::test::RaisedMessage;

// The names the two-process helper opens.
constexpr const char* kLogTable = "V5LogTabl";

class TableRestructureTest : public ::testing::Test {
protected:
  void SetUp() override { Database = logfile_test::Database(Dir.File("log.vlm")); }

  static std::unique_ptr<TVLMTable> Table() { return logfile_test::Table("Log", kLogTable); }
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
  // The log table the two-process helper opens, made (empty) and closed.
  static std::unique_ptr<TVLMTable> PeerLog() {
    auto log = Table();
    log->GetFieldDefs().Add("Call", qv::ftString, 10);
    log->GetFieldDefs().Add("Name", qv::ftString, 30);
    // The helper orders by this index.
    log->GetIndexDefs().Add("CallIndex", "Call", 0);
    log->CreateTable();
    return log;
  }
  std::vector<std::string> TableNames() {
    qv::StringList names;
    Database->GetTableNames(names);
    std::vector<std::string> out;
    for (int32_t i = 0; i < names.Count(); ++i) out.push_back(names[i]);
    std::sort(out.begin(), out.end());
    return out;
  }
  // The restructure field definitions rebuilt in the order of names: an
  // existing definition (by its present name) is copied, with what edit
  // changes; a name that is none gets a new text field of size 8.
  static void Reshape(TVLMTable& table, const std::vector<std::string>& names,
                      const std::function<void(TVLMAdvFieldDef&)>& edit = nullptr) {
    TVLMAdvFieldDefs shaped;
    for (const std::string& name : names) {
      TVLMAdvFieldDef& def = *shaped.Add();
      if (const TVLMAdvFieldDef* old = table.RestructureFieldDefs.Find(name)) {
        def.Assign(*old);
      } else {
        def.Name = name;
        def.DataType = dtString;
        def.Size = 8;
      }
      if (edit) edit(def);
    }
    table.RestructureFieldDefs.Assign(shaped);
  }
  // The rows as "field=value ..." in the table's field order.
  static std::vector<std::string> Rows(TVLMTable& table) {
    std::vector<std::string> rows;
    for (table.First(); !table.Eof(); table.Next()) {
      std::string row;
      for (const auto& field : table.GetFields()) {
        if (!row.empty()) row += ' ';
        row += field->FieldName() + "=" + (field->IsNull() ? std::string("null") : field->AsString());
      }
      rows.push_back(row);
    }
    return rows;
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

TEST_F(TableRestructureTest, FieldRenameAndIndexesAndTheirRefusals) {
  auto log = FilledLog();
  log->RenameField("Name", "OpName");
  EXPECT_FALSE(log->Active());
  EXPECT_FALSE(log->Exclusive);
  // On the closed table through a cursor of its own, on the open one
  // through its cursor; either way the new index serves at once.
  log->AddIndex("CallIndex", "Call", 0);
  log->Open();
  EXPECT_EQ(Rows(*log)[0], "QsoID=1 Call=K1ABC Freq=14025 OpName=Al Notes=note K1ABC");
  log->AddIndex("FreqIndex", "Freq", qv::ixDescending);
  log->SetIndexName("FreqIndex");
  EXPECT_EQ(Column(*log, "Call"), (std::vector<std::string>{"W2XYZ", "N3Q", "K1ABC"}));
  log->SetIndexName("");
  log->DeleteIndex("FreqIndex");
  log->Close();
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"PrimeIndex", "CallIndex"}));

  std::string text;
  struct Refusal {
    const char* What;
    std::function<void()> Run;
    std::string Message;
  };
  auto inTransaction = [](const char* operation, int32_t code) {
    return "Cannot perform '" + std::string(operation) +
           "' operation on a database in transaction - Native error: " + std::to_string(code);
  };
  const std::vector<Refusal> refusals = {
      {"index without name", [&] { log->AddIndex("", "Call", 0); }, "Invalid index name '' - Native error: 20046"},
      {"index without fields", [&] { log->AddIndex("X", "", 0); }, "Cannot find index field '' - Native error: 20047"},
      {"missing field", [&] { log->RenameField("Band", "X"); }, "Field 'Band' not found - Native error: 30343"},
      {"AddIndex", [&] { log->AddIndex("FreqIndex", "Freq", 0); }, inTransaction("AddIndex", 20175)},
      {"DeleteIndex", [&] { log->DeleteIndex("CallIndex"); }, inTransaction("DeleteIndex", 20177)},
      {"RenameField", [&] { log->RenameField("OpName", "Name"); }, inTransaction("RenameField", 20179)},
      {"RestructureTable", [&] { log->RestructureTable(text); }, inTransaction("RestructureTable", 20180)},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.What);
    if (r.Message.find("transaction") != std::string::npos && !Database->InTransaction())
      Database->StartTransaction();
    EXPECT_EQ(RaisedMessage(r.Run), r.Message);
    EXPECT_FALSE(log->Active());
  }
  Database->Commit(false);
  EXPECT_EQ(TableNames(), std::vector<std::string>{kLogTable});
  EXPECT_EQ(IndexNames(*log), (std::vector<std::string>{"PrimeIndex", "CallIndex"}));
  log->Open();
  EXPECT_NE(log->FindField("OpName"), nullptr);
}

TEST_F(TableRestructureTest, AddIndexIsRefusedWhileAnotherProcessHasTheTableOpen) {
  Database.reset();
  const std::string path = Dir.File("multi.vlm");
  Database = logfile_test::Database(path);
  Database->MultiUser = true;
  auto log = PeerLog();

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

TEST_F(TableRestructureTest, ARestructureKeepsEveryRowAndMatchesFieldsByIdentity) {
  auto log = FilledLog();
  // Name first and wider, Freq renamed, Notes dropped, Band added: neither
  // the position nor the name of a field leads its values.
  Reshape(*log, {"Name", "QsoID", "Call", "Freq", "Band"}, [](TVLMAdvFieldDef& def) {
    if (def.Name == "Name") def.Size = 20;
    if (def.Name == "Freq") def.Name = "Frequency";
  });
  std::vector<int32_t> percents;
  log->OnRestructureProgress = [&](TVLMTable&, int32_t percent, bool&) { percents.push_back(percent); };
  std::string text;
  EXPECT_TRUE(log->RestructureTable(text));
  EXPECT_EQ(text, "");
  EXPECT_EQ(percents, (std::vector<int32_t>{33, 66, 99}));
  EXPECT_EQ(log->TableName(), kLogTable);
  EXPECT_EQ(TableNames(), std::vector<std::string>{kLogTable});
  EXPECT_EQ(IndexNames(*log), std::vector<std::string>{"PrimeIndex"});

  log->Open();
  EXPECT_EQ(Rows(*log), (std::vector<std::string>{"Name=Al QsoID=1 Call=K1ABC Frequency=14025 Band=null",
                                                  "Name=Bo QsoID=2 Call=W2XYZ Frequency=7040 Band=null",
                                                  "Name=Cy QsoID=3 Call=N3Q Frequency=3550 Band=null"}));
  // The wider field takes what the old one could not; the numbering goes on.
  log->Append();
  log->FieldByName("Name")->SetAsString("Alexandra");
  log->Post();
  EXPECT_EQ(Rows(*log).back(), "Name=Alexandra QsoID=4 Call=null Frequency=null Band=null");
}

TEST_F(TableRestructureTest, AFailedRestructureLeavesTheTableUnderItsNameWithItsRows) {
  struct Failure {
    const char* What;
    std::function<void(TVLMTable&)> Edit;
    bool Raises;
    const char* LogText;
  };
  const std::vector<Failure> failures = {
      {"a text field of size 0",
       [](TVLMTable& t) { Reshape(t, {"QsoID", "Call", "Name"}, [](TVLMAdvFieldDef& d) { d.Size = 0; }); }, false,
       "Error restructuring table. Cannot create table due to error: Cannot create table 'V5LogTabl' with field: "
       "Call"},
      {"a call sign that is no number",
       [](TVLMTable& t) {
         Reshape(t, {"QsoID", "Call"}, [](TVLMAdvFieldDef& d) {
           if (d.Name == "Call") d.DataType = dtInteger;
         });
       },
       true, "Record #1, field 'Call' was copied with Null value"},
      {"stopped after the first record",
       [](TVLMTable& t) {
         Reshape(t, {"QsoID", "Call", "Band"});
         t.OnRestructureProgress = [](TVLMTable&, int32_t, bool& go) { go = false; };
       },
       false, "\r\nTerminated by User."},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.What);
    auto log = FilledLog();
    log->Open();
    const std::vector<std::string> before = Rows(*log);
    log->Close();
    f.Edit(*log);
    std::string text;
    if (f.Raises)
      EXPECT_THROW(log->RestructureTable(text), qv::Exception);
    else
      EXPECT_FALSE(log->RestructureTable(text));
    EXPECT_NE(text.find(f.LogText), std::string::npos) << text;
    EXPECT_EQ(log->TableName(), kLogTable);
    EXPECT_FALSE(log->Active());
    EXPECT_EQ(TableNames(), std::vector<std::string>{kLogTable});
    log->Open();
    EXPECT_EQ(Rows(*log), before);
  }
}

// The copy complete, a restructure has taken effect: an old table that
// cannot be deleted (another component holds it open) is left with a
// warning, and the next restructure of the table deletes it first, unless
// it holds more records than the table (a failed restructure's leftover).
TEST_F(TableRestructureTest, AnOldCopyThatCannotBeDeletedIsAWarningAndTheNextRestructureRemovesIt) {
  auto log = FilledLog();
  Reshape(*log, {"QsoID", "Call", "Freq", "Name", "Notes", "Band"});
  std::unique_ptr<TVLMTable> holder;
  std::string oldName;
  log->AfterRestructure = [&](TVLMTable& table) {
    oldName = table.TableName();
    holder = logfile_test::Table("Log", oldName);
    holder->Open();
  };
  std::string text;
  EXPECT_TRUE(log->RestructureTable(text));
  ASSERT_EQ(oldName.rfind("OLD_V5LogTabl_{", 0), 0u) << oldName;
  EXPECT_EQ(text.rfind("Warning: table 'V5LogTabl' was restructured, but its old copy '" + oldName +
                           "' could not be deleted due to error: ",
                       0),
            0u)
      << text;
  EXPECT_EQ(log->TableName(), kLogTable);
  EXPECT_EQ(TableNames(), (std::vector<std::string>{oldName, kLogTable}));
  holder.reset();

  // A leftover with more records than the table stays.
  const std::string keep = "OLD_V5LogTabl_{00000000-0000-4000-8000-000000000001}";
  {
    auto other = logfile_test::Table("Log", keep);
    other->GetFieldDefs().Add("Call", qv::ftString, 10);
    other->CreateTable();
    other->Open();
    for (int i = 0; i < 4; ++i) {
      other->Append();
      other->FieldByName("Call")->SetAsString("K" + std::to_string(i));
      other->Post();
    }
  }
  log->AfterRestructure = nullptr;
  Reshape(*log, {"QsoID", "Call", "Freq", "Name", "Band"});
  text.clear();
  EXPECT_TRUE(log->RestructureTable(text));
  EXPECT_EQ(text, "");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{keep, kLogTable}));
  log->Open();
  EXPECT_EQ(Rows(*log).size(), 3u);
}

// A restructure cut short leaves its tables under names that tell its step
// (OLD_ the user's table, NEW_ the rebuilt one, one GUID for both); the next
// connect finishes it: the user's table back under its name, or the rebuilt
// one kept, and never a table dropped that may hold the only copy of the
// records. Each table is given with its record count.
TEST_F(TableRestructureTest, TheNextConnectFinishesARestructureCutShort) {
  const std::string t = kLogTable, g1 = "_{00000000-0000-4000-8000-000000000001}",
                    g2 = "_{00000000-0000-4000-8000-000000000002}";
  const std::string old1 = "OLD_" + t + g1, new1 = "NEW_" + t + g1, old2 = "OLD_" + t + g2, new2 = "NEW_" + t + g2;
  using Tables = std::vector<std::pair<std::string, int>>;
  struct Case {
    const char* What;
    Tables Before, After;
  };
  const Case cases[] = {
      {"cut during the copy", {{old1, 3}, {new1, 1}}, {{t, 3}}},
      {"cut before the old table was renamed", {{t, 3}, {new1, 0}}, {{t, 3}}},
      {"cut before the old table was dropped", {{old1, 3}, {t, 3}}, {{t, 3}}},
      {"an old table with more records than the table", {{old1, 4}, {t, 3}}, {{old1, 4}, {t, 3}}},
      {"an old table alone", {{old1, 4}}, {{t, 4}}},
      {"two old tables alone", {{old1, 3}, {old2, 4}}, {{old1, 3}, {old2, 4}}},
      {"a new table alone", {{new1, 2}}, {{new1, 2}}},
      {"cut beside an earlier leftover", {{old1, 4}, {old2, 3}, {new2, 1}}, {{old1, 4}, {t, 3}}},
  };
  const std::string file = Dir.File("cut.vlm");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Database.reset();
    qv::DeleteFile(file);
    Database = logfile_test::Database(file);
    for (const auto& [name, rows] : c.Before) {
      auto table = Table();
      table->SetTableName(name);
      table->GetFieldDefs().Add("Call", qv::ftString, 10);
      table->CreateTable();
      table->Open();
      for (int i = 0; i < rows; ++i) {
        table->Append();
        table->FieldByName("Call")->SetAsString("K" + std::to_string(i));
        table->Post();
      }
    }
    Database->SetConnected(false);
    Tables after;
    for (const std::string& name : TableNames()) {
      auto table = Table();
      table->SetTableName(name);
      table->Open();
      after.emplace_back(name, table->RecordCount());
    }
    EXPECT_EQ(after, c.After);
  }
}

// A restructure cut short (its table set aside, the copy begun) while
// another process holds the old table open: a connect meanwhile cannot
// finish it, and opening the table, through the component or SQL, names the
// step and the table with the rows; nothing is dropped. Once the holder lets
// go, the next connect that may write finishes it: another process's, or
// one of this process beside its connections that met it. A restructure
// under way in another connection is reported as such.
TEST_F(TableRestructureTest, ARestructureNoConnectCanFinishIsReportedUntilAConnectFinishesIt) {
  const std::string old = "OLD_Stations_{00000000-0000-4000-8000-000000000001}",
                    fresh = "NEW_Stations_{00000000-0000-4000-8000-000000000001}";
  const std::string report =
      "Table 'Stations' cannot be opened: its restructure stopped at step 'table set aside' and is not finished; "
      "its rows are in table '" + old + "' - Native error: 20613";
  for (const bool peerFinishes : {true, false}) {
    SCOPED_TRACE(peerFinishes ? "another process finishes" : "a third connection of this process finishes");
    Database.reset();
    const std::string path = Dir.File(peerFinishes ? "held1.vlm" : "held2.vlm");
    Database = logfile_test::Database(path);
    Database->MultiUser = true;
    PeerLog();
    logfile_test::MakeLog("Log", 5, "Stations");
    const std::vector<std::string> rows = logfile_test::RowsOf("Log", "Stations");
    storage_test::Peer peer(path, "multi", "engine_tablepeer");
    ASSERT_EQ(peer.Greeting, "ready writable");
    logfile_test::Table("Log", "Stations")->RenameTable(old);
    logfile_test::MakeLog("Log", 2, fresh);
    ASSERT_EQ(peer.Ask("hold " + old), "ok");

    storage_test::FastRetries retries;
    auto second = logfile_test::Database(path, "Second");
    second->MultiUser = true;
    second->SetConnected(true);
    EXPECT_EQ(RaisedMessage([&] { logfile_test::Table("Second", "Stations")->Open(); }), report);
    TVLMQuery query;
    query.SetDatabaseName("Second");
    query.SetSQL("SELECT COUNT(*) FROM Stations");
    EXPECT_EQ(RaisedMessage([&] { query.Open(); }),
              "Error on opening table \"Stations\" in SQL query: " + report + " - Native error: 10303");
    EXPECT_EQ(TableNames(), (std::vector<std::string>{fresh, old, kLogTable}));

    ASSERT_EQ(peer.Ask("release"), "ok");
    std::unique_ptr<TVLMDatabase> third;
    if (peerFinishes) {
      EXPECT_EQ(peer.Ask("reconnect"), "ready writable");
    } else {
      third = logfile_test::Database(path, "Third");
      third->MultiUser = true;
      third->SetConnected(true);
    }
    EXPECT_EQ(TableNames(), (std::vector<std::string>{"Stations", kLogTable}));
    EXPECT_EQ(logfile_test::RowsOf("Second", "Stations"), rows);
    if (peerFinishes) continue;

    // One under way in another connection (the open meets it during the
    // copy) is no restructure that stopped: the open says so.
    auto stations = logfile_test::Table("Log", "Stations");
    stations->Open();
    stations->Close();
    Reshape(*stations, {"ID", "Call", "Notes", "Band"});
    std::string during;
    stations->OnRestructureProgress = [&](TVLMTable&, int32_t, bool&) {
      if (during.empty())
        during = std::regex_replace(RaisedMessage([&] { logfile_test::Table("Second", "Stations")->Open(); }),
                                    std::regex("\\{[-0-9A-F]{36}\\}"), "{G}");
    };
    std::string text;
    EXPECT_TRUE(stations->RestructureTable(text));
    EXPECT_EQ(during,
              "Table 'Stations' cannot be opened now: another connection is restructuring it; its rows are in "
              "table 'OLD_Stations_{G}' until it is done - Native error: 20940");
    EXPECT_EQ(logfile_test::RowsOf("Second", "Stations"), rows);
  }
}

// A restructure that adds a field, through the table component and as
// ALTER TABLE ... ADD, on a disk that refuses every write from the k-th on,
// for two writes or for good: 14 points spread over the whole operation on
// a table of 300 records (the new table made, the old one renamed, each
// batch of the copy committed, with batches of 16 pages), and 8 after the
// copy of a table of 20 (each write of the new table's rename, two of the
// old table's drop). The copy of 300 records takes fewer writes than
// records (it commits in batches). The operation succeeds
// or says that it failed. Read at once through the same connection, the
// table is whole or refused after the failed commit (10600); opened again,
// it is whole under its name, in the old structure or (once the new table
// had the name) the new one, with no table beside it.
TEST_F(TableRestructureTest, ARestructureOnAFullDiskLeavesTheTableWholeUnderItsName) {
  const std::string work = Dir.File("work.vlm");
  auto makeBase = [&](int rows) {
    const std::string file = Dir.File("base" + std::to_string(rows) + ".vlm");
    Database.reset();
    Database = logfile_test::Database(file);
    auto table = Table();
    logfile_test::DefineLog(*table);
    table->CreateTable();
    table->Open();
    logfile_test::AddRows(*table, rows);
    return file;
  };
  const std::string big = makeBase(300), small = makeBase(20);
  // "old whole" or "new whole" (the added field is there) when the rows are
  // those of the base, else the row count; or "error CODE".
  int rows = 0;
  auto outcome = [&](const char* added) -> std::string {
    try {
      auto table = Table();
      table->Open();
      std::vector<std::string> seen, expected;
      for (table->First(); !table->Eof(); table->Next())
        seen.push_back(table->FieldByName("ID")->AsString() + " " + table->FieldByName("Call")->AsString());
      for (int id = 1; id <= rows; ++id) expected.push_back(std::to_string(id) + " C" + std::to_string(id));
      const std::string shape = table->FindField(added) != nullptr ? "new" : "old";
      return shape + (seen == expected ? " whole" : " with " + std::to_string(seen.size()) + " rows");
    } catch (const EVLMException& e) {
      return "error " + std::to_string(e.NativeError);
    }
  };
  int64_t copied = 0;  // the write count when the copy ended
  struct Operation {
    const char* Name;
    const char* Added;
    std::function<void()> Run;  // raises, or returns false, when it fails
  };
  const Operation operations[] = {
      {"RestructureTable", "Band",
       [&] {
         auto table = Table();
         table->Open();
         table->Close();
         Reshape(*table, {"ID", "Call", "Notes", "Band"});
         table->AfterRestructure = [&](TVLMTable&) { copied = qv::FileWriteCount(); };
         std::string text;
         if (!table->RestructureTable(text)) throw std::runtime_error("RestructureTable failed: " + text);
       }},
      {"ALTER TABLE", "x",
       [&] {
         TVLMQuery query;
         query.SetDatabaseName("Log");
         query.SetSQL(std::string("ALTER TABLE ") + kLogTable + " ADD (x INTEGER)");
         query.ExecSQL();
       }},
  };
  auto reset = [&](const std::string& base) {
    Database.reset();
    ASSERT_TRUE(qv::CopyFile(base, work, false));
    Database = logfile_test::Database(work);
    rows = base == big ? 300 : 20;
  };
  const TVLMRetrySettings saved = VLMRetrySettings();
  VLMChangeRetrySettings().CopyBatchBytes = 16 * 1024;
  auto restore = qv::ScopeExit([&] { VLMChangeRetrySettings() = saved; });
  // The writes of the whole operation on a table.
  auto writesOf = [&](const Operation& op, const std::string& base) {
    reset(base);
    const int64_t before = qv::FileWriteCount();
    op.Run();
    return qv::FileWriteCount() - before;
  };
  int failed = 0;
  int64_t tail = 0;  // the writes after the copy
  auto budget = qv::test::TestBudget::Steps(200, 20);
  uint64_t step = 0;
  for (const Operation& op : operations) {
    const int64_t bigWrites = writesOf(op, big);
    ASSERT_EQ(outcome(op.Added), "new whole") << op.Name;
    EXPECT_LT(bigWrites, 300) << op.Name;
    const int64_t writes = writesOf(op, small);
    if (tail == 0) tail = qv::FileWriteCount() - copied;
    ASSERT_EQ(outcome(op.Added), "new whole") << op.Name;
    ASSERT_GT(tail, 12) << op.Name;
    std::vector<std::pair<std::string, int64_t>> points;
    for (int64_t i = 0; i < 14; ++i) points.emplace_back(big, 1 + (bigWrites - 1) * i / 13);
    const int64_t first = writes - tail + 1;
    for (int64_t k = first; k < first + 6; ++k) points.emplace_back(small, k);
    points.emplace_back(small, first + tail / 2);
    points.emplace_back(small, writes);
    for (const qv::FileFault mode : {qv::FileFault::FailTwice, qv::FileFault::FailFrom}) {
      for (const auto& [base, k] : points) {
        if (!budget.Continue(step++)) break;
        reset(base);
        const std::string what = std::string(op.Name) +
                                 (mode == qv::FileFault::FailFrom ? ", for good" : ", two writes") + " from write " +
                                 std::to_string(k) + ", " + std::to_string(rows) + " rows";
        std::string error;
        qv::SetFileFaultAfter(k, mode);
        try {
          op.Run();
        } catch (const std::exception& e) {
          error = e.what();
        }
        qv::SetFileFaultAfter(0, mode);
        failed += error.empty() ? 0 : 1;
        const std::string now = outcome(op.Added);
        if (error.empty())
          EXPECT_TRUE(now == "new whole" || now == "error 10600") << what << ": " << now;
        else
          EXPECT_TRUE(now == "old whole" || now == "new whole" || now == "error 10600")
              << what << ": " << now << "; " << error;
        Database->SetConnected(false);
        const std::string after = outcome(op.Added);
        if (error.empty())
          EXPECT_EQ(after, "new whole") << what;
        else
          EXPECT_TRUE(after == "old whole" || after == "new whole") << what << ": " << after << "; " << error;
        EXPECT_EQ(TableNames(), std::vector<std::string>{kLogTable}) << what;
      }
    }
  }
  EXPECT_GT(failed, 0);
}

}  // namespace
