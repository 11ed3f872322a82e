// Every engine test shares this environment: when the whole run ends, the
// engine memory manager must hold no live block, so a test that leaks an
// engine block fails the run even when ASan cannot see the leak (the block is
// still reachable through the manager's bookkeeping, or was freed by the wrong
// routine).
#include <gtest/gtest.h>

#include "engine/core/VLMMemory.h"

namespace {

class MemoryBalanceEnvironment : public ::testing::Environment {
public:
  void SetUp() override { Start_ = VLMMemoryManager().AllocatedMemory(); }
  void TearDown() override {
    EXPECT_EQ(VLMMemoryManager().AllocatedMemory(), 0)
        << "engine memory blocks are still allocated at the end of the run";
    EXPECT_EQ(Start_, 0) << "engine memory was allocated before the tests started";
  }

private:
  int64_t Start_ = 0;
};

const auto* const kMemoryBalance =
    ::testing::AddGlobalTestEnvironment(new MemoryBalanceEnvironment);

}  // namespace
