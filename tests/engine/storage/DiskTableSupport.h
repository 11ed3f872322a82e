// A table of the disk engine for the tests of record pages, BLOBs and record
// indexes: the table-data test cursor over a database of kind Disk, with
// helpers that store, read and delete records by record ID, and a table
// with a BLOB field and a BLOB manager over the table's record manager.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/core/VLMBLOBStream.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineBlobs.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "tests/engine/storage/FreeSpaceChecker.h"
#include "tests/engine/tabledata/ReferenceEngine.h"
#include "tests/support/EngineErrors.h"

namespace storage_test {

using tabledata_test::FieldSpec;
using tabledata_test::IndexSpec;

inline uint64_t IDKey(const TVLMRecordID& id) { return (uint64_t{id.Page} << 16) | id.Row; }

class DiskTable {
public:
  DiskTable(uint16_t pageSize, std::initializer_list<FieldSpec> fields, std::initializer_list<IndexSpec> indexes = {},
            const char* name = "T")
      : Db(tabledata_test::EngineKind::Disk, pageSize), Cursor(Db, Session, name) {
    Db.ConnectSession(&Session);
    Cursor.Create(fields, indexes);
  }
  TVLMDiskPageManager& Pages() { return *Db.DiskPages(); }
  TVLMDiskRecordManager& Records() { return static_cast<TVLMDiskRecordManager&>(*Cursor.Table().RecordManager); }
  TVLMBTreeRecordIndex& Index(const std::string& name) {
    Cursor.UseIndex(name);
    return static_cast<TVLMBTreeRecordIndex&>(*Cursor.Table().IndexManager->GetIndex(Cursor.IndexID));
  }

  // Posts a record of text or integer values (nullopt: null) and returns its
  // record ID.
  TVLMRecordID Insert(std::initializer_list<std::optional<std::string>> values) {
    Cursor.Append(values);
    return Cursor.Position.RecordID;
  }
  // Makes the record current (false when it is not there).
  bool Go(const TVLMRecordID& id) {
    Cursor.Position = TVLMCursorPosition{0, 0, id};
    return Cursor.GetRecord(0) == kVLMNavOK;
  }
  void Delete(const TVLMRecordID& id) {
    ASSERT_TRUE(Go(id));
    Cursor.DeleteRecord();
  }
  // Record IDs in natural order.
  std::vector<uint64_t> Walk() {
    std::vector<uint64_t> ids;
    Cursor.UseIndex("");
    Cursor.SetToBegin();
    while (Cursor.GetRecord(1) == kVLMNavOK) ids.push_back(IDKey(Cursor.Position.RecordID));
    return ids;
  }

  tabledata_test::RefDatabaseData Db;
  schema_test::TestSession Session;
  tabledata_test::TableCursor Cursor;
};

// A disk table with a BLOB field and its BLOB manager.
class BlobTable : public DiskTable {
public:
  BlobTable(uint16_t pageSize, std::initializer_list<FieldSpec> fields, std::initializer_list<IndexSpec> indexes,
            int32_t blobField)
      : DiskTable(pageSize, fields, indexes),
        BlobField(blobField),
        Blobs(&Pages(), &Records(), Cursor.Table().FieldManager.get()) {
    Blobs.CreatePageIndex();
    Pages().Commit(kVLMSystemSessionID);
  }
  uint8_t* Record() { return Cursor.RecordBuffer; }
  // The stored bytes of a value become the Notes of the current record.
  void Put(const std::vector<uint8_t>& stored, const TVLMBLOBDescriptor& descriptor) {
    Blobs.SetBlobData(Record(), BlobField, stored, descriptor);
    Blobs.FlushBlobs(0, Record());
  }
  TVLMRecordID Store(const std::vector<uint8_t>& bytes) {
    Cursor.PrepareInsert();
    TVLMBLOBDescriptor descriptor;
    descriptor.UncompressedSize = static_cast<int64_t>(bytes.size());
    Put(bytes, descriptor);
    Cursor.Post(true);
    return Cursor.Position.RecordID;
  }
  std::vector<uint8_t> Read(const TVLMRecordID& id, TVLMBLOBDescriptor* descriptor = nullptr) {
    EXPECT_TRUE(Go(id));
    TVLMBLOBDescriptor read;
    std::vector<uint8_t> data;
    Blobs.GetBlobData(0, Record(), read, data, BlobField);
    Blobs.FreeRecordBlobs(Record());
    if (descriptor != nullptr) *descriptor = read;
    return data;
  }
  TVLMBlobReference Reference(const TVLMRecordID& id) {
    EXPECT_TRUE(Go(id));
    TVLMBlobCacheEntry* entry = nullptr;
    TVLMBlobReference reference;
    Blobs.GetBlobRef(Record(), BlobField, entry, reference);
    return reference;
  }
  void Remove(const TVLMRecordID& id) {
    ASSERT_TRUE(Go(id));
    Blobs.DeleteBlobs(0, Record());
    Cursor.DeleteRecord();
  }
  std::string Check() {
    FreeSpaceChecker checker(Pages());
    checker.AddRecordManager(Records(), "T");
    checker.AddBlobManager(Blobs, "T.Notes");
    return checker.Check();
  }

  int32_t BlobField;
  TVLMDiskBlobManager Blobs;
};

}  // namespace storage_test
