// A reader that keeps a shared table open while other processes grow the
// file, against a reader opened after the growth, beside SQLite on the same
// rows in the same run.
//
// The table: ID (primary key), Name (index ByName; every name shares its
// first 40 characters, so a key comparison reads records), Score (0-99) and
// a BLOB Notes of 1,000-3,000 bytes. Both files start with 31 rows; the old
// reader opens its table (multi-user), walks it once, and then another
// process (this program again, with --grow) appends rows until the file
// holds the size asked for (20 MB unless given), in transactions of 100
// rows. Then the old reader and a fresh one each walk the table by ByName
// with the filter Score < 40, reading each row's ID and Name; SQLite's old
// and fresh connections run SELECT ID, Name FROM t WHERE Score < 40 ORDER BY
// Name. Each figure is the median of five walks.
//
// The line to read: the old reader's time over the fresh one's, for both
// engines (goal: the engine's at most 2, as a reader that learns the file's
// page count once per commit it notices costs what a fresh one does), and
// the fresh engine walk over SQLite's.
//
// Usage: bench_shared_reader [MEGABYTES]
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"

extern char** environ;

namespace {

constexpr int32_t kStartRows = 31;
const std::string kPrefix(40, 'N');

std::string NameOf(int32_t id) { return kPrefix + std::to_string(1000000 + (id * 7919) % 1000003); }
int32_t ScoreOf(int32_t id) { return (id * 37) % 100; }
std::string NotesOf(int32_t id) { return std::string(1000 + (id * 131) % 2001, static_cast<char>('a' + id % 26)); }

double Median5(const std::function<void()>& walk) {
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) times.push_back(Seconds(walk));
  return SpreadOf(times).Median;
}

// ------------------------------------------------------------------ engine

// A database component on the file, multi-user, in its own session (so
// that it has a handle of its own), and its table.
class Reader {
public:
  Reader(const std::string& path, const std::string& name) {
    Session_.SetSessionName(name);
    Database_.SetSessionName(name);
    Database_.SetDatabaseName(name);
    Database_.SetDatabaseFileName(path);
    Database_.MultiUser = true;
    Database_.SilentMode = true;
    Table_.SetSessionName(name);
    Table_.SetDatabaseName(name);
    Table_.SetTableName("T");
  }
  void Create() {
    Database_.CreateDatabase();
    qv::FieldDefs& fields = Table_.GetFieldDefs();
    fields.Add("ID", qv::ftInteger);
    fields.Add("Name", qv::ftString, 60);
    fields.Add("Score", qv::ftInteger);
    fields.Add("Notes", qv::ftBlob);
    Table_.GetIndexDefs().Add("PK", "ID", qv::ixPrimary | qv::ixUnique);
    Table_.GetIndexDefs().Add("ByName", "Name", 0);
    Table_.GetIndexDefs().Add("ByScore", "Score", 0);
    Table_.CreateTable();
  }
  TVLMTable& Open() {
    Table_.Open();
    return Table_;
  }
  void Append(int32_t id) {
    Table_.Append();
    Table_.FieldByName("ID")->SetAsInteger(id);
    Table_.FieldByName("Name")->SetAsString(NameOf(id));
    Table_.FieldByName("Score")->SetAsInteger(ScoreOf(id));
    Table_.FieldByName("Notes")->SetAsString(NotesOf(id));
    Table_.Post();
  }
  TVLMDatabase& Database() { return Database_; }
  // The filtered walk by ByName: the rows it returned.
  int64_t Walk() {
    Table_.SetIndexName("ByName");
    Table_.SetFilterText("Score < 40");
    Table_.SetFiltered(true);
    int64_t rows = 0;
    for (Table_.First(); !Table_.Eof(); Table_.Next())
      rows += Table_.FieldByName("ID")->AsInteger() >= 0 && !Table_.FieldByName("Name")->AsString().empty() ? 1 : 0;
    return rows;
  }

private:
  TVLMSession Session_;
  TVLMDatabase Database_;
  TVLMTable Table_;
};

// The --grow process: rows from kStartRows on until the file holds bytes.
int Grow(const std::string& path, int64_t bytes) {
  return RunInBenchFolder("qvgrow", [&](const std::string&) {
    Reader writer(path, "Grow");
    writer.Open();
    int32_t id = kStartRows;
    while (static_cast<int64_t>(std::filesystem::file_size(path)) < bytes) {
      writer.Database().StartTransaction();
      for (int32_t i = 0; i < 100; ++i) writer.Append(id++);
      writer.Database().Commit(true);
    }
  });
}

void GrowInAnotherProcess(const char* self, const std::string& path, int64_t bytes) {
  std::string program = self, flag = "--grow", size = std::to_string(bytes), file = path;
  std::vector<char*> argv{program.data(), flag.data(), file.data(), size.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ) != 0) throw std::runtime_error("spawn");
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("the growing process failed");
}

// ------------------------------------------------------------------ SQLite

class Lite : public SqliteFile {
public:
  explicit Lite(const std::string& path) : SqliteFile(path) {}
  void Create() {
    Exec("CREATE TABLE t(ID INTEGER PRIMARY KEY, Name VARCHAR(60), Score INTEGER, Notes BLOB)");
    Exec("CREATE INDEX ByName ON t(Name)");
    Exec("CREATE INDEX ByScore ON t(Score)");
  }
  void Append(int32_t from, int32_t to) {
    Exec("BEGIN");
    sqlite3_stmt* insert = Prepare("INSERT INTO t VALUES(?1, ?2, ?3, ?4)");
    for (int32_t id = from; id < to; ++id) {
      const std::string name = NameOf(id), notes = NotesOf(id);
      sqlite3_bind_int(insert, 1, id);
      sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 3, ScoreOf(id));
      sqlite3_bind_blob(insert, 4, notes.data(), static_cast<int>(notes.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail("insert");
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Exec("COMMIT");
  }
  int64_t Walk() { return Scan("SELECT ID, Name FROM t WHERE Score < 40 ORDER BY Name"); }
};

void Run(const char* self, const std::string& folder, int64_t bytes) {
  const std::string enginePath = folder + "/shared.vlm", litePath = folder + "/shared.db";
  {
    Reader maker(enginePath, "Make");
    maker.Create();
    maker.Open();
    for (int32_t id = 0; id < kStartRows; ++id) maker.Append(id);
  }
  Reader old(enginePath, "Old");
  old.Open();
  old.Walk();
  GrowInAnotherProcess(self, enginePath, bytes);
  int64_t rows = 0;
  const double engineOld = Median5([&] { rows = old.Walk(); });
  Reader fresh(enginePath, "Fresh");
  // SQLite gets the rows the growing process wrote.
  const auto total = static_cast<int32_t>(fresh.Open().RecordCount());
  int64_t freshRows = 0;
  const double engineFresh = Median5([&] { freshRows = fresh.Walk(); });

  Lite liteOld(litePath);
  liteOld.Create();
  liteOld.Append(0, kStartRows);
  liteOld.Walk();
  {
    Lite grower(litePath);
    for (int32_t id = kStartRows; id < total; id += 100) grower.Append(id, std::min(id + 100, total));
  }
  int64_t liteRows = 0;
  const double liteOldTime = Median5([&] { liteRows = liteOld.Walk(); });
  Lite liteFresh(litePath);
  const double liteFreshTime = Median5([&] { liteFresh.Walk(); });

  std::printf("file %.1f MB (engine), %.1f MB (SQLite); filtered walk by ByName: %lld rows (fresh %lld, SQLite %lld)\n",
              static_cast<double>(std::filesystem::file_size(enginePath)) / 1e6,
              static_cast<double>(std::filesystem::file_size(litePath)) / 1e6, static_cast<long long>(rows),
              static_cast<long long>(freshRows), static_cast<long long>(liteRows));
  std::printf("engine: old reader %.4f s, fresh %.4f s, old/fresh %.2f (goal <= 2)\n", engineOld, engineFresh,
              engineOld / engineFresh);
  std::printf("SQLite: old reader %.4f s, fresh %.4f s, old/fresh %.2f\n", liteOldTime, liteFreshTime,
              liteOldTime / liteFreshTime);
  std::printf("fresh engine / fresh SQLite: %.2f\n", engineFresh / liteFreshTime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--grow") return Grow(argv[2], std::atoll(argv[3]));
  const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 20;
  return RunInBenchFolder("qvshared", [&](const std::string& folder) { Run("/proc/self/exe", folder, megabytes * 1000000); });
}
