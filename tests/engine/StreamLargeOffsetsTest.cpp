// Positions and sizes past 4 GiB through the engine streams: block copies
// from and to sparse files, a temporary stream after its move to a file, and
// the figures of the checked stream routines. A position kept in 32 bits
// anywhere on these paths would wrap and read or write the wrong bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "platform/os/File.h"
#include "tests/support/EngineErrors.h"

namespace {

using qv::test::RaisedMessage;

constexpr int64_t kFar = (int64_t{5} << 30) + 7;  // 5 GiB + 7: sparse, no data blocks

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

class TempName {
public:
  TempName() : Name(VLMGetTempFileName()) {}
  ~TempName() { qv::DeleteFile(Name); }
  std::string Name;
};

// A stream that cannot move past 4 GiB, as a file system without large-file
// support would answer.
class CappedStream : public TVLMMemoryStream {
public:
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override {
    const int64_t wanted = TVLMMemoryStream::Seek(offset, origin);
    if (wanted > kCap) TVLMMemoryStream::Seek(kCap, qv::SeekOrigin::Beginning);
    return TVLMMemoryStream::Seek(0, qv::SeekOrigin::Current);
  }
  static constexpr int64_t kCap = int64_t{1} << 32;
};

TEST(TVLMStreamLargeOffsets, BlockCopiesReadAndWritePastFourGigabytes) {
  TempName tmp;
  TVLMFileStream file(tmp.Name, TVLMFileStream::kModeCreate, true);
  const auto data = Bytes(3000, 11);
  ASSERT_EQ(file.Seek(kFar, qv::SeekOrigin::Beginning), kFar);
  ASSERT_EQ(file.Write(data.data(), 3000), 3000);
  file.SetPosition(123);

  // Copy in: the range starts past 4 GiB; the progress is a share of the
  // whole source and stays within 0..100.
  TVLMMemoryStream mem;
  mem.BlockSize = 1000;
  std::vector<double> progress;
  mem.OnProgress = [&](TVLMStream*, double percent) { progress.push_back(percent); };
  mem.LoadFromStreamRange(file, kFar + 500, 2500);
  ASSERT_EQ(mem.Size(), 2500);
  std::vector<uint8_t> back(2500);
  mem.SetPosition(0);
  mem.ReadBuffer(back.data(), 2500);
  EXPECT_EQ(back, std::vector<uint8_t>(data.begin() + 500, data.end()));
  EXPECT_EQ(file.Position(), 123);
  ASSERT_EQ(progress.size(), 5u);  // 0, three steps, 100
  EXPECT_EQ(progress.front(), 0);
  EXPECT_DOUBLE_EQ(progress[1], static_cast<double>(kFar + 1500) / static_cast<double>(kFar + 3000) * 100.0);
  for (double p : progress) {
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
  }

  // Copy out: the destination position past 4 GiB is where the bytes land
  // and where the destination is left.
  const int64_t dest = kFar + 10000;
  file.SetPosition(dest);
  mem.SaveToStream(file);
  EXPECT_EQ(file.Position(), dest);
  EXPECT_EQ(file.Size(), dest + 2500);
  std::vector<uint8_t> landed(2500);
  file.SetPosition(dest);
  file.ReadBuffer(landed.data(), 2500);
  EXPECT_EQ(landed, back);
}

TEST(TVLMStreamLargeOffsets, TemporaryStreamKeepsLargePositionsAfterItsMove) {
  TVLMTemporaryStream t;
  const auto chunk = Bytes(1048577, 3);  // one byte past the threshold
  ASSERT_EQ(t.Write(chunk.data(), static_cast<int64_t>(chunk.size())), static_cast<int64_t>(chunk.size()));
  ASSERT_FALSE(t.InMemory());
  const auto tail = Bytes(64, 200);
  EXPECT_EQ(t.Seek(kFar, qv::SeekOrigin::Beginning), kFar);
  ASSERT_EQ(t.Write(tail.data(), 64), 64);
  EXPECT_EQ(t.Size(), kFar + 64);
  EXPECT_EQ(t.Seek(-64, qv::SeekOrigin::End), kFar);
  std::vector<uint8_t> back(64);
  t.ReadBuffer(back.data(), 64);
  EXPECT_EQ(back, tail);
  // The bytes written before the move are still at the start.
  t.SetPosition(0);
  std::vector<uint8_t> head(16);
  t.ReadBuffer(head.data(), 16);
  EXPECT_EQ(head, std::vector<uint8_t>(chunk.begin(), chunk.begin() + 16));
}

TEST(TVLMStreamLargeOffsets, CheckedRoutinesReportSixtyFourBitFigures) {
  TempName tmp;
  TVLMFileStream file(tmp.Name, TVLMFileStream::kModeCreate, true);
  EXPECT_EQ(VLMSetStreamPosition(file, 10500, kFar), kFar);
  uint8_t buf[4] = {};
  EXPECT_EQ(RaisedMessage([&] { VLMReadStreamBuffer(buf, 4, file, 10501); }),
            "Cannot read from stream. Position = 5368709127, Stream size = 0, Block size = 4, Bytes Read = 0"
            " - Native error: 10501");
  VLMWriteStreamBuffer("abcd", 4, file, 10502);
  EXPECT_EQ(file.Size(), kFar + 4);

  CappedStream capped;
  EXPECT_EQ(RaisedMessage([&] { VLMSetStreamPosition(capped, 10503, kFar); }),
            "Cannot set stream position to 5368709127. Position = 4294967296, Size = 0 - Native error: 10503");
}

}  // namespace
