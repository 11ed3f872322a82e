// The whole-file check of a log file (TVLMDatabase::CheckDatabaseFile),
// against SQLite's own check of the same rows (PRAGMA integrity_check), in
// the same run and on the same disk.
//
// The table is the log of the table benchmarks (QsoID key, an index on
// Call, nine columns), filled in one transaction. Each check runs three
// times, the two sides in turn; each line gives the median times, the
// engine's over SQLite's, the time per page of the engine's file and the
// bytes the check read over the file's size (one read of every page is 1).
// The sizes show how the cost grows: linear in the file, the time per page
// stays.
//
// Usage: bench_file_check [ROWS...]   (20000 100000)
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/Contacts.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"

namespace {

constexpr int kRuns = 3;

// The bytes this process has read through read calls so far.
long long BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

void MakeEngineLog(const std::string& path, const std::vector<LogRow>& rows) {
  TVLMDatabase database;
  MakeBenchLogFile(database, path, rows);
}

class Lite : public SqliteFile {
public:
  Lite(const std::string& path, const std::vector<LogRow>& rows) : SqliteFile(path) {
    MakeLog(rows);
  }
  void Check() {
    sqlite3_stmt* check = Prepare("PRAGMA integrity_check");
    if (sqlite3_step(check) != SQLITE_ROW ||
        std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) != "ok")
      Fail("integrity_check");
    sqlite3_finalize(check);
  }
};

void Run(const std::string& folder, int32_t count) {
  const std::vector<LogRow> rows = MakeLogRows(count, 7);
  const std::string path = folder + "/log" + std::to_string(count) + ".vlm";
  MakeEngineLog(path, rows);
  Lite lite(folder + "/log" + std::to_string(count) + ".db", rows);
  const auto size = static_cast<double>(std::filesystem::file_size(path));
  std::vector<double> engine, sqlite;
  double readRatio = 0;
  for (int run = 0; run < kRuns; ++run) {
    const long long before = BytesRead();
    std::vector<std::string> problems;
    engine.push_back(Seconds([&] { problems = TVLMDatabase::CheckDatabaseFile(path); }));
    readRatio = static_cast<double>(BytesRead() - before) / size;
    if (!problems.empty()) throw std::runtime_error("the check found: " + problems.front());
    sqlite.push_back(Seconds([&] { lite.Check(); }));
  }
  const double e = SpreadOf(engine).Median, s = SpreadOf(sqlite).Median;
  const double pages = size / 4096;
  std::printf("%8d rows %8.0f pages  check %8.2f ms  SQLite %8.2f ms  x%5.2f  %6.2f us/page  read %4.2f x the file\n",
              count, pages, e * 1000, s * 1000, e / s, e * 1e6 / pages, readRatio);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int32_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {20000, 100000};
  return RunInBenchFolder("qvfilecheck", [&](const std::string& folder) {
    for (int32_t count : sizes) Run(folder, count);
  });
}
