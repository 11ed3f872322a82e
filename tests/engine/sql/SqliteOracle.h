// SQLite in memory as the oracle of the SQL engine's differential tests: the
// same texts run on both, the rows compared as text ("v|v", NULL for a null
// value).
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace sql_test {

class SqliteOracle {
public:
  SqliteOracle() { sqlite3_open(":memory:", &Db_); }
  ~SqliteOracle() { sqlite3_close(Db_); }
  SqliteOracle(const SqliteOracle&) = delete;
  SqliteOracle& operator=(const SqliteOracle&) = delete;

  // Runs sql; a failure fails the test.
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << (error ? error : "") << " [" << sql << "]";
      sqlite3_free(error);
    }
  }
  // Runs sql; false when SQLite refuses it (a statement expected to fail).
  bool TryExec(const std::string& sql) {
    return sqlite3_exec(Db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // The rows of a query; a failure fails the test.
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(Db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << sqlite3_errmsg(Db_) << " [" << sql << "]";
      return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        const auto* text = sqlite3_column_text(statement, c);
        row += (c > 0 ? "|" : "") + (text == nullptr ? std::string("NULL") : reinterpret_cast<const char*>(text));
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
  }

private:
  sqlite3* Db_ = nullptr;
};

}  // namespace sql_test
