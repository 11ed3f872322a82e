// SQL LIKE matching on 8-bit (Windows-1252) and wide (UTF-16) text, and the
// fixed-form date and time text parsers that the casts try before the
// general date/time conversions.
//
// LIKE: '%' stands for any run of characters (also none), '_' for exactly
// one; with an escape character, the character after it is taken literally.
// '%' and '_' are wildcards wherever a pattern element starts, even when one
// of them is also the escape character. An escape at the very end of the
// pattern has nothing to escape and stands for itself. Other characters are
// compared one at a time by the fixed collation (case-insensitively when
// asked), never by the environment's locale. A NUL ends the value or the
// pattern. The match takes time proportional to value length times pattern
// length at worst, whatever the number of '%'.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string_view>

bool VLMMatchLike(std::string_view Value, std::string_view Pattern, bool HasEscape, char EscapeChar,
                  bool CaseInsensitive);
bool VLMMatchLikeWide(std::u16string_view Value, std::u16string_view Pattern, bool HasEscape,
                      char16_t EscapeChar, bool CaseInsensitive);

// Reads a group of decimal digits of Text starting at the 1-based position
// Pos: the group ends at the first character that is not '0'-'9' (or at the
// end), and Pos then moves one past that character. True only when exactly
// Count digits were read and their value fits 16 bits; Value is then set.
bool VLMReadDigitGroup(std::string_view Text, int32_t Count, uint16_t& Value, int32_t& Pos);

// Fixed forms, each group ended by any one non-digit character, at most one
// character after the last group:
//   date       yyyy?mm?dd            ('2024-03-05', '2024/03/05')
//   time       hh?nn?ss              ('07:08:09')
//   date-time  yyyy?mm?dd?hh?nn?ss   ('2024-03-05 07:08:09')
// The result V is a host date-time (days since 1899-12-30). False for a text
// of another form. A text of the right form that names an impossible date or
// time (month 13, hour 25) raises the conversion error of the date/time
// encoding (qv::EConvertError).
bool VLMTryParseDateText(std::string_view Text, double& V);
bool VLMTryParseTimeText(std::string_view Text, double& V);
bool VLMTryParseDateTimeText(std::string_view Text, double& V);
