// The SQL shell on the scratch database of the SQL checks: what it prints
// and its exit status, statement by statement.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/engine/sql/SqlTestSupport.h"

namespace {

using sql_test::RunShell;
using sql_test::ScratchDatabase;

TEST(ShellTest, PrintsWhatEachTextDid) {
  const auto db = ScratchDatabase::WithSetup();
  struct Check {
    const char* Sql;
    const char* Out;
    const char* Err;  // the start of standard error
    int Status;
  };
  const Check checks[] = {
      {"INSERT INTO emp (id,name) VALUES (1,'dup')", "", "ERROR 30319 Primary Key constraint 'C_PK$id' violated. "
       "Duplicate found.\n", 1},
      {"INSERT INTO emp (id, name) VALUES (7, 'gus'), (8, 'hal')", "OK 2\n", "", 0},
      {"DROP TABLE nosuch", "OK 0\n", "", 0},
      {"CREATE VIEW v", "", "ERROR 30147 Object type keyword expected, but 'VIEW' found at line 1, column 8", 1},
      {"INSERT INTO dept VALUES ('qa','Quality',1); INSERT INTO nosuch VALUES (1)", "", "ERROR ", 1},
      {"INSERT INTO emp (id) VALUES ('x')", "", "ERROR ", 1},
      {"START TRANSACTION; INSERT INTO dept VALUES ('x','X',0); COMMIT FLUSH", "OK 1\n", "", 0},
      // Nothing to run is one refusal, whatever the blank text holds.
      {"", "", "ERROR 20034 No SQL statement available\n", 1},
      {";", "", "ERROR 20034 No SQL statement available\n", 1},
      {" ; -- only a comment\n/* and another */ ;", "", "ERROR 20034 No SQL statement available\n", 1},
      // The code once, a readable text (no internal flags).
      {"SELECT * FROM nosuch", "", "ERROR 10303 Error on opening table \"nosuch\" in SQL query: ", 1},
      {"SELECT SQRT(-1) FROM emp", "", "ERROR 20473 Argument out of range for function 'SQRT'\n", 1},
      {"CREATE TABLE twice (a INTEGER, a INTEGER)", "", "ERROR 20845 Duplicate field name 'a'\n", 1},
      {"COMMIT", "", "ERROR 20229 ", 1},
      // A memory table with an expression default lives until the shell
      // ends; it leaves nothing behind (the shell is built with the tests'
      // sanitizers).
      {"CREATE TABLE MEMORY m (d DATE DEFAULT NOW); INSERT INTO MEMORY m (d) VALUES (NULL)", "OK 1\n", "", 0},
  };
  for (const Check& c : checks) {
    const sql_test::ShellResult r = RunShell(db->File(), c.Sql);
    EXPECT_EQ(r.Out, c.Out) << c.Sql;
    EXPECT_EQ(r.Err.rfind(c.Err, 0), 0u) << c.Sql << ": " << r.Err;
    EXPECT_EQ(r.Status, c.Status) << c.Sql;
  }
  // emp kept its 6 rows and took 2; dept took the row before the failing
  // statement and the committed one.
  sql_test::Runtime up;
  TVLMDatabase database;
  database.SetDatabaseName("DB");
  database.SetDatabaseFileName(db->File());
  EXPECT_EQ(sql_test::TableRows("DB", "emp").size(), 8u);
  EXPECT_EQ(sql_test::TableRows("DB", "emp")[0], "1|alice|eng|100|NULL");
  EXPECT_EQ(sql_test::TableRows("DB", "dept").back(), "x|X|0");
  EXPECT_EQ(sql_test::TableRows("DB", "dept").size(), 5u);
}

TEST(ShellTest, RefusesAMissingFileAndBadArgumentsAndTellsItsUse) {
  qv::test::ScratchFolder folder;
  const std::string none = folder.File("none.vlm");
  const sql_test::ShellResult missing = RunShell(none, "DROP TABLE t");
  EXPECT_EQ(missing.Status, 1);
  EXPECT_EQ(missing.Err, "ERROR 20845 Database file '" + none +
                             "' does not exist (vlmsql --create makes a new database file)\n");
  const sql_test::ShellResult bogus = RunShell(none, "", {"--bogus"});
  EXPECT_EQ(bogus.Status, 2);
  EXPECT_EQ(bogus.Err.rfind("usage: vlmsql ", 0), 0u) << bogus.Err;
  // --help says where the text comes from, what the options do and what
  // the output looks like.
  const sql_test::ShellResult help = RunShell(none, "", {"--help"});
  EXPECT_EQ(help.Status, 0);
  for (const char* part : {"[SQLFILE]", "standard input", "--create ", "--live ", "--fast-retries ", "'|'", "OK <rows",
                           "ERROR <code> <message>"})
    EXPECT_NE(help.Out.find(part), std::string::npos) << part << " in " << help.Out;
  // The text may come from a file named after the database.
  const auto db = ScratchDatabase::WithSetup();
  {
    std::ofstream(folder.File("q.sql")) << "SELECT name FROM emp WHERE id = 2";
  }
  const sql_test::ShellResult fromFile = RunShell(db->File(), "SELECT 1 FROM nosuch", {}, {folder.File("q.sql")});
  EXPECT_EQ(fromFile.Out, "name\nbob\n") << fromFile.Err;
  EXPECT_EQ(RunShell(db->File(), "", {}, {folder.File("none.sql")}).Status, 2);
}

}  // namespace
