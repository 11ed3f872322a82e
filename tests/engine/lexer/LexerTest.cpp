// The SQL lexer: statements, token kinds and texts, positions, errors with
// their line and column, parameters, the token cursor and the keyword table.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/core/VLMConst.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLexer.h"
#include "platform/host/Exception.h"

namespace {

using Tok = std::pair<int, std::string>;  // kind, text

std::vector<Tok> Tokens(const std::string& sql, int32_t command = 0) {
  TVLMLexer lexer(sql, nullptr, true);
  std::vector<Tok> out;
  for (const TToken& t : lexer.Commands.at(static_cast<size_t>(command)).Tokens) out.emplace_back(t.Kind, t.Text);
  return out;
}

// The code and message of the error the lexer raises for sql.
std::pair<int32_t, std::string> LexError(const std::string& sql, TVLMSQLParams* params = nullptr) {
  try {
    TVLMLexer lexer(sql, params, false);
  } catch (const EVLMException& e) {
    return {e.NativeError, e.Message()};
  }
  return {0, ""};
}

TEST(Lexer, StatementsAreSplitAtSemicolonsAndEmptyOnesVanish) {
  TVLMLexer two("SELECT * FROM t; ; SELECT 1", nullptr, false);
  EXPECT_EQ(two.CommandCount, 2);
  EXPECT_EQ(two.Commands[1].TokenCount, 2);
  TVLMLexer none("  ; -- c\n /* x */ ;\t;", nullptr, false);
  EXPECT_EQ(none.CommandCount, 0);
  EXPECT_FALSE(none.NextCommand());
}

TEST(Lexer, TokenKindsAndTexts) {
  const std::vector<std::pair<std::string, std::vector<Tok>>> cases = {
      {"a<>b", {{1, "a"}, {1, "<>"}, {1, "b"}}},
      {"x||y|z", {{1, "x"}, {1, "||"}, {1, "y"}, {1, "|"}, {1, "z"}}},
      {"a!=b", {{1, "a!"}, {1, "="}, {1, "b"}}},
      {"a<=b>=c>d<e", {{1, "a"}, {1, "<="}, {1, "b"}, {1, ">="}, {1, "c"}, {1, ">"}, {1, "d"}, {1, "<"}, {1, "e"}}},
      {"1.5 1e5 2E-3 12 .5 1e+5", {{5, "1.5"}, {5, "1e5"}, {5, "2E-3"}, {4, "12"}, {5, ".5"}, {5, "1e+5"}}},
      {"1+2-3", {{4, "1"}, {1, "+"}, {4, "2"}, {1, "-"}, {4, "3"}}},
      {"t.col", {{1, "t"}, {11, "."}, {1, "col"}}},
      {"f(a,b)*2/c", {{1, "f"}, {8, "("}, {1, "a"}, {10, ","}, {1, "b"}, {9, ")"}, {1, "*"}, {4, "2"}, {1, "/"}, {1, "c"}}},
      {"'It''s' \"d\"\"q\"", {{2, "It's"}, {2, "d\"q"}}},
      {"[Order Date] [a]]b]", {{3, "Order Date"}, {3, "a]b"}}},
      {"`a\\`b` `c``d`", {{1, "a`b"}, {1, "c`d"}}},
      {"x--c\ny a/*c*/b", {{1, "x"}, {1, "y"}, {1, "a"}, {1, "b"}}},
      {"-- only a comment, no final LF", {}},
      {":p1 ? a:b", {{1, ":p1"}, {1, "?"}, {1, "a"}, {1, ":b"}}},  // parameters off
      {"ABSOLUTE absolute", {{1, "ABSOLUTE"}, {1, "absolute"}}},
  };
  for (const auto& [sql, want] : cases) {
    TVLMLexer lexer(sql, nullptr, true);
    std::vector<Tok> got;
    if (lexer.CommandCount > 0) got = Tokens(sql);
    EXPECT_EQ(got, want) << sql;
  }
}

TEST(Lexer, KeywordsAndBackQuotedNames) {
  TVLMLexer lexer("select SELECT SeLeCt RNDUP `select` [select]", nullptr, false);
  const auto& t = lexer.Commands[0].Tokens;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(t[i].Kind, tktReservedWord);
    EXPECT_EQ(t[i].KeywordId, 179);
  }
  EXPECT_EQ(t[3].KeywordId, 291);
  // A keyword in back-quotes is reserved in general but is no particular
  // keyword, so the parser takes it as a name.
  EXPECT_EQ(t[4].Kind, tktReservedWord);
  EXPECT_EQ(t[4].KeywordId, VLMNoKeywordId);
  EXPECT_TRUE(VLMIsReservedWord(t[4], VLMNoKeywordId));
  EXPECT_FALSE(VLMIsReservedWord(t[4], kwSELECT));
  EXPECT_TRUE(VLMIsReservedWord(t[0], kwSELECT));
  EXPECT_EQ(t[5].Kind, tktBracketedString);
  EXPECT_EQ(t[5].KeywordId, VLMNoKeywordId);
}

TEST(Lexer, KeywordTableLookupMatchesTheTable) {
  ASSERT_EQ(VLMSQLKeywords.size(), 292u);
  EXPECT_EQ(VLMSQLKeywords[179], "SELECT");
  EXPECT_EQ(VLMSQLKeywords[291], "RNDUP");
  EXPECT_EQ(kwEND_EXEC, 74);
  EXPECT_EQ(kwPASSWORD, 230);
  for (int32_t id = 0; id < VLMSQLKeywordCount; ++id) {
    std::string word(VLMSQLKeywords[static_cast<size_t>(id)]);
    EXPECT_EQ(VLMSQLKeywordId(word), id) << word;
    for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    EXPECT_EQ(VLMGetKeywordId(word), id) << word;
    EXPECT_EQ(VLMSQLKeywordId(word + "X"), VLMNoKeywordId);
  }
  EXPECT_EQ(VLMGetKeywordId(""), -1);
  EXPECT_EQ(VLMGetKeywordId("SELEC\xC9"), -1);
  EXPECT_EQ(VLMGetKeywordId(std::string(5000, 'A')), -1);
}

TEST(Lexer, LinesAndColumns) {
  // CR LF is one line, a lone CR none; comments and quoted texts count too.
  TVLMLexer lexer("a\r\nb\rc\n\td /* x\n yz */ e -- c\r\n'q\nr' f", nullptr, false);
  const std::vector<std::pair<int32_t, int32_t>> want = {{1, 1}, {2, 1}, {2, 2}, {3, 2}, {4, 8}, {5, 1}, {6, 4}};
  const auto& t = lexer.Commands[0].Tokens;
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i].Line, want[i].first) << t[i].Text;
    EXPECT_EQ(t[i].Column, want[i].second) << t[i].Text;
  }
}

TEST(Lexer, ErrorsReportWhereTheFaultIs) {
  const std::vector<std::tuple<std::string, int32_t, std::string>> cases = {
      {"SELECT (a + (b)", 30059, "Missing symbol ')' at line 1, column 8"},
      {"((a)", 30059, "Missing symbol ')' at line 1, column 1"},  // the one left open
      {"(a, (b, (c)", 30059, "Missing symbol ')' at line 1, column 5"},
      {"SELECT 1; SELECT\n (", 30059, "Missing symbol ')' at line 2, column 2"},
      {"a)", 30060, "Unexpected symbol ')' found at line 1, column 2"},
      {"a) (b)", 30060, "Unexpected symbol ')' found at line 1, column 2"},
      {"'abc", 30061, "Unterminated string at line 1, column 1"},
      {"SELECT\r\n  [abc;", 30061, "Unterminated string at line 2, column 3"},
      {"x = :\"name", 30061, "Unterminated string at line 1, column 5"},
      {"(a = 'x)", 30059, "Missing symbol ')' at line 1, column 1"},
      {"12abc", 30062, "Invalid numeric symbol 'a' at line 1, column 3"},
      {"\n  1.5x", 30062, "Invalid numeric symbol 'x' at line 2, column 6"},
      {"1_", 30062, "Invalid numeric symbol '_' at line 1, column 2"},
  };
  for (const auto& [sql, code, text] : cases) {
    const auto [gotCode, message] = LexError(sql);
    EXPECT_EQ(gotCode, code) << sql;
    EXPECT_EQ(message, text + " - Native error: " + std::to_string(code)) << sql;
  }
}

TEST(Lexer, NamedParametersCopyTheirValues) {
  TVLMSQLParams params;
  TVLMSQLParam* p = params.Add();
  p->Name = "City";
  p->SetAsString("Graz");
  TVLMSQLParam* n = params.Add();
  n->Name = "my name";
  n->SetAsInteger(7);
  TVLMSQLParam* z = params.Add();
  z->Name = "Z";
  z->Clear(bdtInteger);
  EXPECT_EQ(params.FindParam("CITY"), p);
  EXPECT_EQ(params.FindParam("nope"), nullptr);

  TToken kept;
  {
    TVLMLexer lexer("x = :city AND :\"my name\" < :'My Name' OR :[my name] = :z", &params, false);
    const auto& t = lexer.Commands[0].Tokens;
    EXPECT_EQ(t[2].Kind, tktParameter);
    EXPECT_EQ(t[2].Text, "city");
    EXPECT_EQ(t[2].Value->GetAsString(), "Graz");
    for (size_t i : {4u, 6u, 8u}) {
      EXPECT_EQ(t[i].Kind, tktParameter);
      EXPECT_EQ(t[i].Text, i == 6 ? "My Name" : "my name");
      EXPECT_EQ(t[i].Value->GetAsInteger(), 7);
    }
    EXPECT_TRUE(t[10].Value->IsNull());
    EXPECT_EQ(t[10].Value->DataType, bdtInteger);
    // Changing the list later changes no token; a copied token owns its value.
    p->SetAsString("Wien");
    EXPECT_EQ(t[2].Value->GetAsString(), "Graz");
    kept = t[2];
  }
  params.Clear();
  EXPECT_EQ(kept.Value->GetAsString(), "Graz");

  EXPECT_EQ(LexError("a = :city", &params).first, 30358);
  EXPECT_EQ(LexError("a = :city").second, "Value for parameter 'city' not found - Native error: 30358");
}

TEST(Lexer, PositionalParametersCountAcrossStatements) {
  TVLMSQLParams params;
  for (int i = 1; i <= 3; ++i) params.Add()->SetAsInteger(i * 10);
  TVLMLexer lexer("SELECT ?; SELECT ?,?", &params, false);
  ASSERT_EQ(lexer.CommandCount, 2);
  EXPECT_EQ(lexer.Commands[0].Tokens[1].Text, "Param1");
  EXPECT_EQ(lexer.Commands[1].Tokens[1].Text, "Param2");
  EXPECT_EQ(lexer.Commands[1].Tokens[3].Text, "Param3");
  EXPECT_EQ(lexer.Commands[1].Tokens[3].Value->GetAsInteger(), 30);
  // One '?' more than the list holds is a missing value, not an index fault.
  EXPECT_EQ(LexError("SELECT ?, ?; SELECT ?, ?", &params).second,
            "Value for parameter 'Param4' not found - Native error: 30358");
  EXPECT_THROW(params.GetItem(3), qv::EListError);
}

TEST(Lexer, CursorWalksEachStatement) {
  TVLMLexer lexer("a b; c", nullptr, false);
  TToken tok;
  EXPECT_FALSE(lexer.GetCurrentToken(tok));  // before the first NextCommand
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.GetCurrentToken(tok));
  EXPECT_EQ(tok.Text, "a");
  EXPECT_TRUE(lexer.LookAhead(tok));
  EXPECT_EQ(tok.Text, "b");
  EXPECT_EQ(lexer.GetTokenIndex(), 0);
  EXPECT_TRUE(lexer.GetNextToken(tok));
  EXPECT_EQ(tok.Text, "b");
  EXPECT_FALSE(lexer.GetNextToken(tok));  // moves past the end anyway
  EXPECT_EQ(tok.Kind, tktNone);
  EXPECT_EQ(tok.Text, "");
  EXPECT_EQ(lexer.GetTokenIndex(), 2);
  tok.Text = "kept";
  EXPECT_FALSE(lexer.GetCurrentToken(tok));
  EXPECT_EQ(tok.Kind, tktNone);
  EXPECT_EQ(tok.Text, "kept");
  EXPECT_TRUE(lexer.SetTokenIndexAndGetToken(1, tok));
  EXPECT_EQ(tok.Text, "b");
  EXPECT_FALSE(lexer.SetTokenIndex(-1));
  EXPECT_FALSE(lexer.GetCurrentToken(tok));
  ASSERT_TRUE(lexer.NextCommand());
  EXPECT_TRUE(lexer.GetCurrentToken(tok));
  EXPECT_EQ(tok.Text, "c");
  EXPECT_FALSE(lexer.NextCommand());
  EXPECT_FALSE(lexer.NextCommand());
  EXPECT_FALSE(lexer.GetCurrentToken(tok));

  // Statements built by hand.
  TToken made;
  made.Kind = tktInt;
  made.Text = "5";
  made.Value = std::make_unique<TVLMVariant>();
  made.Value->SetAsInteger(5);
  lexer.AddCommand();
  lexer.AddToken(made);
  lexer.AddToken(made);
  EXPECT_EQ(lexer.CommandCount, 3);
  EXPECT_EQ(lexer.Commands[2].TokenCount, 2);
  EXPECT_EQ(lexer.GetTokenIndex(), 1);
  made.Value->SetAsInteger(6);
  ASSERT_TRUE(lexer.GetCurrentToken(tok));
  EXPECT_EQ(tok.Value->GetAsInteger(), 5);
}

}  // namespace
