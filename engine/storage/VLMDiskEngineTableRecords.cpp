// VLMDiskEngine, record part: TVLMDiskTableData's inserts, updates and
// deletes with auto-commit, the multi-user read wrappers, record numbers and
// the BLOB calls. Layouts, invariants and states are described in
// VLMDiskEngineTables.h.
//
// A disk record number is page x N + slot (N records per page), so numbers
// have gaps where slots are free; GetRecordNoLimit bounds them.
#include <cstring>
#include <optional>

#include "engine/core/VLMBLOBStream.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMDiskEngineBlobs.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "engine/storage/VLMTempEngine.h"
#include "platform/host/ScopeExit.h"

namespace {

bool InTransaction(const TVLMCursor* cursor) {
  return cursor->Session != nullptr && cursor->Session->InTransaction;
}

[[noreturn]] void TableIsLocked(int32_t code) { throw EVLMException(code, "Table is locked"); }

}  // namespace

// ------------------------------------------------------------ record numbers

int64_t TVLMDiskTableData::GetRecordNoLimit(int32_t sessionID) {
  auto guard = LockGuard();
  return Required(DiskRecordManager(), 20528).GetRecordNoLimit(sessionID);
}

int64_t TVLMDiskTableData::GetRecordCount(int32_t sessionID) { return GetRecordNoLimit(sessionID); }

int64_t TVLMDiskTableData::RecordIDToRecordNo(const TVLMRecordID& recordID) {
  QV_REQUIRE_LOCK(DatabaseData->CriticalSection().HeldByThisThread(), "the database critical section");
  return static_cast<int64_t>(recordID.Page) * Required(DiskRecordManager(), 20529).RecordsPerPage + recordID.Row;
}

void TVLMDiskTableData::RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) {
  QV_REQUIRE_LOCK(DatabaseData->CriticalSection().HeldByThisThread(), "the database critical section");
  const int64_t perPage = Required(DiskRecordManager(), 20530).RecordsPerPage;
  recordID.Page = static_cast<uint32_t>(recordNo / perPage);
  recordID.Row = static_cast<uint16_t>(recordNo % perPage);
}

// ------------------------------------------------------------ read wrappers
//
// A multi-user read sees what the other processes committed before it began.
// It asks the file whether a commit was written since this table's counters
// were last loaded for the session (one read of the commit mark, see
// TVLMDiskPageManager::ReadCommitMark):
//
//   same mark     (and no write, commit or rollback of this process since)
//                 body runs on what the session has: cached pages validated
//                 under the table's stamp are trusted as under the type-1
//                 lock. When body had to read from the file, the mark is
//                 read again; a different mark means a commit may have
//                 written while body read, and the read is made again under
//                 the lock.
//   other mark    the type-1 lock, the counters loaded, what readers kept
//                 forgotten, body (the locked read).
//
// A session that holds a lock keeping every other committer off the table
// (type 3 in a transaction that changed it, 4 while it commits or posts, 6)
// since its counters were loaded under it (CountersCurrent) asks nothing:
// no commit can touch the table's pages while that lock lasts, so a
// transaction's reads of its own inserts cost no read of the file.
//
// A cursor stepping in natural order from record to record of the page it
// stands on takes no check at all (StepInBatch): the steps of one page are
// one read of the file. A single-user cursor stepping in index order over
// the entries its index read ahead takes them the same short way.

bool TVLMDiskTableData::ReadWrapped(TVLMCursor* cursor, bool refreshIndexes, const std::function<void()>& body) {
  auto guard = LockGuard();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  // A read inside a read of the same session (a locate reading the record
  // it found) runs on the outer read's check.
  if (ReadDepth_ > 0 && ReadSession_ == sessionID) {
    body();
    return true;
  }
  const int32_t outerSession = ReadSession_;
  ++ReadDepth_;
  ReadSession_ = sessionID;
  auto depth = qv::ScopeExit([&] {
    --ReadDepth_;
    ReadSession_ = outerSession;
  });
  TVLMDiskPageManager& pages = *DiskDatabase_->DiskPageManager();
  // While the session holds a lock that keeps every other committer off the
  // table, what it checked stays true whatever the file's mark says.
  const bool excluded =
      CheckedSession_ == sessionID && CheckedView_ == pages.ViewVersion() && CountersCurrent(sessionID);
  uint32_t mark = CheckedMark_;
  if (!excluded && (CheckedSession_ != sessionID || CheckedView_ != pages.ViewVersion() ||
                    !pages.ReadCommitMark(mark) || mark != CheckedMark_))
    return LockedRead(cursor, refreshIndexes, body);
  // Another handle rolled a cut commit back: cached pages go first.
  if (pages.RollbackNoticed()) return LockedRead(cursor, refreshIndexes, body);
  const TVLMCursorPosition position = cursor->Position;
  const uint64_t reads = pages.FileReads();
  // Nothing was committed since the stamp was set: the table's pages carry
  // the stamp they would get under the lock.
  TVLMDiskTablePagesCacheManager& pagesCache = pages.PagesCache;
  pagesCache.OperationLockTaken(sessionID, this);
  pagesCache.SetStamp(sessionID, this, PageStamp());
  pagesCache.EnterTable(sessionID, this);
  auto leave = qv::ScopeExit([&] {
    pagesCache.LeaveTable(sessionID, this);
    pagesCache.OperationLockReleased(sessionID, this);
  });
  auto unchanged = [&] {
    uint32_t after = 0;
    return excluded || pages.FileReads() == reads ||
           (pages.ReadCommitMark(after) && after == mark && !pages.RollbackNoticed());
  };
  try {
    if (refreshIndexes) {
      bool rebuilt = false;
      IndexManager->RefreshTemporaryIndexes(cursor, rebuilt);
      if (rebuilt) TemporaryPageManager_->Commit(sessionID);
    }
    body();
  } catch (const std::exception&) {
    // A page of a commit in progress may be what failed.
    if (unchanged()) throw;
  }
  if (unchanged()) return true;
  leave.Release();
  pagesCache.LeaveTable(sessionID, this);
  pagesCache.OperationLockReleased(sessionID, this);
  cursor->Position = position;
  cursor->ClearRecordBitmap();
  return LockedRead(cursor, refreshIndexes, body);
}

bool TVLMDiskTableData::LockedRead(TVLMCursor* cursor, bool refreshIndexes, const std::function<void()>& body) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (!IsMultiUser()) {
    // Let in read-only beside a connection that holds the file and takes
    // no table locks: every commit holds the database lock while it writes.
    TVLMDiskPageManager& pages = *DiskDatabase_->DiskPageManager();
    if (!RetryOperation(settings.TableOperationTries, settings.TableOperationDelayMs,
                        [&] { return pages.LockDatabase(); }))
      return false;
    pages.PagesCache.OperationLockTaken(sessionID, this);
    auto unlock = qv::ScopeExit([&] {
      pages.PagesCache.OperationLockReleased(sessionID, this);
      pages.UnlockDatabase();
    });
    LockedBody(cursor, refreshIndexes, body);
    return true;
  }
  if (!LockTable(sessionID, kVLMLockTableOperation, settings.TableOperationTries, settings.TableOperationDelayMs,
                 true))
    return false;
  auto unlock = qv::ScopeExit([&] { UnlockTable(sessionID, kVLMLockTableOperation, false); });
  LockedBody(cursor, refreshIndexes, body);
  return true;
}

void TVLMDiskTableData::LockedBody(TVLMCursor* cursor, bool refreshIndexes, const std::function<void()>& body) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  ++LockedReads_;
  TVLMDiskPageManager& pages = *DiskDatabase_->DiskPageManager();
  // Read under the lock, before the counters: no commit of this table can
  // come between the two. Over another connection's cut commit the read is
  // refused (10741).
  uint32_t mark = 0;
  const bool marked = pages.ReadFinishedCommitMark(mark);
  if (pages.TakeRollbackNotice()) {
    // A rolled-back commit's pages may be cached under a stamp the rollback
    // brought back: what the readers keep and every cached page go.
    DiskRecordManager()->ForgetReaders();
    pages.DropSharedPages();
    ForgetCounters();
  }
  LoadMostUpdated(sessionID);
  DiskRecordManager()->ForgetReaders();
  if (marked) {
    CheckedMark_ = mark;
    CheckedSession_ = sessionID;
    CheckedView_ = pages.ViewVersion();
  }
  TVLMDiskTablePagesCacheManager& pagesCache = pages.PagesCache;
  pagesCache.EnterTable(sessionID, this);
  auto leave = qv::ScopeExit([&] { pagesCache.LeaveTable(sessionID, this); });
  if (refreshIndexes) {
    bool rebuilt = false;
    IndexManager->RefreshTemporaryIndexes(cursor, rebuilt);
    if (rebuilt) TemporaryPageManager_->Commit(sessionID);
  }
  body();
}

bool TVLMDiskTableData::StepInBatch(TVLMCursor* cursor, uint8_t mode, uint8_t& result) {
  if ((mode != 1 && mode != 2) || cursor->HasRecordRestrictions() || cursor->Position.Bof != 0 ||
      cursor->Position.Eof != 0 || cursor->RecordBuffer == nullptr)
    return false;
  auto guard = LockGuard();
  if (RecordManager == nullptr) return false;
  TVLMNavigationRequest request;
  request.Mode = mode;
  request.IndexID = cursor->IndexID;
  request.RecordID = cursor->Position.RecordID;
  request.RecordBuffer = cursor->RecordBuffer;
  request.Cache = &cursor->PositionCache;
  if (cursor->HasIndex()) {
    // In index order: the entries the index read ahead for the cursor,
    // copies read under one look at the file; a multi-user reader looks at
    // the file for every step and takes them only through the general step.
    if (DiskDatabase_->ReadsShared() || IndexManager == nullptr) return false;
    TVLMIndex* index = IndexManager->FindOpenIndex(cursor->IndexID);
    if (index == nullptr || !index->StepAhead(VLMCursorSessionID(cursor), request, &cursor->PositionCache))
      return false;
  } else if (!DiskRecordManager()->StepOnPinnedPage(VLMCursorSessionID(cursor), request)) {
    return false;
  }
  CountRecordRead();
  cursor->Position.RecordID = request.RecordID;
  result = request.Result;
  return true;
}

uint8_t TVLMDiskTableData::GetRecord(TVLMCursor* cursor, uint8_t mode) {
  uint8_t result = kVLMNavError;
  // The next record on the page the cursor stands on needs neither a check
  // of the file (multi-user) nor the general navigation.
  if (StepInBatch(cursor, mode, result)) return result;
  if (!Read(cursor, true, [&] { result = TVLMTableData::GetRecord(cursor, mode); })) return kVLMNavError;
  return result;
}

bool TVLMDiskTableData::Locate(TVLMCursor* cursor, TVLMExpression* condition) {
  bool found = false;
  if (!Read(cursor, true, [&] { found = TVLMTableData::Locate(cursor, condition); })) TableIsLocked(20214);
  return found;
}

bool TVLMDiskTableData::GotoKey(TVLMCursor* cursor, uint8_t mode) {
  bool found = false;
  if (!Read(cursor, true, [&] { found = TVLMTableData::GotoKey(cursor, mode); })) TableIsLocked(20215);
  return found;
}

bool TVLMDiskTableData::RunRead(TVLMCursor* cursor, const std::function<void()>& body) {
  return Read(cursor, true, body);
}

void TVLMDiskTableData::SetRecNo(TVLMCursor* cursor, int64_t recNo) {
  if (!Read(cursor, true, [&] { TVLMTableData::SetRecNo(cursor, recNo); })) TableIsLocked(20216);
}

int64_t TVLMDiskTableData::GetRecNo(TVLMCursor* cursor) {
  int64_t recNo = -1;
  if (!Read(cursor, true, [&] { recNo = TVLMTableData::GetRecNo(cursor); })) TableIsLocked(20217);
  return recNo;
}

void TVLMDiskTableData::InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) {
  const auto body = [&] {
    Required(DiskRecordManager(), 20531).SetRecNo(VLMCursorSessionID(cursor), cursor->Position.RecordID, recNo);
  };
  if (!Read(cursor, false, body)) TableIsLocked(20219);
}

int64_t TVLMDiskTableData::InternalGetRecNo(TVLMCursor* cursor) {
  int64_t recNo = -1;
  const auto body = [&] {
    recNo = Required(DiskRecordManager(), 20532).GetRecNo(VLMCursorSessionID(cursor), cursor->Position.RecordID);
  };
  if (!Read(cursor, false, body)) TableIsLocked(20220);
  return recNo;
}

int64_t TVLMDiskTableData::InternalGetRecordCount(TVLMCursor* cursor) {
  int64_t count = 0;
  if (!Read(cursor, false, [&] { count = Required(RecordManager.get(), 20533).RecordCount; }))
    TableIsLocked(20218);
  return count;
}

uint16_t TVLMDiskTableData::GetPageDataSize() { return PageManager != nullptr ? PageManager->PageDataSize : 0; }

int64_t TVLMDiskTableData::GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session) {
  auto guard = LockGuard();
  return Required(FieldManager.get(), 20534).GetSequenceLastValue(session, fieldNo);
}

void TVLMDiskTableData::RaiseAutoincValue(TVLMCursor* cursor, int32_t fieldNo, int64_t value) {
  auto guard = LockGuard();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  LoadMostUpdated(sessionID);
  if (Required(FieldManager.get(), 20534).GetSequenceLastValue(nullptr, fieldNo) >= value) return;
  TVLMTableData::RaiseAutoincValue(cursor, fieldNo, value);
  SaveMostUpdated(sessionID);
  Commit(sessionID, InTransaction(cursor));
}

// ------------------------------------------------------------ writes
//
// A write scope keeps invariant 7 of VLMDiskEngineTables.h. Before the
// write changes anything it notes the cursor's record buffer and position
// and every index's root page, and opens the session's write mark on the
// table's page manager and on that of the temporary indexes. Stand() ends the
// marks once the write stands (committed, or kept in the session's
// transaction); a scope left before that takes the write back. A write
// inside another write of the session (whose mark is open) is covered by
// the outer scope.

class TVLMDiskTableData::WriteScope {
public:
  WriteScope(TVLMDiskTableData& table, TVLMCursor* cursor)
      : Table_(table), Cursor_(cursor), SessionID_(VLMCursorSessionID(cursor)), Position_(cursor->Position) {
    Marked_ = Table_.PageManager->BeginWriteMark(SessionID_);
    if (!Marked_) return;
    if (Table_.TemporaryPageManager_ != nullptr)
      TemporaryMarked_ = Table_.TemporaryPageManager_->BeginWriteMark(SessionID_);
    std::vector<uint8_t>& record = Table_.WriteRecordCopy_;
    record.clear();
    if (Cursor_->RecordBuffer != nullptr && Cursor_->RecordBufferSize > 0)
      record.assign(Cursor_->RecordBuffer, Cursor_->RecordBuffer + Cursor_->RecordBufferSize);
    std::vector<int32_t>& roots = Table_.WriteIndexRoots_;
    roots.clear();
    const TVLMIndexDefs& defs = *Table_.IndexManager->IndexDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) roots.push_back(defs.GetIndexDef(i)->RootPageNo);
  }
  ~WriteScope() {
    if (Marked_ && !Stood_) TakeBack();
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

  void Stand() {
    Stood_ = true;
    if (!Marked_) return;
    Table_.PageManager->EndWriteMark(SessionID_);
    if (TemporaryMarked_) Table_.TemporaryPageManager_->EndWriteMark(SessionID_);
  }

private:
  // Never inlined into the landing pad of the write's exception (see
  // platform/host/ScopeExit.h for what gcc 12 made of that).
  [[gnu::noinline]] void TakeBack() noexcept {
    try {
      Table_.PageManager->UndoWriteMark(SessionID_);
      if (TemporaryMarked_) Table_.TemporaryPageManager_->UndoWriteMark(SessionID_);
    } catch (...) {
      // Only a broken page count can fail here; the error that ends the
      // write is the one its caller sees.
    }
    const TVLMIndexDefs& defs = *Table_.IndexManager->IndexDefs;
    const std::vector<int32_t>& roots = Table_.WriteIndexRoots_;
    if (static_cast<size_t>(defs.GetCount()) == roots.size())
      for (int32_t i = 0; i < defs.GetCount(); ++i) defs.GetIndexDef(i)->RootPageNo = roots[static_cast<size_t>(i)];
    const std::vector<uint8_t>& record = Table_.WriteRecordCopy_;
    if (!record.empty() && Cursor_->RecordBuffer != nullptr &&
        record.size() == static_cast<size_t>(Cursor_->RecordBufferSize))
      std::memcpy(Cursor_->RecordBuffer, record.data(), record.size());
    Cursor_->Position = Position_;
    Cursor_->ClearRecordBitmap();
    // The counters in memory counted the write: read again as the session
    // sees them now (a failed read leaves them for the next load).
    Table_.ForgetCounters();
    Table_.CheckedSession_ = kVLMInvalidSessionID;
    Table_.DiskRecordManager()->ForgetReaders();
    try {
      Table_.LoadMostUpdated(SessionID_);
    } catch (...) {
    }
    // A temporary index is rebuilt before it is used again: its pages are
    // as the write found them, its stamp may not say so.
    Table_.MarkTemporaryIndexesStale();
  }

  TVLMDiskTableData& Table_;
  TVLMCursor* Cursor_;
  const int32_t SessionID_;
  const TVLMCursorPosition Position_;
  bool Marked_ = false;
  bool TemporaryMarked_ = false;
  bool Stood_ = false;
};

void TVLMDiskTableData::PrepareWrite(TVLMCursor* cursor) {
  if (!IsMultiUser()) return;
  // The counters as the file holds them (another connection may have
  // committed since they were read), and the temporary indexes built again
  // when their stamp says they are stale.
  LoadMostUpdated(VLMCursorSessionID(cursor));
  bool rebuilt = false;
  IndexManager->RefreshTemporaryIndexes(cursor, rebuilt);
}

void TVLMDiskTableData::MaintainBitmapAfterWrite(TVLMCursor* cursor) {
  TVLMRecordBitmap* bitmap = cursor->RecordBitmap.get();
  if (bitmap == nullptr || !bitmap->Filled) return;
  if (CheckRecordFilter(cursor))
    bitmap->IncludeRecord(cursor->Position.RecordID);
  else
    bitmap->ExcludeRecord(cursor->Position.RecordID);
}

void TVLMDiskTableData::CommitWrite(TVLMCursor* cursor) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  SaveMostUpdated(sessionID);
  if (cursor->NoAutoCommit) return;
  Commit(sessionID, InTransaction(cursor));
  // The commit made what the session saved everyone's view; the counters
  // in memory are still that.
  if (CountersSession_ == sessionID) CountersView_ = DiskDatabase_->DiskPageManager()->ViewVersion();
}

bool TVLMDiskTableData::InsertRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(20135, "Nil pointer occured");
  if (cursor->RecordBuffer == nullptr) throw EVLMException(20136, "Nil pointer occured");
  const int32_t sessionID = VLMCursorSessionID(cursor);
  WriteScope scope(*this, cursor);
  PrepareWrite(cursor);
  BlobManager_->StoreModifiedBlobs(sessionID, cursor->RecordBuffer);
  TVLMRecordID recordID;
  if (!RecordManager->InsertRecord(sessionID, cursor->RecordBuffer, recordID)) return false;
  cursor->Position.RecordID = recordID;
  MaintainBitmapAfterWrite(cursor);
  IndexManager->InsertRecord(cursor);
  cursor->Position.Bof = 0;
  cursor->Position.Eof = 0;
  CommitWrite(cursor);
  scope.Stand();
  BlobManager_->ReleaseStoredBlobs(cursor->RecordBuffer);
  return true;
}

bool TVLMDiskTableData::UpdateRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(20138, "Nil pointer occured");
  if (cursor->RecordBuffer == nullptr) throw EVLMException(20139, "Nil pointer occured");
  const int32_t sessionID = VLMCursorSessionID(cursor);
  WriteScope scope(*this, cursor);
  bool written = false;
  auto forget = qv::ScopeExit([&] {
    if (!written) ForgetCounters();
  });
  PrepareWrite(cursor);
  IndexManager->UpdateRecord(cursor, true);
  bool done = false;
  {
    // The second phase also ends a first phase whose write failed.
    auto secondPhase = qv::ScopeExit([&] { IndexManager->UpdateRecord(cursor, false); });
    BlobManager_->StoreModifiedBlobs(sessionID, cursor->RecordBuffer);
    done = RecordManager->UpdateRecord(sessionID, cursor->RecordBuffer, cursor->Position.RecordID);
  }
  if (!done) return false;
  MaintainBitmapAfterWrite(cursor);
  CommitWrite(cursor);
  scope.Stand();
  written = true;
  BlobManager_->ReleaseStoredBlobs(cursor->RecordBuffer);
  return true;
}

bool TVLMDiskTableData::DeleteRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(20137, "Nil pointer occured");
  const int32_t sessionID = VLMCursorSessionID(cursor);
  WriteScope scope(*this, cursor);
  bool written = false;
  auto forget = qv::ScopeExit([&] {
    if (!written) ForgetCounters();
  });
  PrepareWrite(cursor);
  // Where the cursor goes afterwards; nowhere when the table becomes empty
  // for it.
  const std::optional<TVLMRecordID> neighbour = PositionAfterDelete(cursor);
  FreeBlobs(cursor->RecordBuffer);
  BlobManager_->DeleteBlobs(sessionID, cursor->RecordBuffer);
  IndexManager->DeleteRecord(cursor);
  const auto stampBefore = static_cast<int32_t>(RecordManager->ChangeStamp);
  if (!RecordManager->DeleteRecord(sessionID, cursor->Position.RecordID)) return false;
  CommitWrite(cursor);
  scope.Stand();
  written = true;
  if (TVLMRecordBitmap* bitmap = cursor->RecordBitmap.get(); bitmap != nullptr && bitmap->Filled) {
    bitmap->ExcludeRecord(cursor->Position.RecordID);
    // The bitmap is still complete: only the deleted record changed.
    if (bitmap->Stamp == stampBefore && !cursor->HasIndexFields())
      bitmap->Stamp = static_cast<int32_t>(RecordManager->ChangeStamp);
  }
  cursor->Position.Bof = neighbour ? 0 : 1;
  cursor->Position.Eof = 0;
  if (neighbour) cursor->Position.RecordID = *neighbour;
  return true;
}

// ------------------------------------------------------------ BLOBs

TVLMDiskBlobStream::TVLMDiskBlobStream(std::unique_ptr<TVLMTemporaryStream> inner,
                                       const TVLMBLOBDescriptor& descriptor, bool truncate)
    : Inner_(std::move(inner)),
      Value_(std::make_unique<TVLMCompressedBLOBStream>(*Inner_, false, truncate, descriptor)) {}

TVLMDiskBlobStream::~TVLMDiskBlobStream() = default;

int64_t TVLMDiskBlobStream::Read(void* buffer, int64_t count) { return Value_->Read(buffer, count); }

int64_t TVLMDiskBlobStream::Write(const void* buffer, int64_t count) { return Value_->Write(buffer, count); }

int64_t TVLMDiskBlobStream::Seek(int64_t offset, qv::SeekOrigin origin) { return Value_->Seek(offset, origin); }

void TVLMDiskBlobStream::SetSize(int64_t newSize) { Value_->SetSize(newSize); }

int64_t TVLMDiskBlobStream::GetSize() { return Value_->GetSize(); }

const TVLMBLOBDescriptor& TVLMDiskBlobStream::Descriptor() const { return Value_->Descriptor(); }

const TVLMFieldDef& TVLMDiskTableData::BlobField(int32_t fieldNo) const {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  if (fieldNo < 0 || fieldNo >= fields.GetCount() || !VLMIsBLOBDataType(fields.GetFieldDef(fieldNo)->DataType))
    throw EVLMException(10723, "Field #%d is not a BLOB field", {fieldNo});
  return *fields.GetFieldDef(fieldNo);
}

void TVLMDiskTableData::ReleaseRecordBlobs(uint8_t* record) {
  auto guard = LockGuard();
  FreeBlobs(record);
}

void TVLMDiskTableData::SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) {
  auto guard = LockGuard();
  TVLMDiskBlobManager& blobs = Required(BlobManager_.get(), 20535);
  BlobField(fieldNo);
  auto* value = dynamic_cast<TVLMDiskBlobStream*>(&stream);
  if (value == nullptr) throw EVLMException(10722, "Invalid BLOB stream for field #%d", {fieldNo});
  blobs.SaveBlobStream(cursor->RecordBuffer, fieldNo, value->Stored(), value->Descriptor());
}

void TVLMDiskTableData::FreeBlob(uint8_t* record, int32_t fieldNo) {
  auto guard = LockGuard();
  if (BlobManager_ != nullptr) BlobManager_->FreeBlob(record, fieldNo, false);
}

void TVLMDiskTableData::DiscardBlob(uint8_t* record, int32_t fieldNo) { FreeBlob(record, fieldNo); }

void TVLMDiskTableData::FreeRecordBlobs(uint8_t* record) {
  auto guard = LockGuard();
  if (BlobManager_ != nullptr && FieldManager->HasBlobFields()) BlobManager_->FreeRecordBlobs(record);
}

void TVLMDiskTableData::ReadValues(const std::function<void()>& body) {
  if (!DiskDatabase_->ReadsShared()) {
    body();
    return;
  }
  CheckFinishedCommit();
  try {
    body();
  } catch (const std::exception&) {
    // A page of a commit cut meanwhile may be what failed: that is what
    // the reader is told then.
    CheckFinishedCommit();
    throw;
  }
  CheckFinishedCommit();
}

void TVLMDiskTableData::GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                                    std::vector<uint8_t>& data) {
  auto guard = LockGuard();
  TVLMDiskBlobManager& blobs = Required(BlobManager_.get(), 20536);
  ReadValues([&] { blobs.GetBlobData(VLMCursorSessionID(cursor), cursor->RecordBuffer, descriptor, data, fieldNo); });
}

void TVLMDiskTableData::SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                                    const TVLMBLOBDescriptor& descriptor) {
  auto guard = LockGuard();
  Required(BlobManager_.get(), 20537).SetBlobData(cursor->RecordBuffer, fieldNo, data, descriptor);
}

std::unique_ptr<qv::Stream> TVLMDiskTableData::OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo) {
  auto guard = LockGuard();
  TVLMDiskBlobManager& blobs = Required(BlobManager_.get(), 20538);
  const TVLMFieldDef& field = BlobField(fieldNo);
  if (field.BlobBlockSize == 0) throw EVLMException(20149, "Stream block size = 0 is not allowed");
  TVLMBLOBDescriptor descriptor;
  descriptor.BlockSize = static_cast<uint32_t>(field.BlobBlockSize);
  descriptor.Algorithm = field.BlobCompressionAlgorithm;
  descriptor.Mode = field.BlobCompressionMode;
  auto stored = std::make_unique<TVLMTemporaryStream>(DisableTempFiles);
  uint8_t* record = cursor->RecordBuffer;
  const bool reading = openMode != 0;
  if (!reading || record == nullptr || VLMGetBit(fieldNo, record))
    return std::make_unique<TVLMDiskBlobStream>(std::move(stored), descriptor, true);
  // A value that cannot be read leaves nothing cached behind.
  auto forget = qv::ScopeExit([&] { blobs.FreeBlob(record, fieldNo, true); });
  TVLMBLOBDescriptor read;
  ReadValues([&] { blobs.ReadBlobToStream(VLMCursorSessionID(cursor), record, *stored, read, fieldNo); });
  if (read.UncompressedSize < 0) throw EVLMException(20248, "Invalid blob field size");
  descriptor.BlockCount = read.BlockCount;
  descriptor.UncompressedSize = read.UncompressedSize;
  stored->SetPosition(0);
  auto value = std::make_unique<TVLMDiskBlobStream>(std::move(stored), descriptor, false);
  forget.Release();
  return value;
}
