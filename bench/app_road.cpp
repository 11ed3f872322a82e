// The program's work on a real log file, through the table component as the
// main window drives it: the duplicate check (a locate on Call;Freq;Mode),
// the whole-log recount of the IBM QSO Party, and the road of one added
// contact (append, fill, post with its durable commit, the reopen in contact
// order, then the backup copy with its flush: only the byte ranges the
// commit changed, see RunAdds). Logs of 10,000, 100,000 and 1,000,000
// contacts, each with and without the plain index on Call; SQLite on the
// same rows (index on Call, synchronous FULL) in the same run is the
// reference of the duplicate check (its indexed lookup) and of the recount
// (the same columns read in contact order).
//
// Goals: a duplicate check under 100 us at 100,000 contacts and within 1.5
// times SQLite's at 1,000,000 (with the index on Call); a recount of
// 1,000,000 contacts within 300 ms; an added contact end to end at most 3 ms
// median at every size, 1,000,000 within 1.5 times 10,000.
//
// Usage: bench_app_road [ADDS [CONTACTS...]]   (200 added contacts per log;
// logs of 10000, 100000 and 1000000 contacts by default)
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/QsoRecord.h"
#include "bench/ComponentBench.h"
#include "bench/Contacts.h"
#include "bench/SqliteFile.h"
#include "app/Scoring.h"
#include "app/EngineTableFactory.h"
#include "appdata/BackupCopy.h"
#include "appdata/LogNames.h"
#include "appdata/LogSchemas.h"
#include "engine/components/VLMMain.h"
#include "platform/host/HostVariant.h"
#include "platform/os/System.h"

namespace {

using qv::app::QsoRecord;
using qv::app::TableSpec;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }


// The log table of the program, with or without the index on Call.
TableSpec LogSpec(bool callIndex) {
  TableSpec spec = qv::app::LogTableSpec();
  if (!callIndex) spec.Indexes = spec.Indexes.first(1);  // "PrimeIndex" only
  return spec;
}

class Log {
public:
  Log(const std::string& path, const TableSpec& spec) {
    static int32_t serial = 0;
    const std::string name = "Road" + std::to_string(++serial);
    Database_.SetDatabaseName(name);
    Database_.SetDatabaseFileName(path);
    Database_.SilentMode = true;
    Database_.CreateDatabase();
    Database_.SetConnected(true);
    Table_.SetDatabaseName(name);
    Table_.SetTableName(spec.TableName);
    qv::app::DefineTable(spec, Table_.GetFieldDefs(), Table_.GetIndexDefs());
    Table_.CreateTable();
    Table_.Open();
    Table_.SetIndexName(qv::app::kPrimeIndexName);
  }
  void Fill(const std::vector<QsoRecord>& contacts) {
    Database_.StartTransaction();
    for (const QsoRecord& q : contacts) {
      Table_.Append();
      qv::app::WriteQso(Table_, q);
      Table_.Post();
    }
    Database_.Commit(true);
  }
  TVLMTable& Table() { return Table_; }
  TVLMDatabase& Database() { return Database_; }

private:
  TVLMDatabase Database_;
  TVLMTable Table_;
};

class Lite : public SqliteFile {
public:
  Lite(const std::string& path, const std::vector<QsoRecord>& contacts) : SqliteFile(path) {
    Exec("PRAGMA synchronous=FULL");
    Exec("CREATE TABLE log(QsoID INTEGER PRIMARY KEY AUTOINCREMENT, Call VARCHAR(10), Freq VARCHAR(12), "
         "Mode VARCHAR(10), QSODate VARCHAR(10), TimeStart VARCHAR(4), Name VARCHAR(30), IBM BOOLEAN, "
         "Points VARCHAR(5), Country VARCHAR(40))");
    Exec("CREATE INDEX CallIndex ON log(Call)");
    sqlite3_stmt* insert = Prepare(
        "INSERT INTO log(Call, Freq, Mode, QSODate, TimeStart, Name, IBM, Points, Country) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    Exec("BEGIN");
    for (const QsoRecord& q : contacts) {
      int k = 1;
      for (const std::string* s : {&q.Call, &q.Freq, &q.Mode, &q.QSODate, &q.TimeStart, &q.Name})
        sqlite3_bind_text(insert, k++, s->c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(insert, k++, q.IBM ? 1 : 0);
      sqlite3_bind_text(insert, k++, q.Points.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, k++, q.Country.c_str(), -1, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail("insert");
      sqlite3_reset(insert);
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
    Duplicate_ = Prepare("SELECT QsoID FROM log WHERE Call = ?1 AND Freq = ?2 AND Mode = ?3 LIMIT 1");
  }
  ~Lite() { sqlite3_finalize(Duplicate_); }
  // The recount's pass: every contact in contact order, its points and
  // membership read, and for a member its band, country and call.
  int64_t Recount() {
    sqlite3_stmt* pass = Prepare("SELECT Points, IBM, Freq, Country, Call FROM log ORDER BY QsoID");
    int64_t members = 0, bytes = 0;
    while (sqlite3_step(pass) == SQLITE_ROW) {
      bytes += sqlite3_column_bytes(pass, 0);
      if (sqlite3_column_int(pass, 1) == 0) continue;
      ++members;
      bytes += sqlite3_column_bytes(pass, 2) + sqlite3_column_bytes(pass, 3) + sqlite3_column_bytes(pass, 4);
    }
    if (bytes == 0) members = -1;
    sqlite3_finalize(pass);
    return members;
  }
  bool FindDuplicate(const QsoRecord& q) {
    sqlite3_bind_text(Duplicate_, 1, q.Call.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(Duplicate_, 2, q.Freq.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(Duplicate_, 3, q.Mode.c_str(), -1, SQLITE_STATIC);
    const bool found = sqlite3_step(Duplicate_) == SQLITE_ROW;
    sqlite3_reset(Duplicate_);
    return found;
  }

private:
  sqlite3_stmt* Duplicate_ = nullptr;
};

// The road of one added contact, as the main window takes it: the entry
// count, append, fill, post (the commit, durable), the last record, close,
// the backup update from the commit's changes (flushed), open again in
// contact order. SQLite's counterpart is the durable insert of the same row
// (one transaction, synchronous FULL). Goal: a median of at most 3 ms at
// every size, the median at 1,000,000 contacts within 1.5 times the one at
// the smallest size.
void RunAdds(const std::string& folder, Log& log, SqliteFile& lite, int32_t contacts, bool callIndex,
             const std::vector<QsoRecord>& more) {
  TVLMTable& table = log.Table();
  const std::string logPath = folder + "/" + std::string(qv::app::kLogFileName);
  const std::string backupPath = folder + "/" + std::string(qv::app::kBackupFileName);
  std::vector<double> whole, backup;
  int64_t ranges = 0, blocks = 0;
  int32_t roads[3] = {};
  for (const QsoRecord& q : more) {
    const auto start = Clock::now();
    table.SetIndexName(qv::app::kPrimeIndexName);
    (void)table.RecordCount();
    table.Append();
    qv::app::WriteQso(table, q);
    table.Post();
    table.Last();
    table.Close();
    const auto copyStart = Clock::now();
    qv::app::FileChanges changes;
    const bool known = qv::app::LastCommitChangesOf(log.Database(), changes);
    const qv::app::BackupUpdate update = qv::app::UpdateBackupCopy(logPath, backupPath, known ? &changes : nullptr);
    backup.push_back(Since(copyStart) * 1e3);
    ranges += update.RangesWritten;
    blocks += update.BlocksWritten;
    ++roads[static_cast<int>(update.Road)];
    table.Open();
    table.SetIndexName(qv::app::kPrimeIndexName);
    (void)table.RecordCount();
    table.Last();
    whole.push_back(Since(start) * 1e3);
  }
  std::vector<double> liteAdds;
  sqlite3_stmt* insert = lite.Prepare(
      "INSERT INTO log(Call, Freq, Mode, QSODate, TimeStart, Name, IBM, Points, Country) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  for (const QsoRecord& q : more) {
    const auto start = Clock::now();
    int k = 1;
    for (const std::string* text : {&q.Call, &q.Freq, &q.Mode, &q.QSODate, &q.TimeStart, &q.Name})
      sqlite3_bind_text(insert, k++, text->c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, k++, q.IBM ? 1 : 0);
    sqlite3_bind_text(insert, k++, q.Points.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, k++, q.Country.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) lite.Fail("insert");
    sqlite3_reset(insert);
    liteAdds.push_back(Since(start) * 1e3);
  }
  sqlite3_finalize(insert);

  // The median at the first (smallest) size run, per kind of log.
  static double firstMedian[2] = {0, 0};
  const Spread w = SpreadOf(whole);
  const Spread b = SpreadOf(backup);
  const Spread l = SpreadOf(liteAdds);
  double& first = firstMedian[callIndex ? 1 : 0];
  if (first == 0) first = w.Median;
  std::printf("  add a contact          %10.2f ms median, %.2f mean, %.2f max  sqlite %.2f median  engine/sqlite "
              "%5.2f  (goal <= 3 ms)%s\n",
              w.Median, w.Mean, w.Max, l.Median, w.Median / l.Median, w.Median <= 3 ? "" : "  OVER");
  std::printf("    against the first size %8.2f x its median%s\n", w.Median / first,
              contacts >= 1000000 ? (w.Median / first <= 1.5 ? "  (goal <= 1.5x)" : "  (goal <= 1.5x)  OVER") : "");
  std::printf("    of it the backup     %10.2f ms median, %.2f mean, %.2f max  = %.0f %% of the road\n", b.Median,
              b.Mean, b.Max, w.Mean > 0 ? 100 * b.Mean / w.Mean : 0);
  std::printf("    backup roads         %d changes (%.1f ranges each), %d compared (%lld blocks), %d rebuilt; "
              "log %lld bytes\n",
              roads[0], roads[0] > 0 ? static_cast<double>(ranges) / roads[0] : 0.0, roads[1],
              static_cast<long long>(blocks), roads[2], static_cast<long long>(std::filesystem::file_size(logPath)));
  // What a whole copy of the log after each contact would cost instead: the
  // rebuild of a missing backup (a new file, flushed and renamed).
  const std::string fullCopy = folder + "/full.vlm";
  const double full = Seconds([&] { qv::app::UpdateBackupCopy(logPath, fullCopy); });
  std::printf("    a whole copy instead %10.2f ms (with its flush)\n", full * 1e3);
  std::filesystem::remove(fullCopy);
}

void RunLog(const std::string& folder, int32_t contacts, bool callIndex, int32_t adds) {
  std::printf("\n%d contacts, %s\n", contacts, callIndex ? "with the index on Call" : "\"PrimeIndex\" only");
  const std::string logPath = folder + "/" + std::string(qv::app::kLogFileName);
  const std::string backupPath = folder + "/" + std::string(qv::app::kBackupFileName);
  std::filesystem::remove(logPath);
  std::filesystem::remove(backupPath);
  const std::vector<QsoRecord> rows = MakeContacts(contacts, 29);
  const std::vector<QsoRecord> more = MakeContacts(adds, 31);
  Log log(logPath, LogSpec(callIndex));
  log.Fill(rows);
  qv::app::UpdateBackupCopy(logPath, backupPath);
  TVLMTable& table = log.Table();
  Lite lite(folder + "/road.db", rows);

  // The duplicate check: nine of ten probes logged, one of ten on another
  // mode (no duplicate), with the log in contact order as the window has it.
  const int32_t probeCount = callIndex ? 5000 : std::max(20, 2000000 / contacts);
  std::mt19937 random(11);
  std::vector<QsoRecord> probes;
  std::vector<qv::HostVariant> keys;
  for (int32_t i = 0; i < probeCount; ++i) {
    QsoRecord q = rows[random() % rows.size()];
    if (i % 10 == 9) q.Mode = "FM";
    keys.push_back(qv::HostVariant::ArrayOf({qv::HostVariant(q.Call), qv::HostVariant(q.Freq), qv::HostVariant(q.Mode)}));
    probes.push_back(std::move(q));
  }
  int64_t answers = 0;
  const double engineCheck = Seconds([&] {
    for (const qv::HostVariant& key : keys) answers += table.Locate("CALL;FREQ;MODE", key, 0) ? 1 : 0;
  });
  const double liteCheck = Seconds([&] {
    for (const QsoRecord& q : probes) answers -= lite.FindDuplicate(q) ? 1 : 0;
  });
  const double perCheck = engineCheck * 1e6 / probeCount;
  std::printf("  duplicate check        %10.2f us  sqlite %8.2f us  engine/sqlite %7.2f  (goal < 100 us%s)%s\n",
              perCheck, liteCheck * 1e6 / probeCount, engineCheck / liteCheck,
              callIndex && contacts >= 1000000 ? ", <= 1.5x sqlite" : "", answers == 0 ? "" : "  ANSWERS DIFFER");

  // The recount over the whole log in contact order: the median of three
  // (of five below 100,000 contacts).
  qv::app::IbmScore score;
  const int32_t tallies = contacts >= 100000 ? 3 : 5;
  std::vector<double> counts, liteCounts;
  int64_t liteMembers = 0;
  for (int32_t i = 0; i < tallies; ++i) {
    counts.push_back(Seconds([&] { score.TallyLog(table); }));
    liteCounts.push_back(Seconds([&] { liteMembers = lite.Recount(); }));
  }
  const double recount = SpreadOf(counts).Median;
  const double liteRecount = SpreadOf(liteCounts).Median;
  std::printf("  recount                %10.2f ms  sqlite %8.2f ms  engine/sqlite %7.2f  (%d members, %d multipliers%s)%s\n",
              recount * 1e3, liteRecount * 1e3, recount / liteRecount, score.Totals().MemberCount,
              score.Totals().Multipliers, contacts >= 1000000 ? "; goal <= 300 ms" : "",
              liteMembers == score.Totals().MemberCount ? "" : "  MEMBERS DIFFER");

  RunAdds(folder, log, lite, contacts, callIndex, more);
  std::filesystem::remove(folder + "/road.db");
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t adds = argc > 1 ? std::atoi(argv[1]) : 200;
  std::vector<int32_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 100000, 1000000};
  if (adds < 1 || std::any_of(sizes.begin(), sizes.end(), [](int32_t n) { return n < 10; })) {
    std::fprintf(stderr, "usage: %s [ADDS [CONTACTS...]]\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvroad_", [&](const std::string& folder) {
    for (int32_t contacts : sizes)
      for (bool callIndex : {false, true}) RunLog(folder, contacts, callIndex, adds);
  });
}
