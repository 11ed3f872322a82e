// VLMDiskEngine, table page stamps: TVLMDiskTablePagesCacheManager, which
// keeps, per session and table, the change stamp read at the first lock of
// a locked period, so that cached pages stamped with it need no revalidation
// while the session holds the table's locks (see VLMDiskEngine.h).
#include <algorithm>
#include <iterator>
#include <memory>

#include "engine/storage/VLMDiskEngine.h"

TVLMDiskTablePagesCacheManager::SessionInfo* TVLMDiskTablePagesCacheManager::Session(int32_t sessionID,
                                                                                     bool create) {
  int64_t index = static_cast<int64_t>(sessionID) + 2;
  if (index < 0) return nullptr;
  if (index >= static_cast<int64_t>(Sessions_.size())) {
    if (!create) return nullptr;
    Sessions_.resize(static_cast<size_t>(index) + 1);
  }
  auto& slot = Sessions_[static_cast<size_t>(index)];
  if (!slot && create) slot = std::make_unique<SessionInfo>();
  return slot.get();
}

TVLMDiskTablePagesCacheManager::TableInfo* TVLMDiskTablePagesCacheManager::Table(int32_t sessionID,
                                                                                 TVLMTableData* table,
                                                                                 bool create) {
  SessionInfo* session = Session(sessionID, create);
  if (session == nullptr) return nullptr;
  for (TableInfo& info : session->Tables)
    if (info.Table == table) return &info;
  if (!create) return nullptr;
  session->Tables.push_back(TableInfo{});
  session->Tables.back().Table = table;
  return &session->Tables.back();
}

void TVLMDiskTablePagesCacheManager::Reset(TableInfo& info) {
  info.HasStamp = false;
  info.Stamp = {};
}

void TVLMDiskTablePagesCacheManager::OperationLockTaken(int32_t sessionID, TVLMTableData* table) {
  TableInfo* info = Table(sessionID, table, true);
  if (info == nullptr) return;
  if (info->OperationLockCount == 0 && info->CommitLockCount == 0) Reset(*info);
  ++info->OperationLockCount;
}

void TVLMDiskTablePagesCacheManager::OperationLockReleased(int32_t sessionID, TVLMTableData* table) {
  TableInfo* info = Table(sessionID, table, false);
  if (info == nullptr || info->OperationLockCount <= 0) return;
  if (--info->OperationLockCount == 0 && info->CommitLockCount == 0) Reset(*info);
}

void TVLMDiskTablePagesCacheManager::CommitLockTaken(int32_t sessionID, TVLMTableData* table) {
  TableInfo* info = Table(sessionID, table, true);
  if (info == nullptr) return;
  if (info->OperationLockCount == 0 && info->CommitLockCount == 0) Reset(*info);
  ++info->CommitLockCount;
}

void TVLMDiskTablePagesCacheManager::CommitLockReleased(int32_t sessionID, TVLMTableData* table) {
  TableInfo* info = Table(sessionID, table, false);
  if (info == nullptr || info->CommitLockCount <= 0) return;
  if (--info->CommitLockCount == 0 && info->OperationLockCount == 0) Reset(*info);
}

bool TVLMDiskTablePagesCacheManager::HasStamp(int32_t sessionID, TVLMTableData* table) {
  TableInfo* info = Table(sessionID, table, false);
  return info != nullptr && Locked(*info) && info->HasStamp;
}

void TVLMDiskTablePagesCacheManager::SetStamp(int32_t sessionID, TVLMTableData* table, TVLMPageStamp value) {
  // Outside a locked period another session may commit to the table at any
  // moment: a stamp seen then vouches for nothing later.
  TableInfo* info = Table(sessionID, table, false);
  if (info == nullptr || !Locked(*info) || info->HasStamp) return;  // the first stamp of a locked period wins
  info->HasStamp = true;
  info->Stamp = value;
}

void TVLMDiskTablePagesCacheManager::EnterTable(int32_t sessionID, TVLMTableData* table) {
  SessionInfo* session = Session(sessionID, true);
  if (session != nullptr) session->Entered.push_back(table);
}

void TVLMDiskTablePagesCacheManager::LeaveTable(int32_t sessionID, TVLMTableData* table) {
  SessionInfo* session = Session(sessionID, false);
  if (session == nullptr) return;
  auto it = std::find(session->Entered.rbegin(), session->Entered.rend(), table);
  if (it != session->Entered.rend()) session->Entered.erase(std::next(it).base());
}

bool TVLMDiskTablePagesCacheManager::CurrentStamp(int32_t sessionID, TVLMPageStamp& stamp) {
  SessionInfo* session = Session(sessionID, false);
  if (session == nullptr || session->Entered.empty()) return false;
  TableInfo* info = Table(sessionID, session->Entered.back(), false);
  if (info == nullptr || !Locked(*info) || !info->HasStamp) return false;
  stamp = info->Stamp;
  return true;
}
