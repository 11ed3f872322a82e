// The editing rules the application relies on: what Next does with a pending
// edit, what a failed post leaves behind, read-only refusals, Edit on an empty
// dataset, Cancel, required fields.
#include <gtest/gtest.h>

#include "platform/dataset/DatabaseError.h"
#include "tests/platform/dataset/DataSetTestUtil.h"

namespace {

using qvtest::CurrentId;
using qvtest::ErrorOf;

class EditFixture : public ::testing::Test {
protected:
  void SetUp() override {
    qvtest::DefineLogTable(table_);
    ds_.SetName("Log");
    ds_.SetTable(&table_);
    ds_.Open();
    ds_.BeforePost = [this](qv::DataSet&) { ++posts_; };
    ds_.AfterCancel = [this](qv::DataSet&) { ++cancels_; };
  }

  std::string Points(int id) {
    qv::MemDataSet probe;
    probe.SetTable(&table_);
    probe.Open();
    EXPECT_TRUE(probe.Locate("ID", qv::HostVariant(id), 0));
    return probe.FieldByName("Points")->AsString();
  }

  qv::MemTable table_;
  qv::MemDataSet ds_;
  int posts_ = 0;
  int cancels_ = 0;
};

TEST_F(EditFixture, NextPostsAModifiedEditAndCancelsAnUnmodifiedOne) {
  qvtest::AppendRows(ds_, 3);
  posts_ = 0;
  ds_.First();
  ds_.Edit();
  ds_.FieldByName("Points")->SetAsInteger(42);
  EXPECT_TRUE(ds_.Modified());
  ds_.Next();
  EXPECT_EQ(posts_, 1);
  EXPECT_EQ(ds_.State(), qv::dsBrowse);
  EXPECT_EQ(CurrentId(ds_), 2);
  EXPECT_EQ(Points(1), "42");

  ds_.Edit();  // nothing typed
  EXPECT_FALSE(ds_.Modified());
  ds_.Next();
  EXPECT_EQ(posts_, 1);
  EXPECT_EQ(cancels_, 1);
  EXPECT_EQ(CurrentId(ds_), 3);

  // An append with values is posted by a move too.
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(4);
  ds_.First();
  EXPECT_EQ(ds_.RecordCount(), 4);
}

TEST_F(EditFixture, FailedInternalPostKeepsTheInsertWithItsValues) {
  table_.GetIndexDefs().Add("PK", "ID", qv::ixPrimary);
  qvtest::AppendRows(ds_, 2);
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(2);  // taken
  ds_.FieldByName("Call")->SetAsString("W1AW");
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.Post(); }), "Log: Key violation") << "the key violation should raise";
  EXPECT_EQ(ds_.State(), qv::dsInsert);
  EXPECT_EQ(ds_.FieldByName("Call")->AsString(), "W1AW");
  EXPECT_EQ(table_.RecordCount(), 2);

  ds_.FieldByName("ID")->SetAsInteger(3);
  ds_.Post();
  EXPECT_EQ(ds_.State(), qv::dsBrowse);
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_EQ(table_.RecordCount(), 3);
}

TEST_F(EditFixture, ReadOnlyRefusesEditsInTheBaseAndDeletesInTheStorage) {
  qvtest::AppendRows(ds_, 2);
  ds_.SetReadOnly(true);
  for (auto write : {&qv::DataSet::Edit, &qv::DataSet::Insert, &qv::DataSet::Append}) {
    EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { (ds_.*write)(); }), "Log: Cannot modify a read-only dataset")
        << "a read-only dataset refuses to edit";
    EXPECT_EQ(ds_.State(), qv::dsBrowse);
  }
  // Delete does not ask CanModify: the storage's InternalDelete answers.
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.Delete(); }), "Log: Dataset is in read only mode")
      << "InternalDelete refuses";
  EXPECT_EQ(table_.RecordCount(), 2);

  ds_.SetReadOnly(false);
  ds_.Delete();
  EXPECT_EQ(table_.RecordCount(), 1);
}

TEST_F(EditFixture, EditOnAnEmptyDatasetAppends) {
  ASSERT_TRUE(ds_.IsEmpty());
  ds_.Edit();
  EXPECT_EQ(ds_.State(), qv::dsInsert);
  ds_.FieldByName("ID")->SetAsInteger(7);
  ds_.Post();
  EXPECT_EQ(ds_.RecordCount(), 1);
  EXPECT_EQ(CurrentId(ds_), 7);
  EXPECT_FALSE(ds_.Eof());
}

TEST_F(EditFixture, CancelRestoresThePreviousRecord) {
  qvtest::AppendRows(ds_, 5);
  ds_.First();
  ds_.MoveBy(2);
  ds_.Edit();
  ds_.FieldByName("Call")->SetAsString("CHANGED");
  ds_.Cancel();
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_EQ(ds_.FieldByName("Call")->AsString(), "K3");

  ds_.Insert();
  EXPECT_TRUE(ds_.FieldByName("ID")->IsNull());
  ds_.FieldByName("ID")->SetAsInteger(99);
  ds_.Cancel();
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_EQ(ds_.RecordCount(), 5);

  // On an empty dataset a cancelled insert leaves it empty.
  ds_.EmptyTable();
  EXPECT_TRUE(ds_.Eof());
  ds_.Insert();
  ds_.Cancel();
  EXPECT_TRUE(ds_.IsEmpty());
  EXPECT_TRUE(ds_.Eof());
}

TEST_F(EditFixture, StateChecks) {
  qvtest::AppendRows(ds_, 1);
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.Post(); }), "Log: Dataset not in edit or insert mode");
  EXPECT_THROW(ds_.FieldByName("Call")->SetAsString("X"), qv::EDatabaseError);
  ds_.Close();
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.First(); }),
            "Log: Cannot perform this operation on a closed dataset");
  ds_.Open();
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.SetTable(nullptr); }),
            "Log: Cannot perform this operation on an open dataset");
  ds_.Delete();
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.Delete(); }),
            "Log: Cannot perform this operation on an empty dataset");
}

TEST_F(EditFixture, RequiredAndReadOnlyFields) {
  ds_.Close();
  table_.GetFieldDefs().Find("Call")->SetRequired(true);
  ds_.Open();
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(1);
  ds_.FieldByName("Call")->SetAsString("");  // empty text is null
  EXPECT_TRUE(ds_.FieldByName("Call")->IsNull());
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.Post(); }), "Field 'Call' must have a value");
  EXPECT_EQ(ds_.State(), qv::dsInsert);
  ds_.FieldByName("Call")->SetAsString("N0CALL");
  ds_.Post();

  ds_.FieldByName("Mode")->SetReadOnly(true);
  ds_.Edit();
  EXPECT_EQ(ErrorOf<qv::EDatabaseError>([&] { ds_.FieldByName("Mode")->SetAsString("SSB"); }),
            "Field 'Mode' cannot be modified");
  ds_.Cancel();
}

TEST_F(EditFixture, OnValidateSeesTheProposedValueAndCanRefuseIt) {
  qvtest::AppendRows(ds_, 1);
  std::string seen;
  ds_.FieldByName("Call")->OnValidate = [&seen](qv::Field& field) {
    seen = field.AsString();
    if (seen == "BAD") throw qv::EDatabaseError("refused");
  };
  ds_.Edit();
  ds_.FieldByName("Call")->SetAsString("W2XYZ");
  EXPECT_EQ(seen, "W2XYZ");
  EXPECT_THROW(ds_.FieldByName("Call")->SetAsString("BAD"), qv::EDatabaseError);
  EXPECT_EQ(ds_.FieldByName("Call")->AsString(), "W2XYZ");
  ds_.Post();
}

TEST_F(EditFixture, EventsAndNewRecordDefaults) {
  std::vector<std::string> log;
  ds_.OnNewRecord = [&](qv::DataSet& ds) {
    log.push_back("new");
    ds.FieldByName("Mode")->SetAsString("SSB");
  };
  ds_.AfterPost = [&](qv::DataSet&) { log.push_back("after post"); };
  ds_.BeforeScroll = [&](qv::DataSet&) { log.push_back("before scroll"); };
  ds_.Append();
  EXPECT_EQ(ds_.FieldByName("Mode")->AsString(), "SSB");
  EXPECT_FALSE(ds_.Modified());  // defaults do not count as typing
  ds_.FieldByName("ID")->SetAsInteger(1);
  ds_.Post();
  EXPECT_EQ(log, (std::vector<std::string>{"before scroll", "new", "after post"}));
  EXPECT_EQ(table_.RecordCount(), 1);
}

TEST_F(EditFixture, AutoIncrementAndSharedTables) {
  qv::MemTable table;
  table.GetFieldDefs().Add("Nr", qv::ftAutoInc);
  table.GetFieldDefs().Add("Name", qv::ftString, 20);
  qv::MemDataSet a;
  qv::MemDataSet b;
  a.SetTable(&table);
  b.SetTable(&table);
  a.Open();
  b.Open();
  for (const char* name : {"one", "two"}) {
    a.Append();
    a.FieldByName("Name")->SetAsString(name);
    a.Post();
  }
  EXPECT_EQ(a.FieldByName("Nr")->AsInteger(), 2);
  // The other dataset sees the rows at its next refresh or move.
  EXPECT_TRUE(b.IsEmpty());
  b.Refresh();
  EXPECT_EQ(b.RecordCount(), 2);
  b.Last();
  EXPECT_EQ(b.FieldByName("Name")->AsString(), "two");
  b.Delete();
  a.Refresh();
  EXPECT_EQ(a.RecordCount(), 1);
  EXPECT_EQ(a.FieldByName("Name")->AsString(), "one");
}

TEST_F(EditFixture, IndexOrderAndEmptyTable) {
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(1);
  ds_.FieldByName("Call")->SetAsString("w1aw");
  ds_.Post();
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(2);
  ds_.FieldByName("Call")->SetAsString("K1ABC");
  ds_.Post();
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(3);
  ds_.FieldByName("Call")->SetAsString("AA1A");
  ds_.Post();
  ds_.SetIndexName("ByCall");
  EXPECT_EQ(CurrentId(ds_), 3);  // the current record stays current
  std::vector<int> order;
  for (ds_.First(); !ds_.Eof(); ds_.Next()) order.push_back(CurrentId(ds_));
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
  ds_.SetIndexFieldNames("ID");
  ds_.Last();
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_THROW(ds_.SetIndexName("Nope"), qv::EDatabaseError);
  EXPECT_EQ(ds_.IndexFieldNames(), "ID");  // the failed switch changed nothing

  ds_.EmptyTable();
  EXPECT_EQ(ds_.RecordCount(), 0);
  EXPECT_TRUE(ds_.Eof());
  EXPECT_TRUE(ds_.Bof());
}

}  // namespace
