// The banded report on its own, offscreen: which bands land on which page
// for given band heights and page bodies, what a page shows when drawn, and
// the page range of a print.
#include <gtest/gtest.h>

#include <QImage>
#include <QPrinter>
#include <string>
#include <vector>

#include "platform/gui/BandedReport.h"
#include "support/QtTestApp.h"
#include "tests/support/ScratchFolder.h"

namespace qv::gui {
namespace {

BandText Label(double x, const std::string& text, bool pageNumber = false) {
  BandText t;
  t.X = x;
  t.Width = 200;
  t.Text = text;
  t.PageNumber = pageNumber;
  return t;
}

// A report of a title (64 units), a page header (62, ruled below, with the
// page number) and details detail bands of detailHeight, each naming its
// number.
BandedReport MakeReport(int details, double detailHeight) {
  BandedReport r;
  r.Title.Height = 64;
  r.Title.Texts = {Label(0, "TITLE")};
  r.PageHeader.Height = 62;
  r.PageHeader.RuleBelow = true;
  r.PageHeader.Texts = {Label(0, "HEADER"), Label(700, "Page # ", true)};
  for (int i = 1; i <= details; ++i) {
    ReportBand d;
    d.Height = detailHeight;
    d.Texts = {Label(0, "D" + std::to_string(i))};
    r.Details.push_back(d);
  }
  return r;
}

TEST(BandedReportTest, PagesHoldWholeBandsAndShowWhatTheyAreGiven) {
  test::QtTestApp();
  struct Case {
    const char* What;
    int Details;
    double DetailHeight;
    double BodyHeight;
    std::vector<int> DetailsPerPage;
  };
  const Case cases[] = {
      {"no details", 0, 16, 300, {0}},
      {"one page, exactly full", 10, 16, 286, {10}},  // 64 + 62 + 10 x 16
      {"one band more starts a page", 11, 16, 286, {10, 1}},
      {"later pages have no title", 25, 16, 286, {10, 14, 1}},  // (286 - 62) / 16 = 14
      {"a band taller than the body", 2, 400, 300, {1, 1}},     // placed, never dropped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    const BandedReport report = MakeReport(c.Details, c.DetailHeight);
    const std::vector<ReportPage> pages = report.Paginate(c.BodyHeight);
    ASSERT_EQ(pages.size(), c.DetailsPerPage.size());
    int next = 1;
    for (size_t p = 0; p < pages.size(); ++p) {
      const ReportPage& page = pages[p];
      EXPECT_EQ(page.Number, static_cast<int32_t>(p + 1));
      std::vector<std::string> texts;
      for (const PlacedText& t : page.Texts) texts.push_back(t.Text);
      std::vector<std::string> expected;
      if (p == 0) expected.push_back("TITLE");
      expected.push_back("HEADER");
      expected.push_back("Page # " + std::to_string(p + 1));
      for (int i = 0; i < c.DetailsPerPage[p]; ++i) expected.push_back("D" + std::to_string(next++));
      EXPECT_EQ(texts, expected) << "page " << p + 1;
      // The header's rule lies under it; the first detail starts there.
      ASSERT_EQ(page.Rules.size(), 1u);
      const double headerEnd = (p == 0 ? 64 : 0) + 62;
      EXPECT_EQ(page.Rules[0].y1(), headerEnd);
      if (c.DetailsPerPage[p] > 0) {
        EXPECT_EQ(page.Texts[expected.size() - c.DetailsPerPage[p]].Rect.y(), headerEnd);
      }
    }
  }

  // A drawn page shows ink where its texts stand and nowhere below the last.
  const BandedReport report = MakeReport(3, 16);
  const std::vector<ReportPage> pages = report.Paginate(report.BodySize().height());
  ASSERT_EQ(pages.size(), 1u);
  constexpr double kDpi = 96;  // one pixel per unit
  const QImage image = report.PageImage(pages[0], kDpi);
  const QSizeF body = report.BodySize();
  EXPECT_NEAR(image.width(), body.width() + kDpi, 2);  // the sheet: the body and two half-inch margins
  auto inkIn = [&](const QRectF& units) {
    int ink = 0;
    for (int y = static_cast<int>(units.top()); y < static_cast<int>(units.bottom()); ++y)
      for (int x = static_cast<int>(units.left()); x < static_cast<int>(units.right()); ++x)
        if (image.pixelColor(x + 48, y + 48) != QColor(Qt::white)) ++ink;
    return ink;
  };
  for (const PlacedText& t : pages[0].Texts)
    EXPECT_GT(inkIn(QRectF(t.Rect.x(), t.Rect.y(), 60, 14)), 0) << t.Text;
  EXPECT_EQ(inkIn(QRectF(0, 64 + 62 + 3 * 16 + 4, body.width(), 200)), 0);

  // A print of page 2 only prints page 2, with its own number.
  const test::ScratchFolder scratch;
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(scratch.File("report.pdf")));
  const BandedReport longReport = MakeReport(60, 16);
  longReport.SetUpPrinter(printer);
  printer.setPrintRange(QPrinter::PageRange);
  printer.setFromTo(2, 2);
  const std::vector<ReportPage> printed = longReport.Print(printer);
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_EQ(printed[0].Number, 2);
  EXPECT_EQ(printed[0].Texts[1].Text, "Page # 2");
}

}  // namespace
}  // namespace qv::gui
