#include "appdata/LogSchemas.h"

#include <array>

#include "appdata/LogNames.h"
#include "platform/dataset/Defs.h"

namespace qv::app {

namespace {

// Fields with no entry limit get room for what operators type there: a date,
// a frequency with decimals, a mode name, free notes, a points figure.
constexpr std::array<ColumnSpec, 43> kLogColumns = {{
    {kQsoIdField, ftAutoInc, 0},
    {"QSODate", ftString, 10},
    {"TimeStart", ftString, 4},
    {"TimeEnd", ftString, 4},
    {"Call", ftString, 10},
    {"Freq", ftString, 12},
    {"Mode", ftString, 10},
    {"RSTSent", ftString, 5},
    {"NumSent", ftString, 5},
    {"RSTRcvd", ftString, 5},
    {"NumRcvd", ftString, 5},
    {"Country", ftString, 40},
    {"Continent", ftString, 2},
    {"IBM", ftBoolean, 0},
    {"Name", ftString, 30},
    {"LastName", ftString, 30},
    {"City", ftString, 40},
    {"State", ftString, 2},
    {"Notes", ftString, 255},
    {"Points", ftString, 5},
    {"COUNTY", ftString, 15},
    {"CQZ", ftString, 4},
    {"GRID", ftString, 6},
    {"ITUZ", ftString, 4},
    {"FISTS", ftString, 8},
    {"IOTA", ftString, 8},
    {"OOTC", ftString, 8},
    {"TENTEN", ftString, 8},
    {"QCWA", ftString, 8},
    {"DXCC", ftString, 5},
    {"CLASSLIC", ftString, 8},
    {"BMCODE", ftString, 8},
    {"STREET", ftString, 50},
    {"PREFIXCOUNTRY", ftString, 8},
    {"POSTCODE", ftString, 12},
    {"LAT", ftString, 9},
    {"LONG", ftString, 10},
    {"EMAIL", ftString, 30},
    {"QSLMGR", ftString, 30},
    {"URL", ftString, 25},
    {"QSLS", ftBoolean, 0},
    {"EQSLSent", ftBoolean, 0},
    {"LOTWSent", ftBoolean, 0},
}};
// The duplicate check and the recall locate a call; the index on Call lets
// them search instead of walking the log. A call repeats over bands and
// modes, so the index is not unique. The table stays in "PrimeIndex" order,
// so a locate still reports the first match in contact order.
constexpr std::array<IndexSpec, 2> kLogIndexes = {{
    {kPrimeIndexName, kQsoIdField, ixPrimary | ixUnique},
    {"CallIndex", "Call", 0},
}};

constexpr std::array<ColumnSpec, 3> kStateColumns = {{
    {"State", ftString, 2},
    {"USCountry", ftString, 40},
    {"Continent", ftString, 2},
}};
// Locates search the state code; the drop-down lists the states in table
// (natural) order, which an index does not change.
constexpr std::array<IndexSpec, 1> kStateIndexes = {{
    {"StateIndex", "State", 0},
}};

constexpr std::array<ColumnSpec, 7> kMemberColumns = {{
    {"CALL", ftString, 10},
    {"Country", ftString, 40},
    {"Continent", ftString, 2},
    {"Name", ftString, 30},
    {"City", ftString, 40},
    {"State", ftString, 2},
    {"Email", ftString, 30},
}};
constexpr std::array<IndexSpec, 1> kMemberIndexes = {{
    {"CallIndex", "CALL", 0},
}};

const TableSpec kLogSpec{kLogDatabaseName, kLogFileName, kLogTableName, kLogColumns, kLogIndexes};
const TableSpec kStateSpec{kStateDatabaseName, kStateFileName, kStateTableName, kStateColumns, kStateIndexes};
const TableSpec kMemberSpec{kMemberDatabaseName, kMemberFileName, kMemberTableName, kMemberColumns,
                            kMemberIndexes};

}  // namespace

const TableSpec& LogTableSpec() { return kLogSpec; }
const TableSpec& StateTableSpec() { return kStateSpec; }
const TableSpec& MemberTableSpec() { return kMemberSpec; }

void DefineTable(const TableSpec& spec, FieldDefs& fieldDefs, IndexDefs& indexDefs) {
  fieldDefs.Clear();
  for (const ColumnSpec& c : spec.Columns) fieldDefs.Add(c.Name, c.Type, c.Size);
  indexDefs.Clear();
  for (const IndexSpec& i : spec.Indexes) indexDefs.Add(i.Name, i.Fields, i.Options);
}

}  // namespace qv::app
