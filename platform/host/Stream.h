// The abstract byte stream of the host class library, with 64-bit positions.
// Descendants supply Read, Write, Seek and SetSize; the rest is built on them.
#pragma once

#include <cstdint>

namespace qv {

enum class SeekOrigin : uint8_t { Beginning = 0, Current = 1, End = 2 };

class Stream {
public:
  virtual ~Stream() = default;

  // Read/Write move up to count bytes and return how many moved (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual void SetSize(int64_t newSize) = 0;

  virtual int64_t GetSize();
  int64_t Size() { return GetSize(); }
  int64_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(int64_t pos) { Seek(pos, SeekOrigin::Beginning); }

  // Exactly count bytes or EReadError "Stream read error" / EWriteError
  // "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

  // Copies count bytes from source's current position (count 0: the whole
  // source from its start). Returns the bytes copied.
  int64_t CopyFrom(Stream& source, int64_t count);
};

}  // namespace qv
