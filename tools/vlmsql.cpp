// vlmsql: the engine's SQL shell. Runs one SQL text on a database file
// through a query component, and prints what it did:
//
//   vlmsql [--create] [--live] [--fast-retries] DBFILE [SQLFILE]
//
// The text is read from SQLFILE, or from standard input without one; it may
// hold several statements separated by ";".
//
//   --create        makes DBFILE first when it does not exist
//   --live          asks for an editable result and prints, after the rows,
//                   "EDITABLE" or "READONLY" (the dataset's verdict)
//   --fast-retries  waits for locks of other processes only a few tries
//   --help          prints the usage
//
// Output (standard output), for the last statement of the text:
//   rows            a header of the column names joined by "|", then one
//                   line per row joined by "|": NULL, floats "%.15g",
//                   logicals TRUE / FALSE, dates YYYY-MM-DD, times hh:nn:ss,
//                   date-times both with a blank, text as stored
//   no rows         "OK <rows affected>" (summed over the statements)
// An error prints "ERROR <code> <message>" on standard error (the engine's
// code, once: the message without the " - Native error: " tail that repeats
// it) and exits with 1; the statements before the failing one have taken
// effect. A missing DBFILE without --create is such an error, and says so.
// Bad arguments print the usage and exit with 2.
//
// The file is opened multi-user, so that a second shell (or a program) may
// work on it at the same time.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "engine/components/VLMMain.h"
#include "engine/sql/VLMMainQuery.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "platform/host/SysUtils.h"

namespace {

constexpr const char* kDatabaseName = "VLMSQL";

constexpr const char* kUsage =
    "usage: vlmsql [--create] [--live] [--fast-retries] DBFILE [SQLFILE]\n"
    "Runs the SQL text of SQLFILE (or of standard input) on the database file\n"
    "DBFILE; statements are separated by ';'.\n"
    "  --create        make DBFILE first when it does not exist\n"
    "  --live          ask for an editable result; print EDITABLE or READONLY\n"
    "                  after its rows\n"
    "  --fast-retries  wait for the locks of other processes only a few tries\n"
    "  --help          print this text\n"
    "Output: the last statement's rows, a header line of column names and one\n"
    "line per row, values joined by '|' (NULL for a null value); or\n"
    "'OK <rows affected>'. An error prints 'ERROR <code> <message>' on standard\n"
    "error and exits with 1.\n";

int Usage(FILE* to, int status) {
  std::fputs(kUsage, to);
  return status;
}

// The message of an engine error without its " - Native error: <code>"
// tail, which the ERROR line shows in front.
std::string WithoutCode(const std::string& message, int32_t code) {
  constexpr std::string_view kTail = " - Native error: ";
  const size_t at = message.rfind(kTail);
  if (at == std::string::npos) return message;
  std::string digits = message.substr(at + kTail.size());
  digits.erase(0, digits.find_first_not_of(' '));
  return digits == std::to_string(code) || digits == VLMNativeErrorZeroPadded(code) ? message.substr(0, at) : message;
}

bool FileExists(const std::string& file) { return std::ifstream(file).good(); }

// A few tries for every wait on another process.
void CutRetries() {
  TVLMRetrySettings& retry = VLMChangeRetrySettings();
  constexpr int32_t kFew = 3;
  retry.DatabaseLockTries = kFew;
  retry.NextObjectIDTries = kFew;
  retry.WholeFileLockTries = kFew;
  retry.TableOpenTries = kFew;
  retry.TableOperationTries = kFew;
  retry.TableCommitTries = kFew;
  retry.RecordLockTries = kFew;
  retry.StatementLockTries = kFew;
  retry.ModifyLockTries = kFew;
  retry.UpdateAttempts = kFew;
}

std::string Two(int32_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", static_cast<int>(v));
  return text;
}

std::string DateText(double value) {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  qv::DecodeDate(value, year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(year), static_cast<int>(month),
                static_cast<int>(day));
  return text;
}

std::string TimeText(double value) {
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t msec = 0;
  qv::DecodeTime(value, hour, minute, second, msec);
  return Two(hour) + ":" + Two(minute) + ":" + Two(second);
}

std::string ValueText(const qv::Field& field) {
  if (field.IsNull()) return "NULL";
  switch (field.DataType()) {
    case qv::ftFloat:
    case qv::ftCurrency:
    case qv::ftBCD: {
      char text[64];
      std::snprintf(text, sizeof text, "%.15g", field.AsFloat());
      return text;
    }
    case qv::ftBoolean:
      return field.AsBoolean() ? "TRUE" : "FALSE";
    case qv::ftDate:
      return DateText(field.AsDateTime());
    case qv::ftTime:
      return TimeText(field.AsDateTime());
    case qv::ftDateTime:
      return DateText(field.AsDateTime()) + " " + TimeText(field.AsDateTime());
    default:
      return field.AsString();
  }
}

void PrintRows(TVLMQuery& query, bool live) {
  std::string line;
  for (int32_t i = 0; i < query.FieldCount(); ++i) {
    if (i > 0) line += "|";
    line += query.GetFields()[i]->DisplayName();
  }
  std::cout << line << "\n";
  for (query.First(); !query.Eof(); query.Next()) {
    line.clear();
    for (int32_t i = 0; i < query.FieldCount(); ++i) {
      if (i > 0) line += "|";
      line += ValueText(*query.GetFields()[i]);
    }
    std::cout << line << "\n";
  }
  if (live) std::cout << (query.CanModify() ? "EDITABLE" : "READONLY") << "\n";
}

int Fail(int32_t code, const std::string& message) {
  std::cout.flush();
  std::fprintf(stderr, "ERROR %d %s\n", static_cast<int>(code), message.c_str());
  return 1;
}

int Run(const std::string& file, bool create, bool live, const std::string& sql) {
  TVLMDatabase database;
  database.SetDatabaseName(kDatabaseName);
  database.SetDatabaseFileName(file);
  database.MultiUser = true;
  database.SilentMode = true;
  if (create && !database.Exists()) database.CreateDatabase();
  TVLMQuery query;
  query.SetDatabaseName(kDatabaseName);
  query.RequestLive = live;
  query.SetSQL(sql);
  if (query.ExecuteForCursor()) {
    query.Open();
    PrintRows(query, live);
    query.Close();
  } else {
    std::cout << "OK " << query.RowsAffected() << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C");
  bool create = false;
  bool live = false;
  std::string file;
  std::string sqlFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--create")
      create = true;
    else if (arg == "--live")
      live = true;
    else if (arg == "--fast-retries")
      CutRetries();
    else if (arg == "--help" || arg == "-h")
      return Usage(stdout, 0);
    else if (!arg.empty() && arg[0] == '-')
      return Usage(stderr, 2);
    else if (file.empty())
      file = arg;
    else if (sqlFile.empty())
      sqlFile = arg;
    else
      return Usage(stderr, 2);
  }
  if (file.empty()) return Usage(stderr, 2);
  std::string sql;
  if (sqlFile.empty()) {
    sql.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(sqlFile, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vlmsql: cannot read the SQL file '%s'\n", sqlFile.c_str());
      return 2;
    }
    sql.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Whether the file was there before the run: a refusal then also says
  // how to make it.
  const bool missing = !create && !FileExists(file);
  TVLMComponentRuntime::Start();
  int status = 0;
  try {
    status = Run(file, create, live, sql);
  } catch (const EVLMException& e) {
    std::string message = WithoutCode(e.Message(), e.NativeError);
    if (missing) message += " (vlmsql --create makes a new database file)";
    status = Fail(e.NativeError, message);
  } catch (const EVLMEngineError& e) {
    status = Fail(e.ErrorCode, e.ErrorText);
  } catch (const std::exception& e) {
    status = Fail(0, e.what());
  }
  TVLMComponentRuntime::Shutdown();
  std::cout.flush();
  return status;
}
