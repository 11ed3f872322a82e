// VLMMain, session part: the session list and the session component.
#include <algorithm>
#include <exception>
#include <mutex>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Collation.h"

namespace {

// The list, which must be there: a session is made only while the runtime
// is up.
TVLMSessionList& Sessions(int32_t errorCode) {
  TVLMSessionList* list = VLMSessions();
  if (list == nullptr) throw EVLMException(errorCode, "Database Engine is not initialized");
  return *list;
}

// The databases of the runtime itself, which have no file.
bool IsBuiltInDatabaseName(std::string_view name) {
  const std::string upper = qv::UpperCase1252(name);
  return upper == "MEMORY" || upper == "TEMP";
}

}  // namespace

qv::RecursiveMutex& VLMSessionLock() {
  static qv::RecursiveMutex lock;
  return lock;
}

TVLMSession* VLMAutoNamingSession(const qv::Component* owner) {
  if (owner == nullptr) return nullptr;
  for (int32_t i = 0; i < owner->ComponentCount(); ++i)
    if (auto* session = dynamic_cast<TVLMSession*>(owner->Components(i)))
      if (session->AutoSessionName()) return session;
  return nullptr;
}

// ------------------------------------------------------------ session list

TVLMSessionList::~TVLMSessionList() { FreeAll(); }

void TVLMSessionList::AddSession(TVLMSession* session) {
  std::lock_guard guard(Lock_);
  if (Sessions_.empty()) {
    session->Default_ = true;
    Default_ = session;
  }
  Sessions_.push_back(session);
}

void TVLMSessionList::RemoveSession(TVLMSession* session) {
  std::lock_guard guard(Lock_);
  std::erase(Sessions_, session);
  if (Default_ == session) Default_ = nullptr;
}

TVLMSession* TVLMSessionList::FindSession(std::string_view name) {
  std::lock_guard guard(Lock_);
  if (name.empty()) return Default_;
  for (TVLMSession* session : Sessions_)
    if (qv::SameName(session->SessionName(), name)) return session;
  return nullptr;
}

TVLMSession* TVLMSessionList::GetSession(std::string_view name) {
  TVLMSession* session = FindSession(name);
  if (session == nullptr) throw EVLMException(20002, "Invalid session name '%s'", {std::string(name)});
  return session;
}

TVLMSession* TVLMSessionList::DefaultSession() {
  std::lock_guard guard(Lock_);
  return Default_;
}

int32_t TVLMSessionList::Count() {
  std::lock_guard guard(Lock_);
  return static_cast<int32_t>(Sessions_.size());
}

void TVLMSessionList::FreeAll() {
  // The list's lock is not held while a session goes: its destructor takes
  // VLMSessionLock, which comes first. Each session leaves the list itself.
  for (;;) {
    TVLMSession* last = nullptr;
    {
      std::lock_guard guard(Lock_);
      if (Sessions_.empty()) return;
      last = Sessions_.back();
    }
    delete last;
  }
}

int32_t TVLMSessionList::TakeSessionNumber() {
  QV_REQUIRE_LOCK(VLMSessionLock().HeldByThisThread(), "VLMSessionLock");
  auto free = std::find(SessionNumbers_.begin(), SessionNumbers_.end(), false);
  const auto number = static_cast<int32_t>(free - SessionNumbers_.begin());
  if (free == SessionNumbers_.end())
    SessionNumbers_.push_back(true);
  else
    *free = true;
  return number;
}

void TVLMSessionList::ReleaseSessionNumber(int32_t number) {
  QV_REQUIRE_LOCK(VLMSessionLock().HeldByThisThread(), "VLMSessionLock");
  if (number >= 0 && number < static_cast<int32_t>(SessionNumbers_.size()))
    SessionNumbers_[static_cast<size_t>(number)] = false;
}

// ------------------------------------------------------- session component

TVLMSession::TVLMSession(qv::Component* owner) : qv::Component(CheckAutoSessions(owner, nullptr, false)) {
  Sessions(20570).AddSession(this);
}

TVLMSession::~TVLMSession() {
  try {
    SetActive(false);
  } catch (...) {
    // A destructor does not raise; the databases are let go below.
  }
  std::vector<TVLMDatabase*> databases;
  {
    std::lock_guard guard(VLMSessionLock());
    databases.swap(Databases_);
    if (SessionNumber_ > -1 && VLMSessions() != nullptr) VLMSessions()->ReleaseSessionNumber(SessionNumber_);
  }
  for (TVLMDatabase* database : databases) database->SessionGone(Default_);
  if (TVLMSessionList* list = VLMSessions()) list->RemoveSession(this);
}

qv::Component* TVLMSession::CheckAutoSessions(qv::Component* owner, const TVLMSession* except, bool allSessions) {
  if (owner == nullptr) return owner;
  for (int32_t i = 0; i < owner->ComponentCount(); ++i) {
    auto* other = dynamic_cast<TVLMSession*>(owner->Components(i));
    if (other == nullptr || other == except) continue;
    if (allSessions)
      qv::DatabaseError("Cannot enable AutoSessionName property with more than one session on a form or data-module",
                        except);
    if (other->AutoSessionName_)
      qv::DatabaseErrorFmt(
          "Cannot add a session to the form or data-module while session '%s' has AutoSessionName enabled",
          {other->Name()}, except);
  }
  return owner;
}

void TVLMSession::SetActive(bool value) {
  if (Active() == value) return;
  std::lock_guard guard(VLMSessionLock());
  if (value)
    Activate();
  else
    Deactivate();
}

void TVLMSession::Activate() {
  if (OnStartup) OnStartup(*this);
  if (SessionName_.empty()) qv::DatabaseError("Session name missing", this);
  if (Default_) {
    VLMInitEngine();
    Handle_ = VLMGetSessionManager();
    Handle_->SetSession(this);
    return;
  }
  if (TVLMSession* defaultSession = VLMGetDefaultSession()) defaultSession->SetActive(true);
  VLMNewSessionManager(Handle_);
  Handle_->SetSession(this);
}

void TVLMSession::Deactivate() {
  VLMSetCurrentSessionManager(Handle_);
  // Every database is let go even when one fails; the first failure passes
  // on once the session is inactive. The program's databases go first:
  // their queries let go of the result tables they hold in the temporary
  // databases the session made, which go after them.
  std::exception_ptr failure;
  for (const bool temporary : {false, true})
    for (size_t i = Databases_.size(); i-- > 0;) {
      if (i >= Databases_.size()) continue;  // freeing one may remove others
      TVLMDatabase* database = Databases_[i];
      if (database->Temporary_ != temporary) continue;
      try {
        if (!temporary)
          database->DoDisconnect();
        else if (!database->BeingDestroyed_)
          delete database;
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
  if (Default_) {
    VLMDoneEngine();
  } else {
    VLMFreeSessionManager(Handle_);
    TVLMSession* defaultSession = VLMGetDefaultSession();
    VLMSetCurrentSessionManager(defaultSession != nullptr ? defaultSession->Handle_ : nullptr);
  }
  Handle_ = nullptr;
  if (failure) std::rethrow_exception(failure);
}

void TVLMSession::SetSessionName(std::string_view value) {
  if (AutoSessionName_ && !UpdatingAutoSessionName_)
    qv::DatabaseError("Cannot modify SessionName while AutoSessionName is enabled", this);
  CheckInactive();
  if (!value.empty()) {
    TVLMSession* other = Sessions(20570).FindSession(value);
    if (other != nullptr && other != this)
      qv::DatabaseErrorFmt("Duplicate session name '%s'", {std::string(value)}, this);
  }
  SessionName_ = std::string(value);
}

void TVLMSession::SetAutoSessionName(bool value) {
  if (value == AutoSessionName_) return;
  if (value) {
    CheckInactive();
    CheckAutoSessions(Owner(), this, true);
    {
      std::lock_guard guard(VLMSessionLock());
      SessionNumber_ = Sessions(20570).TakeSessionNumber();
    }
    try {
      UpdateAutoSessionName();
    } catch (...) {
      std::lock_guard guard(VLMSessionLock());
      Sessions(20570).ReleaseSessionNumber(SessionNumber_);
      SessionNumber_ = -1;
      throw;
    }
  } else if (SessionNumber_ > -1) {
    std::lock_guard guard(VLMSessionLock());
    Sessions(20570).ReleaseSessionNumber(SessionNumber_);
    SessionNumber_ = -1;
  }
  AutoSessionName_ = value;
}

void TVLMSession::UpdateAutoSessionName() {
  {
    UpdatingAutoSessionName_ = true;
    auto done = qv::ScopeExit([&] { UpdatingAutoSessionName_ = false; });
    SetSessionName(qv::format("%s_%d", {Name(), SessionNumber_ + 1}));
  }
  ApplySessionName();
}

void TVLMSession::ApplySessionName() {
  qv::Component* owner = Owner();
  if (owner == nullptr) return;
  for (int32_t i = 0; i < owner->ComponentCount(); ++i)
    if (auto* database = dynamic_cast<TVLMDatabase*>(owner->Components(i)))
      if (!qv::SameName(database->SessionName(), SessionName_)) database->SetSessionName(SessionName_);
}

void TVLMSession::Loaded() {
  qv::Component::Loaded();
  if (AutoSessionName_) ApplySessionName();
}

void TVLMSession::SetName(std::string_view newName) {
  qv::Component::SetName(newName);
  if (AutoSessionName_) UpdateAutoSessionName();
}

void TVLMSession::Lock() {
  VLMSessionLock().lock();
  try {
    if (Handle_ == nullptr)
      SetActive(true);
    else
      VLMSetCurrentSessionManager(Handle_);
  } catch (...) {
    VLMSessionLock().unlock();
    throw;
  }
}

void TVLMSession::Unlock() { VLMSessionLock().unlock(); }

void TVLMSession::AddDatabase(TVLMDatabase* database) {
  std::lock_guard guard(VLMSessionLock());
  Databases_.push_back(database);
}

void TVLMSession::RemoveDatabase(TVLMDatabase* database) {
  std::lock_guard guard(VLMSessionLock());
  std::erase(Databases_, database);
}

TVLMDatabase* TVLMSession::Databases(int32_t index) const {
  if (index < 0 || index >= DatabaseCount())
    throw qv::EListError("List index out of bounds (" + std::to_string(index) + ")");
  return Databases_[static_cast<size_t>(index)];
}

TVLMDatabase* TVLMSession::FindDatabase(std::string_view name) {
  Lock();
  auto unlock = qv::ScopeExit([&] { Unlock(); });
  for (TVLMDatabase* database : Databases_)
    if (qv::SameName(database->DatabaseName_, name) && (!database->DatabaseName_.empty() || database->Temporary_))
      return database;
  return nullptr;
}

TVLMDatabase* TVLMSession::DoFindDatabase(std::string_view name, qv::Component* owner) {
  if (owner != nullptr) {
    Lock();
    auto unlock = qv::ScopeExit([&] { Unlock(); });
    for (TVLMDatabase* database : Databases_)
      if (database->Owner() == owner && database->HandleShared && qv::SameName(database->DatabaseName_, name))
        return database;
  }
  return FindDatabase(name);
}

TVLMLocalSession* TVLMSession::FindDatabaseHandle(std::string_view name) {
  std::lock_guard guard(VLMSessionLock());
  for (TVLMDatabase* database : Databases_)
    if (database->Handle_ != nullptr && database->HandleShared && qv::SameName(database->DatabaseName_, name))
      return database->Handle_;
  return nullptr;
}

TVLMDatabase* TVLMSession::OpenDatabase(std::string_view name, qv::Component* owner) {
  Lock();
  auto unlock = qv::ScopeExit([&] { Unlock(); });
  TVLMDatabase* database = DoFindDatabase(name, owner);
  bool made = false;
  if (database == nullptr) {
    // Owned by this session, which frees it again when the call fails.
    database = new TVLMDatabase(this);
    made = true;
    try {
      database->Temporary_ = true;
      database->SetDatabaseName(name);
      // A name that no database component of the session bears names the
      // database file itself.
      if (!IsBuiltInDatabaseName(name)) database->SetDatabaseFileName(name);
      database->SetKeepConnection(KeepConnections);
      database->SilentMode = true;
    } catch (...) {
      delete database;
      throw;
    }
  }
  try {
    database->DoConnect();
  } catch (...) {
    if (made) delete database;
    throw;
  }
  ++database->RefCount_;
  return database;
}

void TVLMSession::CloseDatabase(TVLMDatabase* database) {
  std::lock_guard guard(VLMSessionLock());
  if (database->RefCount_ > 0) --database->RefCount_;
  if (database->RefCount_ != 0 || database->KeepConnection_) return;
  // A database that is already going (or closing its datasets, which is how
  // this call can come) finishes that by itself.
  if (database->Temporary_) {
    if (!database->BeingDestroyed_ && !database->Disconnecting_) delete database;
  } else {
    database->DoDisconnect();
  }
}

void TVLMSession::CheckInactive() const {
  if (Active()) qv::DatabaseError("Cannot perform this operation on an active session", this);
}
