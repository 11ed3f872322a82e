// The shared state and operations of the abstract cursor and session:
// projection with aliases, field access through both field lists, value
// writes that never read past a value, positions, ranges, filters and the
// session's named objects and transaction test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/StringList.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace {

using namespace schema_test;

class CursorBase : public ::testing::Test {
protected:
  void SetUp() override {
    auto defs = std::make_unique<TVLMFieldDefs>();
    AddField(*defs, "Call", dtChar, 5);
    AddField(*defs, "Points", dtInteger);
    AddField(*defs, "Name", dtWideString, 3);
    AddField(*defs, "Mode", dtChar, 4);
    cursor.UseFields(std::move(defs));
    buffer = cursor.AllocRecordBuffer();
    cursor.InitRecordBuffer(buffer, false);
    cursor.RecordBuffer = buffer;
  }
  void TearDown() override { cursor.FreeRecordBuffer(buffer); }
  uint8_t* Field(int32_t no) { return buffer + cursor.FieldDefs->GetFieldDef(no)->BufferOffset; }
  std::string Names() {
    std::string s;
    for (int32_t i = 0; i < cursor.CursorFieldCount(); ++i)
      s += (i ? "," : "") + cursor.CursorFieldDefs->GetFieldDef(i)->Name;
    return s;
  }

  TestCursor cursor;
  uint8_t* buffer = nullptr;
};

TEST_F(CursorBase, ProjectionRenamesRepeatedAliases) {
  cursor.SetProjection(List({"Call", "Points"}), List({"A", "A"}));
  EXPECT_EQ(Names(), "A,A_1");
  EXPECT_TRUE(cursor.ProjectionSet);
  EXPECT_EQ(cursor.CursorFieldDefs->GetFieldDef(1)->FieldNo, 1);
  cursor.SetProjection(List({"mode", "Call", "Points", "Name"}), List({"", "Mode", "Mode", "mode_1"}));
  EXPECT_EQ(Names(), "Mode,Mode_1,Mode_2,mode_1_1");
  EXPECT_EQ(cursor.CursorFieldDefs->GetFieldDef(0)->FieldNo, 3);
  // A field may keep its own name as its alias.
  cursor.SetProjection(List({"Points", "Call"}), List({"Points", "Points"}));
  EXPECT_EQ(Names(), "Points,Points_1");
}

TEST_F(CursorBase, ProjectionFaultsLeaveTheListAlone) {
  cursor.SetProjection(List({"Call"}), List({""}));
  EXPECT_EQ(RaisedMessage([&] { cursor.SetProjection(List({"Call", "Mode"}), List({""})); }),
            "Error - different list lengths. L1 = 2, L2 = 1 - Native error: 10321");
  EXPECT_EQ(RaisedMessage([&] { cursor.SetProjection(List({}), List({})); }),
            "No fields were specified while setting projection - Native error: 10322");
  EXPECT_EQ(RaisedMessage([&] { cursor.SetProjection(List({"Mode", "Band"}), List({"", ""})); }),
            "Cannot find field Band - Native error: 10323");
  EXPECT_EQ(Names(), "Call");
}

TEST_F(CursorBase, FieldDataGoesThroughTheTableField) {
  char call[6] = "W1AW";
  int32_t points = 0;
  EXPECT_EQ(RaisedMessage([&] { cursor.GetFieldData(4, buffer, &points); }),
            "Invalid field number - FieldNo = 4, FieldCount = 4 - Native error: 10005");
  EXPECT_EQ(RaisedCode([&] { cursor.SetFieldData(-1, buffer, &points); }), 10006);
  cursor.SetFieldData(0, buffer, call);
  points = 7;
  cursor.SetFieldData(1, buffer, &points);
  // Projected: cursor field 0 is table field 1, whose null bit is bit 1.
  cursor.SetProjection(List({"Points", "Call", "Mode"}), List({"", "", ""}));
  int32_t back = 0;
  EXPECT_TRUE(cursor.GetFieldData(0, buffer, &back));
  EXPECT_EQ(back, 7);
  char callBack[6] = {};
  EXPECT_TRUE(cursor.GetFieldData(1, buffer, callBack));
  EXPECT_STREQ(callBack, "W1AW");
  EXPECT_FALSE(cursor.GetFieldData(2, buffer, callBack));
  EXPECT_EQ(RaisedCode([&] { cursor.GetFieldData(3, buffer, &back); }), 10005);
}

TEST_F(CursorBase, GetFieldValueBorrowsTheRecordBytes) {
  TVLMVariant v;
  cursor.GetFieldValue(v, 1, true);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType, bdtInteger);
  VLMSetBit(false, 1, buffer);
  const int32_t points = 12;
  std::memcpy(Field(1), &points, 4);
  cursor.GetFieldValue(v, 1, true);
  EXPECT_EQ(v.GetAsInteger(), 12);
  EXPECT_EQ(v.Data, Field(1));
  cursor.SetProjection(List({"Points"}), List({"P"}));
  cursor.GetFieldValue(v, 0, false);
  EXPECT_EQ(v.GetAsInteger(), 12);
  EXPECT_EQ(RaisedCode([&] { cursor.GetFieldValue(v, 4, true); }), 20191);
  EXPECT_EQ(RaisedCode([&] { cursor.GetFieldValue(v, 1, false); }), 10317);
  cursor.RecordBuffer = nullptr;
  EXPECT_EQ(RaisedCode([&] { cursor.GetFieldValue(v, 0, false); }), 10008);
}

TEST_F(CursorBase, SetFieldValueNeverReadsPastTheValue) {
  TVLMVariant v;
  // A value shorter than the field: the rest of the field is zero.
  std::memset(Field(0), 'x', 6);
  v.SetAsString("AB");
  cursor.SetFieldValue(v, 0, true);
  EXPECT_FALSE(VLMGetBit(0, buffer));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Field(0)), 6), std::string("AB\0\0\0\0", 6));
  // Longer: cut and terminated inside the field; the next field untouched.
  Field(1)[0] = 0x5A;
  v.SetAsString("ABCDEFGH");
  cursor.SetFieldValue(v, 0, true);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Field(0)), 6), std::string("ABCDE\0", 6));
  EXPECT_EQ(Field(1)[0], 0x5A);
  Field(1)[0] = 0;
  // Wide text is cut on a character and terminated with a 2-byte zero.
  TVLMVariant w;
  w.SetAsWideString(u"Hamilton");
  cursor.SetFieldValue(w, 2, true);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(Field(2)), 4), std::u16string(u"Ham\0", 4));
  // Converted to the field's type; a value that cannot be converted leaves
  // the field and its null bit alone.
  TVLMVariant n;
  n.SetAsInteger(42);
  cursor.SetFieldValue(n, 3, true);
  EXPECT_STREQ(reinterpret_cast<char*>(Field(3)), "42");
  TVLMVariant bad;
  bad.SetAsString("not a number");
  EXPECT_NE(RaisedCode([&] { cursor.SetFieldValue(bad, 1, true); }), 0);
  EXPECT_TRUE(VLMGetBit(1, buffer));
  // Null and empty text set the null bit.
  TVLMVariant null;
  cursor.SetFieldValue(null, 3, true);
  EXPECT_TRUE(VLMGetBit(3, buffer));
  v.SetAsString("CW");
  cursor.SetFieldValue(v, 3, true);
  TVLMVariant empty;
  empty.SetBuffer("", 1, bdtString, true);
  cursor.SetFieldValue(empty, 3, true);
  EXPECT_TRUE(VLMGetBit(3, buffer));
  // Into another buffer, through the cursor's list.
  uint8_t* other = cursor.AllocRecordBuffer();
  cursor.SetProjection(List({"Points"}), List({""}));
  cursor.SetFieldValue(n, 0, false, other);
  int32_t stored = 0;
  std::memcpy(&stored, other + cursor.FieldDefs->GetFieldDef(1)->BufferOffset, 4);
  EXPECT_EQ(stored, 42);
  cursor.FreeRecordBuffer(other);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(RaisedCode([&] { cursor.SetFieldValue(n, 4, true); }), 20192);
  EXPECT_EQ(RaisedCode([&] { cursor.SetFieldValue(n, 1, false); }), 20193);
  cursor.RecordBuffer = nullptr;
  EXPECT_EQ(RaisedCode([&] { cursor.SetFieldValue(n, 0, false); }), 10001);
}

TEST_F(CursorBase, ClearUnusedStringBytes) {
  std::memcpy(Field(0), "AB\0xy\0", 6);
  VLMSetBit(false, 0, buffer);
  std::memcpy(Field(3), "LONG!", 5);  // unterminated
  VLMSetBit(false, 3, buffer);
  const char16_t name[4] = {u'A', 0, u'z', u'z'};
  std::memcpy(Field(2), name, 8);
  VLMSetBit(false, 2, buffer);
  const int32_t points = 0x01020304;
  std::memcpy(Field(1), &points, 4);
  cursor.ClearUnusedStringBytes(buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Field(0)), 6), std::string("AB\0\0\0\0", 6));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Field(3)), 5), std::string("LONG\0", 5));
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(Field(2)), 4), std::u16string(u"A\0\0\0", 4));
  int32_t back = 0;
  std::memcpy(&back, Field(1), 4);
  EXPECT_EQ(back, points);
  // A null text field is zero-filled whole.
  std::memcpy(Field(0), "QRZ\0\0\0", 6);
  VLMSetBit(true, 0, buffer);
  cursor.ClearUnusedStringBytes(buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Field(0)), 6), std::string(6, '\0'));
}

TEST_F(CursorBase, SavedPositionLayout) {
  cursor.Position = {0, 1, {0x04030201u, 0x0605}};
  uint8_t* p = cursor.SavePosition();
  EXPECT_EQ(VLMMemoryManager().GetMemSize(p), 8);
  const uint8_t expected[8] = {0, 1, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(std::memcmp(p, expected, 8), 0);
  cursor.Position = {};
  cursor.RestorePosition(p);
  EXPECT_EQ(cursor.Position.Eof, 1);
  EXPECT_EQ(cursor.Position.RecordID, (TVLMRecordID{0x04030201u, 0x0605}));
  cursor.FreePosition(p);
  EXPECT_EQ(p, nullptr);
  cursor.FreePosition(p);  // nothing to free
}

TEST_F(CursorBase, KeyAndRecordBuffers) {
  uint8_t* key = cursor.AllocKeyBuffer();
  std::memset(key, 0x77, static_cast<size_t>(cursor.KeyBufferSize));
  cursor.InitKeyBuffer(key);
  EXPECT_EQ(key[0], 0xFF);  // every field null
  for (int32_t i = 1; i < cursor.KeyBufferSize; ++i) ASSERT_EQ(key[i], 0) << i;
  VLMMemoryManager().FreeMem(key);
  uint8_t* record = cursor.AllocRecordBuffer();
  EXPECT_EQ(VLMMemoryManager().GetMemSize(record), cursor.RecordBufferSize);
  EXPECT_EQ(record[cursor.RecordBufferSize - 1], 0);
  cursor.FreeRecordBuffer(record);
}

// A table numbering whose only job is to let a record bitmap exist.
class NoNumbering : public TVLMRecordNumbering {
public:
  int64_t RecordIDToRecordNo(const TVLMRecordID& id) override { return id.Page; }
  void RecordNoToRecordID(int64_t no, TVLMRecordID& id) override { id = {static_cast<uint32_t>(no), 0}; }
  int64_t IndexPositionToRecordNo(int32_t, const TVLMKeyPath&) override { return 0; }
  void RecordNoToIndexPosition(int32_t, TVLMKeyPath&, int64_t) override {}
  uint32_t GetChangeStamp() override { return 0; }
};

TEST_F(CursorBase, RangeAndFilterChangesClearTheRecordBitmap) {
  FakeExpressionServices services;
  NoNumbering numbering;
  cursor.RecordBitmap = std::make_unique<TVLMRecordBitmap>(&numbering);
  auto filledThenCleared = [&](auto change) {
    cursor.RecordBitmap->Filled = true;
    cursor.RecordBitmap->IncludeRecord({3, 0});
    change();
    return !cursor.RecordBitmap->Filled && cursor.RecordBitmap->GetRecordCount() == 0;
  };
  EXPECT_FALSE(cursor.HasRecordRestrictions());
  uint8_t low[4] = {};
  EXPECT_TRUE(filledThenCleared([&] { cursor.SetRange(low, nullptr, 1, 0, true, false); }));
  EXPECT_TRUE(cursor.IsRangeSet() && cursor.LowExclusive && cursor.HasRecordRestrictions());
  EXPECT_TRUE(filledThenCleared([&] { cursor.CancelRange(); }));
  EXPECT_FALSE(cursor.IsRangeSet());

  FakeExpression filter("Points > 2");
  EXPECT_TRUE(filledThenCleared([&] { cursor.SetFilterExpression(AsExpression(&filter)); }));
  EXPECT_EQ(filter.BoundTo, &cursor);
  EXPECT_TRUE(cursor.IsFiltered());
  cursor.SetFilterExpression(nullptr);
  EXPECT_FALSE(cursor.IsFiltered());
  cursor.FilterCallback = [](TVLMCursor&, uint8_t*) { return true; };
  EXPECT_TRUE(cursor.IsFiltered());
  cursor.FilterCallback = nullptr;
  // The filter parsed from text is the cursor's own and goes with it.
  cursor.FilterTextExpression.reset(AsExpression(new FakeExpression("Mode = 'CW'")));
  EXPECT_TRUE(cursor.IsFiltered());
  cursor.FilterTextExpression.reset();
  EXPECT_EQ(FakeExpression::Live, 1);
}

TEST_F(CursorBase, IndexNameAndRenameField) {
  cursor.IndexDefs = std::make_unique<TVLMIndexDefs>();
  TVLMIndexDef* d = cursor.IndexDefs->AddIndexDef();
  d->Name = "PrimeIndex";
  d->ObjectID = 31;
  cursor.SetIndexName("PRIMEINDEX");
  EXPECT_EQ(cursor.IndexID, 31);
  EXPECT_TRUE(cursor.HasIndex());
  cursor.SetIndexName("Missing");
  EXPECT_EQ(cursor.IndexName, "Missing");
  EXPECT_EQ(cursor.IndexID, -1);
  EXPECT_FALSE(cursor.HasIndex());
  EXPECT_EQ(cursor.GetIndexDefs(), cursor.IndexDefs.get());

  EXPECT_EQ(RaisedMessage([&] { cursor.RenameField("Band", "Freq"); }),
            "Field 'Band' not found - Native error: 30345");
  EXPECT_EQ(RaisedMessage([&] { cursor.RenameField("Call", "MODE"); }),
            "Cannot rename field 'Call'. Field 'MODE' already exists - Native error: 30346");
  cursor.RenameField("call", std::string(300, 'c'));
  EXPECT_EQ(cursor.FieldDefs->GetFieldDef(0)->Name, std::string(255, 'c'));
}

// ---------------------------------------------------------------- session

class CountedObject : public TVLMSessionNamedObject {
public:
  CountedObject(int32_t id, const char* name, int32_t* freed) : TVLMSessionNamedObject(id), Freed_(freed) {
    Name = name;
  }
  ~CountedObject() override { ++*Freed_; }

private:
  int32_t* Freed_;
};

TEST(BaseSession, NamedObjectsAreReplacedByIDOrName) {
  int32_t freed = 0;
  {
    TestSession s;
    EXPECT_EQ(s.SessionID, -1);
    s.AddNamedObject(std::make_unique<CountedObject>(5, "Seq", &freed));
    s.AddNamedObject(std::make_unique<TVLMSessionNamedObjectSequenceValue>(6, 100));
    s.AddNamedObject(std::make_unique<CountedObject>(5, "Other", &freed));  // same ID
    EXPECT_EQ(freed, 1);
    ASSERT_EQ(s.NamedObjects.size(), 2u);
    EXPECT_EQ(s.FindNamedObjectByID(5)->Name, "Other");
    auto* seq = dynamic_cast<TVLMSessionNamedObjectSequenceValue*>(s.FindNamedObjectByID(6));
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq->Value, 100);
    s.AddNamedObject(std::make_unique<CountedObject>(-1, "OTHER", &freed));  // by name
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(s.FindNamedObjectByName("other")->ObjectID, -1);
    s.RemoveNamedObject(6);
    s.RemoveNamedObject(77);
    EXPECT_EQ(s.NamedObjects.size(), 1u);
    EXPECT_EQ(s.FindNamedObjectByID(6), nullptr);
  }
  EXPECT_EQ(freed, 3);  // the session frees what it holds
}

TEST(BaseSession, CommitAndRollbackNeedATransaction) {
  TestSession s;
  EXPECT_EQ(RaisedMessage([&] { s.Commit(false); }),
            "Database is not within a transaction. Cannot perform operation - Native error: 20229");
  EXPECT_EQ(RaisedCode([&] { s.Rollback(); }), 20229);
  s.StartTransaction();
  s.Commit(true);
  EXPECT_FALSE(s.InTransaction);
  s.StartTransaction();
  s.Rollback();
  EXPECT_EQ(RaisedCode([&] { s.Rollback(); }), 20229);
}

}  // namespace
