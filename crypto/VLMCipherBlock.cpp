// The block algorithms behind TCipher: Rijndael, Blowfish, DES and its two
// triple forms, Twofish and Square. Each supplies its key schedule (Init:
// InitBegin, schedule into the key schedule area, InitEnd) and the one-block
// Encode and Decode; modes and key derivation live in the base class.
//
// Derived lookup tables are computed at compile time from the published
// tables in VLMCipherTables.h; the known-answer tests check all of them.
#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "crypto/VLMCipher.h"
#include "crypto/VLMCipherTables.h"

namespace qv {

namespace ct = cipher_tables;

namespace {

// ---------------------------------------------------------------------------
// Helpers

inline uint32_t LoadLE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void StoreBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint8_t B0(uint32_t v) { return static_cast<uint8_t>(v); }
inline uint8_t B1(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
inline uint8_t B2(uint32_t v) { return static_cast<uint8_t>(v >> 16); }
inline uint8_t B3(uint32_t v) { return static_cast<uint8_t>(v >> 24); }

// Multiplication in GF(2^8) modulo the given polynomial (with its x^8 bit).
constexpr uint8_t GMul(uint8_t a, uint8_t b, uint16_t poly) {
  uint16_t x = a;
  uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r = static_cast<uint8_t>(r ^ x);
    b = static_cast<uint8_t>(b >> 1);
    x = static_cast<uint16_t>(x << 1);
    if (x & 0x100) x = static_cast<uint16_t>(x ^ poly);
  }
  return r;
}

// Wipes a local key copy; the compiler may not drop it as a dead store.
void WipeKey(void* p, size_t n) {
  std::memset(p, 0, n);
  asm volatile("" : : "r"(p) : "memory");
}

template <class T>
TCipherPtr CreateCipher(const std::string& password, TProtectionPtr protection) {
  return std::make_shared<T>(password, std::move(protection));
}

// ---------------------------------------------------------------------------
// Rijndael tables (FIPS-197): S-box and its inverse, and the round tables
// Te (SubBytes + MixColumns of one row-0 byte) and Td (InvSubBytes +
// InvMixColumns); the other rows are byte rotations of them.

constexpr uint16_t kAesPoly = 0x11B;

struct AesTables {
  uint8_t S[256];
  uint8_t IS[256];
  uint32_t Te[256];
  uint32_t Td[256];
};

constexpr AesTables MakeAesTables() {
  AesTables t{};
  // Inverses through powers of the generator 3: inv(3^i) = 3^(255-i).
  uint8_t pow3[256] = {}, log3[256] = {};
  uint8_t v = 1;
  for (int32_t i = 0; i < 255; ++i) {
    pow3[i] = v;
    log3[v] = static_cast<uint8_t>(i);
    v = GMul(v, 3, kAesPoly);
  }
  for (int32_t x = 0; x < 256; ++x) {
    const uint8_t inv = x == 0 ? 0 : pow3[(255 - log3[x]) % 255];
    uint8_t s = inv;
    for (int32_t r = 1; r <= 4; ++r) s = static_cast<uint8_t>(s ^ static_cast<uint8_t>((inv << r) | (inv >> (8 - r))));
    s = static_cast<uint8_t>(s ^ 0x63);
    t.S[x] = s;
    t.IS[s] = static_cast<uint8_t>(x);
  }
  for (int32_t x = 0; x < 256; ++x) {
    const uint8_t s = t.S[x];
    t.Te[x] = uint32_t{GMul(s, 2, kAesPoly)} | (uint32_t{s} << 8) | (uint32_t{s} << 16) |
              (uint32_t{GMul(s, 3, kAesPoly)} << 24);
    const uint8_t i = t.IS[x];
    t.Td[x] = uint32_t{GMul(i, 14, kAesPoly)} | (uint32_t{GMul(i, 9, kAesPoly)} << 8) |
              (uint32_t{GMul(i, 13, kAesPoly)} << 16) | (uint32_t{GMul(i, 11, kAesPoly)} << 24);
  }
  return t;
}

constexpr AesTables kAes = MakeAesTables();

constexpr int32_t kAesMaxRoundKeyWords = 4 * (14 + 1);  // 60 words per direction

// One column of a full round: the table entries of byte 0 of a, byte 1 of b,
// byte 2 of c and byte 3 of d (the row shifts pick a-d).
inline uint32_t AesColumn(const uint32_t* t, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return t[B0(a)] ^ std::rotl(t[B1(b)], 8) ^ std::rotl(t[B2(c)], 16) ^ std::rotl(t[B3(d)], 24);
}

// InvMixColumns of one round-key column (the decryption keys of the
// equivalent inverse cipher).
inline uint32_t AesInvMixColumn(uint32_t w) {
  const auto& td = kAes.Td;
  const auto& s = kAes.S;
  return td[s[B0(w)]] ^ std::rotl(td[s[B1(w)]], 8) ^ std::rotl(td[s[B2(w)]], 16) ^ std::rotl(td[s[B3(w)]], 24);
}

// ---------------------------------------------------------------------------
// DES tables (FIPS 46-3). SP[i] combines S-box i+1 with the permutation P;
// IP and FP apply the initial and final permutations one input byte at a time.

struct DesTables {
  uint32_t SP[8][64];
  uint64_t IP[8][256];
  uint64_t FP[8][256];
};

// Output bit m (1 = most significant of outBits) := input bit table[m-1]
// (1 = most significant of inBits).
constexpr uint64_t Permute(uint64_t in, int32_t inBits, const uint8_t* table, int32_t outBits) {
  uint64_t out = 0;
  for (int32_t m = 0; m < outBits; ++m)
    if ((in >> (inBits - table[m])) & 1) out |= uint64_t{1} << (outBits - 1 - m);
  return out;
}

constexpr DesTables MakeDesTables() {
  DesTables t{};
  for (int32_t i = 0; i < 8; ++i)
    for (int32_t six = 0; six < 64; ++six) {
      const int32_t row = ((six >> 4) & 2) | (six & 1);
      const int32_t col = (six >> 1) & 15;
      const uint64_t pre = uint64_t{ct::kDesS[i][row * 16 + col]} << (28 - 4 * i);
      t.SP[i][six] = static_cast<uint32_t>(Permute(pre, 32, ct::kDesP, 32));
    }
  uint8_t fp[64] = {};
  for (int32_t k = 0; k < 64; ++k) fp[ct::kDesIP[k] - 1] = static_cast<uint8_t>(k + 1);
  for (int32_t j = 0; j < 8; ++j)
    for (int32_t v = 0; v < 256; ++v) {
      const uint64_t in = uint64_t(v) << (56 - 8 * j);
      t.IP[j][v] = Permute(in, 64, ct::kDesIP, 64);
      t.FP[j][v] = Permute(in, 64, fp, 64);
    }
  return t;
}

constexpr DesTables kDes = MakeDesTables();

inline uint64_t DesPermute(const uint64_t (&table)[8][256], uint64_t v) {
  uint64_t r = 0;
  for (int32_t j = 0; j < 8; ++j) r |= table[j][static_cast<uint8_t>(v >> (56 - 8 * j))];
  return r;
}

// The round function f(R, K) with a schedule word pair. The six bits that
// S-box i reads from E(R) are rotr(R, 27 - 4i); the even boxes find theirs in
// the bytes of rotr(R, 3), the odd boxes in those of rotl(R, 1). The key
// words hold the subkey's 6-bit groups at the same places.
inline uint32_t DesF(uint32_t r, const uint32_t* k) {
  const uint32_t a = std::rotr(r, 3) ^ k[0];
  const uint32_t b = std::rotl(r, 1) ^ k[1];
  return kDes.SP[0][(a >> 24) & 63] | kDes.SP[2][(a >> 16) & 63] | kDes.SP[4][(a >> 8) & 63] |
         kDes.SP[6][a & 63] | kDes.SP[1][(b >> 24) & 63] | kDes.SP[3][(b >> 16) & 63] |
         kDes.SP[5][(b >> 8) & 63] | kDes.SP[7][b & 63];
}

constexpr int32_t kDesScheduleWords = 32;  // 16 rounds x 2 words = 128 bytes

// ---------------------------------------------------------------------------
// Blowfish

constexpr int32_t kBlowfishRounds = 16;

struct BlowfishState {
  uint32_t* P;  // 18 words
  uint32_t* S;  // 4 x 256 words
  uint32_t F(uint32_t x) const {
    return ((S[B3(x)] + S[256 + B2(x)]) ^ S[512 + B1(x)]) + S[768 + B0(x)];
  }
  // One block as two words, first word xl.
  void Encrypt(uint32_t& xl, uint32_t& xr) const {
    uint32_t l = xl, r = xr;
    for (int32_t i = 0; i < kBlowfishRounds; i += 2) {
      l ^= P[i];
      r ^= F(l);
      r ^= P[i + 1];
      l ^= F(r);
    }
    l ^= P[16];
    r ^= P[17];
    xl = r;
    xr = l;
  }
  void Decrypt(uint32_t& xl, uint32_t& xr) const {
    uint32_t l = xl, r = xr;
    for (int32_t i = 17; i > 1; i -= 2) {
      l ^= P[i];
      r ^= F(l);
      r ^= P[i - 1];
      l ^= F(r);
    }
    l ^= P[1];
    r ^= P[0];
    xl = r;
    xr = l;
  }
};

// ---------------------------------------------------------------------------
// Twofish tables: the permutations q0 and q1, and for each byte position the
// last q permutation of h() combined with that column of the MDS matrix.

constexpr uint16_t kTwofishMdsPoly = 0x169;
constexpr uint16_t kTwofishRsPoly = 0x14D;
constexpr int32_t kTwofishSubkeys = 40;

constexpr uint8_t Ror4(uint8_t x) { return static_cast<uint8_t>(((x >> 1) | (x << 3)) & 15); }

constexpr uint8_t TwofishQ(const uint8_t (&t)[4][16], uint8_t x) {
  uint8_t a = static_cast<uint8_t>(x >> 4), b = static_cast<uint8_t>(x & 15);
  uint8_t a1 = static_cast<uint8_t>(a ^ b);
  uint8_t b1 = static_cast<uint8_t>((a ^ Ror4(b) ^ (8 * a)) & 15);
  a = t[0][a1];
  b = t[1][b1];
  a1 = static_cast<uint8_t>(a ^ b);
  b1 = static_cast<uint8_t>((a ^ Ror4(b) ^ (8 * a)) & 15);
  return static_cast<uint8_t>((t[3][b1] << 4) | t[2][a1]);
}

struct TwofishTables {
  uint8_t Q0[256];
  uint8_t Q1[256];
  uint32_t MQ[4][256];  // MQ[j][x] = MDS column j times q(x), q = q1, q0, q1, q0
};

constexpr TwofishTables MakeTwofishTables() {
  TwofishTables t{};
  for (int32_t x = 0; x < 256; ++x) {
    t.Q0[x] = TwofishQ(ct::kTwofishQ0T, static_cast<uint8_t>(x));
    t.Q1[x] = TwofishQ(ct::kTwofishQ1T, static_cast<uint8_t>(x));
  }
  for (int32_t j = 0; j < 4; ++j)
    for (int32_t x = 0; x < 256; ++x) {
      const uint8_t y = (j % 2 == 0) ? t.Q1[x] : t.Q0[x];
      uint32_t v = 0;
      for (int32_t i = 0; i < 4; ++i) v |= uint32_t{GMul(ct::kTwofishMDS[i][j], y, kTwofishMdsPoly)} << (8 * i);
      t.MQ[j][x] = v;
    }
  return t;
}

constexpr TwofishTables kTwofish = MakeTwofishTables();

// The four bytes of h(X, L) just before its last q permutation; k words of L.
inline void TwofishHBytes(uint32_t x, const uint32_t* l, int32_t k, uint8_t out[4]) {
  const auto& q0 = kTwofish.Q0;
  const auto& q1 = kTwofish.Q1;
  uint8_t y0 = B0(x), y1 = B1(x), y2 = B2(x), y3 = B3(x);
  if (k == 4) {
    y0 = static_cast<uint8_t>(q1[y0] ^ B0(l[3]));
    y1 = static_cast<uint8_t>(q0[y1] ^ B1(l[3]));
    y2 = static_cast<uint8_t>(q0[y2] ^ B2(l[3]));
    y3 = static_cast<uint8_t>(q1[y3] ^ B3(l[3]));
  }
  if (k >= 3) {
    y0 = static_cast<uint8_t>(q1[y0] ^ B0(l[2]));
    y1 = static_cast<uint8_t>(q1[y1] ^ B1(l[2]));
    y2 = static_cast<uint8_t>(q0[y2] ^ B2(l[2]));
    y3 = static_cast<uint8_t>(q0[y3] ^ B3(l[2]));
  }
  out[0] = static_cast<uint8_t>(q0[static_cast<uint8_t>(q0[y0] ^ B0(l[1]))] ^ B0(l[0]));
  out[1] = static_cast<uint8_t>(q0[static_cast<uint8_t>(q1[y1] ^ B1(l[1]))] ^ B1(l[0]));
  out[2] = static_cast<uint8_t>(q1[static_cast<uint8_t>(q0[y2] ^ B2(l[1]))] ^ B2(l[0]));
  out[3] = static_cast<uint8_t>(q1[static_cast<uint8_t>(q1[y3] ^ B3(l[1]))] ^ B3(l[0]));
}

inline uint32_t TwofishH(uint32_t x, const uint32_t* l, int32_t k) {
  uint8_t y[4];
  TwofishHBytes(x, l, k, y);
  return kTwofish.MQ[0][y[0]] ^ kTwofish.MQ[1][y[1]] ^ kTwofish.MQ[2][y[2]] ^ kTwofish.MQ[3][y[3]];
}

// ---------------------------------------------------------------------------
// Square tables: the S-box inverse and the round tables of
// theta(pi(gamma(.))) and of its inverse. theta multiplies each row by
// c(x) = 2 + x + x^2 + 3x^3 modulo x^4 + 1 over GF(2^8) modulo 0x1F5; since
// c(x)^4 = 1, its inverse is c(x)^3.

constexpr uint16_t kSquarePoly = 0x1F5;
constexpr int32_t kSquareRounds = 8;
constexpr uint8_t kSquareC[4] = {2, 1, 1, 3};

struct SquareTables {
  uint8_t IS[256];
  uint8_t D[4];       // coefficients of the inverse of c(x)
  uint32_t T[256];    // row-0 contribution of S[x] through theta
  uint32_t TI[256];   // row-0 contribution of IS[x] through the inverse theta
};

constexpr void PolyMulMod(const uint8_t* a, const uint8_t* b, uint8_t* out) {
  for (int32_t j = 0; j < 4; ++j) {
    uint8_t v = 0;
    for (int32_t k = 0; k < 4; ++k) v = static_cast<uint8_t>(v ^ GMul(a[k], b[(j - k + 4) % 4], kSquarePoly));
    out[j] = v;
  }
}

constexpr uint32_t SquareRowTable(const uint8_t* c, uint8_t v) {
  return uint32_t{GMul(c[0], v, kSquarePoly)} | (uint32_t{GMul(c[1], v, kSquarePoly)} << 8) |
         (uint32_t{GMul(c[2], v, kSquarePoly)} << 16) | (uint32_t{GMul(c[3], v, kSquarePoly)} << 24);
}

constexpr SquareTables MakeSquareTables() {
  SquareTables t{};
  for (int32_t x = 0; x < 256; ++x) t.IS[ct::kSquareS[x]] = static_cast<uint8_t>(x);
  uint8_t c2[4] = {};
  PolyMulMod(kSquareC, kSquareC, c2);
  PolyMulMod(c2, kSquareC, t.D);
  for (int32_t x = 0; x < 256; ++x) {
    t.T[x] = SquareRowTable(kSquareC, ct::kSquareS[x]);
    t.TI[x] = SquareRowTable(t.D, t.IS[x]);
  }
  return t;
}

constexpr SquareTables kSquare = MakeSquareTables();

// theta on one row (no S-box): the key schedule's transform.
inline uint32_t SquareThetaRow(uint32_t w) {
  uint32_t r = 0;
  for (int32_t m = 0; m < 4; ++m)
    r ^= std::rotl(SquareRowTable(kSquareC, static_cast<uint8_t>(w >> (8 * m))), 8 * m);
  return r;
}

// One full round over 4 row words: out row i gathers byte i of every row
// (the transposition pi) through the round table, then adds the key.
inline void SquareRound(const uint32_t* tab, const uint32_t* in, uint32_t* out, const uint32_t* key) {
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t sh = 8 * i;
    out[i] = tab[static_cast<uint8_t>(in[0] >> sh)] ^ std::rotl(tab[static_cast<uint8_t>(in[1] >> sh)], 8) ^
             std::rotl(tab[static_cast<uint8_t>(in[2] >> sh)], 16) ^
             std::rotl(tab[static_cast<uint8_t>(in[3] >> sh)], 24) ^ key[i];
  }
}

inline void SquareLastRound(const uint8_t* sbox, const uint32_t* in, uint32_t* out, const uint32_t* key) {
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t sh = 8 * i;
    out[i] = (uint32_t{sbox[static_cast<uint8_t>(in[0] >> sh)]} |
              (uint32_t{sbox[static_cast<uint8_t>(in[1] >> sh)]} << 8) |
              (uint32_t{sbox[static_cast<uint8_t>(in[2] >> sh)]} << 16) |
              (uint32_t{sbox[static_cast<uint8_t>(in[3] >> sh)]} << 24)) ^
             key[i];
  }
}

void SquareCode(const uint32_t* keys, const uint32_t* tab, const uint8_t* sbox, uint8_t* block) {
  uint32_t s[4], t[4];
  for (int32_t i = 0; i < 4; ++i) s[i] = LoadLE32(block + 4 * i) ^ keys[i];
  for (int32_t r = 1; r < kSquareRounds; r += 2) {
    SquareRound(tab, s, t, keys + 4 * r);
    if (r + 1 < kSquareRounds)
      SquareRound(tab, t, s, keys + 4 * (r + 1));
    else
      std::memcpy(s, t, sizeof s);
  }
  SquareLastRound(sbox, s, t, keys + 4 * kSquareRounds);
  for (int32_t i = 0; i < 4; ++i) StoreLE32(block + 4 * i, t[i]);
}

// ---------------------------------------------------------------------------
// Known-answer blocks

constexpr uint8_t kSeq32[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// FIPS-197 appendix C.3 (AES-256).
constexpr uint8_t kAesPlain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                   0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
constexpr uint8_t kAesCipher[16] = {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                                    0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};
constexpr TCipherTestVector kRijndaelTest{kSeq32, 32, kAesPlain, kAesCipher};

// Eric Young's Blowfish ECB set: key FEDCBA9876543210, plain 0123456789ABCDEF.
constexpr uint8_t kBfKey[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
constexpr uint8_t kBfPlain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr uint8_t kBfCipher[8] = {0x0A, 0xCE, 0xAB, 0x0F, 0xC6, 0xA0, 0xA2, 0x8D};
constexpr TCipherTestVector kBlowfishTest{kBfKey, 8, kBfPlain, kBfCipher};

// DES: key 133457799BBCDFF1, plain 0123456789ABCDEF.
constexpr uint8_t kDesKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
constexpr uint8_t kDesCipher[8] = {0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
constexpr TCipherTestVector kDesTest{kDesKey, 8, kBfPlain, kDesCipher};

// Triple DES (NIST SP 800-67 example), first block.
constexpr uint8_t kTDesKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x23, 0x45, 0x67, 0x89,
                                  0xAB, 0xCD, 0xEF, 0x01, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23};
constexpr uint8_t kTDesPlain[24] = {0x54, 0x68, 0x65, 0x20, 0x71, 0x75, 0x66, 0x63, 0x6B, 0x20, 0x62, 0x72,
                                    0x6F, 0x77, 0x6E, 0x20, 0x66, 0x6F, 0x78, 0x20, 0x6A, 0x75, 0x6D, 0x70};
constexpr uint8_t kTDesCipher[8] = {0xA8, 0x26, 0xFD, 0x8C, 0xE5, 0x3B, 0x85, 0x5F};
constexpr TCipherTestVector kTripleDesTest{kTDesKey, 24, kTDesPlain, kTDesCipher};

// The 24-byte block form over the same key and the 24 plain bytes above, as
// the three DES stages with the word exchanges produce it.
constexpr uint8_t kTTDesCipher[24] = {0x35, 0x89, 0xC8, 0x12, 0xF5, 0x69, 0x37, 0x5A, 0xF6, 0xA6, 0x95, 0x07,
                                      0x6F, 0x28, 0x08, 0xB0, 0x68, 0xD5, 0xC0, 0x5D, 0xD9, 0xB6, 0xB9, 0x00};
constexpr TCipherTestVector kTripleTDesTest{kTDesKey, 24, kTDesPlain, kTTDesCipher};

// Twofish paper: 256-bit key 0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF, plain 0.
constexpr uint8_t kTwofishKey[32] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA,
                                     0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                     0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
constexpr uint8_t kZero16[16] = {};
constexpr uint8_t kTwofishCipher[16] = {0x37, 0x52, 0x7B, 0xE0, 0x05, 0x23, 0x34, 0xB8,
                                        0x9F, 0x0C, 0xFC, 0xCA, 0xE8, 0x7C, 0xFA, 0x20};
constexpr TCipherTestVector kTwofishTest{kTwofishKey, 32, kZero16, kTwofishCipher};

// Square reference vector: key and plain 000102...0F.
constexpr uint8_t kSquareCipher[16] = {0x7C, 0x34, 0x91, 0xD9, 0x49, 0x94, 0xE7, 0x0F,
                                       0x0E, 0xC2, 0xE7, 0xA5, 0xCC, 0xB5, 0xA1, 0x4F};
constexpr TCipherTestVector kSquareTest{kSeq32, 16, kSeq32, kSquareCipher};

}  // namespace

// ---------------------------------------------------------------------------
// Rijndael

TCipher_Rijndael::TCipher_Rijndael(const std::string& password, TProtectionPtr protection)
    : TCipher(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_Rijndael::Class() {
  static const TCipherClassRec rec{"TCipher_Rijndael", &CreateCipher<TCipher_Rijndael>, 16, 32,
                                   8 * kAesMaxRoundKeyWords, &kRijndaelTest};
  return &rec;
}

void TCipher_Rijndael::Init(const void* key, int32_t size, const void* iVector) {
  InitBegin(size);
  uint8_t k[32] = {};
  if (size > 0) std::memcpy(k, key, static_cast<size_t>(size));
  Rounds = size <= 16 ? 10 : size <= 24 ? 12 : 14;
  const int32_t nk = Rounds - 6;
  const int32_t total = 4 * (Rounds + 1);
  uint32_t* ek = UserWords();
  uint32_t* dk = ek + kAesMaxRoundKeyWords;
  for (int32_t i = 0; i < nk; ++i) ek[i] = LoadLE32(k + 4 * i);
  uint8_t rcon = 1;
  for (int32_t i = nk; i < total; ++i) {
    uint32_t temp = ek[i - 1];
    if (i % nk == 0) {
      temp = std::rotr(temp, 8);  // RotWord
      temp = uint32_t{kAes.S[B0(temp)]} | (uint32_t{kAes.S[B1(temp)]} << 8) | (uint32_t{kAes.S[B2(temp)]} << 16) |
             (uint32_t{kAes.S[B3(temp)]} << 24);
      temp ^= rcon;
      rcon = GMul(rcon, 2, kAesPoly);
    } else if (nk > 6 && i % nk == 4) {
      temp = uint32_t{kAes.S[B0(temp)]} | (uint32_t{kAes.S[B1(temp)]} << 8) | (uint32_t{kAes.S[B2(temp)]} << 16) |
             (uint32_t{kAes.S[B3(temp)]} << 24);
    }
    ek[i] = ek[i - nk] ^ temp;
  }
  // Decryption keys of the equivalent inverse cipher: reversed, with
  // InvMixColumns on the inner rounds.
  for (int32_t r = 0; r <= Rounds; ++r)
    for (int32_t c = 0; c < 4; ++c) {
      const uint32_t w = ek[4 * (Rounds - r) + c];
      dk[4 * r + c] = (r == 0 || r == Rounds) ? w : AesInvMixColumn(w);
    }
  WipeKey(k, sizeof k);
  InitEnd(iVector);
}

void TCipher_Rijndael::Encode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  const uint32_t* rk = UserWords();
  const auto& te = kAes.Te;
  uint32_t s0 = LoadLE32(p) ^ rk[0], s1 = LoadLE32(p + 4) ^ rk[1];
  uint32_t s2 = LoadLE32(p + 8) ^ rk[2], s3 = LoadLE32(p + 12) ^ rk[3];
  for (int32_t r = 1; r < Rounds; ++r) {
    rk += 4;
    const uint32_t t0 = AesColumn(te, s0, s1, s2, s3) ^ rk[0];
    const uint32_t t1 = AesColumn(te, s1, s2, s3, s0) ^ rk[1];
    const uint32_t t2 = AesColumn(te, s2, s3, s0, s1) ^ rk[2];
    const uint32_t t3 = AesColumn(te, s3, s0, s1, s2) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const auto& S = kAes.S;
  const auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return uint32_t{S[B0(a)]} | (uint32_t{S[B1(b)]} << 8) | (uint32_t{S[B2(c)]} << 16) | (uint32_t{S[B3(d)]} << 24);
  };
  StoreLE32(p, last(s0, s1, s2, s3) ^ rk[0]);
  StoreLE32(p + 4, last(s1, s2, s3, s0) ^ rk[1]);
  StoreLE32(p + 8, last(s2, s3, s0, s1) ^ rk[2]);
  StoreLE32(p + 12, last(s3, s0, s1, s2) ^ rk[3]);
}

void TCipher_Rijndael::Decode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  const uint32_t* rk = UserWords() + kAesMaxRoundKeyWords;
  const auto& td = kAes.Td;
  uint32_t s0 = LoadLE32(p) ^ rk[0], s1 = LoadLE32(p + 4) ^ rk[1];
  uint32_t s2 = LoadLE32(p + 8) ^ rk[2], s3 = LoadLE32(p + 12) ^ rk[3];
  for (int32_t r = 1; r < Rounds; ++r) {
    rk += 4;
    const uint32_t t0 = AesColumn(td, s0, s3, s2, s1) ^ rk[0];
    const uint32_t t1 = AesColumn(td, s1, s0, s3, s2) ^ rk[1];
    const uint32_t t2 = AesColumn(td, s2, s1, s0, s3) ^ rk[2];
    const uint32_t t3 = AesColumn(td, s3, s2, s1, s0) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const auto& IS = kAes.IS;
  const auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return uint32_t{IS[B0(a)]} | (uint32_t{IS[B1(b)]} << 8) | (uint32_t{IS[B2(c)]} << 16) | (uint32_t{IS[B3(d)]} << 24);
  };
  StoreLE32(p, last(s0, s3, s2, s1) ^ rk[0]);
  StoreLE32(p + 4, last(s1, s0, s3, s2) ^ rk[1]);
  StoreLE32(p + 8, last(s2, s1, s0, s3) ^ rk[2]);
  StoreLE32(p + 12, last(s3, s2, s1, s0) ^ rk[3]);
}

// ---------------------------------------------------------------------------
// Blowfish

TCipher_Blowfish::TCipher_Blowfish(const std::string& password, TProtectionPtr protection)
    : TCipher(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_Blowfish::Class() {
  static const TCipherClassRec rec{"TCipher_Blowfish", &CreateCipher<TCipher_Blowfish>, 8, 56,
                                   4 * ct::kBlowfishPiWords, &kBlowfishTest};
  return &rec;
}

void TCipher_Blowfish::Init(const void* key, int32_t size, const void* iVector) {
  InitBegin(size);
  // The key bytes are cycled over the P-array: an empty key has nothing to cycle.
  if (size <= 0) RaiseKeySize(1);
  const auto* k = static_cast<const uint8_t*>(key);
  uint32_t* w = UserWords();
  std::memcpy(w, ct::kBlowfishPi, sizeof ct::kBlowfishPi);
  BlowfishState st{w, w + 18};
  int32_t j = 0;
  for (int32_t i = 0; i < 18; ++i) {
    uint32_t data = 0;
    for (int32_t n = 0; n < 4; ++n) {
      data = (data << 8) | k[j];
      if (++j >= size) j = 0;
    }
    st.P[i] ^= data;
  }
  uint32_t l = 0, r = 0;
  for (int32_t i = 0; i < ct::kBlowfishPiWords; i += 2) {
    st.Encrypt(l, r);
    w[i] = l;
    w[i + 1] = r;
  }
  InitEnd(iVector);
}

void TCipher_Blowfish::Encode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  uint32_t* w = UserWords();
  const BlowfishState st{w, w + 18};
  uint32_t l = LoadBE32(p), r = LoadBE32(p + 4);
  st.Encrypt(l, r);
  StoreBE32(p, l);
  StoreBE32(p + 4, r);
}

void TCipher_Blowfish::Decode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  uint32_t* w = UserWords();
  const BlowfishState st{w, w + 18};
  uint32_t l = LoadBE32(p), r = LoadBE32(p + 4);
  st.Decrypt(l, r);
  StoreBE32(p, l);
  StoreBE32(p + 4, r);
}

// ---------------------------------------------------------------------------
// DES and triple DES

TCipher_1DES::TCipher_1DES(const std::string& password, TProtectionPtr protection)
    : TCipher(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_1DES::Class() {
  static const TCipherClassRec rec{"TCipher_1DES", &CreateCipher<TCipher_1DES>, 8, 8, 8 * kDesScheduleWords,
                                   &kDesTest};
  return &rec;
}

void TCipher_1DES::MakeSchedule(const uint8_t* key8, bool decrypt, uint32_t* out) {
  uint64_t key = 0;
  for (int32_t i = 0; i < 8; ++i) key = (key << 8) | key8[i];
  const uint64_t cd = Permute(key, 64, ct::kDesPC1, 56);
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFF;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFF;
  for (int32_t round = 0; round < 16; ++round) {
    const int32_t s = ct::kDesShifts[round];
    c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFF;
    d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFF;
    const uint64_t sub = Permute((uint64_t{c} << 28) | d, 56, ct::kDesPC2, 48);
    uint32_t g[8];
    for (int32_t j = 0; j < 8; ++j) g[j] = static_cast<uint32_t>(sub >> (42 - 6 * j)) & 63;
    const int32_t at = decrypt ? 15 - round : round;
    out[2 * at] = (g[0] << 24) | (g[2] << 16) | (g[4] << 8) | g[6];
    out[2 * at + 1] = (g[1] << 24) | (g[3] << 16) | (g[5] << 8) | g[7];
  }
}

void TCipher_1DES::DESFunc(const uint32_t* const* schedules, int32_t count, uint8_t* block) {
  uint64_t v = 0;
  for (int32_t i = 0; i < 8; ++i) v = (v << 8) | block[i];
  v = DesPermute(kDes.IP, v);
  uint32_t l = static_cast<uint32_t>(v >> 32), r = static_cast<uint32_t>(v);
  // Consecutive DES operations skip the final and the next initial
  // permutation, which cancel.
  for (int32_t n = 0; n < count; ++n) {
    const uint32_t* k = schedules[n];
    for (int32_t round = 0; round < 16; round += 2, k += 4) {
      l ^= DesF(r, k);
      r ^= DesF(l, k + 2);
    }
    std::swap(l, r);
  }
  v = DesPermute(kDes.FP, (uint64_t{l} << 32) | r);
  for (int32_t i = 7; i >= 0; --i, v >>= 8) block[i] = static_cast<uint8_t>(v);
}

void TCipher_1DES::Init(const void* key, int32_t size, const void* iVector) {
  InitBegin(size);
  uint8_t k[8] = {};
  if (size > 0) std::memcpy(k, key, static_cast<size_t>(size));
  MakeSchedule(k, false, UserWords());
  MakeSchedule(k, true, UserWords() + kDesScheduleWords);
  WipeKey(k, sizeof k);
  InitEnd(iVector);
}

void TCipher_1DES::Encode(void* block) {
  const uint32_t* s[1] = {UserWords()};
  DESFunc(s, 1, static_cast<uint8_t*>(block));
}

void TCipher_1DES::Decode(void* block) {
  const uint32_t* s[1] = {UserWords() + kDesScheduleWords};
  DESFunc(s, 1, static_cast<uint8_t*>(block));
}

TCipher_3DES::TCipher_3DES(const std::string& password, TProtectionPtr protection)
    : TCipher_1DES(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_3DES::Class() {
  static const TCipherClassRec rec{"TCipher_3DES", &CreateCipher<TCipher_3DES>, 8, 24, 6 * 4 * kDesScheduleWords,
                                   &kTripleDesTest};
  return &rec;
}

void TCipher_3DES::Init(const void* key, int32_t size, const void* iVector) {
  InitBegin(size);
  // Zero-padded to 24 bytes: a 16-byte key leaves K3 all zero.
  uint8_t k[24] = {};
  if (size > 0) std::memcpy(k, key, static_cast<size_t>(size));
  uint32_t* u = UserWords();
  MakeSchedule(k, false, u + 0 * kDesScheduleWords);       // encrypt K1
  MakeSchedule(k + 8, true, u + 1 * kDesScheduleWords);    // decrypt K2
  MakeSchedule(k + 16, false, u + 2 * kDesScheduleWords);  // encrypt K3
  MakeSchedule(k + 16, true, u + 3 * kDesScheduleWords);   // decrypt K3
  MakeSchedule(k + 8, false, u + 4 * kDesScheduleWords);   // encrypt K2
  MakeSchedule(k, true, u + 5 * kDesScheduleWords);        // decrypt K1
  WipeKey(k, sizeof k);
  InitEnd(iVector);
}

void TCipher_3DES::Encode(void* block) {
  const uint32_t* s[3] = {Schedule(0), Schedule(1), Schedule(2)};
  DESFunc(s, 3, static_cast<uint8_t*>(block));
}

void TCipher_3DES::Decode(void* block) {
  const uint32_t* s[3] = {Schedule(3), Schedule(4), Schedule(5)};
  DESFunc(s, 3, static_cast<uint8_t*>(block));
}

TCipher_3TDES::TCipher_3TDES(const std::string& password, TProtectionPtr protection)
    : TCipher_3DES(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_3TDES::Class() {
  static const TCipherClassRec rec{"TCipher_3TDES", &CreateCipher<TCipher_3TDES>, 24, 24,
                                   6 * 4 * kDesScheduleWords, &kTripleTDesTest};
  return &rec;
}

namespace {

// Exchanges the words w1 (bytes 4-7) and w2 (bytes 8-11) of a 24-byte block.
void SwapW1W2(uint8_t* p) {
  uint8_t t[4];
  std::memcpy(t, p + 4, 4);
  std::memcpy(p + 4, p + 8, 4);
  std::memcpy(p + 8, t, 4);
}

}  // namespace

void TCipher_3TDES::Encode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  for (int32_t stage = 0; stage < 3; ++stage) {
    const uint32_t* s[1] = {Schedule(stage)};
    for (int32_t b = 0; b < 3; ++b) DESFunc(s, 1, p + 8 * b);
    if (stage < 2) SwapW1W2(p);
  }
}

void TCipher_3TDES::Decode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  for (int32_t stage = 3; stage < 6; ++stage) {
    const uint32_t* s[1] = {Schedule(stage)};
    for (int32_t b = 0; b < 3; ++b) DESFunc(s, 1, p + 8 * b);
    if (stage < 5) SwapW1W2(p);
  }
}

// ---------------------------------------------------------------------------
// Twofish. Key schedule area: 40 subkey words, then the four key-dependent
// S-box tables (256 words each, the MDS multiplication folded in).

TCipher_Twofish::TCipher_Twofish(const std::string& password, TProtectionPtr protection)
    : TCipher(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_Twofish::Class() {
  static const TCipherClassRec rec{"TCipher_Twofish", &CreateCipher<TCipher_Twofish>, 16, 32,
                                   4 * (kTwofishSubkeys + 4 * 256), &kTwofishTest};
  return &rec;
}

void TCipher_Twofish::Init(const void* key, int32_t size, const void* iVector) {
  InitBegin(size);
  uint8_t k[32] = {};
  if (size > 0) std::memcpy(k, key, static_cast<size_t>(size));
  const int32_t words = size == 16 ? 2 : size == 24 ? 3 : 4;  // 64-bit key words
  uint32_t me[4] = {}, mo[4] = {}, sv[4] = {};
  for (int32_t i = 0; i < words; ++i) {
    me[i] = LoadLE32(k + 8 * i);
    mo[i] = LoadLE32(k + 8 * i + 4);
    uint32_t s = 0;
    for (int32_t r = 0; r < 4; ++r) {
      uint8_t v = 0;
      for (int32_t j = 0; j < 8; ++j)
        v = static_cast<uint8_t>(v ^ GMul(ct::kTwofishRS[r][j], k[8 * i + j], kTwofishRsPoly));
      s |= uint32_t{v} << (8 * r);
    }
    sv[words - 1 - i] = s;  // g() uses the S words in reverse order
  }
  uint32_t* w = UserWords();
  constexpr uint32_t kRho = 0x01010101;
  for (int32_t i = 0; i < kTwofishSubkeys / 2; ++i) {
    const uint32_t a = TwofishH(static_cast<uint32_t>(2 * i) * kRho, me, words);
    const uint32_t b = std::rotl(TwofishH(static_cast<uint32_t>(2 * i + 1) * kRho, mo, words), 8);
    w[2 * i] = a + b;
    w[2 * i + 1] = std::rotl(a + 2 * b, 9);
  }
  uint32_t* sbox = w + kTwofishSubkeys;
  for (int32_t x = 0; x < 256; ++x) {
    uint8_t y[4];
    TwofishHBytes(static_cast<uint32_t>(x) * kRho, sv, words, y);
    for (int32_t j = 0; j < 4; ++j) sbox[256 * j + x] = kTwofish.MQ[j][y[j]];
  }
  WipeKey(k, sizeof k);
  WipeKey(me, sizeof me);
  WipeKey(mo, sizeof mo);
  WipeKey(sv, sizeof sv);
  InitEnd(iVector);
}

namespace {

struct TwofishG {
  const uint32_t* S;
  uint32_t operator()(uint32_t x) const { return S[B0(x)] ^ S[256 + B1(x)] ^ S[512 + B2(x)] ^ S[768 + B3(x)]; }
};

}  // namespace

void TCipher_Twofish::Encode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  const uint32_t* k = UserWords();
  const TwofishG g{k + kTwofishSubkeys};
  uint32_t x0 = LoadLE32(p) ^ k[0], x1 = LoadLE32(p + 4) ^ k[1];
  uint32_t x2 = LoadLE32(p + 8) ^ k[2], x3 = LoadLE32(p + 12) ^ k[3];
  for (int32_t r = 0; r < 16; r += 2) {
    uint32_t t0 = g(x0), t1 = g(std::rotl(x1, 8));
    x2 = std::rotr(x2 ^ (t0 + t1 + k[8 + 2 * r]), 1);
    x3 = std::rotl(x3, 1) ^ (t0 + 2 * t1 + k[9 + 2 * r]);
    t0 = g(x2);
    t1 = g(std::rotl(x3, 8));
    x0 = std::rotr(x0 ^ (t0 + t1 + k[10 + 2 * r]), 1);
    x1 = std::rotl(x1, 1) ^ (t0 + 2 * t1 + k[11 + 2 * r]);
  }
  StoreLE32(p, x2 ^ k[4]);
  StoreLE32(p + 4, x3 ^ k[5]);
  StoreLE32(p + 8, x0 ^ k[6]);
  StoreLE32(p + 12, x1 ^ k[7]);
}

void TCipher_Twofish::Decode(void* block) {
  auto* p = static_cast<uint8_t*>(block);
  const uint32_t* k = UserWords();
  const TwofishG g{k + kTwofishSubkeys};
  uint32_t x2 = LoadLE32(p) ^ k[4], x3 = LoadLE32(p + 4) ^ k[5];
  uint32_t x0 = LoadLE32(p + 8) ^ k[6], x1 = LoadLE32(p + 12) ^ k[7];
  for (int32_t r = 14; r >= 0; r -= 2) {
    uint32_t t0 = g(x2), t1 = g(std::rotl(x3, 8));
    x0 = std::rotl(x0, 1) ^ (t0 + t1 + k[10 + 2 * r]);
    x1 = std::rotr(x1 ^ (t0 + 2 * t1 + k[11 + 2 * r]), 1);
    t0 = g(x0);
    t1 = g(std::rotl(x1, 8));
    x2 = std::rotl(x2, 1) ^ (t0 + t1 + k[8 + 2 * r]);
    x3 = std::rotr(x3 ^ (t0 + 2 * t1 + k[9 + 2 * r]), 1);
  }
  StoreLE32(p, x0 ^ k[0]);
  StoreLE32(p + 4, x1 ^ k[1]);
  StoreLE32(p + 8, x2 ^ k[2]);
  StoreLE32(p + 12, x3 ^ k[3]);
}

// ---------------------------------------------------------------------------
// Square. Key schedule area: 9 encryption round keys (theta applied to rounds
// 0-7, which folds the cipher's leading inverse theta into them), then the 9
// decryption round keys.

TCipher_Square::TCipher_Square(const std::string& password, TProtectionPtr protection)
    : TCipher(Class(), std::move(protection)) {
  if (!password.empty()) InitKey(password, nullptr);
}

TCipherClass TCipher_Square::Class() {
  static const TCipherClassRec rec{"TCipher_Square", &CreateCipher<TCipher_Square>, 16, 16,
                                   2 * 4 * 4 * (kSquareRounds + 1), &kSquareTest};
  return &rec;
}

void TCipher_Square::Init(const void* key, int32_t size, const void* iVector) {
  InitBegin(size);
  uint8_t kb[16] = {};
  if (size > 0) std::memcpy(kb, key, static_cast<size_t>(size));
  uint32_t k[kSquareRounds + 1][4];
  for (int32_t i = 0; i < 4; ++i) k[0][i] = LoadLE32(kb + 4 * i);
  for (int32_t t = 1; t <= kSquareRounds; ++t) {
    k[t][0] = k[t - 1][0] ^ std::rotr(k[t - 1][3], 8) ^ (uint32_t{1} << (t - 1));
    for (int32_t i = 1; i < 4; ++i) k[t][i] = k[t - 1][i] ^ k[t][i - 1];
  }
  uint32_t* e = UserWords();
  uint32_t* d = e + 4 * (kSquareRounds + 1);
  for (int32_t t = 0; t <= kSquareRounds; ++t)
    for (int32_t i = 0; i < 4; ++i) {
      e[4 * t + i] = t < kSquareRounds ? SquareThetaRow(k[t][i]) : k[t][i];
      d[4 * t + i] = t == kSquareRounds ? SquareThetaRow(k[0][i]) : k[kSquareRounds - t][i];
    }
  WipeKey(kb, sizeof kb);
  WipeKey(k, sizeof k);
  InitEnd(iVector);
}

void TCipher_Square::Encode(void* block) {
  SquareCode(UserWords(), kSquare.T, ct::kSquareS, static_cast<uint8_t*>(block));
}

void TCipher_Square::Decode(void* block) {
  SquareCode(UserWords() + 4 * (kSquareRounds + 1), kSquare.TI, kSquare.IS, static_cast<uint8_t*>(block));
}

}  // namespace qv
