// VLMDiskEngine, page I/O part: TVLMDiskPageManager's page reads and writes,
// one page or a run of adjacent pages in one call: the CRC and encryption of
// each page's data, the mending of a damaged page header a repair's read may
// ask for, and the write counter every write raises. The page layout and the
// invariants are described in VLMDiskEngine.h.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/core/VLMCheck.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMSecurity.h"
#include "engine/storage/VLMDiskEngine.h"

bool TVLMDiskPageManager::ReadPage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  CheckNotFailed();
  FileScope scope(this);
  ++FileReads_;
  page->AllocateReadBuffer();
  if (!DatabaseFile.ReadBuffer(page->Buffer, PagePosition(page->PageNo), PageSize)) {
    // Whatever part was read is not a page.
    std::memset(page->Buffer, 0, PageSize);
    page->InitHeader();
    page->SetWriteCounter(kVLMFreedPageCounter);
    return false;
  }
  if (IsEncrypted() && !IsMapPage(page->PageNo) && !DecryptRead(page))
    throw EVLMException(30446, "Decrypt page error. Check CRC failed. PageNo: %d", {page->PageNo});
  page->FreshlyRead = true;
  return true;
}

namespace {

// Two CRCs that differ inside a single byte.
bool OneByteApart(uint32_t a, uint32_t b) {
  const uint32_t apart = a ^ b;
  for (int shift = 0; shift < 32; shift += 8)
    if ((apart & ~(0xFFu << shift)) == 0) return true;
  return false;
}

}  // namespace

bool TVLMDiskPageManager::DecryptRead(TVLMPage* page) {
  page->HeaderMended = false;
  uint8_t* data = page->Data();
  const uint32_t stored = page->GetCRC();
  if (!MendHeaderReads) {
    qv::DecryptPageData(page->GetCipherId(), data, PageDataSize, PasswordRecord.Password);
    return SkipChecks || VLMCRC32(0, data, PageDataSize) == stored;
  }
  // The page's cipher first, then the file's; an exact CRC before one that
  // is a byte apart.
  const std::vector<uint8_t> encrypted(data, data + PageDataSize);
  const int tries = page->GetCipherId() == PasswordRecord.CipherId ? 1 : 2;
  const uint8_t ids[2] = {page->GetCipherId(), PasswordRecord.CipherId};
  uint32_t crcs[2] = {};
  int holding = -1;
  auto decrypt = [&](int i) {
    std::memcpy(data, encrypted.data(), encrypted.size());
    qv::DecryptPageData(ids[i], data, PageDataSize, PasswordRecord.Password);
    holding = i;
    return VLMCRC32(0, data, PageDataSize);
  };
  auto mend = [&](int i) {
    if (holding != i) decrypt(i);
    page->SetCipherId(ids[i]);
    page->SetCRC(crcs[i]);
    page->HeaderMended = true;
    return true;
  };
  for (int i = 0; i < tries; ++i) {
    crcs[i] = decrypt(i);
    if (crcs[i] == stored) return i == 0 || mend(i);
  }
  for (int i = 0; i < tries; ++i)
    if (OneByteApart(crcs[i], stored)) return mend(i);
  return false;
}

bool TVLMDiskPageManager::ReadStoredHeader(int32_t pageNo, uint8_t* header) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  return DatabaseFile.ReadBuffer(header, PagePosition(pageNo), kVLMPageHeaderSize);
}

int32_t TVLMDiskPageManager::MaxReadRun() const { return 32; }

void TVLMDiskPageManager::ReadPages(TVLMPage* const* pages, int32_t count, bool* ok) {
  VLM_REQUIRE_DATABASE_SECTION();
  std::fill(ok, ok + count, false);
  if (count <= 0 || Failed_) return;
  // Map pages are never cached; a run that reaches them is read page by
  // page where it needs them.
  for (int32_t i = 0; i < count; ++i)
    if (IsMapPage(pages[i]->PageNo)) return;
  const int32_t first = pages[0]->PageNo;
  const int32_t span = pages[count - 1]->PageNo - first + 1;
  if (span < count || span > MaxReadRun()) {
    TVLMPageManager::ReadPages(pages, count, ok);
    return;
  }
  FileScope scope(this);
  // The pages straight into their buffers; the pages between them into one
  // scratch page, read and dropped.
  if (!GapPage_) GapPage_.reset(new uint8_t[PageSize]);
  ReadRun_.assign(static_cast<size_t>(span), GapPage_.get());
  for (int32_t i = 0; i < count; ++i) {
    pages[i]->AllocateReadBuffer();
    ReadRun_[static_cast<size_t>(pages[i]->PageNo - first)] = pages[i]->Buffer;
  }
  ++FileReads_;
  if (!DatabaseFile.ReadBuffers(ReadRun_.data(), span, PageSize, PagePosition(first))) return;
  for (int32_t i = 0; i < count; ++i) {
    TVLMPage* page = pages[i];
    if (IsEncrypted()) {
      qv::DecryptPageData(page->GetCipherId(), page->Data(), PageDataSize, PasswordRecord.Password);
      // A page that fails its check is read again by the take that needs it,
      // which reports it.
      if (!SkipChecks && VLMCRC32(0, page->Data(), PageDataSize) != page->GetCRC()) continue;
    }
    ok[i] = true;
  }
}

const uint8_t* TVLMDiskPageManager::PageBytesForWrite(TVLMPage* page, std::vector<uint8_t>& encrypted) {
  // Nothing is written after a failed commit.
  VLM_INVARIANT("VLMDiskEngine 7", !Failed_);
  uint32_t counter = page->GetWriteCounter() + 1;
  if (counter >= 0x7FFFFFFD) counter = 0;
  page->SetWriteCounter(counter);
  if (!IsEncrypted() || IsMapPage(page->PageNo) || !page->Encrypt) return page->Buffer;
  page->SetCipherId(PasswordRecord.CipherId);
  page->SetCRC(VLMCRC32(0, page->Data(), PageDataSize));
  // Only the copy on its way to disk is encrypted; the cached page stays
  // plain whether or not the write succeeds.
  encrypted.assign(page->Buffer, page->Buffer + PageSize);
  qv::EncryptPageData(PasswordRecord.CipherId, encrypted.data() + kVLMPageHeaderSize, PageDataSize,
                      PasswordRecord.Password);
  VLM_INVARIANT("VLMDiskEngine 6", VLMCRC32(0, page->Data(), PageDataSize) == page->GetCRC());
  return encrypted.data();
}

void TVLMDiskPageManager::WritePage(TVLMPage* page) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  std::vector<uint8_t> encrypted;
  const uint8_t* bytes = PageBytesForWrite(page, encrypted);
  if (Collecting_) {
    CollectPage(page->PageNo, bytes);
    return;
  }
  NoteWrittenInPlace(page->PageNo);
  DatabaseFile.WriteBuffer(bytes, 10469, PagePosition(page->PageNo), PageSize);
}

// Pages of a run in one write call: 256 KB with 4 KB pages.
int32_t TVLMDiskPageManager::MaxWriteRun() const { return 64; }

void TVLMDiskPageManager::WritePages(TVLMPage* const* pages, int32_t count) {
  VLM_REQUIRE_DATABASE_SECTION();
  FileScope scope(this);
  if (Collecting_) {
    std::vector<uint8_t> encrypted;
    for (int32_t i = 0; i < count; ++i) CollectPage(pages[i]->PageNo, PageBytesForWrite(pages[i], encrypted));
    return;
  }
  // The pages are adjacent in the file: their bytes go out together, one
  // write call per run instead of one per page.
  const auto size = static_cast<size_t>(PageSize);
  WriteRun_.resize(size * static_cast<size_t>(count));
  std::vector<uint8_t> encrypted;
  for (int32_t i = 0; i < count; ++i) {
    NoteWrittenInPlace(pages[i]->PageNo);
    std::memcpy(WriteRun_.data() + size * static_cast<size_t>(i), PageBytesForWrite(pages[i], encrypted), size);
  }
  DatabaseFile.WriteBuffer(WriteRun_.data(), 10469, PagePosition(pages[0]->PageNo),
                           static_cast<int32_t>(WriteRun_.size()));
}
