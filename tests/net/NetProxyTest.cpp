#include <gtest/gtest.h>

#include <string>

#include "NetTestPeer.h"
#include "net/netsocket.h"

using namespace qv::net;
using nettest::Peer;
using nettest::ReadExact;
using nettest::WriteAll;

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string r;
  for (int x : b) r.push_back(static_cast<char>(x));
  return r;
}

}  // namespace

TEST(NetSocks, Socks5WithUserAndPassword) {
  std::string greeting, auth, request;
  Peer proxy([&](int fd, int) {
    greeting = ReadExact(fd, 4);
    WriteAll(fd, Bytes({5, 2}));
    auth = ReadExact(fd, 2);
    auth += ReadExact(fd, static_cast<uint8_t>(auth[1]));
    auth += ReadExact(fd, 1);
    auth += ReadExact(fd, static_cast<uint8_t>(auth.back()));
    WriteAll(fd, Bytes({1, 0}));
    request = ReadExact(fd, 5);
    request += ReadExact(fd, static_cast<uint8_t>(request[4]) + 2);
    WriteAll(fd, Bytes({5, 0, 0, 1, 10, 0, 0, 7, 0x1F, 0x90}) + "hi\r\n");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.SocksIP = "127.0.0.1";
  s.SocksPort = proxy.Port();
  s.SocksUsername = "user";
  s.SocksPassword = "secret";
  s.Connect("lookup.example", "8080");
  ASSERT_EQ(s.LastError, 0) << s.LastErrorDesc;
  EXPECT_TRUE(s.UsingSocks());
  EXPECT_EQ(s.RecvString(2000), "hi");
  EXPECT_EQ(s.GetLocalSinIP(), "10.0.0.7");
  EXPECT_EQ(s.GetLocalSinPort(), 8080);
  EXPECT_EQ(s.GetRemoteSinIP(), "lookup.example");
  EXPECT_EQ(s.GetRemoteSinPort(), 8080);
  s.CloseSocket();
  proxy.Join();
  EXPECT_EQ(greeting, Bytes({5, 2, 0, 2}));
  EXPECT_EQ(auth, Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
  EXPECT_EQ(request, Bytes({5, 1, 0, 3, 14}) + "lookup.example" + Bytes({0x1F, 0x90}));
}

TEST(NetSocks, Socks5RefusalAndAddressKinds) {
  std::string request;
  Peer proxy([&](int fd, int) {
    ReadExact(fd, 3);
    WriteAll(fd, Bytes({5, 0}));
    request = ReadExact(fd, 10);
    WriteAll(fd, Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.SocksIP = "127.0.0.1";
  s.SocksPort = proxy.Port();
  s.Connect("10.1.2.3", "80");
  EXPECT_EQ(s.LastError, 10091);
  EXPECT_EQ(s.SocksLastError(), 5);
  s.CloseSocket();
  proxy.Join();
  EXPECT_EQ(request, Bytes({5, 1, 0, 1, 10, 1, 2, 3, 0, 80}));

  // Address kinds of a request, without a server.
  TSocksSocket code;
  EXPECT_EQ(code.SocksCode("::1", "443"), Bytes({4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB}));
  code.SocksType = TSocksSocket::ST_Socks4;
  code.SocksUsername = "qv";
  EXPECT_EQ(code.SocksCode("10.1.2.3", "80"), Bytes({0, 80, 10, 1, 2, 3}) + "qv" + Bytes({0}));
}

TEST(NetSocks, Socks4aLetsTheServerResolve) {
  std::string request;
  Peer proxy([&](int fd, int) {
    request = nettest::ReadUntil(fd, std::string("lookup.example") + '\0');
    WriteAll(fd, Bytes({0, 90, 0, 80, 10, 9, 8, 7}) + "ok\r\n");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.SocksIP = "127.0.0.1";
  s.SocksPort = proxy.Port();
  s.SocksType = TSocksSocket::ST_Socks4;
  s.SocksUsername = "qv";
  s.Connect("lookup.example", "80");
  ASSERT_EQ(s.LastError, 0) << s.LastErrorDesc;
  EXPECT_EQ(s.SocksLastError(), 90);
  EXPECT_EQ(s.SocksResponseIP(), "10.9.8.7");
  EXPECT_EQ(s.SocksResponsePort(), "80");
  EXPECT_EQ(s.RecvString(2000), "ok");
  s.CloseSocket();
  proxy.Join();
  EXPECT_EQ(request, Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "qv" + Bytes({0}) + "lookup.example" + Bytes({0}));
}

TEST(NetSocks, OverlongNamesAreRefusedBeforeSending) {
  const std::string longText(256, 'n');
  {
    std::string got;
    Peer proxy([&](int fd, int) { got = nettest::ReadToClose(fd, 2000); });
    TTCPSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.SocksUsername = longText;
    s.SocksPassword = "pw";
    s.Connect("lookup.example", "80");
    EXPECT_EQ(s.LastError, 10091);
    s.CloseSocket();
    proxy.Join();
    EXPECT_EQ(got, "");
  }
  {
    std::string got;
    Peer proxy([&](int fd, int) {
      got = ReadExact(fd, 3);
      WriteAll(fd, Bytes({5, 0}));
      got += nettest::ReadToClose(fd, 2000);
    });
    TTCPSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.Connect(longText + ".example", "80");
    EXPECT_EQ(s.LastError, 10091);
    s.CloseSocket();
    proxy.Join();
    EXPECT_EQ(got, Bytes({5, 1, 0}));  // the greeting, and no request
  }
}

TEST(NetTunnel, ConnectThroughHttpProxy) {
  std::string request;
  Peer proxy([&](int fd, int) {
    request = nettest::ReadUntil(fd, "\r\n\r\n");
    WriteAll(fd, "HTTP/1.0 200 Connection established\r\nProxy-Agent: test\r\n\r\nhello\r\n");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.HTTPTunnelIP = "127.0.0.1";
  s.HTTPTunnelPort = proxy.Port();
  s.HTTPTunnelUser = "u";
  s.HTTPTunnelPass = "p";
  s.Connect("example.test", "443");
  ASSERT_EQ(s.LastError, 0) << s.LastErrorDesc;
  EXPECT_TRUE(s.HTTPTunnel());
  EXPECT_EQ(s.GetRemoteSinIP(), "example.test");
  EXPECT_EQ(s.GetRemoteSinPort(), 443);
  EXPECT_EQ(s.RecvString(2000), "hello");
  s.CloseSocket();
  proxy.Join();
  EXPECT_EQ(request, "CONNECT example.test:443 HTTP/1.0\r\nProxy-Authorization: Basic dTpw\r\n\r\n");
}

TEST(NetTunnel, RefusedTunnel) {
  std::string request;
  Peer proxy([&](int fd, int) {
    request = nettest::ReadUntil(fd, "\r\n\r\n");
    WriteAll(fd, "HTTP/1.0 403 Forbidden\r\n\r\n");
    nettest::WaitForClose(fd);
  });
  TTCPSocket s;
  s.HTTPTunnelIP = "127.0.0.1";
  s.HTTPTunnelPort = proxy.Port();
  s.Connect("::1", "https");
  EXPECT_EQ(s.LastError, 10091);
  EXPECT_FALSE(s.HTTPTunnel());
  s.CloseSocket();
  proxy.Join();
  EXPECT_EQ(request, "CONNECT [::1]:443 HTTP/1.0\r\n\r\n");
}
