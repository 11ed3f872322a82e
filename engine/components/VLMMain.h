// The component unit: the process-wide objects of the components (the
// runtime), the error through which failed cursor writes reach the
// application, and the definitions the components hand between the dataset
// layer and the engine.
//
// The runtime is one object, started and shut down explicitly (tests start
// and stop it), never by static initialisers:
//
//   Start     1. "MEMORY" (TVLMMemoryDatabaseData) joins VLMOpenDatabaseList()
//             2. "TEMP" (TVLMTemporaryDatabaseData) joins it
//             3. VLMDesignMode becomes false
//             4. index fills walk their table through a local cursor
//             5. the session list VLMSessions() (VLMSessionLock is there
//                for it)
//             6. the default session, named "Default", with no owner
//             7. LASTAUTOINC reads its table through a table component (in
//                the expression services of the engine core, unless other
//                services stand in for them)
//   Shutdown  0. the expression services of step 7 are taken back
//             1. every session left is freed, last first (each
//                disconnecting its databases), then the session list
//             2. index fills walk the record manager again
//             3. every database data still in VLMOpenDatabaseList() is
//                freed, first entry first ("MEMORY" and "TEMP" among them;
//                each leaves the list as it is destroyed), after each
//                session still connected to it was disconnected
//             4. the wide-string values and the engine handle go
//
// The list of open databases itself is not the runtime's: it is the one
// function-local list of the engine core, which outlives database data
// destroyed late. A second Start (or Shutdown) does nothing.
//
// Three vocabularies describe one table:
//   host      qv::FieldDef(s), qv::IndexDef(s)      what a dataset publishes
//   extended  TVLMAdvFieldDef(s), TVLMAdvIndexDef(s) what the host cannot say:
//             autoincrement options, BLOB compression, default, minimum and
//             maximum values, per-column key lengths
//   engine    TVLMFieldDefs, TVLMIndexDefs, TVLMConstraintDefs
//             (engine/core/VLMTypesDefs.h)
// and the conversions below translate between them. Every conversion clears
// its target first; one that fails part-way leaves the target partly filled.
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

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/core/VLMVariant.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/Component.h"
#include "platform/host/LockContract.h"

class EngineUi;
class TVLMLocalSession;
class TVLMMemoryDatabaseData;
class TVLMTemporaryDatabaseData;
class WaitController;

namespace qv {
class DataSet;
class FieldDefs;
class IndexDefs;
class StringList;
}  // namespace qv

// ------------------------------------------------------------ engine error

// A cursor write (insert, update, delete, cancel) that ended with a result
// code other than 0. The message is "Velmoran Engine Error # ", the code in
// decimal, a blank and ErrorText.
class EVLMEngineError : public qv::EDatabaseError {
public:
  // ErrorText comes from the table of codes -1 .. -13; text is used only for
  // -8 (the cursor's own error text); any other code has an empty text.
  EVLMEngineError(int32_t code, std::string_view text);

  int32_t ErrorCode;
  std::string ErrorText;
};

// The text the message of code carries (text only for -8).
std::string VLMEngineErrorText(int32_t code, std::string_view text);
[[noreturn]] void VLMRaiseEngineError(int32_t code, std::string_view text);
// Raises EVLMEngineError for any code other than 0. Every dataset write calls
// it with the cursor's result code and text right after the cursor operation.
void VLMCheckEngineError(int32_t code, std::string_view text);

// ------------------------------------------------------------------ runtime

// Stands for an engine that is up for one session component; no state.
class TVLMSessionComponentManager {};

class TVLMComponentRuntime {
public:
  // The steps above, in order; nothing when started.
  static void Start();
  // The steps above, in order; nothing when not started.
  static void Shutdown();
  static bool IsStarted();

  // The two built-in database data; nullptr while the runtime is down.
  static TVLMMemoryDatabaseData* MemoryDatabaseData();
  static TVLMTemporaryDatabaseData* TemporaryDatabaseData();

  // A new holder of a wide-string value, alive until Shutdown; returns its
  // number (from 1), which a dataset writes into a record buffer. Raises
  // 20551 "Database Engine is not initialized" while the runtime is down.
  static uint32_t HoldWideString(std::u16string value);
  // The value of holder number holder, which its writer may change; 20551
  // while the runtime is down, 10802 for a number no holder has.
  static std::u16string& HeldWideString(uint32_t holder);
};

// Design-time mode of the process: false at Start; set when a database or
// dataset component is made in design mode. Each cursor takes it before it
// reads its field definitions, and a disk database data made while it is set
// opens its file per operation (TVLMDiskDatabaseData::OpenPerOperation).
bool VLMDesignMode();
void VLMSetDesignMode(bool value);

// The engine handle of the session components. VLMInitEngine (nothing when
// initialised) makes the handle of the default session current; VLMDoneEngine
// (nothing when not) frees it. VLMGetSessionManager raises 20007 "Database
// Engine is not initialized" while not initialised.
void VLMInitEngine();
void VLMDoneEngine();
bool VLMEngineInitialized();
TVLMSessionComponentManager* VLMGetSessionManager();
// handle becomes current (not owned).
void VLMSetCurrentSessionManager(TVLMSessionComponentManager* handle);
// A new handle into handle, owned by the caller; Free frees it (nullptr is
// ignored) and clears handle.
void VLMNewSessionManager(TVLMSessionComponentManager*& handle);
void VLMFreeSessionManager(TVLMSessionComponentManager*& handle);

// ------------------------------------------------- sessions and databases
//
// A session component (TVLMSession) groups database components
// (TVLMDatabase) and the datasets that use them under one name; a dataset
// finds its session by name (empty: the default session "Default") and the
// session finds, or makes, the database component the dataset names. A
// database component opens one database through a local session
// (TVLMLocalSession) of its own, or borrows another component's
// (HandleShared).
//
// Ownership: an owner deletes the components it owns; a database without an
// owner belongs to whoever made it. A session is always made with new and
// never held in a unique_ptr: the runtime's Shutdown deletes every session
// left. A session deletes the databases it made for datasets
// (Temporary()); a database whose session goes is disconnected and joins the
// default session (or none, when the default session goes).
//
// States of a database component:
//
//   closed --DoConnect (own local session, or a borrowed one)--> open
//   open --DoDisconnect: queries closed, then the other datasets last to
//          first; a borrowed local session is given back, an own one is
//          disconnected and freed (components borrowing it first)--> closed
//
// Locks: every session operation runs under VLMSessionLock() (a session's
// Lock, which also activates it); the registry's lock and a database's
// critical section are taken inside it, never the other way round.
//
// User interface: a component's own events (OnPassword, OnNeedRepair, the
// repair events) decide first; a component in SilentMode asks nobody and
// shows nothing; otherwise the installed EngineUi asks the user.
//
// Refusals raise qv::EDatabaseError (DatabaseError, with the component's name
// in front when it has one); an unknown session name raises EVLMException
// 20002; engine failures arrive as EVLMException. Codes of this part: 20570
// session made and 20571 database registered while the runtime is down.

class TVLMSession;
class TVLMDatabase;

// The one lock of all session work: activation, database lookup and
// creation, session numbers, the attaching of datasets.
qv::RecursiveMutex& VLMSessionLock();

// Every session component of the process, in creation order. Session names
// compare ignoring case (1252 rules).
class TVLMSessionList {
public:
  TVLMSessionList() = default;
  // Frees every session left (FreeAll).
  ~TVLMSessionList();
  TVLMSessionList(const TVLMSessionList&) = delete;
  TVLMSessionList& operator=(const TVLMSessionList&) = delete;

  // Appends; the first session added to an empty list is the default one.
  void AddSession(TVLMSession* session);
  void RemoveSession(TVLMSession* session);
  // Empty name: the default session; else the first session of that name,
  // nullptr when none.
  TVLMSession* FindSession(std::string_view name);
  // FindSession; none: 20002 "Invalid session name '%s'".
  TVLMSession* GetSession(std::string_view name);
  TVLMSession* DefaultSession();
  int32_t Count();
  // Frees the sessions from the last to the first.
  void FreeAll();

  // The lowest number no session with AutoSessionName holds, now taken; and
  // its release. Require: VLMSessionLock().
  int32_t TakeSessionNumber();
  void ReleaseSessionNumber(int32_t number);

private:
  qv::RecursiveMutex Lock_;
  std::vector<TVLMSession*> Sessions_;
  TVLMSession* Default_ = nullptr;
  std::vector<bool> SessionNumbers_;
};

// The runtime's session list and its default session; nullptr while the
// runtime is down.
TVLMSessionList* VLMSessions();
TVLMSession* VLMGetDefaultSession();
// The session among owner's components whose AutoSessionName is set (there
// is at most one); nullptr when none. A database or dataset made on that
// owner takes its name.
TVLMSession* VLMAutoNamingSession(const qv::Component* owner);

class TVLMSession : public qv::Component {
public:
  using StartupEvent = std::function<void(TVLMSession& sender)>;

  // Joins VLMSessions() (20570 while the runtime is down). On an owner with
  // a session whose AutoSessionName is set: "Cannot add a session to the
  // form or data-module while session '%s' has AutoSessionName enabled".
  explicit TVLMSession(qv::Component* owner = nullptr);
  // Deactivates, lets go of its databases, leaves VLMSessions().
  ~TVLMSession() override;

  // Activation (under VLMSessionLock): OnStartup; an empty SessionName is
  // "Session name missing"; another session first activates the default
  // one; the default session initialises the engine handle
  // (VLMInitEngine), any other gets a handle of its own. Deactivation: its
  // handle becomes current, the databases it made are freed and the others
  // disconnected (last first), then the handle goes (the default session's
  // with VLMDoneEngine). A failed activation leaves the session inactive.
  bool Active() const { return Handle_ != nullptr; }
  void SetActive(bool value);
  const std::string& SessionName() const { return SessionName_; }
  // Refused while AutoSessionName is set ("Cannot modify SessionName while
  // AutoSessionName is enabled"), while active ("Cannot perform this
  // operation on an active session") and for a name another session bears
  // ("Duplicate session name '%s'").
  void SetSessionName(std::string_view value);
  // True: refused while active, and when the owner has another session
  // ("Cannot enable AutoSessionName property with more than one session on a
  // form or data-module"); the session then takes a number n and names
  // itself "<component name>_<n+1>", passing the name on to the databases
  // among its owner's components. False gives the number back.
  bool AutoSessionName() const { return AutoSessionName_; }
  void SetAutoSessionName(bool value);
  // The first session of the process (the runtime's "Default").
  bool IsDefault() const { return Default_; }

  // Copied to each database the session makes for a dataset.
  bool KeepConnections = true;
  // Called at each activation.
  StartupEvent OnStartup;

  // Enters VLMSessionLock and makes the session current, activating it when
  // inactive (on failure the lock is left again). Unlock leaves the lock.
  void Lock();
  void Unlock();
  void AddDatabase(TVLMDatabase* database);
  void RemoveDatabase(TVLMDatabase* database);
  int32_t DatabaseCount() const { return static_cast<int32_t>(Databases_.size()); }
  TVLMDatabase* Databases(int32_t index) const;
  // Under Lock: the first database of that DatabaseName (ignoring case); one
  // with an empty DatabaseName only when the session made it. nullptr when
  // none.
  TVLMDatabase* FindDatabase(std::string_view name);
  // With an owner: the first HandleShared database of that owner and name;
  // else (or when there is none) FindDatabase.
  TVLMDatabase* DoFindDatabase(std::string_view name, qv::Component* owner);
  // The local session of the first connected HandleShared database of that
  // name; nullptr when none.
  TVLMLocalSession* FindDatabaseHandle(std::string_view name);
  // Under Lock: DoFindDatabase, else a new database owned by the session
  // (Temporary, SilentMode, KeepConnection = KeepConnections) named name,
  // whose file is name itself unless it is "MEMORY" or "TEMP" (the file must
  // exist: "Database file '%s' does not exist"); then it connects (a database made for the call is freed again when that
  // fails) and its reference count goes up by one.
  TVLMDatabase* OpenDatabase(std::string_view name, qv::Component* owner);
  // The reference count goes down by one (not below 0); at 0 a database
  // without KeepConnection is freed when the session made it, else
  // disconnected.
  void CloseDatabase(TVLMDatabase* database);
  void CheckInactive() const;

  // With AutoSessionName, the session's name goes to the databases among
  // the owner's components.
  void Loaded() override;
  // A rename with AutoSessionName renames the session as well.
  void SetName(std::string_view newName) override;

private:
  friend class TVLMSessionList;
  // Refusals of a session among owner's components other than except.
  static qv::Component* CheckAutoSessions(qv::Component* owner, const TVLMSession* except, bool allSessions);
  void Activate();
  void Deactivate();
  void UpdateAutoSessionName();
  void ApplySessionName();

  TVLMSessionComponentManager* Handle_ = nullptr;
  std::vector<TVLMDatabase*> Databases_;
  bool Default_ = false;
  bool AutoSessionName_ = false;
  bool UpdatingAutoSessionName_ = false;
  std::string SessionName_;
  int32_t SessionNumber_ = -1;
};

// The component through which a program names and opens one database file.
class TVLMDatabase : public qv::Component {
public:
  using PasswordEvent = std::function<void(TVLMDatabase& sender, bool& continueConnect)>;
  using NotifyEvent = std::function<void(TVLMDatabase& sender)>;
  using ProgressEvent = std::function<void(TVLMDatabase& sender, int32_t percent, bool& continueWork)>;
  using NeedRepairEvent = std::function<void(TVLMDatabase& sender, bool& repair)>;

  // Registers with owner when it is a session, else with the session of the
  // owner that has AutoSessionName, else with the default session (none
  // while the runtime is down).
  explicit TVLMDatabase(qv::Component* owner = nullptr);
  // Disconnects (failures are dropped) and leaves the session.
  ~TVLMDatabase() override;

  // ---- properties ----

  bool Connected() const { return Handle_ != nullptr; }
  // DoConnect or DoDisconnect when value differs.
  void SetConnected(bool value);
  // A blank and the engine's format version with two decimals: " 6.20".
  static std::string CurrentVersion();
  const std::string& DatabaseFileName() const { return DatabaseFileName_; }
  // A new file name disconnects first.
  void SetDatabaseFileName(std::string_view value);
  const std::string& DatabaseName() const { return DatabaseName_; }
  // A new name: refused while open ("Cannot perform this operation on an
  // open database"; in design mode the database is closed instead), checked
  // by CheckDatabaseName, stored.
  void SetDatabaseName(std::string_view value);
  bool KeepConnection() const { return KeepConnection_; }
  // False while no dataset holds the database disconnects it.
  void SetKeepConnection(bool value);
  const std::string& SessionName() const { return SessionName_; }
  // Refused while open; a new name registers with that session (none of
  // that name: no session until the next connect, which raises 20002).
  void SetSessionName(std::string_view value);

  bool Exclusive = false;
  std::string Password;
  // After a connect (outside design mode), the local session's: true when
  // the file could only be opened for reading.
  bool ReadOnly = false;
  // A second component of the same name in the session may borrow this one's
  // local session.
  bool HandleShared = false;
  int32_t MaxConnections = 500;
  bool MultiUser = false;
  // No questions, no message boxes and no wait window.
  bool SilentMode = false;
  bool DisableTempFiles = false;
  // Geometry and cipher of a file CreateDatabase writes; after a connect,
  // those of the open file.
  uint8_t CipherId = 0;
  int32_t PageSize = 4096;
  int32_t ExtentSize = 8;

  // Asked after a wrong password, with continueConnect false: set Password
  // and answer true to try again.
  PasswordEvent OnPassword;
  // Asked when the file needs repair, with repair false.
  NeedRepairEvent OnNeedRepair;
  // The repair's start, progress (continueWork true: answer false to stop)
  // and end; unassigned, they run the wait window.
  NotifyEvent BeforeRepair;
  ProgressEvent OnRepairProgress;
  NotifyEvent AfterRepair;

  // ---- state ----

  TVLMSession* Session() const { return Session_; }
  // The local session in use (own or borrowed); nullptr while closed.
  TVLMLocalSession* Handle() const { return Handle_; }
  // Made by the session for a dataset.
  bool Temporary() const { return Temporary_; }
  // Datasets of the session holding the database open.
  int32_t RefCount() const { return RefCount_; }
  bool InTransaction() const;

  // ---- operations ----

  // In order: the name must be set unless Temporary ("Database name
  // missing"); the session named SessionName is looked up (20002) and
  // activated; with HandleShared, a connected component of the same name
  // lends its local session and that is all. Then under the session's Lock:
  // the file must exist unless Temporary ("Database file '%s' does not
  // exist"); a local session with this component's settings connects. A
  // wrong password (30445, or 20298 from a file already open) frees it and
  // asks AskPassword: yes tries again with the new Password, no passes the
  // error on. Then ReadOnly (outside design mode), CipherId, PageSize,
  // ExtentSize and MaxConnections are the open file's. A failed connect
  // leaves the component closed and no local session registered anywhere.
  void DoConnect();
  // The datasets are closed, queries first, then the others from the last
  // to the first; then a borrowed local session is given back, or the
  // components borrowing this one's are disconnected and the local session
  // is disconnected and freed (also when its disconnection raises).
  void DoDisconnect();
  // The file DatabaseFileName exists.
  bool Exists() const;
  // Writes a new file with this component's page size, extent size, maximum
  // connections, password and cipher: the name must be set, the session
  // exist, the database be closed. 20092 when this process has the file
  // open, 10790 when another connection has it open.
  void CreateDatabase();
  // The same checks, then the file is deleted; false when it was not, also
  // while any connection has the file open (it would go on writing to a
  // file that no longer has a name).
  bool DeleteDatabase();
  // Require an open database ("Cannot perform this operation on a closed
  // database"); a second StartTransaction: "Database is already within a
  // transaction"; Commit and Rollback outside one: 20229.
  void StartTransaction();
  void Commit(bool flushBuffers);
  void Rollback();
  // Connects when closed, reads the names, disconnects again when it was
  // closed; any failure leaves list as it is.
  void GetTableNames(qv::StringList& list);
  // Connects when closed (and stays connected).
  bool TableExists(std::string_view tableName);

  // The datasets that use the database: the dataset base adds itself when
  // it attaches and removes itself when it lets go (a query with isQuery).
  void AddDataSet(qv::DataSet* dataSet, bool isQuery);
  void RemoveDataSet(qv::DataSet* dataSet);
  int32_t DataSetCount() const { return static_cast<int32_t>(DataSets_.size()); }
  qv::DataSet* DataSets(int32_t index) const;

  // ---- checks ----

  void CheckDatabaseNameMissing() const;
  // Under the session's Lock: another database of the session named name is
  // "Duplicate database name '%s'", unless both are HandleShared, or it is a
  // temporary one no dataset holds, which is freed.
  void CheckDatabaseName(std::string_view name);
  // Joins the session named SessionName when it is another one (mustExist:
  // 20002 when there is none), checking the name there; with mustExist the
  // session is activated.
  void RegisterWithSession(bool mustExist);

  // ---- questions and the repair's wait window ----

  // OnPassword when assigned; else false in SilentMode; else the password
  // prompt, which stores the typed password in Password.
  bool AskPassword();
  // While repairing: false. OnNeedRepair when assigned; else the question
  // "Database file was not correctly closed last time. Do you want to repair
  // it?".
  bool AskRepair();
  // While repairing: false. Else the notice that the old file will be
  // converted, and true.
  bool AskConvert();
  // The repair events, or (unassigned, outside SilentMode) the wait window
  // "Repairing Database...": shown by its rule, its progress set, and its
  // "Abort" answered by DoRepairProgress returning false.
  void DoBeforeRepair();
  bool DoRepairProgress(int32_t percent);
  void DoAfterRepair();

  // ---- repair and rebuild (VLMMainRepair.cpp) ----
  //
  // A connect that finds the file not closed cleanly, or of an older format,
  // asks (AskRepair, or AskConvert for a version below 2.99) and on yes
  // repairs it before it connects again: the file is rebuilt table by table
  // into DatabaseFileName + ".tmp", which then takes the old file's place.
  // The old file stays whole until the replace, which is one rename:
  //
  //   refused   another process holds the file: nothing is written
  //   copied    the file copied to a scratch file of the temporary folder,
  //             which the rebuild reads (repairing a table writes into the
  //             file it repairs)
  //   rebuild   "<file>.tmp" made, every table repaired and copied into it
  //             (a failure or a stop deletes it; the old file is untouched)
  //   flushed   "<file>.tmp" on disk; the replace hook runs
  //   replaced  rename over the old name, then the folder flushed
  //
  // A silent component, and one in design mode, opens such a file as it is.

  // Rebuilds into DatabaseFileName + ".tmp" and replaces the file with it.
  // False with errorText set when the rebuild failed, stopped ("Unknown
  // error" when it says nothing) or was refused because another process has
  // the file open; the ".tmp" file is then gone (unless another process
  // holds it) and the old file untouched. An exception of the rebuild passes
  // on after the same clean-up: 20303 (checked here before anything is
  // written), 10820 when the scratch copy cannot be made. While the rebuild
  // runs (its events included), DatabaseFileName names the scratch copy. A
  // table that cannot be opened even for repair is left out, with a line in
  // errorText.
  bool RepairDatabase(std::string& errorText);
  // The checks of CreateDatabase, one connect and disconnect (for the
  // file's geometry), then RebuildDatabase in repair mode with the repair
  // events and this component's settings; its result.
  bool RebuildInto(const std::string& fileName, std::string& errorText);
  // Writes a new database file fileName with every table of this (closed)
  // one, each repaired first in repair mode and copied with its indexes,
  // progress going from i*100/n to (i+1)*100/n for table i of n. 20303
  // "There is not enough free space on drive to perform required operation
  // with the database file." when the folder of fileName has less free space
  // than the database file has bytes, before anything is written. The table
  // names are read from the file itself: a list that cannot be read fails
  // the rebuild. Result: false when progress answered stop; else true in
  // repair mode, and otherwise whether errorText (the problems of the
  // copies) stayed empty. Exclusive and SilentMode are restored and after is
  // called on every path.
  bool RebuildDatabase(const std::string& fileName, std::string& errorText, const NotifyEvent& before,
                       const ProgressEvent& progress, const NotifyEvent& after, int32_t maxConnections,
                       int32_t extentSize, int32_t pageSize, uint8_t cipherId, const std::string& password,
                       bool repair);

  // Registers with the session named SessionName when it is another one.
  void Loaded() override;

private:
  friend class TVLMSession;
  struct DataSetEntry {
    qv::DataSet* DataSet;
    bool IsQuery;
  };
  // The installed user interface, or the silent one in SilentMode.
  EngineUi& Ui() const;
  void CheckInactive();
  void CheckOpen() const;
  std::unique_ptr<TVLMLocalSession> CreateLocalSession() const;
  // Step 7 of DoConnect: a database that needs repair or conversion is
  // repaired (after the question) and connected again. An exception of the
  // repair becomes 20238.
  void RepairOnConnect();
  // Connects exclusively, cuts the file after its last used page,
  // disconnects.
  void ShrinkDatabase();
  // Copies table tableName of this connected database into target's file
  // (RebuildDatabase, one table of count).
  bool RebuildTable(const std::string& tableName, TVLMDatabase& target, int32_t index, int32_t count,
                    std::string& errorText, const ProgressEvent& progress, bool repair);
  void CloseDataSets();
  // The session is being destroyed: disconnected, then registered with the
  // default session (when another session goes) or with none.
  void SessionGone(bool defaultSession);

  std::string DatabaseFileName_;
  std::string DatabaseName_;
  std::string SessionName_;
  bool KeepConnection_ = true;
  TVLMSession* Session_ = nullptr;
  std::vector<DataSetEntry> DataSets_;
  int32_t RefCount_ = 0;
  TVLMLocalSession* Handle_ = nullptr;
  std::unique_ptr<TVLMLocalSession> OwnHandle_;
  bool Temporary_ = false;
  bool SharedHandle_ = false;
  bool Repairing_ = false;
  bool Disconnecting_ = false;
  bool BeingDestroyed_ = false;
  std::unique_ptr<WaitController> WaitForm_;
};

// Test hook: called by RepairDatabase once the rebuilt file is flushed, just
// before it replaces the damaged one, with the two names. A hook that raises
// fails the repair there. nullptr removes it.
using VLMRepairReplaceHook = std::function<void(const std::string& tempName, const std::string& fileName)>;
void VLMSetRepairReplaceHook(VLMRepairReplaceHook hook);

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
// Extended -> host: name, host type, size, required.
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
// Engine -> host: name, host type, the declared size for text and byte
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

// ------------------------------------------------------------ dataset base
//
// TVLMDataSet is the dataset of the components over one engine cursor
// (TVLMLocalCursor): it fills in the generic dataset's record-buffer
// protocol, attaches itself to a database component through its session, and
// keeps bookmarks, filters, Locate and Lookup. TVLMTable (and the query of
// the SQL engine) derive from it and make the cursor (CreateHandle).
//
// Record buffer (AllocRecordBuffer; D = the cursor's RecordDataSize):
//
//   0        D bytes of engine record: null bitmap, then the fields
//   D        6-byte bookmark {u32 page, u16 row}
//   D + 6    bookmark flag: 0 current, 1 first, 2 last, 3 inserted
//            (the dataset layer's TBookmarkFlag values)
//   D + 7    calculated-field area, CalcFieldsSize bytes: per calculated or
//            lookup field one has-value byte, then its value (DataSize bytes;
//            a wide string keeps a 32-bit holder index there, see below)
//
// GetRecordSize is D. Key buffers are D + 6 bytes: the engine record image,
// then {u8 modified, u8 exclusive, i32 field count}.
//
// Field values move between a field and the record through the cursor's
// field list (engine field = FieldNo - 1). Dates, times and date-times are
// converted between the engine's forms (day number; milliseconds since
// midnight; time stamp {day, ms}) and the dataset layer's (the same day
// number; the same milliseconds; a double of milliseconds since day 0).
// Narrower engine integers (BYTE into a word field, a 1- or 2-byte
// autoincrement into a 4-byte one) are zero- or sign-extended.
//
// A wide-string calculated field keeps its value in a holder of the
// components' runtime (TVLMComponentRuntime::HoldWideString), which lives
// until the runtime shuts down; the slot holds the holder's index (0 = none
// yet) and later writes to the same slot reuse it.
//
// Attached to the database: SetDBFlag records why the dataset uses its
// database (flags 0-15: 0 cursor open, 3 table create/delete/empty/rename,
// 4 reading the field definitions of a closed table, 5 index work, 11
// repair). The first flag set opens the database through the session
// (TVLMSession::OpenDatabase); the last one cleared closes it again.
//
// Lifecycle:
//   closed --Open--> OpenCursor: DatabaseName checked, SetDBFlag(0, true),
//            CreateHandle, InternalOpen --> open
//   open --Close--> CloseCursor: InternalClose, DestroyHandle,
//            SetDBFlag(0, false) --> closed
//
// 32-bit counts: RecordCount saturates at 2^31 - 1; a record whose number
// is beyond that has RecNo -1 ("no number").
//
// Error codes: the design's "Nil pointer occured" codes of each operation
// (listed at the operations), 10007 field write outside the edit states,
// 10026 record not read, 10029-10032, 10068-10071, 10075-10078 writes,
// 10106/10107 BLOB write on a read-only dataset, 10111 BLOB write outside
// edit and insert, 10271 Locate on a closed dataset, 10325 unknown index,
// 20001 no cursor made, 20019 key field; and 10800 a BLOB stream on a field
// of another kind of dataset, 10801 calculated-field write without a record,
// 10804 insert without a cursor, 20590 attaching while the runtime is down.

class TVLMCursor;
class TVLMExpression;
class TVLMLocalCursor;
class TVLMLocalSession;
class TVLMQueryOperator;
class TVLMCursorBLOBStream;
class WaitController;

namespace qv {
class StringList;
}  // namespace qv

class TVLMDataSet : public qv::DataSet {
public:
  // Reasons for being attached to the database (SetDBFlag).
  static constexpr int32_t kDBFlagCursor = 0;
  static constexpr int32_t kDBFlagTable = 3;
  static constexpr int32_t kDBFlagFieldDefs = 4;
  static constexpr int32_t kDBFlagIndexes = 5;
  static constexpr int32_t kDBFlagRepair = 11;
  // Six bookmark bytes and one spare, as the dataset layer keeps them.
  static constexpr int32_t kBookmarkSize = 7;

  explicit TVLMDataSet(qv::Component* owner = nullptr);
  ~TVLMDataSet() override;

  // ---- published properties
  const std::string& DatabaseName() const { return DatabaseName_; }
  // Closed only; "Cannot perform this operation on an open database" while
  // attached to a database. InMemory follows: true for "MEMORY" in any case.
  void SetDatabaseName(std::string_view value);
  // Empty = the default session.
  const std::string& SessionName() const { return SessionName_; }
  void SetSessionName(std::string_view value);
  bool InMemory() const { return InMemory_; }
  // Closed only; true also sets DatabaseName to "MEMORY".
  void SetInMemory(bool value);
  // "6.20 ".
  std::string CurrentVersion() const;
  bool ReadOnly = false;
  // Field and index definitions are kept with the component (TVLMTable).
  bool StoreDefs = false;
  // The cursor does not take VLMDesignMode.
  bool KeepDesignMode = false;

  // ---- state
  TVLMLocalCursor* Handle() const { return Handle_.get(); }
  TVLMDatabase* Database() const { return Database_; }
  bool DBFlag(int32_t flag) const;
  // Attaches to (first flag) or detaches from (last flag) the database.
  // Flags above 15 are never recorded. Virtual: a query unprepares when its
  // last flag goes.
  virtual void SetDBFlag(int32_t flag, bool value);
  // Closes the dataset (the query also unprepares).
  virtual void Disconnect();

  // ---- the SQL engine's hooks
  // A ready expression as the cursor's filter (not owned); no cursor 10300.
  void SetFilterExpression(TVLMExpression* expression, TVLMQueryOperator* operand = nullptr,
                           TVLMCursor* outerCursor = nullptr);
  // The cursor's fields become the named table fields under the aliases;
  // the dataset reopens on the same cursor. No cursor 10320.
  void SetProjection(const qv::StringList& fieldNames, const qv::StringList& aliasNames);
  // No cursor 10326.
  bool HasIndexFields();
  // Switches the cursor to index name (range reset first).
  void SetIndexNameInternal(std::string_view name);
  // Field fieldNo of the record the state names, through the cursor (a BLOB
  // read whole through a BLOB stream). No cursor 10315 / 10316.
  void GetFieldVariant(TVLMVariant& value, int32_t fieldNo, bool tableFieldNo);
  void SetFieldVariant(const TVLMVariant& value, int32_t fieldNo, bool tableFieldNo);
  // Field fieldNo of this dataset's record (of the table's list when
  // tableFieldNo) into field otherFieldNo of other's record, straight through
  // the cursors. No cursor 10500, nil other 10503, other without cursor
  // 10504.
  void CopyFieldValue(int32_t fieldNo, bool tableFieldNo, TVLMDataSet* other, int32_t otherFieldNo);

  // ---- record copy (VLMMainCopy.cpp)
  using CopyProgressEvent = std::function<void(qv::DataSet& sender, int32_t percent, bool& cont)>;
  // Copies every record of source (from its first) into dest, appended and
  // posted one by one, field by field: a source field goes to the dest field
  // of its name or, with matchByRestructure between two tables, to the field
  // the source's restructure definitions give its identity. source keeps its
  // position. A value that cannot be written becomes null and a record that
  // cannot be posted is cancelled, each with a line in log ("Record #n"
  // counts from 1); without ignoreErrors that exception then passes on. A
  // source field without a field object is 10499. onProgress is called
  // after the first record and then every Min(step, 30) records, step being
  // RecordCount / (maxPercent - minPercent) + 1 (1 for an empty range),
  // with minPercent plus the share of the range done; when it leaves cont
  // false the copy ends with "Terminated by User." in log. True when every
  // record and field was copied and the copy was not stopped.
  static bool CopyRecords(qv::DataSet& source, qv::DataSet& dest, std::string& log, bool& cont, bool ignoreErrors,
                          bool matchByRestructure, const CopyProgressEvent& onProgress, int32_t minPercent,
                          int32_t maxPercent);

  // ---- BLOBs
  // The cursor's stream over field's value in the record the state names
  // (nullptr when there is no record or the cursor gives none). No cursor
  // 10108; a writing mode outside edit and insert 10111.
  TVLMCursorBLOBStream* OpenBlob(qv::Field* field, qv::TBlobStreamMode mode);
  void CloseBlob(qv::Field* field) override;
  // A TVLMBLOBStream; a writing mode on a read-only dataset 10107.
  std::unique_ptr<qv::Stream> CreateBlobStream(qv::Field* field, qv::TBlobStreamMode mode) override;

  // ---- the overridden dataset operations
  using qv::DataSet::BookmarkValid;
  using qv::DataSet::GetFieldData;
  using qv::DataSet::SetFieldData;
  bool GetFieldData(qv::Field* field, void* buffer) override;
  void SetFieldData(qv::Field* field, void* buffer) override;
  void SetActive(bool value) override;
  void SetRecNo(int32_t value) override;
  bool BookmarkValid(const uint8_t* bookmark) override;
  int32_t CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) override;
  bool GetCurrentRecord(qv::RecordBuffer buffer) override;
  bool GetIsIndexField(qv::Field* field) override;
  bool Locate(std::string_view keyFields, const qv::HostVariant& keyValues, qv::TLocateOptions options) override;
  qv::HostVariant Lookup(std::string_view keyFields, const qv::HostVariant& keyValues,
                         std::string_view resultFields) override;
  bool FindRecord(bool restart, bool goForward) override;
  void SetFilterText(std::string_view value) override;
  void SetFiltered(bool value) override;
  void SetFilterOptions(qv::TFilterOptions value) override;
  void SetOnFilterRecord(FilterRecordEvent value) override;

  // ---- definitions of the open table
  // Engine definitions read from the cursor, the extended ones built from
  // them, and a second extended pair that restructuring fills.
  TVLMFieldDefs EngineFieldDefs;
  TVLMIndexDefs EngineIndexDefs;
  TVLMConstraintDefs ConstraintDefs;
  TVLMAdvFieldDefs AdvFieldDefs;
  TVLMAdvIndexDefs AdvIndexDefs{this};
  TVLMAdvFieldDefs RestructureFieldDefs;
  TVLMAdvIndexDefs RestructureIndexDefs{this};

protected:
  // Key buffers, by use.
  enum KeyIndex : int32_t { kiLookup = 0, kiRangeStart, kiRangeEnd, kiCurRangeStart, kiCurRangeEnd, kiSave };
  static constexpr int32_t kKeyBufferCount = 6;

  // ---- new virtual operations
  // The cursor of the open dataset; none here (the table and the query make
  // one).
  virtual std::unique_ptr<TVLMLocalCursor> CreateHandle();
  // Frees the cursor, unless a projection keeps it (StaticCursor_).
  virtual void DestroyHandle();
  // Called at the end of InternalOpen.
  virtual void PrepareCursor() {}
  // The database closes queries before the other datasets.
  virtual bool IsQuery() const { return false; }
  // The dataset's session component (see AttachDatabase).
  TVLMSession* SessionOf() const;

  // ---- the record-buffer protocol
  qv::RecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(qv::RecordBuffer& buffer) override;
  qv::TGetResult GetRecord(qv::RecordBuffer buffer, qv::TGetMode getMode, bool doCheck) override;
  int32_t GetRecordSize() override;
  void GetBookmarkData(qv::RecordBuffer buffer, void* data) override;
  qv::TBookmarkFlag GetBookmarkFlag(qv::RecordBuffer buffer) override;
  void SetBookmarkData(qv::RecordBuffer buffer, const void* data) override;
  void SetBookmarkFlag(qv::RecordBuffer buffer, qv::TBookmarkFlag value) override;
  void InitRecord(qv::RecordBuffer buffer) override;
  void InternalInitRecord(qv::RecordBuffer buffer) override;
  void ClearCalcFields(qv::RecordBuffer buffer) override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalSetToRecord(qv::RecordBuffer buffer) override;
  void InternalFirst() override;
  void InternalLast() override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  bool IsCursorOpen() override { return Handle_ != nullptr; }
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalAddRecord(qv::RecordBuffer buffer, bool append) override;
  void InternalRefresh() override;
  void InternalHandleException() override;
  bool GetCanModify() override;
  int32_t GetRecordCount() override;
  int32_t GetRecNo() override;

  // ---- shared by the table
  // The buffer field reads and writes use in the current state.
  qv::RecordBuffer GetActiveRecBuf() const;
  // Finds the record; the cursor stays on it (the caller resynchronises).
  bool LocateRecord(std::string_view keyFields, const qv::HostVariant& keyValues, qv::TLocateOptions options);
  void ActivateFilters();
  void DeactivateFilters();
  // Both current-range buffers reinitialised and the cursor's range
  // cancelled; true when a range was set. No cursor 10287.
  bool ResetRange();
  void UpdateIndexFieldMap();
  uint8_t* KeyBuffer(KeyIndex index) const { return KeyBuffers_[index]; }
  // The key buffer being edited in the set-key state.
  uint8_t* EditKeyBuffer_ = nullptr;
  int32_t IndexFieldCount_ = 0;
  // 1-based field numbers of the current index's columns.
  std::vector<uint16_t> IndexFieldMap_;
  int32_t KeySize_ = 0;
  // Set while a projection rebuilds the dataset: the cursor survives the
  // close and CreateHandle gives it back.
  TVLMLocalCursor* StaticCursor_ = nullptr;
  std::unique_ptr<TVLMLocalCursor> Handle_;

  // The cursor, or code "Nil pointer occured".
  TVLMLocalCursor& RequireHandle(int32_t code) const;

private:
  friend class TVLMBLOBStream;

  // The record's bookmark as the cursor's position (BOF and EOF cleared).
  void PositionAt(const uint8_t* bookmark);
  // The engine's sizes of the open cursor: record data size D, and the
  // record buffer grown by the calculated fields.
  int32_t RecordDataSize() const;
  void SizeCursorBuffers();
  bool RecordFilter(uint8_t* buffer);
  // The filter text and options stored; an open filtered dataset applies
  // them and goes to its first record.
  void SetFilterData(std::string_view text, qv::TFilterOptions options);
  // The session named SessionName (20002 when none; 20590 while the
  // runtime is down), its database opened for this dataset, and back.
  void CheckSharedDatabase();
  void AttachDatabase();
  void DetachDatabase();
  void FreeKeyBuffers();
  void FreeOldBuffer();
  // Calculated-field slot of field in buffer (has-value byte first).
  uint8_t* CalcSlot(qv::RecordBuffer buffer, const qv::Field* field) const;
  bool GetCalcFieldData(const qv::Field* field, qv::RecordBuffer recBuf, void* buffer) const;
  void SetCalcFieldData(const qv::Field* field, qv::RecordBuffer recBuf, const void* buffer);
  bool GetDataFieldData(const qv::Field* field, qv::RecordBuffer recBuf, void* buffer);
  void SetDataFieldData(qv::Field* field, qv::RecordBuffer recBuf, void* buffer);

  std::string DatabaseName_;
  std::string SessionName_;
  bool InMemory_ = false;
  uint16_t DBFlags_ = 0;
  TVLMDatabase* Database_ = nullptr;
  uint8_t* OldBuffer_ = nullptr;
  std::array<uint8_t*, kKeyBufferCount> KeyBuffers_{};
  bool InBlobRefresh_ = false;
};

// A dataset's stream over one BLOB field of the record its state names: the
// dataset opens the cursor's stream (TVLMDataSet::OpenBlob) and closes it
// again when this stream is destroyed; a write of at least one byte then
// marks the dataset modified and sends the field-change event. A stream the
// dataset could not open reads and writes nothing. When the cursor ends the
// BLOB first (a post, a cancel, a close), this stream is cut off from it and
// goes on reading and writing nothing.
class TVLMBLOBStream : public TVLMStream {
public:
  // A writing mode on a read-only dataset raises 10106; a field that does
  // not belong to a TVLMDataSet 10800. bmWrite empties the value.
  TVLMBLOBStream(qv::Field* field, qv::TBlobStreamMode mode);
  ~TVLMBLOBStream() override;

  void SetSize(int64_t newSize) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  int64_t GetSize() override;
  // The dataset gave a cursor stream.
  bool IsOpen() const { return Stream_ != nullptr; }

private:
  class Link;
  friend class Link;

  qv::Field* Field_ = nullptr;
  TVLMDataSet* DataSet_ = nullptr;
  TVLMCursorBLOBStream* Stream_ = nullptr;
  // What the cursor's stream records as its owner. The cursor frees it when
  // it ends the BLOB first (this stream then lets go of the cursor's); else
  // this stream frees it.
  Link* Link_ = nullptr;
  int64_t Position_ = 0;
};

// ------------------------------------------------------------ table
//
// TVLMTable is the dataset over one stored table. Its cursor is made by
// CreateCursor: a local cursor on the database component's engine session,
// with the table's name, Exclusive, read-only when the table or the database
// is, and the table opened (a memory or temporary table at design time is
// made from FieldDefs and IndexDefs on the spot).
//
// Index: IndexName names an index; IndexFieldNames (";"-separated) names
// fields, and the first index whose fields begin with them is used (none:
// "No index for fields '%s'" when the table opens). Either one set on a
// closed table applies when it opens.
//
// Master/detail: with MasterSource and MasterFields set, the table shows only
// the records whose first index fields equal the master's fields, as a range
// of the current index, and moves to its first such record whenever the
// master's record changes (under a type-1 table lock, when one is had).
//
// Structural operations (CreateTable, DeleteTable, EmptyTable, RenameTable)
// run through a cursor of their own while the table is attached to its
// database by flag 3; all but EmptyTable refuse inside a transaction of the
// database: "Cannot perform '%s' operation on a database in transaction"
// (20182 CreateTable, 20183 DeleteTable, 20181 RenameTable; 20179
// RenameField, 20175 AddIndex, 20177 DeleteIndex, 20180 RestructureTable).
// Opening the table copies its extended field definitions into
// RestructureFieldDefs (and the index ones into RestructureIndexDefs), which
// a caller edits before RestructureTable.
//
// Error codes: 10296 / 10299 master range without a cursor, the refusals
// above, the definition checks of CheckFieldDefs (30499, 30453, 20257).
class TVLMTable : public TVLMDataSet {
public:
  using TableNotifyEvent = std::function<void(TVLMTable&)>;
  using ProgressEvent = std::function<void(TVLMTable&, int32_t percent, bool& cont)>;
  // The long operations with a progress-event triple.
  enum class LongOperation : uint8_t { Copy, Import, Restructure };

  explicit TVLMTable(qv::Component* owner = nullptr);
  ~TVLMTable() override;

  // ---- published properties
  const std::string& TableName() const { return TableName_; }
  // Closed only (when it changes).
  void SetTableName(std::string_view value);
  bool Exclusive = false;
  bool Temporary() const { return Temporary_; }
  // Closed only; true also sets DatabaseName to "TEMP".
  void SetTemporary(bool value);
  // The cursor of a database the session made for the table keeps no
  // temporary files when set.
  bool DisableTempFiles = false;
  std::string IndexName() const { return FieldsIndex_ ? std::string() : IndexName_; }
  void SetIndexName(std::string_view value) { SetIndex(value, false); }
  std::string IndexFieldNames() const { return FieldsIndex_ ? IndexName_ : std::string(); }
  void SetIndexFieldNames(std::string_view value) { SetIndex(value, !value.empty()); }
  qv::DataSource* MasterSource() const;
  // "Circular datalinks are not allowed" when source's dataset follows this
  // table.
  void SetMasterSource(qv::DataSource* source);
  const std::string& MasterFields() const;
  void SetMasterFields(std::string_view fields);

  // Whether the table is in its database (false without DatabaseName); a
  // table not attached to its database attaches just for the question.
  bool Exists();
  // The value field's last insert drew in this session.
  int64_t GetLastAutoincValue(std::string_view fieldName);
  // Opens the table once in repair mode (the database rebuild).
  void RepairTable();

  // ---- the SQL engine's index choice (open table only)
  // The index the cursor finds or makes for the fields; no cursor 10311.
  std::string GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                const qv::StringList& caseOptions);
  // Whether an index serves the fields; no cursor 10514.
  bool HasIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                         const qv::StringList& caseOptions);
  // The cursor orders by such an index, which becomes IndexName; no cursor
  // 10319.
  void SetIndexByFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                        const qv::StringList& caseOptions);
  // The index other's cursor uses, with its index field count; no cursor
  // 10319.
  void AssignIndexFrom(TVLMTable& other);

  // ---- structure
  // Makes the table from FieldDefs and IndexDefs (or from the extended
  // definitions when they are set); the table must be closed.
  void CreateTable();
  // Closes the table first.
  void DeleteTable();
  // Removes every record; closed only; also inside a transaction.
  void EmptyTable();
  // Closed only; TableName becomes newName.
  void RenameTable(std::string_view newName);
  // Per extended field definition: 30499 "Missing field name. FieldNo=%d,
  // table '%s'"; 30453 "Cannot create table '%s' with field: %s %s(%d)" for
  // a text, GUID or byte field of size below 1; 20257 for a compressed BLOB
  // whose compression mode is outside 1-9.
  void CheckFieldDefs();
  // Defaults, minima and maxima cast to the field's type (empty texts become
  // null); sizes kept only for sized types, a GUID 38.
  void NormalizeFieldDefs();
  // Index columns without a positive length, or on a field that is not of a
  // sized type, get length 20.
  void NormalizeIndexColumns();

  // ---- structure changes (VLMMainRestructure.cpp)
  // Renames a field of the closed table, which is opened exclusively for it
  // and closed again (Exclusive restored).
  void RenameField(const std::string& oldName, const std::string& newName);
  // Adds an index through the open cursor or a cursor of its own: 20046 for
  // an empty name, 20047 for an empty field list; the index is made under an
  // exclusive table lock (type 6, the table-open tries and delay of
  // VLMRetrySettings), 20228 when another session holds the table.
  void AddIndex(const std::string& name, const std::string& fields, qv::TIndexOptions options,
                const std::string& descFields = std::string(), const std::string& caseInsFields = std::string());
  // Removes the index through the open cursor or a cursor of its own.
  void DeleteIndex(const std::string& name);
  // Rebuilds the closed table with RestructureFieldDefs and
  // RestructureIndexDefs: the table is renamed "OLD_<name>_{GUID}", a new
  // table <name> is made and every record copied into it, each field by its
  // identity (a field keeps its values across a rename, a new field starts
  // null), then the old table is deleted. Log collects what failed. False
  // when the new table could not be made or the copy was incomplete or
  // stopped: the new table is then dropped and the old one has its name and
  // records back. An exception of the copy passes on after the same undo.
  bool RestructureTable(std::string& log);

  // ---- copy and import (VLMMainCopy.cpp)
  // Copies this table's structure (its indexes with copyIndexes) and records
  // into table newTableName of the database file destDatabaseFileName,
  // opened with destPassword ("MEMORY": the memory database; empty: this
  // table's database), with the copy events and progress from minPercent to
  // maxPercent. The table keeps its state and position. Refusals: 30447
  // "Cannot copy table '%s.%s' into it self" when the destination is this
  // table (also through its own file's name); 30448 "Table '%s.%s' already
  // exists" (10515 in the memory database) unless overwrite deletes it;
  // 30450 "Create table '%s.%s' error: '%s'"; 20297 for a field definition
  // without a field object. With ignoreErrors these texts (and a failed
  // connect of the destination) go to log instead and the copy ends with
  // false. Otherwise the result of CopyRecords.
  bool CopyTable(std::string_view newTableName, std::string& log, bool& cont,
                 const std::string& destDatabaseFileName = std::string(),
                 const std::string& destPassword = std::string(), bool ignoreErrors = false, bool overwrite = false,
                 bool copyIndexes = true, int32_t minPercent = 0, int32_t maxPercent = 100);
  // Creates this (closed) table with source's structure and copies every
  // record into it, with the import events, ignoring and logging failures.
  // A source of the engine gives its extended definitions; any other its
  // field definitions and the indexes of sourceIndexDefs, where an index
  // without fields is skipped with "Cannot import index '%s'. Index type is
  // not supported, index skipped" in log and the first unnamed one is named
  // "idxPrimaryKey". True when log is unchanged.
  bool ImportTable(qv::DataSet& source, std::string& log, const qv::IndexDefs* sourceIndexDefs = nullptr);

  // ---- events of the long operations (the user's, else the wait window)
  TableNotifyEvent BeforeCopy, AfterCopy, BeforeImport, AfterImport, BeforeRestructure, AfterRestructure;
  ProgressEvent OnCopyProgress, OnImportProgress, OnRestructureProgress;

  // ---- overridden dataset operations
  void DataEvent(qv::TDataEvent event, intptr_t info) override;
  void DefChanged(void* sender) override;
  qv::DataSource* GetDataSource() override;
  void InitFieldDefs() override;
  void UpdateIndexDefs() override;

protected:
  std::unique_ptr<TVLMLocalCursor> CreateHandle() override;
  void PrepareCursor() override;
  void DoOnNewRecord() override;

  // The progress-event triple of op: the user's events when assigned, else
  // (unless the database is silent or the table temporary) the wait window
  // with the operation's caption. Progress answers whether to go on.
  void DoBeforeOperation(LongOperation op);
  bool DoOperationProgress(LongOperation op, int32_t percent);
  void DoAfterOperation(LongOperation op);

private:
  std::unique_ptr<TVLMLocalCursor> CreateCursor();
  // "Missing TableName property" for a blank name.
  void CheckTableName() const;
  void SetIndex(std::string_view value, bool fieldsIndex);
  std::string GetIndexName(std::string_view names, bool fieldsIndex);
  // The index definitions from cursor (refreshed from its table).
  void ReadIndexDefs(TVLMLocalCursor& cursor);
  // Field definitions and the extended ones from cursor's.
  void ReadFieldDefs(TVLMLocalCursor& cursor);
  void AddMissingFieldDefs();
  // The master range.
  void CheckMasterRange();
  void SetLinkRanges(const std::vector<qv::Field*>& masterFields);
  bool ApplyRange();
  qv::Field* GetIndexField(int32_t index);
  void MasterChanged();
  void MasterDisabled();
  // move runs under the range lock (a type-1 table lock) when it is had.
  void UnderRangeLock(const std::function<void()>& move);
  // Runs operation on a cursor of its own under flag 3 (the structural
  // operations).
  template <class Fn>
  void WithTableCursor(Fn operation);
  // "Cannot perform '%s' operation on a database in transaction".
  void RefuseInTransaction(const char* operation, int32_t code) const;
  // What the table needs of its database component.
  TVLMLocalSession* EngineSession() const;
  bool DatabaseInTransaction() const;
  bool DatabaseReadOnly() const;
  bool DatabaseMadeBySession() const;
  bool DatabaseDisableTempFiles() const;
  bool DatabaseSilent() const;
  bool TableExistsInDatabase();

  std::string TableName_;
  bool Temporary_ = false;
  std::string IndexName_;
  bool FieldsIndex_ = false;
  bool RepairMode_ = false;
  std::unique_ptr<qv::MasterDataLink> MasterLink_;
  std::unique_ptr<WaitController> WaitForm_;
};

class TVLMAutoincTable;

// What LASTAUTOINC opens: the table tableName of the database databaseName
// in the session sessionName ("MEMORY" when inMemory), as a table component.
std::unique_ptr<TVLMAutoincTable> VLMOpenAutoincTable(const std::string& sessionName, const std::string& databaseName,
                                                      const std::string& tableName, bool inMemory);
