// What the parts of SysUtils share: the ASCII character rules of the host's
// text routines (a blank is any byte up to ' '; case changes only A-Z/a-z).
#pragma once

#include <string_view>

namespace qv::sysutils {

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

inline std::string_view TrimView(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace qv::sysutils
