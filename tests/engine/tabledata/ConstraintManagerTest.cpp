// Constraint checks, names and the constraints that indexes imply.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/engine/ReferenceEngine.h"

namespace tabledata_test {
namespace {

using schema_test::RaisedCode;
using schema_test::RaisedMessage;
using Value = std::optional<std::string>;

enum { kID, kLast, kFirst, kScore, kMode };

class Constraints : public ::testing::Test {
protected:
  void SetUp() override {
    db.ConnectSession(&session);
    TVLMConstraintDefs defs;
    for (int i = 0; i < 2; ++i) defs.AddNotNull()->TargetName = "Mode";
    TVLMConstraintDefCheck* check = defs.AddCheck();
    check->Name = "ScoreRange";
    check->TargetName = "Score";
    check->MinValue.SetAsInteger(10);
    check->MaxValue.SetAsInteger(100);
    log.Create({{"ID", dtInteger}, {"LastName", dtString, 12}, {"FirstName", dtString, 12}, {"Score", dtInteger},
                {"Mode", dtString, 6}},
               {}, &defs);
    log.CreateIndex(*IndexOn("PK", "LastName;FirstName", true));
    log.CreateIndex(*IndexOn("ByID", "ID", false, true));
    log.Append({"1", "Smith", "Ann", "50", "CW"});
  }
  TVLMBaseConstraintManager& Manager() { return *log.Table().ConstraintManager; }

  RefDatabaseData db;
  schema_test::TestSession session;
  TableCursor log{db, session, "Log"};
};

TEST_F(Constraints, ARecordIsCheckedInListOrderUntilTheFirstViolation) {
  struct Case {
    Value Fields[5];
    bool CheckKeys, Raise;
    bool Passes;
    int32_t Code;
    const char* InMessage;
  };
  const Case cases[] = {
      // A duplicate key passes unless keys are checked; unraised it is false.
      {{"2", "Smith", "Ann", "50", "CW"}, false, true, true, 0, ""},
      {{"2", "Smith", "Ann", "50", "CW"}, true, false, false, 0, ""},
      {{"2", "Smith", "Ann", "50", "CW"}, true, true, false, 30319, "'C_PK$LastName$FirstName'"},
      {{"2", std::nullopt, std::nullopt, "50", "CW"}, true, true, false, 30330, "field 'LastName,FirstName'"},
      {{"2", "Jones", std::nullopt, "50", "CW"}, true, true, true, 0, ""},
      {{"1", "Jones", "Bo", "50", "CW"}, true, true, false, 30320, "'C_Unique$ID'"},
      // CHECK bounds: each bound itself and null pass.
      {{"2", "Jones", "Bo", "9", "CW"}, true, true, false, 30029, "cannot be lower than '10'"},
      {{"2", "Jones", "Bo", "10", "CW"}, true, true, true, 0, ""},
      {{"2", "Jones", "Bo", "100", "CW"}, true, true, true, 0, ""},
      {{"2", "Jones", "Bo", std::nullopt, "CW"}, true, true, true, 0, ""},
      {{"2", "Jones", "Bo", "101", "CW"}, true, true, false, 30030, "cannot be greater than '100'"},
      {{"2", "Jones", "Bo", "50", std::nullopt}, true, true, false, 30026, "'$C_NotNull$Log$Mode'"},
  };
  for (const Case& c : cases) {
    log.PrepareInsert();
    for (int32_t f = 0; f < 5; ++f) log.SetText(f, c.Fields[f]);
    bool passed = false;
    const std::string message = RaisedMessage([&] {
      passed = Manager().CheckConstraints(0, log.RecordBuffer, c.CheckKeys, c.Raise, {}, true, nullptr);
    });
    const int32_t code = RaisedCode([&] {
      Manager().CheckConstraints(0, log.RecordBuffer, c.CheckKeys, c.Raise, {}, true, nullptr);
    });
    EXPECT_EQ(passed, c.Passes) << message;
    EXPECT_EQ(code, c.Code) << message;
    EXPECT_NE(message.find(c.InMessage), std::string::npos) << message;
  }
  // An update that keeps its own key is no duplicate.
  log.SetToBegin();
  ASSERT_EQ(log.GetRecord(1), kVLMNavOK);
  log.Edit();
  log.SetText(kScore, "60");
  EXPECT_TRUE(log.CheckConstraints(false));
  log.Post(false);
  EXPECT_EQ(log.Int(kScore), 60);
}

TEST_F(Constraints, NamesAreGivenOnceAndFitTheirLimit) {
  const TVLMConstraintDefs& defs = *Manager().ConstraintDefs;
  ASSERT_EQ(defs.GetCount(), 5);
  const std::string base = "$C_NotNull$Log$Mode";
  EXPECT_EQ(defs.GetItem(0)->Name, base);
  const std::string second = defs.GetItem(1)->Name;
  EXPECT_EQ(second.substr(0, base.size()), base);
  EXPECT_GT(second.size(), base.size());
  EXPECT_EQ(defs.GetItem(2)->Name, "ScoreRange");

  // A name at the limit keeps the number that makes it unique.
  const std::string longField(250, 'F');
  RefDatabaseData other;
  TableCursor wide(other, session, "Wide");
  TVLMConstraintDefs notNull;
  for (int i = 0; i < 3; ++i) notNull.AddNotNull()->TargetName = longField;
  wide.Create({{longField.c_str(), dtInteger}}, {}, &notNull);
  const TVLMConstraintDefs& named = *wide.Table().ConstraintManager->ConstraintDefs;
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(named.GetItem(i)->Name.size(), 255u);
    EXPECT_EQ(named.IndexOfName(named.GetItem(i)->Name), i);
  }
}

TEST_F(Constraints, IndexesBringAndTakeTheirConstraints) {
  // A second definition on the primary index: dropping the index takes only
  // the first one in list order.
  TVLMConstraintDefUnique* alsoPK = Manager().ConstraintDefs->AddUnique();
  alsoPK->Name = "AlsoPK";
  alsoPK->TargetName = "PK";
  alsoPK->Columns = {{"LastName", 0}, {"FirstName", 0}};
  Manager().PrepareConstraint(*alsoPK);
  log.DeleteIndex("PK");
  const TVLMConstraintDefs& defs = *Manager().ConstraintDefs;
  EXPECT_EQ(defs.IndexOfName("C_PK$LastName$FirstName"), -1);
  EXPECT_GE(defs.IndexOfName("AlsoPK"), 0);

  // A suppressed index leaves the list alone; a plain index implies nothing.
  log.SuppressIndexConstraints = true;
  log.DeleteIndex("ByID");
  EXPECT_GE(defs.IndexOfName("C_Unique$ID"), 0);
  TVLMConstraintDefs list;
  EXPECT_EQ(VLMAddIndexConstraint(*IndexOn("ByMode", "Mode"), list), nullptr);
  EXPECT_EQ(VLMAddIndexConstraint(*IndexOn("U", "ID;CALL", false, true), list)->Name, "C_Unique$ID$CALL");

  // Kinds a table keeps: 0, 2, 3, 4; anything else changes nothing.
  TVLMConstraintDefs bad;
  bad.AddCheck()->TargetName = "Score";
  bad.AddNotNull()->Kind = 1;
  const int32_t before = defs.GetCount();
  EXPECT_EQ(RaisedCode([&] { log.Table().SetConstraintDefs(bad); }), 30058);
  EXPECT_EQ(defs.GetCount(), before);
}

}  // namespace
}  // namespace tabledata_test
