#include "AppTestSupport.h"
#include "app/AppState.h"
#include "app/Exports.h"
#include "app/ReportContent.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"

namespace qv::app::test {
namespace {

struct FakePrinter : ReportPrinter {
  std::vector<ReportContent> Printed;
  void PrintReport(const ReportContent& r) override { Printed.push_back(r); }
};

class ExportTest : public ::testing::Test {
protected:
  void SetUpLog(const std::string& logName, bool typeLog, const std::string& code) {
    Ctx.ExeDir = Dir.Path() + "/";
    Ctx.LogName = logName;
    Ctx.Station.TypeLog = typeLog;
    Ctx.Station.TypeContest = code;
    Ctx.Kind = ContestKindOf(typeLog, code);
    Ctx.ProgramVersion = "5.0.0.0";
    std::filesystem::create_directories(Dir / logName);
  }
  std::string FileIn(const std::string& name) { return Dir / (Ctx.LogName + "/" + name); }
  std::string CreatedMessage(const std::string& name) {
    return "Export File:\r" + name + "\rhas been created in Folder: \r" + Dir.Path() + "/" + Ctx.LogName;
  }

  TempDir Dir;
  MemLog Log;
  FakeUi Ui;
  OutputContext Ctx;
};

// ---- CSV

class CsvExportTest : public ExportTest {
protected:
  CsvExportTest() {
    SetUpLog("IBM24", true, "IBM");
    Ctx.Station.MyCall = "K\xD8" "ABC/3";
    Ctx.Station.MyContinent = "NA";
    Ctx.Station.MyCountry = "USA";
    // One member (5 points) and three non-members: the last two are capped.
    Ctx.MemberCount = 1;
    Ctx.NonMemberCount = 3;
    Ctx.PointsText = "6";
    Ctx.MultText = "1";
    Ctx.ScoreText = "6";

    QsoRecord m = Contact("DL1\xD8" "A", "14", true, "GERMANY", "EU", "5");
    m.NumSent = " 001";
    m.NumRcvd = " 012";
    m.City = "Berlin, Mitte";
    m.Name = "Hans";
    Log.Add(m);
    for (int i = 2; i <= 4; ++i) {
      QsoRecord n = Contact("W" + std::to_string(i) + "XYZ", "7", false, "USA", "NA", "1");
      n.NumSent = i == 4 ? "" : std::to_string(i);  // an empty serial is "000", as in R_Nr
      n.NumRcvd = i == 2 ? "" : "12345";
      n.RSTSent = "599";
      n.RSTRcvd = "579";
      n.Mode = "SSB";
      Log.Add(n);
    }
  }
  static constexpr const char* kName = "K0ABC-3 IBM24 CS.CSV";
  const std::string kExpected =
      "CONTEST: IBM24\r\n"
      "CALLSIGN: K0ABC/3\r\n"
      "MY-CONTINENT: NA\r\n"
      "MY-COUNTRY: USA\r\n"
      "CATEGORY:\r\n"
      "IBM-CONTACTS: 1\r\n"
      "NON-IBM-CONTACTS: 3\r\n"
      "POINTS: 6\r\n"
      "MULTIPLIER: 1\r\n"
      "CLAIMED-SCORE: 6\r\n"
      "OPERATORS:\r\n"
      "CLUB:\r\n"
      "NAME: <== your name\r\n"
      "ADDRESS: <== your EMail or postal address\r\n"
      "SOAPBOX:\r\n"
      "CREATED-BY: Quorvex v5.0.0.0\r\n"
      "FORMAT: Sorted by Contact Sequence\r\n"
      "Date Time Call RstS S_Nr RstR R_Nr Freq Country Continent City State Name IBM RET Mode Points\r\n"
      "2024-03-09,1400,DL10A,,0001,,0012,14,GERMANY,EU,Berlin  Mitte,,Hans,IBM,,CW,5\r\n"
      "2024-03-09,1400,W2XYZ,599,0002,579,000,7,USA,NA,,,,,,SSB,1\r\n"
      "2024-03-09,1400,W3XYZ,599,0003,579,12345,7,USA,NA,,,,,,SSB,0\r\n"
      "2024-03-09,1400,W4XYZ,599,000,579,12345,7,USA,NA,,,,,,SSB,0\r\n";
};

TEST_F(CsvExportTest, WritesTheFileByteForByte) {
  ASSERT_TRUE(ExportCsv(Log.Table(), Ctx, Ui));
  EXPECT_EQ(ReadFile(FileIn(kName)), kExpected);
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Kind, 'I');
  EXPECT_EQ(Ui.Messages[0].Text, CreatedMessage(kName));
  // The member cap never touches the stored log.
  EXPECT_EQ(Log.AllPoints(), (std::vector<std::string>{"5", "1", "1", "1"}));
  EXPECT_EQ(FolderEntries(Dir / "IBM24"), std::vector<std::string>{kName});
}

TEST_F(CsvExportTest, NoCapWhileMembersAreNotOutnumbered) {
  Ctx.MemberCount = 3;
  ASSERT_TRUE(ExportCsv(Log.Table(), Ctx, Ui));
  std::string text = ReadFile(FileIn(kName));
  EXPECT_EQ(text.find(",SSB,0\r\n"), std::string::npos);
  // M = 0: every non-member contact is output with 0 points.
  Ctx.MemberCount = 0;
  ASSERT_TRUE(ExportCsv(Log.Table(), Ctx, Ui));
  text = ReadFile(FileIn(kName));
  EXPECT_EQ(text.find(",SSB,1\r\n"), std::string::npos);
  EXPECT_NE(text.find(",CW,5\r\n"), std::string::npos);
}

TEST_F(CsvExportTest, AnsweringNoKeepsTheOldFile) {
  const std::string old = "old content\r\n";
  WriteFile(FileIn(kName), old);
  Ui.Answers = {false};
  EXPECT_FALSE(ExportCsv(Log.Table(), Ctx, Ui));
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Kind, 'C');
  EXPECT_EQ(Ui.Messages[0].Text,
            "Export File:\rK0ABC-3 IBM24 CS.CSV already exists,\rDo you wish to overwrite it?");
  EXPECT_EQ(ReadFile(FileIn(kName)), old);

  Ui.Answers = {true};
  EXPECT_TRUE(ExportCsv(Log.Table(), Ctx, Ui));
  EXPECT_EQ(ReadFile(FileIn(kName)), kExpected);
}

TEST_F(CsvExportTest, AFailedExportLeavesFileAndLogAsTheyWere) {
  const std::string old = "earlier export\r\n";
  WriteFile(FileIn(kName), old);
  QsoRecord bad = Contact("W9BAD", "14", false, "USA", "NA", "1");
  bad.NumSent = "12a";
  Log.Add(bad);
  try {
    ExportCsv(Log.Table(), Ctx, Ui);
    FAIL() << "a serial that is no number must stop the export";
  } catch (const EConvertError& e) {
    // The message names the contact that holds the bad value.
    EXPECT_EQ(std::string(e.what()), "'12a' is not a valid integer value\rin the contact of 2024-03-09 1400 with W9BAD");
  }
  EXPECT_EQ(ReadFile(FileIn(kName)), old);
  EXPECT_EQ(FolderEntries(Dir / "IBM24"), std::vector<std::string>{kName});  // no temporary left
  EXPECT_EQ(Log.AllPoints(), (std::vector<std::string>{"5", "1", "1", "1", "1"}));
}

TEST_F(ExportTest, AnEmptyLogIsNotExported) {
  SetUpLog("EMPTY", true, "IBM");
  EXPECT_FALSE(ExportCsv(Log.Table(), Ctx, Ui));
  EXPECT_FALSE(ExportCabrillo(Log.Table(), Ctx, Ui));
  ASSERT_EQ(Ui.Messages.size(), 2u);
  EXPECT_EQ(Ui.Messages[0].Text, "Log is empty, Export aborted!");
  EXPECT_EQ(Ui.Messages[1].Kind, 'I');
  EXPECT_TRUE(FolderEntries(Dir / "EMPTY").empty());
}

// ---- Cabrillo

TEST(CabrilloFreqTest, SixCharacterFrequencyColumn) {
  struct Case {
    const char* Freq;
    const char* Column;
  } cases[] = {
      {"1.8", " 1800 "},  {"3.5", " 3500 "},  {"7", " 7000 "},    {"14", "14000 "},  {"28", "28000 "},
      {"50", " 50   "},   {"144", " 144  "},  {"222", " 222  "},  {"1240", " 1240 "}, {"10.1", "10100 "},
      {"5.3", " 5300 "},  {"14.025", "14025 "}, {"432", " 432  "}, {"4", " 4000 "},   {"49", "49000 "},
  };
  for (const Case& c : cases) EXPECT_EQ(CabrilloFreq(c.Freq), c.Column) << c.Freq;
  EXPECT_THROW(CabrilloFreq("abc"), EConvertError);
  EXPECT_THROW(CabrilloFreq(""), EConvertError);
}

TEST(PadRightTest, PadsButNeverCuts) {
  EXPECT_EQ(PadRight(4, "CT"), "CT  ");
  EXPECT_EQ(PadRight(4, ""), "    ");
  EXPECT_EQ(PadRight(4, "ABCDEF"), "ABCDEF");
  EXPECT_EQ(Serial4("7"), "0007");
  EXPECT_EQ(Serial4(" 001"), "0001");
  EXPECT_EQ(Serial4("12345"), "12345");
  EXPECT_EQ(Serial3("7"), " 007");
  EXPECT_EQ(Serial3("12345"), "12345");
}

TEST_F(ExportTest, CabrilloGeneralPurposeLog) {
  SetUpLog("GENERAL", false, "GP");
  Ctx.Station.MyCall = "W1AW/\xD8";
  Ctx.Station.MyName = "Hiram";
  Ctx.Station.MyState = "CT";
  QsoRecord q = Contact("K\xD8XX/M", "7", false);
  q.Mode = "SSB";
  q.RSTSent = "59";
  q.RSTRcvd = "57";
  q.Name = "Bob";
  q.City = "Boston";
  q.State = "MA";
  q.TimeEnd = "1405";
  q.Notes = "nice";
  Log.Add(q);
  q.Freq = "1.8";
  q.Mode = "RTTY";
  q.Notes = std::string(300, 'n');  // the line is cut at 255 bytes
  q.QSODate = "2024/03/09";         // stored in an older form: the format's date
  Log.Add(q);

  ASSERT_TRUE(ExportCabrillo(Log.Table(), Ctx, Ui));
  const std::string name = "W1AW-0 GENERAL CS.TXT";
  EXPECT_EQ(Ui.Messages.back().Text, CreatedMessage(name));
  const std::string second = "QSO:  1800 RY 2024-03-09 1400 W1AW/0        59   K0XX/M        57   Bob      Boston MA  1405 ";
  const std::string expected =
      "START-OF-LOG: 2.0\r\n"
      "CALLSIGN: W1AW/0        \r\n"
      "LOG-NAME: GENERAL\r\n"
      "CREATED-BY: Quorvex v5.0.0.0\r\n"
      "NAME: Hiram     <== your name\r\n"
      "ADDRESS: CT   <== your EMail or postal address\r\n"
      "SOAPBOX:\r\n"
      "QSO:  7000 PH 2024-03-09 1400 W1AW/0        59   K0XX/M        57   Bob      Boston MA  1405 nice\r\n" +
      second + std::string(255 - second.size(), 'n') + "\r\n" +
      "END-OF-LOG:\r\n";
  EXPECT_EQ(ReadFile(FileIn(name)), expected);
}

// An "Other" log keeps one line layout for all its contacts, chosen from
// what most of them carry: a WPX-style log with reports writes a missing
// report as blanks of its width, a Sprint-style log without reports writes
// every contact in the serial layout.
TEST_F(ExportTest, CabrilloOtherContestKeepsOneLayout) {
  struct Row {
    const char* RstSent;
    const char* RstRcvd;
    const char* NumSent;
    const char* NumRcvd;
    const char* Line;  // after "QSO: 21000 CW 2024-03-09 1400 "
  };
  struct OtherLog {
    const char* Name;
    std::vector<Row> Rows;
  };
  const OtherLog logs[] = {
      {"WPX",
       {{"599", "579", " 001", "23", "N5KO          599 0001   JA1ABC        579 0023   1"},
        {"599", "579", " 001", "", "N5KO          599 0001   JA1ABC        579 000    1"},  // "000", same width
        {"599", "", " 002", "7", "N5KO          599 0002   JA1ABC            0007   1"},    // report as blanks
        {"", "", "", "  ", "N5KO              000    JA1ABC            000    1"}}},
      {"SPRINT",
       {{"", "", " 001", "23", "N5KO       0001 Dan        TX  JA1ABC     0023 Taro           1"},
        {"", "", " 001", "", "N5KO       0001 Dan        TX  JA1ABC     000  Taro           1"},
        {"599", "579", "", "  ", "N5KO       000  Dan        TX  JA1ABC     000  Taro           1"}}},
  };
  for (const OtherLog& l : logs) {
    MemLog log;
    SetUpLog(l.Name, true, "Other");
    Ctx.Station.MyCall = "N5KO";
    Ctx.Station.MyName = "Dan";
    Ctx.Station.MyState = "TX";
    Ctx.Station.MyXmtrID = "1";
    std::string contacts;
    for (const Row& r : l.Rows) {
      QsoRecord q = Contact("JA1ABC", "21", false);
      q.RSTSent = r.RstSent;
      q.RSTRcvd = r.RstRcvd;
      q.NumSent = r.NumSent;
      q.NumRcvd = r.NumRcvd;
      q.Name = "Taro";
      log.Add(q);
      contacts += "QSO: 21000 CW 2024-03-09 1400 " + std::string(r.Line) + "\r\n";
    }
    ASSERT_TRUE(ExportCabrillo(log.Table(), Ctx, Ui)) << l.Name;
    const std::string expected = "START-OF-LOG: 2.0\r\n"
                                 "ARRL-SECTION:\r\n"
                                 "CALLSIGN: N5KO          \r\n"
                                 "CATEGORY:\r\n"
                                 "CATEGORY-OVERLAY:\r\n"
                                 "CLAIMED-SCORE:\r\n"
                                 "CLUB:\r\n"
                                 "CONTEST: " + std::string(l.Name) + "\r\n"
                                 "CREATED-BY: Quorvex v5.0.0.0\r\n"
                                 "NAME: Dan       <== your name\r\n"
                                 "ADDRESS: TX   <== your EMail or postal address\r\n"
                                 "OPERATORS: <== Callsign(s)\r\n"
                                 "SOAPBOX:\r\n" +
                                 contacts + "END-OF-LOG:\r\n";
    EXPECT_EQ(ReadFile(FileIn("N5KO " + std::string(l.Name) + " CS.TXT")), expected) << l.Name;
  }
}

TEST_F(ExportTest, CabrilloNaqp) {
  SetUpLog("NAQP24", true, "NAQP");
  Ctx.Station.MyCall = "N5KO";
  Ctx.Station.MyName = "Dan";
  Ctx.Station.MyState = "TX";
  QsoRecord q = Contact("K1ABC", "3.5", false);
  q.Name = "Bill";
  q.State = "MA";
  Log.Add(q);
  q.Mode = "SSB";  // the name and CONTEST line take the first record's mode
  Log.Add(q);

  ASSERT_TRUE(ExportCabrillo(Log.Table(), Ctx, Ui));
  const std::string expected =
      "START-OF-LOG: 2.0\r\n"
      "ARRL-SECTION:\r\n"
      "CALLSIGN: N5KO          \r\n"
      "CATEGORY:\r\n"
      "CATEGORY-OVERLAY:\r\n"
      "CLAIMED-SCORE:\r\n"
      "CLUB:\r\n"
      "CONTEST: NAQP CW\r\n"
      "CREATED-BY: Quorvex v5.0.0.0\r\n"
      "NAME: Dan       <== your name\r\n"
      "ADDRESS: TX   <== your EMail or postal address\r\n"
      "OPERATORS: <== Callsign(s)\r\n"
      "SOAPBOX:\r\n"
      "QSO:  3500 CW 2024-03-09 1400 N5KO            Dan        TX  K1ABC           Bill       MA  \r\n"
      "QSO:  3500 PH 2024-03-09 1400 N5KO            Dan        TX  K1ABC           Bill       MA  \r\n"
      "END-OF-LOG:\r\n";
  EXPECT_EQ(ReadFile(FileIn("N5KO NAQP-CW NAQP24 CS.TXT")), expected);
}

TEST_F(ExportTest, CabrilloWwdxSplitsReportAndZone) {
  SetUpLog("WWDX24", true, "WWDX");
  Ctx.Station.MyCall = "N5KO";
  Ctx.Station.MyXmtrID = "1";
  QsoRecord q = Contact("DL1ABC", "14", false);
  q.Mode = "SSB";
  q.RSTSent = "5904";
  q.RSTRcvd = "5914";
  Log.Add(q);
  q.Mode = "CW";
  q.Freq = "28";
  q.RSTSent = "59904";
  q.RSTRcvd = "57914";
  Log.Add(q);
  q.RSTSent = "5";  // too short for both: what there is
  Log.Add(q);

  ASSERT_TRUE(ExportCabrillo(Log.Table(), Ctx, Ui));
  std::string text = ReadFile(FileIn("N5KO WWDX24 CS.TXT"));
  EXPECT_NE(text.find("\r\nCONTEST: WWDX24\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nQSO: 14000 PH 2024-03-09 1400 N5KO          59  04     DL1ABC        59  14     1\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\nQSO: 28000 CW 2024-03-09 1400 N5KO          599 04     DL1ABC        579 14     1\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\nQSO: 28000 CW 2024-03-09 1400 N5KO          5   5      DL1ABC        579 14     1\r\n"),
            std::string::npos);
}

TEST_F(ExportTest, CabrilloWritesNoPartialFileOnABadFrequency) {
  SetUpLog("GENERAL", false, "GP");
  Ctx.Station.MyCall = "W1AW";
  Log.Add(Contact("K1A", "14", false));
  QsoRecord bad = Contact("K1B", "14..5", false);
  bad.TimeStart = "1401";
  Log.Add(bad);
  try {
    ExportCabrillo(Log.Table(), Ctx, Ui);
    ADD_FAILURE() << "a frequency that is no number must stop the export";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()),
              "'14..5' is not a valid floating point value\rin the contact of 2024-03-09 1401 with K1B");
  }
  EXPECT_TRUE(FolderEntries(Dir / "GENERAL").empty());
}

// The Cabrillo export beside an earlier file of the same name: "No" leaves
// the old file byte for byte, "Yes" replaces it, and an export that fails
// after "Yes" leaves the old file and no temporary behind.
TEST_F(ExportTest, CabrilloBesideAnEarlierFile) {
  SetUpLog("FD24", false, "GP");
  Ctx.Station.MyCall = "W1AW/\xD8";
  const std::string name = "W1AW-0 FD24 CS.TXT";
  // Bytes no export would write: a NUL, a lone CR, no final line end.
  const std::string old = std::string("earlier\0export\rkept", 19);
  WriteFile(FileIn(name), old);
  Log.Add(Contact("K1ABC", "14", false));

  Ui.Answers = {false};
  EXPECT_FALSE(ExportCabrillo(Log.Table(), Ctx, Ui));
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Kind, 'C');
  EXPECT_EQ(Ui.Messages[0].Text, "Export File:\r" + name + " already exists,\rDo you wish to overwrite it?");
  EXPECT_EQ(ReadFile(FileIn(name)), old);
  EXPECT_EQ(FolderEntries(Dir / "FD24"), std::vector<std::string>{name});

  Log.Add(Contact("K1B", "10.1", false));
  Log.Add(Contact("K1C", "ten", false));  // no number: the export stops here
  Ui.Answers = {true};
  EXPECT_THROW(ExportCabrillo(Log.Table(), Ctx, Ui), EConvertError);
  EXPECT_EQ(ReadFile(FileIn(name)), old);
  EXPECT_EQ(FolderEntries(Dir / "FD24"), std::vector<std::string>{name});  // no temporary left

  Log.Data().Last();
  Log.Data().Delete();
  Ui.Answers = {true};
  EXPECT_TRUE(ExportCabrillo(Log.Table(), Ctx, Ui));
  const std::string text = ReadFile(FileIn(name));
  EXPECT_EQ(text.rfind("START-OF-LOG: 2.0\r\n", 0), 0u);
  EXPECT_NE(text.find("\r\nQSO: 14000 CW 2024-03-09 1400 W1AW/0        "), std::string::npos);
  EXPECT_NE(text.find("\r\nQSO: 10100 CW 2024-03-09 1400 W1AW/0        "), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 13), "END-OF-LOG:\r\n");
}

// ---- printed report content

class ReportTest : public ExportTest {
protected:
  ReportContent Print() {
    Ctx.LocalNow = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 0, 0);
    FakePrinter printer;
    EXPECT_TRUE(PrintLog(Log.Table(), Ctx, Ui, printer));
    EXPECT_EQ(printer.Printed.size(), 1u);
    return printer.Printed.empty() ? ReportContent{} : printer.Printed[0];
  }
};

TEST_F(ReportTest, IbmQsoPartyReport) {
  SetUpLog("IBM24", true, "IBM");
  Ctx.Station.MyCall = "K1ABC";
  Ctx.Station.MyCountry = "USA";
  Ctx.Station.MyContinent = "NA";
  Ctx.MemberCount = 1;
  Ctx.NonMemberCount = 2;
  Ctx.PointsText = "6";
  Ctx.MultText = "1";
  Ctx.ScoreText = "6";
  QsoRecord m = Contact("DL1AA", "14", true, "GERMANY", "EU", "5");
  m.NumSent = "7";
  Log.Add(m);
  Log.Add(Contact("W1X", "14", false, "USA", "NA", "1"));
  Log.Add(Contact("W2X", "14", false, "USA", "NA", "1"));

  ReportContent r = Print();
  // The pattern's blanks around its quoted " at " both stay.
  EXPECT_EQ(r.Title.PrintDate, "Print Date: March 5, 2024  at  14:07 Local Time");
  EXPECT_EQ(r.Title.Version, "v5.0.0.0");
  EXPECT_TRUE(r.Title.ShowTotals);
  EXPECT_EQ(r.Title.IBM, "IBM Contacts: 1");
  EXPECT_EQ(r.Title.NonIBM, "Non-IBM Contacts: 2");
  EXPECT_EQ(r.Title.Points, "Points: 6");
  EXPECT_EQ(r.Title.Mult, "Multiplier: 1");
  EXPECT_EQ(r.Title.Score, "Score: 6");
  EXPECT_EQ(r.Header.HdrInfo, "IBM24");
  EXPECT_EQ(r.Header.HdrSort, "Sorted by Contact Sequence");
  EXPECT_EQ(r.Header.MyCountry, "My Country: USA");
  EXPECT_FALSE(r.Header.ShowXmtrZone);
  EXPECT_TRUE(r.Header.ShowSentRcvd);
  EXPECT_EQ(r.Header.PointsLab, "Points");
  EXPECT_EQ(r.Header.StatusLab, "Stat");
  EXPECT_TRUE(r.Layout.ShowSerials && r.Layout.ShowDashes && r.Layout.ShowPoints);
  ASSERT_EQ(r.Lines.size(), 3u);
  EXPECT_EQ(r.Lines[0].NumSent, " 007");
  EXPECT_EQ(r.Lines[0].NumRcvd, "___");
  EXPECT_EQ(r.Lines[0].MemberMark, "IBM");
  EXPECT_EQ(r.Lines[0].Points, "5");
  EXPECT_EQ(r.Lines[1].MemberMark, "");
  EXPECT_EQ(r.Lines[1].Points, "1");
  EXPECT_EQ(r.Lines[2].Points, "0");  // the cap, on paper only
  EXPECT_EQ(Log.AllPoints(), (std::vector<std::string>{"5", "1", "1"}));
}

TEST_F(ReportTest, LayoutByLogKind) {
  SetUpLog("ANY", false, "GP");
  Ctx.Station.MyXmtrID = "1";
  Ctx.Station.MyZone = "04";
  QsoRecord q = Contact("W1X", "14", false);
  q.RSTSent = "59";
  q.TimeEnd = "1405";
  q.Notes = "note";
  q.NumSent = "not a number";  // never read: a general log prints no serials
  Log.Add(q);

  ReportContent gp = Print();
  EXPECT_FALSE(gp.Title.ShowTotals);
  EXPECT_TRUE(gp.Header.ShowXmtrZone);
  EXPECT_EQ(gp.Header.Xmtr, "");
  EXPECT_FALSE(gp.Header.ShowSentRcvd);
  EXPECT_TRUE(gp.Header.ShowRstLabels);  // the two report columns have captions of their own
  EXPECT_EQ(gp.Header.RstSentLab, "RST S");
  EXPECT_EQ(gp.Header.RstRcvdLab, "RST R");
  EXPECT_EQ(gp.Header.PointsLab, "Notes");
  EXPECT_EQ(gp.Header.StatusLab, "ETime");
  EXPECT_EQ(gp.Header.StatusShift, 6);
  EXPECT_EQ(gp.Header.PointsShift, 28);
  EXPECT_FALSE(gp.Layout.ShowSerials);
  EXPECT_EQ(gp.Layout.NotesOffset, 49);
  EXPECT_EQ(gp.Lines[0].RSTSent, "59");
  EXPECT_EQ(gp.Lines[0].MemberMark, " 1405");
  EXPECT_EQ(gp.Lines[0].Notes, "note");

  Ctx.Station.TypeLog = true;
  Ctx.Kind = ContestKind::NAQP;
  ReportContent naqp = Print();
  EXPECT_FALSE(naqp.Layout.ShowReports);
  EXPECT_FALSE(naqp.Header.ShowSentRcvd);
  EXPECT_FALSE(naqp.Header.ShowRstLabels);
  EXPECT_FALSE(naqp.Header.ShowPointsStatus);
  EXPECT_EQ(naqp.Header.Xmtr, "Xmtr ID: 1");
  EXPECT_EQ(naqp.Header.Zone, "My Zone: 04");
  EXPECT_EQ(naqp.Lines[0].RSTSent, "");

  Ctx.Kind = ContestKind::WWDX;
  ReportContent wwdx = Print();
  EXPECT_TRUE(wwdx.Layout.ShowReports);
  EXPECT_EQ(wwdx.Layout.ReportWidth, 50);
  EXPECT_FALSE(wwdx.Layout.ShowSerials);
  EXPECT_TRUE(wwdx.Header.ShowSentRcvd);
  EXPECT_FALSE(wwdx.Header.ShowRstLabels);
}

TEST_F(ReportTest, AnEmptyLogIsNotPrinted) {
  SetUpLog("ANY", true, "IBM");
  FakePrinter printer;
  EXPECT_FALSE(PrintLog(Log.Table(), Ctx, Ui, printer));
  EXPECT_TRUE(printer.Printed.empty());
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Text, "Log is Empty, Print aborted!");
}

// ---- the output choice

TEST_F(ExportTest, OutputChoiceDispatchesByLogKind) {
  AppState state;
  state.ExeDir = Dir.Path() + "/";
  state.Program.LogName = "IBM24";
  state.Station.MyCall = "K1ABC";
  state.Station.TypeLog = true;
  state.Station.TypeContest = "IBM";
  state.NextSerial = 5;
  std::filesystem::create_directories(Dir / "IBM24");
  QsoRecord a = Contact("DL1AA", "14", true, "GERMANY", "EU", "5");
  a.NumSent = " 001";
  QsoRecord b = Contact("W1X", "7", false, "USA", "NA", "1");
  b.NumSent = " 002";
  Log.Add(a);
  Log.Add(b);
  state.Score.TallyLog(Log.Data());
  FakePrinter printer;

  RunOutput(OutputChoice::ExportToFile, state, Log.Table(), Ui, printer, 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "IBM24/K1ABC IBM24 CS.CSV"));
  EXPECT_EQ(state.NumSentText, " 005");
  EXPECT_EQ(state.LogNrText, "2 Log Entries");
  EXPECT_EQ(Log.Data().FieldByName("Call")->AsString(), "W1X");  // on the last record

  state.Station.TypeContest = "WWDX";
  RunOutput(OutputChoice::ExportToFile, state, Log.Table(), Ui, printer, 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "IBM24/K1ABC IBM24 CS.TXT"));

  RunOutput(OutputChoice::Print, state, Log.Table(), Ui, printer, 0);
  ASSERT_EQ(printer.Printed.size(), 1u);
  EXPECT_EQ(printer.Printed[0].Lines.size(), 2u);
}

}  // namespace
}  // namespace qv::app::test
