// The two file formats of the log.
//
// CSV (IBM QSO Party logs), file "<call> <log> CS.CSV" in the log folder:
//   18 header lines ("CONTEST: <log>" ... "FORMAT: Sorted by Contact
//   Sequence", then the column names), then one line per contact of 17
//   values joined by "," without quoting:
//   Date,Time,Call,RstS,S_Nr,RstR,R_Nr,Freq,Country,Continent,City,State,
//   Name,IBM,RET,Mode,Points
//   S_Nr and R_Nr are "%4.4d" (an empty one is "000"); Points are capped.
//   A comma inside a value becomes a blank, so every line keeps 17 columns.
//
// Cabrillo 2.0 (every other log), file "<call>[ NAQP-<mode>] <log> CS.TXT":
//   "START-OF-LOG: 2.0", header lines by log kind, one "QSO: " line per
//   contact in fixed-width columns (layout by kind, see CabrilloExport::Contact,
//   one layout for every line of a file), "END-OF-LOG:". A contact line is
//   cut to 255 bytes.
//
// In both, the call's slashed zeros (0xD8) are written as "0"; in file names
// "/" becomes "-".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/Outputs.h"

namespace qv::app {

class CsvExport final : public TextExport {
public:
  explicit CsvExport(const OutputContext& context) : Context_(context) {}
  bool UsesMemberCap() const override { return true; }
  std::string FileName(const QsoRecord& first) const override;
  void Begin(const QsoRecord& first) override;
  void Contact(const QsoRecord& qso, const std::string& points) override;
  void End() override {}

private:
  const OutputContext& Context_;
};

class CabrilloExport final : public TextExport {
public:
  explicit CabrilloExport(const OutputContext& context);
  bool UsesMemberCap() const override { return false; }
  // An "Other" log takes one line layout for all its contacts: with reports
  // when at least half of them carry a report, else the layout without.
  bool WantsSurvey() const override { return Context_.Kind == ContestKind::Other; }
  void Survey(const QsoRecord& qso) override;
  std::string FileName(const QsoRecord& first) const override;
  void Begin(const QsoRecord& first) override;
  void Contact(const QsoRecord& qso, const std::string& points) override;
  void End() override;

private:
  bool WithReports() const { return ContactsWithReports_ * 2 >= Contacts_; }

  const OutputContext& Context_;
  int64_t Contacts_ = 0;
  int64_t ContactsWithReports_ = 0;
  // The padded station fields: own call (14, plain zeros), name (9), state (4).
  std::string OC_;
  std::string SN_;
  std::string SS_;
};

// The frequency column of a contact line, 6 wide: up to 4 MHz in kHz
// ("1.8" -> " 1800 "), whole MHz below 50 in kHz ("14" -> "14000 "), whole
// MHz from 50 up as the band ("144" -> " 144  "), any other frequency in
// rounded kHz ("10.1" -> "10100 ", "14.025" -> "14025 "). A result of 4
// characters or fewer gets a leading blank. EConvertError for a text that
// is no number.
std::string CabrilloFreq(std::string_view freq);

// The exports as the output choice runs them.
bool ExportCsv(LogTable& log, const OutputContext& context, AppUi& ui);
bool ExportCabrillo(LogTable& log, const OutputContext& context, AppUi& ui);

}  // namespace qv::app
