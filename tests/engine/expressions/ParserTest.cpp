// The expression parser: the trees it builds, its coded errors with their
// places, the default-value test, and nesting.
#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <string>

#include "tests/support/EngineErrors.h"
#include "tests/engine/expressions/ParserTestSupport.h"
#include "tests/support/SmallStack.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace parser_test;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

enum class Mode { Filter, PartialFilter, Value };

std::unique_ptr<TVLMExpression> Parse(Mode mode, const std::string& text) {
  return mode == Mode::Value ? Value(text) : Filter(text, nullptr, mode == Mode::PartialFilter);
}

TEST(ParserTest, TreesFollowTheGrammar) {
  FakeSubqueries subqueries;
  struct Case {
    Mode mode;
    const char* text;
    const char* tree;
  };
  const Case cases[] = {
      {Mode::Filter, "NOT a = 1", "NOT(=(a,1))"},
      {Mode::Filter, "a OR b AND c", "OR(a,AND(b,c))"},
      {Mode::Filter, "a OR b OR c", "OR(a,b,c)"},
      {Mode::Filter, "a OR b AND c OR (d OR e)", "OR(a,AND(b,c),OR(d,e))"},
      {Mode::Value, "a * b / c", "/(*(a,b),c)"},
      {Mode::Value, "a * b * c / d / e * f", "*(/(*(a,b,c),d,e),f)"},
      {Mode::Value, "(a * b) * c", "*(*(a,b),c)"},
      {Mode::Value, "DATE '2024-05-01' + 1", "+(2024-05-01,1)"},
      {Mode::Value, "1 + TIMESTAMP '2024-05-01 10:00:00'", "+(1,2024-05-01 10:00:00)"},
      {Mode::Value, "DATE '2024-05-01' || 'x'", "||(2024-05-01,'x')"},
      {Mode::Value, "a + b - c", "+(a,b,-(c))"},
      {Mode::Value, "-a * 2", "*(-(a),2)"},
      {Mode::PartialFilter, "Name = 'abc*'", "=P(Name,'abc')"},
      {Mode::Filter, "Name = 'abc*'", "=(Name,'abc*')"},
      {Mode::Filter, "Name LIKE 'abc%'", "=P(Name,'abc')"},
      {Mode::Filter, "Name NOT LIKE 'abc%'", "<>P(Name,'abc')"},
      {Mode::Filter, "Name LIKE 'a%c'", "LIKE(Name,'a%c')"},
      {Mode::Filter, "Name LIKE 'abc%' ESCAPE '!'", "LIKE(Name,'abc%')"},
      {Mode::Filter, "x IS NOT UNKNOWN", "IS NOT NULL(x)"},
      {Mode::Filter, "x IS UNKNOWN", "IS NULL(x)"},
      {Mode::Filter, "(a = 1) IS NOT TRUE", "NOT(=(a,1))"},
      {Mode::Filter, "x IS NOT NULL", "IS NOT NULL(x)"},
      {Mode::Filter, "Name = ''", "IS NULL(Name)"},
      {Mode::Filter, "x BETWEEN 1 AND 5 AND y", "AND(BETWEEN(x,1,5),y)"},
      {Mode::Filter, "x IN (1, 2, 3)", "IN(x,1,2,3)"},
      {Mode::Filter, "x NOT IN (SELECT 1)", "NOT IN(x,SELECT)"},
      {Mode::Filter, "EXISTS ((SELECT 1))", "EXISTS(SELECT)"},
      {Mode::Filter, "x > ALL (SELECT 1)", ">ALL(x,SELECT)"},
      {Mode::Filter, "x = SOME (SELECT 1)", "=ANY(x,SELECT)"},
      {Mode::Filter, "((((a = 1))))", "=(a,1)"},
      {Mode::Value, "CAST(NULL AS INTEGER)", "CAST INTEGER(NULL)"},
      {Mode::Value, "CAST(x, VARCHAR(20))", "CAST STRING(x,20)"},
      {Mode::Value, "'a' || 'b'", "||('a','b')"},
      {Mode::Value, "'a' + 'b'", "||('a','b')"},
      {Mode::Value, "x + 'b'", "||(x,'b')"},
      {Mode::Value, "1 + 2", "+(1,2)"},
      {Mode::Value, "(1 + 2) || 'x'", "||(+(1,2),'x')"},
      {Mode::Value, "t.x", "t.x"},
      {Mode::Value, "[Order Date]", "Order Date"},
      {Mode::Value, "COUNT(*) + SUM(DISTINCT x)", "+(COUNT(*),SUM DISTINCT(x))"},
      {Mode::Value, "CASE x WHEN 1 THEN 'a' ELSE 'b' END", "CASE(x,1,'a','b')"},
      {Mode::Value, "CASE WHEN x > 1 THEN 2 END", "CASE(>(x,1),2)"},
      {Mode::Value, "COALESCE(x, 0)", "COALESCE(x,0)"},
      {Mode::Value, "ROUND(x, 2, HALFUP)", "ROUND(x,2,287)"},
      {Mode::Value, "SUBSTRING(x FROM 2 FOR 3)", "SUBSTRING(x,2,3)"},
      {Mode::Value, "POSITION('a' IN x)", "POS('a',x)"},
      {Mode::Value, "EXTRACT(MONTH FROM d)", "EXTRACT(d)"},
      {Mode::Value, "NOW - 1", "+(NOW,-(1))"},
      {Mode::Value, "TODATE(x, 'YYYY') + 2", "+(TODATE(x),+(2))"},
      {Mode::Value, "MIMETOBIN('QQ==')", "MIMETOBIN('QQ==')"},
      {Mode::Value, "DATE '2024-05-01'", "2024-05-01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::unique_ptr<TVLMExpression> e;
    ASSERT_EQ(RaisedMessage([&] { e = Parse(c.mode, c.text); }), "");
    EXPECT_EQ(Describe(e->GetRoot()), c.tree);
  }
}

TEST(ParserTest, IntegerLiteralsNarrowBelowTheLargestInteger) {
  EXPECT_EQ(Value("2147483646")->GetRoot()->GetValue().DataType, bdtInteger);
  EXPECT_EQ(Value("2147483647")->GetRoot()->GetValue().DataType, bdtLargeInt);
  EXPECT_EQ(Value("1.5")->GetRoot()->GetValue().DataType, bdtFloat);
}

TEST(ParserTest, CodedErrorsNameTheirToken) {
  FakeSubqueries subqueries;
  struct Case {
    Mode mode;
    const char* text;
    int32_t code;
    const char* message;  // the text before " - Native error"
  };
  const Case cases[] = {
      {Mode::Filter, "Name LIKE 'a' ESCAPE '!!'", 20294,
       "Invalid escape character length (should be a single character) at line 1, column 22"},
      {Mode::Filter, "x IS MAYBE", 30067, "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 1, column 6"},
      {Mode::Value, "CAST(x AS BLOB)", 30077, "Cannot convert an expression to specified type: 'BLOB'"},
      {Mode::Value, "EXTRACT(ZONE FROM d)", 20279,
       "Token 'YEAR or MONTH or DAY or HOUR or MINUTE or SECOND' expected, but 'ZONE' found at line 1, column 9"},
      {Mode::Value, "EXTRACT(WEEK FROM d)", 20278,
       "Token 'YEAR or MONTH or DAY or HOUR or MINUTE or SECOND' expected, but 'WEEK' found at line 1, column 9"},
      {Mode::Value, "DATE 5", 20283, "Date string expected \"YYYY-MM-DD\", but found \"5\" at line 1, column 6"},
      {Mode::Value, "DATE 'x'", 20284, "Token 'YYYY-MM-DD' expected, but 'x' found at line 1, column 6"},
      {Mode::Value, "TIME '25:00:00'", 20286, "Token 'HH:MM:SS' expected, but '25:00:00' found at line 1, column 6"},
      {Mode::Filter, "Name = :p", 30358, "Value for parameter 'p' not found"},
      {Mode::Filter, "", 30119, "Blank SQL command"},
      {Mode::Filter, "a = 1 OR", 30070, "Boolean expression expected, but '' found at line 1, column 7"},
      {Mode::Filter, "a = 1\n  AND", 30069, "Boolean expression expected, but '' found at line 2, column 3"},
      {Mode::Filter, "= 1", 30066, "Boolean expression expected, but '=' found at line 1, column 1"},
      {Mode::Value, "COALESCE()", 20276, "COALESCE arguments are missing at line 1, column 10"},
      {Mode::Value, "COALESCE(1, =)", 30691,
       "Argument expected for function 'COALESCE', but '=' found at line 1, column 13"},
      {Mode::Value, "a *\n  / 2", 30690, "Operand expected after '*', but '/' found at line 2, column 3"},
      {Mode::Value, "ABS()", 20262, "Argument expected for function 'ABS' at line 1, column 5"},
      {Mode::Value, "POWER(2 3)", 20267, "comma (\",\") expected but not found at line 1, column 9"},
      {Mode::Value, "COUNT(* 1)", 30073, "Token ')' expected, but '1' found at line 1, column 9"},
      {Mode::Value, "UPPER(1 2)", 30091, "Token ')' expected, but '2' found at line 1, column 9"},
      {Mode::Value, "UPPER()", 30092, "String argument expected for function 'UPPER', but ')' found at line 1, column 7"},
      {Mode::Value, "SUBSTRING(x 1)", 30100, "Token ',' or 'from' expected, but '1' found at line 1, column 13"},
      {Mode::Value, "TOSTRING(x, 5)", 30096, "Const DateFormat string expected, but '5' found at line 1, column 13"},
      {Mode::Value, "ROUND(x, 1, 2)", 30505,
       "Token 'HALFEVEN, HALFPOS, HALFNEG, HALFDOWN, HALFUP, RNDNEG, RNDPOS, RNDDOWN or RNDUP' expected, but '2' "
       "found at line 1, column 13"},
      {Mode::Value, "CASE x THEN", 30468, "Token 'WHEN' expected, but 'THEN' found at line 1, column 8"},
      {Mode::Value, "CASE WHEN x = 1 THEN 1 ELSE", 30477,
       "'Else Result Expression' for CASE function expected, but '' found at line 1, column 24"},
      {Mode::Filter, "EXISTS (SELECT 1", 30059, "Missing symbol ')' at line 1, column 8"},
      {Mode::Value, "LASTAUTOINC(t x)", 30334, "Token ',' expected, but 'x' found at line 1, column 15"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const EVLMException e = qv::test::Raised([&] { Parse(c.mode, c.text); });
    EXPECT_EQ(e.NativeError, c.code);
    EXPECT_EQ(e.Message().substr(0, e.Message().find(" - Native error")), c.message);
  }
}

TEST(ParserTest, SubqueriesNeedTheSqlEnginesFactory) {
  EXPECT_EQ(RaisedCode([] { Filter("x IN (SELECT 1)"); }), 30694);
}

TEST(ParserTest, DefaultExpressionsAreOneValueAndNeverRaise) {
  struct Case {
    const char* text;
    bool parses;
  };
  const Case cases[] = {
      {"NOW", true},        {"1 + 2", true},   {"'abc'", true},     {"1 2", false},       {"1; 2", false},
      {"", false},          {"'abc", false},   {"12abc", false},    {"COUNT(", false},   {"=", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TVLMExpression e;
    bool parses = !c.parses;
    EXPECT_EQ(RaisedMessage([&] { parses = e.ParseDefaultExpression(c.text); }), "");
    EXPECT_EQ(parses, c.parses);
    EXPECT_EQ(e.GetRoot() != nullptr, c.parses);
  }
  // The field definitions' service: only expressions become trees.
  const TVLMExpressionServices& services = VLMExpressionModuleServices();
  for (const char* text : {"NOW", "1 + 2", "5", "abc", "1 2"}) {
    SCOPED_TRACE(text);
    TVLMVariant value(bdtString);
    value.SetAsString(text);
    const bool expression = std::string(text) == "NOW" || std::string(text) == "1 + 2";
    EXPECT_EQ(VLMIsExpressionDefault(value), expression);
    TVLMExpressionPtr tree(services.ParseDefaultExpression(value));
    EXPECT_EQ(tree != nullptr, expression);
  }
}

TEST(ParserTest, UpperOfAFieldAgainstMixedCaseIsTestedAsAFilter) {
  expr_test::RecordCursor cursor({{"Call", dtChar, 10}});
  cursor.SetText(0, "K1ABC");
  TVLMIndexDefs indexes;
  TVLMIndexDef* index = indexes.AddIndexDef();
  index->Name = "ByCall";
  index->ObjectID = 1;
  index->SetColumnCount(1);
  index->GetColumn(0).Name = "Call";
  index->GetColumn(0).CaseInsensitive = true;
  struct Case {
    const char* text;
    int32_t indexConditions;
    bool holds;
  };
  const Case cases[] = {{"UPPER(Call) = 'k1abc'", 0, false}, {"UPPER(Call) = 'K1ABC'", 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Filter(c.text, &cursor);
    TVLMScanSearchConditionArray conditions;
    e->CollectScanConditions(conditions, indexes, 0);
    EXPECT_EQ(conditions.GetCount(), c.indexConditions);
    EXPECT_EQ(e->GetBooleanValue(), c.holds);
  }
}

// Parentheses nested n deep around a comparison.
std::string Nested(size_t n, const std::string& inner) { return std::string(n, '(') + inner + std::string(n, ')'); }

TEST(ParserTest, DeepNestingParsesOrRaisesTheNestingError) {
  struct Case {
    std::string text;
    Mode mode;
    int32_t code;
  };
  // Each level below re-reads its operand in several alternatives; only
  // remembered results keep these from taking exponential time.
  std::string concat = "a";
  for (int i = 0; i < 200; ++i) concat = "(" + concat + " || 'x')";
  // Each change between '*' and '/' nests the term one level.
  std::string products = "1", moreProducts = "1";
  for (int i = 0; i < 128; ++i) products += " * 2 / 2";
  for (int i = 0; i < 129; ++i) moreProducts += " * 2 / 2";
  const Case cases[] = {
      {Nested(200, "a = 1"), Mode::Filter, 0},
      {Nested(200, "a") + " = 1", Mode::Filter, 0},
      {Nested(256, "1"), Mode::Value, 0},
      {concat, Mode::Value, 0},
      {products, Mode::Value, 0},
      {moreProducts, Mode::Value, 30693},
      {Nested(257, "1"), Mode::Value, 30693},
      {Nested(100000, "a = 1"), Mode::Filter, 30693},
      {Nested(100000, "1"), Mode::Value, 30693},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(RaisedCode([&] { Parse(c.mode, c.text); }), c.code);
  }
  // Nesting without parentheses is bounded too; a refused parse leaves the
  // count of active productions as it was.
  std::string cases2;
  for (int i = 0; i < 5000; ++i) cases2 += "CASE WHEN a THEN ";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(RaisedCode([&] { Value(cases2 + "1"); }), 30693);
  EXPECT_EQ(RaisedCode([&] { Filter(Nested(250, "a = 1")); }), 0);
}

using qv::test::OnSmallStack;

TEST(ParserStress, FlatChainsOfAMillionTermsNeedNoStack) {
  constexpr int32_t kTerms = 1000000;
  // first, then kTerms - 2 times middle, then last.
  auto chain = [](const char* first, const char* middle, const char* last) {
    std::string text = first;
    text.reserve(text.size() + kTerms * std::string(middle).size() + 16);
    for (int32_t i = 2; i < kTerms; ++i) text += middle;
    return text + last;
  };
  struct Case {
    std::string text;
    Mode mode;
    const char* value;
  };
  const Case cases[] = {
      {chain("FALSE", " OR FALSE", " OR TRUE"), Mode::Filter, "true"},
      {chain("TRUE", " AND TRUE", " AND FALSE"), Mode::Filter, "false"},
      {chain("1", " + 1", " - 3"), Mode::Value, "999996"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    int32_t children = 0;
    std::string value;
    EXPECT_EQ(OnSmallStack([&] {
                auto e = Parse(c.mode, c.text);
                children = e->GetRoot()->ChildCount();
                const TVLMVariant& v = *e->GetValue(true);
                value = v.DataType == bdtLogical ? (v.GetAsBoolean() ? "true" : "false") : v.GetAsString();
              }),
              "");
    EXPECT_EQ(children, kTerms);
    EXPECT_EQ(value, c.value);
  }
  // A chain built by hand a million levels deep frees without recursion.
  EXPECT_EQ(OnSmallStack([] {
              auto root = std::make_unique<TVLMExprNodeArithmetic>(kVLMOpNegate, expr_test::Int(1));
              for (int32_t i = 1; i < kTerms; ++i)
                root = std::make_unique<TVLMExprNodeArithmetic>(kVLMOpNegate, std::move(root));
            }),
            "");
}

}  // namespace
