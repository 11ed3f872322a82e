#include "app/VedoruzEzuPrtF.h"

#include <QPrintDialog>
#include <QWidget>

#include "app/ReportContent.h"

namespace qv::app {

namespace {

// Band heights and the places of the labels, in report units (1/96 inch) on
// a body 960 units wide (Letter, landscape, half-inch margins).
constexpr double kTitleHeight = 64;
constexpr double kHeaderHeight = 62;
constexpr double kDetailHeight = 16;
constexpr double kCaptionRow = 42;
constexpr double kBodyWidth = 960;
constexpr double kTitleFont = 16;
constexpr double kHeaderFont = 11;

struct Column {
  double X;
  double Width;
};
constexpr Column kCall{0, 76}, kFreq{80, 40}, kDate{124, 66}, kTime{194, 34};
constexpr Column kRstSent{232, 26}, kSentDash{258, 8}, kNumSent{266, 30};
constexpr Column kRstRcvd{300, 26}, kRcvdDash{326, 8}, kNumRcvd{334, 30};
constexpr Column kCountry{370, 120}, kContinent{494, 20}, kName{518, 80}, kCity{602, 100};
constexpr Column kState{706, 20}, kMode{730, 46}, kStatus{780, 30}, kPoints{814, 36};
// The column captions over the fixed fields, in the order of the design.
constexpr Column kCaptionColumns[] = {kCall, kFreq, kDate, kTime, kCountry, kContinent, kName, kCity, kState, kMode};
static_assert(std::size(kCaptionColumns) == kReportColumnCaptions.size());

gui::BandText Text(const Column& c, std::string text, double y = 0) {
  gui::BandText t;
  t.X = c.X;
  t.Y = y;
  t.Width = c.Width;
  t.Text = std::move(text);
  return t;
}

gui::BandText Styled(gui::BandText t, double fontSize, bool bold) {
  t.FontSize = fontSize;
  t.Bold = bold;
  return t;
}

gui::ReportBand TitleBand(const ReportTitle& t) {
  gui::ReportBand b;
  b.Height = kTitleHeight;
  b.Texts.push_back(Text({0, 80}, t.OwnerLabel, 8));
  b.Texts.push_back(Styled(Text({84, 300}, t.MyCall), kTitleFont, true));
  b.Texts.push_back(Styled(Text({400, 120}, t.ProgramName), kTitleFont, true));
  b.Texts.push_back(Text({520, 80}, t.Version, 8));
  gui::BandText date = Text({600, kBodyWidth - 600}, t.PrintDate, 8);
  date.Align = Qt::AlignRight;
  b.Texts.push_back(date);
  if (t.ShowTotals) {
    constexpr double row = 38;
    b.Texts.push_back(Text({0, 170}, t.IBM, row));
    b.Texts.push_back(Text({180, 190}, t.NonIBM, row));
    b.Texts.push_back(Text({380, 150}, t.Points, row));
    b.Texts.push_back(Text({540, 150}, t.Mult, row));
    b.Texts.push_back(Text({700, 200}, t.Score, row));
  }
  return b;
}

gui::ReportBand HeaderBand(const ReportColumnHeader& h) {
  gui::ReportBand b;
  b.Height = kHeaderHeight;
  b.RuleBelow = true;
  b.Texts.push_back(Styled(Text({0, 200}, h.HdrInfo), kHeaderFont, true));
  b.Texts.push_back(Text({210, 250}, h.HdrSort));
  b.Texts.push_back(Styled(Text({470, 110}, h.StnCall), kHeaderFont, true));
  gui::BandText page = Text({840, kBodyWidth - 840}, std::string(kReportPageCaption));
  page.PageNumber = true;
  page.Align = Qt::AlignRight;
  b.Texts.push_back(page);

  constexpr double row = 20;
  b.Texts.push_back(Text({0, 230}, h.MyCountry, row));
  b.Texts.push_back(Text({240, 160}, h.MyContinent, row));
  if (h.ShowXmtrZone) {
    b.Texts.push_back(Text({410, 120}, h.Xmtr, row));
    b.Texts.push_back(Text({540, 120}, h.Zone, row));
  }

  for (size_t i = 0; i < kReportColumnCaptions.size(); ++i)
    b.Texts.push_back(Styled(Text(kCaptionColumns[i], std::string(kReportColumnCaptions[i]), kCaptionRow), 0, true));
  if (h.ShowSentRcvd) {
    const double sentWidth = kNumSent.X + kNumSent.Width - kRstSent.X;
    b.Texts.push_back(Styled(Text({kRstSent.X, sentWidth}, h.SentLab, kCaptionRow), 0, true));
    b.Texts.push_back(Styled(Text({kRstRcvd.X, sentWidth}, h.RcvdLab, kCaptionRow), 0, true));
  }
  if (h.ShowRstLabels) {
    const double width = kRstRcvd.X - kRstSent.X - 4;
    b.Texts.push_back(Styled(Text({kRstSent.X, width}, h.RstSentLab, kCaptionRow), 0, true));
    b.Texts.push_back(Styled(Text({kRstRcvd.X, width}, h.RstRcvdLab, kCaptionRow), 0, true));
  }
  if (h.ShowPointsStatus) {
    b.Texts.push_back(
        Styled(Text({kStatus.X + h.StatusShift, kStatus.Width + 10}, h.StatusLab, kCaptionRow), 0, true));
    b.Texts.push_back(
        Styled(Text({kPoints.X + h.PointsShift, kPoints.Width + 10}, h.PointsLab, kCaptionRow), 0, true));
  }
  return b;
}

gui::ReportBand DetailBand(const ReportLine& r, const ReportLayout& l) {
  gui::ReportBand b;
  b.Height = kDetailHeight;
  b.Texts.push_back(Text(kCall, r.Call));
  b.Texts.push_back(Text(kFreq, r.Freq));
  b.Texts.push_back(Text(kDate, r.QSODate));
  b.Texts.push_back(Text(kTime, r.TimeStart));
  if (l.ShowReports) {
    const double w = l.ReportWidth > 0 ? l.ReportWidth : kRstSent.Width;
    b.Texts.push_back(Text({kRstSent.X, w}, r.RSTSent));
    b.Texts.push_back(Text({kRstRcvd.X, w}, r.RSTRcvd));
  }
  if (l.ShowDashes) {
    b.Texts.push_back(Text(kSentDash, "-"));
    b.Texts.push_back(Text(kRcvdDash, "-"));
  }
  if (l.ShowSerials) {
    b.Texts.push_back(Text(kNumSent, r.NumSent));
    b.Texts.push_back(Text(kNumRcvd, r.NumRcvd));
  }
  b.Texts.push_back(Text(kCountry, r.Country));
  b.Texts.push_back(Text(kContinent, r.Continent));
  b.Texts.push_back(Text(kName, r.Name));
  b.Texts.push_back(Text(kCity, r.City));
  b.Texts.push_back(Text(kState, r.State));
  b.Texts.push_back(Text(kMode, r.Mode));
  if (l.ShowMemberMark) b.Texts.push_back(Text(kStatus, r.MemberMark));
  if (l.ShowPoints) b.Texts.push_back(Text(kPoints, r.Points));
  if (l.ShowNotes) {
    const double x = kStatus.X + l.NotesOffset;
    b.Texts.push_back(Text({x, kBodyWidth - x}, r.Notes));
  }
  return b;
}

}  // namespace

gui::BandedReport BuildLogReport(const ReportContent& content) {
  gui::BandedReport report;
  report.DocumentName = std::string(kReportCaption);
  report.Title = TitleBand(content.Title);
  report.PageHeader = HeaderBand(content.Header);
  report.Details.reserve(content.Lines.size());
  for (const ReportLine& line : content.Lines) report.Details.push_back(DetailBand(line, content.Layout));
  return report;
}

TVedoruzEzuPrt::TVedoruzEzuPrt(QWidget* parent)
    : Parent_(parent), Printer_(std::make_unique<QPrinter>(QPrinter::HighResolution)) {}

TVedoruzEzuPrt::~TVedoruzEzuPrt() = default;

void TVedoruzEzuPrt::PrintReport(const ReportContent& content) {
  const gui::BandedReport report = BuildLogReport(content);
  report.SetUpPrinter(*Printer_);
  Printed_.clear();
  bool accepted = false;
  if (Dialog_) {
    accepted = Dialog_(*Printer_);
  } else {
    QPrintDialog dialog(Printer_.get(), Parent_);
    accepted = dialog.exec() == QDialog::Accepted;
  }
  if (!accepted) return;
  Printed_ = report.Print(*Printer_);
}

}  // namespace qv::app
