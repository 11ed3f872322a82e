#include <map>

#include "AppTestSupport.h"
#include "platform/dataset/Defs.h"

namespace qv::app::test {
namespace {

TEST(LogFilesTest, ProgramFolderChoice) {
  TempDir dir;
  std::filesystem::create_directories(dir / "exe");
  EXPECT_EQ(ResolveProgramFolder(dir / "home", dir / "exe", dir / "data"), dir / "home/");
  EXPECT_EQ(ResolveProgramFolder("", dir / "exe", dir / "data"), dir / "exe/");
  // No usable executable folder: the data folder, created.
  EXPECT_EQ(ResolveProgramFolder("", "", dir / "data"), dir / "data/Quorvex/");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/Quorvex"));

  WriteFile(dir / "exe/V5LogDB.vlm", "template");
  WriteFile(dir / "exe/USCountryDB.vlm", "states");
  WriteFile(dir / "exe/unrelated.txt", "x");
  WriteFile(dir / "data/Quorvex/USCountryDB.vlm", "kept");
  SeedProgramFolder(dir / "exe", dir / "data/Quorvex");
  EXPECT_EQ(ReadFile(dir / "data/Quorvex/V5LogDB.vlm"), "template");
  EXPECT_EQ(ReadFile(dir / "data/Quorvex/USCountryDB.vlm"), "kept");
  EXPECT_FALSE(std::filesystem::exists(dir / "data/Quorvex/unrelated.txt"));
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
