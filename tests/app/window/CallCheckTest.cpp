// The call check: duplicate test, recall, member look-up, focus and time.
#include "WindowTestSupport.h"

namespace qv::app::wintest {
namespace {

QsoRecord Contact(const std::string& call, const std::string& freq, const std::string& mode) {
  QsoRecord q;
  q.QSODate = "2024-05-05";
  q.TimeStart = "1200";
  q.Call = call;
  q.Freq = freq;
  q.Mode = mode;
  q.NumSent = "1";
  q.Name = "John";
  q.LastName = "Smith";
  q.City = "Austin";
  q.State = "TX";
  q.Country = "USA";
  q.Continent = "NA";
  q.GRID = "EM10";
  q.EMAIL = "john@example.org";
  return q;
}

TEST_P(WindowTest, ContestLogReportsTheExactDuplicate) {
  AddLogRecord(Contact("W1ABC", "14", "CW"));
  Start({true, "Other", true});
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  Set(Ctl::CallEntered, "W1ABC");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::StatPanel), "W1ABC is a DUPLICATE on 14 MHz CW, @ 1200 UTC 2024-05-05");
  EXPECT_EQ(View.C(Ctl::StatPanel).Color, 0x808000u);
  EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 65535u);
  EXPECT_EQ(Text(Ctl::CallEntered), "");
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
  EXPECT_EQ(Text(Ctl::NameFld), "");  // nothing recalled for a refused call
}

TEST_P(WindowTest, SameStationOnAnotherBandIsRecalled) {
  AddLogRecord(Contact("W1ABC", "14", "CW"));
  Start({true, "Other", true});
  Set(Ctl::FreqEntered, "7");
  Set(Ctl::Mode, "CW");
  Set(Ctl::CallEntered, "W1ABC");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::StatPanel), "Note below the previous Contact(s) with John, W1ABC");
  EXPECT_EQ(View.C(Ctl::StatPanel).Color, 0x808000u);
  EXPECT_EQ(Text(Ctl::CallEntered), "W1ABC");
  EXPECT_EQ(Text(Ctl::NameFld), "John");
  EXPECT_EQ(Text(Ctl::LName), "Smith");
  EXPECT_EQ(Text(Ctl::GridSq), "EM10");
  EXPECT_EQ(Text(Ctl::Email), "john@example.org");
  EXPECT_EQ(Text(Ctl::CountryFLD), "USA");
  // Automatic time: the start time from the clock, the date of the contact
  // from the date field, and on to the report.
  EXPECT_EQ(Text(Ctl::TimeST), "1234");
  EXPECT_EQ(Controller->Module().QsoDate, "2024-05-06");
  EXPECT_EQ(View.Focused, Ctl::RSTSent);
  EXPECT_EQ(Text(Ctl::RSTSent), "599");
}

TEST_P(WindowTest, GeneralLogNeverReportsDuplicates) {
  AddLogRecord(Contact("W1ABC", "14", "CW"));
  Start({false, "GP", false});
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  Set(Ctl::CallEntered, "W1ABC");
  Set(Ctl::Email, "kept@example.org");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::CallEntered), "W1ABC");
  EXPECT_EQ(Text(Ctl::StatPanel), "Note below the previous Contact(s) with John, W1ABC");
  EXPECT_EQ(Text(Ctl::Email), "kept@example.org");  // a typed address stays
  EXPECT_EQ(View.Focused, Ctl::TimeST);               // manual time: the operator types it
  EXPECT_EQ(Text(Ctl::TimeST), "");
}

TEST_P(WindowTest, SlashedZeroCallMatchesTheLogAsTypedAndMembersWithPlainZeros) {
  AddRow(MemberStorage(), {{"CALL", "W0XYZ"},
                           {"Country", "USA"},
                           {"Continent", "NA"},
                           {"Name", "Ann"},
                           {"City", "Boulder"},
                           {"State", "CO"},
                           {"Email", "ann@example.org"}});
  Start({true, "IBM", true});
  EXPECT_TRUE(Controller->MemberTableOpen());
  Set(Ctl::FreqEntered, "14");
  Set(Ctl::Mode, "CW");
  Set(Ctl::CallEntered, "W\xD8XYZ");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_TRUE(Controller->Module().MemberFound);
  EXPECT_EQ(Controller->Module().CurrentCall, "W0XYZ");
  EXPECT_TRUE(View.C(Ctl::IBM).Checked);
  EXPECT_EQ(View.C(Ctl::IBM).FontColor, 0xFF0000u);
  EXPECT_EQ(Text(Ctl::Notes), "IBM Ham");
  EXPECT_EQ(Text(Ctl::Email), "ann@example.org");
  EXPECT_EQ(Text(Ctl::StatPanel), "(14 MHz CW), IBM Station W\xD8XYZ - Ann, Boulder, CO, USA, NA");
  EXPECT_EQ(View.C(Ctl::StatPanel).Color, 0xFFFF00u);
  EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 0u);
  EXPECT_EQ(View.Focused, Ctl::RSTNumRcvd);

  // Logged, the same typed call is then a duplicate on the band and mode.
  Set(Ctl::RSTNumRcvd, " 001");
  Controller->AddToLogButtonClick();
  ASSERT_EQ(LogRecords().size(), 1u);
  Set(Ctl::CallEntered, "W\xD8XYZ");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::StatPanel).rfind("W\xD8XYZ is a DUPLICATE on 14 MHz CW, @ 1234 UTC 2024-05-06", 0), 0u);
}

TEST_P(WindowTest, MemberOutsideTheIbmPartyOnlyFillsFields) {
  AddRow(MemberStorage(), {{"CALL", "K5AB"}, {"Country", "USA - TEXAS"}, {"Continent", "NA"}, {"Name", "Bo"}});
  Start({true, "NAQP", true});
  Set(Ctl::CallEntered, "K5AB");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::Notes), "IBM Ham");
  EXPECT_EQ(Text(Ctl::CountryFLD), "USA");
  EXPECT_FALSE(View.C(Ctl::IBM).Checked);
  EXPECT_EQ(Text(Ctl::StatPanel), "");
  EXPECT_EQ(View.Focused, Ctl::NameFld);
}

TEST_P(WindowTest, MemberLookUpFollowsTheOpenTableNotTheFile) {
  AddRow(MemberStorage(), {{"CALL", "K5AB"}, {"Country", "USA"}, {"Continent", "NA"}, {"Name", "Bo"}});
  Start({true, "IBM", true});
  std::filesystem::remove(Home + "WWHAMDB.vlm");
  Set(Ctl::CallEntered, "K5AB");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_TRUE(Controller->Module().MemberFound);
  EXPECT_EQ(Text(Ctl::NameFld), "Bo");
}

TEST_P(WindowTest, UnknownStationInTheIbmPartyIsANonMember) {
  Start({true, "IBM", false});
  View.C(Ctl::IBM).Checked = true;
  Set(Ctl::CallEntered, "DL1AA");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_FALSE(View.C(Ctl::IBM).Checked);
  EXPECT_EQ(Text(Ctl::StatPanel), "DL1AA :  Non IBM ");
  EXPECT_EQ(View.C(Ctl::StatPanel).Color, 0xFFFFFFu);
  EXPECT_EQ(View.Focused, Ctl::TimeST);
}

TEST_P(WindowTest, EmptyCallDoesNothing) {
  Start({true, "Other", true});
  Set(Ctl::StatPanel, "note");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::StatPanel), "note");
  EXPECT_EQ(View.Focused, Ctl::TimeST);
}

TEST_P(WindowTest, CallsignPagesOpenWithPlainZeros) {
  Start({});
  View.C(Ctl::OnlineLookup).ItemIndex = 0;
  Set(Ctl::CallEntered, "W\xD8" "ABC");
  Leave(Ctl::CallEntered, Ctl::TimeST);
  View.C(Ctl::OnlineLookup).ItemIndex = 1;
  Leave(Ctl::CallEntered, Ctl::TimeST);
  View.C(Ctl::OnlineLookup).ItemIndex = 3;
  Leave(Ctl::CallEntered, Ctl::TimeST);
  EXPECT_EQ(View.Urls, (std::vector<std::string>{"http://www.hamqth.com/W0ABC", "http://www.qrz.com/db/W0ABC"}));
}

}  // namespace
}  // namespace qv::app::wintest
