#include <gtest/gtest.h>

#include "crypto/CryptoTestSupport.h"
#include "crypto/VLMCipher.h"
#include "crypto/VLMCipherUtil.h"

using namespace qv;
using qv::test::Hex;

namespace {

std::string FeedbackOf(TCipher& c) {
  return std::string(reinterpret_cast<char*>(c.Feedback()), static_cast<size_t>(c.BufSize()));
}

}  // namespace

TEST(CipherModes, EcbTailUsesTheFeedbackTailRule) {
  // After the whole blocks, an ECB tail of r bytes is D := S xor E(F) and
  // F := E(F) xor F, exactly as in modes 0 and 1; whole blocks leave F alone.
  std::mt19937 rng(19);
  size_t count = 0;
  const TCipherClass* classes = qv::test::AllCipherClasses(count);
  for (size_t ci = 0; ci < count; ++ci) {
    SCOPED_TRACE(classes[ci]->ClassName);
    TCipherPtr c = classes[ci]->Create("tail", nullptr);
    TCipherPtr ref = classes[ci]->Create("tail", nullptr);
    c->Mode = TCipherMode::cmECB;
    const size_t n = static_cast<size_t>(c->BufSize());
    const std::string plain = qv::test::RandomBytes(rng, 2 * n + 5);
    const std::string f = FeedbackOf(*c);

    std::string expect = plain;
    ref->Encode(expect.data());
    ref->Encode(expect.data() + n);
    std::string ef = f;
    ref->Encode(ef.data());
    std::string nextF = f;
    for (size_t i = 0; i < n; ++i) nextF[i] = static_cast<char>(ef[i] ^ f[i]);
    for (size_t i = 0; i < 5; ++i) expect[2 * n + i] = static_cast<char>(plain[2 * n + i] ^ ef[i]);

    std::string out(plain.size(), '\0');
    c->EncryptBuffer(plain.data(), out.data(), static_cast<int32_t>(plain.size()));
    EXPECT_EQ(Hex(out), Hex(expect));
    EXPECT_EQ(Hex(FeedbackOf(*c)), Hex(nextF));
    c->Done();

    // A buffer shorter than one block gives the same bytes in modes 4 and 0.
    std::string shortEcb = plain.substr(0, 5), shortFeedback = shortEcb;
    c->EncryptBuffer(shortEcb.data(), shortEcb.data(), 5);
    c->Done();
    c->Mode = TCipherMode::cmFeedback;
    c->EncryptBuffer(shortFeedback.data(), shortFeedback.data(), 5);
    c->Done();
    EXPECT_EQ(Hex(shortEcb), Hex(shortFeedback));
  }
}

TEST(StringFormat, XXCountBeyondTheInputStopsAtItsEnd) {
  // "h" is the XX count character for 45 bytes; "1Eq3o" is "Cat".
  const TStringFormatClass xx = TStringFormat_XX::Class();
  auto decode = [&](std::string_view text) { return xx->ToStr(text.data(), static_cast<int32_t>(text.size())); };
  EXPECT_EQ(decode("1Eq3o"), "Cat");
  EXPECT_EQ(decode("hEq3oEq3o"), "CatCat");
  EXPECT_EQ(decode("hEq3oEq3"), "Cat");
  EXPECT_EQ(decode("hEq3oE"), "Cat");
  EXPECT_EQ(decode("h"), "");
}
