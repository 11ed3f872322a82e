// Bounded random-input runs over the loaders of the engine core: the bits
// array's stream form, the block copies between streams, and the zlib and
// bzip2 decoders fed random and mutated data. They must answer with an engine
// error or false, never crash, hang or read out of bounds (run under ASan and
// UBSan).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypes.h"
#include "tests/support/TestBudget.h"

namespace {

std::vector<uint8_t> Bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST(LoaderFuzz, BitsArrayStreamForm) {
  std::mt19937 rng(101);
  // Valid forms to mutate.
  std::vector<std::vector<uint8_t>> seeds;
  for (int n : {0, 1, 9, 64, 333}) {
    TVLMBitsArray b;
    b.SetSize(n);
    for (int i = 0; i < n; i += 3) b.SetBit(i, true);
    TVLMMemoryStream s;
    b.SaveToStream(s);
    std::vector<uint8_t> form(static_cast<size_t>(s.Size()));
    s.SetPosition(0);
    s.ReadBuffer(form.data(), static_cast<int64_t>(form.size()));
    seeds.push_back(form);
  }
  auto budget = qv::test::TestBudget::Steps(3000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    std::vector<uint8_t> input;
    if (round % 3 == 0) {
      input = Bytes(rng, rng() % 64);
    } else {
      input = seeds[rng() % seeds.size()];
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips && !input.empty(); ++f) input[rng() % input.size()] = static_cast<uint8_t>(rng());
      if (rng() % 4 == 0 && !input.empty()) input.resize(rng() % input.size());
    }
    TVLMMemoryStream s;
    if (!input.empty()) s.Write(input.data(), static_cast<int64_t>(input.size()));
    s.SetPosition(0);
    TVLMBitsArray b;
    try {
      b.LoadFromStream(s);
    } catch (const EVLMException& e) {
      ASSERT_TRUE(e.NativeError == 10401 || e.NativeError == 10402 || e.NativeError == 10426)
          << e.Message();
      continue;
    }
    // Whatever loaded is consistent: rank and select stay inside the bits.
    ASSERT_EQ(b.SetCount(), b.CountSetBits());
    for (int64_t k = 0; k < b.SetCount(); k += 7) {
      const int64_t bit = b.BitNoOfSetBit(k);
      ASSERT_TRUE(b.GetBit(bit));
      ASSERT_EQ(b.SetBitsUpTo(bit), k);
    }
  }
}

TEST(LoaderFuzz, StreamBlockCopies) {
  std::mt19937 rng(202);
  auto budget = qv::test::TestBudget::Steps(500);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    TVLMMemoryStream src;
    const auto data = Bytes(rng, rng() % 5000);
    if (!data.empty()) src.Write(data.data(), static_cast<int64_t>(data.size()));
    TVLMTemporaryStream dst(true);
    dst.BlockSize = static_cast<int32_t>(rng() % 3000) + 1;
    const int64_t start = static_cast<int64_t>(rng() % 6000) - 500;
    const int64_t count = static_cast<int64_t>(rng() % 6000) - 500;
    try {
      dst.LoadFromStreamRange(src, start, count);
    } catch (const EVLMException& e) {
      ASSERT_TRUE(e.NativeError == 10148 || e.NativeError == 10149) << e.Message();
      continue;
    }
    // A range inside the source comes over whole.
    if (count > 0) {
      ASSERT_EQ(dst.Size(), count);
      std::vector<uint8_t> back(static_cast<size_t>(count));
      dst.SetPosition(0);
      dst.ReadBuffer(back.data(), count);
      ASSERT_TRUE(std::equal(back.begin(), back.end(), data.begin() + start));
    }
  }
}

void FuzzDecoder(uint8_t algorithm, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> plain(40000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>("QSO de W1AW 599 "[i % 16] + (i / 977) % 3);
  void* packed = nullptr;
  int64_t packedSize = 0;
  ASSERT_TRUE(VLMCompressBuffer(algorithm, 5, plain.data(), static_cast<int64_t>(plain.size()), packed, packedSize));
  const auto* p = static_cast<const uint8_t*>(packed);
  const std::vector<uint8_t> good(p, p + packedSize);
  VLMFreeBuffer(packed);

  auto budget = qv::test::TestBudget::Steps(300);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    std::vector<uint8_t> input;
    if (round % 4 == 0) {
      input = Bytes(rng, rng() % 2000 + 1);
      if (rng() % 2) {  // a valid magic in front of noise
        for (size_t i = 0; i < std::min<size_t>(4, good.size()) && i < input.size(); ++i) input[i] = good[i];
      }
    } else {
      input = good;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int f = 0; f < flips; ++f) input[rng() % input.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      if (rng() % 3 == 0) input.resize(1 + rng() % input.size());
    }
    const int64_t expected = rng() % 3 == 0 ? 0 : static_cast<int64_t>(rng() % 50000) + 1;
    int64_t outSize = expected;
    void* out = nullptr;
    const bool ok = VLMDecompressBuffer(algorithm, input.data(), static_cast<int64_t>(input.size()), outSize, out);
    if (ok) {
      ASSERT_NE(out, nullptr);
      ASSERT_GT(outSize, 0);
      if (expected > 0) {
        ASSERT_LE(outSize, expected);
      }
    } else {
      ASSERT_EQ(out, nullptr);
      ASSERT_EQ(outSize, 0);
    }
    VLMFreeBuffer(out);
  }
}

TEST(LoaderFuzz, ZlibDecoder) { FuzzDecoder(VLMCompressionZlib, 303); }
TEST(LoaderFuzz, BZip2Decoder) { FuzzDecoder(VLMCompressionBZip, 404); }

}  // namespace
