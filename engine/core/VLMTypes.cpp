#include "engine/core/VLMTypes.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/os/System.h"

namespace {

// The growth and shrink rule shared by the engine arrays. Returns the new
// capacity; the caller resizes its storage when it differs.
template <class Int>
Int NextCapacity(Int newCount, Int count, Int capacity, Int& growthStep, Int& shrinkStep, Int maxStep) {
  if (newCount == 0) return 0;
  if (newCount > capacity) {
    growthStep = std::min<Int>(growthStep * 2, maxStep);
    const Int grown = capacity + growthStep;
    return grown > newCount ? grown : newCount;
  }
  if (newCount < count && capacity - newCount > shrinkStep) {
    shrinkStep = std::min<Int>(shrinkStep * 2, maxStep);
    return newCount;
  }
  return capacity;
}

int Ones(uint8_t b) { return std::popcount(b); }

[[noreturn]] void BadCount(int64_t n) {
  throw qv::EListError("List count out of bounds (" + std::to_string(n) + ")");
}
[[noreturn]] void BadIndex(int64_t i) {
  throw qv::EListError("List index out of bounds (" + std::to_string(i) + ")");
}

constexpr const char* kInvalidBitNo = "Invalid bit no = %d, number of bits = %d";

}  // namespace

// ---------------------------------------------------------- TVLMIntegerArray

TVLMIntegerArray::TVLMIntegerArray(int32_t initialCount, int32_t delta, int32_t maxDelta)
    : GrowthStep_(delta), ShrinkStep_(delta), MaxStep_(maxDelta) {
  SetSize(initialCount);
}

void TVLMIntegerArray::SetSize(int32_t newCount) {
  if (newCount < 0) BadCount(newCount);
  const int32_t capacity =
      NextCapacity<int32_t>(newCount, Count_, Capacity_, GrowthStep_, ShrinkStep_, MaxStep_);
  if (capacity != Capacity_) {
    if (capacity == 0) {
      std::vector<int32_t>().swap(Items_);
    } else if (capacity > Capacity_) {
      // The vector grows geometrically underneath: a small step (the page
      // lists of a transaction grow ten places at a time) must not copy the
      // whole array on every step.
      Items_.resize(static_cast<size_t>(capacity));
    } else {
      Items_.resize(static_cast<size_t>(capacity));
      Items_.shrink_to_fit();
    }
    Capacity_ = capacity;
  }
  Count_ = newCount;
}

void TVLMIntegerArray::Append(int32_t value) {
  SetSize(Count_ + 1);
  Items_[static_cast<size_t>(Count_ - 1)] = value;
}

void TVLMIntegerArray::Delete(int32_t index) {
  if (index < 0 || index >= Count_) BadIndex(index);
  if (index < Count_ - 1)
    std::memmove(&Items_[static_cast<size_t>(index)], &Items_[static_cast<size_t>(index) + 1],
                 static_cast<size_t>(Count_ - 1 - index) * sizeof(int32_t));
  --Count_;
  SetSize(Count_);
}

bool TVLMIntegerArray::Contains(int32_t value) const {
  return std::find(Items_.begin(), Items_.begin() + Count_, value) != Items_.begin() + Count_;
}

// --------------------------------------------- compressed BLOB block headers

void TVLMCompressedStreamBlockHeadersArray::SetCount(int64_t newCount) {
  if (newCount < 0) BadCount(newCount);
  const int64_t capacity =
      NextCapacity<int64_t>(newCount, Count_, Capacity_, GrowthStep_, ShrinkStep_, MaxStep_);
  if (capacity != Capacity_) {
    Headers_.resize(static_cast<size_t>(capacity));
    Positions_.resize(static_cast<size_t>(capacity));
    Headers_.shrink_to_fit();
    Positions_.shrink_to_fit();
    Capacity_ = capacity;
  }
  Count_ = newCount;
}

void TVLMCompressedStreamBlockHeadersArray::Append(const TVLMCompressedBlockHeader& header,
                                                   int64_t position) {
  SetCount(Count_ + 1);
  Headers_[static_cast<size_t>(Count_ - 1)] = header;
  Positions_[static_cast<size_t>(Count_ - 1)] = position;
}

void TVLMCompressedStreamBlockHeadersArray::CheckIndex(int64_t i) const {
  if (i < 0 || i >= Count_) BadIndex(i);
}

TVLMCompressedBlockHeader& TVLMCompressedStreamBlockHeadersArray::Headers(int64_t i) {
  CheckIndex(i);
  return Headers_[static_cast<size_t>(i)];
}

int64_t& TVLMCompressedStreamBlockHeadersArray::Positions(int64_t i) {
  CheckIndex(i);
  return Positions_[static_cast<size_t>(i)];
}

// ------------------------------------------------------------- TVLMBitsArray

TVLMBitsArray::~TVLMBitsArray() {
  if (Bits_ != nullptr) {
    try {
      VLMMemoryManager().FreeMem(Bits_);
    } catch (...) {
      // The block is released even when its guard was damaged.
    }
  }
}

void TVLMBitsArray::ClearUnusedBits() {
  const int32_t used = BitCount_ % 8;
  if (Bits_ != nullptr && used != 0)
    Bits_[BitCount_ / 8] &= static_cast<uint8_t>((1u << used) - 1);
}

void TVLMBitsArray::SetSize(int64_t bitCount) {
  if (bitCount < 0 || bitCount > INT32_MAX) BadCount(bitCount);
  TVLMMemoryManager& mm = VLMMemoryManager();
  if (bitCount == 0) {
    if (Bits_ != nullptr) mm.FreeMem(Bits_);
    BitCount_ = 0;
    SetCount_ = 0;
    return;
  }
  const int64_t bytes = (bitCount + 7) / 8;
  const int64_t used = ByteCount();
  if (Bits_ == nullptr) {
    Bits_ = static_cast<uint8_t*>(mm.AllocMem(bytes));
  } else {
    // The block grows by half again at the least and shrinks only to a
    // quarter: a bitmap grown a record at a time (a search marking its
    // matches) is copied a few times, not once every eight records. The
    // bytes past the used ones stay 0.
    const int64_t capacity = mm.GetMemSize(Bits_);
    if (bytes > capacity)
      mm.ReallocMemAndClear(Bits_, std::max(bytes, capacity + capacity / 2));
    else if (bytes < capacity / 4)
      mm.ReallocMemAndClear(Bits_, bytes);
    else if (bytes < used)
      std::memset(Bits_ + bytes, 0, static_cast<size_t>(used - bytes));
  }
  const bool shrinking = bitCount < BitCount_;
  BitCount_ = static_cast<int32_t>(bitCount);
  if (shrinking) {
    ClearUnusedBits();
    SetCount_ = CountSetBits();
  }
}

bool TVLMBitsArray::GetBit(int64_t bitNo) const {
  if (bitNo < 0 || bitNo >= BitCount_) throw EVLMException(10394, kInvalidBitNo, {bitNo, BitCount_});
  return VLMGetBit(bitNo, Bits_);
}

void TVLMBitsArray::SetBit(int64_t bitNo, bool value) {
  if (bitNo < 0 || bitNo >= BitCount_) throw EVLMException(10395, kInvalidBitNo, {bitNo, BitCount_});
  if (VLMGetBit(bitNo, Bits_) == value) return;
  SetCount_ += value ? 1 : -1;
  VLMSetBit(value, bitNo, Bits_);
}

void TVLMBitsArray::SetAll() {
  if (BitCount_ == 0) return;
  std::memset(Bits_, 0xFF, static_cast<size_t>(ByteCount()));
  ClearUnusedBits();
  SetCount_ = BitCount_;
}

bool TVLMBitsArray::FindFirst(bool value, int64_t& bitNo) const {
  const int64_t bytes = ByteCount();
  const uint8_t skip = value ? 0x00 : 0xFF;  // a byte with no bit of interest
  for (int64_t i = 0; i < bytes; ++i) {
    if (Bits_[i] == skip) continue;
    for (int b = 0; b < 8; ++b) {
      const int64_t n = i * 8 + b;
      if (n >= BitCount_) return false;
      if (((Bits_[i] >> b) & 1) == (value ? 1 : 0)) {
        bitNo = n;
        return true;
      }
    }
  }
  return false;
}

bool TVLMBitsArray::FindSetBit(bool first, bool forward, int64_t current, int64_t& bitNo) const {
  int64_t i;
  if (first)
    i = forward ? 0 : static_cast<int64_t>(BitCount_) - 1;
  else if (__builtin_add_overflow(current, forward ? 1 : -1, &i))
    return false;
  if (i < 0 || i >= BitCount_) return false;
  // Runs of eight zero bytes are skipped a word at a time, then single zero
  // bytes; bits beyond BitCount are always 0.
  const int64_t bytes = ByteCount();
  auto zeroWord = [&](int64_t at) {
    uint64_t word = 0;
    std::memcpy(&word, Bits_ + at, sizeof word);
    return word == 0;
  };
  int64_t byteNo = i / 8;
  const int bit = static_cast<int>(i % 8);
  // The byte's bits from i on (forward) or up to i (backward).
  unsigned byte = Bits_[byteNo] & (forward ? 0xFFu << bit : 0xFFu >> (7 - bit));
  while (byte == 0) {
    if (forward) {
      ++byteNo;
      while (byteNo + 8 <= bytes && zeroWord(byteNo)) byteNo += 8;
      if (byteNo >= bytes) return false;
    } else {
      --byteNo;
      while (byteNo >= 7 && zeroWord(byteNo - 7)) byteNo -= 8;
      if (byteNo < 0) return false;
    }
    byte = Bits_[byteNo];
  }
  bitNo = byteNo * 8 + (forward ? std::countr_zero(byte) : std::bit_width(byte) - 1);
  return true;
}

int64_t TVLMBitsArray::BitNoOfSetBit(int64_t n) const {
  if (n < 0 || n >= SetCount_) throw EVLMException(10428, kInvalidBitNo, {n, SetCount_});
  if (SetCount_ == BitCount_) return n;
  const int64_t bytes = ByteCount();
  int64_t total = 0;
  for (int64_t i = 0; i < bytes; ++i) {
    const int ones = Ones(Bits_[i]);
    if (total + ones <= n) {
      total += ones;
      continue;
    }
    for (int b = 0; b < 8; ++b) {
      if ((Bits_[i] >> b) & 1) {
        if (total == n) return i * 8 + b;
        ++total;
      }
    }
  }
  // Unreachable while SetCount matches the bits (invariant 1).
  throw EVLMException(10428, kInvalidBitNo, {n, SetCount_});
}

int64_t TVLMBitsArray::SetBitsUpTo(int64_t bitNo) const {
  if (bitNo < 0 || bitNo >= BitCount_) throw EVLMException(10429, kInvalidBitNo, {bitNo, BitCount_});
  if (SetCount_ == BitCount_) return bitNo;
  int64_t result = -1;
  const int64_t lastByte = bitNo / 8;
  for (int64_t i = 0; i < lastByte; ++i) result += Ones(Bits_[i]);
  const int b = static_cast<int>(bitNo % 8);
  const auto mask = static_cast<uint8_t>((2u << b) - 1);  // bits 0 .. b
  return result + Ones(static_cast<uint8_t>(Bits_[lastByte] & mask));
}

int32_t TVLMBitsArray::CountSetBits() const {
  int64_t total = 0;
  const int64_t bytes = ByteCount();
  for (int64_t i = 0; i < bytes; ++i) total += Ones(Bits_[i]);
  return static_cast<int32_t>(total);  // bits past BitCount are 0 (invariant 2)
}

void TVLMBitsArray::SaveToStream(qv::Stream& stream) const {
  uint8_t field[4];
  VLMPutI32LE(field, BitCount_);
  VLMWriteStreamBuffer(field, 4, stream, 10398);
  VLMPutI32LE(field, SetCount_);
  VLMWriteStreamBuffer(field, 4, stream, 10427);
  if (BitCount_ > 0) {
    if (Bits_ == nullptr) throw EVLMException(10399, "Nil pointer occured");
    VLMWriteStreamBuffer(Bits_, ByteCount(), stream, 10400);
  }
}

void TVLMBitsArray::LoadFromStream(qv::Stream& stream) {
  uint8_t field[4];
  VLMReadStreamBuffer(field, 4, stream, 10401);
  const int32_t bitCount = VLMGetI32LE(field);
  VLMReadStreamBuffer(field, 4, stream, 10426);
  if (bitCount < 0)
    throw EVLMException(10401, "Cannot read from stream. Invalid number of bits = %d", {bitCount});
  const int64_t bytes = (static_cast<int64_t>(bitCount) + 7) / 8;
  // A count larger than what the stream still holds fails before memory for
  // it is taken.
  const int64_t position = stream.Position();
  const int64_t left = stream.Size() - position;
  if (bytes > left)
    throw EVLMException(10402,
                        "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, "
                        "Bytes Read = %d",
                        {position, stream.Size(), bytes, std::max<int64_t>(left, 0)});
  SetSize(0);
  SetSize(bitCount);
  if (bitCount > 0) {
    VLMReadStreamBuffer(Bits_, bytes, stream, 10402);
    ClearUnusedBits();
  }
  SetCount_ = CountSetBits();
}

void VLMSetBit(bool value, int64_t bitNo, void* buffer) {
  uint8_t& byte = static_cast<uint8_t*>(buffer)[bitNo / 8];
  const auto mask = static_cast<uint8_t>(1u << (bitNo % 8));
  if (value)
    byte |= mask;
  else
    byte &= static_cast<uint8_t>(~mask);
}

std::string VLMNewGUIDName(std::string_view prefix) {
  std::string name(prefix);
  name += qv::NewGuidString();
  return name;
}

// ---------------------------------------------------------- TVLMRecordBitmap

TVLMRecordBitmap::TVLMRecordBitmap(TVLMRecordNumbering* tableData) : TableData_(tableData) {
  if (tableData == nullptr) throw EVLMException(10425, "Nil pointer occured");
}

void TVLMRecordBitmap::SetBitCount(int64_t count) { Bits_.SetSize(count); }

bool TVLMRecordBitmap::IsOutdated() const {
  return TableData_->GetChangeStamp() != static_cast<uint32_t>(Stamp);
}

int64_t TVLMRecordBitmap::GetRecNoOfRecordID(const TVLMRecordID& recordID) const {
  return GetRecNoOfRecordNo(TableData_->RecordIDToRecordNo(recordID));
}

int64_t TVLMRecordBitmap::GetRecNoOfRecordNo(int64_t recordNo) const {
  if (recordNo < 0 || recordNo >= Bits_.BitCount()) return -1;
  return Bits_.SetBitsUpTo(recordNo) + 1;
}

void TVLMRecordBitmap::GetRecordIDOfRecNo(TVLMRecordID& recordID, int64_t recNo) const {
  TableData_->RecordNoToRecordID(Bits_.BitNoOfSetBit(recNo - 1), recordID);
}

void TVLMRecordBitmap::GotoRecNo(int32_t indexID, TVLMKeyPath& position, int64_t recNo) const {
  TableData_->RecordNoToIndexPosition(indexID, position, Bits_.BitNoOfSetBit(recNo - 1));
}

bool TVLMRecordBitmap::ContainsRecord(int32_t indexID, const TVLMKeyPath& position) const {
  const int64_t recordNo = TableData_->IndexPositionToRecordNo(indexID, position);
  if (recordNo < 0 || recordNo >= Bits_.BitCount()) return false;
  return Bits_.GetBit(recordNo);
}

void TVLMRecordBitmap::SetRecordBit(int64_t recordNo, bool value) {
  if (recordNo >= Bits_.BitCount()) Bits_.SetSize(recordNo + 1);
  Bits_.SetBit(recordNo, value);
}

void TVLMRecordBitmap::IncludeRecord(const TVLMRecordID& recordID) {
  if (ResetOnChange) {
    Reset();
    return;
  }
  SetRecordBit(TableData_->RecordIDToRecordNo(recordID), true);
}

void TVLMRecordBitmap::ExcludeRecord(const TVLMRecordID& recordID) {
  if (ResetOnChange) {
    Reset();
    return;
  }
  SetRecordBit(TableData_->RecordIDToRecordNo(recordID), false);
}

void TVLMRecordBitmap::IncludeRecordAt(int32_t indexID, const TVLMKeyPath& position) {
  SetRecordBit(TableData_->IndexPositionToRecordNo(indexID, position), true);
}

void TVLMRecordBitmap::ExcludeRecordAt(int32_t indexID, const TVLMKeyPath& position) {
  SetRecordBit(TableData_->IndexPositionToRecordNo(indexID, position), false);
}

void TVLMRecordBitmap::Reset() {
  Filled = false;
  LastRecordNo = -1;
  Bits_.SetSize(0);
}

bool TVLMRecordBitmap::FindRecord(bool first, bool forward, TVLMRecordID& recordID,
                                  const TVLMRecordID& currentRecordID) const {
  const int64_t current = first ? 0 : TableData_->RecordIDToRecordNo(currentRecordID);
  int64_t found = 0;
  if (!Bits_.FindSetBit(first, forward, current, found)) return false;
  TableData_->RecordNoToRecordID(found, recordID);
  return true;
}

bool TVLMRecordBitmap::GotoNextRecord(bool first, bool forward, int32_t indexID,
                                      TVLMKeyPath& newPosition,
                                      const TVLMKeyPath& currentPosition) const {
  const int64_t current = first ? 0 : TableData_->IndexPositionToRecordNo(indexID, currentPosition);
  int64_t found = 0;
  return GotoNextRecordNo(first, forward, indexID, newPosition, current, found);
}

bool TVLMRecordBitmap::GotoNextRecordNo(bool first, bool forward, int32_t indexID, TVLMKeyPath& newPosition,
                                        int64_t current, int64_t& found) const {
  if (!Bits_.FindSetBit(first, forward, current, found)) return false;
  TableData_->RecordNoToIndexPosition(indexID, newPosition, found);
  return true;
}

// ---------------------------------------------------- scan search conditions

TVLMScanConditionSource::TVLMScanConditionSource(TVLMExpression* expression, TVLMExprNode* node)
    : Expression(expression), Node(node) {}
TVLMScanConditionSource::TVLMScanConditionSource(TVLMScanConditionSource&&) noexcept = default;
TVLMScanConditionSource& TVLMScanConditionSource::operator=(TVLMScanConditionSource&&) noexcept = default;
TVLMScanConditionSource::~TVLMScanConditionSource() = default;

TVLMScanSearchCondition::TVLMScanSearchCondition(bool keyBufferNotOwned) : KeyBufferNotOwned(keyBufferNotOwned) {}

TVLMScanSearchCondition::~TVLMScanSearchCondition() { FreeKeyBuffer(); }

void TVLMScanSearchCondition::FreeKeyBuffer() {
  if (KeyBufferNotOwned || KeyBuffer == nullptr) return;
  VLMMemoryManager().FreeMem(KeyBuffer);
}

void TVLMScanSearchCondition::Assign(const TVLMScanSearchCondition& source) {
  if (&source == this) return;
  // The copy is taken before anything here changes, so a failed allocation
  // leaves this condition as it was.
  uint8_t* copy = nullptr;
  if (source.KeyBuffer != nullptr && source.KeyBufferSize > 0) {
    copy = static_cast<uint8_t*>(VLMMemoryManager().GetMem(source.KeyBufferSize));
    std::memcpy(copy, source.KeyBuffer, static_cast<size_t>(source.KeyBufferSize));
  }
  FreeKeyBuffer();
  KeyBuffer = copy;
  KeyBufferNotOwned = false;
  Operator = source.Operator;
  KeyBufferSize = source.KeyBufferSize;
  KeyFieldCount = source.KeyFieldCount;
  IndexID = source.IndexID;
  Expression = source.Expression;
  IndexCondition = source.IndexCondition;
  PartialKey = source.PartialKey;
  Sources.clear();
  for (const TVLMScanConditionSource& s : source.Sources) Sources.emplace_back(s.Expression, s.Node);
}

TVLMScanSearchConditionArray::~TVLMScanSearchConditionArray() = default;

void TVLMScanSearchConditionArray::CheckItemNo(int32_t itemNo) const {
  if (itemNo < 0 || itemNo >= GetCount())
    throw EVLMException(10413, "Invalid item number - ItemNo = %d, ItemCount = %d", {itemNo, GetCount()});
}

TVLMScanSearchCondition& TVLMScanSearchConditionArray::GetItem(int32_t itemNo) const {
  CheckItemNo(itemNo);
  return *Items_[static_cast<size_t>(itemNo)];
}

void TVLMScanSearchConditionArray::Add(const TVLMScanSearchCondition& condition) {
  if (condition.Expression == nullptr && condition.IndexID == -1)
    throw EVLMException(10388, "Invalid scan condition - indexID = %d, count = %d", {condition.IndexID, GetCount()});
  auto item = std::make_unique<TVLMScanSearchCondition>();
  item->Assign(condition);
  Items_.push_back(std::move(item));
}

void TVLMScanSearchConditionArray::AddExpression(TVLMExpression* expression) {
  auto item = std::make_unique<TVLMScanSearchCondition>();
  item->Expression = expression;
  Items_.push_back(std::move(item));
}

void TVLMScanSearchConditionArray::Delete(int32_t itemNo) {
  CheckItemNo(itemNo);
  Items_.erase(Items_.begin() + itemNo);
}

void TVLMScanSearchConditionArray::BuildIndexConditions(const TVLMIndexDefs& indexDefs, int32_t sessionID) {
  std::vector<TVLMExpression*> expressions;
  for (const auto& item : Items_)
    if (item->Expression != nullptr) expressions.push_back(item->Expression);
  // Conditions are appended while the expressions are walked; the list
  // above keeps the walk to the items there were before.
  for (TVLMExpression* expression : expressions) expression->CollectScanConditions(*this, indexDefs, sessionID);
  if (expressions.empty()) return;
  for (int32_t i = 0; i < GetCount(); ++i) {
    const TVLMScanSearchCondition& item = *Items_[static_cast<size_t>(i)];
    if (item.Expression != nullptr) continue;
    const TVLMIndexDef* indexDef = dynamic_cast<const TVLMIndexDef*>(indexDefs.FindByObjectID(item.IndexID));
    if (indexDef != nullptr) ExtendIndexCondition(i, *indexDef, expressions);
  }
}

void TVLMScanSearchConditionArray::ExtendIndexCondition(int32_t itemNo, const TVLMIndexDef& indexDef,
                                                        const std::vector<TVLMExpression*>& expressions) {
  TVLMScanSearchCondition& condition = GetItem(itemNo);
  if (indexDef.GetColumnCount() < 2) return;
  // Each successful pass adds one key field and starts again from the first
  // expression; a pass that adds nothing ends the loop.
  for (bool grown = true; grown;) {
    grown = false;
    for (TVLMExpression* expression : expressions) {
      if (expression->HasScanCondition(condition, indexDef)) {
        grown = true;
        break;
      }
    }
  }
}

void TVLMScanSearchConditionArray::RemoveIndexConditions(int32_t& keep1, int32_t& keep2) {
  for (int32_t i = 0; i < GetCount() - 1;) {
    if (i == keep1 || i == keep2 || !Items_[static_cast<size_t>(i)]->IndexCondition) {
      ++i;
      continue;
    }
    Delete(i);
    if (keep1 > i) --keep1;
    if (keep2 > i) --keep2;
    i = 0;
  }
}

void TVLMScanSearchConditionArray::DetachUsedConjuncts(int32_t keep1, int32_t keep2) {
  for (size_t i = 0; i < Items_.size(); ++i) {
    TVLMExpression* expression = Items_[i]->Expression;
    if (expression != nullptr) expression->RemoveCoveredConditions(*this, keep1, keep2);
  }
}

void TVLMScanSearchConditionArray::RestoreUsedConjuncts() noexcept {
  // The conjunct taken out last goes back first, so every one finds the
  // place it left. Found by search rather than sorted: this must not
  // allocate, as it runs while an exception unwinds.
  while (true) {
    TVLMScanConditionSource* last = nullptr;
    for (const auto& item : Items_)
      for (TVLMScanConditionSource& source : item->Sources)
        if (source.Detached && (last == nullptr || source.DetachedOrder > last->DetachedOrder)) last = &source;
    if (last == nullptr) return;
    try {
      last->Expression->InsertNode(std::move(last->Detached), last->DetachedPosition);
    } catch (...) {
      last->Detached.reset();
    }
  }
}

TVLMDetachedConjuncts::TVLMDetachedConjuncts(TVLMScanSearchConditionArray& conditions, int32_t keep1,
                                             int32_t keep2)
    : Conditions_(conditions) {
  auto restore = qv::ScopeExit([&] { Conditions_.RestoreUsedConjuncts(); });
  Conditions_.DetachUsedConjuncts(keep1, keep2);
  restore.Release();
}

TVLMDetachedConjuncts::~TVLMDetachedConjuncts() { Conditions_.RestoreUsedConjuncts(); }
