// The one time budget of every random, model, fuzz and crash run.
//
// A run loops while its budget lasts and stops at the first check after it
// ends, so CI time stays bounded under the sanitizers. The default is given
// per run (about 20-30 s); QV_TEST_BUDGET_SECONDS, when set to a positive
// number, replaces it for every run, to search longer by hand:
//
//   QV_TEST_BUDGET_SECONDS=600 ./engine_tests --gtest_filter='*Model*'
//
//   qv::test::TestBudget budget(20);
//   for (uint64_t i = 0; budget.Continue(i); ++i) { ... }
//
// Continue(i) always allows a first few iterations (minIterations), so a
// slow machine still runs every check at least once.
//
// Most runs have a usual size, so that CI runs the same inputs on every
// machine and stays quick; the budget then only bounds a slow machine:
//
//   auto budget = qv::test::TestBudget::Steps(3000);   // 3000 steps, at most 20 s
//   for (uint64_t i = 0; budget.Continue(i); ++i) { ... }
//
// With QV_TEST_BUDGET_SECONDS set, such a run goes on past its usual size
// until the budget ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace qv::test {

// The budget in seconds: QV_TEST_BUDGET_SECONDS when set and positive, else
// the run's own default.
inline double BudgetSeconds(double defaultSeconds) {
  if (const char* s = std::getenv("QV_TEST_BUDGET_SECONDS")) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end != s && v > 0) return v;
  }
  return defaultSeconds;
}

// True when the budget was raised by hand (runs may then also grow their
// sizes, for example a million records instead of ten thousand).
inline bool LongRunRequested() { return std::getenv("QV_TEST_BUDGET_SECONDS") != nullptr; }

class TestBudget {
public:
  explicit TestBudget(double defaultSeconds, uint64_t minIterations = 1)
      : seconds_(BudgetSeconds(defaultSeconds)),
        minIterations_(minIterations),
        start_(std::chrono::steady_clock::now()) {}

  // A run of `iterations` steps (more when the budget was raised by hand),
  // cut short when the budget ends first.
  static TestBudget Steps(uint64_t iterations, double defaultSeconds = 20) {
    TestBudget budget(defaultSeconds);
    if (BudgetSeconds(0) <= 0) budget.maxIterations_ = iterations;  // not raised by hand
    return budget;
  }

  // False once the budget has run out (or the run reached its size) and at
  // least minIterations were done.
  bool Continue(uint64_t iterationsDone) const {
    if (iterationsDone < minIterations_) return true;
    return iterationsDone < maxIterations_ && !Expired();
  }
  bool Expired() const { return Elapsed() >= seconds_; }
  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  double Seconds() const { return seconds_; }

private:
  double seconds_;
  uint64_t minIterations_;
  uint64_t maxIterations_ = UINT64_MAX;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace qv::test
