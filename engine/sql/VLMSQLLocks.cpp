// The statement lock and the lock-conflict codes of the SQL engine
// (VLMSQLLocks.h).
#include "engine/sql/VLMSQLLocks.h"

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMSettings.h"
#include "engine/sql/VLMRelAlgebra.h"
#include "platform/host/SysUtils.h"
#include "platform/os/System.h"

// ---------------------------------------------------------- statement lock

TVLMStatementLock::TVLMStatementLock(TVLMAO& root) : Root_(root) {
  if (!Root_.OpenTables()) throw EVLMException(20225, "Table is locked");
  const TVLMRetrySettings& retry = VLMRetrySettings();
  std::string refused;
  for (int32_t attempt = 0; attempt < retry.StatementLockTries; ++attempt) {
    if (attempt > 0) qv::SleepMs(retry.StatementLockDelayMs);
    if (Root_.LockTables(&refused)) return;
    // No table stays locked while another process is waited for.
    if (!Root_.UnlockTables()) throw EVLMException(20226, "Cannot unlock table");
  }
  VLMRaiseLockConflict(20850, refused);
}

TVLMStatementLock::~TVLMStatementLock() {
  if (!Held_) return;
  // The failure that left the scope is what the caller hears about; the
  // locks go anyway.
  try {
    Root_.UnlockTables();
  } catch (...) {
  }
}

void TVLMStatementLock::Release() {
  Held_ = false;
  if (!Root_.UnlockTables()) throw EVLMException(20227, "Cannot unlock table");
}

// ------------------------------------------------------- lock conflicts

int32_t VLMLockConflictCode(const std::exception& e) {
  if (const auto* refused = dynamic_cast<const EVLMEngineError*>(&e)) {
    if (refused->ErrorCode == -12) return 20852;
    if (refused->ErrorCode == -13) return 20851;
    return 0;
  }
  const auto* engine = dynamic_cast<const EVLMException*>(&e);
  if (engine == nullptr) return 0;
  switch (engine->NativeError) {
    // Reading: a record the dataset could not read under its read lock, the
    // table's open lock, the read locks of record operations, the
    // statement lock.
    case 10026:
    case 20209:
    case 20214:
    case 20215:
    case 20216:
    case 20217:
    case 20218:
    case 20219:
    case 20220:
    case 20225:
    case 20850:
      return 20850;
    // Writing: the table locks of UPDATE, DELETE and INSERT.
    case 20223:
    case 20224:
    case 20851:
      return 20851;
    case 20852:
      return 20852;
    // The database: its header lock (opening, commits, free space), the
    // lock of its table list, the next object ID.
    case 10466:
    case 20210:
    case 20213:
    case 20230:
    case 20231:
    case 20232:
    case 20236:
    case 30398:
    case 20853:
      return 20853;
    default:
      return 0;
  }
}

void VLMRaiseLockConflict(int32_t code, const std::string& tableName, const std::string& databaseName) {
  constexpr std::string_view kRetries = "another session held it longer than the retries waited";
  switch (code) {
    case 20850:
      throw EVLMException(20850, "Table '%s' is locked and cannot be read: %s", {tableName, kRetries});
    case 20851:
      throw EVLMException(20851, "Table '%s' is locked and cannot be changed: %s", {tableName, kRetries});
    case 20852:
      throw EVLMException(20852, "A record of table '%s' is locked: %s", {tableName, kRetries});
    default:
      if (tableName.empty())
        throw EVLMException(20853, "Database '%s' is locked: %s", {databaseName, kRetries});
      throw EVLMException(20853, "The database of table '%s' is locked: %s", {tableName, kRetries});
  }
}

void VLMRaiseRecordRefusal(const EVLMEngineError& e, const std::string& tableName) {
  if (e.ErrorCode == -8) {
    // The text of an engine error ends with its code (VLMExcept.h).
    constexpr std::string_view kTail = " - Native error: ";
    const std::string& text = e.ErrorText;
    const size_t at = text.rfind(kTail);
    if (at != std::string::npos) {
      const std::string digits = qv::Trim(text.substr(at + kTail.size()));
      int32_t code = 0;
      if (qv::TryStrToInt(digits, code) && code != 0) throw EVLMException(code, text.substr(0, at));
    }
  }
  if (tableName.empty()) throw EVLMException(20846, "%s", {e.ErrorText});
  throw EVLMException(20846, "%s (table '%s')", {e.ErrorText, tableName});
}

void VLMRefuseReadOnlyTarget(const TVLMTable& table, int32_t code) {
  if (table.ReadOnly) throw EVLMException(code, "Dataset is in read only mode");
}

void VLMTranslateWriteRefusal(const std::exception& e, const std::string& tableName) {
  if (const int32_t conflict = VLMLockConflictCode(e)) VLMRaiseLockConflict(conflict, tableName);
  if (const auto* refused = dynamic_cast<const EVLMEngineError*>(&e)) VLMRaiseRecordRefusal(*refused, tableName);
}
