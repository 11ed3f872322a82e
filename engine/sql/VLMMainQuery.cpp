// The query component and its parameter link (VLMMainQuery.h).
//
// This unit reaches up into the SQL engine (engine/sql), whose statements in
// turn work through the components; only this .cpp includes it, so no
// component header depends on the SQL engine.
#include "engine/sql/VLMMainQuery.h"

#include <utility>

#include "engine/components/VLMLocalEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLexer.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/sql/VLMSQLCommand.h"
#include "engine/sql/VLMSQLProcessor.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "platform/host/ScopeExit.h"

namespace {

constexpr std::string_view kNoSQL = "No SQL statement available";

}  // namespace

// The processor the query component makes for each text; it adds nothing to
// the statement processor.
class TVLMLocalSQLProcessor : public TVLMSQLProcessor {
public:
  using TVLMSQLProcessor::TVLMSQLProcessor;
};

// --------------------------------------------------------------- data link

void TVLMQueryDataLink::ActiveChanged() {
  if (Query_->Active()) Query_->RefreshParams();
}

void TVLMQueryDataLink::CheckBrowseMode() {
  if (Query_->Active()) Query_->CheckBrowseMode();
}

void TVLMQueryDataLink::RecordChanged(qv::Field* field) {
  if (field == nullptr && Query_->Active()) Query_->RefreshParams();
}

qv::DataSet* TVLMQueryDataLink::GetDetailDataSet() { return Query_; }

// ------------------------------------------------------------------- life

TVLMQuery::TVLMQuery(qv::Component* owner)
    : TVLMDataSet(owner), Params_(this), DataLink_(std::make_unique<TVLMQueryDataLink>(this)) {}

TVLMQuery::~TVLMQuery() {
  // The base destructor cannot reach this class's handling of the
  // statement's cursor: the query closes while it is still a query.
  CloseForDestruction();
  try {
    Disconnect();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
}

std::unique_ptr<TVLMSQLProcessor> TVLMQuery::MakeProcessor() { return std::make_unique<TVLMLocalSQLProcessor>(this); }

// ------------------------------------------------------------- properties

void TVLMQuery::SetSQL(std::string_view value) {
  if (value == SQL_) return;
  // The kept tables stay for the new text.
  Close();
  UnPrepare();
  SQL_ = std::string(value);
  QueryChanged();
}

void TVLMQuery::QueryChanged() {
  Close();
  UnPrepare();
  if (!ParamCheck) {
    Text_ = SQL_;
    DataEvent(qv::dePropertyChange, 0);
    return;
  }
  // The parameter parser and the engine's lexer read quoted text alike, so
  // a colon inside double quotes (":") is text for both and the text itself
  // needs no change.
  qv::Params found(this);
  Text_ = found.ParseSQL(SQL_, true);
  found.AssignValues(Params_);
  Params_.Assign(found);
  DataEvent(qv::dePropertyChange, 0);
}

void TVLMQuery::SetDataSource(qv::DataSource* source) {
  if (source != nullptr && IsLinkedTo(source)) qv::DatabaseError(qv::dbmsg::SCircularDataLink, this);
  DataLink_->SetDataSource(source);
}

qv::DataSource* TVLMQuery::GetDataSource() { return DataLink_->GetDataSource(); }

// --------------------------------------------------------------- preparing

void TVLMQuery::SetPrepared(bool value) {
  if (Handle_) {
    if (value) throw EVLMException(30141, "Cannot perform this operation on an open dataset");
    // The cursor belongs to the processor that is about to go.
    Close();
  }
  if (!value) StaticCursor_ = nullptr;
  if (value == Prepared_) return;
  if (value) {
    RowsAffected_ = -1;
    Executed_ = true;
    if (Text_.size() < 2) throw EVLMException(30142, kNoSQL);
    if (DatabaseName().empty()) qv::DatabaseError("DatabaseName property is blank", this);
    SetDBFlag(kDBFlagPrepared, true);
    try {
      CreateProcessor(Text_);
    } catch (...) {
      TVLMDataSet::SetDBFlag(kDBFlagPrepared, false);
      throw;
    }
  } else {
    if (Executed_ && Processor_) RowsAffected_ = Processor_->RowsAffected;
    if (Processor_) KeptTables_ = Processor_->HandOverKeptTables();
    Processor_.reset();
  }
  Prepared_ = value;
}

void TVLMQuery::CreateProcessor(const std::string& text) {
  Processor_ = MakeProcessor();
  Processor_->RequestLive = RequestLive;
  Processor_->InMemory = InMemory();
  Processor_->SetSQL(text);
  Processor_->TakeOverKeptTables(std::move(KeptTables_));
}

void TVLMQuery::UnPrepare() {
  SetPrepared(false);
  SetDBFlag(kDBFlagPrepared, false);
}

void TVLMQuery::Disconnect() {
  Close();
  UnPrepare();
  KeptTables_.reset();
}

void TVLMQuery::SetDBFlag(int32_t flag, bool value) {
  // The last reason to stay attached is going: the processor goes first.
  if (!value && DBFlag(flag) && Prepared_) {
    bool other = false;
    for (int32_t f = 0; f <= 15; ++f) other = other || (f != flag && DBFlag(f));
    if (!other) SetPrepared(false);
  }
  TVLMDataSet::SetDBFlag(flag, value);
}

int64_t TVLMQuery::RowsAffected() const { return Prepared_ && Processor_ ? Processor_->RowsAffected : RowsAffected_; }

// ----------------------------------------------------------------- running

void TVLMQuery::ExecSQL() {
  CheckInactive();
  InternalExecute(false);
}

bool TVLMQuery::ExecuteForCursor() {
  CheckInactive();
  return InternalExecute(true) != nullptr;
}

template <class Body>
auto TVLMQuery::WithEngineCodes(Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const EVLMException& e) {
    // The database locked by another session where no statement could name
    // a table (connecting, a transaction's end, a table's creation).
    if (VLMLockConflictCode(e) != 20853 || e.NativeError == 20853) throw;
    TVLMDatabase* database = Database();
    if (database == nullptr) database = SessionOf()->FindDatabase(DatabaseName());
    VLMRaiseLockConflict(20853, std::string(), database != nullptr ? database->DatabaseFileName() : DatabaseName());
  } catch (const EVLMEngineError& e) {
    VLMRaiseRecordRefusal(e, std::string());
  } catch (const std::exception& e) {
    throw EVLMException(20845, "%s", {std::string(e.what())});
  }
}

TVLMCursor* TVLMQuery::InternalExecute(bool forCursor) {
  return WithEngineCodes([&] { return RunText(forCursor); });
}

void TVLMQuery::OpenCursor(bool infoQuery) {
  WithEngineCodes([&] { TVLMDataSet::OpenCursor(infoQuery); });
}

TVLMCursor* TVLMQuery::RunText(bool forCursor) {
  // Nothing to run (no text, or only blanks, semicolons and comments) is
  // refused here, before any other check can name it otherwise.
  if (!TVLMLexer::HoldsToken(Text_)) throw EVLMException(20034, kNoSQL);
  SetPrepared(true);
  if (DataLink_->GetDataSource() != nullptr) SetParamsFromCursor();
  BindParams();
  StaticCursor_ = nullptr;
  HandleIsStatements_ = false;
  TVLMCursor* cursor = nullptr;
  if (forCursor) {
    cursor = Processor_->Execute();
    if (cursor != nullptr) {
      auto* local = dynamic_cast<TVLMLocalCursor*>(cursor);
      if (local == nullptr) throw EVLMException(20631, "Nil pointer occured");
      StaticCursor_ = local;
    }
    ReadOnly = Processor_->ReadOnly || (Database() != nullptr && Database()->ReadOnly);
  } else {
    Processor_->ExecSQL();
  }
  Executed_ = cursor == nullptr;
  return cursor;
}

void TVLMQuery::SetParamsFromCursor() {
  qv::DataSet* master = DataLink_->GetDataSet();
  if (master == nullptr) return;
  master->GetFieldDefs().Update();
  for (int32_t i = 0; i < Params_.Count(); ++i) {
    qv::Param& param = *Params_[i];
    if (param.Bound()) continue;
    param.AssignField(master->FieldByName(param.Name()));
    param.SetBound(false);
    if (param.IsNull()) param.SetDataType(qv::ftInteger);
  }
}

void TVLMQuery::BindParams() {
  TVLMSQLParams& target = Processor_->Params;
  // The same names keep their objects: a statement the processor keeps
  // parsed reads its parameters' values from them.
  bool same = target.GetCount() == Params_.Count();
  for (int32_t i = 0; same && i < Params_.Count(); ++i) same = target.GetItem(i)->Name == Params_[i]->Name();
  if (!same) target.Clear();
  for (int32_t i = 0; i < Params_.Count(); ++i) {
    const qv::Param& param = *Params_[i];
    TVLMSQLParam& value = same ? *target.GetItem(i) : *target.Add();
    value.Name = param.Name();
    value.Clear();
    const qv::TFieldType type = param.DataType();
    // A typed parameter is a value of the matching engine type, null until
    // it has a value.
    if (type != qv::ftUnknown) value.Clear(VLMDataTypeToBaseType(VLMFieldTypeToDataType(type)));
    if (param.IsNull()) continue;
    switch (type) {
      case qv::ftTime:
        value.Clear(bdtTime);
        value.SetAsTime(VLMTDateTimeToTime(param.AsDateTime()));
        break;
      case qv::ftBlob:
      case qv::ftGraphic: {
        const std::string bytes = param.AsString();
        value.Clear(bdtBLOB);
        if (!bytes.empty()) value.SetBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), bdtBLOB, true);
        break;
      }
      case qv::ftMemo:
      case qv::ftFmtMemo:
        value.Clear(bdtString);
        value.SetAsString(param.AsString());
        break;
      default:
        value.SetAsVariant(param.Value());
        break;
    }
  }
}

void TVLMQuery::RefreshParams() {
  DisableControls();
  auto enable = qv::ScopeExit([&] { EnableControls(); });
  qv::DataSet* master = DataLink_->GetDataSet();
  if (master != nullptr && master->Active() && master->State() != qv::dsSetKey) {
    Close();
    Open();
  }
}

// ------------------------------------------------------------- the cursor

std::unique_ptr<TVLMLocalCursor> TVLMQuery::CreateHandle() {
  TVLMDatabase* database = Database();
  const bool silent = database != nullptr && database->SilentMode;
  if (database != nullptr) database->SilentMode = true;
  auto restore = qv::ScopeExit([&] {
    if (database != nullptr) database->SilentMode = silent;
  });
  TVLMLocalCursor* cursor = StaticCursor_;
  if (cursor == nullptr && InternalExecute(true) != nullptr) cursor = StaticCursor_;
  HandleIsStatements_ = cursor != nullptr;
  return std::unique_ptr<TVLMLocalCursor>(cursor);
}

void TVLMQuery::DestroyHandle() {
  if (HandleIsStatements_) {
    static_cast<void>(Handle_.release());
  }
  Handle_.reset();
  HandleIsStatements_ = false;
  StaticCursor_ = nullptr;
}

void TVLMQuery::InternalRefresh() {
  if (Active() && ReadOnly) {
    Close();
    Open();
    return;
  }
  TVLMDataSet::InternalRefresh();
}

void TVLMQuery::GetDetailLinkFields(std::vector<qv::Field*>& masterFields, std::vector<qv::Field*>& detailFields) {
  masterFields.clear();
  detailFields.clear();
  qv::DataSet* master = DataLink_->GetDataSet();
  if (master == nullptr) return;
  for (int32_t i = 0; i < Params_.Count(); ++i) {
    const std::string& name = Params_[i]->Name();
    qv::Field* masterField = master->FindField(name);
    if (masterField == nullptr) continue;
    masterFields.push_back(masterField);
    if (qv::Field* own = FindField(name)) detailFields.push_back(own);
  }
}
