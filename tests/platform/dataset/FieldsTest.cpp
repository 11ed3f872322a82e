// Field objects: classes per type, record-buffer forms, conversions and their
// error texts, calculated and lookup fields, BLOBs, binding.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/dataset/DatabaseError.h"
#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"
#include "tests/platform/dataset/DataSetTestUtil.h"

namespace {

using qvtest::ErrorOf;

class FieldFixture : public ::testing::Test {
protected:
  void SetUp() override {
    qv::FieldDefs& defs = table_.GetFieldDefs();
    defs.Add("S", qv::ftString, 5);
    defs.Add("FC", qv::ftFixedChar, 4);
    defs.Add("W", qv::ftWideString, 5);
    defs.Add("SI", qv::ftSmallint);
    defs.Add("I", qv::ftInteger);
    defs.Add("WD", qv::ftWord);
    defs.Add("AI", qv::ftAutoInc);
    defs.Add("LI", qv::ftLargeint);
    defs.Add("F", qv::ftFloat);
    defs.Add("C", qv::ftCurrency);
    defs.Add("B", qv::ftBoolean);
    defs.Add("D", qv::ftDate);
    defs.Add("T", qv::ftTime);
    defs.Add("DT", qv::ftDateTime);
    defs.Add("BY", qv::ftBytes, 4);
    defs.Add("VB", qv::ftVarBytes, 4);
    defs.Add("BL", qv::ftBlob);
    defs.Add("M", qv::ftMemo);
    defs.Add("G", qv::ftGraphic);
    defs.Add("FM", qv::ftFmtMemo);
    defs.Add("GU", qv::ftGuid);
    defs.Add("X", qv::ftADT);  // no field class
    ds_.SetName("Log");
    ds_.SetTable(&table_);
  }

  qv::Field* F(const char* name) { return ds_.FieldByName(name); }

  qv::MemTable table_;
  qv::MemDataSet ds_;
};

TEST_F(FieldFixture, DefaultFieldsHaveTheClassAndSizeOfTheirType) {
  ds_.Open();
  EXPECT_EQ(ds_.FieldCount(), 21);  // the ADT definition gets no field object
  EXPECT_EQ(ds_.FindField("X"), nullptr);
  EXPECT_TRUE(ds_.DefaultFields());
  struct Expect {
    const char* Name;
    int DataSize;
    int FieldNo;
  };
  for (Expect e : {Expect{"S", 6, 1}, {"FC", 5, 2}, {"W", 12, 3}, {"SI", 2, 4}, {"I", 4, 5}, {"WD", 2, 6},
                   {"AI", 4, 7}, {"LI", 8, 8}, {"F", 8, 9}, {"C", 8, 10}, {"B", 2, 11}, {"D", 4, 12},
                   {"T", 4, 13}, {"DT", 8, 14}, {"BY", 4, 15}, {"VB", 6, 16}, {"BL", 0, 17}, {"GU", 39, 21}}) {
    EXPECT_EQ(F(e.Name)->DataSize(), e.DataSize) << e.Name;
    EXPECT_EQ(F(e.Name)->FieldNo(), e.FieldNo) << e.Name;
  }
  EXPECT_NE(dynamic_cast<qv::StringField*>(F("FC")), nullptr);
  EXPECT_TRUE(dynamic_cast<qv::StringField*>(F("FC"))->FixedChar());
  EXPECT_NE(dynamic_cast<qv::WideStringField*>(F("W")), nullptr);
  EXPECT_NE(dynamic_cast<qv::SmallintField*>(F("SI")), nullptr);
  EXPECT_NE(dynamic_cast<qv::AutoIncField*>(F("AI")), nullptr);
  EXPECT_NE(dynamic_cast<qv::CurrencyField*>(F("C")), nullptr);
  EXPECT_NE(dynamic_cast<qv::DateField*>(F("D")), nullptr);
  EXPECT_NE(dynamic_cast<qv::TimeField*>(F("T")), nullptr);
  EXPECT_NE(dynamic_cast<qv::VarBytesField*>(F("VB")), nullptr);
  EXPECT_NE(dynamic_cast<qv::MemoField*>(F("M")), nullptr);
  EXPECT_NE(dynamic_cast<qv::GraphicField*>(F("G")), nullptr);
  EXPECT_EQ(F("FM")->DataType(), qv::ftFmtMemo);
  EXPECT_TRUE(F("FM")->IsBlob());
  EXPECT_NE(dynamic_cast<qv::GuidField*>(F("GU")), nullptr);
  ds_.Close();
  EXPECT_EQ(ds_.FieldCount(), 0);  // default fields go with the close
}

TEST_F(FieldFixture, FieldByNameIgnoresCaseAndAnUnknownNameRaises) {
  ds_.Open();
  EXPECT_EQ(ds_.FieldByName("s"), ds_.FieldByName("S"));
  EXPECT_EQ(ds_.FieldByName("gU"), ds_.FieldByName("GU"));
  EXPECT_EQ(ErrorOf([&] { ds_.FieldByName("Nope"); }), "Log: Field 'Nope' not found");
  EXPECT_EQ(ds_.FindField("Nope"), nullptr);
  std::vector<qv::Field*> list;
  ds_.GetFieldList(list, "s; i ;B");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2], F("B"));
}

TEST_F(FieldFixture, TextIsCutToTheFieldSize) {
  ds_.Open();
  ds_.Append();
  F("S")->SetAsString("ABCDEFG");
  F("FC")->SetAsString("WXYZQ");
  F("W")->SetAsWideString(u"\u00C4\u20ACCDEFG");
  ds_.Post();
  EXPECT_EQ(F("S")->AsString(), "ABCDE");
  EXPECT_EQ(F("FC")->AsString(), "WXYZ");
  EXPECT_EQ(F("W")->AsWideString(), u"\u00C4\u20ACCDE");
  EXPECT_EQ(F("W")->AsString(), "\xC4\x80" "CDE");  // 1252: Ä and the euro sign
  ds_.Edit();
  F("W")->SetAsString("ab\xE9");
  EXPECT_EQ(F("W")->AsWideString(), u"ab\u00E9");
  F("S")->SetAsString("");  // empty text stores null
  EXPECT_TRUE(F("S")->IsNull());
  ds_.Post();
}

TEST_F(FieldFixture, BooleanTrueIsStoredAsFFFF) {
  ds_.Open();
  ds_.Append();
  qv::Field* b = F("B");
  EXPECT_TRUE(b->IsNull());
  b->SetAsBoolean(true);
  uint8_t raw[2] = {0, 0};
  ASSERT_TRUE(b->GetData(raw));
  EXPECT_EQ(raw[0], 0xFF);
  EXPECT_EQ(raw[1], 0xFF);
  EXPECT_EQ(b->AsString(), "True");
  b->SetAsString("f");  // the start of "False", any case
  EXPECT_FALSE(b->AsBoolean());
  ASSERT_TRUE(b->GetData(raw));
  EXPECT_EQ(raw[0], 0x00);
  b->SetAsString("TR");
  EXPECT_TRUE(b->AsBoolean());
  EXPECT_EQ(ErrorOf([&] { b->SetAsString("x"); }), "'x' is not a valid boolean value for field 'B'");
  b->SetAsString("");
  EXPECT_TRUE(b->IsNull());
  auto* boolean = dynamic_cast<qv::BooleanField*>(b);
  boolean->SetDisplayValues("Yes;No");
  b->SetAsString("y");
  EXPECT_EQ(b->AsString(), "Yes");
  ds_.Cancel();
}

TEST_F(FieldFixture, TextConversionsAndTheirErrors) {
  ds_.Open();
  ds_.Append();
  struct Case {
    const char* Field;
    const char* Input;
    const char* Expected;  // AsString afterwards, or the error text
  };
  const Case cases[] = {
      {"I", "12", "12"},
      {"I", " 7 ", "7"},
      {"I", "abc", "'abc' is not a valid integer value for field 'I'"},
      {"I", "2147483648", "2147483648 is not a valid value for field 'I'. The allowed range is -2147483648 to 2147483647"},
      {"SI", "40000", "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767"},
      {"SI", "-32768", "-32768"},
      {"WD", "-1", "-1 is not a valid value for field 'WD'. The allowed range is 0 to 65535"},
      {"WD", "65535", "65535"},
      {"LI", "9223372036854775807", "9223372036854775807"},
      {"F", "1.5", "1.5"},
      {"F", "1e20", "1E20"},
      {"F", "1,5", "'1,5' is not a valid floating point value for field 'F'"},
      {"C", "-0.25", "-0.25"},
      {"D", "2024-06-08", "2024-06-08"},
      {"T", "13:45:10", "13:45:10"},
      {"DT", "2024-06-08 13:45:10", "2024-06-08 13:45:10"},
      {"BY", "abcdef", "abcd"},
      {"VB", "ab", "ab"},
      {"M", "memo text", "memo text"},
      {"GU", "{00000000-0000-0000-0000-000000000001}", "{00000000-0000-0000-0000-000000000001}"},
  };
  for (const Case& c : cases) {
    std::string error = ErrorOf([&] { F(c.Field)->SetAsString(c.Input); });
    std::string result = error == "(no error)" ? F(c.Field)->AsString() : error;
    EXPECT_EQ(result, c.Expected) << c.Field << " <- " << c.Input;
  }
  F("I")->SetAsString("");
  EXPECT_TRUE(F("I")->IsNull());
  EXPECT_EQ(F("I")->AsString(), "");
  EXPECT_EQ(F("I")->AsInteger(), 0);
  EXPECT_EQ(ErrorOf([&] { F("B")->AsDateTime(); }), "Cannot access field 'B' as type DateTime");
  EXPECT_EQ(ErrorOf([&] { F("I")->SetAsBoolean(true); }), "Cannot access field 'I' as type Boolean");
  F("F")->SetAsFloat(2.5);
  EXPECT_EQ(F("F")->AsInteger(), 2);  // half to even
  F("SI")->SetAsFloat(-3.5);
  EXPECT_EQ(F("SI")->AsInteger(), -4);
  F("S")->SetAsBoolean(true);
  EXPECT_EQ(F("S")->AsString(), "T");
  EXPECT_TRUE(F("S")->AsBoolean());
  ds_.Cancel();
}

TEST_F(FieldFixture, DateAndTimeRecordForms) {
  ds_.Open();
  ds_.Append();
  const double date = qv::EncodeDate(2024, 6, 8);
  const double time = qv::EncodeTime(13, 45, 10, 250);
  F("D")->SetAsDateTime(date + time);  // a date field keeps the day
  F("T")->SetAsDateTime(time);
  F("DT")->SetAsDateTime(date + time);
  int32_t day = 0;
  ASSERT_TRUE(F("D")->GetData(&day));
  EXPECT_EQ(day, static_cast<int32_t>(date) + 693594);  // days since 0001-01-01, plus one
  int32_t ms = 0;
  ASSERT_TRUE(F("T")->GetData(&ms));
  EXPECT_EQ(ms, ((13 * 60 + 45) * 60 + 10) * 1000 + 250);
  double stamp = 0;
  ASSERT_TRUE(F("DT")->GetData(&stamp));
  EXPECT_EQ(stamp, static_cast<double>(day) * 86400000.0 + ms);
  ds_.Post();
  EXPECT_EQ(F("D")->AsDateTime(), date);
  EXPECT_EQ(F("T")->AsDateTime(), static_cast<double>(ms) / 86400000.0);
  EXPECT_NEAR(F("DT")->AsDateTime(), date + time, 1e-9);
  EXPECT_EQ(F("DT")->AsString(), "2024-06-08 13:45:10");
  ds_.Edit();
  EXPECT_EQ(ErrorOf([&] { F("D")->SetAsDateTime(1e300); }), "Invalid value for field 'D'");
  ds_.Cancel();
}

TEST_F(FieldFixture, VariantsCarryTheFieldsType) {
  ds_.Open();
  ds_.Append();
  EXPECT_TRUE(F("I")->AsVariant().IsNull());
  F("I")->SetValue(qv::HostVariant("42"));
  F("SI")->SetValue(qv::HostVariant(int32_t{-5}));
  F("LI")->SetValue(qv::HostVariant(static_cast<long long>(1) << 40));
  F("F")->SetValue(qv::HostVariant(0.5));
  F("B")->SetValue(qv::HostVariant(true));
  F("D")->SetValue(qv::HostVariant::FromDateTime(45000.0));
  F("S")->SetValue(qv::HostVariant("abc"));
  F("W")->SetValue(qv::HostVariant(u"xyz"));
  F("BY")->SetAsString(std::string("\x01\x02", 2));
  EXPECT_EQ(F("I")->AsVariant().VarType(), qv::varInteger);
  EXPECT_EQ(F("I")->AsInteger(), 42);
  EXPECT_EQ(F("SI")->AsVariant().VarType(), qv::varSmallint);
  EXPECT_EQ(F("LI")->AsVariant().VarType(), qv::varInt64);
  EXPECT_EQ(F("LI")->AsLargeInt(), int64_t{1} << 40);
  EXPECT_EQ(F("F")->AsVariant().VarType(), qv::varDouble);
  EXPECT_EQ(F("B")->AsVariant().VarType(), qv::varBoolean);
  EXPECT_EQ(F("D")->AsVariant().VarType(), qv::varDate);
  EXPECT_EQ(F("D")->AsVariant().AsDateTime(), 45000.0);
  EXPECT_EQ(F("S")->AsVariant().VarType(), qv::varString);
  EXPECT_EQ(F("W")->AsVariant().VarType(), qv::varOleStr);
  qv::HostVariant bytes = F("BY")->AsVariant();
  ASSERT_TRUE(bytes.IsArray());
  EXPECT_EQ(bytes[1].AsInteger(), 2);
  F("I")->SetValue(qv::HostVariant::Null());
  EXPECT_TRUE(F("I")->IsNull());
  F("S")->Assign(F("I"));  // a null source clears
  EXPECT_TRUE(F("S")->IsNull());
  F("S")->Assign(F("F"));
  EXPECT_EQ(F("S")->AsString(), "0.5");
  ds_.Cancel();
}

TEST_F(FieldFixture, BlobsAreReadAndWrittenThroughStreams) {
  ds_.Open();
  ds_.Append();
  const std::string binary("\x00\x01zero\x00inside", 13);
  F("BL")->SetAsString(binary);
  F("M")->SetAsString("a memo");
  EXPECT_EQ(F("BL")->AsString(), binary);  // the pending value reads back before the post
  ds_.Post();
  EXPECT_EQ(F("BL")->AsString(), binary);
  EXPECT_EQ(F("M")->AsString(), "a memo");
  EXPECT_TRUE(F("G")->IsNull());
  EXPECT_FALSE(F("M")->IsNull());
  EXPECT_THROW(F("M")->SetAsString("not editing"), qv::EDatabaseError);

  ds_.Edit();
  F("M")->Clear();
  EXPECT_TRUE(F("M")->IsNull());
  ds_.Cancel();
  EXPECT_EQ(F("M")->AsString(), "a memo");  // the cancel dropped the change
  ds_.Edit();
  F("G")->Assign(F("BL"));
  F("M")->SetAsString("");
  ds_.Post();
  EXPECT_TRUE(F("M")->IsNull());
  EXPECT_EQ(F("G")->AsString(), binary);
}

TEST_F(FieldFixture, CalculatedAndLookupFields) {
  // The names: a second table mapping a call to a name.
  qv::MemTable names;
  names.GetFieldDefs().Add("Call", qv::ftString, 10);
  names.GetFieldDefs().Add("Name", qv::ftString, 20);
  qv::MemDataSet people;
  people.SetTable(&names);
  people.Open();
  people.Append();
  people.FieldByName("Call")->SetAsString("W1AW");
  people.FieldByName("Name")->SetAsString("Hiram");
  people.Post();

  qv::MemTable logTable;
  qvtest::DefineLogTable(logTable);
  qv::MemDataSet log;
  log.SetName("Log");
  log.SetTable(&logTable);
  log.GetFieldDefs().Update();
  for (int i = 0; i < log.GetFieldDefs().Count(); ++i) log.GetFieldDefs()[i]->CreateField(&log);
  auto calc = std::make_unique<qv::IntegerField>();
  calc->SetFieldName("Double");
  calc->SetFieldKind(qv::fkCalculated);
  log.GetFields().Add(std::move(calc));
  auto unset = std::make_unique<qv::StringField>();
  unset->SetFieldName("Unset");
  unset->SetFieldKind(qv::fkCalculated);
  log.GetFields().Add(std::move(unset));
  auto lookup = std::make_unique<qv::StringField>();
  lookup->SetFieldName("OpName");
  lookup->SetFieldKind(qv::fkLookup);
  lookup->SetLookupDataSet(&people);
  lookup->SetKeyFields("Call");
  lookup->SetLookupKeyFields("Call");
  lookup->SetLookupResultField("Name");
  log.GetFields().Add(std::move(lookup));
  int calcRuns = 0;
  log.OnCalcFields = [&calcRuns](qv::DataSet& ds) {
    ++calcRuns;
    if (!ds.FieldByName("Points")->IsNull()) {
      ds.FieldByName("Double")->SetAsInteger(ds.FieldByName("Points")->AsInteger() * 2);
    }
  };
  log.Open();
  EXPECT_FALSE(log.DefaultFields());
  EXPECT_EQ(log.FieldByName("Double")->FieldNo(), -1);
  EXPECT_EQ(log.CalcFieldsSize(), (4 + 1) + (21 + 1) + (21 + 1));

  log.Append();
  log.FieldByName("Call")->SetAsString("W1AW");
  log.FieldByName("Points")->SetAsInteger(3);
  EXPECT_EQ(log.FieldByName("Double")->AsInteger(), 6);  // recomputed as the data changed
  log.Post();
  EXPECT_EQ(log.FieldByName("Double")->AsInteger(), 6);
  EXPECT_TRUE(log.FieldByName("Unset")->IsNull());
  EXPECT_EQ(log.FieldByName("Unset")->AsString(), "");
  EXPECT_EQ(log.FieldByName("OpName")->AsString(), "Hiram");
  EXPECT_GT(calcRuns, 0);

  log.Append();
  log.FieldByName("Call")->SetAsString("K9XX");
  log.Post();
  EXPECT_TRUE(log.FieldByName("OpName")->IsNull());
  EXPECT_TRUE(log.FieldByName("Double")->IsNull());
  log.Close();
  EXPECT_EQ(log.FieldCount(), 9);  // persistent fields outlive the close
}

TEST_F(FieldFixture, BindingChecksPersistentFieldsAgainstTheDefinitions) {
  auto wrongType = std::make_unique<qv::IntegerField>();
  wrongType->SetFieldName("S");
  ds_.GetFields().Add(std::move(wrongType));
  EXPECT_EQ(ErrorOf([&] { ds_.Open(); }), "Log: Type mismatch for field 'S', expecting: Integer actual: String");
  EXPECT_FALSE(ds_.Active());
  ds_.GetFields().Clear();

  auto ghost = std::make_unique<qv::StringField>();
  ghost->SetFieldName("Ghost");
  ds_.GetFields().Add(std::move(ghost));
  EXPECT_EQ(ErrorOf([&] { ds_.Open(); }), "Log: Field 'Ghost' not found");
  ds_.GetFields().Clear();

  auto duplicate = std::make_unique<qv::StringField>();
  duplicate->SetFieldName("s");
  auto first = std::make_unique<qv::StringField>();
  first->SetFieldName("S");
  ds_.GetFields().Add(std::move(first));
  EXPECT_EQ(ErrorOf([&] { ds_.GetFields().Add(std::move(duplicate)); }), "Log: Duplicate field name 's'");
  ds_.Open();
  EXPECT_EQ(ds_.FieldCount(), 1);
  EXPECT_EQ(ds_.FieldByName("S")->Size(), 5);  // the storage's size
  EXPECT_EQ(ErrorOf([&] { ds_.GetFields().Clear(); }), "Log: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { F("S")->SetSize(-1); }), "Log: Cannot perform this operation on an open dataset");
  ds_.Close();
  EXPECT_EQ(ErrorOf([&] { F("S")->SetSize(-1); }), "Invalid field size");
}

}  // namespace
