#include "app/Outputs.h"

#include "app/AppState.h"
#include "app/AppUi.h"
#include "appdata/AtomicFile.h"
#include "app/Exports.h"
#include "app/LogFiles.h"
#include "app/QsoRecord.h"
#include "app/ReportContent.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"
#include "platform/host/Format.h"
#include "platform/host/SysUtils.h"
#include "platform/os/File.h"

namespace qv::app {

namespace {
const std::string kCappedPoints = "0";
}

OutputContext MakeOutputContext(const AppState& state, double localNow) {
  OutputContext c;
  c.ExeDir = state.ExeDir;
  c.LogName = state.Program.LogName;
  c.Station = state.Station;
  c.Kind = KindOf(state);
  c.ProgramVersion = state.ProgramVersion;
  c.MemberCount = state.Score.Totals().MemberCount;
  c.NonMemberCount = state.Score.Totals().NonMemberCount;
  c.PointsText = state.Score.Display().TlPoints;
  c.MultText = state.Score.Display().TlMult;
  c.ScoreText = state.Score.Display().TlScore;
  c.LocalNow = localNow;
  return c;
}

namespace {

// The lines an export gathers before it writes them to its file.
constexpr size_t kExportPartBytes = 64 * 1024;

}  // namespace

void TextExport::Line(std::string_view line) {
  Text_.append(line);
  Text_.append("\r\n");
  if (Out_ != nullptr && Text_.size() >= kExportPartBytes) Flush();
}

void TextExport::Flush() {
  if (Out_ == nullptr || Text_.empty()) return;
  WriteAllAt(*Out_, Text_.data(), static_cast<int64_t>(Text_.size()), Written_);
  Written_ += static_cast<int64_t>(Text_.size());
  Text_.clear();
}

const std::string& MemberCap::Points(const std::string& stored) {
  if (!Active_ || stored != "1") return stored;
  ++Seen_;
  return Seen_ > Members_ ? kCappedPoints : stored;
}

void WriteLog(DataSet& log, LogOutput& out, const OutputContext& context) {
  MemberCap cap(out.UsesMemberCap() ? context.MemberCount : 0, out.UsesMemberCap() ? context.NonMemberCount : 0);
  QsoReader reader(log);
  QsoRecord qso;
  if (out.WantsSurvey()) {
    for (log.First(); !log.Eof(); log.Next()) {
      reader.Read(qso);
      out.Survey(qso);
    }
  }
  log.First();
  bool first = true;
  while (!log.Eof()) {
    reader.Read(qso);
    if (first) {
      out.Begin(qso);
      first = false;
    }
    try {
      out.Contact(qso, cap.Points(qso.Points));
    } catch (const EConvertError& e) {
      // Which of thousands of contacts holds the bad value is what the
      // operator needs to mend it in the log editor.
      throw EConvertError(std::string(e.what()) + "\rin the contact of " + qso.QSODate + " " + qso.TimeStart +
                          " with " + qso.Call);
    }
    log.Next();
  }
  if (first) out.Begin(QsoRecord{});
  out.End();
}

bool ExportToFile(TextExport& output, LogTable& log, const OutputContext& context, AppUi& ui) {
  DataSet& ds = log.Data();
  if (ds.RecordCount() == 0) {
    ui.Inform("Log is empty, Export aborted!");
    return false;
  }
  ds.First();
  const std::string name = output.FileName(QsoReader(ds).Read());
  const std::string path = LogDirOf(context.ExeDir, context.LogName) + "/" + name;
  if (FileExists(path) && !ui.Confirm("Export File:\r" + name + " already exists,\rDo you wish to overwrite it?"))
    return false;
  AtomicFileWriter file(path);
  output.WriteTo(&file.Out());
  WriteLog(ds, output, context);
  output.Flush();
  file.Commit();
  ui.Inform("Export File:\r" + name + "\rhas been created in Folder: \r" + context.ExeDir + context.LogName);
  return true;
}

void RunOutput(OutputChoice choice, AppState& state, LogTable& log, AppUi& ui, ReportPrinter& printer,
               double localNow) {
  ReopenLog(log);
  state.LogNrText = LogEntriesText(log);
  const OutputContext context = MakeOutputContext(state, localNow);
  if (choice == OutputChoice::Print) {
    PrintLog(log, context, ui, printer);
  } else if (IsIbmContest(state)) {
    ExportCsv(log, context, ui);
  } else {
    ExportCabrillo(log, context, ui);
  }
  state.NumSentText = format("%4.3d", {state.NextSerial});
  ReopenLog(log);
  state.LogNrText = LogEntriesText(log);
  log.Data().Last();
}

std::string PadRight(int32_t width, std::string_view text) {
  std::string out(text);
  if (width > 0 && out.size() < static_cast<size_t>(width)) out.append(static_cast<size_t>(width) - out.size(), ' ');
  return out;
}

std::string Serial4(std::string_view text) { return format("%4.4d", {StrToInt(text)}); }

std::string Serial3(std::string_view text) { return format("%4.3d", {StrToInt(text)}); }

}  // namespace qv::app
