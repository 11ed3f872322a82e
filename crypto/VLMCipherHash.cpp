// The hashes: MD4 (RFC 1320), RIPEMD-128 and RIPEMD-256, and the protection
// actions of the hash base. All three share the 64-byte block buffering and
// the MD4 padding; only the compression function and the initial state differ.
#include <algorithm>
#include <bit>
#include <cstring>

#include "crypto/VLMCipher.h"

namespace qv {

// The digest is handed out as the bytes of the state words, which the
// algorithms define little-endian.
static_assert(std::endian::native == std::endian::little, "the hash digests assume a little-endian host");

namespace {

constexpr int32_t kBlockSize = 64;    // bytes per compression
constexpr int32_t kLengthOffset = 56;  // where the 64-bit bit count goes in the last block

void WipeFill(void* p, size_t n) {
  std::memset(p, 0, n);
  asm volatile("" : : "r"(p) : "memory");
}

inline uint32_t LoadLE32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

template <class T>
THashClass MakeHashClass(const char* name, int32_t digestSize) {
  static const THashClassRec rec{name, []() -> THashPtr { return std::make_shared<T>(); }, digestSize};
  return &rec;
}

// Digests of "abc" from the published test suites.
constexpr uint8_t kMD4Abc[16] = {0xa4, 0x48, 0x01, 0x7a, 0xaf, 0x21, 0xd8, 0x52,
                                 0x5f, 0xc1, 0x0a, 0xe8, 0x7a, 0xa6, 0x72, 0x9d};
constexpr uint8_t kRipeMD128Abc[16] = {0xc1, 0x4a, 0x12, 0x19, 0x9c, 0x66, 0xe4, 0xba,
                                       0x84, 0x63, 0x6b, 0x0f, 0x69, 0x14, 0x4c, 0x77};
constexpr uint8_t kRipeMD256Abc[32] = {0xaf, 0xbd, 0x6e, 0x22, 0x8b, 0x9d, 0x8c, 0xbb, 0xce, 0xf5, 0xca,
                                       0x2d, 0x03, 0xe6, 0xdb, 0xa1, 0x0a, 0xc0, 0xbc, 0x7d, 0xcb, 0xe4,
                                       0x68, 0x0e, 0x1e, 0x42, 0xd2, 0xe9, 0x75, 0x45, 0x9b, 0x65};

// ---- RIPEMD tables: message word order and rotation of each step, left and
// right line, four rounds of sixteen steps.
constexpr uint8_t kRL[64] = {0, 1,  2,  3,  4,  5,  6,  7, 8, 9,  10, 11, 12, 13, 14, 15,
                             7, 4,  13, 1,  10, 6,  15, 3, 12, 0, 9,  5,  2,  14, 11, 8,
                             3, 10, 14, 4,  9,  15, 8,  1, 2,  7, 0,  6,  13, 11, 5,  12,
                             1, 9,  11, 10, 0,  8,  12, 4, 13, 3, 7,  15, 14, 5,  6,  2};
constexpr uint8_t kRR[64] = {5,  14, 7,  0,  9, 2,  11, 4,  13, 6,  15, 8,  1,  10, 3, 12,
                             6,  11, 3,  7,  0, 13, 5,  10, 14, 15, 8,  12, 4,  9,  1, 2,
                             15, 5,  1,  3,  7, 14, 6,  9,  11, 8,  12, 2,  10, 0,  4, 13,
                             8,  6,  4,  1,  3, 11, 15, 0,  5,  12, 2,  13, 9,  7,  10, 14};
constexpr uint8_t kSL[64] = {11, 14, 15, 12, 5,  8,  7,  9,  11, 13, 14, 15, 6,  7,  9,  8,
                             7,  6,  8,  13, 11, 9,  7,  15, 7,  12, 15, 9,  11, 7,  13, 12,
                             11, 13, 6,  7,  14, 9,  13, 15, 14, 8,  13, 6,  5,  12, 7,  5,
                             11, 12, 14, 15, 14, 15, 9,  8,  9,  14, 5,  6,  8,  6,  5,  12};
constexpr uint8_t kSR[64] = {8,  9,  9,  11, 13, 15, 15, 5,  7,  7,  8,  11, 14, 14, 12, 6,
                             9,  13, 15, 7,  12, 8,  9,  11, 7,  7,  12, 7,  6,  15, 13, 11,
                             9,  7,  15, 11, 8,  6,  6,  14, 12, 13, 5,  14, 13, 13, 7,  5,
                             15, 5,  8,  11, 14, 14, 6,  14, 6,  9,  12, 9,  12, 5,  15, 8};
constexpr uint32_t kKL[4] = {0x00000000, 0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC};
constexpr uint32_t kKR[4] = {0x50A28BE6, 0x5C4DD124, 0x6D703EF3, 0x00000000};

// The four boolean functions; the left line uses them in order 0-3, the right
// line in order 3-0.
inline uint32_t RF(int32_t j, uint32_t x, uint32_t y, uint32_t z) {
  switch (j) {
    case 0: return x ^ y ^ z;
    case 1: return (x & y) | (~x & z);
    case 2: return (x | ~y) ^ z;
    default: return (x & z) | (y & ~z);
  }
}

// One round (16 steps) of one line of RIPEMD-128/256 on the state a, b, c, d.
inline void RipeRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t* x, int32_t round,
                      bool right) {
  const uint8_t* r = right ? kRR : kRL;
  const uint8_t* s = right ? kSR : kSL;
  const uint32_t k = right ? kKR[round] : kKL[round];
  const int32_t fn = right ? 3 - round : round;
  for (int32_t i = 16 * round; i < 16 * round + 16; ++i) {
    const uint32_t t = std::rotl(a + RF(fn, b, c, d) + x[r[i]] + k, s[i]);
    a = d;
    d = c;
    c = b;
    b = t;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// THash: the protection actions

void THash::CodeInit(TPAction action) {
  Init();
  if (action == paWipe) RndXORBuffer(RndTimeSeed(), DigestKey(), DigestKeySize());
  TProtection::CodeInit(action);
}

void THash::CodeDone(TPAction action) {
  TProtection::CodeDone(action);
  if (action == paCalc)
    Done();
  else
    Init();
}

void THash::CodeBuf(void* buffer, int32_t size, TPAction action) {
  if (action != paDecode) TProtection::CodeBuf(buffer, size, action);
  const int32_t ds = DigestKeySize();
  if ((Actions & PActionBit(action)) != 0 && buffer != nullptr && size > 0 && ds > 0) {
    auto* p = static_cast<uint8_t*>(buffer);
    uint8_t key[64];
    switch (action) {
      case paCalc:
        Calc(buffer, size);
        break;
      case paScramble:
      case paWipe:
        // Each piece is replaced by (the start of) the hash of itself.
        for (int32_t pos = 0; pos < size; pos += ds) {
          const int32_t n = std::min(ds, size - pos);
          Calc(p + pos, n);
          Done();
          std::memcpy(p + pos, DigestKey(), static_cast<size_t>(n));
        }
        break;
      case paEncode:
      case paDecode:
        // Key stream: the hash of the previous digest, piece by piece.
        for (int32_t pos = 0; pos < size; pos += ds) {
          const int32_t n = std::min(ds, size - pos);
          std::memcpy(key, DigestKey(), static_cast<size_t>(ds));
          Calc(key, ds);
          Done();
          const uint8_t* k = DigestKey();
          for (int32_t i = 0; i < n; ++i) p[pos + i] ^= k[i];
        }
        WipeFill(key, sizeof key);
        break;
    }
  }
  if (action == paDecode) TProtection::CodeBuf(buffer, size, action);
}

// ---------------------------------------------------------------------------
// THash_MD4

THash_MD4::THash_MD4(TProtectionPtr protection) : THash(std::move(protection)) { THash_MD4::Init(); }

THash_MD4::~THash_MD4() {
  WipeFill(Digest, sizeof Digest);
  WipeFill(HashBuffer, sizeof HashBuffer);
}

THashClass THash_MD4::Class() { return MakeHashClass<THash_MD4>("THash_MD4", 16); }
const uint8_t* THash_MD4::TestVector() const { return kMD4Abc; }

void THash_MD4::Init() {
  // MD4 and RIPEMD-128 use the first four words, RIPEMD-256 the first eight;
  // the rest is loaded but takes no part.
  constexpr uint32_t kInitialState[10] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0x76543210,
                                          0xFEDCBA98, 0x89ABCDEF, 0x01234567, 0x3C2D1E0F, 0xC3D2E1F0};
  std::memset(HashBuffer, 0, sizeof HashBuffer);
  std::memcpy(Digest, kInitialState, sizeof Digest);
  Count = 0;
}

uint8_t* THash_MD4::DigestKey() { return reinterpret_cast<uint8_t*>(Digest); }

void THash_MD4::Calc(const void* data, int32_t size) {
  if (size <= 0 || data == nullptr) return;
  const auto* p = static_cast<const uint8_t*>(data);
  int32_t index = static_cast<int32_t>(Count % kBlockSize);
  Count += static_cast<uint64_t>(size);
  if (index > 0) {
    const int32_t n = std::min(kBlockSize - index, size);
    std::memcpy(HashBuffer + index, p, static_cast<size_t>(n));
    p += n;
    size -= n;
    index += n;
    if (index < kBlockSize) return;
    Transform(HashBuffer);
  }
  for (; size >= kBlockSize; p += kBlockSize, size -= kBlockSize) Transform(p);
  if (size > 0) std::memcpy(HashBuffer, p, static_cast<size_t>(size));
}

void THash_MD4::Done() {
  int32_t index = static_cast<int32_t>(Count % kBlockSize);
  HashBuffer[index++] = 0x80;
  if (index > kLengthOffset) {
    std::memset(HashBuffer + index, 0, static_cast<size_t>(kBlockSize - index));
    Transform(HashBuffer);
    index = 0;
  }
  std::memset(HashBuffer + index, 0, static_cast<size_t>(kLengthOffset - index));
  // The message length in bits, all 64 of them.
  const uint64_t bits = Count << 3;
  for (int32_t i = 0; i < 8; ++i) HashBuffer[kLengthOffset + i] = static_cast<uint8_t>(bits >> (8 * i));
  Transform(HashBuffer);
  std::memset(HashBuffer, 0, sizeof HashBuffer);
}

void THash_MD4::Transform(const uint8_t* block) {
  uint32_t x[16];
  for (int32_t i = 0; i < 16; ++i) x[i] = LoadLE32(block + 4 * i);
  uint32_t a = Digest[0], b = Digest[1], c = Digest[2], d = Digest[3];
  const auto F = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (~u & w); };
  const auto G = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (u & w) | (v & w); };
  const auto H = [](uint32_t u, uint32_t v, uint32_t w) { return u ^ v ^ w; };
  // Round 1
  for (int32_t i = 0; i < 16; i += 4) {
    a = std::rotl(a + F(b, c, d) + x[i], 3);
    d = std::rotl(d + F(a, b, c) + x[i + 1], 7);
    c = std::rotl(c + F(d, a, b) + x[i + 2], 11);
    b = std::rotl(b + F(c, d, a) + x[i + 3], 19);
  }
  // Round 2
  for (int32_t i = 0; i < 4; ++i) {
    a = std::rotl(a + G(b, c, d) + x[i] + 0x5A827999u, 3);
    d = std::rotl(d + G(a, b, c) + x[i + 4] + 0x5A827999u, 5);
    c = std::rotl(c + G(d, a, b) + x[i + 8] + 0x5A827999u, 9);
    b = std::rotl(b + G(c, d, a) + x[i + 12] + 0x5A827999u, 13);
  }
  // Round 3: words in the order 0 8 4 12, 2 10 6 14, 1 9 5 13, 3 11 7 15
  constexpr int32_t kOrder3[4] = {0, 2, 1, 3};
  for (int32_t j : kOrder3) {
    a = std::rotl(a + H(b, c, d) + x[j] + 0x6ED9EBA1u, 3);
    d = std::rotl(d + H(a, b, c) + x[j + 8] + 0x6ED9EBA1u, 9);
    c = std::rotl(c + H(d, a, b) + x[j + 4] + 0x6ED9EBA1u, 11);
    b = std::rotl(b + H(c, d, a) + x[j + 12] + 0x6ED9EBA1u, 15);
  }
  Digest[0] += a;
  Digest[1] += b;
  Digest[2] += c;
  Digest[3] += d;
}

// ---------------------------------------------------------------------------
// RIPEMD-128

THashClass THash_RipeMD128::Class() { return MakeHashClass<THash_RipeMD128>("THash_RipeMD128", 16); }
const uint8_t* THash_RipeMD128::TestVector() const { return kRipeMD128Abc; }

void THash_RipeMD128::Transform(const uint8_t* block) {
  uint32_t x[16];
  for (int32_t i = 0; i < 16; ++i) x[i] = LoadLE32(block + 4 * i);
  uint32_t a = Digest[0], b = Digest[1], c = Digest[2], d = Digest[3];
  uint32_t aa = a, bb = b, cc = c, dd = d;
  for (int32_t round = 0; round < 4; ++round) {
    RipeRound(a, b, c, d, x, round, false);
    RipeRound(aa, bb, cc, dd, x, round, true);
  }
  const uint32_t t = Digest[1] + c + dd;
  Digest[1] = Digest[2] + d + aa;
  Digest[2] = Digest[3] + a + bb;
  Digest[3] = Digest[0] + b + cc;
  Digest[0] = t;
}

// ---------------------------------------------------------------------------
// RIPEMD-256: two lines of RIPEMD-128 that exchange one word after each round.

THashClass THash_RipeMD256::Class() { return MakeHashClass<THash_RipeMD256>("THash_RipeMD256", 32); }
const uint8_t* THash_RipeMD256::TestVector() const { return kRipeMD256Abc; }

void THash_RipeMD256::Transform(const uint8_t* block) {
  uint32_t x[16];
  for (int32_t i = 0; i < 16; ++i) x[i] = LoadLE32(block + 4 * i);
  uint32_t a = Digest[0], b = Digest[1], c = Digest[2], d = Digest[3];
  uint32_t aa = Digest[4], bb = Digest[5], cc = Digest[6], dd = Digest[7];
  RipeRound(a, b, c, d, x, 0, false);
  RipeRound(aa, bb, cc, dd, x, 0, true);
  std::swap(a, aa);
  RipeRound(a, b, c, d, x, 1, false);
  RipeRound(aa, bb, cc, dd, x, 1, true);
  std::swap(b, bb);
  RipeRound(a, b, c, d, x, 2, false);
  RipeRound(aa, bb, cc, dd, x, 2, true);
  std::swap(c, cc);
  RipeRound(a, b, c, d, x, 3, false);
  RipeRound(aa, bb, cc, dd, x, 3, true);
  std::swap(d, dd);
  Digest[0] += a;
  Digest[1] += b;
  Digest[2] += c;
  Digest[3] += d;
  Digest[4] += aa;
  Digest[5] += bb;
  Digest[6] += cc;
  Digest[7] += dd;
}

}  // namespace qv
