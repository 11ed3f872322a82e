// The local cursor on memory and temporary tables: layout, table operations,
// reading, writing with its result codes, BLOB streams and the index fill.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMConstraintManager.h"
#include "engine/core/VLMTableData.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "platform/host/HostVariant.h"
#include "platform/host/StringList.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using local_test::Connect;
using local_test::LocalTable;
using local_test::RuntimeScope;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

class LocalCursorTest : public ::testing::TestWithParam<const char*> {
protected:
  RuntimeScope Runtime;
  std::unique_ptr<TVLMLocalSession> Session = Connect(GetParam());
  bool Temporary() const { return std::string(GetParam()) == "TEMP"; }

  // Call, Points: five records.
  void FillLog(LocalTable& log) {
    log.Create({{"Call", dtString, 10}, {"Points", dtInteger}}, {{"ByPoints", "Points"}});
    const char* rows[][2] = {{"K1ABC", "3"}, {"W2XYZ", "1"}, {"N3Q", "5"}, {"VE3AA", "2"}, {"DL1X", "4"}};
    for (const auto& row : rows) ASSERT_EQ(log.Append({row[0], row[1]}), 0);
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, LocalCursorTest, ::testing::Values("MEMORY", "TEMP"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(LocalCursorTest, RecordBuffersHoldBitmapFieldsBookmarkAndFlag) {
  LocalTable t(*Session, "Layout");
  t.Create({{"ID", dtInteger}, {"Call", dtString, 10}, {"QSL", dtLogical}});
  EXPECT_EQ(t.Cursor.FirstFieldOffset, 1);
  EXPECT_EQ(t.Cursor.RecordDataSize, 18);
  EXPECT_EQ(t.Cursor.BookmarkOffset, 18);
  EXPECT_EQ(t.Cursor.RecordBufferSize, 25);
  EXPECT_EQ(t.Cursor.KeyBufferSize, 24);
  t.Cursor.InitRecordBuffer(t.Cursor.RecordBuffer, false);
  EXPECT_EQ(t.Cursor.RecordBuffer[0] & 0x07, 0x07);  // every field null
  ASSERT_EQ(t.Append({"7", "K1ABC", "1"}), 0);
  EXPECT_EQ(t.Cursor.RecordBuffer[24], kVLMRecordInserted);
  EXPECT_EQ(VLMGetRecordID(t.Cursor.RecordBuffer + 18), t.Cursor.Position.RecordID);

  // A table data without fields: the bookmark area alone.
  TVLMLocalCursor bare;
  bare.Session = Session.get();
  bare.TableName = "Bare";
  TVLMTableDataBase* table = Session->DatabaseData->CreateTableData(&bare);
  bare.AttachTableData(table);
  EXPECT_EQ(bare.RecordDataSize, 0);
  EXPECT_EQ(bare.RecordBufferSize, 7);
  bare.CloseTable();
  Session->DatabaseData->FreeTableData(table);
}

TEST_P(LocalCursorTest, TableOperationsRefuseWhatIsMissingOrTaken) {
  LocalTable log(*Session, "Log"), other(*Session, "Other");
  log.Create({{"Call", dtString, 10}});
  other.Create({{"Call", dtString, 10}});
  log.Close();
  other.Close();
  struct Row {
    const char* table;
    const char* newName;
    int32_t code;
  };
  const Row renames[] = {{"Missing", "X", 20134}, {"Log", "OTHER", 30451}, {"Log", "Log", 30452}, {"Log", "LOG", 0}};
  for (const Row& row : renames) {
    SCOPED_TRACE(row.newName);
    TVLMLocalCursor c;
    c.Session = Session.get();
    c.TableName = row.table;
    EXPECT_EQ(RaisedCode([&] { c.RenameTable(row.newName); }), row.code);
  }
  qv::StringList names;
  Session->GetTableNames(names);
  ASSERT_GE(names.IndexOf("LOG"), 0);
  EXPECT_EQ(names[names.IndexOf("LOG")], "LOG");

  TVLMLocalCursor missing;
  missing.Session = Session.get();
  missing.TableName = "Missing";
  EXPECT_EQ(RaisedCode([&] { missing.DeleteTable(); }), 20132);
  EXPECT_EQ(RaisedCode([&] { missing.EmptyTable(); }), 20133);
  EXPECT_EQ(RaisedCode([&] { missing.OpenTable(nullptr, nullptr, nullptr); }), 10028);

  // At design time a missing table is made on open and dropped on close.
  TVLMFieldDefs fields;
  schema_test::AddField(fields, "Note", dtString, 20);
  LocalTable designed(*Session, "Designed");
  designed.Cursor.DesignMode = true;
  designed.Cursor.InMemory = !Temporary();
  designed.Cursor.Temporary = Temporary();
  designed.Open(&fields);
  EXPECT_TRUE(Session->TableExists("Designed"));
  ASSERT_EQ(designed.Append({"made at design time"}), 0);
  designed.Close();
  EXPECT_FALSE(Session->TableExists("Designed"));

  other.Cursor.DeleteTable();
  EXPECT_FALSE(Session->TableExists("Other"));
}

TEST_P(LocalCursorTest, ReadsLocatesFiltersAndChoosesIndexes) {
  LocalTable log(*Session, "Log");
  FillLog(log);
  EXPECT_EQ(log.Cursor.GetRecordCount(), 5);
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"K1ABC", "W2XYZ", "N3Q", "VE3AA", "DL1X"}));
  log.UseIndex("ByPoints");
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"W2XYZ", "VE3AA", "K1ABC", "DL1X", "N3Q"}));

  ASSERT_TRUE(log.Cursor.Locate("Call", qv::HostVariant(std::string("n3q")), true, false));
  EXPECT_EQ(log.Get(1), "5");
  EXPECT_FALSE(log.Cursor.Locate("Call", qv::HostVariant(std::string("n3q")), false, false));
  TVLMVariant four(bdtInteger);
  four.SetAsInteger(4);
  ASSERT_TRUE(log.Cursor.LocateByCondition("Points", kVLMScanGreaterEqual, four));
  EXPECT_EQ(log.Get(0), "DL1X");

  log.Cursor.SetFilter("Points > 2", false, false);
  EXPECT_EQ(log.Cursor.GetRecordCount(), 3);
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"K1ABC", "DL1X", "N3Q"}));
  log.Cursor.ClearFilter();
  EXPECT_EQ(log.Cursor.GetRecordCount(), 5);

  // An index chosen by its fields; a projected name stands for its field.
  log.Cursor.SetIndexByFields(schema_test::List({"Call"}), schema_test::List({"DESC"}),
                              schema_test::List({"CASE"}));
  EXPECT_EQ(log.Cursor.IndexFieldCount, 1);
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"W2XYZ", "VE3AA", "N3Q", "K1ABC", "DL1X"}));
  EXPECT_TRUE(log.Cursor.FindIndexForFields(schema_test::List({"Points"}), schema_test::List({"ASC"}),
                                            schema_test::List({"CASE"})));
  TVLMIndexDef byCall;
  byCall.Name = "BYPOINTS";
  EXPECT_EQ(RaisedCode([&] { log.Cursor.CreateIndex(byCall); }), 20022);
  EXPECT_EQ(RaisedCode([&] { log.Cursor.DeleteIndex("NoSuch"); }), 20021);
  log.Cursor.DeleteIndex("ByPoints");
  EXPECT_EQ(log.Cursor.GetIndexDefs()->FindIndexDef("ByPoints"), nullptr);
}

TEST_P(LocalCursorTest, CompareBookmarksUsesTheIndexKeyAndPutsAMissingRecordFirst) {
  LocalTable log(*Session, "Log");
  FillLog(log);
  ASSERT_TRUE(log.Find(0, "K1ABC"));
  uint8_t k1[6], w2[6];
  VLMPutRecordID(k1, log.Cursor.Position.RecordID);
  ASSERT_TRUE(log.Find(0, "W2XYZ"));
  VLMPutRecordID(w2, log.Cursor.Position.RecordID);
  EXPECT_EQ(log.Cursor.CompareBookmarks(k1, w2), -1);  // natural order
  log.UseIndex("ByPoints");
  EXPECT_EQ(log.Cursor.CompareBookmarks(k1, w2), 1);  // 3 points after 1
  EXPECT_EQ(log.Cursor.CompareBookmarks(w2, w2), 0);
  if (Temporary()) return;  // records of a temporary table stay
  ASSERT_TRUE(log.Find(0, "K1ABC"));
  ASSERT_EQ(log.Delete(), 0);
  EXPECT_EQ(log.Cursor.CompareBookmarks(k1, w2), -1);
  EXPECT_EQ(log.Cursor.CompareBookmarks(w2, k1), 1);
}

TEST_P(LocalCursorTest, CopyFieldValueCopiesBytesCastsAndNulls) {
  LocalTable log(*Session, "Log"), copy(*Session, "Copy");
  FillLog(log);
  copy.Create({{"Points", dtInteger}, {"Text", dtString, 10}, {"Wide", dtLargeInt}});
  ASSERT_TRUE(log.Find(0, "N3Q"));
  copy.Cursor.InitRecordBuffer(copy.Cursor.RecordBuffer, false);
  log.Cursor.CopyFieldValue(1, true, &copy.Cursor, 0);   // same type: bytes
  log.Cursor.CopyFieldValue(1, false, &copy.Cursor, 1);  // integer into text
  log.Cursor.CopyFieldValue(1, true, &copy.Cursor, 2);   // integer into largeint
  EXPECT_EQ(copy.Get(0), "5");
  EXPECT_EQ(copy.Get(1), "5");
  EXPECT_EQ(copy.Get(2), "5");
  log.Set(1, std::nullopt);
  log.Cursor.CopyFieldValue(1, true, &copy.Cursor, 0);
  EXPECT_EQ(copy.Get(0), std::nullopt);
  EXPECT_EQ(RaisedCode([&] { log.Cursor.CopyFieldValue(2, true, &copy.Cursor, 0); }), 10501);
  EXPECT_EQ(RaisedCode([&] { log.Cursor.CopyFieldValue(0, true, &copy.Cursor, 3); }), 10502);
}

TEST_P(LocalCursorTest, WritesLeaveResultCodesAndWriteNothingOnAConflict) {
  TVLMConstraintDefs checks;
  TVLMConstraintDefCheck* check = checks.AddCheck();
  check->TargetName = "Points";
  check->MinValue.SetAsInteger(0);
  LocalTable log(*Session, "Log"), other(*Session, "Log");
  log.Create({{"Call", dtString, 10}, {"Points", dtInteger}}, {}, &checks);
  ASSERT_EQ(log.Append({"K1ABC", "3"}), 0);
  ASSERT_EQ(log.Append({"W2XYZ", "4"}), 0);
  other.Open();
  if (Temporary()) {  // no checks, no changes
    ASSERT_EQ(log.Append({"N3Q", "-1"}), 0);
    ASSERT_TRUE(log.Find(0, "K1ABC"));
    EXPECT_EQ(log.Update(1, "9"), -9);
    EXPECT_EQ(log.Delete(), -10);
    EXPECT_EQ(log.Column(1), (std::vector<std::string>{"3", "4", "-1"}));
    return;
  }
  ASSERT_EQ(log.Append({"N3Q", "-1"}), -8);
  EXPECT_EQ(log.Cursor.ResultText, qv::test::RaisedMessage([&] {
              log.Cursor.Table()->ConstraintManager->CheckConstraints(0, log.Cursor.RecordBuffer, true, true, {}, true,
                                                                      nullptr);
            }));
  EXPECT_EQ(log.Cursor.GetRecordCount(), 2);
  // The other cursor stands for another writer between read and write.
  struct Row {
    const char* name;
    bool otherDeletes;  // else the other cursor updates the record
    bool deleting;      // else this cursor updates it
    int32_t code;
  };
  const Row rows[] = {{"UPD-UPD", false, false, -4},
                      {"UPD-DEL", true, false, -6},
                      {"DEL-UPD", false, true, -5},
                      {"DEL-DEL", true, true, -7}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(log.Append({row.name, "1"}), 0);
    ASSERT_TRUE(log.Find(0, row.name));
    ASSERT_TRUE(other.Find(0, row.name));
    ASSERT_EQ(row.otherDeletes ? other.Delete() : other.Update(1, "2"), 0);
    EXPECT_EQ(row.deleting ? log.Delete() : log.Update(1, "3"), row.code);
    EXPECT_EQ(log.Get(1), row.deleting ? "1" : "3");  // the buffer keeps the edit
  }
  EXPECT_EQ(log.Column(1), (std::vector<std::string>{"3", "4", "2", "2"}));
  ASSERT_TRUE(log.Find(0, "K1ABC"));
  EXPECT_EQ(log.Update(1, "-5"), -8);
  EXPECT_EQ(log.Update(1, "6"), 0);
  EXPECT_EQ(log.Delete(), 0);
  EXPECT_EQ(log.Column(1), (std::vector<std::string>{"4", "2", "2"}));
  EXPECT_TRUE(log.Cursor.CheckConstraints(true));
  log.Set(1, "-2");
  EXPECT_FALSE(log.Cursor.CheckConstraints(true));
}

// A dataset-level stream over a cursor stream: freed by the cursor, it
// closes the field through the cursor, as the dataset's stream does.
class OwnerStream : public TVLMMemoryStream {
public:
  OwnerStream(TVLMLocalCursor& cursor, TVLMCursorBLOBStream& inner, int32_t fieldNo, int32_t& freed)
      : Cursor_(cursor), Inner_(&inner), FieldNo_(fieldNo), Freed_(freed) {
    inner.Owner = this;
  }
  ~OwnerStream() override {
    ++Freed_;
    Inner_->Owner = nullptr;
    try {
      Cursor_.CloseBlob(FieldNo_);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "closing the BLOB of field " << FieldNo_ << ": " << e.what();
    }
  }

private:
  TVLMLocalCursor& Cursor_;
  TVLMCursorBLOBStream* Inner_;
  int32_t FieldNo_;
  int32_t& Freed_;
};

TEST_P(LocalCursorTest, BlobStreamsWriteReadAndCloseWithOrWithoutAnOwner) {
  LocalTable notes(*Session, "Notes");
  notes.Create({{"Call", dtString, 10}, {"Data", dtBLOB}});
  std::vector<uint8_t> value(1 << 20);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>((i * 7919) >> 5);
  notes.Cursor.InitRecordBuffer(notes.Cursor.RecordBuffer, true);
  notes.Set(0, "K1ABC");
  qv::Stream* blob = notes.Cursor.OpenBlob(true, false, 1, TVLMCursorBLOBStream::kOpenWrite, false);
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(RaisedMessage([&] { notes.Cursor.OpenBlob(true, false, 1, TVLMCursorBLOBStream::kOpenReadWrite, false); }),
            "BLOB field already opened. FieldNo = 1, FieldName = Data - Native error: 10115");
  EXPECT_EQ(RaisedCode([&] { notes.Cursor.OpenBlob(true, false, 2, 0, false); }), 10110);
  blob->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
  notes.Cursor.Post(true);  // writes the open stream back first
  ASSERT_EQ(notes.Cursor.ResultCode, 0);
  EXPECT_TRUE(notes.Cursor.BlobStreams.empty());

  ASSERT_TRUE(notes.First());
  qv::Stream* reader = notes.Cursor.OpenBlob(false, false, 1, TVLMCursorBLOBStream::kOpenRead, true);
  ASSERT_NE(reader, nullptr);
  std::vector<uint8_t> back(value.size());
  ASSERT_EQ(reader->GetSize(), static_cast<int64_t>(value.size()));
  reader->ReadBuffer(back.data(), static_cast<int64_t>(back.size()));
  EXPECT_TRUE(back == value);
  EXPECT_EQ(RaisedCode([&] { reader->WriteBuffer("x", 1); }), 10115);
  EXPECT_EQ(RaisedCode([&] { reader->SetSize(0); }), 10116);

  // Writable streams without an owner leave the list (they used to be met
  // again for ever); read streams stay unless all go.
  notes.Cursor.OpenBlob(false, true, 1, TVLMCursorBLOBStream::kOpenReadWrite, false);
  notes.Cursor.FreeBlobStreams(true);
  ASSERT_EQ(notes.Cursor.BlobStreams.size(), 1u);
  EXPECT_EQ(notes.Cursor.BlobStreams[0]->OpenMode, TVLMCursorBLOBStream::kOpenRead);

  // An owner is freed with its stream, whichever side closes first.
  int32_t freed = 0;
  new OwnerStream(notes.Cursor, *notes.Cursor.BlobStreams[0], 1, freed);
  auto* writer = static_cast<TVLMCursorBLOBStream*>(
      notes.Cursor.OpenBlob(false, true, 1, TVLMCursorBLOBStream::kOpenReadWrite, false));
  new OwnerStream(notes.Cursor, *writer, 1, freed);
  notes.Cursor.FreeBlobStreams(false);
  EXPECT_EQ(freed, 2);
  EXPECT_TRUE(notes.Cursor.BlobStreams.empty());
  auto* last = static_cast<TVLMCursorBLOBStream*>(notes.Cursor.OpenBlob(false, false, 1, 1, true));
  delete new OwnerStream(notes.Cursor, *last, 1, freed);
  EXPECT_EQ(freed, 3);
  EXPECT_TRUE(notes.Cursor.BlobStreams.empty());
}

TEST_P(LocalCursorTest, IndexFillsWalkTheTableThroughALocalCursor) {
  LocalTable log(*Session, "Log");
  FillLog(log);
  ASSERT_TRUE(log.Find(0, "N3Q"));
  log.Cursor.SetFilter("Points > 2", false, false);  // the fill sees every record
  local_test::WalkerSpy spy;
  std::unique_ptr<TVLMIndexDef> byCall = tabledata_test::IndexOn("ByCall", "Call");
  log.Cursor.CreateIndex(*byCall);
  EXPECT_EQ(spy.Fills, 1);
  EXPECT_EQ(spy.Records, 5);
  log.Cursor.ClearFilter();
  log.UseIndex("ByCall");
  EXPECT_EQ(log.Column(0), (std::vector<std::string>{"DL1X", "K1ABC", "N3Q", "VE3AA", "W2XYZ"}));
}

}  // namespace
