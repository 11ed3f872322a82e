// VLMMain, dataset part: the record buffers, opening and closing, navigation,
// bookmarks, record numbers, filters, Locate and Lookup of TVLMDataSet, and
// its attachment to a database (SetDBFlag).
#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <utility>

#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMRecordID.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kMemoryDatabaseName = "MEMORY";
constexpr std::string_view kNilPointer = "Nil pointer occured";
// Offsets after the record data D: bookmark, then its flag byte.
constexpr int32_t kFlagOffset = kVLMRecordIDSize;
// Key buffer, after the engine record image: {u8 modified, u8 exclusive,
// i32 field count}.
constexpr int32_t kKeyModifiedOffset = 0;

// Engine navigation modes of GetRecord.
uint8_t EngineMode(qv::TGetMode mode) {
  switch (mode) {
    case qv::gmNext:
      return 1;
    case qv::gmPrior:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

// ------------------------------------------------------------------ life

TVLMDataSet::TVLMDataSet(qv::Component* owner) : qv::DataSet(owner) {}

TVLMDataSet::~TVLMDataSet() {
  // A subclass has closed already; this closes a dataset of this class.
  CloseForDestruction();
  FreeOldBuffer();
  // The database must not keep a dataset that is gone.
  if (DBFlags_ != 0) {
    DBFlags_ = 0;
    try {
      DetachDatabase();
    } catch (...) {
      // Nothing can be reported from a destructor.
    }
  }
}

TVLMLocalCursor& TVLMDataSet::RequireHandle(int32_t code) const {
  if (!Handle_) throw EVLMException(code, kNilPointer);
  return *Handle_;
}

std::unique_ptr<TVLMLocalCursor> TVLMDataSet::CreateHandle() { return nullptr; }

void TVLMDataSet::DestroyHandle() {
  if (StaticCursor_ != nullptr) {
    // A projection keeps the cursor: CreateHandle hands it back on reopen.
    static_cast<void>(Handle_.release());
  } else {
    Handle_.reset();
  }
  StaticCursor_ = nullptr;
}

void TVLMDataSet::Disconnect() { Close(); }

std::string TVLMDataSet::CurrentVersion() const { return "6.20 "; }

// ------------------------------------------------------------ properties

void TVLMDataSet::SetDatabaseName(std::string_view value) {
  if (value == DatabaseName_) return;
  CheckInactive();
  if (Database_ != nullptr) qv::DatabaseError("Cannot perform this operation on an open database", this);
  DatabaseName_ = std::string(value);
  InMemory_ = qv::UpperCase1252(DatabaseName_) == kMemoryDatabaseName;
  DataEvent(qv::dePropertyChange, 0);
}

void TVLMDataSet::SetSessionName(std::string_view value) {
  CheckInactive();
  SessionName_ = std::string(value);
  DataEvent(qv::dePropertyChange, 0);
}

void TVLMDataSet::SetInMemory(bool value) {
  CheckInactive();
  InMemory_ = value;
  if (value) SetDatabaseName(kMemoryDatabaseName);
}

// ------------------------------------------------------ database attachment

bool TVLMDataSet::DBFlag(int32_t flag) const {
  return flag >= 0 && flag <= 15 && (DBFlags_ & (1u << static_cast<uint32_t>(flag))) != 0;
}

void TVLMDataSet::SetDBFlag(int32_t flag, bool value) {
  if (flag < 0 || flag > 15) return;
  const auto bit = static_cast<uint16_t>(1u << static_cast<uint32_t>(flag));
  if (value) {
    if ((DBFlags_ & bit) != 0) return;
    if (DBFlags_ == 0) AttachDatabase();
    DBFlags_ |= bit;
    return;
  }
  if ((DBFlags_ & bit) == 0) return;
  DBFlags_ &= static_cast<uint16_t>(~bit);
  if (DBFlags_ == 0) DetachDatabase();
}

TVLMSession* TVLMDataSet::SessionOf() const {
  TVLMSessionList* sessions = VLMSessions();
  if (sessions == nullptr) throw EVLMException(20590, "Database Engine is not initialized");
  return sessions->GetSession(SessionName_);
}

void TVLMDataSet::CheckSharedDatabase() {
  if (SessionName_.empty() || DatabaseName_.empty()) return;
  TVLMSessionList* sessions = VLMSessions();
  if (sessions == nullptr) return;
  // A database of the default session serves a named session that has none
  // of that name: it moves there.
  TVLMSession* named = sessions->FindSession(SessionName_);
  if (named == nullptr || named->DoFindDatabase(DatabaseName_, DatabaseOwner()) != nullptr) return;
  TVLMSession* fallback = VLMGetDefaultSession();
  TVLMDatabase* shared = fallback != nullptr ? fallback->DoFindDatabase(DatabaseName_, DatabaseOwner()) : nullptr;
  if (shared != nullptr) shared->RegisterWithSession(true);
}

void TVLMDataSet::AttachDatabase() {
  CheckSharedDatabase();
  TVLMSession* session = SessionOf();
  TVLMDatabase* database = session->OpenDatabase(DatabaseName_, DatabaseOwner());
  std::lock_guard guard(VLMSessionLock());
  database->AddDataSet(this, IsQuery());
  Database_ = database;
}

void TVLMDataSet::DetachDatabase() {
  TVLMDatabase* database = std::exchange(Database_, nullptr);
  if (database == nullptr) return;
  TVLMSession* session = database->Session();
  std::lock_guard guard(VLMSessionLock());
  database->RemoveDataSet(this);
  if (session != nullptr) session->CloseDatabase(database);
}

// --------------------------------------------------------- record buffers

int32_t TVLMDataSet::RecordDataSize() const { return Handle_ ? Handle_->RecordDataSize : 0; }

void TVLMDataSet::SizeCursorBuffers() {
  // Record buffers carry the calculated fields after the bookmark; the
  // cursor's own layout numbers stay those of the engine record.
  TVLMLocalCursor& cursor = *Handle_;
  cursor.CalcFieldsOffset = cursor.RecordDataSize + kVLMBookmarkAreaSize;
  cursor.RecordBufferSize = cursor.CalcFieldsOffset + std::max(CalcFieldsSize(), 0);
}

qv::RecordBuffer TVLMDataSet::AllocRecordBuffer() { return RequireHandle(10052).AllocRecordBuffer(); }

void TVLMDataSet::FreeRecordBuffer(qv::RecordBuffer& buffer) { RequireHandle(10053).FreeRecordBuffer(buffer); }

int32_t TVLMDataSet::GetRecordSize() { return RequireHandle(10055).RecordDataSize; }

void TVLMDataSet::GetBookmarkData(qv::RecordBuffer buffer, void* data) {
  if (buffer == nullptr) throw EVLMException(10034, kNilPointer);
  if (data == nullptr) throw EVLMException(10035, kNilPointer);
  std::memcpy(data, buffer + RequireHandle(10036).BookmarkOffset, kVLMRecordIDSize);
}

qv::TBookmarkFlag TVLMDataSet::GetBookmarkFlag(qv::RecordBuffer buffer) {
  if (buffer == nullptr) throw EVLMException(10059, kNilPointer);
  const uint8_t flag = buffer[RequireHandle(10060).BookmarkOffset + kFlagOffset];
  return flag <= qv::bfInserted ? static_cast<qv::TBookmarkFlag>(flag) : qv::bfCurrent;
}

void TVLMDataSet::SetBookmarkData(qv::RecordBuffer buffer, const void* data) {
  TVLMLocalCursor& cursor = RequireHandle(10058);
  if (data == nullptr) return;
  if (buffer == nullptr) throw EVLMException(10061, kNilPointer);
  std::memcpy(buffer + cursor.BookmarkOffset, data, kVLMRecordIDSize);
}

void TVLMDataSet::SetBookmarkFlag(qv::RecordBuffer buffer, qv::TBookmarkFlag value) {
  TVLMLocalCursor& cursor = RequireHandle(10057);
  buffer[cursor.BookmarkOffset + kFlagOffset] = static_cast<uint8_t>(value);
}

void TVLMDataSet::InitRecord(qv::RecordBuffer buffer) {
  qv::DataSet::InitRecord(buffer);
  // A new record has no place yet: page 0xFFFFFFFF, row 0xFFFF.
  std::memset(buffer + RequireHandle(10054).BookmarkOffset, 0xFF, kVLMRecordIDSize);
  SetBookmarkFlag(buffer, qv::bfInserted);
}

void TVLMDataSet::InternalInitRecord(qv::RecordBuffer buffer) {
  RequireHandle(10054).InitRecordBuffer(buffer, true);
}

void TVLMDataSet::ClearCalcFields(qv::RecordBuffer buffer) {
  if (buffer == nullptr) throw EVLMException(10039, kNilPointer);
  TVLMLocalCursor& cursor = RequireHandle(10040);
  if (CalcFieldsSize() >= 1) std::memset(buffer + cursor.CalcFieldsOffset, 0, static_cast<size_t>(CalcFieldsSize()));
}

qv::RecordBuffer TVLMDataSet::GetActiveRecBuf() const {
  switch (State()) {
    case qv::dsBrowse:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case qv::dsEdit:
    case qv::dsInsert:
      return ActiveBuffer();
    case qv::dsSetKey:
      return EditKeyBuffer_;
    case qv::dsCalcFields:
      return CalcBuffer();
    case qv::dsFilter:
      return FilterBuffer_;
    case qv::dsOldValue:
      return OldBuffer_;
    default:
      return nullptr;
  }
}

void TVLMDataSet::FreeOldBuffer() {
  if (OldBuffer_ == nullptr) return;
  if (Handle_) {
    if (Handle_->OldRecordBuffer == OldBuffer_) Handle_->OldRecordBuffer = nullptr;
    Handle_->FreeRecordBuffer(OldBuffer_);
  } else {
    // The cursor that made it has gone: the block goes back to the engine's
    // memory manager, as the cursor would return it.
    VLMMemoryManager().FreeMem(OldBuffer_);
  }
  OldBuffer_ = nullptr;
}

void TVLMDataSet::FreeKeyBuffers() {
  for (uint8_t*& key : KeyBuffers_) {
    if (key != nullptr && Handle_) Handle_->FreeRecordBuffer(key);
    key = nullptr;
  }
  EditKeyBuffer_ = nullptr;
}

// ------------------------------------------------------- open and close

void TVLMDataSet::SetActive(bool value) {
  if (!value && (State() == qv::dsEdit || State() == qv::dsInsert)) InternalCancel();
  qv::DataSet::SetActive(value);
}

void TVLMDataSet::OpenCursor(bool infoQuery) {
  if (DatabaseName_.empty()) qv::DatabaseError("DatabaseName property is blank", this);
  SetDBFlag(kDBFlagCursor, true);
  if (!Handle_) Handle_ = CreateHandle();
  if (!Handle_) throw EVLMException(20001, "Error creating table handle");
  qv::DataSet::OpenCursor(infoQuery);
}

void TVLMDataSet::CloseCursor() {
  qv::DataSet::CloseCursor();
  if (Handle_) DestroyHandle();
  SetDBFlag(kDBFlagCursor, false);
}

void TVLMDataSet::InternalOpen() {
  if (!Handle_) return;
  BookmarkSize_ = kBookmarkSize;
  GetFieldDefs().SetUpdated(false);
  GetFieldDefs().Update();
  UpdateIndexFieldMap();
  FreeOldBuffer();
  for (int32_t i = 0; i < GetFieldDefs().Count(); ++i) {
    qv::FieldDef* def = GetFieldDefs()[i];
    if (def->DataType() == qv::ftGuid) def->SetSize(qv::kGuidSize);
  }
  if (DefaultFields()) CreateFields();
  BindFields(true);
  Handle_->DataSet = this;
  SizeCursorBuffers();
  if (Filtered())
    ActivateFilters();
  else
    DeactivateFilters();
  for (uint8_t*& key : KeyBuffers_) {
    key = Handle_->AllocKeyBuffer();
    Handle_->InitKeyBuffer(key);
  }
  ResetRange();
  PrepareCursor();
  BuildDirectReads();
}

void TVLMDataSet::InternalClose() {
  if (Handle_) {
    FreeOldBuffer();
    FreeKeyBuffers();
  }
  DirectReads_.clear();
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  AdvFieldDefs.Clear();
  AdvIndexDefs.Clear();
  EngineFieldDefs.Clear();
  EngineIndexDefs.Clear();
  IndexFieldMap_.clear();
  IndexFieldCount_ = 0;
  KeySize_ = 0;
}

void TVLMDataSet::InternalInitFieldDefs() {
  DirectReads_.clear();
  GetFieldDefs().Clear();
  if (!Handle_) return;
  TVLMLocalCursor& cursor = *Handle_;
  if (!KeepDesignMode) cursor.DesignMode = VLMDesignMode();
  cursor.InitFieldDefs();
  // The cursor laid its buffers out anew; an open dataset keeps its
  // calculated fields behind them.
  SizeCursorBuffers();
  EngineFieldDefs.Assign(*cursor.CursorFieldDefs);
  EngineIndexDefs.Assign(*cursor.GetIndexDefs());
  ConstraintDefs.Assign(*cursor.ConstraintDefs);
  if (cursor.ProjectionSet) VLMDropConstraintsOfOtherFields(EngineFieldDefs, ConstraintDefs);
  const TVLMConstraintDefs& constraints = ConstraintDefs;
  VLMEngineToFieldDefs(EngineFieldDefs, constraints, GetFieldDefs());
  VLMEngineToAdvIndexDefs(EngineIndexDefs, AdvIndexDefs);
  VLMAdvIndexDefsToIndexDefs(AdvIndexDefs, GetIndexDefs());
  VLMEngineToAdvFieldDefs(EngineFieldDefs, constraints, AdvFieldDefs);
}

void TVLMDataSet::UpdateIndexFieldMap() {
  IndexFieldMap_.clear();
  IndexFieldCount_ = 0;
  KeySize_ = 0;
  if (!Handle_ || Handle_->IndexName.empty()) return;
  TVLMLocalCursor& cursor = *Handle_;
  const TVLMIndexDef* index = cursor.IndexDefs ? cursor.IndexDefs->FindIndexDef(cursor.IndexName) : nullptr;
  if (index == nullptr) throw EVLMException(10325, "Cannot find index %s", {cursor.IndexName});
  IndexFieldCount_ = index->GetColumnCount();
  for (int32_t i = 0; i < IndexFieldCount_; ++i) {
    const std::string& name = index->GetColumn(i).Name;
    for (int32_t f = 0; f < cursor.FieldDefs->GetCount(); ++f) {
      const TVLMFieldDef& field = *cursor.FieldDefs->GetFieldDef(f);
      if (!qv::SameName(field.Name, name)) continue;
      IndexFieldMap_.push_back(static_cast<uint16_t>(f + 1));
      KeySize_ += field.DataSize;
      break;
    }
  }
}

void TVLMDataSet::SetIndexNameInternal(std::string_view name) {
  ResetRange();
  UpdateCursorPos();
  Handle_->SetIndexName(name);
  KeySize_ = 0;
  IndexFieldCount_ = 0;
  UpdateIndexFieldMap();
}

bool TVLMDataSet::ResetRange() {
  TVLMLocalCursor& cursor = RequireHandle(10287);
  uint8_t* start = KeyBuffers_[kiCurRangeStart];
  uint8_t* end = KeyBuffers_[kiCurRangeEnd];
  const int32_t d = cursor.RecordDataSize;
  const bool modified = (start != nullptr && start[d + kKeyModifiedOffset] != 0) ||
                        (end != nullptr && end[d + kKeyModifiedOffset] != 0);
  if (!modified) {
    cursor.CancelRange();
    return false;
  }
  cursor.InitKeyBuffer(start);
  cursor.InitKeyBuffer(end);
  cursor.CancelRange();
  return true;
}

bool TVLMDataSet::GetCanModify() { return qv::DataSet::GetCanModify() && !ReadOnly; }

bool TVLMDataSet::GetIsIndexField(qv::Field* field) {
  if (field == nullptr || field->FieldNo() <= 0) return false;
  return std::find(IndexFieldMap_.begin(), IndexFieldMap_.end(), field->FieldNo()) != IndexFieldMap_.end();
}

// ------------------------------------------------------------ navigation

qv::TGetResult TVLMDataSet::GetRecord(qv::RecordBuffer buffer, qv::TGetMode getMode, bool doCheck) {
  TVLMLocalCursor& cursor = RequireHandle(10041);
  cursor.RecordBuffer = buffer;
  switch (cursor.GetRecord(EngineMode(getMode))) {
    case kVLMNavOK:
      VLMPutRecordID(buffer + cursor.BookmarkOffset, cursor.Position.RecordID);
      buffer[cursor.BookmarkOffset + kFlagOffset] = static_cast<uint8_t>(qv::bfCurrent);
      if (CalcFieldsSize() > 0) {
        ClearCalcFields(buffer);
        GetCalcFields(buffer);
      }
      return qv::grOK;
    case kVLMNavBOF:
      return qv::grBOF;
    case kVLMNavEOF:
      return qv::grEOF;
    default:
      if (doCheck) throw EVLMException(10026, "Cannot retrieve record");
      return qv::grError;
  }
}

void TVLMDataSet::InternalFirst() { RequireHandle(10044).SetToBegin(); }

void TVLMDataSet::InternalLast() { RequireHandle(10045).SetToEnd(); }

void TVLMDataSet::PositionAt(const uint8_t* bookmark) {
  TVLMLocalCursor& cursor = *Handle_;
  cursor.Position.Bof = 0;
  cursor.Position.Eof = 0;
  cursor.Position.RecordID = VLMGetRecordID(bookmark);
}

void TVLMDataSet::InternalGotoBookmark(const void* bookmark) {
  if (bookmark == nullptr) throw EVLMException(10037, kNilPointer);
  RequireHandle(10038);
  PositionAt(static_cast<const uint8_t*>(bookmark));
}

void TVLMDataSet::InternalSetToRecord(qv::RecordBuffer buffer) {
  TVLMLocalCursor& cursor = RequireHandle(10046);
  if (buffer == nullptr) throw EVLMException(10047, kNilPointer);
  InternalGotoBookmark(buffer + cursor.BookmarkOffset);
}

int32_t TVLMDataSet::GetRecordCount() {
  if (!Active()) return 0;
  const int64_t count = RequireHandle(10056).GetRecordCount();
  // The dataset layer counts in 32 bits: a larger table shows the largest.
  return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

int32_t TVLMDataSet::GetRecNo() {
  TVLMLocalCursor& cursor = RequireHandle(10043);
  if (State() == qv::dsInsert) return -1;
  qv::RecordBuffer buffer = State() == qv::dsCalcFields ? CalcBuffer() : (IsEmpty() ? nullptr : ActiveBuffer());
  if (buffer == nullptr) return -1;
  const TVLMCursorPosition saved = cursor.Position;
  auto restore = qv::ScopeExit([&] { cursor.Position = saved; });
  PositionAt(buffer + cursor.BookmarkOffset);
  const int64_t recNo = cursor.GetRecNo();
  // A number the dataset layer cannot hold is no number.
  return recNo > std::numeric_limits<int32_t>::max() ? -1 : static_cast<int32_t>(recNo);
}

void TVLMDataSet::SetRecNo(int32_t value) {
  TVLMLocalCursor& cursor = RequireHandle(10042);
  DoBeforeScroll();
  cursor.SetRecNo(value);
  Resync(qv::rmCenter);
  DoAfterScroll();
}

bool TVLMDataSet::GetCurrentRecord(qv::RecordBuffer buffer) {
  if (!Handle_ || IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != qv::bfCurrent) return false;
  UpdateCursorPos();
  TVLMLocalCursor& cursor = *Handle_;
  // A copy for the caller: the cursor's next step still goes on from the
  // record as its step read it.
  const TVLMUnmovedCheck unmoved(cursor);
  const TVLMKeptPlace place(cursor);
  cursor.RecordBuffer = buffer;
  return cursor.GetRecord(0) == kVLMNavOK;
}

// ------------------------------------------------------------- bookmarks

bool TVLMDataSet::BookmarkValid(const uint8_t* bookmark) {
  if (!Handle_ || bookmark == nullptr) return false;
  CursorPosChanged();
  TVLMLocalCursor& cursor = *Handle_;
  uint8_t* probe = cursor.AllocRecordBuffer();
  auto release = qv::ScopeExit([&] { cursor.FreeRecordBuffer(probe); });
  // The probe leaves the cursor where it stands, its next step going on
  // from the record it stands on as read then.
  const TVLMUnmovedCheck unmoved(cursor);
  const TVLMKeptPlace place(cursor);
  PositionAt(bookmark);
  cursor.RecordBuffer = probe;
  return cursor.GetRecord(0) == kVLMNavOK;
}

int32_t TVLMDataSet::CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) {
  if (bookmark1 == nullptr && bookmark2 == nullptr) return 0;
  if (bookmark1 == nullptr) return 1;
  if (bookmark2 == nullptr) return -1;
  return RequireHandle(10063).CompareBookmarks(bookmark1, bookmark2);
}

// ------------------------------------------------------------- searching

bool TVLMDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  TVLMLocalCursor& cursor = RequireHandle(10268);
  UpdateCursorPos();
  CursorPosChanged();
  // The filter applies to FindFirst and its kin even while Filtered is off.
  if (!Filtered()) ActivateFilters();
  bool found = false;
  {
    uint8_t* buffer = cursor.AllocRecordBuffer();
    auto release = qv::ScopeExit([&] {
      cursor.FreeRecordBuffer(buffer);
      if (!Filtered()) DeactivateFilters();
    });
    if (goForward) {
      if (restart) InternalFirst();
      found = GetRecord(buffer, qv::gmNext, false) == qv::grOK;
    } else {
      if (restart) InternalLast();
      found = GetRecord(buffer, qv::gmPrior, false) == qv::grOK;
    }
  }
  if (found) {
    Resync(qv::rmExact | qv::rmCenter);
    DoAfterScroll();
  }
  return found;
}

bool TVLMDataSet::LocateRecord(std::string_view keyFields, const qv::HostVariant& keyValues,
                               qv::TLocateOptions options) {
  if (!Handle_) throw EVLMException(10271, "Cannot perform LOCATE on a closed dataset");
  CheckBrowseMode();
  CursorPosChanged();
  qv::RecordBuffer buffer = TempBuffer();
  auto filterState = EnterFilterState(buffer);
  TVLMLocalCursor& cursor = *Handle_;
  cursor.RecordBuffer = buffer;
  if (!cursor.Locate(std::string(keyFields), keyValues, (options & qv::loCaseInsensitive) != 0,
                     (options & qv::loPartialKey) != 0))
    return false;
  // The found record in the buffer is a record like any other read (Lookup
  // computes its calculated fields there).
  VLMPutRecordID(buffer + cursor.BookmarkOffset, cursor.Position.RecordID);
  buffer[cursor.BookmarkOffset + kFlagOffset] = static_cast<uint8_t>(qv::bfCurrent);
  return true;
}

bool TVLMDataSet::LocateNotBelow(const std::string& fieldName, const TVLMVariant& value) {
  if (!Handle_) throw EVLMException(10271, "Cannot perform LOCATE on a closed dataset");
  DoBeforeScroll();
  CheckBrowseMode();
  CursorPosChanged();
  qv::RecordBuffer buffer = TempBuffer();
  {
    auto filterState = EnterFilterState(buffer);
    TVLMLocalCursor& cursor = *Handle_;
    cursor.RecordBuffer = buffer;
    if (!cursor.LocateByCondition(fieldName, kVLMOpGreaterEqual, value)) return false;
    VLMPutRecordID(buffer + cursor.BookmarkOffset, cursor.Position.RecordID);
    buffer[cursor.BookmarkOffset + kFlagOffset] = static_cast<uint8_t>(qv::bfCurrent);
  }
  Resync(qv::rmExact);
  DoAfterScroll();
  return true;
}

bool TVLMDataSet::Locate(std::string_view keyFields, const qv::HostVariant& keyValues, qv::TLocateOptions options) {
  DoBeforeScroll();
  const bool found = LocateRecord(keyFields, keyValues, options);
  if (found) {
    Resync(qv::rmExact | qv::rmCenter);
    DoAfterScroll();
  }
  return found;
}

qv::HostVariant TVLMDataSet::Lookup(std::string_view keyFields, const qv::HostVariant& keyValues,
                                    std::string_view resultFields) {
  if (!LocateRecord(keyFields, keyValues, 0)) return qv::HostVariant::Null();
  const qv::TDataSetState saved = SetTempState(qv::dsCalcFields);
  auto restore = qv::ScopeExit([&] { RestoreState(saved); });
  CalculateFields(TempBuffer());
  return FieldValues(resultFields);
}

// --------------------------------------------------------------- filters

void TVLMDataSet::ActivateFilters() {
  TVLMLocalCursor& cursor = RequireHandle(10269);
  if (!Filter().empty())
    cursor.SetFilter(Filter(), (FilterOptions() & qv::foCaseInsensitive) != 0,
                     (FilterOptions() & qv::foNoPartialCompare) == 0);
  else
    cursor.ClearFilter();
  if (OnFilterRecord())
    cursor.FilterCallback = [this](TVLMCursor&, uint8_t* buffer) { return RecordFilter(buffer); };
  else
    cursor.FilterCallback = nullptr;
  cursor.ClearRecordBitmap();
}

void TVLMDataSet::DeactivateFilters() {
  TVLMLocalCursor& cursor = RequireHandle(10270);
  cursor.ClearFilter();
  // The record event applies only while Filtered is set.
  cursor.FilterCallback = nullptr;
}

bool TVLMDataSet::RecordFilter(uint8_t* buffer) {
  if (!Filtered() || !OnFilterRecord()) return true;
  // An event that leaves Accept alone keeps the record.
  bool accept = true;
  auto filterState = EnterFilterState(buffer);
  try {
    OnFilterRecord()(*this, accept);
  } catch (...) {
    InternalHandleException();
  }
  return accept;
}

void TVLMDataSet::InternalRefresh() {
  if (Filtered() && OnFilterRecord() && Handle_) Handle_->ClearRecordBitmap();
}

void TVLMDataSet::SetFiltered(bool value) {
  if (!Active()) {
    qv::DataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  RequireHandle(10267);
  if (Filtered() != value) {
    if (value)
      ActivateFilters();
    else
      DeactivateFilters();
    qv::DataSet::SetFiltered(value);
  }
  if (value)
    First();
  else
    Refresh();
}

void TVLMDataSet::SetFilterData(std::string_view text, qv::TFilterOptions options) {
  if (Active()) {
    CheckBrowseMode();
    RequireHandle(10266);
  }
  qv::DataSet::SetFilterText(text);
  qv::DataSet::SetFilterOptions(options);
  if (Active() && Filtered()) {
    ActivateFilters();
    First();
  }
}

void TVLMDataSet::SetFilterText(std::string_view value) { SetFilterData(value, FilterOptions()); }

void TVLMDataSet::SetFilterOptions(qv::TFilterOptions value) { SetFilterData(std::string(Filter()), value); }

void TVLMDataSet::SetOnFilterRecord(FilterRecordEvent value) {
  if (!Active()) {
    qv::DataSet::SetOnFilterRecord(std::move(value));
    return;
  }
  CheckBrowseMode();
  RequireHandle(10275);
  const bool wasAssigned = static_cast<bool>(OnFilterRecord());
  qv::DataSet::SetOnFilterRecord(std::move(value));
  if (wasAssigned != static_cast<bool>(OnFilterRecord())) {
    if (Filtered())
      ActivateFilters();
    else
      DeactivateFilters();
  }
  // The records the old event let through are no answer for the new one.
  Handle_->ClearRecordBitmap();
  if (Filtered()) First();
}

void TVLMDataSet::InternalHandleException() {
  // The host's default handler: the message in an error box.
  try {
    throw;
  } catch (const std::exception& e) {
    VLMEngineUi().Error(e.what());
  } catch (...) {
    VLMEngineUi().Error("Unknown error");
  }
}

// ------------------------------------------------- the SQL engine's hooks

void TVLMDataSet::SetFilterExpression(TVLMExpression* expression, TVLMQueryOperator* operand,
                                      TVLMCursor* outerCursor) {
  RequireHandle(10300).SetFilterExpression(expression, operand, outerCursor);
}

bool TVLMDataSet::HasIndexFields() { return RequireHandle(10326).HasIndexFields(); }

void TVLMDataSet::SetProjection(const qv::StringList& fieldNames, const qv::StringList& aliasNames) {
  TVLMLocalCursor& cursor = RequireHandle(10320);
  // A table kept open between statements that read it the same way shows
  // that projection already.
  auto same = [](const std::vector<std::string>& kept, const qv::StringList& wanted) {
    if (kept.size() != static_cast<size_t>(wanted.Count())) return false;
    for (int32_t i = 0; i < wanted.Count(); ++i)
      if (kept[static_cast<size_t>(i)] != wanted[i]) return false;
    return true;
  };
  if (cursor.ProjectionSet && Active() && same(ProjectionNames_, fieldNames) && same(ProjectionAliases_, aliasNames))
    return;
  cursor.SetProjection(fieldNames, aliasNames);
  ProjectionNames_.assign(fieldNames.begin(), fieldNames.end());
  ProjectionAliases_.assign(aliasNames.begin(), aliasNames.end());
  ReopenOnCursor(cursor);
}

void TVLMDataSet::ClearProjection() {
  TVLMLocalCursor& cursor = RequireHandle(10320);
  ProjectionNames_.clear();
  ProjectionAliases_.clear();
  if (!cursor.ProjectionSet) return;
  // The reopen reads the cursor's fields from the table's again.
  cursor.ProjectionSet = false;
  ReopenOnCursor(cursor);
}

void TVLMDataSet::ReopenOnCursor(TVLMLocalCursor& cursor) {
  // The cursor survives the close (DestroyHandle lets go of it) and serves
  // the reopen; until the reopen has taken it, it is owned here.
  TVLMLocalCursor* kept = &cursor;
  StaticCursor_ = kept;
  kept->Position.Bof = 1;
  auto clear = qv::ScopeExit([&] { StaticCursor_ = nullptr; });
  Close();
  std::unique_ptr<TVLMLocalCursor> owned(kept);
  StaticCursor_ = kept;
  Open();
  if (Handle_.get() == kept) static_cast<void>(owned.release());
}
