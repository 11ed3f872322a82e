// VLMMain, copy part: the record copy between two datasets that the table
// copy, the import and the restructure all run on.
//
// The copy appends one destination record per source record and posts it
// before it reads the next, so a failure leaves every earlier record posted
// and the failing one cancelled; nothing is rolled back. What went wrong is
// written to the caller's log as it happens, so a copy that stops with an
// exception still tells which record and field it stopped on.
#include <algorithm>
#include <cmath>
#include <string>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMFieldCopy.h"
#include "platform/dataset/Defs.h"
#include "platform/dataset/Fields.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"

namespace {

constexpr std::string_view kLineBreak = "\r\n";
// Progress is reported at least this often, counted in records.
constexpr int64_t kMaxProgressInterval = 30;

std::string CopyTableName(qv::DataSet& source) {
  auto* table = dynamic_cast<TVLMTable*>(&source);
  return table != nullptr ? table->TableName() : std::string("unknown");
}

// The field of source that definition index i describes: by position when
// every definition has its field object, else by the definition's name.
qv::Field* SourceField(qv::DataSet& source, int32_t i) {
  if (source.FieldCount() == source.GetFieldDefs().Count()) return source.GetFields()[i];
  return source.FindField(source.GetFieldDefs()[i]->Name());
}

// The field of dest that sourceField is copied into; nullptr: none.
qv::Field* DestField(qv::DataSet& source, qv::DataSet& dest, qv::Field* sourceField, bool matchByRestructure) {
  auto* sourceTable = dynamic_cast<TVLMTable*>(&source);
  if (matchByRestructure && sourceTable != nullptr && dynamic_cast<TVLMTable*>(&dest) != nullptr) {
    // The restructure definitions keep each surviving field's identity under
    // its new name; a field added by the restructure has none (-1).
    const TVLMAdvFieldDef* old = sourceTable->AdvFieldDefs.Find(sourceField->FieldName());
    const TVLMAdvFieldDefs& target = sourceTable->RestructureFieldDefs;
    if (old != nullptr && old->ObjectID >= 0) {
      for (int32_t i = 0; i < target.GetCount(); ++i) {
        if (target.GetItem(i)->ObjectID != old->ObjectID) continue;
        if (qv::Field* field = dest.FindField(target.GetItem(i)->Name)) return field;
        break;
      }
    }
  }
  return dest.FindField(sourceField->FieldName());
}

// The pending record is dropped; a failure to drop it says nothing the
// caller does not already know.
void CancelQuietly(qv::DataSet& dest) {
  try {
    dest.Cancel();
  } catch (const std::exception&) {
  }
}

}  // namespace

bool TVLMDataSet::CopyRecords(qv::DataSet& source, qv::DataSet& dest, std::string& log, bool& cont,
                              bool ignoreErrors, bool matchByRestructure, const CopyProgressEvent& onProgress,
                              int32_t minPercent, int32_t maxPercent) {
  const std::string tableName = CopyTableName(source);
  bool result = true;
  source.CheckBrowseMode();
  int64_t counter = 1;
  const int64_t range = static_cast<int64_t>(maxPercent) - minPercent;
  int64_t step = range == 0 ? 1 : source.RecordCount() / range + 1;
  // A range given backwards would make the interval zero or negative.
  step = std::clamp<int64_t>(step, 1, kMaxProgressInterval);

  source.Refresh();
  const qv::Bookmark bookmark = source.GetBookmark();
  auto restore = qv::ScopeExit([&] {
    try {
      source.GotoBookmark(bookmark);
    } catch (const std::exception&) {
      // The record may be gone; the copy's own outcome matters more.
    }
  });
  source.First();
  const int32_t recordCount = source.RecordCount();
  while (!source.Eof()) {
    dest.Append();
    for (int32_t i = 0; i < source.GetFieldDefs().Count(); ++i) {
      qv::Field* from = SourceField(source, i);
      if (from == nullptr) {
        const std::string text = qv::format(
            "Cannot copy field '%s' of table \"%s\": the field type is not supported in this version. Please "
            "change the data type of the field.",
            {source.GetFieldDefs()[i]->Name(), tableName});
        log += text;
        log += kLineBreak;
        if (!ignoreErrors) throw EVLMException(10499, text);
        result = false;
        continue;
      }
      qv::Field* to = DestField(source, dest, from, matchByRestructure);
      if (to == nullptr) continue;
      try {
        VLMCopyFieldValue(from, to);
      } catch (const std::exception& e) {
        log += qv::format("Error copying table \"%s\". Record #%d, field '%s' was copied with Null value due to "
                          "error: %s",
                          {tableName, counter, from->FieldName(), std::string(e.what())});
        log += kLineBreak;
        try {
          to->Clear();
        } catch (const std::exception&) {
          // The value stays as it is; the record is still posted.
        }
        if (!ignoreErrors) {
          CancelQuietly(dest);
          throw;
        }
        result = false;
      }
    }
    try {
      dest.Post();
    } catch (const std::exception& e) {
      log += qv::format("Error copying table \"%s\". Record #%d was not imported due to error: %s",
                        {tableName, counter, std::string(e.what())});
      log += kLineBreak;
      log += kLineBreak;
      CancelQuietly(dest);
      if (!ignoreErrors) throw;
      result = false;
    }
    ++counter;
    source.Next();
    if ((counter - 2) % step == 0) {
      // A source that cannot count its records reports the range's start.
      // Halves round to even.
      const int64_t done =
          recordCount > 0
              ? static_cast<int64_t>(std::nearbyint(static_cast<double>(counter - 1) * static_cast<double>(range) /
                                                    recordCount))
              : 0;
      const auto percent = static_cast<int32_t>(minPercent + done);
      if (onProgress) onProgress(source, percent, cont);
      if (!cont) {
        log += kLineBreak;
        log += "Terminated by User.";
        result = false;
        break;
      }
    }
  }
  return result;
}
