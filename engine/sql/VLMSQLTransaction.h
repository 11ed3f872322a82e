// The transaction statements: START TRANSACTION, COMMIT [WORK] [FLUSH] and
// ROLLBACK [WORK] (VLMSQLTransaction.cpp). Error codes: the design's
// 30457-30464 (grammar) and the project's 20628-20630 (a dataset without a
// database component), listed with the other statements' in
// VLMSQLCommand.h.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

#include "engine/sql/VLMSQLCommand.h"

// START TRANSACTION, COMMIT [WORK] [FLUSH], ROLLBACK [WORK]: forwarded to
// the database component of the owner (StartTransaction, Commit, Rollback);
// its refusals pass on unchanged.

class TVLMSQLStartTransaction : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
};

class TVLMSQLCommit : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;

  // FLUSH was written anywhere after COMMIT.
  uint8_t Flush = 0;
};

class TVLMSQLRollback : public TVLMSQLCommand {
public:
  using TVLMSQLCommand::TVLMSQLCommand;
  void Parse() override;
  void Execute(TVLMDataSet* owner, bool wantCursor, bool requestLive, bool& readOnly,
               TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) override;
};
