// Query expressions in this process, through the query component: how often
// a subquery's rows are made, that nothing of a set operation, a derived
// table or a subquery is left in "TEMP", also after a failure half-way, and
// a subquery where no statement reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/sql/VLMSQLProcessor.h"
#include "engine/sql/VLMSQLQueryExpr.h"
#include "platform/host/StringList.h"
#include "tests/engine/sql/SqlTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using qv::test::RaisedCode;

class QueryExprQueryTest : public sql_test::QueryFixture {
protected:
  void SetUp() override {
    QueryFixture::SetUp();
    Run(sql_test::kSetupSql);
  }
  // How many times subquery results were made while sql ran.
  int64_t SubqueryRuns(const std::string& sql) {
    const int64_t before = VLMSubqueryRunCount();
    Select(sql);
    return VLMSubqueryRunCount() - before;
  }
};

TEST_F(QueryExprQueryTest, ASubqueryRunsOncePerStatementRunOrOncePerOuterRow) {
  // Six outer rows with four distinct values: the rows are made once.
  EXPECT_EQ(SubqueryRuns("SELECT name FROM emp WHERE dept IN (SELECT code FROM dept WHERE budget >= 500)"), 1);
  EXPECT_EQ(SubqueryRuns("SELECT name FROM emp WHERE salary > ALL (SELECT salary FROM emp WHERE id > 4)"), 1);
  // Each run of the statement makes them anew.
  EXPECT_EQ(SubqueryRuns("SELECT name FROM emp WHERE dept IN (SELECT code FROM dept WHERE budget >= 500)"), 1);
  // Correlated: once per outer row the condition is tested on.
  EXPECT_EQ(SubqueryRuns("SELECT code FROM dept d WHERE EXISTS (SELECT id FROM emp e WHERE e.dept = d.code)"), 3);
  EXPECT_EQ(SubqueryRuns("SELECT name FROM emp e WHERE id < 3 AND EXISTS (SELECT id FROM emp x WHERE x.mgr = e.id)"),
            2);
  // A correlated subquery inside one that is not: the inner one per row of
  // the outer subquery's table, the outer one once.
  EXPECT_EQ(SubqueryRuns("SELECT name FROM emp WHERE dept IN (SELECT code FROM dept d WHERE EXISTS "
                         "(SELECT id FROM emp e WHERE e.dept = d.code))"),
            1 + 3);
}

TEST_F(QueryExprQueryTest, NothingOfARunIsLeftInTemp) {
  auto leftover = [&] {
    Query->Disconnect();
    return TemporaryTables();
  };
  EXPECT_EQ(Select("SELECT code FROM dept UNION SELECT dept FROM emp INTERSECT SELECT dept FROM emp ORDER BY 1").size(),
            5u);
  EXPECT_EQ(leftover(), 0);
  EXPECT_EQ(Select("SELECT * FROM (SELECT name FROM emp EXCEPT SELECT code FROM dept) t WHERE name > 'c'"),
            (std::vector<std::string>{"carol", "dave", "erin", "frank"}));
  EXPECT_EQ(leftover(), 0);
  EXPECT_EQ(Select("SELECT name FROM emp e WHERE salary < ANY (SELECT salary FROM emp x WHERE x.id = e.mgr)"),
            (std::vector<std::string>{"bob", "carol", "dave", "erin"}));
  EXPECT_EQ(leftover(), 0);
  // Failures half-way: in the right operand of a union, in a derived table,
  // in a correlated subquery at its third outer row.
  Query->SetSQL("SELECT id FROM emp UNION SELECT 100 / (id - 4) FROM emp");
  EXPECT_NE(RaisedCode([&] { Query->Open(); }), 0);
  EXPECT_EQ(leftover(), 0);
  Query->SetSQL("SELECT * FROM (SELECT 100 / (id - 4) AS x FROM emp) t");
  EXPECT_NE(RaisedCode([&] { Query->Open(); }), 0);
  EXPECT_EQ(leftover(), 0);
  Query->SetSQL("SELECT name FROM emp e WHERE EXISTS (SELECT id FROM emp x WHERE x.id = 100 / (e.id - 3))");
  EXPECT_NE(RaisedCode([&] { Query->Open(); }), 0);
  EXPECT_EQ(leftover(), 0);
}

TEST_F(QueryExprQueryTest, ASubqueryNeedsAStatement) {
  // A dataset filter is no SQL statement: it has nothing to run a SELECT
  // with.
  TVLMTable table;
  table.SetDatabaseName("SQLDB");
  table.SetTableName("emp");
  table.Open();
  table.SetFilterText("id IN (SELECT id FROM emp)");
  EXPECT_EQ(RaisedCode([&] { table.SetFiltered(true); }), 20760);
}

}  // namespace
