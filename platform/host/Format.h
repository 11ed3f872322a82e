// format(): the host class library's format routine, typed.
//
// Directives: "%" [index ":"] ["-"] [width] ["." precision] type, where width and
// precision may be "*" (taken from the argument list), and type is one of
// d u e f g n m p s x (case-insensitive); "%%" is a percent sign.
//   d  signed integer; precision = minimum digits, zero-padded ("%.5d" -> 02011)
//   u  unsigned integer (a negative int is shown as its 32-bit two's complement)
//   x  hexadecimal, upper case; precision = minimum digits
//   e  scientific "-d.ddd...E+ddd", precision = significant digits (default 15)
//   f  fixed, precision = decimals (default 2)
//   g  general, precision = significant digits (default 15), shortest form
//   n  like f with thousand separators
//   m  money (currency format of FormatSettings)
//   p  pointer, 8 (or 16) hex digits
//   s  text; precision = maximum characters
// A missing argument, or one whose kind does not fit its directive, raises
// EConvertError (the engine's exception relies on that to fall back to its
// "Arguments are invalid!" text).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace qv {

class FormatArg {
public:
  enum class Kind : uint8_t { Int, UInt, Float, String, Pointer };

  FormatArg(int v) : Kind_(Kind::Int), Int_(v) {}
  FormatArg(long v) : Kind_(Kind::Int), Int_(v) {}
  FormatArg(long long v) : Kind_(Kind::Int), Int_(v) {}
  FormatArg(unsigned v) : Kind_(Kind::UInt), UInt_(v) {}
  FormatArg(unsigned long v) : Kind_(Kind::UInt), UInt_(v) {}
  FormatArg(unsigned long long v) : Kind_(Kind::UInt), UInt_(v) {}
  FormatArg(double v) : Kind_(Kind::Float), Float_(v) {}
  FormatArg(long double v) : Kind_(Kind::Float), Float_(v) {}
  FormatArg(const char* v) : Kind_(Kind::String), Str_(v ? v : "") {}
  FormatArg(const std::string& v) : Kind_(Kind::String), Str_(v) {}
  FormatArg(std::string_view v) : Kind_(Kind::String), Str_(v) {}
  FormatArg(const void* v) : Kind_(Kind::Pointer), Ptr_(v) {}
  FormatArg(bool) = delete;  // the host routine has no Boolean directive
  FormatArg(char) = delete;  // ambiguous: say a string or a number

  Kind kind() const { return Kind_; }
  int64_t asInt() const { return Int_; }
  uint64_t asUInt() const { return UInt_; }
  long double asFloat() const { return Float_; }
  std::string_view asString() const { return Str_; }
  const void* asPointer() const { return Ptr_; }

private:
  Kind Kind_;
  union {
    int64_t Int_;
    uint64_t UInt_;
    long double Float_;
    const void* Ptr_;
  };
  std::string_view Str_;
};

std::string format(std::string_view fmt, std::span<const FormatArg> args);
inline std::string format(std::string_view fmt, std::initializer_list<FormatArg> args) {
  return format(fmt, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace qv
