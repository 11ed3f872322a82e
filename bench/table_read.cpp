// Reading rows through the table layer against SQLite on the same rows, in
// one run, at 100,000 and 1,000,000 rows (or the sizes given):
//
//   full scan in physical order   every row through the table component in
//                                 record order, its call read
//   full scan in index order      the same in the order of the index on Call,
//                                 and in the order of the primary key (id)
//   ranges of 100 rows            500 walks of 100 rows each in the order of
//                                 the index on Call, and of the primary key,
//                                 from a row found by Locate, each row's call
//                                 read (SQLite: ORDER BY ... LIMIT 100 from
//                                 the same value)
//   COUNT(*), SUM(val)            over the whole table through the query
//                                 component
//   recount of the program's log  the IBM QSO Party recount (IbmScore::
//                                 TallyLog) over the program's log table (43
//                                 columns), in contact order, against SQLite
//                                 reading the same columns of a table of the
//                                 15 columns a contact fills
//   peak resident memory          of each side while it reads (open, the
//                                 figures above, close) and while it loads
//
// The table: eight columns shaped like the log (id key, call, freq, mode,
// date, time, name, val; an index on call). SQLite: page_size 4096,
// cache_size -262144 (the engine's cache cap), journal DELETE,
// synchronous OFF. Each read figure is the median of five timings; the line
// gives the time of both sides per row (per statement for SQL, per range for
// the ranges), the engine's time over SQLite's and its goal. SQLite answers
// the scan and the ranges in call order from its index alone; the line below
// each reads a column the index does not hold.
//
// Goals (engine time over SQLite's): physical order <= 1.5; index order <= 3
// at 100,000 rows, <= 5 at 1,000,000; a range of 100 rows in call order
// <= 3; COUNT(*) and SUM(val) <= 2; the recount <= 300 ms at 1,000,000; peak
// resident memory while reading <= 1.5 times SQLite's.
//
// Memory: each side runs with the rows the driver made already in memory;
// its figure is the kernel's high-water mark of the process (reset before
// the side) less the resident size when the side began, after the other
// side's freed memory went back to the system.
//
// Usage: bench_table_read [--no-recount] [ROWS...]   (100000 1000000)
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/EngineTableFactory.h"
#include "app/QsoRecord.h"
#include "app/Scoring.h"
#include "appdata/LogNames.h"
#include "appdata/LogSchemas.h"
#include "bench/ComponentBench.h"
#include "bench/Contacts.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "platform/host/HostVariant.h"

namespace {

using Row = LogRow;

// ------------------------------------------------------------ measurement

void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A field of /proc/self/status in bytes ("VmHWM:", "VmRSS:").
int64_t StatusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::strlen(field))) * 1024;
  return 0;
}

// The resident bytes that run added at its peak.
int64_t PeakGrowth(const std::function<void()>& run) {
  malloc_trim(0);
  ResetPeakMemory();
  const int64_t before = StatusBytes("VmRSS:");
  run();
  return StatusBytes("VmHWM:") - before;
}

struct Timing {
  double Median = 0, Low = 0, High = 0;
};

Timing Time5(const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) times.push_back(Seconds(run));
  std::sort(times.begin(), times.end());
  return {times[2], times[0], times[4]};
}

void Line(const char* what, double count, const Timing& engine, const Timing& sqlite, double goal) {
  const double ratio = engine.Median / sqlite.Median;
  // Per row in ns, per statement in us, a recount in ms.
  const double scale = count > 1 ? 1e9 / count : count < 0 ? 1e3 : 1e6;
  const char* unit = count > 1 ? "ns" : count < 0 ? "ms" : "us";
  std::printf("%-40s %9.1f %s (%.1f-%.1f) %9.1f %s  engine/sqlite %6.2f", what, engine.Median * scale, unit,
              engine.Low * scale, engine.High * scale, sqlite.Median * scale, unit, ratio);
  if (goal > 0) std::printf("  (goal <= %.1f)%s", goal, ratio <= goal ? "" : "  OVER");
  std::printf("\n");
}

// ------------------------------------------------------------ the sides

// The ranges: kRanges walks of kRangeRows rows each.
constexpr int32_t kRanges = 500;
constexpr int32_t kRangeRows = 100;

constexpr const char* kColumns =
    "(id INTEGER NOT NULL, call VARCHAR(10), freq VARCHAR(12), mode VARCHAR(10), qsodate VARCHAR(10), "
    "timestart VARCHAR(4), name VARCHAR(30), val INTEGER, PRIMARY KEY (id))";

class Engine {
public:
  explicit Engine(const std::string& path, bool create) {
    static int32_t serial = 0;
    Name_ = "Read" + std::to_string(++serial);
    Database_.SetDatabaseName(Name_);
    Database_.SetDatabaseFileName(path);
    Database_.SilentMode = true;
    if (create) Database_.CreateDatabase();
    Database_.SetConnected(true);
    Query_.SetDatabaseName(Name_);
    Table_.SetDatabaseName(Name_);
    Table_.SetTableName("log");
  }
  ~Engine() {
    Query_.Close();
    Table_.Close();
  }
  void Exec(const std::string& sql) {
    Query_.SetSQL(sql);
    Query_.ExecSQL();
  }
  void Load(const std::vector<Row>& rows) {
    Exec(std::string("CREATE TABLE log ") + kColumns);
    Exec("CREATE INDEX callindex ON log (call)");
    Table_.Open();
    qv::Field* id = Table_.FieldByName("id");
    qv::Field* call = Table_.FieldByName("call");
    qv::Field* freq = Table_.FieldByName("freq");
    qv::Field* mode = Table_.FieldByName("mode");
    qv::Field* date = Table_.FieldByName("qsodate");
    qv::Field* time = Table_.FieldByName("timestart");
    qv::Field* name = Table_.FieldByName("name");
    qv::Field* val = Table_.FieldByName("val");
    Database_.StartTransaction();
    int32_t n = 0;
    for (const Row& row : rows) {
      Table_.Append();
      id->SetAsInteger(++n);
      call->SetAsString(row.Call);
      freq->SetAsString(row.Freq);
      mode->SetAsString(row.Mode);
      date->SetAsString("2024-05-04");
      time->SetAsString("1200");
      name->SetAsString(row.Name);
      val->SetAsInteger(row.Val);
      Table_.Post();
    }
    Database_.Commit(false);
    Table_.Close();
  }
  // Every row in the table's current order, its call read.
  int64_t Scan(const char* index) {
    if (!Table_.Active()) Table_.Open();
    Table_.SetIndexName(index);
    qv::Field* call = Table_.FieldByName("call");
    int64_t seen = 0;
    for (Table_.First(); !Table_.Eof(); Table_.Next()) seen += call->AsString().empty() ? 0 : 1;
    return seen;
  }
  // kRangeRows rows in the order of index from each start (a value of
  // field), each row's call read.
  int64_t Ranges(const char* index, const char* field, const std::vector<qv::HostVariant>& starts) {
    if (!Table_.Active()) Table_.Open();
    Table_.SetIndexName(index);
    qv::Field* call = Table_.FieldByName("call");
    int64_t seen = 0;
    for (const qv::HostVariant& start : starts) {
      if (!Table_.Locate(field, start, 0)) continue;
      for (int32_t i = 0; i < kRangeRows && !Table_.Eof(); ++i, Table_.Next())
        seen += call->AsString().empty() ? 0 : 1;
    }
    return seen;
  }
  int64_t Value(const std::string& sql) {
    Query_.SetSQL(sql);
    Query_.Open();
    const int64_t value = Query_.GetFields()[0]->AsLargeInt();
    Query_.Close();
    return value;
  }

private:
  std::string Name_;
  TVLMDatabase Database_;
  TVLMTable Table_;
  TVLMQuery Query_;
};

class Lite : public SqliteFile {
public:
  explicit Lite(const std::string& path) : SqliteFile(path) {
    Exec("PRAGMA cache_size=-262144");
    Exec("PRAGMA synchronous=OFF");
  }
  void Load(const std::vector<Row>& rows) {
    Exec((std::string("CREATE TABLE log ") + kColumns).c_str());
    Exec("CREATE INDEX callindex ON log (call)");
    sqlite3_stmt* insert = Prepare("INSERT INTO log VALUES(?1, ?2, ?3, ?4, '2024-05-04', '1200', ?5, ?6)");
    Exec("BEGIN");
    int32_t n = 0;
    for (const Row& row : rows) {
      sqlite3_bind_int(insert, 1, ++n);
      sqlite3_bind_text(insert, 2, row.Call.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, row.Freq.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 4, row.Mode.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 5, row.Name.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(insert, 6, row.Val);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail("insert");
      sqlite3_reset(insert);
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
  }
  // The rows sql gives for each of count starts, bind(statement, i) binding
  // the i-th; their first column read.
  int64_t Ranges(const char* sql, size_t count, const std::function<void(sqlite3_stmt*, size_t)>& bind) {
    sqlite3_stmt* statement = Prepare(sql);
    int64_t rows = 0;
    for (size_t i = 0; i < count; ++i) {
      bind(statement, i);
      while (sqlite3_step(statement) == SQLITE_ROW) rows += sqlite3_column_bytes(statement, 0) > 0 ? 1 : 0;
      sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    return rows;
  }
  int64_t Value(const char* sql) {
    sqlite3_stmt* statement = Prepare(sql);
    const int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return value;
  }
};

// What each side measured at one size.
struct Side {
  Timing Physical, IndexOrder, IndexOrderOther, KeyOrder, CallRanges, CallRangesOther, KeyRanges;
  Timing Count, Sum, Recount;
  int64_t LoadMemory = 0, ReadMemory = 0, RecountMemory = 0;
  int64_t Rows = 0, RowsInOrder = 0, RowsInKeyOrder = 0, RowsInCallRanges = 0, RowsInKeyRanges = 0;
  int64_t CountValue = 0, SumValue = 0, Members = -1;
};

// ----------------------------------------------------------- the recount

using qv::app::QsoRecord;


void RecountEngine(const std::string& path, const std::vector<QsoRecord>& contacts, Side& side) {
  const qv::app::TableSpec& spec = qv::app::LogTableSpec();
  {
    TVLMDatabase database;
    database.SetDatabaseName("Recount");
    database.SetDatabaseFileName(path);
    database.SilentMode = true;
    database.CreateDatabase();
    database.SetConnected(true);
    TVLMTable table;
    table.SetDatabaseName("Recount");
    table.SetTableName(spec.TableName);
    qv::app::DefineTable(spec, table.GetFieldDefs(), table.GetIndexDefs());
    table.CreateTable();
    table.Open();
    database.StartTransaction();
    for (const QsoRecord& q : contacts) {
      table.Append();
      qv::app::WriteQso(table, q);
      table.Post();
    }
    database.Commit(false);
  }
  side.RecountMemory = PeakGrowth([&] {
    TVLMDatabase database;
    database.SetDatabaseName("Recount");
    database.SetDatabaseFileName(path);
    database.SilentMode = true;
    database.SetConnected(true);
    TVLMTable table;
    table.SetDatabaseName("Recount");
    table.SetTableName(spec.TableName);
    table.Open();
    table.SetIndexName(qv::app::kPrimeIndexName);
    qv::app::IbmScore score;
    side.Recount = Time5([&] { score.TallyLog(table); });
    side.Members = score.Totals().MemberCount;
  });
}

void RecountSqlite(const std::string& path, const std::vector<QsoRecord>& contacts, Side& side) {
  {
    Lite lite(path);
    lite.Exec(
        "CREATE TABLE log(QsoID INTEGER PRIMARY KEY AUTOINCREMENT, QSODate VARCHAR(10), TimeStart VARCHAR(4), "
        "Call VARCHAR(10), Freq VARCHAR(12), Mode VARCHAR(10), RSTSent VARCHAR(5), NumSent VARCHAR(5), "
        "RSTRcvd VARCHAR(5), NumRcvd VARCHAR(5), Country VARCHAR(40), Continent VARCHAR(2), IBM BOOLEAN, "
        "Name VARCHAR(30), Points VARCHAR(5))");
    lite.Exec("CREATE INDEX CallIndex ON log(Call)");
    sqlite3_stmt* insert = lite.Prepare(
        "INSERT INTO log(QSODate, TimeStart, Call, Freq, Mode, RSTSent, NumSent, RSTRcvd, NumRcvd, Country, "
        "Continent, IBM, Name, Points) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
    lite.Exec("BEGIN");
    for (const QsoRecord& q : contacts) {
      int k = 1;
      for (const std::string* s : {&q.QSODate, &q.TimeStart, &q.Call, &q.Freq, &q.Mode, &q.RSTSent, &q.NumSent,
                                   &q.RSTRcvd, &q.NumRcvd, &q.Country, &q.Continent})
        sqlite3_bind_text(insert, k++, s->c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(insert, k++, q.IBM ? 1 : 0);
      sqlite3_bind_text(insert, k++, q.Name.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, k++, q.Points.c_str(), -1, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) lite.Fail("insert");
      sqlite3_reset(insert);
    }
    lite.Exec("COMMIT");
    sqlite3_finalize(insert);
  }
  side.RecountMemory = PeakGrowth([&] {
    Lite lite(path);
    side.Recount = Time5([&] {
      sqlite3_stmt* pass = lite.Prepare("SELECT Points, IBM, Freq, Country, Call FROM log ORDER BY QsoID");
      int64_t members = 0;
      while (sqlite3_step(pass) == SQLITE_ROW) {
        if (sqlite3_column_bytes(pass, 0) < 0 || sqlite3_column_int(pass, 1) == 0) continue;
        ++members;
        if (sqlite3_column_bytes(pass, 2) + sqlite3_column_bytes(pass, 3) + sqlite3_column_bytes(pass, 4) == 0)
          members = -1;
      }
      sqlite3_finalize(pass);
      side.Members = members;
    });
  });
}

// ------------------------------------------------------------- one size

// kRanges starts of ranges at random places: calls and ids of the rows.
void MakeRangeStarts(const std::vector<Row>& rows, std::vector<std::string>& calls, std::vector<int32_t>& ids) {
  std::mt19937 random(3);
  for (int32_t i = 0; i < kRanges; ++i) {
    calls.push_back(rows[random() % rows.size()].Call);
    ids.push_back(static_cast<int32_t>(1 + random() % (rows.size() - kRangeRows)));
  }
}

// A timing per range.
Timing PerRange(Timing t) {
  for (double* v : {&t.Median, &t.Low, &t.High}) *v /= kRanges;
  return t;
}

void RunSize(const std::string& folder, int32_t count, bool recount) {
  std::printf("\n%d rows%-34s %-26s %-12s\n", count, "", "engine (range)", "sqlite");
  const std::vector<Row> rows = MakeLogRows(count, 29);
  const std::string tag = folder + "/r" + std::to_string(count);
  Side engine, lite;
  std::vector<std::string> callStarts;
  std::vector<int32_t> idStarts;
  MakeRangeStarts(rows, callStarts, idStarts);
  const std::vector<qv::HostVariant> callValues(callStarts.begin(), callStarts.end());
  const std::vector<qv::HostVariant> idValues(idStarts.begin(), idStarts.end());
  const auto bindCall = [&](sqlite3_stmt* s, size_t i) {
    sqlite3_bind_text(s, 1, callStarts[i].c_str(), -1, SQLITE_STATIC);
  };
  const auto bindID = [&](sqlite3_stmt* s, size_t i) { sqlite3_bind_int(s, 1, idStarts[i]); };

  engine.LoadMemory = PeakGrowth([&] { Engine(tag + ".vlm", true).Load(rows); });
  engine.ReadMemory = PeakGrowth([&] {
    Engine e(tag + ".vlm", false);
    engine.Physical = Time5([&] { engine.Rows = e.Scan(""); });
    engine.IndexOrder = Time5([&] { engine.RowsInOrder = e.Scan("callindex"); });
    engine.KeyOrder = Time5([&] { engine.RowsInKeyOrder = e.Scan("C_PK$id"); });
    engine.CallRanges = PerRange(Time5([&] { engine.RowsInCallRanges = e.Ranges("callindex", "call", callValues); }));
    engine.KeyRanges = PerRange(Time5([&] { engine.RowsInKeyRanges = e.Ranges("C_PK$id", "id", idValues); }));
    engine.Count = Time5([&] { engine.CountValue = e.Value("SELECT COUNT(*) FROM log"); });
    engine.Sum = Time5([&] { engine.SumValue = e.Value("SELECT SUM(val) FROM log"); });
  });
  lite.LoadMemory = PeakGrowth([&] { Lite(tag + ".db").Load(rows); });
  lite.ReadMemory = PeakGrowth([&] {
    Lite l(tag + ".db");
    lite.Physical = Time5([&] { lite.Rows = l.Scan("SELECT call FROM log"); });
    lite.IndexOrder = Time5([&] { lite.RowsInOrder = l.Scan("SELECT call FROM log ORDER BY call"); });
    lite.IndexOrderOther = Time5([&] { l.Scan("SELECT name, call FROM log ORDER BY call"); });
    lite.KeyOrder = Time5([&] { lite.RowsInKeyOrder = l.Scan("SELECT call FROM log ORDER BY id"); });
    lite.CallRanges = PerRange(Time5([&] {
      lite.RowsInCallRanges =
          l.Ranges("SELECT call FROM log WHERE call >= ?1 ORDER BY call LIMIT 100", kRanges, bindCall);
    }));
    lite.CallRangesOther = PerRange(Time5([&] {
      l.Ranges("SELECT name, call FROM log WHERE call >= ?1 ORDER BY call LIMIT 100", kRanges, bindCall);
    }));
    lite.KeyRanges = PerRange(Time5([&] {
      lite.RowsInKeyRanges = l.Ranges("SELECT call FROM log WHERE id >= ?1 ORDER BY id LIMIT 100", kRanges, bindID);
    }));
    lite.Count = Time5([&] { lite.CountValue = l.Value("SELECT COUNT(*) FROM log"); });
    lite.Sum = Time5([&] { lite.SumValue = l.Value("SELECT SUM(val) FROM log"); });
  });
  const double goalOrder = count >= 1000000 ? 5.0 : 3.0;
  Line("full scan in physical order, per row", count, engine.Physical, lite.Physical, 1.5);
  Line("full scan in index order (call), per row", count, engine.IndexOrder, lite.IndexOrder, goalOrder);
  Line("  sqlite reading a column off the index", count, engine.IndexOrder, lite.IndexOrderOther, 0);
  Line("full scan in key order (id), per row", count, engine.KeyOrder, lite.KeyOrder, 0);
  Line("range of 100 rows in call order", 1, engine.CallRanges, lite.CallRanges, 3.0);
  Line("  sqlite reading a column off the index", 1, engine.CallRanges, lite.CallRangesOther, 0);
  Line("range of 100 rows in key order (id)", 1, engine.KeyRanges, lite.KeyRanges, 0);
  Line("COUNT(*) through SQL", 1, engine.Count, lite.Count, 2.0);
  Line("SUM(val) through SQL", 1, engine.Sum, lite.Sum, 2.0);
  if (engine.RowsInKeyOrder != lite.RowsInKeyOrder || engine.RowsInCallRanges != lite.RowsInCallRanges ||
      engine.RowsInKeyRanges != lite.RowsInKeyRanges)
    std::printf("  ANSWERS DIFFER: in key order %lld/%lld, call ranges %lld/%lld, key ranges %lld/%lld\n",
                static_cast<long long>(engine.RowsInKeyOrder), static_cast<long long>(lite.RowsInKeyOrder),
                static_cast<long long>(engine.RowsInCallRanges), static_cast<long long>(lite.RowsInCallRanges),
                static_cast<long long>(engine.RowsInKeyRanges), static_cast<long long>(lite.RowsInKeyRanges));
  if (engine.Rows != lite.Rows || engine.RowsInOrder != lite.RowsInOrder || engine.CountValue != lite.CountValue ||
      engine.SumValue != lite.SumValue)
    std::printf("  ANSWERS DIFFER: rows %lld/%lld, in order %lld/%lld, count %lld/%lld, sum %lld/%lld\n",
                static_cast<long long>(engine.Rows), static_cast<long long>(lite.Rows),
                static_cast<long long>(engine.RowsInOrder), static_cast<long long>(lite.RowsInOrder),
                static_cast<long long>(engine.CountValue), static_cast<long long>(lite.CountValue),
                static_cast<long long>(engine.SumValue), static_cast<long long>(lite.SumValue));
  std::printf("%-40s %9.1f MB %20s %9.1f MB\n", "file size", std::filesystem::file_size(tag + ".vlm") / 1048576.0, "",
              std::filesystem::file_size(tag + ".db") / 1048576.0);
  std::filesystem::remove(tag + ".vlm");
  std::filesystem::remove(tag + ".db");

  if (recount) {
    const std::vector<QsoRecord> contacts = MakeContacts(count, 31);
    RecountEngine(tag + "_log.vlm", contacts, engine);
    std::filesystem::remove(tag + "_log.vlm");
    malloc_trim(0);
    RecountSqlite(tag + "_log.db", contacts, lite);
    std::filesystem::remove(tag + "_log.db");
    Line("recount of the program's log", -1, engine.Recount, lite.Recount, 0);
    if (count >= 1000000)
      std::printf("%-40s %9s goal <= 300 ms%s\n", "", "", engine.Recount.Median <= 0.3 ? "" : "  OVER");
    if (engine.Members != lite.Members)
      std::printf("  MEMBERS DIFFER: %lld / %lld\n", static_cast<long long>(engine.Members),
                  static_cast<long long>(lite.Members));
  }

  auto mb = [](int64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); };
  auto memory = [&](const char* what, int64_t e, int64_t s, double goal) {
    std::printf("%-40s %9.1f MB %20s %9.1f MB  engine/sqlite %6.2f", what, mb(e), "", mb(s),
                static_cast<double>(e) / static_cast<double>(std::max<int64_t>(s, 1)));
    if (goal > 0)
      std::printf("  (goal <= %.1f)%s", goal, static_cast<double>(e) <= goal * static_cast<double>(s) ? "" : "  OVER");
    std::printf("\n");
  };
  memory("peak resident memory, reading", engine.ReadMemory, lite.ReadMemory, 1.5);
  memory("peak resident memory, loading", engine.LoadMemory, lite.LoadMemory, 0);
  if (recount) memory("peak resident memory, recount", engine.RecountMemory, lite.RecountMemory, 0);
}

}  // namespace

int main(int argc, char** argv) {
  bool recount = true;
  std::vector<int32_t> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-recount") == 0) recount = false;
    else sizes.push_back(std::atoi(argv[i]));
  }
  if (sizes.empty()) sizes = {100000, 1000000};
  if (std::any_of(sizes.begin(), sizes.end(), [](int32_t n) { return n < 1000; })) {
    std::fprintf(stderr, "usage: %s [--no-recount] [ROWS...]   (ROWS >= 1000)\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvread_", [&](const std::string& folder) {
    for (int32_t count : sizes) RunSize(folder, count, recount);
  });
}
