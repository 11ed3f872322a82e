// Log-shaped rows through the table component against SQLite on the same rows,
// in the same run and on the same disk: inserts with a commit each and in one
// transaction, durable single-row commits, random locates by call sign (10 %
// missing), full scans in physical and index order, the duplicate check on
// Call;Freq;Mode, and an indexed locate against a scan; first in single-user
// mode, then the writes, locates and scans again in multi-user mode.
//
// SQLite: page_size 4096, cache_size -262144, journal_mode DELETE; against
// the engine's SyncOnCommit off it runs synchronous OFF, against it on FULL.
// Each line prints rows (or operations) per second of both, their ratio
// (engine rate / SQLite rate: above 1 the engine is faster), and at the end
// the file sizes, the bytes written and the peak memory of the process.
//
// Usage: bench_table_component [ROWS [DURABLE]]   (100000 rows, 1000 durable
// commits by default)
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/HostVariant.h"
#include "platform/os/System.h"

namespace {

struct Row {
  std::string Call, Freq, Mode, Name;
};

// Deterministic log rows: call signs of the usual shapes, the contest
// frequencies and modes, a few names.
std::vector<Row> MakeRows(int32_t count, uint32_t seed) {
  static const char* prefixes[] = {"K", "W", "N", "AA", "KB", "VE", "DL", "G", "JA", "OH", "EA", "PY"};
  static const char* freqs[] = {"1825", "3525", "7025", "14025", "21025", "28025", "3750", "7200", "14250", "21300"};
  static const char* modes[] = {"CW", "SSB", "RTTY", "FT8"};
  static const char* names[] = {"Al", "Bob", "Cy", "Dee", "Ed", "Flo", "Gus", "Hal"};
  std::mt19937 random(seed);
  std::vector<Row> rows;
  rows.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    std::string call = prefixes[random() % 12];
    call += static_cast<char>('0' + random() % 10);
    for (uint32_t k = 1 + random() % 3; k > 0; --k) call += static_cast<char>('A' + random() % 26);
    rows.push_back({call, freqs[random() % 10], modes[random() % 4], names[random() % 8]});
  }
  return rows;
}

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

void Report(const char* what, double count, double engineSeconds, double sqliteSeconds) {
  const double engine = count / engineSeconds;
  const double sqlite = count / sqliteSeconds;
  std::printf("%-44s %12.0f %12.0f %8.2f\n", what, engine, sqlite, engine / sqlite);
}

// ---------------------------------------------------------------- engine

class Engine {
public:
  Engine(const std::string& path, bool multiUser) {
    // Each engine its own database component name.
    static int32_t serial = 0;
    const std::string name = "Bench" + std::to_string(++serial);
    Database_.SetDatabaseName(name);
    Database_.SetDatabaseFileName(path);
    Database_.MultiUser = multiUser;
    Database_.SilentMode = true;
    Database_.CreateDatabase();
    Database_.SetConnected(true);
    Table_.SetDatabaseName(name);
    Table_.SetTableName("V5LogTabl");
    qv::FieldDefs& fields = Table_.GetFieldDefs();
    fields.Add("QsoID", qv::ftAutoInc);
    fields.Add("Call", qv::ftString, 10);
    fields.Add("Freq", qv::ftString, 12);
    fields.Add("Mode", qv::ftString, 10);
    fields.Add("QSODate", qv::ftString, 10);
    fields.Add("TimeStart", qv::ftString, 4);
    fields.Add("Name", qv::ftString, 30);
    fields.Add("IBM", qv::ftBoolean);
    fields.Add("Notes", qv::ftString, 255);
    Table_.GetIndexDefs().Add("PrimeIndex", "QsoID", qv::ixPrimary | qv::ixUnique);
    Table_.GetIndexDefs().Add("CallIndex", "Call", 0);
    Table_.CreateTable();
    Table_.Open();
  }
  void SetSync(bool sync) {
    auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(Database_.Handle()->DatabaseData);
    auto* pages = disk != nullptr ? dynamic_cast<TVLMDiskPageManager*>(disk->PageManager) : nullptr;
    if (pages != nullptr) pages->SyncOnCommit = sync;
  }
  void Insert(const Row& row) {
    Table_.Append();
    Table_.FieldByName("Call")->SetAsString(row.Call);
    Table_.FieldByName("Freq")->SetAsString(row.Freq);
    Table_.FieldByName("Mode")->SetAsString(row.Mode);
    Table_.FieldByName("QSODate")->SetAsString("2024-05-04");
    Table_.FieldByName("TimeStart")->SetAsString("1200");
    Table_.FieldByName("Name")->SetAsString(row.Name);
    Table_.FieldByName("IBM")->SetAsBoolean(false);
    Table_.Post();
  }
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
    Exec("CREATE TABLE log(QsoID INTEGER PRIMARY KEY AUTOINCREMENT, Call VARCHAR(10), Freq VARCHAR(12), "
         "Mode VARCHAR(10), QSODate VARCHAR(10), TimeStart VARCHAR(4), Name VARCHAR(30), IBM BOOLEAN, "
         "Notes VARCHAR(255))");
    Exec("CREATE INDEX CallIndex ON log(Call)");
    Insert_ = Prepare("INSERT INTO log(Call, Freq, Mode, QSODate, TimeStart, Name, IBM) "
                      "VALUES(?1, ?2, ?3, '2024-05-04', '1200', ?4, 0)");
    ByCall_ = Prepare("SELECT QsoID, Name FROM log WHERE Call = ?1 LIMIT 1");
    ByName_ = Prepare("SELECT QsoID FROM log WHERE Name = ?1 LIMIT 1");
    Duplicate_ = Prepare("SELECT QsoID FROM log WHERE Call = ?1 AND Freq = ?2 AND Mode = ?3 LIMIT 1");
  }
  ~Lite() {
    for (sqlite3_stmt* s : {Insert_, ByCall_, ByName_, Duplicate_}) sqlite3_finalize(s);
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
  int64_t Scan(const char* sql) {
    sqlite3_stmt* statement = Prepare(sql);
    int64_t rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) rows += sqlite3_column_bytes(statement, 0) > 0 ? 1 : 0;
    sqlite3_finalize(statement);
    return rows;
  }

private:
  sqlite3_stmt* Insert_ = nullptr;
  sqlite3_stmt* ByCall_ = nullptr;
  sqlite3_stmt* ByName_ = nullptr;
  sqlite3_stmt* Duplicate_ = nullptr;
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

// Inserts, locates and scans of one mode; returns the engine's file size.
void RunMode(const std::string& folder, bool multiUser, int32_t count, int32_t durable) {
  const std::string tag = multiUser ? "multi-user" : "single-user";
  std::printf("\n%s, %d rows%-22s %12s %12s %8s\n", tag.c_str(), count, "", "engine/s", "sqlite/s", "ratio");
  const std::vector<Row> rows = MakeRows(count, 29);

  // One commit per row, without flushes.
  {
    Engine engine(folder + "/" + tag + "_each.vlm", multiUser);
    Lite lite(folder + "/" + tag + "_each.db");
    engine.SetSync(false);
    lite.SetSync(false);
    const double e = Seconds([&] {
      for (const Row& row : rows) engine.Insert(row);
    });
    const double s = Seconds([&] {
      for (const Row& row : rows) lite.Insert(row);
    });
    Report("inserts, a commit each (no flush)", count, e, s);
  }
  // Durable single-row commits.
  if (durable > 0) {
    Engine engine(folder + "/" + tag + "_durable.vlm", multiUser);
    Lite lite(folder + "/" + tag + "_durable.db");
    engine.SetSync(true);
    lite.SetSync(true);
    const double e = Seconds([&] {
      for (int32_t i = 0; i < durable; ++i) engine.Insert(rows[static_cast<size_t>(i)]);
    });
    const double s = Seconds([&] {
      for (int32_t i = 0; i < durable; ++i) lite.Insert(rows[static_cast<size_t>(i)]);
    });
    Report("durable single-row commits (FULL)", durable, e, s);
    std::printf("%-44s %9.1f us %9.1f us  engine/sqlite time %.2f (goal <= 0.5)\n", "  per commit",
                e * 1e6 / durable, s * 1e6 / durable, e / s);
  }

  // One transaction; then everything else on these rows.
  Engine engine(folder + "/" + tag + ".vlm", multiUser);
  Lite lite(folder + "/" + tag + ".db");
  engine.SetSync(true);
  lite.SetSync(true);
  int64_t before = BytesWritten();
  const double e = Seconds([&] {
    engine.Database().StartTransaction();
    for (const Row& row : rows) engine.Insert(row);
    engine.Database().Commit(false);
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
  std::printf("%-44s (goal: ratio >= 0.5)\n", "");

  TVLMTable& table = engine.Table();
  table.SetIndexName("CallIndex");
  const std::vector<std::string> keys = LocateKeys(rows, count);
  std::vector<qv::HostVariant> values(keys.begin(), keys.end());
  int64_t hits = 0;
  const double le = Seconds([&] {
    for (const qv::HostVariant& key : values) hits += table.Locate("Call", key, 0) ? 1 : 0;
  });
  const double ls = Seconds([&] {
    for (const std::string& key : keys) hits -= lite.FindCall(key) ? 1 : 0;
  });
  Report("random locates by Call (10 % missing)", count, le, ls);
  std::printf("%-44s %9.2f us %9.2f us  engine/sqlite time %.2f (goal <= 1.5)%s\n", "  per locate",
              le * 1e6 / count, ls * 1e6 / count, le / ls, hits == 0 ? "" : "  ANSWERS DIFFER");

  for (bool indexOrder : {false, true}) {
    table.SetIndexName(indexOrder ? "CallIndex" : "");
    int64_t seen = 0;
    const double se = Seconds([&] {
      for (table.First(); !table.Eof(); table.Next()) seen += table.FieldByName("Call")->AsString().empty() ? 0 : 1;
    });
    const double ss = Seconds([&] {
      seen -= lite.Scan(indexOrder ? "SELECT Call FROM log ORDER BY Call" : "SELECT Call FROM log");
    });
    Report(indexOrder ? "full scan in index order" : "full scan in physical order", count, se, ss);
    if (seen != 0) std::printf("  SCANS DIFFER\n");
  }
  if (multiUser) return;

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
    Engine small(folder + "/dup" + std::to_string(size) + ".vlm", false);
    Lite smallLite(folder + "/dup" + std::to_string(size) + ".db");
    Engine& target = size == count ? engine : small;
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
    const double de = Seconds([&] {
      for (const qv::HostVariant& tuple : tuples) target.Table().Locate("Call;Freq;Mode", tuple, 0);
    });
    const double ds = Seconds([&] {
      for (const Row& row : probes) targetLite.FindDuplicate(row);
    });
    char what[64];
    std::snprintf(what, sizeof what, "duplicate check Call;Freq;Mode, %d rows", size);
    Report(what, static_cast<double>(probes.size()), de, ds);
    std::printf("%-44s %9.2f us %9.2f us  (goal < 100 us at %d rows)\n", "  per locate",
                de * 1e6 / static_cast<double>(probes.size()), ds * 1e6 / static_cast<double>(probes.size()), count);
  }

  // An indexed locate against a scan of the same table.
  {
    table.SetIndexName("CallIndex");
    const int32_t scans = 50;
    const double indexed = Seconds([&] {
      for (int32_t i = 0; i < scans; ++i) table.Locate("Call", values[static_cast<size_t>(i)], 0);
    });
    const double scanned = Seconds([&] {
      for (int32_t i = 0; i < scans; ++i) table.Locate("Name", qv::HostVariant("Nobody"), 0);
    });
    std::printf("%-44s %9.2f us %9.0f us  scan/indexed %.0f (goal >= 100)\n", "indexed locate / unindexed scan",
                indexed * 1e6 / scans, scanned * 1e6 / scans, scanned / indexed);
  }

  std::printf("\nfile size %-34s %12lld %12lld bytes\n", "(one-transaction table)",
              static_cast<long long>(std::filesystem::file_size(folder + "/" + tag + ".vlm")),
              static_cast<long long>(std::filesystem::file_size(folder + "/" + tag + ".db")));
  std::printf("bytes written by the one-transaction load      %12lld %12lld\n", static_cast<long long>(engineBytes),
              static_cast<long long>(liteBytes));
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t count = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int32_t durable = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (count < 10 || durable < 0 || durable > count) {
    std::fprintf(stderr, "usage: %s [ROWS [DURABLE]]\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvbench_", [&](const std::string& folder) {
    RunMode(folder, false, count, durable);
    RunMode(folder, true, count, durable);
    std::printf("\npeak RSS %lld kB\n", static_cast<long long>(PeakRssKb()));
  });
}
