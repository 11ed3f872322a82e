// VLMTempEngine: the temporary engine. Tables of the built-in database
// "TEMP" hold the intermediate results of the SQL engine and the temporary
// tables of the local engine: records are appended, never updated or
// deleted, and live only as long as the table. What does not fit the memory
// share goes to delete-on-close temporary files ($TMPDIR, "VLM..."), unless
// the table disables temporary files.
//
//   TVLMTemporaryPageManager    pages in memory up to a limit, then in a file;
//                               also the page store of the disk engine's
//                               temporary indexes
//   TVLMTemporaryRecordManager  records in a memory array up to a limit, then
//                               in a file through a write buffer
//   TVLMTemporaryTableData      an append-only table with its BLOB stream
//   TVLMTemporaryDatabaseData   the database "TEMP"
//
// Record number and ID: records are numbered densely from 0 in insertion
// order; the record ID holds the number as a 48-bit integer (its low 32 bits
// in Page, the high 16 in Row).
//
// Where record n lies (R = RecordSize, L = MemoryLimit):
//
//   n < MemoryCount            memory array, offset n x R
//   n >= L (no MemoryOnly)     the file at (n - L) x R, or still in the write
//                              buffer (the last WriteBufferCount records)
//
// Page n of the page manager (P = MemoryPageLimit, pages of 4096 bytes, no
// header):
//
//   n < P, or MemoryOnly       the inner memory page manager
//   n >= P                     the file at n x 4096 (the positions below
//                              P x 4096 are a hole that holds no disk blocks)
//
// BLOB stream of a table: every value appended, never reused:
//
//   offset  size  head of one value (the record's field holds the head's
//   0       4     u32 BlockCount       position as an i64)
//   4       8     i64 UncompressedSize
//   12      8     i64 stored size S
//   20      S     the stored (compressed) bytes
//
// Invariants:
//   1. MemoryCapacity never passes MemoryLimit without MemoryOnly; records
//      go to the file only once the memory array holds exactly MemoryLimit
//      of them, so record n >= L is at (n - L) x R in the file.
//   2. The write buffer holds the last WriteBufferCount records, at most
//      WriteBufferRecords; every read of a file record first writes it out.
//   3. With MemoryOnly (DisableTempFiles) no file is ever made: not for
//      records, pages, BLOB values or the streams that open them.
//   4. MemoryLimit and MemoryPageLimit are (free memory div 10) div the unit
//      size, computed in 64 bits and kept within 0 .. 2^31 - 1.
//   5. The memory array grows by half its capacity (at least GrowBy), so n
//      appends copy fewer than 3 x n records however large the table gets.
//   6. A freed page is handed out again before the page count grows: a
//      memory page while fewer than P memory pages are allocated, else a
//      file page from the free list (the lowest number first). The memory
//      pages allocated are then always a subset of 0 .. P - 1.
//   7. The temporary files are bounded by the live data, not by what a
//      session wrote before: PageCount is at most the larger of P and the
//      highest allocated file page + 1 (free pages at the end leave the
//      count when they are freed), the page file is at most 2 x PageCount x
//      4096 bytes and is deleted when no file page is allocated; the record
//      file holds RecordCount - L records and goes with EmptyTable, as does
//      the BLOB stream.
//
// States of a page number of the page manager (n >= P):
//
//   beyond the count --AllocatePage (free list empty)--> allocated
//   allocated --FreePage--> free (in the free list), or beyond the count
//                           when no allocated page lies above it
//   free --AllocatePage--> allocated
//
// States of the record manager's storage:
//
//   empty --InsertRecord--> in memory (array of MemoryCapacity records)
//   in memory --InsertRecord at MemoryLimit (no MemoryOnly)--> spilled (file
//                                                              made)
//   in memory | spilled --EmptyTable--> empty (array freed, file deleted)
//
// Error codes: 10126 write buffer count, 10128/10129 file position, 10125
// short write, 10130 short read, 10705 record size 0, 10706 table full,
// 10396/10397 read/write of a page not allocated, 10704 free of a page not
// allocated, 30482 file page without file, 10702 page store full, 10703 page
// write, 10132 no fields, 10133-10137 nil managers or buffers, 10140-10142
// and 10145/10508 BLOB stream, 10716 table data without a cursor, 10717 BLOB
// head beyond its stream, 10718 field that is not a BLOB field, 10719 stream
// that is not a BLOB stream of a table.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "engine/core/VLMStreams.h"
#include "engine/storage/VLMMemEngine.h"

// The records or pages of unitSize bytes that a tenth of freeMemory holds:
// (freeMemory div 10) div unitSize, in 64 bits, kept within 0 .. 2^31 - 1.
int32_t VLMTemporaryMemoryLimit(int64_t freeMemory, int64_t unitSize);

// -------------------------------------------------- TVLMTemporaryPageManager

class TVLMTemporaryPageManager : public TVLMPageManager {
public:
  // MemoryPageLimit from the memory manager's free memory.
  explicit TVLMTemporaryPageManager(bool memoryOnly);
  ~TVLMTemporaryPageManager() override;

  void AllocatePage(TVLMPage* page) override;
  // 10704 "Page %d is not allocated" for a page that is not.
  void FreePage(int32_t pageNo) override;
  bool ReadPage(TVLMPage* page) override;
  void WritePage(TVLMPage* page) override;

  bool IsAllocated(int32_t pageNo) const;
  int32_t GetAllocatedCount() const { return AllocatedCount_; }
  int32_t GetMemoryPageLimit() const { return MemoryPageLimit_; }
  bool GetMemoryOnly() const { return MemoryOnly_; }
  // The file of the pages at and above the limit; nullptr until needed.
  TVLMFileStream* GetFileStream() const { return FileStream_.get(); }

private:
  bool IsFilePage(int32_t pageNo) const { return !MemoryOnly_ && pageNo >= MemoryPageLimit_; }
  TVLMFileStream& File(int32_t code);
  // Takes free file pages at the end out of the count and fits the file to
  // what is left (deleted when no file page is allocated).
  void TrimFile();

  TVLMBitsArray AllocationBits_;
  int32_t AllocatedCount_ = 0;
  int32_t MemoryAllocatedCount_ = 0;  // always below P without MemoryOnly
  // Freed file pages below PageCount, handed out again before it grows.
  std::set<int32_t> FreeFilePages_;
  int32_t MemoryPageLimit_;
  bool MemoryOnly_;
  std::unique_ptr<TVLMMemoryPageManager> MemoryPages_;
  std::unique_ptr<TVLMFileStream> FileStream_;
};

// ------------------------------------------------ TVLMTemporaryRecordManager

class TVLMTemporaryRecordManager : public TVLMBaseRecordManager {
public:
  // recordSize: the field definitions' record buffer size (0: 10705
  // "Invalid record size = 0"). MemoryLimit from the memory manager's free
  // memory. growBy: the least step of the memory array's growth.
  TVLMTemporaryRecordManager(int32_t recordSize, bool memoryOnly, int32_t growBy, int32_t writeBufferRecords);
  ~TVLMTemporaryRecordManager() override;

  void EmptyTable(int32_t sessionID) override;
  // Appends; the record ID is the new record number.
  bool InsertRecord(int32_t sessionID, const uint8_t* buffer, TVLMRecordID& recordID) override;
  // Records are never changed: false, nothing changes.
  bool UpdateRecord(int32_t sessionID, const uint8_t* buffer, const TVLMRecordID& recordID) override;
  bool DeleteRecord(int32_t sessionID, const TVLMRecordID& recordID) override;
  void GetRecord(int32_t sessionID, TVLMNavigationRequest& request) override;
  int32_t CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) override;
  // The record number + 1 below RecordCount, else -1.
  int64_t GetRecordNo(int32_t sessionID, const TVLMRecordID& recordID) override;

  // Record recordNo into buffer (RecordSize bytes); false outside the
  // records.
  bool ReadRecord(int64_t recordNo, uint8_t* buffer);
  // Writes the waiting records to the file.
  void Flush();

  static int64_t RecordNoOf(const TVLMRecordID& recordID) {
    return static_cast<int64_t>(recordID.Page) | (static_cast<int64_t>(recordID.Row) << 32);
  }
  static TVLMRecordID RecordIDOf(int64_t recordNo) {
    return TVLMRecordID{static_cast<uint32_t>(recordNo), static_cast<uint16_t>(recordNo >> 32)};
  }

  int32_t GetRecordSize() const { return RecordSize_; }
  int32_t GetMemoryLimit() const { return MemoryLimit_; }
  int32_t GetMemoryCount() const { return MemoryCount_; }
  int32_t GetMemoryCapacity() const { return MemoryCapacity_; }
  int32_t GetWriteBufferCount() const { return WriteBufferCount_; }
  bool GetMemoryOnly() const { return MemoryOnly_; }
  // The file of the records beyond the limit; nullptr until needed.
  TVLMFileStream* GetFileStream() const { return FileStream_.get(); }

private:
  void Grow();

  int32_t RecordSize_;
  int32_t WriteBufferRecords_;
  int64_t WriteBufferBytes_;
  int32_t MemoryCount_ = 0;
  uint8_t* MemoryArray_ = nullptr;
  int32_t MemoryCapacity_ = 0;
  uint8_t* WriteBuffer_ = nullptr;
  int32_t WriteBufferCount_ = 0;
  std::unique_ptr<TVLMFileStream> FileStream_;
  int32_t MemoryLimit_;
  int32_t GrowBy_;
  bool MemoryOnly_;
};

// ---------------------------------------------------- TVLMTemporaryTableData

class TVLMTemporaryTableData final : public TVLMVolatileTableData {
public:
  explicit TVLMTemporaryTableData(TVLMDatabaseData* databaseData);
  ~TVLMTemporaryTableData() override;

  void CreateRecordManager() override;
  // No fields: 10132. A new temporary page manager (DisableTempFiles from
  // the cursor), the definitions, the record manager, the BLOB stream when
  // there are BLOB fields, the indexes.
  void CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                   TVLMConstraintDefs& constraintDefs) override;
  // The BLOB stream goes (the next BLOB write makes a new one), then the
  // indexes and records.
  void EmptyTable(TVLMCursor* cursor) override;
  // TableName takes the cursor's spelling.
  void OpenTable(TVLMCursor* cursor) override;
  int64_t RecordIDToRecordNo(const TVLMRecordID& recordID) override;
  void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) override;
  void SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) override;
  std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo) override;
  void GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                   std::vector<uint8_t>& data) override;
  void SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                   const TVLMBLOBDescriptor& descriptor) override;
  // Values stay in the stream: nothing.
  void DiscardBlob(uint8_t* record, int32_t fieldNo) override;
  // Records are never changed: false.
  bool UpdateRecord(TVLMCursor* cursor) override;
  bool DeleteRecord(TVLMCursor* cursor) override;
  void InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) override;
  int64_t InternalGetRecNo(TVLMCursor* cursor) override;

  TVLMTemporaryRecordManager& Records() const;
  // Every BLOB value of the table; nullptr before the first or after an
  // empty.
  TVLMStream* GetBlobStream() const { return BlobStream_.get(); }

  int32_t WriteBufferRecords = 10;

private:
  const TVLMFieldDef& BlobField(int32_t fieldNo) const;
  void MakeBlobStream();
  // Appends a value (head and storedSize bytes that write puts into the
  // stream) and stores its position in the record's field; an empty value
  // makes the field null. shortWriteCode for a write that falls short.
  void AppendValue(uint8_t* record, int32_t fieldNo, uint32_t blockCount, int64_t uncompressedSize,
                   int64_t storedSize, const std::function<void(qv::Stream&)>& write, int32_t shortWriteCode);
  // The head of the value in the record's field; false for a null field. The
  // stream is left at the stored bytes.
  bool ReadHead(const uint8_t* record, int32_t fieldNo, TVLMBLOBDescriptor& descriptor, int64_t& storedSize);

  std::unique_ptr<TVLMStream> BlobStream_;
};

// ------------------------------------------------- TVLMTemporaryDatabaseData

class TVLMTemporaryDatabaseData : public TVLMDatabaseData {
public:
  // DatabaseFileName "TEMP".
  TVLMTemporaryDatabaseData();
  ~TVLMTemporaryDatabaseData() override;

  // A TVLMTemporaryTableData (GrowBy 1000, WriteBufferRecords 10) named as
  // the cursor's table.
  TVLMTableDataBase* CreateTableData(TVLMCursor* cursor) override;
  int32_t NextObjectID() override;

private:
  int32_t LastObjectID_ = 0;
};
