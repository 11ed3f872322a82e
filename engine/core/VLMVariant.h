// TVLMVariant: the engine's one typed, nullable value. Field values, SQL
// parameters, constants and results of expression nodes, default values and
// CHECK bounds, search keys: all travel as TVLMVariant.
//
// A value holds a base type (VLMTypesRoutines.h) and the raw bytes of the value
// in a block of the engine memory manager, which it owns or borrows:
//   DataType      base type; 0 = not yet typed
//   DataSize      bytes in the block
//   Data          the block, nullptr when there is none
//   DataNotOwned  0: owned, freed with the value; 255: borrowed (a record
//                 buffer, another value), never freed or written here
//   NullFlag      255 null, 0 present
// A value is null when NullFlag is non-zero or Data is nullptr.
//
// Bytes of the block by base type:
//   1, 3     the characters and one zero          DataSize = chars + 1
//   2, 4     UTF-16 characters and a 2-byte zero  DataSize = 2 (chars + 1)
//   5-17, 21, 22  the fixed-size value (a time stamp is {day, ms})
//   18-20, 23, 24 raw bytes of any length (a memo carries no terminator)
//
// States: untyped (DataType 0), typed null, typed present. SetNull keeps the
// block; Clear drops it and may change the type; every successful setter,
// SetBuffer and Assign of a present source make the value present. A setter on
// a typed value converts the incoming value into that type; a getter converts
// out of the held type (the casts of VLMCasts.h). An empty text stored into a
// value makes it null.
//
// A borrowed block is valid only as long as its lender: read it before the
// lender changes, or copy it with Assign(..., true).
//
// Stream form (little-endian):
//   u8  type
//   u8  null flag (255 null, 0 present; on reading any non-zero is null)
//   i32 size      only when present
//   size bytes    only when present
//
// Arithmetic changes the value it is called on. Text concatenation treats null
// as the empty text on either side; every numeric operation propagates null.
//
// Error codes: 30016 null read, 20056 buffer too small, 10179-10186 stream
// form, 30051/30052 casts, 30044/30047/30140 comparison, 30113/30114 host
// variants, 30123 invert, 30124/30126/30127 non-numeric operands, 30128
// division.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/VLMTypesRoutines.h"

namespace qv {
class HostVariant;
class Stream;
}  // namespace qv

class TVLMVariant {
public:
  // DataType as given, no block, owned, null.
  explicit TVLMVariant(TVLMBaseDataType dataType = 0);
  virtual ~TVLMVariant();
  TVLMVariant(const TVLMVariant&) = delete;
  TVLMVariant& operator=(const TVLMVariant&) = delete;

  // ---- life cycle and raw access ----
  // Frees an owned block; then no block, DataType = newType, size 0, owned,
  // null.
  void Clear(TVLMBaseDataType newType = 0);
  // Null; type, block and size stay.
  void SetNull() { NullFlag = 255; }
  bool IsNull() const { return NullFlag != 0 || Data == nullptr; }
  // 30016 "Value is Null" when null.
  void CheckNotNull() const;
  // Clear(0), then source's type, size and null flag. A present source's
  // block is copied (copyData) or borrowed. Assigning a value to itself
  // changes nothing.
  void Assign(const TVLMVariant& source, bool copyData);
  // With copyData the size bytes are copied (into the held block when it is
  // owned and exactly that size, else into a new one); without it the buffer
  // is borrowed. DataType becomes dataType, DataSize size, present. For a
  // text type (1-4) size is first cut to the text's own bytes: its
  // characters up to the first terminator within size, and the terminator
  // (a record buffer holds a text field padded to its declared size; the
  // value's length is that of the text). A block without a terminator keeps
  // size.
  void SetBuffer(const void* buffer, int32_t size, TVLMBaseDataType dataType, bool copyData);
  // False when null, or when the value is an empty text (a text type with
  // DataSize < 2); 20056 "Buffer size exceeded" when maxSize is not -1 and the
  // value is larger; otherwise copies DataSize bytes and answers true.
  bool CopyToBuffer(void* buffer, int32_t maxSize) const;

  void SaveToStream(qv::Stream& stream) const;
  // Replaces the value by a stream form. A stored size below 1, beyond the
  // bytes left in the stream, or other than the size of a fixed-size type
  // raises 10185; a text without its terminator raises 10186.
  void LoadFromStream(qv::Stream& stream);

  // The common setter. source points at the value's bytes; for the text
  // types 1-4 at the zero-terminated characters (nullptr = nil text).
  void SetData(const void* source, TVLMBaseDataType sourceType);
  // The common getter for the fixed-size types 5-17, 21, 22: writes the
  // value, converted into destType, to dest (the type's size). Null raises
  // 30016.
  void GetData(void* dest, TVLMBaseDataType destType) const;

  // ---- typed accessors ----
  void SetAsShortInt(int8_t v);
  void SetAsSmallInt(int16_t v);
  void SetAsInteger(int32_t v);
  void SetAsLargeInt(int64_t v);
  void SetAsByte(uint8_t v);
  void SetAsWord(uint16_t v);
  void SetAsCardinal(uint32_t v);
  // Text up to its first zero character; the empty text makes the value null.
  void SetAsString(std::string_view v);
  void SetAsWideString(std::u16string_view v);
  void SetAsSingle(float v);
  void SetAsDouble(double v);
  void SetAsExtended(long double v);
  void SetAsDate(int32_t dayNumber);
  void SetAsTime(int32_t milliseconds);
  void SetAsTimeStamp(const TVLMTimeStamp& v);
  // Stored as -1 (true) or 0 (false).
  void SetAsBoolean(bool v);
  void SetAsCurrency(double amount);
  // Host date-times (days since 1899-12-30).
  void SetAsTDate(double v);
  void SetAsTTime(double v);
  void SetAsTDateTime(double v);

  int8_t GetAsShortInt() const;
  int16_t GetAsSmallInt() const;
  int32_t GetAsInteger() const;
  int64_t GetAsLargeInt() const;
  uint8_t GetAsByte() const;
  uint16_t GetAsWord() const;
  uint32_t GetAsCardinal() const;
  // Null gives the empty text.
  std::string GetAsString() const;
  std::u16string GetAsWideString() const;
  float GetAsSingle() const;
  double GetAsDouble() const;
  long double GetAsExtended() const;
  int32_t GetAsDate() const;
  int32_t GetAsTime() const;
  TVLMTimeStamp GetAsTimeStamp() const;
  bool GetAsBoolean() const;
  double GetAsCurrency() const;
  double GetAsTDate() const;
  double GetAsTTime() const;
  double GetAsTDateTime() const;

  // ---- questions on the held type (null or not) ----
  bool IsNumeric() const;
  bool IsString() const;
  bool IsWideString() const;
  bool IsBLOB() const;
  bool IsDateTime() const;
  // Characters without the terminator; -1 when null or not a text type.
  int32_t GetStringLength() const;

  // ---- casts and comparison ----
  // Converts the held value into newType (null: only the type changes). On a
  // cast failure the value is left as it was.
  void CastTo(TVLMBaseDataType newType);
  // CastTo; any failure makes the value null of newType. Never raises.
  void TryCastTo(TVLMBaseDataType newType) noexcept;
  // VLMCompareValues(self, other). prefixOnly compares self only over other's
  // text length. Without rawResult the null codes fold to 1 (3), 2 (4) and
  // 0 (5).
  uint8_t Compare(const TVLMVariant& other, bool rawResult = false, bool caseInsensitive = false,
                  bool prefixOnly = false) const;

  // ---- arithmetic (self becomes self op other) ----
  // Integer results that their type cannot hold raise 30840 (sums), 30841
  // (products) and 30842 (negations); dates and times wrap in 32 bits.
  void Add(const TVLMVariant& other);
  void Multiply(const TVLMVariant& other);
  // Every failure is raised as 30128 "Division error: %s".
  void Divide(const TVLMVariant& other);
  // -self; NOT for logical values. A null value is left alone.
  void Invert();

  // ---- host variants ----
  void SetAsVariant(const qv::HostVariant& v);
  void GetAsVariant(qv::HostVariant& v) const;

  TVLMBaseDataType DataType = 0;
  int32_t DataSize = 0;
  void* Data = nullptr;
  uint8_t DataNotOwned = 0;
  uint8_t NullFlag = 255;

private:
  template <class T>
  void SetFixed(T v, TVLMBaseDataType type);
  template <class T>
  T GetFixed(TVLMBaseDataType type) const;
  // A new block holding the held value converted into destType.
  void* ConvertedBlock(TVLMBaseDataType destType, int32_t& size) const;
  void AddPresent(const TVLMVariant& other);
  void MultiplyPresent(const TVLMVariant& other);
  void DividePresent(const TVLMVariant& other);
};
