// Checks platform/os/Collation.cpp (with the committed CollationData.inc)
// against ICU's root collation on random texts: the sign of every comparison,
// case-sensitive (tertiary strength) and case-insensitive (secondary strength),
// and that sort keys order as the comparison does. Run by hand after making
// the tables again (needs libicu-dev), from the repository root:
//
//   g++ -std=c++20 -O2 -I. tools/collation/verify_collation.cpp platform/os/Collation.cpp
//       platform/os/CodePage.cpp -o /tmp/verify_collation
//       $(pkg-config --cflags --libs icu-i18n icu-uc)     (one command line)
//   /tmp/verify_collation [pairs [longest text [seed]]]
//
// Texts are drawn from the covered characters; combining marks appear at most
// once in a row (sequences of several marks are canonically reordered by ICU,
// which the per-character tables do not do).
#include <unicode/coll.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/host/CodePage.h"
#include "platform/os/Collation.h"

using namespace icu;

namespace {

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

std::string Show(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(c));
    out += buf;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  long pairs = argc > 1 ? atol(argv[1]) : 2000000;
  size_t longest = argc > 2 ? static_cast<size_t>(atol(argv[2])) : 5;
  uint64_t seed = argc > 3 ? static_cast<uint64_t>(atoll(argv[3])) : 12345;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<Collator> tert(Collator::createInstance(Locale::getRoot(), status));
  std::unique_ptr<Collator> sec(Collator::createInstance(Locale::getRoot(), status));
  tert->setStrength(Collator::TERTIARY);
  sec->setStrength(Collator::SECONDARY);
  if (U_FAILURE(status)) return 1;

  // Alphabet: the covered code points, weighted towards Latin-1 so that texts
  // often share prefixes; combining marks (U+0300-U+036F) kept apart.
  std::vector<char16_t> base, marks;
  auto add = [&](char32_t first, char32_t last) {
    for (char32_t c = first; c <= last; ++c) {
      if (u_getCombiningClass(static_cast<UChar32>(c)) != 0)
        marks.push_back(static_cast<char16_t>(c));
      else
        base.push_back(static_cast<char16_t>(c));
    }
  };
  add(0x0000, 0x052F);
  add(0x1E00, 0x1FFF);
  add(0x2000, 0x20CF);
  add(0x2100, 0x218F);
  // A few uncovered ones: CJK, Armenian upper and lower, a supplementary pair.
  std::vector<std::u16string> extra = {u"\u4E00", u"\u4E01", u"\u0531", u"\u0561", u"\U00010400",
                                       u"\U00010428", u"\uFFFD", u"\u0418\u0306", u"\u0438\u0306"};
  std::mt19937_64 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  auto randomText = [&]() {
    std::u16string s;
    size_t len = pick(longest + 1);
    bool lastMark = true;
    for (size_t i = 0; i < len; ++i) {
      int kind = static_cast<int>(pick(20));
      if (kind == 0 && !lastMark) {
        s += marks[pick(marks.size())];
        lastMark = true;
        continue;
      }
      lastMark = false;
      if (kind == 1)
        s += extra[pick(extra.size())];
      else if (kind < 12)
        s += static_cast<char16_t>(0x20 + pick(0xE0));  // Latin-1 and ASCII
      else
        s += base[pick(base.size())];
    }
    return s;
  };

  long failures = 0;
  long outcomes[2][3] = {};  // ICU's answers, to show the texts exercise every case
  for (long i = 0; i < pairs && failures < 20; ++i) {
    std::u16string a = randomText(), b = randomText();
    if (pick(3) == 0) b = a.substr(0, pick(a.size() + 1)) + randomText().substr(0, 2);
    UnicodeString ua(reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()));
    UnicodeString ub(reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
    for (int ignoreCase = 0; ignoreCase <= 1; ++ignoreCase) {
      int want = Sign((ignoreCase ? sec : tert)->compare(ua, ub, status));
      int got = Sign(qv::CompareTextWide(a, b, ignoreCase != 0));
      ++outcomes[ignoreCase][want + 1];
      int key = Sign(qv::SortKeyWide(a, ignoreCase != 0).compare(qv::SortKeyWide(b, ignoreCase != 0)));
      // Uncovered characters follow the table's own rule, not ICU's order.
      bool uncovered = false;
      for (const auto& e : extra)
        if (e.size() == 1 || e[0] >= 0xD800)
          if (a.find(e) != std::u16string::npos || b.find(e) != std::u16string::npos)
            uncovered = true;
      if ((!uncovered && got != want) || key != got) {
        printf("%s: [%s] vs [%s]: icu %d, table %d, key %d\n", ignoreCase ? "ci" : "cs",
               Show(a).c_str(), Show(b).c_str(), want, got, key);
        ++failures;
      }
    }
  }
  // 1252 comparison agrees with the wide one on every pair of bytes.
  for (int x = 0; x < 256; ++x)
    for (int y = 0; y < 256; ++y) {
      std::string a(1, static_cast<char>(x)), b(1, static_cast<char>(y));
      a += 'x';
      for (int ic = 0; ic <= 1; ++ic)
        if (Sign(qv::CompareText1252(a, b, ic)) !=
            Sign(qv::CompareTextWide(qv::Cp1252ToUtf16(a), qv::Cp1252ToUtf16(b), ic))) {
          printf("1252 %02X %02X differs\n", x, y);
          ++failures;
        }
    }
  printf("ICU said less/equal/greater: case-sensitive %ld/%ld/%ld, ignoring case %ld/%ld/%ld\n",
         outcomes[0][0], outcomes[0][1], outcomes[0][2], outcomes[1][0], outcomes[1][1],
         outcomes[1][2]);
  printf("%ld pairs checked, %ld failures\n", pairs, failures);
  return failures == 0 ? 0 : 1;
}
