// The text routines answer the same under every C locale: the machine's
// LANG/LC_ALL must not change formatted dates, parsed values, LIKE answers,
// case or rounding.
#include <gtest/gtest.h>

#include <string>

#include "engine/core/VLMD4Routines.h"
#include "engine/core/VLMDateFormat.h"
#include "engine/core/VLMDecimalRounding.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLike.h"
#include "engine/core/VLMStrUtils.h"
#include "platform/host/CodePage.h"
#include "platform/host/SysUtils.h"
#include "tests/support/Locales.h"

namespace {

// Many answers of the text routines, joined into one text.
std::string Fingerprint() {
  std::string out;
  const double v = qv::EncodeDate(2024, 10, 9) + qv::EncodeTime(21, 5, 3, 0);
  out += TDateFormater("DAY, DD MONTH YYYY DDD MON RM HH12:NN:SS AMPM DY DW Q").DateTimeToStr(v) + "|";
  out += qv::FloatToStr(TDateFormater("DAY DD MONTH YYYY").StrToDateTime("saturday 01 JANUARY 2000")) + "|";
  try {
    TDateFormater("DAY").StrToDateTime("Samstag");
  } catch (const qv::Exception& e) {
    out += e.Message() + "|";
  }
  double d = 0;
  out += std::to_string(VLMTryParseDateTimeText("2024-10-09 21:05:03", d)) + qv::FloatToStr(d) + "|";
  out += qv::FloatToStr(static_cast<double>(VLMRoundDecimal(2.675, 2, drHalfUp))) + "|";
  try {
    VLMFloatToCurr(1.5e20);
  } catch (const EVLMException& e) {
    out += e.Message() + "|";
  }
  // Case and LIKE on letters that locales treat differently (Swedish sorts
  // Ä after Z and once took V and W as one letter; German folds ß).
  for (const char* p : {"%\xE4%", "v%", "w%", "%ss%", "_rger", "\xC4%", "%Z"})
    for (const char* val : {"\xC4rger", "Wall", "Vall", "Stra\xDF" "e", "ZZ\xC4"}) {
      out += VLMMatchLike(val, p, false, 0, true) ? '1' : '0';
      out += VLMMatchLikeWide(qv::Cp1252ToUtf16(val), qv::Cp1252ToUtf16(p), false, 0, true) ? '1' : '0';
    }
  out += "|" + qv::Utf16ToUtf8(VLMWideUpperCase(u"i\u0131\u00E4\u00DF\u00FF"));
  out += "|" + std::to_string(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, VLM_SORT_STRINGSORT, u"\u00C4", -1, u"Z", -1));
  return out;
}

TEST(TextLocale, AnswersDoNotDependOnTheLocale) { qv::test::ExpectSameUnderEveryLocale(Fingerprint); }

}  // namespace
