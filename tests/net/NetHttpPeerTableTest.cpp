// The HTTP client against peers that stretch its limits: trailers and bytes
// left behind on a kept connection, over-long lines, heads and bodies, bad
// chunk sizes and peers that stall or trickle under an overall time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "NetTestPeer.h"
#include "net/nethttp.h"
#include "net/netsocket.h"

using namespace qv::net;
using nettest::ElapsedMs;
using nettest::Peer;

namespace {

using Clock = std::chrono::steady_clock;

// A connection's script: for each request that arrives, the reply to send
// (the connection stays open until the client closes it).
Peer::Script Replies(std::vector<std::string> replies) {
  return [replies](int fd, int) {
    for (const std::string& r : replies) {
      if (nettest::ReadUntil(fd, "\r\n\r\n").empty()) return;
      nettest::WriteAll(fd, r);
    }
    nettest::WaitForClose(fd);
  };
}

// One script per connection, by the connection's index.
Peer::Script PerConnection(std::vector<Peer::Script> scripts) {
  return [scripts](int fd, int index) { scripts[static_cast<size_t>(index)](fd, index); };
}

std::string Head(const std::string& lines) { return "HTTP/1.1 200 OK\r\n" + lines + "\r\n"; }

}  // namespace

TEST(NetHttp, PeerTable) {
  const std::string kLong(100 * 1024, 'a');
  const std::string kBody(200 * 1024, 'b');
  std::string bigHead;
  for (int i = 0; i < 20; ++i) bigHead += "X-Filler-" + std::to_string(i) + ": " + std::string(60000, 'h') + "\r\n";

  struct Case {
    const char* what;
    Peer::Script script;
    int connections;  // the peer accepts this many (and the test expects them all)
    int requests;     // the same GET, in a row; the last one's outcome is checked
    std::function<void(THTTPClient&)> setup;
    bool ok;
    std::string doc;      // the last reply's body (checked when ok)
    std::string failure;  // Failure() when not ok (a prefix)
  };
  const auto http11 = [](THTTPClient& h) { h.Protocol = "1.1"; };
  const auto smallBody = [](THTTPClient& h) { h.MaxBodySize = 1000; };
  const Case cases[] = {
      {"a chunked reply's trailer is read, so the kept connection serves the next reply",
       Replies({Head("Transfer-Encoding: chunked\r\n") + "3\r\none\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n",
                Head("Content-Length: 3\r\n") + "two"}),
       1, 2, http11, true, "two", ""},
      {"bytes beyond a reply are never taken for the next one",
       PerConnection({Replies({Head("Content-Length: 3\r\n") + "one" + Head("Content-Length: 5\r\n") + "stale"}),
                      Replies({Head("Content-Length: 5\r\n") + "fresh"})}),
       2, 2, http11, true, "fresh", ""},
      {"a trailer cut off by the close still ends a whole body, and the next request connects anew",
       PerConnection({[](int fd, int) {
                        nettest::ReadUntil(fd, "\r\n\r\n");
                        nettest::WriteAll(fd, Head("Transfer-Encoding: chunked\r\n") + "3\r\none\r\n0\r\nX-Sum");
                      },
                      Replies({Head("Content-Length: 3\r\n") + "two"})}),
       2, 2, http11, true, "two", ""},
      {"a header line beyond the line limit", Replies({Head("X-Big: " + kLong + "\r\n") + "body"}), 1, 1, nullptr,
       false, "", "Reply line longer than 65536 bytes"},
      {"a status line beyond the line limit", Replies({"HTTP/1.0 200 " + kLong + "\r\n\r\n"}), 1, 1, nullptr, false,
       "", "Reply line longer than 65536 bytes"},
      {"a large body arriving with a short head is no long line",
       Replies({Head("Content-Length: " + std::to_string(kBody.size()) + "\r\n") + kBody}), 1, 1, nullptr, true,
       kBody, ""},
      {"a head beyond its limit in many lines", Replies({Head(bigHead)}), 1, 1, nullptr, false, "",
       "Reply head longer than 1048576 bytes"},
      {"a body by length beyond MaxBodySize", Replies({Head("Content-Length: 5000\r\n") + std::string(5000, 'x')}),
       1, 1, smallBody, false, "", "Reply body longer than 1000 bytes"},
      {"a body until close beyond MaxBodySize",
       [](int fd, int) {
         nettest::ReadUntil(fd, "\r\n\r\n");
         nettest::WriteAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'x'));
       },
       1, 1, smallBody, false, "", "Reply body longer than 1000 bytes"},
      {"chunks that together pass MaxBodySize",
       Replies({Head("Transfer-Encoding: chunked\r\n") + "190\r\n" + std::string(400, 'x') + "\r\n190\r\n" +
                std::string(400, 'y') + "\r\n190\r\n" + std::string(400, 'z') + "\r\n0\r\n\r\n"}),
       1, 1, smallBody, false, "", "Reply body longer than 1000 bytes"},
      {"a chunk size that is no hexadecimal number",
       Replies({Head("Transfer-Encoding: chunked\r\n") + "3\r\none\r\nxyz\r\nabc\r\n0\r\n\r\n"}), 1, 1, nullptr,
       false, "", "Invalid chunk size in the reply"},
      {"a silent server under RequestTimeout", Replies({}), 1, 1,
       [](THTTPClient& h) { h.RequestTimeout = 300; }, false, "", "No answer within 300 ms"},
      {"a trickling server under RequestTimeout",
       [](int fd, int) {
         nettest::ReadUntil(fd, "\r\n\r\n");
         nettest::WriteAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n");
         for (int i = 0; i < 60; ++i) {
           nettest::WriteAll(fd, "x");
           nettest::Pause(50);
         }
       },
       1, 1, [](THTTPClient& h) { h.RequestTimeout = 2000; }, false, "", "No answer within 2 s"},
  };
  for (const Case& c : cases) {
    Peer server(c.script, c.connections);
    bool ok = false;
    std::string doc;
    std::string failure;
    const auto t0 = Clock::now();
    {
      THTTPClient http;
      http.Timeout = 60000;  // only RequestTimeout may end the stalled cases in time
      if (c.setup) c.setup(http);
      for (int i = 0; i < c.requests; ++i) ok = http.SendRequest("GET", "http://127.0.0.1:" + server.Port() + "/");
      doc = http.Document.DataString();
      failure = http.Failure();
    }
    EXPECT_LT(ElapsedMs(t0), 8000) << c.what;
    server.Join();
    EXPECT_EQ(ok, c.ok) << c.what << ": " << failure;
    EXPECT_EQ(server.Accepted(), c.connections) << c.what;
    if (c.ok) {
      EXPECT_EQ(doc, c.doc) << c.what;
      EXPECT_EQ(failure, "") << c.what;
    } else {
      EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << c.what << ": " << failure;
    }
  }
}
