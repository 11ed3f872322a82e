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
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
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

private:
  TVLMDatabase Database_;
  TVLMQuery Query_;
};

class Sqlite : public SqliteFile {
public:
  using SqliteFile::SqliteFile;
  void ExecText(const std::string& sql) { Exec(sql.c_str()); }
  void Fresh() { ExecText(std::string("DROP TABLE IF EXISTS log; ") + kCreate); }
};

void Report(const char* what, double ours, double theirs, const char* unit, double scale) {
  std::printf("%-34s engine %10.1f %s   sqlite %10.1f %s   engine/sqlite time %.2f\n", what, ours * scale, unit,
              theirs * scale, unit, ours / theirs);
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
  });
}
