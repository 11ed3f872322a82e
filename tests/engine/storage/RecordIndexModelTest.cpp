// Records and B-tree record indexes of a disk table against a model: random
// inserts, updates and deletes of integer and text values (texts longer than
// the key prefix, in mixed case, and nulls) on small pages, with an
// ascending, a case-insensitive and a descending-then-text index. Long texts
// are indexed without case: a key prefix decides the order of two texts only
// where their first characters differ in more than case. Every
// 1,000 operations every index walk (both ways), range walk, record number
// and count must agree with the model, every tree and the page index must
// pass their checks, and every page of the file must have one owner.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "platform/os/Collation.h"
#include "tests/engine/storage/DiskTableSupport.h"
#include "tests/support/TestBudget.h"

namespace storage_test {
namespace {

enum { kID, kName, kNum };

struct Row {
  std::optional<std::string> Name;
  std::optional<int64_t> Num;
};

// Nulls first; descending reverses the whole order of the column.
template <typename T, typename Compare>
int CompareColumn(const std::optional<T>& a, const std::optional<T>& b, bool descending, Compare compare) {
  int r = a && b ? compare(*a, *b) : (a.has_value() == b.has_value() ? 0 : (a ? 1 : -1));
  return descending ? -r : r;
}
int Text(const std::string& a, const std::string& b, bool noCase) {
  const int r = qv::CompareText1252(a, b, noCase);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
int Number(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

struct IndexModel {
  const char* Name;
  std::function<int(const Row&, const Row&)> Compare;
};

const IndexModel kIndexes[] = {
    {"ByNum", [](const Row& a, const Row& b) { return CompareColumn(a.Num, b.Num, false, Number); }},
    {"ByNameNoCase",
     [](const Row& a, const Row& b) {
       return CompareColumn(a.Name, b.Name, false, [](auto& x, auto& y) { return Text(x, y, true); });
     }},
    {"ByNumDescName", [](const Row& a, const Row& b) {
       const int r = CompareColumn(a.Num, b.Num, true, Number);
       return r != 0 ? r : CompareColumn(a.Name, b.Name, false, [](auto& x, auto& y) { return Text(x, y, true); });
     }}};

std::optional<std::string> DrawName(std::mt19937& rng) {
  if (rng() % 20 == 0) return std::nullopt;
  static const char* const kStems[] = {"abcdefghijklmnopqrstuvwx", "ABCDEFGHIJKLMNOPQRST", "short", "zz"};
  std::string s = kStems[rng() % 4];
  for (uint32_t n = rng() % 12; n > 0; --n) s += "abcAB"[rng() % 5];
  return s;
}

std::optional<int64_t> DrawNum(std::mt19937& rng) {
  if (rng() % 20 == 0) return std::nullopt;
  return static_cast<int64_t>(rng() % 101) - 50;
}

std::optional<std::string> AsText(const std::optional<int64_t>& v) {
  return v ? std::optional<std::string>(std::to_string(*v)) : std::nullopt;
}

class Model {
public:
  explicit Model(DiskTable& table) : Table_(table) {}

  // The model's records in the order of an index (or natural order).
  std::vector<uint64_t> Order(const IndexModel* index) const {
    std::vector<std::pair<uint64_t, const Row*>> rows;
    for (const auto& [id, row] : Rows) rows.emplace_back(id, &row);
    if (index != nullptr)
      std::stable_sort(rows.begin(), rows.end(),
                       [&](const auto& a, const auto& b) { return index->Compare(*a.second, *b.second) < 0; });
    std::vector<uint64_t> ids;
    for (const auto& r : rows) ids.push_back(r.first);
    return ids;
  }

  // Every walk, range walk, record number and count, and every check.
  void Check(std::mt19937& rng) {
    TableCursor& cursor = Table_.Cursor;
    ASSERT_EQ(Table_.Records().RecordCount, static_cast<int64_t>(Rows.size()));
    Table_.Records().CheckPageIndex(0);
    ASSERT_EQ(Table_.Walk(), Order(nullptr));
    FreeSpaceChecker checker(Table_.Pages());
    checker.AddRecordManager(Table_.Records(), "records");
    for (const IndexModel& model : kIndexes) {
      const std::vector<uint64_t> expected = Order(&model);
      TVLMBTreeRecordIndex& index = Table_.Index(model.Name);
      index.CheckIntegrity(0);
      checker.AddRecordIndex(index, model.Name);
      std::vector<uint64_t> forward, backward;
      cursor.SetToBegin();
      while (cursor.GetRecord(1) == kVLMNavOK) forward.push_back(IDKey(cursor.Position.RecordID));
      cursor.SetToEnd();
      while (cursor.GetRecord(2) == kVLMNavOK) backward.insert(backward.begin(), IDKey(cursor.Position.RecordID));
      ASSERT_EQ(forward, expected) << model.Name;
      ASSERT_EQ(backward, expected) << model.Name;
      for (int sample = 0; sample < 10 && !expected.empty(); ++sample) {
        const int64_t k = 1 + static_cast<int64_t>(rng() % expected.size());
        TVLMRecordID id;
        index.SetRecNo(0, id, k);
        ASSERT_EQ(IDKey(id), expected[static_cast<size_t>(k - 1)]) << model.Name;
        ASSERT_TRUE(Table_.Go(id));
        ASSERT_EQ(index.GetRecNo(0, id, cursor.RecordBuffer), k) << model.Name;
      }
    }
    CheckRanges(rng);
    ASSERT_EQ(checker.Check(), "");
  }

  std::map<uint64_t, Row> Rows;

private:
  using TableCursor = tabledata_test::TableCursor;

  // Num between two bounds in ByNum, walked both ways.
  void CheckRanges(std::mt19937& rng) {
    TableCursor& cursor = Table_.Cursor;
    TVLMBTreeRecordIndex& index = Table_.Index("ByNum");
    const int64_t low = static_cast<int64_t>(rng() % 101) - 50;
    const int64_t high = low + static_cast<int64_t>(rng() % 30);
    auto bound = [&](uint8_t op, int64_t value, TVLMScanSearchCondition& c) {
      c.Operator = op;
      c.KeyBuffer = cursor.AllocKeyBuffer();
      cursor.InitKeyBuffer(c.KeyBuffer);
      cursor.SetInt(kNum, value, c.KeyBuffer);
      c.KeyBufferSize = cursor.KeyBufferSize;
      c.KeyFieldCount = 1;
      c.IndexID = cursor.IndexID;
    };
    TVLMScanSearchCondition lower, upper;
    bound(kVLMScanGreaterEqual, low, lower);
    bound(kVLMScanLessEqual, high, upper);
    std::vector<uint64_t> expected;
    for (uint64_t id : Order(&kIndexes[0])) {
      const std::optional<int64_t>& num = Rows.at(id).Num;
      if (num && *num >= low && *num <= high) expected.push_back(id);
    }
    for (bool forward : {true, false}) {
      std::vector<uint64_t> walked;
      TVLMIndexWalk* walk = index.CreateWalk();
      TVLMRecordID id;
      for (bool first = true; index.FindNextInRange(0, first, walk, id, cursor.RecordBuffer, forward ? &upper : &lower,
                                                    forward ? &lower : &upper, forward);
           first = false)
        walked.push_back(IDKey(id));
      index.FreeWalk(walk);
      if (!forward) std::reverse(walked.begin(), walked.end());
      ASSERT_EQ(walked, expected) << low << ".." << high << (forward ? " forward" : " backward");
    }
  }

  DiskTable& Table_;
};

TEST(RecordIndexModel, RandomChangesAgreeWithTheModel) {
  DiskTable table(512, {{"ID", dtInteger}, {"Name", dtString, 40}, {"Num", dtInteger}},
                  {{"ByNum", "Num"},
                   {"ByNameNoCase", "Name", false, false, "", "Name"},
                   {"ByNumDescName", "Num;Name", false, false, "Num", "Name"}});
  Model model(table);
  std::mt19937 rng(20240523);
  int64_t nextID = 0;
  qv::test::TestBudget budget(20);
  uint64_t i = 0;
  for (; budget.Continue(i); ++i) {
    const uint32_t dice = rng() % 100;
    const size_t size = model.Rows.size();
    if (size == 0 || (size < 600 && dice < 50)) {
      const Row row{DrawName(rng), DrawNum(rng)};
      model.Rows[IDKey(table.Insert({std::to_string(++nextID), row.Name, AsText(row.Num)}))] = row;
    } else {
      auto it = model.Rows.begin();
      std::advance(it, static_cast<std::ptrdiff_t>(rng() % size));
      const TVLMRecordID id{static_cast<uint32_t>(it->first >> 16), static_cast<uint16_t>(it->first & 0xFFFF)};
      if (dice < 75) {
        ASSERT_TRUE(table.Go(id));
        table.Cursor.Edit();
        Row& row = it->second;
        if (rng() % 2 == 0) row.Name = DrawName(rng);
        if (rng() % 2 == 0) row.Num = DrawNum(rng);
        table.Cursor.SetText(kName, row.Name);
        table.Cursor.SetInt(kNum, row.Num);
        table.Cursor.Post(false);
      } else {
        table.Delete(id);
        model.Rows.erase(it);
      }
    }
    if (i % 1000 == 999) {
      model.Check(rng);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  model.Check(rng);
  EXPECT_GT(i, 1000u);
  RecordProperty("Operations", static_cast<int>(i));
}

}  // namespace
}  // namespace storage_test
