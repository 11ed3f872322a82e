// VLMBTree, keys part: key paths with their approximate positions, and the
// key references that make, size and compare the keys of the trees. The key
// layout is described in VLMBTree.h.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMBTree.h"
#include "platform/os/Collation.h"

namespace {

// Bytes after the fields of a record buffer: the 6-byte bookmark and a flag.
constexpr int32_t kRecordBookmarkArea = 7;

// Types compared by the fixed collation (byte strings as 8-bit text).
bool IsCollatedText(TVLMBaseDataType type) { return VLMIsStringBaseType(type) || type == bdtBytes; }

// How many base letters of a prefix of `units` code units order keys. The
// order of the full values (the fixed collation) goes by base letters
// first, so keys may go by those the prefix is sure to show: the ones that
// come before its last character, which may join what follows it. A
// character takes at most two units per base letter (a surrogate pair, a
// letter and a combining mark, an 'l' and a middle dot joined to it), so
// the units before the last show at least half as many. Prefixes that show
// fewer (characters the collation ignores, such as control characters and
// the soft hyphen, or several marks on one letter) still order their keys
// consistently by what they show, which may put such a key before one whose
// full value it would follow.
size_t SureBaseLetters(int32_t units) { return units > 0 ? static_cast<size_t>(units - 1) / 2 : 0; }

// The text of a prefix part: up to its terminator, else all of the prefix;
// then cut to limit characters (-1: no limit). open: the value fills the
// prefix and the comparison would reach behind it.
std::string_view AnsiPrefix(const uint8_t* value, int32_t prefixBytes, int32_t limit, bool& open) {
  const auto* zero = static_cast<const uint8_t*>(std::memchr(value, 0, static_cast<size_t>(prefixBytes)));
  auto n = static_cast<size_t>(zero != nullptr ? zero - value : prefixBytes);
  open = zero == nullptr;
  if (limit >= 0 && static_cast<size_t>(limit) <= n) {
    n = static_cast<size_t>(limit);
    open = false;
  }
  return {reinterpret_cast<const char*>(value), n};
}

// The same for UTF-16 text, in whole 16-bit units, read through an aligned
// copy (a key part may start at an odd address).
std::u16string_view WidePrefix(const uint8_t* value, int32_t prefixBytes, int32_t limit, std::vector<char16_t>& copy,
                               bool& open) {
  const auto units = static_cast<size_t>(prefixBytes / 2);
  copy.resize(std::max<size_t>(units, 1));
  if (units > 0) std::memcpy(copy.data(), value, units * 2);
  auto n = static_cast<size_t>(std::find(copy.data(), copy.data() + units, u'\0') - copy.data());
  open = n == units;
  if (limit >= 0 && static_cast<size_t>(limit) <= n) {
    n = static_cast<size_t>(limit);
    open = false;
  }
  return {copy.data(), n};
}

}  // namespace

// ---------------------------------------------------------------- key path

void TVLMKeyPath::Clear() {
  Depth = 0;
  Current = 0;
}

void TVLMKeyPath::Assign(const TVLMKeyPath& source) {
  if (&source == this) return;
  std::copy(std::begin(source.Levels), std::end(source.Levels), std::begin(Levels));
  Depth = source.Depth;
  Current = source.Current;
  Extra1 = source.Extra1;
  Extra2 = source.Extra2;
}

void TVLMKeyPath::Push(int32_t pageNo, int32_t entryNo, int32_t entryCount) {
  if (Current < 0 || Current >= kMaxDepth)
    throw EVLMException(20340, "Index key path is too deep. Level = %d", {Current});
  Levels[Current] = {pageNo, entryNo, entryCount};
  ++Current;
  ++Depth;
}

void TVLMKeyPath::Pop() {
  if (Depth > 0) --Depth;
  if (Current > 0) --Current;
}

int32_t TVLMKeyPath::CurrentPageNo() const {
  if (Current < 0 || Current >= kMaxDepth) return -1;
  return Levels[Current].PageNo;
}

bool TVLMKeyPath::ContainsPage(int32_t pageNo) const {
  for (int32_t i = 0; i < Depth && i < kMaxDepth; ++i)
    if (Levels[i].PageNo == pageNo) return true;
  return false;
}

int32_t TVLMKeyPath::ComparePaths(const TVLMKeyPath& other) const {
  if (Depth != other.Depth) throw EVLMException(20051, "Invalid index key path");
  for (int32_t i = 0; i < Depth; ++i) {
    if (Levels[i].PageNo != other.Levels[i].PageNo) throw EVLMException(20052, "Invalid index key path");
    if (other.Levels[i].EntryNo > Levels[i].EntryNo) return -1;
    if (other.Levels[i].EntryNo < Levels[i].EntryNo) return 1;
  }
  return 0;
}

double TVLMKeyPath::GetPositionFraction() const {
  // Doubles hold every realistic product exactly (a tree of 32 levels of
  // several hundred entries would not); the result is a fraction anyway.
  double position = 0;
  double scale = 1;
  for (int32_t level = Depth - 1; level >= 0; --level) {
    position += static_cast<double>(Levels[level].EntryNo) * scale;
    scale *= static_cast<double>(Levels[level].EntryCount);
  }
  if (scale <= 0) return 0;
  return position / scale;
}

int64_t TVLMKeyPath::GetApproxPosition(int32_t fanOut) const {
  if (Depth == 0) return 0;
  if (fanOut < 1) throw EVLMException(20341, "Invalid approximate index position. Depth = %d, FanOut = %d", {Depth, fanOut});
  const int64_t base = static_cast<int64_t>(fanOut) + 1;
  int64_t position = 0;
  int64_t weight = 1;
  for (int32_t level = Depth - 1; level >= 0; --level) {
    int64_t digit = static_cast<int64_t>(Levels[level].EntryNo) + 1;
    int64_t term = 0;
    if (__builtin_mul_overflow(digit, weight, &term) || __builtin_add_overflow(position, term, &position) ||
        (level > 0 && __builtin_mul_overflow(weight, base, &weight)))
      throw EVLMException(20341, "Invalid approximate index position. Depth = %d, FanOut = %d", {Depth, fanOut});
  }
  return position;
}

void TVLMKeyPath::SetApproxPosition(int64_t position, int32_t fanOut) {
  Clear();
  if (position < 1) return;
  if (fanOut < 1)
    throw EVLMException(20342, "Invalid approximate index position. Position = %d, FanOut = %d",
                        {static_cast<long long>(position), fanOut});
  const int64_t base = static_cast<int64_t>(fanOut) + 1;
  int64_t digits[kMaxDepth];
  int32_t count = 0;
  for (int64_t rest = position; rest > 0; rest /= base) {
    if (count == kMaxDepth)
      throw EVLMException(20342, "Invalid approximate index position. Position = %d, FanOut = %d",
                          {static_cast<long long>(position), fanOut});
    digits[count++] = rest % base;
  }
  Depth = count;
  // The k-th digit from the least significant (k from 1) is level Depth - k.
  for (int32_t k = 1; k <= count; ++k)
    Levels[count - k] = {-1, static_cast<int32_t>(digits[k - 1] - 1), 0};
}

// ---------------------------------------------------------- key references

void TVLMBTreeKeyRef::SetPartCount(int32_t count) {
  Parts.resize(static_cast<size_t>(std::max(count, 0)));
  PartCount = static_cast<int32_t>(Parts.size());
}

int32_t TVLMBTreeKeyRef::CompareValues(const uint8_t* value1, const uint8_t* value2, int32_t size) {
  if (size == kVLMRecordIDSize) {
    const TVLMRecordID a = VLMGetRecordID(value1);
    const TVLMRecordID b = VLMGetRecordID(value2);
    const auto pageA = static_cast<int32_t>(a.Page);
    const auto pageB = static_cast<int32_t>(b.Page);
    if (pageA != pageB) return pageA < pageB ? -1 : 1;
    if (a.Row != b.Row) return a.Row < b.Row ? -1 : 1;
    return 0;
  }
  if (size < 1) return 0;
  const int r = std::memcmp(value1, value2, static_cast<size_t>(size));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

uint8_t* TVLMBTreeKeyRef::AllocKey() const {
  return static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(KeySize, 1)));
}

uint8_t* TVLMBTreeKeyRef::AllocFullKey() const {
  return static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(FullKeySize, 1)));
}

void TVLMBTreeKeyRef::FreeKey(uint8_t*& key) const {
  if (key != nullptr) VLMMemoryManager().FreeMem(key);
}

// ------------------------------------------------------- record key reference

void TVLMRecordKeyRef::SetPartCount(int32_t count) {
  TVLMBTreeKeyRef::SetPartCount(count);
  PartLimits.assign(Parts.size(), -1);
}

bool TVLMRecordKeyRef::TiesSettledInFull() const {
  return HasPrefixParts() && std::all_of(PartLimits.begin(), PartLimits.end(), [](int32_t l) { return l < 0; });
}

void TVLMRecordKeyRef::Build(const TVLMIndexDef& indexDef, TVLMKeyTableAccess* tableData) {
  if (tableData == nullptr) throw EVLMException(20044, "Pointer is nil");
  TVLMFieldDefs* fieldDefs = tableData->GetIndexedFieldDefs();
  if (fieldDefs == nullptr) throw EVLMException(20045, "Pointer is nil");
  TableData = tableData;
  RecordBuffer = nullptr;
  SetPartCount(indexDef.GetColumnCount());
  int32_t keySize = 0;
  int32_t fullKeySize = 0;
  for (int32_t i = 0; i < indexDef.GetColumnCount(); ++i) {
    const TVLMIndexColumn& column = indexDef.GetColumn(i);
    const int32_t fieldNo = fieldDefs->IndexOfName(column.Name);
    if (fieldNo < 0) throw EVLMException(20043, "Cannot find index field '%s'", {column.Name});
    const TVLMFieldDef* field = fieldDefs->GetFieldDef(fieldNo);
    if (VLMIsBLOBBaseType(field->BaseType))
      throw EVLMException(20295,
                          "Cannot index BLOB field '%s'. Direct indexing of BLOB fields is not supported yet, "
                          "please use CAST(blob_field, string) function to convert BLOB field to a string "
                          "expression before indexing.",
                          {column.Name});
    TVLMKeyPart& part = Parts[static_cast<size_t>(i)];
    part.KeyOffset = keySize;
    part.FullKeyOffset = fullKeySize;
    part.RecordOffset = field->BufferOffset;
    part.FieldNo = fieldNo;
    part.DataType = field->BaseType;
    part.Descending = column.Descending ? 1 : 0;
    part.CaseInsensitive = column.CaseInsensitive ? 1 : 0;
    // A limit of 0 (a definition that never set one) would make every text
    // key equal; it means the default.
    const int32_t limit = column.LengthLimit > 0 ? column.LengthLimit : kVLMDefaultKeyLengthLimit;
    // Only text and byte strings are cut to a prefix: a part of a number is
    // no number, and its comparison would read past the part.
    const bool cuttable = VLMIsStringBaseType(field->BaseType) || field->BaseType == bdtBytes ||
                          field->BaseType == bdtVarBytes;
    if (cuttable && limit < field->DataSize) {
      part.TruncBytes = kVLMKeyPrefixTruncBytes;
      part.PartSize = limit + kVLMKeyPrefixTruncBytes + 1;
    } else {
      part.TruncBytes = 0;
      part.PartSize = field->DataSize + 1;
    }
    part.FullPartSize = field->DataSize + 1;
    keySize += part.PartSize;
    fullKeySize += part.FullPartSize;
  }
  KeySize = keySize;
  FullKeySize = fullKeySize;
  RecordBufferSize_ = fieldDefs->GetRecordBufferSize() + kRecordBookmarkArea;
  ReadBuffer_.assign(static_cast<size_t>(RecordBufferSize_), 0);
  FullKey1_.assign(static_cast<size_t>(std::max(fullKeySize, 1)), 0);
  FullKey2_.assign(static_cast<size_t>(std::max(fullKeySize, 1)), 0);
}

void TVLMRecordKeyRef::MakeKey(const uint8_t* recordBuffer, uint8_t* key) {
  RecordBuffer = recordBuffer;
  for (const TVLMKeyPart& part : Parts) {
    uint8_t* target = key + part.KeyOffset;
    const int32_t valueBytes = part.PartSize - 1;
    if (VLMGetBit(part.FieldNo, recordBuffer)) {
      target[0] = 1;
      std::memset(target + 1, 0, static_cast<size_t>(valueBytes));
      continue;
    }
    target[0] = 0;
    const int32_t kept = valueBytes - part.TruncBytes;
    std::memcpy(target + 1, recordBuffer + part.RecordOffset, static_cast<size_t>(kept));
    // The two zero bytes end the prefix, also of a wide text.
    std::memset(target + 1 + kept, 0, static_cast<size_t>(part.TruncBytes));
  }
}

void TVLMRecordKeyRef::MakeFullKey(const uint8_t* recordBuffer, uint8_t* fullKey) const {
  for (const TVLMKeyPart& part : Parts) {
    uint8_t* target = fullKey + part.FullKeyOffset;
    const int32_t valueBytes = part.FullPartSize - 1;
    if (VLMGetBit(part.FieldNo, recordBuffer)) {
      target[0] = 1;
      std::memset(target + 1, 0, static_cast<size_t>(valueBytes));
    } else {
      target[0] = 0;
      std::memcpy(target + 1, recordBuffer + part.RecordOffset, static_cast<size_t>(valueBytes));
    }
  }
}

void TVLMRecordKeyRef::ReadRecordFullKey(int32_t sessionID, const uint8_t* recordID, uint8_t* fullKey) {
  if (TableData == nullptr || recordID == nullptr || ReadBuffer_.empty())
    throw EVLMException(20170, "Cannot retrieve record for index");
  std::fill(ReadBuffer_.begin(), ReadBuffer_.end(), 0);
  if (!TableData->ReadIndexedRecord(sessionID, VLMGetRecordID(recordID), ReadBuffer_.data()))
    throw EVLMException(20170, "Cannot retrieve record for index");
  MakeFullKey(ReadBuffer_.data(), fullKey);
}

void TVLMRecordKeyRef::SetPartLimits(const uint8_t* recordBuffer, bool enable) {
  PartLimits.assign(Parts.size(), -1);
  if (!enable || recordBuffer == nullptr) return;
  for (size_t i = 0; i < Parts.size(); ++i) {
    const TVLMKeyPart& part = Parts[i];
    if (!VLMIsStringBaseType(part.DataType) || VLMGetBit(part.FieldNo, recordBuffer)) continue;
    const uint8_t* value = recordBuffer + part.RecordOffset;
    const int32_t bytes = part.FullPartSize - 1;
    int32_t length = 0;
    if (VLMIsWideStringBaseType(part.DataType)) {
      while (2 * length + 1 < bytes && (value[2 * length] != 0 || value[2 * length + 1] != 0)) ++length;
    } else {
      while (length < bytes && value[length] != 0) ++length;
    }
    PartLimits[i] = length;
  }
}

int32_t TVLMRecordKeyRef::CompareFullFromRecords(const uint8_t* recordID2, const uint8_t* recordID1,
                                                 int32_t sessionID) {
  if (recordID1 != nullptr) {
    ReadRecordFullKey(sessionID, recordID1, FullKey1_.data());
  } else {
    if (RecordBuffer == nullptr) throw EVLMException(20170, "Cannot retrieve record for index");
    MakeFullKey(RecordBuffer, FullKey1_.data());
  }
  ReadRecordFullKey(sessionID, recordID2, FullKey2_.data());
  return CompareFull(FullKey1_.data(), FullKey2_.data());
}

namespace {

template <class T>
int32_t OrderOf(const uint8_t* a, const uint8_t* b) {
  T x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Two non-null whole numbers of one type, as the engine's value comparison
// orders them, without its type dispatch: autoincrement and other integer
// keys take most of the comparisons of an insert. False for other types.
inline bool OrderOfWholeNumbers(uint8_t dataType, const uint8_t* a, const uint8_t* b, int32_t& r) {
  switch (dataType) {
    case bdtShortInt: r = OrderOf<int8_t>(a, b); return true;
    case bdtSmallInt: r = OrderOf<int16_t>(a, b); return true;
    case bdtInteger:
    case bdtDate:
    case bdtTime: r = OrderOf<int32_t>(a, b); return true;
    case bdtLargeInt: r = OrderOf<int64_t>(a, b); return true;
    case bdtByte: r = OrderOf<uint8_t>(a, b); return true;
    case bdtWord: r = OrderOf<uint16_t>(a, b); return true;
    case bdtCardinal: r = OrderOf<uint32_t>(a, b); return true;
    default: return false;
  }
}

}  // namespace

int32_t TVLMRecordKeyRef::CompareValueBytes(const TVLMKeyPart& part, const uint8_t* value1, const uint8_t* value2,
                                            bool null1, bool null2, int32_t length, int32_t valueBytes) {
  if (!null1 && !null2) {
    if (int32_t r = 0; OrderOfWholeNumbers(part.DataType, value1, value2, r)) return r;
    switch (part.DataType) {
      case bdtChar:
      case bdtString:
      case bdtBytes: {
        // The text up to its terminator within the part, cut at length, in
        // the fixed collation: what the value comparison does for text.
        auto text = [valueBytes, length](const uint8_t* p) {
          const char* c = reinterpret_cast<const char*>(p);
          std::string_view v(c, strnlen(c, static_cast<size_t>(std::max(valueBytes, 0))));
          if (length >= 0 && v.size() > static_cast<size_t>(length)) v = v.substr(0, static_cast<size_t>(length));
          return v;
        };
        const int r = qv::CompareText1252(text(value1), text(value2), part.CaseInsensitive != 0);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
      }
      default: break;
    }
  }
  if (VLMIsWideStringBaseType(part.DataType) && !null1 && !null2) {
    // Wide text is read as 16-bit units; a key part may start at an odd
    // address, so such a value is compared from an aligned copy.
    auto aligned = [valueBytes](const uint8_t* p, std::vector<char16_t>& copy) {
      if ((reinterpret_cast<uintptr_t>(p) & 1) == 0) return p;
      copy.assign(static_cast<size_t>(valueBytes / 2 + 1), 0);
      std::memcpy(copy.data(), p, static_cast<size_t>(valueBytes));
      return reinterpret_cast<const uint8_t*>(copy.data());
    };
    value1 = aligned(value1, Wide1_);
    value2 = aligned(value2, Wide2_);
  }
  return VLMCompareValuesSigned(value1, value2, part.DataType, part.DataType, null1, null2, length,
                                part.CaseInsensitive != 0, kVLMKeyCompareLocale, valueBytes, valueBytes);
}

int32_t TVLMRecordKeyRef::CompareBaseLetters(const TVLMKeyPart& part, const uint8_t* value1, const uint8_t* value2,
                                             int32_t limit, bool& open) {
  const int32_t prefixBytes = part.PartSize - 1 - part.TruncBytes;
  bool open1 = false;
  bool open2 = false;
  int r;
  if (VLMIsWideStringBaseType(part.DataType)) {
    const std::u16string_view a = WidePrefix(value1, prefixBytes, limit, Wide1_, open1);
    const std::u16string_view b = WidePrefix(value2, prefixBytes, limit, Wide2_, open2);
    r = qv::CompareBaseLettersWide(a, b, SureBaseLetters(prefixBytes / 2));
  } else {
    const std::string_view a = AnsiPrefix(value1, prefixBytes, limit, open1);
    const std::string_view b = AnsiPrefix(value2, prefixBytes, limit, open2);
    r = qv::CompareBaseLetters1252(a, b, SureBaseLetters(prefixBytes));
  }
  open = open1 || open2;
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int32_t TVLMRecordKeyRef::Compare(const uint8_t* key1, const uint8_t* key2, const uint8_t* recordID2,
                                  const uint8_t* recordID1, int32_t sessionID, bool exact) {
  const int32_t count = std::min<int32_t>(PartCount, static_cast<int32_t>(Parts.size()));
  for (int32_t i = 0; i < count; ++i) {
    const TVLMKeyPart& part = Parts[static_cast<size_t>(i)];
    const uint8_t* p1 = key1 + part.KeyOffset;
    const uint8_t* p2 = key2 + part.KeyOffset;
    const bool null1 = p1[0] != 0;
    const bool null2 = p2[0] != 0;
    const int32_t valueBytes = part.PartSize - 1;
    const int32_t limit = PartLimits[static_cast<size_t>(i)];
    // A limit of -1 compares the whole value (up to its terminator).
    const int32_t length = std::min(limit, part.PartSize - part.TruncBytes);
    int32_t r = 0;
    if (part.TruncBytes != 0 && !null1 && !null2) {
      bool open = true;
      r = IsCollatedText(part.DataType) ? CompareBaseLetters(part, p1 + 1, p2 + 1, limit, open)
                                        : CompareValueBytes(part, p1 + 1, p2 + 1, null1, null2, length, valueBytes);
      if (r == 0) {
        // The prefixes' base letters agree: in a node the keys are equal
        // (later parts are not looked at), in a leaf the full values
        // decide, read from the records unless both fit their prefixes.
        if (!exact) return 0;
        if (open && recordID2 != nullptr) return CompareFullFromRecords(recordID2, recordID1, sessionID);
        r = CompareValueBytes(part, p1 + 1, p2 + 1, null1, null2, length, valueBytes);
      }
    } else if (null1 || null2 || !OrderOfWholeNumbers(part.DataType, p1 + 1, p2 + 1, r)) {
      r = CompareValueBytes(part, p1 + 1, p2 + 1, null1, null2, length, valueBytes);
    }
    if (part.Descending != 0) r = -r;
    if (r != 0) return r;
  }
  return 0;
}

int32_t TVLMRecordKeyRef::CompareFull(const uint8_t* fullKey1, const uint8_t* fullKey2) {
  const int32_t count = std::min<int32_t>(PartCount, static_cast<int32_t>(Parts.size()));
  for (int32_t i = 0; i < count; ++i) {
    const TVLMKeyPart& part = Parts[static_cast<size_t>(i)];
    const uint8_t* p1 = fullKey1 + part.FullKeyOffset;
    const uint8_t* p2 = fullKey2 + part.FullKeyOffset;
    const bool null1 = p1[0] != 0;
    const bool null2 = p2[0] != 0;
    const int32_t valueBytes = part.FullPartSize - 1;
    const int32_t limit = PartLimits[static_cast<size_t>(i)];
    int32_t r = 0;
    // The base letters of the prefixes first, as Compare orders keys: they
    // never contradict the full values, except for a prefix holding
    // characters without base letters, which keeps the order of its key.
    bool open = false;
    if (part.TruncBytes != 0 && !null1 && !null2 && IsCollatedText(part.DataType))
      r = CompareBaseLetters(part, p1 + 1, p2 + 1, limit, open);
    if (r == 0) r = CompareValueBytes(part, p1 + 1, p2 + 1, null1, null2, limit, valueBytes);
    if (part.Descending != 0) r = -r;
    if (r != 0) return r;
  }
  return 0;
}

// --------------------------------------------------------- page key reference

TVLMPageKeyRef::TVLMPageKeyRef() {
  SetPartCount(1);
  TVLMKeyPart& part = Parts[0];
  part.PartSize = 4;
  part.FullPartSize = 4;
  part.DataType = bdtInteger;
  KeySize = 4;
  FullKeySize = 4;
  ValueSize = 2;
}

int32_t TVLMPageKeyRef::Compare(const uint8_t* key1, const uint8_t* key2, const uint8_t*, const uint8_t*,
                                int32_t, bool) {
  const int32_t a = VLMGetI32LE(key1);
  const int32_t b = VLMGetI32LE(key2);
  return a < b ? -1 : (a > b ? 1 : 0);
}

int32_t TVLMPageKeyRef::CompareFull(const uint8_t* fullKey1, const uint8_t* fullKey2) {
  return Compare(fullKey1, fullKey2, nullptr, nullptr, kVLMInvalidSessionID, false);
}
