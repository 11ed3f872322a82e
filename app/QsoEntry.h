// The rules of the QSO entry fields that need no window: which keys each
// field accepts, the fields shown in capitals, the input limits, and the
// serial-number text "%4.3d".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/MainView.h"

namespace qv::app {

inline constexpr char kBackspace = '\b';
inline constexpr char kSlashedZero = static_cast<char>(0xD8);

// What a key filter needs to know besides the key.
struct KeyContext {
  bool ZSlashed = true;     // show the call's zeros as 0xD8
  bool WwdxReports = false;  // contest code "WWDX": reports take "0" too
  int32_t CaretPos = 0;      // characters before the caret
};

// The character a key typed into field becomes (1252 byte), or 0 when the
// field refuses it. Fields without a rule take every key.
char FilterEntryKey(Ctl field, char key, const KeyContext& context);

// The fields that show their text in capitals.
bool IsUpperCaseField(Ctl field);
// The input limit of a field when the window is made; 0 = none.
int32_t InitialMaxLength(Ctl field);

// "%4.3d" of a whole number (7 -> " 007", 12345 -> "12345"); false when the
// text is no whole number.
bool FormatSerial(std::string_view text, std::string& out);

// The seven continent codes.
bool IsContinentCode(std::string_view text);

// A frequency in MHz as the field takes it: digits with at most one ".",
// at least one digit ("14", "14.025", ".5"; not "14..5").
bool IsFrequencyText(std::string_view text);

// A time of day as the time fields take it: four digits "hhnn", hours 00-23
// and minutes 00-59 ("0000", "2359"; not "2599", "1260" or "123").
bool IsTimeText(std::string_view text);

// A date as the log stores it and the exports write it: a calendar date
// "yyyy-mm-dd" (year 0001-9999; "2024-02-29", not "2023-02-29" or
// "2026-13-45"). An empty text is none.
bool IsDateText(std::string_view text);

// A date as a log may hold it: "yyyy-mm-dd", or "yyyy/mm/dd" or
// "yyyy.mm.dd" (which the date field took before it refused them), the
// same calendar date in each; date becomes its "yyyy-mm-dd" form (text and
// date may be one string). False for anything else, date untouched.
bool ReadStoredDate(std::string_view text, std::string& date);

// The call of an edited row as the call field would have given it: blanks
// around it dropped, its letters upper-cased (1252 table). False (call
// unchanged) when it is blank, which the entry refuses as a required field.
bool NormaliseCallText(std::string& call);

// What the checks of those fields say when they refuse a text.
inline constexpr std::string_view kInvalidFrequencyText =
    "Invalid FREQUENCY !\rEnter MHz as a number, for example 14.025";
inline constexpr std::string_view kInvalidTimeText = "Invalid TIME !";
inline constexpr std::string_view kInvalidDateText = "Invalid DATE !\rEnter the date as yyyy-mm-dd";
inline constexpr std::string_view kRequiredFieldsText = "One or more required fields are blank!";

}  // namespace qv::app
