// format(): walks the format string once, taking arguments in order (or from an
// explicit "index:"), and converts each directive with the host's rules. Any
// problem with the format string or the arguments raises EConvertError with
// the format string in the message; nothing is written half-way.
#include "platform/host/Format.h"

#include <charconv>
#include <cstdint>

#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"

namespace qv {

namespace {

[[noreturn]] void formatError(std::string_view fmt) {
  throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

std::string unsignedDigits(uint64_t v, int base) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v, base);
  std::string s(buf, r.ptr);
  if (base == 16)
    for (char& c : s)
      if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// A negative signed value shown as unsigned takes the width of a 32-bit
// Integer when it fits one (the host passes Integer arguments as 32 bits),
// otherwise the 64-bit two's complement.
uint64_t asUnsigned(const FormatArg& a) {
  if (a.kind() == FormatArg::Kind::UInt) return a.asUInt();
  int64_t v = a.asInt();
  if (v < 0 && v >= INT32_MIN) return static_cast<uint32_t>(static_cast<int32_t>(v));
  return static_cast<uint64_t>(v);
}

void padLeftZeros(std::string& digits, int32_t minDigits) {
  if (minDigits > 0 && digits.size() < static_cast<size_t>(minDigits))
    digits.insert(0, static_cast<size_t>(minDigits) - digits.size(), '0');
}

class Formatter {
public:
  Formatter(std::string_view fmt, std::span<const FormatArg> args) : Fmt_(fmt), Args_(args) {}

  std::string run() {
    std::string out;
    size_t i = 0;
    while (i < Fmt_.size()) {
      char c = Fmt_[i];
      if (c != '%') {
        out.push_back(c);
        ++i;
        continue;
      }
      ++i;
      if (i >= Fmt_.size()) formatError(Fmt_);
      if (Fmt_[i] == '%') {
        out.push_back('%');
        ++i;
        continue;
      }
      out += directive(i);
    }
    return out;
  }

private:
  const FormatArg& nextArg() {
    if (ArgIndex_ >= Args_.size()) formatError(Fmt_);
    return Args_[ArgIndex_++];
  }

  // Reads digits or '*' (an Int argument). Returns -1 when neither is there.
  int64_t readNumber(size_t& i) {
    if (i < Fmt_.size() && Fmt_[i] == '*') {
      ++i;
      const FormatArg& a = nextArg();
      if (a.kind() == FormatArg::Kind::Int) return a.asInt();
      if (a.kind() == FormatArg::Kind::UInt && a.asUInt() <= INT32_MAX)
        return static_cast<int64_t>(a.asUInt());
      formatError(Fmt_);
    }
    if (i >= Fmt_.size() || Fmt_[i] < '0' || Fmt_[i] > '9') return -1;
    int64_t n = 0;
    while (i < Fmt_.size() && Fmt_[i] >= '0' && Fmt_[i] <= '9') {
      n = n * 10 + (Fmt_[i] - '0');
      if (n > 1000000) formatError(Fmt_);  // no sane width or precision is this large
      ++i;
    }
    return n;
  }

  // i points just after '%'; on return it points after the type letter.
  std::string directive(size_t& i) {
    // An optional "index:" first; a number without ':' is the width.
    bool left = false;
    int64_t n = -1;
    if (i < Fmt_.size() && Fmt_[i] == '-') {
      left = true;
      ++i;
      n = readNumber(i);
    } else {
      n = readNumber(i);
      if (i < Fmt_.size() && Fmt_[i] == ':') {
        if (n < 0) formatError(Fmt_);
        ArgIndex_ = static_cast<size_t>(n);
        ++i;
        if (i < Fmt_.size() && Fmt_[i] == '-') {
          left = true;
          ++i;
        }
        n = readNumber(i);
      }
    }
    int64_t width = n < 0 ? 0 : n;
    int64_t prec = -1;
    if (i < Fmt_.size() && Fmt_[i] == '.') {
      ++i;
      prec = readNumber(i);
      if (prec < 0) prec = -1;
    }
    if (i >= Fmt_.size()) formatError(Fmt_);
    char type = Fmt_[i++];
    if (type >= 'a' && type <= 'z') type = static_cast<char>(type - 'a' + 'A');

    std::string s = convert(type, prec);
    if (width > 0 && s.size() < static_cast<size_t>(width)) {
      size_t pad = static_cast<size_t>(width) - s.size();
      if (left)
        s.append(pad, ' ');
      else
        s.insert(0, pad, ' ');
    }
    return s;
  }

  std::string convert(char type, int64_t prec) {
    int32_t p = prec > 1000 ? 1000 : static_cast<int32_t>(prec);
    switch (type) {
      case 'D': {
        const FormatArg& a = nextArg();
        bool negative = false;
        uint64_t mag = 0;
        if (a.kind() == FormatArg::Kind::Int) {
          int64_t v = a.asInt();
          negative = v < 0;
          mag = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        } else if (a.kind() == FormatArg::Kind::UInt) {
          mag = a.asUInt();
        } else {
          formatError(Fmt_);
        }
        std::string digits = unsignedDigits(mag, 10);
        padLeftZeros(digits, p);
        return negative ? "-" + digits : digits;
      }
      case 'U':
      case 'X': {
        const FormatArg& a = nextArg();
        if (a.kind() != FormatArg::Kind::Int && a.kind() != FormatArg::Kind::UInt) formatError(Fmt_);
        std::string digits = unsignedDigits(asUnsigned(a), type == 'X' ? 16 : 10);
        padLeftZeros(digits, p);
        return digits;
      }
      case 'E':
      case 'F':
      case 'G':
      case 'N':
      case 'M': {
        const FormatArg& a = nextArg();
        if (a.kind() != FormatArg::Kind::Float) formatError(Fmt_);
        long double v = a.asFloat();
        switch (type) {
          case 'E':
            return FloatToStrF(v, FloatFormat::ffExponent, p < 0 ? 15 : p, 3);
          case 'F':
            return FloatToStrF(v, FloatFormat::ffFixed, 18, p < 0 ? 2 : p);
          case 'G':
            return FloatToStrF(v, FloatFormat::ffGeneral, p < 0 ? 15 : p, 0);
          case 'N':
            return FloatToStrF(v, FloatFormat::ffNumber, 18, p < 0 ? 2 : p);
          default:
            return FloatToStrF(v, FloatFormat::ffCurrency, 18, p < 0 ? FormatSettings::CurrencyDecimals : p);
        }
      }
      case 'P': {
        const FormatArg& a = nextArg();
        if (a.kind() != FormatArg::Kind::Pointer) formatError(Fmt_);
        std::string digits = unsignedDigits(reinterpret_cast<uintptr_t>(a.asPointer()), 16);
        padLeftZeros(digits, static_cast<int32_t>(sizeof(void*) * 2));
        return digits;
      }
      case 'S': {
        const FormatArg& a = nextArg();
        if (a.kind() != FormatArg::Kind::String) formatError(Fmt_);
        std::string_view s = a.asString();
        if (p >= 0 && s.size() > static_cast<size_t>(p)) s = s.substr(0, static_cast<size_t>(p));
        return std::string(s);
      }
      default:
        formatError(Fmt_);
    }
  }

  std::string_view Fmt_;
  std::span<const FormatArg> Args_;
  size_t ArgIndex_ = 0;
};

}  // namespace

std::string format(std::string_view fmt, std::span<const FormatArg> args) {
  return Formatter(fmt, args).run();
}

}  // namespace qv
