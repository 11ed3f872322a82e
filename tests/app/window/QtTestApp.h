// The one application object of the test program, made by the first test
// that needs real widgets (offscreen) and shared by all the others.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>

#include "platform/gui/ErrorGuard.h"

namespace qv::app::wintest {

inline QApplication& TestApp() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return *app;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char arg0[] = "app_tests";
  static char* argv[] = {arg0, nullptr};
  return *new gui::GuardedApplication(argc, argv);
}

// Runs the event loop for at least ms milliseconds.
inline void Spin(int ms = 0) {
  QElapsedTimer t;
  t.start();
  do {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (t.elapsed() < ms);
}

}  // namespace qv::app::wintest
