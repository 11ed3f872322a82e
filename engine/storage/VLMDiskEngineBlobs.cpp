// VLMDiskEngine, BLOB part: small-BLOB pages, large values with their page
// lists, and the cache of field values loaded into record buffers. Layouts
// and invariants are described in VLMDiskEngineBlobs.h.
//
// The cache is a table of entries addressed by 32-bit handles (slot number
// and a generation that changes whenever the slot is reused), because the 4
// bytes a record buffer keeps for the entry cannot hold a pointer. A handle
// left in a buffer after its entry went (a copied buffer, say) no longer
// matches its slot and reads as no entry.
#include "engine/storage/VLMDiskEngineBlobs.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_set>

#include "engine/core/VLMBLOBStream.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMFieldManager.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"

namespace {

// Handles: slot + 1 in the low bits, the slot's generation above them.
constexpr uint32_t kSlotBits = 20;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
constexpr uint32_t kGenerationMask = (1u << (32 - kSlotBits)) - 1;

constexpr uint16_t kLastSmallID = 0xFFFE;

void RaiseDamagedLarge(uint32_t pageNo) {
  throw EVLMException(10673, "Damaged BLOB value. PageNo=%d", {static_cast<long long>(pageNo)});
}

void RaiseOutsideFile(uint32_t pageNo) {
  throw EVLMException(10679, "BLOB reference to a page outside the file. PageNo=%d",
                      {static_cast<long long>(pageNo)});
}

void PutHead(uint8_t* head, uint16_t id, const TVLMBlobCacheEntry& entry) {
  VLMPutU16LE(head, id);
  VLMPutU32LE(head + kVLMBlobHeadBlockCountOffset, entry.BlockCount);
  VLMPutU64LE(head + kVLMBlobHeadStoredSizeOffset, static_cast<uint64_t>(entry.Data.size()));
  VLMPutU64LE(head + kVLMBlobHeadUncompressedOffset, static_cast<uint64_t>(entry.UncompressedSize));
}

int64_t StoredSizeAt(const uint8_t* head) {
  return static_cast<int64_t>(VLMGetU64LE(head + kVLMBlobHeadStoredSizeOffset));
}

}  // namespace

// ---------------------------------------------------------- TVLMSmallBlobPage

TVLMSmallBlobPage::TVLMSmallBlobPage(TVLMPage* page) : Page(page) { Scan(); }

void TVLMSmallBlobPage::Scan() {
  const uint8_t* data = Page->Data();
  const int64_t size = Page->DataSize();
  const int32_t count = VLMGetU16LE(data);
  Offsets_.clear();
  int64_t offset = kVLMBlobPageCountSize;
  for (int32_t i = 0; i < count; ++i) {
    const int64_t stored = size - offset >= kVLMBlobHeadSize ? StoredSizeAt(data + offset) : -1;
    if (stored < 0 || stored > size - offset - kVLMBlobHeadSize)
      throw EVLMException(10672, "Damaged BLOB page. PageNo=%d, BlobCount=%d, EntryNo=%d", {Page->PageNo, count, i});
    Offsets_.push_back(static_cast<int32_t>(offset));
    offset += kVLMBlobHeadSize + stored;
  }
  End_ = static_cast<int32_t>(offset);
}

int32_t TVLMSmallBlobPage::Find(uint16_t id) const {
  for (int32_t i = 0; i < GetCount(); ++i)
    if (VLMGetU16LE(Page->Data() + Offsets_[static_cast<size_t>(i)]) == id) return i;
  return -1;
}

uint16_t TVLMSmallBlobPage::NewBlobID() const {
  uint32_t id = static_cast<uint32_t>(GetCount());
  for (uint32_t tries = 0; tries <= kLastSmallID; ++tries, ++id) {
    if (id > kLastSmallID) id = 0;
    // 255 would read as a large value whenever the sizes happen to fit one.
    if (id == kVLMAmbiguousBlobID) ++id;
    if (Find(static_cast<uint16_t>(id)) < 0) return static_cast<uint16_t>(id);
  }
  throw EVLMException(20172, "Invalid blob field ID");
}

void TVLMSmallBlobPage::AddBlob(const TVLMBlobCacheEntry& entry, TVLMBlobReference& reference, int32_t indexedSize) {
  const int64_t need = kVLMBlobHeadSize + static_cast<int64_t>(entry.Data.size());
  if (Page->DataSize() - End_ < need)
    throw EVLMException(20290,
                        "Cannot add blob. Page is full: BlobCount=%d, BlobOffset=%d, BlobSize=%d, PageDataSize=%d, "
                        "SizeInBlobPageIndex=%d",
                        {GetCount(), End_, static_cast<long long>(need), Page->DataSize(), indexedSize});
  const uint16_t id = NewBlobID();
  uint8_t* head = Page->Data() + End_;
  PutHead(head, id, entry);
  if (!entry.Data.empty()) std::memcpy(head + kVLMBlobHeadSize, entry.Data.data(), entry.Data.size());
  VLMPutU16LE(Page->Data(), static_cast<uint16_t>(GetCount() + 1));
  Page->Modified = true;
  Offsets_.push_back(End_);
  End_ += static_cast<int32_t>(need);
  reference = TVLMBlobReference{static_cast<uint32_t>(Page->PageNo), id};
}

void TVLMSmallBlobPage::DeleteBlob(const TVLMBlobReference& reference, int32_t& freedSize) {
  const int32_t index = Find(reference.ID);
  if (index < 0) throw EVLMException(20171, "Cannot find blob field");
  uint8_t* data = Page->Data();
  const int32_t offset = Offsets_[static_cast<size_t>(index)];
  freedSize = kVLMBlobHeadSize + static_cast<int32_t>(StoredSizeAt(data + offset));
  std::memmove(data + offset, data + offset + freedSize, static_cast<size_t>(End_ - offset - freedSize));
  std::memset(data + End_ - freedSize, 0, static_cast<size_t>(freedSize));
  VLMPutU16LE(data, static_cast<uint16_t>(GetCount() - 1));
  Page->Modified = true;
  Scan();
}

void TVLMSmallBlobPage::ReadBlob(TVLMBlobCacheEntry& entry, const TVLMBlobReference& reference) const {
  const int32_t index = Find(reference.ID);
  if (index < 0)
    throw EVLMException(10678, "Cannot find blob field. PageNo=%d, BlobID=%d",
                        {Page->PageNo, static_cast<int>(reference.ID)});
  const uint8_t* head = Page->Data() + Offsets_[static_cast<size_t>(index)];
  entry.BlockCount = VLMGetU32LE(head + kVLMBlobHeadBlockCountOffset);
  entry.UncompressedSize = static_cast<int64_t>(VLMGetU64LE(head + kVLMBlobHeadUncompressedOffset));
  entry.Data.assign(head + kVLMBlobHeadSize, head + kVLMBlobHeadSize + StoredSizeAt(head));
}

// -------------------------------------------------------- TVLMDiskBlobManager

TVLMDiskBlobManager::TVLMDiskBlobManager(TVLMPageManager* pageManager, TVLMDiskRecordManager* recordManager,
                                         TVLMBaseFieldManager* fieldManager)
    : BlobPageIndex(std::make_unique<TVLMBTreeBlobPageIndex>(pageManager)),
      PageManager(pageManager),
      RecordManager(recordManager),
      FieldManager(fieldManager) {}

TVLMDiskBlobManager::~TVLMDiskBlobManager() = default;

void TVLMDiskBlobManager::CheckCacheReleased() const {
  if (CacheCount_ > 0) throw EVLMException(20150, "Blob cache not released");
}

int32_t TVLMDiskBlobManager::CacheCount() const { return CacheCount_; }

void TVLMDiskBlobManager::LoadFromStream(qv::Stream& stream) { VLMLoadPageIndexRoot(stream, *BlobPageIndex); }

void TVLMDiskBlobManager::SaveToStream(qv::Stream& stream) const { VLMSavePageIndexRoot(stream, *BlobPageIndex); }

void TVLMDiskBlobManager::CreatePageIndex() { BlobPageIndex->CreateTree(kVLMSystemSessionID); }

// ------------------------------------------------------------------ cache

TVLMBlobCacheEntry* TVLMDiskBlobManager::Lookup(uint32_t handle) const {
  const uint32_t slot = handle & kSlotMask;
  if (slot == 0 || slot > Cache_.size()) return nullptr;
  const CacheSlot& entry = Cache_[slot - 1];
  return entry.Generation == (handle >> kSlotBits) ? entry.Entry.get() : nullptr;
}

uint32_t TVLMDiskBlobManager::Add(std::unique_ptr<TVLMBlobCacheEntry> entry) {
  uint32_t slot;
  if (!FreeSlots_.empty()) {
    slot = FreeSlots_.back();
    FreeSlots_.pop_back();
    Cache_[slot].Generation = (Cache_[slot].Generation + 1) & kGenerationMask;
  } else {
    if (Cache_.size() >= kSlotMask) throw EVLMException(10676, "Too many BLOB values loaded. Count = %d", {CacheCount_});
    slot = static_cast<uint32_t>(Cache_.size());
    Cache_.emplace_back();
  }
  Cache_[slot].Entry = std::move(entry);
  ++CacheCount_;
  return (Cache_[slot].Generation << kSlotBits) | (slot + 1);
}

void TVLMDiskBlobManager::Remove(uint32_t handle) {
  if (Lookup(handle) == nullptr) return;
  const uint32_t slot = (handle & kSlotMask) - 1;
  Cache_[slot].Entry.reset();
  FreeSlots_.push_back(slot);
  --CacheCount_;
}

const TVLMFieldDef& TVLMDiskBlobManager::BlobField(int32_t fieldNo) const {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  if (fieldNo < 0 || fieldNo >= fields.GetCount() || !VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType))
    throw EVLMException(10675, "Field %d is not a BLOB field", {fieldNo});
  return *fields.GetFieldDef(fieldNo);
}

uint32_t TVLMDiskBlobManager::HandleOf(const uint8_t* record, int32_t fieldNo) const {
  return VLMGetU32LE(record + BlobField(fieldNo).BufferOffset + kVLMBlobReferenceSize);
}

void TVLMDiskBlobManager::StoreReference(uint8_t* record, int32_t fieldNo, const TVLMBlobReference& reference,
                                         uint32_t handle) const {
  uint8_t* field = record + BlobField(fieldNo).BufferOffset;
  VLMPutU32LE(field, reference.PageNo);
  VLMPutU16LE(field + 4, reference.ID);
  VLMPutU32LE(field + kVLMBlobReferenceSize, handle);
}

void TVLMDiskBlobManager::GetBlobRef(const uint8_t* record, int32_t fieldNo, TVLMBlobCacheEntry*& entry,
                                     TVLMBlobReference& reference) const {
  const uint8_t* field = record + BlobField(fieldNo).BufferOffset;
  reference = TVLMBlobReference{VLMGetU32LE(field), VLMGetU16LE(field + 4)};
  entry = Lookup(VLMGetU32LE(field + kVLMBlobReferenceSize));
}

void TVLMDiskBlobManager::LoadBlob(int32_t sessionID, uint8_t* record, int32_t fieldNo) {
  TVLMBlobCacheEntry* entry = nullptr;
  TVLMBlobReference reference;
  GetBlobRef(record, fieldNo, entry, reference);
  if (entry != nullptr || !reference.IsStored()) return;
  const uint32_t handle = Add(std::make_unique<TVLMBlobCacheEntry>());
  // A value that cannot be read leaves no entry behind.
  auto drop = qv::ScopeExit([&] {
    Remove(handle);
    StoreReference(record, fieldNo, reference, 0);
  });
  ReadBlob(sessionID, reference, *Lookup(handle));
  StoreReference(record, fieldNo, reference, handle);
  drop.Release();
}

void TVLMDiskBlobManager::FreeBlob(uint8_t* record, int32_t fieldNo, bool force) {
  TVLMBlobCacheEntry* entry = nullptr;
  TVLMBlobReference reference;
  GetBlobRef(record, fieldNo, entry, reference);
  if (entry != nullptr && entry->Modified && !force) return;
  Remove(HandleOf(record, fieldNo));
  StoreReference(record, fieldNo, reference, 0);
}

void TVLMDiskBlobManager::Replace(uint8_t* record, int32_t fieldNo, std::vector<uint8_t> data, int64_t blockCount,
                                  int64_t uncompressedSize, bool empty) {
  FreeBlob(record, fieldNo, true);
  auto entry = std::make_unique<TVLMBlobCacheEntry>();
  entry->BlockCount = static_cast<uint32_t>(blockCount);
  entry->UncompressedSize = uncompressedSize;
  entry->Modified = true;
  entry->Data = std::move(data);
  const uint32_t handle = Add(std::move(entry));
  VLMPutU32LE(record + BlobField(fieldNo).BufferOffset + kVLMBlobReferenceSize, handle);
  VLMSetBit(empty, fieldNo, record);
}

void TVLMDiskBlobManager::SaveBlobStream(uint8_t* record, int32_t fieldNo, qv::Stream& stream,
                                         const TVLMBLOBDescriptor& descriptor) {
  const int64_t start = std::max<int64_t>(descriptor.StartPosition, 0);
  const int64_t available = std::max<int64_t>(stream.Size() - start, 0);
  // A NONE value is its plain bytes; a compressed one runs to the end.
  const int64_t count =
      descriptor.Algorithm == 0 ? std::clamp<int64_t>(descriptor.UncompressedSize, 0, available) : available;
  std::vector<uint8_t> data(static_cast<size_t>(count));
  stream.SetPosition(start);
  if (count > 0) stream.ReadBuffer(data.data(), count);
  Replace(record, fieldNo, std::move(data), descriptor.BlockCount, descriptor.UncompressedSize,
          descriptor.UncompressedSize <= 0);
}

void TVLMDiskBlobManager::SetBlobData(uint8_t* record, int32_t fieldNo, const std::vector<uint8_t>& data,
                                      const TVLMBLOBDescriptor& descriptor) {
  Replace(record, fieldNo, data, descriptor.BlockCount, descriptor.UncompressedSize, data.empty());
}

TVLMBlobCacheEntry& TVLMDiskBlobManager::LoadedEntry(int32_t sessionID, uint8_t* record, int32_t fieldNo,
                                                     int32_t code) {
  TVLMBlobCacheEntry* entry = nullptr;
  TVLMBlobReference reference;
  GetBlobRef(record, fieldNo, entry, reference);
  if (entry == nullptr) {
    LoadBlob(sessionID, record, fieldNo);
    GetBlobRef(record, fieldNo, entry, reference);
  }
  if (entry == nullptr) throw EVLMException(code, "Cannot read BLOB field value");
  return *entry;
}

void TVLMDiskBlobManager::ReadBlobToStream(int32_t sessionID, uint8_t* record, qv::Stream& stream,
                                           TVLMBLOBDescriptor& descriptor, int32_t fieldNo) {
  BlobField(fieldNo);
  descriptor.BlockCount = 0;
  descriptor.UncompressedSize = 0;
  if (VLMGetBit(fieldNo, record)) return;
  const TVLMBlobCacheEntry& entry = LoadedEntry(sessionID, record, fieldNo, 20162);
  if (!entry.Data.empty()) stream.WriteBuffer(entry.Data.data(), static_cast<int64_t>(entry.Data.size()));
  descriptor.BlockCount = entry.BlockCount;
  descriptor.UncompressedSize = entry.UncompressedSize;
}

void TVLMDiskBlobManager::GetBlobData(int32_t sessionID, uint8_t* record, TVLMBLOBDescriptor& descriptor,
                                      std::vector<uint8_t>& data, int32_t fieldNo) {
  BlobField(fieldNo);
  descriptor.BlockCount = 0;
  descriptor.UncompressedSize = 0;
  data.clear();
  if (VLMGetBit(fieldNo, record)) return;
  const TVLMBlobCacheEntry& entry = LoadedEntry(sessionID, record, fieldNo, 20291);
  data = entry.Data;
  descriptor.BlockCount = entry.BlockCount;
  descriptor.UncompressedSize = entry.UncompressedSize;
}

void TVLMDiskBlobManager::FlushBlobs(int32_t sessionID, uint8_t* record) {
  StoreModifiedBlobs(sessionID, record);
  ReleaseStoredBlobs(record);
}

template <class Visit>
void TVLMDiskBlobManager::ForModifiedBlobs(uint8_t* record, Visit&& visit) {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  for (int32_t fieldNo = 0; fieldNo < fields.GetCount(); ++fieldNo) {
    if (!VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType)) continue;
    TVLMBlobCacheEntry* entry = nullptr;
    TVLMBlobReference reference;
    GetBlobRef(record, fieldNo, entry, reference);
    if (entry != nullptr && entry->Modified) visit(fieldNo, *entry, reference);
  }
}

void TVLMDiskBlobManager::StoreModifiedBlobs(int32_t sessionID, uint8_t* record) {
  ForModifiedBlobs(record, [&](int32_t fieldNo, TVLMBlobCacheEntry& entry, TVLMBlobReference& reference) {
    if (reference.IsStored()) DeleteBlob(sessionID, reference);
    if (entry.UncompressedSize > 0) WriteBlob(sessionID, entry, reference);
    StoreReference(record, fieldNo, reference, HandleOf(record, fieldNo));
  });
}

void TVLMDiskBlobManager::ReleaseStoredBlobs(uint8_t* record) {
  ForModifiedBlobs(record, [&](int32_t fieldNo, TVLMBlobCacheEntry& entry, TVLMBlobReference&) {
    entry.Modified = false;
    FreeBlob(record, fieldNo, false);
  });
}

void TVLMDiskBlobManager::DeleteBlobs(int32_t sessionID, uint8_t* record) {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  for (int32_t fieldNo = 0; fieldNo < fields.GetCount(); ++fieldNo) {
    if (!VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType) || VLMGetBit(fieldNo, record)) continue;
    TVLMBlobCacheEntry* entry = nullptr;
    TVLMBlobReference reference;
    GetBlobRef(record, fieldNo, entry, reference);
    if (reference.IsStored()) {
      DeleteBlob(sessionID, reference);
      StoreReference(record, fieldNo, reference, HandleOf(record, fieldNo));
    }
    if (entry != nullptr) entry->Modified = false;
  }
}

void TVLMDiskBlobManager::FreeRecordBlobs(uint8_t* record) {
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  for (int32_t fieldNo = 0; fieldNo < fields.GetCount(); ++fieldNo)
    if (VLMIsBLOBBaseType(fields.GetFieldDef(fieldNo)->BaseType)) FreeBlob(record, fieldNo, true);
}

void TVLMDiskBlobManager::FreeAllBlobs(int32_t sessionID) {
  if (!FieldManager->HasBlobFields()) return;
  auto* buffer =
      static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(RecordManager->RecordBufferSize, 1)));
  auto release = qv::ScopeExit([&] { VLMMemoryManager().FreeMem(buffer); });
  TVLMNavigationRequest request;
  request.Bof = true;
  request.RecordBuffer = buffer;
  for (;;) {
    request.Mode = 1;
    RecordManager->GetRecord(sessionID, request);
    if (request.Result != kVLMNavOK) break;
    DeleteBlobs(sessionID, buffer);
  }
  BlobPageIndex->EmptyTree(sessionID);
}

void TVLMDiskBlobManager::DropAll(int32_t sessionID) {
  if (!FieldManager->HasBlobFields()) return;
  FreeAllBlobs(sessionID);
  BlobPageIndex->DropTree(sessionID);
}

// ---------------------------------------------------------- stored values

TVLMPage* TVLMDiskBlobManager::ReadBlobPage(int32_t sessionID, int32_t pageNo) {
  auto* disk = dynamic_cast<TVLMDiskPageManager*>(PageManager);
  const bool repairing = disk != nullptr && disk->MendHeaderReads;
  // A repair's read takes the page a value names whatever its stored type
  // says: the checks of what is read from it stand for that of the type
  // (and, encrypted, the data's CRC, the header mended). The cached copy
  // keeps the type it has: a damaged reference may name a page of another
  // structure, which its own reads must still see as it is.
  return PageManager->GetPage(sessionID, pageNo, true, repairing ? kVLMAnyPageType : kVLMPageTableBlob);
}

bool TVLMDiskBlobManager::PageInFile(int32_t pageNo) { return pageNo > 0 && VLMPageInFile(PageManager, pageNo); }

int64_t TVLMDiskBlobManager::FilePageCount() {
  // Other page managers keep their pages in memory, where any count fits.
  return dynamic_cast<TVLMDiskPageManager*>(PageManager) != nullptr ? PageManager->GetPageCount() : INT32_MAX;
}

void TVLMDiskBlobManager::WriteBlob(int32_t sessionID, const TVLMBlobCacheEntry& entry,
                                    TVLMBlobReference& reference) {
  if (static_cast<int64_t>(entry.Data.size()) + kVLMSmallBlobMargin < PageManager->PageDataSize)
    WriteSmall(sessionID, entry, reference);
  else
    WriteLarge(sessionID, entry, reference);
}

void TVLMDiskBlobManager::WriteSmall(int32_t sessionID, const TVLMBlobCacheEntry& entry,
                                     TVLMBlobReference& reference) {
  const auto need = static_cast<int32_t>(entry.Data.size()) + kVLMBlobHeadSize;
  int32_t pageNo = -1;
  TVLMHeldPage page;
  if (BlobPageIndex->FindPageWithRoom(sessionID, need, pageNo)) {
    if (!PageInFile(pageNo)) RaiseOutsideFile(static_cast<uint32_t>(pageNo));
    page.Reset(PageManager, PageManager->GetPage(sessionID, pageNo, true, kVLMPageTableBlob));
  } else {
    page.Reset(PageManager, PageManager->NewPage(sessionID, kVLMPageTableBlob));
    pageNo = page->PageNo;
  }
  TVLMSmallBlobPage view(page.Get());
  // What the index says the page uses goes into the message of a full page.
  const bool full = page->DataSize() - view.EntryAt(view.GetCount()) < need;
  view.AddBlob(entry, reference, full ? std::max(BlobPageIndex->GetPageValue(sessionID, pageNo), 0) : 0);
  page.Release();
  BlobPageIndex->AddToPage(sessionID, need, pageNo);
}

void TVLMDiskBlobManager::WriteLarge(int32_t sessionID, const TVLMBlobCacheEntry& entry,
                                     TVLMBlobReference& reference) {
  const int32_t dataSize = PageManager->PageDataSize;
  const auto size = static_cast<int64_t>(entry.Data.size());
  TVLMHeldPage first(PageManager, PageManager->NewPage(sessionID, kVLMPageTableBlob));
  PutHead(first->Data(), kVLMLargeBlobID, entry);
  std::vector<int32_t> dataPages{first->PageNo};
  TVLMHeldPage other;
  TVLMPage* current = first.Get();
  int32_t offset = kVLMLargeBlobDataOffset;
  // The next page of the value; list pages are linked from the one before.
  auto nextPage = [&](bool linked) {
    TVLMPage* next = PageManager->NewPage(sessionID, kVLMPageTableBlob);
    if (linked) current->SetNextPage(next->PageNo);
    other.Reset(PageManager, next);
    current = next;
    offset = 0;
  };
  for (int64_t written = 0; written < size;) {
    if (offset == dataSize) {
      nextPage(false);
      dataPages.push_back(current->PageNo);
    }
    const int64_t n = std::min<int64_t>(size - written, dataSize - offset);
    std::memcpy(current->Data() + offset, entry.Data.data() + written, static_cast<size_t>(n));
    written += n;
    offset += static_cast<int32_t>(n);
  }
  std::vector<uint8_t> list(dataPages.size() * 4);
  for (size_t i = 0; i < dataPages.size(); ++i) VLMPutI32LE(list.data() + 4 * i, dataPages[i]);
  if (offset == dataSize) nextPage(false);
  const int32_t listPage = current->PageNo;
  const int32_t listOffset = offset;
  for (size_t done = 0; done < list.size();) {
    if (offset == dataSize) nextPage(true);
    const size_t n = std::min(list.size() - done, static_cast<size_t>(dataSize - offset));
    std::memcpy(current->Data() + offset, list.data() + done, n);
    done += n;
    offset += static_cast<int32_t>(n);
  }
  uint8_t* data = first->Data();
  VLMPutI32LE(data + kVLMLargeBlobListPageOffset, listPage);
  VLMPutU16LE(data + kVLMLargeBlobListOffsetOffset, static_cast<uint16_t>(listOffset));
  VLMPutI32LE(data + kVLMLargeBlobPageCountOffset, static_cast<int32_t>(dataPages.size()));
  reference = TVLMBlobReference{static_cast<uint32_t>(first->PageNo), kVLMLargeBlobID};
}

bool TVLMDiskBlobManager::IsLargeBlob(int32_t sessionID, const TVLMBlobReference& reference) {
  if (reference.ID == kVLMLargeBlobID) return true;
  if (reference.ID != kVLMAmbiguousBlobID) return false;
  if (!PageInFile(static_cast<int32_t>(reference.PageNo))) RaiseOutsideFile(reference.PageNo);
  // Files written before 255 was kept back may hold such small entries: the
  // value is taken for a large one when its sizes fit one.
  TVLMHeldPage page(PageManager, ReadBlobPage(sessionID, static_cast<int32_t>(reference.PageNo)));
  const int64_t pages = VLMGetI32LE(page->Data() + kVLMLargeBlobPageCountOffset);
  const int64_t stored = StoredSizeAt(page->Data());
  const int64_t dataSize = PageManager->PageDataSize;
  return (pages - 2) * dataSize < stored && stored < pages * dataSize;
}

void TVLMDiskBlobManager::LargeBlobPages(int32_t sessionID, uint32_t firstPage, std::vector<int32_t>& dataPages,
                                         std::vector<int32_t>& listPages, bool verifyPages) {
  dataPages.clear();
  listPages.clear();
  const int64_t dataSize = PageManager->PageDataSize;
  if (!PageInFile(static_cast<int32_t>(firstPage))) RaiseOutsideFile(firstPage);
  int64_t stored = 0;
  int32_t listPage = 0;
  int32_t listOffset = 0;
  int64_t pageCount = 0;
  {
    TVLMHeldPage first(PageManager, ReadBlobPage(sessionID, static_cast<int32_t>(firstPage)));
    const uint8_t* data = first->Data();
    stored = StoredSizeAt(data);
    listPage = VLMGetI32LE(data + kVLMLargeBlobListPageOffset);
    listOffset = VLMGetU16LE(data + kVLMLargeBlobListOffsetOffset);
    pageCount = VLMGetI32LE(data + kVLMLargeBlobPageCountOffset);
  }
  // The head, the page count and where the list starts must all agree.
  if (stored < 0 || stored > static_cast<int64_t>(INT32_MAX) * dataSize) RaiseDamagedLarge(firstPage);
  const int64_t used = kVLMLargeBlobDataOffset + stored;
  const int64_t lastUsed = used - (pageCount - 1) * dataSize;
  if (pageCount < 1 || pageCount != (used + dataSize - 1) / dataSize || listOffset != lastUsed % dataSize ||
      pageCount > FilePageCount())
    RaiseDamagedLarge(firstPage);
  std::vector<uint8_t> list(static_cast<size_t>(pageCount) * 4);
  const int64_t listPageCount = (listOffset + static_cast<int64_t>(list.size()) + dataSize - 1) / dataSize;
  for (size_t done = 0; done < list.size();) {
    if (!PageInFile(listPage) || static_cast<int64_t>(listPages.size()) >= listPageCount)
      RaiseDamagedLarge(firstPage);
    TVLMHeldPage page(PageManager, ReadBlobPage(sessionID, listPage));
    listPages.push_back(listPage);
    const size_t n = std::min(list.size() - done, static_cast<size_t>(dataSize - listOffset));
    std::memcpy(list.data() + done, page->Data() + listOffset, n);
    done += n;
    listOffset = 0;
    listPage = page->GetNextPage();
  }
  std::unordered_set<int32_t> seen;
  for (size_t i = 0; i < list.size(); i += 4) {
    const int32_t pageNo = VLMGetI32LE(list.data() + i);
    if (!PageInFile(pageNo) || !seen.insert(pageNo).second) RaiseDamagedLarge(firstPage);
    dataPages.push_back(pageNo);
  }
  // The list starts in the last data page unless that page is full; every
  // other list page belongs to the list alone.
  const bool sharesLastPage = lastUsed < dataSize;
  if (dataPages.front() != static_cast<int32_t>(firstPage) || (sharesLastPage && listPages.front() != dataPages.back()))
    RaiseDamagedLarge(firstPage);
  for (size_t i = sharesLastPage ? 1 : 0; i < listPages.size(); ++i)
    if (!seen.insert(listPages[i]).second) RaiseDamagedLarge(firstPage);
  if (verifyPages)
    for (size_t i = 1; i < dataPages.size(); ++i)
      TVLMHeldPage(PageManager, ReadBlobPage(sessionID, dataPages[i]));
}

void TVLMDiskBlobManager::ReadBlob(int32_t sessionID, const TVLMBlobReference& reference, TVLMBlobCacheEntry& entry) {
  if (!reference.IsStored() || !PageInFile(static_cast<int32_t>(reference.PageNo)))
    RaiseOutsideFile(reference.PageNo);
  if (IsLargeBlob(sessionID, reference)) {
    ReadLarge(sessionID, reference, entry);
    return;
  }
  TVLMHeldPage page(PageManager, ReadBlobPage(sessionID, static_cast<int32_t>(reference.PageNo)));
  TVLMSmallBlobPage(page.Get()).ReadBlob(entry, reference);
}

void TVLMDiskBlobManager::ReadLarge(int32_t sessionID, const TVLMBlobReference& reference, TVLMBlobCacheEntry& entry) {
  std::vector<int32_t> dataPages, listPages;
  LargeBlobPages(sessionID, reference.PageNo, dataPages, listPages, false);
  const int32_t dataSize = PageManager->PageDataSize;
  int64_t size = 0;
  for (size_t i = 0; i < dataPages.size(); ++i) {
    TVLMHeldPage page(PageManager, ReadBlobPage(sessionID, dataPages[i]));
    const int32_t offset = i == 0 ? kVLMLargeBlobDataOffset : 0;
    if (i == 0) {
      const uint8_t* head = page->Data();
      entry.BlockCount = VLMGetU32LE(head + kVLMBlobHeadBlockCountOffset);
      entry.UncompressedSize = static_cast<int64_t>(VLMGetU64LE(head + kVLMBlobHeadUncompressedOffset));
      size = StoredSizeAt(head);
      entry.Data.assign(static_cast<size_t>(size), 0);
    }
    const int64_t done = i == 0 ? 0 : (dataSize - kVLMLargeBlobDataOffset) + (static_cast<int64_t>(i) - 1) * dataSize;
    const int64_t n = std::min<int64_t>(size - done, dataSize - offset);
    std::memcpy(entry.Data.data() + done, page->Data() + offset, static_cast<size_t>(n));
  }
}

void TVLMDiskBlobManager::DeleteBlob(int32_t sessionID, TVLMBlobReference& reference) {
  if (reference.IsStored()) {
    if (!PageInFile(static_cast<int32_t>(reference.PageNo))) RaiseOutsideFile(reference.PageNo);
    if (IsLargeBlob(sessionID, reference))
      DeleteLarge(sessionID, reference);
    else
      DeleteSmall(sessionID, reference);
  }
  reference = TVLMBlobReference::Deleted();
}

void TVLMDiskBlobManager::DeleteSmall(int32_t sessionID, const TVLMBlobReference& reference) {
  const auto pageNo = static_cast<int32_t>(reference.PageNo);
  int32_t freed = 0;
  int32_t remaining = 0;
  {
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, true, kVLMPageTableBlob));
    TVLMSmallBlobPage view(page.Get());
    view.DeleteBlob(reference, freed);
    remaining = view.GetCount();
  }
  // A page left without entries leaves the index whatever it counted.
  BlobPageIndex->RemoveFromPage(sessionID, freed, remaining == 0 ? 0 : -1, pageNo);
  if (remaining == 0) PageManager->RemovePage(sessionID, pageNo);
}

void TVLMDiskBlobManager::DeleteLarge(int32_t sessionID, const TVLMBlobReference& reference) {
  std::vector<int32_t> dataPages, listPages;
  LargeBlobPages(sessionID, reference.PageNo, dataPages, listPages, true);
  for (int32_t pageNo : dataPages) PageManager->RemovePage(sessionID, pageNo);
  // A first list page that is the last data page is freed already.
  for (int32_t pageNo : listPages)
    if (pageNo != dataPages.back()) PageManager->RemovePage(sessionID, pageNo);
}
