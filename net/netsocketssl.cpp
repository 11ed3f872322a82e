// The SSL side of TTCPSocket: turning SSL on and off, the handshake, the
// shutdown and reads and writes through the SSL layer. The library calls go
// through the wrappers of netssl.h.
#include "net/netsocket.h"

#include <algorithm>
#include <cstring>

#include "net/netssl.h"
#include "net/netutil.h"

namespace qv::net {

namespace {

// Bound on SSL retries when the socket has no timeout of its own.
constexpr int32_t kDefaultSslWaitMs = 30000;

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
