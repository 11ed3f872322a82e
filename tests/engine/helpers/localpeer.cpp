// Helper program of the local-engine tests: a second process that connects a
// multi-user local session to a database, opens one table through a local
// cursor and writes on the commands it reads, one per line. Each command is
// answered with one line: the cursor's result code, or "error CODE" for an
// engine error. Waits are short (a few tries, 1 ms apart).
//
//   engine_localpeer PATH TABLE [patient]
//                                  prints "ready" once the table is open;
//                                  patient: the engine's own waits
//   update CALL POINTS             the record whose first field is CALL:
//                                  Edit, second field := POINTS, Post
//   delete CALL                    that record deleted
//   edit CALL                      Edit only: its locks stay
//   insert CALL POINTS             a new record, posted
//   post POINTS                    second field := POINTS, Post of the edit
//   cancel                         Cancel of the edit
//   begin | commit | rollback      the session's transaction
//   quit                           ends at once
//
// Exit 2 when the table cannot be opened.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"

namespace {

class Peer {
public:
  Peer(const std::string& path, const std::string& table) {
    Session.DatabaseName = path;
    Session.DatabaseFileName = path;
    Session.MultiUser = true;
    Session.MultiUserSessionName = "Peer";
    Session.MaxConnections = 50;
    Session.SetConnected(true);
    Cursor.Session = &Session;
    Cursor.TableName = table;
    Cursor.OpenTable(nullptr, nullptr, nullptr);
    Cursor.InitFieldDefs();
    Cursor.RecordBuffer = Cursor.AllocRecordBuffer();
    Cursor.OldRecordBuffer = Cursor.AllocRecordBuffer();
  }
  ~Peer() {
    Cursor.FreeRecordBuffer(Cursor.RecordBuffer);
    Cursor.FreeRecordBuffer(Cursor.OldRecordBuffer);
  }

  // Moves to the record whose first field reads call, as a dataset reads it.
  bool Find(const std::string& call) {
    Cursor.SetToBegin();
    while (Cursor.GetRecord(1) == kVLMNavOK) {
      VLMPutRecordID(Cursor.RecordBuffer + Cursor.BookmarkOffset, Cursor.Position.RecordID);
      std::memcpy(Cursor.OldRecordBuffer, Cursor.RecordBuffer, static_cast<size_t>(Cursor.RecordBufferSize));
      TVLMVariant value;
      Cursor.GetFieldValue(value, 0, true);
      if (!value.IsNull() && value.GetAsString() == call) return true;
    }
    return false;
  }
  void SetPoints(const std::string& points) {
    TVLMVariant value(bdtString);
    value.SetAsString(points);
    Cursor.SetFieldValue(value, 1, true);
  }

  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string command, a, b;
    in >> command >> a >> b;
    Cursor.ResultCode = 0;
    if (command == "update" || command == "delete" || command == "edit") {
      if (!Find(a)) return "missing";
      if (command == "delete") {
        Cursor.DeleteRecord();
        return std::to_string(Cursor.ResultCode);
      }
      Cursor.Edit();
      if (Cursor.ResultCode != 0 || command == "edit") return std::to_string(Cursor.ResultCode);
      a = b;
      command = "post";
    }
    if (command == "insert") {
      Cursor.PrepareInsert();
      Cursor.InitRecordBuffer(Cursor.RecordBuffer, true);
      TVLMVariant call(bdtString);
      call.SetAsString(a);
      Cursor.SetFieldValue(call, 0, true);
      SetPoints(b);
      Cursor.Post(true);
    } else if (command == "post") {
      SetPoints(a);
      Cursor.Post(false);
    } else if (command == "cancel") {
      Cursor.Cancel(false);
    } else if (command == "begin") {
      Session.StartTransaction();
    } else if (command == "commit") {
      Session.Commit(false);
    } else if (command == "rollback") {
      Session.Rollback();
    } else {
      return "unknown";
    }
    return std::to_string(Cursor.ResultCode);
  }

  TVLMLocalSession Session;
  TVLMLocalCursor Cursor;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "patient") == 0)) {
    std::fprintf(stderr, "usage: %s PATH TABLE [patient]\n", argv[0]);
    return 2;
  }
  TVLMRetrySettings& settings = VLMChangeRetrySettings();
  if (argc == 3) {
    for (int32_t* tries : {&settings.DatabaseLockTries, &settings.WholeFileLockTries, &settings.TableOpenTries,
                           &settings.TableOperationTries, &settings.TableCommitTries, &settings.RecordLockTries})
      *tries = 3;
    for (uint32_t* delay : {&settings.DatabaseLockDelayMs, &settings.WholeFileLockDelayMs, &settings.TableOpenDelayMs,
                            &settings.TableOperationDelayMs, &settings.TableCommitDelayMs, &settings.RecordLockDelayMs})
      *delay = 1;
  }
  TVLMComponentRuntime::Start();
  try {
    Peer peer(argv[1], argv[2]);
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "quit") std::_Exit(0);
      std::string answer;
      try {
        answer = peer.Run(line);
      } catch (const EVLMException& e) {
        answer = "error " + std::to_string(e.NativeError);
      }
      std::cout << answer << std::endl;
    }
  } catch (const qv::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
