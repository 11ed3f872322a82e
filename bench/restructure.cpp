// A table rebuilt under a new structure, against SQLite doing the same
// rebuild by hand on the same rows, in the same run and on the same disk:
//
//   ALTER TABLE ADD      ALTER TABLE V5LogTabl ADD (c2 INTEGER) through the
//                        query component
//   RestructureTable     the table component's restructure adding a field
//   SQLite               BEGIN; CREATE TABLE of the new shape; INSERT ...
//                        SELECT; CREATE INDEX on Call; DROP TABLE the old
//                        one; ALTER TABLE RENAME TO its name; COMMIT
//
// The table is the log of the table benchmarks (QsoID key, an index on Call,
// nine columns), filled in one transaction. Both sides flush their commits
// (the engine's SyncOnCommit, SQLite's synchronous FULL). Each rebuild runs
// three times, each adding a column, the two sides in turn; each line gives
// the median times of both, the engine's over SQLite's and the goal (at
// most 10 times);
// the sizes show how the cost grows. The peak memory of the process ends
// the run.
//
// Usage: bench_restructure [ROWS...]   (20000 100000)
#include <sqlite3.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/Contacts.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"

namespace {

constexpr double kGoal = 10.0;
// Timings of each rebuild, of which the median is reported.
constexpr int kRuns = 3;

class Lite : public SqliteFile {
public:
  Lite(const std::string& path, const std::vector<LogRow>& rows) : SqliteFile(path) {
    Exec("PRAGMA synchronous=FULL");
    MakeLog(rows);
  }
  // The rebuild by hand, adding column name.
  void Rebuild(const std::string& name) {
    Exec("BEGIN");
    Added_ += ", " + name + " INTEGER";
    Exec((std::string("CREATE TABLE log_new(") + kSqliteLogColumns + Added_ + ")").c_str());
    Exec("INSERT INTO log_new SELECT *, NULL FROM log");
    Exec("DROP TABLE log");
    Exec("ALTER TABLE log_new RENAME TO log");
    Exec("CREATE INDEX CallIndex ON log(Call)");
    Exec("COMMIT");
  }

private:
  std::string Added_;  // the columns the rebuilds added
};

void AlterAdd(const std::string& column) {
  TVLMQuery query;
  query.SetDatabaseName("Bench");
  query.SetSQL("ALTER TABLE V5LogTabl ADD (" + column + " INTEGER)");
  query.ExecSQL();
}

void RestructureAdd(const std::string& column) {
  TVLMTable table;
  table.SetDatabaseName("Bench");
  table.SetTableName("V5LogTabl");
  table.Open();
  table.Close();
  TVLMAdvFieldDef& added = *table.RestructureFieldDefs.Add();
  added.Name = column;
  added.DataType = dtInteger;
  std::string log;
  if (!table.RestructureTable(log)) throw std::runtime_error("RestructureTable failed: " + log);
}

// kRuns rebuilds by the engine's rebuild and SQLite's, each adding a column
// named prefix and the run; the two sides take turns, so that the load of a
// busy machine falls on both alike. The medians are reported.
void Compare(const char* what, int32_t count, const std::string& prefix,
             const std::function<void(const std::string&)>& engineRebuild, Lite& lite) {
  std::vector<double> engine, sqlite;
  for (int run = 0; run < kRuns; ++run) {
    std::string column = prefix;
    column += std::to_string(run);
    engine.push_back(Seconds([&] { engineRebuild(column); }));
    sqlite.push_back(Seconds([&] { lite.Rebuild(column); }));
  }
  const double e = SpreadOf(engine).Median, s = SpreadOf(sqlite).Median;
  std::printf("%-30s %8d %10.1f ms %8.1f ms %8.1fx (goal <= %.0fx)%s\n", what, count, e * 1e3, s * 1e3, e / s,
              kGoal, e / s <= kGoal ? "" : "  OVER");
}

void RunSize(const std::string& folder, int32_t count) {
  const std::vector<LogRow> rows = MakeLogRows(count, 29);
  const std::string tag = folder + "/r" + std::to_string(count);
  TVLMDatabase database;
  MakeBenchLogFile(database, tag + ".vlm", rows);
  Lite lite(tag + ".db", rows);
  Compare("ALTER TABLE ADD", count, "c", AlterAdd, lite);
  Compare("RestructureTable", count, "Band", RestructureAdd, lite);

  TVLMTable check;
  check.SetDatabaseName("Bench");
  check.SetTableName("V5LogTabl");
  check.Open();
  if (check.RecordCount() != count || check.FindField("c0") == nullptr || check.FindField("Band0") == nullptr)
    throw std::runtime_error("the rebuilt table lost rows or fields");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int32_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {20000, 100000};
  std::printf("%-30s %8s %13s %11s %9s\n", "rebuild", "rows", "engine", "sqlite", "ratio");
  const int rc = RunInBenchFolder("qvrestructure", [&](const std::string& folder) {
    for (int32_t count : sizes) RunSize(folder, count);
  });
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %ld KiB\n", usage.ru_maxrss);
  return rc;
}
