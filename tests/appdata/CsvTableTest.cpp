// The CSV reader of the delivered tables: the project's own data files, the
// lines it refuses (with their line numbers), and a bounded random run that
// writes random tables out and reads them back, then damages the text and
// checks that whatever is returned still fits the table.
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
    const CsvRow& r = states[i];
    const std::string expectedCountry = i < 51 ? (r[0] == "AK" ? "ALASKA" : r[0] == "HI" ? "HAWAII" : "USA") : "CANADA";
    EXPECT_EQ(r[1], expectedCountry) << r[0];
    EXPECT_EQ(r[2], r[0] == "HI" ? "OC" : "NA") << r[0];
    for (size_t j = 0; j < i; ++j) EXPECT_NE(states[j][0], r[0]);
  }
  EXPECT_EQ(states[0], (CsvRow{"AK", "ALASKA", "NA"}));
  EXPECT_EQ(states[63], (CsvRow{"YT", "CANADA", "NA"}));

  const std::vector<CsvRow> members = ReadCsvTable(DataFile("members-sample.csv"), MemberTableSpec());
  ASSERT_GE(members.size(), 3u);
  EXPECT_EQ(members[0][0], "QX0AA");  // plain zeros
  for (const CsvRow& m : members) EXPECT_EQ(m[0].find('\xD8'), std::string::npos);
  EXPECT_EQ(members[3][4], "Lakeside, Upper");         // a quoted value with a comma
  EXPECT_EQ(members[4][4], "Mustertal-S\xFC" "d");     // UTF-8 in the file, 1252 in the row
  EXPECT_EQ(members[5][6], "");
}

TEST(CsvTableTest, ValuesAsTheyStand) {
  const TableSpec& spec = StateTableSpec();
  struct Case {
    std::string_view Text;
    std::vector<CsvRow> Rows;
  };
  const Case cases[] = {
      {"state,uscountry,CONTINENT\n", {}},  // names in any letter case, no rows
      {"\xEF\xBB\xBFState,USCountry,Continent\r\nTX,USA,NA\r\n", {{"TX", "USA", "NA"}}},
      {"State,USCountry,Continent\n\n\nTX,USA,NA", {{"TX", "USA", "NA"}}},  // blank lines, no last end
      {"State,USCountry,Continent\n\"T\",\"A \"\"B\"\", C\",\n", {{"T", "A \"B\", C", ""}}},
      {"State,USCountry,Continent\n, X ,\n", {{"", " X ", ""}}},  // blanks are kept
      {"State,USCountry,Continent\nQC,Qu\xC3\xA9" "bec \xE2\x82\xAC,NA\n", {{"QC", "Qu\xE9" "bec \x80", "NA"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseCsvTable(c.Text, spec, "t.csv"), c.Rows) << c.Text;
}

TEST(CsvTableTest, ALineThatDoesNotFitNamesItsLine) {
  const TableSpec& spec = StateTableSpec();
  const std::string head = "State,USCountry,Continent\n";
  struct Case {
    std::string Text;
    int64_t Line;
    std::string_view What;
  };
  const Case cases[] = {
      {"", 1, "the first line must name the columns State,USCountry,Continent"},
      {"State,Country,Continent\n", 1, "the first line must name the columns"},
      {"State,USCountry\nTX,USA\n", 1, "the first line must name the columns"},
      {head + "TX,USA,NA\n\nTX,USA\n", 4, "2 values where the table has 3 columns"},
      {head + "TX,USA,NA,X\n", 2, "4 values where the table has 3 columns"},
      {head + "TX\n", 2, "1 value where the table has 3 columns"},
      {head + "TXX,USA,NA\n", 2, "the value of State is 3 characters long; the field holds 2"},
      {head + "TX," + std::string(41, 'U') + ",NA\n", 2, "the value of USCountry is 41 characters"},
      {head + "TX,\"USA,NA\n", 2, "a quoted value is not closed on its line"},
      {head + "TX,\"US\nA\",NA\n", 2, "a quoted value is not closed on its line"},
      {head + "TX,U\"SA,NA\n", 2, "a quote stands inside an unquoted value"},
      {head + "TX,\"USA\"x,NA\n", 2, "text follows the closing quote of a value"},
      {head + "TX,US\xFF,NA\n", 2, "a value is not valid UTF-8"},
      {head + "TX,US\xC3,NA\n", 2, "a value is not valid UTF-8"},
      {head + "TX,\xC0\xAF,NA\n", 2, "a value is not valid UTF-8"},        // overlong '/'
      {head + "TX,\xED\xA0\x80,NA\n", 2, "a value is not valid UTF-8"},    // a surrogate
      {head + "TX,\xE4\xB8\xAD,NA\n", 2, "a character that the table's text cannot store"},
      {head + "TX,U\tSA,NA\n", 2, "a value holds a control character"},
      {head + std::string("TX,U\0SA,NA\n", 11), 2, "a value holds a control character"},
  };
  for (const Case& c : cases) {
    try {
      ParseCsvTable(c.Text, spec, "in.csv");
      ADD_FAILURE() << "accepted: " << c.Text;
    } catch (const ECsvError& e) {
      EXPECT_EQ(e.Line, c.Line) << c.Text;
      EXPECT_TRUE(e.Message().starts_with("in.csv, line " + std::to_string(c.Line) + ": ")) << e.Message();
      EXPECT_NE(e.Message().find(c.What), std::string::npos) << e.Message();
    }
  }
  EXPECT_THROW(ReadCsvTable(DataFile("no-such-file.csv"), spec), EOSError);
}

// A value as a writer would put it in a CSV file: quoted when it holds a
// comma or a quote, or at random.
std::string CsvValue(const std::string& utf8, std::mt19937_64& rng) {
  if (utf8.find_first_of(",\"") == std::string::npos && rng() % 3 != 0) return utf8;
  std::string out = "\"";
  for (char c : utf8) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

TEST(CsvTableTest, RandomTablesReadBackAndDamagedTextNeverYieldsAMisfit) {
  const TableSpec& spec = MemberTableSpec();
  // Characters a value may hold (UTF-8) with their 1252 byte.
  const std::pair<std::string, char> alphabet[] = {{"A", 'A'}, {"z", 'z'}, {"0", '0'},       {" ", ' '},
                                                   {",", ','}, {"\"", '"'}, {"\xC3\xA9", '\xE9'},
                                                   {"\xE2\x82\xAC", '\x80'}, {"'", '\''}};
  const std::string damage[] = {",", "\"", "\n", "\r\n", "\xFF", "\xC3", "\t", "x", "\"\""};
  std::mt19937_64 rng(20240531);
  auto budget = test::TestBudget::Steps(20000);
  for (uint64_t step = 0; budget.Continue(step); ++step) {
    std::string text = "CALL,Country,Continent,Name,City,State,Email\n";
    std::vector<CsvRow> rows(rng() % 6);
    for (CsvRow& row : rows) {
      std::string line;
      for (const ColumnSpec& c : spec.Columns) {
        std::string utf8;
        std::string cp1252;
        const size_t n = rng() % (static_cast<size_t>(c.Size) + 1);
        for (size_t k = 0; k < n; ++k) {
          const auto& [u, b] = alphabet[rng() % std::size(alphabet)];
          utf8 += u;
          cp1252 += b;
        }
        if (&c != &spec.Columns[0]) line += ',';
        line += CsvValue(utf8, rng);
        row.push_back(cp1252);
      }
      text += line + (rng() % 2 ? "\n" : "\r\n");
    }
    ASSERT_EQ(ParseCsvTable(text, spec, "r.csv"), rows) << text;

    for (int d = 1 + static_cast<int>(rng() % 3); d > 0; --d) {
      const size_t at = rng() % (text.size() + 1);
      if (rng() % 2)
        text.insert(at, damage[rng() % std::size(damage)]);
      else if (at < text.size())
        text.erase(at, 1 + rng() % 3);
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
