// Buffer compression round trips and failures, the CRC-32, algorithm names,
// temporary file names and the checked stream routines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "platform/os/File.h"
#include "tests/support/EngineErrors.h"

namespace {

using qv::test::Raised;

std::vector<uint8_t> TextLike(size_t n, uint32_t seed = 1) {
  static const char* const words[] = {"contest ", "QSO ", "CQ ", "599 ", "W1AW ", "14025 ", "CW\n", "de "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(n);
  while (out.size() < n) {
    const char* w = words[rng() % 8];
    for (; *w && out.size() < n; ++w) out.push_back(static_cast<uint8_t>(*w));
  }
  return out;
}

std::vector<uint8_t> Random(size_t n, uint32_t seed = 2) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Owns a buffer from the compression routines.
struct Buf {
  void* p = nullptr;
  int64_t size = 0;
  ~Buf() { VLMFreeBuffer(p); }
  std::vector<uint8_t> bytes() const {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + size);
  }
};

bool Compress(uint8_t alg, uint8_t mode, const std::vector<uint8_t>& in, Buf& out) {
  return VLMCompressBuffer(alg, mode, in.data(), static_cast<int64_t>(in.size()), out.p, out.size);
}

bool Decompress(uint8_t alg, const void* in, int64_t inSize, int64_t expected, Buf& out) {
  out.size = expected;
  return VLMDecompressBuffer(alg, in, inSize, out.size, out.p);
}

void RoundTrip(uint8_t alg, uint8_t mode, const std::vector<uint8_t>& data) {
  SCOPED_TRACE("algorithm " + std::to_string(alg) + " mode " + std::to_string(mode) + " size " +
               std::to_string(data.size()));
  Buf packed;
  ASSERT_TRUE(Compress(alg, mode, data, packed));
  ASSERT_GT(packed.size, 0);
  Buf plain;
  ASSERT_TRUE(Decompress(alg, packed.p, packed.size, static_cast<int64_t>(data.size()), plain));
  EXPECT_EQ(plain.bytes(), data);
}

TEST(VLMCompressBuffer, ZlibRoundTripsAtEveryLevel) {
  const auto text = TextLike(30000);
  for (uint8_t level = 0; level <= 9; ++level) {
    RoundTrip(VLMCompressionZlib, level, text);
    RoundTrip(VLMCompressionZlib, level, {0x42});
  }
  Buf packed;
  ASSERT_TRUE(Compress(VLMCompressionZlib, 9, text, packed));
  EXPECT_LT(packed.size, 30000 / 4);
}

TEST(VLMCompressBuffer, BZipRoundTripsAtEveryBlockSize) {
  const auto text = TextLike(150000);
  for (uint8_t mode = 1; mode <= 9; ++mode) {
    RoundTrip(VLMCompressionBZip, mode, text);
    RoundTrip(VLMCompressionBZip, mode, {0x00});
  }
}

TEST(VLMCompressBuffer, IncompressibleInputStillSucceeds) {
  for (size_t n : {1u, 7u, 300u, 5000u, 70000u}) {
    RoundTrip(VLMCompressionZlib, 6, Random(n, static_cast<uint32_t>(n)));
    RoundTrip(VLMCompressionBZip, 9, Random(n, static_cast<uint32_t>(n)));
  }
}

TEST(VLMCompressBuffer, LargePlainSizesIgnoreTheSmallEstimatePath) {
  // Above 10000 bytes the zlib output buffer starts from the input size and
  // grows; highly compressible data must come back whole.
  std::vector<uint8_t> zeros(1572864, 0);
  RoundTrip(VLMCompressionZlib, 1, zeros);
  RoundTrip(VLMCompressionBZip, 1, zeros);
  // Unknown plain size (0) works too.
  for (uint8_t alg : {VLMCompressionZlib, VLMCompressionBZip}) {
    Buf packed, plain;
    ASSERT_TRUE(Compress(alg, 6, zeros, packed));
    ASSERT_TRUE(Decompress(alg, packed.p, packed.size, 0, plain));
    EXPECT_EQ(plain.size, 1572864);
  }
}

TEST(VLMCompressBuffer, RefusesWhatItCannotDo) {
  const auto text = TextLike(100);
  Buf out;
  out.size = 77;
  EXPECT_FALSE(Compress(VLMCompressionNone, 5, text, out));
  EXPECT_EQ(out.size, 0);
  EXPECT_EQ(out.p, nullptr);
  out.size = 77;
  EXPECT_FALSE(VLMCompressBuffer(VLMCompressionZlib, 5, text.data(), 0, out.p, out.size));
  EXPECT_EQ(out.size, 0);
  EXPECT_FALSE(Compress(VLMCompressionBZip, 0, text, out));   // bzip2 refuses block size 0
  EXPECT_FALSE(Compress(VLMCompressionBZip, 10, text, out));  // and above 9
  EXPECT_FALSE(Compress(VLMCompressionZlib, 10, text, out));  // zlib refuses level 10
  EXPECT_FALSE(Compress(4, 1, text, out));                    // unknown algorithm
  EXPECT_EQ(out.p, nullptr);
  EXPECT_EQ(out.size, 0);
}

TEST(VLMCompressBuffer, PPMRoundTripsThroughTheCommonEntryPoint) {
  const auto text = TextLike(100000);
  for (uint8_t mode : {1, 5, 9}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Buf packed;
    ASSERT_TRUE(Compress(VLMCompressionPPM, mode, text, packed));
    EXPECT_LT(packed.size, 50000);
    // The 4-byte header names variant G (6) in bits 12-15.
    const auto bytes = packed.bytes();
    EXPECT_EQ((bytes[1] >> 4) & 0x0F, 6);
    Buf plain;
    ASSERT_TRUE(Decompress(VLMCompressionPPM, bytes.data(), packed.size, 100000, plain));
    EXPECT_EQ(plain.bytes(), text);
  }
}

TEST(VLMDecompressBuffer, BadInputAnswersFalseWithNoOutput) {
  const auto text = TextLike(20000);
  for (uint8_t alg : {VLMCompressionZlib, VLMCompressionBZip}) {
    SCOPED_TRACE(static_cast<int>(alg));
    Buf packed;
    ASSERT_TRUE(Compress(alg, 6, text, packed));
    const auto good = packed.bytes();

    Buf out;
    EXPECT_FALSE(Decompress(VLMCompressionNone, good.data(), 10, 100, out));
    EXPECT_FALSE(Decompress(alg, good.data(), 0, 100, out));
    EXPECT_FALSE(Decompress(7, good.data(), 10, 100, out));
    EXPECT_EQ(out.p, nullptr);
    EXPECT_EQ(out.size, 0);

    // Corrupt data.
    auto bad = good;
    for (size_t i = 8; i < bad.size(); i += 13) bad[i] ^= 0x5A;
    EXPECT_FALSE(Decompress(alg, bad.data(), static_cast<int64_t>(bad.size()), 20000, out));
    EXPECT_EQ(out.p, nullptr);
    EXPECT_EQ(out.size, 0);

    // Truncated streams end (no endless wait for more input), with or without
    // a known plain size.
    for (size_t cut : {size_t{3}, good.size() / 2, good.size() - 1}) {
      EXPECT_FALSE(Decompress(alg, good.data(), static_cast<int64_t>(cut), 20000, out)) << cut;
      EXPECT_FALSE(Decompress(alg, good.data(), static_cast<int64_t>(cut), 0, out)) << cut;
      EXPECT_EQ(out.p, nullptr);
    }

    // More plain bytes than expected.
    EXPECT_FALSE(Decompress(alg, good.data(), static_cast<int64_t>(good.size()), 19999, out));
    EXPECT_FALSE(Decompress(alg, good.data(), static_cast<int64_t>(good.size()), 500, out));
    EXPECT_EQ(out.p, nullptr);

    // Fewer plain bytes than expected is reported by size, not refused.
    ASSERT_TRUE(Decompress(alg, good.data(), static_cast<int64_t>(good.size()), 25000, out));
    EXPECT_EQ(out.size, 20000);
  }
}

TEST(VLMCRC32, MatchesThePublishedTableWithoutInversion) {
  EXPECT_EQ(VLMCRC32(0, "abc", 3), 0xCA6598D0u);
  // Continuing over pieces equals one pass.
  const auto data = TextLike(5000);
  const uint32_t whole = VLMCRC32(0, data.data(), 5000);
  EXPECT_EQ(VLMCRC32(VLMCRC32(0, data.data(), 1234), data.data() + 1234, 5000 - 1234), whole);
  EXPECT_EQ(VLMCRC32(0, nullptr, 5), 0u);
  EXPECT_EQ(VLMCRC32(0x12345678u, data.data(), 0), 0x12345678u);
  EXPECT_EQ(VLMCRC32(0x12345678u, data.data(), -4), 0x12345678u);
  // Without the final inversion, one zero byte from 0 stays 0.
  const uint8_t zero = 0;
  EXPECT_EQ(VLMCRC32(0, &zero, 1), 0u);
}

TEST(VLMCompressionAlgorithmFromName, NamesInAnyCase) {
  EXPECT_EQ(VLMCompressionAlgorithmFromName("NONE"), 0);
  EXPECT_EQ(VLMCompressionAlgorithmFromName("zlib"), 1);
  EXPECT_EQ(VLMCompressionAlgorithmFromName("BZip"), 2);
  EXPECT_EQ(VLMCompressionAlgorithmFromName("ppm"), 3);
  EXPECT_EQ(VLMCompressionAlgorithmFromName("LZMA"), 0);
  EXPECT_EQ(VLMCompressionAlgorithmFromName(""), 0);
  EXPECT_EQ(VLMCompressionAlgorithmFromName("ZLIB "), 0);
}

TEST(VLMGetTempFileName, CreatesAnEmptyUniqueVLMFile) {
  const std::string a = VLMGetTempFileName();
  const std::string b = VLMGetTempFileName();
  EXPECT_NE(a, b);
  EXPECT_NE(a.find("/VLM"), std::string::npos) << a;
  EXPECT_TRUE(qv::FileExists(a));
  qv::DeleteFile(a);
  qv::DeleteFile(b);
}

TEST(CheckedStreamRoutines, RaiseTheCallersCodeWithTheFigures) {
  TVLMMemoryStream s;
  const char text[] = "0123456789";
  VLMWriteStreamBuffer(text, 10, s, 10500);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(VLMSetStreamPosition(s, 10501, 4), 4);
  char buf[16] = {};
  EXPECT_EQ(VLMReadStreamBuffer(buf, 3, s, 10502), 3);
  EXPECT_EQ(std::string(buf, 3), "456");
  const EVLMException e = Raised([&] { VLMReadStreamBuffer(buf, 8, s, 10503); });
  EXPECT_EQ(e.NativeError, 10503);
  EXPECT_EQ(e.Message(),
            "Cannot read from stream. Position = 7, Stream size = 10, Block size = 8, Bytes Read = 3"
            " - Native error: 10503");
  s.SetPosition(-3);  // a memory stream keeps the position; writes there move nothing
  EXPECT_EQ(Raised([&] { VLMWriteStreamBuffer(text, 2, s, 10505); }).Message(),
            "Cannot write to stream. Position = -3, Stream size = 10, Block size = 2, Bytes Write = 0"
            " - Native error: 10505");
}

TEST(CheckedStreamRoutines, SetPositionMismatchNamesBothPositions) {
  const std::string name = VLMGetTempFileName();
  TVLMFileStream f(name, TVLMFileStream::kModeCreate, true);
  EXPECT_EQ(Raised([&] { VLMSetStreamPosition(f, 10080, -20); }).Message(),
            "Cannot set stream position to -20. Position = 0, Size = 0 - Native error: 10080");
}

}  // namespace
