// The operators over whole query expressions (VLMRelAlgebraSet.cpp):
//
//   TVLMAOUnion          UNION, INTERSECT and EXCEPT of two operand trees,
//                        each with or without ALL, columns paired by position
//                        or by name (CORRESPONDING [BY])
//   TVLMAODerivedTable   a query expression in FROM, named by its alias
//
// How the set operator works. Both operands are opened (materialised) in the
// constructor, since the column pairs are found among their result columns.
// UNION ALL then appends the left rows and the right rows. Every other form
// sorts both operands on the paired columns (ascending, case-sensitive, in
// pair order) and walks them side by side like a merge, comparing whole rows
// in the same order (nulls first and equal to each other):
//
//   UNION      the smaller row of the two; right rows equal to the current
//              left row are passed over
//   INTERSECT  every left row, duplicates included, that has an equal right
//              row
//   EXCEPT     every left row, duplicates included, that has none
//
// The distinct forms then keep each row once through the DISTINCT of the
// operator's own result table (a unique index, VLMRelAlgebra.cpp); the ALL
// forms of INTERSECT and EXCEPT keep every left row the rule takes, so a
// value twice on the left and once on the right is twice in INTERSECT ALL.
//
// Result columns: one per pair, named by the left column, typed by the left
// column's type (by the right one's when only that is a BLOB, BYTES or GUID
// type: the left values can be written into it, not the other way round),
// as wide as the wider of the two. A pair whose types cannot
// be compared (BLOB, BYTES, VARBYTES, GRAPHIC, GUID) is left out of
// INTERSECT and EXCEPT, which compare rows; UNION, with or without ALL,
// keeps every pair (UNION ALL copies values and compares nothing).
//
// Invariants:
//   1. LeftUnionFields and RightUnionFields have one entry per result field,
//      in result-field order: the table field number of the paired column
//      in the left / right operand's result table.
//   2. While rows are produced (not Materialized), every result field reads
//      the operand the current row comes from (FromLeft): its source is
//      that operand's result table at that side's entry.
//   3. Both operands are read only forward, each positioned on the row the
//      merge compares next; a side at its end has no current row.
//
// States:
//
//   built: operands opened and sorted lists set (constructor)
//     --Open: operands opened again (now in pair order), FillResultTable
//       through PipelineFirst / PipelineNext / PipelineEof-->
//   materialised: rows read from the result table (operands freed)
//
// The derived table is a pass-through over the root of the derived query's
// tree, with the derived query's result columns as its own. Conditions of the outer query stop at it (GetJoinFlag): one pushed
// below the root would be tested before the derived query's TOP, DISTINCT,
// grouping or set operation, or against a column the derived query renamed.
//
// Error codes: the design's 10335 (rows that cannot be compared), 10336
// (set operation type), 10337 (empty CORRESPONDING BY list), 10338 (pair
// lists of different lengths), 10339 (no column pair).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/VLMRelAlgebra.h"

class TVLMAOUnion : public TVLMAO {
public:
  // UnionType values.
  static constexpr uint8_t kUnion = 0;
  static constexpr uint8_t kIntersect = 1;
  static constexpr uint8_t kExcept = 2;

  // Opens both operands (with the outer row of a subquery), pairs their
  // columns (correspondingBy: the BY list, nullptr without one) and asks the
  // sorted forms' operands for their order.
  TVLMAOUnion(std::unique_ptr<TVLMAO> left, std::unique_ptr<TVLMAO> right, uint8_t unionType, bool distinct,
              bool corresponding, const TVLMFields* correspondingBy, TVLMQueryOperator* outerOperand,
              TVLMCursor* outerCursor);

  void PipelineFirst() override;
  void PipelineNext() override;
  bool PipelineEof() override;
  int64_t PipelineRecordCount() override;

  uint8_t UnionEof = 0;
  uint8_t UnionType = kUnion;
  std::vector<int32_t> LeftUnionFields;
  std::vector<int32_t> RightUnionFields;
  // The last comparison of the current rows: 0 equal, 1 left smaller, 2
  // left greater.
  uint8_t RowCompare = 0;
  uint8_t FromLeft = 1;

private:
  // Adds the pair (left dataset field leftNo, right dataset field rightNo)
  // unless the operation compares rows and a side's type cannot be compared.
  void AddPair(int32_t leftNo, int32_t rightNo, TVLMSortKeys& leftKeys, TVLMSortKeys& rightKeys);
  // Points every result field at the left or the right operand.
  void ReadFrom(bool left);
  // Compares the current left and right rows pair by pair into RowCompare.
  uint8_t CompareRows();
  // The next row of each form, from the operands' current positions.
  void NextUnionRow();
  void SeekIntersectRow();
  void SeekExceptRow();

  TVLMVariant LeftValue_;
  TVLMVariant RightValue_;
};

class TVLMAODerivedTable : public TVLMAOTableExpr {
public:
  // The rows of root under the alias: qualifiers naming the alias reach the
  // derived query's columns.
  TVLMAODerivedTable(std::unique_ptr<TVLMAO> root, const std::string& alias);

  // Its own columns only, as a table's: a qualifier other than the alias
  // matches none, "*" all of them; the names inside the derived query are
  // not seen from outside.
  int32_t FindFields(const std::string& name, const std::string& qualifier, bool visibleOnly, bool keepHidden,
                     TVLMIntegerArray* found, bool unhide) override;
  // The outer query's conditions go no further down than this operator.
  uint8_t GetJoinFlag() override { return 1; }
  // Nor does a TOP of the outer query: the derived query's own TOP and
  // ORDER BY stay as they are.
  void SetRowLimit(int64_t firstRow, int64_t rowLimit) override { TVLMAO::SetRowLimit(firstRow, rowLimit); }
};
