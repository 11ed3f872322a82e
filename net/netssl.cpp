#include "net/netssl.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "net/netsocket.h"
#include "net/netutil.h"
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

// SSL_ctrl command and name type that set the server name (SNI), and the
// verification results of a certificate for another host or address.
constexpr int32_t kSslCtrlSetTlsextHostname = 55;
constexpr int64_t kTlsextNametypeHostName = 0;
constexpr int64_t kX509VErrHostnameMismatch = 62;
constexpr int64_t kX509VErrIpAddressMismatch = 64;

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
// Bound on SSL retries when the socket has no timeout of its own.
constexpr int32_t kDefaultSslWaitMs = 30000;

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

// The password callback: copies the socket's SSLPassword (cut to the
// buffer) and returns the copied length.
int PasswordCallback(char* buf, int size, int, void* userdata) {
  if (buf == nullptr || size < 1 || userdata == nullptr) return 0;
  const std::string& pw = static_cast<TTCPSocket*>(userdata)->SSLPassword;
  const size_t n = std::min(pw.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, pw.data(), n);
  buf[n] = '\0';
  return static_cast<int>(n);
}

// Waits until the socket is readable (or writable), at most ms milliseconds.
bool WaitSocket(TSocket s, bool write, int32_t ms) {
  TFDSet set;
  FDSetAdd(set, s);
  TTimeVal tv;
  tv.tv_sec = std::max(ms, 0) / 1000;
  tv.tv_usec = (std::max(ms, 0) % 1000) * 1000;
  const int32_t r = write ? sockapi::Select(0, nullptr, &set, nullptr, &tv) : sockapi::Select(0, &set, nullptr, nullptr, &tv);
  return r > 0;
}

// Runs op (one SSL read or write) until the library stops asking to wait on
// the socket, for at most the socket's IOTimeout (kDefaultSslWaitMs without
// one). Sets LastError: 10060 when the wait runs out, 10091 when the library
// fails, else 0. Returns the bytes moved (0 on a clean close or an error).
template <typename Op>
int32_t SslTransfer(TTCPSocket& sock, Op op) {
  sock.LastError = 0;
  const int32_t bound = sock.IOTimeout() > 0 ? sock.IOTimeout() : kDefaultSslWaitMs;
  const uint32_t start = GetTick();
  int32_t r, err;
  for (;;) {
    r = op();
    err = SslGetError(sock.Ssl, r);
    if (err != kSslErrorWantRead && err != kSslErrorWantWrite) break;
    const int32_t left = bound - static_cast<int32_t>(TickDelta(start, GetTick()));
    if (left < 1 || !WaitSocket(sock.Socket, err == kSslErrorWantWrite, left)) {
      sock.LastError = WSAETIMEDOUT;
      break;
    }
  }
  if (sock.LastError == 0) {
    if (err == kSslErrorZeroReturn)
      r = 0;
    else if (err != kSslErrorNone)
      sock.LastError = WSASYSNOTREADY;
  }
  return r < 0 ? 0 : r;
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

// ---- The SSL side of TTCPSocket --------------------------------------------

bool TTCPSocket::SSLCheck() {
  SSLLastErrorDesc.clear();
  SSLLastError = static_cast<int32_t>(ErrGetError());
  ErrClearError();
  if (SSLLastError != 0) SSLLastErrorDesc = ErrErrorString(static_cast<uint32_t>(SSLLastError));
  return SSLLastError == 0;
}

bool TTCPSocket::SetSslKeys() {
  if (SslCtx == nullptr) return false;
  if (!SSLCertificateFile.empty() && SslCtxUseCertificateChainFile(SslCtx, SSLCertificateFile) != 1) {
    SSLCheck();
    return false;
  }
  if (!SSLPrivateKeyFile.empty() && SslCtxUsePrivateKeyFile(SslCtx, SSLPrivateKeyFile, kSslFiletypePem) != 1) {
    SSLCheck();
    return false;
  }
  if (!SSLCertCAFile.empty() && SslCtxLoadVerifyLocations(SslCtx, SSLCertCAFile, "") != 1) {
    SSLCheck();
    return false;
  }
  return true;
}

void TTCPSocket::SetSslEnabled(bool value) {
  LastError = 0;
  if (value == SslEnabled_) return;
  Buffer.clear();
  if (value) {
    SSLLastError = 0;
    SSLLastErrorDesc.clear();
    if (!LoadSslLibrary()) {
      LastError = WSAEPROTONOSUPPORT;
    } else {
      void* method = nullptr;
      switch (SSLType) {
        case LT_SSLv2: method = SslMethodV2(); break;
        case LT_SSLv3: method = SslMethodV3(); break;
        case LT_TLSv1: method = SslMethodTLSV1(); break;
        default: method = SslMethodV23(); break;
      }
      SslCtx = SslCtxNew(method);
      if (SslCtx == nullptr) {
        SSLCheck();
        LastError = WSAEPROTONOSUPPORT;
      } else {
        SslCtxSetCipherList(SslCtx, SSLCiphers);
        SslCtxSetVerify(SslCtx, SSLverifyCert ? kSslVerifyPeer : kSslVerifyNone);
        SslCtxSetDefaultPasswdCb(SslCtx, &PasswordCallback);
        SslCtxSetDefaultPasswdCbUserdata(SslCtx, this);
        if (!SetSslKeys()) {
          LastError = WSAEINVAL;
        } else {
          Ssl = SslNew(SslCtx);
          if (Ssl == nullptr) {
            SSLCheck();
            LastError = WSAEPROTONOSUPPORT;
          }
        }
      }
    }
    if (LastError == 0) {
      SslEnabled_ = true;
    } else {
      // Nothing of a failed switch-on is kept.
      SslFree(Ssl);
      SslCtxFree(SslCtx);
      Ssl = nullptr;
      SslCtx = nullptr;
    }
  } else {
    SslFree(Ssl);
    SslCtxFree(SslCtx);
    Ssl = nullptr;
    SslCtx = nullptr;
    ErrRemoveState(0);
    ErrClearError();
    SslEnabled_ = false;
  }
  ExceptCheck();
}

void TTCPSocket::SSLDoConnect() {
  LastError = 0;
  if (!SslEnabled_) SetSslEnabled(true);
  // The host the connection was made for: a name goes to the server (which
  // may serve several names on one address) and, with verification on, the
  // certificate must name that host or address.
  const std::string& host = SslPeerName_;
  if (LastError == 0) {
    if (SslSetFd(Ssl, Socket) < 1) {
      SSLCheck();
      LastError = WSASYSNOTREADY;
    } else if (!host.empty() && !IsIP(host) && !IsIP6(host) && SslSetServerName(Ssl, host) != 1) {
      SSLCheck();
      SSLLastErrorDesc = "Cannot send the server name " + host;
      LastError = WSASYSNOTREADY;
    } else if (SSLverifyCert && !host.empty() && SslSetVerifyHost(Ssl, host) != 1) {
      // Without the check a certificate of any host would pass.
      SSLCheck();
      SSLLastErrorDesc = "Cannot check the certificate against host " + host;
      LastError = WSASYSNOTREADY;
    } else if (SslConnect(Ssl) < 1) {
      // The handshake's waits are bounded by the socket's own receive and
      // send timeouts (SetTimeout).
      SSLCheck();
      const int64_t verify = SslGetVerifyResult(Ssl);
      if (SSLverifyCert && (verify == kX509VErrHostnameMismatch || verify == kX509VErrIpAddressMismatch))
        SSLLastErrorDesc = "The certificate does not match host " + host;
      LastError = WSASYSNOTREADY;
    }
  }
  if (LastError != 0) {
    const int32_t err = LastError;
    const bool raise = RaiseExcept;
    RaiseExcept = false;
    SetSslEnabled(false);
    RaiseExcept = raise;
    LastError = err;
  }
  ExceptCheck();
}

void TTCPSocket::SSLDoShutdown() {
  LastError = 0;
  if (Ssl != nullptr) {
    const int32_t r = SslShutdown(Ssl);
    // The second call waits for the peer's close notification; make it only
    // when something has arrived, so closing never hangs on a silent peer.
    if (r == 0 && Socket != INVALID_SOCKET && WaitSocket(Socket, false, 0)) SslShutdown(Ssl);
    ErrClearError();
  }
  const bool raise = RaiseExcept;
  RaiseExcept = false;
  SetSslEnabled(false);
  RaiseExcept = raise;
}

int32_t TTCPSocket::SslPendingBytes() { return SslPending(Ssl); }

int32_t TTCPSocket::RecvBuffer(void* buffer, int32_t length) {
  if (!SslActive()) return TBaseSocket::RecvBuffer(buffer, length);
  if (length < 0) length = 0;
  LimitBandwidth(length, MaxRecvBandwidth, NextRecv);
  const int32_t r = SslTransfer(*this, [&] { return SslRead(Ssl, buffer, length); });
  if (r == 0 && LastError == 0 && length > 0) LastError = WSAECONNRESET;
  if (LastError == WSASYSNOTREADY) SSLCheck();
  ExceptCheck();
  return CountReceived(buffer, r);
}

int32_t TTCPSocket::SendBuffer(const void* buffer, int32_t length) {
  if (!SslActive()) return TBaseSocket::SendBuffer(buffer, length);
  if (length < 0) length = 0;
  LimitBandwidth(length, MaxSendBandwidth, NextSend);
  std::string filtered;
  const void* data = FilterOutgoing(buffer, length, filtered);
  if (length == 0) {
    LastError = 0;
    return CountSent(0);
  }
  const int32_t r = SslTransfer(*this, [&] { return SslWrite(Ssl, data, length); });
  if (LastError == WSASYSNOTREADY) SSLCheck();
  ExceptCheck();
  return CountSent(r);
}

}  // namespace qv::net
