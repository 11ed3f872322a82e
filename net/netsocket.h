// Blocking TCP socket with its own receive buffer, SOCKS 4/4a/5 client, HTTP
// CONNECT tunnel and optional SSL.
//
// Every wait has a timeout in milliseconds. Failures are recorded, not
// raised: each operation leaves a Windows Sockets code in LastError (0 =
// success) and its text in LastErrorDesc; ENetSocketError is raised only when
// RaiseExcept is on. Received data that a read does not hand out stays in
// Buffer, so reads by line, by terminator, by exact length and by packet can
// be mixed.
//
// Class layering: TBaseSocket (generic socket) <- TSocksSocket (SOCKS client
// side) <- TTCPSocket (stream socket; CONNECT tunnel and SSL). The SSL
// members of TTCPSocket are implemented in netsocketssl.cpp, the SOCKS handshakes
// in netsocketsocks.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/netsockapi.h"

namespace qv {
class Stream;
class StringList;
}  // namespace qv

namespace qv::net {

class TBaseSocket;

enum class THookSocketReason : uint8_t {
  ResolvingBegin = 0,  // address ":" port
  ResolvingEnd = 1,    // address ":" port
  SocketCreate = 2,    // "IPv4" or "IPv6"
  SocketClose = 3,
  Bind = 4,            // address ":" port
  Connect = 5,         // address ":" port
  CanRead = 6,
  CanWrite = 7,
  Listen = 8,
  Accept = 9,
  ReadCount = 10,      // decimal count
  WriteCount = 11,     // decimal count
  Wait = 12,           // throttle wait in milliseconds
  Error = 13,          // decimal code "," text
};

using THookSocketStatus = std::function<void(TBaseSocket*, THookSocketReason, const std::string&)>;
// May rewrite the data; it must never make it longer.
using THookDataFilter = std::function<void(TBaseSocket*, std::string&)>;
using THookCreateSocket = std::function<void(TBaseSocket*)>;

enum class TSocketFamily : uint8_t { SF_Any = 0, SF_IP4 = 1, SF_IP6 = 2 };

// A socket address: an IPv4 record (family 2, 16 bytes used) or an IPv6
// record (family 23, 28 bytes).
struct TVarSin {
  alignas(8) uint8_t Data[28] = {};
  void Clear();
  int32_t Family() const;
  // Length for the library calls: 16, 28, or 0 for an empty address.
  int32_t Len() const;
  // Port in host order.
  uint16_t Port() const;
  const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(Data); }
  sockaddr* Addr() { return reinterpret_cast<sockaddr*>(Data); }
};

enum class TNetSocketOptionKind : uint8_t {
  Linger = 0,
  RecvBuff = 1,
  SendBuff = 2,
  NonBlock = 3,
  RecvTimeout = 4,
  SendTimeout = 5,
  Reuse = 6,
  TTL = 7,
  Broadcast = 8,
  MulticastTTL = 9,
  MulticastLoop = 10,
};

struct TNetSocketOption {
  TNetSocketOptionKind Option;
  bool Enabled = false;
  int32_t Value = 0;
};

class TBaseSocket {
public:
  TBaseSocket();
  virtual ~TBaseSocket();
  TBaseSocket(const TBaseSocket&) = delete;
  TBaseSocket& operator=(const TBaseSocket&) = delete;

  THookSocketStatus OnStatus;
  THookDataFilter OnReadFilter;
  THookDataFilter OnWriteFilter;
  THookCreateSocket OnCreateSocket;

  TWSAData WsaData;
  TVarSin LocalSin;
  TVarSin RemoteSin;
  std::string Buffer;  // received, not yet handed out
  bool RaiseExcept = false;
  bool NonBlockMode = false;
  int32_t MaxLineLength = 0;  // 0 = no limit
  int32_t MaxSendBandwidth = 0;  // bytes per second, 0 = no limit
  uint32_t NextSend = 0;
  int32_t MaxRecvBandwidth = 0;
  uint32_t NextRecv = 0;
  bool ConvertLineEnd = false;  // a CR LF terminator matches any line end
  bool LastCR = false;
  bool LastLF = false;
  TSocketFamily Family = TSocketFamily::SF_Any;
  TSocketFamily FamilySave = TSocketFamily::SF_Any;
  bool IP6Used = false;
  bool PreferIP4 = true;
  std::vector<TNetSocketOption> DelayedOptions;
  bool InterPacketTimeout = true;
  TFDSet FDSet;
  TSocket Socket = INVALID_SOCKET;
  int32_t LastError = 0;
  std::string LastErrorDesc;

  virtual void SetFamily(TSocketFamily value);
  virtual void SetSocket(TSocket value);
  virtual void CloseSocket();
  virtual void Connect(const std::string& ip, const std::string& port);
  virtual int32_t SendBuffer(const void* buffer, int32_t length);
  virtual void SendByte(uint8_t data);
  virtual void SendString(const std::string& data);
  virtual void SendBlock(const std::string& data);
  virtual void SendStream(Stream& stream);
  virtual int32_t RecvBuffer(void* buffer, int32_t length);
  virtual int32_t RecvBufferEx(void* buffer, int32_t length, int32_t timeout);
  virtual std::string RecvBufferStr(int32_t length, int32_t timeout);
  virtual uint8_t RecvByte(int32_t timeout);
  virtual std::string RecvString(int32_t timeout);
  virtual std::string RecvTerminated(int32_t timeout, const std::string& terminator);
  virtual std::string RecvPacket(int32_t timeout);
  virtual std::string RecvBlock(int32_t timeout);
  virtual void RecvStream(Stream& stream, int32_t timeout);
  virtual int32_t PeekBuffer(void* buffer, int32_t length);
  virtual uint8_t PeekByte(int32_t timeout);
  virtual int32_t WaitingData();
  virtual std::string GetLocalSinIP();
  virtual std::string GetRemoteSinIP();
  virtual int32_t GetLocalSinPort();
  virtual int32_t GetRemoteSinPort();
  virtual int32_t SendBufferTo(const void* buffer, int32_t length);
  virtual int32_t RecvBufferFrom(void* buffer, int32_t length);
  virtual int32_t GetSocketType() { return 0; }
  virtual int32_t GetSocketProtocol() { return 0; }

  void Bind(const std::string& ip, const std::string& port);
  // Waits until the socket is readable (-1: no limit); a closed connection
  // counts as readable.
  bool CanRead(int32_t timeout);
  bool CanWrite(int32_t timeout);
  // Drains what is readable right now.
  void Purge();
  std::string LocalName();
  void ResolveNameToIP(const std::string& name, StringList& ipList);
  std::string ResolveName(const std::string& name);
  uint16_t ResolvePort(const std::string& port);

  void SetDelayedOption(const TNetSocketOption& option);
  void SetSizeRecvBuffer(int32_t size);
  void SetSizeSendBuffer(int32_t size);
  int32_t GetSizeRecvBuffer();
  int32_t GetSizeSendBuffer();
  void SetNonBlockMode(bool value);
  void SetLinger(bool enabled, int32_t lingerMs);
  // Receive and send timeouts of the socket itself (milliseconds, 0 = none).
  // They bound the waits that happen inside library calls (a connect, a send,
  // the SSL handshake and SSL record reads) and the wait for a host name's
  // addresses (with the system's resolver); reads of this class wait with
  // their own timeout before they call the library.
  void SetTimeout(int32_t timeoutMs);
  int32_t IOTimeout() const { return IOTimeout_; }

  static std::string GetErrorDesc(int32_t errorCode);

  // True once Bind succeeded on the current socket.
  bool Binded() const { return Binded_; }
  // Bytes received and sent since the socket was made.
  uint32_t RecvCounter() const { return RecvCounter_; }
  uint32_t SendCounter() const { return SendCounter_; }

protected:
  bool Binded_ = false;
  uint32_t RecvCounter_ = 0;
  uint32_t SendCounter_ = 0;

  void ExceptCheck();
  int32_t SockCheck(int32_t result);
  void DoStatus(THookSocketReason reason, const std::string& value);
  void CreateSocket(const TVarSin& sin);
  void CreateSocketByFamily();
  int32_t SetSin(TVarSin& sin, const std::string& ip, const std::string& port);
  std::string GetSinIP(const TVarSin& sin);
  void GetSins();
  void LimitBandwidth(int32_t length, int32_t maxB, uint32_t& next);
  void ApplyOption(const TNetSocketOption& option);
  bool UseNewResolver() const;
  // Waits (at most timeout) for readable data; returns how many bytes are
  // waiting, or 0 with LastError set (10060 timeout, 10054 closed).
  int32_t WaitForData(int32_t timeout);
  // RecvPacket that copies at most length bytes straight to out.
  int32_t RecvPacketTo(char* out, int32_t length, int32_t timeout);
  void DropSplitLineEnd(char* data, int32_t& count);
  // Runs OnWriteFilter over the bytes to send: returns what to send (buffer
  // itself, or filtered cut to length) and sets length to its size.
  const void* FilterOutgoing(const void* buffer, int32_t& length, std::string& filtered);
  // Counts and reports count (>= 0) bytes sent; returns count.
  int32_t CountSent(int32_t count);
  // Counts and reports count (>= 0) bytes received into buffer, then runs
  // OnReadFilter over them in place; returns the count left.
  int32_t CountReceived(void* buffer, int32_t count);

private:
  // CanRead / CanWrite: waits on select for the socket to become readable or writable.
  bool WaitReady(int32_t timeout, bool write);

  int32_t IOTimeout_ = 0;
};

// The SOCKS protocol a TSocksSocket speaks.
enum class TSocksType : uint8_t { ST_Socks5 = 0, ST_Socks4 = 1 };

// The SSL/TLS protocol versions a TTCPSocket offers.
enum class TSSLType : uint8_t { LT_SSLv2 = 0, LT_SSLv3 = 1, LT_TLSv1 = 2, LT_all = 3 };

class TSocksSocket : public TBaseSocket {
public:
  using enum TSocksType;

  std::string SocksIP;
  std::string SocksPort = "1080";
  int32_t SocksTimeout = 60000;
  std::string SocksUsername;
  std::string SocksPassword;
  bool SocksResolver = true;
  bool BypassFlag = false;  // set while negotiating: reads and writes skip SSL
  TSocksType SocksType = ST_Socks5;

  bool SocksOpen();
  bool SocksRequest(uint8_t cmd, const std::string& ip, const std::string& port);
  bool SocksResponse();
  // The address and port part of a request; empty when it cannot be sent
  // (a name or user id longer than 255 bytes).
  std::string SocksCode(const std::string& ip, const std::string& port);
  void SocksDecode(const std::string& reply);

  // True once the proxy accepted the greeting (SOCKS 4: at once).
  bool UsingSocks() const { return UsingSocks_; }
  // The reply code of the last request (-1 when no reply was read).
  int32_t SocksLastError() const { return SocksLastError_; }
  // The address and port of the last reply.
  const std::string& SocksResponseIP() const { return SocksResponseIP_; }
  const std::string& SocksResponsePort() const { return SocksResponsePort_; }
  // The two ends of a connection made through the proxy.
  const std::string& SocksLocalIP() const { return SocksLocalIP_; }
  const std::string& SocksLocalPort() const { return SocksLocalPort_; }
  const std::string& SocksRemoteIP() const { return SocksRemoteIP_; }
  const std::string& SocksRemotePort() const { return SocksRemotePort_; }

protected:
  // Connects to the proxy and runs the handshake of request cmd (1 CONNECT,
  // 2 BIND) for ip:port; a refusal leaves refusedCode in LastError. False
  // when the proxy could not be reached at all.
  bool SocksHandshake(uint8_t cmd, const std::string& ip, const std::string& port, int32_t refusedCode);

  bool UsingSocks_ = false;
  int32_t SocksLastError_ = 0;
  std::string SocksResponseIP_;
  std::string SocksResponsePort_;
  std::string SocksLocalIP_;
  std::string SocksLocalPort_;
  std::string SocksRemoteIP_;
  std::string SocksRemotePort_;
};

class TTCPSocket : public TSocksSocket {
public:
  using enum TSSLType;

  TTCPSocket();
  ~TTCPSocket() override;

  // SSL
  bool SslBypass = false;  // reads and writes go to the plain socket
  void* Ssl = nullptr;
  void* SslCtx = nullptr;
  std::string SSLPassword;
  std::string SSLCiphers = "DEFAULT";
  std::string SSLCertificateFile;
  std::string SSLPrivateKeyFile;
  std::string SSLCertCAFile;
  int32_t SSLLastError = 0;
  std::string SSLLastErrorDesc;
  bool SSLverifyCert = false;
  TSSLType SSLType = LT_all;

  // HTTP CONNECT tunnel
  std::string HTTPTunnelIP;
  std::string HTTPTunnelPort;
  std::string HTTPTunnelUser;
  std::string HTTPTunnelPass;
  int32_t HTTPTunnelTimeout = 30000;

  void CloseSocket() override;
  void Connect(const std::string& ip, const std::string& port) override;
  int32_t SendBuffer(const void* buffer, int32_t length) override;
  int32_t RecvBuffer(void* buffer, int32_t length) override;
  int32_t WaitingData() override;
  std::string GetLocalSinIP() override;
  std::string GetRemoteSinIP() override;
  int32_t GetLocalSinPort() override;
  int32_t GetRemoteSinPort() override;
  int32_t GetSocketType() override { return kSockStream; }
  int32_t GetSocketProtocol() override { return kIpProtoTcp; }
  void Listen();
  // Accepts one connection of a listening socket; INVALID_SOCKET on failure.
  TSocket Accept();

  // Turns SSL on (the handshake follows at once on a connected socket) or
  // off; SslEnabled says whether it is on.
  void SetSslEnabled(bool value);
  bool SslEnabled() const { return SslEnabled_; }
  // True once a CONNECT tunnel was accepted (a 2xx reply); the far end it
  // leads to.
  bool HTTPTunnel() const { return HTTPTunnel_; }
  const std::string& HTTPTunnelRemoteIP() const { return HTTPTunnelRemoteIP_; }
  const std::string& HTTPTunnelRemotePort() const { return HTTPTunnelRemotePort_; }
  bool SetSslKeys();
  void SSLDoConnect();
  void SSLDoShutdown();
  bool SSLCheck();

protected:
  void SocksDoConnect(const std::string& ip, const std::string& port);
  void HTTPTunnelDoConnect(const std::string& ip, const std::string& port);
  bool SslActive() const { return SslEnabled_ && !SslBypass && !BypassFlag; }
  bool SslEnabled_ = false;
  bool HTTPTunnel_ = false;
  std::string HTTPTunnelRemoteIP_;
  std::string HTTPTunnelRemotePort_;
  // The host that Connect was given: the server name of the handshake and
  // the host the certificate must name when SSLverifyCert is set.
  std::string SslPeerName_;
  // Decrypted bytes the SSL layer holds for this socket.
  int32_t SslPendingBytes();
};

}  // namespace qv::net
