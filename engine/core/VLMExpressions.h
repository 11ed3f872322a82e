// Expression trees: the conditions and values the engine evaluates (dataset
// filters and locates, default values and CHECK texts, WHERE, ON and HAVING
// conditions, select-list items, UPDATE values) and the index planning that
// turns the conjuncts of a condition into scan search conditions (VLMTypes.h).
//
//   TVLMExpression           owns one tree; builds the locate tree, evaluates,
//                            binds, splits a condition into its conjuncts
//   TVLMExprNode             base of every node: children, operator code,
//                            result value, 22 virtual operations
//   TVLMExprNodeField        one field of a cursor's record buffer or of a
//                            query operator's current row
//   TVLMExprNodeComparison   = <> > < >= <=, also against ALL / ANY of a
//                            subquery
//   TVLMExprNodeBoolean      NOT AND OR IN EXISTS BETWEEN LIKE IS [NOT] NULL
//   TVLMExprNodeConst        a literal value
//   TVLMExprNodeSubqueryBase what comparison and Boolean nodes ask of a
//                            subquery node
//   TVLMExprNodeArithmetic   + - * / and ABS ... SQRT, ROUND (VLMExpressionsArith)
//   TVLMExprNodeStringFunction || UPPER LOWER TRIM LTRIM RTRIM LENGTH POS
//                            SUBSTRING (VLMExpressionsArith)
//   TVLMExprNodeSubquery     a nested SELECT as a value, IN list, EXISTS or
//                            quantified operand (VLMExpressionsArith)
//   TVLMExprNodeSystem, TVLMExprNodeAggregated, TVLMExprNodeCast,
//   TVLMExprNodeCase, TVLMExprNodeBlob, TVLMExprNodeDateFunction
//                            LASTAUTOINC and ROWNUM, SUM ... COUNT(*), CAST,
//                            CASE and COALESCE, MIMETOBIN, the date and time
//                            functions (VLMExpressionsSystem)
//   TVLMAutoincTable         what LASTAUTOINC needs of the components
//
// What the nodes need of the SQL engine (its query operators, the statement
// a parse belongs to, nested SELECTs and their rows) is the query seam,
// VLMQuerySeam.h, which this header includes.
//
// The parser (VLMExpressionParser.cpp) reads one lexer statement by recursive
// descent; its grammar and coded errors are described there.
//
// Ownership: an expression owns its root, a node owns its children and its
// result value. A node taken out of a tree belongs to whoever took it: a
// query operator (ExtractConditionsFor), or a scan search condition while the
// conjunct is detached for an index walk (RemoveCoveredConditions).
//
// Three-valued logic: comparisons never yield null. With a node's null-strict
// flag every comparison involving a null is false (also <>); without it null
// sorts first and equals null. NOT, AND, OR, IN, BETWEEN and LIKE propagate
// unknown (null); IS NULL and EXISTS are never null.
//
// Index planning: a comparison of an indexable field (a field, or UPPER /
// LOWER over one) with a search value (a constant, or a field of the outer
// row), and IS [NOT] NULL of an indexable field, can become an index
// condition; conjuncts under OR, NOT or anything else stay in the filter. A
// second key column is added only to an equality, and only by another
// equality (or IS NULL). A null-strict comparison whose search value is
// null when the search is planned becomes no index condition: it matches no
// row, where a null key would find the null fields.
//
// Error codes: 30112 locate counts, 30110 value of an empty expression, 30198
// root not a field, 30283/30284 undeterminable type, 30196 field read without
// a binding, 30197/30115 field not found, 30202 nil cursor, 30116/30117
// unknown operator, 30120 LIKE over a non-string, 20054/20055/20057 and
// 20254/20255 scan-condition building, 10404/10405 ambiguous join field,
// 30610 memo read without table data, 30611 subquery operator without a
// subquery child; the parser's codes are listed in VLMExpressionParser.cpp,
// those of the value nodes in their parts.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMExpressionLink.h"
#include "engine/core/VLMLexer.h"
#include "engine/core/VLMQuerySeam.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMVariant.h"

namespace qv {
class HostVariant;
class StringList;
}  // namespace qv

class TVLMCursor;
class TVLMIndexDef;
class TVLMIndexDefs;
class TDateFormater;

// ------------------------------------------------------------ operator codes

// 1-6, the comparisons (= <> > < >= <=), are in VLMQuerySeam.h.
inline constexpr uint8_t kVLMOpNot = 7;
inline constexpr uint8_t kVLMOpAnd = 8;
inline constexpr uint8_t kVLMOpOr = 9;
inline constexpr uint8_t kVLMOpIn = 10;
inline constexpr uint8_t kVLMOpNotIn = 11;
inline constexpr uint8_t kVLMOpExists = 12;
inline constexpr uint8_t kVLMOpBetween = 13;
inline constexpr uint8_t kVLMOpNotBetween = 14;
inline constexpr uint8_t kVLMOpLike = 15;
inline constexpr uint8_t kVLMOpNotLike = 16;
inline constexpr uint8_t kVLMOpIsNull = 17;
inline constexpr uint8_t kVLMOpIsNotNull = 18;
inline constexpr uint8_t kVLMOpAdd = 21;
inline constexpr uint8_t kVLMOpNegate = 22;
inline constexpr uint8_t kVLMOpMultiply = 23;
inline constexpr uint8_t kVLMOpDivide = 24;
inline constexpr uint8_t kVLMOpConcat = 25;
inline constexpr uint8_t kVLMOpUpper = 26;
inline constexpr uint8_t kVLMOpLower = 27;
inline constexpr uint8_t kVLMOpTrim = 28;
inline constexpr uint8_t kVLMOpLTrim = 29;
inline constexpr uint8_t kVLMOpRTrim = 30;
inline constexpr uint8_t kVLMOpLength = 31;
inline constexpr uint8_t kVLMOpPos = 32;
inline constexpr uint8_t kVLMOpSubstring = 33;
inline constexpr uint8_t kVLMOpSum = 34;
inline constexpr uint8_t kVLMOpAvg = 35;
inline constexpr uint8_t kVLMOpMin = 36;
inline constexpr uint8_t kVLMOpMax = 37;
inline constexpr uint8_t kVLMOpCount = 38;
inline constexpr uint8_t kVLMOpCountAll = 39;
inline constexpr uint8_t kVLMOpNow = 40;
inline constexpr uint8_t kVLMOpCurrentDate = 41;
inline constexpr uint8_t kVLMOpCurrentTime = 42;
inline constexpr uint8_t kVLMOpToDate = 43;
inline constexpr uint8_t kVLMOpToString = 44;
inline constexpr uint8_t kVLMOpExtract = 45;
inline constexpr uint8_t kVLMOpCast = 46;
inline constexpr uint8_t kVLMOpLastAutoinc = 47;
inline constexpr uint8_t kVLMOpMimeToBin = 48;
inline constexpr uint8_t kVLMOpRowNum = 49;
// 50-65: ABS, ACOS, ASIN, ATAN, CEIL, COS, EXP, FLOOR, LOG, POWER, RAND,
// ROUND, SIGN, SIN, SQR, SQRT.
inline constexpr uint8_t kVLMOpAbs = 50;
inline constexpr uint8_t kVLMOpAcos = 51;
inline constexpr uint8_t kVLMOpAsin = 52;
inline constexpr uint8_t kVLMOpAtan = 53;
inline constexpr uint8_t kVLMOpCeil = 54;
inline constexpr uint8_t kVLMOpCos = 55;
inline constexpr uint8_t kVLMOpExp = 56;
inline constexpr uint8_t kVLMOpFloor = 57;
inline constexpr uint8_t kVLMOpLog = 58;
inline constexpr uint8_t kVLMOpPower = 59;
inline constexpr uint8_t kVLMOpRand = 60;
inline constexpr uint8_t kVLMOpRound = 61;
inline constexpr uint8_t kVLMOpSign = 62;
inline constexpr uint8_t kVLMOpSin = 63;
inline constexpr uint8_t kVLMOpSqr = 64;
inline constexpr uint8_t kVLMOpSqrt = 65;

// Quantifier of a comparison against a subquery.
inline constexpr uint8_t kVLMQuantifierNone = 0;
inline constexpr uint8_t kVLMQuantifierAll = 1;
inline constexpr uint8_t kVLMQuantifierAny = 2;  // any other non-zero value too

// The text messages print for an operator code: "=", "<>", ">", "<", ">=",
// "<=", "NOT", "AND", "OR", "LIKE", "NOT LIKE", "IS NULL", "IS NOT NULL", "+",
// "-", "*", "/", "||", "UPPER", "LOWER", "TRIM", "LTRIM", "RTRIM", "SUM",
// "AVG", "MIN", "MAX", "COUNT", "COUNT(*)"; "unknown" for every other code.
std::string VLMOperatorName(uint8_t code);

// Splits text at every ';' into names trimmed of surrounding blanks and
// upper-cased (1252 rules); list is cleared first. An empty text gives none.
void VLMSplitFieldNames(std::string_view text, qv::StringList& list);

// The answer of a comparison "value op ALL / ANY (rows)" (op 1-6). empty:
// the rows are none. findRow(searchOp): whether some row r satisfies
// "r searchOp value". ALL over no rows holds, ANY over no rows does not; ANY
// asks for a row with the mirrored operator, ALL for none with the mirrored
// and negated one.
bool VLMCompareQuantified(uint8_t op, uint8_t quantifier, bool empty,
                          const std::function<bool(uint8_t searchOp)>& findRow);

// ------------------------------------------------------- TVLMAutoincTable

class TVLMExpression;

// A table that LASTAUTOINC opened through the components' hook (the
// OpenAutoincTable member of TVLMExpressionServices); closed when freed.
class TVLMAutoincTable {
public:
  virtual ~TVLMAutoincTable() = default;
  // The data type of the named field; 0 when the table has no such field.
  virtual TVLMDataType FindFieldDataType(const std::string& fieldName) = 0;
  // The value the field's last insert drew.
  virtual int64_t GetLastAutoincValue(const std::string& fieldName) = 0;
};

class TVLMScanSearchCondition;
class TVLMScanSearchConditionArray;

// ------------------------------------------------------------- TVLMExprNode

class TVLMExprNode {
public:
  explicit TVLMExprNode(bool caseInsensitive = false, bool prefixOnly = false);
  virtual ~TVLMExprNode();
  TVLMExprNode(const TVLMExprNode&) = delete;
  TVLMExprNode& operator=(const TVLMExprNode&) = delete;

  // ---- the 22 virtual operations, in slot order ----
  // Every base operation that recurses walks the children in list order.

  // Base: Prepare on every child.
  virtual void Prepare();
  // Evaluates against the current bindings and returns the node's result,
  // which stays the node's and is valid until its next evaluation.
  virtual TVLMVariant& GetValue() = 0;
  // Base: nothing / nullptr (subquery nodes load their rows' first fields).
  virtual void LoadValues();
  virtual TVLMVariant* GetLoadedValue(int32_t index);
  // Base: true as soon as one child answers true.
  virtual bool IsAggregated();
  // Base: false.
  virtual bool IsCountAll();
  // Base: on every child.
  virtual void InitAggregate();
  virtual void Accumulate();
  // Base: nothing.
  virtual void SetRowCount(int32_t count);
  // Binding; the base passes the call to every child.
  virtual void BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, TVLMCursor* cursor);
  virtual void BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2);
  virtual void SetRecordBuffer(uint8_t* buffer, bool outerFlag);
  // Base: 0 without children, else the common type of the children
  // (VLMGetCommonDataType, not for comparing); children without one raise
  // 30283 "Cannot determine expression type".
  virtual TVLMDataType GetDataType();
  // Base: for a string result of + (21), || (25) or CAST (46) the sum of the
  // children's sizes (overflow raises EIntOverflow); otherwise 0.
  virtual int32_t GetDataSize();
  // Base: 0.
  virtual int32_t GetExtraAttribute();
  // Base: true when every child answers true (stops at the first false).
  virtual bool ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool matchFlag,
                             TVLMCursor* cursor);
  // Index planning (comparison and IS [NOT] NULL nodes); base: false /
  // nothing.
  virtual bool CanUseIndex(int32_t columnNo, uint8_t scanOperator, int32_t sessionID,
                           const TVLMIndexDef& indexDef);
  virtual void AddScanCondition(TVLMScanSearchConditionArray& conditions, const TVLMIndexDef& indexDef,
                                TVLMExpression* expression);
  virtual void ExtendScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef& indexDef,
                                   TVLMExpression* expression);
  // Base: false.
  virtual bool IsJoinCondition(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2);
  // Base: on every child.
  virtual void RemapFields(std::span<const TVLMFieldMapping> mapping);
  // Base: true when every child answers true (stops at the first false).
  virtual bool UsesOnlyFields(std::string_view fieldList);

  // ---- children ----
  int32_t ChildCount() const { return static_cast<int32_t>(Children.size()); }
  TVLMExprNode* Child(int32_t index) const { return Children[static_cast<size_t>(index)].get(); }
  void AddChild(std::unique_ptr<TVLMExprNode> child);
  // Takes child index out of the list and hands it over.
  std::unique_ptr<TVLMExprNode> TakeChild(int32_t index);
  // Position of child among the children; -1 when it is not one.
  int32_t IndexOfChild(const TVLMExprNode* child) const;
  // Child index becomes node; the old child is handed back.
  std::unique_ptr<TVLMExprNode> ReplaceChild(int32_t index, std::unique_ptr<TVLMExprNode> node);

  // ---- routines of the index planning ----
  // A field node that is not an outer reference, or UPPER / LOWER whose
  // first child is one.
  static bool IsIndexableField(const TVLMExprNode* node);
  // A constant, or a field node that is an outer reference.
  static bool IsSearchValue(const TVLMExprNode* node);
  // value into the key buffer of condition at table field fieldNo, one more
  // key field, and (expression, node) recorded as its source.
  static void FillKeyField(TVLMExprNode* node, const TVLMVariant& value, TVLMCursor* cursor,
                           TVLMScanSearchCondition& condition, TVLMExpression* expression, int32_t fieldNo);

  std::vector<std::unique_ptr<TVLMExprNode>> Children;
  uint8_t Operator = 0;
  TVLMVariant Result;
  // String comparisons and LIKE of this node ignore case.
  bool CaseInsensitive;
  // A comparison compares only as many characters as the right-hand string
  // has (LIKE 'abc%' rewritten as a comparison).
  bool PrefixOnly;

protected:
  // EVLMException code "Unknown operator: '%s'" with the operator's name.
  [[noreturn]] void UnknownOperator(int32_t code) const;
  // Told by ReplaceChild (not one of the slots): a node that keeps its own
  // pointers to children points at now where it pointed at old.
  virtual void ChildReplaced(const TVLMExprNode* old, TVLMExprNode* now);
};

// ----------------------------------------------------------- TVLMExprNodeField

class TVLMExprNodeField : public TVLMExprNode {
public:
  // Unbound; with a cursor, BindToCursor(cursor, nullptr, nullptr) at once.
  TVLMExprNodeField(TVLMCursor* cursor, std::string tableName, std::string fieldName);

  // The value of the field: from the record buffer (a null bit gives null; a
  // memo or wide memo is read whole through the cursor's table data; any
  // other type borrows the buffer's bytes), else from the bound operand's
  // current row. Neither raises 30196 "Dataset and AO not assigned".
  TVLMVariant& GetValue() override;
  // Binds to operand1, else operand2; failing both, an outer reference is
  // bound to the cursor; otherwise 30197 "Field '%s' not found" (table.field,
  // or the field alone when no table is named).
  void BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, TVLMCursor* cursor) override;
  // An inner field binds to cursor1, else cursor2 (30115 "Field '%s' not
  // found" when neither has it); an outer reference to cursor2, else
  // operand, else stays unbound. cursor1 nullptr raises 30202 "Value is
  // Null". A bound cursor's current record buffer becomes the field's.
  void BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2) override;
  // Keeps buffer only when outerFlag equals the outer-reference flag, so one
  // call serves inner fields and another (flag set) outer references.
  void SetRecordBuffer(uint8_t* buffer, bool outerFlag) override;
  // The cursor's field type, else the operand's; 0 raises 30284.
  TVLMDataType GetDataType() override;
  int32_t GetDataSize() override;
  // Found as exactly one result field of operand1, else of operand2 (an outer
  // reference), else in cursor (an outer reference).
  bool ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool matchFlag,
                     TVLMCursor* cursor) override;
  void RemapFields(std::span<const TVLMFieldMapping> mapping) override;
  bool UsesOnlyFields(std::string_view fieldList) override;

  void GetRealNames(std::string& tableName, std::string& fieldName) const;
  // The field's table field number in cursor (by name in the table's list,
  // then in the cursor's list; then the same by the operand field name).
  bool FindInCursor(TVLMCursor* cursor, int32_t& fieldNo) const;
  // Takes the first result field of operand that matches.
  bool BindToOperand(TVLMQueryOperator* operand);

  // Bindings (not owned).
  TVLMCursor* Cursor = nullptr;
  TVLMQueryOperator* Operand = nullptr;
  uint8_t* RecordBuffer = nullptr;
  // The names as written, and the matched operand field's name.
  std::string TableName;
  std::string FieldName;
  std::string OperandFieldName;
  // Table field number in the cursor, or result field number in the
  // operand; -1 while unresolved.
  int32_t FieldNo = -1;
  int32_t FieldOffset = 0;
  TVLMDataType DataType = 0;
  TVLMBaseDataType BaseType = 0;
  int32_t DataSize = 0;
  int32_t OperandFieldAttribute = 0;
  // Found in the outer row: a known value while the inner rows are scanned.
  bool OuterReference = false;
  bool MatchFlag = false;

private:
  void ReadMemo();
  void TakeCursorField(TVLMCursor* cursor, int32_t fieldNo);
};

// ------------------------------------------------------ TVLMExprNodeSubqueryBase

// What comparison and Boolean nodes ask of a subquery child. The subquery
// node runs its statement for each answer.
class TVLMExprNodeSubqueryBase : public TVLMExprNode {
public:
  using TVLMExprNode::TVLMExprNode;

  // EXISTS: the result has a row.
  virtual bool HasRows() = 0;
  // IN: some row's first field equals value.
  virtual bool ContainsValue(const TVLMVariant& value) = 0;
  // "value op ALL / ANY (the rows)"; implementations answer through
  // VLMCompareQuantified.
  virtual bool CompareQuantified(uint8_t op, uint8_t quantifier, const TVLMVariant& value) = 0;
};

// ------------------------------------------------------ TVLMExprNodeComparison

class TVLMExprNodeComparison : public TVLMExprNode {
public:
  TVLMExprNodeComparison(uint8_t op, bool caseInsensitive, bool prefixOnly, bool nullStrict,
                         std::unique_ptr<TVLMExprNode> left, std::unique_ptr<TVLMExprNode> right,
                         uint8_t quantifier = kVLMQuantifierNone);

  // A wide constant compared with an 8-bit text field becomes 8-bit text,
  // once.
  void Prepare() override;
  // Always true or false; an operator outside 1-6 raises 30117.
  TVLMVariant& GetValue() override;
  bool CanUseIndex(int32_t columnNo, uint8_t scanOperator, int32_t sessionID,
                   const TVLMIndexDef& indexDef) override;
  void AddScanCondition(TVLMScanSearchConditionArray& conditions, const TVLMIndexDef& indexDef,
                        TVLMExpression* expression) override;
  void ExtendScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef& indexDef,
                           TVLMExpression* expression) override;
  bool IsJoinCondition(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2) override;

  // The indexable field (under UPPER / LOWER, the field node itself) and the
  // search value; both nullptr unless both are found. fieldOnRight tells
  // that the field is the right operand (the operator then reads mirrored).
  void FindFieldAndValue(TVLMExprNodeField*& field, TVLMExprNode*& value, bool& fieldOnRight);

  bool NullStrict;
  uint8_t Quantifier;
};

// ------------------------------------------------------- TVLMExprNodeBoolean

class TVLMExprNodeBoolean : public TVLMExprNode {
public:
  // Children by operator: NOT, IS [NOT] NULL, EXISTS one; AND, OR two or
  // more; IN the tested value, then the items or one subquery; BETWEEN value,
  // low, high; LIKE value, pattern.
  explicit TVLMExprNodeBoolean(uint8_t op, std::string escape = {}, bool prefixOnly = false,
                               bool caseInsensitive = false);
  TVLMExprNodeBoolean(uint8_t op, std::unique_ptr<TVLMExprNode> child1,
                      std::unique_ptr<TVLMExprNode> child2 = nullptr,
                      std::unique_ptr<TVLMExprNode> child3 = nullptr);

  // A logical value (true, false or null); an operator outside 7-18 raises
  // 30116.
  TVLMVariant& GetValue() override;
  // IS NULL, IS NOT NULL and BETWEEN (two bounds) only; every other operator
  // answers false and adds nothing.
  bool CanUseIndex(int32_t columnNo, uint8_t scanOperator, int32_t sessionID,
                   const TVLMIndexDef& indexDef) override;
  void AddScanCondition(TVLMScanSearchConditionArray& conditions, const TVLMIndexDef& indexDef,
                        TVLMExpression* expression) override;
  void ExtendScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef& indexDef,
                           TVLMExpression* expression) override;

  // The ESCAPE character of LIKE (empty when none).
  std::string Escape;

private:
  void EvaluateIn();
  void EvaluateBetween();
  void EvaluateLike();
  // "field BETWEEN a AND b" over the first column of indexDef, with present
  // search values as bounds.
  bool BetweenServesIndex(int32_t columnNo, int32_t sessionID, const TVLMIndexDef& indexDef);

public:
  // "field IN (constants)" or "field IN (a subquery that refers to no outer
  // row)" over a number field, the values numbers: the field and the present
  // values (the subquery is run for them), so that a search may look each
  // value up in an index rather than test every record; false for any
  // other node.
  bool InProbe(TVLMExprNodeField*& field, std::vector<const TVLMVariant*>& values);
  TVLMExprNodeField* IndexedField() const;
  TVLMExprNodeSubqueryBase* SubqueryChild(int32_t index) const;

  TVLMVariant Scratch_;
};

// -------------------------------------------------------- TVLMExprNodeConst

class TVLMExprNodeConst : public TVLMExprNode {
public:
  // A null value.
  TVLMExprNodeConst();
  // A copy of value.
  explicit TVLMExprNodeConst(const TVLMVariant& value);

  TVLMVariant& GetValue() override { return Result; }
  // The SQL type of the value's base type.
  TVLMDataType GetDataType() override;
  // Characters of a text (twice that for wide text); 0 otherwise.
  int32_t GetDataSize() override;
  bool ResolveFields(TVLMQueryOperator*, TVLMQueryOperator*, bool, TVLMCursor*) override { return true; }

  // A text longer than one character whose first '%' is its last character
  // and that holds no '_' (a wildcard a prefix comparison cannot keep).
  bool IsPrefixPattern() const;
  // The statement parameter the value was taken from (not owned; nullptr
  // for a literal): a statement kept between runs takes the parameter's new
  // value with RefreshParameters.
  const TVLMVariant* Source = nullptr;
  // RemoveLastChar took the last character off the value.
  bool LastCharRemoved = false;
  // Drops the last character of a text.
  void RemoveLastChar();
  // A non-null text equal to its own upper / lower case.
  bool IsUpperCase() const;
  bool IsLowerCase() const;
};

// --------------------------------------------------- TVLMExprNodeArithmetic

// + (all children added in order), - (the first child negated), * (all
// multiplied), / (the first divided by each later child in order), and the
// numeric functions ABS ... SQRT with their arguments as children. The
// operations are the value's (null propagates); the functions raise an
// engine error for an argument outside their domain or a result their type
// cannot hold, so no NaN or infinity is ever stored.
class TVLMExprNodeArithmetic : public TVLMExprNode {
public:
  explicit TVLMExprNodeArithmetic(uint8_t op, std::unique_ptr<TVLMExprNode> child1 = nullptr,
                                  std::unique_ptr<TVLMExprNode> child2 = nullptr,
                                  std::unique_ptr<TVLMExprNode> child3 = nullptr);

  // An operator outside 21-24 and 50-65 raises 30121. A function (50-65)
  // with a null argument gives a null value of its type; each argument is
  // evaluated once.
  TVLMVariant& GetValue() override;
  // ABS, SQR: the argument's type; ACOS ... SQRT but CEIL, FLOOR, RAND,
  // SIGN: DOUBLE; CEIL, FLOOR, RAND, SIGN and one-argument ROUND:
  // SIGNEDINT32; + - * /: the common type of the children.
  TVLMDataType GetDataType() override;

private:
  // Evaluates the function's arguments into Arguments_; false when one is
  // null.
  bool ReadArguments();
  void Round();
  // Argument index as ReadArguments read it, and as a double.
  const TVLMVariant& ArgumentValue(int32_t index) const;
  double Argument(int32_t index) const;
  void SetFloat(double value, int32_t code);

  std::array<const TVLMVariant*, 3> Arguments_{};
};

// ----------------------------------------------- TVLMExprNodeStringFunction

// || (25) and UPPER, LOWER, TRIM, LTRIM, RTRIM, LENGTH, POS, SUBSTRING
// (26-33). The text is the first argument converted to text; a null text
// gives null, except LENGTH (0) and POS (0). || reads a null part as the
// empty text on either side, and is null only when every part is.
class TVLMExprNodeStringFunction : public TVLMExprNode {
public:
  explicit TVLMExprNodeStringFunction(uint8_t op, std::unique_ptr<TVLMExprNode> child1 = nullptr,
                                      std::unique_ptr<TVLMExprNode> child2 = nullptr,
                                      std::unique_ptr<TVLMExprNode> child3 = nullptr);

  // An operator outside 25-33 raises 30131.
  TVLMVariant& GetValue() override;
  TVLMDataType GetDataType() override;
  // ||: first wraps every child of another type than the result's in a CAST
  // to it, then the sum of the sizes.
  int32_t GetDataSize() override;

private:
  // The result becomes a copy of child 0 as text; false when it is null.
  bool PrepareText();
};

// ----------------------------------------------------- TVLMExprNodeSubquery

// A nested SELECT: a single value, the list of IN, the rows of EXISTS or the
// operand of a quantified comparison. Every answer runs the SELECT (opens,
// reads, frees); an IN answer of a subquery that does not refer to outer
// rows is remembered for the last value tested.
//
// Error codes: 20246 more or fewer result fields than one, 20247 more than
// one row, 20249 no row where one is required.
class TVLMExprNodeSubquery : public TVLMExprNodeSubqueryBase {
public:
  TVLMExprNodeSubquery(std::unique_ptr<TVLMSubquery> subquery, bool singleField, bool singleRow);

  // The first field of the first row; null without a row (unless the
  // single-row flag requires one). Without the single-field flag (the row
  // value of an UPDATE) every field of that row is kept as well.
  TVLMVariant& GetValue() override;
  // The fields of the row the last GetValue read (0 without a row), and
  // field index of them (nullptr outside 0 .. GetValueCount() - 1).
  int32_t GetValueCount() const { return static_cast<int32_t>(RowValues_.size()); }
  TVLMVariant* GetValueByIndex(int32_t index);
  // Copies every row's first field; GetLoadedValue(i) is row i's, nullptr
  // past the end.
  void LoadValues() override;
  TVLMVariant* GetLoadedValue(int32_t index) override;
  // The outer bindings the SELECT sees: operand1, cursor1 with its current
  // record buffer, and the record buffer handed down.
  void BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, TVLMCursor* cursor) override;
  void BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2) override;
  void SetRecordBuffer(uint8_t* buffer, bool outerFlag) override;
  // A subquery that refers to outer rows goes with the operator (operand1)
  // or cursor whose fields its outer references find.
  bool ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool matchFlag,
                     TVLMCursor* cursor) override;
  TVLMDataType GetDataType() override;
  int32_t GetDataSize() override;

  bool HasRows() override;
  bool ContainsValue(const TVLMVariant& value) override;
  bool CompareQuantified(uint8_t op, uint8_t quantifier, const TVLMVariant& value) override;

  // Asked of the SELECT, which finds it out when it is first built (after
  // the statement holding it is parsed, so that its outer names are known).
  bool IsCorrelated() { return Subquery_ && Subquery_->IsCorrelated(); }
  // The outer names of the SELECT (TVLMSubquery::AppendOuterNames).
  void AppendOuterNames(std::vector<TVLMQualifiedFieldName>& names) {
    if (Subquery_) Subquery_->AppendOuterNames(names);
  }

  bool SingleField;
  bool SingleRow;

private:
  // Opens the SELECT, checks the flags, runs action on the result.
  template <class Action>
  auto Run(Action action);

  std::unique_ptr<TVLMSubquery> Subquery_;
  std::vector<std::unique_ptr<TVLMVariant>> LoadedValues_;
  std::vector<std::unique_ptr<TVLMVariant>> RowValues_;
  TVLMQueryOperator* OuterOperand_ = nullptr;
  TVLMCursor* OuterCursor_ = nullptr;
  uint8_t* OuterRecordBuffer_ = nullptr;
  TVLMVariant LastTested_;
  bool LastAnswer_ = false;
  bool LastValid_ = false;
};

// ------------------------------------------------------- TVLMExprNodeSystem

// LASTAUTOINC (47) and ROWNUM (49).
class TVLMExprNodeSystem : public TVLMExprNode {
public:
  // ROWNUM: 1 at the first evaluation, one more at every further one.
  explicit TVLMExprNodeSystem(uint8_t op);
  // LASTAUTOINC: opens the table through the components' hook (none
  // registered raises 30702) and looks the field up (absent: 30337 "Field
  // '%s' not found").
  TVLMExprNodeSystem(uint8_t op, bool inMemory, std::string tableName, std::string fieldName,
                     const std::string& databaseName, const std::string& sessionName);

  // An operator other than 47 and 49 raises 30338.
  TVLMVariant& GetValue() override;
  TVLMDataType GetDataType() override;
  int32_t GetDataSize() override { return 0; }

  bool InMemory = false;
  std::string TableName;
  std::string FieldName;

private:
  std::unique_ptr<TVLMAutoincTable> Table_;
  TVLMDataType FieldDataType_ = 0;
  int32_t RowCount_ = 0;
};

// --------------------------------------------------- TVLMExprNodeAggregated

// SUM, AVG, MIN, MAX, COUNT (34-38) over child 0, and COUNT(*) (39), for the
// rows of one group: InitAggregate, Accumulate per row, GetValue.
// With Distinct, a value met before in the group is not counted again.
//
// Error codes: 30132 / 30133 a non-numeric SUM / AVG argument, 30134 an
// unknown operator.
class TVLMExprNodeAggregated : public TVLMExprNode {
public:
  // COUNT(*).
  explicit TVLMExprNodeAggregated(uint8_t op);
  TVLMExprNodeAggregated(uint8_t op, std::unique_ptr<TVLMExprNode> argument, bool distinct);
  ~TVLMExprNodeAggregated() override;

  TVLMVariant& GetValue() override;
  bool IsAggregated() override { return true; }
  bool IsCountAll() override { return Operator == kVLMOpCountAll; }
  void InitAggregate() override;
  void Accumulate() override;
  void SetRowCount(int32_t count) override { RowCount_ = count; }
  // Resolves only against the group-by operator.
  bool ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool matchFlag,
                     TVLMCursor* cursor) override;
  bool UsesOnlyFields(std::string_view) override { return true; }
  // SUM: the argument's type for SINGLE, DOUBLE, EXTENDED and CURRENCY, else
  // SIGNEDINT64; AVG: DOUBLE; MIN, MAX: the argument's; COUNT: SIGNEDINT32.
  TVLMDataType GetDataType() override;
  int32_t GetDataSize() override;

  bool Distinct;

private:
  class TSeenValues;
  // False for a value this group has met before (with Distinct).
  bool FirstTime(const TVLMVariant& value);
  void CountRow();

  int32_t RowCount_ = 0;
  TVLMVariant Work_;
  std::unique_ptr<TSeenValues> Seen_;
};

// ---------------------------------------------------------- TVLMExprNodeCast

// CAST (46): child 0 converted to the target type; child 1, when given, the
// length a text result is cut to (4096 without one).
class TVLMExprNodeCast : public TVLMExprNode {
public:
  TVLMExprNodeCast(std::unique_ptr<TVLMExprNode> argument, std::unique_ptr<TVLMExprNode> length,
                   TVLMDataType targetType);

  TVLMVariant& GetValue() override;
  TVLMDataType GetDataType() override { return TargetType; }
  // The length when given; for a text target without one, the text width of
  // the argument's type (30466 for a type without one); otherwise 0.
  int32_t GetDataSize() override;

  TVLMExprNode* Length() const { return ChildCount() > 1 ? Child(1) : nullptr; }

  TVLMDataType TargetType;
};

// ---------------------------------------------------------- TVLMExprNodeCase

// CASE operand WHEN v THEN r ... [ELSE e] END, CASE WHEN c THEN r ... END,
// and COALESCE(a, b, ...). The result borrows the chosen branch's value.
class TVLMExprNodeCase : public TVLMExprNode {
public:
  // A simple CASE over operand; without one a searched CASE.
  explicit TVLMExprNodeCase(std::unique_ptr<TVLMExprNode> operand = nullptr);
  // COALESCE over the arguments in order.
  explicit TVLMExprNodeCase(std::vector<std::unique_ptr<TVLMExprNode>> arguments);

  void AddWhen(std::unique_ptr<TVLMExprNode> when);
  void AddThen(std::unique_ptr<TVLMExprNode> then);
  void SetElse(std::unique_ptr<TVLMExprNode> otherwise);

  TVLMVariant& GetValue() override;
  // The common type of the results (COALESCE: of the arguments).
  TVLMDataType GetDataType() override;
  // First wraps every result of another type than the node's in a CAST to
  // it, then the largest size.
  int32_t GetDataSize() override;

  bool Coalesce = false;

protected:
  void ChildReplaced(const TVLMExprNode* old, TVLMExprNode* now) override;

private:
  // The results: THEN values and ELSE, or the COALESCE arguments.
  std::vector<TVLMExprNode**> ResultSlots();

  TVLMExprNode* Operand_ = nullptr;
  std::vector<TVLMExprNode*> When_;
  std::vector<TVLMExprNode*> Then_;
  TVLMExprNode* Else_ = nullptr;
  std::vector<TVLMExprNode*> Arguments_;
};

// ---------------------------------------------------------- TVLMExprNodeBlob

// MIMETOBIN (48): child 0, Base64 text, decoded into text of those bytes.
class TVLMExprNodeBlob : public TVLMExprNode {
public:
  explicit TVLMExprNodeBlob(std::unique_ptr<TVLMExprNode> text);
  TVLMVariant& GetValue() override;
  TVLMDataType GetDataType() override { return dtString; }
  int32_t GetDataSize() override { return 0; }
};

// -------------------------------------------------- TVLMExprNodeDateFunction

// The current local date and time (40), date (41) and time (42), TODATE
// (43), TOSTRING (44) and EXTRACT (45). The clock is qv::NowLocal.
class TVLMExprNodeDateFunction : public TVLMExprNode {
public:
  // 40-42.
  explicit TVLMExprNodeDateFunction(uint8_t op);
  // TODATE and TOSTRING under the date format pattern.
  TVLMExprNodeDateFunction(uint8_t op, std::string_view format, std::unique_ptr<TVLMExprNode> argument);
  // EXTRACT of part 0 year, 1 month, 2 day, 3 hour, 4 minute, 5 second.
  TVLMExprNodeDateFunction(uint8_t op, std::unique_ptr<TVLMExprNode> argument, uint8_t part);
  ~TVLMExprNodeDateFunction() override;

  // Other operators raise 30130.
  TVLMVariant& GetValue() override;
  // Other operators raise 30287.
  TVLMDataType GetDataType() override;
  // TOSTRING: the longest text of its format; otherwise 0.
  int32_t GetDataSize() override;

  uint8_t Part = 0;

private:
  std::unique_ptr<TDateFormater> Formater_;
};

// ------------------------------------------------------------ TVLMExpression

class TVLMExpression {
public:
  // No tree, no lexer, options clear, NullSemantics set.
  TVLMExpression();
  // The same, taking over root.
  explicit TVLMExpression(std::unique_ptr<TVLMExprNode> root);
  ~TVLMExpression();
  TVLMExpression(const TVLMExpression&) = delete;
  TVLMExpression& operator=(const TVLMExpression&) = delete;

  // ---- the tree ----
  TVLMExprNode* GetRoot() const { return Root_.get(); }
  // Frees the old tree and takes over root.
  void SetRoot(std::unique_ptr<TVLMExprNode> root);
  // Hands the tree over; the expression is left empty.
  std::unique_ptr<TVLMExprNode> ReleaseRoot() { return std::move(Root_); }
  void Clear() { Root_.reset(); }
  // Appends node to the root's children, or makes it the root.
  void AddNode(std::unique_ptr<TVLMExprNode> node);
  // Puts node back where it was taken out: at position among the root's
  // children, or as the root for -1 (or when there is no root).
  void InsertNode(std::unique_ptr<TVLMExprNode> node, int32_t position);
  // Joins other's tree to this one under an AND node (other is left empty),
  // then FlattenAnd.
  void AndWith(TVLMExpression& other);
  // Moves the children of AND nodes directly under an AND root up into the
  // root, keeping every other conjunct in its order.
  void FlattenAnd();

  // ---- parsing (the expression parser, VLMExpressionParser.cpp) ----
  // A dataset filter: the first statement of text as a condition over
  // cursor's fields. Parameter markers raise 30358 (there are no values),
  // a text without a statement 30119 "Blank SQL command".
  void ParseFilter(TVLMCursor* cursor, std::string_view text, bool caseInsensitive, bool partialCompare);
  // A condition from the lexer's current token (WHERE, ON, HAVING), leaving
  // the lexer after it. At the end of the statement 30118; no condition
  // 30066 "Boolean expression expected, but '%s' found at line %d, column %d".
  void ParseBoolean(TVLMQueryContext* queryContext, TVLMLexer* lexer);
  // A value from the lexer's current token; the new root, nullptr when the
  // tokens form no value (the lexer then stays where it was). At the end of
  // the statement 30136.
  TVLMExprNode* ParseValue(TVLMQueryContext* queryContext, TVLMLexer* lexer);
  // A subquery as an UPDATE value; nullptr when no SELECT follows. At the
  // end of the statement 30497; without a query context 30701.
  TVLMExprNode* ParseUpdateValue(TVLMQueryContext* queryContext, TVLMLexer* lexer);
  // A default value or CHECK text: true when text is exactly one value
  // expression with nothing after it. Never raises: any error gives false.
  bool ParseDefaultExpression(std::string_view text);

  // ---- built trees ----
  // The tree of a locate: "=" of each named field (';'-separated) with its
  // key value, under an AND node for an array of values (also of one), a
  // lone comparison for one plain value. Null keys match null fields. A
  // count that differs from the names raises 30112 "Count of FieldNames (%d)
  // not equal counts of KeyValues (%d)" and leaves no tree.
  void BuildKeyValuesCondition(TVLMCursor* cursor, std::string_view fieldNames, const qv::HostVariant& keyValues,
                               bool caseInsensitive, bool partialKey);
  // One comparison (operator op) of field fieldName with a copy of value.
  void BuildFieldComparison(TVLMCursor* cursor, std::string_view fieldName, uint8_t op, const TVLMVariant& value);

  // ---- evaluation ----
  // The root's value (the node's), nullptr without a tree; a null result
  // becomes Boolean false unless keepNull.
  TVLMVariant* GetValue(bool keepNull);
  // The value as a condition (null is false); without a tree 30110 "Value is
  // Null".
  bool GetBooleanValue();
  // The values of a root that is a row subquery: the fields of the row its
  // last evaluation read (0 without a row); of any other root its one
  // value (0 without a tree). GetValueByIndex evaluates only a root of one
  // value; nullptr outside 0 .. GetValueCount() - 1.
  int32_t GetValueCount();
  TVLMVariant* GetValueByIndex(int32_t index);

  // ---- forwarders to the root (0, false, nullptr or nothing without one) ----
  void LoadValues();
  TVLMVariant* GetLoadedValue(int32_t index);
  bool IsAggregated();
  bool IsCountAll();
  void InitAggregate();
  void Accumulate();
  void SetRowCount(int32_t count);
  // Binding, then Prepare.
  void BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, TVLMCursor* cursor);
  void BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2);
  void SetRecordBuffer(uint8_t* buffer, bool outerFlag);
  TVLMDataType GetDataType();
  int32_t GetDataSize();
  int32_t GetExtraAttribute();
  void RemapFields(std::span<const TVLMFieldMapping> mapping);
  // True without a tree.
  bool UsesOnlyFields(std::string_view fieldNames);
  // Every constant taken from a statement parameter takes the parameter's
  // present value (bind the tree again before it is evaluated).
  void RefreshParameters();
  // Whether RefreshParameters gives the tree every new parameter value: no
  // node of it took a value its own way (a subquery parsed its statement
  // with the parameters it saw).
  bool FollowsParameters() const;

  // ---- the select list of a condition ----
  // Gives a WHERE, ON or HAVING condition the select list, so that its names
  // may stand for select items: itemFor answers, for a field node of the
  // tree, a new tree of the select item the node names, or nullptr when it
  // names none; each node answered for is replaced by its tree. A subquery
  // keeps its own names.
  void SetSelectList(const std::function<std::unique_ptr<TVLMExprNode>(const TVLMExprNodeField&)>& itemFor);

  // ---- tests ----
  // No tree, or a Boolean root without children.
  bool IsEmptyCondition() const;
  bool IsField() const;
  // The root or one of its direct children is a field node.
  bool HasFieldOperand() const;
  // Names of a root field node; otherwise 30198 "Node is not a field".
  void GetFieldName(std::string& tableName, std::string& fieldName) const;

  // ---- splitting a condition ----
  // Moves the conjuncts that operator can evaluate (ResolveFields(op,
  // outerOperand, matchFlag, cursor)) out of this tree into the operator's
  // condition; with recurse, the operands first (a join's only while its
  // join flag is 0).
  void ExtractConditionsFor(TVLMQueryOperator* op, TVLMQueryOperator* outerOperand, bool matchFlag, bool recurse,
                            TVLMCursor* cursor);
  // Takes the equality join conditions between operand1 and operand2 out of
  // the tree (and frees them), appending their sides' names; answers their
  // number.
  // Whether a conjunct is an equality between a field of operand1 and one of
  // operand2 (as ExtractJoinFieldPairs takes them); the tree is unchanged.
  bool HasJoinCondition(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2);
  int32_t ExtractJoinFieldPairs(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2,
                                std::vector<TVLMQualifiedFieldName>& leftFields,
                                std::vector<TVLMQualifiedFieldName>& rightFields);
  // Offers every comparison and IS [NOT] NULL conjunct (through nested ANDs)
  // to every index of indexDefs (column 0); each that can use one adds its
  // index condition to conditions.
  void CollectScanConditions(TVLMScanSearchConditionArray& conditions, const TVLMIndexDefs& indexDefs,
                             int32_t sessionID);
  // Extends condition by the first conjunct that can serve the index's next
  // column; true when one did.
  bool HasScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef& indexDef);
  // The first IN conjunct (through nested ANDs) whose values can be looked
  // up one by one (TVLMExprNodeBoolean::InProbe); false when none.
  bool FindInProbe(TVLMExprNodeField*& field, std::vector<const TVLMVariant*>& values);
  // Takes the conjuncts of this expression that the items index1 and index2
  // of conditions list out of the tree; each is held by its item (numbers
  // outside the array are skipped).
  void RemoveCoveredConditions(TVLMScanSearchConditionArray& conditions, int32_t index1, int32_t index2);

  // ---- state ----
  // The lexer being read while parsing, and a copy of its current token.
  TVLMLexer* Lexer = nullptr;
  TToken Token;
  // The cursor field references bind to; nullptr for the SQL engine's trees.
  TVLMCursor* Cursor = nullptr;
  TVLMQueryContext* QueryContext = nullptr;
  // Filter options handed to the comparisons the parser builds.
  bool CaseInsensitive = false;
  bool PartialCompare = false;
  // Handed to comparisons as their null-strict flag: set keeps the null
  // outcomes of SQL conditions; clear lets a null key compare as a value
  // (locates and ranges).
  bool NullSemantics = true;
  // The query context's database and session names, for LASTAUTOINC.
  std::string QueryName1;
  std::string QueryName2;
  // The owning dataset works in memory (set before parsing).
  bool InMemory = false;

private:
  std::unique_ptr<TVLMExprNode> Root_;
};

// ------------------------------------------------------------------ routines

// Whether a field's default value is an expression rather than a literal: a
// non-null text that parses as a default expression with no field at the
// root or directly under it, whose evaluated text differs from the text
// (NOW is an expression, 'abc' and 5 are literals). Never raises.
bool VLMIsExpressionDefault(const TVLMVariant& value);
// A new expression parsed from value when VLMIsExpressionDefault holds;
// nullptr otherwise (the field definitions' ParseDefaultExpression service).
TVLMExpression* VLMParseExpressionDefault(const TVLMVariant& value) noexcept;

// Seeds the generator RAND draws from, so that runs can be repeated.
void VLMSetRandomSeed(uint32_t seed);

// The services this module installs. The SQL engine and the components copy
// them, set their factories (CreateSubquery, OpenAutoincTable) and install
// the copy with VLMInstallExpressionServices.
const TVLMExpressionServices& VLMExpressionModuleServices();
