// VLMDiskEngine, journal part: the file beside a database that makes a
// commit atomic across a stopped process and a power cut. Before a commit
// overwrites any committed byte of the database in place, the journal holds
// those bytes as they were (the pre-images), with the database's block 1
// before and after the commit; an open that finds the commit interrupted
// writes the pre-images back. The commit protocol and the recovery rule that
// use it are described in VLMDiskEngine.h; this part is the file format, the
// set of writes a commit collects, and the comparison of a journal with the
// database it may belong to.
//
// The journal of "X" is "X.jnl" (VLMJournalFileName). It is written from
// its start by every commit and never appended to: a longer tail left by an
// earlier, larger commit lies beyond the journal length and is never read.
//
// Journal header (kVLMJournalHeaderSize bytes, at 0):
//
//   offset  size  field
//   0       8     signature "VELMJRNL"
//   8       4     format version (u32, 1)
//   12      4     salt (u32): random and never 0, new for every commit; it
//                 starts the CRC of every record, so a record left from an
//                 earlier journal in the file never passes as one of this
//   16      4     flags (u32): 0
//   20      4     record count (u32)
//   24      8     journal length in bytes, header and records (i64)
//   32      8     database offset S (i64)
//   40      8     end of the pages after the commit: the file position of
//                 page PageCount (i64); ranges from there on were cut off
//   48      2     page size (u16)
//   50      2     length L of the block 1 images (u16, 76)
//   52      L     block 1 before the commit, as the file held it
//   52 + L  L     block 1 after the commit (CommitState 2, ChangeCounter + 1)
//   ...           zero
//   508     4     CRC of bytes 0-507 (VLMCRC32 started from 0)
//
// Record (one range of the database file the commit writes), from 512 on:
//
//   0       8     file position of the range (i64)
//   8       4     length n (u32)
//   12      2     flags (u16): 1 = n bytes of pre-image follow the piece
//                 CRCs; 2 = unchecked: the range is also written in place
//                 outside commits, so its bytes say nothing about the commit
//   14      2     piece count m (u16)
//   16      4m    CRC of each piece of the new bytes; the range is cut into
//                 pieces at file positions that are multiples of
//                 kVLMJournalPieceSize, the unit a torn write keeps or loses
//   16+4m   n     pre-image (flag 1)
//   ...     4     CRC, started from the salt, of the record's bytes before it
//
// A journal is whole when its header and every record pass their CRCs and
// the file holds the journal length. Only a whole journal is ever applied.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv {
class File;
}

inline constexpr char kVLMJournalSignature[] = "VELMJRNL";
inline constexpr int32_t kVLMJournalSignatureSize = 8;
inline constexpr uint32_t kVLMJournalVersion = 1;
inline constexpr int32_t kVLMJournalHeaderSize = 512;
inline constexpr int32_t kVLMJournalPieceSize = 512;
inline constexpr char kVLMJournalSuffix[] = ".jnl";
// Fields of the journal header.
inline constexpr int32_t kVLMJournalVersionOffset = 8;
inline constexpr int32_t kVLMJournalSaltOffset = 12;
inline constexpr int32_t kVLMJournalFlagsOffset = 16;
inline constexpr int32_t kVLMJournalRecordCountOffset = 20;
inline constexpr int32_t kVLMJournalLengthOffset = 24;
inline constexpr int32_t kVLMJournalDatabaseOffsetOffset = 32;
inline constexpr int32_t kVLMJournalPagesEndOffset = 40;
inline constexpr int32_t kVLMJournalPageSizeOffset = 48;
inline constexpr int32_t kVLMJournalImageLengthOffset = 50;
inline constexpr int32_t kVLMJournalImagesOffset = 52;
inline constexpr int32_t kVLMJournalHeaderCRCOffset = 508;
// Record fields and flags.
inline constexpr int32_t kVLMJournalRecordFixedSize = 16;
inline constexpr uint16_t kVLMJournalPreImage = 1;
inline constexpr uint16_t kVLMJournalUnchecked = 2;

// The journal file of a database file.
std::string VLMJournalFileName(const std::string& databaseFileName);

// The writes of one commit, collected before any of them reaches the
// database: ranges of the file with their new bytes. The page numbers it
// lists are the pages the commit changes in the file.
class TVLMCommitWriteSet {
public:
  struct Range {
    int64_t Position = 0;
    int32_t Length = 0;
    int32_t PageNo = -1;
    size_t Offset = 0;       // of the new bytes in the set's buffer
    bool PreImage = false;   // the range holds committed data: the journal keeps it
    bool Unchecked = false;  // the range is written in place outside commits too
  };

  void Clear();
  void Add(int64_t position, const void* bytes, int32_t length, int32_t pageNo, bool preImage, bool unchecked);
  // Ascending positions. Ranges never overlap (30447 when two would).
  void Sort();
  const std::vector<Range>& Ranges() const { return Ranges_; }
  const uint8_t* Bytes(const Range& range) const { return Bytes_.data() + range.Offset; }
  bool Empty() const { return Ranges_.empty(); }
  // The pages the commit writes or frees, ascending, each once.
  std::vector<int32_t> PageNumbers() const;

private:
  std::vector<Range> Ranges_;
  std::vector<uint8_t> Bytes_;
};

// Reads count bytes of the database file at position; bytes beyond its end
// read as zero.
using TVLMDatabaseReader = std::function<void(void* buffer, int64_t position, int32_t count)>;

// What a journal says besides its ranges.
struct TVLMJournalCommit {
  int64_t DatabaseOffset = 0;
  int64_t PagesEnd = 0;
  uint16_t PageSize = 0;
  std::vector<uint8_t> Before;  // block 1 before the commit
  std::vector<uint8_t> After;   // block 1 after it
};

class TVLMCommitJournal {
public:
  // Writes the journal of a commit into journal (from its start): the
  // pre-images of the ranges that have one, read from the database now, and
  // the pieces' CRCs of every range's new bytes; flushes it when sync. The
  // buffer is the caller's, kept between commits. Throws what the file
  // layer throws.
  static void Write(qv::File& journal, const TVLMJournalCommit& commit, const TVLMCommitWriteSet& writes,
                    const TVLMDatabaseReader& readDatabase, bool sync, std::vector<uint8_t>& buffer);
  // True when the file begins with a journal header that passes its CRC and
  // names this database offset and page size; the header's images then fill
  // commit. Reads the header only.
  static bool ReadHeader(qv::File& journal, int64_t databaseOffset, uint16_t pageSize, TVLMJournalCommit& commit);

  // Loads the journal at fileName. False when there is none, or it is not
  // whole, or it names another database offset or page size.
  bool Load(const std::string& fileName, int64_t databaseOffset, uint16_t pageSize);
  const TVLMJournalCommit& Commit() const { return Commit_; }

  // How the database's bytes compare with the loaded journal's ranges
  // (unchecked ranges aside):
  //   AllNew      every piece holds its new bytes (ranges at or beyond
  //               PagesEnd aside: the commit cut them off)
  //   AllOld      every piece of a range with a pre-image holds it
  //   Consistent  every piece holds its new bytes or its pre-image (a range
  //               without a pre-image may hold anything)
  struct Comparison {
    bool AllNew = true;
    bool AllOld = true;
    bool Consistent = true;
    // Some piece of an unchecked map page or freed counter holds the new
    // bytes the commit gave it, unlike its old ones (the data areas of the
    // lock pages, which other handles write in place all the time, are left
    // out).
    bool UncheckedNew = false;
  };
  Comparison Compare(const TVLMDatabaseReader& readDatabase) const;

  // Writes every pre-image back, in the journal's order, through write;
  // those of unchecked ranges only when uncheckedToo.
  void WritePreImages(const std::function<void(const void* bytes, int64_t position, int32_t count)>& write,
                      bool uncheckedToo = true) const;
  // Bytes of the database at position as the last finished commit left
  // them: buffer, read from the file now, gets block 1 before and every
  // pre-image it overlaps; checkedOnly (a commit that wrote nothing, whose
  // block 1 and unchecked ranges other handles change in place): only the
  // pre-images of checked ranges.
  void PatchPreImages(uint8_t* buffer, int64_t position, int64_t count, bool checkedOnly = false) const;
  // The file positions of the ranges that have no pre-image: new pages of
  // the commit, and the pages its session took before it.
  std::vector<int64_t> PositionsWithoutPreImage() const;

private:
  struct Record {
    int64_t Position = 0;
    int32_t Length = 0;
    uint16_t Flags = 0;
    size_t Pieces = 0;    // offset of the piece CRCs in Data_
    size_t PreImage = 0;  // offset of the pre-image in Data_
  };
  TVLMJournalCommit Commit_;
  std::vector<Record> Records_;
  std::vector<uint8_t> Data_;
};
