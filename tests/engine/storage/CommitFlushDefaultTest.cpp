// The commit's flushes are on unless a caller turns them off: a page manager
// as it comes flushes after CommitState 1, before CommitState 2 and after it,
// and every commit that writes pages does so again.
#include <gtest/gtest.h>

#include "engine/storage/StorageTestSupport.h"

namespace {

using namespace storage_test;

class CountingPageManager : public TVLMDiskPageManager {
public:
  int32_t Flushes = 0;

protected:
  void FlushForCommit() override {
    ++Flushes;
    TVLMDiskPageManager::FlushForCommit();
  }
};

TEST(CommitFlushDefault, ACommitFlushesThreeTimesUnlessTurnedOff) {
  FastRetries fast;
  ScratchFolder dir;
  std::string path = dir.File("d.vlm");
  CreateStandardDatabase(path);

  CountingPageManager pm;
  EXPECT_TRUE(pm.SyncOnCommit);
  OpenDatabase(pm, path);
  EXPECT_TRUE(pm.SyncOnCommit);  // opening keeps it
  for (int round = 1; round <= 2; ++round) {
    {
      TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
      FillData(page.Get(), static_cast<uint8_t>(round));
    }
    pm.Commit(0);
    EXPECT_EQ(pm.Flushes, 3 * round);
  }
  pm.Commit(0);  // nothing to write: no flush either
  EXPECT_EQ(pm.Flushes, 6);

  pm.SyncOnCommit = false;
  {
    TVLMHeldPage page(&pm, pm.NewPage(0, kVLMPageTableRecord));
    FillData(page.Get(), 9);
  }
  pm.Commit(0);
  EXPECT_EQ(pm.Flushes, 6);
}

}  // namespace
