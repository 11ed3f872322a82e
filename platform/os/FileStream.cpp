#include "platform/os/FileStream.h"

#include <algorithm>

namespace qv {

int64_t FileStream::Read(void* buffer, int64_t count) {
  const int64_t n = File_.ReadAt(buffer, count, Position_);
  Position_ += n;
  return n;
}

int64_t FileStream::Write(const void* buffer, int64_t count) {
  const int64_t n = File_.WriteAt(buffer, count, Position_);
  Position_ += n;
  return n;
}

int64_t FileStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t base = origin == SeekOrigin::Beginning ? 0
                       : origin == SeekOrigin::Current ? Position_
                                                       : File_.Size();
  Position_ = std::max<int64_t>(0, base + offset);
  return Position_;
}

}  // namespace qv
