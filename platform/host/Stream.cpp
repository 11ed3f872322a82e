#include "platform/host/Stream.h"

#include <algorithm>
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

}  // namespace qv
