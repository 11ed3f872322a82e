// The main window over a real log, offscreen: the start-up (the window made,
// the log opened and counted, the window shown and its grid painted with the
// last contacts), the backup copy brought up to date after it while the
// operator types the first call (the longest wait of a key), the road of each
// contact from Enter until the grid has painted it (every one of the first
// ten after the start), and the resident memory of the process after the
// start, after the adds and after a Cabrillo export of the whole log, on logs
// of 100,000 and 1,000,000 contacts. Each start runs in a process of its
// own, so that the memory figures are those of one window over one log.
//
// Goals: start-up <= 300 ms at 100,000 contacts; the first add after a start
// within 1.5x the median of the next nine; Enter -> on screen <= 50 ms;
// resident memory <= 100 MB at 100,000 contacts and <= 160 MB at 1,000,000.
// A window has no counterpart in SQLite: the figures are set against these
// goals.
//
// Usage: bench_app_window [ADDS [CONTACTS...]]   (50 added contacts; logs of
// 100000 and 1000000 contacts by default). Runs with QT_QPA_PLATFORM=offscreen
// unless the variable is set.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QTableView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/LogGridModel.h"
#include "app/MainController.h"
#include "app/Outputs.h"
#include "app/QsoRecord.h"
#include "app/Scoring.h"
#include "app/Settings.h"
#include "app/VedoruzEzuF.h"
#include "appdata/BackupCopy.h"
#include "appdata/LogNames.h"
#include "appdata/LogSchemas.h"
#include "bench/ComponentBench.h"
#include "platform/gui/ErrorGuard.h"

extern char** environ;

namespace {

using qv::app::Ctl;
using qv::app::QsoRecord;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// "VmRSS" (now) or "VmHWM" (peak) of /proc/self/status, in MB.
double MemoryMb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line))
    if (line.rfind(prefix, 0) == 0) return std::atof(line.c_str() + prefix.size()) / 1024.0;
  return 0;
}

// Contest contacts of a general-purpose log, every call different.
std::vector<QsoRecord> MakeContacts(int32_t count, int32_t firstSerial, uint32_t seed) {
  static const char* prefixes[] = {"K", "W", "N", "AA", "KB", "VE", "DL", "G", "JA", "OH", "EA", "PY"};
  static const char* modes[] = {"CW", "SSB", "RTTY"};
  std::mt19937 random(seed);
  std::vector<QsoRecord> contacts(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    QsoRecord& q = contacts[static_cast<size_t>(i)];
    const int32_t serial = firstSerial + i;
    q.Call = std::string(prefixes[random() % 12]) + std::to_string(serial % 10) +
             static_cast<char>('A' + serial / 10 % 26) + static_cast<char>('A' + serial / 260 % 26) +
             static_cast<char>('A' + serial / 6760 % 26);
    q.Freq = std::string(qv::app::kBandNames[random() % 8]);
    q.Mode = modes[random() % 3];
    q.QSODate = "2026-05-04";
    q.TimeStart = "1200";
    q.RSTSent = q.RSTRcvd = "599";
    q.NumSent = std::to_string(serial);
    q.Name = "Op" + std::to_string(random() % 100);
    q.Country = "USA";
    q.Continent = "NA";
  }
  return contacts;
}

// A database file holding one table of spec, filled with contacts.
void MakeTable(const std::string& file, const qv::app::TableSpec& spec, const std::vector<QsoRecord>& contacts) {
  static int32_t serial = 0;
  const std::string name = "WindowBench" + std::to_string(++serial);
  TVLMDatabase database;
  database.SetDatabaseName(name);
  database.SetDatabaseFileName(file);
  database.SilentMode = true;
  database.CreateDatabase();
  database.SetConnected(true);
  TVLMTable table;
  table.SetDatabaseName(name);
  table.SetTableName(spec.TableName);
  qv::app::DefineTable(spec, table.GetFieldDefs(), table.GetIndexDefs());
  table.CreateTable();
  if (!contacts.empty()) {
    table.Open();
    database.StartTransaction();
    for (const QsoRecord& q : contacts) {
      table.Append();
      qv::app::WriteQso(table, q);
      table.Post();
    }
    database.Commit(true);
    table.Close();
  }
  database.DoDisconnect();
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
  int Count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Count;
    return false;
  }
};

// Runs the event loop until done() holds after a paint counted by paints
// (at most 20 s); returns false when that never happens.
bool SpinUntilPainted(PaintCounter& paints, const std::function<bool()>& done) {
  const auto start = Clock::now();
  while (MsSince(start) < 20000) {
    const int before = paints.Count;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (paints.Count > before && done()) return true;
    if (paints.Count == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  return false;
}

// The program folder of the window: the template, the log "TEST" of
// contacts with its backup, an empty state table and the settings.
void MakeProgramFolder(const std::string& home, int32_t contacts) {
  std::filesystem::create_directories(home + "TEST");
  MakeTable(home + std::string(qv::app::kLogFileName), qv::app::LogTableSpec(), {});
  MakeTable(home + "TEST/" + std::string(qv::app::kLogFileName), qv::app::LogTableSpec(),
            MakeContacts(contacts, 1, 29));
  MakeTable(home + std::string(qv::app::kStateFileName), qv::app::StateTableSpec(), {});
  qv::app::UpdateBackupCopy(home + "TEST/" + std::string(qv::app::kLogFileName),
                            home + "TEST/" + std::string(qv::app::kBackupFileName));
  qv::app::SettingsStore settings(home + "config/QuorvexV5.ini");
  qv::app::ProgramSettings program;
  program.Status = qv::app::kStatusSaved;
  program.LogName = "TEST";
  settings.WriteProgramSettings(program);
  qv::app::StationSettings station;
  station.MyCall = "W1AW";
  station.MyCountry = "USA";
  station.MyContinent = "NA";
  station.AutoManTime = "True";
  station.TypeContest = "GP";
  settings.WriteStationSettings("TEST", station);
}

// Types the text into the field as posted key presses, one a loop turn, and
// returns the longest wait of a key until the field showed it.
double TypeThroughTheLoop(QWidget* field, const std::function<std::string()>& text, const std::string& keys) {
  double longest = 0;
  for (char k : keys) {
    const size_t before = text().size();
    const auto posted = Clock::now();
    QCoreApplication::postEvent(field, new QKeyEvent(QEvent::KeyPress, QChar(k).toUpper().unicode(),
                                                     Qt::NoModifier, QString(QChar(k))));
    while (text().size() == before && MsSince(posted) < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents);
    longest = std::max(longest, MsSince(posted));
  }
  return longest;
}

const char* Verdict(bool met) { return met ? "" : " OVER"; }

// One window over the log of the program folder home: the start, the backup
// brought up to date meanwhile (typing into the call field as it goes), adds
// typed with Enter, then a Cabrillo export.
int RunWindow(const std::string& home, int32_t contacts, int32_t adds) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char arg0[] = "bench_app_window";
  static char* argv[] = {arg0, nullptr};
  qv::gui::GuardedApplication app(argc, argv);
  try {
    qv::app::SettingsStore settings(home + "config/QuorvexV5.ini");
    const double memoryBefore = MemoryMb("VmRSS");

    std::vector<std::string> messages;
    qv::app::ProgramDatabases databases;
    const auto startUp = Clock::now();
    qv::app::TVedoruzEzu window(databases.Tables(), settings, home);
    window.SetMessageHook([&](const std::string& kind, const std::string& text) {
      messages.push_back(kind + ": " + text);
      return true;
    });
    window.SetUrlOpener([](const QUrl&) {});
    PaintCounter paints;
    window.Grid()->viewport()->installEventFilter(&paints);
    const double memoryMade = MemoryMb("VmRSS");
    const auto startCall = Clock::now();
    window.Start();
    const double startCallMs = MsSince(startCall);
    const double memoryStartCall = MemoryMb("VmRSS");
    window.activateWindow();
    qv::app::LogGridModel& grid = window.GridModel();
    const bool shown = SpinUntilPainted(paints, [&] { return grid.rowCount() == contacts; });
    const double startMs = MsSince(startUp);
    if (!shown) throw std::runtime_error("the grid never showed the log");
    // The clock's first tick fills the date of the entry.
    window.Controller().Timer1Timer();

    // The backup catches up in the loop's idle turns; the operator types the
    // first call meanwhile.
    const std::vector<QsoRecord> more = MakeContacts(adds, contacts + 1, 31);
    QWidget* callField = window.Widget(Ctl::CallEntered);
    window.SetText(Ctl::Mode, more[0].Mode);
    window.SetText(Ctl::FreqEntered, more[0].Freq);
    callField->setFocus(Qt::OtherFocusReason);
    const bool catchingUp = window.Controller().BackupCatchingUp();
    double keyWait = 0;
    if (catchingUp)
      keyWait = TypeThroughTheLoop(callField, [&] { return window.Text(Ctl::CallEntered); }, more[0].Call);
    while (window.Controller().BackupCatchingUp() && MsSince(startUp) < 60000)
      QCoreApplication::processEvents(QEventLoop::AllEvents);
    const double catchUpMs = MsSince(startUp) - startMs;
    const double memoryStarted = MemoryMb("VmRSS");

    std::vector<double> roads, handlers;
    int32_t rows = contacts;
    for (const QsoRecord& q : more) {
      window.SetText(Ctl::Mode, q.Mode);
      window.SetText(Ctl::FreqEntered, q.Freq);
      window.SetText(Ctl::CallEntered, q.Call);
      callField->setFocus(Qt::OtherFocusReason);
      QCoreApplication::processEvents();
      const QString call = QString::fromLatin1(q.Call.c_str());
      const auto enter = Clock::now();
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QApplication::sendEvent(callField, &press);
      handlers.push_back(MsSince(enter));
      const bool onScreen = SpinUntilPainted(paints, [&] {
        return grid.rowCount() == rows + 1 && grid.CurrentRow() == rows &&
               grid.data(grid.index(rows, 0), Qt::DisplayRole).toString() == call;
      });
      roads.push_back(MsSince(enter));
      if (!onScreen) {
        for (const std::string& m : messages) std::printf("  message: %s\n", m.c_str());
        throw std::runtime_error("the grid never showed " + q.Call + " (" + std::to_string(grid.rowCount()) +
                                 " rows, current " + std::to_string(grid.CurrentRow()) + "): " +
                                 window.Text(Ctl::StatPanel));
      }
      ++rows;
    }
    const double memoryAdds = MemoryMb("VmRSS");

    // The Cabrillo export of the whole log (a general purpose log exports
    // Cabrillo), its questions answered yes.
    const auto exportStart = Clock::now();
    window.SetItemIndex(Ctl::OutFmtRadGrp, static_cast<int32_t>(qv::app::OutputChoice::ExportToFile));
    window.Controller().OutFmtRadGrpClick();
    const double exportMs = MsSince(exportStart);
    const double memoryExport = MemoryMb("VmRSS");

    const bool big = contacts >= 100000;
    const Spread r = SpreadOf(roads);
    const Spread h = SpreadOf(handlers);
    std::printf("  start-up               %10.1f ms%s\n", startMs,
                contacts >= 100000 && contacts < 1000000 ? (startMs <= 300 ? "  (goal <= 300 ms)" : "  (goal <= 300 ms) OVER") : "");
    std::printf("    of it Start()        %10.1f ms (the log opened, counted and recounted, the grid set on it),"
                " resident %.1f MB -> %.1f MB\n",
                startCallMs, memoryMade, memoryStartCall);
    std::printf("  backup caught up       %10.1f ms after the window was shown%s; the longest wait of a key "
                "typed meanwhile %.1f ms\n",
                catchUpMs, catchingUp ? "" : " (nothing to do)", keyWait);
    const size_t firstCount = std::min<size_t>(roads.size(), 10);
    std::printf("  Enter -> on screen, the first %zu adds after the start (ms):", firstCount);
    for (size_t i = 0; i < firstCount; ++i) std::printf(" %.1f", roads[i]);
    std::printf("\n");
    std::printf("    of each the add (ms):");
    for (size_t i = 0; i < firstCount; ++i) std::printf(" %.1f", handlers[i]);
    std::printf("  (the handler, before the grid paints)\n");
    if (firstCount > 1) {
      const Spread others = SpreadOf(std::vector<double>(roads.begin() + 1, roads.begin() + firstCount));
      const double ratio = roads[0] / others.Median;
      std::printf("    the first add        %10.1f ms = %.2fx the median %.1f ms of the next %zu  (goal <= 1.5x)%s\n",
                  roads[0], ratio, others.Median, firstCount - 1, Verdict(ratio <= 1.5));
    }
    std::printf("  Enter -> on screen     %10.1f ms mean, %.1f median, %.1f max over %d contacts%s\n", r.Mean,
                r.Median, r.Max, adds, big ? (r.Mean <= 50 ? "  (goal <= 50 ms)" : "  (goal <= 50 ms) OVER") : "");
    std::printf("    of it the add        %10.1f ms mean, %.1f median, %.1f max (the handler, before the grid)\n",
                h.Mean, h.Median, h.Max);
    std::printf("  Cabrillo export        %10.1f ms\n", exportMs);
    const double goal = contacts >= 1000000 ? 160 : 100;
    const bool goalApplies = contacts >= 100000;
    const auto memoryLine = [&](const char* when, double mb) {
      std::printf("  resident memory        %10.1f MB %s%s\n", mb, when,
                  goalApplies ? (mb <= goal ? "  (goal <= " + std::to_string(static_cast<int>(goal)) + " MB)"
                                            : "  (goal <= " + std::to_string(static_cast<int>(goal)) + " MB) OVER")
                                    .c_str()
                              : "");
    };
    memoryLine("after the start", memoryStarted);
    memoryLine(("after " + std::to_string(adds) + " adds").c_str(), memoryAdds);
    memoryLine("after the Cabrillo export", memoryExport);
    std::printf("    (%.1f MB before the window; peak %.1f MB)\n", memoryBefore, MemoryMb("VmHWM"));
    for (const std::string& m : messages) std::printf("  message: %s\n", m.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--window")
    return RunWindow(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  const int32_t adds = argc > 1 ? std::atoi(argv[1]) : 50;
  std::vector<int32_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {100000, 1000000};
  if (adds < 1 || std::any_of(sizes.begin(), sizes.end(), [](int32_t n) { return n < 10; })) {
    std::fprintf(stderr, "usage: %s [ADDS [CONTACTS...]]\n", argv[0]);
    return 2;
  }
  return RunInBenchFolder("qvwindow_", [&](const std::string& folder) {
    for (int32_t contacts : sizes) {
      const std::string home = folder + "/" + std::to_string(contacts) + "/";
      MakeProgramFolder(home, contacts);
      std::printf("\n%d contacts (log file %.1f MB)\n", contacts,
                  static_cast<double>(std::filesystem::file_size(home + "TEST/" + std::string(qv::app::kLogFileName))) /
                      (1024.0 * 1024.0));
      std::fflush(stdout);
      // Two starts, each window in a process of its own, which has made
      // nothing else; the second finds the first one's adds in the log.
      for (int32_t start = 1; start <= 2; ++start) {
        std::printf(" start %d (%d contacts)\n", start, contacts + (start - 1) * adds);
        std::fflush(stdout);
        std::string self = "/proc/self/exe", mode = "--window", path = home,
                    n = std::to_string(contacts + (start - 1) * adds), a = std::to_string(adds);
        char* args[] = {argv[0], mode.data(), path.data(), n.data(), a.data(), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, args, environ) != 0)
          throw std::runtime_error("cannot start the window's process");
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("the window's process failed");
      }
    }
  });
}
