// String functions over the text fields of a table: each sees the text the
// field holds (up to its terminator), never the field's declared size, in
// 8-bit and wide fields of several lengths, empty, full, short and with
// trailing blanks.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "tests/engine/expressions/ParserTestSupport.h"
#include "tests/support/engine/ReferenceEngine.h"

namespace {

using tabledata_test::TableCursor;

// The declared lengths, and the text each row holds in the fields of that
// length (8-bit N<size> and wide W<size> alike): row 1 none, row 2 full,
// row 3 short, row 4 with trailing blanks.
struct Width {
  int32_t Size;
  const char* Texts[4];
};
const Width kWidths[] = {{1, {nullptr, "a", "b", " "}},
                         {4, {nullptr, "abcd", "a", "a  "}},
                         {10, {nullptr, "abcdefghij", "a", "a  "}}};

class TextFieldTest : public ::testing::Test {
protected:
  void SetUp() override {
    database->ConnectSession(&session);
    t.Create({{"ID", dtInteger},
              {"N1", dtString, 1},
              {"N4", dtString, 4},
              {"N10", dtString, 10},
              {"W1", dtWideString, 1},
              {"W4", dtWideString, 4},
              {"W10", dtWideString, 10}});
    for (int32_t row = 0; row < 4; ++row) {
      t.PrepareInsert();
      t.SetInt(0, row + 1);
      for (int32_t w = 0; w < 3; ++w) {
        const char* text = kWidths[w].Texts[row];
        const std::optional<std::string> value = text != nullptr ? std::optional<std::string>(text) : std::nullopt;
        t.SetText(1 + w, value);
        t.SetText(4 + w, value);
      }
      t.Post(true);
    }
  }

  // The value of expression on every row, ','-separated ("NULL" for null).
  std::string Values(const std::string& expression) {
    auto e = parser_test::Value(expression, &t);
    std::string values;
    t.SetToBegin();
    while (t.GetRecord(1) == kVLMNavOK) {
      e->SetRecordBuffer(t.RecordBuffer, false);
      const TVLMVariant& v = *e->GetValue(true);
      values += (values.empty() ? "" : ",") + (v.IsNull() ? std::string("NULL") : v.GetAsString());
    }
    return values;
  }

  schema_test::TestSession session;
  std::unique_ptr<TVLMDatabaseData> database = tabledata_test::NewDatabase(tabledata_test::EngineKind::Memory);
  TableCursor t{*database, session, "T"};
};

TEST_F(TextFieldTest, StringFunctionsSeeTheTextNotTheDeclaredSize) {
  // $ stands for the field of the size, 8-bit and then wide.
  struct Case {
    const char* expression;
    int32_t size;
    const char* values;  // rows 1-4
  };
  const Case cases[] = {
      {"LENGTH($)", 1, "0,1,1,1"},
      {"LENGTH($)", 4, "0,4,1,3"},
      {"LENGTH($)", 10, "0,10,1,3"},
      {"LENGTH($ || 'x')", 10, "1,11,2,4"},
      {"LENGTH(CAST($ AS VARCHAR(20)))", 4, "0,4,1,3"},
      {"LENGTH(UPPER($))", 10, "0,10,1,3"},
      {"POS(' ' IN $)", 1, "0,0,0,1"},
      {"POS(' ' IN $)", 10, "0,0,0,2"},
      {"'<' || $ || '>'", 10, "<>,<abcdefghij>,<a>,<a  >"},
      {"'<' || TRIM($) || '>'", 4, "<>,<abcd>,<a>,<a>"},
      {"'<' || UPPER($) || '>'", 4, "<>,<ABCD>,<A>,<A  >"},
      {"'<' || SUBSTRING($ FROM 2) || '>'", 4, "<>,<bcd>,<>,<  >"},
      // The last character, found through the length.
      {"'<' || SUBSTRING($, LENGTH($)) || '>'", 1, "<>,<a>,<b>,< >"},
      {"'<' || SUBSTRING($, LENGTH($)) || '>'", 10, "<>,<j>,<a>,< >"},
      {"CASE WHEN $ = 'a  ' THEN 'T' ELSE 'F' END", 10, "F,F,F,T"},
      {"CASE WHEN $ > 'a' THEN 'T' ELSE 'F' END", 4, "F,T,F,T"},
      {"CASE WHEN $ = W10 THEN 'T' ELSE 'F' END", 4, "F,F,T,T"},
      {"CASE WHEN $ LIKE '%  ' THEN 'T' ELSE 'F' END", 10, "F,F,F,T"},
      {"CASE WHEN $ LIKE '_' THEN 'T' ELSE 'F' END", 4, "F,F,T,F"},
  };
  for (const Case& c : cases) {
    for (const char* kind : {"N", "W"}) {
      std::string expression = c.expression;
      for (size_t at = expression.find('$'); at != std::string::npos; at = expression.find('$'))
        expression.replace(at, 1, kind + std::to_string(c.size));
      SCOPED_TRACE(expression);
      EXPECT_EQ(Values(expression), c.values);
    }
  }
  // As filters: the rows shown.
  const std::pair<const char*, const char*> filters[] = {{"LENGTH(N10) = 1", "3"},
                                                         {"LENGTH(W10) = 1", "3"},
                                                         {"LENGTH(N10) = 10", "2"},
                                                         {"LENGTH(N1) = 1", "2,3,4"},
                                                         {"LENGTH(W4) < 4", "1,3,4"}};
  for (const auto& [text, shown] : filters) {
    SCOPED_TRACE(text);
    auto filter = parser_test::Filter(text, &t);
    t.SetFilterExpression(filter.get());
    std::string ids;
    for (const std::string& id : t.Column(0)) ids += (ids.empty() ? "" : ",") + id;
    t.SetFilterExpression(nullptr);
    EXPECT_EQ(ids, shown);
  }
}

}  // namespace
