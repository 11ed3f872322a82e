// A small banded report: a title band on the first page, a page header band
// at the top of every page and one detail band per record below it, laid out
// on pages and printed through QPrinter (or drawn into an image).
//
// Units: a report unit is 1/96 inch, the unit of the window designs the bands
// come from; band texts are placed in units from the band's top-left corner,
// and the page body (the page less its margins) is measured in units too.
// Font sizes are points.
//
// Pagination (Paginate):
//   1. Page 1 starts with the title band, then the page header band; every
//      later page starts with the page header band.
//   2. Detail bands follow in order; a band that would end below the body's
//      bottom starts a new page, unless it is the first detail band of its
//      page (a band taller than the body is placed anyway, never dropped).
//   3. A text marked PageNumber shows its text followed by the page number.
//   4. Every band is placed whole on one page: no band is ever split.
#pragma once

#include <QImage>
#include <QLineF>
#include <QPageLayout>
#include <QPageSize>
#include <QRectF>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

class QPainter;
class QPrinter;

namespace qv::gui {

struct BandText {
  double X = 0;
  double Y = 0;
  double Width = 0;
  std::string Text;     // 8-bit (1252) text
  double FontSize = 0;  // points; 0: the report's size
  bool Bold = false;
  Qt::Alignment Align = Qt::AlignLeft;
  bool PageNumber = false;
};

struct ReportBand {
  double Height = 0;
  std::vector<BandText> Texts;
  bool RuleBelow = false;  // a thin line along the band's bottom
};

// A text where it lands on a page, in units from the body's top-left.
struct PlacedText {
  QRectF Rect;
  std::string Text;
  double FontSize = 0;
  bool Bold = false;
  Qt::Alignment Align = Qt::AlignLeft;
};

struct ReportPage {
  int32_t Number = 0;  // from 1
  std::vector<PlacedText> Texts;
  std::vector<QLineF> Rules;
};

class BandedReport {
public:
  static constexpr double kUnitsPerInch = 96;

  QPageSize::PageSizeId PageSize = QPageSize::Letter;
  QPageLayout::Orientation Orientation = QPageLayout::Landscape;
  double MarginInches = 0.5;
  QStringList FontFamilies = {QStringLiteral("Arial"), QStringLiteral("Liberation Sans")};
  double FontSize = 9;
  std::string DocumentName;

  ReportBand Title;
  ReportBand PageHeader;
  std::vector<ReportBand> Details;

  // The page set-up above as a layout (margins in inches).
  QPageLayout PageLayout() const;
  // The body of that layout, in units.
  QSizeF BodySize() const;
  std::vector<ReportPage> Paginate(double bodyHeight) const;

  // Gives the printer this report's page set-up and document name; the
  // printer dialog, shown afterwards, may still change them.
  void SetUpPrinter(QPrinter& printer) const;
  // Prints on the printer's current page set-up (the pages of its page range
  // only) and returns the pages printed. Raises Exception when the printer
  // cannot be started.
  std::vector<ReportPage> Print(QPrinter& printer) const;
  // Draws a page with the body's top-left at the painter's origin, on a
  // device of dpi dots per inch.
  void RenderPage(QPainter& painter, const ReportPage& page, double dpi) const;
  // A page as a white image of the whole sheet at dpi (previews, pictures).
  QImage PageImage(const ReportPage& page, double dpi) const;
};

}  // namespace qv::gui
