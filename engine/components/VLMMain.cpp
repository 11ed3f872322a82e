#include "engine/components/VLMMain.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMLexer.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "engine/storage/VLMMemEngine.h"
#include "engine/storage/VLMTempEngine.h"

namespace {

constexpr std::string_view kEngineErrorPrefix = "Velmoran Engine Error # ";

// Texts of the cursor result codes -1 .. -13 (index = -code - 1); -8 carries
// the cursor's own text instead.
constexpr std::array<std::string_view, 13> kResultTexts = {
    "Error adding record",
    "Error updating record",
    "Error deleting record",
    "Error updating record - record was modified by other process",
    "Error deleting record - record was modified by other process",
    "Error updating record - record was deleted by other process",
    "Error deleting record - record was deleted by other process",
    "",
    "Cannot update record in temporary mode",
    "Cannot delete record in temporary mode",
    "Cannot cancel operation in temporary mode",
    "Record is locked",
    "Table is locked",
};

}  // namespace

std::string VLMEngineErrorText(int32_t code, std::string_view text) {
  if (code == -8) return std::string(text);
  if (code >= -13 && code <= -1) return std::string(kResultTexts[static_cast<size_t>(-code - 1)]);
  return std::string();
}

EVLMEngineError::EVLMEngineError(int32_t code, std::string_view text)
    : qv::EDatabaseError(std::string()), ErrorCode(code), ErrorText(VLMEngineErrorText(code, text)) {
  SetMessage(std::string(kEngineErrorPrefix) + std::to_string(code) + " " + ErrorText);
}

void VLMRaiseEngineError(int32_t code, std::string_view text) { throw EVLMEngineError(code, text); }

void VLMCheckEngineError(int32_t code, std::string_view text) {
  if (code != 0) VLMRaiseEngineError(code, text);
}

// ------------------------------------------------------------------ runtime

namespace {

struct RuntimeState {
  RuntimeState();
  ~RuntimeState();
  RuntimeState(const RuntimeState&) = delete;
  RuntimeState& operator=(const RuntimeState&) = delete;

  bool Started = false;
  std::unique_ptr<TVLMSessionList> Sessions;
  TVLMMemoryDatabaseData* Memory = nullptr;
  TVLMTemporaryDatabaseData* Temporary = nullptr;
  std::vector<std::unique_ptr<std::u16string>> WideStrings;
  bool DesignMode = false;
  bool EngineInitialized = false;
  // The handle VLMInitEngine made, and the current one (not owned).
  std::unique_ptr<TVLMSessionComponentManager> DefaultManager;
  TVLMSessionComponentManager* CurrentManager = nullptr;
};

RuntimeState& Runtime() {
  static RuntimeState state;
  return state;
}

std::mutex& RuntimeLock() {
  static std::mutex lock;
  return lock;
}

RuntimeState::RuntimeState() {
  // What the teardown below uses is made before the state, so that it is
  // destroyed after it at the process's end.
  (void)VLMSessionLock();
  VLMInstallRecordWalkerFactory(VLMInstallRecordWalkerFactory({}));
}

RuntimeState::~RuntimeState() {
  // A process that ends without Shutdown: the runtime is taken down as
  // Shutdown takes it, its sessions first (their teardown releases the
  // engine handle and disconnects the databases), not member by member.
  try {
    TVLMComponentRuntime::Shutdown();
  } catch (...) {
    // The process is ending; what could not be closed goes with it.
  }
}

// Walks a table's records for an index fill through a local cursor attached
// to the table, in the session of the cursor that asked for the fill.
class LocalCursorWalker : public TVLMRecordWalker {
public:
  LocalCursorWalker(TVLMTableData& table, TVLMCursor* asking) {
    Cursor_.Session = asking != nullptr ? asking->Session : nullptr;
    Cursor_.TableName = table.TableName;
    Cursor_.AttachTableData(&table);
    Cursor_.RecordBuffer = Cursor_.AllocRecordBuffer();
  }
  ~LocalCursorWalker() override { Cursor_.FreeRecordBuffer(Cursor_.RecordBuffer); }

  bool NextRecord(TVLMRecordID& recordID, const uint8_t*& recordBuffer) override {
    if (Cursor_.GetRecord(1) != kVLMNavOK) return false;
    recordID = Cursor_.Position.RecordID;
    recordBuffer = Cursor_.RecordBuffer;
    return true;
  }

private:
  TVLMLocalCursor Cursor_;
};

std::atomic<TVLMSubqueryFactory> SubqueryFactory{nullptr};

// The parser's subquery hook: the SQL engine's factory once it is set.
std::unique_ptr<TVLMSubquery> CreateSubquery(TVLMLexer& lexer, TVLMQueryContext* queryContext) {
  const TVLMSubqueryFactory factory = SubqueryFactory.load(std::memory_order_acquire);
  if (factory != nullptr) return factory(lexer, queryContext);
  TToken token;
  lexer.GetCurrentToken(token);
  throw EVLMException(20760, "Subquery outside an SQL statement at line %d, column %d", {token.Line, token.Column});
}

// The engine core's expression services with the two hooks from above the
// core: LASTAUTOINC's table opener and the SQL engine's subquery factory;
// the services that were installed before them.
TVLMExpressionServices EngineServices;
const TVLMExpressionServices* ServicesBefore = nullptr;

void InstallExpressionServices() {
  const TVLMExpressionServices* current = VLMGetExpressionServices();
  // Stand-ins a test installed stay as they are.
  if (current != nullptr && current != &VLMExpressionModuleServices()) return;
  EngineServices = VLMExpressionModuleServices();
  EngineServices.OpenAutoincTable = &VLMOpenAutoincTable;
  EngineServices.CreateSubquery = &CreateSubquery;
  ServicesBefore = VLMInstallExpressionServices(&EngineServices);
}

void RemoveExpressionServices() {
  if (VLMGetExpressionServices() != &EngineServices) return;
  // Without services before, the module's own: the database data freed after
  // this still free the expressions of their field defaults through them.
  VLMInstallExpressionServices(ServicesBefore != nullptr ? ServicesBefore : &VLMExpressionModuleServices());
  ServicesBefore = nullptr;
}

TVLMBaseSession* FirstSession(TVLMDatabaseData& data) {
  std::lock_guard<qv::RecursiveMutex> guard(data.CriticalSection());
  return data.Sessions.empty() ? nullptr : data.Sessions.front();
}

void ForgetSession(TVLMDatabaseData& data, TVLMBaseSession* session) {
  std::lock_guard<qv::RecursiveMutex> guard(data.CriticalSection());
  std::erase(data.Sessions, session);
}

}  // namespace

void TVLMComponentRuntime::Start() {
  {
    std::lock_guard<std::mutex> guard(RuntimeLock());
    RuntimeState& state = Runtime();
    if (state.Started) return;
    auto memory = std::make_unique<TVLMMemoryDatabaseData>();
    auto temporary = std::make_unique<TVLMTemporaryDatabaseData>();
    VLMOpenDatabaseList().Add(memory.get());
    state.Memory = memory.release();
    VLMOpenDatabaseList().Add(temporary.get());
    state.Temporary = temporary.release();
    state.DesignMode = false;
    VLMInstallRecordWalkerFactory([](TVLMTableData& table, TVLMCursor* cursor) -> std::unique_ptr<TVLMRecordWalker> {
      return std::make_unique<LocalCursorWalker>(table, cursor);
    });
    state.Sessions = std::make_unique<TVLMSessionList>();
    state.Started = true;
  }
  // The session reads the runtime's state as it is made, so the runtime's
  // lock is not held here. Being the first, it is the default session.
  auto* defaultSession = new TVLMSession(nullptr);
  defaultSession->SetSessionName("Default");
  InstallExpressionServices();
}

void TVLMComponentRuntime::Shutdown() {
  TVLMSessionList* sessions = nullptr;
  {
    std::lock_guard<std::mutex> guard(RuntimeLock());
    if (!Runtime().Started) return;
    sessions = Runtime().Sessions.get();
  }
  RemoveExpressionServices();
  // Each session disconnects its databases as it goes; the list stays
  // reachable meanwhile, since their databases look for the default session.
  sessions->FreeAll();
  std::lock_guard<std::mutex> guard(RuntimeLock());
  RuntimeState& state = Runtime();
  state.Sessions.reset();
  VLMInstallRecordWalkerFactory({});
  {
    TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
    std::lock_guard<qv::RecursiveMutex> listGuard(list.Mutex());
    while (list.Count() > 0) {
      TVLMDatabaseData* data = list.Items().front();
      // A session still connected is disconnected first, so that it does
      // not keep a database data that is gone (a disk one may go with it).
      if (TVLMBaseSession* session = FirstSession(*data)) {
        // Its cursors let go of their tables first: none may keep a table
        // of a database data that is about to go.
        try {
          VLMCloseSessionTables(*data, session);
        } catch (...) {
          // Every table was let go all the same.
        }
        try {
          session->SetConnected(false);
        } catch (...) {
          // Shutting down goes on; the session is let go below.
        }
        if (list.Contains(data)) ForgetSession(*data, session);
        continue;
      }
      // Each database data leaves the list as it is destroyed.
      delete data;
    }
  }
  state.Memory = nullptr;
  state.Temporary = nullptr;
  state.WideStrings.clear();
  state.DefaultManager.reset();
  state.CurrentManager = nullptr;
  state.EngineInitialized = false;
  state.Started = false;
}

TVLMSessionList* VLMSessions() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  return Runtime().Sessions.get();
}

TVLMSession* VLMGetDefaultSession() {
  TVLMSessionList* sessions = VLMSessions();
  return sessions != nullptr ? sessions->DefaultSession() : nullptr;
}

bool TVLMComponentRuntime::IsStarted() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  return Runtime().Started;
}

TVLMMemoryDatabaseData* TVLMComponentRuntime::MemoryDatabaseData() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  return Runtime().Memory;
}

TVLMTemporaryDatabaseData* TVLMComponentRuntime::TemporaryDatabaseData() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  return Runtime().Temporary;
}

uint32_t TVLMComponentRuntime::HoldWideString(std::u16string value) {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  RuntimeState& state = Runtime();
  if (!state.Started) throw EVLMException(20551, "Database Engine is not initialized");
  // Record buffers keep the number in four bytes.
  if (state.WideStrings.size() >= UINT32_MAX) throw EVLMException(10803, "Wide-string holders exhausted");
  state.WideStrings.push_back(std::make_unique<std::u16string>(std::move(value)));
  return static_cast<uint32_t>(state.WideStrings.size());
}

std::u16string& TVLMComponentRuntime::HeldWideString(uint32_t holder) {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  RuntimeState& state = Runtime();
  if (!state.Started) throw EVLMException(20551, "Database Engine is not initialized");
  if (holder == 0 || holder > state.WideStrings.size())
    throw EVLMException(10802, "Invalid wide-string holder = %d", {static_cast<int64_t>(holder)});
  return *state.WideStrings[holder - 1];
}

void VLMSetSubqueryFactory(TVLMSubqueryFactory factory) {
  SubqueryFactory.store(factory, std::memory_order_release);
}

bool VLMDesignMode() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  return Runtime().DesignMode;
}

void VLMSetDesignMode(bool value) {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  Runtime().DesignMode = value;
}

void VLMInitEngine() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  RuntimeState& state = Runtime();
  if (state.EngineInitialized) return;
  state.EngineInitialized = true;
  state.DefaultManager = std::make_unique<TVLMSessionComponentManager>();
  state.CurrentManager = state.DefaultManager.get();
}

void VLMDoneEngine() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  RuntimeState& state = Runtime();
  if (!state.EngineInitialized) return;
  state.EngineInitialized = false;
  state.DefaultManager.reset();
  state.CurrentManager = nullptr;
}

bool VLMEngineInitialized() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  return Runtime().EngineInitialized;
}

TVLMSessionComponentManager* VLMGetSessionManager() {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  if (!Runtime().EngineInitialized) throw EVLMException(20007, "Database Engine is not initialized");
  return Runtime().CurrentManager;
}

void VLMSetCurrentSessionManager(TVLMSessionComponentManager* handle) {
  std::lock_guard<std::mutex> guard(RuntimeLock());
  Runtime().CurrentManager = handle;
}

void VLMNewSessionManager(TVLMSessionComponentManager*& handle) { handle = new TVLMSessionComponentManager(); }

void VLMFreeSessionManager(TVLMSessionComponentManager*& handle) {
  {
    std::lock_guard<std::mutex> guard(RuntimeLock());
    RuntimeState& state = Runtime();
    if (state.CurrentManager == handle) state.CurrentManager = nullptr;
    // The default handle stays VLMDoneEngine's to free.
    if (state.DefaultManager.get() == handle) handle = nullptr;
  }
  delete handle;
  handle = nullptr;
}
