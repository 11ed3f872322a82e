// The component unit: what a program uses to open a database and read and
// write its tables through the generic dataset.
//
// Parts (each header holds one concern; this one includes them all, so an
// includer of VLMMain.h sees every component class):
//
//   VLMMain.h             the engine error (EVLMEngineError), the process-wide
//                         runtime (TVLMComponentRuntime), design mode
//                         (VLMMain.cpp)
//   VLMMainSessions.h     the engine handle (TVLMSessionComponentManager),
//                         VLMSessionLock, TVLMSessionList, TVLMSession
//                         (VLMMainSessions.cpp)
//   VLMMainDatabase.h     TVLMDatabase and the repair hook
//                         (VLMMainDatabase.cpp, VLMMainRepair.cpp)
//   VLMMainDefinitions.h  TVLMAdvFieldDef(s), TVLMAdvIndexDef(s) and the
//                         conversions between host, extended and engine
//                         definitions (VLMMainDefinitions.cpp)
//   VLMMainDataSet.h      TVLMDataSet, the dataset base over one cursor, and
//                         TVLMBLOBStream (VLMMainDataSet.cpp, VLMMainFields.cpp,
//                         VLMMainCopy.cpp)
//   VLMMainTable.h        TVLMTable and VLMOpenAutoincTable (VLMMainTable.cpp,
//                         VLMMainRestructure.cpp, VLMMainCopy.cpp)
//
// The query component (TVLMQuery, the dataset over SQL text) builds on these
// and on the SQL engine: it is engine/sql/VLMMainQuery.h.
//
// Invariants:
//
//   1. A dataset is in the dataset list of at most one database component:
//      it joins the list of its database when it sets its first DB flag
//      (TVLMDataSet::SetDBFlag) and leaves it when it clears its last one,
//      when it is destroyed, or when the database's disconnect takes it out
//      to close it. A query is marked as one in that list.
//   2. Disconnect order, outermost first: the runtime's Shutdown frees the
//      sessions (last first) before any database data; a session lets go of
//      the databases of the program last first, then the temporary ones
//      it made for datasets (which hold the queries' result tables); a
//      database closes its queries, then its other datasets last to first
//      (each closing its cursor, which closes its tables), then the
//      components that borrow its local session, and
//      only then disconnects and frees its own local session. A local
//      session refuses to disconnect while a cursor of it still has a table
//      open (20610), and one destroyed (or let go by Shutdown) closes such
//      tables first: no table outlives the page manager it reads through.
//   3. The local session (TVLMLocalSession) of a database component is owned
//      by the component that connected it (TVLMDatabase's own handle); a
//      HandleShared component borrows it by pointer and is disconnected
//      before it goes; cursors refer to it and never free it.
//   4. A dataset's BLOB stream (TVLMBLOBStream) works on the cursor's stream
//      of its field while the cursor keeps that stream open: from the
//      stream's construction until its destruction, or until the cursor ends
//      the BLOB first (post, cancel, a move, the cursor's close), which cuts
//      it off. The cursor owns its streams throughout; a cut-off stream
//      reads and writes nothing and may outlive its dataset's cursor.
//   5. Only moves place a dataset's cursor. Reads that are none (the BLOB
//      of a record on show, read again in place; BookmarkValid,
//      CompareBookmarks, GetCurrentRecord) leave where it stands and the
//      record its next step goes on from as they were (TVLMKeptPlace,
//      engine/core/VLMBase.h): a walk that reads them on every row returns
//      the rows a plain walk does. The BLOB of a browsed record another
//      connection deleted reads empty, also when another record took its
//      slot (told by the primary key); the dataset stays where it is and
//      shows the record it showed.
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
// destroyed late. A second Start (or Shutdown) does nothing. A process that
// ends without Shutdown is shut down by the runtime's own end, in the same
// order.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/components/VLMMainDataSet.h"
#include "engine/components/VLMMainDatabase.h"
#include "engine/components/VLMMainDefinitions.h"
#include "engine/components/VLMMainSessions.h"
#include "engine/components/VLMMainTable.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMQuerySeam.h"
// The engine's face carries its errors and the retry settings, so that the
// program and the tools include nothing below the components.
#include "engine/core/VLMSettings.h"
#include "platform/dataset/DatabaseError.h"

class TVLMMemoryDatabaseData;
class TVLMTemporaryDatabaseData;

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

// The subquery factory the components' expression services hand to the
// expression parser. The SQL engine sets it when it makes a statement
// processor (subqueries exist only in SQL statements); until then a subquery
// is refused as one outside an SQL statement (20760).
class TVLMLexer;
using TVLMSubqueryFactory = std::unique_ptr<TVLMSubquery> (*)(TVLMLexer& lexer, TVLMQueryContext* queryContext);
void VLMSetSubqueryFactory(TVLMSubqueryFactory factory);

