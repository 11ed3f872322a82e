// qvmkdb: builds the database files delivered beside the program from the
// table structures of appdata/LogSchemas and the project's CSV data.
//
//   qvmkdb all DATADIR OUTDIR          the three files below into OUTDIR, from
//                                      DATADIR/states.csv and
//                                      DATADIR/members-sample.csv
//   qvmkdb log OUT                     the empty log template ("V5LogTabl")
//   qvmkdb states FILE.csv OUT         the state and country table
//                                      ("USCountryTabl"), rows in file order
//   qvmkdb members FILE.csv OUT        the member list ("WWHAMDBTabl") from a
//                                      list the user obtained
//
// The files are made through the database and table components only (create
// the database, create the table from its field and index definitions,
// append and post each row), so they are exactly what the program opens.
//
// Nothing half-built is ever left under an output name: the whole CSV is read
// and checked before a database is made (a line that does not fit its table
// stops the run with the file's line number), and each file is built under a
// temporary name in the output's folder and renamed over the output only
// when it is complete. On any failure the temporary file is removed, an
// existing output stays as it was, and the exit code is 1 (2 for a wrong
// command line).
//
// The same input gives the same rows in the same order: rows are appended in
// file order and nothing else goes into a table.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "appdata/CsvTable.h"
#include "appdata/LogNames.h"
#include "appdata/LogSchemas.h"
#include "engine/components/VLMMain.h"
#include "platform/os/File.h"

namespace {

using qv::app::CsvRow;
using qv::app::TableSpec;

constexpr std::string_view kStatesCsv = "states.csv";
constexpr std::string_view kMembersCsv = "members-sample.csv";

// Call signs in the member list are searched with the plain digit zero; a
// list written with the slashed zero (1252 0xD8) would never match.
void PlainZeros(std::vector<CsvRow>& rows, size_t column) {
  for (CsvRow& row : rows)
    for (char& c : row[column])
      if (static_cast<uint8_t>(c) == 0xD8) c = '0';
}

// Removes the temporary file of a build that did not finish.
class TemporaryOutput {
public:
  explicit TemporaryOutput(const std::string& out)
      : Path_(out + ".qvmkdb-" + std::to_string(static_cast<long>(getpid()))) {
    qv::DeleteFile(Path_);
  }
  ~TemporaryOutput() {
    if (!Kept_) qv::DeleteFile(Path_);
  }
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;

  const std::string& Path() const { return Path_; }
  void KeepAs(const std::string& out) {
    qv::RenameFile(Path_, out);
    Kept_ = true;
    qv::SyncFolder(qv::FolderOf(out));
  }

private:
  std::string Path_;
  bool Kept_ = false;
};

// Writes a database file at out holding spec's table with rows, in order.
void BuildDatabase(const TableSpec& spec, const std::vector<CsvRow>& rows, const std::string& out) {
  TemporaryOutput temporary(out);
  {
    TVLMDatabase database;
    database.SetDatabaseName(spec.DatabaseName);
    database.SetDatabaseFileName(temporary.Path());
    database.SilentMode = true;
    database.CreateDatabase();
    database.SetConnected(true);

    TVLMTable table;
    table.SetDatabaseName(spec.DatabaseName);
    table.SetTableName(spec.TableName);
    qv::app::DefineTable(spec, table.GetFieldDefs(), table.GetIndexDefs());
    table.CreateTable();
    if (!rows.empty()) {
      table.Open();
      database.StartTransaction();
      for (const CsvRow& row : rows) {
        table.Append();
        for (size_t k = 0; k < spec.Columns.size(); ++k)
          table.FieldByName(spec.Columns[k].Name)->SetAsString(row[k]);
        table.Post();
      }
      database.Commit(true);
      table.Close();
    }
    database.SetConnected(false);
  }
  temporary.KeepAs(out);
}

void BuildLog(const std::string& out) { BuildDatabase(qv::app::LogTableSpec(), {}, out); }

void BuildStates(const std::string& csv, const std::string& out) {
  const TableSpec& spec = qv::app::StateTableSpec();
  BuildDatabase(spec, qv::app::ReadCsvTable(csv, spec), out);
}

void BuildMembers(const std::string& csv, const std::string& out) {
  const TableSpec& spec = qv::app::MemberTableSpec();
  std::vector<CsvRow> rows = qv::app::ReadCsvTable(csv, spec);
  PlainZeros(rows, 0);
  BuildDatabase(spec, rows, out);
}

std::string InFolder(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + std::string(name);
}

int Usage() {
  std::fputs("usage: qvmkdb all DATADIR OUTDIR\n"
             "       qvmkdb log OUT\n"
             "       qvmkdb states FILE.csv OUT\n"
             "       qvmkdb members FILE.csv OUT\n",
             stderr);
  return 2;
}

int Run(const std::vector<std::string>& args) {
  const std::string command = args.empty() ? std::string() : args[0];
  if (command == "all" && args.size() == 3) {
    // Both lists are read before the first file is written, so a bad line
    // in either leaves the folder as it was.
    const std::vector<CsvRow> states =
        qv::app::ReadCsvTable(InFolder(args[1], kStatesCsv), qv::app::StateTableSpec());
    std::vector<CsvRow> members = qv::app::ReadCsvTable(InFolder(args[1], kMembersCsv), qv::app::MemberTableSpec());
    PlainZeros(members, 0);
    BuildLog(InFolder(args[2], qv::app::kLogFileName));
    BuildDatabase(qv::app::StateTableSpec(), states, InFolder(args[2], qv::app::kStateFileName));
    BuildDatabase(qv::app::MemberTableSpec(), members, InFolder(args[2], qv::app::kMemberFileName));
  } else if (command == "log" && args.size() == 2) {
    BuildLog(args[1]);
  } else if (command == "states" && args.size() == 3) {
    BuildStates(args[1], args[2]);
  } else if (command == "members" && args.size() == 3) {
    BuildMembers(args[1], args[2]);
  } else {
    return Usage();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  int rc = 1;
  TVLMComponentRuntime::Start();
  try {
    rc = Run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvmkdb: %s\n", e.what());
  }
  TVLMComponentRuntime::Shutdown();
  return rc;
}
