// The value nodes: functions, aggregates, CAST, CASE, the subquery node and
// the date and system functions, evaluated from parsed texts over a record.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/os/System.h"
#include "platform/host/ScopeExit.h"
#include "tests/support/EngineErrors.h"
#include "tests/engine/expressions/ParserTestSupport.h"

namespace {

using namespace parser_test;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

// A record with an integer X, a float F, a text S, a currency C and a wide
// text W, all null unless a test sets them.
class Record : public expr_test::RecordCursor {
public:
  Record()
      : RecordCursor({{"X", dtInteger}, {"F", dtFloat}, {"S", dtString, 20}, {"C", dtCurrency}, {"W", dtWideString, 10}}) {}
};

// What a value reads as: "NULL", or its text.
std::string Shown(const TVLMVariant& v) { return v.IsNull() ? "NULL" : v.GetAsString(); }

TEST(ValueNodeTest, FunctionsGiveTheirValueOrCode) {
  Record record;
  struct Case {
    const char* text;
    const char* value;  // nullptr: raises code
    int32_t code;
  };
  const Case cases[] = {
      {"ROUND(2.5, 0, HALFUP)", "3", 0},
      {"ROUND(2.5, 0, HALFEVEN)", "2", 0},
      {"ROUND(2.5, 0, TABLE)", "2.5", 0},
      {"ROUND(-2.5)", "-2", 0},
      {"ROUND(2.345, 2, RNDDOWN)", "2.34", 0},
      // A null argument gives null.
      {"SQRT(X)", "NULL", 0},
      {"CEIL(X)", "NULL", 0},
      {"POWER(2, X)", "NULL", 0},
      {"ROUND(1.5, X)", "NULL", 0},
      {"RAND(X)", "NULL", 0},
      {"SQR(X)", "NULL", 0},
      {"SQR(3)", "9", 0},
      {"ABS(-4)", "4", 0},
      {"ABS(X)", "NULL", 0},
      {"SIGN(-0.5)", "-1", 0},
      {"FLOOR(-1.5)", "-2", 0},
      {"TRIM('   ')", "NULL", 0},
      {"LTRIM('  a ') || '|'", "a |", 0},
      {"UPPER(S)", "NULL", 0},
      {"LOWER('\xC4' || 'B')", "\xE4" "b", 0},
      {"LENGTH(S)", "0", 0},
      {"'abc' || S", "abc", 0},
      {"S || 'abc'", "abc", 0},
      {"S || S", "NULL", 0},
      {"SUBSTRING('abcdef', 3)", "cdef", 0},
      {"SUBSTRING('abcdef', 0, 2)", "ab", 0},
      {"SUBSTRING('abc', 5)", "NULL", 0},
      {"SUBSTRING('abc' FROM X)", nullptr, 30016},
      {"POS('', 'abc')", "0", 0},
      {"POS('c', 'abc')", "3", 0},
      {"CAST('abcdef' AS VARCHAR(3))", "abc", 0},
      {"CAST(NULL AS INTEGER)", "NULL", 0},
      {"CASE NULL WHEN NULL THEN 1 END", "1", 0},
      {"CASE 'a' WHEN 'A' THEN 1 END", "1", 0},
      {"CASE WHEN 1 = 2 THEN 1 ELSE 2 END", "2", 0},
      {"CASE WHEN X = 1 THEN 1 END", "NULL", 0},
      {"COALESCE(NULL, NULL)", "NULL", 0},
      {"COALESCE(X, S, 7)", "7", 0},
      {"MIMETOBIN('SGVsbG8=')", "Hello", 0},
      {"TOSTRING(DATE '2024-05-01', 'DD.MM.YYYY')", "01.05.2024", 0},
      {"EXTRACT(YEAR FROM DATE '2024-05-01')", "2024", 0},
      {"EXTRACT(MINUTE FROM TIMESTAMP '2024-05-01 10:42:07')", "42", 0},
      // Date-time literals are values of arithmetic, as their CASTs are.
      {"DATE '2024-05-01' + 1", "2024-05-02", 0},
      {"1 + DATE '2024-05-01'", "2024-05-02", 0},
      {"DATE '2024-05-01' - 1", "2024-04-30", 0},
      {"TIME '10:00:00' + 60000", "10:01:00", 0},
      {"TIME '10:00:00' + TIME '01:30:00'", "11:30:00", 0},
      {"TIMESTAMP '2024-05-01 23:00:00' + 0.5", "2024-05-02 11:00:00", 0},
      {"DATE '2024-05-01' || 'x'", "2024-05-01x", 0},
      // Arguments outside a function's domain, and results its type cannot
      // hold, raise instead of storing NaN or an infinity.
      {"LOG(0)", nullptr, 20472},
      {"SQRT(-1)", nullptr, 20473},
      {"ACOS(2)", nullptr, 20470},
      {"ASIN(-1.5)", nullptr, 20471},
      {"POWER(10, 400)", nullptr, 20474},
      {"POWER(-8, 0.5)", nullptr, 20474},
      {"EXP(1000)", nullptr, 20475},
      {"CEIL(1e10)", nullptr, 20476},
      {"FLOOR(-1e10)", nullptr, 20477},
      {"ROUND(1e10)", nullptr, 20478},
      {"RAND(0)", "0", 0},
      {"RAND(-5)", "0", 0},
      {"RAND(1)", "0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Value(c.text, &record);
    ASSERT_NE(e->GetRoot(), nullptr);
    std::string shown;
    const int32_t code = RaisedCode([&] { shown = Shown(*e->GetValue(true)); });
    EXPECT_EQ(code, c.code);
    if (c.value != nullptr) {
      EXPECT_EQ(shown, c.value);
    }
  }
}

TEST(ValueNodeTest, WideTextKeepsCharactersThatCodePage1252Lacks) {
  Record record;
  TVLMVariant wide(bdtWideString);
  wide.SetAsWideString(u"  \u0416ar\t");
  record.SetFieldValue(wide, 4, true);
  struct Case {
    const char* text;
    std::u16string value;
  };
  const Case cases[] = {{"TRIM(W)", u"\u0416ar"},
                        {"RTRIM(W)", u"  \u0416ar"},
                        {"UPPER(W)", u"  \u0416AR\t"},
                        {"SUBSTRING(W, 3, 1)", u"\u0416"},
                        {"W || 'b'", u"  \u0416ar\tb"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Value(c.text, &record)->GetValue(true)->GetAsWideString(), c.value);
  }
}

TEST(ValueNodeTest, TypesAndSizesDescribeResultsWithoutRows) {
  Record record;
  struct Case {
    const char* text;
    TVLMDataType type;
    int32_t size;
  };
  const Case cases[] = {
      {"CAST(12345 AS VARCHAR)", dtString, 11},
      {"CAST(F AS CHAR)", dtChar, 26},
      {"CAST(X AS VARCHAR(4))", dtString, 4},
      {"ROUND(F)", dtInteger, 0},
      {"ROUND(F, 2)", dtFloat, 0},
      {"SQRT(X)", dtFloat, 0},
      {"SUM(X)", dtLargeInt, 0},
      {"SUM(C)", dtCurrency, 0},
      {"AVG(X)", dtFloat, 0},
      {"MIN(S)", dtString, 20 + 1},
      {"COUNT(*)", dtInteger, 0},
      {"S || 'abc'", dtString, 21 + 3},
      {"SUBSTRING(S, 2)", dtString, 21},
      {"LENGTH(S)", dtInteger, 0},
      {"TOSTRING(X, 'YYYY-MM-DD')", dtString, 10},
      {"TODATE(S, 'HH24:NN')", dtTime, 0},
      {"NOW", dtDateTime, 0},
      {"EXTRACT(DAY FROM S)", dtWord, 0},
      {"ROWNUM", dtInteger, 0},
      {"CASE WHEN X = 1 THEN 'a' ELSE S END", dtString, 21},
      {"(SELECT 1)", dtInteger, 4},
  };
  FakeSubqueries subqueries;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Value(c.text, &record);
    EXPECT_EQ(e->GetDataType(), c.type);
    EXPECT_EQ(e->GetDataSize(), c.size);
  }
}

TEST(ValueNodeTest, AggregatesOverTheRowsOfAGroup) {
  Record record;
  struct Case {
    const char* text;
    std::vector<std::optional<int32_t>> rows;  // X of each row
    const char* value;
  };
  const std::nullopt_t null = std::nullopt;
  const Case cases[] = {
      {"AVG(X)", {null, null}, "NULL"},
      {"COUNT(X)", {null, null}, "0"},
      {"COUNT(*)", {null, null}, "2"},
      {"SUM(X)", {null, null}, "NULL"},
      {"SUM(X)", {2147483647, 1}, "2147483648"},
      {"AVG(X)", {1, 2, null}, "1.5"},
      {"MAX(X)", {3, null, 5, 4}, "5"},
      {"COUNT(DISTINCT X)", {1, 1, 2, null}, "2"},
      {"SUM(DISTINCT X)", {1, 1, 2}, "3"},
      {"AVG(DISTINCT X)", {1, 1, 4}, "2.5"},
      {"SUM(X) + COUNT(*)", {1, 2}, "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Value(c.text, &record);
    ASSERT_TRUE(e->IsAggregated());
    // Two groups in a row: the second starts afresh.
    for (int group = 0; group < 2; ++group) {
      e->InitAggregate();
      for (const auto& x : c.rows) {
        record.SetInt(0, x);
        e->Accumulate();
      }
      // Reading a result twice gives the same value.
      EXPECT_EQ(Shown(*e->GetValue(true)), c.value);
      EXPECT_EQ(Shown(*e->GetValue(true)), c.value);
    }
  }
  auto min = Value("MIN(S)", &record);
  min->InitAggregate();
  for (const char* s : {"b", "A", "a"}) {
    record.SetText(2, s);
    min->Accumulate();
  }
  EXPECT_EQ(Shown(*min->GetValue(true)), "A");
  EXPECT_EQ(RaisedCode([&] { Value("SUM(S)", &record)->Accumulate(); }), 30132);
}

TEST(ValueNodeTest, ScalarSubqueriesCountTheirRows) {
  FakeSubqueries subqueries;
  Record record;
  record.SetInt(0, 1);
  struct Case {
    const char* text;
    bool condition;
    const char* value;  // nullptr: raises code
    int32_t code;
  };
  const Case cases[] = {
      {"X = (SELECT 1, 2)", true, nullptr, 20247},
      {"X = (SELECT)", true, nullptr, 20249},
      {"X = (SELECT 1)", true, "True", 0},
      {"(SELECT)", false, "NULL", 0},
      {"(SELECT 7, 8)", false, "7", 0},
      {"X IN (SELECT 3, 1)", true, "True", 0},
      {"EXISTS (SELECT)", true, "False", 0},
      {"X > ALL (SELECT)", true, "True", 0},
      {"X > ANY (SELECT)", true, "False", 0},
      {"X >= ALL (SELECT 0, 1)", true, "True", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = c.condition ? Filter(c.text, &record) : Value(c.text, &record);
    std::string shown;
    EXPECT_EQ(RaisedCode([&] { shown = Shown(*e->GetValue(true)); }), c.code);
    if (c.value != nullptr) {
      EXPECT_EQ(shown, c.value);
    }
  }
  // A subquery that refers to no outer row answers IN from its last search.
  auto in = Filter("X IN (SELECT 1, 2)", &record);
  const int32_t runs = FakeSelect::Runs;
  EXPECT_TRUE(in->GetBooleanValue());
  EXPECT_TRUE(in->GetBooleanValue());
  EXPECT_EQ(FakeSelect::Runs, runs + 1);
  record.SetInt(0, 3);
  EXPECT_FALSE(in->GetBooleanValue());
  EXPECT_EQ(FakeSelect::Runs, runs + 2);
}

TEST(ValueNodeTest, DateAndSystemFunctionsFollowClockAndRows) {
  Record record;
  qv::SetNowLocalSource([] { return 45000.75; });
  auto restore = qv::ScopeExit([] { qv::SetNowLocalSource(nullptr); });
  struct Clock {
    const char* text;
    TVLMBaseDataType type;
    double value;
  };
  const Clock clocks[] = {{"NOW", bdtDateTime, 45000.75},
                          {"SYSDATE", bdtDateTime, 45000.75},
                          {"CURRENT_DATE", bdtDate, 45000},
                          {"CURRENT_TIME", bdtTime, 0.75}};
  for (const Clock& c : clocks) {
    SCOPED_TRACE(c.text);
    auto e = Value(c.text);
    const TVLMVariant& v = *e->GetValue(true);
    EXPECT_EQ(v.DataType, c.type);
    EXPECT_DOUBLE_EQ(v.GetAsTDateTime(), c.value);
  }

  // Each row's TODATE takes the type of its own text.
  auto toDate = Value("TODATE(S, 'YYYY-MM-DD HH24:NN:SS')", &record);
  struct Row {
    const char* text;
    TVLMBaseDataType type;
  };
  const Row rows[] = {{"0000-00-00 10:30:00", bdtTime},
                      {"2024-05-01 00:00:00", bdtDate},
                      {"2024-05-01 10:30:00", bdtDateTime},
                      {"0000-00-00 00:00:00", bdtDate},
                      {"0000-00-00 10:30:00", bdtTime}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    record.SetText(2, r.text);
    EXPECT_EQ(toDate->GetValue(true)->DataType, r.type);
  }

  // Every evaluation of a ROWNUM node counts, also twice within one row;
  // each node keeps its own count.
  auto rowNum = Value("ROWNUM");
  for (const char* expected : {"1", "2", "3", "4"}) EXPECT_EQ(Shown(*rowNum->GetValue(true)), expected);
  auto twoNodes = Value("ROWNUM * 10 + ROWNUM");
  EXPECT_EQ(Shown(*twoNodes->GetValue(true)), "11");
  EXPECT_EQ(Shown(*twoNodes->GetValue(true)), "22");

  // LASTAUTOINC opens its table through the components' hook.
  EXPECT_EQ(RaisedCode([] { Value("LASTAUTOINC(Log, Id)"); }), 30702);
}

TEST(ValueNodeTest, RandDrawsFromASeedableGenerator) {
  auto draw = [] {
    auto e = Value("RAND(1000) * 1000 + RAND(1000)");
    return e->GetValue(true)->GetAsInteger();
  };
  VLMSetRandomSeed(7);
  const int32_t first = draw();
  VLMSetRandomSeed(7);
  EXPECT_EQ(draw(), first);
  EXPECT_GE(first, 0);
  EXPECT_LT(first, 1000000);
}

}  // namespace
