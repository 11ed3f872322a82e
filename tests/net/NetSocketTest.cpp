#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "net/netsocket.h"
#include "net/netsockapi.h"
#include "net/netutil.h"
#include "NetTestPeer.h"
#include "platform/host/StringList.h"

using namespace qv::net;
using nettest::ElapsedMs;
using nettest::Peer;

namespace {

using Clock = std::chrono::steady_clock;

// Restores the normal socket library after a test swapped it.
class SocketLibraryRestore {
public:
  ~SocketLibraryRestore() {
    SocketUnitEnd();
    SetSocketLibraryLoader(nullptr);
    SocketUnitStart();
  }
};

TSockLibImage ImageWithout(const std::vector<std::string>& names) {
  TSockLibImage image;
  for (const auto& e : PosixSocketLibrary())
    if (std::find(names.begin(), names.end(), e.Name) == names.end()) image.push_back(e);
  return image;
}

}  // namespace

TEST(NetSockApi, ErrorCodesAndTexts) {
  EXPECT_EQ(WsaCodeFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaCodeFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaCodeFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaCodeFromErrno(EPIPE), 10054);
  EXPECT_EQ(WsaCodeFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaCodeFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WsaCodeFromErrno(ENOMEM), ENOMEM);

  EXPECT_EQ(TBaseSocket::GetErrorDesc(0), "");
  EXPECT_EQ(TBaseSocket::GetErrorDesc(10061), "Connection refused");
  EXPECT_EQ(TBaseSocket::GetErrorDesc(10054), "Connection reset by peer");
  EXPECT_EQ(TBaseSocket::GetErrorDesc(10059), "Too many references:can't splice");
  EXPECT_EQ(TBaseSocket::GetErrorDesc(11004), "Valid name, no data record of requested type");
  EXPECT_EQ(TBaseSocket::GetErrorDesc(ENOMEM), "Not a Winsock error (12)");
}

TEST(NetSockApi, SocketSetHoldsAtMost64Handles) {
  SocketUnitStart();
  TFDSet set;
  for (TSocket s = 100; s < 164; ++s) FDSetAdd(set, s);
  EXPECT_EQ(set.fd_count, 64u);
  FDSetAdd(set, 500);
  EXPECT_EQ(set.fd_count, 64u);
  EXPECT_EQ(sockapi::WSAFDIsSet(500, &set), 0);
  EXPECT_EQ(sockapi::WSAFDIsSet(163, &set), 1);
  FDSetAdd(set, 163);
  EXPECT_EQ(set.fd_count, 64u);
}

TEST(NetSockApi, LoadFailureStopsTheUnitStart) {
  SocketLibraryRestore restore;
  SocketUnitEnd();
  SetSocketLibraryLoader([](const std::string&) -> const TSockLibImage* { return nullptr; });
  EXPECT_FALSE(LoadSocketLibrary(""));
  try {
    SocketUnitStart();
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_STREQ(e.what(), "Error loading Socket interface (ws2_32.dll)!");
    EXPECT_EQ(e.ErrorCode, 0);
  }
  EXPECT_THROW(TTCPSocket s, ENetSocketError);
}

TEST(NetSockApi, OldResolverAndSecondResolverLibrary) {
  SocketLibraryRestore restore;
  static const TSockLibImage noResolver = ImageWithout({"getaddrinfo", "freeaddrinfo", "getnameinfo"});
  static const TSockLibImage resolverOnly = [] {
    TSockLibImage r;
    for (const auto& e : PosixSocketLibrary())
      if (std::string(e.Name) == "getaddrinfo" || std::string(e.Name) == "freeaddrinfo" ||
          std::string(e.Name) == "getnameinfo")
        r.push_back(e);
    return r;
  }();

  Peer peer([](int fd, int) { nettest::WriteAll(fd, "hello\r\n"); nettest::WaitForClose(fd); });

  // Without the three resolver entries the old calls serve.
  SocketUnitEnd();
  SetSocketLibraryLoader([](const std::string& n) -> const TSockLibImage* {
    return n == "ws2_32.dll" ? &noResolver : nullptr;
  });
  SocketUnitStart();
  EXPECT_FALSE(SockEnhancedApi());
  EXPECT_FALSE(SockWship6Api());
  {
    TTCPSocket s;
    s.Connect("127.0.0.1", peer.Port());
    ASSERT_EQ(s.LastError, 0) << s.LastErrorDesc;
    EXPECT_EQ(s.GetRemoteSinIP(), "127.0.0.1");
    EXPECT_EQ(std::to_string(s.GetRemoteSinPort()), peer.Port());
    EXPECT_EQ(s.RecvString(2000), "hello");
    EXPECT_EQ(s.ResolvePort("http"), 80);
    qv::StringList ips;
    s.ResolveNameToIP("127.0.0.1", ips);
    ASSERT_EQ(ips.Count(), 1);
    EXPECT_EQ(ips[0], "127.0.0.1");
  }

  // They may come from the second library instead.
  SocketUnitEnd();
  SetSocketLibraryLoader([](const std::string& n) -> const TSockLibImage* {
    if (n == "ws2_32.dll") return &noResolver;
    if (n == "wship6.dll") return &resolverOnly;
    return nullptr;
  });
  SocketUnitStart();
  EXPECT_FALSE(SockEnhancedApi());
  EXPECT_TRUE(SockWship6Api());
}

TEST(NetSockApi, MissingEntryFailsInsteadOfCalling) {
  SocketLibraryRestore restore;
  static const TSockLibImage noConnect = ImageWithout({"connect"});
  SocketUnitEnd();
  SetSocketLibraryLoader([](const std::string& n) -> const TSockLibImage* {
    return n == "ws2_32.dll" ? &noConnect : nullptr;
  });
  SocketUnitStart();
  nettest::ClosedPort port;
  TTCPSocket s;
  s.Connect("127.0.0.1", port.Port());
  EXPECT_EQ(s.LastError, 10093);
  EXPECT_EQ(s.LastErrorDesc, "Winsock not initialized");
}

TEST(NetSocket, ConnectErrorsAreRecordedOrRaised) {
  nettest::ClosedPort port;
  std::vector<std::string> errors;
  TTCPSocket s;
  s.OnStatus = [&](TBaseSocket*, THookSocketReason r, const std::string& v) {
    if (r == THookSocketReason::Error) errors.push_back(v);
  };
  s.Connect("127.0.0.1", port.Port());
  EXPECT_EQ(s.LastError, 10061);
  EXPECT_EQ(s.LastErrorDesc, "Connection refused");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "10061,Connection refused");

  TTCPSocket r;
  r.RaiseExcept = true;
  try {
    r.Connect("127.0.0.1", port.Port());
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_STREQ(e.what(), "Orsanet TCP/IP Socket error 10061: Connection refused");
    EXPECT_EQ(e.ErrorCode, 10061);
    EXPECT_EQ(e.ErrorMessage, "Connection refused");
  }
}

TEST(NetSocket, BindToAnyAddressCreatesNothingYet) {
  TTCPSocket s;
  s.Bind("0.0.0.0", "0");
  EXPECT_EQ(s.LastError, 0);
  EXPECT_EQ(s.Socket, INVALID_SOCKET);
  EXPECT_FALSE(s.Binded());
  s.Bind("127.0.0.1", "0");
  EXPECT_EQ(s.LastError, 0);
  EXPECT_NE(s.Socket, INVALID_SOCKET);
  EXPECT_TRUE(s.Binded());
  EXPECT_EQ(s.GetLocalSinIP(), "127.0.0.1");
  EXPECT_GT(s.GetLocalSinPort(), 0);
}

TEST(NetSocket, LinesOverSplitPacketsAndAnyLineEnd) {
  Peer peer([](int fd, int) {
    nettest::WriteAll(fd, "one\r");
    nettest::Pause(60);
    nettest::WriteAll(fd, "\ntwo\nthree\rfour\n\rfive\r\n");
    nettest::Pause(60);
    nettest::WriteAll(fd, "tail");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.ConvertLineEnd = true;
  s.Connect("127.0.0.1", peer.Port());
  ASSERT_EQ(s.LastError, 0);
  for (const char* want : {"one", "two", "three", "four", "five"}) {
    EXPECT_EQ(s.RecvString(2000), want);
    EXPECT_EQ(s.LastError, 0);
  }
  // The rest is no line yet: it stays buffered when the wait ends.
  const auto t0 = Clock::now();
  EXPECT_EQ(s.RecvString(200), "");
  EXPECT_EQ(s.LastError, 10060);
  EXPECT_LT(ElapsedMs(t0), 2000);
  EXPECT_EQ(s.Buffer, "tail");
  EXPECT_EQ(s.RecvBufferStr(4, 1000), "tail");
}

TEST(NetSocket, PlainTerminatorOnlyMatchesItself) {
  Peer peer([](int fd, int) {
    nettest::WriteAll(fd, "a\nb\r\nc;d;");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.Connect("127.0.0.1", peer.Port());
  EXPECT_EQ(s.RecvString(2000), "a\nb");
  EXPECT_EQ(s.RecvTerminated(2000, ";"), "c");
  EXPECT_EQ(s.RecvTerminated(2000, ";"), "d");
  EXPECT_EQ(s.RecvTerminated(2000, ""), "");
}

TEST(NetSocket, PeerClosingWhileALineIsAwaited) {
  Peer peer([](int fd, int) { nettest::WriteAll(fd, "partial"); });
  TTCPSocket s;
  s.Connect("127.0.0.1", peer.Port());
  peer.Join();
  EXPECT_EQ(s.RecvString(2000), "");
  EXPECT_EQ(s.LastError, 10054);
  EXPECT_EQ(s.Buffer, "partial");
  // A closed connection is readable, and the read then reports the close.
  s.Buffer.clear();
  EXPECT_TRUE(s.CanRead(0));
  EXPECT_EQ(s.RecvPacket(1000), "");
  EXPECT_EQ(s.LastError, 10054);
}

TEST(NetSocket, ExactLengthReadsAndLimits) {
  Peer peer([](int fd, int) {
    nettest::WriteAll(fd, "0123456789");
    nettest::WriteAll(fd, std::string(40, 'x') + "\r\n");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.Connect("127.0.0.1", peer.Port());
  char buf[8] = {};
  EXPECT_EQ(s.RecvBufferEx(buf, 0, 1000), 0);
  EXPECT_EQ(s.RecvBufferEx(buf, -5, 1000), 0);
  EXPECT_EQ(s.LastError, 0);
  EXPECT_EQ(s.RecvBufferEx(buf, 4, 1000), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(s.RecvByte(1000), '4');
  EXPECT_EQ(s.RecvBufferStr(5, 1000), "56789");
  s.MaxLineLength = 16;
  EXPECT_EQ(s.RecvString(1000), "");
  EXPECT_EQ(s.LastError, 10055);
}

TEST(NetSocket, BlocksAndStreamsRoundTrip) {
  Peer peer([](int fd, int) {
    // Echo everything back until the client closes its sending side.
    const std::string all = nettest::ReadToClose(fd, 3000);
    nettest::WriteAll(fd, all);
  });
  TTCPSocket s;
  s.Connect("127.0.0.1", peer.Port());
  s.SendBlock("block-data");
  s.SendString("tail");
  ::shutdown(static_cast<int>(s.Socket), SHUT_WR);
  EXPECT_EQ(s.RecvBlock(3000), "block-data");
  EXPECT_EQ(s.RecvBufferStr(4, 3000), "tail");
  EXPECT_EQ(s.SendCounter(), 18u);
  EXPECT_EQ(s.RecvCounter(), 18u);
}

TEST(NetSocket, WaitsAreBounded) {
  Peer peer([](int fd, int) { nettest::WaitForClose(fd); });
  TTCPSocket s;
  s.Connect("127.0.0.1", peer.Port());
  auto t0 = Clock::now();
  EXPECT_EQ(s.RecvPacket(150), "");
  EXPECT_EQ(s.LastError, 10060);
  EXPECT_LT(ElapsedMs(t0), 2000);
  t0 = Clock::now();
  char buf[4];
  s.InterPacketTimeout = false;
  EXPECT_EQ(s.RecvBufferEx(buf, 4, 150), 0);
  EXPECT_EQ(s.LastError, 10060);
  EXPECT_LT(ElapsedMs(t0), 2000);
  EXPECT_FALSE(s.CanRead(0));
  s.CloseSocket();
  EXPECT_FALSE(s.CanRead(10000));  // no socket: no wait at all
  EXPECT_LT(ElapsedMs(t0), 4000);
}

TEST(NetSocket, WholeReadTimeoutAgainstATricklingPeer) {
  Peer peer([](int fd, int) {
    for (int i = 0; i < 30; ++i) {
      if (::send(fd, "a", 1, MSG_NOSIGNAL) != 1) return;
      nettest::Pause(100);
    }
  });
  TTCPSocket s;
  s.Connect("127.0.0.1", peer.Port());
  s.InterPacketTimeout = false;  // the timeout covers the whole line, not each wait
  const auto t0 = Clock::now();
  EXPECT_EQ(s.RecvString(350), "");
  EXPECT_EQ(s.LastError, 10060);
  EXPECT_LT(ElapsedMs(t0), 2000);
}

TEST(NetSocket, SendThrottleWaits) {
  Peer peer([](int fd, int) { nettest::ReadExact(fd, 400); });
  std::vector<std::string> waits;
  TTCPSocket s;
  s.OnStatus = [&](TBaseSocket*, THookSocketReason r, const std::string& v) {
    if (r == THookSocketReason::Wait) waits.push_back(v);
  };
  s.Connect("127.0.0.1", peer.Port());
  s.MaxSendBandwidth = 1000;  // bytes per second: 200 bytes take 200 ms
  const auto t0 = Clock::now();
  s.SendString(std::string(200, 'x'));
  s.SendString(std::string(200, 'y'));
  EXPECT_EQ(s.LastError, 0);
  EXPECT_LT(ElapsedMs(t0), 2000);
  ASSERT_EQ(waits.size(), 1u);
  int wait = 0;
  EXPECT_TRUE(qv::net::ParseInt32(waits[0], wait));
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, 200);
}

TEST(NetSocket, FiltersAndStatusReports) {
  Peer peer([](int fd, int) {
    const std::string got = nettest::ReadExact(fd, 5);
    nettest::WriteAll(fd, got + "\r\n");
    nettest::WaitForClose(fd);
  });
  std::vector<THookSocketReason> reasons;
  TTCPSocket s;
  s.OnStatus = [&](TBaseSocket*, THookSocketReason r, const std::string&) { reasons.push_back(r); };
  s.OnWriteFilter = [](TBaseSocket*, std::string& d) {
    for (char& c : d) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    d += "too long";  // never lengthens what is sent
  };
  s.OnReadFilter = [](TBaseSocket*, std::string& d) {
    if (!d.empty() && d[0] == 'H') d[0] = 'J';
  };
  s.SetSizeRecvBuffer(32768);
  s.Connect("127.0.0.1", peer.Port());
  EXPECT_EQ(s.GetSizeRecvBuffer() >= 32768, true);  // the queued option reached the socket
  s.SendString("hello");
  EXPECT_EQ(s.RecvString(2000), "JELLO");
  auto has = [&](THookSocketReason r) { return std::find(reasons.begin(), reasons.end(), r) != reasons.end(); };
  EXPECT_TRUE(has(THookSocketReason::ResolvingBegin));
  EXPECT_TRUE(has(THookSocketReason::SocketCreate));
  EXPECT_TRUE(has(THookSocketReason::Connect));
  EXPECT_TRUE(has(THookSocketReason::WriteCount));
  EXPECT_TRUE(has(THookSocketReason::ReadCount));
  s.CloseSocket();
  EXPECT_EQ(reasons.back(), THookSocketReason::SocketClose);
}

TEST(NetSocket, ListenAndAccept) {
  TTCPSocket server;
  server.Bind("127.0.0.1", "0");
  server.Listen();
  ASSERT_EQ(server.LastError, 0);
  const std::string port = std::to_string(server.GetLocalSinPort());
  TTCPSocket client;
  client.Connect("127.0.0.1", port);
  ASSERT_EQ(client.LastError, 0);
  ASSERT_TRUE(server.CanRead(2000));
  TTCPSocket conn;
  conn.SetSocket(server.Accept());
  ASSERT_NE(conn.Socket, INVALID_SOCKET);
  EXPECT_EQ(conn.GetRemoteSinIP(), "127.0.0.1");
  client.SendString("ping\r\n");
  EXPECT_EQ(conn.RecvString(2000), "ping");
}
