// TVLMBaseFieldManager: the field definitions of one open table and what is
// computed per field rather than stored per record: the record layouts, the
// autoincrement counters, the defaults applied to a new record, and the last
// value each session drew from a counter.
//
// Every engine uses this class as it is. The disk engine keeps the counters
// with the table (SaveAutoincValues / LoadAutoincValues):
//
//   offset  size     field
//   0       4        i32 count n
//   4       8 * n    i64 counter of field 0 .. n-1 (0 for a field that is not
//                    autoincrement)
//   little-endian, at the caller's offset, which advances past the block.
//
// Counters (fields of SQL type 12-19):
//   next = counter + Increment (an Increment of 0 counts as 1). The value
//   must stay inside the field's limit: MaxValue when it is not 0, and always
//   the range of the field's own type (a byte counter stops at 255, a signed
//   one at its type's bounds) and of a 64-bit integer. Past the limit the
//   counter becomes MinValue when Cycled, else 20160 is raised (the counter
//   then holds the value that passed a MaxValue; an addition that overflows
//   64 bits leaves it unchanged). A value the user gives moves the counter
//   up to it, never down; the given bytes are read with the field's sign.
//
// Invariants:
//   1. AutoincValues has one element per field after ResetAutoincValues and
//      after a load of the same table.
//   2. The record buffer is never written past a field's DataSize.
//
// Runs under the table lock of the calling operation.
//
// Error codes: 30402/30403 counter of an unknown field, 20160 counter limit,
// 30012 no last value in a multi-user session, 10421 BLOB block size 0,
// 30660 counter block beyond its buffer.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <vector>

namespace qv {
class Stream;
}

class TVLMBaseSession;
class TVLMFieldDef;
class TVLMFieldDefs;
class TVLMTableData;

// The two record layouts of a table's fields and how one becomes the other,
// worked out once when the offsets are (CalculateOffsets), so that a record
// read or written copies whole runs of bytes instead of walking the fields.
struct TVLMRecordLayout {
  // Bytes copied between a stored record and a record buffer: adjacent
  // fields whose bytes lie side by side in both layouts make one run (a
  // table without BLOB fields is a single run, the null bitmap included).
  struct Run {
    int32_t Stored;
    int32_t Buffer;
    int32_t Size;
  };
  int32_t FieldCount = -1;  // -1: not worked out yet
  int32_t BufferSize = 0;   // record buffer without bookmark
  int32_t StoredSize = 0;
  std::vector<Run> Runs;
  // Buffer bytes a stored record does not fill (a field wider in the buffer
  // than in the record); zeroed when a record is read.
  std::vector<Run> Zeros;
  // The text fields, where a stored record holds them: every write leaves
  // the end of the text (a 0 byte, a 0 unit of a wide text) inside the
  // field's bytes.
  struct Text {
    int32_t NullBit;
    int32_t Stored;
    int32_t Size;
    bool Wide;
  };
  std::vector<Text> Texts;
  // The bytes of each text's last unit (the last byte, the last two of a
  // wide text): a text shorter than its field leaves them 0, so a record
  // whose every such byte is 0 has every text's end without a search.
  // Empty, with LastUnitsTell false, when some text has no whole unit.
  std::vector<int32_t> LastUnits;
  bool LastUnitsTell = true;
};

class TVLMBaseFieldManager {
public:
  // An empty list of field definitions.
  explicit TVLMBaseFieldManager(TVLMTableData* tableData);
  virtual ~TVLMBaseFieldManager();
  TVLMBaseFieldManager(const TVLMBaseFieldManager&) = delete;
  TVLMBaseFieldManager& operator=(const TVLMBaseFieldManager&) = delete;

  // ---- virtual operations, in slot order ----

  // The next value of the counter of field fieldNo (rules above). fieldNo
  // outside the fields raises 30402, outside the counters 30403 "Field #%d
  // not found".
  virtual int64_t IncrementAutoincValue(int32_t fieldNo);
  // For every field that is not a BLOB and has a default value: the default
  // (or the value of its default expression), cast to the field's type and
  // cut to its size, and the null bit cleared. Fields without a default keep
  // what the buffer holds. context is not used here.
  virtual void ApplyDefaultValues(void* context, uint8_t* recordBuffer);
  // For every autoincrement field: a null field gets GetNextAutoincValue
  // (its low DataSize bytes, null bit cleared); a given value above the
  // counter moves the counter and the session's last value to it.
  virtual void ApplyAutoincValues(TVLMBaseSession* session, uint8_t* recordBuffer);
  // IncrementAutoincValue, kept as the session's last value of the field.
  virtual int64_t GetNextAutoincValue(TVLMBaseSession* session, int32_t fieldNo);
  // The session's last value of the field; without one the field's counter
  // (0 for a field that is not autoincrement) in single-user mode, 30012
  // "No SequenceLastValue in session for sequence '%s'. Call GetNextVal
  // first" in multi-user mode.
  virtual int64_t GetSequenceLastValue(TVLMBaseSession* session, int32_t fieldNo);

  // ---- non-virtual operations ----

  // The definitions read themselves, then CalculateOffsets and
  // ResetAutoincValues.
  void LoadFromStream(qv::Stream& stream);
  void SaveToStream(qv::Stream& stream) const;
  // The definitions' offsets, and the record layout from them.
  void CalculateOffsets();
  // The layout of the definitions as CalculateOffsets left them (worked out
  // here when the field count no longer matches).
  const TVLMRecordLayout& Layout() const;
  // One counter per field: InitialValue for an autoincrement field, else 0.
  void ResetAutoincValues();
  // The counter block above at buffer + offset (bufferSize bytes in all; a
  // block that does not fit raises 30660). Loading resizes AutoincValues to
  // the stored count.
  void LoadAutoincValues(const uint8_t* buffer, int64_t bufferSize, int64_t& offset);
  void SaveAutoincValues(uint8_t* buffer, int64_t bufferSize, int64_t& offset) const;
  // Bytes SaveAutoincValues writes.
  int64_t AutoincValuesSize() const;
  // Stored record (stored-record size) into a record buffer (record-buffer
  // size): the null bitmap, then SizeInRecord bytes of every field from
  // RecordOffset to BufferOffset, the rest of a wider buffer field zeroed.
  // BufferToStoredRecord: the reverse, every stored byte written.
  void StoredRecordToBuffer(const uint8_t* stored, uint8_t* buffer) const;
  void BufferToStoredRecord(const uint8_t* buffer, uint8_t* stored) const;
  // False when a stored record holds a text field that is not null and
  // whose bytes hold no end of text: its length does not fit its slot,
  // which no write leaves (a damaged record).
  bool StoredTextsEnd(const uint8_t* stored) const;
  // The null bitmaps and every field's SizeInRecord bytes are equal.
  bool CompareRecordBuffers(const uint8_t* buffer1, const uint8_t* buffer2) const;
  // True at the first BLOB field; its block size 0 raises 10421 "BLOB block
  // size should be > 0 for field %s".
  bool HasBlobFields() const;

  // ---- state ----

  std::unique_ptr<TVLMFieldDefs> FieldDefs;
  // Not owned.
  TVLMTableData* TableData;
  // One counter per field.
  std::vector<int64_t> AutoincValues;

private:
  const TVLMFieldDef& CounterField(int32_t fieldNo) const;
  void BuildLayout() const;
  void NoteLastValue(TVLMBaseSession* session, const TVLMFieldDef& field, int64_t value);

  mutable TVLMRecordLayout Layout_;
};
