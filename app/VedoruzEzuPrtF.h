// The printed log report TVedoruzEzuPrt ("Contest Log Print"): lays the
// report's content (ReportContent: title, column header and detail lines per
// log kind) out on the bands of a banded report and prints it on Letter paper,
// landscape, in an Arial-metric font, after the printer dialog. Cancelling the
// dialog prints nothing; the printer keeps its settings from one print to the
// next. One object lives as long as the main window.
#pragma once

#include <QPrinter>
#include <functional>
#include <memory>
#include <vector>

#include "app/AppUi.h"
#include "platform/gui/BandedReport.h"

class QWidget;

namespace qv::app {

struct ReportContent;

// The bands of the log report.
gui::BandedReport BuildLogReport(const ReportContent& content);

class TVedoruzEzuPrt final : public ReportPrinter {
public:
  // parent: the window the printer dialog belongs to.
  explicit TVedoruzEzuPrt(QWidget* parent);
  ~TVedoruzEzuPrt() override;

  void PrintReport(const ReportContent& report) override;

  // Replaces the printer dialog (tests): false cancels the print.
  using PrintDialogHook = std::function<bool(QPrinter& printer)>;
  void SetPrintDialog(PrintDialogHook hook) { Dialog_ = std::move(hook); }
  QPrinter& Printer() { return *Printer_; }
  // The pages of the last print (none after a cancelled one).
  const std::vector<gui::ReportPage>& PrintedPages() const { return Printed_; }

private:
  QWidget* Parent_;
  std::unique_ptr<QPrinter> Printer_;
  PrintDialogHook Dialog_;
  std::vector<gui::ReportPage> Printed_;
};

}  // namespace qv::app
