// PPMd variant G: context model, sub-allocator, range coder and framing.
//
// Arena layout (A = MemoryMB * 2^20 bytes; references are 32-bit offsets from
// the start of the allocation, which lies kArenaBias bytes before arena byte 0,
// so that reference 0 can mean "none" although a block may sit at byte 0):
//
//   arena bytes [0, 196608)       the reserve: 128 blocks of 128 units, held
//                                 back until the first shortage
//   [196608, LoUnit)              state arrays carved upwards
//   [LoUnit, HiUnit)              untouched space
//   [HiUnit, 12 * floor(A / 12))  contexts carved downwards
//
// Context record, one 12-byte unit:
//   0  u16  NumStats   number of states; 1 = binary context; 0 = placeholder
//   2  u16  SummFreq   sum of the frequencies plus the escape weight (>= 2 states)
//   4  u32  Stats      reference of the state array (>= 2 states)
//   8  u32  Suffix     the context one order shorter; 0 for the root
//   With 0 or 1 states, bytes 2-7 hold the embedded state instead ("one state"):
//   2 Symbol, 3 Freq, 4-7 Successor. The two overlays share bytes; every
//   conversion reads one before it writes the other.
//
// State, 6 bytes, packed in arrays without padding:
//   0 u8 Symbol, 1 u8 Freq, 2 u32 Successor (a context, a placeholder or 0)
//
// Free blocks sit in 38 LIFO lists by size class; a free block's first four
// bytes link to the next one. Nothing in the model depends on addresses other
// than by identity, but the allocation order (and with it the points where
// memory runs out and the model restarts) must match the published variant
// exactly: it is part of the compressed format.
//
// Invariants the coder relies on:
//   1. A context's suffix holds every symbol the context holds; the root holds
//      all 256 symbols and has no suffix.
//   2. CharMask[s] == EscCount marks s as excluded in the current escape
//      sequence; NumMasked is the NumStats of the last context escaped from.
//   3. Encoder and decoder drive the model through the same calls in the same
//      order, so they restart at the same byte.
// Checks that stop a call with failure (PPMAbort) guard only against states
// that a consistent model never reaches, so corrupt input can never make the
// decoder read or write outside its buffers.
#include "engine/core/VLMPPMd.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

#if defined(__GNUC__)
#define PPM_INLINE [[gnu::always_inline]] inline
#else
#define PPM_INLINE inline
#endif

constexpr uint32_t kMaxO = 16;              // largest model order
constexpr uint32_t kIntBits = 7;
constexpr uint32_t kPeriodBits = 7;
constexpr uint32_t kTotBits = 14;           // binary contexts code on 2^14
constexpr uint32_t kInterval = 1u << kIntBits;
constexpr uint32_t kBinScale = 1u << kTotBits;
constexpr uint32_t kMaxFreq = 124;          // a frequency above this rescales
constexpr uint32_t kUnitSize = 12;          // bytes per allocation unit
constexpr uint32_t kNIndexes = 38;          // allocator size classes
constexpr uint32_t kReserveBlocks = 128;    // reserve: 128 blocks ...
constexpr uint32_t kReserveBlockUnits = 128;  // ... of 128 units each
constexpr uint32_t kReserveBytes = kReserveBlocks * kReserveBlockUnits * kUnitSize;
constexpr uint32_t kArenaBias = kUnitSize;  // reference of arena byte 0
constexpr uint32_t kTop = 1u << 24;         // range coder
constexpr uint32_t kBot = 1u << 15;
constexpr uint32_t kStateSize = 6;
constexpr uint32_t kVariantG = 6;           // header letter: 'G' - 'A'
constexpr uint32_t kHeaderSize = 4;
constexpr int32_t kEndOfData = -1;          // equals no symbol

constexpr uint16_t kInitBinEsc[16] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x5FFB, 0x5545,
                                      0x63D1, 0x5D9D, 0x64A1, 0x5ABC, 0x6632, 0x6051,
                                      0x68F6, 0x549B, 0x6BCA, 0x3AB0};
constexpr uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

struct Tables {
  uint8_t Indx2Units[kNIndexes];
  uint8_t Units2Indx[128];
  uint8_t NS2Indx[256];
  uint8_t NS2BSIndx[256];
};

constexpr Tables MakeTables() {
  Tables t{};
  uint32_t k = 0, units = 0;
  // 4 classes in steps of 1, 4 in steps of 2, 4 in steps of 3, 26 in steps of 4.
  const uint32_t runs[4][2] = {{4, 1}, {4, 2}, {4, 3}, {26, 4}};
  for (const auto& run : runs)
    for (uint32_t j = 0; j < run[0]; ++j) {
      units += run[1];
      t.Indx2Units[k++] = static_cast<uint8_t>(units);
    }
  for (uint32_t n = 1, i = 0; n <= 128; ++n) {
    while (t.Indx2Units[i] < n) ++i;
    t.Units2Indx[n - 1] = static_cast<uint8_t>(i);
  }
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t v;
    if (n < 4) v = n;
    else if (n < 12) v = 4 + (n - 4) / 2;
    else if (n < 44) v = 8 + (n - 12) / 4;
    else v = 16 + (n - 44) / 8;
    t.NS2Indx[n] = static_cast<uint8_t>(v);
    t.NS2BSIndx[n] = static_cast<uint8_t>(n < 6 ? 2 * n : (n < 50 ? 12 : 14));
  }
  return t;
}

constexpr Tables kT = MakeTables();
static_assert(kT.Indx2Units[kNIndexes - 1] == 128);
static_assert(kT.Units2Indx[4] == 4 && kT.Units2Indx[12] == 8 && kT.Units2Indx[112] == 34 &&
              kT.Units2Indx[124] == 37);
static_assert(kT.NS2Indx[255] == 42);

constexpr uint32_t kSEERows = 43;  // row 43 of the table is the dummy cell

// Any failure inside a call: thrown where it is found, caught at the entry.
struct PPMAbort {};

[[noreturn]] void Abort() { throw PPMAbort{}; }
PPM_INLINE void Check(bool ok) {
  if (!ok) Abort();
}

struct SEE2Context {
  uint16_t Summ;
  uint8_t Shift;
  uint8_t Count;
};

PPM_INLINE uint16_t Ld16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
PPM_INLINE uint32_t Ld32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
PPM_INLINE void St16(uint8_t* p, uint32_t v) {
  const uint16_t w = static_cast<uint16_t>(v);
  std::memcpy(p, &w, 2);
}
PPM_INLINE void St32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

class TPPMdModel {
public:
  ~TPPMdModel() { FreeArena(); }

  int64_t Compress(const uint8_t* in, int64_t inSize, uint8_t*& out, int64_t& capacity,
                   uint32_t memoryMB, uint32_t maxOrder);
  int64_t Decompress(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t capacity);

  bool ArenaAllocated() const { return Arena_ != nullptr; }
  int32_t Restarts() const { return Restarts_; }

private:
  // --- arena and sub-allocator ---------------------------------------------
  bool PrepareArena(uint32_t memoryMB);
  void FreeArena();
  void InitSubAllocator();
  PPM_INLINE uint8_t* P(uint32_t ref) const { return Arena_ + ref; }
  PPM_INLINE void Push(uint32_t block, uint32_t indx) {
    St32(P(block), FreeList_[indx]);
    FreeList_[indx] = block;
  }
  PPM_INLINE uint32_t Pop(uint32_t indx) {
    const uint32_t block = FreeList_[indx];
    FreeList_[indx] = Ld32(P(block));
    return block;
  }
  uint32_t AllocContext();
  uint32_t AllocUnitsRare(uint32_t nu);
  void SplitBlock(uint32_t block, uint32_t oldIndx, uint32_t newIndx);
  uint32_t ExpandUnits(uint32_t block, uint32_t oldNU);
  uint32_t ShrinkUnits(uint32_t block, uint32_t oldNU, uint32_t newNU);
  void FreeUnits(uint32_t block, uint32_t nu) { Push(block, kT.Units2Indx[nu - 1]); }

  // --- record fields ---------------------------------------------------------
  PPM_INLINE uint32_t NumStats(uint32_t c) const { return Ld16(P(c)); }
  PPM_INLINE void SetNumStats(uint32_t c, uint32_t v) { St16(P(c), v); }
  PPM_INLINE uint32_t SummFreq(uint32_t c) const { return Ld16(P(c) + 2); }
  PPM_INLINE void SetSummFreq(uint32_t c, uint32_t v) { St16(P(c) + 2, v); }
  PPM_INLINE uint32_t Stats(uint32_t c) const { return Ld32(P(c) + 4); }
  PPM_INLINE void SetStats(uint32_t c, uint32_t v) { St32(P(c) + 4, v); }
  PPM_INLINE uint32_t Suffix(uint32_t c) const { return Ld32(P(c) + 8); }
  PPM_INLINE void SetSuffix(uint32_t c, uint32_t v) { St32(P(c) + 8, v); }
  PPM_INLINE static uint32_t OneState(uint32_t c) { return c + 2; }

  PPM_INLINE uint32_t Symbol(uint32_t s) const { return P(s)[0]; }
  PPM_INLINE void SetSymbol(uint32_t s, uint32_t v) { P(s)[0] = static_cast<uint8_t>(v); }
  PPM_INLINE uint32_t Freq(uint32_t s) const { return P(s)[1]; }
  PPM_INLINE void SetFreq(uint32_t s, uint32_t v) { P(s)[1] = static_cast<uint8_t>(v); }
  PPM_INLINE uint32_t Successor(uint32_t s) const { return Ld32(P(s) + 2); }
  PPM_INLINE void SetSuccessor(uint32_t s, uint32_t v) { St32(P(s) + 2, v); }
  PPM_INLINE void SwapStates(uint32_t a, uint32_t b) {
    uint8_t t[kStateSize];
    std::memcpy(t, P(a), kStateSize);
    std::memcpy(P(a), P(b), kStateSize);
    std::memcpy(P(b), t, kStateSize);
  }
  // The state of symbol sym in context c (array or embedded).
  uint32_t FindState(uint32_t c, uint32_t sym) const;

  // --- model ---------------------------------------------------------------
  void StartModel();
  void ClearMask() {
    std::memset(CharMask_, 0, sizeof(CharMask_));
    EscCount_ = 1;
  }
  uint16_t& BinSummCell();
  SEE2Context* MakeEscFreq2(uint32_t& escFreq);
  uint32_t WalkUnmasked(uint32_t diff, uint8_t** ps, int32_t x, uint8_t*& hit, uint32_t& hitLow);
  PPM_INLINE uint32_t Ref(const uint8_t* p) const { return static_cast<uint32_t>(p - Arena_); }
  void SEEHit(SEE2Context* see);
  void Update1(uint32_t s);
  void Update2(uint32_t s);
  void Rescale();
  void UpdateModel();
  bool MakeRoot(uint32_t skipCount, uint32_t p1);
  void NextContext();

  // --- coding ----------------------------------------------------------------
  // The steps encoding and decoding share once the symbol (or the escape)
  // is known; BinSymbolCoded narrows the range too, the others follow the
  // caller's narrowing.
  void BinSymbolCoded(bool hit, uint32_t rs, uint16_t& bs, uint32_t r);
  void FirstSymbolCoded(uint32_t ctx, uint32_t s, uint32_t freq, uint32_t scale);
  void EscapeCoded1(uint32_t ctx, uint32_t n);
  void EscapeCoded2(SEE2Context* see, uint32_t scale);
  void StartCoding(uint32_t maxOrder);
  void EncodeBinSymbol(int32_t x);
  void EncodeSymbol1(int32_t x);
  void EncodeSymbol2(int32_t x);
  bool EncodeSymbol(int32_t x);  // true once the coder escaped past the root
  void DecodeBinSymbol();
  void DecodeSymbol1();
  void DecodeSymbol2();
  int32_t DecodeSymbol();  // kEndOfData at the end marker

  PPM_INLINE uint32_t DivideRange(uint32_t scale) {
    const uint32_t r = Range_ / scale;
    Check(r != 0);
    return r;
  }
  PPM_INLINE void Narrow(uint32_t lowCount, uint32_t highCount, uint32_t r) {
    Low_ += lowCount * r;
    Range_ = r * (highCount - lowCount);
  }
  PPM_INLINE void EncodeInterval(uint32_t lowCount, uint32_t highCount, uint32_t scale) {
    Narrow(lowCount, highCount, DivideRange(scale));
  }
  PPM_INLINE void Emit(uint8_t b) {
    if (OutPos_ == *OutCap_) GrowOutput();
    (*OutBuf_)[OutPos_++] = b;
  }
  PPM_INLINE uint8_t NextByte() { return InPos_ < InSize_ ? InBuf_[InPos_++] : 0xFF; }
  void GrowOutput();
  void NormaliseEncoder();
  void NormaliseDecoder();

  // Arena.
  uint8_t* Arena_ = nullptr;  // allocation start; arena byte 0 is at kArenaBias
  uint64_t ArenaSize_ = 0;    // MemoryMB * 2^20
  uint32_t FreeList_[kNIndexes] = {};
  uint32_t LoUnit_ = 0, HiUnit_ = 0;
  bool ReserveHeld_ = false;

  // Model.
  uint32_t MinContext_ = 0, MedContext_ = 0, MaxContext_ = 0, FoundState_ = 0;
  int32_t NumMasked_ = 0, InitEsc_ = 0, OrderFall_ = 0, MaxOrder_ = 0;
  uint8_t EscCount_ = 1, PrevSuccess_ = 0;
  uint8_t CharMask_[256] = {};
  uint16_t BinSumm_[128][16] = {};
  SEE2Context SEE2Cont_[kSEERows][8] = {};
  SEE2Context DummySEE2_ = {};
  int32_t Restarts_ = 0;

  // Range coder.
  uint32_t Low_ = 0, Range_ = 0, Code_ = 0;

  // Input and output of the running call.
  const uint8_t* InBuf_ = nullptr;
  int64_t InSize_ = 0, InPos_ = 0;
  uint8_t** OutBuf_ = nullptr;
  int64_t* OutCap_ = nullptr;
  int64_t OutPos_ = 0;
};

// ---------------------------------------------------------------------------
// Arena and sub-allocator

// The arena comes from the host heap, zero-filled (its contents are never read
// before they are written, so zeroes only keep runs reproducible).
bool TPPMdModel::PrepareArena(uint32_t memoryMB) {
  const uint64_t size = static_cast<uint64_t>(memoryMB) << 20;
  if (Arena_ && ArenaSize_ == size) return true;
  FreeArena();
  Arena_ = static_cast<uint8_t*>(std::calloc(size + kArenaBias, 1));
  if (!Arena_) return false;
  ArenaSize_ = size;
  return true;
}

void TPPMdModel::FreeArena() {
  std::free(Arena_);
  Arena_ = nullptr;
  ArenaSize_ = 0;
}

void TPPMdModel::InitSubAllocator() {
  std::fill(std::begin(FreeList_), std::end(FreeList_), 0u);
  LoUnit_ = kArenaBias + kReserveBytes;
  HiUnit_ = kArenaBias + static_cast<uint32_t>(ArenaSize_ / kUnitSize * kUnitSize);
  ReserveHeld_ = true;
}

uint32_t TPPMdModel::AllocContext() {
  if (HiUnit_ != LoUnit_) return HiUnit_ -= kUnitSize;
  return AllocUnitsRare(1);
}

uint32_t TPPMdModel::AllocUnitsRare(uint32_t nu) {
  const uint32_t indx = kT.Units2Indx[nu - 1];
  if (FreeList_[indx]) return Pop(indx);
  const uint32_t bytes = kUnitSize * kT.Indx2Units[indx];
  if (LoUnit_ + bytes <= HiUnit_) {
    const uint32_t block = LoUnit_;
    LoUnit_ += bytes;
    return block;
  }
  if (ReserveHeld_) {
    // Increasing addresses, so the highest block ends up on top of the list.
    for (uint32_t k = 0; k < kReserveBlocks; ++k)
      Push(kArenaBias + k * kReserveBlockUnits * kUnitSize, kNIndexes - 1);
    ReserveHeld_ = false;
  }
  // The requested class itself is not looked at again, so a class-37 request
  // fails here even right after the reserve went onto list 37. Where the model
  // restarts depends on this.
  for (uint32_t j = indx + 1; j < kNIndexes; ++j) {
    if (FreeList_[j]) {
      const uint32_t block = Pop(j);
      SplitBlock(block, j, indx);
      return block;
    }
  }
  return 0;
}

void TPPMdModel::SplitBlock(uint32_t block, uint32_t oldIndx, uint32_t newIndx) {
  uint32_t diff = kT.Indx2Units[oldIndx] - kT.Indx2Units[newIndx];
  uint32_t p = block + kUnitSize * kT.Indx2Units[newIndx];
  const uint32_t k = kT.Units2Indx[diff - 1];
  if (kT.Indx2Units[k] != diff) {
    Push(p, k - 1);
    p += kUnitSize * kT.Indx2Units[k - 1];
    diff -= kT.Indx2Units[k - 1];
  }
  Push(p, kT.Units2Indx[diff - 1]);
}

uint32_t TPPMdModel::ExpandUnits(uint32_t block, uint32_t oldNU) {
  const uint32_t i0 = kT.Units2Indx[oldNU - 1];
  const uint32_t i1 = kT.Units2Indx[oldNU];
  if (i0 == i1) return block;
  const uint32_t grown = AllocUnitsRare(oldNU + 1);
  if (grown) {
    std::memcpy(P(grown), P(block), kUnitSize * kT.Indx2Units[i0]);
    Push(block, i0);
  }
  return grown;
}

uint32_t TPPMdModel::ShrinkUnits(uint32_t block, uint32_t oldNU, uint32_t newNU) {
  const uint32_t i0 = kT.Units2Indx[oldNU - 1];
  const uint32_t i1 = kT.Units2Indx[newNU - 1];
  if (i0 == i1) return block;
  if (FreeList_[i1]) {
    const uint32_t moved = Pop(i1);
    std::memcpy(P(moved), P(block), kUnitSize * kT.Indx2Units[i1]);
    Push(block, i0);
    return moved;
  }
  SplitBlock(block, i0, i1);
  return block;
}

// ---------------------------------------------------------------------------
// Model start, search and estimators

uint32_t TPPMdModel::FindState(uint32_t c, uint32_t sym) const {
  const uint32_t n = NumStats(c);
  if (n == 1) return OneState(c);
  Check(n != 0);
  uint32_t s = Stats(c);
  for (uint32_t j = 0; j < n; ++j, s += kStateSize)
    if (Symbol(s) == sym) return s;
  Abort();  // a suffix always holds the symbols of its longer contexts
}

void TPPMdModel::StartModel() {
  InitSubAllocator();

  const uint32_t root = AllocContext();
  SetSuffix(root, 0);
  SetNumStats(root, 256);
  SetSummFreq(root, 257);
  const uint32_t stats = AllocUnitsRare(128);
  SetStats(root, stats);
  for (uint32_t j = 0; j < 256; ++j) {
    const uint32_t s = stats + j * kStateSize;
    SetSymbol(s, j);
    SetFreq(s, 1);
    SetSuccessor(s, 0);
  }
  PrevSuccess_ = 0;
  OrderFall_ = 1;

  // A chain of contexts of orders 1..MaxOrder for byte 0; the last one is a
  // placeholder and coding starts in its suffix.
  uint32_t prev = root, st = stats, c = 0;
  for (int32_t level = 1;; ++level) {
    c = AllocContext();
    SetNumStats(c, 1);
    SetSuffix(c, prev);
    SetSuccessor(st, c);
    if (level == MaxOrder_) break;
    st = OneState(c);
    SetSymbol(st, 0);
    SetFreq(st, 1);
    prev = c;
  }
  MaxContext_ = c;
  SetNumStats(c, 0);
  MinContext_ = MedContext_ = Suffix(c);

  for (uint32_t i = 0; i < 128; ++i)
    for (uint32_t k = 0; k < 16; ++k)
      BinSumm_[i][k] = static_cast<uint16_t>(kBinScale - kInitBinEsc[k] / (i + 2));
  for (uint32_t i = 0; i < kSEERows; ++i)
    for (auto& cell : SEE2Cont_[i])
      cell = SEE2Context{static_cast<uint16_t>((4 * i + 10) << 3), kPeriodBits - 4, 3};
  // Contexts holding all 256 symbols escape with frequency 1; their cell never
  // adapts (shift at the limit).
  DummySEE2_ = SEE2Context{0, kPeriodBits, 0};
  ClearMask();
}

uint16_t& TPPMdModel::BinSummCell() {
  const uint32_t suffix = Suffix(MinContext_);
  Check(suffix != 0);
  const uint32_t suffixStats = NumStats(suffix);
  Check(suffixStats != 0);
  // A binary frequency stays at most 128 on every path a consistent model takes.
  const uint32_t freq = std::clamp<uint32_t>(Freq(OneState(MinContext_)), 1, 128);
  return BinSumm_[freq - 1][PrevSuccess_ + kT.NS2BSIndx[suffixStats - 1]];
}

SEE2Context* TPPMdModel::MakeEscFreq2(uint32_t& escFreq) {
  const int32_t n = static_cast<int32_t>(NumStats(MinContext_));
  const int32_t diff = n - NumMasked_;
  Check(diff >= 1);
  if (n == 256) {
    escFreq = 1;
    return &DummySEE2_;
  }
  const uint32_t suffix = Suffix(MinContext_);
  const int32_t suffixStats = suffix ? static_cast<int32_t>(NumStats(suffix)) : 0;
  const uint32_t col = (diff < suffixStats - n ? 1u : 0u) +
                       (SummFreq(MinContext_) < 11u * static_cast<uint32_t>(n) ? 2u : 0u) +
                       (NumMasked_ > diff ? 4u : 0u);
  SEE2Context* see = &SEE2Cont_[kT.NS2Indx[diff - 1]][col];
  uint32_t m = see->Summ >> see->Shift;
  see->Summ = static_cast<uint16_t>(see->Summ - m);
  m &= 0x3FF;
  escFreq = m ? m : 1;
  return see;
}

void TPPMdModel::SEEHit(SEE2Context* see) {
  if (see->Shift < kPeriodBits && --see->Count == 0) {
    see->Summ = static_cast<uint16_t>(see->Summ * 2);
    see->Count = static_cast<uint8_t>(3 << see->Shift);
    ++see->Shift;
  }
}

// Walks the unmasked states of MinContext in array order, lists them in ps
// (when given) and masks them; returns the sum of their frequencies and, for
// the encoder, the state of symbol x with the sum before it. Masking the
// walked states is harmless when one of them is then coded: a hit advances
// EscCount, which unmasks everything.
uint32_t TPPMdModel::WalkUnmasked(uint32_t diff, uint8_t** ps, int32_t x, uint8_t*& hit,
                                  uint32_t& hitLow) {
  uint8_t* p = P(Stats(MinContext_));
  uint8_t* const end = p + NumStats(MinContext_) * kStateSize;
  uint8_t* const mask = CharMask_;
  const uint8_t esc = EscCount_;
  uint32_t total = 0, left = diff;
  hit = nullptr;
  for (; left != 0 && p != end; p += kStateSize) {
    const uint8_t sym = p[0];
    if (mask[sym] == esc) continue;
    mask[sym] = esc;
    --left;
    if (ps) *ps++ = p;
    if (static_cast<int32_t>(sym) == x) {
      hit = p;
      hitLow = total;
    }
    total += p[1];
  }
  Check(left == 0);
  return total;
}

// ---------------------------------------------------------------------------
// Frequency updates

void TPPMdModel::Update1(uint32_t s) {
  SetFreq(s, Freq(s) + 4);
  SetSummFreq(MinContext_, SummFreq(MinContext_) + 4);
  FoundState_ = s;
  if (Freq(s) > Freq(s - kStateSize)) {
    SwapStates(s, s - kStateSize);
    FoundState_ = s - kStateSize;
    if (Freq(FoundState_) > kMaxFreq) Rescale();
  }
}

void TPPMdModel::Update2(uint32_t s) {
  FoundState_ = s;
  SetFreq(s, Freq(s) + 4);
  SetSummFreq(MinContext_, SummFreq(MinContext_) + 4);
  if (Freq(s) > kMaxFreq) Rescale();
  ++EscCount_;
}

void TPPMdModel::Rescale() {
  const uint32_t ctx = MinContext_;
  const uint32_t oldNS = NumStats(ctx);
  const uint32_t stats = Stats(ctx);
  for (uint32_t p = FoundState_; p != stats; p -= kStateSize) SwapStates(p, p - kStateSize);
  SetFreq(stats, Freq(stats) + 4);
  SetSummFreq(ctx, SummFreq(ctx) + 4);
  int32_t escFreq = static_cast<int32_t>(SummFreq(ctx)) - static_cast<int32_t>(Freq(stats));
  const uint32_t adder = OrderFall_ != 0 ? 1 : 0;
  SetFreq(stats, (Freq(stats) + adder) >> 1);
  uint32_t summ = Freq(stats);
  for (uint32_t j = 1; j < oldNS; ++j) {
    const uint32_t s = stats + j * kStateSize;
    escFreq -= static_cast<int32_t>(Freq(s));
    SetFreq(s, (Freq(s) + adder) >> 1);
    summ += Freq(s);
    if (Freq(s) > Freq(s - kStateSize)) {
      uint8_t tmp[kStateSize];
      std::memcpy(tmp, P(s), kStateSize);
      uint32_t q = s;
      do {
        std::memcpy(P(q), P(q - kStateSize), kStateSize);
        q -= kStateSize;
      } while (q != stats && tmp[1] > Freq(q - kStateSize));
      std::memcpy(P(q), tmp, kStateSize);
    }
  }
  SetSummFreq(ctx, summ);

  uint32_t last = stats + (oldNS - 1) * kStateSize;
  if (Freq(last) == 0) {
    uint32_t zeros = 0;
    do {
      ++zeros;
      last -= kStateSize;
    } while (zeros < oldNS && Freq(last) == 0);
    Check(zeros < oldNS);
    escFreq += static_cast<int32_t>(zeros);
    const uint32_t newNS = oldNS - zeros;
    SetNumStats(ctx, newNS);
    if (newNS == 1) {
      uint8_t t[kStateSize];
      std::memcpy(t, P(stats), kStateSize);
      do {
        t[1] = static_cast<uint8_t>(t[1] - (t[1] >> 1));
        escFreq >>= 1;
      } while (escFreq > 1);
      FreeUnits(stats, (oldNS + 1) >> 1);
      std::memcpy(P(OneState(ctx)), t, kStateSize);
      FoundState_ = OneState(ctx);
      return;
    }
  }
  escFreq -= escFreq >> 1;
  SetSummFreq(ctx, SummFreq(ctx) + static_cast<uint32_t>(escFreq));
  const uint32_t oldNU = (oldNS + 1) >> 1, newNU = (NumStats(ctx) + 1) >> 1;
  if (oldNU != newNU) SetStats(ctx, ShrinkUnits(stats, oldNU, newNU));
  FoundState_ = Stats(ctx);
}

// ---------------------------------------------------------------------------
// Model update

// Turns the placeholder that FoundState leads to into real contexts: one for
// each listed state on the way down the suffix chain, all predicting the
// symbol the placeholder recorded.
bool TPPMdModel::MakeRoot(uint32_t skipCount, uint32_t p1) {
  const uint32_t upBranch = Successor(FoundState_);
  Check(upBranch != 0);
  const uint32_t fsSymbol = Symbol(FoundState_);
  uint32_t pc = MinContext_;
  uint32_t list[kMaxO + 1];
  uint32_t count = 0;

  bool walk = true;
  if (skipCount == 0) {
    list[count++] = FoundState_;
    if (!Suffix(pc)) walk = false;
  } else if (skipCount == 2) {
    pc = Suffix(pc);
    Check(pc != 0);
  }
  if (walk) {
    uint32_t p = 0;
    bool enterAtB = false;
    if (p1) {
      p = p1;
      pc = Suffix(pc);
      enterAtB = true;
    }
    for (;;) {
      if (!enterAtB) {
        pc = Suffix(pc);
        Check(pc != 0);
        p = FindState(pc, fsSymbol);
      }
      enterAtB = false;
      if (Successor(p) != upBranch) {
        pc = Successor(p);
        break;
      }
      Check(count <= kMaxO);
      list[count++] = p;
      if (!Suffix(pc)) break;
    }
  }
  Check(pc != 0);

  // The frequency of the predicted symbol, from the context the new ones will
  // hang below.
  const uint32_t upState = OneState(upBranch);
  const uint32_t upSymbol = Symbol(upState);
  uint32_t upFreq;
  if (NumStats(pc) != 1) {
    const uint32_t q = FindState(pc, upSymbol);
    const uint32_t cf = Freq(q) - 1;
    const uint32_t s0 = SummFreq(pc) - NumStats(pc) - cf;
    if (2 * cf <= s0) {
      upFreq = 1 + (5 * cf > s0 ? 1 : 0);
    } else {
      Check(s0 != 0);
      upFreq = 1 + (2 * cf + 3 * s0 - 1) / (2 * s0);
    }
  } else {
    upFreq = Freq(OneState(pc));
  }
  SetFreq(upState, upFreq);
  uint8_t up[kStateSize];
  std::memcpy(up, P(upState), kStateSize);

  while (count > 0) {
    const uint32_t e = list[--count];
    const uint32_t c = AllocContext();
    if (!c) return false;
    SetNumStats(c, 1);
    std::memcpy(P(OneState(c)), up, kStateSize);
    SetSuffix(c, pc);
    SetSuccessor(e, c);
    pc = c;
  }
  if (OrderFall_ == 0) {
    SetNumStats(upBranch, 1);
    SetSuffix(upBranch, pc);
  }
  return true;
}

void TPPMdModel::UpdateModel() {
  const uint32_t fsSymbol = Symbol(FoundState_);
  const uint32_t fsFreq = Freq(FoundState_);
  const uint32_t fsSuccessor = Successor(FoundState_);
  uint32_t p1 = 0, skipCount = 0, successor = 0;

  // Partial update of the symbol in the suffix.
  const uint32_t suffix = Suffix(MinContext_);
  if (fsFreq < kMaxFreq / 4 && suffix) {
    if (NumStats(suffix) != 1) {
      uint32_t p = FindState(suffix, fsSymbol);
      if (p != Stats(suffix) && Freq(p) >= Freq(p - kStateSize)) {
        SwapStates(p, p - kStateSize);
        p -= kStateSize;
      }
      p1 = p;
      if (Freq(p) < 7 * kMaxFreq / 8) {
        SetFreq(p, Freq(p) + 2);
        SetSummFreq(suffix, SummFreq(suffix) + 2);
      }
    } else {
      p1 = OneState(suffix);
      if (Freq(p1) < 32) SetFreq(p1, Freq(p1) + 1);
    }
  }

  if (OrderFall_ == 0) {
    if (!MakeRoot(2, 0)) goto restart;
    MinContext_ = MedContext_ = fsSuccessor;
    return;
  }

  if (--OrderFall_ == 0) {
    successor = fsSuccessor;
    skipCount = 1;
  } else {
    successor = AllocContext();
    if (!successor) goto restart;
    SetNumStats(successor, 0);
  }
  if (NumStats(MaxContext_) == 0) {
    const uint32_t ms = OneState(MaxContext_);
    SetSymbol(ms, fsSymbol);
    SetSuccessor(ms, successor);
  }

  {
    const uint32_t ns = NumStats(MinContext_);
    const uint32_t s0 = SummFreq(MinContext_) - ns - (fsFreq - 1);
    for (uint32_t pc = MedContext_; pc != MinContext_; pc = Suffix(pc)) {
      Check(pc != 0);
      const uint32_t n1 = NumStats(pc);
      if (n1 != 1) {
        if ((n1 & 1) == 0) {
          const uint32_t grown = ExpandUnits(Stats(pc), n1 >> 1);
          if (!grown) goto restart;
          SetStats(pc, grown);
        }
        SetSummFreq(pc, SummFreq(pc) + (2 * n1 < ns ? 1 : 0) +
                            (4 * n1 <= ns && SummFreq(pc) <= 8 * n1 ? 2 : 0));
      } else {
        const uint32_t a = AllocUnitsRare(1);
        if (!a) goto restart;
        std::memcpy(P(a), P(OneState(pc)), kStateSize);
        SetStats(pc, a);
        SetFreq(a, Freq(a) < kMaxFreq / 4 - 1 ? 2 * Freq(a) : kMaxFreq - 4);
        SetSummFreq(pc, Freq(a) + static_cast<uint32_t>(InitEsc_) + (ns > 3 ? 1 : 0));
      }
      const uint32_t cf = 2 * fsFreq * (SummFreq(pc) + 6);
      const uint32_t sf = s0 + SummFreq(pc);
      uint32_t newFreq;
      if (cf < 6 * sf) {
        newFreq = 1 + (cf > sf ? 1 : 0) + (cf >= 4 * sf ? 1 : 0);
        SetSummFreq(pc, SummFreq(pc) + 3);
      } else {
        newFreq = 4 + (cf >= 9 * sf ? 1 : 0) + (cf >= 12 * sf ? 1 : 0) + (cf >= 15 * sf ? 1 : 0);
        SetSummFreq(pc, SummFreq(pc) + newFreq);
      }
      const uint32_t st = Stats(pc) + n1 * kStateSize;
      SetSymbol(st, fsSymbol);
      SetFreq(st, newFreq);
      SetSuccessor(st, successor);
      SetNumStats(pc, n1 + 1);
    }
  }

  if (fsSuccessor) {
    if (NumStats(fsSuccessor) == 0 && !MakeRoot(skipCount, p1)) goto restart;
    MinContext_ = Successor(FoundState_);  // MakeRoot may have re-linked it
  } else {
    SetSuccessor(FoundState_, successor);
    ++OrderFall_;
  }
  MedContext_ = MinContext_;
  MaxContext_ = successor;
  return;

restart:
  // The arena is exhausted: throw the model away and go on with a fresh one.
  // The byte just coded is not added to it.
  StartModel();
  EscCount_ = 0;
  ++Restarts_;
}

void TPPMdModel::NextContext() {
  const uint32_t successor = Successor(FoundState_);
  if (OrderFall_ == 0 && successor && NumStats(successor) != 0) {
    MinContext_ = MedContext_ = successor;
  } else {
    UpdateModel();
    if (EscCount_ == 0) ClearMask();
  }
}

// ---------------------------------------------------------------------------
// Range coder

void TPPMdModel::GrowOutput() {
  const int64_t cap = *OutCap_;
  const int64_t grown = cap + cap / 2 + 1024;
  auto* p = static_cast<uint8_t*>(std::realloc(*OutBuf_, static_cast<size_t>(grown)));
  if (!p) Abort();
  *OutBuf_ = p;
  *OutCap_ = grown;
}

// Emits the top byte while it is settled; when the range has become too small
// without settling it, the range is cut to the bytes below the next boundary.
void TPPMdModel::NormaliseEncoder() {
  Check(Range_ != 0);  // every interval of a consistent model is non-empty
  for (;;) {
    if ((Low_ ^ (Low_ + Range_)) >= kTop) {
      if (Range_ >= kBot) return;
      Range_ = (0u - Low_) & (kBot - 1);
    }
    Emit(static_cast<uint8_t>(Low_ >> 24));
    Low_ <<= 8;
    Range_ <<= 8;
  }
}

void TPPMdModel::NormaliseDecoder() {
  Check(Range_ != 0);
  for (;;) {
    if ((Low_ ^ (Low_ + Range_)) >= kTop) {
      if (Range_ >= kBot) return;
      Range_ = (0u - Low_) & (kBot - 1);
    }
    Code_ = (Code_ << 8) | NextByte();
    Low_ <<= 8;
    Range_ <<= 8;
  }
}

// ---------------------------------------------------------------------------
// Steps shared by the encoder and the decoder

void TPPMdModel::BinSymbolCoded(bool hit, uint32_t rs, uint16_t& bs, uint32_t r) {
  if (hit) {
    FoundState_ = rs;
    if (Freq(rs) < 128) SetFreq(rs, Freq(rs) + 1);
    Narrow(0, bs, r);
    bs = static_cast<uint16_t>(bs + kInterval - ((bs + 32) >> 7));
    PrevSuccess_ = 1;
  } else {
    Narrow(bs, kBinScale, r);
    bs = static_cast<uint16_t>(bs - ((bs + 32) >> 7));
    InitEsc_ = kExpEscape[bs >> 10];
    NumMasked_ = 1;
    CharMask_[Symbol(rs)] = EscCount_;
    PrevSuccess_ = 0;
    FoundState_ = 0;
  }
}

void TPPMdModel::FirstSymbolCoded(uint32_t ctx, uint32_t s, uint32_t freq, uint32_t scale) {
  PrevSuccess_ = 2 * freq > scale ? 1 : 0;
  FoundState_ = s;
  SetFreq(s, freq + 4);
  SetSummFreq(ctx, scale + 4);
  if (freq + 4 > kMaxFreq) Rescale();
}

// No symbol of the context matched: all of them are masked for the shorter
// contexts.
void TPPMdModel::EscapeCoded1(uint32_t ctx, uint32_t n) {
  uint32_t s = Stats(ctx);
  for (uint32_t j = 0; j < n; ++j, s += kStateSize) CharMask_[Symbol(s)] = EscCount_;
  NumMasked_ = static_cast<int32_t>(n);
  FoundState_ = 0;
}

void TPPMdModel::EscapeCoded2(SEE2Context* see, uint32_t scale) {
  see->Summ = static_cast<uint16_t>(see->Summ + scale);
  NumMasked_ = static_cast<int32_t>(NumStats(MinContext_));
  FoundState_ = 0;
}

void TPPMdModel::StartCoding(uint32_t maxOrder) {
  MaxOrder_ = static_cast<int32_t>(maxOrder);
  InitEsc_ = 0;  // what a fresh process has; restarts keep it
  Restarts_ = 0;
  StartModel();
  Low_ = 0;
  Range_ = 0xFFFFFFFFu;
}

// ---------------------------------------------------------------------------
// Encoder

void TPPMdModel::EncodeBinSymbol(int32_t x) {
  const uint32_t rs = OneState(MinContext_);
  uint16_t& bs = BinSummCell();
  BinSymbolCoded(static_cast<int32_t>(Symbol(rs)) == x, rs, bs, Range_ >> kTotBits);
}

void TPPMdModel::EncodeSymbol1(int32_t x) {
  const uint32_t ctx = MinContext_;
  const uint32_t scale = SummFreq(ctx);
  const uint32_t n = NumStats(ctx);
  uint32_t s = Stats(ctx);
  uint32_t lo = Freq(s);
  if (static_cast<int32_t>(Symbol(s)) == x) {
    EncodeInterval(0, lo, scale);
    FirstSymbolCoded(ctx, s, lo, scale);
    return;
  }
  PrevSuccess_ = 0;
  for (uint32_t j = 1; j < n; ++j) {
    s += kStateSize;
    if (static_cast<int32_t>(Symbol(s)) == x) {
      EncodeInterval(lo, lo + Freq(s), scale);
      Update1(s);
      return;
    }
    lo += Freq(s);
  }
  EncodeInterval(lo, scale, scale);
  EscapeCoded1(ctx, n);
}

void TPPMdModel::EncodeSymbol2(int32_t x) {
  uint32_t escFreq;
  SEE2Context* see = MakeEscFreq2(escFreq);
  const uint32_t diff = NumStats(MinContext_) - static_cast<uint32_t>(NumMasked_);
  uint8_t* hit;
  uint32_t lo = 0;
  const uint32_t total = WalkUnmasked(diff, nullptr, x, hit, lo);
  const uint32_t scale = escFreq + total;
  if (hit) {
    EncodeInterval(lo, lo + hit[1], scale);
    SEEHit(see);
    Update2(Ref(hit));
    return;
  }
  EncodeInterval(total, scale, scale);
  EscapeCoded2(see, scale);
}

bool TPPMdModel::EncodeSymbol(int32_t x) {
  if (NumStats(MinContext_) != 1) EncodeSymbol1(x);
  else EncodeBinSymbol(x);
  while (!FoundState_) {
    NormaliseEncoder();
    do {
      ++OrderFall_;
      MinContext_ = Suffix(MinContext_);
      if (!MinContext_) return true;
    } while (static_cast<int32_t>(NumStats(MinContext_)) == NumMasked_);
    EncodeSymbol2(x);
  }
  NextContext();
  NormaliseEncoder();
  return false;
}

// ---------------------------------------------------------------------------
// Decoder

void TPPMdModel::DecodeBinSymbol() {
  const uint32_t rs = OneState(MinContext_);
  uint16_t& bs = BinSummCell();
  const uint32_t r = Range_ >> kTotBits;
  Check(r != 0);
  BinSymbolCoded((Code_ - Low_) / r < bs, rs, bs, r);
}

void TPPMdModel::DecodeSymbol1() {
  const uint32_t ctx = MinContext_;
  const uint32_t scale = SummFreq(ctx);
  const uint32_t n = NumStats(ctx);
  const uint32_t r = DivideRange(scale);
  const uint32_t count = (Code_ - Low_) / r;
  uint32_t s = Stats(ctx);
  uint32_t hi = Freq(s);
  if (count < hi) {
    Narrow(0, hi, r);
    FirstSymbolCoded(ctx, s, hi, scale);
    return;
  }
  PrevSuccess_ = 0;
  for (uint32_t j = 1; j < n; ++j) {
    s += kStateSize;
    hi += Freq(s);
    if (hi > count) {
      Narrow(hi - Freq(s), hi, r);
      Update1(s);
      return;
    }
  }
  Narrow(hi, scale, r);
  EscapeCoded1(ctx, n);
}

void TPPMdModel::DecodeSymbol2() {
  uint32_t escFreq;
  SEE2Context* see = MakeEscFreq2(escFreq);
  const uint32_t diff = NumStats(MinContext_) - static_cast<uint32_t>(NumMasked_);
  uint8_t* ps[256];
  uint8_t* hit;
  uint32_t lo = 0;
  const uint32_t total = WalkUnmasked(diff, ps, kEndOfData, hit, lo);
  const uint32_t scale = escFreq + total;
  const uint32_t r = DivideRange(scale);
  const uint32_t count = (Code_ - Low_) / r;
  if (count < total) {
    uint32_t hi = 0, i = 0;
    while ((hi += ps[i][1]) <= count) ++i;
    Narrow(hi - ps[i][1], hi, r);
    SEEHit(see);
    Update2(Ref(ps[i]));
    return;
  }
  Narrow(total, scale, r);
  EscapeCoded2(see, scale);
}

int32_t TPPMdModel::DecodeSymbol() {
  if (NumStats(MinContext_) != 1) DecodeSymbol1();
  else DecodeBinSymbol();
  while (!FoundState_) {
    NormaliseDecoder();
    do {
      ++OrderFall_;
      MinContext_ = Suffix(MinContext_);
      if (!MinContext_) return kEndOfData;
    } while (static_cast<int32_t>(NumStats(MinContext_)) == NumMasked_);
    DecodeSymbol2();
  }
  const int32_t symbol = static_cast<int32_t>(Symbol(FoundState_));
  NextContext();
  NormaliseDecoder();
  return symbol;
}

// ---------------------------------------------------------------------------
// Whole buffers

int64_t TPPMdModel::Compress(const uint8_t* in, int64_t inSize, uint8_t*& out,
                             int64_t& capacity, uint32_t memoryMB, uint32_t maxOrder) {
  if (maxOrder < 2 || maxOrder > kMaxO || memoryMB < 1 || memoryMB > 256) return 0;
  if (inSize < 0 || (inSize > 0 && !in) || capacity < 0 || (!out && capacity != 0)) return 0;
  OutBuf_ = &out;
  OutCap_ = &capacity;
  OutPos_ = 0;
  const uint32_t header = (maxOrder - 1) | ((memoryMB - 1) << 4) | (kVariantG << 12);
  try {
    for (uint32_t i = 0; i < kHeaderSize; ++i) Emit(static_cast<uint8_t>(header >> (8 * i)));
    if (!PrepareArena(memoryMB)) return 0;
    StartCoding(maxOrder);
    for (int64_t i = 0; i < inSize; ++i) EncodeSymbol(in[i]);
    EncodeSymbol(kEndOfData);
    for (int i = 0; i < 4; ++i) {
      Emit(static_cast<uint8_t>(Low_ >> 24));
      Low_ <<= 8;
    }
  } catch (const PPMAbort&) {
    FreeArena();
    return 0;
  }
  FreeArena();
  return OutPos_;
}

int64_t TPPMdModel::Decompress(const uint8_t* in, int64_t inSize, uint8_t* out,
                               int64_t capacity) {
  if (!in || inSize < static_cast<int64_t>(kHeaderSize) || capacity < 0) return 0;
  if (capacity > 0 && !out) return 0;
  const uint32_t header = in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
  const uint32_t maxOrder = (header & 0x0F) + 1;
  const uint32_t memoryMB = ((header >> 4) & 0xFF) + 1;
  // Order 1 cannot run: its model reaches a missing context within a few bytes.
  if (((header >> 12) & 0x0F) != kVariantG || maxOrder < 2) return 0;
  if (!PrepareArena(memoryMB)) return 0;
  InBuf_ = in;
  InSize_ = inSize;
  InPos_ = kHeaderSize;
  int64_t produced = 0;
  try {
    StartCoding(maxOrder);
    Code_ = 0;
    for (int i = 0; i < 4; ++i) Code_ = (Code_ << 8) | NextByte();
    for (;;) {
      const int32_t symbol = DecodeSymbol();
      if (symbol == kEndOfData) break;
      if (produced == capacity) Abort();  // more data than the caller expects
      out[produced++] = static_cast<uint8_t>(symbol);
    }
  } catch (const PPMAbort&) {
    produced = 0;
  }
  FreeArena();
  InBuf_ = nullptr;
  return produced;
}

TPPMdModel& GlobalModel() {
  static TPPMdModel model;
  return model;
}

// Modes 1..9 at indexes 1..9; index 0 (mode 0) has no parameters.
constexpr uint8_t kModeMaxOrder[10] = {0, 2, 3, 4, 5, 7, 8, 10, 13, 16};
constexpr uint8_t kModeMemoryMB[10] = {0, 2, 3, 7, 16, 22, 25, 40, 100, 100};

}  // namespace

uint32_t PPMMaxOrderForMode(uint8_t mode) { return mode <= 9 ? kModeMaxOrder[mode] : 0; }
uint32_t PPMMemoryMBForMode(uint8_t mode) { return mode <= 9 ? kModeMemoryMB[mode] : 0; }

std::recursive_mutex& PPMLock() {
  static std::recursive_mutex lock;
  return lock;
}

int64_t PPMCompress(const uint8_t* inBuffer, int64_t inSize, uint8_t*& outBuffer,
                    int64_t& outCapacity, uint32_t memoryMB, uint32_t maxOrder) {
  return GlobalModel().Compress(inBuffer, inSize, outBuffer, outCapacity, memoryMB, maxOrder);
}

int64_t PPMDecompress(const uint8_t* inBuffer, int64_t inSize, uint8_t* outBuffer,
                      int64_t outCapacity) {
  return GlobalModel().Decompress(inBuffer, inSize, outBuffer, outCapacity);
}

bool PPMCompressBuffer(uint8_t mode, const void* inBuffer, int64_t inSize, void*& outBuffer,
                       int64_t& outSize) {
  outBuffer = nullptr;
  outSize = 0;
  const uint32_t maxOrder = PPMMaxOrderForMode(mode);
  if (maxOrder == 0 || !inBuffer || inSize <= 0) return false;
  // The first guess of the output size; incompressible input grows it.
  int64_t capacity = inSize + inSize / 20 + 50;
  auto* out = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(capacity), 1));
  if (!out) return false;
  int64_t size;
  {
    std::lock_guard<std::recursive_mutex> guard(PPMLock());
    size = PPMCompress(static_cast<const uint8_t*>(inBuffer), inSize, out, capacity,
                       PPMMemoryMBForMode(mode), maxOrder);
  }
  if (size <= 0) {
    std::free(out);
    return false;
  }
  outBuffer = out;
  outSize = size;
  return true;
}

bool PPMDecompressBuffer(const void* inBuffer, int64_t inSize, int64_t& outSize,
                         void*& outBuffer) {
  const int64_t expected = outSize;
  outBuffer = nullptr;
  outSize = 0;
  if (!inBuffer || inSize <= 0 || expected <= 0) return false;
  int64_t size;
  uint8_t* out;
  {
    std::lock_guard<std::recursive_mutex> guard(PPMLock());
    out = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(expected), 1));
    if (!out) return false;
    size = PPMDecompress(static_cast<const uint8_t*>(inBuffer), inSize, out, expected);
  }
  if (size <= 0) {
    std::free(out);
    return false;
  }
  outBuffer = out;
  outSize = size;
  return true;
}

bool PPMArenaAllocated() {
  std::lock_guard<std::recursive_mutex> guard(PPMLock());
  return GlobalModel().ArenaAllocated();
}

int32_t PPMLastRestartCount() {
  std::lock_guard<std::recursive_mutex> guard(PPMLock());
  return GlobalModel().Restarts();
}
