#include "net/netsocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "net/netcode.h"
#include "net/netutil.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/host/StringList.h"

namespace qv::net {

namespace {

// Longest stretch of data that closing a socket drains before it gives up
// on a peer that keeps sending.
constexpr int64_t kMaxPurgeBytes = 1 << 20;
constexpr int32_t kStreamPiece = 65536;

std::string ToStr(int64_t v) { return std::to_string(v); }

}  // namespace

// ---- TVarSin ----------------------------------------------------------------

void TVarSin::Clear() { std::memset(Data, 0, sizeof(Data)); }

int32_t TVarSin::Family() const {
  uint16_t f;
  std::memcpy(&f, Data, 2);
  return f;
}

int32_t TVarSin::Len() const {
  const int32_t f = Family();
  return f == kAfInet ? 16 : f == kAfInet6 ? 28 : 0;
}

uint16_t TVarSin::Port() const { return static_cast<uint16_t>(Data[2] * 256 + Data[3]); }

// ---- TBaseSocket: life, errors, status ------------------------------------

TBaseSocket::TBaseSocket() {
  SocketUnitStart();
  WsaData = ProcessWsaData();
}

TBaseSocket::~TBaseSocket() { TBaseSocket::CloseSocket(); }

std::string TBaseSocket::GetErrorDesc(int32_t errorCode) {
  switch (errorCode) {
    case 0: return std::string();
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on nonsocket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for Socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket not supported";
    case 10045: return "Operation not supported on Socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported";
    case 10048: return "Address already in use";
    case 10049: return "Can't assign requested address";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Software caused connection abort";
    case 10054: return "Connection reset by peer";
    case 10055: return "No Buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after Socket shutdown";
    case 10059: return "Too many references:can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name is too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory is not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disk quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network subsystem is unusable";
    case 10092: return "Winsock DLL cannot support this application";
    case 10093: return "Winsock not initialized";
    case 10101: return "Disconnect";
    case 11001: return "Host not found";
    case 11002: return "Non authoritative - host not found";
    case 11003: return "Non recoverable error";
    case 11004: return "Valid name, no data record of requested type";
    default: return "Not a Winsock error (" + ToStr(errorCode) + ")";
  }
}

void TBaseSocket::ExceptCheck() {
  LastErrorDesc = GetErrorDesc(LastError);
  if (LastError != 0 && LastError != WSAEWOULDBLOCK && LastError != WSAEINPROGRESS) {
    DoStatus(THookSocketReason::Error, ToStr(LastError) + "," + LastErrorDesc);
    if (RaiseExcept)
      throw ENetSocketError("Orsanet TCP/IP Socket error " + ToStr(LastError) + ": " + LastErrorDesc, LastError,
                            LastErrorDesc);
  }
}

int32_t TBaseSocket::SockCheck(int32_t result) {
  LastError = result == SOCKET_ERROR ? sockapi::WSAGetLastError() : 0;
  return LastError;
}

void TBaseSocket::DoStatus(THookSocketReason reason, const std::string& value) {
  if (OnStatus) OnStatus(this, reason, value);
}

// ---- Options ----------------------------------------------------------------

void TBaseSocket::ApplyOption(const TNetSocketOption& o) {
  auto setInt = [&](int32_t level, int32_t opt, int32_t v) {
    SockCheck(sockapi::SetSockOpt(Socket, level, opt, reinterpret_cast<const char*>(&v), 4));
  };
  switch (o.Option) {
    case TNetSocketOptionKind::Linger: {
      const uint16_t l[2] = {static_cast<uint16_t>(o.Enabled ? 1 : 0), static_cast<uint16_t>(o.Value / 1000)};
      SockCheck(sockapi::SetSockOpt(Socket, kSolSocket, kSoLinger, reinterpret_cast<const char*>(l), 4));
      break;
    }
    case TNetSocketOptionKind::RecvBuff: setInt(kSolSocket, kSoRcvBuf, o.Value); break;
    case TNetSocketOptionKind::SendBuff: setInt(kSolSocket, kSoSndBuf, o.Value); break;
    case TNetSocketOptionKind::NonBlock: {
      uint32_t on = o.Enabled ? 1 : 0;
      SockCheck(sockapi::IoctlSocket(Socket, kFionbio, &on));
      NonBlockMode = o.Enabled;
      break;
    }
    case TNetSocketOptionKind::RecvTimeout: setInt(kSolSocket, kSoRcvTimeo, o.Value); break;
    case TNetSocketOptionKind::SendTimeout: setInt(kSolSocket, kSoSndTimeo, o.Value); break;
    case TNetSocketOptionKind::Reuse: setInt(kSolSocket, kSoReuseAddr, o.Enabled ? 1 : 0); break;
    case TNetSocketOptionKind::TTL:
      if (IP6Used) setInt(kIpProtoIpv6, kIpv6UnicastHops, o.Value);
      else setInt(kIpProtoIp, kIpTtl, o.Value);
      break;
    case TNetSocketOptionKind::Broadcast: setInt(kSolSocket, kSoBroadcast, o.Enabled ? 1 : 0); break;
    case TNetSocketOptionKind::MulticastTTL:
      if (IP6Used) setInt(kIpProtoIpv6, kIpv6MulticastHops, o.Value);
      else setInt(kIpProtoIp, kIpMulticastTtl, o.Value);
      break;
    case TNetSocketOptionKind::MulticastLoop:
      if (IP6Used) setInt(kIpProtoIpv6, kIpv6MulticastLoop, o.Enabled ? 1 : 0);
      else setInt(kIpProtoIp, kIpMulticastLoop, o.Enabled ? 1 : 0);
      break;
  }
  ExceptCheck();
}

void TBaseSocket::SetDelayedOption(const TNetSocketOption& option) {
  if (Socket == INVALID_SOCKET)
    DelayedOptions.push_back(option);
  else
    ApplyOption(option);
}

void TBaseSocket::SetSizeRecvBuffer(int32_t size) {
  SetDelayedOption({TNetSocketOptionKind::RecvBuff, false, size});
}

void TBaseSocket::SetSizeSendBuffer(int32_t size) {
  SetDelayedOption({TNetSocketOptionKind::SendBuff, false, size});
}

int32_t TBaseSocket::GetSizeRecvBuffer() {
  int32_t v = 0, len = 4;
  if (SockCheck(sockapi::GetSockOpt(Socket, kSolSocket, kSoRcvBuf, reinterpret_cast<char*>(&v), &len)) != 0) v = 0;
  ExceptCheck();
  return v;
}

int32_t TBaseSocket::GetSizeSendBuffer() {
  int32_t v = 0, len = 4;
  if (SockCheck(sockapi::GetSockOpt(Socket, kSolSocket, kSoSndBuf, reinterpret_cast<char*>(&v), &len)) != 0) v = 0;
  ExceptCheck();
  return v;
}

void TBaseSocket::SetNonBlockMode(bool value) { SetDelayedOption({TNetSocketOptionKind::NonBlock, value, 0}); }

void TBaseSocket::SetLinger(bool enabled, int32_t lingerMs) {
  SetDelayedOption({TNetSocketOptionKind::Linger, enabled, lingerMs});
}

void TBaseSocket::SetTimeout(int32_t timeoutMs) {
  IOTimeout_ = std::max(timeoutMs, 0);
  SetDelayedOption({TNetSocketOptionKind::RecvTimeout, false, IOTimeout_});
  SetDelayedOption({TNetSocketOptionKind::SendTimeout, false, IOTimeout_});
}

// ---- Creating and closing ---------------------------------------------------

void TBaseSocket::CreateSocket(const TVarSin& sin) {
  if (Socket != INVALID_SOCKET) return;
  Buffer.clear();
  Binded_ = false;
  RecvCounter_ = 0;
  SendCounter_ = 0;
  LastError = 0;
  IP6Used = sin.Family() == kAfInet6;
  Socket = sockapi::Socket(IP6Used ? kAfInet6 : kAfInet, GetSocketType(), GetSocketProtocol());
  if (Socket == INVALID_SOCKET) LastError = sockapi::WSAGetLastError();
  FDSetZero(FDSet);
  if (Socket != INVALID_SOCKET) FDSetAdd(FDSet, Socket);
  ExceptCheck();
  if (Socket == INVALID_SOCKET) return;
  DoStatus(THookSocketReason::SocketCreate, IP6Used ? "IPv6" : "IPv4");
  std::vector<TNetSocketOption> queued;
  queued.swap(DelayedOptions);
  for (const auto& o : queued) ApplyOption(o);
  LastError = 0;
  if (OnCreateSocket) OnCreateSocket(this);
}

void TBaseSocket::CreateSocketByFamily() {
  TVarSin sin;
  const int32_t fam = Family == TSocketFamily::SF_IP6 ? kAfInet6 : kAfInet;
  const uint16_t f = static_cast<uint16_t>(fam);
  std::memcpy(sin.Data, &f, 2);
  CreateSocket(sin);
}

void TBaseSocket::CloseSocket() {
  if (Socket != INVALID_SOCKET) sockapi::CloseSocket(Socket);
  Socket = INVALID_SOCKET;
  FDSetZero(FDSet);
  DelayedOptions.clear();
  Family = FamilySave;
  LastError = 0;
  LastErrorDesc.clear();
  DoStatus(THookSocketReason::SocketClose, "");
}

void TBaseSocket::SetFamily(TSocketFamily value) {
  Family = value;
  FamilySave = value;
}

void TBaseSocket::SetSocket(TSocket value) {
  Socket = value;
  RecvCounter_ = 0;
  SendCounter_ = 0;
  Buffer.clear();
  FDSetZero(FDSet);
  if (Socket != INVALID_SOCKET) FDSetAdd(FDSet, Socket);
  GetSins();
  IP6Used = RemoteSin.Family() == kAfInet6;
}

// ---- Address resolution -----------------------------------------------------

bool TBaseSocket::UseNewResolver() const {
  return SockEnhancedApi() || (Family == TSocketFamily::SF_IP6 && SockWship6Api());
}

int32_t TBaseSocket::SetSin(TVarSin& sin, const std::string& ip, const std::string& port) {
  DoStatus(THookSocketReason::ResolvingBegin, ip + ":" + port);
  sin.Clear();
  int32_t err = 0;
  if (UseNewResolver()) {
    TSocketFamily fam = Family;
    if (fam == TSocketFamily::SF_Any) {
      if (IsIP(ip)) fam = TSocketFamily::SF_IP4;
      else if (IsIP6(ip)) fam = TSocketFamily::SF_IP6;
      else fam = PreferIP4 ? TSocketFamily::SF_IP4 : TSocketFamily::SF_IP6;
    }
    addrinfo hints{};
    if (Socket != INVALID_SOCKET) hints.ai_family = IP6Used ? kAfInet6 : kAfInet;
    else hints.ai_family = fam == TSocketFamily::SF_IP4 ? kAfInet : fam == TSocketFamily::SF_IP6 ? kAfInet6 : kAfUnspec;
    hints.ai_socktype = GetSocketType();
    hints.ai_protocol = GetSocketProtocol();
    addrinfo* res = nullptr;
    if (hints.ai_socktype != kSockRaw) {
      const char* node = ip.c_str();
      if (ip == "0.0.0.0") {
        hints.ai_flags = kAiPassive;
        node = nullptr;
      } else if (ip == "127.0.0.1") {
        node = nullptr;
      }
      err = sockapi::GetAddrInfoWithin(node, port.c_str(), &hints, &res, IOTimeout_);
    } else {
      err = sockapi::GetAddrInfoWithin(ip.c_str(), nullptr, &hints, &res, IOTimeout_);
    }
    if (err == 0) {
      const addrinfo* v4 = nullptr;
      const addrinfo* v6 = nullptr;
      for (const addrinfo* p = res; p != nullptr; p = p->ai_next) {
        if (p->ai_family == kAfInet && v4 == nullptr) v4 = p;
        if (p->ai_family == kAfInet6 && v6 == nullptr) v6 = p;
      }
      const addrinfo* pick = (v4 != nullptr && v6 != nullptr) ? (PreferIP4 ? v4 : v6) : (v4 != nullptr ? v4 : v6);
      if (pick != nullptr && pick->ai_addr != nullptr)
        std::memcpy(sin.Data, pick->ai_addr, std::min<size_t>(pick->ai_addrlen, sizeof(sin.Data)));
    }
    if (res != nullptr) sockapi::FreeAddrInfo(res);
  } else {
    std::lock_guard<std::recursive_mutex> g(SocketLibraryLock());
    const uint16_t f = kAfInet;
    std::memcpy(sin.Data, &f, 2);
    uint16_t netPort = 0;
    const servent* se = sockapi::GetServByName(port.c_str(), GetSocketProtocol() == kIpProtoUdp ? "udp" : "tcp");
    if (se != nullptr) {
      netPort = static_cast<uint16_t>(se->s_port);
    } else {
      int32_t p = 0;
      if (!ParseInt32(port, p)) p = 0;
      netPort = sockapi::HToNS(static_cast<uint16_t>(p));
    }
    std::memcpy(sin.Data + 2, &netPort, 2);
    uint32_t addr;
    if (ip == "255.255.255.255") {
      addr = 0xFFFFFFFFu;
    } else {
      addr = sockapi::InetAddr(ip.c_str());
      if (addr == 0xFFFFFFFFu) {
        const hostent* he = sockapi::GetHostByName(ip.c_str());
        if (he != nullptr && he->h_addr_list != nullptr && he->h_addr_list[0] != nullptr && he->h_length == 4)
          std::memcpy(&addr, he->h_addr_list[0], 4);
        else
          err = sockapi::WSAGetLastError();
        if (err == 0 && he == nullptr) err = WSAHOST_NOT_FOUND;
      }
    }
    if (err == 0) std::memcpy(sin.Data + 4, &addr, 4);
  }
  DoStatus(THookSocketReason::ResolvingEnd, ip + ":" + port);
  return err;
}

std::string TBaseSocket::GetSinIP(const TVarSin& sin) {
  if (sin.Len() == 0) return std::string();
  if (UseNewResolver()) {
    char host[1025] = {};
    if (sockapi::GetNameInfo(sin.Addr(), sin.Len(), host, sizeof(host), nullptr, 0, kNiNumericHost | kNiNumericServ) ==
        0)
      return host;
    return std::string();
  }
  uint32_t a;
  std::memcpy(&a, sin.Data + 4, 4);
  return sockapi::InetNtoa(a);
}

void TBaseSocket::GetSins() {
  int32_t len = sizeof(LocalSin.Data);
  LocalSin.Clear();
  sockapi::GetSockName(Socket, LocalSin.Addr(), &len);
  len = sizeof(RemoteSin.Data);
  RemoteSin.Clear();
  sockapi::GetPeerName(Socket, RemoteSin.Addr(), &len);
}

std::string TBaseSocket::GetLocalSinIP() { return GetSinIP(LocalSin); }
std::string TBaseSocket::GetRemoteSinIP() { return GetSinIP(RemoteSin); }
int32_t TBaseSocket::GetLocalSinPort() { return LocalSin.Port(); }
int32_t TBaseSocket::GetRemoteSinPort() { return RemoteSin.Port(); }

std::string TBaseSocket::LocalName() {
  char buf[256] = {};
  sockapi::GetHostName(buf, 255);
  std::string r(buf, strnlen(buf, 254));
  return r.empty() ? std::string("127.0.0.1") : r;
}

void TBaseSocket::ResolveNameToIP(const std::string& name, StringList& ipList) {
  ipList.Clear();
  if (UseNewResolver()) {
    addrinfo hints{};
    if (Socket != INVALID_SOCKET) hints.ai_family = IP6Used ? kAfInet6 : kAfInet;
    else hints.ai_family = Family == TSocketFamily::SF_IP4 ? kAfInet : Family == TSocketFamily::SF_IP6 ? kAfInet6 : kAfUnspec;
    hints.ai_socktype = GetSocketType();
    hints.ai_protocol = GetSocketProtocol();
    addrinfo* res = nullptr;
    if (sockapi::GetAddrInfoWithin(name.c_str(), nullptr, &hints, &res, IOTimeout_) == 0) {
      for (const addrinfo* p = res; p != nullptr; p = p->ai_next) {
        char host[1025] = {};
        if (p->ai_addr != nullptr &&
            sockapi::GetNameInfo(p->ai_addr, static_cast<int32_t>(p->ai_addrlen), host, sizeof(host), nullptr, 0,
                                 kNiNumericHost) == 0 &&
            ipList.IndexOf(host) < 0)
          ipList.Add(host);
      }
    }
    if (res != nullptr) sockapi::FreeAddrInfo(res);
  } else {
    std::lock_guard<std::recursive_mutex> g(SocketLibraryLock());
    const uint32_t a = sockapi::InetAddr(name.c_str());
    if (a != 0xFFFFFFFFu || name == "255.255.255.255") {
      ipList.Add(sockapi::InetNtoa(a));
    } else {
      const hostent* he = sockapi::GetHostByName(name.c_str());
      if (he != nullptr && he->h_length == 4 && he->h_addr_list != nullptr)
        for (int i = 0; he->h_addr_list[i] != nullptr; ++i) {
          uint32_t x;
          std::memcpy(&x, he->h_addr_list[i], 4);
          ipList.Add(sockapi::InetNtoa(x));
        }
    }
  }
  if (ipList.Count() == 0) ipList.Add("0.0.0.0");
}

std::string TBaseSocket::ResolveName(const std::string& name) {
  StringList l;
  ResolveNameToIP(name, l);
  return l[0];
}

uint16_t TBaseSocket::ResolvePort(const std::string& port) {
  if (UseNewResolver()) {
    addrinfo hints{};
    hints.ai_family = kAfUnspec;
    hints.ai_socktype = GetSocketType();
    hints.ai_protocol = GetSocketProtocol();
    hints.ai_flags = kAiPassive;
    addrinfo* res = nullptr;
    uint16_t r = 0;
    if (sockapi::GetAddrInfo(nullptr, port.c_str(), &hints, &res) == 0 && res != nullptr && res->ai_addr != nullptr) {
      TVarSin sin;
      std::memcpy(sin.Data, res->ai_addr, std::min<size_t>(res->ai_addrlen, sizeof(sin.Data)));
      r = sin.Port();
    }
    if (res != nullptr) sockapi::FreeAddrInfo(res);
    return r;
  }
  std::lock_guard<std::recursive_mutex> g(SocketLibraryLock());
  const servent* se = sockapi::GetServByName(port.c_str(), GetSocketProtocol() == kIpProtoUdp ? "udp" : "tcp");
  if (se != nullptr) return sockapi::NToHS(static_cast<uint16_t>(se->s_port));
  int32_t p = 0;
  return ParseInt32(port, p) ? static_cast<uint16_t>(p) : 0;
}

// ---- Bind and connect -------------------------------------------------------

void TBaseSocket::Bind(const std::string& ip, const std::string& port) {
  LastError = 0;
  if (Socket == INVALID_SOCKET && Family == TSocketFamily::SF_Any && ip == "0.0.0.0" && port == "0") return;
  TVarSin sin;
  LastError = SetSin(sin, ip, port);
  if (LastError == 0) {
    CreateSocket(sin);
    if (LastError == 0 && Socket != INVALID_SOCKET) {
      SockCheck(sockapi::Bind(Socket, sin.Addr(), sin.Len()));
      GetSins();
      Buffer.clear();
      if (LastError == 0) Binded_ = true;
    }
  }
  ExceptCheck();
  if (LastError == 0) DoStatus(THookSocketReason::Bind, ip + ":" + port);
}

void TBaseSocket::Connect(const std::string& ip, const std::string& port) {
  TVarSin sin;
  LastError = SetSin(sin, ip, port);
  if (LastError == 0) {
    CreateSocket(sin);
    if (LastError == 0 && Socket != INVALID_SOCKET) {
      SockCheck(sockapi::Connect(Socket, sin.Addr(), sin.Len()));
      if (LastError == 0) GetSins();
    }
  }
  Buffer.clear();
  LastCR = false;
  LastLF = false;
  ExceptCheck();
  if (LastError == 0) DoStatus(THookSocketReason::Connect, ip + ":" + port);
}

// ---- Sending ----------------------------------------------------------------

void TBaseSocket::LimitBandwidth(int32_t length, int32_t maxB, uint32_t& next) {
  if (maxB <= 0) return;
  const uint32_t now = GetTick();
  // "now is before next" across the 32-bit wrap: the signed difference
  // (next is 0 before the first transfer: no wait then).
  const int32_t ahead = static_cast<int32_t>(next - now);
  if (next != 0 && ahead > 0) {
    DoStatus(THookSocketReason::Wait, ToStr(ahead));
    std::this_thread::sleep_for(std::chrono::milliseconds(ahead));
  }
  next = GetTick() + static_cast<uint32_t>(int64_t{length} * 1000 / maxB);
}

const void* TBaseSocket::FilterOutgoing(const void* buffer, int32_t& length, std::string& filtered) {
  if (!OnWriteFilter) return buffer;
  filtered.assign(static_cast<const char*>(buffer), static_cast<size_t>(length));
  OnWriteFilter(this, filtered);
  if (filtered.size() > static_cast<size_t>(length)) filtered.resize(static_cast<size_t>(length));
  length = static_cast<int32_t>(filtered.size());
  return filtered.data();
}

int32_t TBaseSocket::CountSent(int32_t count) {
  SendCounter_ += static_cast<uint32_t>(count);
  DoStatus(THookSocketReason::WriteCount, ToStr(count));
  return count;
}

int32_t TBaseSocket::CountReceived(void* buffer, int32_t count) {
  RecvCounter_ += static_cast<uint32_t>(count);
  DoStatus(THookSocketReason::ReadCount, ToStr(count));
  if (OnReadFilter && count > 0) {
    std::string s(static_cast<const char*>(buffer), static_cast<size_t>(count));
    OnReadFilter(this, s);
    count = std::min<int32_t>(count, static_cast<int32_t>(s.size()));
    std::memcpy(buffer, s.data(), static_cast<size_t>(count));
  }
  return count;
}

int32_t TBaseSocket::SendBuffer(const void* buffer, int32_t length) {
  if (length < 0) length = 0;
  LimitBandwidth(length, MaxSendBandwidth, NextSend);
  std::string filtered;
  const void* data = FilterOutgoing(buffer, length, filtered);
  const int32_t r = sockapi::Send(Socket, data, length, 0);
  SockCheck(r);
  ExceptCheck();
  return CountSent(r > 0 ? r : 0);
}

void TBaseSocket::SendByte(uint8_t data) { SendBuffer(&data, 1); }

void TBaseSocket::SendString(const std::string& data) {
  SendBuffer(data.data(), static_cast<int32_t>(data.size()));
}

void TBaseSocket::SendBlock(const std::string& data) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  std::string block;
  block.reserve(data.size() + 4);
  for (int32_t i = 0; i < 4; ++i) block.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  block += data;
  SendString(block);
}

void TBaseSocket::SendStream(Stream& stream) {
  const int64_t rest = stream.Size() - stream.Position();
  const uint32_t n = static_cast<uint32_t>(rest);
  std::string len;
  for (int32_t i = 0; i < 4; ++i) len.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  SendString(len);
  if (LastError != 0) return;
  std::string piece(kStreamPiece, '\0');
  for (;;) {
    const int64_t got = stream.Read(piece.data(), kStreamPiece);
    if (got <= 0) break;
    SendBuffer(piece.data(), static_cast<int32_t>(got));
    if (LastError != 0) break;
  }
}

int32_t TBaseSocket::SendBufferTo(const void* buffer, int32_t length) {
  if (length < 0) length = 0;
  LimitBandwidth(length, MaxSendBandwidth, NextSend);
  std::string filtered;
  const void* data = FilterOutgoing(buffer, length, filtered);
  const int32_t r = sockapi::SendTo(Socket, data, length, 0, RemoteSin.Addr(), RemoteSin.Len());
  SockCheck(r);
  ExceptCheck();
  return CountSent(r > 0 ? r : 0);
}

// ---- Receiving --------------------------------------------------------------

int32_t TBaseSocket::RecvBuffer(void* buffer, int32_t length) {
  if (length < 0) length = 0;
  LimitBandwidth(length, MaxRecvBandwidth, NextRecv);
  const int32_t r = sockapi::Recv(Socket, buffer, length, 0);
  if (r == 0 && length > 0)
    LastError = WSAECONNRESET;  // the peer closed the connection
  else
    SockCheck(r);
  ExceptCheck();
  return CountReceived(buffer, r > 0 ? r : 0);
}

int32_t TBaseSocket::RecvBufferFrom(void* buffer, int32_t length) {
  if (length < 0) length = 0;
  LimitBandwidth(length, MaxRecvBandwidth, NextRecv);
  int32_t len = sizeof(RemoteSin.Data);
  const int32_t r = sockapi::RecvFrom(Socket, buffer, length, 0, RemoteSin.Addr(), &len);
  SockCheck(r);
  ExceptCheck();
  return CountReceived(buffer, r > 0 ? r : 0);
}

int32_t TBaseSocket::WaitingData() {
  uint32_t x = 0;
  if (sockapi::IoctlSocket(Socket, kFionread, &x) != 0) return 0;
  return static_cast<int32_t>(std::min<uint32_t>(x, 0x7FFFFFFF));
}

bool TBaseSocket::WaitReady(int32_t timeout, bool write) {
  if (Socket == INVALID_SOCKET) {
    LastError = WSAENOTSOCK;
    ExceptCheck();
    return false;
  }
  TFDSet set = FDSet;
  TTimeVal tv;
  const TTimeVal* ptv = nullptr;
  if (timeout != -1) {
    const int32_t t = std::max(timeout, 0);
    tv.tv_sec = t / 1000;
    tv.tv_usec = (t % 1000) * 1000;
    ptv = &tv;
  }
  int32_t x =
      sockapi::Select(static_cast<int32_t>(Socket) + 1, write ? nullptr : &set, write ? &set : nullptr, nullptr, ptv);
  SockCheck(x);
  if (LastError != 0) x = 0;
  const bool result = x > 0 && sockapi::WSAFDIsSet(Socket, &set) != 0;
  ExceptCheck();
  if (result) DoStatus(write ? THookSocketReason::CanWrite : THookSocketReason::CanRead, "");
  return result;
}

bool TBaseSocket::CanRead(int32_t timeout) { return WaitReady(timeout, false); }

bool TBaseSocket::CanWrite(int32_t timeout) { return WaitReady(timeout, true); }

int32_t TBaseSocket::WaitForData(int32_t timeout) {
  sched_yield();
  int32_t x = WaitingData();
  if (x > 0) return x;
  if (!CanRead(timeout)) {
    if (LastError == 0) LastError = WSAETIMEDOUT;
    return 0;
  }
  x = WaitingData();
  if (x <= 0) LastError = WSAECONNRESET;  // readable with nothing to read: closed
  return x > 0 ? x : 0;
}

void TBaseSocket::DropSplitLineEnd(char* data, int32_t& count) {
  // A line read that ended on a lone CR (or LF) at the very end of the data
  // could not see whether its pair followed. When it does, it is the rest of
  // that line end, whatever kind of read comes next: a line read must not
  // make an extra empty line of it, nor a body read take it as data.
  if (!ConvertLineEnd || count <= 0) return;
  if ((LastCR && data[0] == '\n') || (LastLF && data[0] == '\r')) {
    std::memmove(data, data + 1, static_cast<size_t>(count - 1));
    --count;
  }
  LastCR = false;
  LastLF = false;
}

std::string TBaseSocket::RecvPacket(int32_t timeout) {
  std::string result;
  LastError = 0;
  if (!Buffer.empty()) {
    result.swap(Buffer);
  } else {
    const int32_t x = WaitForData(timeout);
    if (LastError == 0 && x > 0) {
      result.resize(static_cast<size_t>(x));
      const int32_t n = RecvBuffer(result.data(), x);
      if (LastError == 0)
        result.resize(static_cast<size_t>(n));
      else
        result.clear();
    }
  }
  int32_t count = static_cast<int32_t>(result.size());
  DropSplitLineEnd(result.data(), count);
  result.resize(static_cast<size_t>(count));
  ExceptCheck();
  return result;
}

int32_t TBaseSocket::RecvPacketTo(char* out, int32_t length, int32_t timeout) {
  LastError = 0;
  int32_t n = 0;
  if (!Buffer.empty()) {
    n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(length), Buffer.size()));
    std::memcpy(out, Buffer.data(), static_cast<size_t>(n));
    Buffer.erase(0, static_cast<size_t>(n));
  } else {
    const int32_t x = WaitForData(timeout);
    if (LastError == 0 && x > 0) {
      n = RecvBuffer(out, std::min(x, length));
      if (LastError != 0) n = 0;
    }
  }
  DropSplitLineEnd(out, n);
  ExceptCheck();
  return n;
}

int32_t TBaseSocket::RecvBufferEx(void* buffer, int32_t length, int32_t timeout) {
  LastError = 0;
  if (length <= 0) return 0;
  char* out = static_cast<char*>(buffer);
  int32_t collected = 0;
  // Each pass takes at most what is still wanted: the rest of a packet stays
  // in Buffer or in the socket, as if the whole packet had been read and the
  // surplus put back.
  while (collected < length) {
    const uint32_t start = GetTick();
    collected += RecvPacketTo(out + collected, length - collected, timeout);
    if (LastError != 0) break;
    if (!InterPacketTimeout && collected < length) {
      timeout -= static_cast<int32_t>(TickDelta(start, GetTick()));
      if (timeout < 1) {
        LastError = WSAETIMEDOUT;
        break;
      }
    }
  }
  ExceptCheck();
  return collected;
}

std::string TBaseSocket::RecvBufferStr(int32_t length, int32_t timeout) {
  LastError = 0;
  std::string result;
  if (length <= 0) return result;
  // Grows with the data that actually arrives: the length may come from the
  // peer and must not decide an allocation up front.
  const uint32_t start = GetTick();
  while (static_cast<int32_t>(result.size()) < length) {
    const int32_t piece = std::min<int32_t>(length - static_cast<int32_t>(result.size()), kStreamPiece);
    int32_t wait = timeout;
    if (!InterPacketTimeout) {
      wait = timeout - static_cast<int32_t>(TickDelta(start, GetTick()));
      if (wait < 1) {
        LastError = WSAETIMEDOUT;
        ExceptCheck();
        break;
      }
    }
    const size_t old = result.size();
    result.resize(old + static_cast<size_t>(piece));
    const int32_t n = RecvBufferEx(result.data() + old, piece, wait);
    result.resize(old + static_cast<size_t>(n));
    if (LastError != 0) break;
  }
  if (LastError != 0) result.clear();
  return result;
}

uint8_t TBaseSocket::RecvByte(int32_t timeout) {
  LastError = 0;
  if (Buffer.empty()) Buffer = RecvPacket(timeout);
  uint8_t result = 0;
  if (LastError == 0 && !Buffer.empty()) {
    result = static_cast<uint8_t>(Buffer[0]);
    Buffer.erase(0, 1);
  }
  ExceptCheck();
  return result;
}

std::string TBaseSocket::RecvTerminated(int32_t timeout, const std::string& terminator) {
  LastError = 0;
  std::string result;
  if (terminator.empty()) return result;
  const bool anyLineEnd = ConvertLineEnd && terminator == "\r\n";
  std::string s;
  size_t found = std::string::npos;
  size_t termLen = terminator.size();
  for (;;) {
    const uint32_t start = GetTick();
    s += RecvPacket(timeout);
    if (LastError != 0) break;
    if (anyLineEnd) {
      // (RecvPacket has dropped the second half of a line end split between
      // two packets.)
      LastCR = false;
      LastLF = false;
      std::string t;
      const int32_t p = PosCRLF(s, t);
      if (p > 0) {
        found = static_cast<size_t>(p - 1);
        termLen = t.size();
        LastCR = t == "\r";
        LastLF = t == "\n";
      }
    } else {
      found = s.find(terminator);
    }
    // The limit is on the line, not on what arrived with it: a packet may
    // carry a short line and much more behind it.
    const size_t lineSize = found != std::string::npos ? found : s.size();
    if (MaxLineLength > 0 && lineSize > static_cast<size_t>(MaxLineLength)) {
      LastError = WSAENOBUFS;
      break;
    }
    if (found != std::string::npos) break;
    if (!InterPacketTimeout) {
      timeout -= static_cast<int32_t>(TickDelta(start, GetTick()));
      if (timeout < 1) {
        LastError = WSAETIMEDOUT;
        break;
      }
    }
  }
  if (found != std::string::npos && LastError == 0) {
    result = s.substr(0, found);
    Buffer = s.substr(found + termLen) + Buffer;
  } else {
    Buffer = s + Buffer;
  }
  ExceptCheck();
  return result;
}

std::string TBaseSocket::RecvString(int32_t timeout) {
  std::string s = RecvTerminated(timeout, "\r\n");
  if (LastError != 0) s.clear();
  return s;
}

std::string TBaseSocket::RecvBlock(int32_t timeout) {
  uint8_t len[4] = {};
  RecvBufferEx(len, 4, timeout);
  if (LastError != 0) return std::string();
  const uint32_t n = len[0] | (uint32_t{len[1]} << 8) | (uint32_t{len[2]} << 16) | (uint32_t{len[3]} << 24);
  if (n > 0x7FFFFFFFu) {
    LastError = 10040;
    ExceptCheck();
    return std::string();
  }
  return RecvBufferStr(static_cast<int32_t>(n), timeout);
}

void TBaseSocket::RecvStream(Stream& stream, int32_t timeout) {
  uint8_t len[4] = {};
  RecvBufferEx(len, 4, timeout);
  if (LastError != 0) return;
  int64_t left = len[0] | (int64_t{len[1]} << 8) | (int64_t{len[2]} << 16) | (int64_t{len[3]} << 24);
  std::string piece(kStreamPiece, '\0');
  while (left > 0) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(left, kStreamPiece));
    const int32_t got = RecvBufferEx(piece.data(), n, timeout);
    if (LastError != 0) break;
    stream.WriteBuffer(piece.data(), got);
    left -= got;
  }
}

int32_t TBaseSocket::PeekBuffer(void* buffer, int32_t length) {
  const int32_t r = sockapi::Recv(Socket, buffer, std::max(length, 0), kMsgPeek);
  SockCheck(r);
  ExceptCheck();
  return r > 0 ? r : 0;
}

uint8_t TBaseSocket::PeekByte(int32_t timeout) {
  uint8_t b = 0;
  if (CanRead(timeout)) {
    PeekBuffer(&b, 1);
  } else {
    if (LastError == 0) LastError = WSAETIMEDOUT;
    ExceptCheck();
  }
  return b;
}

void TBaseSocket::Purge() {
  // Runs without raising: it is part of closing, and the end of the data is
  // always signalled as an error (timeout or close).
  const bool raise = RaiseExcept;
  RaiseExcept = false;
  int64_t drained = 0;
  do {
    drained += static_cast<int64_t>(RecvPacket(0).size());
  } while (LastError == 0 && drained < kMaxPurgeBytes);
  RaiseExcept = raise;
  LastError = 0;
}

// ---- TTCPSocket -------------------------------------------------------------

TTCPSocket::TTCPSocket() = default;

TTCPSocket::~TTCPSocket() { TTCPSocket::CloseSocket(); }

void TTCPSocket::CloseSocket() {
  if (SslEnabled_) SSLDoShutdown();
  if (Socket != INVALID_SOCKET) {
    sockapi::Shutdown(Socket, kSdSend);
    Purge();
  }
  TBaseSocket::CloseSocket();
}

void TTCPSocket::Connect(const std::string& ip, const std::string& port) {
  SslPeerName_ = ip;
  if (!SocksIP.empty())
    SocksDoConnect(ip, port);
  else if (!HTTPTunnelIP.empty())
    HTTPTunnelDoConnect(ip, port);
  else
    TBaseSocket::Connect(ip, port);
  if (SslEnabled_) {
    if (LastError == 0) {
      SSLDoConnect();
    } else {
      const int32_t err = LastError;
      SetSslEnabled(false);
      LastError = err;
      LastErrorDesc = GetErrorDesc(err);
    }
  }
}

void TTCPSocket::HTTPTunnelDoConnect(const std::string& ip, const std::string& port) {
  const std::string portText = ToStr(ResolvePort(port));
  {
    // The tunnel's request and reply travel on the plain socket.
    const bool bypassed = std::exchange(BypassFlag, true);
    auto restore = ScopeExit([&] { BypassFlag = bypassed; });
    TBaseSocket::Connect(HTTPTunnelIP, HTTPTunnelPort);
    if (LastError == 0) {
      HTTPTunnel_ = false;
      const std::string host = IsIP6(ip) ? "[" + ip + "]" : ip;
      std::string request = "CONNECT " + host + ":" + portText + " HTTP/1.0\r\n";
      if (!HTTPTunnelUser.empty())
        request += "Proxy-Authorization: Basic " + Base64Encode(HTTPTunnelUser + ":" + HTTPTunnelPass) + "\r\n";
      request += "\r\n";
      SendString(request);
      while (LastError == 0) {
        const std::string s = RecvTerminated(HTTPTunnelTimeout, "\n");
        if (LastError != 0) break;
        if (s.rfind("HTTP/", 0) == 0 && s.size() > 11) HTTPTunnel_ = s[9] == '2';
        if (s.empty() || s == "\r") break;
      }
      if (LastError == 0 && !HTTPTunnel_) LastError = WSASYSNOTREADY;
    }
    HTTPTunnelRemoteIP_ = ip;
    HTTPTunnelRemotePort_ = portText;
  }
  ExceptCheck();
}

int32_t TTCPSocket::WaitingData() {
  if (SslActive()) {
    const int32_t x = SslPendingBytes();
    if (x > 0) return x;
  }
  return TBaseSocket::WaitingData();
}

std::string TTCPSocket::GetLocalSinIP() {
  if (UsingSocks_) return SocksLocalIP_;
  return TBaseSocket::GetLocalSinIP();
}

std::string TTCPSocket::GetRemoteSinIP() {
  if (UsingSocks_) return SocksRemoteIP_;
  if (HTTPTunnel_) return HTTPTunnelRemoteIP_;
  return TBaseSocket::GetRemoteSinIP();
}

int32_t TTCPSocket::GetLocalSinPort() {
  if (UsingSocks_) {
    int32_t p = 0;
    return ParseInt32(SocksLocalPort_, p) ? p : 0;
  }
  return TBaseSocket::GetLocalSinPort();
}

int32_t TTCPSocket::GetRemoteSinPort() {
  if (UsingSocks_) return ResolvePort(SocksRemotePort_);
  if (HTTPTunnel_) {
    int32_t p = 0;
    return ParseInt32(HTTPTunnelRemotePort_, p) ? p : 0;
  }
  return TBaseSocket::GetRemoteSinPort();
}

void TTCPSocket::Listen() {
  if (SocksIP.empty()) {
    if (Socket == INVALID_SOCKET) CreateSocketByFamily();
    if (LastError == 0) {
      SockCheck(sockapi::Listen(Socket, SOMAXCONN));
      GetSins();
    }
  } else {
    std::string sip = GetLocalSinIP();
    if (sip == "0.0.0.0" || sip.empty()) sip = LocalName();
    const std::string sport = ToStr(GetLocalSinPort());
    if (SocksHandshake(2, sip, sport, WSANO_RECOVERY)) {
      SocksLocalIP_ = SocksResponseIP_ == "0.0.0.0" ? SocksIP : SocksResponseIP_;
      SocksLocalPort_ = SocksResponsePort_;
      SocksRemoteIP_.clear();
      SocksRemotePort_.clear();
    }
  }
  ExceptCheck();
  if (LastError == 0) DoStatus(THookSocketReason::Listen, "");
}

TSocket TTCPSocket::Accept() {
  TVarSin sin;
  int32_t len = sizeof(sin.Data);
  const TSocket s = sockapi::Accept(Socket, sin.Addr(), &len);
  LastError = s == INVALID_SOCKET ? sockapi::WSAGetLastError() : 0;
  ExceptCheck();
  if (s != INVALID_SOCKET) DoStatus(THookSocketReason::Accept, "");
  return s;
}

}  // namespace qv::net
