#include "platform/gui/PasswordDialog.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "platform/gui/QtText.h"

namespace qv::gui {

namespace {
constexpr int kClientWidth = 216;
constexpr int kClientHeight = 118;
}  // namespace

TVLMPassDialog::TVLMPassDialog(const std::string& nameText, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Database authentication"));
  setFixedSize(kClientWidth, kClientHeight);

  lbName = new QLabel(FromCp1252(nameText), this);
  lbName->setObjectName(QStringLiteral("lbName"));
  lbName->setAlignment(Qt::AlignCenter);
  Label1 = new QLabel(QStringLiteral("Password:"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Pass = new QLineEdit(this);
  Pass->setObjectName(QStringLiteral("Pass"));
  Pass->setEchoMode(QLineEdit::Password);
  Pass->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // '*'
  cbOk = new QPushButton(QStringLiteral("OK"), this);
  cbOk->setObjectName(QStringLiteral("cbOk"));
  cbOk->setDefault(true);
  cbCancel = new QPushButton(QStringLiteral("Cancel"), this);
  cbCancel->setObjectName(QStringLiteral("cbCancel"));
  cbCancel->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cbOk);
  buttons->addWidget(cbCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lbName);
  layout->addWidget(Label1);
  layout->addWidget(Pass);
  layout->addLayout(buttons);

  connect(cbOk, &QPushButton::clicked, this, &QDialog::accept);
  connect(cbCancel, &QPushButton::clicked, this, &QDialog::reject);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  Pass->setFocus();
}

bool RunPasswordDialog(const std::string& nameText, std::string& password) {
  TVLMPassDialog dialog(nameText);
  if (dialog.exec() != QDialog::Accepted) return false;
  password = ToCp1252(dialog.Pass->text());
  return true;
}

}  // namespace qv::gui
