#include "net/netsockapi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "net/netresolve.h"
#include "net/netutil.h"
#include "platform/host/SysUtils.h"

namespace qv::net {

namespace {

thread_local int32_t tLastError = 0;

int32_t Fail(int32_t code) {
  tLastError = code;
  return SOCKET_ERROR;
}

int32_t FailErrno() { return Fail(WsaCodeFromErrno(errno)); }

int32_t WsaCodeFromEai(int32_t rc) {
  switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_SOCKTYPE: return 10044;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_SYSTEM: return WsaCodeFromErrno(errno);
    default: return WSANO_RECOVERY;
  }
}

int32_t WsaCodeFromHErrno(int32_t h) {
  switch (h) {
    case HOST_NOT_FOUND: return WSAHOST_NOT_FOUND;
    case TRY_AGAIN: return WSATRY_AGAIN;
    case NO_RECOVERY: return WSANO_RECOVERY;
    case NO_DATA: return WSANO_DATA;
    default: return WSANO_RECOVERY;
  }
}

int NativeFamily(int32_t af) {
  if (af == kAfInet6) return AF_INET6;
  if (af == kAfInet) return AF_INET;
  if (af == kAfUnspec) return AF_UNSPEC;
  return -1;
}

// Socket addresses differ from the native ones only in the IPv6 family
// number; the layouts of both records are the same.
bool ToNative(const sockaddr* in, int32_t len, sockaddr_storage& out, socklen_t& outLen) {
  if (in == nullptr || len < 2 || static_cast<size_t>(len) > sizeof(out)) return false;
  std::memset(&out, 0, sizeof(out));
  std::memcpy(&out, in, static_cast<size_t>(len));
  const int32_t family = reinterpret_cast<const sockaddr*>(&out)->sa_family;
  const int native = NativeFamily(family);
  if (native < 0) return false;
  out.ss_family = static_cast<sa_family_t>(native);
  outLen = static_cast<socklen_t>(len);
  return true;
}

void FromNative(const sockaddr_storage& in, socklen_t inLen, sockaddr* out, int32_t* outLen) {
  if (out == nullptr || outLen == nullptr) return;
  sockaddr_storage copy = in;
  if (copy.ss_family == AF_INET6) copy.ss_family = static_cast<sa_family_t>(kAfInet6);
  const size_t n = std::min(static_cast<size_t>(inLen), static_cast<size_t>(std::max(*outLen, 0)));
  std::memcpy(out, &copy, n);
  *outLen = static_cast<int32_t>(inLen);
}

int NativeMsgFlags(int32_t flags) {
  int r = MSG_NOSIGNAL;
  if (flags & kMsgOob) r |= MSG_OOB;
  if (flags & kMsgPeek) r |= MSG_PEEK;
  return r;
}

// Translates a socket option. kind: 0 int, 1 Boolean int, 2 linger, 3 time
// in milliseconds (DWORD) <-> timeval.
bool NativeOption(int32_t level, int32_t opt, int& nLevel, int& nOpt, int& kind) {
  kind = 0;
  if (level == kSolSocket) {
    nLevel = SOL_SOCKET;
    switch (opt) {
      case kSoReuseAddr: nOpt = SO_REUSEADDR; kind = 1; return true;
      case kSoBroadcast: nOpt = SO_BROADCAST; kind = 1; return true;
      case kSoLinger: nOpt = SO_LINGER; kind = 2; return true;
      case kSoSndBuf: nOpt = SO_SNDBUF; return true;
      case kSoRcvBuf: nOpt = SO_RCVBUF; return true;
      case kSoSndTimeo: nOpt = SO_SNDTIMEO; kind = 3; return true;
      case kSoRcvTimeo: nOpt = SO_RCVTIMEO; kind = 3; return true;
      case kSoError: nOpt = SO_ERROR; return true;
      case kSoType: nOpt = SO_TYPE; return true;
      case 8: nOpt = SO_KEEPALIVE; kind = 1; return true;
      default: return false;
    }
  }
  if (level == kIpProtoIp) {
    nLevel = IPPROTO_IP;
    switch (opt) {
      case kIpTtl: nOpt = IP_TTL; return true;
      case kIpMulticastTtl: nOpt = IP_MULTICAST_TTL; return true;
      case kIpMulticastLoop: nOpt = IP_MULTICAST_LOOP; kind = 1; return true;
      default: return false;
    }
  }
  if (level == kIpProtoIpv6) {
    nLevel = IPPROTO_IPV6;
    switch (opt) {
      case kIpv6UnicastHops: nOpt = IPV6_UNICAST_HOPS; return true;
      case kIpv6MulticastHops: nOpt = IPV6_MULTICAST_HOPS; return true;
      case kIpv6MulticastLoop: nOpt = IPV6_MULTICAST_LOOP; kind = 1; return true;
      default: return false;
    }
  }
  if (level == kIpProtoTcp && opt == kTcpNoDelay) {
    nLevel = IPPROTO_TCP;
    nOpt = TCP_NODELAY;
    kind = 1;
    return true;
  }
  return false;
}

// ---- The POSIX-bound entries ------------------------------------------------

int32_t PxWSAIoctl(TSocket, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t*, void*, void*) {
  return Fail(WSAEOPNOTSUPP);
}

int32_t PxWSAFDIsSet(TSocket s, TFDSet* set) {
  if (set == nullptr) return 0;
  for (uint32_t i = 0; i < set->fd_count && i < kFDSetSize; ++i)
    if (set->fd_array[i] == s) return 1;
  return 0;
}

int32_t PxCloseSocket(TSocket s) { return ::close(static_cast<int>(s)) == 0 ? 0 : FailErrno(); }

int32_t PxIoctlSocket(TSocket s, int32_t cmd, uint32_t* arg) {
  if (arg == nullptr) return Fail(10014);
  const uint32_t c = static_cast<uint32_t>(cmd);
  if (c == kFionbio) {
    int on = *arg != 0 ? 1 : 0;
    return ::ioctl(static_cast<int>(s), FIONBIO, &on) == 0 ? 0 : FailErrno();
  }
  if (c == kFionread) {
    int n = 0;
    if (::ioctl(static_cast<int>(s), FIONREAD, &n) != 0) return FailErrno();
    *arg = static_cast<uint32_t>(n < 0 ? 0 : n);
    return 0;
  }
  return Fail(WSAEINVAL);
}

int32_t PxWSAGetLastError() { return tLastError; }

int32_t PxWSAStartup(uint16_t version, TWSAData* data) {
  if (data == nullptr) return 10014;
  *data = TWSAData{};
  data->wVersion = version;
  data->wHighVersion = 0x0202;
  std::strncpy(data->szDescription, "POSIX sockets", sizeof(data->szDescription) - 1);
  std::strncpy(data->szSystemStatus, "Running", sizeof(data->szSystemStatus) - 1);
  data->iMaxSockets = 0xFFFF;
  data->iMaxUdpDg = 0xFFFF;
  return 0;
}

int32_t PxWSACleanup() { return 0; }

TSocket PxAccept(TSocket s, sockaddr* addr, int32_t* addrLen) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  int fd;
  do fd = ::accept4(static_cast<int>(s), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  FromNative(ss, len, addr, addrLen);
  return fd;
}

int32_t PxBind(TSocket s, const sockaddr* addr, int32_t addrLen) {
  sockaddr_storage ss;
  socklen_t len;
  if (!ToNative(addr, addrLen, ss, len)) return Fail(WSAEAFNOSUPPORT);
  return ::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&ss), len) == 0 ? 0 : FailErrno();
}

int32_t PxConnect(TSocket s, const sockaddr* addr, int32_t addrLen) {
  sockaddr_storage ss;
  socklen_t len;
  if (!ToNative(addr, addrLen, ss, len)) return Fail(WSAEAFNOSUPPORT);
  if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
  const int err = errno;
  // A blocking socket whose send timeout ends the connect reports
  // EINPROGRESS on Linux; for the caller that is a timed-out connect.
  if (err == EINPROGRESS || err == EAGAIN) {
    const int fl = ::fcntl(static_cast<int>(s), F_GETFL);
    if (fl >= 0 && (fl & O_NONBLOCK) == 0) return Fail(WSAETIMEDOUT);
  }
  return Fail(WsaCodeFromErrno(err));
}

int32_t PxGetPeerName(TSocket s, sockaddr* addr, int32_t* addrLen) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (::getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  FromNative(ss, len, addr, addrLen);
  return 0;
}

int32_t PxGetSockName(TSocket s, sockaddr* addr, int32_t* addrLen) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  FromNative(ss, len, addr, addrLen);
  return 0;
}

int32_t PxGetSockOpt(TSocket s, int32_t level, int32_t opt, char* value, int32_t* valueLen) {
  int nLevel, nOpt, kind;
  if (!NativeOption(level, opt, nLevel, nOpt, kind)) return Fail(WSAENOPROTOOPT);
  if (value == nullptr || valueLen == nullptr) return Fail(10014);
  const int fd = static_cast<int>(s);
  if (kind == 2) {
    linger l{};
    socklen_t len = sizeof(l);
    if (*valueLen < 4) return Fail(10014);
    if (::getsockopt(fd, nLevel, nOpt, &l, &len) != 0) return FailErrno();
    const uint16_t w[2] = {static_cast<uint16_t>(l.l_onoff), static_cast<uint16_t>(l.l_linger)};
    std::memcpy(value, w, 4);
    *valueLen = 4;
    return 0;
  }
  if (*valueLen < 4) return Fail(10014);
  int32_t out = 0;
  if (kind == 3) {
    timeval tv{};
    socklen_t len = sizeof(tv);
    if (::getsockopt(fd, nLevel, nOpt, &tv, &len) != 0) return FailErrno();
    out = static_cast<int32_t>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
  } else {
    int v = 0;
    socklen_t len = sizeof(v);
    if (::getsockopt(fd, nLevel, nOpt, &v, &len) != 0) return FailErrno();
    out = nOpt == SO_ERROR && nLevel == SOL_SOCKET && v != 0 ? WsaCodeFromErrno(v) : v;
  }
  std::memcpy(value, &out, 4);
  *valueLen = 4;
  return 0;
}

int32_t PxSetSockOpt(TSocket s, int32_t level, int32_t opt, const char* value, int32_t valueLen) {
  int nLevel, nOpt, kind;
  if (!NativeOption(level, opt, nLevel, nOpt, kind)) return Fail(WSAENOPROTOOPT);
  if (value == nullptr || valueLen < 1) return Fail(10014);
  const int fd = static_cast<int>(s);
  int rc;
  if (kind == 2) {
    if (valueLen < 4) return Fail(10014);
    uint16_t w[2];
    std::memcpy(w, value, 4);
    linger l{w[0], w[1]};
    rc = ::setsockopt(fd, nLevel, nOpt, &l, sizeof(l));
  } else {
    int32_t v = 0;
    std::memcpy(&v, value, static_cast<size_t>(std::min(valueLen, 4)));
    if (kind == 3) {
      timeval tv{};
      tv.tv_sec = v / 1000;
      tv.tv_usec = (v % 1000) * 1000;
      rc = ::setsockopt(fd, nLevel, nOpt, &tv, sizeof(tv));
    } else {
      int iv = kind == 1 ? (v != 0 ? 1 : 0) : v;
      rc = ::setsockopt(fd, nLevel, nOpt, &iv, sizeof(iv));
    }
  }
  return rc == 0 ? 0 : FailErrno();
}

uint32_t PxHToNL(uint32_t v) { return htonl(v); }
uint16_t PxHToNS(uint16_t v) { return htons(v); }
uint32_t PxNToHL(uint32_t v) { return ntohl(v); }
uint16_t PxNToHS(uint16_t v) { return ntohs(v); }

uint32_t PxInetAddr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  in_addr a{};
  return ::inet_aton(text, &a) != 0 ? a.s_addr : INADDR_NONE;
}

char* PxInetNtoa(uint32_t netAddr) {
  in_addr a{};
  a.s_addr = netAddr;
  return ::inet_ntoa(a);
}

int32_t PxListen(TSocket s, int32_t backlog) {
  return ::listen(static_cast<int>(s), backlog) == 0 ? 0 : FailErrno();
}

int32_t PxRecv(TSocket s, char* buf, int32_t len, int32_t flags) {
  ssize_t n;
  do n = ::recv(static_cast<int>(s), buf, static_cast<size_t>(std::max(len, 0)), NativeMsgFlags(flags));
  while (n < 0 && errno == EINTR);
  return n < 0 ? FailErrno() : static_cast<int32_t>(n);
}

int32_t PxRecvFrom(TSocket s, char* buf, int32_t len, int32_t flags, sockaddr* from, int32_t* fromLen) {
  sockaddr_storage ss{};
  socklen_t sl = sizeof(ss);
  ssize_t n;
  do n = ::recvfrom(static_cast<int>(s), buf, static_cast<size_t>(std::max(len, 0)), NativeMsgFlags(flags),
                    reinterpret_cast<sockaddr*>(&ss), &sl);
  while (n < 0 && errno == EINTR);
  if (n < 0) return FailErrno();
  FromNative(ss, sl, from, fromLen);
  return static_cast<int32_t>(n);
}

// select over the library's socket sets, done with poll: a closed or failed
// connection counts as readable, as the library reports it.
int32_t PxSelect(int32_t, TFDSet* readFds, TFDSet* writeFds, TFDSet* exceptFds, const TTimeVal* timeout) {
  std::vector<pollfd> fds;
  auto addSet = [&](TFDSet* set, short events) {
    if (set == nullptr) return;
    for (uint32_t i = 0; i < set->fd_count && i < kFDSetSize; ++i) {
      const int fd = static_cast<int>(set->fd_array[i]);
      bool found = false;
      for (auto& p : fds)
        if (p.fd == fd) {
          p.events = static_cast<short>(p.events | events);
          found = true;
        }
      if (!found) fds.push_back(pollfd{fd, events, 0});
    }
  };
  addSet(readFds, POLLIN);
  addSet(writeFds, POLLOUT);
  addSet(exceptFds, POLLPRI);
  int64_t waitMs = -1;
  if (timeout != nullptr)
    waitMs = std::max<int64_t>(0, int64_t{timeout->tv_sec} * 1000 + (int64_t{timeout->tv_usec} + 999) / 1000);
  const uint32_t start = GetTick();
  int rc;
  for (;;) {
    int64_t left = waitMs;
    if (waitMs > 0) left = std::max<int64_t>(0, waitMs - TickDelta(start, GetTick()));
    rc = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF)));
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc < 0) return FailErrno();
  for (const auto& p : fds)
    if (p.revents & POLLNVAL) return Fail(WSAENOTSOCK);
  auto revents = [&](TSocket s) -> short {
    for (const auto& p : fds)
      if (p.fd == static_cast<int>(s)) return p.revents;
    return 0;
  };
  int32_t count = 0;
  auto filter = [&](TFDSet* set, short mask) {
    if (set == nullptr) return;
    TFDSet kept;
    for (uint32_t i = 0; i < set->fd_count && i < kFDSetSize; ++i)
      if (revents(set->fd_array[i]) & mask) kept.fd_array[kept.fd_count++] = set->fd_array[i];
    *set = kept;
    count += static_cast<int32_t>(kept.fd_count);
  };
  filter(readFds, POLLIN | POLLHUP | POLLERR);
  filter(writeFds, POLLOUT | POLLERR | POLLHUP);
  filter(exceptFds, POLLPRI);
  return count;
}

int32_t PxSend(TSocket s, const char* buf, int32_t len, int32_t flags) {
  ssize_t n;
  do n = ::send(static_cast<int>(s), buf, static_cast<size_t>(std::max(len, 0)), NativeMsgFlags(flags));
  while (n < 0 && errno == EINTR);
  return n < 0 ? FailErrno() : static_cast<int32_t>(n);
}

int32_t PxSendTo(TSocket s, const char* buf, int32_t len, int32_t flags, const sockaddr* to, int32_t toLen) {
  sockaddr_storage ss;
  socklen_t sl;
  if (!ToNative(to, toLen, ss, sl)) return Fail(WSAEAFNOSUPPORT);
  ssize_t n;
  do n = ::sendto(static_cast<int>(s), buf, static_cast<size_t>(std::max(len, 0)), NativeMsgFlags(flags),
                  reinterpret_cast<sockaddr*>(&ss), sl);
  while (n < 0 && errno == EINTR);
  return n < 0 ? FailErrno() : static_cast<int32_t>(n);
}

int32_t PxShutdown(TSocket s, int32_t how) {
  const int h = how == kSdReceive ? SHUT_RD : how == kSdSend ? SHUT_WR : SHUT_RDWR;
  return ::shutdown(static_cast<int>(s), h) == 0 ? 0 : FailErrno();
}

TSocket PxSocket(int32_t af, int32_t type, int32_t protocol) {
  const int family = NativeFamily(af);
  if (family < 0 || family == AF_UNSPEC) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  return fd;
}

hostent* PxGetHostByAddr(const char* addr, int32_t len, int32_t type) {
  hostent* h = ::gethostbyaddr(addr, static_cast<socklen_t>(len), NativeFamily(type));
  if (h == nullptr) Fail(WsaCodeFromHErrno(h_errno));
  return h;
}

hostent* PxGetHostByName(const char* name) {
  hostent* h = ::gethostbyname(name);
  if (h == nullptr) Fail(WsaCodeFromHErrno(h_errno));
  return h;
}

protoent* PxGetProtoByName(const char* name) { return ::getprotobyname(name); }
protoent* PxGetProtoByNumber(int32_t proto) { return ::getprotobynumber(proto); }
servent* PxGetServByName(const char* name, const char* proto) { return ::getservbyname(name, proto); }
servent* PxGetServByPort(int32_t port, const char* proto) { return ::getservbyport(port, proto); }

int32_t PxGetHostName(char* name, int32_t len) {
  if (name == nullptr || len < 1) return Fail(10014);
  return ::gethostname(name, static_cast<size_t>(len)) == 0 ? 0 : FailErrno();
}

// getaddrinfo in the library's terms (its family numbers, its codes),
// waiting at most timeoutMs for the answer (0: as long as it takes).
int32_t PxResolve(const char* node, const char* service, const addrinfo* hints, addrinfo** res, int32_t timeoutMs) {
  addrinfo h{};
  if (hints != nullptr) {
    h.ai_flags = hints->ai_flags & (kAiPassive | kAiCanonName | kAiNumericHost);
    h.ai_family = NativeFamily(hints->ai_family);
    if (h.ai_family < 0) {
      tLastError = WSAEAFNOSUPPORT;
      return WSAEAFNOSUPPORT;
    }
    h.ai_socktype = hints->ai_socktype;
    h.ai_protocol = hints->ai_protocol;
  }
  const addrinfo* nativeHints = hints != nullptr ? &h : nullptr;
  const int rc = timeoutMs > 0 ? ResolveWithin(node, service, nativeHints, res, timeoutMs)
                               : ::getaddrinfo(node, service, nativeHints, res);
  if (rc != 0) {
    const int32_t code = rc == EAI_INPROGRESS ? WSAETIMEDOUT : WsaCodeFromEai(rc);
    tLastError = code;
    return code;
  }
  for (addrinfo* p = *res; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET6) p->ai_family = kAfInet6;
    if (p->ai_addr != nullptr && p->ai_addr->sa_family == AF_INET6)
      p->ai_addr->sa_family = static_cast<sa_family_t>(kAfInet6);
  }
  return 0;
}

int32_t PxGetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  return PxResolve(node, service, hints, res, 0);
}

void PxFreeAddrInfo(addrinfo* ai) {
  if (ai != nullptr) ::freeaddrinfo(ai);
}

int32_t PxGetNameInfo(const sockaddr* addr, int32_t addrLen, char* host, uint32_t hostLen, char* serv,
                      uint32_t servLen, int32_t flags) {
  sockaddr_storage ss;
  socklen_t sl;
  if (!ToNative(addr, addrLen, ss, sl)) {
    tLastError = WSAEAFNOSUPPORT;
    return WSAEAFNOSUPPORT;
  }
  int nf = 0;
  if (flags & kNiNoFqdn) nf |= NI_NOFQDN;
  if (flags & kNiNumericHost) nf |= NI_NUMERICHOST;
  if (flags & kNiNameReqd) nf |= NI_NAMEREQD;
  if (flags & kNiNumericServ) nf |= NI_NUMERICSERV;
  if (flags & kNiDgram) nf |= NI_DGRAM;
  const int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&ss), sl, host, hostLen, serv, servLen, nf);
  if (rc != 0) {
    const int32_t code = WsaCodeFromEai(rc);
    tLastError = code;
    return code;
  }
  return 0;
}

template <typename F>
void* Proc(F f) {
  return reinterpret_cast<void*>(f);
}

// ---- The loaded library ----------------------------------------------------

struct TSockApi {
  int32_t (*WSAIoctl)(TSocket, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t*, void*, void*);
  int32_t (*WSAFDIsSet)(TSocket, TFDSet*);
  int32_t (*closesocket)(TSocket);
  int32_t (*ioctlsocket)(TSocket, int32_t, uint32_t*);
  int32_t (*WSAGetLastError)();
  int32_t (*WSAStartup)(uint16_t, TWSAData*);
  int32_t (*WSACleanup)();
  TSocket (*accept)(TSocket, sockaddr*, int32_t*);
  int32_t (*bind)(TSocket, const sockaddr*, int32_t);
  int32_t (*connect)(TSocket, const sockaddr*, int32_t);
  int32_t (*getpeername)(TSocket, sockaddr*, int32_t*);
  int32_t (*getsockname)(TSocket, sockaddr*, int32_t*);
  int32_t (*getsockopt)(TSocket, int32_t, int32_t, char*, int32_t*);
  uint32_t (*Htonl)(uint32_t);
  uint16_t (*Htons)(uint16_t);
  uint32_t (*inet_addr)(const char*);
  char* (*inet_ntoa)(uint32_t);
  int32_t (*listen)(TSocket, int32_t);
  uint32_t (*Ntohl)(uint32_t);
  uint16_t (*Ntohs)(uint16_t);
  int32_t (*recv)(TSocket, char*, int32_t, int32_t);
  int32_t (*recvfrom)(TSocket, char*, int32_t, int32_t, sockaddr*, int32_t*);
  int32_t (*select)(int32_t, TFDSet*, TFDSet*, TFDSet*, const TTimeVal*);
  int32_t (*send)(TSocket, const char*, int32_t, int32_t);
  int32_t (*sendto)(TSocket, const char*, int32_t, int32_t, const sockaddr*, int32_t);
  int32_t (*setsockopt)(TSocket, int32_t, int32_t, const char*, int32_t);
  int32_t (*shutdown)(TSocket, int32_t);
  TSocket (*socket)(int32_t, int32_t, int32_t);
  hostent* (*gethostbyaddr)(const char*, int32_t, int32_t);
  hostent* (*gethostbyname)(const char*);
  protoent* (*getprotobyname)(const char*);
  protoent* (*getprotobynumber)(int32_t);
  servent* (*getservbyname)(const char*, const char*);
  servent* (*getservbyport)(int32_t, const char*);
  int32_t (*gethostname)(char*, int32_t);
  int32_t (*getaddrinfo)(const char*, const char*, const addrinfo*, addrinfo**);
  void (*freeaddrinfo)(addrinfo*);
  int32_t (*getnameinfo)(const sockaddr*, int32_t, char*, uint32_t, char*, uint32_t, int32_t);
};

struct TBinding {
  std::recursive_mutex Lock;
  int32_t RefCount = 0;
  const TSockLibImage* Library = nullptr;
  const TSockLibImage* Wship6 = nullptr;
  bool Enhanced = false;
  bool Wship6Api = false;
  TSockApi Api{};
  TSockLibLoader Loader;
  bool UnitStarted = false;
  TWSAData WsaData;
};

TBinding& B() {
  static TBinding* b = new TBinding();  // lives until the process ends
  return *b;
}

void* FindProc(const TSockLibImage* lib, const char* name) {
  if (lib == nullptr) return nullptr;
  for (const auto& e : *lib)
    if (std::strcmp(e.Name, name) == 0) return e.Proc;
  return nullptr;
}

template <typename T>
void Resolve(T& slot, const TSockLibImage* lib, const char* name) {
  slot = reinterpret_cast<T>(FindProc(lib, name));
}

const TSockLibImage* DefaultLoader(const std::string& name) {
  return LowerCase(name) == "ws2_32.dll" ? &PosixSocketLibrary() : nullptr;
}

const TSockApi& Api() { return B().Api; }

int32_t Missing() { return Fail(WSANOTINITIALISED); }

}  // namespace

int32_t WsaCodeFromErrno(int32_t err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case EPIPE: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return err;
  }
}

void FDSetZero(TFDSet& set) { set.fd_count = 0; }

void FDSetAdd(TFDSet& set, TSocket s) {
  for (uint32_t i = 0; i < set.fd_count; ++i)
    if (set.fd_array[i] == s) return;
  if (set.fd_count < kFDSetSize) set.fd_array[set.fd_count++] = s;
}

const std::vector<const char*>& SocketEntryNames() {
  static const std::vector<const char*> names = {
      "WSAIoctl",       "__WSAFDIsSet",     "closesocket",   "ioctlsocket",   "WSAGetLastError",
      "WSAStartup",     "WSACleanup",       "accept",        "bind",          "connect",
      "getpeername",    "getsockname",      "getsockopt",    "htonl",         "htons",
      "inet_addr",      "inet_ntoa",        "listen",        "ntohl",         "ntohs",
      "recv",           "recvfrom",         "select",        "send",          "sendto",
      "setsockopt",     "shutdown",         "socket",        "gethostbyaddr", "gethostbyname",
      "getprotobyname", "getprotobynumber", "getservbyname", "getservbyport", "gethostname",
      "getaddrinfo",    "freeaddrinfo",     "getnameinfo"};
  return names;
}

const TSockLibImage& PosixSocketLibrary() {
  static const TSockLibImage image = {
      {"WSAIoctl", Proc(&PxWSAIoctl)},
      {"__WSAFDIsSet", Proc(&PxWSAFDIsSet)},
      {"closesocket", Proc(&PxCloseSocket)},
      {"ioctlsocket", Proc(&PxIoctlSocket)},
      {"WSAGetLastError", Proc(&PxWSAGetLastError)},
      {"WSAStartup", Proc(&PxWSAStartup)},
      {"WSACleanup", Proc(&PxWSACleanup)},
      {"accept", Proc(&PxAccept)},
      {"bind", Proc(&PxBind)},
      {"connect", Proc(&PxConnect)},
      {"getpeername", Proc(&PxGetPeerName)},
      {"getsockname", Proc(&PxGetSockName)},
      {"getsockopt", Proc(&PxGetSockOpt)},
      {"htonl", Proc(&PxHToNL)},
      {"htons", Proc(&PxHToNS)},
      {"inet_addr", Proc(&PxInetAddr)},
      {"inet_ntoa", Proc(&PxInetNtoa)},
      {"listen", Proc(&PxListen)},
      {"ntohl", Proc(&PxNToHL)},
      {"ntohs", Proc(&PxNToHS)},
      {"recv", Proc(&PxRecv)},
      {"recvfrom", Proc(&PxRecvFrom)},
      {"select", Proc(&PxSelect)},
      {"send", Proc(&PxSend)},
      {"sendto", Proc(&PxSendTo)},
      {"setsockopt", Proc(&PxSetSockOpt)},
      {"shutdown", Proc(&PxShutdown)},
      {"socket", Proc(&PxSocket)},
      {"gethostbyaddr", Proc(&PxGetHostByAddr)},
      {"gethostbyname", Proc(&PxGetHostByName)},
      {"getprotobyname", Proc(&PxGetProtoByName)},
      {"getprotobynumber", Proc(&PxGetProtoByNumber)},
      {"getservbyname", Proc(&PxGetServByName)},
      {"getservbyport", Proc(&PxGetServByPort)},
      {"gethostname", Proc(&PxGetHostName)},
      {"getaddrinfo", Proc(&PxGetAddrInfo)},
      {"freeaddrinfo", Proc(&PxFreeAddrInfo)},
      {"getnameinfo", Proc(&PxGetNameInfo)},
  };
  return image;
}

void SetSocketLibraryLoader(TSockLibLoader loader) {
  std::lock_guard<std::recursive_mutex> g(B().Lock);
  B().Loader = std::move(loader);
}

bool LoadSocketLibrary(const std::string& stub) {
  TBinding& b = B();
  std::lock_guard<std::recursive_mutex> g(b.Lock);
  if (b.RefCount == 0) {
    b.Enhanced = false;
    b.Wship6Api = false;
    const std::string name = stub.empty() ? std::string("ws2_32.dll") : stub;
    const TSockLibImage* lib = b.Loader ? b.Loader(name) : DefaultLoader(name);
    if (lib == nullptr) return false;
    b.Library = lib;
    b.Wship6 = nullptr;
    TSockApi& a = b.Api;
    Resolve(a.WSAIoctl, lib, "WSAIoctl");
    Resolve(a.WSAFDIsSet, lib, "__WSAFDIsSet");
    Resolve(a.closesocket, lib, "closesocket");
    Resolve(a.ioctlsocket, lib, "ioctlsocket");
    Resolve(a.WSAGetLastError, lib, "WSAGetLastError");
    Resolve(a.WSAStartup, lib, "WSAStartup");
    Resolve(a.WSACleanup, lib, "WSACleanup");
    Resolve(a.accept, lib, "accept");
    Resolve(a.bind, lib, "bind");
    Resolve(a.connect, lib, "connect");
    Resolve(a.getpeername, lib, "getpeername");
    Resolve(a.getsockname, lib, "getsockname");
    Resolve(a.getsockopt, lib, "getsockopt");
    Resolve(a.Htonl, lib, "htonl");
    Resolve(a.Htons, lib, "htons");
    Resolve(a.inet_addr, lib, "inet_addr");
    Resolve(a.inet_ntoa, lib, "inet_ntoa");
    Resolve(a.listen, lib, "listen");
    Resolve(a.Ntohl, lib, "ntohl");
    Resolve(a.Ntohs, lib, "ntohs");
    Resolve(a.recv, lib, "recv");
    Resolve(a.recvfrom, lib, "recvfrom");
    Resolve(a.select, lib, "select");
    Resolve(a.send, lib, "send");
    Resolve(a.sendto, lib, "sendto");
    Resolve(a.setsockopt, lib, "setsockopt");
    Resolve(a.shutdown, lib, "shutdown");
    Resolve(a.socket, lib, "socket");
    Resolve(a.gethostbyaddr, lib, "gethostbyaddr");
    Resolve(a.gethostbyname, lib, "gethostbyname");
    Resolve(a.getprotobyname, lib, "getprotobyname");
    Resolve(a.getprotobynumber, lib, "getprotobynumber");
    Resolve(a.getservbyname, lib, "getservbyname");
    Resolve(a.getservbyport, lib, "getservbyport");
    Resolve(a.gethostname, lib, "gethostname");
    Resolve(a.getaddrinfo, lib, "getaddrinfo");
    Resolve(a.freeaddrinfo, lib, "freeaddrinfo");
    Resolve(a.getnameinfo, lib, "getnameinfo");
    b.Enhanced = a.getaddrinfo != nullptr && a.freeaddrinfo != nullptr && a.getnameinfo != nullptr;
    if (!b.Enhanced) {
      const TSockLibImage* w = b.Loader ? b.Loader("wship6.dll") : DefaultLoader("wship6.dll");
      if (w != nullptr) {
        b.Wship6 = w;
        Resolve(a.getaddrinfo, w, "getaddrinfo");
        Resolve(a.freeaddrinfo, w, "freeaddrinfo");
        Resolve(a.getnameinfo, w, "getnameinfo");
        b.Wship6Api = a.getaddrinfo != nullptr && a.freeaddrinfo != nullptr && a.getnameinfo != nullptr;
      }
    }
  }
  ++b.RefCount;
  return true;
}

void UnloadSocketLibrary() {
  TBinding& b = B();
  std::lock_guard<std::recursive_mutex> g(b.Lock);
  if (b.RefCount > 0) --b.RefCount;
  if (b.RefCount == 0) {
    b.Library = nullptr;
    b.Wship6 = nullptr;
    b.Api = TSockApi{};
  }
}

bool SockEnhancedApi() { return B().Enhanced; }
bool SockWship6Api() { return B().Wship6Api; }
std::recursive_mutex& SocketLibraryLock() { return B().Lock; }

void SocketUnitStart() {
  TBinding& b = B();
  std::lock_guard<std::recursive_mutex> g(b.Lock);
  if (b.UnitStarted) return;
  // A write to a connection the peer has closed must come back as an error
  // (10054), not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  if (!LoadSocketLibrary("ws2_32.dll"))
    throw ENetSocketError("Error loading Socket interface (ws2_32.dll)!", 0);
  sockapi::WSAStartup(0x0202, &b.WsaData);
  b.UnitStarted = true;
}

void SocketUnitEnd() {
  TBinding& b = B();
  std::lock_guard<std::recursive_mutex> g(b.Lock);
  if (!b.UnitStarted) return;
  sockapi::WSACleanup();
  UnloadSocketLibrary();
  b.UnitStarted = false;
}

bool SocketUnitStarted() { return B().UnitStarted; }

const TWSAData& ProcessWsaData() { return B().WsaData; }

namespace sockapi {

int32_t WSAIoctl(TSocket s, uint32_t code, void* in, uint32_t inLen, void* out, uint32_t outLen,
                 uint32_t* bytesReturned) {
  if (!Api().WSAIoctl) return Missing();
  return Api().WSAIoctl(s, code, in, inLen, out, outLen, bytesReturned, nullptr, nullptr);
}
int32_t WSAFDIsSet(TSocket s, TFDSet* set) { return Api().WSAFDIsSet ? Api().WSAFDIsSet(s, set) : 0; }
int32_t CloseSocket(TSocket s) { return Api().closesocket ? Api().closesocket(s) : Missing(); }
int32_t IoctlSocket(TSocket s, uint32_t cmd, uint32_t* arg) {
  return Api().ioctlsocket ? Api().ioctlsocket(s, static_cast<int32_t>(cmd), arg) : Missing();
}
int32_t WSAGetLastError() { return Api().WSAGetLastError ? Api().WSAGetLastError() : tLastError; }
int32_t WSAStartup(uint16_t version, TWSAData* data) {
  return Api().WSAStartup ? Api().WSAStartup(version, data) : WSASYSNOTREADY;
}
int32_t WSACleanup() { return Api().WSACleanup ? Api().WSACleanup() : Missing(); }
TSocket Accept(TSocket s, sockaddr* addr, int32_t* addrLen) {
  if (!Api().accept) {
    Missing();
    return INVALID_SOCKET;
  }
  return Api().accept(s, addr, addrLen);
}
int32_t Bind(TSocket s, const sockaddr* addr, int32_t addrLen) {
  return Api().bind ? Api().bind(s, addr, addrLen) : Missing();
}
int32_t Connect(TSocket s, const sockaddr* addr, int32_t addrLen) {
  return Api().connect ? Api().connect(s, addr, addrLen) : Missing();
}
int32_t GetPeerName(TSocket s, sockaddr* addr, int32_t* addrLen) {
  return Api().getpeername ? Api().getpeername(s, addr, addrLen) : Missing();
}
int32_t GetSockName(TSocket s, sockaddr* addr, int32_t* addrLen) {
  return Api().getsockname ? Api().getsockname(s, addr, addrLen) : Missing();
}
int32_t GetSockOpt(TSocket s, int32_t level, int32_t opt, char* value, int32_t* valueLen) {
  return Api().getsockopt ? Api().getsockopt(s, level, opt, value, valueLen) : Missing();
}
uint32_t HToNL(uint32_t v) { return Api().Htonl ? Api().Htonl(v) : htonl(v); }
uint16_t HToNS(uint16_t v) { return Api().Htons ? Api().Htons(v) : htons(v); }
uint32_t NToHL(uint32_t v) { return Api().Ntohl ? Api().Ntohl(v) : ntohl(v); }
uint16_t NToHS(uint16_t v) { return Api().Ntohs ? Api().Ntohs(v) : ntohs(v); }
uint32_t InetAddr(const char* text) {
  if (!Api().inet_addr) {
    Missing();
    return INADDR_NONE;
  }
  return Api().inet_addr(text);
}
std::string InetNtoa(uint32_t netAddr) {
  if (!Api().inet_ntoa) return std::string();
  std::lock_guard<std::recursive_mutex> g(SocketLibraryLock());  // static result buffer
  const char* p = Api().inet_ntoa(netAddr);
  return p != nullptr ? std::string(p) : std::string();
}
int32_t Listen(TSocket s, int32_t backlog) { return Api().listen ? Api().listen(s, backlog) : Missing(); }
int32_t Recv(TSocket s, void* buf, int32_t len, int32_t flags) {
  return Api().recv ? Api().recv(s, static_cast<char*>(buf), len, flags) : Missing();
}
int32_t RecvFrom(TSocket s, void* buf, int32_t len, int32_t flags, sockaddr* from, int32_t* fromLen) {
  return Api().recvfrom ? Api().recvfrom(s, static_cast<char*>(buf), len, flags, from, fromLen) : Missing();
}
int32_t Select(int32_t nfds, TFDSet* readFds, TFDSet* writeFds, TFDSet* exceptFds, const TTimeVal* timeout) {
  return Api().select ? Api().select(nfds, readFds, writeFds, exceptFds, timeout) : Missing();
}
int32_t Send(TSocket s, const void* buf, int32_t len, int32_t flags) {
  return Api().send ? Api().send(s, static_cast<const char*>(buf), len, flags) : Missing();
}
int32_t SendTo(TSocket s, const void* buf, int32_t len, int32_t flags, const sockaddr* to, int32_t toLen) {
  return Api().sendto ? Api().sendto(s, static_cast<const char*>(buf), len, flags, to, toLen) : Missing();
}
int32_t SetSockOpt(TSocket s, int32_t level, int32_t opt, const char* value, int32_t valueLen) {
  return Api().setsockopt ? Api().setsockopt(s, level, opt, value, valueLen) : Missing();
}
int32_t Shutdown(TSocket s, int32_t how) { return Api().shutdown ? Api().shutdown(s, how) : Missing(); }
TSocket Socket(int32_t af, int32_t type, int32_t protocol) {
  if (!Api().socket) {
    Missing();
    return INVALID_SOCKET;
  }
  return Api().socket(af, type, protocol);
}
hostent* GetHostByAddr(const char* addr, int32_t len, int32_t type) {
  if (!Api().gethostbyaddr) {
    Missing();
    return nullptr;
  }
  return Api().gethostbyaddr(addr, len, type);
}
hostent* GetHostByName(const char* name) {
  if (!Api().gethostbyname) {
    Missing();
    return nullptr;
  }
  return Api().gethostbyname(name);
}
protoent* GetProtoByName(const char* name) {
  return Api().getprotobyname ? Api().getprotobyname(name) : nullptr;
}
protoent* GetProtoByNumber(int32_t proto) {
  return Api().getprotobynumber ? Api().getprotobynumber(proto) : nullptr;
}
servent* GetServByName(const char* name, const char* proto) {
  return Api().getservbyname ? Api().getservbyname(name, proto) : nullptr;
}
servent* GetServByPort(int32_t port, const char* proto) {
  return Api().getservbyport ? Api().getservbyport(port, proto) : nullptr;
}
int32_t GetHostName(char* name, int32_t len) {
  return Api().gethostname ? Api().gethostname(name, len) : Missing();
}
int32_t GetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  if (!Api().getaddrinfo) {
    Missing();
    return WSANOTINITIALISED;
  }
  return Api().getaddrinfo(node, service, hints, res);
}
int32_t GetAddrInfoWithin(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                          int32_t timeoutMs) {
  // Without a host name nothing is asked of a name server.
  if (timeoutMs > 0 && node != nullptr && Api().getaddrinfo == &PxGetAddrInfo)
    return PxResolve(node, service, hints, res, timeoutMs);
  return GetAddrInfo(node, service, hints, res);
}
void FreeAddrInfo(addrinfo* ai) {
  if (Api().freeaddrinfo) Api().freeaddrinfo(ai);
}
int32_t GetNameInfo(const sockaddr* addr, int32_t addrLen, char* host, uint32_t hostLen, char* serv,
                    uint32_t servLen, int32_t flags) {
  if (!Api().getnameinfo) {
    Missing();
    return WSANOTINITIALISED;
  }
  return Api().getnameinfo(addr, addrLen, host, hostLen, serv, servLen, flags);
}

}  // namespace sockapi

}  // namespace qv::net
