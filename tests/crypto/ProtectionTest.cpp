#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "crypto/CryptoTestSupport.h"
#include "crypto/VLMCipher.h"
#include "platform/host/Stream.h"
#include "tests/support/ScratchFolder.h"

using namespace qv;
using qv::test::Hex;

namespace {

// Records what it is asked to do and flips every bit of what it codes.
class Recorder : public TProtection {
public:
  using TProtection::TProtection;
  void CodeInit(TPAction a) override {
    Log += "init" + std::to_string(a) + ";";
    TProtection::CodeInit(a);
  }
  void CodeDone(TPAction a) override {
    Log += "done" + std::to_string(a) + ";";
    TProtection::CodeDone(a);
  }
  void CodeBuf(void* buffer, int32_t size, TPAction a) override {
    Sizes.push_back(size);
    auto* p = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(~p[i]);
    TProtection::CodeBuf(buffer, size, a);
  }
  std::string Log;
  std::vector<int32_t> Sizes;
};

std::string Flipped(std::string s) {
  for (auto& c : s) c = static_cast<char>(~c);
  return s;
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::filesystem::path& p, const std::string& s) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << s;
}

}  // namespace

TEST(Protection, CircularChainsAreRefused) {
  auto a = std::make_shared<Recorder>();
  auto b = std::make_shared<Recorder>(a);
  auto c = std::make_shared<Recorder>(b);
  EXPECT_THROW(a->SetProtection(c), EProtection);
  EXPECT_EQ(a->Protection(), nullptr);
  try {
    a->SetProtection(a);
    FAIL() << "no exception";
  } catch (const EProtection& e) {
    EXPECT_STREQ(e.what(), "Circular Protection detected, Protection Object is invalid.");
  }
  b->SetProtection(nullptr);
  a->SetProtection(c);  // no longer a circle
  EXPECT_EQ(a->Protection(), c);
  a->SetProtection(nullptr);
}

TEST(Protection, CodeStreamWorksInChunksWithProgress) {
  std::vector<std::pair<int64_t, int64_t>> progress;
  ProtectionProgress = [&](TProtection*, int64_t cur, int64_t max) { progress.emplace_back(cur, max); };
  const std::string data(10000, 'd');

  // Separate destination: 4096-byte chunks, init and done once each.
  Recorder r;
  MemoryStream src(data), dst;
  r.CodeStream(&src, &dst, -1, paEncode);
  EXPECT_EQ(dst.DataString(), Flipped(data));
  EXPECT_EQ(r.Sizes, (std::vector<int32_t>{4096, 4096, 1808}));
  EXPECT_EQ(r.Log, "init0;done0;");
  EXPECT_EQ(progress, (std::vector<std::pair<int64_t, int64_t>>{{0, 10000}, {4096, 10000}, {8192, 10000},
                                                                 {10000, 10000}, {0, 0}}));
  ProtectionProgress = nullptr;

  // In place from the current position, a given byte count.
  MemoryStream one("0123456789");
  one.SetPosition(2);
  r.CodeStream(&one, nullptr, 5, paEncode);
  EXPECT_EQ(one.DataString(), "01" + Flipped("23456") + "789");

  // paCalc reads but writes nothing; a short source ends the loop.
  MemoryStream calc("abc");
  r.Sizes.clear();
  r.CodeStream(&calc, nullptr, 100, paCalc);
  EXPECT_EQ(calc.DataString(), "abc");
  EXPECT_EQ(r.Sizes, (std::vector<int32_t>{3}));

  // No source: nothing at all.
  r.Log.clear();
  r.CodeStream(nullptr, &dst, -1, paEncode);
  EXPECT_EQ(r.Log, "");
}

TEST(Protection, CodeStringCarriesCipherTextInAFormat) {
  TCipher_Rijndael c("pw");
  const std::string plain = "Quorvex log entry: K1ABC 14025 CW 599";
  const std::string text = c.CodeString(plain, paEncode, fmtMIME64);
  EXPECT_EQ(FormatToStr(text, fmtMIME64).size(), plain.size());
  EXPECT_EQ(c.CodeString(text, paDecode, fmtMIME64), plain);

  const std::string hex = c.CodeString(plain, paEncode, fmtHEX);
  EXPECT_EQ(Hex(FormatToStr(hex, fmtHEX)), hex);
  EXPECT_EQ(c.CodeString(hex, paDecode, fmtHEX), plain);
  EXPECT_EQ(c.CodeString("", paEncode, fmtHEX), "");

  // A hash with paCalc leaves the text as it is and keeps the digest.
  THash_RipeMD128 h;
  EXPECT_EQ(h.CodeString("abc", paCalc, fmtCOPY), "abc");
  EXPECT_EQ(Hex(h.DigestKey(), 16), "C14A12199C66E4BA84636B0F69144C77");
}

TEST(Protection, CodeFileCodesIntoAnotherFileOrInPlace) {
  qv::test::ScratchFolder dir;
  const std::string plainPath = dir.File("plain.bin"), codedPath = dir.File("coded.bin");
  std::mt19937 rng(3);
  const std::string plain = qv::test::RandomBytes(rng, 9000);
  WriteFile(plainPath, plain);
  WriteFile(codedPath, std::string(20000, 'x'));  // longer than the result: it is cut

  TCipher_Twofish c("pw");
  c.CodeFile(plainPath, codedPath, paEncode);
  const std::string coded = ReadFile(codedPath);
  ASSERT_EQ(coded.size(), plain.size());
  EXPECT_NE(coded, plain);
  EXPECT_EQ(ReadFile(plainPath), plain);

  // Same name (any case) or a blank destination: in place.
  c.CodeFile(codedPath, "  ", paDecode);
  EXPECT_EQ(ReadFile(codedPath), plain);

  // paCalc only reads the source.
  THash_RipeMD256 h, ref;
  h.CodeFile(plainPath, dir.File("never.bin"), paCalc);
  EXPECT_FALSE(std::filesystem::exists(dir.File("never.bin")));
  EXPECT_EQ(Hex(h.DigestKey(), 32), qv::test::DigestHex(ref, plain));
}

TEST(CipherRegistry, NamesAndReplacement) {
  const auto& list = CipherList();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list[0].Text, "Rijndael=");
  EXPECT_EQ(list[0].Class, TCipher_Rijndael::Class());

  RegisterCipher(nullptr, "x", "y");
  RegisterCipher(TCipher_Square::Class(), "  ", "A 128-bit block cipher");
  auto find = [&](TCipherClass cls) -> std::string {
    for (const auto& e : CipherList())
      if (e.Class == cls) return e.Text;
    return "(none)";
  };
  EXPECT_EQ(find(TCipher_Square::Class()), "Square=A 128-bit block cipher");
  const size_t n = CipherList().size();
  RegisterCipher(TCipher_Square::Class(), "Sq", "");
  EXPECT_EQ(find(TCipher_Square::Class()), "Sq=");
  EXPECT_EQ(CipherList().size(), n);
  RegisterCipher(TCipher_3TDES::Class(), "", "");
  EXPECT_EQ(find(TCipher_3TDES::Class()), "3TDES=");
}
