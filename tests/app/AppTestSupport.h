// Shared pieces of the application-logic tests: an in-memory log with the
// real log schema, fakes of the window-side interfaces, and a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/AppUi.h"
#include "app/LogFiles.h"
#include "appdata/LogSchemas.h"
#include "app/QsoRecord.h"
#include "app/Settings.h"
#include "tests/support/MemDataSet.h"
#include "tests/support/ScratchFolder.h"

namespace qv::app::test {

// The log table "V5LogTabl" in memory, open in contact order.
class MemLog {
public:
  MemLog() : Table_(Data_) {
    DefineTable(LogTableSpec(), Mem_.GetFieldDefs(), Mem_.GetIndexDefs());
    Data_.SetTable(&Mem_);
    Data_.Open();
    Data_.SetIndexName(kPrimeIndexName);
  }
  LogTable& Table() { return Table_; }
  MemDataSet& Data() { return Data_; }
  MemTable& Storage() { return Mem_; }

  void Add(const QsoRecord& q) {
    Data_.Append();
    WriteQso(Data_, q);
    Data_.Post();
  }
  // Every record's Points, in contact order.
  std::vector<std::string> AllPoints() {
    std::vector<std::string> out;
    Data_.First();
    while (!Data_.Eof()) {
      out.push_back(Data_.FieldByName("Points")->AsString());
      Data_.Next();
    }
    return out;
  }

private:
  MemTable Mem_;
  MemDataSet Data_;
  LogTableOf<MemDataSet> Table_;
};

struct FakeUi : AppUi {
  struct Message {
    char Kind;  // 'I'nform, 'W'arn, 'C'onfirm
    std::string Text;
  };
  std::vector<Message> Messages;
  std::deque<bool> Answers;  // for Confirm; empty answers Yes

  void Inform(const std::string& text) override { Messages.push_back({'I', text}); }
  void Warn(const std::string& text) override { Messages.push_back({'W', text}); }
  bool Confirm(const std::string& text) override {
    Messages.push_back({'C', text});
    if (Answers.empty()) return true;
    bool a = Answers.front();
    Answers.pop_front();
    return a;
  }
};

// A scratch folder removed at the end of the test; dir / "name" is a path in
// it.
class TempDir : public ::qv::test::ScratchFolder {
public:
  std::string operator/(const std::string& name) const { return File(name); }
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

// Files of a folder, sorted.
inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A member or non-member contact of the IBM QSO Party.
inline QsoRecord Contact(std::string call, std::string freq, bool member, std::string country = "",
                         std::string continent = "", std::string points = "") {
  QsoRecord q;
  q.QSODate = "2024-03-09";
  q.TimeStart = "1400";
  q.Call = std::move(call);
  q.Freq = std::move(freq);
  q.Mode = "CW";
  q.IBM = member;
  q.Country = std::move(country);
  q.Continent = std::move(continent);
  q.Points = std::move(points);
  return q;
}

}  // namespace qv::app::test
