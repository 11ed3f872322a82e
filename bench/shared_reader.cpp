// A reader that keeps a shared table open while other processes grow the
// file, against a reader opened after the growth, beside SQLite on the same
// rows in the same run, at each size asked for.
//
// The table: ID (primary key), Name (index ByName; every name shares its
// first 40 characters, so a key comparison reads records), Score (0-99) and
// a BLOB Notes of 1,000-3,000 bytes. Both files start with 31 rows; the old
// reader opens its table (multi-user), walks it once, and then another
// process (this program again, with --grow) appends rows until the file
// holds the size asked for, in transactions of 100 rows. Then:
//
//   1. The old reader and a fresh one each walk the table by ByName with
//      the filter Score < 40, reading each row's ID and Name; SQLite's old
//      and fresh connections run SELECT ID, Name FROM t WHERE Score < 40
//      ORDER BY Name. Each figure is the median of five walks. The lines to
//      read: the old reader's time over the fresh one's (goal: at most 2),
//      and the fresh engine walk over SQLite's (goal: at most 3, its time
//      per row flat from one size to the next).
//   2. Locates of 200 names spread over the table (the table component's
//      Locate on Name), with the records each reads, against SQLite's
//      SELECT ID FROM t WHERE Name = ?. Goal: a few record reads each, as
//      many at either size.
//   3. The rest of a filtered walk: each reader walks 50 rows, another
//      process appends one row (its own commit), and the reader walks on to
//      the end; against the same rest with nothing committed (median of
//      three each). By ByName, and by the primary key, with the filter.
//      Goal: at most 2 times the rest with nothing committed (a rest still
//      going after 60 s stops there, shown as "> 60"). SQLite's
//      reader ends its statement after 50 rows and runs the rest as a new
//      one (Name above the last row's), with and without the commit.
//   4. The same rests under selective filters, Score < 5, < 10 and < 20
//      (5, 10 and 20 % of the rows), by ByName and by PK, beside a fresh
//      walk (First to the end) and SQLite's: wall clock (median of three)
//      and, where valgrind is installed, instructions (each counted once by
//      callgrind in a process of its own that counts only the rest or the
//      walk; the committing process runs outside valgrind;
//      QV_BENCH_CALLGRIND_KEEP=folder keeps each profile). Goal: the rest
//      after a commit at most 2 times the quiet rest at 10 % and 20 %, 3
//      times at 5 %, at either size; a fresh walk no slower than before.
//
// Usage: bench_shared_reader [MEGABYTES...]   (20 40 unless given)
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMTableData.h"
#include "platform/host/HostVariant.h"

// Instructions are counted where callgrind's client requests are at hand.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define QV_BENCH_CALLGRIND 1
#else
#define QV_BENCH_CALLGRIND 0
#endif

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
    Begin("ByName", 0);
    return Rest();
  }
  // A filtered walk by index taken as far as its row steps (First, then
  // steps - 1 Next): rows of a Score below bound.
  void Begin(const char* index, int32_t steps, int32_t bound = 40) {
    Table_.SetIndexName(index);
    Table_.SetFilterText("Score < " + std::to_string(bound));
    Table_.SetFiltered(true);
    Table_.First();
    for (int32_t i = 1; i < steps && !Table_.Eof(); ++i) Table_.Next();
  }
  // The walk on from its row to the end: the rows read, this one included.
  // A walk still going after limit seconds (0: none) stops there, and cut
  // tells.
  int64_t Rest(double limit = 0, bool* cut = nullptr) {
    int64_t rows = 0;
    const auto start = std::chrono::steady_clock::now();
    for (; !Table_.Eof(); Table_.Next()) {
      rows += Table_.FieldByName("ID")->AsInteger() >= 0 && !Table_.FieldByName("Name")->AsString().empty() ? 1 : 0;
      if (limit > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > limit) {
        if (cut != nullptr) *cut = true;
        break;
      }
    }
    return rows;
  }
  // Locates of names by Name: the records the table read for them.
  int64_t Locate(const std::vector<std::string>& names) {
    Table_.SetFiltered(false);
    Table_.SetIndexName("ByName");
    const int64_t before = Figures().RecordsRead;
    for (const std::string& name : names)
      if (!Table_.Locate("Name", qv::HostVariant(name), 0)) throw std::runtime_error("name not found: " + name);
    return Figures().RecordsRead - before;
  }

private:
  TVLMSearchFigures Figures() const {
    return static_cast<TVLMTableData*>(Table_.Handle()->TableData)->GetSearchFigures();
  }

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

// The --append process: one row, posted alone.
int AppendOne(const std::string& path, int32_t id) {
  return RunInBenchFolder("qvappend", [&](const std::string&) {
    Reader writer(path, "Append");
    writer.Open();
    writer.Append(id);
  });
}

// This program again with flag, path and number.
void RunAnotherProcess(const char* self, const char* what, const std::string& path, int64_t number) {
  std::string program = self, flag = what, size = std::to_string(number), file = path;
  std::vector<char*> argv{program.data(), flag.data(), file.data(), size.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ) != 0) throw std::runtime_error("spawn");
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(std::string(what) + " failed");
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
  int64_t Walk(int32_t bound = 40) {
    const std::string sql = "SELECT ID, Name FROM t WHERE Score < " + std::to_string(bound) + " ORDER BY Name";
    return Scan(sql.c_str());
  }
  // The first rows of the walk, then the rest as a new statement from the
  // last of them on, with commit run in between; measure runs the rest.
  int64_t WalkInTwo(
      int32_t first, const std::function<void()>& commit, int32_t bound = 40,
      const std::function<void(const std::function<void()>&)>& measure = [](const std::function<void()>& f) { f(); }) {
    const std::string where = "SELECT ID, Name FROM t WHERE Score < " + std::to_string(bound);
    sqlite3_stmt* head = Prepare((where + " ORDER BY Name").c_str());
    std::string last;
    for (int32_t i = 0; i < first && sqlite3_step(head) == SQLITE_ROW; ++i)
      last = reinterpret_cast<const char*>(sqlite3_column_text(head, 1));
    sqlite3_finalize(head);
    commit();
    sqlite3_stmt* rest = Prepare((where + " AND Name > ?1 ORDER BY Name").c_str());
    sqlite3_bind_text(rest, 1, last.c_str(), -1, SQLITE_TRANSIENT);
    int64_t rows = 0;
    double seconds = 0;
    measure([&] {
      seconds = Seconds([&] {
        while (sqlite3_step(rest) == SQLITE_ROW) rows += sqlite3_column_bytes(rest, 1) > 0 ? 1 : 0;
      });
    });
    sqlite3_finalize(rest);
    LastRest = seconds;
    return rows;
  }
  // Locates of names: the rows found.
  int64_t Find(const std::vector<std::string>& names) {
    sqlite3_stmt* find = Prepare("SELECT ID FROM t WHERE Name = ?1");
    int64_t found = 0;
    for (const std::string& name : names) {
      sqlite3_bind_text(find, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      while (sqlite3_step(find) == SQLITE_ROW) ++found;
      sqlite3_reset(find);
    }
    sqlite3_finalize(find);
    return found;
  }
  double LastRest = 0;
};

constexpr int32_t kHeadRows = 50;

// A rest of a walk that takes longer is stopped there (and measured once):
// the walk it stands for takes at least that long.
constexpr double kRestLimit = 60;

// The rest of a filtered walk after kHeadRows rows, with and without a row
// appended by another process in between: the medians of three, seconds.
struct RestTimes {
  double Quiet = 0, Committed = 0;
  bool Cut = false;
};

RestTimes EngineRests(Reader& reader, const char* index, const char* self, const std::string& path, int32_t& nextID,
                      int32_t bound = 40) {
  RestTimes t;
  auto rest = [&](bool commit) {
    std::vector<double> times;
    for (int i = 0; i < 3 && !t.Cut; ++i) {
      reader.Begin(index, kHeadRows, bound);
      if (commit) RunAnotherProcess(self, "--append", path, nextID++);
      times.push_back(Seconds([&] { reader.Rest(kRestLimit, &t.Cut); }));
    }
    return SpreadOf(times).Median;
  };
  t.Quiet = rest(false);
  t.Committed = rest(true);
  return t;
}

RestTimes LiteRests(Lite& reader, const std::string& path, int32_t& nextID, int32_t bound = 40) {
  auto rest = [&](bool commit) {
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
      reader.WalkInTwo(
          kHeadRows,
          [&] {
            if (!commit) return;
            Lite writer(path);
            writer.Append(nextID, nextID + 1);
            ++nextID;
          },
          bound);
      times.push_back(reader.LastRest);
    }
    return SpreadOf(times).Median;
  };
  RestTimes t;
  t.Quiet = rest(false);
  t.Committed = rest(true);
  return t;
}

void PrintRests(const char* what, const RestTimes& t) {
  std::printf("  %-34s quiet %.4f s, after a commit %s%.4f s, ratio %s%.2f\n", what, t.Quiet, t.Cut ? "> " : "",
              t.Committed, t.Cut ? "> " : "", t.Committed / t.Quiet);
}

// ------------------------------------------------------- selective filters

// A filtered walk's parts that section 4 measures.
enum class Part { Fresh, Quiet, Commit };
constexpr Part kParts[] = {Part::Fresh, Part::Quiet, Part::Commit};
const char* PartName(Part part) { return part == Part::Fresh ? "fresh" : part == Part::Quiet ? "quiet" : "commit"; }

// Runs work with callgrind collecting (the process runs under callgrind
// started with --collect-atstart=no, so nothing else is counted).
void Counted(const std::function<void()>& work) {
#if QV_BENCH_CALLGRIND
  CALLGRIND_TOGGLE_COLLECT;
#endif
  work();
#if QV_BENCH_CALLGRIND
  CALLGRIND_TOGGLE_COLLECT;
#endif
}

// The --count process, run under callgrind: one part of one filtered walk
// (kind "engine" by index, or "lite"), only that part counted; id is the
// row a commit appends, by self (this program, run natively).
int CountPart(const std::string& self, const std::string& kind, const std::string& index, int32_t bound, Part part,
              const std::string& path, int32_t id) {
  if (kind == "lite") {
    Lite reader(path);
    if (part == Part::Fresh) {
      Counted([&] { reader.Walk(bound); });
    } else {
      reader.WalkInTwo(
          kHeadRows,
          [&] {
            if (part != Part::Commit) return;
            Lite writer(path);
            writer.Append(id, id + 1);
          },
          bound, Counted);
    }
    return 0;
  }
  return RunInBenchFolder("qvcount", [&](const std::string&) {
    Reader reader(path, "Count");
    reader.Open();
    if (part == Part::Fresh) {
      Counted([&] {
        reader.Begin(index.c_str(), 1, bound);
        reader.Rest();
      });
      return;
    }
    reader.Begin(index.c_str(), kHeadRows, bound);
    if (part == Part::Commit) RunAnotherProcess(self.c_str(), "--append", path, id);
    Counted([&] { reader.Rest(); });
  });
}

// The instructions of one part, counted by callgrind in a process of its
// own; -1 where valgrind cannot be run.
int64_t CountInstructions(const std::string& self, const std::string& folder, const char* kind, const char* index,
                          int32_t bound, Part part, const std::string& path, int32_t id) {
  if (!QV_BENCH_CALLGRIND) return -1;
  const std::string out = folder + "/count.out";
  std::vector<std::string> args{"valgrind",    "--tool=callgrind",     "-q",  "--collect-atstart=no",
                                "--callgrind-out-file=" + out, self, "--count", kind, index,
                                std::to_string(bound), PartName(part), path, std::to_string(id), self};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "valgrind", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  int64_t instructions = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    if (FILE* f = std::fopen(out.c_str(), "r")) {
      char line[256];
      long long value = 0;
      while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "summary: %lld", &value) == 1) instructions = value;
      std::fclose(f);
    }
  }
  // QV_BENCH_CALLGRIND_KEEP names a folder that keeps each count's profile
  // (for callgrind_annotate).
  if (const char* keep = std::getenv("QV_BENCH_CALLGRIND_KEEP"); keep != nullptr && instructions >= 0)
    std::filesystem::copy_file(out,
                               std::string(keep) + "/callgrind." + kind + "." + index + "." + std::to_string(bound) +
                                   "." + PartName(part),
                               std::filesystem::copy_options::overwrite_existing);
  std::filesystem::remove(out);
  return instructions;
}

// One walk's three parts: wall clock (seconds) and instructions (-1: not
// counted).
struct PartFigures {
  double Time[3] = {0, 0, 0};
  int64_t Instructions[3] = {-1, -1, -1};
};

void PrintParts(const char* what, const PartFigures& f, const PartFigures* lite) {
  std::printf("    %-17s", what);
  for (int p = 0; p < 3; ++p) {
    std::printf(" %s %7.3f ms", PartName(kParts[p]), f.Time[p] * 1e3);
    if (f.Instructions[p] >= 0) std::printf(" %8.2f MIr", static_cast<double>(f.Instructions[p]) / 1e6);
    std::printf(" |");
  }
  std::printf(" commit/quiet %.2f time", f.Time[2] / f.Time[1]);
  if (f.Instructions[1] > 0 && f.Instructions[2] >= 0)
    std::printf(", %.2f Ir", static_cast<double>(f.Instructions[2]) / static_cast<double>(f.Instructions[1]));
  if (lite != nullptr) {
    std::printf("; fresh/SQLite %.2f time", f.Time[0] / lite->Time[0]);
    if (f.Instructions[0] >= 0 && lite->Instructions[0] > 0)
      std::printf(", %.2f Ir", static_cast<double>(f.Instructions[0]) / static_cast<double>(lite->Instructions[0]));
  }
  std::printf("\n");
}

void SelectiveWalks(const std::string& self, const std::string& folder, const std::string& enginePath,
                    const std::string& litePath, Reader& fresh, Lite& liteFresh, int32_t& nextID) {
  std::printf("selective filters: the rest after %d rows, quiet and after another process's commit, and a fresh "
              "walk (goal: commit/quiet <= 2 at 10 and 20 %%, <= 3 at 5 %%)\n",
              kHeadRows);
  bool counting = true;
  for (const int32_t bound : {5, 10, 20}) {
    PartFigures lite;
    lite.Time[0] = SpreadOf({Seconds([&] { liteFresh.Walk(bound); }), Seconds([&] { liteFresh.Walk(bound); }),
                             Seconds([&] { liteFresh.Walk(bound); })})
                       .Median;
    int32_t liteID = nextID;
    const RestTimes liteRests = LiteRests(liteFresh, litePath, liteID, bound);
    lite.Time[1] = liteRests.Quiet;
    lite.Time[2] = liteRests.Committed;
    for (int p = 0; p < 3 && counting; ++p) {
      lite.Instructions[p] = CountInstructions(self, folder, "lite", "-", bound, kParts[p], litePath, liteID++);
      counting = lite.Instructions[p] >= 0;
    }
    std::printf("  Score < %d (%lld rows)\n", bound, static_cast<long long>(liteFresh.Walk(bound)));
    for (const char* index : {"ByName", "PK"}) {
      PartFigures f;
      std::vector<double> walks;
      for (int i = 0; i < 3; ++i) walks.push_back(Seconds([&] {
        fresh.Begin(index, 1, bound);
        fresh.Rest();
      }));
      f.Time[0] = SpreadOf(walks).Median;
      const RestTimes t = EngineRests(fresh, index, self.c_str(), enginePath, nextID, bound);
      f.Time[1] = t.Quiet;
      f.Time[2] = t.Committed;
      for (int p = 0; p < 3 && counting; ++p) {
        f.Instructions[p] = CountInstructions(self, folder, "engine", index, bound, kParts[p], enginePath, nextID++);
        counting = f.Instructions[p] >= 0;
      }
      PrintParts((std::string("engine by ") + index).c_str(), f, &lite);
    }
    nextID = std::max(nextID, liteID);
    PrintParts("SQLite", lite, nullptr);
  }
  if (!counting) std::printf("  (instructions not counted: valgrind with callgrind is needed)\n");
}

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
  RunAnotherProcess(self, "--grow", enginePath, bytes);
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
  std::printf("fresh engine / fresh SQLite: %.2f (goal <= 3); per row: engine %.2f us, SQLite %.2f us\n",
              engineFresh / liteFreshTime, engineFresh / static_cast<double>(std::max<int64_t>(freshRows, 1)) * 1e6,
              liteFreshTime / static_cast<double>(std::max<int64_t>(liteRows, 1)) * 1e6);

  // Locates of names spread over the table.
  std::vector<std::string> names;
  for (int32_t i = 0; i < 200; ++i) names.push_back(NameOf(kStartRows + (total - kStartRows) / 200 * i));
  int64_t reads = 0;
  const double engineLocate = Seconds([&] { reads = fresh.Locate(names); });
  int64_t found = 0;
  const double liteLocate = Seconds([&] { found = liteFresh.Find(names); });
  std::printf("Locate of %zu names: engine %.1f records read each, %.1f us each; SQLite %.1f us each (%lld found), "
              "ratio %.2f\n",
              names.size(), static_cast<double>(reads) / static_cast<double>(names.size()),
              engineLocate / static_cast<double>(names.size()) * 1e6,
              liteLocate / static_cast<double>(names.size()) * 1e6, static_cast<long long>(found),
              engineLocate / liteLocate);

  // The rest of a walk after another process's commit.
  int32_t nextID = total + 1000;
  std::printf("rest of a filtered walk after %d rows, with another process's commit in between (goal <= 2):\n",
              kHeadRows);
  PrintRests("engine, old reader, by ByName", EngineRests(old, "ByName", self, enginePath, nextID));
  PrintRests("engine, fresh reader, by ByName", EngineRests(fresh, "ByName", self, enginePath, nextID));
  PrintRests("engine, fresh reader, by PK", EngineRests(fresh, "PK", self, enginePath, nextID));
  int32_t liteID = nextID;
  PrintRests("SQLite, old connection", LiteRests(liteOld, litePath, liteID));
  PrintRests("SQLite, fresh connection", LiteRests(liteFresh, litePath, liteID));

  nextID = std::max(nextID, liteID);
  SelectiveWalks(std::filesystem::read_symlink(self).string(), folder, enginePath, litePath, fresh, liteFresh, nextID);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--grow") return Grow(argv[2], std::atoll(argv[3]));
  if (argc == 4 && std::string(argv[1]) == "--append")
    return AppendOne(argv[2], static_cast<int32_t>(std::atoll(argv[3])));
  if (argc == 9 && std::string(argv[1]) == "--count") {
    const std::string part = argv[5];
    return CountPart(argv[8], argv[2], argv[3],
                     static_cast<int32_t>(std::atoll(argv[4])),
                     part == "fresh" ? Part::Fresh : part == "quiet" ? Part::Quiet : Part::Commit, argv[6],
                     static_cast<int32_t>(std::atoll(argv[7])));
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<int64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoll(argv[i]));
  if (sizes.empty()) sizes = {20, 40};
  for (const int64_t megabytes : sizes) {
    std::printf("== %lld MB\n", static_cast<long long>(megabytes));
    const int rc = RunInBenchFolder(
        "qvshared", [&](const std::string& folder) { Run("/proc/self/exe", folder, megabytes * 1000000); });
    if (rc != 0) return rc;
  }
  return 0;
}
