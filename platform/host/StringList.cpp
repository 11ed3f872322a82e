#include "platform/host/StringList.h"

#include <algorithm>

#include "platform/host/Exception.h"

namespace qv {

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

}  // namespace

void StringList::CheckIndex(int32_t index) const {
  if (index < 0 || index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& StringList::operator[](int32_t index) const {
  CheckIndex(index);
  return Items_[static_cast<size_t>(index)];
}

std::string& StringList::operator[](int32_t index) {
  CheckIndex(index);
  return Items_[static_cast<size_t>(index)];
}

int32_t StringList::Add(std::string s) {
  Items_.push_back(std::move(s));
  return Count() - 1;
}

void StringList::Insert(int32_t index, std::string s) {
  if (index < 0 || index > Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  Items_.insert(Items_.begin() + index, std::move(s));
}

void StringList::Delete(int32_t index) {
  CheckIndex(index);
  Items_.erase(Items_.begin() + index);
}

int32_t StringList::IndexOf(std::string_view s) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (sameText(Items_[static_cast<size_t>(i)], s)) return i;
  return -1;
}

std::string StringList::Text() const {
  std::string r;
  for (const auto& s : Items_) {
    r += s;
    r += "\r\n";
  }
  return r;
}

void StringList::SetText(std::string_view text) {
  Items_.clear();
  size_t i = 0;
  while (i < text.size()) {
    size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    Items_.emplace_back(text.substr(i, j - i));
    if (j < text.size() && text[j] == '\r') {
      ++j;
      if (j < text.size() && text[j] == '\n') ++j;
    } else if (j < text.size()) {
      ++j;  // LF
    }
    i = j;
  }
}

std::string StringList::Names(int32_t index) const {
  const std::string& s = (*this)[index];
  const size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string StringList::ValueFromIndex(int32_t index) const {
  const std::string& s = (*this)[index];
  const size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

int32_t StringList::IndexOfName(std::string_view name) const {
  for (int32_t i = 0; i < Count(); ++i) {
    const std::string& s = Items_[static_cast<size_t>(i)];
    const size_t eq = s.find('=');
    if (eq != std::string::npos && sameText(std::string_view(s).substr(0, eq), name)) return i;
  }
  return -1;
}

std::string StringList::Values(std::string_view name) const {
  const int32_t i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void StringList::SetValue(std::string_view name, std::string_view value) {
  const int32_t i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (i >= 0) Items_[static_cast<size_t>(i)] = std::move(line);
  else Add(std::move(line));
}

std::string StringList::DelimitedText(char delimiter) const {
  std::string r;
  for (size_t n = 0; n < Items_.size(); ++n) {
    const std::string& s = Items_[n];
    if (n) r += delimiter;
    const bool quote = s.empty() ? false
        : s.find_first_of(std::string(" \"") + delimiter) != std::string::npos ||
          std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    if (!quote) {
      r += s;
      continue;
    }
    r += '"';
    for (char c : s) {
      if (c == '"') r += '"';
      r += c;
    }
    r += '"';
  }
  return r;
}

void StringList::SetDelimitedText(std::string_view text, char delimiter) {
  Items_.clear();
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ' && text[i] != '\0' && text[i] != delimiter) ++i;
  };
  skipBlanks();
  while (i < text.size()) {
    std::string item;
    if (text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      while (i < text.size() && text[i] != delimiter && static_cast<unsigned char>(text[i]) > ' ')
        item += text[i++];
    }
    Items_.push_back(std::move(item));
    skipBlanks();
    if (i < text.size() && text[i] == delimiter) {
      ++i;
      skipBlanks();
      if (i >= text.size()) Items_.emplace_back();
    }
  }
}

void StringList::Sort() {
  std::stable_sort(Items_.begin(), Items_.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lowerAscii(x) < lowerAscii(y); });
  });
}

}  // namespace qv
