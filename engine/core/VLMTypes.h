// Small containers the engine builds on:
//   TVLMIntegerArray                        growable array of i32 with a
//                                           stepped growth and shrink rule
//   TVLMCompressedStreamBlockHeadersArray   the block headers of one
//                                           compressed BLOB value
//   TVLMBitsArray                           bits with a running count of set
//                                           bits, rank and select
//   TVLMRecordBitmap                        the records of a table that pass
//                                           a cursor's filter, one bit each
//   TVLMScanSearchCondition(Array)          a search handed from a condition
//                                           to the table search (below)
//   TVLMIndexPositionCache                  where the storage engine left off
//                                           in an index
// and the raw bit routines and unique-name helper.
//
// Bit n is bit (n mod 8) of byte (n div 8), bit 0 the least significant.
//
// Invariants of TVLMBitsArray:
//   1. SetCount is the number of 1 bits among bits 0 .. BitCount-1.
//   2. Every bit at or beyond BitCount in the last byte is 0, so growing the
//      array never brings back bits that were set before a shrink or by SetAll.
//
// Stream form of a TVLMBitsArray (little-endian): i32 BitCount, i32 SetCount,
// then ceil(BitCount / 8) bytes of bits (none when BitCount is 0).
//
// Error codes: 10394/10395 bit number (Get/SetBit), 10398-10402 and
// 10426/10427 stream form, 10425 nil table of a record bitmap, 10428/10429
// rank and select out of range, 10388 a condition that names neither an
// expression nor an index, 10413 condition number out of range.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMRecordID.h"

namespace qv {
class Stream;
}

// ---------------------------------------------------------- TVLMIntegerArray

class TVLMIntegerArray {
public:
  // GrowthStep and ShrinkStep start at delta, MaxStep is maxDelta; then
  // SetSize(initialCount).
  TVLMIntegerArray(int32_t initialCount, int32_t delta, int32_t maxDelta);

  // The growth and shrink rule: growth doubles the step (up to MaxStep)
  // before it is used; a shrink resizes the storage only when more than
  // ShrinkStep places would stay unused. 0 frees the storage. A negative
  // count raises qv::EListError.
  void SetSize(int32_t newCount);
  void Append(int32_t value);
  // Moves the following elements down; the storage is never shrunk. An index
  // outside 0 .. Count-1 raises qv::EListError.
  void Delete(int32_t index);
  bool Contains(int32_t value) const;

  int32_t* Items() { return Items_.data(); }
  const int32_t* Items() const { return Items_.data(); }
  int32_t Count() const { return Count_; }
  int32_t Capacity() const { return Capacity_; }
  int32_t GrowthStep() const { return GrowthStep_; }
  int32_t ShrinkStep() const { return ShrinkStep_; }
  int32_t MaxStep() const { return MaxStep_; }

private:
  std::vector<int32_t> Items_;  // Capacity places
  int32_t Count_ = 0;
  int32_t GrowthStep_;
  int32_t ShrinkStep_;
  int32_t MaxStep_;
  int32_t Capacity_ = 0;
};

// --------------------------------------------- compressed BLOB block headers

// The 20-byte header in front of every compressed block of a BLOB value:
// u32 CompressedSize, u32 UncompressedSize, u32 CRC32 of the plain bytes,
// i64 BlockLength (= CompressedSize + 20, the distance to the next header).
struct TVLMCompressedBlockHeader {
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint32_t CRC32 = 0;
  int64_t BlockLength = 0;
};
inline constexpr int32_t kVLMCompressedBlockHeaderSize = 20;

class TVLMCompressedStreamBlockHeadersArray {
public:
  TVLMCompressedStreamBlockHeadersArray() = default;

  // The growth and shrink rule of TVLMIntegerArray, on Headers and Positions
  // together. A negative count raises qv::EListError.
  void SetCount(int64_t newCount);
  // Count + 1; the new last header and position are the ones given.
  void Append(const TVLMCompressedBlockHeader& header, int64_t position);

  // Element i (0 .. Count-1; outside raises qv::EListError): the header and
  // the inner-stream offset where it is stored.
  TVLMCompressedBlockHeader& Headers(int64_t i);
  int64_t& Positions(int64_t i);
  int64_t Count() const { return Count_; }
  int64_t Capacity() const { return Capacity_; }

private:
  void CheckIndex(int64_t i) const;

  int64_t GrowthStep_ = 10;
  int64_t ShrinkStep_ = 10;
  int64_t MaxStep_ = 10000;
  int64_t Capacity_ = 0;
  int64_t Count_ = 0;
  std::vector<TVLMCompressedBlockHeader> Headers_;
  std::vector<int64_t> Positions_;
};

// ------------------------------------------------------------- TVLMBitsArray

class TVLMBitsArray {
public:
  TVLMBitsArray() = default;
  ~TVLMBitsArray();
  TVLMBitsArray(const TVLMBitsArray&) = delete;
  TVLMBitsArray& operator=(const TVLMBitsArray&) = delete;

  // Resizes to bitCount bits; new bits are 0. 0 frees the block. A count
  // outside 0 .. 2^31-1 raises qv::EListError.
  void SetSize(int64_t bitCount);
  // Out of range (negative or >= BitCount): 10394 / 10395 "Invalid bit no =
  // %d, number of bits = %d".
  bool GetBit(int64_t bitNo) const;
  void SetBit(int64_t bitNo, bool value);
  // Every bit 0 .. BitCount-1 set.
  void SetAll();
  // The lowest bit equal to value; false when none.
  bool FindFirst(bool value, int64_t& bitNo) const;
  // The next set bit: from the first (or last, backwards) bit when first,
  // else from current + 1 (current - 1 backwards); false past the ends.
  bool FindSetBit(bool first, bool forward, int64_t current, int64_t& bitNo) const;
  // Select: the bit number of the n-th set bit (n from 0); n outside
  // 0 .. SetCount-1 raises 10428.
  int64_t BitNoOfSetBit(int64_t n) const;
  // Rank: the number of set bits at positions 0 .. bitNo, minus 1; bitNo out
  // of range raises 10429.
  int64_t SetBitsUpTo(int64_t bitNo) const;
  // Counts the set bits among bits 0 .. BitCount-1.
  int32_t CountSetBits() const;

  void SaveToStream(qv::Stream& stream) const;
  // Replaces the contents by a saved form. SetCount is recounted from the
  // bits, so a damaged count cannot send rank and select past the block.
  void LoadFromStream(qv::Stream& stream);

  int32_t BitCount() const { return BitCount_; }
  int32_t SetCount() const { return SetCount_; }
  const uint8_t* Bits() const { return Bits_; }
  int64_t ByteCount() const { return (static_cast<int64_t>(BitCount_) + 7) / 8; }

private:
  void ClearUnusedBits();

  uint8_t* Bits_ = nullptr;  // engine memory-manager block, nil when empty
  int32_t BitCount_ = 0;
  int32_t SetCount_ = 0;
};

// Bit routines on raw buffers, with the numbering above and no range check
// (the null bitmaps of record buffers, record pages, key buffers).
// Bit bitNo (>= 0) of a bit array: bit (bitNo mod 8) of byte (bitNo div 8).
inline bool VLMGetBit(int64_t bitNo, const void* buffer) {
  return ((static_cast<const uint8_t*>(buffer)[static_cast<uint64_t>(bitNo) >> 3] >> (bitNo & 7)) & 1) != 0;
}
void VLMSetBit(bool value, int64_t bitNo, void* buffer);

// prefix followed by a new GUID in registry form
// ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"), for unique object names such as
// "TEMPORARY_INDEX_{...}".
std::string VLMNewGUIDName(std::string_view prefix);

// ---------------------------------------------------------- TVLMRecordBitmap

// A position inside an index (a B-tree key path); the record bitmap only
// passes it to the table data.
class TVLMKeyPath;

// What a record bitmap needs of the table data whose records it holds: the
// record numbering in natural order and in index order, and the record
// manager's change stamp. The table data implements it.
class TVLMRecordNumbering {
public:
  virtual ~TVLMRecordNumbering() = default;
  // Natural-order record number of a record ID, and the reverse.
  virtual int64_t RecordIDToRecordNo(const TVLMRecordID& recordID) = 0;
  virtual void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) = 0;
  // Record number in the order of index indexID of a position in that index,
  // and the reverse (sets position from recordNo).
  virtual int64_t IndexPositionToRecordNo(int32_t indexID, const TVLMKeyPath& position) = 0;
  virtual void RecordNoToIndexPosition(int32_t indexID, TVLMKeyPath& position, int64_t recordNo) = 0;
  // The record manager's current change stamp.
  virtual uint32_t GetChangeStamp() = 0;
};

// What a record key reference of an index needs of the table whose records
// it indexes. The table data implements it.
class TVLMFieldDefs;
class TVLMKeyTableAccess {
public:
  virtual ~TVLMKeyTableAccess() = default;
  // The table's field definitions; nullptr while it has none.
  virtual TVLMFieldDefs* GetIndexedFieldDefs() = 0;
  // Reads the record with that ID into buffer, a record buffer of the table
  // (the field definitions' record buffer size plus the 7 bookmark bytes);
  // false when the record cannot be read.
  virtual bool ReadIndexedRecord(int32_t sessionID, const TVLMRecordID& recordID, uint8_t* buffer) = 0;
};

class TVLMRecordBitmap {
public:
  // A nil table raises 10425 "Nil pointer occured".
  explicit TVLMRecordBitmap(TVLMRecordNumbering* tableData);

  void SetBitCount(int64_t count);
  // The table's change stamp differs from Stamp.
  bool IsOutdated() const;
  int64_t GetRecordCount() const { return Bits_.SetCount(); }

  // RecNo (1-based position inside the set) of a record: the number of set
  // bits at positions 0 .. n; -1 when n lies outside the bits.
  int64_t GetRecNoOfRecordID(const TVLMRecordID& recordID) const;
  int64_t GetRecNoOfRecordNo(int64_t recordNo) const;
  // The record of a RecNo (1-based); outside the set raises 10428.
  void GetRecordIDOfRecNo(TVLMRecordID& recordID, int64_t recNo) const;
  void GotoRecNo(int32_t indexID, TVLMKeyPath& position, int64_t recNo) const;
  bool ContainsRecord(int32_t indexID, const TVLMKeyPath& position) const;

  // By record ID; with ResetOnChange set these empty the bitmap instead.
  // A record number beyond the bits grows them to cover it.
  void IncludeRecord(const TVLMRecordID& recordID);
  void ExcludeRecord(const TVLMRecordID& recordID);
  // By index position, whatever ResetOnChange says.
  void IncludeRecordAt(int32_t indexID, const TVLMKeyPath& position);
  void ExcludeRecordAt(int32_t indexID, const TVLMKeyPath& position);
  void IncludeAll() { Bits_.SetAll(); }
  // Not Filled, no bits.
  void Reset();

  // The next included record in natural order after currentRecordID (or the
  // first / last when first).
  bool FindRecord(bool first, bool forward, TVLMRecordID& recordID,
                  const TVLMRecordID& currentRecordID) const;
  // The same in the order of index indexID, by index positions.
  bool GotoNextRecord(bool first, bool forward, int32_t indexID, TVLMKeyPath& newPosition,
                      const TVLMKeyPath& currentPosition) const;
  // The same from the record number (in that order) of the current
  // position; found receives the new position's.
  bool GotoNextRecordNo(bool first, bool forward, int32_t indexID, TVLMKeyPath& newPosition, int64_t current,
                        int64_t& found) const;

  TVLMBitsArray& Bits() { return Bits_; }
  const TVLMBitsArray& Bits() const { return Bits_; }
  TVLMRecordNumbering* TableData() const { return TableData_; }

  // A complete result is held (set by the search that fills it).
  bool Filled = false;
  // Numbered in a navigation index's order: record-ID changes empty it.
  bool ResetOnChange = false;
  // The change stamp noted when the bitmap was prepared; -1 after creation.
  int32_t Stamp = -1;
  // The record the last answer in index order gave and its record number
  // there: a step from that record goes on from the number without looking
  // for the record's place in the index. Reset forgets it; it holds while
  // the bitmap does (the table unchanged since).
  TVLMRecordID LastRecordID;
  int64_t LastRecordNo = -1;

private:
  void SetRecordBit(int64_t recordNo, bool value);

  TVLMBitsArray Bits_;
  TVLMRecordNumbering* TableData_;
};

// ------------------------------------------------- scan search conditions
//
// A scan search condition is the unit in which a search is handed to the
// table data: either an expression item (a filter to test on each record) or
// an index condition (key values compared with a scan operator in one index).
// The table search fills an array with its expression items, lets the
// expressions add an index condition for every indexable conjunct
// (BuildIndexConditions), keeps at most two index conditions as the range it
// walks (RemoveIndexConditions) and, for the walk, takes the conjuncts those
// two cover out of the residual filter (TVLMDetachedConjuncts).
//
// Key buffer: a block of the engine memory manager laid out as a record buffer
// of the table (null bitmap, fields at their offsets), holding the key values
// of the first KeyFieldCount index columns at their fields' places.
//
// Invariants:
//   1. An item with an Expression is an expression item: Operator 0, no key
//      buffer, KeyFieldCount 0, IndexID -1.
//   2. Sources has one entry per key field, in column order.
//   3. A key buffer is freed here only when KeyBufferNotOwned is clear; a copy
//      (Assign) always owns a fresh block.
//   4. A conjunct taken out of its expression for a walk is owned by its
//      source entry (Detached) until it is given back, so it is never lost
//      and never owned twice.

class TVLMExpression;
class TVLMExprNode;
class TVLMIndexDef;
class TVLMIndexDefs;

// Scan operators: the key against the index entries, in index order.
inline constexpr uint8_t kVLMScanNone = 0;
inline constexpr uint8_t kVLMScanEqual = 1;
inline constexpr uint8_t kVLMScanLess = 2;
inline constexpr uint8_t kVLMScanGreater = 3;
inline constexpr uint8_t kVLMScanLessEqual = 4;
inline constexpr uint8_t kVLMScanGreaterEqual = 5;

// Whether comparison (a record or entry against a key: < 0, 0, > 0) meets
// scan operator op; never for kVLMScanNone or an unknown operator.
constexpr bool VLMScanOperatorHolds(uint8_t op, int32_t comparison) {
  switch (op) {
    case kVLMScanEqual: return comparison == 0;
    case kVLMScanLess: return comparison < 0;
    case kVLMScanGreater: return comparison > 0;
    case kVLMScanLessEqual: return comparison <= 0;
    case kVLMScanGreaterEqual: return comparison >= 0;
    default: return false;
  }
}

// Where one key field of an index condition came from.
struct TVLMScanConditionSource {
  TVLMScanConditionSource(TVLMExpression* expression, TVLMExprNode* node);
  TVLMScanConditionSource(TVLMScanConditionSource&&) noexcept;
  TVLMScanConditionSource& operator=(TVLMScanConditionSource&&) noexcept;
  ~TVLMScanConditionSource();

  // The expression and its conjunct node; not owned while the node stays in
  // its expression's tree.
  TVLMExpression* Expression;
  TVLMExprNode* Node;
  // The conjunct while it is taken out of its expression (Node points at it).
  std::unique_ptr<TVLMExprNode> Detached;
  // Its place among the children of the expression's root when it was taken
  // out; -1 when it was the root itself.
  int32_t DetachedPosition = -1;
  // Order of taking out inside one array: conjuncts go back in reverse order,
  // so each returns to the very place it left.
  uint32_t DetachedOrder = 0;
};

class TVLMScanSearchCondition {
public:
  explicit TVLMScanSearchCondition(bool keyBufferNotOwned = false);
  // Frees an owned key buffer and any conjunct still detached.
  ~TVLMScanSearchCondition();
  TVLMScanSearchCondition(const TVLMScanSearchCondition&) = delete;
  TVLMScanSearchCondition& operator=(const TVLMScanSearchCondition&) = delete;

  // Becomes a copy of source: its own copy of the key buffer (a fresh block
  // of KeyBufferSize bytes, owned whatever source's flag says), the numbers,
  // flags and expression, and source's sources (expression and node; never
  // a detached conjunct, which stays with source).
  void Assign(const TVLMScanSearchCondition& source);
  // Returns an owned key buffer to the memory manager; nothing otherwise.
  void FreeKeyBuffer();

  // The filter this item stands for (not owned); nullptr for an index
  // condition.
  TVLMExpression* Expression = nullptr;
  uint8_t Operator = kVLMScanNone;
  uint8_t* KeyBuffer = nullptr;
  int32_t KeyBufferSize = 0;
  int32_t KeyFieldCount = 0;
  // ObjectID of the index definition; -1 for none.
  int32_t IndexID = -1;
  // Made by a condition node; only such items are dropped by
  // RemoveIndexConditions.
  bool IndexCondition = false;
  std::vector<TVLMScanConditionSource> Sources;
  // The key buffer belongs to someone else (a cursor's key buffer).
  bool KeyBufferNotOwned = false;
  // Compare only the key's leading characters (a prefix comparison).
  bool PartialKey = false;
};

class TVLMScanSearchConditionArray {
public:
  TVLMScanSearchConditionArray() = default;
  ~TVLMScanSearchConditionArray();
  TVLMScanSearchConditionArray(const TVLMScanSearchConditionArray&) = delete;
  TVLMScanSearchConditionArray& operator=(const TVLMScanSearchConditionArray&) = delete;

  int32_t GetCount() const { return static_cast<int32_t>(Items_.size()); }
  // Item itemNo; outside 0 .. count-1 raises 10413.
  TVLMScanSearchCondition& GetItem(int32_t itemNo) const;

  // Appends a copy of condition (the caller keeps its own object). A
  // condition with neither an expression nor an index raises 10388 "Invalid
  // scan condition - indexID = %d, count = %d" and nothing is added.
  void Add(const TVLMScanSearchCondition& condition);
  // Appends an expression item for expression (not owned).
  void AddExpression(TVLMExpression* expression);
  // Frees item itemNo (with any conjunct it still holds detached) and moves
  // the later ones down. Outside 0 .. count-1 raises 10413 "Invalid item
  // number - ItemNo = %d, ItemCount = %d".
  void Delete(int32_t itemNo);

  // Lets every expression item add an index condition for each indexable
  // conjunct and each index of indexDefs (column 0), then extends every
  // index condition (also one already in the array) by further conjuncts on
  // the following columns of its index.
  void BuildIndexConditions(const TVLMIndexDefs& indexDefs, int32_t sessionID);
  // Extends item itemNo over the next columns of indexDef, a pass at a time,
  // while some expression adds a key field. Only an equality grows, one
  // column per pass, at most to the index's column count.
  void ExtendIndexCondition(int32_t itemNo, const TVLMIndexDef& indexDef,
                            const std::vector<TVLMExpression*>& expressions);
  // Drops the index conditions other than the items at keep1 and keep2 and
  // renumbers keep1 and keep2 to their new places. Positions are walked from
  // 0 while below count - 1, so the item in the last place stays.
  void RemoveIndexConditions(int32_t& keep1, int32_t& keep2);
  // Takes the conjuncts that the items at keep1 and keep2 cover out of every
  // expression item's tree; each is held by its item until it is given back.
  // A keep number outside the array is skipped.
  void DetachUsedConjuncts(int32_t keep1, int32_t keep2);
  // Gives every detached conjunct back to its expression, at the place it
  // left, the last taken first. Never raises.
  void RestoreUsedConjuncts() noexcept;

  // The next number of the order in which conjuncts are taken out.
  uint32_t NextDetachedOrder() { return ++DetachedOrder_; }

private:
  void CheckItemNo(int32_t itemNo) const;

  std::vector<std::unique_ptr<TVLMScanSearchCondition>> Items_;
  uint32_t DetachedOrder_ = 0;
};

// Takes the conjuncts covered by the kept conditions out of the residual
// filters for the lifetime of the object and gives them back when it ends,
// also when the walk in between raises:
//
//   TVLMDetachedConjuncts detached(conditions, keep1, keep2);
//   ... walk the kept range, testing the remaining conditions ...
class TVLMDetachedConjuncts {
public:
  TVLMDetachedConjuncts(TVLMScanSearchConditionArray& conditions, int32_t keep1, int32_t keep2);
  ~TVLMDetachedConjuncts();
  TVLMDetachedConjuncts(const TVLMDetachedConjuncts&) = delete;
  TVLMDetachedConjuncts& operator=(const TVLMDetachedConjuncts&) = delete;

private:
  TVLMScanSearchConditionArray& Conditions_;
};

// ---------------------------------------------------- TVLMIndexPositionCache

// What a storage engine keeps of one reader between two of its calls (the
// record page the reader stands on, say). The core holds it in a position
// cache and never looks inside; Owner is the engine object that made it, so
// an engine takes back only its own.
class TVLMEngineReadState {
public:
  explicit TVLMEngineReadState(const void* owner) : Owner(owner) {}
  virtual ~TVLMEngineReadState() = default;
  TVLMEngineReadState(const TVLMEngineReadState&) = delete;
  TVLMEngineReadState& operator=(const TVLMEngineReadState&) = delete;

  const void* const Owner;
};

// Where a range walk of the storage engine stopped in an index, kept between
// the calls of one search and between a cursor's calls. The core holds it
// for the engine and never interprets it; the engine rebuilds its own index
// path from it (or ignores it when IndexID names another index).
class TVLMIndexPositionCache {
public:
  TVLMIndexPositionCache() = default;
  TVLMIndexPositionCache(const TVLMIndexPositionCache&) = delete;
  TVLMIndexPositionCache& operator=(const TVLMIndexPositionCache&) = delete;
  TVLMIndexPositionCache(TVLMIndexPositionCache&&) = default;
  TVLMIndexPositionCache& operator=(TVLMIndexPositionCache&&) = default;
  // Empty again: no index, no record, no token.
  void Clear() {
    IndexID = -1;
    RecordID = TVLMRecordID{};
    Token = -1;
  }
  bool IsEmpty() const { return IndexID == -1; }

  // ObjectID of the index the position lies in; -1 when empty.
  int32_t IndexID = -1;
  // The record at the position.
  TVLMRecordID RecordID;
  // A value of the engine's own (an approximate position, say); -1 when
  // empty.
  int64_t Token = -1;
  // The record manager's own state of this reader (Clear keeps it: it does
  // not depend on the index).
  std::unique_ptr<TVLMEngineReadState> RecordState;
  // The index's own state of this reader: where its last step stood.
  std::unique_ptr<TVLMEngineReadState> IndexState;
  // The table data's walk of a restricted cursor, kept between its steps
  // (the cursor drops it with its record bitmap when what it sees changes).
  std::unique_ptr<TVLMEngineReadState> SearchState;
  // The record a restricted cursor read last, kept because its next search
  // goes on from that record's key, also after the record changed or went:
  // its bytes, its address, and the session and the table's change stamp
  // under which it was read. The same of the record it read before: a step
  // run again from there (a read repeated after a commit came between)
  // finds its place by it.
  std::vector<uint8_t> LastRecord;
  TVLMRecordID LastRecordID;
  int32_t LastSessionID = -1;
  uint32_t LastStamp = 0;
  bool HasLastRecord = false;
  std::vector<uint8_t> PriorRecord;
  TVLMRecordID PriorRecordID;
  int32_t PriorSessionID = -1;
  bool HasPriorRecord = false;
  // The cursor wrote its record, or was placed without reading one: its
  // next step reads the record again.
  void ForgetRecords() { HasLastRecord = HasPriorRecord = false; }
};
