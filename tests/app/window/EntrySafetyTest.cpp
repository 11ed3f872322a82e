// What the window must never log: a contact while no log is selected, and a
// value its own field's exit check refuses when Enter adds the contact, and
// no output while no log is selected. Also the deadline of the online lookup.
#include "WindowTestSupport.h"

#include "app/OnlineLookup.h"
#include "app/Outputs.h"
#include "net/NetTestPeer.h"
#include "platform/host/StringList.h"

namespace qv::app::wintest {
namespace {

enum class Opening : uint8_t { WithLog, EmptyLogName, FirstRun, MissingLog };

struct SafetyCase {
  const char* What;
  Opening How;
  LogKind Kind;
  const char* Freq;
  const char* Time;
  const char* RstSent;
  bool Duplicate;  // the log holds the same call, band and mode
  Ctl EnterIn;     // Ctl::Count: Enter outside the entry fields
  size_t Records;  // in the live log afterwards
  const char* Status;
  const char* Warning;  // the one message box ("": none)
  const char* Date = nullptr;  // typed into the date field (nullptr: the clock's)
};
void PrintTo(const SafetyCase& c, std::ostream* os) { *os << c.What; }

const char* const kSelectLog = "You must \"Select Log\" !";
const char* const kBadFrequency = "Invalid FREQUENCY !\rEnter MHz as a number, for example 14.025";
const char* const kBadDate = "Invalid DATE !\rEnter the date as yyyy-mm-dd";
const SafetyCase kCases[] = {
    {"empty log name", Opening::EmptyLogName, {}, "14", "1200", "", false, Ctl::Notes, 0, "", kSelectLog},
    {"first run", Opening::FirstRun, {}, "14", "1200", "", false, Ctl::Notes, 0, "", kSelectLog},
    {"missing log folder", Opening::MissingLog, {}, "14", "1200", "", false, Ctl::Notes, 0, "", kSelectLog},
    {"zone report refused", Opening::WithLog, {true, "WWDX", true}, "14", "1200", "599", false, Ctl::RSTSent, 0,
     "RST + Zone required!", ""},
    {"no IBM band", Opening::WithLog, {true, "IBM", true}, "15", "1200", "", false, Ctl::FreqEntered, 0, "", ""},
    {"frequency no number", Opening::WithLog, {}, "14..5", "1200", "", false, Ctl::FreqEntered, 0, "", kBadFrequency},
    // Enter in another field: Add To Log itself refuses what the checks refuse.
    {"frequency no number, Enter elsewhere", Opening::WithLog, {}, "14..5", "1200", "", false, Ctl::NameFld, 0, "",
     kBadFrequency},
    {"time of no day, Enter elsewhere", Opening::WithLog, {}, "14", "2599", "", false, Ctl::NameFld, 0, "",
     "Invalid TIME !"},
    {"duplicate", Opening::WithLog, {true, "Other", true}, "14", "1200", "", true, Ctl::CallEntered, 1,
     "K1XX is a DUPLICATE", ""},
    {"accepted field", Opening::WithLog, {}, "14.025", "1200", "", false, Ctl::FreqEntered, 1, "", ""},
    {"outside the fields", Opening::WithLog, {}, "7", "1200", "", false, Ctl::Count, 1, "", ""},
    {"no calendar date", Opening::WithLog, {}, "14", "1200", "", false, Ctl::QSODate, 0, "", kBadDate,
     "2026-13-45"},
    {"no calendar date, Enter elsewhere", Opening::WithLog, {}, "14", "1200", "", false, Ctl::NameFld, 0, "",
     kBadDate, "2023-02-29"},
    {"leap day", Opening::WithLog, {}, "14", "1200", "", false, Ctl::QSODate, 1, "", "", "2024-02-29"},
    // Typed, a date takes the form the exports write.
    {"slash date typed", Opening::WithLog, {}, "14", "1200", "", false, Ctl::QSODate, 0, "",
     kBadDate, "2024/05/07"},
};

class SafetyTest : public WindowFixture, public ::testing::WithParamInterface<SafetyCase> {};

TEST_P(SafetyTest, EnterAddsOnlyWhatTheChecksAccept) {
  const SafetyCase& c = GetParam();
  const std::string templateBytes = ReadFile(Home + "V5LogDB.vlm");
  if (c.Duplicate) {
    QsoRecord q;
    q.Call = "K1XX";
    q.Freq = "14";
    q.Mode = "CW";
    AddLogRecord(q);
  }
  if (c.How == Opening::MissingLog) std::filesystem::remove_all(Home + "TEST");
  if (c.How != Opening::FirstRun) Configure(c.Kind);
  if (c.How == Opening::EmptyLogName) Store->WriteString("Settings", "LogName", "");
  Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
  Controller->FormCreate();
  Controller->FormActivate();
  for (auto [field, text] : {std::pair{Ctl::CallEntered, "K1XX"}, {Ctl::FreqEntered, c.Freq}, {Ctl::Mode, "CW"},
                             {Ctl::TimeST, c.Time}, {Ctl::RSTSent, c.RstSent}})
    Set(field, text);
  if (c.Date != nullptr) Set(Ctl::QSODate, c.Date);
  View.Messages.clear();
  Controller->AddToLogByEnter(c.EnterIn);
  if (c.Date != nullptr) {
    if (c.Records == 0) {
      EXPECT_EQ(View.Focused, Ctl::QSODate);  // left for correction
    } else {
      EXPECT_EQ(LogRecords()[0].QSODate, c.Date);
    }
  }

  EXPECT_EQ(LogRecords().size(), c.Records);
  EXPECT_EQ(Text(Ctl::StatPanel).rfind(c.Status, 0), 0u) << Text(Ctl::StatPanel);
  EXPECT_EQ(View.MessageTexts(), *c.Warning ? std::vector<std::string>{c.Warning} : std::vector<std::string>{});
  if (c.How == Opening::WithLog) return;
  // Without a log nothing is written anywhere, and the call check and the
  // lookup still work.
  EXPECT_FALSE(FileExists("/V5LogDB.vlm"));
  EXPECT_EQ(ReadFile(Home + "V5LogDB.vlm"), templateBytes);
  EXPECT_EQ(Controller->LogData().RecordCount(), 0);
  View.C(Ctl::OnlineLookup).ItemIndex = lcRawLookup;
  Controller->State().Program.HCPW = "secret";
  Controller->SetFetch([](const std::string&, StringList& lines, std::string&) {
    lines.Add("\xBA" "Jones" "\xB5");
    return true;
  });
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::LName), "Jones");

  // Nor does an output write into the program folder, even when the table
  // it stands on holds a contact.
  DataSet& table = Controller->LogData();
  table.Append();
  table.FieldByName("Call")->SetAsString("K1XX");
  table.FieldByName("Freq")->SetAsString("14");
  table.Post();
  const auto before = std::distance(std::filesystem::directory_iterator(Home), {});
  for (OutputChoice choice : {OutputChoice::Print, OutputChoice::ExportToFile}) {
    View.Messages.clear();
    View.C(Ctl::OutFmtRadGrp).ItemIndex = static_cast<int32_t>(choice);
    Controller->OutFmtRadGrpClick();
    EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{kSelectLog});
    EXPECT_EQ(View.C(Ctl::OutFmtRadGrp).ItemIndex, -1);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Home), {}), before);
}

INSTANTIATE_TEST_SUITE_P(EntrySafety, SafetyTest, ::testing::ValuesIn(kCases));

TEST_P(WindowTest, LookupAgainstASilentServerEndsAtItsDeadline) {
  EXPECT_EQ(MainController::kLookupDeadlineMs, 10000);
  nettest::Peer silent([](int fd, int) { nettest::WaitForClose(fd); });
  Start({true, "Other", true});
  View.C(Ctl::OnlineLookup).ItemIndex = lcRawLookup;
  Controller->SetLookupHost("127.0.0.1:" + silent.Port());
  Controller->SetLookupDeadline(300);
  Set(Ctl::CallEntered, "K1XX");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::StatPanel), "Can not retrieve data! No answer within 300 ms");
}

}  // namespace
}  // namespace qv::app::wintest
