// The statement processor: one lexer over the text, the statements taken in
// turn and dispatched on their first keyword, the rows they report summed.
#include "engine/sql/VLMSQLProcessor.h"

#include "engine/components/VLMMain.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/sql/VLMSQLCommand.h"
#include "engine/sql/VLMSQLDDL.h"
#include "engine/sql/VLMSQLModify.h"
#include "platform/host/ScopeExit.h"

namespace {

constexpr std::string_view kObjectTypeExpected = "Object type keyword expected, but '%s' found at line %d, column %d";
constexpr std::string_view kEndOfCommand = "Unexpected end of SQL command found at line %d, column %d";
constexpr std::string_view kSQLTokenExpected = "SQL token expected, but '%s' found at line %d, column %d";

}  // namespace

TVLMSQLProcessor::TVLMSQLProcessor(TVLMDataSet* owner)
    : Owner(owner), KeptTables_(std::make_unique<TVLMKeptTables>()) {
  // The statements this processor parses may hold subqueries.
  VLMSetSubqueryFactory(&VLMCreateSubquery);
}

TVLMSQLProcessor::~TVLMSQLProcessor() {
  ClearCommands();
  KeptTables_->Clear();
}

void TVLMSQLProcessor::SetSQL(std::string_view text) { SQL_ = std::string(text); }

void TVLMSQLProcessor::ClearCommands() { Commands_.clear(); }

void TVLMSQLProcessor::SetCommand(std::unique_ptr<TVLMSQLCommand> command) {
  Commands_.clear();
  Commands_.push_back(std::move(command));
  VLM_INVARIANT("VLMSQLProcessor 1", Commands_.size() <= 1);
}

TVLMCursor* TVLMSQLProcessor::Execute() {
  // The subqueries keep their trees for one run only.
  auto release = qv::ScopeExit([] { VLMReleaseKeptSubqueries(); });
  TVLMKeptTablesScope keptTables(KeptTables_.get());
  RowsAffected = 0;
  ClearCommands();
  Lexer_.reset();
  Lexer_ = std::make_unique<TVLMLexer>(SQL_, &Params, false);
  while (NextStatement(*Lexer_)) {
    VLM_INVARIANT("VLMSQLProcessor 1", Commands_.size() <= 1);
    TVLMSQLCommand& command = *Command();
    // A statement that may change a table's structure or drop it finds no
    // table of this processor open.
    if (dynamic_cast<TVLMSQLCursorCommand*>(&command) == nullptr && dynamic_cast<TVLMSQLInsert*>(&command) == nullptr &&
        dynamic_cast<TVLMSQLUpdate*>(&command) == nullptr && dynamic_cast<TVLMSQLDelete*>(&command) == nullptr &&
        dynamic_cast<TVLMSQLStartTransaction*>(&command) == nullptr &&
        dynamic_cast<TVLMSQLCommit*>(&command) == nullptr && dynamic_cast<TVLMSQLRollback*>(&command) == nullptr)
      KeptTables_->Clear();
    bool readOnly = ReadOnly;
    command.Execute(Owner, true, RequestLive, readOnly, nullptr, nullptr);
    ReadOnly = readOnly;
    if (__builtin_add_overflow(RowsAffected, static_cast<int64_t>(command.RowsAffected), &RowsAffected))
      throw EIntOverflow();
  }
  TVLMSQLCommand* last = Command();
  if (last == nullptr) return nullptr;
  TVLMCursor* cursor = last->GetCursor();
  if (cursor != nullptr) cursor->SetToBegin();
  return cursor;
}

void TVLMSQLProcessor::ExecSQL() { static_cast<void>(Execute()); }

bool TVLMSQLProcessor::NextStatement(TVLMLexer& lexer) {
  if (lexer.CommandCount == 0) throw EVLMException(30145, "Blank SQL command");
  if (!lexer.NextCommand()) return false;
  ClearCommands();
  Dispatch(lexer);
  return true;
}

void TVLMSQLProcessor::Dispatch(TVLMLexer& lexer) {
  TToken token;
  if (!lexer.GetCurrentToken(token)) throw EVLMException(30146, "Blank SQL command");
  if (token.Kind == tktLeftParenthesis) return CreateSelect(lexer);
  if (token.Kind != tktReservedWord)
    throw EVLMException(30154, kSQLTokenExpected, {token.Text, token.Line, token.Column});
  // The object word after CREATE, DROP and ALTER; the statement starts
  // parsing on it.
  auto objectWord = [&](int32_t otherCode, int32_t endCode) {
    if (!lexer.GetNextToken(token)) throw EVLMException(endCode, kEndOfCommand, {token.Line, token.Column});
    auto is = [&](uint16_t keyword) { return VLMIsReservedWord(token, keyword); };
    if (!is(kwTABLE) && !is(kwUNIQUE) && !is(kwINDEX))
      throw EVLMException(otherCode, kObjectTypeExpected, {token.Text, token.Line, token.Column});
    return is(kwTABLE);
  };
  switch (token.KeywordId) {
    case kwSELECT:
      return CreateSelect(lexer);
    case kwINSERT:
      return CreateInsert(lexer);
    case kwUPDATE:
      return CreateUpdate(lexer);
    case kwDELETE:
      return CreateDelete(lexer);
    case kwCREATE:
      return objectWord(30147, 30148) ? CreateCreateTable(lexer) : CreateCreateIndex(lexer);
    case kwDROP: {
      const bool table = objectWord(30149, 30150);
      if (!table && VLMIsReservedWord(token, kwUNIQUE))
        throw EVLMException(30149, kObjectTypeExpected, {token.Text, token.Line, token.Column});
      return table ? CreateDropTable(lexer) : CreateDropIndex(lexer);
    }
    case kwALTER:
      if (!objectWord(30151, 30152))
        throw EVLMException(30151, kObjectTypeExpected, {token.Text, token.Line, token.Column});
      return CreateAlterTable(lexer);
    case kwRENAME:
      if (!lexer.GetNextToken(token)) throw EVLMException(30353, kEndOfCommand, {token.Line, token.Column});
      if (VLMIsReservedWord(token, kwTABLE)) lexer.GetNextToken(token);
      return CreateRenameTable(lexer);
    case kwTRUNCATE:
      return CreateTruncateTable(lexer);
    case kwSTART:
      return CreateStartTransaction(lexer);
    case kwCOMMIT:
      return CreateCommit(lexer);
    case kwROLLBACK:
      return CreateRollback(lexer);
    default:
      throw EVLMException(30153, kSQLTokenExpected, {token.Text, token.Line, token.Column});
  }
}

// --------------------------------------------------------------- factories

void TVLMSQLProcessor::CreateSelect(TVLMLexer& lexer) {
  std::unique_ptr<TVLMSQLUnion> query = VLMMakeCommand<TVLMSQLUnion>(&lexer, Owner);
  const TToken& left = query->Token;
  if (left.Kind != tktNone)
    throw EVLMException(20260, "End of SQL command expected, but '%s' found at line %d, column %d",
                        {left.Text, left.Line, left.Column});
  SetCommand(std::move(query));
}

void TVLMSQLProcessor::CreateInsert(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMSQLInsert>(&lexer, Owner)); }

void TVLMSQLProcessor::CreateUpdate(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMSQLUpdate>(&lexer, Owner)); }

void TVLMSQLProcessor::CreateDelete(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMSQLDelete>(&lexer, Owner)); }

void TVLMSQLProcessor::CreateTruncateTable(TVLMLexer& lexer) {
  SetCommand(VLMMakeCommand<TVLMDDLTruncateTable>(&lexer, Owner));
}

void TVLMSQLProcessor::CreateCreateTable(TVLMLexer& lexer) {
  SetCommand(VLMMakeCommand<TVLMDDLCreateTable>(&lexer, Owner));
}

void TVLMSQLProcessor::CreateDropTable(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMDDLDropTable>(&lexer, Owner)); }

void TVLMSQLProcessor::CreateAlterTable(TVLMLexer& lexer) {
  SetCommand(VLMMakeCommand<TVLMDDLAlterTable>(&lexer, Owner));
}

void TVLMSQLProcessor::CreateRenameTable(TVLMLexer& lexer) {
  SetCommand(VLMMakeCommand<TVLMDDLRenameTable>(&lexer, Owner));
}

void TVLMSQLProcessor::CreateCreateIndex(TVLMLexer& lexer) {
  SetCommand(VLMMakeCommand<TVLMDDLCreateIndex>(&lexer, Owner));
}

void TVLMSQLProcessor::CreateDropIndex(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMDDLDropIndex>(&lexer, Owner)); }

void TVLMSQLProcessor::CreateStartTransaction(TVLMLexer& lexer) {
  SetCommand(VLMMakeCommand<TVLMSQLStartTransaction>(&lexer, Owner));
}

void TVLMSQLProcessor::CreateCommit(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMSQLCommit>(&lexer, Owner)); }

void TVLMSQLProcessor::CreateRollback(TVLMLexer& lexer) { SetCommand(VLMMakeCommand<TVLMSQLRollback>(&lexer, Owner)); }
