// VLMMain, table part: TVLMTable's cursor, index choice, master/detail
// range, BLOB defaults, the last autoincrement value, the repair open, the
// progress events of the long operations, and the structural operations
// (create, delete, empty, rename) with their definition checks.
#include <algorithm>
#include <cstring>

#include "engine/components/VLMDlgWait.h"
#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kTemporaryDatabaseName = "TEMP";
constexpr std::string_view kNilPointer = "Nil pointer occured";
// Key length of an index column that names none.
constexpr int32_t kDefaultColumnLength = 20;
// The range lock: a table lock of type 1, taken while the detail moves.
constexpr uint8_t kRangeLockType = 1;
// Key buffer, after the engine record image: {u8 modified, u8 exclusive,
// i32 field count}.
constexpr int32_t kKeyModifiedOffset = 0;
constexpr int32_t kKeyExclusiveOffset = 1;
constexpr int32_t kKeyFieldCountOffset = 2;

int32_t KeyFieldCount(const uint8_t* key, int32_t d) {
  int32_t count;
  std::memcpy(&count, key + d + kKeyFieldCountOffset, sizeof count);
  return count;
}

const char* Caption(TVLMTable::LongOperation op) {
  switch (op) {
    case TVLMTable::LongOperation::Copy:
      return "Copy Table...";
    case TVLMTable::LongOperation::Import:
      return "Import Table...";
    default:
      return "Restructure Table...";
  }
}

}  // namespace

// ------------------------------------------------------------------ life

TVLMTable::TVLMTable(qv::Component* owner)
    : TVLMDataSet(owner), MasterLink_(std::make_unique<qv::MasterDataLink>(this)) {
  MasterLink_->OnMasterChange = [this](qv::MasterDataLink&) { MasterChanged(); };
  MasterLink_->OnMasterDisable = [this](qv::MasterDataLink&) { MasterDisabled(); };
}

TVLMTable::~TVLMTable() {
  // The base destructor cannot reach this class's cursor and buffers.
  CloseForDestruction();
}

// ------------------------------------------------------------ properties

void TVLMTable::SetTableName(std::string_view value) {
  if (value == TableName_) return;
  CheckInactive();
  TableName_ = std::string(value);
  DataEvent(qv::dePropertyChange, 0);
}

void TVLMTable::SetTemporary(bool value) {
  CheckInactive();
  Temporary_ = value;
  if (value) SetDatabaseName(kTemporaryDatabaseName);
}

qv::DataSource* TVLMTable::MasterSource() const { return MasterLink_->GetDataSource(); }

void TVLMTable::SetMasterSource(qv::DataSource* source) {
  if (source != nullptr && IsLinkedTo(source)) qv::DatabaseError(qv::dbmsg::SCircularDataLink, this);
  MasterLink_->SetDataSource(source);
}

const std::string& TVLMTable::MasterFields() const { return MasterLink_->FieldNames(); }

void TVLMTable::SetMasterFields(std::string_view fields) { MasterLink_->SetFieldNames(fields); }

qv::DataSource* TVLMTable::GetDataSource() { return MasterLink_->GetDataSource(); }

void TVLMTable::DataEvent(qv::TDataEvent event, intptr_t info) {
  if (event == qv::dePropertyChange) GetIndexDefs().SetUpdated(false);
  TVLMDataSet::DataEvent(event, info);
}

void TVLMTable::DefChanged(void*) { StoreDefs = true; }

void TVLMTable::CheckTableName() const {
  const auto first = TableName_.find_first_not_of(' ');
  if (first == std::string::npos) qv::DatabaseError("Missing TableName property", this);
}

// --------------------------------------------------------------- cursor

std::unique_ptr<TVLMLocalCursor> TVLMTable::CreateCursor() {
  auto cursor = std::make_unique<TVLMLocalCursor>();
  cursor->Session = EngineSession();
  cursor->TableName = TableName_;
  cursor->Exclusive = Exclusive;
  cursor->ReadOnly = ReadOnly || DatabaseReadOnly();
  cursor->InMemory = InMemory();
  cursor->Temporary = Temporary_;
  cursor->DisableTempFiles = InMemory() || (DatabaseMadeBySession() ? DisableTempFiles : DatabaseDisableTempFiles());
  cursor->DesignMode = !KeepDesignMode && VLMDesignMode();
  cursor->RepairMode = RepairMode_;
  AddMissingFieldDefs();
  if (Temporary_ || InMemory()) {
    // A table made on the spot at design time takes these definitions.
    if (GetFieldDefs().Count() == 0)
      VLMAdvFieldDefsToFieldDefs(AdvFieldDefs, GetFieldDefs());
    else
      VLMFieldDefsToEngine(GetFieldDefs(), EngineFieldDefs);
    if (GetIndexDefs().Count() > 0) {
      VLMIndexDefsToAdvIndexDefs(GetIndexDefs(), AdvIndexDefs);
      VLMAdvIndexDefsToEngine(AdvIndexDefs, GetFieldDefs(), EngineIndexDefs);
    }
  }
  try {
    cursor->OpenTable(&EngineFieldDefs, &EngineIndexDefs, &ConstraintDefs);
  } catch (const EVLMException& e) {
    // A table missing because a restructure of it could not be finished
    // is told so, with where its rows are.
    if (e.NativeError == 30396 && EngineSession() != nullptr && !Temporary_ && !InMemory())
      RaiseUnfinishedRestructure(*EngineSession(), TableName_);
    throw;
  }
  ReadOnly = cursor->ReadOnly;
  return cursor;
}

void TVLMTable::AddMissingFieldDefs() {
  for (const auto& field : GetFields()) {
    if (field->FieldKind() != qv::fkData || GetFieldDefs().IndexOf(field->FieldName()) >= 0) continue;
    GetFieldDefs().Add(field->FieldName(), field->DataType(), field->Size(), field->Required());
  }
}

std::unique_ptr<TVLMLocalCursor> TVLMTable::CreateHandle() {
  CheckTableName();
  GetIndexDefs().SetUpdated(false);
  std::unique_ptr<TVLMLocalCursor> cursor;
  if (StaticCursor_ != nullptr)
    cursor.reset(StaticCursor_);
  else
    cursor = CreateCursor();
  ReadIndexDefs(*cursor);
  const std::string name = GetIndexName(IndexName_, FieldsIndex_);
  if (!name.empty()) cursor->SetIndexName(name);
  return cursor;
}

void TVLMTable::ReadFieldDefs(TVLMLocalCursor& cursor) {
  cursor.InitFieldDefs();
  EngineFieldDefs.Assign(*cursor.CursorFieldDefs);
  ConstraintDefs.Assign(*cursor.ConstraintDefs);
  if (cursor.ProjectionSet) VLMDropConstraintsOfOtherFields(EngineFieldDefs, ConstraintDefs);
  VLMEngineToFieldDefs(EngineFieldDefs, ConstraintDefs, GetFieldDefs());
  VLMEngineToAdvFieldDefs(EngineFieldDefs, ConstraintDefs, AdvFieldDefs);
}

void TVLMTable::ReadIndexDefs(TVLMLocalCursor& cursor) {
  EngineIndexDefs.Assign(*cursor.GetIndexDefs());
  VLMEngineToAdvIndexDefs(EngineIndexDefs, AdvIndexDefs);
  VLMAdvIndexDefsToIndexDefs(AdvIndexDefs, GetIndexDefs());
  // A temporary index of the session (a join's or a sort's, alive while
  // another cursor keeps the table open) is no part of what a restructure
  // rebuilds: it would come back stored, or name a dropped column.
  RestructureIndexDefs.Assign(AdvIndexDefs, true);
  GetIndexDefs().SetUpdated(true);
}

void TVLMTable::InitFieldDefs() {
  // The restructure definitions start as the stored structure, for the
  // caller of RestructureTable to edit.
  if (Handle_) {
    InternalInitFieldDefs();
    RestructureFieldDefs.Assign(AdvFieldDefs);
    return;
  }
  SetDBFlag(kDBFlagFieldDefs, true);
  auto release = qv::ScopeExit([&] { SetDBFlag(kDBFlagFieldDefs, false); });
  std::unique_ptr<TVLMLocalCursor> cursor = CreateCursor();
  ReadFieldDefs(*cursor);
  RestructureFieldDefs.Assign(AdvFieldDefs);
}

void TVLMTable::UpdateIndexDefs() {
  if (GetIndexDefs().Updated()) return;
  SetDBFlag(kDBFlagIndexes, true);
  auto release = qv::ScopeExit([&] { SetDBFlag(kDBFlagIndexes, false); });
  GetFieldDefs().Update();
  if (Handle_) {
    ReadIndexDefs(*Handle_);
    return;
  }
  std::unique_ptr<TVLMLocalCursor> cursor = CreateCursor();
  ReadIndexDefs(*cursor);
}

// ----------------------------------------------------------------- index

void TVLMTable::SetIndex(std::string_view value, bool fieldsIndex) {
  if (Active()) CheckBrowseMode();
  if (IndexName_ == value && FieldsIndex_ == fieldsIndex) return;
  if (Active()) {
    SetIndexNameInternal(GetIndexName(value, fieldsIndex));
    CheckMasterRange();
  }
  IndexName_ = std::string(value);
  FieldsIndex_ = fieldsIndex;
  if (Active()) Resync(0);
}

std::string TVLMTable::GetIndexName(std::string_view names, bool fieldsIndex) {
  if (names.empty()) return std::string();
  GetIndexDefs().Update();
  if (!fieldsIndex) return std::string(names);
  return GetIndexDefs().FindIndexForFields(names)->Name();
}

// ------------------------------------------------------ master and detail

void TVLMTable::PrepareCursor() { CheckMasterRange(); }

void TVLMTable::CheckMasterRange() {
  if (!MasterLink_->Active() || MasterLink_->GetFields().empty()) return;
  SetLinkRanges(MasterLink_->GetFields());
  ApplyRange();
}

qv::Field* TVLMTable::GetIndexField(int32_t index) {
  if (index < 0 || index >= IndexFieldCount_) qv::DatabaseError(qv::dbmsg::SFieldIndexError, this);
  qv::Field* field = FieldByNumber(IndexFieldMap_[static_cast<size_t>(index)]);
  if (field == nullptr) {
    const TVLMFieldDef* def = Handle_->FieldDefs->GetFieldDef(IndexFieldMap_[static_cast<size_t>(index)] - 1);
    qv::DatabaseErrorFmt("Cannot access index field '%s'", {def->Name}, this);
  }
  return field;
}

void TVLMTable::SetLinkRanges(const std::vector<qv::Field*>& masterFields) {
  if (!Handle_) throw EVLMException(10299, kNilPointer);
  TVLMLocalCursor& cursor = *Handle_;
  const int32_t d = cursor.RecordDataSize;
  uint8_t* start = KeyBuffer(kiRangeStart);
  const bool modified = Modified();
  const qv::TDataSetState saved = SetTempState(qv::dsSetKey);
  auto restore = qv::ScopeExit([&] {
    RestoreState(saved);
    SetModified(modified);
    EditKeyBuffer_ = nullptr;
  });
  EditKeyBuffer_ = start;
  cursor.InitKeyBuffer(start);
  start[d + kKeyModifiedOffset] = 1;
  for (size_t i = 0; i < masterFields.size(); ++i) GetIndexField(static_cast<int32_t>(i))->Assign(masterFields[i]);
  const auto count = static_cast<int32_t>(masterFields.size());
  std::memcpy(start + d + kKeyFieldCountOffset, &count, sizeof count);
  std::memcpy(KeyBuffer(kiRangeEnd), start, static_cast<size_t>(cursor.KeyBufferSize));
}

bool TVLMTable::ApplyRange() {
  if (!Handle_) throw EVLMException(10296, kNilPointer);
  TVLMLocalCursor& cursor = *Handle_;
  uint8_t* start = KeyBuffer(kiRangeStart);
  uint8_t* end = KeyBuffer(kiRangeEnd);
  uint8_t* currentStart = KeyBuffer(kiCurRangeStart);
  uint8_t* currentEnd = KeyBuffer(kiCurRangeEnd);
  for (uint8_t* key : {start, end, currentStart, currentEnd}) cursor.ClearUnusedStringBytes(key);
  const auto size = static_cast<size_t>(cursor.KeyBufferSize);
  if (std::memcmp(start, currentStart, size) == 0 && std::memcmp(end, currentEnd, size) == 0) return false;
  const int32_t d = cursor.RecordDataSize;
  const int32_t startCount = KeyFieldCount(start, d);
  const int32_t endCount = KeyFieldCount(end, d);
  cursor.SetRange(start, end, startCount != 0 ? startCount : IndexFieldCount_,
                  endCount != 0 ? endCount : IndexFieldCount_, start[d + kKeyExclusiveOffset] != 0,
                  end[d + kKeyExclusiveOffset] != 0);
  std::memcpy(currentStart, start, size);
  std::memcpy(currentEnd, end, size);
  return true;
}

void TVLMTable::UnderRangeLock(const std::function<void()>& move) {
  TVLMLocalCursor& cursor = *Handle_;
  const TVLMRetrySettings& settings = VLMRetrySettings();
  // Without the lock the detail moves all the same.
  const bool locked = cursor.LockTable(kRangeLockType, settings.TableCommitTries,
                                       static_cast<int32_t>(settings.TableCommitDelayMs), true);
  auto unlock = qv::ScopeExit([&] {
    if (locked) cursor.UnlockTable(kRangeLockType, false);
  });
  move();
}

void TVLMTable::MasterChanged() {
  CheckBrowseMode();
  SetLinkRanges(MasterLink_->GetFields());
  if (ApplyRange()) UnderRangeLock([&] { First(); });
}

void TVLMTable::MasterDisabled() {
  CheckBrowseMode();
  UpdateCursorPos();
  if (ResetRange()) UnderRangeLock([&] { Resync(0); });
}

void TVLMTable::DoOnNewRecord() {
  if (MasterLink_->Active() && !MasterLink_->GetFields().empty()) {
    const std::vector<qv::Field*>& masterFields = MasterLink_->GetFields();
    for (size_t i = 0; i < masterFields.size(); ++i)
      GetIndexField(static_cast<int32_t>(i))->Assign(masterFields[i]);
  }
  TVLMDataSet::DoOnNewRecord();
  // BLOB and memo fields get their defaults here: a record buffer holds no
  // BLOB value of its own.
  TVLMLocalCursor& cursor = *Handle_;
  for (int32_t i = 0; i < cursor.FieldDefs->GetCount(); ++i) {
    const TVLMFieldDef& def = *cursor.FieldDefs->GetFieldDef(i);
    if (!VLMIsBLOBBaseType(def.BaseType) || def.DefaultValue.IsNull()) continue;
    qv::Field* field = FindField(def.Name);
    if (field == nullptr) continue;
    const TVLMVariant* value = def.DefaultExpression ? def.DefaultExpression->GetValue(true) : &def.DefaultValue;
    if (value == nullptr || value->IsNull()) continue;
    const std::string text = value->GetAsString();
    std::unique_ptr<qv::Stream> stream = CreateBlobStream(field, qv::bmWrite);
    if (stream && !text.empty()) stream->WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  }
}

// ------------------------------------------------------------ questions

bool TVLMTable::Exists() {
  if (DatabaseName().empty()) return false;
  return TableExistsInDatabase();
}

int64_t TVLMTable::GetLastAutoincValue(std::string_view fieldName) {
  // The field's number names its column even where the fields are a subset
  // or a column has no field object.
  qv::Field* field = FieldByName(fieldName);
  return RequireHandle(10805).GetLastAutoincValue(field->FieldNo() - 1);
}

void TVLMTable::RaiseAutoincValue(std::string_view fieldName, int64_t value) {
  RefuseReadOnly(20870);
  qv::Field* field = FieldByName(fieldName);
  RequireHandle(10805).RaiseAutoincValue(field->FieldNo() - 1, value);
}

std::string TVLMTable::RepairTable() {
  SetDBFlag(kDBFlagRepair, true);
  auto release = qv::ScopeExit([&] {
    RepairMode_ = false;
    SetDBFlag(kDBFlagRepair, false);
  });
  // A repair-mode open mends the table's page index in the file.
  RefuseReadOnly(20868);
  RepairMode_ = true;
  std::unique_ptr<TVLMLocalCursor> cursor = CreateCursor();
  return cursor->RepairLog;
}

// --------------------------------------------- the SQL engine's index choice

std::string TVLMTable::GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                         const qv::StringList& caseOptions) {
  std::string name;
  bool created = false;
  RequireHandle(10311).GetIndexForFields(fieldNames, directions, caseOptions, name, created);
  return name;
}

bool TVLMTable::HasIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                  const qv::StringList& caseOptions) {
  return RequireHandle(10514).FindIndexForFields(fieldNames, directions, caseOptions);
}

void TVLMTable::SetIndexByFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                 const qv::StringList& caseOptions) {
  TVLMLocalCursor& cursor = RequireHandle(10319);
  cursor.SetIndexByFields(fieldNames, directions, caseOptions);
  SetIndexName(cursor.IndexName);
}

void TVLMTable::AssignIndexFrom(TVLMTable& other) {
  TVLMLocalCursor& cursor = RequireHandle(10319);
  TVLMLocalCursor& source = other.RequireHandle(10319);
  SetIndexName(source.IndexName);
  cursor.IndexFieldCount = source.IndexFieldCount;
  cursor.ClearRecordBitmap();
}

// ------------------------------------------------------ long operations

void TVLMTable::DoBeforeOperation(LongOperation op) {
  const TableNotifyEvent& event =
      op == LongOperation::Copy ? BeforeCopy : (op == LongOperation::Import ? BeforeImport : BeforeRestructure);
  if (event) {
    event(*this);
    return;
  }
  if (DatabaseSilent() || Temporary_) return;
  WaitForm_ = std::make_unique<WaitController>(VLMEngineUi());
  WaitForm_->Progress(0);
  WaitForm_->Start(Caption(op));
  WaitForm_->ProcessMessages();
}

bool TVLMTable::DoOperationProgress(LongOperation op, int32_t percent) {
  const ProgressEvent& event = op == LongOperation::Copy
                                   ? OnCopyProgress
                                   : (op == LongOperation::Import ? OnImportProgress : OnRestructureProgress);
  bool cont = true;
  if (event) {
    event(*this, percent, cont);
    return cont;
  }
  if (!WaitForm_ || DatabaseSilent() || Temporary_) return cont;
  return WaitForm_->Progress(percent);
}

void TVLMTable::DoAfterOperation(LongOperation op) {
  const TableNotifyEvent& event =
      op == LongOperation::Copy ? AfterCopy : (op == LongOperation::Import ? AfterImport : AfterRestructure);
  if (event) {
    event(*this);
    return;
  }
  if (!WaitForm_) return;
  WaitForm_->Finish();
  WaitForm_.reset();
}

// ------------------------------------------------------------ structure

template <class Fn>
void TVLMTable::WithTableCursor(Fn operation) {
  SetDBFlag(kDBFlagTable, true);
  auto release = qv::ScopeExit([&] { SetDBFlag(kDBFlagTable, false); });
  TVLMLocalCursor cursor;
  cursor.Session = EngineSession();
  cursor.TableName = TableName_;
  cursor.InMemory = InMemory();
  cursor.Temporary = Temporary_;
  cursor.ReadOnly = false;
  cursor.Exclusive = true;
  cursor.DisableTempFiles = InMemory() || (DatabaseMadeBySession() ? DisableTempFiles : DatabaseDisableTempFiles());
  operation(cursor);
}

void TVLMTable::RefuseInTransaction(const char* operation, int32_t code) const {
  if (DatabaseInTransaction())
    throw EVLMException(code, "Cannot perform '%s' operation on a database in transaction", {operation});
}

void TVLMTable::RefuseReadOnly(int32_t code) const {
  if (DatabaseReadOnly()) throw EVLMException(code, "Dataset is in read only mode");
}

void TVLMTable::CheckFieldDefs() {
  for (int32_t i = 0; i < AdvFieldDefs.GetCount(); ++i) {
    const TVLMAdvFieldDef& def = *AdvFieldDefs.GetItem(i);
    if (def.Name.empty()) throw EVLMException(30499, "Missing field name. FieldNo=%d, table '%s'", {i, TableName_});
    const TVLMBaseDataType base = VLMDataTypeToBaseType(def.DataType);
    if ((VLMIsStringDataType(def.DataType) || VLMIsBytesDataType(def.DataType)) && def.Size < 1)
      throw EVLMException(30453, "Cannot create table '%s' with field: %s %s(%d)",
                          {TableName_, def.Name, VLMGetBaseTypeName(base), def.Size});
    if (VLMIsBLOBDataType(def.DataType) && def.BlobCompressionAlgorithm != 0 &&
        (def.BlobCompressionMode < 1 || def.BlobCompressionMode > 9))
      throw EVLMException(20257,
                          "Invalid BlobCompressionMode (must be in 1..9 range) for blob field '%s'. Cannot create "
                          "table '%s'",
                          {def.Name, TableName_});
  }
}

void TVLMTable::NormalizeFieldDefs() {
  auto normalize = [](TVLMVariant& value, TVLMBaseDataType type, bool keepExpression) {
    if (value.IsNull()) {
      value.Clear(type);
      return;
    }
    if (value.IsString() && value.GetStringLength() == 0) {
      value.Clear(type);
      return;
    }
    if (!keepExpression) value.CastTo(type);
  };
  for (int32_t i = 0; i < AdvFieldDefs.GetCount(); ++i) {
    TVLMAdvFieldDef& def = *AdvFieldDefs.GetItem(i);
    const TVLMBaseDataType base = VLMDataTypeToBaseType(def.DataType);
    // An expression default stays the text it is.
    const bool expression = !def.DefaultValue.IsNull() && def.DefaultValue.IsString() &&
                            VLMGetExpressionServices() != nullptr &&
                            VLMGetExpressionServices()->ParseDefaultExpression != nullptr && [&] {
                              TVLMExpressionPtr parsed(
                                  VLMGetExpressionServices()->ParseDefaultExpression(def.DefaultValue));
                              return parsed != nullptr;
                            }();
    // A BLOB field's default is the text a new record's value starts as.
    normalize(def.DefaultValue, base, expression || VLMIsBLOBBaseType(base));
    normalize(def.MinValue, base, false);
    normalize(def.MaxValue, base, false);
    if (def.DataType == dtGUID)
      def.Size = qv::kGuidSize;
    else if (!VLMIsSizedDataType(def.DataType))
      def.Size = 0;
  }
}

void TVLMTable::NormalizeIndexColumns() {
  for (int32_t i = 0; i < AdvIndexDefs.GetCount(); ++i) {
    TVLMAdvIndexDef& def = *AdvIndexDefs.GetItem(i);
    qv::StringList fields;
    qv::StringList lengths;
    auto split = [](const std::string& text, qv::StringList& list) {
      std::string normalized = text;
      std::replace(normalized.begin(), normalized.end(), ',', ';');
      size_t pos = 0;
      while (pos < normalized.size()) list.Add(qv::ExtractFieldName(normalized, pos));
    };
    split(def.Fields, fields);
    split(def.ColumnLengths, lengths);
    std::string out;
    for (int32_t c = 0; c < fields.Count(); ++c) {
      int32_t length = 0;
      if (c < lengths.Count()) {
        const std::string& text = lengths[c];
        length = std::atoi(text.c_str());
      }
      const TVLMAdvFieldDef* field = AdvFieldDefs.Find(fields[c]);
      if (length <= 0 || (field != nullptr && !VLMIsSizedDataType(field->DataType))) length = kDefaultColumnLength;
      if (c > 0) out += ';';
      out += std::to_string(length);
    }
    def.ColumnLengths = out;
  }
}

void TVLMTable::CreateTable() {
  CheckInactive();
  CheckTableName();
  WithTableCursor([&](TVLMLocalCursor& cursor) {
    RefuseReadOnly(20860);
    AddMissingFieldDefs();
    if (AdvFieldDefs.GetCount() == 0) {
      for (int32_t i = 0; i < GetFieldDefs().Count(); ++i) {
        qv::FieldDef* def = GetFieldDefs()[i];
        if (def->DataType() == qv::ftGuid) def->SetSize(qv::kGuidSize);
      }
      VLMFieldDefsToAdvFieldDefs(GetFieldDefs(), AdvFieldDefs);
      CheckFieldDefs();
    } else {
      NormalizeFieldDefs();
      CheckFieldDefs();
      VLMAdvFieldDefsToFieldDefs(AdvFieldDefs, GetFieldDefs());
    }
    if (AdvIndexDefs.GetCount() == 0)
      VLMIndexDefsToAdvIndexDefs(GetIndexDefs(), AdvIndexDefs);
    else
      VLMAdvIndexDefsToIndexDefs(AdvIndexDefs, GetIndexDefs());
    NormalizeIndexColumns();
    VLMAdvIndexDefsToEngine(AdvIndexDefs, GetFieldDefs(), EngineIndexDefs);
    VLMAdvFieldDefsToEngine(AdvFieldDefs, EngineFieldDefs, ConstraintDefs, EngineIndexDefs, Temporary_);
    RefuseInTransaction("CreateTable", 20182);
    cursor.CreateTable(&EngineFieldDefs, &EngineIndexDefs, &ConstraintDefs);
  });
}

void TVLMTable::DeleteTable() {
  Close();
  CheckTableName();
  WithTableCursor([&](TVLMLocalCursor& cursor) {
    RefuseReadOnly(20861);
    RefuseInTransaction("DeleteTable", 20183);
    cursor.DeleteTable();
  });
}

void TVLMTable::EmptyTable() {
  CheckInactive();
  WithTableCursor([&](TVLMLocalCursor& cursor) {
    RefuseReadOnly(20862);
    cursor.EmptyTable();
  });
}

void TVLMTable::RenameTable(std::string_view newName) {
  CheckInactive();
  CheckTableName();
  const std::string name(newName);
  WithTableCursor([&](TVLMLocalCursor& cursor) {
    RefuseReadOnly(20863);
    RefuseInTransaction("RenameTable", 20181);
    cursor.RenameTable(name);
  });
  TableName_ = name;
}

// ------------------------------------------------- the database component

TVLMLocalSession* TVLMTable::EngineSession() const { return Database() != nullptr ? Database()->Handle() : nullptr; }

bool TVLMTable::DatabaseInTransaction() const { return Database() != nullptr && Database()->InTransaction(); }

bool TVLMTable::DatabaseReadOnly() const { return Database() != nullptr && Database()->ReadOnly; }

bool TVLMTable::DatabaseMadeBySession() const { return Database() != nullptr && Database()->Temporary(); }

bool TVLMTable::DatabaseDisableTempFiles() const { return Database() != nullptr && Database()->DisableTempFiles; }

bool TVLMTable::DatabaseSilent() const { return Database() != nullptr && Database()->SilentMode; }

bool TVLMTable::TableExistsInDatabase() {
  if (Database() != nullptr) return Database()->TableExists(TableName_);
  // Attached just for the question: the session opens the database and
  // closes it again as it would for a dataset.
  TVLMSession* session = SessionOf();
  TVLMDatabase* database = session->OpenDatabase(DatabaseName(), DatabaseOwner());
  auto release = qv::ScopeExit([&] { session->CloseDatabase(database); });
  return database->TableExists(TableName_);
}

// ------------------------------------------------------------ LASTAUTOINC

namespace {

class AutoincTable : public TVLMAutoincTable {
public:
  AutoincTable(const std::string& sessionName, const std::string& databaseName, const std::string& tableName,
               bool inMemory) {
    Table_.SetSessionName(sessionName);
    if (inMemory)
      Table_.SetInMemory(true);
    else
      Table_.SetDatabaseName(databaseName);
    Table_.SetTableName(tableName);
    Table_.Open();
  }
  TVLMDataType FindFieldDataType(const std::string& fieldName) override {
    const TVLMFieldDef* def = Table_.EngineFieldDefs.FindFieldDef(fieldName);
    return def != nullptr ? def->DataType : 0;
  }
  int64_t GetLastAutoincValue(const std::string& fieldName) override { return Table_.GetLastAutoincValue(fieldName); }

private:
  TVLMTable Table_;
};

}  // namespace

std::unique_ptr<TVLMAutoincTable> VLMOpenAutoincTable(const std::string& sessionName, const std::string& databaseName,
                                                      const std::string& tableName, bool inMemory) {
  return std::make_unique<AutoincTable>(sessionName, databaseName, tableName, inMemory);
}
