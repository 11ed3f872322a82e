// VLMDiskEngine, check part: the whole-file check of a database file, which
// reads every page of the file once and tells whether each is what the
// structure that owns it, and the free-space maps, say it is (the code is in
// VLMDiskEngineCheck.cpp; the layouts it checks against are in the headers of
// the other parts).
//
// The check opens the file itself, read-only, as a read-only connection
// does: it writes nothing, rolls nothing back and makes no journal; beside a
// journal of a commit cut short it reads the last finished commit through
// the journal's pre-images. It holds the database lock (S + 360) from the
// first page it reads to the last, so every commit of every other handle
// waits for it and it reads one committed state; a sharing writer's pages
// taken and not yet committed are marked used in the maps and hold the head
// of a free page (VLMDiskEngine.h invariant 10), and are no damage.
//
// What "whole" means, in the order the check runs:
//   1. The header: signature, geometry, password check block and lengths
//      (the open refuses what it cannot read), CommitState clean, the file
//      at least as long as PageCount pages and holding no written page past
//      them, LastUsedPage inside the count, a current format version.
//   2. The system directory (type 4) at page 2, the active-sessions file
//      (5) and the table list (6) with unique names, each a chain of its
//      type whose head fits the chain.
//   3. Every table: its lock file (7, sized for the file's sessions), its
//      definitions (8) readable and whole, its counters (9); its record-page
//      index a valid page index listing, in ascending order, record pages
//      of this table (type 10, owner field) whose slot counts are the listed
//      counts, summing to RecordCount; every record passing the record
//      check (texts end in their fields); its small-BLOB page index listing
//      BLOB pages (11) whose entries fit and use the listed bytes, every
//      entry named by exactly one record, every record's large value a
//      valid chain of BLOB pages; every index a valid B-tree (heads, levels,
//      level chains, key order, separators) listing every record of the
//      table exactly once under the key its record makes.
//   4. Every page of the file: map pages (PFS, EAM) of their types; every
//      page a structure reaches reached once, inside the file, of its type
//      with the page signature and a live write counter, its data passing
//      its CRC and cipher in an encrypted file, and marked used; every page
//      marked used and reached by nothing holding the head of a free page
//      (a page taken and never committed); every free page holding such a
//      head (not judged while a cut commit is read around: the pages it
//      took hold what it wrote); every extent state full exactly when its
//      pages are all used.
//   5. NextObjectID not below the ID of any table, field, index or
//      constraint of the file.
//
// Cost: one read of every page (the pages structures reach through the page
// cache as a whole-file pass, the others in runs of raw reads), plus, per
// record and index, 16 bytes of memory while the table is checked.
//
// Each problem is one line of text that names the page (or the table,
// index or header field) and says what it should be and what it is. The
// check goes on past a problem where what follows does not depend on it (a
// table whose definitions cannot be read is left out; the maps are still
// compared with what the other structures reach), or stops at the first
// (firstOnly).
//
// Error codes: 10902 database lock not had for the check. Open failures
// other than a wrong password (30445) and a file that cannot be opened are
// reported as the file's first problem, not raised.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <string>
#include <vector>

#include "engine/core/VLMSecurity.h"

// The problems of the database file fileName (empty when it is whole),
// opened read-only with password. firstOnly: at most the first problem.
// A wrong password raises 30445, a file that cannot be opened the file
// layer's error; a file the open calls damaged (needs repair, a header that
// cannot be read) gives that as its first problem.
std::vector<std::string> VLMCheckDatabaseFile(const std::string& fileName, const TVLMPasswordRecord& password,
                                              bool firstOnly);
