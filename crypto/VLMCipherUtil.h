// The common ground of the cipher and hash library:
//  - TProtection, the reference-counted base of every cipher and hash. One
//    protection may wrap another (its Protection), and a buffer, stream, file
//    or string given to the outer object runs through the whole chain.
//  - The text formats that carry binary cipher output inside strings (copy,
//    hexadecimal, Base64, UU and XX), found by numeric id in a registry.
//  - A few small byte operations shared by the ciphers.
//
// Objects of the chain are shared through std::shared_ptr: a protection lives
// as long as the last object (or caller) that holds it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host/Exception.h"

namespace qv {

class Stream;

// What a protection is asked to do with the data it is given.
enum TPAction : uint8_t { paEncode = 0, paDecode = 1, paScramble = 2, paCalc = 3, paWipe = 4 };

// A set of actions: bit n stands for the action of value n.
using TPActions = uint8_t;
constexpr TPActions PActionBit(TPAction action) { return static_cast<TPActions>(1u << action); }
constexpr TPActions kAllPActions = 0x1F;

// Raised for a protection chain that would run in a circle.
class EProtection : public Exception {
public:
  using Exception::Exception;
};

// Raised by the text formats for an unknown format id or input they refuse.
class EStringFormat : public Exception {
public:
  using Exception::Exception;
};

class TProtection;
using TProtectionPtr = std::shared_ptr<TProtection>;

// Progress of CodeStream: (sender, bytes done, bytes in all); (0, 0) at the end.
using TProgressEvent = std::function<void(TProtection* sender, int64_t current, int64_t maximum)>;
// Process-wide progress callback, empty by default.
extern TProgressEvent ProtectionProgress;

class TProtection {
public:
  explicit TProtection(TProtectionPtr protection = nullptr);
  virtual ~TProtection();
  TProtection(const TProtection&) = delete;
  TProtection& operator=(const TProtection&) = delete;

  // The next object of the chain (may be empty).
  const TProtectionPtr& Protection() const { return Protection_; }
  // Throws EProtection "Circular Protection detected, Protection Object is
  // invalid." when this object is reachable from value; the chain is then unchanged.
  void SetProtection(TProtectionPtr value);

  // The actions this object performs itself; the others it only passes on.
  TPActions Actions = kAllPActions;

  // The base passes these three on to the chain.
  virtual void CodeInit(TPAction action);
  virtual void CodeDone(TPAction action);
  virtual void CodeBuf(void* buffer, int32_t size, TPAction action);

  // Runs dataSize bytes of source (all of it from its start when dataSize is
  // negative) through CodeBuf in chunks of at most 4096 bytes and writes them
  // to dest (dest nullptr: back into source). With paCalc nothing is written.
  virtual void CodeStream(Stream* source, Stream* dest, int64_t dataSize, TPAction action);
  // Codes a whole file into another, or in place when the names are the same
  // (ASCII case ignored) or destName is blank. paCalc only reads the source.
  virtual void CodeFile(const std::string& sourceName, const std::string& destName,
                        TPAction action);
  // paDecode: source is text in the given format, the result raw bytes.
  // Other actions: source is raw bytes, the result text in the given format.
  virtual std::string CodeString(const std::string& source, TPAction action, int32_t format);
  // CodeInit, CodeBuf, CodeDone over one buffer; returns size.
  virtual int32_t CodeBuffer(void* buffer, int32_t size, TPAction action);

private:
  TProtectionPtr Protection_;
};

// ---------------------------------------------------------------------------
// Text formats. Each format is a stateless class; its single instance, got
// from Class(), stands for the class in the registry. "ToStr" turns text in
// the format into bytes, "FromStr" turns bytes into text in the format. A
// negative size means the length of the zero-terminated value.

constexpr int32_t fmtDEFAULT = -1;
constexpr int32_t fmtCOPY = 1;
constexpr int32_t fmtHEX = 16;
constexpr int32_t fmtHEXL = 1016;
constexpr int32_t fmtMIME64 = 4196;
constexpr int32_t fmtUU = 21845;
constexpr int32_t fmtXX = 22616;
// The id that fmtDEFAULT stands for.
constexpr int32_t kDefaultStringFormat = fmtMIME64;

class TStringFormat;
using TStringFormatClass = const TStringFormat*;

// The plain copy: both directions return the bytes unchanged.
class TStringFormat {
public:
  virtual ~TStringFormat() = default;
  static TStringFormatClass Class();

  virtual std::string ToStr(const char* value, int32_t size) const;
  virtual std::string FromStr(const char* value, int32_t size) const;
  virtual std::string Name() const;
  virtual int32_t Format() const { return fmtCOPY; }
  // toStr true: may value be read as text of this format; false: may value be
  // written in this format. The base accepts anything.
  virtual bool IsValid(const char* value, int32_t size, bool toStr) const;
  virtual std::string_view CharTable() const { return {}; }
  virtual std::string_view ClassName() const { return "TStringFormat"; }

protected:
  // Subclass helper: every character of the value is in CharTable.
  bool AllInCharTable(const char* value, int32_t size) const;
};

// Two digits per byte, high nibble first. Decoding is lenient: case is
// ignored, characters other than digits are skipped, the first "$" or "X"
// (a prefix marker such as "$1F" or "0x1F") restarts the output, and an odd
// last digit gives a byte with low nibble 0.
class TStringFormat_HEX : public TStringFormat {
public:
  static TStringFormatClass Class();
  std::string ToStr(const char* value, int32_t size) const override;
  std::string FromStr(const char* value, int32_t size) const override;
  std::string Name() const override { return "Hexadecimal"; }
  int32_t Format() const override { return fmtHEX; }
  bool IsValid(const char* value, int32_t size, bool toStr) const override;
  std::string_view CharTable() const override;
  std::string_view ClassName() const override { return "TStringFormat_HEX"; }
};

// Hexadecimal written with lower-case digits.
class TStringFormat_HEXL : public TStringFormat_HEX {
public:
  static TStringFormatClass Class();
  std::string Name() const override { return "Hexadecimal lowercase"; }
  int32_t Format() const override { return fmtHEXL; }
  std::string_view CharTable() const override;
  std::string_view ClassName() const override { return "TStringFormat_HEXL"; }
};

// Base64 with "=" fill and no line breaks. Decoding drops every character
// that is neither a Base64 character nor "=".
class TStringFormat_MIME64 : public TStringFormat {
public:
  static TStringFormatClass Class();
  std::string ToStr(const char* value, int32_t size) const override;
  std::string FromStr(const char* value, int32_t size) const override;
  std::string Name() const override { return "MIME Base 64"; }
  int32_t Format() const override { return fmtMIME64; }
  bool IsValid(const char* value, int32_t size, bool toStr) const override;
  std::string_view CharTable() const override;
  std::string_view ClassName() const override { return "TStringFormat_MIME64"; }
};

// Lines of up to 45 bytes, each led by the character of its byte count and
// followed by 4 characters per 3 bytes; the lines follow each other without
// separators. Decoding skips characters outside the alphabet.
class TStringFormat_UU : public TStringFormat {
public:
  static TStringFormatClass Class();
  std::string ToStr(const char* value, int32_t size) const override;
  std::string FromStr(const char* value, int32_t size) const override;
  std::string Name() const override { return "UU Coding"; }
  int32_t Format() const override { return fmtUU; }
  bool IsValid(const char* value, int32_t size, bool toStr) const override;
  std::string_view CharTable() const override;
  std::string_view ClassName() const override { return "TStringFormat_UU"; }
};

// UU coding with the XX alphabet.
class TStringFormat_XX : public TStringFormat_UU {
public:
  static TStringFormatClass Class();
  std::string Name() const override { return "XX Coding"; }
  int32_t Format() const override { return fmtXX; }
  std::string_view CharTable() const override;
  std::string_view ClassName() const override { return "TStringFormat_XX"; }
};

// The registered format of the id (fmtDEFAULT: the default id), or nullptr.
TStringFormatClass StringFormat(int32_t id);
// Adds a format; a format whose id is already present replaces that entry.
void RegisterStringFormat(TStringFormatClass format);

// Bytes to text in the format. Empty for an empty value or format 0. Throws
// EStringFormat "String Format "<id>" not exists." for an unknown id and
// "Input can not be convert to <name> Format." when the format refuses it.
std::string StrToFormat(const char* value, int32_t size, int32_t format);
std::string StrToFormat(std::string_view value, int32_t format);
// Text in the format to bytes; as StrToFormat, refusal raises
// "Input is not an valid <name> Format.".
std::string FormatToStr(const char* value, int32_t size, int32_t format);
std::string FormatToStr(std::string_view value, int32_t format);

// ---------------------------------------------------------------------------
// Small byte operations.

// dest := i1 XOR i2 over size bytes (the buffers may be the same).
void XORBuffers(const void* i1, const void* i2, int32_t size, void* dest);
// Overwrites the buffer with pseudo-random bytes: for each byte the seed's low
// byte is mixed with it, seed := seed * 134775813 + 1, the byte := seed's top byte.
void RndXORBuffer(uint32_t seed, void* buffer, int32_t size);
// A seed from the milliseconds of the day (UTC) and the monotonic clock.
uint32_t RndTimeSeed();

}  // namespace qv
