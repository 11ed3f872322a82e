// The temporary engine the way a sorted result is materialised: a temporary
// table filled with rows in random key order, an index made over them, the
// rows read in index order, then the index dropped and the table emptied.
// Against a SQLite temporary table on the same rows, in the same run.
//
//   rounds at 10^4 .. ROWS   one round of each size on a new table: the time
//                            per row of both and their ratio; the engine's
//                            should stay flat as the table grows. Twice: with
//                            the machine's free memory (everything stays in
//                            memory) and with FREE_MB (the rows and the index
//                            go to the temporary files)
//   ten rounds of ROWS       one table used ten times with FREE_MB: the
//                            engine's temporary files (page file and record
//                            file, bytes on disk and logical size) at their
//                            fullest and after the empty; round 10 should
//                            stay within 2x of round 1
//
// The engine keeps a tenth of the free memory it sees for the records in
// memory and another tenth for the pages; SQLite's temporary cache gets the
// same two tenths.
//
// Usage: bench_temp_tables [ROWS [FREE_MB]]   (1000000 rows, 1 MB)
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMTempEngine.h"
#include "platform/os/System.h"

namespace {

struct Row {
  int32_t Key;
  std::string Call, Name;
};

// Keys 0 .. count - 1 in random order, with log-like texts.
std::vector<Row> MakeRows(int32_t count, uint32_t seed) {
  static const char* prefixes[] = {"K", "W", "N", "AA", "KB", "VE", "DL", "G", "JA", "OH"};
  static const char* names[] = {"Al", "Bob", "Cy", "Dee", "Ed", "Flo", "Gus", "Hal"};
  std::mt19937 random(seed);
  std::vector<int32_t> keys(static_cast<size_t>(count));
  std::iota(keys.begin(), keys.end(), 0);
  std::shuffle(keys.begin(), keys.end(), random);
  std::vector<Row> rows;
  rows.reserve(keys.size());
  for (int32_t key : keys) {
    std::string call = prefixes[random() % 10];
    call += static_cast<char>('0' + random() % 10);
    for (uint32_t k = 1 + random() % 3; k > 0; --k) call += static_cast<char>('A' + random() % 26);
    rows.push_back({key, call, names[random() % 8]});
  }
  return rows;
}

// Sizes of the temporary files of a table.
struct FileBytes {
  int64_t Disk = 0;     // blocks the files take
  int64_t Logical = 0;  // their sizes (the page file has a hole before its first page)
};

void AddFile(FileBytes& bytes, TVLMFileStream* file) {
  if (file == nullptr) return;
  struct stat st{};
  if (fstat(file->Handle(), &st) == 0) bytes.Disk += static_cast<int64_t>(st.st_blocks) * 512;
  bytes.Logical += file->Size();
}

// ---------------------------------------------------------------- engine

class Engine {
public:
  Engine() {
    static int32_t serial = 0;
    Table_.SetTemporary(true);
    Table_.SetTableName("Sorted" + std::to_string(++serial));
    qv::FieldDefs& fields = Table_.GetFieldDefs();
    fields.Add("K", qv::ftInteger);
    fields.Add("Call", qv::ftString, 10);
    fields.Add("Name", qv::ftString, 20);
    Table_.CreateTable();
    Table_.Open();
  }
  ~Engine() {
    try {
      Table_.Close();
      Table_.DeleteTable();
    } catch (...) {
    }
  }
  void Fill(const std::vector<Row>& rows) {
    qv::Field* key = Table_.FieldByName("K");
    qv::Field* call = Table_.FieldByName("Call");
    qv::Field* name = Table_.FieldByName("Name");
    for (const Row& row : rows) {
      Table_.Append();
      key->SetAsInteger(row.Key);
      call->SetAsString(row.Call);
      name->SetAsString(row.Name);
      Table_.Post();
    }
  }
  void Sort() {
    Table_.AddIndex("ByK", "K", 0);
    Table_.SetIndexName("ByK");
  }
  // Rows read in index order; -1 when one is out of order.
  int64_t ReadSorted() {
    qv::Field* key = Table_.FieldByName("K");
    qv::Field* call = Table_.FieldByName("Call");
    int64_t seen = 0;
    int32_t last = -1;
    for (Table_.First(); !Table_.Eof(); Table_.Next()) {
      const int32_t k = key->AsInteger();
      if (k <= last || call->AsString().empty()) return -1;
      last = k;
      ++seen;
    }
    return seen;
  }
  void Empty() {
    Table_.SetIndexName("");
    Table_.DeleteIndex("ByK");
    Table_.Close();
    Table_.EmptyTable();
    Table_.Open();
  }
  FileBytes Files() {
    FileBytes bytes;
    auto* table = dynamic_cast<TVLMTemporaryTableData*>(Table_.Handle()->Table());
    if (table == nullptr) return bytes;
    if (auto* pages = dynamic_cast<TVLMTemporaryPageManager*>(table->PageManager))
      AddFile(bytes, pages->GetFileStream());
    AddFile(bytes, table->Records().GetFileStream());
    return bytes;
  }

private:
  TVLMTable Table_;
};

// ---------------------------------------------------------------- SQLite

class Lite : public SqliteFile {
public:
  Lite(const std::string& path, int64_t cacheKb) : SqliteFile(path) {
    Exec("PRAGMA temp_store=FILE");
    Exec(("PRAGMA temp.cache_size=-" + std::to_string(std::max<int64_t>(cacheKb, 64))).c_str());
    Exec("CREATE TEMP TABLE sorted(k INTEGER, call VARCHAR(10), name VARCHAR(20))");
    Insert_ = Prepare("INSERT INTO sorted(k, call, name) VALUES(?1, ?2, ?3)");
  }
  ~Lite() { sqlite3_finalize(Insert_); }
  void Fill(const std::vector<Row>& rows) {
    Exec("BEGIN");
    for (const Row& row : rows) {
      sqlite3_bind_int(Insert_, 1, row.Key);
      sqlite3_bind_text(Insert_, 2, row.Call.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(Insert_, 3, row.Name.c_str(), -1, SQLITE_STATIC);
      if (sqlite3_step(Insert_) != SQLITE_DONE) Fail("insert");
      sqlite3_reset(Insert_);
    }
    Exec("COMMIT");
  }
  void Sort() { Exec("CREATE INDEX temp.byk ON sorted(k)"); }
  int64_t ReadSorted() {
    sqlite3_stmt* select = Prepare("SELECT k, call FROM sorted INDEXED BY byk ORDER BY k");
    int64_t seen = 0;
    int32_t last = -1;
    while (sqlite3_step(select) == SQLITE_ROW) {
      const int32_t k = sqlite3_column_int(select, 0);
      if (k <= last || sqlite3_column_bytes(select, 1) == 0) {
        seen = -1;
        break;
      }
      last = k;
      ++seen;
    }
    sqlite3_finalize(select);
    return seen;
  }
  void Empty() {
    Exec("DROP INDEX temp.byk");
    Exec("DELETE FROM sorted");
  }

private:
  sqlite3_stmt* Insert_ = nullptr;
};

// Fill, sort, read, empty: the seconds of each step.
struct Times {
  double Fill = 0, Sort = 0, Read = 0, Empty = 0;
  double Total() const { return Fill + Sort + Read + Empty; }
};

template <class Store>
Times Round(Store& store, const std::vector<Row>& rows, const char* what, FileBytes* fullest = nullptr) {
  Times t;
  t.Fill = Seconds([&] { store.Fill(rows); });
  t.Sort = Seconds([&] { store.Sort(); });
  int64_t seen = 0;
  t.Read = Seconds([&] { seen = store.ReadSorted(); });
  if (seen != static_cast<int64_t>(rows.size()))
    std::printf("  %s: %lld rows read in order of %zu\n", what, static_cast<long long>(seen), rows.size());
  if constexpr (std::is_same_v<Store, Engine>) {
    if (fullest != nullptr) *fullest = store.Files();
  }
  t.Empty = Seconds([&] { store.Empty(); });
  return t;
}

double PerRowUs(double seconds, size_t rows) { return seconds * 1e6 / static_cast<double>(rows); }

std::string Mb(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

// One round of each size from 10^4 up to count, each on a new table, with
// the free memory the engine sees now.
void PerRowTable(const std::string& folder, int32_t count, const char* setting) {
  const int64_t freeBytes = qv::AvailablePhysicalMemory();
  const int64_t cacheKb = freeBytes / 5 / 1024;
  std::printf("%s: free memory seen by the engine %s (records in memory up to %s, pages up to %s); SQLite "
              "temp_store FILE, temporary cache %s\n",
              setting, Mb(freeBytes).c_str(), Mb(freeBytes / 10).c_str(), Mb(freeBytes / 10).c_str(),
              Mb(cacheKb * 1024).c_str());
  std::printf("%-10s %11s %11s %11s %11s %11s %12s %8s\n", "rows", "fill us/row", "index", "read", "empty",
              "engine", "sqlite us/row", "ratio");
  std::vector<int32_t> sizes;
  for (int64_t n = 10000; n < count; n *= 10) sizes.push_back(static_cast<int32_t>(n));
  sizes.push_back(count);
  for (int32_t n : sizes) {
    const std::vector<Row> rows = MakeRows(n, static_cast<uint32_t>(n));
    Engine engine;
    Lite lite(folder + "/size" + std::to_string(n) + ".db", cacheKb);
    const Times e = Round(engine, rows, "engine");
    const Times s = Round(lite, rows, "sqlite");
    std::printf("%-10d %11.2f %11.2f %11.2f %11.2f %11.2f %12.2f %8.2f\n", n, PerRowUs(e.Fill, rows.size()),
                PerRowUs(e.Sort, rows.size()), PerRowUs(e.Read, rows.size()), PerRowUs(e.Empty, rows.size()),
                PerRowUs(e.Total(), rows.size()), PerRowUs(s.Total(), rows.size()), e.Total() / s.Total());
  }
  std::printf("\n");
}

// Ten rounds of count rows on one table, with the free memory the engine
// sees now.
void TenRounds(const std::string& folder, int32_t count) {
  const int64_t cacheKb = qv::AvailablePhysicalMemory() / 5 / 1024;
  std::printf("ten rounds of %d rows on one table (the files' figures are the engine's)\n", count);
  std::printf("%-8s %10s %10s %14s %14s %14s\n", "round", "engine s", "sqlite s", "fullest disk", "fullest size",
              "after empty");
  const std::vector<Row> rows = MakeRows(count, 35);
  Engine engine;
  Lite lite(folder + "/rounds.db", cacheKb);
  FileBytes first, last;
  double engineSeconds = 0, sqliteSeconds = 0;
  for (int32_t round = 1; round <= 10; ++round) {
    FileBytes fullest;
    const double e = Round(engine, rows, "engine", &fullest).Total();
    const double s = Round(lite, rows, "sqlite").Total();
    engineSeconds += e;
    sqliteSeconds += s;
    const FileBytes after = engine.Files();
    if (round == 1) first = fullest;
    if (round == 10) last = fullest;
    std::printf("%-8d %10.2f %10.2f %14s %14s %14s\n", round, e, s, Mb(fullest.Disk).c_str(),
                Mb(fullest.Logical).c_str(), Mb(after.Disk).c_str());
  }
  std::printf("ten rounds: engine %.1f s, sqlite %.1f s, ratio %.2f; engine files at their fullest, round 10 / "
              "round 1: %.2f on disk, %.2f in size (goal <= 2)\n",
              engineSeconds, sqliteSeconds, engineSeconds / sqliteSeconds,
              first.Disk > 0 ? static_cast<double>(last.Disk) / static_cast<double>(first.Disk) : 0.0,
              first.Logical > 0 ? static_cast<double>(last.Logical) / static_cast<double>(first.Logical) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t count = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int64_t freeMb = argc > 2 ? std::atoll(argv[2]) : 1;
  if (count < 10000 || freeMb < 1) {
    std::fprintf(stderr, "usage: %s [ROWS (at least 10000) [FREE_MB (at least 1)]]\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvbench_", [&](const std::string& folder) {
    PerRowTable(folder, count, "in memory");
    qv::SetAvailablePhysicalMemoryOverride(freeMb << 20);
    PerRowTable(folder, count, "in files");
    TenRounds(folder, count);
    std::printf("(engine columns: microseconds per row of each step and in all; ratio = engine time / SQLite time, "
                "below 1 the engine is faster)\n");
  });
}
