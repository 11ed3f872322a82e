#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "NetTestPeer.h"
#include "net/nethttp.h"
#include "net/netsocket.h"
#include "platform/host/StringList.h"

using namespace qv::net;
using nettest::ElapsedMs;
using nettest::Peer;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kUserAgentLine = "User-Agent: Mozilla/4.0 (compatible; Orsanet)\r\n";

// One request: the head and, when it announces one, the body.
std::string ReadRequest(int fd) {
  std::string r = nettest::ReadUntil(fd, "\r\n\r\n");
  const size_t headEnd = r.find("\r\n\r\n");
  const size_t p = r.find("Content-Length: ");
  if (headEnd != std::string::npos && p != std::string::npos && p < headEnd) {
    const size_t n = std::stoul(r.substr(p + 16));
    const size_t have = r.size() - (headEnd + 4);
    if (have < n) r += nettest::ReadExact(fd, n - have);
  }
  return r;
}

// A server that records one request and answers with `reply`, then closes.
struct OneShot {
  explicit OneShot(std::string reply)
      : Reply(std::move(reply)), Server([this](int fd, int) {
          Request = ReadRequest(fd);
          nettest::WriteAll(fd, Reply);
        }) {}
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + Server.Port() + path; }
  std::string Reply;
  std::string Request;
  Peer Server;
};

std::string Doc(THTTPClient& http) { return http.Document.DataString(); }

}  // namespace

TEST(NetHttp, PlainGetSendsTheExactHeadAndReadsByLength) {
  OneShot srv("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello");
  THTTPClient http;
  EXPECT_EQ(http.Timeout, 90000);
  http.Timeout = 3000;
  ASSERT_TRUE(http.SendRequest("get", srv.Url("/call?a=1&b=2")));
  srv.Server.Join();
  EXPECT_EQ(srv.Request, "GET /call?a=1&b=2 HTTP/1.0\r\nHost: 127.0.0.1:" + srv.Server.Port() + "\r\n" +
                             kUserAgentLine + "\r\n");
  EXPECT_EQ(http.ResultCode(), 200);
  EXPECT_EQ(http.ResultString(), "OK");
  EXPECT_EQ(http.MimeType, "text/plain");
  EXPECT_EQ(http.DownloadSize(), 5);
  EXPECT_EQ(Doc(http), "hello");
  EXPECT_EQ(http.Document.Position(), 0);
  ASSERT_EQ(http.Headers.Count(), 4);
  EXPECT_EQ(http.Headers[0], "HTTP/1.0 200 OK");
  EXPECT_EQ(http.Headers[3], "");
  // HTTP/1.0 closes after each reply.
  EXPECT_EQ(http.AliveHost(), "");
  EXPECT_EQ(http.Sock->Socket, INVALID_SOCKET);
}

TEST(NetHttp, HeadOrderAndRequestThroughProxy) {
  OneShot srv("HTTP/1.0 200 OK\r\n\r\n");
  THTTPClient http;
  http.Timeout = 3000;
  http.ProxyHost = "127.0.0.1";
  http.ProxyPort = srv.Server.Port();
  http.ProxyUser = "u";
  http.ProxyPass = "p";
  http.KeepAlive = false;
  http.Cookies.Add("a=1");
  http.Cookies.Add("b=2");
  http.RangeStart = 10;
  http.RangeEnd = 99;
  http.Headers.Add("X-Extra: 1");
  ASSERT_TRUE(http.SendRequest("GET", "http://me:pw@lookup.example/call?x=1"));
  srv.Server.Join();
  EXPECT_EQ(srv.Request,
            "GET http://lookup.example:80/call?x=1 HTTP/1.0\r\n"
            "Host: lookup.example\r\n"
            "Proxy-Authorization: Basic dTpw\r\n"
            "Authorization: Basic bWU6cHc=\r\n"
            "Connection: close\r\n"
            "Cookie: b=2\r\n"
            "Cookie: a=1\r\n"
            "Range: bytes=10-99\r\n" +
                kUserAgentLine + "X-Extra: 1\r\n\r\n");
  EXPECT_EQ(http.TargetHost, "127.0.0.1");
  EXPECT_EQ(http.RangeEnd, 0);  // the request's settings are cleared with it
}

TEST(NetHttp, ChunkedBodiesAreAppendedInOrder) {
  Peer server([](int fd, int) {
    ReadRequest(fd);
    nettest::WriteAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel");
    nettest::Pause(30);
    nettest::WriteAll(fd, "lo\r\n6 \r\n world\r");
    nettest::Pause(30);
    nettest::WriteAll(fd, "\n0\r\n\r\n");
    nettest::WaitForClose(fd);
  });
  THTTPClient http;
  http.Timeout = 3000;
  ASSERT_TRUE(http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/"));
  EXPECT_EQ(http.TransferKind(), THTTPTransferKind::Chunked);
  EXPECT_EQ(Doc(http), "hello world");
  EXPECT_EQ(http.Document.Size(), 11);
  EXPECT_EQ(http.DownloadSize(), 6);
}

TEST(NetHttp, ChunkSizeThatIsNoNumberFailsTheRequest) {
  for (const char* size : {"5;ext=1", "zz", "80000000", "-5"}) {
    OneShot srv(std::string("HTTP/1.0 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n") + size + "\r\nhello\r\n0\r\n\r\n");
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_FALSE(http.SendRequest("GET", srv.Url("/"))) << size;
    EXPECT_EQ(http.Failure(), "Invalid chunk size in the reply") << size;
    EXPECT_EQ(Doc(http), "") << size;
  }
}

TEST(NetHttp, BodiesCutShortFailButKeepWhatCame) {
  {
    OneShot srv("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_FALSE(http.SendRequest("GET", srv.Url("/")));
    EXPECT_EQ(http.ResultCode(), 200);
    EXPECT_EQ(Doc(http), "abc");
    EXPECT_EQ(http.Document.Position(), 0);
  }
  {
    OneShot srv("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_FALSE(http.SendRequest("GET", srv.Url("/")));
    EXPECT_EQ(Doc(http), "hello");
  }
  {
    // A head that never reaches its empty line.
    OneShot srv("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n");
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_FALSE(http.SendRequest("GET", srv.Url("/")));
  }
  {
    // Without a length the body runs to the close, which is its proper end.
    OneShot srv("HTTP/1.0 200 OK\r\n\r\nline1\r\nline2");
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_TRUE(http.SendRequest("GET", srv.Url("/")));
    EXPECT_EQ(Doc(http), "line1\r\nline2");
  }
}

TEST(NetHttp, ReplyWithoutStatusLineIsHttp09) {
  OneShot srv("just text\nmore\r\nbytes");
  THTTPClient http;
  http.Timeout = 3000;
  EXPECT_TRUE(http.SendRequest("GET", srv.Url("/")));
  EXPECT_EQ(http.ResultCode(), 0);
  EXPECT_EQ(http.Headers.Count(), 0);
  EXPECT_EQ(Doc(http), "just text\r\nmore\r\nbytes");

  OneShot lower("http/1.0 404 Not Found Here\r\n\r\n");
  EXPECT_TRUE(http.SendRequest("GET", lower.Url("/")));
  EXPECT_EQ(http.ResultCode(), 404);
  EXPECT_EQ(http.ResultString(), "Not Found Here");
}

TEST(NetHttp, NoReplyAtAllIsAFailure) {
  Peer closer([](int fd, int) { ReadRequest(fd); });
  THTTPClient http;
  http.Timeout = 3000;
  EXPECT_FALSE(http.SendRequest("GET", "http://127.0.0.1:" + closer.Port() + "/"));
  EXPECT_EQ(http.ResultCode(), 0);
  EXPECT_EQ(Doc(http), "\r\n");

  nettest::ClosedPort refused;
  EXPECT_FALSE(http.SendRequest("GET", "http://127.0.0.1:" + refused.Port() + "/"));
  EXPECT_EQ(http.ResultCode(), 500);
  EXPECT_EQ(http.Sock->LastError, 10061);
}

TEST(NetHttp, HeadAnd204And304ReturnPromptlyWithoutBody) {
  struct Case {
    const char* method;
    const char* status;
  };
  for (const Case& c : {Case{"head", "200 OK"}, Case{"GET", "204 No Content"}, Case{"GET", "304 Not Modified"}}) {
    std::string request;
    Peer server([&](int fd, int) {
      request = ReadRequest(fd);
      // Announces a body it never sends, and keeps the connection open.
      nettest::WriteAll(fd, std::string("HTTP/1.0 ") + c.status + "\r\nContent-Length: 100\r\n\r\n");
      nettest::WaitForClose(fd);
    });
    THTTPClient http;
    http.Timeout = 5000;
    const auto t0 = Clock::now();
    EXPECT_TRUE(http.SendRequest(c.method, "http://127.0.0.1:" + server.Port() + "/x"));
    EXPECT_LT(ElapsedMs(t0), 2500) << c.status;
    EXPECT_EQ(Doc(http), "") << c.status;
    server.Join();
    EXPECT_EQ(request.substr(0, 5), std::string(c.method[0] == 'h' ? "HEAD " : "GET /"));
  }
}

TEST(NetHttp, HeaderNamesMatchAtLineStartInAnyCase) {
  struct Case {
    const char* head;
    const char* body;
    const char* want;
    THTTPTransferKind kind;
  };
  const Case cases[] = {
      {"X-Content-Length: 2\r\ncontent-LENGTH: 4\r\n", "abcdef", "abcd", THTTPTransferKind::ByLength},
      {"Content-Length: abc\r\n", "xyz", "xyz", THTTPTransferKind::UntilClose},
      {"Content-Length: -5\r\n", "xyz", "xyz", THTTPTransferKind::UntilClose},
      {"Content-Length: 99999999999\r\n", "xyz", "xyz", THTTPTransferKind::UntilClose},
      {"X-Transfer-Encoding: chunked\r\n", "3\r\nabc", "3\r\nabc", THTTPTransferKind::UntilClose},
      {"Content-Length: 3\r\ntransfer-encoding: CHUNKED\r\n", "3\r\nabc\r\n0\r\n\r\n", "abc",
       THTTPTransferKind::Chunked},
      {"Transfer-Encoding: chunked\r\nContent-Length: 2\r\n", "abc", "ab", THTTPTransferKind::ByLength},
  };
  for (const Case& c : cases) {
    OneShot srv(std::string("HTTP/1.0 200 OK\r\n") + c.head + "\r\n" + c.body);
    THTTPClient http;
    http.Timeout = 3000;
    EXPECT_TRUE(http.SendRequest("GET", srv.Url("/"))) << c.head;
    EXPECT_EQ(Doc(http), c.want) << c.head;
    EXPECT_EQ(http.TransferKind(), c.kind) << c.head;
  }
}

TEST(NetHttp, CookiesAreKeptAndSentBack) {
  std::string second;
  Peer server([&](int fd, int index) {
    const std::string r = ReadRequest(fd);
    if (index == 0) {
      nettest::WriteAll(fd,
                        "HTTP/1.0 200 OK\r\nSet-Cookie: sid = 42 ; path=/\r\nset-cookie: theme=dark\r\n"
                        "X-Set-Cookie: no=1\r\n\r\n");
    } else {
      second = r;
      nettest::WriteAll(fd, "HTTP/1.0 200 OK\r\nSET-COOKIE: theme=light\r\n\r\n");
    }
  }, 2);
  THTTPClient http;
  http.Timeout = 3000;
  const std::string url = "http://127.0.0.1:" + server.Port() + "/";
  ASSERT_TRUE(http.SendRequest("GET", url));
  ASSERT_EQ(http.Cookies.Count(), 2);
  EXPECT_EQ(http.Cookies[0], "sid=42");
  EXPECT_EQ(http.Cookies[1], "theme=dark");
  ASSERT_TRUE(http.SendRequest("GET", url));
  server.Join();
  EXPECT_NE(second.find("Cookie: theme=dark\r\nCookie: sid=42\r\n"), std::string::npos) << second;
  ASSERT_EQ(http.Cookies.Count(), 2);
  EXPECT_EQ(http.Cookies[1], "theme=light");
}

TEST(NetHttp, KeepAliveUnderHttp11ReusesTheConnection) {
  std::string requests;
  Peer server([&](int fd, int index) {
    if (index == 0) {
      requests += ReadRequest(fd);
      nettest::WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none");
      requests += ReadRequest(fd);
      nettest::WriteAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 3\r\n\r\ntwo");
      nettest::WaitForClose(fd);
    } else {
      requests += ReadRequest(fd);
      nettest::WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthree");
      nettest::WaitForClose(fd);
    }
  }, 2);
  THTTPClient http;
  http.Timeout = 3000;
  http.Protocol = "1.1";
  const std::string url = "http://127.0.0.1:" + server.Port() + "/k";
  ASSERT_TRUE(http.SendRequest("GET", url));
  EXPECT_EQ(Doc(http), "one");
  EXPECT_EQ(http.AliveHost(), "127.0.0.1");
  ASSERT_TRUE(http.SendRequest("GET", url));
  EXPECT_EQ(Doc(http), "two");
  EXPECT_EQ(server.Accepted(), 1);
  EXPECT_EQ(http.AliveHost(), "");  // "Connection: close" ended it
  ASSERT_TRUE(http.SendRequest("GET", url));
  EXPECT_EQ(Doc(http), "three");
  http.Sock->CloseSocket();
  server.Join();
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_NE(requests.find("GET /k HTTP/1.1\r\n"), std::string::npos);
}

TEST(NetHttp, StatusLineSplitBetweenCrAndLf) {
  Peer server([](int fd, int) {
    ReadRequest(fd);
    nettest::WriteAll(fd, "HTTP/1.0 200 OK\r");
    nettest::Pause(80);
    nettest::WriteAll(fd, "\nContent-Length: 3\r");
    nettest::Pause(80);
    nettest::WriteAll(fd, "\n\r");
    nettest::Pause(80);
    nettest::WriteAll(fd, "\nabc");
    nettest::WaitForClose(fd);
  });
  THTTPClient http;
  http.Timeout = 3000;
  ASSERT_TRUE(http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/"));
  ASSERT_EQ(http.Headers.Count(), 3);
  EXPECT_EQ(http.Headers[1], "Content-Length: 3");
  EXPECT_EQ(Doc(http), "abc");
}

TEST(NetHttp, EveryWaitIsBounded) {
  // Each server answers (or not) and then stalls without closing.
  struct Case {
    const char* what;
    const char* reply;
    bool ok;
    const char* doc;
  };
  const Case cases[] = {
      {"silent server", "", false, nullptr},
      {"length-delimited body that stops coming", "HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\npart", false, "part"},
      {"body read until close ends on the timeout as on a close", "HTTP/1.0 200 OK\r\n\r\npart", true, "part"},
      {"chunked body that stops before its last chunk",
       "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", false, "abc"},
  };
  for (const Case& c : cases) {
    const std::string reply = c.reply;
    Peer server([&reply](int fd, int) {
      ReadRequest(fd);
      if (!reply.empty()) nettest::WriteAll(fd, reply);
      nettest::WaitForClose(fd);
    });
    // The timeout leaves a loaded machine time to schedule the server's
    // reply; the bound shows the wait ends on it.
    THTTPClient http;
    http.Timeout = 1000;
    const auto t0 = Clock::now();
    EXPECT_EQ(http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/"), c.ok) << c.what;
    EXPECT_LT(ElapsedMs(t0), 6000) << c.what;
    if (reply.empty())
      EXPECT_EQ(http.ResultCode(), 0) << c.what;
    else
      EXPECT_EQ(Doc(http), c.doc) << c.what;
  }
}

TEST(NetHttp, UrlWithControlBytesIsRefusedBeforeSending) {
  Peer server([](int, int) {}, 1, 300);
  const std::string base = "http://127.0.0.1:" + server.Port();
  THTTPClient http;
  http.Timeout = 1000;
  EXPECT_FALSE(http.SendRequest("GET", base + "/call?c=K1ABC\r\nX-Injected: 1&x=1"));
  EXPECT_FALSE(http.SendRequest("GET", base + "/call?c=K1\nABC"));
  EXPECT_FALSE(http.SendRequest("GET", base + "/call?c=\x7F"));
  EXPECT_FALSE(http.SendRequest("GET", "http://127.0.0\x01.1:" + server.Port() + "/"));
  EXPECT_FALSE(http.SendRequest("GET", "http://127.0.0.1:80\r\nX: y/"));
  server.Join();
  EXPECT_EQ(server.Accepted(), 0);
}

TEST(NetHttp, BodyUploadAndContinueHandshake) {
  std::string request;
  Peer server([&](int fd, int) {
    request = ReadRequest(fd);
    nettest::WriteAll(fd, "HTTP/1.0 201 Created\r\nContent-Length: 2\r\n\r\nok");
  });
  THTTPClient http;
  http.Timeout = 3000;
  http.Document.Write("a=1&b=2", 7);
  http.MimeType = "application/x-www-form-urlencoded";
  ASSERT_TRUE(http.SendRequest("POST", "http://127.0.0.1:" + server.Port() + "/form"));
  server.Join();
  EXPECT_EQ(request, "POST /form HTTP/1.0\r\nHost: 127.0.0.1:" + server.Port() + "\r\n" + kUserAgentLine +
                         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\na=1&b=2");
  EXPECT_EQ(http.UploadSize(), 7);
  EXPECT_EQ(http.ResultCode(), 201);
  EXPECT_EQ(Doc(http), "ok");

  std::string head, body;
  Peer expectServer([&](int fd, int) {
    head = nettest::ReadUntil(fd, "\r\n\r\n");
    nettest::WriteAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    body = nettest::ReadExact(fd, 3);
    nettest::WriteAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 4\r\n\r\ndone");
  });
  THTTPClient http11;
  http11.Timeout = 3000;
  http11.Protocol = "1.1";
  http11.Status100 = true;
  http11.MimeType = "";
  http11.Document.Write("xyz", 3);
  ASSERT_TRUE(http11.SendRequest("PUT", "http://127.0.0.1:" + expectServer.Port() + "/u"));
  expectServer.Join();
  EXPECT_NE(head.find("Content-Length: 3\r\nExpect: 100-continue\r\n\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Type"), std::string::npos);
  EXPECT_EQ(body, "xyz");
  EXPECT_EQ(http11.ResultCode(), 200);
  EXPECT_EQ(Doc(http11), "done");
}

TEST(NetHttp, FetchUrlTextSplitsLinesAndKeepsEightBitBytes) {
  OneShot srv("HTTP/1.0 200 OK\r\n\r\na\r\nb\nc\rd\r\n");
  qv::StringList lines;
  lines.Add("old");
  ASSERT_TRUE(FetchUrlText(srv.Url("/call?callsign=W1AW"), lines));
  ASSERT_EQ(lines.Count(), 4);
  EXPECT_EQ(lines[0], "a");
  EXPECT_EQ(lines[1], "b");
  EXPECT_EQ(lines[2], "c");
  EXPECT_EQ(lines[3], "d");

  const std::string answer = "\xB5W1AW\xB6Hiram\xD8\x80\xFF";
  OneShot raw("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + answer + "\r\n");
  ASSERT_TRUE(FetchUrlText(raw.Url("/call?callsign=W1AW&c=\xD8"), lines));
  ASSERT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0], answer);
  raw.Server.Join();
  EXPECT_EQ(raw.Request.substr(0, 38), "GET /call?callsign=W1AW&c=\xD8 HTTP/1.0\r\n");

  // A lookup that gets no answer fails, and the list holds no stale lines.
  Peer closer([](int fd, int) { ReadRequest(fd); });
  EXPECT_FALSE(FetchUrlText("http://127.0.0.1:" + closer.Port() + "/", lines));
  ASSERT_EQ(lines.Count(), 1);
  EXPECT_EQ(lines[0], "");
}

TEST(NetHttp, PeerTable) {
  // Each connection answers its requests in turn, then holds the connection
  // open until the client closes it, or closes at once.
  struct Connection {
    std::vector<std::string> replies;
    bool hold = true;
  };
  struct Case {
    const char* what;
    std::vector<Connection> connections;
    int requests;  // the same GET in a row; the last one is checked
    std::function<void(THTTPClient&)> setup;
    const char* doc;      // nullptr: the request fails with this failure
    std::string failure = {};  // (a prefix)
  };
  const std::string h11 = "HTTP/1.1 200 OK\r\n", chunked = h11 + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string big(200 * 1024, 'b'), longLine(100 * 1024, 'a');
  std::string bigHead = h11;
  for (int i = 0; i < 20; ++i) bigHead += "X-" + std::to_string(i) + ": " + std::string(60000, 'h') + "\r\n";
  const auto http11 = [](THTTPClient& h) { h.Protocol = "1.1"; };
  const auto small = [](THTTPClient& h) { h.MaxBodySize = 1000; };
  const Case cases[] = {
      {"the trailer is read, so the kept connection serves the next reply",
       {{{chunked + "3\r\none\r\n0\r\nX-Sum: 1\r\n\r\n", h11 + "Content-Length: 3\r\n\r\ntwo"}}}, 2, http11, "two"},
      {"bytes beyond a reply are never taken for the next one",
       {{{h11 + "Content-Length: 3\r\n\r\none" + h11 + "Content-Length: 5\r\n\r\nstale"}}, {{h11 + "Content-Length: 5\r\n\r\nfresh"}}},
       2, http11, "fresh"},
      {"a trailer cut off by the close still ends the body",
       {{{chunked + "3\r\none\r\n0\r\nX-Sum"}, false}, {{h11 + "Content-Length: 3\r\n\r\ntwo"}}}, 2, http11, "two"},
      {"a header line beyond the line limit", {{{h11 + "X: " + longLine + "\r\n\r\n"}}}, 1, nullptr, nullptr,
       "Reply line longer than 65536 bytes"},
      {"a large body arriving with a short head", {{{h11 + "Content-Length: 204800\r\n\r\n" + big}}}, 1, nullptr,
       big.c_str()},
      {"a head beyond its limit", {{{bigHead + "\r\n"}}}, 1, nullptr, nullptr, "Reply head longer than 1048576 bytes"},
      {"a body by length beyond MaxBodySize", {{{h11 + "Content-Length: 5000\r\n\r\n" + std::string(5000, 'x')}}}, 1,
       small, nullptr, "Reply body longer than 1000 bytes"},
      {"a body until close beyond MaxBodySize", {{{"HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'x')}, false}}, 1,
       small, nullptr, "Reply body longer than 1000 bytes"},
      {"a chunk size that is no number", {{{chunked + "3\r\none\r\nxyz\r\nabc\r\n0\r\n\r\n"}}}, 1, nullptr, nullptr,
       "Invalid chunk size in the reply"},
      {"a silent server under RequestTimeout", {{{}}}, 1, [](THTTPClient& h) { h.RequestTimeout = 300; }, nullptr,
       "No answer within 300 ms"},
  };
  for (const Case& c : cases) {
    Peer server(
        [&c](int fd, int index) {
          const Connection& conn = c.connections[static_cast<size_t>(index)];
          for (const std::string& r : conn.replies) {
            ReadRequest(fd);
            nettest::WriteAll(fd, r);
          }
          if (conn.hold) nettest::WaitForClose(fd);
        },
        static_cast<int>(c.connections.size()));
    bool ok = false;
    std::string doc, failure;
    const auto t0 = Clock::now();
    {
      THTTPClient http;
      http.Timeout = 60000;  // only RequestTimeout may end a stalled case in time
      if (c.setup) c.setup(http);
      for (int i = 0; i < c.requests; ++i) ok = http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/");
      doc = http.Document.DataString();
      failure = http.Failure();
    }
    EXPECT_LT(ElapsedMs(t0), 5000) << c.what;
    server.Join();
    EXPECT_EQ(server.Accepted(), static_cast<int>(c.connections.size())) << c.what;
    EXPECT_EQ(ok, c.doc != nullptr) << c.what << ": " << failure;
    EXPECT_EQ(c.doc != nullptr ? doc : failure.substr(0, c.failure.size()), c.doc != nullptr ? c.doc : c.failure)
        << c.what;
  }
}
