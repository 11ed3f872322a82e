// Shared pieces of the main-window tests: a fake MainView that records what
// the controller shows, a scratch program folder with settings, and helpers
// that type into fields and move the focus as the window would.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "appdata/LogSchemas.h"
#include "app/EditController.h"
#include "app/MainController.h"
#include "engine/components/VLMMain.h"
#include "app/QsoRecord.h"
#include "app/Settings.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"
#include "platform/dataset/DataSet.h"
#include "platform/os/File.h"
#include "platform/os/System.h"
#include "tests/app/TestTables.h"
#include "tests/app/window/FakeMainView.h"
#include "tests/support/ScratchFolder.h"

namespace qv::app::wintest {

// Station settings of the test log.
struct LogKind {
  bool TypeLog = false;
  std::string TypeContest = "GP";
  bool AutoTime = true;
};

// The test clock: 2024-05-06 12:34:10 UTC.
inline double FixedNow() { return EncodeDate(2024, 5, 6) + EncodeTime(12, 34, 10, 0); }

// The main window's fixture on one kind of tables (WindowTest: each test
// runs on both; a fixture with a parameter of its own runs on the in-memory
// tables).
class WindowFixture : public ::testing::Test {
protected:
  virtual tabletest::TablesKind KindOfTables() const { return tabletest::TablesKind::Memory; }

  void SetUp() override {
    // A test that starts again (TearDown, SetUp) lets the old tables go first.
    TablesUnderTest.reset();
    TablesUnderTest = tabletest::TestTables::Make(KindOfTables());
    Home = Dir_ + "/home/";
    std::filesystem::create_directories(Home + "TEST");
    TablesUnderTest->MakeFile({LogTableSpec(), Home + "V5LogDB.vlm"});
    TablesUnderTest->MakeFile(StateStorage());
    std::filesystem::copy_file(Home + "V5LogDB.vlm", Home + "TEST/V5LogDB.vlm",
                               std::filesystem::copy_options::overwrite_existing);
    Store = std::make_unique<SettingsStore>(Dir_ + "/config/Quorvex/QuorvexV5.ini");
    SetNowUtcSource([] { return FixedNow(); });
  }
  void TearDown() override {
    Controller.reset();
    SetNowUtcSource(nullptr);
  }

  TableFactory& Factory() { return TablesUnderTest->Factory(); }
  bool OnEngine() const { return TablesUnderTest->Kind() == tabletest::TablesKind::Engine; }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << f.rdbuf();
    return bytes.str();
  }

  void Configure(const LogKind& kind) {
    ProgramSettings p;
    p.Status = 4;
    p.LogName = "TEST";
    p.ZSlashed = true;
    p.HCID = "W1AW";
    p.HCPW = "secret";
    Store->WriteProgramSettings(p);
    StationSettings s;
    s.MyCall = "W1AW";
    s.MyName = "Hiram";
    s.MyState = "CT";
    s.MyCountry = "USA";
    s.MyContinent = "NA";
    s.AutoManTime = kind.AutoTime ? "True" : "False";
    s.TypeLog = kind.TypeLog;
    s.TypeContest = kind.TypeContest;
    s.MyXmtrID = "1";
    s.MyZone = "05";
    Store->WriteStationSettings("TEST", s);
  }

  // Creates the controller and runs the window's start: FormCreate,
  // FormActivate and (unless firstTick is false) the first clock tick.
  void Start(const LogKind& kind, bool firstTick = true) {
    Configure(kind);
    Controller = std::make_unique<MainController>(View, Factory(), *Store, Home);
    Controller->FormCreate();
    Controller->FormActivate();
    if (firstTick) Controller->Timer1Timer();
  }

  tabletest::TableAt LogStorage() { return {LogTableSpec(), Home + "TEST/V5LogDB.vlm"}; }
  tabletest::TableAt StateStorage() { return {StateTableSpec(), Home + "USCountryDB.vlm"}; }
  tabletest::TableAt MemberStorage() { return {MemberTableSpec(), Home + "WWHAMDB.vlm"}; }

  // Appends one row to a stored table (made when its file is missing): field
  // name / text pairs.
  void AddRow(const tabletest::TableAt& table, const tabletest::FieldValues& values) { TablesUnderTest->AddRow(table, values); }
  void AddLogRecord(const QsoRecord& q) { AddQso(LogStorage(), q); }
  void AddQso(const tabletest::TableAt& log, const QsoRecord& q) {
    TablesUnderTest->WithTable(log, [&](LogTable& t) {
      t.Data().Append();
      WriteQso(t.Data(), q);
      t.Data().Post();
    });
  }
  std::vector<QsoRecord> LogRecords() { return QsosOf(LogStorage()); }
  // The contact "K<i>" of a log made by LogOfContacts.
  static QsoRecord MadeContact(int i) {
    QsoRecord q;
    q.Call = "K" + std::to_string(i);
    q.QSODate = "2024-05-06";
    q.TimeStart = "1200";
    q.Freq = "14";
    q.Mode = "CW";
    q.Notes = "note " + std::to_string(1000 + i);
    return q;
  }
  // A log file of n contacts (MadeContact(1) ... (n)), made once per test
  // program on the engine, in one transaction; a case copies it.
  const std::string& LogOfContacts(int n) {
    static ::qv::test::ScratchFolder folder;
    static std::map<int, std::string> made;
    std::string& file = made[n];
    if (!file.empty()) return file;
    const std::string path = folder.Path() + "/log" + std::to_string(n) + ".vlm";
    TablesUnderTest->MakeFile({LogTableSpec(), path});
    TVLMDatabase database;
    database.SetDatabaseName("LogOfContacts");
    database.SetDatabaseFileName(path);
    database.DoConnect();
    TVLMTable table;
    table.SetDatabaseName("LogOfContacts");
    table.SetTableName(LogTableSpec().TableName);
    table.Open();
    database.StartTransaction();
    for (int i = 1; i <= n; ++i) {
      table.Append();
      WriteQso(table, MadeContact(i));
      table.Post();
    }
    database.Commit(true);
    table.Close();
    database.DoDisconnect();
    return file = path;
  }
  // The contacts of a log file in contact order.
  std::vector<QsoRecord> QsosOf(const tabletest::TableAt& log) {
    std::vector<QsoRecord> out;
    TablesUnderTest->WithTable(log, [&](LogTable& t) {
      t.SetIndexName("PrimeIndex");
      t.Data().First();
      QsoReader reader(t.Data());
      while (!t.Data().Eof()) {
        out.push_back(reader.Read());
        t.Data().Next();
      }
    });
    return out;
  }

  // Types text into a field key by key through the controller's filter.
  void Type(Ctl field, std::string_view keys) {
    View.Focused = field;
    for (char k : keys) {
      ControlState& c = View.C(field);
      const char r = Controller->KeyPress(field, k, static_cast<int32_t>(c.Text.size()));
      if (r == 0) continue;
      if (r == '\b') {
        if (!c.Text.empty()) c.Text.pop_back();
        continue;
      }
      if (c.MaxLength > 0 && c.Text.size() >= static_cast<size_t>(c.MaxLength)) continue;
      c.Text += r;
    }
  }
  // The operator moves the focus from the focused field to next, as the
  // window does: the exit check, then (unless the check moved the focus)
  // the next field's enter handler.
  void MoveTo(Ctl next) {
    const Ctl from = View.Focused;
    View.Focused = next;
    View.FocusMovedByHandler = false;
    Controller->FieldExit(from);
    if (!View.FocusMovedByHandler) Controller->FieldEnter(next);
  }
  void Leave(Ctl field, Ctl next) {
    View.Focused = field;
    MoveTo(next);
  }
  // Runs an event handler as the window's guard does: an exception that
  // leaves it goes to the error box.
  void Handle(const std::function<void()>& handler) {
    try {
      handler();
    } catch (const ESilentException&) {
    } catch (const std::exception& e) {
      View.ShowError(e.what());
    }
  }
  // The log of the test, and its backup, made copies of a log of contacts
  // K1 to Kn (LogOfContacts), whose adds take pages.
  void UseBuiltLog(int32_t contacts) {
    for (const char* name : {"TEST/V5LogDB.vlm", "TEST/BakV5LogDB.vlm"})
      std::filesystem::copy_file(LogOfContacts(contacts), Home + name, std::filesystem::copy_options::overwrite_existing);
  }
  const std::string& Text(Ctl c) { return View.C(c).Text; }
  void Set(Ctl c, const std::string& text) { View.C(c).Text = text; }

  ::qv::test::ScratchFolder Scratch_;
  std::string Dir_ = Scratch_.Path();
  std::string Home;
  std::unique_ptr<SettingsStore> Store;
  std::unique_ptr<tabletest::TestTables> TablesUnderTest;
  FakeMainView View;
  std::unique_ptr<MainController> Controller;
};

// Each test of the suite runs on the in-memory tables and on the engine's
// components over real database files.
class WindowTest : public WindowFixture, public ::testing::WithParamInterface<tabletest::TablesKind> {
protected:
  tabletest::TablesKind KindOfTables() const override { return GetParam(); }
};

#define QV_ON_BOTH_TABLE_KINDS(Fixture)                                                                    \
  INSTANTIATE_TEST_SUITE_P(Tables, Fixture,                                                              \
                           ::testing::Values(::qv::app::tabletest::TablesKind::Memory,                        \
                                             ::qv::app::tabletest::TablesKind::Engine),                       \
                           ::qv::app::tabletest::TablesKindName)

}  // namespace qv::app::wintest
