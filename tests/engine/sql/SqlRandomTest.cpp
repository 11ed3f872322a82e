// Random runs of the SQL engine: generated texts on a scratch database give
// only the engine's and the dataset layer's errors (never a crash or a
// leak), and the rows that random table definitions and INSERT texts store
// are those SQLite stores for the same texts.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using sql_test::QueryFixture;

class SqlRandomTest : public QueryFixture {};

TEST_F(SqlRandomTest, GeneratedTextsGiveOnlyEngineAndDatasetErrors) {
  TVLMDatabase other;
  other.SetDatabaseName("OTHER");
  other.SetDatabaseFileName(Folder.File("other.vlm"));
  other.SilentMode = true;
  other.CreateDatabase();
  sql_test::SqlGenerator gen(20240901);
  gen.OtherFile = Folder.File("other.vlm");
  RunGeneratedTexts(gen, qv::test::TestBudget::Steps(3500, 25), 3, [&](const std::string& text) {
    Query->SetSQL(text);
    Query->ExecSQL();
  });
}

// The oracle side: the same texts on an SQLite database in memory.
class Sqlite {
public:
  Sqlite() { sqlite3_open(":memory:", &Db_); }
  ~Sqlite() { sqlite3_close(Db_); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << (error ? error : "") << " [" << sql << "]";
      sqlite3_free(error);
    }
  }
  std::vector<std::string> Rows(const std::string& table) {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(Db_, ("SELECT * FROM " + table).c_str(), -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        if (c > 0) row += "|";
        const auto* text = sqlite3_column_text(statement, c);
        row += text == nullptr ? "NULL" : reinterpret_cast<const char*>(text);
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
  }

private:
  sqlite3* Db_ = nullptr;
};

// + - * over numbers of two digits, two levels deep: never beyond 32 bits.
std::string Expression(sql_test::SqlGenerator& gen, int depth) {
  // A sign directly after + or - does not parse: negative numbers are
  // written in parentheses.
  if (depth == 0 || gen.Chance(0.3)) {
    const int n = gen.Int(-99, 99);
    return n < 0 ? "(" + std::to_string(n) + ")" : std::to_string(n);
  }
  const char* op = gen.Pick(std::vector<const char*>{" + ", " - ", " * "});
  const std::string sum = "(" + Expression(gen, depth - 1) + op + Expression(gen, depth - 1) + ")";
  return gen.Chance(0.2) ? "(-" + sum + ")" : sum;
}

std::string Text(sql_test::SqlGenerator& gen, int maxLength) {
  std::string text;
  const int length = gen.Int(1, maxLength);
  for (int i = 0; i < length; ++i) text += gen.Chance(0.05) ? "''" : std::string(1, static_cast<char>('a' + gen.Int(0, 25)));
  return text;
}

TEST_F(SqlRandomTest, StoredRowsMatchSqliteForTheSameTexts) {
  Sqlite oracle;
  sql_test::SqlGenerator gen(7);
  auto budget = qv::test::TestBudget::Steps(300, 20);
  for (uint64_t round = 0; budget.Continue(round); ++round) {
    const std::string table = "d" + std::to_string(round);
    std::vector<sql_test::SqlGenerator::Column> columns(static_cast<size_t>(gen.Int(1, 5)));
    std::string create = "CREATE TABLE " + table + " (";
    for (size_t c = 0; c < columns.size(); ++c) {
      columns[c].Name = "c" + std::to_string(c);
      columns[c].Type = gen.Chance(0.5) ? "INTEGER" : "VARCHAR";
      columns[c].Size = gen.Int(1, 12);
      create += (c > 0 ? ", " : "") + columns[c].Name + " " + columns[c].Type +
                (columns[c].Type == "VARCHAR" ? "(" + std::to_string(columns[c].Size) + ")" : "");
    }
    create += ")";
    Run(create);
    oracle.Exec(create);
    const int statements = gen.Int(1, 4);
    for (int s = 0; s < statements; ++s) {
      std::vector<size_t> order(columns.size());
      for (size_t c = 0; c < order.size(); ++c) order[c] = c;
      const bool list = gen.Chance(0.5);
      if (list) {
        std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<uint32_t>(round * 31 + s)));
        order.resize(static_cast<size_t>(gen.Int(1, static_cast<int>(order.size()))));
      }
      std::string sql = "INSERT INTO " + table;
      if (list) {
        sql += " (";
        for (size_t k = 0; k < order.size(); ++k) sql += (k > 0 ? ", " : "") + columns[order[k]].Name;
        sql += ")";
      }
      sql += " VALUES ";
      const int rows = gen.Int(1, 5);
      for (int r = 0; r < rows; ++r) {
        sql += r > 0 ? ", (" : "(";
        for (size_t k = 0; k < order.size(); ++k) {
          const auto& column = columns[order[k]];
          // Values both engines store alike: integers in 32 bits, texts
          // that fit their column (an empty text is null here).
          std::string value = "NULL";
          if (gen.Chance(0.1))
            value = "NULL";
          else if (column.Type == "INTEGER")
            value = Expression(gen, 2);
          else if (gen.Chance(0.2))
            value = std::to_string(gen.Int(0, 9));
          else
            value = "'" + Text(gen, column.Size) + "'";
          sql += (k > 0 ? ", " : "") + value;
        }
        sql += ")";
      }
      EXPECT_NO_THROW(Run(sql)) << sql;
      oracle.Exec(sql);
    }
    std::vector<std::string> ours = Rows(table);
    std::vector<std::string> theirs = oracle.Rows(table);
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    ASSERT_EQ(ours, theirs) << create;
  }
}

}  // namespace
