// Byte-exact output of the PPMd compressor: the framing word, the published
// short vectors in full and the generated ones by size and CRC-32, with the
// restart counts that show where the model ran out of memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "tests/engine/ppmd/PPMdTestData.h"

using namespace ppmdtest;

namespace {

Bytes Hex(const std::string& text) {
  std::istringstream in(text);
  Bytes v;
  unsigned int b;
  while (in >> std::hex >> b) v.push_back(static_cast<uint8_t>(b));
  return v;
}

std::string ToHex(const Bytes& v) {
  std::string s;
  char buf[4];
  for (uint8_t b : v) {
    std::snprintf(buf, sizeof(buf), "%02X ", b);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

uint32_t HeaderWord(const Bytes& v) {
  return v[0] | (v[1] << 8) | (v[2] << 16) | (static_cast<uint32_t>(v[3]) << 24);
}

}  // namespace

TEST(PPMdModes, TablesAndHeaderWord) {
  const uint32_t orders[10] = {0, 2, 3, 4, 5, 7, 8, 10, 13, 16};
  const uint32_t memory[10] = {0, 2, 3, 7, 16, 22, 25, 40, 100, 100};
  for (uint8_t mode = 0; mode <= 9; ++mode) {
    EXPECT_EQ(PPMMaxOrderForMode(mode), orders[mode]) << int(mode);
    EXPECT_EQ(PPMMemoryMBForMode(mode), memory[mode]) << int(mode);
  }
  EXPECT_EQ(PPMMaxOrderForMode(10), 0u);
  EXPECT_EQ(PPMMemoryMBForMode(255), 0u);

  for (uint8_t mode = 1; mode <= 9; ++mode) {
    const Bytes out = Compress(FromText("x"), mode);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(HeaderWord(out), (orders[mode] - 1) | ((memory[mode] - 1) << 4) | (6u << 12))
        << int(mode);
  }
  EXPECT_EQ(HeaderWord(Compress(FromText("x"), 1)), 0x00006011u);
  EXPECT_EQ(HeaderWord(Compress(FromText("x"), 9)), 0x0000663Fu);
}

TEST(PPMdVectors, ShortInputsByteForByte) {
  struct Case {
    std::string input;
    uint8_t mode;
    const char* hex;
  };
  const std::string hello = "Hello, world! Hello, world! Hello, world!\n";
  const std::string zero(1, '\0');
  const Case cases[] = {
      {"", 1, "11 60 00 00 FF 28 2C 1B 00"},
      {"", 2, "22 60 00 00 FF 86 07 8D 00"},
      {"", 9, "3F 66 00 00 FF 86 07 8D 00"},
      {"abracadabra", 1, "11 60 00 00 79 98 02 B5 18 3F A9 E0 66 C4 70 00"},
      {"abracadabra", 2, "22 60 00 00 B4 1C 9A FB 0E 53 81 47 59 AE 31 00"},
      {"abracadabra", 9, "3F 66 00 00 B4 1C 9A FB 0E 53 81 47 59 AE 31 00"},
      {"A", 1, "11 60 00 00 5F 27 A8 2D 00"},
      {"A", 2, "22 60 00 00 A5 2F 16 36 00 00"},
      {zero, 1, "11 60 00 00 28 65 2B C2 00"},
      {zero, 2, "22 60 00 00 86 31 E5 8E 00"},
      {hello, 1,
       "11 60 00 00 64 8D 09 95 98 35 7C F5 B8 48 E6 FD B0 9E 72 5E 6F 58 77 6B 26 00"},
      {hello, 2, "22 60 00 00 A8 3B 09 DF 44 D1 68 05 9A FB F0 98 EC 31 A7 5B 84 6B 60 42 00"},
  };
  for (const Case& c : cases) {
    const Bytes in = FromText(c.input);
    const Bytes out = Compress(in, c.mode);
    EXPECT_EQ(ToHex(out), ToHex(Hex(c.hex))) << "'" << c.input << "' mode " << int(c.mode);
    if (!in.empty()) {
      EXPECT_EQ(Decompress(out, in.size()), in) << c.input;
    }
  }
  // No context longer than the input exists yet, so modes 3-9 code short
  // inputs exactly like mode 2; only the header differs.
  for (const std::string& s : {std::string("abracadabra"), std::string("A"), zero, hello}) {
    const Bytes body2 = Compress(FromText(s), 2);
    for (uint8_t mode = 3; mode <= 9; ++mode) {
      const Bytes out = Compress(FromText(s), mode);
      EXPECT_EQ(Bytes(out.begin() + 4, out.end()), Bytes(body2.begin() + 4, body2.end()))
          << "'" << s << "' mode " << int(mode);
    }
  }
}

namespace {

// One generated input at one mode: its compressed size and CRC-32 and the
// restarts of the model. Each case is a test of its own, so a run on several
// cores spreads the slow random inputs.
struct GeneratedCase {
  char Input;  // N numbers, L random (LCG), Z a megabyte of zeros, B 0..255
  uint8_t Mode;
  size_t Size;
  uint32_t Crc;
  int32_t Restarts;
};

const GeneratedCase kGeneratedCases[] = {
    {'N', 1, 25901, 0x42AFBBDB, 0}, {'N', 2, 33515, 0x7E661CB7, 0},
    {'N', 3, 33638, 0xA6F36CB1, 0}, {'N', 4, 29550, 0x9EEDB1DF, 0},
    {'N', 5, 29470, 0x722C4C01, 0}, {'N', 6, 29470, 0xA1A3DDAB, 0},
    {'N', 7, 29470, 0x695F4949, 0}, {'N', 8, 29470, 0x60E26F9B, 0},
    {'N', 9, 29470, 0xB1269127, 0}, {'L', 1, 716450, 0x23EB65B1, 10},
    {'L', 2, 717592, 0x3F9B0F43, 8}, {'L', 3, 720730, 0xA5B0CAC3, 3},
    {'L', 4, 718639, 0x280CF51E, 0}, {'L', 9, 718639, 0x6C546C2D, 0},
    {'Z', 1, 396, 0xECDC2322, 0},    {'Z', 9, 395, 0x348023FC, 0},
    {'B', 1, 311, 0x83756CFF, 0},    {'B', 9, 311, 0x1C82A3D6, 0},
};

Bytes GeneratedInput(char input) {
  switch (input) {
    case 'N': return Numbers(100000);
    case 'L': return Lcg(700000);
    case 'Z': return Bytes(1048576, 0);
    default: {
      Bytes b(256);
      for (int i = 0; i < 256; ++i) b[i] = static_cast<uint8_t>(i);
      return b;
    }
  }
}

class PPMdGenerated : public ::testing::TestWithParam<GeneratedCase> {};

TEST_P(PPMdGenerated, SizeCrcAndRestarts) {
  const GeneratedCase& c = GetParam();
  const Bytes in = GeneratedInput(c.Input);
  const Bytes out = Compress(in, c.Mode);
  EXPECT_EQ(out.size(), c.Size) << c.Input << " mode " << int(c.Mode);
  EXPECT_EQ(Crc(out), c.Crc) << c.Input << " mode " << int(c.Mode);
  EXPECT_EQ(PPMLastRestartCount(), c.Restarts) << c.Input << " mode " << int(c.Mode);
  // Decoding the random input is the slow case; mode 1 covers the most
  // restarts, the others are decoded at every listed mode.
  if (c.Input != 'L' || c.Mode == 1) {
    EXPECT_TRUE(Decompress(out, in.size()) == in) << c.Input << " mode " << int(c.Mode);
    EXPECT_EQ(PPMLastRestartCount(), c.Restarts) << "decoder, " << c.Input;
  }
}

INSTANTIATE_TEST_SUITE_P(PPMdVectors, PPMdGenerated, ::testing::ValuesIn(kGeneratedCases),
                         [](const ::testing::TestParamInfo<GeneratedCase>& info) {
                           return std::string(1, info.param.Input) + "Mode" + std::to_string(info.param.Mode);
                         });

}  // namespace
