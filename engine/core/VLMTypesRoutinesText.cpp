// LIKE matching and the fixed-form date/time text parsers (declared in
// VLMLike.h).
//
// The matcher compiles the pattern into elements (literal, one character,
// any run) and walks value and pattern once, remembering only the most recent
// '%'. When the text after that '%' fails, the '%' takes one more character
// and the walk resumes there; an earlier '%' never needs to be revisited,
// because each stretch between two '%' has a fixed length and the leftmost
// place where it fits leaves the most room for the rest. So the work is at
// most value length times pattern length, with no recursion.
#include <array>
#include <map>
#include <string>
#include <vector>

#include "engine/core/VLMD4Routines.h"
#include "engine/core/VLMLike.h"
#include "engine/core/VLMStrUtils.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace {

enum class LikeKind : uint8_t { Literal, One, Any };

template <class Ch>
struct LikeElement {
  LikeKind Kind;
  Ch C;
};

template <class Ch>
std::basic_string_view<Ch> upToNul(std::basic_string_view<Ch> s) {
  const size_t end = s.find(Ch(0));
  return end == std::basic_string_view<Ch>::npos ? s : s.substr(0, end);
}

template <class Ch>
std::vector<LikeElement<Ch>> compilePattern(std::basic_string_view<Ch> pattern, bool hasEscape, Ch escapeChar) {
  std::vector<LikeElement<Ch>> out;
  out.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    const Ch c = pattern[i];
    if (c == Ch('%')) {
      // Two '%' in a row mean the same as one.
      if (out.empty() || out.back().Kind != LikeKind::Any) out.push_back({LikeKind::Any, c});
    } else if (c == Ch('_')) {
      out.push_back({LikeKind::One, c});
    } else if (hasEscape && c == escapeChar && i + 1 < pattern.size()) {
      out.push_back({LikeKind::Literal, pattern[++i]});
    } else {
      out.push_back({LikeKind::Literal, c});
    }
  }
  return out;
}

template <class Ch, class Equal>
bool matchElements(std::basic_string_view<Ch> value, const std::vector<LikeElement<Ch>>& pattern, Equal equal) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  const size_t nv = value.size();
  const size_t np = pattern.size();
  size_t vi = 0, pi = 0;
  size_t afterStar = kNone;  // pattern index just after the last '%' passed
  size_t starValue = 0;      // value index where that '%' currently stops
  for (;;) {
    if (pi < np && pattern[pi].Kind == LikeKind::Any) {
      afterStar = ++pi;
      starValue = vi;
      continue;
    }
    if (pi == np) {
      if (vi == nv) return true;
    } else if (vi < nv &&
               (pattern[pi].Kind == LikeKind::One || equal(value[vi], pattern[pi].C))) {
      ++pi;
      ++vi;
      continue;
    }
    // Mismatch: let the last '%' swallow one more character.
    if (afterStar == kNone || starValue >= nv) return false;
    vi = ++starValue;
    pi = afterStar;
  }
}

// Equality classes of the 256 bytes under the fixed 1252 collation: two
// characters are equal exactly when their one-character sort keys are.
struct Classes1252 {
  std::array<uint16_t, 256> Id{};
};

Classes1252 buildClasses1252(bool ignoreCase) {
  Classes1252 t;
  std::map<std::string, uint16_t> keys;
  for (int b = 0; b < 256; ++b) {
    const std::string ch(1, static_cast<char>(b));
    auto it = keys.emplace(qv::SortKey1252(ch, ignoreCase), static_cast<uint16_t>(keys.size())).first;
    t.Id[static_cast<size_t>(b)] = it->second;
  }
  return t;
}

const Classes1252& classes1252(bool ignoreCase) {
  static const Classes1252 sensitive = buildClasses1252(false);
  static const Classes1252 insensitive = buildClasses1252(true);
  return ignoreCase ? insensitive : sensitive;
}

}  // namespace

bool VLMMatchLike(std::string_view Value, std::string_view Pattern, bool HasEscape, char EscapeChar,
                  bool CaseInsensitive) {
  const auto elements = compilePattern<char>(upToNul(Pattern), HasEscape, EscapeChar);
  const Classes1252& classes = classes1252(CaseInsensitive);
  return matchElements<char>(upToNul(Value), elements, [&classes](char a, char b) {
    return classes.Id[static_cast<uint8_t>(a)] == classes.Id[static_cast<uint8_t>(b)];
  });
}

bool VLMMatchLikeWide(std::u16string_view Value, std::u16string_view Pattern, bool HasEscape,
                      char16_t EscapeChar, bool CaseInsensitive) {
  const auto elements = compilePattern<char16_t>(upToNul(Pattern), HasEscape, EscapeChar);
  const uint32_t flags = VLM_SORT_STRINGSORT | (CaseInsensitive ? VLM_NORM_IGNORECASE : 0);
  return matchElements<char16_t>(upToNul(Value), elements, [flags](char16_t a, char16_t b) {
    return a == b || VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, flags, &a, 1, &b, 1) == VLM_CSTR_EQUAL;
  });
}

bool VLMReadDigitGroup(std::string_view Text, int32_t Count, uint16_t& Value, int32_t& Pos) {
  const auto len = static_cast<int64_t>(Text.size());
  int64_t pos = Pos;
  int32_t digits = 0;
  uint64_t v = 0;
  while (pos >= 1 && pos <= len && Text[static_cast<size_t>(pos - 1)] >= '0' &&
         Text[static_cast<size_t>(pos - 1)] <= '9') {
    // Beyond 16 digits the group is too long anyway; stop accumulating.
    if (digits < 16) v = v * 10 + static_cast<uint64_t>(Text[static_cast<size_t>(pos - 1)] - '0');
    ++digits;
    ++pos;
  }
  ++pos;  // past the character that ended the group, or past the end
  Pos = pos > INT32_MAX ? INT32_MAX : static_cast<int32_t>(pos);
  if (digits != Count || v > 0xFFFF) return false;
  Value = static_cast<uint16_t>(v);
  return true;
}

namespace {

// Reads the groups of the given widths from position 1; true when all are
// there and at most one character follows the last.
template <size_t N>
bool readGroups(std::string_view text, const std::array<int32_t, N>& widths, std::array<uint16_t, N>& values) {
  int32_t pos = 1;
  for (size_t i = 0; i < N; ++i)
    if (!VLMReadDigitGroup(text, widths[i], values[i], pos)) return false;
  return static_cast<int64_t>(pos) > static_cast<int64_t>(text.size());
}

}  // namespace

bool VLMTryParseDateText(std::string_view Text, double& V) {
  std::array<uint16_t, 3> p{};
  if (!readGroups<3>(Text, {4, 2, 2}, p)) return false;
  V = qv::EncodeDate(p[0], p[1], p[2]);
  return true;
}

bool VLMTryParseTimeText(std::string_view Text, double& V) {
  std::array<uint16_t, 3> p{};
  if (!readGroups<3>(Text, {2, 2, 2}, p)) return false;
  V = qv::EncodeTime(p[0], p[1], p[2], 0);
  return true;
}

bool VLMTryParseDateTimeText(std::string_view Text, double& V) {
  std::array<uint16_t, 6> p{};
  if (!readGroups<6>(Text, {4, 2, 2, 2, 2, 2}, p)) return false;
  V = VLMEncodeDateTime(p[0], p[1], p[2], p[3], p[4], p[5], 0);
  return true;
}
