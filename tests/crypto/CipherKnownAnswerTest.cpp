#include <gtest/gtest.h>

#include <cstring>

#include "crypto/CryptoTestSupport.h"
#include "crypto/VLMCipher.h"

using namespace qv;
using qv::test::Bytes;
using qv::test::Hex;

namespace {

struct BlockCase {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Keys the cipher with raw key bytes, encodes plain, checks that Decode
// brings it back, and returns the ciphertext in hex.
std::string EncodeHex(TCipher& c, const std::string& key, const std::string& plain) {
  c.Init(key.data(), static_cast<int32_t>(key.size()), nullptr);
  std::string block = plain;
  c.Encode(block.data());
  std::string back = block;
  c.Decode(back.data());
  EXPECT_EQ(Hex(back), Hex(plain)) << c.ClassName() << " Decode does not invert Encode";
  return Hex(block);
}

void CheckTable(TCipher& c, const BlockCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i)
    EXPECT_EQ(EncodeHex(c, Bytes(cases[i].key), Bytes(cases[i].plain)), cases[i].cipher)
        << c.ClassName() << " key " << cases[i].key << " plain " << cases[i].plain;
}

}  // namespace

TEST(Rijndael, Fips197KnownAnswers) {
  const BlockCase cases[] = {
      // FIPS-197 appendix B
      {"2B7E151628AED2A6ABF7158809CF4F3C", "3243F6A8885A308D313198A2E0370734", "3925841D02DC09FBDC118597196A0B32"},
      // FIPS-197 appendix C.1, C.2, C.3
      {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF", "69C4E0D86A7B0430D8CDB78070B4C55A"},
      {"000102030405060708090A0B0C0D0E0F1011121314151617", "00112233445566778899AABBCCDDEEFF",
       "DDA97CA4864CDFE06EAF70A0EC0D7191"},
      {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", "00112233445566778899AABBCCDDEEFF",
       "8EA2B7CA516745BFEAFC49904B496089"},
  };
  TCipher_Rijndael c;
  CheckTable(c, cases, std::size(cases));
}

TEST(Rijndael, RoundsFollowTheKeyLength) {
  TCipher_Rijndael c, ref;
  const std::string key = Bytes("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  const std::string plain = Bytes("00112233445566778899AABBCCDDEEFF");
  for (auto [size, rounds, padded] : {std::tuple{0, 10, 16}, std::tuple{16, 10, 16}, std::tuple{17, 12, 24},
                                      std::tuple{24, 12, 24}, std::tuple{25, 14, 32}, std::tuple{32, 14, 32}}) {
    const std::string k = key.substr(0, static_cast<size_t>(size));
    const std::string got = EncodeHex(c, k, plain);
    EXPECT_EQ(c.Rounds, rounds) << "key of " << size << " bytes";
    // A short key is the same as the key zero-padded to the standard length.
    std::string pk = k;
    pk.resize(static_cast<size_t>(padded), '\0');
    EXPECT_EQ(got, EncodeHex(ref, pk, plain)) << "key of " << size << " bytes";
  }
}

TEST(DES, ValidationVectors) {
  const BlockCase cases[] = {
      // Classic worked examples
      {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
      {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
      {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
      // NIST SP 800-17: variable plaintext, variable key, permutation and substitution tables
      {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
      {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
      {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
      {"0101010101010101", "0100000000000000", "0D9F279BA5D87260"},
      {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
      {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
      {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
      {"1001010101010101", "0000000000000000", "D3746294CA6A6CF3"},
      {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
      {"1007103489988020", "0000000000000000", "0C0CC00C83EA48FD"},
      {"10071034C8980120", "0000000000000000", "83BC8EF3A6570183"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
      {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
      {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
      {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
      {"04B915BA43FEB5B6", "42FD443059577FA2", "AF37FB421F8C4095"},
      {"0113B970FD34F2CE", "059B5E0851CF143A", "86A560F10EC6D85B"},
      {"0170F175468FB5E6", "0756D8E0774761D2", "0CD3DA020021DC09"},
      {"43297FAD38E373FE", "762514B829BF486A", "EA676B2CB7DB2B7A"},
      {"07A7137045DA2A16", "3BDD119049372802", "DFD64A815CAF1A0F"},
      {"04689104C2FD3B2F", "26955F6835AF609A", "5C513C9C4886C088"},
      {"37D06BB516CB7546", "164D5E404F275232", "0A2AEEAE3FF4AB77"},
      {"1F08260D1AC2465E", "6B056E18759F5CCA", "EF1BF03E5DFA575A"},
      {"584023641ABA6176", "004BD6EF09176062", "88BF0DB6D70DEE56"},
      {"025816164629B007", "480D39006EE762F2", "A1F9915541020B56"},
      {"49793EBC79B3258F", "437540C8698F3CFA", "6FBF1CAFCFFD0556"},
      {"4FB05E1515AB73A7", "072D43A077075292", "2F22E49BAB7CA1AC"},
      {"49E95D6D4CA229BF", "02FE55778117F12A", "5A6B612CC26CCE4A"},
      {"018310DC409B26D6", "1D9D5C5018F728C2", "5F4C038ED12B2E41"},
      {"1C587F1C13924FEF", "305532286D6F295A", "63FAC0D034D9F793"},
  };
  TCipher_1DES c;
  CheckTable(c, cases, std::size(cases));
}

TEST(TripleDES, EncryptDecryptEncrypt) {
  // NIST SP 800-67 example: three keys, three blocks.
  const BlockCase cases[] = {
      {"0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123", "5468652071756663", "A826FD8CE53B855F"},
      {"0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123", "6B2062726F776E20", "CCE21C8112256FE6"},
      {"0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123", "666F78206A756D70", "68D5C05DD9B6B900"},
      // One key three times is single DES.
      {"133457799BBCDFF1133457799BBCDFF1133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
  };
  TCipher_3DES c;
  CheckTable(c, cases, std::size(cases));
}

TEST(TripleDES, SixteenByteKeyUsesAZeroThirdKey) {
  const std::string k1 = Bytes("0123456789ABCDEF"), k2 = Bytes("FEDCBA9876543210");
  const std::string plain = Bytes("0011223344556677");
  TCipher_1DES d1, d2, d3;
  d1.Init(k1.data(), 8, nullptr);
  d2.Init(k2.data(), 8, nullptr);
  d3.Init(std::string(8, '\0').data(), 8, nullptr);
  std::string expect = plain;
  d1.Encode(expect.data());
  d2.Decode(expect.data());
  d3.Encode(expect.data());
  TCipher_3DES c;
  EXPECT_EQ(EncodeHex(c, k1 + k2, plain), Hex(expect));
}

TEST(TripleTDES, TwentyFourByteBlockLayout) {
  // Each stage runs DES on the three 8-byte blocks; only words w1 and w2 are
  // exchanged between stages.
  const std::string key = Bytes("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
  const std::string plain = Bytes("54686520717566636B2062726F776E20666F78206A756D70");
  TCipher_1DES k1, k2, k3;
  k1.Init(key.data(), 8, nullptr);
  k2.Init(key.data() + 8, 8, nullptr);
  k3.Init(key.data() + 16, 8, nullptr);
  auto swapW1W2 = [](std::string& b) {
    for (int i = 4; i < 8; ++i) std::swap(b[static_cast<size_t>(i)], b[static_cast<size_t>(i + 4)]);
  };
  std::string expect = plain;
  for (int b = 0; b < 3; ++b) k1.Encode(expect.data() + 8 * b);
  swapW1W2(expect);
  for (int b = 0; b < 3; ++b) k2.Decode(expect.data() + 8 * b);
  swapW1W2(expect);
  for (int b = 0; b < 3; ++b) k3.Encode(expect.data() + 8 * b);
  TCipher_3TDES c;
  EXPECT_EQ(EncodeHex(c, key, plain), Hex(expect));
  EXPECT_EQ(Hex(expect), "3589C812F569375AF6A695076F2808B068D5C05DD9B6B900");
}

TEST(Blowfish, EricYoungEcbSet) {
  const BlockCase cases[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
      {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
      {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
      {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
      {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
      {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
      {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
      {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
      {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
      {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
      {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
      {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
      {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
      {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
      {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
      {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
      {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
      {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
      {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
      {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
      {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
      {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
      {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
      {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
      {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
      {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
  };
  TCipher_Blowfish c;
  CheckTable(c, cases, std::size(cases));
}

TEST(Blowfish, EricYoungVariableKeyLengths) {
  // Key F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677 cut to 1-24 bytes.
  const char* const expected[24] = {
      "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
      "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
      "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
      "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
      "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
  const std::string key = Bytes("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
  const std::string plain = Bytes("FEDCBA9876543210");
  TCipher_Blowfish c;
  for (size_t n = 1; n <= 24; ++n) EXPECT_EQ(EncodeHex(c, key.substr(0, n), plain), expected[n - 1]) << n;
}

TEST(Blowfish, EmptyKeyIsRefused) {
  TCipher_Blowfish c;
  try {
    c.Init("", 0, nullptr);
    FAIL() << "no exception";
  } catch (const ECipherException& e) {
    EXPECT_EQ(e.ErrorCode, errCipherKeySize);
    EXPECT_STREQ(e.what(),
                 "Length from Encryptionkey is invalid.\r\nKeysize for TCipher_Blowfish must be to 1-56 bytes");
  }
  EXPECT_FALSE(c.Initialized());
}

TEST(Twofish, PaperVectors) {
  const BlockCase cases[] = {
      {"00000000000000000000000000000000", "00000000000000000000000000000000", "9F589F5CF6122C32B6BFEC2F2AE8C35A"},
      {"0123456789ABCDEFFEDCBA98765432100011223344556677", "00000000000000000000000000000000",
       "CFD1D2E5A9BE9CDF501F13B892BD2248"},
      {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF", "00000000000000000000000000000000",
       "37527BE0052334B89F0CFCCAE87CFA20"},
  };
  TCipher_Twofish c;
  CheckTable(c, cases, std::size(cases));
}

TEST(Twofish, IteratedEcbTables) {
  // The paper's ECB tables: each step's key is the previous plain text
  // followed by the start of the previous key, its plain text the previous
  // cipher text. Checked at steps 1-3 and 49.
  struct Table {
    size_t keySize;
    const char* step[3];
    const char* step49;
  };
  const Table tables[] = {
      {16, {"9F589F5CF6122C32B6BFEC2F2AE8C35A", "D491DB16E7B1C39E86CB086B789F5419", "019F9809DE1711858FAAC3A3BA20FBC3"},
       "5D9D4EEFFA9151575524F115815A12E0"},
      {24, {"EFA71F788965BD4453F860178FC19101", "88B2B2706B105E36B446BB6D731A1E88", "39DA69D6BA4997D585B6DC073CA341B2"},
       "E75449212BEEF9F4A390BD860A640941"},
      {32, {"57FF739D4DC92C1BD7FC01700CC8216F", "D43BB7556EA32E46F2A282B7D45B4E0D", "90AFE91BB288544F2C32DC239B2635E6"},
       "37FE26FF1CF66175F5DDF4C33B97A205"},
  };
  TCipher_Twofish c;
  for (const auto& t : tables) {
    std::string key(t.keySize, '\0'), plain(16, '\0');
    for (int i = 1; i <= 49; ++i) {
      const std::string ct = Bytes(EncodeHex(c, key, plain));
      if (i <= 3) {
        EXPECT_EQ(Hex(ct), t.step[i - 1]) << t.keySize << " step " << i;
      } else if (i == 49) {
        EXPECT_EQ(Hex(ct), t.step49) << t.keySize;
      }
      key = (plain + key).substr(0, t.keySize);
      plain = ct;
    }
  }
}

TEST(Twofish, OtherKeyLengthsUseTheLongSchedule) {
  const std::string key = Bytes("0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF");
  const std::string plain(16, '\x5A');
  TCipher_Twofish c, ref;
  for (size_t n : {0u, 1u, 15u, 17u, 20u, 23u, 25u, 31u}) {
    std::string padded = key.substr(0, n);
    padded.resize(32, '\0');
    EXPECT_EQ(EncodeHex(c, key.substr(0, n), plain), EncodeHex(ref, padded, plain)) << n;
  }
}

TEST(Square, ReferenceVectorAndShortKeys) {
  const BlockCase cases[] = {
      {"000102030405060708090A0B0C0D0E0F", "000102030405060708090A0B0C0D0E0F", "7C3491D94994E70F0EC2E7A5CCB5A14F"},
  };
  TCipher_Square c, ref;
  CheckTable(c, cases, std::size(cases));
  const std::string key = Bytes("000102030405060708090A0B0C0D0E0F");
  const std::string plain(16, '\x33');
  for (size_t n : {0u, 5u, 15u}) {
    std::string padded = key.substr(0, n);
    padded.resize(16, '\0');
    EXPECT_EQ(EncodeHex(c, key.substr(0, n), plain), EncodeHex(ref, padded, plain)) << n;
  }
}

TEST(Ciphers, ContextsTestVectorsAndRandomBlocks) {
  struct Context {
    TCipherClass cls;
    const char* name;
    int32_t buf, key, user;
  };
  const Context contexts[] = {
      {TCipher_Rijndael::Class(), "TCipher_Rijndael", 16, 32, 480},
      {TCipher_Blowfish::Class(), "TCipher_Blowfish", 8, 56, 4168},
      {TCipher_1DES::Class(), "TCipher_1DES", 8, 8, 256},
      {TCipher_3DES::Class(), "TCipher_3DES", 8, 24, 768},
      {TCipher_3TDES::Class(), "TCipher_3TDES", 24, 24, 768},
      {TCipher_Twofish::Class(), "TCipher_Twofish", 16, 32, 4256},
      {TCipher_Square::Class(), "TCipher_Square", 16, 16, 288},
  };
  std::mt19937 rng(7);
  for (const auto& ctx : contexts) {
    SCOPED_TRACE(ctx.name);
    EXPECT_STREQ(ctx.cls->ClassName, ctx.name);
    EXPECT_EQ(ctx.cls->BufSize, ctx.buf);
    EXPECT_EQ(ctx.cls->KeySize, ctx.key);
    EXPECT_EQ(ctx.cls->UserSize, ctx.user);
    TCipherPtr c = ctx.cls->Create({}, nullptr);
    EXPECT_EQ(c->ClassType(), ctx.cls);
    EXPECT_EQ(c->BufSize(), ctx.buf);
    const TCipherTestVector* tv = ctx.cls->TestVector;
    ASSERT_NE(tv, nullptr);
    const std::string key(reinterpret_cast<const char*>(tv->Key), static_cast<size_t>(tv->KeySize));
    const std::string plain(reinterpret_cast<const char*>(tv->Plain), static_cast<size_t>(ctx.buf));
    const std::string got = EncodeHex(*c, key, plain);
    EXPECT_EQ(got, Hex(tv->Cipher, static_cast<size_t>(ctx.buf)));
    for (int i = 0; i < 20; ++i) {
      const std::string k = qv::test::RandomBytes(rng, 1 + rng() % static_cast<uint32_t>(ctx.key));
      EncodeHex(*c, k, qv::test::RandomBytes(rng, static_cast<size_t>(ctx.buf)));
    }
  }
}
