// libFuzzer target over the expression parser, for long runs by hand; the
// test build compiles nothing of it. Build and run (see CMakeLists.txt):
//
//   CC=clang CXX=clang++ cmake -S . -B build/fuzz -DQV_SANITIZE=ON -DQV_BUILD_FUZZERS=ON -DQV_BUILD_APP=OFF
//   cmake --build build/fuzz --target fuzz_ExpressionParserFuzzer
//   build/fuzz/fuzz_ExpressionParserFuzzer -max_len=512 corpus/
//
// Each input is parsed as a condition and as a value over a record of every
// common field type and evaluated; only the engine's and the host library's
// errors may come out.
#ifdef QV_LIBFUZZER

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/engine/expressions/ExpressionFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static parser_test::FakeSubqueries subqueries;
  static expr_fuzz::FuzzRecord record;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::mt19937 rng(static_cast<uint32_t>(size));
  VLMSetRandomSeed(1);
  expr_fuzz::RunExpression(text, true, size % 2 == 0, record, rng);
  expr_fuzz::RunExpression(text, false, false, record, rng);
  return 0;
}

#endif  // QV_LIBFUZZER
