// VLMBTree, record index part: TVLMBTreeRecordIndex, the engine's one
// TVLMIndex: an index over a table's records kept as a B+-tree (VLMBTree.h)
// whose leaf entries pair a key made of the index columns (TVLMRecordKeyRef)
// with the record ID {u32 page, u16 slot} of the record.
//
// The tree's root page number is the definition's RootPageNo (-1 while the
// index has no tree). Pages come from the page manager the index manager
// names for the index (the temporary-index page manager for a temporary
// definition, else the table's).
//
// Positions are key paths from the root to a leaf entry. A reader's steps
// (GetRecord, LocateRecord), the state kept for it between them, the entries
// a walk reads ahead and the place a step finds again by key after the
// table changed are the walk part's, with its invariants
// (VLMBTreeRecordWalk.h).
//
// Invariants:
//   1. The index holds one entry per record of the table; an update moves an
//      entry only when the record's full key changed (two phases: the old
//      entry leaves before the record is written, the new one enters after).
//   2. Every key path the index hands out was made by a descent or a step of
//      this tree; paths the core builds from approximate positions are only
//      read by KeyPathToRecordID, which keeps inside each page's entries.
//   3. PartCount and PartLimits of the key reference are changed only for
//      the length of one search and restored on every path.
//   4. A keyed probe (ProbeEqual) begins its walk at the first entry not
//      below its key: on the leaf its last probe began at, the entry before
//      it on that leaf is below the key.
//   5. A probe's visitor leaves the table unchanged: the walk goes on along
//      the leaves it read, under the change stamp it began with.
//
// Error codes: the design's (20027, 20053, 20068-20078, 20119-20127, 20250,
// 20293, 10384/10385); 20490 index without a page manager, 20491/20492
// update or delete of an index without a tree, 20493 a search condition
// without a key, 10674 a leaf chain that returns to a page, 20700 a unique
// or primary index filled from a table that holds one of its keys twice
// (the caller drops the half-built tree).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/core/VLMIndexManager.h"
#include "engine/storage/VLMBTree.h"

class TVLMCursor;
class TVLMIndexStepState;
class TVLMTableData;

// The table's records one after the other, as a new index is filled from
// them. The local cursor provides one over its table data; without it the
// record manager is walked directly.
class TVLMRecordWalker {
public:
  virtual ~TVLMRecordWalker() = default;
  // The next record (the first one on the first call) in recordBuffer, a
  // record buffer of the table owned by the walker; false after the last.
  virtual bool NextRecord(TVLMRecordID& recordID, const uint8_t*& recordBuffer) = 0;
};
// Makes the walker over table for a fill asked for by cursor (in cursor's
// session).
using TVLMRecordWalkerFactory =
    std::function<std::unique_ptr<TVLMRecordWalker>(TVLMTableData& table, TVLMCursor* cursor)>;

// The process-wide walker of index fills whose index was made without one of
// its own: the components install the local cursor's walker while their
// runtime is up. Returns the factory installed before; an empty factory
// removes it (the record manager is walked directly).
TVLMRecordWalkerFactory VLMInstallRecordWalkerFactory(TVLMRecordWalkerFactory factory);

// Walks the record manager of a table in natural order for one session.
class TVLMRecordManagerWalker : public TVLMRecordWalker {
public:
  TVLMRecordManagerWalker(TVLMTableData& table, int32_t sessionID);
  ~TVLMRecordManagerWalker() override;
  bool NextRecord(TVLMRecordID& recordID, const uint8_t*& recordBuffer) override;

private:
  TVLMTableData& Table_;
  int32_t SessionID_;
  uint8_t* Buffer_;
  TVLMNavigationRequest Request_;
};

// The state of one range walk.
struct TVLMBTreeRangeState : TVLMIndexWalk {
  bool Forward = true;
  bool Started = false;
  std::unique_ptr<TVLMKeyPath> EndPath;
  TVLMKeyPath CurrentPath;
};

class TVLMBTreeRecordIndex : public TVLMIndex {
public:
  // walkers: how CreateIndex with a cursor walks the table (empty: the
  // installed process-wide walker, else the record manager directly).
  explicit TVLMBTreeRecordIndex(TVLMBaseIndexManager* indexManager, TVLMRecordWalkerFactory walkers = {});
  ~TVLMBTreeRecordIndex() override;

  // ---- the 27 slots ----
  // A new empty tree in the cursor's session (the engine's without one);
  // with a cursor, filled from the table's records.
  void CreateIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef) override;
  // Frees the whole tree (20119 without one); RootPageNo becomes -1.
  void DropIndex(int32_t sessionID) override;
  // Frees every page but the root, which becomes an empty leaf (20120).
  void EmptyIndex(int32_t sessionID) override;
  void OpenIndex(const TVLMIndexDef& indexDef) override;
  void RebuildIndex(TVLMCursor* cursor) override;
  // The reader's steps (VLMBTreeRecordWalk.h): a walk that goes on in one
  // direction reads the entries ahead of it with their records; a step after
  // a change of the table goes on from the reader's record as read then.
  void GetRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                 TVLMIndexPositionCache* positionCache) override;
  void LocateRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                    TVLMIndexPositionCache* positionCache) override;
  TVLMKeyPath* CreateKeyPath() override;
  void FreeKeyPath(TVLMKeyPath*& keyPath) override;
  bool FindKeyPath(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& keyPath,
                   const uint8_t* recordBuffer) override;
  bool FindPlace(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& keyPath, const uint8_t* recordBuffer,
                 bool forward, bool& exact) override;
  int32_t CompareKeyPaths(const TVLMKeyPath* a, const TVLMKeyPath* b) override;
  int64_t GetRecNo(int32_t sessionID, const TVLMRecordID& recordID, const uint8_t* recordBuffer) override;
  void SetRecNo(int32_t sessionID, TVLMRecordID& recordID, int64_t recNo) override;
  void SetBitmapInfo(int32_t sessionID, TVLMRecordBitmap* bitmap, int32_t fieldCount) override;
  TVLMIndexWalk* CreateWalk() override;
  void FreeWalk(TVLMIndexWalk*& walk) override;
  bool FindNextInRange(int32_t sessionID, bool first, TVLMIndexWalk* walk, TVLMRecordID& recordID,
                       uint8_t* recordBuffer, const TVLMScanSearchCondition* endCondition,
                       const TVLMScanSearchCondition* startCondition, bool forward) override;
  // Full keys over the first fieldCount columns (all when negative).
  int32_t CompareRecordWithKey(const uint8_t* record, const uint8_t* key, int32_t fieldCount) override;
  int32_t CompareConditions(const TVLMScanSearchCondition& a, const TVLMScanSearchCondition& b) override;
  int64_t EstimateRangeCount(int32_t sessionID, const TVLMScanSearchCondition* a, const TVLMScanSearchCondition* b,
                             int64_t recordCount) override;
  bool CanInsertKey(int32_t sessionID, const uint8_t* recordBuffer) override;
  bool CanUpdateKey(int32_t sessionID, const uint8_t* updateContext, const uint8_t* recordBuffer) override;
  void InsertRecord(TVLMCursor* cursor) override;
  void UpdateRecord(TVLMCursor* cursor, bool removeOld) override;
  void DeleteRecord(TVLMCursor* cursor) override;
  // Page data size div (key size + 4).
  int32_t GetFanOut() override;
  // The entries a leaf page and a node page hold (the table search's cost).
  TVLMIndexPageFigures GetPageFigures() override;
  bool KeepsPosition(int32_t sessionID, const TVLMNavigationRequest& request,
                     TVLMIndexPositionCache* cache) override;
  bool StepAhead(int32_t sessionID, TVLMNavigationRequest& request, TVLMIndexPositionCache* cache) override;
  // The reader stands on the record as read now (VLMBTreeRecordWalk.h,
  // invariant 1): the copy kept of it when it stood on it (a refresh), else
  // it was placed on it (a locate, a record number, a bookmark).
  void NoteRecordRead(int32_t sessionID, const TVLMNavigationRequest& request,
                      TVLMIndexPositionCache* cache) override;
  // One descent to the first entry not below the key, then along the leaves
  // while the entries equal it. kept notes the leaf where the probe began:
  // the next probe starts there when its key lies above that leaf's first
  // entry and not above the last entry of that leaf or of the next one,
  // trusted while the table's change stamp and the view of the index's pages
  // stay. Keys that keep a prefix of a text, and searches on the leading
  // characters of a text, take the base's range walk.
  bool ProbeEqual(int32_t sessionID, const TVLMScanSearchCondition& key, std::unique_ptr<TVLMEngineReadState>* kept,
                  const std::function<bool(const TVLMRecordID&)>& visit) override;
  // Leaf by leaf, each taken once (VLMBTreeRecordWalk.cpp); a leaf chain
  // that returns to a page raises 10674.
  bool PassesEntries() const override { return true; }
  bool PassEntries(int32_t sessionID,
                   const std::function<bool(const TVLMRecordID&, const TVLMKeyPath&)>& visit) override;
  // Descends along the path's entry numbers, each kept inside its page.
  void KeyPathToRecordID(int32_t sessionID, const TVLMKeyPath& keyPath, TVLMRecordID& recordID) override;
  int64_t KeyPathPosition(const TVLMKeyPath& keyPath, int32_t fanOut) override;
  void SetKeyPathPosition(TVLMKeyPath& keyPath, int64_t position, int32_t fanOut) override;

  // ---- positions ----
  // The first / last entry (20121 / 20122 without a tree); false when empty.
  bool GoFirst(int32_t sessionID, TVLMKeyPath& path);
  bool GoLast(int32_t sessionID, TVLMKeyPath& path);
  bool NextEntry(int32_t sessionID, TVLMKeyPath& path);
  bool PriorEntry(int32_t sessionID, TVLMKeyPath& path);
  // The record ID of the path's leaf entry (depth 0: 20068).
  TVLMRecordID GetRecordIDAt(int32_t sessionID, const TVLMKeyPath& path);
  // The tree's integrity check (VLMBTree.h).
  void CheckIntegrity(int32_t sessionID);

  int32_t RootPageNo() const;
  // The page manager of the index's pages (20490 when there is none).
  TVLMPageManager* Pages() const;

  TVLMRecordKeyRef KeyRef;

private:
  TVLMTableData& Table() const;
  void BuildKeyRef();
  TVLMBTreePagePtr LoadRoot(int32_t sessionID, int32_t code);
  const uint8_t* MakeKey(const uint8_t* recordBuffer);
  void InsertKey(int32_t sessionID, const uint8_t* recordBuffer, const TVLMRecordID& recordID);
  // FindByCondition with the condition's key over its columns (partial
  // texts limited when asked).
  bool SearchCondition(int32_t sessionID, const TVLMScanSearchCondition& condition, bool forward, uint8_t op,
                       TVLMKeyPath& path);
  // Whether condition meets one entry at the most: an equality on every
  // column of a stored unique (or primary) index, none of them null.
  bool HoldsOneEntryAtMost(const TVLMScanSearchCondition& condition) const;
  // The path along the entry numbers of digits from the root. clamp: each
  // number kept inside its page; otherwise false for a number outside.
  bool Descend(int32_t sessionID, const TVLMKeyPath& digits, TVLMKeyPath& path, bool clamp);
  // ---- the walk (VLMBTreeRecordWalk.cpp) ----
  // The path of the request's record: from the cache when it still holds
  // it, else by search.
  bool CurrentPath(int32_t sessionID, const TVLMNavigationRequest& request, TVLMIndexPositionCache* cache,
                   TVLMKeyPath& path);
  // The request positioned on the path's record (found) or at its end; the
  // reader's state kept in cache, the entries ahead read when the walk goes
  // on.
  void Answer(int32_t sessionID, TVLMNavigationRequest& request, bool found, const TVLMKeyPath& path, bool forward,
              TVLMIndexPositionCache* cache);
  // The reader's kept state when it stands on recordID and may be trusted.
  TVLMIndexStepState* KeptState(int32_t sessionID, const TVLMRecordID& recordID, TVLMIndexPositionCache* cache) const;
  // The record at recordID as the reader's step read it, when the reader
  // stands on it or stood on it before its last step, whether or not the
  // table changed since; nullptr when not kept.
  const std::vector<uint8_t>* KnownRecord(int32_t sessionID, const TVLMRecordID& recordID,
                                          TVLMIndexPositionCache* cache) const;
  // The place of a step from the record kept (read at recordID): from its
  // entry when the index still holds it, else the nearest entry beyond its
  // key and ID in the step's direction; false when there is none.
  bool PlaceByKey(int32_t sessionID, const std::vector<uint8_t>& kept, const TVLMRecordID& recordID, bool forward,
                  TVLMKeyPath& path);
  // The path's leaf entry against (key, value): below zero when the key and
  // value come before the entry, as the tree orders its entries.
  int32_t CompareWithEntryAt(int32_t sessionID, const TVLMKeyPath& path, const uint8_t* key, const uint8_t* value);
  // Bytes of a record buffer of the table.
  size_t RecordSize() const;
  // The step answered from the entries read ahead; false when there are
  // none for it.
  bool AnswerAhead(int32_t sessionID, TVLMNavigationRequest& request, bool forward, TVLMIndexPositionCache* cache);
  // The entries after kept's path in its direction, with their records
  // (or, in page order or short of a pass, the pages they lie on).
  void ReadAheadEntries(int32_t sessionID, TVLMIndexStepState& kept);
  // The records of kept's entries read ahead, readied for their reads from
  // their pages (PrefetchRecord, steps kAheadPrefetch entries apart) as the
  // reader takes entry at; first: the entries were just read, and those up
  // to the farthest step start at once.
  void PrefetchAhead(const TVLMIndexStepState& kept, size_t at, bool first) const;
  // An entry's record read ahead in page order, from its page, into buffer;
  // the result of the read.
  uint8_t ReadAheadRecord(int32_t sessionID, TVLMIndexStepState& kept, const TVLMRecordID& recordID, uint8_t* buffer,
                          TVLMIndexPositionCache* cache);
  // The cache's position: recordID at path (nullptr: no approximate
  // position kept).
  void KeepPosition(TVLMIndexPositionCache* cache, const TVLMRecordID& recordID, const TVLMKeyPath* path);
  // The view version of the page manager of the table's records.
  uint64_t RecordView() const;

  // ---- the rest ----
  // A leaf met walking a level chain; 10674 when the chain comes back.
  TVLMBTreePagePtr ChainLeaf(int32_t sessionID, int32_t pageNo, int32_t level, std::unordered_set<int32_t>& seen);
  // Whether an insert or a duplicate check tries the append descent
  // (TVLMBTreePage::AppendEntry) first: while keys keep arriving above every
  // key, and now and then otherwise, so that an index of keys in no order
  // rarely pays for a try that fails.
  bool TryAppend();
  void NoteAppend(bool appended);

  // The steps of ProbeEqual: the probe's key against a leaf's entries, and
  // where the walk of its run begins. On the leaf the last probe began at:
  // Found; Descend when the key lies outside that leaf and the next one;
  // None when every entry is below the key.
  class TProbeKey;
  struct TProbeStart;
  enum class TProbeFind : uint8_t { Found, Descend, None };
  TProbeFind StartOnKeptLeaf(int32_t sessionID, int32_t leafNo, int32_t level, TProbeKey& key, TProbeStart& start);
  // By a descent from the root; false when every entry is below the key.
  bool StartByDescent(int32_t sessionID, const TProbeKey& key, TProbeStart& start);
  // The entries equal to the key from start on, handed to visit until it
  // answers true (the answer); stamp: the table's change stamp at the start.
  bool VisitEqualRun(int32_t sessionID, TProbeKey& key, TProbeStart& start, uint32_t stamp,
                     const std::function<bool(const TVLMRecordID&)>& visit);

  TVLMRecordWalkerFactory Walkers_;
  bool Appending_ = true;
  int32_t SinceAppendTry_ = 0;
  std::vector<uint8_t> Key_;
  std::vector<uint8_t> FullKey1_;
  std::vector<uint8_t> FullKey2_;
};
