// The repair of a database file while a database component connects: who
// is asked, what a yes leaves behind, and that every refusal, failure or stop
// leaves the original file as it was and no ".tmp" file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/StringList.h"
#include "platform/os/System.h"
#include "tests/engine/components/LocalEngineTestSupport.h"
#include "tests/engine/storage/StorageTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/ScratchFolder.h"

namespace {

using local_test::RuntimeScope;
using local_test::ScriptedUi;
using qv::test::RaisedCode;

std::vector<uint8_t> Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Patch(const std::string& file, int64_t offset, const void* bytes, size_t count) {
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(offset);
  io.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
}

uint8_t CommitState(const std::string& file) { return Bytes(file).at(kVLMCommitStateOffset); }

// A commit stopped half-way, as the header tells it; version as given.
void MarkInterrupted(const std::string& file, double version = kVLMFormatVersion) {
  const uint8_t writing = kVLMCommitWriting;
  Patch(file, kVLMCommitStateOffset, &writing, 1);
  uint8_t stored[8];
  VLMPutU64LE(stored, std::bit_cast<uint64_t>(version));
  Patch(file, kVLMVersionOffset, stored, sizeof stored);
}

// A disk database data whose table list cannot be read, listed in the
// registry for file as the local engine would list it.
class UnreadableTableList : public TVLMDiskDatabaseData {
public:
  static void List(const std::string& file) {
    auto data = std::make_unique<UnreadableTableList>();
    data->DatabaseFileName = file;
    data->MaxSessions = 20;
    TVLMOpenDatabaseList& list = VLMOpenDatabaseList();
    std::lock_guard guard(list.Mutex());
    list.Add(data.release());
  }
  void GetTableNames(qv::StringList&) override {
    throw EVLMException(30384, "Internal file chain is damaged. PageNo=%d", {7});
  }
};

class DatabaseRepairTest : public ::testing::Test {
protected:
  void SetUp() override { VLMSetEngineUi(&Ui); }
  void TearDown() override {
    VLMSetEngineUi(nullptr);
    VLMSetRepairReplaceHook(nullptr);
    qv::SetFreeDiskSpaceOverride(-1);
    VLMSetDesignMode(false);
  }

  std::unique_ptr<TVLMDatabase> Database(const std::string& file) {
    auto database = std::make_unique<TVLMDatabase>();
    database->SetDatabaseName("Log");
    database->SetDatabaseFileName(file);
    database->MaxConnections = 20;
    database->PageSize = 1024;
    return database;
  }
  std::string NewFile(const std::string& name) {
    const std::string file = Dir.File(name);
    auto maker = Database(file);
    maker->SetDatabaseName("Maker");
    maker->CreateDatabase();
    return file;
  }
  bool TempLeft(const std::string& file) const { return std::filesystem::exists(file + ".tmp"); }

  storage_test::FastRetries Retries;
  qv::test::ScratchFolder Dir;
  RuntimeScope Runtime;
  ScriptedUi Ui;
};

TEST_F(DatabaseRepairTest, TheConnectAsksAndRepairsOnlyWhenToldYes) {
  const std::string repairQuestion =
      "confirm Database file was not correctly closed last time. Do you want to repair it?";
  const std::string convertNotice =
      "information Database file you are opening is of old format. It will be converted to the current Velmoran "
      "Database format now. It is recommended to make a backup of the database before continuing.";
  enum class Handler { None, Yes, No };
  struct Row {
    const char* name;
    double version;
    bool silent;
    bool design;
    Handler handler;
    bool userYes;
    std::vector<std::string> asked;
    bool repaired;
  };
  const Row rows[] = {
      {"the handler says yes", kVLMFormatVersion, false, false, Handler::Yes, false, {}, true},
      {"the handler says no", kVLMFormatVersion, false, false, Handler::No, true, {}, false},
      {"the user says yes", kVLMFormatVersion, false, false, Handler::None, true, {repairQuestion}, true},
      {"the user says no", kVLMFormatVersion, false, false, Handler::None, false, {repairQuestion}, false},
      {"version 2.99 is repaired", 2.99, false, false, Handler::None, true, {repairQuestion}, true},
      {"version 2.98 is converted", 2.98, false, false, Handler::None, false, {convertNotice}, true},
      {"silent mode asks nobody", kVLMFormatVersion, true, false, Handler::Yes, true, {}, false},
      {"design mode asks nobody", kVLMFormatVersion, false, true, Handler::Yes, true, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string file = NewFile("log.vlm");
    MarkInterrupted(file, row.version);
    auto database = Database(file);
    database->SilentMode = row.silent;
    VLMSetDesignMode(row.design);
    if (row.handler != Handler::None)
      database->OnNeedRepair = [&](TVLMDatabase&, bool& repair) { repair = row.handler == Handler::Yes; };
    Ui.Yes = row.userYes;
    Ui.Log.clear();
    database->DoConnect();
    EXPECT_TRUE(database->Connected());
    EXPECT_EQ(Ui.Log, row.asked);
    database->DoDisconnect();
    VLMSetDesignMode(false);
    EXPECT_EQ(CommitState(file), row.repaired ? kVLMCommitClean : kVLMCommitWriting);
    if (row.repaired) {
      double version = 0;
      std::memcpy(&version, Bytes(file).data() + kVLMVersionOffset, sizeof version);
      EXPECT_EQ(version, kVLMFormatVersion);
    }
    EXPECT_FALSE(TempLeft(file));
    database.reset();
    std::filesystem::remove(file);
  }
}

TEST_F(DatabaseRepairTest, RefusalsAndFailuresKeepTheOriginalAndLeaveNoTempFile) {
  struct Row {
    const char* name;
    std::function<void(const std::string& file, TVLMDatabase& database)> arrange;
    int32_t code;            // raised by RepairDatabase; 0: it answers false
    std::string errorStart;  // the start of its error text when it answers
  };
  std::unique_ptr<storage_test::Peer> peer;
  const Row rows[] = {
      {"too little free space", [](const std::string& file,
                                   TVLMDatabase&) { qv::SetFreeDiskSpaceOverride(Bytes(file).size() - 1); },
       20303, ""},
      {"the step before the replace fails",
       [](const std::string&, TVLMDatabase&) {
         VLMSetRepairReplaceHook([](const std::string& temp, const std::string&) {
           EXPECT_TRUE(std::filesystem::exists(temp));
           throw EVLMException(10703, "stopped");
         });
       },
       10703, ""},
      {"the table list cannot be read",
       [](const std::string& file, TVLMDatabase& database) {
         database.BeforeRepair = [file](TVLMDatabase&) { UnreadableTableList::List(file); };
       },
       30384, ""},
      {"another process has the file open",
       [&](const std::string& file, TVLMDatabase&) { peer = std::make_unique<storage_test::Peer>(file); }, 0,
       "Cannot repair database file '"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string file = NewFile("log.vlm");
    MarkInterrupted(file);
    auto database = Database(file);
    row.arrange(file, *database);
    const std::vector<uint8_t> before = Bytes(file);
    std::string errorText;
    EXPECT_EQ(RaisedCode([&] { EXPECT_FALSE(database->RepairDatabase(errorText)); }), row.code);
    EXPECT_EQ(errorText.rfind(row.errorStart, 0), 0u) << errorText;
    EXPECT_EQ(Bytes(file), before);
    EXPECT_FALSE(TempLeft(file));
    EXPECT_FALSE(database->Connected());

    // Through the connect: the failure is 20238 and the connect fails; a
    // refusal is a warning and the file opens as it is.
    Ui.Yes = true;
    Ui.Log.clear();
    if (row.code != 0) {
      EXPECT_EQ(RaisedCode([&] { database->DoConnect(); }), 20238);
      EXPECT_FALSE(database->Connected());
    } else {
      database->DoConnect();
      ASSERT_EQ(Ui.Log.size(), 2u);
      EXPECT_EQ(Ui.Log[1].rfind("warning Cannot repair database file '", 0), 0u) << Ui.Log[1];
      database->DoDisconnect();
    }
    EXPECT_EQ(CommitState(file), kVLMCommitWriting);
    EXPECT_FALSE(TempLeft(file));
    VLMSetRepairReplaceHook(nullptr);
    qv::SetFreeDiskSpaceOverride(-1);
    peer.reset();
    database.reset();
    std::filesystem::remove(file);
  }
}

}  // namespace
