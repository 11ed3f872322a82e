// The dataset's parameter parser decides which parameters a query offers;
// the lexer then asks for the parameters it finds. Both must find the same
// names, or a query fails with "Value for parameter ... not found" for a
// parameter the user was never given. Checked on random SQL-like text
// against the lexer itself.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLexer.h"
#include "platform/dataset/Params.h"

namespace {

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
  for (int round = 0; round < 20000; ++round) {
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
