// Shared pieces of the local-engine tests: the runtime for one test, a
// connected session, and a table driven through a local cursor the way a
// dataset drives it (its record buffers, the bookmark it writes after each
// read, the old-record copy it keeps).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "tests/support/engine/SchemaTestSupport.h"
#include "tests/support/engine/ReferenceEngine.h"

namespace local_test {

using tabledata_test::FieldSpec;
using tabledata_test::IndexSpec;

// The components' runtime, up for the length of one test.
class RuntimeScope {
public:
  RuntimeScope() { TVLMComponentRuntime::Start(); }
  ~RuntimeScope() { TVLMComponentRuntime::Shutdown(); }
  RuntimeScope(const RuntimeScope&) = delete;
  RuntimeScope& operator=(const RuntimeScope&) = delete;
};

// Answers the questions as told and records what it was asked and shown
// ("password", "confirm TEXT", "information TEXT", "warning TEXT", "show
// TEXT", "hide").
class ScriptedUi : public SilentEngineUi {
public:
  bool AskPassword(const std::string& nameText, std::string& password) override {
    Log.push_back("password");
    if (!Typed.empty()) password = Typed;
    return !Typed.empty();
  }
  bool Confirm(const std::string& text) override {
    Log.push_back("confirm " + text);
    return Yes;
  }
  void Information(const std::string& text) override { Log.push_back("information " + text); }
  void Warning(const std::string& text) override { Log.push_back("warning " + text); }
  void ShowWaitWindow(const std::string& text, int32_t percent, WaitWindowEvents& events) override {
    Log.push_back("show " + text);
    Events = &events;
    if (AbortWhenShown) events.AbortClicked();
  }
  void HideWaitWindow() override { Log.push_back("hide"); }

  std::string Typed;
  bool Yes = false;
  // The user presses "Abort" as soon as the wait window shows.
  bool AbortWhenShown = false;
  WaitWindowEvents* Events = nullptr;
  std::vector<std::string> Log;
};

// A session connected to databaseName ("MEMORY", "TEMP" or a file name).
inline std::unique_ptr<TVLMLocalSession> Connect(const std::string& databaseName, const std::string& fileName = "") {
  auto session = std::make_unique<TVLMLocalSession>();
  session->DatabaseName = databaseName;
  session->DatabaseFileName = fileName.empty() ? databaseName : fileName;
  session->SetConnected(true);
  return session;
}

// A table seen through a local cursor, with the dataset's part played here.
class LocalTable {
public:
  LocalTable(TVLMBaseSession& session, std::string tableName) {
    Cursor.Session = &session;
    Cursor.TableName = std::move(tableName);
  }
  // Never raises: a close that fails fails the test instead.
  ~LocalTable() {
    try {
      Close();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "closing table " << Cursor.TableName << ": " << e.what();
    }
  }

  // Makes the table (through the cursor) and opens it.
  void Create(std::initializer_list<FieldSpec> fields, std::initializer_list<IndexSpec> indexes = {},
              TVLMConstraintDefs* constraints = nullptr) {
    TVLMFieldDefs fieldDefs;
    for (const FieldSpec& f : fields) schema_test::AddField(fieldDefs, f.Name, f.Type, f.Size);
    TVLMIndexDefs indexDefs;
    for (const IndexSpec& spec : indexes) {
      std::unique_ptr<TVLMIndexDef> def = tabledata_test::IndexOn(spec.Name, spec.Fields, spec.Primary, spec.Unique);
      indexDefs.Add(std::move(def));
    }
    Cursor.CreateTable(&fieldDefs, &indexDefs, constraints);
    Open();
  }
  void Open(TVLMFieldDefs* fields = nullptr) {
    Cursor.OpenTable(fields, nullptr, nullptr);
    Cursor.InitFieldDefs();
    Cursor.RecordBuffer = Cursor.AllocRecordBuffer();
    Cursor.OldRecordBuffer = Cursor.AllocRecordBuffer();
    Cursor.SetToBegin();
  }
  void Close() {
    if (Cursor.RecordBuffer == nullptr) return;
    Cursor.FreeRecordBuffer(Cursor.RecordBuffer);
    Cursor.FreeRecordBuffer(Cursor.OldRecordBuffer);
    Cursor.CloseTable();
  }
  void UseIndex(const std::string& name) {
    Cursor.GetIndexDefs();
    Cursor.SetIndexName(name);
    Cursor.ClearRecordBitmap();
  }

  // A read as the dataset does it: the bookmark written, the old copy kept.
  uint8_t Read(uint8_t mode) {
    const uint8_t result = Cursor.GetRecord(mode);
    if (result == kVLMNavOK) Took();
    return result;
  }
  void Took() {
    VLMPutRecordID(Cursor.RecordBuffer + Cursor.BookmarkOffset, Cursor.Position.RecordID);
    Cursor.RecordBuffer[Cursor.BookmarkOffset + kVLMRecordIDSize] = 0;
    std::memcpy(Cursor.OldRecordBuffer, Cursor.RecordBuffer, static_cast<size_t>(Cursor.RecordBufferSize));
  }
  bool First() {
    Cursor.SetToBegin();
    return Read(1) == kVLMNavOK;
  }
  bool Next() { return Read(1) == kVLMNavOK; }

  // Field values by table field number (nullopt = null).
  void Set(int32_t fieldNo, std::optional<std::string> value) {
    TVLMVariant v(bdtString);
    if (value) v.SetAsString(*value);
    Cursor.SetFieldValue(v, fieldNo, true);
  }
  std::optional<std::string> Get(int32_t fieldNo) const {
    TVLMVariant v;
    Cursor.GetFieldValue(v, fieldNo, true);
    if (v.IsNull()) return std::nullopt;
    return v.GetAsString();
  }

  // Insert of one record (values in field order); the cursor's result code.
  int32_t Append(std::initializer_list<std::optional<std::string>> values) {
    Cursor.PrepareInsert();
    Cursor.InitRecordBuffer(Cursor.RecordBuffer, true);
    int32_t fieldNo = 0;
    for (const auto& value : values) Set(fieldNo++, value);
    Cursor.Post(true);
    if (Cursor.ResultCode == 0) std::memcpy(Cursor.OldRecordBuffer, Cursor.RecordBuffer, Cursor.RecordBufferSize);
    return Cursor.ResultCode;
  }
  // Edit, one field changed, post; the first non-zero result code.
  int32_t Update(int32_t fieldNo, std::optional<std::string> value) {
    Cursor.Edit();
    if (Cursor.ResultCode != 0) return Cursor.ResultCode;
    Set(fieldNo, std::move(value));
    Cursor.Post(false);
    return Cursor.ResultCode;
  }
  int32_t Delete() {
    Cursor.DeleteRecord();
    return Cursor.ResultCode;
  }
  // Field fieldNo of every record in the cursor's order.
  std::vector<std::string> Column(int32_t fieldNo) {
    std::vector<std::string> out;
    for (bool more = First(); more; more = Next()) out.push_back(Get(fieldNo).value_or("null"));
    return out;
  }
  // Moves to the first record whose field fieldNo reads value.
  bool Find(int32_t fieldNo, const std::string& value) {
    for (bool more = First(); more; more = Next())
      if (Get(fieldNo) == value) return true;
    return false;
  }

  TVLMLocalCursor Cursor;
};

// Counts the records the installed walker hands to index fills.
class WalkerSpy {
public:
  WalkerSpy() {
    Previous_ = VLMInstallRecordWalkerFactory([this](TVLMTableData& table, TVLMCursor* cursor) {
      ++Fills;
      return std::make_unique<Counting>(Previous_(table, cursor), Records);
    });
  }
  ~WalkerSpy() { VLMInstallRecordWalkerFactory(Previous_); }
  int32_t Fills = 0;
  int32_t Records = 0;

private:
  class Counting : public TVLMRecordWalker {
  public:
    Counting(std::unique_ptr<TVLMRecordWalker> inner, int32_t& records) : Inner_(std::move(inner)), Records_(records) {}
    bool NextRecord(TVLMRecordID& recordID, const uint8_t*& recordBuffer) override {
      const bool more = Inner_->NextRecord(recordID, recordBuffer);
      Records_ += more ? 1 : 0;
      return more;
    }

  private:
    std::unique_ptr<TVLMRecordWalker> Inner_;
    int32_t& Records_;
  };
  TVLMRecordWalkerFactory Previous_;
};

}  // namespace local_test
