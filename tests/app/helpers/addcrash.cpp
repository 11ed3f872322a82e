// Helper program of the crash tests of the program's writes: starts the main
// window's controller (no display) on a prepared program folder, lets the
// backup copy catch up with the log as the window's idle time does, changes
// the log as the operator does, and closes the window.
//
//   app_addcrash HOME SETTINGS FIRST COUNT K
//   app_addcrash HOME SETTINGS add|edit|delete CALL K [NOTES]
//
// HOME is the program folder (with the template, the state table and the
// selected log), SETTINGS the settings file.
//
// The first form adds contacts, as the operator's Enter does, with the calls
// "K<FIRST>" ... "K<FIRST+COUNT-1>" (and the notes "note <1000 + n>"); each
// one whose add returned (the contact is acknowledged: committed and backed
// up) is appended to HOME/acked.txt at once (COUNT 0: a start and a close without adds). K >= 1:
// the file layer's fault hook ends the process with _exit(99) before the
// K-th file-changing operation of the last contact's add. K = 0: no fault;
// for each add, a line of HOME/writes.txt gives the number of its
// file-changing operations and 1 when it took a page (the log's page count
// or last used page moved), else 0. Exit 0: every contact was added. 2: any
// error. 3: the start said something (a log it could not read, or a backup
// it kept).
//
// The second form is one run of the operator: whatever the start says goes
// to standard error, its questions are answered no (the backup kept), and
// errors are shown as the window shows them (standard error); then one
// change: the contact CALL added (with NOTES), its notes set to NOTES in the
// log editor, or it deleted there. Once the change is acknowledged (the add
// cleared the entry, the post or delete ended without a word) "acked" is
// appended to HOME/acked.txt at once; then the window closes. K >= 1: the
// process ends with _exit(99) before the K-th file-changing operation from
// the change on (the close's included). Exit 0: acknowledged; 4: refused; 2:
// the start failed.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "app/EditController.h"
#include "app/EngineTableFactory.h"
#include "app/MainController.h"
#include "app/Settings.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/File.h"
#include "tests/app/window/FakeMainView.h"

namespace {

using qv::app::Ctl;

void Fill(qv::app::wintest::FakeMainView& view, const std::string& call, const std::string& notes) {
  view.C(Ctl::CallEntered).Text = call;
  view.C(Ctl::FreqEntered).Text = "14";
  view.C(Ctl::Mode).Text = "CW";
  view.C(Ctl::Notes).Text = notes;
}

void Add(qv::app::MainController& controller, qv::app::wintest::FakeMainView& view, int i) {
  Fill(view, "K" + std::to_string(i), "note " + std::to_string(1000 + i));
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

int AddRun(const std::string& home, const std::string& settingsFile, int first, int count, int64_t k) {
  qv::app::SettingsStore settings(settingsFile);
  qv::app::EngineTableFactory tables;
  qv::app::wintest::FakeMainView view;
  view.ConfirmAnswer = false;  // a backup the start keeps stays kept
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
    Add(controller, view, i);
    acked << "K" << i << std::endl;
    if (writes.is_open()) writes << qv::FileWriteCount() - before << ' ' << (PageCounts(log) != pages) << '\n';
  }
  controller.FormClose();
  return 0;
}

int OperatorRun(const std::string& home, const std::string& settingsFile, const std::string& op,
                const std::string& call, int64_t k, const std::string& notes) {
  qv::app::SettingsStore settings(settingsFile);
  qv::app::EngineTableFactory tables;
  qv::app::wintest::FakeMainView view;
  view.ConfirmAnswer = false;
  qv::app::MainController controller(view, tables, settings, home);
  // Every handler as the window's guard runs it: an error goes to its box.
  const auto handle = [&](const std::function<void()>& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      view.ShowError(e.what());
    }
  };
  try {
    controller.FormCreate();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "start: %s\n", e.what());
    return 2;
  }
  handle([&] { controller.FormActivate(); });
  handle([&] { controller.Timer1Timer(); });
  while (controller.BackupCatchingUp()) handle([&] { controller.BackupTimer(); });
  if (k > 0) qv::SetFileFaultAfter(k, qv::FileFault::Exit, 99);
  const bool acknowledged = qv::app::wintest::OperatorChange(controller, view, op, call, notes, handle);
  if (acknowledged) std::ofstream(home + "acked.txt", std::ios::app) << "acked" << std::endl;
  handle([&] { controller.FormClose(); });
  for (const qv::app::wintest::Message& m : view.Messages) std::fprintf(stderr, "%s: %s\n", m.Kind.c_str(), m.Text.c_str());
  return acknowledged ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
  const bool operatorRun = argc >= 6 && (std::string(argv[3]) == "add" || std::string(argv[3]) == "edit" ||
                                         std::string(argv[3]) == "delete");
  if (argc != 6 && !(operatorRun && argc == 7)) {
    std::fprintf(stderr, "usage: %s HOME SETTINGS FIRST COUNT K\n       %s HOME SETTINGS add|edit|delete CALL K [NOTES]\n",
                 argv[0], argv[0]);
    return 2;
  }
  try {
    TVLMComponentRuntime::Start();
    auto runtime = qv::ScopeExit([] { TVLMComponentRuntime::Shutdown(); });
    if (operatorRun)
      return OperatorRun(argv[1], argv[2], argv[3], argv[4], std::strtoll(argv[5], nullptr, 10),
                         argc == 7 ? argv[6] : "");
    return AddRun(argv[1], argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::strtoll(argv[5], nullptr, 10));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}
