// Times the page encryption of the engine: EncryptPageData followed by
// DecryptPageData of one 4056-byte page, key derivation included, for every
// cipher id. For the algorithms OpenSSL also has (AES, Blowfish, DES) it
// times the same work through OpenSSL's EVP interface (a new context and key
// schedule per page, CBC over the whole blocks of the page) and prints the
// ratio ours / OpenSSL. Run by hand from a Release build:
//   cmake -S . -B build/rel -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_BENCH=ON
//   cmake --build build/rel --target bench_crypto_pages && build/rel/bench_crypto_pages
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/VLMSecurity.h"

namespace {

constexpr int32_t kPageData = 4056;  // data area of a 4096-byte page
constexpr double kTargetMs = 0.5;     // target per encrypt+decrypt pair

using Clock = std::chrono::steady_clock;

// Runs fn repeatedly for at least minMs and returns milliseconds per call.
template <class F>
double TimePerCall(F&& fn, double minMs = 300.0) {
  for (int i = 0; i < 20; ++i) fn();  // warm up
  int64_t calls = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 50; ++i) fn();
    calls += 50;
    elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  } while (elapsed < minMs);
  return elapsed / static_cast<double>(calls);
}

// One page pair through OpenSSL: key schedule, CBC encrypt, key schedule,
// CBC decrypt, over the whole blocks of the page. False if the cipher is missing.
bool OpenSslPair(const EVP_CIPHER* cipher, const std::vector<uint8_t>& key, std::vector<uint8_t>& page) {
  const int32_t block = EVP_CIPHER_get_block_size(cipher);
  const int32_t len = kPageData - kPageData % block;
  uint8_t iv[16];
  std::memset(iv, 0xFF, sizeof iv);
  std::vector<uint8_t> tmp(static_cast<size_t>(len) + 32);
  int outl = 0;
  for (int enc = 1; enc >= 0; --enc) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) return false;
    bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, enc) == 1 &&
              EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1 &&
              EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv, enc) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, tmp.data(), &outl, page.data(), len) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return false;
    std::memcpy(page.data(), tmp.data(), static_cast<size_t>(len));
  }
  return true;
}

}  // namespace

int main() {
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");  // Blowfish and DES live here
  OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  const std::string password = "a database password";

  struct Reference {
    const char* name;
    const EVP_CIPHER* cipher;
    size_t keyBytes;
  };
  EVP_CIPHER* aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  EVP_CIPHER* aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr);
  EVP_CIPHER* des3 = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
  const Reference refs[qv::VLMCipherCount] = {
      {"AES-128-CBC", aes128, 16}, {"AES-256-CBC", aes256, 32}, {"DES-CBC", des, 8}, {"DES-EDE3-CBC", des3, 24},
      {"BF-CBC", bf, 32},          {nullptr, nullptr, 0},       {nullptr, nullptr, 0}, {nullptr, nullptr, 0}};

  std::vector<uint8_t> page(kPageData);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 131 + 7);
  const std::vector<uint8_t> original = page;

  std::printf("Page encryption: EncryptPageData + DecryptPageData of %d bytes, key derivation included\n",
              kPageData);
  std::printf("%-3s %-13s %12s %8s   %-13s %12s %8s\n", "id", "cipher", "ms/pair", "target", "OpenSSL EVP",
              "ms/pair", "ratio");
  bool allWithinTarget = true;
  for (uint8_t id = 0; id < qv::VLMCipherCount; ++id) {
    const double ours = TimePerCall([&] {
      qv::EncryptPageData(id, page.data(), kPageData, password);
      qv::DecryptPageData(id, page.data(), kPageData, password);
    });
    if (page != original) {
      std::printf("id %d: the page did not survive the round trip\n", id);
      return 1;
    }
    const bool within = ours < kTargetMs;
    allWithinTarget = allWithinTarget && within;
    std::printf("%-3d %-13s %12.4f %8s", id, std::string(qv::VLMCipherNames[id]).c_str(), ours,
                within ? "ok" : "OVER");
    const Reference& r = refs[id];
    if (r.cipher != nullptr) {
      std::vector<uint8_t> key(r.keyBytes, 0x5A);
      std::vector<uint8_t> p2 = original;
      if (OpenSslPair(r.cipher, key, p2)) {
        const double theirs = TimePerCall([&] { OpenSslPair(r.cipher, key, p2); });
        std::printf("   %-13s %12.4f %8.2f\n", r.name, theirs, ours / theirs);
      } else {
        std::printf("   %-13s %12s\n", r.name, "n/a");
      }
    } else {
      std::printf("   %-13s\n", "-");
    }
  }
  std::printf("%s: every id under %.1f ms per page pair\n", allWithinTarget ? "PASS" : "MISS", kTargetMs);
  EVP_CIPHER_free(aes128);
  EVP_CIPHER_free(aes256);
  EVP_CIPHER_free(des);
  EVP_CIPHER_free(des3);
  EVP_CIPHER_free(bf);
  if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
  if (deflt != nullptr) OSSL_PROVIDER_unload(deflt);
  return 0;
}
