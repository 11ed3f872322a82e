// The cipher base: key derivation, vector and feedback, the eight modes, the
// protection actions, and the process-wide registry and settings. The hashes
// are in VLMCipherHash.cpp, the algorithms in VLMCipherBlock.cpp.
#include "crypto/VLMCipher.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace qv {

bool StrictCipherKeySize = false;

namespace {

THashClass DefaultHashClass_ = nullptr;  // nullptr: RIPEMD-256

constexpr int32_t kMaxBlockSize = 32;  // largest BufSize of any algorithm (24 bytes)

// A fill the compiler may not drop as a dead store: it wipes key material.
void WipeFill(void* p, uint8_t value, size_t n) {
  std::memset(p, value, n);
  asm volatile("" : : "r"(p) : "memory");
}

void XorInto(uint8_t* d, const uint8_t* a, const uint8_t* b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

// Moves every byte of the register one place towards its start and puts
// `last` at its end (the shift of the 8-bit feedback modes).
void ShiftIn(uint8_t* f, int32_t n, uint8_t last) {
  std::memmove(f, f + 1, static_cast<size_t>(n - 1));
  f[n - 1] = last;
}

std::string IntText(int32_t v) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace

THashClass DefaultHashClass() {
  return DefaultHashClass_ != nullptr ? DefaultHashClass_ : THash_RipeMD256::Class();
}

void SetDefaultHashClass(THashClass value) { DefaultHashClass_ = value; }

// ---------------------------------------------------------------------------
// TCipher

TCipher::TCipher(TCipherClass cls, TProtectionPtr protection)
    : TProtection(std::move(protection)),
      HashClass_(DefaultHashClass()),
      KeySize_(cls->KeySize),
      BufSize_(cls->BufSize),
      UserSize_(cls->UserSize) {
  UserWords_.assign(static_cast<size_t>(UserSize_ + 3) / 4, 0);
  const size_t stride = static_cast<size_t>(BufSize_ + 3) / 4;
  Blocks_.assign(3 * stride, 0);
  Buffer_ = reinterpret_cast<uint8_t*>(Blocks_.data());
  Vector_ = reinterpret_cast<uint8_t*>(Blocks_.data() + stride);
  Feedback_ = reinterpret_cast<uint8_t*>(Blocks_.data() + 2 * stride);
  Protect();
}

TCipher::~TCipher() { Protect(); }

void TCipher::SetHashClass(THashClass value) {
  if (value == nullptr) value = DefaultHashClass();
  if (value == HashClass_) return;
  Hash_.reset();
  HashClass_ = value;
}

THash& TCipher::Hash() {
  if (!Hash_) Hash_ = HashClass_->Create();
  return *Hash_;
}

void TCipher::SetFlag(int32_t index, bool value) {
  if (index < 0 || index > 31) return;
  if (value)
    Flags_ |= 1u << index;
  else
    Flags_ &= ~(1u << index);
}

void TCipher::Protect() {
  Flags_ &= ~(kCipherKeyedFlag | kCipherInitializedFlag);
  const size_t n = static_cast<size_t>(BufSize_);
  const size_t u = static_cast<size_t>(UserSize_);
  for (uint8_t fill : {uint8_t{0xAA}, uint8_t{0x55}}) {
    WipeFill(Vector_, fill, n);
    WipeFill(Feedback_, fill, n);
    WipeFill(Buffer_, fill, n);
    WipeFill(User(), fill, u);
  }
  WipeFill(Vector_, 0xFF, n);
  WipeFill(Feedback_, 0xFF, n);
  WipeFill(Buffer_, 0x00, n);
  WipeFill(User(), 0x00, u);
}

void TCipher::RaiseKeySize(int32_t minSize) const {
  throw ECipherException(std::string("Length from Encryptionkey is invalid.\r\nKeysize for ") + ClassName() +
                             " must be to " + IntText(minSize) + "-" + IntText(KeySize_) + " bytes",
                         errCipherKeySize);
}

void TCipher::InitBegin(int32_t& size) {
  Flags_ &= ~kCipherInitializedFlag;
  Protect();
  if (size < 0) size = 0;
  if (size > KeySize_) {
    if (StrictCipherKeySize) RaiseKeySize(0);
    size = KeySize_;
  }
}

void TCipher::InitEnd(const void* iVector) {
  if (iVector != nullptr) {
    // The vector may be our own Vector (the page encryption passes it so).
    std::memmove(Vector_, iVector, static_cast<size_t>(BufSize_));
  } else {
    Encode(Vector_);
  }
  std::memcpy(Feedback_, Vector_, static_cast<size_t>(BufSize_));
  Flags_ |= kCipherInitializedFlag;
}

void TCipher::InitKey(std::string_view key, const void* iVector) {
  THash& hash = Hash();
  hash.Init();
  while (!key.empty()) {
    const size_t part = std::min<size_t>(key.size(), std::numeric_limits<int32_t>::max());
    hash.Calc(key.data(), static_cast<int32_t>(part));
    key.remove_prefix(part);
  }
  hash.Done();
  const int32_t size = std::min(hash.DigestKeySize(), KeySize_);
  Init(hash.DigestKey(), size, iVector);
  // Leaves no plain key material in the hash object.
  EncryptBuffer(hash.DigestKey(), hash.DigestKey(), hash.DigestKeySize());
  Done();
  Flags_ |= kCipherKeyedFlag;
}

void TCipher::Done() {
  const size_t n = static_cast<size_t>(BufSize_);
  if (std::memcmp(Feedback_, Vector_, n) != 0) {
    std::memcpy(Buffer_, Feedback_, n);
    std::memcpy(Feedback_, Vector_, n);
  }
}

void TCipher::CheckInitialized() const {
  if ((Flags_ & kCipherInitializedFlag) == 0)
    throw ECipherException(std::string(ClassName()) + " is not initialized call Init() or InitKey() before.",
                           errCipherNotInitialized);
}

void TCipher::EncodeCopy(const uint8_t* in, uint8_t* out) {
  std::memcpy(out, in, static_cast<size_t>(BufSize_));
  Encode(out);
}

void TCipher::EncryptBuffer(const void* source, void* dest, int32_t size) {
  CheckInitialized();
  if (size <= 0) return;
  const auto* s = static_cast<const uint8_t*>(source);
  auto* d = static_cast<uint8_t*>(dest);
  const int32_t n = BufSize_;
  uint8_t* f = Feedback_;
  uint8_t* b = Buffer_;
  alignas(8) uint8_t t[kMaxBlockSize];
  const int32_t whole = size - size % n;
  const int32_t tail = size - whole;
  // The tail rule of modes 0, 1 and 4: D := S xor E(F), F := E(F) xor F.
  auto codeTail = [&](const uint8_t* in, uint8_t* out) {
    EncodeCopy(f, b);
    XorInto(out, in, b, tail);
    XorInto(f, b, f, n);
  };
  switch (Mode) {
    case TCipherMode::cmFeedback:
      for (int32_t i = 0; i < whole; i += n) {
        XorInto(t, s + i, f, n);
        Encode(t);
        std::memcpy(d + i, t, static_cast<size_t>(n));
        XorInto(f, t, f, n);
      }
      if (tail > 0) codeTail(s + whole, d + whole);
      break;
    case TCipherMode::cmCBC:
      for (int32_t i = 0; i < whole; i += n) {
        XorInto(t, s + i, f, n);
        Encode(t);
        std::memcpy(d + i, t, static_cast<size_t>(n));
        std::memcpy(f, t, static_cast<size_t>(n));
      }
      if (tail > 0) codeTail(s + whole, d + whole);
      break;
    case TCipherMode::cmCFB8:
      for (int32_t i = 0; i < size; ++i) {
        EncodeCopy(f, b);
        const uint8_t out = static_cast<uint8_t>(s[i] ^ b[0]);
        ShiftIn(f, n, out);
        d[i] = out;
      }
      break;
    case TCipherMode::cmOFB8:
      for (int32_t i = 0; i < size; ++i) {
        EncodeCopy(f, b);
        d[i] = static_cast<uint8_t>(s[i] ^ b[0]);
        ShiftIn(f, n, b[0]);
      }
      break;
    case TCipherMode::cmECB:
      if (s != d) std::memmove(d, s, static_cast<size_t>(size));
      for (int32_t i = 0; i < whole; i += n) Encode(d + i);
      // A tail is coded by the invertible rule of modes 0 and 1, so that
      // DecryptBuffer can undo it.
      if (tail > 0) codeTail(d + whole, d + whole);
      break;
    case TCipherMode::cmFeedbackMAC:
    case TCipherMode::cmCBCMAC:
      for (int32_t i = 0; i < whole; i += n) {
        XorInto(b, s + i, f, n);
        Encode(b);
        if (Mode == TCipherMode::cmFeedbackMAC)
          XorInto(f, b, f, n);
        else
          std::memcpy(f, b, static_cast<size_t>(n));
      }
      if (tail > 0) {
        EncodeCopy(f, b);
        XorInto(f, b, f, n);
      }
      break;
    case TCipherMode::cmCFB8MAC:
      for (int32_t i = 0; i < size; ++i) {
        EncodeCopy(f, b);
        ShiftIn(f, n, static_cast<uint8_t>(s[i] ^ b[0]));
      }
      break;
    default:
      throw ECipherException("Cipher mode " + IntText(static_cast<int32_t>(Mode)) + " is invalid.", 0);
  }
}

void TCipher::DecryptBuffer(const void* source, void* dest, int32_t size) {
  CheckInitialized();
  if (size <= 0) return;
  const auto* s = static_cast<const uint8_t*>(source);
  auto* d = static_cast<uint8_t*>(dest);
  const int32_t n = BufSize_;
  uint8_t* f = Feedback_;
  uint8_t* b = Buffer_;
  alignas(8) uint8_t t[kMaxBlockSize];
  const int32_t whole = size - size % n;
  const int32_t tail = size - whole;
  auto codeTail = [&](uint8_t* inOut) {
    EncodeCopy(f, b);
    XorInto(inOut, inOut, b, tail);
    XorInto(f, b, f, n);
  };
  switch (Mode) {
    case TCipherMode::cmFeedback:
      if (s != d) std::memmove(d, s, static_cast<size_t>(size));
      for (int32_t i = 0; i < whole; i += n) {
        XorInto(t, d + i, f, n);  // the next feedback: C xor F
        Decode(d + i);
        XorInto(d + i, d + i, f, n);
        std::memcpy(f, t, static_cast<size_t>(n));
      }
      if (tail > 0) codeTail(d + whole);
      break;
    case TCipherMode::cmCBC:
      if (s != d) std::memmove(d, s, static_cast<size_t>(size));
      for (int32_t i = 0; i < whole; i += n) {
        std::memcpy(t, d + i, static_cast<size_t>(n));  // this ciphertext block
        Decode(d + i);
        XorInto(d + i, d + i, f, n);
        std::memcpy(f, t, static_cast<size_t>(n));
      }
      if (tail > 0) codeTail(d + whole);
      break;
    case TCipherMode::cmCFB8:
      for (int32_t i = 0; i < size; ++i) {
        EncodeCopy(f, b);
        const uint8_t in = s[i];
        ShiftIn(f, n, in);
        d[i] = static_cast<uint8_t>(in ^ b[0]);
      }
      break;
    case TCipherMode::cmOFB8:
      for (int32_t i = 0; i < size; ++i) {
        EncodeCopy(f, b);
        d[i] = static_cast<uint8_t>(s[i] ^ b[0]);
        ShiftIn(f, n, b[0]);
      }
      break;
    case TCipherMode::cmECB:
      if (s != d) std::memmove(d, s, static_cast<size_t>(size));
      for (int32_t i = 0; i < whole; i += n) Decode(d + i);
      if (tail > 0) codeTail(d + whole);
      break;
    case TCipherMode::cmFeedbackMAC:
    case TCipherMode::cmCBCMAC:
    case TCipherMode::cmCFB8MAC:
      // A MAC is computed the same way in both directions.
      EncryptBuffer(source, dest, size);
      break;
    default:
      throw ECipherException("Cipher mode " + IntText(static_cast<int32_t>(Mode)) + " is invalid.", 0);
  }
}

void TCipher::CodeInit(TPAction action) {
  CheckInitialized();
  if (action != paCalc) {
    if (action == paWipe)
      RndXORBuffer(RndTimeSeed(), Feedback_, BufSize_);
    else
      Done();
  }
  TProtection::CodeInit(action);
}

void TCipher::CodeDone(TPAction action) {
  TProtection::CodeDone(action);
  if (action != paCalc) {
    if (action == paWipe)
      RndXORBuffer(RndTimeSeed(), Feedback_, BufSize_);
    else
      Done();
  }
}

void TCipher::CodeBuf(void* buffer, int32_t size, TPAction action) {
  const bool mine = (Actions & PActionBit(action)) != 0;
  if (action == paDecode) {
    if (mine) DecryptBuffer(buffer, buffer, size);
    TProtection::CodeBuf(buffer, size, action);
  } else {
    TProtection::CodeBuf(buffer, size, action);
    if (mine) EncryptBuffer(buffer, buffer, size);
  }
}

// ---------------------------------------------------------------------------
// Registry

namespace {

std::string EntryText(TCipherClass cls, const std::string& name, const std::string& description) {
  std::string n = name;
  const auto blank = [](char c) { return static_cast<uint8_t>(c) <= ' '; };
  while (!n.empty() && blank(n.front())) n.erase(n.begin());
  while (!n.empty() && blank(n.back())) n.pop_back();
  if (n.empty()) {
    std::string_view cn = cls->ClassName;
    if (!cn.empty() && (cn.front() == 'T' || cn.front() == 't')) cn.remove_prefix(1);
    const size_t us = cn.find('_');
    if (us != std::string_view::npos) cn.remove_prefix(us + 1);
    n = std::string(cn);
  }
  return n + "=" + description;
}

std::vector<TCipherEntry>& Registry() {
  static std::vector<TCipherEntry> list = [] {
    std::vector<TCipherEntry> l;
    l.push_back({EntryText(TCipher_Rijndael::Class(), {}, {}), TCipher_Rijndael::Class()});
    return l;
  }();
  return list;
}

}  // namespace

void RegisterCipher(TCipherClass cls, const std::string& name, const std::string& description) {
  if (cls == nullptr) return;
  auto& list = Registry();
  std::string text = EntryText(cls, name, description);
  for (auto& e : list)
    if (e.Class == cls) {
      e.Text = std::move(text);
      return;
    }
  list.push_back({std::move(text), cls});
}

const std::vector<TCipherEntry>& CipherList() { return Registry(); }

}  // namespace qv
