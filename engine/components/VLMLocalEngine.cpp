// VLMLocalEngine, registry and session part: finding and making the database
// data a session needs, connecting and disconnecting, transactions.
#include "engine/components/VLMLocalEngine.h"

#include <mutex>

#include "engine/core/VLMExcept.h"
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
  (void)data;
  return std::string();
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

TVLMDatabaseData* VLMGetDatabaseData(const TVLMLocalSession& session) {
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  if (TVLMDatabaseData* data = VLMFindDatabaseData(session)) return data;
  throw EVLMException(20550, "Database Engine is not initialized");
}

// ----------------------------------------------------------- local session

TVLMLocalSession::~TVLMLocalSession() {
  if (DatabaseData == nullptr) return;
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
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  TVLMDatabaseData* data = VLMGetDatabaseData(*this);
  return operation(*data);
}

void TVLMLocalSession::SetConnected(bool value) {
  if (GetConnected() == value) return;
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  if (value) {
    TVLMDatabaseData* data = VLMGetDatabaseData(*this);
    data->ConnectSession(this);
    DatabaseData = data;
    ReadOnly = data->ReadOnly;
    return;
  }
  TVLMDatabaseData* data = DatabaseData;
  DatabaseData = nullptr;
  data->DisconnectSession(this);
}

bool TVLMLocalSession::GetSessionOption() { return false; }

void TVLMLocalSession::SetSessionOption(bool) {}

void TVLMLocalSession::CreateDatabase() {
  TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
  std::lock_guard<qv::RecursiveMutex> guard(list.Mutex());
  if (VLMFindDatabaseData(*this) != nullptr)
    throw EVLMException(20092, "Cannot create database. Database is already open");
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

void TVLMLocalSession::ShrinkFile() {}

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
