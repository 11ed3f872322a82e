// TVLMCompressedBLOBStream: one BLOB value seen as an ordinary seekable
// stream, stored inside another stream (the inner stream, not owned) as a
// chain of independently compressed blocks.
//
// The owner keeps a 32-byte descriptor per value and hands it to the stream
// when it opens the value; the stream keeps its copy up to date as it writes,
// and the owner stores Descriptor() again afterwards.
//
// Descriptor (32 bytes, little-endian, fields in this order):
//   offset  size  field             meaning
//   0       4     BlockSize         u32: plain bytes per block (every block
//                                   but the last holds exactly this many)
//   4       8     BlockCount        i64: number of blocks written
//   12      8     UncompressedSize  i64: length of the value in bytes
//   20      8     StartPosition     i64: offset in the inner stream where the
//                                   value begins
//   28      1     Algorithm         0 NONE, 1 ZLIB, 2 BZIP, 3 PPM
//   29      1     Mode              compression mode 0..9
//   30      2     Reserved          carried along unchanged
//
// A compressed value (Algorithm 1..3) is BlockCount blocks back to back from
// StartPosition, each a 20-byte header followed by its compressed bytes:
//   0   4  CompressedSize    u32: compressed bytes after the header
//   4   4  UncompressedSize  u32: plain bytes of the block
//   8   4  CRC32             u32: VLMCRC32(0, plain bytes)
//   12  8  BlockLength       i64: CompressedSize + 20, distance to the next
//                            header
// With Algorithm 0 (NONE) the value is its plain bytes from StartPosition on;
// there are no headers and BlockCount is not used.
//
// Invariants of an open compressed value:
//   1. Headers i and i+1 lie BlockLength(i) bytes apart; header 0 lies at
//      StartPosition.
//   2. Every block but the last holds exactly BlockSize plain bytes; the last
//      holds 1 .. BlockSize; UncompressedSize is the sum over the blocks.
//   3. The value grows only at its end: an append recompresses the last
//      partial block in place and adds blocks behind it.
// Stored headers are checked against these rules (and against the length of
// the inner stream) when the value is opened; a header that breaks them
// raises 10084 "Invalid BLOB block header".
//
// States: Create (with Truncate: an empty value whose blocks are written from
// StartPosition on; without: all headers read at once) -> Read / Write /
// Seek / SetSize any number of times -> destroy. Reads work from the headers
// in memory and decompress whole blocks; nothing is cached between calls.
//
// Error codes: 10079-10083 and 10103 opening, 10084 invalid header, 10085
// compression, 10086-10089 loading a block, 10090 read, 10091/10092 filling a
// gap before a write, 10093-10096 truncating, 10097/10098 extending,
// 10099-10102 writing blocks.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>

#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypes.h"

struct TVLMCompressionBuffer;

struct TVLMBLOBDescriptor {
  uint32_t BlockSize = 0;
  int64_t BlockCount = 0;
  int64_t UncompressedSize = 0;
  int64_t StartPosition = 0;
  uint8_t Algorithm = 0;
  uint8_t Mode = 0;
  std::array<uint8_t, 2> Reserved{};

  // The 32-byte stored form.
  void SaveToBytes(uint8_t* dest) const;
  static TVLMBLOBDescriptor LoadFromBytes(const uint8_t* source);
};
inline constexpr int32_t kVLMBLOBDescriptorSize = 32;

class TVLMCompressedBLOBStream : public TVLMStream {
public:
  // Opens the value that descriptor describes inside stream. truncate opens
  // it emptied (the caller is about to write it anew); a compressed value
  // with descriptor BlockSize 0 then takes a block size by its Mode.
  // skipSizeCheck accepts an inner stream shorter than the descriptor says:
  // the value is then cut to the blocks that are complete. Without truncate,
  // a StartPosition beyond the inner stream's end raises 10082 in every mode.
  TVLMCompressedBLOBStream(qv::Stream& stream, bool skipSizeCheck, bool truncate,
                           const TVLMBLOBDescriptor& descriptor);
  ~TVLMCompressedBLOBStream() override;

  // Compressed values: a read at or past the end answers 0. NONE passes the
  // call to the inner stream unchanged.
  int64_t Read(void* buffer, int64_t count) override;
  // Compressed values grow only at their end: a write before the end answers
  // 0 and changes nothing; a write past the end first fills the gap with
  // zero bytes.
  int64_t Write(const void* buffer, int64_t count) override;
  // Compressed values: a target before the start gives 0; a target past the
  // end is kept.
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  // Extends with zero bytes or truncates; a negative size counts as 0.
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override { return UncompressedSize_; }

  int64_t UncompressedSize() const { return UncompressedSize_; }
  // The sum of the blocks' CompressedSize (headers not counted); equal to
  // UncompressedSize for NONE or an empty value.
  int64_t CompressedSize() const { return CompressedSize_; }
  // (1 - CompressedSize / UncompressedSize) * 100; 0 for NONE or an empty
  // value.
  double CompressionRate() const { return CompressionRate_; }
  // The descriptor with BlockSize, BlockCount and UncompressedSize as written.
  const TVLMBLOBDescriptor& Descriptor() const { return Descriptor_; }
  int64_t GetInnerStreamSize() { return Inner_.Size(); }

private:
  void LoadHeaders();
  TVLMCompressionBuffer LoadBlock(int64_t blockNo);
  void CompressBlock(const void* plain, int64_t inSize, TVLMCompressedBlockHeader& header,
                     TVLMCompressionBuffer& output);
  void WriteBlock(int64_t blockNo, const void* plain, int64_t inSize);
  void ExtendToPosition();
  void ExtendSize(int64_t newSize);
  void TruncateSize(int64_t newSize);
  void UpdateSizes();

  qv::Stream& Inner_;
  bool SkipSizeCheck_;
  TVLMCompressedStreamBlockHeadersArray Headers_;
  TVLMBLOBDescriptor Descriptor_;
  int64_t BlockSize_ = 0;  // the block arithmetic's copy of the descriptor's BlockSize
  int64_t UncompressedSize_ = 0;
  int64_t CompressedSize_ = 0;
  int64_t StartPosition_ = 0;
  int64_t CurrentBlock_ = 0;
  int64_t Position_ = 0;
  uint8_t Mode_ = 0;
  uint8_t Algorithm_ = 0;
  double CompressionRate_ = 0.0;
};
