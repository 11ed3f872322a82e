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
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/components/VLMMainQuery.h"
#include "platform/dataset/Fields.h"
#include "tests/support/ScratchFolder.h"

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

// Runs vlmsql with options and the file on sql (its standard input).
inline ShellResult RunShell(const std::string& file, const std::string& sql,
                            const std::vector<std::string>& options = {}) {
  qv::test::ScratchFolder io;
  {
    std::ofstream(io.File("in"), std::ios::binary) << sql;
  }
  std::vector<std::string> args{QV_VLMSQL};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(file);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, io.File("in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, io.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, io.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ShellResult result;
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.Out = ReadFile(io.File("out"));
  result.Err = ReadFile(io.File("err"));
  return result;
}

// A database file in a scratch folder, made by the shell.
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
  int64_t Run(const std::string& sql) {
    Query->SetSQL(sql);
    Query->ExecSQL();
    return Query->RowsAffected();
  }
  std::vector<std::string> Rows(const std::string& table, const std::string& index = "") {
    return TableRows("SQLDB", table, index);
  }

  qv::test::ScratchFolder Folder;
  Runtime Up;
  std::unique_ptr<TVLMDatabase> Database;
  std::unique_ptr<TVLMQuery> Query;
};

}  // namespace sql_test
