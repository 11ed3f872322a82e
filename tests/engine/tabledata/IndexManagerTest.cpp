// Index upkeep, temporary indexes, dropping and renaming through the index
// manager.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/StringList.h"
#include "tests/support/engine/ReferenceEngine.h"

namespace tabledata_test {
namespace {

using schema_test::List;
using schema_test::RaisedCode;

enum { kID, kCall, kMode };

class IndexManager : public ::testing::Test {
protected:
  void SetUp() override {
    db.ConnectSession(&session);
    log.Create({{"ID", dtAutoinc}, {"Call", dtString, 10}, {"Mode", dtString, 6}},
               {{"ByCall", "call"}, {"ByMode", "Mode;Call"}});
    for (const char* call : {"W1AW", "K1ABC", "N0XYZ"}) log.Append({std::nullopt, call, "CW"});
  }
  TVLMBaseIndexManager& Manager() { return *log.Table().IndexManager; }
  bool LocateCall(const char* call) { return log.Locate("Call", qv::HostVariant(std::string(call)), false, false); }

  RefDatabaseData db;
  schema_test::TestSession session;
  TableCursor log{db, session, "Log"};
};

TEST_F(IndexManager, AnUpdateMovesOnlyTheKeysThatChange) {
  ASSERT_TRUE(LocateCall("K1ABC"));
  log.Edit();
  log.SetText(kCall, "AA1A");
  const int64_t writes = log.Ref().IndexWrites;
  log.Post(false);
  // Both indexes hold Call: each moves its entry (out and in); a change of
  // no key column touches no index.
  EXPECT_EQ(log.Ref().IndexWrites - writes, 4);
  log.Edit();
  log.SetInt(kID, 77);
  log.Post(false);
  EXPECT_EQ(log.Ref().IndexWrites - writes, 4);
  log.UseIndex("ByCall");
  EXPECT_EQ(log.Column(kCall), (std::vector<std::string>{"AA1A", "N0XYZ", "W1AW"}));
  EXPECT_EQ(log.Ref().CheckIndexes(), "");

  // An edit that is never posted does not decide which keys a delete
  // removes: the stored record does.
  ASSERT_TRUE(LocateCall("N0XYZ"));
  log.Edit();
  log.SetText(kCall, "ZZ9ZZ");
  log.SetText(kMode, "SSB");
  log.DeleteRecord();
  EXPECT_EQ(log.Ref().CheckIndexes(), "");
  EXPECT_EQ(log.Column(kCall), (std::vector<std::string>{"AA1A", "W1AW"}));
}

TEST_F(IndexManager, TemporaryIndexesAreSharedAndRebuiltWhenTheyMissedAChange) {
  std::string first, second;
  bool created = false;
  log.GetIndexForFields(List({"MODE"}), List({"DESC"}), List({"CASE"}), first, created);
  EXPECT_TRUE(created);
  EXPECT_EQ(first.rfind("TEMPORARY_INDEX_{", 0), 0u);
  log.GetIndexForFields(List({"MODE"}), List({"DESC"}), List({"CASE"}), second, created);
  EXPECT_FALSE(created);
  EXPECT_EQ(second, first);
  // A stored index serves its own fields without a temporary one.
  log.GetIndexForFields(List({"CALL"}), List({"ASC"}), List({"CASE"}), second, created);
  EXPECT_FALSE(created);
  EXPECT_EQ(second, "ByCall");

  // Another process's insert bypasses the indexes: one rebuild, then none
  // until the table changes again.
  std::vector<uint8_t> record(static_cast<size_t>(log.RecordBufferSize), 0);
  log.InitRecordBuffer(record.data(), false);
  log.SetText(kCall, "VE3XX", record.data());
  log.SetText(kMode, "FT8", record.data());
  log.Ref().Records().InsertBehindIndexes(record.data());
  bool rebuilt = false;
  Manager().RefreshTemporaryIndexes(&log, rebuilt);
  EXPECT_TRUE(rebuilt);
  Manager().RefreshTemporaryIndexes(&log, rebuilt);
  EXPECT_FALSE(rebuilt);
  log.Append({std::nullopt, "G4ABC", "RTTY"});
  Manager().RefreshTemporaryIndexes(&log, rebuilt);
  EXPECT_FALSE(rebuilt);  // the insert went through the manager
  log.UseIndex(first);
  EXPECT_EQ(log.Column(kMode), (std::vector<std::string>{"RTTY", "FT8", "CW", "CW", "CW"}));

  // A rollback rebuilds the session's outdated temporary indexes.
  log.Ref().Records().InsertBehindIndexes(record.data());
  db.Rollback(session.SessionID);
  Manager().RefreshTemporaryIndexes(&log, rebuilt);
  EXPECT_FALSE(rebuilt);
}

TEST_F(IndexManager, DroppedIndexesAreGoneAndRenamedFieldsFollowInColumns) {
  const int32_t byCall = Manager().IndexDefs->FindIndexDef("ByCall")->ObjectID;
  ASSERT_NE(Manager().GetIndex(byCall), nullptr);
  log.DeleteIndex("ByCall");
  EXPECT_EQ(RaisedCode([&] { Manager().GetIndex(byCall); }), 20018);
  EXPECT_EQ(log.Ref().IndexStore.size(), 1u);

  // The columns name the field as "Call" (ByMode) and "call" (ByCall before
  // its drop); the rename finds them whatever the case.
  log.CreateIndex(*IndexOn("ByCall", "CALL"));
  Manager().GetIndex(Manager().IndexDefs->FindIndexDef("ByCall")->ObjectID);
  log.Table().RenameField("cALL", "Callsign");
  for (const char* index : {"ByCall", "ByMode"}) {
    const TVLMIndexDef& def = *Manager().IndexDefs->FindIndexDef(index);
    EXPECT_EQ(def.GetColumn(def.GetColumnCount() - 1).Name, "Callsign") << index;
  }
  // The open index follows too, so a rebuild still finds its field.
  TVLMIndex* open = Manager().GetIndex(Manager().IndexDefs->FindIndexDef("ByCall")->ObjectID);
  EXPECT_EQ(open->IndexDef->GetColumn(0).Name, "Callsign");
  open->RebuildIndex(&log);
  EXPECT_EQ(log.Ref().CheckIndexes(), "");
  EXPECT_EQ(RaisedCode([&] { log.Table().RenameField("Mode", "CALLSIGN"); }), 30344);
  EXPECT_EQ(RaisedCode([&] { log.Table().RenameField("Band", "X"); }), 30343);
}

}  // namespace
}  // namespace tabledata_test
