// The online lookup: request text, answer parsing by marker bytes, and the
// whole lookup against a fake service on the loopback interface.
#include "WindowTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/OnlineLookup.h"
#include "tests/net/NetTestPeer.h"
#include "tests/net/StalledResolver.h"
#include "platform/host/StringList.h"

namespace qv::app::wintest {
namespace {

// One HTTP exchange on 127.0.0.1: records the request head and answers with
// a fixed reply, then closes. Waits at most a few seconds for the client.
class LoopbackServer {
public:
  explicit LoopbackServer(std::string reply) : Reply_(std::move(reply)) {
    Listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    EXPECT_EQ(::bind(Listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(Listen_, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(Listen_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
    Thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackServer() {
    if (Thread_.joinable()) Thread_.join();
    ::close(Listen_);
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(Port_); }
  // The request head, once the exchange is over.
  std::string Request() {
    if (Thread_.joinable()) Thread_.join();
    return Request_;
  }

private:
  void Serve() {
    pollfd p{Listen_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return;
    const int fd = ::accept(Listen_, nullptr, nullptr);
    if (fd < 0) return;
    char buf[4096];
    while (Request_.find("\r\n\r\n") == std::string::npos) {
      pollfd q{fd, POLLIN, 0};
      if (::poll(&q, 1, 5000) <= 0) break;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      Request_.append(buf, static_cast<size_t>(n));
    }
    size_t off = 0;
    while (off < Reply_.size()) {
      const ssize_t n = ::write(fd, Reply_.data() + off, Reply_.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    ::close(fd);
  }

  std::string Reply_;
  std::string Request_;
  int Listen_ = -1;
  uint16_t Port_ = 0;
  std::thread Thread_;
};

// A recorded answer: the station's fields behind their marker bytes.
// The zone and continent markers do not end the field before them, so they
// stand first, each closed by an unused marker.
const std::string kAnswer =
    "\xFB" "05" "\xB5" "\xFC" "08" "\xB5" "\xFD" "NA" "\xB5"
    "\xB6" "E" "\xB7" "B7" "\xB8" "Anne" "\xBA" "Jones" "\xBC" "12 Elm St" "\xBD" "USA" "\xBF" "Boston"
    "\xC0" "MA" "\xC1" "02101" "\xC6" "Suffolk" "\xC8" "42.36" "\xC9" "-71.06" "\xCA" "FN42" "\xCF"
    "anne@example.org" "\xD0" "K1MGR" "\xD1" "USA" "\xD2" "example.org/anne" "\xD8" "12345" "\xDA" "NA-046"
    "\xDB" "777" "\xDC" "888" "\xDD" "999" "\xB5";

TEST(LookupAnswer, ExtractsFieldsUpToTheNextMarker) {
  const std::string line = "\xBA" "Jones" "\xBB\xBC" "tail";
  const auto length = static_cast<int32_t>(line.size());
  EXPECT_EQ(ExtractLookupField(length, line, 2), "Jones");
  EXPECT_EQ(ExtractLookupField(length, line, 8), "");    // two markers in a row
  EXPECT_EQ(ExtractLookupField(length, line, 9), "NF");  // runs to the end of the line
  // The walk looks at no more than length - 1 bytes.
  EXPECT_EQ(ExtractLookupField(5, "abcd\xB5", 1), "NF");
  EXPECT_EQ(ExtractLookupField(6, "abcd\xB5", 1), "abcd");
  // 0xFB to 0xFD introduce fields but do not end one.
  EXPECT_EQ(ExtractLookupField(9, "05\xFC" "08\xB5xyz", 1), "05\xFC" "08");
}

TEST(LookupAnswer, RequestAndPageAddresses) {
  EXPECT_EQ(BuildLookupRequest("hamcall.net", "W\xD8" "ID", "pa ss&x=1", "W\xD8" "ABC/P"),
            "http://hamcall.net/call?username=W0ID&password=pa%20ss%26x%3D1&rawlookup=1&callsign=W0ABC/P"
            "&program=Quorvex");
  EXPECT_EQ(PercentEncodeQueryValue("Az09-._~/"), "Az09-._~/");
  EXPECT_EQ(PercentEncodeQueryValue("\xE9?#"), "%E9%3F%23");
  EXPECT_EQ(HamQthPageUrl("DL\xD8" "AB"), "http://www.hamqth.com/DL0AB");
  EXPECT_EQ(QrzPageUrl("DL\xD8" "AB"), "http://www.qrz.com/db/DL0AB");
  EXPECT_EQ(LicenceClassText("P"), "Tech +");
  EXPECT_EQ(LicenceClassText("E"), "Extra");
  EXPECT_EQ(LicenceClassText("X"), "X");

  StringList lines;
  lines.Add("<html>");
  lines.Add("ok \xB6" "A");
  EXPECT_EQ(FindAnswerLine(lines), 1);
  lines.Delete(1);
  EXPECT_EQ(FindAnswerLine(lines), -1);
}

class LookupTest : public WindowTest {
protected:
  void StartLookup(const MainController::FetchFunction& fetch) {
    Start({true, "Other", true});
    View.C(Ctl::OnlineLookup).ItemIndex = lcRawLookup;
    if (fetch) Controller->SetFetch(fetch);
  }
  void LookUp(const std::string& call) {
    Set(Ctl::CallEntered, call);
    Leave(Ctl::CallEntered, Ctl::TimeST);
  }
};

TEST_P(LookupTest, RecordedAnswerFromTheLoopbackServiceFillsTheFields) {
  LoopbackServer server("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + kAnswer + "\r\n");
  StartLookup(nullptr);
  Controller->SetLookupHost(server.Host());
  Set(Ctl::Email, "");
  LookUp("W\xD8" "ABC");
  const std::string request = server.Request();
  EXPECT_EQ(request.substr(0, request.find("\r\n")),
            "GET /call?username=W1AW&password=secret&rawlookup=1&callsign=W0ABC&program=Quorvex HTTP/1.0");
  const std::pair<Ctl, std::string> expected[] = {
      {Ctl::LicClass, "Extra"},    {Ctl::BMCode, "B7"},         {Ctl::NameFld, "Anne"},
      {Ctl::LName, "Jones"},       {Ctl::Street, "12 Elm St"},  {Ctl::PrefCountry, "USA"},
      {Ctl::CityFld, "Boston"},    {Ctl::StateFLD, "MA"},       {Ctl::PostalCode, "02101"},
      {Ctl::County, "Suffolk"},    {Ctl::Lat, "42.36"},         {Ctl::Long, "-71.06"},
      {Ctl::GridSq, "FN42"},       {Ctl::Email, "anne@example.org"}, {Ctl::QSLMgr, "K1MGR"},
      {Ctl::CountryFLD, "USA"},    {Ctl::WebURL, "example.org/anne"}, {Ctl::TenTen, "12345"},
      {Ctl::IOTA, "NA-046"},       {Ctl::FISTS, "777"},         {Ctl::QCWA, "888"},
      {Ctl::OOTC, "999"},          {Ctl::CQZ, "05"},            {Ctl::ITUZ, "08"},
      {Ctl::ContinentFLD, "NA"}};
  for (const auto& [c, text] : expected) EXPECT_EQ(Text(c), text) << CtlName(c);
}

TEST_P(LookupTest, NoPasswordSendsNothing) {
  int fetches = 0;
  StartLookup([&](const std::string&, StringList&, std::string&) {
    ++fetches;
    return true;
  });
  ProgramSettings p = Store->ReadProgramSettings(ProgramSettings{});
  p.HCPW = "";
  Store->WriteProgramSettings(p);
  Controller->FormActivate();
  Set(Ctl::LName, "kept");
  LookUp("K1XX");
  EXPECT_EQ(fetches, 0);
  EXPECT_EQ(View.MessageTexts(),
            std::vector<std::string>{"User ID and Password required in \"Settings\" in order to use HamCall"});
  EXPECT_EQ(Text(Ctl::LName), "kept");
}

TEST_P(LookupTest, FailuresAndAnswersWithoutMarkersAreReported) {
  bool result = false;
  std::vector<std::string> reply;
  StartLookup([&](const std::string&, StringList& lines, std::string&) {
    for (const std::string& l : reply) lines.Add(l);
    return result;
  });
  struct Case {
    bool Result;
    std::vector<std::string> Reply;
    std::string Reason;
  };
  const Case cases[] = {
      {false, {}, "The request failed without a reason."},
      {true, {}, "The reply was empty."},  // 200 OK, no body
      {true, {"", "  "}, "The reply was empty."},
      {false, {"Invalid login", "<br>"}, "Invalid login"},
      {true, {"Invalid login", "<br>"}, "Invalid login"},
      {true, {"", "Invalid login"}, "Invalid login"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Reason);
    result = c.Result;
    reply = c.Reply;
    Set(Ctl::LName, "old");
    LookUp("K1XX");
    EXPECT_EQ(Text(Ctl::StatPanel), "Can not retrieve data! " + c.Reason);
    EXPECT_EQ(Text(Ctl::LName), "");  // cleared before the request
  }
}

TEST_P(LookupTest, AnswerLineIsFoundAmongOtherLinesAndUsesItsOwnLength) {
  StartLookup([&](const std::string&, StringList& lines, std::string&) {
    lines.Add("<pre>");
    lines.Add("\xBA" "Jones" "\xB6" "P" "\xB5");
    lines.Add("a much longer closing line than the answer line itself");
    return true;
  });
  LookUp("K1XX");
  EXPECT_EQ(Text(Ctl::LName), "Jones");
  EXPECT_EQ(Text(Ctl::LicClass), "Tech +");
  EXPECT_EQ(Text(Ctl::CountryFLD), "");  // no country and no prefix country
  EXPECT_EQ(Text(Ctl::ContinentFLD), "");
}

TEST_P(LookupTest, MemberValuesAndATypedAddressAreKept) {
  AddRow(MemberStorage(), {{"CALL", "K1XX"},
                           {"Country", "USA"},
                           {"Continent", "NA"},
                           {"Name", "Bo"},
                           {"City", "Troy"},
                           {"Email", "bo@example.org"}});
  StartLookup([&](const std::string&, StringList& lines, std::string&) {
    lines.Add("\xB8" "Robert" "\xBF" "Albany" "\xD1" "CANADA" "\xCF" "new@example.org" "\xBA" "Bell");
    return true;
  });
  LookUp("K1XX");
  EXPECT_EQ(Text(Ctl::NameFld), "Bo");
  EXPECT_EQ(Text(Ctl::CityFld), "Troy");
  EXPECT_EQ(Text(Ctl::CountryFLD), "USA");
  EXPECT_EQ(Text(Ctl::ContinentFLD), "NA");
  EXPECT_EQ(Text(Ctl::Email), "bo@example.org");  // an address already there stays
  EXPECT_EQ(Text(Ctl::LName), "NF");              // last field without a closing marker
}

TEST_P(LookupTest, UsaWithoutContinentBecomesNorthAmerica) {
  StartLookup([&](const std::string&, StringList& lines, std::string&) {
    lines.Add("\xFD" "NF" "\xB5" "\xBD" "USA" "\xB5");
    return true;
  });
  LookUp("K1XX");
  EXPECT_EQ(Text(Ctl::CountryFLD), "USA");  // from the prefix country
  EXPECT_EQ(Text(Ctl::ContinentFLD), "NA");
}

TEST_P(LookupTest, AStalledNameServerEndsTheLookupWithinItsDeadlineAndTheWindowGoesOn) {
  nettest::StalledResolver stalled;
  StartLookup(nullptr);  // the program's own HTTP GET
  Controller->SetLookupHost("lookup.example");
  Controller->SetLookupDeadline(300);
  for (const char* call : {"K1XX", "K2YY"}) {
    const auto t0 = std::chrono::steady_clock::now();
    LookUp(call);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3)) << call;
    EXPECT_EQ(Text(Ctl::StatPanel), "Can not retrieve data! Host name not resolved within 300 ms") << call;
  }
  EXPECT_EQ(net::AbandonedLookups(), 2);
}

// Whatever part of a reply came before the deadline passed, the status says
// that it passed, as it names a name that was not found.
TEST_P(LookupTest, ADeadlineThatPassesIsTheReasonGiven) {
  const std::string heads[] = {
      "",                                                           // nothing
      "HTTP/1.0 200 OK\r\n",                                        // part of the head
      "HTTP/1.0 200 OK\r\n\r\n",                                    // the head
      "HTTP/1.0 200 OK\r\n\r\n<html>\r\n<body>",                    // lines of the body
      "HTTP/1.0 200 OK\r\nContent-Length: 500\r\n\r\nInvalid login\r\n",  // part of a counted body
  };
  StartLookup(nullptr);
  Controller->SetLookupDeadline(300);
  for (const std::string& head : heads) {
    SCOPED_TRACE(head);
    nettest::Peer peer([&](int fd, int) {
      nettest::ReadUntil(fd, "\r\n\r\n");
      nettest::WriteAll(fd, head);
      nettest::WaitForClose(fd);
    });
    Controller->SetLookupHost("127.0.0.1:" + peer.Port());
    LookUp("K1XX");
    EXPECT_EQ(Text(Ctl::StatPanel), "Can not retrieve data! No answer within 300 ms");
  }
}

// A request that fails at once, or a reply with an error status, names its
// reason as the deadline does.
TEST_P(LookupTest, AFailedRequestSaysWhy) {
  // A name server that knows no name, at once.
  net::TAsyncResolver noNames{[](gaicb*) { return 0; }, [](const gaicb*, const timespec*) { return 0; },
                              [](gaicb*) { return EAI_NONAME; }, [](gaicb*) { return EAI_ALLDONE; }};
  const std::pair<const char*, std::string> cases[] = {
      {"Connection refused", ""},
      {"Host not found", ""},
      {"HTTP 404 Not Found", "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
      {"HTTP 503 Service Unavailable", "HTTP/1.0 503 Service Unavailable\r\n\r\n<html>\r\nbusy\r\n"},
      // A plain-text body says why in its first line.
      {"HTTP 401 Unauthorized: Invalid login",
       "HTTP/1.0 401 Unauthorized\r\nContent-Type: text/plain; charset=us-ascii\r\nContent-Length: 22\r\n\r\n"
       "Invalid login\r\nretry\r\n"},
  };
  StartLookup(nullptr);
  for (const auto& [reason, reply] : cases) {
    nettest::ClosedPort refusing;
    nettest::Peer peer([&](int fd, int) {
      nettest::ReadUntil(fd, "\r\n\r\n");
      nettest::WriteAll(fd, reply);
    }, 1, reply.empty() ? 1 : nettest::kPeerWaitMs);
    const bool noHost = std::string(reason) == "Host not found";
    net::SetAsyncResolver(noHost ? &noNames : nullptr);
    const std::string port = reply.empty() ? refusing.Port() : peer.Port();
    Controller->SetLookupHost(noHost ? "lookup.example" : "127.0.0.1:" + port);
    LookUp("K1XX");
    net::SetAsyncResolver(nullptr);
    EXPECT_EQ(Text(Ctl::StatPanel), "Can not retrieve data! " + std::string(reason));
  }
}

QV_ON_BOTH_TABLE_KINDS(LookupTest);

}  // namespace
}  // namespace qv::app::wintest
