// Tables written as short descriptions in the table-data and storage tests (and
// their helper programs): fields by name, SQL type and size, indexes by name
// and ';'-separated field names.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "engine/core/VLMTypesDefs.h"
#include "platform/host/StringList.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace tabledata_test {

// The items of text separated by ';', as written.
inline qv::StringList SplitNames(std::string_view text) {
  qv::StringList names;
  while (!text.empty()) {
    const size_t end = std::min(text.find(';'), text.size());
    if (end > 0) names.Add(std::string(text.substr(0, end)));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return names;
}

struct FieldSpec {
  const char* Name;
  TVLMDataType Type;
  int32_t Size = 0;
};

struct IndexSpec {
  const char* Name;
  // Field names separated by ';'.
  const char* Fields;
  bool Primary = false;
  bool Unique = false;
  const char* Descending = "";
  const char* CaseInsensitive = "";
};

// The definitions the specs describe, appended to fieldDefs and indexDefs.
inline void FillDefinitions(std::initializer_list<FieldSpec> fields, std::initializer_list<IndexSpec> indexes,
                            TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs) {
  for (const FieldSpec& f : fields) schema_test::AddField(fieldDefs, f.Name, f.Type, f.Size);
  for (const IndexSpec& spec : indexes) {
    TVLMIndexDef* def = indexDefs.AddIndexDef();
    def->Name = spec.Name;
    def->Primary = spec.Primary;
    def->Unique = spec.Unique;
    const qv::StringList names = SplitNames(spec.Fields);
    const qv::StringList desc = SplitNames(spec.Descending);
    const qv::StringList noCase = SplitNames(spec.CaseInsensitive);
    qv::StringList directions, cases;
    for (int32_t i = 0; i < names.Count(); ++i) {
      directions.Add(desc.IndexOf(names[i]) >= 0 ? "DESC" : "ASC");
      cases.Add(noCase.IndexOf(names[i]) >= 0 ? "NO_CASE" : "CASE");
    }
    def->SetColumns(names, directions, cases);
  }
}

}  // namespace tabledata_test
