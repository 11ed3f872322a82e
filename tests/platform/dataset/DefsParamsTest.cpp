// Field and index definitions; parameters and the parameter parser.
#include <gtest/gtest.h>

#include <random>

#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Params.h"
#include "tests/platform/dataset/DataSetTestUtil.h"
#include "tests/support/TestBudget.h"

namespace {

using qvtest::ErrorOf;

TEST(IndexDefs, FindIndexForFieldsTakesAnExactListOrALongerIndexStartingWithIt) {
  qv::MemDataSet ds;
  ds.SetName("Log");
  qv::IndexDefs& defs = ds.GetIndexDefs();
  defs.Add("BySign", "Callsign", 0);
  defs.Add("Desc", "Call", qv::ixDescending);
  defs.Add("CallFreq", "Call;Freq", qv::ixUnique);
  defs.Add("CallOnly", "CALL", qv::ixCaseInsensitive);
  defs.SetUpdated(true);  // nothing to read from storage here

  EXPECT_EQ(defs.FindIndexForFields("call")->Name(), "CallOnly");  // exact wins
  defs.Delete(defs.IndexOf("CallOnly"));
  EXPECT_EQ(defs.FindIndexForFields("CALL")->Name(), "CallFreq");  // "Callsign" is another field
  EXPECT_EQ(defs.FindIndexForFields("call;freq")->Name(), "CallFreq");
  EXPECT_EQ(defs.GetIndexForFields("Call", true), nullptr);  // none is case-insensitive now
  EXPECT_EQ(ErrorOf([&] { defs.FindIndexForFields("Mode"); }), "Log: No index for fields 'Mode'");
  EXPECT_EQ(ErrorOf([&] { defs.Find("Nope"); }), "Log: Index 'Nope' not found");
  EXPECT_EQ(defs.IndexOf("callfreq"), 2);
  EXPECT_EQ(ErrorOf([&] { defs.Add("DESC", "Mode", 0); }), "Log: Duplicate index name 'DESC'");
  EXPECT_EQ(qv::ixPrimary | qv::ixUnique | qv::ixDescending | qv::ixCaseInsensitive, 15u);

  qv::IndexDefs copy;
  copy.Assign(defs);
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy[2]->Fields(), "Call;Freq");
  EXPECT_EQ(copy[2]->Options(), qv::ixUnique);
}

TEST(FieldDefs, AddFindAssign) {
  qv::FieldDefs defs;
  defs.Add("Call", qv::ftString, 10, true);
  defs.Add("Freq", qv::ftString, 6);
  EXPECT_EQ(defs.Find("CALL")->FieldNo(), 1);
  EXPECT_EQ(defs.Find("freq")->FieldNo(), 2);
  EXPECT_TRUE(defs[0]->Required());
  EXPECT_EQ(defs.IndexOf("Mode"), -1);
  EXPECT_EQ(ErrorOf([&] { defs.Find("Mode"); }), "Field 'Mode' not found");
  EXPECT_EQ(ErrorOf([&] { defs.Add("call", qv::ftInteger); }), "Duplicate field name 'call'");
  EXPECT_EQ(ErrorOf([&] { defs.Add("", qv::ftInteger); }), "Field name missing");
  EXPECT_EQ(ErrorOf([&] { defs[5]; }), "Field index out of range");
  EXPECT_EQ(ErrorOf([&] { defs[1]->SetName("CALL"); }), "Duplicate field name 'CALL'");

  qv::FieldDefs copy;
  copy.Assign(defs);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy[0]->Name(), "Call");
  EXPECT_EQ(copy[0]->Size(), 10);
  EXPECT_TRUE(copy[0]->Required());
  copy.Delete(0);
  EXPECT_EQ(copy[0]->Name(), "Freq");
  EXPECT_EQ(defs.Count(), 2);

  // A dataset's definitions come from its storage, also while it is closed.
  qv::MemTable table;
  qvtest::DefineLogTable(table);
  qv::MemDataSet ds;
  ds.SetTable(&table);
  ds.GetFieldDefs().Update();
  EXPECT_EQ(ds.GetFieldDefs().Count(), 6);
  EXPECT_EQ(ds.GetFieldDefs().Find("Points")->DataType(), qv::ftInteger);
  EXPECT_FALSE(ds.Active());
  ds.GetIndexDefs().Update();
  EXPECT_EQ(ds.GetIndexDefs().FindIndexForFields("call")->Name(), "ByCall");
}

TEST(ParamParser, FindsMarkersOutsideQuotesAndComments) {
  EXPECT_EQ(qv::ParseParamNames(R"(:a :"b c" ':x' /* :y */ ":")"), (std::vector<std::string>{"a", "b c"}));
  struct Case {
    const char* Sql;
    std::vector<std::string> Names;
  };
  const Case cases[] = {
      {"SELECT * FROM t WHERE a=:p1 AND b=:P2", {"p1", "P2"}},
      {"x = :[order date] and y = :'it''s'", {"order date", "it's"}},
      {"a = :A or b = :a", {"A"}},  // one parameter per name, ignoring case
      {"-- :c\n:d", {"d"}},
      {"-- :c", {}},
      {"/* :never closed", {}},
      {"[a :b] `c :d` 'e :f' \"g :h\"", {}},
      {"`x\\` :y`", {}},
      {"a::b", {"b"}},
      {"t.:p.q", {"p"}},
      {"f(:a,:b)+:c-:d", {"a", "b", "c", "d"}},
      {"12:30", {"30"}},
      {": :\"unterminated", {}},
      {"name:x'y", {"x'y"}},
      {":a;:b", {"a", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(qv::ParseParamNames(c.Sql), c.Names) << c.Sql;
}

// The engine's lexer reads a back-quoted name as a plain word, so a name that
// begins with ':' is a parameter marker there, and the dataset must offer
// that parameter.
TEST(ParamParser, BackQuotedWordBeginningWithAColonIsAParameter) {
  struct Case {
    const char* Sql;
    std::vector<std::string> Names;
  };
  const Case cases[] = {
      {"`:e`", {"e"}},
      {"a = `:Call` or b = :call", {"Call"}},  // one parameter per name
      {"`:a\\`b`", {"a`b"}},                   // a backslash takes the next character
      {"`:``x`", {"`x"}},                      // a doubled back-quote stands for one
      {"`:`", {}},                             // a colon alone names nothing
      {"`c :d`", {}},                          // the marker must open the word
      {"`:never closed", {}},
      {"':e' \":f\" [:g]", {}},                // other quotes hold no marker
  };
  for (const Case& c : cases) EXPECT_EQ(qv::ParseParamNames(c.Sql), c.Names) << c.Sql;

  qv::Params params;
  params.ParseSQL("SELECT * FROM Log WHERE `:Band` = :Mode", true);
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params[0]->Name(), "Band");
  EXPECT_EQ(params[1]->Name(), "Mode");
}

TEST(ParamParser, SurvivesRandomText) {
  const std::string alphabet = ":\"'[]`/*-\n ;ab1.?\\,()x";
  std::mt19937 rng(4242);
  auto budget = qv::test::TestBudget::Steps(3000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    std::string sql;
    size_t length = rng() % 40;
    for (size_t i = 0; i < length; ++i) {
      sql.push_back(rng() % 16 == 0 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()]);
    }
    std::vector<std::string> names = qv::ParseParamNames(sql);
    for (const std::string& name : names) {
      EXPECT_FALSE(name.empty());
      EXPECT_LE(name.size(), sql.size());
    }
    qv::Params params;
    EXPECT_EQ(params.ParseSQL(sql, true), sql);
    EXPECT_EQ(params.Count(), static_cast<int32_t>(names.size()));
  }
}

TEST(Params, ValuesTypesAndLookup) {
  qv::MemDataSet owner;
  owner.SetName("Query1");
  qv::Params params(&owner);
  params.ParseSQL("select * from log where call = :call and freq = :freq", true);
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params[0]->ParamType(), qv::ptInput);
  EXPECT_TRUE(params[0]->IsNull());
  EXPECT_FALSE(params[0]->Bound());
  params.ParamByName("CALL")->SetAsString("W1AW");
  params.ParamByName("freq")->SetValue(qv::HostVariant(14.0));
  EXPECT_EQ(params[0]->DataType(), qv::ftString);
  EXPECT_TRUE(params[0]->Bound());
  EXPECT_EQ(params[1]->DataType(), qv::ftFloat);
  EXPECT_EQ(params[1]->AsString(), "14");
  EXPECT_EQ(ErrorOf([&] { params.ParamByName("mode"); }), "Query1: Parameter 'mode' not found");
  EXPECT_EQ(params.FindParam("mode"), nullptr);

  // Parsing again keeps what AssignValues hands back by name.
  qv::Params old;
  old.Assign(params);
  EXPECT_TRUE(old.IsEqual(params));
  params.ParseSQL("select * from log where freq = :Freq and mode = :mode", true);
  params.AssignValues(old);
  EXPECT_EQ(params[0]->Name(), "Freq");
  EXPECT_EQ(params[0]->AsFloat(), 14.0);
  EXPECT_TRUE(params[1]->IsNull());
  EXPECT_FALSE(old.IsEqual(params));

  params[1]->SetAsInteger(3);
  EXPECT_EQ(params[1]->DataType(), qv::ftInteger);
  params[1]->SetAsBoolean(true);
  EXPECT_EQ(params[1]->DataType(), qv::ftBoolean);
  EXPECT_TRUE(params[1]->AsBoolean());
  params[1]->SetAsMemo("long text");
  EXPECT_EQ(params[1]->DataType(), qv::ftMemo);
  params[1]->Clear();
  EXPECT_TRUE(params[1]->IsNull());
  EXPECT_EQ(params[1]->AsInteger(), 0);
}

TEST(DatabaseError, NamedComponentsPrefixTheirName) {
  qv::MemDataSet ds;
  EXPECT_EQ(ErrorOf([&] { qv::DatabaseError("plain", &ds); }), "plain");
  ds.SetName("Table1");
  EXPECT_EQ(ErrorOf([&] { qv::DatabaseError("with name", &ds); }), "Table1: with name");
  EXPECT_EQ(ErrorOf([&] { qv::DatabaseErrorFmt("n=%d", {5}); }), "n=5");
  size_t pos = 0;
  EXPECT_EQ(qv::ExtractFieldName(" Call ; Freq;", pos), "Call");
  EXPECT_EQ(qv::ExtractFieldName(" Call ; Freq;", pos), "Freq");
  EXPECT_EQ(qv::ExtractFieldName(" Call ; Freq;", pos), "");
  EXPECT_EQ(pos, 13u);
}

}  // namespace
