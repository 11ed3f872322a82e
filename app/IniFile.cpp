#include "app/IniFile.h"

#include "appdata/AtomicFile.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

void CheckText(std::string_view text, bool isName) {
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0' || (isName && c == '='))
      throw Exception("Invalid settings text '" + std::string(text) + "'");
  }
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

void IniFile::Parse(std::string_view text) {
  Sections_.clear();
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = TrimBlanks(line);
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      current = &SectionFor(trimmed.substr(1, trimmed.size() - 2));
      continue;
    }
    size_t eq = line.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    std::string_view name = TrimBlanks(line.substr(0, eq));
    if (name.empty()) continue;
    std::string_view value = line.substr(eq + 1);
    bool replaced = false;
    for (Entry& e : current->Entries) {
      if (SameText(e.Name, name)) {
        e.Value = std::string(value);  // a later line wins, as a rewrite would
        replaced = true;
        break;
      }
    }
    if (!replaced) current->Entries.push_back({std::string(name), std::string(value)});
  }
}

std::string IniFile::Text() const {
  std::string out;
  for (const Section& s : Sections_) {
    if (s.Entries.empty()) continue;
    out += '[';
    out += s.Name;
    out += "]\n";
    for (const Entry& e : s.Entries) {
      out += e.Name;
      out += '=';
      out += e.Value;
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

bool IniFile::Load(const std::string& path) {
  bool found = false;
  std::string text = ReadWholeFile(path, found);
  Parse(text);
  return found;
}

void IniFile::Save(const std::string& path, int32_t mode) const { WriteFileAtomically(path, Text(), mode); }

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  for (const Section& s : Sections_)
    if (SameText(s.Name, name)) return &s;
  return nullptr;
}

IniFile::Section& IniFile::SectionFor(std::string_view name) {
  for (Section& s : Sections_)
    if (SameText(s.Name, name)) return s;
  Sections_.push_back({std::string(name), {}});
  return Sections_.back();
}

const IniFile::Entry* IniFile::FindEntry(std::string_view section, std::string_view name) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return nullptr;
  for (const Entry& e : s->Entries)
    if (SameText(e.Name, name)) return &e;
  return nullptr;
}

bool IniFile::SectionExists(std::string_view section) const {
  const Section* s = FindSection(section);
  return s != nullptr && !s->Entries.empty();
}

bool IniFile::ValueExists(std::string_view section, std::string_view name) const {
  return FindEntry(section, name) != nullptr;
}

std::string IniFile::ReadString(std::string_view section, std::string_view name, std::string_view defaultValue) const {
  const Entry* e = FindEntry(section, name);
  return e ? e->Value : std::string(defaultValue);
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view name, int32_t defaultValue) const {
  const Entry* e = FindEntry(section, name);
  if (e == nullptr) return defaultValue;
  int32_t value = 0;
  return TryStrToInt(e->Value, value) ? value : defaultValue;
}

bool IniFile::ReadBool(std::string_view section, std::string_view name, bool defaultValue) const {
  return ReadInteger(section, name, defaultValue ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view name, std::string_view value) {
  CheckText(section, false);
  CheckText(name, true);
  CheckText(value, false);
  if (TrimBlanks(name).empty() || TrimBlanks(name).size() != name.size())
    throw Exception("Invalid settings name '" + std::string(name) + "'");
  Section& s = SectionFor(section);
  for (Entry& e : s.Entries) {
    if (SameText(e.Name, name)) {
      e.Value = std::string(value);
      return;
    }
  }
  s.Entries.push_back({std::string(name), std::string(value)});
}

void IniFile::WriteInteger(std::string_view section, std::string_view name, int32_t value) {
  WriteString(section, name, IntToStr(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view name, bool value) {
  WriteInteger(section, name, value ? 1 : 0);
}

bool IniFile::DeleteValue(std::string_view section, std::string_view name) {
  for (Section& s : Sections_) {
    if (!SameText(s.Name, section)) continue;
    for (auto it = s.Entries.begin(); it != s.Entries.end(); ++it) {
      if (SameText(it->Name, name)) {
        s.Entries.erase(it);
        return true;
      }
    }
  }
  return false;
}

}  // namespace qv::app
