// A small INI file: named sections of name=value lines, 8-bit text as stored.
//
// Format as written:
//   [Section name]\n
//   Name=value\n
// A section name is everything between the first '[' and the last ']' of its
// line, so names with blanks, backslashes or brackets work ("Log Index\MY
// LOG"). A value is everything after the first '=' of its line, kept byte for
// byte (leading and trailing blanks included). Reading accepts LF or CR LF
// line ends and skips lines that are neither. Sections and names are found
// without regard to ASCII case, as the registry found them; the spelling of
// the first write is kept.
//
// The object is an in-memory model; Load and Save move it to and from a file.
// Save replaces the file atomically (temporary file + rename).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::app {

class IniFile {
public:
  // Replaces the content with the parsed text.
  void Parse(std::string_view text);
  std::string Text() const;

  // Loads path; a missing file gives an empty model (returns false). Other
  // failures throw EOSError.
  bool Load(const std::string& path);
  // Writes the whole model to path atomically with the given permission bits.
  void Save(const std::string& path, int32_t mode) const;

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view name) const;
  std::string ReadString(std::string_view section, std::string_view name, std::string_view defaultValue) const;
  // A missing value or one that is not a whole number gives the default.
  int32_t ReadInteger(std::string_view section, std::string_view name, int32_t defaultValue) const;
  // Stored as an integer: 0 is false, any other number true.
  bool ReadBool(std::string_view section, std::string_view name, bool defaultValue) const;

  // Section names, names and values must not hold CR, LF or NUL (they would
  // split the line): Exception "Invalid settings text" otherwise. A name must
  // not hold '=' either.
  void WriteString(std::string_view section, std::string_view name, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view name, int32_t value);
  void WriteBool(std::string_view section, std::string_view name, bool value);
  // True when the value existed.
  bool DeleteValue(std::string_view section, std::string_view name);

private:
  struct Entry {
    std::string Name;
    std::string Value;
  };
  struct Section {
    std::string Name;
    std::vector<Entry> Entries;
  };

  const Section* FindSection(std::string_view name) const;
  Section& SectionFor(std::string_view name);
  const Entry* FindEntry(std::string_view section, std::string_view name) const;

  std::vector<Section> Sections_;
};

}  // namespace qv::app
