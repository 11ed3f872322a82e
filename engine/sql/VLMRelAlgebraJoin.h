// The join operator: CROSS, INNER, LEFT, RIGHT and FULL joins of two
// operands, NATURAL joins, and joins on lists of field pairs (USING, or the
// equalities the statement found in ON or WHERE), with an optional residual
// condition. With field pairs both operands are sorted on their keys and
// merged; without them the join is a nested loop. How the rows are walked,
// the invariants and the FULL join's states are described at the top of
// VLMRelAlgebraJoin.cpp.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/sql/VLMRelAlgebra.h"
#include "platform/dataset/DataSet.h"

// The stored join kinds.
enum class TVLMJoinKind : uint8_t { Cross = 0, Inner = 1, Left = 2, Right = 3, Full = 4 };

class TVLMEngineReadState;
class TVLMTableData;

class TVLMAOJoin : public TVLMAO {
public:
  // Joins left and right. leftFields and rightFields are the key pairs, one
  // item per pair (each looked up in this operator: 10331 / 10332 "Invalid
  // field for join operation ..." unless exactly one field matches; an
  // unqualified name found once in each operand names the one on its own
  // list's side; 10330 / 10332 for lists of different lengths; 10334 when
  // both fields of a pair come from one operand). natural: the pairs are
  // the columns of equal names instead. condition: the residual condition
  // every pair of an outer join must also satisfy (owned). An INNER join
  // without pairs and without condition is a CROSS join. Each operand is
  // sorted ascending on its keys, in pair order.
  TVLMAOJoin(std::unique_ptr<TVLMAO> left, std::unique_ptr<TVLMAO> right, TVLMJoinKind kind, bool natural,
             const TVLMFields& leftFields, const TVLMFields& rightFields, std::unique_ptr<TVLMExpression> condition);
  ~TVLMAOJoin() override;

  void PipelineFirst() override;
  void PipelineNext() override;
  bool PipelineEof() override;
  // The product of the operands' counts for a CROSS join; 0 for the others
  // (the result table's count once materialised).
  int64_t PipelineRecordCount() override;
  // Binds JoinCondition and makes every field it or a computed field reads
  // visible in the operands (so that they carry it), pushes a DISTINCT into
  // operands that are joins, then opens as every operator does.
  void Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
  // The base operation; the computed fields then read their operands
  // through this operator, so that a padded side reads as null.
  void SetResultFields(std::span<TVLMFieldRef> items, bool distinct) override;
  // Non-zero for LEFT, RIGHT and FULL: conditions are not pushed into the
  // operands of an outer join (a WHERE conjunct below the null-supplying
  // side would keep rows that must be padded, or drop padded ones).
  uint8_t GetJoinFlag() override { return IsOuter; }

  uint8_t IsCross = 0;
  uint8_t IsOuter = 0;
  uint8_t IsInner = 0;
  TVLMJoinKind Kind = TVLMJoinKind::Cross;
  // Field numbers (of this operator) of the left and the right member of
  // each pair; the left member always comes from Left.
  TVLMIntegerArray LeftJoinFields{0, 100, 10};
  TVLMIntegerArray RightJoinFields{0, 100, 10};
  std::unique_ptr<TVLMExpression> JoinCondition;
  // The last comparison of the two current keys: 0 equal, 1 left smaller,
  // 2 left greater, 3 left key null, 4 right key null, 5 both null.
  uint8_t KeyCompare = 0;
  // FULL: the current left rows and the right rows of one key are being
  // paired.
  uint8_t InRun = 0;
  uint8_t FirstPending = 0;
  uint8_t JoinEof = 0;
  // The first row of the inner operand's run of rows with the current key
  // (the right operand's for FULL); empty when there is none.
  qv::Bookmark RunStart;
  // FULL: the first right row after the run, where the merge goes on.
  qv::Bookmark RunPosition;
  // FULL: a left and a right row that both have a null key come out as two
  // padded rows; set between the two.
  uint8_t NullPairPhase = 0;
  // Rows emitted for the current outer row.
  int32_t MatchCount = 0;
  // 1 with key pairs, 0 for a nested loop.
  uint8_t KeyMode = 0;

protected:
  // An INNER or FULL join puts the operand with fewer rows on the outer
  // (left) side, unless the left operand is a join pulled row by row.
  void OperandsOpened() override;
  bool StaysPipelined() const override { return Pipelined_; }
  // Each field reads one operand; operands are materialised (or pulled,
  // or leaves) before the fill starts.
  bool SourcesStayWhileFilling() const override { return true; }

private:
  // What the row just emitted leaves to do when the next one is asked for.
  enum class TMove : uint8_t { None, Outer, Inner, LeftNext, RightNext, Both, RunRight, RunNextLeft, TailRight };
  // Where the walk stands.
  enum class TStep : uint8_t { NewOuter, Scan, Compare, NullPair, Run, Tail };

  TVLMAO& OuterOperand() { return Kind == TVLMJoinKind::Right ? *Right : *Left; }
  TVLMAO& InnerOperand() { return Kind == TVLMJoinKind::Right ? *Left : *Right; }
  // The key of both current rows compared into KeyCompare, pair by pair.
  void CompareKeys();
  // True without JoinCondition; else the condition on the two current rows,
  // read with neither side padded.
  bool ConditionHolds();
  // The current row's key on one side (fields): whether a value of it is
  // null; a copy of it as RunKey_; whether it equals RunKey_.
  bool KeyHasNull(const TVLMIntegerArray& fields);
  void CopyRunKey(const TVLMIntegerArray& fields);
  bool KeyEqualsRunKey(const TVLMIntegerArray& fields);
  // The inner row's key is below the outer row's (after CompareKeys).
  bool InnerBehind() const;
  // INNER, LEFT, RIGHT and CROSS: the outer operand drives.
  void OuterDrivenNext();
  // Positions the inner operand for the current outer row; false when the
  // row can have no partner.
  bool StartOuterRow();
  // The inner operand's row starts the run of the outer key: RunStart and
  // RunKey_ mark it, unless the walk cannot leave that row before a new key.
  void MarkRunStart(const TVLMIntegerArray& outerFields);
  // The inner leaf on its first row whose key is the outer key or above;
  // false when there is none.
  bool SeekInner(const TVLMIntegerArray& outerFields);
  // The inner leaf on its first row whose key equals the outer key (read
  // into LeftKey_ before), by the table's keyed probe: true when it is
  // there, false (the leaf not moved) when there is none, nothing when the
  // probe cannot answer.
  std::optional<bool> ProbeInner();
  // Whether the inner leaf can be probed (sets the Probe members).
  bool PlanProbe();
  // The outer row with the inner side null.
  void PadOuterRow();
  void FullNext();
  void EnterRun();
  // FULL: the next left row of the run, or the right rows nobody matched.
  void NextLeftInRun();
  void GoTo(TVLMAO& operand, const qv::Bookmark& bookmark);
  qv::Bookmark BookmarkOf(TVLMAO& operand);
  // Past the operand's last row.
  void MoveToEnd(TVLMAO& operand);
  // DISTINCT over every carried field of each operand that is a join.
  void PushDistinct();
  // The left operand is a join that may hand its rows over one by one
  // instead of materialising them: this join is INNER or LEFT on one number
  // key, its right operand a table leaf (sorted through an index on the
  // key), and the left join applies no condition, DISTINCT or row limit of
  // its own.
  bool MayPullLeftJoin() const;
  // The pulled left join is materialised and sorted after all, as it would
  // have been (the right leaf has no index to seek).
  void MaterializeLeft();

  // A key of text compared with a key of numbers: the two sides are not in
  // one order, so the pairs are compared in a nested loop.
  bool KeysInLoop_ = false;
  // The inner operand is a table leaf sorted through an index on its one
  // number key and has many rows for each outer row: a new outer key seeks
  // its first inner row down the index instead of stepping to it.
  bool SeekInner_ = false;
  // The keyed probe of a seeking inner leaf without filter or range: the
  // table, the index and table field of the key, the key's integer range,
  // the key buffer and the bookmark of the record found (ProbeIndex_ -1: no
  // probe).
  TVLMTableData* ProbeTable_ = nullptr;
  int32_t ProbeIndex_ = -1;
  int32_t ProbeField_ = -1;
  int64_t ProbeLow_ = 0;
  int64_t ProbeHigh_ = 0;
  // Where the key's bytes lie in the key buffer, and how many.
  int32_t ProbeOffset_ = 0;
  int32_t ProbeSize_ = 0;
  std::vector<uint8_t> ProbeKey_;
  qv::Bookmark ProbeBookmark_;
  // Where the index keeps the last probe of this walk, for the next.
  std::unique_ptr<TVLMEngineReadState> ProbePosition_;
  // The probed inner leaf reads through a stored unique index on the key
  // alone: each run of equal keys is one row.
  bool InnerKeyUnique_ = false;
  // This join is the left operand of a join that pulls its rows: it is
  // never materialised.
  bool Pipelined_ = false;
  // The left operand is such a join: its rows are not in key order, so
  // every new outer key seeks its first inner row.
  bool PullsLeft_ = false;
  // The sort the left operand was given, for MaterializeLeft.
  TVLMSortKeys LeftOrder_;
  TMove Move_ = TMove::None;
  TStep Step_ = TStep::NewOuter;
  TVLMVariant LeftKey_;
  TVLMVariant RightKey_;
  // The key of the current run (copied).
  std::vector<TVLMVariant> RunKey_;
  // FULL: which right rows of the run (by position) matched a left row.
  std::vector<uint8_t> RunMatched_;
  int64_t RunIndex_ = 0;
  int64_t RunLength_ = 0;
  int64_t LastUnmatched_ = -1;
  bool FirstLeftOfRun_ = false;
  bool RunEndsAtEof_ = false;
};
