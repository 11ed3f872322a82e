// The dataset base over the engine: field values through the record buffer
// (dates, wide strings, narrow integers, calculated fields), writes on a
// read-only dataset, BLOB streams, record numbers, bookmarks and filters.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "platform/dataset/DataSource.h"
#include "platform/host/CodePage.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"
#include "tests/engine/components/DataSetTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

using dataset_test::AddField;
using dataset_test::Column;
using qv::test::RaisedCode;

class DataSetTest : public dataset_test::MemoryTables {};

// A host date-time of a day and a time of day (before 1899-12-30 the time
// counts away from zero).
double Moment(int32_t y, int32_t m, int32_t d, int32_t h, int32_t n, int32_t s, int32_t ms) {
  const double day = qv::EncodeDate(y, m, d);
  const double time = qv::EncodeTime(h, n, s, ms);
  return day < 0 ? day - time : day + time;
}

TEST_F(DataSetTest, ValuesRoundTripThroughTheRecordBuffer) {
  MakeTable("Kinds", {{"Id", dtInteger}, {"Wide", dtWideString, 5}, {"Day", dtDate}, {"Stamp", dtDateTime}});
  auto ds = DataSetOn("Kinds");
  ds->Open();
  struct WideCase {
    std::u16string Written, Read;
    bool Null;
  };
  const std::array<WideCase, 3> wides = {{{u"ABCDE", u"ABCDE", false}, {u"ABCDEFG", u"ABCDE", false}, {u"", u"", true}}};
  const std::array<double, 5> days = {qv::EncodeDate(1, 1, 1), qv::EncodeDate(1899, 12, 30), qv::EncodeDate(1900, 2, 28),
                                      qv::EncodeDate(2000, 2, 29), qv::EncodeDate(9999, 12, 31)};
  const std::array<double, 4> stamps = {Moment(1, 1, 2, 6, 0, 0, 1), Moment(1066, 10, 14, 9, 30, 0, 0),
                                        Moment(2024, 2, 29, 23, 59, 59, 999), Moment(9999, 12, 31, 23, 59, 59, 999)};
  for (int32_t i = 0; i < 5; ++i) {
    ds->Append();
    ds->FieldByName("Id")->SetAsInteger(i);
    if (i < 3) ds->FieldByName("Wide")->SetAsWideString(wides[static_cast<size_t>(i)].Written);
    ds->FieldByName("Day")->SetAsDateTime(days[static_cast<size_t>(i)]);
    if (i < 4) ds->FieldByName("Stamp")->SetAsDateTime(stamps[static_cast<size_t>(i)]);
    ds->Post();
  }
  ds->Close();
  ds->Open();
  int32_t i = 0;
  for (ds->First(); !ds->Eof(); ds->Next(), ++i) {
    SCOPED_TRACE(i);
    const auto n = static_cast<size_t>(i);
    if (i < 3) {
      EXPECT_EQ(ds->FieldByName("Wide")->AsWideString(), wides[n].Read);
      EXPECT_EQ(ds->FieldByName("Wide")->IsNull(), wides[n].Null);
    }
    EXPECT_EQ(ds->FieldByName("Day")->AsDateTime(), days[n]);
    if (i < 4) {
      EXPECT_EQ(ds->FieldByName("Stamp")->AsDateTime(), stamps[n]);
    }
  }
  EXPECT_EQ(i, 5);
}

TEST_F(DataSetTest, NarrowEngineIntegersFillTheWholeFieldBuffer) {
  // BYTE reads into a 2-byte word field, the 1- and 2-byte autoincrement
  // kinds into a 4-byte one; a given negative value keeps its sign.
  MakeTable("Narrow", {{"Tiny", dtByte}, {"Count8", dtAutoincByte}, {"Count16", dtAutoincSmallInt}});
  auto ds = DataSetOn("Narrow");
  ds->Open();
  ds->Append();
  ds->FieldByName("Tiny")->SetAsInteger(200);
  ds->FieldByName("Count16")->SetAsInteger(-5);
  ds->Post();
  struct Case {
    const char* Field;
    std::vector<uint8_t> Bytes;
  };
  const std::array<Case, 3> cases = {{{"Tiny", {200, 0}},
                                      {"Count8", {1, 0, 0, 0}},
                                      {"Count16", {0xFB, 0xFF, 0xFF, 0xFF}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Field);
    std::array<uint8_t, 8> buffer;
    buffer.fill(0xAA);
    ASSERT_TRUE(ds->FieldByName(c.Field)->GetData(buffer.data()));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(c.Bytes.size())),
              c.Bytes);
  }
  // A value the word field holds but the byte column cannot is refused, not
  // cut to its low byte.
  ds->Edit();
  EXPECT_EQ(qv::test::RaisedCode([&] { ds->FieldByName("Tiny")->SetAsInteger(300); }), 10841);
  ds->Cancel();
}

TEST_F(DataSetTest, CalculatedFieldsLiveInTheBufferAfterTheBookmark) {
  MakeTable("Calc", {{"Call", dtString, 10}});
  auto ds = DataSetOn("Calc");
  AddField(*ds, "Call", qv::ftString, 10);
  AddField(*ds, "Never", qv::ftInteger, 0, qv::fkCalculated);
  AddField(*ds, "Upper", qv::ftString, 10, qv::fkCalculated);
  AddField(*ds, "Wide", qv::ftWideString, 4, qv::fkCalculated);
  ds->OnCalcFields = [](qv::DataSet& d) {
    const std::string call = d.FieldByName("Call")->AsString();
    d.FieldByName("Upper")->SetAsString("<" + call + ">");
    d.FieldByName("Wide")->SetAsWideString(u"\u00c5" + qv::Cp1252ToUtf16(call));
  };
  ds->Open();
  for (const char* call : {"K1ABC", "N3Q"}) {
    ds->Append();
    ds->FieldByName("Call")->SetAsString(call);
    ds->Post();
  }
  EXPECT_EQ(Column(*ds, "Upper"), (std::vector<std::string>{"<K1ABC>", "<N3Q>"}));
  ds->First();
  EXPECT_TRUE(ds->FieldByName("Never")->IsNull());
  EXPECT_EQ(ds->FieldByName("Wide")->AsWideString(), u"\u00c5K1A");
  ds->Last();
  EXPECT_EQ(ds->FieldByName("Wide")->AsWideString(), u"\u00c5N3Q");
}

TEST_F(DataSetTest, AReadOnlyDataSetRefusesEveryWrite) {
  MakeTable("Log", {{"Call", dtString, 10}, {"Notes", dtMemo}});
  {
    auto writer = DataSetOn("Log");
    writer->Open();
    writer->Append();
    writer->FieldByName("Call")->SetAsString("K1ABC");
    writer->FieldByName("Notes")->SetAsString("first");
    writer->Post();
  }
  auto ds = DataSetOn("Log");
  ds->ReadOnly = true;
  ds->Open();
  qv::Field* notes = ds->FieldByName("Notes");
  EXPECT_EQ(RaisedCode([&] { ds->Delete(); }), 10069);
  EXPECT_EQ(RaisedCode([&] { ds->CreateBlobStream(notes, qv::bmWrite); }), 10107);
  EXPECT_EQ(RaisedCode([&] { TVLMBLOBStream stream(notes, qv::bmWrite); }), 10106);
  EXPECT_THROW(ds->Append(), qv::EDatabaseError);
  EXPECT_EQ(ds->RecordCount(), 1);
  EXPECT_EQ(notes->AsString(), "first");
}

TEST_F(DataSetTest, ABlobStreamWriteMarksTheRecordAndTellsTheDataSources) {
  MakeTable("Log", {{"Call", dtString, 10}, {"Notes", dtMemo}});
  auto ds = DataSetOn("Log");
  qv::DataSource source;
  source.SetDataSet(ds.get());
  std::vector<qv::Field*> changed;
  source.OnDataChange = [&](qv::DataSource&, qv::Field* field) {
    if (field != nullptr) changed.push_back(field);
  };
  ds->Open();
  ds->Append();
  ds->FieldByName("Call")->SetAsString("K1ABC");
  ds->Post();
  ds->Edit();
  changed.clear();
  qv::Field* notes = ds->FieldByName("Notes");
  {
    TVLMBLOBStream stream(notes, qv::bmWrite);
    EXPECT_TRUE(stream.IsOpen());
    stream.WriteBuffer("QSL via bureau", 14);
    EXPECT_TRUE(changed.empty());
  }
  EXPECT_EQ(changed, (std::vector<qv::Field*>{notes}));
  EXPECT_TRUE(ds->Modified());
  ds->Post();
  EXPECT_EQ(notes->AsString(), "QSL via bureau");
  // A stream the cursor ends first (the record is cancelled) goes quiet.
  ds->Edit();
  auto open = ds->CreateBlobStream(notes, qv::bmReadWrite);
  ds->Cancel();
  EXPECT_EQ(open->Size(), 0);
  open.reset();
  EXPECT_EQ(notes->AsString(), "QSL via bureau");
}

TEST_F(DataSetTest, RecordNumbersBookmarksAndFilters) {
  MakeTable("Log", {{"Call", dtString, 10}, {"Points", dtInteger}}, {{"ByPoints", "Points"}});
  {
    auto writer = DataSetOn("Log");
    writer->Open();
    const std::array<std::pair<const char*, int32_t>, 5> rows = {
        {{"K1ABC", 3}, {"W2XYZ", 1}, {"N3Q", 5}, {"VE3AA", 2}, {"DL1X", 4}}};
    for (const auto& [call, points] : rows) {
      writer->Append();
      writer->FieldByName("Call")->SetAsString(call);
      writer->FieldByName("Points")->SetAsInteger(points);
      writer->Post();
    }
  }
  auto ds = DataSetOn("Log");
  // Set while closed, the filter applies when the dataset opens.
  ds->SetFilterText("Points > 2");
  ds->SetFiltered(true);
  ds->Open();
  EXPECT_EQ(Column(*ds, "Call"), (std::vector<std::string>{"K1ABC", "N3Q", "DL1X"}));
  EXPECT_EQ(ds->RecordCount(), 3);

  // Record numbers, and none for a record being inserted.
  ds->First();
  ds->Next();
  EXPECT_EQ(ds->RecNo(), 2);
  ds->Append();
  EXPECT_EQ(ds->RecNo(), -1);
  ds->Cancel();

  // Bookmarks: back to the record, and none for a deleted one.
  ds->SetFiltered(false);
  ASSERT_TRUE(ds->Locate("Call", qv::HostVariant("N3Q"), 0));
  const qv::Bookmark mark = ds->GetBookmark();
  ds->First();
  ds->GotoBookmark(mark);
  EXPECT_EQ(ds->FieldByName("Call")->AsString(), "N3Q");
  EXPECT_EQ(ds->CompareBookmarks(nullptr, nullptr), 0);
  EXPECT_TRUE(ds->BookmarkValid(mark));
  ds->Delete();
  EXPECT_FALSE(ds->BookmarkValid(mark));

  // A record event that leaves Accept alone keeps the record; one that
  // refuses hides it; FindFirst applies both while Filtered is off.
  ds->SetFilterText("");
  ds->SetOnFilterRecord([](qv::DataSet&, bool&) {});
  ds->SetFiltered(true);
  EXPECT_EQ(ds->RecordCount(), 4);
  ds->SetOnFilterRecord([](qv::DataSet& d, bool& accept) { accept = d.FieldByName("Points")->AsInteger() % 2 == 0; });
  EXPECT_EQ(Column(*ds, "Call"), (std::vector<std::string>{"VE3AA", "DL1X"}));
  ds->SetFiltered(false);
  ds->SetFilterText("Call = 'DL1X'");
  EXPECT_EQ(ds->RecordCount(), 4);
  EXPECT_TRUE(ds->FindFirst());
  EXPECT_EQ(ds->FieldByName("Call")->AsString(), "DL1X");
}

TEST_F(DataSetTest, LastAutoincReadsTheValueThisSessionDrew) {
  MakeTable("Log", {{"Id", dtAutoinc}, {"Call", dtString, 10}});
  auto ds = DataSetOn("Log");
  ds->Open();
  for (const char* call : {"K1ABC", "W2XYZ", "N3Q"}) {
    ds->Append();
    ds->FieldByName("Call")->SetAsString(call);
    ds->Post();
  }
  ds->SetFilterText("Id = LASTAUTOINC(Log MEMORY, Id)");
  ds->SetFiltered(true);
  EXPECT_EQ(Column(*ds, "Call"), (std::vector<std::string>{"N3Q"}));
}

TEST_F(DataSetTest, RandomFilterTextsRaiseOnlyEngineOrDataSetErrors) {
  MakeTable("Log", {{"Call", dtString, 10}, {"Points", dtInteger}, {"Day", dtDate}, {"Notes", dtMemo}});
  auto ds = DataSetOn("Log");
  ds->Open();
  for (int32_t i = 0; i < 20; ++i) {
    ds->Append();
    ds->FieldByName("Call")->SetAsString("K" + std::to_string(i));
    ds->FieldByName("Points")->SetAsInteger(i % 7);
    ds->FieldByName("Day")->SetAsDateTime(45000.0 + i);
    ds->Post();
  }
  static const std::array<const char*, 30> pieces = {
      "Call", "Points", "Day", "Notes", "Missing", "=", "<>", "<", ">=", "AND", "OR", "NOT", "(", ")", "'K1'",
      "'", "''", "3", "-2.5", "1E400", "NULL", "IS", "LIKE", "'%K%'", "+", "*", "/", "0", ",", "UPPER("};
  std::mt19937 random(29);
  auto budget = qv::test::TestBudget::Steps(1500, 20);
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    std::string text;
    const int32_t length = 1 + static_cast<int32_t>(random() % 8);
    for (int32_t k = 0; k < length; ++k) {
      if (random() % 6 == 0) {
        text += static_cast<char>(random() % 256);
      } else {
        text += pieces[random() % pieces.size()];
        text += ' ';
      }
    }
    SCOPED_TRACE(text);
    try {
      ds->SetFilterText(text);
      ds->SetFiltered(true);
      for (ds->First(); !ds->Eof(); ds->Next()) static_cast<void>(ds->FieldByName("Call")->AsString());
      static_cast<void>(ds->RecordCount());
    } catch (const EVLMException&) {
    } catch (const qv::EDatabaseError&) {
    }
    ds->SetFiltered(false);
  }
  EXPECT_EQ(ds->RecordCount(), 20);
}

}  // namespace
