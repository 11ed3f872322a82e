// The table search against a brute-force model: 2,000 rows with nulls and
// duplicate keys, one- and two-column ascending and descending indexes, and
// random AND-conjunctions as filters, ranges and locates, and the keyed
// probe's seeks. Every answer is compared with a filter of the model in the
// cursor's order, on the reference engine and on the disk, memory and
// temporary engines.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMMemory.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Collation.h"
#include "tests/engine/expressions/ExpressionTestSupport.h"
#include "tests/support/engine/ReferenceEngine.h"
#include "tests/support/TestBudget.h"

namespace tabledata_test {
namespace {

using expr_test::NodePtr;

enum Field { kID, kA, kB, kC, kD, kFieldCount };
const char* const kFieldNames[] = {"ID", "A", "B", "C", "D"};

// ------------------------------------------------------------------ model

struct Row {
  TVLMRecordID Rid;
  std::optional<int64_t> Values[kFieldCount];  // kC holds an index into kTexts
};

const char* const kTexts[] = {"K0", "K1", "K10", "K11", "K12", "K13", "K14", "K15", "K16", "K17",
                              "K18", "K19", "K2", "K3", "K4", "K5", "K6", "K7", "K8", "K9", "K", "L"};
constexpr int kRowTexts = 20;  // rows use the first 20; "K" and "L" only as search values

// Field values compared as the index and the comparisons order them: null
// first, texts by the engine's collation.
int CompareValues(int field, const std::optional<int64_t>& a, const std::optional<int64_t>& b) {
  if (!a || !b) return !a && !b ? 0 : !a ? -1 : 1;
  if (field == kC) return qv::CompareText1252(kTexts[*a], kTexts[*b], false);
  return *a < *b ? -1 : *a > *b ? 1 : 0;
}

struct IndexModel {
  const char* Name;  // "" for natural order
  std::vector<std::pair<int, bool>> Columns;  // field, descending
};

const IndexModel kIndexes[] = {
    {"", {}},
    {"ByA", {{kA, false}}},
    {"ByBDesc", {{kB, true}}},
    {"ByAB", {{kA, false}, {kB, true}}},
    {"ByCA", {{kC, true}, {kA, false}}},
    {"PK", {{kID, false}}},
};

// A row's key against key values over their count, in index order.
int CompareKey(const IndexModel& index, const Row& row, const std::vector<std::optional<int64_t>>& key) {
  for (size_t c = 0; c < key.size(); ++c) {
    const auto [field, descending] = index.Columns[c];
    int r = CompareValues(field, row.Values[field], key[c]);
    if (descending) r = -r;
    if (r != 0) return r;
  }
  return 0;
}

// Two rows in index order, before the record IDs decide.
int CompareRows(const IndexModel& index, const Row& a, const Row& b) {
  std::vector<std::optional<int64_t>> key;
  for (const auto& column : index.Columns) key.push_back(b.Values[column.first]);
  return CompareKey(index, a, key);
}

// One conjunct: field op constant, IS NULL or IS NOT NULL.
struct Conjunct {
  int Field;
  uint8_t Op;
  std::optional<int64_t> Constant;
  bool NullStrict;
};

bool Holds(const Conjunct& c, const Row& row) {
  const std::optional<int64_t>& v = row.Values[c.Field];
  if (c.Op == kVLMOpIsNull) return !v;
  if (c.Op == kVLMOpIsNotNull) return v.has_value();
  if (c.NullStrict && (!v || !c.Constant)) return false;
  const int r = CompareValues(c.Field, v, c.Constant);
  switch (c.Op) {
    case kVLMOpEqual: return r == 0;
    case kVLMOpLess: return r < 0;
    case kVLMOpGreater: return r > 0;
    case kVLMOpLessEqual: return r <= 0;
    default: return r >= 0;
  }
}

NodePtr Build(const Conjunct& c, TVLMCursor* cursor) {
  NodePtr field = expr_test::Field(cursor, kFieldNames[c.Field]);
  if (c.Op == kVLMOpIsNull || c.Op == kVLMOpIsNotNull) return expr_test::Bool(c.Op, std::move(field));
  NodePtr constant =
      c.Field == kC ? expr_test::Text(c.Constant ? std::optional<std::string>(kTexts[*c.Constant]) : std::nullopt)
                    : expr_test::Int(c.Constant ? std::optional<int32_t>(static_cast<int32_t>(*c.Constant))
                                                : std::nullopt);
  return expr_test::Cmp(c.Op, std::move(field), std::move(constant), c.NullStrict);
}

std::unique_ptr<TVLMExpression> BuildAnd(const std::vector<Conjunct>& conjuncts, TVLMCursor* cursor) {
  if (conjuncts.size() == 1) return std::make_unique<TVLMExpression>(Build(conjuncts[0], cursor));
  NodePtr third = conjuncts.size() > 2 ? Build(conjuncts[2], cursor) : nullptr;
  return std::make_unique<TVLMExpression>(expr_test::Bool(kVLMOpAnd, Build(conjuncts[0], cursor),
                                                          Build(conjuncts[1], cursor), std::move(third)));
}

std::string Describe(const std::vector<Conjunct>& conjuncts) {
  std::string text;
  for (const Conjunct& c : conjuncts) {
    const std::string value = !c.Constant ? "NULL" : c.Field == kC ? kTexts[*c.Constant] : std::to_string(*c.Constant);
    text += std::string(text.empty() ? "" : " AND ") + kFieldNames[c.Field] + " " + VLMOperatorName(c.Op) +
            (c.Op == kVLMOpIsNull || c.Op == kVLMOpIsNotNull ? "" : " " + value) + (c.NullStrict ? "" : "(n)");
  }
  return text;
}

// Where two sequences part: "" when they are equal.
std::string Difference(const std::vector<int64_t>& got, const std::vector<int64_t>& expected) {
  size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  if (i == got.size() && i == expected.size()) return "";
  auto at = [&](const std::vector<int64_t>& v) { return i < v.size() ? std::to_string(v[i]) : "end"; };
  return "sizes " + std::to_string(got.size()) + "/" + std::to_string(expected.size()) + ", first difference at " +
         std::to_string(i) + ": " + at(got) + " instead of " + at(expected);
}

// ---------------------------------------------------------------- fixture

class TableSearchProperty : public ::testing::TestWithParam<EngineKind> {
protected:
  void SetUp() override {
    db.ConnectSession(&session);
    table.Create({{"ID", dtAutoinc}, {"A", dtInteger}, {"B", dtInteger}, {"C", dtString, 8}, {"D", dtInteger}},
                 {{"ByA", "A"},
                  {"ByBDesc", "B", false, false, "B"},
                  {"ByAB", "A;B", false, false, "B"},
                  {"ByCA", "C;A", false, false, "C"},
                  {"PK", "ID", true}});
    for (int i = 0; i < 2000; ++i) AddRow(std::nullopt);
  }

  // A row of random values (A fixed when given) in the table and the model.
  void AddRow(std::optional<int64_t> a) {
    Row row;
    row.Values[kID] = static_cast<int64_t>(rows.size()) + 1;
    if (Pick(10) != 0) row.Values[kA] = a ? *a : Pick(30);
    if (Pick(10) != 0) row.Values[kB] = Pick(10);
    if (Pick(10) != 0) row.Values[kC] = Pick(kRowTexts);
    if (Pick(20) != 0) row.Values[kD] = Pick(100);
    table.PrepareInsert();
    table.SetInt(kA, row.Values[kA]);
    table.SetInt(kB, row.Values[kB]);
    table.SetText(kC, row.Values[kC] ? std::optional<std::string>(kTexts[*row.Values[kC]]) : std::nullopt);
    table.SetInt(kD, row.Values[kD]);
    table.Post(true);
    row.Rid = table.Position.RecordID;
    byRid[Key(row.Rid)] = rows.size();
    rows.push_back(row);
  }

  int Pick(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); }
  static uint64_t Key(const TVLMRecordID& id) { return (uint64_t{id.Page} << 16) | id.Row; }

  Conjunct RandomConjunct(bool nullStrict) {
    static const int fields[] = {kA, kA, kB, kB, kC, kC, kD, kID};
    static const uint8_t ops[] = {kVLMOpEqual, kVLMOpEqual, kVLMOpLess, kVLMOpGreater, kVLMOpLessEqual,
                                  kVLMOpGreaterEqual, kVLMOpIsNull, kVLMOpIsNotNull};
    Conjunct c{fields[Pick(8)], ops[Pick(8)], std::nullopt, nullStrict};
    if (Pick(20) != 0) {
      switch (c.Field) {
        case kA: c.Constant = Pick(32) - 1; break;
        case kB: c.Constant = Pick(12) - 1; break;
        case kC: c.Constant = Pick(22); break;
        case kD: c.Constant = Pick(100); break;
        default: c.Constant = Pick(2002); break;
      }
    }
    return c;
  }
  std::vector<Conjunct> RandomConjunction(bool nullStrict) {
    std::vector<Conjunct> conjuncts(static_cast<size_t>(1 + Pick(3)));
    for (Conjunct& c : conjuncts) c = RandomConjunct(nullStrict);
    return conjuncts;
  }
  std::optional<int64_t> RandomKeyValue(int field) {
    if (Pick(8) == 0) return std::nullopt;
    return field == kC ? Pick(kRowTexts) : field == kB ? Pick(11) : field == kID ? Pick(2001) : Pick(31);
  }

  // The rows that pass view, in its order.
  struct View {
    const IndexModel* Index;
    std::vector<Conjunct> Filter;
    std::vector<std::optional<int64_t>> Low, High;
    bool LowExclusive = false, HighExclusive = false;
  };
  bool Passes(const View& view, const Row& row) const {
    for (const Conjunct& c : view.Filter)
      if (!Holds(c, row)) return false;
    if (!view.Low.empty()) {
      const int r = CompareKey(*view.Index, row, view.Low);
      if (view.LowExclusive ? r <= 0 : r < 0) return false;
    }
    if (!view.High.empty()) {
      const int r = CompareKey(*view.Index, row, view.High);
      if (view.HighExclusive ? r >= 0 : r > 0) return false;
    }
    return true;
  }
  std::vector<size_t> Ordered(const IndexModel& index) const {
    std::vector<size_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    // Equal keys in record-ID order, the engine's natural order.
    TVLMBaseRecordManager& records = *table.Table().RecordManager;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      const int r = CompareRows(index, rows[a], rows[b]);
      return r != 0 ? r < 0 : records.CompareRecordIDs(rows[a].Rid, rows[b].Rid) < 0;
    });
    return order;
  }
  // The first row of order (in the direction) after row from that passes
  // view and extra; -1 when none. from -1: from the start.
  int64_t FirstMatch(const std::vector<size_t>& order, const View& view, const std::vector<Conjunct>& extra,
                     bool forward, int64_t from) const {
    std::vector<size_t> walk = order;
    if (!forward) std::reverse(walk.begin(), walk.end());
    bool started = from < 0;
    for (size_t i : walk) {
      if (!started) {
        started = static_cast<int64_t>(i) == from;
        continue;
      }
      bool holds = Passes(view, rows[i]);
      for (const Conjunct& c : extra) holds = holds && Holds(c, rows[i]);
      if (holds) return static_cast<int64_t>(i);
    }
    return -1;
  }
  int64_t RowOf(const TVLMRecordID& id) const {
    auto it = byRid.find(Key(id));
    return it == byRid.end() ? -2 : static_cast<int64_t>(it->second);
  }

  std::mt19937 random{20240611};
  schema_test::TestSession session;
  std::unique_ptr<TVLMDatabaseData> database = NewDatabase(GetParam());
  TVLMDatabaseData& db = *database;
  TableCursor table{db, session, "P"};
  std::vector<Row> rows;
  std::map<uint64_t, size_t> byRid;
};

INSTANTIATE_TEST_SUITE_P(Engines, TableSearchProperty,
                         ::testing::Values(EngineKind::Reference, EngineKind::Disk, EngineKind::Memory,
                                           EngineKind::Temporary),
                         [](const ::testing::TestParamInfo<EngineKind>& info) { return EngineKindName(info.param); });

TEST_P(TableSearchProperty, EveryAnswerIsTheBruteForceAnswer) {
  std::vector<std::vector<size_t>> orders;
  for (const IndexModel& index : kIndexes) orders.push_back(Ordered(index));
  const TVLMSearchFigures before = table.Table().GetSearchFigures();
  auto budget = qv::test::TestBudget::Steps(150, 7);
  uint64_t step = 0;
  for (; budget.Continue(step); ++step) {
    const size_t indexNo = static_cast<size_t>(Pick(6));
    View view{&kIndexes[indexNo], {}, {}, {}};
    if (Pick(8) != 0) view.Filter = RandomConjunction(true);
    std::unique_ptr<TVLMExpression> filter = view.Filter.empty() ? nullptr : BuildAnd(view.Filter, &table);
    table.UseIndex(view.Index->Name);
    table.SetFilterExpression(filter.get());
    uint8_t* low = nullptr;
    uint8_t* high = nullptr;
    auto cleanup = qv::ScopeExit([&] {
      table.SetFilterExpression(nullptr);
      table.CancelRange();
      if (low != nullptr) VLMMemoryManager().FreeMem(low);
      if (high != nullptr) VLMMemoryManager().FreeMem(high);
    });
    if (!view.Index->Columns.empty() && Pick(3) == 0) {
      auto key = [&](std::vector<std::optional<int64_t>>& values, uint8_t*& buffer) {
        if (Pick(4) == 0) return;
        buffer = table.AllocKeyBuffer();
        table.InitKeyBuffer(buffer);
        const size_t count = 1 + static_cast<size_t>(Pick(static_cast<int>(view.Index->Columns.size())));
        for (size_t c = 0; c < count; ++c) {
          const int field = view.Index->Columns[c].first;
          values.push_back(RandomKeyValue(field));
          if (field == kC)
            table.SetText(field, values.back() ? std::optional<std::string>(kTexts[*values.back()]) : std::nullopt,
                          buffer);
          else
            table.SetInt(field, values.back(), buffer);
        }
      };
      key(view.Low, low);
      key(view.High, high);
      view.LowExclusive = Pick(2) == 0;
      view.HighExclusive = Pick(2) == 0;
      table.SetRange(low, high, static_cast<int32_t>(view.Low.size()), static_cast<int32_t>(view.High.size()),
                     view.LowExclusive, view.HighExclusive);
    }
    const std::string what = std::string(view.Index->Name) + " / " + Describe(view.Filter) +
                             (low != nullptr || high != nullptr ? " / range" : "");
    const std::vector<size_t>& order = orders[indexNo];
    std::vector<int64_t> expected;
    for (size_t i : order)
      if (Passes(view, rows[i])) expected.push_back(*rows[i].Values[kID]);

    // Next from the start and prior from the end visit exactly the matches.
    std::vector<int64_t> forward, backward;
    table.SetToBegin();
    while (table.GetRecord(1) == kVLMNavOK) forward.push_back(table.Int(kID).value_or(-1));
    table.SetToEnd();
    while (table.GetRecord(2) == kVLMNavOK) backward.push_back(table.Int(kID).value_or(-1));
    std::reverse(backward.begin(), backward.end());
    ASSERT_EQ(Difference(forward, expected), "") << what << " (next)";
    ASSERT_EQ(Difference(backward, expected), "") << what << " (prior)";

    // The bitmap a count fills holds exactly the matches: the steps it
    // answers show them.
    table.ClearRecordBitmap();
    ASSERT_EQ(table.GetRecordCount(), static_cast<int64_t>(expected.size())) << what;
    std::vector<int64_t> counted;
    table.SetToBegin();
    while (table.GetRecord(1) == kVLMNavOK) counted.push_back(table.Int(kID).value_or(-1));
    ASSERT_EQ(Difference(counted, expected), "") << what << " (bitmap)";

    // Steps from a position, answered by the search rather than the bitmap.
    for (int k = 0; k < 4; ++k) {
      const int64_t from = Pick(static_cast<int>(rows.size()));
      const bool next = Pick(2) == 0;
      table.ClearRecordBitmap();
      table.Position = TVLMCursorPosition{0, 0, rows[static_cast<size_t>(from)].Rid};
      const int64_t match = FirstMatch(order, view, {}, next, from);
      const uint8_t result = table.GetRecord(next ? 1 : 2);
      if (match < 0) {
        EXPECT_EQ(result, next ? kVLMNavEOF : kVLMNavBOF) << what << " from row " << from;
        EXPECT_EQ(table.Position.RecordID, rows[static_cast<size_t>(from)].Rid) << what;
      } else {
        EXPECT_EQ(result, kVLMNavOK) << what << " from row " << from;
        EXPECT_EQ(RowOf(table.Position.RecordID), match) << what << " from row " << from << (next ? " next" : " prior");
      }
    }

    // Locates: forward and backward, from the start and from a position.
    for (int k = 0; k < 6; ++k) {
      const std::vector<Conjunct> locate = RandomConjunction(Pick(2) == 0);
      std::unique_ptr<TVLMExpression> condition = BuildAnd(locate, &table);
      const bool forwardSearch = Pick(2) == 0;
      const bool fromStart = Pick(2) == 0;
      const int64_t from = fromStart ? -1 : Pick(static_cast<int>(rows.size()));
      table.Position = fromStart ? TVLMCursorPosition{} : TVLMCursorPosition{0, 0, rows[static_cast<size_t>(from)].Rid};
      TVLMRecordID found;
      const bool hit = table.Table().FindRecord(&table, condition.get(), false, nullptr, &found, forwardSearch,
                                                fromStart, nullptr);
      const int64_t match = FirstMatch(order, view, locate, forwardSearch, from);
      const std::string locateWhat = what + " / locate " + Describe(locate) + (forwardSearch ? " fw" : " bw") +
                                     (fromStart ? " start" : " from " + std::to_string(from));
      ASSERT_EQ(hit, match >= 0) << locateWhat;
      if (hit) {
        ASSERT_EQ(RowOf(found), match) << locateWhat;
      }
    }
  }
  // Every road was taken, when the run reached its usual size: a machine so
  // loaded that the time budget cut it short has checked fewer answers, not
  // wrong ones.
  if (step < 150) return;
  const TVLMSearchFigures figures = table.Table().GetSearchFigures() - before;
  for (TVLMSearchRoad road : {TVLMSearchRoad::ScanNavigationOrder, TVLMSearchRoad::WalkNavigationIndexRange,
                              TVLMSearchRoad::WalkIndexRangeNaturalOrder, TVLMSearchRoad::WalkIndexRangeByBitmap,
                              TVLMSearchRoad::CompleteBitmap, TVLMSearchRoad::NoMatch})
    EXPECT_GT(figures.Road(road), 0) << "road " << static_cast<int>(road) << " after " << step << " steps";
}

// The keyed probe visits the rows of a key in index order, reading each,
// and stops at the first the caller takes; a column leads the first index
// defined on it. Each round probes a few keys of one index, mostly in index
// order, keeping the probe's position from key to key (as a join's seeks
// do): runs of a key that cross leaves, keys beyond the last entry, a step
// back, and rows added between two probes.
TEST_P(TableSearchProperty, KeyedProbeVisitsTheRowsOfTheKey) {
  TVLMTableData& data = table.Table();
  for (const auto& [field, index] : std::vector<std::pair<int, const char*>>{{kA, "ByA"}, {kB, "ByBDesc"},
                                                                             {kC, "ByCA"}, {kID, "PK"}, {kD, ""}}) {
    table.UseIndex(index);
    EXPECT_EQ(data.FindLeadingIndex(&table, kFieldNames[field]), *index != 0 ? table.IndexID : -1) << index;
  }
  uint8_t* key = table.AllocKeyBuffer();
  std::vector<uint8_t> record(
      static_cast<size_t>(std::max(table.RecordBufferSize, data.RecordManager->RecordBufferSize)));
  auto cleanup = qv::ScopeExit([&] { VLMMemoryManager().FreeMem(key); });
  std::unique_ptr<TVLMEngineReadState> kept;
  using Key = std::vector<std::optional<int64_t>>;
  for (int round = 0; round < 40; ++round) {
    const IndexModel& index = kIndexes[1 + static_cast<size_t>(Pick(5))];
    table.UseIndex(index.Name);
    const size_t count = 1 + static_cast<size_t>(Pick(static_cast<int>(index.Columns.size())));
    std::vector<Key> keys(8);
    for (Key& k : keys)
      for (size_t c = 0; c < count; ++c) k.push_back(RandomKeyValue(index.Columns[c].first));
    std::sort(keys.begin(), keys.end(), [&](const Key& x, const Key& y) {
      for (size_t c = 0; c < count; ++c) {
        const auto [field, descending] = index.Columns[c];
        const int r = CompareValues(field, x[c], y[c]);
        if (r != 0) return descending ? r > 0 : r < 0;
      }
      return false;
    });
    if (Pick(4) == 0) std::swap(keys[2], keys[5]);
    std::vector<size_t> order = Ordered(index);
    for (size_t k = 0; k < keys.size(); ++k) {
      const Key& values = keys[k];
      if (k == 4 && Pick(3) == 0) {
        // Rows of one key, enough to split leaves under the kept position.
        const int64_t a = values[0].value_or(7);
        for (int i = 0; i < 60; ++i) AddRow(a);
        order = Ordered(index);
      }
      table.InitKeyBuffer(key);
      for (size_t c = 0; c < count; ++c) {
        const int field = index.Columns[c].first;
        if (field == kC)
          table.SetText(field, values[c] ? std::optional<std::string>(kTexts[*values[c]]) : std::nullopt, key);
        else
          table.SetInt(field, values[c], key);
      }
      std::vector<int64_t> expected, visited;
      for (size_t i : order)
        if (CompareKey(index, rows[i], values) == 0) expected.push_back(*rows[i].Values[kID]);
      // Every row, then a stop at a row of the middle; with the kept
      // position and without, reading the records or not.
      const size_t stop = expected.empty() ? 0 : static_cast<size_t>(Pick(static_cast<int>(expected.size())));
      for (const bool stopping : {false, true}) {
        visited.clear();
        bool taken = false;
        const bool reading = Pick(3) != 0;
        ASSERT_TRUE(data.RunRead(&table, [&] {
          taken = data.ProbeKey(
              &table, table.IndexID, key, static_cast<int32_t>(values.size()), reading ? record.data() : nullptr,
              [&](const TVLMRecordID& id) {
                // The row's ID when the entry names a row (and the record
                // read holds it).
                const int64_t row = RowOf(id);
                int64_t got = -2;
                if (row >= 0) {
                  const int64_t want = rows[static_cast<size_t>(row)].Values[kID].value_or(-1);
                  got = want;
                  if (reading) {
                    uint8_t* saved = table.RecordBuffer;
                    table.RecordBuffer = record.data();
                    if (table.Int(kID).value_or(-1) != want) got = -2;
                    table.RecordBuffer = saved;
                  }
                }
                visited.push_back(got);
                return stopping && visited.size() == stop + 1;
              },
              stopping && Pick(4) == 0 ? nullptr : &kept);
        }));
        const std::vector<int64_t> want(expected.begin(), stopping && !expected.empty()
                                                              ? expected.begin() + static_cast<long>(stop) + 1
                                                              : expected.end());
        ASSERT_EQ(Difference(visited, want), "") << index.Name << " key " << k << (stopping ? " stopping" : "");
        ASSERT_EQ(taken, stopping && !expected.empty()) << index.Name;
      }
    }
  }
}

// A range and a filter conjunct on one descending column that merge into an
// equality (range B 5 .. 1, filter B <= 1): near the end of the range a scan
// from the position is cheaper than the range walk, and that scan must still
// keep to the range's end (a long random run found the row past it).
TEST_P(TableSearchProperty, ARangeMergedIntoAnEqualityEndsWhereTheRangeEnds) {
  for (bool nullStrict : {true, false}) {
    View view{&kIndexes[2], {{kB, kVLMOpLessEqual, 1, nullStrict}, {kA, kVLMOpLessEqual, 17, true}}, {5}, {1}};
    std::unique_ptr<TVLMExpression> filter = BuildAnd(view.Filter, &table);
    table.UseIndex(view.Index->Name);
    table.SetFilterExpression(filter.get());
    uint8_t* low = table.AllocKeyBuffer();
    uint8_t* high = table.AllocKeyBuffer();
    auto cleanup = qv::ScopeExit([&] {
      table.SetFilterExpression(nullptr);
      table.CancelRange();
      VLMMemoryManager().FreeMem(low);
      VLMMemoryManager().FreeMem(high);
    });
    table.InitKeyBuffer(low);
    table.InitKeyBuffer(high);
    table.SetInt(kB, 5, low);
    table.SetInt(kB, 1, high);
    table.SetRange(low, high, 1, 1, false, false);
    std::vector<int64_t> expected, forward, backward;
    for (size_t i : Ordered(*view.Index))
      if (Passes(view, rows[i])) expected.push_back(*rows[i].Values[kID]);
    table.SetToBegin();
    while (table.GetRecord(1) == kVLMNavOK) forward.push_back(table.Int(kID).value_or(-1));
    table.SetToEnd();
    while (table.GetRecord(2) == kVLMNavOK) backward.push_back(table.Int(kID).value_or(-1));
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(Difference(forward, expected), "") << Describe(view.Filter);
    EXPECT_EQ(Difference(backward, expected), "") << Describe(view.Filter);
  }
}

}  // namespace
}  // namespace tabledata_test
