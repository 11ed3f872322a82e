// The transaction statements: START TRANSACTION, COMMIT and ROLLBACK, which
// hand the transaction of the owner's database component to that component.
//
// Grammar (keyword ids as in VLMConst.h):
//   START TRANSACTION ...        tokens after TRANSACTION are not examined
//   COMMIT {word}                FLUSH among the words commits with a flush
//                                of the file buffers (COMMIT WORK FLUSH,
//                                COMMIT FLUSH WORK)
//   ROLLBACK ...                 tokens after ROLLBACK are not examined
//
// A transaction belongs to the database component, not to the statement or
// the query: a START TRANSACTION run by one SQL text stays open for the
// next text of any query on that component, until COMMIT or ROLLBACK.
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMSQLTransaction.h"

namespace {

// The owner's database component; a dataset that is not attached to one
// has no transaction to control.
TVLMDatabase& DatabaseOf(TVLMDataSet* owner, int32_t code) {
  TVLMDatabase* database = owner != nullptr ? owner->Database() : nullptr;
  if (database == nullptr) throw EVLMException(code, "Nil pointer occured");
  return *database;
}

}  // namespace

void TVLMSQLStartTransaction::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30457, "Blank SQL command");
  if (!IsKeyword(kwSTART)) RaiseTokenExpected(30458, "START");
  if (!GetNextToken()) RaiseEndOfCommand(30459);
  if (!IsKeyword(kwTRANSACTION)) RaiseTokenExpected(30460, "TRANSACTION");
}

void TVLMSQLStartTransaction::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  DatabaseOf(owner, 20628).StartTransaction();
}

void TVLMSQLCommit::Parse() {
  Flush = 0;
  if (!GetCurrentToken()) throw EVLMException(30461, "Blank SQL command");
  if (!IsKeyword(kwCOMMIT)) RaiseTokenExpected(30462, "COMMIT");
  while (GetNextToken())
    if (IsKeyword(kwFLUSH)) Flush = 1;
}

void TVLMSQLCommit::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  DatabaseOf(owner, 20629).Commit(Flush != 0);
}

void TVLMSQLRollback::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30463, "Blank SQL command");
  if (!IsKeyword(kwROLLBACK)) RaiseTokenExpected(30464, "ROLLBACK");
}

void TVLMSQLRollback::Execute(TVLMDataSet* owner, bool, bool, bool&, TVLMQueryOperator*, TVLMCursor*) {
  DatabaseOf(owner, 20630).Rollback();
}
