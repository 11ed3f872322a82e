// Log-shaped rows through the table component against SQLite on the same rows,
// in the same run and on the same disk, at 10,000, 100,000 and 1,000,000 rows
// (or the sizes given): inserts with a commit each and in one transaction,
// durable single-row commits, point lookups by QsoID and by call sign (10 %
// missing), ranges of 100 rows through the index on Call, full scans in
// physical and index order, the duplicate check on Call;Freq;Mode, and an
// indexed locate against a scan. With --multi-user the engine's database is
// opened multi-user and the run measures what that mode changes: the load in
// one transaction, the locates by Call and the scans, the last against a
// single-user scan of the same file.
//
// SQLite: page_size 4096, cache_size -262144, journal_mode DELETE; against
// the engine's SyncOnCommit off it runs synchronous OFF, against it on FULL.
// Each line prints operations per second of both, their ratio (engine rate /
// SQLite rate: above 1 the engine is faster), and for the figures with a goal
// the engine's time over SQLite's beside the goal. A read figure is the
// median of five timings; the run ends with the file sizes, the bytes written
// and the peak memory of the process.
//
// Usage: bench_table_component [--multi-user] [--durable N] [ROWS...]
//        (10000 100000 1000000 rows; 1000 durable commits; single-user)
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/Contacts.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/HostVariant.h"
#include "platform/os/System.h"

namespace {

using Row = LogRow;

// Bytes the process handed to write calls so far.
int64_t BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value)
    if (key == "wchar:") return value;
  return 0;
}

int64_t PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The median of five timings of run.
double Median5(const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) times.push_back(Seconds(run));
  std::sort(times.begin(), times.end());
  return times[2];
}

void Report(const char* what, double count, double engineSeconds, double sqliteSeconds) {
  const double engine = count / engineSeconds;
  const double sqlite = count / sqliteSeconds;
  std::printf("%-46s %12.0f %12.0f %8.2f\n", what, engine, sqlite, engine / sqlite);
}

// A figure with a goal on the engine's time over SQLite's.
void ReportTime(const char* what, double count, double engineSeconds, double sqliteSeconds, double goal,
                const char* unit = "us") {
  const double scale = std::strcmp(unit, "ms") == 0 ? 1e3 : 1e6;
  std::printf("%-46s %9.2f %s %9.2f %s  engine/sqlite time %.2f (goal <= %.1f)%s\n", what,
              engineSeconds * scale / count, unit, sqliteSeconds * scale / count, unit, engineSeconds / sqliteSeconds,
              goal, engineSeconds / sqliteSeconds <= goal ? "" : "  OVER");
}

// ---------------------------------------------------------------- engine

class Engine {
public:
  // A new database with the log table, or (create false) the one at path.
  Engine(const std::string& path, bool multiUser, bool create = true) {
    // Each engine its own database component name.
    static int32_t serial = 0;
    const std::string name = "Bench" + std::to_string(++serial);
    Database_.SetDatabaseName(name);
    Database_.SetDatabaseFileName(path);
    Database_.MultiUser = multiUser;
    Database_.SilentMode = true;
    if (create) Database_.CreateDatabase();
    Database_.SetConnected(true);
    Table_.SetDatabaseName(name);
    Table_.SetTableName("V5LogTabl");
    if (create) {
      DefineBenchLog(Table_);
      Table_.CreateTable();
    }
    Table_.Open();
  }
  void SetSync(bool sync) {
    auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(Database_.Handle()->DatabaseData);
    auto* pages = disk != nullptr ? dynamic_cast<TVLMDiskPageManager*>(disk->PageManager) : nullptr;
    if (pages != nullptr) pages->SyncOnCommit = sync;
  }
  void Insert(const Row& row) { PostBenchLog(Table_, row); }
  TVLMDatabase& Database() { return Database_; }
  TVLMTable& Table() { return Table_; }

private:
  TVLMDatabase Database_;
  TVLMTable Table_;
};

// ---------------------------------------------------------------- SQLite

class Lite : public SqliteFile {
public:
  explicit Lite(const std::string& path) : SqliteFile(path) {
    Exec("PRAGMA cache_size=-262144");
    Exec((std::string("CREATE TABLE log(") + kSqliteLogColumns + ")").c_str());
    Exec("CREATE INDEX CallIndex ON log(Call)");
    Insert_ = Prepare(kSqliteLogInsert);
    ByCall_ = Prepare("SELECT QsoID, Name FROM log WHERE Call = ?1 LIMIT 1");
    ByID_ = Prepare("SELECT Call, Name FROM log WHERE QsoID = ?1");
    ByName_ = Prepare("SELECT QsoID FROM log WHERE Name = ?1 LIMIT 1");
    Duplicate_ = Prepare("SELECT QsoID FROM log WHERE Call = ?1 AND Freq = ?2 AND Mode = ?3 LIMIT 1");
    Range_ = Prepare("SELECT Name FROM log WHERE Call >= ?1 AND Call <= ?2 ORDER BY Call");
  }
  ~Lite() {
    for (sqlite3_stmt* s : {Insert_, ByCall_, ByID_, ByName_, Duplicate_, Range_}) sqlite3_finalize(s);
  }
  void SetSync(bool sync) { Exec(sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF"); }
  void Insert(const Row& row) {
    sqlite3_bind_text(Insert_, 1, row.Call.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(Insert_, 2, row.Freq.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(Insert_, 3, row.Mode.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(Insert_, 4, row.Name.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(Insert_) != SQLITE_DONE) Fail("insert");
    sqlite3_reset(Insert_);
  }
  bool Find(sqlite3_stmt* statement, std::initializer_list<const std::string*> keys) {
    int index = 1;
    for (const std::string* key : keys) sqlite3_bind_text(statement, index++, key->c_str(), -1, SQLITE_STATIC);
    const bool found = sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_reset(statement);
    return found;
  }
  bool FindCall(const std::string& call) { return Find(ByCall_, {&call}); }
  bool FindName(const std::string& name) { return Find(ByName_, {&name}); }
  bool FindDuplicate(const Row& row) { return Find(Duplicate_, {&row.Call, &row.Freq, &row.Mode}); }
  // The call and name of row id (both read), or nothing.
  bool FindID(int64_t id) {
    sqlite3_bind_int64(ByID_, 1, id);
    const bool found = sqlite3_step(ByID_) == SQLITE_ROW && sqlite3_column_bytes(ByID_, 0) +
                                                                     sqlite3_column_bytes(ByID_, 1) > 0;
    sqlite3_reset(ByID_);
    return found;
  }
  // The rows with a call from low to high in call order, their names read.
  int64_t Range(const std::string& low, const std::string& high) {
    sqlite3_bind_text(Range_, 1, low.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(Range_, 2, high.c_str(), -1, SQLITE_STATIC);
    int64_t rows = 0;
    while (sqlite3_step(Range_) == SQLITE_ROW) rows += sqlite3_column_bytes(Range_, 0) > 0 ? 1 : 0;
    sqlite3_reset(Range_);
    return rows;
  }

private:
  sqlite3_stmt* Insert_ = nullptr;
  sqlite3_stmt* ByCall_ = nullptr;
  sqlite3_stmt* ByID_ = nullptr;
  sqlite3_stmt* ByName_ = nullptr;
  sqlite3_stmt* Duplicate_ = nullptr;
  sqlite3_stmt* Range_ = nullptr;
};

// The call signs to look for: nine of ten logged, one of ten never.
std::vector<std::string> LocateKeys(const std::vector<Row>& rows, int32_t count) {
  std::mt19937 random(7);
  std::vector<std::string> keys;
  keys.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    keys.push_back(i % 10 == 9 ? "ZZ" + std::to_string(i) : rows[random() % rows.size()].Call);
  return keys;
}

// The rows of table in its current order, the call of each read.
int64_t ScanTable(TVLMTable& table) {
  qv::Field* call = table.FieldByName("Call");
  int64_t seen = 0;
  for (table.First(); !table.Eof(); table.Next()) seen += call->AsString().empty() ? 0 : 1;
  return seen;
}

// The figures of one mode at one size.
void RunSize(const std::string& folder, bool multiUser, int32_t count, int32_t durable) {
  const std::string tag = (multiUser ? "multi" : "single") + std::to_string(count);
  std::printf("\n%s, %d rows%-24s %12s %12s %8s\n", multiUser ? "multi-user" : "single-user", count, "",
              "engine/s", "sqlite/s", "ratio");
  const std::vector<Row> rows = MakeLogRows(count, 29);

  // One commit per row, without flushes (at most 100,000 of them).
  {
    const int32_t each = std::min(count, 100000);
    Engine engine(folder + "/" + tag + "_each.vlm", multiUser);
    Lite lite(folder + "/" + tag + "_each.db");
    engine.SetSync(false);
    lite.SetSync(false);
    const double e = Seconds([&] {
      for (int32_t i = 0; i < each; ++i) engine.Insert(rows[static_cast<size_t>(i)]);
    });
    const double s = Seconds([&] {
      for (int32_t i = 0; i < each; ++i) lite.Insert(rows[static_cast<size_t>(i)]);
    });
    Report("inserts, a commit each (no flush)", each, e, s);
  }
  // Durable single-row commits.
  if (durable > 0) {
    const int32_t commits = std::min(durable, count);
    Engine engine(folder + "/" + tag + "_durable.vlm", multiUser);
    Lite lite(folder + "/" + tag + "_durable.db");
    engine.SetSync(true);
    lite.SetSync(true);
    const double e = Seconds([&] {
      for (int32_t i = 0; i < commits; ++i) engine.Insert(rows[static_cast<size_t>(i)]);
    });
    const double s = Seconds([&] {
      for (int32_t i = 0; i < commits; ++i) lite.Insert(rows[static_cast<size_t>(i)]);
    });
    Report("durable single-row commits (FULL)", commits, e, s);
  }

  // One transaction; then everything else on these rows.
  const std::string enginePath = folder + "/" + tag + ".vlm";
  const std::string litePath = folder + "/" + tag + ".db";
  auto engine = std::make_unique<Engine>(enginePath, multiUser);
  Lite lite(litePath);
  engine->SetSync(true);
  lite.SetSync(true);
  int64_t before = BytesWritten();
  const double e = Seconds([&] {
    engine->Database().StartTransaction();
    for (const Row& row : rows) engine->Insert(row);
    engine->Database().Commit(false);
  });
  const int64_t engineBytes = BytesWritten() - before;
  before = BytesWritten();
  const double s = Seconds([&] {
    lite.Exec("BEGIN");
    for (const Row& row : rows) lite.Insert(row);
    lite.Exec("COMMIT");
  });
  const int64_t liteBytes = BytesWritten() - before;
  Report("inserts in one transaction", count, e, s);
  if (multiUser) std::printf("%-46s (goal: ratio >= 0.5)%s\n", "", e / s <= 2 ? "" : "  UNDER");

  TVLMTable& table = engine->Table();
  qv::Field* callField = table.FieldByName("Call");
  qv::Field* nameField = table.FieldByName("Name");
  int64_t answers = 0;

  // Point lookups by the integer key, every record read.
  if (!multiUser) {
    table.SetIndexName("PrimeIndex");
    const int32_t lookups = std::min(count, 20000);
    std::mt19937 random(5);
    std::vector<int64_t> ids;
    for (int32_t i = 0; i < lookups; ++i) ids.push_back(1 + static_cast<int64_t>(random() % static_cast<uint32_t>(count)));
    const double le = Median5([&] {
      for (int64_t id : ids)
        answers += table.Locate("QsoID", qv::HostVariant(static_cast<int32_t>(id)), 0) && !callField->AsString().empty() &&
                           !nameField->AsString().empty()
                       ? 1
                       : 0;
    });
    const double ls = Median5([&] {
      for (int64_t id : ids) answers -= lite.FindID(id) ? 1 : 0;
    });
    Report("point lookups by QsoID", lookups, le, ls);
    ReportTime("  per lookup", lookups, le, ls, 1.0);
  }

  // Point lookups by call sign.
  table.SetIndexName("CallIndex");
  const int32_t lookups = std::min(count, 20000);
  const std::vector<std::string> keys = LocateKeys(rows, lookups);
  std::vector<qv::HostVariant> values(keys.begin(), keys.end());
  const double le = Median5([&] {
    for (const qv::HostVariant& key : values) answers += table.Locate("Call", key, 0) ? 1 : 0;
  });
  const double ls = Median5([&] {
    for (const std::string& key : keys) answers -= lite.FindCall(key) ? 1 : 0;
  });
  Report("point lookups by Call (10 % missing)", lookups, le, ls);
  ReportTime("  per lookup", lookups, le, ls, multiUser ? 1.5 : 1.2);
  if (answers != 0) std::printf("  ANSWERS DIFFER\n");

  // Ranges of 100 calls through the index on Call, the name of each row read.
  if (!multiUser) {
    std::vector<std::string> calls;
    for (const Row& row : rows) calls.push_back(row.Call);
    std::sort(calls.begin(), calls.end());
    std::mt19937 random(3);
    std::vector<std::pair<std::string, std::string>> ranges;
    for (int32_t i = 0; i < 500; ++i) {
      const size_t k = random() % (calls.size() - 100);
      ranges.emplace_back(calls[k], calls[k + 99]);
    }
    table.SetIndexName("CallIndex");
    table.SetFilterOptions(qv::foNoPartialCompare);
    table.SetFilterText("Call = ''");
    table.SetFiltered(true);
    int64_t engineRows = 0, liteRows = 0;
    const double re = Median5([&] {
      engineRows = 0;
      for (const auto& [low, high] : ranges) {
        table.SetFilterText("Call >= '" + low + "' and Call <= '" + high + "'");
        for (; !table.Eof(); table.Next()) engineRows += nameField->AsString().empty() ? 0 : 1;
      }
    });
    table.SetFiltered(false);
    table.SetFilterText("");
    const double rs = Median5([&] {
      liteRows = 0;
      for (const auto& [low, high] : ranges) liteRows += lite.Range(low, high);
    });
    Report("ranges of 100 calls through CallIndex", static_cast<double>(ranges.size()), re, rs);
    ReportTime("  per range", static_cast<double>(ranges.size()), re, rs, 2.0);
    if (engineRows != liteRows)
      std::printf("  RANGES DIFFER: %lld / %lld rows\n", static_cast<long long>(engineRows),
                  static_cast<long long>(liteRows));
  }

  double physicalScan = 0;
  for (bool indexOrder : {false, true}) {
    table.SetIndexName(indexOrder ? "CallIndex" : "");
    int64_t seen = 0;
    const double se = Median5([&] { seen += ScanTable(table); });
    const double ss = Median5([&] {
      seen -= lite.Scan(indexOrder ? "SELECT Call FROM log ORDER BY Call" : "SELECT Call FROM log");
    });
    if (!indexOrder) physicalScan = se;
    Report(indexOrder ? "full scan in index order" : "full scan in physical order", count, se, ss);
    if (!multiUser) ReportTime("  per row", count, se, ss, indexOrder ? 3.0 : 2.0);
    if (seen != 0) std::printf("  SCANS DIFFER\n");
    if (indexOrder && !multiUser) {
      // SQLite answers the scan above from its index alone; the engine's
      // rows are whole records. The same order with a column the index
      // does not hold, for comparison.
      const double sw = Median5([&] { lite.Scan("SELECT Name, Call FROM log ORDER BY Call"); });
      ReportTime("  per row, sqlite reading a column off the index", count, se, sw, 3.0);
    }
  }
  if (multiUser) {
    // The same file in single-user mode.
    engine.reset();
    Engine single(enginePath, false, false);
    const double se = Median5([&] { ScanTable(single.Table()); });
    std::printf("%-46s %9.1f ns %9.1f ns  multi/single time %.2f (goal <= 3.0)%s\n",
                "  physical scan per row, multi- / single-user", physicalScan * 1e9 / count, se * 1e9 / count,
                physicalScan / se, physicalScan / se <= 3 ? "" : "  OVER");
    return;
  }

  // The duplicate check as the program makes it, at 10 % of the rows and at
  // all of them.
  table.SetIndexName("");
  std::mt19937 random(11);
  for (int32_t size : {count / 10, count}) {
    std::vector<Row> probes;
    for (int32_t i = 0; i < 10000; ++i) {
      Row row = rows[random() % static_cast<uint32_t>(size)];
      if (i % 10 == 9) row.Mode = "PSK";
      probes.push_back(row);
    }
    std::vector<qv::HostVariant> tuples;
    for (const Row& row : probes) tuples.push_back(qv::VarArrayOf({row.Call, row.Freq, row.Mode}));
    // A table of size rows: the first size rows of the log.
    const std::string smallPath = folder + "/" + tag + "_dup" + std::to_string(size);
    Engine small(smallPath + ".vlm", false);
    Lite smallLite(smallPath + ".db");
    Engine& target = size == count ? *engine : small;
    Lite& targetLite = size == count ? lite : smallLite;
    if (size != count) {
      small.Database().StartTransaction();
      smallLite.Exec("BEGIN");
      for (int32_t i = 0; i < size; ++i) {
        small.Insert(rows[static_cast<size_t>(i)]);
        smallLite.Insert(rows[static_cast<size_t>(i)]);
      }
      small.Database().Commit(false);
      smallLite.Exec("COMMIT");
    }
    const double de = Median5([&] {
      for (const qv::HostVariant& tuple : tuples) target.Table().Locate("Call;Freq;Mode", tuple, 0);
    });
    const double ds = Median5([&] {
      for (const Row& row : probes) targetLite.FindDuplicate(row);
    });
    char what[64];
    std::snprintf(what, sizeof what, "duplicate check Call;Freq;Mode, %d rows", size);
    Report(what, static_cast<double>(probes.size()), de, ds);
    ReportTime("  per check", static_cast<double>(probes.size()), de, ds, 1.5);
  }

  // An indexed locate against a scan of the same table.
  {
    table.SetIndexName("CallIndex");
    const int32_t scans = count >= 1000000 ? 10 : 50;
    const double indexed = Seconds([&] {
      for (int32_t i = 0; i < scans; ++i) table.Locate("Call", values[static_cast<size_t>(i)], 0);
    });
    const double scanned = Seconds([&] {
      for (int32_t i = 0; i < scans; ++i) table.Locate("Name", qv::HostVariant("Nobody"), 0);
    });
    std::printf("%-46s %9.2f us %9.0f us  scan/indexed %.0f (goal >= 100)\n", "indexed locate / unindexed scan",
                indexed * 1e6 / scans, scanned * 1e6 / scans, scanned / indexed);
  }

  std::printf("file size %-36s %12lld %12lld bytes\n", "(one-transaction table)",
              static_cast<long long>(std::filesystem::file_size(enginePath)),
              static_cast<long long>(std::filesystem::file_size(litePath)));
  std::printf("bytes written by the one-transaction load        %12lld %12lld\n", static_cast<long long>(engineBytes),
              static_cast<long long>(liteBytes));
}

}  // namespace

int main(int argc, char** argv) {
  bool multiUser = false;
  int32_t durable = 1000;
  std::vector<int32_t> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--multi-user") == 0) {
      multiUser = true;
    } else if (std::strcmp(argv[i], "--durable") == 0 && i + 1 < argc) {
      durable = std::atoi(argv[++i]);
    } else {
      sizes.push_back(std::atoi(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {10000, 100000, 1000000};
  if (durable < 0 || std::any_of(sizes.begin(), sizes.end(), [](int32_t n) { return n < 1000; })) {
    std::fprintf(stderr, "usage: %s [--multi-user] [--durable N] [ROWS...]   (ROWS >= 1000)\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvbench_", [&](const std::string& folder) {
    for (int32_t count : sizes) RunSize(folder, multiUser, count, durable);
    std::printf("\npeak RSS %lld kB\n", static_cast<long long>(PeakRssKb()));
  });
}
