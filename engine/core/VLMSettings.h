// VLMSettings: the engine's process-wide settings that its users may set, the
// tries and delays of every wait on another connection (TVLMRetrySettings)
// and the batch size of a restructure's copy.
//
// One copy per process. The engine reads it (VLMRetrySettings, read-only);
// only its owner changes it: the process's start (the program, a tool) and
// tests, through VLMChangeRetrySettings, before the waits it governs begin.
// No file of engine/ calls VLMChangeRetrySettings (the layering test checks
// that). Part of the engine's face for the program and the tools.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

// Tries and delays of the engine's waits. Tests shorten them; every
// wait sleeps through qv::SleepMs, whose sleeper tests may replace.
struct TVLMRetrySettings {
  int32_t DatabaseLockTries = 4500;  // header updates, commits, free space
  uint32_t DatabaseLockDelayMs = 20;
  // An open that finds the file empty (another process made it a moment
  // ago and takes its making lock before its first byte) looks again this
  // many times, the database lock's delay apart, before it reads the file
  // as it is; while the maker holds that lock, as long as the database
  // lock's tries.
  int32_t NewFileTries = 10;
  int32_t NextObjectIDTries = 4500;
  uint32_t NextObjectIDDelayMs = 20;
  int32_t ReopenAttempts = 3;  // reopening a file whose handle went bad
  uint32_t ReopenDelayMs = 1000;
  // Whole-file locks of the sessions file and of the table lock files.
  int32_t WholeFileLockTries = 4500;
  uint32_t WholeFileLockDelayMs = 20;
  // Table locks: opening a table (types 0 and 6).
  int32_t TableOpenTries = 50;
  uint32_t TableOpenDelayMs = 100;
  // Table locks around reads, record operations and inserts (type 1).
  int32_t TableOperationTries = 2250;
  uint32_t TableOperationDelayMs = 40;
  // Table locks of commits, edits and transaction ends (types 2 and 4).
  int32_t TableCommitTries = 900;
  uint32_t TableCommitDelayMs = 100;
  // Record locks of edits, posts and deletes.
  int32_t RecordLockTries = 15;
  uint32_t RecordLockDelayMs = 100;
  // SQL queries: the statement lock (read locks on every table of a query,
  // taken together, all released between two attempts) and, within one
  // attempt, the tries for each table.
  int32_t StatementLockTries = 900;
  uint32_t StatementLockDelayMs = 100;
  int32_t LeafLockTries = 2;
  uint32_t LeafLockDelayMs = 20;
  // SQL UPDATE, DELETE and INSERT ... SELECT outside a transaction: the
  // commit lock (type 4) on the table they write, one try at a time with
  // the database section released between tries; and the attempts of an
  // UPDATE that met a lock conflict.
  int32_t ModifyLockTries = 1125;
  uint32_t ModifyLockDelayMs = 80;
  int32_t UpdateAttempts = 15;
  uint32_t UpdateAttemptDelayMs = 100;

  // The wait window of long operations (repair, table copy): it appears once
  // WaitShowDelayMs have passed since the operation started, and only while
  // the work stands below WaitShowBelowPercent; a quicker operation never
  // flashes a window.
  uint32_t WaitShowDelayMs = 500;
  int32_t WaitShowBelowPercent = 51;

  // The copy of a restructure commits the rows it wrote whenever their
  // changed pages reach this many bytes (and once at its end), so that it
  // holds a bounded amount in memory and flushes rarely.
  uint32_t CopyBatchBytes = 16u << 20;
};

// The settings every wait reads.
const TVLMRetrySettings& VLMRetrySettings();
// The settings to change, for their owner only (see above).
TVLMRetrySettings& VLMChangeRetrySettings();
