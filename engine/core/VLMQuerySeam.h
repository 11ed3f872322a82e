// The query seam: what the expression module needs of the SQL engine, and
// what the SQL engine needs of expressions without their node classes.
//
// Expressions live in the core; the SQL statement engine sits above it. The
// core cannot name the engine's operator classes, so a condition or value
// that refers to a query's rows sees them only through the abstract classes
// here, which the SQL engine implements:
//
//   TVLMQueryContext     the statement that asks for a parse (its database
//                        and session names)
//   TVLMQueryOperator    an operator of the statement's tree: result fields
//                        by number, the current row, two operands, and the
//                        conditions pushed down to it
//   TVLMSubquery         a nested SELECT read when the expression is parsed
//   TVLMSubqueryResult   the rows of one run of a nested SELECT
//
// beside the comparison codes a subquery's rows are searched with and the
// small records the engine hands to an expression (field remapping, join
// field names). The SQL engine includes this header for its operators; it
// needs VLMExpressions.h only where it builds, binds or evaluates trees. The
// factory that reads a nested SELECT is installed through the services of
// VLMExpressionLink.h.
//
// Contracts (both sides keep them):
//   1. Ownership. A node never owns an operator, a cursor or a context: they
//      outlive every tree bound to them. AddCondition takes the expression
//      it is given. A subquery node owns its TVLMSubquery; the result of
//      Open belongs to the caller, which frees it before it opens again.
//   2. Values. GetFieldValue and GetFirstFieldValue may lend the
//      implementation's bytes (TVLMVariant::SetBuffer without copying): the
//      value stays valid until the operator or result moves to another row
//      or is freed. A text value holds the text's own bytes and terminator,
//      never a field's padding (SetBuffer cuts a text to its terminator), so
//      string functions see the text's length.
//   3. Numbering. Result fields are numbered from 0. A field node keeps the
//      number it bound to (FindFields), so an operator's numbering must not
//      change while a tree is bound to it.
//   4. Errors. Implementations report failures as EVLMException with their
//      own codes; the expression passes them on unchanged.
//   5. Threads. Every call comes from the thread evaluating the statement;
//      none is made concurrently on one object.
//   6. Re-entry. The subquery factory parses the nested SELECT's own
//      conditions inside the outer parse, on the same lexer and stack; the
//      parser's nesting limits count both.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/core/VLMVariant.h"

class TVLMCursor;
class TVLMExpression;
struct TVLMQualifiedFieldName;

// The comparison operators, as comparison nodes carry them and as FindRow
// receives them. The node header's operator list (VLMExpressions.h)
// continues from 7.
inline constexpr uint8_t kVLMOpEqual = 1;
inline constexpr uint8_t kVLMOpNotEqual = 2;
inline constexpr uint8_t kVLMOpGreater = 3;
inline constexpr uint8_t kVLMOpLess = 4;
inline constexpr uint8_t kVLMOpGreaterEqual = 5;
inline constexpr uint8_t kVLMOpLessEqual = 6;

// ------------------------------------------------------- TVLMQueryContext

// The statement object of the SQL engine that asks for a parse. The parser
// copies its database and session names (for LASTAUTOINC) and hands it to
// the subquery factory, which reads a nested SELECT from the same lexer.
class TVLMQueryContext {
public:
  virtual ~TVLMQueryContext() = default;
  virtual std::string GetDatabaseName() const = 0;
  virtual std::string GetSessionName() const = 0;
};

// ------------------------------------------------------ TVLMQueryOperator

// A query operator of the SQL engine, as field and subquery nodes see it:
// result fields numbered from 0, the current row, two operands and the
// condition conjuncts are pushed down to. The SQL engine's operators derive
// from it.
class TVLMQueryOperator {
public:
  virtual ~TVLMQueryOperator() = default;

  // The field mapping: appends the numbers of the result fields that match
  // name (and qualifier, when not empty) to found (when given) and answers
  // how many matched. visibleOnly skips hidden fields; unhide makes the
  // matches visible unless keepHidden.
  virtual int32_t FindFields(const std::string& name, const std::string& qualifier, bool visibleOnly,
                             bool keepHidden, TVLMIntegerArray* found, bool unhide) = 0;
  virtual std::string GetFieldName(int32_t fieldNo) = 0;
  virtual TVLMDataType GetFieldDataType(int32_t fieldNo) = 0;
  virtual int32_t GetFieldDataSize(int32_t fieldNo) = 0;
  // The third per-field attribute beside type and size.
  virtual int32_t GetFieldAttribute(int32_t fieldNo) = 0;
  // Result field fieldNo of the current row into value (null, or borrowing
  // the operator's bytes). Field nodes read with allowHidden set: conditions
  // may name fields that are not part of the visible result.
  virtual void GetFieldValue(TVLMVariant& value, int32_t fieldNo, bool allowHidden, bool flag) = 0;
  // Takes over condition: AND-ed with the operator's own condition, or
  // becoming it when there is none.
  virtual void AddCondition(std::unique_ptr<TVLMExpression> condition) = 0;
  // The operands (nullptr where there is none); not owned by the caller.
  virtual TVLMQueryOperator* GetLeftOperand() = 0;
  virtual TVLMQueryOperator* GetRightOperand() = 0;
  // Non-zero on a join whose operands must not receive conditions; 0 for
  // every other operator.
  virtual uint8_t GetJoinFlag() { return 0; }
  // True for the group-by operator, the only one aggregates resolve against.
  virtual bool IsGroupBy() { return false; }
};

// ------------------------------------------------------------- subqueries

// The rows of one run of a subquery.
class TVLMSubqueryResult {
public:
  virtual ~TVLMSubqueryResult() = default;
  virtual int32_t GetFieldCount() = 0;
  virtual int64_t GetRecordCount() = 0;
  virtual void First() = 0;
  virtual void Next() = 0;
  virtual bool Eof() = 0;
  // The first field of the current row.
  virtual void GetFirstFieldValue(TVLMVariant& value) = 0;
  // Field fieldNo (0 .. GetFieldCount() - 1) of the current row: the values
  // of a row value.
  virtual void GetFieldValue(int32_t fieldNo, TVLMVariant& value) = 0;
  // Whether some row's first field equals value (a locate without options).
  virtual bool Locate(const TVLMVariant& value) = 0;
  // Whether some row's first field r satisfies "r op value" (op 1-6).
  virtual bool FindRow(uint8_t op, const TVLMVariant& value) = 0;
};

// The SELECT of a subquery node. The SQL engine's factory (the CreateSubquery
// member of TVLMExpressionServices) reads it from the statement's lexer when
// the node is parsed, starting at SELECT and stopping before the ')' that
// closes it.
class TVLMSubquery {
public:
  virtual ~TVLMSubquery() = default;
  // It refers to outer rows, so every outer row runs it again.
  virtual bool IsCorrelated() = 0;
  // Type and size of the first result field, from the operator tree built
  // without running it.
  virtual TVLMDataType GetFieldDataType() = 0;
  virtual int32_t GetFieldDataSize() = 0;
  // Builds and opens the SELECT with the outer bindings visible to its
  // correlated field references.
  virtual std::unique_ptr<TVLMSubqueryResult> Open(TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                                   uint8_t* outerRecordBuffer) = 0;
  // Whether the SELECT has a row for the outer row (EXISTS). Base: Open,
  // then a look at the first row; an implementation may answer without
  // building the rows.
  virtual bool HasRows(TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor, uint8_t* outerRecordBuffer) {
    std::unique_ptr<TVLMSubqueryResult> rows = Open(outerOperand, outerCursor, outerRecordBuffer);
    rows->First();
    return !rows->Eof();
  }
  // Whether every outer row the SELECT refers to is found among the fields
  // of operand or cursor (either may be nullptr): a condition holding a
  // correlated subquery goes to the operator that answers true. True for a
  // subquery that refers to no outer row.
  virtual bool ResolvesOuterReferences(TVLMQueryOperator* operand, TVLMCursor* cursor) {
    static_cast<void>(operand);
    static_cast<void>(cursor);
    return !IsCorrelated();
  }
  // The names of outer rows the SELECT's conditions use, as written
  // (qualifier and name), appended to names: those that no table of its
  // own FROM has. A condition that nothing can evaluate is refused naming
  // the first of them that no table around the SELECT has either.
  virtual void AppendOuterNames(std::vector<TVLMQualifiedFieldName>& names) { static_cast<void>(names); }
};

// ------------------------------------------------ what crosses with a tree

// One entry of the remapping a derived table or view hands to its
// conditions: a reference to FieldName (qualified by TableName) becomes a
// reference to NewFieldName of TableName, unless the entry is hidden.
struct TVLMFieldMapping {
  std::string TableName;
  std::string NewFieldName;
  bool Hidden = false;
  std::string FieldName;
};

// A qualified field name, as a join condition names its two sides.
struct TVLMQualifiedFieldName {
  std::string TableName;
  std::string FieldName;
};
