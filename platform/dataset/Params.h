// Parameters of a query: named, typed values that a statement's markers take,
// and the parser that finds those markers in SQL text.
//
// Markers (outside quoted text and comments, by the rules of the engine's SQL
// lexer):
//   :name      a word: letters, digits and any character that does not end a
//              word (blanks, ( ) , ; . + - * / < > = : ? | end it)
//   :"name"    :'name'    :[name]   a quoted name (the closing character
//              doubled stands for itself)
// Not markers: anything inside '...', "...", [...] or `...` (doubled closing
// character escapes; a backslash escapes inside `...`), after -- up to the end
// of the line, or inside /* ... */; a colon with no name after it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/FieldTypes.h"
#include "platform/host/HostVariant.h"

namespace qv {

class Component;
class Field;
class Params;

enum TParamType : int32_t { ptUnknown = 0, ptInput, ptOutput, ptInputOutput, ptResult };

class Param {
public:
  Param(Params* collection, std::string name, TParamType paramType = ptUnknown);

  Params* Collection() const { return Collection_; }
  const std::string& Name() const { return Name_; }
  void SetName(std::string_view name) { Name_ = std::string(name); }
  TFieldType DataType() const { return DataType_; }
  void SetDataType(TFieldType dataType) { DataType_ = dataType; }
  TParamType ParamType() const { return ParamType_; }
  void SetParamType(TParamType paramType) { ParamType_ = paramType; }
  // Set once a value was given.
  bool Bound() const { return Bound_; }
  void SetBound(bool bound) { Bound_ = bound; }

  bool IsNull() const { return Value_.IsClear(); }
  const HostVariant& Value() const { return Value_; }
  // Takes the value; an unknown DataType becomes the value's type.
  void SetValue(const HostVariant& value);
  void Clear();

  // The typed setters also set DataType.
  std::string AsString() const { return Value_.AsString(); }
  void SetAsString(std::string_view value);
  int32_t AsInteger() const { return Value_.IsClear() ? 0 : Value_.AsInteger(); }
  void SetAsInteger(int32_t value);
  int64_t AsLargeInt() const { return Value_.IsClear() ? 0 : Value_.AsInt64(); }
  void SetAsLargeInt(int64_t value);
  double AsFloat() const { return Value_.IsClear() ? 0.0 : Value_.AsDouble(); }
  void SetAsFloat(double value);
  bool AsBoolean() const { return !Value_.IsClear() && Value_.AsBoolean(); }
  void SetAsBoolean(bool value);
  double AsDateTime() const { return Value_.IsClear() ? 0.0 : Value_.AsDateTime(); }
  void SetAsDateTime(double value);
  // Text typed as a memo / bytes typed as a BLOB.
  void SetAsMemo(std::string_view value);
  void SetAsBlob(std::string_view value);

  // Name, types, value and Bound of source.
  void Assign(const Param& source);
  // Type and value of a field (a null field gives a null value).
  void AssignField(const Field* field);

private:
  Params* Collection_;
  std::string Name_;
  TFieldType DataType_ = ftUnknown;
  TParamType ParamType_;
  bool Bound_ = false;
  HostVariant Value_;
};

class Params {
public:
  // owner names the component in errors (may be nullptr).
  explicit Params(Component* owner = nullptr);
  ~Params();
  Params(const Params&) = delete;
  Params& operator=(const Params&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  Param* Items(int32_t index) const;
  Param* operator[](int32_t index) const { return Items(index); }
  Param* CreateParam(TFieldType dataType, std::string_view name, TParamType paramType);
  // Appends an unnamed parameter.
  Param* Add();
  void Delete(int32_t index);
  void Clear();
  // Ignores case; nullptr when none.
  Param* FindParam(std::string_view name) const;
  // EDatabaseError "Parameter '%s' not found".
  Param* ParamByName(std::string_view name) const;
  // Replaces the list with copies of source's parameters.
  void Assign(const Params& source);
  // Every parameter of source that has a namesake here gives it its type and
  // value.
  void AssignValues(const Params& source);
  bool IsEqual(const Params& other) const;

  // Finds the markers of sql (see the top of the file). With doCreate the list
  // is rebuilt: one input parameter per distinct name, in order of first
  // appearance. Returns the text, whose markers stay named so that the
  // engine's lexer resolves them by name.
  std::string ParseSQL(std::string_view sql, bool doCreate);

private:
  Component* Owner_;
  std::vector<std::unique_ptr<Param>> Items_;
};

// The parameter names the markers of sql give, in order, each name once.
std::vector<std::string> ParseParamNames(std::string_view sql);

}  // namespace qv
