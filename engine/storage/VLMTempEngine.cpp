// VLMTempEngine: the temporary engine's page store, record manager, table
// data and database data. Layouts and invariants are described in
// VLMTempEngine.h.
#include "engine/storage/VLMTempEngine.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLocalBLOBStream.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"

namespace {

// Record numbers fit the 48 bits of a record ID.
constexpr int64_t kMaxRecordCount = (int64_t{1} << 48) - 1;
// BLOB stream head: u32 BlockCount, i64 UncompressedSize, i64 stored size.
constexpr int64_t kBlobHeadSize = 20;
// Initial capacity of a BLOB stream that stays in memory.
constexpr int64_t kMemoryBlobStreamCapacity = 1048576;
// Bytes copied at a time between streams.
constexpr int64_t kCopyStep = 65536;

int64_t FreeMemory() { return VLMMemoryManager().GetFreeMemory(); }

// count bytes from source's position to dest's; a short read or write raises
// its code.
void CopyBytes(qv::Stream& source, qv::Stream& dest, int64_t count, int32_t readCode, int32_t writeCode) {
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(count, kCopyStep)));
  for (int64_t left = count; left > 0;) {
    const int64_t step = std::min(left, kCopyStep);
    VLMReadStreamBuffer(chunk.data(), step, source, readCode);
    VLMWriteStreamBuffer(chunk.data(), step, dest, writeCode);
    left -= step;
  }
}

}  // namespace

int32_t VLMTemporaryMemoryLimit(int64_t freeMemory, int64_t unitSize) {
  if (freeMemory <= 0 || unitSize <= 0) return 0;
  return static_cast<int32_t>(std::min<int64_t>(freeMemory / 10 / unitSize, INT32_MAX));
}

// --------------------------------------------------- TVLMTemporaryPageManager

TVLMTemporaryPageManager::TVLMTemporaryPageManager(bool memoryOnly)
    : MemoryPageLimit_(VLMTemporaryMemoryLimit(FreeMemory(), kVLMMemoryPageSize)),
      MemoryOnly_(memoryOnly),
      MemoryPages_(std::make_unique<TVLMMemoryPageManager>()) {
  PageSize = kVLMMemoryPageSize;
  PageHeaderSize = 0;
  PageDataSize = kVLMMemoryPageSize;
}

TVLMTemporaryPageManager::~TVLMTemporaryPageManager() = default;

bool TVLMTemporaryPageManager::IsAllocated(int32_t pageNo) const {
  return pageNo >= 0 && pageNo < AllocationBits_.BitCount() && AllocationBits_.GetBit(pageNo);
}

TVLMFileStream& TVLMTemporaryPageManager::File(int32_t code) {
  if (FileStream_ == nullptr) throw EVLMException(code, "Invalid pointer");
  return *FileStream_;
}

void TVLMTemporaryPageManager::AllocatePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  int32_t pageNo;
  if (MemoryOnly_ || MemoryAllocatedCount_ < MemoryPageLimit_) {
    // Fewer than P memory pages are allocated, so the inner manager's lowest
    // free number lies below P.
    MemoryPages_->AllocatePage(page);
    pageNo = page->PageNo;
    ++MemoryAllocatedCount_;
    PageCount = std::max(PageCount, pageNo + 1);
  } else if (!FreeFilePages_.empty()) {
    // The lowest first keeps the live pages packed at the file's start,
    // where freeing the last ones can shorten it.
    pageNo = *FreeFilePages_.begin();
    FreeFilePages_.erase(FreeFilePages_.begin());
    page->PageNo = pageNo;
    page->AllocateBuffer();
  } else {
    if (PageCount == INT32_MAX) throw EVLMException(10702, "Temporary page store is full: %d pages", {PageCount});
    // Every number below P is a memory page in use, so the count is at P or
    // above it.
    pageNo = std::max(PageCount, MemoryPageLimit_);
    if (FileStream_ == nullptr)
      FileStream_ = std::make_unique<TVLMFileStream>(VLMGetTempFileName(), TVLMFileStream::kModeCreate, true);
    const int64_t needed = (static_cast<int64_t>(pageNo) + 1) * kVLMMemoryPageSize;
    // The file grows by half again, so that a run of allocations extends it
    // only now and then.
    if (FileStream_->Size() < needed) FileStream_->SetSize(needed + needed / 2);
    PageCount = pageNo + 1;
    page->PageNo = pageNo;
    page->AllocateBuffer();
  }
  if (pageNo >= AllocationBits_.BitCount()) AllocationBits_.SetSize(std::max<int64_t>(pageNo + 1, PageCount));
  AllocationBits_.SetBit(pageNo, true);
  ++AllocatedCount_;
}

void TVLMTemporaryPageManager::FreePage(int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsAllocated(pageNo)) throw EVLMException(10704, "Page %d is not allocated", {pageNo});
  if (!IsFilePage(pageNo)) {
    MemoryPages_->FreePage(pageNo);
    --MemoryAllocatedCount_;
  } else {
    FreeFilePages_.insert(pageNo);
  }
  AllocationBits_.SetBit(pageNo, false);
  --AllocatedCount_;
  if (IsFilePage(pageNo)) TrimFile();
}

void TVLMTemporaryPageManager::TrimFile() {
  while (!FreeFilePages_.empty() && *FreeFilePages_.rbegin() == PageCount - 1) {
    FreeFilePages_.erase(std::prev(FreeFilePages_.end()));
    --PageCount;
  }
  if (FileStream_ == nullptr) return;
  if (AllocatedCount_ == MemoryAllocatedCount_) {
    // No page lives in the file: it goes, and the next file page starts a
    // new one.
    FileStream_.reset();
    return;
  }
  // Shortened only when it is twice what the pages need, so that freeing
  // and allocating at the end do not resize it each time.
  const int64_t needed = static_cast<int64_t>(PageCount) * kVLMMemoryPageSize;
  if (FileStream_->Size() > 2 * needed) FileStream_->SetSize(needed + needed / 2);
}

bool TVLMTemporaryPageManager::ReadPage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsAllocated(page->PageNo)) throw EVLMException(10396, "Page allocation not released");
  if (!IsFilePage(page->PageNo)) return MemoryPages_->ReadPage(page);
  TVLMFileStream& file = File(30482);
  if (page->Buffer == nullptr) page->AllocateBuffer();
  const int64_t position = static_cast<int64_t>(page->PageNo) * kVLMMemoryPageSize;
  return file.Seek(position, qv::SeekOrigin::Beginning) == position &&
         file.Read(page->Buffer, kVLMMemoryPageSize) == kVLMMemoryPageSize;
}

void TVLMTemporaryPageManager::WritePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsAllocated(page->PageNo)) throw EVLMException(10397, "Page allocation not released");
  if (!IsFilePage(page->PageNo)) return MemoryPages_->WritePage(page);
  TVLMFileStream& file = File(30482);
  const int64_t position = static_cast<int64_t>(page->PageNo) * kVLMMemoryPageSize;
  if (file.Seek(position, qv::SeekOrigin::Beginning) != position ||
      file.Write(page->Buffer, kVLMMemoryPageSize) != kVLMMemoryPageSize)
    throw EVLMException(10703, "Cannot write temporary page %d", {page->PageNo});
}

// ------------------------------------------------- TVLMTemporaryRecordManager

TVLMTemporaryRecordManager::TVLMTemporaryRecordManager(int32_t recordSize, bool memoryOnly, int32_t growBy,
                                                       int32_t writeBufferRecords)
    : RecordSize_(recordSize),
      WriteBufferRecords_(std::max(writeBufferRecords, 1)),
      WriteBufferBytes_(static_cast<int64_t>(WriteBufferRecords_) * std::max(recordSize, 0)),
      MemoryLimit_(VLMTemporaryMemoryLimit(FreeMemory(), recordSize)),
      GrowBy_(std::max(growBy, 1)),
      MemoryOnly_(memoryOnly) {
  if (recordSize <= 0) throw EVLMException(10705, "Invalid record size = %d", {recordSize});
  RecordBufferSize = recordSize + kVLMBookmarkAreaSize;
}

TVLMTemporaryRecordManager::~TVLMTemporaryRecordManager() {
  if (MemoryArray_ != nullptr) VLMMemoryManager().FreeMem(MemoryArray_);
  if (WriteBuffer_ != nullptr) VLMMemoryManager().FreeMem(WriteBuffer_);
}

void TVLMTemporaryRecordManager::EmptyTable(int32_t) {
  RecordCount = 0;
  WriteBufferCount_ = 0;
  if (MemoryArray_ != nullptr) VLMMemoryManager().FreeMem(MemoryArray_);
  MemoryCount_ = 0;
  MemoryCapacity_ = 0;
  FileStream_.reset();
  ++ChangeStamp;
}

void TVLMTemporaryRecordManager::Grow() {
  // By half the capacity (at least GrowBy): a fixed step would copy the
  // whole array again every few appends, quadratic in the table's size.
  int64_t capacity = static_cast<int64_t>(MemoryCapacity_) + std::max<int64_t>(GrowBy_, MemoryCapacity_ / 2);
  if (!MemoryOnly_) capacity = std::min<int64_t>(capacity, MemoryLimit_);
  capacity = std::min<int64_t>(capacity, INT32_MAX);
  if (capacity <= MemoryCapacity_) throw EVLMException(10706, "Temporary table is full: %d records", {RecordCount});
  if (MemoryArray_ == nullptr)
    MemoryArray_ = static_cast<uint8_t*>(VLMMemoryManager().GetMem(capacity * RecordSize_));
  else
    VLMMemoryManager().ReallocMem(MemoryArray_, capacity * RecordSize_);
  MemoryCapacity_ = static_cast<int32_t>(capacity);
}

bool TVLMTemporaryRecordManager::InsertRecord(int32_t, const uint8_t* buffer, TVLMRecordID& recordID) {
  if (RecordCount >= kMaxRecordCount)
    throw EVLMException(10706, "Temporary table is full: %d records", {RecordCount});
  if (MemoryCount_ >= MemoryCapacity_ && !MemoryOnly_ && MemoryCapacity_ >= MemoryLimit_) {
    if (FileStream_ == nullptr)
      FileStream_ = std::make_unique<TVLMFileStream>(VLMGetTempFileName(), TVLMFileStream::kModeCreate, true);
    // Made on the first spill: a table that stays in memory needs none.
    if (WriteBuffer_ == nullptr) WriteBuffer_ = static_cast<uint8_t*>(VLMMemoryManager().GetMem(WriteBufferBytes_));
    if (WriteBufferCount_ == WriteBufferRecords_) Flush();
    std::memcpy(WriteBuffer_ + static_cast<int64_t>(WriteBufferCount_) * RecordSize_, buffer,
                static_cast<size_t>(RecordSize_));
    ++WriteBufferCount_;
  } else {
    if (MemoryCount_ >= MemoryCapacity_) Grow();
    std::memcpy(MemoryArray_ + static_cast<int64_t>(MemoryCount_) * RecordSize_, buffer,
                static_cast<size_t>(RecordSize_));
    ++MemoryCount_;
  }
  recordID = RecordIDOf(RecordCount);
  ++RecordCount;
  ++ChangeStamp;
  return true;
}

bool TVLMTemporaryRecordManager::UpdateRecord(int32_t, const uint8_t*, const TVLMRecordID&) { return false; }

bool TVLMTemporaryRecordManager::DeleteRecord(int32_t, const TVLMRecordID&) { return false; }

void TVLMTemporaryRecordManager::Flush() {
  if (WriteBufferCount_ == 0) return;
  if (WriteBufferCount_ > WriteBufferRecords_)
    throw EVLMException(10126, "Invalid record count = %d. Limit is %d", {WriteBufferCount_, WriteBufferRecords_});
  const int64_t position = (RecordCount - MemoryLimit_ - WriteBufferCount_) * RecordSize_;
  VLMSetStreamPosition(*FileStream_, 10128, position);
  const int64_t bytes = static_cast<int64_t>(WriteBufferCount_) * RecordSize_;
  if (FileStream_->Write(WriteBuffer_, bytes) != bytes) throw EVLMException(10125, "Error writing to stream");
  WriteBufferCount_ = 0;
}

bool TVLMTemporaryRecordManager::ReadRecord(int64_t recordNo, uint8_t* buffer) {
  if (recordNo < 0 || recordNo >= RecordCount) return false;
  if (MemoryOnly_ || recordNo < MemoryLimit_) {
    std::memcpy(buffer, MemoryArray_ + recordNo * RecordSize_, static_cast<size_t>(RecordSize_));
    return true;
  }
  Flush();
  VLMSetStreamPosition(*FileStream_, 10129, (recordNo - MemoryLimit_) * RecordSize_);
  VLMReadStreamBuffer(buffer, RecordSize_, *FileStream_, 10130);
  return true;
}

void TVLMTemporaryRecordManager::GetRecord(int32_t, TVLMNavigationRequest& request) {
  if (RecordCount == 0) {
    request.Result = kVLMNavEOF;
    return;
  }
  const uint8_t mode = request.Mode;
  if (mode > 2) return;
  int64_t recordNo;
  if (request.Bof || request.Eof) {
    if (mode == 0) {
      request.Result = kVLMNavError;
      return;
    }
    if (request.Bof != (mode == 1)) {
      // Prior from the start, next from the end.
      request.Result = request.Bof ? kVLMNavBOF : kVLMNavEOF;
      return;
    }
    recordNo = request.Bof ? 0 : RecordCount - 1;
  } else {
    const int64_t current = RecordNoOf(request.RecordID);
    if (mode == 0) {
      recordNo = current;
    } else if (mode == 1) {
      if (current >= RecordCount - 1) {
        request.Result = kVLMNavEOF;
        request.Eof = true;
        request.Bof = false;
        return;
      }
      recordNo = current + 1;
    } else {
      if (current <= 0) {
        request.Result = kVLMNavBOF;
        request.Bof = true;
        request.Eof = false;
        return;
      }
      recordNo = std::min(current - 1, RecordCount - 1);
    }
  }
  if (!ReadRecord(recordNo, request.RecordBuffer)) {
    request.Result = kVLMNavError;
    return;
  }
  request.RecordID = RecordIDOf(recordNo);
  request.Bof = false;
  request.Eof = false;
  request.Result = kVLMNavOK;
}

int32_t TVLMTemporaryRecordManager::CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) {
  const int64_t a = RecordNoOf(id1);
  const int64_t b = RecordNoOf(id2);
  return a < b ? -1 : a > b ? 1 : 0;
}

int64_t TVLMTemporaryRecordManager::GetRecordNo(int32_t, const TVLMRecordID& recordID) {
  const int64_t recordNo = RecordNoOf(recordID);
  return recordNo < RecordCount ? recordNo + 1 : -1;
}

// ----------------------------------------------------- TVLMTemporaryTableData

TVLMTemporaryTableData::TVLMTemporaryTableData(TVLMDatabaseData* databaseData)
    : TVLMVolatileTableData(databaseData) {}

TVLMTemporaryTableData::~TVLMTemporaryTableData() {
  // The records, indexes and pages go with their managers; the files are
  // deleted when their streams close.
  BlobStream_.reset();
}

TVLMTemporaryRecordManager& TVLMTemporaryTableData::Records() const {
  if (RecordManager == nullptr) throw EVLMException(10133, "Nil pointer occured");
  return static_cast<TVLMTemporaryRecordManager&>(*RecordManager);
}

void TVLMTemporaryTableData::CreateRecordManager() {
  RecordManager = std::make_unique<TVLMTemporaryRecordManager>(GetRecordBufferSize(), DisableTempFiles, GrowBy,
                                                               WriteBufferRecords);
}

void TVLMTemporaryTableData::CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                                         TVLMConstraintDefs& constraintDefs) {
  auto guard = LockGuard();
  if (fieldDefs.GetCount() == 0) throw EVLMException(10132, "Error creating table - no fields were specified");
  if (cursor != nullptr) DisableTempFiles = cursor->DisableTempFiles;
  UsePageManager(std::make_unique<TVLMTemporaryPageManager>(DisableTempFiles));
  BuildTable(cursor, fieldDefs, indexDefs, constraintDefs, 10132);
  BlobStream_.reset();
  if (FieldManager->HasBlobFields()) MakeBlobStream();
  IndexManager->CreateIndexes(cursor);
  CommitWrite(cursor);
}

void TVLMTemporaryTableData::EmptyTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  BlobStream_.reset();
  TVLMTableData::EmptyTable(cursor);
  if (RecordManager != nullptr) RecordManager->EmptyTable(VLMCursorSessionID(cursor));
  Commit(VLMCursorSessionID(cursor), false);
}

void TVLMTemporaryTableData::OpenTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  TableName = cursor->TableName;
  TVLMVolatileTableData::OpenTable(cursor);
}

int64_t TVLMTemporaryTableData::RecordIDToRecordNo(const TVLMRecordID& recordID) {
  return TVLMTemporaryRecordManager::RecordNoOf(recordID);
}

void TVLMTemporaryTableData::RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) {
  recordID = TVLMTemporaryRecordManager::RecordIDOf(recordNo);
}

bool TVLMTemporaryTableData::UpdateRecord(TVLMCursor*) { return false; }

bool TVLMTemporaryTableData::DeleteRecord(TVLMCursor*) { return false; }

void TVLMTemporaryTableData::InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(10136, "Nil pointer occured");
  if (recNo >= 1) cursor->Position.RecordID = TVLMTemporaryRecordManager::RecordIDOf(recNo - 1);
}

int64_t TVLMTemporaryTableData::InternalGetRecNo(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(10137, "Nil pointer occured");
  return TVLMTemporaryRecordManager::RecordNoOf(cursor->Position.RecordID) + 1;
}

// ------------------------------------------------------------ BLOB values

const TVLMFieldDef& TVLMTemporaryTableData::BlobField(int32_t fieldNo) const {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  if (fieldNo < 0 || fieldNo >= fields.GetCount() || !VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType))
    throw EVLMException(10718, "Field #%d is not a BLOB field", {fieldNo});
  return *fields.GetFieldDef(fieldNo);
}

void TVLMTemporaryTableData::MakeBlobStream() {
  if (DisableTempFiles)
    BlobStream_ = std::make_unique<TVLMMemoryStream>(nullptr, kMemoryBlobStreamCapacity);
  else
    BlobStream_ = std::make_unique<TVLMTemporaryStream>(false);
}

void TVLMTemporaryTableData::AppendValue(uint8_t* record, int32_t fieldNo, uint32_t blockCount,
                                         int64_t uncompressedSize, int64_t storedSize,
                                         const std::function<void(qv::Stream&)>& write, int32_t shortWriteCode) {
  if (record == nullptr) throw EVLMException(10135, "Nil pointer occured");
  const TVLMFieldDef& field = BlobField(fieldNo);
  std::memset(record + field.BufferOffset, 0, static_cast<size_t>(field.DataSize));
  if (storedSize <= 0 || uncompressedSize <= 0) {
    VLMSetBit(true, fieldNo, record);
    return;
  }
  // A table emptied since its last BLOB write has no stream: a new one takes
  // the value.
  if (BlobStream_ == nullptr) MakeBlobStream();
  const int64_t position = BlobStream_->Seek(0, qv::SeekOrigin::End);
  uint8_t head[kBlobHeadSize];
  VLMPutU32LE(head, blockCount);
  VLMPutI64LE(head + 4, uncompressedSize);
  VLMPutI64LE(head + 12, storedSize);
  VLMWriteStreamBuffer(head, kBlobHeadSize, *BlobStream_, shortWriteCode);
  write(*BlobStream_);
  VLMPutI64LE(record + field.BufferOffset, position);
  VLMSetBit(false, fieldNo, record);
}

bool TVLMTemporaryTableData::ReadHead(const uint8_t* record, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                                      int64_t& storedSize) {
  const TVLMFieldDef& field = BlobField(fieldNo);
  descriptor = VLMBlobFieldDescriptor(field);
  storedSize = 0;
  if (record == nullptr || VLMGetBit(fieldNo, record)) return false;
  if (BlobStream_ == nullptr) throw EVLMException(10140, "Nil pointer occured");
  const int64_t position = VLMGetI64LE(record + field.BufferOffset);
  VLMSetStreamPosition(*BlobStream_, 10141, position);
  uint8_t head[kBlobHeadSize];
  VLMReadStreamBuffer(head, kBlobHeadSize, *BlobStream_, 10142);
  descriptor.BlockCount = VLMGetU32LE(head);
  descriptor.UncompressedSize = VLMGetI64LE(head + 4);
  storedSize = VLMGetI64LE(head + 12);
  // A position that names no head (a record buffer older than an empty of
  // the table) must not send a read past the stream.
  if (descriptor.UncompressedSize < 0 || storedSize < 0 ||
      storedSize > BlobStream_->Size() - position - kBlobHeadSize)
    throw EVLMException(10717, "Invalid BLOB value at position %d", {position});
  return true;
}

void TVLMTemporaryTableData::SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) {
  auto guard = LockGuard();
  auto* blob = dynamic_cast<TVLMLocalBLOBStream*>(&stream);
  if (blob == nullptr) throw EVLMException(10719, "Invalid BLOB stream for field #%d", {fieldNo});
  if (!blob->Modified) return;
  TVLMStream& stored = blob->StoredBytes();
  const int64_t storedSize = stored.Size();
  const TVLMBLOBDescriptor& descriptor = blob->Descriptor();
  AppendValue(cursor->RecordBuffer, fieldNo, static_cast<uint32_t>(descriptor.BlockCount),
              descriptor.UncompressedSize, storedSize,
              [&](qv::Stream& dest) {
                stored.SetPosition(0);
                CopyBytes(stored, dest, storedSize, 10142, 10145);
              },
              10145);
}

void TVLMTemporaryTableData::SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                                         const TVLMBLOBDescriptor& descriptor) {
  auto guard = LockGuard();
  AppendValue(cursor->RecordBuffer, fieldNo, static_cast<uint32_t>(descriptor.BlockCount),
              descriptor.UncompressedSize, static_cast<int64_t>(data.size()),
              [&](qv::Stream& dest) {
                VLMWriteStreamBuffer(data.data(), static_cast<int64_t>(data.size()), dest, 10508);
              },
              10508);
}

void TVLMTemporaryTableData::GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                                         std::vector<uint8_t>& data) {
  auto guard = LockGuard();
  int64_t storedSize = 0;
  data.clear();
  if (!ReadHead(cursor->RecordBuffer, fieldNo, descriptor, storedSize)) return;
  data.resize(static_cast<size_t>(storedSize));
  VLMReadStreamBuffer(data.data(), storedSize, *BlobStream_, 10142);
}

std::unique_ptr<qv::Stream> TVLMTemporaryTableData::OpenBlob(TVLMCursor* cursor, uint8_t openMode,
                                                             int32_t fieldNo) {
  auto guard = LockGuard();
  TVLMBLOBDescriptor descriptor;
  int64_t storedSize = 0;
  const bool reading = openMode != TVLMLocalBLOBStream::kOpenWrite;
  if (!reading || !ReadHead(cursor->RecordBuffer, fieldNo, descriptor, storedSize)) {
    descriptor = VLMBlobFieldDescriptor(BlobField(fieldNo));
    return VLMOpenBlobValue(descriptor, nullptr, DisableTempFiles, openMode, fieldNo);
  }
  return VLMOpenBlobValue(
      descriptor,
      [&](TVLMStream& buffer) { CopyBytes(*BlobStream_, buffer, storedSize, 10142, 10145); },
      DisableTempFiles, openMode, fieldNo);
}

void TVLMTemporaryTableData::DiscardBlob(uint8_t*, int32_t) {}

// -------------------------------------------------- TVLMTemporaryDatabaseData

TVLMTemporaryDatabaseData::TVLMTemporaryDatabaseData() { DatabaseFileName = "TEMP"; }

TVLMTemporaryDatabaseData::~TVLMTemporaryDatabaseData() = default;

TVLMTableDataBase* TVLMTemporaryDatabaseData::CreateTableData(TVLMCursor* cursor) {
  if (cursor == nullptr) throw EVLMException(10716, "Nil pointer occured");
  auto table = std::make_unique<TVLMTemporaryTableData>(this);
  table->GrowBy = kVLMMemoryGrowBy;
  table->WriteBufferRecords = 10;
  table->TableName = cursor->TableName;
  return AddTableData(std::move(table));
}

int32_t TVLMTemporaryDatabaseData::NextObjectID() {
  std::lock_guard<qv::RecursiveMutex> guard(CriticalSection());
  return ++LastObjectID_;
}
