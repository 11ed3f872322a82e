#include "engine/core/VLMVariant.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>
#include <string>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMConverts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/host/SysUtils.h"

namespace {

constexpr int32_t kExtendedSize = 10;
constexpr std::string_view kNotNumeric = "Not numeric argument in numeric operator '%s'";

// The size of a fixed-size base type (5-17, 21, 22); 0 for every other code.
int32_t FixedSize(TVLMBaseDataType t) {
  if ((t >= bdtShortInt && t <= bdtDateTime) || t == bdtLogical || t == bdtCurrency) return VLMGetDataSize(t, 0);
  return 0;
}

void FreeBlock(void*& p) noexcept {
  try {
    VLMMemoryManager().FreeMem(p);
  } catch (...) {
  }
  p = nullptr;
}

// A temporary engine block, freed on every path.
struct TempBlock {
  void* P = nullptr;
  int32_t Size = 0;
  ~TempBlock() {
    if (P) FreeBlock(P);
  }
};

[[noreturn]] void RaiseCast(TVLMBaseDataType src, TVLMBaseDataType dest) {
  throw EVLMException(30052, "Cannot cast from '%s' to '%s'", {VLMGetBaseTypeName(src), VLMGetBaseTypeName(dest)});
}

// Integer sums and products in the width of their type: a result the width
// cannot hold is an engine error, never wrapped.
template <class T>
std::string IntegerText(T v) {
  return std::to_string(static_cast<std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>>(v));
}
template <class T>
T CheckedAdd(T a, T b, TVLMBaseDataType type) {
  T r;
  if (__builtin_add_overflow(a, b, &r))
    throw EVLMException(30840, "Integer overflow: %s + %s does not fit the type %s",
                        {IntegerText(a), IntegerText(b), VLMGetBaseTypeName(type)});
  return r;
}
template <class T>
T CheckedMul(T a, T b, TVLMBaseDataType type) {
  T r;
  if (__builtin_mul_overflow(a, b, &r))
    throw EVLMException(30841, "Integer overflow: %s * %s does not fit the type %s",
                        {IntegerText(a), IntegerText(b), VLMGetBaseTypeName(type)});
  return r;
}
// -v in v's own type: the smallest signed value and every unsigned value
// but 0 have no negation there.
template <class T>
T CheckedNegate(T v, TVLMBaseDataType type) {
  T r;
  if (__builtin_sub_overflow(T{0}, v, &r))
    throw EVLMException(30842, "Integer overflow: the negation of %s does not fit the type %s",
                        {IntegerText(v), VLMGetBaseTypeName(type)});
  return r;
}

// Wrapping arithmetic in a width: computed unsigned, so overflow is defined
// (dates and times, whose ends wrap).
template <class T>
T WrapAdd(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
}
template <class T>
T WrapMul(T a, T b) {
  using U = std::make_unsigned_t<T>;
  using W = std::conditional_t<(sizeof(U) < sizeof(unsigned)), unsigned, U>;
  return static_cast<T>(static_cast<U>(static_cast<W>(static_cast<U>(a)) * static_cast<W>(static_cast<U>(b))));
}

// Signed quotient truncated toward zero. Division by zero and the smallest
// value divided by -1 (whose quotient the width cannot hold) are the host's
// errors; the 8- and 16-bit forms are computed in 32 bits and narrowed.
template <class T>
T SignedDiv(T a, T b) {
  if (b == 0) throw EDivByZero();
  if constexpr (sizeof(T) >= 4) {
    if (a == std::numeric_limits<T>::min() && b == -1) throw EIntOverflow();
    return static_cast<T>(a / b);
  } else {
    return static_cast<T>(static_cast<int32_t>(a) / static_cast<int32_t>(b));
  }
}
template <class T>
T UnsignedDiv(T a, T b) {
  if (b == 0) throw EDivByZero();
  return static_cast<T>(a / b);
}

// A float result: a finite pair that overflowed is the host's overflow error.
template <class T>
T CheckedFloat(T r, T a, T b) {
  if (std::isinf(r) && std::isfinite(a) && std::isfinite(b)) throw EOverflow();
  return r;
}
template <class T>
T FloatDiv(T a, T b) {
  if (b == 0) {
    if (a == 0 || std::isnan(a)) throw EInvalidOp();
    throw EZeroDivide();
  }
  return CheckedFloat(static_cast<T>(a / b), a, b);
}

// Bytes of the text in a block of size bytes: its characters up to the first
// terminator, and the terminator. A record buffer holds a text field padded
// with zeros to its declared size; a value keeps only the text. A block
// without a terminator keeps its size. Wide text is read byte-wise: fields
// may sit at odd offsets.
int32_t TextBytes(const void* block, int32_t size, bool wide) {
  const auto* b = static_cast<const uint8_t*>(block);
  if (!wide) {
    const void* zero = std::memchr(b, 0, static_cast<size_t>(size));
    return zero != nullptr ? static_cast<int32_t>(static_cast<const uint8_t*>(zero) - b) + 1 : size;
  }
  for (int32_t i = 0; i + 1 < size; i += 2)
    if (b[i] == 0 && b[i + 1] == 0) return i + 2;
  return size;
}

// Whole days carried out of the milliseconds of a time stamp.
TVLMTimeStamp Carry(int64_t days, int64_t ms) {
  if (ms >= kVLMMSecsPerDay) {
    days += ms / kVLMMSecsPerDay;
    ms %= kVLMMSecsPerDay;
  }
  TVLMTimeStamp s;
  s.Date = static_cast<int32_t>(days);
  s.Time = static_cast<int32_t>(ms);
  return s;
}

}  // namespace

// ------------------------------------------------------------ life cycle

TVLMVariant::TVLMVariant(TVLMBaseDataType dataType) : DataType(dataType) {}

TVLMVariant::~TVLMVariant() {
  try {
    Clear(0);
  } catch (...) {
  }
}

void TVLMVariant::Clear(TVLMBaseDataType newType) {
  void* p = Data;
  const bool owned = DataNotOwned == 0;
  Data = nullptr;
  DataType = newType;
  DataSize = 0;
  DataNotOwned = 0;
  NullFlag = 255;
  // The state is already clean when the memory manager reports a damaged
  // block (it releases the block before it raises).
  if (p && owned) VLMMemoryManager().FreeMem(p);
}

void TVLMVariant::CheckNotNull() const {
  if (IsNull()) throw EVLMException(30016, "Value is Null");
}

void TVLMVariant::Assign(const TVLMVariant& source, bool copyData) {
  if (&source == this) return;
  Clear(0);
  void* block = nullptr;
  const bool present = !source.IsNull();
  if (present && copyData && source.DataSize > 0) {
    block = VLMMemoryManager().GetMem(source.DataSize);
    std::memcpy(block, source.Data, static_cast<size_t>(source.DataSize));
  }
  DataType = source.DataType;
  DataSize = source.DataSize;
  NullFlag = source.NullFlag;
  DataNotOwned = copyData ? 0 : 255;
  if (present) Data = copyData ? block : source.Data;
}

void TVLMVariant::SetBuffer(const void* buffer, int32_t size, TVLMBaseDataType dataType, bool copyData) {
  if (buffer != nullptr && size > 0 && VLMIsStringBaseType(dataType))
    size = TextBytes(buffer, size, VLMIsWideStringBaseType(dataType));
  if (copyData) {
    if (!(Data && DataNotOwned == 0 && DataSize == size)) {
      Clear(0);
      Data = VLMMemoryManager().GetMem(size);
      DataSize = size;
    }
    std::memmove(Data, buffer, static_cast<size_t>(size));  // the buffer may be the block itself
  } else {
    Clear(0);
    Data = const_cast<void*>(buffer);
    DataNotOwned = 255;
  }
  DataType = dataType;
  DataSize = size;
  NullFlag = 0;
}

bool TVLMVariant::CopyToBuffer(void* buffer, int32_t maxSize) const {
  if (IsNull()) return false;
  if (maxSize != -1 && DataSize > maxSize) throw EVLMException(20056, "Buffer size exceeded");
  if (IsString() && DataSize < 2) return false;
  std::memcpy(buffer, Data, static_cast<size_t>(DataSize));
  return true;
}

// ---------------------------------------------------------------- streams

void TVLMVariant::SaveToStream(qv::Stream& stream) const {
  // A value without bytes is written as null: a present value of size 0
  // could not be read back.
  const bool null = IsNull() || DataSize < 1;
  const uint8_t type = DataType;
  VLMWriteStreamBuffer(&type, 1, stream, 10179);
  const uint8_t flag = null ? (NullFlag != 0 ? NullFlag : 255) : 0;
  VLMWriteStreamBuffer(&flag, 1, stream, 10180);
  if (null) return;
  uint8_t size[4];
  VLMPutI32LE(size, DataSize);
  VLMWriteStreamBuffer(size, 4, stream, 10181);
  VLMWriteStreamBuffer(Data, DataSize, stream, 10182);
}

void TVLMVariant::LoadFromStream(qv::Stream& stream) {
  Clear(0);
  uint8_t type = 0;
  VLMReadStreamBuffer(&type, 1, stream, 10183);
  uint8_t flag = 0;
  VLMReadStreamBuffer(&flag, 1, stream, 10184);
  if (flag != 0) {
    DataType = type;
    NullFlag = flag;
    return;
  }
  uint8_t sizeBytes[4];
  VLMReadStreamBuffer(sizeBytes, 4, stream, 10185);
  const int32_t size = VLMGetI32LE(sizeBytes);
  // The stored size is checked before anything is allocated: a damaged
  // stream must not make us allocate, or later read, what is not there.
  const int64_t position = stream.Position();
  const int64_t streamSize = stream.Size();
  const int32_t fixed = FixedSize(type);
  if (size < 1 || size > streamSize - position || (fixed > 0 && size != fixed))
    throw EVLMException(10185, "Invalid value size in stream. Position = %d, Stream size = %d, Value size = %d",
                        {position, streamSize, size});
  void* block = VLMMemoryManager().GetMem(size);
  auto freeOnFailure = qv::ScopeExit([&] { FreeBlock(block); });
  VLMReadStreamBuffer(block, size, stream, 10186);
  const auto* bytes = static_cast<const uint8_t*>(block);
  bool terminated = true;
  if (type == bdtChar || type == bdtString) terminated = bytes[size - 1] == 0;
  if (type == bdtWideChar || type == bdtWideString)
    terminated = size >= 2 && size % 2 == 0 && bytes[size - 1] == 0 && bytes[size - 2] == 0;
  if (!terminated)
    throw EVLMException(10186, "Invalid text value in stream. Position = %d, Value size = %d", {position, size});
  freeOnFailure.Release();
  DataType = type;
  Data = block;
  DataSize = size;
  NullFlag = 0;
  DataNotOwned = 0;
}

// ------------------------------------------------------- setter and getter

void TVLMVariant::SetData(const void* source, TVLMBaseDataType sourceType) {
  // 1. Same fixed-size type in an owned block of exactly that size: in place.
  if (DataType == sourceType && Data && source && !VLMIsStringBaseType(DataType) && DataNotOwned == 0) {
    const int32_t need = FixedSize(DataType) > 0 ? FixedSize(DataType)
                         : (DataType >= bdtBLOB && DataType <= bdtLast) ? VLMGetDataSize(DataType, 0)
                                                                        : 0;
    if (need > 0 && DataSize == need) {
      std::memcpy(Data, source, static_cast<size_t>(need));
      NullFlag = 0;
      return;
    }
  }
  // 2., 3.
  if (Data) Clear(DataType);
  if (DataType == 0) DataType = sourceType;
  // 4. Nil and empty text are stored as null.
  if (VLMIsStringBaseType(sourceType)) {
    if (!source) return;
    const auto* first = static_cast<const uint8_t*>(source);
    if (VLMIsWideStringBaseType(sourceType) ? (first[0] | first[1]) == 0 : first[0] == 0)
      return;
  }
  void* block = nullptr;
  int32_t size = 0;
  if (DataType != sourceType)
    block = VLMCastData(source, -1, sourceType, DataType, size);  // 5.
  else
    VLMCopyValueToNewMemory(DataType, source, block, size);  // 6.
  Data = block;
  DataSize = size;
  NullFlag = 0;
  DataNotOwned = 0;
}

void* TVLMVariant::ConvertedBlock(TVLMBaseDataType destType, int32_t& size) const {
  return VLMCastData(Data, DataSize, DataType, destType, size);
}

namespace {

// v into an integer base type, cut to its width as the cast does; false for
// any other type.
bool StoreInteger(int64_t v, TVLMBaseDataType type, void* dest) {
  auto store = [&](auto value) {
    std::memcpy(dest, &value, sizeof value);
    return true;
  };
  switch (type) {
    case bdtShortInt: return store(static_cast<int8_t>(v));
    case bdtSmallInt: return store(static_cast<int16_t>(v));
    case bdtInteger: return store(static_cast<int32_t>(v));
    case bdtLargeInt: return store(v);
    case bdtByte: return store(static_cast<uint8_t>(v));
    case bdtWord: return store(static_cast<uint16_t>(v));
    case bdtCardinal: return store(static_cast<uint32_t>(v));
    default: return false;
  }
}

}  // namespace

void TVLMVariant::GetData(void* dest, TVLMBaseDataType destType) const {
  const int32_t need = FixedSize(destType);
  if (need == 0) RaiseCast(DataType, destType);
  CheckNotNull();
  if (DataType == destType) {
    if (DataSize < need) RaiseCast(DataType, destType);
    std::memcpy(dest, Data, static_cast<size_t>(need));
    return;
  }
  // An integer into another integer type: widened or cut as the cast does,
  // without a block of its own (sums and counts do this per row).
  int64_t integer = 0;
  if (VLMLoadInteger(Data, DataSize, DataType, integer) && StoreInteger(integer, destType, dest)) return;
  TempBlock t;
  t.P = ConvertedBlock(destType, t.Size);
  std::memcpy(dest, t.P, static_cast<size_t>(need));
}

template <class T>
void TVLMVariant::SetFixed(T v, TVLMBaseDataType type) {
  SetData(&v, type);
}

template <class T>
T TVLMVariant::GetFixed(TVLMBaseDataType type) const {
  T v{};
  GetData(&v, type);
  return v;
}

void TVLMVariant::SetAsShortInt(int8_t v) { SetFixed(v, bdtShortInt); }
void TVLMVariant::SetAsSmallInt(int16_t v) { SetFixed(v, bdtSmallInt); }
void TVLMVariant::SetAsInteger(int32_t v) { SetFixed(v, bdtInteger); }
void TVLMVariant::SetAsLargeInt(int64_t v) { SetFixed(v, bdtLargeInt); }
void TVLMVariant::SetAsByte(uint8_t v) { SetFixed(v, bdtByte); }
void TVLMVariant::SetAsWord(uint16_t v) { SetFixed(v, bdtWord); }
void TVLMVariant::SetAsCardinal(uint32_t v) { SetFixed(v, bdtCardinal); }
void TVLMVariant::SetAsSingle(float v) { SetFixed(v, bdtSingle); }
void TVLMVariant::SetAsDouble(double v) { SetFixed(v, bdtFloat); }
void TVLMVariant::SetAsExtended(long double v) { SetFixed(v, bdtExtended); }
void TVLMVariant::SetAsDate(int32_t dayNumber) { SetFixed(dayNumber, bdtDate); }
void TVLMVariant::SetAsTime(int32_t milliseconds) { SetFixed(milliseconds, bdtTime); }
void TVLMVariant::SetAsBoolean(bool v) { SetFixed<int16_t>(v ? -1 : 0, bdtLogical); }
void TVLMVariant::SetAsCurrency(double amount) { SetFixed(amount, bdtCurrency); }

void TVLMVariant::SetAsTimeStamp(const TVLMTimeStamp& v) {
  const int32_t pair[2] = {v.Date, v.Time};
  SetData(pair, bdtDateTime);
}

void TVLMVariant::SetAsString(std::string_view v) {
  const std::string text(v);  // zero-terminated
  SetData(text.c_str(), bdtString);
}

void TVLMVariant::SetAsWideString(std::u16string_view v) {
  const std::u16string text(v);
  SetData(text.c_str(), bdtWideString);
}

void TVLMVariant::SetAsTDate(double v) { SetAsDate(VLMTDateTimeToDate(v)); }
void TVLMVariant::SetAsTTime(double v) { SetAsTime(VLMTDateTimeToTime(v)); }
void TVLMVariant::SetAsTDateTime(double v) { SetAsTimeStamp(VLMTDateTimeToTimeStamp(v)); }

int8_t TVLMVariant::GetAsShortInt() const { return GetFixed<int8_t>(bdtShortInt); }
int16_t TVLMVariant::GetAsSmallInt() const { return GetFixed<int16_t>(bdtSmallInt); }
int32_t TVLMVariant::GetAsInteger() const { return GetFixed<int32_t>(bdtInteger); }
int64_t TVLMVariant::GetAsLargeInt() const { return GetFixed<int64_t>(bdtLargeInt); }
uint8_t TVLMVariant::GetAsByte() const { return GetFixed<uint8_t>(bdtByte); }
uint16_t TVLMVariant::GetAsWord() const { return GetFixed<uint16_t>(bdtWord); }
uint32_t TVLMVariant::GetAsCardinal() const { return GetFixed<uint32_t>(bdtCardinal); }
float TVLMVariant::GetAsSingle() const { return GetFixed<float>(bdtSingle); }
double TVLMVariant::GetAsDouble() const { return GetFixed<double>(bdtFloat); }
int32_t TVLMVariant::GetAsDate() const { return GetFixed<int32_t>(bdtDate); }
int32_t TVLMVariant::GetAsTime() const { return GetFixed<int32_t>(bdtTime); }
bool TVLMVariant::GetAsBoolean() const { return GetFixed<int16_t>(bdtLogical) != 0; }
double TVLMVariant::GetAsCurrency() const { return GetFixed<double>(bdtCurrency); }

long double TVLMVariant::GetAsExtended() const {
  long double v = 0;  // the 10 bytes land in the low part; the rest stays 0
  GetData(&v, bdtExtended);
  return v;
}

TVLMTimeStamp TVLMVariant::GetAsTimeStamp() const {
  int32_t pair[2] = {0, 0};
  GetData(pair, bdtDateTime);
  TVLMTimeStamp s;
  s.Date = pair[0];
  s.Time = pair[1];
  return s;
}

double TVLMVariant::GetAsTDate() const { return VLMDateToTDateTime(GetAsDate()); }
double TVLMVariant::GetAsTTime() const { return VLMTimeToTDateTime(GetAsTime()); }
double TVLMVariant::GetAsTDateTime() const { return VLMTimeStampToTDateTime(GetAsTimeStamp()); }

std::string TVLMVariant::GetAsString() const {
  if (IsNull()) return {};
  if (DataType == bdtChar || DataType == bdtString) {
    const char* c = static_cast<const char*>(Data);
    return std::string(c, strnlen(c, static_cast<size_t>(DataSize)));
  }
  TempBlock t;
  t.P = ConvertedBlock(bdtString, t.Size);
  return std::string(static_cast<const char*>(t.P), static_cast<size_t>(t.Size - 1));
}

std::u16string TVLMVariant::GetAsWideString() const {
  if (IsNull()) return {};
  if (DataType == bdtWideChar || DataType == bdtWideString) {
    return VLMReadWideText(Data, DataSize / 2);
  }
  TempBlock t;
  t.P = ConvertedBlock(bdtWideString, t.Size);
  const size_t n = static_cast<size_t>(t.Size) / 2;
  return std::u16string(static_cast<const char16_t*>(t.P), n > 0 ? n - 1 : 0);
}

// ------------------------------------------------------------- questions

bool TVLMVariant::IsNumeric() const { return VLMIsNumericBaseType(DataType); }
bool TVLMVariant::IsString() const { return VLMIsStringBaseType(DataType); }
bool TVLMVariant::IsWideString() const { return VLMIsWideStringBaseType(DataType); }
bool TVLMVariant::IsBLOB() const { return VLMIsBLOBBaseType(DataType); }
bool TVLMVariant::IsDateTime() const { return VLMIsDateTimeBaseType(DataType); }

int32_t TVLMVariant::GetStringLength() const {
  if (!IsString() || IsNull()) return -1;
  return IsWideString() ? DataSize / 2 - 1 : DataSize - 1;
}

// ------------------------------------------------------ casts, comparison

void TVLMVariant::CastTo(TVLMBaseDataType newType) {
  if (newType == DataType) return;
  if (IsNull()) {
    Clear(newType);
    return;
  }
  if (DataType == bdtMemo && newType == bdtString) {
    // The memo's bytes with a terminator added; a borrowed block is copied,
    // never grown in its lender's memory.
    if (DataNotOwned != 0) {
      void* copy = VLMMemoryManager().GetMem(static_cast<int64_t>(DataSize) + 1);
      if (DataSize > 0) std::memcpy(copy, Data, static_cast<size_t>(DataSize));
      Data = copy;
      DataNotOwned = 0;
    } else {
      VLMMemoryManager().ReallocMem(Data, static_cast<int64_t>(DataSize) + 1);
    }
    static_cast<uint8_t*>(Data)[DataSize] = 0;
    DataSize += 1;
    DataType = bdtString;
    return;
  }
  int32_t size = 0;
  void* block = ConvertedBlock(newType, size);
  Clear(newType);
  Data = block;
  DataSize = size;
  NullFlag = 0;
  DataNotOwned = 0;
}

void TVLMVariant::TryCastTo(TVLMBaseDataType newType) noexcept {
  try {
    if (IsNull()) {
      if (Data)
        Clear(newType);
      else
        DataType = newType;
      return;
    }
    CastTo(newType);
  } catch (...) {
    try {
      Clear(newType);
    } catch (...) {
    }
  }
}

uint8_t TVLMVariant::Compare(const TVLMVariant& other, bool rawResult, bool caseInsensitive,
                             bool prefixOnly) const {
  const int32_t length = prefixOnly ? other.GetStringLength() : -1;
  const uint8_t r = VLMCompareValues(Data, other.Data, DataType, other.DataType, IsNull(), other.IsNull(), length,
                                     caseInsensitive, kVLMLocaleUserDefault, DataSize, other.DataSize);
  if (rawResult) return r;
  switch (r) {
    case kVLMCompareFirstNull: return kVLMCompareLess;
    case kVLMCompareSecondNull: return kVLMCompareGreater;
    case kVLMCompareBothNull: return kVLMCompareEqual;
    default: return r;
  }
}

// ------------------------------------------------------------ arithmetic

void TVLMVariant::Add(const TVLMVariant& other) {
  if (other.IsNull()) {
    if (!IsString()) SetNull();
    return;
  }
  if (IsNull()) {
    if (IsString()) Assign(other, true);
    return;
  }
  AddPresent(other);
}

void TVLMVariant::Multiply(const TVLMVariant& other) {
  if (other.IsNull()) {
    SetNull();
    return;
  }
  if (IsNull()) return;
  MultiplyPresent(other);
}

void TVLMVariant::Divide(const TVLMVariant& other) {
  if (other.IsNull()) {
    SetNull();
    return;
  }
  if (IsNull()) return;
  try {
    DividePresent(other);
  } catch (const std::exception& e) {
    throw EVLMException(30128, "Division error: %s", {e.what()});
  } catch (...) {
    throw EVLMException(30128, "Division error: %s", {"unknown error"});
  }
}

void TVLMVariant::AddPresent(const TVLMVariant& other) {
  const TVLMBaseDataType c = VLMGetCommonBaseType(DataType, other.DataType, false);
  CastTo(c);
  switch (c) {
    case bdtChar:
    case bdtString: SetAsString(GetAsString() + other.GetAsString()); break;
    case bdtWideChar:
    case bdtWideString: SetAsWideString(GetAsWideString() + other.GetAsWideString()); break;
    case bdtShortInt: SetAsShortInt(CheckedAdd(GetAsShortInt(), other.GetAsShortInt(), c)); break;
    case bdtSmallInt: SetAsSmallInt(CheckedAdd(GetAsSmallInt(), other.GetAsSmallInt(), c)); break;
    case bdtInteger: SetAsInteger(CheckedAdd(GetAsInteger(), other.GetAsInteger(), c)); break;
    case bdtLargeInt: SetAsLargeInt(CheckedAdd(GetAsLargeInt(), other.GetAsLargeInt(), c)); break;
    case bdtByte: SetAsByte(CheckedAdd(GetAsByte(), other.GetAsByte(), c)); break;
    case bdtWord: SetAsWord(CheckedAdd(GetAsWord(), other.GetAsWord(), c)); break;
    case bdtCardinal: SetAsCardinal(CheckedAdd(GetAsCardinal(), other.GetAsCardinal(), c)); break;
    case bdtSingle: {
      const float a = GetAsSingle(), b = other.GetAsSingle();
      SetAsSingle(CheckedFloat(a + b, a, b));
      break;
    }
    case bdtFloat: {
      const double a = GetAsDouble(), b = other.GetAsDouble();
      SetAsDouble(CheckedFloat(a + b, a, b));
      break;
    }
    case bdtExtended: {
      const long double a = GetAsExtended(), b = other.GetAsExtended();
      SetAsExtended(CheckedFloat(a + b, a, b));
      break;
    }
    case bdtCurrency: {
      const double a = GetAsCurrency(), b = other.GetAsCurrency();
      SetAsCurrency(CheckedFloat(a + b, a, b));
      break;
    }
    case bdtDate: SetAsDate(WrapAdd(GetAsDate(), other.GetAsDate())); break;
    // Times add up past midnight without wrapping to the next day.
    case bdtTime: SetAsTime(WrapAdd(GetAsTime(), other.GetAsTime())); break;
    case bdtDateTime: {
      const TVLMTimeStamp a = GetAsTimeStamp(), b = other.GetAsTimeStamp();
      SetAsTimeStamp(Carry(static_cast<int64_t>(a.Date) + b.Date, static_cast<int64_t>(a.Time) + b.Time));
      break;
    }
    case bdtLogical: SetAsBoolean(GetAsBoolean() || other.GetAsBoolean()); break;
    default: throw EVLMException(30124, kNotNumeric, {"+"});
  }
}

void TVLMVariant::MultiplyPresent(const TVLMVariant& other) {
  const TVLMBaseDataType c = VLMGetCommonBaseType(DataType, other.DataType, false);
  CastTo(c);
  switch (c) {
    case bdtShortInt: SetAsShortInt(CheckedMul(GetAsShortInt(), other.GetAsShortInt(), c)); break;
    case bdtSmallInt: SetAsSmallInt(CheckedMul(GetAsSmallInt(), other.GetAsSmallInt(), c)); break;
    case bdtInteger: SetAsInteger(CheckedMul(GetAsInteger(), other.GetAsInteger(), c)); break;
    case bdtLargeInt: SetAsLargeInt(CheckedMul(GetAsLargeInt(), other.GetAsLargeInt(), c)); break;
    case bdtByte: SetAsByte(CheckedMul(GetAsByte(), other.GetAsByte(), c)); break;
    case bdtWord: SetAsWord(CheckedMul(GetAsWord(), other.GetAsWord(), c)); break;
    case bdtCardinal: SetAsCardinal(CheckedMul(GetAsCardinal(), other.GetAsCardinal(), c)); break;
    case bdtSingle: {
      const float a = GetAsSingle(), b = other.GetAsSingle();
      SetAsSingle(CheckedFloat(a * b, a, b));
      break;
    }
    case bdtFloat: {
      const double a = GetAsDouble(), b = other.GetAsDouble();
      SetAsDouble(CheckedFloat(a * b, a, b));
      break;
    }
    case bdtExtended: {
      const long double a = GetAsExtended(), b = other.GetAsExtended();
      SetAsExtended(CheckedFloat(a * b, a, b));
      break;
    }
    case bdtCurrency: {
      const double a = GetAsCurrency(), b = other.GetAsCurrency();
      SetAsCurrency(CheckedFloat(a * b, a, b));
      break;
    }
    case bdtDate: SetAsDate(WrapMul(GetAsDate(), other.GetAsDate())); break;
    case bdtTime: SetAsTime(WrapMul(GetAsTime(), other.GetAsTime())); break;
    case bdtDateTime: {
      const TVLMTimeStamp a = GetAsTimeStamp(), b = other.GetAsTimeStamp();
      SetAsTimeStamp(Carry(static_cast<int64_t>(a.Date) * b.Date, static_cast<int64_t>(a.Time) * b.Time));
      break;
    }
    case bdtLogical: SetAsBoolean(GetAsBoolean() || other.GetAsBoolean()); break;
    default: throw EVLMException(30126, kNotNumeric, {"*"});
  }
}

void TVLMVariant::DividePresent(const TVLMVariant& other) {
  const TVLMBaseDataType c = VLMGetCommonBaseType(DataType, other.DataType, false);
  CastTo(c);
  switch (c) {
    case bdtShortInt: SetAsShortInt(SignedDiv(GetAsShortInt(), other.GetAsShortInt())); break;
    case bdtSmallInt: SetAsSmallInt(SignedDiv(GetAsSmallInt(), other.GetAsSmallInt())); break;
    case bdtInteger: SetAsInteger(SignedDiv(GetAsInteger(), other.GetAsInteger())); break;
    case bdtLargeInt: SetAsLargeInt(SignedDiv(GetAsLargeInt(), other.GetAsLargeInt())); break;
    case bdtByte: SetAsByte(UnsignedDiv(GetAsByte(), other.GetAsByte())); break;
    case bdtWord: SetAsWord(UnsignedDiv(GetAsWord(), other.GetAsWord())); break;
    case bdtCardinal: SetAsCardinal(UnsignedDiv(GetAsCardinal(), other.GetAsCardinal())); break;
    case bdtSingle: SetAsSingle(FloatDiv(GetAsSingle(), other.GetAsSingle())); break;
    case bdtFloat: SetAsDouble(FloatDiv(GetAsDouble(), other.GetAsDouble())); break;
    case bdtExtended: SetAsExtended(FloatDiv(GetAsExtended(), other.GetAsExtended())); break;
    case bdtCurrency: SetAsCurrency(FloatDiv(GetAsCurrency(), other.GetAsCurrency())); break;
    case bdtDate: SetAsDate(SignedDiv(GetAsDate(), other.GetAsDate())); break;
    case bdtTime: SetAsTime(SignedDiv(GetAsTime(), other.GetAsTime())); break;
    case bdtDateTime: {
      const TVLMTimeStamp a = GetAsTimeStamp(), b = other.GetAsTimeStamp();
      SetAsTimeStamp(Carry(SignedDiv(a.Date, b.Date), SignedDiv(a.Time, b.Time)));
      break;
    }
    case bdtLogical: SetAsBoolean(GetAsBoolean() || other.GetAsBoolean()); break;
    default: throw EVLMException(30127, kNotNumeric, {"/"});
  }
}

void TVLMVariant::Invert() {
  if (IsNull()) return;
  switch (DataType) {
    case bdtShortInt: SetAsShortInt(CheckedNegate(GetAsShortInt(), DataType)); break;
    case bdtSmallInt: SetAsSmallInt(CheckedNegate(GetAsSmallInt(), DataType)); break;
    case bdtInteger: SetAsInteger(CheckedNegate(GetAsInteger(), DataType)); break;
    case bdtLargeInt: SetAsLargeInt(CheckedNegate(GetAsLargeInt(), DataType)); break;
    case bdtByte: SetAsByte(CheckedNegate(GetAsByte(), DataType)); break;
    case bdtWord: SetAsWord(CheckedNegate(GetAsWord(), DataType)); break;
    case bdtCardinal: SetAsCardinal(CheckedNegate(GetAsCardinal(), DataType)); break;
    case bdtSingle: SetAsSingle(-GetAsSingle()); break;
    case bdtFloat: SetAsDouble(-GetAsDouble()); break;
    case bdtExtended: SetAsExtended(-GetAsExtended()); break;
    case bdtCurrency: SetAsCurrency(-GetAsCurrency()); break;
    case bdtDate: {
      const int32_t d = GetAsDate();
      if (d == INT32_MIN) throw EIntOverflow();
      SetAsDate(-d);
      break;
    }
    case bdtLogical: SetAsBoolean(!GetAsBoolean()); break;
    default:
      throw EVLMException(30123, "Cannot invert value with not numeric type '%s'", {VLMGetBaseTypeName(DataType)});
  }
}

// --------------------------------------------------------- host variants

void TVLMVariant::SetAsVariant(const qv::HostVariant& v) {
  const uint16_t t = v.VarType();
  switch (t) {
    case qv::varEmpty:
    case qv::varNull: SetNull(); return;
    case qv::varSmallint: SetAsSmallInt(static_cast<int16_t>(v.AsInteger())); return;
    case qv::varInteger: SetAsInteger(v.AsInteger()); return;
    case qv::varSingle: SetAsSingle(static_cast<float>(v.AsDouble())); return;
    case qv::varDouble: SetAsDouble(v.AsDouble()); return;
    case qv::varCurrency: SetAsCurrency(qv::CurrToFloat(v.AsCurrency())); return;
    case qv::varDate: SetAsTDateTime(v.AsDateTime()); return;
    case qv::varOleStr: SetAsWideString(v.AsWideString()); return;
    case qv::varBoolean: SetAsBoolean(v.AsBoolean()); return;
    case qv::varByte: SetAsByte(static_cast<uint8_t>(v.AsInteger())); return;
    default:
      // 256-287: the host's own string types.
      if (t >= 256 && t <= 287) {
        SetAsString(v.AsString());
        return;
      }
      throw EVLMException(30113, "Unsupported Variant Type %s", {std::to_string(t)});
  }
}

void TVLMVariant::GetAsVariant(qv::HostVariant& v) const {
  if (IsNull()) {
    v = qv::HostVariant::Null();
    return;
  }
  switch (DataType) {
    case bdtChar:
    case bdtString: v = qv::HostVariant(GetAsString()); return;
    case bdtBLOB:
      // The BLOB's bytes, all of them, as 8-bit text.
      v = qv::HostVariant(std::string(static_cast<const char*>(Data), static_cast<size_t>(DataSize)));
      return;
    case bdtWideChar:
    case bdtWideString: v = qv::HostVariant(GetAsWideString()); return;
    case bdtShortInt:
    case bdtSmallInt:
    case bdtInteger:
    case bdtByte:
    case bdtWord:
    // A CARDINAL above 2147483647 leaves as a negative integer of the same
    // 32 bits, as callers have always received it.
    case bdtCardinal: v = qv::HostVariant(GetAsInteger()); return;
    case bdtSingle:
    case bdtFloat:
    case bdtExtended:
    case bdtCurrency: v = qv::HostVariant(GetAsDouble()); return;
    case bdtDate: v = qv::HostVariant::FromDateTime(GetAsTDate()); return;
    case bdtTime: v = qv::HostVariant::FromDateTime(GetAsTTime()); return;
    case bdtDateTime: v = qv::HostVariant::FromDateTime(GetAsTDateTime()); return;
    case bdtLogical: v = qv::HostVariant(GetAsBoolean()); return;
    default:
      throw EVLMException(30114, "Unsupported Variant Type %s", {VLMGetBaseTypeName(DataType)});
  }
}
