// The stream form of field, index and constraint definitions: byte-exact
// layouts, round trips of every type and option, a stream cut at every
// position naming the field that was cut, and damaged counts and names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/core/VLMTypesDefs.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace {

using namespace schema_test;

// ------------------------------------------------------------ the model
//
// An independent description of the stream form: the pieces of a stream in
// order, each with its byte count and the code that reading it raises when
// the stream ends inside it (or right before it).

struct Piece {
  int64_t Size;
  int32_t Code;
};

class FormMap {
public:
  void Add(int64_t size, int32_t code) {
    if (size > 0) Pieces_.push_back({size, code});
  }
  int64_t Total() const {
    int64_t t = 0;
    for (const Piece& p : Pieces_) t += p.Size;
    return t;
  }
  int32_t CodeAt(int64_t position) const {
    for (const Piece& p : Pieces_) {
      if (position < p.Size) return p.Code;
      position -= p.Size;
    }
    return 0;
  }

  void Head(const TVLMMetaObjectDef& d) {
    Add(1, 10166);
    Add(static_cast<int64_t>(d.Name.size()), 10167);
    Add(4, 10169);
  }
  // A value's own form; a cut inside its bytes contradicts its size field.
  void Value(const TVLMVariant& v) {
    Add(1, 10183);
    Add(1, 10184);
    if (v.IsNull()) return;
    Add(4, 10185);
    Add(v.DataSize, 10185);
  }
  void Field(const TVLMFieldDef& f) {
    Head(f);
    Add(1, 10187);
    Add(1, 10188);
    Add(4, 10189);
    if (VLMIsBLOBBaseType(f.BaseType)) {
      Add(1, 10192);
      Add(1, 10193);
      Add(4, 10194);
    }
    for (int32_t code : {30407, 30408, 30409, 30410}) Add(8, code);
    Add(1, 30411);
    Value(f.DefaultValue);
  }
  void Index(const TVLMIndexDef& d) {
    Head(d);
    for (int32_t code : {10349, 10350, 10351}) Add(1, code);
    Add(4, 10352);
    Add(4, 10353);
    for (const auto& c : d.Columns) {
      Add(1, 10358);
      Add(static_cast<int64_t>(c->Name.size() % 256), 10359);
      Add(1, 10360);
      Add(1, 10361);
      Add(4, 20168);
    }
  }
  void ByteName(const std::string& s, int32_t countCode, int32_t bytesCode) {
    Add(1, countCode);
    Add(static_cast<int64_t>(s.size()) + 1, bytesCode);
  }
  void IntName(const std::string& s, int32_t countCode, int32_t bytesCode) {
    Add(4, countCode);
    Add(static_cast<int64_t>(s.size()) + 1, bytesCode);
  }
  void Constraint(const TVLMConstraintDef& c) {
    Add(1, 10220);
    Head(c);
    if (c.Kind == kVLMConstraintNotNull) {
      for (int32_t code : {10249, 10250, 10251}) Add(4, code);
      ByteName(c.RefName1, 10252, 10253);
      ByteName(c.TableName, 10254, 10255);
      ByteName(c.TargetName, 10256, 10257);
    } else if (c.Kind == kVLMConstraintCheck) {
      for (int32_t code : {10230, 10231, 10232}) Add(4, code);
      ByteName(c.RefName1, 10233, 10234);
      ByteName(c.TableName, 10235, 10236);
      ByteName(c.TargetName, 10237, 10238);
      const auto& check = static_cast<const TVLMConstraintDefCheck&>(c);
      Value(check.MinValue);
      Value(check.MaxValue);
    } else {
      for (int32_t code : {30303, 30304, 30317}) Add(4, code);
      IntName(c.RefName1, 30305, 30306);
      IntName(c.TableName, 30307, 30308);
      IntName(c.TargetName, 30321, 30322);
      const auto& unique = static_cast<const TVLMConstraintDefUnique&>(c);
      Add(4, 30309);
      for (const auto& col : unique.Columns) {
        Add(4, 30310);
        IntName(col.FieldName, 30311, 30312);
      }
    }
  }

private:
  std::vector<Piece> Pieces_;
};

// --------------------------------------------------------- sample schema

// One field of every SQL type, with defaults, BLOB options and sequence
// options that differ from field to field.
void FillEveryType(TVLMFieldDefs& defs) {
  for (TVLMDataType dt = 1; dt <= 36; ++dt) {
    TVLMFieldDef* f = defs.AddFieldDef();
    f->Name = "F" + std::to_string(dt);
    f->ObjectID = 100 + dt;
    f->SetDataType(dt, VLMIsSizedDataType(dt) ? 10 + dt : 0);
    f->Increment = dt;
    f->InitialValue = -dt;
    f->MinValue = 3 * dt;
    f->MaxValue = dt % 2 ? INT64_MAX : 1000 + dt;
    f->Cycled = dt % 3 == 0;
    if (VLMIsBLOBBaseType(f->BaseType)) {
      f->BlobCompressionAlgorithm = static_cast<uint8_t>(dt % 4);
      f->BlobCompressionMode = 9;
      f->BlobBlockSize = 4096 * dt;
    }
    switch (dt) {
      case dtChar: f->DefaultValue.SetAsString("abc"); break;
      case dtWideString: f->DefaultValue.SetAsWideString(u"wide"); break;
      case dtInteger: f->DefaultValue.SetAsInteger(-5); break;
      case dtFloat: f->DefaultValue.SetAsDouble(2.5); break;
      case dtDate: f->DefaultValue.SetAsDate(738000); break;
      default: break;
    }
  }
}

void FillIndexes(TVLMIndexDefs& defs) {
  TVLMIndexDef* pk = defs.AddIndexDef();
  pk->Name = "PrimeIndex";
  pk->ObjectID = 7;
  pk->Primary = true;
  pk->Unique = true;
  pk->RootPageNo = 12;
  pk->SetColumns(List({"Call", "QSODate"}), List({"ASC", "DESC"}), List({"NO_CASE", "CASE"}));
  TVLMIndexDef* temp = defs.AddIndexDef();
  temp->Name = "TEMPORARY_INDEX_1";
  temp->Temporary = true;
  temp->SessionID = 3;
  temp->SetColumns(List({"Mode"}), List({""}), List({""}));
  TVLMIndexDef* other = defs.AddIndexDef();
  other->Name = "ByFreq";
  other->Kind = 5;
  other->ObjectID = 9;
  other->SetColumnCount(1);
  other->Columns[0]->Name = std::string(300, 'x');  // stored modulo 256: 44 bytes
  other->Columns[0]->LengthLimit = -3;
}

void FillConstraints(TVLMConstraintDefs& defs) {
  TVLMConstraintDefNotNull* nn = defs.AddNotNull();
  nn->Name = "$C_NotNull$Log$Call";
  nn->ObjectID = 21;
  nn->TableName = "Log";
  nn->TableID = 4;
  nn->TargetName = std::string(254, 'n');  // the longest name the form holds
  nn->TargetID = 8;
  nn->RefID1 = -2;
  TVLMConstraintDefCheck* ck = defs.AddCheck();
  ck->Name = "Points range";
  ck->RefName1 = "r";
  ck->TableName = "Log";
  ck->TargetName = "Points";
  ck->MaxValue.SetAsInteger(100);
  TVLMConstraintDefCheck* ck2 = defs.AddCheck();
  ck2->TargetName = "Freq";
  ck2->MinValue.SetAsDouble(1.8);
  ck2->MaxValue.SetAsString("z");
  TVLMConstraintDefUnique* uq = defs.AddUnique();
  uq->Name = std::string(255, 'u');
  uq->TargetName = "ByCall";
  uq->TargetID = 11;
  uq->Columns = {{"Call", 3}, {"", -1}, {std::string(255, 'c'), 4}};
  TVLMConstraintDefPrimary* pk = defs.AddPrimary();
  pk->Name = "C_PK$ID";
  pk->TableName = "Log";
  pk->Columns = {{"ID", 1}};
}

// ------------------------------------------------------------------ tests

TEST(DefinitionStream, NewFieldDefinitionDefaults) {
  TVLMFieldDef f;
  EXPECT_EQ(f.ObjectID, -1);
  EXPECT_EQ(f.Increment, 1);
  EXPECT_EQ(f.InitialValue, 0);
  EXPECT_EQ(f.MinValue, 0);
  EXPECT_EQ(f.MaxValue, INT64_MAX);
  EXPECT_FALSE(f.Cycled);
  EXPECT_EQ(f.BlobBlockSize, 102400);
  EXPECT_TRUE(f.DefaultValue.IsNull());
  EXPECT_EQ(f.DefaultExpression, nullptr);
  TVLMIndexDef i;
  EXPECT_EQ(i.RootPageNo, -1);
  EXPECT_EQ(i.SessionID, -1);
  EXPECT_FALSE(i.Temporary);
}

TEST(DefinitionStream, ByteExactForms) {
  TVLMFieldDef f;
  f.Name = "ID";
  f.ObjectID = 7;
  f.SetDataType(dtInteger, 0);
  const std::vector<uint8_t> field = {
      2, 'I', 'D', 7, 0, 0, 0,  // head
      7, 7, 0, 0, 0, 0,         // base type, SQL type, size
      1, 0, 0, 0, 0, 0, 0, 0,   // Increment
      0, 0, 0, 0, 0, 0, 0, 0,   // InitialValue
      0, 0, 0, 0, 0, 0, 0, 0,   // MinValue
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,  // MaxValue
      0,                                               // Cycled
      0, 0xFF};                                        // default: untyped null
  EXPECT_EQ(Saved(f), field);

  TVLMIndexDef pk;
  pk.Name = "PK";
  pk.ObjectID = 3;
  pk.Unique = pk.Primary = true;
  pk.SetColumns(List({"ID"}), List({"DESC"}), List({"CASE"}));
  const std::vector<uint8_t> index = {2, 'P', 'K', 3, 0, 0, 0,  0,   1,    1, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                      2, 'I', 'D', 0xFF, 0, 20, 0, 0, 0};
  EXPECT_EQ(Saved(pk), index);

  TVLMConstraintDefs constraints;
  TVLMConstraintDefNotNull* nn = constraints.AddNotNull();
  nn->Name = "N";
  nn->ObjectID = 5;
  nn->TableName = "Log";
  nn->TableID = 9;
  nn->TargetName = "ID";
  nn->TargetID = 7;
  TVLMConstraintDefUnique* uq = constraints.AddUnique();
  uq->Name = "U";
  uq->ObjectID = 6;
  uq->TableName = "Log";
  uq->TableID = 9;
  uq->TargetName = "PK";
  uq->TargetID = 3;
  uq->Columns = {{"ID", 7}};
  const std::vector<uint8_t> list = {
      2, 0, 0, 0,                                          // count
      3, 1, 'N', 5, 0, 0, 0,                               // kind, head
      0, 0, 0, 0, 9, 0, 0, 0, 7, 0, 0, 0,                  // RefID1, TableID, TargetID
      1, 0, 4, 3, 'L', 'o', 'g', 3, 2, 'I', 'D',           // byte-counted names
      2, 1, 'U', 6, 0, 0, 0,                               // kind, head
      0, 0, 0, 0, 9, 0, 0, 0, 3, 0, 0, 0,                  // RefID1, TableID, TargetID
      1, 0, 0, 0, 0, 4, 0, 0, 0, 3, 'L', 'o', 'g',         // RefName1, TableName
      3, 0, 0, 0, 2, 'P', 'K',                             // TargetName
      1, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 2, 'I', 'D'};    // one column
  EXPECT_EQ(Saved(constraints), list);
}

TEST(DefinitionStream, BlobOptionsOnlyForBlobBaseTypes) {
  TVLMFieldDef memo, text;
  memo.SetDataType(dtMemo, 0);
  text.SetDataType(dtInteger, 0);
  memo.Name = text.Name = "Notes";
  EXPECT_EQ(Saved(memo).size(), Saved(text).size() + 6);
  EXPECT_EQ(memo.SizeInRecord, 6);
  EXPECT_EQ(memo.DataSize, 10);
}

TEST(DefinitionStream, FieldsOfEveryTypeRoundTrip) {
  // The form holds every stored member, so saving what was loaded gives the
  // same bytes exactly when every member came back.
  TVLMFieldDefs defs;
  FillEveryType(defs);
  const std::vector<uint8_t> bytes = Saved(defs);
  TVLMFieldDefs back;
  back.LoadFromStream(*StreamOf(bytes));
  ASSERT_EQ(back.GetCount(), 36);
  EXPECT_EQ(back.LoadedCount(), 36);
  EXPECT_EQ(Saved(back), bytes);
  const TVLMFieldDef& wide = *back.GetFieldDef(dtWideString - 1);
  EXPECT_EQ(wide.DataSize, 2 * (10 + dtWideString + 1));  // sizes are recomputed
  EXPECT_EQ(wide.DefaultValue.GetAsWideString(), u"wide");
  EXPECT_EQ(back.GetFieldDef(dtBLOB - 1)->BlobBlockSize, 4096 * dtBLOB);
}

TEST(DefinitionStream, IndexesRoundTripWithoutTemporaryOnes) {
  TVLMIndexDefs defs;
  FillIndexes(defs);
  const std::vector<uint8_t> bytes = Saved(defs);
  EXPECT_EQ(bytes[0], 2);  // the temporary index is not counted
  TVLMIndexDefs back;
  back.LoadFromStream(*StreamOf(bytes));
  ASSERT_EQ(back.GetCount(), 2);
  EXPECT_EQ(back.FindIndexDef("TEMPORARY_INDEX_1"), nullptr);
  const TVLMIndexDef& pk = *back.GetIndexDef(0);
  EXPECT_TRUE(pk.Primary && pk.Unique && !pk.Temporary);
  EXPECT_TRUE(pk.GetColumn(0).CaseInsensitive && pk.GetColumn(1).Descending);
  EXPECT_EQ(back.GetIndexDef(1)->GetColumn(0).Name, std::string(44, 'x'));
  EXPECT_EQ(Saved(back), bytes);
}

TEST(DefinitionStream, ConstraintsOfEveryKindRoundTrip) {
  TVLMConstraintDefs defs;
  FillConstraints(defs);
  const std::vector<uint8_t> bytes = Saved(defs);
  TVLMConstraintDefs back;
  back.LoadFromStream(*StreamOf(bytes));
  ASSERT_EQ(back.GetCount(), 5);
  const uint8_t kinds[] = {3, 4, 4, 2, 0};
  for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(back.GetConstraintDef(i)->Kind, kinds[i]);
  EXPECT_NE(dynamic_cast<TVLMConstraintDefPrimary*>(back.GetConstraintDef(4)), nullptr);
  const auto& check = static_cast<TVLMConstraintDefCheck&>(*back.GetConstraintDef(1));
  EXPECT_TRUE(check.MinValue.IsNull());
  EXPECT_EQ(check.MaxValue.GetAsInteger(), 100);
  EXPECT_EQ(back.GetConstraintDef(0)->TargetName, std::string(254, 'n'));
  EXPECT_EQ(back.GetConstraintDef(3)->Name, std::string(255, 'u'));
  EXPECT_EQ(Saved(back), bytes);
}

TEST(DefinitionStream, NotNullNameOf255CharactersIsCutTo254) {
  TVLMConstraintDefNotNull nn;
  nn.TargetName = std::string(255, 'a');
  TVLMConstraintDefNotNull back;
  back.LoadFromStream(*StreamOf(Saved(nn)));
  EXPECT_EQ(back.TargetName, std::string(254, 'a'));
}

// Every prefix of a valid stream raises the read code of the field it cuts.
template <class List>
void ExpectCutsNameTheirField(const List& defs, const FormMap& map) {
  const std::vector<uint8_t> bytes = Saved(defs);
  ASSERT_EQ(map.Total(), static_cast<int64_t>(bytes.size())) << "the model disagrees with the stream";
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    List back;
    auto s = StreamOf(bytes, cut);
    ASSERT_EQ(RaisedCode([&] { back.LoadFromStream(*s); }), map.CodeAt(static_cast<int64_t>(cut)))
        << "stream cut after " << cut << " of " << bytes.size() << " bytes";
  }
}

TEST(DefinitionStream, CutFieldStreamNamesTheField) {
  TVLMFieldDefs defs;
  FillEveryType(defs);
  FormMap map;
  map.Add(4, 10159);
  for (int32_t i = 0; i < defs.GetCount(); ++i) map.Field(*defs.GetFieldDef(i));
  ExpectCutsNameTheirField(defs, map);
}

TEST(DefinitionStream, CutIndexStreamNamesTheField) {
  TVLMIndexDefs defs;
  FillIndexes(defs);
  FormMap map;
  map.Add(4, 10159);
  for (int32_t i = 0; i < defs.GetCount(); ++i)
    if (!defs.GetIndexDef(i)->Temporary) map.Index(*defs.GetIndexDef(i));
  ExpectCutsNameTheirField(defs, map);
}

TEST(DefinitionStream, CutConstraintStreamNamesTheField) {
  TVLMConstraintDefs defs;
  FillConstraints(defs);
  FormMap map;
  map.Add(4, 10159);
  for (int32_t i = 0; i < defs.GetCount(); ++i) map.Constraint(*defs.GetConstraintDef(i));
  ExpectCutsNameTheirField(defs, map);
}

TEST(DefinitionStream, CutStreamKeepsTheItemsReadSoFar) {
  TVLMFieldDefs defs;
  FillEveryType(defs);
  const std::vector<uint8_t> bytes = Saved(defs);
  const size_t firstItemEnd = 4 + Saved(*defs.GetFieldDef(0)).size();  // list count + first item
  TVLMFieldDefs back;
  auto s = StreamOf(bytes, firstItemEnd + 3);
  EXPECT_NE(RaisedCode([&] { back.LoadFromStream(*s); }), 0);
  EXPECT_EQ(back.GetCount(), 1);
  EXPECT_EQ(back.LoadedCount(), 36);
}

TEST(DefinitionStream, UnknownConstraintKindIsRefused) {
  for (uint8_t kind : {1, 5, 255}) {
    const std::vector<uint8_t> bytes = {1, 0, 0, 0, kind, 0, 0, 0, 0, 0};
    TVLMConstraintDefs back;
    auto s = StreamOf(bytes);
    EXPECT_EQ(RaisedCode([&] { back.LoadFromStream(*s); }), 30316);
  }
  TVLMConstraintDefs back;
  auto s = StreamOf({1, 0, 0, 0, 1});
  EXPECT_EQ(RaisedMessage([&] { back.LoadFromStream(*s); }),
            "Unknown Constraint Type: '1' - Native error: 30316");
}

TEST(DefinitionStream, DamagedCountsAndNamesAreRefused) {
  struct Case {
    const char* What;
    std::vector<uint8_t> Bytes;
    int32_t Code;
  };
  const std::vector<Case> fieldCases = {
      {"negative count", {0xFF, 0xFF, 0xFF, 0xFF}, 10159},
      // A count of 2^31-1 runs into the end of the stream at the first item.
      {"huge count", {0xFF, 0xFF, 0xFF, 0x7F}, 10166},
      {"negative CHAR size", {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xFE, 0xFF, 0xFF, 0xFF}, 10189},
      {"WIDECHAR beyond a record", {1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 0xF0, 0xFF, 0xFF, 0x7F}, 10189},
  };
  for (const Case& c : fieldCases) {
    TVLMFieldDefs back;
    auto s = StreamOf(c.Bytes);
    EXPECT_EQ(RaisedCode([&] { back.LoadFromStream(*s); }), c.Code) << c.What;
    EXPECT_EQ(back.GetCount(), 0) << c.What;
  }

  TVLMIndexDefs indexes;
  auto negativeColumns = StreamOf({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  EXPECT_EQ(RaisedCode([&] { indexes.LoadFromStream(*negativeColumns); }), 10352);
  auto hugeColumns = StreamOf({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0});
  EXPECT_EQ(RaisedCode([&] { indexes.LoadFromStream(*hugeColumns); }), 10358);

  // Constraint list of one item of the given kind, empty head, zero IDs,
  // then the bytes given.
  auto constraint = [](uint8_t kind, std::vector<uint8_t> rest) {
    std::vector<uint8_t> b = {1, 0, 0, 0, kind};
    b.insert(b.end(), 1 + 4 + 12, 0);  // empty name, ObjectID, three IDs
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  };
  const std::vector<Case> constraintCases = {
      {"unique name count 0", constraint(2, {0, 0, 0, 0}), 30305},
      {"unique name count 257", constraint(2, {1, 1, 0, 0}), 30305},
      {"unique negative name count", constraint(2, {0xFF, 0xFF, 0xFF, 0xFF}), 30305},
      {"unique length byte differs", constraint(2, {3, 0, 0, 0, 5, 'a', 'b'}), 30306},
      {"unique negative column count",
       constraint(0, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), 30309},
      {"unique column name count 0",
       constraint(0, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0}), 30311},
      {"not null name count 0", constraint(3, {0}), 10252},
      {"not null length byte differs", constraint(3, {2, 0, 'x'}), 10253},
      {"check length byte differs", constraint(4, {1, 0, 1, 0, 2, 7, 'x'}), 10238},
  };
  for (const Case& c : constraintCases) {
    TVLMConstraintDefs back;
    auto s = StreamOf(c.Bytes);
    EXPECT_EQ(RaisedCode([&] { back.LoadFromStream(*s); }), c.Code) << c.What;
  }
}

TEST(DefinitionStream, LoadingParsesAnExpressionDefault) {
  FakeExpressionServices services;
  {
    TVLMFieldDef f;
    f.SetDataType(dtDate, 0);
    f.DefaultValue.SetAsString("=CURRENT_DATE");
    TVLMFieldDef back;
    back.LoadFromStream(*StreamOf(Saved(f)));
    ASSERT_NE(back.DefaultExpression, nullptr);
    EXPECT_EQ(AsFake(back.DefaultExpression.get())->Text, "=CURRENT_DATE");
    // A plain default holds no expression; reloading drops the old one.
    f.DefaultValue.SetAsString("plain");
    back.LoadFromStream(*StreamOf(Saved(f)));
    EXPECT_EQ(back.DefaultExpression, nullptr);
    EXPECT_EQ(FakeExpression::Live, 0);
    f.DefaultValue.SetAsString("=1+1");
    back.Assign(f);
    EXPECT_NE(back.DefaultExpression, nullptr);
    EXPECT_EQ(FakeExpression::Live, 1);
  }
  EXPECT_EQ(FakeExpression::Live, 0);
}

}  // namespace
