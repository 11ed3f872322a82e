#include "engine/core/VLMSecurity.h"

#include "crypto/VLMCipher.h"

namespace qv {

const std::array<std::string_view, VLMCipherCount> VLMCipherNames = {
    "Rijndael_128", "Rijndael_256", "DES_Single", "DES_Triple", "Blowfish", "Twofish_128", "Twofish_256", "Square"};

bool VLMCipherIdEntry(uint8_t cipherId, TVLMCipherIdEntry& entry) {
  switch (cipherId) {
    case 0: entry = {TCipher_Rijndael::Class(), THash_RipeMD128::Class()}; return true;
    case 1: entry = {TCipher_Rijndael::Class(), THash_RipeMD256::Class()}; return true;
    case 2: entry = {TCipher_1DES::Class(), THash_RipeMD128::Class()}; return true;
    case 3: entry = {TCipher_3TDES::Class(), THash_RipeMD128::Class()}; return true;
    case 4: entry = {TCipher_Blowfish::Class(), THash_RipeMD256::Class()}; return true;
    case 5: entry = {TCipher_Twofish::Class(), THash_RipeMD128::Class()}; return true;
    case 6: entry = {TCipher_Twofish::Class(), THash_RipeMD256::Class()}; return true;
    case 7: entry = {TCipher_Square::Class(), THash_RipeMD128::Class()}; return true;
    default: entry = {nullptr, nullptr}; return false;
  }
}

namespace {

// A new cipher of the id, keyed from the password with the id's hash and
// the cipher's own vector (all 0xFF bytes after the key schedule's wipe).
// Keying with the default hash first, as constructing with the password
// would, is skipped: InitKey wipes and rebuilds every key-dependent byte, so
// the result is the same.
TCipherPtr PageCipher(const TVLMCipherIdEntry& entry, const std::string& password) {
  TCipherPtr cipher = entry.CipherClass->Create({}, nullptr);
  cipher->Mode = TCipherMode::cmFeedback;
  cipher->SetHashClass(entry.HashClass);
  cipher->InitKey(password, cipher->Vector());
  return cipher;
}

}  // namespace

bool EncryptPageData(uint8_t cipherId, void* buffer, int32_t size, const std::string& password) {
  TVLMCipherIdEntry entry;
  if (!VLMCipherIdEntry(cipherId, entry)) return true;
  PageCipher(entry, password)->EncryptBuffer(buffer, buffer, size);
  return true;
}

bool DecryptPageData(uint8_t cipherId, void* buffer, int32_t size, const std::string& password) {
  TVLMCipherIdEntry entry;
  if (!VLMCipherIdEntry(cipherId, entry)) return true;
  PageCipher(entry, password)->DecryptBuffer(buffer, buffer, size);
  return true;
}

}  // namespace qv
