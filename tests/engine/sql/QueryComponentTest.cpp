// The query component: its text and parameters, preparing, rows affected,
// where its database is, the hand-over of a statement's cursor and the
// refresh of a detail query. Statements that yield rows are played by a
// stand-in that shows a stored table and records the parameter values it was
// run with.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "engine/sql/VLMSQLCommand.h"
#include "engine/sql/VLMSQLProcessor.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using qv::test::RaisedCode;
using sql_test::QueryFixture;

// "SELECT ..." standing in for a query: the rows of table t, the parameter
// values of its tokens logged.
class RowsStandIn : public TVLMSQLCommand {
public:
  RowsStandIn(TVLMLexer* lexer, TVLMDataSet* owner, std::vector<std::string>& log)
      : TVLMSQLCommand(lexer, owner), Log_(log) {}
  void Parse() override {
    for (GetCurrentToken(); HasToken(); GetNextToken())
      if (Token.Kind == tktParameter) Log_.push_back(Token.Value->IsNull() ? "NULL" : Token.Value->GetAsString());
  }
  void Execute(TVLMDataSet* owner, bool, bool, bool& readOnly, TVLMQueryOperator*, TVLMCursor*) override {
    Table_ = std::make_unique<TVLMTable>();
    Table_->SetDatabaseName(owner->DatabaseName());
    Table_->SetTableName("t");
    Table_->Open();
    readOnly = true;
  }
  TVLMCursor* GetCursor() override { return Table_ ? Table_->Handle() : nullptr; }

private:
  std::vector<std::string>& Log_;
  std::unique_ptr<TVLMTable> Table_;
};

class StandInProcessor : public TVLMSQLProcessor {
public:
  StandInProcessor(TVLMDataSet* owner, std::vector<std::string>& log) : TVLMSQLProcessor(owner), Log_(log) {}

protected:
  void CreateSelect(TVLMLexer& lexer) override {
    auto command = std::make_unique<RowsStandIn>(&lexer, Owner, Log_);
    command->Parse();
    SetCommand(std::move(command));
  }

private:
  std::vector<std::string>& Log_;
};

class StandInQuery : public TVLMQuery {
public:
  std::vector<std::string> Log;

protected:
  std::unique_ptr<TVLMSQLProcessor> MakeProcessor() override {
    return std::make_unique<StandInProcessor>(this, Log);
  }
};

class QueryComponentTest : public QueryFixture {
protected:
  void SetUp() override {
    QueryFixture::SetUp();
    Run("CREATE TABLE t (id INTEGER, s VARCHAR(10)); INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c')");
    Rows_ = std::make_unique<StandInQuery>();
    Rows_->SetDatabaseName("SQLDB");
  }
  void TearDown() override {
    Rows_.reset();
    QueryFixture::TearDown();
  }
  static std::vector<std::string> Shown(qv::DataSet& d) {
    std::vector<std::string> rows;
    for (d.First(); !d.Eof(); d.Next()) rows.push_back(d.FieldByName("s")->AsString());
    return rows;
  }
  std::unique_ptr<StandInQuery> Rows_;
};

TEST_F(QueryComponentTest, TextParametersAndRowsAffected) {
  TVLMQuery q;
  q.SetDatabaseName("SQLDB");
  EXPECT_NE(qv::test::RaisedMessage([&] { q.Open(); }).find("No SQL statement available"), std::string::npos);

  q.SetSQL("INSERT INTO t (id, s) VALUES (:a, :b)");
  EXPECT_EQ(q.RowsAffected(), -1);
  q.ParamByName("a")->SetAsInteger(7);
  q.ParamByName("b")->SetAsString("x");
  q.Prepare();
  EXPECT_TRUE(q.Prepared());
  // A new text unprepares; values of the names that survive stay.
  q.SetSQL("INSERT INTO t (s, id) VALUES (:B, :c + :c)");
  EXPECT_FALSE(q.Prepared());
  ASSERT_EQ(q.Params().Count(), 2);
  EXPECT_EQ(q.ParamByName("b")->AsString(), "x");
  EXPECT_TRUE(q.ParamByName("c")->IsNull());
  q.ParamByName("c")->SetAsInteger(5);
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 1);
  q.UnPrepare();
  EXPECT_EQ(q.RowsAffected(), 1);

  // A colon inside double quotes is text.
  q.SetSQL("INSERT INTO t (s) VALUES (\":\")");
  EXPECT_EQ(q.Params().Count(), 0);
  q.ExecSQL();
  EXPECT_EQ(Rows("t").back(), "NULL|:");
  EXPECT_EQ(Rows("t")[3], "10|x");
}

TEST_F(QueryComponentTest, ParameterTypesReachTheStatement) {
  Run("CREATE TABLE p (d DATE, t TIME, m MEMO, b BLOB, f FLOAT)");
  TVLMQuery& q = *Query;
  q.SetSQL("INSERT INTO p VALUES (:d, :t, :m, :b, :f)");
  q.ParamByName("d")->SetAsDateTime(44000.0);
  q.ParamByName("t")->SetAsDateTime(0.5);
  q.ParamByName("t")->SetDataType(qv::ftTime);
  q.ParamByName("m")->SetAsMemo("memo text");
  q.ParamByName("b")->SetAsBlob(std::string("a\0b", 3));
  q.ParamByName("f")->SetDataType(qv::ftFloat);  // typed, no value: null
  q.ExecSQL();
  TVLMTable p;
  p.SetDatabaseName("SQLDB");
  p.SetTableName("p");
  p.Open();
  EXPECT_EQ(p.FieldByName("d")->AsDateTime(), 44000.0);
  EXPECT_EQ(p.FieldByName("t")->AsDateTime(), 0.5);
  EXPECT_EQ(p.FieldByName("m")->AsString(), "memo text");
  EXPECT_EQ(p.FieldByName("b")->AsString(), std::string("a\0b", 3));
  EXPECT_TRUE(p.FieldByName("f")->IsNull());
}

TEST_F(QueryComponentTest, DatabaseNameOfNoComponentNamesTheFile) {
  TVLMQuery q;
  q.SetDatabaseName(Folder.File("q.vlm"));
  q.SetSQL("INSERT INTO t VALUES (4, 'd')");
  q.ExecSQL();
  EXPECT_EQ(Rows("t").back(), "4|d");
  q.Disconnect();
  q.SetDatabaseName(Folder.File("missing.vlm"));
  EXPECT_EQ(RaisedCode([&] { q.ExecSQL(); }), 20845);
  EXPECT_NE(qv::test::RaisedMessage([&] { q.ExecSQL(); }).find("does not exist"), std::string::npos);
}

TEST_F(QueryComponentTest, AQueryGoesWithTheComponentThatOwnsIt) {
  // The statement's table components are the statement's alone: the owner
  // frees the open query, live or not, and the query frees them; a
  // database component of the owner goes before or after the query.
  for (const bool live : {false, true}) {
    for (const bool databaseFirst : {false, true}) {
      SCOPED_TRACE(std::string(live ? "live" : "static") + (databaseFirst ? ", database first" : ""));
      auto owner = std::make_unique<qv::Component>();
      auto makeDatabase = [&] {
        auto* database = new TVLMDatabase(owner.get());
        database->SetDatabaseName("OWNED");
        database->SetDatabaseFileName(Folder.File("q.vlm"));
        database->SilentMode = true;
      };
      if (databaseFirst) makeDatabase();
      auto* q = new TVLMQuery(owner.get());
      if (!databaseFirst) makeDatabase();
      q->SetDatabaseName("OWNED");
      q->RequestLive = live;
      q->SetSQL("SELECT * FROM t");
      q->Open();
      EXPECT_EQ(q->CanModify(), live);
      EXPECT_EQ(q->RecordCount(), 3);
      owner.reset();
    }
  }
  EXPECT_EQ(Rows("t").size(), 3u);
}

TEST_F(QueryComponentTest, TheStatementsCursorIsFreedOnceInEitherOrder) {
  StandInQuery& q = *Rows_;
  q.SetSQL("SELECT * FROM t");
  q.Open();
  EXPECT_EQ(Shown(q), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_FALSE(q.CanModify());
  q.Refresh();  // a read-only result is run again
  EXPECT_EQ(Shown(q), (std::vector<std::string>{"a", "b", "c"}));
  q.Close();  // lets go of the cursor; the processor still has it
  q.Open();   // runs the text again
  EXPECT_EQ(Shown(q), (std::vector<std::string>{"a", "b", "c"}));
  q.SetPrepared(false);  // the processor goes while open: closed first
  EXPECT_FALSE(q.Active());
  EXPECT_TRUE(q.ExecuteForCursor());
  q.Open();
  EXPECT_EQ(q.RecordCount(), 3);
  EXPECT_EQ(RaisedCode([&] { q.Prepare(); }), 30141);
  // The database goes while the query is prepared and open.
  Database->SetConnected(false);
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(q.Prepared());
  q.Open();
  Rows_.reset();  // destroyed open
}

TEST_F(QueryComponentTest, ADetailQueryRunsAgainWhenItsMasterMoves) {
  TVLMTable master;
  master.SetDatabaseName("SQLDB");
  master.SetTableName("t");
  master.Open();
  qv::DataSource source;
  source.SetDataSet(&master);
  StandInQuery& q = *Rows_;
  q.SetSQL("SELECT * FROM t WHERE s = :s");
  q.SetDataSource(&source);
  q.Open();
  master.Next();
  master.Next();
  EXPECT_EQ(q.Log, (std::vector<std::string>{"a", "b", "c"}));
  std::vector<qv::Field*> masterFields;
  std::vector<qv::Field*> detailFields;
  q.GetDetailLinkFields(masterFields, detailFields);
  ASSERT_EQ(masterFields.size(), 1u);
  EXPECT_EQ(masterFields[0], master.FieldByName("s"));
  EXPECT_EQ(detailFields, std::vector<qv::Field*>{q.FieldByName("s")});

  // A query's data source must not lead back to it.
  qv::DataSource own;
  own.SetDataSet(&q);
  EXPECT_THROW(q.SetDataSource(&own), qv::EDatabaseError);
  q.Close();
}

}  // namespace
