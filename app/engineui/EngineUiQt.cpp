#include "app/engineui/EngineUiQt.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>

#include "platform/gui/ErrorGuard.h"
#include "platform/gui/PasswordDialog.h"
#include "platform/gui/QtText.h"
#include "app/engineui/WaitDialog.h"

namespace qv::gui {

namespace {

QString BoxTitle() { return FromCp1252(ErrorBoxTitle()); }

}  // namespace

// Watches the windows the background mode minimised for the moment the user
// restores one.
class QtEngineUi::RestoreWatcher : public QObject {
public:
  explicit RestoreWatcher(QtEngineUi& ui) : Ui_(ui) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::WindowStateChange) {
      auto* widget = qobject_cast<QWidget*>(watched);
      if (widget != nullptr && !(widget->windowState() & Qt::WindowMinimized)) Ui_.WindowRestored();
    }
    return false;
  }

private:
  QtEngineUi& Ui_;
};

QtEngineUi::QtEngineUi() : Watcher_(std::make_unique<RestoreWatcher>(*this)) {}

QtEngineUi::~QtEngineUi() {
  for (const auto& w : Minimised_)
    if (w) w->removeEventFilter(Watcher_.get());
}

bool QtEngineUi::AskPassword(const std::string& nameText, std::string& password) {
  return RunPasswordDialog(nameText, password);
}

bool QtEngineUi::Confirm(const std::string& text) {
  return QMessageBox::question(QApplication::activeWindow(), BoxTitle(), BoxText(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void QtEngineUi::Information(const std::string& text) {
  QMessageBox::information(QApplication::activeWindow(), BoxTitle(), BoxText(text));
}

void QtEngineUi::Warning(const std::string& text) {
  QMessageBox::warning(QApplication::activeWindow(), BoxTitle(), BoxText(text));
}

void QtEngineUi::Error(const std::string& text) { ReportError(text); }

void QtEngineUi::ShowWaitWindow(const std::string& text, int32_t percent, WaitWindowEvents& events) {
  if (!Wait_) Wait_ = std::make_unique<TfrmWait>();
  Wait_->ShowWait(text, percent, &events);
}

void QtEngineUi::SetWaitProgress(int32_t percent) {
  if (Wait_) Wait_->SetProgress(percent);
}

void QtEngineUi::HideWaitWindow() {
  if (Wait_) Wait_->HideWait();
}

void QtEngineUi::ProcessMessages() { QApplication::processEvents(); }

void QtEngineUi::MinimiseApplication(WaitWindowEvents& events) {
  RestoreMinimised();  // a request still open is replaced
  PendingRestored_ = nullptr;
  RestoreEvents_ = &events;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (!w->isVisible() || w == Wait_.get() || (w->windowState() & Qt::WindowMinimized)) continue;
    Minimised_.emplace_back(w);
    w->setWindowState(w->windowState() | Qt::WindowMinimized);
    w->installEventFilter(Watcher_.get());
  }
}

void QtEngineUi::RestoreApplication() {
  RestoreEvents_ = nullptr;
  PendingRestored_ = nullptr;
  RestoreMinimised();
}

void QtEngineUi::RestoreMinimised() {
  // Taken out first: restoring a window sends the state change that the
  // watcher would otherwise report again.
  std::vector<QPointer<QWidget>> windows;
  windows.swap(Minimised_);
  for (const auto& w : windows) {
    if (!w) continue;
    w->removeEventFilter(Watcher_.get());
    if (w->windowState() & Qt::WindowMinimized) w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
  }
}

void QtEngineUi::WindowRestored() {
  if (RestoreEvents_ == nullptr) return;
  PendingRestored_ = RestoreEvents_;
  RestoreEvents_ = nullptr;
  RestoreMinimised();
  // Reported from the event loop, not from inside the state change: the
  // wait window then starts again outside any event delivery.
  QMetaObject::invokeMethod(
      Watcher_.get(),
      [this] {
        WaitWindowEvents* events = PendingRestored_;
        PendingRestored_ = nullptr;
        if (events != nullptr) events->ApplicationRestored();
      },
      Qt::QueuedConnection);
}

}  // namespace qv::gui
