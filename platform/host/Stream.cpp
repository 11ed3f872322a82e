#include "platform/host/Stream.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/host/Exception.h"

namespace qv {

int64_t Stream::GetSize() {
  const int64_t pos = Seek(0, SeekOrigin::Current);
  const int64_t size = Seek(0, SeekOrigin::End);
  Seek(pos, SeekOrigin::Beginning);
  return size;
}

void Stream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void Stream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t Stream::CopyFrom(Stream& source, int64_t count) {
  constexpr int64_t kMaxChunk = 61440;
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(count, kMaxChunk)));
  while (count > 0) {
    const int64_t n = std::min(count, kMaxChunk);
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return total;
}

// ---------------------------------------------------------------- MemoryStream

int64_t MemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = GetSize();
  if (count <= 0 || Position_ < 0 || Position_ >= size) return 0;
  const int64_t n = std::min(count, size - Position_);
  std::memcpy(buffer, Data_.data() + Position_, static_cast<size_t>(n));
  Position_ += n;
  return n;
}

int64_t MemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || Position_ < 0) return 0;
  const auto limit = static_cast<int64_t>(std::min<size_t>(Data_.max_size(), INT64_MAX));
  if (Position_ > limit - count) return 0;
  const int64_t end = Position_ + count;
  if (end > GetSize()) Data_.resize(static_cast<size_t>(end));
  std::memcpy(Data_.data() + Position_, buffer, static_cast<size_t>(count));
  Position_ = end;
  return count;
}

int64_t MemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  switch (origin) {
    case SeekOrigin::Beginning: Position_ = offset; break;
    case SeekOrigin::Current: Position_ += offset; break;
    case SeekOrigin::End: Position_ = GetSize() + offset; break;
  }
  return Position_;
}

void MemoryStream::SetSize(int64_t newSize) {
  newSize = std::max<int64_t>(newSize, 0);
  Data_.resize(static_cast<size_t>(newSize));
  if (Position_ > newSize) Position_ = newSize;
}

void MemoryStream::Clear() {
  Data_.clear();
  Data_.shrink_to_fit();
  Position_ = 0;
}

std::string MemoryStream::TakeData() {
  Position_ = 0;
  return std::exchange(Data_, {});
}

}  // namespace qv
