// Casts and comparisons of values answer the same under every C locale: a
// German or Swedish LANG/LC_ALL must not change the decimal separator read or
// written, date and time text, or the order of text (B-tree order and stored
// values depend on it).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMVariant.h"
#include "tests/support/Locales.h"

namespace {

std::string Attempt(const std::function<std::string()>& f) {
  try {
    return f();
  } catch (const EVLMException& e) {
    return "E" + std::to_string(e.NativeError);
  }
}

template <class Set>
std::string AsText(Set set) {
  return Attempt([&] {
    TVLMVariant v;
    set(v);
    return v.GetAsString();
  });
}

std::string TextTo(TVLMBaseDataType type, const char* text) {
  return Attempt([&] {
    TVLMVariant v(type);
    v.SetAsString(text);
    v.CastTo(bdtString);
    return v.GetAsString();
  });
}

// The texts below are Latin-1 letters, which 1252 and UTF-16 share.
std::u16string Widened(const char* s) {
  std::u16string w;
  for (; *s; ++s) w += static_cast<char16_t>(static_cast<uint8_t>(*s));
  return w;
}

int Compare(const char* a, const char* b, bool wide, bool caseInsensitive) {
  TVLMVariant x, y;
  if (wide) {
    x.SetAsWideString(Widened(a));
    y.SetAsWideString(Widened(b));
  } else {
    x.SetAsString(a);
    y.SetAsString(b);
  }
  return x.Compare(y, false, caseInsensitive);
}

// Many answers of the casts and comparisons, joined into one text.
std::string Fingerprint() {
  std::string out;
  out += AsText([](TVLMVariant& v) { v.SetAsDouble(1.5); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsDouble(0.1 + 0.2); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsDouble(-1234567.25e10); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsSingle(2.75f); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsExtended(1.0L / 3.0L); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsCurrency(1234.56785); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsDate(738950); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsTime(25689000); }) + "|";
  out += AsText([](TVLMVariant& v) { v.SetAsTimeStamp({738950, 25689000}); }) + "|";
  for (const char* t : {"1.5", "1,5", "-0.25e2", "1e3"}) {
    out += TextTo(bdtFloat, t) + "|" + TextTo(bdtCurrency, t) + "|" + TextTo(bdtExtended, t) + "|";
  }
  for (const char* t : {"2024-03-05", "2024/03/05 07:08:09", "5.3.2024", "07:08:09"}) {
    out += TextTo(bdtDate, t) + "|" + TextTo(bdtDateTime, t) + "|" + TextTo(bdtTime, t) + "|";
  }
  for (const char* t : {"TRUE", "true", "wahr", "1"}) out += TextTo(bdtLogical, t) + "|";
  // Text order: Swedish puts ä after z, and case folding must not follow the
  // locale either.
  const char* const texts[] = {"a", "A", "\xE4", "\xC4", "z", "Z", "ss", "\xDF", "co-op", "coop", "10", "5"};
  for (const char* a : texts)
    for (const char* b : texts)
      for (bool ci : {false, true}) {
        out += static_cast<char>('0' + Compare(a, b, false, ci));
        out += static_cast<char>('0' + Compare(a, b, true, ci));
      }
  return out;
}

TEST(VLMCastLocale, CastsAndComparisonsDoNotDependOnTheLocale) {
  const std::string reference = qv::test::ExpectSameUnderEveryLocale(Fingerprint);
  // The reference itself reads and writes '.' as the decimal separator.
  EXPECT_EQ(reference.substr(0, 4), "1.5|");
}

}  // namespace
