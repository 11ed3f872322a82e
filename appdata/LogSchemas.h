// The structure of the three tables the program opens, as data: the log
// "V5LogTabl", the state and country table "USCountryTabl" and the member list
// "WWHAMDBTabl". The database-file generator builds the delivered files from
// these, and tests build in-memory tables from them.
//
// Text widths are at least the input limits of the entry fields that fill
// them; the four flags of a contact are Booleans. The log has one field the
// program never writes: "QsoID", an autoincrement number that the index
// "PrimeIndex" orders by, which is the order the contacts were added.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/dataset/FieldTypes.h"

namespace qv {
class FieldDefs;
class IndexDefs;
}  // namespace qv

namespace qv::app {

struct ColumnSpec {
  std::string_view Name;
  TFieldType Type;
  int32_t Size;  // characters of a string field, 0 otherwise
};

struct IndexSpec {
  std::string_view Name;
  std::string_view Fields;  // ";"-separated
  TIndexOptions Options;
};

struct TableSpec {
  std::string_view DatabaseName;
  std::string_view FileName;  // in the program folder
  std::string_view TableName;
  std::span<const ColumnSpec> Columns;
  std::span<const IndexSpec> Indexes;
};

inline constexpr std::string_view kQsoIdField = "QsoID";

const TableSpec& LogTableSpec();
const TableSpec& StateTableSpec();
const TableSpec& MemberTableSpec();

// Fills (replaces) field and index definitions from a table spec.
void DefineTable(const TableSpec& spec, FieldDefs& fieldDefs, IndexDefs& indexDefs);

}  // namespace qv::app
