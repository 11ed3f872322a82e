// TVLMLexer: splits an SQL text into statements and tokens in one pass when it
// is created; the parsers then walk the tokens with a cursor per statement.
// Also here: the parameter values a query binds before it runs
// (TVLMSQLParam, TVLMSQLParams), which the lexer copies into parameter tokens.
//
// Lexical rules (positions are 1-based; a CR LF pair counts one line, a lone
// CR none; every other character, tab included, is one column):
//   ;            ends a statement; empty statements produce nothing
//   -- ...       line comment up to and including the next LF
//   /* ... */    block comment; an unterminated one runs to the end, no error
//   blanks       tab, CR, LF and space; they and comments end a token
//   'x' "x"      quoted string, kind 2; a doubled quote is one quote
//   [x]          bracketed name, kind 3; "]]" is one ']'
//   `x`          back-quoted name, kind 1, or a keyword token with id 292 (a
//                reserved word that is accepted as a name); backslash escapes
//   :name ?      parameters, kind 7 (unless NoParams); :"x" :'x' :[x] quote
//                the name. '?' markers are numbered 1, 2 ... across all
//                statements of the text and read the parameter list by
//                position; their text becomes "Param<n>".
//   digits       numbers: kind 4, kind 5 when they hold '.', 'E' or 'e'; an
//                exponent sign follows E or e ("2E-3"); ".5" is a number
//   operators    - + * / = || | < <= <> > >= ( ) , . are tokens of their own;
//                other symbols belong to the word they stand in ("a!" in a!=b)
//   words        kind 6 with their id when they are keywords (VLMConst.h),
//                except ABSOLUTE (id 0), which stays a kind-1 word
//
// Errors, all EVLMException raised by the constructor:
//   30059 "Missing symbol ')' at line %d, column %d"         a '(' never closed
//   30060 "Unexpected symbol ')' found at line %d, column %d" a ')' never opened
//   30061 "Unterminated string at line %d, column %d"        where it began
//   30062 "Invalid numeric symbol '%s' at line %d, column %d" e.g. "12abc"
//   30358 "Value for parameter '%s' not found"               no list, unknown
//                                                            name, or a '?'
//                                                            beyond the list
//
// Cursor: CurrentCommand is -1 until the first NextCommand; each statement keeps
// its own CurrentToken. A token copied out of the lexer owns a copy of its
// parameter value, so it stays valid after the lexer is gone.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMConst.h"
#include "engine/core/VLMVariant.h"

using TVLMTokenKind = uint8_t;
inline constexpr TVLMTokenKind tktNone = 0;              // past the end of a statement
inline constexpr TVLMTokenKind tktString = 1;            // word, operator, back-quoted name
inline constexpr TVLMTokenKind tktQuotedString = 2;      // 'text' or "text"
inline constexpr TVLMTokenKind tktBracketedString = 3;   // [text]
inline constexpr TVLMTokenKind tktInt = 4;
inline constexpr TVLMTokenKind tktFloat = 5;
inline constexpr TVLMTokenKind tktReservedWord = 6;
inline constexpr TVLMTokenKind tktParameter = 7;
inline constexpr TVLMTokenKind tktLeftParenthesis = 8;
inline constexpr TVLMTokenKind tktRightParenthesis = 9;
inline constexpr TVLMTokenKind tktComma = 10;
inline constexpr TVLMTokenKind tktDot = 11;

struct TToken {
  TVLMTokenKind Kind = tktNone;
  // Id of a reserved word; VLMNoKeywordId for every other token.
  uint16_t KeywordId = VLMNoKeywordId;
  // Quoted texts without their quotes; a parameter's name.
  std::string Text;
  // The parameter's value for a kind-7 token, else empty.
  std::unique_ptr<TVLMVariant> Value;
  // The parameter of the list the value was copied from (not owned; the
  // list's); nullptr for every other token.
  const TVLMVariant* Source = nullptr;
  int32_t Line = 0;
  int32_t Column = 0;

  TToken() = default;
  // Copies carry their own copy of Value.
  TToken(const TToken& other);
  TToken& operator=(const TToken& other);
  TToken(TToken&&) noexcept = default;
  TToken& operator=(TToken&&) noexcept = default;
  ~TToken() = default;
};

// One statement. TokenCount is the number of Tokens.
struct TSQLCommand {
  std::vector<TToken> Tokens;
  int32_t TokenCount = 0;
  int32_t CurrentToken = 0;
};

// A parameter value with its name. New: base type 0, null.
class TVLMSQLParam : public TVLMVariant {
public:
  TVLMSQLParam() = default;
  std::string Name;
};

// An ordered list of parameters, owned by the list.
class TVLMSQLParams {
public:
  TVLMSQLParams() = default;
  TVLMSQLParams(const TVLMSQLParams&) = delete;
  TVLMSQLParams& operator=(const TVLMSQLParams&) = delete;

  int32_t GetCount() const { return static_cast<int32_t>(Items_.size()); }
  // 0-based; qv::EListError outside 0 .. GetCount() - 1.
  TVLMSQLParam* GetItem(int32_t index) const;
  // Appends a new empty parameter and returns it.
  TVLMSQLParam* Add();
  void Clear() { Items_.clear(); }
  // The first parameter whose name equals name when both are upper-cased
  // (1252 case table); nullptr when none.
  TVLMSQLParam* FindParam(std::string_view name) const;

private:
  std::vector<std::unique_ptr<TVLMSQLParam>> Items_;
};

class TVLMLexer {
public:
  // Tokenizes text completely. params may be nullptr; the lexer keeps the
  // pointer but reads the list only here, copying values into the tokens.
  // With noParams, ':' and '?' words are plain words.
  TVLMLexer(std::string_view text, TVLMSQLParams* params, bool noParams);
  TVLMLexer(const TVLMLexer&) = delete;
  TVLMLexer& operator=(const TVLMLexer&) = delete;

  // Moves to the next statement (the first call to statement 0); true while
  // there is one.
  bool NextCommand();
  // Copies the current token; at or past the end of the statement (or with no
  // current statement) sets only token.Kind to tktNone and answers false.
  bool GetCurrentToken(TToken& token) const;
  // Copies the token after the current one without moving; when there is none
  // token.Kind becomes tktNone, token.Text empty, and the answer is false.
  bool LookAhead(TToken& token) const;
  // LookAhead, then one step forward in every case (also past the end).
  bool GetNextToken(TToken& token);
  // Position of the current statement (0 when there is none).
  int32_t GetTokenIndex() const;
  // Sets the position; true when it names a token.
  bool SetTokenIndex(int32_t index);
  bool SetTokenIndexAndGetToken(int32_t index, TToken& token);

  // For statements built by hand: AddCommand appends an empty statement and
  // makes it current; AddToken appends a copy of token to the current
  // statement (opening one when there is none) and makes it current.
  void AddCommand();
  void AddToken(const TToken& token);
  void AddToken(TToken&& token);
  // Every parameter token takes the value its parameter holds now (the list
  // the lexer was made with must still hold the same parameter objects),
  // and every statement goes back before its first token: the statements
  // can be parsed again without splitting the text again.
  void Rewind();
  // A parameter whose value decides the shape of a statement (a table name,
  // an alias, TOP n, an ORDER BY column, an ESCAPE character) rather than
  // being a value the statement computes with.
  void NoteShapingParameter(const TVLMVariant* source);
  const std::vector<const TVLMVariant*>& ShapingParameters() const { return ShapingParameters_; }

  // Whether text holds anything the lexer would make a token of: something
  // besides blanks, semicolons and comments.
  static bool HoldsToken(std::string_view text);

  std::string SQL;
  TVLMSQLParams* Params = nullptr;
  bool NoParams = false;
  int32_t CommandCount = 0;
  std::vector<TSQLCommand> Commands;
  int32_t CurrentCommand = -1;

private:
  struct TScanState;
  std::vector<const TVLMVariant*> ShapingParameters_;
  void Tokenize();
  bool IsTokenBreak(const TScanState& s, char c) const;
  void ContinueToken(TScanState& s, char c);
  void StartToken(TScanState& s);
  void ReadQuoted(TScanState& s, TToken& token);
  void CloseToken(TScanState& s);
  void FinishToken(TScanState& s, TToken& token);
  void EndCommand(TScanState& s);
  TSQLCommand* Current();
  const TSQLCommand* Current() const;
};

// token is a reserved word: keywordId names one keyword, or VLMNoKeywordId for
// any reserved word (including back-quoted keywords, whose id is 292).
bool VLMIsReservedWord(const TToken& token, int32_t keywordId);
// Id of text in VLMSQLKeywords without regard to case; -1 when none.
int32_t VLMGetKeywordId(std::string_view text);
