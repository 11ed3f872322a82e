#include "platform/gui/BandedReport.h"

#include <QPainter>
#include <QPrinter>

#include "platform/gui/QtText.h"
#include "platform/host/Exception.h"

namespace qv::gui {

namespace {

constexpr double kPointsPerInch = 72;
constexpr double kInchesPerMetre = 39.37007874;

void Place(const ReportBand& band, double top, ReportPage& page) {
  for (const BandText& t : band.Texts) {
    PlacedText p;
    p.Rect = QRectF(t.X, top + t.Y, t.Width, band.Height - t.Y);
    p.Text = t.PageNumber ? t.Text + std::to_string(page.Number) : t.Text;
    p.FontSize = t.FontSize;
    p.Bold = t.Bold;
    p.Align = t.Align;
    page.Texts.push_back(std::move(p));
  }
}

}  // namespace

QPageLayout BandedReport::PageLayout() const {
  const double m = MarginInches;
  return QPageLayout(QPageSize(PageSize), Orientation, QMarginsF(m, m, m, m), QPageLayout::Inch);
}

QSizeF BandedReport::BodySize() const {
  const QRectF body = PageLayout().paintRect(QPageLayout::Inch);
  return body.size() * kUnitsPerInch;
}

std::vector<ReportPage> BandedReport::Paginate(double bodyHeight) const {
  std::vector<ReportPage> pages;
  double y = 0;
  bool pageHasDetail = false;
  auto startPage = [&] {
    pages.push_back(ReportPage{static_cast<int32_t>(pages.size()) + 1, {}, {}});
    y = 0;
    pageHasDetail = false;
    if (pages.size() == 1) {
      Place(Title, y, pages.back());
      y += Title.Height;
    }
    Place(PageHeader, y, pages.back());
    y += PageHeader.Height;
    if (PageHeader.RuleBelow) pages.back().Rules.emplace_back(0, y, BodySize().width(), y);
  };
  startPage();
  for (const ReportBand& band : Details) {
    if (pageHasDetail && y + band.Height > bodyHeight) startPage();
    Place(band, y, pages.back());
    y += band.Height;
    if (band.RuleBelow) pages.back().Rules.emplace_back(0, y, BodySize().width(), y);
    pageHasDetail = true;
  }
  return pages;
}

void BandedReport::SetUpPrinter(QPrinter& printer) const {
  printer.setPageLayout(PageLayout());
  printer.setDocName(FromCp1252(DocumentName));
}

std::vector<ReportPage> BandedReport::Print(QPrinter& printer) const {
  const QRectF body = printer.pageLayout().paintRect(QPageLayout::Inch);
  std::vector<ReportPage> pages = Paginate(body.height() * kUnitsPerInch);
  if (printer.printRange() == QPrinter::PageRange && printer.fromPage() > 0) {
    const int32_t from = printer.fromPage();
    const int32_t to = printer.toPage() > 0 ? printer.toPage() : from;
    std::erase_if(pages, [&](const ReportPage& p) { return p.Number < from || p.Number > to; });
  }
  QPainter painter;
  if (!painter.begin(&printer)) throw Exception("The printer cannot be started");
  bool first = true;
  for (const ReportPage& page : pages) {
    if (!first) printer.newPage();
    first = false;
    RenderPage(painter, page, printer.resolution());
  }
  painter.end();
  return pages;
}

void BandedReport::RenderPage(QPainter& painter, const ReportPage& page, double dpi) const {
  const double scale = dpi / kUnitsPerInch;
  painter.save();
  painter.setPen(Qt::black);
  for (const PlacedText& t : page.Texts) {
    QFont font;
    font.setFamilies(FontFamilies);
    font.setPointSizeF(t.FontSize > 0 ? t.FontSize : FontSize);
    font.setBold(t.Bold);
    painter.setFont(font);
    const QRectF r(t.Rect.x() * scale, t.Rect.y() * scale, t.Rect.width() * scale, t.Rect.height() * scale);
    painter.drawText(r, static_cast<int>(t.Align | Qt::AlignTop) | Qt::TextSingleLine, FromCp1252(t.Text));
  }
  painter.setPen(QPen(Qt::black, std::max(1.0, dpi / kPointsPerInch / 2)));
  for (const QLineF& l : page.Rules)
    painter.drawLine(QLineF(l.x1() * scale, l.y1() * scale, l.x2() * scale, l.y2() * scale));
  painter.restore();
}

QImage BandedReport::PageImage(const ReportPage& page, double dpi) const {
  const QPageLayout layout = PageLayout();
  const QSizeF sheet = layout.fullRect(QPageLayout::Inch).size() * dpi;
  QImage image(sheet.toSize(), QImage::Format_RGB32);
  image.setDotsPerMeterX(static_cast<int>(dpi * kInchesPerMetre));
  image.setDotsPerMeterY(static_cast<int>(dpi * kInchesPerMetre));
  image.fill(Qt::white);
  QPainter painter(&image);
  const QRectF body = layout.paintRect(QPageLayout::Inch);
  painter.translate(body.x() * dpi, body.y() * dpi);
  RenderPage(painter, page, dpi);
  return image;
}

}  // namespace qv::gui
