// The indexes of one open table:
//   TVLMNavigationRequest  one step of navigation, handed to the record
//                          manager, the index manager and the indexes
//   TVLMIndex              the abstract index: 27 slots that the storage
//                          engine's record index implements
//   TVLMBaseIndexManager   the table's index definitions and open indexes:
//                          keeps every index current on insert, update and
//                          delete, creates and drops indexes, and makes
//                          temporary indexes for a session on demand
//
// Contract of TVLMIndex, as the index manager and the table search use it.
// An index holds one entry (key, record ID) per record of the table. Keys are
// the values of the index columns in a record buffer, ordered column by
// column (null before every value, two nulls equal; a descending column
// reversed; a case-insensitive text column without case); equal keys are
// ordered by record ID (page as signed 32-bit, then row). A position in the
// index is a key path (TVLMKeyPath, the storage engine's class): the core
// never looks inside one; it makes, frees, compares and converts them only
// through the slots below. Navigation results are those of TVLMNavigationRequest.
//
//  #  slot                 contract
//  1  CreateIndex          base: own copy of the definition; then build the
//                          structure (its root into the copy's RootPageNo)
//                          and, with a cursor, fill it from the table
//  2  DropIndex            removes the structure
//  3  EmptyIndex           removes every entry, keeps the structure
//  4  OpenIndex            base: own copy of the definition; then open it
//  5  RebuildIndex         empty and fill again from the table's records
//  6  GetRecord            Bof: first entry; Eof: last; else from the
//                          request's record (ID and buffer) mode 1 next,
//                          2 prior (mode 0 raises). Found: result 0, flags
//                          clear, RecordID taken, the record read into the
//                          buffer. Not found: next 2 + Eof, prior 1 + Bof;
//                          the current record not in the index: 3
//  7  LocateRecord         the request's record is gone: the first entry
//                          whose key is above the buffer's key (next) or the
//                          last below it (prior); results as GetRecord
//  8  CreateKeyPath        a new empty key path
//  9  FreeKeyPath          frees it; the pointer becomes nullptr
// 10  FindKeyPath          the position of (key of buffer, record ID)
// 11  CompareKeyPaths      <0, 0, >0 in index order
// 12  GetRecNo             1-based position of the record's entry; -1 when
//                          it is not in the index
// 13  SetRecNo             the record ID of entry recNo (1-based)
// 14  SetBitmapInfo        keeps one record per distinct key over the first
//                          fieldCount columns among the bitmap's records
//                          (the first in index order), excluding the others
// 15  CreateWalk           a new range-walk handle
// 16  FreeWalk             frees it; the pointer becomes nullptr
// 17  FindNextInRange      the next entry inside the range of the start (and
//                          end) condition in the direction; false at its end
// 18  CompareRecordWithKey a record buffer against a key laid out as a record
//                          buffer, over the first fieldCount columns
// 19  CompareConditions    sign of direction(a) - direction(b): a lower
//                          bound (> >=) -1, an upper bound (< <=) 1, else 0
// 20  EstimateRangeCount   entries between two conditions, 0..recordCount
// 21  CanInsertKey         true unless the index is Unique or Primary and an
//                          entry has the buffer's key
// 22  CanUpdateKey         true when the key of updateContext (the record as
//                          it was) equals the buffer's, else CanInsertKey
// 23  InsertRecord         adds (key of cursor->RecordBuffer, the cursor's
//                          record ID)
// 24  UpdateRecord         when the keys of cursor->OldRecordBuffer and
//                          cursor->RecordBuffer differ: with removeOld the
//                          old entry leaves, without it the new one enters;
//                          equal keys: nothing
// 25  DeleteRecord         removes (key of cursor->RecordBuffer, record ID)
// 26  GetFanOut            the figure that turns a key path into a position
//                          number and back
// 27  KeyPathToRecordID    the record ID at a key path
// After the slots, FindPlace (FindKeyPath that, for an entry gone, gives the
// nearest entry beyond it in a direction), the two per-page figures of the search cost
// (GetPageFigures) and two conversions of the key path's own arithmetic:
// KeyPathPosition (a position number, >= 0, of a key path, in index order)
// and SetKeyPathPosition (the reverse), both with the index's fan-out.
//
// Index manager invariants:
//   1. Every definition in IndexDefs has at most one open index; an index
//      object is opened on demand (GetIndex) and freed by CloseIndex, drop,
//      empty or the manager's end.
//   2. A definition's ChangeStamp advances by 1 with every insert, update
//      and delete that goes through the manager. A temporary index whose
//      stamp differs from the record manager's has missed changes and is
//      rebuilt by RefreshTemporaryIndexes before its next use.
//   3. An update runs in two phases under one table lock: UpdateRecord with
//      removePhase true before the record is written (the keys of the stored
//      record leave the indexes whose key changes), false after (the new
//      keys enter, stamps advance).
//
// Everything runs under the table lock (the database data's lock).
//
// Error codes: 20018 unknown index ID, 30661 no way to make index objects.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMRecordID.h"

namespace qv {
class Stream;
class StringList;
}  // namespace qv

class TVLMBaseIndexManager;
class TVLMCursor;
class TVLMEngineReadState;
class TVLMIndexDef;
class TVLMIndexDefs;
class TVLMIndexPositionCache;
class TVLMKeyPath;
class TVLMPageManager;
class TVLMRecordBitmap;
class TVLMScanSearchCondition;
class TVLMTableData;

// The engine's own session, for work done without a cursor.
inline constexpr int32_t kVLMEngineSessionID = -2;
// The session ID of a cursor; kVLMEngineSessionID without a cursor or
// session.
int32_t VLMCursorSessionID(const TVLMCursor* cursor);

// One step of navigation. Results: 0 found, 1 BOF reached, 2 EOF reached
// (also: the table has no records), 3 the record at the position is gone
// (or fails the cursor's filter, as the table data reports it).
struct TVLMNavigationRequest {
  // 0 the record at the position, 1 next, 2 prior.
  uint8_t Mode = 0;
  // ObjectID of the index that gives the order; -1 = record-ID order.
  int32_t IndexID = -1;
  // The position to move from; on return the position reached.
  TVLMRecordID RecordID;
  // Where the record is copied; never nullptr.
  uint8_t* RecordBuffer = nullptr;
  // The position is before the first / after the last record.
  bool Bof = false;
  bool Eof = false;
  uint8_t Result = 0;
  // The reader's cache, where the engine may keep what it stands on between
  // calls; nullptr: nothing is kept.
  TVLMIndexPositionCache* Cache = nullptr;
};

// The two per-page figures of an index that the table search's cost
// estimate adds up (GetPageFigures).
struct TVLMIndexPageFigures {
  int32_t First = 0;
  int32_t Second = 0;
};

// The state of one range walk; each index keeps its own kind of state in a
// descendant.
class TVLMIndexWalk {
public:
  virtual ~TVLMIndexWalk() = default;
};

// ----------------------------------------------------------------- TVLMIndex

class TVLMIndex {
public:
  explicit TVLMIndex(TVLMBaseIndexManager* indexManager);
  virtual ~TVLMIndex();
  TVLMIndex(const TVLMIndex&) = delete;
  TVLMIndex& operator=(const TVLMIndex&) = delete;

  // ---- the 27 slots, in order (contracts above) ----
  virtual void CreateIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef);
  virtual void DropIndex(int32_t sessionID) = 0;
  virtual void EmptyIndex(int32_t sessionID) = 0;
  virtual void OpenIndex(const TVLMIndexDef& indexDef);
  virtual void RebuildIndex(TVLMCursor* cursor) = 0;
  virtual void GetRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                         TVLMIndexPositionCache* positionCache) = 0;
  virtual void LocateRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                            TVLMIndexPositionCache* positionCache) = 0;
  virtual TVLMKeyPath* CreateKeyPath() = 0;
  virtual void FreeKeyPath(TVLMKeyPath*& keyPath) = 0;
  virtual bool FindKeyPath(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& keyPath,
                           const uint8_t* recordBuffer) = 0;
  virtual int32_t CompareKeyPaths(const TVLMKeyPath* a, const TVLMKeyPath* b) = 0;
  virtual int64_t GetRecNo(int32_t sessionID, const TVLMRecordID& recordID, const uint8_t* recordBuffer) = 0;
  virtual void SetRecNo(int32_t sessionID, TVLMRecordID& recordID, int64_t recNo) = 0;
  virtual void SetBitmapInfo(int32_t sessionID, TVLMRecordBitmap* bitmap, int32_t fieldCount) = 0;
  virtual TVLMIndexWalk* CreateWalk() = 0;
  virtual void FreeWalk(TVLMIndexWalk*& walk) = 0;
  virtual bool FindNextInRange(int32_t sessionID, bool first, TVLMIndexWalk* walk, TVLMRecordID& recordID,
                               uint8_t* recordBuffer, const TVLMScanSearchCondition* endCondition,
                               const TVLMScanSearchCondition* startCondition, bool forward) = 0;
  virtual int32_t CompareRecordWithKey(const uint8_t* record, const uint8_t* key, int32_t fieldCount) = 0;
  virtual int32_t CompareConditions(const TVLMScanSearchCondition& a, const TVLMScanSearchCondition& b) = 0;
  virtual int64_t EstimateRangeCount(int32_t sessionID, const TVLMScanSearchCondition* a,
                                     const TVLMScanSearchCondition* b, int64_t recordCount) = 0;
  virtual bool CanInsertKey(int32_t sessionID, const uint8_t* recordBuffer) = 0;
  virtual bool CanUpdateKey(int32_t sessionID, const uint8_t* updateContext, const uint8_t* recordBuffer) = 0;
  virtual void InsertRecord(TVLMCursor* cursor) = 0;
  virtual void UpdateRecord(TVLMCursor* cursor, bool removeOld) = 0;
  virtual void DeleteRecord(TVLMCursor* cursor) = 0;
  virtual int32_t GetFanOut() = 0;
  virtual void KeyPathToRecordID(int32_t sessionID, const TVLMKeyPath& keyPath, TVLMRecordID& recordID) = 0;

  // The position of (key of buffer, record ID), exact: the index holds that
  // entry; else (the record was deleted or given another key since the
  // buffer was read) the nearest entry beyond it in the direction, exact
  // false. False when there is neither. Base: FindKeyPath.
  virtual bool FindPlace(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& keyPath,
                         const uint8_t* recordBuffer, bool forward, bool& exact) {
    (void)forward;
    exact = FindKeyPath(sessionID, recordID, keyPath, recordBuffer);
    return exact;
  }

  // ---- the search's cost figures ----
  // The two figures the index gives for its pages; the table search takes
  // their sum as the keys one index page holds (at least 1). Base: none.
  virtual TVLMIndexPageFigures GetPageFigures() { return {}; }

  // ---- a reader's position ----
  // The reader whose cache this is stands on the request's record (mode 1
  // or 2), and the index knows that record is there and where it lies in
  // the index, or kept the record as the reader's last step read it and
  // finds its place by that record's key: the step needs no read of it
  // first. Base: false.
  virtual bool KeepsPosition(int32_t sessionID, const TVLMNavigationRequest& request,
                             TVLMIndexPositionCache* cache) {
    return false;
  }
  // The reader read its record anew in natural order (mode 0: a refresh of
  // the record it stands on, say): its next step goes on from the record as
  // read now. Base: nothing.
  virtual void NoteRecordRead(int32_t sessionID, const TVLMNavigationRequest& request,
                              TVLMIndexPositionCache* cache) {}
  // The step (mode 1 or 2 from the reader's record) answered, as GetRecord
  // would, from what the index read ahead for this reader; false, with the
  // request as it was, when it holds nothing for it. Base: false.
  virtual bool StepAhead(int32_t sessionID, TVLMNavigationRequest& request, TVLMIndexPositionCache* cache) {
    return false;
  }

  // ---- keyed probe ----
  // The entries whose key equals key's (the condition's key buffer over its
  // KeyFieldCount leading columns), in index order: the record ID of each
  // handed to visit until visit answers true; answers whether it did. visit
  // must not change the table. kept: where the caller keeps what the index
  // notes of its last probe (nullptr: nothing is kept), so that a probe of a
  // key near the last one may start where that one ended instead of at the
  // top of the index; the index trusts it only while the table is unchanged.
  // Base: the range walk of the equality (FindNextInRange), nothing kept.
  virtual bool ProbeEqual(int32_t sessionID, const TVLMScanSearchCondition& key,
                          std::unique_ptr<TVLMEngineReadState>* kept,
                          const std::function<bool(const TVLMRecordID&)>& visit);

  // ---- a pass over every entry ----
  // Every entry in index order, from the first: its record ID and its
  // position (a path made by this index's steps, numbered by
  // KeyPathPosition) handed to visit until visit answers true; answers
  // whether it did. visit must not change the table. Only an index that
  // PassesEntries has it (base: false, and the pass visits nothing).
  virtual bool PassesEntries() const { return false; }
  virtual bool PassEntries(int32_t sessionID,
                           const std::function<bool(const TVLMRecordID&, const TVLMKeyPath&)>& visit) {
    return false;
  }

  // ---- key path arithmetic ----
  virtual int64_t KeyPathPosition(const TVLMKeyPath& keyPath, int32_t fanOut) = 0;
  virtual void SetKeyPathPosition(TVLMKeyPath& keyPath, int64_t position, int32_t fanOut) = 0;

  // The index's own copy of its definition; nullptr before CreateIndex or
  // OpenIndex.
  std::unique_ptr<TVLMIndexDef> IndexDef;
  // Not owned.
  TVLMBaseIndexManager* IndexManager;

private:
  void TakeDefinition(const TVLMIndexDef& indexDef);
};

// ------------------------------------------------------ TVLMBaseIndexManager

// Makes the engine's index object for a manager (the record index of the
// storage engine).
using TVLMIndexFactory = std::function<std::unique_ptr<TVLMIndex>(TVLMBaseIndexManager& manager)>;

class TVLMBaseIndexManager {
public:
  // PageManager is taken from the table data; newIndex makes index objects.
  TVLMBaseIndexManager(TVLMTableData* tableData, TVLMPageManager* temporaryPageManager, TVLMIndexFactory newIndex);
  // Closes every open index, then frees the definitions.
  virtual ~TVLMBaseIndexManager();
  TVLMBaseIndexManager(const TVLMBaseIndexManager&) = delete;
  TVLMBaseIndexManager& operator=(const TVLMBaseIndexManager&) = delete;

  // ---- virtual operations, in slot order ----
  // The definitions read or write themselves.
  virtual void LoadFromStream(qv::Stream& stream);
  virtual void SaveToStream(qv::Stream& stream) const;

  // ---- definitions ----
  // IndexDefs becomes a copy of indexDefs.
  void SetIndexDefs(const TVLMIndexDefs& indexDefs);
  // TemporaryPageManager for a temporary index, else PageManager.
  TVLMPageManager* GetPageManager(const TVLMIndex& index) const;
  // An index over the fields (TVLMIndexDefs::FindIndexForFields with the
  // table's fields); its ObjectID, -1 when none.
  bool FindIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions, int32_t sessionID,
                          const qv::StringList& caseOptions) const;
  int32_t FindIndexIDForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                               int32_t sessionID, const qv::StringList& caseOptions) const;
  // Every index column naming oldName (compared upper-cased) names newName,
  // in the stored definitions and in the open indexes' copies.
  void RenameFieldInIndexes(std::string_view oldName, const std::string& newName);

  // ---- index objects ----
  TVLMIndex* FindOpenIndex(int32_t indexID) const;
  // FindOpenIndex, else OpenIndex.
  TVLMIndex* GetIndex(int32_t indexID);
  // 20018 "Index not found" for an unknown ID; else a new index object,
  // opened on the definition and kept.
  TVLMIndex* OpenIndex(int32_t indexID);
  // Frees the open index; nothing when it is not open.
  void CloseIndex(int32_t indexID);

  // ---- creating and dropping ----
  // indexDef's ObjectID becomes the database's next object ID; a copy joins
  // IndexDefs and is built. Returns the ObjectID.
  int32_t CreateIndex(TVLMCursor* cursor, TVLMIndexDef& indexDef);
  // A new index object builds the index (filled from the table with a
  // cursor); the stored definition takes its copy (with the root page); the
  // object is freed.
  void BuildIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef);
  // BuildIndex for every definition, in order.
  void CreateIndexes(TVLMCursor* cursor);
  // The index drops its structure and is closed; its definition goes.
  void DropIndex(int32_t sessionID, int32_t indexID);
  // The index loses every entry and is closed.
  void EmptyIndex(int32_t sessionID, int32_t indexID);
  void EmptyAllIndexes(int32_t sessionID);

  // ---- upkeep ----
  // Every index takes the cursor's record; stamps + 1; a root page that
  // moved is noted in the stored definition.
  void InsertRecord(TVLMCursor* cursor);
  // The two phases of an update (invariant 3). The stored record at the
  // cursor's position is read in the first phase and stands for the record
  // as it was in both; when it is gone, both phases do nothing.
  void UpdateRecord(TVLMCursor* cursor, bool removePhase);
  // The stored record at the cursor's position (not the cursor's buffer,
  // which may hold unposted changes) leaves every index; stamps + 1.
  // Nothing when the record is gone.
  void DeleteRecord(TVLMCursor* cursor);
  // A step in the order of request.IndexID: a request at a record (neither
  // Bof nor Eof) re-reads it first, unless the index keeps the reader's
  // position (KeepsPosition); when it is gone the index locates the nearest
  // key, else the index steps.
  void NavigateIndex(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                     TVLMIndexPositionCache* positionCache);

  // ---- temporary indexes ----
  // A temporary index of the cursor's session over the fields, named
  // "TEMPORARY_INDEX_" + a new GUID; returns its ObjectID.
  int32_t CreateTemporaryIndex(TVLMCursor* cursor, const qv::StringList& fieldNames,
                               const qv::StringList& directions, const qv::StringList& caseOptions);
  // An index of the session (or a stored one) over the fields, else a new
  // temporary one (created true).
  int32_t FindOrCreateTemporaryIndex(TVLMCursor* cursor, const qv::StringList& fieldNames, bool& created,
                                     const qv::StringList& directions, const qv::StringList& caseOptions);
  // Rebuilds every temporary index whose stamp differs from the record
  // manager's; nothing while a rebuild is under way.
  void RefreshTemporaryIndexes(TVLMCursor* cursor, bool& rebuilt);

  // ---- state ----
  // Not owned.
  TVLMTableData* TableData;
  std::unique_ptr<TVLMIndexDefs> IndexDefs;
  std::vector<std::unique_ptr<TVLMIndex>> OpenIndexes;
  // Not owned.
  TVLMPageManager* PageManager;
  TVLMPageManager* TemporaryPageManager;
  // Set while temporary indexes are being rebuilt.
  bool Refreshing = false;

private:
  std::unique_ptr<TVLMIndex> NewIndex();
  TVLMIndexDef& DefinitionOf(int32_t indexID) const;
  // The stored record at the cursor's position into a new record buffer;
  // nullptr when it is gone.
  uint8_t* ReadStoredRecord(TVLMCursor* cursor);
  void AdvanceStamps();
  void NoteRootPage(TVLMIndexDef& def, const TVLMIndex& index);

  TVLMIndexFactory NewIndex_;
  // The record as it was, kept between the two phases of an update.
  uint8_t* UpdateOldRecord_ = nullptr;
};
