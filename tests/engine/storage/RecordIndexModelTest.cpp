// Records and B-tree record indexes of a disk table against a model: random
// inserts, updates and deletes of integer and text values (texts longer than
// the key prefix that differ in case and accents inside it and in letters
// after it, and nulls) on small pages, with an integer, a case-sensitive text
// and a descending-then-case-insensitive-text index. Every 1,000 operations
// every index walk (both ways), pass over every entry, range walk, record
// number and count must agree with the model, every tree and the page
// index must pass their checks, and every page of the file must have one
// owner.
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

// Nulls first, then the values; descending reverses the column.
int Column(const Row& a, const Row& b, bool num, bool descending, bool caseInsensitive = false) {
  int r = 0;
  if (num ? (a.Num && b.Num) : (a.Name && b.Name))
    r = num ? (*a.Num > *b.Num) - (*a.Num < *b.Num) : qv::CompareText1252(*a.Name, *b.Name, caseInsensitive);
  else
    r = num ? a.Num.has_value() - b.Num.has_value() : a.Name.has_value() - b.Name.has_value();
  r = r < 0 ? -1 : (r > 0 ? 1 : 0);
  return descending ? -r : r;
}

struct IndexModel {
  const char* Name;
  int (*Compare)(const Row&, const Row&);
};
const IndexModel kIndexes[] = {
    {"ByNum", [](const Row& a, const Row& b) { return Column(a, b, true, false); }},
    {"ByName", [](const Row& a, const Row& b) { return Column(a, b, false, false); }},
    {"ByNumDescName", [](const Row& a, const Row& b) {
       const int r = Column(a, b, true, true);
       return r != 0 ? r : Column(a, b, false, false, true);
     }}};

// Long names mostly share their first 20 characters up to case and accents
// ('e' may be E, \xE9 or \xC9) and differ in letters after them.
std::optional<std::string> DrawName(std::mt19937& rng) {
  static const char* const kStems[] = {"abcdefghijklmnopqrstuvwx", "abcdefghijklmnopqrst", "short", "zz"};
  if (rng() % 20 == 0) return std::nullopt;
  std::string s = kStems[rng() % 4];
  for (char& ch : s)
    if (rng() % 4 == 0) ch = ch == 'e' ? "E\xE9\xC9"[rng() % 3] : static_cast<char>(ch - 'a' + 'A');
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

TVLMRecordID FromKey(uint64_t key) { return {static_cast<uint32_t>(key >> 16), static_cast<uint16_t>(key & 0xFFFF)}; }

class RecordIndexModel : public ::testing::Test {
protected:
  // The model's record IDs in the order of an index (or natural order).
  std::vector<uint64_t> Order(const IndexModel* index) const {
    std::vector<uint64_t> ids;
    for (const auto& row : rows) ids.push_back(row.first);
    if (index != nullptr)
      std::stable_sort(ids.begin(), ids.end(),
                       [&](uint64_t a, uint64_t b) { return index->Compare(rows.at(a), rows.at(b)) < 0; });
    return ids;
  }

  void Check() {
    ASSERT_EQ(table.Records().RecordCount, static_cast<int64_t>(rows.size()));
    table.Records().CheckPageIndex(0);
    ASSERT_EQ(table.Walk(), Order(nullptr));
    FreeSpaceChecker checker(table.Pages());
    checker.AddPageIndex(*table.Records().PageIndex, "records");
    for (const IndexModel& model : kIndexes) {
      const std::vector<uint64_t> expected = Order(&model);
      ASSERT_EQ(table.Walk(model.Name), expected) << model.Name;
      std::vector<uint64_t> backward;
      table.Cursor.SetToEnd();
      while (table.Cursor.GetRecord(2) == kVLMNavOK) backward.insert(backward.begin(), IDKey(table.Cursor.Position.RecordID));
      ASSERT_EQ(backward, expected) << model.Name;
      TVLMBTreeRecordIndex& index = table.Index(model.Name);
      index.CheckIntegrity(0);
      checker.AddTree(index.RootPageNo(), index.KeyRef, model.Name);
      // The pass over every entry: the index's order, each entry's path
      // numbered as a search for the entry finds it, and it stops where
      // asked.
      std::vector<uint64_t> passed;
      std::vector<int64_t> positions;
      ASSERT_FALSE(index.PassEntries(0, [&](const TVLMRecordID& id, const TVLMKeyPath& path) {
        passed.push_back(IDKey(id));
        positions.push_back(index.KeyPathPosition(path, index.GetFanOut()));
        return false;
      }));
      ASSERT_EQ(passed, expected) << model.Name;
      for (int sample = 0; sample < 10 && !expected.empty(); ++sample) {
        const size_t at = rng() % expected.size();
        ASSERT_TRUE(table.Go(FromKey(expected[at])));
        TVLMKeyPath path;
        ASSERT_TRUE(index.FindKeyPath(0, FromKey(expected[at]), path, table.Cursor.RecordBuffer));
        ASSERT_EQ(positions[at], index.KeyPathPosition(path, index.GetFanOut())) << model.Name;
      }
      if (!expected.empty()) {
        const size_t stop = rng() % expected.size();
        size_t visited = 0;
        ASSERT_TRUE(index.PassEntries(0, [&](const TVLMRecordID&, const TVLMKeyPath&) { return ++visited > stop; }));
        ASSERT_EQ(visited, stop + 1) << model.Name;
      }
      for (int sample = 0; sample < 10 && !expected.empty(); ++sample) {
        const int64_t k = 1 + static_cast<int64_t>(rng() % expected.size());
        TVLMRecordID id;
        index.SetRecNo(0, id, k);
        ASSERT_EQ(IDKey(id), expected[static_cast<size_t>(k - 1)]) << model.Name;
        ASSERT_TRUE(table.Go(id));
        ASSERT_EQ(index.GetRecNo(0, id, table.Cursor.RecordBuffer), k) << model.Name;
      }
    }
    CheckRange();
    ASSERT_EQ(checker.Check(), "");
  }

  // Num between two bounds in ByNum, walked both ways.
  void CheckRange() {
    TVLMBTreeRecordIndex& index = table.Index("ByNum");
    const int64_t low = static_cast<int64_t>(rng() % 101) - 50;
    const int64_t high = low + static_cast<int64_t>(rng() % 30);
    TVLMScanSearchCondition lower, upper;
    for (auto [c, op, value] : {std::tuple{&lower, kVLMScanGreaterEqual, low}, {&upper, kVLMScanLessEqual, high}}) {
      c->Operator = op;
      c->KeyBuffer = table.Cursor.AllocKeyBuffer();
      table.Cursor.InitKeyBuffer(c->KeyBuffer);
      table.Cursor.SetInt(kNum, value, c->KeyBuffer);
      c->KeyBufferSize = table.Cursor.KeyBufferSize;
      c->KeyFieldCount = 1;
      c->IndexID = table.Cursor.IndexID;
    }
    std::vector<uint64_t> expected;
    for (uint64_t id : Order(&kIndexes[0]))
      if (rows.at(id).Num && *rows.at(id).Num >= low && *rows.at(id).Num <= high) expected.push_back(id);
    for (bool forward : {true, false}) {
      std::vector<uint64_t> walked;
      TVLMIndexWalk* walk = index.CreateWalk();
      TVLMRecordID id;
      for (bool first = true; index.FindNextInRange(0, first, walk, id, table.Cursor.RecordBuffer,
                                                    forward ? &upper : &lower, forward ? &lower : &upper, forward);
           first = false)
        walked.insert(forward ? walked.end() : walked.begin(), IDKey(id));
      index.FreeWalk(walk);
      ASSERT_EQ(walked, expected) << low << ".." << high << (forward ? " forward" : " backward");
    }
  }

  DiskTable table{512,
                  {{"ID", dtInteger}, {"Name", dtString, 40}, {"Num", dtInteger}},
                  {{"ByNum", "Num"},
                   {"ByName", "Name"},
                   {"ByNumDescName", "Num;Name", false, false, "Num", "Name"}}};
  std::map<uint64_t, Row> rows;
  std::mt19937 rng{20240523};
};

TEST_F(RecordIndexModel, RandomChangesAgreeWithTheModel) {
  int64_t nextID = 0;
  qv::test::TestBudget budget(20);
  uint64_t i = 0;
  for (; budget.Continue(i); ++i) {
    const uint32_t dice = rng() % 100;
    if (rows.empty() || (rows.size() < 600 && dice < 50)) {
      const Row row{DrawName(rng), DrawNum(rng)};
      rows[IDKey(table.Insert({std::to_string(++nextID), row.Name, AsText(row.Num)}))] = row;
    } else {
      auto it = std::next(rows.begin(), static_cast<std::ptrdiff_t>(rng() % rows.size()));
      if (dice < 75) {
        ASSERT_TRUE(table.Go(FromKey(it->first)));
        table.Cursor.Edit();
        if (rng() % 2 == 0) it->second.Name = DrawName(rng);
        if (rng() % 2 == 0) it->second.Num = DrawNum(rng);
        table.Cursor.SetText(kName, it->second.Name);
        table.Cursor.SetInt(kNum, it->second.Num);
        table.Cursor.Post(false);
      } else {
        table.Delete(FromKey(it->first));
        rows.erase(it);
      }
    }
    if (i % 1000 == 999) {
      ASSERT_NO_FATAL_FAILURE(Check());
    }
  }
  Check();
  EXPECT_GT(i, 1000u);
  RecordProperty("Operations", static_cast<int>(i));
}

}  // namespace
}  // namespace storage_test
