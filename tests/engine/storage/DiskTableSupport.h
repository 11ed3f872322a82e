// A table of the disk engine for the tests of record pages, BLOBs and record
// indexes: the table-data test cursor over a database of kind Disk, with
// helpers that store, read and delete records by record ID and a BLOB
// manager over the table's record manager.
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

}  // namespace storage_test
