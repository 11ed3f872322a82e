#include <map>

#include "AppTestSupport.h"
#include "platform/dataset/Defs.h"

namespace qv::app::test {
namespace {

// The logs live in the user's data folder, never beside the executable:
// $QUORVEX_HOME, else <data home>/Quorvex, made and seeded from the
// delivered files; logs an earlier start made beside the executable are
// copied over once.
TEST(LogFilesTest, ProgramFolderIsTheUsersDataFolderSeededFromTheExecutablesFolder) {
  TempDir dir;
  std::filesystem::create_directories(dir / "exe");
  EXPECT_EQ(ResolveProgramFolder(dir / "home", dir / "exe", dir / "data"), dir / "home/");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "home"));
  // A writable executable folder is not used.
  EXPECT_EQ(ResolveProgramFolder("", dir / "exe", dir / "data0"), dir / "data0/Quorvex/");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data0/Quorvex"));

  WriteFile(dir / "exe/V5LogDB.vlm", "template");
  WriteFile(dir / "exe/USCountryDB.vlm", "states");
  WriteFile(dir / "exe/UserGuide.htm", "guide");
  WriteFile(dir / "exe/unrelated.txt", "x");
  std::filesystem::create_directories(dir / "data/Quorvex");
  WriteFile(dir / "data/Quorvex/USCountryDB.vlm", "kept");
  // Beside the executable: two logs of an earlier start, a build folder, and
  // a log whose name the data folder already has.
  for (const char* folder : {"FD24", "SPRINT", "CMakeFiles", "KEPT"}) std::filesystem::create_directories(dir / "exe/" + folder);
  WriteFile(dir / "exe/FD24/V5LogDB.vlm", "fd log");
  WriteFile(dir / "exe/FD24/BakV5LogDB.vlm", "fd backup");
  WriteFile(dir / "exe/FD24/W1AW FD24 CS.TXT", "fd export");
  WriteFile(dir / "exe/SPRINT/V5LogDB.vlm", "sprint log");
  WriteFile(dir / "exe/CMakeFiles/Makefile.cmake", "build");
  WriteFile(dir / "exe/KEPT/V5LogDB.vlm", "old kept");
  std::filesystem::create_directories(dir / "data/Quorvex/KEPT");
  WriteFile(dir / "data/Quorvex/KEPT/V5LogDB.vlm", "new kept");

  EXPECT_EQ(ResolveProgramFolder("", dir / "exe", dir / "data"), dir / "data/Quorvex/");
  const std::string home = dir / "data/Quorvex";
  EXPECT_EQ(ReadFile(home + "/V5LogDB.vlm"), "template");
  EXPECT_EQ(ReadFile(home + "/UserGuide.htm"), "guide");
  EXPECT_EQ(ReadFile(home + "/USCountryDB.vlm"), "kept");
  EXPECT_FALSE(std::filesystem::exists(home + "/unrelated.txt"));
  EXPECT_EQ(FolderEntries(home + "/FD24"), (std::vector<std::string>{"BakV5LogDB.vlm", "V5LogDB.vlm", "W1AW FD24 CS.TXT"}));
  EXPECT_EQ(ReadFile(home + "/FD24/BakV5LogDB.vlm"), "fd backup");
  EXPECT_EQ(ReadFile(home + "/SPRINT/V5LogDB.vlm"), "sprint log");
  EXPECT_EQ(ReadFile(home + "/KEPT/V5LogDB.vlm"), "new kept");
  EXPECT_FALSE(std::filesystem::exists(home + "/CMakeFiles"));
  EXPECT_EQ(ListLogFolders(home + "/"), (std::vector<std::string>{"FD24", "KEPT", "SPRINT"}));

  // Once only: a log removed later is not brought back.
  std::filesystem::remove_all(home + "/SPRINT");
  ResolveProgramFolder("", dir / "exe", dir / "data");
  EXPECT_FALSE(std::filesystem::exists(home + "/SPRINT"));
  // The executable's folder itself is left as it was.
  EXPECT_EQ(ReadFile(dir / "exe/FD24/V5LogDB.vlm"), "fd log");
}

// The log list offers folders that hold a log, nothing else of the program
// folder (build folders, export folders, hidden folders, plain files).
TEST(LogFilesTest, LogListShowsOnlyFoldersHoldingALog) {
  TempDir dir;
  const std::string home = dir / "p";
  for (const char* folder : {"CONTEST", "GENERAL", "CMakeFiles", "quorvex_autogen", "exports", ".hidden"})
    std::filesystem::create_directories(home + "/" + folder);
  WriteFile(home + "/CONTEST/V5LogDB.vlm", "log");
  WriteFile(home + "/GENERAL/V5LogDB.vlm", "log");
  WriteFile(home + "/exports/W1AW CONTEST CS.TXT", "export");
  WriteFile(home + "/.hidden/V5LogDB.vlm", "log");
  WriteFile(home + "/V5LogDB.vlm", "template");
  WriteFile(home + "/PLAIN", "file");
  EXPECT_EQ(ListLogFolders(home + "/"), (std::vector<std::string>{"CONTEST", "GENERAL"}));
}

// Text widths hold at least what the entry fields let the operator type.
TEST(LogSchemaTest, LogTableHoldsEveryEntryField) {
  const std::map<std::string, int32_t> limits = {
      {"TimeStart", 4}, {"TimeEnd", 4},  {"Call", 10},   {"RSTSent", 5},  {"NumSent", 5},   {"RSTRcvd", 5},
      {"NumRcvd", 5},   {"Country", 40}, {"Continent", 2}, {"Name", 30},  {"LastName", 30}, {"City", 40},
      {"State", 2},     {"COUNTY", 15},  {"CQZ", 4},     {"GRID", 6},     {"ITUZ", 4},      {"FISTS", 8},
      {"IOTA", 8},      {"OOTC", 8},     {"TENTEN", 8},  {"QCWA", 8},     {"DXCC", 5},      {"CLASSLIC", 8},
      {"BMCODE", 8},    {"STREET", 50},  {"PREFIXCOUNTRY", 8}, {"POSTCODE", 12}, {"LAT", 9}, {"LONG", 10},
      {"EMAIL", 30},    {"QSLMGR", 30},  {"URL", 25},    {"QSODate", 10}};
  const TableSpec& spec = LogTableSpec();
  EXPECT_EQ(spec.TableName, "V5LogTabl");
  EXPECT_EQ(spec.DatabaseName, "V5LogDB");
  std::map<std::string, ColumnSpec> columns;
  for (const ColumnSpec& c : spec.Columns) columns.emplace(std::string(c.Name), c);
  for (auto [name, limit] : limits) {
    ASSERT_TRUE(columns.count(name)) << name;
    EXPECT_EQ(columns[name].Type, ftString) << name;
    EXPECT_GE(columns[name].Size, limit) << name;
  }
  for (std::string_view flag : kQsoBoolFields) EXPECT_EQ(columns[std::string(flag)].Type, ftBoolean) << flag;
  for (std::string_view text : kQsoTextFields) EXPECT_TRUE(columns.count(std::string(text))) << text;
  ASSERT_EQ(spec.Indexes.size(), 2u);
  EXPECT_EQ(spec.Indexes[0].Name, "PrimeIndex");
  // The duplicate check's and the recall's index: a call repeats over bands.
  EXPECT_EQ(spec.Indexes[1].Fields, "Call");
  EXPECT_EQ(spec.Indexes[1].Options & (ixPrimary | ixUnique), 0u);
  EXPECT_EQ(StateTableSpec().TableName, "USCountryTabl");
  EXPECT_EQ(MemberTableSpec().TableName, "WWHAMDBTabl");
  EXPECT_EQ(MemberTableSpec().DatabaseName, "WWHAM");
}

TEST(LogSchemaTest, ContactsRoundTripInContactOrder) {
  MemLog log;
  std::vector<QsoRecord> added;
  for (int i = 0; i < 3; ++i) {
    QsoRecord q;
    q.QSODate = "2024-03-0" + std::to_string(9 - i);  // later records, earlier dates
    q.Call = std::string(10, static_cast<char>('K' + i));  // fields at their entry limits
    q.Country = std::string(40, 'C');
    q.STREET = std::string(50, 'S');
    q.Notes = "notes " + std::to_string(i);
    q.IBM = i == 1;
    q.QSLS = i == 0;
    q.EQSLSent = true;
    q.LOTWSent = i == 2;
    q.Points = std::to_string(i);
    log.Add(q);
    added.push_back(q);
  }
  ReopenLog(log.Table());
  EXPECT_EQ(LogEntriesText(log.Table()), "3 Log Entries");
  QsoReader reader(log.Data());
  log.Data().First();
  for (const QsoRecord& q : added) {
    ASSERT_FALSE(log.Data().Eof());
    EXPECT_EQ(reader.Read(), q);
    log.Data().Next();
  }
}

}  // namespace
}  // namespace qv::app::test
