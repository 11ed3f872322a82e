// A reference storage engine for the tests of the table data, the managers
// and the table search, and a cursor that drives it as the local cursor does.
// Simple enough to be obviously right, so the engine core is tested against
// it and the real engines can be compared with it.
//
//   RefRecordManager  records in a vector sorted by record ID; the n-th
//                     insert gets {n div 4, n mod 4} (four rows a page), so
//                     record numbers have the disk engine's shape
//   RefIndex          all 27 index slots over a sorted vector of (record
//                     copy, record ID): keys compared column by column with
//                     the engine's value comparison (null first, descending
//                     and case-insensitive columns honoured), equal keys in
//                     record-ID order. A key path is {root, entry number}.
//                     Range walks continue from a record as the B-tree's
//                     do; the range estimate is the exact count (monotone);
//                     the page figures come from the table data, so tests
//                     can set them
//   RefTableData      the engine's table data: keeps every index's entries
//                     in IndexStore by root number (so an index object can
//                     be closed and opened again, as a B-tree is), counts
//                     index writes, and checks itself (CheckIndexes)
//   RefDatabaseData   makes RefTableData with its four managers
//   TableCursor       opens, creates, navigates, posts and deletes like the
//                     local cursor, plus field helpers for the tests
//
// A database of kind Disk keeps its tables with the disk engine's record
// manager and B-tree record index instead, in a database file of its own
// (small pages, so that a few records take several pages and every index
// grows levels); every write commits the session as the disk table data
// does, so the same tests run on both and must see the same results.
//
// Every table operation takes the database lock, so cursors of two threads
// may share one database.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/HostVariant.h"
#include "platform/host/StringList.h"
#include "tests/support/engine/SchemaTestSupport.h"
#include "tests/support/engine/TableDescriptions.h"

namespace qv::test {
class ScratchFolder;
}
class TVLMDiskPageManager;

namespace tabledata_test {

inline constexpr int32_t kRowsPerPage = 4;

// Reference and Disk: RefDatabaseData of that kind; Memory and Temporary:
// the engine's own database data "MEMORY" and "TEMP".
enum class EngineKind { Reference, Disk, Memory, Temporary };
const char* EngineKindName(EngineKind kind);
std::unique_ptr<TVLMDatabaseData> NewDatabase(EngineKind kind);
inline void PrintTo(EngineKind kind, std::ostream* os) { *os << EngineKindName(kind); }
// Page size of the database file of a Disk database.
inline constexpr uint16_t kDiskTestPageSize = 256;

// ------------------------------------------------------------ record manager

class RefRecordManager : public TVLMBaseRecordManager {
public:
  // recordDataSize: the field definitions' record buffer size.
  explicit RefRecordManager(int32_t recordDataSize);

  void EmptyTable(int32_t sessionID) override;
  bool InsertRecord(int32_t sessionID, const uint8_t* buffer, TVLMRecordID& recordID) override;
  bool UpdateRecord(int32_t sessionID, const uint8_t* buffer, const TVLMRecordID& recordID) override;
  bool DeleteRecord(int32_t sessionID, const TVLMRecordID& recordID) override;
  void GetRecord(int32_t sessionID, TVLMNavigationRequest& request) override;
  int32_t CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) override;
  int64_t GetRecordNo(int32_t sessionID, const TVLMRecordID& recordID) override;

  struct Record {
    TVLMRecordID ID;
    std::vector<uint8_t> Data;
  };
  // Position of the first record not below id.
  size_t LowerBound(const TVLMRecordID& id);
  // Position of the record, -1 when there is none.
  int64_t Find(const TVLMRecordID& id);
  // Stores a record without telling any index: another process's change.
  TVLMRecordID InsertBehindIndexes(const uint8_t* buffer);

  std::vector<Record> Records;
  int32_t RecordDataSize;
  uint32_t InsertCount = 0;
};

// --------------------------------------------------------------------- index

class RefTableData;

// One index entry: a copy of the record (the key's source) and its ID.
struct RefIndexEntry {
  std::vector<uint8_t> Record;
  TVLMRecordID ID;
};

class RefIndex : public TVLMIndex {
public:
  explicit RefIndex(TVLMBaseIndexManager& manager);

  void CreateIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef) override;
  void DropIndex(int32_t sessionID) override;
  void EmptyIndex(int32_t sessionID) override;
  void OpenIndex(const TVLMIndexDef& indexDef) override;
  void RebuildIndex(TVLMCursor* cursor) override;
  void GetRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                 TVLMIndexPositionCache* positionCache) override;
  void LocateRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                    TVLMIndexPositionCache* positionCache) override;
  TVLMKeyPath* CreateKeyPath() override;
  void FreeKeyPath(TVLMKeyPath*& keyPath) override;
  bool FindKeyPath(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& keyPath,
                   const uint8_t* recordBuffer) override;
  int32_t CompareKeyPaths(const TVLMKeyPath* a, const TVLMKeyPath* b) override;
  int64_t GetRecNo(int32_t sessionID, const TVLMRecordID& recordID, const uint8_t* recordBuffer) override;
  void SetRecNo(int32_t sessionID, TVLMRecordID& recordID, int64_t recNo) override;
  void SetBitmapInfo(int32_t sessionID, TVLMRecordBitmap* bitmap, int32_t fieldCount) override;
  TVLMIndexWalk* CreateWalk() override;
  void FreeWalk(TVLMIndexWalk*& walk) override;
  bool FindNextInRange(int32_t sessionID, bool first, TVLMIndexWalk* walk, TVLMRecordID& recordID,
                       uint8_t* recordBuffer, const TVLMScanSearchCondition* endCondition,
                       const TVLMScanSearchCondition* startCondition, bool forward) override;
  int32_t CompareRecordWithKey(const uint8_t* record, const uint8_t* key, int32_t fieldCount) override;
  int32_t CompareConditions(const TVLMScanSearchCondition& a, const TVLMScanSearchCondition& b) override;
  int64_t EstimateRangeCount(int32_t sessionID, const TVLMScanSearchCondition* a, const TVLMScanSearchCondition* b,
                             int64_t recordCount) override;
  bool CanInsertKey(int32_t sessionID, const uint8_t* recordBuffer) override;
  bool CanUpdateKey(int32_t sessionID, const uint8_t* updateContext, const uint8_t* recordBuffer) override;
  void InsertRecord(TVLMCursor* cursor) override;
  void UpdateRecord(TVLMCursor* cursor, bool removeOld) override;
  void DeleteRecord(TVLMCursor* cursor) override;
  int32_t GetFanOut() override { return 1000; }
  TVLMIndexPageFigures GetPageFigures() override;
  void KeyPathToRecordID(int32_t sessionID, const TVLMKeyPath& keyPath, TVLMRecordID& recordID) override;
  int64_t KeyPathPosition(const TVLMKeyPath& keyPath, int32_t fanOut) override;
  void SetKeyPathPosition(TVLMKeyPath& keyPath, int64_t position, int32_t fanOut) override;

  // Record buffers over the first fieldCount columns (all with -1); prefix:
  // a text column of b compares only as many characters as b holds.
  int32_t CompareKeys(const uint8_t* a, const uint8_t* b, int32_t fieldCount, bool prefix = false) const;

private:
  using Entry = RefIndexEntry;
  std::vector<Entry>& Entries();
  void ResolveColumns();
  int32_t CompareEntry(const Entry& entry, const uint8_t* record, const TVLMRecordID& id) const;
  // Place of (key of record, id): its position and whether it is there.
  int64_t Place(const uint8_t* record, const TVLMRecordID& id, bool& present);
  // The entries compared with a key over fieldCount columns: those before
  // Equal are below it, those from Above on above it.
  struct KeyBounds {
    int64_t Equal = 0;
    int64_t Above = 0;
  };
  KeyBounds Bounds(const uint8_t* key, int32_t fieldCount, bool prefix);
  // The entries [Begin, End) meeting "entry op key" of a condition.
  struct Interval {
    int64_t Begin;
    int64_t End;
  };
  Interval Range(const TVLMScanSearchCondition& condition);
  // The first (forward) or last entry meeting "entry op key"; -1 when none.
  int64_t Search(const TVLMScanSearchCondition& condition, bool forward);
  void Insert(const uint8_t* record, const TVLMRecordID& id);
  void Remove(const uint8_t* record, const TVLMRecordID& id, int32_t code);
  // Position the request on entry position (or report the step failed).
  void Answer(int32_t sessionID, TVLMNavigationRequest& request, int64_t position, bool forward);
  int32_t RecordSize() const;

  RefTableData* Table_;
  std::vector<int32_t> FieldNos_;
};

// ---------------------------------------------------------------- table data

class RefTableData : public TVLMTableData {
public:
  explicit RefTableData(TVLMDatabaseData* databaseData);

  void CreateRecordManager() override;
  void CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                   TVLMConstraintDefs& constraintDefs) override;
  // The records go, then the inherited empty.
  void EmptyTable(TVLMCursor* cursor) override;
  int64_t GetRecordCount(int32_t sessionID) override;
  int64_t RecordIDToRecordNo(const TVLMRecordID& recordID) override;
  void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) override;
  void SaveBlobStream(TVLMCursor*, int32_t, qv::Stream&) override {}
  std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor*, uint8_t, int32_t) override { return nullptr; }
  void GetBlobData(TVLMCursor*, int32_t, TVLMBLOBDescriptor&, std::vector<uint8_t>& data) override { data.clear(); }
  void SetBlobData(TVLMCursor*, int32_t, const std::vector<uint8_t>&, const TVLMBLOBDescriptor&) override {}
  void DiscardBlob(uint8_t*, int32_t) override {}
  bool InsertRecord(TVLMCursor* cursor) override;
  bool UpdateRecord(TVLMCursor* cursor) override;
  bool DeleteRecord(TVLMCursor* cursor) override;
  void InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) override;
  int64_t InternalGetRecNo(TVLMCursor* cursor) override;
  int64_t InternalGetRecordCount(TVLMCursor* cursor) override;
  int64_t GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session) override;
  uint16_t GetPageDataSize() override { return PageDataSizeFigure; }

  // The reference record manager (Reference kind only).
  RefRecordManager& Records() { return static_cast<RefRecordManager&>(*RecordManager); }
  // Every index holds exactly the table's records, in its order; an empty
  // text when so, else what is wrong.
  std::string CheckIndexes();
  bool OnDisk() const;
  // Commits the session's pages and the engine's own (Disk kind).
  void CommitChanges(int32_t sessionID);

  // The entries of every index by root number.
  std::map<int32_t, std::vector<RefIndexEntry>> IndexStore;
  int32_t NextRoot = 1;
  // Entries added or removed, all indexes together.
  int64_t IndexWrites = 0;
  int32_t Commits = 0;
  // The cost figures of the search: a 4096-byte page less its header, and
  // what every index reports for its pages.
  uint16_t PageDataSizeFigure = 4056;
  TVLMIndexPageFigures IndexPageFigures{100, 20};

protected:
  void CommitPages(int32_t sessionID) override;
  void RollbackPages(int32_t sessionID) override;

private:
  std::string CheckDiskIndexes();
};

// ------------------------------------------------------------- database data

class RefDatabaseData : public TVLMDatabaseData {
public:
  explicit RefDatabaseData(EngineKind kind = EngineKind::Reference, uint16_t pageSize = kDiskTestPageSize);
  // Uncommitted pages are rolled back and the database file closed.
  ~RefDatabaseData() override;
  TVLMTableDataBase* CreateTableData(TVLMCursor* cursor) override;
  int32_t NextObjectID() override { return ++LastID_; }

  // The database file's page manager; nullptr for the Reference kind.
  TVLMDiskPageManager* DiskPages() const { return Disk_.get(); }
  std::string FileName() const { return FileName_; }

  const EngineKind Kind;

private:
  int32_t LastID_ = 0;
  std::unique_ptr<qv::test::ScratchFolder> Folder_;
  std::string FileName_;
  std::unique_ptr<TVLMDiskPageManager> Disk_;
};

// The destructors of the reference engine (TableCursor, RefDatabaseData)
// never raise: a close or rollback that fails there (a damaged table, a file
// that cannot be written) is written to stderr, and the first such failure
// is kept for the test until it takes it here ("" when none).
std::string TakeDestructorFailure();

// Every index of table, walked through the abstract index in its order,
// holds each record once, in key order, with record numbers 1, 2, ...: an
// empty text when so, else what is wrong. Works on any engine.
std::string CheckIndexOrder(TVLMTableData& table, int32_t sessionID);

// -------------------------------------------------------------------- cursor

// An index definition over fields (';'-separated, as written), ascending and
// case-sensitive.
std::unique_ptr<TVLMIndexDef> IndexOn(const char* name, const char* fields, bool primary = false, bool unique = false);

class TableCursor : public schema_test::TestCursor {
public:
  TableCursor(TVLMDatabaseData& database, TVLMBaseSession& session, std::string tableName);
  ~TableCursor() override;

  // Creates the table with the fields, indexes and constraints (through the
  // table data's CreateTable), then opens it.
  void Create(std::initializer_list<FieldSpec> fields, std::initializer_list<IndexSpec> indexes = {},
              TVLMConstraintDefs* constraints = nullptr);
  void Open();
  void Close();
  TVLMTableData& Table() const { return *static_cast<TVLMTableData*>(TableData); }
  // The table of the reference engine.
  RefTableData& Ref() const { return static_cast<RefTableData&>(Table()); }
  // The current index by name ("" = natural order).
  void UseIndex(const std::string& name);

  // ---- slots as the local cursor implements them ----
  void EmptyTable() override;
  void DeleteTable() override;
  void LockTableData() override { Table().Lock(); }
  void UnlockTableData() override { Table().Unlock(); }
  void CreateIndex(TVLMIndexDef& indexDef) override;
  void DeleteIndex(const std::string& name) override;
  void GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                         const qv::StringList& caseOptions, std::string& indexName, bool& created) override;
  void InitRecordBuffer(uint8_t* buffer, bool applyDefaults) override;
  int64_t GetRecordCount() override;
  uint8_t GetRecord(uint8_t mode) override;
  void SetRecNo(int64_t recNo) override;
  int64_t GetRecNo() override;
  void SetToBegin() override;
  void SetToEnd() override;
  void PrepareInsert() override;
  void Edit() override;
  // Fills counters, checks constraints and stores the record (insert) or
  // overwrites it; the table lock is held throughout.
  void Post(bool inserting) override;
  void DeleteRecord() override;
  bool Locate(const std::string& fieldNames, const qv::HostVariant& keyValues, bool caseInsensitive,
              bool partialKey) override;
  bool GotoKey(uint8_t mode) override;
  int64_t GetLastAutoincValue(int32_t fieldNo) override;
  void RaiseAutoincValue(int32_t fieldNo, int64_t value) override { Table().RaiseAutoincValue(this, fieldNo, value); }
  bool CheckConstraints(bool isInsert) override;

  // ---- field helpers (table field numbers; nullopt = null) ----
  void SetInt(int32_t fieldNo, std::optional<int64_t> value, uint8_t* buffer = nullptr);
  void SetText(int32_t fieldNo, std::optional<std::string> value, uint8_t* buffer = nullptr);
  std::optional<int64_t> Int(int32_t fieldNo) const;
  std::optional<std::string> Text(int32_t fieldNo) const;
  // PrepareInsert, the values (int64_t or text by field type; nullopt =
  // null), Post(true).
  void Append(std::initializer_list<std::optional<std::string>> values);
  // Field fieldNo of every record in the cursor's order, from the start.
  std::vector<std::string> Column(int32_t fieldNo);

  TVLMDatabaseData& Database;

private:
  void FreeBuffers();
  // What a table operation of the local cursor leaves committed.
  void CommitTable();
};

}  // namespace tabledata_test
