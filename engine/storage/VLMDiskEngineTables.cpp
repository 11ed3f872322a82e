// VLMDiskEngine, table part: TVLMDiskTableData's lifecycle (create, open,
// close, delete, empty, rename, schema changes), its TableMetaData and
// TableMostUpdated files, the repair check of its record-page index and its
// table and record locks. Layouts, invariants and states are described in
// VLMDiskEngineTables.h.
#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCompression.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMBTreeRecordIndex.h"
#include "engine/storage/VLMDiskEngineBlobs.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "engine/storage/VLMTempEngine.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"

// The first statement of the methods whose caller holds the database
// critical section.
#define VLM_REQUIRE_TABLE_SECTION() \
  QV_REQUIRE_LOCK(DatabaseData->CriticalSection().HeldByThisThread(), "the database critical section")

namespace {

// TableMostUpdated is written from a buffer of (fields x 8 + 8) x 4 bytes.
int64_t MostUpdatedCapacity(int32_t fieldCount) { return (static_cast<int64_t>(fieldCount) * 8 + 8) * 4; }

bool InTransaction(const TVLMCursor* cursor) {
  return cursor != nullptr && cursor->Session != nullptr && cursor->Session->InTransaction;
}

// Sets the cursor's Exclusive flag for the scope and restores it after.
class ExclusiveFlag {
public:
  explicit ExclusiveFlag(TVLMCursor* cursor) : Cursor_(cursor), Saved_(cursor->Exclusive) { cursor->Exclusive = true; }
  ~ExclusiveFlag() { Cursor_->Exclusive = Saved_; }
  ExclusiveFlag(const ExclusiveFlag&) = delete;
  ExclusiveFlag& operator=(const ExclusiveFlag&) = delete;

private:
  TVLMCursor* Cursor_;
  bool Saved_;
};

}  // namespace

TVLMDiskTableData::TVLMDiskTableData(TVLMDiskDatabaseData* databaseData)
    : TVLMTableData(databaseData), DiskDatabase_(databaseData) {
  PageManager = databaseData->PageManager;
}

TVLMDiskTableData::~TVLMDiskTableData() {
  FreeManagers();
  FreeFiles();
}

TVLMDiskRecordManager* TVLMDiskTableData::DiskRecordManager() const {
  return static_cast<TVLMDiskRecordManager*>(RecordManager.get());
}

bool TVLMDiskTableData::IsMultiUser() const { return DiskDatabase_->MultiUser; }

void TVLMDiskTableData::CheckFinishedCommit() {
  if (!DiskDatabase_->ReadsShared()) return;
  uint32_t mark = 0;
  DiskDatabase_->DiskPageManager()->ReadFinishedCommitMark(mark);
}

uint64_t TVLMDiskTableData::CommitExclusionSerial(int32_t sessionID) const {
  if (!IsMultiUser() || LocksFile_ == nullptr || !LocksFile_->IsOpen() || sessionID < 0) return 0;
  TVLMDatabaseTableLockManager* locks = DiskDatabase_->TableLockManager();
  if (locks == nullptr || sessionID >= locks->MaxSessions) return 0;
  return locks->CommitExclusionSerial(sessionID, static_cast<uint32_t>(LocksFile_->GetStartPageNo()));
}

bool TVLMDiskTableData::CountersCurrent(int32_t sessionID) const {
  if (CountersSession_ != sessionID || CountersView_ != DiskDatabase_->DiskPageManager()->ViewVersion()) return false;
  if (!DiskDatabase_->ReadsShared()) return true;
  return CountersSerial_ != 0 && CountersSerial_ == CommitExclusionSerial(sessionID);
}

// ------------------------------------------------------------ managers

void TVLMDiskTableData::CreateRecordManager() {
  RecordManager.reset();
  auto manager = std::make_unique<TVLMDiskRecordManager>(PageManager, TableID_, FieldManager.get());
  const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
  manager->Init(GetRecordBufferSize() + kVLMBookmarkAreaSize, fields.GetStoredRecordSize(), fields.GetCount());
  RecordManager = std::move(manager);
}

void TVLMDiskTableData::SetFieldDefs(TVLMFieldDefs& fieldDefs) {
  FieldManager = std::make_unique<TVLMBaseFieldManager>(this);
  TVLMTableData::SetFieldDefs(fieldDefs);
}

void TVLMDiskTableData::NewIndexManager() {
  IndexManager.reset();
  TemporaryPageManager_ = std::make_unique<TVLMTemporaryPageManager>(DisableTempFiles);
  TemporaryPageManager_->UseCriticalSection(DatabaseData->CriticalSection());
  IndexManager = std::make_unique<TVLMBaseIndexManager>(this, TemporaryPageManager_.get(), [](TVLMBaseIndexManager& m) {
    return std::make_unique<TVLMBTreeRecordIndex>(&m);
  });
}

void TVLMDiskTableData::SetIndexDefs(TVLMIndexDefs& indexDefs) {
  NewIndexManager();
  TVLMTableData::SetIndexDefs(indexDefs);
}

void TVLMDiskTableData::SetConstraintDefs(TVLMConstraintDefs& constraintDefs) {
  // CHECK constraints (kind 4) pass through the base's rule like the others.
  ConstraintManager = std::make_unique<TVLMBaseConstraintManager>(this);
  TVLMTableData::SetConstraintDefs(constraintDefs);
}

void TVLMDiskTableData::CreateBlobManager() {
  VLM_REQUIRE_TABLE_SECTION();
  BlobManager_.reset();
  BlobManager_ = std::make_unique<TVLMDiskBlobManager>(PageManager, DiskRecordManager(), FieldManager.get());
}

void TVLMDiskTableData::CreateManagers() {
  ForgetCounters();
  FieldManager = std::make_unique<TVLMBaseFieldManager>(this);
  NewIndexManager();
  ConstraintManager = std::make_unique<TVLMBaseConstraintManager>(this);
  RecordManager = std::make_unique<TVLMDiskRecordManager>(PageManager, TableID_, FieldManager.get());
  CreateBlobManager();
}

void TVLMDiskTableData::FreeManagers() {
  // Indexes first: they use the temporary page manager and the fields.
  IndexManager.reset();
  ConstraintManager.reset();
  BlobManager_.reset();
  RecordManager.reset();
  FieldManager.reset();
  TemporaryPageManager_.reset();
}

// ------------------------------------------------------------ table files

void TVLMDiskTableData::CreateFiles() {
  VLM_REQUIRE_TABLE_SECTION();
  LocksFile_ = std::make_unique<TVLMTableLocksFile>(DiskDatabase_->DiskPageManager());
  LocksFile_->CreateFile(DiskDatabase_->MaxSessions);
  MetaDataFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMetaData);
  MetaDataFile_->CreateFile(kVLMSystemSessionID);
  MostUpdatedFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMostUpdated);
  MostUpdatedFile_->CreateFile(kVLMSystemSessionID);
}

void TVLMDiskTableData::OpenFiles(int32_t metaDataFirstPage, int32_t mostUpdatedFirstPage, int32_t locksFirstPage) {
  VLM_REQUIRE_TABLE_SECTION();
  LocksFile_ = std::make_unique<TVLMTableLocksFile>(DiskDatabase_->DiskPageManager());
  LocksFile_->OpenFile(locksFirstPage);
  MetaDataFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMetaData);
  MetaDataFile_->OpenFile(metaDataFirstPage);
  MostUpdatedFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMostUpdated);
  MostUpdatedFile_->OpenFile(mostUpdatedFirstPage);
}

void TVLMDiskTableData::FreeFiles() {
  LocksFile_.reset();
  MetaDataFile_.reset();
  MostUpdatedFile_.reset();
}

void TVLMDiskTableData::DeleteFiles() {
  VLM_REQUIRE_TABLE_SECTION();
  LocksFile_->DeleteFile();
  MetaDataFile_->DeleteFile(kVLMSystemSessionID);
  MostUpdatedFile_->DeleteFile(kVLMSystemSessionID);
}

void TVLMDiskTableData::SaveMetaData(int32_t sessionID) {
  VLM_REQUIRE_TABLE_SECTION();
  TVLMMemoryStream stream;
  FieldManager->SaveToStream(stream);
  IndexManager->SaveToStream(stream);
  ConstraintManager->SaveToStream(stream);
  DiskRecordManager()->SaveToStream(stream);
  BlobManager_->SaveToStream(stream);
  MetaDataFile_->WriteFile(sessionID, stream.Memory(), 1, VLMCompressionZlib, static_cast<uint32_t>(stream.Size()));
}

void TVLMDiskTableData::LoadMetaData(int32_t sessionID, int32_t metaDataPage) {
  VLM_REQUIRE_TABLE_SECTION();
  TVLMDiskPageManager* pages = DiskDatabase_->DiskPageManager();
  uint32_t mark = 0;
  const bool clean = pages != nullptr && pages->ReadCommitMark(mark);
  const uint64_t view = pages != nullptr ? pages->ViewVersion() : 0;
  const auto key = std::make_pair(metaDataPage, sessionID);
  auto& copies = DiskDatabase_->MetaDataCopies;
  std::vector<uint8_t> bytes;
  if (auto found = copies.find(key); clean && found != copies.end() && found->second.Mark == mark &&
                                     found->second.View == view) {
    bytes = found->second.Bytes;
  } else {
    bytes = MetaDataFile_->ReadAll(sessionID, true);
    // Kept only when no commit was being written while it was read.
    uint32_t after = 0;
    if (clean && pages->ReadCommitMark(after) && after == mark && pages->ViewVersion() == view)
      copies[key] = {bytes, mark, view};
    else
      copies.erase(key);
  }
  TVLMMemoryStream stream;
  if (!bytes.empty()) stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream.SetPosition(0);
  bool whole = false;
  try {
    FieldManager->LoadFromStream(stream);
    IndexManager->LoadFromStream(stream);
    ConstraintManager->LoadFromStream(stream);
    DiskRecordManager()->LoadFromStream(stream);
    BlobManager_->LoadFromStream(stream);
    whole = FieldManager->FieldDefs->GetCount() > 0 && stream.Position() == stream.Size();
  } catch (const EVLMException&) {
    throw;
  } catch (const qv::Exception&) {
    // A stream that ends early: the content was cut.
  }
  if (!whole) throw EVLMException(10721, "Invalid table metadata. Table name: \"%s\"", {TableName});
}

void TVLMDiskTableData::SaveMostUpdated(int32_t sessionID) {
  VLM_REQUIRE_TABLE_SECTION();
  const int64_t capacity = MostUpdatedCapacity(FieldManager->FieldDefs->GetCount());
  if (FieldManager->AutoincValuesSize() + kVLMRecordCountersSize > capacity)
    throw EVLMException(20164, "Invalid table header data");
  std::vector<uint8_t>& buffer = MostUpdatedBytes_;
  buffer.assign(static_cast<size_t>(capacity), 0);
  int64_t offset = 0;
  FieldManager->SaveAutoincValues(buffer.data(), capacity, offset);
  DiskRecordManager()->SaveCounters(buffer.data(), capacity, offset);
  MostUpdatedFile_->WriteFile(sessionID, buffer.data(), 0, VLMCompressionNone, static_cast<uint32_t>(offset));
  LastChangeStamp_ = RecordManager->ChangeStamp;
  // What was written is the session's view now; in multi-user mode it stays
  // unshared only if it came from a load under the same exclusion.
  const uint64_t serial = CommitExclusionSerial(sessionID);
  if (CountersSession_ == sessionID && (!IsMultiUser() || (serial != 0 && serial == CountersSerial_)))
    CountersView_ = DiskDatabase_->DiskPageManager()->ViewVersion();
  else
    ForgetCounters();
  // The counters in memory are now this session's: a read of the session
  // that checked the file last may go on trusting them (its own pages
  // changed the view version); any other must load them.
  if (CheckedSession_ == sessionID) CheckedView_ = DiskDatabase_->DiskPageManager()->ViewVersion();
  else CheckedSession_ = kVLMInvalidSessionID;
}

void TVLMDiskTableData::LoadMostUpdated(int32_t sessionID) {
  VLM_REQUIRE_TABLE_SECTION();
  if (MostUpdatedFile_ == nullptr) throw EVLMException(20176, "Pointer is nil");
  // The session wrote or read them last, nothing was committed or rolled
  // back since, and no one else can have committed to the table.
  TVLMDiskTablePagesCacheManager& pagesCache = DiskDatabase_->DiskPageManager()->PagesCache;
  if (CountersCurrent(sessionID)) {
    pagesCache.SetStamp(sessionID, this, PageStamp());
    return;
  }
  ForgetCounters();
  // What is loaded here is trusted for as long as the session's lock lasts.
  CheckFinishedCommit();
  const bool changed = !pagesCache.HasStamp(sessionID, this);
  // Only a locked read vouches for what it loads (ReadWrapped); a load that
  // finds what the session already had leaves its check standing.
  const int32_t checkedSession = CheckedSession_;
  CheckedSession_ = kVLMInvalidSessionID;
  std::vector<uint8_t>& bytes = MostUpdatedBytes_;
  MostUpdatedFile_->ReadAll(sessionID, changed, bytes);
  // Nothing changes unless the whole content is sound.
  std::vector<int64_t>& counters = SavedAutoincValues_;
  counters.assign(FieldManager->AutoincValues.begin(), FieldManager->AutoincValues.end());
  auto restore = qv::ScopeExit([&] { FieldManager->AutoincValues.swap(counters); });
  int64_t offset = 0;
  const auto size = static_cast<int64_t>(bytes.size());
  FieldManager->LoadAutoincValues(bytes.data(), size, offset);
  if (static_cast<int32_t>(FieldManager->AutoincValues.size()) != FieldManager->FieldDefs->GetCount() ||
      offset + kVLMRecordCountersSize != size)
    throw EVLMException(10720, "Invalid table counters. Table name: \"%s\"", {TableName});
  const uint32_t stamp = RecordManager->ChangeStamp;
  const int64_t count = RecordManager->RecordCount;
  DiskRecordManager()->LoadCounters(bytes.data(), size, offset);
  if (RecordManager->RecordCount < 0) {
    RecordManager->ChangeStamp = stamp;
    RecordManager->RecordCount = count;
    throw EVLMException(10720, "Invalid table counters. Table name: \"%s\"", {TableName});
  }
  restore.Release();
  LastChangeStamp_ = RecordManager->ChangeStamp;
  pagesCache.SetStamp(sessionID, this, PageStamp());
  if (checkedSession == sessionID && stamp == RecordManager->ChangeStamp && count == RecordManager->RecordCount &&
      counters == FieldManager->AutoincValues)
    CheckedSession_ = sessionID;
  CountersSession_ = sessionID;
  CountersView_ = DiskDatabase_->DiskPageManager()->ViewVersion();
  CountersSerial_ = CommitExclusionSerial(sessionID);
}

// ------------------------------------------------------------ repair check

bool TVLMDiskTableData::PageIndexListsForeignPages(int32_t sessionID) {
  TVLMBTreeRecordPageIndex& index = *DiskRecordManager()->PageIndex;
  const int32_t perPage = DiskRecordManager()->RecordsPerPage;
  const int32_t bitmapBytes = (perPage + 7) / 8;
  TVLMKeyPath path;
  for (bool more = index.GoFirst(sessionID, path); more; more = index.NextEntry(sessionID, path)) {
    const auto pageNo = static_cast<int32_t>(index.GetPageNoAt(sessionID, path));
    const int32_t listed = index.GetValueAt(sessionID, path);
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, true, kVLMAnyPageType));
    if (page->GetPageType() != kVLMPageTableRecord || page->GetOwnerTableID() != TableID_) return true;
    int32_t records = 0;
    for (int32_t i = 0; i < bitmapBytes; ++i) {
      uint8_t bits = page->Data()[i];
      if (i == bitmapBytes - 1 && perPage % 8 != 0) bits &= static_cast<uint8_t>((1u << (perPage % 8)) - 1);
      records += std::popcount(bits);
    }
    if (records != listed) return true;
  }
  return false;
}

void TVLMDiskTableData::OpenFilesForRepair(int32_t metaDataFirstPage, int32_t mostUpdatedFirstPage,
                                           int32_t locksFirstPage) {
  VLM_REQUIRE_TABLE_SECTION();
  MetaDataFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMetaData);
  MetaDataFile_->OpenFile(metaDataFirstPage);
  MostUpdatedFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMostUpdated);
  MostUpdatedFile_->OpenFile(mostUpdatedFirstPage);
  LocksFile_ = std::make_unique<TVLMTableLocksFile>(DiskDatabase_->DiskPageManager());
  try {
    LocksFile_->OpenFile(locksFirstPage);
    return;
  } catch (const qv::Exception&) {
    // Made anew below.
  }
  LocksFile_ = std::make_unique<TVLMTableLocksFile>(DiskDatabase_->DiskPageManager());
  try {
    LocksFile_->CreateFile(DiskDatabase_->MaxSessions);
  } catch (...) {
    PageManager->RollbackSession(kVLMSystemSessionID);
    throw;
  }
  ListTableFiles();
}

void TVLMDiskTableData::LoadMetaDataForRepair(int32_t sessionID, int32_t metaDataFirstPage) {
  VLM_REQUIRE_TABLE_SECTION();
  // Another open's copy of the definitions proves nothing about the pages.
  DiskDatabase_->MetaDataCopies.erase(std::make_pair(metaDataFirstPage, sessionID));
  MetaDataFile_->PageType = kVLMAnyPageType;
  auto restoreType = qv::ScopeExit([&] { MetaDataFile_->PageType = kVLMPageTableMetaData; });
  uint32_t stored = 0, logical = 0;
  try {
    // The whole stream decompresses and parses, or the read raises: no
    // definitions are taken from a page whose data is damaged.
    LoadMetaData(sessionID, metaDataFirstPage);
    uint8_t algorithm = 0;
    bool fresh = false;
    MetaDataFile_->GetSize(sessionID, stored, true, fresh, algorithm, logical);
    if (algorithm == VLMCompressionNone) stored = logical;
  } catch (const qv::Exception& e) {
    throw EVLMException(10920, "The definitions of table '%s' at page %d cannot be read: %s",
                        {TableName, metaDataFirstPage, std::string(e.what())});
  }
  // The pages the definitions were read from, with their headers set right.
  const int64_t dataSize = PageManager->PageDataSize;
  const int64_t pages = (static_cast<int64_t>(stored) + kVLMInternalFileHeadSize + dataSize - 1) / dataSize;
  int32_t pageNo = metaDataFirstPage;
  for (int64_t i = 0; i < pages && pageNo >= 0; ++i) {
    TVLMHeldPage page(PageManager, PageManager->GetPage(sessionID, pageNo, true, kVLMAnyPageType));
    if (page->GetPageType() != kVLMPageTableMetaData || page->HeaderMended) {
      page->SetPageType(kVLMPageTableMetaData);
      page->HeaderMended = false;
      page->Modified = true;
      MendedOnOpen_ = true;
    }
    pageNo = page->GetNextPage();
  }
}

void TVLMDiskTableData::ListTableFiles() {
  VLM_REQUIRE_TABLE_SECTION();
  try {
    DiskDatabase_->DeleteTableEntry(TableName);
    DiskDatabase_->AddTable(TableID_, TableName, MetaDataFile_->StartPageNo, MostUpdatedFile_->StartPageNo,
                            LocksFile_->GetStartPageNo());
    PageManager->Commit(kVLMSystemSessionID);
  } catch (...) {
    PageManager->RollbackSession(kVLMSystemSessionID);
    throw;
  }
}

void TVLMDiskTableData::CheckAndRepair(TVLMCursor* cursor) {
  VLM_REQUIRE_TABLE_SECTION();
  const int32_t sessionID = VLMCursorSessionID(cursor);
  bool sound = true;
  bool countersRead = false;
  try {
    LoadMostUpdated(sessionID);
    countersRead = true;
    DiskRecordManager()->CheckPageIndex(sessionID);
    // A page of the index that never reached the disk (zeros after a crash)
    // or belongs to another table passes the sums; each listed page is
    // therefore read and counted too.
    sound = !PageIndexListsForeignPages(sessionID);
  } catch (const qv::Exception&) {
    sound = false;
  }
  if (sound) {
    if (MendedOnOpen_) Commit(sessionID, false);
    MendedOnOpen_ = false;
    return;
  }
  const int32_t recordSize = FieldManager->FieldDefs->GetStoredRecordSize();
  if (recordSize >= PageManager->PageDataSize)
    throw EVLMException(10512, "Cannot repair page index for large table. Table name: \"%s\"", {TableName});
  const std::vector<TVLMLostRecordPage> lost = DiskRecordManager()->RebuildPageIndex(sessionID);
  SaveMetaData(sessionID);
  // Counters that cannot be read go to a file of their own: the table list
  // may name a page of another structure for them, which a reset would
  // overwrite. The rows are counted again either way.
  if (countersRead) {
    MostUpdatedFile_->ResetFile(sessionID);
  } else {
    MostUpdatedFile_ = std::make_unique<TVLMInternalDBTransactedAccessFile>(PageManager, kVLMPageTableMostUpdated);
    MostUpdatedFile_->CreateFile(sessionID);
  }
  SaveMostUpdated(sessionID);
  Commit(sessionID, false);
  MendedOnOpen_ = false;
  if (!countersRead) ListTableFiles();
  for (const TVLMLostRecordPage& page : lost) {
    if (page.Kept >= 0) {
      cursor->RepairLog += qv::format(
          "Table '%s': record page %d holds %d rows where the table's page index listed %d; the rows it holds are "
          "kept",
          {TableName, page.PageNo, static_cast<long long>(page.Kept), static_cast<long long>(page.Rows)});
      cursor->RepairLog += "\r\n";
      continue;
    }
    cursor->RepairLog +=
        page.Rows >= 0
            ? qv::format("Table '%s': record page %d cannot be read and is left out; the table's page index listed "
                         "%d rows on it",
                         {TableName, page.PageNo, static_cast<long long>(page.Rows)})
            : qv::format("Table '%s': record page %d cannot be read and is left out; how many rows it held is not "
                         "known",
                         {TableName, page.PageNo});
    cursor->RepairLog += "\r\n";
  }
}

// ------------------------------------------------------------ lifecycle

void TVLMDiskTableData::Commit(int32_t sessionID, bool skip) {
  auto guard = LockGuard();
  TVLMTableData::Commit(sessionID, skip);
  if (TemporaryPageManager_ != nullptr) TemporaryPageManager_->Commit(sessionID);
}

void TVLMDiskTableData::Rollback(int32_t sessionID, bool skip) {
  auto guard = LockGuard();
  TVLMTableData::Rollback(sessionID, skip);
  if (TemporaryPageManager_ != nullptr) TemporaryPageManager_->RollbackSession(sessionID);
  if (skip || RecordManager == nullptr) return;
  // The counters in memory still count what the pages took back (the rows
  // of a statement that failed half way), and a single-user read trusts
  // them without a look at the file: they are read again now. Over another
  // connection's cut commit the session's next read loads them, or is
  // refused (as RefreshSessionCursors does).
  ForgetCounters();
  try {
    LoadMostUpdated(sessionID);
  } catch (const EVLMException& e) {
    if (e.NativeError != 10741) throw;
  }
}

void TVLMDiskTableData::CommitPages(int32_t sessionID) { PageManager->Commit(sessionID); }

void TVLMDiskTableData::RollbackPages(int32_t sessionID) { PageManager->RollbackSession(sessionID); }

void TVLMDiskTableData::CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                                    TVLMConstraintDefs& constraintDefs) {
  auto guard = LockGuard();
  if (fieldDefs.GetCount() == 0) throw EVLMException(20128, "Error creating table - no fields were specified");
  PageManager = DiskDatabase_->PageManager;
  TableName = cursor->TableName;
  DisableTempFiles = cursor->DisableTempFiles;
  TableID_ = DiskDatabase_->NextObjectID();
  DiskDatabase_->LockDatabaseTables();
  auto unlock = qv::ScopeExit([&] { DiskDatabase_->UnlockDatabaseTables(); });
  try {
    CreateFiles();
    SetFieldDefs(fieldDefs);
    SetIndexDefs(indexDefs);
    SetConstraintDefs(constraintDefs);
    CreateRecordManager();
    CreateBlobManager();
    SaveMostUpdated(kVLMSystemSessionID);
    DiskRecordManager()->CreatePageIndex();
    if (FieldManager->HasBlobFields()) BlobManager_->CreatePageIndex();
    // Without a cursor every index page belongs to session -2 and reaches
    // the file in the one commit below (invariant 1).
    IndexManager->CreateIndexes(nullptr);
    SaveMetaData(kVLMSystemSessionID);
    auto freeFiles = qv::ScopeExit([&] { FreeFiles(); });
    DiskDatabase_->AddTable(TableID_, TableName, MetaDataFile_->StartPageNo, MostUpdatedFile_->StartPageNo,
                            LocksFile_->GetStartPageNo());
  } catch (...) {
    PageManager->RollbackSession(kVLMSystemSessionID);
    FreeManagers();
    FreeFiles();
    throw;
  }
  PageManager->Commit(kVLMSystemSessionID);
}

void TVLMDiskTableData::OpenTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  const bool lockTables = !ChangingTableList_;
  if (lockTables) DiskDatabase_->LockDatabaseTables();
  auto unlock = qv::ScopeExit([&] {
    if (lockTables) DiskDatabase_->UnlockDatabaseTables();
  });
  if (!Cursors.empty() && cursor->Exclusive && !OpenedExclusive_)
    throw EVLMException(20242, "Cannot access table '%s' in exclusive mode. Table is open by another cursors",
                        {TableName});
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const TVLMRetrySettings& settings = VLMRetrySettings();
  const uint8_t type = cursor->Exclusive ? kVLMLockTableExclusive : kVLMLockTableOpen;
  auto lock = [&] {
    if (LockTable(sessionID, type, settings.TableOpenTries, settings.TableOpenDelayMs, true)) return;
    if (cursor->Exclusive)
      throw EVLMException(20208, "Cannot access table '%s' in exclusive mode. Table is open by another user",
                          {TableName});
    throw EVLMException(20209, "Cannot open table '%s'. Table is locked", {TableName});
  };
  if (Cursors.empty()) {
    PageManager = DiskDatabase_->PageManager;
    DisableTempFiles = cursor->DisableTempFiles;
    RepairMode = cursor->RepairMode;
    MendedOnOpen_ = false;
    // A repair-mode open reads past page headers that alone are damaged.
    TVLMDiskPageManager* disk = DiskDatabase_->DiskPageManager();
    const bool wasMending = disk->MendHeaderReads;
    disk->MendHeaderReads = wasMending || RepairMode;
    auto endMending = qv::ScopeExit([&] { disk->MendHeaderReads = wasMending; });
    bool locked = false;
    try {
      CheckFinishedCommit();
      int32_t metaData = 0, mostUpdated = 0, locks = 0;
      DiskDatabase_->GetTableInfo(TableName, TableID_, metaData, mostUpdated, locks);
      if (RepairMode)
        OpenFilesForRepair(metaData, mostUpdated, locks);
      else
        OpenFiles(metaData, mostUpdated, locks);
      // The definitions are read under the table lock (invariant 6): read
      // before it, another connection's index or ALTER TABLE could commit
      // between the read and the lock.
      lock();
      locked = true;
      Epoch_ = DiskDatabase_->DiskPageManager()->PagesCache.NewEpoch();
      CreateManagers();
      if (RepairMode)
        LoadMetaDataForRepair(sessionID, metaData);
      else
        LoadMetaData(sessionID, metaData);
      const TVLMFieldDefs& fields = *FieldManager->FieldDefs;
      DiskRecordManager()->Init(GetRecordBufferSize() + kVLMBookmarkAreaSize, fields.GetStoredRecordSize(),
                                fields.GetCount());
      if (RepairMode)
        CheckAndRepair(cursor);
      else
        LoadMostUpdated(sessionID);
    } catch (...) {
      if (locked) UnlockTable(sessionID, type, false);
      // Nothing a failed repair-mode open mended reaches a later commit.
      if (RepairMode) PageManager->RollbackSession(sessionID);
      FreeManagers();
      FreeFiles();
      throw;
    }
    OpenedExclusive_ = cursor->Exclusive;
    TVLMTableData::OpenTable(cursor);
  } else {
    TVLMTableData::OpenTable(cursor);
    lock();
  }
  cursor->TableLocked = true;
}

void TVLMDiskTableData::CloseTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  const bool listed = std::find(Cursors.begin(), Cursors.end(), cursor) != Cursors.end();
  // The cursor leaves, and the managers go with the last one, also when its
  // lock cannot be given back.
  auto leave = qv::ScopeExit([&] {
    TVLMTableData::CloseTable(cursor);
    if (!Cursors.empty()) return;
    // The temporary indexes go with the index manager: the closing session's
    // pages of them are scratch; another session's would be a fault.
    auto free = qv::ScopeExit([&] {
      FreeManagers();
      FreeFiles();
      OpenedExclusive_ = false;
    });
    if (TemporaryPageManager_ != nullptr) {
      TemporaryPageManager_->RollbackSession(VLMCursorSessionID(cursor));
      TemporaryPageManager_->CheckNoUncommittedPages();
    }
  });
  if (listed && LocksFile_ != nullptr && cursor->TableLocked) {
    cursor->TableLocked = false;
    UnlockTable(VLMCursorSessionID(cursor), cursor->Exclusive ? kVLMLockTableExclusive : kVLMLockTableOpen, false);
  }
}

void TVLMDiskTableData::FreeIfUnused() {
  VLM_REQUIRE_TABLE_SECTION();
  if (!Cursors.empty()) return;
  DatabaseData->FreeTableData(this);
}

void TVLMDiskTableData::WithExclusiveOpen(TVLMCursor* cursor, const std::function<void()>& body) {
  ExclusiveFlag exclusive(cursor);
  // Also when the open fails after the cursor joined the table.
  auto close = qv::ScopeExit([&] { CloseTable(cursor); });
  OpenTable(cursor);
  body();
}

void TVLMDiskTableData::DeleteTable(TVLMCursor* cursor, bool force) {
  auto guard = LockGuard();
  TVLMTableData::DeleteTable(cursor, force);
  DiskDatabase_->LockDatabaseTables();
  ChangingTableList_ = true;
  auto restore = qv::ScopeExit([&] {
    ChangingTableList_ = false;
    DiskDatabase_->UnlockDatabaseTables();
  });
  const int32_t sessionID = VLMCursorSessionID(cursor);
  try {
    WithExclusiveOpen(cursor, [&] {
      DropAllIndexes(nullptr);
      if (FieldManager->HasBlobFields()) BlobManager_->DropAll(kVLMSystemSessionID);
      RecordManager->EmptyTable(kVLMSystemSessionID);
      DiskRecordManager()->DropPageIndex(kVLMSystemSessionID);
      cursor->TableLocked = false;
      UnlockTable(sessionID, kVLMLockTableExclusive, false);
      DeleteFiles();
      FreeFiles();
    });
    DiskDatabase_->DeleteTableEntry(TableName);
    PageManager->Commit(kVLMSystemSessionID);
  } catch (...) {
    // Half a deletion must never reach the file with a later commit of -2.
    PageManager->RollbackSession(kVLMSystemSessionID);
    throw;
  }
}

void TVLMDiskTableData::EmptyTable(TVLMCursor* cursor) {
  auto guard = LockGuard();
  WithExclusiveOpen(cursor, [&] {
    const int32_t sessionID = VLMCursorSessionID(cursor);
    TVLMTableData::EmptyTable(cursor);
    if (FieldManager->HasBlobFields()) BlobManager_->FreeAllBlobs(sessionID);
    RecordManager->EmptyTable(sessionID);
    SaveMostUpdated(sessionID);
    Commit(sessionID, InTransaction(cursor));
  });
}

void TVLMDiskTableData::RenameTable(const std::string& newName, TVLMCursor* cursor) {
  auto guard = LockGuard();
  DiskDatabase_->LockDatabaseTables();
  auto unlock = qv::ScopeExit([&] { DiskDatabase_->UnlockDatabaseTables(); });
  {
    ChangingTableList_ = true;
    auto changing = qv::ScopeExit([&] { ChangingTableList_ = false; });
    // Proves that no other cursor or process has the table open.
    WithExclusiveOpen(cursor, [] {});
  }
  try {
    DiskDatabase_->RenameTableEntry(TableName, newName);
    PageManager->Commit(kVLMSystemSessionID);
  } catch (...) {
    PageManager->RollbackSession(kVLMSystemSessionID);
    throw;
  }
}

void TVLMDiskTableData::RenameField(const std::string& oldName, const std::string& newName) {
  auto guard = LockGuard();
  TVLMTableData::RenameField(oldName, newName);
  SaveMetaData(kVLMSystemSessionID);
  PageManager->Commit(kVLMSystemSessionID);
}

void TVLMDiskTableData::CreateIndex(TVLMIndexDef& indexDef, TVLMCursor* cursor) {
  auto guard = LockGuard();
  TVLMTableData::CreateIndex(indexDef, cursor);
  const int32_t sessionID = VLMCursorSessionID(cursor);
  SaveMetaData(sessionID);
  Commit(sessionID, InTransaction(cursor));
}

void TVLMDiskTableData::DropIndex(int32_t indexID, TVLMCursor* cursor) {
  auto guard = LockGuard();
  const auto* def = static_cast<const TVLMIndexDef*>(IndexManager->IndexDefs->FindByObjectID(indexID));
  const bool temporary = def != nullptr && def->Temporary;
  TVLMTableData::DropIndex(indexID, cursor);
  if (cursor == nullptr) return;
  const int32_t sessionID = VLMCursorSessionID(cursor);
  if (!temporary) SaveMetaData(sessionID);
  Commit(sessionID, InTransaction(cursor));
}

void TVLMDiskTableData::RefreshSessionCursors(int32_t sessionID) {
  auto guard = LockGuard();
  if (RecordManager == nullptr) return;
  bool readable = true;
  try {
    LoadMostUpdated(sessionID);
  } catch (const EVLMException& e) {
    // Over another connection's cut commit (invariant 8) the rollback
    // still ends: the session's next read loads the counters, or is
    // refused, and the temporary indexes are built again first.
    if (e.NativeError != 10741) throw;
    readable = false;
  }
  if (TemporaryPageManager_ != nullptr) TemporaryPageManager_->RollbackSession(sessionID);
  if (readable) TVLMTableData::RefreshSessionCursors(sessionID);
  else MarkTemporaryIndexesStale();
  if (TemporaryPageManager_ != nullptr) TemporaryPageManager_->Commit(sessionID);
}

void TVLMDiskTableData::MarkTemporaryIndexesStale() {
  const TVLMIndexDefs& defs = *IndexManager->IndexDefs;
  for (int32_t i = 0; i < defs.GetCount(); ++i)
    if (TVLMIndexDef& def = *defs.GetIndexDef(i); def.Temporary)
      def.ChangeStamp = static_cast<int32_t>(RecordManager->ChangeStamp - 1);
}

// ------------------------------------------------------------ locks

bool TVLMDiskTableData::LockTable(int32_t sessionID, uint8_t lockType, int32_t tries, uint32_t delayMs, bool flag) {
  if (!IsMultiUser()) return true;
  auto guard = LockGuard();
  if (!DiskDatabase_->TableLockManager()->LockTable(sessionID, lockType, flag, false, delayMs, tries,
                                                     Required(LocksFile_.get(), 20523)))
    return false;
  TVLMDiskTablePagesCacheManager& pagesCache = DiskDatabase_->DiskPageManager()->PagesCache;
  if (lockType == kVLMLockTableOperation) pagesCache.OperationLockTaken(sessionID, this);
  if (lockType == kVLMLockTableCommit) pagesCache.CommitLockTaken(sessionID, this);
  return true;
}

bool TVLMDiskTableData::UnlockTable(int32_t sessionID, uint8_t lockType, bool flag) {
  if (!IsMultiUser()) return true;
  auto guard = LockGuard();
  if (!DiskDatabase_->TableLockManager()->UnlockTable(sessionID, lockType, flag, false,
                                                       Required(LocksFile_.get(), 20524))) return false;
  TVLMDiskTablePagesCacheManager& pagesCache = DiskDatabase_->DiskPageManager()->PagesCache;
  if (lockType == kVLMLockTableOperation) pagesCache.OperationLockReleased(sessionID, this);
  if (lockType == kVLMLockTableCommit) pagesCache.CommitLockReleased(sessionID, this);
  return true;
}

bool TVLMDiskTableData::LockRecord(int32_t sessionID, const TVLMRecordID& recordID, int32_t tries,
                                   uint32_t delayMs) {
  if (!IsMultiUser()) return true;
  auto guard = LockGuard();
  return DiskDatabase_->TableLockManager()->LockRecord(sessionID, Required(LocksFile_.get(), 20525), delayMs,
                                                       tries, recordID);
}

bool TVLMDiskTableData::UnlockRecord(int32_t sessionID, const TVLMRecordID& recordID) {
  if (!IsMultiUser()) return true;
  auto guard = LockGuard();
  return DiskDatabase_->TableLockManager()->UnlockRecord(sessionID, Required(LocksFile_.get(), 20526), recordID);
}

bool TVLMDiskTableData::IsRecordLocked(int32_t sessionID, const TVLMRecordID& recordID) {
  if (!IsMultiUser()) return true;
  auto guard = LockGuard();
  return DiskDatabase_->TableLockManager()->IsRecordLocked(sessionID, Required(LocksFile_.get(), 20527), recordID);
}
