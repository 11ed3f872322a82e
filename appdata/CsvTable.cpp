#include "appdata/CsvTable.h"

#include <cerrno>

#include "appdata/AtomicFile.h"
#include "appdata/LogSchemas.h"
#include "platform/host/CodePage.h"
#include "platform/host/SysUtils.h"
#include "platform/os/File.h"
#include "platform/os/System.h"

namespace qv::app {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The next code point of UTF-8 text at i (advanced past it), or -1 for a
// malformed sequence: a stray continuation byte, a cut sequence, an overlong
// form, a surrogate or a value past U+10FFFF.
int32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto lead = static_cast<uint8_t>(s[i++]);
  if (lead < 0x80) return lead;
  // Continuation bytes, payload bits of the lead byte, smallest code point
  // that needs this length.
  int extra = 0;
  int32_t cp = 0;
  int32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
    least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
    least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
    least = 0x10000;
  } else {
    return -1;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size() || (static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (static_cast<uint8_t>(s[i++]) & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

// The 1252 form of a UTF-8 value; an empty what when it has one.
std::string ToCp1252(std::string_view value, std::string& what) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    const int32_t cp = NextCodePoint(value, i);
    uint8_t byte = 0;
    if (cp < 0) {
      what = "a value is not valid UTF-8";
    } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
      what = "a value holds a control character";
    } else if (!CharToCp1252(static_cast<char32_t>(cp), &byte)) {
      what = "a value holds a character that the table's text cannot store";
    }
    if (!what.empty()) return {};
    out.push_back(static_cast<char>(byte));
  }
  return out;
}

// The values of one line (without its end), still UTF-8; an empty what when
// the line splits cleanly.
std::vector<std::string> SplitLine(std::string_view line, std::string& what) {
  std::vector<std::string> values;
  size_t i = 0;
  for (;;) {
    std::string value;
    if (i < line.size() && line[i] == '"') {
      ++i;
      for (;;) {
        if (i >= line.size()) {
          what = "a quoted value is not closed on its line";
          return {};
        }
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            value.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value.push_back(line[i++]);
      }
      if (i < line.size() && line[i] != ',') {
        what = "text follows the closing quote of a value";
        return {};
      }
    } else {
      while (i < line.size() && line[i] != ',') {
        if (line[i] == '"') {
          what = "a quote stands inside an unquoted value";
          return {};
        }
        value.push_back(line[i++]);
      }
    }
    values.push_back(std::move(value));
    if (i >= line.size()) return values;
    ++i;  // the separator; a line ending in "," has an empty last value
  }
}

std::string ColumnList(const TableSpec& spec) {
  std::string names;
  for (const ColumnSpec& c : spec.Columns) {
    if (!names.empty()) names += ',';
    names += c.Name;
  }
  return names;
}

std::string CountText(size_t n, std::string_view one, std::string_view many) {
  return IntToStr(static_cast<int64_t>(n)) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

ECsvError::ECsvError(std::string_view source, int64_t line, std::string_view what)
    : Exception(std::string(source) + ", line " + IntToStr(line) + ": " + std::string(what)), Line(line) {}

std::vector<CsvRow> ParseCsvTable(std::string_view text, const TableSpec& spec, std::string_view source) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  const std::string headerWhat = "the first line must name the columns " + ColumnList(spec);
  std::vector<CsvRow> rows;
  bool headerSeen = false;
  int64_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) continue;

    std::string what;
    std::vector<std::string> values = SplitLine(line, what);
    if (!what.empty()) throw ECsvError(source, lineNo, what);
    if (!headerSeen) {
      bool match = values.size() == spec.Columns.size();
      for (size_t k = 0; match && k < values.size(); ++k) match = SameText(values[k], spec.Columns[k].Name);
      if (!match) throw ECsvError(source, lineNo, headerWhat);
      headerSeen = true;
      continue;
    }
    if (values.size() != spec.Columns.size())
      throw ECsvError(source, lineNo,
                      CountText(values.size(), "value", "values") + " where the table has " +
                          CountText(spec.Columns.size(), "column", "columns"));
    CsvRow row;
    row.reserve(values.size());
    for (size_t k = 0; k < values.size(); ++k) {
      std::string value = ToCp1252(values[k], what);
      if (!what.empty()) throw ECsvError(source, lineNo, what);
      const ColumnSpec& column = spec.Columns[k];
      if (column.Size > 0 && value.size() > static_cast<size_t>(column.Size))
        throw ECsvError(source, lineNo,
                        "the value of " + std::string(column.Name) + " is " +
                            CountText(value.size(), "character", "characters") + " long; the field holds " +
                            IntToStr(column.Size));
      row.push_back(std::move(value));
    }
    rows.push_back(std::move(row));
  }
  if (!headerSeen) throw ECsvError(source, lineNo + 1, headerWhat);
  return rows;
}

std::vector<CsvRow> ReadCsvTable(const std::string& path, const TableSpec& spec) {
  bool found = false;
  const std::string text = ReadWholeFile(path, found);
  if (!found) throw EOSError("Cannot open file '" + path + "': " + SysErrorMessage(ENOENT), ENOENT);
  return ParseCsvTable(text, spec, path);
}

}  // namespace qv::app
