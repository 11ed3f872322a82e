// Small text operations shared by the socket layer and the HTTP client:
// cutting text at a delimiter, splitting a URL, recognising address texts,
// finding line ends, two-byte numbers and the millisecond tick counter.
// Everything works on byte strings; the splitting results are trimmed of
// leading and trailing blanks and control characters (bytes up to 0x20).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv::net {

// The text before the first Delimiter (all of Value when there is none), trimmed.
std::string SeparateLeft(std::string_view value, std::string_view delimiter);
// The text after the first Delimiter (all of Value when there is none), trimmed.
std::string SeparateRight(std::string_view value, std::string_view delimiter);
// Returns SeparateLeft; Value keeps the trimmed rest after the delimiter, or
// becomes empty when no delimiter is left.
std::string Fetch(std::string& value, std::string_view delimiter);

// The parts of a URL. Nothing is percent-decoded or escaped.
struct TUrlParts {
  std::string Prot = "http";
  std::string User;
  std::string Pass;
  std::string Host;
  std::string Port = "80";
  std::string Path;
  std::string Para;
  std::string URI;  // "/" and everything after the first "/" behind the host
};
TUrlParts SplitUrl(std::string_view url);

// Dotted IPv4 text: four decimal parts 0-255 of digits only.
bool IsIP(std::string_view value);
// IPv6 text: 2 to 8 parts separated by ":", at most one "::", each part a
// hexadecimal number 0-FFFF; the last part is not empty and may carry a
// "%" suffix that is also a hexadecimal number 0-FFFF.
bool IsIP6(std::string_view value);

// 1-based position of the earliest line end in Value, 0 when there is none.
// Terminator receives its form: "\r\n", "\n\r", "\r" or "\n" (the two-byte
// forms win at the same position), empty when there is none.
int32_t PosCRLF(std::string_view value, std::string& terminator);

// A dotted IPv4 text as four bytes in written order (a part that is not a
// number counts as 0).
std::string IPToBin(std::string_view value);
// Two bytes, high byte first.
std::string CodeInt(uint16_t value);
// The byte at the 1-based Index times 256 plus the byte after it; a byte
// beyond the text counts as 0.
uint16_t DecodeInt(std::string_view value, int32_t index);

// Millisecond tick counter (monotonic clock, wraps at 2^32).
uint32_t GetTick();
// Elapsed ticks between two readings, across the 32-bit wrap.
uint32_t TickDelta(uint32_t oldTick, uint32_t newTick);

inline const void* IncPoint(const void* p, int32_t count) {
  return static_cast<const uint8_t*>(p) + count;
}
inline void* IncPoint(void* p, int32_t count) { return static_cast<uint8_t*>(p) + count; }

// A decimal number of digits with an optional sign that fits 32 bits; false
// for anything else (blanks, overflow, empty text).
bool ParseInt32(std::string_view text, int32_t& value);
// A hexadecimal number of digits only, at most maxValue; false for anything
// else (empty text included).
bool ParseHex(std::string_view text, int32_t maxValue, int32_t& value);

}  // namespace qv::net
