// Bounded random-input runs over the SQL lexer. Every input must either give
// consistent statements or raise one of the lexer's own errors, quickly, with
// no out-of-bounds access or leak (run under ASan and UBSan).
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLexer.h"
#include "platform/dataset/Params.h"
#include "tests/support/TestBudget.h"

namespace {

// Characters that steer the lexer, weighted over plain bytes.
const std::string kAlphabet = "aZe E9.0 \t\r\n;;'\"[]`\\:?()(),-+*/=<>|!_";

std::string RandomText(std::mt19937& rng, size_t length) {
  std::string s(length, ' ');
  for (char& c : s) c = rng() % 8 == 0 ? static_cast<char>(rng()) : kAlphabet[rng() % kAlphabet.size()];
  return s;
}

// Statement-like text: lexer pieces joined by random separators, then a few
// characters overwritten, so that most inputs get deep into the rules.
std::string PieceText(std::mt19937& rng) {
  static const char* const kPieces[] = {
      "SELECT", "from", "x", "t.col", "12", "1.5e-3", "2E+7", ".5", "'it''s'", "\"q\"", "[a b]",
      "`se\\`l`", "(a)", "f(x, 1)", "(1 + (2))", ",", ":a", ":\"Z\"", ":[e]", "?", "||", "<>", ">=", "a!", "=",
      "--c\n", "/*c*/", ";", "absolute", "RNDUP", "-", "*"};
  static const char* const kSeparators[] = {" ", "", "\r\n", "\t", "\r", "\n "};
  std::string s;
  const size_t count = rng() % 30;
  for (size_t i = 0; i < count; ++i) {
    s += kPieces[rng() % std::size(kPieces)];
    s += kSeparators[rng() % std::size(kSeparators)];
  }
  for (int flips = static_cast<int>(rng() % 3); flips > 0 && !s.empty(); --flips)
    s[rng() % s.size()] = kAlphabet[rng() % kAlphabet.size()];
  return s;
}

bool IsLexerError(int32_t code) {
  return code == 30059 || code == 30060 || code == 30061 || code == 30062 || code == 30358;
}

void CheckConsistent(TVLMLexer& lexer) {
  ASSERT_EQ(lexer.CommandCount, static_cast<int32_t>(lexer.Commands.size()));
  for (const TSQLCommand& cmd : lexer.Commands) {
    ASSERT_GT(cmd.TokenCount, 0);
    ASSERT_EQ(cmd.TokenCount, static_cast<int32_t>(cmd.Tokens.size()));
    int32_t line = 0, column = 0;
    for (const TToken& t : cmd.Tokens) {
      ASSERT_TRUE(t.Kind >= tktString && t.Kind <= tktDot);
      ASSERT_TRUE(t.Line > line || (t.Line == line && t.Column > column));
      line = t.Line;
      column = t.Column;
      ASSERT_GE(column, 1);
      ASSERT_EQ(t.Value != nullptr, t.Kind == tktParameter);
      if (t.KeywordId != VLMNoKeywordId) {
        ASSERT_EQ(t.Kind, tktReservedWord);
        ASSERT_TRUE(t.KeywordId > 0 && t.KeywordId < VLMNoKeywordId);
      }
    }
  }
  // Walk every statement the way the parser does.
  TToken tok;
  for (int32_t i = 0; lexer.NextCommand(); ++i) {
    int32_t seen = lexer.GetCurrentToken(tok) ? 1 : 0;
    while (lexer.GetNextToken(tok)) ++seen;
    ASSERT_EQ(seen, lexer.Commands[static_cast<size_t>(i)].TokenCount);
  }
}

TEST(LexerFuzz, RandomTextGivesTokensOrALexerError) {
  std::mt19937 rng(20240611);
  TVLMSQLParams params;
  for (const char* name : {"a", "Z", "e", "x", "p5", "p6", "p7", "p8"}) {
    TVLMSQLParam* p = params.Add();
    p->Name = name;
    p->SetAsString(name);
  }
  double slowestMs = 0;
  auto budget = qv::test::TestBudget::Steps(4000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    const size_t length = round % 200 == 0 ? 20000 + rng() % 20000 : rng() % 120;
    const std::string text = round % 2 == 0 ? PieceText(rng) : RandomText(rng, length);
    const auto start = std::chrono::steady_clock::now();
    try {
      TVLMLexer lexer(text, round % 7 == 1 ? nullptr : &params, round % 5 == 0);
      CheckConsistent(lexer);
    } catch (const EVLMException& e) {
      ASSERT_TRUE(IsLexerError(e.NativeError)) << e.Message();
    }
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (took.count() > slowestMs) slowestMs = took.count();
    if (HasFatalFailure()) return;
  }
  // Linear work: even the long inputs stay far below this bound.
  EXPECT_LT(slowestMs, 500.0);
}

// Without comments and quotes, the tokens cover every character that is not a
// blank or a ';', in order: nothing is lost or duplicated.
TEST(LexerFuzz, TokensPartitionTheText) {
  std::mt19937 rng(7);
  const std::string alphabet = "abE5.0 \n;,()(+*=<>|!:?";
  auto budget = qv::test::TestBudget::Steps(3000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    std::string text(rng() % 60, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    std::string expected;
    for (char c : text)
      if (c != ' ' && c != '\n' && c != ';') expected.push_back(c);
    try {
      TVLMLexer lexer(text, nullptr, true);
      std::string joined;
      for (const TSQLCommand& cmd : lexer.Commands)
        for (const TToken& t : cmd.Tokens) joined += t.Text;
      ASSERT_EQ(joined, expected) << text;
    } catch (const EVLMException& e) {
      ASSERT_TRUE(e.NativeError == 30059 || e.NativeError == 30060 || e.NativeError == 30062) << e.Message();
    }
  }
}

// The dataset's parameter parser decides which parameters a query offers;
// the lexer then asks for the parameters it finds. Both must find the same
// names, or a query fails with "Value for parameter ... not found" for a
// parameter the user was never given. Checked on random SQL-like text
// against the lexer itself.
std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

TEST(ParamNames, DatasetParserAndLexerFindTheSameNames) {
  // No '?': positional markers are the lexer's alone.
  const std::string alphabet = ":\"'[]`/*-\n ;ab1.\\,()xE+e=<>|!_";
  std::mt19937 rng(20240612);
  int compared = 0;
  auto budget = qv::test::TestBudget::Steps(20000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    std::string sql(rng() % 25, ' ');
    for (char& c : sql) c = alphabet[rng() % alphabet.size()];
    const std::vector<std::string> names = qv::ParseParamNames(sql);

    TVLMSQLParams params;
    for (const std::string& name : names) params.Add()->Name = name;
    // A colon alone names an empty parameter for the lexer, none for the
    // dataset; give the lexer one so that case does not stop the comparison.
    params.Add()->Name = "";
    std::vector<std::string> found;
    try {
      TVLMLexer lexer(sql, &params, false);
      for (const TSQLCommand& command : lexer.Commands)
        for (const TToken& t : command.Tokens) {
          if (t.Kind != tktParameter || t.Text.empty()) continue;
          bool seen = false;
          for (const std::string& f : found) seen = seen || Upper(f) == Upper(t.Text);
          if (!seen) found.push_back(t.Text);
        }
    } catch (const EVLMException& e) {
      // Text the lexer refuses (unbalanced, unterminated, bad numbers) has
      // no parameters to agree on; a missing parameter is a disagreement.
      ASSERT_NE(e.NativeError, 30358) << "[" << sql << "] " << e.Message();
      continue;
    }
    ++compared;
    ASSERT_EQ(found, names) << "[" << sql << "]";
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace
