// The result table of a query operator (VLMRelAlgebraResult.h).
#include "engine/sql/VLMRelAlgebraResult.h"

#include <atomic>
#include <string_view>
#include <utility>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/sql/VLMRelAlgebra.h"
#include "platform/dataset/FieldTypes.h"

namespace {

// The names as an index text: ";"-separated.
std::string JoinNames(const qv::StringList& names) {
  std::string text;
  for (int32_t i = 0; i < names.Count(); ++i) text += (i > 0 ? ";" : "") + names[i];
  return text;
}

// The sort as the index texts: all fields, the descending ones, the
// case-insensitive ones.
void IndexTexts(std::span<const TVLMSortKey> sort, std::string& fields, std::string& descending,
                std::string& caseInsensitive) {
  qv::StringList all, desc, noCase;
  for (const TVLMSortKey& key : sort) {
    all.Add(key.Field);
    if (key.Descending) desc.Add(key.Field);
    if (key.CaseInsensitive) noCase.Add(key.Field);
  }
  fields = JoinNames(all);
  descending = JoinNames(desc);
  caseInsensitive = JoinNames(noCase);
}

// A name for a temporary result table or one of its indexes: the prefix and
// a number from a counter of this process. A result table lives in this
// process's TEMP database alone (its pages and file are its own), so the
// number is as unique among its names as a GUID, without drawing random
// bytes from the system for every statement; Create steps over a table name
// someone else took. An INTO table, stored where others see it, keeps GUIDs.
std::string LocalObjectName(std::string_view prefix) {
  static std::atomic<uint64_t> next{0};
  std::string name(prefix);
  name += std::to_string(next.fetch_add(1, std::memory_order_relaxed));
  return name;
}

}  // namespace

TVLMAOResult::TVLMAOResult() : Table_(std::make_unique<TVLMTable>()) {}

TVLMAOResult::~TVLMAOResult() { Close(); }

void TVLMAOResult::Adopt(std::unique_ptr<TVLMTable> table) {
  Close();
  Table_ = std::move(table);
}

std::unique_ptr<TVLMTable> TVLMAOResult::Release() {
  OwnsTemporaryTable_ = false;
  return std::move(Table_);
}

void TVLMAOResult::Close() noexcept {
  // Each step goes on when one before it failed, so that no temporary
  // table is left behind.
  try {
    if (Table_) Table_->Close();
  } catch (...) {
  }
  try {
    if (Table_ && OwnsTemporaryTable_) Table_->DeleteTable();
  } catch (...) {
  }
  OwnsTemporaryTable_ = false;
  try {
    Table_.reset();
  } catch (...) {
  }
}

void TVLMAOResult::SetInto(bool inMemory, bool enabled, const std::string& databaseName,
                           const std::string& tableName) {
  IntoInMemory_ = inMemory;
  IntoEnabled_ = enabled;
  IntoDatabaseName_ = databaseName;
  IntoTableName_ = tableName;
}

void TVLMAOResult::Create(std::span<const TVLMAOField> fields, std::span<const TVLMSortKey> limitedSort,
                          const std::string& distinctFields, bool isRoot) {
  TVLMTable& table = *Table_;
  table.GetFieldDefs().Clear();
  table.GetIndexDefs().Clear();
  table.AdvFieldDefs.Clear();
  table.AdvIndexDefs.Clear();
  // The INTO target takes the rows only at the root and when asked to.
  if (!(isRoot && IntoEnabled_)) {
    IntoTableName_.clear();
    IntoDatabaseName_.clear();
  }
  for (const TVLMAOField& f : fields) {
    if (f.Hidden) continue;
    TVLMAdvFieldDef& def = *table.AdvFieldDefs.Add();
    def.Name = f.Name;
    // A result column holds copied values: an autoincrement column would
    // draw new ones.
    def.DataType = VLMIsAutoincDataType(f.DataType) ? VLMBaseTypeToDataType(VLMDataTypeToBaseType(f.DataType))
                                                     : f.DataType;
    def.Size = f.DataSize;
    def.BlobCompressionAlgorithm = f.Flag1;
    def.BlobCompressionMode = f.Flag2;
    if (f.Extra > 0) def.BlobBlockSize = f.Extra;
  }
  auto indexName = [this] {
    return IntoTableName_.empty() ? LocalObjectName("TEMPORARY_INDEX_") : VLMNewGUIDName("TEMPORARY_INDEX_");
  };
  if (!limitedSort.empty()) {
    TVLMAdvIndexDef& index = *table.AdvIndexDefs.Add();
    index.Name = indexName();
    IndexTexts(limitedSort, index.Fields, index.DescFields, index.CaseInsFields);
    table.SetIndexName(index.Name);
  }
  table.SetInMemory(false);
  if (!IntoTableName_.empty()) {
    table.SetDatabaseName(IntoDatabaseName_);
    table.SetTableName(IntoTableName_);
    if (IntoInMemory_) table.SetInMemory(true);
  } else {
    table.SetTemporary(true);
    table.DisableTempFiles = DisableTempFiles;
    do {
      table.SetTableName(LocalObjectName("TEMPORARY_TABLE_"));
    } while (table.Exists());
  }
  if (!distinctFields.empty()) {
    TVLMAdvIndexDef& index = *table.AdvIndexDefs.Add();
    index.Name = indexName();
    index.Fields = distinctFields;
    index.Options = static_cast<uint8_t>(qv::ixUnique);
  }
  table.CreateTable();
  OwnsTemporaryTable_ = IntoTableName_.empty();
  table.Open();
}

// Whether a projection of names under displays would show the result
// table's columns as they are: all of them, in their order, under their own
// names. It would then change nothing but cost a close and a reopen. The
// dataset must also be where the reopen would leave it: the cursor-level
// fill (no INTO table, no BLOB column) ends on the first row, and no index
// set since changes the order.
bool TVLMAOResult::ShowsOwnColumns(const qv::StringList& names, const qv::StringList& displays) const {
  const TVLMLocalCursor* cursor = Table_->Handle();
  if (cursor == nullptr || cursor->ProjectionSet || !cursor->FieldDefs || !IntoTableName_.empty() ||
      !Table_->IndexName().empty() || cursor->FieldDefs->GetCount() != names.Count())
    return false;
  for (int32_t i = 0; i < names.Count(); ++i) {
    const TVLMFieldDef& def = *cursor->FieldDefs->GetFieldDef(i);
    if (VLMIsBLOBBaseType(def.BaseType) || def.Name != names[i]) return false;
    if (!displays[i].empty() && displays[i] != names[i]) return false;
  }
  return true;
}

void TVLMAOResult::Finish(std::span<const TVLMSortKey> sort, const qv::StringList& names,
                          const qv::StringList& displays) {
  TVLMTable& table = *Table_;
  if (!sort.empty() && table.IndexName().empty()) {
    // The sort names fields of the operator, the result table's columns;
    // an alias is never taken for a column name.
    std::string fields, descending, caseInsensitive;
    IndexTexts(sort, fields, descending, caseInsensitive);
    const std::string name =
        IntoTableName_.empty() ? LocalObjectName("TEMPORARY_INDEX_") : VLMNewGUIDName("TEMPORARY_INDEX_");
    table.AddIndex(name, fields, 0, descending, caseInsensitive);
    table.SetIndexName(name);
  }
  if (names.Count() > 0 && !ShowsOwnColumns(names, displays)) table.SetProjection(names, displays);
}
