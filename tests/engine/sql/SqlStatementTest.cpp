// The statement processor, the table statements, INSERT and the transaction
// statements, run in this process through a query component on a scratch
// database file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMSQLCommand.h"
#include "engine/sql/VLMSQLModify.h"
#include "engine/sql/VLMSQLProcessor.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "platform/host/StringList.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using qv::test::RaisedCode;
using qv::test::RaisedMessage;
using sql_test::QueryFixture;

class SqlStatementTest : public QueryFixture {
protected:
  int32_t CodeOf(const std::string& sql) {
    return RaisedCode([&] { Run(sql); });
  }
  // The table component of table, open, for its definitions.
  std::unique_ptr<TVLMTable> Open(const std::string& table) {
    auto t = std::make_unique<TVLMTable>();
    t->SetDatabaseName("SQLDB");
    t->SetTableName(table);
    t->Open();
    return t;
  }
};

TEST_F(SqlStatementTest, ProcessorDispatchesOnTheFirstKeywordWithCodedErrors) {
  Run("CREATE TABLE t (a INTEGER)");
  struct Case {
    const char* Sql;
    int32_t Code;
    const char* Names;  // a text the message holds
  };
  const Case cases[] = {
      {";;", 30145, "Blank SQL command"},
      {"-- c", 30145, "Blank SQL command"},
      {"/* only */ ;", 30145, ""},
      {"RENAME", 30353, "line 1, column 1"},
      {"CREATE VIEW v", 30147, "'VIEW' found at line 1, column 8"},
      {"CREATE", 30148, ""},
      {"DROP", 30150, ""},
      {"DROP UNIQUE x", 30149, "'UNIQUE'"},
      {"ALTER INDEX x", 30151, ""},
      {"12 INSERT", 30154, "'12'"},
      {"'text'", 30154, "'text'"},
      {"WHERE a = 1", 30153, "'WHERE'"},
      {"SELECT * FROM t x y", 20260, "'y' found at line 1, column 19"},
      {"(SELECT 1)", 30184, "'FROM'"},
      {"UPDATE t SET a 1", 30221, "'=' expected, but '1'"},
      {"DELETE t", 30184, "'FROM' expected, but 't'"},
      {"ALTER TABLE t ADD b INTEGER", 30226, "'(' expected, but 'b'"},
      {"RENAME TABLE t u", 30355, "'TO' expected"},
      {"CREATE UNIQUE INDEX i ON t 5", 30273, "'5'"},
      {"DROP INDEX t.i x y", 30800, "'y'"},
      {"INSERT INTO t SELECT * FROM t x y", 20260, "'y'"},
      {"INSERT INTO t (SELECT * FROM t x y)", 20256, "column 34"},
  };
  for (const Case& c : cases) {
    TVLMSQLProcessor processor(Query.get());
    processor.SetSQL(c.Sql);
    const std::string message = RaisedMessage([&] { processor.Execute(); });
    EXPECT_EQ(RaisedCode([&] { processor.Execute(); }), c.Code) << c.Sql;
    EXPECT_NE(message.find(c.Names), std::string::npos) << c.Sql << ": " << message;
  }
}

// The grammar pieces, read from the start of a text.
class Pieces : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  void Parse() override {}
  void Execute(TVLMDataSet*, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) override {}
  std::string TableName() {
    GetCurrentToken();
    std::string db, table, password, alias;
    uint8_t memory = 0;
    ParseTableName(db, table, memory, password, alias);
    return db + "|" + table + "|" + std::to_string(memory) + "|" + password + "|" + alias + "|" + Token.Text;
  }
  std::string Names() {
    GetCurrentToken();
    qv::StringList list;
    ParseFieldNameList(list);
    return list.CommaText() + "|" + Token.Text;
  }
};

TEST_F(SqlStatementTest, GrammarPiecesReadTableNamesAndNameLists) {
  TVLMSQLParams params;
  params.Add()->Name = "t";
  params.GetItem(0)->SetAsString("fromparam");
  const std::pair<const char*, const char*> tables[] = {
      {"db.t x PASSWORD 'p' rest", "db|t|0|p|x|rest"},
      {"MEMORY t AS [a b]", "|t|1||a b|"},
      {"t 'quoted'", "|t|0|||quoted"},
      {":t", "|fromparam|0|||"},
      {"[my table] :t", "|my table|0||fromparam|"},
  };
  for (const auto& [text, expected] : tables) {
    TVLMLexer lexer(text, &params, false);
    lexer.NextCommand();
    EXPECT_EQ(Pieces(&lexer, Query.get()).TableName(), expected) << text;
  }
  const std::pair<const char*, int32_t> refused[] = {{"(t)", 30230}, {"MEMORY 5", 30231}, {"t PASSWORD x", 30238},
                                                     {"t AS 5", 30177}, {"t AS", 30161}};
  for (const auto& [text, code] : refused) {
    TVLMLexer lexer(text, nullptr, false);
    lexer.NextCommand();
    EXPECT_EQ(RaisedCode([&] { Pieces(&lexer, Query.get()).TableName(); }), code) << text;
  }
  TVLMLexer names("a, [b c], \"d\" e", nullptr, false);
  names.NextCommand();
  EXPECT_EQ(Pieces(&names, Query.get()).Names(), "a,\"b c\",d|e");
  for (const auto& [text, code] : {std::pair<const char*, int32_t>{"1, a", 10408}, {"a, 1", 10406}, {"a,", 30161}}) {
    TVLMLexer lexer(text, nullptr, false);
    lexer.NextCommand();
    EXPECT_EQ(RaisedCode([&] { Pieces(&lexer, Query.get()).Names(); }), code) << text;
  }
}

TEST_F(SqlStatementTest, StatementsBeforeAFailingOneKeepTheirEffectAndCountRows) {
  TVLMSQLProcessor processor(Query.get());
  processor.SetSQL("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1), (2); INSERT INTO t VALUES (3); BOGUS");
  EXPECT_EQ(RaisedCode([&] { processor.Execute(); }), 30154);
  EXPECT_EQ(processor.RowsAffected, 3);
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1", "2", "3"}));
  processor.SetSQL("INSERT INTO t VALUES (4); INSERT INTO t VALUES (5)");
  EXPECT_EQ(processor.Execute(), nullptr);
  EXPECT_EQ(processor.RowsAffected, 2);
}

TEST_F(SqlStatementTest, CreateTableTurnsColumnDefinitionsIntoTheTable) {
  Run("CREATE TABLE t (ID AUTOINC(INCREMENT 2, INITIALVALUE 10, LARGEINT), N VARCHAR(20) NOT NULL "
      "DEFAULT 'x', PRIMARY KEY (ID))");
  {
    auto t = Open("t");
    const TVLMAdvFieldDef& id = *t->AdvFieldDefs.GetItem(0);
    EXPECT_EQ(id.DataType, dtAutoincLargeInt);
    EXPECT_EQ(id.AutoincIncrement, 2);
    EXPECT_EQ(id.AutoincInitialValue, 10);
    const TVLMAdvFieldDef& n = *t->AdvFieldDefs.GetItem(1);
    EXPECT_EQ(n.DataType, dtString);
    EXPECT_EQ(n.Size, 20);
    EXPECT_TRUE(n.Required);
    ASSERT_EQ(t->AdvIndexDefs.GetCount(), 1);
    EXPECT_EQ(t->AdvIndexDefs.GetItem(0)->Name, "C_PK$ID");
    EXPECT_EQ(t->AdvIndexDefs.GetItem(0)->Options & qv::ixPrimary, qv::ixPrimary);
  }
  // The initial value is the counter's value before the first row.
  EXPECT_EQ(Run("INSERT INTO t (N) VALUES ('a'), ('b'); INSERT INTO t (N) VALUES ('c')"), 3);
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"12|a", "14|b", "16|c"}));

  // Unique columns and entries, named and unnamed indexes, descending and
  // case-blind columns.
  Run("CREATE TABLE u (a INTEGER UNIQUE, b VARCHAR(5) UNIQUE, c INTEGER, INDEX (c DESC, b NOCASE), "
      "UNIQUE INDEX ux (a, c))");
  auto u = Open("u");
  std::vector<std::string> indexes;
  for (int32_t i = 0; i < u->AdvIndexDefs.GetCount(); ++i) {
    const TVLMAdvIndexDef& d = *u->AdvIndexDefs.GetItem(i);
    indexes.push_back(d.Name + " " + std::to_string(d.Options & (qv::ixUnique | qv::ixPrimary)));
  }
  std::sort(indexes.begin(), indexes.end());
  EXPECT_EQ(indexes, (std::vector<std::string>{"C_Unique$a 2", "C_Unique$b 2", "i$c$b 0", "ux 2"}));
}

TEST_F(SqlStatementTest, DefaultsAreTypedByTheirOwnValue) {
  Run("CREATE TABLE d (k INTEGER, s VARCHAR(10) DEFAULT 'x', n INTEGER DEFAULT 2 * 21, f FLOAT DEFAULT 1.5, "
      "z INTEGER DEFAULT NULL, w VARCHAR(12) DEFAULT UPPER('ab') NOT NULL)");
  Run("INSERT INTO d (k) VALUES (1)");
  EXPECT_EQ(Rows("d"), (std::vector<std::string>{"1|x|42|1.5|NULL|AB"}));
  EXPECT_EQ(CodeOf("CREATE TABLE e (a INTEGER DEFAULT 1 DEFAULT 2)"), 30299);
}

TEST_F(SqlStatementTest, DefinitionErrorsCarryTheirCodes) {
  Run("CREATE TABLE t (a INTEGER)");
  const std::pair<const char*, int32_t> cases[] = {
      {"CREATE TABLE v (a VARCHAR)", 30233},
      {"CREATE TABLE v (a INTEGER(4))", 30229},
      {"CREATE TABLE v (a NOSUCHTYPE)", 30232},
      {"CREATE TABLE v (a INTEGER NOT 5)", 30237},
      {"CREATE TABLE v (a INTEGER NOT DEFAULT)", 2011},
      {"CREATE TABLE v (a VARCHAR(99999))", 30724},
      {"CREATE TABLE v (a AUTOINC(INCREMENT x))", 30292},
      {"CREATE TABLE v (a AUTOINC(FLOAT))", 30295},
      {"CREATE TABLE v (a AUTOINCLARGEINT(INTEGER))", 30294},
      {"CREATE TABLE v (a INTEGER, PRIMARY KEY a)", 30722},
      {"CREATE TABLE v (a INTEGER, INDEX (a SIDEWAYS))", 30723},
      {"CREATE TABLE v (a INTEGER, PRIMARY KEY (a) junk)", 30726},
      {"CREATE TABLE v ()", 30227},
      {"CREATE TABLE v", 30226},
      {"CREATE TABLE", 30249},
      {"CREATE TABLE IF EXISTS v (a INTEGER)", 30486},
      {"CREATE TABLE v (a INTEGER) x y", 30246},
      {"CREATE TABLE t (a INTEGER)", 30247},
      {"DROP TABLE t x y", 30725},
      {"DROP TABLE IF t", 30485},
      {"TRUNCATE", 30490},
  };
  for (const auto& [sql, code] : cases) EXPECT_EQ(CodeOf(sql), code) << sql;
  // Nothing was made by a refused statement; the existing table is as it
  // was, silently with IF NOT EXISTS.
  EXPECT_EQ(Run("CREATE TABLE IF NOT EXISTS t (b VARCHAR(3))"), 0);
  EXPECT_EQ(Open("t")->FieldCount(), 1);
  EXPECT_FALSE(Database->TableExists("v"));
}

TEST_F(SqlStatementTest, DropTruncateAndOtherDatabases) {
  Run("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1), (2)");
  Run("TRUNCATE TABLE t");
  EXPECT_TRUE(Rows("t").empty());
  EXPECT_EQ(Run("DROP TABLE nosuch; DROP TABLE IF EXISTS nosuch"), 0);
  Run("DROP TABLE t");
  EXPECT_FALSE(Database->TableExists("t"));

  // A dotted name reaches another file through a private database
  // component; MEMORY the memory database.
  TVLMDatabase other;
  other.SetDatabaseName("OTHER");
  other.SetDatabaseFileName(Folder.File("other.vlm"));
  other.SilentMode = true;
  other.CreateDatabase();
  const std::string file = "'" + Folder.File("other.vlm") + "'";
  Run("CREATE TABLE " + file + ".x (a INTEGER); INSERT INTO " + file + ".x VALUES (7)");
  EXPECT_FALSE(Database->TableExists("x"));
  EXPECT_EQ(sql_test::TableRows("OTHER", "x"), (std::vector<std::string>{"7"}));
  Run("CREATE TABLE MEMORY m (a INTEGER); INSERT INTO MEMORY m VALUES (8)");
  EXPECT_EQ(sql_test::TableRows("MEMORY", "m"), (std::vector<std::string>{"8"}));
  Run("DROP TABLE MEMORY m");
}

TEST_F(SqlStatementTest, InsertChecksEveryRowBeforeInsertingAny) {
  Run("CREATE TABLE t (a INTEGER, b VARCHAR(5))");
  EXPECT_EQ(Run("INSERT INTO t VALUES (1, 'a'), (2, 'b')"), 2);
  const std::pair<const char*, int32_t> cases[] = {
      {"INSERT INTO t (a, b) VALUES (1)", 20259},
      {"INSERT INTO t (a, b) VALUES (3, 'c'), (4)", 20259},
      {"INSERT INTO t VALUES (3, 'c'), (4, 'd', 5)", 20259},
      {"INSERT INTO t VALUES (3 4)", 30720},
      {"INSERT INTO t VALUES (3) (4)", 30721},
      {"INSERT INTO t VALUES (,)", 30357},
      {"INSERT t VALUES (1)", 30206},
      {"INSERT INTO t (a", 30059},
      {"INSERT INTO t (a,", 30059},
      {"INSERT INTO t", 30209},
      {"INSERT INTO t (a)", 30213},
      {"INSERT INTO t VALUES 1", 30214},
      {"INSERT INTO t (a, (b)) VALUES (1, 2)", 2156},
      {"INSERT INTO t (a) VALUES (nosuchfield)", 30196},
  };
  for (const auto& [sql, code] : cases) EXPECT_EQ(CodeOf(sql), code) << sql;
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|a", "2|b"}));
  EXPECT_NE(RaisedMessage([&] { Run("INSERT INTO t (a, b) VALUES (1)"); }).find("2 <> 1"), std::string::npos);
  // A column the table does not have.
  EXPECT_EQ(CodeOf("INSERT INTO t (nosuch) VALUES (1)"), 20841);
}

TEST_F(SqlStatementTest, AssignFieldValueConvertsAndClears) {
  Run("CREATE TABLE t (i INTEGER, l LARGEINT, d DATE, m MEMO, b BLOB, s VARCHAR(8))");
  Run("INSERT INTO t VALUES (1 + 2, 3000000000 * 2, DATE '2021-03-04', 'memo', 'blob', 12)");
  Run("INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL, NULL)");
  auto t = Open("t");
  EXPECT_EQ(t->FieldByName("i")->AsInteger(), 3);
  EXPECT_EQ(t->FieldByName("l")->AsLargeInt(), 6000000000);
  EXPECT_EQ(t->FieldByName("m")->AsString(), "memo");
  EXPECT_EQ(t->FieldByName("b")->AsString(), "blob");
  EXPECT_EQ(t->FieldByName("s")->AsString(), "12");
  t->Next();
  for (const char* name : {"i", "l", "d", "m", "b", "s"}) EXPECT_TRUE(t->FieldByName(name)->IsNull()) << name;

  // A null value clears a field that had a value, also a BLOB field.
  t->Edit();
  TVLMVariant null;
  for (const char* name : {"m", "b"}) {
    t->FieldByName(name)->SetAsString("x");
    AssignFieldValue(&null, *t->FieldByName(name));
    EXPECT_TRUE(t->FieldByName(name)->IsNull()) << name;
  }
  t->Cancel();
  EXPECT_EQ(RaisedCode([&] { AssignFieldValue(nullptr, *t->FieldByName("i")); }), 30359);
}

TEST_F(SqlStatementTest, TransactionsSpanTextsOfOneQuery) {
  Run("CREATE TABLE t (a INTEGER)");
  EXPECT_EQ(CodeOf("START"), 30459);
  EXPECT_EQ(CodeOf("START WORK"), 30460);
  EXPECT_EQ(CodeOf("BEGIN TRANSACTION"), 30153);
  // A table made and not opened since stays out of the way of a rollback.
  Run("CREATE TABLE u (b INTEGER)");
  Run("START TRANSACTION");
  Run("INSERT INTO t VALUES (1), (2)");
  EXPECT_TRUE(Database->InTransaction());
  Run("ROLLBACK");
  EXPECT_TRUE(Rows("t").empty());

  Run("START TRANSACTION; INSERT INTO t VALUES (3)");
  Run("COMMIT FLUSH WORK");
  Run("START TRANSACTION; INSERT INTO t VALUES (4); COMMIT WORK FLUSH");
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_THROW(Run("COMMIT"), std::exception);  // none open
  Query->Disconnect();
  Database->SetConnected(false);
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"3", "4"}));

  // The statements need their dataset's database component.
  TVLMTable unattached;
  TVLMSQLProcessor processor(&unattached);
  processor.SetSQL("START TRANSACTION");
  EXPECT_EQ(RaisedCode([&] { processor.Execute(); }), 20628);
}

}  // namespace
