#include "platform/dataset/Params.h"

#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"

namespace qv {

namespace {

TFieldType fieldTypeOfVariant(const HostVariant& value) {
  switch (value.VarType()) {
    case varSmallint:
      return ftSmallint;
    case varShortInt:
    case varByte:
    case varInteger:
      return ftInteger;
    case varWord:
      return ftWord;
    case varLongWord:
    case varInt64:
      return ftLargeint;
    case varSingle:
    case varDouble:
      return ftFloat;
    case varCurrency:
      return ftCurrency;
    case varDate:
      return ftDateTime;
    case varBoolean:
      return ftBoolean;
    case varString:
      return ftString;
    case varOleStr:
      return ftWideString;
    default:
      return ftUnknown;
  }
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Characters that always end an open token and start one of their own.
bool alwaysBreaks(char c) {
  switch (c) {
    case '>':
    case '<':
    case '=':
    case '(':
    case ')':
    case ',':
    case '/':
    case '*':
    case ':':
    case '?':
    case '|':
      return true;
    default:
      return false;
  }
}

// Reads quoted text from pos (just after the opening character) up to its
// closing character; a doubled closing character stands for one, and with
// backslash a '\' takes the next character literally. Returns the position
// after the closing character (or the end of the text when there is none;
// closed then reports false).
size_t readQuoted(std::string_view sql, size_t pos, char closing, bool backslash, std::string* text, bool* closed) {
  *closed = false;
  while (pos < sql.size()) {
    char c = sql[pos];
    if (backslash && c == '\\' && pos + 1 < sql.size()) {
      if (text != nullptr) text->push_back(sql[pos + 1]);
      pos += 2;
      continue;
    }
    if (c == closing) {
      if (pos + 1 < sql.size() && sql[pos + 1] == closing) {
        if (text != nullptr) text->push_back(closing);
        pos += 2;
        continue;
      }
      *closed = true;
      return pos + 1;
    }
    if (text != nullptr) text->push_back(c);
    ++pos;
  }
  return pos;
}

char closingOf(char opening) { return opening == '[' ? ']' : opening; }

}  // namespace

std::vector<std::string> ParseParamNames(std::string_view sql) {
  std::vector<std::string> names;
  auto add = [&names](std::string_view name) {
    if (name.empty()) return;  // a colon alone names nothing
    for (const std::string& known : names) {
      if (SameName(known, name)) return;
    }
    names.emplace_back(name);
  };

  // The token being read, as the engine's lexer sees it: only words, numbers
  // and dots stay open across characters; every other token ends at once.
  enum class Kind { None, Word, Number, Dot };
  Kind kind = Kind::None;
  size_t start = 0;
  char prev = ' ';
  auto finish = [&](size_t end) {
    if (kind == Kind::Word && sql[start] == ':') add(sql.substr(start + 1, end - start - 1));
    kind = Kind::None;
  };

  const size_t n = sql.size();
  size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    const char next = i + 1 < n ? sql[i + 1] : '\0';
    if (c == ';' || isBlank(c)) {
      finish(i);
      ++i;
      continue;
    }
    if (c == '-' && next == '-') {  // line comment
      finish(i);
      size_t end = sql.find('\n', i + 2);
      i = end == std::string_view::npos ? n : end + 1;
      continue;
    }
    if (c == '/' && next == '*') {  // block comment
      finish(i);
      size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? n : end + 2;
      continue;
    }
    if (kind != Kind::None) {
      bool breaks;
      if (alwaysBreaks(c)) {
        breaks = true;
      } else if (kind == Kind::Dot) {
        breaks = !isDigit(c);
      } else if (c == '.') {
        breaks = kind != Kind::Number;
      } else if (c == '+' || c == '-') {
        breaks = kind == Kind::Word || !(prev == 'E' || prev == 'e');
      } else {
        breaks = false;
      }
      if (!breaks) {
        if (kind == Kind::Dot) kind = Kind::Number;
        prev = c;
        ++i;
        continue;
      }
      finish(i);
    }
    // c starts a token.
    if (c == '\'' || c == '"' || c == '[' || c == '`') {
      bool closed;
      std::string word;
      i = readQuoted(sql, i + 1, closingOf(c), c == '`', c == '`' ? &word : nullptr, &closed);
      // The engine's lexer takes a back-quoted name as a plain word, so one
      // that begins with ':' is a parameter there as well.
      if (closed && !word.empty() && word[0] == ':') add(std::string_view(word).substr(1));
      continue;
    }
    if (c == ':' && (next == '"' || next == '\'' || next == '[')) {
      std::string name;
      bool closed;
      i = readQuoted(sql, i + 2, closingOf(next), false, &name, &closed);
      if (closed) add(name);
      continue;
    }
    switch (c) {
      case '(':
      case ')':
      case ',':
      case '-':
      case '+':
      case '*':
      case '/':
      case '=':
      case '|':
      case '<':
      case '>':
        ++i;
        continue;
      default:
        break;
    }
    kind = c == '.' ? Kind::Dot : isDigit(c) ? Kind::Number : Kind::Word;
    start = i;
    prev = c;
    ++i;
  }
  finish(n);
  return names;
}

// ---------------------------------------------------------------- Param

Param::Param(Params* collection, std::string name, TParamType paramType)
    : Collection_(collection), Name_(std::move(name)), ParamType_(paramType), Value_(HostVariant::Null()) {}

void Param::SetValue(const HostVariant& value) {
  Value_ = value;
  if (DataType_ == ftUnknown) DataType_ = fieldTypeOfVariant(value);
  Bound_ = true;
}

void Param::Clear() { Value_ = HostVariant::Null(); }

void Param::SetAsString(std::string_view value) {
  DataType_ = ftString;
  SetValue(HostVariant(std::string(value)));
}

void Param::SetAsInteger(int32_t value) {
  DataType_ = ftInteger;
  SetValue(HostVariant(value));
}

void Param::SetAsLargeInt(int64_t value) {
  DataType_ = ftLargeint;
  SetValue(HostVariant(static_cast<long long>(value)));
}

void Param::SetAsFloat(double value) {
  DataType_ = ftFloat;
  SetValue(HostVariant(value));
}

void Param::SetAsBoolean(bool value) {
  DataType_ = ftBoolean;
  SetValue(HostVariant(value));
}

void Param::SetAsDateTime(double value) {
  DataType_ = ftDateTime;
  SetValue(HostVariant::FromDateTime(value));
}

void Param::SetAsMemo(std::string_view value) {
  DataType_ = ftMemo;
  SetValue(HostVariant(std::string(value)));
}

void Param::SetAsBlob(std::string_view value) {
  DataType_ = ftBlob;
  SetValue(HostVariant(std::string(value)));
}

void Param::Assign(const Param& source) {
  Name_ = source.Name_;
  DataType_ = source.DataType_;
  ParamType_ = source.ParamType_;
  Bound_ = source.Bound_;
  Value_ = source.Value_;
}

void Param::AssignField(const Field* field) {
  if (field == nullptr) return;
  DataType_ = field->DataType();
  Value_ = field->AsVariant();
  Bound_ = true;
}

// ---------------------------------------------------------------- Params

Params::Params(Component* owner) : Owner_(owner) {}
Params::~Params() = default;

Param* Params::Items(int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(format("List index out of bounds (%d)", {index}));
  return Items_[static_cast<size_t>(index)].get();
}

Param* Params::CreateParam(TFieldType dataType, std::string_view name, TParamType paramType) {
  Items_.push_back(std::make_unique<Param>(this, std::string(name), paramType));
  Items_.back()->SetDataType(dataType);
  return Items_.back().get();
}

Param* Params::Add() { return CreateParam(ftUnknown, std::string_view(), ptUnknown); }

void Params::Delete(int32_t index) {
  Items(index);
  Items_.erase(Items_.begin() + index);
}

void Params::Clear() { Items_.clear(); }

Param* Params::FindParam(std::string_view name) const {
  for (const auto& param : Items_) {
    if (SameName(param->Name(), name)) return param.get();
  }
  return nullptr;
}

Param* Params::ParamByName(std::string_view name) const {
  Param* param = FindParam(name);
  if (param == nullptr) DatabaseErrorFmt(dbmsg::SParameterNotFound, {std::string(name)}, Owner_);
  return param;
}

void Params::Assign(const Params& source) {
  if (&source == this) return;
  Items_.clear();
  for (const auto& param : source.Items_) {
    auto copy = std::make_unique<Param>(this, std::string(), ptUnknown);
    copy->Assign(*param);
    Items_.push_back(std::move(copy));
  }
}

void Params::AssignValues(const Params& source) {
  for (const auto& param : source.Items_) {
    Param* target = FindParam(param->Name());
    if (target == nullptr || target == param.get()) continue;
    std::string name = target->Name();
    target->Assign(*param);
    target->SetName(name);
  }
}

bool Params::IsEqual(const Params& other) const {
  if (Count() != other.Count()) return false;
  for (size_t i = 0; i < Items_.size(); ++i) {
    const Param& a = *Items_[i];
    const Param& b = *other.Items_[i];
    if (a.Name() != b.Name() || a.DataType() != b.DataType() || a.ParamType() != b.ParamType() ||
        a.Bound() != b.Bound() || !(a.Value() == b.Value())) {
      return false;
    }
  }
  return true;
}

std::string Params::ParseSQL(std::string_view sql, bool doCreate) {
  std::vector<std::string> names = ParseParamNames(sql);
  if (doCreate) {
    Clear();
    for (const std::string& name : names) CreateParam(ftUnknown, name, ptInput);
  }
  return std::string(sql);
}

}  // namespace qv
