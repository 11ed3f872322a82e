// The query component: TVLMQuery, a dataset over the result of SQL text run
// by the SQL engine's statement processor, and TVLMQueryDataLink, which
// fills its parameters from a master dataset.
//
// The text (SQL) may hold several statements; parameters are written as a
// colon and a name (":CALL") and kept in Params by name, so a name used at
// two places takes one value at both. A colon standing alone inside double
// quotes (":") is text, never a parameter.
//
// Running: a statement that yields rows (a SELECT, when the SQL engine has
// it) gives the query its cursor, which stays the statement's: the query
// holds it (StaticCursor_, the dataset base's kept-cursor handover) and lets
// go of it when it closes, and the processor frees it with the statement.
// Closing the query and freeing the processor, in either order, frees the
// cursor once: a processor that goes while the query is open closes the
// query first.
//
// States:
//
//   unprepared --Prepared(true) / the internal execute--> prepared
//              (attached to its database by flag 1, processor made)
//   prepared --Open (CreateHandle runs the text)--> open
//   open --Close--> prepared
//   prepared --UnPrepare, Disconnect, a change of SQL, the database
//              disconnecting--> unprepared (processor freed, flag 1 cleared)
//
// Where the database is: DatabaseName names a database component of the
// session (or "MEMORY" or "TEMP"); a name no component of the session bears
// is taken as the name of the database file, which must exist
// (TVLMSession::OpenDatabase).
//
// Error codes: 20845 a refusal that had no engine code (InternalExecute),
// 20034 / 30142 "No SQL statement available" (execute of a
// text with nothing to run: empty, or blanks, semicolons and comments only /
// prepare of a text shorter than two characters), 30141 Prepared set while
// open; the statement
// processor's and the statements' codes pass on, and leave the query
// closed.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4
#error "engine/sql lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/components/VLMMain.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/Params.h"

class TVLMCursor;
class TVLMQuery;
class TVLMKeptTables;
class TVLMSQLProcessor;

// The link of a query to the data source its parameters come from.
class TVLMQueryDataLink : public qv::DetailDataLink {
public:
  explicit TVLMQueryDataLink(TVLMQuery* query) : Query_(query) {}

protected:
  // The master opened or closed: an open query runs again.
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  // The master moved (field nullptr): an open query runs again.
  void RecordChanged(qv::Field* field) override;
  qv::DataSet* GetDetailDataSet() override;

private:
  TVLMQuery* Query_;
};

class TVLMQuery : public TVLMDataSet {
public:
  // The attachment flag of a prepared query.
  static constexpr int32_t kDBFlagPrepared = 1;

  explicit TVLMQuery(qv::Component* owner = nullptr);
  ~TVLMQuery() override;

  // ---- published properties
  const std::string& SQL() const { return SQL_; }
  // A new text closes and unprepares the query, finds its parameters again
  // and keeps the values of the parameters whose names survive.
  void SetSQL(std::string_view value);
  qv::Params& Params() { return Params_; }
  // The values of source's parameters, by name.
  void SetParams(const qv::Params& source) { Params_.AssignValues(source); }
  qv::Param* ParamByName(std::string_view name) const { return Params_.ParamByName(name); }
  // The data source of the master whose current record fills the
  // parameters; "Circular datalinks are not allowed" when it follows this
  // query.
  void SetDataSource(qv::DataSource* source);
  qv::DataSource* GetDataSource() override;
  bool RequestLive = false;
  // Off: the text is run as written, colons and all.
  bool ParamCheck = true;

  // ---- preparing and running
  bool Prepared() const { return Prepared_; }
  // True: the text must be at least two characters (30142), the query is
  // attached to its database and a processor made; 30141 while open. False:
  // an open query is closed, the rows affected are kept, the processor
  // freed.
  void SetPrepared(bool value);
  void Prepare() { SetPrepared(true); }
  void UnPrepare();
  // Close, then UnPrepare.
  void Disconnect() override;
  // Runs the text without keeping a result.
  void ExecSQL();
  // Runs the text; true when its last statement yielded rows, which the
  // next Open shows without running the text again. False: the rows
  // affected say what the text did.
  bool ExecuteForCursor();
  // Rows the last run reported; -1 before any run; kept after UnPrepare.
  int64_t RowsAffected() const;
  // Closes and opens an active query again (controls disabled meanwhile)
  // when its master is open and not in the set-key state.
  void RefreshParams();

  // ---- overridden dataset operations
  // Prepared := False first when the last flag goes.
  void SetDBFlag(int32_t flag, bool value) override;
  void GetDetailLinkFields(std::vector<qv::Field*>& masterFields, std::vector<qv::Field*>& detailFields) override;

protected:
  std::unique_ptr<TVLMLocalCursor> CreateHandle() override;
  // The base's opening, whose refusals (the result's fields among them)
  // leave as InternalExecute's do.
  void OpenCursor(bool infoQuery) override;
  // The statement's cursor is never the query's to free.
  void DestroyHandle() override;
  bool IsQuery() const override { return true; }
  void InternalRefresh() override;
  // A new processor for the text (tests put statements of their own in).
  virtual std::unique_ptr<TVLMSQLProcessor> MakeProcessor();

private:
  void QueryChanged();
  void CreateProcessor(const std::string& text);
  // The internal execute: prepared, parameters bound, the text run; the
  // cursor of the result when forCursor and there is one. Every refusal
  // leaves as an engine error (EVLMException): a lock conflict on the
  // database as 20853, a record-level refusal as VLMRaiseRecordRefusal
  // gives it, any other error (of the dataset layer, of a conversion) as
  // 20845 with its message.
  TVLMCursor* InternalExecute(bool forCursor);
  TVLMCursor* RunText(bool forCursor);
  // Runs body; what it raises leaves as InternalExecute says.
  template <class Body>
  auto WithEngineCodes(Body body) -> decltype(body());
  // Unbound parameters take the master's fields of their names.
  void SetParamsFromCursor();
  void BindParams();

  // The tables the last processor kept open, for the processor of the next
  // text (of the same query): a new text finds its tables open. Closed by
  // Disconnect (the database's close among others).
  std::unique_ptr<TVLMKeptTables> KeptTables_;
  std::unique_ptr<TVLMSQLProcessor> Processor_;
  std::string SQL_;
  bool Prepared_ = false;
  qv::Params Params_;
  // The text after the parameter markers were found.
  std::string Text_;
  std::unique_ptr<TVLMQueryDataLink> DataLink_;
  int64_t RowsAffected_ = -1;
  // The last run returned no cursor.
  bool Executed_ = false;
  // Handle_ is the statement's cursor (let go of, never freed, on close).
  bool HandleIsStatements_ = false;
};
