// Key filters and the field checks of the QSO entry fields.
#include "WindowTestSupport.h"

#include "app/QsoEntry.h"

namespace qv::app::wintest {
namespace {

struct KeyCase {
  Ctl Field;
  char Key;
  bool ZSlashed;
  bool Wwdx;
  int32_t Caret;
  char Expected;  // 0: refused
};

TEST(KeyFilter, AcceptsAndTransformsKeysPerField) {
  const char slashed = static_cast<char>(0xD8);
  const KeyCase cases[] = {
      {Ctl::CallEntered, 'w', true, false, 0, 'W'},      {Ctl::CallEntered, '0', true, false, 3, slashed},
      {Ctl::CallEntered, '0', false, false, 3, '0'},     {Ctl::CallEntered, '/', true, false, 3, '/'},
      {Ctl::CallEntered, '-', true, false, 3, 0},        {Ctl::CallEntered, ' ', true, false, 3, 0},
      {Ctl::CallEntered, '\b', true, false, 3, '\b'},    {Ctl::FreqEntered, '.', true, false, 1, '.'},
      {Ctl::FreqEntered, 'k', true, false, 1, 0},        {Ctl::TimeST, '7', true, false, 1, '7'},
      {Ctl::TimeST, ':', true, false, 1, 0},             {Ctl::TimeEndFld, 'a', true, false, 0, 0},
      {Ctl::RSTNumRcvd, '9', true, false, 0, '9'},       {Ctl::QSODate, '.', true, false, 0, '.'},
      {Ctl::QSODate, '/', true, false, 0, '/'},          {Ctl::QSODate, '-', true, false, 4, '-'},
      {Ctl::QSODate, 'x', true, false, 0, 0},            {Ctl::RSTSent, '0', true, false, 1, 0},
      {Ctl::RSTSent, '5', true, false, 1, '5'},          {Ctl::RSTSent, '0', true, true, 3, '0'},
      {Ctl::RSTRcvd, '0', true, true, 3, '0'},           {Ctl::StateFLD, 't', true, false, 0, 't'},
      {Ctl::StateFLD, '1', true, false, 0, 0},           {Ctl::ContinentFLD, 'E', true, false, 0, 'E'},
      {Ctl::NameFld, 'j', true, false, 0, 'J'},          {Ctl::NameFld, 'o', true, false, 1, 'o'},
      {Ctl::CityFld, static_cast<char>(0xE9), true, false, 0, static_cast<char>(0xC9)},
      {Ctl::LName, '-', true, false, 0, '-'},            {Ctl::GridSq, 'f', true, false, 2, 'F'},
      {Ctl::Notes, '%', true, false, 0, '%'},            {Ctl::Email, 'a', true, false, 0, 'a'},
  };
  for (const KeyCase& k : cases) {
    KeyContext context;
    context.ZSlashed = k.ZSlashed;
    context.WwdxReports = k.Wwdx;
    context.CaretPos = k.Caret;
    EXPECT_EQ(FilterEntryKey(k.Field, k.Key, context), k.Expected)
        << CtlName(k.Field) << " key " << static_cast<int>(static_cast<uint8_t>(k.Key));
  }
}

TEST(KeyFilter, SerialFormatting) {
  std::string out;
  ASSERT_TRUE(FormatSerial("7", out));
  EXPECT_EQ(out, " 007");
  ASSERT_TRUE(FormatSerial("12345", out));
  EXPECT_EQ(out, "12345");
  EXPECT_FALSE(FormatSerial("", out));
  EXPECT_FALSE(FormatSerial("1a", out));
}

TEST_P(WindowTest, TypedCallShowsCapitalsAndTheSlashedZero) {
  Start({});
  Type(Ctl::CallEntered, "w0abc");
  EXPECT_EQ(Text(Ctl::CallEntered), "W\xD8" "ABC");
  Type(Ctl::CallEntered, "\b\b\b9");
  EXPECT_EQ(Text(Ctl::CallEntered), "W\xD8" "9");
  EXPECT_EQ(View.C(Ctl::CallEntered).MaxLength, 10);
}

TEST_P(WindowTest, TimesMustBeTimesOfTheDayEndTimeMayBeEmpty) {
  Start({});
  Leave(Ctl::TimeST, Ctl::RSTSent);
  EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{"Invalid TIME !"});
  EXPECT_EQ(View.Focused, Ctl::TimeST);
  EXPECT_EQ(Text(Ctl::RSTSent), "");  // the move was cancelled: RSTSent was not entered

  // Four digits, hours 00-23, minutes 00-59.
  const std::pair<const char*, bool> times[] = {{"123", false},  {"2599", false}, {"2400", false}, {"1260", false},
                                                {"12a4", false}, {"0000", true},  {"2359", true},  {"1234", true}};
  for (auto [time, good] : times) {
    for (Ctl field : {Ctl::TimeST, Ctl::TimeEndFld}) {
      View.Messages.clear();
      Set(field, time);
      Leave(field, Ctl::NameFld);
      EXPECT_EQ(View.MessageTexts(), good ? std::vector<std::string>{} : std::vector<std::string>{"Invalid TIME !"})
          << CtlName(field) << " " << time;
      EXPECT_EQ(View.Focused, good ? Ctl::NameFld : field) << CtlName(field) << " " << time;
    }
  }
  View.Messages.clear();
  Set(Ctl::TimeEndFld, "");
  Leave(Ctl::TimeEndFld, Ctl::Notes);
  EXPECT_TRUE(View.Messages.empty());
  Leave(Ctl::TimeST, Ctl::RSTSent);
  EXPECT_EQ(Text(Ctl::RSTSent), "599");  // entering the report pre-fills it
  EXPECT_TRUE(IsTimeText("1234"));
}

TEST_P(WindowTest, ReportsAndSerialsAreFilledAndFormatted) {
  Start({});
  Set(Ctl::Mode, "SSB");
  Leave(Ctl::Mode, Ctl::RSTSent);
  EXPECT_EQ(Text(Ctl::RSTSent), "59");
  EXPECT_EQ(Text(Ctl::RSTRcvd), "");
  MoveTo(Ctl::RSTRcvd);
  EXPECT_EQ(Text(Ctl::RSTRcvd), "59");  // follows the last mode left

  const std::pair<std::string, std::string> serials[] = {{"7", " 007"}, {"0", "0"}, {"12345", "12345"}, {"", ""}};
  for (const auto& [typed, shown] : serials) {
    Set(Ctl::RSTNumRcvd, typed);
    Leave(Ctl::RSTNumRcvd, Ctl::NameFld);
    EXPECT_EQ(Text(Ctl::RSTNumRcvd), shown) << typed;
  }
  Set(Ctl::NumSent, "1");
  Leave(Ctl::NumSent, Ctl::NameFld);
  EXPECT_EQ(Text(Ctl::NumSent), " 001");
}

TEST_P(WindowTest, ModeMayNotBeLeftEmptyAndIsUpperCased) {
  Start({});
  Set(Ctl::Mode, "");
  Leave(Ctl::Mode, Ctl::CallEntered);
  EXPECT_EQ(View.Focused, Ctl::Mode);
  Set(Ctl::Mode, "rtty");
  Leave(Ctl::Mode, Ctl::CallEntered);
  EXPECT_EQ(Text(Ctl::Mode), "RTTY");
  EXPECT_EQ(Controller->State().LastMode, "RTTY");
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
}

TEST_P(WindowTest, WwdxReportsNeedTheZone) {
  Start({true, "WWDX", true});
  Set(Ctl::Mode, "CW");
  Leave(Ctl::Mode, Ctl::CallEntered);
  EXPECT_EQ(View.C(Ctl::RSTSent).Width, 50);
  EXPECT_EQ(View.C(Ctl::RSTSent).MaxLength, 5);
  EXPECT_EQ(Text(Ctl::RSTSentHdr), "RST Zone Sent");

  View.Focused = Ctl::CallEntered;
  MoveTo(Ctl::RSTSent);
  EXPECT_EQ(Text(Ctl::RSTSent), "59905");  // own zone appended
  Set(Ctl::RSTSent, "599");
  Leave(Ctl::RSTSent, Ctl::RSTRcvd);
  EXPECT_EQ(Text(Ctl::StatPanel), "RST + Zone required!");
  EXPECT_EQ(View.C(Ctl::StatPanel).FontColor, 255u);
  EXPECT_EQ(View.C(Ctl::StatPanel).Color, 0xFFFFFFu);
  EXPECT_EQ(View.Focused, Ctl::RSTSent);
  Set(Ctl::RSTSent, "59905");
  Leave(Ctl::RSTSent, Ctl::RSTRcvd);
  EXPECT_EQ(Text(Ctl::StatPanel), "");

  Set(Ctl::Mode, "SSB");
  Controller->FieldChange(Ctl::Mode);
  EXPECT_EQ(View.C(Ctl::RSTRcvd).Width, 45);
  EXPECT_EQ(View.C(Ctl::RSTRcvd).MaxLength, 4);
  EXPECT_EQ(Text(Ctl::RSTRcvdHdr), "RS Zone Rcvd");
  Set(Ctl::RSTRcvd, "59");
  Leave(Ctl::RSTRcvd, Ctl::NameFld);
  EXPECT_EQ(Text(Ctl::StatPanel), "RS + Zone required!");
}

// The state table gives every state its country and continent, in every
// kind of log (a Canadian province is CANADA, not USA).
TEST_P(WindowTest, StateFillsCountryAndContinentFromTheStateTable) {
  AddRow(StateStorage(), {{"State", "TX"}, {"USCountry", "USA"}, {"Continent", "NA"}});
  AddRow(StateStorage(), {{"State", "HI"}, {"USCountry", "HAWAII"}, {"Continent", "OC"}});
  AddRow(StateStorage(), {{"State", "ON"}, {"USCountry", "CANADA"}, {"Continent", "NA"}});
  struct Case {
    const char* Typed;
    const char* State;
    const char* Country;
    const char* Continent;
  };
  const Case cases[] = {{"tx", "TX", "USA", "NA"}, {"hi", "HI", "HAWAII", "OC"}, {"on", "ON", "CANADA", "NA"},
                        {"BC", "BC", "", ""}};  // a state the table lacks fills nothing
  for (const LogKind& kind : {LogKind{false, "GP", true}, LogKind{true, "NAQP", true}, LogKind{true, "IBM", true}}) {
    Controller.reset();
    View = FakeMainView();
    Start(kind);
    EXPECT_EQ(View.C(Ctl::StateFLD).Items, (std::vector<std::string>{"TX", "HI", "ON"}));
    for (const Case& c : cases) {
      Set(Ctl::CountryFLD, "");
      Set(Ctl::ContinentFLD, "");
      Set(Ctl::StateFLD, c.Typed);
      Leave(Ctl::StateFLD, Ctl::CountryFLD);
      EXPECT_EQ(Text(Ctl::StateFLD), c.State) << kind.TypeContest;
      EXPECT_EQ(Text(Ctl::CountryFLD), c.Country) << kind.TypeContest << " " << c.State;
      EXPECT_EQ(Text(Ctl::ContinentFLD), c.Continent) << kind.TypeContest << " " << c.State;
    }
    // Only an empty country and continent are filled.
    Set(Ctl::CountryFLD, "HAWAII");
    Set(Ctl::StateFLD, "tx");
    Leave(Ctl::StateFLD, Ctl::CountryFLD);
    EXPECT_EQ(Text(Ctl::CountryFLD), "HAWAII");
  }
}

TEST_P(WindowTest, ContinentAndIbmBandAreChecked) {
  Start({true, "IBM", true});
  Set(Ctl::ContinentFLD, "eu");
  Leave(Ctl::ContinentFLD, Ctl::NameFld);
  EXPECT_EQ(Text(Ctl::ContinentFLD), "EU");
  EXPECT_EQ(View.Focused, Ctl::NameFld);
  Set(Ctl::ContinentFLD, "XX");
  Leave(Ctl::ContinentFLD, Ctl::NameFld);
  EXPECT_EQ(View.Focused, Ctl::ContinentFLD);
  EXPECT_TRUE(View.Messages.empty());

  Set(Ctl::FreqEntered, "14.2");
  Leave(Ctl::FreqEntered, Ctl::Mode);
  EXPECT_EQ(View.Focused, Ctl::FreqEntered);
  EXPECT_EQ(Controller->Module().LastFreq, "14.2");
  Set(Ctl::FreqEntered, "14");
  Leave(Ctl::FreqEntered, Ctl::Mode);
  EXPECT_EQ(View.Focused, Ctl::Mode);
  EXPECT_EQ(View.C(Ctl::FreqEntered).Items.front(), "1240");
  EXPECT_EQ(View.C(Ctl::FreqEntered).Items.back(), "1.8");
}

TEST_P(WindowTest, MemberBoxFollowsTheCallAndF11) {
  Start({true, "IBM", true});
  View.C(Ctl::IBM).Checked = true;
  Controller->IBMClick();
  EXPECT_FALSE(View.C(Ctl::IBM).Checked);  // no call: unchecked again

  Set(Ctl::CallEntered, "K1XX");
  Controller->FormKeyDown(HotKey::F11);
  EXPECT_TRUE(View.C(Ctl::IBM).Checked);
  EXPECT_EQ(View.C(Ctl::IBM).FontColor, 0xFF0000u);
  Controller->FormKeyDown(HotKey::F11);
  EXPECT_FALSE(View.C(Ctl::IBM).Checked);
  EXPECT_EQ(View.C(Ctl::IBM).FontColor, 0u);
}

TEST_P(WindowTest, ClearFieldsKeepsWhatCarriesOver) {
  Start({});
  for (Ctl c : {Ctl::CallEntered, Ctl::TimeST, Ctl::RSTSent, Ctl::RSTRcvd, Ctl::NameFld, Ctl::Notes, Ctl::Street,
                Ctl::Email, Ctl::QSODate, Ctl::FreqEntered, Ctl::Mode, Ctl::NumSent})
    Set(c, "x1");
  View.C(Ctl::QSLSCkBox).Checked = true;
  View.C(Ctl::EQSLCkBox).Checked = true;
  View.C(Ctl::IBM).Checked = true;
  Set(Ctl::StatPanel, "old note");
  Controller->FormKeyDown(HotKey::F8);
  for (Ctl c : {Ctl::CallEntered, Ctl::TimeST, Ctl::RSTSent, Ctl::RSTRcvd, Ctl::NameFld, Ctl::Notes, Ctl::Street,
                Ctl::Email, Ctl::StatPanel})
    EXPECT_EQ(Text(c), "") << CtlName(c);
  for (Ctl c : {Ctl::QSODate, Ctl::FreqEntered, Ctl::Mode, Ctl::NumSent}) EXPECT_EQ(Text(c), "x1") << CtlName(c);
  EXPECT_FALSE(View.C(Ctl::QSLSCkBox).Checked);
  EXPECT_TRUE(View.C(Ctl::EQSLCkBox).Checked);
  EXPECT_FALSE(View.C(Ctl::IBM).Checked);
  EXPECT_EQ(View.Focused, Ctl::CallEntered);
  EXPECT_EQ(Text(Ctl::LogNr), "0 Log Entries");
}

}  // namespace
}  // namespace qv::app::wintest
