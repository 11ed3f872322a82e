// Commit throughput of the disk page manager against SQLite on the same
// machine and disk, in the same run: 10,000 transactions that each change
// one page of a 100-page table and commit.
//
//   flush on   the page manager's commit with its three flushes, against
//              SQLite with page_size 4096, journal_mode DELETE, synchronous FULL
//   flush off  SyncOnCommit off, against synchronous OFF
//
// Usage: bench_storage_commits [COUNT]   (COUNT defaults to 10000)
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineLocks.h"
#include "platform/os/System.h"

namespace {

constexpr int32_t kPages = 100;
constexpr int32_t kChange = 100;  // bytes changed per transaction

double TimeMs(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

// A database as the disk database data creates it, plus kPages data pages.
std::vector<int32_t> CreateEngineDatabase(TVLMDiskPageManager& pm, const std::string& path) {
  pm.CreateDatabase(path, {}, 4096, 8);
  TVLMSystemDirectory directory(&pm);
  directory.CreateFile();
  TVLMActiveSessionsFile sessions(&pm);
  directory.Add(TVLMDirectoryKind::ActiveSessions, static_cast<uint32_t>(sessions.CreateFile(500)));
  TVLMTableListFile tables(&pm);
  directory.Add(TVLMDirectoryKind::TableList, static_cast<uint32_t>(tables.CreateFile()));
  directory.Save();
  pm.Commit(kVLMSystemSessionID);
  std::vector<int32_t> pages;
  for (int32_t i = 0; i < kPages; ++i) {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    pages.push_back(page->PageNo);
  }
  pm.Commit(0);
  return pages;
}

double RunEngine(const std::string& path, bool sync, int32_t count) {
  TVLMDiskPageManager pm;
  std::vector<int32_t> pages = CreateEngineDatabase(pm, path);
  pm.SyncOnCommit = sync;
  return TimeMs([&] {
    for (int32_t i = 0; i < count; ++i) {
      TVLMHeldPage page(&pm, pm.GetPage(0, pages[static_cast<size_t>(i % kPages)], true, kVLMPageTableRecord));
      uint8_t* data = page->Data() + (i * 37) % (page->DataSize() - kChange);
      for (int32_t b = 0; b < kChange; ++b) data[b] = static_cast<uint8_t>(i + b);
      page->Modified = true;
      page.Release();
      pm.Commit(0);
    }
  });
}

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s: %s\n", sql, error ? error : "?");
    sqlite3_free(error);
    std::exit(1);
  }
}

double RunSQLite(const std::string& path, bool sync, int32_t count) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: cannot open %s\n", path.c_str());
    std::exit(1);
  }
  Exec(db, "PRAGMA page_size=4096");
  Exec(db, "PRAGMA journal_mode=DELETE");
  Exec(db, sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
  Exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)");
  std::vector<uint8_t> value(kChange, 0);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(id, v) VALUES(?1, ?2)", -1, &insert, nullptr);
  Exec(db, "BEGIN");
  for (int32_t i = 0; i < kPages; ++i) {
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_blob(insert, 2, value.data(), kChange, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  Exec(db, "COMMIT");
  sqlite3_finalize(insert);
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db, "UPDATE t SET v = ?1 WHERE id = ?2", -1, &update, nullptr);
  double ms = TimeMs([&] {
    for (int32_t i = 0; i < count; ++i) {
      for (int32_t b = 0; b < kChange; ++b) value[static_cast<size_t>(b)] = static_cast<uint8_t>(i + b);
      sqlite3_bind_blob(update, 1, value.data(), kChange, SQLITE_STATIC);
      sqlite3_bind_int(update, 2, i % kPages);
      if (sqlite3_step(update) != SQLITE_DONE) {
        std::fprintf(stderr, "sqlite: update failed\n");
        std::exit(1);
      }
      sqlite3_reset(update);
    }
  });
  sqlite3_finalize(update);
  sqlite3_close(db);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t count = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: %s [COUNT]\n", argv[0]);
    return 2;
  }
  std::string tmpl = qv::TempPath() + "/qvbench_XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) return 1;
  const std::string folder = name.data();

  std::printf("%d single-page transactions (%d bytes changed in one of %d pages, page size 4096)\n", count,
              kChange, kPages);
  std::printf("%-10s %14s %14s %14s %14s %8s\n", "flush", "engine ms", "engine us/tx", "sqlite ms", "sqlite us/tx",
              "ratio");
  int rc = 0;
  try {
    for (bool sync : {true, false}) {
      const std::string tag = sync ? "on" : "off";
      double engine = RunEngine(folder + "/engine_" + tag + ".vlm", sync, count);
      double sqlite = RunSQLite(folder + "/sqlite_" + tag + ".db", sync, count);
      std::printf("%-10s %14.1f %14.1f %14.1f %14.1f %8.2f\n", tag.c_str(), engine, engine * 1000.0 / count, sqlite,
                  sqlite * 1000.0 / count, engine / sqlite);
    }
    std::printf("ratio = engine time / SQLite time (below 1: the engine is faster)\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    rc = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return rc;
}
