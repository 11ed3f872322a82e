// Limits against a peer that announces more than it sends, stalls inside a
// TLS connection, or is offered SOCKS fields at the edge of their length byte.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "NetTestPeer.h"
#include "net/nethttp.h"
#include "net/netsocket.h"

using namespace qv::net;
using nettest::ElapsedMs;
using nettest::Peer;

namespace {

using Clock = std::chrono::steady_clock;

std::string Bytes(std::initializer_list<int> b) {
  std::string r;
  for (int x : b) r.push_back(static_cast<char>(x));
  return r;
}

// A server that reads one request head, writes reply and closes.
Peer ReplyAndClose(const std::string& reply) {
  return Peer([reply](int fd, int) {
    nettest::ReadUntil(fd, "\r\n\r\n");
    nettest::WriteAll(fd, reply);
  });
}

// A TLS server context with a throw-away self-signed certificate.
class TlsServerContext {
public:
  TlsServerContext() {
    Key_ = EVP_EC_gen("P-256");
    Cert_ = X509_new();
    X509_set_version(Cert_, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert_), 7);
    X509_gmtime_adj(X509_getm_notBefore(Cert_), -3600);
    X509_gmtime_adj(X509_getm_notAfter(Cert_), 86400);
    X509_set_pubkey(Cert_, Key_);
    X509_NAME* name = X509_get_subject_name(Cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                               -1, 0);
    X509_set_issuer_name(Cert_, name);
    X509_sign(Cert_, Key_, EVP_sha256());
    Ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(Ctx_, Cert_);
    SSL_CTX_use_PrivateKey(Ctx_, Key_);
  }
  ~TlsServerContext() {
    SSL_CTX_free(Ctx_);
    X509_free(Cert_);
    EVP_PKEY_free(Key_);
  }
  SSL_CTX* Ctx() const { return Ctx_; }

private:
  EVP_PKEY* Key_ = nullptr;
  X509* Cert_ = nullptr;
  SSL_CTX* Ctx_ = nullptr;
};

// Handshake, read one request head, write reply (if any), then stall without
// closing until the client goes away.
void ServeTlsAndStall(SSL_CTX* ctx, int fd, const std::string& reply) {
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const int n = SSL_read(ssl, buf, sizeof(buf));
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    if (!reply.empty()) SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
    nettest::WaitForClose(fd);
  }
  SSL_free(ssl);
  ERR_clear_error();
}

}  // namespace

TEST(NetHttp, HugeAnnouncedSizesAreNotAllocatedAndFailWhenCutShort) {
  {
    // The largest length that is still a number: the body grows only by
    // what arrives, and the close before its end is a failure.
    Peer server = ReplyAndClose("HTTP/1.0 200 OK\r\nContent-Length: 2147483647\r\n\r\nabc");
    THTTPClient http;
    http.Timeout = 3000;
    http.MaxBodySize = int64_t{1} << 32;
    const auto t0 = Clock::now();
    EXPECT_FALSE(http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/"));
    EXPECT_LT(ElapsedMs(t0), 3000);
    EXPECT_EQ(http.TransferKind(), THTTPTransferKind::ByLength);
    EXPECT_EQ(http.DownloadSize(), 2147483647);
    EXPECT_EQ(http.Document.DataString(), "abc");
  }
  {
    Peer server = ReplyAndClose("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFF\r\nxyz");
    THTTPClient http;
    http.Timeout = 3000;
    http.MaxBodySize = int64_t{1} << 32;
    EXPECT_FALSE(http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/"));
    EXPECT_EQ(http.Document.DataString(), "xyz");
  }
  {
    // One past the largest 32-bit length is no number: read until close.
    Peer server = ReplyAndClose("HTTP/1.0 200 OK\r\nContent-Length: 2147483648\r\n\r\nabc");
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_TRUE(http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/"));
    EXPECT_EQ(http.TransferKind(), THTTPTransferKind::UntilClose);
    EXPECT_EQ(http.Document.DataString(), "abc");
  }
}

TEST(NetSsl, StalledPeerAfterTheHandshakeIsBounded) {
  static TlsServerContext tls;
  struct Case {
    const char* what;
    const char* reply;
    const char* doc;
  };
  const Case cases[] = {
      {"no reply at all", "", "\r\n"},
      {"length-delimited body that stops coming", "HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\npart", "part"},
  };
  for (const Case& c : cases) {
    const std::string reply = c.reply;
    Peer server([&reply](int fd, int) { ServeTlsAndStall(tls.Ctx(), fd, reply); });
    THTTPClient http;
    http.Timeout = 300;
    const auto t0 = Clock::now();
    EXPECT_FALSE(http.SendRequest("GET", "https://127.0.0.1:" + server.Port() + "/")) << c.what;
    // The failed request closes the connection; closing must not wait for the
    // silent peer's close notification either.
    EXPECT_LT(ElapsedMs(t0), 3000) << c.what;
    EXPECT_EQ(http.Document.DataString(), c.doc) << c.what;
    if (reply.empty()) {
      EXPECT_EQ(http.ResultCode(), 0);
    }
    EXPECT_EQ(http.Sock->Socket, INVALID_SOCKET) << c.what;
  }
}

TEST(NetSocks, LengthByteFieldsAtTheEdge) {
  {
    // A 256-byte password is refused before anything is sent.
    std::string got;
    Peer proxy([&](int fd, int) { got = nettest::ReadToClose(fd, 2000); });
    TTCPSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.SocksUsername = "user";
    s.SocksPassword = std::string(256, 'p');
    s.Connect("lookup.example", "80");
    EXPECT_EQ(s.LastError, 10091);
    s.CloseSocket();
    proxy.Join();
    EXPECT_EQ(got, "");
  }
  {
    // 255 bytes still fit their length byte and are sent.
    const std::string user(255, 'u'), pass(255, 'p');
    std::string auth;
    Peer proxy([&](int fd, int) {
      nettest::ReadExact(fd, 4);
      nettest::WriteAll(fd, Bytes({5, 2}));
      auth = nettest::ReadExact(fd, 2 + 255 + 1 + 255);
      nettest::WriteAll(fd, Bytes({1, 1}));  // refused by the proxy
      nettest::WaitForClose(fd, 2000);
    });
    TTCPSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.SocksUsername = user;
    s.SocksPassword = pass;
    s.Connect("lookup.example", "80");
    EXPECT_EQ(s.LastError, 10091);
    s.CloseSocket();
    proxy.Join();
    EXPECT_EQ(auth, Bytes({1, 255}) + user + Bytes({255}) + pass);
  }
  {
    // SOCKS4a carries the host name behind the user id; over 255 bytes it is
    // refused before the request goes out.
    std::string got;
    Peer proxy([&](int fd, int) { got = nettest::ReadToClose(fd, 2000); });
    TTCPSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.SocksType = TSocksSocket::ST_Socks4;
    s.Connect(std::string(252, 'h') + ".example", "80");
    EXPECT_EQ(s.LastError, 10091);
    s.CloseSocket();
    proxy.Join();
    EXPECT_EQ(got, "");
  }
}
