// The real dialogs and the printed report, run offscreen: the settings
// dialog of a first start, an edit posted in the log editor, the multiplier
// list, the report printed to PDF, and the output choice of the main window.
// With QV_SCREENSHOT_DIR set, each dialog and the first report page are also
// saved there as pictures (tools/screenshots.sh).
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRadioButton>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include "app/AppTestSupport.h"
#include "support/QtTestApp.h"
#include "WindowTestSupport.h"
#include "app/LogEditModel.h"
#include "app/Outputs.h"
#include "app/ReportContent.h"
#include "app/Scoring.h"
#include "app/VedoruzEzuEditF.h"
#include "app/VedoruzEzuF.h"
#include "app/VedoruzEzuMultsF.h"
#include "app/VedoruzEzuPrefsF.h"
#include "app/VedoruzEzuPrtF.h"
#include "platform/os/Paths.h"
#include "tools/digipeer/FakeDigitalModeProgram.h"

namespace qv::app::wintest {
namespace {
using qv::test::Spin;

void Snap(QWidget* w, const char* name) {
  if (const char* dir = std::getenv("QV_SCREENSHOT_DIR")) w->grab().save(QString::fromUtf8(dir) + "/" + name + ".png");
}

// Runs script on the modal dialog of type T once it is up (from inside its
// event loop); fails the test when none comes within ms.
template <class T>
void WhenModal(const std::function<void(T&)>& script, int ms = 5000) {
  auto* timer = new QTimer();
  auto* waited = new QElapsedTimer();
  waited->start();
  QObject::connect(timer, &QTimer::timeout, [=] {
    T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog == nullptr && waited->elapsed() < ms) return;
    timer->stop();
    timer->deleteLater();
    delete waited;
    if (dialog == nullptr) {
      ADD_FAILURE() << "no dialog came up";
      return;
    }
    Spin(20);  // its activation
    script(*dialog);
  });
  timer->start(10);
}

void Key(QWidget* w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
}

void TypeKeys(QWidget* w, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, static_cast<int>(c.toUpper().unicode()), Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &press);
  }
}

class DialogsOffscreenTest : public WindowTest {
protected:
  void SetUp() override {
    qv::test::QtTestApp();
    WindowTest::SetUp();
  }
  void TearDown() override {
    Window.reset();
    gui::SetErrorReporter(nullptr);
    WindowTest::TearDown();
  }
  void MakeWindow() {
    gui::SetErrorReporter([this](const std::string& m) { Boxes.push_back("error: " + m); });
    Window = std::make_unique<TVedoruzEzu>(Factory(), *Store, Home);
    Window->SetMessageHook([this](const std::string& kind, const std::string& text) {
      Boxes.push_back(kind + ": " + text);
      return true;
    });
    Window->SetUrlOpener([](const QUrl&) {});
  }

  std::unique_ptr<TVedoruzEzu> Window;
  std::vector<std::string> Boxes;
};

TEST_P(DialogsOffscreenTest, FirstStartCreatesAndSelectsALogInTheSettingsDialog) {
  std::filesystem::remove_all(Home + "TEST");
  MakeWindow();
  Window->SetPromptHook([](const std::string& title, const std::string&, std::string& value) {
    EXPECT_EQ(title, "Quorvex - Create New Log File");
    value = "  test ";
    return true;
  });
  WhenModal<TVedoruzEzuPrefs>([&](TVedoruzEzuPrefs& d) {
    auto* logs = static_cast<QComboBox*>(d.Widget(PCtl::MyLogName));
    ASSERT_EQ(logs->count(), 1);
    EXPECT_EQ(logs->placeholderText().toStdString(), kPickLogText);
    Key(d.Widget(PCtl::PrefCall), Qt::Key_F9);
    EXPECT_EQ(d.Text(PCtl::Stats), kSelectLogText);
    emit logs->activated(0);
    auto* call = static_cast<QLineEdit*>(d.Widget(PCtl::PrefCall));
    call->clear();
    TypeKeys(call, QStringLiteral("w0a-w"));  // zeros typed slashed, "-" refused
    EXPECT_EQ(d.Text(PCtl::PrefCall), "W\xD8" "AW");
    call->setText(QStringLiteral("W1AW"));
    static_cast<QLineEdit*>(d.Widget(PCtl::MyCountry))->setText(QStringLiteral("USA"));
    static_cast<QComboBox*>(d.Widget(PCtl::MyContinent))->setEditText(QStringLiteral("NA"));
    Snap(&d, "settings");
    d.close();  // refused: not saved yet
    EXPECT_TRUE(d.isVisible());
    Key(d.Widget(PCtl::MyCountry), Qt::Key_F9);
  });
  Window->Start();
  EXPECT_FALSE(Window->findChild<TVedoruzEzuPrefs*>());
  EXPECT_EQ(Store->ReadInteger("Settings", "Status", 0), 4);
  EXPECT_EQ(Store->ReadString("Log Index\\TEST", "MyCall", ""), "W1AW");
  EXPECT_EQ(ReadFile(Home + "TEST/V5LogDB.vlm"), ReadFile(Home + "V5LogDB.vlm"));
  EXPECT_NE(std::find(Boxes.begin(), Boxes.end(), "warning: Click \"Save and Close\" button"), Boxes.end());
  EXPECT_EQ(Window->Text(Ctl::LogTypInf), "IBM QSO Party Log");
}

TEST_P(DialogsOffscreenTest, AnEditPostedInTheEditorReachesTheLog) {
  Configure({true, "Other"});
  for (const char* call : {"K1AA", "K1BB"}) AddLogRecord(test::Contact(call, "14", false));
  MakeWindow();
  Window->Start();
  WhenModal<TVedoruzEzuEdit>([&](TVedoruzEzuEdit& e) {
    EXPECT_EQ(e.windowTitle().toStdString(), kEditCaption);
    EXPECT_EQ(e.NavigatorAction(NavBtn::nbDelete)->toolTip().toStdString(), "DELETE Selected Record !");
    EXPECT_EQ(e.Model().rowCount(), 2);
    EXPECT_FALSE(e.Grid()->isColumnHidden(6));
    // The close button and the hints under it keep clear of the right edge,
    // maximised and in a window that leaves the search row little room.
    auto clear = [&](const char* when) {
      for (const char* name : {"CloseWindow", "InfoText1", "InfoText2"}) {
        auto* w = e.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(w, nullptr) << name;
        EXPECT_LE(w->mapTo(&e, QPoint(w->width(), 0)).x(), e.width() - 10) << name << " " << when;
      }
    };
    clear("maximised");
    e.showNormal();
    Spin(20);
    e.resize(e.minimumSizeHint().width() + 40, 500);
    Spin(20);
    clear("narrow");
    e.showMaximized();
    Spin(20);
    ASSERT_TRUE(e.Model().setData(e.Model().index(0, 2), QStringLiteral("FM"), Qt::EditRole));
    Snap(&e, "editor");
    e.NavigatorAction(NavBtn::nbPost)->trigger();
    Key(e.SearchField(ECtl::CallSrch), Qt::Key_F9);
  });
  static_cast<QAbstractButton*>(Window->Widget(Ctl::EditLogBtn))->click();
  EXPECT_EQ(LogRecords()[0].Mode, "FM");
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(Window->Text(Ctl::NumSent), "3");  // no serial in the last record: count + 1
}

TEST_P(DialogsOffscreenTest, MultiplierListShowsEachBandsCountries) {
  qv::test::QtTestApp();
  BandTable empty;
  EXPECT_EQ(TVedoruzEzuMults(empty).MultListView()->topLevelItemCount(), 0);
  BandTable bands;
  for (int i = 0; i < kSlotsPerBand + 1; ++i) bands.Test("14", "C" + std::to_string(i), " 00" + std::to_string(i) + " K1X");
  bands.Test("7", "DL", " 099 DL1AA");
  TVedoruzEzuMults view(bands);
  QTreeWidget* list = view.MultListView();
  EXPECT_EQ(view.windowTitle().toStdString(), "View Multipliers");
  EXPECT_EQ(list->headerItem()->text(0).toStdString(), "QSO #   CALL");
  EXPECT_EQ(list->columnWidth(2), 140);
  ASSERT_EQ(list->topLevelItemCount(), 53);
  EXPECT_EQ(list->topLevelItem(0)->text(1).toStdString(), "7");
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), " 099 DL1AA");
  EXPECT_EQ(list->topLevelItem(52)->text(2).toStdString(), "C51");
  Snap(&view, "multipliers");
}

// The printed report on PDF, by log kind.
class ReportPrintTest : public DialogsOffscreenTest {
protected:
  std::vector<std::string> PrintedTexts(const std::vector<gui::ReportPage>& pages) {
    std::vector<std::string> texts;
    for (const gui::ReportPage& p : pages)
      for (const gui::PlacedText& t : p.Texts) texts.push_back(t.Text);
    return texts;
  }
  static bool Has(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }
};

TEST_P(ReportPrintTest, PagesByLogKind) {
  struct Case {
    ContestKind Kind;
    std::vector<std::string> Printed;
    std::vector<std::string> NotPrinted;
  };
  const Case cases[] = {
      {ContestKind::IBM, {" 007", "___", "IBM", "IBM Contacts: 1", "Non-IBM Contacts: 2", "0"}, {" 1234", "nice op"}},
      {ContestKind::GP, {" 1234", "nice op", "Notes", "ETime", "599"}, {"IBM Contacts: 1", " 007", "___"}},
      {ContestKind::NAQP, {"K1AA", "Page # 1"}, {"599", " 007", "___", "  SENT  "}},
  };
  for (const Case& c : cases) {
    test::MemLog log;
    QsoRecord q = test::Contact("K1AA", "14", true, "USA", "NA", "2");
    q.NumSent = "7";
    q.RSTSent = q.RSTRcvd = "599";
    q.TimeEnd = "1234";
    q.Notes = "nice op";
    log.Add(q);
    log.Add(test::Contact("K1BB", "14", false, "", "", "1"));
    log.Add(test::Contact("K1CC", "14", false, "", "", "1"));
    OutputContext ctx;
    ctx.Kind = c.Kind;
    ctx.MemberCount = 1;
    ctx.NonMemberCount = 2;
    ctx.LogName = "TEST";
    ctx.Station.MyCall = "W1AW";
    ctx.ProgramVersion = "5.0.0";
    ctx.LocalNow = FixedNow();
    const std::string pdf = Home + "report.pdf";
    std::filesystem::remove(pdf);
    TVedoruzEzuPrt printer(nullptr);
    printer.SetPrintDialog([&](QPrinter& p) {
      EXPECT_EQ(p.pageLayout().orientation(), QPageLayout::Landscape);
      EXPECT_EQ(p.pageLayout().pageSize().id(), QPageSize::Letter);
      p.setOutputFormat(QPrinter::PdfFormat);
      p.setOutputFileName(QString::fromStdString(pdf));
      return true;
    });
    test::FakeUi ui;
    ASSERT_TRUE(PrintLog(log.Table(), ctx, ui, printer));
    const std::vector<std::string> texts = PrintedTexts(printer.PrintedPages());
    for (const std::string& t : c.Printed) EXPECT_TRUE(Has(texts, t)) << t;
    for (const std::string& t : c.NotPrinted) EXPECT_FALSE(Has(texts, t)) << t;
    EXPECT_EQ(ReadFile(pdf).substr(0, 5), "%PDF-");
    EXPECT_EQ(log.AllPoints(), (std::vector<std::string>{"2", "1", "1"}));
    if (c.Kind == ContestKind::IBM) {
      if (const char* dir = std::getenv("QV_SCREENSHOT_DIR"))
        BuildLogReport(ReportContent{}).PageImage(printer.PrintedPages()[0], 96).save(QString::fromUtf8(dir) + "/report.png");
    }
  }
}

TEST_P(ReportPrintTest, CancelAndEmptyLogPrintNothing) {
  test::MemLog log;
  test::FakeUi ui;
  OutputContext ctx;
  TVedoruzEzuPrt printer(nullptr);
  int dialogs = 0;
  printer.SetPrintDialog([&](QPrinter& p) {
    ++dialogs;
    p.setOutputFormat(QPrinter::PdfFormat);
    p.setOutputFileName(QString::fromStdString(Home + "cancelled.pdf"));
    return false;
  });
  EXPECT_FALSE(PrintLog(log.Table(), ctx, ui, printer));
  EXPECT_EQ(ui.Messages.back().Text, "Log is Empty, Print aborted!");
  EXPECT_EQ(dialogs, 0);
  log.Add(test::Contact("K1AA", "14", false));
  PrintLog(log.Table(), ctx, ui, printer);
  EXPECT_EQ(dialogs, 1);
  EXPECT_TRUE(printer.PrintedPages().empty());
  EXPECT_FALSE(std::filesystem::exists(Home + "cancelled.pdf"));
}

TEST_P(ReportPrintTest, LongLogRunsOverPagesWithTheHeaderOnEach) {
  ReportContent content;
  content.Lines.resize(110);
  const gui::BandedReport report = BuildLogReport(content);
  const std::vector<gui::ReportPage> pages = report.Paginate(report.BodySize().height());
  ASSERT_EQ(pages.size(), 3u);
  size_t lines = 0;
  for (const gui::ReportPage& p : pages) {
    EXPECT_TRUE(Has(PrintedTexts({p}), "Page # " + std::to_string(p.Number)));
    EXPECT_EQ(Has(PrintedTexts({p}), "Log owner:"), p.Number == 1);
    for (const gui::PlacedText& t : p.Texts) {
      EXPECT_LE(t.Rect.bottom(), report.BodySize().height());
      if (t.Text == "  Call       ") continue;
      if (t.Rect.x() == 0 && t.Rect.height() == 16) ++lines;  // a detail line's call
    }
  }
  EXPECT_EQ(lines, 110u);
}

TEST_P(DialogsOffscreenTest, OutputChoicePrintsAndPutsTheWindowBack) {
  Configure({true, "IBM"});
  int serial = 0;
  for (const char* call : {"K1AA", "K1BB", "K1CC"}) {
    QsoRecord q = test::Contact(call, "14", false, "", "", "1");
    q.NumSent = q.NumRcvd = std::to_string(++serial);
    AddLogRecord(q);
  }
  MakeWindow();
  Window->Start();
  EXPECT_TRUE(Window->Widget(Ctl::OutFmtRadGrp)->isEnabled());
  const std::string pdf = Home + "out.pdf";
  Window->ReportWindow().SetPrintDialog([&](QPrinter& p) {
    p.setOutputFormat(QPrinter::PdfFormat);
    p.setOutputFileName(QString::fromStdString(pdf));
    return true;
  });
  Window->SetText(Ctl::FreqEntered, "21");
  auto buttons = Window->Widget(Ctl::OutFmtRadGrp)->findChildren<QRadioButton*>();
  ASSERT_EQ(buttons.size(), 2);
  buttons[0]->click();
  EXPECT_EQ(ReadFile(pdf).substr(0, 5), "%PDF-");
  EXPECT_EQ(Window->ItemIndex(Ctl::OutFmtRadGrp), -1);
  EXPECT_EQ(Window->Text(Ctl::FreqEntered), "21");
  EXPECT_EQ(Window->Text(Ctl::NumSent), " 004");
  buttons[1]->click();  // the IBM QSO Party exports CSV
  EXPECT_EQ(Window->ItemIndex(Ctl::OutFmtRadGrp), -1);
  ASSERT_FALSE(Boxes.empty());
  EXPECT_EQ(Boxes.back().rfind("information: Export File:", 0), 0u) << Boxes.back();
}

// The program as it runs for an operator, on real database files: a fresh
// program folder seeded from the delivered files, the engine's runtime and
// dialogs, and the real windows.
class EndToEndTest : public DialogsOffscreenTest {
protected:
  void TearDown() override {
    Window.reset();
    Program.reset();
    ::unsetenv("QUORVEX_DDE_DIR");
    DialogsOffscreenTest::TearDown();
  }
  // Starts the program's window on folder and waits until it is active.
  void StartProgram(const std::string& folder) {
    Program = std::make_unique<ProgramDatabases>();
    gui::SetErrorReporter([this](const std::string& m) { Boxes.push_back("error: " + m); });
    Window = std::make_unique<TVedoruzEzu>(Program->Tables(), *Store, folder);
    Window->SetMessageHook([this](const std::string& kind, const std::string& text) {
      Boxes.push_back(kind + ": " + text);
      return true;
    });
    Window->SetUrlOpener([](const QUrl&) {});
    Window->SetPromptHook([](const std::string&, const std::string&, std::string& value) {
      value = "field day";
      return true;
    });
    Window->Start();
    Window->activateWindow();
    for (int i = 0; i < 300 && !Window->isActiveWindow(); ++i) Spin(10);
    ASSERT_TRUE(Window->isActiveWindow());
  }
  std::vector<std::string> GridCalls() {
    Spin(50);  // the grid re-reads the log from the event loop
    std::vector<std::string> calls;
    LogGridModel& grid = Window->GridModel();
    for (int r = 0; r < grid.rowCount(); ++r)
      calls.push_back(grid.data(grid.index(r, 0), Qt::DisplayRole).toString().toStdString());
    return calls;
  }

  std::unique_ptr<ProgramDatabases> Program;
};

TEST_P(EndToEndTest, AFreshProgramFolderLogsAContactThatIsThereAfterARestartAndTheLinkAddsAnother) {
  // The files the build delivers beside the program seed a fresh program
  // folder, as at an operator's first start.
  const std::string folder = Dir_ + "/fresh/";
  std::filesystem::create_directories(folder);
  SeedProgramFolder(ExecutableFolder() + "/", folder);
  ASSERT_EQ(test::FolderEntries(folder),
            (std::vector<std::string>{"USCountryDB.vlm", "UserGuide.htm", "V5LogDB.vlm", "WWHAMDB.vlm"}));

  // First start: the settings dialog asks for the new log's name, makes the
  // log from the template; the operator selects it and saves.
  WhenModal<TVedoruzEzuPrefs>([&](TVedoruzEzuPrefs& d) {
    auto* logs = static_cast<QComboBox*>(d.Widget(PCtl::MyLogName));
    ASSERT_EQ(logs->count(), 1);
    emit logs->activated(0);
    auto* contest = static_cast<QAbstractButton*>(d.Widget(PCtl::LogType));
    if (contest->isChecked()) contest->click();  // a general-purpose log
    static_cast<QLineEdit*>(d.Widget(PCtl::PrefCall))->setText(QStringLiteral("W1AW"));
    static_cast<QLineEdit*>(d.Widget(PCtl::MyCountry))->setText(QStringLiteral("USA"));
    static_cast<QComboBox*>(d.Widget(PCtl::MyContinent))->setEditText(QStringLiteral("NA"));
    Key(d.Widget(PCtl::MyCountry), Qt::Key_F9);
  });
  StartProgram(folder);
  ASSERT_EQ(Store->ReadString("Settings", "LogName", ""), "FIELD DAY");
  ASSERT_TRUE(FileExists(folder + "FIELD DAY/V5LogDB.vlm"));

  // A contact typed with Tab and Enter.
  Window->Controller().Timer1Timer();
  ASSERT_EQ(Window->FocusedControl(), Ctl::Mode);
  qv::test::TypeKeys("cw");
  qv::test::PressKey(Qt::Key_Backtab, QString(), Qt::ShiftModifier);
  ASSERT_EQ(Window->FocusedControl(), Ctl::FreqEntered);
  qv::test::TypeKeys("14");
  qv::test::PressKey(Qt::Key_Tab);
  qv::test::PressKey(Qt::Key_Tab);
  ASSERT_EQ(Window->FocusedControl(), Ctl::CallEntered);
  qv::test::TypeKeys("qx1bb");
  qv::test::PressKey(Qt::Key_Tab);  // the call check finds the member in the delivered sample list
  EXPECT_EQ(Window->Text(Ctl::NameFld), "Brindle");
  qv::test::PressKey(Qt::Key_Return);
  EXPECT_EQ(GridCalls(), std::vector<std::string>{"QX1BB"});
  EXPECT_TRUE(FileExists(folder + "FIELD DAY/BakV5LogDB.vlm"));
  Window->close();
  Window.reset();
  Program.reset();

  // Started again: the contact is in the grid; a Log_It "ON" of the
  // digital-mode program adds another to the same file.
  ::setenv("QUORVEX_DDE_DIR", (Dir_ + "/dde").c_str(), 1);
  qv::test::FakeDigitalModeProgram peer;
  ASSERT_TRUE(peer.Listen());
  StartProgram(folder);
  EXPECT_EQ(GridCalls(), std::vector<std::string>{"QX1BB"});
  Window->Controller().Timer1Timer();
  static_cast<QAbstractButton*>(Window->Widget(Ctl::ConnHSBtn))->click();
  ASSERT_EQ(Window->Text(Ctl::ConnHSBtn), "Disc from HamScope");
  auto spinUntil = [](const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      QThread::msleep(1);
    }
    return done();
  };
  ASSERT_TRUE(spinUntil([&] { return peer.WaitForTranscript(19, 0); }));
  peer.Set("Call_C", "K2XY");
  ASSERT_TRUE(spinUntil([&] { return Window->Text(Ctl::CallEntered) == "K2XY"; }));
  peer.Set("Log_It", "ON");
  ASSERT_TRUE(spinUntil([&] { return Window->Text(Ctl::CallEntered).empty(); })) << Window->Text(Ctl::StatPanel);
  EXPECT_EQ(GridCalls(), (std::vector<std::string>{"QX1BB", "K2XY"}));
  Window.reset();
  Program.reset();
  std::vector<std::string> stored;
  for (const QsoRecord& q : QsosOf({LogTableSpec(), folder + "FIELD DAY/V5LogDB.vlm"})) stored.push_back(q.Call);
  EXPECT_EQ(stored, (std::vector<std::string>{"QX1BB", "K2XY"}));
  EXPECT_TRUE(Boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Tables, EndToEndTest, ::testing::Values(tabletest::TablesKind::Engine),
                         tabletest::TablesKindName);
QV_ON_BOTH_TABLE_KINDS(DialogsOffscreenTest);
QV_ON_BOTH_TABLE_KINDS(ReportPrintTest);

}  // namespace
}  // namespace qv::app::wintest
