// VLMDiskEngine, internal-files part: transacted and direct internal files,
// the system directory and the table list. Layouts are described in
// VLMDiskEngineFiles.h and VLMDiskEngine.h.
//
// Chain head (first data area of a file): 0 u8 length 10 | 1 u32 StoredSize
// | 5 u32 LogicalSize | 9 u8 compression algorithm. A transacted file that
// shrinks keeps its chain; when it grows again it reuses the pages still
// linked before it adds new ones, so no page is left unreachable.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

// The pages met along a chain, to stop at a loop. Most chains are one or
// two pages long (a table's counters are read and written on every insert),
// so the first pages are kept in a small array and a set is built only for
// long chains.
class ChainPages {
public:
  ChainPages() = default;
  explicit ChainPages(int32_t first) { insert(first); }
  // False when pageNo was met before.
  bool insert(int32_t pageNo) {
    if (!Set_.empty()) return Set_.insert(pageNo).second;
    for (int32_t i = 0; i < Count_; ++i)
      if (Small_[i] == pageNo) return false;
    if (Count_ < kSmall) {
      Small_[Count_++] = pageNo;
      return true;
    }
    Set_.insert(Small_, Small_ + Count_);
    return Set_.insert(pageNo).second;
  }

private:
  static constexpr int32_t kSmall = 16;
  int32_t Small_[kSmall] = {};
  int32_t Count_ = 0;
  std::unordered_set<int32_t> Set_;
};

constexpr int32_t kHeadStoredSize = 1;
constexpr int32_t kHeadLogicalSize = 5;
constexpr int32_t kHeadAlgorithm = 9;

void WriteHead(uint8_t* data, uint32_t storedSize, uint32_t logicalSize, uint8_t algorithm) {
  data[0] = kVLMInternalFileHeadSize;
  VLMPutU32LE(data + kHeadStoredSize, storedSize);
  VLMPutU32LE(data + kHeadLogicalSize, logicalSize);
  data[kHeadAlgorithm] = algorithm;
}

// The chain of the file that starts at startPageNo ends (a next page of -1)
// before the bytes its head counts: the head or a link is damaged, or the
// data areas were read without their decryption (a cleared encryption flag).
[[noreturn]] void RaiseChainTooShort(int32_t startPageNo, int64_t read, uint32_t wanted) {
  throw EVLMException(30388,
                      "Cannot read internal file at page %d: its page chain ends after %d of the %d bytes its head "
                      "counts. The database file is damaged",
                      {startPageNo, static_cast<long long>(read), wanted});
}

}  // namespace

// ------------------------------------------------ TVLMInternalDBTransactedAccessFile

TVLMInternalDBTransactedAccessFile::TVLMInternalDBTransactedAccessFile(TVLMPageManager* pageManager,
                                                                       uint16_t pageType)
    : PageManager(pageManager), PageType(pageType) {}

void TVLMInternalDBTransactedAccessFile::CheckOpen(const char* operation) const {
  if (StartPageNo == -1)
    throw EVLMException(20156, "Cannot perform this operation (%s) on closed internal file", {operation});
}

int32_t TVLMInternalDBTransactedAccessFile::CreateFile(int32_t sessionID) {
  if (StartPageNo != -1)
    throw EVLMException(30383, "Cannot create Internal file. File already exists. StartPageNo=%d", {StartPageNo});
  TVLMHeldPage page(PageManager, PageManager->NewPage(sessionID, PageType));
  WriteHead(page->Data(), 0, 0, 0);
  page->Modified = true;
  StartPageNo = page->PageNo;
  return StartPageNo;
}

int32_t TVLMInternalDBTransactedAccessFile::OpenFile(int32_t startPageNo) {
  if (startPageNo != -1) StartPageNo = startPageNo;
  return StartPageNo;
}

void TVLMInternalDBTransactedAccessFile::DeleteFile(int32_t sessionID, int32_t startPageNo) {
  if (startPageNo != -1) StartPageNo = startPageNo;
  if (StartPageNo == -1) return;
  ChainPages seen;
  int32_t pageNo = StartPageNo;
  while (pageNo >= 0) {
    if (!seen.insert(pageNo))
      throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {pageNo});
    int32_t next;
    {
      TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, true, PageType));
      next = page->GetNextPage();
    }
    PageManager->RemovePage(sessionID, pageNo);
    pageNo = next;
  }
  StartPageNo = -1;
}

void TVLMInternalDBTransactedAccessFile::GetSize(int32_t sessionID, uint32_t& storedSize, bool sync,
                                                 bool& freshlyRead, uint8_t& algorithm, uint32_t& logicalSize) {
  CheckOpen("GetSize");
  TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, StartPageNo, sync, PageType));
  freshlyRead = page->FreshlyRead;
  const uint8_t* data = page->Data();
  storedSize = VLMGetU32LE(data + kHeadStoredSize);
  logicalSize = VLMGetU32LE(data + kHeadLogicalSize);
  algorithm = data[kHeadAlgorithm];
}

uint32_t TVLMInternalDBTransactedAccessFile::GetLogicalSize(int32_t sessionID) {
  uint32_t stored = 0, logical = 0;
  uint8_t algorithm = 0;
  bool fresh = false;
  GetSize(sessionID, stored, true, fresh, algorithm, logical);
  return logical;
}

void TVLMInternalDBTransactedAccessFile::SetSize(int32_t sessionID, uint32_t storedSize, uint8_t algorithm,
                                                 uint32_t logicalSize) {
  CheckOpen("SetSize");
  const int64_t d = PageManager->PageDataSize;
  const int64_t newPages = (static_cast<int64_t>(storedSize) + kVLMInternalFileHeadSize + d - 1) / d;
  TVLMHeldPage first(PageManager, PageManager->GetPage(sessionID, StartPageNo, true, PageType));

  // Pages still linked (also those a smaller size left behind) are reused.
  ChainPages seen(StartPageNo);
  int64_t count = 1;
  int32_t lastNo = StartPageNo;
  int32_t next = first->GetNextPage();
  while (count < newPages && next >= 0) {
    if (!seen.insert(next)) throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {next});
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, next, true, PageType));
    lastNo = next;
    next = page->GetNextPage();
    ++count;
  }
  for (; count < newPages; ++count) {
    TVLMHeldPage fresh(PageManager, PageManager->NewPage(sessionID, PageType));
    TVLMHeldPage last(PageManager, PageManager->GetPage(sessionID, lastNo, true, PageType));
    last->SetNextPage(fresh->PageNo);
    last->Modified = true;
    lastNo = fresh->PageNo;
  }

  WriteHead(first->Data(), storedSize, logicalSize, algorithm);
  first->Modified = true;
}

void TVLMInternalDBTransactedAccessFile::ReadStored(int32_t sessionID, uint8_t* dest, uint32_t count, bool sync,
                                                   uint32_t) {
  const int64_t d = PageManager->PageDataSize;
  int32_t pageNo = StartPageNo;
  int64_t offset = kVLMInternalFileHeadSize;
  int64_t done = 0;
  ChainPages seen;
  while (done < count && pageNo >= 0) {
    if (!seen.insert(pageNo)) throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {pageNo});
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, sync, PageType));
    const int64_t n = std::min<int64_t>(d - offset, count - done);
    std::memcpy(dest + done, page->Data() + offset, static_cast<size_t>(n));
    done += n;
    offset = 0;
    pageNo = page->GetNextPage();
  }
  if (done < count) RaiseChainTooShort(StartPageNo, done, count);
}

void TVLMInternalDBTransactedAccessFile::ReadFile(int32_t sessionID, void* buffer, bool sync, uint32_t count) {
  CheckOpen("ReadFile");
  uint32_t stored = 0, logical = 0;
  uint8_t algorithm = 0;
  bool fresh = false;
  GetSize(sessionID, stored, sync, fresh, algorithm, logical);
  if (count > logical)
    throw EVLMException(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", {logical, count});
  if (algorithm == VLMCompressionNone) {
    ReadStored(sessionID, static_cast<uint8_t*>(buffer), count, sync, logical);
    return;
  }
  std::vector<uint8_t> all = ReadAll(sessionID, sync);
  std::memcpy(buffer, all.data(), count);
}

std::vector<uint8_t> TVLMInternalDBTransactedAccessFile::ReadAll(int32_t sessionID, bool sync) {
  std::vector<uint8_t> bytes;
  ReadAll(sessionID, sync, bytes);
  return bytes;
}

void TVLMInternalDBTransactedAccessFile::ReadAll(int32_t sessionID, bool sync, std::vector<uint8_t>& bytes) {
  CheckOpen("ReadFile");
  uint32_t stored = 0, logical = 0;
  uint8_t algorithm = 0;
  bool fresh = false;
  GetSize(sessionID, stored, sync, fresh, algorithm, logical);
  const uint32_t wanted = algorithm == VLMCompressionNone ? logical : stored;
  // The buffer grows with the pages actually read, so a damaged size cannot
  // ask for more memory than the chain holds.
  const int64_t d = PageManager->PageDataSize;
  bytes.clear();
  bytes.reserve(std::min<uint32_t>(wanted, 1u << 20));
  int32_t pageNo = StartPageNo;
  int64_t offset = kVLMInternalFileHeadSize;
  ChainPages seen;
  while (bytes.size() < wanted && pageNo >= 0) {
    if (!seen.insert(pageNo)) throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {pageNo});
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, sync, PageType));
    const int64_t n = std::min<int64_t>(d - offset, static_cast<int64_t>(wanted) - static_cast<int64_t>(bytes.size()));
    bytes.insert(bytes.end(), page->Data() + offset, page->Data() + offset + n);
    offset = 0;
    pageNo = page->GetNextPage();
  }
  if (bytes.size() < wanted) RaiseChainTooShort(StartPageNo, static_cast<int64_t>(bytes.size()), wanted);
  if (algorithm == VLMCompressionNone) return;

  TVLMCompressionBuffer plain;
  plain.Size = logical;
  if (!VLMDecompressBuffer(algorithm, bytes.data(), static_cast<int64_t>(bytes.size()), plain.Size, plain.P) ||
      plain.Size != static_cast<int64_t>(logical))
    throw EVLMException(20189, "Table file decompression error. Possible table corruption");
  bytes.assign(plain.Bytes(), plain.Bytes() + plain.Size);
}

void TVLMInternalDBTransactedAccessFile::WriteFile(int32_t sessionID, const void* buffer, uint8_t compressionMode,
                                                   uint8_t algorithm, uint32_t count) {
  CheckOpen("WriteFile");
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t storedSize = count;
  TVLMCompressionBuffer packed;
  if (count == 0) algorithm = VLMCompressionNone;  // nothing to compress
  if (algorithm != VLMCompressionNone) {
    if (!VLMCompressBuffer(algorithm, compressionMode, buffer, count, packed.P, packed.Size) ||
        packed.Size > UINT32_MAX)
      throw EVLMException(20187, "Table file compression error");
    bytes = packed.Bytes();
    storedSize = static_cast<uint32_t>(packed.Size);
  }
  SetSize(sessionID, storedSize, algorithm, count);

  const int64_t d = PageManager->PageDataSize;
  int32_t pageNo = StartPageNo;
  int64_t offset = kVLMInternalFileHeadSize;
  int64_t done = 0;
  while (done < storedSize && pageNo >= 0) {
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, true, PageType));
    const int64_t n = std::min<int64_t>(d - offset, storedSize - done);
    std::memcpy(page->Data() + offset, bytes + done, static_cast<size_t>(n));
    page->Modified = true;
    done += n;
    offset = 0;
    pageNo = page->GetNextPage();
  }
  if (done < storedSize) throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {StartPageNo});
}

void TVLMInternalDBTransactedAccessFile::ResetFile(int32_t sessionID) {
  if (StartPageNo == -1) throw EVLMException(20301, "Invalid page number");
  struct SkipChecksScope {
    TVLMPageManager* Manager;
    ~SkipChecksScope() { Manager->SkipChecks = false; }
  } skip{PageManager};
  PageManager->SkipChecks = true;
  TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, StartPageNo, true, PageType));
  page->InitHeader();
  page->SetPageType(PageType);
  WriteHead(page->Data(), 0, 0, 0);
  page->Modified = true;
}

int32_t TVLMInternalDBTransactedAccessFile::GetNthPageNo(int32_t sessionID, int32_t n) {
  CheckOpen("GetNthPageNo");
  int32_t pageNo = StartPageNo;
  for (int32_t i = 0; i < n; ++i) {
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, true, PageType));
    const int32_t next = page->GetNextPage();
    if (next == -1 || next == -2)
      throw EVLMException(20300, "Error getting %d-th table file page. Probably database is corrupted and needs repair.",
                          {i + 1});
    pageNo = next;
  }
  return pageNo;
}

// ------------------------------------------------- TVLMInternalDBDirectAccessFile

TVLMInternalDBDirectAccessFile::TVLMInternalDBDirectAccessFile(TVLMDiskPageManager* pageManager, uint16_t pageType)
    : PageManager(pageManager), PageType(pageType) {}

void TVLMInternalDBDirectAccessFile::CheckOpen(const char* operation) const {
  if (StartPageNo == -1)
    throw EVLMException(20156, "Cannot perform this operation (%s) on closed internal file", {operation});
}

int32_t TVLMInternalDBDirectAccessFile::CreateFile(int32_t size) {
  if (StartPageNo != -1)
    throw EVLMException(20157, "Cannot create Internal file. File already exists. StartPageNo=%d", {StartPageNo});
  if (size < 0) throw EVLMException(30391, "Invalid internal file size = %d", {size});
  const int64_t d = PageManager->PageDataSize;
  const int64_t pages = (static_cast<int64_t>(size) + kVLMInternalFileHeadSize + d - 1) / d;
  TVLMHeldPage previous(PageManager, PageManager->NewPage(kVLMSystemSessionID, PageType));
  previous->Encrypt = false;
  WriteHead(previous->Data(), static_cast<uint32_t>(size), 0, 0);
  previous->Modified = true;
  Pages.SetSize(0);
  Pages.Append(previous->PageNo);
  StartPageNo = previous->PageNo;
  for (int64_t i = 1; i < pages; ++i) {
    TVLMPage* page = PageManager->NewPage(kVLMSystemSessionID, PageType);
    page->Encrypt = false;
    previous->SetNextPage(page->PageNo);
    previous.Reset(PageManager, page);
    Pages.Append(page->PageNo);
  }
  Size = size;
  return StartPageNo;
}

int32_t TVLMInternalDBDirectAccessFile::GetSize() {
  CheckOpen("GetSize");
  uint8_t head[kVLMInternalFileHeadSize];
  PageManager->ReadPageBytes(head, StartPageNo, kVLMInternalFileHeadSize, kVLMPageHeaderSize);
  return VLMGetI32LE(head + kHeadStoredSize);
}

int32_t TVLMInternalDBDirectAccessFile::CheckPageHeader(int32_t pageNo) {
  // From header byte 1 on: byte 0 may be locked by another process.
  uint8_t header[kVLMPageHeaderSize - 1];
  PageManager->ReadPageBytes(header, pageNo, kVLMPageHeaderSize - 1, 1);
  const uint16_t type = VLMGetU16LE(header + kVLMPageTypeOffset - 1);
  if (type != PageType)
    throw EVLMException(20155, "Invalid PageType found: %d but expecting: %d",
                        {static_cast<int>(type), static_cast<int>(PageType)});
  return VLMGetI32LE(header + kVLMPageNextOffset - 1);
}

void TVLMInternalDBDirectAccessFile::OpenFile(int32_t startPageNo) {
  if (startPageNo != -1) StartPageNo = startPageNo;
  CheckOpen("GetSize");
  const int32_t size = GetSize();
  if (size < 0) throw EVLMException(30391, "Invalid internal file size = %d", {size});
  const int64_t d = PageManager->PageDataSize;
  Pages.SetSize(0);
  int32_t next = CheckPageHeader(StartPageNo);
  Pages.Append(StartPageNo);
  if (next == -1) {
    Size = static_cast<int32_t>(d - kVLMInternalFileHeadSize);  // all of the single page
    return;
  }
  const int64_t count = (static_cast<int64_t>(size) + kVLMInternalFileHeadSize + d - 1) / d;
  ChainPages seen(StartPageNo);
  for (int64_t i = 1; i < count; ++i) {
    if (next < 0 || !seen.insert(next))
      throw EVLMException(30394, "Internal file chain is damaged. StartPageNo=%d", {StartPageNo});
    const int32_t pageNo = next;
    next = CheckPageHeader(pageNo);
    Pages.Append(pageNo);
  }
  Size = size;
}

void TVLMInternalDBDirectAccessFile::DeleteFile(int32_t startPageNo) {
  if (startPageNo != -1) StartPageNo = startPageNo;
  if (StartPageNo == -1) return;
  ChainPages seen;
  int32_t pageNo = StartPageNo;
  while (pageNo >= 0) {
    if (!seen.insert(pageNo))
      throw EVLMException(30394, "Internal file chain is damaged. StartPageNo=%d", {StartPageNo});
    const int32_t next = CheckPageHeader(pageNo);
    PageManager->RemovePage(kVLMSystemSessionID, pageNo);
    pageNo = next;
  }
  StartPageNo = -1;
  Pages.SetSize(0);
  Size = 0;
}

void TVLMInternalDBDirectAccessFile::MoveData(void* buffer, int32_t count, int32_t position, bool write) {
  if (position < 0 || position > Size)
    throw EVLMException(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {Size, position});
  if (count <= 0) return;
  if (static_cast<int64_t>(position) + count > Size) {
    if (write)
      throw EVLMException(20158, "Cannot write after end of file. FileSize=%d. Position=%d, Count=%d",
                          {Size, position, count});
    throw EVLMException(30386, "Cannot read after end of file. FileSize=%d. Position=%d, Count=%d",
                        {Size, position, count});
  }
  const int64_t d = PageManager->PageDataSize;
  const int64_t p = static_cast<int64_t>(position) + kVLMInternalFileHeadSize;
  int64_t index = p / d;
  int64_t offset = p % d;
  auto* bytes = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    if (index >= Pages.Count())
      throw EVLMException(30394, "Internal file chain is damaged. StartPageNo=%d", {StartPageNo});
    const int32_t pageNo = Pages.Items()[index];
    CheckPageHeader(pageNo);
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(d - offset, count - done));
    const int32_t pageOffset = static_cast<int32_t>(kVLMPageHeaderSize + offset);
    if (write) PageManager->WritePageBytes(bytes + done, pageNo, n, pageOffset);
    else PageManager->ReadPageBytes(bytes + done, pageNo, n, pageOffset);
    done += n;
    ++index;
    offset = 0;
  }
}

void TVLMInternalDBDirectAccessFile::DirectReadBuffer(void* buffer, int32_t count, int32_t position) {
  CheckOpen("DirectReadBuffer");
  MoveData(buffer, count, position, false);
}

void TVLMInternalDBDirectAccessFile::DirectWriteBuffer(const void* buffer, int32_t count, int32_t position) {
  CheckOpen("DirectWriteBuffer");
  MoveData(const_cast<void*>(buffer), count, position, true);
}

void TVLMInternalDBDirectAccessFile::LocateLockByte(int32_t position, int32_t& pageIndex, int32_t& offset) const {
  const int64_t d = PageManager->PageDataSize;
  const int64_t p = static_cast<int64_t>(position) + kVLMInternalFileHeadSize;
  const int64_t index = (p + d - 1) / d - 1;
  if (position < 0 || position > Size || index >= Pages.Count())
    throw EVLMException(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {Size, position});
  pageIndex = static_cast<int32_t>(index);
  offset = static_cast<int32_t>(kVLMPageHeaderSize + p % d);
}

bool TVLMInternalDBDirectAccessFile::LockFile() {
  CheckOpen("LockFile");
  return PageManager->LockPageByte(StartPageNo, 0);
}

bool TVLMInternalDBDirectAccessFile::UnlockFile() {
  CheckOpen("UnlockFile");
  return PageManager->UnlockPageByte(StartPageNo, 0);
}

bool TVLMInternalDBDirectAccessFile::LockByte(int32_t position) {
  CheckOpen("LockByte");
  int32_t index = 0, offset = 0;
  LocateLockByte(position, index, offset);
  return PageManager->LockPageByte(Pages.Items()[index], offset);
}

bool TVLMInternalDBDirectAccessFile::UnlockByte(int32_t position) {
  CheckOpen("UnlockByte");
  int32_t index = 0, offset = 0;
  LocateLockByte(position, index, offset);
  return PageManager->UnlockPageByte(Pages.Items()[index], offset);
}

bool TVLMInternalDBDirectAccessFile::IsByteLocked(int32_t position) {
  CheckOpen("IsByteLocked");
  int32_t index = 0, offset = 0;
  LocateLockByte(position, index, offset);
  return PageManager->IsPageByteLocked(Pages.Items()[index], offset);
}

bool TVLMInternalDBDirectAccessFile::IsRegionLocked(int32_t position, int32_t count) {
  CheckOpen("IsRegionLocked");
  if (count <= 0) return false;
  int32_t first = 0, firstOffset = 0, last = 0, lastOffset = 0;
  LocateLockByte(position, first, firstOffset);
  LocateLockByte(position + count - 1, last, lastOffset);
  const int32_t* pages = Pages.Items();
  if (first == last) return PageManager->IsPageRegionLocked(pages[first], firstOffset, count);
  if (PageManager->IsPageRegionLocked(pages[first], firstOffset, PageManager->PageSize - firstOffset)) return true;
  for (int32_t i = first + 1; i < last; ++i)
    if (PageManager->IsPageRegionLocked(pages[i], kVLMPageHeaderSize, PageManager->PageDataSize)) return true;
  return PageManager->IsPageRegionLocked(pages[last], kVLMPageHeaderSize, lastOffset - kVLMPageHeaderSize + 1);
}

// ------------------------------------------------------------ TVLMSystemDirectory

TVLMSystemDirectory::TVLMSystemDirectory(TVLMPageManager* pageManager)
    : File(pageManager, kVLMPageFileSystemDirectory) {}

void TVLMSystemDirectory::CreateFile() {
  const int32_t pageNo = File.CreateFile(kVLMSystemSessionID);
  if (pageNo != kVLMSystemDirectoryPage)
    throw EVLMException(30392, "Error Creating SystemDirectory. SystemDirectoryPageNo=%d. Real PageNo=%d.",
                        {pageNo, kVLMSystemDirectoryPage});
  Entries.clear();
}

void TVLMSystemDirectory::Load() {
  File.OpenFile(kVLMSystemDirectoryPage);
  std::vector<uint8_t> bytes = File.ReadAll(kVLMSystemSessionID, true);
  Entries.clear();
  for (size_t i = 0; i + 5 <= bytes.size(); i += 5)
    Entries.push_back({static_cast<TVLMDirectoryKind>(bytes[i]), VLMGetU32LE(&bytes[i + 1])});
}

void TVLMSystemDirectory::Save() {
  std::vector<uint8_t> bytes(Entries.size() * 5);
  for (size_t i = 0; i < Entries.size(); ++i) {
    bytes[i * 5] = static_cast<uint8_t>(Entries[i].Kind);
    VLMPutU32LE(&bytes[i * 5 + 1], Entries[i].FirstPage);
  }
  File.WriteFile(kVLMSystemSessionID, bytes.data(), 0, VLMCompressionNone, static_cast<uint32_t>(bytes.size()));
}

void TVLMSystemDirectory::Add(TVLMDirectoryKind kind, uint32_t firstPage) {
  for (TVLMSystemDirectoryEntry& entry : Entries) {
    if (entry.Kind == kind) {
      entry.FirstPage = firstPage;
      return;
    }
  }
  Entries.push_back({kind, firstPage});
}

int32_t TVLMSystemDirectory::Find(TVLMDirectoryKind kind) const {
  for (const TVLMSystemDirectoryEntry& entry : Entries)
    if (entry.Kind == kind) return static_cast<int32_t>(entry.FirstPage);
  return -1;
}

// --------------------------------------------------------------- TVLMTableListFile

TVLMTableListFile::TVLMTableListFile(TVLMPageManager* pageManager) : File(pageManager, kVLMPageTableList) {}

int32_t TVLMTableListFile::CreateFile() {
  Entries.clear();
  return File.CreateFile(kVLMSystemSessionID);
}

void TVLMTableListFile::OpenFile(int32_t startPageNo) {
  if (File.StartPageNo != -1) throw EVLMException(30393, "Table list file already opened.");
  File.OpenFile(startPageNo);
}

void TVLMTableListFile::Load() {
  std::vector<uint8_t> bytes = File.ReadAll(kVLMSystemSessionID, true);
  Entries.clear();
  for (size_t i = 0; i + kVLMTableListEntrySize <= bytes.size(); i += kVLMTableListEntrySize) {
    const uint8_t* e = &bytes[i];
    TVLMTableListEntry entry;
    entry.Name.assign(reinterpret_cast<const char*>(e + 1), e[0]);
    entry.TableID = VLMGetU32LE(e + 256);
    entry.MetaDataPage = VLMGetU32LE(e + 260);
    entry.MostUpdatedPage = VLMGetU32LE(e + 264);
    entry.LocksPage = VLMGetU32LE(e + 268);
    Entries.push_back(std::move(entry));
  }
}

void TVLMTableListFile::Save() {
  std::vector<uint8_t> bytes(Entries.size() * kVLMTableListEntrySize, 0);
  for (size_t i = 0; i < Entries.size(); ++i) {
    uint8_t* e = &bytes[i * kVLMTableListEntrySize];
    const std::string& name = Entries[i].Name;
    const size_t length = std::min<size_t>(name.size(), 255);
    e[0] = static_cast<uint8_t>(length);
    std::memcpy(e + 1, name.data(), length);
    VLMPutU32LE(e + 256, Entries[i].TableID);
    VLMPutU32LE(e + 260, Entries[i].MetaDataPage);
    VLMPutU32LE(e + 264, Entries[i].MostUpdatedPage);
    VLMPutU32LE(e + 268, Entries[i].LocksPage);
  }
  File.WriteFile(kVLMSystemSessionID, bytes.data(), 0, VLMCompressionNone, static_cast<uint32_t>(bytes.size()));
}

int32_t TVLMTableListFile::IndexOfTable(const std::string& name) const {
  const std::string key = qv::UpperCase1252(name.substr(0, 255));
  for (size_t i = 0; i < Entries.size(); ++i)
    if (qv::UpperCase1252(Entries[i].Name) == key) return static_cast<int32_t>(i);
  return -1;
}

bool TVLMTableListFile::TableExists(const std::string& name) const { return IndexOfTable(name) >= 0; }

void TVLMTableListFile::AddTable(uint32_t tableID, const std::string& name, uint32_t locksPage,
                                 uint32_t mostUpdatedPage, uint32_t metaDataPage) {
  if (IndexOfTable(name) >= 0) throw EVLMException(30395, "Cannot create table. Table '%s' already exists", {name});
  TVLMTableListEntry entry;
  entry.Name = name.substr(0, 255);
  entry.TableID = tableID;
  entry.MetaDataPage = metaDataPage;
  entry.MostUpdatedPage = mostUpdatedPage;
  entry.LocksPage = locksPage;
  Entries.push_back(std::move(entry));
}

void TVLMTableListFile::GetTable(const std::string& name, uint32_t& tableID, uint32_t& locksPage,
                                 uint32_t& mostUpdatedPage, uint32_t& metaDataPage) const {
  const int32_t i = IndexOfTable(name);
  if (i < 0) throw EVLMException(30396, "Table '%s' not exists.", {name});
  const TVLMTableListEntry& entry = Entries[static_cast<size_t>(i)];
  tableID = entry.TableID;
  locksPage = entry.LocksPage;
  mostUpdatedPage = entry.MostUpdatedPage;
  metaDataPage = entry.MetaDataPage;
}

void TVLMTableListFile::DeleteTable(const std::string& name) {
  const int32_t i = IndexOfTable(name);
  if (i < 0) throw EVLMException(30405, "Table '%s' not exists.", {name});
  Entries.erase(Entries.begin() + i);
}

void TVLMTableListFile::RenameTable(const std::string& oldName, const std::string& newName) {
  const int32_t i = IndexOfTable(oldName);
  if (i < 0) throw EVLMException(30397, "Table '%s' not exists.", {oldName});
  const int32_t other = IndexOfTable(newName);
  if (other >= 0 && other != i)
    throw EVLMException(30389, "Cannot rename table. Table '%s' already exists", {newName});
  Entries[static_cast<size_t>(i)].Name = newName.substr(0, 255);
}

void TVLMTableListFile::GetTableNames(qv::StringList& names) {
  Load();
  names.Clear();
  for (const TVLMTableListEntry& entry : Entries) names.Add(entry.Name);
}
