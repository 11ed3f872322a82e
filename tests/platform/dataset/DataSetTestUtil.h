// Shared pieces of the dataset tests: a small log table and a data link that
// counts what it hears.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/DataSource.h"
#include "tests/support/MemDataSet.h"
#include "platform/host/Exception.h"

namespace qvtest {

// ID (integer), Call (string 10), Freq (string 6), Mode (string 6), IBM
// (boolean), Points (integer); index "ByCall" on Call;Freq.
inline void DefineLogTable(qv::MemTable& table) {
  qv::FieldDefs& defs = table.GetFieldDefs();
  defs.Add("ID", qv::ftInteger);
  defs.Add("Call", qv::ftString, 10);
  defs.Add("Freq", qv::ftString, 6);
  defs.Add("Mode", qv::ftString, 6);
  defs.Add("IBM", qv::ftBoolean);
  defs.Add("Points", qv::ftInteger);
  table.GetIndexDefs().Add("ByCall", "Call;Freq", 0);
}

// Appends rows with ID 1..count, Call "K<id>", Freq "14", Mode "CW", IBM for
// even ids, Points id % 3.
inline void AppendRows(qv::DataSet& ds, int count, int firstId = 1) {
  for (int id = firstId; id < firstId + count; ++id) {
    ds.Append();
    ds.FieldByName("ID")->SetAsInteger(id);
    ds.FieldByName("Call")->SetAsString("K" + std::to_string(id));
    ds.FieldByName("Freq")->SetAsString("14");
    ds.FieldByName("Mode")->SetAsString("CW");
    ds.FieldByName("IBM")->SetAsBoolean(id % 2 == 0);
    ds.FieldByName("Points")->SetAsInteger(id % 3);
    ds.Post();
  }
}

// The message of the exception of class E that action throws, or "(no
// error)"; an exception of another class goes on to fail the test.
template <typename E = qv::Exception>
std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.what();
  }
  return "(no error)";
}

inline int CurrentId(qv::DataSet& ds) { return ds.FieldByName("ID")->AsInteger(); }

// A data link (a grid of BufferCount rows) that counts its notifications.
class ProbeLink : public qv::DataLink {
public:
  int ActiveChanges = 0;
  int DataSetChanges = 0;
  int Scrolls = 0;
  int RecordChanges = 0;
  int EditingChanges = 0;
  int Updates = 0;

  // The ID shown in each filled row of the window, top to bottom.
  std::vector<int> WindowIds(const std::string& field = "ID") {
    std::vector<int> ids;
    int saved = ActiveRecord();
    for (int row = 0; row < RecordCount(); ++row) {
      SetActiveRecord(row);
      ids.push_back(GetDataSet()->FieldByName(field)->AsInteger());
    }
    SetActiveRecord(saved);
    return ids;
  }

protected:
  void ActiveChanged() override { ++ActiveChanges; }
  void DataSetChanged() override { ++DataSetChanges; }
  void DataSetScrolled(int32_t) override { ++Scrolls; }
  void RecordChanged(qv::Field*) override { ++RecordChanges; }
  void EditingChanged() override { ++EditingChanges; }
  void UpdateData() override { ++Updates; }
};

}  // namespace qvtest
