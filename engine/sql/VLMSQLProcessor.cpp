// The statement processor: one lexer over the text, the statements taken in
// turn and dispatched on their first keyword, the rows they report summed.
#include "engine/sql/VLMSQLProcessor.h"

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/sql/VLMKeptTables.h"
#include "engine/sql/VLMSQLCommand.h"
#include "engine/sql/VLMSQLDDL.h"
#include "engine/sql/VLMSQLModify.h"
#include "engine/sql/VLMSQLQueryExpr.h"
#include "engine/sql/VLMSQLTransaction.h"
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
  if (KeptTables_) KeptTables_->Clear();
}

std::unique_ptr<TVLMKeptTables> TVLMSQLProcessor::HandOverKeptTables() {
  ForgetKept();
  {
    TVLMKeptTablesScope scope(KeptTables_.get());
    ClearCommands();
  }
  std::unique_ptr<TVLMKeptTables> tables = std::move(KeptTables_);
  KeptTables_ = std::make_unique<TVLMKeptTables>();
  return tables;
}

void TVLMSQLProcessor::TakeOverKeptTables(std::unique_ptr<TVLMKeptTables> tables) {
  if (!tables) return;
  KeptTables_->Clear();
  KeptTables_ = std::move(tables);
}

void TVLMSQLProcessor::SetSQL(std::string_view text) {
  if (text == SQL_) return;
  // What was parsed of the old text goes with it.
  ForgetKept();
  ClearCommands();
  Lexer_.reset();
  LexedParams_.clear();
  SQL_ = std::string(text);
}

void TVLMSQLProcessor::ClearCommands() { Commands_.clear(); }

void TVLMSQLProcessor::SetCommand(std::unique_ptr<TVLMSQLCommand> command) {
  Commands_.clear();
  Commands_.push_back(std::move(command));
}

namespace {

// What the parse of a statement may have decided on a parameter's value
// besides its type: whether it is null (or empty text), and for text
// whether it is a LIKE pattern that only asks for a prefix ('abc%').
uint32_t ParameterShape(const TVLMVariant& value) {
  uint32_t shape = value.DataType;
  if (value.IsNull()) return shape | 0x10000;
  if (!value.IsString()) return shape;
  if (value.IsWideString()) {
    const std::u16string text = value.GetAsWideString();
    if (text.empty()) return shape | 0x10000;
    if (text.size() > 1 && text.find(u'%') == text.size() - 1) shape |= 0x20000;
  } else {
    const std::string text = value.GetAsString();
    if (text.empty()) return shape | 0x10000;
    if (text.size() > 1 && text.find('%') == text.size() - 1) shape |= 0x20000;
  }
  return shape;
}

}  // namespace

TVLMCursor* TVLMSQLProcessor::Execute() {
  // The subqueries keep their trees for one run only.
  auto release = qv::ScopeExit([] { VLMReleaseKeptSubqueries(); });
  TVLMKeptTablesScope keptTables(KeptTables_.get());
  try {
    return RunStatements();
  } catch (...) {
    // A refused statement closes everything it opened before the refusal
    // reaches the caller, whatever refused it: a tree built for a check
    // (a subquery's, asked for its outer names) holds open tables that
    // another connection's DDL would wait for until the next text.
    ForgetKept();
    ClearCommands();
    throw;
  }
}

TVLMCursor* TVLMSQLProcessor::RunStatements() {
  RowsAffected = 0;
  if (Kept_ && KeptStillFits()) {
    TVLMCursor* cursor = nullptr;
    if (RunKept(cursor)) return cursor;
  }
  ForgetKept();
  ClearCommands();
  // The text is split once: a run with the same parameter objects reads
  // the tokens again with their parameters' present values.
  bool sameParams = Lexer_ != nullptr && LexedParams_.size() == static_cast<size_t>(Params.GetCount());
  for (size_t i = 0; sameParams && i < LexedParams_.size(); ++i)
    sameParams = LexedParams_[i] == Params.GetItem(static_cast<int32_t>(i));
  if (sameParams) {
    Lexer_->Rewind();
  } else {
    Lexer_.reset();
    Lexer_ = std::make_unique<TVLMLexer>(SQL_, &Params, false);
    LexedParams_.clear();
    for (int32_t i = 0; i < Params.GetCount(); ++i) LexedParams_.push_back(Params.GetItem(i));
  }
  while (NextStatement(*Lexer_)) {
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
  if (Lexer_->CommandCount == 1) Keep(*last);
  TVLMCursor* cursor = last->GetCursor();
  if (cursor != nullptr) cursor->SetToBegin();
  return cursor;
}

void TVLMSQLProcessor::Keep(TVLMSQLCommand& command) {
  // An INSERT of values keeps its parse: every parameter value it uses
  // sits in a constant that can take a new value. A query is parsed and
  // built anew each run.
  auto* insert = dynamic_cast<TVLMSQLInsert*>(&command);
  if (insert == nullptr || insert->Select) return;
  for (const TVLMSQLInsert::TRow& row : insert->Rows)
    for (const auto& value : row.Values)
      if (!value->FollowsParameters()) return;
  Kept_ = true;
  KeptShapes_.clear();
  for (int32_t i = 0; i < Params.GetCount(); ++i) KeptShapes_.push_back(ParameterShape(*Params.GetItem(i)));
  KeptShaping_.clear();
  for (const TVLMVariant* source : Lexer_->ShapingParameters()) {
    auto copy = std::make_unique<TVLMVariant>();
    copy->Assign(*source, true);
    KeptShaping_.emplace_back(source, std::move(copy));
  }
}

bool TVLMSQLProcessor::KeptStillFits() const {
  if (Command() == nullptr || LexedParams_.size() != static_cast<size_t>(Params.GetCount()) ||
      KeptShapes_.size() != LexedParams_.size())
    return false;
  for (int32_t i = 0; i < Params.GetCount(); ++i) {
    const TVLMSQLParam* param = Params.GetItem(i);
    if (LexedParams_[static_cast<size_t>(i)] != param ||
        KeptShapes_[static_cast<size_t>(i)] != ParameterShape(*param))
      return false;
  }
  for (const auto& [source, value] : KeptShaping_)
    if (source->Compare(*value) != kVLMCompareEqual) return false;
  return true;
}

bool TVLMSQLProcessor::RunKept(TVLMCursor*& cursor) {
  TVLMSQLCommand& command = *Command();
  auto& insert = static_cast<TVLMSQLInsert&>(command);
  for (const TVLMSQLInsert::TRow& row : insert.Rows)
    for (const auto& value : row.Values) value->RefreshParameters();
  bool readOnly = ReadOnly;
  insert.Execute(Owner, true, RequestLive, readOnly, nullptr, nullptr);
  RowsAffected = insert.RowsAffected;
  cursor = nullptr;
  return true;
}

void TVLMSQLProcessor::ForgetKept() {
  Kept_ = false;
  KeptShapes_.clear();
  KeptShaping_.clear();
}

void TVLMSQLProcessor::ResultReleased() {
  if (Kept_ || Command() == nullptr) return;
  // A statement that is not kept holds nothing while the query is idle:
  // its tree goes, and its tables with it (to the kept tables, which keep
  // only what they may).
  TVLMKeptTablesScope scope(KeptTables_.get());
  ClearCommands();
}

void TVLMSQLProcessor::ExecSQL() {
  static_cast<void>(Execute());
  // Nobody reads the result.
  ResultReleased();
}

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
