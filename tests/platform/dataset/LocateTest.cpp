// Locate and Lookup (the generic search), bookmarks, filters.
#include <gtest/gtest.h>

#include "platform/dataset/DatabaseError.h"
#include "platform/host/HostVariant.h"
#include "tests/platform/dataset/DataSetTestUtil.h"

namespace {

using qv::HostVariant;
using qvtest::CurrentId;
using qvtest::ErrorOf;

class LocateFixture : public ::testing::Test {
protected:
  void SetUp() override {
    qvtest::DefineLogTable(table_);
    ds_.SetName("Log");
    ds_.SetTable(&table_);
    ds_.Open();
    // id: call / freq / mode
    Add(1, "W1AW", "14", "CW");
    Add(2, "K1ABC", "7", "SSB");
    Add(3, "w1aw", "7", "CW");
    Add(4, "W1AWX", "21", "CW");
    Add(5, "W1AW", "7", "SSB");
    ds_.First();
  }

  void Add(int id, const char* call, const char* freq, const char* mode) {
    ds_.Append();
    ds_.FieldByName("ID")->SetAsInteger(id);
    ds_.FieldByName("Call")->SetAsString(call);
    ds_.FieldByName("Freq")->SetAsString(freq);
    ds_.FieldByName("Mode")->SetAsString(mode);
    ds_.Post();
  }

  qv::MemTable table_;
  qv::MemDataSet ds_;
};

TEST_F(LocateFixture, OneField) {
  EXPECT_TRUE(ds_.Locate("Call", HostVariant("W1AW"), 0));
  EXPECT_EQ(CurrentId(ds_), 1);  // the first in the current order
  EXPECT_TRUE(ds_.Locate("call", HostVariant("w1aw"), 0));
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_TRUE(ds_.Locate("ID", HostVariant("4"), 0));  // a text key for a number
  EXPECT_EQ(CurrentId(ds_), 4);
  EXPECT_TRUE(ds_.Locate("Freq", HostVariant(int32_t{21}), 0));  // a number key for a text
  EXPECT_EQ(CurrentId(ds_), 4);

  // Not found: false, and the current record stays.
  ds_.First();
  ds_.Next();
  EXPECT_FALSE(ds_.Locate("Call", HostVariant("VE3XYZ"), 0));
  EXPECT_EQ(CurrentId(ds_), 2);
  EXPECT_FALSE(ds_.Locate("ID", HostVariant("not a number"), 0));
  EXPECT_EQ(CurrentId(ds_), 2);
  ds_.Next();
  EXPECT_EQ(CurrentId(ds_), 3);  // and moving on starts from there
}

TEST_F(LocateFixture, SeveralFields) {
  EXPECT_TRUE(ds_.Locate("Call;Freq;Mode", qv::VarArrayOf({"W1AW", "7", "SSB"}), 0));
  EXPECT_EQ(CurrentId(ds_), 5);
  EXPECT_FALSE(ds_.Locate("Call;Freq;Mode", qv::VarArrayOf({"W1AW", "21", "CW"}), 0));
  EXPECT_EQ(CurrentId(ds_), 5);
  EXPECT_TRUE(ds_.Locate("Call;Mode", qv::VarArrayOf({"w1aw", "cw"}), qv::loCaseInsensitive));
  EXPECT_EQ(CurrentId(ds_), 1);
  // A list of values shorter than the fields is refused.
  EXPECT_THROW(ds_.Locate("Call;Freq", HostVariant("W1AW"), 0), qv::EDatabaseError);
  EXPECT_THROW(ds_.Locate("Call;Nope", qv::VarArrayOf({"W1AW", "7"}), 0), qv::EDatabaseError);
}

TEST_F(LocateFixture, CaseInsensitiveAndPartialKeys) {
  ds_.Last();
  EXPECT_TRUE(ds_.Locate("Call", HostVariant("w1aw"), qv::loCaseInsensitive));
  EXPECT_EQ(CurrentId(ds_), 1);
  EXPECT_TRUE(ds_.Locate("Call", HostVariant("K1"), qv::loPartialKey));
  EXPECT_EQ(CurrentId(ds_), 2);
  EXPECT_FALSE(ds_.Locate("Call", HostVariant("k1"), qv::loPartialKey));
  EXPECT_TRUE(ds_.Locate("Call", HostVariant("k1"), qv::loPartialKey | qv::loCaseInsensitive));
  EXPECT_EQ(CurrentId(ds_), 2);
  EXPECT_TRUE(ds_.Locate("Call;Freq", qv::VarArrayOf({"W1AWX", "2"}), qv::loPartialKey));
  EXPECT_EQ(CurrentId(ds_), 4);
  // Without partial keys the whole text must match.
  EXPECT_FALSE(ds_.Locate("Call", HostVariant("W1A"), 0));
}

TEST_F(LocateFixture, NullKeysFindNullValuesAndLocatePostsAPendingEdit) {
  EXPECT_TRUE(ds_.Locate("Points", HostVariant::Null(), 0));
  ds_.Locate("ID", HostVariant(int32_t{3}), 0);
  ds_.Edit();
  ds_.FieldByName("Points")->SetAsInteger(9);
  EXPECT_TRUE(ds_.Locate("Points", HostVariant(int32_t{9}), 0));
  EXPECT_EQ(ds_.State(), qv::dsBrowse);
  EXPECT_EQ(CurrentId(ds_), 3);
}

TEST_F(LocateFixture, LookupReadsWithoutMoving) {
  ds_.Locate("ID", HostVariant(int32_t{2}), 0);
  HostVariant mode = ds_.Lookup("Call;Freq", qv::VarArrayOf({"W1AW", "7"}), "Mode");
  EXPECT_EQ(mode.AsString(), "SSB");
  HostVariant both = ds_.Lookup("ID", HostVariant(int32_t{4}), "Call;Freq");
  ASSERT_TRUE(both.IsArray());
  EXPECT_EQ(both[0].AsString(), "W1AWX");
  EXPECT_EQ(both[1].AsString(), "21");
  EXPECT_TRUE(ds_.Lookup("Call", HostVariant("nobody"), "ID").IsNull());
  EXPECT_EQ(CurrentId(ds_), 2);
  ds_.Next();
  EXPECT_EQ(CurrentId(ds_), 3);
}

TEST_F(LocateFixture, BookmarksRoundTrip) {
  ds_.Locate("ID", HostVariant(int32_t{4}), 0);
  qv::Bookmark mark = ds_.GetBookmark();
  ASSERT_EQ(mark.size(), 8u);
  EXPECT_TRUE(ds_.BookmarkValid(mark));
  ds_.First();
  qv::Bookmark first = ds_.GetBookmark();
  ds_.GotoBookmark(mark);
  EXPECT_EQ(CurrentId(ds_), 4);
  EXPECT_LT(ds_.CompareBookmarks(first.data(), mark.data()), 0);
  EXPECT_GT(ds_.CompareBookmarks(mark.data(), first.data()), 0);
  EXPECT_EQ(ds_.CompareBookmarks(mark.data(), mark.data()), 0);
  EXPECT_EQ(ds_.CompareBookmarks(nullptr, nullptr), 0);
  EXPECT_EQ(ds_.CompareBookmarks(nullptr, mark.data()), 1);
  EXPECT_EQ(ds_.CompareBookmarks(mark.data(), nullptr), -1);
  ds_.GotoBookmark(qv::Bookmark());  // an empty bookmark does nothing
  EXPECT_EQ(CurrentId(ds_), 4);

  // The order may change; the bookmark still finds its record.
  ds_.SetIndexName("ByCall");
  ds_.First();
  ds_.GotoBookmark(mark);
  EXPECT_EQ(CurrentId(ds_), 4);

  ds_.Delete();
  EXPECT_FALSE(ds_.BookmarkValid(mark));
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.GotoBookmark(mark); }), "Log: Record not found");
  EXPECT_FALSE(ds_.IsEmpty());

  ds_.Insert();
  EXPECT_TRUE(ds_.GetBookmark().empty());  // no bookmark for a record not yet posted
  ds_.Cancel();
}

TEST_F(LocateFixture, FiltersHideRecords) {
  ds_.SetOnFilterRecord([](qv::DataSet& ds, bool& accept) { accept = ds.FieldByName("Mode")->AsString() == "CW"; });
  EXPECT_EQ(ds_.RecordCount(), 5);  // not filtered yet
  ds_.SetFiltered(true);
  EXPECT_EQ(ds_.RecordCount(), 3);
  std::vector<int> ids;
  for (ds_.First(); !ds_.Eof(); ds_.Next()) ids.push_back(CurrentId(ds_));
  EXPECT_EQ(ids, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(ds_.RecNo(), 3);
  EXPECT_FALSE(ds_.Locate("ID", HostVariant(int32_t{2}), 0));
  ds_.SetRecNo(2);
  EXPECT_EQ(CurrentId(ds_), 3);
  ds_.SetFiltered(false);
  EXPECT_EQ(ds_.RecordCount(), 5);
  EXPECT_EQ(CurrentId(ds_), 3);

  // FindNext/FindPrior apply the filter event without Filtered; the records
  // shown around the one found are not filtered.
  qv::DataSource source;
  qvtest::ProbeLink grid;
  grid.SetBufferCount(5);
  source.SetDataSet(&ds_);
  grid.SetDataSource(&source);
  ds_.First();
  EXPECT_TRUE(ds_.FindNext());
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_EQ(grid.WindowIds(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(ds_.FindLast());
  EXPECT_EQ(CurrentId(ds_), 4);
  EXPECT_TRUE(ds_.FindPrior());
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_TRUE(ds_.FindFirst());
  EXPECT_EQ(CurrentId(ds_), 1);
  EXPECT_FALSE(ds_.FindPrior());
  EXPECT_EQ(CurrentId(ds_), 1);
}

}  // namespace
