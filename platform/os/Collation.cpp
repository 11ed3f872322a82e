// Fixed collation and case tables. See Collation.h for the rules.
//
// A text becomes a stream of collation elements, each with three weights
// (primary, secondary, tertiary; 0 = ignorable at that level). Comparison reads
// the non-zero weights of one level from both streams in step and stops at the
// first difference; the end of a stream reads as 0, below every weight, so a
// prefix sorts first. Covered characters take their elements from the table;
// any other code point gets one element with a primary above every covered
// primary (kPrimaryCount + 1 + its lower-case code point), the common
// secondary, and the common or upper-case tertiary. A few pairs of characters
// collate together (a middle dot after 'l', a Cyrillic letter and a combining
// breve); the table lists them with their own elements.
#include "platform/os/Collation.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/os/CollationData.inc"

namespace qv {

namespace {

using collation_data::Element;

struct Weights {
  uint32_t Primary;
  uint8_t Secondary;
  uint8_t Tertiary;
};

// Where a covered code point's elements are; Count 0 for an ignorable one.
struct Span {
  uint16_t Start;
  uint16_t Count;
};

// Index of a covered code point in kCharStart, or -1.
constexpr int32_t CoveredIndex(char32_t c) {
  for (const auto& r : collation_data::kRanges)
    if (c >= r.First && c <= r.Last) return static_cast<int32_t>(r.Base + (c - r.First));
  return -1;
}

constexpr Span SpanOfIndex(int32_t i) {
  return Span{collation_data::kCharStart[i],
              static_cast<uint16_t>(collation_data::kCharStart[i + 1] -
                                    collation_data::kCharStart[i])};
}

// The code point of each 1252 byte (as CodePage.cpp has it, here usable at
// compile time).
constexpr std::array<char16_t, 256> Build1252Chars() {
  constexpr char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::array<char16_t, 256> chars{};
  for (int b = 0; b < 256; ++b)
    chars[b] = b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : static_cast<char16_t>(b);
  return chars;
}
constexpr std::array<char16_t, 256> k1252Chars = Build1252Chars();

// The elements of each 1252 byte, looked up once at compile time.
constexpr std::array<Span, 256> Build1252Spans() {
  std::array<Span, 256> spans{};
  for (int b = 0; b < 256; ++b) {
    int32_t i = CoveredIndex(k1252Chars[b]);
    if (i < 0) throw "every 1252 character must be covered";
    spans[b] = SpanOfIndex(i);
  }
  return spans;
}
constexpr std::array<Span, 256> k1252Spans = Build1252Spans();

// Case runs: binary search for the last run starting at or before c.
char32_t MapCase(const collation_data::CaseRun* runs, size_t count, char32_t c) {
  size_t lo = 0, hi = count;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (runs[mid].First <= c)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0) return c;
  const auto& r = runs[lo - 1];
  char32_t offset = c - r.First;
  if (offset % r.Step != 0 || offset / r.Step >= r.Count) return c;
  return static_cast<char32_t>(static_cast<int64_t>(c) + r.Delta);
}

Weights UncoveredWeights(char32_t c) {
  char32_t lower = LowerCharWide(c);
  return Weights{collation_data::kPrimaryCount + 1 + lower, collation_data::kCommonSecondary,
                 lower != c ? collation_data::kUpperTertiary : collation_data::kCommonTertiary};
}

// The pair rule for a character followed by another, or null.
const collation_data::PairRule* FindPair(char32_t first, char32_t second) {
  for (const auto& p : collation_data::kPairRules)
    if (p.First == first && p.Second == second) return &p;
  return nullptr;
}

// Which 1252 bytes start a pair rule.
constexpr std::array<bool, 256> Build1252PairStarts() {
  std::array<bool, 256> starts{};
  for (int b = 0; b < 256; ++b)
    for (const auto& p : collation_data::kPairRules)
      if (p.First == k1252Chars[b]) starts[b] = true;
  return starts;
}
constexpr std::array<bool, 256> k1252PairStarts = Build1252PairStarts();

// Element stream of 1252 text: every byte is covered.
class Stream1252 {
public:
  explicit Stream1252(std::string_view text) : Text_(text) {}

  bool Next(Weights& w) {
    while (Cur_ == End_) {
      if (Pos_ >= Text_.size()) return false;
      auto b = static_cast<uint8_t>(Text_[Pos_++]);
      const collation_data::PairRule* pair = nullptr;
      if (k1252PairStarts[b] && Pos_ < Text_.size())
        pair = FindPair(k1252Chars[b], k1252Chars[static_cast<uint8_t>(Text_[Pos_])]);
      if (pair) {
        ++Pos_;
        Cur_ = collation_data::kElements + pair->Start;
        End_ = Cur_ + pair->Count;
      } else {
        Span s = k1252Spans[b];
        Cur_ = collation_data::kElements + s.Start;
        End_ = Cur_ + s.Count;
      }
    }
    w = Weights{Cur_->Primary, Cur_->Secondary, Cur_->Tertiary};
    ++Cur_;
    return true;
  }

private:
  std::string_view Text_;
  size_t Pos_ = 0;
  const Element* Cur_ = nullptr;
  const Element* End_ = nullptr;
};

// Element stream of UTF-16 text.
class StreamWide {
public:
  explicit StreamWide(std::u16string_view text) : Text_(text) {}

  bool Next(Weights& w) {
    while (Cur_ == End_) {
      if (HasOwn_) {
        HasOwn_ = false;
        w = Own_;
        return true;
      }
      if (Pos_ >= Text_.size()) return false;
      char32_t c = ReadCodePoint();
      if (Pos_ < Text_.size()) {
        if (const auto* pair = FindPair(c, Text_[Pos_])) {
          ++Pos_;
          Cur_ = collation_data::kElements + pair->Start;
          End_ = Cur_ + pair->Count;
          continue;
        }
      }
      int32_t i = CoveredIndex(c);
      if (i < 0) {
        Own_ = UncoveredWeights(c);
        HasOwn_ = true;
        continue;
      }
      Span s = SpanOfIndex(i);
      Cur_ = collation_data::kElements + s.Start;
      End_ = Cur_ + s.Count;
    }
    w = Weights{Cur_->Primary, Cur_->Secondary, Cur_->Tertiary};
    ++Cur_;
    return true;
  }

private:
  char32_t ReadCodePoint() {
    char32_t c = Text_[Pos_++];
    if (c >= 0xD800 && c <= 0xDBFF && Pos_ < Text_.size() && Text_[Pos_] >= 0xDC00 &&
        Text_[Pos_] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (Text_[Pos_] - 0xDC00);
      ++Pos_;
    }
    return c;
  }

  std::u16string_view Text_;
  size_t Pos_ = 0;
  const Element* Cur_ = nullptr;
  const Element* End_ = nullptr;
  Weights Own_{};
  bool HasOwn_ = false;
};

// The next non-zero weight of a level (1-3), or 0 at the end.
template <class S>
uint32_t NextWeight(S& s, int level) {
  Weights w;
  while (s.Next(w)) {
    uint32_t v = level == 1 ? w.Primary : level == 2 ? w.Secondary : w.Tertiary;
    if (v != 0) return v;
  }
  return 0;
}

// Where two texts' comparison may start: both give the same elements for
// the code units they share, so those can be skipped, all but the last
// one. That one is read again because it may combine with the next unit,
// which differs (a letter that pairs with the next character, the first
// half of a surrogate pair). Reading it afresh is safe also when it was
// itself the second half of a pair: it is then no character that combines
// with a following one, and both texts read it alike.
template <class T>
size_t SharedStart(const T& a, const T& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i > 0 ? i - 1 : 0;
}

// The primary weight of each 1252 byte that is one collation element with a
// non-zero primary and starts no pair, else 0. A run of such bytes gives
// exactly one primary per byte, so two texts made of them are ordered at the
// first level by their first differing byte's primary.
constexpr std::array<uint16_t, 256> Build1252SimplePrimaries() {
  std::array<uint16_t, 256> primaries{};
  for (int b = 0; b < 256; ++b) {
    const Span s = k1252Spans[b];
    if (k1252PairStarts[b] || s.Count != 1) continue;
    primaries[b] = collation_data::kElements[s.Start].Primary;
  }
  return primaries;
}
constexpr std::array<uint16_t, 256> k1252SimplePrimaries = Build1252SimplePrimaries();

// The first level's answer for two 1252 texts read as far as both are made
// of single-primary bytes: -1 or 1 where that decides the order, 0 where the
// full comparison has to (equal primaries throughout, or a byte of another
// kind reached first). Most keys differ in their first letters, so most
// comparisons end here.
int CompareSimplePrimaries(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  for (; i < n; ++i) {
    const uint16_t pa = k1252SimplePrimaries[static_cast<uint8_t>(a[i])];
    const uint16_t pb = k1252SimplePrimaries[static_cast<uint8_t>(b[i])];
    if (pa == 0 || pb == 0) return 0;
    if (pa != pb) return pa < pb ? -1 : 1;
  }
  // One text ended: its level ends with 0, below the other's next primary
  // when that comes from a single-primary byte.
  if (i < a.size() && k1252SimplePrimaries[static_cast<uint8_t>(a[i])] != 0) return 1;
  if (i < b.size() && k1252SimplePrimaries[static_cast<uint8_t>(b[i])] != 0) return -1;
  return 0;
}

template <class S, class T>
int CompareTexts(const T& a, const T& b, bool ignoreCase) {
  if (a == b) return 0;
  const size_t from = SharedStart(a, b);
  int levels = ignoreCase ? 2 : 3;
  for (int level = 1; level <= levels; ++level) {
    S sa(a.substr(from)), sb(b.substr(from));
    for (;;) {
      uint32_t wa = NextWeight(sa, level);
      uint32_t wb = NextWeight(sb, level);
      if (wa != wb) return wa < wb ? -1 : 1;
      if (wa == 0) break;
    }
  }
  return 0;
}

template <class S, class T>
int CompareBaseLetters(const T& a, const T& b, size_t weights) {
  if (a == b) return 0;
  S sa(a), sb(b);
  for (size_t n = 0; n < weights; ++n) {
    const uint32_t wa = NextWeight(sa, 1);
    const uint32_t wb = NextWeight(sb, 1);
    if (wa != wb) return wa < wb ? -1 : 1;
    if (wa == 0) break;
  }
  return 0;
}

// Primaries go into the key as three base-255 digits, each plus 1, so no
// weight byte is 0 and the 0 that ends a level sorts below any weight.
template <class S, class T>
std::string MakeSortKey(const T& text, bool ignoreCase) {
  std::string key;
  int levels = ignoreCase ? 2 : 3;
  for (int level = 1; level <= levels; ++level) {
    if (level > 1) key += '\0';
    S s(text);
    for (uint32_t w; (w = NextWeight(s, level)) != 0;) {
      if (level == 1) {
        key += static_cast<char>(w / (255 * 255) + 1);
        key += static_cast<char>(w / 255 % 255 + 1);
        key += static_cast<char>(w % 255 + 1);
      } else {
        key += static_cast<char>(w);  // secondary and tertiary ranks are 1..254
      }
    }
  }
  return key;
}

static_assert(collation_data::kSecondaryCount < 255 && collation_data::kTertiaryCount < 255);
static_assert(collation_data::kPrimaryCount + 2 + 0x10FFFF < 255u * 255u * 255u);

}  // namespace

int CompareText1252(std::string_view a, std::string_view b, bool ignoreCase) {
  if (const int r = CompareSimplePrimaries(a, b); r != 0) return r;
  return CompareTexts<Stream1252>(a, b, ignoreCase);
}

int CompareTextWide(std::u16string_view a, std::u16string_view b, bool ignoreCase) {
  return CompareTexts<StreamWide>(a, b, ignoreCase);
}

int CompareBaseLetters1252(std::string_view a, std::string_view b, size_t weights) {
  return CompareBaseLetters<Stream1252>(a, b, weights);
}

int CompareBaseLettersWide(std::u16string_view a, std::u16string_view b, size_t weights) {
  return CompareBaseLetters<StreamWide>(a, b, weights);
}

std::string SortKey1252(std::string_view text, bool ignoreCase) {
  return MakeSortKey<Stream1252>(text, ignoreCase);
}

std::string SortKeyWide(std::u16string_view text, bool ignoreCase) {
  return MakeSortKey<StreamWide>(text, ignoreCase);
}

char UpperChar1252(char c) {
  return static_cast<char>(collation_data::kUpper1252[static_cast<uint8_t>(c)]);
}

char LowerChar1252(char c) {
  return static_cast<char>(collation_data::kLower1252[static_cast<uint8_t>(c)]);
}

std::string UpperCase1252(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperChar1252(c);
  return out;
}

std::string LowerCase1252(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerChar1252(c);
  return out;
}

char32_t UpperCharWide(char32_t c) {
  return MapCase(collation_data::kUpperRuns, std::size(collation_data::kUpperRuns), c);
}

char32_t LowerCharWide(char32_t c) {
  return MapCase(collation_data::kLowerRuns, std::size(collation_data::kLowerRuns), c);
}

namespace {

// Maps every code point of UTF-16 text; the mapping never leaves the BMP or
// the supplementary planes, so the length stays. Unpaired surrogates stay.
template <char32_t (*Map)(char32_t)>
std::u16string MapWide(std::u16string_view text) {
  std::u16string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    char32_t c = out[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 &&
        out[i + 1] <= 0xDFFF) {
      char32_t full = 0x10000 + ((c - 0xD800) << 10) + (out[i + 1] - 0xDC00);
      char32_t m = Map(full) - 0x10000;
      out[i] = static_cast<char16_t>(0xD800 + (m >> 10));
      out[i + 1] = static_cast<char16_t>(0xDC00 + (m & 0x3FF));
      ++i;
    } else if (c < 0xD800 || c > 0xDFFF) {
      out[i] = static_cast<char16_t>(Map(c));
    }
  }
  return out;
}

}  // namespace

std::u16string UpperCaseWide(std::u16string_view text) { return MapWide<UpperCharWide>(text); }

std::u16string LowerCaseWide(std::u16string_view text) { return MapWide<LowerCharWide>(text); }

}  // namespace qv
