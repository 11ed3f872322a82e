// The names of the program's files, databases and tables, shared by the
// program and the tools that build the delivered database files.
//
// Layout of the program folder (ExeDir, with a trailing '/'):
//   V5LogDB.vlm          empty log template, copied into each new log folder
//   USCountryDB.vlm      state and country table (required)
//   WWHAMDB.vlm          member list (optional; needed for the IBM QSO Party)
//   UserGuide.htm        user guide
//   <LogName>/V5LogDB.vlm      the live log of the log LogName
//   <LogName>/BakV5LogDB.vlm   its backup copy, brought up to date after each contact
#pragma once

#include <string_view>

namespace qv::app {

inline constexpr std::string_view kLogFileName = "V5LogDB.vlm";
inline constexpr std::string_view kBackupFileName = "BakV5LogDB.vlm";
inline constexpr std::string_view kStateFileName = "USCountryDB.vlm";
inline constexpr std::string_view kMemberFileName = "WWHAMDB.vlm";
inline constexpr std::string_view kUserGuideFileName = "UserGuide.htm";

// Database component names, table names and the log's contact-order index.
inline constexpr std::string_view kLogDatabaseName = "V5LogDB";
inline constexpr std::string_view kLogTableName = "V5LogTabl";
inline constexpr std::string_view kStateDatabaseName = "USCountryDB";
inline constexpr std::string_view kStateTableName = "USCountryTabl";
inline constexpr std::string_view kMemberDatabaseName = "WWHAM";
inline constexpr std::string_view kMemberTableName = "WWHAMDBTabl";
inline constexpr std::string_view kPrimeIndexName = "PrimeIndex";

}  // namespace qv::app
