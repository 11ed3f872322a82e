// Definitions and their lists: record layout, copy rules, look-ups by name
// and ID, list operations, index columns and the index search by fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/core/VLMTypesDefs.h"
#include "platform/host/Exception.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace {

using namespace schema_test;

TEST(Definitions, NullBitmapAndRecordSizes) {
  for (int32_t count : {0, 1, 8, 9, 10, 16, 17}) {
    TVLMFieldDefs defs;
    for (int32_t i = 0; i < count; ++i) AddField(defs, "F" + std::to_string(i), dtByte);
    defs.CalculateOffsets();
    const int32_t bitmap = (count + 7) / 8;
    EXPECT_EQ(VLMNullBitmapSize(count), bitmap);
    EXPECT_EQ(defs.GetRecordBufferSize(), bitmap + count) << count;
    EXPECT_EQ(defs.GetStoredRecordSize(), bitmap + count) << count;
    if (count > 0) {
      EXPECT_EQ(defs.GetFieldDef(0)->BufferOffset, bitmap);
    }
  }
  TVLMFieldDefs ten;
  for (int32_t i = 0; i < 10; ++i) AddField(ten, "F" + std::to_string(i), dtInteger);
  ten.CalculateOffsets();
  EXPECT_EQ(ten.GetFieldDef(0)->BufferOffset, 2);
}

TEST(Definitions, OffsetsDifferBetweenBufferAndStoredRecordForBlobs) {
  TVLMFieldDefs defs;
  AddField(defs, "Call", dtChar, 12);     // 13 bytes
  AddField(defs, "Notes", dtMemo);        // 10 in a buffer, 6 stored
  AddField(defs, "Name", dtWideChar, 4);  // 10 bytes
  AddField(defs, "Points", dtInteger);    // 4 bytes
  defs.CalculateOffsets();
  const std::vector<int32_t> buffer = {1, 14, 24, 34};
  const std::vector<int32_t> stored = {1, 14, 20, 30};
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(defs.GetFieldDef(i)->BufferOffset, buffer[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(defs.GetFieldDef(i)->RecordOffset, stored[static_cast<size_t>(i)]) << i;
  }
  EXPECT_EQ(defs.GetRecordBufferSize(), 38);
  EXPECT_EQ(defs.GetStoredRecordSize(), 34);
}

TEST(Definitions, LayoutBeyondTheIntegerRangeIsRefused) {
  TVLMFieldDefs defs;
  AddField(defs, "A", dtInteger);
  AddField(defs, "B", dtChar, 1'500'000'000);
  AddField(defs, "C", dtChar, 1'500'000'000);
  defs.GetFieldDef(0)->BufferOffset = 77;
  EXPECT_EQ(RaisedCode([&] { defs.CalculateOffsets(); }), 10440);
  EXPECT_EQ(defs.GetFieldDef(0)->BufferOffset, 77);  // left as it was
  EXPECT_EQ(RaisedCode([&] { defs.GetRecordBufferSize(); }), 10440);
  defs.Delete(2);
  defs.CalculateOffsets();
  EXPECT_EQ(defs.GetRecordBufferSize(), 1 + 4 + 1'500'000'001);
}

TEST(Definitions, SetDataTypeAndSizes) {
  TVLMFieldDef f;
  f.SetDataType(dtWideString, 20);
  EXPECT_EQ(f.BaseType, bdtWideString);
  EXPECT_EQ(f.DataSize, 42);
  EXPECT_EQ(f.SizeInRecord, 42);
  f.SetDataType(dtAutoincInteger, 0);
  EXPECT_EQ(f.BaseType, bdtInteger);
  EXPECT_EQ(f.DataSize, 4);
  f.SetDataType(dtBLOB, 0);
  EXPECT_EQ(f.SizeInRecord, 6);
  EXPECT_EQ(RaisedMessage([&] { f.SetDataType(99, 0); }),
            "Unsupported data type 'Unknown' - Native error: 30007");
  EXPECT_EQ(f.DataType, dtBLOB);  // unchanged by the refusal
}

TEST(Definitions, LookupsIgnoreLetterCase) {
  TVLMFieldDefs defs;
  AddField(defs, "Call", dtChar, 12)->ObjectID = 40;
  AddField(defs, "\xC4rger", dtInteger)->ObjectID = 41;  // "Ärger" in 1252
  EXPECT_EQ(defs.IndexOfName("CALL"), 0);
  EXPECT_EQ(defs.IndexOfName("call"), 0);
  EXPECT_EQ(defs.IndexOfName("\xE4RGER"), 1);  // "äRGER"
  EXPECT_EQ(defs.IndexOfName("Cal"), -1);
  EXPECT_EQ(defs.FindFieldDef("ärger"), nullptr);  // UTF-8 text is other bytes
  EXPECT_EQ(defs.IndexOfObjectID(41), 1);
  EXPECT_EQ(defs.FindByObjectID(40), defs.GetFieldDef(0));
  EXPECT_EQ(defs.FindByObjectID(-1), nullptr);
}

TEST(Definitions, FieldAssignCopiesAllButFieldNo) {
  FakeExpressionServices services;
  TVLMFieldDef a;
  a.Name = "Freq";
  a.Description = "band edge";
  a.SetDataType(dtBLOB, 0);
  a.BufferOffset = 12;
  a.FieldNo = 3;
  a.BlobBlockSize = 512;
  a.MaxValue = 5;
  a.Cycled = true;
  a.DefaultValue.SetAsString("=NOW");
  TVLMFieldDef b;
  b.Assign(a);
  EXPECT_EQ(b.Description, "band edge");
  EXPECT_EQ(b.SizeInRecord, 6);
  EXPECT_EQ(b.BufferOffset, 12);
  EXPECT_EQ(b.FieldNo, 0);
  EXPECT_EQ(b.BlobBlockSize, 512);
  EXPECT_TRUE(b.Cycled && b.MaxValue == 5);
  EXPECT_NE(b.DefaultValue.Data, a.DefaultValue.Data);  // a copy, not a borrow
  EXPECT_NE(b.DefaultExpression, nullptr);              // parsed again
  TVLMIndexDef index;
  EXPECT_THROW(b.Assign(index), qv::Exception);
}

TEST(Definitions, IndexColumnsAndAssign) {
  TVLMIndexDef d;
  EXPECT_EQ(RaisedMessage([&] { d.SetColumns(List({"A", "B"}), List({"ASC"}), List({"", ""})); }),
            "Error - different list lengths. L1 = 2, L2 = 1 - Native error: 10278");
  EXPECT_EQ(RaisedCode([&] { d.SetColumns(List({"A", "B"}), List({"", ""}), List({""})); }), 10279);
  d.SetColumns(List({"A", "B", "C"}), List({"DESC", "desc", "ASC"}), List({"NO_CASE", "no_case", "CASE"}));
  ASSERT_EQ(d.GetColumnCount(), 3);
  EXPECT_TRUE(d.GetColumn(0).Descending);
  EXPECT_FALSE(d.GetColumn(1).Descending);  // exactly "DESC" only
  EXPECT_TRUE(d.GetColumn(0).CaseInsensitive);
  EXPECT_FALSE(d.GetColumn(1).CaseInsensitive);
  EXPECT_EQ(d.GetColumn(2).LengthLimit, 20);
  EXPECT_THROW(d.GetColumn(3), qv::EListError);
  d.SetColumnCount(1);
  EXPECT_EQ(d.GetColumnCount(), 1);
  d.SetColumnCount(2);
  EXPECT_EQ(d.GetColumn(1).Name, "");
  EXPECT_EQ(d.GetColumn(1).LengthLimit, 0);

  // Assign copies what the stream leaves out too.
  d.Temporary = true;
  d.SessionID = 4;
  d.ChangeStamp = 17;
  d.Options = 2;
  TVLMIndexDef e;
  e.SetColumnCount(5);
  e.Assign(d);
  EXPECT_TRUE(e.Temporary && e.SessionID == 4 && e.ChangeStamp == 17 && e.Options == 2);
  ASSERT_EQ(e.GetColumnCount(), 2);
  EXPECT_TRUE(e.GetColumn(0).Descending);
  EXPECT_NE(&e.GetColumn(0), &d.GetColumn(0));
}

TEST(Definitions, ConstraintAssignByKind) {
  TVLMConstraintDefs source;
  TVLMConstraintDefCheck* check = source.AddCheck();
  check->Name = "Range";
  check->TableName = "Log";
  check->TargetName = "Points";
  check->TargetID = 12;
  check->MinValue.SetAsInteger(0);
  TVLMConstraintDefPrimary* pk = source.AddPrimary();
  pk->Name = "C_PK$ID";
  pk->Columns = {{"ID", 3}};
  pk->RefName1 = "ref";
  source.AddNotNull()->Name = "Range";  // names are not tested here
  TVLMConstraintDefs copy;
  copy.Assign(source);
  ASSERT_EQ(copy.GetCount(), 3);
  const auto* c0 = dynamic_cast<TVLMConstraintDefCheck*>(copy.GetConstraintDef(0));
  ASSERT_NE(c0, nullptr);
  EXPECT_EQ(c0->TargetName, "Points");
  EXPECT_EQ(c0->TargetID, 12);
  EXPECT_EQ(c0->MinValue.GetAsInteger(), 0);
  EXPECT_TRUE(c0->MaxValue.IsNull());
  const auto* c1 = dynamic_cast<TVLMConstraintDefPrimary*>(copy.GetConstraintDef(1));
  ASSERT_NE(c1, nullptr);
  EXPECT_EQ(c1->Columns.size(), 1u);
  EXPECT_EQ(c1->RefName1, "ref");
  EXPECT_NE(dynamic_cast<TVLMConstraintDefNotNull*>(copy.GetConstraintDef(2)), nullptr);

  // A definition of another kind cannot be copied.
  TVLMMetaObjectDefs odd;
  odd.Add(std::make_unique<TVLMConstraintDef>(1));
  EXPECT_EQ(RaisedCode([&] { copy.Assign(odd); }), 30035);
}

TEST(Definitions, ListAssignRefusesDuplicateNames) {
  TVLMFieldDefs source;
  AddField(source, "Call", dtChar, 10);
  AddField(source, "Mode", dtChar, 4);
  AddField(source, "CALL", dtInteger);
  TVLMFieldDefs target;
  EXPECT_EQ(RaisedMessage([&] { target.Assign(source); }), "Duplicate field name CALL - Native error: 10424");
  EXPECT_EQ(target.GetCount(), 2);  // the items before the duplicate
  source.Delete(2);
  target.Assign(source);
  ASSERT_EQ(target.GetCount(), 2);
  EXPECT_EQ(target.GetFieldDef(1)->Name, "Mode");
  EXPECT_NE(target.GetFieldDef(1), source.GetFieldDef(1));
}

TEST(Definitions, ListsWithoutAnItemClassRefuseToCreateOne) {
  TVLMMetaObjectDefs base;
  EXPECT_EQ(RaisedMessage([&] { base.InternalAddCreated(); }),
            "The method 'InternalAddCreated' not overrided in class 'TVLMMetaObjectDefs' - Native error: 30339");
  TVLMConstraintDefs constraints;
  EXPECT_EQ(RaisedMessage([&] { constraints.InternalAddCreated(); }),
            "The method 'InternalAddCreated' not overrided in class 'TVLMConstraintDefs' - Native error: 30339");
  TVLMIndexDefs indexes;
  EXPECT_NE(dynamic_cast<TVLMIndexDef*>(indexes.InternalAddCreated()), nullptr);
}

TEST(Definitions, ListOperations) {
  TVLMFieldDefs defs;
  for (const char* n : {"A", "B", "C"}) AddField(defs, n, dtInteger);
  auto names = [&] {
    std::string s;
    for (int32_t i = 0; i < defs.GetCount(); ++i) s += defs.GetFieldDef(i)->Name;
    return s;
  };
  defs.Move(0, 2);
  EXPECT_EQ(names(), "BCA");
  auto d = std::make_unique<TVLMFieldDef>();
  d->Name = "D";
  defs.Insert(3, std::move(d));
  EXPECT_EQ(names(), "BCAD");
  auto e = std::make_unique<TVLMFieldDef>();
  e->Name = "E";
  defs.SetItem(1, std::move(e));
  EXPECT_EQ(names(), "BEAD");
  defs.Delete(0);
  EXPECT_EQ(names(), "EAD");
  EXPECT_THROW(defs.Delete(3), qv::EListError);
  EXPECT_THROW(defs.GetItem(-1), qv::EListError);
  EXPECT_THROW(defs.Insert(5, std::make_unique<TVLMFieldDef>()), qv::EListError);
  EXPECT_THROW(defs.Add(std::make_unique<TVLMIndexDef>()), qv::Exception);
  EXPECT_THROW(defs.Add(nullptr), qv::EListError);
  defs.Clear();
  EXPECT_EQ(defs.GetCount(), 0);
}

// ------------------------------------------------- index search by fields

class IndexSearch : public ::testing::Test {
protected:
  void SetUp() override {
    AddField(fields, "Call", dtChar, 12);
    AddField(fields, "Freq", dtInteger);
    AddField(fields, "Mode", dtChar, 4);
    Add("Temp", 1, {"Call"}, {false}, {false}, true, 7);
    Add("ByFreq", 2, {"Freq"}, {true}, {false});
    Add("ByCallDesc", 3, {"Call", "Freq"}, {true, false}, {false, false});
    Add("ByCallNoCase", 4, {"CALL", "freq", "Mode"}, {false, false, false}, {true, true, false});
  }
  void Add(const char* name, int32_t id, std::vector<const char*> columns, std::vector<bool> desc,
           std::vector<bool> noCase, bool temporary = false, int32_t session = -1) {
    TVLMIndexDef* d = indexes.AddIndexDef();
    d->Name = name;
    d->ObjectID = id;
    d->Temporary = temporary;
    d->SessionID = session;
    d->SetColumnCount(static_cast<int32_t>(columns.size()));
    for (size_t i = 0; i < columns.size(); ++i) {
      d->Columns[i]->Name = columns[i];
      d->Columns[i]->Descending = desc[i];
      d->Columns[i]->CaseInsensitive = noCase[i];
    }
  }
  int32_t Find(std::initializer_list<const char*> names, std::initializer_list<const char*> dirs,
               std::initializer_list<const char*> cases, int32_t session = 1) {
    const qv::StringList n = List(names), d = List(dirs), c = List(cases);
    return indexes.FindIndexForFields(&n, &d, &fields, session, &c);
  }

  TVLMFieldDefs fields;
  TVLMIndexDefs indexes;
};

TEST_F(IndexSearch, ChoosesTheFirstIndexThatServesTheFields) {
  struct Case {
    std::initializer_list<const char*> Names, Dirs, Cases;
    int32_t Session, Expected;
  };
  const Case cases[] = {
      {{"call"}, {""}, {""}, 7, 1},                         // own temporary index first
      {{"call"}, {""}, {""}, 1, 3},                         // another session's is skipped
      {{"CALL"}, {"DESC"}, {""}, 1, 3},                     // descending column
      {{"Call"}, {"ASC"}, {""}, 1, 4},                      // ascending wanted
      {{"Call"}, {"asc"}, {""}, 1, 3},                      // only exact "ASC" says so
      {{"Call"}, {""}, {"NO_CASE"}, 1, 4},                  // text column without case
      {{"Call"}, {""}, {"CASE"}, 1, 3},                     // text column with case
      {{"Call", "Freq"}, {"", ""}, {"", "NO_CASE"}, 1, 3},  // no case rule on a number
      {{"Call", "Freq", "Mode"}, {"", "", ""}, {"", "", ""}, 1, 4},
      {{"Call", "Freq", "Mode", "Call"}, {"", "", "", ""}, {"", "", "", ""}, 1, -1},
      {{"Freq"}, {"ASC"}, {""}, 1, -1},
      {{"Mode"}, {""}, {""}, 1, -1},
      {{"Nowhere"}, {""}, {"CASE"}, 1, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(Find(c.Names, c.Dirs, c.Cases, c.Session), c.Expected);
  const qv::StringList n = List({"Freq"}), d = List({"DESC"}), o = List({""});
  EXPECT_TRUE(indexes.HasIndexForFields(&n, &d, &fields, 1, &o));
}

TEST_F(IndexSearch, ArgumentFaults) {
  const qv::StringList one = List({"Call"}), two = List({"Call", "Freq"});
  EXPECT_EQ(RaisedCode([&] { indexes.FindIndexForFields(nullptr, &one, &fields, 1, &one); }), 10389);
  EXPECT_EQ(RaisedCode([&] { indexes.FindIndexForFields(&one, nullptr, &fields, 1, &one); }), 10390);
  EXPECT_EQ(RaisedCode([&] { indexes.FindIndexForFields(&one, &one, &fields, 1, nullptr); }), 10391);
  EXPECT_EQ(RaisedMessage([&] { indexes.FindIndexForFields(&two, &one, &fields, 1, &two); }),
            "Error - different list lengths. L1 = 2, L2 = 1 - Native error: 10276");
  EXPECT_EQ(RaisedCode([&] { indexes.FindIndexForFields(&two, &two, &fields, 1, &one); }), 10277);
}

}  // namespace
