// A table of the disk engine for the storage tests: the table-data test
// cursor over a database of kind Disk, with helpers by record ID, and a
// table with a BLOB field and its BLOB manager.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/core/VLMBLOBStream.h"
#include "tests/engine/storage/FreeSpaceChecker.h"
#include "tests/support/engine/ReferenceEngine.h"
#include "tests/support/EngineErrors.h"

namespace storage_test {

inline uint64_t IDKey(const TVLMRecordID& id) { return (uint64_t{id.Page} << 16) | id.Row; }

class DiskTable {
public:
  DiskTable(uint16_t pageSize, std::initializer_list<tabledata_test::FieldSpec> fields,
            std::initializer_list<tabledata_test::IndexSpec> indexes = {})
      : Db(tabledata_test::EngineKind::Disk, pageSize), Cursor(Db, Session, "T") {
    Db.ConnectSession(&Session);
    Cursor.Create(fields, indexes);
  }
  TVLMDiskPageManager& Pages() { return *Db.DiskPages(); }
  TVLMDiskRecordManager& Records() { return static_cast<TVLMDiskRecordManager&>(*Cursor.Table().RecordManager); }
  // The index, made the cursor's current one.
  TVLMBTreeRecordIndex& Index(const std::string& name) {
    Cursor.UseIndex(name);
    return static_cast<TVLMBTreeRecordIndex&>(*Cursor.Table().IndexManager->GetIndex(Cursor.IndexID));
  }
  TVLMRecordID Insert(std::initializer_list<std::optional<std::string>> values) {
    Cursor.Append(values);
    return Cursor.Position.RecordID;
  }
  // Makes the record current; false when it is not there.
  bool Go(const TVLMRecordID& id) {
    Cursor.Position = TVLMCursorPosition{0, 0, id};
    return Cursor.GetRecord(0) == kVLMNavOK;
  }
  void Delete(const TVLMRecordID& id) {
    ASSERT_TRUE(Go(id));
    Cursor.DeleteRecord();
  }
  // Record IDs in the order of an index ("" natural order).
  std::vector<uint64_t> Walk(const std::string& index = "") {
    std::vector<uint64_t> ids;
    Cursor.UseIndex(index);
    Cursor.SetToBegin();
    while (Cursor.GetRecord(1) == kVLMNavOK) ids.push_back(IDKey(Cursor.Position.RecordID));
    return ids;
  }

  tabledata_test::RefDatabaseData Db;
  schema_test::TestSession Session;
  tabledata_test::TableCursor Cursor;
};

class BlobTable : public DiskTable {
public:
  BlobTable(uint16_t pageSize, std::initializer_list<tabledata_test::FieldSpec> fields,
            std::initializer_list<tabledata_test::IndexSpec> indexes, int32_t blobField)
      : DiskTable(pageSize, fields, indexes), Field(blobField), Blobs(&Pages(), &Records(), Cursor.Table().FieldManager.get()) {
    Blobs.CreatePageIndex();
    Pages().Commit(kVLMSystemSessionID);
  }
  uint8_t* Record() { return Cursor.RecordBuffer; }
  // Stored bytes of a value into the current record's field, written.
  void Put(const std::vector<uint8_t>& stored, TVLMBLOBDescriptor descriptor = {}) {
    if (descriptor.UncompressedSize == 0) descriptor.UncompressedSize = static_cast<int64_t>(stored.size());
    Blobs.SetBlobData(Record(), Field, stored, descriptor);
    Blobs.FlushBlobs(0, Record());
  }
  TVLMRecordID Store(const std::vector<uint8_t>& bytes) {
    Cursor.PrepareInsert();
    Put(bytes);
    Cursor.Post(true);
    return Cursor.Position.RecordID;
  }
  std::vector<uint8_t> Read(const TVLMRecordID& id, TVLMBLOBDescriptor* descriptor = nullptr) {
    EXPECT_TRUE(Go(id));
    TVLMBLOBDescriptor read;
    std::vector<uint8_t> data;
    Blobs.GetBlobData(0, Record(), read, data, Field);
    Blobs.FreeRecordBlobs(Record());
    if (descriptor != nullptr) *descriptor = read;
    return data;
  }
  TVLMBlobReference Reference() const {
    return {VLMGetU32LE(Cursor.RecordBuffer + Cursor.FieldDefs->GetFieldDef(Field)->BufferOffset),
            VLMGetU16LE(Cursor.RecordBuffer + Cursor.FieldDefs->GetFieldDef(Field)->BufferOffset + 4)};
  }
  void Remove(const TVLMRecordID& id) {
    ASSERT_TRUE(Go(id));
    Blobs.DeleteBlobs(0, Record());
    Cursor.DeleteRecord();
  }
  std::string Check() {
    FreeSpaceChecker checker(Pages());
    checker.AddPageIndex(*Records().PageIndex, "T");
    checker.AddBlobManager(Blobs, "T.Notes");
    return checker.Check();
  }

  int32_t Field;
  TVLMDiskBlobManager Blobs;
};

}  // namespace storage_test
