// The session components: the list of every session of the process, the
// session component (TVLMSession) and the engine handle each active session
// holds.
//
// A session component groups database components (TVLMDatabase,
// VLMMainDatabase.h) and the datasets that use them under one name; a
// dataset finds its session by name (empty: the default session "Default")
// and the session finds, or makes, the database component the dataset names.
//
// Ownership: an owner deletes the components it owns; a database without an
// owner belongs to whoever made it. A session is always made with new and
// never held in a unique_ptr: the runtime's Shutdown deletes every session
// left. A session deletes the databases it made for datasets
// (Temporary()); a database whose session goes is disconnected and joins the
// default session (or none, when the default session goes).
//
// States of a session:
//
//   inactive --SetActive(true) / Lock: OnStartup, the engine handle taken
//             (the default session's is VLMInitEngine's)--> active
//   active --SetActive(false) / destruction: the databases it made freed,
//           the others disconnected (last first), the handle given back
//           --> inactive
//
// Locks: every session operation runs under VLMSessionLock() (a session's
// Lock, which also activates it); the registry's lock and a database's
// critical section are taken inside it, never the other way round.
//
// Refusals raise qv::EDatabaseError (DatabaseError, with the component's name
// in front when it has one); an unknown session name raises EVLMException
// 20002. Codes of this part: 20570 session made while the runtime is down,
// 20007 engine handle asked for while the engine is not initialised.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/Component.h"
#include "platform/host/LockContract.h"

class TVLMDatabase;
class TVLMLocalSession;
class TVLMSession;

// ------------------------------------------------------------ engine handle

// Stands for the engine being up for one session: an active session holds
// one (the default session the one VLMInitEngine makes), and the current
// handle is that of the session that made itself current last (Lock,
// activation). Session() names that session (nullptr for a handle no
// session has taken yet).
class TVLMSessionComponentManager {
public:
  TVLMSession* Session() const { return Session_; }
  void SetSession(TVLMSession* session) { Session_ = session; }

private:
  TVLMSession* Session_ = nullptr;
};

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

// ------------------------------------------------------------------ sessions

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

