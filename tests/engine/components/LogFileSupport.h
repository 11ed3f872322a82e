// Database files with a small log table for the copy, import and repair
// tests: made through the components, filled, and read back as text rows.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/components/VLMMain.h"
#include "platform/dataset/Fields.h"

namespace logfile_test {

constexpr const char* kLogTable = "QsoLog";

// A database component named name on file (made when missing), closed,
// silent.
inline std::unique_ptr<TVLMDatabase> Database(const std::string& file, const std::string& name = "Log",
                                              const std::string& password = "", uint8_t cipherId = 0) {
  auto database = std::make_unique<TVLMDatabase>();
  database->SetDatabaseName(name);
  database->SetDatabaseFileName(file);
  database->SilentMode = true;
  database->Password = password;
  database->CipherId = cipherId;
  database->PageSize = 1024;
  if (!database->Exists()) database->CreateDatabase();
  return database;
}

inline std::unique_ptr<TVLMTable> Table(const std::string& database, const std::string& name = kLogTable) {
  auto table = std::make_unique<TVLMTable>();
  table->SetDatabaseName(database);
  table->SetTableName(name);
  return table;
}

// ID (autoincrement, primary index "PK"), Call (text 10, index "ByCall"),
// Notes (memo).
inline void DefineLog(TVLMTable& table) {
  table.GetFieldDefs().Clear();
  table.GetFieldDefs().Add("ID", qv::ftAutoInc);
  table.GetFieldDefs().Add("Call", qv::ftString, 10);
  table.GetFieldDefs().Add("Notes", qv::ftMemo);
  table.GetIndexDefs().Clear();
  table.GetIndexDefs().Add("PK", "ID", qv::ixPrimary | qv::ixUnique);
  table.GetIndexDefs().Add("ByCall", "Call", 0);
}

// Appends rows Call "C<first>".."C<first+count-1>", Notes "note <n>" (open
// table).
inline void AddRows(TVLMTable& table, int count, int first = 1) {
  for (int n = first; n < first + count; ++n) {
    table.Append();
    table.FieldByName("Call")->SetAsString("C" + std::to_string(n));
    table.FieldByName("Notes")->SetAsString("note " + std::to_string(n));
    table.Post();
  }
}

// Table tableName of database made, filled with count rows, closed.
inline void MakeLog(const std::string& database, int count, const std::string& tableName = kLogTable) {
  auto table = Table(database, tableName);
  DefineLog(*table);
  table->CreateTable();
  table->Open();
  AddRows(*table, count);
  table->Close();
}

// The rows of the open table as "ID Call Notes", in its order.
inline std::vector<std::string> Rows(TVLMTable& table) {
  std::vector<std::string> rows;
  for (table.First(); !table.Eof(); table.Next())
    rows.push_back(table.FieldByName("ID")->AsString() + " " + table.FieldByName("Call")->AsString() + " " +
                   table.FieldByName("Notes")->AsString());
  return rows;
}

// The rows of table tableName of database, opened for the purpose.
inline std::vector<std::string> RowsOf(const std::string& database, const std::string& tableName = kLogTable) {
  auto table = Table(database, tableName);
  table->Open();
  return Rows(*table);
}

// Rows as AddRows writes them, with the IDs given.
inline std::vector<std::string> Expected(const std::vector<int>& ids) {
  std::vector<std::string> rows;
  for (int id : ids) rows.push_back(std::to_string(id) + " C" + std::to_string(id) + " note " + std::to_string(id));
  return rows;
}

// The batch size of the copy tests and their helper: a table of a hundred
// rows is copied in several batches.
inline constexpr uint32_t kCopyBatch = 8192;

// The file a "file" copy writes into beside file (made by the caller).
inline std::string OtherFile(const std::string& file) { return file + ".other.vlm"; }

// One whole-table operation of the copy tests on database (a component of
// file, not connected: a repair needs it so) whose QsoLog is the source:
//   copy        QsoLog copied into a new table Copy
//   over        QsoLog copied over table Other (overwrite)
//   file        QsoLog copied into a new table QsoLog of OtherFile(file)
//   import      QsoLog imported into a new table Imported
//   importover  QsoLog imported over table Other
//   repair      the file repaired (every table rebuilt)
// True when the operation says it succeeded; an exception passes on.
inline bool RunWholeTableOperation(const std::string& op, TVLMDatabase& database, std::string& log) {
  const std::string file = database.DatabaseFileName();
  auto source = Table(database.DatabaseName());
  bool cont = true;
  if (op == "copy") return source->CopyTable("Copy", log, cont);
  if (op == "over") return source->CopyTable("Other", log, cont, "", "", false, true);
  if (op == "file") return source->CopyTable(kLogTable, log, cont, OtherFile(file));
  if (op == "import" || op == "importover") {
    source->Open();
    return Table(database.DatabaseName(), op == "import" ? "Imported" : "Other")->ImportTable(*source, log);
  }
  if (op == "repair") return database.RepairDatabase(log);
  throw std::invalid_argument("unknown operation " + op);
}

}  // namespace logfile_test
