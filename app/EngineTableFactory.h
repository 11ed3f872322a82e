// Database/table pairs over the engine's components: each pair is one
// database component (TVLMDatabase) and one table component (TVLMTable) in
// the session "Default", single-user, at most 500 connections, not
// exclusive. A read-only pair (the state table, the member list) opens its
// file and its table for reading only.
//
// The components find each other by database name within the session, so
// at most one pair per table spec may exist at a time (the session refuses
// a second database component of the same name). The component runtime
// (TVLMComponentRuntime::Start) must be up while pairs exist.
//
// The password prompt and the repair question come from the engine's
// installed user interface (VLMSetEngineUi); without one they are answered
// no, and a file that needs repair is opened as it is, unrepaired. The pair
// asks the repair question itself, in the engine's words, so that it knows
// a repair was asked for, and the answer (TakeRepairNotice); it also notes
// a commit cut short that the open rolled back (TakeRollbackNotice).
#pragma once

#include <memory>
#include <string>

#include "app/TableFactory.h"

class TVLMDatabase;

namespace qv::app {

// The last commit changes of a database component as the backup copy takes
// them (TVLMDatabase::LastCommitChanges); false when it has none.
bool LastCommitChangesOf(const TVLMDatabase& database, FileChanges& changes);

class EngineTableFactory final : public TableFactory {
public:
  std::unique_ptr<DatabaseTable> Create(const TableSpec& spec, const std::string& fileName,
                                        bool readOnly) override;
  std::vector<std::string> FileDamage(const std::string& fileName, bool firstOnly) override;
};

}  // namespace qv::app
