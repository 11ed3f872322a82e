#include <gtest/gtest.h>

#include <cstring>

#include "crypto/CryptoTestSupport.h"
#include "crypto/VLMCipher.h"

using namespace qv;
using qv::test::Bytes;
using qv::test::Hex;

namespace {

const int32_t kSizes[] = {0, 1, 5, 7, 8, 15, 16, 17, 24, 256, 4056};

std::string Xor(const std::string& a, const std::string& b) {
  std::string r(a.size(), '\0');
  for (size_t i = 0; i < a.size(); ++i) r[i] = static_cast<char>(a[i] ^ b[i]);
  return r;
}

std::string FeedbackOf(TCipher& c) {
  return std::string(reinterpret_cast<char*>(c.Feedback()), static_cast<size_t>(c.BufSize()));
}
std::string VectorOf(TCipher& c) {
  return std::string(reinterpret_cast<char*>(c.Vector()), static_cast<size_t>(c.BufSize()));
}

std::string Encoded(TCipher& c, std::string block) {
  c.Encode(block.data());
  return block;
}

}  // namespace

TEST(CipherModes, EveryModeRoundTripsAndMacModesLeaveTheDataAlone) {
  std::mt19937 rng(11);
  size_t count = 0;
  const TCipherClass* classes = qv::test::AllCipherClasses(count);
  for (size_t ci = 0; ci < count; ++ci) {
    TCipherPtr enc = classes[ci]->Create("correct horse", nullptr);
    TCipherPtr dec = classes[ci]->Create("correct horse", nullptr);
    for (int32_t mode = 0; mode <= 7; ++mode) {
      enc->Mode = dec->Mode = static_cast<TCipherMode>(mode);
      for (int32_t size : kSizes) {
        SCOPED_TRACE(std::string(classes[ci]->ClassName) + " mode " + std::to_string(mode) + " size " +
                     std::to_string(size));
        const std::string plain = qv::test::RandomBytes(rng, static_cast<size_t>(size));
        std::string out(plain.size(), '\x77');
        enc->EncryptBuffer(plain.data(), out.data(), size);
        const std::string encFeedback = FeedbackOf(*enc);
        enc->Done();
        if (mode >= 5) {
          // A MAC mode writes nothing and computes the same MAC both ways.
          EXPECT_EQ(out, std::string(plain.size(), '\x77'));
          std::string in = plain;
          dec->DecryptBuffer(in.data(), in.data(), size);
          EXPECT_EQ(in, plain);
          EXPECT_EQ(FeedbackOf(*dec), encFeedback);
          dec->Done();
          continue;
        }
        if (size >= 8) {
          EXPECT_NE(out, plain);
        }
        // Decrypt in place.
        std::string back = out;
        dec->DecryptBuffer(back.data(), back.data(), size);
        dec->Done();
        EXPECT_EQ(back, plain);
        // Encrypt in place gives the same bytes.
        std::string inPlace = plain;
        enc->EncryptBuffer(inPlace.data(), inPlace.data(), size);
        enc->Done();
        EXPECT_EQ(inPlace, out);
      }
    }
  }
}

TEST(CipherModes, FeedbackChainingFollowsItsRule) {
  // Mode 0 on two whole blocks and a 5-byte tail, written out by hand:
  // D := E(S xor F), F := D xor F; tail D := S xor E(F), F := E(F) xor F.
  TCipher_Rijndael c("pw"), ref("pw");
  const std::string plain = Bytes("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F2021222324");
  std::string f = VectorOf(c);
  const std::string d1 = Encoded(ref, Xor(plain.substr(0, 16), f));
  f = Xor(d1, f);
  const std::string d2 = Encoded(ref, Xor(plain.substr(16, 16), f));
  f = Xor(d2, f);
  const std::string b = Encoded(ref, f);
  const std::string d3 = Xor(plain.substr(32), b.substr(0, 5));
  f = Xor(b, f);

  std::string out(plain.size(), '\0');
  c.EncryptBuffer(plain.data(), out.data(), static_cast<int32_t>(plain.size()));
  EXPECT_EQ(Hex(out), Hex(d1 + d2 + d3));
  EXPECT_EQ(Hex(FeedbackOf(c)), Hex(f));
}

TEST(CipherModes, ShortBufferUsesOnlyTheTailRuleAndEmptyChangesNothing) {
  TCipher_Blowfish c("pw"), ref("pw");
  const std::string vector = VectorOf(c);
  const std::string plain = "abcde";
  std::string out = plain;
  c.EncryptBuffer(out.data(), out.data(), 5);
  EXPECT_EQ(out, Xor(plain, Encoded(ref, vector).substr(0, 5)));

  c.Done();
  std::string empty = "xyz";
  c.EncryptBuffer(empty.data(), empty.data(), 0);
  c.DecryptBuffer(empty.data(), empty.data(), -3);
  EXPECT_EQ(empty, "xyz");
  EXPECT_EQ(FeedbackOf(c), vector);
}

TEST(CipherModes, BuffersChainUntilDone) {
  TCipher_Square c("pw");
  const std::string a(32, 'a'), b(21, 'b');
  std::string whole = a + b;
  c.EncryptBuffer(whole.data(), whole.data(), static_cast<int32_t>(whole.size()));
  c.Done();

  // Two calls without Done carry the feedback on.
  std::string x = a, y = b;
  c.EncryptBuffer(x.data(), x.data(), 32);
  c.EncryptBuffer(y.data(), y.data(), 21);
  EXPECT_EQ(x + y, whole);

  // Done puts the old feedback in Buffer and starts again from the vector.
  const std::string feedback = FeedbackOf(c);
  c.Done();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c.Buffer()), 16), feedback);
  std::string z = b;
  c.EncryptBuffer(z.data(), z.data(), 21);
  c.Done();
  std::string fresh = b;
  TCipher_Square d("pw");
  d.EncryptBuffer(fresh.data(), fresh.data(), 21);
  EXPECT_EQ(z, fresh);
  EXPECT_NE(z, y);
}

TEST(CipherModes, EcbTailCanBeDecrypted) {
  TCipher_Twofish c("pw"), ref("pw");
  c.Mode = TCipherMode::cmECB;
  const std::string plain = "sixteen byte blk" "sixteen byte blk" "tail!";
  std::string out = plain;
  c.EncryptBuffer(out.data(), out.data(), static_cast<int32_t>(out.size()));
  c.Done();
  // Whole blocks are coded on their own: equal plain blocks, equal cipher blocks.
  EXPECT_EQ(out.substr(0, 16), Encoded(ref, plain.substr(0, 16)));
  EXPECT_EQ(out.substr(0, 16), out.substr(16, 16));
  c.DecryptBuffer(out.data(), out.data(), static_cast<int32_t>(out.size()));
  EXPECT_EQ(out, plain);
}

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

TEST(CipherKey, KeyIsTheStartOfThePasswordHash) {
  // A password longer than the digest is hashed whole; the key is the first
  // min(digest size, KeySize) bytes of the digest.
  const std::string password(100, 'p');
  struct Case {
    TCipherClass cipher;
    THashClass hash;
    int32_t keyBytes;
  };
  const Case cases[] = {
      {TCipher_Rijndael::Class(), THash_RipeMD128::Class(), 16},
      {TCipher_Rijndael::Class(), THash_RipeMD256::Class(), 32},
      {TCipher_1DES::Class(), THash_RipeMD128::Class(), 8},
      {TCipher_Blowfish::Class(), THash_RipeMD256::Class(), 32},
      {TCipher_Square::Class(), THash_RipeMD256::Class(), 16},
  };
  for (const auto& cs : cases) {
    SCOPED_TRACE(std::string(cs.cipher->ClassName) + " with " + cs.hash->ClassName);
    TCipherPtr c = cs.cipher->Create({}, nullptr);
    c->SetHashClass(cs.hash);
    c->InitKey(password, c->Vector());
    EXPECT_NE(c->Flags() & kCipherKeyedFlag, 0u);
    EXPECT_TRUE(c->Initialized());

    THashPtr h = cs.hash->Create();
    qv::test::DigestHex(*h, password);
    TCipherPtr ref = cs.cipher->Create({}, nullptr);
    const std::string ff(static_cast<size_t>(ref->BufSize()), '\xFF');
    ref->Init(h->DigestKey(), cs.keyBytes, ff.data());
    const std::string block(static_cast<size_t>(c->BufSize()), 'q');
    EXPECT_EQ(Encoded(*c, block), Encoded(*ref, block));
    if (cs.cipher == TCipher_Rijndael::Class()) {
      EXPECT_EQ(static_cast<TCipher_Rijndael&>(*c).Rounds, cs.keyBytes == 16 ? 10 : 14);
    }
  }
}

TEST(CipherKey, VectorRules) {
  // With its own Vector as initial vector the vector stays 0xFF bytes; with
  // none it becomes the encryption of a 0xFF block.
  TCipher_Rijndael own;
  own.InitKey("secret", own.Vector());
  EXPECT_EQ(VectorOf(own), std::string(16, '\xFF'));
  EXPECT_EQ(FeedbackOf(own), std::string(16, '\xFF'));

  TCipher_Rijndael none("secret");
  EXPECT_EQ(VectorOf(none), Encoded(own, std::string(16, '\xFF')));

  const std::string iv = "0123456789abcdef";
  TCipher_Rijndael given;
  given.InitKey("secret", iv.data());
  EXPECT_EQ(VectorOf(given), iv);

  // The default hash is RIPEMD-256; changing the class changes the key.
  EXPECT_EQ(given.HashClass(), THash_RipeMD256::Class());
  given.SetHashClass(THash_RipeMD128::Class());
  given.InitKey("secret", iv.data());
  EXPECT_NE(Encoded(given, iv), Encoded(none, iv));
  given.SetHashClass(nullptr);
  EXPECT_EQ(given.HashClass(), THash_RipeMD256::Class());
}

TEST(CipherKey, ProtectWipesAndUninitialisedCipherRefuses) {
  TCipher_3DES c("pw");
  c.Protect();
  EXPECT_FALSE(c.Initialized());
  EXPECT_EQ(VectorOf(c), std::string(8, '\xFF'));
  std::string data = "12345678";
  for (int i = 0; i < 3; ++i) {
    try {
      if (i == 0) c.EncryptBuffer(data.data(), data.data(), 8);
      if (i == 1) c.DecryptBuffer(data.data(), data.data(), 8);
      if (i == 2) c.CodeBuffer(data.data(), 8, paEncode);
      ADD_FAILURE() << "no exception for call " << i;
    } catch (const ECipherException& e) {
      EXPECT_EQ(e.ErrorCode, errCipherNotInitialized);
      EXPECT_STREQ(e.what(), "TCipher_3DES is not initialized call Init() or InitKey() before.");
    }
  }
  EXPECT_EQ(data, "12345678");
}

TEST(CipherKey, OverlongKeysAreCutOrRefused) {
  const std::string key(40, 'k');
  TCipher_Rijndael a, b;
  a.Init(key.data(), 40, nullptr);
  b.Init(key.data(), 32, nullptr);
  EXPECT_EQ(Encoded(a, std::string(16, 'x')), Encoded(b, std::string(16, 'x')));

  StrictCipherKeySize = true;
  try {
    a.Init(key.data(), 33, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const ECipherException& e) {
    EXPECT_EQ(e.ErrorCode, errCipherKeySize);
    EXPECT_STREQ(e.what(),
                 "Length from Encryptionkey is invalid.\r\nKeysize for TCipher_Rijndael must be to 0-32 bytes");
  }
  StrictCipherKeySize = false;
  EXPECT_FALSE(a.Initialized());
}

TEST(CipherProtection, ChainedCiphersCodeInsideOut) {
  // Encoding runs the chain first, then this cipher; decoding the reverse.
  auto inner = std::make_shared<TCipher_Blowfish>("inner");
  TCipher_Rijndael outer("outer", inner);
  const std::string plain = "A message of some length, 45 bytes in all...";
  std::string buf = plain;
  outer.CodeBuffer(buf.data(), static_cast<int32_t>(buf.size()), paEncode);

  TCipher_Blowfish i2("inner");
  TCipher_Rijndael o2("outer");
  std::string manual = plain;
  i2.EncryptBuffer(manual.data(), manual.data(), static_cast<int32_t>(manual.size()));
  o2.EncryptBuffer(manual.data(), manual.data(), static_cast<int32_t>(manual.size()));
  EXPECT_EQ(buf, manual);

  outer.CodeBuffer(buf.data(), static_cast<int32_t>(buf.size()), paDecode);
  EXPECT_EQ(buf, plain);

  // An action outside Actions is only passed on.
  outer.Actions = PActionBit(paDecode);
  outer.CodeBuffer(buf.data(), static_cast<int32_t>(buf.size()), paEncode);
  std::string innerOnly = plain;
  TCipher_Blowfish i3("inner");
  i3.EncryptBuffer(innerOnly.data(), innerOnly.data(), static_cast<int32_t>(innerOnly.size()));
  EXPECT_EQ(buf, innerOnly);
}
