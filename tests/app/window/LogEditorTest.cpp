// The log editor's logic on a fake editor window over the live log.
#include "WindowTestSupport.h"
#include "app/EditController.h"
#include "app/QsoEntry.h"
#include "platform/dataset/DataSet.h"

namespace qv::app::wintest {
namespace {

class LogEditorTest : public WindowTest {
protected:
  // The editor lets go of the log before the window does.
  void TearDown() override {
    Editor.reset();
    WindowTest::TearDown();
  }
  void Open(const LogKind& kind) {
    QsoRecord q;
    q.QSODate = "2024-05-06";
    q.Freq = "14";
    for (const auto& [call, serial, mode] : {std::tuple{"W0ABC", " 001", "CW"}, std::tuple{"W\xD8XYZ", " 007", "SSB"},
                                              std::tuple{"K1ZZ", "8", "RTTY"}}) {
      q.Call = call;
      q.NumSent = serial;
      q.Mode = mode;
      AddLogRecord(q);
    }
    Start(kind);
    Editor = std::make_unique<EditController>(Edit, *Controller, View);
    Editor->FormActivate();
  }
  std::string CurrentCall() { return Controller->LogData().FieldByName("Call")->AsString(); }
  void TypeCall(const std::string& keys) {
    Edit.Search[0].clear();
    for (char k : keys)
      if (char c = Editor->CallSrchKeyPress(k)) Edit.Search[0] += c;
  }

  FakeEditView Edit;
  std::unique_ptr<EditController> Editor;
};

TEST_P(LogEditorTest, ColumnsPerLogKind) {
  struct Case {
    LogKind Kind;
    bool Reports, Serials, Member;
  };
  const Case cases[] = {{{false, "GP"}, true, false, false},
                        {{true, "Other"}, true, true, false},
                        {{true, "WWDX"}, true, false, false},
                        {{true, "NAQP"}, false, false, false},
                        {{true, "IBM"}, false, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Kind.TypeContest);
    Edit.Columns.clear();
    Start(c.Kind);
    EditController editor(Edit, *Controller, View);
    editor.FormActivate();
    EXPECT_EQ(Edit.Columns[5], c.Reports);
    EXPECT_EQ(Edit.Columns[7], c.Reports);
    EXPECT_EQ(Edit.Columns[6], c.Serials);
    EXPECT_EQ(Edit.Columns[8], c.Serials);
    EXPECT_EQ(Edit.Columns[15], c.Member);
    EXPECT_EQ(Edit.Columns[16], c.Member);
    EXPECT_TRUE(Edit.Columns[18]);
  }
}

TEST_P(LogEditorTest, SearchesFollowTheZerosAndTheSerialNumbers) {
  struct Case {
    bool ZSlashed;
    bool CallSearch;
    std::string Typed;
    std::string Found;  // call of the record made current; empty: not found
  };
  const Case cases[] = {
      {false, true, "w0abc", "W0ABC"},      {true, true, "w0xyz", "W\xD8XYZ"},  {true, true, "w0abc", ""},
      {true, false, "7", "W\xD8XYZ"},        {true, false, "0007", "W\xD8XYZ"}, {true, false, "8", "K1ZZ"},
      {true, false, "abc", ""},             {true, false, "99", ""},
  };
  Open({true, "Other"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Typed);
    Controller->State().Program.ZSlashed = c.ZSlashed;
    Controller->LogData().Last();
    Edit.Messages.clear();
    if (c.CallSearch) {
      TypeCall(c.Typed);
      Editor->CallSrchBtnClick();
    } else {
      Edit.Search[1] = c.Typed;
      Editor->NumSrchBtnClick();
    }
    if (c.Found.empty()) {
      ASSERT_EQ(Edit.Messages.size(), 1u);
      EXPECT_EQ(Edit.Messages[0].Text, Edit.Search[c.CallSearch ? 0 : 1] + " Not found!");
      EXPECT_EQ(CurrentCall(), "K1ZZ");  // the current record stays
    } else {
      EXPECT_TRUE(Edit.Messages.empty());
      EXPECT_EQ(CurrentCall(), c.Found);
    }
  }
  Edit.Search[1].clear();
  Edit.Messages.clear();
  Editor->FormKeyDown(HotKey::F4);  // an empty serial search does nothing
  EXPECT_TRUE(Edit.Messages.empty());
  EXPECT_EQ(CurrentCall(), "K1ZZ");
}

TEST_P(LogEditorTest, ClosingAsksUnlessTheLastActionWasAPost) {
  Open({true, "Other"});
  DataSet& log = Controller->LogData();
  Editor->NavigatorButton(NavBtn::nbFirst);
  Editor->NavigatorButton(NavBtn::nbEdit);
  log.FieldByName("Mode")->SetAsString("FM");
  Editor->NavigatorButton(NavBtn::nbPost);
  EXPECT_EQ(Editor->LastNavigatorAction(), "nbPost");
  Editor->CloseWindowClick();
  EXPECT_EQ(Edit.CloseQuestions, 0);
  EXPECT_TRUE(Edit.Closed);
  EXPECT_EQ(LogRecords()[0].Mode, "FM");
  // The main window takes the current record's mode and serial.
  EXPECT_EQ(Text(Ctl::Mode), "FM");
  EXPECT_EQ(Text(Ctl::NumSent), "2");
  EXPECT_EQ(Text(Ctl::LogNr), "3 Log Entries");

  Edit.Closed = false;
  Editor->FormActivate();
  Editor->NavigatorButton(NavBtn::nbLast);
  Editor->NavigatorButton(NavBtn::nbDelete);
  EXPECT_EQ(Edit.Messages.back().Text, kDeleteQuestion);
  EXPECT_EQ(LogRecords().size(), 2u);
  Edit.CloseAnswer = false;
  Editor->FormKeyDown(HotKey::F9);
  EXPECT_EQ(Edit.CloseQuestions, 1);
  EXPECT_FALSE(Edit.Closed);
  Edit.CloseAnswer = true;
  Editor->CloseWindowClick();
  EXPECT_TRUE(Edit.Closed);
  EXPECT_EQ(Text(Ctl::LogNr), "2 Log Entries");

  // Post and cancel outside an edit do nothing and count as no action.
  Editor->FormActivate();
  Editor->NavigatorButton(NavBtn::nbPost);
  EXPECT_FALSE(Editor->NavigatorUsed());
}

// A posted row passes the entry fields' checks: a text they refuse is named
// in their warning and the row stays as stored, whether the post comes from
// the navigator or from a move to another record.
TEST_P(LogEditorTest, PostedRowsPassTheEntryFieldsChecks) {
  const std::string freq(kInvalidFrequencyText), time(kInvalidTimeText), date(kInvalidDateText),
      blank(kRequiredFieldsText);
  struct Case {
    const char* Field;
    std::string Text;
    std::string Warning;   // empty: stored
    std::string Stored{};  // what is stored when not the text
  };
  const Case cases[] = {
      {"Freq", "7..0", freq},          {"Freq", "", freq},             {"Freq", "14.025", ""},
      {"TimeStart", "2599", time},     {"TimeStart", "1260", time},    {"TimeStart", "", ""},
      {"TimeStart", "2359", ""},       {"TimeEnd", "123", time},       {"TimeEnd", "0000", ""},
      {"QSODate", "", date},           {"QSODate", "May 7", date},     {"QSODate", "2024-05-07", ""},
      {"QSODate", "2026-13-45", date}, {"QSODate", "2023-02-29", date}, {"QSODate", "2024/02/30", date},
      {"QSODate", "2024-02-29", ""},   {"Call", "", blank},            {"Call", "  ", blank},
      {"Call", "k1\xF8" "b/p", "", "K1\xD8" "B/P"},                    {"Call", "W1AW", ""},
      {"Call", " w1aw ", "", "W1AW"},
      // The forms the entry once took are the same date, stored as the
      // exports write it.
      {"QSODate", "2024/05/07", "", "2024-05-07"}, {"QSODate", "2024.05.07", "", "2024-05-07"},
      {"QSODate", "2024/05-07", date},
  };
  Open({true, "Other"});
  DataSet& log = Controller->LogData();
  int32_t edits = 0;
  for (const Case& c : cases) {
    for (NavBtn post : {NavBtn::nbPost, NavBtn::nbNext}) {
      SCOPED_TRACE(std::string(c.Field) + " \"" + c.Text + "\" by " + std::string(kNavBtnNames[static_cast<size_t>(post)]));
      Edit.Messages.clear();
      Editor->NavigatorButton(NavBtn::nbFirst);
      const QsoRecord stored = LogRecords()[0];
      Editor->NavigatorButton(NavBtn::nbEdit);
      log.FieldByName(c.Field)->SetAsString(c.Text);
      log.FieldByName("Notes")->SetAsString("edit " + std::to_string(++edits));
      Editor->NavigatorButton(post);
      EXPECT_EQ(log.State(), dsBrowse);
      EXPECT_EQ(LogRecords()[0].Notes, c.Warning.empty() ? "edit " + std::to_string(edits) : stored.Notes);
      std::vector<std::string> shown;
      for (const Message& m : Edit.Messages) shown.push_back(m.Kind + ": " + m.Text);
      EXPECT_EQ(shown, c.Warning.empty() ? std::vector<std::string>{} : std::vector{"warning: " + c.Warning});
      EXPECT_EQ(log.RecNo(), c.Warning.empty() && post == NavBtn::nbNext ? 2 : 1);
      if (!c.Warning.empty()) {
        EXPECT_EQ(QsoReader(log).Read(), stored);  // the row as stored
      } else {
        const QsoRecord r = LogRecords()[0];
        const std::string field = c.Field;
        EXPECT_EQ(field == "Freq" ? r.Freq : field == "TimeStart" ? r.TimeStart : field == "TimeEnd" ? r.TimeEnd
                  : field == "QSODate" ? r.QSODate : r.Call,
                  c.Stored.empty() ? c.Text : c.Stored);
      }
    }
  }
}

// A row stored with a date in an older form posts when another field
// changes: the date is read as the same day and stored in the export form.
TEST_P(LogEditorTest, ARowWithAnOlderDateFormPostsAChangedName) {
  for (const char* stored : {"2024/05/07", "2024.05.07"}) {
    QsoRecord q;
    q.QSODate = stored;
    q.Call = "K2OLD";
    q.Freq = "7";
    q.Mode = "CW";
    AddLogRecord(q);
  }
  Open({});
  DataSet& log = Controller->LogData();
  for (int32_t row = 0; row < 2; ++row) {
    Edit.Messages.clear();
    Editor->NavigatorButton(NavBtn::nbFirst);
    for (int32_t i = 0; i < row; ++i) Editor->NavigatorButton(NavBtn::nbNext);
    Editor->NavigatorButton(NavBtn::nbEdit);
    log.FieldByName("Name")->SetAsString("Ann");
    Editor->NavigatorButton(NavBtn::nbPost);
    EXPECT_TRUE(Edit.Messages.empty()) << row;
  }
  const std::vector<QsoRecord> rows = LogRecords();
  for (int32_t row = 0; row < 2; ++row) {
    EXPECT_EQ(rows[static_cast<size_t>(row)].Name, "Ann") << row;
    EXPECT_EQ(rows[static_cast<size_t>(row)].QSODate, "2024-05-07") << row;
  }
}

// The editor's posts and deletes reach the backup as an add does (on a log
// file, only what their commit changed), so that after a clean close the
// backup is the log, edits and all.
TEST_P(LogEditorTest, PostsAndDeletesReachTheBackup) {
  Open({true, "Other"});
  while (Controller->BackupCatchingUp()) Controller->BackupTimer();
  const std::string log = Home + "TEST/V5LogDB.vlm", backup = Home + "TEST/BakV5LogDB.vlm";
  Editor->NavigatorButton(NavBtn::nbFirst);
  Editor->NavigatorButton(NavBtn::nbEdit);
  Controller->LogData().FieldByName("Name")->SetAsString("Ann");
  Editor->NavigatorButton(NavBtn::nbPost);
  EXPECT_EQ(ReadFile(backup), ReadFile(log));
  if (OnEngine()) {
    EXPECT_EQ(Controller->LastBackupUpdate().Road, BackupRoad::Changes);
  }
  Editor->NavigatorButton(NavBtn::nbLast);
  Editor->NavigatorButton(NavBtn::nbDelete);
  EXPECT_EQ(ReadFile(backup), ReadFile(log));
  if (OnEngine()) {
    EXPECT_EQ(Controller->LastBackupUpdate().Road, BackupRoad::Changes);
  }
  Editor->CloseWindowClick();
  Controller->FormClose();
  Editor.reset();
  Controller.reset();
  EXPECT_EQ(ReadFile(backup), ReadFile(log));
  if (OnEngine()) {  // the backup opens as a log of its own
    const std::vector<QsoRecord> restored = QsosOf({LogTableSpec(), backup});
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(restored[0].Name, "Ann");
    EXPECT_EQ(restored, LogRecords());
  }
  EXPECT_EQ(View.MessageTexts(), std::vector<std::string>{});
  EXPECT_EQ(Text(Ctl::StatPanel), "");
}

QV_ON_BOTH_TABLE_KINDS(LogEditorTest);

}  // namespace
}  // namespace qv::app::wintest
