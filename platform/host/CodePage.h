// Windows-1252 text codec: the 8-bit text of the system's files is 1252, the
// wide text is UTF-16, the GUI edge speaks UTF-8. Conversions are fixed tables,
// independent of the environment's locale.
//
// All 256 bytes round-trip: the five bytes 1252 leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) map to the code points of the same value (U+0081 ...).
// A character that 1252 cannot hold becomes '?', one per code point (a
// surrogate pair is one character); there is no best-fit mapping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// One 1252 byte as its Unicode code point (always in the BMP).
char16_t Cp1252ToChar(uint8_t byte);
// The 1252 byte of a code point; false when 1252 has none.
bool CharToCp1252(char32_t codePoint, uint8_t* byte);

std::u16string Cp1252ToUtf16(std::string_view text);
// Unmappable characters and unpaired surrogates become '?'.
std::string Utf16ToCp1252(std::u16string_view text);

std::string Cp1252ToUtf8(std::string_view text);
// Unmappable characters and malformed UTF-8 sequences become '?'.
std::string Utf8ToCp1252(std::string_view text);

// UTF-8 <-> UTF-16 for the GUI edge; malformed input (bad UTF-8 sequences,
// unpaired surrogates) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace qv
