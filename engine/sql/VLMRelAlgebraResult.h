// The result table of a query operator (VLMRelAlgebra.h) and its making:
// the table component an operator's rows are copied into, or, for a table
// leaf, the base table itself.
//
//   made (a new table component, closed) | a leaf's base table (Adopt)
//     --Create: columns for the visible fields, the limited sort's index,
//       the DISTINCT index; in "TEMP" under a new name, or the INTO target
//       when it takes the rows--> open and empty
//   open --the operator's fill (TVLMAO::FillResultTable)--> filled
//   filled --Finish: the ORDER BY index (when the table has none), the
//       result fields' names as its projection--> read by the operator
//   any --Close or the destructor: closed, and deleted when Create made
//       it in "TEMP" (also when the fill failed half-way)--> gone
//
// Invariants (4 and 5 of VLMRelAlgebra.h):
//   1. A table that Create made in "TEMP" is deleted when this object goes
//      or closes, on every path; an INTO table stays, as does an adopted
//      one.
//   2. The columns are the visible fields in field order, no autoincrement
//      type among them.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <span>
#include <string>

class TVLMTable;
struct TVLMAOField;
struct TVLMSortKey;

namespace qv {
class StringList;
}  // namespace qv

class TVLMAOResult {
public:
  // A new table component, closed.
  TVLMAOResult();
  // Close.
  ~TVLMAOResult();
  TVLMAOResult(const TVLMAOResult&) = delete;
  TVLMAOResult& operator=(const TVLMAOResult&) = delete;

  TVLMTable* Table() const { return Table_.get(); }
  // The base table of a leaf becomes the result (never deleted here).
  void Adopt(std::unique_ptr<TVLMTable> table);
  // Hands the table over as it is (a leaf's base table goes back to the
  // kept tables); this object is left without one.
  std::unique_ptr<TVLMTable> Release();
  // Closes the table and deletes it when Create made it in "TEMP"; never
  // raises.
  void Close() noexcept;

  // The SELECT INTO target; it takes the rows only when enabled and Create
  // is told the operator is the root.
  void SetInto(bool inMemory, bool enabled, const std::string& databaseName, const std::string& tableName);
  // The INTO table the rows go to; empty when they go to "TEMP".
  const std::string& IntoTableName() const { return IntoTableName_; }
  // Temporary tables are kept in memory only.
  bool DisableTempFiles = false;

  // Creates and opens the empty table: one column per visible field of
  // fields; with limitedSort an index over it (rows are kept in its order
  // while a limit counts them); with distinctFields (";"-separated) a
  // unique index over them. isRoot: an enabled INTO target takes the rows.
  void Create(std::span<const TVLMAOField> fields, std::span<const TVLMSortKey> limitedSort,
              const std::string& distinctFields, bool isRoot);
  // The filled table sorted by sort through a new index (when it is not
  // empty and the table has no index yet), and shown as names under
  // displays unless that would show its columns as they are.
  void Finish(std::span<const TVLMSortKey> sort, const qv::StringList& names, const qv::StringList& displays);

private:
  // Whether a projection of names under displays would show the columns
  // as they are (see Finish).
  bool ShowsOwnColumns(const qv::StringList& names, const qv::StringList& displays) const;

  std::unique_ptr<TVLMTable> Table_;
  // Create made Table_ in "TEMP" (and so deletes it).
  bool OwnsTemporaryTable_ = false;
  std::string IntoTableName_;
  std::string IntoDatabaseName_;
  bool IntoInMemory_ = false;
  bool IntoEnabled_ = false;
};
