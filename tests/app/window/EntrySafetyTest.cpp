// What the window must never log: a contact while no log is selected (the
// template or a made-up path would receive it), and a field value that its
// own exit check refuses when Enter adds the contact. Also the deadline of
// the online lookup.
#include "WindowTestSupport.h"

#include <chrono>

#include "app/OnlineLookup.h"
#include "app/QsoEntry.h"
#include "net/NetTestPeer.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/StringList.h"

namespace qv::app::wintest {
namespace {

const std::string kSelectLog = "You must \"Select Log\" !";

class SafetyTest;

struct SafetyCase {
  const char* What;
  std::function<void(SafetyTest&)> Arrange;  // starts the window and types the contact
  Ctl EnterIn;                               // Ctl::Count: Enter outside the entry fields
  bool NoLog;        // no log selected: nothing may be written anywhere
  size_t Records;    // contacts in the live log afterwards
  std::string Status;   // start of the status panel's text afterwards
  std::string Warning;  // the last warning box (empty: none expected)
};

void PrintTo(const SafetyCase& c, std::ostream* os) { *os << c.What; }

class SafetyTest : public WindowTest, public ::testing::WithParamInterface<SafetyCase> {
public:
  using WindowTest::AddLogRecord;
  using WindowTest::Configure;
  using WindowTest::Set;
  using WindowTest::Start;

  // The window's start without a call to Configure before it.
  void StartAsIs() {
    Controller = std::make_unique<MainController>(View, Tables, *Store, Home);
    Controller->FormCreate();
    Controller->FormActivate();
    Controller->Timer1Timer();
  }
  void TypeContact(const std::string& freq) {
    Set(Ctl::CallEntered, "K1XX");
    Set(Ctl::FreqEntered, freq);
    Set(Ctl::Mode, "CW");
    Set(Ctl::TimeST, "1200");
  }
  void RemoveLogFolder() { std::filesystem::remove_all(WindowTest::Home + "TEST"); }
  void SetProgram(const std::string& logName) {
    ProgramSettings p;
    p.LogName = logName;
    p.HCPW = "secret";
    Store->WriteProgramSettings(p);
  }
  size_t RecordsIn(const std::string& file) {
    MemDataSet ds;
    ds.SetTable(&Tables.TableFor(LogTableSpec(), file));
    ds.Open();
    return static_cast<size_t>(ds.RecordCount());
  }
};

TEST_P(SafetyTest, EnterAndAddToLog) {
  const SafetyCase& c = GetParam();
  c.Arrange(*this);
  View.Messages.clear();
  View.Focused = c.EnterIn;
  Controller->AddToLogByEnter(c.EnterIn);

  if (c.NoLog) {
    EXPECT_EQ(RecordsIn(WindowTest::Home + "V5LogDB.vlm"), 0u);  // the template
    EXPECT_EQ(RecordsIn("/V5LogDB.vlm"), 0u);
    EXPECT_EQ(RecordsIn(WindowTest::Home + "TEST/V5LogDB.vlm"), 0u);
    EXPECT_EQ(ReadFile(WindowTest::Home + "V5LogDB.vlm"), "template");
    EXPECT_FALSE(std::filesystem::exists(WindowTest::Home + "BakV5LogDB.vlm"));
  } else {
    EXPECT_EQ(LogRecords().size(), c.Records);
  }
  EXPECT_EQ(Text(Ctl::StatPanel).substr(0, c.Status.size()), c.Status) << Text(Ctl::StatPanel);
  std::vector<std::string> expected;
  if (!c.Warning.empty()) expected.push_back(c.Warning);
  EXPECT_EQ(View.MessageTexts(), expected);

  if (c.NoLog) {
    // The checks and the lookup still work without a log.
    View.C(Ctl::OnlineLookup).ItemIndex = lcRawLookup;
    Controller->State().Program.HCPW = "secret";
    Controller->SetFetch([](const std::string&, StringList& lines, std::string&) {
      lines.Add("\xBA" "Jones" "\xB5");
      return true;
    });
    Leave(Ctl::CallEntered, Ctl::TimeST);
    EXPECT_EQ(Text(Ctl::LName), "Jones");
  }
}

const SafetyCase kSafetyCases[] = {
    {"an empty log name is no log, not the template",
     [](SafetyTest& t) {
       t.Configure({});
       t.SetProgram("");
       t.StartAsIs();
       t.TypeContact("14");
     },
     Ctl::Notes, true, 0, "", kSelectLog},
    {"first run without a log",
     [](SafetyTest& t) {
       t.StartAsIs();
       t.TypeContact("14");
     },
     Ctl::Notes, true, 0, "", kSelectLog},
    {"the log folder went missing",
     [](SafetyTest& t) {
       t.RemoveLogFolder();
       t.Start({});
       t.TypeContact("14");
     },
     Ctl::Notes, true, 0, "", kSelectLog},
    {"a zone report the check refuses",
     [](SafetyTest& t) {
       t.Start({true, "WWDX", true});
       t.TypeContact("14");
       t.Set(Ctl::RSTSent, "599");
     },
     Ctl::RSTSent, false, 0, "RST + Zone required!", ""},
    {"a frequency that is no band of the IBM QSO Party",
     [](SafetyTest& t) {
       t.Start({true, "IBM", true});
       t.TypeContact("15");
     },
     Ctl::FreqEntered, false, 0, "", ""},
    {"a frequency that is no number",
     [](SafetyTest& t) {
       t.Start({});
       t.TypeContact("14..5");
     },
     Ctl::FreqEntered, false, 0, "", "Invalid FREQUENCY !\rEnter MHz as a number, for example 14.025"},
    {"a duplicate call in a contest log",
     [](SafetyTest& t) {
       QsoRecord q;
       q.Call = "K1XX";
       q.Freq = "14";
       q.Mode = "CW";
       q.QSODate = "2024-05-06";
       t.AddLogRecord(q);
       t.Start({true, "Other", true});
       t.TypeContact("14");
     },
     Ctl::CallEntered, false, 1, "K1XX is a DUPLICATE", ""},
    {"a field whose check accepts adds the contact",
     [](SafetyTest& t) {
       t.Start({});
       t.TypeContact("14.025");
     },
     Ctl::FreqEntered, false, 1, "", ""},
    {"Enter outside the entry fields adds the contact",
     [](SafetyTest& t) {
       t.Start({});
       t.TypeContact("7");
     },
     Ctl::Count, false, 1, "", ""},
};

INSTANTIATE_TEST_SUITE_P(EntrySafety, SafetyTest, ::testing::ValuesIn(kSafetyCases),
                         [](const ::testing::TestParamInfo<SafetyCase>& info) {
                           return "Case" + std::to_string(info.index);
                         });

TEST(FrequencyText, NumbersOfMegahertzOnly) {
  const std::pair<const char*, bool> cases[] = {{"14", true},   {"14.025", true}, {".5", true}, {"1240", true},
                                                {"14.", true},  {"14..5", false}, {".", false}, {"", false},
                                                {"1.2.3", false}, {"14 ", false}, {"1e3", false}};
  for (const auto& [text, ok] : cases) EXPECT_EQ(IsFrequencyText(text), ok) << text;
}

TEST_F(WindowTest, LookupAgainstASilentServerEndsAtItsDeadline) {
  EXPECT_EQ(MainController::kLookupDeadlineMs, 10000);
  nettest::Peer silent([](int fd, int) { nettest::WaitForClose(fd); });
  Start({true, "Other", true});
  View.C(Ctl::OnlineLookup).ItemIndex = lcRawLookup;
  Controller->SetLookupHost("127.0.0.1:" + silent.Port());
  Controller->SetLookupDeadline(300);
  Set(Ctl::CallEntered, "K1XX");
  const auto t0 = std::chrono::steady_clock::now();
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_LT(nettest::ElapsedMs(t0), 3000);
  EXPECT_EQ(Text(Ctl::StatPanel), "Can not retrieve data! No answer within 300 ms");
}

}  // namespace
}  // namespace qv::app::wintest
