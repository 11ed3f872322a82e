// VLMBTree, record walk part: a reader's steps through a record index, the
// state kept between them, the entries read ahead and the place found again
// by key (VLMBTreeRecordWalk.h).
#include "engine/storage/VLMBTreeRecordWalk.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"

namespace {

// A walk in index order reads its next entries ahead once it has taken this
// many steps in one direction: first this many entries, then twice as many
// each time (ReadAheadEntries), up to kAheadBytes of copied records, so that
// a short range reads ahead no more than it has walked.
constexpr int32_t kAheadAfterSteps = 4;
// A walk that has taken this many steps, or a sixteenth of the cache's
// pages if that is fewer, is a pass over the table (AheadIsPass): its reads
// ahead take pages as a scan of the cache, and entries out of page order,
// which cost a page each until there are about as many as the table has
// pages, grow their reads ahead sixteen times at a time (four times cost a
// pass over 100,000 rows in Call order a third more page reads and about a
// fifth more time). A shorter walk's pages
// stay cached, as a look-up's do, and are too few to push out the pages
// look-ups reuse.
constexpr int32_t kAheadPassSteps = 512;
constexpr size_t kAheadBytes = size_t{32} << 20;
// Entries read ahead whose records are read from their pages as the reader
// gets to them have those records readied in the processor's caches
// (PrefetchAhead) this many entries before their reads, their page objects
// twice as many and the cache's slots three times as many; not in a pass,
// whose pages come from the store in order as it reads them.
constexpr size_t kAheadPrefetch = 2;

bool AheadIsPass(int32_t steps, const TVLMPageManager* records) {
  return steps >= std::min(kAheadPassSteps, records != nullptr ? records->CacheLimit / 16 : 0);
}

}  // namespace

// ------------------------------------------------------------ step state

void TVLMIndexStepState::DropAhead(bool release) {
  Settle();
  AheadIDs.clear();
  AheadNext = 0;
  AheadPathKnown = false;
  AheadByPage = false;
  AheadPages.clear();
  AheadPageAt = AheadPagesRead = 0;
  if (!release) return;
  AheadIDs.shrink_to_fit();
  AheadPages.shrink_to_fit();
  AheadRecords.reset();
  AheadCapacity = 0;
}

void TVLMIndexStepState::StandOn(const TVLMRecordID& recordID, const uint8_t* record, size_t size, bool inAhead) {
  PriorRecord.swap(Record);
  PriorAt = RecordAt;
  PriorRecordID = RecordID;
  PriorKnown = RecordKnown;
  RecordID = recordID;
  RecordKnown = record != nullptr;
  RecordAt = nullptr;
  if (!RecordKnown) return;
  if (inAhead) {
    RecordAt = record;
    AtSize = size;
    VLM_INVARIANT("VLMBTreeRecordWalk 5", PointsIntoKept(RecordAt) && PointsIntoKept(PriorAt));
  } else {
    Record.assign(record, record + size);
  }
}

bool TVLMIndexStepState::PointsIntoKept(const uint8_t* at) const {
  if (at == nullptr) return true;
  const auto from = reinterpret_cast<uintptr_t>(AheadRecords.get());
  const auto place = reinterpret_cast<uintptr_t>(at);
  return from != 0 && place >= from && place + AtSize <= from + Stride * AheadIDs.size();
}

void TVLMIndexStepState::Settle() {
  VLM_INVARIANT("VLMBTreeRecordWalk 5", PointsIntoKept(RecordAt) && PointsIntoKept(PriorAt));
  if (RecordAt != nullptr) Record.assign(RecordAt, RecordAt + AtSize);
  if (PriorAt != nullptr) PriorRecord.assign(PriorAt, PriorAt + AtSize);
  RecordAt = PriorAt = nullptr;
}

uint8_t* TVLMIndexStepState::RecordsRoom(size_t bytes) {
  Settle();
  if (bytes > AheadCapacity) {
    AheadRecords.reset();
    AheadRecords.reset(new uint8_t[bytes]);
    AheadCapacity = bytes;
  }
  return AheadRecords.get();
}

void TVLMIndexStepState::ForgetRecords() {
  RecordKnown = PriorKnown = false;
  RecordAt = PriorAt = nullptr;
}

// ------------------------------------------------------------ the reader's steps

uint64_t TVLMBTreeRecordIndex::RecordView() const {
  TVLMPageManager* records = Table().PageManager;
  return records != nullptr ? records->ViewVersion() : 0;
}

TVLMIndexStepState* TVLMBTreeRecordIndex::KeptState(int32_t sessionID, const TVLMRecordID& recordID,
                                                    TVLMIndexPositionCache* cache) const {
  if (cache == nullptr || cache->IndexState == nullptr || cache->IndexState->Owner != this) return nullptr;
  auto& kept = static_cast<TVLMIndexStepState&>(*cache->IndexState);
  if (kept.RecordID == recordID && kept.SessionID == sessionID && kept.Stamp == Table().RecordManager->ChangeStamp &&
      kept.View == Pages()->ViewVersion() && kept.RecordView == RecordView())
    return &kept;
  return nullptr;
}

const std::vector<uint8_t>* TVLMBTreeRecordIndex::KnownRecord(int32_t sessionID, const TVLMRecordID& recordID,
                                                             TVLMIndexPositionCache* cache) const {
  if (cache == nullptr || cache->IndexState == nullptr || cache->IndexState->Owner != this) return nullptr;
  auto& kept = static_cast<TVLMIndexStepState&>(*cache->IndexState);
  if (kept.SessionID != sessionID) return nullptr;
  kept.Settle();
  const size_t size = RecordSize();
  if (kept.RecordKnown && kept.RecordID == recordID && kept.Record.size() == size) return &kept.Record;
  if (kept.PriorKnown && kept.PriorRecordID == recordID && kept.PriorRecord.size() == size) return &kept.PriorRecord;
  return nullptr;
}

bool TVLMBTreeRecordIndex::KeepsPosition(int32_t sessionID, const TVLMNavigationRequest& request,
                                         TVLMIndexPositionCache* cache) {
  if (request.Bof || request.Eof || (request.Mode != 1 && request.Mode != 2)) return false;
  const TVLMIndexStepState* kept = KeptState(sessionID, request.RecordID, cache);
  // After a change the step finds its place by the key of the record it
  // read (PlaceByKey), whatever the record's address holds now.
  if (kept == nullptr) return KnownRecord(sessionID, request.RecordID, cache) != nullptr;
  if (kept->PathKnown) return true;
  // Answered from the entries read ahead, or from the path of their last.
  const bool forward = request.Mode == 1;
  return kept->Forward == forward &&
         (kept->AheadNext < kept->AheadIDs.size() || (kept->AheadPathKnown && !kept->AheadIDs.empty()));
}

bool TVLMBTreeRecordIndex::CurrentPath(int32_t sessionID, const TVLMNavigationRequest& request,
                                       TVLMIndexPositionCache* cache, TVLMKeyPath& path) {
  if (TVLMIndexStepState* kept = KeptState(sessionID, request.RecordID, cache)) {
    if (kept->PathKnown) {
      path.Assign(kept->Path);
      return true;
    }
    if (kept->AheadPathKnown && kept->AheadNext == kept->AheadIDs.size() && !kept->AheadIDs.empty()) {
      path.Assign(kept->AheadPath);
      return true;
    }
  }
  if (cache != nullptr && cache->IndexID == IndexDef->ObjectID && cache->RecordID == request.RecordID &&
      cache->Token >= 1) {
    TVLMKeyPath digits;
    try {
      digits.SetApproxPosition(cache->Token, GetFanOut());
    } catch (const EVLMException&) {
      digits.Clear();  // a token of another tree shape
    }
    if (digits.Depth > 0 && Descend(sessionID, digits, path, false) &&
        GetRecordIDAt(sessionID, path) == request.RecordID)
      return true;
  }
  return FindKeyPath(sessionID, request.RecordID, path, request.RecordBuffer);
}

void TVLMBTreeRecordIndex::KeepPosition(TVLMIndexPositionCache* cache, const TVLMRecordID& recordID,
                                        const TVLMKeyPath* path) {
  cache->IndexID = IndexDef->ObjectID;
  cache->RecordID = recordID;
  cache->Token = -1;
  if (path == nullptr) return;
  try {
    cache->Token = path->GetApproxPosition(GetFanOut());
  } catch (const EVLMException&) {
    // Too deep for a number: the next step searches.
  }
}

void TVLMBTreeRecordIndex::NoteRecordRead(int32_t sessionID, const TVLMNavigationRequest& request,
                                          TVLMIndexPositionCache* cache) {
  if (cache == nullptr || request.RecordBuffer == nullptr) return;
  if (cache->IndexState == nullptr || cache->IndexState->Owner != this)
    cache->IndexState = std::make_unique<TVLMIndexStepState>(this);
  auto& kept = static_cast<TVLMIndexStepState&>(*cache->IndexState);
  const size_t size = RecordSize();
  kept.Settle();
  if (kept.SessionID == sessionID && kept.RecordKnown && kept.RecordID == request.RecordID) {
    // A read of the record the reader stands on (a refresh).
    kept.Record.assign(request.RecordBuffer, request.RecordBuffer + size);
    if (kept.PriorKnown && kept.PriorRecordID == request.RecordID)
      kept.PriorRecord.assign(request.RecordBuffer, request.RecordBuffer + size);
    return;
  }
  // The reader was placed on the record (a locate, a record number, a
  // bookmark): it stands on it as read now, with no path kept, and its next
  // step finds its place by that record's key whatever commits since.
  kept.DropAhead(true);
  kept.StandOn(request.RecordID, request.RecordBuffer, size);
  kept.PathKnown = false;
  kept.SessionID = sessionID;
  kept.Stamp = Table().RecordManager->ChangeStamp;
  kept.View = Pages()->ViewVersion();
  kept.RecordView = RecordView();
  kept.Steps = 0;
  kept.LastAhead = 0;
  KeepPosition(cache, request.RecordID, nullptr);
}

bool TVLMBTreeRecordIndex::StepAhead(int32_t sessionID, TVLMNavigationRequest& request,
                                     TVLMIndexPositionCache* cache) {
  if (request.Bof || request.Eof || (request.Mode != 1 && request.Mode != 2) || RootPageNo() < 0) return false;
  return AnswerAhead(sessionID, request, request.Mode == 1, cache);
}

bool TVLMBTreeRecordIndex::AnswerAhead(int32_t sessionID, TVLMNavigationRequest& request, bool forward,
                                       TVLMIndexPositionCache* cache) {
  TVLMIndexStepState* kept = KeptState(sessionID, request.RecordID, cache);
  if (kept == nullptr || kept->Forward != forward || kept->AheadNext >= kept->AheadIDs.size()) return false;
  const size_t i = kept->AheadNext++;
  const TVLMRecordID recordID = kept->AheadIDs[i];
  uint8_t result = kVLMNavOK;
  const uint8_t* copied = nullptr;
  if (kept->AheadByPage) {
    if (!AheadIsPass(kept->Steps, Table().PageManager)) PrefetchAhead(*kept, i, false);
    result = ReadAheadRecord(sessionID, *kept, recordID, request.RecordBuffer, cache);
  } else if (kept->Stride > 0) {
    copied = kept->AheadRecords.get() + kept->Stride * i;
    std::memcpy(request.RecordBuffer, copied, kept->Stride);
  }
  request.RecordID = recordID;
  request.Bof = false;
  request.Eof = false;
  request.Result = result;
  // The entries' records are BufferSize bytes apart (ReadAheadEntries).
  if (result != kVLMNavOK)
    kept->StandOn(recordID, nullptr, 0);
  else if (copied != nullptr)
    kept->StandOn(recordID, copied, kept->Stride, true);
  else
    kept->StandOn(recordID, request.RecordBuffer, kept->Stride);
  kept->PathKnown = false;
  if (result != kVLMNavOK) {
    // An entry without its record: answered as a step would answer it; the
    // entries after it are left to the steps that reach them.
    kept->DropAhead(false);
    KeepPosition(cache, recordID, nullptr);
    return true;
  }
  if (kept->Steps < INT32_MAX) ++kept->Steps;
  const bool last = kept->AheadNext == kept->AheadIDs.size();
  KeepPosition(cache, recordID, last && kept->AheadPathKnown ? &kept->AheadPath : nullptr);
  return true;
}

uint8_t TVLMBTreeRecordIndex::ReadAheadRecord(int32_t sessionID, TVLMIndexStepState& kept, const TVLMRecordID& recordID,
                                             uint8_t* buffer, TVLMIndexPositionCache* cache) {
  TVLMPageManager* records = Table().PageManager;
  const auto pageNo = static_cast<int32_t>(recordID.Page);
  while (kept.AheadPageAt < kept.AheadPages.size() && kept.AheadPages[kept.AheadPageAt] < pageNo) ++kept.AheadPageAt;
  if (records != nullptr && kept.AheadPageAt >= kept.AheadPagesRead && kept.AheadPageAt < kept.AheadPages.size()) {
    // The pages ahead, a few runs at a time, as a pass reads them.
    const size_t count = std::min<size_t>(kept.AheadPages.size() - kept.AheadPageAt,
                                          static_cast<size_t>(std::max(records->ScanLimit / 2, 1)));
    records->ReadAhead(sessionID, kept.AheadPages.data() + kept.AheadPageAt, static_cast<int32_t>(count));
    kept.AheadPagesRead = kept.AheadPageAt + count;
  }
  TVLMScanReads scan(records, AheadIsPass(kept.Steps, records));
  TVLMNavigationRequest read;
  read.RecordID = recordID;
  read.RecordBuffer = buffer;
  read.Cache = cache;
  Table().RecordManager->GetRecord(sessionID, read);
  return read.Result;
}

void TVLMBTreeRecordIndex::PrefetchAhead(const TVLMIndexStepState& kept, size_t at, bool first) const {
  // An entry on the page of the entry before it needs nothing more.
  const TVLMBaseRecordManager& records = *Table().RecordManager;
  const std::vector<TVLMRecordID>& ids = kept.AheadIDs;
  for (int32_t step = 0; step < 3; ++step) {
    const size_t lead = static_cast<size_t>(3 - step) * kAheadPrefetch;
    for (size_t q = first ? at : at + lead; q <= at + lead && q < ids.size(); ++q)
      if (q == 0 || ids[q].Page != ids[q - 1].Page) records.PrefetchRecord(ids[q], step);
  }
}

void TVLMBTreeRecordIndex::ReadAheadEntries(int32_t sessionID, TVLMIndexStepState& kept) {
  TVLMBaseRecordManager& records = *Table().RecordManager;
  kept.DropAhead(false);
  kept.Stride = static_cast<size_t>(std::max(Table().FieldManager->Layout().BufferSize, 0));
  const size_t byBytes = kept.Stride > 0 ? kAheadBytes / kept.Stride : kAheadBytes;
  // Half the table at the most: a walk over many entries reads the record
  // pages a few times rather than keeping them all.
  const size_t byTable = static_cast<size_t>(std::max<int64_t>(records.RecordCount / 2, kAheadAfterSteps));
  const bool pass = AheadIsPass(kept.Steps, Table().PageManager);
  const size_t growth = pass && !kept.LastByPage ? 16 : 2;
  const size_t wanted = std::max<size_t>(std::min({kept.LastAhead * growth, byBytes, byTable}),
                                         static_cast<size_t>(kAheadAfterSteps));
  kept.LastAhead = wanted;
  // The entries: the leaf each lies on taken once.
  TVLMPageManager* pages = Pages();
  TVLMScanReads scan(pages, pass);
  TVLMKeyPath walk;
  walk.Assign(kept.Path);
  {
    TVLMBTreePagePtr leaf;
    int32_t leafNo = -1;
    const int32_t leafLevel = walk.Depth - 1;
    while (kept.AheadIDs.size() < wanted && (kept.Forward ? NextEntry(sessionID, walk) : PriorEntry(sessionID, walk))) {
      const TVLMKeyPathLevel& level = walk.Levels[leafLevel];
      if (level.PageNo != leafNo) {
        leaf.reset();
        leaf = TVLMBTreePage::Load(pages, &KeyRef, sessionID, level.PageNo, TVLMBTreePlace::AtLevel(leafLevel, 1));
        leafNo = level.PageNo;
      }
      if (level.EntryNo < 0 || level.EntryNo >= leaf->GetEntryCount())
        throw EVLMException(20068, "Index error: invalid position");
      kept.AheadIDs.push_back(VLMGetRecordID(leaf->EntryValue(level.EntryNo)));
    }
  }
  if (kept.AheadIDs.empty()) return;
  // Records in page order are read from their pages as the reader gets to
  // them, and so are those of a walk that is not a pass: they are few, the
  // walk may stop before it gets to them, and readied a few entries ahead
  // (PrefetchAhead) they cost no more to read then than to copy now. Only a
  // pass copies records out of page order, each page taken once.
  if (records.ReadsByPage()) {
    bool byPage = true;
    for (size_t i = 1; i < kept.AheadIDs.size() && byPage; ++i)
      byPage = static_cast<int32_t>(kept.AheadIDs[i - 1].Page) <= static_cast<int32_t>(kept.AheadIDs[i].Page);
    kept.LastByPage = byPage;
    if (byPage || !pass) {
      kept.AheadByPage = true;
      if (byPage)
        for (const TVLMRecordID& id : kept.AheadIDs)
          if (kept.AheadPages.empty() || kept.AheadPages.back() != static_cast<int32_t>(id.Page))
            kept.AheadPages.push_back(static_cast<int32_t>(id.Page));
      kept.AheadPathKnown = true;
      kept.AheadPath.Assign(walk);
      if (!pass) PrefetchAhead(kept, 0, true);
      return;
    }
  }
  kept.LastByPage = false;
  // Their records, each record page taken once.
  TVLMScanReads recordScan(Table().PageManager, pass);
  uint8_t* room = kept.RecordsRoom(std::max<size_t>(kept.Stride * kept.AheadIDs.size(), 1));
  const auto read = static_cast<size_t>(records.ReadRecords(
      sessionID, kept.AheadIDs.data(), static_cast<int32_t>(kept.AheadIDs.size()), room, kept.Stride));
  kept.AheadPathKnown = read == kept.AheadIDs.size();
  if (kept.AheadPathKnown) kept.AheadPath.Assign(walk);
  // An entry whose record cannot be read, and those after it, are left to
  // the step that reaches them (which reports it).
  kept.AheadIDs.resize(read);
}

void TVLMBTreeRecordIndex::Answer(int32_t sessionID, TVLMNavigationRequest& request, bool found,
                                  const TVLMKeyPath& path, bool forward, TVLMIndexPositionCache* cache) {
  // The steps in a row so far, when this one goes on from the kept state.
  TVLMIndexStepState* previous = KeptState(sessionID, request.RecordID, cache);
  const int32_t steps = previous != nullptr && previous->Forward == forward && !request.Bof && !request.Eof
                            ? previous->Steps
                            : 0;
  if (!found) {
    request.Result = forward ? kVLMNavEOF : kVLMNavBOF;
    request.Eof = forward;
    request.Bof = !forward;
    // The walk ended: what it kept ahead goes.
    if (previous != nullptr) previous->DropAhead(true);
    return;
  }
  TVLMNavigationRequest read;
  read.RecordID = GetRecordIDAt(sessionID, path);
  read.RecordBuffer = request.RecordBuffer;
  read.Cache = cache;
  Table().RecordManager->GetRecord(sessionID, read);
  request.RecordID = read.RecordID;
  request.Bof = false;
  request.Eof = false;
  request.Result = read.Result;
  if (cache == nullptr) return;
  if (cache->IndexState == nullptr || cache->IndexState->Owner != this)
    cache->IndexState = std::make_unique<TVLMIndexStepState>(this);
  auto& kept = static_cast<TVLMIndexStepState&>(*cache->IndexState);
  kept.Path.Assign(path);
  kept.PathKnown = true;
  kept.StandOn(read.RecordID, read.Result == kVLMNavOK ? request.RecordBuffer : nullptr, RecordSize());
  kept.SessionID = sessionID;
  kept.Stamp = Table().RecordManager->ChangeStamp;
  kept.View = Pages()->ViewVersion();
  kept.RecordView = RecordView();
  kept.Forward = forward;
  kept.Steps = steps < INT32_MAX ? steps + 1 : steps;
  if (steps == 0) kept.LastAhead = 0;
  KeepPosition(cache, read.RecordID, &path);
  if (read.Result != kVLMNavOK || kept.Steps < kAheadAfterSteps) {
    kept.DropAhead(steps == 0);
    return;
  }
  // A walk that goes on: the entries ahead with their records, more than
  // last time. What cannot be read ahead is left to the steps that reach it.
  try {
    ReadAheadEntries(sessionID, kept);
  } catch (const std::exception&) {
    kept.DropAhead(true);
  }
}

size_t TVLMBTreeRecordIndex::RecordSize() const {
  return static_cast<size_t>(std::max(Table().FieldManager->Layout().BufferSize, 0));
}

int32_t TVLMBTreeRecordIndex::CompareWithEntryAt(int32_t sessionID, const TVLMKeyPath& path, const uint8_t* key,
                                                 const uint8_t* value) {
  const TVLMKeyPathLevel& level = path.Levels[path.Depth - 1];
  TVLMBTreePagePtr leaf =
      TVLMBTreePage::Load(Pages(), &KeyRef, sessionID, level.PageNo, TVLMBTreePlace::AtLevel(path.Depth - 1, 1));
  if (level.EntryNo < 0 || level.EntryNo >= leaf->GetEntryCount())
    throw EVLMException(20068, "Index error: invalid position");
  const uint8_t* entry = leaf->EntryKey(level.EntryNo);
  const int32_t order = KeyRef.Compare(key, entry, leaf->EntryValue(level.EntryNo), nullptr, sessionID, true);
  return order != 0 ? order : TVLMBTreeKeyRef::CompareValues(value, leaf->EntryValue(level.EntryNo), KeyRef.ValueSize);
}

bool TVLMBTreeRecordIndex::PlaceByKey(int32_t sessionID, const std::vector<uint8_t>& kept,
                                      const TVLMRecordID& recordID, bool forward, TVLMKeyPath& path) {
  bool exact = false;
  if (!FindPlace(sessionID, recordID, path, kept.data(), forward, exact)) return false;
  const bool found = !exact || (forward ? NextEntry(sessionID, path) : PriorEntry(sessionID, path));
#if VLM_DEBUG_CHECKS
  if (found) {
    // The entry answered lies strictly beyond (anchor key, anchor ID).
    const std::vector<uint8_t> record(kept);
    uint8_t value[kVLMRecordIDSize];
    VLMPutRecordID(value, recordID);
    const int32_t order = CompareWithEntryAt(sessionID, path, MakeKey(record.data()), value);
    VLM_INVARIANT("VLMBTreeRecordWalk 3", forward ? order < 0 : order > 0);
  }
#endif
  return found;
}

bool TVLMBTreeRecordIndex::FindPlace(int32_t sessionID, const TVLMRecordID& recordID, TVLMKeyPath& path,
                                     const uint8_t* recordBuffer, bool forward, bool& exact) {
  // The key is compared exactly (a text kept in part by the rest of its
  // value): it is made from a copy the comparisons read while the search
  // lasts.
  const std::vector<uint8_t> record(recordBuffer, recordBuffer + RecordSize());
  uint8_t value[kVLMRecordIDSize];
  VLMPutRecordID(value, recordID);
  const uint8_t* key = MakeKey(record.data());
  path.Clear();
  {
    TVLMBTreePagePtr root = LoadRoot(sessionID, 20124);
    exact = root->FindEntry(sessionID, key, path, value);
  }
  if (exact) return true;
  // The entry left the index (the record was deleted or its key changed):
  // the nearest entry beyond (key, record ID) in the direction, as entries
  // of equal keys lie in the order of their record IDs.
  path.Clear();
  bool found = false;
  {
    TVLMBTreePagePtr root = LoadRoot(sessionID, 20124);
    found = root->FindByCondition(sessionID, forward, path,
                                  forward ? kVLMSearchGreaterOrEqual : kVLMSearchLessOrEqual, key);
  }
  while (found && (forward ? CompareWithEntryAt(sessionID, path, key, value) >= 0
                           : CompareWithEntryAt(sessionID, path, key, value) <= 0))
    found = forward ? NextEntry(sessionID, path) : PriorEntry(sessionID, path);
  return found;
}

void TVLMBTreeRecordIndex::GetRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t,
                                     TVLMIndexPositionCache* positionCache) {
  if (RootPageNo() < 0) throw EVLMException(20123, "Invalid page number");
  TVLMKeyPath path;
  if (request.Bof || request.Eof) {
    if (!(request.Bof ? GoFirst(sessionID, path) : GoLast(sessionID, path))) {
      request.Result = kVLMNavError;
      return;
    }
    Answer(sessionID, request, true, path, request.Bof, positionCache);
    return;
  }
  if (request.Mode != 1 && request.Mode != 2)
    throw EVLMException(20053, "Invalid 'get record' mode for index: grmCurrent");
  const bool forward = request.Mode == 1;
  if (AnswerAhead(sessionID, request, forward, positionCache)) return;
  if (KeptState(sessionID, request.RecordID, positionCache) == nullptr) {
    if (const std::vector<uint8_t>* known = KnownRecord(sessionID, request.RecordID, positionCache)) {
      // The table changed since the step that read the record (another
      // connection's commit, say): what was kept of the tree, or read ahead,
      // may be gone, and the record's address may hold another record now.
      const bool found = PlaceByKey(sessionID, *known, request.RecordID, forward, path);
      Answer(sessionID, request, found, path, forward, positionCache);
      return;
    }
  }
  if (!CurrentPath(sessionID, request, positionCache, path)) {
    request.Result = kVLMNavError;
    return;
  }
  const bool stepped = forward ? NextEntry(sessionID, path) : PriorEntry(sessionID, path);
  Answer(sessionID, request, stepped, path, forward, positionCache);
}

bool TVLMBTreeRecordIndex::PassEntries(int32_t sessionID,
                                       const std::function<bool(const TVLMRecordID&, const TVLMKeyPath&)>& visit) {
  TVLMKeyPath path;
  if (!GoFirst(sessionID, path)) return false;
  const int32_t leafLevel = path.Depth - 1;
  std::unordered_set<int32_t> seen;
  for (;;) {
    TVLMKeyPathLevel& level = path.Levels[leafLevel];
    {
      // The leaf's entries under one take of its page; the path is the
      // step's own, its leaf entry moved along.
      TVLMBTreePagePtr leaf = ChainLeaf(sessionID, level.PageNo, leafLevel, seen);
      const int32_t count = leaf->GetEntryCount();
      for (int32_t entry = std::max(level.EntryNo, 0); entry < count; ++entry) {
        level.EntryNo = entry;
        if (visit(VLMGetRecordID(leaf->EntryValue(entry)), path)) return true;
      }
      level.EntryCount = count;
      level.EntryNo = std::max(count - 1, 0);
    }
    if (!NextEntry(sessionID, path)) return false;
  }
}

void TVLMBTreeRecordIndex::LocateRecord(int32_t sessionID, TVLMNavigationRequest& request, uint32_t,
                                        TVLMIndexPositionCache* positionCache) {
  if (RootPageNo() < 0) throw EVLMException(20293, "Invalid page number");
  const bool forward = request.Mode != 2;
  TVLMKeyPath path;
  bool found = false;
  {
    TVLMBTreePagePtr root = LoadRoot(sessionID, 20293);
    found = root->FindByCondition(sessionID, forward, path, forward ? kVLMSearchGreater : kVLMSearchLess,
                                  MakeKey(request.RecordBuffer));
  }
  Answer(sessionID, request, found, path, forward, positionCache);
}
