// The engine's user interface on Qt, offscreen: the password prompt, the
// message boxes and the wait window, and the background mode's restore.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/engineui/EngineUiQt.h"
#include "platform/gui/PasswordDialog.h"
#include "app/engineui/WaitDialog.h"

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

// The engine's message boxes and its wait window show what they are given:
// the program's title, the text with its CR line breaks, the buttons of the
// kind, the progress; and the wait window reports its clicks only while it
// is up.
TEST_F(EngineUiQtTest, DialogsShowWhatTheyAreGiven) {
  QtEngineUi ui;
  struct Box {
    const char* Kind;
    QMessageBox::Icon Icon;
    QMessageBox::StandardButtons Buttons;
    QMessageBox::StandardButton Click;
    bool Answer;  // of Confirm
  };
  const Box boxes[] = {
      {"confirm yes", QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, true},
      {"confirm no", QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No, false},
      {"information", QMessageBox::Information, QMessageBox::Ok, QMessageBox::Ok, true},
      {"warning", QMessageBox::Warning, QMessageBox::Ok, QMessageBox::Ok, true},
  };
  for (const Box& b : boxes) {
    SCOPED_TRACE(b.Kind);
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    const bool answer = WithModal<QMessageBox>(
        [&](QMessageBox& m) {
          title = m.windowTitle();
          text = m.text();
          icon = m.icon();
          buttons = m.standardButtons();
          m.button(b.Click)->click();
        },
        [&] {
          const std::string shown = "Repair the database\r\"LOG\" \xD8?";
          if (b.Icon == QMessageBox::Question) return ui.Confirm(shown);
          if (b.Icon == QMessageBox::Information)
            ui.Information(shown);
          else
            ui.Warning(shown);
          return true;
        });
    EXPECT_EQ(answer, b.Answer);
    EXPECT_EQ(title, QStringLiteral("Quorvex"));
    EXPECT_EQ(text, QString::fromUtf8("Repair the database\n\"LOG\" \xC3\x98?"));
    EXPECT_EQ(icon, b.Icon);
    EXPECT_EQ(buttons, b.Buttons);
  }

  RecordingEvents events;
  ui.ShowWaitWindow("Packing table\rV5LogTabl", 40, events);
  TfrmWait* wait = ui.WaitWindow();
  ASSERT_NE(wait, nullptr);
  Spin();
  EXPECT_TRUE(wait->isVisible());
  EXPECT_EQ(wait->windowTitle(), QStringLiteral("Please Wait..."));
  EXPECT_EQ(wait->windowModality(), Qt::ApplicationModal);
  EXPECT_EQ(wait->lMessage->text(), QStringLiteral("Packing table\rV5LogTabl"));
  EXPECT_EQ(wait->pb->value(), 40);
  EXPECT_EQ(wait->btnCancel->text(), QStringLiteral("Abort"));
  EXPECT_EQ(wait->btnBgMode->text(), QStringLiteral("Background Mode"));
  ui.SetWaitProgress(75);
  EXPECT_EQ(wait->pb->value(), 75);
  ui.ShowWaitWindow("Writing", 80, events);  // on screen: updated in place
  EXPECT_EQ(wait->lMessage->text(), QStringLiteral("Writing"));
  EXPECT_EQ(wait->pb->value(), 80);

  wait->btnCancel->click();
  wait->btnBgMode->click();
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(wait, &escape);  // Escape: Abort
  wait->close();   // no closing by the user
  Spin();
  EXPECT_TRUE(wait->isVisible());
  EXPECT_EQ(events.Aborts, 2);
  EXPECT_EQ(events.Backgrounds, 1);

  ui.HideWaitWindow();
  Spin();
  EXPECT_FALSE(wait->isVisible());
  wait->btnCancel->click();  // after the work: heard by no one
  EXPECT_EQ(events.Aborts, 2);
}

}  // namespace
}  // namespace qv::gui
