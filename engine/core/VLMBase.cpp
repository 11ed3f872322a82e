#include "engine/core/VLMBase.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/Exception.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

[[noreturn]] void BadFieldNo(int32_t code, int32_t fieldNo, int32_t count) {
  throw EVLMException(code, "Invalid field number - FieldNo = %d, FieldCount = %d", {fieldNo, count});
}

const TVLMFieldDefs& NoFields() {
  static const TVLMFieldDefs* empty = new TVLMFieldDefs;
  return *empty;
}

// Zeroes the bytes after the text's terminator inside a field of size bytes;
// an unterminated text gets its terminator in the last character place.
void ClearAfterText(uint8_t* field, int32_t size, bool wide) {
  if (size <= 0) return;
  const int32_t unit = wide ? 2 : 1;
  int32_t end = -1;
  for (int32_t i = 0; i + unit <= size; i += unit) {
    if (field[i] == 0 && (!wide || field[i + 1] == 0)) {
      end = i;
      break;
    }
  }
  if (end < 0) end = size - unit;
  if (end >= 0) std::memset(field + end, 0, static_cast<size_t>(size - end));
}

}  // namespace

// -------------------------------------------------------------- TVLMCursor

TVLMCursor::TVLMCursor() = default;
TVLMCursor::~TVLMCursor() = default;

int32_t TVLMCursor::CursorFieldCount() const { return CursorFieldDefs ? CursorFieldDefs->GetCount() : 0; }

int32_t TVLMCursor::TableFieldCount() const { return FieldDefs ? FieldDefs->GetCount() : 0; }

const TVLMFieldDef& TVLMCursor::TableField(int32_t fieldNo, bool tableFieldNo, int32_t tableCode,
                                           int32_t cursorCode, int32_t& tableNo) const {
  if (!tableFieldNo) {
    const int32_t count = CursorFieldCount();
    if (fieldNo < 0 || fieldNo >= count) BadFieldNo(cursorCode, fieldNo, count);
    fieldNo = CursorFieldDefs->GetFieldDef(fieldNo)->FieldNo;
  }
  const int32_t count = TableFieldCount();
  if (fieldNo < 0 || fieldNo >= count) BadFieldNo(tableFieldNo ? tableCode : cursorCode, fieldNo, count);
  tableNo = fieldNo;
  return *FieldDefs->GetFieldDef(fieldNo);
}

void TVLMCursor::SetIndexName(std::string_view name) {
  IndexName = std::string(name);
  const TVLMIndexDef* def = IndexDefs ? IndexDefs->FindIndexDef(name) : nullptr;
  IndexID = def != nullptr ? def->ObjectID : -1;
}

bool TVLMCursor::GetFieldData(int32_t fieldNo, const uint8_t* recordBuffer, void* dest) const {
  const int32_t count = CursorFieldCount();
  if (fieldNo < 0 || fieldNo >= count) BadFieldNo(10005, fieldNo, count);
  // The buffer holds table records: the projected field names its table
  // field, whose null bit and offset are the ones to read.
  const int32_t tableNo = CursorFieldDefs->GetFieldDef(fieldNo)->FieldNo;
  return VLMReadFieldData(tableNo, FieldDefs ? *FieldDefs : NoFields(), dest, recordBuffer);
}

void TVLMCursor::SetFieldData(int32_t fieldNo, uint8_t* recordBuffer, const void* source) const {
  const int32_t count = CursorFieldCount();
  if (fieldNo < 0 || fieldNo >= count) BadFieldNo(10006, fieldNo, count);
  const int32_t tableNo = CursorFieldDefs->GetFieldDef(fieldNo)->FieldNo;
  VLMWriteFieldData(tableNo, FieldDefs ? *FieldDefs : NoFields(), source, recordBuffer);
}

void TVLMCursor::ClearUnusedStringBytes(uint8_t* recordBuffer) const {
  if (recordBuffer == nullptr || !FieldDefs) return;
  for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& field = *FieldDefs->GetFieldDef(i);
    if (!VLMIsStringBaseType(field.BaseType) || field.DataSize <= 0) continue;
    uint8_t* data = recordBuffer + field.BufferOffset;
    if (VLMGetBit(i, recordBuffer))
      std::memset(data, 0, static_cast<size_t>(field.DataSize));
    else
      ClearAfterText(data, field.DataSize, VLMIsWideStringBaseType(field.BaseType));
  }
}

void TVLMCursor::GetFieldValue(TVLMVariant& value, int32_t fieldNo, bool tableFieldNo) const {
  int32_t tableNo = 0;
  const TVLMFieldDef& field = TableField(fieldNo, tableFieldNo, 20191, 10317, tableNo);
  if (RecordBuffer == nullptr) throw EVLMException(10008, "Nil pointer occured");
  if (VLMGetBit(tableNo, RecordBuffer)) {
    value.Clear(field.BaseType);
    return;
  }
  value.SetBuffer(RecordBuffer + field.BufferOffset, field.DataSize, field.BaseType, false);
}

void TVLMCursor::SetFieldValue(const TVLMVariant& value, int32_t fieldNo, bool tableFieldNo,
                               uint8_t* recordBuffer) const {
  int32_t tableNo = 0;
  const TVLMFieldDef& field = TableField(fieldNo, tableFieldNo, 20192, 20193, tableNo);
  uint8_t* buffer = recordBuffer != nullptr ? recordBuffer : RecordBuffer;
  if (buffer == nullptr) throw EVLMException(10001, "Nil pointer occured");
  VLMPutFieldValue(value, field, tableNo, buffer);
}

void VLMPutFieldValue(const TVLMVariant& value, const TVLMFieldDef& field, int32_t nullBit, uint8_t* buffer) {
  if (value.IsNull()) {
    VLMSetBit(true, nullBit, buffer);
    return;
  }
  // Converted first, so a failed conversion leaves the field as it was.
  TVLMVariant converted;
  converted.Assign(value, false);
  converted.CastTo(field.BaseType);
  const bool text = VLMIsStringBaseType(field.BaseType);
  const bool wide = VLMIsWideStringBaseType(field.BaseType);
  const auto* bytes = static_cast<const uint8_t*>(converted.Data);
  // An empty text makes the field null, as it does a value.
  bool emptyText = false;
  if (text && !converted.IsNull())
    emptyText = converted.DataSize < (wide ? 2 : 1) || (bytes[0] == 0 && (!wide || bytes[1] == 0));
  if (converted.IsNull() || emptyText) {
    VLMSetBit(true, nullBit, buffer);
    return;
  }
  VLMSetBit(false, nullBit, buffer);
  uint8_t* data = buffer + field.BufferOffset;
  const int32_t size = std::max(field.DataSize, 0);
  // Never more than the value holds, never more than the field holds.
  const int32_t n = std::min(converted.DataSize, size);
  if (n > 0) std::memmove(data, bytes, static_cast<size_t>(n));
  if (size > n) std::memset(data + n, 0, static_cast<size_t>(size - n));
  if (text && size >= (wide ? 2 : 1)) {
    data[size - 1] = 0;
    if (wide) data[size - 2] = 0;
  }
}

uint8_t* TVLMCursor::AllocRecordBuffer() const {
  return static_cast<uint8_t*>(VLMMemoryManager().AllocMem(RecordBufferSize));
}

uint8_t* TVLMCursor::AllocKeyBuffer() const {
  return static_cast<uint8_t*>(VLMMemoryManager().AllocMem(KeyBufferSize));
}

void TVLMCursor::InitKeyBuffer(uint8_t* buffer) {
  if (buffer == nullptr) return;
  if (KeyBufferSize > 0) std::memset(buffer, 0, static_cast<size_t>(KeyBufferSize));
  InitRecordBuffer(buffer, false);
}

uint8_t* TVLMCursor::SavePosition() const {
  auto* p = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(kVLMSavedPositionSize));
  p[0] = Position.Bof;
  p[1] = Position.Eof;
  VLMPutRecordID(p + 2, Position.RecordID);
  return p;
}

void TVLMCursor::RestorePosition(const uint8_t* position) {
  if (position == nullptr) return;
  Position.Bof = position[0];
  Position.Eof = position[1];
  Position.RecordID = VLMGetRecordID(position + 2);
}

void TVLMCursor::FreePosition(uint8_t*& position) const {
  if (position != nullptr) VLMMemoryManager().FreeMem(position);
}

TVLMKeptPlace::TVLMKeptPlace(TVLMCursor& cursor)
    : Cursor_(cursor),
      Position_(cursor.Position),
      RecordBuffer_(cursor.RecordBuffer),
      Cache_(std::move(cursor.PositionCache)) {
  // The reads in between start from the place alone, with no record kept.
  cursor.PositionCache = TVLMIndexPositionCache();
  cursor.PositionCache.IndexID = Cache_.IndexID;
  cursor.PositionCache.RecordID = Cache_.RecordID;
  cursor.PositionCache.Token = Cache_.Token;
}

TVLMKeptPlace::~TVLMKeptPlace() {
  Cursor_.Position = Position_;
  Cursor_.RecordBuffer = RecordBuffer_;
  Cursor_.PositionCache = std::move(Cache_);
}

TVLMUnmovedCheck::TVLMUnmovedCheck(const TVLMCursor& cursor)
    : Cursor_(cursor),
      Position_(cursor.Position),
      RecordBuffer_(cursor.RecordBuffer),
      IndexID_(cursor.PositionCache.IndexID),
      CacheRecordID_(cursor.PositionCache.RecordID),
      IndexState_(cursor.PositionCache.IndexState.get()),
      RecordState_(cursor.PositionCache.RecordState.get()) {}

bool TVLMUnmovedCheck::Unmoved() const {
  const TVLMCursorPosition& now = Cursor_.Position;
  const TVLMIndexPositionCache& cache = Cursor_.PositionCache;
  return now.Bof == Position_.Bof && now.Eof == Position_.Eof && now.RecordID == Position_.RecordID &&
         Cursor_.RecordBuffer == RecordBuffer_ && cache.IndexID == IndexID_ && cache.RecordID == CacheRecordID_ &&
         cache.IndexState.get() == IndexState_ && cache.RecordState.get() == RecordState_;
}

TVLMUnmovedCheck::~TVLMUnmovedCheck() {
  // A read that failed may leave the cursor anywhere: the caller moves it.
  if (std::uncaught_exceptions() == 0) VLM_INVARIANT("VLMMain 5", Unmoved());
}

void TVLMCursor::ClearRecordBitmap() {
  if (RecordBitmap) RecordBitmap->Reset();
  // What the cursor sees changed: a walk it kept no longer applies.
  PositionCache.SearchState.reset();
}

void TVLMCursor::SetProjection(const qv::StringList& fieldNames, const qv::StringList& aliasNames) {
  if (fieldNames.Count() != aliasNames.Count())
    throw EVLMException(10321, "Error - different list lengths. L1 = %d, L2 = %d",
                        {fieldNames.Count(), aliasNames.Count()});
  if (fieldNames.Count() == 0) throw EVLMException(10322, "No fields were specified while setting projection");
  // Every name is checked before the list changes.
  std::vector<int32_t> tableNos;
  for (int32_t i = 0; i < fieldNames.Count(); ++i) {
    const int32_t tableNo = FieldDefs ? FieldDefs->IndexOfName(fieldNames[i]) : -1;
    if (tableNo < 0) throw EVLMException(10323, "Cannot find field %s", {fieldNames[i]});
    tableNos.push_back(tableNo);
  }
  if (!CursorFieldDefs) CursorFieldDefs = std::make_unique<TVLMFieldDefs>();
  CursorFieldDefs->Clear();
  for (int32_t i = 0; i < fieldNames.Count(); ++i) {
    TVLMFieldDef* copy = CursorFieldDefs->AddFieldDef();
    copy->Assign(*FieldDefs->GetFieldDef(tableNos[static_cast<size_t>(i)]));
    copy->FieldNo = tableNos[static_cast<size_t>(i)];
    const std::string& alias = aliasNames[i];
    if (alias.empty()) continue;
    // The new copy is the last item and still carries the table name; only
    // the fields before it can already hold the alias.
    auto taken = [&](const std::string& name) {
      const int32_t at = CursorFieldDefs->IndexOfName(name);
      return at >= 0 && at < i;
    };
    std::string name = alias;
    for (int32_t suffix = 1; taken(name); ++suffix) name = alias + "_" + std::to_string(suffix);
    copy->Name = name;
  }
  ProjectionSet = true;
}

bool TVLMCursor::IsFiltered() const {
  return FilterTextExpression != nullptr || static_cast<bool>(FilterCallback) || FilterExpression != nullptr;
}

void TVLMCursor::CancelRange() {
  RangeLowKey = nullptr;
  RangeHighKey = nullptr;
  ClearRecordBitmap();
}

void TVLMCursor::SetRange(uint8_t* lowKey, uint8_t* highKey, int32_t lowFieldCount, int32_t highFieldCount,
                          bool lowExclusive, bool highExclusive) {
  RangeLowKey = lowKey;
  RangeHighKey = highKey;
  LowFieldCount = lowFieldCount;
  HighFieldCount = highFieldCount;
  LowExclusive = lowExclusive;
  HighExclusive = highExclusive;
  ClearRecordBitmap();
}

void TVLMCursor::SetFilterExpression(TVLMExpression* expression, TVLMQueryOperator* operand,
                                     TVLMCursor* outerCursor) {
  FilterExpression = expression;
  ClearRecordBitmap();
  if (expression == nullptr) return;
  const TVLMExpressionServices* services = VLMGetExpressionServices();
  if (services == nullptr || services->BindToCursor == nullptr)
    throw qv::Exception("The expression services are not installed");
  services->BindToCursor(*expression, this, operand, outerCursor);
}

void TVLMCursor::RenameField(const std::string& oldName, const std::string& newName) {
  TVLMFieldDef* field = FieldDefs ? FieldDefs->FindFieldDef(oldName) : nullptr;
  if (field == nullptr) throw EVLMException(30345, "Field '%s' not found", {oldName});
  if (FieldDefs->FindFieldDef(newName) != nullptr)
    throw EVLMException(30346, "Cannot rename field '%s'. Field '%s' already exists", {oldName, newName});
  field->Name = newName.substr(0, kVLMMaxNameLength);
}

TVLMIndexDefs* TVLMCursor::GetIndexDefs() { return IndexDefs.get(); }

void TVLMCursor::FreeRecordBuffer(uint8_t*& buffer) {
  if (buffer != nullptr) VLMMemoryManager().FreeMem(buffer);
}

// --------------------------------------------------------- TVLMBaseSession

TVLMBaseSession::~TVLMBaseSession() = default;

void TVLMBaseSession::AddNamedObject(std::unique_ptr<TVLMSessionNamedObject> object) {
  if (!object) return;
  TVLMSessionNamedObject* old =
      object->ObjectID == -1 ? FindNamedObjectByName(object->Name) : FindNamedObjectByID(object->ObjectID);
  if (old != nullptr)
    NamedObjects.erase(std::find_if(NamedObjects.begin(), NamedObjects.end(),
                                    [old](const auto& p) { return p.get() == old; }));
  NamedObjects.push_back(std::move(object));
}

TVLMSessionNamedObject* TVLMBaseSession::FindNamedObjectByName(std::string_view name) {
  const std::string upper = qv::UpperCase1252(name);
  for (const auto& object : NamedObjects)
    if (qv::UpperCase1252(object->Name) == upper) return object.get();
  return nullptr;
}

TVLMSessionNamedObject* TVLMBaseSession::FindNamedObjectByID(int32_t objectID) {
  for (const auto& object : NamedObjects)
    if (object->ObjectID == objectID) return object.get();
  return nullptr;
}

void TVLMBaseSession::RemoveNamedObject(int32_t objectID) {
  TVLMSessionNamedObject* object = FindNamedObjectByID(objectID);
  if (object == nullptr) return;
  NamedObjects.erase(std::find_if(NamedObjects.begin(), NamedObjects.end(),
                                  [object](const auto& p) { return p.get() == object; }));
}

void TVLMBaseSession::CheckInTransaction() const {
  if (!InTransaction)
    throw EVLMException(20229, "Database is not within a transaction. Cannot perform operation");
}
