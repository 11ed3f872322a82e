// ALTER TABLE, RENAME TABLE, CREATE INDEX and DROP INDEX: run by the shell
// on the setup of the SQL checks and read back through the table component;
// their parse errors; and generated statements over copies of the setup
// tables, after each of which the table opens with all its rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "platform/dataset/DatabaseError.h"
#include "tests/engine/sql/SqlGenerator.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

struct Shape {
  std::string Fields;   // "name TYPE(size)[ NOT NULL]", joined by ", "
  std::string Indexes;  // "name(fields[ desc f][ nocase f][ unique][ primary])", sorted
  std::string Rows;     // joined by "; "
};

Shape Describe(const std::string& file, const std::string& name) {
  TVLMDatabase database;
  database.SetDatabaseName("DB");
  database.SetDatabaseFileName(file);
  TVLMTable t;
  t.SetDatabaseName("DB");
  t.SetTableName(name);
  if (!t.Exists()) return {"missing", "", ""};
  t.Open();
  Shape shape;
  for (int32_t i = 0; i < t.AdvFieldDefs.GetCount(); ++i) {
    const TVLMAdvFieldDef& f = *t.AdvFieldDefs.GetItem(i);
    shape.Fields += (i > 0 ? ", " : "") + f.Name + " " + VLMGetDataTypeName(f.DataType) +
                    (f.Size > 0 ? "(" + std::to_string(f.Size) + ")" : "") + (f.Required ? " NOT NULL" : "");
  }
  std::vector<std::string> indexes;
  for (int32_t i = 0; i < t.AdvIndexDefs.GetCount(); ++i) {
    const TVLMAdvIndexDef& d = *t.AdvIndexDefs.GetItem(i);
    indexes.push_back(d.Name + "(" + d.Fields + (d.DescFields.empty() ? "" : " desc " + d.DescFields) +
                      (d.CaseInsFields.empty() ? "" : " nocase " + d.CaseInsFields) +
                      ((d.Options & qv::ixUnique) ? " unique" : "") + ((d.Options & qv::ixPrimary) ? " primary" : "") +
                      ")");
  }
  std::sort(indexes.begin(), indexes.end());
  for (const auto& index : indexes) shape.Indexes += (shape.Indexes.empty() ? "" : ", ") + index;
  t.Close();
  for (const auto& row : sql_test::TableRows("DB", name)) shape.Rows += (shape.Rows.empty() ? "" : "; ") + row;
  return shape;
}

const char* const kDeptFields = "code STRING(10), title STRING(20), budget INTEGER";
const char* const kDeptRows = "eng|Engineering|1000; ops|Operations|500; hr|Human Resources|200";

TEST(SqlAlterTest, ShellChangesTablesFromTheSetup) {
  sql_test::Runtime up;
  struct Check {
    const char* Sql;
    const char* Result;            // standard output, or the start of standard error
    const char* Table;             // read back afterwards
    const char* Fields = nullptr;  // nullptr: as set up (also Indexes, Rows)
    const char* Indexes = nullptr;
    const char* Rows = nullptr;
    const char* Gone = nullptr;  // a table that no longer exists
  };
  const Check checks[] = {
      {"ALTER TABLE dept ADD (c INTEGER)", "OK 0\n", "dept",
       "code STRING(10), title STRING(20), budget INTEGER, c INTEGER", nullptr,
       "eng|Engineering|1000|NULL; ops|Operations|500|NULL; hr|Human Resources|200|NULL"},
      {"ALTER TABLE dept ADD (budget INTEGER)", "ERROR 30351 Field by name 'budget' already exists", "dept"},
      {"ALTER TABLE dept ADD (IF NOT EXISTS budget VARCHAR(3), c INTEGER)", "OK 0\n", "dept",
       "code STRING(10), title STRING(20), budget INTEGER, c INTEGER", nullptr,
       "eng|Engineering|1000|NULL; ops|Operations|500|NULL; hr|Human Resources|200|NULL"},
      {"ALTER TABLE dept ADD (IF NOT EXISTS budget INTEGER)", "OK 0\n", "dept"},
      {"TRUNCATE dept; ALTER TABLE dept ADD (d VARCHAR(5) NOT NULL DEFAULT 'x', UNIQUE INDEX ux (d)); "
       "INSERT INTO dept (code) VALUES ('a')",
       "OK 1\n", "dept", "code STRING(10), title STRING(20), budget INTEGER, d STRING(5) NOT NULL", "ux(d unique)",
       "a|NULL|NULL|x"},
      {"ALTER TABLE dept MODIFY (title VARCHAR(40))", "OK 0\n", "dept",
       "code STRING(10), title STRING(40), budget INTEGER"},
      {"ALTER TABLE dept MODIFY (budget LARGEINT)", "OK 0\n", "dept",
       "code STRING(10), title STRING(20), budget LARGEINT"},
      {"ALTER TABLE dept MODIFY (nosuch INTEGER)", "ERROR 30259 Field 'nosuch' not found", "dept"},
      {"ALTER TABLE dept MODIFY (title INTEGER)",
       "ERROR 30347 Restructure table error: 'Error copying table \"OLD_dept_", "dept"},
      {"ALTER TABLE dept DROP COLUMN title, budget", "OK 0\n", "dept", "code STRING(10)", nullptr, "eng; ops; hr"},
      {"ALTER TABLE dept DROP budget", "OK 0\n", "dept", "code STRING(10), title STRING(20)", nullptr,
       "eng|Engineering; ops|Operations; hr|Human Resources"},
      {"ALTER TABLE dept DROP nosuch", "ERROR 30349 Field 'nosuch' not found", "dept"},
      {"ALTER TABLE dept RENAME COLUMN title TO t2", "OK 0\n", "dept",
       "code STRING(10), t2 STRING(20), budget INTEGER"},
      {"ALTER TABLE dept RENAME title TO t2", "OK 0\n", "dept", "code STRING(10), t2 STRING(20), budget INTEGER"},
      {"ALTER TABLE dept RENAME TO d2", "OK 0\n", "d2", kDeptFields, "", kDeptRows, "dept"},
      {"RENAME TABLE dept TO d2", "OK 0\n", "d2", kDeptFields, "", kDeptRows, "dept"},
      {"CREATE UNIQUE INDEX ix ON emp (dept DESC, name NOCASE)", "OK 0\n", "emp", nullptr,
       "C_PK$id(id primary), ix(dept;name desc dept nocase name unique)"},
      {"CREATE INDEX ix ON emp (mgr); CREATE INDEX ix ON emp (name)",
       "ERROR 20022 Cannot create index 'ix'. Index already exists", "emp", nullptr, "C_PK$id(id primary), ix(mgr)"},
      {"CREATE INDEX ix ON emp (name); DROP INDEX emp.ix", "OK 0\n", "emp"},
      {"DROP INDEX ix", "ERROR 30498 Table name expected, but 'ix' found", "emp"},
      {"CREATE UNIQUE INDEX u ON emp (mgr)", "ERROR 20700 ", "emp"},
      // Refused inside a transaction, by the table component, with nothing
      // changed.
      {"START TRANSACTION; ALTER TABLE dept ADD (c INTEGER)", "ERROR 20180 ", "dept"},
      {"START TRANSACTION; ALTER TABLE dept RENAME title TO t2", "ERROR 20179 ", "dept"},
      {"START TRANSACTION; RENAME dept TO d2", "ERROR 20181 ", "dept"},
      {"START TRANSACTION; CREATE INDEX i ON dept (code)", "ERROR 20175 ", "dept"},
      {"START TRANSACTION; DROP INDEX emp.[C_PK$id]", "ERROR 20177 ", "emp"},
  };
  std::map<std::string, Shape> setup;
  for (const Check& c : checks) {
    const auto db = sql_test::ScratchDatabase::WithSetup();
    if (!setup.count(c.Table)) setup[c.Table] = Describe(db->File(), c.Table);
    const sql_test::ShellResult r = sql_test::RunShell(db->File(), c.Sql);
    EXPECT_EQ(r.Out + r.Err.substr(0, std::string(c.Result).size()), c.Result) << c.Sql << "\n" << r.Err;
    const Shape after = Describe(db->File(), c.Table);
    const Shape& was = setup[c.Table];
    EXPECT_EQ(after.Fields, c.Fields ? c.Fields : was.Fields) << c.Sql;
    EXPECT_EQ(after.Indexes, c.Indexes ? c.Indexes : was.Indexes) << c.Sql;
    EXPECT_EQ(after.Rows, c.Rows ? c.Rows : was.Rows) << c.Sql;
    EXPECT_EQ(c.Gone ? Describe(db->File(), c.Gone).Fields : "missing", "missing") << c.Sql;
  }
  EXPECT_EQ(setup["dept"].Fields, kDeptFields);
  EXPECT_EQ(setup["dept"].Rows, kDeptRows);
  EXPECT_EQ(setup["emp"].Indexes, "C_PK$id(id primary)");
}

class SqlAlterParseTest : public sql_test::QueryFixture {};

TEST_F(SqlAlterParseTest, ErrorsCarryTheirCodesAndChangeNothing) {
  Run("CREATE TABLE t (a INTEGER, b VARCHAR(5)); INSERT INTO t VALUES (1, 'x')");
  const std::pair<const char*, int32_t> cases[] = {
      {"ALTER TABLE t", 30253},
      {"ALTER TABLE t SET a", 30252},
      {"ALTER TABLE t DROP a b", 30800},
      {"ALTER TABLE t DROP COLUMN", 10408},
      {"ALTER TABLE t RENAME a b", 30352},
      {"ALTER TABLE t RENAME TO 5", 30802},
      {"RENAME TABLE", 30354},
      {"CREATE INDEX i IN t", 30271},
      {"CREATE INDEX i ON t (PASSWORD 'p' a)", 30276},
      {"CREATE INDEX i ON t (a UP)", 30801},
      {"DROP INDEX db.t.", 30281},
      {"DROP INDEX db.t.i PASSWORD x", 30282},
  };
  for (const auto& [sql, code] : cases) EXPECT_EQ(qv::test::RaisedCode([&] { Run(sql); }), code) << sql;
  // A unique index the rows break leaves its name free.
  Run("INSERT INTO t VALUES (2, 'x')");
  EXPECT_EQ(qv::test::RaisedCode([&] { Run("CREATE UNIQUE INDEX u ON t (b)"); }), 20700);
  Run("CREATE INDEX u ON t (b); DROP INDEX t.u");
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x", "2|x"}));
}

class SqlAlterRandomTest : public sql_test::QueryFixture {};

TEST_F(SqlAlterRandomTest, StatementsOnCopiesOfTheSetupKeepEveryRow) {
  sql_test::SqlGenerator gen(39);
  using Columns = std::vector<sql_test::SqlGenerator::Column>;
  const Columns emp = {{"id", "INTEGER", 0},
                       {"name", "VARCHAR", 20},
                       {"dept", "VARCHAR", 10},
                       {"salary", "INTEGER", 0},
                       {"mgr", "INTEGER", 0}};
  const Columns dept = {{"code", "VARCHAR", 10}, {"title", "VARCHAR", 20}, {"budget", "INTEGER", 0}};
  auto budget = qv::test::TestBudget::Steps(1500, 25);
  uint64_t step = 0;
  uint64_t accepted = 0;
  for (int round = 0; budget.Continue(step); ++round) {
    // Copies of the setup tables under names of their own, now and then in
    // memory.
    const bool memory = round % 4 == 3;
    const std::string e = "e" + std::to_string(round), d = "d" + std::to_string(round);
    std::string setup = sql_test::kSetupSql;
    for (const std::string verb : {"TABLE ", "INTO "})
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"emp ", e}, {"dept ", d}})
        for (size_t at; (at = setup.find(verb + from)) != std::string::npos;)
          setup.replace(at, verb.size() + from.size(), verb + (memory ? "MEMORY " : "") + to + " ");
    Run(setup);
    gen.Tables = {{e, e, memory, emp}, {d, d, memory, dept}};
    std::map<std::string, int64_t> rows = {{e, 6}, {d, 3}};
    for (int i = 0; i < 10 && budget.Continue(step); ++i, ++step) {
      const auto model = gen.Tables;
      const sql_test::AlterStatement s = sql_test::MakeAlterStatement(gen);
      try {
        Run(s.Text);
      } catch (const std::exception& error) {
        EXPECT_TRUE(dynamic_cast<const EVLMException*>(&error) || dynamic_cast<const qv::EDatabaseError*>(&error))
            << s.Text << ": " << error.what();
        gen.Tables = model;
        continue;
      }
      ++accepted;
      rows[s.NewTable] = rows[s.Table];
      TVLMTable table;
      table.SetDatabaseName(memory ? "MEMORY" : "SQLDB");
      table.SetTableName(s.NewTable);
      table.Open();
      EXPECT_EQ(table.RecordCount(), rows[s.NewTable]) << s.Text;
    }
    for (const auto& t : gen.Tables) Run("DROP TABLE " + std::string(memory ? "MEMORY " : "") + t.Name);
  }
  EXPECT_GT(accepted, step / 5) << "too few statements ran through";
}

}  // namespace
