#include "app/VedoruzEzuF.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "app/EngineTableFactory.h"
#include "app/HamScopeDde.h"
#include "app/LogFiles.h"
#include "app/LogGridModel.h"
#include "app/MainController.h"
#include "app/OnlineLookup.h"
#include "app/Settings.h"
#include "app/VedoruzEzuPrtF.h"
#include "engine/components/VLMMain.h"
#include "app/engineui/EngineUiQt.h"
#include "platform/gui/ErrorGuard.h"
#include "platform/gui/QtText.h"
#include "platform/gui/SingleInstance.h"
#include "platform/gui/WinColor.h"

namespace qv::app {

using gui::BoxText;
using gui::FromCp1252;
using gui::ToCp1252;

namespace {

// Design sizes of the window and its fixed-width controls (pixels).
constexpr int kWindowWidth = 1020;
constexpr int kWindowHeight = 700;
constexpr int kAddButtonWidth = 140;
constexpr int kClearButtonWidth = 130;
constexpr int kEditButtonWidth = 110;
constexpr int kMultButtonWidth = 130;

struct FieldSize {
  Ctl Field;
  int Width;
};
constexpr FieldSize kFieldWidths[] = {
    {Ctl::CallEntered, 110}, {Ctl::QSODate, 90},  {Ctl::TimeST, 50},       {Ctl::FreqEntered, 80},
    {Ctl::Mode, 90},         {Ctl::RSTSent, 37},  {Ctl::RSTRcvd, 37},      {Ctl::NumSent, 50},
    {Ctl::RSTNumRcvd, 50},   {Ctl::TimeEndFld, 50}, {Ctl::StateFLD, 55},   {Ctl::ContinentFLD, 55},
};

// Captions of the extra fields' labels.
struct XtraCaption {
  Ctl Field;
  const char* Caption;
};
constexpr XtraCaption kXtraCaptions[] = {
    {Ctl::County, "County"},   {Ctl::CQZ, "CQ Zone"},       {Ctl::GridSq, "Grid"},
    {Ctl::ITUZ, "ITU Zone"},   {Ctl::FISTS, "FISTS"},       {Ctl::IOTA, "IOTA"},
    {Ctl::OOTC, "OOTC"},       {Ctl::TenTen, "10-10"},      {Ctl::QCWA, "QCWA"},
    {Ctl::DXCC, "DXCC"},       {Ctl::LicClass, "Class"},    {Ctl::BMCode, "BM Code"},
    {Ctl::PrefCountry, "Prefix Country"}, {Ctl::PostalCode, "Postal Code"}, {Ctl::Street, "Street"},
    {Ctl::Lat, "Lat"},         {Ctl::Long, "Long"},         {Ctl::Email, "E-mail"},
    {Ctl::WebURL, "Web"},      {Ctl::QSLMgr, "QSL Mgr"}};

QLabel* Caption(const char* text, QWidget* parent) {
  auto* l = new QLabel(QString::fromLatin1(text), parent);
  l->setTextFormat(Qt::PlainText);
  return l;
}

QLabel* Panel(QWidget* parent, const char* text = "") {
  auto* l = new QLabel(QString::fromLatin1(text), parent);
  l->setTextFormat(Qt::PlainText);
  l->setFrameShape(QFrame::Panel);
  l->setFrameShadow(QFrame::Sunken);
  l->setAutoFillBackground(true);
  return l;
}

QComboBox* DropDown(QWidget* parent) {
  auto* c = new QComboBox(parent);
  c->setEditable(true);
  c->setInsertPolicy(QComboBox::NoInsert);
  c->setCompleter(nullptr);  // no inline completion: "14" must not become "144"
  return c;
}

HotKey HotKeyOf(int key) {
  switch (key) {
    case Qt::Key_F1: return HotKey::F1;
    case Qt::Key_F2: return HotKey::F2;
    case Qt::Key_F3: return HotKey::F3;
    case Qt::Key_F4: return HotKey::F4;
    case Qt::Key_F8: return HotKey::F8;
    case Qt::Key_F9: return HotKey::F9;
    case Qt::Key_F11: return HotKey::F11;
    default: return HotKey::Other;
  }
}

}  // namespace

TVedoruzEzu::TVedoruzEzu(TableFactory& tables, SettingsStore& settings, const std::string& programFolder,
                         QWidget* parent)
    : QMainWindow(parent) {
  setObjectName(QStringLiteral("VedoruzEzu"));
  setWindowTitle(QStringLiteral("Quorvex"));
  resize(kWindowWidth, kWindowHeight);
  BuildWidgets();
  Controller_ = std::make_unique<MainController>(*this, tables, settings, programFolder);
  // The conversation's events are handlers of this window like any other.
  HamScope_ = std::make_unique<HamScopeConversation>(
      [this](const std::string& item, const std::string& text) {
        Handle([&] { Controller_->LinkItemChange(item, text); });
      },
      [this] { Handle([&] { Controller_->LinkClosed(); }); });
  Controller_->SetHamScopeLink(HamScope_.get());
  GridModel_ = std::make_unique<LogGridModel>();
  Grid_->setModel(GridModel_.get());
  connect(GridModel_.get(), &LogGridModel::CurrentRowChanged, this, [this](int row) {
    if (row >= 0) {
      Grid_->selectRow(row);
      Grid_->scrollTo(GridModel_->index(row, 0));
    } else {
      Grid_->clearSelection();
    }
  });
  Connect();
  InstallDialogs();
  InstallFilters();
}

TVedoruzEzu::~TVedoruzEzu() {
  // No more events reach the controller while the widgets go away.
  Started_ = false;
  disconnect(qApp, nullptr, this, nullptr);
  // The grid's link leaves the log before the controller closes it.
  Grid_->setModel(nullptr);
  GridModel_.reset();
  HamScope_.reset();
  Controller_.reset();
}

void TVedoruzEzu::Register(Ctl c, QWidget* w) {
  w->setObjectName(QString::fromLatin1(CtlName(c)));
  Widgets_[static_cast<size_t>(c)] = w;
}

void TVedoruzEzu::BuildWidgets() {
  auto* central = new QWidget(this);
  setCentralWidget(central);
  auto* main = new QVBoxLayout(central);
  main->setContentsMargins(1, 1, 1, 1);
  main->setSpacing(4);

  // ---- banner, entry count, clock, totals
  auto* top = new QHBoxLayout();
  auto* logTyp = Panel(central);
  QFont bold = logTyp->font();
  bold.setBold(true);
  bold.setPointSize(bold.pointSize() + 2);
  logTyp->setFont(bold);
  logTyp->setMinimumWidth(320);
  Register(Ctl::LogTypInf, logTyp);
  top->addWidget(logTyp);
  auto* logNr = Panel(central);
  logNr->setMinimumWidth(130);
  Register(Ctl::LogNr, logNr);
  top->addWidget(logNr);
  top->addWidget(Caption("UTC", central));
  auto* clock = Panel(central);
  clock->setFont(bold);
  clock->setMinimumWidth(60);
  clock->setAlignment(Qt::AlignCenter);
  Register(Ctl::ClockPanel, clock);
  top->addWidget(clock);
  top->addStretch(1);
  auto* qsoPanel = new QFrame(central);
  qsoPanel->setFrameShape(QFrame::StyledPanel);
  auto* totals = new QGridLayout(qsoPanel);
  totals->setContentsMargins(4, 2, 4, 2);
  const std::pair<Ctl, const char*> totalPanels[] = {{Ctl::TlIBM, "IBM"},
                                                     {Ctl::TLNonIBM, "Non IBM"},
                                                     {Ctl::TlPoints, "Points"},
                                                     {Ctl::TlMult, "Mults"},
                                                     {Ctl::TlScore, "Score"}};
  int col = 0;
  for (const auto& [ctl, caption] : totalPanels) {
    totals->addWidget(Caption(caption, qsoPanel), 0, col);
    auto* p = Panel(qsoPanel);
    p->setMinimumWidth(55);
    p->setAlignment(Qt::AlignCenter);
    Register(ctl, p);
    totals->addWidget(p, 1, col++);
  }
  Register(Ctl::QSOPanel, qsoPanel);
  top->addWidget(qsoPanel);
  main->addLayout(top);

  // ---- the entry fields
  auto* entry = new QGridLayout();
  entry->setHorizontalSpacing(6);
  entry->setVerticalSpacing(1);
  auto edit = [&](Ctl c) {
    auto* e = new QLineEdit(central);
    Register(c, e);
    return e;
  };
  auto combo = [&](Ctl c) {
    auto* e = DropDown(central);
    Register(c, e);
    return e;
  };
  auto header = [&](Ctl c, const char* text) {
    auto* l = Caption(text, central);
    Register(c, l);
    return l;
  };
  // A caption over its field, spanning span columns.
  auto captioned = [&](const char* caption, QWidget* field, int row, int column, int span = 1) {
    entry->addWidget(Caption(caption, central), row, column, 1, span);
    entry->addWidget(field, row + 1, column, 1, span);
  };
  captioned("Call", edit(Ctl::CallEntered), 0, 0);
  captioned("Date (UTC)", edit(Ctl::QSODate), 0, 1);
  captioned("Time", edit(Ctl::TimeST), 0, 2);
  captioned("Frq (MHz)", combo(Ctl::FreqEntered), 0, 3);
  captioned("Mode", combo(Ctl::Mode), 0, 4);
  auto reportCell = [&](Ctl hdr, Ctl report, Ctl sep, Ctl serial, int column) {
    entry->addWidget(header(hdr, ""), 0, column);
    auto* cell = new QHBoxLayout();
    cell->setSpacing(2);
    cell->addWidget(edit(report));
    auto* dash = Caption("-", central);
    Register(sep, dash);
    cell->addWidget(dash);
    cell->addWidget(edit(serial));
    cell->addStretch(1);
    entry->addLayout(cell, 1, column);
  };
  reportCell(Ctl::RSTSentHdr, Ctl::RSTSent, Ctl::RSTSentSep, Ctl::NumSent, 5);
  reportCell(Ctl::RSTRcvdHdr, Ctl::RSTRcvd, Ctl::RSTRcvdSep, Ctl::RSTNumRcvd, 6);
  entry->addWidget(header(Ctl::TimeEndHdr, "End Time"), 0, 7);
  entry->addWidget(edit(Ctl::TimeEndFld), 1, 7);
  auto* ibm = new QCheckBox(QStringLiteral("IBM Member"), central);
  Register(Ctl::IBM, ibm);
  entry->addWidget(ibm, 1, 8);
  auto* f11 = header(Ctl::F11Text, "[F11] toggles IBM");
  entry->addWidget(f11, 0, 8);

  captioned("First Name", edit(Ctl::NameFld), 2, 0);
  captioned("Last Name", edit(Ctl::LName), 2, 1, 2);
  captioned("City", edit(Ctl::CityFld), 2, 3, 2);
  captioned("State", combo(Ctl::StateFLD), 2, 5);
  captioned("Country", edit(Ctl::CountryFLD), 2, 6);
  captioned("Cont", combo(Ctl::ContinentFLD), 2, 7);
  entry->addWidget(header(Ctl::NotesHdr, "Notes"), 2, 8);
  entry->addWidget(edit(Ctl::Notes), 3, 8);
  entry->setColumnStretch(9, 1);
  main->addLayout(entry);

  // ---- extra fields and the QSL boxes
  auto* xtra = new QGroupBox(QStringLiteral(" Additional Information "), central);
  auto* xtraGrid = new QGridLayout(xtra);
  xtraGrid->setVerticalSpacing(1);
  int i = 0;
  for (const XtraCaption& x : kXtraCaptions) {
    const int row = (i / 5) * 2;
    const int column = i % 5;
    xtraGrid->addWidget(Caption(x.Caption, xtra), row, column);
    auto* e = new QLineEdit(xtra);
    Register(x.Field, e);
    xtraGrid->addWidget(e, row + 1, column);
    ++i;
  }
  Register(Ctl::XtraFields, xtra);
  main->addWidget(xtra);
  auto* qsl = new QHBoxLayout();
  const std::pair<Ctl, const char*> qslBoxes[] = {
      {Ctl::QSLSCkBox, "QSL Sent"}, {Ctl::EQSLCkBox, "eQSL Sent"}, {Ctl::LOTWCkBox, "LoTW Sent"}};
  for (const auto& [ctl, caption] : qslBoxes) {
    auto* b = new QCheckBox(QString::fromLatin1(caption), central);
    Register(ctl, b);
    qsl->addWidget(b);
  }
  qsl->addStretch(1);
  main->addLayout(qsl);

  // ---- buttons and choices
  auto* buttons = new QHBoxLayout();
  auto* toolBar = new QFrame(central);
  auto* toolLayout = new QHBoxLayout(toolBar);
  toolLayout->setContentsMargins(3, 0, 3, 0);
  toolLayout->setSpacing(0);
  auto button = [&](Ctl c, const char* caption, QWidget* parent) {
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setAutoDefault(false);
    Register(c, b);
    return b;
  };
  const std::tuple<Ctl, const char*, int> toolButtons[] = {
      {Ctl::AddToLogButton, "Add To Log [Enter]", kAddButtonWidth},
      {Ctl::ClearButton, "Clear Fields [F8]", kClearButtonWidth},
      {Ctl::EditLogBtn, "Edit Log  [F3]", kEditButtonWidth},
      {Ctl::ViewMultBtn, "View Multipliers", kMultButtonWidth}};
  for (const auto& [ctl, caption, width] : toolButtons) {
    auto* b = button(ctl, caption, toolBar);
    b->setFixedWidth(width);
    toolLayout->addWidget(b);
  }
  toolLayout->addStretch(1);
  Register(Ctl::BtnToolBar, toolBar);
  buttons->addWidget(toolBar);
  buttons->addStretch(1);
  buttons->addWidget(button(Ctl::UserGuidBtn, "User Guide [F1]", central));
  buttons->addWidget(button(Ctl::SettingsButton, "Settings [F2]", central));
  buttons->addWidget(button(Ctl::ConnHSBtn, "Conn to HamScope", central));
  buttons->addWidget(button(Ctl::ExitButton, "Exit [F9]", central));
  main->addLayout(buttons);

  auto* choices = new QHBoxLayout();
  auto* lookup = new QGroupBox(QStringLiteral(" Online Lookup "), central);
  auto* lookupLayout = new QHBoxLayout(lookup);
  LookupGroup_ = new QButtonGroup(lookup);
  const char* lookupItems[] = {"hamqth.com", "qrz.com", "hamcall.net", "None"};
  for (int id = 0; id < 4; ++id) {
    auto* r = new QRadioButton(QString::fromLatin1(lookupItems[id]), lookup);
    LookupGroup_->addButton(r, id);
    lookupLayout->addWidget(r);
  }
  Register(Ctl::OnlineLookup, lookup);
  choices->addWidget(lookup);
  auto* output = new QGroupBox(QStringLiteral(" Log Output Format "), central);
  auto* outputLayout = new QHBoxLayout(output);
  OutputGroup_ = new QButtonGroup(output);
  const char* outputItems[] = {"Print", "Export to File"};
  for (int id = 0; id < 2; ++id) {
    auto* r = new QRadioButton(QString::fromLatin1(outputItems[id]), output);
    OutputGroup_->addButton(r, id);
    outputLayout->addWidget(r);
  }
  output->setToolTip(QStringLiteral("2nd: Select Output Format"));
  Register(Ctl::OutFmtRadGrp, output);
  choices->addWidget(output);
  choices->addStretch(1);
  main->addLayout(choices);

  auto* stat = Panel(central);
  stat->setMinimumHeight(26);
  QFont statFont = stat->font();
  statFont.setBold(true);
  stat->setFont(statFont);
  Register(Ctl::StatPanel, stat);
  main->addWidget(stat);

  Grid_ = new QTableView(central);
  Grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  Grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  Grid_->verticalHeader()->setDefaultSectionSize(20);
  Grid_->horizontalHeader()->setStyleSheet(
      QStringLiteral("QHeaderView::section { background-color: %1; color: %2; font-weight: bold; }")
          .arg(gui::WinColor(kWinPurple).name(), gui::WinColor(kWinYellow).name()));
  Register(Ctl::BrDBGrid, Grid_);
  main->addWidget(Grid_, 1);

  for (const FieldSize& f : kFieldWidths) Widget(f.Field)->setFixedWidth(f.Width);
  auto* numSent = static_cast<QLineEdit*>(Widget(Ctl::NumSent));
  numSent->setReadOnly(true);
  numSent->setFocusPolicy(Qt::ClickFocus);  // skipped by Tab

  // Tab order of a contact.
  const Ctl tabOrder[] = {Ctl::QSODate, Ctl::FreqEntered, Ctl::Mode, Ctl::CallEntered, Ctl::TimeST,
                          Ctl::RSTSent, Ctl::RSTRcvd, Ctl::RSTNumRcvd, Ctl::NameFld, Ctl::LName,
                          Ctl::CityFld, Ctl::StateFLD, Ctl::CountryFLD, Ctl::ContinentFLD, Ctl::IBM,
                          Ctl::Notes, Ctl::TimeEndFld, Ctl::QSLSCkBox, Ctl::EQSLCkBox, Ctl::LOTWCkBox};
  QWidget* previous = nullptr;
  auto chain = [&](QWidget* w) {
    if (previous != nullptr) setTabOrder(previous, w);
    previous = w;
  };
  for (Ctl c : tabOrder) chain(Widget(c));
  for (Ctl c : kXtraFields) chain(Widget(c));

  Looks_[static_cast<size_t>(Ctl::StatPanel)] = {true, kWinWhite, true, kWinBlack};
  Looks_[static_cast<size_t>(Ctl::CallEntered)] = {false, 0, true, kWinBlue};
  Looks_[static_cast<size_t>(Ctl::ViewMultBtn)] = {false, 0, true, kWinBlue};
  for (Ctl c : {Ctl::StatPanel, Ctl::CallEntered, Ctl::ViewMultBtn}) ApplyLook(c);

  for (QTimer*& t : Timers_) t = new QTimer(this);
}

void TVedoruzEzu::Connect() {
  auto click = [this](Ctl c, void (MainController::*handler)()) {
    auto* b = static_cast<QAbstractButton*>(Widget(c));
    connect(b, &QAbstractButton::clicked, this, [this, handler] { Handle([&] { (Controller_.get()->*handler)(); }); });
  };
  // A mouse press on Add To Log moves the focus to it first, and the field
  // left runs its exit check; a check that refused its field refuses the
  // click as well, so a value the check turned down is never logged.
  connect(static_cast<QAbstractButton*>(Widget(Ctl::AddToLogButton)), &QAbstractButton::clicked, this, [this] {
    if (RefusedFocusTarget_ == Widget(Ctl::AddToLogButton)) {
      RefusedFocusTarget_ = nullptr;
      return;
    }
    Handle([&] { Controller_->AddToLogButtonClick(); });
  });
  click(Ctl::ClearButton, &MainController::ClearButtonClick);
  click(Ctl::EditLogBtn, &MainController::EditLogBtnClick);
  click(Ctl::ViewMultBtn, &MainController::ViewMultBtnClick);
  click(Ctl::UserGuidBtn, &MainController::UserGuidBtnClick);
  click(Ctl::SettingsButton, &MainController::SettingsButtonClick);
  click(Ctl::ExitButton, &MainController::ExitButtonClick);
  click(Ctl::ConnHSBtn, &MainController::ConnHSBtnClick);
  click(Ctl::IBM, &MainController::IBMClick);
  connect(LookupGroup_, &QButtonGroup::idClicked, this,
          [this](int) { Handle([&] { Controller_->OnlineLookupClick(); }); });
  auto* mode = static_cast<QComboBox*>(Widget(Ctl::Mode));
  connect(mode, &QComboBox::currentTextChanged, this,
          [this](const QString&) { Handle([&] { Controller_->FieldChange(Ctl::Mode); }); });
  connect(Timer(MainTimer::Clock), &QTimer::timeout, this, [this] { Handle([&] { Controller_->Timer1Timer(); }); });
  connect(Timer(MainTimer::Notice), &QTimer::timeout, this, [this] { Handle([&] { Controller_->Timer2Timer(); }); });
  connect(Timer(MainTimer::Backup), &QTimer::timeout, this, [this] { Handle([&] { Controller_->BackupTimer(); }); });
  connect(qApp, &QApplication::focusChanged, this, &TVedoruzEzu::OnFocusChanged);
}

void TVedoruzEzu::InstallFilters() {
  installEventFilter(this);
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
}

void TVedoruzEzu::Handle(const std::function<void()>& handler) {
  // A running handler is a modal scope: the link's events that arrive inside
  // it (through a message box's event loop) run when it has ended.
  ++HandlerDepth_;
  Controller_->EnterModalScope();
  gui::Guarded(handler);
  Controller_->LeaveModalScope();
  --HandlerDepth_;
}

void TVedoruzEzu::Start() {
  Handle([&] { Controller_->FormCreate(); });
  if (Controller_->HasLog()) Handle([&] { GridModel_->SetDataSet(&Controller_->LogData()); });
  if (HasPlacement_ && Placement_.Width > 0 && Placement_.Height > 0)
    setGeometry(Placement_.Left, Placement_.Top, Placement_.Width, Placement_.Height);
  if (HasPlacement_ && Placement_.Status == 3)
    showMaximized();
  else
    show();
  // Status 2: the window starts minimised (once, here).
  if (HasPlacement_ && Placement_.Status == 2) showMinimized();
  Started_ = true;
  if (Controller_->HasLog()) Handle([&] { Controller_->FormActivate(); });
}

// ------------------------------------------------------------------ events

Ctl TVedoruzEzu::CtlOf(const QObject* object) const {
  for (const QObject* o = object; o != nullptr && o != this; o = o->parent()) {
    for (size_t i = 0; i < Widgets_.size(); ++i)
      if (Widgets_[i] == o) return static_cast<Ctl>(i);
  }
  return Ctl::Count;
}

void TVedoruzEzu::OnFocusChanged(QWidget* old, QWidget* now) {
  if (HandlerDepth_ > 0 || !Started_) return;
  if (old == nullptr || now == nullptr || old->window() != this || now->window() != this) return;
  const Ctl from = CtlOf(old);
  const Ctl to = CtlOf(now);
  if (from == to) return;
  FocusMovedByHandler_ = false;
  RefusedFocusTarget_ = nullptr;
  bool accepted = true;
  if (from != Ctl::Count) Handle([&] { accepted = Controller_->FieldExit(from); });
  if (!accepted) RefusedFocusTarget_ = now;
  if (!FocusMovedByHandler_ && to != Ctl::Count) Handle([&] { Controller_->FieldEnter(to); });
}

bool TVedoruzEzu::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || !Started_) return QMainWindow::eventFilter(watched, event);
  auto* w = qobject_cast<QWidget*>(watched);
  if (w == nullptr || w->window() != this || QApplication::activePopupWidget() != nullptr)
    return QMainWindow::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);

  const HotKey hot = HotKeyOf(key->key());
  if (hot != HotKey::Other) {
    Handle([&] { Controller_->FormKeyDown(hot); });
    return true;
  }
  Handle([&] { Controller_->FormKeyDown(HotKey::Other); });
  if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
    // A focused button takes Enter as its click; in any other control Enter
    // presses the default button, Add To Log, after the control's exit check.
    if (auto* button = qobject_cast<QPushButton*>(watched)) {
      button->click();
      return true;
    }
    const Ctl field = CtlOf(watched);
    Handle([&] { Controller_->AddToLogByEnter(field); });
    return true;
  }

  const Ctl field = CtlOf(watched);
  QLineEdit* line = qobject_cast<QLineEdit*>(watched);
  if (line == nullptr) {
    if (auto* box = qobject_cast<QComboBox*>(watched)) line = box->lineEdit();
  }
  const QString text = key->text();
  if (field == Ctl::Count || line == nullptr || text.size() != 1 || key->key() == Qt::Key_Backspace ||
      text[0].unicode() < 0x20 || text[0].unicode() == 0x7F || (key->modifiers() & Qt::ControlModifier))
    return QMainWindow::eventFilter(watched, event);

  const char typed = gui::CharToCp1252Byte(text[0]);
  char result = 0;
  Handle([&] { result = Controller_->KeyPress(field, typed, line->cursorPosition()); });
  if (result == 0) return true;  // refused
  if (result == typed && typed != '?') return QMainWindow::eventFilter(watched, event);
  line->insert(QString(gui::Cp1252ByteToChar(result)));
  return true;
}

void TVedoruzEzu::closeEvent(QCloseEvent* event) {
  if (!ClosingHandled_ && Started_) {
    ClosingHandled_ = true;
    Handle([&] { Controller_->FormClose(); });
  }
  event->accept();
}

void TVedoruzEzu::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (Started_) Handle([&] { Controller_->FormResize(); });
}

// ------------------------------------------------------------------ MainView

std::string TVedoruzEzu::Text(Ctl c) const {
  QWidget* w = Widget(c);
  if (auto* e = qobject_cast<QLineEdit*>(w)) return ToCp1252(e->text());
  if (auto* b = qobject_cast<QComboBox*>(w)) return ToCp1252(b->currentText());
  if (auto* l = qobject_cast<QLabel*>(w)) return ToCp1252(l->text());
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return ToCp1252(b->text());
  if (auto* g = qobject_cast<QGroupBox*>(w)) return ToCp1252(g->title());
  return {};
}

void TVedoruzEzu::SetText(Ctl c, std::string_view text) {
  QWidget* w = Widget(c);
  const QString s = FromCp1252(text);
  if (auto* e = qobject_cast<QLineEdit*>(w))
    e->setText(s);
  else if (auto* b = qobject_cast<QComboBox*>(w))
    b->setEditText(s);
  else if (auto* l = qobject_cast<QLabel*>(w))
    l->setText(s);
  else if (auto* b = qobject_cast<QAbstractButton*>(w))
    b->setText(s);
  else if (auto* g = qobject_cast<QGroupBox*>(w))
    g->setTitle(s);
}

bool TVedoruzEzu::Checked(Ctl c) const {
  auto* b = qobject_cast<QAbstractButton*>(Widget(c));
  return b != nullptr && b->isChecked();
}

void TVedoruzEzu::SetChecked(Ctl c, bool checked) {
  if (auto* b = qobject_cast<QAbstractButton*>(Widget(c))) b->setChecked(checked);
}

bool TVedoruzEzu::Visible(Ctl c) const { return !Widget(c)->isHidden(); }

void TVedoruzEzu::SetVisible(Ctl c, bool visible) { Widget(c)->setVisible(visible); }

int32_t TVedoruzEzu::Width(Ctl c) const {
  QWidget* w = Widget(c);
  return w->minimumWidth() == w->maximumWidth() ? w->maximumWidth() : w->width();
}

void TVedoruzEzu::SetWidth(Ctl c, int32_t pixels) {
  // The grid fills the window's width through the layout.
  if (c == Ctl::BrDBGrid) return;
  Widget(c)->setFixedWidth(pixels);
}

void TVedoruzEzu::SetHeight(Ctl c, int32_t pixels) { Widget(c)->setFixedHeight(pixels); }

void TVedoruzEzu::SetMaxLength(Ctl c, int32_t chars) {
  QWidget* w = Widget(c);
  if (auto* e = qobject_cast<QLineEdit*>(w))
    e->setMaxLength(chars);
  else if (auto* b = qobject_cast<QComboBox*>(w))
    b->lineEdit()->setMaxLength(chars);
}

void TVedoruzEzu::SetFontSize(Ctl c, int32_t points) {
  QWidget* w = Widget(c);
  QFont f = w->font();
  f.setPointSize(points);
  w->setFont(f);
}

void TVedoruzEzu::ApplyLook(Ctl c) {
  const Look& look = Looks_[static_cast<size_t>(c)];
  QString sheet;
  if (look.HasBack) sheet += QStringLiteral("background-color: %1; ").arg(gui::WinColor(look.Back).name());
  if (look.HasFore) sheet += QStringLiteral("color: %1; ").arg(gui::WinColor(look.Fore).name());
  Widget(c)->setStyleSheet(sheet);
}

void TVedoruzEzu::SetColor(Ctl c, uint32_t winColor) {
  Look& look = Looks_[static_cast<size_t>(c)];
  if (look.HasBack && look.Back == winColor) return;  // style sheets are costly to re-apply
  look.HasBack = true;
  look.Back = winColor;
  ApplyLook(c);
}

void TVedoruzEzu::SetFontColor(Ctl c, uint32_t winColor) {
  Look& look = Looks_[static_cast<size_t>(c)];
  if (look.HasFore && look.Fore == winColor) return;
  look.HasFore = true;
  look.Fore = winColor;
  ApplyLook(c);
}

void TVedoruzEzu::SetItems(Ctl c, const std::vector<std::string>& items) {
  auto* b = qobject_cast<QComboBox*>(Widget(c));
  if (b == nullptr) return;
  const QString text = b->currentText();
  const QSignalBlocker block(b);
  b->clear();
  for (const std::string& item : items) b->addItem(FromCp1252(item));
  b->setCurrentIndex(-1);
  b->setEditText(text);
}

int32_t TVedoruzEzu::ItemIndex(Ctl c) const {
  if (c == Ctl::OnlineLookup) return LookupGroup_->checkedId();
  if (c == Ctl::OutFmtRadGrp) return OutputGroup_->checkedId();
  return -1;
}

void TVedoruzEzu::SetItemIndex(Ctl c, int32_t index) {
  QButtonGroup* group = c == Ctl::OnlineLookup ? LookupGroup_ : c == Ctl::OutFmtRadGrp ? OutputGroup_ : nullptr;
  if (group == nullptr) return;
  if (QAbstractButton* b = group->button(index)) {
    b->setChecked(true);
  } else if (QAbstractButton* checked = group->checkedButton()) {
    group->setExclusive(false);
    checked->setChecked(false);
    group->setExclusive(true);
  }
}

void TVedoruzEzu::Focus(Ctl c) {
  QWidget* w = Widget(c);
  if (w == nullptr) return;
  FocusMovedByHandler_ = true;
  w->setFocus(Qt::OtherFocusReason);
}

Ctl TVedoruzEzu::FocusedControl() const { return CtlOf(focusWidget()); }

void TVedoruzEzu::SetGridColumnVisible(int32_t column, bool visible) { Grid_->setColumnHidden(column, !visible); }

int32_t TVedoruzEzu::ClientWidth() const { return centralWidget()->width(); }

void TVedoruzEzu::SetTimerEnabled(MainTimer timer, bool enabled) {
  QTimer* t = Timer(timer);
  if (enabled && !t->isActive())
    t->start();
  else if (!enabled)
    t->stop();
}

void TVedoruzEzu::SetTimerInterval(MainTimer timer, int32_t ms) {
  Timer(timer)->setInterval(ms);
}

bool TVedoruzEzu::IsActiveWindow() const { return isActiveWindow(); }

WindowState TVedoruzEzu::CurrentWindowState() const {
  if (isMinimized()) return WindowState::Minimized;
  if (isMaximized()) return WindowState::Maximized;
  return WindowState::Normal;
}

bool TVedoruzEzu::Message(const std::string& kind, const std::string& text) {
  if (MessageHook_) return MessageHook_(kind, text);
  const QString title = FromCp1252(kProgramName);
  if (kind == "confirm")
    return QMessageBox::question(this, title, BoxText(text), QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  if (kind == "information")
    QMessageBox::information(this, title, BoxText(text));
  else
    QMessageBox::warning(this, title, BoxText(text));
  return true;
}

void TVedoruzEzu::ShowError(const std::string& text) {
  if (MessageHook_)
    MessageHook_("error", text);
  else
    gui::ReportError(text);
}

void TVedoruzEzu::Inform(const std::string& text) { Message("information", text); }
void TVedoruzEzu::Warn(const std::string& text) { Message("warning", text); }
bool TVedoruzEzu::Confirm(const std::string& text) { return Message("confirm", text); }

void TVedoruzEzu::OpenUrl(const std::string& url) {
  const QString s = FromCp1252(url);
  const QUrl u = (s.startsWith(QLatin1String("http://")) || s.startsWith(QLatin1String("https://")))
                     ? QUrl(s)
                     : QUrl::fromLocalFile(s);
  if (UrlOpener_)
    UrlOpener_(u);
  else
    QDesktopServices::openUrl(u);
}

void TVedoruzEzu::CloseWindow() { close(); }

void TVedoruzEzu::RunSettingsDialog() {
  if (SettingsDialog_) SettingsDialog_();
}

void TVedoruzEzu::SetTitle(const std::string& title) { setWindowTitle(FromCp1252(title)); }

WindowPlacement TVedoruzEzu::CurrentPlacement() {
  const QRect g = isVisible() ? normalGeometry() : geometry();
  WindowPlacement p;
  p.Top = g.y();
  p.Left = g.x();
  p.Width = g.width();
  p.Height = g.height();
  return p;
}

void TVedoruzEzu::ApplyPlacement(const WindowPlacement& placement) {
  Placement_ = placement;
  HasPlacement_ = true;
}

// ------------------------------------------------------------------- entry

struct ProgramDatabases::Parts {
  bool OwnRuntime = false;
  gui::QtEngineUi Ui;
  EngineTableFactory Tables;
};

ProgramDatabases::ProgramDatabases() {
  const bool wasUp = TVLMComponentRuntime::IsStarted();
  TVLMComponentRuntime::Start();
  Parts_ = std::make_unique<Parts>();
  Parts_->OwnRuntime = !wasUp;
  VLMSetEngineUi(&Parts_->Ui);
}

ProgramDatabases::~ProgramDatabases() {
  VLMSetEngineUi(nullptr);
  const bool ownRuntime = Parts_->OwnRuntime;
  Parts_.reset();
  if (ownRuntime) TVLMComponentRuntime::Shutdown();
}

TableFactory& ProgramDatabases::Tables() { return Parts_->Tables; }

int RunProgram(int argc, char** argv) {
  const std::string folder = ProgramFolder();
  gui::SingleInstance instance;
  if (!instance.Acquire(folder + gui::kInstanceLockName)) {
    // Another copy runs in this program folder: end at once, silently.
    if (instance.ErrorText().empty()) return 0;
    // The lock file cannot be made (a read-only folder): run unguarded.
    std::fprintf(stderr, "%s\n", instance.ErrorText().c_str());
  }
  gui::GuardedApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quorvex"));
  gui::SetErrorBoxTitle(std::string(kProgramName));
  SettingsStore settings(SettingsStore::DefaultPath());
  ProgramDatabases databases;
  TVedoruzEzu window(databases.Tables(), settings, folder);
  window.Start();
  return app.exec();
}

}  // namespace qv::app
