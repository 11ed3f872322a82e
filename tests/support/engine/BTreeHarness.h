// What the B-tree benchmark and the B-tree tests drive the engine's trees
// with: the page manager that keeps its pages in memory, a table of record
// buffers that the key references read back, and a small driver for one
// record-key tree. Plain code without a test framework, so both may use it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/storage/VLMBTree.h"
#include "engine/storage/VLMMemEngine.h"

namespace btree_harness {

// The memory engine's page store, with disk-shaped pages (a 40-byte header)
// unless a caller asks for another header. Freed page numbers are handed out
// again, lowest first.
class MemoryPageManager : public TVLMMemoryPageManager {
public:
  explicit MemoryPageManager(uint16_t pageSize, uint16_t headerSize = kVLMPageHeaderSize)
      : TVLMMemoryPageManager(pageSize, headerSize) {}
  int32_t UsedPages() const { return GetAllocatedCount(); }
};

inline uint64_t RecordKey(const TVLMRecordID& id) { return (static_cast<uint64_t>(id.Page) << 16) | id.Row; }

// A table: field definitions and record buffers by record ID.
class TestTable : public TVLMKeyTableAccess {
public:
  int32_t AddField(const std::string& name, TVLMDataType type, int32_t size = 0) {
    TVLMFieldDef* f = Fields.AddFieldDef();
    f->Name = name;
    f->SetDataType(type, size);
    Fields.CalculateOffsets();
    BufferSize = Fields.GetRecordBufferSize() + 7;
    return Fields.GetCount() - 1;
  }
  std::vector<uint8_t> NewRecord() const { return std::vector<uint8_t>(static_cast<size_t>(BufferSize), 0); }
  void SetNull(std::vector<uint8_t>& rec, int32_t fieldNo) const {
    const TVLMFieldDef* f = Fields.GetFieldDef(fieldNo);
    VLMSetBit(true, fieldNo, rec.data());
    std::memset(rec.data() + f->BufferOffset, 0, static_cast<size_t>(f->DataSize));
  }
  void SetInt(std::vector<uint8_t>& rec, int32_t fieldNo, int32_t v) const {
    const TVLMFieldDef* f = Fields.GetFieldDef(fieldNo);
    VLMSetBit(false, fieldNo, rec.data());
    VLMPutI32LE(rec.data() + f->BufferOffset, v);
  }
  void SetString(std::vector<uint8_t>& rec, int32_t fieldNo, const std::string& v) const {
    const TVLMFieldDef* f = Fields.GetFieldDef(fieldNo);
    VLMSetBit(false, fieldNo, rec.data());
    uint8_t* p = rec.data() + f->BufferOffset;
    std::memset(p, 0, static_cast<size_t>(f->DataSize));
    std::memcpy(p, v.data(), std::min<size_t>(v.size(), static_cast<size_t>(f->DataSize - 1)));
  }
  void SetWide(std::vector<uint8_t>& rec, int32_t fieldNo, const std::u16string& v) const {
    const TVLMFieldDef* f = Fields.GetFieldDef(fieldNo);
    VLMSetBit(false, fieldNo, rec.data());
    uint8_t* p = rec.data() + f->BufferOffset;
    std::memset(p, 0, static_cast<size_t>(f->DataSize));
    for (size_t i = 0; i < v.size() && 2 * i + 3 < static_cast<size_t>(f->DataSize) + 1; ++i) {
      p[2 * i] = static_cast<uint8_t>(v[i]);
      p[2 * i + 1] = static_cast<uint8_t>(v[i] >> 8);
    }
  }
  void Store(const TVLMRecordID& id, const std::vector<uint8_t>& rec) { Records[RecordKey(id)] = rec; }
  void Remove(const TVLMRecordID& id) { Records.erase(RecordKey(id)); }

  TVLMFieldDefs* GetIndexedFieldDefs() override { return &Fields; }
  bool ReadIndexedRecord(int32_t, const TVLMRecordID& id, uint8_t* buffer) override {
    ++RecordReads;
    auto it = Records.find(RecordKey(id));
    if (it == Records.end()) return false;
    std::memcpy(buffer, it->second.data(), it->second.size());
    return true;
  }

  TVLMFieldDefs Fields;
  int32_t BufferSize = 0;
  std::unordered_map<uint64_t, std::vector<uint8_t>> Records;
  int64_t RecordReads = 0;
};

struct KeyColumn {
  std::string Name;
  bool Descending = false;
  bool CaseInsensitive = false;
  int32_t LengthLimit = kVLMDefaultKeyLengthLimit;
};

inline std::unique_ptr<TVLMIndexDef> MakeIndexDef(const std::vector<KeyColumn>& columns) {
  auto def = std::make_unique<TVLMIndexDef>();
  def->Name = "IDX";
  def->SetColumnCount(static_cast<int32_t>(columns.size()));
  for (size_t i = 0; i < columns.size(); ++i) {
    TVLMIndexColumn& c = def->GetColumn(static_cast<int32_t>(i));
    c.Name = columns[i].Name;
    c.Descending = columns[i].Descending;
    c.CaseInsensitive = columns[i].CaseInsensitive;
    c.LengthLimit = columns[i].LengthLimit;
  }
  return def;
}

// One record-key tree on a page manager, as a record index drives it.
class RecordTree {
public:
  RecordTree(TVLMPageManager& pm, TestTable& table, const TVLMIndexDef& def, int32_t session = 0)
      : PM(pm), Session(session) {
    KeyRef.Build(def, &table);
    KeyRef.ValueSize = kVLMRecordIDSize;
    Key_.assign(static_cast<size_t>(KeyRef.KeySize), 0);
    TVLMBTreePagePtr root = TVLMBTreePage::New(&PM, &KeyRef, Session);
    root->InitEmptyRoot();
    root->SetModified(true);
    RootPageNo = root->GetPageNo();
  }

  TVLMBTreePagePtr Root() { return TVLMBTreePage::Load(&PM, &KeyRef, Session, RootPageNo); }
  TVLMBTreePagePtr Load(int32_t pageNo) { return TVLMBTreePage::Load(&PM, &KeyRef, Session, pageNo); }

  const uint8_t* MakeKey(const std::vector<uint8_t>& record) {
    KeyRef.MakeKey(record.data(), Key_.data());
    return Key_.data();
  }
  void Insert(const std::vector<uint8_t>& record, const TVLMRecordID& id) {
    uint8_t value[kVLMRecordIDSize];
    VLMPutRecordID(value, id);
    TVLMKeyPath path;
    Root()->InsertEntry(Session, MakeKey(record), path, value);
  }
  bool Delete(const std::vector<uint8_t>& record, const TVLMRecordID& id) {
    uint8_t value[kVLMRecordIDSize];
    VLMPutRecordID(value, id);
    TVLMKeyPath path;
    return Root()->DeleteEntry(Session, MakeKey(record), path, value);
  }
  bool FindEntry(const std::vector<uint8_t>& record, const TVLMRecordID& id, TVLMKeyPath& path) {
    uint8_t value[kVLMRecordIDSize];
    VLMPutRecordID(value, id);
    path.Clear();
    return Root()->FindEntry(Session, MakeKey(record), path, value);
  }
  // The record ID of the leaf entry a path ends on.
  TVLMRecordID RecordAt(const TVLMKeyPath& path) {
    const TVLMKeyPathLevel& leaf = path.Levels[path.Depth - 1];
    TVLMBTreePagePtr page = Load(leaf.PageNo);
    return VLMGetRecordID(page->EntryValue(leaf.EntryNo));
  }
  bool FindByCondition(const std::vector<uint8_t>& record, uint8_t op, bool forward, TVLMRecordID& found,
                       TVLMKeyPath* pathOut = nullptr) {
    TVLMKeyPath path;
    const uint8_t* key = MakeKey(record);
    if (!Root()->FindByCondition(Session, forward, path, op, key)) return false;
    found = RecordAt(path);
    if (pathOut) pathOut->Assign(path);
    return true;
  }
  void Check() {
    TVLMKeyPath path;
    Root()->CheckIntegrity(Session, path);
  }
  // Every leaf entry in order along the leaf chain; also checks that no leaf
  // but a root leaf is empty and that the chain's back links agree.
  std::vector<TVLMRecordID> Walk(int32_t* leafCount = nullptr) {
    std::vector<TVLMRecordID> out;
    TVLMKeyPath path;
    int32_t leaves = 0;
    if (Root()->GoFirst(Session, path)) {
      int32_t pageNo = path.Levels[path.Depth - 1].PageNo;
      int32_t prev = -1;
      while (pageNo != -1) {
        TVLMBTreePagePtr page = Load(pageNo);
        if (page->GetPrevPageNo() != prev) throw std::runtime_error("broken back link");
        if (page->GetEntryCount() == 0 && !page->GetIsRoot()) throw std::runtime_error("empty leaf");
        for (int32_t i = 0; i < page->GetEntryCount(); ++i) out.push_back(VLMGetRecordID(page->EntryValue(i)));
        prev = pageNo;
        pageNo = page->GetNextPageNo();
        ++leaves;
      }
    }
    if (leafCount) *leafCount = leaves;
    return out;
  }
  int32_t Depth() {
    TVLMKeyPath path;
    if (!Root()->GoFirst(Session, path)) return 1;
    return path.Depth;
  }

  TVLMPageManager& PM;
  int32_t Session;
  TVLMRecordKeyRef KeyRef;
  int32_t RootPageNo = -1;

private:
  std::vector<uint8_t> Key_;
};

}  // namespace btree_harness
