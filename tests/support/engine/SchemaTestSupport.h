// Shared pieces of the schema, cursor and database-data tests: stream
// helpers, a capture of raised engine codes, minimal concrete cursor,
// session, table data and database data, and stand-in expression services.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressionLink.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/StringList.h"
#include "tests/support/EngineErrors.h"

namespace schema_test {

using qv::test::RaisedCode;
using qv::test::RaisedMessage;

inline std::vector<uint8_t> StreamBytes(TVLMMemoryStream& s) {
  std::vector<uint8_t> bytes(static_cast<size_t>(s.Size()));
  const int64_t position = s.Position();
  s.SetPosition(0);
  if (!bytes.empty()) s.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.SetPosition(position);
  return bytes;
}

template <class T>
std::vector<uint8_t> Saved(const T& object) {
  TVLMMemoryStream s;
  object.SaveToStream(s);
  return StreamBytes(s);
}

// A memory stream holding bytes, positioned at 0.
inline std::unique_ptr<TVLMMemoryStream> StreamOf(const std::vector<uint8_t>& bytes, size_t count) {
  auto s = std::make_unique<TVLMMemoryStream>();
  if (count > 0) s->Write(bytes.data(), static_cast<int64_t>(count));
  s->SetPosition(0);
  return s;
}
inline std::unique_ptr<TVLMMemoryStream> StreamOf(const std::vector<uint8_t>& bytes) {
  return StreamOf(bytes, bytes.size());
}

inline qv::StringList List(std::initializer_list<const char*> items) {
  qv::StringList l;
  for (const char* s : items) l.Add(s);
  return l;
}

// A field definition of SQL type dataType and declared size.
inline TVLMFieldDef* AddField(TVLMFieldDefs& defs, const std::string& name, TVLMDataType dataType,
                             int32_t size = 0) {
  TVLMFieldDef* f = defs.AddFieldDef();
  f->Name = name;
  f->SetDataType(dataType, size);
  f->FieldNo = defs.GetCount() - 1;
  return f;
}

// ------------------------------------------------- stand-in expressions

// Stand-in for the expression module: an "expression" is a counted object,
// made for default texts that begin with "=", freed through the services.
struct FakeExpression {
  std::string Text;
  TVLMCursor* BoundTo = nullptr;
  static inline int32_t Live = 0;
  explicit FakeExpression(std::string text) : Text(std::move(text)) { ++Live; }
  ~FakeExpression() { --Live; }
};

inline TVLMExpression* AsExpression(FakeExpression* e) { return reinterpret_cast<TVLMExpression*>(e); }
inline FakeExpression* AsFake(TVLMExpression* e) { return reinterpret_cast<FakeExpression*>(e); }

inline const TVLMExpressionServices kFakeServices = {
    [](TVLMExpression* e) noexcept { delete AsFake(e); },
    [](const TVLMVariant& v) -> TVLMExpression* {
      const std::string text = v.IsString() ? v.GetAsString() : std::string();
      return !text.empty() && text[0] == '=' ? AsExpression(new FakeExpression(text)) : nullptr;
    },
    [](TVLMExpression& e, TVLMCursor* cursor, TVLMQueryOperator*, TVLMCursor*) { AsFake(&e)->BoundTo = cursor; },
};

// Installs the stand-in services for the lifetime of the object.
class FakeExpressionServices {
public:
  FakeExpressionServices() : Previous_(VLMInstallExpressionServices(&kFakeServices)) {}
  ~FakeExpressionServices() { VLMInstallExpressionServices(Previous_); }

private:
  const TVLMExpressionServices* Previous_;
};

// ------------------------------------------------------ minimal classes

class TestCursor : public TVLMCursor {
public:
  // Lifts what a test restricted the cursor's walk with (a filter, a filter
  // callback, a range, index fields) and frees the range's key buffers.
  void LiftRestrictions(uint8_t*& low, uint8_t*& high) {
    SetFilterExpression(nullptr);
    FilterCallback = nullptr;
    CancelRange();
    IndexFieldCount = 0;
    for (uint8_t** key : {&low, &high}) {
      if (*key != nullptr) VLMMemoryManager().FreeMem(*key);
      *key = nullptr;
    }
  }
  void CreateTable(TVLMFieldDefs*, TVLMIndexDefs*, TVLMConstraintDefs*) override {}
  void DeleteTable() override {}
  void EmptyTable() override {}
  void RenameTable(const std::string&) override {}
  void InitFieldDefs() override {}
  void OpenTable(TVLMFieldDefs*, TVLMIndexDefs*, TVLMConstraintDefs*) override {}
  void CloseTable() override {}
  void LockTableData() override {}
  void UnlockTableData() override {}
  bool LockTable(uint8_t, int32_t, int32_t, bool) override { return true; }
  bool UnlockTable(uint8_t, bool) override { return true; }
  void CreateIndex(TVLMIndexDef&) override {}
  void DeleteIndex(const std::string&) override {}
  void DeleteAllIndexes() override {}
  void GetIndexForFields(const qv::StringList&, const qv::StringList&, const qv::StringList&, std::string&,
                         bool&) override {}
  bool FindIndexForFields(const qv::StringList&, const qv::StringList&, const qv::StringList&) override {
    return false;
  }
  void CopyFieldValue(int32_t, bool, TVLMCursor*, int32_t) override {}
  // As the engine fills a new buffer: every field null, the field data zero.
  void InitRecordBuffer(uint8_t* buffer, bool) override {
    const int32_t bitmap = VLMNullBitmapSize(TableFieldCount());
    std::fill(buffer, buffer + bitmap, uint8_t{0xFF});
    std::fill(buffer + bitmap, buffer + RecordDataSize, uint8_t{0});
  }
  int64_t GetRecordCount() override { return 0; }
  uint8_t GetRecord(uint8_t) override { return kVLMNavEOF; }
  void SetRecNo(int64_t) override {}
  int64_t GetRecNo() override { return -1; }
  int32_t CompareBookmarks(const uint8_t*, const uint8_t*) override { return 0; }
  void SetToBegin() override {}
  void SetToEnd() override {}
  void PrepareInsert() override {}
  void Edit() override {}
  void Cancel(bool) override {}
  void Post(bool) override {}
  void DeleteRecord() override {}
  bool IsRecordLocked() override { return false; }
  void SetIndexByFields(const qv::StringList&, const qv::StringList&, const qv::StringList&) override {}
  void SetFilter(const std::string&, bool, bool) override {}
  void ClearFilter() override {}
  bool Locate(const std::string&, const qv::HostVariant&, bool, bool) override { return false; }
  bool GotoKey(uint8_t) override { return false; }
  bool LocateByCondition(const std::string&, uint8_t, const TVLMVariant&) override { return false; }
  qv::Stream* OpenBlob(bool, bool, int32_t, uint8_t, bool) override { return nullptr; }
  void CloseBlob(int32_t) override {}
  void FreeBlobStreams(bool) override {}
  int64_t GetLastAutoincValue(int32_t) override { return 0; }
  void RaiseAutoincValue(int32_t, int64_t) override {}
  void BeginImplicitTransaction() override {}
  void CommitImplicitTransaction() override {}
  void RollbackImplicitTransaction() override {}
  bool CheckConstraints(bool) override { return true; }

  // Table fields and an unprojected cursor list over them, laid out.
  void UseFields(std::unique_ptr<TVLMFieldDefs> defs) {
    FieldDefs = std::move(defs);
    FieldDefs->CalculateOffsets();
    CursorFieldDefs = std::make_unique<TVLMFieldDefs>();
    for (int32_t i = 0; i < FieldDefs->GetCount(); ++i) {
      TVLMFieldDef* copy = CursorFieldDefs->AddFieldDef();
      copy->Assign(*FieldDefs->GetFieldDef(i));
      copy->FieldNo = i;
    }
    RecordDataSize = FieldDefs->GetRecordBufferSize();
    BookmarkOffset = RecordDataSize;
    RecordBufferSize = RecordDataSize + kVLMBookmarkAreaSize;
    KeyBufferSize = RecordDataSize + 6;
  }
};

class TestSession : public TVLMBaseSession {
public:
  bool GetConnected() override { return Connected; }
  void SetConnected(bool value) override { Connected = value; }
  bool GetSessionOption() override { return false; }
  void SetSessionOption(bool) override {}
  void CreateDatabase() override {}
  void ReservedOperation1() override {}
  void ReservedOperation2(const std::string&) override {}
  void GetTableNames(qv::StringList&) override {}
  bool TableExists(const std::string&) override { return false; }
  void StartTransaction() override { InTransaction = true; }
  void Commit(bool) override {
    CheckInTransaction();
    InTransaction = false;
  }
  void Rollback() override {
    CheckInTransaction();
    InTransaction = false;
  }
  void FlushBuffers() override {}

  bool Connected = false;
};

class TestTableData : public TVLMTableDataBase {
public:
  TestTableData(TVLMDatabaseData* db, std::string name, int32_t* freed)
      : TVLMTableDataBase(db), Freed_(freed) {
    TableName = std::move(name);
  }
  ~TestTableData() override {
    if (Freed_) ++*Freed_;
  }
  void RefreshSessionCursors(int32_t sessionID) override { Refreshed.push_back(sessionID); }

  std::vector<int32_t> Refreshed;

private:
  int32_t* Freed_;
};

class TestDatabaseData : public TVLMDatabaseData {
public:
  // tablesFreed (optional) counts the table datas destroyed; it must outlive
  // this object, whose base destructor frees them.
  explicit TestDatabaseData(int32_t* tablesFreed = nullptr) : TablesFreed_(tablesFreed) {}

  TVLMTableDataBase* CreateTableData(TVLMCursor* cursor) override {
    ++Created;
    return AddTableData(std::make_unique<TestTableData>(this, cursor->TableName, TablesFreed_));
  }
  int32_t NextObjectID() override { return ++LastID; }

  int32_t Created = 0;
  int32_t LastID = 0;
  std::vector<int32_t> PagesCommitted;
  std::vector<int32_t> PagesRolledBack;

protected:
  void CommitPages(int32_t sessionID) override { PagesCommitted.push_back(sessionID); }
  void RollbackPages(int32_t sessionID) override { PagesRolledBack.push_back(sessionID); }

private:
  int32_t* TablesFreed_;
};

}  // namespace schema_test
