// The session list and the session component: names, activation, automatic
// names, and the databases a session makes for datasets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "platform/dataset/DatabaseError.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

namespace {

using local_test::RuntimeScope;
using qv::test::MessageOf;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

// A session named name, owned by owner (or by nobody: the runtime frees it).
TVLMSession* NewSession(const std::string& name, qv::Component* owner = nullptr) {
  auto* session = new TVLMSession(owner);
  session->SetSessionName(name);
  return session;
}

TEST(SessionList, TheRuntimeMakesTheDefaultSessionAndFreesEverySessionLeft) {
  EXPECT_EQ(VLMSessions(), nullptr);
  EXPECT_EQ(RaisedCode([] { TVLMSession session; }), 20570);
  {
    RuntimeScope runtime;
    ASSERT_EQ(VLMSessions()->Count(), 1);
    TVLMSession* defaultSession = VLMGetDefaultSession();
    EXPECT_EQ(defaultSession->SessionName(), "Default");
    EXPECT_TRUE(defaultSession->IsDefault());
    EXPECT_FALSE(defaultSession->Active());
    // An empty name means the default session; an unknown one is refused.
    TVLMSession* log = NewSession("Log");
    EXPECT_FALSE(log->IsDefault());
    EXPECT_EQ(VLMSessions()->FindSession(""), defaultSession);
    EXPECT_EQ(VLMSessions()->GetSession("LOG"), log);
    EXPECT_EQ(VLMSessions()->FindSession("x"), nullptr);
    EXPECT_EQ(RaisedMessage([] { VLMSessions()->GetSession("x"); }),
              "Invalid session name 'x' - Native error: 20002");
    // A session left connected to "MEMORY" is freed with its database.
    log->OpenDatabase("MEMORY", nullptr);
    EXPECT_TRUE(log->Active());
    EXPECT_TRUE(defaultSession->Active());
  }
  EXPECT_EQ(VLMSessions(), nullptr);
  EXPECT_EQ(VLMOpenDatabaseList().Count(), 0);
}

// A process that ends without the runtime's Shutdown, its database
// connected (with a query open, or none), is taken down as Shutdown takes
// it: it ends with 0, and the file opens without a repair, every row there.
TEST(SessionList, AProcessEndingWithoutShutdownEndsCleanly) {
  qv::test::ScratchFolder folder;
  const std::string path = folder.File("exit.vlm");
  RuntimeScope runtime;
  TVLMDatabase database;
  database.SetDatabaseName("Exit");
  database.SetDatabaseFileName(path);
  database.SilentMode = true;
  database.MultiUser = true;
  database.CreateDatabase();
  int32_t rows = 0;
  for (const std::string exit : {"exit", "exit SELECT * FROM t"}) {
    SCOPED_TRACE(exit);
    storage_test::Peer peer(path, "", "engine_sqlpeer");
    EXPECT_EQ(peer.Ask("CREATE TABLE IF NOT EXISTS t (a INTEGER)"), "ok 0");
    EXPECT_EQ(peer.Ask("INSERT INTO t VALUES (" + std::to_string(++rows) + ")"), "ok 1");
    peer.Send(exit);
    EXPECT_EQ(peer.Quit(), 0);
  }
  database.SetConnected(true);
  EXPECT_FALSE(database.Handle()->NeedsRepair);
  TVLMTable table;
  table.SetDatabaseName("Exit");
  table.SetTableName("t");
  table.Open();
  EXPECT_EQ(table.RecordCount(), rows);
}

TEST(SessionList, NamesAreUniqueIgnoringCaseAndFixedWhileActive) {
  RuntimeScope runtime;
  TVLMSession* log = NewSession("Log");
  auto* other = new TVLMSession();
  struct Row {
    std::string name;
    std::string refusal;  // empty: accepted
  };
  const Row rows[] = {
      {"log", "Duplicate session name 'log'"},
      {"DEFAULT", "Duplicate session name 'DEFAULT'"},
      {"Contest", ""},
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.refusal.empty())
      other->SetSessionName(row.name);
    else
      EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { other->SetSessionName(row.name); }), row.refusal);
  }
  // Activation needs a name and runs OnStartup each time.
  int32_t startups = 0;
  other->OnStartup = [&](TVLMSession&) { ++startups; };
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { other->SetActive(true); }), "Session name missing");
  EXPECT_FALSE(other->Active());
  other->SetSessionName("Contest");
  other->Lock();  // a lock activates
  other->Unlock();
  EXPECT_TRUE(other->Active());
  EXPECT_TRUE(VLMGetDefaultSession()->Active());  // activated first
  // The current engine handle names the active session that locked last (a
  // lock that activates leaves the default session's current).
  EXPECT_EQ(VLMGetSessionManager()->Session(), VLMGetDefaultSession());
  other->Lock();
  other->Unlock();
  EXPECT_EQ(VLMGetSessionManager()->Session(), other);
  VLMGetDefaultSession()->Lock();
  VLMGetDefaultSession()->Unlock();
  EXPECT_EQ(VLMGetSessionManager()->Session(), VLMGetDefaultSession());
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { other->SetSessionName("Later"); }),
            "Cannot perform this operation on an active session");
  other->SetActive(false);
  other->SetActive(true);
  EXPECT_EQ(startups, 3);  // the refused activation ran it too
  EXPECT_FALSE(log->Active());
  // The default session brings the engine handle up and takes it down.
  other->SetActive(false);
  VLMGetDefaultSession()->SetActive(false);
  EXPECT_EQ(RaisedCode([] { VLMGetSessionManager(); }), 20007);
}

TEST(SessionList, AutomaticNamesNeedTheOnlySessionOfTheirOwner) {
  RuntimeScope runtime;
  qv::Component form;
  auto* first = new TVLMSession(&form);
  first->SetName("Sessions");
  auto* second = new TVLMSession(&form);
  const std::string refusal =
      "Cannot enable AutoSessionName property with more than one session on a form or data-module";
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { first->SetAutoSessionName(true); }), "Sessions: " + refusal);
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { second->SetAutoSessionName(true); }), refusal);
  delete second;

  auto* database = new TVLMDatabase(&form);  // before the session names itself
  first->SetAutoSessionName(true);
  EXPECT_EQ(first->SessionName(), "Sessions_1");
  EXPECT_EQ(database->SessionName(), "Sessions_1");
  EXPECT_EQ(database->Session(), first);
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { new TVLMSession(&form); }),
            "Cannot add a session to the form or data-module while session 'Sessions' has AutoSessionName enabled");
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { first->SetSessionName("Mine"); }),
            "Sessions: Cannot modify SessionName while AutoSessionName is enabled");
  first->SetName("Renamed");
  EXPECT_EQ(first->SessionName(), "Renamed_1");
  EXPECT_EQ(database->SessionName(), "Renamed_1");
  // The number is given back: another owner's session takes it.
  first->SetAutoSessionName(false);
  qv::Component other;
  auto* second2 = new TVLMSession(&other);
  second2->SetName("S");
  second2->SetAutoSessionName(true);
  EXPECT_EQ(second2->SessionName(), "S_1");
}

TEST(SessionList, DatabasesMadeForDatasetsLastAsLongAsKeepConnectionsSays) {
  RuntimeScope runtime;
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep);
    TVLMSession* session = NewSession(keep ? "Keep" : "Drop");
    session->KeepConnections = keep;
    // Two datasets of the owner open "MEMORY" through the session.
    TVLMDatabase* database = session->OpenDatabase("MEMORY", nullptr);
    EXPECT_EQ(session->OpenDatabase("memory", nullptr), database);
    EXPECT_TRUE(database->Temporary() && database->SilentMode && database->Connected());
    EXPECT_EQ(database->Owner(), session);
    EXPECT_EQ(database->RefCount(), 2);
    session->CloseDatabase(database);
    EXPECT_EQ(session->DatabaseCount(), 1);
    session->CloseDatabase(database);  // the last dataset closes
    ASSERT_EQ(session->DatabaseCount(), keep ? 1 : 0);
    EXPECT_TRUE(!keep || (database->Connected() && database->RefCount() == 0));
    // Deactivating the session frees what it made.
    session->SetActive(false);
    EXPECT_EQ(session->DatabaseCount(), 0);
  }
  // A database the session made for a name no component bears opens the
  // file of that name; one it could not connect is freed again.
  TVLMSession* session = NewSession("Failing");
  EXPECT_EQ(MessageOf<qv::EDatabaseError>([&] { session->OpenDatabase("NoSuchFile", nullptr); }),
            "Database file 'NoSuchFile' does not exist");
  EXPECT_EQ(session->DatabaseCount(), 0);
}

}  // namespace
