// Compressed BLOB values stored past 4 GiB of their inner stream, and logical
// positions past 4 GiB: start positions, header positions and seek targets
// are 64-bit and must not wrap.
#include <gtest/gtest.h>

#include <string>

#include "engine/core/VLMCompression.h"
#include "platform/os/File.h"
#include "tests/engine/blob/BLOBTestUtil.h"

using namespace blobtest;

namespace {

constexpr int64_t kFar = (int64_t{5} << 30) + 3;  // 5 GiB + 3 in a sparse file

class TempName {
public:
  TempName() : Name(VLMGetTempFileName()) {}
  ~TempName() { qv::DeleteFile(Name); }
  std::string Name;
};

TEST(TVLMCompressedBLOBStreamLargeOffsets, ValuesStartingPastFourGigabytes) {
  TempName tmp;
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
  TempName tmp;
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
