#include <gtest/gtest.h>

#include "tests/engine/tabledata/ReferenceEngine.h"

namespace tabledata_test {
namespace {

TEST(TableData, Smoke) {
  RefDatabaseData db;
  schema_test::TestSession session;
  db.ConnectSession(&session);
  TableCursor log(db, session, "Log");
  log.Create({{"ID", dtAutoinc}, {"Call", dtString, 10}}, {{"ByCall", "Call"}});
  log.Append({std::nullopt, "W1AW"});
  log.Append({std::nullopt, "K1ABC"});
  EXPECT_EQ(log.GetRecordCount(), 2);
  EXPECT_EQ(log.Column(1), (std::vector<std::string>{"W1AW", "K1ABC"}));
  log.UseIndex("ByCall");
  EXPECT_EQ(log.Column(1), (std::vector<std::string>{"K1ABC", "W1AW"}));
  EXPECT_EQ(log.Table().CheckIndexes(), "");
}

}  // namespace
}  // namespace tabledata_test
