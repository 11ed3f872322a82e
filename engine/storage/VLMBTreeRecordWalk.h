// VLMBTree, record walk part: a reader's steps through a record index
// (TVLMBTreeRecordIndex::GetRecord next and prior, LocateRecord), the state
// the index keeps for the reader between its steps (TVLMIndexStepState, in
// the reader's position cache), the entries a walk reads ahead, and how a
// step finds its place again after the table changed.
//
// Positions are key paths from the root to a leaf entry. A cursor's position
// cache (TVLMIndexPositionCache) keeps the path of its last step as the
// path's approximate position (Token); the next step from the same record
// descends along those entry numbers and uses the path only when its leaf
// entry still holds that record, so a stale cache costs a search, never a
// wrong answer. The exact path is kept too (TVLMIndexStepState), trusted
// while the table's change stamp and the page managers' views stay; a walk
// that goes on in one direction also keeps the entries ahead of it with
// copies of their records, under the same condition, read with one take of
// each leaf; a short walk reads ahead about as many entries as it has walked
// and reads their records from their pages as it gets to them, each readied
// in the processor's caches a few entries before
// (TVLMBaseRecordManager::PrefetchRecord); only a long walk (a pass) reads as
// a scan of the page cache, and copies the records of entries out of page
// order with one take of each record page (ReadRecords). A pass over every
// entry for the table search (PassEntries) takes each leaf once and hands
// out each entry's record ID and path; it keeps nothing for a reader.
//
// The reader's record. Every step keeps the bytes of the record it answered
// (its anchor), and so does every read in place of the record the reader was
// placed on (mode 0: a Locate's, a record number's, a bookmark's, a
// refresh's; NoteRecordRead). A step after a change of the table (another
// connection's commit, this session's write) never goes on from what was
// kept of the tree, nor from what the record's address holds now (another
// key, another record in the slot of a deleted one, or nothing): it finds
// its place by the anchor's key and record ID (PlaceByKey).
//
//   step from R:  kept state trusted (stamp and views as read)
//                     -> the kept path, or the entries read ahead
//                 else anchor of R kept (Record or PriorRecord)
//                     -> PlaceByKey: R's entry, else the nearest entry
//                        beyond (key, ID) in the step's direction
//                 else (no anchor: a placement without a read)
//                     -> the record at R read, its entry searched
//
// Invariants:
//   1. After every step that answers a record, and every read in place of
//      the record the reader stands on or was placed on, RecordID and
//      Record (RecordKnown) are that record as read then, whatever is
//      committed afterwards; PriorRecord is the one before. Reads that are
//      no step nor placement (probes of another record or a bookmark,
//      TVLMKeptPlace) leave them as they were.
//   2. Path, the entries read ahead and their records are used only while
//      the table's change stamp and the views of the index's pages and the
//      records' pages are those they were read under (KeptState).
//   3. A step placed by key (PlaceByKey) answers the entry after the
//      anchor's own entry when the index still holds it, else the nearest
//      entry strictly beyond (anchor key, anchor ID) in the step's
//      direction (entries of equal keys lie in record-ID order): a walk's
//      (key, ID) pairs strictly ascend (descend), so it returns no row twice
//      and every row that stays in the index while it runs.
//   4. The entries read ahead are those after Path in direction Forward as
//      read in one look at the leaves; they go (DropAhead) when the walk
//      ends, turns, or a step cannot read one of their records.
//   5. RecordAt and PriorAt point into AheadRecords only while those entries
//      are kept: Settle copies them out before the entries go.
//   6. A writer's update that moves its record's key forgets the anchors
//      (ForgetRecords): its next step goes on from the record as written.
//
// Error codes: 20053 a step in mode current, 20068 a path outside its leaf,
// 20123 / 20293 a step or locate in an index without a tree.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/VLMBTreeRecordIndex.h"

// What a record index keeps for one reader between its steps (its position
// cache's IndexState): the exact path of its last step, the record it stands
// on and the one before as read, and the entries ahead of a walk.
class TVLMIndexStepState : public TVLMEngineReadState {
public:
  explicit TVLMIndexStepState(const TVLMBTreeRecordIndex* owner) : TVLMEngineReadState(owner) {}

  // The reader stands on RecordID; Path is its entry when PathKnown (an
  // entry answered from Ahead, other than the last, and a record the reader
  // was placed on have no path kept).
  TVLMKeyPath Path;
  bool PathKnown = false;
  TVLMRecordID RecordID;
  int32_t SessionID = -1;
  uint32_t Stamp = 0;
  uint64_t View = 0;
  uint64_t RecordView = 0;
  // The bytes of the record the reader stands on as its step (or placement)
  // read them, kept whatever commits since (RecordKnown): a step after a
  // change of the table finds its place again by that record's key and ID.
  // The same of the record it stood on before: a step run again from there
  // (a read repeated under the table's lock after a commit came between)
  // finds its place by it.
  std::vector<uint8_t> Record;
  bool RecordKnown = false;
  std::vector<uint8_t> PriorRecord;
  TVLMRecordID PriorRecordID;
  bool PriorKnown = false;
  // A record answered from the entries read ahead is not copied on each
  // step: RecordAt (PriorAt) points at its bytes in AheadRecords, which
  // hold them unchanged until the entries go, and Settle copies them into
  // Record (PriorRecord) before that (DropAhead) or when they are asked for.
  const uint8_t* RecordAt = nullptr;
  const uint8_t* PriorAt = nullptr;
  size_t AtSize = 0;
  // Steps taken in a row in direction Forward.
  int32_t Steps = 0;
  bool Forward = true;
  // The entries after the step that read them (direction Forward), their
  // records one every Stride bytes (unless AheadByPage), the next one to
  // answer, and the path of the last one (AheadPathKnown false: the read of
  // the records ended early, and the list with it).
  std::vector<TVLMRecordID> AheadIDs;
  std::unique_ptr<uint8_t[]> AheadRecords;
  size_t AheadCapacity = 0;
  size_t Stride = 0;
  size_t AheadNext = 0;
  TVLMKeyPath AheadPath;
  bool AheadPathKnown = false;
  // Entries the last read ahead asked for (the next asks more), and
  // whether they were in page order.
  size_t LastAhead = 0;
  bool LastByPage = true;
  // The entries' records are read from the pages step by step, not copied
  // ahead: those of a walk that is not a pass, and those in page order (an
  // index in the order records were added). AheadPages are the pages of
  // entries in page order (empty otherwise), the first AheadPagesRead of
  // them asked for ahead, AheadPageAt the one the reader is on.
  bool AheadByPage = false;
  std::vector<int32_t> AheadPages;
  size_t AheadPageAt = 0;
  size_t AheadPagesRead = 0;

  // The entries ahead are gone; their room stays for the next ones unless
  // release.
  void DropAhead(bool release);
  // The reader stands on recordID now, read into record (nullptr: not
  // read); inAhead: record lies in AheadRecords.
  void StandOn(const TVLMRecordID& recordID, const uint8_t* record, size_t size, bool inAhead = false);
  // The records pointed at in AheadRecords copied out.
  void Settle();
  // Room for bytes of records read ahead (the pointed-at ones settled).
  uint8_t* RecordsRoom(size_t bytes);
  // at is null, or lies within the records of the entries kept ahead
  // (invariant 5).
  bool PointsIntoKept(const uint8_t* at) const;
  // Neither record is kept any more (invariant 6).
  void ForgetRecords();
};
