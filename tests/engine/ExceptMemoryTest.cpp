// The engine exception's message shapes, the memory manager's guards, codes
// and bookkeeping, and the page-type name table.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "engine/core/VLMConst.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "platform/os/System.h"
#include "tests/support/EngineErrors.h"

namespace {

TVLMMemoryManager& MM() { return VLMMemoryManager(); }

using qv::test::Raised;

struct LimitGuard {
  explicit LimitGuard(int64_t limit) { MM().SetMemoryLimit(limit); }
  ~LimitGuard() { MM().SetMemoryLimit(0); }
};

TEST(EVLMException, PlainFormPadsTheCodeWithZeros) {
  const EVLMException e(30001, "Invalid pointer");
  EXPECT_EQ(e.NativeError, 30001);
  EXPECT_STREQ(e.what(), "Invalid pointer - Native error: 30001");
  EXPECT_EQ(EVLMException(2156, "x").Message(), "x - Native error: 02156");
  EXPECT_EQ(EVLMException(2011, "x").Message(), "x - Native error: 02011");
  EXPECT_EQ(EVLMException(-8, "x").Message(), "x - Native error: -00008");
}

TEST(EVLMException, FormattingFormPadsTheCodeWithBlanks) {
  const EVLMException e(30004, "Memory limit exceeded (Limit = %d bytes)", {1048576});
  EXPECT_EQ(e.NativeError, 30004);
  EXPECT_EQ(e.Message(), "Memory limit exceeded (Limit = 1048576 bytes) - Native error: 30004");
  EXPECT_EQ(EVLMException(2156, "at %s", {"x"}).Message(), "at x - Native error:  2156");
  EXPECT_EQ(EVLMException(20001, "no args", {}).Message(), "no args - Native error: 20001");
}

TEST(EVLMException, BadFormatArgumentsFallBackToTheRawText) {
  const EVLMException e(30015, "GetMem error: %s", {});
  EXPECT_EQ(e.NativeError, 30015);
  EXPECT_EQ(e.Message(), "GetMem error: %s Arguments are invalid! - Native error: 30015");
  // An argument of the wrong kind behaves the same.
  EXPECT_EQ(EVLMException(10394, "bit %d", {"text"}).Message(),
            "bit %d Arguments are invalid! - Native error: 10394");
  const qv::FormatArg args[] = {qv::FormatArg(7)};
  EXPECT_EQ(EVLMException::CreateFmt(10001, "n=%d", args).Message(), "n=7 - Native error: 10001");
}

TEST(VLMConst, PageTypeNames) {
  ASSERT_EQ(VLMPageTypeNames.size(), 13u);
  EXPECT_EQ(VLMPageTypeNames[0], "Unknown Page");
  EXPECT_EQ(VLMPageTypeNames[4], "FileSystemDirectory Page");
  EXPECT_EQ(VLMPageTypeNames[9], "TableMostUpdated Page");
  EXPECT_EQ(VLMPageTypeNames[12], "TableIndex Page");
  EXPECT_EQ(VLMPageTypeCount, 13);  // type 13 and above have no name
}

TEST(TVLMMemoryManager, ZeroSizeIsRefused) {
  EXPECT_EQ(Raised([] { MM().GetMem(0); }).Message(),
            "Cannot allocate 0 bytes - Native error: 30286");
  EXPECT_EQ(Raised([] { MM().AllocMem(0); }).NativeError, 30286);
}

TEST(TVLMMemoryManager, BlocksAreCountedAlignedAndSized) {
  const int64_t before = MM().AllocatedMemory();
  void* a = MM().GetMem(100);
  uint8_t* b = static_cast<uint8_t*>(MM().AllocMem(33));
  EXPECT_EQ(MM().AllocatedMemory(), before + 133);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
  EXPECT_EQ(MM().GetMemSize(a), 100);
  EXPECT_EQ(MM().GetMemSize(b), 33);
  EXPECT_EQ(MM().GetMemSize(nullptr), 0);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(b[i], 0) << i;
  std::memset(a, 0xAB, 100);  // the whole data area is usable
  MM().FreeMem(a);
  MM().FreeMem(b);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(TVLMMemoryManager, OverrunIsReportedAfterTheBlockIsReleased) {
  const int64_t before = MM().AllocatedMemory();
  auto* p = static_cast<uint8_t*>(MM().GetMem(10));
  p[10] = 0x55;  // one stray byte past the end
  const EVLMException e = Raised([&] { MM().FreeMem(p); });
  EXPECT_EQ(e.Message(), "Memory overrun detected - Native error: 30137");
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(TVLMMemoryManager, ForeignPointersAreRejected) {
  alignas(16) uint8_t fake[64] = {};
  void* p = fake + 16;
  const int64_t before = MM().AllocatedMemory();
  EXPECT_EQ(Raised([&] { MM().FreeMem(p); }).Message(), "Invalid pointer - Native error: 30001");
  EXPECT_EQ(p, fake + 16);  // nothing released, pointer kept
  EXPECT_EQ(Raised([&] { MM().GetMemSize(p); }).Message(), "Invalid pointer - Native error: 30005");
  const EVLMException r = Raised([&] { MM().ReallocMem(p, 8); });
  EXPECT_EQ(r.NativeError, 30014);
  EXPECT_EQ(r.Message(),
            "ReallocMem error: Invalid pointer - Native error: 30002 - Native error: 30014");
  EXPECT_EQ(p, fake + 16);
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(TVLMMemoryManager, FreeingNilRaises30138) {
  void* p = nullptr;
  const EVLMException e = Raised([&] { MM().FreeMem(p); });
  EXPECT_EQ(e.NativeError, 30138);
  EXPECT_EQ(e.Message().rfind("FreeAndNillMem error: ", 0), 0u) << e.Message();
  EXPECT_NE(e.Message().find(" - Native error: 30138"), std::string::npos);
}

TEST(TVLMMemoryManager, ReallocKeepsAndClears) {
  auto* p = static_cast<uint8_t*>(MM().GetMem(10));
  for (int i = 0; i < 10; ++i) p[i] = static_cast<uint8_t>(i + 1);
  MM().ReallocMemAndClear(p, 20);
  ASSERT_EQ(MM().GetMemSize(p), 20);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(p[i], i + 1);
  for (int i = 10; i < 20; ++i) EXPECT_EQ(p[i], 0) << i;
  MM().ReallocMem(p, 4);
  ASSERT_EQ(MM().GetMemSize(p), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], i + 1);
  MM().FreeMem(p);
}

TEST(TVLMMemoryManager, ReallocOfAnOverrunBlockKeepsTheNewBlock) {
  const int64_t before = MM().AllocatedMemory();
  auto* p = static_cast<uint8_t*>(MM().GetMem(10));
  std::memcpy(p, "0123456789", 10);
  p[10] = 0;  // damages the tail
  const EVLMException e = Raised([&] { MM().ReallocMem(p, 20); });
  EXPECT_EQ(e.Message(),
            "ReallocMem error: Memory overrun detected - Native error: 30137 - Native error: 30014");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(MM().GetMemSize(p), 20);
  EXPECT_EQ(std::memcmp(p, "0123456789", 10), 0);
  MM().FreeMem(p);
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(TVLMMemoryManager, LimitIsEnforcedOnTheRunningTotal) {
  const int64_t before = MM().AllocatedMemory();
  LimitGuard guard(before + 1000);
  void* a = MM().GetMem(900);
  const EVLMException e = Raised([] { MM().GetMem(200); });
  EXPECT_EQ(e.NativeError, 30004);
  EXPECT_EQ(e.Message(), "Memory limit exceeded (Limit = " + std::to_string(before + 1000) +
                             " bytes) - Native error: 30004");
  void* b = MM().GetMem(100);
  MM().FreeMem(a);
  MM().FreeMem(b);
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(TVLMMemoryManager, FailedReallocLeavesThePointerAlone) {
  auto* p = static_cast<uint8_t*>(MM().GetMem(16));
  p[0] = 42;
  uint8_t* const original = p;
  {
    LimitGuard guard(MM().AllocatedMemory() + 100);
    const EVLMException e = Raised([&] { MM().ReallocMem(p, 200); });
    EXPECT_EQ(e.NativeError, 30014);
    EXPECT_NE(e.Message().find("Memory limit exceeded"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(p, original);
  EXPECT_EQ(p[0], 42);
  EXPECT_EQ(MM().GetMemSize(p), 16);
  MM().FreeMem(p);
}

TEST(TVLMMemoryManager, RequestsBeyondTheLargestBlockFailWithoutAllocating) {
  const int64_t before = MM().AllocatedMemory();
  const EVLMException big = Raised([] { MM().GetMem(kVLMMaxBlockDataSize + 1); });
  EXPECT_EQ(big.NativeError, 30015);
  EXPECT_EQ(big.Message().rfind("GetMem error: ", 0), 0u);
  EXPECT_EQ(Raised([] { MM().GetMem(int64_t{1} << 40); }).NativeError, 30015);
  EXPECT_EQ(Raised([] { MM().GetMem(-5); }).NativeError, 30015);
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(TVLMMemoryManager, FreeMemoryFollowsTheSystemAndTheLimit) {
  qv::SetAvailablePhysicalMemoryOverride(5000000);
  EXPECT_EQ(MM().GetFreeMemory(), 5000000);
  EXPECT_EQ(MM().FreeMemory(), 5000000);
  {
    LimitGuard guard(4096);
    EXPECT_EQ(MM().GetFreeMemory(), 4096);
  }
  qv::SetAvailablePhysicalMemoryOverride(-1);
}

TEST(TVLMMemoryManager, TotalStaysExactUnderConcurrentUse) {
  const int64_t before = MM().AllocatedMemory();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      std::vector<void*> blocks;
      for (int i = 1; i <= 500; ++i) blocks.push_back(MM().GetMem(i * (t + 1)));
      for (void*& b : blocks) MM().FreeMem(b);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(MM().AllocatedMemory(), before);
}

TEST(VLMMove, OverlappingCopiesReadBeforeWriting) {
  char up[] = "abcdefgh";
  VLMMove(up, up + 1, 5);
  EXPECT_STREQ(up, "aabcdegh");
  char down[] = "abcdefgh";
  VLMMove(down + 2, down, 5);
  EXPECT_STREQ(down, "cdefgfgh");
  char wide[] = "0123456789";
  VLMMove(wide, wide + 4, 6);
  EXPECT_STREQ(wide, "0123012345");
  char none[] = "xyz";
  VLMMove(none, none + 1, 0);
  VLMMove(none, none + 1, -3);
  EXPECT_STREQ(none, "xyz");
}

}  // namespace
