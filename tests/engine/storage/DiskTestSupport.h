// Shared pieces of the disk database and disk table tests and of their
// helper programs (so nothing here needs GoogleTest): an engine session that
// carries its transactions to its database data, as the local session does.
#pragma once

#include <memory>
#include <string>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/StringList.h"

namespace disk_test {

class DiskSession : public TVLMBaseSession {
public:
  explicit DiskSession(TVLMDatabaseData* database = nullptr, bool multiUser = false) : Database(database) {
    MultiUser = multiUser;
  }
  ~DiskSession() override {
    try {
      Disconnect();
    } catch (...) {
    }
  }

  bool GetConnected() override { return Connected_; }
  void SetConnected(bool value) override {
    if (value == Connected_) return;
    if (value) {
      Database->ConnectSession(this);
      Connected_ = true;
    } else {
      Disconnect();
    }
  }
  bool GetSessionOption() override { return false; }
  void SetSessionOption(bool) override {}
  void CreateDatabase() override { Database->CreateDatabase(); }
  void ReservedOperation1() override {}
  void ReservedOperation2(const std::string&) override {}
  void GetTableNames(qv::StringList& list) override { Database->GetTableNames(list); }
  bool TableExists(const std::string& tableName) override { return Database->TableExists(tableName); }
  void StartTransaction() override { InTransaction = true; }
  void Commit(bool flushBuffers) override {
    CheckInTransaction();
    Database->Commit(SessionID, flushBuffers);
    InTransaction = false;
  }
  void Rollback() override {
    CheckInTransaction();
    Database->Rollback(SessionID);
    InTransaction = false;
  }
  void FlushBuffers() override { Database->FlushBuffers(); }

  void Connect() { SetConnected(true); }
  // Leaves the database; an error is the caller's to see, the session is
  // disconnected either way.
  void Disconnect() {
    if (!Connected_) return;
    Connected_ = false;
    Database->DisconnectSession(this);
  }

  TVLMDatabaseData* Database;

private:
  bool Connected_ = false;
};

// A disk database data over path with the registry's settings.
inline std::unique_ptr<TVLMDiskDatabaseData> NewDiskDatabase(const std::string& path,
                                                             const std::string& sessionName = "") {
  auto database = std::make_unique<TVLMDiskDatabaseData>();
  database->DatabaseFileName = path;
  database->MultiUserSessionName = sessionName;
  return database;
}

// Creates an empty database file at path.
inline void CreateDiskDatabase(const std::string& path, int32_t pageSize = 4096, int32_t maxSessions = 500) {
  auto database = NewDiskDatabase(path);
  database->PageSize = pageSize;
  database->MaxSessions = maxSessions;
  database->CreateDatabase();
}

}  // namespace disk_test
