// Two threads, each with its own session and cursor, work on one table of
// one database at once: inserts, locates, edits, deletes, filtered walks,
// record numbers and a temporary index. The database lock must keep the
// records and every index consistent and the runs free of races (under the
// sanitizers), on the reference engine and on the disk engine alike.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "tests/engine/expressions/ExpressionTestSupport.h"
#include "tests/support/engine/ReferenceEngine.h"
#include "tests/support/TestBudget.h"

namespace tabledata_test {
namespace {

enum { kID, kCall, kMode, kPoints };

const char* const kCalls[] = {"W1AW", "K1ABC", "N0XYZ", "DL1AA", "G4ABC", "JA1ZZ"};
const char* const kModes[] = {"CW", "SSB", "FT8"};

void Work(RefDatabaseData& db, int32_t sessionID, uint32_t seed, const qv::test::TestBudget& budget,
          std::atomic<int64_t>& steps, std::string& failure) {
  schema_test::TestSession session;
  session.SessionID = sessionID;
  TableCursor cursor(db, session, "Log");
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
  std::unique_ptr<TVLMExpression> filter;
  try {
    cursor.Open();
    filter = std::make_unique<TVLMExpression>(
        expr_test::Cmp(kVLMOpGreater, expr_test::Field(&cursor, "Points"), expr_test::Int(4)));
    std::string temporary;
    bool created = false;
    cursor.GetIndexForFields(schema_test::List({"MODE"}), schema_test::List({"DESC"}),
                             schema_test::List({"CASE"}), temporary, created);
    const std::string indexes[] = {"", "ByCall", "PK", temporary};
    for (uint64_t i = 0; budget.Continue(i); ++i, ++steps) {
      const std::string call = kCalls[pick(6)];
      switch (pick(6)) {
        case 0:
        case 1:
          cursor.Append({std::nullopt, call, kModes[pick(3)], std::to_string(pick(10))});
          break;
        case 2:
          if (cursor.Locate("Call", qv::HostVariant(call), false, false)) {
            cursor.Edit();
            cursor.SetText(kMode, kModes[pick(3)]);
            cursor.SetInt(kPoints, pick(10));
            cursor.Post(false);
          }
          break;
        case 3:
          if (cursor.GetRecordCount() > 60 && cursor.Locate("Call", qv::HostVariant(call), false, false))
            cursor.DeleteRecord();
          break;
        case 4: {
          cursor.UseIndex(indexes[pick(4)]);
          cursor.SetFilterExpression(pick(2) == 0 ? filter.get() : nullptr);
          cursor.SetToBegin();
          for (int s = 0; s < 5 && cursor.GetRecord(1) == kVLMNavOK; ++s) {
          }
          break;
        }
        default: {
          const int64_t count = cursor.GetRecordCount();
          if (count > 0) {
            cursor.SetRecNo(1 + pick(static_cast<int>(count)));
            cursor.GetRecNo();
          }
        }
      }
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  cursor.SetFilterExpression(nullptr);
}

class TableDataStress : public ::testing::TestWithParam<EngineKind> {};

INSTANTIATE_TEST_SUITE_P(Engines, TableDataStress, ::testing::Values(EngineKind::Reference, EngineKind::Disk),
                         [](const ::testing::TestParamInfo<EngineKind>& info) { return EngineKindName(info.param); });

TEST_P(TableDataStress, TwoThreadsShareOneDatabase) {
  RefDatabaseData db(GetParam());
  schema_test::TestSession owner;
  db.ConnectSession(&owner);
  {
    TableCursor log(db, owner, "Log");
    log.Create({{"ID", dtAutoinc}, {"Call", dtString, 10}, {"Mode", dtString, 6}, {"Points", dtInteger}},
               {{"PK", "ID", true}, {"ByCall", "Call;Mode"}});
  }
  qv::test::TestBudget budget(20);
  std::atomic<int64_t> steps{0};
  std::string failure0, failure1;
  std::thread first(Work, std::ref(db), 0, 1u, std::cref(budget), std::ref(steps), std::ref(failure0));
  std::thread second(Work, std::ref(db), 1, 2u, std::cref(budget), std::ref(steps), std::ref(failure1));
  first.join();
  second.join();
  EXPECT_EQ(failure0, "");
  EXPECT_EQ(failure1, "");
  EXPECT_GT(steps.load(), 100);
  TableCursor check(db, owner, "Log");
  check.Open();
  EXPECT_EQ(check.Ref().CheckIndexes(), "");
  int64_t walked = 0;
  check.SetToBegin();
  while (check.GetRecord(1) == kVLMNavOK) ++walked;
  EXPECT_EQ(walked, check.Table().RecordManager->RecordCount);
}

}  // namespace
}  // namespace tabledata_test
