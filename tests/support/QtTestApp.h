// The one application object of a test program that needs Qt: the program's
// own guarded application on the offscreen platform, made on first use.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>

#include "platform/gui/ErrorGuard.h"

namespace qv::test {

inline QApplication& QtTestApp() {
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char arg0[] = "qt_tests";
    static char* argv[] = {arg0, nullptr};
    return new gui::GuardedApplication(argc, argv);
  }();
  return *app;
}

// Runs the event loop for at least ms milliseconds.
inline void Spin(int ms = 0) {
  QElapsedTimer t;
  t.start();
  do {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (t.elapsed() < ms);
}

}  // namespace qv::test
