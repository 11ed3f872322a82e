// The CSV reader of the delivered tables: the project's own data files, what
// it reads and the lines it refuses (by line number), and a bounded random
// run that reads random tables back and checks that damaged text never
// yields a row that misfits the table.
#include <gtest/gtest.h>

#include <random>

#include "appdata/CsvTable.h"
#include "appdata/LogSchemas.h"
#include "platform/os/File.h"
#include "tests/support/TestBudget.h"

namespace qv::app {
namespace {

std::string DataFile(const std::string& name) { return std::string(QV_DATA_DIR) + "/" + name; }

TEST(CsvTableTest, TheProjectsDataFilesFitTheirTables) {
  const std::vector<CsvRow> states = ReadCsvTable(DataFile("states.csv"), StateTableSpec());
  ASSERT_EQ(states.size(), 64u);
  for (size_t i = 0; i < states.size(); ++i) {
    const std::string& code = states[i][0];
    EXPECT_EQ(states[i][1], i >= 51 ? "CANADA" : code == "AK" ? "ALASKA" : code == "HI" ? "HAWAII" : "USA") << code;
    EXPECT_EQ(states[i][2], code == "HI" ? "OC" : "NA") << code;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(states[j][0], code);
  }
  const std::vector<CsvRow> members = ReadCsvTable(DataFile("members-sample.csv"), MemberTableSpec());
  ASSERT_GE(members.size(), 5u);
  EXPECT_EQ(members[0][0], "QX0AA");                    // plain zeros
  EXPECT_EQ(members[3][4], "Lakeside, Upper");          // quoted, with a comma
  EXPECT_EQ(members[4][4], "Mustertal-S\xFC" "d");      // UTF-8 in the file, 1252 in the row
  EXPECT_THROW(ReadCsvTable(DataFile("no-such-file.csv"), MemberTableSpec()), EOSError);
}

TEST(CsvTableTest, RowsAsTheyStandAndTheLinesThatDoNotFit) {
  const std::string head = "State,USCountry,Continent\n";
  struct Case {
    std::string Text;
    std::vector<CsvRow> Rows;  // when What is empty
    int64_t Line;
    std::string_view What;
  } cases[] = {
      {"state,uscountry,CONTINENT\n", {}, 0, ""},
      {"\xEF\xBB\xBF" + head + "\n\nTX,USA,NA\r\n\"T\",\"A \"\"B\"\", C\",", {{"TX", "USA", "NA"}, {"T", "A \"B\", C", ""}}, 0, ""},
      {head + ", X ,\nQC,Qu\xC3\xA9" "bec \xE2\x82\xAC,NA", {{"", " X ", ""}, {"QC", "Qu\xE9" "bec \x80", "NA"}}, 0, ""},
      {"", {}, 1, "the first line must name the columns State,USCountry,Continent"},
      {"State,Country,Continent\n", {}, 1, "the first line must name the columns"},
      {head + "TX,USA,NA\n\nTX,USA\n", {}, 4, "2 values where the table has 3 columns"},
      {head + "TX\n", {}, 2, "1 value where the table has 3 columns"},
      {head + "TXX,USA,NA\n", {}, 2, "the value of State is 3 characters long; the field holds 2"},
      {head + "TX,\"US\nA\",NA\n", {}, 2, "a quoted value is not closed on its line"},
      {head + "TX,U\"SA,NA\n", {}, 2, "a quote stands inside an unquoted value"},
      {head + "TX,\"USA\"x,NA\n", {}, 2, "text follows the closing quote of a value"},
      {head + "TX,US\xC3,NA\n", {}, 2, "a value is not valid UTF-8"},
      {head + "TX,\xC0\xAF,NA\n", {}, 2, "a value is not valid UTF-8"},      // overlong '/'
      {head + "TX,\xED\xA0\x80,NA\n", {}, 2, "a value is not valid UTF-8"},  // a surrogate
      {head + "TX,\xE4\xB8\xAD,NA\n", {}, 2, "a character that the table's text cannot store"},
      {head + std::string("TX,U\0SA,NA\n", 11), {}, 2, "a value holds a control character"},
  };
  for (const Case& c : cases) {
    try {
      EXPECT_EQ(ParseCsvTable(c.Text, StateTableSpec(), "in.csv"), c.Rows) << c.Text;
      EXPECT_EQ(c.What, "") << c.Text;
    } catch (const ECsvError& e) {
      EXPECT_EQ(e.Line, c.Line) << c.Text;
      EXPECT_TRUE(e.Message().starts_with("in.csv, line " + std::to_string(c.Line) + ": ")) << e.Message();
      EXPECT_NE(e.Message().find(c.What), std::string::npos) << e.Message();
    }
  }
}

TEST(CsvTableTest, RandomTablesReadBackAndDamagedTextNeverYieldsAMisfit) {
  const TableSpec& spec = MemberTableSpec();
  // Characters of a value: UTF-8 in the file, 1252 in the row.
  const std::pair<std::string, char> alphabet[] = {{"A", 'A'}, {"0", '0'}, {" ", ' '}, {",", ','},
                                                   {"\"", '"'}, {"\xC3\xA9", '\xE9'}, {"\xE2\x82\xAC", '\x80'}};
  const std::string damage[] = {",", "\"", "\n", "\r\n", "\xFF", "\xC3", "\t", "x"};
  std::mt19937_64 rng(20240531);
  auto budget = test::TestBudget::Steps(20000);
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    std::string text = "CALL,Country,Continent,Name,City,State,Email\n";
    std::vector<CsvRow> rows(rng() % 6);
    for (CsvRow& row : rows) {
      for (const ColumnSpec& c : spec.Columns) {
        std::string utf8, cp1252;
        for (size_t n = rng() % (static_cast<size_t>(c.Size) + 1); n > 0; --n) {
          const auto& [u, b] = alphabet[rng() % std::size(alphabet)];
          utf8 += u;
          cp1252 += b;
        }
        const bool quote = utf8.find_first_of(",\"") != std::string::npos || rng() % 3 == 0;
        if (&c != &spec.Columns[0]) text += ',';
        if (quote) text += '"';
        for (char ch : utf8) text += quote && ch == '"' ? "\"\"" : std::string(1, ch);
        if (quote) text += '"';
        row.push_back(cp1252);
      }
      text += rng() % 2 ? "\n" : "\r\n";
    }
    ASSERT_EQ(ParseCsvTable(text, spec, "r.csv"), rows) << text;

    for (int d = 1 + static_cast<int>(rng() % 3); d > 0; --d) {
      const size_t at = rng() % (text.size() + 1);
      if (rng() % 2) text.insert(at, damage[rng() % std::size(damage)]);
      else if (at < text.size()) text.erase(at, 1 + rng() % 3);
    }
    try {
      for (const CsvRow& row : ParseCsvTable(text, spec, "r.csv")) {
        ASSERT_EQ(row.size(), spec.Columns.size()) << text;
        for (size_t k = 0; k < row.size(); ++k) {
          EXPECT_LE(row[k].size(), static_cast<size_t>(spec.Columns[k].Size)) << text;
          for (char ch : row[k]) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << text;
        }
      }
    } catch (const ECsvError& e) {
      EXPECT_GE(e.Line, 1) << text;
    }
  }
}

}  // namespace
}  // namespace qv::app
