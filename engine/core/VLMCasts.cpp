#include "engine/core/VLMCasts.h"

#include "engine/core/VLMByteOrder.h"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "engine/core/VLMConverts.h"
#include "engine/core/VLMD4Routines.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLike.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/CodePage.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

// Values live in memory blocks in the machine's byte order, and stream forms
// write those blocks as they are: both are little-endian only on a
// little-endian machine. EXTENDED is the x87 80-bit format, copied as the
// first 10 bytes of a long double.
static_assert(std::endian::native == std::endian::little, "value blocks are little-endian");
static_assert(std::numeric_limits<long double>::digits == 64 &&
                  std::numeric_limits<long double>::max_exponent == 16384 && sizeof(long double) >= 10,
              "EXTENDED needs the x87 80-bit long double");

namespace {

constexpr std::string_view kCastMessage = "Cannot cast from '%s' to '%s'";
constexpr int32_t kExtendedSize = 10;

// ------------------------------------------------------------------ blocks

// An engine memory block under construction; freed unless released.
struct Block {
  void* P = nullptr;
  int32_t Size = 0;

  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  Block(Block&& o) noexcept : P(o.P), Size(o.Size) { o.P = nullptr; }
  Block& operator=(Block&& o) noexcept {
    if (this != &o) {
      Free();
      P = o.P;
      Size = o.Size;
      o.P = nullptr;
    }
    return *this;
  }
  ~Block() { Free(); }

  void Free() noexcept {
    if (!P) return;
    try {
      VLMMemoryManager().FreeMem(P);
    } catch (...) {
    }
    P = nullptr;
  }
  void* Release(int32_t& size) {
    size = Size;
    void* r = P;
    P = nullptr;
    return r;
  }
  explicit operator bool() const { return P != nullptr; }
};

Block MakeBlock(const void* bytes, size_t n, size_t zeros = 0) {
  Block b;
  const size_t total = n + zeros;
  b.P = VLMMemoryManager().GetMem(static_cast<int64_t>(total));
  b.Size = static_cast<int32_t>(total);
  if (n) std::memcpy(b.P, bytes, n);
  if (zeros) std::memset(static_cast<uint8_t*>(b.P) + n, 0, zeros);
  return b;
}

// Text with its terminating zero.
Block TextBlock(std::string_view s) { return MakeBlock(s.data(), s.size(), 1); }
Block WideBlock(std::u16string_view s) { return MakeBlock(s.data(), s.size() * 2, 2); }

template <class T>
Block ValueBlock(T v) {
  return MakeBlock(&v, sizeof v);
}
Block ExtendedBlock(long double v) { return MakeBlock(&v, kExtendedSize); }
Block StampBlock(int32_t date, int32_t time) {
  const int32_t pair[2] = {date, time};
  return MakeBlock(pair, sizeof pair);
}
Block LogicalBlock(bool v) { return ValueBlock<int16_t>(v ? -1 : 0); }

// ------------------------------------------------------------- source bytes

template <class T>
T Load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
long double LoadExtended(const void* p) {
  long double v = 0;
  std::memcpy(&v, p, kExtendedSize);
  return v;
}

// ANSI text up to its first zero, never past a known size.
std::string_view AnsiText(const void* p, int32_t size) {
  if (!p) return {};
  const char* c = static_cast<const char*>(p);
  return std::string_view(c, size >= 0 ? strnlen(c, static_cast<size_t>(size)) : std::strlen(c));
}

// UTF-16 text up to its first zero unit, never past a known size; read
// byte-wise because wide values in records and keys may sit at odd offsets.
std::u16string WideText(const void* p, int32_t size) {
  return VLMReadWideText(p, size >= 0 ? size / 2 : -1);
}

// ------------------------------------------------------------- conversions

// Trunc to signed 64-bit; the host raises an invalid-operation error when the
// value has no such integer (NaN, infinities, beyond the range).
int64_t TruncInt64(long double x) {
  if (!(x > -9223372036854775809.0L && x < 9223372036854775808.0L)) throw EInvalidOp();
  return static_cast<int64_t>(x);
}

int32_t Low32(int64_t v) { return static_cast<int32_t>(v); }

// An integer (already sign- or zero-extended to 64 bits) in a numeric or
// logical target: narrower targets keep the low-order bytes.
Block FromInteger(int64_t v, TVLMBaseDataType dest) {
  switch (dest) {
    case bdtShortInt: return ValueBlock(static_cast<int8_t>(v));
    case bdtSmallInt: return ValueBlock(static_cast<int16_t>(v));
    case bdtInteger: return ValueBlock(static_cast<int32_t>(v));
    case bdtLargeInt: return ValueBlock(v);
    case bdtByte: return ValueBlock(static_cast<uint8_t>(v));
    case bdtWord: return ValueBlock(static_cast<uint16_t>(v));
    case bdtCardinal: return ValueBlock(static_cast<uint32_t>(v));
    case bdtSingle: return ValueBlock(static_cast<float>(v));
    case bdtFloat:
    case bdtCurrency: return ValueBlock(static_cast<double>(v));
    case bdtExtended: return ExtendedBlock(static_cast<long double>(v));
    case bdtLogical: return LogicalBlock(v != 0);
    default: return {};
  }
}

// A float in a float target (12, 13, 14, 22); a finite value beyond the
// target's range is the host's overflow error.
Block FromFloat(long double x, TVLMBaseDataType dest) {
  switch (dest) {
    case bdtSingle:
      if (std::isfinite(x) && std::fabs(x) > FLT_MAX) throw EOverflow();
      return ValueBlock(static_cast<float>(x));
    case bdtFloat:
    case bdtCurrency:
      if (std::isfinite(x) && std::fabs(x) > DBL_MAX) throw EOverflow();
      return ValueBlock(static_cast<double>(x));
    case bdtExtended: return ExtendedBlock(x);
    default: return {};
  }
}

bool IsFloatTarget(TVLMBaseDataType t) {
  return t == bdtSingle || t == bdtFloat || t == bdtExtended || t == bdtCurrency;
}
bool IsIntegerTarget(TVLMBaseDataType t) { return t >= bdtShortInt && t <= bdtCardinal; }

// Text (or a number's or date's text) in a text target 1-4.
Block TextTarget(std::string_view s, TVLMBaseDataType dest) {
  if (dest == bdtChar || dest == bdtString) return TextBlock(s);
  return WideBlock(qv::Cp1252ToUtf16(s));
}

// Text to a float: the host's conversion ('.' as the decimal separator). An
// EXTENDED target reads the digits again in extended precision, so that 0.1
// is the nearest extended value and not the nearest double.
Block TextToFloat(std::string_view text, TVLMBaseDataType dest) {
  const double d = qv::StrToFloat(text);
  if (dest != bdtExtended) return FromFloat(d, dest);
  std::string t = qv::Trim(text);
  std::string_view v = t;
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  long double x = 0;
  const auto r = std::from_chars(v.data(), v.data() + v.size(), x, std::chars_format::general);
  if (r.ec == std::errc() && r.ptr == v.data() + v.size()) return ExtendedBlock(x);
  return ExtendedBlock(d);
}

// Text in a non-text target (5-17, 21, 22).
//   fixedForms  the fixed yyyy-mm-dd / hh:nn:ss forms are tried before the
//               host's date and time conversions (ANSI sources only)
//   largeVia32  LARGEINT is read by the 32-bit conversion, sign-extended
//               (memo sources)
Block TextToValue(std::string_view text, TVLMBaseDataType dest, bool fixedForms, bool largeVia32) {
  switch (dest) {
    case bdtShortInt:
    case bdtSmallInt:
    case bdtInteger:
    case bdtByte:
    case bdtWord:
    case bdtCardinal: return FromInteger(qv::StrToInt(text), dest);
    case bdtLargeInt: return ValueBlock<int64_t>(largeVia32 ? qv::StrToInt(text) : qv::StrToInt64(text));
    case bdtSingle:
    case bdtFloat:
    case bdtExtended: return TextToFloat(text, dest);
    case bdtDate: {
      double v = 0;
      if (!(fixedForms && (VLMTryParseDateTimeText(text, v) || VLMTryParseDateText(text, v))))
        v = qv::StrToDate(text);
      return ValueBlock(VLMTDateTimeToDate(v));
    }
    case bdtTime: {
      double v = 0;
      if (!(fixedForms && VLMTryParseTimeText(text, v))) v = qv::StrToTime(text);
      return ValueBlock(VLMTDateTimeToTime(v));
    }
    case bdtDateTime: {
      double v = 0;
      if (!(fixedForms && (VLMTryParseDateTimeText(text, v) || VLMTryParseDateText(text, v))))
        v = qv::StrToDateTime(text);
      const TVLMTimeStamp s = VLMTDateTimeToTimeStamp(v);
      return StampBlock(s.Date, s.Time);
    }
    case bdtLogical: {
      const std::string u = qv::UpperCase1252(text);
      return LogicalBlock(u == "1" || u == "TRUE");
    }
    case bdtCurrency: return ValueBlock(qv::CurrToFloat(qv::StrToCurr(text)));
    default: return {};
  }
}

// ----------------------------------------------------------- by source type

Block FromAnsi(std::string_view text, TVLMBaseDataType dest) {
  if (dest >= bdtChar && dest <= bdtWideString) return TextTarget(text, dest);
  if (dest == bdtBLOB) return TextBlock(text);
  return TextToValue(text, dest, true, false);
}

Block FromWide(std::u16string_view text, TVLMBaseDataType dest) {
  if (dest == bdtWideChar || dest == bdtWideString) return WideBlock(text);
  if (dest == bdtBLOB) return WideBlock(text);
  const std::string narrow = qv::Utf16ToCp1252(text);
  if (dest == bdtChar || dest == bdtString) return TextBlock(narrow);
  return TextToValue(narrow, dest, false, false);
}

Block FromMemo(const void* source, int32_t size, TVLMBaseDataType dest) {
  if ((dest == bdtChar || dest == bdtString) && size > 0) {
    // The whole block, zeros included, and a terminator of its own.
    return MakeBlock(source, static_cast<size_t>(size), 1);
  }
  const std::string_view text = AnsiText(source, size);
  if (dest >= bdtChar && dest <= bdtWideString) return TextTarget(text, dest);
  if (dest == bdtBLOB) return TextBlock(text);
  return TextToValue(text, dest, false, true);
}

Block FromWideMemo(const void* source, int32_t size, TVLMBaseDataType dest) {
  const std::u16string text = WideText(source, size);
  if (dest == bdtWideChar || dest == bdtWideString || dest == bdtBLOB) return WideBlock(text);
  const std::string narrow = qv::Utf16ToCp1252(text);
  if (dest == bdtChar || dest == bdtString) return TextBlock(narrow);
  return TextToValue(narrow, dest, false, true);
}

Block FromIntegerSource(int64_t v, TVLMBaseDataType dest) {
  if (dest >= bdtChar && dest <= bdtWideString) return TextTarget(qv::IntToStr(v), dest);
  switch (dest) {
    case bdtDate:
    case bdtTime: return ValueBlock(Low32(v));
    case bdtDateTime: return StampBlock(Low32(v), 0);
    default: return FromInteger(v, dest);
  }
}

Block FromFloatSource(long double x, TVLMBaseDataType dest) {
  if (dest >= bdtChar && dest <= bdtWideString) return TextTarget(qv::FloatToStr(x), dest);
  if (IsIntegerTarget(dest)) return FromInteger(TruncInt64(x), dest);
  if (IsFloatTarget(dest)) return FromFloat(x, dest);
  switch (dest) {
    case bdtDate: return ValueBlock(Low32(TruncInt64(x)));
    case bdtTime: return ValueBlock(Low32(TruncInt64(x) % kVLMMSecsPerDay));
    case bdtDateTime: {
      const int64_t days = TruncInt64(x);
      const long double frac = x - std::trunc(x);
      return StampBlock(Low32(days), Low32(TruncInt64(frac * kVLMMSecsPerDay)));
    }
    case bdtLogical: return LogicalBlock(x != 0.0L);
    default: return {};
  }
}

Block FromDate(int32_t d, TVLMBaseDataType dest) {
  if (dest >= bdtChar && dest <= bdtWideString)
    return TextTarget(d == VLMEmptyDate ? std::string() : qv::DateToStr(VLMDateToTDateTime(d)), dest);
  if (IsIntegerTarget(dest)) return FromInteger(d, dest);
  switch (dest) {
    case bdtSingle:
    case bdtFloat:
    case bdtExtended: return FromFloat(d, dest);
    case bdtDate: return ValueBlock(d);
    // A day number read as milliseconds: kept as stored values have it.
    case bdtTime: return ValueBlock(d % kVLMMSecsPerDay);
    case bdtDateTime: return StampBlock(d, 0);
    case bdtLogical: return LogicalBlock(d != VLMEmptyDate);
    default: return {};  // CURRENCY included
  }
}

Block FromTime(int32_t m, TVLMBaseDataType dest) {
  if (dest >= bdtChar && dest <= bdtWideString)
    return TextTarget(m == 0 ? std::string() : qv::TimeToStr(VLMTimeToTDateTime(m)), dest);
  if (IsIntegerTarget(dest)) return FromInteger(m, dest);
  if (IsFloatTarget(dest)) return FromFloat(m, dest);
  switch (dest) {
    case bdtDate:
    case bdtTime: return ValueBlock(m);
    case bdtDateTime: return StampBlock(VLMEmptyDate, m);
    case bdtLogical: return LogicalBlock(m != 0);
    default: return {};
  }
}

Block FromTimeStamp(int32_t d, int32_t m, TVLMBaseDataType dest) {
  const bool empty = d == VLMEmptyDate && m == 0;
  if (dest >= bdtChar && dest <= bdtWideString) {
    std::string s;
    if (!empty) s = qv::DateTimeToStr(VLMTimeStampToTDateTime(TVLMTimeStamp{d, m}));
    return TextTarget(s, dest);
  }
  if (IsIntegerTarget(dest)) return FromInteger(d, dest);
  long double sum = 0;
  if (d != VLMEmptyDate) sum += d;
  if (m != 0) sum += static_cast<long double>(m) / kVLMMSecsPerDay;
  switch (dest) {
    case bdtSingle:
    case bdtFloat:
    case bdtExtended: return FromFloat(sum, dest);
    case bdtCurrency: {
      const int64_t c = VLMFloatToCurr(static_cast<double>(sum));
      return ValueBlock(qv::CurrToFloat(c));
    }
    case bdtDate: return ValueBlock(d);
    case bdtTime: return ValueBlock(m);
    case bdtDateTime: return StampBlock(d, m);
    case bdtLogical: return LogicalBlock(!empty);
    default: return {};
  }
}

Block FromLogical(int16_t raw, TVLMBaseDataType dest) {
  const bool b = raw != 0;
  if (dest >= bdtChar && dest <= bdtWideString) return TextTarget(VLMBoolToStr(b, true), dest);
  // A true value counts as 1 in numbers, whatever bits it is stored with.
  if (IsIntegerTarget(dest)) return FromInteger(b ? 1 : 0, dest);
  if (dest == bdtSingle || dest == bdtFloat || dest == bdtExtended) return FromFloat(b ? 1 : 0, dest);
  if (dest == bdtLogical) return ValueBlock(raw);
  return {};
}

Block FromCurrency(double a, TVLMBaseDataType dest) {
  if (dest >= bdtChar && dest <= bdtWideString) return TextTarget(qv::CurrToStr(VLMFloatToCurr(a)), dest);
  if (IsIntegerTarget(dest)) return FromInteger(TruncInt64(a), dest);
  switch (dest) {
    case bdtSingle:
    case bdtExtended: return FromFloat(a, dest);
    case bdtFloat:
    case bdtCurrency: return ValueBlock(a);
    case bdtLogical: return LogicalBlock(a != 0.0);
    default: return {};
  }
}

// The size a fixed-size source must at least have.
int32_t FixedSourceSize(TVLMBaseDataType t) {
  if ((t >= bdtShortInt && t <= bdtDateTime) || t == bdtLogical || t == bdtCurrency) return VLMGetDataSize(t, 0);
  return 0;
}

// The conversion itself; an empty block means the pair is unsupported.
Block Cast(const void* s, int32_t size, TVLMBaseDataType src, TVLMBaseDataType dest) {
  switch (src) {
    case bdtChar:
    case bdtString: return FromAnsi(AnsiText(s, size), dest);
    case bdtWideChar:
    case bdtWideString: return FromWide(WideText(s, size), dest);
    case bdtMemo: return FromMemo(s, size, dest);
    case bdtWideMemo: return FromWideMemo(s, size, dest);
    case bdtShortInt: return FromIntegerSource(Load<int8_t>(s), dest);
    case bdtSmallInt: return FromIntegerSource(Load<int16_t>(s), dest);
    case bdtInteger: return FromIntegerSource(Load<int32_t>(s), dest);
    case bdtLargeInt: return FromIntegerSource(Load<int64_t>(s), dest);
    case bdtByte: return FromIntegerSource(Load<uint8_t>(s), dest);
    case bdtWord: return FromIntegerSource(Load<uint16_t>(s), dest);
    case bdtCardinal: return FromIntegerSource(Load<uint32_t>(s), dest);
    case bdtSingle: return FromFloatSource(Load<float>(s), dest);
    case bdtFloat: return FromFloatSource(Load<double>(s), dest);
    case bdtExtended: return FromFloatSource(LoadExtended(s), dest);
    case bdtDate: return FromDate(Load<int32_t>(s), dest);
    case bdtTime: return FromTime(Load<int32_t>(s), dest);
    case bdtDateTime: {
      const uint8_t* p = static_cast<const uint8_t*>(s);
      return FromTimeStamp(Load<int32_t>(p), Load<int32_t>(p + 4), dest);
    }
    case bdtLogical: return FromLogical(Load<int16_t>(s), dest);
    case bdtCurrency: return FromCurrency(Load<double>(s), dest);
    default: return {};
  }
}

bool Unsupported(TVLMBaseDataType src, TVLMBaseDataType dest) {
  if (src == 0 || src == bdtBLOB || src == bdtBytes || src == bdtVarBytes || src > bdtLast) return true;
  if (dest == 0 || dest == bdtMemo || dest == bdtWideMemo || dest == bdtBytes || dest == bdtVarBytes ||
      dest > bdtLast)
    return true;
  return false;
}

[[noreturn]] void RaiseCast(int32_t code, TVLMBaseDataType src, TVLMBaseDataType dest) {
  throw EVLMException(code, kCastMessage, {VLMGetBaseTypeName(src), VLMGetBaseTypeName(dest)});
}

// Decoded common-type table: rows T1, columns T2, both 1-24.
// kCommonCompare holds the type for comparisons, kCommonCombine the one for
// arithmetic and concatenation; they differ only where text meets a date,
// time or time stamp.
constexpr uint8_t kCommonCompare[24][24] = {
    { 1,  2,  3,  4,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1, 15, 16, 17,  0,  1,  2,  1,  1,  0,  0},  // 1
    { 2,  2,  2,  4,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2, 15, 16, 17,  0,  2,  2,  2,  2,  0,  0},  // 2
    { 3,  2,  3,  4,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3, 15, 16, 17,  0,  3,  4,  3,  3,  0,  0},  // 3
    { 4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4, 15, 16, 17,  0,  4,  4,  4,  4,  0,  0},  // 4
    { 1,  2,  3,  4,  5,  6,  7,  8,  6, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  5, 22,  0,  0},  // 5
    { 1,  2,  3,  4,  6,  6,  7,  8,  6, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  6, 22,  0,  0},  // 6
    { 1,  2,  3,  4,  7,  7,  7,  8,  7,  7,  8, 12, 13, 14, 15, 16, 17,  0,  0,  0,  7, 22,  0,  0},  // 7
    { 1,  2,  3,  4,  8,  8,  8,  8,  8,  8,  8, 12, 13, 14, 15, 16, 17,  0,  0,  0,  8, 22,  0,  0},  // 8
    { 1,  2,  3,  4,  6,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  9, 22,  0,  0},  // 9
    { 1,  2,  3,  4,  7,  7,  7,  8, 10, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0, 10, 22,  0,  0},  // 10
    { 1,  2,  3,  4,  8,  8,  8,  8, 11, 11, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0, 11, 22,  0,  0},  // 11
    { 1,  2,  3,  4, 12, 12, 12, 12, 12, 12, 12, 12, 13, 14, 15, 16, 17,  0,  0,  0, 12, 22,  0,  0},  // 12
    { 1,  2,  3,  4, 13, 13, 13, 13, 13, 13, 13, 13, 13, 14, 15, 16, 17,  0,  0,  0, 13, 22,  0,  0},  // 13
    { 1,  2,  3,  4, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 15, 16, 17,  0,  0,  0, 14, 22,  0,  0},  // 14
    {15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 17, 17,  0,  0,  0,  0,  0,  0,  0},  // 15
    {16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 16, 17,  0,  0,  0,  0,  0,  0,  0},  // 16
    {17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17,  0,  0,  0,  0,  0,  0,  0},  // 17
    { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},  // 18
    { 1,  2,  3,  4,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  1,  2,  0,  0,  0,  0},  // 19
    { 2,  2,  4,  4,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  2,  2,  0,  0,  0,  0},  // 20
    { 1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,  0,  0,  0,  0,  0,  0, 21,  0,  0,  0},  // 21
    { 1,  2,  3,  4, 22, 22, 22, 22, 22, 22, 22, 12, 13, 14,  0,  0,  0,  0,  0,  0,  0, 22,  0,  0},  // 22
    { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},  // 23
    { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},  // 24
};

}  // namespace

void* VLMCastData(const void* source, int32_t sourceSize, TVLMBaseDataType sourceType,
                  TVLMBaseDataType destType, int32_t& destSize) {
  destSize = 0;
  if (Unsupported(sourceType, destType)) RaiseCast(30052, sourceType, destType);
  // A fixed-size source needs its bytes: nil or a block shorter than the type
  // gives nothing to convert.
  const int32_t need = FixedSourceSize(sourceType);
  if (need > 0 && (!source || (sourceSize >= 0 && sourceSize < need))) RaiseCast(30052, sourceType, destType);
  Block result;
  try {
    result = Cast(source, sourceSize, sourceType, destType);
  } catch (...) {
    RaiseCast(30051, sourceType, destType);
  }
  if (!result) RaiseCast(30052, sourceType, destType);
  return result.Release(destSize);
}

void* VLMCastValue(const void* source, int32_t sourceSize, TVLMBaseDataType sourceType,
                   TVLMBaseDataType destType) {
  int32_t size = 0;
  return VLMCastData(source, sourceSize, sourceType, destType, size);
}

TVLMBaseDataType VLMGetCommonBaseType(TVLMBaseDataType t1, TVLMBaseDataType t2, bool forCompare) {
  if (t1 < 1 || t1 > bdtLast || t2 < 1 || t2 > bdtLast) return 0;
  const bool textDate = (VLMIsStringBaseType(t1) && VLMIsDateTimeBaseType(t2)) ||
                        (VLMIsDateTimeBaseType(t1) && VLMIsStringBaseType(t2));
  if (textDate && !forCompare) return VLMIsStringBaseType(t1) ? t1 : t2;
  return kCommonCompare[t1 - 1][t2 - 1];
}

TVLMDataType VLMGetCommonDataType(TVLMDataType t1, TVLMDataType t2, bool forCompare) {
  const TVLMBaseDataType b1 = VLMDataTypeToBaseType(t1);
  const TVLMBaseDataType b2 = VLMDataTypeToBaseType(t2);
  const TVLMBaseDataType b = VLMGetCommonBaseType(b1, b2, forCompare);
  if (b1 == b) return t1;
  if (b2 == b) return t2;
  return VLMBaseTypeToDataType(b);
}

// ------------------------------------------------------------- comparison

namespace {

template <class T>
uint8_t Order(T a, T b) {
  if (a == b) return kVLMCompareEqual;
  return a < b ? kVLMCompareLess : kVLMCompareGreater;
}

// Floats: equal, less, otherwise greater (so a NaN on either side is
// greater).
template <class T>
uint8_t FloatOrder(T a, T b) {
  if (a == b) return kVLMCompareEqual;
  if (a < b) return kVLMCompareLess;
  return kVLMCompareGreater;
}

uint8_t CollationOrder(int r) {
  if (r < 0) return kVLMCompareLess;
  return r == 0 ? kVLMCompareEqual : kVLMCompareGreater;
}

template <class View>
View Limit(View v, int32_t length) {
  if (length >= 0 && v.size() > static_cast<size_t>(length)) v = v.substr(0, static_cast<size_t>(length));
  return v;
}

}  // namespace

uint8_t VLMCompareValues(const void* data1, const void* data2, TVLMBaseDataType type1,
                         TVLMBaseDataType type2, bool null1, bool null2, int32_t length,
                         bool caseInsensitive, uint32_t locale, int32_t size1, int32_t size2) {
  (void)locale;  // the collation is fixed
  if (null1 && null2) return kVLMCompareBothNull;
  if (null1) return kVLMCompareFirstNull;
  if (null2) return kVLMCompareSecondNull;
  if (!data1 || !data2) throw EVLMException(30140, "Value is Null");

  TVLMBaseDataType c = type1;
  Block tmp1, tmp2;
  const void* p1 = data1;
  const void* p2 = data2;
  if (type1 != type2 || type1 == bdtMemo || type1 == bdtWideMemo) {
    c = VLMGetCommonBaseType(type1, type2, true);
    if (c == 0)
      throw EVLMException(30044, "Cannot compare Incompatible DataTypes: '%s' and '%s'",
                          {VLMGetBaseTypeName(type1), VLMGetBaseTypeName(type2)});
    if (type1 != c) {
      tmp1.P = VLMCastData(data1, size1, type1, c, tmp1.Size);
      p1 = tmp1.P;
      size1 = tmp1.Size;
    }
    if (type2 != c) {
      tmp2.P = VLMCastData(data2, size2, type2, c, tmp2.Size);
      p2 = tmp2.P;
      size2 = tmp2.Size;
    }
  }

  switch (c) {
    case bdtChar:
    case bdtString:
    case bdtBytes:
      return CollationOrder(qv::CompareText1252(Limit(AnsiText(p1, size1), length),
                                                Limit(AnsiText(p2, size2), length), caseInsensitive));
    case bdtWideChar:
    case bdtWideString:
      return CollationOrder(qv::CompareTextWide(Limit(WideText(p1, size1), length),
                                                Limit(WideText(p2, size2), length), caseInsensitive));
    case bdtShortInt: return Order(Load<int8_t>(p1), Load<int8_t>(p2));
    case bdtSmallInt: return Order(Load<int16_t>(p1), Load<int16_t>(p2));
    case bdtInteger:
    case bdtDate:
    case bdtTime: return Order(Load<int32_t>(p1), Load<int32_t>(p2));
    case bdtLargeInt: return Order(Load<int64_t>(p1), Load<int64_t>(p2));
    case bdtByte: return Order(Load<uint8_t>(p1), Load<uint8_t>(p2));
    case bdtWord: return Order(Load<uint16_t>(p1), Load<uint16_t>(p2));
    case bdtCardinal: return Order(Load<uint32_t>(p1), Load<uint32_t>(p2));
    case bdtSingle: return FloatOrder(Load<float>(p1), Load<float>(p2));
    case bdtFloat:
    case bdtCurrency: return FloatOrder(Load<double>(p1), Load<double>(p2));
    case bdtExtended: return FloatOrder(LoadExtended(p1), LoadExtended(p2));
    case bdtDateTime: {
      const auto* a = static_cast<const uint8_t*>(p1);
      const auto* b = static_cast<const uint8_t*>(p2);
      const uint8_t days = Order(Load<int32_t>(a), Load<int32_t>(b));
      return days != kVLMCompareEqual ? days : Order(Load<int32_t>(a + 4), Load<int32_t>(b + 4));
    }
    case bdtLogical: return Order(Load<int16_t>(p1) != 0, Load<int16_t>(p2) != 0);
    default:
      throw EVLMException(30047, "Unknown DataType: '%s'", {VLMGetBaseTypeName(c)});
  }
}

int32_t VLMCompareValuesSigned(const void* data1, const void* data2, TVLMBaseDataType type1,
                               TVLMBaseDataType type2, bool null1, bool null2, int32_t length,
                               bool caseInsensitive, uint32_t locale, int32_t size1, int32_t size2) {
  switch (VLMCompareValues(data1, data2, type1, type2, null1, null2, length, caseInsensitive, locale, size1,
                           size2)) {
    case kVLMCompareLess:
    case kVLMCompareFirstNull: return -1;
    case kVLMCompareGreater:
    case kVLMCompareSecondNull: return 1;
    default: return 0;
  }
}
