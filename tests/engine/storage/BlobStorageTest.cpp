// Disk BLOB storage: where a value goes by its size, ids on small pages,
// large values and their page lists freed page by page, megabyte values in
// every compression algorithm, and the cache behind the record buffers.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/core/VLMStreams.h"
#include "tests/engine/blob/BLOBTestUtil.h"
#include "tests/engine/storage/DiskTableSupport.h"

namespace storage_test {
namespace {

using qv::test::RaisedCode;

constexpr int32_t kNotes = 1;

int32_t UsedPages(TVLMDiskPageManager& pages) {
  int32_t used = 0;
  for (int32_t p = 0; p < pages.GetPageCount(); ++p)
    used += !pages.FreeSpace->IsSystemPage(p) && pages.FreeSpace->IsPageUsed(p) ? 1 : 0;
  return used;
}

class NotesTable : public BlobTable {
public:
  explicit NotesTable(uint16_t pageSize) : BlobTable(pageSize, {{"ID", dtInteger}, {"Notes", dtBLOB}}, {}, kNotes) {}
};

TEST(BlobStorage, ValuesUpToTheSmallLimitShareAPage) {
  NotesTable table(4096);
  const int32_t d = table.Pages().PageDataSize;
  struct Case {
    int32_t Size;
    bool Large;
  };
  const Case cases[] = {{d - 25, false}, {d - 24, true}, {1, false}, {3 * d, true}, {0, false}};
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = blobtest::Data(static_cast<size_t>(c.Size), static_cast<uint32_t>(c.Size));
    const TVLMRecordID id = table.Store(bytes);
    const TVLMBlobReference reference = table.Reference(id);
    EXPECT_EQ(reference.IsStored(), c.Size > 0) << c.Size;
    // An empty value stores nothing and leaves the field null.
    EXPECT_EQ(VLMGetBit(kNotes, table.Record()), c.Size == 0) << c.Size;
    if (c.Size > 0) {
      EXPECT_EQ(reference.ID == kVLMLargeBlobID, c.Large) << c.Size;
    }
    EXPECT_EQ(table.Read(id), bytes) << c.Size;
  }
  EXPECT_EQ(table.Check(), "");
  EXPECT_EQ(table.Blobs.CacheCount(), 0);
}

TEST(BlobStorage, SmallPagesReuseIdsNeverGive255AndGoWhenEmpty) {
  NotesTable table(8192);
  struct Case {
    int32_t Added;
    std::vector<uint16_t> Deleted;
    uint16_t Next;
  };
  const Case cases[] = {{0, {}, 0}, {2, {0}, 2}, {3, {1}, 3}, {255, {}, 256}, {256, {0}, 257}};
  for (const Case& c : cases) {
    TVLMHeldPage page(&table.Pages(), table.Pages().NewPage(0, kVLMPageTableBlob));
    TVLMSmallBlobPage view(page.Get());
    TVLMBlobCacheEntry empty;
    TVLMBlobReference reference;
    for (int32_t i = 0; i < c.Added; ++i) view.AddBlob(empty, reference, 0);
    int32_t freed = 0;
    for (uint16_t id : c.Deleted) view.DeleteBlob({0, id}, freed);
    EXPECT_EQ(view.NewBlobID(), c.Next) << c.Added;
    EXPECT_EQ(RaisedCode([&] { view.DeleteBlob({0, 60000}, freed); }), 20171);
    page.Release();
    table.Pages().RollbackSession(0);
  }
  // Two values on one page; the page goes with the second.
  const TVLMRecordID a = table.Store(blobtest::Data(100, 1));
  const TVLMRecordID b = table.Store(blobtest::Data(200, 2));
  const TVLMBlobReference reference = table.Reference(a);
  EXPECT_EQ(table.Reference(b).PageNo, reference.PageNo);
  table.Remove(a);
  EXPECT_TRUE(table.Pages().FreeSpace->IsPageUsed(static_cast<int32_t>(reference.PageNo)));
  table.Remove(b);
  EXPECT_FALSE(table.Pages().FreeSpace->IsPageUsed(static_cast<int32_t>(reference.PageNo)));
  int32_t first = 0;
  EXPECT_FALSE(table.Blobs.BlobPageIndex->GetFirstPage(0, first));
  EXPECT_EQ(table.Check(), "");
}

TEST(BlobStorage, LargeValuesFreeEveryPageOnce) {
  NotesTable table(256);
  const int32_t d = table.Pages().PageDataSize;
  // Three data pages; the list of 12 bytes after the data of the last one.
  struct Case {
    const char* List;
    int32_t LastPageUsed;
    int32_t Pages;
  };
  const Case cases[] = {{"fits the last data page", d - 12, 3},
                        {"starts a page of its own", d, 4},
                        {"goes on on a second page", d - 2, 4}};
  for (const Case& c : cases) {
    const int32_t before = UsedPages(table.Pages());
    const std::vector<uint8_t> bytes = blobtest::Data(static_cast<size_t>(2 * d + c.LastPageUsed - 32), 7);
    const TVLMRecordID id = table.Store(bytes);
    EXPECT_EQ(UsedPages(table.Pages()) - before, c.Pages + 1) << c.List;  // + the record page
    EXPECT_EQ(table.Read(id), bytes) << c.List;
    EXPECT_EQ(table.Check(), "") << c.List;
    table.Remove(id);
    EXPECT_EQ(UsedPages(table.Pages()), before) << c.List;
    EXPECT_EQ(table.Check(), "") << c.List;
  }
}

TEST(BlobStorage, MegabyteValuesRoundTripWithEveryAlgorithm) {
  NotesTable table(4096);
  const int32_t blockSize = table.Cursor.Table().FieldManager->FieldDefs->GetFieldDef(kNotes)->BlobBlockSize;
  // A written value as its compressed stream leaves it; every write starts
  // a fresh inner stream.
  auto write = [&](const std::vector<uint8_t>& bytes, uint8_t algorithm) {
    TVLMMemoryStream inner;
    TVLMBLOBDescriptor descriptor;
    descriptor.BlockSize = static_cast<uint32_t>(blockSize);
    descriptor.Algorithm = algorithm;
    descriptor.Mode = 1;
    TVLMCompressedBLOBStream stream(inner, false, true, descriptor);
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    table.Blobs.SaveBlobStream(table.Record(), kNotes, inner, stream.Descriptor());
    table.Blobs.FlushBlobs(0, table.Record());
  };
  auto read = [&](const TVLMRecordID& id, uint8_t algorithm) {
    TVLMBLOBDescriptor descriptor;
    const std::vector<uint8_t> stored = table.Read(id, &descriptor);
    descriptor.BlockSize = static_cast<uint32_t>(blockSize);
    descriptor.Algorithm = algorithm;
    descriptor.Mode = 1;
    TVLMMemoryStream inner;
    inner.WriteBuffer(stored.data(), static_cast<int64_t>(stored.size()));
    TVLMCompressedBLOBStream stream(inner, false, false, descriptor);
    return blobtest::Contents(stream);
  };
  for (uint8_t algorithm : {0, 1, 2, 3}) {
    const std::vector<uint8_t> longValue = blobtest::Data(1 << 20, algorithm);
    const std::vector<uint8_t> shortValue = blobtest::Data(300000, algorithm + 10u);
    table.Cursor.PrepareInsert();
    write(longValue, algorithm);
    table.Cursor.Post(true);
    const TVLMRecordID id = table.Cursor.Position.RecordID;
    EXPECT_EQ(read(id, algorithm), longValue) << int(algorithm);
    ASSERT_TRUE(table.Go(id));
    table.Cursor.Edit();
    write(shortValue, algorithm);
    table.Cursor.Post(false);
    EXPECT_EQ(read(id, algorithm), shortValue) << int(algorithm);
    EXPECT_EQ(table.Check(), "") << int(algorithm);
  }
}

TEST(BlobStorage, TheCacheKnowsItsEntriesByHandle) {
  NotesTable table(4096);
  table.Cursor.PrepareInsert();
  TVLMBLOBDescriptor descriptor;
  descriptor.UncompressedSize = 3;
  table.Blobs.SetBlobData(table.Record(), kNotes, {1, 2, 3}, descriptor);
  std::vector<uint8_t> copy(table.Record(), table.Record() + table.Cursor.RecordBufferSize);
  // A modified value stays until it is written or freed by force.
  table.Blobs.FreeBlob(table.Record(), kNotes, false);
  EXPECT_EQ(table.Blobs.CacheCount(), 1);
  EXPECT_EQ(RaisedCode([&] { table.Blobs.CheckCacheReleased(); }), 20150);
  table.Blobs.FreeBlob(table.Record(), kNotes, true);
  table.Blobs.SetBlobData(table.Record(), kNotes, {4}, descriptor);
  // The copy's handle named the freed entry, not the one now in its slot.
  TVLMBlobCacheEntry* entry = nullptr;
  TVLMBlobReference reference;
  table.Blobs.GetBlobRef(copy.data(), kNotes, entry, reference);
  EXPECT_EQ(entry, nullptr);
  table.Blobs.GetBlobRef(table.Record(), kNotes, entry, reference);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->Data, std::vector<uint8_t>{4});
  EXPECT_EQ(RaisedCode([&] { table.Blobs.FreeBlob(table.Record(), 0, true); }), 10675);
  table.Blobs.FreeRecordBlobs(table.Record());
  table.Blobs.CheckCacheReleased();
}

}  // namespace
}  // namespace storage_test
