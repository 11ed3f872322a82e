// The log's outputs and what they share: the printed report, the CSV export
// of the IBM QSO Party and the Cabrillo export of every other log are each a
// LogOutput, fed the log's contacts in contact order by one walk (WriteLog).
//
// The member cap: while non-member contacts outnumber member contacts (N >
// M), an output that shows points shows the first M non-member contacts
// (those whose stored Points is "1") with 1 point and every later one with 0.
// The cap is computed during the walk; the stored log is never written, so an
// output that fails midway leaves the log as it was.
//
// File exports are written as they are made, some kilobytes at a time (a
// large log is never held in memory whole), to a temporary file in the log
// folder that replaces the target by a rename only when complete: a failed
// export never destroys an earlier file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/Settings.h"

namespace qv {
class DataSet;
class File;
}

namespace qv::app {

class AppUi;
class LogTable;
class ReportPrinter;
struct AppState;
struct QsoRecord;

inline constexpr std::string_view kSortHeader = "Sorted by Contact Sequence";
inline constexpr std::string_view kSortCode = "CS";

// Everything an output reads besides the log itself.
struct OutputContext {
  std::string ExeDir;   // with trailing '/'
  std::string LogName;
  StationSettings Station;
  ContestKind Kind = ContestKind::GP;
  std::string ProgramVersion;
  int32_t MemberCount = 0;     // M of the score totals
  int32_t NonMemberCount = 0;  // N
  // The texts of the points, multiplier and score panels.
  std::string PointsText;
  std::string MultText;
  std::string ScoreText;
  std::string SortHeader = std::string(kSortHeader);
  std::string SortCode = std::string(kSortCode);
  double LocalNow = 0;  // local date-time of a print
};
// The context of the current state; localNow is the print date.
OutputContext MakeOutputContext(const AppState& state, double localNow);

class LogOutput {
public:
  virtual ~LogOutput() = default;
  // True when the output shows points (the member cap applies).
  virtual bool UsesMemberCap() const = 0;
  // True when the output looks at every contact (Survey) before it writes
  // any: a choice that must hold for the whole log.
  virtual bool WantsSurvey() const { return false; }
  virtual void Survey(const QsoRecord&) {}
  // Before the first contact; first is the log's first record.
  virtual void Begin(const QsoRecord& first) = 0;
  // One contact; points is its Points text after the member cap.
  virtual void Contact(const QsoRecord& qso, const std::string& points) = 0;
  virtual void End() = 0;
};

// An output that becomes a text file: lines ended by CR LF, 8-bit text as
// stored, no byte-order mark.
class TextExport : public LogOutput {
public:
  // The file's name (no folder).
  virtual std::string FileName(const QsoRecord& first) const = 0;
  // From now on the lines go to out, a part at a time; Flush writes what is
  // left. Without out they gather in Text().
  void WriteTo(File* out) { Out_ = out; }
  void Flush();
  // The lines not written to out.
  const std::string& Text() const { return Text_; }

protected:
  void Line(std::string_view line);

private:
  std::string Text_;
  File* Out_ = nullptr;
  int64_t Written_ = 0;
};

// The cap's running state over one walk.
class MemberCap {
public:
  MemberCap(int32_t memberCount, int32_t nonMemberCount)
      : Active_(nonMemberCount > memberCount), Members_(memberCount) {}
  bool Active() const { return Active_; }
  // The Points text to show for a record that stores stored.
  const std::string& Points(const std::string& stored);

private:
  bool Active_;
  int32_t Members_;
  int32_t Seen_ = 0;  // records so far whose Points is "1"
};

// Feeds every record of the open log, from the first in the current order,
// to out (a Survey pass first when out wants one, then Begin, Contact...,
// End). Raises whatever out raises; a conversion error of one contact
// (a stored value that is no number) names that contact by date, time and
// call.
void WriteLog(DataSet& log, LogOutput& out, const OutputContext& context);

// The export road shared by CSV and Cabrillo: "Log is empty, Export aborted!"
// for an empty log; the overwrite question for an existing file (No: nothing
// written); the file written atomically in the log folder; the report of the
// created file. True when the file was written.
bool ExportToFile(TextExport& output, LogTable& log, const OutputContext& context, AppUi& ui);

// The output choice (items "Print" and "Export to File").
enum class OutputChoice : uint8_t { Print = 0, ExportToFile = 1 };

// The output choice's click, between the window's saving and restoring of
// the frequency field and the choice's selection: reopens the log in
// contact order, runs the print, the CSV export (contest "IBM") or the
// Cabrillo export (every other log), then shows NextSerial as "%4.3d" in
// the sent-serial text and reopens the log on its last record.
void RunOutput(OutputChoice choice, AppState& state, LogTable& log, AppUi& ui, ReportPrinter& printer,
               double localNow);

// Text helpers of the output formats.
// The text followed by blanks up to width; a longer text stays whole.
std::string PadRight(int32_t width, std::string_view text);
// The text as a whole number (blanks around allowed) formatted "%4.4d";
// EConvertError when it is not one.
std::string Serial4(std::string_view text);
// The same formatted "%4.3d".
std::string Serial3(std::string_view text);

}  // namespace qv::app
