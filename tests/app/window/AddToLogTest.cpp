// Adding a contact: required fields, the stored record, serial numbers,
// scoring, the backup copy, and what a failed post leaves behind.
#include "WindowTestSupport.h"

#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"

namespace qv::app::wintest {
namespace {

class AddTest : public WindowTest {
protected:
  // An IBM contest log with a member's contact (DL1AA, 14 MHz CW) entered.
  void StartIbmLogWithAMemberContact() {
    Start({true, "IBM", true});
    Set(Ctl::CallEntered, "DL1AA");
    Set(Ctl::FreqEntered, "14");
    Set(Ctl::Mode, "CW");
    Set(Ctl::RSTNumRcvd, " 005");
    Set(Ctl::CountryFLD, "GERMANY");
    Set(Ctl::ContinentFLD, "EU");
    View.C(Ctl::IBM).Checked = true;
  }

  // Every entry field with a text of its own.
  void FillEverything() {
    Set(Ctl::CallEntered, "W\xD8" "ABC");
    Set(Ctl::FreqEntered, "14.025");
    Set(Ctl::Mode, "CW");
    Set(Ctl::TimeST, "1230");
    Set(Ctl::RSTSent, "579");
    Set(Ctl::RSTRcvd, "589");
    Set(Ctl::RSTNumRcvd, " 012");
    Set(Ctl::CountryFLD, "USA");
    Set(Ctl::ContinentFLD, "na");
    Set(Ctl::NameFld, "John");
    Set(Ctl::LName, "Smith");
    Set(Ctl::TimeEndFld, "1231");
    Set(Ctl::CityFld, "Austin");
    Set(Ctl::StateFLD, "tx");
    Set(Ctl::Notes, "first contact");
    const std::pair<Ctl, const char*> xtra[] = {
        {Ctl::County, "Travis"}, {Ctl::CQZ, "4"},        {Ctl::GridSq, "EM10"},   {Ctl::ITUZ, "7"},
        {Ctl::FISTS, "1234"},    {Ctl::IOTA, "NA-001"},  {Ctl::OOTC, "55"},       {Ctl::TenTen, "1010"},
        {Ctl::QCWA, "99"},       {Ctl::DXCC, "291"},     {Ctl::LicClass, "Extra"}, {Ctl::BMCode, "B1"},
        {Ctl::Street, "1 Main St"}, {Ctl::PrefCountry, "USA"}, {Ctl::PostalCode, "78701"}, {Ctl::Lat, "30.26"},
        {Ctl::Long, "-97.74"},   {Ctl::Email, "j@example.org"}, {Ctl::QSLMgr, "K5MGR"}, {Ctl::WebURL, "example.org"}};
    for (const auto& [c, t] : xtra) Set(c, t);
    View.C(Ctl::QSLSCkBox).Checked = true;
    View.C(Ctl::LOTWCkBox).Checked = true;
  }
};

TEST_P(AddTest, BlankRequiredFieldAppendsNothing) {
  Start({});
  FillEverything();
  Set(Ctl::FreqEntered, "");
  View.Focused = Ctl::TimeST;
  Controller->AddToLogButtonClick();
  EXPECT_EQ(Text(Ctl::StatPanel), "One or more required fields are blank!");
  EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 255u);
  EXPECT_EQ(View.C(Ctl::StatPanel).Color, 0xFFFFFFu);
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
  EXPECT_TRUE(LogRecords().empty());
  EXPECT_EQ(Text(Ctl::NameFld), "John");
}

TEST_P(AddTest, MemberOfTheIbmPartyNeedsSerialCountryAndContinent) {
  Start({true, "IBM", true});
  Set(Ctl::CallEntered, "K1XX");
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  View.C(Ctl::IBM).Checked = true;
  Controller->AddToLogButtonClick();
  EXPECT_EQ(Text(Ctl::StatPanel), "One or more required fields are blank!");
  EXPECT_TRUE(LogRecords().empty());

  View.C(Ctl::IBM).Checked = false;  // a non-member needs only call, date, mode, frequency
  Controller->AddToLogButtonClick();
  ASSERT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(LogRecords()[0].Points, "1");
}

TEST_P(AddTest, GoodAddStoresEveryFieldAndAdvancesTheSerial) {
  Start({});
  FillEverything();
  Controller->AddToLogButtonClick();

  const std::vector<QsoRecord> records = LogRecords();
  ASSERT_EQ(records.size(), 1u);
  QsoRecord expected;
  expected.QSODate = "2024-05-06";  // from the date field: no call check set the contact's date
  expected.TimeStart = "1230";
  expected.TimeEnd = "1231";
  expected.Call = "W\xD8" "ABC";
  expected.Freq = "14.025";
  expected.Mode = "CW";
  expected.RSTSent = "579";
  expected.NumSent = "1";
  expected.RSTRcvd = "589";
  expected.NumRcvd = " 012";
  expected.Country = "USA";
  expected.Continent = "NA";
  expected.Name = "John";
  expected.LastName = "Smith";
  expected.City = "Austin";
  expected.State = "TX";
  expected.Notes = "first contact";
  expected.COUNTY = "Travis";
  expected.CQZ = "4";
  expected.GRID = "EM10";
  expected.ITUZ = "7";
  expected.FISTS = "1234";
  expected.IOTA = "NA-001";
  expected.OOTC = "55";
  expected.TENTEN = "1010";
  expected.QCWA = "99";
  expected.DXCC = "291";
  expected.CLASSLIC = "Extra";
  expected.BMCODE = "B1";
  expected.STREET = "1 Main St";
  expected.PREFIXCOUNTRY = "USA";
  expected.POSTCODE = "78701";
  expected.LAT = "30.26";
  expected.LONG = "-97.74";
  expected.EMAIL = "j@example.org";
  expected.QSLMGR = "K5MGR";
  expected.URL = "example.org";
  expected.QSLS = true;
  expected.LOTWSent = true;
  EXPECT_EQ(records[0], expected);

  EXPECT_EQ(Text(Ctl::NumSent), "2");
  EXPECT_EQ(Controller->State().NextSerial, 2);
  EXPECT_EQ(Text(Ctl::Mode), "CW");
  EXPECT_EQ(Text(Ctl::FreqEntered), "14.025");
  EXPECT_EQ(Text(Ctl::CallEntered), "");
  EXPECT_EQ(Text(Ctl::LogNr), "1 Log Entries");
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
  EXPECT_FALSE(View.C(Ctl::QSLSCkBox).Checked);
  EXPECT_TRUE(View.C(Ctl::LOTWCkBox).Checked);
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), ReadFile(Home + "TEST/V5LogDB.vlm"));
  EXPECT_TRUE(Controller->LogData().Active());

  // The serial follows the last record, whatever text it holds.
  Set(Ctl::CallEntered, "K2YY");
  Set(Ctl::NumSent, " 041");
  Controller->AddToLogButtonClick();
  EXPECT_EQ(LogRecords()[1].NumSent, " 041");
  EXPECT_EQ(Text(Ctl::NumSent), "42");
}

TEST_P(AddTest, GeneralLogTakesTheEndTimeFromTheClock) {
  Start({false, "GP", true});
  Set(Ctl::CallEntered, "K1XX");
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "SSB");
  Controller->AddToLogButtonClick();
  ASSERT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(LogRecords()[0].TimeEnd, "1234");
  EXPECT_EQ(LogRecords()[0].Points, "");
}

TEST_P(AddTest, IbmContactScoresAndRaisesTheNotice) {
  StartIbmLogWithAMemberContact();
  Controller->AddToLogButtonClick();
  ASSERT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(LogRecords()[0].Points, "5");
  EXPECT_TRUE(LogRecords()[0].IBM);
  EXPECT_EQ(Text(Ctl::TlIBM), "1");
  EXPECT_EQ(Text(Ctl::TlPoints), "5");
  EXPECT_EQ(Text(Ctl::TlMult), "1");
  EXPECT_EQ(Text(Ctl::TlScore), "5");
  // The multiplier's first contact shows the serial as the entry field does.
  const BandTable& bands = Controller->State().Score.Bands();
  EXPECT_EQ(bands.Owner(BandTable::BandIndex("14"), 1), " 001 DL1AA");
  EXPECT_EQ(Text(Ctl::ViewMultBtn), "New Multiplier");
  EXPECT_EQ(View.C(Ctl::ViewMultBtn).FontColor, 65280u);
  EXPECT_TRUE(View.TimerOn[1]);
  EXPECT_EQ(View.TimerMs[1], 3000);
  Controller->Timer2Timer();
  EXPECT_EQ(Text(Ctl::ViewMultBtn), "View Multipliers");
  EXPECT_EQ(View.C(Ctl::ViewMultBtn).FontColor, 0xFF0000u);
  EXPECT_FALSE(View.TimerOn[1]);
}

TEST_P(AddTest, FailedPostLeavesNoTraceOfTheContact) {
  StartIbmLogWithAMemberContact();
  while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  const std::string backup = ReadFile(Home + "TEST/BakV5LogDB.vlm");
  DataSet& log = Controller->LogData();
  log.BeforePost = [](DataSet&) { throw Exception("disk full"); };
  Controller->AddToLogButtonClick();
  ASSERT_EQ(View.Messages.size(), 1u);
  EXPECT_EQ(View.Messages[0].Kind, "warning");
  EXPECT_EQ(View.Messages[0].Text,
            "The contact could not be written to the Log!\r\rdisk full\r\rThe entry is kept: add it again once the "
            "cause is removed.");
  EXPECT_EQ(log.State(), dsBrowse);
  EXPECT_TRUE(log.Active());
  EXPECT_EQ(log.RecordCount(), 0);
  EXPECT_EQ(Controller->State().Score.Totals().Multipliers, 0);
  EXPECT_EQ(Controller->State().Score.Totals().MemberCount, 0);
  EXPECT_EQ(Text(Ctl::TlMult), "0");
  EXPECT_EQ(Text(Ctl::ViewMultBtn), "View Multipliers");
  EXPECT_FALSE(View.TimerOn[1]);
  EXPECT_EQ(Text(Ctl::CallEntered), "DL1AA");  // the entry is kept for another try
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), backup);  // no backup step

  log.BeforePost = nullptr;
  Controller->AddToLogButtonClick();
  EXPECT_EQ(log.RecordCount(), 1);
  EXPECT_EQ(Text(Ctl::TlMult), "1");
}

TEST_P(AddTest, FailedBackupCopyIsShownAndTheContactStays) {
  Start({});
  std::filesystem::create_directory(Home + "TEST/BakV5LogDB.vlm");  // cannot be replaced by a file
  Set(Ctl::CallEntered, "K1XX");
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "CW");
  Controller->AddToLogButtonClick();
  EXPECT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(Text(Ctl::StatPanel), "Backup copy of the Log failed!");
  EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 255u);
  ASSERT_EQ(View.Messages.size(), 1u);
  EXPECT_TRUE(View.Messages[0].Text.starts_with(
      "The contact was logged, but its backup copy could not be brought up to date!\r\r"))
      << View.Messages[0].Text;
  // Tried again at each tick of the clock, silently, until it is the log.
  Controller->Timer1Timer();
  EXPECT_EQ(View.Messages.size(), 1u);
  std::filesystem::remove(Home + "TEST/BakV5LogDB.vlm");
  Controller->Timer1Timer();
  EXPECT_EQ(ReadFile(Home + "TEST/BakV5LogDB.vlm"), ReadFile(Home + "TEST/V5LogDB.vlm"));
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  EXPECT_EQ(View.Messages.size(), 1u);
}

TEST_P(AddTest, EmptyingTheLogRestartsTheSerial) {
  Start({true, "IBM", true});
  Set(Ctl::CallEntered, "K1XX");
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  Controller->AddToLogButtonClick();
  ASSERT_EQ(Text(Ctl::NumSent), "2");
  View.SettingsDialog = [this] { Controller->Module().EmptyLogRequested = true; };
  Set(Ctl::TimeST, "1200");
  Controller->FormKeyDown(HotKey::F2);
  EXPECT_EQ(View.SettingsDialogRuns, 1);
  EXPECT_EQ(Controller->LogData().RecordCount(), 0);
  EXPECT_TRUE(LogRecords().empty());  // the stored table, read anew
  EXPECT_EQ(Text(Ctl::LogNr), "0 Log Entries");
  EXPECT_EQ(Text(Ctl::NumSent), " 001");
  EXPECT_EQ(Controller->State().NextSerial, 1);
  EXPECT_EQ(Text(Ctl::TimeST), "");
  EXPECT_EQ(Text(Ctl::TLNonIBM), "");
  EXPECT_EQ(View.C(Ctl::TLNonIBM).Color, 0xFFFFFFu);
  EXPECT_EQ(View.Focused, Ctl::QSODate);
  EXPECT_FALSE(Controller->Module().EmptyLogRequested);
}

QV_ON_BOTH_TABLE_KINDS(AddTest);

}  // namespace
}  // namespace qv::app::wintest
