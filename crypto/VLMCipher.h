// Block ciphers and hashes on the protection chain of VLMCipherUtil.
//
// TCipher turns a password into a key through a hash (InitKey), keeps the
// initialisation vector (Vector) and the running feedback register
// (Feedback), and encrypts or decrypts buffers of any length in one of eight
// modes. Each algorithm is a subclass that supplies its sizes, a
// known-answer block, its key schedule (Init) and the one-block Encode and
// Decode. The hashes (MD4, RIPEMD-128, RIPEMD-256) serve InitKey.
//
// What stored data depends on, and therefore must never change:
//  1. Mode 0 chains whole blocks as D := E(S xor F), F := D xor F, and codes a
//     tail of r bytes as D := S xor E(F), F := E(F) xor F.
//  2. Protect leaves Vector and Feedback all 0xFF. InitKey given the cipher's
//     own Vector as initial vector therefore starts the feedback from 0xFF
//     bytes; without a vector it starts from E(0xFF...).
//  3. InitKey keys the algorithm with the first min(digest size, KeySize)
//     bytes of the hash of the password.
//  4. The key rules of each algorithm, noted at its class.
//
// Cipher and hash objects are not shared between threads. The registry, the
// default hash class and the key-size switch are process-wide and meant to
// be set at start-up only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/VLMCipherUtil.h"

namespace qv {

// ErrorCode values of ECipherException.
constexpr int32_t errCipherKeySize = 2;         // a key of a length the algorithm refuses
constexpr int32_t errCipherNotInitialized = 3;  // coding before Init or InitKey

class ECipherException : public Exception {
public:
  ECipherException(std::string message, int32_t errorCode)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  int32_t ErrorCode;
};

// ---------------------------------------------------------------------------
// Hashes

class THash;
using THashPtr = std::shared_ptr<THash>;

// What stands for a hash class: its name, a factory and its digest size.
struct THashClassRec {
  const char* ClassName;
  THashPtr (*Create)();
  int32_t DigestKeySize;
};
using THashClass = const THashClassRec*;

class THash : public TProtection {
public:
  explicit THash(TProtectionPtr protection = nullptr) : TProtection(std::move(protection)) {}
  ~THash() override = default;

  virtual THashClass ClassType() const = 0;
  // The digest of the message "abc" (DigestKeySize bytes).
  virtual const uint8_t* TestVector() const = 0;
  virtual void Init() = 0;
  // Nothing for size <= 0.
  virtual void Calc(const void* data, int32_t size) = 0;
  virtual void Done() = 0;
  // The digest bytes, valid after Done; callers may overwrite them.
  virtual uint8_t* DigestKey() = 0;
  virtual int32_t DigestKeySize() const = 0;

  // paCalc hashes the buffer; paScramble and paWipe replace it piece by piece
  // by the hash of the piece; paEncode and paDecode XOR it with a key stream
  // of repeated hashes of the digest.
  void CodeInit(TPAction action) override;
  void CodeDone(TPAction action) override;
  void CodeBuf(void* buffer, int32_t size, TPAction action) override;
};

// MD4 and the base of the two RIPEMD hashes: the buffering, the padding and
// the message length are shared, Transform is the compression function.
class THash_MD4 : public THash {
public:
  explicit THash_MD4(TProtectionPtr protection = nullptr);
  ~THash_MD4() override;
  static THashClass Class();
  THashClass ClassType() const override { return Class(); }
  const uint8_t* TestVector() const override;
  void Init() override;
  void Calc(const void* data, int32_t size) override;
  // Pads with 0x80, zeros and the message length in bits (64-bit, little-endian).
  void Done() override;
  uint8_t* DigestKey() override;
  int32_t DigestKeySize() const override { return 16; }

protected:
  virtual void Transform(const uint8_t* block);

  uint64_t Count = 0;        // bytes hashed since Init
  uint8_t HashBuffer[64]{};  // the block being filled
  uint32_t Digest[10]{};     // chaining state; the digest is its first bytes
};

class THash_RipeMD128 : public THash_MD4 {
public:
  using THash_MD4::THash_MD4;
  static THashClass Class();
  THashClass ClassType() const override { return Class(); }
  const uint8_t* TestVector() const override;

protected:
  void Transform(const uint8_t* block) override;
};

class THash_RipeMD256 : public THash_MD4 {
public:
  using THash_MD4::THash_MD4;
  static THashClass Class();
  THashClass ClassType() const override { return Class(); }
  const uint8_t* TestVector() const override;
  int32_t DigestKeySize() const override { return 32; }

protected:
  void Transform(const uint8_t* block) override;
};

// The hash class a new cipher uses (RIPEMD-256 unless changed).
THashClass DefaultHashClass();
void SetDefaultHashClass(THashClass value);

// ---------------------------------------------------------------------------
// Ciphers

enum class TCipherMode : uint8_t {
  cmFeedback = 0,     // XOR feedback chaining; the destination gets ciphertext
  cmCBC = 1,          // cipher block chaining
  cmCFB8 = 2,         // 8-bit cipher feedback
  cmOFB8 = 3,         // 8-bit output feedback
  cmECB = 4,          // electronic code book
  cmFeedbackMAC = 5,  // MAC over mode 0: the destination is not written
  cmCBCMAC = 6,       // MAC over CBC
  cmCFB8MAC = 7,      // MAC over 8-bit CFB
};

class TCipher;
using TCipherPtr = std::shared_ptr<TCipher>;

// A known-answer block: Encode of Plain under the schedule of Key gives Cipher.
struct TCipherTestVector {
  const uint8_t* Key;
  int32_t KeySize;
  const uint8_t* Plain;
  const uint8_t* Cipher;
};

// What stands for a cipher class: its name, a factory (password, protection)
// and its context (block, longest key and key schedule sizes in bytes).
struct TCipherClassRec {
  const char* ClassName;
  TCipherPtr (*Create)(const std::string& password, TProtectionPtr protection);
  int32_t BufSize;
  int32_t KeySize;
  int32_t UserSize;
  const TCipherTestVector* TestVector;
};
using TCipherClass = const TCipherClassRec*;

// Flags bits.
constexpr uint32_t kCipherKeyedFlag = 1u << 0;        // keyed through InitKey
constexpr uint32_t kCipherInitializedFlag = 1u << 1;  // Init or InitKey has run

// When set, a key longer than KeySize raises ECipherException code 2 instead
// of being cut. Off by default.
extern bool StrictCipherKeySize;

class TCipher : public TProtection {
public:
  ~TCipher() override;

  virtual TCipherClass ClassType() const = 0;
  const char* ClassName() const { return ClassType()->ClassName; }

  TCipherMode Mode = TCipherMode::cmFeedback;

  THashClass HashClass() const { return HashClass_; }
  // Releases the hash object when the class changes; nullptr means the default.
  void SetHashClass(THashClass value);
  // The hash object of InitKey, made on first use.
  THash& Hash();

  int32_t KeySize() const { return KeySize_; }
  int32_t BufSize() const { return BufSize_; }
  int32_t UserSize() const { return UserSize_; }
  uint8_t* Vector() { return Vector_; }
  uint8_t* Feedback() { return Feedback_; }
  uint8_t* Buffer() { return Buffer_; }
  uint32_t Flags() const { return Flags_; }
  virtual void SetFlag(int32_t index, bool value);
  bool Initialized() const { return (Flags_ & kCipherInitializedFlag) != 0; }

  // Keys the cipher with the hash of key (see the rules at the top). iVector
  // nullptr: the vector becomes E(0xFF...); else BufSize bytes are copied from
  // it (it may be this cipher's own Vector).
  void InitKey(std::string_view key, const void* iVector);
  // The algorithm's key schedule over size bytes of key.
  virtual void Init(const void* key, int32_t size, const void* iVector) = 0;
  // One block in place.
  virtual void Encode(void* block) = 0;
  virtual void Decode(void* block) = 0;
  // Ends a message: the feedback returns to the vector.
  virtual void Done();
  // Wipes all key-dependent state and clears the flags.
  virtual void Protect();

  // Source and dest may be the same buffer. Both raise ECipherException code
  // 3 on a cipher that is not initialised.
  void EncryptBuffer(const void* source, void* dest, int32_t size);
  void DecryptBuffer(const void* source, void* dest, int32_t size);

  void CodeInit(TPAction action) override;
  void CodeDone(TPAction action) override;
  void CodeBuf(void* buffer, int32_t size, TPAction action) override;

protected:
  TCipher(TCipherClass cls, TProtectionPtr protection);
  // First step of every Init: clears the initialised flag, runs Protect and
  // brings size into 0..KeySize (or refuses it, see StrictCipherKeySize).
  void InitBegin(int32_t& size);
  // Last step of every Init: sets the vector and the feedback.
  virtual void InitEnd(const void* iVector);
  // The key schedule area, 4-byte aligned.
  uint8_t* User() { return reinterpret_cast<uint8_t*>(UserWords_.data()); }
  uint32_t* UserWords() { return UserWords_.data(); }
  [[noreturn]] void RaiseKeySize(int32_t minSize) const;

private:
  void CheckInitialized() const;
  void EncodeCopy(const uint8_t* in, uint8_t* out);  // out := E(in), BufSize bytes

  THashPtr Hash_;
  THashClass HashClass_;
  int32_t KeySize_;
  int32_t BufSize_;
  int32_t UserSize_;
  uint32_t Flags_ = 0;
  std::vector<uint32_t> UserWords_;
  // Buffer, Vector and Feedback, BufSize bytes each, in one 4-byte aligned block.
  std::vector<uint32_t> Blocks_;
  uint8_t* Buffer_;
  uint8_t* Vector_;
  uint8_t* Feedback_;
};

// Rijndael with a 128-bit block. Rounds 10 for keys of up to 16 bytes, 12 up
// to 24, else 14; the key is zero-padded to 32 bytes and the expansion reads
// rounds - 6 words of it.
class TCipher_Rijndael final : public TCipher {
public:
  explicit TCipher_Rijndael(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Init(const void* key, int32_t size, const void* iVector) override;
  void Encode(void* block) override;
  void Decode(void* block) override;
  int32_t Rounds = 0;
};

// Blowfish, 16 rounds, block words big-endian. An empty key is refused (code 2).
class TCipher_Blowfish final : public TCipher {
public:
  explicit TCipher_Blowfish(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Init(const void* key, int32_t size, const void* iVector) override;
  void Encode(void* block) override;
  void Decode(void* block) override;
};

// DES. The key is zero-padded to 8 bytes; the encryption schedule fills the
// first 128 bytes of the key schedule area, the decryption schedule the next.
class TCipher_1DES : public TCipher {
public:
  explicit TCipher_1DES(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Init(const void* key, int32_t size, const void* iVector) override;
  void Encode(void* block) override;
  void Decode(void* block) override;

protected:
  TCipher_1DES(TCipherClass cls, TProtectionPtr protection) : TCipher(cls, std::move(protection)) {}
  // One 8-byte block through IP, 16 rounds per schedule given, FP.
  static void DESFunc(const uint32_t* const* schedules, int32_t count, uint8_t* block);
  // The 128-byte schedule of an 8-byte key, for encryption or decryption.
  static void MakeSchedule(const uint8_t* key8, bool decrypt, uint32_t* out);
};

// Triple DES, encrypt-decrypt-encrypt. The key is zero-padded to 24 bytes and
// cut into K1, K2, K3, so a 16-byte key gives K3 = 0, not K1.
class TCipher_3DES : public TCipher_1DES {
public:
  explicit TCipher_3DES(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Init(const void* key, int32_t size, const void* iVector) override;
  void Encode(void* block) override;
  void Decode(void* block) override;

protected:
  TCipher_3DES(TCipherClass cls, TProtectionPtr protection) : TCipher_1DES(cls, std::move(protection)) {}
  // Schedule n (0-5): encrypt K1, decrypt K2, encrypt K3, decrypt K3, encrypt K2, decrypt K1.
  const uint32_t* Schedule(int32_t n) { return UserWords() + 32 * n; }
};

// Triple DES over a 24-byte block of words w0..w5: each stage runs DES on the
// three 8-byte blocks (w0 w1), (w2 w3), (w4 w5), and w1 and w2 are exchanged
// between the stages.
class TCipher_3TDES final : public TCipher_3DES {
public:
  explicit TCipher_3TDES(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Encode(void* block) override;
  void Decode(void* block) override;
};

// Twofish. A key of exactly 16 bytes uses the 128-bit schedule, exactly 24
// bytes the 192-bit one, any other length the 256-bit one (zero-padded).
class TCipher_Twofish final : public TCipher {
public:
  explicit TCipher_Twofish(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Init(const void* key, int32_t size, const void* iVector) override;
  void Encode(void* block) override;
  void Decode(void* block) override;
};

// Square, 8 rounds; a key shorter than 16 bytes is zero-padded.
class TCipher_Square final : public TCipher {
public:
  explicit TCipher_Square(const std::string& password = {}, TProtectionPtr protection = nullptr);
  static TCipherClass Class();
  TCipherClass ClassType() const override { return Class(); }
  void Init(const void* key, int32_t size, const void* iVector) override;
  void Encode(void* block) override;
  void Decode(void* block) override;
};

// ---------------------------------------------------------------------------
// Cipher registry: entries "Name=Description", each with its class. Made on
// first use with TCipher_Rijndael registered under its own name.

struct TCipherEntry {
  std::string Text;  // name "=" description
  TCipherClass Class;
};

// Nothing for nullptr. A blank name becomes the class name without its "T"
// and everything up to its first "_" ("TCipher_Rijndael" gives "Rijndael").
// An existing entry of the class is replaced.
void RegisterCipher(TCipherClass cls, const std::string& name, const std::string& description);
const std::vector<TCipherEntry>& CipherList();

}  // namespace qv
