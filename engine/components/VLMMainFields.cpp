// VLMMain, dataset part: field data between the fields and the record
// buffers, the writes handed to the cursor, BLOB streams, and the value
// access of the SQL engine.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/ScopeExit.h"

namespace {

// A zeroed exchange area for one field value: on the stack for the usual
// widths, on the heap for wider ones, so a field read or write allocates
// nothing in the common case.
struct ScratchArea {
  explicit ScratchArea(int32_t size) {
    const auto bytes = static_cast<size_t>(size);
    if (bytes > sizeof Local) {
      Heap.resize(bytes);
      Data = Heap.data();
    }
    std::memset(Data, 0, bytes);
  }
  ScratchArea(const ScratchArea&) = delete;
  ScratchArea& operator=(const ScratchArea&) = delete;

  uint8_t Local[256];
  std::vector<uint8_t> Heap;
  uint8_t* Data = Local;
};

constexpr std::string_view kNilPointer = "Nil pointer occured";
constexpr std::string_view kNotOpened = "Dataset is not opened";
constexpr std::string_view kNotEditing = "Dataset is not in insert or edit mode";
constexpr std::string_view kReadOnly = "Dataset is in read only mode";

// Bytes the engine exchanges for a field (VLMBaseEngine.h): its DataSize,
// except the four types exchanged in a wider form.
int32_t ExchangeSize(const TVLMFieldDef& def) {
  switch (def.DataType) {
    case dtShortInt:
      return 2;
    case dtCardinal:
    case dtSingle:
    case dtExtended:
      return 8;
    default:
      return VLMIsBLOBDataType(def.DataType) ? 0 : def.DataSize;
  }
}

// The integer a host field's value holds, for the integer field types.
bool HostInteger(qv::TFieldType type, const uint8_t* buffer, int64_t& value) {
  auto read = [&](auto v) {
    std::memcpy(&v, buffer, sizeof v);
    value = v;
    return true;
  };
  switch (type) {
    case qv::ftSmallint: return read(int16_t{});
    case qv::ftWord: return read(uint16_t{});
    case qv::ftInteger:
    case qv::ftAutoInc: return read(int32_t{});
    case qv::ftLargeint: return read(int64_t{});
    default: return false;
  }
}

bool IsSignedBaseType(TVLMBaseDataType type) {
  return type == bdtShortInt || type == bdtSmallInt || type == bdtInteger || type == bdtLargeInt;
}

// The dataset layer's date-time form: milliseconds counted from day 0 of
// the engine's day numbers.
double StampToHostDateTime(const TVLMTimeStamp& stamp) {
  return static_cast<double>(stamp.Date) * kVLMMSecsPerDay + static_cast<double>(stamp.Time);
}

TVLMTimeStamp HostDateTimeToStamp(double ms) {
  const auto whole = static_cast<int64_t>(std::llround(ms));
  int64_t days = whole / kVLMMSecsPerDay;
  int64_t rest = whole % kVLMMSecsPerDay;
  if (rest < 0) {
    rest += kVLMMSecsPerDay;
    --days;
  }
  TVLMTimeStamp stamp;
  stamp.Date = static_cast<int32_t>(std::clamp<int64_t>(days, INT32_MIN + 1, INT32_MAX));
  stamp.Time = static_cast<int32_t>(rest);
  return stamp;
}

bool IsWritingState(qv::TDataSetState state) {
  switch (state) {
    case qv::dsEdit:
    case qv::dsInsert:
    case qv::dsSetKey:
    case qv::dsCalcFields:
    case qv::dsFilter:
    case qv::dsNewValue:
    case qv::dsInternalCalc:
      return true;
    default:
      return false;
  }
}

// Engine open modes of a BLOB: write 0, read 1, read-write 2.
uint8_t EngineBlobMode(qv::TBlobStreamMode mode) {
  switch (mode) {
    case qv::bmWrite:
      return TVLMCursorBLOBStream::kOpenWrite;
    case qv::bmReadWrite:
      return TVLMCursorBLOBStream::kOpenReadWrite;
    default:
      return TVLMCursorBLOBStream::kOpenRead;
  }
}

}  // namespace

// ---------------------------------------------------- calculated fields

uint8_t* TVLMDataSet::CalcSlot(qv::RecordBuffer buffer, const qv::Field* field) const {
  return buffer + Handle_->CalcFieldsOffset + field->Offset();
}

bool TVLMDataSet::GetCalcFieldData(const qv::Field* field, qv::RecordBuffer recBuf, void* buffer) const {
  // A key buffer has no calculated-field area.
  if (State() == qv::dsSetKey) return false;
  const uint8_t* slot = CalcSlot(recBuf, field);
  if (slot[0] == 0) return false;
  if (buffer == nullptr) return true;
  if (field->DataType() != qv::ftWideString) {
    std::memcpy(buffer, slot + 1, static_cast<size_t>(field->DataSize()));
    return true;
  }
  // The holder's characters, cut to Size and terminated.
  const auto units = static_cast<size_t>(field->DataSize()) / sizeof(char16_t);
  std::vector<char16_t> out(units, u'\0');
  uint32_t holder = 0;
  if (field->DataSize() >= static_cast<int32_t>(sizeof holder)) std::memcpy(&holder, slot + 1, sizeof holder);
  if (holder != 0 && units > 0) {
    const std::u16string& value = TVLMComponentRuntime::HeldWideString(holder);
    std::copy_n(value.begin(), std::min(value.size(), units - 1), out.begin());
  }
  std::memcpy(buffer, out.data(), units * sizeof(char16_t));
  return true;
}

void TVLMDataSet::SetCalcFieldData(const qv::Field* field, qv::RecordBuffer recBuf, const void* buffer) {
  if (State() == qv::dsSetKey) return;
  uint8_t* slot = CalcSlot(recBuf, field);
  slot[0] = buffer != nullptr ? 1 : 0;
  if (buffer == nullptr) return;
  if (field->DataType() != qv::ftWideString) {
    std::memcpy(slot + 1, buffer, static_cast<size_t>(field->DataSize()));
    return;
  }
  // Too small a slot to number a holder (a field of Size 0) keeps no text.
  uint32_t holder = 0;
  if (field->DataSize() < static_cast<int32_t>(sizeof holder)) return;
  const auto units = static_cast<size_t>(field->DataSize()) / sizeof(char16_t);
  std::u16string value;
  for (size_t i = 0; i + 1 < units; ++i) {
    char16_t c;
    std::memcpy(&c, static_cast<const uint8_t*>(buffer) + i * sizeof c, sizeof c);
    if (c == u'\0') break;
    value.push_back(c);
  }
  std::memcpy(&holder, slot + 1, sizeof holder);
  if (holder != 0) {
    TVLMComponentRuntime::HeldWideString(holder) = std::move(value);
  } else {
    holder = TVLMComponentRuntime::HoldWideString(std::move(value));
    std::memcpy(slot + 1, &holder, sizeof holder);
  }
}

// --------------------------------------------------------- data fields

void TVLMDataSet::BuildDirectReads() {
  DirectReads_.clear();
  if (!Handle_ || !Handle_->FieldDefs || !Handle_->CursorFieldDefs) return;
  const TVLMLocalCursor& cursor = *Handle_;
  const TVLMFieldDefs& tableFields = *cursor.FieldDefs;
  const TVLMFieldDefs& cursorFields = *cursor.CursorFieldDefs;
  qv::Fields& fields = GetFields();
  for (int32_t i = 0; i < fields.Count(); ++i) {
    const qv::Field* field = fields[i];
    const int32_t no = field->FieldNo();
    if (no <= 0 || no > cursorFields.GetCount()) continue;
    const TVLMFieldDef& def = *cursorFields.GetFieldDef(no - 1);
    if (def.FieldNo < 0 || def.FieldNo >= tableFields.GetCount()) continue;
    const TVLMFieldDef& stored = *tableFields.GetFieldDef(def.FieldNo);
    // The general read (GetDataFieldData) hands over the engine's bytes as
    // they are for these: same width both sides, no widening, no date-time
    // conversion.
    const bool plain = def.DataType == stored.DataType && def.DataSize == stored.DataSize &&
                       stored.DataSize > 0 && ExchangeSize(def) == stored.DataSize &&
                       field->DataSize() == stored.DataSize && !VLMIsBLOBDataType(stored.DataType) &&
                       !(field->DataType() == qv::ftDateTime && def.BaseType == bdtDateTime);
    if (!plain) continue;
    if (static_cast<size_t>(no) > DirectReads_.size()) DirectReads_.resize(static_cast<size_t>(no));
    DirectReads_[static_cast<size_t>(no) - 1] = {def.FieldNo, stored.BufferOffset, stored.DataSize};
  }
}

bool TVLMDataSet::GetDataFieldData(const qv::Field* field, qv::RecordBuffer recBuf, void* buffer) {
  TVLMLocalCursor& cursor = *Handle_;
  const int32_t engineNo = field->FieldNo() - 1;
  if (buffer == nullptr) return cursor.GetFieldData(engineNo, recBuf, nullptr);
  // The engine's form lands in a zeroed scratch area at least as wide as
  // both forms: a narrower engine value leaves no byte of the field unset.
  const int32_t count = cursor.CursorFieldCount();
  if (engineNo < 0 || engineNo >= count)
    throw EVLMException(10005, "Invalid field number - FieldNo = %d, FieldCount = %d", {engineNo, count});
  const TVLMFieldDef& def = *cursor.CursorFieldDefs->GetFieldDef(engineNo);
  const int32_t exchanged = ExchangeSize(def);
  const int32_t hostSize = field->DataSize();
  ScratchArea area(std::max({exchanged, hostSize, 8}));
  uint8_t* scratch = area.Data;
  if (!cursor.GetFieldData(engineNo, recBuf, scratch)) return false;
  if (IsSignedBaseType(def.BaseType) && exchanged > 0 && exchanged < hostSize &&
      (scratch[exchanged - 1] & 0x80) != 0)
    std::fill(scratch + exchanged, scratch + hostSize, 0xFF);
  if (field->DataType() == qv::ftDateTime && def.BaseType == bdtDateTime) {
    TVLMTimeStamp stamp;
    std::memcpy(&stamp.Date, scratch, sizeof stamp.Date);
    std::memcpy(&stamp.Time, scratch + sizeof stamp.Date, sizeof stamp.Time);
    const double ms = StampToHostDateTime(stamp);
    std::memcpy(scratch, &ms, sizeof ms);
  }
  // Dates and times: the engine's day number and milliseconds are the
  // dataset layer's forms too.
  std::memcpy(buffer, scratch, static_cast<size_t>(hostSize));
  return true;
}

void TVLMDataSet::SetDataFieldData(qv::Field* field, qv::RecordBuffer recBuf, void* buffer) {
  TVLMLocalCursor& cursor = *Handle_;
  const int32_t engineNo = field->FieldNo() - 1;
  field->Validate(buffer);
  if (buffer == nullptr) {
    cursor.SetFieldData(engineNo, recBuf, nullptr);
    return;
  }
  const int32_t count = cursor.CursorFieldCount();
  if (engineNo < 0 || engineNo >= count)
    throw EVLMException(10006, "Invalid field number - FieldNo = %d, FieldCount = %d", {engineNo, count});
  const TVLMFieldDef& def = *cursor.CursorFieldDefs->GetFieldDef(engineNo);
  const int32_t hostSize = field->DataSize();
  // The engine reads its own width from the scratch area, never past the
  // caller's value.
  ScratchArea area(std::max({ExchangeSize(def), hostSize, 8}));
  uint8_t* scratch = area.Data;
  std::memcpy(scratch, buffer, static_cast<size_t>(hostSize));
  // A host field may be wider than its column (SMALLINT for SHORTINT, WORD
  // for BYTE, LARGEINT for CARDINAL): a value the column cannot hold is
  // refused, never cut to the column's width.
  int64_t value = 0;
  int64_t low = 0;
  int64_t high = 0;
  if (VLMIntegerBaseTypeRange(def.BaseType, low, high) && HostInteger(field->DataType(), scratch, value) &&
      (value < low || value > high))
    throw EVLMException(10841, "%s is not a valid value for column '%s' of type %s. The allowed range is %s to %s",
                        {std::to_string(value), def.Name, VLMGetDataTypeName(def.DataType), std::to_string(low),
                         std::to_string(high)});
  if (field->DataType() == qv::ftDateTime && def.BaseType == bdtDateTime) {
    double ms;
    std::memcpy(&ms, scratch, sizeof ms);
    const TVLMTimeStamp stamp = HostDateTimeToStamp(ms);
    std::memcpy(scratch, &stamp.Date, sizeof stamp.Date);
    std::memcpy(scratch + sizeof stamp.Date, &stamp.Time, sizeof stamp.Time);
  }
  cursor.SetFieldData(engineNo, recBuf, scratch);
}

bool TVLMDataSet::GetFieldData(qv::Field* field, void* buffer) {
  qv::RecordBuffer recBuf = GetActiveRecBuf();
  if (!Active() || recBuf == nullptr) return false;
  RequireHandle(10050);
  const int32_t no = field->FieldNo();
  if (no > 0 && static_cast<size_t>(no) <= DirectReads_.size()) {
    const DirectRead& direct = DirectReads_[static_cast<size_t>(no) - 1];
    if (direct.Size > 0) {
      // The field's bytes straight from the record buffer.
      if (VLMGetBit(direct.TableNo, recBuf)) return false;
      if (buffer != nullptr) std::memcpy(buffer, recBuf + direct.Offset, static_cast<size_t>(direct.Size));
      return true;
    }
  }
  if (no > 0) return GetDataFieldData(field, recBuf, buffer);
  return GetCalcFieldData(field, recBuf, buffer);
}

void TVLMDataSet::SetFieldData(qv::Field* field, void* buffer) {
  if (!IsWritingState(State())) throw EVLMException(10007, "Dataset not in edit or insert mode");
  if (State() == qv::dsSetKey && IndexFieldCount_ > 0 && (field->FieldNo() <= 0 || !GetIsIndexField(field)))
    throw EVLMException(20019, "Field %s is not in the current index", {field->DisplayName()});
  qv::RecordBuffer recBuf = GetActiveRecBuf();
  RequireHandle(10051);
  if (recBuf == nullptr) throw EVLMException(10801, kNilPointer);
  if (field->FieldNo() > 0)
    SetDataFieldData(field, recBuf, buffer);
  else
    SetCalcFieldData(field, recBuf, buffer);
  const qv::TDataSetState state = State();
  if (state != qv::dsCalcFields && state != qv::dsFilter && state != qv::dsNewValue)
    DataEvent(qv::deFieldChange, reinterpret_cast<intptr_t>(field));
}

// ---------------------------------------------------------------- writes

void TVLMDataSet::InternalInsert() {
  if (ReadOnly) return;
  TVLMLocalCursor& cursor = RequireHandle(10804);
  cursor.RecordBuffer = GetActiveRecBuf();
  cursor.PrepareInsert();
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
}

void TVLMDataSet::InternalEdit() {
  if (ReadOnly) return;
  TVLMLocalCursor& cursor = RequireHandle(10065);
  qv::RecordBuffer active = GetActiveRecBuf();
  if (active == nullptr) throw EVLMException(10067, kNilPointer);
  // The record as it was read: the post tells a change by another process
  // from it.
  FreeOldBuffer();
  OldBuffer_ = cursor.AllocRecordBuffer();
  std::memcpy(OldBuffer_, active, static_cast<size_t>(cursor.RecordBufferSize));
  cursor.RecordBuffer = active;
  cursor.Edit();
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
}

void TVLMDataSet::InternalCancel() {
  TVLMLocalCursor& cursor = RequireHandle(10066);
  cursor.RecordBuffer = GetActiveRecBuf();
  cursor.Cancel(State() == qv::dsInsert);
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
  // A cancel that failed leaves the edit with the record as it was read:
  // a later post still tells a change by another connection from it.
  FreeOldBuffer();
}

void TVLMDataSet::InternalPost() {
  if (!Active()) throw EVLMException(10029, kNotOpened);
  const bool inserting = State() == qv::dsInsert;
  if (!inserting && State() != qv::dsEdit) throw EVLMException(10030, kNotEditing);
  if (ReadOnly) throw EVLMException(10032, kReadOnly);
  TVLMLocalCursor& cursor = RequireHandle(10048);
  cursor.RecordBuffer = GetActiveRecBuf();
  cursor.OldRecordBuffer = inserting ? nullptr : OldBuffer_;
  cursor.Post(inserting);
  // After a failed edit the old record stays for the cancel to free.
  if (!inserting && cursor.ResultCode == 0) FreeOldBuffer();
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
}

void TVLMDataSet::InternalAddRecord(qv::RecordBuffer buffer, bool) {
  if (!Active()) throw EVLMException(10075, kNotOpened);
  if (State() != qv::dsInsert) throw EVLMException(10076, kNotEditing);
  if (ReadOnly) throw EVLMException(10077, kReadOnly);
  TVLMLocalCursor& cursor = RequireHandle(10078);
  cursor.RecordBuffer = buffer;
  cursor.OldRecordBuffer = nullptr;
  cursor.Post(true);
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
}

void TVLMDataSet::InternalDelete() {
  if (!Active()) throw EVLMException(10068, kNotOpened);
  if (ReadOnly) throw EVLMException(10069, kReadOnly);
  TVLMLocalCursor& cursor = RequireHandle(10070);
  qv::RecordBuffer active = GetActiveRecBuf();
  if (active == nullptr) throw EVLMException(10071, kNilPointer);
  cursor.RecordBuffer = active;
  cursor.DeleteRecord();
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
}

// ----------------------------------------------------------------- BLOBs

TVLMCursorBLOBStream* TVLMDataSet::OpenBlob(qv::Field* field, qv::TBlobStreamMode mode) {
  TVLMLocalCursor& cursor = RequireHandle(10108);
  const qv::TDataSetState state = State();
  if (mode != qv::bmRead && state != qv::dsInsert && state != qv::dsEdit)
    throw EVLMException(10111, "Dataset not in edit or insert mode");
  qv::RecordBuffer recBuf = GetActiveRecBuf();
  // No record (an empty dataset in browse state): no value to open.
  if (recBuf == nullptr) return nullptr;
  uint8_t* current = cursor.RecordBuffer;
  const TVLMCursorPosition saved = cursor.Position;
  auto restore = qv::ScopeExit([&] {
    cursor.Position = saved;
    cursor.RecordBuffer = current;
  });
  cursor.RecordBuffer = recBuf;
  PositionAt(recBuf + cursor.BookmarkOffset);
  qv::Stream* stream = cursor.OpenBlob(state == qv::dsInsert, state == qv::dsEdit, field->FieldNo() - 1,
                                       EngineBlobMode(mode), state == qv::dsBrowse);
  return static_cast<TVLMCursorBLOBStream*>(stream);
}

void TVLMDataSet::CloseBlob(qv::Field* field) {
  TVLMLocalCursor& cursor = RequireHandle(10108);
  uint8_t* current = cursor.RecordBuffer;
  auto restore = qv::ScopeExit([&] { cursor.RecordBuffer = current; });
  cursor.RecordBuffer = GetActiveRecBuf();
  cursor.CloseBlob(field->FieldNo() - 1);
}

std::unique_ptr<qv::Stream> TVLMDataSet::CreateBlobStream(qv::Field* field, qv::TBlobStreamMode mode) {
  if (mode != qv::bmRead && ReadOnly) throw EVLMException(10107, kReadOnly);
  auto stream = std::make_unique<TVLMBLOBStream>(field, mode);
  if (!stream->IsOpen() && !InBlobRefresh_) {
    // The record may have changed under another process: read it again.
    InBlobRefresh_ = true;
    auto done = qv::ScopeExit([&] { InBlobRefresh_ = false; });
    Refresh();
  }
  return stream;
}

// The owner the cursor's stream records. The cursor frees it when it ends
// the BLOB itself; the dataset's stream then reads and writes nothing.
class TVLMBLOBStream::Link : public qv::Stream {
public:
  explicit Link(TVLMBLOBStream& owner) : Owner_(&owner) {}
  ~Link() override {
    if (Owner_ == nullptr) return;
    Owner_->Stream_ = nullptr;
    Owner_->Link_ = nullptr;
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, qv::SeekOrigin) override { return 0; }
  void SetSize(int64_t) override {}

  TVLMBLOBStream* Owner_;
};

TVLMBLOBStream::TVLMBLOBStream(qv::Field* field, qv::TBlobStreamMode mode) {
  auto* dataSet = field != nullptr ? dynamic_cast<TVLMDataSet*>(field->GetDataSet()) : nullptr;
  if (dataSet == nullptr) throw EVLMException(10800, kNilPointer);
  if (mode != qv::bmRead && dataSet->ReadOnly) throw EVLMException(10106, kReadOnly);
  Field_ = dataSet->FieldByName(field->FieldName());
  DataSet_ = dataSet;
  Stream_ = dataSet->OpenBlob(Field_, mode);
  if (Stream_ == nullptr) return;
  Position_ = Stream_->Position();
  Link_ = new Link(*this);
  Stream_->Owner = Link_;
  if (mode == qv::bmWrite) SetSize(Position_);
}

TVLMBLOBStream::~TVLMBLOBStream() {
  if (Stream_ == nullptr) return;
  const bool modified = Stream_->Modified;
  Stream_->Owner = nullptr;
  Link_->Owner_ = nullptr;
  delete Link_;
  Link_ = nullptr;
  Stream_ = nullptr;
  try {
    DataSet_->CloseBlob(Field_);
    if (modified) DataSet_->DataEvent(qv::deFieldChange, reinterpret_cast<intptr_t>(Field_));
  } catch (...) {
    // A destructor does not raise; the cursor keeps nothing of the stream.
  }
}

void TVLMBLOBStream::SetSize(int64_t newSize) {
  if (Stream_ == nullptr) return;
  Stream_->SetSize(newSize);
  if (Stream_->GetSize() == newSize) Stream_->Modified = true;
  Position_ = std::min(Position_, newSize);
}

int64_t TVLMBLOBStream::Read(void* buffer, int64_t count) {
  if (Stream_ == nullptr) return 0;
  Stream_->Seek(Position_, qv::SeekOrigin::Beginning);
  const int64_t read = Stream_->Read(buffer, count);
  Position_ += read;
  return read;
}

int64_t TVLMBLOBStream::Write(const void* buffer, int64_t count) {
  if (Stream_ == nullptr) return 0;
  Stream_->Seek(Position_, qv::SeekOrigin::Beginning);
  const int64_t written = Stream_->Write(buffer, count);
  if (written >= 1) Stream_->Modified = true;
  Position_ += written;
  return written;
}

int64_t TVLMBLOBStream::Seek(int64_t offset, qv::SeekOrigin origin) {
  if (Stream_ == nullptr) return 0;
  switch (origin) {
    case qv::SeekOrigin::Beginning:
      Position_ = offset;
      break;
    case qv::SeekOrigin::Current:
      Position_ += offset;
      break;
    case qv::SeekOrigin::End:
      Position_ = Stream_->GetSize() + offset;
      break;
  }
  return Position_;
}

int64_t TVLMBLOBStream::GetSize() { return Stream_ != nullptr ? Stream_->GetSize() : 0; }

// ------------------------------------------------- the SQL engine's values

void TVLMDataSet::GetFieldVariant(TVLMVariant& value, int32_t fieldNo, bool tableFieldNo) {
  TVLMLocalCursor& cursor = RequireHandle(10315);
  cursor.RecordBuffer = GetActiveRecBuf();
  const TVLMFieldDefs* list = tableFieldNo ? cursor.FieldDefs.get() : cursor.CursorFieldDefs.get();
  const int32_t count = list != nullptr ? list->GetCount() : 0;
  const TVLMFieldDef* def = fieldNo >= 0 && fieldNo < count ? list->GetFieldDef(fieldNo) : nullptr;
  if (def == nullptr || !VLMIsBLOBBaseType(def->BaseType)) {
    cursor.GetFieldValue(value, fieldNo, tableFieldNo);
    return;
  }
  value.Clear(def->BaseType);
  // The dataset's field over that column: for a table field, the projected
  // field read from it.
  int32_t cursorNo = fieldNo;
  if (tableFieldNo) {
    cursorNo = -1;
    for (int32_t i = 0; i < cursor.CursorFieldCount(); ++i)
      if (cursor.CursorFieldDefs->GetFieldDef(i)->FieldNo == fieldNo) cursorNo = i;
  }
  qv::Field* field = cursorNo >= 0 ? FieldByNumber(cursorNo + 1) : nullptr;
  if (field == nullptr) return;
  TVLMBLOBStream stream(field, qv::bmRead);
  const int64_t size = stream.GetSize();
  if (size <= 0) return;
  if (size > INT32_MAX) throw EVLMException(20056, "Buffer size exceeded");
  std::vector<uint8_t> data(static_cast<size_t>(size));
  stream.Seek(0, qv::SeekOrigin::Beginning);
  stream.ReadBuffer(data.data(), size);
  value.SetBuffer(data.data(), static_cast<int32_t>(size), def->BaseType, true);
}

void TVLMDataSet::SetFieldVariant(const TVLMVariant& value, int32_t fieldNo, bool tableFieldNo) {
  TVLMLocalCursor& cursor = RequireHandle(10316);
  cursor.RecordBuffer = GetActiveRecBuf();
  qv::Field* field = fieldNo >= 0 && fieldNo < FieldCount() ? GetFields()[fieldNo] : nullptr;
  if (field != nullptr && field->IsBlob() && !value.IsNull()) {
    TVLMBLOBStream stream(field, qv::bmWrite);
    stream.WriteBuffer(value.Data, value.DataSize);
    return;
  }
  cursor.SetFieldValue(value, fieldNo, tableFieldNo, nullptr);
}

TVLMLocalCursor* TVLMDataSet::CursorAtActiveRecord() {
  TVLMLocalCursor& cursor = RequireHandle(10500);
  qv::RecordBuffer buffer = GetActiveRecBuf();
  if (buffer == nullptr) return nullptr;
  cursor.RecordBuffer = buffer;
  return &cursor;
}

void TVLMDataSet::CopyFieldValue(int32_t fieldNo, bool tableFieldNo, TVLMDataSet* other, int32_t otherFieldNo) {
  TVLMLocalCursor& cursor = RequireHandle(10500);
  if (other == nullptr) throw EVLMException(10503, kNilPointer);
  TVLMLocalCursor& otherCursor = other->RequireHandle(10504);
  cursor.RecordBuffer = GetActiveRecBuf();
  otherCursor.RecordBuffer = other->GetActiveRecBuf();
  cursor.CopyFieldValue(fieldNo, tableFieldNo, &otherCursor, otherFieldNo);
}
