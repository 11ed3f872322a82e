#include <sys/stat.h>

#include <functional>

#include "AppTestSupport.h"
#include "app/AppState.h"
#include "app/IniFile.h"
#include "platform/host/Exception.h"

namespace qv::app::test {
namespace {

struct FakeHooks : MainWindowHooks {
  int32_t DialogRuns = 0;
  std::function<void()> OnDialog;
  std::vector<std::string> Titles;
  std::vector<WindowPlacement> Applied;
  WindowPlacement Current{0, 10, 20, 800, 600};

  void RunSettingsDialog() override {
    ++DialogRuns;
    if (OnDialog) OnDialog();
  }
  void SetTitle(const std::string& title) override { Titles.push_back(title); }
  WindowPlacement CurrentPlacement() override { return Current; }
  void ApplyPlacement(const WindowPlacement& p) override { Applied.push_back(p); }
};

TEST(IniFileTest, ValuesRoundTripByteForByte) {
  IniFile ini;
  const std::string section = "Log Index\\MY [FIELD] DAY";
  ini.WriteString(section, "MyCall", "W1\xD8W/P");  // slashed zero, 1252 byte
  ini.WriteString(section, "MyName", "  padded  ");
  ini.WriteString(section, "HCPW", "a=b;c#d");
  ini.WriteString(section, "Empty", "");
  ini.WriteInteger("Settings", "Status", -4);
  ini.WriteBool("Settings", "ZSlashed", false);

  IniFile back;
  back.Parse(ini.Text());
  EXPECT_EQ(back.ReadString(section, "MyCall", "x"), "W1\xD8W/P");
  EXPECT_EQ(back.ReadString(section, "MyName", "x"), "  padded  ");
  EXPECT_EQ(back.ReadString(section, "HCPW", "x"), "a=b;c#d");
  EXPECT_EQ(back.ReadString(section, "Empty", "x"), "");
  EXPECT_EQ(back.ReadInteger("Settings", "Status", 0), -4);
  EXPECT_FALSE(back.ReadBool("Settings", "ZSlashed", true));
  // Sections and names are found regardless of case, as registry keys were.
  EXPECT_EQ(back.ReadString("log index\\my [field] day", "MYCALL", "x"), "W1\xD8W/P");
}

TEST(IniFileTest, ParsingToleratesHandEditsAndRefusesLineBreaks) {
  IniFile ini;
  ini.Parse("stray=line\r\n[Settings]\r\n Status = 4\r\nnonsense\r\nLogName=A\r\nLogName=B\r\n[MainForm]\nTop=x\n");
  EXPECT_FALSE(ini.ValueExists("", "stray"));
  EXPECT_EQ(ini.ReadInteger("Settings", "Status", 0), 4);
  EXPECT_EQ(ini.ReadString("Settings", "LogName", ""), "B");
  EXPECT_EQ(ini.ReadInteger("MainForm", "Top", 7), 7);  // not a number: the default
  EXPECT_THROW(ini.WriteString("Settings", "HCPW", "a\nb"), Exception);
  EXPECT_THROW(ini.WriteString("Log Index\\A\rB", "MyCall", "x"), Exception);
  EXPECT_TRUE(ini.DeleteValue("settings", "logname"));
  EXPECT_FALSE(ini.ValueExists("Settings", "LogName"));
}

class SettingsStoreTest : public ::testing::Test {
protected:
  TempDir Dir;
  SettingsStore Store{Dir / "cfg/Quorvex/QuorvexV5.ini"};
};

TEST_F(SettingsStoreTest, MissingFileGivesTheDefaults) {
  ProgramSettings current;
  current.LogName = "HELD";
  current.HCID = "ID";
  current.ZSlashed = false;
  ProgramSettings p = Store.ReadProgramSettings(current);
  EXPECT_EQ(p.Status, 0);
  EXPECT_TRUE(p.ZSlashed);
  EXPECT_EQ(p.LogName, "HELD");  // the value held before
  EXPECT_EQ(p.HCID, "ID");

  StationSettings held;
  held.MyCall = "K1ABC";
  held.TypeLog = true;
  held.TypeContest = "NAQP";
  held.AutoManTime = "True";
  StationSettings s = Store.ReadStationSettings("NOLOG", held);
  EXPECT_EQ(s.MyCall, "K1ABC");
  EXPECT_TRUE(s.TypeLog);
  EXPECT_EQ(s.TypeContest, "NAQP");
  EXPECT_EQ(s.AutoManTime, "");  // missing: manual time

  WindowPlacement w = Store.ReadWindowPlacement({0, 1, 2, 3, 4});
  EXPECT_EQ(w.Status, 0);
  EXPECT_EQ(w.Width, 3);
  EXPECT_FALSE(std::filesystem::exists(Store.Path()));  // reading creates nothing
}

TEST_F(SettingsStoreTest, EverySettingRoundTripsAndTheFileIsPrivate) {
  ProgramSettings p;
  p.LogName = "FIELD DAY 2024";  // blanks in a log name
  p.ZSlashed = false;
  p.HCID = "W1AW";
  p.HCPW = " s3cr=t ";
  Store.WriteProgramSettings(p);

  StationSettings s;
  s.MyCall = "W1AW";
  s.MyName = "Hiram";
  s.MyState = "CT";
  s.MyCountry = "USA";
  s.MyContinent = "NA";
  s.AutoManTime = "True";
  s.TypeLog = true;
  s.TypeContest = "WWDX";
  s.MyXmtrID = "1";
  s.MyZone = "05";
  Store.WriteStationSettings(p.LogName, s);
  Store.WriteStationSettings("OTHER", StationSettings{});

  ProgramSettings p2 = Store.ReadProgramSettings(ProgramSettings{});
  EXPECT_EQ(p2.Status, kStatusSaved);
  EXPECT_EQ(p2.LogName, "FIELD DAY 2024");
  EXPECT_FALSE(p2.ZSlashed);
  EXPECT_EQ(p2.HCID, "W1AW");
  EXPECT_EQ(p2.HCPW, " s3cr=t ");
  StationSettings s2 = Store.ReadStationSettings("FIELD DAY 2024", StationSettings{});
  EXPECT_EQ(s2.MyCall, s.MyCall);
  EXPECT_EQ(s2.MyName, s.MyName);
  EXPECT_EQ(s2.MyState, s.MyState);
  EXPECT_EQ(s2.MyCountry, s.MyCountry);
  EXPECT_EQ(s2.MyContinent, s.MyContinent);
  EXPECT_EQ(s2.AutoManTime, s.AutoManTime);
  EXPECT_EQ(s2.TypeLog, s.TypeLog);
  EXPECT_EQ(s2.TypeContest, s.TypeContest);
  EXPECT_EQ(s2.MyXmtrID, s.MyXmtrID);
  EXPECT_EQ(s2.MyZone, s.MyZone);
  EXPECT_EQ(Store.ReadStationSettings("OTHER", s).MyCall, "");  // sections stay apart

  struct stat st {};
  ASSERT_EQ(::stat(Store.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Written by rename: no temporary file is left beside it.
  EXPECT_EQ(FolderEntries(Dir / "cfg/Quorvex"), std::vector<std::string>{"QuorvexV5.ini"});
  // The stored text uses the registry's names.
  std::string text = ReadFile(Store.Path());
  EXPECT_NE(text.find("[Log Index\\FIELD DAY 2024]\nMyCall=W1AW\n"), std::string::npos);
  EXPECT_NE(text.find("ZSlashed=0\n"), std::string::npos);
}

TEST_F(SettingsStoreTest, DefaultPathFollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", Dir.Path().c_str(), 1);
  EXPECT_EQ(SettingsStore::DefaultPath(), Dir.Path() + "/Quorvex/QuorvexV5.ini");
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(SettingsStoreTest, WindowPlacementOnClose) {
  WindowPlacement g{0, 11, 22, 333, 444};
  Store.WriteWindowPlacement(WindowState::Normal, true, g);
  WindowPlacement r = Store.ReadWindowPlacement({});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Top, 11);
  EXPECT_EQ(r.Left, 22);
  EXPECT_EQ(r.Width, 333);
  EXPECT_EQ(r.Height, 444);

  WindowPlacement moved{0, 99, 99, 99, 99};
  Store.WriteWindowPlacement(WindowState::Minimized, true, moved);
  r = Store.ReadWindowPlacement({});
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Top, 11);  // a minimised window stores no position
  Store.WriteWindowPlacement(WindowState::Maximized, true, moved);
  EXPECT_EQ(Store.ReadWindowPlacement({}).Status, 3);
  Store.WriteWindowPlacement(WindowState::Maximized, false, moved);  // not the active window
  EXPECT_EQ(Store.ReadWindowPlacement({}).Status, 2);
}

class LoadSettingsTest : public ::testing::Test {
protected:
  LoadSettingsTest() {
    State.ExeDir = Dir.Path() + "/";
    State.ProgramVersion = "5.0.0.0";
  }
  void MakeLog(const std::string& name) {
    std::filesystem::create_directories(Dir / name);
    WriteFile(Dir / (name + "/V5LogDB.vlm"), "template");
  }
  void Load() { LoadSettings(State, Store, Log.Table(), Ui, Hooks); }

  TempDir Dir;
  SettingsStore Store{Dir / "cfg/QuorvexV5.ini"};
  AppState State;
  MemLog Log;
  FakeUi Ui;
  FakeHooks Hooks;
};

TEST_F(LoadSettingsTest, FirstRunOpensTheDialogThenRemindsOnce) {
  Load();
  EXPECT_EQ(Hooks.DialogRuns, 1);
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Kind, 'W');
  EXPECT_EQ(Ui.Messages[0].Text, "Quorvex\rClick on Settings to\rre-validate all fields and settings for each Log");
  EXPECT_FALSE(State.AutoTime);
  EXPECT_TRUE(Hooks.Applied.empty());  // no placement stored yet
  // Until the dialog has saved, every activation opens it again; the
  // reminder is shown once per run.
  Load();
  EXPECT_EQ(Hooks.DialogRuns, 2);
  EXPECT_EQ(Ui.Messages.size(), 1u);
}

TEST_F(LoadSettingsTest, AMissingLogIsReportedAndForgotten) {
  ProgramSettings p;
  p.LogName = "GONE";
  Store.WriteProgramSettings(p);
  State.Station.MyCall = "W1AW";
  Load();
  ASSERT_FALSE(Ui.Messages.empty());
  EXPECT_EQ(Ui.Messages[0].Text, "Quorvex Log " + Dir.Path() + "/GONE is missing.\r\rSelect another Log or Create a new Log");
  EXPECT_EQ(Hooks.DialogRuns, 1);
  EXPECT_EQ(Store.ReadInteger(kSettingsSection, "Status", 0), kStatusLogMissing);
  EXPECT_FALSE(Store.Load().ValueExists(kSettingsSection, "LogName"));
  // A log folder without its database file counts as missing too.
  std::filesystem::create_directories(Dir / "EMPTY");
  p.LogName = "EMPTY";
  Store.WriteProgramSettings(p);
  Load();
  EXPECT_EQ(Hooks.DialogRuns, 2);
}

TEST_F(LoadSettingsTest, AStoredLogLoadsItsStationAndWindow) {
  MakeLog("CONTEST 1");
  ProgramSettings p;
  p.LogName = "CONTEST 1";
  p.HCID = "ME";
  Store.WriteProgramSettings(p);
  StationSettings s;
  s.MyCall = "W1AW";
  s.MyContinent = "NA";
  s.AutoManTime = "True";
  s.TypeLog = true;
  s.TypeContest = "IBM";
  Store.WriteStationSettings("CONTEST 1", s);
  Store.WriteWindowPlacement(WindowState::Maximized, true, {});

  Load();
  EXPECT_EQ(Hooks.DialogRuns, 0);
  EXPECT_TRUE(Ui.Messages.empty());
  EXPECT_EQ(State.LogDir, Dir.Path() + "/CONTEST 1");
  EXPECT_EQ(State.Program.HCID, "ME");
  EXPECT_EQ(State.Station.MyCall, "W1AW");
  EXPECT_TRUE(IsIbmContest(State));
  EXPECT_TRUE(State.AutoTime);
  ASSERT_FALSE(Hooks.Titles.empty());
  EXPECT_EQ(Hooks.Titles.back(), "Quorvex - v5.0.0.0 W1AW  CONTEST 1");
  ASSERT_EQ(Hooks.Applied.size(), 1u);
  EXPECT_EQ(Hooks.Applied[0].Status, 3);
  EXPECT_EQ(Hooks.Applied[0].Width, 800);  // not stored: the current size

  // Any text but "True" means manual time.
  s.AutoManTime = "true";
  Store.WriteStationSettings("CONTEST 1", s);
  Load();
  EXPECT_FALSE(State.AutoTime);
}

}  // namespace
}  // namespace qv::app::test
