// A list of 8-bit text lines, as the host class library's string list keeps it.
// Text joins the lines with CR LF; setting Text splits at CR LF, LF or CR.
// Look-ups by text (IndexOf, Values) ignore ASCII case, as the host's do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class StringList {
public:
  StringList() = default;

  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  const std::string& operator[](int32_t index) const;
  std::string& operator[](int32_t index);
  const std::string& Strings(int32_t index) const { return (*this)[index]; }

  int32_t Add(std::string s);
  void Insert(int32_t index, std::string s);
  void Delete(int32_t index);
  void Clear() { Items_.clear(); }
  int32_t IndexOf(std::string_view s) const;

  std::string Text() const;
  void SetText(std::string_view text);

  // "name=value" lines.
  std::string Names(int32_t index) const;
  std::string ValueFromIndex(int32_t index) const;
  std::string Values(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);
  int32_t IndexOfName(std::string_view name) const;

  // Items separated by Delimiter; items holding blanks, quotes or the
  // delimiter are quoted with '"' (CommaText: Delimiter ',').
  std::string DelimitedText(char delimiter = ',') const;
  void SetDelimitedText(std::string_view text, char delimiter = ',');
  std::string CommaText() const { return DelimitedText(','); }
  void SetCommaText(std::string_view text) { SetDelimitedText(text, ','); }

  void Sort();  // ASCII case-insensitive

  const std::vector<std::string>& Items() const { return Items_; }
  auto begin() const { return Items_.begin(); }
  auto end() const { return Items_.end(); }

private:
  void CheckIndex(int32_t index) const;
  std::vector<std::string> Items_;
};

}  // namespace qv
