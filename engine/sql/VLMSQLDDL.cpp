// Column definitions, index entries and the table statements CREATE TABLE,
// DROP TABLE and TRUNCATE TABLE; the grammar is at the top of VLMSQLDDL.h.
#include "engine/sql/VLMSQLDDL.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/sql/VLMKeptTables.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kFieldNameExpected = "Field name expected, but '%s' found at line %d, column %d";
constexpr std::string_view kIntegerExpected = "Integer expected, but '%s' found at line %d, column %d";
constexpr std::string_view kUnexpectedToken = "Unexpected token '%s' found at line %d, column %d";
constexpr std::string_view kListSymbolExpected = "')' or ',' symbol expected, but '%s' found at line %d, column %d";
// The largest declared size of a text or byte column. A disk record lives
// on one page of at most 64 KB, and a memory or temporary table allocates
// every record buffer at the declared size, so larger sizes only fail late
// or exhaust memory.
constexpr int32_t kMaxFieldSize = 65535;

bool IsStringOrBytesType(TVLMDataType type) {
  return (type >= dtChar && type <= dtWideString) || type == dtBytes || type == dtVarBytes;
}

// The compression algorithm of a name; 0 (none) for a name that is none.
uint8_t CompressionAlgorithmByName(std::string_view name) {
  const std::string upper = qv::UpperCase1252(name);
  if (upper == "ZLIB") return 1;
  if (upper == "BZIP") return 2;
  if (upper == "PPM") return 3;
  return 0;
}

// The counter type a type name gives the plain AUTOINC type: 0 when the
// name is no type, 255 for a type that cannot count.
TVLMDataType AutoincWidth(TVLMDataType named) {
  switch (named) {
    case dtShortInt:
      return dtAutoincShortInt;
    case dtSmallInt:
      return dtAutoincSmallInt;
    case dtInteger:
      return dtAutoinc;
    case dtLargeInt:
      return dtAutoincLargeInt;
    case dtByte:
      return dtAutoincByte;
    case dtWord:
      return dtAutoincWord;
    case dtCardinal:
      return dtAutoincCardinal;
    default:
      if (VLMIsAutoincDataType(named)) return named;
      return named == 0 ? 0 : 255;
  }
}

// The column names of an entry joined by sep, only those keep accepts.
template <class Keep>
std::string JoinColumns(const TVLMDDLIndexEntry& entry, char sep, Keep keep) {
  std::string text;
  for (const TVLMDDLIndexColumn& column : entry.Columns) {
    if (!keep(column)) continue;
    if (!text.empty()) text.push_back(sep);
    text += column.Name;
  }
  return text;
}

}  // namespace

TSQLFieldDef* TSQLFieldDefs::Add() { return Items_.emplace_back(std::make_unique<TSQLFieldDef>()).get(); }

// ------------------------------------------------------------- end checks

void TVLMDDLTableManipulation::Parse() {
  TToken next;
  if (Lexer->LookAhead(next))
    throw EVLMException(30246, kUnexpectedToken, {next.Text, next.Line, next.Column});
}

void TVLMDDLTableManipulation::CheckEndAfterTarget() {
  if (HasToken()) RaiseAtToken(30725, kUnexpectedToken);
}

void TVLMDDLTableManipulation::ParseTargetTable() {
  ParseTableName(DatabaseFileName, TableName, InMemory, Password, Alias);
}

// ------------------------------------------------------ column definitions

void TVLMDDLTableManipulation::ParseColumnDefinitions() {
  if (Token.Kind != tktLeftParenthesis) RaiseTokenExpected(30226, "(");
  while (HasToken() && Token.Kind != tktRightParenthesis) {
    ExpectNextToken(kVLMNameOrWordKinds, 30227, kFieldNameExpected);
    if (IsKeyword(kwPRIMARY) || IsKeyword(kwUNIQUE) || IsKeyword(kwINDEX)) {
      if (IsKeyword(kwPRIMARY))
        ParseTableKey();
      else
        ParseTableIndex();
      // A word after an entry's column list would be passed over by the
      // next element's read.
      if (HasToken() && Token.Kind != tktComma && Token.Kind != tktRightParenthesis)
        RaiseAtToken(30726, kListSymbolExpected);
    } else {
      ParseColumn();
    }
  }
}

void TVLMDDLTableManipulation::ParseTableKey() {
  TVLMDDLIndexEntry entry;
  entry.Primary = 1;
  GetNextToken();
  if (IsKeyword(kwKEY)) GetNextToken();
  if (HasToken() && Token.Kind != tktLeftParenthesis) {
    entry.Name = Token.Text;
    GetNextToken();
  }
  ParseIndexColumns(entry);
  Indexes.push_back(std::move(entry));
}

void TVLMDDLTableManipulation::ParseTableIndex() {
  TVLMDDLIndexEntry entry;
  if (IsKeyword(kwUNIQUE)) {
    entry.Unique = 1;
    ExpectNextToken(VLMKinds({tktReservedWord}), 30267, "'INDEX' keyword expected, but '%s' found at line %d, column %d");
  }
  if (!IsKeyword(kwINDEX)) RaiseAtToken(30268, "'INDEX' keyword expected, but '%s' found at line %d, column %d");
  GetNextToken();
  if (HasToken() && Token.Kind != tktLeftParenthesis) {
    if ((kVLMNameOrWordKinds & (TVLMTokenKinds{1} << Token.Kind)) == 0)
      RaiseAtToken(30269, "index name expected, but '%s' found at line %d, column %d");
    entry.Name = Token.Text;
    GetNextToken();
  }
  ParseIndexColumns(entry);
  Indexes.push_back(std::move(entry));
}

void TVLMSQLCommand::ParseIndexColumnWords(TVLMDDLIndexColumn& column, int32_t endCode, int32_t wordCode) {
  for (;;) {
    if (!GetNextToken()) RaiseEndOfCommand(endCode);
    if (Token.Kind == tktComma || Token.Kind == tktRightParenthesis) return;
    if (IsKeyword(kwASC))
      column.Descending = 0;
    else if (IsKeyword(kwDESC))
      column.Descending = 1;
    else if (IsKeyword(kwCASE))
      column.NoCase = 0;
    else if (IsKeyword(kwNOCASE))
      column.NoCase = 1;
    else
      RaiseAtToken(wordCode, kUnexpectedToken);
  }
}

void TVLMDDLTableManipulation::ParseIndexColumns(TVLMDDLIndexEntry& entry) {
  if (Token.Kind != tktLeftParenthesis)
    RaiseAtToken(30722, "'(' symbol expected, but '%s' found at line %d, column %d");
  do {
    ExpectNextToken(kVLMNameOrWordKinds, 30274, kFieldNameExpected);
    TVLMDDLIndexColumn& column = entry.Columns.emplace_back();
    column.Name = Token.Text;
    ParseIndexColumnWords(column, 30333, 30723);
  } while (Token.Kind == tktComma);
  GetNextToken();
}

void TVLMDDLTableManipulation::ParseColumn() {
  TSQLFieldDef& def = *FieldDefs.Add();
  if (IsKeyword(kwIF)) {
    GetNextToken();
    if (!IsKeyword(kwNOT)) RaiseTokenExpected(30488, "NOT");
    GetNextToken();
    if (!IsKeyword(kwEXISTS)) RaiseTokenExpected(30489, "EXISTS");
    GetNextToken();
    def.IfNotExists = 1;
  }
  def.Name = Token.Text;
  ExpectNextToken(VLMKinds({tktString, tktBracketedString, tktReservedWord}), 30228,
                  "Field type expected, but '%s' found at line %d, column %d");
  ParseDataType(def);
  // Each option leaves Token on its last token, except DEFAULT, which reads
  // on to the token after its value.
  while (HasToken() && Token.Kind != tktComma && Token.Kind != tktRightParenthesis) {
    bool onNext = false;
    if (IsKeyword(kwNOT)) {
      ExpectNextToken(VLMKinds({tktReservedWord}), 30237, "Unexpected end of SQL command found at line %d, column %d");
      if (!IsKeyword(kwNULL)) RaiseAtToken(2011, "'NULL' expected (for NOT NULL), but '%s' found at line %d, column %d");
      def.NullGiven = 1;
      def.NotNull = 1;
    } else if (IsKeyword(kwNULL)) {
      def.NullGiven = 1;
      def.NotNull = 0;
    } else if (IsKeyword(kwBLOBBLOCKSIZE)) {
      def.BlobBlockSize = ParseInteger32(1, std::numeric_limits<int32_t>::max());
      def.BlobBlockSizeGiven = 1;
    } else if (IsKeyword(kwBLOBCOMPRESSIONMODE)) {
      def.BlobCompressionMode = static_cast<uint8_t>(ParseInteger32(0, 255));
      def.BlobCompressionModeGiven = 1;
    } else if (IsKeyword(kwBLOBCOMPRESSIONALGORITHM)) {
      ExpectNextToken(0, 30229, kListSymbolExpected);
      def.BlobCompressionAlgorithm = CompressionAlgorithmByName(Token.Text);
      def.BlobCompressionAlgorithmGiven = 1;
    } else if (IsKeyword(kwDEFAULT)) {
      ParseDefault(def);
      onNext = true;
    } else if (IsKeyword(kwMINVALUE)) {
      ParseColumnBound(def.Min);
      def.MinGiven = 1;
    } else if (IsKeyword(kwNOMINVALUE)) {
      def.Min.Clear();
      def.MinGiven = 1;
    } else if (IsKeyword(kwMAXVALUE)) {
      ParseColumnBound(def.Max);
      def.MaxGiven = 1;
    } else if (IsKeyword(kwNOMAXVALUE)) {
      def.Max.Clear();
      def.MaxGiven = 1;
    } else if (IsKeyword(kwPRIMARY)) {
      TToken next;
      if (Lexer->LookAhead(next) && VLMIsReservedWord(next, kwKEY)) GetNextToken();
      Indexes.push_back({std::string(), 0, 1, {{def.Name, 0, 0}}});
    } else if (IsKeyword(kwUNIQUE)) {
      Indexes.push_back({std::string(), 1, 0, {{def.Name, 0, 0}}});
    }
    if (!onNext)
      ExpectNextToken(kVLMNameOrWordKinds | VLMKinds({tktRightParenthesis, tktComma}), 30229,
                      kListSymbolExpected);
  }
}

void TVLMDDLTableManipulation::ParseDataType(TSQLFieldDef& def) {
  const TVLMDataType type = VLMSQLTypeByName(Token.Text);
  if (type == 0) RaiseAtToken(30232, "Unknown field type '%s' at line %d, column %d");
  def.TypeGiven = 1;
  def.DataType = type;
  if (IsStringOrBytesType(type)) {
    ExpectNextToken(VLMKinds({tktLeftParenthesis}), 30233, "'(' symbol expected, but '%s' found at line %d, column %d");
    ExpectNextToken(VLMKinds({tktInt}), 30235, "Decimal constant expected, but '%s' found at line %d, column %d");
    int32_t size = 0;
    const auto [end, error] = std::from_chars(Token.Text.data(), Token.Text.data() + Token.Text.size(), size);
    // A declared size beyond what a record can hold would make every record
    // buffer of the table that large.
    if (error != std::errc() || end != Token.Text.data() + Token.Text.size() || size > kMaxFieldSize)
      RaiseAtToken(30724, "Field size out of range: '%s' at line %d, column %d");
    def.Size = size;
    def.SizeGiven = 1;
    ExpectNextToken(VLMKinds({tktRightParenthesis}), 30236, kListSymbolExpected);
  } else {
    def.Size = 0;
  }
  GetNextToken();
  if (VLMIsAutoincDataType(type) && Token.Kind == tktLeftParenthesis) ParseAutoincOptions(def);
}

void TVLMDDLTableManipulation::ParseAutoincOptions(TSQLFieldDef& def) {
  for (;;) {
    if (!GetNextToken()) RaiseEndOfCommand(30290);
    if (Token.Kind == tktRightParenthesis) break;
    if (IsKeyword(kwINCREMENT)) {
      def.Increment = ParseInteger();
      def.IncrementGiven = 1;
    } else if (IsKeyword(kwINITIALVALUE) || IsKeyword(kwSTARTVALUE)) {
      def.InitialValue = ParseInteger();
      def.InitialValueGiven = 1;
    } else if (IsKeyword(kwMINVALUE)) {
      def.MinValue = ParseInteger();
      def.MinValueGiven = 1;
    } else if (IsKeyword(kwMAXVALUE)) {
      def.MaxValue = ParseInteger();
      def.MaxValueGiven = 1;
    } else if (IsKeyword(kwCYCLED) || IsKeyword(kwNOCYCLED)) {
      def.Cycled = IsKeyword(kwCYCLED) ? 1 : 0;
      def.CycledGiven = 1;
    } else if (IsKeyword(kwNOMINVALUE)) {
      def.MinValue = 0;
      def.MinValueGiven = 1;
    } else if (IsKeyword(kwNOMAXVALUE)) {
      def.MaxValue = std::numeric_limits<int64_t>::max();
      def.MaxValueGiven = 1;
    } else {
      // Only the plain AUTOINC takes its counter's width from a type name.
      const TVLMDataType width = def.DataType == dtAutoinc ? AutoincWidth(VLMSQLTypeByName(Token.Text)) : 0;
      if (width == 0) RaiseAtToken(30294, kUnexpectedToken);
      if (width == 255) RaiseAtToken(30295, "Unsupported Autoinc DataType (%s) found at line %d, column %d");
      def.DataType = width;
    }
    if (!GetNextToken()) RaiseEndOfCommand(30290);
    if (Token.Kind == tktRightParenthesis) break;
    if (Token.Kind != tktComma) RaiseAtToken(30294, kUnexpectedToken);
  }
  GetNextToken();
}

void TVLMDDLTableManipulation::ParseDefault(TSQLFieldDef& def) {
  ExpectNextToken(0, 30297, "Unexpected end of SQL command found at line %d, column %d");
  const bool word = Token.Kind == tktReservedWord || Token.Kind == tktString || Token.Kind == tktQuotedString;
  const std::string upper = word ? qv::UpperCase1252(Token.Text) : std::string();
  if (upper == "NOW" || upper == "CURRENT_TIMESTAMP" || upper == "CURRENT_TIME" || upper == "CURRENT_DATE" ||
      upper == "SYSDATE") {
    def.Default.Clear();
    def.Default.SetAsString(upper);
    def.DefaultGiven = 1;
    GetNextToken();
    return;
  }
  if (Token.Kind == tktQuotedString) {
    def.Default.Clear(bdtWideString);
    TVLMVariant text(bdtString);
    text.SetAsString("\"" + Token.Text + "\"");
    def.Default.SetAsWideString(text.GetAsWideString());
    def.DefaultGiven = 1;
    GetNextToken();
    return;
  }
  const TToken start = Token;
  std::unique_ptr<TVLMExpression> expression = ParseValueExpression();
  if (expression->GetRoot() == nullptr)
    throw EVLMException(30297, "Error parsing parameter '%s' at line %d, column %d",
                        {start.Text, start.Line, start.Column});
  if (def.DefaultGiven != 0)
    throw EVLMException(30299, "default value for column '%s' declared twice", {def.Name});
  // Typed by the value itself: a number stays a number, so the table casts
  // it to the column's type as a number.
  const TVLMVariant* value = expression->GetValue(true);
  def.Default.Clear();
  if (value != nullptr && !value->IsNull()) {
    const TVLMBaseDataType base = value->DataType;
    if (base >= bdtShortInt && base <= bdtCardinal) {
      def.Default.SetAsLargeInt(value->GetAsLargeInt());
    } else if (VLMIsNumericBaseType(base)) {
      def.Default.SetAsDouble(value->GetAsDouble());
    } else {
      def.Default.Clear(bdtWideString);
      def.Default.SetAsWideString(value->GetAsWideString());
    }
  }
  def.DefaultGiven = 1;
}

void TVLMDDLTableManipulation::ParseColumnBound(TVLMVariant& bound) {
  ExpectNextToken(0, 30300, "Unexpected end of SQL command found at line %d, column %d");
  std::string text;
  if (Token.Text == "-" || Token.Text == "+") {
    text = Token.Text;
    ExpectNextToken(0, 30300, "Unexpected end of SQL command found at line %d, column %d");
  }
  text += Token.Text;
  bound.Clear(bdtString);
  bound.SetAsString(text);
  bound.CastTo(bdtLargeInt);
}

int64_t TVLMDDLTableManipulation::ParseInteger() {
  ExpectNextToken(VLMKinds({tktInt}), 30292, kIntegerExpected);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(Token.Text.data(), Token.Text.data() + Token.Text.size(), value);
  if (error != std::errc() || end != Token.Text.data() + Token.Text.size()) RaiseAtToken(30291, kIntegerExpected);
  return value;
}

int32_t TVLMDDLTableManipulation::ParseInteger32(int64_t min, int64_t max) {
  const int64_t value = ParseInteger();
  if (value < min || value > max) RaiseAtToken(30724, "Value out of range: '%s' at line %d, column %d");
  return static_cast<int32_t>(value);
}

// ------------------------------------------------- the table component

void TVLMDDLTableManipulation::OpenTableComponent(TVLMDataSet* owner, bool loadDefinitions,
                                                  TVLMTableComponents& components) {
  components.Table = std::make_unique<TVLMTable>();
  components.Table->SetDatabaseOwner(owner->DatabaseOwner());
  TVLMTable& table = *components.Table;
  // The owner's own file named is the owner's database (VLMKeptTables.h).
  if (!DatabaseFileName.empty() && !VLMIsOwnDatabaseFile(owner, DatabaseFileName)) {
    components.Database = std::make_unique<TVLMDatabase>();
    TVLMDatabase& database = *components.Database;
    database.SetSessionName(owner->SessionName());
    database.SetDatabaseFileName(DatabaseFileName);
    database.SetDatabaseName(VLMNewGUIDName("ExternalDb"));
    if (TVLMDatabase* ownerDatabase = owner->Database()) {
      database.DisableTempFiles = ownerDatabase->DisableTempFiles;
      database.ReadOnly = ownerDatabase->ReadOnly;
    }
    database.SilentMode = true;
    database.Password = Password;
    table.SetDatabaseName(database.DatabaseName());
  } else {
    table.SetDatabaseName(owner->DatabaseName());
  }
  table.SetSessionName(owner->SessionName());
  table.SetTableName(TableName);
  if (InMemory != 0 || owner->InMemory()) table.SetInMemory(true);
  if (!loadDefinitions) return;
  table.AdvFieldDefs.Clear();
  for (int32_t i = 0; i < FieldDefs.Count(); ++i) CopyColumnDefinition(*table.AdvFieldDefs.Add(), *FieldDefs.Items(i));
}

void TVLMDDLTableManipulation::CopyColumnDefinition(TVLMAdvFieldDef& advDef, const TSQLFieldDef& def) {
  advDef.Name = def.Name;
  if (def.TypeGiven) advDef.DataType = def.DataType;
  if (def.SizeGiven) advDef.Size = def.Size;
  if (def.NullGiven) advDef.Required = def.NotNull != 0;
  if (def.IncrementGiven) advDef.AutoincIncrement = def.Increment;
  if (def.InitialValueGiven) advDef.AutoincInitialValue = def.InitialValue;
  if (def.MinValueGiven) advDef.AutoincMinValue = def.MinValue;
  if (def.MaxValueGiven) advDef.AutoincMaxValue = def.MaxValue;
  if (def.CycledGiven) advDef.Cycled = def.Cycled != 0;
  if (def.BlobBlockSizeGiven) advDef.BlobBlockSize = def.BlobBlockSize;
  if (def.BlobCompressionAlgorithmGiven) advDef.BlobCompressionAlgorithm = def.BlobCompressionAlgorithm;
  if (def.BlobCompressionModeGiven) advDef.BlobCompressionMode = def.BlobCompressionMode;
  if (def.DefaultGiven) advDef.DefaultValue.Assign(def.Default, true);
  if (def.MinGiven) advDef.MinValue.Assign(def.Min, true);
  if (def.MaxGiven) advDef.MaxValue.Assign(def.Max, true);
}

void TVLMDDLTableManipulation::FillIndexDefinitions(TVLMTable& table) const {
  table.GetIndexDefs().Clear();
  for (const TVLMDDLIndexEntry& entry : Indexes) {
    std::string name = entry.Name;
    if (name.empty()) {
      name = entry.Primary != 0 ? "C_PK" : entry.Unique != 0 ? "C_Unique" : "i";
      for (const TVLMDDLIndexColumn& column : entry.Columns) name += "$" + column.Name;
    }
    const auto all = [](const TVLMDDLIndexColumn&) { return true; };
    const auto descending = [](const TVLMDDLIndexColumn& c) { return c.Descending != 0; };
    const auto noCase = [](const TVLMDDLIndexColumn& c) { return c.NoCase != 0; };
    for (TVLMAdvIndexDefs* defs : {&table.AdvIndexDefs, &table.RestructureIndexDefs}) {
      TVLMAdvIndexDef& def = *defs->Add();
      def.Name = name;
      def.Fields = JoinColumns(entry, ',', all);
      def.DescFields = JoinColumns(entry, ',', descending);
      def.CaseInsFields = JoinColumns(entry, ',', noCase);
      def.Options = static_cast<uint8_t>((entry.Unique != 0 ? 2 : 0) + (entry.Primary != 0 ? 1 : 0));
    }
  }
}

// --------------------------------------------------------- the statements

void TVLMDDLCreateTable::Parse() {
  if (!GetNextToken()) throw EVLMException(30249, "Blank SQL command");
  if (IsKeyword(kwIF)) {
    GetNextToken();
    if (!IsKeyword(kwNOT)) RaiseTokenExpected(30486, "NOT");
    GetNextToken();
    if (!IsKeyword(kwEXISTS)) RaiseTokenExpected(30487, "EXISTS");
    GetNextToken();
    IfNotExists = 1;
  }
  ParseTargetTable();
  ParseColumnDefinitions();
  TVLMDDLTableManipulation::Parse();
}

void TVLMDDLCreateTable::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  TVLMTableComponents components;
  OpenTableComponent(owner, true, components);
  TVLMTable& table = *components.Table;
  if (!table.Exists()) {
    FillIndexDefinitions(table);
    try {
      table.CreateTable();
    } catch (const EVLMException& e) {
      // Another connection made it since the look above (the table list is
      // read again under its lock): IF NOT EXISTS asked for no more.
      if (IfNotExists == 0 || e.NativeError != 30395) throw;
    }
  } else if (IfNotExists == 0) {
    throw EVLMException(30247, "Cannot create table. Table '%s' already exists", {TableName});
  }
}

void TVLMDDLDropTable::Parse() {
  if (!GetNextToken()) throw EVLMException(30251, "Blank SQL command");
  if (IsKeyword(kwIF)) {
    GetNextToken();
    if (!IsKeyword(kwEXISTS)) RaiseTokenExpected(30485, "EXISTS");
    GetNextToken();
  }
  ParseTargetTable();
  CheckEndAfterTarget();
}

void TVLMDDLDropTable::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  TVLMTableComponents components;
  OpenTableComponent(owner, true, components);
  if (components.Table->Exists()) components.Table->DeleteTable();
}

void TVLMDDLTruncateTable::Parse() {
  if (!GetNextToken()) throw EVLMException(30490, "Blank SQL command");
  if (IsKeyword(kwTABLE)) GetNextToken();
  ParseTargetTable();
  CheckEndAfterTarget();
}

void TVLMDDLTruncateTable::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  RowsAffected = 0;
  TVLMTableComponents components;
  OpenTableComponent(owner, true, components);
  components.Table->EmptyTable();
}
