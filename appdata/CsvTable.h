// Reading the CSV files that the delivered tables are built from: the state
// and country list (data/states.csv) and a member list (the sample in
// data/members-sample.csv, or a list a user obtains).
//
// Format, one table per file:
//   - UTF-8 text (a leading byte-order mark is skipped); lines end with LF or
//     CR LF; the last line may lack its end; empty lines are skipped;
//   - the first line names the table's columns in the table's order (letter
//     case is free);
//   - every later line is one row: one value per column, separated by ",";
//   - a value may stand in double quotes; it may then hold "," and a doubled
//     quote stands for one quote; a value never spans lines;
//   - values are taken as they stand: no blanks are trimmed, an empty value
//     is an empty text.
// Values come back as Windows-1252 text, the form the tables store.
//
// A line that does not fit stops the reading with ECsvError, which names the
// file and the line; nothing is returned then, so a row is never shifted into
// the wrong columns or cut to a field's width. A line does not fit when it
// has the wrong number of values; a value is longer than its field (counted
// in 1252 characters); a quote is left open, stands inside an unquoted value
// or is followed by more text; or a value is not valid UTF-8, holds a
// character that 1252 lacks, or holds a control character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/Exception.h"

namespace qv::app {

struct TableSpec;

// A line of a CSV file that does not fit its table. The message reads
// "<file>, line <n>: <what>".
class ECsvError : public Exception {
public:
  ECsvError(std::string_view source, int64_t line, std::string_view what);
  int64_t Line;
};

using CsvRow = std::vector<std::string>;

// The rows of text, in file order; source names the text in errors.
std::vector<CsvRow> ParseCsvTable(std::string_view text, const TableSpec& spec, std::string_view source);
// The rows of a file. A file that cannot be read raises EOSError.
std::vector<CsvRow> ReadCsvTable(const std::string& path, const TableSpec& spec);

}  // namespace qv::app
