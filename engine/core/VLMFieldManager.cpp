#include "engine/core/VLMFieldManager.h"

#include <cstring>
#include <limits>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"

namespace {

constexpr int64_t kCounterCountSize = 4;
constexpr int64_t kCounterSize = 8;

// The values a counter of this base type can hold in its record bytes.
struct CounterRange {
  int64_t Low;
  int64_t High;
};

CounterRange RangeOf(TVLMBaseDataType baseType) {
  switch (baseType) {
    case bdtShortInt: return {INT8_MIN, INT8_MAX};
    case bdtSmallInt: return {INT16_MIN, INT16_MAX};
    case bdtInteger: return {INT32_MIN, INT32_MAX};
    case bdtByte: return {0, UINT8_MAX};
    case bdtWord: return {0, UINT16_MAX};
    case bdtCardinal: return {0, UINT32_MAX};
    default: return {INT64_MIN, INT64_MAX};
  }
}

bool IsSignedCounter(TVLMBaseDataType baseType) {
  return baseType == bdtShortInt || baseType == bdtSmallInt || baseType == bdtInteger || baseType == bdtLargeInt;
}

// The counter's bytes of a record buffer, read with the field's sign.
int64_t ReadCounter(const uint8_t* data, int32_t size, bool isSigned) {
  uint64_t raw = 0;
  const int32_t n = size < 8 ? size : 8;
  for (int32_t i = 0; i < n; ++i) raw |= static_cast<uint64_t>(data[i]) << (8 * i);
  if (isSigned && n > 0 && n < 8 && (data[n - 1] & 0x80) != 0) raw |= ~uint64_t{0} << (8 * n);
  return static_cast<int64_t>(raw);
}

void WriteCounter(uint8_t* data, int32_t size, int64_t value) {
  const auto raw = static_cast<uint64_t>(value);
  for (int32_t i = 0; i < size && i < 8; ++i) data[i] = static_cast<uint8_t>(raw >> (8 * i));
}

}  // namespace

TVLMBaseFieldManager::TVLMBaseFieldManager(TVLMTableData* tableData)
    : FieldDefs(std::make_unique<TVLMFieldDefs>()), TableData(tableData) {}

TVLMBaseFieldManager::~TVLMBaseFieldManager() = default;

const TVLMFieldDef& TVLMBaseFieldManager::CounterField(int32_t fieldNo) const {
  if (fieldNo < 0 || fieldNo >= FieldDefs->GetCount()) throw EVLMException(30402, "Field #%d not found", {fieldNo});
  if (fieldNo >= static_cast<int32_t>(AutoincValues.size()))
    throw EVLMException(30403, "Field #%d not found", {fieldNo});
  return *FieldDefs->GetFieldDef(fieldNo);
}

int64_t TVLMBaseFieldManager::IncrementAutoincValue(int32_t fieldNo) {
  const TVLMFieldDef& field = CounterField(fieldNo);
  int64_t& counter = AutoincValues[static_cast<size_t>(fieldNo)];
  const int64_t step = field.Increment == 0 ? 1 : field.Increment;
  auto exceeded = [&] {
    if (!field.Cycled) throw EVLMException(20160, "Autoinc max value exceeded for field '%s'", {field.Name});
    counter = field.MinValue;
  };
  int64_t next = 0;
  // A 64-bit overflow would hand out a value already given.
  if (__builtin_add_overflow(counter, step, &next)) {
    exceeded();
    return counter;
  }
  counter = next;
  // A field that is not a counter has no type limit of its own here.
  const CounterRange range = VLMIsAutoincDataType(field.DataType) ? RangeOf(field.BaseType) : RangeOf(bdtLargeInt);
  if ((field.MaxValue != 0 && counter > field.MaxValue) || counter < range.Low || counter > range.High) exceeded();
  return counter;
}

void TVLMBaseFieldManager::NoteLastValue(TVLMBaseSession* session, const TVLMFieldDef& field, int64_t value) {
  if (session != nullptr)
    session->AddNamedObject(std::make_unique<TVLMSessionNamedObjectSequenceValue>(field.ObjectID, value));
}

int64_t TVLMBaseFieldManager::GetNextAutoincValue(TVLMBaseSession* session, int32_t fieldNo) {
  const int64_t value = IncrementAutoincValue(fieldNo);
  NoteLastValue(session, *FieldDefs->GetFieldDef(fieldNo), value);
  return value;
}

int64_t TVLMBaseFieldManager::GetSequenceLastValue(TVLMBaseSession* session, int32_t fieldNo) {
  const TVLMFieldDef& field = CounterField(fieldNo);
  if (session != nullptr) {
    if (auto* last = dynamic_cast<TVLMSessionNamedObjectSequenceValue*>(session->FindNamedObjectByID(field.ObjectID)))
      return last->Value;
    if (session->MultiUser)
      throw EVLMException(30012, "No SequenceLastValue in session for sequence '%s'. Call GetNextVal first",
                          {field.Name});
  }
  return VLMIsAutoincDataType(field.DataType) ? AutoincValues[static_cast<size_t>(fieldNo)] : 0;
}

void TVLMBaseFieldManager::ApplyAutoincValues(TVLMBaseSession* session, uint8_t* recordBuffer) {
  for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& field = *FieldDefs->GetFieldDef(i);
    if (!VLMIsAutoincDataType(field.DataType)) continue;
    uint8_t* data = recordBuffer + field.BufferOffset;
    if (VLMGetBit(i, recordBuffer)) {
      WriteCounter(data, field.DataSize, GetNextAutoincValue(session, i));
      VLMSetBit(false, i, recordBuffer);
      continue;
    }
    const int64_t given = ReadCounter(data, field.DataSize, IsSignedCounter(field.BaseType));
    CounterField(i);
    int64_t& counter = AutoincValues[static_cast<size_t>(i)];
    if (given > counter) {
      counter = given;
      NoteLastValue(session, field, given);
    }
  }
}

void TVLMBaseFieldManager::ApplyDefaultValues(void*, uint8_t* recordBuffer) {
  for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& field = *FieldDefs->GetFieldDef(i);
    if (VLMIsBLOBBaseType(field.BaseType) || field.DefaultValue.IsNull()) continue;
    if (field.DefaultExpression) {
      const TVLMVariant* value = field.DefaultExpression->GetValue(true);
      TVLMVariant none;
      VLMPutFieldValue(value != nullptr ? *value : none, field, i, recordBuffer);
    } else {
      VLMPutFieldValue(field.DefaultValue, field, i, recordBuffer);
    }
  }
}

void TVLMBaseFieldManager::LoadFromStream(qv::Stream& stream) {
  FieldDefs->LoadFromStream(stream);
  CalculateOffsets();
  ResetAutoincValues();
}

void TVLMBaseFieldManager::SaveToStream(qv::Stream& stream) const { FieldDefs->SaveToStream(stream); }

void TVLMBaseFieldManager::CalculateOffsets() {
  FieldDefs->CalculateOffsets();
  BuildLayout();
}

const TVLMRecordLayout& TVLMBaseFieldManager::Layout() const {
  if (Layout_.FieldCount != FieldDefs->GetCount()) BuildLayout();
  return Layout_;
}

void TVLMBaseFieldManager::BuildLayout() const {
  TVLMRecordLayout layout;
  const int32_t count = FieldDefs->GetCount();
  const int32_t bitmap = VLMNullBitmapSize(count);
  layout.BufferSize = FieldDefs->GetRecordBufferSize();
  layout.StoredSize = FieldDefs->GetStoredRecordSize();
  auto add = [](std::vector<TVLMRecordLayout::Run>& runs, int32_t stored, int32_t buffer, int32_t size) {
    if (size <= 0) return;
    if (!runs.empty()) {
      TVLMRecordLayout::Run& last = runs.back();
      if (last.Stored + last.Size == stored && last.Buffer + last.Size == buffer) {
        last.Size += size;
        return;
      }
    }
    runs.push_back({stored, buffer, size});
  };
  add(layout.Runs, 0, 0, bitmap);
  for (int32_t i = 0; i < count; ++i) {
    const TVLMFieldDef& f = *FieldDefs->GetFieldDef(i);
    add(layout.Runs, f.RecordOffset, f.BufferOffset, f.SizeInRecord);
    if (f.DataSize > f.SizeInRecord) add(layout.Zeros, 0, f.BufferOffset + f.SizeInRecord, f.DataSize - f.SizeInRecord);
    if (VLMIsStringBaseType(f.BaseType) && f.SizeInRecord > 0) {
      const TVLMRecordLayout::Text text{i, f.RecordOffset, f.SizeInRecord, VLMIsWideStringBaseType(f.BaseType)};
      layout.Texts.push_back(text);
      if (!text.Wide) {
        layout.LastUnits.push_back(text.Stored + text.Size - 1);
      } else if (text.Size >= 2) {
        // The units lie at even offsets of the field.
        const int32_t last = text.Stored + (text.Size / 2 - 1) * 2;
        layout.LastUnits.insert(layout.LastUnits.end(), {last, last + 1});
      } else {
        layout.LastUnitsTell = false;
      }
    }
  }
  layout.FieldCount = count;
  Layout_ = std::move(layout);
}

void TVLMBaseFieldManager::ResetAutoincValues() {
  AutoincValues.assign(static_cast<size_t>(FieldDefs->GetCount()), 0);
  for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& field = *FieldDefs->GetFieldDef(i);
    if (VLMIsAutoincDataType(field.DataType)) AutoincValues[static_cast<size_t>(i)] = field.InitialValue;
  }
}

int64_t TVLMBaseFieldManager::AutoincValuesSize() const {
  return kCounterCountSize + kCounterSize * static_cast<int64_t>(AutoincValues.size());
}

void TVLMBaseFieldManager::LoadAutoincValues(const uint8_t* buffer, int64_t bufferSize, int64_t& offset) {
  auto fits = [&](int64_t bytes) { return offset >= 0 && bytes >= 0 && offset <= bufferSize - bytes; };
  if (!fits(kCounterCountSize))
    throw EVLMException(30660, "Invalid autoinc values block. Offset = %d, Size = %d", {offset, bufferSize});
  const int32_t count = VLMGetI32LE(buffer + offset);
  if (count < 0 || !fits(kCounterCountSize + kCounterSize * count))
    throw EVLMException(30660, "Invalid autoinc values block. Offset = %d, Size = %d", {offset, bufferSize});
  offset += kCounterCountSize;
  AutoincValues.assign(static_cast<size_t>(count), 0);
  for (int64_t& value : AutoincValues) {
    value = static_cast<int64_t>(VLMGetU64LE(buffer + offset));
    offset += kCounterSize;
  }
}

void TVLMBaseFieldManager::SaveAutoincValues(uint8_t* buffer, int64_t bufferSize, int64_t& offset) const {
  if (offset < 0 || offset > bufferSize - AutoincValuesSize())
    throw EVLMException(30660, "Invalid autoinc values block. Offset = %d, Size = %d", {offset, bufferSize});
  VLMPutI32LE(buffer + offset, static_cast<int32_t>(AutoincValues.size()));
  offset += kCounterCountSize;
  for (int64_t value : AutoincValues) {
    VLMPutU64LE(buffer + offset, static_cast<uint64_t>(value));
    offset += kCounterSize;
  }
}

void TVLMBaseFieldManager::StoredRecordToBuffer(const uint8_t* stored, uint8_t* buffer) const {
  const TVLMRecordLayout& layout = Layout();
  if (layout.Runs.size() == 1 && layout.Zeros.empty()) {
    // A record without BLOB fields: one run, the whole record.
    const TVLMRecordLayout::Run& run = layout.Runs.front();
    std::memcpy(buffer + run.Buffer, stored + run.Stored, static_cast<size_t>(run.Size));
    return;
  }
  for (const TVLMRecordLayout::Run& run : layout.Runs)
    std::memcpy(buffer + run.Buffer, stored + run.Stored, static_cast<size_t>(run.Size));
  for (const TVLMRecordLayout::Run& zero : layout.Zeros)
    std::memset(buffer + zero.Buffer, 0, static_cast<size_t>(zero.Size));
}

void TVLMBaseFieldManager::BufferToStoredRecord(const uint8_t* buffer, uint8_t* stored) const {
  for (const TVLMRecordLayout::Run& run : Layout().Runs)
    std::memcpy(stored + run.Stored, buffer + run.Buffer, static_cast<size_t>(run.Size));
}

bool TVLMBaseFieldManager::StoredTextsEnd(const uint8_t* stored) const {
  const TVLMRecordLayout& layout = Layout();
  // Every record read comes here: nearly always the last units answer.
  if (layout.LastUnitsTell) {
    uint8_t any = 0;
    for (int32_t at : layout.LastUnits) any |= stored[at];
    if (any == 0) return true;
  }
  for (const TVLMRecordLayout::Text& t : layout.Texts) {
    if (VLMGetBit(t.NullBit, stored)) continue;
    const uint8_t* bytes = stored + t.Stored;
    if (!t.Wide) {
      if (std::memchr(bytes, 0, static_cast<size_t>(t.Size)) == nullptr) return false;
      continue;
    }
    bool ends = false;
    for (int32_t at = 0; at + 1 < t.Size && !ends; at += 2) ends = bytes[at] == 0 && bytes[at + 1] == 0;
    if (!ends) return false;
  }
  return true;
}

bool TVLMBaseFieldManager::CompareRecordBuffers(const uint8_t* buffer1, const uint8_t* buffer2) const {
  if (std::memcmp(buffer1, buffer2, static_cast<size_t>(VLMNullBitmapSize(FieldDefs->GetCount()))) != 0)
    return false;
  for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& f = *FieldDefs->GetFieldDef(i);
    if (std::memcmp(buffer1 + f.BufferOffset, buffer2 + f.BufferOffset, static_cast<size_t>(f.SizeInRecord)) != 0)
      return false;
  }
  return true;
}

bool TVLMBaseFieldManager::HasBlobFields() const {
  for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& f = *FieldDefs->GetFieldDef(i);
    if (!VLMIsBLOBBaseType(f.BaseType)) continue;
    if (f.BlobBlockSize == 0) throw EVLMException(10421, "BLOB block size should be > 0 for field %s", {f.Name});
    return true;
  }
  return false;
}
