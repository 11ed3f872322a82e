// VLMMain, database part: the database component, its connection through a
// local session, the files it creates and deletes, transactions, and the
// questions it asks the user.
#include <algorithm>
#include <charconv>
#include <mutex>

#include "engine/components/VLMDlgWait.h"
#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/components/VLMPasswordDialog.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineCheck.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"

namespace {

constexpr std::string_view kDatabaseOpen = "Cannot perform this operation on an open database";
constexpr std::string_view kDatabaseClosed = "Cannot perform this operation on a closed database";

// The two codes of a wrong password: the first connection's check of the
// file (30445) and the check against a file already open (20298).
bool IsWrongPassword(const EVLMException& e) { return e.NativeError == 30445 || e.NativeError == 20298; }

// The session's lock for a scope.
class SessionLockScope {
public:
  explicit SessionLockScope(TVLMSession& session) : Session_(session) { Session_.Lock(); }
  ~SessionLockScope() { Session_.Unlock(); }
  SessionLockScope(const SessionLockScope&) = delete;
  SessionLockScope& operator=(const SessionLockScope&) = delete;

private:
  TVLMSession& Session_;
};

}  // namespace

TVLMDatabase::TVLMDatabase(qv::Component* owner) : qv::Component(owner) {
  TVLMSession* session = dynamic_cast<TVLMSession*>(owner);
  if (session == nullptr) session = VLMAutoNamingSession(owner);
  if (session == nullptr) session = VLMGetDefaultSession();
  if (session == nullptr) return;
  Session_ = session;
  SessionName_ = session->SessionName();
  session->AddDatabase(this);
}

TVLMDatabase::~TVLMDatabase() {
  BeingDestroyed_ = true;
  try {
    DoDisconnect();
  } catch (...) {
    // A destructor does not raise; the local session is freed either way.
  }
  if (Session_ != nullptr) Session_->RemoveDatabase(this);
}

// ---------------------------------------------------------------- properties

void TVLMDatabase::SetConnected(bool value) {
  if (value == Connected()) return;
  if (value)
    DoConnect();
  else
    DoDisconnect();
}

std::string TVLMDatabase::JournalFileName(const std::string& fileName) { return VLMJournalFileName(fileName); }

std::string TVLMDatabase::CurrentVersion() {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, kVLMFormatVersion, std::chars_format::fixed, 2);
  // Appended rather than concatenated: gcc 12's release build warns
  // falsely about " " + std::string.
  std::string text(" ");
  text.append(digits, result.ptr);
  return text;
}

void TVLMDatabase::SetDatabaseFileName(std::string_view value) {
  if (value == DatabaseFileName_) return;
  SetConnected(false);
  DatabaseFileName_ = std::string(value);
}

void TVLMDatabase::SetDatabaseName(std::string_view value) {
  if (value == DatabaseName_) return;
  CheckInactive();
  CheckDatabaseName(value);
  DatabaseName_ = std::string(value);
}

void TVLMDatabase::SetKeepConnection(bool value) {
  if (value == KeepConnection_) return;
  KeepConnection_ = value;
  if (!value && RefCount_ == 0) DoDisconnect();
}

void TVLMDatabase::SetSessionName(std::string_view value) {
  CheckInactive();
  if (value == SessionName_) return;
  SessionName_ = std::string(value);
  if (!BeingDestroyed_) RegisterWithSession(false);
}

bool TVLMDatabase::InTransaction() const { return Handle_ != nullptr && Handle_->InTransaction; }

qv::DataSet* TVLMDatabase::DataSets(int32_t index) const {
  if (index < 0 || index >= DataSetCount())
    throw qv::EListError("List index out of bounds (" + std::to_string(index) + ")");
  return DataSets_[static_cast<size_t>(index)].DataSet;
}

void TVLMDatabase::AddDataSet(qv::DataSet* dataSet, bool isQuery) { DataSets_.push_back({dataSet, isQuery}); }

void TVLMDatabase::RemoveDataSet(qv::DataSet* dataSet) {
  std::erase_if(DataSets_, [dataSet](const DataSetEntry& entry) { return entry.DataSet == dataSet; });
}

void TVLMDatabase::Loaded() {
  qv::Component::Loaded();
  RegisterWithSession(false);
}

// -------------------------------------------------------------------- checks

void TVLMDatabase::CheckDatabaseNameMissing() const {
  if (DatabaseName_.empty() && !Temporary_) qv::DatabaseError("Database name missing", this);
}

void TVLMDatabase::CheckInactive() {
  if (!Connected()) return;
  // At design time a change of name simply closes the database.
  if (VLMDesignMode())
    DoDisconnect();
  else
    qv::DatabaseError(kDatabaseOpen, this);
}

void TVLMDatabase::CheckOpen() const {
  if (!Connected()) qv::DatabaseError(kDatabaseClosed, this);
}

void TVLMDatabase::CheckDatabaseName(std::string_view name) {
  if (name.empty() || Session_ == nullptr) return;
  SessionLockScope lock(*Session_);
  for (int32_t i = 0; i < Session_->DatabaseCount(); ++i) {
    TVLMDatabase* other = Session_->Databases(i);
    if (other == this || !qv::SameName(other->DatabaseName_, name)) continue;
    if (HandleShared && other->HandleShared) return;
    if (!other->Temporary_ || other->RefCount_ != 0)
      qv::DatabaseErrorFmt("Duplicate database name '%s'", {std::string(name)}, this);
    // A database the session made for datasets that no longer use it.
    delete other;
    return;
  }
}

void TVLMDatabase::RegisterWithSession(bool mustExist) {
  TVLMSessionList* list = VLMSessions();
  if (list == nullptr) {
    if (mustExist) throw EVLMException(20571, "Database Engine is not initialized");
    return;
  }
  TVLMSession* session = mustExist ? list->GetSession(SessionName_) : list->FindSession(SessionName_);
  if (session != Session_) {
    if (Session_ != nullptr) Session_->RemoveDatabase(this);
    Session_ = session;
    if (session != nullptr) {
      session->AddDatabase(this);
      CheckDatabaseName(DatabaseName_);
    }
  }
  if (mustExist) session->SetActive(true);
}

void TVLMDatabase::SessionGone(bool defaultSession) {
  try {
    DoDisconnect();
  } catch (...) {
    // The session is going; the local session was freed all the same.
  }
  Session_ = nullptr;
  if (defaultSession) return;
  SessionName_.clear();
  try {
    RegisterWithSession(false);
  } catch (const qv::Exception&) {
    // A name the default session has already: the database joins it all
    // the same and is refused when it connects.
  }
}

// ---------------------------------------------------------------- connecting

std::unique_ptr<TVLMLocalSession> TVLMDatabase::CreateLocalSession() const {
  auto local = std::make_unique<TVLMLocalSession>();
  local->DatabaseName = DatabaseName_;
  local->DatabaseFileName = ConnectFileName();
  local->PasswordRecord = {Password, CipherId};
  local->PageSize = PageSize;
  local->ExtentSize = ExtentSize;
  local->MaxConnections = MaxConnections;
  local->ReadOnly = ReadOnly;
  local->Exclusive = Exclusive;
  local->MultiUser = MultiUser;
  if (MultiUser) local->MultiUserSessionName = SessionName_;
  return local;
}

void TVLMDatabase::DoConnect() {
  if (Connected()) return;
  CheckDatabaseNameMissing();
  RegisterWithSession(true);
  if (HandleShared) {
    if (TVLMLocalSession* shared = Session_->FindDatabaseHandle(DatabaseName_)) {
      Handle_ = shared;
      SharedHandle_ = true;
      return;
    }
  }
  SessionLockScope lock(*Session_);
  if ((!Temporary_ || !DatabaseFileName_.empty()) && !qv::FileExists(ConnectFileName()))
    qv::DatabaseErrorFmt("Database file '%s' does not exist", {DatabaseFileName_}, this);
  bool rolledBack = false;
  for (;;) {
    std::unique_ptr<TVLMLocalSession> local = CreateLocalSession();
    try {
      local->SetConnected(true);
      OwnHandle_ = std::move(local);
      Handle_ = OwnHandle_.get();
      // Taken before a repair connects anew (its rebuild rolls nothing back
      // that this open did not).
      rolledBack = rolledBack || Handle_->RolledBackOnOpen;
      RepairOnConnect();
      FinishRestructures();
      break;
    } catch (const EVLMException& e) {
      // The local session goes before anything else happens, so that no
      // database data keeps it while the user is asked (its destructor
      // disconnects it).
      local.reset();
      Handle_ = nullptr;
      OwnHandle_.reset();
      if (IsWrongPassword(e) && AskPassword()) continue;
      throw;
    } catch (...) {
      local.reset();
      Handle_ = nullptr;
      OwnHandle_.reset();
      throw;
    }
  }
  if (!VLMDesignMode()) ReadOnly = Handle_->ReadOnly;
  CipherId = Handle_->PasswordRecord.CipherId;
  if (rolledBack && OnCommitRolledBack) OnCommitRolledBack(*this);
  PageSize = Handle_->PageSize;
  ExtentSize = Handle_->ExtentSize;
  MaxConnections = Handle_->MaxConnections;
}

void TVLMDatabase::CloseDataSets() {
  // Each dataset leaves the list before it is closed, so a dataset that does
  // not remove itself is closed once and never again.
  auto take = [this](std::vector<DataSetEntry>::iterator it) {
    qv::DataSet* dataSet = it->DataSet;
    const bool query = it->IsQuery;
    DataSets_.erase(it);
    // A query also lets go of its statements and of its attachment, which
    // would otherwise outlive the connection (and the component).
    if (auto* engineDataSet = query ? dynamic_cast<TVLMDataSet*>(dataSet) : nullptr)
      engineDataSet->Disconnect();
    else
      dataSet->Close();
  };
  for (;;) {
    auto query = std::find_if(DataSets_.begin(), DataSets_.end(), [](const DataSetEntry& e) { return e.IsQuery; });
    if (query == DataSets_.end()) break;
    take(query);
  }
  while (!DataSets_.empty()) take(DataSets_.end() - 1);
}

void TVLMDatabase::DoDisconnect() {
  if (!Connected() || Disconnecting_) return;
  Disconnecting_ = true;
  auto done = qv::ScopeExit([&] { Disconnecting_ = false; });
  CloseDataSets();
  if (SharedHandle_) {
    SharedHandle_ = false;
    Handle_ = nullptr;
    RefCount_ = 0;
    return;
  }
  // Components that borrowed the local session give it back before it goes.
  if (Session_ != nullptr)
    for (int32_t i = Session_->DatabaseCount(); i-- > 0;) {
      if (i >= Session_->DatabaseCount()) continue;
      TVLMDatabase* other = Session_->Databases(i);
      if (other != this && other->SharedHandle_ && other->Handle_ == Handle_) other->DoDisconnect();
    }
  auto release = qv::ScopeExit([&] {
    Handle_ = nullptr;
    OwnHandle_.reset();
    RefCount_ = 0;
  });
  OwnHandle_->SetConnected(false);
}

// ------------------------------------------------------------ files, tables

bool TVLMDatabase::Exists() const { return qv::FileExists(DatabaseFileName_); }

void TVLMDatabase::CreateDatabase() {
  CheckDatabaseNameMissing();
  RegisterWithSession(true);
  if (Connected()) qv::DatabaseError(kDatabaseOpen, this);
  SessionLockScope lock(*Session_);
  CreateLocalSession()->CreateDatabase();
}

bool TVLMDatabase::DeleteDatabase() {
  CheckDatabaseNameMissing();
  RegisterWithSession(true);
  if (Connected()) qv::DatabaseError(kDatabaseOpen, this);
  if (VLMIsDatabaseFileInUse(DatabaseFileName_)) return false;
  return qv::DeleteFile(DatabaseFileName_);
}

void TVLMDatabase::StartTransaction() {
  CheckOpen();
  if (Handle_->InTransaction) qv::DatabaseError("Database is already within a transaction", this);
  Handle_->StartTransaction();
}

void TVLMDatabase::Commit(bool flushBuffers) {
  CheckOpen();
  Handle_->Commit(flushBuffers);
}

void TVLMDatabase::Rollback() {
  CheckOpen();
  Handle_->Rollback();
}

bool TVLMDatabase::LastCommitChanges(TVLMFileChanges& changes) const {
  return Handle_ != nullptr && Handle_->LastCommitChanges(changes);
}

bool TVLMDatabase::StartChangeChain() { return Handle_ != nullptr && Handle_->StartChangeChain(); }

// -------------------------------------------------------- whole-file check

std::vector<std::string> TVLMDatabase::CheckDatabaseFile(const std::string& fileName, const std::string& password,
                                                         bool firstOnly) {
  // The cipher comes from the file's own header.
  return VLMCheckDatabaseFile(fileName, TVLMPasswordRecord{password, 0}, firstOnly);
}

std::vector<std::string> TVLMDatabase::ListFileDamage() {
  CheckOpen();
  if (dynamic_cast<TVLMDiskDatabaseData*>(Handle_->DatabaseData) == nullptr)
    throw EVLMException(10901, "Database '%s' is not kept in a database file and has no file to check",
                        {DatabaseName_});
  return VLMCheckDatabaseFile(ConnectFileName(), Handle_->PasswordRecord, false);
}

void TVLMDatabase::CheckWholeFile() {
  CheckOpen();
  if (dynamic_cast<TVLMDiskDatabaseData*>(Handle_->DatabaseData) == nullptr)
    throw EVLMException(10901, "Database '%s' is not kept in a database file and has no file to check",
                        {DatabaseName_});
  const std::vector<std::string> problems = VLMCheckDatabaseFile(ConnectFileName(), Handle_->PasswordRecord, true);
  if (!problems.empty())
    throw EVLMException(10900, "Database file '%s' is damaged: %s", {DatabaseFileName_, problems.front()});
}

void TVLMDatabase::GetTableNames(qv::StringList& list) {
  const bool wasClosed = !Connected();
  try {
    DoConnect();
    Handle_->GetTableNames(list);
  } catch (const qv::Exception&) {
    // The names are a convenience: a database that cannot be read has none.
  }
  if (!wasClosed) return;
  try {
    DoDisconnect();
  } catch (const qv::Exception&) {
    // As above.
  }
}

bool TVLMDatabase::TableExists(std::string_view tableName) {
  DoConnect();
  return Handle_->TableExists(std::string(tableName));
}

// ------------------------------------------------- questions and wait window

EngineUi& TVLMDatabase::Ui() const { return SilentMode ? VLMSilentEngineUi() : VLMEngineUi(); }

bool TVLMDatabase::AskPassword() {
  if (OnPassword) {
    bool continueConnect = false;
    OnPassword(*this, continueConnect);
    return continueConnect;
  }
  if (SilentMode) return false;
  return VLMPasswordDialog("", Password);
}

bool TVLMDatabase::AskRepair() {
  if (Repairing_) return false;
  if (OnNeedRepair) {
    bool repair = false;
    OnNeedRepair(*this, repair);
    return repair;
  }
  return Ui().Confirm("Database file was not correctly closed last time. Do you want to repair it?");
}

bool TVLMDatabase::AskConvert() {
  if (Repairing_) return false;
  Ui().Information(
      "Database file you are opening is of old format. It will be converted to the current Velmoran Database "
      "format now. It is recommended to make a backup of the database before continuing.");
  return true;
}

void TVLMDatabase::DoBeforeRepair() {
  if (BeforeRepair) {
    BeforeRepair(*this);
    return;
  }
  if (SilentMode) return;
  WaitForm_ = std::make_unique<WaitController>(VLMEngineUi());
  WaitForm_->Start("Repairing Database...");
  WaitForm_->Progress(0);
}

bool TVLMDatabase::DoRepairProgress(int32_t percent) {
  if (OnRepairProgress) {
    bool continueWork = true;
    OnRepairProgress(*this, percent, continueWork);
    return continueWork;
  }
  return WaitForm_ == nullptr || WaitForm_->Progress(percent);
}

void TVLMDatabase::DoAfterRepair() {
  if (AfterRepair) {
    AfterRepair(*this);
    return;
  }
  if (WaitForm_ == nullptr) return;
  WaitForm_->Finish();
  WaitForm_.reset();
}
