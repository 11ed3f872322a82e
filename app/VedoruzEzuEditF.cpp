#include "app/VedoruzEzuEditF.h"

#include <QAction>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/AppState.h"
#include "app/LogEditModel.h"
#include "app/MainController.h"
#include "platform/gui/ErrorGuard.h"
#include "platform/gui/QtText.h"
#include "platform/gui/WinColor.h"

namespace qv::app {

using gui::FromCp1252;

namespace {

constexpr uint32_t kEditorColor = 16744576;
constexpr int kGapAfterCallButton = 1;
constexpr int kGapBeforeNumButton = 8;
constexpr int kGapBeforeClose = 30;
// Kept free right of the close button and its hints.
constexpr int kRightMargin = 10;

// A short label and a standard icon per navigator button.
struct NavLook {
  const char* Label;
  QStyle::StandardPixmap Icon;
};
NavLook LookOf(NavBtn b) {
  switch (b) {
    case NavBtn::nbFirst: return {"|<", QStyle::SP_MediaSkipBackward};
    case NavBtn::nbPrior: return {"<", QStyle::SP_ArrowLeft};
    case NavBtn::nbNext: return {">", QStyle::SP_ArrowRight};
    case NavBtn::nbLast: return {">|", QStyle::SP_MediaSkipForward};
    case NavBtn::nbDelete: return {"-", QStyle::SP_TrashIcon};
    case NavBtn::nbEdit: return {"Edit", QStyle::SP_FileDialogContentsView};
    case NavBtn::nbPost: return {"Post", QStyle::SP_DialogApplyButton};
    case NavBtn::nbCancel: return {"Cancel", QStyle::SP_DialogCancelButton};
    case NavBtn::nbRefresh: return {"Refresh", QStyle::SP_BrowserReload};
    case NavBtn::nbInsert: break;
  }
  return {"+", QStyle::SP_FileIcon};
}

}  // namespace

TVedoruzEzuEdit::TVedoruzEzuEdit(MainController& main, MainView& mainView, DialogHooks hooks, QWidget* parent)
    : QDialog(parent), Model_(std::make_unique<LogEditModel>()), Hooks_(std::move(hooks)) {
  setObjectName(QStringLiteral("VedoruzEzuEdit"));
  // Only the maximise box: the editor closes through its own button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMaximizeButtonHint);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, gui::WinColor(kEditorColor));
  setPalette(pal);
  Controller_ = std::make_unique<EditController>(*this, main, mainView);
  Model_->SetWriteRoad([this](const std::function<void()>& action) { return Controller_->RunWrite(action); });
  Build();
  Handle([&] { Model_->SetDataSet(&main.LogData()); });
}

TVedoruzEzuEdit::~TVedoruzEzuEdit() {
  // The grid's link leaves the log before the window goes.
  Grid_->setModel(nullptr);
  Model_.reset();
}

void TVedoruzEzuEdit::Build() {
  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(1, 1, 1, 1);
  main->setSpacing(2);

  auto* search = new QGridLayout();
  search->setHorizontalSpacing(0);
  search->setVerticalSpacing(2);
  SearchIndent_ = new QWidget(this);
  search->addWidget(SearchIndent_, 0, 0);
  CallSrchBtn_ = new QPushButton(QStringLiteral("[F3] CALL Search -->"), this);
  CallSrchBtn_->setObjectName(QStringLiteral("CallSrchBtn"));
  CallSrch_ = new QLineEdit(this);
  CallSrch_->setObjectName(QStringLiteral("CallSrch"));
  NumSrchBtn_ = new QPushButton(QStringLiteral("[F4] S Nr Search-->"), this);
  NumSrchBtn_->setObjectName(QStringLiteral("NumSrchBtn"));
  NumSrch_ = new QLineEdit(this);
  NumSrch_->setObjectName(QStringLiteral("NumSrch"));
  CloseBtn_ = new QPushButton(QStringLiteral("[F9]  CLOSE"), this);
  CloseBtn_->setObjectName(QStringLiteral("CloseWindow"));
  for (QPushButton* b : {CallSrchBtn_, NumSrchBtn_, CloseBtn_}) b->setAutoDefault(false);
  search->addWidget(CallSrchBtn_, 0, 1);
  search->setColumnMinimumWidth(2, kGapAfterCallButton);
  search->addWidget(CallSrch_, 0, 3);
  search->setColumnMinimumWidth(4, kGapBeforeNumButton);
  search->addWidget(NumSrchBtn_, 0, 5);
  search->setColumnMinimumWidth(6, kGapAfterCallButton);
  search->addWidget(NumSrch_, 0, 7);
  search->setColumnMinimumWidth(8, kGapBeforeClose);
  search->addWidget(CloseBtn_, 0, 9);
  search->setColumnStretch(10, 1);
  search->setColumnMinimumWidth(10, kRightMargin);
  auto* info1 = new QLabel(QStringLiteral("State, Country, Continent must be in UPPER CASE"), this);
  info1->setObjectName(QStringLiteral("InfoText1"));
  auto* info2 = new QLabel(QStringLiteral("After making a change, click Check Mark below to Save Change(s)"), this);
  info2->setObjectName(QStringLiteral("InfoText2"));
  search->addWidget(info1, 1, 1, 1, 9, Qt::AlignRight);
  search->addWidget(info2, 2, 1, 1, 9, Qt::AlignRight);
  main->addLayout(search);

  Navigator_ = new QToolBar(this);
  Navigator_->setObjectName(QStringLiteral("EditDBNavigator"));
  Navigator_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  for (const NavButton& nb : kEditNavButtons) {
    const NavLook look = LookOf(nb.Button);
    QAction* a = Navigator_->addAction(style()->standardIcon(look.Icon), QString::fromLatin1(look.Label));
    a->setObjectName(FromCp1252(kNavBtnNames[static_cast<size_t>(nb.Button)]));
    a->setToolTip(FromCp1252(nb.Hint));
    const NavBtn button = nb.Button;
    connect(a, &QAction::triggered, this, [this, button] { Handle([&] { Controller_->NavigatorButton(button); }); });
  }
  main->addWidget(Navigator_);

  Grid_ = new QTableView(this);
  Grid_->setObjectName(QStringLiteral("EditDBGrid"));
  Grid_->setModel(Model_.get());
  Grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  Grid_->verticalHeader()->setDefaultSectionSize(20);
  Grid_->horizontalHeader()->setStyleSheet(
      QStringLiteral("QHeaderView::section { background-color: %1; color: %2; font-weight: bold; }")
          .arg(gui::WinColor(kWinPurple).name(), gui::WinColor(kWinYellow).name()));
  main->addWidget(Grid_, 1);
  connect(Model_.get(), &LogGridModel::CurrentRowChanged, this, [this](int row) {
    if (row < 0) return;
    const int column = std::max(Grid_->currentIndex().column(), 0);
    if (Grid_->currentIndex().row() != row) Grid_->setCurrentIndex(Model_->index(row, column));
    Grid_->scrollTo(Model_->index(row, column));
  });
  connect(Grid_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& now, const QModelIndex&) {
            if (now.isValid()) Handle([&] { Model_->MoveToRow(now.row()); });
          });

  connect(CallSrchBtn_, &QPushButton::clicked, this, [this] { Handle([&] { Controller_->CallSrchBtnClick(); }); });
  connect(NumSrchBtn_, &QPushButton::clicked, this, [this] { Handle([&] { Controller_->NumSrchBtnClick(); }); });
  connect(CloseBtn_, &QPushButton::clicked, this, [this] { Handle([&] { Controller_->CloseWindowClick(); }); });
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
}

void TVedoruzEzuEdit::Handle(const std::function<void()>& handler) { gui::Guarded(handler); }

QAction* TVedoruzEzuEdit::NavigatorAction(NavBtn button) const {
  return Navigator_->findChild<QAction*>(FromCp1252(kNavBtnNames[static_cast<size_t>(button)]));
}

QLineEdit* TVedoruzEzuEdit::SearchField(ECtl c) const { return c == ECtl::CallSrch ? CallSrch_ : NumSrch_; }

void TVedoruzEzuEdit::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (Activated_) return;
  Activated_ = true;
  QTimer::singleShot(0, this, [this] { Handle([&] { Controller_->FormActivate(); }); });
}

void TVedoruzEzuEdit::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  FormResize();
}

// The search row starts an eighth of the way across (a quarter maximised),
// but never so far that the close button and the hints under it would run
// into the right edge: the indent takes only the room the row leaves.
void TVedoruzEzuEdit::FormResize() {
  int row = kGapAfterCallButton * 2 + kGapBeforeNumButton + kGapBeforeClose + kRightMargin;
  for (QWidget* w : {static_cast<QWidget*>(CallSrchBtn_), static_cast<QWidget*>(CallSrch_),
                     static_cast<QWidget*>(NumSrchBtn_), static_cast<QWidget*>(NumSrch_),
                     static_cast<QWidget*>(CloseBtn_)})
    row += w->sizeHint().width();
  const QMargins margins = layout()->contentsMargins();
  const int room = std::max(0, width() - row - margins.left() - margins.right());
  SearchIndent_->setFixedWidth(std::min(width() / (isMaximized() ? 4 : 8), room));
}

bool TVedoruzEzuEdit::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  const int k = key->key();
  if (k == Qt::Key_F3 || k == Qt::Key_F4 || k == Qt::Key_F9) {
    const HotKey hot = k == Qt::Key_F3 ? HotKey::F3 : k == Qt::Key_F4 ? HotKey::F4 : HotKey::F9;
    Handle([&] { Controller_->FormKeyDown(hot); });
    return true;
  }
  if (watched != CallSrch_) return QDialog::eventFilter(watched, event);
  bool taken = false;
  Handle([&] { taken = gui::FilterTypedKey(*CallSrch_, *key, [&](char typed, int) { return Controller_->CallSrchKeyPress(typed); }); });
  return taken || QDialog::eventFilter(watched, event);
}

void TVedoruzEzuEdit::closeEvent(QCloseEvent* event) {
  if (Closing_) {
    event->accept();
    return;
  }
  event->ignore();
  QTimer::singleShot(0, this, [this] { Handle([&] { Controller_->CloseWindowClick(); }); });
}

void TVedoruzEzuEdit::reject() {
  if (Closing_)
    QDialog::reject();
  else
    Handle([&] { Controller_->CloseWindowClick(); });
}

// ----------------------------------------------------------------- EditView

std::string TVedoruzEzuEdit::Text(ECtl c) const { return gui::ToCp1252(SearchField(c)->text()); }

void TVedoruzEzuEdit::SetCaption(const std::string& caption) { setWindowTitle(FromCp1252(caption)); }

void TVedoruzEzuEdit::Maximize() { setWindowState(windowState() | Qt::WindowMaximized); }

void TVedoruzEzuEdit::SetGridColumnVisible(int32_t column, bool visible) { Grid_->setColumnHidden(column, !visible); }

void TVedoruzEzuEdit::Focus(ECtl c) { SearchField(c)->setFocus(Qt::OtherFocusReason); }

bool TVedoruzEzuEdit::ConfirmClose(const std::string& text) { return ShowMessage(this, Hooks_, "confirm3", text); }

void TVedoruzEzuEdit::CloseWindow() {
  Closing_ = true;
  accept();
}

void TVedoruzEzuEdit::Inform(const std::string& text) { ShowMessage(this, Hooks_, "information", text); }
void TVedoruzEzuEdit::Warn(const std::string& text) { ShowMessage(this, Hooks_, "warning", text); }
bool TVedoruzEzuEdit::Confirm(const std::string& text) { return ShowMessage(this, Hooks_, "confirm", text); }

}  // namespace qv::app
