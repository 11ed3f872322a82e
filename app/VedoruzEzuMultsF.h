// The "View Multipliers" dialog TVedoruzEzuMults: a read-only list of the
// multipliers of the IBM QSO Party log, one line per band and country with
// the contact that first earned it (MultiplierList). Built once, when made.
#pragma once

#include <QDialog>

class QTreeWidget;

namespace qv::app {

class BandTable;

class TVedoruzEzuMults : public QDialog {
  Q_OBJECT
public:
  TVedoruzEzuMults(const BandTable& bands, QWidget* parent = nullptr);
  QTreeWidget* MultListView() const { return List_; }

private:
  QTreeWidget* List_;
};

}  // namespace qv::app
