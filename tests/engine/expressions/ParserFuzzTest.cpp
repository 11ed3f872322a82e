// Bounded random runs over the expression parser: conditions and values
// from a grammar-aware generator, some of them broken on purpose, parsed
// and evaluated over random rows. Only the engine's and the host library's
// own errors may come out: no crash, no other exception, no leak (ASan and
// UBSan watch), and no input that keeps the parser busy beyond the budget.
#include <gtest/gtest.h>

#include <exception>

#include "tests/engine/expressions/ExpressionFuzzSupport.h"
#include "tests/support/TestBudget.h"

namespace {

TEST(ParserFuzzTest, GeneratedExpressionsParseAndEvaluateOrRaiseEngineErrors) {
  parser_test::FakeSubqueries subqueries;
  expr_fuzz::FuzzRecord record;
  qv::test::TestBudget budget(20);
  uint64_t parsedAny = 0;
  for (uint64_t i = 0; budget.Continue(i); ++i) {
    std::mt19937 rng(static_cast<uint32_t>(i));
    VLMSetRandomSeed(static_cast<uint32_t>(i));
    expr_fuzz::ExpressionGenerator generator(rng);
    const bool condition = rng() % 2 == 0;
    std::string text = condition ? generator.Condition(static_cast<int>(rng() % 5))
                                 : generator.Value(static_cast<int>(rng() % 5));
    if (rng() % 3 == 0) text = generator.Mutate(text);
    try {
      expr_fuzz::RunExpression(text, condition, rng() % 2 == 0, record, rng);
      ++parsedAny;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "input " << i << ": " << text << "\n  raised " << e.what();
    } catch (...) {
      ADD_FAILURE() << "input " << i << ": " << text << "\n  raised an unknown exception";
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(parsedAny, 0u);
}

}  // namespace
