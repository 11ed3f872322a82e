// Generates platform/os/CollationData.inc: the fixed text collation and case
// tables of the system, taken once from ICU's root collation and case
// mappings and committed, so neither the build nor the program needs ICU.
//
// Run by hand only when the tables are to be made again (needs libicu-dev):
//
//   g++ -std=c++20 -O2 tools/collation/gen_collation.cpp -o /tmp/gen_collation
//       $(pkg-config --cflags --libs icu-i18n icu-uc)     (one command line)
//   /tmp/gen_collation > platform/os/CollationData.inc
//
// and then check the result against ICU with tools/collation/verify_collation.cpp.
//
// What is written:
//  - For every code point of the covered ranges (kCovered below), the list of
//    its collation elements under the root collation at tertiary strength with
//    punctuation non-ignorable; each element is reduced to three small ranks
//    (primary, secondary, tertiary; 0 = ignorable at that level) that order
//    exactly as ICU's weights do. A character with an expansion (æ, ß, ™, …)
//    has several elements; a completely ignorable one (most controls) none.
//    Pairs of covered characters that collate differently together (found by
//    trying every pair) are listed as pair rules with their own elements.
//  - Which weights an uncovered code point gets is decided in Collation.cpp
//    (after every covered primary, in code point order).
//  - Upper and lower case of every 1252 byte (the byte's code point mapped by
//    ICU's simple case mapping and back; unchanged when the result is not in
//    1252) and the simple case mappings of all of Unicode, as runs.
#include <unicode/coleitr.h>
#include <unicode/tblcoll.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uniset.h>
#include <unicode/uset.h>
#include <unicode/usetiter.h>
#include <unicode/uversion.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <vector>

using namespace icu;

namespace {

struct Range {
  uint32_t First, Last;
};

// Latin (with IPA, modifier letters and combining marks), Greek, Cyrillic,
// Latin and Greek extended, punctuation, currency, letterlike symbols and
// number forms; together they hold all of 1252.
const Range kCovered[] = {
    {0x0000, 0x052F}, {0x1E00, 0x1FFF}, {0x2000, 0x20CF}, {0x2100, 0x218F},
};

// The 1252 repertoire of 0x80-0x9F (undefined bytes keep their own value).
const uint32_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

uint32_t Cp1252ToCode(uint32_t b) { return b >= 0x80 && b <= 0x9F ? kHigh1252[b - 0x80] : b; }

int CodeToCp1252(uint32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (kHigh1252[i] == c) return 0x80 + i;
  return -1;
}

struct Weights {
  uint32_t Primary;
  uint32_t Secondary;  // 16 bits
  uint32_t Tertiary;   // 14 bits, case bits removed
  bool operator==(const Weights&) const = default;
};

void Check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) {
    fprintf(stderr, "%s: %s\n", what, u_errorName(status));
    exit(1);
  }
}

// The elements of one code point. The iterator hands out each 64-bit element
// as one 32-bit order, or two when it needs more than 16 primary bits or more
// than 8 secondary/tertiary bits; the second (continuation) one has 0xC0 in
// its low byte. Tertiary case bits (0xC0 of the high tertiary byte) are not
// compared at tertiary strength without case-first, so they are dropped.
std::vector<Weights> ElementsOfText(RuleBasedCollator& coll, const UnicodeString& s) {
  std::unique_ptr<CollationElementIterator> it(coll.createCollationElementIterator(s));
  std::vector<Weights> out;
  UErrorCode status = U_ZERO_ERROR;
  std::vector<uint32_t> orders;
  for (;;) {
    int32_t o = it->next(status);
    Check(status, "next");
    if (o == CollationElementIterator::NULLORDER) break;
    orders.push_back(static_cast<uint32_t>(o));
  }
  for (size_t i = 0; i < orders.size(); ++i) {
    uint32_t f = orders[i];
    uint32_t s2 = 0;
    if (i + 1 < orders.size() && (orders[i + 1] & 0xC0) == 0xC0) s2 = orders[++i];
    if ((f & 0xC0) == 0xC0) {
      fprintf(stderr, "unexpected continuation\n");
      exit(1);
    }
    Weights w;
    w.Primary = (f & 0xFFFF0000u) | (s2 >> 16);
    w.Secondary = (((f >> 8) & 0xFF) << 8) | ((s2 >> 8) & 0xFF);
    w.Tertiary = ((f & 0x3F) << 8) | (s2 & 0x3F);
    if (w.Primary == 0 && w.Secondary == 0 && w.Tertiary == 0) continue;
    out.push_back(w);
  }
  return out;
}

std::vector<Weights> ElementsOf(RuleBasedCollator& coll, uint32_t cp) {
  UnicodeString s;
  s.append(static_cast<UChar32>(cp));
  return ElementsOfText(coll, s);
}

std::map<uint32_t, uint32_t> Ranks(const std::set<uint32_t>& values) {
  std::map<uint32_t, uint32_t> r;
  uint32_t n = 0;
  for (uint32_t v : values) r[v] = ++n;  // 0 stays "ignorable"
  return r;
}

bool IsCovered(uint32_t c) {
  for (const Range& r : kCovered)
    if (c >= r.First && c <= r.Last) return true;
  return false;
}

}  // namespace

int main() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<Collator> base(Collator::createInstance(Locale::getRoot(), status));
  Check(status, "createInstance");
  auto* coll = dynamic_cast<RuleBasedCollator*>(base.get());
  if (!coll) {
    fprintf(stderr, "root collator is not rule based\n");
    return 1;
  }
  coll->setAttribute(UCOL_STRENGTH, UCOL_TERTIARY, status);
  coll->setAttribute(UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, status);
  coll->setAttribute(UCOL_CASE_FIRST, UCOL_OFF, status);
  coll->setAttribute(UCOL_CASE_LEVEL, UCOL_OFF, status);
  coll->setAttribute(UCOL_FRENCH_COLLATION, UCOL_OFF, status);
  Check(status, "setAttribute");

  // Per-character weights hold except for pairs of characters that collate
  // differently together (a contraction such as a Cyrillic letter and a
  // combining breve, or a context such as a middle dot after 'l'). Every such
  // pair among the covered characters is found by trying them all, and written
  // as a pair rule. Contractions of more than two characters would escape
  // that, so there must be none starting with a covered character.
  USet* contractionSet = uset_openEmpty();
  ucol_getContractionsAndExpansions(coll->toUCollator(), contractionSet, nullptr, false, &status);
  Check(status, "getContractionsAndExpansions");
  UnicodeSet contractions(*UnicodeSet::fromUSet(contractionSet));
  uset_close(contractionSet);
  UnicodeSetIterator cit(contractions);
  while (cit.next()) {
    UnicodeString str = cit.getString();
    if (str.countChar32() > 2 && IsCovered(static_cast<uint32_t>(str.char32At(0)))) {
      std::string u8;
      str.toUTF8String(u8);
      fprintf(stderr, "contraction the tables cannot express: %s\n", u8.c_str());
      return 1;
    }
  }

  std::vector<uint32_t> codes;
  for (const Range& r : kCovered)
    for (uint32_t c = r.First; c <= r.Last; ++c) codes.push_back(c);
  std::vector<std::vector<Weights>> elements;
  std::set<uint32_t> primaries, secondaries, tertiaries;
  for (uint32_t c : codes) {
    elements.push_back(ElementsOf(*coll, c));
    for (const Weights& w : elements.back()) {
      if (w.Primary) primaries.insert(w.Primary);
      if (w.Secondary) secondaries.insert(w.Secondary);
      if (w.Tertiary) tertiaries.insert(w.Tertiary);
    }
  }
  struct PairRule {
    uint32_t First, Second;
    std::vector<Weights> Elements;
  };
  std::vector<PairRule> pairRules;
  for (size_t i = 0; i < codes.size(); ++i)
    for (size_t j = 0; j < codes.size(); ++j) {
      UnicodeString two;
      two.append(static_cast<UChar32>(codes[i]));
      two.append(static_cast<UChar32>(codes[j]));
      std::vector<Weights> together = ElementsOfText(*coll, two);
      std::vector<Weights> apart = elements[i];
      apart.insert(apart.end(), elements[j].begin(), elements[j].end());
      if (together == apart) continue;
      for (const Weights& w : together) {
        if (w.Primary) primaries.insert(w.Primary);
        if (w.Secondary) secondaries.insert(w.Secondary);
        if (w.Tertiary) tertiaries.insert(w.Tertiary);
      }
      pairRules.push_back({codes[i], codes[j], together});
    }
  // The stream reads a pair as one unit, so a pair's second character must
  // not start another pair.
  for (const PairRule& a : pairRules)
    for (const PairRule& b : pairRules)
      if (a.Second == b.First) {
        fprintf(stderr, "overlapping pair rules\n");
        return 1;
      }

  auto pr = Ranks(primaries), sr = Ranks(secondaries), tr = Ranks(tertiaries);
  if (pr.size() > 65535 || sr.size() > 254 || tr.size() > 254) {
    fprintf(stderr, "too many weights: %zu %zu %zu\n", pr.size(), sr.size(), tr.size());
    return 1;
  }
  // Common weights: those of 'a'; upper-case tertiary: that of 'A'.
  std::vector<Weights> a = ElementsOf(*coll, 'a'), upperA = ElementsOf(*coll, 'A');
  if (a.size() != 1 || upperA.size() != 1) return 1;

  UVersionInfo version;
  u_getVersion(version);
  char versionText[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(version, versionText);

  printf("// Generated by tools/collation/gen_collation.cpp from the root collation and\n");
  printf("// the simple case mappings of ICU %s. Do not edit; make it again with that tool.\n",
         versionText);
  printf("// Included by Collation.cpp only.\n\n");
  printf("namespace qv::collation_data {\n\n");
  printf("// Covered primaries are ranks 1..kPrimaryCount; 0 = ignorable at that level.\n");
  printf("constexpr uint32_t kPrimaryCount = %zu;\n", pr.size());
  printf("constexpr uint8_t kSecondaryCount = %zu;\n", sr.size());
  printf("constexpr uint8_t kTertiaryCount = %zu;\n", tr.size());
  printf("constexpr uint8_t kCommonSecondary = %u;  // that of 'a'\n", sr[a[0].Secondary]);
  printf("constexpr uint8_t kCommonTertiary = %u;   // that of 'a'\n", tr[a[0].Tertiary]);
  printf("constexpr uint8_t kUpperTertiary = %u;    // that of 'A'\n\n", tr[upperA[0].Tertiary]);

  printf("struct Range {\n  uint32_t First, Last;  // code points\n");
  printf("  uint32_t Base;         // index of First in kCharStart\n};\n");
  printf("constexpr Range kRanges[] = {\n");
  uint32_t baseIndex = 0;
  for (const Range& r : kCovered) {
    printf("    {0x%04X, 0x%04X, %u},\n", r.First, r.Last, baseIndex);
    baseIndex += r.Last - r.First + 1;
  }
  printf("};\n\n");

  printf("struct Element {\n  uint16_t Primary;\n  uint8_t Secondary;\n  uint8_t Tertiary;\n};\n\n");
  printf("// The elements of covered character i are kElements[kCharStart[i] ..\n");
  printf("// kCharStart[i + 1] - 1].\n");
  printf("constexpr uint16_t kCharStart[] = {");
  uint32_t at = 0;
  for (size_t i = 0; i <= codes.size(); ++i) {
    printf("%s%u,", i % 16 == 0 ? "\n    " : " ", at);
    if (i < codes.size()) at += static_cast<uint32_t>(elements[i].size());
  }
  if (at > 65535) return 1;
  printf("\n};\n\n");
  printf("constexpr Element kElements[] = {");
  size_t n = 0;
  auto printElements = [&](const std::vector<Weights>& list) {
    for (const Weights& w : list)
      printf("%s{%u,%u,%u},", n++ % 8 == 0 ? "\n    " : " ", w.Primary ? pr[w.Primary] : 0,
             w.Secondary ? sr[w.Secondary] : 0, w.Tertiary ? tr[w.Tertiary] : 0);
  };
  for (size_t i = 0; i < codes.size(); ++i) printElements(elements[i]);
  for (const PairRule& p : pairRules) printElements(p.Elements);
  printf("\n};\n\n");

  printf("// Two characters that collate together, not each alone: First followed by\n");
  printf("// Second has the elements kElements[Start .. Start + Count - 1].\n");
  printf("struct PairRule {\n  uint16_t First, Second, Start, Count;\n};\n");
  printf("constexpr PairRule kPairRules[] = {\n");
  for (const PairRule& p : pairRules) {
    printf("    {0x%04X, 0x%04X, %u, %zu},\n", p.First, p.Second, at, p.Elements.size());
    at += static_cast<uint32_t>(p.Elements.size());
  }
  printf("};\n\n");
  if (at > 65535) return 1;

  // Case of 1252 bytes.
  for (int upper = 1; upper >= 0; --upper) {
    printf("constexpr uint8_t k%s1252[256] = {", upper ? "Upper" : "Lower");
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = Cp1252ToCode(b);
      uint32_t m = static_cast<uint32_t>(upper ? u_toupper(static_cast<UChar32>(c))
                                               : u_tolower(static_cast<UChar32>(c)));
      int mb = CodeToCp1252(m);
      printf("%s0x%02X,", b % 16 == 0 ? "\n    " : " ", mb < 0 ? b : static_cast<uint32_t>(mb));
    }
    printf("\n};\n\n");
  }

  // Simple case mappings of all of Unicode, as runs: the code points First,
  // First + Step, ... (Count of them) map to themselves plus Delta.
  printf("// Simple case mappings as runs, sorted by First: First + k * Step maps to\n");
  printf("// First + k * Step + Delta for k < Count.\n");
  printf("struct CaseRun {\n  uint32_t First;\n  uint16_t Count;\n  uint8_t Step;\n  int32_t Delta;\n};\n");
  for (int upper = 1; upper >= 0; --upper) {
    std::vector<std::pair<uint32_t, int32_t>> maps;
    for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      uint32_t m = static_cast<uint32_t>(upper ? u_toupper(static_cast<UChar32>(c))
                                               : u_tolower(static_cast<UChar32>(c)));
      if (m == c) continue;
      if ((c < 0x10000) != (m < 0x10000)) {
        fprintf(stderr, "U+%04X maps across the BMP boundary\n", c);
        return 1;
      }
      maps.emplace_back(c, static_cast<int32_t>(m) - static_cast<int32_t>(c));
    }
    printf("constexpr CaseRun k%sRuns[] = {", upper ? "Upper" : "Lower");
    size_t count = 0;
    for (size_t i = 0; i < maps.size();) {
      // Extend a run with step 1 or 2 as far as the delta stays the same.
      size_t best = 1;
      uint32_t bestStep = 1;
      for (uint32_t step = 1; step <= 2; ++step) {
        size_t j = i + 1;
        while (j < maps.size() && maps[j].first == maps[j - 1].first + step &&
               maps[j].second == maps[i].second && j - i < 65535)
          ++j;
        if (j - i > best) {
          best = j - i;
          bestStep = step;
        }
      }
      printf("%s{0x%04X, %zu, %u, %d},", count++ % 4 == 0 ? "\n    " : " ", maps[i].first, best,
             bestStep, maps[i].second);
      i += best;
    }
    printf("\n};\n\n");
  }
  printf("}  // namespace qv::collation_data\n");
  return 0;
}
