// The host class library's variant: one value of one of the host's variant
// types (VarType() gives the host's type code), or an array of them.
//
// Conversions follow the host: Null reads as "" through AsString/VarToStr but
// raises EVariantError for every other kind; Empty reads as 0, "" or False;
// floats go to integers with round-half-to-even; Booleans read as -1 (True) or
// 0 as numbers and as "True"/"False" as text; text reads as a number with '.'
// as the decimal separator and as a Boolean from "true"/"false" (any case) or a
// number (non-zero is True). A conversion that cannot be made raises
// EVariantError "Could not convert variant of type (<from>) into type (<to>)";
// one that does not fit raises EVariantError "Overflow while converting variant
// of type (<from>) into type (<to>)".
//
// Arrays (varArray | element type) hold their elements by value; copying the
// variant copies them. Each dimension has its own low and high bound.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/Exception.h"

namespace qv {

// The host's variant type codes.
constexpr uint16_t varEmpty = 0x0000;
constexpr uint16_t varNull = 0x0001;
constexpr uint16_t varSmallint = 0x0002;
constexpr uint16_t varInteger = 0x0003;
constexpr uint16_t varSingle = 0x0004;
constexpr uint16_t varDouble = 0x0005;
constexpr uint16_t varCurrency = 0x0006;
constexpr uint16_t varDate = 0x0007;
constexpr uint16_t varOleStr = 0x0008;
constexpr uint16_t varDispatch = 0x0009;
constexpr uint16_t varError = 0x000A;
constexpr uint16_t varBoolean = 0x000B;
constexpr uint16_t varVariant = 0x000C;
constexpr uint16_t varUnknown = 0x000D;
constexpr uint16_t varShortInt = 0x0010;
constexpr uint16_t varByte = 0x0011;
constexpr uint16_t varWord = 0x0012;
constexpr uint16_t varLongWord = 0x0013;
constexpr uint16_t varInt64 = 0x0014;
constexpr uint16_t varString = 0x0100;
constexpr uint16_t varTypeMask = 0x0FFF;
constexpr uint16_t varArray = 0x2000;
constexpr uint16_t varByRef = 0x4000;

// Raised by a variant conversion or array access that cannot be done.
class EVariantError : public Exception {
public:
  using Exception::Exception;
};

// The host's name of a variant type code ("Integer", "String", "Null", ...);
// an array is "Array <element type>".
std::string VarTypeAsText(uint16_t varType);

class HostVariant {
public:
  HostVariant() noexcept;  // Empty
  HostVariant(const HostVariant& other);
  HostVariant(HostVariant&& other) noexcept;
  HostVariant& operator=(const HostVariant& other);
  HostVariant& operator=(HostVariant&& other) noexcept;
  ~HostVariant();

  // Integers take the host type of their width.
  HostVariant(int8_t v);    // varShortInt
  HostVariant(uint8_t v);   // varByte
  HostVariant(int16_t v);   // varSmallint
  HostVariant(uint16_t v);  // varWord
  HostVariant(int32_t v);   // varInteger
  HostVariant(uint32_t v);  // varLongWord
  HostVariant(long v);      // varInt64
  HostVariant(long long v);           // varInt64
  HostVariant(unsigned long v);       // varInt64; EVariantError above INT64_MAX
  HostVariant(unsigned long long v);  // varInt64; EVariantError above INT64_MAX
  HostVariant(float v);   // varSingle
  HostVariant(double v);  // varDouble
  HostVariant(bool v);    // varBoolean
  HostVariant(char v);    // varString of one character, as the host's Char
  // 8-bit (Windows-1252) text: varString.
  HostVariant(const char* v);
  HostVariant(std::string v);
  HostVariant(std::string_view v);
  // Wide text: varOleStr.
  HostVariant(std::u16string v);
  HostVariant(const char16_t* v);

  static HostVariant Null();
  static HostVariant Empty() { return HostVariant(); }
  // Currency: the amount times 10000.
  static HostVariant FromCurrency(int64_t scaled);
  // Date-time: days since 1899-12-30.
  static HostVariant FromDateTime(double dateTime);

  uint16_t VarType() const { return VType_; }
  bool IsNull() const { return VType_ == varNull; }
  bool IsEmpty() const { return VType_ == varEmpty; }
  bool IsArray() const { return (VType_ & varArray) != 0; }
  // Null or Empty.
  bool IsClear() const { return VType_ == varNull || VType_ == varEmpty; }

  // Conversions (see the top of the file).
  std::string AsString() const;  // Null -> ""
  std::u16string AsWideString() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  double AsDouble() const;
  bool AsBoolean() const;
  int64_t AsCurrency() const;  // scaled by 10000
  double AsDateTime() const;
  // This variant converted to another simple type code (VarAsType).
  HostVariant AsType(uint16_t varType) const;

  // ---- arrays ----
  // bounds: low, high pairs, one per dimension. elementType: a simple type
  // code or varVariant. Elements start as 0, "", False or Empty.
  static HostVariant CreateArray(std::initializer_list<int32_t> bounds, uint16_t elementType);
  static HostVariant CreateArray(const std::vector<int32_t>& bounds, uint16_t elementType);
  // A one-dimensional array of varVariant with bounds 0 .. size-1.
  static HostVariant ArrayOf(std::initializer_list<HostVariant> values);
  static HostVariant ArrayOf(const std::vector<HostVariant>& values);

  // 0 for a non-array.
  int32_t ArrayDimCount() const;
  // dim counts from 1. EVariantError "Variant or safe array index out of
  // bounds" for a dimension that does not exist, "Variant is not an array"
  // for a non-array (also from the element functions below).
  int32_t ArrayLowBound(int32_t dim) const;
  int32_t ArrayHighBound(int32_t dim) const;
  // One index per dimension. Out of range: EVariantError "Variant or safe
  // array index out of bounds". Put converts the value to the element type
  // (an array of varVariant keeps it as it is).
  HostVariant GetElement(std::initializer_list<int32_t> indices) const;
  HostVariant GetElement(const std::vector<int32_t>& indices) const;
  void PutElement(std::initializer_list<int32_t> indices, const HostVariant& value);
  void PutElement(const std::vector<int32_t>& indices, const HostVariant& value);
  // One-dimensional shorthand.
  HostVariant operator[](int32_t index) const { return GetElement({index}); }

  // The host's "=": Null equals only Null, Empty equals only Empty (or an
  // empty text); numbers compare as numbers; text against a number compares as
  // numbers when the text is a number, else as text; text is compared
  // exactly; arrays element by element.
  bool operator==(const HostVariant& other) const;
  bool operator!=(const HostVariant& other) const { return !(*this == other); }

private:
  struct ArrayData;
  void clear() noexcept;
  [[noreturn]] void castError(uint16_t to) const;
  [[noreturn]] void overflowError(uint16_t to) const;
  long double numberValue(uint16_t to) const;  // any numeric view, for conversions
  int64_t toInt64(uint16_t to) const;
  const ArrayData& array() const;
  size_t flatIndex(const std::vector<int32_t>& indices) const;

  uint16_t VType_ = varEmpty;
  union {
    int64_t Int_;   // varShortInt .. varInt64, varBoolean (0 / 1), varCurrency (scaled)
    double Dbl_;    // varDouble, varDate
    float Sgl_;     // varSingle
  };
  std::string Str_;                 // varString
  std::u16string WStr_;             // varOleStr
  std::unique_ptr<ArrayData> Arr_;  // varArray
};

// Host-style free functions.
inline uint16_t VarType(const HostVariant& v) { return v.VarType(); }
inline bool VarIsNull(const HostVariant& v) { return v.IsNull(); }
inline bool VarIsEmpty(const HostVariant& v) { return v.IsEmpty(); }
inline bool VarIsClear(const HostVariant& v) { return v.IsClear(); }
inline bool VarIsArray(const HostVariant& v) { return v.IsArray(); }
inline std::string VarToStr(const HostVariant& v) { return v.AsString(); }
inline HostVariant VarAsType(const HostVariant& v, uint16_t varType) { return v.AsType(varType); }
inline HostVariant VarArrayCreate(std::initializer_list<int32_t> bounds, uint16_t elementType) {
  return HostVariant::CreateArray(bounds, elementType);
}
inline HostVariant VarArrayOf(std::initializer_list<HostVariant> values) { return HostVariant::ArrayOf(values); }
inline int32_t VarArrayDimCount(const HostVariant& v) { return v.ArrayDimCount(); }
inline int32_t VarArrayLowBound(const HostVariant& v, int32_t dim) { return v.ArrayLowBound(dim); }
inline int32_t VarArrayHighBound(const HostVariant& v, int32_t dim) { return v.ArrayHighBound(dim); }

}  // namespace qv
