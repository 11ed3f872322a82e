// The group-by operator of a SELECT (VLMRelAlgebraGroup.cpp): GROUP BY
// groups, the aggregates of the select list and the HAVING condition, formed
// by sorting (its operand reads through an index on the group fields) and
// one pass with a look-ahead cursor. The file's header comment gives its
// states and invariants.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/core/VLMVariant.h"
#include "engine/sql/VLMRelAlgebra.h"

class TVLMAOGroupBy : public TVLMAO {
 public:
  // One field per operand field, all hidden; the GROUP BY items (none: the
  // whole input is one group) found by name, or by the alias of a select
  // item that is no aggregate (20245 "Invalid field for 'GROUP BY.' ..."
  // otherwise); the operand sorted by them.
  TVLMAOGroupBy(std::unique_ptr<TVLMAO> operand, std::span<const TVLMFieldRef> items, const TVLMFields& groupBy);
  // Closes the look-ahead table before the operand it reads goes.
  ~TVLMAOGroupBy() override;

  // Aggregates bind to this operator only.
  bool IsGroupBy() override { return true; }

  // One group per call: the operand left on the group's last row, the
  // aggregates holding the group's totals.
  void PipelineFirst() override;
  void PipelineNext() override;
  bool PipelineEof() override { return GroupEof != 0; }
  int64_t PipelineRecordCount() override;
  // Every item becomes a field computed per group; a computed item may use
  // fields only inside aggregates or when they are group fields (20269), a
  // plain item must be a group field (10341 when it names no field, 10342
  // when it is not grouped).
  void SetResultFields(std::span<TVLMFieldRef> items, bool distinct) override;
  // Remembers the outer row for the look-ahead table's filter, and makes
  // the operand keep the columns HAVING reads.
  void Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  // A second, read-only table over the operand's result, one row ahead of
  // it; only with group fields, while the operator fills its result.
  std::unique_ptr<TVLMTable> LookAhead;
  // Set by PipelineFirst until the first group is made.
  uint8_t FirstStep = 0;
  // No GROUP BY: the whole input is one group.
  uint8_t NoGroupFields = 0;
  // The group fields as field numbers of this operator (the same numbers
  // as the operand's).
  TVLMIntegerArray GroupFieldNos{0, 100, 10};
  // The comparison of the operand's row with the look-ahead row: 0 the same
  // group.
  uint8_t GroupCompare = 0;
  uint8_t GroupEof = 0;

 protected:
  // Opens the look-ahead table on the operand's result, in its order.
  void OperandsOpened() override;
  // Frees the look-ahead table and gives the operand's filter back to it.
  void OperandsClosing() override;

 private:
  // Resets / feeds the aggregates of HAVING and of every aggregated
  // computed field with the operand's current row.
  void InitAggregates();
  void AccumulateRow();
  // GroupCompare of the operand's row and the look-ahead row over the group
  // fields; a comparison that fails raises 10340.
  void CompareGroup();
  // Feeds the rows of the group the operand is on; leaves it on the group's
  // last row.
  void ScanGroup();
  // Makes the operand keep (not drop at its materialisation) every column
  // that a field of tree names.
  void KeepOperandFields(const TVLMExpression* tree);
  // Whether every column node reads outside aggregates is a group field:
  // the node is bound to the operand, whose field numbers the group fields
  // share. An outer row's column is one value for every group.
  bool ReadsOnlyGroupFields(const TVLMExprNode* node) const;
  // The operand when it is a table leaf with a condition, else nullptr.
  TVLMAOTable* FilteredLeaf() const;

  TVLMQueryOperator* OuterOperand_ = nullptr;
  TVLMCursor* OuterCursor_ = nullptr;
  // The two rows' values CompareGroup compares.
  TVLMVariant Current_;
  TVLMVariant Ahead_;
};
