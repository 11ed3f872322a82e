// The compressed BLOB stream's stored form (descriptor, block chain, CRCs),
// appends, and what it does with damaged or short inner streams.
//
// Compressed BLOB values stored past 4 GiB of their inner stream, and logical
// positions past 4 GiB: start positions, header positions and seek targets
// are 64-bit and must not wrap.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <string>

#include "engine/core/VLMCompression.h"
#include "tests/engine/blob/BLOBTestUtil.h"
#include "tests/support/EngineTempFile.h"

using namespace blobtest;

namespace {

constexpr uint8_t kZlib = VLMCompressionZlib;

TEST(TVLMBLOBDescriptor, StoredFormIsThirtyTwoLittleEndianBytes) {
  TVLMBLOBDescriptor d = Descriptor(2, 9, 0x01020304, 0x1122334455667788);
  d.BlockCount = 0x0506070809;
  d.UncompressedSize = -2;
  d.Reserved = {0xAB, 0xCD};
  std::vector<uint8_t> v(33, 0x5A);
  d.SaveToBytes(v.data());
  EXPECT_EQ(LE(v, 0, 4), 0x01020304u);
  EXPECT_EQ(LE(v, 4, 8), 0x0506070809u);
  EXPECT_EQ(static_cast<int64_t>(LE(v, 12, 8)), -2);
  EXPECT_EQ(LE(v, 20, 8), 0x1122334455667788u);
  EXPECT_EQ(LE(v, 28, 4), 0xCDAB0902u);  // algorithm, mode, the two carried bytes
  EXPECT_EQ(v[32], 0x5A);
  const TVLMBLOBDescriptor back = TVLMBLOBDescriptor::LoadFromBytes(v.data());
  std::vector<uint8_t> again(33, 0x5A);
  back.SaveToBytes(again.data());
  EXPECT_EQ(again, v);
}

// One write of two and a half blocks, checked with an independent parser and
// plain zlib; then an append of 10 bytes.
TEST(TVLMCompressedBLOBStream, OneWriteGivesAChainOfCheckedZlibBlocksAndAppendsRewriteTheLast) {
  auto value = Data(1310720, 1);
  TVLMMemoryStream inner;
  TVLMBLOBDescriptor d;
  {
    TVLMCompressedBLOBStream s(inner, false, true, Descriptor(kZlib, 1, 0));
    EXPECT_EQ(s.Write(value.data(), 1310720), 1310720);
    EXPECT_EQ(s.Position(), 1310720);
    d = s.Descriptor();
  }
  EXPECT_EQ(d.BlockSize, 524288u);
  EXPECT_EQ(d.BlockCount, 3);
  EXPECT_EQ(d.UncompressedSize, 1310720);
  auto stored = Contents(inner);
  const auto blocks = Chain(stored, 0, 3);
  ASSERT_EQ(blocks.size(), 3u);
  const uint32_t plainSizes[3] = {524288, 524288, 262144};
  int64_t offset = 0, compressedSum = 0;
  for (size_t i = 0; i < 3; ++i) {
    const StoredBlock& b = blocks[i];
    EXPECT_EQ(b.UncompressedSize, plainSizes[i]) << i;
    EXPECT_EQ(b.BlockLength, b.CompressedSize + 20) << i;
    EXPECT_EQ(b.CRC32, VLMCRC32(0, value.data() + offset, b.UncompressedSize)) << i;
    std::vector<uint8_t> plain(b.UncompressedSize);
    uLongf plainLen = b.UncompressedSize;
    ASSERT_EQ(uncompress(plain.data(), &plainLen, stored.data() + b.Position + 20, b.CompressedSize), Z_OK);
    ASSERT_EQ(plainLen, b.UncompressedSize);
    EXPECT_EQ(0, std::memcmp(plain.data(), value.data() + offset, plainLen)) << i;
    offset += b.UncompressedSize;
    compressedSum += b.CompressedSize;
  }
  EXPECT_EQ(blocks[1].Position, blocks[0].BlockLength);
  EXPECT_EQ(inner.Size(), blocks[2].Position + blocks[2].BlockLength);

  TVLMCompressedBLOBStream r(inner, false, false, d);
  EXPECT_EQ(r.CompressedSize(), compressedSum);
  EXPECT_DOUBLE_EQ(r.CompressionRate(), (1.0 - compressedSum / 1310720.0) * 100.0);
  EXPECT_EQ(Contents(r), value);

  const uint8_t more[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  r.Seek(0, qv::SeekOrigin::End);
  EXPECT_EQ(r.Write(more, 10), 10);
  EXPECT_EQ(r.Descriptor().BlockCount, 3);
  EXPECT_EQ(r.Descriptor().UncompressedSize, 1310730);
  value.insert(value.end(), more, more + 10);
  const auto before = stored;
  stored = Contents(inner);
  const auto after = Chain(stored, 0, 3);
  EXPECT_EQ(after[2].Position, blocks[2].Position);
  EXPECT_EQ(after[2].UncompressedSize, 262154u);
  EXPECT_EQ(after[2].CRC32, VLMCRC32(0, value.data() + 1048576, 262154));
  EXPECT_EQ(0, std::memcmp(stored.data(), before.data(), static_cast<size_t>(blocks[2].Position)));
  TVLMCompressedBLOBStream again(inner, false, false, r.Descriptor());
  EXPECT_EQ(Contents(again), value);
}

TEST(TVLMCompressedBLOBStream, NewValuesTakeTheirBlockSizeFromTheMode) {
  const uint32_t kSizes[10] = {102400, 524288, 524288, 524288, 1048576, 1048576, 1048576, 1572864, 1572864, 1572864};
  for (uint8_t mode = 0; mode < 10; ++mode) {
    TVLMMemoryStream inner;
    TVLMBLOBDescriptor d = Descriptor(kZlib, mode, 0);
    d.BlockCount = 77;
    TVLMCompressedBLOBStream s(inner, false, true, d);
    EXPECT_EQ(s.BlockSize, static_cast<int32_t>(kSizes[mode]));
    EXPECT_EQ(s.Descriptor().BlockSize, kSizes[mode]);
    EXPECT_EQ(s.Descriptor().BlockCount, 0);
  }
}

TEST(TVLMCompressedBLOBStream, AFlippedByteFailsOnlyItsOwnBlock) {
  const auto value = Data(1000, 2);
  TVLMMemoryStream inner;
  const TVLMBLOBDescriptor d = Store(inner, value, Descriptor(kZlib, 5, 256));
  const auto clean = Contents(inner);
  const auto blocks = Chain(clean, 0, 4);
  ASSERT_EQ(blocks.size(), 4u);
  // A flip may land in bits deflate does not use and change nothing; what
  // must never happen is a read that delivers wrong bytes.
  uint32_t failed = 0;
  std::vector<uint8_t> buf(256);
  for (uint32_t k = 0; k < blocks[1].CompressedSize; ++k) {
    auto damaged = clean;
    damaged[static_cast<size_t>(blocks[1].Position + 20 + k)] ^= 0x10;
    Put(inner, damaged);
    TVLMCompressedBLOBStream s(inner, false, false, d);
    for (int64_t block = 0; block < 4; ++block) {
      const auto want = static_cast<size_t>(block == 3 ? 232 : 256);
      s.Seek(block * 256, qv::SeekOrigin::Beginning);
      const int32_t code = RaisedCode([&] {
        ASSERT_EQ(s.Read(buf.data(), 256), static_cast<int64_t>(want));
        ASSERT_EQ(0, std::memcmp(buf.data(), value.data() + block * 256, want)) << "byte " << k;
      });
      ASSERT_TRUE(code == 0 || (block == 1 && code >= 10087 && code <= 10089)) << k << " " << code;
      failed += code != 0;
    }
  }
  EXPECT_GE(failed, blocks[1].CompressedSize * 9 / 10);

  auto damaged = clean;
  damaged[static_cast<size_t>(blocks[2].Position + 8)] ^= 0x01;
  Put(inner, damaged);
  TVLMCompressedBLOBStream s(inner, false, false, d);
  s.Seek(600, qv::SeekOrigin::Beginning);
  EXPECT_EQ(RaisedMessage([&] { s.Read(buf.data(), 1); }),
            "Decompress buffer failed. CheckSum = " + std::to_string(static_cast<int32_t>(blocks[2].CRC32)) +
                ", Header.Crc32 = " + std::to_string(static_cast<int32_t>(blocks[2].CRC32 ^ 1u)) +
                " - Native error: 10089");
}

TEST(TVLMCompressedBLOBStream, ACutInnerStreamRaisesOrShrinksTheValue) {
  const auto value = Data(700, 3);
  TVLMMemoryStream inner;
  const TVLMBLOBDescriptor d = Store(inner, value, Descriptor(kZlib, 1, 200));
  const auto clean = Contents(inner);
  const auto blocks = Chain(clean, 0, 4);
  ASSERT_EQ(blocks.size(), 4u);

  // Inside the header of block 2; then inside the last block's data.
  Put(inner, std::vector<uint8_t>(clean.begin(), clean.begin() + blocks[2].Position + 7));
  EXPECT_EQ(RaisedMessage([&] { TVLMCompressedBLOBStream s(inner, false, false, d); }),
            "Stream size = " + std::to_string(blocks[2].Position + 7) + " too small. Should be at least = " +
                std::to_string(blocks[2].Position + 20) + " - Native error: 10082");
  TVLMCompressedBLOBStream two(inner, true, false, d);
  EXPECT_EQ(two.Descriptor().BlockCount, 2);
  EXPECT_EQ(Contents(two), std::vector<uint8_t>(value.begin(), value.begin() + 400));

  Put(inner, std::vector<uint8_t>(clean.begin(), clean.end() - 1));
  EXPECT_EQ(RaisedCode([&] { TVLMCompressedBLOBStream s(inner, false, false, d); }), 10084);
  TVLMCompressedBLOBStream three(inner, true, false, d);
  EXPECT_EQ(three.Size(), 600);
  EXPECT_EQ(three.Descriptor().BlockCount, 3);
}

// Stored headers and descriptors that break the block rules are refused.
TEST(TVLMCompressedBLOBStream, InvalidStoredHeadersRaise10084) {
  TVLMMemoryStream inner;
  const TVLMBLOBDescriptor d = Store(inner, Data(250, 4), Descriptor(kZlib, 1, 100));
  const auto clean = Contents(inner);
  const auto blocks = Chain(clean, 0, 3);
  ASSERT_EQ(blocks.size(), 3u);
  using Bytes = std::vector<uint8_t>;
  const auto field = [&](Bytes& b, int block, int at, int width, uint64_t v) {
    PutLE(b, static_cast<size_t>(blocks[block].Position + at), width, v);
  };
  const std::function<void(Bytes&, TVLMBLOBDescriptor&)> kCases[] = {
      [](Bytes&, auto& dd) { dd.BlockSize = 0; },
      [](Bytes&, auto& dd) { dd.BlockSize = 0x80000000u; },
      [](Bytes&, auto& dd) { dd.BlockCount = -1; },
      [](Bytes&, auto& dd) { dd.BlockCount = 4; },  // the partial block would not be the last
      [&](Bytes& b, auto&) { field(b, 1, 4, 4, 99); },
      [&](Bytes& b, auto&) { field(b, 2, 4, 4, 101); },
      [&](Bytes& b, auto&) { field(b, 2, 4, 4, 0); },
      [&](Bytes& b, auto&) { field(b, 2, 0, 4, 0), field(b, 2, 12, 8, 20); },
      [&](Bytes& b, auto&) { field(b, 0, 12, 8, blocks[0].BlockLength + 1); },
      [&](Bytes& b, auto&) { field(b, 1, 12, 8, static_cast<uint64_t>(-40)); },
      [&](Bytes& b, auto&) { field(b, 2, 0, 4, 0xFFFFFFF0u), field(b, 2, 12, 8, 0xFFFFFFF0u + 20ull); },
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    Bytes bytes = clean;
    TVLMBLOBDescriptor dd = d;
    kCases[i](bytes, dd);
    Put(inner, bytes);
    EXPECT_EQ(RaisedMessage([&] { TVLMCompressedBLOBStream s(inner, false, false, dd); }),
              "Invalid BLOB block header - Native error: 10084")
        << "case " << i;
    // With SkipSizeCheck a block running past the end is cut off instead.
    const bool cut = i + 1 == std::size(kCases);
    EXPECT_EQ(RaisedCode([&] { TVLMCompressedBLOBStream s(inner, true, false, dd); }), cut ? 0 : 10084) << i;
  }
}

TEST(TVLMCompressedBLOBStream, OpeningChecksStartAndLength) {
  TVLMMemoryStream inner;
  EXPECT_EQ(RaisedMessage([&] { TVLMCompressedBLOBStream s(inner, false, true, Descriptor(kZlib, 1, 9, -4)); }),
            "Cannot set stream position to -4. Position = 0, Size = 0 - Native error: 10103");
  const auto value = Data(50, 5);
  TVLMBLOBDescriptor d = Store(inner, value, Descriptor(VLMCompressionNone, 0, 0, 3));
  EXPECT_EQ(inner.Size(), 53);
  d.UncompressedSize = 51;
  EXPECT_EQ(RaisedMessage([&] { TVLMCompressedBLOBStream s(inner, false, false, d); }),
            "Stream size = 53 too small. Should be at least = 54 - Native error: 10081");
  EXPECT_EQ(TVLMCompressedBLOBStream(inner, true, false, d).Size(), 51);

  // A stored value starts at most at the inner stream's end, also without
  // the size check: a damaged start must not make a write grow the inner
  // stream up to it.
  for (uint8_t algorithm : {VLMCompressionNone, kZlib})
    for (bool skip : {false, true}) {
      TVLMBLOBDescriptor at = Descriptor(algorithm, 1, algorithm == kZlib ? 100 : 0, 1000000);
      EXPECT_EQ(RaisedMessage([&] { TVLMCompressedBLOBStream s(inner, skip, false, at); }),
                "Stream size = 53 too small. Should be at least = 1000000 - Native error: 10082")
          << int(algorithm) << skip;
      at.StartPosition = 53;
      TVLMCompressedBLOBStream s(inner, skip, false, at);
      EXPECT_EQ(s.Write(value.data(), 1), 1);
      EXPECT_LE(inner.Size(), 53 + 1 + 20 + 16);  // one byte, one block header, compression overhead
      inner.SetSize(53);
    }
}

TEST(TVLMCompressedBLOBStream, FailedWritesKeepTheCompleteBlocks) {
  TVLMMemoryStream inner;
  const uint8_t x[5] = {1, 2, 3, 4, 5};
  TVLMCompressedBLOBStream b(inner, false, true, Descriptor(VLMCompressionBZip, 0, 100));
  EXPECT_EQ(RaisedMessage([&] { b.Write(x, 5); }),
            "Compress buffer failed. CompAlg = 2, CompMode = 0, InSize = 5, OutSize = 0 - Native error: 10085");
  EXPECT_EQ(b.Size(), 0);

  // A stream that takes four blocks and part of the fifth header.
  class Limited : public TVLMMemoryStream {
  public:
    int64_t Limit = 0;
    int64_t Write(const void* buffer, int64_t count) override {
      const int64_t n = std::min(count, Limit - Size());
      return n > 0 ? TVLMMemoryStream::Write(buffer, n) : 0;
    }
  } limited;
  const auto value = Data(1000, 6);
  const auto blocks = Chain(Contents(inner), 0, Store(inner, value, Descriptor(kZlib, 1, 100)).BlockCount);
  limited.Limit = blocks[4].Position + 9;
  TVLMCompressedBLOBStream s(limited, false, true, Descriptor(kZlib, 1, 100));
  EXPECT_EQ(RaisedCode([&] { s.Write(value.data(), 1000); }), 10100);
  EXPECT_EQ(s.Size(), 400);
  EXPECT_EQ(s.Descriptor().BlockCount, 4);
  limited.Limit = INT64_MAX;
  EXPECT_EQ(s.Write(value.data() + 400, 600), 600);
  EXPECT_EQ(Contents(*std::make_unique<TVLMCompressedBLOBStream>(limited, false, false, s.Descriptor())), value);
}

// ------------------------------------------------------------ past 4 GiB

constexpr int64_t kFar = (int64_t{5} << 30) + 3;  // 5 GiB + 3 in a sparse file

TEST(TVLMCompressedBLOBStreamLargeOffsets, ValuesStartingPastFourGigabytes) {
  qv::test::EngineTempFile tmp;
  TVLMFileStream inner(tmp.Name, TVLMFileStream::kModeCreate, true);
  auto value = Data(10000, 21);
  TVLMBLOBDescriptor d = Store(inner, value, Descriptor(VLMCompressionZlib, 6, 4096, kFar));
  EXPECT_EQ(d.StartPosition, kFar);
  EXPECT_EQ(d.BlockCount, 3);
  EXPECT_EQ(d.UncompressedSize, 10000);

  // The first header sits exactly at the start position, the next one
  // BlockLength bytes further on.
  std::vector<uint8_t> header(20);
  inner.SetPosition(kFar);
  inner.ReadBuffer(header.data(), 20);
  EXPECT_EQ(LE(header, 4, 4), 4096u);
  const int64_t firstLength = static_cast<int64_t>(LE(header, 12, 8));
  EXPECT_EQ(firstLength, static_cast<int64_t>(LE(header, 0, 4)) + 20);
  inner.SetPosition(kFar + firstLength);
  inner.ReadBuffer(header.data(), 20);
  EXPECT_EQ(LE(header, 4, 4), 4096u);

  {
    TVLMCompressedBLOBStream s(inner, false, false, d);
    EXPECT_EQ(Contents(s), value);
    // Appending rewrites the partial last block at its far position.
    const auto more = Data(5000, 22);
    s.Seek(0, qv::SeekOrigin::End);
    EXPECT_EQ(s.Write(more.data(), 5000), 5000);
    value.insert(value.end(), more.begin(), more.end());
    d = s.Descriptor();
  }
  EXPECT_EQ(d.BlockCount, 4);
  {
    TVLMCompressedBLOBStream s(inner, false, false, d);
    EXPECT_EQ(Contents(s), value);
    // A cut inside a block rewrites it as the new end of the inner stream.
    s.SetSize(5000);
    d = s.Descriptor();
    EXPECT_EQ(d.BlockCount, 2);
  }
  TVLMCompressedBLOBStream s(inner, false, false, d);
  EXPECT_EQ(Contents(s), std::vector<uint8_t>(value.begin(), value.begin() + 5000));
  EXPECT_GT(s.GetInnerStreamSize(), kFar);
}

TEST(TVLMCompressedBLOBStreamLargeOffsets, PlainValuesStartingPastFourGigabytes) {
  qv::test::EngineTempFile tmp;
  TVLMFileStream inner(tmp.Name, TVLMFileStream::kModeCreate, true);
  const auto value = Data(300, 23);
  const TVLMBLOBDescriptor d = Store(inner, value, Descriptor(VLMCompressionNone, 0, 0, kFar));
  EXPECT_EQ(d.UncompressedSize, 300);
  EXPECT_EQ(inner.Size(), kFar + 300);
  TVLMCompressedBLOBStream s(inner, false, false, d);
  EXPECT_EQ(s.Size(), 300);
  EXPECT_EQ(s.Seek(100, qv::SeekOrigin::Beginning), 100);
  EXPECT_EQ(inner.Position(), kFar + 100);
  EXPECT_EQ(Contents(s), value);
}

TEST(TVLMCompressedBLOBStreamLargeOffsets, SeekTargetsPastFourGigabytesAreKept) {
  TVLMMemoryStream inner;
  const auto value = Data(1000, 24);
  const TVLMBLOBDescriptor d = Store(inner, value, Descriptor(VLMCompressionZlib, 1, 256));
  TVLMCompressedBLOBStream s(inner, false, false, d);
  const int64_t target = (int64_t{1} << 32) + 5;  // 5 after a 32-bit wrap
  EXPECT_EQ(s.Seek(target, qv::SeekOrigin::Beginning), target);
  uint8_t buf[8];
  EXPECT_EQ(s.Read(buf, 8), 0);  // beyond the value: nothing, not byte 5
  EXPECT_EQ(s.Position(), target);
  EXPECT_EQ(s.Seek(-target, qv::SeekOrigin::Current), 0);
  EXPECT_EQ(s.Seek(target, qv::SeekOrigin::End), 1000 + target);
  EXPECT_EQ(s.Size(), 1000);
}

}  // namespace
