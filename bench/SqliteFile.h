// The SQLite side of the benchmarks that compare the engine with it: one
// database file, opened with the page size of the engine's files and the
// rollback journal, with statements that end the run on any failure (a
// benchmark has nothing to recover).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// The log table of the table benchmarks as SQLite holds it (beside an index
// CallIndex on Call), and the insert of a row: Call, Freq, Mode and Name
// bound as ?1 .. ?4.
inline constexpr const char* kSqliteLogColumns =
    "QsoID INTEGER PRIMARY KEY AUTOINCREMENT, Call VARCHAR(10), Freq VARCHAR(12), Mode VARCHAR(10), "
    "QSODate VARCHAR(10), TimeStart VARCHAR(4), Name VARCHAR(30), IBM BOOLEAN, Notes VARCHAR(255)";
inline constexpr const char* kSqliteLogInsert =
    "INSERT INTO log(Call, Freq, Mode, QSODate, TimeStart, Name, IBM) VALUES(?1, ?2, ?3, '2024-05-04', '1200', ?4, 0)";

class SqliteFile {
public:
  explicit SqliteFile(const std::string& path) {
    if (sqlite3_open(path.c_str(), &Db_) != SQLITE_OK) Fail("open");
    Exec("PRAGMA page_size=4096");
    Exec("PRAGMA journal_mode=DELETE");
  }
  // A subclass finalizes its statements in its own destructor, before this.
  ~SqliteFile() { sqlite3_close(Db_); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db_, sql, nullptr, nullptr, &error) != SQLITE_OK) Fail(error != nullptr ? error : sql);
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(Db_, sql, -1, &statement, nullptr) != SQLITE_OK) Fail(sql);
    return statement;
  }
  // Runs the query through; the rows whose first column is not empty.
  int64_t Scan(const char* sql) {
    sqlite3_stmt* statement = Prepare(sql);
    int64_t rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) rows += sqlite3_column_bytes(statement, 0) > 0 ? 1 : 0;
    sqlite3_finalize(statement);
    return rows;
  }
  // Makes the log table (beside CallIndex) and inserts rows (each with
  // Call, Freq, Mode and Name) in one transaction.
  template <class Rows>
  void MakeLog(const Rows& rows) {
    Exec((std::string("CREATE TABLE log(") + kSqliteLogColumns + ")").c_str());
    Exec("CREATE INDEX CallIndex ON log(Call)");
    sqlite3_stmt* insert = Prepare(kSqliteLogInsert);
    Exec("BEGIN");
    for (const auto& row : rows) {
      sqlite3_bind_text(insert, 1, row.Call.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, row.Freq.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, row.Mode.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 4, row.Name.c_str(), -1, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail("insert");
      sqlite3_reset(insert);
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
  }
  [[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(Db_));
    std::exit(1);
  }

protected:
  sqlite3* Db_ = nullptr;
};
