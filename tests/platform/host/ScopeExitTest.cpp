#include "platform/host/ScopeExit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

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

}  // namespace
