// The real main window, run offscreen: typing a contact with Tab and Enter,
// message boxes that do not re-run the check that showed them, and the
// single instance of the program.
#include "WindowTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTableView>
#include <QTimer>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/LogGridModel.h"
#include "app/VedoruzEzuF.h"
#include "platform/gui/ErrorGuard.h"
#include "platform/gui/SingleInstance.h"
#include "platform/os/File.h"
#include "platform/os/Paths.h"
#include "support/QtTestApp.h"

extern char** environ;

// Qt's font set-up keeps a fontconfig allocation for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace qv::app::wintest {
namespace {

QApplication& App() { return test::QtTestApp(); }
using test::Spin;

class OffscreenTest : public WindowTest {
protected:
  void SetUp() override {
    App();
    WindowTest::SetUp();
  }
  void TearDown() override {
    Window.reset();
    WindowTest::TearDown();
  }

  void Open(const LogKind& kind, bool hookMessages = true) {
    Configure(kind);
    Window = std::make_unique<TVedoruzEzu>(Factory(), *Store, Home);
    if (hookMessages)
      Window->SetMessageHook([this](const std::string&, const std::string& text) {
        Boxes.push_back(text);
        return true;
      });
    Window->SetUrlOpener([](const QUrl&) {});
    Window->Start();
    Window->activateWindow();
    QElapsedTimer t;
    t.start();
    while (!Window->isActiveWindow() && t.elapsed() < 3000) Spin(10);
    ASSERT_TRUE(Window->isActiveWindow());
    Window->Controller().Timer1Timer();
  }

  Ctl Focused() const { return Window->FocusedControl(); }
  std::string Shown(Ctl c) const { return Window->Text(c); }

  static void Press(int key, const QString& text = QString(), Qt::KeyboardModifiers mods = Qt::NoModifier) {
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    test::PressKey(key, text, mods);
  }
  static void TypeText(const QString& text) { test::TypeKeys(text); }

  std::unique_ptr<TVedoruzEzu> Window;
  std::vector<std::string> Boxes;
};

TEST_P(OffscreenTest, ContactTypedWithTabAndEnterLandsInTheLog) {
  Open({});
  for (int i = 0; i < static_cast<int>(Ctl::Count); ++i)
    ASSERT_NE(Window->Widget(static_cast<Ctl>(i)), nullptr) << CtlName(static_cast<Ctl>(i));
  ASSERT_EQ(Focused(), Ctl::Mode);
  Press(Qt::Key_Backtab, QString(), Qt::ShiftModifier);
  ASSERT_EQ(Focused(), Ctl::Mode);  // the mode may not be left empty
  TypeText("cw");
  Press(Qt::Key_Backtab, QString(), Qt::ShiftModifier);
  ASSERT_EQ(Focused(), Ctl::FreqEntered);
  TypeText("14k");  // the frequency takes digits and "." only
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), Ctl::Mode);
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), Ctl::CallEntered);
  EXPECT_EQ(Shown(Ctl::Mode), "CW");
  TypeText("w0abc");
  EXPECT_EQ(Shown(Ctl::CallEntered), "W\xD8" "ABC");
  Press(Qt::Key_Tab);  // the call check: time from the clock, on to the report
  ASSERT_EQ(Focused(), Ctl::RSTSent);
  EXPECT_EQ(Shown(Ctl::TimeST), "1234");
  EXPECT_EQ(Shown(Ctl::RSTSent), "599");
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), Ctl::RSTRcvd);
  EXPECT_EQ(Shown(Ctl::RSTRcvd), "599");
  Press(Qt::Key_Tab);  // the received serial is hidden in this log
  ASSERT_EQ(Focused(), Ctl::NameFld);
  TypeText("john");
  Press(Qt::Key_Return);

  DataSet& log = Window->Controller().LogData();
  ASSERT_EQ(log.RecordCount(), 1);
  const std::vector<QsoRecord> records = LogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Call, "W\xD8" "ABC");
  EXPECT_EQ(records[0].Freq, "14");
  EXPECT_EQ(records[0].Mode, "CW");
  EXPECT_EQ(records[0].TimeStart, "1234");
  EXPECT_EQ(records[0].RSTSent, "599");
  EXPECT_EQ(records[0].Name, "John");
  EXPECT_EQ(records[0].QSODate, "2024-05-06");
  EXPECT_EQ(Shown(Ctl::CallEntered), "");
  EXPECT_EQ(Shown(Ctl::NumSent), "2");
  EXPECT_EQ(Focused(), Ctl::CallEntered);
  EXPECT_TRUE(Boxes.empty());

  Spin(50);  // the grid re-reads the log from the event loop
  EXPECT_EQ(Window->GridModel().rowCount(), 1);
  EXPECT_EQ(Window->GridModel().data(Window->GridModel().index(0, 0), Qt::DisplayRole).toString(),
            QString::fromUtf8("W\xC3\x98" "ABC"));
  EXPECT_EQ(Window->GridModel().CurrentRow(), 0);
  EXPECT_TRUE(Window->Grid()->isColumnHidden(6));
}

// A mouse click on Add To Log moves the focus to the button first, which
// runs the field's exit check: a refused field must not be logged by the
// click that follows, whatever the field.
TEST_P(OffscreenTest, AClickOnAddToLogAfterARefusedFieldLogsNothing) {
  struct Refusal {
    Ctl Field;
    const char* Text;
    const char* Box;   // "": refused without a message
    const char* Good;  // a text the check accepts
  };
  const Refusal refusals[] = {
      {Ctl::TimeST, "2599", "Invalid TIME !", "1200"},
      {Ctl::TimeEndFld, "1260", "Invalid TIME !", ""},
      {Ctl::FreqEntered, "14..5", "Invalid FREQUENCY !\rEnter MHz as a number, for example 14.025", "14"},
      {Ctl::ContinentFLD, "XX", "", "NA"}};
  Open({});
  auto* button = Window->Widget(Ctl::AddToLogButton);
  // As a real press does: the button takes the focus, then gets the press.
  // (An event sent by a test is not spontaneous, so Qt would not move the
  // focus itself.)
  auto click = [&] {
    button->setFocus(Qt::MouseFocusReason);
    const QPoint at = button->rect().center();
    QMouseEvent press(QEvent::MouseButtonPress, at, button->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(button, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, button->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(button, &release);
    Spin(20);
  };
  for (const Refusal& r : refusals) {
    Window->SetText(Ctl::Mode, "CW");
    Window->SetText(Ctl::FreqEntered, "14");
    Window->SetText(Ctl::CallEntered, "K1XX");
    Window->SetText(r.Field, r.Text);
    Window->Focus(r.Field);
    Spin();
    ASSERT_EQ(Focused(), r.Field);
    Boxes.clear();
    click();
    EXPECT_EQ(Window->Controller().LogData().RecordCount(), 0) << CtlName(r.Field);
    EXPECT_EQ(Focused(), r.Field);
    EXPECT_EQ(Boxes, *r.Box ? std::vector<std::string>{r.Box} : std::vector<std::string>{}) << CtlName(r.Field);
    Window->SetText(r.Field, r.Good);
  }
  Window->Focus(Ctl::NameFld);
  Spin();
  click();  // from a field whose check accepts
  EXPECT_EQ(Window->Controller().LogData().RecordCount(), 1);
  EXPECT_EQ(LogRecords().size(), 1u);
}

TEST_P(OffscreenTest, MessageBoxOfACheckDoesNotRunTheCheckAgain) {
  Open({}, false);
  int boxes = 0;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      ++boxes;
      box->close();
    }
  });
  closer.start(20);
  Window->SetText(Ctl::Mode, "CW");  // the mode field (focused at start) may be left
  Window->Focus(Ctl::TimeST);
  Spin();
  ASSERT_EQ(Focused(), Ctl::TimeST);
  Press(Qt::Key_Tab);
  Spin(300);
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(Focused(), Ctl::TimeST);
  EXPECT_EQ(Shown(Ctl::RSTSent), "");  // the move was cancelled
}

TEST_P(OffscreenTest, ErrorOfAHandlerGoesToTheErrorBox) {
  Open({});
  std::vector<std::string> errors;
  gui::SetErrorReporter([&](const std::string& m) { errors.push_back(m); });
  Window->SetUrlOpener([](const QUrl&) { throw Exception("no browser"); });
  Window->SetText(Ctl::CallEntered, "K1XX");
  Press(Qt::Key_F1);  // the user guide
  gui::SetErrorReporter(nullptr);
  EXPECT_EQ(errors, std::vector<std::string>{"no browser"});
  EXPECT_EQ(Shown(Ctl::CallEntered), "K1XX");
}

TEST_P(OffscreenTest, SecondStartInTheSameProgramFolderEndsAtOnce) {
  gui::SingleInstance first;
  ASSERT_TRUE(first.Acquire(Home + gui::kInstanceLockName));
  const char* old = std::getenv("QUORVEX_HOME");
  const std::string saved = old ? old : "";
  ::setenv("QUORVEX_HOME", Home.c_str(), 1);
  static char arg0[] = "quorvex";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(RunProgram(1, argv), 0);

  // The program itself, when it was built beside the tests.
  const std::string exe = ExecutableFolder() + "/quorvex";
  if (FileExists(exe)) {
    std::vector<std::string> env = {"QUORVEX_HOME=" + Home, "QT_QPA_PLATFORM=offscreen",
                                    "XDG_CONFIG_HOME=" + Home + "config"};
    for (char** e = environ; *e != nullptr; ++e)
      if (std::string(*e).rfind("ASAN_OPTIONS=", 0) == 0 || std::string(*e).rfind("PATH=", 0) == 0) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = exe;
    char* args[] = {path.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, args, envp.data()), 0);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 300 && done == 0; ++i) {
      done = ::waitpid(pid, &status, WNOHANG);
      if (done == 0) ::usleep(50000);
    }
    if (done == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "the second instance kept running";
    } else {
      EXPECT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
  }
  if (old)
    ::setenv("QUORVEX_HOME", saved.c_str(), 1);
  else
    ::unsetenv("QUORVEX_HOME");
}

QV_ON_BOTH_TABLE_KINDS(OffscreenTest);

}  // namespace
}  // namespace qv::app::wintest
