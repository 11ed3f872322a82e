// Name resolution within a time limit: the C library's resolver, and one
// that never answers through the look-up, the socket and the HTTP client.
#include <gtest/gtest.h>

#include "NetTestPeer.h"
#include "StalledResolver.h"
#include "net/nethttp.h"
#include "net/netsocket.h"
#include "platform/host/StringList.h"

using namespace qv::net;
using nettest::ElapsedMs;

TEST(NetResolve, ALookupEndsAtItsAnswerOrAtTheLimit) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  ASSERT_EQ(ResolveWithin("localhost", "80", &hints, &res, 5000), 0);
  ASSERT_NE(res, nullptr);
  EXPECT_TRUE(res->ai_family == AF_INET || res->ai_family == AF_INET6);
  ::freeaddrinfo(res);

  // Without an answer in time, by what the cancel says.
  struct Case {
    int Cancel, Result, LeftBehind;
  };
  const Case cases[] = {
      {EAI_NOTCANCELED, EAI_INPROGRESS, 1},  // running: left behind until it ends
      {EAI_CANCELED, EAI_INPROGRESS, 0},     // not started yet: gone
      {EAI_ALLDONE, EAI_NONAME, 0},          // the answer came at the last moment
  };
  for (const Case& c : cases) {
    nettest::StalledResolver stalled(c.Cancel);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ResolveWithin("stalled.example", "80", &hints, &res, 200), c.Result) << c.Cancel;
    EXPECT_GE(ElapsedMs(t0), 190) << c.Cancel;
    EXPECT_LT(ElapsedMs(t0), 3000) << c.Cancel;
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(AbandonedLookups(), c.LeftBehind) << c.Cancel;
    stalled.Answered = true;  // a request left behind goes once it is done
    EXPECT_EQ(AbandonedLookups(), 0) << c.Cancel;
  }
}

TEST(NetResolve, SocketAndHttpClientGiveUpOnAStalledNameAtTheirTimeout) {
  nettest::StalledResolver stalled;
  TTCPSocket s;
  s.SetTimeout(200);
  auto t0 = std::chrono::steady_clock::now();
  s.Connect("stalled.example", "80");
  EXPECT_EQ(s.LastError, 10060);
  EXPECT_LT(ElapsedMs(t0), 3000);
  // An address needs no name server; a socket without a timeout does not
  // use the asynchronous resolver.
  s.Connect("127.0.0.1", "1");
  TTCPSocket unbounded;
  unbounded.Connect("127.0.0.2", "1");
  EXPECT_EQ(stalled.Started, 1);

  qv::StringList lines;
  std::string failure;
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(FetchUrlText("http://stalled.example/call?callsign=W1AW", lines, 300, failure));
  EXPECT_LT(ElapsedMs(t0), 3000);
  EXPECT_EQ(failure, "Host name not resolved within 300 ms");
}
