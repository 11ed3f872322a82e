// VLMDiskEngine, journal part: the journal file format, the write set of a
// commit and the comparison of a journal with a database (layout in
// VLMDiskEngineJournal.h). The commit protocol and the recovery on open that
// use them are TVLMDiskPageManager's, in VLMDiskEngineCommit.cpp.
#include "engine/storage/VLMDiskEngineJournal.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMPage.h"
#include "platform/os/File.h"

namespace {

// A salt that differs from commit to commit and from file to file; it need
// not be secret.
uint32_t NewSalt() {
  thread_local std::mt19937 generator{std::random_device{}()};
  uint32_t salt = 0;
  while (salt == 0) salt = generator();
  return salt;
}

// The end of the piece that starts at position: the next multiple of the
// piece size, or the end of the range.
int64_t PieceEnd(int64_t position, int64_t end) {
  return std::min(end, (position / kVLMJournalPieceSize + 1) * kVLMJournalPieceSize);
}

size_t PieceCount(int64_t position, int32_t length) {
  size_t count = 0;
  for (int64_t at = position, end = position + length; at < end; at = PieceEnd(at, end)) ++count;
  return count;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.resize(out.size() + 2);
  VLMPutU16LE(out.data() + out.size() - 2, v);
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  out.resize(out.size() + 4);
  VLMPutU32LE(out.data() + out.size() - 4, v);
}

void PutI64(std::vector<uint8_t>& out, int64_t v) {
  out.resize(out.size() + 8);
  VLMPutU64LE(out.data() + out.size() - 8, static_cast<uint64_t>(v));
}

int64_t GetI64(const uint8_t* p) { return static_cast<int64_t>(VLMGetU64LE(p)); }

// Reads exactly count bytes of the file at position; false when it ends first.
bool ReadWhole(qv::File& file, void* buffer, int64_t count, int64_t position) {
  return file.ReadAt(buffer, count, position) == count;
}

}  // namespace

std::string VLMJournalFileName(const std::string& databaseFileName) { return databaseFileName + kVLMJournalSuffix; }

// ------------------------------------------------------------- write set

void TVLMCommitWriteSet::Clear() {
  Ranges_.clear();
  Bytes_.clear();
}

void TVLMCommitWriteSet::Add(int64_t position, const void* bytes, int32_t length, int32_t pageNo, bool preImage,
                             bool unchecked) {
  Range range;
  range.Position = position;
  range.Length = length;
  range.PageNo = pageNo;
  range.Offset = Bytes_.size();
  range.PreImage = preImage;
  range.Unchecked = unchecked;
  const auto* p = static_cast<const uint8_t*>(bytes);
  Bytes_.insert(Bytes_.end(), p, p + length);
  Ranges_.push_back(range);
}

void TVLMCommitWriteSet::Sort() {
  std::sort(Ranges_.begin(), Ranges_.end(), [](const Range& a, const Range& b) { return a.Position < b.Position; });
  for (size_t i = 1; i < Ranges_.size(); ++i)
    if (Ranges_[i - 1].Position + Ranges_[i - 1].Length > Ranges_[i].Position)
      throw EVLMException(10744, "Two writes of one commit overlap at file position %d",
                          {static_cast<long long>(Ranges_[i].Position)});
}

std::vector<int32_t> TVLMCommitWriteSet::PageNumbers() const {
  std::vector<int32_t> pages;
  for (const Range& range : Ranges_)
    if (range.PageNo >= 0) pages.push_back(range.PageNo);
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  return pages;
}

// ---------------------------------------------------------------- writing

void TVLMCommitJournal::Write(qv::File& journal, const TVLMJournalCommit& commit, const TVLMCommitWriteSet& writes,
                              const TVLMDatabaseReader& readDatabase, bool sync, std::vector<uint8_t>& buffer) {
  const uint32_t salt = NewSalt();
  buffer.assign(kVLMJournalHeaderSize, 0);
  for (const TVLMCommitWriteSet::Range& range : writes.Ranges()) {
    const size_t start = buffer.size();
    const size_t pieces = PieceCount(range.Position, range.Length);
    const uint16_t flags = static_cast<uint16_t>((range.PreImage ? kVLMJournalPreImage : 0) |
                                                 (range.Unchecked ? kVLMJournalUnchecked : 0));
    PutI64(buffer, range.Position);
    PutU32(buffer, static_cast<uint32_t>(range.Length));
    PutU16(buffer, flags);
    PutU16(buffer, static_cast<uint16_t>(pieces));
    const uint8_t* bytes = writes.Bytes(range);
    const int64_t end = range.Position + range.Length;
    for (int64_t at = range.Position; at < end; at = PieceEnd(at, end))
      PutU32(buffer, VLMCRC32(0, bytes + (at - range.Position), PieceEnd(at, end) - at));
    if (range.PreImage) {
      buffer.resize(buffer.size() + static_cast<size_t>(range.Length));
      readDatabase(buffer.data() + buffer.size() - static_cast<size_t>(range.Length), range.Position, range.Length);
    }
    PutU32(buffer, VLMCRC32(salt, buffer.data() + start, static_cast<int64_t>(buffer.size() - start)));
  }

  uint8_t* h = buffer.data();
  std::memcpy(h, kVLMJournalSignature, kVLMJournalSignatureSize);
  VLMPutU32LE(h + kVLMJournalVersionOffset, kVLMJournalVersion);
  VLMPutU32LE(h + kVLMJournalSaltOffset, salt);
  VLMPutU32LE(h + kVLMJournalFlagsOffset, 0);
  VLMPutU32LE(h + kVLMJournalRecordCountOffset, static_cast<uint32_t>(writes.Ranges().size()));
  VLMPutU64LE(h + kVLMJournalLengthOffset, buffer.size());
  VLMPutU64LE(h + kVLMJournalDatabaseOffsetOffset, static_cast<uint64_t>(commit.DatabaseOffset));
  VLMPutU64LE(h + kVLMJournalPagesEndOffset, static_cast<uint64_t>(commit.PagesEnd));
  VLMPutU16LE(h + kVLMJournalPageSizeOffset, commit.PageSize);
  const auto imageLength = static_cast<uint16_t>(commit.Before.size());
  VLMPutU16LE(h + kVLMJournalImageLengthOffset, imageLength);
  std::memcpy(h + kVLMJournalImagesOffset, commit.Before.data(), imageLength);
  std::memcpy(h + kVLMJournalImagesOffset + imageLength, commit.After.data(), imageLength);
  VLMPutU32LE(h + kVLMJournalHeaderCRCOffset, VLMCRC32(0, h, kVLMJournalHeaderCRCOffset));

  journal.WriteAt(buffer.data(), static_cast<int64_t>(buffer.size()), 0);
  if (sync) journal.Sync();
}

// ---------------------------------------------------------------- reading

bool TVLMCommitJournal::ReadHeader(qv::File& journal, int64_t databaseOffset, uint16_t pageSize,
                                   TVLMJournalCommit& commit) {
  uint8_t h[kVLMJournalHeaderSize];
  if (!ReadWhole(journal, h, kVLMJournalHeaderSize, 0)) return false;
  if (std::memcmp(h, kVLMJournalSignature, kVLMJournalSignatureSize) != 0 ||
      VLMGetU32LE(h + kVLMJournalVersionOffset) != kVLMJournalVersion ||
      VLMCRC32(0, h, kVLMJournalHeaderCRCOffset) != VLMGetU32LE(h + kVLMJournalHeaderCRCOffset))
    return false;
  const uint16_t imageLength = VLMGetU16LE(h + kVLMJournalImageLengthOffset);
  if (GetI64(h + kVLMJournalDatabaseOffsetOffset) != databaseOffset ||
      VLMGetU16LE(h + kVLMJournalPageSizeOffset) != pageSize ||
      kVLMJournalImagesOffset + 2 * imageLength > kVLMJournalHeaderCRCOffset)
    return false;
  commit.DatabaseOffset = databaseOffset;
  commit.PageSize = pageSize;
  commit.PagesEnd = GetI64(h + kVLMJournalPagesEndOffset);
  commit.Before.assign(h + kVLMJournalImagesOffset, h + kVLMJournalImagesOffset + imageLength);
  commit.After.assign(h + kVLMJournalImagesOffset + imageLength, h + kVLMJournalImagesOffset + 2 * imageLength);
  return true;
}

bool TVLMCommitJournal::Load(const std::string& fileName, int64_t databaseOffset, uint16_t pageSize) {
  Records_.clear();
  Data_.clear();
  qv::File journal = qv::File::TryOpen(fileName, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting);
  if (!journal.IsOpen() || !ReadHeader(journal, databaseOffset, pageSize, Commit_)) return false;
  uint8_t h[kVLMJournalHeaderSize];
  if (!ReadWhole(journal, h, kVLMJournalHeaderSize, 0)) return false;
  const int64_t length = GetI64(h + kVLMJournalLengthOffset);
  if (length < kVLMJournalHeaderSize || length > journal.Size()) return false;
  Data_.resize(static_cast<size_t>(length));
  if (!ReadWhole(journal, Data_.data(), length, 0)) return false;

  const uint32_t salt = VLMGetU32LE(h + kVLMJournalSaltOffset);
  const uint32_t count = VLMGetU32LE(h + kVLMJournalRecordCountOffset);
  size_t at = kVLMJournalHeaderSize;
  const size_t size = Data_.size();
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < kVLMJournalRecordFixedSize) return false;
    Record record;
    record.Position = GetI64(Data_.data() + at);
    const uint32_t recordLength = VLMGetU32LE(Data_.data() + at + 8);
    record.Flags = VLMGetU16LE(Data_.data() + at + 12);
    const uint16_t pieces = VLMGetU16LE(Data_.data() + at + 14);
    if (record.Position < 0 || recordLength > static_cast<uint32_t>(INT32_MAX) ||
        pieces != PieceCount(record.Position, static_cast<int32_t>(recordLength)))
      return false;
    record.Length = static_cast<int32_t>(recordLength);
    record.Pieces = at + kVLMJournalRecordFixedSize;
    record.PreImage = record.Pieces + 4u * pieces;
    const size_t end =
        record.PreImage + ((record.Flags & kVLMJournalPreImage) != 0 ? static_cast<size_t>(record.Length) : 0);
    if (end > size || size - end < 4) return false;
    if (VLMCRC32(salt, Data_.data() + at, static_cast<int64_t>(end - at)) != VLMGetU32LE(Data_.data() + end))
      return false;
    Records_.push_back(record);
    at = end + 4;
  }
  return at == size;
}

TVLMCommitJournal::Comparison TVLMCommitJournal::Compare(const TVLMDatabaseReader& readDatabase) const {
  Comparison result;
  std::vector<uint8_t> current;
  for (const Record& record : Records_) {
    const bool unchecked = (record.Flags & kVLMJournalUnchecked) != 0;
    if (unchecked && record.Length == Commit_.PageSize - kVLMPageHeaderSize) continue;  // a lock page's data
    current.resize(static_cast<size_t>(record.Length));
    readDatabase(current.data(), record.Position, record.Length);
    const bool cutOff = record.Position >= Commit_.PagesEnd;
    const bool hasPreImage = (record.Flags & kVLMJournalPreImage) != 0;
    const int64_t end = record.Position + record.Length;
    size_t piece = 0;
    for (int64_t at = record.Position; at < end; at = PieceEnd(at, end), ++piece) {
      const size_t from = static_cast<size_t>(at - record.Position);
      const auto n = static_cast<size_t>(PieceEnd(at, end) - at);
      const bool isNew = VLMCRC32(0, current.data() + from, static_cast<int64_t>(n)) ==
                         VLMGetU32LE(Data_.data() + record.Pieces + 4 * piece);
      const bool isOld =
          !hasPreImage || std::memcmp(current.data() + from, Data_.data() + record.PreImage + from, n) == 0;
      if (unchecked) {
        // Bytes the commit changed, as it wrote them.
        result.UncheckedNew = result.UncheckedNew || (isNew && !isOld);
        continue;
      }
      if (!isNew && !cutOff) result.AllNew = false;
      if (!isOld) result.AllOld = false;
      if (!isNew && !isOld) result.Consistent = false;
    }
  }
  return result;
}

void TVLMCommitJournal::WritePreImages(
    const std::function<void(const void* bytes, int64_t position, int32_t count)>& write, bool uncheckedToo) const {
  for (const Record& record : Records_)
    if ((record.Flags & kVLMJournalPreImage) != 0 && (uncheckedToo || (record.Flags & kVLMJournalUnchecked) == 0))
      write(Data_.data() + record.PreImage, record.Position, record.Length);
}

void TVLMCommitJournal::PatchPreImages(uint8_t* buffer, int64_t position, int64_t count, bool checkedOnly) const {
  const int64_t end = position + count;
  // The part of one image [at, at + length) that lies in the buffer.
  auto patch = [&](const uint8_t* bytes, int64_t at, int64_t length) {
    const int64_t from = std::max(at, position), to = std::min(at + length, end);
    if (from < to) std::memcpy(buffer + (from - position), bytes + (from - at), static_cast<size_t>(to - from));
  };
  if (!checkedOnly) patch(Commit_.Before.data(), Commit_.DatabaseOffset, static_cast<int64_t>(Commit_.Before.size()));
  // The records lie in ascending order and never overlap: the first that
  // ends past position, then on while they begin before end.
  auto first = std::partition_point(Records_.begin(), Records_.end(),
                                    [&](const Record& r) { return r.Position + r.Length <= position; });
  for (auto it = first; it != Records_.end() && it->Position < end; ++it)
    if ((it->Flags & kVLMJournalPreImage) != 0 && !(checkedOnly && (it->Flags & kVLMJournalUnchecked) != 0))
      patch(Data_.data() + it->PreImage, it->Position, it->Length);
}

std::vector<int64_t> TVLMCommitJournal::PositionsWithoutPreImage() const {
  std::vector<int64_t> positions;
  for (const Record& record : Records_)
    if ((record.Flags & kVLMJournalPreImage) == 0) positions.push_back(record.Position);
  return positions;
}
