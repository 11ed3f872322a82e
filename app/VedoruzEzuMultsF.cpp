#include "app/VedoruzEzuMultsF.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/MultList.h"
#include "platform/gui/QtText.h"

namespace qv::app {

namespace {
constexpr int kListHeight = 420;
constexpr int kFrame = 30;
}  // namespace

TVedoruzEzuMults::TVedoruzEzuMults(const BandTable& bands, QWidget* parent)
    : QDialog(parent), List_(new QTreeWidget(this)) {
  setObjectName(QStringLiteral("VedoruzEzuMults"));
  setWindowTitle(gui::FromCp1252(kMultViewCaption));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(List_);
  List_->setObjectName(QStringLiteral("MultListView"));
  List_->setRootIsDecorated(false);
  List_->setSelectionMode(QAbstractItemView::SingleSelection);
  List_->setColumnCount(static_cast<int>(kMultListColumns.size()));
  QStringList captions;
  int width = kFrame;
  for (const MultListColumn& c : kMultListColumns) {
    captions << gui::FromCp1252(c.Caption);
    width += c.Width;
  }
  List_->setHeaderLabels(captions);
  for (size_t i = 0; i < kMultListColumns.size(); ++i) {
    const MultListColumn& c = kMultListColumns[i];
    List_->setColumnWidth(static_cast<int>(i), c.Width);
    if (c.Centred) List_->headerItem()->setTextAlignment(static_cast<int>(i), Qt::AlignCenter);
  }
  for (const MultListLine& line : MultiplierList(bands)) {
    auto* item = new QTreeWidgetItem(
        List_, QStringList{gui::FromCp1252(line.QsoCall), gui::FromCp1252(line.Freq), gui::FromCp1252(line.Multiplier)});
    for (size_t i = 0; i < kMultListColumns.size(); ++i)
      if (kMultListColumns[i].Centred) item->setTextAlignment(static_cast<int>(i), Qt::AlignCenter);
  }
  resize(width, kListHeight);
}

}  // namespace qv::app
