// What the benchmarks over the database components share: a run in a fresh
// folder under the temporary folder with the component runtime up, the
// wall time of a piece of work and the spread of a set of timings, and the
// log table of the table benchmarks with its rows.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "bench/Contacts.h"
#include "engine/components/VLMMain.h"
#include "platform/os/System.h"

// The mean, median and largest of a set of timings (all 0 when empty).
struct Spread {
  double Mean = 0, Median = 0, Max = 0;
};

inline Spread SpreadOf(std::vector<double> samples) {
  Spread s;
  if (samples.empty()) return s;
  for (double v : samples) s.Mean += v;
  s.Mean /= static_cast<double>(samples.size());
  std::sort(samples.begin(), samples.end());
  s.Median = samples[samples.size() / 2];
  s.Max = samples.back();
  return s;
}

inline double Seconds(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs run(folder) in a new folder named prefix plus a unique tail, with the
// runtime started; the folder goes afterwards. Returns the exit code: 0, or 1
// when the folder cannot be made or run throws (the message goes to stderr).
inline int RunInBenchFolder(const char* prefix, const std::function<void(const std::string& folder)>& run) {
  std::string tmpl = qv::TempPath() + "/" + prefix + "XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return 1;
  const std::string folder = name.data();
  int rc = 0;
  TVLMComponentRuntime::Start();
  try {
    run(folder);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    rc = 1;
  }
  TVLMComponentRuntime::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return rc;
}

// The log table of the table benchmarks (kSqliteLogColumns is SQLite's):
// QsoID key, an index on Call, nine columns.
inline void DefineBenchLog(TVLMTable& table) {
  qv::FieldDefs& fields = table.GetFieldDefs();
  fields.Add("QsoID", qv::ftAutoInc);
  fields.Add("Call", qv::ftString, 10);
  fields.Add("Freq", qv::ftString, 12);
  fields.Add("Mode", qv::ftString, 10);
  fields.Add("QSODate", qv::ftString, 10);
  fields.Add("TimeStart", qv::ftString, 4);
  fields.Add("Name", qv::ftString, 30);
  fields.Add("IBM", qv::ftBoolean);
  fields.Add("Notes", qv::ftString, 255);
  table.GetIndexDefs().Add("PrimeIndex", "QsoID", qv::ixPrimary | qv::ixUnique);
  table.GetIndexDefs().Add("CallIndex", "Call", 0);
}

// Posts row into the open log table (kSqliteLogInsert is SQLite's).
inline void PostBenchLog(TVLMTable& table, const LogRow& row) {
  table.Append();
  table.FieldByName("Call")->SetAsString(row.Call);
  table.FieldByName("Freq")->SetAsString(row.Freq);
  table.FieldByName("Mode")->SetAsString(row.Mode);
  table.FieldByName("QSODate")->SetAsString("2024-05-04");
  table.FieldByName("TimeStart")->SetAsString("1200");
  table.FieldByName("Name")->SetAsString(row.Name);
  table.FieldByName("IBM")->SetAsBoolean(false);
  table.Post();
}

// Makes a new file at path, connected through database, holding the log
// table of rows, written in one transaction.
inline void MakeBenchLogFile(TVLMDatabase& database, const std::string& path, const std::vector<LogRow>& rows) {
  database.SetDatabaseName("Bench");
  database.SetDatabaseFileName(path);
  database.SilentMode = true;
  database.CreateDatabase();
  database.SetConnected(true);
  TVLMTable table;
  table.SetDatabaseName("Bench");
  table.SetTableName("V5LogTabl");
  DefineBenchLog(table);
  table.CreateTable();
  table.Open();
  database.StartTransaction();
  for (const LogRow& row : rows) PostBenchLog(table, row);
  database.Commit(false);
  table.Close();
}
