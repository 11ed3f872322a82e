// SQL statements, run through the query component on a database file and by
// SQLite on a file of its own, same texts, same data, in one run. Every
// workload runs at 25,000, 50,000, 100,000 and 200,000 rows; each line gives
// the median of five runs on both sides, their ratio, the peak resident
// memory of each side while it ran and the bytes the engine kept in
// temporary files at the most. At the end: the growth of each workload from
// the smallest size to the largest beside n log n's, the goals, and every
// line above 20 times SQLite's time.
//
//   bench_sql [filter]   only the workloads whose name holds filter
//                        (--shapes: only the statement shapes below,
//                        --no-shapes: none of them)
//
// The data at n rows, the same on both sides (filled in texts of 10,000 rows
// inside one transaction):
//   t1   id key, grp (100 values), val (random below 1,000,000, an index each
//        way), txt (10,000 values)
//   g, h id key, grp (100 values; g with an index on it), val (random, an
//        index)
//
// Workloads (rows read: every result row is read):
//   insert n rows, one transaction   START TRANSACTION; INSERT texts of
//                                    10,000 rows; COMMIT, into an empty copy
//                                    of t1 (the rate is the goal)
//   1,000 inserts, autocommit        1,000 one-row INSERT texts into t1,
//                                    each committing; then in one
//                                    transaction
//   select 1% range                  a range of val holding 1% of t1
//   top 10 by val desc               TOP 10 ... ORDER BY val DESC (LIMIT 10)
//   select distinct txt
//   1,000 point lookups              SELECT ... WHERE id = k, one text each
//   update 1% / delete 1%            UPDATE and DELETE of a range of val
//                                    holding 1% of t1 (another range each
//                                    run)
//   group by grp                     with and without the index on grp
//   count(*)                         all rows, and a 10% range of val
//   full read through vlmsql         SELECT * FROM t1 by the shell, beside
//                                    the sqlite3 shell where it is installed
//   join, inner / left               SELECT j1.id, j2.amt FROM j1 [LEFT] JOIN
//                                    j2 ON j1.id = j2.t1id, with an index on
//                                    j2.t1id and without one (j1, j2: n rows
//                                    each; t1id drawn from j1's ids, some
//                                    twice, some never)
//   union / except                   of two selects of half of t1 each,
//                                    beside one such select alone
//   in (select)                      WHERE grp IN (SELECT g FROM q2 WHERE
//                                    k = 1) over all of t1 (q2: 100 rows,
//                                    g 0-99, k = g mod 2)
//   correlated exists                EXISTS (SELECT ... WHERE q2.g = t1.grp
//                                    ...) over 1,000 outer rows
//
// Then the statement shapes, at 100,000 and 1,000,000 rows of
//   t    id key, grp (about 100 rows a value, an index), val FLOAT (no
//        index), txt VARCHAR(20)
//   u    10,000 rows: id key, tid (one of t's ids, an index), w (0-99),
//        amt FLOAT
//   m0..m19  10 rows each: id key, ref (a permutation of the ids), v
// each beside its goal (engine time / SQLite time unless said otherwise):
//   point select, prepared / new text   1,000 x SELECT ... WHERE id = k
//   prepared insert                     10,000 INSERTs of one prepared text
//                                       in one transaction
//   correlated exists                   id <= 1000 AND EXISTS (SELECT ...
//                                       FROM u WHERE u.tid = t.id ...)
//   in (select) over the key            id IN (SELECT tid FROM u WHERE w <
//                                       10)
//   join 10k to the big table           u INNER JOIN t ON t.id = u.tid
//   top 10, no index                    TOP 10 ... ORDER BY val DESC
//   between / the same range            id BETWEEN a AND b (1%) beside id
//                                       >= a AND id <= b
//   grp = 42                            the indexed grp, about 100 rows
//   20 tables joined                    m0..m19 in a scrambled FROM, each
//                                       linked to an earlier one by WHERE
//
//   bench_sql [--shapes | --no-shapes] [filter]
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"

extern char** environ;

namespace {

constexpr int kRuns = 5;
constexpr int kTextRows = 10000;
constexpr int kSingleTexts = 1000;
constexpr int kSizes[] = {25000, 50000, 100000, 200000};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ----------------------------------------------------------- measurement

// The peak resident memory of this process since the last reset, in bytes
// (the kernel's high-water mark, which writing 5 to clear_refs resets).
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A field of /proc/self/status in bytes: "VmHWM:" the peak, "VmRSS:" now.
int64_t StatusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::char_traits<char>::length(field))) * 1024;
  return 0;
}

// The largest number of bytes the temporary files of this process held at
// once while it watched: the engine removes a temporary file's name at once,
// so the files are found among the open handles, sampled every millisecond.
class TemporaryFileWatch {
public:
  explicit TemporaryFileWatch(std::string folder) : Folder_(std::move(folder)) {
    Thread_ = std::thread([this] {
      while (!Stop_) {
        Peak_ = std::max(Peak_.load(), Current());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~TemporaryFileWatch() {
    Stop_ = true;
    Thread_.join();
  }
  int64_t Peak() const { return std::max(Peak_.load(), Current()); }

private:
  int64_t Current() const {
    int64_t bytes = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
      std::error_code linkError;
      const std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
      if (linkError || target.rfind(Folder_, 0) != 0) continue;
      struct stat info {};
      if (stat(entry.path().c_str(), &info) == 0) bytes += static_cast<int64_t>(info.st_blocks) * 512;
    }
    return bytes;
  }

  std::string Folder_;
  std::atomic<bool> Stop_{false};
  std::atomic<int64_t> Peak_{0};
  std::thread Thread_;
};

// What one side of a workload measured over its runs.
struct Measured {
  double Seconds = 0;     // median
  int64_t Memory = 0;     // peak resident bytes, the largest of the runs
  int64_t Growth = 0;     // the most the resident bytes rose in a run
  int64_t Temporary = 0;  // peak temporary-file bytes, the largest of the runs
  int64_t Rows = 0;       // rows read or changed by the last run
};

// A piece of work that may report its own memory (a child process) and the
// rows it read or changed.
struct Outcome {
  int64_t Rows = 0;
  int64_t ChildMemory = 0;
};

// ------------------------------------------------------------ the sides

class Engine {
public:
  explicit Engine(const std::string& file) : File_(file) {
    Database_.SetDatabaseName("BENCH");
    Database_.SetDatabaseFileName(file);
    Database_.SilentMode = true;
    Database_.CreateDatabase();
    Query_.SetDatabaseName("BENCH");
  }
  ~Engine() { Query_.Disconnect(); }
  // The rows the text changed.
  int64_t Exec(const std::string& sql) {
    Query_.SetSQL(sql);
    Query_.ExecSQL();
    return Query_.RowsAffected();
  }
  // Runs a query and reads every row; the number of rows.
  int64_t Rows(const std::string& sql) {
    Query_.SetSQL(sql);
    Query_.Open();
    int64_t rows = 0;
    for (Query_.First(); !Query_.Eof(); Query_.Next()) ++rows;
    Query_.Close();
    return rows;
  }
  // Lets another process open the file (a database of one user holds it).
  void Release() {
    Query_.Disconnect();
    Database_.SetConnected(false);
  }
  const std::string& File() const { return File_; }

private:
  std::string File_;
  TVLMDatabase Database_;
  TVLMQuery Query_;
};

class Sqlite : public SqliteFile {
public:
  explicit Sqlite(const std::string& file) : SqliteFile(file), File_(file) {}
  int64_t ExecText(const std::string& sql) {
    Exec(sql.c_str());
    return sqlite3_changes(Db_);
  }
  int64_t Rows(const std::string& sql) {
    sqlite3_stmt* statement = Prepare(sql.c_str());
    int64_t rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) ++rows;
    sqlite3_finalize(statement);
    return rows;
  }
  const std::string& File() const { return File_; }

private:
  std::string File_;
};

// Runs program with args, its standard input from sql and its standard
// output into a file; the lines it wrote and its peak memory.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& sql,
                   const std::string& folder) {
  const std::string in = folder + "/stdin", out = folder + "/stdout";
  std::ofstream(in) << sql;
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  Outcome outcome;
  if (rc != 0) return outcome;
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  outcome.ChildMemory = static_cast<int64_t>(usage.ru_maxrss) * 1024;
  std::ifstream lines(out);
  for (std::string line; std::getline(lines, line);) ++outcome.Rows;
  return outcome;
}

// The sqlite3 shell on the path, or empty.
std::string SqliteShell() {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin";
  for (size_t start = 0; start <= folders.size();) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/sqlite3";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// ------------------------------------------------------------- the data

std::string T1Row(int i, std::mt19937& rng) {
  return "(" + std::to_string(i) + ", " + std::to_string(i % 100) + ", " + std::to_string(rng() % 1000000) + ", 't" +
         std::to_string(rng() % 10000) + "')";
}

// INSERT texts of 10,000 rows each for ids from..to-1 of a t1-shaped table.
std::vector<std::string> T1Texts(const std::string& table, int from, int to, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> texts;
  for (int start = from; start < to; start += kTextRows) {
    std::string text = "INSERT INTO " + table + " VALUES ";
    for (int i = start; i < std::min(to, start + kTextRows); ++i) text += (i > start ? ", " : "") + T1Row(i, rng);
    texts.push_back(std::move(text));
  }
  return texts;
}

void CreateT1Shaped(Engine& engine, Sqlite& sqlite, const std::string& t) {
  engine.Exec("CREATE TABLE " + t + " (id INTEGER NOT NULL, grp INTEGER, val INTEGER, txt VARCHAR(12), " +
              "PRIMARY KEY (id), INDEX " + t + "valup (val), INDEX " + t + "valdown (val DESC))");
  sqlite.ExecText("CREATE TABLE " + t + " (id INTEGER NOT NULL, grp INTEGER, val INTEGER, txt VARCHAR(12), " +
                  "PRIMARY KEY (id)); CREATE INDEX " + t + "valup ON " + t + " (val); CREATE INDEX " + t +
                  "valdown ON " + t + " (val DESC)");
}

// Runs texts inside one transaction on both sides.
void FillBoth(Engine& engine, Sqlite& sqlite, const std::vector<std::string>& texts) {
  engine.Exec("START TRANSACTION");
  sqlite.ExecText("BEGIN");
  for (const std::string& text : texts) {
    engine.Exec(text);
    sqlite.ExecText(text);
  }
  engine.Exec("COMMIT");
  sqlite.ExecText("COMMIT");
}

// t1, g and h at n rows, on both sides; the tables of the last size go
// first.
void FillTables(Engine& engine, Sqlite& sqlite, int n) {
  for (const char* t : {"t1", "g", "h", "j1", "j2i", "j2", "q2"}) {
    engine.Exec(std::string("DROP TABLE ") + t);
    sqlite.ExecText(std::string("DROP TABLE IF EXISTS ") + t);
  }
  CreateT1Shaped(engine, sqlite, "t1");
  FillBoth(engine, sqlite, T1Texts("t1", 0, n, 42));

  const std::string columns = " (id INTEGER NOT NULL, grp INTEGER, val INTEGER, PRIMARY KEY (id)";
  engine.Exec("CREATE TABLE g" + columns + ", INDEX ggrp (grp), INDEX gval (val))");
  engine.Exec("CREATE TABLE h" + columns + ", INDEX hval (val))");
  sqlite.ExecText("CREATE TABLE g" + columns + "); CREATE INDEX ggrp ON g (grp); CREATE INDEX gval ON g (val);" +
                  "CREATE TABLE h" + columns + "); CREATE INDEX hval ON h (val)");
  std::mt19937 rng(static_cast<uint32_t>(n));
  std::vector<std::string> texts;
  for (int start = 0; start < n; start += kTextRows) {
    std::string values;
    for (int i = start; i < std::min(n, start + kTextRows); ++i)
      values += (i > start ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(rng() % 100) + ", " +
                std::to_string(rng() % 1000000) + ")";
    texts.push_back("INSERT INTO g VALUES " + values);
    texts.push_back("INSERT INTO h VALUES " + values);
  }
  FillBoth(engine, sqlite, texts);

  // The join operands: j2i with an index on t1id, j2 the same rows without.
  const std::string j1 = "CREATE TABLE j1 (id INTEGER NOT NULL, val INTEGER, PRIMARY KEY (id))";
  const std::string j2 = "CREATE TABLE j2 (id INTEGER NOT NULL, t1id INTEGER, amt FLOAT, PRIMARY KEY (id))";
  engine.Exec(j1);
  sqlite.ExecText(j1);
  engine.Exec(j2);
  sqlite.ExecText(j2);
  engine.Exec("CREATE TABLE j2i (id INTEGER NOT NULL, t1id INTEGER, amt FLOAT, PRIMARY KEY (id), INDEX j2it1id (t1id))");
  sqlite.ExecText("CREATE TABLE j2i (id INTEGER NOT NULL, t1id INTEGER, amt FLOAT, PRIMARY KEY (id));"
                  "CREATE INDEX j2it1id ON j2i (t1id)");
  texts.clear();
  for (int start = 0; start < n; start += kTextRows) {
    std::string ones, twos;
    for (int i = start; i < std::min(n, start + kTextRows); ++i) {
      ones += (i > start ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(rng() % 1000) + ")";
      twos += (i > start ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(rng() % n) + ", " +
              std::to_string(rng() % 100000) + ".25)";
    }
    texts.push_back("INSERT INTO j1 VALUES " + ones);
    texts.push_back("INSERT INTO j2 VALUES " + twos);
    texts.push_back("INSERT INTO j2i VALUES " + twos);
  }
  std::string q2 = "INSERT INTO q2 VALUES ";
  for (int g = 0; g < 100; ++g) q2 += (g > 0 ? ", (" : "(") + std::to_string(g) + ", " + std::to_string(g % 2) + ")";
  texts.push_back(q2);
  const std::string q2Table = "CREATE TABLE q2 (g INTEGER NOT NULL, k INTEGER, PRIMARY KEY (g))";
  engine.Exec(q2Table);
  sqlite.ExecText(q2Table);
  FillBoth(engine, sqlite, texts);
}

// ------------------------------------------------------------ workloads

// One workload at one size: how each side runs it (run numbers 0-4), and
// what puts the data back afterwards, untimed.
struct Workload {
  std::string Name;
  std::function<Outcome(int run)> Ours;
  std::function<Outcome(int run)> Theirs;
  std::function<void(int run)> Reset;
  // Items per run for a rate (0: times only).
  int64_t Items = 0;
};

struct Line {
  Measured Ours;
  Measured Theirs;
};

Measured Measure(const std::function<Outcome(int)>& run, const std::function<void(int)>& reset,
                 const std::string& tempFolder) {
  Measured m;
  std::vector<double> times;
  for (int r = 0; r < kRuns; ++r) {
    ResetPeakMemory();
    const int64_t before = StatusBytes("VmRSS:");
    Outcome outcome;
    double seconds = 0;
    {
      TemporaryFileWatch watch(tempFolder);
      seconds = Seconds([&] { outcome = run(r); });
      m.Temporary = std::max(m.Temporary, watch.Peak());
    }
    times.push_back(seconds);
    // A child's memory is its own; this process's is what it rose to.
    const int64_t peak = outcome.ChildMemory > 0 ? outcome.ChildMemory : StatusBytes("VmHWM:");
    m.Memory = std::max(m.Memory, peak);
    m.Growth = std::max(m.Growth, outcome.ChildMemory > 0 ? outcome.ChildMemory : peak - before);
    m.Rows = outcome.Rows;
    if (reset) reset(r);
  }
  m.Seconds = Median(times);
  return m;
}

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

std::vector<Workload> Workloads(Engine& engine, Sqlite& sqlite, int n, const std::string& folder) {
  std::vector<Workload> list;
  auto rows = [](int64_t r) { return Outcome{r, 0}; };
  // A query on both sides, every row read.
  auto query = [&](const std::string& name, const std::string& ours, const std::string& theirs) {
    list.push_back({name, [&engine, ours, rows](int) { return rows(engine.Rows(ours)); },
                    [&sqlite, theirs, rows](int) { return rows(sqlite.Rows(theirs)); }, nullptr, 0});
  };

  // Bulk insert into an empty copy of t1, dropped after each run.
  const std::vector<std::string> bulk = T1Texts("t1copy", 0, n, 7);
  auto freshCopy = [&engine, &sqlite](int) {
    engine.Exec("DROP TABLE t1copy");
    sqlite.ExecText("DROP TABLE IF EXISTS t1copy");
    CreateT1Shaped(engine, sqlite, "t1copy");
  };
  freshCopy(0);
  list.push_back({"insert n rows, one transaction",
                  [&engine, bulk](int) {
                    engine.Exec("START TRANSACTION");
                    for (const std::string& text : bulk) engine.Exec(text);
                    engine.Exec("COMMIT");
                    return Outcome{};
                  },
                  [&sqlite, bulk](int) {
                    sqlite.ExecText("BEGIN");
                    for (const std::string& text : bulk) sqlite.ExecText(text);
                    sqlite.ExecText("COMMIT");
                    return Outcome{};
                  },
                  freshCopy, n});

  // 1,000 rows more in t1, taken out again afterwards.
  std::vector<std::string> singles;
  {
    std::mt19937 rng(9);
    for (int i = 0; i < kSingleTexts; ++i) singles.push_back("INSERT INTO t1 VALUES " + T1Row(n + i, rng));
  }
  const std::string added = "DELETE FROM t1 WHERE id >= " + std::to_string(n);
  auto removeAdded = [&engine, &sqlite, added](int) {
    engine.Exec(added);
    sqlite.ExecText(added);
  };
  list.push_back({"1,000 inserts, autocommit",
                  [&engine, singles](int) {
                    for (const std::string& s : singles) engine.Exec(s);
                    return Outcome{};
                  },
                  [&sqlite, singles](int) {
                    for (const std::string& s : singles) sqlite.ExecText(s);
                    return Outcome{};
                  },
                  removeAdded, kSingleTexts});
  list.push_back({"1,000 inserts, one transaction",
                  [&engine, singles](int) {
                    engine.Exec("START TRANSACTION");
                    for (const std::string& s : singles) engine.Exec(s);
                    engine.Exec("COMMIT");
                    return Outcome{};
                  },
                  [&sqlite, singles](int) {
                    sqlite.ExecText("BEGIN");
                    for (const std::string& s : singles) sqlite.ExecText(s);
                    sqlite.ExecText("COMMIT");
                    return Outcome{};
                  },
                  removeAdded, kSingleTexts});

  const std::string range = "SELECT id, val FROM t1 WHERE val >= 500000 AND val < 510000";
  query("select 1% range of indexed val", range, range);
  query("top 10 by val desc (index)", "SELECT TOP 10 id, val FROM t1 ORDER BY val DESC",
        "SELECT id, val FROM t1 ORDER BY val DESC LIMIT 10");
  query("select distinct txt", "SELECT DISTINCT txt FROM t1", "SELECT DISTINCT txt FROM t1");
  auto lookups = [n](auto& side) {
    int64_t found = 0;
    for (int k = 0; k < kSingleTexts; ++k)
      found += side.Rows("SELECT txt FROM t1 WHERE id = " + std::to_string(static_cast<int64_t>(k) * 97 % n));
    return Outcome{found, 0};
  };
  list.push_back({"1,000 point lookups by id", [&engine, lookups](int) { return lookups(engine); },
                  [&sqlite, lookups](int) { return lookups(sqlite); }, nullptr, kSingleTexts});

  // 1% of t1 by a range of the indexed val: another range each run (the
  // rows a DELETE took do not come back).
  auto slice = [](int run, int base) {
    return " WHERE val >= " + std::to_string((base + run) * 10000) + " AND val < " +
           std::to_string((base + run + 1) * 10000);
  };
  list.push_back({"update 1% by indexed val",
                  [&engine, slice](int run) { return Outcome{engine.Exec("UPDATE t1 SET grp = grp + 1" + slice(run, 10)), 0}; },
                  [&sqlite, slice](int run) {
                    return Outcome{sqlite.ExecText("UPDATE t1 SET grp = grp + 1" + slice(run, 10)), 0};
                  },
                  nullptr, 0});
  list.push_back({"delete 1% by indexed val",
                  [&engine, slice](int run) { return Outcome{engine.Exec("DELETE FROM t1" + slice(run, 20)), 0}; },
                  [&sqlite, slice](int run) { return Outcome{sqlite.ExecText("DELETE FROM t1" + slice(run, 20)), 0}; },
                  nullptr, 0});

  const std::string grouped = "SELECT grp, COUNT(*), SUM(val), AVG(val) FROM ";
  query("group by grp (index on grp)", grouped + "g GROUP BY grp", grouped + "g GROUP BY grp");
  query("group by grp (no index on grp)", grouped + "h GROUP BY grp", grouped + "h GROUP BY grp");
  query("count(*)", "SELECT COUNT(*) FROM g", "SELECT COUNT(*) FROM g");
  const std::string tenth = "SELECT COUNT(*) FROM g WHERE val >= 300000 AND val < 400000";
  query("count(*) where 10% of indexed val", tenth, tenth);

  for (const char* join : {"JOIN", "LEFT JOIN"})
    for (const char* table : {"j2i", "j2"}) {
      const std::string sql = std::string("SELECT j1.id, ") + table + ".amt FROM j1 " + join + " " + table +
                              " ON j1.id = " + table + ".t1id";
      query(std::string(join[0] == 'J' ? "join, inner" : "join, left") +
                (table[2] == 'i' ? ", index on t1id" : ", no index"),
            sql, sql);
    }

  const std::string half = std::to_string(n / 2);
  const std::string operand = "SELECT val FROM t1 WHERE id < " + half;
  query("one operand: a select of half of t1", operand, operand);
  for (const char* op : {"UNION", "EXCEPT"}) {
    const std::string sql = operand + " " + op + " SELECT val FROM t1 WHERE id >= " + half;
    query(std::string(op == std::string("UNION") ? "union" : "except") + " of two halves of t1", sql, sql);
  }
  const std::string in = "SELECT id FROM t1 WHERE grp IN (SELECT g FROM q2 WHERE k = 1)";
  query("where grp in (select)", in, in);
  const std::string exists =
      "SELECT id FROM t1 WHERE id < 1000 AND EXISTS (SELECT g FROM q2 WHERE q2.g = t1.grp AND q2.k = 1)";
  query("correlated exists, 1k outer rows", exists, exists);

  // The shells, each a process of its own on the file.
  const std::string shell = SqliteShell();
  list.push_back({"full read of t1 through vlmsql",
                  [&engine, folder](int) {
                    engine.Release();
                    return RunProgram(QV_VLMSQL, {engine.File()}, "SELECT * FROM t1", folder);
                  },
                  [&sqlite, folder, shell](int) {
                    if (shell.empty()) return Outcome{};
                    return RunProgram(shell, {"-header", "-separator", "|", sqlite.File()}, "SELECT * FROM t1;",
                                      folder);
                  },
                  nullptr, 0});
  return list;
}

// ------------------------------------------------------ statement shapes

constexpr int kShapeSizes[] = {100000, 1000000};
constexpr int kJoinRows = 10000;
constexpr int kManyTables = 20;

// t at n rows, u and m0..m19 on both sides.
void FillShapes(Engine& engine, Sqlite& sqlite, int n) {
  std::vector<std::string> drops{"t", "u"};
  for (int i = 0; i < kManyTables; ++i) drops.push_back("m" + std::to_string(i));
  for (const std::string& t : drops) {
    engine.Exec("DROP TABLE " + t);
    sqlite.ExecText("DROP TABLE IF EXISTS " + t);
  }
  engine.Exec("CREATE TABLE t (id INTEGER NOT NULL, grp INTEGER, val FLOAT, txt VARCHAR(20), PRIMARY KEY (id), "
              "INDEX tgrp (grp))");
  sqlite.ExecText("CREATE TABLE t (id INTEGER NOT NULL, grp INTEGER, val FLOAT, txt VARCHAR(20), PRIMARY KEY (id));"
                  "CREATE INDEX tgrp ON t (grp)");
  engine.Exec("CREATE TABLE u (id INTEGER NOT NULL, tid INTEGER, w INTEGER, amt FLOAT, PRIMARY KEY (id), "
              "INDEX utid (tid))");
  sqlite.ExecText("CREATE TABLE u (id INTEGER NOT NULL, tid INTEGER, w INTEGER, amt FLOAT, PRIMARY KEY (id));"
                  "CREATE INDEX utid ON u (tid)");
  std::mt19937 rng(static_cast<uint32_t>(n) + 5);
  const int groups = std::max(1, n / 100);
  std::vector<std::string> texts;
  for (int start = 0; start < n; start += kTextRows) {
    std::string text = "INSERT INTO t VALUES ";
    for (int i = start; i < std::min(n, start + kTextRows); ++i)
      text += (i > start ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(rng() % groups) + ", " +
              std::to_string(rng() % 1000000) + ".5, 'text " + std::to_string(rng() % 100000) + "')";
    texts.push_back(std::move(text));
  }
  std::string us = "INSERT INTO u VALUES ";
  for (int i = 0; i < kJoinRows; ++i)
    us += (i > 0 ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(rng() % n) + ", " +
          std::to_string(rng() % 100) + ", " + std::to_string(rng() % 10000) + ".25)";
  texts.push_back(us);
  for (int t = 0; t < kManyTables; ++t) {
    const std::string name = "m" + std::to_string(t);
    const std::string create = "CREATE TABLE " + name + " (id INTEGER NOT NULL, ref INTEGER, v INTEGER, PRIMARY KEY (id))";
    engine.Exec(create);
    sqlite.ExecText(create);
    std::string rows = "INSERT INTO " + name + " VALUES ";
    for (int i = 0; i < 10; ++i)
      rows += (i > 0 ? ", (" : "(") + std::to_string(i) + ", " + std::to_string((i * 3 + t) % 10) + ", " +
              std::to_string(t * 100 + i) + ")";
    texts.push_back(rows);
  }
  FillBoth(engine, sqlite, texts);
}

// The FROM and WHERE of the 20 tables: table i (i > 0) is linked by
// m_i.ref = m_p.id to an earlier table p; the FROM lists them scrambled, so
// that a table often comes before any table it is linked to.
std::string ManyTableJoin() {
  std::mt19937 rng(20);
  std::vector<int> order(kManyTables);
  for (int i = 0; i < kManyTables; ++i) order[static_cast<size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::string from, where;
  for (int i = 0; i < kManyTables; ++i) from += (i > 0 ? ", m" : "m") + std::to_string(order[static_cast<size_t>(i)]);
  for (int i = 1; i < kManyTables; ++i)
    where += (i > 1 ? " AND m" : "m") + std::to_string(i) + ".ref = m" + std::to_string(static_cast<int>(rng() % i)) +
             ".id";
  return "SELECT m0.id, m" + std::to_string(kManyTables - 1) + ".v FROM " + from + " WHERE " + where;
}

// A prepared statement of either side, kept for the runs of one size.
using SqliteStatement = std::shared_ptr<sqlite3_stmt>;

SqliteStatement PrepareKept(Sqlite& sqlite, const std::string& sql) {
  return SqliteStatement(sqlite.Prepare(sql.c_str()), [](sqlite3_stmt* s) { sqlite3_finalize(s); });
}

std::shared_ptr<TVLMQuery> PreparedQuery(const std::string& sql) {
  auto query = std::make_shared<TVLMQuery>();
  query->SetDatabaseName("BENCH");
  query->SetSQL(sql);
  query->Prepare();
  return query;
}

int64_t ReadAll(TVLMQuery& query) {
  query.Open();
  int64_t rows = 0;
  for (query.First(); !query.Eof(); query.Next()) ++rows;
  query.Close();
  return rows;
}

int64_t StepAll(sqlite3_stmt* statement) {
  int64_t rows = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) ++rows;
  sqlite3_reset(statement);
  return rows;
}

std::vector<Workload> ShapeWorkloads(Engine& engine, Sqlite& sqlite, int n) {
  std::vector<Workload> list;
  auto query = [&](const std::string& name, const std::string& ours, const std::string& theirs) {
    list.push_back({name, [&engine, ours](int) { return Outcome{engine.Rows(ours), 0}; },
                    [&sqlite, theirs](int) { return Outcome{sqlite.Rows(theirs), 0}; }, nullptr, 0});
  };
  const std::string point = "SELECT id, grp, val, txt FROM t WHERE id = ";
  {
    auto ours = PreparedQuery(point + ":id");
    auto theirs = PrepareKept(sqlite, point + "?");
    list.push_back({"point select, prepared x1000",
                    [ours, n](int) {
                      int64_t found = 0;
                      for (int k = 0; k < kSingleTexts; ++k) {
                        ours->ParamByName("id")->SetAsInteger(static_cast<int32_t>(int64_t{k} * 97 % n));
                        found += ReadAll(*ours);
                      }
                      return Outcome{found, 0};
                    },
                    [theirs, n](int) {
                      int64_t found = 0;
                      for (int k = 0; k < kSingleTexts; ++k) {
                        sqlite3_bind_int(theirs.get(), 1, static_cast<int>(int64_t{k} * 97 % n));
                        found += StepAll(theirs.get());
                      }
                      return Outcome{found, 0};
                    },
                    nullptr, kSingleTexts});
  }
  auto texts = [n, point](auto& side) {
    int64_t found = 0;
    for (int k = 0; k < kSingleTexts; ++k) found += side.Rows(point + std::to_string(int64_t{k} * 89 % n));
    return Outcome{found, 0};
  };
  list.push_back({"point select, new text x1000", [&engine, texts](int) { return texts(engine); },
                  [&sqlite, texts](int) { return texts(sqlite); }, nullptr, kSingleTexts});
  {
    const std::string insert = "INSERT INTO t VALUES (";
    auto ours = PreparedQuery(insert + ":id, :grp, :val, :txt)");
    auto theirs = PrepareKept(sqlite, insert + "?, ?, ?, ?)");
    const std::string added = "DELETE FROM t WHERE id >= " + std::to_string(n);
    list.push_back({"prepared insert x10000, one transaction",
                    [&engine, ours, n](int) {
                      engine.Exec("START TRANSACTION");
                      for (int i = 0; i < kTextRows; ++i) {
                        ours->ParamByName("id")->SetAsInteger(n + i);
                        ours->ParamByName("grp")->SetAsInteger(i % 1000);
                        ours->ParamByName("val")->SetAsFloat(i * 0.5);
                        ours->ParamByName("txt")->SetAsString("added " + std::to_string(i));
                        ours->ExecSQL();
                      }
                      engine.Exec("COMMIT");
                      return Outcome{};
                    },
                    [&sqlite, theirs, n](int) {
                      sqlite.ExecText("BEGIN");
                      for (int i = 0; i < kTextRows; ++i) {
                        const std::string txt = "added " + std::to_string(i);
                        sqlite3_bind_int(theirs.get(), 1, n + i);
                        sqlite3_bind_int(theirs.get(), 2, i % 1000);
                        sqlite3_bind_double(theirs.get(), 3, i * 0.5);
                        sqlite3_bind_text(theirs.get(), 4, txt.c_str(), -1, SQLITE_TRANSIENT);
                        StepAll(theirs.get());
                      }
                      sqlite.ExecText("COMMIT");
                      return Outcome{};
                    },
                    [&engine, &sqlite, added](int) {
                      engine.Exec(added);
                      sqlite.ExecText(added);
                    },
                    kTextRows});
  }
  const std::string exists =
      "SELECT id FROM t WHERE id <= 1000 AND EXISTS (SELECT id FROM u WHERE u.tid = t.id AND u.w < 50)";
  query("correlated exists, 1k outer rows", exists, exists);
  const std::string in = "SELECT id, val FROM t WHERE id IN (SELECT tid FROM u WHERE w < 10)";
  query("in (select) over the key", in, in);
  const std::string join = "SELECT u.id, t.val FROM u INNER JOIN t ON t.id = u.tid";
  query("join 10k to the big table", join, join);
  query("top 10 by val desc, no index", "SELECT TOP 10 id, val FROM t ORDER BY val DESC",
        "SELECT id, val FROM t ORDER BY val DESC LIMIT 10");
  const std::string low = std::to_string(n / 3), high = std::to_string(n / 3 + n / 100 - 1);
  const std::string between = "SELECT id, val FROM t WHERE id BETWEEN " + low + " AND " + high;
  query("between, 1% of the key", between, between);
  const std::string range = "SELECT id, val FROM t WHERE id >= " + low + " AND id <= " + high;
  query("the same range by >= and <=", range, range);
  const std::string group = "SELECT id, val FROM t WHERE grp = 42";
  query("grp = 42, indexed", group, group);
  const std::string many = ManyTableJoin();
  query("20 tables joined, scrambled", many, many);
  return list;
}

void RunShapes(Engine& engine, Sqlite& sqlite, const std::string& filter) {
  std::printf("\nstatement shapes\n%-40s %5s %10s %10s %7s\n", "workload", "rows", "engine ms", "sqlite ms", "ratio");
  std::map<std::string, std::vector<Line>> results;
  for (const int n : kShapeSizes) {
    FillShapes(engine, sqlite, n);
    for (const Workload& w : ShapeWorkloads(engine, sqlite, n)) {
      if (!filter.empty() && w.Name.find(filter) == std::string::npos) continue;
      std::vector<double> ours, theirs;
      Line line;
      for (int r = 0; r < kRuns; ++r) {
        ours.push_back(Seconds([&] { line.Ours.Rows = w.Ours(r).Rows; }));
        if (w.Reset) w.Reset(r);
        theirs.push_back(Seconds([&] { line.Theirs.Rows = w.Theirs(r).Rows; }));
        if (w.Reset) w.Reset(r);
      }
      line.Ours.Seconds = Median(ours);
      line.Theirs.Seconds = Median(theirs);
      results[w.Name].push_back(line);
      std::printf("%-40s %4dk %10.2f %10.2f %7.2f   engine %.2f-%.2f ms", w.Name.c_str(), n / 1000,
                  line.Ours.Seconds * 1e3, line.Theirs.Seconds * 1e3, line.Ours.Seconds / line.Theirs.Seconds,
                  *std::min_element(ours.begin(), ours.end()) * 1e3,
                  *std::max_element(ours.begin(), ours.end()) * 1e3);
      if (line.Ours.Rows != line.Theirs.Rows)
        std::printf("   rows differ: %lld vs %lld", static_cast<long long>(line.Ours.Rows),
                    static_cast<long long>(line.Theirs.Rows));
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  std::printf("\nshape goals:\n");
  auto ratio = [&](const std::string& name, size_t size) {
    const auto found = results.find(name);
    if (found == results.end() || found->second.size() <= size) return -1.0;
    return found->second[size].Ours.Seconds / found->second[size].Theirs.Seconds;
  };
  auto goal = [&](const std::string& name, double limit) {
    for (size_t i = 0; i < std::size(kShapeSizes); ++i) {
      const double r = ratio(name, i);
      if (r < 0) continue;
      std::printf("  %-40s %4dk time %.2f (<= %.1f): %s\n", name.c_str(), kShapeSizes[i] / 1000, r, limit,
                  r <= limit ? "met" : "MISSED");
    }
  };
  goal("point select, prepared x1000", 2.0);
  goal("point select, new text x1000", 3.0);
  goal("prepared insert x10000, one transaction", 3.0);
  goal("correlated exists, 1k outer rows", 5.0);
  goal("in (select) over the key", 3.0);
  goal("join 10k to the big table", 3.0);
  goal("top 10 by val desc, no index", 3.0);
  goal("grp = 42, indexed", 3.0);
  goal("20 tables joined, scrambled", 10.0);
  // BETWEEN against the same range written out; growth of the engine's time
  // from the smaller size to the larger beside the rows each returns.
  for (size_t i = 0; i < std::size(kShapeSizes); ++i) {
    const auto b = results.find("between, 1% of the key"), r = results.find("the same range by >= and <=");
    if (b == results.end() || r == results.end() || b->second.size() <= i || r->second.size() <= i) continue;
    const double x = b->second[i].Ours.Seconds / r->second[i].Ours.Seconds;
    std::printf("  %-40s %4dk between / range %.2f (<= 1.2): %s\n", "between beside the range", kShapeSizes[i] / 1000,
                x, x <= 1.2 ? "met" : "MISSED");
  }
  for (const char* name : {"in (select) over the key", "grp = 42, indexed"}) {
    const auto found = results.find(name);
    if (found == results.end() || found->second.size() < 2) continue;
    const Line& a = found->second.front();
    const Line& b = found->second.back();
    std::printf("  %-40s growth x%.2f, rows x%.2f\n", name, b.Ours.Seconds / a.Ours.Seconds,
                static_cast<double>(b.Ours.Rows) / static_cast<double>(std::max<int64_t>(1, a.Ours.Rows)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool shapes = true, classic = true;
  int first = 1;
  if (argc > 1 && std::string(argv[1]) == "--shapes") {
    classic = false;
    first = 2;
  } else if (argc > 1 && std::string(argv[1]) == "--no-shapes") {
    shapes = false;
    first = 2;
  }
  const std::string filter = argc > first ? argv[first] : "";
  return RunInBenchFolder("qv_bench_sql_", [&](const std::string& folder) {
    // The engine's temporary files go to a folder of their own.
    const std::string temp = folder + "/tmp";
    std::filesystem::create_directory(temp);
    setenv("TMPDIR", temp.c_str(), 1);
    Engine engine(folder + "/bench.vlm");
    Sqlite sqlite(folder + "/bench.sqlite");

    std::map<std::string, std::vector<Line>> results;
    std::vector<std::string> order;
    // Memory: the peak resident size while the engine ran (that of the shell
    // for the shells), and how far each side raised it in a run.
    std::printf("%-34s %5s %10s %10s %7s %8s %8s %8s %8s\n", "workload", "rows", "engine ms", "sqlite ms", "ratio",
                "peak MB", "+MB", "sqlite+", "temp MB");
    for (const int n : kSizes) {
      if (!classic) break;
      FillTables(engine, sqlite, n);
      for (const Workload& w : Workloads(engine, sqlite, n, folder)) {
        if (!filter.empty() && w.Name.find(filter) == std::string::npos) continue;
        Line line{Measure(w.Ours, w.Reset, temp), Measure(w.Theirs, w.Reset, temp)};
        if (results.find(w.Name) == results.end()) order.push_back(w.Name);
        results[w.Name].push_back(line);
        std::printf("%-34s %4dk %10.2f %10.2f %7.2f %8s %8s %8s %8s", w.Name.c_str(), n / 1000,
                    line.Ours.Seconds * 1e3, line.Theirs.Seconds * 1e3, line.Ours.Seconds / line.Theirs.Seconds,
                    Megabytes(line.Ours.Memory).c_str(), Megabytes(line.Ours.Growth).c_str(),
                    Megabytes(line.Theirs.Growth).c_str(), Megabytes(line.Ours.Temporary).c_str());
        if (w.Items > 0)
          std::printf("   %.0f vs %.0f per s", static_cast<double>(w.Items) / line.Ours.Seconds,
                      static_cast<double>(w.Items) / line.Theirs.Seconds);
        if (line.Ours.Rows != line.Theirs.Rows)
          std::printf("   rows differ: %lld vs %lld", static_cast<long long>(line.Ours.Rows),
                      static_cast<long long>(line.Theirs.Rows));
        std::printf("\n");
        std::fflush(stdout);
      }
    }

    // Growth from the smallest size to the largest, beside n log n's; what
    // grows faster than that by half, and every ratio above 20, is named.
    const double smallest = kSizes[0], largest = kSizes[std::size(kSizes) - 1];
    const double nlogn = largest * std::log(largest) / (smallest * std::log(smallest));
    std::printf("\ngrowth %dk -> %dk (n log n x%.2f), engine and sqlite:\n", kSizes[0] / 1000,
                kSizes[std::size(kSizes) - 1] / 1000, nlogn);
    std::vector<std::string> notes;
    for (const std::string& name : order) {
      const std::vector<Line>& lines = results[name];
      const double ours = lines.back().Ours.Seconds / lines.front().Ours.Seconds;
      const double theirs = lines.back().Theirs.Seconds / lines.front().Theirs.Seconds;
      std::printf("  %-34s x%7.2f  x%7.2f%s\n", name.c_str(), ours, theirs,
                  ours > 1.5 * nlogn ? "   GROWS WORSE THAN n log n" : "");
      for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].Ours.Seconds > 20 * lines[i].Theirs.Seconds)
          notes.push_back(name + " at " + std::to_string(kSizes[i] / 1000) + "k: " +
                          std::to_string(lines[i].Ours.Seconds / lines[i].Theirs.Seconds) + " x sqlite's time");
    }
    // The goals: UPDATE, DELETE, the 1% range, TOP 10, DISTINCT, the indexed
    // GROUP BY and COUNT(*) within 3 times SQLite's time, the one-transaction
    // insert at half SQLite's rate or better.
    std::printf("\ngoals:\n");
    auto goal = [&](const std::string& name, double limit, bool rate) {
      const auto found = results.find(name);
      if (found == results.end()) return;
      for (size_t i = 0; i < found->second.size(); ++i) {
        const Line& line = found->second[i];
        const double ratio =
            rate ? line.Theirs.Seconds / line.Ours.Seconds : line.Ours.Seconds / line.Theirs.Seconds;
        const bool met = rate ? ratio >= limit : ratio <= limit;
        std::printf("  %-34s %4dk %s %.2f (%s %.1f): %s\n", name.c_str(), kSizes[i] / 1000,
                    rate ? "rate" : "time", ratio, rate ? ">=" : "<=", limit, met ? "met" : "MISSED");
      }
    };
    goal("update 1% by indexed val", 3.0, false);
    goal("delete 1% by indexed val", 3.0, false);
    goal("insert n rows, one transaction", 0.5, true);
    goal("select 1% range of indexed val", 3.0, false);
    goal("top 10 by val desc (index)", 3.0, false);
    goal("select distinct txt", 3.0, false);
    goal("group by grp (index on grp)", 3.0, false);
    goal("count(*)", 3.0, false);
    goal("count(*) where 10% of indexed val", 3.0, false);
    std::printf("\nabove 20 x sqlite's time:%s\n", notes.empty() ? " none" : "");
    for (const std::string& note : notes) std::printf("  %s\n", note.c_str());
    if (shapes) RunShapes(engine, sqlite, filter);
  });
}
