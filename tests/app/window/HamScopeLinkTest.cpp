// The link with the digital-mode program, end to end: the controller over
// the real conversation, talking to the test peer.
#include "WindowTestSupport.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "app/HamScopeDde.h"
#include "app/VedoruzEzuF.h"
#include "app/VedoruzEzuPrefsF.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"
#include "support/QtTestApp.h"
#include "tools/digipeer/FakeDigitalModeProgram.h"

namespace qv::app::wintest {
namespace {

QsoRecord Logged(const std::string& call, const std::string& freq) {
  QsoRecord q;
  q.QSODate = "2024-05-05";
  q.TimeStart = "1200";
  q.Call = call;
  q.Freq = freq;
  q.Mode = "CW";
  q.NumSent = "1";
  q.Name = "John";
  return q;
}

// Counts the frames the controller sends: where its next poke will stand in
// the program's transcript.
struct CountingLink : HamScopeLink {
  HamScopeLink* Inner = nullptr;
  size_t Frames = 0;
  bool SetLink(const std::string& service, const std::string& topic) override {
    const bool up = Inner->SetLink(service, topic);
    Frames += up ? 1 : 0;
    return up;
  }
  void StartAdvise(const std::string& item) override { ++Frames, Inner->StartAdvise(item); }
  void Poke(const std::string& item, const std::string& text) override { ++Frames, Inner->Poke(item, text); }
  void CloseLink() override { ++Frames, Inner->CloseLink(); }
};

class LinkTest : public WindowTest {
protected:
  void SetUp() override {
    test::QtTestApp();
    WindowTest::SetUp();
    ::setenv("QUORVEX_DDE_DIR", (Dir_ + "/dde").c_str(), 1);
    Peer = std::make_unique<test::FakeDigitalModeProgram>();
  }
  void TearDown() override {
    Link.reset();
    Peer.reset();
    ::unsetenv("QUORVEX_DDE_DIR");
    WindowTest::TearDown();
  }
  // Starts the window's logic with a conversation; connects when listen.
  void Open(const LogKind& kind, bool listen = true, bool firstTick = true) {
    Start(kind, firstTick);
    Link = std::make_unique<HamScopeConversation>(
        [this](const std::string& item, const std::string& text) {
          Received.push_back(item + "=" + text);
          Controller->LinkItemChange(item, text);
        },
        [this] { Controller->LinkClosed(); });
    Counter.Inner = Link.get();
    Controller->SetHamScopeLink(&Counter);
    if (!listen) return;
    if (!Listening) {
      Listening = Peer->Listen();
      ASSERT_TRUE(Listening);
    }
    Controller->ConnHSBtnClick();
    ASSERT_TRUE(Peer->WaitForTranscript(Counter.Frames));
  }
  void SpinUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      QThread::msleep(1);
    }
    ASSERT_TRUE(done());
  }
  // The program sets an item; returns when the controller has had it.
  void Send(const std::string& item, const std::string& text) {
    const size_t mark = Received.size();
    Peer->Set(item, text);
    SpinUntil([&] {
      for (size_t i = mark; i < Received.size(); ++i)
        if (Received[i] == item + "=" + text) return true;
      return false;
    });
  }
  // The frames the controller sent from mark on, as the program got them.
  std::vector<std::string> PokesSince(size_t mark) {
    EXPECT_TRUE(Peer->WaitForTranscript(Counter.Frames));
    const std::vector<std::string> t = Peer->Transcript();
    return {t.begin() + static_cast<std::ptrdiff_t>(mark), t.begin() + static_cast<std::ptrdiff_t>(Counter.Frames)};
  }

  std::unique_ptr<test::FakeDigitalModeProgram> Peer;
  bool Listening = false;
  std::unique_ptr<HamScopeConversation> Link;
  CountingLink Counter;
  std::vector<std::string> Received;
};

TEST_P(LinkTest, ConnectingAdvisesTheItemsAndPokesNameAndCall) {
  Set(Ctl::NameFld, "Ann");
  Set(Ctl::CallEntered, "W1ABC");
  Open({true, "Other", true});
  std::vector<std::string> expected = {"INIT - HamScope\tLogData"};
  for (const char* item : {"Mode", "Call_C", "Name_C", "Rst_rcv", "Rst_sent", "Seq_rcv", "City", "State", "Country",
                           "Continent", "Radio", "Log_It", "Clear", "Ext_macro", "Call", "Name"})
    expected.push_back(std::string("ADVISE ") + item);
  expected.push_back("POKE Name Ann");
  expected.push_back("POKE Call W1ABC");
  EXPECT_EQ(Peer->Transcript(), expected);
  EXPECT_EQ(Text(Ctl::ConnHSBtn), "Disc from HamScope");
  EXPECT_EQ(View.Focused, Ctl::Mode);
  Controller->FieldEnter(Ctl::RSTSent);  // no "599" while linked
  EXPECT_EQ(Text(Ctl::RSTSent), "");

  Set(Ctl::StatPanel, "note");
  Controller->ConnHSBtnClick();
  EXPECT_FALSE(Controller->Module().HamScopeLinked);
  EXPECT_EQ(Text(Ctl::ConnHSBtn), "Conn to HamScope");
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  EXPECT_EQ(PokesSince(19), std::vector<std::string>{"TERMINATE -"});
}

TEST_P(LinkTest, WithoutTheProgramOnlyAWarning) {
  Open({true, "Other", true}, false);
  View.Focused = Ctl::CallEntered;
  Controller->ConnHSBtnClick();
  EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{"You must start HamScope !"});
  EXPECT_FALSE(Controller->Module().HamScopeLinked);
  EXPECT_EQ(Text(Ctl::ConnHSBtn), "");
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
}

TEST_P(LinkTest, PokesOfTheCallCheckAndTheClear) {
  AddLogRecord(Logged("W1ABC", "14"));
  AddRow(MemberStorage(), {{"CALL", "K5AB"}, {"Country", "USA"}, {"Continent", "NA"}, {"Name", "Bo"}});
  Open({true, "Other", true});
  struct Case {
    std::string Call, Freq;
    std::vector<std::string> Pokes;
  };
  const Case cases[] = {
      {"W1ABC", "14", {"POKE Name Duplicate", "POKE Ext_macro 000"}},
      {"W1ABC", "7", {"POKE Name John", "POKE Ext_macro 2", "POKE Name John"}},  // recall, serial, recall
      {"K5AB", "7", {"POKE Ext_macro 2", "POKE Name Bo"}},                      // serial, member
      {"", "7", {"POKE Name", "POKE Call", "POKE Ext_macro 000"}},               // Clear Fields
  };
  for (const Case& c : cases) {
    const size_t mark = Counter.Frames;
    Set(Ctl::FreqEntered, c.Freq);
    Set(Ctl::Mode, "CW");
    if (c.Call.empty()) {
      Controller->ClearButtonClick();
    } else {
      Set(Ctl::CallEntered, c.Call);
      Leave(Ctl::CallEntered, Ctl::TimeST);
    }
    EXPECT_EQ(PokesSince(mark), c.Pokes) << c.Call << " " << c.Freq;
  }
}

TEST_P(LinkTest, ItemsFillTheFieldsAddAndClear) {
  AddLogRecord(Logged("W\xD8" "ABC", "14"));
  Open({true, "Other", true});
  struct Case {
    std::string Item, Text;
    Ctl Field;
    std::string Expect;
  };
  const Case cases[] = {
      {"Name_C", "Ann", Ctl::NameFld, "Ann"},     {"Rst_rcv", "579", Ctl::RSTRcvd, "579"},
      {"Rst_sent", "559", Ctl::RSTSent, "559"},   {"Seq_rcv", "012", Ctl::RSTNumRcvd, "012"},
      {"City", "Paris", Ctl::CityFld, "Paris"},   {"State", "TX", Ctl::StateFLD, "TX"},
      {"Country", "USA", Ctl::CountryFLD, "USA"}, {"Continent", "NA", Ctl::ContinentFLD, "NA"},
      {"Mode", "RTTY", Ctl::Mode, "RTTY"},        {"Mode", "", Ctl::Mode, "RTTY"},
      {"Name", "Bob", Ctl::NameFld, "Ann"},  // an item to the program only
  };
  for (const Case& c : cases) {
    Send(c.Item, c.Text);
    EXPECT_EQ(Text(c.Field), c.Expect) << c.Item << "=" << c.Text;
  }

  // A call: slashed zeros and capitals, then the call check.
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "CW");
  Send("Call_C", "w0abc");
  EXPECT_EQ(Text(Ctl::CallEntered), "W\xD8" "ABC");
  EXPECT_EQ(Text(Ctl::StatPanel), "Note below the previous Contact(s) with John, W\xD8" "ABC");
  Set(Ctl::FreqEntered, "14");
  Send("Call_C", "W0ABC");
  EXPECT_EQ(Text(Ctl::CallEntered), "");
  EXPECT_EQ(Text(Ctl::StatPanel).rfind("W\xD8" "ABC is a DUPLICATE on 14 MHz CW", 0), 0u);

  // Log_It and Clear answer "OFF"; other texts do nothing.
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::CallEntered, "K2XY");
  size_t mark = Counter.Frames;
  Send("Log_It", "on");
  Send("Clear", "OFF");
  EXPECT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(Text(Ctl::CallEntered), "K2XY");
  Send("Log_It", "ON");
  ASSERT_EQ(LogRecords().size(), 2u);
  EXPECT_EQ(LogRecords().back().Call, "K2XY");
  EXPECT_EQ(PokesSince(mark),
            (std::vector<std::string>{"POKE Name", "POKE Call", "POKE Ext_macro 000", "POKE Log_It OFF"}));
  Set(Ctl::CallEntered, "K3ZZ");
  mark = Counter.Frames;
  Send("Clear", "ON");
  EXPECT_EQ(PokesSince(mark),
            (std::vector<std::string>{"POKE Clear OFF", "POKE Name", "POKE Call", "POKE Ext_macro 000"}));
  EXPECT_EQ(Text(Ctl::CallEntered), "");
}

TEST(RadioBandText, FrequencyToBand) {
  const std::pair<const char*, const char*> cases[] = {
      {"7.040", "7"},       {"14.070", "14"},   {"3.573", "3.5"},   {"4.000", "3.5"},   {"1.840", "1.8"},
      {"2.000", "1.8"},     {"28.120", "28"},   {"29.600", "28"},   {"50.125", "50"},   {"52.000", "50"},
      {"55.000", "55"},     {"144.200", "144"}, {"146.520", "144"}, {"149.000", "149"}, {"220.000", "222"},
      {"226.000", "226"},   {"421.000", "432"}, {"432.100", "432"}, {"460.000", "460"}, {"5.357", "5.3"},
      {"10.120", "10"},     {"1296.000", "1296"}, {"7", "7"},       {"145", "14"},      {"", ""}};
  for (const auto& [received, band] : cases) EXPECT_EQ(RadioBandText(received), band) << received;
}

TEST_P(LinkTest, RadioSetsBandNotesAndStatusOfAContestLog) {
  for (bool contest : {true, false}) {
    Open({contest, contest ? "Other" : "GP", true});
    Set(Ctl::StatPanel, "note");
    Send("Radio", "146.520");
    EXPECT_EQ(Text(Ctl::FreqEntered), "144");
    EXPECT_EQ(Text(Ctl::Notes), "146.520");
    EXPECT_EQ(Text(Ctl::StatPanel), contest ? "146.520" : "note");
    Link.reset();
  }
}

TEST_P(LinkTest, TheProgramEndingTheLinkRestoresTheButton) {
  Open({true, "Other", true});
  Set(Ctl::StatPanel, "14.070");
  Peer->Drop();
  SpinUntil([&] { return !Controller->Module().HamScopeLinked; });
  EXPECT_EQ(Text(Ctl::ConnHSBtn), "Conn to HamScope");
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  Controller->LinkItemChange("Radio", "7.040");  // a late change: the link is down
  EXPECT_EQ(Text(Ctl::Notes), "");
}

// Sound behaviour where the program was left waiting: "OFF" even when the
// contact was not added (required field empty, a failing post).
TEST_P(LinkTest, LogItIsAnsweredWhenTheAddFails) {
  Open({true, "Other", true});
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "CW");
  size_t mark = Counter.Frames;
  Send("Log_It", "ON");
  EXPECT_EQ(Text(Ctl::StatPanel), "One or more required fields are blank!");
  EXPECT_EQ(PokesSince(mark), std::vector<std::string>{"POKE Log_It OFF"});

  // A frequency that is no number, which no exit check saw.
  Set(Ctl::CallEntered, "K2XY");
  Set(Ctl::FreqEntered, "14..5");
  mark = Counter.Frames;
  Send("Log_It", "ON");
  EXPECT_EQ(PokesSince(mark), std::vector<std::string>{"POKE Log_It OFF"});
  EXPECT_EQ(View.MessageTexts().back(), "Invalid FREQUENCY !\rEnter MHz as a number, for example 14.025");

  Controller->LogData().BeforePost = [](DataSet&) { throw Exception("disk full"); };
  Set(Ctl::FreqEntered, "7");
  mark = Counter.Frames;
  Send("Log_It", "ON");
  EXPECT_EQ(PokesSince(mark), std::vector<std::string>{"POKE Log_It OFF"});
  ASSERT_FALSE(View.Messages.empty());
  EXPECT_EQ(View.Messages.back().Kind, "warning");
  EXPECT_EQ(View.Messages.back().Text.rfind("The contact could not be written to the Log!\r\rdisk full", 0), 0u);
  EXPECT_TRUE(LogRecords().empty());
}

// Right after the start of a log that holds contacts, before the clock's
// first tick: the date and time are there, and a contact added through the
// button or through the link is logged.
TEST_P(LinkTest, ContactsAddedAtOnceAfterTheStartAreLogged) {
  AddLogRecord(Logged("K1AA", "14"));
  Open({true, "Other", true}, true, false);
  EXPECT_EQ(Text(Ctl::QSODate), "2024-05-06");
  EXPECT_EQ(Text(Ctl::ClockPanel), "1234");
  EXPECT_TRUE(Controller->Module().FirstTick);
  Set(Ctl::CallEntered, "K2BB");
  Controller->AddToLogButtonClick();
  Set(Ctl::CallEntered, "K3CC");
  Send("Log_It", "ON");
  const std::vector<QsoRecord> records = LogRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].Call, "K2BB");
  EXPECT_EQ(records[2].Call, "K3CC");
  EXPECT_EQ(records[2].QSODate, "2024-05-06");
  EXPECT_EQ(Text(Ctl::StatPanel), "");
}

// Changes that arrive while a dialog is open wait for it to close, and then
// run in their order (here: the settings dialog, opened by the fake view).
TEST_P(LinkTest, ChangesWaitForTheDialogAndKeepTheirOrder) {
  Open({true, "Other", true});
  std::vector<std::string> seen;
  View.OnSetText = [&](Ctl c, const std::string& text) {
    if (c == Ctl::RSTNumRcvd) seen.push_back(text);
  };
  constexpr int kUpdates = 1000;
  std::string frames;
  std::vector<std::string> expected;
  for (int i = 1; i <= kUpdates; ++i) {
    expected.push_back(std::to_string(i));
    frames += gui::EncodeDdeFrame("DATA", "Seq_rcv", expected.back());
  }
  View.SettingsDialog = [&] {
    Peer->SendRaw(frames);
    Send("Call_C", "K2XY");
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(Text(Ctl::CallEntered), "");
  };
  Controller->SettingsButtonClick();
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Text(Ctl::CallEntered), "K2XY");
}

TEST_P(LinkTest, TheWindowConnectsWithItsButton) {
  Configure({true, "Other", true});
  ASSERT_TRUE(Peer->Listen());
  TVedoruzEzu window(Factory(), *Store, Home);
  window.SetMessageHook([](const std::string&, const std::string&) { return true; });
  window.Start();
  auto* button = static_cast<QPushButton*>(window.Widget(Ctl::ConnHSBtn));
  ASSERT_TRUE(button->isEnabled());
  button->click();
  EXPECT_EQ(window.Text(Ctl::ConnHSBtn), "Disc from HamScope");
  ASSERT_TRUE(Peer->WaitForTranscript(19));  // advised before the program sets a call
  Peer->Set("Call_C", "K2XY");
  SpinUntil([&] { return window.Text(Ctl::CallEntered) == "K2XY"; });
  Peer->Drop();
  SpinUntil([&] { return window.Text(Ctl::ConnHSBtn) == "Conn to HamScope"; });
}

// The real settings dialog: a call the program sends while it is open is
// taken only when the operator has saved and closed it. Nothing runs the
// event loop between the dialog's end and the click's return, so the call
// shown then arrived while the dialog was open.
TEST_P(LinkTest, ACallSentDuringTheSettingsDialogWaitsForItToClose) {
  Configure({true, "Other", true});
  ASSERT_TRUE(Peer->Listen());
  TVedoruzEzu window(Factory(), *Store, Home);
  window.SetMessageHook([](const std::string&, const std::string&) { return true; });
  window.Start();
  static_cast<QPushButton*>(window.Widget(Ctl::ConnHSBtn))->click();
  ASSERT_TRUE(Peer->WaitForTranscript(19));
  bool dialogSeen = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = window.findChild<TVedoruzEzuPrefs*>();
    if (dialog == nullptr || !dialog->isVisible()) return;
    poll.stop();
    dialogSeen = true;
    Peer->Set("Call_C", "K2XY");
    test::Spin(100);
    EXPECT_EQ(window.Text(Ctl::CallEntered), "");
    static_cast<QAbstractButton*>(dialog->Widget(PCtl::SaveButton))->click();
    if (dialog->isVisible()) {
      ADD_FAILURE() << "the dialog refused to save: " << dialog->Text(PCtl::Stats);
      dialog->done(0);
    }
  });
  poll.start(10);
  static_cast<QPushButton*>(window.Widget(Ctl::SettingsButton))->click();
  EXPECT_TRUE(dialogSeen);
  EXPECT_EQ(window.Text(Ctl::CallEntered), "K2XY");
}

QV_ON_BOTH_TABLE_KINDS(LinkTest);

}  // namespace
}  // namespace qv::app::wintest
