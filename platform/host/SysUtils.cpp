// The host's text routines (ASCII rules). Numbers are in SysUtilsFormat.cpp
// (to text) and SysUtilsConvert.cpp (from text), dates in SysUtilsDates.cpp.
#include "platform/host/SysUtils.h"

#include "platform/host/SysUtilsAscii.h"

namespace qv {

std::string Trim(std::string_view s) { return std::string(sysutils::TrimView(s)); }

std::string TrimLeft(std::string_view s) {
  size_t a = 0;
  while (a < s.size() && sysutils::IsBlank(s[a])) ++a;
  return std::string(s.substr(a));
}

std::string TrimRight(std::string_view s) {
  size_t b = s.size();
  while (b > 0 && sysutils::IsBlank(s[b - 1])) --b;
  return std::string(s.substr(0, b));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = sysutils::UpperAscii(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = sysutils::LowerAscii(c);
  return r;
}

int32_t CompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(sysutils::UpperAscii(a[i]));
    auto cb = static_cast<unsigned char>(sysutils::UpperAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareText(a, b) == 0; }

int32_t CompareStr(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string QuotedStr(std::string_view s) {
  std::string r = "'";
  for (char c : s) {
    r.push_back(c);
    if (c == '\'') r.push_back('\'');
  }
  r.push_back('\'');
  return r;
}

}  // namespace qv
