// Round trips, the buffer entry points' contract, the process-wide model under
// two threads, and a decoder fed corrupt data.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/engine/ppmd/PPMdTestData.h"
#include "tests/support/TestBudget.h"

using namespace ppmdtest;

namespace {

// Through the buffer entry points, as the engine's compression calls them.
Bytes BufferCompress(const Bytes& in, uint8_t mode) {
  void* out = nullptr;
  int64_t size = -1;
  const bool ok = PPMCompressBuffer(mode, in.data(), static_cast<int64_t>(in.size()), out, size);
  EXPECT_EQ(ok, out != nullptr);
  Bytes result;
  if (ok) result.assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size);
  std::free(out);
  return result;
}

bool BufferDecompress(const Bytes& in, int64_t expected, Bytes& result) {
  void* out = nullptr;
  int64_t size = expected;
  const bool ok = PPMDecompressBuffer(in.data(), static_cast<int64_t>(in.size()), size, out);
  result.clear();
  if (ok) result.assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size);
  else EXPECT_TRUE(out == nullptr && size == 0);
  std::free(out);
  return ok;
}

void ExpectRoundTrip(const Bytes& in, uint8_t mode, const char* what) {
  const Bytes packed = BufferCompress(in, mode);
  ASSERT_FALSE(packed.empty()) << what << " mode " << int(mode);
  Bytes back;
  ASSERT_TRUE(BufferDecompress(packed, static_cast<int64_t>(in.size()), back))
      << what << " mode " << int(mode);
  EXPECT_TRUE(back == in) << what << " mode " << int(mode);
}

}  // namespace

TEST(PPMdRoundTrip, SmallInputsAtEveryMode) {
  Bytes all(256), shuffled(256);
  for (int i = 0; i < 256; ++i) all[i] = shuffled[i] = static_cast<uint8_t>(i);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
  for (uint8_t mode = 1; mode <= 9; ++mode) {
    for (uint8_t b : {0x00, 0x41, 0xFF}) ExpectRoundTrip(Bytes{b}, mode, "one byte");
    ExpectRoundTrip(all, mode, "0..255");
    ExpectRoundTrip(shuffled, mode, "256 values shuffled");

    // An empty input has a valid stream, which decodes to nothing; the buffer
    // call refuses it, as the engine never stores an empty compressed block.
    const Bytes empty = Compress(Bytes{}, mode);
    EXPECT_EQ(empty.size(), 9u);
    EXPECT_TRUE(Decompress(empty, 16).empty());
    EXPECT_TRUE(BufferCompress(Bytes{}, mode).empty());
  }
}

// The vectors pin every mode on 100 KB of text, whose contexts stop at order
// 7, and a megabyte of one byte at modes 1 and 9. A megabyte of text at mode 9
// adds what they leave out: contexts up to order 16 over a long input.
TEST(PPMdRoundTrip, MegabyteOfTextAtTheDeepestOrder) {
  // Size and CRC-32 of the text's compressed form, pinned: the compressed
  // format must never change, and round trips alone would not notice.
  const Bytes text = Text(1 << 20);
  const Bytes packedText = BufferCompress(text, 9);
  EXPECT_EQ(packedText.size(), 151325u);
  EXPECT_EQ(Crc(packedText), 0x87B0E8C1u);
  EXPECT_TRUE(Decompress(packedText, text.size()) == text);
}

TEST(PPMdRoundTrip, RandomBytesRestartTheModelAtMode1) {
  const Bytes in = Random(512 * 1024, 11);
  const Bytes packed = BufferCompress(in, 1);
  const int32_t restarts = PPMLastRestartCount();
  EXPECT_GT(restarts, 0);
  EXPECT_TRUE(Decompress(packed, in.size()) == in);
  EXPECT_EQ(PPMLastRestartCount(), restarts);
}

TEST(PPMdRoundTrip, SameInputSameOutputWhateverCameBefore) {
  const Bytes text = Text(150000);
  const Bytes first = BufferCompress(text, 5);
  BufferCompress(Random(60000, 5), 1);  // restarts, other order and memory
  Decompress(Random(3000, 6), 100);     // a failing decode in between
  EXPECT_TRUE(BufferCompress(text, 5) == first);
  EXPECT_TRUE(BufferCompress(text, 5) == first);
}

TEST(PPMdRoundTrip, TwoThreadsAtOnce) {
  const Bytes a = Text(200000);
  const Bytes b = Random(40000, 9);
  const Bytes packedA = BufferCompress(a, 6);
  const Bytes packedB = BufferCompress(b, 2);
  bool okA = true, okB = true;
  auto work = [](const Bytes& in, uint8_t mode, const Bytes& expected, bool& ok) {
    for (int i = 0; i < 3; ++i) {
      const Bytes packed = BufferCompress(in, mode);
      Bytes back;
      ok = ok && packed == expected && BufferDecompress(packed, in.size(), back) && back == in;
    }
  };
  std::thread t1(work, std::cref(a), uint8_t{6}, std::cref(packedA), std::ref(okA));
  std::thread t2(work, std::cref(b), uint8_t{2}, std::cref(packedB), std::ref(okB));
  t1.join();
  t2.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
}

TEST(PPMdBuffers, CallContractAndNoArenaLeftBehind) {
  const Bytes text = Text(5000);
  void* out = reinterpret_cast<void*>(1);
  int64_t size = 77;
  for (uint8_t badMode : {0, 10, 255}) {
    EXPECT_FALSE(PPMCompressBuffer(badMode, text.data(), 5000, out, size));
    EXPECT_TRUE(out == nullptr && size == 0);
  }
  EXPECT_FALSE(PPMCompressBuffer(1, text.data(), 0, out, size));
  EXPECT_FALSE(PPMCompressBuffer(1, nullptr, 10, out, size));
  EXPECT_FALSE(PPMArenaAllocated());

  const Bytes packed = BufferCompress(text, 4);
  EXPECT_FALSE(PPMArenaAllocated());
  Bytes back;
  EXPECT_TRUE(BufferDecompress(packed, 5000, back));
  EXPECT_TRUE(back == text);
  EXPECT_FALSE(PPMArenaAllocated());
  // A larger expected size gives the real size; a smaller one fails, without
  // writing past the buffer.
  EXPECT_TRUE(BufferDecompress(packed, 9000, back));
  EXPECT_EQ(back.size(), 5000u);
  EXPECT_FALSE(BufferDecompress(packed, 4999, back));
  EXPECT_FALSE(PPMArenaAllocated());
  EXPECT_FALSE(BufferDecompress(packed, 0, back));
  EXPECT_FALSE(BufferDecompress(Bytes{}, 10, back));
}

TEST(PPMdBuffers, EncoderOutputGrowsPastItsFirstEstimate) {
  const Bytes in = Random(20000, 4);
  const Bytes expected = Compress(in, 3);
  for (int64_t initial : {0, 5, 4000}) EXPECT_TRUE(Compress(in, 3, initial) == expected) << initial;

  int64_t capacity = 3;
  auto* out = static_cast<uint8_t*>(std::malloc(3));
  int64_t size;
  {
    std::lock_guard<std::recursive_mutex> guard(PPMLock());
    size = PPMCompress(in.data(), 20000, out, capacity, 7, 4);
  }
  EXPECT_EQ(size, static_cast<int64_t>(expected.size()));
  EXPECT_GE(capacity, size);
  std::free(out);
}

TEST(PPMdDecoder, RefusesForeignHeaders) {
  Bytes packed = Compress(FromText("abracadabra"), 2);
  ASSERT_EQ(Decompress(packed, 11), FromText("abracadabra"));
  for (uint8_t letter : {0, 5, 7, 15}) {
    Bytes bad = packed;
    bad[1] = static_cast<uint8_t>((bad[1] & 0x0F) | (letter << 4));
    EXPECT_TRUE(Decompress(bad, 11).empty()) << int(letter);
  }
  Bytes orderOne = packed;
  orderOne[0] &= 0xF0;  // MaxOrder 1: its model cannot run
  EXPECT_TRUE(Decompress(orderOne, 11).empty());
  EXPECT_TRUE(Decompress(Bytes(packed.begin(), packed.begin() + 3), 11).empty());
  EXPECT_FALSE(PPMArenaAllocated());
}

TEST(PPMdDecoder, CorruptInputNeverPassesTheExpectedSize) {
  std::mt19937 rng(1234);
  const Bytes text = Text(3000);
  auto budget = qv::test::TestBudget::Steps(240);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    const uint8_t mode = static_cast<uint8_t>(1 + round % 9);
    const size_t expected = 1 + rng() % 4000;
    Bytes data;
    switch (round % 4) {
      case 0:  // a valid header over random bytes
        data = Random(8 + rng() % 3000, rng());
      {
        const uint32_t header = (PPMMaxOrderForMode(mode) - 1) |
                                ((PPMMemoryMBForMode(mode) - 1) << 4) | (6u << 12);
        for (int k = 0; k < 4; ++k) data[k] = static_cast<uint8_t>(header >> (8 * k));
        break;
      }
      case 1: {  // a valid stream with a few bytes changed
        data = Compress(text, mode);
        for (int k = 0; k < 3; ++k) data[4 + rng() % (data.size() - 4)] ^= 1 + rng() % 255;
        break;
      }
      case 2:  // a valid stream cut short
        data = Compress(text, mode);
        data.resize(4 + rng() % (data.size() - 4));
        break;
      default:  // anything, small memory sizes in the header
        data = Random(4 + rng() % 200, rng());
        data[1] &= 0x60 | 0x03;
        break;
    }
    const Bytes out = Decompress(data, expected);
    EXPECT_LE(out.size(), expected);
  }
  EXPECT_FALSE(PPMArenaAllocated());
}
