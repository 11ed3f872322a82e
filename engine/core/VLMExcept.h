// EVLMException: the one exception class of the database engine.
//
// Every raise site passes a literal numeric code of its own, so a code read
// back from a message points at one place in the engine:
//   10000-10515  storage, streams, compression, record buffers, metadata
//                streams, variant arrays, cursor field access
//   20001-20303  SQL execution, locks, autoincrement limits, SQL field access
//   30001-30506  internal errors, memory manager, parser and lexer, type
//                conversion, metadata checks
//   2011, 2156   two parser sites that pass four-digit codes
//
// The message always ends with " - Native error: " and the code. The plain
// form writes the code zero-padded to five digits ("02011"); the formatting
// form writes it blank-padded to a width of five (" 2156"). Stored messages
// and logs rely on both shapes, so they are kept apart on purpose.
//
// Codes the project invents
// -------------------------
// Most codes come with the design, one per raise site. The codes below were
// added by this project for checks the design lacks (damaged files, sizes
// beyond 32 bits, invariants of the page cache). Each is used at the one site
// (or the one kind of check) named here and is never reused for anything else.
// A new check takes a number above the design's ranges (10600 and up for
// storage, streams and buffers; 20400 and up for execution, locks and
// indexes; 30600 and up for internal, parser and metadata checks) that is not
// listed yet, and is added here in the same change.
//
//   10001 nil record buffer of a cursor's field access (VLMBase)
//   10002 nil record buffer of the database data's field access (VLMBaseEngine)
//   10008 nil record buffer of a cursor's record routines (VLMBase)
//   10084 invalid compressed BLOB block header (VLMBLOBStream)
//   10228 table ID write of a definitions stream (VLMTypesDefs)
//   10231 table ID read of a definitions stream (VLMTypesDefs)
//   10241 table ID write of a definitions stream (VLMTypesDefs)
//   10250 table ID read of a definitions stream (VLMTypesDefs)
//   10440 record layout beyond 2^31 - 1 bytes (VLMTypesDefs)
//   10463 invalid page or extent size in a database header (VLMDiskEngine)
//   10466 database lock not taken within its tries (VLMDiskEngine)
//   10467 page allocation on a closed database (VLMDiskEngine)
//   10468 page release on a closed database (VLMDiskEngine)
//   10600 database used after a commit failed to write (VLMDiskEngine)
//   10601 database file shorter than its header's page count (VLMDiskEngine)
//   10602 B-tree page head that cannot describe a page of its tree (VLMBTreePages)
//   10603 B-tree page out of its place in the tree (VLMBTreePages)
//   10604 B-tree leaf chain that returns to a page (VLMBTreePageIndex)
//   10605 B-tree neighbours with different entry layouts met by a merge (VLMBTreePages)
//   10650 whole-file lock of a closed table locks file (VLMDiskEngineLocks)
//   10651 whole-file unlock of a closed table locks file (VLMDiskEngineLocks)
//   10652 delete of a closed table locks file (VLMDiskEngineLocks)
//   10653 connect on a closed sessions file (VLMDiskEngineLocks)
//   10654 disconnect on a closed sessions file (VLMDiskEngineLocks)
//   10655 single-user entry on a closed sessions file (VLMDiskEngineLocks)
//   10656 single-user exit on a closed sessions file (VLMDiskEngineLocks)
//   10657 table locks file for a negative or too large session count (VLMDiskEngineLocks)
//   10660 key search without a key buffer (VLMTableData)
//   10670 record count beyond 32 bits (VLMDiskEngineRecords)
//   10671 listed record page that is not a record page of its table (met by
//         a write or a read), or whose slots disagree with its listed count
//         (met by a read); a page-index entry outside the file or out of
//         page order, or a walk from end to end whose listed counts miss
//         the table's record count (met by a walk); a record read whose
//         text does not end in its field (VLMDiskEngineRecords)
//   10672 damaged small-BLOB page (VLMDiskEngineBlobs)
//   10673 damaged large BLOB value: head, page count or page list
//         (VLMDiskEngineBlobs)
//   10674 record index leaf chain that returns to a page (VLMBTreeRecordIndex)
//   10675 BLOB call on a field that is not a BLOB field (VLMDiskEngineBlobs)
//   10676 BLOB cache handles exhausted (VLMDiskEngineBlobs)
//   10677 record counters block beyond its buffer (VLMDiskEngineRecords)
//   10678 small-BLOB entry not found on read (VLMDiskEngineBlobs)
//   10679 BLOB reference to a page outside the file (VLMDiskEngineBlobs)
//   10700 memory table full (slot beyond 2^31 - 1) (VLMMemEngine)
//   10701 memory BLOB handle that names no value (VLMMemEngine)
//   10702 temporary page store full (page count 2^31 - 1) (VLMTempEngine)
//   10703 temporary page write to its file failed (VLMTempEngine)
//   10704 free of a memory or temporary page that is not allocated
//         (VLMMemEngine, VLMTempEngine)
//   10705 temporary record size 0 (VLMTempEngine)
//   10706 temporary table full (record numbers past 48 bits, memory array
//         past 2^31 - 1 records) (VLMTempEngine)
//   10707 memory table data made without a cursor (VLMMemEngine)
//   10708 memory insert without a record buffer (VLMMemEngine)
//   10709 memory record count without a record manager (VLMMemEngine)
//   10710 memory record access without a record manager (VLMMemEngine)
//   10711 memory update without a record buffer (VLMMemEngine)
//   10712 memory BLOB call on a field that is not a BLOB field (VLMMemEngine)
//   10713 memory BLOB write without a record buffer (VLMMemEngine)
//   10714 memory BLOB save of a stream that is not a table's BLOB stream
//         (VLMMemEngine)
//   10715 memory BLOB value copied short into its stream (VLMMemEngine)
//   10716 temporary table data made without a cursor (VLMTempEngine)
//   10717 temporary BLOB head that does not fit its stream (VLMTempEngine)
//   10718 temporary BLOB call on a field that is not a BLOB field
//         (VLMTempEngine)
//   10719 temporary BLOB save of a stream that is not a table's BLOB stream
//         (VLMTempEngine)
//   10720 table counter file contents that cannot be (VLMDiskEngineTables)
//   10721 table metadata contents that cannot be (VLMDiskEngineTables)
//   10722 BLOB stream that the disk table data did not open (VLMDiskEngineTableRecords)
//   10723 BLOB call for a field that is not a BLOB field (VLMDiskEngineTableRecords)
//   10730 growth of a database file with pages in use beyond its header's
//         page count (VLMDiskEngine)
//   10740 journal file of a commit that cannot be created or opened
//         (VLMDiskEngineCommit)
//   10741 write (a commit, or an allocation or free written at once), or
//         read of table data, over another connection's interrupted commit
//         that this handle can neither roll back nor read around (its
//         journal belongs to something else) (VLMDiskEngineCommit,
//         VLMDiskEngineFreeSpace, VLMDiskEngine)
//   10742 journal file of a commit that cannot be written (VLMDiskEngineCommit)
//   10743 journal of an interrupted commit that cannot be read, is damaged,
//         or cannot be written back (VLMDiskEngineCommit)
//   10744 two writes of one commit that overlap (VLMDiskEngineJournal)
//   10746 database lock not taken within its tries by a read that met a
//         commit being written (VLMDiskEngine)
//   10747 repair of a database file asked over a read-only connection
//         (VLMMain)
//   10748 header page counts that cannot be, refused before they are
//         written (VLMDiskEngine)
//   10750 a database used after its file's handle was made anew while it
//         held locks (VLMDiskEngine)
//   10751 a write or truncate of a database file whose handle was made
//         anew while it held locks (VLMDiskEngineFile)
//   10760 commit through a read-only database handle (opened read-only, a
//         file this process may not write, let in read-only) (VLMDiskEngine)
//   10761 page allocation through a read-only database handle (VLMDiskEngine)
//   10762 page free through a read-only database handle (VLMDiskEngine)
//   10770 table operation of a local cursor whose session has no database
//         data (VLMLocalEngine)
//   10771 field copy between local cursors without a record buffer
//         (VLMLocalEngine)
//   10772 BLOB field copy between local cursors without a table data
//         (VLMLocalEngine)
//   10773 record lock test of a closed local cursor (VLMLocalEngine)
//   10790 database file created over a file another connection has open
//         (VLMDiskEngine)
//   10800 dataset BLOB stream on a field of another kind of dataset (VLMMain)
//   10801 calculated-field write of a dataset without a record (VLMMain)
//   10802 wide-string holder number that no holder has (VLMMain)
//   10803 wide-string holders exhausted (VLMMain)
//   10970 database file created over a file whose making lock another
//         connection holds: it is being made, replaced or opened
//         (VLMDiskEngine)
//   10971 database file that exists when it is made exclusively
//         (VLMDiskEngineFile)
//   10972 existing database file that the new one cannot be renamed over
//         (VLMDiskEngine)
//   10973 new database file whose making lock another connection took
//         first, or that was unlinked before this maker locked it
//         (VLMDiskEngine)
//   10974 database file replaced by a new one while it was being opened,
//         met under the making lock; the open is made again
//         (VLMDiskEngine)
//   10804 dataset insert without a cursor (VLMMain)
//   10805 last autoincrement value of a closed table (VLMMain)
//   10820 database file that cannot be copied for its repair (VLMMain)
//   10900 database file that fails the whole-file check (VLMMainDatabase)
//   10901 whole-file check of a database that is no file (VLMMainDatabase)
//   10902 database lock not had for the whole-file check
//         (VLMDiskEngineCheck)
//   10920 table definitions that a repair-mode open cannot read, naming the
//         table and the page (VLMDiskEngineTables)
//   10840 column of a type that no dataset field shows (VLMMainDefinitions)
//   10841 value written through a field wider than its column that the
//         column cannot hold (VLMMainFields)
//   10945 cursor record that cannot be read to place a step's bitmap fill
//         by a pass over the navigation index (VLMTableSearch)
//   20340 index key path deeper than its limit (VLMBTreeKeys)
//   20341 approximate index position: invalid depth or fan-out (VLMBTreeKeys)
//   20342 approximate index position out of range (VLMBTreeKeys)
//   20343 B-tree node without entries met by a descent (VLMBTreePages)
//   20344 index key too large for the page size (VLMBTreePages)
//   20345 B-tree node without entries met by the integrity check (VLMBTreePages)
//   20490 record index without a page manager (VLMBTreeRecordIndex)
//   20491 record index update without a tree (VLMBTreeRecordIndex)
//   20492 record index delete without a tree (VLMBTreeRecordIndex)
//   20493 range search condition without a key buffer (VLMBTreeRecordIndex)
//   20410 table lock type outside 0-6 (VLMDiskEngineLocks)
//   20411 session ID outside a table locks file or the lock manager (VLMDiskEngineLocks)
//   20430 index column length that is not a number (VLMMainDefinitions)
//   20590 dataset attached to its database while the components' runtime is
//         down (VLMMain)
//   20610 local session disconnected while a cursor of it has a table open
//         (VLMLocalEngine)
//   20612 restructure that failed and could not be undone in the call, which
//         the next connect finishes (VLMMain)
//   20613 table opened while a restructure of it stopped half way and could
//         not be finished, naming the step and the table with its rows
//         (VLMMainRestructure)
//   20940 table opened while another connection is restructuring it (its
//         NEW table held open), naming the table with its rows
//         (VLMMainRestructure)
//   20470 ACOS argument outside -1 .. 1 (VLMExpressionsArith)
//   20471 ASIN argument outside -1 .. 1 (VLMExpressionsArith)
//   20472 LOG argument not above 0 (VLMExpressionsArith)
//   20473 SQRT argument below 0 (VLMExpressionsArith)
//   20474 POWER result not a finite number (VLMExpressionsArith)
//   20475 EXP result not a finite number (VLMExpressionsArith)
//   20476 CEIL result outside the 32-bit integer range (VLMExpressionsArith)
//   20477 FLOOR result outside the 32-bit integer range (VLMExpressionsArith)
//   20478 one-argument ROUND result outside the 32-bit integer range
//         (VLMExpressionsArith)
//   20479 ROUND result not a finite double (VLMExpressionsArith)
//   20480 ATAN result not a finite number (VLMExpressionsArith)
//   20481 COS result not a finite number (VLMExpressionsArith)
//   20482 SIN result not a finite number (VLMExpressionsArith)
//   20520 table names of a disk database that is not open (VLMDiskEngineDatabase)
//   20521 object ID of a disk database that is not open (VLMDiskEngineDatabase)
//   20522 table-list entry added to a disk database that is not open
//         (VLMDiskEngineDatabase)
//   20523-20538 disk table call while the table is not open, one code per
//         call (VLMDiskEngineTables.h lists them)
//   20550 "MEMORY" or "TEMP" asked for while the components' runtime is
//         down (VLMLocalEngine)
//   20551 wide-string value kept while the components' runtime is down
//         (VLMMain)
//   20570 session component made, or named, while the components' runtime
//         is down (VLMMain)
//   20571 database component registered with its session while the
//         components' runtime is down (VLMMain)
//   20620 SELECT statement, not built yet (VLMSQLProcessor; no longer
//         raised)
//   20621 UPDATE statement, not built yet (VLMSQLProcessor; retired: UPDATE
//         is built, the code stays unused)
//   20622 DELETE statement, not built yet (VLMSQLProcessor; retired: DELETE
//         is built, the code stays unused)
//   20623-20626 retired (ALTER TABLE, RENAME TABLE, CREATE INDEX and DROP
//         INDEX before they were built); not to be used again
//   20627 INSERT ... SELECT, not built yet (VLMSQLModify; retired: INSERT
//         ... SELECT is built, the code stays unused)
//   20628 START TRANSACTION run by a dataset without a database component
//         (VLMSQLTransaction)
//   20629 COMMIT run by a dataset without a database component
//         (VLMSQLTransaction)
//   20630 ROLLBACK run by a dataset without a database component
//         (VLMSQLTransaction)
//   20631 statement result cursor that is no local cursor (VLMMainQuery)
//   20660 join, or a second table in FROM, not built yet (VLMSQLSelect; no
//         longer raised)
//   20661 derived table in FROM, not built yet (VLMSQLSelect; no longer
//         raised)
//   20662 GROUP BY, HAVING or an aggregate item, not built yet
//         (VLMSQLSelect; retired: grouping is built, the code stays unused)
//   20663 UNION, EXCEPT, MINUS or INTERSECT, not built yet (VLMSQLQueryExpr;
//         no longer raised)
//   20700 unique or primary index filled from a table that holds one of its
//         keys twice (VLMBTreeRecordIndex)
//   20760 subquery outside an SQL statement, as in a dataset filter
//         (VLMSQLQueryExpr)
//   20761 INTO in a subquery or a derived table (VLMSQLQueryExpr)
//   20780 UPDATE value that is no expression (VLMSQLUpdate)
//   20781 UPDATE row value that is no subquery (VLMSQLUpdate)
//   20782 UPDATE or DELETE whose rows come from no single table, such as a
//         join (VLMSQLUpdate)
//   20783 INSERT ... SELECT whose query has INTO (VLMSQLModify)
//   20840 SQL value outside the range of its integer column (VLMSQLModify)
//   20841 column named by INSERT or UPDATE that its table lacks
//         (VLMSQLCommand)
//   20842 query nested deeper than the thread's depth count of nested SQL
//         allows (VLMSQLCommand)
//   20843 query operator built with the stack low (VLMSQLQueryExpr)
//   20844 query operator opened with the stack low (VLMRelAlgebra)
//   20845 refusal without an engine code (of the dataset layer, a
//         conversion) passed on by the query component (VLMMainQuery)
//   20846 record-level refusal of a table component inside a statement
//         (VLMSQLCommand)
//   20850 lock conflict past the retries: a table that cannot be read
//         (VLMSQLCommand)
//   20851 lock conflict past the retries: a table that cannot be changed
//         (VLMSQLCommand)
//   20852 lock conflict past the retries: a locked record (VLMSQLCommand)
//   20853 lock conflict past the retries: the database (VLMSQLCommand)
//   20860 CreateTable of a table component on a read-only database (VLMMain)
//   20861 DeleteTable on a read-only database (VLMMain)
//   20862 EmptyTable on a read-only database (VLMMain)
//   20863 RenameTable on a read-only database (VLMMain)
//   20864 RenameField on a read-only database (VLMMain)
//   20865 AddIndex on a read-only database (VLMMain)
//   20866 DeleteIndex on a read-only database (VLMMain)
//   20867 RestructureTable on a read-only database (VLMMain)
//   20868 RepairTable on a read-only database (VLMMain)
//   20869 repair of a database file that a component set ReadOnly, or a
//         file this process may not write (VLMMain)
//   20870 RaiseAutoincValue on a read-only database (VLMMain)
//   20920 table copy or import that failed with the table it replaces set
//         aside and not put back in the call, which the next connect puts
//         back (VLMMainCopy)
//   30378 duplicate page in a sorted page list (VLMPage)
//   30380 page released more often than taken (VLMPage)
//   30384 damaged internal file chain while walking it (VLMDiskEngineFiles)
//   30386 internal file read past its end (VLMDiskEngineFiles)
//   30389 table rename onto an existing table (VLMDiskEngineFiles)
//   30390 database file full (page count beyond 2^31 - 1) (VLMDiskEngine)
//   30391 negative internal file size (VLMDiskEngineFiles)
//   30394 damaged internal file chain while sizing it (VLMDiskEngineFiles)
//   30398 next object ID area locked (VLMDiskEngine)
//   30406 next object ID write (VLMDiskEngine)
//   30426 free-space map page of the wrong type (VLMDiskEngineFreeSpace)
//   30428 extent map page of the wrong type on load (VLMDiskEngineFreeSpace)
//   30429 extent map page of the wrong type on update (VLMDiskEngineFreeSpace)
//   30435 page counts of the header disagree (VLMDiskEngineFreeSpace)
//   30610 memo field read without its cursor's table data (VLMExpressions)
//   30611 quantified comparison, IN or EXISTS without a subquery child
//         (VLMExpressions)
//   30660 autoincrement counter block beyond its buffer (VLMFieldManager)
//   30661 index manager without a way to make index objects
//         (VLMIndexManager)
//   30690 missing operand after '*' or '/' (VLMExpressionParser)
//   30691 COALESCE argument that does not parse (VLMExpressionParser)
//   30692 COALESCE argument followed by neither ',' nor ')'
//         (VLMExpressionParser)
//   30693 expression nested too deeply, or with the stack low
//         (VLMExpressionParser)
//   30694 subquery parsed without the SQL engine's factory
//         (VLMExpressionParser)
//   30695 subquery without the ')' of a '(' before it (VLMExpressionParser)
//   30696 CAST without '(' (VLMExpressionParser)
//   30697 CAST without an operand (VLMExpressionParser)
//   30698 CAST operand followed by neither AS nor ',' (VLMExpressionParser)
//   30699 CAST length missing inside its parentheses (VLMExpressionParser)
//   30700 SUBSTRING length missing after ',' or FOR (VLMExpressionParser)
//   30701 UPDATE value parsed without a query context (VLMExpressionParser)
//   30702 LASTAUTOINC without the components' table hook
//         (VLMExpressionsSystem)
//   30703 subquery node without its SELECT (VLMExpressionsArith)
//   30720 VALUES value followed by neither ',' nor ')' (VLMSQLModify)
//   30721 tokens after the VALUES rows of INSERT (VLMSQLModify)
//   30722 index entry of CREATE TABLE whose column list does not start
//         with '(' (VLMSQLDDL)
//   30723 word in an index column list other than ASC, DESC, CASE or
//         NOCASE (VLMSQLDDL)
//   30724 column size, BLOB block size or compression mode out of range
//         (VLMSQLDDL)
//   30725 tokens after the table of DROP TABLE or TRUNCATE TABLE (VLMSQLDDL)
//   30726 token after a table key or index entry of CREATE TABLE that is
//         neither ',' nor ')' (VLMSQLDDL)
//   30800 tokens after the end of ALTER TABLE, RENAME TABLE, CREATE INDEX or
//         DROP INDEX (VLMSQLDDLAlter)
//   30801 word in a CREATE INDEX column list other than ASC, DESC, CASE or
//         NOCASE (VLMSQLDDLAlter)
//   30802 token that is no name where ALTER TABLE ... RENAME or RENAME TABLE
//         expects a column or table name (VLMSQLDDLAlter)
//   30840 integer sum that its type cannot hold (VLMVariant)
//   30841 integer product that its type cannot hold (VLMVariant)
//   30842 integer negation that its type cannot hold (VLMVariant)
//
// Raise sites:
//   throw EVLMException(30001, "Invalid pointer");
//   throw EVLMException(30004, "Memory limit exceeded (Limit = %d bytes)", {limit});
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/host/Exception.h"
#include "platform/host/Format.h"

class EVLMException : public qv::Exception {
public:
  // Create: msg + " - Native error: " + code zero-padded to five digits.
  EVLMException(int32_t errorCode, std::string_view msg);

  // CreateFmt: qv::format(fmt, args) + " - Native error: " + code in a field
  // of five, blank-padded. A format text that does not fit its arguments
  // never raises a second exception: the text becomes the raw format text
  // followed by " Arguments are invalid!".
  EVLMException(int32_t errorCode, std::string_view fmt,
                std::initializer_list<qv::FormatArg> args);

  // CreateFmt with an argument list built at run time.
  static EVLMException CreateFmt(int32_t errorCode, std::string_view fmt,
                                 std::span<const qv::FormatArg> args);

  // The site's code, exactly as passed to the constructor.
  int32_t NativeError;

private:
  struct FormattedTag {};
  EVLMException(FormattedTag, int32_t errorCode, std::string message);
};

// The two code renderings, exposed for the components that rebuild engine
// messages and for tests.
std::string VLMNativeErrorZeroPadded(int32_t code);   // "%.5d"
std::string VLMNativeErrorBlankPadded(int32_t code);  // "%5d"
