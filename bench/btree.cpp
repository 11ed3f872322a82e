// B-tree index speed: 1,000,000 random INTEGER keys and 100,000 random
// VARCHAR(12) keys inserted, then 1,000,000 point searches on the integers
// and 100,000 on the texts. The same work is done in the same run with a
// std::multiset of (key, record id) and with SQLite, whose index on the same
// keys is a WITHOUT ROWID table with PRIMARY KEY (key, record id): one tree
// keyed like ours. Everything lives in memory: the engine's tree on a page
// manager that keeps its 4096-byte pages in memory (committed once after
// the inserts), SQLite in ":memory:" with page_size 4096 inside one
// transaction.
//
// Our text keys compare by the fixed collation of the engine; the multiset
// and SQLite (BINARY) compare bytes.
//
// Usage: bench_btree
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <cstdlib>
#include <type_traits>
#include <string>
#include <vector>

#include "tests/support/engine/BTreeHarness.h"

using namespace btree_harness;

namespace {

constexpr int kIntKeys = 1000000;
constexpr int kTextKeys = 100000;
constexpr int kIntSearches = 1000000;
constexpr int kTextSearches = 100000;

double Seconds(const std::function<void()>& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TVLMRecordID IdOf(int i) { return {static_cast<uint32_t>(i / 64 + 1), static_cast<uint16_t>(i % 64)}; }

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "SQLite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

struct Times {
  double Insert = 0;
  double Search = 0;
  long Found = 0;
};

// ---------------------------------------------------------------- engine

Times EngineIntegers(const std::vector<int32_t>& keys, const std::vector<int32_t>& probes) {
  Times t;
  MemoryPageManager pm(4096);
  TestTable table;
  table.AddField("N", dtInteger);
  RecordTree tree(pm, table, *MakeIndexDef({{"N"}}));
  std::vector<uint8_t> rec = table.NewRecord();
  t.Insert = Seconds([&] {
    for (size_t i = 0; i < keys.size(); ++i) {
      table.SetInt(rec, 0, keys[i]);
      tree.Insert(rec, IdOf(static_cast<int>(i)));
    }
    pm.Commit(0);
  });
  t.Search = Seconds([&] {
    TVLMRecordID id{};
    for (int32_t k : probes) {
      table.SetInt(rec, 0, k);
      t.Found += tree.FindByCondition(rec, kVLMSearchEqual, true, id) ? 1 : 0;
    }
  });
  return t;
}

Times EngineTexts(const std::vector<std::string>& keys, const std::vector<std::string>& probes) {
  Times t;
  MemoryPageManager pm(4096);
  TestTable table;
  table.AddField("S", dtString, 12);
  RecordTree tree(pm, table, *MakeIndexDef({{"S"}}));
  std::vector<uint8_t> rec = table.NewRecord();
  t.Insert = Seconds([&] {
    for (size_t i = 0; i < keys.size(); ++i) {
      table.SetString(rec, 0, keys[i]);
      tree.Insert(rec, IdOf(static_cast<int>(i)));
    }
    pm.Commit(0);
  });
  t.Search = Seconds([&] {
    TVLMRecordID id{};
    for (const std::string& k : probes) {
      table.SetString(rec, 0, k);
      t.Found += tree.FindByCondition(rec, kVLMSearchEqual, true, id) ? 1 : 0;
    }
  });
  return t;
}

// -------------------------------------------------------------- multiset

template <class Key>
Times Multiset(const std::vector<Key>& keys, const std::vector<Key>& probes) {
  Times t;
  std::multiset<std::pair<Key, uint64_t>> set;
  t.Insert = Seconds([&] {
    for (size_t i = 0; i < keys.size(); ++i) set.emplace(keys[i], i);
  });
  t.Search = Seconds([&] {
    for (const Key& k : probes) {
      auto it = set.lower_bound({k, 0});
      t.Found += it != set.end() && it->first == k ? 1 : 0;
    }
  });
  return t;
}

// ---------------------------------------------------------------- SQLite

template <class Key>
Times Sqlite(const std::vector<Key>& keys, const std::vector<Key>& probes, const char* keyType) {
  Times t;
  sqlite3* db = nullptr;
  Check(sqlite3_open(":memory:", &db), db, "open");
  Check(sqlite3_exec(db, "PRAGMA page_size=4096", nullptr, nullptr, nullptr), db, "page size");
  const std::string create =
      std::string("CREATE TABLE t(k ") + keyType + ", r INTEGER, PRIMARY KEY (k, r)) WITHOUT ROWID";
  Check(sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr), db, "create");
  auto bind = [](sqlite3_stmt* s, int i, const Key& k) {
    if constexpr (std::is_same_v<Key, std::string>)
      sqlite3_bind_text(s, i, k.data(), static_cast<int>(k.size()), SQLITE_STATIC);
    else
      sqlite3_bind_int(s, i, k);
  };
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?)", -1, &insert, nullptr), db, "prepare insert");
  t.Insert = Seconds([&] {
    Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    for (size_t i = 0; i < keys.size(); ++i) {
      bind(insert, 1, keys[i]);
      sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(i));
      Check(sqlite3_step(insert), db, "insert");
      sqlite3_reset(insert);
    }
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  });
  sqlite3_finalize(insert);
  sqlite3_stmt* select = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT r FROM t WHERE k = ? LIMIT 1", -1, &select, nullptr), db, "prepare select");
  t.Search = Seconds([&] {
    for (const Key& k : probes) {
      bind(select, 1, k);
      t.Found += sqlite3_step(select) == SQLITE_ROW ? 1 : 0;
      sqlite3_reset(select);
    }
  });
  sqlite3_finalize(select);
  sqlite3_close(db);
  return t;
}

void Report(const char* what, const Times& engine, const Times& multiset, const Times& sqlite, int inserts,
            int searches) {
  std::printf("%s\n", what);
  std::printf("  %-10s %10s %10s %12s %12s %8s\n", "", "insert s", "search s", "insert us/op", "search us/op",
              "found");
  auto row = [&](const char* name, const Times& t) {
    std::printf("  %-10s %10.3f %10.3f %12.3f %12.3f %8ld\n", name, t.Insert, t.Search, 1e6 * t.Insert / inserts,
                1e6 * t.Search / searches, t.Found);
  };
  row("engine", engine);
  row("multiset", multiset);
  row("sqlite", sqlite);
  std::printf("  engine / multiset: insert %.2f, search %.2f\n", engine.Insert / multiset.Insert,
              engine.Search / multiset.Search);
  std::printf("  engine / sqlite:   insert %.2f, search %.2f\n\n", engine.Insert / sqlite.Insert,
              engine.Search / sqlite.Search);
}

}  // namespace

int main() {
  std::mt19937 rng(20240611);
  std::vector<int32_t> ints(kIntKeys);
  for (int32_t& k : ints) k = static_cast<int32_t>(rng());
  // Searches for keys in the tree, and one in eight for keys that are not.
  std::vector<int32_t> intProbes(kIntSearches);
  for (int32_t& k : intProbes) k = rng() % 8 == 0 ? static_cast<int32_t>(rng()) : ints[rng() % ints.size()];

  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  auto text = [&] {
    std::string s;
    const int n = 4 + static_cast<int>(rng() % 9);
    for (int i = 0; i < n; ++i) s += kAlphabet[rng() % 36];
    return s;
  };
  std::vector<std::string> texts(kTextKeys);
  for (std::string& s : texts) s = text();
  std::vector<std::string> textProbes(kTextSearches);
  for (std::string& s : textProbes) s = rng() % 8 == 0 ? text() : texts[rng() % texts.size()];

  Report("1,000,000 random INTEGER keys, 1,000,000 point searches", EngineIntegers(ints, intProbes),
         Multiset(ints, intProbes), Sqlite(ints, intProbes, "INTEGER"), kIntKeys, kIntSearches);
  Report("100,000 random VARCHAR(12) keys, 100,000 point searches", EngineTexts(texts, textProbes),
         Multiset(texts, textProbes), Sqlite(texts, textProbes, "TEXT"), kTextKeys, kTextSearches);
  return 0;
}
