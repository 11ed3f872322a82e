// VLMLocalEngine, cursor part: table operations, opening and closing, record
// buffers, navigation, bookmarks, indexes, filters and locates.
#include <cstring>
#include <typeinfo>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMBLOBStream.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "engine/storage/VLMTempEngine.h"
#include "platform/os/System.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

[[noreturn]] void BadFieldNo(int32_t code, int32_t fieldNo, int32_t count) {
  throw EVLMException(code, "Invalid field number - FieldNo = %d, FieldCount = %d", {fieldNo, count});
}

// A list of definitions the caller may not have given.
template <class Defs>
Defs& OrEmpty(Defs* defs, std::unique_ptr<Defs>& holder) {
  if (defs != nullptr) return *defs;
  holder = std::make_unique<Defs>();
  return *holder;
}

}  // namespace

void TVLMLocalCursor::ReleaseIdleCursors(TVLMTableDataBase* base) {
  auto* table = static_cast<TVLMTableData*>(base);
  if (table == nullptr) return;
  // The table data may go with the last reader released: it is not
  // touched once the first release runs.
  std::vector<std::function<void()>> releases;
  for (TVLMCursor* cursor : table->Cursors) {
    if (!cursor->ReleaseIdle) continue;
    releases.push_back(std::move(cursor->ReleaseIdle));
    cursor->ReleaseIdle = nullptr;
  }
  for (const std::function<void()>& release : releases) release();
}

// ----------------------------------------------------------------- helpers

TVLMLocalCursor::~TVLMLocalCursor() {
  try {
    CloseTable();
  } catch (...) {
    // A destructor does not raise; what the table data keeps goes with it.
  }
}

TVLMTableData* TVLMLocalCursor::Table() const { return static_cast<TVLMTableData*>(TableData); }

TVLMTableData& TVLMLocalCursor::RequireTable(int32_t code, const char* text) const {
  if (TableData == nullptr) throw EVLMException(code, text);
  return *Table();
}

TVLMDatabaseData* TVLMLocalCursor::SessionDatabase() {
  auto* session = dynamic_cast<TVLMLocalSession*>(Session);
  if (session == nullptr || session->DatabaseData == nullptr) throw EVLMException(10770, "Nil pointer occured");
  DatabaseData = session->DatabaseData;
  return DatabaseData;
}

int32_t TVLMLocalCursor::SessionIDOf() const { return VLMCursorSessionID(this); }

bool TVLMLocalCursor::SessionInTransaction() const { return Session != nullptr && Session->InTransaction; }

bool TVLMLocalCursor::SessionMultiUser() const { return Session != nullptr && Session->MultiUser; }

// Both table classes are final: the exact type answers, without the walk
// of the class graph a cross-cast takes on every post and read.
bool TVLMLocalCursor::IsTemporaryTable() const {
  return TableData != nullptr && typeid(*TableData) == typeid(TVLMTemporaryTableData);
}

TVLMDiskTableData* TVLMLocalCursor::DiskTable() const {
  return TableData != nullptr && typeid(*TableData) == typeid(TVLMDiskTableData)
             ? static_cast<TVLMDiskTableData*>(TableData)
             : nullptr;
}

TVLMDiskTableData* TVLMLocalCursor::LockingTable() const { return SessionMultiUser() ? DiskTable() : nullptr; }

bool TVLMLocalCursor::RetryReleasingTableData(int32_t tries, uint32_t delayMs, const std::function<bool()>& attempt) {
  for (int32_t i = 0; i < tries; ++i) {
    if (attempt()) return true;
    if (i + 1 == tries) break;
    // Another cursor of this process may hold what is waited for.
    UnlockTableData();
    auto relock = qv::ScopeExit([&] { LockTableData(); });
    qv::SleepMs(delayMs);
  }
  return false;
}

void TVLMLocalCursor::FreeUnusedDiskTable(TVLMTableData* table) {
  if (auto* disk = dynamic_cast<TVLMDiskTableData*>(table)) disk->FreeIfUnused();
}

void TVLMLocalCursor::RefreshIndexDefs() {
  if (!IndexDefs) IndexDefs = std::make_unique<TVLMIndexDefs>();
  IndexDefs->Assign(*Table()->IndexManager->IndexDefs);
  // The current index keeps its name; its ID follows the new copy.
  const std::string current = IndexName;
  SetIndexName(current);
}

void TVLMLocalCursor::RefreshConstraintDefs() {
  if (!ConstraintDefs) ConstraintDefs = std::make_unique<TVLMConstraintDefs>();
  ConstraintDefs->Assign(*Table()->ConstraintManager->ConstraintDefs);
}

qv::StringList TVLMLocalCursor::TableFieldNames(const qv::StringList& fieldNames) const {
  qv::StringList names;
  for (int32_t i = 0; i < fieldNames.Count(); ++i) {
    std::string name = fieldNames[i];
    if (FieldDefs && FieldDefs->FindFieldDef(name) == nullptr && CursorFieldDefs) {
      const TVLMFieldDef* projected = CursorFieldDefs->FindFieldDef(name);
      if (projected != nullptr && projected->FieldNo >= 0 && projected->FieldNo < FieldDefs->GetCount())
        name = FieldDefs->GetFieldDef(projected->FieldNo)->Name;
    }
    names.Add(name);
  }
  return names;
}

// ------------------------------------------------------ table operations

void TVLMLocalCursor::CreateTable(TVLMFieldDefs* fieldDefs, TVLMIndexDefs* indexDefs,
                                  TVLMConstraintDefs* constraintDefs) {
  TVLMDatabaseData* database = SessionDatabase();
  std::lock_guard<qv::RecursiveMutex> guard(database->CriticalSection());
  CloseTable();
  if (database->TableExists(TableName)) DeleteTable();
  auto* table = static_cast<TVLMTableData*>(database->GetTableData(this));
  if (table == nullptr) throw EVLMException(20151, "Pointer is nil");
  // A disk table data is closed again once made: it keeps no files then, and
  // a later rollback of the database would find it without them. The next
  // open reads the new table from the file.
  auto release = qv::ScopeExit([&] { FreeUnusedDiskTable(table); });
  std::unique_ptr<TVLMFieldDefs> noFields;
  std::unique_ptr<TVLMIndexDefs> noIndexes;
  std::unique_ptr<TVLMConstraintDefs> noConstraints;
  table->CreateTable(this, OrEmpty(fieldDefs, noFields), OrEmpty(indexDefs, noIndexes),
                     OrEmpty(constraintDefs, noConstraints));
  CloseTable();
}

void TVLMLocalCursor::DeleteTable() {
  TVLMDatabaseData* database = SessionDatabase();
  std::lock_guard<qv::RecursiveMutex> guard(database->CriticalSection());
  // The fields whose sequences end with the table: a disk table that no
  // cursor has open has not loaded its fields, so the cursor's own list
  // stands in for them.
  std::vector<int32_t> fieldIDs;
  if (FieldDefs)
    for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) fieldIDs.push_back(FieldDefs->GetFieldDef(i)->ObjectID);
  CloseTable();
  if (!database->TableExists(TableName)) throw EVLMException(20132, "Table '%s' not found", {TableName});
  ReleaseIdleCursors(database->FindTableData(this));
  auto* table = static_cast<TVLMTableData*>(database->GetTableData(this));
  if (table == nullptr) throw EVLMException(10027, "Table not found, table name = %s", {TableName});
  if (table->FieldManager != nullptr) {
    const TVLMFieldDefs& fields = *table->FieldManager->FieldDefs;
    fieldIDs.clear();
    for (int32_t i = 0; i < fields.GetCount(); ++i) fieldIDs.push_back(fields.GetFieldDef(i)->ObjectID);
  }
  if (Session != nullptr)
    for (int32_t id : fieldIDs) Session->RemoveNamedObject(id);
  const bool disk = DiskTable() != nullptr || dynamic_cast<TVLMDiskTableData*>(table) != nullptr;
  auto release = qv::ScopeExit([&] {
    if (disk) FreeUnusedDiskTable(table);
  });
  // A memory or temporary table data frees itself here.
  table->DeleteTable(this, false);
}

void TVLMLocalCursor::EmptyTable() {
  TVLMDatabaseData* database = SessionDatabase();
  std::lock_guard<qv::RecursiveMutex> guard(database->CriticalSection());
  CloseTable();
  if (!database->TableExists(TableName)) throw EVLMException(20133, "Table '%s' not found", {TableName});
  ReleaseIdleCursors(database->FindTableData(this));
  auto* table = static_cast<TVLMTableData*>(database->GetTableData(this));
  if (table == nullptr) throw EVLMException(10073, "Table not found, table name = %s", {TableName});
  auto release = qv::ScopeExit([&] { FreeUnusedDiskTable(table); });
  table->EmptyTable(this);
}

void TVLMLocalCursor::RenameTable(const std::string& newName) {
  TVLMDatabaseData* database = SessionDatabase();
  std::lock_guard<qv::RecursiveMutex> guard(database->CriticalSection());
  CloseTable();
  if (!database->TableExists(TableName)) throw EVLMException(20134, "Table '%s' not found", {TableName});
  if (qv::UpperCase1252(TableName) != qv::UpperCase1252(newName) && database->TableExists(newName))
    throw EVLMException(30451, "Table %s already exists", {newName});
  if (newName == TableName) throw EVLMException(30452, "Cannot rename table '%s' into itself", {TableName});
  ReleaseIdleCursors(database->FindTableData(this));
  auto* table = static_cast<TVLMTableData*>(database->GetTableData(this));
  if (table == nullptr) throw EVLMException(10151, "Table not found, table name = %s", {TableName});
  {
    // A disk table data keeps the old name: the next open reads the table
    // under its new one.
    auto release = qv::ScopeExit([&] { FreeUnusedDiskTable(table); });
    table->RenameTable(newName, this);
  }
  TableName = newName;
}

// ------------------------------------------------------- open and close

void TVLMLocalCursor::InitFieldDefs() {
  TVLMTableData& table = RequireTable(10770, "Nil pointer occured");
  // A kept locate condition names the fields of the old list.
  LocateCondition_.reset();
  TVLMTableDataScope scope(*this);
  FieldDefs = std::make_unique<TVLMFieldDefs>();
  FieldDefs->Assign(*table.FieldManager->FieldDefs);
  FieldDefs->CalculateOffsets();
  const int32_t count = FieldDefs->GetCount();
  FirstFieldOffset = count > 0 ? FieldDefs->GetFieldDef(0)->BufferOffset : 0;
  if (count > 0) {
    const TVLMFieldDef& last = *FieldDefs->GetFieldDef(count - 1);
    RecordDataSize = last.BufferOffset + last.DataSize;
  } else {
    RecordDataSize = 0;
  }
  BookmarkOffset = RecordDataSize;
  CalcFieldsOffset = RecordDataSize;
  RecordBufferSize = RecordDataSize + kVLMBookmarkAreaSize;
  KeyBufferSize = RecordDataSize + kVLMRecordIDSize;
  RecordKeySize = RecordDataSize;
  if (!ProjectionSet) {
    CursorFieldDefs = std::make_unique<TVLMFieldDefs>();
    CursorFieldDefs->Assign(*FieldDefs);
    CursorFieldDefs->CalculateOffsets();
    for (int32_t i = 0; i < count; ++i) CursorFieldDefs->GetFieldDef(i)->FieldNo = i;
  }
  RefreshConstraintDefs();
}

void TVLMLocalCursor::OpenTable(TVLMFieldDefs* fieldDefs, TVLMIndexDefs* indexDefs,
                                TVLMConstraintDefs* constraintDefs) {
  if (Opened) return;
  TVLMDatabaseData* database = SessionDatabase();
  std::lock_guard<qv::RecursiveMutex> guard(database->CriticalSection());
  if (Exclusive) ReleaseIdleCursors(database->FindTableData(this));
  auto* table = static_cast<TVLMTableData*>(database->FindTableData(this));
  if (table == nullptr && dynamic_cast<TVLMDiskDatabaseData*>(database) != nullptr) {
    // The disk engine reads the stored table when it is opened.
    table = static_cast<TVLMTableData*>(database->CreateTableData(this));
  } else if (table == nullptr) {
    if (!DesignMode) throw EVLMException(10028, "Table not found, table name = %s", {TableName});
    // At design time a missing memory or temporary table is made here and
    // dropped again when the cursor closes.
    table = static_cast<TVLMTableData*>(database->CreateTableData(this));
    std::unique_ptr<TVLMFieldDefs> noFields;
    std::unique_ptr<TVLMIndexDefs> noIndexes;
    std::unique_ptr<TVLMConstraintDefs> noConstraints;
    try {
      table->CreateTable(this, OrEmpty(fieldDefs, noFields), OrEmpty(indexDefs, noIndexes),
                         OrEmpty(constraintDefs, noConstraints));
    } catch (...) {
      database->FreeTableData(table);
      throw;
    }
  }
  try {
    table->OpenTable(this);
  } catch (...) {
    // A refused open may have listed the cursor with the table already.
    table->CloseTable(this);
    FreeUnusedDiskTable(table);
    throw;
  }
  TableData = table;
  Attached_ = false;
  Position = TVLMCursorPosition{};
  IndexDefs = std::make_unique<TVLMIndexDefs>();
  RefreshIndexDefs();
  BlobStreams.clear();
  RecordBitmap = std::make_unique<TVLMRecordBitmap>(table);
  Opened = true;
}

void TVLMLocalCursor::CloseTable() {
  if (TableData != nullptr) {
    TVLMTableData* table = Table();
    TVLMDatabaseData* database = table->DatabaseData;
    std::lock_guard<qv::RecursiveMutex> guard(database->CriticalSection());
    // Streams still open are written into the record buffer while the table
    // is there to take them.
    auto clearStreams = qv::ScopeExit([&] { BlobStreams.clear(); });
    FreeBlobStreams(false);
    if (!Attached_) {
      table->CloseTable(this);
      if (DesignMode && (InMemory || Temporary))
        table->DeleteTable(this, true);
      else
        FreeUnusedDiskTable(table);
    }
    TableData = nullptr;
  }
  Attached_ = false;
  Opened = false;
  // What the engine kept of this reader belongs to the table just closed.
  LocateCondition_.reset();
  PositionCache.SearchState.reset();
  PositionCache.RecordState.reset();
  PositionCache.IndexState.reset();
  PositionCache.ForgetRecords();
  RecordBitmap.reset();
  FilterTextExpression.reset();
  FieldDefs.reset();
  if (!ProjectionSet) CursorFieldDefs.reset();
  IndexDefs.reset();
  ConstraintDefs.reset();
  BlobStreams.clear();
}

void TVLMLocalCursor::AttachTableData(TVLMTableDataBase* tableData) {
  CloseTable();
  TableData = tableData;
  DatabaseData = tableData->DatabaseData;
  Attached_ = true;
  InitFieldDefs();
  Position = TVLMCursorPosition{};
  IndexDefs = std::make_unique<TVLMIndexDefs>();
  RefreshIndexDefs();
  Opened = true;
}

void TVLMLocalCursor::LockTableData() { RequireTable(10260, "Nil pointer occured").Lock(); }

void TVLMLocalCursor::UnlockTableData() { RequireTable(10261, "Nil pointer occured").Unlock(); }

void TVLMLocalCursor::RenameField(const std::string& oldName, const std::string& newName) {
  TVLMTableDataScope scope(*this);
  Table()->RenameField(oldName, newName);
}

// ---------------------------------------------------------------- indexes

TVLMIndexDefs* TVLMLocalCursor::GetIndexDefs() {
  TVLMTableDataScope scope(*this);
  RefreshIndexDefs();
  return IndexDefs.get();
}

void TVLMLocalCursor::CreateIndex(TVLMIndexDef& indexDef) {
  TVLMTableDataScope scope(*this);
  if (IndexDefs && IndexDefs->FindIndexDef(indexDef.Name) != nullptr)
    throw EVLMException(20022, "Cannot create index '%s'. Index already exists", {indexDef.Name});
  // A reader kept idle would go on with the indexes it read.
  ReleaseIdleCursors(Table());
  Table()->CreateIndex(indexDef, this);
  RefreshIndexDefs();
  RefreshConstraintDefs();
}

void TVLMLocalCursor::DeleteIndex(const std::string& name) {
  TVLMTableDataScope scope(*this);
  const TVLMIndexDef* def = IndexDefs ? IndexDefs->FindIndexDef(name) : nullptr;
  if (def == nullptr) throw EVLMException(20021, "Cannot delete index '%s'. Index not found", {name});
  // A reader kept idle would go on with the indexes it read.
  ReleaseIdleCursors(Table());
  Table()->DropIndex(def->ObjectID, this);
  RefreshIndexDefs();
  RefreshConstraintDefs();
}

void TVLMLocalCursor::DeleteAllIndexes() {
  TVLMTableDataScope scope(*this);
  // A reader kept idle would go on with the indexes it read.
  ReleaseIdleCursors(Table());
  Table()->DropAllIndexes(this);
  RefreshIndexDefs();
  RefreshConstraintDefs();
}

void TVLMLocalCursor::GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                        const qv::StringList& caseOptions, std::string& indexName, bool& created) {
  TVLMTableDataScope scope(*this);
  Table()->AddTemporaryIndex(this, TableFieldNames(fieldNames), directions, caseOptions, indexName, created);
  RefreshIndexDefs();
}

bool TVLMLocalCursor::FindIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                         const qv::StringList& caseOptions) {
  TVLMTableDataScope scope(*this);
  return Table()->FindIndexForFields(this, TableFieldNames(fieldNames), directions, caseOptions);
}

void TVLMLocalCursor::SetIndexByFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                       const qv::StringList& caseOptions) {
  TVLMTableDataScope scope(*this);
  std::string indexName;
  bool created = false;
  GetIndexForFields(fieldNames, directions, caseOptions, indexName, created);
  SetIndexName(indexName);
  IndexFieldCount = fieldNames.Count();
  ClearRecordBitmap();
}

// --------------------------------------------------------- field values

void TVLMLocalCursor::CopyFieldValue(int32_t fieldNo, bool tableFieldNo, TVLMCursor* dest, int32_t destFieldNo) {
  const TVLMFieldDefs* sourceList = tableFieldNo ? FieldDefs.get() : CursorFieldDefs.get();
  const int32_t sourceCount = sourceList != nullptr ? sourceList->GetCount() : 0;
  if (fieldNo < 0 || fieldNo >= sourceCount) BadFieldNo(10501, fieldNo, sourceCount);
  const int32_t destCount = dest->CursorFieldCount();
  if (destFieldNo < 0 || destFieldNo >= destCount) BadFieldNo(10502, destFieldNo, destCount);
  const int32_t sourceNo = tableFieldNo ? fieldNo : sourceList->GetFieldDef(fieldNo)->FieldNo;
  const int32_t destNo = dest->CursorFieldDefs->GetFieldDef(destFieldNo)->FieldNo;
  const TVLMFieldDef& source = *FieldDefs->GetFieldDef(sourceNo);
  const TVLMFieldDef& target = *dest->FieldDefs->GetFieldDef(destNo);
  uint8_t* destBuffer = dest->RecordBuffer;
  if (RecordBuffer == nullptr || destBuffer == nullptr) throw EVLMException(10771, "Nil pointer occured");
  if (VLMGetBit(sourceNo, RecordBuffer)) {
    VLMSetBit(true, destNo, destBuffer);
    return;
  }
  const bool blob = VLMIsBLOBBaseType(source.BaseType);
  if (blob && VLMIsBLOBBaseType(target.BaseType)) {
    auto* destTable = static_cast<TVLMTableData*>(dest->TableData);
    if (destTable == nullptr) throw EVLMException(10772, "Nil pointer occured");
    TVLMBLOBDescriptor descriptor;
    std::vector<uint8_t> data;
    RequireTable(10772, "Nil pointer occured").GetBlobData(this, sourceNo, descriptor, data);
    destTable->SetBlobData(dest, destNo, data, descriptor);
    return;
  }
  if (!blob && source.BaseType == target.BaseType && source.DataSize == target.DataSize) {
    std::memcpy(destBuffer + target.BufferOffset, RecordBuffer + source.BufferOffset,
                static_cast<size_t>(source.DataSize));
    VLMSetBit(false, destNo, destBuffer);
    return;
  }
  TVLMVariant value;
  GetFieldValue(value, sourceNo, true);
  dest->SetFieldValue(value, destNo, true);
}

void TVLMLocalCursor::InitRecordBuffer(uint8_t* buffer, bool applyDefaults) {
  const int32_t fieldCount = TableFieldCount();
  const int32_t bitmapBytes = (fieldCount + 7) / 8;
  std::memset(buffer, 0xFF, static_cast<size_t>(bitmapBytes));
  if (RecordDataSize > bitmapBytes)
    std::memset(buffer + bitmapBytes, 0, static_cast<size_t>(RecordDataSize - bitmapBytes));
  if (applyDefaults && !Temporary && TableData != nullptr) {
    TVLMTableDataScope scope(*this);
    Table()->FieldManager->ApplyDefaultValues(Session, buffer);
  }
}

void TVLMLocalCursor::FreeRecordBuffer(uint8_t*& buffer) {
  if (buffer != nullptr && TableData != nullptr) TableData->ReleaseRecordBlobs(buffer);
  TVLMCursor::FreeRecordBuffer(buffer);
}

// -------------------------------------------------------------- navigation

int64_t TVLMLocalCursor::GetRecordCount() {
  TVLMTableDataScope scope(*this);
  return Table()->GetCursorRecordCount(this);
}

uint8_t TVLMLocalCursor::GetRecord(uint8_t mode) {
  TVLMTableDataScope scope(*this);
  return Table()->GetRecord(this, mode);
}

void TVLMLocalCursor::SetRecNo(int64_t recNo) {
  TVLMTableDataScope scope(*this);
  Table()->SetRecNo(this, recNo);
}

int64_t TVLMLocalCursor::GetRecNo() {
  TVLMTableDataScope scope(*this);
  return Table()->GetRecNo(this);
}

void TVLMLocalCursor::SetToBegin() {
  Position.Bof = 1;
  Position.Eof = 0;
}

void TVLMLocalCursor::SetToEnd() {
  Position.Bof = 0;
  Position.Eof = 1;
}

bool TVLMLocalCursor::ReadAt(const TVLMRecordID& recordID, uint8_t* buffer) {
  RecordBuffer = buffer;
  Position.Bof = 0;
  Position.Eof = 0;
  Position.RecordID = recordID;
  return GetRecord(0) == kVLMNavOK;
}

int32_t TVLMLocalCursor::CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) {
  const TVLMRecordID id1 = VLMGetRecordID(bookmark1);
  const TVLMRecordID id2 = VLMGetRecordID(bookmark2);
  if (HasIndex() && TableData != nullptr) {
    TVLMTableDataScope scope(*this);
    uint8_t* first = AllocRecordBuffer();
    uint8_t* second = AllocRecordBuffer();
    auto release = qv::ScopeExit([&] {
      FreeRecordBuffer(first);
      FreeRecordBuffer(second);
    });
    // The reads leave the cursor where it stands, its next step going on
    // from the record it stands on as read then.
    const TVLMUnmovedCheck unmoved(*this);
    const TVLMKeptPlace place(*this);
    // A record that cannot be read (deleted, say) comes first.
    if (!ReadAt(id1, first)) return -1;
    if (!ReadAt(id2, second)) return 1;
    TVLMIndex* index = Table()->IndexManager->GetIndex(IndexID);
    const int32_t order = index->CompareRecordWithKey(first, second, -1);
    if (order != 0) return order < 0 ? -1 : 1;
  }
  if (id1.Page != id2.Page) return id1.Page < id2.Page ? -1 : 1;
  if (id1.Row != id2.Row) return id1.Row < id2.Row ? -1 : 1;
  return 0;
}

// ---------------------------------------------------- filters and locates

void TVLMLocalCursor::SetFilter(const std::string& text, bool caseInsensitive, bool partialCompare) {
  TVLMExpressionPtr expression(new TVLMExpression());
  expression->InMemory = InMemory;
  expression->ParseFilter(this, text, caseInsensitive, partialCompare);
  FilterTextExpression = std::move(expression);
  ClearRecordBitmap();
}

void TVLMLocalCursor::ClearFilter() {
  FilterTextExpression.reset();
  ClearRecordBitmap();
}

// One equality per field, in the order of the field names: the constant
// each compares with and whether the field takes a number as a date.
struct TVLMLocalCursor::LocateCondition {
  std::string FieldNames;
  bool CaseInsensitive = false;
  bool PartialKey = false;
  bool KeyArray = false;
  std::vector<uint16_t> KeyTypes;
  // A tree of another shape than the build's usual one serves one call.
  bool Keepable = false;
  TVLMExpression Condition;
  std::vector<TVLMExprNodeComparison*> Comparisons;
  std::vector<TVLMExprNodeConst*> Constants;
  std::vector<bool> DateFields;
};

void TVLMLocalCursor::LocateConditionDeleter::operator()(LocateCondition* condition) const { delete condition; }

namespace {

bool IsNumberKey(uint16_t keyType) {
  return keyType == qv::varSmallint || keyType == qv::varInteger || keyType == qv::varSingle ||
         keyType == qv::varDouble || keyType == qv::varShortInt || keyType == qv::varByte || keyType == qv::varWord ||
         keyType == qv::varLongWord || keyType == qv::varInt64;
}

// The key values one by one (one value, or the elements of an array).
std::vector<qv::HostVariant> KeyList(const qv::HostVariant& keyValues) {
  std::vector<qv::HostVariant> keys;
  if (!keyValues.IsArray()) {
    keys.push_back(keyValues);
    return keys;
  }
  const int32_t low = keyValues.ArrayLowBound(1);
  for (int32_t i = low; i <= keyValues.ArrayHighBound(1); ++i) keys.push_back(keyValues[i]);
  return keys;
}

}  // namespace

TVLMExpression& TVLMLocalCursor::LocateConditionFor(const std::string& fieldNames, const qv::HostVariant& keyValues,
                                                    bool caseInsensitive, bool partialKey) {
  const std::vector<qv::HostVariant> keys = KeyList(keyValues);
  std::vector<uint16_t> types;
  types.reserve(keys.size());
  for (const qv::HostVariant& key : keys) types.push_back(key.VarType() & qv::varTypeMask);
  LocateCondition* kept = LocateCondition_.get();
  if (kept != nullptr && kept->Keepable && kept->FieldNames == fieldNames &&
      kept->CaseInsensitive == caseInsensitive && kept->PartialKey == partialKey &&
      kept->KeyArray == keyValues.IsArray() && kept->KeyTypes == types) {
    // The same equalities: each constant takes its new value as the build
    // gives it one, and its comparison prepares it again.
    for (size_t i = 0; i < keys.size(); ++i) {
      TVLMVariant& value = kept->Constants[i]->Result;
      if (kept->DateFields[i] && IsNumberKey(types[i]))
        value.SetAsVariant(qv::HostVariant::FromDateTime(keys[i].AsDouble()));
      else
        value.SetAsVariant(keys[i]);
      kept->Comparisons[i]->Prepare();
    }
    return kept->Condition;
  }
  LocateCondition_.reset();
  std::unique_ptr<LocateCondition, LocateConditionDeleter> built(new LocateCondition);
  TVLMExpression& condition = built->Condition;
  condition.NullSemantics = false;
  condition.InMemory = InMemory;
  condition.BuildKeyValuesCondition(this, fieldNames, keyValues, caseInsensitive, partialKey);
  // The tree the build makes: one comparison {field, constant}, or an AND of
  // them in the order of the names.
  TVLMExprNode* root = condition.GetRoot();
  std::vector<TVLMExprNode*> equalities;
  if (auto* single = dynamic_cast<TVLMExprNodeComparison*>(root)) equalities.push_back(single);
  else if (root != nullptr)
    for (int32_t i = 0; i < root->ChildCount(); ++i) equalities.push_back(root->Child(i));
  bool keepable = equalities.size() == keys.size();
  for (TVLMExprNode* node : equalities) {
    auto* comparison = dynamic_cast<TVLMExprNodeComparison*>(node);
    auto* field = comparison != nullptr && comparison->ChildCount() == 2
                      ? dynamic_cast<TVLMExprNodeField*>(comparison->Child(0))
                      : nullptr;
    auto* constant = field != nullptr ? dynamic_cast<TVLMExprNodeConst*>(comparison->Child(1)) : nullptr;
    if (constant == nullptr) {
      keepable = false;
      break;
    }
    built->Comparisons.push_back(comparison);
    built->Constants.push_back(constant);
    built->DateFields.push_back(VLMIsDateTimeBaseType(field->BaseType));
  }
  built->FieldNames = fieldNames;
  built->CaseInsensitive = caseInsensitive;
  built->PartialKey = partialKey;
  built->KeyArray = keyValues.IsArray();
  built->KeyTypes = std::move(types);
  built->Keepable = keepable;
  LocateCondition_ = std::move(built);
  return LocateCondition_->Condition;
}

bool TVLMLocalCursor::Locate(const std::string& fieldNames, const qv::HostVariant& keyValues, bool caseInsensitive,
                             bool partialKey) {
  TVLMExpression& condition = LocateConditionFor(fieldNames, keyValues, caseInsensitive, partialKey);
  TVLMTableDataScope scope(*this);
  return Table()->Locate(this, &condition);
}

bool TVLMLocalCursor::GotoKey(uint8_t mode) {
  TVLMTableDataScope scope(*this);
  return Table()->GotoKey(this, mode);
}

bool TVLMLocalCursor::LocateByCondition(const std::string& fieldName, uint8_t comparison, const TVLMVariant& value) {
  TVLMExpression condition;
  condition.NullSemantics = false;
  condition.InMemory = InMemory;
  condition.BuildFieldComparison(this, fieldName, comparison, value);
  TVLMTableDataScope scope(*this);
  return Table()->Locate(this, &condition);
}
