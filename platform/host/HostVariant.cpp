// The host variant. One tag (VType_) says which member holds the value:
//   Int_  varShortInt, varByte, varSmallint, varWord, varInteger, varLongWord,
//         varInt64, varBoolean (0 or 1), varCurrency (amount * 10000)
//   Dbl_  varDouble, varDate      Sgl_  varSingle
//   Str_  varString (1252 bytes)  WStr_ varOleStr
//   Arr_  varArray | element type (never null for an array)
// Every other member is empty, so copying and comparing never read stale data.
#include "platform/host/HostVariant.h"

#include <cmath>
#include <limits>

#include "platform/host/CodePage.h"
#include "platform/host/SysUtils.h"

namespace qv {

struct HostVariant::ArrayData {
  uint16_t ElemType = varVariant;
  std::vector<std::pair<int32_t, int32_t>> Bounds;  // low, high per dimension
  std::vector<HostVariant> Elems;                   // first index varies slowest
};

namespace {

constexpr size_t kMaxArrayElements = size_t{1} << 24;

bool isIntegerType(uint16_t t) {
  switch (t) {
    case varShortInt:
    case varByte:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varInt64:
      return true;
    default:
      return false;
  }
}

bool isTextType(uint16_t t) { return t == varString || t == varOleStr; }

bool isNumericType(uint16_t t) {
  return isIntegerType(t) || t == varSingle || t == varDouble || t == varCurrency || t == varDate ||
         t == varBoolean;
}

// Round half to even, as the host's Round does; x must be finite.
long double roundEven(long double x) {
  long double r = std::floor(x + 0.5L);
  if (r - x == 0.5L && std::fmod(r, 2.0L) != 0) r -= 1;
  return r;
}

bool fitsInt64(long double x) { return x >= -9223372036854775808.0L && x < 9223372036854775808.0L; }

bool textToBoolean(std::string_view s, bool& out) {
  std::string t = Trim(s);
  if (SameText(t, "true")) {
    out = true;
    return true;
  }
  if (SameText(t, "false")) {
    out = false;
    return true;
  }
  double d = 0;
  if (TryStrToFloat(t, d)) {
    out = d != 0;
    return true;
  }
  return false;
}

[[noreturn]] void notAnArray() { throw EVariantError("Variant is not an array"); }
[[noreturn]] void outOfBounds() { throw EVariantError("Variant or safe array index out of bounds"); }

}  // namespace

std::string VarTypeAsText(uint16_t varType) {
  std::string prefix;
  if (varType & varByRef) prefix += "ByRef ";
  if (varType & varArray) prefix += "Array ";
  switch (varType & varTypeMask) {
    case varEmpty: return prefix + "Empty";
    case varNull: return prefix + "Null";
    case varSmallint: return prefix + "Smallint";
    case varInteger: return prefix + "Integer";
    case varSingle: return prefix + "Single";
    case varDouble: return prefix + "Double";
    case varCurrency: return prefix + "Currency";
    case varDate: return prefix + "Date";
    case varOleStr: return prefix + "OleStr";
    case varDispatch: return prefix + "Dispatch";
    case varError: return prefix + "Error";
    case varBoolean: return prefix + "Boolean";
    case varVariant: return prefix + "Variant";
    case varUnknown: return prefix + "Unknown";
    case varShortInt: return prefix + "ShortInt";
    case varByte: return prefix + "Byte";
    case varWord: return prefix + "Word";
    case varLongWord: return prefix + "LongWord";
    case varInt64: return prefix + "Int64";
    case varString: return prefix + "String";
    default: return prefix + "$" + IntToHex(varType & varTypeMask, 4);
  }
}

// ---------------------------------------------------------------- life cycle

HostVariant::HostVariant() noexcept : Int_(0) {}

HostVariant::HostVariant(const HostVariant& other)
    : VType_(other.VType_), Int_(other.Int_), Str_(other.Str_), WStr_(other.WStr_) {
  if (other.Arr_) Arr_ = std::make_unique<ArrayData>(*other.Arr_);
}

HostVariant::HostVariant(HostVariant&& other) noexcept
    : VType_(other.VType_),
      Int_(other.Int_),
      Str_(std::move(other.Str_)),
      WStr_(std::move(other.WStr_)),
      Arr_(std::move(other.Arr_)) {
  other.clear();
}

HostVariant& HostVariant::operator=(const HostVariant& other) {
  if (this != &other) {
    HostVariant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

HostVariant& HostVariant::operator=(HostVariant&& other) noexcept {
  if (this != &other) {
    VType_ = other.VType_;
    Int_ = other.Int_;
    Str_ = std::move(other.Str_);
    WStr_ = std::move(other.WStr_);
    Arr_ = std::move(other.Arr_);
    other.clear();
  }
  return *this;
}

HostVariant::~HostVariant() = default;

void HostVariant::clear() noexcept {
  VType_ = varEmpty;
  Int_ = 0;
  Str_.clear();
  WStr_.clear();
  Arr_.reset();
}

HostVariant::HostVariant(int8_t v) : VType_(varShortInt), Int_(v) {}
HostVariant::HostVariant(uint8_t v) : VType_(varByte), Int_(v) {}
HostVariant::HostVariant(int16_t v) : VType_(varSmallint), Int_(v) {}
HostVariant::HostVariant(uint16_t v) : VType_(varWord), Int_(v) {}
HostVariant::HostVariant(int32_t v) : VType_(varInteger), Int_(v) {}
HostVariant::HostVariant(uint32_t v) : VType_(varLongWord), Int_(v) {}
HostVariant::HostVariant(long v) : VType_(varInt64), Int_(v) {}
HostVariant::HostVariant(long long v) : VType_(varInt64), Int_(v) {}
HostVariant::HostVariant(unsigned long v) : HostVariant(static_cast<unsigned long long>(v)) {}
HostVariant::HostVariant(unsigned long long v) : VType_(varInt64), Int_(0) {
  if (v > static_cast<unsigned long long>(INT64_MAX))
    throw EVariantError("Overflow while converting variant of type (LongWord) into type (Int64)");
  Int_ = static_cast<int64_t>(v);
}
HostVariant::HostVariant(float v) : VType_(varSingle), Int_(0) { Sgl_ = v; }
HostVariant::HostVariant(double v) : VType_(varDouble), Dbl_(v) {}
HostVariant::HostVariant(bool v) : VType_(varBoolean), Int_(v ? 1 : 0) {}
HostVariant::HostVariant(char v) : VType_(varString), Int_(0), Str_(1, v) {}
HostVariant::HostVariant(const char* v) : VType_(varString), Int_(0), Str_(v ? v : "") {}
HostVariant::HostVariant(std::string v) : VType_(varString), Int_(0), Str_(std::move(v)) {}
HostVariant::HostVariant(std::string_view v) : VType_(varString), Int_(0), Str_(v) {}
HostVariant::HostVariant(std::u16string v) : VType_(varOleStr), Int_(0), WStr_(std::move(v)) {}
HostVariant::HostVariant(const char16_t* v) : VType_(varOleStr), Int_(0), WStr_(v ? v : u"") {}

HostVariant HostVariant::Null() {
  HostVariant v;
  v.VType_ = varNull;
  return v;
}

HostVariant HostVariant::FromCurrency(int64_t scaled) {
  HostVariant v;
  v.VType_ = varCurrency;
  v.Int_ = scaled;
  return v;
}

HostVariant HostVariant::FromDateTime(double dateTime) {
  HostVariant v(dateTime);
  v.VType_ = varDate;
  return v;
}

// ---------------------------------------------------------------- conversions

void HostVariant::castError(uint16_t to) const {
  throw EVariantError("Could not convert variant of type (" + VarTypeAsText(VType_) + ") into type (" +
                      VarTypeAsText(to) + ")");
}

void HostVariant::overflowError(uint16_t to) const {
  throw EVariantError("Overflow while converting variant of type (" + VarTypeAsText(VType_) +
                      ") into type (" + VarTypeAsText(to) + ")");
}

long double HostVariant::numberValue(uint16_t to) const {
  if (isIntegerType(VType_)) return static_cast<long double>(Int_);
  switch (VType_) {
    case varEmpty:
      return 0;
    case varBoolean:
      return Int_ ? -1 : 0;
    case varSingle:
      return Sgl_;
    case varDouble:
    case varDate:
      return Dbl_;
    case varCurrency:
      return static_cast<long double>(Int_) / 10000.0L;
    case varString:
    case varOleStr: {
      std::string s = VType_ == varString ? Str_ : Utf16ToCp1252(WStr_);
      int64_t i = 0;
      if (TryStrToInt64(s, i)) return static_cast<long double>(i);
      double d = 0;
      if (TryStrToFloat(s, d)) return d;
      castError(to);
    }
    default:
      castError(to);
  }
}

int64_t HostVariant::toInt64(uint16_t to) const {
  if (isIntegerType(VType_)) return Int_;
  if (VType_ == varBoolean) return Int_ ? -1 : 0;
  if (VType_ == varCurrency) {
    // Exact: the currency's whole units, rounded half to even.
    int64_t q = Int_ / 10000, r = Int_ % 10000;
    if (r > 5000 || (r == 5000 && (q & 1))) ++q;
    if (r < -5000 || (r == -5000 && (q & 1))) --q;
    return q;
  }
  if (isTextType(VType_)) {
    int64_t i = 0;
    if (TryStrToInt64(VType_ == varString ? Str_ : Utf16ToCp1252(WStr_), i)) return i;
  }
  long double x = numberValue(to);
  if (!std::isfinite(x)) overflowError(to);
  x = roundEven(x);
  if (!fitsInt64(x)) overflowError(to);
  return static_cast<int64_t>(x);
}

int64_t HostVariant::AsInt64() const { return toInt64(varInt64); }

int32_t HostVariant::AsInteger() const {
  int64_t v = toInt64(varInteger);
  if (v < INT32_MIN || v > INT32_MAX) overflowError(varInteger);
  return static_cast<int32_t>(v);
}

double HostVariant::AsDouble() const {
  if (VType_ == varSingle) return Sgl_;
  if (VType_ == varDouble || VType_ == varDate) return Dbl_;
  if (VType_ == varCurrency) return CurrToFloat(Int_);
  return static_cast<double>(numberValue(varDouble));
}

double HostVariant::AsDateTime() const {
  if (isTextType(VType_)) {
    double d = 0;
    if (TryStrToDateTime(VType_ == varString ? Str_ : Utf16ToCp1252(WStr_), d)) return d;
    castError(varDate);
  }
  return static_cast<double>(numberValue(varDate));
}

bool HostVariant::AsBoolean() const {
  if (isTextType(VType_)) {
    bool b = false;
    if (textToBoolean(VType_ == varString ? Str_ : Utf16ToCp1252(WStr_), b)) return b;
    castError(varBoolean);
  }
  long double x = numberValue(varBoolean);
  return x != 0;
}

int64_t HostVariant::AsCurrency() const {
  if (VType_ == varCurrency) return Int_;
  if (isIntegerType(VType_) || VType_ == varBoolean) {
    int64_t v = VType_ == varBoolean ? (Int_ ? -1 : 0) : Int_;
    if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000) overflowError(varCurrency);
    return v * 10000;
  }
  if (isTextType(VType_)) {
    int64_t c = 0;
    if (TryStrToCurr(VType_ == varString ? Str_ : Utf16ToCp1252(WStr_), c)) return c;
    castError(varCurrency);
  }
  long double x = numberValue(varCurrency) * 10000.0L;
  if (!std::isfinite(x)) overflowError(varCurrency);
  x = std::round(x);
  if (!fitsInt64(x)) overflowError(varCurrency);
  return static_cast<int64_t>(x);
}

std::string HostVariant::AsString() const {
  if (isIntegerType(VType_)) return IntToStr(Int_);
  switch (VType_) {
    case varEmpty:
    case varNull:
      return std::string();
    case varString:
      return Str_;
    case varOleStr:
      return Utf16ToCp1252(WStr_);
    case varBoolean:
      return Int_ ? "True" : "False";
    case varSingle:
      return FloatToStrF(Sgl_, FloatFormat::ffGeneral, 7, 0);
    case varDouble:
      return FloatToStr(Dbl_);
    case varCurrency:
      return CurrToStr(Int_);
    case varDate:
      return DateTimeToStr(Dbl_);
    default:
      castError(varString);
  }
}

std::u16string HostVariant::AsWideString() const {
  if (VType_ == varOleStr) return WStr_;
  if (IsArray()) castError(varOleStr);
  return Cp1252ToUtf16(AsString());
}

HostVariant HostVariant::AsType(uint16_t varType) const {
  if (varType == VType_) return *this;
  auto ranged = [this](uint16_t to, int64_t lo, int64_t hi) {
    int64_t v = toInt64(to);
    if (v < lo || v > hi) overflowError(to);
    return v;
  };
  if (VType_ == varNull && varType != varVariant) castError(varType);
  switch (varType) {
    case varEmpty:
      return HostVariant();
    case varNull:
      return Null();
    case varVariant:
      return *this;
    case varShortInt:
      return HostVariant(static_cast<int8_t>(ranged(varType, INT8_MIN, INT8_MAX)));
    case varByte:
      return HostVariant(static_cast<uint8_t>(ranged(varType, 0, UINT8_MAX)));
    case varSmallint:
      return HostVariant(static_cast<int16_t>(ranged(varType, INT16_MIN, INT16_MAX)));
    case varWord:
      return HostVariant(static_cast<uint16_t>(ranged(varType, 0, UINT16_MAX)));
    case varInteger:
      return HostVariant(AsInteger());
    case varLongWord:
      return HostVariant(static_cast<uint32_t>(ranged(varType, 0, UINT32_MAX)));
    case varInt64:
      return HostVariant(static_cast<long long>(AsInt64()));
    case varSingle: {
      double d = AsDouble();
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) overflowError(varSingle);
      return HostVariant(static_cast<float>(d));
    }
    case varDouble:
      return HostVariant(AsDouble());
    case varCurrency:
      return FromCurrency(AsCurrency());
    case varDate:
      return FromDateTime(AsDateTime());
    case varBoolean:
      return HostVariant(AsBoolean());
    case varString:
      if (IsArray()) castError(varType);
      return HostVariant(AsString());
    case varOleStr:
      return HostVariant(AsWideString());
    default:
      castError(varType);
  }
}

// ---------------------------------------------------------------- arrays

HostVariant HostVariant::CreateArray(std::initializer_list<int32_t> bounds, uint16_t elementType) {
  return CreateArray(std::vector<int32_t>(bounds), elementType);
}

HostVariant HostVariant::CreateArray(const std::vector<int32_t>& bounds, uint16_t elementType) {
  switch (elementType) {
    case varEmpty:
    case varNull:
    case varDispatch:
    case varError:
    case varUnknown:
      throw EVariantError("Invalid variant type");
    default:
      if (elementType != varVariant && !isNumericType(elementType) && !isTextType(elementType))
        throw EVariantError("Invalid variant type");
  }
  if (bounds.empty() || bounds.size() % 2 != 0)
    throw EVariantError("Error creating variant or safe array");
  auto data = std::make_unique<ArrayData>();
  data->ElemType = elementType;
  size_t total = 1;
  for (size_t k = 0; k < bounds.size(); k += 2) {
    int64_t count = static_cast<int64_t>(bounds[k + 1]) - bounds[k] + 1;
    if (count < 0) throw EVariantError("Error creating variant or safe array");
    if (count > 0 && total > kMaxArrayElements / static_cast<size_t>(count))
      throw EVariantError("Error creating variant or safe array");
    total *= static_cast<size_t>(count);
    data->Bounds.emplace_back(bounds[k], bounds[k + 1]);
  }
  HostVariant initial = elementType == varVariant ? HostVariant() : HostVariant(int32_t{0}).AsType(elementType);
  data->Elems.assign(total, initial);
  HostVariant v;
  v.VType_ = static_cast<uint16_t>(varArray | elementType);
  v.Arr_ = std::move(data);
  return v;
}

HostVariant HostVariant::ArrayOf(std::initializer_list<HostVariant> values) {
  return ArrayOf(std::vector<HostVariant>(values));
}

HostVariant HostVariant::ArrayOf(const std::vector<HostVariant>& values) {
  if (values.size() > kMaxArrayElements) throw EVariantError("Error creating variant or safe array");
  HostVariant v = CreateArray({0, static_cast<int32_t>(values.size()) - 1}, varVariant);
  v.Arr_->Elems = values;
  return v;
}

const HostVariant::ArrayData& HostVariant::array() const {
  if (!IsArray() || !Arr_) notAnArray();
  return *Arr_;
}

int32_t HostVariant::ArrayDimCount() const {
  return IsArray() && Arr_ ? static_cast<int32_t>(Arr_->Bounds.size()) : 0;
}

int32_t HostVariant::ArrayLowBound(int32_t dim) const {
  const ArrayData& a = array();
  if (dim < 1 || dim > static_cast<int32_t>(a.Bounds.size())) outOfBounds();
  return a.Bounds[static_cast<size_t>(dim - 1)].first;
}

int32_t HostVariant::ArrayHighBound(int32_t dim) const {
  const ArrayData& a = array();
  if (dim < 1 || dim > static_cast<int32_t>(a.Bounds.size())) outOfBounds();
  return a.Bounds[static_cast<size_t>(dim - 1)].second;
}

size_t HostVariant::flatIndex(const std::vector<int32_t>& indices) const {
  const ArrayData& a = array();
  if (indices.size() != a.Bounds.size()) outOfBounds();
  size_t flat = 0;
  for (size_t k = 0; k < indices.size(); ++k) {
    auto [lo, hi] = a.Bounds[k];
    if (indices[k] < lo || indices[k] > hi) outOfBounds();
    size_t count = static_cast<size_t>(static_cast<int64_t>(hi) - lo + 1);
    flat = flat * count + static_cast<size_t>(static_cast<int64_t>(indices[k]) - lo);
  }
  return flat;
}

HostVariant HostVariant::GetElement(std::initializer_list<int32_t> indices) const {
  return GetElement(std::vector<int32_t>(indices));
}

HostVariant HostVariant::GetElement(const std::vector<int32_t>& indices) const {
  return array().Elems[flatIndex(indices)];
}

void HostVariant::PutElement(std::initializer_list<int32_t> indices, const HostVariant& value) {
  PutElement(std::vector<int32_t>(indices), value);
}

void HostVariant::PutElement(const std::vector<int32_t>& indices, const HostVariant& value) {
  size_t k = flatIndex(indices);
  // Convert first, so a failed conversion leaves the element as it was. An
  // array may hold itself only as a copy.
  HostVariant stored = Arr_->ElemType == varVariant ? value : value.AsType(Arr_->ElemType);
  Arr_->Elems[k] = std::move(stored);
}

// ---------------------------------------------------------------- equality

bool HostVariant::operator==(const HostVariant& other) const {
  const HostVariant& a = *this;
  const HostVariant& b = other;
  if (a.IsArray() || b.IsArray()) {
    if (!a.IsArray() || !b.IsArray()) return false;
    const ArrayData& x = a.array();
    const ArrayData& y = b.array();
    if (x.Bounds != y.Bounds) return false;
    for (size_t k = 0; k < x.Elems.size(); ++k)
      if (x.Elems[k] != y.Elems[k]) return false;
    return true;
  }
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull();
  if (a.IsEmpty() || b.IsEmpty()) {
    const HostVariant& o = a.IsEmpty() ? b : a;
    if (o.IsEmpty()) return true;
    if (isTextType(o.VType_)) return o.VType_ == varString ? o.Str_.empty() : o.WStr_.empty();
    if (isNumericType(o.VType_)) return o.numberValue(varDouble) == 0;
    return false;
  }
  bool aText = isTextType(a.VType_), bText = isTextType(b.VType_);
  if (aText && bText) {
    if (a.VType_ == varString && b.VType_ == varString) return a.Str_ == b.Str_;
    return a.AsWideString() == b.AsWideString();
  }
  if (aText || bText) {
    const HostVariant& text = aText ? a : b;
    const HostVariant& other2 = aText ? b : a;
    if (!isNumericType(other2.VType_)) return false;
    if (other2.VType_ == varBoolean) {
      bool t = false;
      return textToBoolean(text.AsString(), t) && t == (other2.Int_ != 0);
    }
    if (other2.VType_ == varDate) {
      double d = 0;
      if (TryStrToDateTime(text.AsString(), d)) return d == other2.Dbl_;
    }
    std::string s = text.AsString();
    int64_t i = 0;
    if (TryStrToInt64(s, i)) return static_cast<long double>(i) == other2.numberValue(varDouble);
    double d = 0;
    if (TryStrToFloat(s, d)) return static_cast<long double>(d) == other2.numberValue(varDouble);
    return s == other2.AsString();
  }
  if (!isNumericType(a.VType_) || !isNumericType(b.VType_)) return a.VType_ == b.VType_ && a.Int_ == b.Int_;
  if (a.VType_ == varBoolean || b.VType_ == varBoolean) return a.AsBoolean() == b.AsBoolean();
  if (a.VType_ == varCurrency && b.VType_ == varCurrency) return a.Int_ == b.Int_;
  if (isIntegerType(a.VType_) && isIntegerType(b.VType_)) return a.Int_ == b.Int_;
  return a.numberValue(varDouble) == b.numberValue(varDouble);
}

}  // namespace qv
