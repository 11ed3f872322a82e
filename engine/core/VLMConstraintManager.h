// TVLMBaseConstraintManager: the constraint definitions of one open table
// and the check of a record buffer against them before the record is
// written. It also resolves the names in the definitions to object IDs,
// names unnamed constraints, and keeps the PRIMARY KEY and UNIQUE
// constraints that indexes imply in step with the indexes.
//
// Kinds (TVLMConstraintDef::Kind):
//   0 PRIMARY KEY  TargetName/TargetID: the index; Columns: the fields
//   2 UNIQUE       as PRIMARY KEY
//   3 NOT NULL     TargetName/TargetID: the field
//   4 CHECK        the field, with optional MinValue and MaxValue (a value
//                  range; nothing is evaluated)
//
// CheckConstraints walks the definitions in list order and stops at the
// first violation: with raiseErrors it raises the violation's error, else it
// answers false. Only the violations (30026, 30029, 30030, 30319, 30320,
// 30330) turn into false; a missing field or an unknown kind is raised
// always. The record buffer is never changed.
//
// Names given to unnamed constraints: "$C_NotNull$<table>$<field>" or
// "$C_Check$<table>$<field>"; when taken (any letter case), the base name cut
// so that a random number 0-65534 fits behind it within 255 characters.
// Names implied by indexes: "C_PK" or "C_Unique", then "$" and each column.
//
// Runs under the table lock of the calling operation.
//
// Error codes: 30024/30028/30329 field missing at check time, 30026/30029/
// 30030/30319/30320/30330 violations, 30027/30331/30332 field missing when
// prepared, 30325/30326 index missing when prepared, 30036/30037/30038
// unknown kind when checking, preparing, naming.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>

#include "engine/core/VLMRecordID.h"

namespace qv {
class Stream;
}

class TVLMConstraintDef;
class TVLMConstraintDefs;
class TVLMIndexDef;
class TVLMTableData;

// The constraint an index implies, added to constraintDefs: PRIMARY KEY for a
// primary index, UNIQUE for a unique one (named, with the index's name and
// ObjectID and one column per index column); nullptr and nothing added for
// any other index.
TVLMConstraintDef* VLMAddIndexConstraint(const TVLMIndexDef& indexDef, TVLMConstraintDefs& constraintDefs);

class TVLMBaseConstraintManager {
public:
  // An empty list of definitions.
  explicit TVLMBaseConstraintManager(TVLMTableData* tableData);
  virtual ~TVLMBaseConstraintManager();
  TVLMBaseConstraintManager(const TVLMBaseConstraintManager&) = delete;
  TVLMBaseConstraintManager& operator=(const TVLMBaseConstraintManager&) = delete;

  void LoadFromStream(qv::Stream& stream);
  void SaveToStream(qv::Stream& stream) const;

  // Resolves def's target (and columns) to object IDs of the table's fields
  // and indexes.
  void PrepareConstraint(TVLMConstraintDef& def);
  void PrepareConstraints();
  void NameUnnamedConstraints();

  // True when recordBuffer passes every constraint. checkKeys: test PRIMARY
  // KEY and UNIQUE for duplicates too; recordID: the record's own address;
  // updateContext: the record as it was (an update), handed to the index's
  // duplicate test.
  bool CheckConstraints(int32_t sessionID, const uint8_t* recordBuffer, bool checkKeys, bool raiseErrors,
                        const TVLMRecordID& recordID, bool isInsert, const uint8_t* updateContext);

  // The constraint the index implies joins the list with a new object ID and
  // is prepared.
  void AddIndexConstraint(const TVLMIndexDef& indexDef);
  // Deletes the first PRIMARY KEY or UNIQUE definition on that index.
  void DeleteIndexConstraint(int32_t indexID);

  std::unique_ptr<TVLMConstraintDefs> ConstraintDefs;
  // Not owned.
  TVLMTableData* TableData;
};
