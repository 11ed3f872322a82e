// Small containers the engine builds on:
//   TVLMIntegerArray                        growable array of i32 with a
//                                           stepped growth and shrink rule
//   TVLMCompressedStreamBlockHeadersArray   the block headers of one
//                                           compressed BLOB value
//   TVLMBitsArray                           bits with a running count of set
//                                           bits, rank and select
//   TVLMRecordBitmap                        the records of a table that pass
//                                           a cursor's filter, one bit each
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
// rank and select out of range.
#pragma once

#include <cstdint>
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
bool VLMGetBit(int64_t bitNo, const void* buffer);
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

  TVLMBitsArray& Bits() { return Bits_; }
  const TVLMBitsArray& Bits() const { return Bits_; }
  TVLMRecordNumbering* TableData() const { return TableData_; }

  // A complete result is held (set by the search that fills it).
  bool Filled = false;
  // Numbered in a navigation index's order: record-ID changes empty it.
  bool ResetOnChange = false;
  // The change stamp noted when the bitmap was prepared; -1 after creation.
  int32_t Stamp = -1;

private:
  void SetRecordBit(int64_t recordNo, bool value);

  TVLMBitsArray Bits_;
  TVLMRecordNumbering* TableData_;
};
