// VLMLocalEngine, write part: edit, post, delete and cancel with their table
// and record locks, the BLOB streams of the current record, implicit
// transactions and constraint checks.
//
// A write never raises for an expected conflict: it leaves ResultCode (and
// ResultText for -8), and the dataset raises. Every write runs inside the
// database critical section, which a wait for another process's lock
// releases while it sleeps.
#include <cstring>
#include <exception>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace {

class TableDataScope {
public:
  explicit TableDataScope(TVLMLocalCursor& cursor) : Cursor_(cursor) { Cursor_.LockTableData(); }
  ~TableDataScope() { Cursor_.UnlockTableData(); }
  TableDataScope(const TableDataScope&) = delete;
  TableDataScope& operator=(const TableDataScope&) = delete;

private:
  TVLMLocalCursor& Cursor_;
};

// Result codes of the writes.
constexpr int32_t kInsertFailed = -1;
constexpr int32_t kUpdateFailed = -2;
constexpr int32_t kDeleteFailed = -3;
constexpr int32_t kUpdatedChanged = -4;
constexpr int32_t kDeletedChanged = -5;
constexpr int32_t kUpdatedDeleted = -6;
constexpr int32_t kDeletedDeleted = -7;
constexpr int32_t kCheckFailed = -8;
constexpr int32_t kTemporaryUpdate = -9;
constexpr int32_t kTemporaryDelete = -10;

bool IsWritableMode(uint8_t mode) {
  return mode == TVLMCursorBLOBStream::kOpenWrite || mode == TVLMCursorBLOBStream::kOpenReadWrite;
}

}  // namespace

// ------------------------------------------------------------ table locks

bool TVLMLocalCursor::LockTable(uint8_t, int32_t, int32_t, bool) {
  RequireTable(20221, "Pointer is nil");
  return true;
}

bool TVLMLocalCursor::UnlockTable(uint8_t, bool) {
  RequireTable(20222, "Pointer is nil");
  return true;
}

bool TVLMLocalCursor::IsRecordLocked() {
  RequireTable(10773, "Nil pointer occured");
  return false;
}

// ------------------------------------------------------------ re-reading

uint8_t TVLMLocalCursor::Reread(uint8_t*& reread) {
  // The copy keeps the bookmark and flag bytes, so the whole buffer can be
  // compared; the stored record is read over its field area.
  reread = AllocRecordBuffer();
  std::memcpy(reread, RecordBuffer, static_cast<size_t>(RecordBufferSize));
  uint8_t* current = RecordBuffer;
  auto restore = qv::ScopeExit([&] { RecordBuffer = current; });
  return ReadAt(VLMGetRecordID(current + BookmarkOffset), reread) ? kVLMNavOK : kVLMNavError;
}

// ---------------------------------------------------------------- writes

void TVLMLocalCursor::Edit() {
  ResultCode = 0;
  TableDataScope scope(*this);
  if (IsTemporaryTable()) ResultCode = kTemporaryUpdate;
}

void TVLMLocalCursor::Post(bool inserting) {
  ResultCode = 0;
  ResultText.clear();
  TableDataScope scope(*this);
  PostBody(inserting);
}

void TVLMLocalCursor::PostBody(bool inserting) {
  TVLMTableData& table = *Table();
  try {
    if (inserting) table.FieldManager->ApplyAutoincValues(Session, RecordBuffer);
    if (!IsTemporaryTable())
      table.ConstraintManager->CheckConstraints(SessionIDOf(), RecordBuffer, true, true, Position.RecordID, inserting,
                                                OldRecordBuffer);
  } catch (const std::exception& e) {
    ResultCode = kCheckFailed;
    ResultText = e.what();
    return;
  }
  FreeBlobStreams(true);
  if (inserting) {
    if (!table.InsertRecord(this)) {
      ResultCode = kInsertFailed;
      return;
    }
    VLMPutRecordID(RecordBuffer + BookmarkOffset, Position.RecordID);
    RecordBuffer[BookmarkOffset + kVLMRecordIDSize] = kVLMRecordInserted;
    return;
  }
  const TVLMCursorPosition saved = Position;
  uint8_t* reread = nullptr;
  auto release = qv::ScopeExit([&] { FreeRecordBuffer(reread); });
  const uint8_t found = Reread(reread);
  if (found != kVLMNavOK || !table.FieldManager->CompareRecordBuffers(OldRecordBuffer, reread)) {
    Position = saved;
    ResultCode = found != kVLMNavOK ? kUpdatedDeleted : kUpdatedChanged;
    return;
  }
  if (!table.UpdateRecord(this)) ResultCode = kUpdateFailed;
}

void TVLMLocalCursor::DeleteRecord() {
  ResultCode = 0;
  TableDataScope scope(*this);
  DeleteBody();
}

void TVLMLocalCursor::DeleteBody() {
  if (IsTemporaryTable()) {
    ResultCode = kTemporaryDelete;
    return;
  }
  const TVLMCursorPosition saved = Position;
  uint8_t* reread = nullptr;
  auto release = qv::ScopeExit([&] { FreeRecordBuffer(reread); });
  const uint8_t found = Reread(reread);
  if (found != kVLMNavOK || !VLMCompareBuffers(reread, RecordBuffer, RecordBufferSize)) {
    Position = saved;
    ResultCode = found != kVLMNavOK ? kDeletedDeleted : kDeletedChanged;
    return;
  }
  if (!Table()->DeleteRecord(this)) ResultCode = kDeleteFailed;
}

void TVLMLocalCursor::Cancel(bool inserting) {
  ResultCode = 0;
  TableDataScope scope(*this);
  FreeBlobStreams(true);
  if (inserting) Table()->FreeBlobs(RecordBuffer);
}

// ------------------------------------------------------------ BLOB streams

qv::Stream* TVLMLocalCursor::OpenBlob(bool, bool, int32_t fieldNo, uint8_t openMode, bool) {
  TableDataScope scope(*this);
  const int32_t count = CursorFieldCount();
  if (fieldNo < 0 || fieldNo >= count)
    throw EVLMException(10110, "Invalid field number - FieldNo = %d, FieldCount = %d", {fieldNo, count});
  if (!Opened) throw EVLMException(10113, "Nil pointer occured");
  const TVLMFieldDef& field = *CursorFieldDefs->GetFieldDef(fieldNo);
  const int32_t tableFieldNo = field.FieldNo;
  if (IsWritableMode(openMode))
    for (const auto& stream : BlobStreams)
      if (stream->FieldNo == tableFieldNo && IsWritableMode(stream->OpenMode))
        throw EVLMException(10115, "BLOB field already opened. FieldNo = %d, FieldName = %s", {fieldNo, field.Name});
  std::unique_ptr<qv::Stream> inner = Table()->OpenBlob(this, openMode, tableFieldNo);
  if (!inner) return nullptr;
  BlobStreams.push_back(std::make_unique<TVLMCursorBLOBStream>(std::move(inner), openMode, tableFieldNo));
  return BlobStreams.back().get();
}

void TVLMLocalCursor::CloseBlobAt(size_t index) {
  // Out of the list first: the owner's destructor may close the field
  // through the cursor again, and must find nothing left to close.
  std::unique_ptr<TVLMCursorBLOBStream> stream = std::move(BlobStreams[index]);
  BlobStreams.erase(BlobStreams.begin() + static_cast<std::ptrdiff_t>(index));
  auto free = qv::ScopeExit([&] {
    qv::Stream* owner = stream->Owner;
    delete owner;
    stream.reset();
  });
  if (IsWritableMode(stream->OpenMode)) Table()->SaveBlobStream(this, stream->FieldNo, stream->Inner());
}

void TVLMLocalCursor::CloseBlob(int32_t fieldNo) {
  TableDataScope scope(*this);
  const int32_t count = CursorFieldCount();
  if (fieldNo < 0 || fieldNo >= count)
    throw EVLMException(10118, "Invalid field number - FieldNo = %d, FieldCount = %d", {fieldNo, count});
  if (!Opened) throw EVLMException(10119, "Nil pointer occured");
  const int32_t tableFieldNo = CursorFieldDefs->GetFieldDef(fieldNo)->FieldNo;
  for (size_t i = 0; i < BlobStreams.size();) {
    if (BlobStreams[i]->FieldNo == tableFieldNo)
      CloseBlobAt(i);
    else
      ++i;
  }
}

void TVLMLocalCursor::FreeBlobStreams(bool onlyWritable) {
  size_t i = 0;
  while (i < BlobStreams.size()) {
    TVLMCursorBLOBStream* stream = BlobStreams[i].get();
    if (onlyWritable && !IsWritableMode(stream->OpenMode)) {
      ++i;
      continue;
    }
    // The owner's destruction closes the BLOB through the dataset and
    // CloseBlob; a stream without an owner (or one its owner left open) is
    // closed here, so every qualifying entry leaves the list.
    if (qv::Stream* owner = stream->Owner) {
      stream->Owner = nullptr;
      delete owner;
    }
    if (i < BlobStreams.size() && BlobStreams[i].get() == stream) CloseBlobAt(i);
  }
}

// ----------------------------------------------------- autoinc, checks

int64_t TVLMLocalCursor::GetLastAutoincValue(int32_t fieldNo) {
  TableDataScope scope(*this);
  return Table()->GetLastAutoincValue(fieldNo, Session);
}

void TVLMLocalCursor::BeginImplicitTransaction() {
  if (!SessionInTransaction()) ImplicitTransaction = true;
}

void TVLMLocalCursor::CommitImplicitTransaction() {
  if (SessionInTransaction() || !ImplicitTransaction) return;
  ImplicitTransaction = false;
}

void TVLMLocalCursor::RollbackImplicitTransaction() {
  if (SessionInTransaction() || !ImplicitTransaction) return;
  ImplicitTransaction = false;
}

bool TVLMLocalCursor::CheckConstraints(bool isInsert) {
  TableDataScope scope(*this);
  return Table()->ConstraintManager->CheckConstraints(SessionIDOf(), RecordBuffer, true, false, Position.RecordID,
                                                      isInsert, OldRecordBuffer);
}
