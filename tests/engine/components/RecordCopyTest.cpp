// The record copy between datasets: progress cadence and percents, the stop
// by the progress handler, the log of values and records that could not be
// copied, and fields matched by identity for a restructure.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/components/VLMMain.h"
#include "tests/support/MemDataSet.h"
#include "tests/engine/components/DataSetTestSupport.h"

namespace {

using dataset_test::Column;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A dataset over its own MemTable with ID (integer) and Points of the given
// type, holding rows with ID 1.. and the given Points texts.
class MemLog {
public:
  explicit MemLog(qv::TFieldType pointsType, bool uniqueId = false) {
    Table.GetFieldDefs().Add("ID", qv::ftInteger);
    Table.GetFieldDefs().Add("Points", pointsType, pointsType == qv::ftString ? 10 : 0);
    if (uniqueId) Table.GetIndexDefs().Add("PK", "ID", qv::ixPrimary | qv::ixUnique);
    DataSet.SetTable(&Table);
    DataSet.Open();
  }
  void Fill(const std::vector<int>& ids, const std::vector<std::string>& points = {}) {
    for (size_t i = 0; i < ids.size(); ++i) {
      DataSet.Append();
      DataSet.FieldByName("ID")->SetAsInteger(ids[i]);
      DataSet.FieldByName("Points")->SetAsString(i < points.size() ? points[i] : "1");
      DataSet.Post();
    }
  }
  qv::MemTable Table;
  qv::MemDataSet DataSet;
};

std::vector<int> Ids(int count) {
  std::vector<int> ids;
  for (int i = 1; i <= count; ++i) ids.push_back(i);
  return ids;
}

TEST(RecordCopy, ProgressIsReportedAfterTheFirstRecordAndThenEveryStepOrThirtyRecords) {
  std::vector<int32_t> odd;
  for (int32_t p = 1; p < 100; p += 2) odd.push_back(p);
  struct Row {
    const char* name;
    int records;
    int32_t minPercent, maxPercent;
    int stopAtReport;  // 0: never
    std::vector<int32_t> percents;
    int copied;
  };
  const Row rows[] = {
      {"an empty source", 0, 0, 100, 0, {}, 0},
      {"100 records over 0-100: step 2", 100, 0, 100, 0, odd, 100},
      {"an empty range: step 1 at its start", 4, 40, 40, 0, {40, 40, 40, 40}, 4},
      {"a narrow range: every 30 records", 100, 0, 1, 0, {0, 0, 1, 1}, 100},
      {"a shifted range", 10, 50, 60, 0, {51, 53, 55, 57, 59}, 10},
      {"a stop after the first record", 100, 0, 100, 1, {1}, 1},
      {"a stop after the third report", 100, 0, 100, 3, {1, 3, 5}, 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MemLog source(qv::ftInteger);
    MemLog dest(qv::ftInteger);
    source.Fill(Ids(row.records));
    // The source goes back to where it stood.
    if (row.records > 2) source.DataSet.Locate("ID", qv::HostVariant(3), 0);
    std::vector<int32_t> percents;
    std::string log = "before";
    bool cont = true;
    const bool copied = TVLMDataSet::CopyRecords(
        source.DataSet, dest.DataSet, log, cont, false, false,
        [&](qv::DataSet& sender, int32_t percent, bool& goOn) {
          EXPECT_EQ(&sender, &source.DataSet);
          percents.push_back(percent);
          if (static_cast<int>(percents.size()) == row.stopAtReport) goOn = false;
        },
        row.minPercent, row.maxPercent);
    EXPECT_EQ(percents, row.percents);
    EXPECT_EQ(dest.Table.RecordCount(), row.copied);
    EXPECT_EQ(copied, row.stopAtReport == 0);
    EXPECT_EQ(log, row.stopAtReport == 0 ? "before" : "before\r\nTerminated by User.");
    if (row.records > 2) {
      EXPECT_EQ(source.DataSet.FieldByName("ID")->AsInteger(), 3);
    }
  }
}

TEST(RecordCopy, FailedValuesBecomeNullAndFailedRecordsAreLoggedAndCancelled) {
  const std::string valueLine =
      "Error copying table \"unknown\". Record #2, field 'Points' was copied with Null value due to error: ";
  const std::string recordLine = "Error copying table \"unknown\". Record #3 was not imported due to error: ";
  struct Row {
    const char* name;
    std::vector<int> ids;
    std::vector<std::string> points;
    bool ignoreErrors;
    bool raises;
    std::string logStart;
    std::vector<std::string> destIds;
    std::vector<std::string> destPoints;
  };
  const Row rows[] = {
      {"a value that cannot be written, ignored", {1, 2, 3}, {"5", "five", "7"}, true, false, valueLine,
       {"1", "2", "3"}, {"5", "", "7"}},
      {"a value that cannot be written, raised", {1, 2, 3}, {"5", "five", "7"}, false, true, valueLine, {"1"},
       {"5"}},
      {"a record that cannot be posted, ignored", {1, 2, 1, 4}, {"5", "6", "7", "8"}, true, false, recordLine,
       {"1", "2", "4"}, {"5", "6", "8"}},
      {"a record that cannot be posted, raised", {1, 2, 1, 4}, {"5", "6", "7", "8"}, false, true, recordLine,
       {"1", "2"}, {"5", "6"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MemLog source(qv::ftString);
    MemLog dest(qv::ftInteger, true);
    source.Fill(row.ids, row.points);
    std::string log;
    bool cont = true;
    bool copied = true;
    bool raised = false;
    try {
      copied = TVLMDataSet::CopyRecords(source.DataSet, dest.DataSet, log, cont, row.ignoreErrors, false, nullptr,
                                        0, 100);
    } catch (const std::exception&) {
      raised = true;
    }
    EXPECT_EQ(raised, row.raises);
    if (!row.raises) {
      EXPECT_FALSE(copied);
    }
    EXPECT_EQ(log.rfind(row.logStart, 0), 0u) << log;
    EXPECT_TRUE(EndsWith(log, "\r\n")) << log;
    EXPECT_EQ(dest.DataSet.State(), qv::dsBrowse);
    EXPECT_EQ(Column(dest.DataSet, "ID"), row.destIds);
    EXPECT_EQ(Column(dest.DataSet, "Points"), row.destPoints);
  }
}

using RecordCopyBetweenTables = dataset_test::MemoryTables;

TEST_F(RecordCopyBetweenTables, RestructureMatchesFieldsByIdentity) {
  auto old = DataSetOn("OldLog");
  old->GetFieldDefs().Add("ID", qv::ftInteger);
  old->GetFieldDefs().Add("Call", qv::ftString, 10);
  old->GetFieldDefs().Add("Name", qv::ftString, 10);
  old->CreateTable();
  old->Open();
  for (const auto& [id, call, name] : {std::tuple{1, "K1ABC", "Al"}, std::tuple{2, "W2XYZ", "Bo"}}) {
    old->Append();
    old->FieldByName("ID")->SetAsInteger(id);
    old->FieldByName("Call")->SetAsString(call);
    old->FieldByName("Name")->SetAsString(name);
    old->Post();
  }
  // The new structure: Call renamed and moved first, Name renamed to what
  // Call was called, a new Grid field.
  old->RestructureFieldDefs.Assign(old->AdvFieldDefs);
  old->RestructureFieldDefs.Find("Call")->Name = "Callsign";
  old->RestructureFieldDefs.Find("Name")->Name = "Call";
  auto fresh = DataSetOn("NewLog");
  fresh->AdvFieldDefs.Add()->Assign(*old->RestructureFieldDefs.Find("Callsign"));
  fresh->AdvFieldDefs.Add()->Assign(*old->RestructureFieldDefs.Find("ID"));
  fresh->AdvFieldDefs.Add()->Assign(*old->RestructureFieldDefs.Find("Call"));
  TVLMAdvFieldDef* grid = fresh->AdvFieldDefs.Add();
  grid->Name = "Grid";
  grid->DataType = dtString;
  grid->Size = 6;
  old->RestructureFieldDefs.Add()->Assign(*grid);
  fresh->CreateTable();

  struct Row {
    bool match;
    std::vector<std::string> callsign, call;
  };
  for (const Row& row : {Row{true, {"K1ABC", "W2XYZ"}, {"Al", "Bo"}}, Row{false, {"", ""}, {"K1ABC", "W2XYZ"}}}) {
    SCOPED_TRACE(row.match);
    fresh->EmptyTable();
    fresh->Open();
    std::string log;
    bool cont = true;
    EXPECT_TRUE(TVLMDataSet::CopyRecords(*old, *fresh, log, cont, false, row.match, nullptr, 0, 99));
    EXPECT_EQ(log, "");
    EXPECT_EQ(Column(*fresh, "ID"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Column(*fresh, "Callsign"), row.callsign);
    EXPECT_EQ(Column(*fresh, "Call"), row.call);
    EXPECT_EQ(Column(*fresh, "Grid"), (std::vector<std::string>{"", ""}));
    fresh->Close();
  }
}

}  // namespace
