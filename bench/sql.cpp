// SQL statements, run through the query component on a database file and by
// SQLite on a file of its own, same texts, same data, in one run; the median
// of five runs of each, with the ratios. Later SQL statements add their
// cases here.
//
//   insert 10,000 rows   START TRANSACTION; one INSERT text of 10,000 VALUES
//                        rows; COMMIT
//   1,000 one-row texts  1,000 INSERT texts of one row each, each text run
//                        on its own (each commits), and inside one
//                        transaction
//
// SELECT over t1, 100,000 rows (id key, grp of 100 values, val random with
// an index each way, txt of 10,000 values), every result row read:
//   1% range             a range of val that holds 1% of the rows
//   top 10               TOP 10 ... ORDER BY val DESC (LIMIT 10 for SQLite)
//   distinct             SELECT DISTINCT txt
//   point lookups        1,000 texts SELECT ... WHERE id = k, per text
//
// Grouping over g<n> (id key, grp of 100 values with an index, val random
// with an index) and its copy h<n> without the grp index, n from 25,000 to
// 200,000 rows:
//   group by grp         SELECT grp, COUNT(*), SUM(val), AVG(val) ... GROUP
//                        BY grp, with and without the index on grp
//   count(*)             SELECT COUNT(*), and with a 10% range of val
// and the growth of each from 25,000 to 200,000 rows beside n log n's.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"
#include "engine/components/VLMMainQuery.h"

namespace {

constexpr int kRuns = 5;
constexpr int kBulkRows = 10000;
constexpr int kSingleTexts = 1000;

const char* const kCreate =
    "CREATE TABLE log (id INTEGER NOT NULL, call VARCHAR(12), mode VARCHAR(6), freq INTEGER, notes VARCHAR(30), "
    "PRIMARY KEY (id))";

std::string Row(int i) {
  std::string row = "(";
  row.append(std::to_string(i)).append(", 'K").append(std::to_string(i % 9973)).append("ABC', '");
  row.append(i % 3 == 0 ? "CW" : "SSB").append("', ").append(std::to_string(7000 + i % 21000));
  row.append(", 'contact number ").append(std::to_string(i)).append("')");
  return row;
}

std::string BulkInsert() {
  std::string text = "INSERT INTO log VALUES ";
  for (int i = 0; i < kBulkRows; ++i) text += (i > 0 ? ", " : "") + Row(i);
  return text;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class Engine {
public:
  explicit Engine(const std::string& file) {
    Database_.SetDatabaseName("BENCH");
    Database_.SetDatabaseFileName(file);
    Database_.SilentMode = true;
    Database_.CreateDatabase();
    Query_.SetDatabaseName("BENCH");
  }
  ~Engine() { Query_.Disconnect(); }
  void Exec(const std::string& sql) {
    Query_.SetSQL(sql);
    Query_.ExecSQL();
  }
  void Fresh() { Exec(std::string("DROP TABLE log; ") + kCreate); }
  // Runs a query and reads every row; the number of rows.
  int64_t Rows(const std::string& sql) {
    Query_.SetSQL(sql);
    Query_.Open();
    int64_t rows = 0;
    for (Query_.First(); !Query_.Eof(); Query_.Next()) ++rows;
    Query_.Close();
    return rows;
  }

private:
  TVLMDatabase Database_;
  TVLMQuery Query_;
};

void Report(const char* what, double ours, double theirs, const char* unit, double scale) {
  std::printf("%-34s engine %10.1f %s   sqlite %10.1f %s   engine/sqlite time %.2f\n", what, ours * scale, unit,
              theirs * scale, unit, ours / theirs);
}

class Sqlite : public SqliteFile {
public:
  using SqliteFile::SqliteFile;
  void ExecText(const std::string& sql) { Exec(sql.c_str()); }
  void Fresh() { ExecText(std::string("DROP TABLE IF EXISTS log; ") + kCreate); }
  int64_t Rows(const std::string& sql) {
    sqlite3_stmt* statement = Prepare(sql.c_str());
    int64_t rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) ++rows;
    sqlite3_finalize(statement);
    return rows;
  }
};

constexpr int kSelectRows = 100000;

// t1 on both sides, filled in texts of 10,000 rows inside one transaction.
void FillT1(Engine& engine, Sqlite& sqlite) {
  const std::string create =
      "CREATE TABLE t1 (id INTEGER NOT NULL, grp INTEGER, val INTEGER, txt VARCHAR(12), PRIMARY KEY (id), "
      "INDEX valup (val), INDEX valdown (val DESC))";
  engine.Exec(create);
  sqlite.ExecText(
      "CREATE TABLE t1 (id INTEGER NOT NULL, grp INTEGER, val INTEGER, txt VARCHAR(12), PRIMARY KEY (id));"
      "CREATE INDEX t1val ON t1 (val); CREATE INDEX t1valdesc ON t1 (val DESC)");
  std::mt19937 rng(42);
  engine.Exec("START TRANSACTION");
  sqlite.ExecText("BEGIN");
  for (int start = 0; start < kSelectRows; start += 10000) {
    std::string text = "INSERT INTO t1 VALUES ";
    for (int i = start; i < start + 10000; ++i) {
      text += (i > start ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(i % 100) + ", " +
              std::to_string(rng() % 1000000) + ", 't" + std::to_string(rng() % 10000) + "')";
    }
    engine.Exec(text);
    sqlite.ExecText(text);
  }
  engine.Exec("COMMIT");
  sqlite.ExecText("COMMIT");
}

// Median times of one query on both sides; the row counts must agree.
void Compare(const char* what, Engine& engine, Sqlite& sqlite, const std::string& ours, const std::string& theirs) {
  std::vector<double> a, b;
  int64_t rowsA = 0, rowsB = 0;
  for (int run = 0; run < kRuns; ++run) {
    a.push_back(Seconds([&] { rowsA = engine.Rows(ours); }));
    b.push_back(Seconds([&] { rowsB = sqlite.Rows(theirs); }));
  }
  if (rowsA != rowsB) std::printf("%s: row counts differ: engine %lld, sqlite %lld\n", what,
                                  static_cast<long long>(rowsA), static_cast<long long>(rowsB));
  Report(what, Median(a), Median(b), "ms", 1e3);
}

// g<rows> with an index on grp and h<rows> without it, the same rows on both
// sides, filled in texts of 10,000 rows inside one transaction.
void FillGroupTables(Engine& engine, Sqlite& sqlite, int rows) {
  const std::string g = "g" + std::to_string(rows);
  const std::string h = "h" + std::to_string(rows);
  const std::string columns = " (id INTEGER NOT NULL, grp INTEGER, val INTEGER, PRIMARY KEY (id)";
  engine.Exec("CREATE TABLE " + g + columns + ", INDEX " + g + "grp (grp), INDEX " + g + "val (val))");
  engine.Exec("CREATE TABLE " + h + columns + ", INDEX " + h + "val (val))");
  sqlite.ExecText("CREATE TABLE " + g + columns + "); CREATE INDEX " + g + "grp ON " + g + " (grp); CREATE INDEX " +
                  g + "val ON " + g + " (val); CREATE TABLE " + h + columns + "); CREATE INDEX " + h + "val ON " + h +
                  " (val)");
  std::mt19937 rng(static_cast<uint32_t>(rows));
  engine.Exec("START TRANSACTION");
  sqlite.ExecText("BEGIN");
  for (int start = 0; start < rows; start += 10000) {
    std::string values;
    for (int i = start; i < std::min(rows, start + 10000); ++i) {
      values += (i > start ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(rng() % 100) + ", " +
                std::to_string(rng() % 1000000) + ")";
    }
    for (const std::string& table : {g, h}) {
      engine.Exec("INSERT INTO " + table + " VALUES " + values);
      sqlite.ExecText("INSERT INTO " + table + " VALUES " + values);
    }
  }
  engine.Exec("COMMIT");
  sqlite.ExecText("COMMIT");
}

// Median times of one query on both sides (the row counts must agree), in
// seconds.
std::pair<double, double> Time(Engine& engine, Sqlite& sqlite, const std::string& ours, const std::string& theirs) {
  std::vector<double> a, b;
  int64_t rowsA = 0, rowsB = 0;
  for (int run = 0; run < kRuns; ++run) {
    a.push_back(Seconds([&] { rowsA = engine.Rows(ours); }));
    b.push_back(Seconds([&] { rowsB = sqlite.Rows(theirs); }));
  }
  if (rowsA != rowsB)
    std::printf("%s: row counts differ: engine %lld, sqlite %lld\n", ours.c_str(), static_cast<long long>(rowsA),
                static_cast<long long>(rowsB));
  return {Median(a), Median(b)};
}

void GroupWorkloads(Engine& engine, Sqlite& sqlite) {
  const int sizes[] = {25000, 50000, 100000, 200000};
  struct Workload {
    const char* Name;
    // The text for table t (g<n> or h<n>).
    std::string (*Text)(const std::string& t);
    bool WithGroupIndex;
  };
  const Workload workloads[] = {
      {"group by grp (index on grp)",
       [](const std::string& t) { return "SELECT grp, COUNT(*), SUM(val), AVG(val) FROM " + t + " GROUP BY grp"; },
       true},
      {"group by grp (no index on grp)",
       [](const std::string& t) { return "SELECT grp, COUNT(*), SUM(val), AVG(val) FROM " + t + " GROUP BY grp"; },
       false},
      {"count(*)", [](const std::string& t) { return "SELECT COUNT(*) FROM " + t; }, true},
      {"count(*) where 10% of indexed val",
       [](const std::string& t) { return "SELECT COUNT(*) FROM " + t + " WHERE val >= 300000 AND val < 400000"; },
       true},
  };
  std::vector<std::vector<double>> ours(std::size(workloads));
  for (int rows : sizes) {
    FillGroupTables(engine, sqlite, rows);
    for (size_t w = 0; w < std::size(workloads); ++w) {
      const std::string table = (workloads[w].WithGroupIndex ? "g" : "h") + std::to_string(rows);
      const std::string text = workloads[w].Text(table);
      const auto [a, b] = Time(engine, sqlite, text, text);
      ours[w].push_back(a);
      const std::string what = std::string(workloads[w].Name) + ", " + std::to_string(rows / 1000) + "k";
      Report(what.c_str(), a, b, "ms", 1e3);
    }
  }
  const double nlogn = (200000.0 * std::log(200000.0)) / (25000.0 * std::log(25000.0));
  for (size_t w = 0; w < std::size(workloads); ++w)
    std::printf("%-34s growth 25k -> 200k: engine x%.2f (n log n x%.2f)\n", workloads[w].Name,
                ours[w].back() / ours[w].front(), nlogn);
}

}  // namespace

int main() {
  return RunInBenchFolder("qv_bench_sql_", [](const std::string& folder) {
    Engine engine(folder + "/bench.vlm");
    Sqlite sqlite(folder + "/bench.sqlite");
    engine.Exec(kCreate);
    sqlite.ExecText(kCreate);
    const std::string bulk = BulkInsert();

    std::vector<double> ours, theirs;
    for (int run = 0; run < kRuns; ++run) {
      engine.Fresh();
      sqlite.Fresh();
      ours.push_back(Seconds([&] { engine.Exec("START TRANSACTION; " + bulk + "; COMMIT"); }));
      theirs.push_back(Seconds([&] { sqlite.ExecText("BEGIN; " + bulk + "; COMMIT"); }));
    }
    const double bulkOurs = Median(ours), bulkTheirs = Median(theirs);
    std::printf("insert %d rows in one text, one transaction: engine %.0f rows/s, sqlite %.0f rows/s, "
                "engine rate %.2f of sqlite's\n",
                kBulkRows, kBulkRows / bulkOurs, kBulkRows / bulkTheirs, bulkTheirs / bulkOurs);

    std::vector<std::string> singles;
    for (int i = 0; i < kSingleTexts; ++i) singles.push_back("INSERT INTO log VALUES " + Row(i));
    ours.clear();
    theirs.clear();
    std::vector<double> oursTx, theirsTx;
    for (int run = 0; run < kRuns; ++run) {
      engine.Fresh();
      sqlite.Fresh();
      ours.push_back(Seconds([&] {
        for (const std::string& s : singles) engine.Exec(s);
      }));
      theirs.push_back(Seconds([&] {
        for (const std::string& s : singles) sqlite.ExecText(s);
      }));
      engine.Fresh();
      sqlite.Fresh();
      oursTx.push_back(Seconds([&] {
        engine.Exec("START TRANSACTION");
        for (const std::string& s : singles) engine.Exec(s);
        engine.Exec("COMMIT");
      }));
      theirsTx.push_back(Seconds([&] {
        sqlite.ExecText("BEGIN");
        for (const std::string& s : singles) sqlite.ExecText(s);
        sqlite.ExecText("COMMIT");
      }));
    }
    Report("1,000 one-row texts, each commits", Median(ours) / kSingleTexts, Median(theirs) / kSingleTexts,
           "us/text", 1e6);
    Report("1,000 one-row texts, one transaction", Median(oursTx) / kSingleTexts, Median(theirsTx) / kSingleTexts,
           "us/text", 1e6);

    FillT1(engine, sqlite);
    const std::string range = "SELECT id, val FROM t1 WHERE val >= 500000 AND val < 510000";
    Compare("select 1% range of indexed val", engine, sqlite, range, range);
    Compare("top 10 by val desc (index)", engine, sqlite, "SELECT TOP 10 id, val FROM t1 ORDER BY val DESC",
            "SELECT id, val FROM t1 ORDER BY val DESC LIMIT 10");
    Compare("select distinct txt", engine, sqlite, "SELECT DISTINCT txt FROM t1", "SELECT DISTINCT txt FROM t1");
    std::vector<double> a, b;
    for (int run = 0; run < kRuns; ++run) {
      a.push_back(Seconds([&] {
        for (int k = 0; k < kSingleTexts; ++k) engine.Rows("SELECT txt FROM t1 WHERE id = " + std::to_string(k * 97));
      }));
      b.push_back(Seconds([&] {
        for (int k = 0; k < kSingleTexts; ++k) sqlite.Rows("SELECT txt FROM t1 WHERE id = " + std::to_string(k * 97));
      }));
    }
    Report("1,000 point lookups by id", Median(a) / kSingleTexts, Median(b) / kSingleTexts, "us/text", 1e6);

    GroupWorkloads(engine, sqlite);
  });
}
