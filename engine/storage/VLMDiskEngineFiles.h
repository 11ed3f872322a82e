// VLMDiskEngine, internal files: the chains of pages the database keeps
// inside itself (transacted and direct files), the system directory that
// lists them, and the table list (the code is in VLMDiskEngineFiles.cpp).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/VLMDiskEngine.h"

namespace qv {
class StringList;
}

// A chain of pages of one type inside the database, read and written whole
// through the session page cache (so part of transactions), optionally
// compressed. File byte i lies at position i + 10 of the concatenated data
// areas; the first data area starts with the 10-byte head.
//
// Error codes: 20156 closed file, 20187/20189 compression, 20300 chain,
// 20301 reset, 30383 exists, 30384 damaged chain, 30387/30388 reads.
class TVLMInternalDBTransactedAccessFile {
public:
  TVLMInternalDBTransactedAccessFile(TVLMPageManager* pageManager, uint16_t pageType);

  TVLMPageManager* PageManager;
  int32_t StartPageNo = -1;
  uint16_t PageType;

  int32_t CreateFile(int32_t sessionID);
  int32_t OpenFile(int32_t startPageNo);
  // Schedules every page of the chain to be freed at the session's commit.
  void DeleteFile(int32_t sessionID, int32_t startPageNo = -1);
  void GetSize(int32_t sessionID, uint32_t& storedSize, bool sync, bool& freshlyRead, uint8_t& algorithm,
               uint32_t& logicalSize);
  uint32_t GetLogicalSize(int32_t sessionID);
  void SetSize(int32_t sessionID, uint32_t storedSize, uint8_t algorithm, uint32_t logicalSize);
  void ReadFile(int32_t sessionID, void* buffer, bool sync, uint32_t count);
  void WriteFile(int32_t sessionID, const void* buffer, uint8_t compressionMode, uint8_t algorithm,
                 uint32_t count);
  // Rewrites the first page's header and head of a damaged file.
  void ResetFile(int32_t sessionID);
  int32_t GetNthPageNo(int32_t sessionID, int32_t n);
  // The whole file, decompressed.
  std::vector<uint8_t> ReadAll(int32_t sessionID, bool sync);
  // The same into bytes, whose memory is reused.
  void ReadAll(int32_t sessionID, bool sync, std::vector<uint8_t>& bytes);

private:
  void CheckOpen(const char* operation) const;
  // Copies stored bytes along the chain from the first byte after the head.
  void ReadStored(int32_t sessionID, uint8_t* dest, uint32_t count, bool sync, uint32_t logicalSize);
};

// A chain of pages whose bytes are read, written and byte-locked in place with
// raw page I/O, outside transactions: the shared memory of the multi-user
// layer. Data byte x lies on chain page (x + 10) div d at data offset
// (x + 10) mod d. Lock bytes keep the mapping every process sharing a file
// agrees on: page ceil((x + 10) / d) - 1, offset (x + 10) mod d.
//
// Error codes: 20155 page type, 20156 closed file, 20157 exists, 20158 write
// past the end, 20159 position past the end, 30386 read past the end, 30391
// size, 30394 damaged chain.
class TVLMInternalDBDirectAccessFile {
public:
  TVLMInternalDBDirectAccessFile(TVLMDiskPageManager* pageManager, uint16_t pageType);

  TVLMDiskPageManager* PageManager;
  int32_t StartPageNo = -1;
  uint16_t PageType;
  int32_t Size = 0;  // readable bytes
  TVLMIntegerArray Pages{0, 100, 10};

  // Creates the chain for session -2 (the caller commits session -2).
  int32_t CreateFile(int32_t size);
  void OpenFile(int32_t startPageNo);
  void DeleteFile(int32_t startPageNo = -1);
  int32_t GetSize();
  void DirectReadBuffer(void* buffer, int32_t count, int32_t position);
  void DirectWriteBuffer(const void* buffer, int32_t count, int32_t position);
  bool LockFile();
  bool UnlockFile();
  bool LockByte(int32_t position);
  bool UnlockByte(int32_t position);
  bool IsByteLocked(int32_t position);
  bool IsRegionLocked(int32_t position, int32_t count);

private:
  void CheckOpen(const char* operation) const;
  void LocateLockByte(int32_t position, int32_t& pageIndex, int32_t& offset) const;
  int32_t CheckPageHeader(int32_t pageNo);  // the next page
  void MoveData(void* buffer, int32_t count, int32_t position, bool write);
};

// The root of the database: a transacted file of type 4 at page 2, an array
// of 5-byte entries {u8 Kind, u32 FirstPage}. A stored kind outside the list
// is kept as it is.
enum class TVLMDirectoryKind : uint8_t { TableList = 1, ActiveSessions = 2 };
struct TVLMSystemDirectoryEntry {
  TVLMDirectoryKind Kind;
  uint32_t FirstPage;
};

class TVLMSystemDirectory {
public:
  explicit TVLMSystemDirectory(TVLMPageManager* pageManager);

  TVLMInternalDBTransactedAccessFile File;
  std::vector<TVLMSystemDirectoryEntry> Entries;

  void CreateFile();
  void Load();
  void Save();
  // A kind that is already listed gets the new first page.
  void Add(TVLMDirectoryKind kind, uint32_t firstPage);
  int32_t Find(TVLMDirectoryKind kind) const;
};

// The catalogue of tables: a transacted file of type 6 of 272-byte entries:
// 0 string[255] name (length byte + 255 characters) | 256 u32 TableID |
// 260 u32 TableMetaData first page | 264 u32 TableMostUpdated first page |
// 268 u32 TableLocks first page. Names compare without regard to case.
struct TVLMTableListEntry {
  std::string Name;
  uint32_t TableID = 0;
  uint32_t MetaDataPage = 0;
  uint32_t MostUpdatedPage = 0;
  uint32_t LocksPage = 0;
};
inline constexpr int32_t kVLMTableListEntrySize = 272;

// Error codes: 30389 rename onto another table, 30393 opened twice, 30395
// exists, 30396/30397/30405 not listed.
class TVLMTableListFile {
public:
  explicit TVLMTableListFile(TVLMPageManager* pageManager);

  TVLMInternalDBTransactedAccessFile File;
  std::vector<TVLMTableListEntry> Entries;

  int32_t CreateFile();
  void OpenFile(int32_t startPageNo);
  void Load();
  void Save();
  void AddTable(uint32_t tableID, const std::string& name, uint32_t locksPage, uint32_t mostUpdatedPage,
                uint32_t metaDataPage);
  void GetTable(const std::string& name, uint32_t& tableID, uint32_t& locksPage, uint32_t& mostUpdatedPage,
                uint32_t& metaDataPage) const;
  void DeleteTable(const std::string& name);
  void RenameTable(const std::string& oldName, const std::string& newName);
  bool TableExists(const std::string& name) const;
  void GetTableNames(qv::StringList& names);
  int32_t IndexOfTable(const std::string& name) const;
};
