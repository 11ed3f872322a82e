// The engine's user interface on Qt, offscreen: the password prompt and the
// background mode's restore.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/engineui/EngineUiQt.h"
#include "platform/gui/PasswordDialog.h"

namespace qv::gui {
namespace {

class EngineUiQtTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (QApplication::instance() == nullptr) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
      OwnApp_ = std::make_unique<QApplication>(argc_, argv_);
    }
  }
  void TearDown() override { OwnApp_.reset(); }

  // Runs act on the modal window of type W once it is up, while show runs.
  template <class W, class Show>
  auto WithModal(std::function<void(W&)> act, Show show) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (auto* w = dynamic_cast<W*>(QApplication::activeModalWidget())) {
        poll.stop();
        act(*w);
      }
    });
    poll.start(5);
    return show();
  }

  static void Spin() { QApplication::processEvents(QEventLoop::AllEvents, 10); }

private:
  int argc_ = 1;
  char arg0_[10] = "app_tests";
  char* argv_[2] = {arg0_, nullptr};
  std::unique_ptr<QApplication> OwnApp_;
};

class RecordingEvents : public WaitWindowEvents {
public:
  void AbortClicked() override { ++Aborts; }
  void BackgroundModeClicked() override { ++Backgrounds; }
  void ApplicationRestored() override { ++Restores; }
  int Aborts = 0, Backgrounds = 0, Restores = 0;
};

TEST_F(EngineUiQtTest, PasswordPromptChangesThePasswordOnlyOnOk) {
  struct Row {
    bool ok;
    bool answer;
    const char* password;
  };
  for (const Row row : {Row{false, false, "old"}, Row{true, true, "s\xE9same"}}) {
    SCOPED_TRACE(row.ok);
    std::string password = "old";
    QString title, name;
    const bool answer = WithModal<TVLMPassDialog>(
        [&](TVLMPassDialog& d) {
          title = d.windowTitle();
          name = d.lbName->text();
          d.Pass->setText(QString::fromUtf8("s\xC3\xA9same"));
          (row.ok ? d.cbOk : d.cbCancel)->click();
        },
        [&] { return QtEngineUi().AskPassword("LOG", password); });
    EXPECT_EQ(answer, row.answer);
    EXPECT_EQ(password, row.password);
    EXPECT_EQ(title, QStringLiteral("Database authentication"));
    EXPECT_EQ(name, QStringLiteral("LOG"));
  }
}

TEST_F(EngineUiQtTest, BackgroundModeHearsOfTheUsersRestoreOnce) {
  QtEngineUi ui;
  RecordingEvents events;
  QWidget main;
  main.show();
  ui.MinimiseApplication(events);
  EXPECT_TRUE(main.windowState() & Qt::WindowMinimized);
  main.setWindowState(main.windowState() & ~Qt::WindowMinimized);  // the user brings it back
  Spin();
  main.setWindowState(main.windowState() | Qt::WindowMinimized);
  main.setWindowState(main.windowState() & ~Qt::WindowMinimized);
  Spin();
  EXPECT_EQ(events.Restores, 1);

  // Ending the work restores the program itself, without a report.
  ui.MinimiseApplication(events);
  ui.RestoreApplication();
  Spin();
  EXPECT_FALSE(main.windowState() & Qt::WindowMinimized);
  EXPECT_EQ(events.Restores, 1);
}

}  // namespace
}  // namespace qv::gui
