// The wait window of long engine operations (a database repair, a table copy,
// import or restructure): the rule of when it appears, its "Abort" and
// "Background Mode" buttons, and the restart after the user brings the
// program back. The window itself belongs to the installed EngineUi; this
// object decides what it shows and when.
//
// The rule: the window appears only for work that is slow and far from done.
// At the first step at least WaitShowDelayMs (500 ms, TVLMRetrySettings)
// after Start, the window is shown when the work stands below
// WaitShowBelowPercent (51 %); that check is made once per Start, so an
// operation at 51 % by then never shows a window. There are no timers in the
// engine: the time is read (qv::MonotonicMs) at each step the caller reports.
//
// States and the calls that move between them:
//
//   Idle --Start--> Armed --step after the delay, below 51 %--> Shown
//                     |  \--step after the delay, at 51 % or more--> Quiet
//                     |
//   Shown --BackgroundModeClicked (window hidden, program minimised)--> Background
//   Background --ApplicationRestored (Start again, current text)--> Armed
//   any state --Finish--> Finished (window hidden, program restored)
//
// AbortClicked sets Aborted in any state; the caller sees it at its next
// step (Progress returns false) and stops. Start clears it.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>

#include "engine/components/VLMEngineUi.h"

class WaitController : public WaitWindowEvents {
public:
  explicit WaitController(EngineUi& ui) : Ui_(ui) {}
  // Finishes an operation that was started and not finished, so the window
  // never outlives it and a minimised program comes back.
  ~WaitController() override;
  WaitController(const WaitController&) = delete;
  WaitController& operator=(const WaitController&) = delete;

  // Begins (or, after a restore, begins again) the wait with text; the
  // percentage stays where it stands.
  void Start(const std::string& text);
  // One step of the work: records percent (0-100), lets the window and the
  // rule run, and answers whether to go on (false once aborted).
  bool Progress(int32_t percent);
  // The rule's check, then pending window messages.
  void ProcessMessages();
  // The end of the operation.
  void Finish();
  // What the "Abort" button does.
  void Abort() { Aborted_ = true; }

  bool Aborted() const { return Aborted_; }
  bool Visible() const { return Visible_; }
  bool InBackground() const { return Background_; }
  bool Finished() const { return Finished_; }
  int32_t Percent() const { return Percent_; }
  const std::string& Text() const { return Text_; }

  void AbortClicked() override { Abort(); }
  void BackgroundModeClicked() override;
  void ApplicationRestored() override;

private:
  void CheckShowTime();
  void Hide();

  EngineUi& Ui_;
  std::string Text_ = "Wait...";
  int32_t Percent_ = 0;
  bool Started_ = false;
  bool Armed_ = false;
  int64_t StartMs_ = 0;
  bool Visible_ = false;
  bool Background_ = false;
  bool Aborted_ = false;
  bool Finished_ = false;
};
