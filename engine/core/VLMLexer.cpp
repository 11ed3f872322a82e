#include "engine/core/VLMLexer.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "engine/core/VLMExcept.h"
#include "platform/host/Exception.h"
#include "platform/host/Format.h"
#include "platform/os/Collation.h"

namespace {

std::unique_ptr<TVLMVariant> CopyValue(const TVLMVariant* source) {
  if (source == nullptr) return nullptr;
  auto copy = std::make_unique<TVLMVariant>();
  copy->Assign(*source, true);
  return copy;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---------------------------------------------------------------- TToken

TToken::TToken(const TToken& other)
    : Kind(other.Kind),
      KeywordId(other.KeywordId),
      Text(other.Text),
      Value(CopyValue(other.Value.get())),
      Source(other.Source),
      Line(other.Line),
      Column(other.Column) {}

TToken& TToken::operator=(const TToken& other) {
  if (this == &other) return *this;
  Value = CopyValue(other.Value.get());
  Source = other.Source;
  Kind = other.Kind;
  KeywordId = other.KeywordId;
  Text = other.Text;
  Line = other.Line;
  Column = other.Column;
  return *this;
}

// ---------------------------------------------------------------- parameters

TVLMSQLParam* TVLMSQLParams::GetItem(int32_t index) const {
  if (index < 0 || index >= GetCount())
    throw qv::EListError(qv::format("List index out of bounds (%d)", {index}));
  return Items_[static_cast<size_t>(index)].get();
}

TVLMSQLParam* TVLMSQLParams::Add() {
  Items_.push_back(std::make_unique<TVLMSQLParam>());
  return Items_.back().get();
}

TVLMSQLParam* TVLMSQLParams::FindParam(std::string_view name) const {
  // The 1252 case table maps byte to byte, so equal upper-cased texts have
  // equal lengths.
  for (const auto& item : Items_) {
    const std::string& n = item->Name;
    if (n.size() != name.size()) continue;
    size_t i = 0;
    while (i < n.size() && qv::UpperChar1252(n[i]) == qv::UpperChar1252(name[i])) ++i;
    if (i == n.size()) return item.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------- tokenizing

// The scan position and what is open at it. Tokens are always appended to the
// last statement, so "the open token" is that statement's last token.
struct TVLMLexer::TScanState {
  size_t Pos = 0;
  int32_t Line = 1;
  int32_t Column = 1;
  bool InCommand = false;    // a statement has been opened and not ended
  bool TokenOpen = false;    // the last token may still grow (word, number, dot)
  bool QuoteOpen = false;    // the last token is a quoted text the end cut off
  // Parentheses of the open statement. Depth is the count of '(' minus the
  // count of ')'; it alone decides whether the statement is unbalanced. The
  // positions reported are those of a parenthesis that really has no partner:
  // the innermost '(' left open, or the first ')' that found none open.
  int32_t Depth = 0;
  std::vector<int32_t> OpenParens;  // token indexes of unclosed '('
  int32_t StrayParen = -1;          // token index of the first unopened ')'
  int32_t Positional = 0;           // '?' markers seen so far in the whole text
};

TVLMLexer::TVLMLexer(std::string_view text, TVLMSQLParams* params, bool noParams)
    : SQL(text), Params(params), NoParams(noParams) {
  Tokenize();
  CurrentCommand = -1;
  for (TSQLCommand& cmd : Commands) cmd.CurrentToken = 0;
}

namespace {

// One character consumed: LF starts a new line, CR moves nothing, every other
// character is one column.
inline void Advance(size_t& pos, int32_t& line, int32_t& column, char c) {
  if (c == '\n') {
    ++line;
    column = 1;
  } else if (c != '\r') {
    ++column;
  }
  ++pos;
}

}  // namespace

void TVLMLexer::Tokenize() {
  TScanState s;
  const std::string& t = SQL;
  const size_t n = t.size();
  while (s.Pos < n) {
    const char c = t[s.Pos];
    const bool hasNext = s.Pos + 1 < n;
    if (c == ';') {
      EndCommand(s);
      Advance(s.Pos, s.Line, s.Column, c);
      continue;
    }
    if (c == '-' && hasNext && t[s.Pos + 1] == '-') {
      // A comment ends the word before it: "x--c" LF "y" is x and y.
      CloseToken(s);
      ++s.Line;
      s.Column = 1;
      while (s.Pos < n && t[s.Pos] != '\n') ++s.Pos;
      if (s.Pos < n) ++s.Pos;
      continue;
    }
    if (c == '/' && hasNext && t[s.Pos + 1] == '*') {
      CloseToken(s);
      s.Pos += 2;
      s.Column += 2;
      while (s.Pos < n) {
        if (t[s.Pos] == '*' && s.Pos + 1 < n && t[s.Pos + 1] == '/') {
          s.Pos += 2;
          s.Column += 2;
          break;
        }
        Advance(s.Pos, s.Line, s.Column, t[s.Pos]);
      }
      continue;
    }
    if (IsBlank(c)) {
      CloseToken(s);
      Advance(s.Pos, s.Line, s.Column, c);
      continue;
    }
    if (s.TokenOpen && !IsTokenBreak(s, c)) {
      ContinueToken(s, c);
      Advance(s.Pos, s.Line, s.Column, c);
      continue;
    }
    CloseToken(s);
    StartToken(s);
  }
  EndCommand(s);
}

bool TVLMLexer::HoldsToken(std::string_view text) {
  const size_t n = text.size();
  size_t pos = 0;
  while (pos < n) {
    const char c = text[pos];
    const bool hasNext = pos + 1 < n;
    if (c == ';' || IsBlank(c)) {
      ++pos;
    } else if (c == '-' && hasNext && text[pos + 1] == '-') {
      pos = text.find('\n', pos);
      if (pos == std::string_view::npos) return false;
    } else if (c == '/' && hasNext && text[pos + 1] == '*') {
      pos = text.find("*/", pos + 2);
      if (pos == std::string_view::npos) return false;
      pos += 2;
    } else {
      return true;
    }
  }
  return false;
}

bool TVLMLexer::IsTokenBreak(const TScanState& s, char c) const {
  switch (c) {
    case '>': case '<': case '=': case '(': case ')': case ',':
    case '/': case '*': case ':': case '?': case '|':
      return true;
    default:
      break;
  }
  const TToken& open = Commands.back().Tokens.back();
  if (open.Kind == tktDot) return !IsDigit(c);
  if (c == '.') return open.Kind != tktInt;
  if (c == '+' || c == '-') {
    if (open.Kind != tktInt) return true;
    const char prev = open.Text.back();  // an exponent sign follows E or e
    return prev != 'E' && prev != 'e';
  }
  return false;
}

void TVLMLexer::ContinueToken(TScanState& s, char c) {
  TToken& open = Commands.back().Tokens.back();
  if (open.Kind == tktInt || open.Kind == tktFloat) {
    if (!IsDigit(c) && c != '.' && c != 'E' && c != 'e' && c != '+' && c != '-')
      throw EVLMException(30062, "Invalid numeric symbol '%s' at line %d, column %d",
                          {std::string(1, c), s.Line, s.Column});
  } else if (open.Kind == tktDot) {
    open.Kind = tktInt;  // only a digit continues a dot: ".5"
  }
  open.Text.push_back(c);
}

void TVLMLexer::StartToken(TScanState& s) {
  if (!s.InCommand) {
    Commands.emplace_back();
    ++CommandCount;
    s.InCommand = true;
    s.Depth = 0;
    s.OpenParens.clear();
    s.StrayParen = -1;
  }
  TSQLCommand& cmd = Commands.back();
  const int32_t index = cmd.TokenCount;
  cmd.Tokens.emplace_back();
  ++cmd.TokenCount;
  TToken& token = cmd.Tokens.back();
  token.Kind = tktString;
  token.KeywordId = VLMNoKeywordId;
  token.Line = s.Line;
  token.Column = s.Column;

  const std::string& t = SQL;
  const char c = t[s.Pos];
  const bool hasNext = s.Pos + 1 < t.size();
  const char next = hasNext ? t[s.Pos + 1] : ' ';
  if (c == '\'' || c == '"' || c == '[' || c == '`' ||
      (c == ':' && hasNext && (next == '"' || next == '\'' || next == '['))) {
    ReadQuoted(s, token);
    return;
  }

  token.Text.assign(1, c);
  Advance(s.Pos, s.Line, s.Column, c);
  switch (c) {
    case '(':
      token.Kind = tktLeftParenthesis;
      ++s.Depth;
      s.OpenParens.push_back(index);
      return;
    case ')':
      token.Kind = tktRightParenthesis;
      --s.Depth;
      if (!s.OpenParens.empty())
        s.OpenParens.pop_back();
      else if (s.StrayParen < 0)
        s.StrayParen = index;
      return;
    case '.':
      token.Kind = tktDot;
      s.TokenOpen = true;
      return;
    case ',':
      token.Kind = tktComma;
      return;
    case '-': case '+': case '*': case '/': case '=':
      return;
    case '|':
      if (hasNext && next == '|') {
        token.Text.push_back(next);
        Advance(s.Pos, s.Line, s.Column, next);
      }
      return;
    case '<':
      if (hasNext && (next == '=' || next == '>')) {
        token.Text.push_back(next);
        Advance(s.Pos, s.Line, s.Column, next);
      }
      return;
    case '>':
      if (hasNext && next == '=') {
        token.Text.push_back(next);
        Advance(s.Pos, s.Line, s.Column, next);
      }
      return;
    default:
      token.Kind = IsDigit(c) ? tktInt : tktString;
      s.TokenOpen = true;
      return;
  }
}

void TVLMLexer::ReadQuoted(TScanState& s, TToken& token) {
  const std::string& t = SQL;
  const size_t n = t.size();
  token.Text.clear();
  const bool paramName = t[s.Pos] == ':';
  if (paramName) {
    token.Text.push_back(':');
    Advance(s.Pos, s.Line, s.Column, ':');
  }
  const char open = t[s.Pos];
  const char close = open == '[' ? ']' : open;
  if (paramName || open == '`')
    token.Kind = tktString;
  else
    token.Kind = open == '[' ? tktBracketedString : tktQuotedString;
  Advance(s.Pos, s.Line, s.Column, open);

  bool closed = false;
  while (s.Pos < n) {
    char ch = t[s.Pos];
    if (open == '`' && ch == '\\') {
      Advance(s.Pos, s.Line, s.Column, ch);
      if (s.Pos >= n) break;
      ch = t[s.Pos];
      token.Text.push_back(ch);
      Advance(s.Pos, s.Line, s.Column, ch);
      continue;
    }
    if (ch == close) {
      Advance(s.Pos, s.Line, s.Column, ch);
      if (s.Pos < n && t[s.Pos] == close) {  // doubled: one closing character
        token.Text.push_back(close);
        Advance(s.Pos, s.Line, s.Column, close);
        continue;
      }
      closed = true;
      break;
    }
    token.Text.push_back(ch);
    Advance(s.Pos, s.Line, s.Column, ch);
  }
  if (!closed) {
    // Reported when the statement ends (after its parenthesis checks).
    s.QuoteOpen = true;
    return;
  }
  FinishToken(s, token);
  // A bracketed or back-quoted text is a name: even a keyword in back-quotes
  // matches no particular keyword.
  if (close == ']' || close == '`') token.KeywordId = VLMNoKeywordId;
}

void TVLMLexer::CloseToken(TScanState& s) {
  if (!s.TokenOpen) return;
  s.TokenOpen = false;
  FinishToken(s, Commands.back().Tokens.back());
}

void TVLMLexer::FinishToken(TScanState& s, TToken& token) {
  if (token.Kind == tktInt) {
    if (token.Text.find_first_of(".Ee") != std::string::npos) token.Kind = tktFloat;
    return;
  }
  if (token.Kind != tktString) return;
  if (!NoParams && !token.Text.empty() && (token.Text[0] == ':' || token.Text[0] == '?')) {
    token.Kind = tktParameter;
    const TVLMSQLParam* param = nullptr;
    if (token.Text[0] == ':') {
      token.Text.erase(0, 1);
      if (Params != nullptr) param = Params->FindParam(token.Text);
    } else {
      const int32_t number = ++s.Positional;
      char digits[16];
      const auto r = std::to_chars(digits, digits + sizeof digits, number);
      token.Text.assign("Param").append(digits, r.ptr);
      // A '?' beyond the list is a missing value like an unknown name.
      if (Params != nullptr && number <= Params->GetCount()) param = Params->GetItem(number - 1);
    }
    if (param == nullptr)
      throw EVLMException(30358, "Value for parameter '%s' not found", {token.Text});
    token.Value = CopyValue(param);
    token.Source = param;
    return;
  }
  const int32_t id = VLMGetKeywordId(token.Text);
  if (id > 0) {  // ABSOLUTE (0) stays a plain word
    token.Kind = tktReservedWord;
    token.KeywordId = static_cast<uint16_t>(id);
  }
}

void TVLMLexer::EndCommand(TScanState& s) {
  CloseToken(s);
  if (!s.InCommand) return;
  s.InCommand = false;
  const std::vector<TToken>& tokens = Commands.back().Tokens;
  if (s.Depth > 0) {
    const TToken& paren = tokens[static_cast<size_t>(s.OpenParens.back())];
    throw EVLMException(30059, "Missing symbol ')' at line %d, column %d", {paren.Line, paren.Column});
  }
  if (s.Depth < 0) {
    const TToken& paren = tokens[static_cast<size_t>(s.StrayParen)];
    throw EVLMException(30060, "Unexpected symbol ')' found at line %d, column %d",
                        {paren.Line, paren.Column});
  }
  if (s.QuoteOpen) {
    const TToken& quoted = tokens.back();
    throw EVLMException(30061, "Unterminated string at line %d, column %d", {quoted.Line, quoted.Column});
  }
}

// ---------------------------------------------------------------- cursor

TSQLCommand* TVLMLexer::Current() {
  if (CurrentCommand < 0 || CurrentCommand >= static_cast<int32_t>(Commands.size())) return nullptr;
  return &Commands[static_cast<size_t>(CurrentCommand)];
}

const TSQLCommand* TVLMLexer::Current() const {
  if (CurrentCommand < 0 || CurrentCommand >= static_cast<int32_t>(Commands.size())) return nullptr;
  return &Commands[static_cast<size_t>(CurrentCommand)];
}

bool TVLMLexer::NextCommand() {
  if (CurrentCommand < CommandCount) ++CurrentCommand;
  return CurrentCommand < CommandCount;
}

bool TVLMLexer::GetCurrentToken(TToken& token) const {
  const TSQLCommand* cmd = Current();
  if (cmd != nullptr && cmd->CurrentToken >= 0 &&
      cmd->CurrentToken < static_cast<int32_t>(cmd->Tokens.size())) {
    token = cmd->Tokens[static_cast<size_t>(cmd->CurrentToken)];
    return true;
  }
  token.Kind = tktNone;
  return false;
}

bool TVLMLexer::LookAhead(TToken& token) const {
  const TSQLCommand* cmd = Current();
  if (cmd != nullptr && cmd->CurrentToken >= -1 &&
      cmd->CurrentToken < static_cast<int32_t>(cmd->Tokens.size()) - 1) {
    token = cmd->Tokens[static_cast<size_t>(cmd->CurrentToken + 1)];
    return true;
  }
  token.Kind = tktNone;
  token.Text.clear();
  return false;
}

bool TVLMLexer::GetNextToken(TToken& token) {
  const bool found = LookAhead(token);
  TSQLCommand* cmd = Current();
  if (cmd != nullptr && cmd->CurrentToken < INT32_MAX) ++cmd->CurrentToken;
  return found;
}

int32_t TVLMLexer::GetTokenIndex() const {
  const TSQLCommand* cmd = Current();
  return cmd != nullptr ? cmd->CurrentToken : 0;
}

bool TVLMLexer::SetTokenIndex(int32_t index) {
  TSQLCommand* cmd = Current();
  if (cmd == nullptr) return false;
  cmd->CurrentToken = index;
  return index >= 0 && index < static_cast<int32_t>(cmd->Tokens.size());
}

bool TVLMLexer::SetTokenIndexAndGetToken(int32_t index, TToken& token) {
  SetTokenIndex(index);
  return GetCurrentToken(token);
}

void TVLMLexer::AddCommand() {
  Commands.emplace_back();
  CommandCount = static_cast<int32_t>(Commands.size());
  CurrentCommand = CommandCount - 1;
}

void TVLMLexer::AddToken(const TToken& token) { AddToken(TToken(token)); }

void TVLMLexer::AddToken(TToken&& token) {
  TSQLCommand* cmd = Current();
  if (cmd == nullptr) {
    AddCommand();
    cmd = Current();
  }
  cmd->Tokens.push_back(std::move(token));
  cmd->TokenCount = static_cast<int32_t>(cmd->Tokens.size());
  cmd->CurrentToken = cmd->TokenCount - 1;
}

void TVLMLexer::Rewind() {
  for (TSQLCommand& command : Commands) {
    command.CurrentToken = 0;
    for (TToken& token : command.Tokens)
      if (token.Kind == tktParameter && token.Source != nullptr) token.Value = CopyValue(token.Source);
  }
  CurrentCommand = -1;
  ShapingParameters_.clear();
}

void TVLMLexer::NoteShapingParameter(const TVLMVariant* source) {
  if (source != nullptr && std::find(ShapingParameters_.begin(), ShapingParameters_.end(), source) ==
                               ShapingParameters_.end())
    ShapingParameters_.push_back(source);
}

// ---------------------------------------------------------------- keywords

bool VLMIsReservedWord(const TToken& token, int32_t keywordId) {
  return token.Kind == tktReservedWord && (token.KeywordId == keywordId || keywordId == VLMNoKeywordId);
}

int32_t VLMGetKeywordId(std::string_view text) {
  const int32_t id = VLMSQLKeywordId(text);
  return id == VLMNoKeywordId ? -1 : id;
}
