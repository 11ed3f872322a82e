// The components' runtime, the registry of open databases and the local
// session on the two built-in databases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMMemEngine.h"
#include "platform/host/StringList.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace {

using local_test::Connect;
using local_test::LocalTable;
using local_test::RuntimeScope;
using qv::test::RaisedCode;

std::vector<std::string> ListedNames() {
  std::lock_guard<qv::RecursiveMutex> guard(VLMOpenDatabaseList().Mutex());
  std::vector<std::string> names;
  for (TVLMDatabaseData* data : VLMOpenDatabaseList().Items()) names.push_back(data->DatabaseFileName);
  return names;
}

TEST(LocalRuntime, StartListsTheBuiltInDatabasesAndShutdownFreesEveryDatabaseLeft) {
  ASSERT_TRUE(ListedNames().empty());
  TVLMComponentRuntime::Start();
  VLMSetDesignMode(true);
  TVLMComponentRuntime::Start();  // a second start changes nothing
  EXPECT_EQ(ListedNames(), (std::vector<std::string>{"MEMORY", "TEMP"}));
  EXPECT_TRUE(VLMDesignMode());
  EXPECT_NE(TVLMComponentRuntime::MemoryDatabaseData(), nullptr);
  EXPECT_EQ(TVLMComponentRuntime::HeldWideString(TVLMComponentRuntime::HoldWideString(u"Wide")), u"Wide");
  // A database data a session left behind goes too.
  auto* stray = new TVLMMemoryDatabaseData();
  stray->DatabaseFileName = "STRAY";
  VLMOpenDatabaseList().Add(stray);
  // A session still connected is let go first.
  auto connected = Connect("MEMORY");
  TVLMComponentRuntime::Shutdown();
  EXPECT_TRUE(ListedNames().empty());
  EXPECT_FALSE(connected->GetConnected());
  EXPECT_EQ(TVLMComponentRuntime::MemoryDatabaseData(), nullptr);
  EXPECT_EQ(RaisedCode([] { TVLMComponentRuntime::HoldWideString(u"x"); }), 20551);
  // Every start begins outside design mode.
  TVLMComponentRuntime::Start();
  EXPECT_FALSE(VLMDesignMode());
  TVLMComponentRuntime::Shutdown();
  TVLMComponentRuntime::Shutdown();
  EXPECT_FALSE(TVLMComponentRuntime::IsStarted());
}

TEST(LocalRuntime, TheEngineHandleIsThereOnlyWhileTheEngineIsInitialised) {
  RuntimeScope runtime;
  EXPECT_EQ(RaisedCode([] { VLMGetSessionManager(); }), 20007);
  VLMInitEngine();
  TVLMSessionComponentManager* initial = VLMGetSessionManager();
  ASSERT_NE(initial, nullptr);
  TVLMSessionComponentManager* own = nullptr;
  VLMNewSessionManager(own);
  VLMSetCurrentSessionManager(own);
  EXPECT_EQ(VLMGetSessionManager(), own);
  VLMFreeSessionManager(own);
  EXPECT_EQ(own, nullptr);
  EXPECT_EQ(VLMGetSessionManager(), nullptr);
  VLMDoneEngine();
  EXPECT_FALSE(VLMEngineInitialized());
  EXPECT_EQ(RaisedCode([] { VLMGetSessionManager(); }), 20007);
}

TEST(LocalSession, BuiltInDatabasesAreSharedAndNeverFreedByADisconnect) {
  EXPECT_EQ(RaisedCode([] { Connect("MEMORY"); }), 20550);  // the runtime is down
  RuntimeScope runtime;
  for (const char* name : {"MEMORY", "TEMP", "memory"}) {
    SCOPED_TRACE(name);
    auto first = Connect(name);
    auto second = Connect(name);
    ASSERT_TRUE(first->GetConnected());
    EXPECT_EQ(first->DatabaseData, second->DatabaseData);
    EXPECT_EQ(first->SessionID, 0);
    EXPECT_EQ(VLMFindDatabaseData(*first), first->DatabaseData);
    first->SetConnected(false);
    second->SetConnected(false);
    EXPECT_FALSE(first->GetConnected());
    EXPECT_EQ(ListedNames().size(), 2u);
  }
}

TEST(LocalSession, TransactionsAndTableNamesOfAMemorySession) {
  RuntimeScope runtime;
  auto session = Connect("MEMORY");
  EXPECT_EQ(RaisedCode([&] { session->Commit(false); }), 20229);
  EXPECT_EQ(RaisedCode([&] { session->Rollback(); }), 20229);
  session->StartTransaction();
  EXPECT_TRUE(session->InTransaction);
  session->Commit(true);
  EXPECT_FALSE(session->InTransaction);
  EXPECT_EQ(RaisedCode([&] { session->CreateDatabase(); }), 20092);
  {
    LocalTable log(*session, "Log");
    log.Create({{"Call", dtString, 10}});
  }
  // A session that is not connected reads the names without connecting.
  TVLMLocalSession reader;
  reader.DatabaseName = "MEMORY";
  qv::StringList names;
  reader.GetTableNames(names);
  EXPECT_EQ(names.Count(), 1);
  EXPECT_TRUE(reader.TableExists("LOG"));
  EXPECT_FALSE(reader.TableExists("Other"));
  EXPECT_FALSE(reader.GetConnected());
}

}  // namespace
