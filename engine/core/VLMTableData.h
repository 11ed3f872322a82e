// The abstract storage of one open table:
//   TVLMBaseRecordManager  stores fixed-size records, addressed by record ID
//   TVLMTableData          one table of one database: its field, index and
//                          constraint managers, its record manager, the
//                          cursors that have it open, and the navigation,
//                          search and positioning every engine shares
//
// The disk, temporary and memory engines derive from both; this base fixes
// what each of the table data's 40 slots does as its callers rely on it. The
// engine creates the four managers after constructing its table data
// (CreateRecordManager for the record manager).
//
// Record manager contract:
//   - Records are record buffers of the table without bookmark (the field
//     definitions' record buffer size D); RecordBufferSize is D + 7, the size
//     of the buffers the table data reads records into.
//   - Natural order is record-ID order: page as signed 32-bit, then row
//     (CompareRecordIDs answers -1, 0, 1).
//   - RecordCount is the number of records (0: empty). ChangeStamp advances
//     with every insert, update and delete and every other change the engine
//     makes; record bitmaps and temporary indexes compare their stamps with it.
//   - GetRecord: an empty table answers 2. Bof set: mode 1 finds the first
//     record, mode 0 answers 3, mode 2 answers 1. Eof set: mode 2 finds the
//     last record, mode 0 answers 3, mode 1 answers 2. Otherwise mode 0
//     re-reads the record at RecordID (3 when it is gone), mode 1 finds the
//     first record after RecordID (2 and Eof set when none), mode 2 the last
//     one before it (1 and Bof set when none); RecordID needs no record
//     there. A found record is copied into RecordBuffer, Bof and Eof cleared,
//     result 0. Other modes leave the request as it is.
//   - GetRecordNo: the natural-order number of a record (may be approximate;
//     it only estimates how many records follow a position).
//
// Navigation (GetRecord of the table data):
//
//   cursor restricted (filter, range or index fields) and mode 1 or 2
//       -> FindRecord from the cursor's position (from the beginning when at
//          Bof for next, at Eof for prior), found: the record is read and the
//          cursor moves; not found: 2 (next) / 1 (prior), the cursor stays
//   otherwise -> one step through ReadRecordAt; a restricted cursor's record
//          that fails CheckRecordFilter answers 3 and the cursor stays
//
// Invariants:
//   1. The table's lock is its database data's lock; every operation that
//      reads records, indexes or the cursor list takes it (re-entrant).
//   2. Filters and match expressions are bound to a scan buffer while a
//      search evaluates them and are bound to the cursor's record buffer
//      again before CheckRecordFilter evaluates them.
//   3. A search that fails leaves the cursor where it was (position and
//      Bof/Eof); buffers, key paths and walk handles are freed on every path.
//   4. A complete record bitmap (Filled, Stamp = ChangeStamp) answers the
//      searches of its cursor; any change of the table outdates it, and the
//      place of its last answer that it keeps with it.
//   5. A filter whose conjuncts a search takes out for its range walk is
//      whole again when the search ends, also when the walk raises.
//   6. A restricted cursor's step goes on with the walk over its own index's
//      range, or the scan in natural order or through its own index (a
//      filter placed in another index's order over a large range), that its
//      last step kept
//      (StepSearch) only while the cursor stands on the record that walk
//      gave, in the same direction, session and index, and the change stamp
//      is the same; a change of what the cursor sees (ClearRecordBitmap)
//      drops the walk. The copy of the last record a restricted cursor's
//      step read stands for that record under the same record ID and
//      session, whatever commits since: a step after a change goes on from
//      its key and ID (the entry, or the nearest beyond it: FindPlace). The
//      cursor's own write, or a placing without a read, forgets it.
//
// Error codes: 10131 no fields, 30058 constraint kind, 20017 delete of an
// open table, 10150 rename of an open table, 30343/30344 field rename, 10324
// temporary index by ID, 10015/10380/10016 nil managers or buffer of a read,
// 10272 nil locate condition, 20258 key search without index, 10660 key
// search without key buffer; of the search (VLMTableSearch.cpp): 10382
// condition number out of range, 10387/10414/10432/10945 a record that
// cannot be placed in the navigation index.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMConstraintManager.h"
#include "engine/core/VLMFieldManager.h"
#include "engine/core/VLMIndexManager.h"
#include "engine/core/VLMRecordID.h"
#include "engine/core/VLMTypes.h"

namespace qv {
class StringList;
}

struct TVLMBLOBDescriptor;
class TVLMConstraintDefs;
class TVLMExpression;
class TVLMFieldDefs;
class TVLMIndexDefs;
class TVLMMetaObjectDefs;

// --------------------------------------------------- TVLMBaseRecordManager

class TVLMBaseRecordManager {
public:
  TVLMBaseRecordManager() = default;
  virtual ~TVLMBaseRecordManager() = default;
  TVLMBaseRecordManager(const TVLMBaseRecordManager&) = delete;
  TVLMBaseRecordManager& operator=(const TVLMBaseRecordManager&) = delete;

  // ---- the 7 slots, in order (contract above) ----
  // Removes every record; RecordCount 0.
  virtual void EmptyTable(int32_t sessionID) = 0;
  // Stores buffer; recordID receives the new record's ID. RecordCount + 1,
  // ChangeStamp + 1.
  virtual bool InsertRecord(int32_t sessionID, const uint8_t* buffer, TVLMRecordID& recordID) = 0;
  // Overwrites the record; ChangeStamp + 1 when done.
  virtual bool UpdateRecord(int32_t sessionID, const uint8_t* buffer, const TVLMRecordID& recordID) = 0;
  // RecordCount - 1, ChangeStamp + 1.
  virtual bool DeleteRecord(int32_t sessionID, const TVLMRecordID& recordID) = 0;
  virtual void GetRecord(int32_t sessionID, TVLMNavigationRequest& request) = 0;
  virtual int32_t CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) = 0;
  virtual int64_t GetRecordNo(int32_t sessionID, const TVLMRecordID& recordID) = 0;

  // The records at ids[0..count) into buffers, one every stride bytes (each
  // as GetRecord mode 0 reads it); the number of leading records read: a
  // record that is gone ends the read. Base: GetRecord for each. An engine
  // with record pages takes each page once for all its records.
  virtual int32_t ReadRecords(int32_t sessionID, const TVLMRecordID* ids, int32_t count, uint8_t* buffers,
                              size_t stride);
  // Records live on pages of the table data's page manager, a record ID's
  // Page naming one: a reader that meets them in page order reads them from
  // the pages as it goes (GetRecord with its cache) and may have the pages
  // read ahead. Base: false.
  virtual bool ReadsByPage() const { return false; }
  // Readies the processor's caches for a read of the record that comes
  // soon, in steps 0, 1, 2 issued a few reads apart (an engine with a page
  // cache: TVLMPageManager::Prefetch), so that a reader that knows the
  // records it reads next overlaps their memory reads. Changes nothing.
  // Base: nothing.
  virtual void PrefetchRecord(const TVLMRecordID& recordID, int32_t step) const {}

  int64_t RecordCount = 0;
  uint32_t ChangeStamp = 0;
  int32_t RecordBufferSize = 0;
};

// ------------------------------------------------------------ table search

// The roads a search can take (VLMTableSearch.cpp), and the two ways it can
// end without one.
enum class TVLMSearchRoad : uint8_t {
  ScanNavigationOrder,         // every record in the cursor's order, tested
  WalkNavigationIndexRange,    // a range of the cursor's own index
  WalkIndexRangeNaturalOrder,  // a range of an index, matches in record-ID order
  WalkIndexRangeByBitmap,      // a range of another index, matches in the cursor's order
  CompleteBitmap,              // answered by a complete record bitmap alone
  NoMatch,                     // the conditions contradict each other
};
inline constexpr int32_t kVLMSearchRoadCount = 6;

// A snapshot of the search counters of one table data.
struct TVLMSearchFigures {
  // Records the table data read (every read goes through ReadRecordAt; a
  // step that finds no record reads none).
  int64_t RecordsRead = 0;
  // Keys the range walks stepped over.
  int64_t IndexSteps = 0;
  // Searches per road, by TVLMSearchRoad.
  std::array<int64_t, kVLMSearchRoadCount> Roads{};

  int64_t Road(TVLMSearchRoad road) const { return Roads[static_cast<size_t>(road)]; }
  // The figures of what happened between two snapshots.
  TVLMSearchFigures operator-(const TVLMSearchFigures& earlier) const;
};

// Counted in every build, so that the tests and the benchmark of a release
// build read the same figures. Relaxed atomics: the counts are written under
// the table lock (one writer at a time, so a load and a store count without
// a locked instruction on every row) and may be read without it.
class TVLMSearchCounters {
public:
  void CountRead() { Count(RecordsRead_); }
  void CountIndexStep() { Count(IndexSteps_); }
  void CountRoad(TVLMSearchRoad road) { Count(Roads_[static_cast<size_t>(road)]); }
  TVLMSearchFigures Snapshot() const;

private:
  static void Count(std::atomic<int64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  std::atomic<int64_t> RecordsRead_{0};
  std::atomic<int64_t> IndexSteps_{0};
  std::array<std::atomic<int64_t>, kVLMSearchRoadCount> Roads_{};
};

// One search as FindRecord hands it to its steps and roads.
struct TVLMSearchRequest {
  TVLMCursor* Cursor = nullptr;
  int32_t SessionID = kVLMEngineSessionID;
  // The cursor's current index; -1 = natural (record-ID) order.
  int32_t NavigationIndex = -1;
  bool FillAll = false;
  bool Forward = true;
  // Start at the first (last) record instead of Position.
  bool FromBeginning = true;
  TVLMRecordBitmap* Bitmap = nullptr;
  // The cursor's record when the search began.
  TVLMRecordID Position;
  // The buffer records are read into (the record manager's RecordBufferSize
  // bytes); every expression condition is bound to it.
  uint8_t* Record = nullptr;
  // A cursor's step: the walk over a range of its own index is handed out
  // here when it found a record, so that the next step goes on with it.
  std::unique_ptr<TVLMIndexWalk>* KeepWalk = nullptr;
  // What a scan in natural order reads through (nullptr: a cache of its
  // own); a scan the cursor's next step goes on with keeps it, so that the
  // record manager sees one walk (its read-ahead, and its check that a walk
  // from one end to the other met every record).
  TVLMIndexPositionCache* ScanCache = nullptr;
};

// ---------------------------------------------------------- TVLMTableData

class TVLMTableData : public TVLMTableDataBase, public TVLMRecordNumbering, public TVLMKeyTableAccess {
public:
  // No managers yet, no cursors.
  explicit TVLMTableData(TVLMDatabaseData* databaseData);
  // Frees the field, index, constraint and record managers in that order.
  // The database data owns the object and has taken it out of its list.
  ~TVLMTableData() override;

  // ---- the 40 slots, in order ----

  // 1. The engine's record manager (for the field definitions' stored
  // record size) into RecordManager.
  virtual void CreateRecordManager() = 0;
  // 2. New object IDs, copied into the field manager's definitions; layout
  // and counters reset.
  virtual void SetFieldDefs(TVLMFieldDefs& fieldDefs);
  // 3. New object IDs, copied into the index manager's definitions.
  virtual void SetIndexDefs(TVLMIndexDefs& indexDefs);
  // 4. Every definition must be of kind 0, 2, 3 or 4 (any other raises 30058
  // "Not implemented yet" before anything changes); new object IDs, the
  // table's name, copied into the constraint manager's definitions, then
  // prepared and named.
  virtual void SetConstraintDefs(TVLMConstraintDefs& constraintDefs);
  // 5. The cursor's RecordDataSize (the record buffer size of the fields,
  // GetRecordBufferSize) and FirstFieldOffset (field 0's buffer offset; 0
  // without fields). The cursor derives its other layout numbers.
  virtual void SetCursorRecordSize(TVLMCursor* cursor);
  // 6, 7. Unless skip, the page manager commits / discards the session's
  // pages (CommitPages / RollbackPages, when PageManager is set).
  virtual void Commit(int32_t sessionID, bool skip);
  virtual void Rollback(int32_t sessionID, bool skip);
  // 8. Creates the stored table: SetFieldDefs, SetIndexDefs,
  // SetConstraintDefs, then the index manager's CreateIndexes.
  virtual void CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                           TVLMConstraintDefs& constraintDefs) = 0;
  // 9. Unless force, any cursor on the table raises 20017 "Cannot delete
  // table '%s'. Table is open by another dataset".
  virtual void DeleteTable(TVLMCursor* cursor, bool force);
  // 10. Counters reset; every index emptied for the cursor's session (-2
  // without a cursor).
  virtual void EmptyTable(TVLMCursor* cursor);
  // 11. Any cursor on the table raises 10150 "Cannot rename table '%s'.
  // Table is open by another dataset"; else TableName becomes newName.
  // cursor: the cursor that asks (closed; an engine may open the table with
  // it), not used here.
  virtual void RenameTable(const std::string& newName, TVLMCursor* cursor);
  // 12, 13. The cursor joins / leaves Cursors.
  virtual void OpenTable(TVLMCursor* cursor);
  virtual void CloseTable(TVLMCursor* cursor);
  // 14. oldName unknown: 30343 "Field '%s' not found"; newName taken (any
  // letter case, also by the field itself): 30344 "Cannot rename field '%s'.
  // Field '%s' already exists". The field (cut to 255 characters) and every
  // index column naming it are renamed.
  virtual void RenameField(const std::string& oldName, const std::string& newName);
  // 15. The index manager creates the index (indexDef receives its
  // ObjectID); a stored index adds its implied constraint unless the
  // cursor suppresses that. The cursor's position is kept.
  virtual void CreateIndex(TVLMIndexDef& indexDef, TVLMCursor* cursor);
  // 16. A stored index drops its implied constraint (unless suppressed);
  // then the index manager drops the index.
  virtual void DropIndex(int32_t indexID, TVLMCursor* cursor);
  // 17. Number of records, the bit count of record bitmaps.
  virtual int64_t GetRecordCount(int32_t sessionID) = 0;
  // 18, 19. Natural-order record numbers (TVLMRecordNumbering).
  int64_t RecordIDToRecordNo(const TVLMRecordID& recordID) override = 0;
  void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) override = 0;
  // 20. Base: nothing.
  void ReleaseRecordBlobs(uint8_t* record) override;
  // 21. Navigation (above); result 0, 1, 2 or 3.
  virtual uint8_t GetRecord(TVLMCursor* cursor, uint8_t mode);
  // 22. A nil condition raises 10272 "Nil pointer occured". The cursor moves
  // to the first record in its order for which condition holds and reads
  // it; not found: it stays. Returns found.
  virtual bool Locate(TVLMCursor* cursor, TVLMExpression* condition);
  // 23. The cursor moves to the first record in its index order whose key
  // compares with the cursor's SearchKeyBuffer (SearchKeyFieldCount
  // fields) as mode says (1 "=", 2 "<", 3 ">", 4 "<=", 5 ">="); the record
  // is read by the caller. Without an index: 20258 "No active index is set
  // for Key search. Set Table.IndexName to the index on search fields.";
  // without a key buffer: 10660 "Nil pointer occured".
  virtual bool GotoKey(TVLMCursor* cursor, uint8_t mode);
  // 24. Takes a written BLOB stream into the cursor record's BLOB field.
  virtual void SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) = 0;
  // 25. Base: nothing.
  virtual void FreeBlob(uint8_t* record, int32_t fieldNo);
  // 26. When the table has BLOB fields: FreeBlob for each of them.
  virtual void FreeBlobs(uint8_t* record);
  // 27. A stream over BLOB field fieldNo of the cursor's record.
  std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo) override = 0;
  // 28, 29. The stored (compressed) bytes of a BLOB field of the cursor's
  // record, and their replacement.
  virtual void GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                           std::vector<uint8_t>& data) = 0;
  virtual void SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                           const TVLMBLOBDescriptor& descriptor) = 0;
  // 30. Lets go of the loaded value of one BLOB field of record.
  virtual void DiscardBlob(uint8_t* record, int32_t fieldNo) = 0;
  // 31-33. Store, overwrite, remove the cursor's record, keeping every index
  // (TVLMBaseIndexManager), record bitmap and counter current.
  virtual bool InsertRecord(TVLMCursor* cursor) = 0;
  virtual bool UpdateRecord(TVLMCursor* cursor) = 0;
  virtual bool DeleteRecord(TVLMCursor* cursor) = 0;
  // 34. Positions the cursor on record recNo of what it sees (1-based; below
  // 1 the first record, beyond the count the last); nothing when it sees
  // none. The record is read by the caller.
  virtual void SetRecNo(TVLMCursor* cursor, int64_t recNo);
  // 35. 1-based number of the cursor's record among what it sees; -1 at Bof
  // or Eof, in an empty view, or when the record cannot be placed.
  virtual int64_t GetRecNo(TVLMCursor* cursor);
  // 36-38. Natural-order positioning, numbering and count for the cursor's
  // session.
  virtual void InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) = 0;
  virtual int64_t InternalGetRecNo(TVLMCursor* cursor) = 0;
  virtual int64_t InternalGetRecordCount(TVLMCursor* cursor) = 0;
  // 39. Base: 0.
  virtual int64_t GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session);
  // The autoincrement counter of field fieldNo raised to value where it is
  // lower, kept as a write keeps it: a table rebuilt from another hands out
  // no value the other gave. Base: in memory.
  virtual void RaiseAutoincValue(TVLMCursor* cursor, int32_t fieldNo, int64_t value);
  // 40. Every cursor of the session refreshes its temporary indexes.
  void RefreshSessionCursors(int32_t sessionID) override;

  // ---- locking ----
  void Lock() { DatabaseData->Lock(); }
  void Unlock() { DatabaseData->Unlock(); }
  // The table lock for the enclosing scope.
  [[nodiscard]] std::lock_guard<qv::RecursiveMutex> LockGuard() {
    return std::lock_guard<qv::RecursiveMutex>(DatabaseData->CriticalSection());
  }

  // ---- definitions ----
  // Every definition's ObjectID becomes the database's next object ID, in
  // list order.
  void AssignObjectIDs(TVLMMetaObjectDefs& defs);
  // No field definitions: 10131 "Error creating table - no fields were
  // specified".
  int32_t GetRecordBufferSize() const;
  // While the index manager holds definitions, drops the first one.
  void DropAllIndexes(TVLMCursor* cursor);
  // An index of the session (or a stored one) over the fields, else a new
  // temporary one; indexName receives its name. Commits the cursor's session
  // (skipped inside a transaction). The cursor's position is kept.
  void AddTemporaryIndex(TVLMCursor* cursor, const qv::StringList& fieldNames, const qv::StringList& directions,
                         const qv::StringList& caseOptions, std::string& indexName, bool& created);
  bool FindIndexForFields(TVLMCursor* cursor, const qv::StringList& fieldNames, const qv::StringList& directions,
                          const qv::StringList& caseOptions);

  // ---- record checks ----
  // The duplicate test of the UNIQUE and PRIMARY KEY checks: false for an
  // empty table; else the index's CanInsertKey (insert) or CanUpdateKey
  // (update, with updateContext = the record as it was), negated.
  bool HasDuplicateKey(int32_t sessionID, int32_t indexID, const TVLMRecordID& recordID, bool isInsert,
                       const uint8_t* updateContext, const uint8_t* recordBuffer);
  // The cursor's record lies inside its range (in its current index).
  bool CheckRecordRange(TVLMCursor* cursor);
  // CheckRecordRange, the two filter expressions (bound to the cursor's
  // record buffer), then the filter callback.
  bool CheckRecordFilter(TVLMCursor* cursor);
  // The records the cursor sees: its record bitmap's count when it is
  // restricted, else InternalGetRecordCount.
  int64_t GetCursorRecordCount(TVLMCursor* cursor);

  // ---- positions ----
  // Reads by request (a record found counts as read): natural
  // order or mode 0 through the record manager, else through the index
  // manager. No record manager: 10015, no index manager: 10380, no buffer:
  // 10016 "Nil pointer occured".
  void ReadRecordAt(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                    TVLMIndexPositionCache* positionCache);
  // Index order numbers of key paths (TVLMRecordNumbering).
  int64_t IndexPositionToRecordNo(int32_t indexID, const TVLMKeyPath& position) override;
  void RecordNoToIndexPosition(int32_t indexID, TVLMKeyPath& position, int64_t recordNo) override;
  uint32_t GetChangeStamp() override;
  // The key path of the record at recordID in index indexID; false when the
  // record cannot be read or is not in the index.
  bool GetIndexPosition(int32_t sessionID, int32_t indexID, TVLMKeyPath& keyPath, const TVLMRecordID& recordID);
  void IndexPositionToRecordID(int32_t sessionID, int32_t indexID, TVLMRecordID& recordID,
                               const TVLMKeyPath& keyPath);
  // Where the cursor goes when its record is deleted: the next record it
  // sees, else the prior one; none when it sees no other. The cursor's record
  // buffer and position are left as they were.
  std::optional<TVLMRecordID> PositionAfterDelete(TVLMCursor* cursor);

  // ---- search (VLMTableSearch.cpp) ----
  // Every search over the table: the next or prior record of a restricted
  // cursor, a locate, a key search, the filling of a record bitmap. What the
  // cursor asks for becomes scan search conditions; conditions on one index
  // are merged (a contradiction ends the search before any record is read);
  // at most two of them are walked as an index range, chosen by a cost
  // estimate against a scan in the cursor's order; the other conditions are
  // tested on each candidate. matchExpression: a locate's condition;
  // fillAll: every match goes into bitmap and the result is false; foundID
  // (may be nullptr) receives the match; keyCondition: GotoKey's index
  // condition (a cursor without an index then raises 20258).
  // continuable: a step of the cursor, whose walk over a range of its own
  // index (or scan in natural order) the cursor keeps for its next step
  // (StepSearch).
  bool FindRecord(TVLMCursor* cursor, TVLMExpression* matchExpression, bool fillAll, TVLMRecordBitmap* bitmap,
                  TVLMRecordID* foundID, bool forward, bool fromBeginning,
                  const TVLMScanSearchCondition* keyCondition, bool continuable = false);
  // The bitmap is emptied and stamped; with an index its bits are numbered
  // in that index's order (ResetOnChange).
  void InitRecordBitmap(TVLMRecordBitmap& bitmap, int32_t indexID);
  // Fills the cursor's record bitmap (made when missing) when it is complete
  // but outdated, or incomplete and the cursor restricted.
  void BuildRecordBitmap(TVLMCursor* cursor);

  // The steps of FindRecord, in their order (planned in VLMTableSearchPlan.cpp;
  // public for the engines and the tests that check each one).
  // The key condition, the match expression, the cursor's filters, its range
  // and, for a cursor that shows one record per key, the condition that
  // continues after the current record's key.
  void BuildConditions(TVLMCursor* cursor, TVLMScanSearchConditionArray& conditions, bool forward,
                       TVLMExpression* matchExpression, const TVLMScanSearchCondition* keyCondition);
  // Index conditions grouped by index (in order of first appearance), each
  // pair on one index merged by the merge table, duplicates removed, the
  // expression conditions after them. noMatch: the conditions contradict
  // each other; conditions is then left as it was, else replaced.
  void MergeConditions(std::unique_ptr<TVLMScanSearchConditionArray>& conditions, bool& noMatch);
  // Whether a condition other than a and b must still be tested on a record
  // of their range: one not made from a conjunct (that one's conjunct stays
  // in its filter) that is an index condition or a non-empty expression.
  static bool OtherConditionsRemain(const TVLMScanSearchConditionArray& conditions, int32_t a, int32_t b);
  // The index range to walk: start and end are condition numbers, -1 for
  // none (start -1: no range, the records are scanned).
  void ChooseConditions(const TVLMScanSearchConditionArray& conditions, const TVLMSearchRequest& search,
                        int32_t& start, int32_t& end);
  // Follows the road that start, end and the navigation index call for; a
  // start outside the conditions raises 10382 "Invalid condition number =
  // %d, count = %d". Returns found (false with fillAll).
  bool DispatchSearch(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                      int32_t start, int32_t end, TVLMRecordID& foundID);

  // The page manager's page data size, the page figure of the search cost;
  // 0 turns the comparison of index ranges with a scan off. Base: 0 (the
  // engine with a page manager answers its figure).
  virtual uint16_t GetPageDataSize();
  // What the searches of this table did so far.
  TVLMSearchFigures GetSearchFigures() const { return SearchCounters_.Snapshot(); }

  // ---- keyed probe ----
  // A seek by key below a cursor's navigation, for the statement engine's
  // lookups of one key per outer row (a correlated subquery's table, the
  // inner side of a join, IN over a key): no search conditions are built,
  // no cost is estimated, no record bitmap is filled, the cursor neither
  // moves nor receives a record. A probe is
  //   RunRead(cursor, [&] { ... ProbeKey(cursor, indexID, key, 1, record,
  //                                      accept) ... });
  // and the caller tests what it needs (a filter bound to record) in
  // accept.
  //
  // Runs body as the engine runs a read of cursor: under the table lock
  // and, where the file is shared between processes, on the view of its
  // last commit. False (body not run) when the engine could not take the
  // read lock it needs. Base: under the table lock.
  virtual bool RunRead(TVLMCursor* cursor, const std::function<void()>& body);
  // Inside RunRead: the records whose key in index indexID equals the first
  // keyFieldCount columns of key (laid out as the cursor's record buffer),
  // in index order, each read into record (at least the record manager's
  // RecordBufferSize bytes; nullptr: not read) and handed to accept with
  // its ID; stops at the first that accept takes (answers true). Answers
  // whether one was taken. An index that is not open raises what GetIndex
  // raises. kept: what the
  // index keeps between the probes of one caller (TVLMIndex::ProbeEqual),
  // so that probes of ascending keys start where the last one ended;
  // nullptr: each probe starts at the top of the index.
  bool ProbeKey(TVLMCursor* cursor, int32_t indexID, uint8_t* key, int32_t keyFieldCount, uint8_t* record,
                const std::function<bool(const TVLMRecordID&)>& accept,
                std::unique_ptr<TVLMEngineReadState>* kept = nullptr);
  // The index of the cursor's session (or a stored one) whose first column
  // is table field fieldName; -1 when there is none.
  int32_t FindLeadingIndex(TVLMCursor* cursor, const std::string& fieldName);

  // ---- TVLMKeyTableAccess ----
  TVLMFieldDefs* GetIndexedFieldDefs() override;
  bool ReadIndexedRecord(int32_t sessionID, const TVLMRecordID& recordID, uint8_t* buffer) override;

  // ---- state ----
  // The table's page manager (not owned); set by the engine.
  TVLMPageManager* PageManager = nullptr;
  std::unique_ptr<TVLMBaseFieldManager> FieldManager;
  std::unique_ptr<TVLMBaseConstraintManager> ConstraintManager;
  std::unique_ptr<TVLMBaseIndexManager> IndexManager;
  std::unique_ptr<TVLMBaseRecordManager> RecordManager;
  // The cursors that have the table open (not owned).
  std::vector<TVLMCursor*> Cursors;

protected:
  // The page manager's commit and discard of one session's pages, called
  // when PageManager is set. The base does nothing.
  virtual void CommitPages(int32_t sessionID);
  virtual void RollbackPages(int32_t sessionID);
  // A record an engine read for a cursor without ReadRecordAt.
  void CountRecordRead() { SearchCounters_.CountRead(); }

private:
  uint8_t StepRecord(TVLMCursor* cursor, uint8_t mode);
  // The next match of a restricted cursor's step: the walk the cursor kept
  // goes on when the cursor is where that walk left it and the table has
  // not changed; else FindRecord (which may leave a walk to keep).
  // held: the walk's own buffer when it read and tested the match there
  // (the cursor takes the record from it), else nullptr.
  bool StepSearch(TVLMCursor* cursor, bool forward, bool fromBeginning, TVLMRecordID& found, const uint8_t*& held);
  // Where a scan in the navigation index's order from the cursor's record
  // begins: request stays a step from it when the index still holds its
  // entry, else becomes a read (mode 0) of the nearest record beyond; false
  // when there is none.
  bool ScanFromCursorRecord(const TVLMSearchRequest& search, TVLMNavigationRequest& request);
  // The four roads of DispatchSearch.
  bool ScanNavigationOrder(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                           TVLMRecordID& foundID);
  bool WalkNavigationIndexRange(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                                int32_t start, int32_t end, TVLMRecordID& foundID);
  bool WalkIndexRangeNaturalOrder(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                                  int32_t start, int32_t end, TVLMRecordID& foundID);
  // The scan's conditions hold an IN whose values an index can look up one
  // by one: probed is set, the matches fill the search's bitmap and the
  // first is the answer (none with FillAll). probed stays false, and nothing
  // is read, when the lookups do not apply or would cost more than the scan.
  bool ProbeInValues(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions, bool& probed,
                     TVLMRecordID& foundID);
  bool WalkIndexRangeByBitmap(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                              int32_t start, int32_t end, TVLMRecordID& foundID);
  // The place in order a step beyond the cursor starts from: its entry
  // (startExact) or the nearest entry beyond where it was. False when
  // nothing lies beyond; goneCode raised when the cursor's record is gone.
  bool PlaceAtCursor(const TVLMSearchRequest& search, TVLMIndex& order, TVLMKeyPath& startPath, bool& startExact,
                     int32_t goneCode);
  // The records the range (start, end) holds by the index's estimate, for
  // a cursor's step placed in another index's order; -1 for any other
  // search. Over a quarter of the records or more the step scans through
  // the navigation index (ScanNavigationOrder); over a sixty-fourth or more
  // it fills the bitmap by a pass over that index (FillBitmapByIndexPass)
  // where the index has one; else by placing each match
  // (WalkIndexRangeByBitmap).
  int64_t PlacedRangeMatches(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                             int32_t start, int32_t end);
  // WalkIndexRangeByBitmap's answer and bitmap from one pass over the
  // navigation index (TVLMIndex::PassEntries): the range's matches are
  // noted by natural record number, and every entry of the pass whose
  // record is one of them goes into the bitmap at its own position, so that
  // no match is searched for in that index.
  bool FillBitmapByIndexPass(const TVLMSearchRequest& search, const TVLMScanSearchConditionArray& conditions,
                             int32_t start, int32_t end, TVLMRecordID& foundID);
  // Every condition but start and end holds for record, then the cursor's
  // filter callback.
  bool TestConditions(TVLMCursor* cursor, const TVLMScanSearchConditionArray& conditions, int32_t start,
                      int32_t end, uint8_t* record, const TVLMRecordID& recordID);
  bool TestIndexCondition(const TVLMScanSearchCondition& condition, const uint8_t* record);
  // The index cost of one group of conditions (second may be first), in
  // page units.
  double RangeCost(const TVLMScanSearchConditionArray& conditions, const TVLMSearchRequest& search, int32_t first,
                   int32_t second, uint16_t pageDataSize);
  // The record at recordID into buffer (natural order); false when it is
  // gone.
  bool ReadSearchRecord(int32_t sessionID, const TVLMRecordID& recordID, uint8_t* buffer);
  // A restricted cursor keeps the record it just read into its buffer: its
  // next search goes on from it.
  void KeepLastRecord(TVLMCursor* cursor, const TVLMRecordID& recordID);
  // The cursor's record at recordID into buffer: the copy the cursor kept
  // when the table has not changed since, else read. False when gone.
  bool CursorRecord(TVLMCursor* cursor, const TVLMRecordID& recordID, uint8_t* buffer);
  // A search of the cursor from the beginning found nothing: its record
  // bitmap becomes complete and empty, so that the next search from the
  // beginning (a dataset asks twice) reads nothing.
  void NoteEmptyView(TVLMCursor* cursor);
  bool FindInBitmap(int32_t sessionID, bool fromBeginning, int32_t navigationIndex, TVLMRecordBitmap& bitmap,
                    TVLMRecordID& foundID, const TVLMRecordID& position, bool forward);
  // The cursor's position moves to recordID with both end flags clear.
  static void MoveCursorTo(TVLMCursor* cursor, const TVLMRecordID& recordID);

  TVLMSearchCounters SearchCounters_;
};
