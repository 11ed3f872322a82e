// Windows-1252 <-> UTF-16 / UTF-8. See CodePage.h.
#include "platform/host/CodePage.h"

namespace qv {

namespace {

// Code points of the bytes 0x80-0x9F; the rest of 1252 equals Latin-1. The
// undefined bytes keep their own value so every byte round-trips.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[pos], advancing pos. A malformed sequence
// (bad lead byte, missing or bad continuation, overlong form, surrogate, above
// U+10FFFF) yields false and advances past its longest well-formed prefix
// (at least one byte), so each bad stretch becomes one replacement.
bool DecodeUtf8(std::string_view text, size_t& pos, char32_t& cp) {
  auto b0 = static_cast<uint8_t>(text[pos++]);
  if (b0 < 0x80) {
    cp = b0;
    return true;
  }
  int more;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    more = 1;
    min = 0x80;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    more = 2;
    min = 0x800;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    more = 3;
    min = 0x10000;
    cp = b0 & 0x07;
  } else {
    return false;
  }
  for (int i = 0; i < more; ++i) {
    if (pos >= text.size()) return false;
    auto b = static_cast<uint8_t>(text[pos]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
    ++pos;
    // Stop at the first byte that shows the form is overlong or out of range.
    if (i == 0 && more >= 2) {
      char32_t top = cp << (6 * (more - 1));
      if (top < min || top > 0x10FFFF || (top >= 0xD800 && top <= 0xDFFF)) {
        --pos;  // that byte starts the next attempt
        return false;
      }
    }
  }
  return cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

// Decodes one code point at text[pos] of UTF-16, advancing pos; an unpaired
// surrogate yields false.
bool DecodeUtf16(std::u16string_view text, size_t& pos, char32_t& cp) {
  char16_t u = text[pos++];
  if (u < 0xD800 || u > 0xDFFF) {
    cp = u;
    return true;
  }
  if (u <= 0xDBFF && pos < text.size() && text[pos] >= 0xDC00 && text[pos] <= 0xDFFF) {
    cp = 0x10000 + ((static_cast<char32_t>(u - 0xD800) << 10) | (text[pos] - 0xDC00));
    ++pos;
    return true;
  }
  return false;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

char ToCp1252OrQuestion(char32_t cp) {
  uint8_t b;
  return CharToCp1252(cp, &b) ? static_cast<char>(b) : '?';
}

}  // namespace

char16_t Cp1252ToChar(uint8_t byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

bool CharToCp1252(char32_t codePoint, uint8_t* byte) {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
    *byte = static_cast<uint8_t>(codePoint);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == codePoint) {
      *byte = static_cast<uint8_t>(0x80 + i);
      return true;
    }
  }
  return false;
}

std::u16string Cp1252ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out += Cp1252ToChar(static_cast<uint8_t>(c));
  return out;
}

std::string Utf16ToCp1252(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    out += DecodeUtf16(text, pos, cp) ? ToCp1252OrQuestion(cp) : '?';
  }
  return out;
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) AppendUtf8(out, Cp1252ToChar(static_cast<uint8_t>(c)));
  return out;
}

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    out += DecodeUtf8(text, pos, cp) ? ToCp1252OrQuestion(cp) : '?';
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    AppendUtf16(out, DecodeUtf8(text, pos, cp) ? cp : kReplacement);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    AppendUtf8(out, DecodeUtf16(text, pos, cp) ? cp : kReplacement);
  }
  return out;
}

}  // namespace qv
