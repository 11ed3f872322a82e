// Disk BLOB storage: where a value goes by its size, ids on small pages,
// large values whose page lists are freed page by page, and megabyte values
// in every compression algorithm.
#include <gtest/gtest.h>

#include "engine/core/VLMStreams.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "tests/engine/blob/BLOBTestUtil.h"
#include "tests/engine/storage/DiskTableSupport.h"

namespace storage_test {
namespace {

using qv::test::RaisedCode;

constexpr int32_t kNotes = 1;

class NotesTable : public BlobTable {
public:
  explicit NotesTable(uint16_t pageSize) : BlobTable(pageSize, {{"ID", dtInteger}, {"Notes", dtBLOB}}, {}, kNotes) {}
  int32_t UsedPages() {
    int32_t used = 0;
    for (int32_t p = 0; p < Pages().GetPageCount(); ++p)
      used += !Pages().FreeSpace->IsSystemPage(p) && Pages().FreeSpace->IsPageUsed(p) ? 1 : 0;
    return used;
  }
};

TEST(BlobStorage, ValuesUpToTheSmallLimitShareAPage) {
  NotesTable table(4096);
  const int32_t d = table.Pages().PageDataSize;
  struct Case {
    int32_t Size;
    bool Large;
  };
  for (const Case& c : {Case{d - 25, false}, Case{d - 24, true}, Case{1, false}, Case{3 * d, true}, Case{0, false}}) {
    const std::vector<uint8_t> bytes = blobtest::Data(static_cast<size_t>(c.Size), static_cast<uint32_t>(c.Size));
    const TVLMRecordID id = table.Store(bytes);
    EXPECT_EQ(table.Read(id), bytes) << c.Size;
    // An empty value stores nothing and leaves the field null.
    EXPECT_EQ(table.Reference().IsStored(), c.Size > 0) << c.Size;
    EXPECT_EQ(VLMGetBit(kNotes, table.Record()), c.Size == 0) << c.Size;
    EXPECT_EQ(table.Reference().ID == kVLMLargeBlobID, c.Large) << c.Size;
  }
  EXPECT_EQ(table.Check(), "");
  table.Blobs.CheckCacheReleased();
}

TEST(BlobStorage, SmallPagesReuseIdsNeverGive255AndGoWhenEmpty) {
  NotesTable table(8192);
  struct Case {
    int32_t Added;
    uint16_t Deleted;
    uint16_t Next;
  };
  for (const Case& c : {Case{2, 0, 2}, Case{3, 1, 3}, Case{255, 9999, 256}, Case{256, 0, 257}}) {
    TVLMHeldPage page(&table.Pages(), table.Pages().NewPage(0, kVLMPageTableBlob));
    TVLMSmallBlobPage view(page.Get());
    TVLMBlobReference reference;
    for (int32_t i = 0; i < c.Added; ++i) view.AddBlob(TVLMBlobCacheEntry{}, reference, 0);
    int32_t freed = 0;
    if (c.Deleted != 9999) view.DeleteBlob({0, c.Deleted}, freed);
    EXPECT_EQ(view.NewBlobID(), c.Next) << c.Added;
    page.Release();
    table.Pages().RollbackSession(0);
  }
  // Two values share a page, which goes with the second.
  const TVLMRecordID a = table.Store(blobtest::Data(100, 1));
  const TVLMBlobReference reference = table.Reference();
  const TVLMRecordID b = table.Store(blobtest::Data(200, 2));
  EXPECT_EQ(table.Reference().PageNo, reference.PageNo);
  table.Remove(a);
  EXPECT_TRUE(table.Pages().FreeSpace->IsPageUsed(static_cast<int32_t>(reference.PageNo)));
  table.Remove(b);
  EXPECT_FALSE(table.Pages().FreeSpace->IsPageUsed(static_cast<int32_t>(reference.PageNo)));
  EXPECT_EQ(table.Check(), "");
}

TEST(BlobStorage, LargeValuesFreeEveryPageOnce) {
  NotesTable table(256);
  const int32_t d = table.Pages().PageDataSize;
  // Three data pages; the list of 12 bytes after the data of the last one.
  struct Case {
    int32_t LastPageUsed;
    int32_t Pages;
  };
  for (const Case& c : {Case{d - 12, 3}, Case{d, 4}, Case{d - 2, 4}}) {
    const int32_t before = table.UsedPages();
    const std::vector<uint8_t> bytes = blobtest::Data(static_cast<size_t>(2 * d + c.LastPageUsed - 32), 7);
    const TVLMRecordID id = table.Store(bytes);
    EXPECT_EQ(table.UsedPages() - before, c.Pages + 1) << c.LastPageUsed;  // and the record page
    EXPECT_EQ(table.Read(id), bytes) << c.LastPageUsed;
    EXPECT_EQ(table.Check(), "") << c.LastPageUsed;
    table.Remove(id);
    EXPECT_EQ(table.UsedPages(), before) << c.LastPageUsed;
  }
}

TEST(BlobStorage, MegabyteValuesRoundTripWithEveryAlgorithm) {
  NotesTable table(4096);
  TVLMBLOBDescriptor field;
  field.BlockSize = static_cast<uint32_t>(table.Cursor.FieldDefs->GetFieldDef(kNotes)->BlobBlockSize);
  field.Mode = 1;
  // Every value is written through a fresh inner stream.
  auto write = [&](const std::vector<uint8_t>& bytes) {
    TVLMMemoryStream inner;
    TVLMCompressedBLOBStream stream(inner, false, true, field);
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    table.Blobs.SaveBlobStream(table.Record(), kNotes, inner, stream.Descriptor());
    table.Blobs.FlushBlobs(0, table.Record());
  };
  auto read = [&](const TVLMRecordID& id) {
    TVLMBLOBDescriptor descriptor = field, sizes;
    const std::vector<uint8_t> stored = table.Read(id, &sizes);
    descriptor.BlockCount = sizes.BlockCount;
    descriptor.UncompressedSize = sizes.UncompressedSize;
    TVLMMemoryStream inner;
    inner.WriteBuffer(stored.data(), static_cast<int64_t>(stored.size()));
    TVLMCompressedBLOBStream stream(inner, false, false, descriptor);
    return blobtest::Contents(stream);
  };
  for (uint8_t algorithm : {0, 1, 2, 3}) {
    field.Algorithm = algorithm;
    const std::vector<uint8_t> longValue = blobtest::Data(1 << 20, algorithm);
    const std::vector<uint8_t> shortValue = blobtest::Data(300000, algorithm + 10u);
    table.Cursor.PrepareInsert();
    write(longValue);
    table.Cursor.Post(true);
    const TVLMRecordID id = table.Cursor.Position.RecordID;
    EXPECT_EQ(read(id), longValue) << int(algorithm);
    ASSERT_TRUE(table.Go(id));
    table.Cursor.Edit();
    write(shortValue);
    table.Cursor.Post(false);
    EXPECT_EQ(read(id), shortValue) << int(algorithm);
    EXPECT_EQ(table.Check(), "") << int(algorithm);
  }
}

}  // namespace
}  // namespace storage_test
