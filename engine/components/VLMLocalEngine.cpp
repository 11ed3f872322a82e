// VLMLocalEngine, registry and session part: finding and making the database
// data a session needs, connecting and disconnecting, transactions.
#include "engine/components/VLMLocalEngine.h"

#include <exception>
#include <mutex>
#include <vector>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Collation.h"
#include "platform/host/StringList.h"

namespace {

constexpr std::string_view kMemoryName = "MEMORY";
constexpr std::string_view kTemporaryName = "TEMP";

std::string Upper(std::string_view text) { return qv::UpperCase1252(text); }

bool IsBuiltInName(std::string_view name) { return name == kMemoryName || name == kTemporaryName; }

// The multi-user session name a database data is told apart by; empty for
// the built-in databases.
std::string SessionNameOf(TVLMDatabaseData& data) {
  auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(&data);
  return disk != nullptr ? disk->MultiUserSessionName : std::string();
}

TVLMDiskDatabaseData* AsDisk(TVLMDatabaseData* data) { return dynamic_cast<TVLMDiskDatabaseData*>(data); }

// Frees a disk database data that no session is connected to (it leaves the
// list as it goes). Requires: the list's lock.
void FreeIfUnusedDisk(TVLMDatabaseData* data) {
  TVLMDiskDatabaseData* disk = AsDisk(data);
  if (disk == nullptr) return;
  bool unused = false;
  {
    std::lock_guard<qv::RecursiveMutex> guard(disk->CriticalSection());
    unused = disk->Sessions.empty();
  }
  if (unused) disk->FreeIfUnused();
}

}  // namespace

// ---------------------------------------------------------------- registry

bool VLMIsSameDatabase(const TVLMLocalSession& session, TVLMDatabaseData& data) {
  const std::string name = Upper(session.DatabaseName);
  if (IsBuiltInName(name)) return Upper(data.DatabaseFileName) == name;
  // File names are compared exactly: on Linux two names that differ in case
  // are two files.
  return data.DatabaseFileName == session.DatabaseFileName &&
         Upper(SessionNameOf(data)) == Upper(session.MultiUserSessionName);
}

TVLMDatabaseData* VLMFindDatabaseData(const TVLMLocalSession& session) {
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  for (TVLMDatabaseData* data : list.Items())
    if (VLMIsSameDatabase(session, *data)) return data;
  return nullptr;
}

TVLMDiskDatabaseData* VLMCreateDiskDatabaseData(const TVLMLocalSession& session) {
  auto data = std::make_unique<TVLMDiskDatabaseData>();
  data->DatabaseFileName = session.DatabaseFileName;
  data->ReadOnly = session.ReadOnly;
  data->MaxSessions = session.MaxConnections;
  data->PasswordRecord = session.PasswordRecord;
  data->PageSize = session.PageSize;
  data->ExtentSize = session.ExtentSize;
  data->MultiUserSessionName = session.MultiUserSessionName;
  data->OpenPerOperation = VLMDesignMode();
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  list.Add(data.get());
  return data.release();
}

TVLMDatabaseData* VLMGetDatabaseData(const TVLMLocalSession& session) {
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  if (TVLMDatabaseData* data = VLMFindDatabaseData(session)) return data;
  // The built-in databases are the runtime's; without it there are none.
  if (IsBuiltInName(Upper(session.DatabaseName))) throw EVLMException(20550, "Database Engine is not initialized");
  return VLMCreateDiskDatabaseData(session);
}

// ----------------------------------------------------------- local session

TVLMLocalSession::~TVLMLocalSession() {
  if (DatabaseData == nullptr) return;
  try {
    CloseTables();
  } catch (...) {
    // Every table was let go; what the close raised cannot be reported.
  }
  try {
    SetConnected(false);
  } catch (...) {
    // A destructor does not raise; the database data has let the session go
    // or keeps it listed as the storage engine decided.
  }
}

template <class Operation>
auto TVLMLocalSession::WithDatabaseData(Operation operation) {
  if (DatabaseData != nullptr) return operation(*DatabaseData);
  // Not kept: the session is not connected by this, and a disk database data
  // made only for this call leaves the list again.
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  TVLMDatabaseData* data = VLMGetDatabaseData(*this);
  auto release = qv::ScopeExit([&] { FreeIfUnusedDisk(data); });
  return operation(*data);
}

void TVLMLocalSession::SetConnected(bool value) {
  if (GetConnected() == value) return;
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  if (value) {
    TVLMDatabaseData* data = VLMGetDatabaseData(*this);
    try {
      data->ConnectSession(this);
    } catch (...) {
      // A first connect that failed (a wrong password, say) must not leave
      // the unopened database data listed with the settings that failed.
      FreeIfUnusedDisk(data);
      throw;
    }
    DatabaseData = data;
    ReadOnly = data->ReadOnly;
    TVLMDiskDatabaseData* disk = AsDisk(data);
    if (disk == nullptr) return;
    std::lock_guard<qv::RecursiveMutex> databaseGuard(disk->CriticalSection());
    // Every session of the file must know its password, not only the first.
    if (disk->IsEncrypted() && !disk->PasswordRecord.Password.empty() &&
        PasswordRecord.Password != disk->PasswordRecord.Password)
      throw EVLMException(20298, "Database password is invalid.");
    PasswordRecord = disk->PasswordRecord;
    PageSize = disk->PageSize;
    ExtentSize = disk->ExtentSize;
    MaxConnections = disk->MaxSessions;
    return;
  }
  const std::string openTable = OpenTableName();
  if (!openTable.empty())
    throw EVLMException(20610, "Cannot disconnect from database '%s' while table '%s' is open",
                        {DatabaseName, openTable});
  TVLMDatabaseData* data = DatabaseData;
  // The session is disconnected and an unused disk database data freed
  // whatever the disconnection raises.
  auto release = qv::ScopeExit([&] {
    DatabaseData = nullptr;
    FreeIfUnusedDisk(data);
  });
  data->DisconnectSession(this);
}

bool TVLMLocalSession::GetSessionOption() {
  TVLMDiskDatabaseData* disk = AsDisk(DatabaseData);
  return disk != nullptr && disk->GetFreeSpaceManagerFlag();
}

void TVLMLocalSession::SetSessionOption(bool value) {
  if (TVLMDiskDatabaseData* disk = AsDisk(DatabaseData)) disk->SetFreeSpaceManagerFlag(value);
}

void TVLMLocalSession::CreateDatabase() {
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  if (VLMFindDatabaseData(*this) != nullptr)
    throw EVLMException(20092, "Cannot create database. Database is already open");
  TVLMDiskDatabaseData* data = VLMCreateDiskDatabaseData(*this);
  // No session is connected: the database data leaves the list again.
  auto release = qv::ScopeExit([&] { FreeIfUnusedDisk(data); });
  data->CreateDatabase();
}

void TVLMLocalSession::GetTableNames(qv::StringList& list) {
  WithDatabaseData([&](TVLMDatabaseData& data) { data.GetTableNames(list); });
}

bool TVLMLocalSession::TableExists(const std::string& tableName) {
  return WithDatabaseData([&](TVLMDatabaseData& data) { return data.TableExists(tableName); });
}

void TVLMLocalSession::Commit(bool flushBuffers) {
  CheckInTransaction();
  if (DatabaseData != nullptr) DatabaseData->Commit(SessionID, flushBuffers);
  InTransaction = false;
}

void TVLMLocalSession::Rollback() {
  CheckInTransaction();
  if (DatabaseData != nullptr) DatabaseData->Rollback(SessionID);
  InTransaction = false;
}

void TVLMLocalSession::FlushBuffers() {
  if (DatabaseData != nullptr) DatabaseData->FlushBuffers();
}

void TVLMLocalSession::ShrinkFile() {
  if (TVLMDiskDatabaseData* disk = AsDisk(DatabaseData)) disk->ShrinkFile();
}

bool TVLMLocalSession::LastCommitChanges(TVLMFileChanges& changes) {
  TVLMDiskDatabaseData* disk = AsDisk(DatabaseData);
  if (disk == nullptr) return false;
  std::lock_guard<qv::RecursiveMutex> guard(disk->CriticalSection());
  const TVLMDiskPageManager* pm = disk->DiskPageManager();
  if (pm == nullptr || pm->LastCommitChanges().Block1After.empty()) return false;
  const TVLMCommitChanges& last = pm->LastCommitChanges();
  TVLMFileChanges out;
  out.Ranges.push_back({0, pm->FirstPagePosition});
  for (int32_t pageNo : last.Pages) {
    const int64_t position = pm->PagePosition(pageNo);
    TVLMFileChanges::Range& tail = out.Ranges.back();
    if (tail.Position + tail.Length == position) tail.Length += pm->PageSize;
    else out.Ranges.push_back({position, pm->PageSize});
  }
  out.StampPosition = pm->DatabaseOffset;
  out.StampBefore.assign(last.Block1Before.begin(), last.Block1Before.end());
  out.StampAfter.assign(last.Block1After.begin(), last.Block1After.end());
  out.Complete = last.Complete;
  out.SizeBefore = last.SizeBefore;
  changes = std::move(out);
  return true;
}

bool TVLMLocalSession::StartChangeChain() {
  TVLMDiskDatabaseData* disk = AsDisk(DatabaseData);
  if (disk == nullptr) return false;
  std::lock_guard<qv::RecursiveMutex> guard(disk->CriticalSection());
  TVLMDiskPageManager* pm = disk->DiskPageManager();
  return pm != nullptr && pm->StartChangeChain();
}

namespace {

// The cursors of session that have a table of data open.
std::vector<TVLMCursor*> CursorsWithTables(TVLMDatabaseData& data, const TVLMBaseSession* session) {
  std::lock_guard<qv::RecursiveMutex> guard(data.CriticalSection());
  std::vector<TVLMCursor*> cursors;
  for (const std::unique_ptr<TVLMTableDataBase>& tableData : data.TableDatas)
    if (auto* table = dynamic_cast<TVLMTableData*>(tableData.get()))
      for (TVLMCursor* cursor : table->Cursors)
        if (cursor->Session == session) cursors.push_back(cursor);
  return cursors;
}

}  // namespace

void VLMCloseSessionTables(TVLMDatabaseData& data, const TVLMBaseSession* session) {
  std::lock_guard<qv::RecursiveMutex> guard(data.CriticalSection());
  std::exception_ptr failure;
  // Closing one cursor may free its table data, never another cursor.
  for (TVLMCursor* cursor : CursorsWithTables(data, session)) {
    try {
      cursor->CloseTable();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

std::string TVLMLocalSession::OpenTableName() {
  if (DatabaseData == nullptr) return std::string();
  const std::vector<TVLMCursor*> cursors = CursorsWithTables(*DatabaseData, this);
  return cursors.empty() ? std::string() : cursors.front()->TableName;
}

void TVLMLocalSession::CloseTables() {
  if (DatabaseData != nullptr) VLMCloseSessionTables(*DatabaseData, this);
}

// -------------------------------------------------------- BLOB stream

TVLMCursorBLOBStream::TVLMCursorBLOBStream(std::unique_ptr<qv::Stream> inner, uint8_t openMode, int32_t fieldNo)
    : OpenMode(openMode), FieldNo(fieldNo), Inner_(std::move(inner)) {}

TVLMCursorBLOBStream::~TVLMCursorBLOBStream() = default;

void TVLMCursorBLOBStream::SetSize(int64_t newSize) {
  if (!IsWritable()) throw EVLMException(10116, "Cannot write to read only stream");
  Inner_->SetSize(newSize);
  Modified = true;
}

int64_t TVLMCursorBLOBStream::Read(void* buffer, int64_t count) { return Inner_->Read(buffer, count); }

int64_t TVLMCursorBLOBStream::Write(const void* buffer, int64_t count) {
  if (!IsWritable()) throw EVLMException(10115, "Cannot write to read only stream");
  const int64_t written = Inner_->Write(buffer, count);
  if (written > 0) Modified = true;
  return written;
}

int64_t TVLMCursorBLOBStream::Seek(int64_t offset, qv::SeekOrigin origin) { return Inner_->Seek(offset, origin); }

int64_t TVLMCursorBLOBStream::GetSize() { return Inner_->GetSize(); }
