// The extended definitions of fields and indexes, and the conversions
// between the three vocabularies that describe one table:
//   host      qv::FieldDef(s), qv::IndexDef(s)      what a dataset publishes
//   extended  TVLMAdvFieldDef(s), TVLMAdvIndexDef(s) what the host cannot say:
//             autoincrement options, BLOB compression, default, minimum and
//             maximum values, per-column key lengths
//   engine    TVLMFieldDefs, TVLMIndexDefs, TVLMConstraintDefs
//             (engine/core/VLMTypesDefs.h)
// Every conversion clears its target first; one that fails part-way leaves
// the target partly filled.
//
// Field lists of the extended index definition ("ID;CALL", "ID,CALL") are
// separated by ";" or ","; each name is trimmed. ColumnLengths holds one
// decimal number per column in the same form; an empty entry keeps the
// engine's default key length of 20.
//
// Types the dataset layer has no field class for (TIMESTAMP, which maps to
// ftUnknown, and ftBCD) convert at the definition level only: a definition
// of that type builds no field object.
//
// Error codes: 20048 empty index name, 20049 empty index field list, 20050
// index field without a field definition, 20430 index column length that is
// not a number, 30031 / 30032 CHECK / NOT NULL constraint on a missing field,
// 30039 unknown constraint kind, 30349 DeleteByName of a missing field.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/core/VLMVariant.h"

namespace qv {
class Component;
class FieldDefs;
class IndexDefs;
}  // namespace qv

// ---------------------------------------------------- extended definitions

// A field as the engine can describe it, before it is an engine definition.
class TVLMAdvFieldDef {
public:
  TVLMAdvFieldDef() = default;
  TVLMAdvFieldDef(const TVLMAdvFieldDef&) = delete;
  TVLMAdvFieldDef& operator=(const TVLMAdvFieldDef&) = delete;

  // Copies every member, the three values by value.
  void Assign(const TVLMAdvFieldDef& source);

  std::string Name;
  int32_t ObjectID = -1;
  // The SQL type code of the engine's type table.
  TVLMDataType DataType = 0;
  bool Required = false;
  // The declared size; 0 for GUID.
  int32_t Size = 0;
  // Null = none; MinValue and MaxValue become a CHECK constraint.
  TVLMVariant DefaultValue;
  TVLMVariant MinValue;
  TVLMVariant MaxValue;
  // Autoincrement options, as in TVLMFieldDef.
  int64_t AutoincIncrement = 1;
  int64_t AutoincInitialValue = 0;
  int64_t AutoincMinValue = 0;
  int64_t AutoincMaxValue = INT64_MAX;
  bool Cycled = false;
  // 0 none, 1 ZLIB, 2 BZIP, 3 PPM.
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionMode = 0;
  int32_t BlobBlockSize = kVLMDefaultBlobBlockSize;
};

class TVLMAdvFieldDefs {
public:
  TVLMAdvFieldDefs() = default;
  TVLMAdvFieldDefs(const TVLMAdvFieldDefs&) = delete;
  TVLMAdvFieldDefs& operator=(const TVLMAdvFieldDefs&) = delete;

  int32_t GetCount() const { return static_cast<int32_t>(Items_.size()); }
  // qv::EListError outside 0 .. GetCount()-1.
  TVLMAdvFieldDef* GetItem(int32_t index) const;
  // A new definition, appended.
  TVLMAdvFieldDef* Add();
  // The first definition of that name, ignoring case; nullptr when none.
  TVLMAdvFieldDef* Find(std::string_view name) const;
  // Frees the first definition of that name, ignoring case; none: 30349
  // "Field '%s' not found".
  void DeleteByName(std::string_view name);
  void Clear() { Items_.clear(); }
  void Assign(const TVLMAdvFieldDefs& source);

private:
  std::vector<std::unique_ptr<TVLMAdvFieldDef>> Items_;
};

// An index as a table component declares it.
class TVLMAdvIndexDef {
public:
  void Assign(const TVLMAdvIndexDef& source) { *this = source; }

  std::string Name;
  std::string Fields;
  std::string DescFields;
  std::string CaseInsFields;
  // The host's index option bits (qv::ixPrimary, ixUnique, ixDescending,
  // ixCaseInsensitive ...).
  uint8_t Options = 0;
  std::string ColumnLengths;
  bool Temporary = false;
};

class TVLMAdvIndexDefs {
public:
  explicit TVLMAdvIndexDefs(qv::Component* owner = nullptr) : Owner_(owner) {}
  TVLMAdvIndexDefs(const TVLMAdvIndexDefs&) = delete;
  TVLMAdvIndexDefs& operator=(const TVLMAdvIndexDefs&) = delete;

  qv::Component* Owner() const { return Owner_; }
  int32_t GetCount() const { return static_cast<int32_t>(Items_.size()); }
  // qv::EListError outside 0 .. GetCount()-1.
  TVLMAdvIndexDef* GetItem(int32_t index) const;
  TVLMAdvIndexDef* Add();
  void Clear() { Items_.clear(); }
  // Replaces the list with copies of source's items. With skipTemporary, an
  // item flagged Temporary or whose name contains "TEMPORARY" in any case is
  // left out: a session's temporary index never becomes part of a table.
  void Assign(const TVLMAdvIndexDefs& source, bool skipTemporary);

private:
  qv::Component* Owner_;
  std::vector<std::unique_ptr<TVLMAdvIndexDef>> Items_;
};

// ------------------------------------------------------------- conversions

// A host definition named name exists (names compared upper-cased).
bool VLMFieldDefsHasName(const qv::FieldDefs& hostDefs, std::string_view name);

// Host -> engine: name (cut to 255 characters), the type of the first row of
// the type table (30289 for a host type without one), size.
void VLMFieldDefsToEngine(const qv::FieldDefs& hostDefs, TVLMFieldDefs& fieldDefs);
// Extended -> host: name, host type (a TIMESTAMP column a date-time; a type
// without a host type 10840), size, required.
void VLMAdvFieldDefsToFieldDefs(const TVLMAdvFieldDefs& advDefs, qv::FieldDefs& hostDefs);
// Host -> extended: name, engine type (30289 as above), size (0 for GUID),
// required.
void VLMFieldDefsToAdvFieldDefs(const qv::FieldDefs& hostDefs, TVLMAdvFieldDefs& advDefs);
// Extended -> engine: the field definitions with type, size, BLOB settings
// (a block size below 1 becomes the default), autoincrement options and
// default value; unless noConstraints, a NOT NULL constraint for each
// required field and a CHECK constraint for each field with a minimum or a
// maximum, each naming its field (its ID is resolved when the table prepares
// its constraints). Then the PRIMARY KEY or UNIQUE constraint each primary or
// unique index of indexDefs implies (VLMAddIndexConstraint of the engine
// core), also with noConstraints: the table needs them to check its keys.
void VLMAdvFieldDefsToEngine(const TVLMAdvFieldDefs& advDefs, TVLMFieldDefs& fieldDefs,
                             TVLMConstraintDefs& constraintDefs, const TVLMIndexDefs& indexDefs,
                             bool noConstraints);
// Engine -> extended: every field (size 0 for GUID; a compression algorithm
// other than 1-3 becomes 0), then Required from each NOT NULL and the bounds
// from each CHECK constraint, whose field is found by its object ID
// (30032 / 30031 when none). PRIMARY KEY and UNIQUE constraints belong to
// the indexes and are skipped; another kind raises 30039.
void VLMEngineToAdvFieldDefs(const TVLMFieldDefs& fieldDefs, const TVLMConstraintDefs& constraintDefs,
                             TVLMAdvFieldDefs& advDefs);
// Removes the NOT NULL and CHECK constraints whose field is not among
// fieldDefs: a projected field list (the SQL engine's) shows some of a
// table's columns only.
void VLMDropConstraintsOfOtherFields(const TVLMFieldDefs& fieldDefs, TVLMConstraintDefs& constraintDefs);
// Engine -> host: name, host type (as above), the declared size for text and byte
// types (0 for every other type, GUID included); Required from each NOT NULL
// constraint whose field exists, except on an autoincrement field.
void VLMEngineToFieldDefs(const TVLMFieldDefs& fieldDefs, const TVLMConstraintDefs& constraintDefs,
                          qv::FieldDefs& hostDefs);

// Host -> extended: name, field lists and options.
void VLMIndexDefsToAdvIndexDefs(const qv::IndexDefs& hostDefs, TVLMAdvIndexDefs& advDefs);
// Extended -> host: name, field lists and options; an index whose
// descending (case-insensitive) list names all its fields also gets the
// descending (case-insensitive) option.
void VLMAdvIndexDefsToIndexDefs(const TVLMAdvIndexDefs& advDefs, qv::IndexDefs& hostDefs);
// Extended -> engine, one definition per item; see VLMAdvIndexDefToEngine.
void VLMAdvIndexDefsToEngine(const TVLMAdvIndexDefs& advDefs, const qv::FieldDefs& hostFieldDefs,
                             TVLMIndexDefs& indexDefs);
// Engine -> extended, one item per definition; see VLMEngineIndexDefToAdv.
void VLMEngineToAdvIndexDefs(const TVLMIndexDefs& indexDefs, TVLMAdvIndexDefs& advDefs);

// One extended index as an engine index over the host fields: 20048 for an
// empty name, 20049 for an empty field list, 20050 for a name that is no
// host field, 20430 for a column length that is not a number. A column is
// descending when the descending list names it, or when the options say
// descending and that list is empty; case-insensitive likewise.
void VLMAdvIndexDefToEngine(const TVLMAdvIndexDef& advDef, TVLMIndexDef& indexDef,
                            const qv::FieldDefs& hostFieldDefs);
// One engine index as an extended one: the column lists and lengths joined
// with ";", options unique (2) and primary (1), the temporary flag.
void VLMEngineIndexDefToAdv(const TVLMIndexDef& indexDef, TVLMAdvIndexDef& advDef);
