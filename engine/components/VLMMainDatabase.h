// The database component (TVLMDatabase): names one database file and opens
// it through a local session (TVLMLocalSession) of its own, or borrows
// another component's (HandleShared); it keeps the list of datasets that use
// it, creates and deletes files, runs transactions, and repairs and rebuilds
// a damaged file (VLMMainRepair.cpp).
//
// States of a database component:
//
//   closed --DoConnect (own local session, or a borrowed one)--> open
//   open --DoDisconnect: queries closed, then the other datasets last to
//          first; a borrowed local session is given back, an own one is
//          disconnected and freed (components borrowing it first)--> closed
//
// User interface: a component's own events (OnPassword, OnNeedRepair, the
// repair events) decide first; a component in SilentMode asks nobody and
// shows nothing; otherwise the installed EngineUi asks the user.
//
// Refusals raise qv::EDatabaseError (DatabaseError, with the component's name
// in front when it has one); an unknown session name raises EVLMException
// 20002; engine failures arrive as EVLMException. Codes of this part: 20571
// database registered while the runtime is down, 10900 a file that fails
// the whole-file check, 10901 that check on a database that is no file.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/components/VLMMainSessions.h"
#include "platform/host/Component.h"

class EngineUi;
class TVLMLocalSession;
class WaitController;

namespace qv {
class DataSet;
class StringList;
}  // namespace qv

// What the last commit of a database changed in its file, in bytes of the
// file, for a caller that keeps a byte-identical copy of it (a backup).
// The copy may take these changes instead of a whole comparison only when
// it holds StampBefore at StampPosition, has the length SizeBefore, and
// Complete is true; the bytes come from the file itself.
struct TVLMFileChanges {
  struct Range {
    int64_t Position = 0;
    int64_t Length = 0;
  };
  // The head before page 0 (the header blocks and NextObjectID, which
  // change in place between commits too), then every page the commit wrote
  // or freed and every page written in place since the commit before it:
  // ascending, adjacent pages in one range.
  std::vector<Range> Ranges;
  // Block 1 (commit counter, page count) before and after the commit.
  int64_t StampPosition = 0;
  std::string StampBefore;
  std::string StampAfter;
  // From TVLMCommitChanges: the file changed nowhere else since the
  // connection's previous commit ended, when it was SizeBefore long.
  bool Complete = false;
  int64_t SizeBefore = -1;
};

// The component through which a program names and opens one database file.
class TVLMDatabase : public qv::Component {
public:
  using PasswordEvent = std::function<void(TVLMDatabase& sender, bool& continueConnect)>;
  using NotifyEvent = std::function<void(TVLMDatabase& sender)>;
  using ProgressEvent = std::function<void(TVLMDatabase& sender, int32_t percent, bool& continueWork)>;
  using NeedRepairEvent = std::function<void(TVLMDatabase& sender, bool& repair)>;
  using RepairDoneEvent = std::function<void(TVLMDatabase& sender, bool replaced)>;

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
  // The journal file the engine keeps beside the database file fileName
  // while it commits; a copy of the file put in its place goes without it.
  static std::string JournalFileName(const std::string& fileName);
  // The user's file, also while a repair rebuilds it from a scratch copy.
  const std::string& DatabaseFileName() const { return DatabaseFileName_; }
  // A new file name disconnects first.
  void SetDatabaseFileName(std::string_view value);
  // The file a connect opens: DatabaseFileName, except while a repair runs,
  // when the rebuild reads the scratch copy of it.
  const std::string& ConnectFileName() const {
    return RepairCopyName_.empty() ? DatabaseFileName_ : RepairCopyName_;
  }
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
  // Told after a repair the connect made: replaced false when the repair
  // refused or failed and left the file as it was (the connect then goes on
  // with the file unrepaired, as after a no).
  RepairDoneEvent OnRepairDone;
  // Told once a connect succeeded whose open rolled back a commit cut short
  // (a writer stopped inside it) from its journal: the file holds its last
  // finished commit, though the pages the cut commit took and the file's
  // length may differ in bytes from a copy of the file taken then.
  NotifyEvent OnCommitRolledBack;
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
  // exist"); a local session with this component's settings connects, the
  // repair question is asked (RepairOnConnect) and restructures cut short
  // are finished (FinishRestructures); OnCommitRolledBack is told when the
  // open rolled a cut commit back. A wrong password (30445, or 20298
  // from a file already open) frees it and asks AskPassword: yes tries again
  // with the new Password, no passes the error on. Then ReadOnly (outside
  // design mode), CipherId, PageSize, ExtentSize and MaxConnections are the
  // open file's. A failed connect leaves the component closed and no local
  // session registered anywhere.
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
  // What the last commit of the open database changed in its file (for a
  // caller that keeps a copy of the file in step with it, such as a
  // backup): false, with changes untouched, while the component is closed,
  // for a database that is no file, and before a commit of this open wrote.
  bool LastCommitChanges(TVLMFileChanges& changes) const;
  // Starts the chain of changes at the file as it stands, for a caller that
  // brings its copy of the file up to date now: the next commit's changes
  // are then Complete. False while closed, for a database that is no file,
  // and for a file this component does not write alone.
  bool StartChangeChain();

  // ---- the whole-file check (engine/storage/VLMDiskEngineCheck.h) ----
  //
  // Every page of a database file read once and checked against the
  // structure that owns it and the free-space maps: header, system
  // directory, table list, sessions and lock files, each table's
  // definitions, counters, record pages and records, BLOB pages and
  // values, every index listing every record once, maps and free pages,
  // NextObjectID above every object ID. The file is opened anew,
  // read-only: nothing is written, rolled back or asked, and it reads one
  // committed state (the last finished commit, also beside a cut commit's
  // journal) under the database lock, which other connections' commits
  // wait for. Each problem is one line naming the page or structure, what
  // it should be and what it is.

  // Requires a connected database ("Cannot perform this operation on a
  // closed database"); 10901 when it is no database file. The file's
  // committed state is checked; 10900, naming the file and its first
  // problem, when it is not whole.
  void CheckWholeFile();
  // The same checks: every problem, empty when the file is whole.
  std::vector<std::string> ListFileDamage();
  // The problems of the file fileName (at most one with firstOnly), empty
  // when it is whole. A file the connect would call damaged (it needs
  // repair, its header cannot be read) gives that as its first problem; a
  // wrong password raises 30445, a file that cannot be opened 30364.
  static std::vector<std::string> CheckDatabaseFile(const std::string& fileName, const std::string& password = "",
                                                    bool firstOnly = false);

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
  // written), 10820 when the scratch copy cannot be made. A component set
  // ReadOnly, or a file this process may not write, is refused with 20869
  // before anything is read or written. While the rebuild runs,
  // ConnectFileName names the scratch copy; DatabaseFileName, the events
  // and errorText name the user's file. A table that cannot be opened even
  // for repair is left out, with a line in errorText.
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
  // After RepairOnConnect: every connection to a file it may write (not
  // read-only, not one that needs repair, nor in design mode) finishes the
  // restructures cut short in it (VLMMainRestructure.cpp), whoever else has
  // the file open; what cannot be finished now (a table another connection
  // holds) waits for a later connect, opening its table meanwhile raises
  // 20613, and the connect succeeds.
  void FinishRestructures();
  // Within FinishRestructures: the table copies and imports cut short in
  // the file are undone (VLMMainCopy.cpp); what cannot be undone now waits
  // for a later connect.
  void FinishCopies();
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
  // The scratch copy a running repair rebuilds from; empty otherwise.
  std::string RepairCopyName_;
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
