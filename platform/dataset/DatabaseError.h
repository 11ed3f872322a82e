// The dataset layer's error: EDatabaseError and the DatabaseError routines that
// raise it, the message texts of the generic dataset, and the small helpers for
// field-name lists ("Call;Freq;Mode") that every part of the layer shares.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/host/Exception.h"
#include "platform/host/Format.h"

namespace qv {

class Component;

class EDatabaseError : public Exception {
public:
  using Exception::Exception;
};

// Raises EDatabaseError with message; a named component puts its name and
// ": " in front ("LogTable: Field 'X' not found").
[[noreturn]] void DatabaseError(std::string_view message, const Component* component = nullptr);
[[noreturn]] void DatabaseErrorFmt(std::string_view fmt, std::initializer_list<FormatArg> args,
                                   const Component* component = nullptr);

// Message texts (format strings where they carry %s/%d/%g).
namespace dbmsg {
inline constexpr std::string_view SFieldNotFound = "Field '%s' not found";
inline constexpr std::string_view SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr std::string_view SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr std::string_view SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr std::string_view SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr std::string_view SNotEditing = "Dataset not in edit or insert mode";
inline constexpr std::string_view SRecordNotFound = "Record not found";
inline constexpr std::string_view SFieldRequired = "Field '%s' must have a value";
inline constexpr std::string_view SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr std::string_view SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr std::string_view SInvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
inline constexpr std::string_view SInvalidFloatValue =
    "'%s' is not a valid floating point value for field '%s'";
inline constexpr std::string_view SInvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
inline constexpr std::string_view SFieldRangeError =
    "%g is not a valid value for field '%s'. The allowed range is %g to %g";
inline constexpr std::string_view SFieldValueError = "Invalid value for field '%s'";
inline constexpr std::string_view SFieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr std::string_view SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr std::string_view SDuplicateIndexName = "Duplicate index name '%s'";
inline constexpr std::string_view SFieldNameMissing = "Field name missing";
inline constexpr std::string_view SFieldIndexError = "Field index out of range";
inline constexpr std::string_view SIndexNotFound = "Index '%s' not found";
inline constexpr std::string_view SNoIndexForFields = "No index for fields '%s'";
inline constexpr std::string_view SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr std::string_view SParameterNotFound = "Parameter '%s' not found";
inline constexpr std::string_view SDataSetMissing = "Field '%s' has no dataset";
inline constexpr std::string_view SLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr std::string_view SInvalidCalcType = "Field '%s' cannot be a calculated or lookup field";
inline constexpr std::string_view SInvalidFieldSize = "Invalid field size";
inline constexpr std::string_view STextTrue = "True";
inline constexpr std::string_view STextFalse = "False";
}  // namespace dbmsg

// The next name of a ";"-separated list, trimmed; pos (0-based) moves past the
// name and its separator. At the end of the list the result is empty and pos
// equals the list's length.
std::string ExtractFieldName(std::string_view fields, size_t& pos);

// Names of fields, parameters and definitions compare without regard to case
// (by the 1252 case table, so "ÄRA" equals "ära").
bool SameName(std::string_view a, std::string_view b);

}  // namespace qv
