#include "platform/host/ScopeExit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace scope_exit_test {

// The cleanup's stores happen on the unwinding path too, also when the guard
// is inlined into an optimized caller whose cleanup depends on a flag: an
// earlier form of the guard lost them there in a -O2 build.
struct Step {
  virtual ~Step() = default;
  virtual void Run() = 0;
};
struct FailingStep : Step {
  void Run() override { throw std::runtime_error("step"); }
};
struct Holder {
  int* Slot = nullptr;
};
int* g_scratch = nullptr;
[[gnu::noinline]] void FreeScratch(int*& p) {
  delete p;
  p = nullptr;
}
[[gnu::noinline]] void SwapAndRun(Holder* holder, bool keepScratch, Step* step, int times) {
  if (keepScratch) g_scratch = new int(0);
  int* saved = holder->Slot;
  holder->Slot = g_scratch;
  auto restore = qv::ScopeExit([&] {
    holder->Slot = saved;
    if (!keepScratch) FreeScratch(g_scratch);
  });
  for (int i = 0; i < times; ++i) step->Run();
}

}  // namespace scope_exit_test

namespace {

using namespace scope_exit_test;

TEST(ScopeExit, RunsOnceOnEveryPathUnlessReleased) {
  int runs = 0;
  { auto g = qv::ScopeExit([&] { ++runs; }); }
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(
      {
        auto g = qv::ScopeExit([&] { ++runs; });
        throw std::runtime_error("body");
      },
      std::runtime_error);
  EXPECT_EQ(runs, 2);
  {
    auto g = qv::ScopeExit([&] { ++runs; });
    auto moved = std::move(g);
  }
  EXPECT_EQ(runs, 3);
  {
    auto g = qv::ScopeExit([&] { ++runs; });
    g.Release();
  }
  EXPECT_EQ(runs, 3);
}

// A cleanup that fails on a normal exit reports its error; while the body's
// error is on its way out, that error is the one the caller sees.
TEST(ScopeExit, CleanupErrorPropagatesUnlessTheBodyFailedFirst) {
  auto message = [](bool bodyFails) -> std::string {
    try {
      auto g = qv::ScopeExit([] { throw std::runtime_error("cleanup"); });
      if (bodyFails) throw std::runtime_error("body");
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "none";
  };
  EXPECT_EQ(message(false), "cleanup");
  EXPECT_EQ(message(true), "body");
}

TEST(ScopeExit, CleanupStoresSurviveAnOptimizedUnwind) {
  FailingStep step;
  int mine = 0;
  for (bool keep : {true, false}) {
    Holder holder{&mine};
    EXPECT_THROW(SwapAndRun(&holder, keep, &step, 1), std::runtime_error);
    EXPECT_EQ(holder.Slot, &mine) << "keepScratch " << keep;
  }
  delete g_scratch;
}

}  // namespace
