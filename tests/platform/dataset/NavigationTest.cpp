// Navigation and the buffer ring, against a model of a position in a list:
// every step must leave the current record, Bof/Eof, RecNo and the window a
// grid link sees (contiguous records, current one at ActiveRecord) right.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "tests/platform/dataset/DataSetTestUtil.h"
#include "tests/support/TestBudget.h"

namespace {

using qvtest::CurrentId;
using qvtest::ProbeLink;

class Navigation : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
  void SetUp() override {
    rows_ = std::get<0>(GetParam());
    bufferCount_ = std::get<1>(GetParam());
    qvtest::DefineLogTable(table_);
    ds_.SetName("Log");
    ds_.SetTable(&table_);
    ds_.Open();
    qvtest::AppendRows(ds_, rows_);
    ds_.Close();
    source_.SetDataSet(&ds_);
    link_.SetDataSource(&source_);
    link_.SetBufferCount(bufferCount_);
    ds_.Open();
  }

  // The window the link shows is a run of consecutive ids holding the current
  // record at the link's active row.
  void ExpectWindow(int currentId) {
    std::vector<int> ids = link_.WindowIds();
    ASSERT_EQ(static_cast<int>(ids.size()), std::min(rows_, bufferCount_));
    for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i], ids[i - 1] + 1);
    if (!ids.empty()) {
      EXPECT_EQ(ids[static_cast<size_t>(link_.ActiveRecord())], currentId);
    }
  }

  int rows_ = 0;
  int bufferCount_ = 1;
  qv::MemTable table_;
  qv::MemDataSet ds_;
  qv::DataSource source_;
  ProbeLink link_;
};

TEST_P(Navigation, ForwardAndBackwardWalks) {
  EXPECT_EQ(ds_.RecordCount(), rows_);
  EXPECT_TRUE(ds_.Bof());
  EXPECT_EQ(ds_.Eof(), rows_ == 0);  // at once on an empty dataset
  EXPECT_EQ(ds_.IsEmpty(), rows_ == 0);

  std::vector<int> seen;
  for (ds_.First(); !ds_.Eof(); ds_.Next()) seen.push_back(CurrentId(ds_));
  std::vector<int> expected(static_cast<size_t>(rows_));
  for (int i = 0; i < rows_; ++i) expected[static_cast<size_t>(i)] = i + 1;
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(ds_.Eof());
  if (rows_ > 0) {
    EXPECT_EQ(CurrentId(ds_), rows_);  // Next past the last stays on it
  }

  seen.clear();
  for (ds_.Last(); !ds_.Bof(); ds_.Prior()) seen.push_back(CurrentId(ds_));
  std::reverse(seen.begin(), seen.end());
  EXPECT_EQ(seen, expected);
  if (rows_ > 0) {
    EXPECT_EQ(CurrentId(ds_), 1);
  }
}

TEST_P(Navigation, RandomMovesFollowTheModel) {
  std::mt19937 rng(20240607u + static_cast<unsigned>(rows_ * 31 + bufferCount_));
  int p = 0;
  bool bof = true;
  bool eof = rows_ == 0;
  auto budget = qv::test::TestBudget::Steps(600);
  for (int64_t step = 0; budget.Continue(step); ++step) {
    int op = static_cast<int>(rng() % 7);
    if (op == 0) {
      ds_.First();
      p = 0;
      bof = true;
      eof = rows_ == 0;
    } else if (op == 1) {
      ds_.Last();
      p = std::max(rows_ - 1, 0);
      eof = true;
      bof = rows_ == 0;
    } else if (op == 5 && bufferCount_ > 1) {
      // A grid that shrinks to one row and grows back keeps the current record.
      link_.SetBufferCount(1);
      if (rows_ > 0) {
        EXPECT_EQ(CurrentId(ds_), p + 1);
      }
      link_.SetBufferCount(bufferCount_);
    } else {
      int distance = op == 2 ? 1 : op == 3 ? -1 : static_cast<int>(rng() % 15) - 7;
      int moved = ds_.MoveBy(distance);
      int expectedMove = 0;
      if ((distance > 0 && !eof) || (distance < 0 && !bof)) {
        bof = eof = false;
        if (distance > 0) {
          int room = rows_ - 1 - p;
          expectedMove = std::min(distance, room);
          eof = distance > room;
        } else {
          int room = p;
          expectedMove = -std::min(-distance, room);
          bof = -distance > room;
        }
      }
      p += expectedMove;
      EXPECT_EQ(moved, expectedMove) << "step " << step;
    }
    ASSERT_EQ(ds_.Bof(), bof) << "step " << step;
    ASSERT_EQ(ds_.Eof(), eof) << "step " << step;
    if (rows_ > 0) {
      ASSERT_EQ(CurrentId(ds_), p + 1) << "step " << step;
      ASSERT_EQ(ds_.RecNo(), p + 1);
      ExpectWindow(p + 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RowsAndBuffers, Navigation,
                         ::testing::Combine(::testing::Values(0, 1, 50), ::testing::Values(1, 10)));

// Appends, inserts, deletes, edits and cancels against a list of ids in
// insertion order (the table's natural order).
class Editing : public ::testing::TestWithParam<int> {};

TEST_P(Editing, RandomWritesFollowTheModel) {
  const int bufferCount = GetParam();
  qv::MemTable table;
  qvtest::DefineLogTable(table);
  qv::MemDataSet ds;
  ds.SetTable(&table);
  qv::DataSource source;
  source.SetDataSet(&ds);
  ProbeLink link;
  link.SetDataSource(&source);
  link.SetBufferCount(bufferCount);
  ds.Open();

  std::vector<int> model;  // ids in order
  std::map<int, int> points;  // id -> Points; absent means 0
  int p = -1;  // current index, -1 when empty
  int nextId = 1;
  std::mt19937 rng(77u + static_cast<unsigned>(bufferCount));
  auto budget = qv::test::TestBudget::Steps(400);
  for (int64_t step = 0; budget.Continue(step); ++step) {
    int op = static_cast<int>(rng() % 6);
    if (op == 0 || op == 1 || model.empty()) {
      int id = nextId++;
      if (op == 0) {
        ds.Append();
      } else {
        ds.Insert();
      }
      ds.FieldByName("ID")->SetAsInteger(id);
      ds.FieldByName("Call")->SetAsString("C" + std::to_string(id));
      if (rng() % 4 == 0) {
        // An insert goes back to the record that was current, an append to
        // the last record (where the appended one would have been).
        ds.Cancel();
        if (op == 0 && !model.empty()) p = static_cast<int>(model.size()) - 1;
      } else {
        ds.Post();
        model.push_back(id);
        p = static_cast<int>(model.size()) - 1;
      }
    } else if (op == 2) {
      ds.Delete();
      model.erase(model.begin() + p);
      if (p >= static_cast<int>(model.size())) p = static_cast<int>(model.size()) - 1;
    } else if (op == 3) {
      int value = static_cast<int>(rng() % 100);
      ds.Edit();
      ds.FieldByName("Points")->SetAsInteger(value);
      if (rng() % 3 == 0) {
        ds.Cancel();
      } else {
        ds.Post();
        points[model[static_cast<size_t>(p)]] = value;
      }
    } else {
      int distance = static_cast<int>(rng() % 9) - 4;
      ds.MoveBy(distance);
      p = std::clamp(p + distance, 0, static_cast<int>(model.size()) - 1);
    }
    ASSERT_EQ(ds.State(), qv::dsBrowse);
    ASSERT_EQ(ds.RecordCount(), static_cast<int>(model.size())) << "step " << step;
    ASSERT_EQ(ds.IsEmpty(), model.empty());
    if (model.empty()) continue;
    ASSERT_EQ(CurrentId(ds), model[static_cast<size_t>(p)]) << "step " << step;
    ASSERT_EQ(ds.FieldByName("Points")->AsInteger(), points[model[static_cast<size_t>(p)]]);
    std::vector<int> window = link.WindowIds();
    auto first = std::find(model.begin(), model.end(), window.front());
    ASSERT_NE(first, model.end());
    ASSERT_TRUE(std::equal(window.begin(), window.end(), first)) << "step " << step;
    ASSERT_EQ(window[static_cast<size_t>(link.ActiveRecord())], model[static_cast<size_t>(p)]);
  }
  EXPECT_EQ(table.RecordCount(), static_cast<int>(model.size()));
}

INSTANTIATE_TEST_SUITE_P(Buffers, Editing, ::testing::Values(1, 10));

}  // namespace
