// Page encryption of password-protected databases: the table of cipher ids,
// the two routines through which the disk page manager encrypts and
// decrypts page data areas and the password check block, and the password
// record a session hands the database it connects to.
//
// Stored files depend on every detail here: the cipher and key hash of each
// id, mode 0, and the initial vector of 0xFF bytes. No key is cached: each
// call derives it from the password again, so the bytes of a page depend only
// on the password, the cipher id and the plain bytes (never on the page).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

struct TCipherClassRec;
struct THashClassRec;

// Cipher ids 0-7; an id of VLMCipherCount or more names no cipher.
inline constexpr int32_t VLMCipherCount = 8;

// The names of the cipher ids, in id order.
extern const std::array<std::string_view, VLMCipherCount> VLMCipherNames;

// One row of the cipher-id table: the cipher and the hash that turns the
// password into its key.
struct TVLMCipherIdEntry {
  const TCipherClassRec* CipherClass;
  const THashClassRec* HashClass;
};

// The row of the id; false (and an empty entry) for an id of 8 or more.
bool VLMCipherIdEntry(uint8_t cipherId, TVLMCipherIdEntry& entry);

// Encrypt or decrypt size bytes in place with the cipher of the id, keyed
// from password, in mode 0 from a vector of 0xFF bytes. An id of 8 or more
// leaves the buffer unchanged. The result is true.
bool EncryptPageData(uint8_t cipherId, void* buffer, int32_t size, const std::string& password);
bool DecryptPageData(uint8_t cipherId, void* buffer, int32_t size, const std::string& password);

}  // namespace qv

// The password and cipher of a database, from the database component: what a
// session connects with and a disk database opens its file with.
struct TVLMPasswordRecord {
  std::string Password;
  uint8_t CipherId = 0;
};
