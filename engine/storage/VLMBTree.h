// VLMBTree: the B+-trees of the storage engines. Record indexes of tables and
// the page indexes that list a table's record and small-BLOB pages are both
// trees of type-12 pages (kVLMPageTableIndex) taken from a TVLMPageManager.
//
// B-tree data, at offset 0 of the page's data area (after the page header of
// the page layer), little-endian:
//
//   offset  size  field
//   0       1     IsRoot       1 on the root page of a tree
//   1       1     IsLeaf       1 on a leaf, 0 on a node (inner page)
//   2       4     PrevPageNo   left neighbour on the same level, -1 when none
//   6       4     NextPageNo   right neighbour on the same level, -1 when none
//   10      1     InitMark     1 on a page made as the empty root of a tree;
//                              copied with the head, never read
//   11      1     HasExtra     not 0: every entry carries 6 bytes more
//   12      2     KeySize      bytes of the key of every entry
//   14      2     EntryCount
//   16      2     VarAreaSize  bytes between the head and the first entry
//   18 + VarAreaSize           EntryCount entries of EntrySize bytes each:
//                              key (KeySize), value (leaf: the tree's value
//                              size, 6 = record ID or 2 = u16 page figure;
//                              node: u32 child page number), 6 extra bytes
//                              when HasExtra
//
// This engine always writes HasExtra 0 and VarAreaSize 0; a reader honours
// both when it computes entry positions.
//
// Record index keys (TVLMRecordKeyRef), one part per index column:
//   u8 null byte (1 null, 0 value present), then the field's bytes as they
//   stand in the record buffer. A text or byte column longer than its length
//   limit (20 unless the definition says otherwise; 0 also means 20) keeps
//   only that many bytes plus two zero bytes (a prefix part). Keys order as
//   the full values do: a prefix part orders by the first base letters its
//   prefix is sure to show (about half its characters), and where those
//   agree by the full values, read from the records unless both values fit
//   their prefixes. Nodes hold no record IDs: there keys whose prefixes
//   agree so far are equal.
// Page index keys (TVLMPageKeyRef): the u32 page number, no null byte,
// ordered as a signed 32-bit number; values are u16.
//
// Invariants of every tree:
//   1. Leaf entries are ordered by key and, among equal keys, by value (the
//      record ID: page number as signed 32-bit, then slot). A (key, value)
//      pair occurs once; equal keys any number of times.
//   2. Node entry i leads to child i; every key in child i's subtree is not
//      below entry i's key (entry 0 excepted: it is never compared) and not
//      above entry i+1's key. A run of equal keys may continue across a
//      separator.
//   3. The pages of each level, nodes included, are chained left to right.
//   4. The root keeps its page number for the life of the tree; it grows by
//      moving its entries into two new children and shrinks by taking over
//      the entries of its only child.
//   5. No page other than the root is left without entries: a page that
//      loses its last entry always merges into a neighbour (it has nothing to
//      move, so the size rule does not hold it back). A root node never has
//      fewer than two entries after an operation.
//   6. A descent reads O(log n) records however many separators tie with its
//      key (keys with a long common beginning tie in their prefixes): among
//      the children whose separators tie it bisects by each child's first
//      entry, compared in full, and enters one child (and takes the first
//      entry of the next when nothing in it meets the search), never the
//      whole tied run. By invariant 1 the entries of the children before
//      the one it enters lie below what it seeks.
//
// Heads read from storage are checked when a page is loaded (CheckHead),
// before any entry is addressed: KeySize must be the tree's, IsRoot and
// IsLeaf 0 or 1, the head, the variable area and EntryCount entries must fit
// the data area (10602); a page must sit where the caller expects it: the
// root at level 0 and only there, a leaf where a leaf is expected, and no
// page deeper than a key path can hold, which ends descents through looping
// child links (10603). A walk along a level chain that comes back to a page
// it has seen raises 10604, and a merge of two neighbours whose entries are
// laid out differently (HasExtra, VarAreaSize) raises 10605. So a damaged
// page raises an engine error that leads to repair and is never read or
// written past its buffer.
//
// A page is full when one more entry would not fit the data area; a full
// page takes the new entry in a buffer grown by one entry and is split at
// once, so no page is ever written overfull. A page less than half full
// merges into a neighbour when the union fits strictly inside it; there is
// no other rebalancing.
//
// Every page loaded by an operation is released before it returns; a changed
// page is marked modified before its release and reaches storage when the
// session commits (VLMPage.h).
//
// Error codes: 10602 damaged page head, 10603 page out of its place in the
// tree, 10604 looping level chain, 10605 neighbours laid out differently,
// 20020/20024 node operation on a leaf, 20025 deleting from an empty page,
// 20028-20034 and 20194 integrity, 20043-20045 and 20295 key building,
// 20051/20052 key path comparison, 20099-20118 and 20292 page indexes,
// 20170 record read for a key, 20340 key path deeper than 32 levels,
// 20341/20342 approximate positions out of range, 20343 node without
// entries met by a descent (20345 by the integrity check), 20344 key too
// large for the page size.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/core/VLMRecordID.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/storage/VLMPage.h"

class TVLMFieldDefs;
class TVLMIndexDef;
class TVLMBTreePage;

// ----------------------------------------------------------------- layout

inline constexpr int32_t kVLMBTreeHeadSize = 18;
inline constexpr int32_t kVLMBTreeIsRootOffset = 0;       // u8
inline constexpr int32_t kVLMBTreeIsLeafOffset = 1;       // u8
inline constexpr int32_t kVLMBTreePrevOffset = 2;         // i32
inline constexpr int32_t kVLMBTreeNextOffset = 6;         // i32
inline constexpr int32_t kVLMBTreeInitMarkOffset = 10;    // u8
inline constexpr int32_t kVLMBTreeHasExtraOffset = 11;    // u8
inline constexpr int32_t kVLMBTreeKeySizeOffset = 12;     // u16
inline constexpr int32_t kVLMBTreeEntryCountOffset = 14;  // u16
inline constexpr int32_t kVLMBTreeVarAreaOffset = 16;     // u16
// Bytes an entry carries after its value when HasExtra is set.
inline constexpr int32_t kVLMBTreeExtraSize = 6;
// Value of a node entry: the u32 page number of the child.
inline constexpr int32_t kVLMBTreeNodeValueSize = 4;
// Two zero bytes that end the prefix of a text kept only in part.
inline constexpr int32_t kVLMKeyPrefixTruncBytes = 2;
// The length limit of an index column whose definition gives none.
inline constexpr int32_t kVLMDefaultKeyLengthLimit = 20;
// The key comparison passes kVLMKeyCompareLocale (engine/core/VLMCasts.h).

// Search operators of FindByCondition.
inline constexpr uint8_t kVLMSearchNone = 0;          // every entry qualifies
inline constexpr uint8_t kVLMSearchEqual = 1;
inline constexpr uint8_t kVLMSearchLess = 2;
inline constexpr uint8_t kVLMSearchGreater = 3;
inline constexpr uint8_t kVLMSearchLessOrEqual = 4;
inline constexpr uint8_t kVLMSearchGreaterOrEqual = 5;

// Directions and results of SearchPage.
inline constexpr int32_t kVLMSearchFirstEqual = 0;
inline constexpr int32_t kVLMSearchLastEqual = 1;
inline constexpr int32_t kVLMSearchAnyEqual = 2;
inline constexpr int32_t kVLMSearchFound = 1;
inline constexpr int32_t kVLMSearchNotFound = 2;
inline constexpr int32_t kVLMSearchPageEmpty = 5;

// --------------------------------------------------------------- key path

// Where a search ended: the page, entry and entry count on every level from
// the root (level 0) to the leaf (level Depth - 1). Levels made by
// SetApproxPosition carry PageNo -1 and EntryCount 0.
struct TVLMKeyPathLevel {
  int32_t PageNo = -1;
  int32_t EntryNo = 0;
  int32_t EntryCount = 0;
};

class TVLMKeyPath {
public:
  static constexpr int32_t kMaxDepth = 32;

  TVLMKeyPath() = default;

  // Depth 0, Current 0.
  void Clear();
  void Assign(const TVLMKeyPath& source);
  // Writes level Current; Current and Depth then grow by one. A 33rd level
  // raises 20340.
  void Push(int32_t pageNo, int32_t entryNo, int32_t entryCount);
  void Pop();
  void Down() { ++Current; }
  void Up() { --Current; }
  // PageNo of level Current; -1 outside the levels in use.
  int32_t CurrentPageNo() const;
  bool ContainsPage(int32_t pageNo) const;
  // Order of this position against other's in one tree: -1 when other's
  // entry is further, 1 when it is nearer, 0 for the same entry. Different
  // depths raise 20051, different pages on one level 20052.
  int32_t ComparePaths(const TVLMKeyPath& other) const;
  // The position as a fraction in [0, 1) of the tree.
  double GetPositionFraction() const;
  // A number for the position: per level (EntryNo + 1) times a power of
  // fanOut + 1, the root's digit the most significant; 0 for an empty path.
  int64_t GetApproxPosition(int32_t fanOut) const;
  // The reverse: one level per base (fanOut + 1) digit. A position below 1
  // gives the empty path.
  void SetApproxPosition(int64_t position, int32_t fanOut);

  TVLMKeyPathLevel Levels[kMaxDepth];
  int32_t Depth = 0;
  int32_t Current = 0;
  // Two values owned by the caller; Assign copies them, the trees do not
  // use them.
  int32_t Extra1 = 0;
  int32_t Extra2 = 0;
};

// --------------------------------------------------------- key references

// One index column inside a key.
struct TVLMKeyPart {
  int32_t KeyOffset = 0;      // offset of the part in a key
  int32_t FullKeyOffset = 0;  // offset of the part in a full key
  int32_t RecordOffset = 0;   // offset of the field's data in a record buffer
  int32_t FieldNo = 0;        // field number, its bit in the null bitmap
  int32_t PartSize = 0;       // 1 null byte + the value bytes kept
  int32_t FullPartSize = 0;   // 1 null byte + the field's data size
  int32_t TruncBytes = 0;     // 2 on a prefix part, else 0
  TVLMBaseDataType DataType = 0;
  uint8_t Descending = 0;
  uint8_t CaseInsensitive = 0;
};

// What the keys of one tree are: sizes, parts and the two comparisons. The
// trees never interpret a key themselves.
class TVLMBTreeKeyRef {
public:
  TVLMBTreeKeyRef() = default;
  virtual ~TVLMBTreeKeyRef() = default;
  TVLMBTreeKeyRef(const TVLMBTreeKeyRef&) = delete;
  TVLMBTreeKeyRef& operator=(const TVLMBTreeKeyRef&) = delete;

  // Sets the number of descriptors; PartCount follows it.
  virtual void SetPartCount(int32_t count);
  // Key1 against Key2: -1, 0, 1. key2 is the key of a page entry and
  // recordID2 its record ID (stored form; nullptr when not known); recordID1
  // is the record Key1 was made from (nullptr: the record buffer of the last
  // MakeKey). exact: ties inside a prefix part are settled by the records.
  virtual int32_t Compare(const uint8_t* key1, const uint8_t* key2, const uint8_t* recordID2,
                          const uint8_t* recordID1, int32_t sessionID, bool exact) = 0;
  virtual int32_t CompareFull(const uint8_t* fullKey1, const uint8_t* fullKey2) = 0;

  // Entry values: 6 bytes are record IDs (page signed 32-bit, then slot);
  // any other size compares unsigned bytes from the first.
  static int32_t CompareValues(const uint8_t* value1, const uint8_t* value2, int32_t size);

  // Zero-filled blocks of the engine memory manager.
  uint8_t* AllocKey() const;
  uint8_t* AllocFullKey() const;
  void FreeKey(uint8_t*& key) const;

  // Some part keeps only a prefix of its field.
  bool HasPrefixParts() const { return KeySize != FullKeySize; }
  // Separators may tie with a search key that the full keys order: some
  // part keeps a prefix and the search compares whole values. A descent
  // then picks among the tied children by their first entries (invariant 6).
  virtual bool TiesSettledInFull() const { return false; }

  int32_t KeySize = 0;
  int32_t FullKeySize = 0;
  // Bytes of a leaf entry's value.
  uint16_t ValueSize = 0;
  // Parts taking part in comparisons: lowered for a search on leading
  // columns, restored to Parts.size() afterwards.
  int32_t PartCount = 0;
  std::vector<TVLMKeyPart> Parts;
};

// Keys made of index columns of a table's records.
class TVLMRecordKeyRef : public TVLMBTreeKeyRef {
public:
  TVLMRecordKeyRef() = default;
  ~TVLMRecordKeyRef() override = default;

  // Also sizes PartLimits, every limit -1.
  void SetPartCount(int32_t count) override;
  int32_t Compare(const uint8_t* key1, const uint8_t* key2, const uint8_t* recordID2,
                  const uint8_t* recordID1, int32_t sessionID, bool exact) override;
  int32_t CompareFull(const uint8_t* fullKey1, const uint8_t* fullKey2) override;
  // Prefix parts, and no part limited to its leading characters.
  bool TiesSettledInFull() const override;

  // The parts from the index definition's columns: 20044 without a table,
  // 20045 without field definitions, 20043 "Cannot find index field '%s'",
  // 20295 for a BLOB field.
  void Build(const TVLMIndexDef& indexDef, TVLMKeyTableAccess* tableData);
  // The key of a record buffer (all parts, whatever PartCount says); notes
  // the buffer as RecordBuffer.
  void MakeKey(const uint8_t* recordBuffer, uint8_t* key);
  void MakeFullKey(const uint8_t* recordBuffer, uint8_t* fullKey) const;
  // The full key of a stored record; 20170 "Cannot retrieve record for
  // index" when it cannot be read.
  void ReadRecordFullKey(int32_t sessionID, const uint8_t* recordID, uint8_t* fullKey);
  // For a search on the leading characters of text values: with enable each
  // text part present in recordBuffer compares only as many characters as
  // its value there holds; otherwise (and for other parts) no limit.
  void SetPartLimits(const uint8_t* recordBuffer, bool enable);

  // The record buffer the last key was made from (not owned).
  const uint8_t* RecordBuffer = nullptr;
  // Not owned.
  TVLMKeyTableAccess* TableData = nullptr;
  // Characters compared per part; -1 = no limit.
  std::vector<int32_t> PartLimits;

private:
  // Two values (neither null) of a text part that keeps a prefix, by the
  // first base letters their prefixes are sure to show (see the .cpp);
  // full values (full keys) give the same answer as their keys. open: a
  // value fills its prefix, so it may go on behind it.
  int32_t CompareBaseLetters(const TVLMKeyPart& part, const uint8_t* value1, const uint8_t* value2, int32_t limit,
                             bool& open);
  // Compare's last step: the full keys of both sides.
  int32_t CompareFullFromRecords(const uint8_t* recordID2, const uint8_t* recordID1, int32_t sessionID);
  // One part's value bytes (after the null byte) under the engine's value
  // comparison.
  int32_t CompareValueBytes(const TVLMKeyPart& part, const uint8_t* value1, const uint8_t* value2, bool null1,
                            bool null2, int32_t length, int32_t valueBytes);

  int32_t RecordBufferSize_ = 0;
  std::vector<uint8_t> ReadBuffer_;
  std::vector<uint8_t> FullKey1_;
  std::vector<uint8_t> FullKey2_;
  std::vector<char16_t> Wide1_;
  std::vector<char16_t> Wide2_;
};

// Keys that are page numbers (the page indexes).
class TVLMPageKeyRef : public TVLMBTreeKeyRef {
public:
  TVLMPageKeyRef();
  // Signed 32-bit order of the two 4-byte keys; record IDs are not used.
  int32_t Compare(const uint8_t* key1, const uint8_t* key2, const uint8_t* recordID2,
                  const uint8_t* recordID1, int32_t sessionID, bool exact) override;
  int32_t CompareFull(const uint8_t* fullKey1, const uint8_t* fullKey2) override;
};

// ------------------------------------------------------------ controllers

// Where the caller of a load expects a page in its tree: its level (0 the
// root, 1 the root's children, ...) when known, and whether it is a leaf
// (-1 not known). Without a known level, levels count from the page loaded
// first, which still bounds how deep a descent goes.
struct TVLMBTreePlace {
  int32_t Level = 0;
  bool LevelKnown = false;
  int8_t Leaf = -1;

  static TVLMBTreePlace Root() { return {0, true, -1}; }
  static TVLMBTreePlace AtLevel(int32_t level, int8_t leaf = -1) { return {level, true, leaf}; }
};

// Releases the page to its page manager and destroys the page object.
struct TVLMBTreePageRelease {
  void operator()(TVLMBTreePage* page) const noexcept;
};
using TVLMBTreePagePtr = std::unique_ptr<TVLMBTreePage, TVLMBTreePageRelease>;

// The tree algorithms, run on one page. Every operation that descends pushes
// one level per page onto the path, root first. The leaf and the node
// controller implement the slots; the base holds what both share.
class TVLMBTreePageController {
public:
  explicit TVLMBTreePageController(TVLMBTreePage* page) : Page(page) {}
  virtual ~TVLMBTreePageController() = default;
  TVLMBTreePageController(const TVLMBTreePageController&) = delete;
  TVLMBTreePageController& operator=(const TVLMBTreePageController&) = delete;

  // ---- virtual operations, in slot order ----
  // Key and value against entry index: a leaf compares the values; a node
  // compares against the smallest pair of child index's subtree.
  virtual int32_t CompareEntryValue(bool exact, const uint8_t* key, int32_t index, const uint8_t* value,
                                    int32_t sessionID) = 0;
  virtual void InsertEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) = 0;
  // False when the pair is not in the tree.
  virtual bool DeleteEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) = 0;
  // Frees the page and, for a node, its whole subtree; the root stays when
  // keepRoot is set.
  virtual void FreePages(int32_t sessionID, bool keepRoot) = 0;
  // Raises the first integrity error found below this page.
  virtual void CheckIntegrity(int32_t sessionID, TVLMKeyPath& path) = 0;
  // The exact (key, value) pair.
  virtual bool FindEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) = 0;
  virtual bool GoFirst(int32_t sessionID, TVLMKeyPath& path) = 0;
  virtual bool GoLast(int32_t sessionID, TVLMKeyPath& path) = 0;
  // The first (forward) or last entry that meets "entry op key".
  virtual bool FindByCondition(int32_t sessionID, bool forward, TVLMKeyPath& path, uint8_t op,
                               const uint8_t* key) = 0;
  // Smallest or largest key (and value) of the subtree; false when it holds
  // no entry.
  virtual bool GetFirstKey(int32_t sessionID, uint8_t* key) = 0;
  virtual bool GetLastKey(int32_t sessionID, uint8_t* key) = 0;
  virtual bool GetFirstKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) = 0;
  virtual bool GetLastKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) = 0;

  // ---- page-level operations ----
  bool HasRoomForOne() const;
  bool IsOverfull() const;
  bool IsUnderfull() const;
  // The union of both pages fits strictly inside sibling.
  bool CanMergeInto(const TVLMBTreePage& sibling) const;
  // Key against entry index's key (key reference Compare; the entry's value
  // serves as its record ID on a leaf).
  int32_t CompareKeyAt(bool exact, int32_t sessionID, int32_t index, const uint8_t* key);
  int32_t CompareValueAt(const uint8_t* value, int32_t index);
  // Bisection over entries low .. EntryCount - 1 (see kVLMSearch*). With a
  // value, equal keys are ordered by CompareEntryValue.
  int32_t SearchPage(bool exact, const uint8_t* key, int32_t direction, int32_t& result, int32_t low,
                     const uint8_t* value, int32_t sessionID);
  // Grows the buffer first when the page is full; key nullptr keeps a zero
  // key.
  void InsertEntryAt(const uint8_t* key, const uint8_t* value, int32_t index);
  // 20025 "Index error: page is empty" on a page without entries.
  void DeleteEntryAt(int32_t index);
  // Without key: the first entry holding value. With key: the entry of the
  // pair.
  bool FindEntryInPage(const uint8_t* key, int32_t& index, const uint8_t* value, int32_t sessionID);

  TVLMBTreePage* Page;

protected:
  // Compares key (and value on a tie) against entry index.
  int32_t CompareAt(bool exact, int32_t sessionID, int32_t index, const uint8_t* key, const uint8_t* value);
  // First entry in low .. n not below key (lowerBound) or above key.
  int32_t LowerBound(bool exact, int32_t sessionID, int32_t low, const uint8_t* key);
  int32_t UpperBound(bool exact, int32_t sessionID, int32_t low, const uint8_t* key);

  void Split(int32_t sessionID, TVLMKeyPath& path);
  void SplitRoot(int32_t sessionID, TVLMKeyPath& path);
  void SplitPage(int32_t sessionID, TVLMKeyPath& path);
  // Merges this non-root page into a neighbour; true when it did.
  bool TryMerge(int32_t sessionID, TVLMKeyPath& path);
  bool TryMergeWith(int32_t sessionID, int32_t siblingPageNo, TVLMKeyPath& path);
  void MergeIntoPrevious(int32_t sessionID, TVLMBTreePage& sibling, TVLMKeyPath& path);
  void MergeIntoNext(int32_t sessionID, TVLMBTreePage& sibling, TVLMKeyPath& path);
  // The root takes over the entries of its only child, as long as it is a
  // node with one entry.
  void CollapseRoot(int32_t sessionID);
  void MarkModified();
};

class TVLMBTreeLeafController : public TVLMBTreePageController {
public:
  using TVLMBTreePageController::TVLMBTreePageController;

  int32_t CompareEntryValue(bool exact, const uint8_t* key, int32_t index, const uint8_t* value,
                            int32_t sessionID) override;
  void InsertEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) override;
  bool DeleteEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) override;
  void FreePages(int32_t sessionID, bool keepRoot) override;
  void CheckIntegrity(int32_t sessionID, TVLMKeyPath& path) override;
  bool FindEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) override;
  bool GoFirst(int32_t sessionID, TVLMKeyPath& path) override;
  bool GoLast(int32_t sessionID, TVLMKeyPath& path) override;
  bool FindByCondition(int32_t sessionID, bool forward, TVLMKeyPath& path, uint8_t op,
                       const uint8_t* key) override;
  bool GetFirstKey(int32_t sessionID, uint8_t* key) override;
  bool GetLastKey(int32_t sessionID, uint8_t* key) override;
  bool GetFirstKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) override;
  bool GetLastKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) override;

  // The append descent (TVLMBTreePage::AppendEntry, KeyAboveAll) on a leaf.
  bool AppendEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value);
  bool KeyAboveAll(int32_t sessionID, const uint8_t* key);

private:
  // 20344 when an entry of this tree cannot fit a page with room to split.
  void CheckEntryFits() const;
  // The entry goes in at position, the bisection's answer for the pair.
  void InsertEntryAtPosition(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value,
                             int32_t position);
};

class TVLMBTreeNodeController : public TVLMBTreePageController {
public:
  using TVLMBTreePageController::TVLMBTreePageController;

  int32_t CompareEntryValue(bool exact, const uint8_t* key, int32_t index, const uint8_t* value,
                            int32_t sessionID) override;
  void InsertEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) override;
  bool DeleteEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) override;
  void FreePages(int32_t sessionID, bool keepRoot) override;
  void CheckIntegrity(int32_t sessionID, TVLMKeyPath& path) override;
  bool FindEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) override;
  bool GoFirst(int32_t sessionID, TVLMKeyPath& path) override;
  bool GoLast(int32_t sessionID, TVLMKeyPath& path) override;
  bool FindByCondition(int32_t sessionID, bool forward, TVLMKeyPath& path, uint8_t op,
                       const uint8_t* key) override;
  bool GetFirstKey(int32_t sessionID, uint8_t* key) override;
  bool GetLastKey(int32_t sessionID, uint8_t* key) override;
  bool GetFirstKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) override;
  bool GetLastKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) override;

  // The append descent (TVLMBTreePage::AppendEntry, KeyAboveAll) on a node.
  bool AppendEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value);
  bool KeyAboveAll(int32_t sessionID, const uint8_t* key);

  // A new child page: its entry goes after the entry the path names (at the
  // end while the node has fewer than two entries); splits when overfull.
  void InsertEntryForChild(int32_t sessionID, const uint8_t* key, int32_t childPageNo, TVLMKeyPath& path);
  // The child at the path's entry merged into its previous or next
  // neighbour: fixes the separators, drops the entry, merges or collapses.
  void DeleteEntryForChild(int32_t sessionID, bool mergedIntoPrevious, TVLMKeyPath& path);

private:
  int32_t ChildAt(int32_t index) const;
  TVLMBTreePagePtr LoadChild(int32_t sessionID, int32_t index);
  // Of children first .. last, whose separators tie with the key, the last
  // whose first entry lies below (key, value), or not above it with
  // orEqual, compared in full (invariant 6); first when none does. value
  // may be nullptr (keys alone).
  int32_t LastChildBefore(int32_t sessionID, int32_t first, int32_t last, const uint8_t* key,
                          const uint8_t* value, bool orEqual);
  // FindByCondition in child index, its level on the path when found.
  bool FindInChild(int32_t sessionID, int32_t index, bool forward, TVLMKeyPath& path, uint8_t op,
                   const uint8_t* key);
  // The path to the first entry of child index's subtree; with a key, only
  // when that entry equals it in full. The path stays as it was otherwise.
  bool FirstEntryOf(int32_t sessionID, int32_t index, const uint8_t* key, TVLMKeyPath& path);
  // The children that may hold entries meeting "entry op key".
  void ChildRange(int32_t sessionID, uint8_t op, const uint8_t* key, int32_t& first, int32_t& last);
  // Descent for insert and delete: the child that takes or holds the pair.
  int32_t ChildForPair(int32_t sessionID, const uint8_t* key, const uint8_t* value);
};

// -------------------------------------------------------------- the page

// One B-tree page over a page of the page manager.
class TVLMBTreePage : public TVLMPageController {
public:
  // No page attached yet.
  TVLMBTreePage(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef);
  ~TVLMBTreePage() override = default;
  TVLMBTreePage(const TVLMBTreePage&) = delete;
  TVLMBTreePage& operator=(const TVLMBTreePage&) = delete;

  // ---- page life ----
  // A new page of the tree (page type 12), head cleared.
  static TVLMBTreePagePtr New(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef, int32_t sessionID);
  // The page, its head checked against the tree and the place (CheckHead).
  static TVLMBTreePagePtr Load(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef, int32_t sessionID,
                               int32_t pageNo, const TVLMBTreePlace& place = {});
  TVLMBTreePagePtr NewPage(int32_t sessionID) const { return New(PageManager, KeyRef, sessionID); }
  // A page object without a page, in a block of the page manager's
  // (TakeBlock); the deleter gives the block back.
  static TVLMBTreePagePtr Construct(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef);
  TVLMBTreePagePtr LoadPage(int32_t sessionID, int32_t pageNo, const TVLMBTreePlace& place) const {
    return Load(PageManager, KeyRef, sessionID, pageNo, place);
  }
  // A neighbour on this page's level, and a child of this page.
  TVLMBTreePlace SiblingPlace() const { return {Level_, LevelKnown_, static_cast<int8_t>(GetIsLeaf() ? 1 : 0)}; }
  TVLMBTreePlace ChildPlace() const { return {Level_ + 1, LevelKnown_, -1}; }
  // 10602 when the head cannot describe a page of this tree, 10603 when the
  // page does not fit place.
  void CheckHead(const TVLMBTreePlace& place) const;
  static void ReleasePage(TVLMBTreePagePtr& page) { page.reset(); }
  // The page is freed when the session commits.
  void FreePage(int32_t sessionID, int32_t pageNo) const;

  // The page's data area (TVLMPage::Data, without its out-of-line header
  // size call: entries are addressed in every comparison).
  uint8_t* Data() const { return Page->Buffer + PageManager->PageHeaderSize; }

  // ---- head ----
  bool GetIsRoot() const { return Data()[kVLMBTreeIsRootOffset] != 0; }
  void SetIsRoot(bool v) { Data()[kVLMBTreeIsRootOffset] = v ? 1 : 0; }
  bool GetIsLeaf() const { return Data()[kVLMBTreeIsLeafOffset] != 0; }
  void SetIsLeaf(bool v) { Data()[kVLMBTreeIsLeafOffset] = v ? 1 : 0; }
  int32_t GetPrevPageNo() const { return VLMGetI32LE(Data() + kVLMBTreePrevOffset); }
  void SetPrevPageNo(int32_t v) { VLMPutI32LE(Data() + kVLMBTreePrevOffset, v); }
  int32_t GetNextPageNo() const { return VLMGetI32LE(Data() + kVLMBTreeNextOffset); }
  void SetNextPageNo(int32_t v) { VLMPutI32LE(Data() + kVLMBTreeNextOffset, v); }
  void SetInitMark(uint8_t v) { Data()[kVLMBTreeInitMarkOffset] = v; }
  uint8_t GetHasExtra() const { return Data()[kVLMBTreeHasExtraOffset]; }
  void SetHasExtra(uint8_t v) { Data()[kVLMBTreeHasExtraOffset] = v; }
  uint16_t GetKeySize() const { return VLMGetU16LE(Data() + kVLMBTreeKeySizeOffset); }
  void SetKeySize(uint16_t v) { VLMPutU16LE(Data() + kVLMBTreeKeySizeOffset, v); }
  int32_t GetEntryCount() const { return VLMGetU16LE(Data() + kVLMBTreeEntryCountOffset); }
  void SetEntryCount(int32_t v) { VLMPutU16LE(Data() + kVLMBTreeEntryCountOffset, static_cast<uint16_t>(v)); }
  uint16_t GetVarAreaSize() const { return VLMGetU16LE(Data() + kVLMBTreeVarAreaOffset); }
  void SetVarAreaSize(uint16_t v) { VLMPutU16LE(Data() + kVLMBTreeVarAreaOffset, v); }

  static constexpr int32_t ExtraSize() { return kVLMBTreeExtraSize; }
  // 4 on a node, the key reference's value size on a leaf.
  int32_t ValueSize() const { return GetIsLeaf() ? KeyRef->ValueSize : kVLMBTreeNodeValueSize; }
  int32_t EntrySize() const { return GetKeySize() + ValueSize() + (GetHasExtra() != 0 ? kVLMBTreeExtraSize : 0); }
  int32_t EntriesOffset() const { return kVLMBTreeHeadSize + GetVarAreaSize(); }

  void ClearHead();
  // An empty root leaf with the key reference's key size.
  void InitEmptyRoot();

  uint8_t* EntryKey(int32_t index) const { return Data() + EntriesOffset() + index * EntrySize(); }
  uint8_t* EntryValue(int32_t index) const { return EntryKey(index) + GetKeySize(); }
  void SetEntryKey(int32_t index, const uint8_t* key);
  void GetEntryValue(int32_t index, uint8_t* value) const;
  // The child page number of node entry index.
  int32_t ChildPageNo(int32_t index) const { return VLMGetI32LE(EntryValue(index)); }

  // Source's head, then count of its entries from start; EntryCount = count.
  void CopyFrom(const TVLMBTreePage& source, int32_t start, int32_t count);
  void AppendFrom(const TVLMBTreePage& source, int32_t start, int32_t count);
  void PrependFrom(const TVLMBTreePage& source, int32_t start, int32_t count);
  // Room for one entry beyond the page size, so a full page can take the
  // entry that makes it split.
  void GrowByOneEntry();

  // ---- tree operations (to the leaf or the node controller) ----
  TVLMBTreePageController& Controller() {
    return GetIsLeaf() ? static_cast<TVLMBTreePageController&>(LeafController)
                       : static_cast<TVLMBTreePageController&>(NodeController);
  }
  int32_t CompareEntryValue(bool exact, const uint8_t* key, int32_t index, const uint8_t* value,
                            int32_t sessionID) {
    return Controller().CompareEntryValue(exact, key, index, value, sessionID);
  }
  void InsertEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) {
    Controller().InsertEntry(sessionID, key, path, value);
  }
  bool DeleteEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) {
    return Controller().DeleteEntry(sessionID, key, path, value);
  }
  void FreePages(int32_t sessionID, bool keepRoot) { Controller().FreePages(sessionID, keepRoot); }
  void CheckIntegrity(int32_t sessionID, TVLMKeyPath& path) { Controller().CheckIntegrity(sessionID, path); }
  bool FindEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) {
    return Controller().FindEntry(sessionID, key, path, value);
  }
  bool GoFirst(int32_t sessionID, TVLMKeyPath& path) { return Controller().GoFirst(sessionID, path); }
  bool GoLast(int32_t sessionID, TVLMKeyPath& path) { return Controller().GoLast(sessionID, path); }
  // The descents of an insert and of its duplicate check for a key above
  // every key of the tree (an ascending key, such as an autoincrement value):
  // one comparison per page, against its last entry, instead of a bisection.
  // On the root. AppendEntry inserts the pair as InsertEntry would and is
  // true, or changes nothing and is false when the key is not above every
  // key (the caller then takes InsertEntry). KeyAboveAll is true when the
  // key is above every key, so that no entry equals it; false answers
  // nothing.
  bool AppendEntry(int32_t sessionID, const uint8_t* key, TVLMKeyPath& path, const uint8_t* value) {
    return GetIsLeaf() ? LeafController.AppendEntry(sessionID, key, path, value)
                       : NodeController.AppendEntry(sessionID, key, path, value);
  }
  bool KeyAboveAll(int32_t sessionID, const uint8_t* key) {
    return GetIsLeaf() ? LeafController.KeyAboveAll(sessionID, key) : NodeController.KeyAboveAll(sessionID, key);
  }
  // False at once on a page without entries.
  bool FindByCondition(int32_t sessionID, bool forward, TVLMKeyPath& path, uint8_t op, const uint8_t* key) {
    if (GetEntryCount() == 0) return false;
    return Controller().FindByCondition(sessionID, forward, path, op, key);
  }
  bool GetFirstKey(int32_t sessionID, uint8_t* key) { return Controller().GetFirstKey(sessionID, key); }
  bool GetLastKey(int32_t sessionID, uint8_t* key) { return Controller().GetLastKey(sessionID, key); }
  bool GetFirstKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) {
    return Controller().GetFirstKeyAndValue(sessionID, key, value);
  }
  bool GetLastKeyAndValue(int32_t sessionID, uint8_t* key, uint8_t* value) {
    return Controller().GetLastKeyAndValue(sessionID, key, value);
  }
  // Node-only: 20020 / 20024 "Internal index error" on a leaf.
  void InsertEntryForChild(int32_t sessionID, const uint8_t* key, int32_t childPageNo, TVLMKeyPath& path);
  void DeleteEntryForChild(int32_t sessionID, bool mergedIntoPrevious, TVLMKeyPath& path);

  // Not owned.
  TVLMBTreeKeyRef* KeyRef;
  TVLMPageManager* PageManager;
  TVLMBTreeLeafController LeafController;
  TVLMBTreeNodeController NodeController;

private:
  int32_t Level_ = 0;  // from the place the page was loaded at
  bool LevelKnown_ = false;
};

// One entry on (forward) or back along a path, as the indexes walk their
// leaves: the deepest level that can move moves one entry; every deeper level
// moves to the neighbouring page of its level. False at either end of the
// tree. A path of depth 0 raises positionCode, a missing neighbour linkCode.
bool VLMStepKeyPath(TVLMPageManager* pageManager, TVLMBTreeKeyRef* keyRef, int32_t sessionID, TVLMKeyPath& path,
                    bool forward, int32_t positionCode, int32_t linkCode);

// ------------------------------------------------------------ page indexes

// A tree listing pages of one table in page-number order with one u16 per
// page (records held, or bytes used).
class TVLMBTreePageIndex {
public:
  explicit TVLMBTreePageIndex(TVLMPageManager* pageManager);
  virtual ~TVLMBTreePageIndex() = default;
  TVLMBTreePageIndex(const TVLMBTreePageIndex&) = delete;
  TVLMBTreePageIndex& operator=(const TVLMBTreePageIndex&) = delete;

  // Whether a page holding value can take needed more: value below the
  // bound for needed.
  bool HasRoom(int32_t value, int32_t needed) { return value < RoomBound(needed); }
  virtual int64_t RoomBound(int32_t needed) = 0;

  // A new empty tree; its root page number becomes RootPageNo.
  void CreateTree(int32_t sessionID);
  void DropTree(int32_t sessionID);
  // Frees every page but the root, which becomes an empty leaf again.
  void EmptyTree(int32_t sessionID);
  // For an existing tree whose root the caller keeps.
  void SetRootPageNo(int32_t pageNo) { RootPageNo = pageNo; }

  bool GoFirst(int32_t sessionID, TVLMKeyPath& path);
  bool GoLast(int32_t sessionID, TVLMKeyPath& path);
  bool NextEntry(int32_t sessionID, TVLMKeyPath& path);
  bool PriorEntry(int32_t sessionID, TVLMKeyPath& path);
  bool FindPage(int32_t sessionID, int32_t pageNo, TVLMKeyPath& path);
  uint16_t GetValueAt(int32_t sessionID, const TVLMKeyPath& path);
  void SetValueAt(int32_t sessionID, const TVLMKeyPath& path, uint16_t value);
  uint32_t GetPageNoAt(int32_t sessionID, const TVLMKeyPath& path);

  // Adds amount to the page's value (20106 when it has no room for it), or
  // lists the page with value amount.
  void AddToPage(int32_t sessionID, int32_t amount, int32_t pageNo);
  // The page's value becomes newValue (below 0: its value less amount); at 0
  // the page leaves the index.
  void RemoveFromPage(int32_t sessionID, int32_t amount, int32_t newValue, int32_t pageNo);
  // A page with room, looked for in the last and the first leaf only; found
  // (when given) receives the path to its entry, for AddToPageAt.
  bool FindPageWithRoom(int32_t sessionID, int32_t needed, int32_t& pageNo, TVLMKeyPath* found = nullptr);
  // AddToPage for a page whose entry path FindPageWithRoom just gave, with no
  // change of the index in between: the leaf is not searched again.
  void AddToPageAt(int32_t sessionID, const TVLMKeyPath& path, int32_t amount, int32_t pageNo);
  bool GetFirstPage(int32_t sessionID, int32_t& pageNo);
  bool GetLastPage(int32_t sessionID, int32_t& pageNo);
  bool GetNextPage(int32_t sessionID, int32_t pageNo, int32_t& next);
  bool GetPriorPage(int32_t sessionID, int32_t pageNo, int32_t& prior);
  // The page's value, -1 when it is not listed.
  int32_t GetPageValue(int32_t sessionID, int32_t pageNo);
  // Record recNo (from 0) of the table in page order: its page and its
  // position among the page's records.
  void RecNoToPage(int32_t sessionID, int32_t& pageNo, int32_t& position, int64_t recNo);
  // The values of all pages before pageNo, plus offset.
  void RecordsBefore(int32_t sessionID, int32_t pageNo, int64_t& count, int64_t offset);
  // 20292 when the values do not add up to expected.
  void CheckRecordCount(int32_t sessionID, int64_t expected);

  int32_t RootPageNo = -1;
  std::unique_ptr<TVLMPageKeyRef> KeyRef;
  // Not owned.
  TVLMPageManager* PageManager;

protected:
  TVLMBTreePagePtr LoadRoot(int32_t sessionID);
  // A leaf met on the leaf level's chain; 10604 when the chain comes back to
  // a page in visited.
  TVLMBTreePagePtr LoadChainLeaf(int32_t sessionID, int32_t pageNo, int32_t level, std::unordered_set<int32_t>& visited);
  TVLMBTreePagePtr LoadLeaf(int32_t sessionID, const TVLMKeyPath& path, int32_t depthCode);
  bool StepEntry(int32_t sessionID, TVLMKeyPath& path, bool forward);
  void InsertPage(int32_t sessionID, int32_t pageNo, uint16_t value);
};

// The table's record pages with the number of records each holds.
class TVLMBTreeRecordPageIndex : public TVLMBTreePageIndex {
public:
  using TVLMBTreePageIndex::TVLMBTreePageIndex;
  // value < MaxRecordsPerPage.
  int64_t RoomBound(int32_t needed) override;

  int32_t MaxRecordsPerPage = 0;
};

// The table's small-BLOB pages with the bytes each already uses.
class TVLMBTreeBlobPageIndex : public TVLMBTreePageIndex {
public:
  using TVLMBTreePageIndex::TVLMBTreePageIndex;
  // value + needed < page data size - 2 (the page's own count field).
  int64_t RoomBound(int32_t needed) override;
};
