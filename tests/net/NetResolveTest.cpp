// Name resolution within a time limit: the C library's resolver, and a
// scripted one that never answers, through the look-up, the socket and the
// HTTP client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "NetTestPeer.h"
#include "net/nethttp.h"
#include "net/netresolve.h"
#include "net/netsocket.h"
#include "platform/host/StringList.h"

using namespace qv::net;
using nettest::ElapsedMs;

namespace {

using Clock = std::chrono::steady_clock;

// A resolver whose look-ups never answer until Answered is set; a wait on
// one takes its whole time. Cancel answers CancelResult.
class StalledResolver {
public:
  explicit StalledResolver(int cancelResult = EAI_NOTCANCELED) : CancelResult(cancelResult) {
    Resolver.Start = [this](gaicb*) {
      ++Started;
      return 0;
    };
    Resolver.Suspend = [](const gaicb*, const timespec* timeout) {
      std::this_thread::sleep_for(std::chrono::seconds(timeout->tv_sec) + std::chrono::nanoseconds(timeout->tv_nsec));
      return EAI_AGAIN;
    };
    Resolver.Error = [this](gaicb*) { return Answered ? EAI_NONAME : EAI_INPROGRESS; };
    Resolver.Cancel = [this](gaicb*) {
      if (CancelResult == EAI_ALLDONE) Answered = true;
      return CancelResult;
    };
    SetAsyncResolver(&Resolver);
  }
  ~StalledResolver() {
    SetAsyncResolver(nullptr);
    Answered = true;
    AbandonedLookups();
  }

  int CancelResult;
  std::atomic<bool> Answered{false};
  int Started = 0;
  TAsyncResolver Resolver;
};

addrinfo StreamHints() {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  return hints;
}

}  // namespace

TEST(NetResolve, TheSystemResolverAnswersWithinTheLimit) {
  const addrinfo hints = StreamHints();
  addrinfo* res = nullptr;
  ASSERT_EQ(ResolveWithin("localhost", "80", &hints, &res, 5000), 0);
  ASSERT_NE(res, nullptr);
  EXPECT_TRUE(res->ai_family == AF_INET || res->ai_family == AF_INET6);
  ::freeaddrinfo(res);
  EXPECT_EQ(AbandonedLookups(), 0);
}

TEST(NetResolve, ALookupWithoutAnswerEndsAtTheLimit) {
  // How the look-up ends when its time is up, by what the cancel says.
  struct Case {
    int Cancel;
    int Result;
    int LeftBehind;
  };
  const Case cases[] = {
      {EAI_NOTCANCELED, EAI_INPROGRESS, 1},  // running: left behind until it ends
      {EAI_CANCELED, EAI_INPROGRESS, 0},     // not started yet: gone
      {EAI_ALLDONE, EAI_NONAME, 0},          // the answer came at the last moment
  };
  const addrinfo hints = StreamHints();
  for (const Case& c : cases) {
    StalledResolver stalled(c.Cancel);
    addrinfo* res = nullptr;
    const auto t0 = Clock::now();
    EXPECT_EQ(ResolveWithin("stalled.example", "80", &hints, &res, 200), c.Result) << c.Cancel;
    const int64_t elapsed = ElapsedMs(t0);
    EXPECT_GE(elapsed, 190) << c.Cancel;
    EXPECT_LT(elapsed, 3000) << c.Cancel;
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(AbandonedLookups(), c.LeftBehind) << c.Cancel;
    stalled.Answered = true;  // a request left behind goes once it is done
    EXPECT_EQ(AbandonedLookups(), 0) << c.Cancel;
  }
}

TEST(NetResolve, SocketAndHttpClientGiveUpOnAStalledNameAtTheirTimeout) {
  StalledResolver stalled;
  TTCPSocket s;
  s.SetTimeout(200);
  auto t0 = Clock::now();
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
  t0 = Clock::now();
  EXPECT_FALSE(FetchUrlText("http://stalled.example/call?callsign=W1AW", lines, 300, failure));
  EXPECT_LT(ElapsedMs(t0), 3000);
  EXPECT_EQ(failure, "Host name not resolved within 300 ms");
  EXPECT_EQ(lines.Count(), 0);
}
