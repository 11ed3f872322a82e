// The parameter parser and back-quoted names: the engine's lexer reads a
// back-quoted name as a plain word, so a name that begins with ':' is a
// parameter marker there, and the dataset must offer that parameter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dataset/Params.h"

namespace {

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

}  // namespace
