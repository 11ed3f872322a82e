// The SOCKS 4/4a and 5 handshakes of TSocksSocket (greeting, user name and
// password, the CONNECT/BIND request and its reply) and the connect through a
// SOCKS proxy of TTCPSocket. The proxy's bytes travel on the plain socket:
// BypassFlag keeps the SSL layer out while a handshake runs.
#include "net/netsocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <utility>

#include "net/netcode.h"
#include "net/netutil.h"
#include "platform/host/ScopeExit.h"

namespace qv::net {

namespace {

std::string ToStr(int64_t v) { return std::to_string(v); }

std::string Ip6ToText(const uint8_t* bytes) {
  char buf[INET6_ADDRSTRLEN] = {};
  in6_addr a{};
  std::memcpy(&a, bytes, 16);
  return inet_ntop(AF_INET6, &a, buf, sizeof(buf)) != nullptr ? std::string(buf) : std::string();
}

bool Ip6ToBin(const std::string& text, std::string& out) {
  in6_addr a{};
  std::string t = text;
  const size_t pct = t.find('%');
  if (pct != std::string::npos) t.resize(pct);
  if (inet_pton(AF_INET6, t.c_str(), &a) != 1) return false;
  out.assign(reinterpret_cast<const char*>(&a), 16);
  return true;
}

}  // namespace

bool TSocksSocket::SocksOpen() {
  UsingSocks_ = false;
  // The user name and password travel behind one length byte each.
  if (SocksUsername.size() > 255 || SocksPassword.size() > 255) return false;
  if (SocksType == ST_Socks4) {
    UsingSocks_ = true;
    return true;
  }
  const bool bypassed = std::exchange(BypassFlag, true);
  auto restore = ScopeExit([&] { BypassFlag = bypassed; });
  SendString(SocksUsername.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x00\x02", 4));
  if (LastError != 0) return false;
  std::string r = RecvBufferStr(2, SocksTimeout);
  if (r.size() < 2 || r[0] != '\x05') return false;
  bool ok = false;
  if (r[1] == '\x00') {
    ok = true;
  } else if (r[1] == '\x02') {
    std::string auth;
    auth += '\x01';
    auth += static_cast<char>(SocksUsername.size());
    auth += SocksUsername;
    auth += static_cast<char>(SocksPassword.size());
    auth += SocksPassword;
    SendString(auth);
    if (LastError != 0) return false;
    r = RecvBufferStr(2, SocksTimeout);
    ok = r.size() == 2 && r[1] == '\x00';
  }
  UsingSocks_ = ok;
  return ok;
}

std::string TSocksSocket::SocksCode(const std::string& ip, const std::string& port) {
  std::string host = ip;
  std::string r;
  if (SocksType == ST_Socks4) {
    if (SocksUsername.size() > 255) return std::string();
    r = CodeInt(ResolvePort(port));
    if (!SocksResolver) host = ResolveName(host);
    if (IsIP(host)) {
      r += IPToBin(host) + SocksUsername + '\0';
    } else {
      if (host.size() > 255) return std::string();
      r += IPToBin("0.0.0.1") + SocksUsername + '\0' + host + '\0';
    }
    return r;
  }
  if (!SocksResolver) host = ResolveName(host);
  std::string bin6;
  if (IsIP(host)) {
    r = '\x01' + IPToBin(host);
  } else if (IsIP6(host) && Ip6ToBin(host, bin6)) {
    r = '\x04' + bin6;
  } else {
    if (host.size() > 255) return std::string();
    r = '\x03';
    r += static_cast<char>(host.size());
    r += host;
  }
  r += CodeInt(ResolvePort(port));
  return r;
}

bool TSocksSocket::SocksRequest(uint8_t cmd, const std::string& ip, const std::string& port) {
  const bool bypassed = std::exchange(BypassFlag, true);
  auto restore = ScopeExit([&] { BypassFlag = bypassed; });
  const std::string code = SocksCode(ip, port);
  if (code.empty()) return false;
  std::string buf;
  if (SocksType == ST_Socks4) {
    buf += '\x04';
    buf += static_cast<char>(cmd);
  } else {
    buf += '\x05';
    buf += static_cast<char>(cmd);
    buf += '\x00';
  }
  buf += code;
  SendString(buf);
  return LastError == 0;
}

bool TSocksSocket::SocksResponse() {
  const bool bypassed = std::exchange(BypassFlag, true);
  auto restore = ScopeExit([&] { BypassFlag = bypassed; });
  SocksResponseIP_.clear();
  SocksResponsePort_.clear();
  SocksLastError_ = -1;
  std::string buf;
  if (SocksType == ST_Socks4) {
    buf = RecvBufferStr(8, SocksTimeout);
    if (LastError != 0 || buf.size() < 8 || buf[0] != '\x00') return false;
  } else {
    buf = RecvBufferStr(4, SocksTimeout);
    if (LastError != 0 || buf.size() < 4 || buf[0] != '\x05') return false;
    switch (buf[3]) {
      case '\x01': buf += RecvBufferStr(4, SocksTimeout); break;
      case '\x03': {
        const std::string n = RecvBufferStr(1, SocksTimeout);
        if (LastError != 0 || n.empty()) return false;
        buf += n;
        buf += RecvBufferStr(static_cast<uint8_t>(n[0]), SocksTimeout);
        break;
      }
      case '\x04': buf += RecvBufferStr(16, SocksTimeout); break;
      default: return false;
    }
    if (LastError != 0) return false;
    buf += RecvBufferStr(2, SocksTimeout);
    if (LastError != 0) return false;
  }
  SocksLastError_ = static_cast<uint8_t>(buf[1]);
  if (SocksLastError_ != 0 && SocksLastError_ != 90) return false;
  SocksDecode(buf);
  return true;
}

void TSocksSocket::SocksDecode(const std::string& reply) {
  SocksResponsePort_.assign(1, '0');
  auto byteAt = [&](size_t i1) { return static_cast<uint8_t>(reply[i1 - 1]); };
  auto dotted = [&](size_t first) {
    return ToStr(byteAt(first)) + "." + ToStr(byteAt(first + 1)) + "." + ToStr(byteAt(first + 2)) + "." +
           ToStr(byteAt(first + 3));
  };
  if (SocksType == ST_Socks4) {
    if (reply.size() < 8) return;
    SocksResponsePort_ = ToStr(DecodeInt(reply, 3));
    SocksResponseIP_ = dotted(5);
    return;
  }
  if (reply.size() < 4) return;
  switch (reply[3]) {
    case '\x01':
      if (reply.size() < 10) return;
      SocksResponseIP_ = dotted(5);
      SocksResponsePort_ = ToStr(DecodeInt(reply, 9));
      break;
    case '\x03': {
      if (reply.size() < 5) return;
      const size_t n = byteAt(5);
      if (reply.size() < 5 + n + 2) return;
      SocksResponseIP_ = reply.substr(5, n);
      SocksResponsePort_ = ToStr(DecodeInt(reply, static_cast<int32_t>(6 + n)));
      break;
    }
    case '\x04':
      if (reply.size() < 22) return;
      SocksResponseIP_ = Ip6ToText(reinterpret_cast<const uint8_t*>(reply.data() + 4));
      SocksResponsePort_ = ToStr(DecodeInt(reply, 21));
      break;
    default: break;
  }
}

bool TSocksSocket::SocksHandshake(uint8_t cmd, const std::string& ip, const std::string& port,
                                  int32_t refusedCode) {
  TBaseSocket::Connect(SocksIP, SocksPort);
  if (LastError != 0) return false;
  const bool ok = SocksOpen() && SocksRequest(cmd, ip, port) && SocksResponse();
  if (!ok && LastError == 0) LastError = refusedCode;
  return true;
}

void TTCPSocket::SocksDoConnect(const std::string& ip, const std::string& port) {
  if (SocksHandshake(1, ip, port, WSASYSNOTREADY)) {
    SocksLocalIP_ = SocksResponseIP_;
    SocksLocalPort_ = SocksResponsePort_;
    SocksRemoteIP_ = ip;
    SocksRemotePort_ = port;
  }
  ExceptCheck();
  if (LastError == 0) DoStatus(THookSocketReason::Connect, ip + ":" + port);
}

}  // namespace qv::net
