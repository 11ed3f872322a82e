// Memory, file and temporary streams and the block copies between streams.
//
// Positions and sizes past 4 GiB through the engine streams: block copies
// from and to sparse files, a temporary stream after its move to a file, and
// the figures of the checked stream routines. A position kept in 32 bits
// anywhere on these paths would wrap and read or write the wrong bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMStreams.h"
#include "platform/os/File.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/EngineTempFile.h"
#include "tests/support/TestBudget.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 3) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> ReadAll(qv::Stream& s) {
  const int64_t pos = s.Position();
  s.SetPosition(0);
  std::vector<uint8_t> v(static_cast<size_t>(s.Size()));
  if (!v.empty()) s.ReadBuffer(v.data(), static_cast<int64_t>(v.size()));
  s.SetPosition(pos);
  return v;
}

using qv::test::EngineTempFile;
using qv::test::Raised;
using qv::test::RaisedMessage;

// A stream that refuses to read or write past a fixed number of bytes.
class ShortStream : public qv::Stream {
public:
  explicit ShortStream(int64_t size, int64_t writeLimit) : Size_(size), WriteLimit_(writeLimit) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::max<int64_t>(0, std::min(count, Size_ / 2 - Pos_));
    std::memset(buffer, 1, static_cast<size_t>(n));
    Pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t count) override {
    const int64_t n = std::max<int64_t>(0, std::min(count, WriteLimit_ - Pos_));
    Pos_ += n;
    return n;
  }
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override {
    if (origin == qv::SeekOrigin::Beginning) Pos_ = offset;
    if (origin == qv::SeekOrigin::Current) Pos_ += offset;
    if (origin == qv::SeekOrigin::End) Pos_ = Size_ + offset;
    return Pos_;
  }
  void SetSize(int64_t) override {}
  int64_t GetSize() override { return Size_; }

private:
  int64_t Size_;
  int64_t WriteLimit_;
  int64_t Pos_ = 0;
};

TEST(TVLMMemoryStream, ReadWriteSeekSemantics) {
  TVLMMemoryStream s;
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.BlockSize, 102400);
  const auto data = Pattern(1000);
  EXPECT_EQ(s.Write(data.data(), 1000), 1000);
  EXPECT_EQ(s.Size(), 1000);
  EXPECT_GE(s.Capacity(), 1000);
  EXPECT_EQ(s.Position(), 1000);
  EXPECT_EQ(ReadAll(s), data);

  // Reads stop at the end; a position past it reads nothing.
  uint8_t buf[64];
  s.SetPosition(990);
  EXPECT_EQ(s.Read(buf, 64), 10);
  EXPECT_EQ(s.Read(buf, 64), 0);
  EXPECT_EQ(s.Read(buf, 0), 0);
  EXPECT_EQ(s.Seek(5000, qv::SeekOrigin::Beginning), 5000);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Seek(-10, qv::SeekOrigin::End), 990);
  EXPECT_EQ(s.Seek(4, qv::SeekOrigin::Current), 994);

  // Writing past the end extends; the gap reads as zeros.
  s.Seek(100, qv::SeekOrigin::End);
  const uint8_t one = 0x77;
  EXPECT_EQ(s.Write(&one, 1), 1);
  EXPECT_EQ(s.Size(), 1101);
  const auto all = ReadAll(s);
  for (size_t i = 1000; i < 1100; ++i) ASSERT_EQ(all[i], 0) << i;
  EXPECT_EQ(all[1100], 0x77);

  // Shrinking pulls the position back; growing again shows zeros.
  s.SetSize(10);
  EXPECT_EQ(s.Position(), 10);
  s.SetSize(20);
  const auto grown = ReadAll(s);
  for (size_t i = 10; i < 20; ++i) EXPECT_EQ(grown[i], 0);
  s.SetSize(0);
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
}

TEST(TVLMMemoryStream, NegativePositionsMoveNothing) {
  TVLMMemoryStream s;
  const uint8_t data[4] = {1, 2, 3, 4};
  s.Write(data, 4);
  s.SetPosition(-2);
  uint8_t buf[4];
  EXPECT_EQ(s.Read(buf, 4), 0);
  EXPECT_EQ(s.Write(data, 4), 0);
  EXPECT_EQ(s.Size(), 4);
  EXPECT_EQ(s.Position(), -2);
  // Offsets that would overflow leave the position alone.
  s.SetPosition(INT64_MAX - 1);
  EXPECT_EQ(s.Seek(10, qv::SeekOrigin::Current), INT64_MAX - 1);
  EXPECT_EQ(s.Write(data, 4), 0);
}

TEST(TVLMMemoryStream, AdoptsOrAllocatesItsBlock) {
  void* block = VLMMemoryManager().GetMem(32);
  std::memset(block, 'x', 32);
  {
    TVLMMemoryStream s(block, 0);
    EXPECT_EQ(s.Size(), 32);
    EXPECT_EQ(s.Capacity(), 32);
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(ReadAll(s), std::vector<uint8_t>(32, 'x'));
  }  // frees the adopted block
  TVLMMemoryStream t(nullptr, 500);
  EXPECT_EQ(t.Size(), 0);
  EXPECT_EQ(t.Capacity(), 500);
  // Growth doubles the requested size.
  const auto data = Pattern(600);
  t.Write(data.data(), 600);
  EXPECT_EQ(t.Capacity(), 1200);
}

TEST(TVLMStream, SaveToStreamCopiesWholeAndRestoresPositions) {
  TVLMMemoryStream src, dst;
  const auto data = Pattern(250000);
  src.Write(data.data(), static_cast<int64_t>(data.size()));
  src.SetPosition(17);
  const uint8_t head[3] = {9, 9, 9};
  dst.Write(head, 3);
  std::vector<double> progress;
  src.OnProgress = [&](TVLMStream* sender, double percent) {
    EXPECT_EQ(sender, &src);
    progress.push_back(percent);
  };
  src.SaveToStream(dst);
  EXPECT_EQ(src.Position(), 17);
  EXPECT_EQ(dst.Position(), 3);  // where the copy began
  EXPECT_EQ(dst.Size(), 3 + 250000);
  auto all = ReadAll(dst);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), all.begin() + 3));
  ASSERT_EQ(progress.size(), 5u);  // 0, three blocks, 100
  EXPECT_EQ(progress.front(), 0);
  EXPECT_DOUBLE_EQ(progress[1], 102400.0 / 250000.0 * 100.0);
  EXPECT_EQ(progress.back(), 100);
}

TEST(TVLMStream, LoadFromStreamRangeReplacesTheContents) {
  TVLMMemoryStream src, dst;
  const auto data = Pattern(5000);
  src.Write(data.data(), 5000);
  src.SetPosition(123);
  dst.Write(data.data(), 77);
  dst.BlockSize = 700;  // several steps
  dst.LoadFromStreamRange(src, 1000, 2500);
  EXPECT_EQ(dst.Size(), 2500);
  EXPECT_EQ(ReadAll(dst), std::vector<uint8_t>(data.begin() + 1000, data.begin() + 3500));
  EXPECT_EQ(src.Position(), 123);
  EXPECT_EQ(dst.Position(), 77);

  dst.LoadFromStreamRange(src, 10, 0);
  EXPECT_EQ(dst.Size(), 0);
  dst.LoadFromStream(src);
  EXPECT_EQ(ReadAll(dst), data);
}

TEST(TVLMStream, BlockCopyFailures) {
  TVLMMemoryStream a, b;
  a.Write("abc", 3);
  a.BlockSize = 0;
  EXPECT_EQ(Raised([&] { a.SaveToStream(b); }).Message(),
            "Stream block size = 0 is not allowed - Native error: 10418");
  EXPECT_EQ(Raised([&] { a.LoadFromStream(b); }).Message(),
            "Stream block size = 0 is not allowed - Native error: 10419");
  a.BlockSize = -5;
  EXPECT_EQ(Raised([&] { a.SaveToStream(b); }).NativeError, 10418);

  // Short write into the destination.
  TVLMMemoryStream big;
  const auto data = Pattern(300);
  big.Write(data.data(), 300);
  big.BlockSize = 100;
  ShortStream sink(1000, 150);
  EXPECT_EQ(Raised([&] { big.SaveToStream(sink); }).Message(),
            "Cannot write to stream. Position = 100, Stream size = 1000, Block size = 100, "
            "Bytes Write = 50 - Native error: 10147");
  // Short read from the source.
  ShortStream source(400, 0);
  big.BlockSize = 150;
  EXPECT_EQ(Raised([&] { big.LoadFromStreamRange(source, 0, 400); }).Message(),
            "Cannot read from stream. Position = 150, Stream size = 400, Block size = 150, "
            "Bytes Read = 50 - Native error: 10148");
}

TEST(TVLMFileStream, OpensCreatesAndResizes) {
  EngineTempFile tmp;
  {
    TVLMFileStream f(tmp.Name, TVLMFileStream::kModeCreate, false);
    EXPECT_GE(f.Handle(), 0);
    EXPECT_EQ(f.FileName(), tmp.Name);
    const auto data = Pattern(3000);
    EXPECT_EQ(f.Write(data.data(), 3000), 3000);
    EXPECT_EQ(f.Size(), 3000);
    EXPECT_EQ(ReadAll(f), data);
    // Shrinking below the position moves it to the new end.
    f.SetPosition(2500);
    f.SetSize(1000);
    EXPECT_EQ(f.Position(), 1000);
    EXPECT_EQ(f.Size(), 1000);
    // Growing keeps the position.
    f.SetPosition(10);
    f.SetSize(4000);
    EXPECT_EQ(f.Position(), 10);
    EXPECT_EQ(f.Size(), 4000);
    // A seek before the start is refused.
    EXPECT_EQ(f.Seek(-1, qv::SeekOrigin::Beginning), -1);
    EXPECT_EQ(f.Position(), 10);
  }
  EXPECT_TRUE(qv::FileExists(tmp.Name));
  {
    TVLMFileStream r(tmp.Name, TVLMFileStream::kModeOpenRead);
    EXPECT_EQ(r.Size(), 4000);
    EXPECT_EQ(r.Write("x", 1), 0);  // read-only handle: a failed write answers 0
  }
  EXPECT_EQ(Raised([] { TVLMFileStream("/nonexistent-dir/none.vlm", 2); }).Message(),
            "Cannot open file. FileName = /nonexistent-dir/none.vlm, Mode = 2 - Native error: 10105");
  EXPECT_EQ(Raised([] { TVLMFileStream("/nonexistent-dir/new.vlm", 0xFFFF); }).Message(),
            "Cannot create file. FileName = /nonexistent-dir/new.vlm - Native error: 10104");
}

TEST(TVLMFileStream, PositionsBeyondFourGigabytes) {
  EngineTempFile tmp;
  TVLMFileStream f(tmp.Name, TVLMFileStream::kModeCreate, true);
  const int64_t far = (int64_t{5} << 30) + 3;  // sparse: no data blocks are written
  EXPECT_EQ(f.Seek(far, qv::SeekOrigin::Beginning), far);
  EXPECT_EQ(f.Write("Z", 1), 1);
  EXPECT_EQ(f.Size(), far + 1);
  f.SetPosition(far);
  char c = 0;
  EXPECT_EQ(f.Read(&c, 1), 1);
  EXPECT_EQ(c, 'Z');
  EXPECT_EQ(f.Seek(-1, qv::SeekOrigin::End), far);
}

TEST(TVLMFileStream, DeleteOnCloseLeavesNoFile) {
  EngineTempFile tmp;
  {
    TVLMFileStream f(tmp.Name, TVLMFileStream::kModeCreate, true);
    EXPECT_TRUE(f.DeleteOnClose());
    EXPECT_EQ(f.Write("abc", 3), 3);
    EXPECT_EQ(ReadAll(f), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }
  EXPECT_FALSE(qv::FileExists(tmp.Name));
}

TEST(TVLMTemporaryStream, MovesToAFileOnceItOutgrowsMemory) {
  std::string fileName;
  const auto data = Pattern(1024 * 1030);
  {
    TVLMTemporaryStream t;
    EXPECT_TRUE(t.InMemory());
    int64_t written = 0;
    while (written < 1048576) {
      ASSERT_EQ(t.Write(data.data() + written, 1024), 1024);
      written += 1024;
    }
    EXPECT_TRUE(t.InMemory());  // exactly 1048576 bytes still fit
    t.SetPosition(1000);
    t.SetPosition(1048576);
    ASSERT_EQ(t.Write(data.data() + written, 1024), 1024);
    written += 1024;
    EXPECT_FALSE(t.InMemory());
    fileName = t.FileName();
    EXPECT_FALSE(fileName.empty());
    EXPECT_EQ(t.Position(), written);
    EXPECT_EQ(t.Size(), written);
    EXPECT_EQ(ReadAll(t), std::vector<uint8_t>(data.begin(), data.begin() + written));
    // Never back to memory.
    t.SetSize(0);
    EXPECT_FALSE(t.InMemory());
    EXPECT_EQ(t.Size(), 0);
  }
  EXPECT_FALSE(qv::FileExists(fileName));
}

TEST(TVLMTemporaryStream, MemoryOnlyNeverCreatesAFile) {
  TVLMTemporaryStream t(true);
  const auto data = Pattern(1 << 20);
  t.Write(data.data(), 1 << 20);
  t.Write(data.data(), 1 << 20);
  EXPECT_TRUE(t.InMemory());
  EXPECT_TRUE(t.FileName().empty());
  EXPECT_EQ(t.Size(), 2 << 20);
  t.SetPosition(1 << 20);
  std::vector<uint8_t> back(1 << 20);
  t.ReadBuffer(back.data(), 1 << 20);
  EXPECT_EQ(back, data);
}

// The memory stream against a byte vector, over random operations.
TEST(TVLMMemoryStream, BehavesLikeAByteVector) {
  std::mt19937 rng(11);
  TVLMMemoryStream s;
  std::vector<uint8_t> model;
  int64_t pos = 0;
  auto budget = qv::test::TestBudget::Steps(3000);
  for (int64_t step = 0; budget.Continue(step); ++step) {
    switch (rng() % 4) {
      case 0: {  // write
        const auto chunk = Pattern(rng() % 300 + 1, rng());
        ASSERT_EQ(s.Write(chunk.data(), static_cast<int64_t>(chunk.size())), static_cast<int64_t>(chunk.size()));
        if (pos + chunk.size() > model.size()) model.resize(pos + chunk.size(), 0);
        std::copy(chunk.begin(), chunk.end(), model.begin() + pos);
        pos += static_cast<int64_t>(chunk.size());
        break;
      }
      case 1: {  // read
        std::vector<uint8_t> buf(rng() % 300 + 1);
        const int64_t n = s.Read(buf.data(), static_cast<int64_t>(buf.size()));
        const int64_t expect = pos >= static_cast<int64_t>(model.size())
                                   ? 0
                                   : std::min<int64_t>(buf.size(), model.size() - pos);
        ASSERT_EQ(n, expect);
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + n, model.begin() + pos));
        pos += n;
        break;
      }
      case 2:  // seek, sometimes past the end
        pos = static_cast<int64_t>(rng() % (model.size() + 200));
        ASSERT_EQ(s.Seek(pos, qv::SeekOrigin::Beginning), pos);
        break;
      case 3: {  // resize
        const int64_t n = static_cast<int64_t>(rng() % (model.size() + 500));
        s.SetSize(n);
        model.resize(static_cast<size_t>(n), 0);
        if (pos > n) pos = n;
        break;
      }
    }
    ASSERT_EQ(s.Size(), static_cast<int64_t>(model.size()));
    ASSERT_EQ(s.Position(), pos);
  }
  EXPECT_EQ(ReadAll(s), model);
}

// ------------------------------------------------------------ past 4 GiB

constexpr int64_t kFar = (int64_t{5} << 30) + 7;  // 5 GiB + 7: sparse, no data blocks

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

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
  EngineTempFile tmp;
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
  EngineTempFile tmp;
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
