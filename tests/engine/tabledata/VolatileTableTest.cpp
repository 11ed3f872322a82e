// Tables of the memory and temporary engines through the shared test cursor:
// BLOB values, record numbers, the refusals of a temporary table, CHECK
// constraints, and tables that must never touch the temporary folder.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMLocalBLOBStream.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"
#include "engine/storage/VLMMemEngine.h"
#include "engine/storage/VLMTempEngine.h"
#include "tests/support/engine/ReferenceEngine.h"
#include "tests/support/ScratchFolder.h"

namespace tabledata_test {
namespace {

using schema_test::RaisedCode;

enum { kID, kCall, kNotes, kData };

// An engine and whether its tables may use temporary files.
struct Engine {
  EngineKind Kind;
  bool WithoutFiles = false;
};
const Engine kMemory{EngineKind::Memory};
const Engine kTemporary{EngineKind::Temporary};
const Engine kTemporaryWithoutFiles{EngineKind::Temporary, true};
std::string Name(const Engine& e) { return std::string(EngineKindName(e.Kind)) + (e.WithoutFiles ? " without files" : ""); }

// A table (ID, Call, Notes memo, Data zlib BLOB; indexed by Call) of one
// engine, open in a cursor.
class Work {
public:
  explicit Work(Engine engine) : Database(NewDatabase(engine.Kind)), Cursor(*Database, Session, "Work") {
    Database->ConnectSession(&Session);
    Cursor.DisableTempFiles = engine.WithoutFiles;
    TVLMFieldDefs fields;
    schema_test::AddField(fields, "ID", dtInteger);
    schema_test::AddField(fields, "Call", dtString, 10);
    schema_test::AddField(fields, "Notes", dtMemo);
    TVLMFieldDef* data = schema_test::AddField(fields, "Data", dtBLOB);
    data->BlobCompressionAlgorithm = 1;
    data->BlobCompressionMode = 6;
    data->BlobBlockSize = 65536;
    TVLMIndexDefs indexes;
    indexes.AddIndexDef()->Assign(*IndexOn("ByCall", "Call"));
    TVLMConstraintDefs constraints;
    static_cast<TVLMTableData*>(Database->GetTableData(&Cursor))->CreateTable(&Cursor, fields, indexes, constraints);
    Cursor.Open();
  }
  void WriteBlob(int32_t fieldNo, const std::string& bytes, bool empty = false) {
    auto stream = Cursor.Table().OpenBlob(&Cursor, TVLMLocalBLOBStream::kOpenWrite, fieldNo);
    if (!bytes.empty()) stream->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    if (empty) stream->SetSize(0);
    Cursor.Table().SaveBlobStream(&Cursor, fieldNo, *stream);
  }
  std::string ReadBlob(int32_t fieldNo, uint8_t* record = nullptr) {
    uint8_t* saved = Cursor.RecordBuffer;
    if (record != nullptr) Cursor.RecordBuffer = record;
    auto restore = qv::ScopeExit([&] { Cursor.RecordBuffer = saved; });
    auto stream = Cursor.Table().OpenBlob(&Cursor, TVLMLocalBLOBStream::kOpenRead, fieldNo);
    std::string bytes(static_cast<size_t>(stream->Size()), '\0');
    stream->SetPosition(0);
    if (!bytes.empty()) stream->ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    return bytes;
  }
  void Add(int64_t id, const std::string& notes, const std::string& data) {
    Cursor.PrepareInsert();
    Cursor.SetInt(kID, id);
    Cursor.SetText(kCall, "W" + std::to_string(id));
    WriteBlob(kNotes, notes);
    WriteBlob(kData, data);
    Cursor.Post(true);
  }
  bool Locate(int64_t id) { return Cursor.Locate("ID", qv::HostVariant(static_cast<int32_t>(id)), false, false); }

  schema_test::TestSession Session;
  std::unique_ptr<TVLMDatabaseData> Database;
  TableCursor Cursor;
};

// Text that compresses, of the given length.
std::string Text(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::string text(length, ' ');
  for (char& c : text) c = "QRZ CQ DE 599 TU 73 "[random() % 20];
  return text;
}

TEST(VolatileTable, BlobValuesRoundTripInEveryEngineAlsoAfterTheTableWasEmptied) {
  const std::string values[] = {"", "x", Text(1048576, 1)};
  for (const Engine& engine : {kMemory, kTemporary, kTemporaryWithoutFiles}) {
    Work work(engine);
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t i = 0; i < 3; ++i) work.Add(static_cast<int64_t>(i), values[i], values[2 - i]);
      // A fourth record, made from the first, takes its Data as stored bytes.
      work.Cursor.SetToBegin();
      ASSERT_EQ(work.Cursor.GetRecord(1), kVLMNavOK);
      TVLMBLOBDescriptor descriptor;
      std::vector<uint8_t> stored;
      work.Cursor.Table().GetBlobData(&work.Cursor, kData, descriptor, stored);
      EXPECT_EQ(descriptor.UncompressedSize, 1048576);
      EXPECT_LT(stored.size(), 800000u);  // compressed
      work.Cursor.SetInt(kID, 3);
      work.Cursor.Table().SetBlobData(&work.Cursor, kData, stored, descriptor);
      work.Cursor.Post(true);
      work.Cursor.SetToBegin();
      for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(work.Cursor.GetRecord(1), kVLMNavOK);
        EXPECT_EQ(work.ReadBlob(kNotes), values[i % 3]) << Name(engine) << " pass " << pass << " #" << i;
        EXPECT_EQ(work.ReadBlob(kData), values[2 - i % 3]) << Name(engine) << " pass " << pass << " #" << i;
        // An empty value is a null field.
        EXPECT_EQ(VLMGetBit(kNotes, work.Cursor.RecordBuffer), values[i % 3].empty());
      }
      EXPECT_EQ(RaisedCode([&] { work.ReadBlob(kCall); }), engine.Kind == EngineKind::Memory ? 10712 : 10718);
      work.Cursor.EmptyTable();
      EXPECT_EQ(work.Cursor.GetRecordCount(), 0);
    }
  }
}

TEST(VolatileTable, MemoryBlobValuesLiveAsLongAsTheRecordsThatNameThem) {
  Work work(kMemory);
  auto& table = static_cast<TVLMMemoryTableData&>(work.Cursor.Table());
  work.Add(1, "first", "");
  work.Add(2, "second", "");
  EXPECT_EQ(table.BlobValueCount(), 2);

  // An update replaces the value; writing the field twice before the post
  // keeps only the last.
  ASSERT_TRUE(work.Locate(1));
  std::vector<uint8_t> stale(work.Cursor.RecordBuffer, work.Cursor.RecordBuffer + work.Cursor.RecordBufferSize);
  work.Cursor.Edit();
  work.WriteBlob(kNotes, "draft");
  work.WriteBlob(kNotes, "first, edited");
  EXPECT_EQ(table.BlobValueCount(), 3);
  work.Cursor.Post(false);
  EXPECT_EQ(table.BlobValueCount(), 2);
  EXPECT_EQ(work.ReadBlob(kNotes), "first, edited");
  EXPECT_EQ(RaisedCode([&] { work.ReadBlob(kNotes, stale.data()); }), 10701);

  // A record made from another's buffer gets its own copy of the value.
  ASSERT_TRUE(work.Locate(2));
  work.Cursor.SetInt(kID, 3);
  work.Cursor.Post(true);
  EXPECT_EQ(table.BlobValueCount(), 3);
  ASSERT_TRUE(work.Locate(2));
  work.Cursor.DeleteRecord();
  EXPECT_EQ(table.BlobValueCount(), 2);
  ASSERT_TRUE(work.Locate(3));
  EXPECT_EQ(work.ReadBlob(kNotes), "second");

  // Written empty, the field becomes null and keeps nothing.
  work.Cursor.Edit();
  work.WriteBlob(kNotes, "", true);
  work.Cursor.Post(false);
  EXPECT_TRUE(VLMGetBit(kNotes, work.Cursor.RecordBuffer));
  EXPECT_EQ(table.BlobValueCount(), 1);

  // An insert given up frees what it wrote.
  work.Cursor.PrepareInsert();
  work.WriteBlob(kData, "abandoned");
  EXPECT_EQ(table.BlobValueCount(), 2);
  table.FreeBlobs(work.Cursor.RecordBuffer);
  EXPECT_EQ(table.BlobValueCount(), 1);
  EXPECT_TRUE(VLMGetBit(kData, work.Cursor.RecordBuffer));
}

TEST(VolatileTable, RecordNumbersCountLiveRecordsAndTemporaryTablesRefuseChanges) {
  for (const Engine& engine : {kMemory, kTemporary}) {
    Work work(engine);
    for (int64_t id = 1; id <= 12; ++id) work.Add(id, "", "");
    std::vector<int64_t> ids;
    for (int64_t id = 1; id <= 12; ++id) ids.push_back(id);
    if (engine.Kind == EngineKind::Memory) {
      for (int64_t id : {1, 5, 6, 12}) {
        ASSERT_TRUE(work.Locate(id));
        work.Cursor.DeleteRecord();
        ids.erase(std::find(ids.begin(), ids.end(), id));
      }
    } else {
      ASSERT_TRUE(work.Locate(5));
      EXPECT_FALSE(work.Cursor.Table().UpdateRecord(&work.Cursor));
      EXPECT_FALSE(work.Cursor.Table().DeleteRecord(&work.Cursor));
    }
    ASSERT_EQ(work.Cursor.GetRecordCount(), static_cast<int64_t>(ids.size()));
    work.Cursor.SetRecNo(4);
    EXPECT_EQ(work.Cursor.Int(kID), ids[3]) << Name(engine);
    EXPECT_EQ(work.Database->DatabaseFileName, engine.Kind == EngineKind::Memory ? "MEMORY" : "TEMP");
    const int32_t objectID = work.Database->NextObjectID();
    EXPECT_EQ(work.Database->NextObjectID(), objectID + 1);
    // The table data goes with DeleteTable once no cursor has it open.
    EXPECT_EQ(RaisedCode([&] { work.Cursor.DeleteTable(); }), 20017);
    TVLMTableData& table = work.Cursor.Table();
    work.Cursor.Close();
    table.DeleteTable(nullptr, false);
    EXPECT_TRUE(work.Database->TableDatas.empty());
  }
}

TEST(VolatileTable, TemporaryIndexesKeepTheirOrderThroughChanges) {
  for (EngineKind kind : {EngineKind::Memory, EngineKind::Temporary}) {
    std::unique_ptr<TVLMDatabaseData> database = NewDatabase(kind);
    schema_test::TestSession session;
    database->ConnectSession(&session);
    TableCursor log(*database, session, "Log");
    log.Create({{"Call", dtString, 10}, {"Mode", dtString, 6}}, {{"ByCall", "Call"}});
    for (const char* mode : {"CW", "SSB", "FT8", "RTTY"}) log.Append({std::string("W") + mode, mode});
    std::string name;
    bool created = false;
    log.GetIndexForFields(schema_test::List({"MODE"}), schema_test::List({"DESC"}), schema_test::List({"CASE"}),
                          name, created);
    ASSERT_TRUE(created) << EngineKindName(kind);
    log.UseIndex(name);
    log.Append({"K1ABC", "PSK"});
    if (kind == EngineKind::Memory) {
      ASSERT_TRUE(log.Locate("Call", qv::HostVariant("WFT8"), false, false));
      log.DeleteRecord();
    }
    const std::vector<std::string> expected = kind == EngineKind::Memory
                                                  ? std::vector<std::string>{"SSB", "RTTY", "PSK", "CW"}
                                                  : std::vector<std::string>{"SSB", "RTTY", "PSK", "FT8", "CW"};
    EXPECT_EQ(log.Column(1), expected) << EngineKindName(kind);
    EXPECT_EQ(CheckIndexOrder(log.Table(), session.SessionID), "") << EngineKindName(kind);
  }
}

TEST(VolatileTable, ACheckConstraintGuardsAMemoryTable) {
  TVLMMemoryDatabaseData database;
  schema_test::TestSession session;
  database.ConnectSession(&session);
  TableCursor log(database, session, "Log");
  TVLMConstraintDefs constraints;
  TVLMConstraintDefCheck* check = constraints.AddCheck();
  check->TargetName = "Points";
  check->MinValue.SetAsInteger(0);
  check->MaxValue.SetAsInteger(10);
  log.Create({{"Call", dtString, 10}, {"Points", dtInteger}}, {}, &constraints);
  log.Append({"W1AW", "3"});
  EXPECT_EQ(RaisedCode([&] { log.Append({"K1ABC", "11"}); }), 30030);
  EXPECT_EQ(RaisedCode([&] { log.Append({"K1ABC", "-1"}); }), 30029);
  EXPECT_EQ(log.Column(0), std::vector<std::string>{"W1AW"});
}

// Counts the files made in a fresh folder that $TMPDIR names while the
// object lives (delete-on-close files vanish at once, so their creation is
// watched, not their presence).
class TemporaryFolderWatch {
public:
  TemporaryFolderWatch() {
    if (const char* old = std::getenv("TMPDIR")) Old_ = old;
    setenv("TMPDIR", Folder_.Path().c_str(), 1);
    Fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(inotify_add_watch(Fd_, Folder_.Path().c_str(), IN_CREATE), 0);
  }
  ~TemporaryFolderWatch() {
    close(Fd_);
    if (Old_.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", Old_.c_str(), 1);
  }
  int32_t Created() {
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = read(Fd_, events, sizeof events)) > 0;)
      for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
        ++Created_;
    return Created_;
  }

private:
  qv::test::ScratchFolder Folder_;
  std::string Old_;
  int Fd_ = -1;
  int32_t Created_ = 0;
};

TEST(VolatileTable, WithoutTemporaryFilesNothingReachesTheTemporaryFolder) {
  // A small memory share, so that records and pages would spill early.
  qv::SetAvailablePhysicalMemoryOverride(int64_t{4096} * 10 * 2);
  for (const Engine& engine : {kTemporaryWithoutFiles, kTemporary}) {
    TemporaryFolderWatch watch;
    {
      Work work(engine);
      for (int64_t id = 0; id < 3000; ++id) work.Add(id, "", "");
      work.Add(3000, Text(1100000, 3), Text(2000000, 4));
      EXPECT_EQ(work.Cursor.GetRecordCount(), 3001);
      EXPECT_EQ(work.ReadBlob(kData), Text(2000000, 4));
      // The index outgrows the memory share of the page store.
      EXPECT_EQ(CheckIndexOrder(work.Cursor.Table(), work.Session.SessionID), "");
      auto& table = static_cast<TVLMTemporaryTableData&>(work.Cursor.Table());
      EXPECT_EQ(table.Records().GetFileStream() == nullptr, engine.WithoutFiles);
      EXPECT_EQ(static_cast<TVLMTemporaryPageManager*>(table.PageManager)->GetFileStream() == nullptr,
                engine.WithoutFiles);
    }
    // Without the switch: records, pages and BLOB values each spill.
    EXPECT_EQ(watch.Created(), engine.WithoutFiles ? 0 : std::max(watch.Created(), 3));
  }
  qv::SetAvailablePhysicalMemoryOverride(-1);
}

}  // namespace
}  // namespace tabledata_test
