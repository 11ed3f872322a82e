#include "tests/support/MemDataSet.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/os/Collation.h"

namespace qv {

namespace {

constexpr int32_t kBookmarkSize = 8;  // the row number
constexpr int32_t kMaxColumnSize = 65535;
constexpr int64_t kMaxBlobSize = int64_t{1} << 30;
constexpr std::string_view kReadOnlyMessage = "Dataset is in read only mode";
constexpr std::string_view kKeyViolation = "Key violation";
constexpr std::string_view kNoTable = "Missing table definition";
constexpr std::string_view kStructureLocked = "Cannot change the structure of a table that holds records";

bool isTextType(TFieldType type) { return type == ftString || type == ftFixedChar || type == ftGuid; }

std::string_view textAt(const uint8_t* data, int32_t size) {
  const auto* chars = reinterpret_cast<const char*>(data);
  size_t n = 0;
  while (n < static_cast<size_t>(size) && chars[n] != '\0') ++n;
  return {chars, n};
}

std::u16string wideAt(const uint8_t* data, int32_t size) {
  std::u16string text;
  for (int32_t i = 0; i + 1 < size; i += 2) {
    char16_t c;
    std::memcpy(&c, data + i, sizeof c);
    if (c == u'\0') break;
    text.push_back(c);
  }
  return text;
}

template <class T>
T valueAt(const uint8_t* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

template <class T>
int32_t compareValues(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// NaN (which only raw record data can hold) sorts first, so that ordering
// stays a strict weak order.
int32_t compareDoubles(double a, double b) {
  bool nanA = std::isnan(a);
  bool nanB = std::isnan(b);
  if (nanA || nanB) return nanA == nanB ? 0 : (nanA ? -1 : 1);
  return compareValues(a, b);
}

// The names of a field list, which may also be separated by ",".
std::vector<std::string> splitNames(std::string_view names) {
  std::string list(names);
  std::replace(list.begin(), list.end(), ',', ';');
  std::vector<std::string> result;
  size_t pos = 0;
  while (pos < list.size()) {
    std::string name = ExtractFieldName(list, pos);
    if (!name.empty()) result.push_back(std::move(name));
  }
  return result;
}

bool listHas(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

}  // namespace

// ---------------------------------------------------------------- MemBlobStream

// A BLOB value in memory. A stream that may write hands its value to the
// dataset when it is destroyed (a write-mode stream always does: opening for
// writing empties the value).
class MemBlobStream : public MemoryStream {
public:
  MemBlobStream(MemDataSet* owner, Field* field, int32_t blobIndex, std::string data, bool writable)
      : MemoryStream(std::move(data)), Owner_(owner), Field_(field), BlobIndex_(blobIndex), Writable_(writable) {}

  ~MemBlobStream() override {
    if (!Modified_) return;
    try {
      Owner_->BlobWritten(Field_, BlobIndex_, TakeData());
    } catch (...) {
      // A destructor cannot report; the value stays as it was.
    }
  }

  int64_t Write(const void* buffer, int64_t count) override {
    if (!Writable_ || (count > 0 && Position() > kMaxBlobSize - count)) return 0;
    const int64_t n = MemoryStream::Write(buffer, count);
    if (n > 0) Modified_ = true;
    return n;
  }

  // The position stays where it was, also past the new end.
  void SetSize(int64_t newSize) override {
    if (!Writable_) throw EWriteError("Stream write error");
    if (newSize < 0 || newSize > kMaxBlobSize) throw EWriteError("Stream write error");
    const int64_t position = Position();
    MemoryStream::SetSize(newSize);
    SetPosition(position);
    Modified_ = true;
  }

  void MarkModified() { Modified_ = true; }

private:
  MemDataSet* Owner_;
  Field* Field_;
  int32_t BlobIndex_;
  bool Writable_;
  bool Modified_ = false;
};

class MemDataSet::ScratchBuffer {
public:
  explicit ScratchBuffer(MemDataSet& dataSet) : DataSet_(dataSet), Buffer_(dataSet.AllocRecordBuffer()) {}
  ~ScratchBuffer() { DataSet_.FreeRecordBuffer(Buffer_); }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;
  RecordBuffer get() const { return Buffer_; }

private:
  MemDataSet& DataSet_;
  RecordBuffer Buffer_;
};

// ---------------------------------------------------------------- MemTable

MemTable::MemTable() = default;
MemTable::~MemTable() = default;

void MemTable::EmptyTable() {
  Rows_.clear();
  ++ChangeStamp_;
}

void MemTable::Prepare() {
  std::vector<Column> columns;
  int32_t offset = 0;
  int32_t blobs = 0;
  for (int32_t i = 0; i < FieldDefs_.Count(); ++i) {
    FieldDef* def = FieldDefs_[i];
    def->SetFieldNo(i + 1);
    if (def->Size() < 0 || def->Size() > kMaxColumnSize) DatabaseError(dbmsg::SInvalidFieldSize);
    Column column{def->DataType(), def->Size(), offset, FieldDataSize(def->DataType(), def->Size()), -1};
    if (IsBlobType(def->DataType())) column.BlobIndex = blobs++;
    offset += 1 + column.DataSize;
    columns.push_back(column);
  }
  if (!Rows_.empty()) {
    bool same = columns.size() == Columns_.size();
    for (size_t i = 0; same && i < columns.size(); ++i) {
      same = columns[i].Type == Columns_[i].Type && columns[i].Size == Columns_[i].Size;
    }
    if (!same) DatabaseError(kStructureLocked);
  }
  Columns_ = std::move(columns);
  RecordSize_ = offset;
  BlobCount_ = blobs;
}

// ---------------------------------------------------------------- MemDataSet: life

MemDataSet::MemDataSet(Component* owner) : DataSet(owner) { BookmarkSize_ = kBookmarkSize; }

MemDataSet::~MemDataSet() { CloseForDestruction(); }

void MemDataSet::SetTable(MemTable* table) {
  CheckInactive();
  Table_ = table;
  if (OwnTable_ && OwnTable_.get() != table) OwnTable_.reset();
  GetFieldDefs().SetUpdated(false);
  GetIndexDefs().SetUpdated(false);
}

void MemDataSet::CreateTable() {
  CheckInactive();
  auto table = std::make_unique<MemTable>();
  table->GetFieldDefs().Assign(GetFieldDefs());
  table->GetIndexDefs().Assign(GetIndexDefs());
  table->Prepare();
  OwnTable_ = std::move(table);
  Table_ = OwnTable_.get();
}

void MemDataSet::EmptyTable() {
  if (Table_ == nullptr) return;
  if (Active()) CheckBrowseMode();
  Table_->EmptyTable();
  Cursor_ = CursorAt::Bof;
  if (Active()) Resync(0);
}

// ---------------------------------------------------------------- opening

void MemDataSet::InternalOpen() {
  if (Table_ == nullptr) {
    if (GetFieldDefs().Count() == 0) DatabaseError(kNoTable, this);
    CreateTable();
  }
  Table_->Prepare();
  CursorOpen_ = true;
  GetFieldDefs().SetUpdated(false);
  GetFieldDefs().Update();
  GetIndexDefs().SetUpdated(false);
  GetIndexDefs().Update();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  RecordSize_ = Table_->RecordSize_;
  BookmarkOffset_ = RecordSize_;
  FlagOffset_ = BookmarkOffset_ + kBookmarkSize;
  CalcOffset_ = FlagOffset_ + 1;
  BufferSize_ = CalcOffset_ + CalcFieldsSize();
  ResolveIndex();
  ViewStamp_ = 0;
  Cursor_ = CursorAt::Bof;
  CursorRowId_ = 0;
  PendingBlobs_.clear();
}

void MemDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  CursorOpen_ = false;
  View_.clear();
  PositionById_.clear();
  ViewStamp_ = 0;
  KeyColumns_.clear();
  PendingBlobs_.clear();
}

void MemDataSet::InternalInitFieldDefs() {
  if (Table_ != nullptr) {
    Table_->Prepare();
    GetFieldDefs().Assign(Table_->FieldDefs_);
  }
}

void MemDataSet::UpdateIndexDefs() {
  if (Table_ != nullptr) GetIndexDefs().Assign(Table_->IndexDefs_);
}

// ---------------------------------------------------------------- order

void MemDataSet::SetIndexName(std::string_view name) {
  if (name == IndexName_ && IndexFieldNames_.empty()) return;
  ChangeIndex(std::string(name), std::string());
}

void MemDataSet::SetIndexFieldNames(std::string_view names) {
  if (names == IndexFieldNames_ && (names.empty() || IndexName_.empty())) return;
  ChangeIndex(std::string(), std::string(names));
}

void MemDataSet::ChangeIndex(std::string name, std::string fields) {
  if (!Active()) {
    IndexName_ = std::move(name);
    IndexFieldNames_ = std::move(fields);
    return;
  }
  CheckBrowseMode();
  UpdateCursorPos();
  std::string oldName = std::exchange(IndexName_, std::move(name));
  std::string oldFields = std::exchange(IndexFieldNames_, std::move(fields));
  {
    auto restoreOnFailure = ScopeExit([&] {
      IndexName_ = std::move(oldName);
      IndexFieldNames_ = std::move(oldFields);
      ResolveIndex();
    });
    ResolveIndex();
    restoreOnFailure.Release();
  }
  Resync(0);
}

void MemDataSet::ResolveIndex() {
  std::vector<KeyColumn> keys;
  std::vector<std::string> names;
  std::vector<std::string> descending;
  std::vector<std::string> caseInsensitive;
  TIndexOptions options = 0;
  if (!IndexFieldNames_.empty()) {
    names = splitNames(IndexFieldNames_);
  } else if (!IndexName_.empty()) {
    int32_t index = Table_->IndexDefs_.IndexOf(IndexName_);
    if (index < 0) DatabaseErrorFmt(dbmsg::SIndexNotFound, {IndexName_}, this);
    IndexDef* def = Table_->IndexDefs_[index];
    names = splitNames(def->Fields());
    descending = splitNames(def->DescFields());
    caseInsensitive = splitNames(def->CaseInsFields());
    options = def->Options();
  }
  for (const std::string& name : names) {
    int32_t column = Table_->FieldDefs_.IndexOf(name);
    if (column < 0) DatabaseErrorFmt(dbmsg::SFieldNotFound, {name}, this);
    bool desc = listHas(descending, name) || ((options & ixDescending) != 0 && descending.empty());
    bool caseIns = listHas(caseInsensitive, name) || ((options & ixCaseInsensitive) != 0 && caseInsensitive.empty());
    keys.push_back({column, desc, caseIns});
  }
  KeyColumns_ = std::move(keys);
  ViewStamp_ = 0;  // the order changed
}

int32_t MemDataSet::CompareColumn(const MemTable::Column& column, const uint8_t* a, const uint8_t* b,
                                  bool caseInsensitive) const {
  const uint8_t* pa = a + column.Offset;
  const uint8_t* pb = b + column.Offset;
  bool nullA = pa[0] != 0;
  bool nullB = pb[0] != 0;
  if (nullA || nullB) return nullA == nullB ? 0 : (nullA ? -1 : 1);  // null sorts first
  ++pa;
  ++pb;
  switch (column.Type) {
    case ftString:
    case ftFixedChar:
    case ftGuid: {
      int c = CompareText1252(textAt(pa, column.DataSize), textAt(pb, column.DataSize), caseInsensitive);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ftWideString: {
      int c = CompareTextWide(wideAt(pa, column.DataSize), wideAt(pb, column.DataSize), caseInsensitive);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ftSmallint:
      return compareValues(valueAt<int16_t>(pa), valueAt<int16_t>(pb));
    case ftWord:
      return compareValues(valueAt<uint16_t>(pa), valueAt<uint16_t>(pb));
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
      return compareValues(valueAt<int32_t>(pa), valueAt<int32_t>(pb));
    case ftLargeint:
      return compareValues(valueAt<int64_t>(pa), valueAt<int64_t>(pb));
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
      return compareDoubles(valueAt<double>(pa), valueAt<double>(pb));
    case ftBoolean:
      return compareValues(valueAt<int16_t>(pa) != 0, valueAt<int16_t>(pb) != 0);
    case ftBytes: {
      int c = std::memcmp(pa, pb, static_cast<size_t>(column.DataSize));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ftVarBytes: {
      auto la = std::min<int32_t>(valueAt<uint16_t>(pa), column.Size);
      auto lb = std::min<int32_t>(valueAt<uint16_t>(pb), column.Size);
      std::string_view va(reinterpret_cast<const char*>(pa + kVarBytesLengthSize), static_cast<size_t>(la));
      std::string_view vb(reinterpret_cast<const char*>(pb + kVarBytesLengthSize), static_cast<size_t>(lb));
      int c = va.compare(vb);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    default:
      return 0;  // BLOBs do not order
  }
}

int32_t MemDataSet::CompareRows(const MemTable::Row& a, const MemTable::Row& b) const {
  for (const KeyColumn& key : KeyColumns_) {
    const MemTable::Column& column = Table_->Columns_[static_cast<size_t>(key.Column)];
    int32_t c = CompareColumn(column, a.Data.data(), b.Data.data(), key.CaseInsensitive);
    if (c != 0) return key.Descending ? -c : c;
  }
  return compareValues(a.Id, b.Id);
}

void MemDataSet::EnsureView() {
  if (ViewStamp_ == Table_->ChangeStamp_) return;
  View_.clear();
  View_.reserve(Table_->Rows_.size());
  for (const auto& row : Table_->Rows_) View_.push_back(row.get());
  if (!KeyColumns_.empty()) {
    std::sort(View_.begin(), View_.end(),
              [this](const MemTable::Row* a, const MemTable::Row* b) { return CompareRows(*a, *b) < 0; });
  }
  PositionById_.clear();
  for (size_t i = 0; i < View_.size(); ++i) PositionById_[View_[i]->Id] = static_cast<int64_t>(i);
  ViewStamp_ = Table_->ChangeStamp_;

  // The cursor stays on its row; when the row is gone it stands on the row
  // that took its place (or at the end).
  auto n = static_cast<int64_t>(View_.size());
  if (Cursor_ == CursorAt::Row) {
    auto it = PositionById_.find(CursorRowId_);
    if (it != PositionById_.end()) {
      CursorIndex_ = it->second;
    } else if (CursorIndex_ >= 0 && CursorIndex_ < n) {
      CursorRowId_ = View_[static_cast<size_t>(CursorIndex_)]->Id;
    } else {
      Cursor_ = CursorAt::Eof;
    }
  }
  if (Cursor_ == CursorAt::Bof) CursorIndex_ = -1;
  if (Cursor_ == CursorAt::Eof) CursorIndex_ = n;
}

int64_t MemDataSet::PositionOf(int64_t id) {
  EnsureView();
  auto it = PositionById_.find(id);
  return it == PositionById_.end() ? -1 : it->second;
}

MemTable::Row* MemDataSet::FindRow(int64_t id) {
  int64_t pos = PositionOf(id);
  return pos < 0 ? nullptr : View_[static_cast<size_t>(pos)];
}

// ---------------------------------------------------------------- buffers

RecordBuffer MemDataSet::AllocRecordBuffer() {
  auto* buffer = new uint8_t[static_cast<size_t>(BufferSize_)]();
  return buffer;
}

void MemDataSet::FreeRecordBuffer(RecordBuffer& buffer) {
  delete[] buffer;
  buffer = nullptr;
}

int32_t MemDataSet::GetRecordSize() { return RecordSize_; }

int64_t MemDataSet::BookmarkOf(RecordBuffer buffer) const { return valueAt<int64_t>(buffer + BookmarkOffset_); }

void MemDataSet::GetBookmarkData(RecordBuffer buffer, void* data) {
  std::memcpy(data, buffer + BookmarkOffset_, kBookmarkSize);
}

TBookmarkFlag MemDataSet::GetBookmarkFlag(RecordBuffer buffer) {
  return static_cast<TBookmarkFlag>(buffer[FlagOffset_]);
}

void MemDataSet::SetBookmarkData(RecordBuffer buffer, const void* data) {
  if (data != nullptr) std::memcpy(buffer + BookmarkOffset_, data, kBookmarkSize);
}

void MemDataSet::SetBookmarkFlag(RecordBuffer buffer, TBookmarkFlag value) {
  buffer[FlagOffset_] = static_cast<uint8_t>(value);
}

void MemDataSet::InternalInitRecord(RecordBuffer buffer) {
  std::memset(buffer, 0, static_cast<size_t>(CalcOffset_));
  for (const MemTable::Column& column : Table_->Columns_) buffer[column.Offset] = 1;  // every field null
}

void MemDataSet::ClearCalcFields(RecordBuffer buffer) {
  if (CalcFieldsSize() > 0) std::memset(buffer + CalcOffset_, 0, static_cast<size_t>(CalcFieldsSize()));
}

void MemDataSet::LoadRow(const MemTable::Row& row, RecordBuffer buffer) {
  std::memcpy(buffer, row.Data.data(), static_cast<size_t>(RecordSize_));
  std::memcpy(buffer + BookmarkOffset_, &row.Id, kBookmarkSize);
  buffer[FlagOffset_] = bfCurrent;
}

// ---------------------------------------------------------------- cursor

void MemDataSet::InternalFirst() {
  Cursor_ = CursorAt::Bof;
  CursorIndex_ = -1;
  CursorRowId_ = 0;
}

void MemDataSet::InternalLast() {
  Cursor_ = CursorAt::Eof;
  CursorIndex_ = static_cast<int64_t>(View_.size());
  CursorRowId_ = 0;
}

void MemDataSet::InternalGotoBookmark(const void* bookmark) {
  int64_t id = valueAt<int64_t>(static_cast<const uint8_t*>(bookmark));
  int64_t pos = PositionOf(id);
  if (pos < 0) DatabaseError(dbmsg::SRecordNotFound, this);
  Cursor_ = CursorAt::Row;
  CursorIndex_ = pos;
  CursorRowId_ = id;
}

void MemDataSet::InternalSetToRecord(RecordBuffer buffer) { InternalGotoBookmark(buffer + BookmarkOffset_); }

bool MemDataSet::FilterActive() const { return (Filtered() || ForceFilter_) && static_cast<bool>(OnFilterRecord()); }

bool MemDataSet::Accepts(RecordBuffer buffer) {
  if (!FilterActive()) return true;
  auto filterState = EnterFilterState(buffer);
  bool accept = true;
  OnFilterRecord()(*this, accept);
  return accept;
}

TGetResult MemDataSet::GetRecord(RecordBuffer buffer, TGetMode getMode, bool doCheck) {
  EnsureView();
  const auto n = static_cast<int64_t>(View_.size());
  for (;;) {
    if (getMode == gmNext) {
      if (Cursor_ == CursorAt::Eof) return grEOF;
      int64_t next = Cursor_ == CursorAt::Bof ? 0 : CursorIndex_ + 1;
      if (next >= n) {
        Cursor_ = CursorAt::Eof;
        CursorIndex_ = n;
        return grEOF;
      }
      CursorIndex_ = next;
    } else if (getMode == gmPrior) {
      if (Cursor_ == CursorAt::Bof) return grBOF;
      int64_t prior = Cursor_ == CursorAt::Eof ? n - 1 : CursorIndex_ - 1;
      if (prior < 0) {
        Cursor_ = CursorAt::Bof;
        CursorIndex_ = -1;
        return grBOF;
      }
      CursorIndex_ = prior;
    } else if (Cursor_ != CursorAt::Row) {
      if (doCheck) DatabaseError(dbmsg::SRecordNotFound, this);
      return grError;
    }
    const MemTable::Row& row = *View_[static_cast<size_t>(CursorIndex_)];
    Cursor_ = CursorAt::Row;
    CursorRowId_ = row.Id;
    LoadRow(row, buffer);
    GetCalcFields(buffer);
    if (Accepts(buffer)) return grOK;
    if (getMode == gmCurrent) {
      if (doCheck) DatabaseError(dbmsg::SRecordNotFound, this);
      return grError;
    }
  }
}

int32_t MemDataSet::GetRecordCount() {
  if (!Active() || Table_ == nullptr) return 0;
  EnsureView();
  if (!FilterActive()) return static_cast<int32_t>(View_.size());
  ScratchBuffer scratch(*this);
  int32_t count = 0;
  for (MemTable::Row* row : View_) {
    LoadRow(*row, scratch.get());
    GetCalcFields(scratch.get());
    if (Accepts(scratch.get())) ++count;
  }
  return count;
}

int32_t MemDataSet::GetRecNo() {
  if (!Active() || State() == dsInsert) return -1;
  RecordBuffer buffer = State() == dsCalcFields ? CalcBuffer() : (IsEmpty() ? nullptr : ActiveBuffer());
  if (buffer == nullptr || GetBookmarkFlag(buffer) != bfCurrent) return -1;
  int64_t pos = PositionOf(BookmarkOf(buffer));
  if (pos < 0) return -1;
  if (!FilterActive()) return static_cast<int32_t>(pos + 1);
  ScratchBuffer scratch(*this);
  int32_t number = 0;
  for (int64_t i = 0; i <= pos; ++i) {
    LoadRow(*View_[static_cast<size_t>(i)], scratch.get());
    GetCalcFields(scratch.get());
    if (Accepts(scratch.get())) ++number;
  }
  return number;
}

void MemDataSet::SetRecNo(int32_t value) {
  CheckBrowseMode();
  if (value < 1) return;
  EnsureView();
  int64_t target = -1;
  if (!FilterActive()) {
    if (value <= static_cast<int64_t>(View_.size())) target = value - 1;
  } else {
    ScratchBuffer scratch(*this);
    int32_t number = 0;
    for (size_t i = 0; i < View_.size() && target < 0; ++i) {
      LoadRow(*View_[i], scratch.get());
      GetCalcFields(scratch.get());
      if (Accepts(scratch.get()) && ++number == value) target = static_cast<int64_t>(i);
    }
  }
  if (target < 0) return;
  DoBeforeScroll();
  Cursor_ = CursorAt::Row;
  CursorIndex_ = target;
  CursorRowId_ = View_[static_cast<size_t>(target)]->Id;
  Resync(rmCenter);
  DoAfterScroll();
}

bool MemDataSet::BookmarkValid(const uint8_t* bookmark) {
  if (bookmark == nullptr || !IsCursorOpen()) return false;
  return PositionOf(valueAt<int64_t>(bookmark)) >= 0;
}

int32_t MemDataSet::CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) {
  if (bookmark1 == nullptr || bookmark2 == nullptr) return DataSet::CompareBookmarks(bookmark1, bookmark2);
  int64_t id1 = valueAt<int64_t>(bookmark1);
  int64_t id2 = valueAt<int64_t>(bookmark2);
  if (!IsCursorOpen()) return compareValues(id1, id2);
  int64_t p1 = PositionOf(id1);
  int64_t p2 = PositionOf(id2);
  if (p1 < 0 || p2 < 0) return compareValues(id1, id2);
  return compareValues(p1, p2);
}

bool MemDataSet::GetCurrentRecord(RecordBuffer buffer) {
  if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
  UpdateCursorPos();
  return GetRecord(buffer, gmCurrent, false) == grOK;
}

bool MemDataSet::FindRecordStep(bool goForward) {
  // The filter event decides during the search only; the records shown
  // around the one found follow Filtered as always.
  ForceFilter_ = true;
  auto restore = ScopeExit([this] { ForceFilter_ = false; });
  return DataSet::FindRecordStep(goForward);
}

void MemDataSet::SetFiltered(bool value) {
  if (!Active()) {
    DataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value == Filtered()) return;
  DataSet::SetFiltered(value);
  if (value) {
    First();
  } else {
    Refresh();
  }
}

void MemDataSet::SetOnFilterRecord(FilterRecordEvent value) {
  if (Active()) CheckBrowseMode();
  DataSet::SetOnFilterRecord(std::move(value));
  if (Active() && Filtered()) First();
}

// ---------------------------------------------------------------- field data

const MemTable::Column& MemDataSet::ColumnOf(const Field* field) const {
  auto index = static_cast<size_t>(field->FieldNo() - 1);
  if (index >= Table_->Columns_.size()) DatabaseErrorFmt(dbmsg::SFieldNotFound, {field->DisplayName()}, this);
  return Table_->Columns_[index];
}

bool MemDataSet::GetFieldData(Field* field, void* buffer) {
  RecordBuffer record = ActiveRecordBuffer();
  if (record == nullptr || Table_ == nullptr) return false;
  if (field->FieldNo() > 0) {
    const MemTable::Column& column = ColumnOf(field);
    const uint8_t* data = record + column.Offset;
    if (data[0] != 0) return false;
    if (buffer != nullptr && column.DataSize > 0) std::memcpy(buffer, data + 1, static_cast<size_t>(column.DataSize));
    return true;
  }
  if (field->FieldNo() < 0) {
    const uint8_t* data = record + CalcOffset_ + field->Offset();
    if (data[0] == 0) return false;
    if (buffer != nullptr) std::memcpy(buffer, data + 1, static_cast<size_t>(field->DataSize()));
    return true;
  }
  return false;
}

void MemDataSet::SetFieldData(Field* field, void* buffer) {
  TDataSetState state = State();
  bool writable = state == dsEdit || state == dsInsert || state == dsSetKey || state == dsCalcFields ||
                  state == dsFilter || state == dsNewValue || state == dsInternalCalc;
  RecordBuffer record = ActiveRecordBuffer();
  if (!writable || record == nullptr) DatabaseError(dbmsg::SNotEditing, this);
  if (field->FieldNo() > 0) {
    if (state == dsCalcFields) DatabaseError(dbmsg::SNotEditing, this);
    field->Validate(buffer);
    const MemTable::Column& column = ColumnOf(field);
    uint8_t* data = record + column.Offset;
    bool null = buffer == nullptr;
    if (!null && isTextType(column.Type)) null = static_cast<const char*>(buffer)[0] == '\0';
    if (!null && column.Type == ftWideString) {
      const auto* first = static_cast<const uint8_t*>(buffer);
      null = (first[0] | first[1]) == 0;
    }
    if (column.BlobIndex >= 0) {
      // BLOB values are written through their stream; here only cleared.
      if (null) {
        if (record == ActiveBuffer()) PendingBlobs_[column.BlobIndex].clear();
        data[0] = 1;
      }
    } else if (null) {
      data[0] = 1;
      std::memset(data + 1, 0, static_cast<size_t>(column.DataSize));
    } else {
      data[0] = 0;
      std::memcpy(data + 1, buffer, static_cast<size_t>(column.DataSize));
    }
  } else if (field->FieldNo() < 0) {
    uint8_t* data = record + CalcOffset_ + field->Offset();
    data[0] = buffer != nullptr ? 1 : 0;
    if (buffer != nullptr) {
      std::memcpy(data + 1, buffer, static_cast<size_t>(field->DataSize()));
    } else {
      std::memset(data + 1, 0, static_cast<size_t>(field->DataSize()));
    }
  } else {
    DatabaseErrorFmt(dbmsg::SFieldNotFound, {field->DisplayName()}, this);
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue && state != dsInternalCalc) {
    DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
  }
}

std::unique_ptr<Stream> MemDataSet::CreateBlobStream(Field* field, TBlobStreamMode mode) {
  if (Table_ == nullptr || field->FieldNo() <= 0) return nullptr;
  const MemTable::Column& column = ColumnOf(field);
  if (column.BlobIndex < 0) return nullptr;
  RecordBuffer record = ActiveRecordBuffer();
  bool editing = (State() == dsEdit || State() == dsInsert) && record == ActiveBuffer();
  if (mode != bmRead && !editing) DatabaseError(dbmsg::SNotEditing, this);
  std::string content;
  if (record != nullptr) {
    auto pending = PendingBlobs_.find(column.BlobIndex);
    if (editing && pending != PendingBlobs_.end()) {
      content = pending->second;
    } else if (GetBookmarkFlag(record) == bfCurrent) {
      if (MemTable::Row* row = FindRow(BookmarkOf(record))) content = row->Blobs[static_cast<size_t>(column.BlobIndex)];
    }
  }
  if (mode == bmWrite) content.clear();
  auto stream = std::make_unique<MemBlobStream>(this, field, column.BlobIndex, std::move(content), mode != bmRead);
  if (mode == bmWrite) stream->MarkModified();  // opening for writing empties the value
  return stream;
}

void MemDataSet::BlobWritten(Field* field, int32_t blobIndex, std::string data) {
  if (State() != dsEdit && State() != dsInsert) return;
  RecordBuffer record = ActiveBuffer();
  record[ColumnOf(field).Offset] = data.empty() ? 1 : 0;
  PendingBlobs_[blobIndex] = std::move(data);
  DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

// ---------------------------------------------------------------- writes

void MemDataSet::CheckUnique(const std::vector<uint8_t>& data, int64_t exceptId) {
  for (int32_t i = 0; i < Table_->IndexDefs_.Count(); ++i) {
    IndexDef* def = Table_->IndexDefs_[i];
    if ((def->Options() & (ixUnique | ixPrimary)) == 0) continue;
    std::vector<std::string> names = splitNames(def->Fields());
    std::vector<std::string> caseIns = splitNames(def->CaseInsFields());
    std::vector<std::pair<const MemTable::Column*, bool>> keys;
    for (const std::string& name : names) {
      int32_t column = Table_->FieldDefs_.IndexOf(name);
      if (column < 0) continue;
      bool ci = listHas(caseIns, name) || ((def->Options() & ixCaseInsensitive) != 0 && caseIns.empty());
      keys.emplace_back(&Table_->Columns_[static_cast<size_t>(column)], ci);
    }
    if (keys.empty()) continue;
    for (const auto& row : Table_->Rows_) {
      if (row->Id == exceptId) continue;
      bool equal = std::all_of(keys.begin(), keys.end(), [&](const auto& key) {
        return CompareColumn(*key.first, row->Data.data(), data.data(), key.second) == 0;
      });
      if (equal) DatabaseError(kKeyViolation, this);
    }
  }
}

void MemDataSet::InternalInsert() { PendingBlobs_.clear(); }
void MemDataSet::InternalEdit() { PendingBlobs_.clear(); }
void MemDataSet::InternalCancel() { PendingBlobs_.clear(); }

void MemDataSet::InternalPost() {
  if (ReadOnly_) DatabaseError(kReadOnlyMessage, this);
  RecordBuffer buffer = ActiveBuffer();
  std::vector<uint8_t> data(buffer, buffer + RecordSize_);
  auto applyBlobs = [this, &data](std::vector<std::string>& blobs) {
    for (auto& [index, value] : PendingBlobs_) blobs[static_cast<size_t>(index)] = value;
    for (const MemTable::Column& column : Table_->Columns_) {
      if (column.BlobIndex >= 0) data[static_cast<size_t>(column.Offset)] = blobs[static_cast<size_t>(column.BlobIndex)].empty() ? 1 : 0;
    }
  };
  if (State() == dsInsert) {
    int64_t autoInc = Table_->NextAutoInc_;
    bool usesAutoInc = false;
    for (const MemTable::Column& column : Table_->Columns_) {
      if (column.Type != ftAutoInc) continue;
      if (autoInc > std::numeric_limits<int32_t>::max()) DatabaseError("Autoincrement value out of range", this);
      auto value = static_cast<int32_t>(autoInc);
      data[static_cast<size_t>(column.Offset)] = 0;
      std::memcpy(data.data() + column.Offset + 1, &value, sizeof value);
      usesAutoInc = true;
    }
    auto row = std::make_unique<MemTable::Row>();
    row->Blobs.resize(static_cast<size_t>(Table_->BlobCount_));
    applyBlobs(row->Blobs);
    CheckUnique(data, 0);
    row->Id = Table_->NextId_++;
    row->Data = std::move(data);
    if (usesAutoInc) ++Table_->NextAutoInc_;
    Cursor_ = CursorAt::Row;
    CursorRowId_ = row->Id;
    Table_->Rows_.push_back(std::move(row));
  } else {
    MemTable::Row* row = FindRow(BookmarkOf(buffer));
    if (row == nullptr) DatabaseError(dbmsg::SRecordNotFound, this);
    std::vector<std::string> blobs = row->Blobs;
    applyBlobs(blobs);
    CheckUnique(data, row->Id);
    row->Data = std::move(data);
    row->Blobs = std::move(blobs);
    Cursor_ = CursorAt::Row;
    CursorRowId_ = row->Id;
  }
  ++Table_->ChangeStamp_;
  PendingBlobs_.clear();
}

void MemDataSet::InternalDelete() {
  if (ReadOnly_) DatabaseError(kReadOnlyMessage, this);
  RecordBuffer buffer = ActiveBuffer();
  int64_t id = BookmarkOf(buffer);
  MemTable::Row* row = FindRow(id);
  if (row == nullptr) DatabaseError(dbmsg::SRecordNotFound, this);
  auto& rows = Table_->Rows_;
  rows.erase(std::find_if(rows.begin(), rows.end(), [row](const auto& r) { return r.get() == row; }));
  ++Table_->ChangeStamp_;
  // The cursor keeps its place, which the next record takes.
  Cursor_ = CursorAt::Row;
  CursorRowId_ = id;
}

}  // namespace qv
