// The one application object of a test program that needs Qt: the program's
// own guarded application on the offscreen platform, made on first use.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QString>
#include <QWidget>
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

// A key pressed and released in the widget that has the focus (none: the
// key goes nowhere), then the events it caused.
inline void PressKey(int key, const QString& text = QString(), Qt::KeyboardModifiers mods = Qt::NoModifier) {
  if (QWidget* w = QApplication::focusWidget()) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods, text);
    QApplication::sendEvent(w, &release);
  }
  Spin();
}
// Text typed key by key into the focused widget.
inline void TypeKeys(const QString& text) {
  for (QChar c : text) PressKey(static_cast<int>(c.toUpper().unicode()), QString(c));
}

}  // namespace qv::test
