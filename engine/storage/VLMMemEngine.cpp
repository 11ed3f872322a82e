// VLMMemEngine: the memory engine's page store, record manager, table data
// and database data. Layouts and invariants are described in VLMMemEngine.h.
#include "engine/storage/VLMMemEngine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLocalBLOBStream.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/storage/VLMBTreeRecordIndex.h"

namespace {

// For every byte value of DeletedBits, the number of its zero bits: the live
// slots among the eight the byte stands for.
constexpr std::array<uint8_t, 256> kLiveBits = [] {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    int live = 0;
    for (int bit = 0; bit < 8; ++bit) live += ((value >> bit) & 1) == 0 ? 1 : 0;
    table[static_cast<size_t>(value)] = static_cast<uint8_t>(live);
  }
  return table;
}();

constexpr int32_t kPageArrayStep = 50;

// A memory-manager block of bytes bytes holding what block held (a new one
// for nullptr).
void Resize(uint8_t*& block, int64_t bytes) {
  if (block == nullptr)
    block = static_cast<uint8_t*>(VLMMemoryManager().GetMem(bytes));
  else
    VLMMemoryManager().ReallocMem(block, bytes);
}

// Memory BLOB block: u32 BlockCount, i64 UncompressedSize, stored bytes.
constexpr int64_t kBlobBlockHeadSize = 12;

}  // namespace

// ------------------------------------------------------ TVLMMemoryPageManager

TVLMMemoryPageManager::TVLMMemoryPageManager(uint16_t pageSize, uint16_t headerSize) {
  PageSize = pageSize;
  PageHeaderSize = headerSize;
  PageDataSize = static_cast<uint16_t>(pageSize - headerSize);
}

TVLMMemoryPageManager::~TVLMMemoryPageManager() {
  for (uint8_t*& bytes : Pages_)
    if (bytes != nullptr) VLMMemoryManager().FreeMem(bytes);
}

bool TVLMMemoryPageManager::IsAllocated(int32_t pageNo) const {
  return pageNo >= 0 && pageNo < AllocationBits_.BitCount() && AllocationBits_.GetBit(pageNo);
}

uint8_t* TVLMMemoryPageManager::PageBytes(int32_t pageNo) {
  uint8_t*& bytes = Pages_[static_cast<size_t>(pageNo)];
  if (bytes == nullptr) bytes = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(PageSize));
  return bytes;
}

void TVLMMemoryPageManager::FreePageBytes(int32_t pageNo) {
  uint8_t*& bytes = Pages_[static_cast<size_t>(pageNo)];
  if (bytes != nullptr) VLMMemoryManager().FreeMem(bytes);
}

void TVLMMemoryPageManager::AllocatePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  int64_t pageNo = 0;
  if (!AllocationBits_.FindFirst(false, pageNo)) {
    pageNo = AllocationBits_.BitCount();
    const int64_t bits = std::min<int64_t>(pageNo + kPageArrayStep, INT32_MAX);
    AllocationBits_.SetSize(bits);
    Pages_.resize(static_cast<size_t>(bits), nullptr);
  }
  const auto number = static_cast<int32_t>(pageNo);
  if (IsAllocated(number)) throw EVLMException(20037, "Page allocation not released");
  AllocationBits_.SetBit(number, true);
  PageCount = std::max(PageCount, number + 1);
  PageBytes(number);
  page->PageNo = number;
  page->AllocateBuffer();
}

void TVLMMemoryPageManager::FreePage(int32_t pageNo) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsAllocated(pageNo)) throw EVLMException(10704, "Page %d is not allocated", {pageNo});
  AllocationBits_.SetBit(pageNo, false);
  FreePageBytes(pageNo);
}

bool TVLMMemoryPageManager::ReadPage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsAllocated(page->PageNo)) throw EVLMException(10392, "Page allocation not released");
  if (page->Buffer == nullptr) page->AllocateBuffer();
  std::memcpy(page->Buffer, PageBytes(page->PageNo), PageSize);
  return true;
}

void TVLMMemoryPageManager::WritePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  if (!IsAllocated(page->PageNo)) throw EVLMException(10393, "Page allocation not released");
  std::memcpy(PageBytes(page->PageNo), page->Buffer, PageSize);
}

void TVLMMemoryPageManager::SaveToStream(qv::Stream& stream) {
  VLM_REQUIRE_DATABASE_SECTION();
  AllocationBits_.SaveToStream(stream);
}

void TVLMMemoryPageManager::LoadFromStream(qv::Stream& stream) {
  VLM_REQUIRE_DATABASE_SECTION();
  // Read aside first: a damaged stream leaves the pages as they were.
  TVLMBitsArray loaded;
  loaded.LoadFromStream(stream);
  const int32_t count = loaded.BitCount();
  for (int32_t pageNo = 0; pageNo < static_cast<int32_t>(Pages_.size()); ++pageNo)
    if (pageNo >= count || !loaded.GetBit(pageNo)) FreePageBytes(pageNo);
  Pages_.resize(static_cast<size_t>(count), nullptr);
  AllocationBits_.SetSize(0);
  AllocationBits_.SetSize(count);
  int64_t bitNo = 0;
  for (bool first = true; loaded.FindSetBit(first, true, bitNo, bitNo); first = false)
    AllocationBits_.SetBit(bitNo, true);
  PageCount = count;
  // Cached copies may name pages the loaded map no longer has.
  DropSharedPages();
}

// ---------------------------------------------------- TVLMMemoryRecordManager

TVLMMemoryRecordManager::TVLMMemoryRecordManager(int32_t recordSize, int32_t growBy)
    : RecordSize_(recordSize), GrowBy_(std::max(growBy, 1)) {
  if (recordSize <= 0) throw EVLMException(10011, "Invalid record size = %d", {recordSize});
  RecordBufferSize = recordSize + kVLMBookmarkAreaSize;
}

TVLMMemoryRecordManager::~TVLMMemoryRecordManager() {
  if (Records_ != nullptr) VLMMemoryManager().FreeMem(Records_);
  if (DeletedBits_ != nullptr) VLMMemoryManager().FreeMem(DeletedBits_);
}

void TVLMMemoryRecordManager::Grow() {
  const int64_t capacity = std::min<int64_t>(static_cast<int64_t>(Capacity_) + GrowBy_, INT32_MAX);
  if (capacity <= Capacity_) throw EVLMException(10700, "Table is full: %d records", {Capacity_});
  const int64_t oldBytes = (static_cast<int64_t>(Capacity_) + 7) / 8;
  const int64_t bitBytes = (capacity + 7) / 8;
  Resize(Records_, capacity * RecordSize_);
  Resize(DeletedBits_, bitBytes);
  // New slots are marked deleted (invariant 1).
  std::memset(DeletedBits_ + oldBytes, 0xFF, static_cast<size_t>(bitBytes - oldBytes));
  Capacity_ = static_cast<int32_t>(capacity);
}

bool TVLMMemoryRecordManager::IsLive(int64_t slot) const {
  return slot >= 0 && slot < Capacity_ && !VLMGetBit(slot, DeletedBits_);
}

const uint8_t* TVLMMemoryRecordManager::RecordAt(int64_t slot) const {
  return IsLive(slot) ? Records_ + slot * RecordSize_ : nullptr;
}

void TVLMMemoryRecordManager::EmptyTable(int32_t) {
  if (Records_ != nullptr) VLMMemoryManager().FreeMem(Records_);
  if (DeletedBits_ != nullptr) VLMMemoryManager().FreeMem(DeletedBits_);
  Capacity_ = 0;
  RecordCount = 0;
  FirstSlot_ = LastSlot_ = 0;
  // No slot is left, so none is deleted.
  NoDeletions_ = true;
  ++ChangeStamp;
}

bool TVLMMemoryRecordManager::InsertRecord(int32_t, const uint8_t* buffer, TVLMRecordID& recordID) {
  const int64_t slot = RecordCount == 0 ? 0 : static_cast<int64_t>(LastSlot_) + 1;
  if (slot >= Capacity_) Grow();
  std::memcpy(Records_ + slot * RecordSize_, buffer, static_cast<size_t>(RecordSize_));
  VLMSetBit(false, slot, DeletedBits_);
  if (RecordCount == 0) FirstSlot_ = static_cast<int32_t>(slot);
  LastSlot_ = static_cast<int32_t>(slot);
  ++RecordCount;
  ++ChangeStamp;
  recordID = RecordIDOf(slot);
  return true;
}

bool TVLMMemoryRecordManager::UpdateRecord(int32_t, const uint8_t* buffer, const TVLMRecordID& recordID) {
  // A deleted slot inside FirstSlot..LastSlot holds no record to update.
  const int64_t slot = SlotOf(recordID);
  if (RecordCount == 0 || slot < FirstSlot_ || slot > LastSlot_ || !IsLive(slot)) return false;
  std::memcpy(Records_ + slot * RecordSize_, buffer, static_cast<size_t>(RecordSize_));
  ++ChangeStamp;
  return true;
}

bool TVLMMemoryRecordManager::DeleteRecord(int32_t, const TVLMRecordID& recordID) {
  const int64_t slot = SlotOf(recordID);
  if (RecordCount == 0 || slot < FirstSlot_ || slot > LastSlot_ || !IsLive(slot)) return false;
  VLMSetBit(true, slot, DeletedBits_);
  --RecordCount;
  if (RecordCount == 0) {
    FirstSlot_ = LastSlot_ = 0;
  } else {
    // Both ends stay live: FirstSlot moves up, LastSlot down to a record.
    while (!IsLive(FirstSlot_)) ++FirstSlot_;
    while (!IsLive(LastSlot_)) --LastSlot_;
  }
  NoDeletions_ = false;
  ++ChangeStamp;
  return true;
}

void TVLMMemoryRecordManager::Found(TVLMNavigationRequest& request, int64_t slot) {
  std::memcpy(request.RecordBuffer, Records_ + slot * RecordSize_, static_cast<size_t>(RecordSize_));
  request.RecordID = RecordIDOf(slot);
  request.Bof = false;
  request.Eof = false;
  request.Result = kVLMNavOK;
}

void TVLMMemoryRecordManager::GetRecord(int32_t, TVLMNavigationRequest& request) {
  if (RecordCount == 0) {
    request.Result = kVLMNavEOF;
    return;
  }
  const uint8_t mode = request.Mode;
  if (mode > 2) return;
  auto passEnd = [&] {
    request.Result = kVLMNavEOF;
    request.Eof = true;
    request.Bof = false;
  };
  auto passStart = [&] {
    request.Result = kVLMNavBOF;
    request.Bof = true;
    request.Eof = false;
  };
  if (request.Bof || request.Eof) {
    if (mode == 0) {
      request.Result = kVLMNavError;
    } else if (request.Bof) {
      mode == 1 ? Found(request, FirstSlot_) : void(request.Result = kVLMNavBOF);
    } else {
      mode == 2 ? Found(request, LastSlot_) : void(request.Result = kVLMNavEOF);
    }
    return;
  }
  const int64_t slot = SlotOf(request.RecordID);
  if (mode == 0) {
    if (slot >= FirstSlot_ && slot <= LastSlot_ && IsLive(slot))
      Found(request, slot);
    else
      request.Result = kVLMNavError;
    return;
  }
  if (mode == 1) {
    if (slot >= static_cast<int64_t>(Capacity_) - 1) return passEnd();
    for (int64_t s = std::max<int64_t>(slot + 1, FirstSlot_); s <= LastSlot_; ++s) {
      // Whole bytes of deleted slots are passed at once.
      if (s % 8 == 0 && DeletedBits_[s / 8] == 0xFF) {
        s += 7;
        continue;
      }
      if (IsLive(s)) return Found(request, s);
    }
    return passEnd();
  }
  if (slot < 1) return passStart();
  for (int64_t s = std::min<int64_t>(slot - 1, LastSlot_); s >= FirstSlot_; --s) {
    if (s % 8 == 7 && DeletedBits_[s / 8] == 0xFF) {
      s -= 7;
      continue;
    }
    if (IsLive(s)) return Found(request, s);
  }
  passStart();
}

int32_t TVLMMemoryRecordManager::CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) {
  const int64_t a = SlotOf(id1);
  const int64_t b = SlotOf(id2);
  return a < b ? -1 : a > b ? 1 : 0;
}

int64_t TVLMMemoryRecordManager::GetRecordNo(int32_t, const TVLMRecordID& recordID) {
  const int64_t slot = SlotOf(recordID);
  if (RecordCount == 0 || slot < FirstSlot_ || slot > LastSlot_) return -1;
  if (RecordCount == 1) return 1;
  // The slot's share of FirstSlot..LastSlot, spread over 1..RecordCount.
  const int64_t span = static_cast<int64_t>(LastSlot_) - FirstSlot_;
  return ((slot - FirstSlot_) * (RecordCount - 1) + span / 2) / span + 1;
}

int64_t TVLMMemoryRecordManager::SlotOfRecordIndex(int64_t index) const {
  if (index < 0 || index >= RecordCount) return -1;
  if (NoDeletions_) return index;
  const int64_t bytes = (static_cast<int64_t>(Capacity_) + 7) / 8;
  int64_t passed = 0;
  for (int64_t i = 0; i < bytes; ++i) {
    const uint8_t live = kLiveBits[DeletedBits_[i]];
    if (passed + live <= index) {
      passed += live;
      continue;
    }
    for (int bit = 0; bit < 8; ++bit) {
      if ((DeletedBits_[i] >> bit) & 1) continue;
      if (passed == index) return i * 8 + bit;
      ++passed;
    }
  }
  return -1;
}

int64_t TVLMMemoryRecordManager::RecordNoOfSlot(int64_t slot) const {
  if (slot < 0 || slot >= Capacity_) return -1;
  if (NoDeletions_) return slot + 1;
  int64_t live = 0;
  for (int64_t i = 0; i < slot / 8; ++i) live += kLiveBits[DeletedBits_[i]];
  for (int64_t s = slot / 8 * 8; s <= slot; ++s) live += IsLive(s) ? 1 : 0;
  return live;
}

// ------------------------------------------------------ TVLMVolatileTableData

TVLMVolatileTableData::TVLMVolatileTableData(TVLMDatabaseData* databaseData)
    : TVLMTableData(databaseData), IndexFactory([](TVLMBaseIndexManager& manager) {
        return std::make_unique<TVLMBTreeRecordIndex>(&manager);
      }) {
  FieldManager = std::make_unique<TVLMBaseFieldManager>(this);
  ConstraintManager = std::make_unique<TVLMBaseConstraintManager>(this);
  IndexManager = std::make_unique<TVLMBaseIndexManager>(this, PageManager, IndexFactory);
}

TVLMVolatileTableData::~TVLMVolatileTableData() {
  // The indexes are closed while their page manager still exists.
  IndexManager.reset();
}

void TVLMVolatileTableData::UsePageManager(std::unique_ptr<TVLMPageManager> pageManager) {
  IndexManager.reset();
  OwnedPageManager_ = std::move(pageManager);
  PageManager = OwnedPageManager_.get();
  PageManager->UseCriticalSection(DatabaseData->CriticalSection());
  IndexManager = std::make_unique<TVLMBaseIndexManager>(this, PageManager, IndexFactory);
}

void TVLMVolatileTableData::SetIndexDefs(TVLMIndexDefs& indexDefs) {
  IndexManager = std::make_unique<TVLMBaseIndexManager>(this, PageManager, IndexFactory);
  TVLMTableData::SetIndexDefs(indexDefs);
}

void TVLMVolatileTableData::BuildTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                                       TVLMConstraintDefs& constraintDefs, int32_t noFieldsCode) {
  if (fieldDefs.GetCount() == 0)
    throw EVLMException(noFieldsCode, "Error creating table - no fields were specified");
  if (cursor != nullptr) TableName = cursor->TableName;
  SetFieldDefs(fieldDefs);
  SetIndexDefs(indexDefs);
  SetConstraintDefs(constraintDefs);
  CreateRecordManager();
  if (cursor != nullptr) SetCursorRecordSize(cursor);
}

void TVLMVolatileTableData::CommitWrite(TVLMCursor* cursor) {
  Commit(VLMCursorSessionID(cursor), cursor != nullptr && cursor->Session != nullptr && cursor->Session->InTransaction);
}

void TVLMVolatileTableData::CommitPages(int32_t sessionID) { PageManager->Commit(sessionID); }

void TVLMVolatileTableData::RollbackPages(int32_t sessionID) { PageManager->RollbackSession(sessionID); }

void TVLMVolatileTableData::DeleteTable(TVLMCursor* cursor, bool force) {
  auto guard = LockGuard();
  TVLMTableData::DeleteTable(cursor, force);
  if (force && !Cursors.empty()) return;
  TVLMDatabaseData* database = DatabaseData;
  database->FreeTableData(this);
}

void TVLMVolatileTableData::CreateIndex(TVLMIndexDef& indexDef, TVLMCursor* cursor) {
  auto guard = LockGuard();
  TVLMTableData::CreateIndex(indexDef, cursor);
  CommitWrite(cursor);
}

void TVLMVolatileTableData::DropIndex(int32_t indexID, TVLMCursor* cursor) {
  auto guard = LockGuard();
  TVLMTableData::DropIndex(indexID, cursor);
  CommitWrite(cursor);
}

int64_t TVLMVolatileTableData::GetRecordCount(int32_t) {
  auto guard = LockGuard();
  return RecordManager != nullptr ? RecordManager->RecordCount : 0;
}

int64_t TVLMVolatileTableData::InternalGetRecordCount(TVLMCursor*) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(RecordCountNilCode, "Nil pointer occured");
  return RecordManager->RecordCount;
}

uint16_t TVLMVolatileTableData::GetPageDataSize() { return PageManager != nullptr ? PageManager->PageDataSize : 0; }

int64_t TVLMVolatileTableData::GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session) {
  auto guard = LockGuard();
  return FieldManager->GetSequenceLastValue(session, fieldNo);
}

void TVLMVolatileTableData::KeepBitmapAfterWrite(TVLMCursor* cursor) {
  TVLMRecordBitmap* bitmap = cursor->RecordBitmap.get();
  if (bitmap == nullptr || !bitmap->Filled) return;
  // The filter callback sees the record's bookmark.
  if (cursor->BookmarkOffset > 0)
    VLMPutRecordID(cursor->RecordBuffer + cursor->BookmarkOffset, cursor->Position.RecordID);
  if (CheckRecordFilter(cursor))
    bitmap->IncludeRecord(cursor->Position.RecordID);
  else
    bitmap->ExcludeRecord(cursor->Position.RecordID);
}

void TVLMVolatileTableData::KeepBitmapAfterDelete(TVLMCursor* cursor, uint32_t stampBefore) {
  TVLMRecordBitmap* bitmap = cursor->RecordBitmap.get();
  if (bitmap == nullptr || !bitmap->Filled) return;
  const bool current = static_cast<uint32_t>(bitmap->Stamp) == stampBefore;
  bitmap->ExcludeRecord(cursor->Position.RecordID);
  if (current && bitmap->Filled && !cursor->HasIndexFields())
    bitmap->Stamp = static_cast<int32_t>(RecordManager->ChangeStamp);
}

bool TVLMVolatileTableData::InsertRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(InsertNilManagerCode, "Nil pointer occured");
  if (cursor->RecordBuffer == nullptr) throw EVLMException(InsertNilBufferCode, "Nil pointer occured");
  TVLMRecordID recordID;
  if (!RecordManager->InsertRecord(VLMCursorSessionID(cursor), cursor->RecordBuffer, recordID)) return false;
  cursor->Position.RecordID = recordID;
  KeepBitmapAfterWrite(cursor);
  IndexManager->InsertRecord(cursor);
  cursor->Position.Bof = 0;
  cursor->Position.Eof = 0;
  if (!cursor->NoAutoCommit) CommitWrite(cursor);
  return true;
}

// -------------------------------------------------------- TVLMMemoryTableData

TVLMMemoryTableData::TVLMMemoryTableData(TVLMDatabaseData* databaseData) : TVLMVolatileTableData(databaseData) {
  DisableTempFiles = true;
  InsertNilManagerCode = 10010;
  InsertNilBufferCode = 10708;
  RecordCountNilCode = 10709;
  UsePageManager(std::make_unique<TVLMMemoryPageManager>());
}

TVLMMemoryTableData::~TVLMMemoryTableData() { FreeAllValues(); }

TVLMMemoryRecordManager& TVLMMemoryTableData::Records() const {
  if (RecordManager == nullptr) throw EVLMException(10710, "Nil pointer occured");
  return static_cast<TVLMMemoryRecordManager&>(*RecordManager);
}

void TVLMMemoryTableData::CreateRecordManager() {
  RecordManager = std::make_unique<TVLMMemoryRecordManager>(GetRecordBufferSize(), GrowBy);
}

void TVLMMemoryTableData::CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                                      TVLMConstraintDefs& constraintDefs) {
  auto guard = LockGuard();
  BuildTable(cursor, fieldDefs, indexDefs, constraintDefs, 10025);
  IndexManager->CreateIndexes(cursor);
  CommitWrite(cursor);
}

void TVLMMemoryTableData::EmptyTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  FreeAllValues();
  TVLMTableData::EmptyTable(cursor);
  if (RecordManager != nullptr) RecordManager->EmptyTable(VLMCursorSessionID(cursor));
  Commit(VLMCursorSessionID(cursor), false);
}

int64_t TVLMMemoryTableData::RecordIDToRecordNo(const TVLMRecordID& recordID) {
  return TVLMMemoryRecordManager::SlotOf(recordID);
}

void TVLMMemoryTableData::RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) {
  recordID = TVLMMemoryRecordManager::RecordIDOf(recordNo);
}

bool TVLMMemoryTableData::InsertRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (cursor->RecordBuffer == nullptr) throw EVLMException(10708, "Nil pointer occured");
  const std::vector<uint32_t> none;
  PrepareValues(cursor->RecordBuffer, none);
  if (!TVLMVolatileTableData::InsertRecord(cursor)) return false;
  SettleValues(cursor->RecordBuffer, none);
  return true;
}

bool TVLMMemoryTableData::UpdateRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(10018, "Nil pointer occured");
  if (cursor->RecordBuffer == nullptr) throw EVLMException(10711, "Nil pointer occured");
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const std::vector<uint32_t> before = StoredHandles(cursor);
  PrepareValues(cursor->RecordBuffer, before);
  IndexManager->UpdateRecord(cursor, true);
  const bool done = RecordManager->UpdateRecord(sessionID, cursor->RecordBuffer, cursor->Position.RecordID);
  IndexManager->UpdateRecord(cursor, false);
  if (!done) return false;
  SettleValues(cursor->RecordBuffer, before);
  KeepBitmapAfterWrite(cursor);
  if (!cursor->NoAutoCommit) CommitWrite(cursor);
  return true;
}

bool TVLMMemoryTableData::DeleteRecord(TVLMCursor* cursor) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) throw EVLMException(10013, "Nil pointer occured");
  const std::optional<TVLMRecordID> neighbour = PositionAfterDelete(cursor);
  const uint32_t stampBefore = RecordManager->ChangeStamp;
  const std::vector<uint32_t> values = StoredHandles(cursor);
  IndexManager->DeleteRecord(cursor);
  if (!RecordManager->DeleteRecord(VLMCursorSessionID(cursor), cursor->Position.RecordID)) return false;
  for (uint32_t handle : values) FreeValue(handle);
  if (!cursor->NoAutoCommit) CommitWrite(cursor);
  KeepBitmapAfterDelete(cursor, stampBefore);
  cursor->Position.Bof = neighbour ? 0 : 1;
  cursor->Position.Eof = 0;
  if (neighbour) cursor->Position.RecordID = *neighbour;
  return true;
}

void TVLMMemoryTableData::InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) {
  auto guard = LockGuard();
  const int64_t slot = Records().SlotOfRecordIndex(recNo - 1);
  if (slot >= 0) cursor->Position.RecordID = TVLMMemoryRecordManager::RecordIDOf(slot);
}

int64_t TVLMMemoryTableData::InternalGetRecNo(TVLMCursor* cursor) {
  auto guard = LockGuard();
  return Records().RecordNoOfSlot(TVLMMemoryRecordManager::SlotOf(cursor->Position.RecordID));
}

// ------------------------------------------------------ memory BLOB values

const TVLMFieldDef& TVLMMemoryTableData::BlobField(int32_t fieldNo) const {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  if (fieldNo < 0 || fieldNo >= fields.GetCount() || !VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType))
    throw EVLMException(10712, "Field #%d is not a BLOB field", {fieldNo});
  return *fields.GetFieldDef(fieldNo);
}

uint32_t TVLMMemoryTableData::HandleOf(const uint8_t* record, int32_t fieldNo) const {
  if (record == nullptr || VLMGetBit(fieldNo, record)) return 0;
  return VLMGetU32LE(record + BlobField(fieldNo).BufferOffset);
}

void TVLMMemoryTableData::SetHandle(uint8_t* record, int32_t fieldNo, uint32_t handle) {
  const TVLMFieldDef& field = BlobField(fieldNo);
  std::memset(record + field.BufferOffset, 0, static_cast<size_t>(field.DataSize));
  VLMPutU32LE(record + field.BufferOffset, handle);
  VLMSetBit(handle == 0, fieldNo, record);
}

const TVLMMemoryTableData::BlobValue& TVLMMemoryTableData::ValueOf(uint32_t handle) const {
  auto it = Blobs_.find(handle);
  if (it == Blobs_.end()) throw EVLMException(10701, "Cannot read BLOB field value. Handle = %d", {handle});
  return it->second;
}

std::vector<uint32_t> TVLMMemoryTableData::Handles(const uint8_t* record) const {
  std::vector<uint32_t> handles;
  if (record == nullptr || !FieldManager->HasBlobFields()) return handles;
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  for (int32_t i = 0; i < fields.GetCount(); ++i)
    if (VLMIsBLOBBaseType(fields.GetFieldDef(i)->BaseType))
      if (const uint32_t handle = HandleOf(record, i); handle != 0) handles.push_back(handle);
  return handles;
}

uint32_t TVLMMemoryTableData::NewValue(uint32_t blockCount, int64_t uncompressedSize, int64_t storedSize,
                                       const std::function<void(uint8_t*)>& fill) {
  auto* block = static_cast<uint8_t*>(VLMMemoryManager().GetMem(kBlobBlockHeadSize + storedSize));
  try {
    VLMPutU32LE(block, blockCount);
    VLMPutI64LE(block + 4, uncompressedSize);
    fill(block + kBlobBlockHeadSize);
  } catch (...) {
    VLMMemoryManager().FreeMem(block);
    throw;
  }
  while (NextHandle_ == 0 || Blobs_.count(NextHandle_) != 0) ++NextHandle_;
  const uint32_t handle = NextHandle_++;
  Blobs_[handle] = BlobValue{block, false};
  return handle;
}

void TVLMMemoryTableData::PutValue(uint8_t* record, int32_t fieldNo, uint32_t blockCount, int64_t uncompressedSize,
                                   int64_t storedSize, const std::function<void(uint8_t*)>& fill) {
  if (record == nullptr) throw EVLMException(10713, "Nil pointer occured");
  const uint32_t old = HandleOf(record, fieldNo);
  uint32_t handle = 0;
  if (storedSize > 0 && uncompressedSize > 0) handle = NewValue(blockCount, uncompressedSize, storedSize, fill);
  if (auto it = Blobs_.find(old); it != Blobs_.end() && !it->second.Stored) FreeValue(old);
  SetHandle(record, fieldNo, handle);
}

void TVLMMemoryTableData::FreeValue(uint32_t handle) {
  auto it = Blobs_.find(handle);
  if (it == Blobs_.end()) return;
  VLMMemoryManager().FreeMem(it->second.Block);
  Blobs_.erase(it);
}

void TVLMMemoryTableData::FreeAllValues() {
  for (auto& [handle, value] : Blobs_) VLMMemoryManager().FreeMem(value.Block);
  Blobs_.clear();
}

std::vector<uint32_t> TVLMMemoryTableData::StoredHandles(TVLMCursor* cursor) const {
  return Handles(Records().RecordAt(TVLMMemoryRecordManager::SlotOf(cursor->Position.RecordID)));
}

void TVLMMemoryTableData::PrepareValues(uint8_t* record, const std::vector<uint32_t>& before) {
  if (!FieldManager->HasBlobFields()) return;
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  for (int32_t i = 0; i < fields.GetCount(); ++i) {
    if (!VLMIsBLOBBaseType(fields.GetFieldDef(i)->BaseType)) continue;
    const uint32_t handle = HandleOf(record, i);
    if (handle == 0) continue;
    const BlobValue& value = ValueOf(handle);
    if (!value.Stored || std::find(before.begin(), before.end(), handle) != before.end()) continue;
    // Another record's value: this record gets a copy of its own, so that
    // neither loses it when the other changes.
    const int64_t storedSize = VLMMemoryManager().GetMemSize(value.Block) - kBlobBlockHeadSize;
    const uint8_t* source = value.Block;
    SetHandle(record, i, NewValue(VLMGetU32LE(source), VLMGetI64LE(source + 4), storedSize, [&](uint8_t* dest) {
                std::memcpy(dest, source + kBlobBlockHeadSize, static_cast<size_t>(storedSize));
              }));
  }
}

void TVLMMemoryTableData::SettleValues(const uint8_t* record, const std::vector<uint32_t>& before) {
  const std::vector<uint32_t> after = Handles(record);
  for (uint32_t handle : after) Blobs_.at(handle).Stored = true;
  for (uint32_t handle : before)
    if (std::find(after.begin(), after.end(), handle) == after.end()) FreeValue(handle);
}

void TVLMMemoryTableData::SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) {
  auto guard = LockGuard();
  auto* blob = dynamic_cast<TVLMLocalBLOBStream*>(&stream);
  if (blob == nullptr) throw EVLMException(10714, "Invalid BLOB stream for field #%d", {fieldNo});
  if (!blob->Modified) return;
  TVLMStream& stored = blob->StoredBytes();
  const int64_t storedSize = stored.Size();
  const TVLMBLOBDescriptor& descriptor = blob->Descriptor();
  PutValue(cursor->RecordBuffer, fieldNo, static_cast<uint32_t>(descriptor.BlockCount), descriptor.UncompressedSize,
           storedSize, [&](uint8_t* dest) {
             stored.SetPosition(0);
             VLMReadStreamBuffer(dest, storedSize, stored, 10117);
           });
}

void TVLMMemoryTableData::SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                                      const TVLMBLOBDescriptor& descriptor) {
  auto guard = LockGuard();
  const auto storedSize = static_cast<int64_t>(data.size());
  PutValue(cursor->RecordBuffer, fieldNo, static_cast<uint32_t>(descriptor.BlockCount), descriptor.UncompressedSize,
           storedSize, [&](uint8_t* dest) { std::memcpy(dest, data.data(), data.size()); });
}

void TVLMMemoryTableData::GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                                      std::vector<uint8_t>& data) {
  auto guard = LockGuard();
  descriptor = VLMBlobFieldDescriptor(BlobField(fieldNo));
  data.clear();
  const uint32_t handle = HandleOf(cursor->RecordBuffer, fieldNo);
  if (handle == 0) return;
  const uint8_t* block = ValueOf(handle).Block;
  descriptor.BlockCount = VLMGetU32LE(block);
  descriptor.UncompressedSize = VLMGetI64LE(block + 4);
  data.assign(block + kBlobBlockHeadSize, block + VLMMemoryManager().GetMemSize(block));
}

std::unique_ptr<qv::Stream> TVLMMemoryTableData::OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo) {
  auto guard = LockGuard();
  const TVLMFieldDef& field = BlobField(fieldNo);
  if (field.BlobBlockSize == 0) throw EVLMException(10420, "Stream block size = 0 is not allowed");
  TVLMBLOBDescriptor descriptor = VLMBlobFieldDescriptor(field);
  const uint32_t handle = openMode != TVLMLocalBLOBStream::kOpenWrite ? HandleOf(cursor->RecordBuffer, fieldNo) : 0;
  if (handle == 0) return VLMOpenBlobValue(descriptor, nullptr, true, openMode, fieldNo);
  const uint8_t* block = ValueOf(handle).Block;
  descriptor.BlockCount = VLMGetU32LE(block);
  descriptor.UncompressedSize = VLMGetI64LE(block + 4);
  const int64_t storedSize = VLMMemoryManager().GetMemSize(block) - kBlobBlockHeadSize;
  return VLMOpenBlobValue(
      descriptor,
      [&](TVLMStream& buffer) { VLMWriteStreamBuffer(block + kBlobBlockHeadSize, storedSize, buffer, 10715); }, true,
      openMode, fieldNo);
}

void TVLMMemoryTableData::FreeBlob(uint8_t* record, int32_t fieldNo) {
  auto guard = LockGuard();
  const uint32_t handle = HandleOf(record, fieldNo);
  auto it = Blobs_.find(handle);
  if (it == Blobs_.end() || it->second.Stored) return;
  FreeValue(handle);
  SetHandle(record, fieldNo, 0);
}

void TVLMMemoryTableData::DiscardBlob(uint8_t*, int32_t) {}

// ----------------------------------------------------- TVLMMemoryDatabaseData

TVLMMemoryDatabaseData::TVLMMemoryDatabaseData() { DatabaseFileName = "MEMORY"; }

TVLMMemoryDatabaseData::~TVLMMemoryDatabaseData() = default;

TVLMTableDataBase* TVLMMemoryDatabaseData::CreateTableData(TVLMCursor* cursor) {
  if (cursor == nullptr) throw EVLMException(10707, "Nil pointer occured");
  auto table = std::make_unique<TVLMMemoryTableData>(this);
  table->GrowBy = kVLMMemoryGrowBy;
  table->TableName = cursor->TableName;
  return AddTableData(std::move(table));
}

int32_t TVLMMemoryDatabaseData::NextObjectID() {
  std::lock_guard<qv::RecursiveMutex> guard(CriticalSection());
  return ++LastObjectID_;
}
