// The durable single-row commit: a log-shaped row posted through the table
// component (SyncOnCommit on), against SQLite with synchronous FULL in its
// DELETE and its WAL journal modes, on the same machine and disk in the same
// run. The engine runs twice: single-user (a file held alone, whose commit
// flushes the least) and multi-user (a file that may be shared, whose commit
// makes its order durable with a flush between its steps). Each line prints
// the time per commit; the engine's lines also the flushes per commit (the
// file layer's count of its fdatasync calls), and the ratios to both SQLite
// modes with their goals.
//
// Usage: bench_storage_commits [COMMITS]   (COMMITS defaults to 1000)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/ComponentBench.h"
#include "bench/SqliteFile.h"
#include "engine/components/VLMMain.h"
#include "platform/os/File.h"

namespace {

constexpr int32_t kWarmUp = 20;  // commits before the clock starts

std::string CallOf(int32_t i) { return "K" + std::to_string(i % 10) + "X" + std::to_string(i); }

class Engine {
public:
  Engine(const std::string& path, bool multiUser) {
    Database_.SetDatabaseName(multiUser ? "SharedCommits" : "Commits");
    Database_.SetDatabaseFileName(path);
    Database_.SilentMode = true;
    Database_.MultiUser = multiUser;
    Database_.CreateDatabase();
    Database_.SetConnected(true);
    Table_.SetDatabaseName(Database_.DatabaseName());
    Table_.SetTableName("V5LogTabl");
    qv::FieldDefs& fields = Table_.GetFieldDefs();
    fields.Add("QsoID", qv::ftAutoInc);
    fields.Add("Call", qv::ftString, 10);
    fields.Add("Freq", qv::ftString, 12);
    fields.Add("Mode", qv::ftString, 10);
    fields.Add("Notes", qv::ftString, 255);
    Table_.GetIndexDefs().Add("PrimeIndex", "QsoID", qv::ixPrimary | qv::ixUnique);
    Table_.GetIndexDefs().Add("CallIndex", "Call", 0);
    Table_.CreateTable();
    Table_.Open();
  }
  void Insert(int32_t i) {
    Table_.Append();
    Table_.FieldByName("Call")->SetAsString(CallOf(i));
    Table_.FieldByName("Freq")->SetAsString("14025");
    Table_.FieldByName("Mode")->SetAsString("CW");
    Table_.FieldByName("Notes")->SetAsString("single-row commit");
    Table_.Post();
  }

private:
  TVLMDatabase Database_;
  TVLMTable Table_;
};

class Lite : public SqliteFile {
public:
  Lite(const std::string& path, const char* journalMode) : SqliteFile(path) {
    Exec((std::string("PRAGMA journal_mode=") + journalMode).c_str());
    Exec("PRAGMA synchronous=FULL");
    Exec("CREATE TABLE log(QsoID INTEGER PRIMARY KEY AUTOINCREMENT, Call VARCHAR(10), Freq VARCHAR(12), "
         "Mode VARCHAR(10), Notes VARCHAR(255))");
    Exec("CREATE INDEX CallIndex ON log(Call)");
    Insert_ = Prepare("INSERT INTO log(Call, Freq, Mode, Notes) VALUES(?1, '14025', 'CW', 'single-row commit')");
  }
  ~Lite() { sqlite3_finalize(Insert_); }
  void Insert(int32_t i) {
    const std::string call = CallOf(i);
    sqlite3_bind_text(Insert_, 1, call.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(Insert_) != SQLITE_DONE) Fail("insert");
    sqlite3_reset(Insert_);
  }

private:
  sqlite3_stmt* Insert_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  const int32_t count = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: %s [COMMITS]\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvcommits_", [count](const std::string& folder) {
    // Seconds and flushes per commit, single-user [0] and multi-user [1].
    double e[2] = {0, 0}, flushes[2] = {0, 0};
    for (int m = 0; m < 2; ++m) {
      Engine engine(folder + (m == 0 ? "/engine.vlm" : "/shared.vlm"), m == 1);
      for (int32_t i = 0; i < kWarmUp; ++i) engine.Insert(-1 - i);
      const int64_t syncs = qv::FileSyncCount();
      e[m] = Seconds([&] {
        for (int32_t i = 0; i < count; ++i) engine.Insert(i);
      });
      flushes[m] = static_cast<double>(qv::FileSyncCount() - syncs) / count;
    }

    double lite[2] = {0, 0};
    const char* modes[2] = {"DELETE", "WAL"};
    for (int m = 0; m < 2; ++m) {
      Lite db(folder + "/sqlite_" + modes[m] + ".db", modes[m]);
      for (int32_t i = 0; i < kWarmUp; ++i) db.Insert(-1 - i);
      lite[m] = Seconds([&] {
        for (int32_t i = 0; i < count; ++i) db.Insert(i);
      });
    }

    std::printf("%d durable single-row commits (one row posted and committed each, flushes on)\n", count);
    std::printf("%-32s %12s %16s\n", "", "us/commit", "flushes/commit");
    std::printf("%-32s %12.1f %16.2f\n", "engine (single-user)", e[0] * 1e6 / count, flushes[0]);
    std::printf("%-32s %12.1f %16.2f\n", "engine (multi-user, shared file)", e[1] * 1e6 / count, flushes[1]);
    std::printf("%-32s %12.1f\n", "SQLite DELETE, synchronous FULL", lite[0] * 1e6 / count);
    std::printf("%-32s %12.1f\n", "SQLite WAL, synchronous FULL", lite[1] * 1e6 / count);
    std::printf("engine/DELETE time %.2f (goal <= 0.5), engine/WAL time %.2f (goal <= 1.3)\n", e[0] / lite[0],
                e[0] / lite[1]);
    std::printf("shared engine/DELETE time %.2f, shared engine/WAL time %.2f, shared/single-user time %.2f\n",
                e[1] / lite[0], e[1] / lite[1], e[1] / e[0]);
  });
}
