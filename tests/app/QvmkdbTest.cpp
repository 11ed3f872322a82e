// The database-file generator qvmkdb, run as the separate program it is: the
// delivered files open read-only with the tables of appdata/LogSchemas, hold
// the project's CSV rows in file order, answer the program's locates, a
// malformed member list leaves no file, and a build repeats its rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "appdata/AtomicFile.h"
#include "appdata/CsvTable.h"
#include "appdata/LogNames.h"
#include "appdata/LogSchemas.h"
#include "engine/components/VLMMain.h"
#include "platform/dataset/Defs.h"
#include "platform/host/HostVariant.h"
#include "platform/os/Paths.h"
#include "tests/support/HelperProgram.h"
#include "tests/support/ScratchFolder.h"

namespace qv::app {
namespace {

std::string DataFile(const std::string& name) { return std::string(QV_DATA_DIR) + "/" + name; }

struct RunResult {
  int Code = -1;
  std::string Errors;  // what it wrote to standard error
};

// qvmkdb (built beside the tests) with args, to its end.
RunResult RunQvmkdb(const test::ScratchFolder& scratch, const std::vector<std::string>& args) {
  const std::string errors = scratch.File("qvmkdb.err");
  RunResult result;
  result.Code = test::RunHelper("qvmkdb", args, errors);
  bool found = false;
  result.Errors = ReadWholeFile(errors, found);
  DeleteFile(errors);
  return result;
}

// A delivered file opened as the program opens the state and member tables:
// its table read-only, in the session "Default".
class OpenedTable {
public:
  OpenedTable(const std::string& path, const TableSpec& spec) {
    Database.SetDatabaseName("QvmkdbTest");
    Database.SetDatabaseFileName(path);
    Database.SilentMode = true;
    Database.SetConnected(true);
    Table.SetDatabaseName("QvmkdbTest");
    Table.SetTableName(spec.TableName);
    Table.ReadOnly = true;
    Table.Open();
  }
  // Every row in natural (insertion) order, as text.
  std::vector<CsvRow> Rows() {
    std::vector<CsvRow> rows;
    for (Table.First(); !Table.Eof(); Table.Next()) {
      CsvRow row;
      for (int32_t k = 0; k < Table.FieldCount(); ++k) row.push_back(Table.GetFields()[k]->AsString());
      rows.push_back(row);
    }
    return rows;
  }
  TVLMDatabase Database;
  TVLMTable Table;
};

class QvmkdbTest : public ::testing::Test {
protected:
  void SetUp() override {
    StartedHere_ = !TVLMComponentRuntime::IsStarted();
    TVLMComponentRuntime::Start();
  }
  void TearDown() override {
    if (StartedHere_) TVLMComponentRuntime::Shutdown();
  }
  // The names in the scratch folder.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Scratch.Path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  test::ScratchFolder Scratch;

private:
  bool StartedHere_ = false;
};

TEST_F(QvmkdbTest, TheDeliveredFilesHoldTheSchemaTablesAndTheProjectsRows) {
  const RunResult run = RunQvmkdb(Scratch, {"all", QV_DATA_DIR, Scratch.Path()});
  ASSERT_EQ(run.Code, 0) << run.Errors;
  EXPECT_EQ(Files(), (std::vector<std::string>{"USCountryDB.vlm", "V5LogDB.vlm", "WWHAMDB.vlm"}));

  struct Case {
    const TableSpec& Spec;
    std::string Csv;          // the rows it holds; empty: none
    std::string LocateField;  // a locate and a field of the record it finds
    std::string Key, Field, Value;
  };
  const Case cases[] = {
      {LogTableSpec(), "", "", "", "", ""},
      {StateTableSpec(), "states.csv", "State", "HI", "USCountry", "HAWAII"},
      {StateTableSpec(), "states.csv", "State", "HI", "Continent", "OC"},
      {MemberTableSpec(), "members-sample.csv", "CALL", "QX2DD", "City", "Lakeside, Upper"},
      {MemberTableSpec(), "members-sample.csv", "CALL", "QX0CC", "State", "HI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Spec.TableName) + " " + c.Key);
    OpenedTable opened(Scratch.File(std::string(c.Spec.FileName)), c.Spec);
    TVLMTable& table = opened.Table;

    // The definitions read back from the file are the schema's.
    FieldDefs& fields = table.GetFieldDefs();
    ASSERT_EQ(fields.Count(), static_cast<int32_t>(c.Spec.Columns.size()));
    for (size_t k = 0; k < c.Spec.Columns.size(); ++k) {
      const FieldDef* def = fields[static_cast<int32_t>(k)];
      EXPECT_EQ(def->Name(), c.Spec.Columns[k].Name);
      EXPECT_EQ(def->DataType(), c.Spec.Columns[k].Type) << def->Name();
      EXPECT_EQ(def->Size(), c.Spec.Columns[k].Size) << def->Name();
    }
    table.UpdateIndexDefs();
    IndexDefs& indexes = table.GetIndexDefs();
    ASSERT_EQ(indexes.Count(), static_cast<int32_t>(c.Spec.Indexes.size()));
    for (size_t k = 0; k < c.Spec.Indexes.size(); ++k) {
      const IndexDef* def = indexes[static_cast<int32_t>(k)];
      EXPECT_EQ(def->Name(), c.Spec.Indexes[k].Name);
      EXPECT_EQ(def->Fields(), c.Spec.Indexes[k].Fields);
      EXPECT_EQ(def->Options(), c.Spec.Indexes[k].Options) << def->Name();
    }

    // The rows of the CSV, in its order.
    const std::vector<CsvRow> expected = c.Csv.empty() ? std::vector<CsvRow>() : ReadCsvTable(DataFile(c.Csv), c.Spec);
    EXPECT_EQ(opened.Rows(), expected);
    if (c.Spec.TableName == kStateTableName) {
      EXPECT_EQ(expected.size(), 64u);
    }
    if (c.Key.empty()) continue;
    ASSERT_TRUE(table.Locate(c.LocateField, HostVariant(c.Key), 0));
    EXPECT_EQ(table.FieldByName(c.Field)->AsString(), c.Value);
  }
}

TEST_F(QvmkdbTest, AMemberListWithABadLineStopsAtItsLineAndLeavesNoFile) {
  const std::string head = "CALL,Country,Continent,Name,City,State,Email\n";
  const std::string good = "QX0AA,USA,NA,Al,Town,CO,\n";
  struct Case {
    std::string Text;
    std::string Where;  // in the message
  };
  const Case cases[] = {
      {head + good + "QX1BB,USA,NA,Bo,Town,CO\n", "members.csv, line 3:"},                  // a column short
      {head + good + good + "QX1BB,USA,NA,Bo,Town,CO,,x\n", "members.csv, line 4:"},        // one too many
      {head + good + "QX1BBBBBBBBB,USA,NA,Bo,Town,CO,\n", "members.csv, line 3:"},          // CALL of 11
      {head + "\n" + good + "QX1BB,USA,NA,Bo,Town,COL,\n", "members.csv, line 4:"},         // State of 3
      {"CALL,Country\n" + good, "members.csv, line 1:"},                                    // not the columns
  };
  const std::string csv = Scratch.File("members.csv");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Where);
    WriteFileAtomically(csv, c.Text);
    const RunResult run = RunQvmkdb(Scratch, {"members", csv, Scratch.File("WWHAMDB.vlm")});
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Errors.find(c.Where), std::string::npos) << run.Errors;
    EXPECT_EQ(Files(), std::vector<std::string>{"members.csv"});
  }
  // An existing output stays as it was.
  WriteFileAtomically(Scratch.File("WWHAMDB.vlm"), "before");
  EXPECT_EQ(RunQvmkdb(Scratch, {"members", csv, Scratch.File("WWHAMDB.vlm")}).Code, 1);
  bool found = false;
  EXPECT_EQ(ReadWholeFile(Scratch.File("WWHAMDB.vlm"), found), "before");
  EXPECT_EQ(RunQvmkdb(Scratch, {"members", csv}).Code, 2);  // no output named
}

TEST_F(QvmkdbTest, TwoBuildsOfAMemberListHoldTheSameRowsWithPlainZeros) {
  const std::string csv = Scratch.File("list.csv");
  WriteFileAtomically(csv,
            "CALL,Country,Continent,Name,City,State,Email\n"
            "QX\xC3\x98ZZ,USA,NA,Zed,\"Town, North\",NY,zed@example.invalid\n"
            "QX0AA,USA,NA,Al,Town,CO,\n"
            "QX0AA,USA,NA,Al again,Town,CO,\n");  // a repeated call is no error
  std::vector<std::vector<CsvRow>> builds;
  for (const char* name : {"first.vlm", "second.vlm"}) {
    const RunResult run = RunQvmkdb(Scratch, {"members", csv, Scratch.File(name)});
    ASSERT_EQ(run.Code, 0) << run.Errors;
    OpenedTable opened(Scratch.File(name), MemberTableSpec());
    builds.push_back(opened.Rows());
    ASSERT_TRUE(opened.Table.Locate("CALL", HostVariant("QX0ZZ"), 0));
    EXPECT_EQ(opened.Table.FieldByName("City")->AsString(), "Town, North");
    ASSERT_TRUE(opened.Table.Locate("CALL", HostVariant("QX0AA"), 0));
    EXPECT_EQ(opened.Table.FieldByName("Name")->AsString(), "Al");  // the first in file order
  }
  ASSERT_EQ(builds[0].size(), 3u);
  EXPECT_EQ(builds[0][0][0], "QX0ZZ");
  EXPECT_EQ(builds[0], builds[1]);
}

}  // namespace
}  // namespace qv::app
