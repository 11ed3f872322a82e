#include "engine/components/VLMDlgWait.h"

#include "engine/storage/VLMDiskEngine.h"
#include "platform/os/System.h"

WaitController::~WaitController() {
  if (!Started_ || Finished_) return;
  try {
    Finish();
  } catch (...) {
    // A destructor that runs while an exception unwinds must not raise.
  }
}

void WaitController::Start(const std::string& text) {
  Text_ = text;
  Aborted_ = false;
  Finished_ = false;
  Started_ = true;
  Armed_ = true;
  StartMs_ = qv::MonotonicMs();
  // A window already on screen shows the new text at once.
  if (Visible_) Ui_.ShowWaitWindow(Text_, Percent_, *this);
}

bool WaitController::Progress(int32_t percent) {
  Percent_ = percent;
  if (Visible_) Ui_.SetWaitProgress(percent);
  ProcessMessages();
  return !Aborted_;
}

void WaitController::ProcessMessages() {
  CheckShowTime();
  Ui_.ProcessMessages();
}

void WaitController::CheckShowTime() {
  if (!Armed_) return;
  const TVLMRetrySettings& settings = VLMRetrySettings();
  if (qv::MonotonicMs() - StartMs_ < static_cast<int64_t>(settings.WaitShowDelayMs)) return;
  Armed_ = false;
  if (Finished_ || Percent_ >= settings.WaitShowBelowPercent) return;
  Ui_.ShowWaitWindow(Text_, Percent_, *this);
  Visible_ = true;
}

void WaitController::Hide() {
  Armed_ = false;
  if (!Visible_) return;
  Visible_ = false;
  Ui_.HideWaitWindow();
}

void WaitController::BackgroundModeClicked() {
  if (Finished_ || Background_) return;
  Hide();
  Background_ = true;
  Ui_.MinimiseApplication(*this);
  Ui_.ProcessMessages();
}

void WaitController::ApplicationRestored() {
  if (!Background_) return;
  Background_ = false;
  Start(Text_);
  ProcessMessages();
}

void WaitController::Finish() {
  Hide();
  if (Background_) {
    Background_ = false;
    Ui_.RestoreApplication();
  }
  Finished_ = true;
}
