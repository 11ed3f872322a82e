// What the SQL engine's tests share: the shell runner (vlmsql, built beside
// the tests), the scratch database every check of the SQL engine starts
// from, an in-process database with a query component, and the rows of a
// stored table as text.
//
//   auto db = sql_test::ScratchDatabase::WithSetup();   // the 9 setup rows
//   sql_test::ShellResult r = sql_test::RunShell(db.File(), "DROP TABLE dept");
//   EXPECT_EQ(r.Out, "OK 0\n");
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <map>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "platform/dataset/Fields.h"
#include "platform/host/StringList.h"
#include "platform/os/System.h"
#include "engine/core/VLMExcept.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "tests/engine/sql/SqlGenerator.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestBudget.h"

namespace sql_test {

// The setup of the SQL checks: two tables, 9 rows ("OK 9").
inline const char* const kSetupSql =
    "CREATE TABLE emp (id INTEGER NOT NULL, name VARCHAR(20), dept VARCHAR(10), salary INTEGER, mgr INTEGER, "
    "PRIMARY KEY (id));\n"
    "CREATE TABLE dept (code VARCHAR(10), title VARCHAR(20), budget INTEGER);\n"
    "INSERT INTO emp VALUES (1,'alice','eng',100,NULL),(2,'bob','eng',80,1),(3,'carol','ops',70,1),"
    "(4,'dave','ops',60,3),(5,'erin','sales',50,1),(6,'frank',NULL,40,NULL);\n"
    "INSERT INTO dept VALUES ('eng','Engineering',1000),('ops','Operations',500),('hr','Human Resources',200)\n";

struct ShellResult {
  int Status = -1;
  std::string Out;
  std::string Err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// vlmsql started with options, the file and the arguments after it, on sql
// (its standard input); Wait for what it did. The destructor waits too.
class ShellRun {
public:
  ShellRun(const std::string& file, const std::string& sql, const std::vector<std::string>& options = {},
           const std::vector<std::string>& after = {}) {
    {
      std::ofstream(Io_.File("in"), std::ios::binary) << sql;
    }
    std::vector<std::string> args{QV_VLMSQL};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(file);
    args.insert(args.end(), after.begin(), after.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, Io_.File("in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, Io_.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, Io_.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&Pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  }
  ~ShellRun() {
    if (Pid_ != 0) Wait();
  }
  ShellRun(const ShellRun&) = delete;
  ShellRun& operator=(const ShellRun&) = delete;

  ShellResult Wait() {
    int status = 0;
    while (waitpid(Pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Pid_ = 0;
    ShellResult result;
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.Out = ReadFile(Io_.File("out"));
    result.Err = ReadFile(Io_.File("err"));
    return result;
  }

private:
  qv::test::ScratchFolder Io_;
  pid_t Pid_ = 0;
};

// Runs vlmsql with options, the file and the arguments after it on sql (its
// standard input).
inline ShellResult RunShell(const std::string& file, const std::string& sql,
                            const std::vector<std::string>& options = {}, const std::vector<std::string>& after = {}) {
  return ShellRun(file, sql, options, after).Wait();
}

// A database file in a scratch folder, made by the shell.
// The rows of the shell's output (the header line dropped) joined by "; ".
inline std::string ShellRows(const std::string& out) {
  std::string rows;
  size_t at = out.find('\n');
  while (at != std::string::npos && at + 1 < out.size()) {
    const size_t end = out.find('\n', at + 1);
    rows += (rows.empty() ? "" : "; ") + out.substr(at + 1, end - at - 1);
    at = end;
  }
  return rows;
}

// A statement the shell refuses, and the start of its ERROR line.
struct Refusal {
  const char* Sql;
  std::string Err;
};

// Each statement on file fails with exit status 1 and an error line that
// starts as given.
inline void ExpectRefusals(const std::string& file, const std::vector<Refusal>& refusals) {
  for (const Refusal& c : refusals) {
    const ShellResult r = RunShell(file, c.Sql);
    EXPECT_EQ(r.Err.rfind(c.Err, 0), 0u) << c.Sql << ": " << r.Err;
    EXPECT_EQ(r.Status, 1) << c.Sql;
  }
}

class ScratchDatabase {
public:
  // An empty database.
  ScratchDatabase() {
    const ShellResult made = RunShell(File(), "", {"--create"});
    // An empty text is refused, but the file is made first.
    if (!std::ifstream(File())) throw std::runtime_error("vlmsql did not make " + File() + ": " + made.Err);
  }
  // The database with kSetupSql run on it.
  static std::unique_ptr<ScratchDatabase> WithSetup() {
    auto db = std::make_unique<ScratchDatabase>();
    const ShellResult setup = RunShell(db->File(), kSetupSql);
    if (setup.Out != "OK 9\n") throw std::runtime_error("setup failed: " + setup.Out + setup.Err);
    return db;
  }
  std::string File() const { return Folder_.File("sql.vlm"); }
  const qv::test::ScratchFolder& Folder() const { return Folder_; }

private:
  qv::test::ScratchFolder Folder_;
};

// The components' runtime for one test.
class Runtime {
public:
  Runtime() { TVLMComponentRuntime::Start(); }
  ~Runtime() { TVLMComponentRuntime::Shutdown(); }
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
};

// The rows of a stored table as "v|v|...", NULL for a null value, in its
// natural order (or that of index when given).
inline std::vector<std::string> TableRows(const std::string& databaseName, const std::string& tableName,
                                          const std::string& index = "") {
  TVLMTable table;
  table.SetDatabaseName(databaseName);
  table.SetTableName(tableName);
  if (!index.empty()) table.SetIndexName(index);
  table.Open();
  std::vector<std::string> rows;
  for (table.First(); !table.Eof(); table.Next()) {
    std::string row;
    for (int32_t i = 0; i < table.FieldCount(); ++i) {
      qv::Field& field = *table.GetFields()[i];
      if (i > 0) row += "|";
      row += field.IsNull() ? "NULL" : field.AsString();
    }
    rows.push_back(row);
  }
  return rows;
}

// While it lives, temporary tables spill into files at once (the memory
// the engine sees is 4 KB), in a folder of their own: Folder.
class SpilledTemporaryTables {
public:
  SpilledTemporaryTables() {
    const char* saved = std::getenv("TMPDIR");
    Had_ = saved != nullptr;
    if (Had_) Saved_ = saved;
    setenv("TMPDIR", Folder.Path().c_str(), 1);
    qv::SetAvailablePhysicalMemoryOverride(4096);
  }
  ~SpilledTemporaryTables() {
    qv::SetAvailablePhysicalMemoryOverride(-1);
    if (Had_)
      setenv("TMPDIR", Saved_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  SpilledTemporaryTables(const SpilledTemporaryTables&) = delete;
  SpilledTemporaryTables& operator=(const SpilledTemporaryTables&) = delete;

  qv::test::ScratchFolder Folder;

private:
  bool Had_ = false;
  std::string Saved_;
};

// A database component on a file of a scratch folder and a query on it, in
// this process: Run executes a text and answers the rows affected.
class QueryFixture : public ::testing::Test {
protected:
  void SetUp() override {
    Database = std::make_unique<TVLMDatabase>();
    Database->SetDatabaseName("SQLDB");
    Database->SetDatabaseFileName(Folder.File("q.vlm"));
    Database->SilentMode = true;
    Database->CreateDatabase();
    Query = std::make_unique<TVLMQuery>();
    Query->SetDatabaseName("SQLDB");
  }
  void TearDown() override {
    Query.reset();
    Database.reset();
  }
  // The database component again, on a fresh file, opened shared (other
  // processes may work on it) or alone; Query is gone.
  void Reopen(bool shared) {
    Query.reset();
    Database.reset();
    std::filesystem::remove(Folder.File("q.vlm"));
    for (const bool create : {true, false}) {
      Database.reset();
      Database = std::make_unique<TVLMDatabase>();
      Database->SetDatabaseName("SQLDB");
      Database->SetDatabaseFileName(Folder.File("q.vlm"));
      Database->SilentMode = true;
      Database->MultiUser = shared;
      if (create) Database->CreateDatabase();
    }
  }
  int64_t Run(const std::string& sql) {
    Query->SetSQL(sql);
    Query->ExecSQL();
    return Query->RowsAffected();
  }
  std::vector<std::string> Rows(const std::string& table, const std::string& index = "") {
    return TableRows("SQLDB", table, index);
  }
  // The rows of the open query from its current place on, "v|v" each
  // (NULL for a null).
  std::vector<std::string> ReadRows() {
    std::vector<std::string> rows;
    for (; !Query->Eof(); Query->Next()) {
      std::string row;
      for (int32_t i = 0; i < Query->FieldCount(); ++i) {
        qv::Field& field = *Query->GetFields()[i];
        row += (i > 0 ? "|" : "") + (field.IsNull() ? std::string("NULL") : field.AsString());
      }
      rows.push_back(row);
    }
    return rows;
  }
  // The rows of the query sql, which stays open afterwards.
  std::vector<std::string> Select(const std::string& sql) {
    Query->Close();
    Query->SetSQL(sql);
    Query->Open();
    Query->First();
    return ReadRows();
  }
  // The rows of the last statement of sql when it yields rows (none
  // otherwise); the query is closed afterwards.
  std::vector<std::string> FetchRows(const std::string& sql) {
    Query->SetSQL(sql);
    if (!Query->ExecuteForCursor()) return {};
    Query->Open();
    std::vector<std::string> rows = ReadRows();
    Query->Close();
    return rows;
  }
  // Generated texts of the given depth, each through run, until the budget
  // ends: only the engine's, the dataset layer's and the conversions' errors
  // may come out. A transaction a text left open ends now and then, as a
  // user would end it, and the generator learns which tables exist. At least
  // a fifth of the texts must run through.
  void RunGeneratedTexts(SqlGenerator& gen, const qv::test::TestBudget& budget, int depth,
                         const std::function<void(const std::string&)>& run) {
    std::map<std::string, int> outcomes;
    uint64_t i = 0;
    for (; budget.Continue(i); ++i) {
      gen.InTransaction = Database->InTransaction();
      const std::string text = gen.Text(depth);
      try {
        run(text);
        ++outcomes["ok"];
      } catch (const EVLMException& e) {
        ++outcomes["engine " + std::to_string(e.NativeError)];
      } catch (const qv::EDatabaseError&) {
        ++outcomes["dataset"];
      } catch (const qv::EVariantError&) {
        // A value the field cannot take, refused by the field's conversion.
        ++outcomes["conversion"];
      } catch (const qv::EConvertError&) {
        ++outcomes["conversion"];
      } catch (const std::exception& e) {
        ADD_FAILURE() << "[" << text << "]: " << typeid(e).name() << " " << e.what();
      }
      Query->Close();
      if (Database->InTransaction() && gen.Chance(0.3)) Database->Rollback();
      gen.Reconcile([&](const SqlGenerator::Table& t) {
        TVLMTable table;
        table.SetDatabaseName(t.Memory ? "MEMORY" : "SQLDB");
        table.SetTableName(t.StoredName);
        return table.Exists();
      });
    }
    if (Database->InTransaction()) Database->Rollback();
    Query->Disconnect();
    EXPECT_GT(outcomes["ok"], static_cast<int>(i / 5)) << "too few texts ran through";
    std::string summary;
    for (const auto& [kind, count] : outcomes) summary += kind + ":" + std::to_string(count) + " ";
    ::testing::Test::RecordProperty("outcomes", summary);
  }
  // How many tables whose names start with prefix are left in "TEMP".
  static int32_t TemporaryTables(const std::string& prefix = "TEMPORARY_TABLE_") {
    TVLMDatabase temp;
    temp.SetDatabaseName("TEMPCHECK");
    temp.SetDatabaseFileName("TEMP");
    qv::StringList names;
    temp.GetTableNames(names);
    int32_t count = 0;
    for (const std::string& name : names) count += name.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }

  qv::test::ScratchFolder Folder;
  Runtime Up;
  std::unique_ptr<TVLMDatabase> Database;
  std::unique_ptr<TVLMQuery> Query;
};

}  // namespace sql_test
