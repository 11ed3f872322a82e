// Navigation, record numbers, locate and key search of the table data,
// against a model of the table in every order and restriction a cursor can
// have, on every engine's table data: the reference engine, the disk
// engine's record manager and B-tree index, and the memory and temporary
// engines (a temporary table takes no updates or deletes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

using schema_test::RaisedCode;

enum { kID, kCall, kMode, kPoints };

struct Row {
  int64_t ID;
  std::string Call;
  std::string Mode;
  std::optional<int64_t> Points;
};

std::optional<std::string> PointsText(const std::optional<int64_t>& p) {
  return p ? std::optional<std::string>(std::to_string(*p)) : std::nullopt;
}

class TableData : public ::testing::TestWithParam<EngineKind> {
protected:
  void SetUp() override {
    db.ConnectSession(&session);
    log.Create({{"ID", dtAutoinc}, {"Call", dtString, 10}, {"Mode", dtString, 6}, {"Points", dtInteger}},
               {{"ByCall", "Call"},
                {"ByModeDesc", "Mode;Call", false, false, "Mode"},
                {"ByPoints", "Points"},
                {"ByID", "ID", true, true}});
  }
  void Fill() {
    const Row rows[] = {{1, "W1AW", "CW", 3},     {2, "K1ABC", "SSB", 1},  {3, "N0XYZ", "CW", std::nullopt},
                        {4, "DL1AA", "FT8", 5},   {5, "K1ABC", "CW", 4},   {6, "VE3XX", "SSB", 2},
                        {7, "G4ABC", "RTTY", 7},  {8, "JA1ZZ", "FT8", 3},  {9, "AA1A", "CW", std::nullopt},
                        {10, "W1AW", "SSB", 6},   {11, "ZL2QQ", "CW", 2},  {12, "EA5XX", "FT8", 4}};
    for (const Row& r : rows) {
      log.Append({std::nullopt, r.Call, r.Mode, PointsText(r.Points)});
      model.push_back(r);
    }
  }

  bool AppendOnly() const { return GetParam() == EngineKind::Temporary; }

  schema_test::TestSession session;
  std::unique_ptr<TVLMDatabaseData> database = NewDatabase(GetParam());
  TVLMDatabaseData& db = *database;
  TableCursor log{db, session, "Log"};
  std::vector<Row> model;
};

INSTANTIATE_TEST_SUITE_P(Engines, TableData,
                         ::testing::Values(EngineKind::Reference, EngineKind::Disk, EngineKind::Memory,
                                           EngineKind::Temporary),
                         [](const ::testing::TestParamInfo<EngineKind>& info) { return EngineKindName(info.param); });

// ------------------------------------------------------------------ model

enum class Restriction { None, Filter, Callback, Range, OnePerKey };

struct View {
  const char* Index;
  Restriction Limit;
};

// The order of two rows' keys in an index ("": none).
int CompareKeys(const char* index, const Row& a, const Row& b) {
  auto cmp = [](const std::string& x, const std::string& y) { return qv::CompareText1252(x, y, false); };
  int c = 0;
  if (std::strcmp(index, "ByCall") == 0) c = cmp(a.Call, b.Call);
  if (std::strcmp(index, "ByModeDesc") == 0) {
    c = -cmp(a.Mode, b.Mode);
    if (c == 0) c = cmp(a.Call, b.Call);
  }
  if (std::strcmp(index, "ByPoints") == 0) c = a.Points == b.Points ? 0 : (a.Points < b.Points ? -1 : 1);
  if (std::strcmp(index, "ByID") == 0) c = a.ID == b.ID ? 0 : (a.ID < b.ID ? -1 : 1);
  return c;
}

bool Before(const char* index, const Row& a, const Row& b) {
  const int c = CompareKeys(index, a, b);
  return c != 0 ? c < 0 : a.ID < b.ID;
}

bool Passes(Restriction limit, const Row& r) {
  switch (limit) {
    case Restriction::Filter: return r.Points && *r.Points > 2;
    case Restriction::Callback: return r.Mode != "CW";
    case Restriction::Range: return r.Points && *r.Points > 2 && *r.Points <= 5;
    default: return true;
  }
}

// What the view shows, in order: IDs, or modes for one record per mode.
std::vector<std::string> Expected(const std::vector<Row>& model, const View& view) {
  std::vector<Row> rows;
  for (const Row& r : model)
    if (Passes(view.Limit, r)) rows.push_back(r);
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) { return Before(view.Index, a, b); });
  std::vector<std::string> labels;
  for (const Row& r : rows) {
    const std::string label = view.Limit == Restriction::OnePerKey ? r.Mode : std::to_string(r.ID);
    if (labels.empty() || labels.back() != label) labels.push_back(label);
  }
  return labels;
}

std::string Label(TableCursor& cursor, const View& view) {
  return view.Limit == Restriction::OnePerKey ? cursor.Text(kMode).value_or("?")
                                               : std::to_string(cursor.Int(kID).value_or(-1));
}

// The cursor set up for the view; the restriction goes with the object.
class ViewSetup {
public:
  ViewSetup(TableCursor& cursor, const View& view) : Cursor_(cursor) {
    cursor.UseIndex(view.Index);
    switch (view.Limit) {
      case Restriction::Filter:
        Filter_ = std::make_unique<TVLMExpression>(
            expr_test::Cmp(kVLMOpGreater, expr_test::Field(&cursor, "Points"), expr_test::Int(2)));
        cursor.SetFilterExpression(Filter_.get());
        break;
      case Restriction::Callback:
        cursor.FilterCallback = [](TVLMCursor& c, uint8_t* buffer) {
          // The buffer carries the record's own bookmark.
          std::vector<uint8_t> stored(static_cast<size_t>(c.RecordBufferSize));
          EXPECT_TRUE(static_cast<TableCursor&>(c).Table().ReadIndexedRecord(
                          c.Session->SessionID, VLMGetRecordID(buffer + c.BookmarkOffset), stored.data()) &&
                      std::memcmp(stored.data(), buffer, static_cast<size_t>(c.RecordDataSize)) == 0);
          char mode[8] = {};
          c.GetFieldData(kMode, buffer, mode);
          return std::string(mode) != "CW";
        };
        break;
      case Restriction::Range:
        Low_ = cursor.AllocKeyBuffer();
        High_ = cursor.AllocKeyBuffer();
        cursor.InitKeyBuffer(Low_);
        cursor.InitKeyBuffer(High_);
        cursor.SetInt(kPoints, 2, Low_);
        cursor.SetInt(kPoints, 5, High_);
        cursor.SetRange(Low_, High_, 1, 1, true, false);
        break;
      case Restriction::OnePerKey:
        cursor.IndexFieldCount = 1;
        break;
      case Restriction::None:
        break;
    }
  }
  ~ViewSetup() {
    Cursor_.LiftRestrictions(Low_, High_);
  }

private:
  TableCursor& Cursor_;
  std::unique_ptr<TVLMExpression> Filter_;
  uint8_t* Low_ = nullptr;
  uint8_t* High_ = nullptr;
};

std::string Describe(const View& v) { return std::string(v.Index) + "/" + std::to_string(int(v.Limit)); }

TEST_P(TableData, EveryOrderAndRestrictionShowsWhatTheModelShows) {
  const View views[] = {
      {"", Restriction::None},          {"", Restriction::Filter},           {"", Restriction::Callback},
      {"ByCall", Restriction::None},    {"ByCall", Restriction::Filter},     {"ByModeDesc", Restriction::Callback},
      {"ByModeDesc", Restriction::OnePerKey}, {"ByPoints", Restriction::None}, {"ByPoints", Restriction::Range},
      {"ByPoints", Restriction::Filter},
  };
  Fill();
  for (int phase = 0; phase < (AppendOnly() ? 1 : 2); ++phase) {
    if (phase == 1) {
      // Deletes and an update outdate every record bitmap.
      for (const char* call : {"N0XYZ", "DL1AA"}) {
        ASSERT_TRUE(log.Locate("Call", qv::HostVariant(call), false, false));
        log.DeleteRecord();
      }
      ASSERT_TRUE(log.Locate("Call", qv::HostVariant("G4ABC"), false, false));
      log.Edit();
      log.SetInt(kPoints, 1);
      log.SetText(kMode, "CW");
      log.Post(false);
      model.erase(model.begin() + 3);
      model.erase(model.begin() + 2);
      model[4].Points = 1;
      model[4].Mode = "CW";
    }
    for (const View& view : views) {
      ViewSetup setup(log, view);
      const std::vector<std::string> expected = Expected(model, view);
      const auto n = static_cast<int64_t>(expected.size());
      std::vector<std::string> forward, backward;
      log.SetToBegin();
      EXPECT_EQ(log.GetRecNo(), -1);
      uint8_t result;
      while ((result = log.GetRecord(1)) == kVLMNavOK) forward.push_back(Label(log, view));
      EXPECT_EQ(result, kVLMNavEOF);
      log.SetToEnd();
      while ((result = log.GetRecord(2)) == kVLMNavOK) backward.insert(backward.begin(), Label(log, view));
      EXPECT_EQ(result, kVLMNavBOF);
      EXPECT_EQ(forward, expected) << Describe(view) << " phase " << phase;
      EXPECT_EQ(backward, expected) << Describe(view) << " phase " << phase;
      EXPECT_EQ(log.GetRecordCount(), n) << Describe(view);
      for (int64_t k = 1; k <= n; ++k) {
        log.SetRecNo(k);
        EXPECT_EQ(Label(log, view), expected[static_cast<size_t>(k - 1)]) << Describe(view) << " #" << k;
        EXPECT_EQ(log.GetRecNo(), k) << Describe(view);
      }
      // Beyond the ends: the last and the first record.
      log.SetRecNo(n + 5);
      EXPECT_EQ(Label(log, view), expected.back()) << Describe(view);
      log.SetRecNo(0);
      EXPECT_EQ(Label(log, view), expected.front()) << Describe(view);
      EXPECT_EQ(CheckIndexOrder(log.Table(), session.SessionID), "");
      if (auto* reference = dynamic_cast<RefTableData*>(&log.Table())) {
        EXPECT_EQ(reference->CheckIndexes(), "");
      }
    }
  }
}

// Long walks in every order against the model, with the table changed by a
// second cursor between the steps: a walk that goes on reads ahead (pages
// in runs, index entries with their records) and what it read must never
// outlive a change. Most rounds are short; one in eight runs on for up to
// the whole table, so that a walk meets the edges of reads ahead of every
// size, those of a pass over the table among them.
TEST_P(TableData, LongWalksSeeEveryChangeMadeBetweenTheirSteps) {
  struct Walked {
    Row Values;
    TVLMRecordID Rid;
  };
  std::mt19937 random(17);
  TableCursor other(db, session, "Log");
  other.Open();
  std::vector<Walked> rows;
  int64_t nextID = 1;
  auto add = [&] {
    const Row r{nextID++, "C" + std::to_string(random() % 700), random() % 2 ? "CW" : "SSB",
                random() % 9 == 0 ? std::nullopt : std::optional<int64_t>(random() % 50)};
    other.Append({std::nullopt, r.Call, r.Mode, PointsText(r.Points)});
    ASSERT_TRUE(other.Locate("ID", qv::HostVariant(static_cast<int32_t>(r.ID)), false, false));
    rows.push_back({r, other.Position.RecordID});
  };
  for (int i = 0; i < 2000; ++i) add();
  auto order = [&](const char* index) {
    std::vector<Walked> sorted = rows;
    // Keys in index order, equal keys (and natural order) by record ID.
    std::sort(sorted.begin(), sorted.end(), [&](const Walked& a, const Walked& b) {
      if (const int c = CompareKeys(index, a.Values, b.Values); c != 0) return c < 0;
      const auto pa = static_cast<int32_t>(a.Rid.Page), pb = static_cast<int32_t>(b.Rid.Page);
      return pa != pb ? pa < pb : a.Rid.Row < b.Rid.Row;
    });
    std::vector<int64_t> ids;
    for (const Walked& w : sorted) ids.push_back(w.Values.ID);
    return ids;
  };
  // ByID walks records in page order for the most part.
  for (const char* index : {"", "ByCall", "ByModeDesc", "ByPoints", "ByID"}) {
    log.UseIndex(index);
    std::vector<int64_t> expected = order(index);
    int64_t at = -1;  // the walker's place in expected; -1 before the first
    log.SetToBegin();
    const auto budget = qv::test::TestBudget::Steps(60, 5);
    for (uint64_t round = 0; budget.Continue(round); ++round) {
      // From an end the walk starts toward the other.
      const bool forward =
          at < 0 || (at < static_cast<int64_t>(expected.size()) && random() % 4 != 0);
      for (uint32_t n = 1 + random() % (random() % 8 == 0 ? 2000 : 150); n > 0; --n) {
        const uint8_t result = log.GetRecord(forward ? 1 : 2);
        const int64_t next = forward ? at + 1 : at - 1;
        if (next < 0 || next >= static_cast<int64_t>(expected.size())) {
          ASSERT_EQ(result, forward ? kVLMNavEOF : kVLMNavBOF) << index << " round " << round;
          at = forward ? static_cast<int64_t>(expected.size()) : -1;
          break;
        }
        ASSERT_EQ(result, kVLMNavOK) << index << " round " << round;
        ASSERT_EQ(log.Int(kID), expected[static_cast<size_t>(next)]) << index << " round " << round;
        at = next;
      }
      if (at < 0 || at >= static_cast<int64_t>(expected.size())) {
        // Off an end: a new walk from the other end.
        forward ? log.SetToBegin() : log.SetToEnd();
        if (random() % 2) add();
        expected = order(index);
        at = forward ? -1 : static_cast<int64_t>(expected.size());
        continue;
      }
      const int64_t walker = expected[static_cast<size_t>(at)];
      if (AppendOnly()) {
        add();
        expected = order(index);
        at = std::find(expected.begin(), expected.end(), walker) - expected.begin();
        continue;
      }
      // A change beside the walker (never its own record): another record's
      // key, a record gone, a record added.
      auto& victim = rows[random() % rows.size()];
      if (victim.Values.ID != walker) {
        ASSERT_TRUE(other.Locate("ID", qv::HostVariant(static_cast<int32_t>(victim.Values.ID)), false, false));
        if (random() % 2) {
          victim.Values.Points = random() % 50;
          victim.Values.Call = "C" + std::to_string(random() % 700);
          other.Edit();
          other.SetInt(kPoints, victim.Values.Points);
          other.SetText(kCall, victim.Values.Call);
          other.Post(false);
        } else {
          other.DeleteRecord();
          rows.erase(rows.begin() + (&victim - rows.data()));
        }
      }
      add();
      expected = order(index);
      at = std::find(expected.begin(), expected.end(), walker) - expected.begin();
    }
  }
}

// ------------------------------------------------------------------ edges

TEST_P(TableData, AnEmptyTableAnswersEndOfTableInEveryMode) {
  TVLMExpression filter(expr_test::Cmp(kVLMOpGreater, expr_test::Field(&log, "Points"), expr_test::Int(2)));
  for (const char* index : {"", "ByCall"})
    for (bool filtered : {false, true})
      for (uint8_t mode : {0, 1, 2})
        for (bool atEnd : {false, true}) {
          log.UseIndex(index);
          log.SetFilterExpression(filtered ? &filter : nullptr);
          atEnd ? log.SetToEnd() : log.SetToBegin();
          EXPECT_EQ(log.GetRecord(mode), kVLMNavEOF) << index << filtered << int(mode) << atEnd;
        }
  log.SetFilterExpression(nullptr);
  EXPECT_EQ(log.GetRecordCount(), 0);
  log.SetToBegin();
  EXPECT_EQ(log.GetRecNo(), -1);
  log.SetRecNo(3);
  EXPECT_NE(log.Position.Bof, 0);
}

TEST_P(TableData, ARestrictedCursorStaysWhereNothingFollows) {
  Fill();
  TVLMExpression filter(expr_test::Cmp(kVLMOpGreater, expr_test::Field(&log, "Points"), expr_test::Int(2)));
  log.UseIndex("ByCall");
  log.SetFilterExpression(&filter);
  // The last and the first match by call: W1AW (#1) and DL1AA.
  log.SetToEnd();
  ASSERT_EQ(log.GetRecord(2), kVLMNavOK);
  ASSERT_EQ(log.Text(kCall), "W1AW");
  const TVLMCursorPosition last = log.Position;
  EXPECT_EQ(log.GetRecord(1), kVLMNavEOF);
  EXPECT_EQ(log.Position.RecordID, last.RecordID);
  EXPECT_EQ(log.Position.Eof, 0);
  EXPECT_EQ(log.Text(kCall), "W1AW");
  log.SetToBegin();
  ASSERT_EQ(log.GetRecord(1), kVLMNavOK);
  EXPECT_EQ(log.Text(kCall), "DL1AA");
  EXPECT_EQ(log.GetRecord(2), kVLMNavBOF);
  EXPECT_EQ(log.Text(kCall), "DL1AA");
  // Next past the end and prior before the start find nothing.
  log.SetToEnd();
  EXPECT_EQ(log.GetRecord(1), kVLMNavEOF);
  log.SetToBegin();
  EXPECT_EQ(log.GetRecord(2), kVLMNavBOF);

  // The current record no longer passes: mode 0 answers 3.
  log.SetFilterExpression(nullptr);
  ASSERT_TRUE(log.Locate("Call", qv::HostVariant("K1ABC"), false, false));
  ASSERT_EQ(log.Int(kPoints), 1);
  log.SetFilterExpression(&filter);
  EXPECT_EQ(log.GetRecord(0), kVLMNavError);

  // A locate leaves the filter bound to its freed scan buffer; the next
  // filtered step reads the cursor's record.
  ASSERT_TRUE(log.Locate("Mode", qv::HostVariant("RTTY"), false, false));
  EXPECT_EQ(log.Text(kCall), "G4ABC");
  ASSERT_EQ(log.GetRecord(1), kVLMNavOK);
  EXPECT_EQ(log.Text(kCall), "JA1ZZ");
  EXPECT_EQ(log.GetRecord(0), kVLMNavOK);
  // Nothing found: the cursor stays.
  EXPECT_FALSE(log.Locate("Call", qv::HostVariant("VE3XX"), false, false));
  EXPECT_EQ(log.Text(kCall), "JA1ZZ");
  // The record bitmap of the walk in index order does not follow the cursor
  // into natural order.
  log.UseIndex("");
  log.SetToBegin();
  ASSERT_EQ(log.GetRecord(1), kVLMNavOK);
  EXPECT_EQ(log.Int(kID), 1);
  log.SetFilterExpression(nullptr);
}

TEST_P(TableData, KeySearchesAndTableOperationsCheckTheirPreconditions) {
  Fill();
  uint8_t* key = log.AllocKeyBuffer();
  auto release = qv::ScopeExit([&] { VLMMemoryManager().FreeMem(key); });
  log.InitKeyBuffer(key);
  log.SetText(kCall, "K", key);
  log.SearchKeyBuffer = key;
  log.SearchKeyFieldCount = 1;
  EXPECT_EQ(RaisedCode([&] { log.GotoKey(kVLMScanGreaterEqual); }), 20258);
  log.UseIndex("ByCall");
  log.SearchKeyBuffer = nullptr;
  EXPECT_EQ(RaisedCode([&] { log.GotoKey(kVLMScanEqual); }), 10660);
  log.SearchKeyBuffer = key;
  struct Key {
    uint8_t Mode;
    const char* Call;
    const char* Found;
  };
  const Key keys[] = {{kVLMScanGreaterEqual, "K", "K1ABC"}, {kVLMScanEqual, "VE3XX", "VE3XX"},
                      {kVLMScanGreater, "W1AW", "ZL2QQ"},   {kVLMScanLess, "AA1A", nullptr},
                      {kVLMScanEqual, "K2", nullptr}};
  for (const Key& k : keys) {
    log.SetText(kCall, k.Call, key);
    ASSERT_TRUE(log.Locate("Call", qv::HostVariant("G4ABC"), false, false));
    EXPECT_EQ(log.GotoKey(k.Mode), k.Found != nullptr) << k.Call;
    EXPECT_EQ(log.Text(kCall), k.Found != nullptr ? k.Found : "G4ABC") << k.Call;
  }

  TableCursor other(db, session, "Log");
  other.Open();
  EXPECT_EQ(RaisedCode([&] { log.DeleteTable(); }), 20017);
  EXPECT_EQ(RaisedCode([&] { log.Table().RenameTable("Log2", nullptr); }), 10150);
  log.Table().DeleteTable(&log, true);
  other.Close();
  log.Close();
  log.Table().RenameTable("Log2", nullptr);
  EXPECT_EQ(log.Table().TableName, "Log2");
  RefDatabaseData reference;
  RefTableData empty(&reference);
  EXPECT_EQ(RaisedCode([&] { empty.GetRecordBufferSize(); }), 10131);
}

// A damaged table (its index lost its entries): an update that meets the
// damage fails with an engine error and leaves the cursor's own buffers in
// place; a cursor whose record buffer a stray write damaged is still
// destroyed without raising, its failure kept for the test.
TEST(DamagedTable, FailedWritesKeepTheCursorWholeAndItsDestructorNeverRaises) {
  schema_test::TestSession session;
  RefDatabaseData db;
  db.ConnectSession(&session);
  auto log = std::make_unique<TableCursor>(db, session, "Log");
  log->Create({{"ID", dtInteger}, {"Call", dtString, 10}}, {{"ByCall", "Call"}});
  log->Append({"1", "W1AW"});
  log->Append({"2", "K1ABC"});
  for (auto& [root, entries] : log->Ref().IndexStore) entries.clear();
  uint8_t* const ownOld = log->OldRecordBuffer;
  for (const char* call : {"DL1AA", "G4ABC"}) {
    log->Edit();
    log->SetText(kCall, call);
    EXPECT_EQ(RaisedCode([&] { log->Post(false); }), 20250) << call;
    EXPECT_EQ(log->OldRecordBuffer, ownOld) << call;
  }
  EXPECT_EQ(TakeDestructorFailure(), "");
  // A write one byte past the record buffer, into the memory manager's guard.
  log->RecordBuffer[log->RecordBufferSize] ^= 0xFF;
  log.reset();
  EXPECT_EQ(TakeDestructorFailure(), "close of the table cursor: Memory overrun detected - Native error: 30137");
  EXPECT_EQ(TakeDestructorFailure(), "");
}

}  // namespace
}  // namespace tabledata_test
