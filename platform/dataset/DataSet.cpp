#include "platform/dataset/DataSet.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/dataset/DataSource.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/CodePage.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace qv {

namespace {

constexpr int32_t kMaxBufferCount = 1024;

bool isWriteMode(TDataSetState state) {
  switch (state) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      return true;
    default:
      return false;
  }
}

// Types whose field form differs from their record-buffer form.
bool needsConversion(TFieldType type) {
  return type == ftDate || type == ftTime || type == ftDateTime || type == ftWideString;
}

// The record-buffer forms of a date-time (FieldTypes.h): the day number of the
// date (days since 0001-01-01, plus one) and the milliseconds since midnight.
struct TimeStamp {
  int32_t Date;
  int32_t Time;
};

TimeStamp dateTimeToTimeStamp(double dateTime, const Field* field) {
  // The day number must fit its 32-bit form; anything else is no date.
  if (!std::isfinite(dateTime) || dateTime < -693593.0 || dateTime > 2146790000.0) {
    DatabaseErrorFmt(dbmsg::SFieldValueError, {field->DisplayName()});
  }
  double days = std::trunc(dateTime);
  auto ms = static_cast<int64_t>(std::llround(std::fabs(dateTime - days) * MSecsPerDay));
  TimeStamp stamp{static_cast<int32_t>(days) + static_cast<int32_t>(DateDelta), 0};
  if (ms >= MSecsPerDay) {  // rounding reached the next day
    ms -= MSecsPerDay;
    stamp.Date += dateTime < 0 ? -1 : 1;
  }
  stamp.Time = static_cast<int32_t>(ms);
  return stamp;
}

double timeStampToDateTime(const TimeStamp& stamp) {
  double result = static_cast<double>(stamp.Date) - DateDelta;
  double fraction = static_cast<double>(stamp.Time) / MSecsPerDay;
  return result < 0 ? result - fraction : result + fraction;
}

// Text forms of a field and of a key for Locate.
bool isTextField(const Field* field) {
  switch (field->DataType()) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      return true;
    default:
      return false;
  }
}

bool textMatches(std::string_view fieldText, std::string_view keyText, TLocateOptions options) {
  if ((options & loPartialKey) != 0) {
    if (fieldText.size() < keyText.size()) return false;
    fieldText = fieldText.substr(0, keyText.size());
  }
  if ((options & loCaseInsensitive) != 0) return CompareText1252(fieldText, keyText, true) == 0;
  return fieldText == keyText;
}

bool wideMatches(std::u16string_view fieldText, std::u16string_view keyText, TLocateOptions options) {
  if ((options & loPartialKey) != 0) {
    if (fieldText.size() < keyText.size()) return false;
    fieldText = fieldText.substr(0, keyText.size());
  }
  if ((options & loCaseInsensitive) != 0) return CompareTextWide(fieldText, keyText, true) == 0;
  return fieldText == keyText;
}

int64_t dateTimeMs(double value) { return std::llround(value * MSecsPerDay); }

bool valueMatches(const Field* field, const HostVariant& key, TLocateOptions options) {
  if (key.IsClear()) return field->IsNull();
  try {
    if (isTextField(field) || field->DataType() == ftBytes || field->DataType() == ftVarBytes) {
      return textMatches(field->AsString(), key.AsString(), options);
    }
    if (field->DataType() == ftWideString) return wideMatches(field->AsWideString(), key.AsWideString(), options);
    if (field->IsNull()) return false;
    switch (field->DataType()) {
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
        return field->AsLargeInt() == key.AsInt64();
      case ftFloat:
      case ftCurrency:
        return field->AsFloat() == key.AsDouble();
      case ftBoolean:
        return field->AsBoolean() == key.AsBoolean();
      case ftDate:
      case ftTime:
      case ftDateTime:
        return dateTimeMs(field->AsDateTime()) == dateTimeMs(key.AsDateTime());
      default:
        return textMatches(field->AsString(), key.AsString(), options);
    }
  } catch (const EVariantError&) {
    return false;  // a key that cannot be a value of this field matches nothing
  } catch (const EConvertError&) {
    return false;
  }
}

}  // namespace

// ---------------------------------------------------------------- life

DataSet::DataSet(Component* owner) : Component(owner), Fields_(this), FieldDefs_(this), IndexDefs_(this) {
  ClearBuffers();
}

DataSet::~DataSet() {
  // The subclass closes the dataset in its own destructor: buffers and cursor
  // are its own. Here only the links to data sources are cut, without the
  // virtual calls a detach makes (the subclass part is gone).
  std::vector<DataSource*> sources = std::move(DataSources_);
  DataSources_.clear();
  for (DataSource* source : sources) {
    source->DataSet_ = nullptr;
    source->DataEvent(deUpdateState, 0);
  }
}

void DataSet::CloseForDestruction() {
  SuppressCloseEvents_ = true;
  try {
    SetActive(false);
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
}

void DataSet::Notification(Component* component, Operation operation) {
  if (operation == Operation::Remove) {
    for (const auto& field : Fields_) {
      if (field->LookupDataSet_ == component) field->LookupDataSet_ = nullptr;
    }
  }
  Component::Notification(component, operation);
}

void DataSet::CheckActive() const {
  if (State_ == dsInactive) DatabaseError(dbmsg::SDataSetClosed, this);
}

void DataSet::CheckInactive() const {
  if (State_ != dsInactive) DatabaseError(dbmsg::SDataSetOpen, this);
}

// ---------------------------------------------------------------- open / close

void DataSet::SetActive(bool value) {
  if (Active() == value) return;
  if (value) {
    CallEvent(BeforeOpen);
    {
      // A failed open leaves nothing open behind it.
      auto closeOnFailure = ScopeExit([this] {
        SetState(dsInactive);
        CloseCursor();
      });
      OpenCursor(false);
      closeOnFailure.Release();
    }
    OpenCursorComplete();
  } else {
    bool events = !Destroying() && !SuppressCloseEvents_;
    if (events) CallEvent(BeforeClose);
    SetState(dsInactive);
    CloseCursor();
    if (events) CallEvent(AfterClose);
  }
}

void DataSet::OpenCursor(bool infoQuery) {
  if (infoQuery) {
    InternalInitFieldDefs();
  } else {
    DoInternalOpen();
  }
}

void DataSet::DoInternalOpen() {
  DefaultFields_ = FieldCount() == 0;
  InternalOpen();
  InternalOpenComplete_ = true;
  ClearBuffers();
  UpdateBufferCount();
  BOF_ = true;
}

void DataSet::OpenCursorComplete() {
  SetState(dsBrowse);
  CallEvent(AfterOpen);
  if (!IsEmpty()) DoAfterScroll();
}

void DataSet::CloseCursor() {
  InternalOpenComplete_ = false;
  ClearBuffers();
  SetBufListSize(0);
  CalcBuffer_ = nullptr;
  InternalClose();
  BufferCount_ = 0;
  DefaultFields_ = false;
}

void DataSet::InitFieldDefs() {
  if (IsCursorOpen()) {
    InternalInitFieldDefs();
    return;
  }
  auto close = ScopeExit([this] { CloseCursor(); });
  OpenCursor(true);
}

// ---------------------------------------------------------------- fields

void DataSet::CreateFields() {
  for (int32_t i = 0; i < FieldDefs_.Count(); ++i) {
    FieldDef* def = FieldDefs_[i];
    if (def->DataType() == ftUnknown) continue;
    Field* field = def->CreateField(this);
    if (field != nullptr) field->Default_ = true;
  }
}

void DataSet::DestroyFields() {
  for (int32_t i = Fields_.Count() - 1; i >= 0; --i) {
    if (Fields_.List_[static_cast<size_t>(i)]->Default_) Fields_.List_.erase(Fields_.List_.begin() + i);
  }
}

namespace {

bool compatibleTypes(TFieldType fieldType, TFieldType defType) {
  if (fieldType == defType) return true;
  auto isString = [](TFieldType t) { return t == ftString || t == ftFixedChar || t == ftGuid; };
  if (isString(fieldType) && isString(defType)) return true;
  return IsBlobType(fieldType) && IsBlobType(defType);
}

}  // namespace

void DataSet::BindFields(bool binding) {
  CalcFieldsSize_ = 0;
  for (const auto& fieldPtr : Fields_) {
    Field* field = fieldPtr.get();
    if (!binding) {
      field->FieldNo_ = 0;
      continue;
    }
    if (field->FieldKind_ == fkCalculated || field->FieldKind_ == fkLookup) {
      if (field->IsBlob()) DatabaseErrorFmt(dbmsg::SInvalidCalcType, {field->DisplayName()}, this);
      if (field->FieldKind_ == fkLookup &&
          (field->LookupDataSet_ == nullptr || field->KeyFields_.empty() || field->LookupKeyFields_.empty() ||
           field->LookupResultField_.empty())) {
        DatabaseErrorFmt(dbmsg::SLookupInfoError, {field->DisplayName()}, this);
      }
      field->FieldNo_ = -1;
      field->Offset_ = CalcFieldsSize_;
      CalcFieldsSize_ += field->DataSize() + 1;
    } else {
      int32_t index = FieldDefs_.IndexOf(field->FieldName());
      if (index < 0) DatabaseErrorFmt(dbmsg::SFieldNotFound, {field->DisplayName()}, this);
      FieldDef* def = FieldDefs_[index];
      if (!compatibleTypes(field->DataType(), def->DataType())) {
        DatabaseErrorFmt(dbmsg::SFieldTypeMismatch,
                         {field->DisplayName(), FieldTypeName(field->DataType()), FieldTypeName(def->DataType())},
                         this);
      }
      field->FieldNo_ = def->FieldNo();
      // The storage decides the size of a sized type.
      if (field->IsSizedType()) field->Size_ = def->Size();
    }
  }
}

void DataSet::CheckRequiredFields() {
  for (const auto& field : Fields_) {
    if (field->Required() && !field->ReadOnly() && field->FieldKind() == fkData && field->IsNull()) {
      DatabaseErrorFmt(dbmsg::SFieldRequired, {field->DisplayName()});
    }
  }
}

void DataSet::GetFieldList(std::vector<Field*>& list, std::string_view fieldNames) const {
  size_t pos = 0;
  while (pos < fieldNames.size()) {
    std::string name = ExtractFieldName(fieldNames, pos);
    if (name.empty()) continue;
    list.push_back(FieldByName(name));
  }
}

HostVariant DataSet::FieldValues(std::string_view fieldNames) const {
  std::vector<Field*> fields;
  GetFieldList(fields, fieldNames);
  if (fields.size() == 1) return fields[0]->Value();
  std::vector<HostVariant> values;
  values.reserve(fields.size());
  for (Field* field : fields) values.push_back(field->Value());
  return HostVariant::ArrayOf(values);
}

void DataSet::SetFieldValues(std::string_view fieldNames, const HostVariant& values) {
  std::vector<Field*> fields;
  GetFieldList(fields, fieldNames);
  if (fields.size() == 1 && !values.IsArray()) {
    fields[0]->SetValue(values);
    return;
  }
  int32_t low = values.ArrayLowBound(1);
  for (size_t i = 0; i < fields.size(); ++i) {
    fields[i]->SetValue(values.GetElement({low + static_cast<int32_t>(i)}));
  }
}

bool DataSet::GetFieldData(Field* field, void* buffer, bool nativeFormat) {
  auto readNative = [&](void* dest) -> bool {
    if (field->Validating_) {  // OnValidate reads the proposed value
      if (field->ValueBuffer_ == nullptr) return false;
      if (dest != nullptr) std::memcpy(dest, field->ValueBuffer_, static_cast<size_t>(field->DataSize()));
      return true;
    }
    return GetFieldData(field, dest);
  };
  if (nativeFormat || buffer == nullptr || !needsConversion(field->DataType())) return readNative(buffer);
  std::vector<uint8_t> temp(static_cast<size_t>(field->DataSize()));
  if (!readNative(temp.data())) return false;
  DataConvert(field, temp.data(), buffer, false);
  return true;
}

void DataSet::SetFieldData(Field* field, void* buffer, bool nativeFormat) {
  if (field->FieldKind() == fkData && field->ReadOnly() && (State_ == dsEdit || State_ == dsInsert)) {
    DatabaseErrorFmt(dbmsg::SFieldReadOnly, {field->DisplayName()});
  }
  if (nativeFormat || buffer == nullptr || !needsConversion(field->DataType())) {
    SetFieldData(field, buffer);
    return;
  }
  std::vector<uint8_t> temp(static_cast<size_t>(field->DataSize()));
  DataConvert(field, buffer, temp.data(), true);
  SetFieldData(field, temp.data());
}

void DataSet::DataConvert(Field* field, const void* source, void* dest, bool toNative) {
  switch (field->DataType()) {
    case ftDate:
    case ftTime:
    case ftDateTime: {
      if (toNative) {
        double value;
        std::memcpy(&value, source, sizeof value);
        TimeStamp stamp = dateTimeToTimeStamp(value, field);
        if (field->DataType() == ftDate) {
          std::memcpy(dest, &stamp.Date, sizeof stamp.Date);
        } else if (field->DataType() == ftTime) {
          std::memcpy(dest, &stamp.Time, sizeof stamp.Time);
        } else {
          double ms = static_cast<double>(stamp.Date) * MSecsPerDay + stamp.Time;
          std::memcpy(dest, &ms, sizeof ms);
        }
      } else {
        double value = 0;
        if (field->DataType() == ftDate) {
          int32_t date;
          std::memcpy(&date, source, sizeof date);
          value = timeStampToDateTime({date, 0});
        } else if (field->DataType() == ftTime) {
          int32_t time;
          std::memcpy(&time, source, sizeof time);
          value = static_cast<double>(time) / MSecsPerDay;
        } else {
          double ms;
          std::memcpy(&ms, source, sizeof ms);
          if (!std::isfinite(ms) || std::fabs(ms) > 9.0e16) ms = 0;  // no valid stamp: day 0
          double days = std::trunc(ms / MSecsPerDay);
          TimeStamp stamp{static_cast<int32_t>(days), static_cast<int32_t>(ms - days * MSecsPerDay)};
          value = timeStampToDateTime(stamp);
        }
        std::memcpy(dest, &value, sizeof value);
      }
      break;
    }
    case ftWideString: {
      const auto size = static_cast<size_t>(std::max(field->Size(), 0));
      if (toNative) {
        const auto& text = *static_cast<const std::u16string*>(source);
        size_t n = std::min(text.size(), size);
        std::u16string_view view(text.data(), n);
        // A zero inside the text ends it, as in the record form.
        size_t zero = view.find(u'\0');
        if (zero != std::u16string_view::npos) n = zero;
        auto* out = static_cast<char16_t*>(dest);
        std::memset(out, 0, (size + 1) * sizeof(char16_t));
        std::memcpy(out, text.data(), n * sizeof(char16_t));
      } else {
        // The record form may sit at an odd offset: read unit by unit.
        const auto* in = static_cast<const uint8_t*>(source);
        std::u16string text;
        for (size_t i = 0; i < size; ++i) {
          char16_t c;
          std::memcpy(&c, in + 2 * i, sizeof c);
          if (c == u'\0') break;
          text.push_back(c);
        }
        *static_cast<std::u16string*>(dest) = std::move(text);
      }
      break;
    }
    default:
      std::memcpy(dest, source, static_cast<size_t>(field->DataSize()));
      break;
  }
}

std::unique_ptr<Stream> DataSet::CreateBlobStream(Field* field, TBlobStreamMode mode) { return nullptr; }

// ---------------------------------------------------------------- calculated fields

void DataSet::GetCalcFields(RecordBuffer buffer) {
  if (CalcFieldsSize_ <= 0) return;
  TDataSetState saved = State_;
  State_ = dsCalcFields;
  auto restore = ScopeExit([&] { State_ = saved; });
  CalculateFields(buffer);
}

void DataSet::CalculateFields(RecordBuffer buffer) {
  CalcBuffer_ = buffer;
  if (State_ != dsInternalCalc) {
    ClearCalcFields(CalcBuffer_);
    for (const auto& field : Fields_) {
      if (field->FieldKind() == fkLookup) CalcLookupValue(field.get());
    }
  }
  DoOnCalcFields();
}

void DataSet::CalcLookupValue(Field* field) {
  DataSet* lookup = field->LookupDataSet_;
  if (lookup == nullptr || !lookup->Active()) return;
  field->SetAsVariant(lookup->Lookup(field->LookupKeyFields_, FieldValues(field->KeyFields_), field->LookupResultField_));
}

void DataSet::DoOnCalcFields() { CallEvent(OnCalcFields); }
void DataSet::DoOnNewRecord() { CallEvent(OnNewRecord); }
void DataSet::DoBeforeScroll() { CallEvent(BeforeScroll); }
void DataSet::DoAfterScroll() { CallEvent(AfterScroll); }

void DataSet::InitRecord(RecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfInserted);
}

// ---------------------------------------------------------------- state

void DataSet::SetState(TDataSetState value) {
  if (State_ == value) return;
  State_ = value;
  Modified_ = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState DataSet::SetTempState(TDataSetState value) {
  TDataSetState result = State_;
  State_ = value;
  ++DisableCount_;
  return result;
}

void DataSet::RestoreState(TDataSetState value) {
  State_ = value;
  --DisableCount_;
}

RecordBuffer DataSet::ActiveRecordBuffer() const {
  switch (State_) {
    case dsBrowse:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
      return ActiveBuffer();
    case dsCalcFields:
    case dsInternalCalc:
      return CalcBuffer_;
    case dsFilter:
      return FilterBuffer_;
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------- events

void DataSet::DataEvent(TDataEvent event, intptr_t info) {
  switch (event) {
    case deFieldChange: {
      auto* field = reinterpret_cast<Field*>(info);
      if (field != nullptr && (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc)) {
        SetModified(true);
      }
      // A changed data value may change the calculated fields of the record.
      if (State_ != dsSetKey && field != nullptr && field->FieldKind() == fkData && CalcFieldsSize_ > 0 &&
          ActiveBuffer() != nullptr) {
        GetCalcFields(ActiveBuffer());
      }
      break;
    }
    case dePropertyChange:
      FieldDefs_.SetUpdated(false);
      break;
    default:
      break;
  }
  if (!ControlsDisabled() && State_ != dsBlockRead) {
    if (DataSources_.empty()) return;
    std::vector<DataSource*> sources = DataSources_;  // a handler may detach one
    for (DataSource* source : sources) {
      if (std::find(DataSources_.begin(), DataSources_.end(), source) != DataSources_.end()) {
        source->DataEvent(event, info);
      }
    }
  } else if ((event == deUpdateState && State_ == dsInactive) || event == deLayoutChange) {
    EnableEvent_ = deLayoutChange;
  }
}

void DataSet::DisableControls() {
  if (DisableCount_ == 0) {
    DisableState_ = State_;
    EnableEvent_ = deDataSetChange;
  }
  ++DisableCount_;
}

void DataSet::EnableControls() {
  if (DisableCount_ == 0) return;
  --DisableCount_;
  if (DisableCount_ == 0) {
    if (DisableState_ != State_) DataEvent(deUpdateState, 0);
    if (DisableState_ != dsInactive && State_ != dsInactive) DataEvent(EnableEvent_, 0);
  }
}

// ---------------------------------------------------------------- data sources

void DataSet::AddDataSource(DataSource* dataSource) {
  DataSources_.push_back(dataSource);
  dataSource->DataSet_ = this;
  UpdateBufferCount();
  dataSource->DataEvent(deUpdateState, 0);
}

void DataSet::RemoveDataSource(DataSource* dataSource) {
  dataSource->DataSet_ = nullptr;
  DataSources_.erase(std::remove(DataSources_.begin(), DataSources_.end(), dataSource), DataSources_.end());
  dataSource->DataEvent(deUpdateState, 0);
  UpdateBufferCount();
}

bool DataSet::IsLinkedTo(DataSource* dataSource) {
  std::vector<DataSource*> seen;
  while (dataSource != nullptr) {
    if (std::find(seen.begin(), seen.end(), dataSource) != seen.end()) return false;  // a loop elsewhere
    seen.push_back(dataSource);
    DataSet* dataSet = dataSource->GetDataSet();
    if (dataSet == nullptr) break;
    if (dataSet == this) return true;
    dataSource = dataSet->GetDataSource();
  }
  return false;
}

// ---------------------------------------------------------------- buffers

void DataSet::SetBufListSize(int32_t value) {
  auto size = static_cast<size_t>(value);
  if (Buffers_.size() > size) {
    for (size_t i = size; i < Buffers_.size(); ++i) FreeRecordBuffer(Buffers_[i]);
    Buffers_.resize(size);
  } else {
    Buffers_.reserve(size);
    while (Buffers_.size() < size) Buffers_.push_back(AllocRecordBuffer());
  }
}

void DataSet::SetBufferCount(int32_t value) {
  value = std::clamp(value, 1, kMaxBufferCount);
  if (value == BufferCount_) return;
  auto adjustFirstRecord = [this](int32_t delta) {
    if (delta == 0) return;
    for (DataSource* source : DataSources_) {
      for (DataLink* link : source->DataLinks_) {
        if (link->Active_) link->FirstRecord_ += delta;
      }
    }
  };
  if (value < BufferCount_ && !Buffers_.empty()) {
    // Keep the active record on show: drop records from the front first.
    if (ActiveRecord_ > value - 1) {
      int32_t delta = ActiveRecord_ - value + 1;
      for (int32_t i = 0; i < delta; ++i) MoveBuffer(0, static_cast<int32_t>(Buffers_.size()) - 1);
      ActiveRecord_ -= delta;
      BufferRecordCount_ -= delta;
      adjustFirstRecord(-delta);
    }
    if (BufferRecordCount_ > value) BufferRecordCount_ = value;
    CursorPosChanged();
  }
  SetBufListSize(value + 1);
  BufferCount_ = value;
  if (!Destroying() && IsCursorOpen()) {
    GetNextRecords();
    adjustFirstRecord(GetPriorRecords());
  }
}

void DataSet::UpdateBufferCount() {
  if (!IsCursorOpen()) return;
  int32_t maxCount = 1;
  for (DataSource* source : DataSources_) {
    for (DataLink* link : source->DataLinks_) maxCount = std::max(maxCount, link->BufferCount_);
  }
  SetBufferCount(maxCount);
}

void DataSet::ClearBuffers() {
  BufferRecordCount_ = 0;
  ActiveRecord_ = 0;
  CurrentRecord_ = -1;
  BOF_ = true;
  EOF_ = true;
}

void DataSet::ActivateBuffers() {
  BufferRecordCount_ = 1;
  ActiveRecord_ = 0;
  CurrentRecord_ = 0;
  BOF_ = false;
  EOF_ = false;
}

void DataSet::MoveBuffer(int32_t curIndex, int32_t newIndex) {
  if (curIndex == newIndex) return;
  auto first = Buffers_.begin();
  if (curIndex < newIndex) {
    std::rotate(first + curIndex, first + curIndex + 1, first + newIndex + 1);
  } else {
    std::rotate(first + newIndex, first + curIndex, first + curIndex + 1);
  }
}

void DataSet::SetCurrentRecord(int32_t index) {
  if (CurrentRecord_ == index) return;
  RecordBuffer buffer = Buffers_[static_cast<size_t>(index)];
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  CurrentRecord_ = index;
}

void DataSet::UpdateCursorPos() {
  if (BufferRecordCount_ > 0) SetCurrentRecord(ActiveRecord_);
}

bool DataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (BufferRecordCount_ > 0) {
    SetCurrentRecord(BufferRecordCount_ - 1);
    if (State_ == dsInsert && CurrentRecord_ == ActiveRecord_ && GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
      mode = gmCurrent;
    }
  }
  bool result = GetRecord(Buffers_[static_cast<size_t>(BufferRecordCount_)], mode, true) == grOK;
  if (result) {
    if (BufferRecordCount_ == 0) {
      ActivateBuffers();
    } else if (BufferRecordCount_ < BufferCount_) {
      ++BufferRecordCount_;
    } else {
      MoveBuffer(0, BufferRecordCount_);
    }
    CurrentRecord_ = BufferRecordCount_ - 1;
  } else {
    CursorPosChanged();
  }
  return result;
}

bool DataSet::GetPriorRecord() {
  if (BufferRecordCount_ > 0) SetCurrentRecord(0);
  bool result = GetRecord(Buffers_[static_cast<size_t>(BufferRecordCount_)], gmPrior, true) == grOK;
  if (result) {
    if (BufferRecordCount_ == 0) {
      ActivateBuffers();
    } else {
      MoveBuffer(BufferRecordCount_, 0);
      if (BufferRecordCount_ < BufferCount_) {
        ++BufferRecordCount_;
        ++ActiveRecord_;
      }
    }
    CurrentRecord_ = 0;
  } else {
    CursorPosChanged();
  }
  return result;
}

int32_t DataSet::GetNextRecords() {
  int32_t result = 0;
  while (BufferRecordCount_ < BufferCount_ && GetNextRecord()) ++result;
  return result;
}

int32_t DataSet::GetPriorRecords() {
  int32_t result = 0;
  while (BufferRecordCount_ < BufferCount_ && GetPriorRecord()) ++result;
  return result;
}

// ---------------------------------------------------------------- navigation

void DataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  auto finish = ScopeExit([this] {
    BOF_ = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
  });
  InternalFirst();
  GetNextRecord();
  GetNextRecords();
}

void DataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  auto finish = ScopeExit([this] {
    EOF_ = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
  });
  InternalLast();
  GetPriorRecord();
  GetPriorRecords();
}

int32_t DataSet::MoveBy(int32_t distance) {
  CheckBrowseMode();
  int32_t result = 0;
  DoBeforeScroll();
  if ((distance > 0 && !EOF_) || (distance < 0 && !BOF_)) {
    BOF_ = false;
    EOF_ = false;
    int32_t scrollCount = 0;
    auto finish = [&] {
      DataEvent(deDataSetScroll, scrollCount);
      DoAfterScroll();
    };
    // The events follow the move also when it fails (the move's failure
    // reaches the caller); written out rather than as a ScopeExit, which
    // looks at the exceptions in flight twice per row of a walk.
    try {
      MoveRecords(distance, result, scrollCount);
    } catch (...) {
      try {
        finish();
      } catch (...) {
      }
      throw;
    }
    finish();
  }
  return result;
}

void DataSet::MoveRecords(int32_t distance, int32_t& result, int32_t& scrollCount) {
  while (distance > 0) {
    if (ActiveRecord_ < BufferRecordCount_ - 1) {
      ++ActiveRecord_;
    } else {
      int32_t shift = BufferRecordCount_ < BufferCount_ ? 0 : 1;
      if (GetNextRecord()) {
        scrollCount -= shift;
      } else {
        EOF_ = true;
        break;
      }
    }
    --distance;
    ++result;
  }
  while (distance < 0) {
    if (ActiveRecord_ > 0) {
      --ActiveRecord_;
    } else {
      int32_t shift = BufferRecordCount_ < BufferCount_ ? 0 : 1;
      if (GetPriorRecord()) {
        scrollCount += shift;
      } else {
        BOF_ = true;
        break;
      }
    }
    ++distance;
    --result;
  }
}

void DataSet::Resync(TResyncMode mode) {
  RecordBuffer spare = Buffers_[static_cast<size_t>(BufferRecordCount_)];
  if ((mode & rmExact) != 0) {
    CursorPosChanged();
    if (GetRecord(spare, gmCurrent, true) != grOK) DatabaseError(dbmsg::SRecordNotFound, this);
  } else if (GetRecord(spare, gmCurrent, false) != grOK && GetRecord(spare, gmNext, false) != grOK &&
             GetRecord(spare, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int32_t count = (mode & rmCenter) != 0 ? (BufferCount_ - 1) / 2 : ActiveRecord_;
  MoveBuffer(BufferRecordCount_, 0);
  ActivateBuffers();
  auto changed = ScopeExit([this] { DataEvent(deDataSetChange, 0); });
  while (count > 0 && GetPriorRecord()) --count;
  GetNextRecords();
  GetPriorRecords();
}

void DataSet::Refresh() {
  CallEvent(BeforeRefresh);
  CheckBrowseMode();
  UpdateCursorPos();
  {
    auto resync = ScopeExit([this] { Resync(0); });
    InternalRefresh();
  }
  CallEvent(AfterRefresh);
}

void DataSet::SetRecNo(int32_t value) {}

// ---------------------------------------------------------------- editing

void DataSet::CheckOperation(void (DataSet::*operation)()) {
  UpdateCursorPos();
  (this->*operation)();
}

void DataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (State_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (Modified_) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void DataSet::UpdateRecord() {
  if (!isWriteMode(State_)) DatabaseError(dbmsg::SNotEditing, this);
  DataEvent(deUpdateRecord, 0);
}

void DataSet::Edit() {
  if (State_ == dsEdit || State_ == dsInsert) return;
  if (BufferRecordCount_ == 0) {
    Append();
    return;
  }
  CheckBrowseMode();
  if (!CanModify()) DatabaseError(dbmsg::SDataSetReadOnly, this);
  CallEvent(BeforeEdit);
  CheckOperation(&DataSet::InternalEdit);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  CallEvent(AfterEdit);
}

void DataSet::BeginInsertAppend() {
  CheckBrowseMode();
  if (!CanModify()) DatabaseError(dbmsg::SDataSetReadOnly, this);
  CallEvent(BeforeInsert);
  DoBeforeScroll();
}

void DataSet::EndInsertAppend() {
  SetState(dsInsert);
  {
    // A failed new-record event leaves the dataset browsing where it was.
    auto browseOnFailure = ScopeExit([this] {
      UpdateCursorPos();
      SetState(dsBrowse);
      Resync(0);
    });
    DoOnNewRecord();
    browseOnFailure.Release();
  }
  Modified_ = false;
  DataEvent(deDataSetChange, 0);
  CallEvent(AfterInsert);
  DoAfterScroll();
}

void DataSet::Insert() {
  BeginInsertAppend();
  Bookmark oldCurrent = GetBookmark();
  MoveBuffer(BufferRecordCount_, ActiveRecord_);
  RecordBuffer buffer = ActiveBuffer();
  InitRecord(buffer);
  if (BufferRecordCount_ == 0) {
    SetBookmarkFlag(buffer, bfBOF);
  } else {
    SetBookmarkData(buffer, oldCurrent.empty() ? nullptr : oldCurrent.data());
  }
  if (BufferRecordCount_ < BufferCount_) ++BufferRecordCount_;
  InternalInsert();
  EndInsertAppend();
}

void DataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  RecordBuffer buffer = Buffers_[0];
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  BufferRecordCount_ = 1;
  BOF_ = false;
  GetPriorRecords();
  InternalInsert();
  EndInsertAppend();
}

void DataSet::Post() {
  UpdateRecord();
  if (State_ != dsEdit && State_ != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  CallEvent(BeforePost);
  CheckRequiredFields();
  CheckOperation(&DataSet::InternalPost);
  SetState(dsBrowse);
  Resync(0);
  CallEvent(AfterPost);
}

void DataSet::Cancel() {
  if (State_ != dsEdit && State_ != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  CallEvent(BeforeCancel);
  bool scrollEvents = State_ == dsInsert;
  if (scrollEvents) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  SetState(dsBrowse);
  Resync(0);
  CallEvent(AfterCancel);
  if (scrollEvents) DoAfterScroll();
}

void DataSet::Delete() {
  CheckActive();
  if (State_ == dsInsert || State_ == dsSetKey) {
    Cancel();
    return;
  }
  if (BufferRecordCount_ == 0) DatabaseError(dbmsg::SDataSetEmpty, this);
  DataEvent(deCheckBrowseMode, 0);
  CallEvent(BeforeDelete);
  DoBeforeScroll();
  CheckOperation(&DataSet::InternalDelete);
  SetState(dsBrowse);
  Resync(0);
  CallEvent(AfterDelete);
  DoAfterScroll();
}

// ---------------------------------------------------------------- bookmarks

bool DataSet::BookmarkAvailable() {
  return (State_ == dsBrowse || State_ == dsEdit || State_ == dsInsert) && !IsEmpty() &&
         GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

Bookmark DataSet::GetBookmark() {
  Bookmark result;
  if (BookmarkAvailable() && BookmarkSize_ > 0) {
    result.resize(static_cast<size_t>(BookmarkSize_));
    GetBookmarkData(ActiveBuffer(), result.data());
  }
  return result;
}

void DataSet::GotoBookmark(const Bookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

bool DataSet::BookmarkValid(const uint8_t* bookmark) { return false; }

int32_t DataSet::CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) {
  if (bookmark1 == nullptr && bookmark2 == nullptr) return 0;
  if (bookmark1 == nullptr) return 1;
  if (bookmark2 == nullptr) return -1;
  return 0;
}

// ---------------------------------------------------------------- searching

bool DataSet::RecordMatches(const std::vector<Field*>& fields, const HostVariant& keyValues,
                            TLocateOptions options) const {
  if (fields.size() == 1) {
    if (keyValues.IsArray()) return valueMatches(fields[0], keyValues.GetElement({keyValues.ArrayLowBound(1)}), options);
    return valueMatches(fields[0], keyValues, options);
  }
  int32_t low = keyValues.ArrayLowBound(1);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!valueMatches(fields[i], keyValues.GetElement({low + static_cast<int32_t>(i)}), options)) return false;
  }
  return true;
}

bool DataSet::LocateRecord(std::string_view keyFields, const HostVariant& keyValues, TLocateOptions options) {
  CheckBrowseMode();
  std::vector<Field*> fields;
  GetFieldList(fields, keyFields);
  if (fields.empty()) return false;
  // Several fields want one value each.
  if (fields.size() > 1 &&
      (!keyValues.IsArray() || keyValues.ArrayHighBound(1) - keyValues.ArrayLowBound(1) + 1 <
                                   static_cast<int32_t>(fields.size()))) {
    DatabaseErrorFmt(dbmsg::SFieldValueError, {std::string(keyFields)}, this);
  }
  CursorPosChanged();
  RecordBuffer buffer = TempBuffer();
  auto filterState = EnterFilterState(buffer);
  InternalFirst();
  while (GetRecord(buffer, gmNext, true) == grOK)
    if (RecordMatches(fields, keyValues, options)) return true;
  return false;
}

bool DataSet::Locate(std::string_view keyFields, const HostVariant& keyValues, TLocateOptions options) {
  DoBeforeScroll();
  bool found = LocateRecord(keyFields, keyValues, options);
  if (found) {
    Resync(rmExact | rmCenter);
    DoAfterScroll();
  }
  return found;
}

HostVariant DataSet::Lookup(std::string_view keyFields, const HostVariant& keyValues, std::string_view resultFields) {
  if (!LocateRecord(keyFields, keyValues, 0)) return HostVariant::Null();
  TDataSetState saved = SetTempState(dsCalcFields);
  auto restore = ScopeExit([&] { RestoreState(saved); });
  CalculateFields(TempBuffer());
  return FieldValues(resultFields);
}

bool DataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  UpdateCursorPos();
  CursorPosChanged();
  if (restart) {
    if (goForward) {
      InternalFirst();
    } else {
      InternalLast();
    }
  }
  const bool found = FindRecordStep(goForward);
  if (found) {
    Resync(rmExact | rmCenter);
    DoAfterScroll();
  }
  return found;
}

bool DataSet::FindRecordStep(bool goForward) {
  return GetRecord(TempBuffer(), goForward ? gmNext : gmPrior, false) == grOK;
}

// ---------------------------------------------------------------- filters

void DataSet::SetFilterText(std::string_view value) { Filter_ = std::string(value); }
void DataSet::SetFiltered(bool value) { Filtered_ = value; }
void DataSet::SetFilterOptions(TFilterOptions value) { FilterOptions_ = value; }
void DataSet::SetOnFilterRecord(FilterRecordEvent value) { OnFilterRecord_ = std::move(value); }

}  // namespace qv
