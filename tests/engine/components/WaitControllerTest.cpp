// When the wait window of a long operation appears, and what its buttons and
// the program's restore do, on a fake clock and a recording user interface.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/components/VLMDlgWait.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/os/System.h"

namespace {

// Records what the controller asks of the window.
class RecordingUi : public SilentEngineUi {
public:
  void ShowWaitWindow(const std::string& text, int32_t percent, WaitWindowEvents& events) override {
    Log.push_back("show " + text + " " + std::to_string(percent));
  }
  void HideWaitWindow() override { Log.push_back("hide"); }
  void MinimiseApplication(WaitWindowEvents& events) override { Log.push_back("minimise"); }
  void RestoreApplication() override { Log.push_back("restore"); }
  std::vector<std::string> Log;
};

class WaitControllerTest : public ::testing::Test {
protected:
  void SetUp() override {
    qv::SetMonotonicMsSource([this] { return Now; });
  }
  void TearDown() override { qv::SetMonotonicMsSource(nullptr); }
  // The step of the work at time ms.
  bool StepAt(int64_t ms, int32_t percent) {
    Now = ms;
    return Wait.Progress(percent);
  }
  int64_t Now = 1000000;
  RecordingUi Ui;
  WaitController Wait{Ui};
};

TEST_F(WaitControllerTest, ShowsOnlyWorkThatIsSlowAndBelowHalf) {
  struct Row {
    const char* name;
    std::vector<std::pair<int64_t, int32_t>> steps;  // ms after Start, percent
    bool shown;
  };
  const Row rows[] = {
      {"51 % within 500 ms", {{100, 51}, {600, 60}, {2000, 90}}, false},
      {"30 % at 600 ms", {{600, 30}}, true},
      {"before 500 ms", {{100, 10}, {499, 20}}, false},
      {"over half at the first late step", {{100, 40}, {700, 55}, {900, 40}}, false},
      {"exactly 500 ms", {{500, 50}}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingUi ui;
    const int64_t start = Now;
    {
      WaitController wait(ui);
      wait.Start("Repairing Database...");
      for (const auto& [ms, percent] : row.steps) {
        Now = start + ms;
        EXPECT_TRUE(wait.Progress(percent));
      }
      EXPECT_EQ(wait.Visible(), row.shown);
    }  // left without Finish, as on an exception: the window still goes
    std::vector<std::string> expected;
    if (row.shown) expected = {"show Repairing Database... " + std::to_string(row.steps.back().second), "hide"};
    EXPECT_EQ(ui.Log, expected);
  }
}

TEST_F(WaitControllerTest, AbortStopsAtTheNextStepAndStartClearsIt) {
  Wait.Start("Copying");
  EXPECT_TRUE(StepAt(Now + 600, 10));
  Wait.AbortClicked();
  EXPECT_TRUE(Wait.Aborted());
  EXPECT_FALSE(StepAt(Now + 10, 11));
  Wait.Start("Copying again");
  EXPECT_FALSE(Wait.Aborted());
  EXPECT_TRUE(StepAt(Now + 10, 12));
}

TEST_F(WaitControllerTest, RestoreAfterBackgroundModeShowsTheWindowAgainOnlyBelowHalf) {
  for (const int32_t percentAtRestore : {45, 60}) {
    SCOPED_TRACE(percentAtRestore);
    RecordingUi ui;
    WaitController wait(ui);
    const int64_t start = Now;
    wait.Start("Repairing");
    Now = start + 600;
    wait.Progress(40);
    ASSERT_TRUE(wait.Visible());
    wait.BackgroundModeClicked();
    EXPECT_TRUE(wait.InBackground());
    EXPECT_FALSE(wait.Visible());
    Now = start + 5000;
    wait.Progress(percentAtRestore);  // minimised: no window
    EXPECT_FALSE(wait.Visible());
    wait.ApplicationRestored();
    EXPECT_FALSE(wait.InBackground());
    Now = start + 5600;  // the delay starts again at the restore
    wait.Progress(percentAtRestore);
    EXPECT_EQ(wait.Visible(), percentAtRestore < 51);
    wait.Finish();
    std::vector<std::string> expected = {"show Repairing 40", "hide", "minimise"};
    if (percentAtRestore < 51) {
      expected.push_back("show Repairing 45");
      expected.push_back("hide");
    }
    EXPECT_EQ(ui.Log, expected);
  }
}

TEST_F(WaitControllerTest, EndingInBackgroundModeRestoresTheProgram) {
  VLMChangeRetrySettings().WaitShowDelayMs = 0;
  Wait.Start("Importing");
  Wait.Progress(0);
  Wait.BackgroundModeClicked();
  Wait.Finish();
  EXPECT_EQ(Ui.Log, (std::vector<std::string>{"show Importing 0", "hide", "minimise", "restore"}));
  // A late restore report changes nothing.
  Wait.ApplicationRestored();
  EXPECT_FALSE(Wait.Visible());
  VLMChangeRetrySettings().WaitShowDelayMs = 500;
}

}  // namespace
