#include "engine/core/VLMBaseEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/Stream.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

static_assert(std::numeric_limits<long double>::digits == 64 && sizeof(long double) >= 10,
              "EXTENDED fields need the x87 80-bit long double");

namespace {

constexpr int32_t kExtendedSize = 10;

[[noreturn]] void BadFieldNo(int32_t code, int32_t fieldNo, int32_t count) {
  throw EVLMException(code, "Invalid field number - FieldNo = %d, FieldCount = %d", {fieldNo, count});
}

// Narrowing float conversions with the IEEE outcome (infinity) for values
// beyond the target's range, which a plain cast leaves undefined.
float ToSingle(double v) {
  if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
  if (v > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (v < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

double ToDouble(long double v) {
  if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
  if (v > std::numeric_limits<double>::max()) return std::numeric_limits<double>::infinity();
  if (v < -std::numeric_limits<double>::max()) return -std::numeric_limits<double>::infinity();
  return static_cast<double>(v);
}

}  // namespace

// ------------------------------------------------------- TVLMTableDataBase

std::unique_ptr<qv::Stream> TVLMTableDataBase::OpenBlob(TVLMCursor*, uint8_t, int32_t) { return nullptr; }

void TVLMTableDataBase::ReleaseRecordBlobs(uint8_t*) {}

// -------------------------------------------------------- TVLMDatabaseData

TVLMDatabaseData::TVLMDatabaseData() = default;

TVLMDatabaseData::~TVLMDatabaseData() {
  // One by one from the front; each is out of the list before it is freed,
  // so a table data that reaches back into the list does not find itself.
  while (!TableDatas.empty()) {
    std::unique_ptr<TVLMTableDataBase> tableData = std::move(TableDatas.front());
    TableDatas.erase(TableDatas.begin());
    tableData.reset();
  }
  VLMOpenDatabaseList().Remove(this);
}

bool TVLMDatabaseData::TableExists(std::string_view tableName) {
  std::lock_guard guard(Lock_);
  qv::StringList names;
  GetTableNames(names);
  return names.IndexOf(tableName) > -1;
}

TVLMTableDataBase* TVLMDatabaseData::AddTableData(std::unique_ptr<TVLMTableDataBase> tableData) {
  std::lock_guard guard(Lock_);
  TableDatas.push_back(std::move(tableData));
  return TableDatas.back().get();
}

void TVLMDatabaseData::FreeTableData(TVLMTableDataBase* tableData) {
  std::unique_ptr<TVLMTableDataBase> owned;
  {
    std::lock_guard guard(Lock_);
    auto it = std::find_if(TableDatas.begin(), TableDatas.end(),
                           [tableData](const auto& p) { return p.get() == tableData; });
    if (it == TableDatas.end()) return;
    owned = std::move(*it);
    TableDatas.erase(it);
    owned.reset();
  }
}

void TVLMDatabaseData::ConnectSession(TVLMBaseSession* session) {
  std::lock_guard guard(Lock_);
  if (std::find(Sessions.begin(), Sessions.end(), session) == Sessions.end()) Sessions.push_back(session);
  session->SessionID = 0;
}

void TVLMDatabaseData::DisconnectSession(TVLMBaseSession* session) {
  std::lock_guard guard(Lock_);
  Sessions.erase(std::remove(Sessions.begin(), Sessions.end(), session), Sessions.end());
}

void TVLMDatabaseData::FreeIfUnused() {
  QV_REQUIRE_LOCK(VLMOpenDatabaseList().Mutex().HeldByThisThread(), "the open-database list's lock");
  bool unused;
  {
    std::lock_guard guard(Lock_);
    unused = Sessions.empty();
  }
  if (unused) delete this;
}

void TVLMDatabaseData::GetTableNames(qv::StringList& list) {
  std::lock_guard guard(Lock_);
  for (const auto& tableData : TableDatas) list.Add(tableData->TableName);
}

void TVLMDatabaseData::CreateDatabase() {}

TVLMTableDataBase* TVLMDatabaseData::FindTableData(TVLMCursor* cursor) {
  std::lock_guard guard(Lock_);
  const std::string wanted = qv::UpperCase1252(cursor->TableName);
  for (const auto& tableData : TableDatas)
    if (qv::UpperCase1252(tableData->TableName) == wanted) return tableData.get();
  return nullptr;
}

TVLMTableDataBase* TVLMDatabaseData::GetTableData(TVLMCursor* cursor) {
  std::lock_guard guard(Lock_);
  TVLMTableDataBase* tableData = FindTableData(cursor);
  return tableData != nullptr ? tableData : CreateTableData(cursor);
}

void TVLMDatabaseData::Commit(int32_t sessionID, bool flushBuffers) {
  std::lock_guard guard(Lock_);
  if (PageManager != nullptr) CommitPages(sessionID);
}

void TVLMDatabaseData::Rollback(int32_t sessionID) {
  std::lock_guard guard(Lock_);
  if (PageManager != nullptr) RollbackPages(sessionID);
  // By position: a refresh must not invalidate the walk.
  for (size_t i = 0; i < TableDatas.size(); ++i) TableDatas[i]->RefreshSessionCursors(sessionID);
}

void TVLMDatabaseData::FlushBuffers() {}

void TVLMDatabaseData::CommitPages(int32_t sessionID) {}

void TVLMDatabaseData::RollbackPages(int32_t sessionID) {}

// ---------------------------------------------------- TVLMOpenDatabaseList

void TVLMOpenDatabaseList::Add(TVLMDatabaseData* databaseData) {
  std::lock_guard guard(Lock_);
  if (std::find(Items_.begin(), Items_.end(), databaseData) == Items_.end()) Items_.push_back(databaseData);
}

void TVLMOpenDatabaseList::Remove(TVLMDatabaseData* databaseData) {
  std::lock_guard guard(Lock_);
  Items_.erase(std::remove(Items_.begin(), Items_.end(), databaseData), Items_.end());
}

bool TVLMOpenDatabaseList::Contains(const TVLMDatabaseData* databaseData) {
  std::lock_guard guard(Lock_);
  return std::find(Items_.begin(), Items_.end(), databaseData) != Items_.end();
}

int32_t TVLMOpenDatabaseList::Count() {
  std::lock_guard guard(Lock_);
  return static_cast<int32_t>(Items_.size());
}

TVLMOpenDatabaseList& VLMOpenDatabaseList() {
  // Never destroyed: database data may be freed by other static objects'
  // destructors at exit.
  static TVLMOpenDatabaseList* list = new TVLMOpenDatabaseList;
  return *list;
}

// ------------------------------------------------- record-buffer routines

bool VLMReadFieldData(int32_t fieldNo, const TVLMFieldDefs& fieldDefs, void* dest,
                      const uint8_t* recordBuffer) {
  const int32_t count = fieldDefs.GetCount();
  if (fieldNo < 0 || fieldNo >= count) BadFieldNo(10000, fieldNo, count);
  if (recordBuffer == nullptr) throw EVLMException(10003, "Nil pointer occured");
  if (VLMGetBit(fieldNo, recordBuffer)) return false;
  if (dest == nullptr) return true;
  const TVLMFieldDef& field = *fieldDefs.GetFieldDef(fieldNo);
  if (VLMIsBLOBDataType(field.DataType)) return true;
  const uint8_t* data = recordBuffer + field.BufferOffset;
  switch (field.DataType) {
    case dtShortInt: {
      const auto v = static_cast<int16_t>(static_cast<int8_t>(data[0]));
      std::memcpy(dest, &v, sizeof v);
      break;
    }
    case dtCardinal: {
      uint32_t u;
      std::memcpy(&u, data, sizeof u);
      const auto v = static_cast<int64_t>(u);
      std::memcpy(dest, &v, sizeof v);
      break;
    }
    case dtSingle: {
      float f;
      std::memcpy(&f, data, sizeof f);
      const auto v = static_cast<double>(f);
      std::memcpy(dest, &v, sizeof v);
      break;
    }
    case dtExtended: {
      long double x = 0;
      std::memcpy(&x, data, kExtendedSize);
      const double v = ToDouble(x);
      std::memcpy(dest, &v, sizeof v);
      break;
    }
    default:
      if (field.DataSize > 0) std::memcpy(dest, data, static_cast<size_t>(field.DataSize));
      break;
  }
  return true;
}

void VLMWriteFieldData(int32_t fieldNo, const TVLMFieldDefs& fieldDefs, const void* source,
                       uint8_t* recordBuffer) {
  const int32_t count = fieldDefs.GetCount();
  if (fieldNo < 0 || fieldNo >= count) BadFieldNo(10004, fieldNo, count);
  if (recordBuffer == nullptr) throw EVLMException(10002, "Nil pointer occured");
  const TVLMFieldDef& field = *fieldDefs.GetFieldDef(fieldNo);
  bool null = source == nullptr;
  if (!null && VLMIsStringDataType(field.DataType)) {
    if (VLMIsWideStringDataType(field.DataType)) {
      char16_t first;
      std::memcpy(&first, source, sizeof first);
      null = first == 0;
    } else {
      null = *static_cast<const uint8_t*>(source) == 0;
    }
  }
  VLMSetBit(null, fieldNo, recordBuffer);
  if (null) return;
  uint8_t* data = recordBuffer + field.BufferOffset;
  switch (field.DataType) {
    case dtShortInt: {
      int16_t v;
      std::memcpy(&v, source, sizeof v);
      data[0] = static_cast<uint8_t>(v);
      break;
    }
    case dtCardinal: {
      int64_t v;
      std::memcpy(&v, source, sizeof v);
      const auto u = static_cast<uint32_t>(v);
      std::memcpy(data, &u, sizeof u);
      break;
    }
    case dtSingle: {
      double v;
      std::memcpy(&v, source, sizeof v);
      const float f = ToSingle(v);
      std::memcpy(data, &f, sizeof f);
      break;
    }
    case dtExtended: {
      double v;
      std::memcpy(&v, source, sizeof v);
      const long double x = v;
      std::memcpy(data, &x, kExtendedSize);
      break;
    }
    default:
      if (field.DataSize > 0) std::memcpy(data, source, static_cast<size_t>(field.DataSize));
      break;
  }
}

bool VLMCompareBuffers(const void* buffer1, const void* buffer2, int64_t count) {
  if (buffer1 == nullptr) throw EVLMException(10122, "Nil pointer occured");
  if (buffer2 == nullptr) throw EVLMException(10123, "Nil pointer occured");
  if (count < 1) return true;
  return std::memcmp(buffer1, buffer2, static_cast<size_t>(count)) == 0;
}
