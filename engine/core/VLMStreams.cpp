#include "engine/core/VLMStreams.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"

namespace {

constexpr const char* kReadMessage =
    "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr const char* kWriteMessage =
    "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";

// base + offset, or false when the sum does not fit in 64 bits.
bool CheckedAdd(int64_t base, int64_t offset, int64_t& result) {
  return !__builtin_add_overflow(base, offset, &result);
}

double Percent(int64_t part, int64_t whole) {
  if (whole <= 0) return 100.0;
  return static_cast<double>(part) / static_cast<double>(whole) * 100.0;
}

}  // namespace

// ---------------------------------------------------------------- TVLMStream

void TVLMStream::SaveToStream(qv::Stream& dest) {
  if (BlockSize <= 0) throw EVLMException(10418, "Stream block size = 0 is not allowed");
  const int64_t ownPosition = Position();
  const int64_t destPosition = dest.Position();
  SetPosition(0);
  const int64_t size = Size();
  int64_t done = 0;
  Progress(0);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(BlockSize, std::max<int64_t>(size, 1))));
  while (done < size) {
    const int64_t n = std::min<int64_t>(BlockSize, size - done);
    const int64_t readFrom = Position();
    const int64_t got = Read(buffer.data(), n);
    if (got != n) throw EVLMException(10146, kReadMessage, {readFrom, size, n, got});
    const int64_t writeAt = dest.Position();
    const int64_t put = dest.Write(buffer.data(), n);
    if (put != n) throw EVLMException(10147, kWriteMessage, {writeAt, dest.Size(), n, put});
    done += n;
    Progress(Percent(done, size));
  }
  SetPosition(ownPosition);
  dest.SetPosition(destPosition);
  Progress(100);
}

void TVLMStream::LoadFromStream(qv::Stream& source) { LoadFromStreamRange(source, 0, source.Size()); }

void TVLMStream::LoadFromStreamRange(qv::Stream& source, int64_t startPosition, int64_t count) {
  if (BlockSize <= 0) throw EVLMException(10419, "Stream block size = 0 is not allowed");
  const int64_t ownPosition = Position();
  const int64_t sourcePosition = source.Position();
  int64_t end = 0;
  if (!CheckedAdd(startPosition, std::max<int64_t>(count, 0), end)) end = INT64_MAX;
  source.SetPosition(startPosition);
  SetSize(0);
  SetPosition(0);
  Progress(0);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(BlockSize, std::max<int64_t>(count, 1))));
  for (int64_t at = source.Position(); at < end; at = source.Position()) {
    const int64_t n = std::min<int64_t>(BlockSize, end - at);
    const int64_t got = source.Read(buffer.data(), n);
    if (got != n) throw EVLMException(10148, kReadMessage, {at, source.Size(), n, got});
    const int64_t writeAt = Position();
    const int64_t put = Write(buffer.data(), n);
    if (put != n) throw EVLMException(10149, kWriteMessage, {writeAt, Size(), n, put});
    Progress(Percent(source.Position(), source.Size()));
  }
  source.SetPosition(sourcePosition);
  SetPosition(ownPosition);
  Progress(100);
}

// ---------------------------------------------------------- TVLMMemoryStream

TVLMMemoryStream::TVLMMemoryStream(void* memory, int64_t capacity) {
  if (memory != nullptr) {
    Memory_ = memory;
    Size_ = Capacity_ = VLMMemoryManager().GetMemSize(memory);
  } else if (capacity > 0) {
    Memory_ = VLMMemoryManager().GetMem(capacity);
    Capacity_ = capacity;
  }
}

TVLMMemoryStream::~TVLMMemoryStream() {
  if (Memory_ != nullptr) {
    try {
      VLMMemoryManager().FreeMem(Memory_);
    } catch (...) {
      // A damaged guard word cannot be reported from a destructor; the block
      // has been released either way.
    }
  }
}

// Sets the size without touching the bytes; SetSize and Write clear what a
// caller could read before writing it, so a gap never exposes stale memory.
void TVLMMemoryStream::Resize(int64_t newSize) {
  TVLMMemoryManager& mm = VLMMemoryManager();
  if (newSize <= 0) {
    if (Memory_ != nullptr) mm.FreeMem(Memory_);
    Size_ = Capacity_ = 0;
  } else if (Memory_ == nullptr) {
    Memory_ = mm.GetMem(newSize);
    Size_ = Capacity_ = newSize;
  } else {
    if (newSize > Capacity_) {
      // Twice the size keeps a run of small writes at O(log n) moves; the
      // block may not pass the manager's largest block.
      const int64_t capacity = newSize <= kVLMMaxBlockDataSize / 2 ? newSize * 2 : newSize;
      mm.ReallocMem(Memory_, capacity, false);
      Capacity_ = capacity;
    }
    Size_ = newSize;
  }
  if (Position_ > Size_) Position_ = Size_;
}

void TVLMMemoryStream::ClearRange(int64_t from, int64_t to) {
  if (from < to)
    std::memset(static_cast<uint8_t*>(Memory_) + from, 0, static_cast<size_t>(to - from));
}

void TVLMMemoryStream::SetSize(int64_t newSize) {
  const int64_t oldSize = Size_;
  Resize(newSize);
  ClearRange(oldSize, Size_);
}

int64_t TVLMMemoryStream::Read(void* buffer, int64_t count) {
  if (count < 1 || Position_ < 0 || Position_ >= Size_) return 0;
  const int64_t n = std::min(count, Size_ - Position_);
  std::memcpy(buffer, static_cast<const uint8_t*>(Memory_) + Position_, static_cast<size_t>(n));
  Position_ += n;
  return n;
}

int64_t TVLMMemoryStream::Write(const void* buffer, int64_t count) {
  if (count < 1 || Position_ < 0) return 0;
  int64_t end = 0;
  if (!CheckedAdd(Position_, count, end)) return 0;
  if (end > Size_) {
    const int64_t oldSize = Size_;
    const int64_t position = Position_;
    Resize(end);
    // Only a gap between the old end and the write position needs clearing.
    ClearRange(oldSize, position);
  }
  std::memcpy(static_cast<uint8_t*>(Memory_) + Position_, buffer, static_cast<size_t>(count));
  Position_ = end;
  return count;
}

int64_t TVLMMemoryStream::Seek(int64_t offset, qv::SeekOrigin origin) {
  int64_t target = Position_;
  switch (origin) {
    case qv::SeekOrigin::Beginning:
      target = offset;
      break;
    case qv::SeekOrigin::Current:
      if (!CheckedAdd(Position_, offset, target)) target = Position_;
      break;
    case qv::SeekOrigin::End:
      if (!CheckedAdd(Size_, offset, target)) target = Position_;
      break;
    default:
      break;
  }
  Position_ = target;
  return Position_;
}

// ------------------------------------------------------------ TVLMFileStream

TVLMFileStream::TVLMFileStream(const std::string& fileName, uint16_t mode, bool deleteOnClose)
    : FileName_(fileName), Mode_(mode), DeleteOnClose_(deleteOnClose) {
  if (mode == kModeCreate) {
    File_ = qv::File::TryOpen(fileName, qv::FileAccess::ReadWrite, qv::FileDisposition::CreateAlways);
    if (!File_.IsOpen()) throw EVLMException(10104, "Cannot create file. FileName = %s", {fileName});
    // Removing the name now makes the file vanish with its handle, whatever
    // way the process ends.
    if (deleteOnClose) qv::DeleteFile(fileName);
  } else {
    const qv::FileAccess access =
        (mode & 0x3) == kModeOpenRead ? qv::FileAccess::ReadOnly : qv::FileAccess::ReadWrite;
    File_ = qv::File::TryOpen(fileName, access, qv::FileDisposition::OpenExisting);
    if (!File_.IsOpen())
      throw EVLMException(10105, "Cannot open file. FileName = %s, Mode = %d",
                          {fileName, static_cast<int>(mode)});
  }
}

TVLMFileStream::~TVLMFileStream() = default;  // the File closes its handle

int64_t TVLMFileStream::Read(void* buffer, int64_t count) {
  if (count < 1 || Position_ < 0) return 0;
  try {
    const int64_t n = File_.ReadAt(buffer, count, Position_);
    if (n > 0) Position_ += n;
    return std::max<int64_t>(n, 0);
  } catch (const std::exception&) {
    return 0;
  }
}

int64_t TVLMFileStream::Write(const void* buffer, int64_t count) {
  if (count < 1 || Position_ < 0) return 0;
  try {
    const int64_t n = File_.WriteAt(buffer, count, Position_);
    if (n > 0) Position_ += n;
    return std::max<int64_t>(n, 0);
  } catch (const std::exception&) {
    return 0;
  }
}

int64_t TVLMFileStream::Seek(int64_t offset, qv::SeekOrigin origin) {
  int64_t base = 0;
  switch (origin) {
    case qv::SeekOrigin::Beginning:
      base = 0;
      break;
    case qv::SeekOrigin::Current:
      base = Position_;
      break;
    case qv::SeekOrigin::End:
      base = GetSize();
      break;
    default:
      return Position_;
  }
  int64_t target = 0;
  if (!CheckedAdd(base, offset, target) || target < 0) return -1;
  Position_ = target;
  return Position_;
}

void TVLMFileStream::SetSize(int64_t newSize) {
  if (newSize < 0) newSize = 0;
  File_.Truncate(newSize);
  if (Position_ > newSize) Position_ = newSize;
}

int64_t TVLMFileStream::GetSize() {
  try {
    return File_.Size();
  } catch (const std::exception&) {
    return 0;
  }
}

// ------------------------------------------------------- TVLMTemporaryStream

TVLMTemporaryStream::TVLMTemporaryStream(bool memoryOnly)
    : MemoryStream_(std::make_unique<TVLMMemoryStream>()), MemoryOnly_(memoryOnly) {}

TVLMTemporaryStream::~TVLMTemporaryStream() = default;

qv::Stream& TVLMTemporaryStream::Inner() {
  if (InMemory_) return *MemoryStream_;
  return *FileStream_;
}

void TVLMTemporaryStream::MoveToFile() {
  std::string fileName = VLMGetTempFileName();
  auto file = std::make_unique<TVLMFileStream>(fileName, TVLMFileStream::kModeCreate, true);
  file->LoadFromStream(*MemoryStream_);
  file->SetPosition(MemoryStream_->Position());
  FileName_ = std::move(fileName);
  FileStream_ = std::move(file);
  MemoryStream_.reset();
  InMemory_ = false;
}

int64_t TVLMTemporaryStream::Read(void* buffer, int64_t count) { return Inner().Read(buffer, count); }

int64_t TVLMTemporaryStream::Write(const void* buffer, int64_t count) {
  if (InMemory_ && !MemoryOnly_ && count > 0 && MemoryStream_->Size() > Threshold - count) MoveToFile();
  return Inner().Write(buffer, count);
}

int64_t TVLMTemporaryStream::Seek(int64_t offset, qv::SeekOrigin origin) {
  return Inner().Seek(offset, origin);
}

void TVLMTemporaryStream::SetSize(int64_t newSize) { Inner().SetSize(newSize); }

int64_t TVLMTemporaryStream::GetSize() { return Inner().Size(); }
