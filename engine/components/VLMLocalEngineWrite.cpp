// VLMLocalEngine, write part: edit, post, delete and cancel with their table
// and record locks, the BLOB streams of the current record, implicit
// transactions and constraint checks.
//
// A write never raises for an expected conflict: it leaves ResultCode (and
// ResultText for -8), and the dataset raises. Every write runs inside the
// database critical section, which a wait for another process's lock
// releases while it sleeps.
#include <algorithm>
#include <cstring>
#include <exception>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngineLocks.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/Exception.h"
#include "platform/host/Stream.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace {

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
constexpr int32_t kRecordLocked = -12;
constexpr int32_t kTableLocked = -13;

bool IsWritableMode(uint8_t mode) {
  return mode == TVLMCursorBLOBStream::kOpenWrite || mode == TVLMCursorBLOBStream::kOpenReadWrite;
}

}  // namespace

// ------------------------------------------------------------ table locks

bool TVLMLocalCursor::LockTable(uint8_t lockType, int32_t tries, int32_t delay, bool flag) {
  RequireTable(20221, "Pointer is nil");
  TVLMDiskTableData* disk = DiskTable();
  // A table kept open between a statement's runs holds its open lock, which
  // the exclusive lock would wait for in vain.
  if (disk != nullptr && lockType == kVLMLockTableExclusive) {
    auto guard = disk->LockGuard();
    ReleaseIdleCursors(TableData);
  }
  return disk == nullptr || disk->LockTable(SessionIDOf(), lockType, tries, static_cast<uint32_t>(delay), flag);
}

bool TVLMLocalCursor::UnlockTable(uint8_t lockType, bool flag) {
  RequireTable(20222, "Pointer is nil");
  TVLMDiskTableData* disk = DiskTable();
  return disk == nullptr || disk->UnlockTable(SessionIDOf(), lockType, flag);
}

bool TVLMLocalCursor::IsRecordLocked() {
  RequireTable(10773, "Nil pointer occured");
  TVLMDiskTableData* disk = DiskTable();
  return disk != nullptr && disk->IsRecordLocked(SessionIDOf(), VLMGetRecordID(RecordBuffer + BookmarkOffset));
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

int32_t TVLMLocalCursor::LockTableAndRecord(TVLMDiskTableData& disk, uint8_t type) {
  const TVLMRetrySettings& settings = VLMRetrySettings();
  const int32_t sessionID = SessionIDOf();
  if (!RetryReleasingTableData(settings.TableCommitTries, settings.TableCommitDelayMs,
                               [&] { return disk.LockTable(sessionID, type, 1, 0, true); }))
    return kTableLocked;
  if (!disk.LockRecord(sessionID, VLMGetRecordID(RecordBuffer + BookmarkOffset), settings.RecordLockTries,
                       settings.RecordLockDelayMs)) {
    // Only the table lock taken here goes back.
    disk.UnlockTable(sessionID, type, false);
    return kRecordLocked;
  }
  return 0;
}

void TVLMLocalCursor::Edit() {
  ResultCode = 0;
  TVLMTableDataScope scope(*this);
  if (IsTemporaryTable()) {
    ResultCode = kTemporaryUpdate;
    return;
  }
  TVLMDiskTableData* disk = LockingTable();
  if (disk == nullptr) return;
  const int32_t sessionID = SessionIDOf();
  const uint8_t type = SessionInTransaction() ? kVLMLockTableChanged : kVLMLockTableEdit;
  ResultCode = LockTableAndRecord(*disk, type);
  if (ResultCode != 0) return;
  const TVLMRecordID recordID = VLMGetRecordID(RecordBuffer + BookmarkOffset);
  // Whether the record read earlier is still the stored one.
  const TVLMCursorPosition saved = Position;
  uint8_t* reread = nullptr;
  auto release = qv::ScopeExit([&] { FreeRecordBuffer(reread); });
  const uint8_t found = Reread(reread);
  Position = saved;
  if (found != kVLMNavOK)
    ResultCode = kUpdatedDeleted;
  else if (!Table()->FieldManager->CompareRecordBuffers(RecordBuffer, reread))
    ResultCode = kUpdatedChanged;
  if (ResultCode == 0) return;
  disk->UnlockRecord(sessionID, recordID);
  disk->UnlockTable(sessionID, type, false);
}

void TVLMLocalCursor::Post(bool inserting) {
  ResultCode = 0;
  ResultText.clear();
  TVLMTableDataScope scope(*this);
  TVLMDiskTableData* disk = LockingTable();
  if (disk == nullptr) {
    PostBody(inserting);
    return;
  }
  const TVLMRetrySettings& settings = VLMRetrySettings();
  const int32_t sessionID = SessionIDOf();
  const bool inTransaction = SessionInTransaction();
  const uint8_t type = inTransaction ? kVLMLockTableChanged : kVLMLockTableCommit;
  if (!RetryReleasingTableData(settings.TableOperationTries, settings.TableOperationDelayMs,
                               [&] { return disk->LockTable(sessionID, type, 1, 0, true); })) {
    // Nothing was written and nothing taken here; the edit's locks stay for
    // a later Post or Cancel.
    ResultCode = kTableLocked;
    return;
  }
  auto unlock = qv::ScopeExit([&] {
    // After -8 the record can be corrected and posted again: the edit's
    // locks stay.
    if (!inserting && ResultCode != kCheckFailed) {
      disk->UnlockRecord(sessionID, VLMGetRecordID(RecordBuffer + BookmarkOffset));
      // Inside a transaction the edit's lock (type 3) lasts until its end.
      if (!inTransaction) disk->UnlockTable(sessionID, kVLMLockTableEdit, false);
    }
    if (!inTransaction) disk->UnlockTable(sessionID, kVLMLockTableCommit, false);
  });
  PostBody(inserting);
}

void TVLMLocalCursor::PostBody(bool inserting) {
  TVLMTableData& table = *Table();
  // A disk table is never a temporary one: the cheaper cast answers both.
  TVLMDiskTableData* disk = DiskTable();
  // The counters are read only when another session may have moved them on
  // (LoadMostUpdated); an insert that stops after taking an autoincrement
  // value, or half way, leaves them to be read again.
  bool inserted = false;
  auto forget = qv::ScopeExit([&] {
    if (inserting && !inserted && disk != nullptr) disk->ForgetCounters();
  });
  // A file that cannot be read, or another connection's cut commit
  // (10741), is the post's error, as it is its commit's; not a check that
  // failed.
  if (inserting && disk != nullptr) disk->LoadMostUpdated(SessionIDOf());
  try {
    if (inserting) table.FieldManager->ApplyAutoincValues(Session, RecordBuffer);
    if (disk != nullptr || !IsTemporaryTable())
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
    inserted = true;
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
  TVLMTableDataScope scope(*this);
  TVLMDiskTableData* disk = LockingTable();
  if (disk == nullptr) {
    DeleteBody();
    return;
  }
  const int32_t sessionID = SessionIDOf();
  const bool inTransaction = SessionInTransaction();
  const uint8_t type = inTransaction ? kVLMLockTableChanged : kVLMLockTableCommit;
  ResultCode = LockTableAndRecord(*disk, type);
  if (ResultCode != 0) return;
  const TVLMRecordID recordID = VLMGetRecordID(RecordBuffer + BookmarkOffset);
  auto unlock = qv::ScopeExit([&] {
    disk->UnlockRecord(sessionID, recordID);
    if (!inTransaction) disk->UnlockTable(sessionID, kVLMLockTableCommit, false);
  });
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
  TVLMTableDataScope scope(*this);
  FreeBlobStreams(true);
  TVLMDiskTableData* disk = DiskTable();
  if (disk != nullptr) disk->FreeRecordBlobs(RecordBuffer);
  if (inserting) Table()->FreeBlobs(RecordBuffer);
  if (inserting || LockingTable() == nullptr) return;
  const int32_t sessionID = SessionIDOf();
  disk->UnlockRecord(sessionID, VLMGetRecordID(RecordBuffer + BookmarkOffset));
  if (!SessionInTransaction()) disk->UnlockTable(sessionID, kVLMLockTableEdit, true);
}

// ------------------------------------------------------------ BLOB streams

qv::Stream* TVLMLocalCursor::OpenBlob(bool isInsert, bool isEdit, int32_t fieldNo, uint8_t openMode, bool isBrowse) {
  TVLMTableDataScope scope(*this);
  TVLMDiskTableData* disk = LockingTable();
  if (disk == nullptr) return OpenBlobStream(fieldNo, openMode);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  const int32_t sessionID = SessionIDOf();
  if (!RetryReleasingTableData(settings.TableOperationTries, settings.TableOperationDelayMs,
                               [&] { return disk->LockTable(sessionID, kVLMLockTableOperation, 1, 0, true); }))
    return nullptr;
  auto unlock = qv::ScopeExit([&] { disk->UnlockTable(sessionID, kVLMLockTableOperation, false); });
  if (!isInsert && !isEdit && isBrowse && BlobStreams.empty()) {
    // A browsed record may have changed since it was read: it is read again
    // in place, as a probe. The cursor stays where it stands, and its next
    // step goes on from the record as its step read it: a read in place
    // that took the record now at the address (another key, or another
    // record in the slot of a deleted one) would move a walk that reads a
    // BLOB on every row.
    const TVLMRecordID at = VLMGetRecordID(RecordBuffer + BookmarkOffset);
    const TVLMUnmovedCheck unmoved(*this);
    uint8_t* stored = AllocRecordBuffer();
    auto release = qv::ScopeExit([&] { FreeRecordBuffer(stored); });
    bool found = false;
    if (!Table()->RunRead(this, [&] { found = Table()->ReadIndexedRecord(sessionID, at, stored); }))
      return nullptr;
    // Another connection deleted the record, and maybe put another in its
    // slot: its value reads empty and the buffer keeps the record. No
    // stream would make the dataset refresh, which moves it to the next
    // record, and a walk that reads the value of each row would skip that
    // one.
    if (!found || !SameRow(stored)) return EmptyBlobStream(fieldNo);
    const auto size = static_cast<size_t>(Table()->FieldManager->Layout().BufferSize);
    std::memcpy(RecordBuffer, stored, std::min(size, static_cast<size_t>(BookmarkOffset)));
  }
  return OpenBlobStream(fieldNo, openMode);
}

bool TVLMLocalCursor::SameRow(const uint8_t* stored) {
  TVLMBaseIndexManager& indexes = *Table()->IndexManager;
  for (int32_t i = 0; i < indexes.IndexDefs->GetCount(); ++i) {
    const TVLMIndexDef& def = *indexes.IndexDefs->GetIndexDef(i);
    if (def.Primary && !def.Temporary)
      return indexes.GetIndex(def.ObjectID)->CompareRecordWithKey(stored, RecordBuffer, -1) == 0;
  }
  return true;
}

qv::Stream* TVLMLocalCursor::EmptyBlobStream(int32_t fieldNo) {
  const int32_t count = CursorFieldCount();
  if (fieldNo < 0 || fieldNo >= count)
    throw EVLMException(10110, "Invalid field number - FieldNo = %d, FieldCount = %d", {fieldNo, count});
  const int32_t tableFieldNo = CursorFieldDefs->GetFieldDef(fieldNo)->FieldNo;
  BlobStreams.push_back(std::make_unique<TVLMCursorBLOBStream>(std::make_unique<qv::MemoryStream>(),
                                                               TVLMCursorBLOBStream::kOpenRead, tableFieldNo));
  return BlobStreams.back().get();
}

qv::Stream* TVLMLocalCursor::OpenBlobStream(int32_t fieldNo, uint8_t openMode) {
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
  // A disk table keeps the value it read for the buffer until told.
  if (!stream->Modified && DiskTable() != nullptr) Table()->FreeBlob(RecordBuffer, stream->FieldNo);
}

void TVLMLocalCursor::CloseBlob(int32_t fieldNo) {
  TVLMTableDataScope scope(*this);
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
  TVLMTableDataScope scope(*this);
  return Table()->GetLastAutoincValue(fieldNo, Session);
}

void TVLMLocalCursor::RaiseAutoincValue(int32_t fieldNo, int64_t value) {
  TVLMTableDataScope scope(*this);
  Table()->RaiseAutoincValue(this, fieldNo, value);
}

void TVLMLocalCursor::BeginImplicitTransaction() {
  if (!SessionInTransaction()) ImplicitTransaction = true;
}

void TVLMLocalCursor::CommitImplicitTransaction() {
  if (SessionInTransaction() || !ImplicitTransaction) return;
  ImplicitTransaction = false;
  if (TVLMDiskTableData* disk = DiskTable()) disk->Commit(SessionIDOf(), false);
}

void TVLMLocalCursor::RollbackImplicitTransaction() {
  if (SessionInTransaction() || !ImplicitTransaction) return;
  ImplicitTransaction = false;
  if (TVLMDiskTableData* disk = DiskTable()) disk->Rollback(SessionIDOf(), false);
}

bool TVLMLocalCursor::CheckConstraints(bool isInsert) {
  TVLMTableDataScope scope(*this);
  return Table()->ConstraintManager->CheckConstraints(SessionIDOf(), RecordBuffer, true, false, Position.RecordID,
                                                      isInsert, OldRecordBuffer);
}
