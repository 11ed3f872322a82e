#include "app/VedoruzEzuPrefsF.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/MainController.h"
#include "platform/gui/ErrorGuard.h"
#include "platform/gui/QtText.h"
#include "platform/gui/WinColor.h"

namespace qv::app {

using gui::FromCp1252;
using gui::ToCp1252;

namespace {

constexpr const char* kPrefsCtlNames[] = {
    "MyLogName", "PrefCall", "MyName", "MyCountry", "MyContinent", "MyState", "MyZone", "MyXmtrID",
    "Slash", "LogType", "ContTypGrp", "DatTimRadGrp", "HCID", "HCPW", "ShowPW", "Stats",
    "CreateLogBtn", "EmptyLogButton", "RestoreButton", "DeleteLogBtn", "UserGuidBtn", "SaveButton"};
static_assert(std::size(kPrefsCtlNames) == static_cast<size_t>(PCtl::Count));

constexpr uint32_t kLogListColor = 0x00FFFF;  // yellow

// The fields whose exit runs a check.
bool HasExitCheck(PCtl c) {
  return c == PCtl::PrefCall || c == PCtl::HCID || c == PCtl::MyContinent || c == PCtl::MyCountry ||
         c == PCtl::MyState;
}

QLineEdit* LineOf(QWidget* w) {
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e;
  if (auto* b = qobject_cast<QComboBox*>(w)) return b->lineEdit();
  return nullptr;
}

}  // namespace

TVedoruzEzuPrefs::TVedoruzEzuPrefs(MainController& main, DialogHooks hooks, QWidget* parent)
    : QDialog(parent), Hooks_(std::move(hooks)) {
  setObjectName(QStringLiteral("VedoruzEzuPrefs"));
  setWindowTitle(QStringLiteral("Settings"));
  Build();
  Controller_ = std::make_unique<PrefsController>(*this, main);
  Connect();
  Handle([&] { Controller_->FormCreate(); });
}

TVedoruzEzuPrefs::~TVedoruzEzuPrefs() {
  disconnect(qApp, nullptr, this, nullptr);
  Activated_ = false;
}

void TVedoruzEzuPrefs::Register(PCtl c, QWidget* w) {
  w->setObjectName(QString::fromLatin1(kPrefsCtlNames[static_cast<size_t>(c)]));
  Widgets_[static_cast<size_t>(c)] = w;
}

void TVedoruzEzuPrefs::Build() {
  auto* main = new QVBoxLayout(this);
  main->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border
  auto* grid = new QGridLayout();
  main->addLayout(grid);
  auto label = [&](const char* text, int row, int column) {
    grid->addWidget(new QLabel(QString::fromLatin1(text), this), row, column, Qt::AlignRight);
  };
  auto edit = [&](PCtl c, int maxLength = 0) {
    auto* e = new QLineEdit(this);
    if (maxLength > 0) e->setMaxLength(maxLength);
    Register(c, e);
    return e;
  };
  auto combo = [&](PCtl c, bool editable) {
    auto* b = new QComboBox(this);
    b->setEditable(editable);
    if (editable) {
      b->setInsertPolicy(QComboBox::NoInsert);
      b->setCompleter(nullptr);
    }
    Register(c, b);
    return b;
  };
  auto check = [&](PCtl c, const char* caption) {
    auto* b = new QCheckBox(QString::fromLatin1(caption), this);
    Register(c, b);
    return b;
  };

  auto* logName = combo(PCtl::MyLogName, false);
  logName->setMinimumWidth(220);
  logName->setStyleSheet(QStringLiteral("QComboBox { background-color: %1; }").arg(gui::WinColor(kLogListColor).name()));
  label("Log Name", 0, 0);
  grid->addWidget(logName, 0, 1, 1, 3);

  label("My Call", 1, 0);
  grid->addWidget(edit(PCtl::PrefCall), 1, 1);
  label("My Name", 1, 2);
  auto* name = edit(PCtl::MyName);
  name->setToolTip(QStringLiteral("Handle (One Word)"));
  grid->addWidget(name, 1, 3);
  label("My Country", 2, 0);
  grid->addWidget(edit(PCtl::MyCountry), 2, 1);
  label("My Continent", 2, 2);
  auto* continent = combo(PCtl::MyContinent, true);
  continent->lineEdit()->setMaxLength(2);
  grid->addWidget(continent, 2, 3);
  label("My State", 3, 0);
  grid->addWidget(combo(PCtl::MyState, true), 3, 1);
  auto* zoneRow = new QHBoxLayout();
  zoneRow->addWidget(new QLabel(QStringLiteral("My Zone"), this));
  auto* zone = edit(PCtl::MyZone, 2);
  zone->setFixedWidth(40);
  zoneRow->addWidget(zone);
  zoneRow->addWidget(new QLabel(QStringLiteral("Xmtr ID"), this));
  auto* xmtr = edit(PCtl::MyXmtrID, 1);
  xmtr->setFixedWidth(30);
  zoneRow->addWidget(xmtr);
  zoneRow->addStretch(1);
  grid->addLayout(zoneRow, 3, 2, 1, 2);

  grid->addWidget(check(PCtl::Slash, "Display Slash Zero in Call"), 4, 1);
  grid->addWidget(check(PCtl::LogType, "Contest"), 4, 3);

  auto radioGroup = [&](PCtl c, const char* title, std::initializer_list<const char*> items, QButtonGroup*& group) {
    auto* box = new QGroupBox(QString::fromLatin1(title), this);
    auto* v = new QVBoxLayout(box);
    group = new QButtonGroup(box);
    int id = 0;
    for (const char* item : items) {
      auto* r = new QRadioButton(QString::fromLatin1(item), box);
      group->addButton(r, id++);
      v->addWidget(r);
    }
    Register(c, box);
    return box;
  };
  grid->addWidget(radioGroup(PCtl::ContTypGrp, " Contest Type ",
                             {"IBM QSO Party", "NA QP", "CQ WW DX", "NA SPRINT/CQ WW WPX/Other"}, ContTyp_),
                  5, 0, 1, 2);
  grid->addWidget(radioGroup(PCtl::DatTimRadGrp, " Date and Time Logging ", {"Auto Entry", "Manual Entry"}, DatTim_),
                  5, 2, 1, 2, Qt::AlignTop);

  label("Lookup User ID", 6, 0);
  grid->addWidget(edit(PCtl::HCID, 12), 6, 1);
  label("Password", 6, 2);
  auto* pwRow = new QHBoxLayout();
  auto* pw = edit(PCtl::HCPW, 12);
  pw->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));  // '*'
  pwRow->addWidget(pw);
  pwRow->addWidget(check(PCtl::ShowPW, "Show"));
  grid->addLayout(pwRow, 6, 3);

  auto* stats = new QLabel(this);
  stats->setTextFormat(Qt::PlainText);
  stats->setFrameShape(QFrame::Panel);
  stats->setFrameShadow(QFrame::Sunken);
  stats->setMinimumHeight(22);
  Register(PCtl::Stats, stats);
  main->addWidget(stats);

  auto* buttons = new QHBoxLayout();
  const std::pair<PCtl, const char*> captions[] = {
      {PCtl::CreateLogBtn, "Create New Log"}, {PCtl::EmptyLogButton, "Empty  the Log"},
      {PCtl::RestoreButton, "Restore Log"},   {PCtl::DeleteLogBtn, "Delete Log"},
      {PCtl::UserGuidBtn, "User Guide  [F1]"}, {PCtl::SaveButton, "Save and Close  [F9]"}};
  for (const auto& [c, caption] : captions) {
    auto* b = new QPushButton(QString::fromLatin1(caption), this);
    b->setAutoDefault(false);
    Register(c, b);
    buttons->addWidget(b);
  }
  main->addLayout(buttons);
  Widget(PCtl::SaveButton)->setFocusPolicy(Qt::NoFocus);
  Widget(PCtl::UserGuidBtn)->setFocusPolicy(Qt::NoFocus);
  Widget(PCtl::DeleteLogBtn)->setEnabled(false);  // its click does nothing
  Widget(PCtl::DeleteLogBtn)->setVisible(false);
}

void TVedoruzEzuPrefs::Connect() {
  auto click = [this](PCtl c, void (PrefsController::*handler)()) {
    auto* b = static_cast<QAbstractButton*>(Widget(c));
    connect(b, &QAbstractButton::clicked, this, [this, handler] { Handle([&] { (Controller_.get()->*handler)(); }); });
  };
  click(PCtl::Slash, &PrefsController::SlashClick);
  click(PCtl::ShowPW, &PrefsController::ShowPWClick);
  click(PCtl::LogType, &PrefsController::LogTypeClick);
  click(PCtl::CreateLogBtn, &PrefsController::CreateLogBtnClick);
  click(PCtl::EmptyLogButton, &PrefsController::EmptyLogButtonClick);
  click(PCtl::RestoreButton, &PrefsController::RestoreButtonClick);
  click(PCtl::UserGuidBtn, &PrefsController::UserGuidBtnClick);
  click(PCtl::SaveButton, &PrefsController::SaveButtonClick);
  auto* logs = static_cast<QComboBox*>(Widget(PCtl::MyLogName));
  connect(logs, &QComboBox::activated, this, [this, logs](int index) {
    const std::string name = ToCp1252(logs->itemText(index));
    Handle([&] { Controller_->MyLogNameClick(name); });
  });
  connect(qApp, &QApplication::focusChanged, this, &TVedoruzEzuPrefs::OnFocusChanged);
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
}

void TVedoruzEzuPrefs::Handle(const std::function<void()>& handler) {
  ++HandlerDepth_;
  gui::Guarded(handler);
  --HandlerDepth_;
}

void TVedoruzEzuPrefs::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (Activated_) return;
  // Activation runs once the dialog is on screen: on a first run it opens
  // the name prompt of a new log over it.
  QTimer::singleShot(0, this, [this] {
    Activated_ = true;
    Handle([&] { Controller_->FormActivate(); });
  });
}

PCtl TVedoruzEzuPrefs::CtlOf(const QObject* object) const {
  for (const QObject* o = object; o != nullptr && o != this; o = o->parent())
    for (size_t i = 0; i < Widgets_.size(); ++i)
      if (Widgets_[i] == o) return static_cast<PCtl>(i);
  return PCtl::Count;
}

void TVedoruzEzuPrefs::OnFocusChanged(QWidget* old, QWidget* now) {
  if (HandlerDepth_ > 0 || !Activated_ || Closing_) return;
  if (old == nullptr || now == nullptr || old->window() != this || now->window() != this) return;
  const PCtl from = CtlOf(old);
  if (from == CtlOf(now) || !HasExitCheck(from)) return;
  Handle([&] { Controller_->FieldExit(from); });
}

bool TVedoruzEzuPrefs::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || !Activated_) return QDialog::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() == Qt::Key_F1 || key->key() == Qt::Key_F9) {
    const HotKey hot = key->key() == Qt::Key_F1 ? HotKey::F1 : HotKey::F9;
    Handle([&] { Controller_->FormKeyDown(hot); });
    return true;
  }
  const PCtl field = CtlOf(watched);
  QLineEdit* line = field == PCtl::Count ? nullptr : LineOf(Widget(field));
  if (line == nullptr) return QDialog::eventFilter(watched, event);
  bool taken = false;
  Handle([&] {
    taken = gui::FilterTypedKey(*line, *key, [&](char typed, int caret) { return Controller_->KeyPress(field, typed, caret); });
  });
  return taken || QDialog::eventFilter(watched, event);
}

void TVedoruzEzuPrefs::closeEvent(QCloseEvent* event) {
  bool allowed = Closing_;
  if (!allowed) Handle([&] { allowed = Controller_->FormCloseQuery(); });
  if (allowed)
    event->accept();
  else
    event->ignore();
}

void TVedoruzEzuPrefs::reject() {
  bool allowed = Closing_;
  if (!allowed) Handle([&] { allowed = Controller_->FormCloseQuery(); });
  if (allowed) QDialog::reject();
}

// ---------------------------------------------------------------- PrefsView

std::string TVedoruzEzuPrefs::Text(PCtl c) const {
  QWidget* w = Widget(c);
  if (auto* e = qobject_cast<QLineEdit*>(w)) return ToCp1252(e->text());
  if (auto* b = qobject_cast<QComboBox*>(w))
    return ToCp1252(b->isEditable() || b->currentIndex() >= 0 ? b->currentText() : b->placeholderText());
  if (auto* l = qobject_cast<QLabel*>(w)) return ToCp1252(l->text());
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return ToCp1252(b->text());
  return {};
}

void TVedoruzEzuPrefs::SetText(PCtl c, std::string_view text) {
  QWidget* w = Widget(c);
  const QString s = FromCp1252(text);
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(s);
  } else if (auto* b = qobject_cast<QComboBox*>(w)) {
    const QSignalBlocker block(b);
    if (b->isEditable()) {
      b->setEditText(s);
    } else {
      // The log list shows a listed log as its selected item, any other
      // text (the "Click to Select" request) with no item selected.
      const int index = b->findText(s);
      b->setCurrentIndex(index);
      if (index < 0) b->setPlaceholderText(s);
    }
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(s);
  }
}

bool TVedoruzEzuPrefs::Checked(PCtl c) const {
  auto* b = qobject_cast<QAbstractButton*>(Widget(c));
  return b != nullptr && b->isChecked();
}

void TVedoruzEzuPrefs::SetChecked(PCtl c, bool checked) {
  if (auto* b = qobject_cast<QAbstractButton*>(Widget(c))) b->setChecked(checked);
}

bool TVedoruzEzuPrefs::Enabled(PCtl c) const { return Widget(c)->isEnabled(); }

void TVedoruzEzuPrefs::SetEnabled(PCtl c, bool enabled) { Widget(c)->setEnabled(enabled); }

void TVedoruzEzuPrefs::SetItems(PCtl c, const std::vector<std::string>& items) {
  auto* b = qobject_cast<QComboBox*>(Widget(c));
  if (b == nullptr) return;
  const QString text = b->currentText();
  const QSignalBlocker block(b);
  b->clear();
  for (const std::string& item : items) b->addItem(FromCp1252(item));
  b->setCurrentIndex(-1);
  if (b->isEditable()) b->setEditText(text);
}

QButtonGroup* TVedoruzEzuPrefs::Group(PCtl c) const {
  return c == PCtl::ContTypGrp ? ContTyp_ : c == PCtl::DatTimRadGrp ? DatTim_ : nullptr;
}

int32_t TVedoruzEzuPrefs::ItemIndex(PCtl c) const {
  QButtonGroup* g = Group(c);
  return g != nullptr ? g->checkedId() : -1;
}

void TVedoruzEzuPrefs::SetItemIndex(PCtl c, int32_t index) {
  if (QButtonGroup* g = Group(c))
    if (QAbstractButton* b = g->button(index)) b->setChecked(true);
}

void TVedoruzEzuPrefs::SetLook(PCtl c, uint32_t back, uint32_t text) {
  Widget(c)->setStyleSheet(QStringLiteral("background-color: %1; color: %2;")
                               .arg(gui::WinColor(back).name(), gui::WinColor(text).name()));
}

void TVedoruzEzuPrefs::SetMasked(PCtl c, bool masked) {
  if (auto* e = qobject_cast<QLineEdit*>(Widget(c))) e->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
}

void TVedoruzEzuPrefs::Focus(PCtl c) {
  ++HandlerDepth_;  // a handler's move runs no exit check
  Widget(c)->setFocus(Qt::OtherFocusReason);
  --HandlerDepth_;
}

PCtl TVedoruzEzuPrefs::FocusedControl() const { return CtlOf(focusWidget()); }

bool TVedoruzEzuPrefs::Prompt(const std::string& title, const std::string& label, std::string& value) {
  return ShowPrompt(this, Hooks_, title, label, value);
}

void TVedoruzEzuPrefs::OpenUrl(const std::string& url) {
  if (Hooks_.OpenUrl)
    Hooks_.OpenUrl(url);
  else
    QDesktopServices::openUrl(QUrl::fromLocalFile(FromCp1252(url)));
}

void TVedoruzEzuPrefs::CloseDialog() {
  Closing_ = true;
  accept();
}

void TVedoruzEzuPrefs::EndProgram() {
  CloseDialog();
  if (Hooks_.EndProgram) Hooks_.EndProgram();
}

void TVedoruzEzuPrefs::Inform(const std::string& text) { ShowMessage(this, Hooks_, "information", text); }
void TVedoruzEzuPrefs::Warn(const std::string& text) { ShowMessage(this, Hooks_, "warning", text); }
bool TVedoruzEzuPrefs::Confirm(const std::string& text) { return ShowMessage(this, Hooks_, "confirm", text); }

}  // namespace qv::app
