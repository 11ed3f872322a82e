// Binding to the SSL library (OpenSSL), loaded at run time on first use.
//
// The SSL library and its utility (crypto) library are opened by file name
// ("libssl.so.3", "libcrypto.so.3"; tests may change the names) and their 55
// entries are looked up by name; where an old entry name no longer exists the
// current one is bound in its place (SSL_library_init -> OPENSSL_init_ssl,
// SSLv23_method -> TLS_method, SSL_get_peer_certificate ->
// SSL_get1_peer_certificate, X509_NAME_hash -> X509_NAME_hash_ex), and the
// SSLv2/SSLv3 methods stay missing. The socket reaches the entries only
// through the wrappers below, which load the libraries first and return a
// fixed failure value when a library or an entry is missing, so the program
// runs without OpenSSL installed. Loading and unloading are serialised.
#pragma once

#include <cstdint>
#include <string>

#include "net/netsockapi.h"

namespace qv::net {

// Values of the SSL library's interface.
constexpr int32_t kSslErrorNone = 0;
constexpr int32_t kSslErrorSsl = 1;
constexpr int32_t kSslErrorWantRead = 2;
constexpr int32_t kSslErrorWantWrite = 3;
constexpr int32_t kSslErrorSyscall = 5;
constexpr int32_t kSslErrorZeroReturn = 6;
constexpr int32_t kSslVerifyNone = 0;
constexpr int32_t kSslVerifyPeer = 1;
// Verification results of a certificate made out for another host or
// address.
constexpr int64_t kX509VErrHostnameMismatch = 62;
constexpr int64_t kX509VErrIpAddressMismatch = 64;
constexpr int32_t kSslFiletypePem = 1;

// File names tried by the next load: the SSL library, the utility library,
// and a second SSL library name tried when the first fails (empty: none).
void SetSslLibraryNames(const std::string& sslName, const std::string& cryptoName,
                        const std::string& sslAltName = std::string());
void ResetSslLibraryNames();

bool LoadSslLibrary();
void UnloadSslLibrary();
bool IsSslLoaded();
// File of the loaded utility library (empty when not loaded).
std::string SslUtilityLibraryPath();
// Whether the loaded libraries gave the entry of this (old) name.
bool SslEntryPresent(const std::string& name);
// The 55 entry names of the binding in lookup order (33 SSL, then 22
// utility); two more from the SSL library follow them, for the server name
// and the certificate's host check ("SSL_ctrl", "SSL_set1_host").
int32_t SslEntryCount();

using TPemPasswordCb = int (*)(char* buf, int size, int rwflag, void* userdata);

int32_t SslGetError(void* ssl, int32_t ret);                      // missing: 1
int32_t SslCtxSetCipherList(void* ctx, const std::string& list);  // missing: 0
void* SslCtxNew(void* method);                                    // missing: null
void SslCtxFree(void* ctx);
int32_t SslSetFd(void* ssl, TSocket fd);  // missing: 0
void* SslMethodV2();                      // missing: null (always missing now)
void* SslMethodV3();
void* SslMethodTLSV1();
void* SslMethodV23();
int32_t SslCtxUsePrivateKeyFile(void* ctx, const std::string& file, int32_t type);
int32_t SslCtxUseCertificateChainFile(void* ctx, const std::string& file);
int32_t SslCtxLoadVerifyLocations(void* ctx, const std::string& caFile, const std::string& caPath);
void* SslNew(void* ctx);
void SslFree(void* ssl);
int32_t SslConnect(void* ssl);   // missing: -1
int32_t SslShutdown(void* ssl);  // missing: -1
int32_t SslRead(void* ssl, void* buf, int32_t num);         // missing: -1
int32_t SslWrite(void* ssl, const void* buf, int32_t num);  // missing: -1
int32_t SslPending(void* ssl);                              // missing: 0
void SslCtxSetDefaultPasswdCb(void* ctx, TPemPasswordCb cb);
void SslCtxSetDefaultPasswdCbUserdata(void* ctx, void* userdata);
void SslCtxSetVerify(void* ctx, int32_t mode);
// The server name sent in the handshake (SNI); missing: 0.
int32_t SslSetServerName(void* ssl, const std::string& hostName);
// Makes the handshake's verification require a certificate for host (a name
// or an IP address text); missing: 0.
int32_t SslSetVerifyHost(void* ssl, const std::string& host);
// The verification result of the handshake (0: valid); missing: -1.
int64_t SslGetVerifyResult(void* ssl);
std::string ErrErrorString(uint64_t e);  // missing: empty
uint64_t ErrGetError();                  // missing: 1
void ErrClearError();
void ErrRemoveState(int32_t pid);
void EvpCleanup();
void CryptoCleanupAllExData();

}  // namespace qv::net
