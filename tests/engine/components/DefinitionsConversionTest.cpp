// The extended definitions and the conversions between the dataset layer's,
// the extended and the engine's definitions.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/EngineErrors.h"
#include "engine/components/VLMMain.h"
#include "platform/dataset/Defs.h"
#include "support/TestBudget.h"

namespace {

using qv::test::RaisedCode;
using namespace qv;

std::string Columns(const TVLMIndexDef& def) {
  std::string s;
  for (int32_t i = 0; i < def.GetColumnCount(); ++i) {
    const TVLMIndexColumn& c = def.GetColumn(i);
    s += (i ? " " : "") + c.Name + (c.Descending ? "/D" : "") + (c.CaseInsensitive ? "/I" : "") + ":" +
         std::to_string(c.LengthLimit);
  }
  return s;
}

class DefinitionConversion : public ::testing::Test {
protected:
  void SetUp() override {
    host.Add("ID", ftAutoInc);
    host.Add("CALL", ftString, 12);
    host.Add("Freq", ftFloat);
  }
  TVLMAdvIndexDef Index(std::string fields, std::string desc = "", uint8_t options = 0, std::string lengths = "") {
    TVLMAdvIndexDef def;
    def.Name = "ByCall";
    def.Fields = std::move(fields);
    def.DescFields = std::move(desc);
    def.Options = options;
    def.ColumnLengths = std::move(lengths);
    return def;
  }
  std::string ToEngine(const TVLMAdvIndexDef& adv) {
    TVLMIndexDef def;
    VLMAdvIndexDefToEngine(adv, def, host);
    return Columns(def);
  }
  FieldDefs host;
};

TEST_F(DefinitionConversion, EveryHostTypeOfTheTypeTableRoundTripsThroughExtendedAndEngine) {
  struct Row {
    TFieldType type;
    int32_t size;
    TVLMDataType dataType;
    TFieldType back;
    int32_t sizeBack;
  };
  const Row rows[] = {
      {ftFixedChar, 8, dtChar, ftFixedChar, 8},        {ftString, 30, dtString, ftString, 30},
      {ftWideString, 5, dtWideChar, ftWideString, 5},  {ftSmallint, 0, dtSmallInt, ftSmallint, 0},
      {ftInteger, 0, dtInteger, ftInteger, 0},         {ftLargeint, 0, dtLargeInt, ftLargeint, 0},
      {ftWord, 0, dtWord, ftWord, 0},                  {ftAutoInc, 0, dtAutoinc, ftAutoInc, 0},
      {ftFloat, 0, dtFloat, ftFloat, 0},               {ftBCD, 0, dtFloat, ftFloat, 0},
      {ftBoolean, 0, dtLogical, ftBoolean, 0},         {ftCurrency, 0, dtCurrency, ftCurrency, 0},
      {ftDate, 0, dtDate, ftDate, 0},                  {ftTime, 0, dtTime, ftTime, 0},
      {ftDateTime, 0, dtDateTime, ftDateTime, 0},      {ftUnknown, 0, dtTimeStamp, ftDateTime, 0},
      {ftBytes, 16, dtBytes, ftBytes, 16},             {ftVarBytes, 16, dtVarBytes, ftVarBytes, 16},
      {ftBlob, 0, dtBLOB, ftBlob, 0},                  {ftParadoxOle, 0, dtBLOB, ftBlob, 0},
      {ftTypedBinary, 0, dtBLOB, ftBlob, 0},           {ftDBaseOle, 0, dtBLOB, ftBlob, 0},
      {ftOraBlob, 0, dtBLOB, ftBlob, 0},               {ftOraClob, 0, dtBLOB, ftBlob, 0},
      {ftGraphic, 0, dtGraphic, ftGraphic, 0},         {ftMemo, 0, dtMemo, ftMemo, 0},
      {ftFmtMemo, 0, dtFormattedMemo, ftFmtMemo, 0},   {ftGuid, 38, dtGUID, ftGuid, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    FieldDefs source;
    source.Add("F", row.type, row.size, true);
    TVLMAdvFieldDefs adv;
    VLMFieldDefsToAdvFieldDefs(source, adv);
    EXPECT_EQ(adv.GetItem(0)->DataType, row.dataType);
    TVLMFieldDefs engine;
    TVLMConstraintDefs constraints;
    VLMAdvFieldDefsToEngine(adv, engine, constraints, TVLMIndexDefs(), false);
    engine.GetFieldDef(0)->ObjectID = 1;  // as the table gives it
    constraints.GetConstraintDef(0)->TargetID = 1;
    FieldDefs back;
    VLMEngineToFieldDefs(engine, constraints, back);
    EXPECT_EQ(back[0]->DataType(), row.back);
    EXPECT_EQ(back[0]->Size(), row.sizeBack);
    EXPECT_EQ(back[0]->Required(), row.type != ftAutoInc);
    // The direct conversion agrees; GUID has size 0 outside the engine.
    TVLMFieldDefs direct;
    VLMFieldDefsToEngine(source, direct);
    EXPECT_EQ(direct.GetFieldDef(0)->DataType, row.dataType);
    VLMEngineToAdvFieldDefs(direct, TVLMConstraintDefs(), adv);
    EXPECT_EQ(adv.GetItem(0)->Size, row.sizeBack);
  }
  FieldDefs unknown;
  unknown.Add("V", ftVariant);
  TVLMAdvFieldDefs adv;
  EXPECT_EQ(RaisedCode([&] { VLMFieldDefsToAdvFieldDefs(unknown, adv); }), 30289);
}

TEST_F(DefinitionConversion, FieldOptionsConstraintsAndLookups) {
  TVLMAdvFieldDefs adv;
  TVLMAdvFieldDef* points = adv.Add();
  points->Name = "Points";
  points->DataType = dtInteger;
  points->Required = true;
  points->MinValue.SetAsInteger(0);
  points->BlobBlockSize = 0;
  TVLMAdvFieldDef* notes = adv.Add();
  notes->Name = "Notes";
  notes->DataType = dtMemo;
  notes->BlobCompressionAlgorithm = 2;

  TVLMFieldDefs engine;
  TVLMConstraintDefs constraints;
  VLMAdvFieldDefsToEngine(adv, engine, constraints, TVLMIndexDefs(), true);
  EXPECT_EQ(constraints.GetCount(), 0);
  VLMAdvFieldDefsToEngine(adv, engine, constraints, TVLMIndexDefs(), false);
  ASSERT_EQ(constraints.GetCount(), 2);
  EXPECT_EQ(constraints.GetConstraintDef(0)->Kind, kVLMConstraintNotNull);
  EXPECT_EQ(constraints.GetConstraintDef(1)->TargetName, "Points");  // the CHECK
  EXPECT_EQ(engine.GetFieldDef(0)->BlobBlockSize, kVLMDefaultBlobBlockSize);

  // Back from the engine once the table has given the IDs.
  engine.GetFieldDef(0)->ObjectID = 7;
  engine.GetFieldDef(1)->ObjectID = 8;
  engine.GetFieldDef(1)->BlobCompressionAlgorithm = 9;  // unknown: none
  constraints.GetConstraintDef(0)->TargetID = 7;
  constraints.GetConstraintDef(1)->TargetID = 7;
  TVLMAdvFieldDefs again;
  VLMEngineToAdvFieldDefs(engine, constraints, again);
  EXPECT_TRUE(again.GetItem(0)->Required);
  EXPECT_EQ(again.GetItem(0)->MinValue.GetAsInteger(), 0);
  EXPECT_TRUE(again.GetItem(0)->MaxValue.IsNull());
  EXPECT_EQ(again.GetItem(1)->BlobCompressionAlgorithm, 0);
  constraints.GetConstraintDef(0)->TargetID = 99;
  EXPECT_EQ(RaisedCode([&] { VLMEngineToAdvFieldDefs(engine, constraints, again); }), 30032);
  constraints.GetConstraintDef(0)->TargetID = 7;
  constraints.GetConstraintDef(1)->TargetID = 99;
  EXPECT_EQ(RaisedCode([&] { VLMEngineToAdvFieldDefs(engine, constraints, again); }), 30031);

  EXPECT_EQ(adv.Find("POINTS"), points);
  EXPECT_EQ(adv.Find("Call"), nullptr);
  adv.DeleteByName("notes");
  EXPECT_EQ(adv.GetCount(), 1);
  EXPECT_EQ(RaisedCode([&] { adv.DeleteByName("Notes"); }), 30349);
  EXPECT_TRUE(VLMFieldDefsHasName(host, "call"));
  EXPECT_FALSE(VLMFieldDefsHasName(host, "Mode"));
}

TEST_F(DefinitionConversion, IndexColumnsFromTheExtendedIndex) {
  struct Row {
    TVLMAdvIndexDef adv;
    const char* columns;
  };
  const Row rows[] = {
      {Index("ID;CALL"), "ID:20 CALL:20"},
      {Index("ID,CALL", "call"), "ID:20 CALL/D:20"},
      {Index("ID;CALL;Freq", "", ixDescending), "ID/D:20 CALL/D:20 Freq/D:20"},
      {Index("ID;CALL", "CALL", ixDescending), "ID:20 CALL/D:20"},
      {Index("ID ; CALL ; Freq", "", 0, "10;;30"), "ID:10 CALL:20 Freq:30"},
      {Index("ID,CALL", "", 0, "8,9,10"), "ID:8 CALL:9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.adv.Fields);
    EXPECT_EQ(ToEngine(row.adv), row.columns);
  }
  TVLMAdvIndexDef caseIns = Index("CALL;Freq");
  caseIns.Options = ixCaseInsensitive | ixUnique | ixPrimary;
  caseIns.Temporary = true;
  TVLMIndexDef def;
  VLMAdvIndexDefToEngine(caseIns, def, host);
  EXPECT_EQ(Columns(def), "CALL/I:20 Freq/I:20");
  EXPECT_TRUE(def.Unique && def.Primary && def.Temporary);

  TVLMAdvIndexDef back;
  VLMEngineIndexDefToAdv(def, back);
  EXPECT_EQ(back.Fields + "|" + back.DescFields + "|" + back.CaseInsFields + "|" + back.ColumnLengths,
            "CALL;Freq||CALL;Freq|20;20");
  EXPECT_TRUE(back.Options == (ixUnique | ixPrimary) && back.Temporary);

  struct Bad {
    TVLMAdvIndexDef adv;
    int32_t code;
  };
  TVLMAdvIndexDef unnamed = Index("ID");
  unnamed.Name.clear();
  const Bad bad[] = {
      {unnamed, 20048}, {Index(""), 20049}, {Index("ID;Mode"), 20050},
      {Index("ID;;CALL"), 20050}, {Index("ID", "", 0, "ten"), 20430}, {Index("ID", "", 0, "99999999999"), 20430},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.adv.Fields + "|" + b.adv.ColumnLengths);
    EXPECT_EQ(RaisedCode([&] { ToEngine(b.adv); }), b.code);
  }
}

TEST_F(DefinitionConversion, IndexListsBetweenHostExtendedAndEngine) {
  IndexDefs hostIndexes;
  hostIndexes.Add("PrimeIndex", "ID", ixPrimary | ixUnique);
  IndexDef* byCall = hostIndexes.Add("ByCall", "CALL;Freq", 0);
  byCall->SetDescFields(" call;freq ");
  TVLMAdvIndexDefs adv;
  VLMIndexDefsToAdvIndexDefs(hostIndexes, adv);
  ASSERT_EQ(adv.GetCount(), 2);
  EXPECT_EQ(adv.GetItem(1)->DescFields, " call;freq ");

  TVLMIndexDefs engine;
  VLMAdvIndexDefsToEngine(adv, host, engine);
  EXPECT_EQ(Columns(*engine.GetIndexDef(1)), "CALL/D:20 Freq/D:20");
  // A descending list that names every field makes the whole index
  // descending on the host side.
  IndexDefs back;
  VLMAdvIndexDefsToIndexDefs(adv, back);
  EXPECT_EQ(back[0]->Options(), ixPrimary | ixUnique);
  EXPECT_EQ(back[1]->Options(), ixDescending);
  EXPECT_EQ(back[1]->DescFields(), " call;freq ");

  // The primary and unique indexes imply their key constraints, named after
  // their columns, also when the fields bring no constraints of their own.
  TVLMAdvIndexDef* unique = adv.Add();
  unique->Name = "U";
  unique->Fields = "ID,CALL";
  unique->Options = ixUnique;
  VLMAdvIndexDefsToEngine(adv, host, engine);
  TVLMAdvFieldDefs fields;
  VLMFieldDefsToAdvFieldDefs(host, fields);
  TVLMFieldDefs engineFields;
  TVLMConstraintDefs constraints;
  VLMAdvFieldDefsToEngine(fields, engineFields, constraints, engine, true);
  ASSERT_EQ(constraints.GetCount(), 2);
  EXPECT_EQ(constraints.GetConstraintDef(0)->Name, "C_PK$ID");
  EXPECT_EQ(constraints.GetConstraintDef(1)->Name, "C_Unique$ID$CALL");
}

TEST(AdvIndexDefs, AssignSkippingTemporaryDropsFlaggedAndNamedIndexes) {
  TVLMAdvIndexDefs source;
  for (const char* name : {"PrimeIndex", "TEMPORARY_INDEX_{1}", "myTemporaryOne", "ByCall", "Flagged"}) {
    TVLMAdvIndexDef* def = source.Add();
    def->Name = name;
    def->Fields = "CALL";
    def->Temporary = std::string(name) == "Flagged";
  }
  TVLMAdvIndexDefs all;
  all.Assign(source, false);
  EXPECT_EQ(all.GetCount(), 5);
  TVLMAdvIndexDefs kept;
  kept.Assign(source, true);
  ASSERT_EQ(kept.GetCount(), 2);
  EXPECT_EQ(kept.GetItem(0)->Name, "PrimeIndex");
  EXPECT_EQ(kept.GetItem(1)->Name, "ByCall");
  all.Assign(all, true);
  EXPECT_EQ(all.GetCount(), 2);
}

// Random field lists and column lengths: an engine error or a valid index,
// never anything else.
TEST_F(DefinitionConversion, RandomIndexTextsRaiseOnlyEngineErrors) {
  const std::vector<std::string> pieces = {"ID", "CALL", "call", "Freq", "Mode", "", " ", ",", ";", ";;",
                                           "10", "-3", "0", "x", "2147483648", "\xD8", std::string(300, 'A')};
  std::mt19937 rng(2804);
  auto text = [&] {
    std::string s;
    const int n = static_cast<int>(rng() % 8);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()] + (rng() % 2 ? ";" : ",");
    if (rng() % 2 && !s.empty()) s.pop_back();
    return s;
  };
  qv::test::TestBudget budget(20, 1000);
  uint64_t built = 0;
  for (uint64_t i = 0; budget.Continue(i); ++i) {
    TVLMAdvIndexDef adv = Index(text(), text(), static_cast<uint8_t>(rng()), text());
    adv.CaseInsFields = text();
    TVLMIndexDef def;
    try {
      VLMAdvIndexDefToEngine(adv, def, host);
      ++built;
      for (int32_t c = 0; c < def.GetColumnCount(); ++c)
        ASSERT_TRUE(VLMFieldDefsHasName(host, def.GetColumn(c).Name));
      TVLMAdvIndexDef back;
      VLMEngineIndexDefToAdv(def, back);
      TVLMIndexDef again;
      VLMAdvIndexDefToEngine(back, again, host);
      ASSERT_EQ(Columns(again), Columns(def));
    } catch (const EVLMException&) {
    }
  }
  EXPECT_GT(built, 0u);
}

}  // namespace
