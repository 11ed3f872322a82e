// The compressed BLOB stream against a plain byte vector (appends, writes
// inside and past the end, reads, size changes, reopenings), and a bounded
// random-input run over the header loader.
#include <gtest/gtest.h>

#include <memory>

#include "engine/core/VLMCompression.h"
#include "tests/engine/blob/BLOBTestUtil.h"
#include "tests/support/TestBudget.h"

using namespace blobtest;

namespace {

// Reopens the value from its descriptor's stored form, as an owner would, and
// checks the stored chain against the model first.
std::unique_ptr<TVLMCompressedBLOBStream> Reopen(qv::Stream& inner, const TVLMBLOBDescriptor& d,
                                                 const std::vector<uint8_t>& model) {
  if (d.Algorithm != VLMCompressionNone) {
    const auto blocks = Chain(Contents(inner), d.StartPosition, d.BlockCount);
    EXPECT_EQ(static_cast<int64_t>(blocks.size()), d.BlockCount);
    int64_t offset = 0;
    for (size_t i = 0; i < blocks.size() && offset + blocks[i].UncompressedSize <= static_cast<int64_t>(model.size()); ++i) {
      EXPECT_TRUE(i + 1 == blocks.size() ? blocks[i].UncompressedSize >= 1 : blocks[i].UncompressedSize == d.BlockSize);
      EXPECT_EQ(blocks[i].CRC32, VLMCRC32(0, model.data() + offset, blocks[i].UncompressedSize)) << i;
      offset += blocks[i].UncompressedSize;
    }
    EXPECT_EQ(offset, static_cast<int64_t>(model.size()));
  }
  uint8_t bytes[kVLMBLOBDescriptorSize];
  d.SaveToBytes(bytes);
  return std::make_unique<TVLMCompressedBLOBStream>(inner, false, false, TVLMBLOBDescriptor::LoadFromBytes(bytes));
}

void RunModel(uint8_t algorithm, uint8_t mode, uint32_t blockSize, int64_t start, uint32_t seed) {
  SCOPED_TRACE(testing::Message() << "algorithm " << int(algorithm) << " seed " << seed);
  std::mt19937 rng(seed);
  const bool compressed = algorithm != VLMCompressionNone;
  TVLMMemoryStream inner;
  // The value goes at the end of what the inner stream already holds, as an
  // owner places it; a stored start beyond the end is refused on reopening.
  inner.SetSize(start);
  std::vector<uint8_t> model;
  auto s = std::make_unique<TVLMCompressedBLOBStream>(inner, false, true, Descriptor(algorithm, mode, blockSize, start));
  auto budget = qv::test::TestBudget::Steps(300);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    const auto size = static_cast<int64_t>(model.size());
    const auto pos = static_cast<int64_t>(rng() % static_cast<uint32_t>(size + 60));
    switch (rng() % 5) {
      case 0: {  // write at pos: compressed values take it only at or past the end
        const auto data = Data(rng() % 120, rng(), rng() % 2);
        const auto n = static_cast<int64_t>(data.size());
        ASSERT_EQ(s->Seek(pos, qv::SeekOrigin::Beginning), pos);
        if (compressed && pos < size) {
          ASSERT_EQ(s->Write(data.data(), n), 0);
          break;
        }
        ASSERT_EQ(s->Write(data.data(), n), n);
        if (n > 0) {
          model.resize(std::max(model.size(), static_cast<size_t>(pos + n)), 0);
          std::copy(data.begin(), data.end(), model.begin() + pos);
        }
        break;
      }
      case 1: {  // read at pos
        const int64_t want = rng() % 200;
        std::vector<uint8_t> buf(static_cast<size_t>(want));
        s->Seek(pos, qv::SeekOrigin::Beginning);
        const int64_t got = s->Read(buf.data(), want);
        ASSERT_EQ(got, std::max<int64_t>(0, std::min(want, size - pos))) << want << " at " << pos;
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, model.begin() + std::min(pos, size)));
        ASSERT_EQ(s->Position(), pos + got);
        break;
      }
      case 2:  // extend or truncate
        s->SetSize(pos);
        model.resize(static_cast<size_t>(pos), 0);
        ASSERT_LE(s->Position(), pos);
        break;
      case 3: {  // close and reopen
        const TVLMBLOBDescriptor d = s->Descriptor();
        s.reset();
        s = Reopen(inner, d, model);
        ASSERT_EQ(Contents(*s), model);
        break;
      }
      case 4:  // seeks clamp at 0 (compressed values) and may pass the end
        if (compressed) {
          ASSERT_EQ(s->Seek(-(s->Position() + pos + 1), qv::SeekOrigin::Current), 0);
        }
        ASSERT_EQ(s->Seek(pos - size, qv::SeekOrigin::End), pos);
        break;
    }
    ASSERT_EQ(s->Size(), static_cast<int64_t>(model.size())) << "round " << round;
    ASSERT_EQ(s->Descriptor().UncompressedSize, static_cast<int64_t>(model.size()));
    if (!compressed || model.empty()) {
      ASSERT_EQ(s->CompressedSize(), static_cast<int64_t>(model.size()));
    }
  }
  const TVLMBLOBDescriptor d = s->Descriptor();
  s.reset();
  EXPECT_EQ(Contents(*Reopen(inner, d, model)), model);
}

TEST(TVLMCompressedBLOBStreamModel, MatchesAByteVector) {
  RunModel(VLMCompressionZlib, 6, 37, 0, 1);
  RunModel(VLMCompressionZlib, 1, 64, 11, 2);
  RunModel(VLMCompressionBZip, 1, 50, 3, 3);
  RunModel(VLMCompressionNone, 0, 0, 7, 4);
}

// Damaged chains, descriptors and inner streams must end in an engine error
// or in a value whose every read either delivers or raises, under ASan.
TEST(TVLMCompressedBLOBStreamFuzz, HeaderLoaderSurvivesDamagedInput) {
  struct Seed {
    std::vector<uint8_t> Inner;
    TVLMBLOBDescriptor Desc;
  };
  std::vector<Seed> seeds;
  for (const auto& [alg, blockSize, n] : {std::tuple{VLMCompressionZlib, 64u, 300}, {VLMCompressionZlib, 4096u, 100},
                                          {VLMCompressionBZip, 80u, 250}}) {
    TVLMMemoryStream inner;
    const TVLMBLOBDescriptor d = Store(inner, Data(static_cast<size_t>(n), n), Descriptor(alg, 5, blockSize));
    seeds.push_back({Contents(inner), d});
  }
  std::mt19937 rng(4242);
  int opened = 0;
  auto budget = qv::test::TestBudget::Steps(3000);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    const Seed& seed = seeds[rng() % seeds.size()];
    std::vector<uint8_t> bytes = seed.Inner;
    TVLMBLOBDescriptor d = seed.Desc;
    if (round % 5 == 0) {
      bytes = Data(rng() % 200, rng(), false);
      d.BlockCount = rng() % 8;
      d.BlockSize = rng() % 2 ? rng() : rng() % 100;
    }
    const auto blocks = Chain(seed.Inner, 0, seed.Desc.BlockCount);
    for (int f = static_cast<int>(rng() % 4); f > 0 && !bytes.empty(); --f) {
      // Mostly the header fields of some block.
      size_t at = rng() % 3 ? static_cast<size_t>(blocks[rng() % blocks.size()].Position + rng() % 20) : rng();
      bytes[at % bytes.size()] = static_cast<uint8_t>(rng() % 3 ? rng() : 0xFF);
    }
    if (rng() % 4 == 0 && !bytes.empty()) bytes.resize(rng() % bytes.size());
    switch (rng() % 8) {
      case 0: d.BlockCount += static_cast<int64_t>(rng() % 5) - 2; break;
      case 1: d.BlockSize = rng(); break;
      case 2: d.StartPosition += static_cast<int64_t>(rng() % 41) - 20; break;
      case 3: d.BlockCount = static_cast<int64_t>(rng()) << 20; break;
      default: break;
    }
    TVLMMemoryStream inner;
    Put(inner, bytes);
    std::unique_ptr<TVLMCompressedBLOBStream> s;
    try {
      s = std::make_unique<TVLMCompressedBLOBStream>(inner, rng() % 2 == 0, false, d);
    } catch (const EVLMException&) {
      continue;
    }
    ++opened;
    const int64_t size = s->Size();
    // A lying header may claim up to a block of plain bytes; reading them
    // must then fail, not allocate or copy past the data.
    ASSERT_GE(size, 0);
    std::vector<uint8_t> buf(97);
    for (int64_t pos = 0; pos < size; pos += std::max<int64_t>(97, size / 40)) {
      s->Seek(pos, qv::SeekOrigin::Beginning);
      const int32_t code = RaisedCode([&] { ASSERT_EQ(s->Read(buf.data(), 97), std::min<int64_t>(97, size - pos)); });
      ASSERT_TRUE(code == 0 || (code >= 10086 && code <= 10090)) << code;
    }
    const uint8_t more[7] = {1, 2, 3, 4, 5, 6, 7};
    s->Seek(0, qv::SeekOrigin::End);
    if (RaisedCode([&] { ASSERT_EQ(s->Write(more, 7), 7); }) == 0) {
      ASSERT_EQ(s->Size(), size + 7);
    }
  }
  EXPECT_GT(opened, 300) << "the run hardly got past the header checks";
}

}  // namespace
