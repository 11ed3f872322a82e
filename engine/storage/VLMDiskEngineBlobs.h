// VLMDiskEngine, BLOB part: the values of BLOB, memo and wide-memo fields of
// a disk table, kept outside the records. A value is the field's compressed
// byte stream (TVLMCompressedBLOBStream, VLMBLOBStream.h), stored as one
// entry of a shared small-BLOB page or, when it does not fit one, as a chain
// of pages of its own. Both kinds of page have page type 11.
//
// BLOB reference (stored record and record buffer, 6 bytes): u32 page, u16
// id. Page 0 or 0xFFFFFFFF: no value stored. Id 0xFFFF: a large value whose
// first page is the page; any other id: an entry of a small-BLOB page.
// After a delete the reference is {0xFFFFFFFF, 0xFFFF}. In a record buffer
// the reference is followed by a u32 handle of the field's cache entry (0:
// none); handles never reach the file.
//
// BLOB head (22 bytes): 0 u16 id (small entries) | 2 u32 BlockCount |
// 6 i64 stored size S | 14 i64 UncompressedSize.
//
// Small-BLOB page, data area: 0 u16 entry count | 2 entries packed one after
// the other, each a head and S bytes of data.
//
// Large value, first page's data area: 0 head | 22 u32 first page of the
// page list | 26 u16 offset of the list in that page's data area | 28 i32
// number of data pages | 32 the first bytes of the data. The data goes on at
// offset 0 of further pages. The page list (u32 page numbers of every data
// page, the first included) follows the data in the last data page (or
// starts at offset 0 of a new page when that page is exactly full) and goes
// on at offset 0 of further list pages, each named by the next-page field of
// the page header of the one before.
//
// A value of S bytes is small when S + 24 < page data size.
//
// Invariants:
//   1. The small-BLOB page index lists a page exactly while it holds
//      entries, with the bytes they use (22 + S each); a page that loses its
//      last entry is freed in the same operation.
//   2. Ids of one page are unique; no id 0xFFFF or 255 is ever handed out
//      (255 is taken for a large value by readers of older files when the
//      sizes fit one, see IsLargeBlob).
//   3. Every page of a large value (data and list pages) is freed exactly
//      once when the value is deleted; a page is freed only after the value's
//      page list was read and checked.
//   4. A cache entry lives from the first load or write of a field value
//      until it is freed, or written by FlushBlobs (by StoreModifiedBlobs,
//      and then released once the write that stored it stands); only
//      handles of listed entries are ever read back (a stale handle reads
//      as none).
//
// Stored pages are checked before anything is taken from them; a damaged
// page raises an engine error and nothing is read or written past a page.
// A repair's reads (TVLMDiskPageManager::MendHeaderReads) take a page a
// value names past a damaged header: its type is not asked, and an
// encrypted page whose stored CRC or cipher byte alone is damaged is read;
// the value's own checks (the entries of a small page, the head and page
// list of a large value) and the data's CRC still stand.
//
// Error codes: 20150 cache not released, 20162/20291 value cannot be read,
// 20171 entry not found on delete, 20172 id space exhausted, 20290 page full;
// 10672 damaged small-BLOB page, 10673 damaged large value, 10675 field that
// is not a BLOB field, 10676 cache handles exhausted, 10678 entry not found
// on read, 10679 reference to a page outside the file.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/VLMBTree.h"
#include "engine/storage/VLMPage.h"

namespace qv {
class Stream;
}

class TVLMBaseFieldManager;
class TVLMDiskRecordManager;
class TVLMFieldDef;
struct TVLMBLOBDescriptor;

inline constexpr int32_t kVLMBlobHeadSize = 22;
inline constexpr int32_t kVLMBlobHeadBlockCountOffset = 2;    // u32
inline constexpr int32_t kVLMBlobHeadStoredSizeOffset = 6;    // i64
inline constexpr int32_t kVLMBlobHeadUncompressedOffset = 14;  // i64
inline constexpr int32_t kVLMBlobPageCountSize = 2;           // u16 at offset 0 of a small page
inline constexpr int32_t kVLMLargeBlobListPageOffset = 22;    // u32
inline constexpr int32_t kVLMLargeBlobListOffsetOffset = 26;  // u16
inline constexpr int32_t kVLMLargeBlobPageCountOffset = 28;   // i32
inline constexpr int32_t kVLMLargeBlobDataOffset = 32;
// A value of S bytes goes to a small page while S + this < page data size.
inline constexpr int32_t kVLMSmallBlobMargin = 24;
inline constexpr uint16_t kVLMLargeBlobID = 0xFFFF;
// The id whose kind readers guess from the sizes (see IsLargeBlob).
inline constexpr uint16_t kVLMAmbiguousBlobID = 255;
// Bytes of a BLOB field in a record buffer: reference and cache handle.
inline constexpr int32_t kVLMBlobReferenceSize = 6;

struct TVLMBlobReference {
  uint32_t PageNo = 0;
  uint16_t ID = 0;

  bool IsStored() const { return PageNo != 0 && PageNo != 0xFFFFFFFF; }
  static TVLMBlobReference Deleted() { return {0xFFFFFFFF, kVLMLargeBlobID}; }
};

// One loaded or written field value.
struct TVLMBlobCacheEntry {
  uint32_t BlockCount = 0;
  int64_t UncompressedSize = 0;
  bool Modified = false;
  // The stored (compressed) bytes.
  std::vector<uint8_t> Data;
};

// ---------------------------------------------------------- TVLMSmallBlobPage

// A view over one small-BLOB page for the length of one operation. The
// constructor checks that the entries lie inside the data area (10672).
class TVLMSmallBlobPage {
public:
  explicit TVLMSmallBlobPage(TVLMPage* page);

  int32_t GetCount() const { return static_cast<int32_t>(Offsets_.size()); }
  // Offset of entry i; EntryAt(GetCount()) is where the free area starts.
  int32_t EntryAt(int32_t i) const { return i < GetCount() ? Offsets_[static_cast<size_t>(i)] : End_; }
  // From the entry count on, the first id no entry holds (0xFFFE is followed
  // by 0; 255 and 0xFFFF are never given).
  uint16_t NewBlobID() const;
  // Appends the entry; 20290 when the free area is smaller than 22 + S
  // (indexedSize: what the page index says the page uses, for the message).
  void AddBlob(const TVLMBlobCacheEntry& entry, TVLMBlobReference& reference, int32_t indexedSize);
  // Removes the entry and moves the later ones down; 20171 when no entry has
  // the id. freedSize: 22 + its S.
  void DeleteBlob(const TVLMBlobReference& reference, int32_t& freedSize);
  // The entry's sizes and a copy of its data; 10678 when no entry has the id.
  void ReadBlob(TVLMBlobCacheEntry& entry, const TVLMBlobReference& reference) const;

  TVLMPage* Page;

private:
  int32_t Find(uint16_t id) const;
  void Scan();

  std::vector<int32_t> Offsets_;
  int32_t End_ = kVLMBlobPageCountSize;
};

// -------------------------------------------------------- TVLMDiskBlobManager

class TVLMDiskBlobManager {
public:
  TVLMDiskBlobManager(TVLMPageManager* pageManager, TVLMDiskRecordManager* recordManager,
                      TVLMBaseFieldManager* fieldManager);
  // Frees what the cache still holds (CheckCacheReleased tells first).
  ~TVLMDiskBlobManager();
  TVLMDiskBlobManager(const TVLMDiskBlobManager&) = delete;
  TVLMDiskBlobManager& operator=(const TVLMDiskBlobManager&) = delete;

  // 20150 "Blob cache not released" while entries are listed.
  void CheckCacheReleased() const;
  int32_t CacheCount() const;

  // The table's metadata part: the small-BLOB page index's root as a u32.
  void LoadFromStream(qv::Stream& stream);
  void SaveToStream(qv::Stream& stream) const;
  void CreatePageIndex();

  // ---- values of record buffers ----
  // The field's reference and cache entry (nullptr when none is listed).
  void GetBlobRef(const uint8_t* record, int32_t fieldNo, TVLMBlobCacheEntry*& entry,
                  TVLMBlobReference& reference) const;
  // Reads the stored value into a new cache entry when the field has a
  // stored reference and no entry yet.
  void LoadBlob(int32_t sessionID, uint8_t* record, int32_t fieldNo);
  // Frees the field's entry unless it is modified and force is clear.
  void FreeBlob(uint8_t* record, int32_t fieldNo, bool force);
  // A written value: the stored bytes of stream from the descriptor's start
  // (the value's bytes for NONE, up to the end otherwise) become the field's
  // modified entry; the null bit is set when the value is empty.
  void SaveBlobStream(uint8_t* record, int32_t fieldNo, qv::Stream& stream, const TVLMBLOBDescriptor& descriptor);
  // The same from stored bytes; null when there are none.
  void SetBlobData(uint8_t* record, int32_t fieldNo, const std::vector<uint8_t>& data,
                   const TVLMBLOBDescriptor& descriptor);
  // The field's stored bytes (written to stream / copied) and sizes; a null
  // field gives none and sizes 0. 20162 / 20291 when the value cannot be had.
  void ReadBlobToStream(int32_t sessionID, uint8_t* record, qv::Stream& stream, TVLMBLOBDescriptor& descriptor,
                        int32_t fieldNo);
  void GetBlobData(int32_t sessionID, uint8_t* record, TVLMBLOBDescriptor& descriptor, std::vector<uint8_t>& data,
                   int32_t fieldNo);
  // Before an insert or update: every modified value replaces the stored one
  // (an empty value stores nothing) and its entry goes.
  void FlushBlobs(int32_t sessionID, uint8_t* record);
  // FlushBlobs in two halves for a write that may still fail: the first
  // writes the values and gives the record their references, but keeps
  // their entries, modified, so that the record buffer as it was before
  // (its old references and handles) still names every value to write
  // again; the second, once the write stands, lets the entries go.
  void StoreModifiedBlobs(int32_t sessionID, uint8_t* record);
  void ReleaseStoredBlobs(uint8_t* record);
  // Calls visit(fieldNo, entry, reference) for every BLOB field of record
  // whose cache entry is modified (defined where it is used).
  template <class Visit>
  void ForModifiedBlobs(uint8_t* record, Visit&& visit);
  // Before a delete: the stored value of every field that is not null.
  void DeleteBlobs(int32_t sessionID, uint8_t* record);
  // Every entry of the record buffer, modified or not.
  void FreeRecordBlobs(uint8_t* record);
  // The values of every record of the table, then the page index emptied.
  void FreeAllBlobs(int32_t sessionID);
  // FreeAllBlobs, then the page index dropped (tables with BLOB fields).
  void DropAll(int32_t sessionID);

  // ---- stored values ----
  void WriteBlob(int32_t sessionID, const TVLMBlobCacheEntry& entry, TVLMBlobReference& reference);
  void ReadBlob(int32_t sessionID, const TVLMBlobReference& reference, TVLMBlobCacheEntry& entry);
  // The reference becomes {0xFFFFFFFF, 0xFFFF}.
  void DeleteBlob(int32_t sessionID, TVLMBlobReference& reference);
  // Id 0xFFFF; or id 255 on a page whose first page's list descriptor says
  // (n - 2) x D < S < n x D.
  bool IsLargeBlob(int32_t sessionID, const TVLMBlobReference& reference);
  // The data pages (in order) and the list pages of a large value, checked:
  // the head and the page list must agree with the value's size, no page may
  // be named twice or lie outside the file. verifyPages: every data page is
  // read and must be a BLOB page.
  void LargeBlobPages(int32_t sessionID, uint32_t firstPage, std::vector<int32_t>& dataPages,
                      std::vector<int32_t>& listPages, bool verifyPages);

  std::unique_ptr<TVLMBTreeBlobPageIndex> BlobPageIndex;
  // Not owned.
  TVLMPageManager* PageManager;
  TVLMDiskRecordManager* RecordManager;
  TVLMBaseFieldManager* FieldManager;

private:
  const TVLMFieldDef& BlobField(int32_t fieldNo) const;
  TVLMBlobCacheEntry* Lookup(uint32_t handle) const;
  uint32_t Add(std::unique_ptr<TVLMBlobCacheEntry> entry);
  void Remove(uint32_t handle);
  void StoreReference(uint8_t* record, int32_t fieldNo, const TVLMBlobReference& reference, uint32_t handle) const;
  uint32_t HandleOf(const uint8_t* record, int32_t fieldNo) const;
  void Replace(uint8_t* record, int32_t fieldNo, std::vector<uint8_t> data, int64_t blockCount,
               int64_t uncompressedSize, bool empty);
  TVLMBlobCacheEntry& LoadedEntry(int32_t sessionID, uint8_t* record, int32_t fieldNo, int32_t code);
  void WriteSmall(int32_t sessionID, const TVLMBlobCacheEntry& entry, TVLMBlobReference& reference);
  void WriteLarge(int32_t sessionID, const TVLMBlobCacheEntry& entry, TVLMBlobReference& reference);
  void ReadLarge(int32_t sessionID, const TVLMBlobReference& reference, TVLMBlobCacheEntry& entry);
  void DeleteSmall(int32_t sessionID, const TVLMBlobReference& reference);
  void DeleteLarge(int32_t sessionID, const TVLMBlobReference& reference);
  // The file's page count, read again from the header when pageNo lies
  // beyond the count last seen.
  bool PageInFile(int32_t pageNo);
  // Pages of the file, the bound of a large value's page count.
  int64_t FilePageCount();
  // A page of a stored value for a read: 20153 unless it is a BLOB page; a
  // repair's read (TVLMDiskPageManager::MendHeaderReads) takes it whatever
  // its stored type.
  TVLMPage* ReadBlobPage(int32_t sessionID, int32_t pageNo);

  struct CacheSlot {
    std::unique_ptr<TVLMBlobCacheEntry> Entry;
    uint32_t Generation = 0;
  };
  std::vector<CacheSlot> Cache_;
  std::vector<uint32_t> FreeSlots_;
  int32_t CacheCount_ = 0;
};
