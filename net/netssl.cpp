#include "net/netssl.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>

#include "platform/os/DynLib.h"

namespace qv::net {

namespace {

enum TSslEntry : int32_t {
  // From the SSL library.
  eSSL_get_error, eSSL_library_init, eSSL_load_error_strings, eSSL_CTX_set_cipher_list, eSSL_CTX_new,
  eSSL_CTX_free, eSSL_set_fd, eSSLv2_method, eSSLv3_method, eTLSv1_method, eSSLv23_method,
  eSSL_CTX_use_PrivateKey_file, eSSL_CTX_use_certificate_chain_file, eSSL_CTX_check_private_key,
  eSSL_CTX_set_default_passwd_cb, eSSL_CTX_set_default_passwd_cb_userdata, eSSL_CTX_load_verify_locations,
  eSSL_new, eSSL_free, eSSL_accept, eSSL_connect, eSSL_shutdown, eSSL_read, eSSL_peek, eSSL_write,
  eSSL_pending, eSSL_get_peer_certificate, eSSL_get_version, eSSL_CTX_set_verify, eSSL_get_current_cipher,
  eSSL_CIPHER_get_name, eSSL_CIPHER_get_bits, eSSL_get_verify_result,
  // From the utility library.
  eX509_free, eX509_NAME_oneline, eX509_get_subject_name, eX509_get_issuer_name, eX509_NAME_hash,
  eX509_digest, eEVP_md5, eERR_error_string, eERR_get_error, eERR_clear_error, eERR_free_strings,
  eERR_remove_state, eEVP_cleanup, eCRYPTO_cleanup_all_ex_data, eRAND_screen, eBIO_new, eBIO_free_all,
  eBIO_s_mem, eBIO_ctrl_pending, eBIO_read, eBIO_write, eX509_print,
  // From the SSL library again: the server name and the host-name check of
  // the certificate, which the older binding did not have.
  eSSL_ctrl, eSSL_set1_host,
  eEntryCount
};

constexpr int32_t kSslEntries = eX509_free;  // entries 0..32 come from the SSL library
constexpr int32_t kDesignEntries = eSSL_ctrl;  // the 55 of the binding; the rest come from the SSL library too

// SSL_ctrl command and name type that set the server name (SNI).
constexpr int32_t kSslCtrlSetTlsextHostname = 55;
constexpr int64_t kTlsextNametypeHostName = 0;

// The old name of each entry and the name it is bound to in the current
// library (nullptr: the entry no longer exists).
struct TEntryName {
  const char* Name;
  const char* Bound;
};

constexpr TEntryName kEntryNames[eEntryCount] = {
    {"SSL_get_error", "SSL_get_error"},
    {"SSL_library_init", "OPENSSL_init_ssl"},
    {"SSL_load_error_strings", "SSL_load_error_strings"},
    {"SSL_CTX_set_cipher_list", "SSL_CTX_set_cipher_list"},
    {"SSL_CTX_new", "SSL_CTX_new"},
    {"SSL_CTX_free", "SSL_CTX_free"},
    {"SSL_set_fd", "SSL_set_fd"},
    {"SSLv2_method", nullptr},
    {"SSLv3_method", nullptr},
    {"TLSv1_method", "TLSv1_method"},
    {"SSLv23_method", "TLS_method"},
    {"SSL_CTX_use_PrivateKey_file", "SSL_CTX_use_PrivateKey_file"},
    {"SSL_CTX_use_certificate_chain_file", "SSL_CTX_use_certificate_chain_file"},
    {"SSL_CTX_check_private_key", "SSL_CTX_check_private_key"},
    {"SSL_CTX_set_default_passwd_cb", "SSL_CTX_set_default_passwd_cb"},
    {"SSL_CTX_set_default_passwd_cb_userdata", "SSL_CTX_set_default_passwd_cb_userdata"},
    {"SSL_CTX_load_verify_locations", "SSL_CTX_load_verify_locations"},
    {"SSL_new", "SSL_new"},
    {"SSL_free", "SSL_free"},
    {"SSL_accept", "SSL_accept"},
    {"SSL_connect", "SSL_connect"},
    {"SSL_shutdown", "SSL_shutdown"},
    {"SSL_read", "SSL_read"},
    {"SSL_peek", "SSL_peek"},
    {"SSL_write", "SSL_write"},
    {"SSL_pending", "SSL_pending"},
    {"SSL_get_peer_certificate", "SSL_get1_peer_certificate"},
    {"SSL_get_version", "SSL_get_version"},
    {"SSL_CTX_set_verify", "SSL_CTX_set_verify"},
    {"SSL_get_current_cipher", "SSL_get_current_cipher"},
    {"SSL_CIPHER_get_name", "SSL_CIPHER_get_name"},
    {"SSL_CIPHER_get_bits", "SSL_CIPHER_get_bits"},
    {"SSL_get_verify_result", "SSL_get_verify_result"},
    {"X509_free", "X509_free"},
    {"X509_NAME_oneline", "X509_NAME_oneline"},
    {"X509_get_subject_name", "X509_get_subject_name"},
    {"X509_get_issuer_name", "X509_get_issuer_name"},
    {"X509_NAME_hash", "X509_NAME_hash_ex"},
    {"X509_digest", "X509_digest"},
    {"EVP_md5", "EVP_md5"},
    {"ERR_error_string", "ERR_error_string"},
    {"ERR_get_error", "ERR_get_error"},
    {"ERR_clear_error", "ERR_clear_error"},
    {"ERR_free_strings", "ERR_free_strings"},
    {"ERR_remove_state", "ERR_remove_state"},
    {"EVP_cleanup", "EVP_cleanup"},
    {"CRYPTO_cleanup_all_ex_data", "CRYPTO_cleanup_all_ex_data"},
    {"RAND_screen", "RAND_screen"},
    {"BIO_new", "BIO_new"},
    {"BIO_free_all", "BIO_free_all"},
    {"BIO_s_mem", "BIO_s_mem"},
    {"BIO_ctrl_pending", "BIO_ctrl_pending"},
    {"BIO_read", "BIO_read"},
    {"BIO_write", "BIO_write"},
    {"X509_print", "X509_print"},
    {"SSL_ctrl", "SSL_ctrl"},
    {"SSL_set1_host", "SSL_set1_host"},
};

constexpr size_t kMaxLibraryPath = 1024;

struct TSslBinding {
  std::recursive_mutex Lock;
  DynLib SslLib;
  DynLib CryptoLib;
  std::string SslName = "libssl.so.3";
  std::string CryptoName = "libcrypto.so.3";
  std::string SslAltName;
  std::string UtilityPath;
  bool Loaded = false;
  void* Entries[eEntryCount] = {};
};

TSslBinding& S() {
  static TSslBinding* s = new TSslBinding();  // lives until the process ends
  return *s;
}

// The entry, after making sure the libraries are loaded; nullptr when missing.
template <typename F>
F Entry(TSslEntry e) {
  if (!LoadSslLibrary()) return nullptr;
  return reinterpret_cast<F>(S().Entries[e]);
}

}  // namespace

void SetSslLibraryNames(const std::string& sslName, const std::string& cryptoName, const std::string& sslAltName) {
  std::lock_guard<std::recursive_mutex> g(S().Lock);
  S().SslName = sslName;
  S().CryptoName = cryptoName;
  S().SslAltName = sslAltName;
}

void ResetSslLibraryNames() { SetSslLibraryNames("libssl.so.3", "libcrypto.so.3", ""); }

bool LoadSslLibrary() {
  TSslBinding& s = S();
  std::lock_guard<std::recursive_mutex> g(s.Lock);
  if (s.Loaded) return true;
  s.SslLib.Load(s.SslName);
  s.CryptoLib.Load(s.CryptoName);
  if (!s.SslLib.IsLoaded() && !s.SslAltName.empty()) s.SslLib.Load(s.SslAltName);
  if (!s.SslLib.IsLoaded() || !s.CryptoLib.IsLoaded()) {
    s.SslLib.Unload();
    s.CryptoLib.Unload();
    return false;
  }
  for (int32_t i = 0; i < eEntryCount; ++i) {
    const char* bound = kEntryNames[i].Bound;
    const DynLib& lib = i < kSslEntries || i >= kDesignEntries ? s.SslLib : s.CryptoLib;
    s.Entries[i] = bound != nullptr ? lib.Symbol(bound) : nullptr;
  }
  s.UtilityPath.clear();
  Dl_info info{};
  if (s.Entries[eERR_get_error] != nullptr && dladdr(s.Entries[eERR_get_error], &info) != 0 &&
      info.dli_fname != nullptr)
    s.UtilityPath = std::string(info.dli_fname).substr(0, kMaxLibraryPath);
  if (auto init = reinterpret_cast<int (*)(uint64_t, const void*)>(s.Entries[eSSL_library_init])) init(0, nullptr);
  if (auto strings = reinterpret_cast<void (*)()>(s.Entries[eSSL_load_error_strings])) strings();
  if (auto screen = reinterpret_cast<void (*)()>(s.Entries[eRAND_screen])) screen();
  s.Loaded = true;
  return true;
}

void UnloadSslLibrary() {
  TSslBinding& s = S();
  std::lock_guard<std::recursive_mutex> g(s.Lock);
  if (s.Loaded) {
    EvpCleanup();
    CryptoCleanupAllExData();
    ErrRemoveState(0);
  }
  s.Loaded = false;
  s.SslLib.Unload();
  s.CryptoLib.Unload();
  s.UtilityPath.clear();
  std::fill(std::begin(s.Entries), std::end(s.Entries), nullptr);
}

bool IsSslLoaded() { return S().Loaded; }

std::string SslUtilityLibraryPath() {
  std::lock_guard<std::recursive_mutex> g(S().Lock);
  return S().UtilityPath;
}

bool SslEntryPresent(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(S().Lock);
  for (int32_t i = 0; i < eEntryCount; ++i)
    if (name == kEntryNames[i].Name) return S().Entries[i] != nullptr;
  return false;
}

int32_t SslEntryCount() { return kDesignEntries; }

// ---- Wrappers ---------------------------------------------------------------

int32_t SslGetError(void* ssl, int32_t ret) {
  auto f = Entry<int (*)(const void*, int)>(eSSL_get_error);
  return f && ssl ? f(ssl, ret) : 1;
}

int32_t SslCtxSetCipherList(void* ctx, const std::string& list) {
  auto f = Entry<int (*)(void*, const char*)>(eSSL_CTX_set_cipher_list);
  return f ? f(ctx, list.c_str()) : 0;
}

void* SslCtxNew(void* method) {
  auto f = Entry<void* (*)(const void*)>(eSSL_CTX_new);
  return f && method ? f(method) : nullptr;
}

void SslCtxFree(void* ctx) {
  auto f = Entry<void (*)(void*)>(eSSL_CTX_free);
  if (f && ctx) f(ctx);
}

int32_t SslSetFd(void* ssl, TSocket fd) {
  auto f = Entry<int (*)(void*, int)>(eSSL_set_fd);
  return f ? f(ssl, static_cast<int>(fd)) : 0;
}

void* SslMethodV2() {
  auto f = Entry<const void* (*)()>(eSSLv2_method);
  return f ? const_cast<void*>(f()) : nullptr;
}

void* SslMethodV3() {
  auto f = Entry<const void* (*)()>(eSSLv3_method);
  return f ? const_cast<void*>(f()) : nullptr;
}

void* SslMethodTLSV1() {
  auto f = Entry<const void* (*)()>(eTLSv1_method);
  return f ? const_cast<void*>(f()) : nullptr;
}

void* SslMethodV23() {
  auto f = Entry<const void* (*)()>(eSSLv23_method);
  return f ? const_cast<void*>(f()) : nullptr;
}

int32_t SslCtxUsePrivateKeyFile(void* ctx, const std::string& file, int32_t type) {
  auto f = Entry<int (*)(void*, const char*, int)>(eSSL_CTX_use_PrivateKey_file);
  return f ? f(ctx, file.c_str(), type) : 0;
}

int32_t SslCtxUseCertificateChainFile(void* ctx, const std::string& file) {
  auto f = Entry<int (*)(void*, const char*)>(eSSL_CTX_use_certificate_chain_file);
  return f ? f(ctx, file.c_str()) : 0;
}

int32_t SslCtxLoadVerifyLocations(void* ctx, const std::string& caFile, const std::string& caPath) {
  auto f = Entry<int (*)(void*, const char*, const char*)>(eSSL_CTX_load_verify_locations);
  return f ? f(ctx, caFile.empty() ? nullptr : caFile.c_str(), caPath.empty() ? nullptr : caPath.c_str()) : 0;
}

void* SslNew(void* ctx) {
  auto f = Entry<void* (*)(void*)>(eSSL_new);
  return f && ctx ? f(ctx) : nullptr;
}

void SslFree(void* ssl) {
  auto f = Entry<void (*)(void*)>(eSSL_free);
  if (f && ssl) f(ssl);
}

int32_t SslConnect(void* ssl) {
  auto f = Entry<int (*)(void*)>(eSSL_connect);
  return f && ssl ? f(ssl) : -1;
}

int32_t SslShutdown(void* ssl) {
  auto f = Entry<int (*)(void*)>(eSSL_shutdown);
  return f && ssl ? f(ssl) : -1;
}

int32_t SslRead(void* ssl, void* buf, int32_t num) {
  auto f = Entry<int (*)(void*, void*, int)>(eSSL_read);
  return f && ssl ? f(ssl, buf, num) : -1;
}

int32_t SslWrite(void* ssl, const void* buf, int32_t num) {
  auto f = Entry<int (*)(void*, const void*, int)>(eSSL_write);
  return f && ssl ? f(ssl, buf, num) : -1;
}

int32_t SslPending(void* ssl) {
  auto f = Entry<int (*)(const void*)>(eSSL_pending);
  return f && ssl ? f(ssl) : 0;
}

void SslCtxSetDefaultPasswdCb(void* ctx, TPemPasswordCb cb) {
  auto f = Entry<void (*)(void*, TPemPasswordCb)>(eSSL_CTX_set_default_passwd_cb);
  if (f && ctx) f(ctx, cb);
}

void SslCtxSetDefaultPasswdCbUserdata(void* ctx, void* userdata) {
  auto f = Entry<void (*)(void*, void*)>(eSSL_CTX_set_default_passwd_cb_userdata);
  if (f && ctx) f(ctx, userdata);
}

int32_t SslSetServerName(void* ssl, const std::string& hostName) {
  auto f = Entry<long (*)(void*, int, long, void*)>(eSSL_ctrl);
  return f && ssl ? static_cast<int32_t>(f(ssl, kSslCtrlSetTlsextHostname, kTlsextNametypeHostName,
                                           const_cast<char*>(hostName.c_str())))
                  : 0;
}

int32_t SslSetVerifyHost(void* ssl, const std::string& host) {
  auto f = Entry<int (*)(void*, const char*)>(eSSL_set1_host);
  return f && ssl ? f(ssl, host.c_str()) : 0;
}

int64_t SslGetVerifyResult(void* ssl) {
  auto f = Entry<long (*)(const void*)>(eSSL_get_verify_result);
  return f && ssl ? f(ssl) : -1;
}

void SslCtxSetVerify(void* ctx, int32_t mode) {
  auto f = Entry<void (*)(void*, int, void*)>(eSSL_CTX_set_verify);
  if (f && ctx) f(ctx, mode, nullptr);
}

std::string ErrErrorString(uint64_t e) {
  auto f = Entry<char* (*)(unsigned long, char*)>(eERR_error_string);
  if (!f) return std::string();
  char buf[257] = {};
  f(static_cast<unsigned long>(e), buf);
  return std::string(buf, strnlen(buf, 256));
}

uint64_t ErrGetError() {
  auto f = Entry<unsigned long (*)()>(eERR_get_error);
  return f ? f() : 1;
}

void ErrClearError() {
  if (auto f = Entry<void (*)()>(eERR_clear_error)) f();
}

void ErrRemoveState(int32_t pid) {
  if (auto f = Entry<void (*)(unsigned long)>(eERR_remove_state)) f(static_cast<unsigned long>(pid));
}

void EvpCleanup() {
  if (auto f = Entry<void (*)()>(eEVP_cleanup)) f();
}

void CryptoCleanupAllExData() {
  if (auto f = Entry<void (*)()>(eCRYPTO_cleanup_all_ex_data)) f();
}

}  // namespace qv::net
