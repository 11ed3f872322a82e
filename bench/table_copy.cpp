// Whole-table work against SQLite doing the same on the same rows, in the
// same run and on the same disk:
//
//   repair     RepairDatabase of the file (every table rebuilt into a new
//              file that takes its name)          SQLite: VACUUM INTO
//   copy       CopyTable into a new table of the same file
//              SQLite: CREATE TABLE, INSERT ... SELECT, CREATE INDEX
//   copy file  CopyTable into a new table of another file
//              SQLite: the same into an attached file
//   import     ImportTable from the table component into a new table
//              SQLite: as copy
//   empty      EmptyTable of a table of the rows  SQLite: DELETE FROM
//   drop       DeleteTable of a table of the rows SQLite: DROP TABLE
//
// The table is the log of the table benchmarks (QsoID key, an index on
// Call, nine columns). Both sides flush their commits (the engine's
// SyncOnCommit, SQLite's synchronous FULL; each SQLite operation is one
// transaction). Each line gives the time of both, the engine's per row and
// its flushes (fdatasync) per 2,000 rows, and the engine's time over
// SQLite's; the sizes show how the cost grows (linear: the same time per
// row at both).
//
// Usage: bench_table_copy [--ops repair,copy,file,import,empty,drop] [ROWS...]
//        (every operation; 10000 100000)
// For instruction counts run one operation under callgrind, counting inside
// it alone, e.g.
//   valgrind --tool=callgrind --toggle-collect='TVLMTable::DeleteTable()'
//     bench_table_copy --ops drop 100000
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/Contacts.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"
#include "platform/os/File.h"

namespace {

constexpr const char* kTable = "V5LogTabl";

std::unique_ptr<TVLMTable> EngineTable(const std::string& database, const std::string& name) {
  auto table = std::make_unique<TVLMTable>();
  table->SetDatabaseName(database);
  table->SetTableName(name);
  return table;
}

void Connect(TVLMDatabase& database, const std::string& name, const std::string& path, bool create) {
  database.SetDatabaseName(name);
  database.SetDatabaseFileName(path);
  database.SilentMode = true;
  if (create) database.CreateDatabase();
  database.SetConnected(true);
}

// Log table name of rows, committed in one transaction.
void MakeEngineLog(TVLMDatabase& database, const std::vector<LogRow>& rows, const std::string& name = kTable) {
  auto table = EngineTable(database.DatabaseName(), name);
  DefineBenchLog(*table);
  table->CreateTable();
  table->Open();
  database.StartTransaction();
  for (const LogRow& row : rows) PostBenchLog(*table, row);
  database.Commit(false);
  table->Close();
}

int64_t RecordCount(const std::string& database, const std::string& name) {
  auto table = EngineTable(database, name);
  table->Open();
  return table->RecordCount();
}

class Lite : public SqliteFile {
public:
  Lite(const std::string& path, const std::vector<LogRow>& rows) : SqliteFile(path) {
    Exec("PRAGMA synchronous=FULL");
    MakeLog(rows);
  }
  // The log copied into table name of schema ("main" or an attached file).
  void Copy(const std::string& schema, const std::string& name) {
    Exec("BEGIN");
    Exec(("CREATE TABLE " + schema + "." + name + "(" + kSqliteLogColumns + ")").c_str());
    Exec(("INSERT INTO " + schema + "." + name + " SELECT * FROM main.log").c_str());
    Exec(("CREATE INDEX " + schema + "." + name + "Call ON " + name + "(Call)").c_str());
    Exec("COMMIT");
  }
  void Run(const std::string& sql) { Exec(sql.c_str()); }
};

struct Figures {
  double Seconds = 0;
  int64_t Syncs = 0;
};

Figures Measure(const std::function<void()>& run) {
  const int64_t syncs = qv::FileSyncCount();
  Figures f;
  f.Seconds = Seconds(run);
  f.Syncs = qv::FileSyncCount() - syncs;
  return f;
}

void Report(const char* what, int32_t count, const Figures& engine, double sqlite) {
  const double perRow = count > 0 ? engine.Seconds * 1e6 / count : 0;
  const double syncs = count > 0 ? static_cast<double>(engine.Syncs) * 2000.0 / count : 0;
  std::printf("%-10s %8d %10.1f ms %8.2f us/row %9.1f %10.1f ms %8.1fx\n", what, count, engine.Seconds * 1e3, perRow,
              syncs, sqlite * 1e3, sqlite > 0 ? engine.Seconds / sqlite : 0);
  std::fflush(stdout);
}

bool Wanted(const std::vector<std::string>& ops, const char* op) {
  if (ops.empty()) return true;
  for (const std::string& o : ops)
    if (o == op) return true;
  return false;
}

void RunSize(const std::string& folder, int32_t count, const std::vector<std::string>& ops) {
  const std::vector<LogRow> rows = MakeLogRows(count, 29);
  const std::string tag = folder + "/r" + std::to_string(count);
  const std::string dbName = "Bench" + std::to_string(count);
  auto database = std::make_unique<TVLMDatabase>();
  Connect(*database, dbName, tag + ".vlm", true);
  MakeEngineLog(*database, rows);
  Lite lite(tag + ".db", rows);
  lite.Run("ATTACH DATABASE '" + tag + "-other.db' AS other");
  {
    TVLMDatabase other;
    Connect(other, "Other" + std::to_string(count), tag + "-other.vlm", true);
  }
  auto check = [&](const std::string& name) {
    if (RecordCount(dbName, name) != count) throw std::runtime_error("the copy " + name + " lost rows");
  };
  bool cont = true;
  std::string log;
  auto copyTo = [&](const std::string& name, const std::string& file) {
    auto source = EngineTable(dbName, kTable);
    if (!source->CopyTable(name, log, cont, file)) throw std::runtime_error("CopyTable failed: " + log);
  };
  if (Wanted(ops, "repair")) {
    database->SetConnected(false);
    const Figures e = Measure([&] {
      std::string errorText;
      if (!database->RepairDatabase(errorText)) throw std::runtime_error("RepairDatabase failed: " + errorText);
    });
    database->SetConnected(true);
    check(kTable);
    Report("repair", count, e, Seconds([&] { lite.Run("VACUUM INTO '" + tag + "-vacuum.db'"); }));
  }
  if (Wanted(ops, "copy")) {
    const Figures e = Measure([&] { copyTo("Copy1", ""); });
    check("Copy1");
    Report("copy", count, e, Seconds([&] { lite.Copy("main", "copy1"); }));
  }
  if (Wanted(ops, "file")) {
    const Figures e = Measure([&] { copyTo(kTable, tag + "-other.vlm"); });
    Report("copy file", count, e, Seconds([&] { lite.Copy("other", "log"); }));
  }
  if (Wanted(ops, "import")) {
    auto source = EngineTable(dbName, kTable);
    source->Open();
    auto target = EngineTable(dbName, "Imported");
    const Figures e = Measure([&] {
      if (!target->ImportTable(*source, log)) throw std::runtime_error("ImportTable failed: " + log);
    });
    source->Close();
    check("Imported");
    Report("import", count, e, Seconds([&] { lite.Copy("main", "imported"); }));
  }
  if (Wanted(ops, "empty")) {
    MakeEngineLog(*database, rows, "Copy2");
    lite.Copy("main", "copy2");
    const Figures e = Measure([&] { EngineTable(dbName, "Copy2")->EmptyTable(); });
    if (RecordCount(dbName, "Copy2") != 0) throw std::runtime_error("EmptyTable left rows");
    Report("empty", count, e, Seconds([&] { lite.Run("DELETE FROM copy2"); }));
  }
  if (Wanted(ops, "drop")) {
    MakeEngineLog(*database, rows, "Copy3");
    lite.Copy("main", "copy3");
    const Figures e = Measure([&] { EngineTable(dbName, "Copy3")->DeleteTable(); });
    Report("drop", count, e, Seconds([&] { lite.Run("DROP TABLE copy3"); }));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int32_t> sizes;
  std::vector<std::string> ops;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ops") == 0 && i + 1 < argc) {
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        const size_t comma = std::min(list.find(',', at), list.size());
        ops.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
      continue;
    }
    sizes.push_back(std::atoi(argv[i]));
  }
  if (sizes.empty()) sizes = {10000, 100000};
  std::printf("%-10s %8s %13s %14s %9s %13s %9s\n", "operation", "rows", "engine", "per row", "syncs/2k", "sqlite",
              "ratio");
  return RunInBenchFolder("qvtablecopy", [&](const std::string& folder) {
    for (int32_t count : sizes) RunSize(folder, count, ops);
  });
}
