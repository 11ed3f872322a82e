// Helper program of the add-road crash test: starts the main window's
// controller (no display) on a prepared program folder, lets the backup
// copy catch up with the log as the window's idle time does, adds contacts
// through it, as the operator's Enter does, and closes the window.
//
//   app_addcrash HOME SETTINGS FIRST COUNT K
//
// HOME is the program folder (with the template, the state table and the
// selected log), SETTINGS the settings file. The contacts get the calls
// "K<FIRST>" ... "K<FIRST+COUNT-1>"; each one whose add returned (the
// contact is acknowledged: committed and backed up) is appended to
// HOME/acked.txt at once (COUNT 0: a start and a close without adds). K >= 1: the file layer's fault hook ends the
// process with _exit(99) before the K-th file-changing operation of the last
// contact's add. K = 0: no fault; for each add, a line of HOME/writes.txt
// gives the number of its file-changing operations and 1 when it took a
// page (the log's page count or last used page moved), else 0.
//
// Exit 0: every contact was added. 2: any error. 3: the start said something
// (a log it could not read, or a backup it kept).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/EngineTableFactory.h"
#include "app/MainController.h"
#include "app/Settings.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/File.h"
#include "tests/app/window/FakeMainView.h"

namespace {

void Add(qv::app::MainController& controller, qv::app::wintest::FakeMainView& view, const std::string& call) {
  using qv::app::Ctl;
  view.C(Ctl::CallEntered).Text = call;
  view.C(Ctl::FreqEntered).Text = "14";
  view.C(Ctl::Mode).Text = "CW";
  controller.AddToLogButtonClick();
  if (view.C(Ctl::StatPanel).Text == "Backup copy of the Log failed!") throw qv::Exception("backup copy failed");
}

// The page count and the last used page in the head of the log file.
std::string PageCounts(const std::string& log) {
  std::ifstream in(log, std::ios::binary);
  std::string bytes(kVLMChangeCounterOffset - kVLMPageCountOffset, '\0');
  in.seekg(kVLMPageCountOffset);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s HOME SETTINGS FIRST COUNT K\n", argv[0]);
    return 2;
  }
  const std::string home = argv[1];
  const int first = std::atoi(argv[3]);
  const int count = std::atoi(argv[4]);
  const int64_t k = std::strtoll(argv[5], nullptr, 10);
  try {
    TVLMComponentRuntime::Start();
    auto runtime = qv::ScopeExit([] { TVLMComponentRuntime::Shutdown(); });
    qv::app::SettingsStore settings(argv[2]);
    qv::app::EngineTableFactory tables;
    qv::app::wintest::FakeMainView view;
    qv::app::MainController controller(view, tables, settings, home);
    controller.FormCreate();
    controller.FormActivate();
    controller.Timer1Timer();
    while (controller.BackupCatchingUp()) controller.BackupTimer();
    // A stop never leaves a log the start takes for a damaged one.
    if (!view.Messages.empty()) {
      std::fprintf(stderr, "%s\n", view.Messages.front().Text.c_str());
      return 3;
    }
    std::ofstream acked(home + "acked.txt", std::ios::app);
    std::ofstream writes;
    if (k == 0 && count > 0) writes.open(home + "writes.txt");
    const std::string log = controller.Log().DatabaseFileName();
    for (int i = first; i < first + count; ++i) {
      const bool last = i == first + count - 1;
      const int64_t before = qv::FileWriteCount();
      const std::string pages = PageCounts(log);
      if (last && k > 0) qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
      const std::string call = "K" + std::to_string(i);
      Add(controller, view, call);
      acked << call << std::endl;
      if (writes.is_open())
        writes << qv::FileWriteCount() - before << ' ' << (PageCounts(log) != pages) << '\n';
    }
    controller.FormClose();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
