#include "app/engineui/WaitDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "engine/components/VLMEngineUi.h"
#include "platform/gui/QtText.h"

namespace qv::gui {

namespace {
constexpr int kClientWidth = 312;
constexpr int kClientHeight = 118;
constexpr int kMessageHeight = 49;
}  // namespace

TfrmWait::TfrmWait()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
  setWindowTitle(QStringLiteral("Please Wait..."));
  setWindowModality(Qt::ApplicationModal);
  setFixedSize(kClientWidth, kClientHeight);
  setCursor(Qt::WaitCursor);

  lMessage = new QLabel(QStringLiteral("Wait..."), this);
  lMessage->setObjectName(QStringLiteral("lMessage"));
  lMessage->setAlignment(Qt::AlignCenter);
  lMessage->setWordWrap(true);
  lMessage->setFixedHeight(kMessageHeight);

  pb = new QProgressBar(this);
  pb->setObjectName(QStringLiteral("pb"));
  pb->setRange(0, 100);
  pb->setTextVisible(false);

  btnCancel = new QPushButton(QStringLiteral("Abort"), this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));
  btnCancel->setDefault(true);
  btnBgMode = new QPushButton(QStringLiteral("Background Mode"), this);
  btnBgMode->setObjectName(QStringLiteral("btnBgMode"));
  btnBgMode->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnBgMode);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lMessage);
  layout->addWidget(pb);
  layout->addLayout(buttons);

  connect(btnCancel, &QPushButton::clicked, this, [this] {
    if (Events_) Events_->AbortClicked();
  });
  connect(btnBgMode, &QPushButton::clicked, this, [this] {
    if (Events_) Events_->BackgroundModeClicked();
  });
}

void TfrmWait::ShowWait(const std::string& text, int percent, WaitWindowEvents* events) {
  Events_ = events;
  lMessage->setText(FromCp1252(text));
  pb->setValue(percent);
  if (isVisible()) return;
  SavedActive_ = QApplication::activeWindow();
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  show();
  raise();
  activateWindow();
  btnCancel->setFocus();
}

void TfrmWait::SetProgress(int percent) { pb->setValue(percent); }

void TfrmWait::HideWait() {
  Events_ = nullptr;
  if (!isVisible()) return;
  hide();
  if (SavedActive_) SavedActive_->activateWindow();
  SavedActive_ = nullptr;
}

void TfrmWait::reject() {
  if (Events_) Events_->AbortClicked();
}

void TfrmWait::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace qv::gui
