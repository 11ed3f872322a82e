#include "engine/core/VLMBLOBStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/core/VLMByteOrder.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "platform/host/ScopeExit.h"

namespace {

// Descriptor field offsets.
constexpr int kDescBlockSize = 0;
constexpr int kDescBlockCount = 4;
constexpr int kDescUncompressedSize = 12;
constexpr int kDescStartPosition = 20;
constexpr int kDescAlgorithm = 28;
constexpr int kDescMode = 29;
constexpr int kDescReserved = 30;

// Block header field offsets.
constexpr int64_t kHeaderSize = kVLMCompressedBlockHeaderSize;  // 20
constexpr int kHdrCompressedSize = 0;
constexpr int kHdrUncompressedSize = 4;
constexpr int kHdrCRC32 = 8;
constexpr int kHdrBlockLength = 12;

// The stream's BlockSize is a signed 32-bit count; a stored block size beyond
// it is corrupt.
constexpr uint32_t kMaxBlockSize = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());

constexpr const char* kPositionMessage = "Cannot set stream position to %d. Position = %d, Size = %d";
constexpr const char* kSizeTooSmall = "Stream size = %d too small. Should be at least = %d";
constexpr const char* kInvalidHeader = "Invalid BLOB block header";

void EncodeHeader(const TVLMCompressedBlockHeader& h, uint8_t* p) {
  VLMPutU32LE(p + kHdrCompressedSize, h.CompressedSize);
  VLMPutU32LE(p + kHdrUncompressedSize, h.UncompressedSize);
  VLMPutU32LE(p + kHdrCRC32, h.CRC32);
  VLMPutI64LE(p + kHdrBlockLength, h.BlockLength);
}
TVLMCompressedBlockHeader DecodeHeader(const uint8_t* p) {
  TVLMCompressedBlockHeader h;
  h.CompressedSize = VLMGetU32LE(p + kHdrCompressedSize);
  h.UncompressedSize = VLMGetU32LE(p + kHdrUncompressedSize);
  h.CRC32 = VLMGetU32LE(p + kHdrCRC32);
  h.BlockLength = VLMGetI64LE(p + kHdrBlockLength);
  return h;
}

// a + b, held at the int64 limits instead of overflowing.
int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  return r;
}

[[noreturn]] void RaiseInvalidHeader() { throw EVLMException(10084, kInvalidHeader); }

// A block of the engine memory manager, freed when it goes out of scope.
class EngineBlock {
public:
  EngineBlock(int64_t size, bool zeroed)
      : P_(static_cast<uint8_t*>(zeroed ? VLMMemoryManager().AllocMem(size)
                                        : VLMMemoryManager().GetMem(size))) {}
  ~EngineBlock() {
    // A damaged tail is reported by Free() on the normal path; while an
    // error is already on its way out the block is only released.
    try {
      Free();
    } catch (...) {
    }
  }
  EngineBlock(const EngineBlock&) = delete;
  EngineBlock& operator=(const EngineBlock&) = delete;

  uint8_t* Data() const { return P_; }
  void Free() {
    if (P_ != nullptr) VLMMemoryManager().FreeMem(P_);
  }

private:
  uint8_t* P_;
};

}  // namespace

// ------------------------------------------------------------- descriptor

void TVLMBLOBDescriptor::SaveToBytes(uint8_t* dest) const {
  VLMPutU32LE(dest + kDescBlockSize, BlockSize);
  VLMPutI64LE(dest + kDescBlockCount, BlockCount);
  VLMPutI64LE(dest + kDescUncompressedSize, UncompressedSize);
  VLMPutI64LE(dest + kDescStartPosition, StartPosition);
  dest[kDescAlgorithm] = Algorithm;
  dest[kDescMode] = Mode;
  dest[kDescReserved] = Reserved[0];
  dest[kDescReserved + 1] = Reserved[1];
}

TVLMBLOBDescriptor TVLMBLOBDescriptor::LoadFromBytes(const uint8_t* source) {
  TVLMBLOBDescriptor d;
  d.BlockSize = VLMGetU32LE(source + kDescBlockSize);
  d.BlockCount = VLMGetI64LE(source + kDescBlockCount);
  d.UncompressedSize = VLMGetI64LE(source + kDescUncompressedSize);
  d.StartPosition = VLMGetI64LE(source + kDescStartPosition);
  d.Algorithm = source[kDescAlgorithm];
  d.Mode = source[kDescMode];
  d.Reserved = {source[kDescReserved], source[kDescReserved + 1]};
  return d;
}

// ---------------------------------------------------------------- opening

namespace {

// Plain bytes per block of a new compressed value: stronger modes work on
// larger blocks.
uint32_t BlockSizeForMode(uint8_t mode) {
  if (mode == 0) return 102400;
  if (mode <= 3) return 524288;
  if (mode <= 6) return 1048576;
  return 1572864;
}

}  // namespace

TVLMCompressedBLOBStream::TVLMCompressedBLOBStream(qv::Stream& stream, bool skipSizeCheck,
                                                   bool truncate,
                                                   const TVLMBLOBDescriptor& descriptor)
    : Inner_(stream), SkipSizeCheck_(skipSizeCheck), Descriptor_(descriptor) {
  Algorithm_ = Descriptor_.Algorithm;
  Mode_ = Descriptor_.Mode;
  StartPosition_ = Descriptor_.StartPosition;
  if (Descriptor_.BlockSize > kMaxBlockSize) RaiseInvalidHeader();
  BlockSize_ = Descriptor_.BlockSize;
  BlockSize = static_cast<int32_t>(BlockSize_);

  // Streams that accept a negative position would let the value start
  // before the inner stream does.
  if (StartPosition_ < 0)
    throw EVLMException(10103, kPositionMessage, {StartPosition_, Inner_.Position(), Inner_.Size()});
  // A stored value begins inside the inner stream or right at its end, with
  // or without the size check: a start beyond it can only come from a
  // damaged descriptor, and the first write would grow the inner stream up
  // to it. A new value (truncate) goes wherever its owner puts it.
  if (const int64_t innerSize = Inner_.Size(); !truncate && StartPosition_ > innerSize)
    throw EVLMException(10082, kSizeTooSmall, {innerSize, StartPosition_});
  VLMSetStreamPosition(Inner_, 10103, StartPosition_);

  if (Algorithm_ == VLMCompressionNone) {
    const int64_t position = Inner_.Position();
    if (position != StartPosition_)
      throw EVLMException(10079, kPositionMessage, {StartPosition_, position, Inner_.Size()});
    if (truncate) {
      UncompressedSize_ = 0;
    } else {
      if (Descriptor_.UncompressedSize < 0) RaiseInvalidHeader();
      UncompressedSize_ = Descriptor_.UncompressedSize;
      const int64_t innerSize = Inner_.Size();
      const int64_t held = std::max<int64_t>(innerSize - position, 0);
      if (!SkipSizeCheck_ && held < UncompressedSize_)
        throw EVLMException(10081, kSizeTooSmall,
                            {innerSize, SaturatingAdd(position, UncompressedSize_)});
    }
    UpdateSizes();
    return;
  }

  if (truncate) {
    if (Descriptor_.BlockSize == 0) Descriptor_.BlockSize = BlockSizeForMode(Mode_);
    Descriptor_.BlockCount = 0;
  } else if (Descriptor_.BlockSize == 0 || Descriptor_.BlockCount < 0) {
    // Block arithmetic needs a block size, and a stored value never has a
    // negative number of blocks.
    RaiseInvalidHeader();
  }
  BlockSize_ = Descriptor_.BlockSize;
  BlockSize = static_cast<int32_t>(BlockSize_);
  LoadHeaders();
  Position_ = 0;
  CurrentBlock_ = 0;
  UpdateSizes();
}

TVLMCompressedBLOBStream::~TVLMCompressedBLOBStream() = default;

// Reads the header chain from StartPosition. Every header is checked before
// it is used, so a damaged chain cannot make a later read allocate without
// bound or copy past a block: sizes must fit the block rules of invariant 2,
// BlockLength must be CompressedSize + 20, and the compressed bytes must lie
// inside the inner stream. Each accepted header moves on by at least 21 bytes
// of the inner stream, which bounds the loop whatever BlockCount says.
void TVLMCompressedBLOBStream::LoadHeaders() {
  UncompressedSize_ = 0;
  CompressedSize_ = 0;
  const int64_t start = Inner_.Position();
  if (start != StartPosition_)
    throw EVLMException(10080, kPositionMessage, {StartPosition_, start, Inner_.Size()});
  Headers_.SetCount(0);

  const int64_t innerSize = Inner_.Size();
  const int64_t blockCount = Descriptor_.BlockCount;
  int64_t i = 0;
  bool cut = false;
  for (; i < blockCount; ++i) {
    const int64_t p = Inner_.Position();
    if (innerSize - p < kHeaderSize) {
      cut = true;
      break;
    }
    uint8_t bytes[kHeaderSize];
    VLMReadStreamBuffer(bytes, kHeaderSize, Inner_, 10082);
    const TVLMCompressedBlockHeader h = DecodeHeader(bytes);
    if (h.CompressedSize == 0 || h.UncompressedSize == 0 || h.UncompressedSize > BlockSize_ ||
        (i < blockCount - 1 && h.UncompressedSize != BlockSize_) ||
        h.BlockLength != static_cast<int64_t>(h.CompressedSize) + kHeaderSize)
      RaiseInvalidHeader();
    if (static_cast<int64_t>(h.CompressedSize) > innerSize - p - kHeaderSize) {
      // The block's bytes run past the end of the inner stream.
      if (!SkipSizeCheck_) RaiseInvalidHeader();
      cut = true;
      break;
    }
    UncompressedSize_ += h.UncompressedSize;
    CompressedSize_ += h.CompressedSize;
    Headers_.Append(h, p);
    VLMSetStreamPosition(Inner_, 10083, p + h.BlockLength);
  }
  if (cut) {
    if (!SkipSizeCheck_)
      throw EVLMException(10082, kSizeTooSmall,
                          {innerSize, SaturatingAdd(Inner_.Position(), kHeaderSize)});
    Descriptor_.BlockCount = i;
  }
}

// ----------------------------------------------------------------- blocks

// Decompresses block blockNo and checks it against its header. The result
// holds exactly the header's UncompressedSize plain bytes.
TVLMCompressionBuffer TVLMCompressedBLOBStream::LoadBlock(int64_t blockNo) {
  const TVLMCompressedBlockHeader header = Headers_.Headers(blockNo);
  const int64_t dataPosition = Headers_.Positions(blockNo) + kHeaderSize;
  const int64_t compressedSize = header.CompressedSize;
  TVLMCompressionBuffer plain;
  {
    EngineBlock compressed(compressedSize, false);
    Inner_.Seek(dataPosition, qv::SeekOrigin::Beginning);
    VLMReadStreamBuffer(compressed.Data(), compressedSize, Inner_, 10086);
    plain.Size = header.UncompressedSize;
    if (!VLMDecompressBuffer(Algorithm_, compressed.Data(), compressedSize, plain.Size, plain.P))
      throw EVLMException(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                          {static_cast<int>(Algorithm_), compressedSize, plain.Size});
    compressed.Free();
  }
  if (plain.Size != static_cast<int64_t>(header.UncompressedSize))
    throw EVLMException(10088, "Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d",
                        {plain.Size, static_cast<int64_t>(header.UncompressedSize)});
  const uint32_t crc = VLMCRC32(0, plain.P, plain.Size);
  if (crc != header.CRC32)
    throw EVLMException(10089, "Decompress buffer failed. CheckSum = %d, Header.Crc32 = %d",
                        {static_cast<int32_t>(crc), static_cast<int32_t>(header.CRC32)});
  return plain;
}

// Fills header's sizes and CRC for inSize plain bytes and compresses them
// into output.
void TVLMCompressedBLOBStream::CompressBlock(const void* plain, int64_t inSize,
                                             TVLMCompressedBlockHeader& header, TVLMCompressionBuffer& output) {
  header.UncompressedSize = static_cast<uint32_t>(inSize);
  header.CRC32 = VLMCRC32(0, plain, inSize);
  const bool ok = VLMCompressBuffer(Algorithm_, Mode_, plain, inSize, output.P, output.Size);
  // A block of at most 2^31 - 1 plain bytes never compresses past the u32
  // field, but the header must be able to say what was written.
  if (!ok || output.Size > static_cast<int64_t>(UINT32_MAX) - kHeaderSize) {
    const int64_t outSize = output.Size;
    output.Free();
    throw EVLMException(10085,
                        "Compress buffer failed. CompAlg = %d, CompMode = %d, InSize = %d, OutSize = %d",
                        {static_cast<int>(Algorithm_), static_cast<int>(Mode_), inSize, outSize});
  }
  header.CompressedSize = static_cast<uint32_t>(output.Size);
  header.BlockLength = static_cast<int64_t>(header.CompressedSize) + kHeaderSize;
}

// Compresses inSize plain bytes as block blockNo and writes header and data
// at the block's recorded position. The header in memory changes only once
// the whole block is written, so a failure leaves the sizes in memory as they
// were (the block itself may then fail its CRC check).
void TVLMCompressedBLOBStream::WriteBlock(int64_t blockNo, const void* plain, int64_t inSize) {
  TVLMCompressedBlockHeader header = Headers_.Headers(blockNo);
  TVLMCompressionBuffer output;
  CompressBlock(plain, inSize, header, output);
  VLMSetStreamPosition(Inner_, 10099, Headers_.Positions(blockNo));
  uint8_t bytes[kHeaderSize];
  EncodeHeader(header, bytes);
  VLMWriteStreamBuffer(bytes, kHeaderSize, Inner_, 10100);
  VLMWriteStreamBuffer(output.P, header.CompressedSize, Inner_, 10101);
  Headers_.Headers(blockNo) = header;
}

// ------------------------------------------------------------------- Read

int64_t TVLMCompressedBLOBStream::Read(void* buffer, int64_t count) {
  if (Algorithm_ == VLMCompressionNone) {
    const int64_t n = Inner_.Read(buffer, count);
    Position_ = Inner_.Position() - StartPosition_;
    return n;
  }
  if (count <= 0 || Position_ < 0 || Position_ >= UncompressedSize_) return 0;
  auto* dest = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  CurrentBlock_ = Position_ / BlockSize_;
  while (Position_ < UncompressedSize_ && done < count) {
    const TVLMCompressionBuffer plain = LoadBlock(CurrentBlock_);
    const int64_t offset = Position_ % BlockSize_;
    int64_t n = BlockSize_ - offset;
    n = std::min(n, count - done);
    n = std::min(n, UncompressedSize_ - Position_);
    // The header checks keep every copy inside its block; this only guards
    // against a value whose sizes no longer agree.
    if (n <= 0 || offset + n > plain.Size)
      throw EVLMException(10090, "Cannot read from stream. ReadSize = %d", {n});
    std::memcpy(dest + done, plain.Bytes() + offset, static_cast<size_t>(n));
    done += n;
    Position_ += n;
    if (done < count) ++CurrentBlock_;
  }
  return done;
}

// ------------------------------------------------------------------ Write

int64_t TVLMCompressedBLOBStream::Write(const void* buffer, int64_t count) {
  if (Algorithm_ == VLMCompressionNone) {
    const int64_t n = Inner_.Write(buffer, count);
    // An inner stream that still ends before StartPosition holds an empty
    // value, not a negative one.
    UncompressedSize_ = std::max<int64_t>(Inner_.Size() - StartPosition_, 0);
    Position_ = Inner_.Position() - StartPosition_;
    UpdateSizes();
    return n;
  }
  if (count <= 0 || Position_ < UncompressedSize_) {
    UpdateSizes();
    return 0;
  }
  if (Position_ > UncompressedSize_) ExtendToPosition();

  const auto* source = static_cast<const uint8_t*>(buffer);
  int64_t written = 0;
  // Whatever happens below, the sizes and the descriptor cover exactly the
  // blocks that were written whole, so a failed write leaves a consistent
  // (shorter) value behind.
  auto account = qv::ScopeExit([&] {
    UncompressedSize_ += written;
    Position_ += written;
    Descriptor_.BlockCount = Headers_.Count();
    UpdateSizes();
  });
  CurrentBlock_ = Headers_.Count() > 0 ? Headers_.Count() - 1 : 0;
  const int64_t r = Position_ % BlockSize_;
  if (r > 0) {
    // The last block is partial: fill it up and rewrite it in place. The
    // buffer holds just the new block, so a large stored block size costs
    // nothing until the data is really there.
    const int64_t n = std::min(BlockSize_ - r, count);
    EngineBlock block(r + n, false);
    {
      const TVLMCompressionBuffer plain = LoadBlock(CurrentBlock_);
      // Invariant 2 makes the last block hold exactly r bytes.
      if (plain.Size != r) RaiseInvalidHeader();
      std::memcpy(block.Data(), plain.P, static_cast<size_t>(r));
    }
    std::memcpy(block.Data() + r, source, static_cast<size_t>(n));
    WriteBlock(CurrentBlock_, block.Data(), r + n);
    written = n;
    ++CurrentBlock_;
    block.Free();
  }
  if (written < count) {
    if (r > 0 && CurrentBlock_ > 0) --CurrentBlock_;
    // New blocks follow the last one, or begin the value.
    int64_t next = StartPosition_;
    if (Headers_.Count() > 0) {
      next = Headers_.Positions(CurrentBlock_) + Headers_.Headers(CurrentBlock_).BlockLength;
      CurrentBlock_ = Headers_.Count();
    } else {
      CurrentBlock_ = 0;
    }
    VLMSetStreamPosition(Inner_, 10102, next);
    // Each block is compressed straight from the caller's buffer; its
    // header joins the array once the block is on the inner stream.
    while (written < count) {
      const int64_t n = std::min(count - written, BlockSize_);
      TVLMCompressedBlockHeader header;
      TVLMCompressionBuffer output;
      CompressBlock(source + written, n, header, output);
      const int64_t position = Inner_.Position();
      uint8_t bytes[kHeaderSize];
      EncodeHeader(header, bytes);
      VLMWriteStreamBuffer(bytes, kHeaderSize, Inner_, 10100);
      VLMWriteStreamBuffer(output.P, header.CompressedSize, Inner_, 10101);
      Headers_.Append(header, position);
      written += n;
      ++CurrentBlock_;
    }
  }
  return written;
}

// Fills the gap between the end of the value and Position with zero bytes.
void TVLMCompressedBLOBStream::ExtendToPosition() {
  const int64_t wanted = Position_;
  SetSize(wanted);
  Position_ = wanted;
  if (Position_ != wanted)
    throw EVLMException(10091, kPositionMessage, {wanted, Position_, UncompressedSize_});
  if (UncompressedSize_ != wanted)
    throw EVLMException(10092, "Invalid stream size = %d. Should be = %d", {UncompressedSize_, wanted});
}

// Recomputes what follows from the blocks: the descriptor's size, the
// compressed size and the rate.
void TVLMCompressedBLOBStream::UpdateSizes() {
  Descriptor_.UncompressedSize = UncompressedSize_;
  if (Algorithm_ != VLMCompressionNone && UncompressedSize_ > 0) {
    int64_t sum = 0;
    for (int64_t i = 0; i < Headers_.Count(); ++i) sum += Headers_.Headers(i).CompressedSize;
    CompressedSize_ = sum;
    CompressionRate_ =
        (1.0 - static_cast<double>(CompressedSize_) / static_cast<double>(UncompressedSize_)) * 100.0;
  } else {
    CompressedSize_ = UncompressedSize_;
    CompressionRate_ = 0.0;
  }
}

// ---------------------------------------------------------------- SetSize

void TVLMCompressedBLOBStream::SetSize(int64_t newSize) {
  newSize = std::max<int64_t>(newSize, 0);
  if (Algorithm_ == VLMCompressionNone) {
    Inner_.SetSize(SaturatingAdd(StartPosition_, newSize));
  } else if (newSize > UncompressedSize_) {
    ExtendSize(newSize);
  } else if (newSize < UncompressedSize_) {
    TruncateSize(newSize);
  }
  UncompressedSize_ = newSize;
  UpdateSizes();
  if (Position_ > newSize) Position_ = newSize;
}

// Appends zero bytes up to newSize through Write, one block at a time.
void TVLMCompressedBLOBStream::ExtendSize(int64_t newSize) {
  Position_ = UncompressedSize_;
  int64_t left = newSize - UncompressedSize_;
  if (left <= 0)
    throw EVLMException(10098,
                        "Invalid extension size. NewSize = %d, UncompressedSize = %d, ExtensionSize = %d",
                        {newSize, UncompressedSize_, left});
  EngineBlock zeros(std::min(BlockSize_, left), true);
  while (left > 0) {
    const int64_t n = std::min(BlockSize_, left);
    VLMWriteStreamBuffer(zeros.Data(), n, *this, 10097);
    left -= n;
  }
  zeros.Free();
}

// Drops the blocks past newSize. A cut inside a block recompresses that
// block's first bytes and writes it back as the new end of the inner stream;
// a cut on a block boundary leaves the inner stream as it is.
void TVLMCompressedBLOBStream::TruncateSize(int64_t newSize) {
  const int64_t q = newSize / BlockSize_;
  const int64_t r = newSize % BlockSize_;
  const int64_t newCount = r > 0 ? q + 1 : q;
  TVLMCompressedBlockHeader header;
  TVLMCompressionBuffer output;
  if (r > 0) {
    header = Headers_.Headers(q);
    const TVLMCompressionBuffer plain = LoadBlock(q);
    CompressBlock(plain.P, r, header, output);
    Headers_.Headers(q) = header;
  }
  Descriptor_.BlockCount = newCount;
  Headers_.SetCount(newCount);
  if (r > 0) {
    const int64_t position = Headers_.Positions(q);
    Inner_.SetSize(position);
    if (Inner_.Size() != position)
      throw EVLMException(10093, "Invalid stream size = %d. Should be = %d", {Inner_.Size(), position});
    VLMSetStreamPosition(Inner_, 10094, Inner_.Size());
    uint8_t bytes[kHeaderSize];
    EncodeHeader(header, bytes);
    if (Inner_.Write(bytes, kHeaderSize) != kHeaderSize)
      throw EVLMException(10095, "Error writing to stream");
    if (Inner_.Write(output.P, header.CompressedSize) != static_cast<int64_t>(header.CompressedSize))
      throw EVLMException(10096, "Error writing to stream");
  }
}

// ------------------------------------------------------------------- Seek

int64_t TVLMCompressedBLOBStream::Seek(int64_t offset, qv::SeekOrigin origin) {
  int64_t target = Position_;
  switch (origin) {
    case qv::SeekOrigin::Beginning:
      target = offset;
      break;
    case qv::SeekOrigin::Current:
      target = SaturatingAdd(Position_, offset);
      break;
    case qv::SeekOrigin::End:
      target = SaturatingAdd(UncompressedSize_, offset);
      break;
    default:
      break;
  }
  if (Algorithm_ == VLMCompressionNone) {
    Inner_.Seek(SaturatingAdd(StartPosition_, target), qv::SeekOrigin::Beginning);
    Position_ = Inner_.Position() - StartPosition_;
    return Position_;
  }
  Position_ = target <= 0 ? 0 : target;
  return Position_;
}
