// Small helpers shared by the cipher library tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "crypto/VLMCipher.h"

namespace qv::test {

inline std::string Hex(const void* data, size_t size) {
  static const char* digits = "0123456789ABCDEF";
  const auto* p = static_cast<const uint8_t*>(data);
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
inline std::string Hex(std::string_view bytes) { return Hex(bytes.data(), bytes.size()); }

// Hex text (either case, no separators) to bytes.
inline std::string Bytes(std::string_view hex) {
  auto nib = [](char c) -> int { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(nib(hex[i]) * 16 + nib(hex[i + 1]));
  return out;
}

// Init, Calc over the whole message, Done; the digest in hex.
inline std::string DigestHex(THash& hash, std::string_view message) {
  hash.Init();
  hash.Calc(message.data(), static_cast<int32_t>(message.size()));
  hash.Done();
  return Hex(hash.DigestKey(), static_cast<size_t>(hash.DigestKeySize()));
}

inline std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Every cipher class of the library.
inline const TCipherClass* AllCipherClasses(size_t& count) {
  static const TCipherClass classes[] = {TCipher_Rijndael::Class(), TCipher_Blowfish::Class(),
                                         TCipher_1DES::Class(),     TCipher_3DES::Class(),
                                         TCipher_3TDES::Class(),    TCipher_Twofish::Class(),
                                         TCipher_Square::Class()};
  count = sizeof classes / sizeof classes[0];
  return classes;
}

}  // namespace qv::test
