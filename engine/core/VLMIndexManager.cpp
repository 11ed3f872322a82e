#include "engine/core/VLMIndexManager.h"

#include <algorithm>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

int32_t VLMCursorSessionID(const TVLMCursor* cursor) {
  return cursor != nullptr && cursor->Session != nullptr ? cursor->Session->SessionID : kVLMEngineSessionID;
}

// ----------------------------------------------------------------- TVLMIndex

TVLMIndex::TVLMIndex(TVLMBaseIndexManager* indexManager) : IndexManager(indexManager) {}

TVLMIndex::~TVLMIndex() = default;

bool TVLMIndex::ProbeEqual(int32_t sessionID, const TVLMScanSearchCondition& key,
                           std::unique_ptr<TVLMEngineReadState>* kept,
                           const std::function<bool(const TVLMRecordID&)>& visit) {
  static_cast<void>(kept);
  TVLMIndexWalk* walk = CreateWalk();
  auto release = qv::ScopeExit([&] { FreeWalk(walk); });
  TVLMRecordID recordID;
  for (bool first = true; FindNextInRange(sessionID, first, walk, recordID, nullptr, nullptr, &key, true);
       first = false)
    if (visit(recordID)) return true;
  return false;
}

void TVLMIndex::TakeDefinition(const TVLMIndexDef& indexDef) {
  if (IndexDef.get() == &indexDef) return;
  auto copy = std::make_unique<TVLMIndexDef>();
  copy->Assign(indexDef);
  IndexDef = std::move(copy);
}

void TVLMIndex::CreateIndex(TVLMCursor*, const TVLMIndexDef& indexDef) { TakeDefinition(indexDef); }

void TVLMIndex::OpenIndex(const TVLMIndexDef& indexDef) { TakeDefinition(indexDef); }

// ------------------------------------------------------ TVLMBaseIndexManager

TVLMBaseIndexManager::TVLMBaseIndexManager(TVLMTableData* tableData, TVLMPageManager* temporaryPageManager,
                                           TVLMIndexFactory newIndex)
    : TableData(tableData),
      IndexDefs(std::make_unique<TVLMIndexDefs>()),
      PageManager(tableData != nullptr ? tableData->PageManager : nullptr),
      TemporaryPageManager(temporaryPageManager),
      NewIndex_(std::move(newIndex)) {}

TVLMBaseIndexManager::~TVLMBaseIndexManager() {
  OpenIndexes.clear();
  if (UpdateOldRecord_ != nullptr) VLMMemoryManager().FreeMem(UpdateOldRecord_);
}

void TVLMBaseIndexManager::LoadFromStream(qv::Stream& stream) { IndexDefs->LoadFromStream(stream); }

void TVLMBaseIndexManager::SaveToStream(qv::Stream& stream) const { IndexDefs->SaveToStream(stream); }

void TVLMBaseIndexManager::SetIndexDefs(const TVLMIndexDefs& indexDefs) { IndexDefs->Assign(indexDefs); }

TVLMPageManager* TVLMBaseIndexManager::GetPageManager(const TVLMIndex& index) const {
  return index.IndexDef != nullptr && index.IndexDef->Temporary ? TemporaryPageManager : PageManager;
}

bool TVLMBaseIndexManager::FindIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                              int32_t sessionID, const qv::StringList& caseOptions) const {
  return FindIndexIDForFields(fieldNames, directions, sessionID, caseOptions) != -1;
}

int32_t TVLMBaseIndexManager::FindIndexIDForFields(const qv::StringList& fieldNames,
                                                   const qv::StringList& directions, int32_t sessionID,
                                                   const qv::StringList& caseOptions) const {
  return IndexDefs->FindIndexForFields(&fieldNames, &directions, TableData->GetIndexedFieldDefs(), sessionID,
                                       &caseOptions);
}

void TVLMBaseIndexManager::RenameFieldInIndexes(std::string_view oldName, const std::string& newName) {
  const std::string wanted = qv::UpperCase1252(oldName);
  auto rename = [&](TVLMIndexDef& def) {
    for (int32_t c = 0; c < def.GetColumnCount(); ++c)
      if (qv::UpperCase1252(def.GetColumn(c).Name) == wanted) def.GetColumn(c).Name = newName;
  };
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) rename(*IndexDefs->GetIndexDef(i));
  for (const auto& index : OpenIndexes)
    if (index->IndexDef) rename(*index->IndexDef);
}

TVLMIndexDef& TVLMBaseIndexManager::DefinitionOf(int32_t indexID) const {
  auto* def = static_cast<TVLMIndexDef*>(IndexDefs->FindByObjectID(indexID));
  if (def == nullptr) throw EVLMException(20018, "Index not found");
  return *def;
}

std::unique_ptr<TVLMIndex> TVLMBaseIndexManager::NewIndex() {
  if (!NewIndex_) throw EVLMException(30661, "Pointer is nil");
  return NewIndex_(*this);
}

TVLMIndex* TVLMBaseIndexManager::FindOpenIndex(int32_t indexID) const {
  for (const auto& index : OpenIndexes)
    if (index->IndexDef && index->IndexDef->ObjectID == indexID) return index.get();
  return nullptr;
}

TVLMIndex* TVLMBaseIndexManager::GetIndex(int32_t indexID) {
  TVLMIndex* index = FindOpenIndex(indexID);
  return index != nullptr ? index : OpenIndex(indexID);
}

TVLMIndex* TVLMBaseIndexManager::OpenIndex(int32_t indexID) {
  const TVLMIndexDef& def = DefinitionOf(indexID);
  std::unique_ptr<TVLMIndex> index = NewIndex();
  index->OpenIndex(def);
  OpenIndexes.push_back(std::move(index));
  return OpenIndexes.back().get();
}

void TVLMBaseIndexManager::CloseIndex(int32_t indexID) {
  auto it = std::find_if(OpenIndexes.begin(), OpenIndexes.end(), [indexID](const auto& index) {
    return index->IndexDef && index->IndexDef->ObjectID == indexID;
  });
  if (it != OpenIndexes.end()) OpenIndexes.erase(it);
}

int32_t TVLMBaseIndexManager::CreateIndex(TVLMCursor* cursor, TVLMIndexDef& indexDef) {
  indexDef.ObjectID = TableData->DatabaseData->NextObjectID();
  TVLMIndexDef* stored = IndexDefs->AddIndexDef();
  stored->Assign(indexDef);
  try {
    BuildIndex(cursor, *stored);
  } catch (...) {
    // An index that could not be built (a unique one over repeated keys)
    // leaves no definition behind.
    IndexDefs->Delete(IndexDefs->IndexOfObjectID(indexDef.ObjectID));
    throw;
  }
  return indexDef.ObjectID;
}

void TVLMBaseIndexManager::BuildIndex(TVLMCursor* cursor, const TVLMIndexDef& indexDef) {
  std::unique_ptr<TVLMIndex> index = NewIndex();
  try {
    index->CreateIndex(cursor, indexDef);
  } catch (...) {
    // The pages of a tree filled part-way go back to the table.
    if (index->IndexDef && index->IndexDef->RootPageNo != -1) {
      try {
        index->DropIndex(VLMCursorSessionID(cursor));
      } catch (const std::exception&) {
        // The build's own error says more.
      }
    }
    throw;
  }
  DefinitionOf(indexDef.ObjectID).RootPageNo = index->IndexDef->RootPageNo;
}

void TVLMBaseIndexManager::CreateIndexes(TVLMCursor* cursor) {
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) BuildIndex(cursor, *IndexDefs->GetIndexDef(i));
}

void TVLMBaseIndexManager::DropIndex(int32_t sessionID, int32_t indexID) {
  GetIndex(indexID)->DropIndex(sessionID);
  CloseIndex(indexID);
  IndexDefs->Delete(IndexDefs->IndexOfObjectID(indexID));
}

void TVLMBaseIndexManager::EmptyIndex(int32_t sessionID, int32_t indexID) {
  GetIndex(indexID)->EmptyIndex(sessionID);
  CloseIndex(indexID);
}

void TVLMBaseIndexManager::EmptyAllIndexes(int32_t sessionID) {
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) EmptyIndex(sessionID, IndexDefs->GetIndexDef(i)->ObjectID);
}

void TVLMBaseIndexManager::AdvanceStamps() {
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) ++IndexDefs->GetIndexDef(i)->ChangeStamp;
}

void TVLMBaseIndexManager::NoteRootPage(TVLMIndexDef& def, const TVLMIndex& index) {
  if (index.IndexDef && index.IndexDef->RootPageNo != def.RootPageNo) def.RootPageNo = index.IndexDef->RootPageNo;
}

void TVLMBaseIndexManager::InsertRecord(TVLMCursor* cursor) {
  // The writer's next step goes on from its record as written (read again).
  cursor->PositionCache.ForgetRecords();
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) {
    TVLMIndexDef& def = *IndexDefs->GetIndexDef(i);
    TVLMIndex* index = GetIndex(def.ObjectID);
    index->InsertRecord(cursor);
    ++def.ChangeStamp;
    NoteRootPage(def, *index);
  }
}

uint8_t* TVLMBaseIndexManager::ReadStoredRecord(TVLMCursor* cursor) {
  TVLMBaseRecordManager& records = *TableData->RecordManager;
  auto* buffer = static_cast<uint8_t*>(VLMMemoryManager().AllocMem(std::max(records.RecordBufferSize, 1)));
  TVLMNavigationRequest request;
  request.Mode = 0;
  request.RecordID = cursor->Position.RecordID;
  request.RecordBuffer = buffer;
  records.GetRecord(VLMCursorSessionID(cursor), request);
  if (request.Result != kVLMNavOK) VLMMemoryManager().FreeMem(buffer);
  return buffer;
}

void TVLMBaseIndexManager::UpdateRecord(TVLMCursor* cursor, bool removePhase) {
  cursor->PositionCache.ForgetRecords();
  if (removePhase) {
    if (UpdateOldRecord_ != nullptr) VLMMemoryManager().FreeMem(UpdateOldRecord_);
    UpdateOldRecord_ = ReadStoredRecord(cursor);
    if (UpdateOldRecord_ == nullptr) return;
  } else if (UpdateOldRecord_ == nullptr) {
    return;
  }
  // The stored record stands for the record as it was, whatever the
  // cursor's old buffer holds.
  uint8_t* oldBuffer = cursor->OldRecordBuffer;
  cursor->OldRecordBuffer = UpdateOldRecord_;
  auto restore = qv::ScopeExit([&] {
    cursor->OldRecordBuffer = oldBuffer;
    if (!removePhase) VLMMemoryManager().FreeMem(UpdateOldRecord_);
  });
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) {
    TVLMIndexDef& def = *IndexDefs->GetIndexDef(i);
    TVLMIndex* index = GetIndex(def.ObjectID);
    index->UpdateRecord(cursor, removePhase);
    if (!removePhase) {
      ++def.ChangeStamp;
      NoteRootPage(def, *index);
    }
  }
}

void TVLMBaseIndexManager::DeleteRecord(TVLMCursor* cursor) {
  uint8_t* stored = ReadStoredRecord(cursor);
  if (stored == nullptr) return;
  uint8_t* current = cursor->RecordBuffer;
  cursor->RecordBuffer = stored;
  auto restore = qv::ScopeExit([&] {
    cursor->RecordBuffer = current;
    VLMMemoryManager().FreeMem(stored);
  });
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) {
    TVLMIndexDef& def = *IndexDefs->GetIndexDef(i);
    TVLMIndex* index = GetIndex(def.ObjectID);
    index->DeleteRecord(cursor);
    NoteRootPage(def, *index);
  }
  AdvanceStamps();
}

void TVLMBaseIndexManager::NavigateIndex(int32_t sessionID, TVLMNavigationRequest& request, uint32_t changeStamp,
                                         TVLMIndexPositionCache* positionCache) {
  TVLMIndex* index = GetIndex(request.IndexID);
  if (!request.Bof && !request.Eof && !index->KeepsPosition(sessionID, request, positionCache)) {
    TVLMNavigationRequest current = request;
    current.Mode = 0;
    TableData->RecordManager->GetRecord(sessionID, current);
    if (current.Result == kVLMNavError) {
      index->LocateRecord(sessionID, request, changeStamp, positionCache);
      return;
    }
  }
  index->GetRecord(sessionID, request, changeStamp, positionCache);
}

int32_t TVLMBaseIndexManager::CreateTemporaryIndex(TVLMCursor* cursor, const qv::StringList& fieldNames,
                                                   const qv::StringList& directions,
                                                   const qv::StringList& caseOptions) {
  TVLMIndexDef def;
  do {
    def.Name = VLMNewGUIDName("TEMPORARY_INDEX_");
  } while (IndexDefs->IndexOfName(def.Name) >= 0);
  def.Temporary = true;
  def.Kind = 0;
  def.Unique = false;
  def.Primary = false;
  def.SetColumns(fieldNames, directions, caseOptions);
  def.SessionID = VLMCursorSessionID(cursor);
  def.ChangeStamp = static_cast<int32_t>(TableData->RecordManager->ChangeStamp);
  return CreateIndex(cursor, def);
}

int32_t TVLMBaseIndexManager::FindOrCreateTemporaryIndex(TVLMCursor* cursor, const qv::StringList& fieldNames,
                                                         bool& created, const qv::StringList& directions,
                                                         const qv::StringList& caseOptions) {
  const int32_t sessionID = VLMCursorSessionID(cursor);
  const int32_t found = FindIndexIDForFields(fieldNames, directions, sessionID, caseOptions);
  created = found == -1;
  return created ? CreateTemporaryIndex(cursor, fieldNames, directions, caseOptions) : found;
}

void TVLMBaseIndexManager::RefreshTemporaryIndexes(TVLMCursor* cursor, bool& rebuilt) {
  rebuilt = false;
  if (Refreshing) return;
  const uint32_t stamp = TableData->RecordManager->ChangeStamp;
  for (int32_t i = 0; i < IndexDefs->GetCount(); ++i) {
    TVLMIndexDef& def = *IndexDefs->GetIndexDef(i);
    if (!def.Temporary || static_cast<uint32_t>(def.ChangeStamp) == stamp) continue;
    Refreshing = true;
    auto clear = qv::ScopeExit([&] { Refreshing = false; });
    TVLMIndex* index = GetIndex(def.ObjectID);
    index->RebuildIndex(cursor);
    NoteRootPage(def, *index);
    def.ChangeStamp = static_cast<int32_t>(stamp);
    rebuilt = true;
  }
}
