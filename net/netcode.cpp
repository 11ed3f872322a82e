#include "net/netcode.h"

#include <cstdint>

namespace qv::net {

std::string Base64Encode(std::string_view value) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  r.reserve((value.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= value.size(); i += 3) {
    const uint32_t v = (static_cast<uint32_t>(static_cast<uint8_t>(value[i])) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(value[i + 1])) << 8) |
                       static_cast<uint32_t>(static_cast<uint8_t>(value[i + 2]));
    r += kAlphabet[(v >> 18) & 63];
    r += kAlphabet[(v >> 12) & 63];
    r += kAlphabet[(v >> 6) & 63];
    r += kAlphabet[v & 63];
  }
  const size_t left = value.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(value[i])) << 16;
    if (left == 2) v |= static_cast<uint32_t>(static_cast<uint8_t>(value[i + 1])) << 8;
    r += kAlphabet[(v >> 18) & 63];
    r += kAlphabet[(v >> 12) & 63];
    r += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    r += '=';
  }
  return r;
}

}  // namespace qv::net
