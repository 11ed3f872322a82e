// The FROM clause of a SELECT (TVLMSQLSelect, VLMSQLCommand.h): its table
// references and joins, and the operator that produces its rows.
//
// Grammar (after FROM):
//   entry      := reference { "," reference }
//   reference  := ( [MEMORY] [db.]table [[AS] alias] [PASSWORD 'p']
//                 | "(" reference [")"] [alias] ) { join }
//   join       := CROSS JOIN reference [ON condition | USING (names)]
//               | [NATURAL] [INNER | LEFT [OUTER] | RIGHT [OUTER]
//                 | FULL [OUTER]] JOIN reference [ON condition | USING (names)]
// The right operand of a join parses its own joins first, so a chain
// without ON or USING between its members nests to the right; after ON or
// USING the join built so far becomes the left operand of the next join.
//
// Operators (BuildFromOperator, BuildEntryOperator):
//   - a named table: its leaf (TVLMAOTable);
//   - a join: the operators of both operands, then TVLMAOJoin with the key
//     pairs from USING (each name on both sides), NATURAL (the join finds
//     them) or the equalities of ON between the two operands, and for an
//     INNER or CROSS join also those of WHERE. An outer join keeps the rest
//     of its ON as its JoinCondition; an INNER or CROSS join places the rest
//     on itself and its operands (ExtractConditionsFor). A part naming
//     neither operand raises 20270, unless the parent join has no ON of its
//     own: it is then the parent's ON (a JOIN b JOIN c ON a.x = b.x). A
//     name there that no table of FROM has is 10305 instead
//     (RefuseUnknownOnName), as in WHERE and the select list;
//   - comma entries: joined one after the other, INNER on the equalities
//     WHERE finds between the two sides, else CROSS; in written order, except
//     that among named tables the next one joined is the first written one
//     that WHERE links to the tables joined so far, so that none is crossed
//     with them while another could be joined (JoinOrder; written order when
//     a star item, a subquery or an unqualified name that two tables have
//     would find other columns in another order).
//
// WHERE never gives a key to, or is placed below, the null-supplying side
// of an outer join (its operand's rows are padded after the join, and a
// condition there would keep rows that must be padded); the outer join's
// join flag keeps the later placement of WHERE conjuncts above it.
#include <algorithm>
#include <utility>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMKeptTables.h"
#include "engine/sql/VLMRelAlgebraJoin.h"
#include "engine/sql/VLMSQLSelect.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kUnexpectedToken = "Unexpected token '%s' found at line %d, column %d";
constexpr std::string_view kTableNameExpected = "Table name expected, but '%s' found at line %d, column %d";

bool InKinds(TVLMTokenKinds kinds, TVLMTokenKind kind) { return (kinds & (TVLMTokenKinds{1} << kind)) != 0; }

using TJoinKind = TVLMTableReference::TJoinKind;

bool IsOuterJoin(TJoinKind kind) {
  return kind == TJoinKind::Left || kind == TJoinKind::Right || kind == TJoinKind::Full;
}

// reference becomes a join node: what it was is the left operand.
void MakeJoin(TVLMTableReference& reference, TJoinKind kind, bool natural, std::unique_ptr<TVLMTableReference> right,
              std::unique_ptr<qv::StringList> usingFields, std::unique_ptr<TVLMExpression> onCondition) {
  auto left = std::make_unique<TVLMTableReference>(std::move(reference));
  reference = TVLMTableReference();
  reference.Kind = TVLMTableReference::TKind::Join;
  reference.JoinKind = kind;
  reference.Natural = natural ? 1 : 0;
  reference.Left = std::move(left);
  reference.Right = std::move(right);
  reference.UsingFields = std::move(usingFields);
  reference.OnCondition = std::move(onCondition);
}

void AppendPairs(const std::vector<TVLMQualifiedFieldName>& names, TVLMFields& fields) {
  for (const TVLMQualifiedFieldName& name : names) {
    TVLMFieldRef item;
    item.TableName = name.TableName;
    item.FieldName = name.FieldName;
    fields.Add(std::move(item));
  }
}

bool HasCondition(const std::unique_ptr<TVLMExpression>& expression) {
  return expression && !expression->IsEmptyCondition();
}

[[noreturn]] void RaiseOnNotApplicable() { throw EVLMException(20270, "ON condition for JOIN is not applicable"); }

}  // namespace

// --------------------------------------------------------------- grammar

TVLMTableReference::TVLMTableReference() = default;
TVLMTableReference::~TVLMTableReference() = default;
TVLMTableReference::TVLMTableReference(TVLMTableReference&&) noexcept = default;
TVLMTableReference& TVLMTableReference::operator=(TVLMTableReference&&) noexcept = default;

void TVLMSQLSelect::ParseFrom() {
  for (bool first = true;; first = false) {
    auto reference = std::make_unique<TVLMTableReference>();
    if (!ParseTableReference(*reference)) RaiseAtToken(first ? 30183 : 30182, kTableNameExpected);
    Tables.push_back(std::move(reference));
    if (Token.Kind != tktComma) return;
    ExpectNextToken(kVLMTableNameKinds | VLMKinds({tktLeftParenthesis}), 30181, kTableNameExpected);
  }
}

bool TVLMSQLSelect::ParseTableReference(TVLMTableReference& reference) {
  if (Token.Kind == tktLeftParenthesis) {
    TVLMNestingLevels level;
    EnterNestingLevel(level);
    GetNextToken();
    if (!ParseTableReference(reference))
      RaiseAtToken(30179, "Field name expected, but '%s' found at line %d, column %d");
    if (Token.Kind == tktRightParenthesis) GetNextToken();
    std::string alias;
    if (ParseAlias(alias)) reference.Alias = alias;
    ParseJoins(reference);
    return true;
  }
  if (IsKeyword(kwSELECT)) {
    ParseDerivedTable(reference);
    ParseJoins(reference);
    return true;
  }
  if (!InKinds(kVLMTableNameKinds, Token.Kind)) return false;
  reference.Kind = TVLMTableReference::TKind::Table;
  if (IsKeyword(kwMEMORY)) {
    reference.InMemory = 1;
    GetNextToken();
  } else {
    reference.InMemory = Owner != nullptr && Owner->InMemory() ? 1 : 0;
  }
  reference.TableName = TokenValue();
  // A parameter may carry a quoted database part: "db".t.
  if (Token.Kind == tktParameter && !reference.TableName.empty() && reference.TableName.front() == '"') {
    const size_t close = reference.TableName.find('"', 1);
    reference.TableName = close == std::string::npos ? std::string() : reference.TableName.substr(close + 2);
  }
  GetNextToken();
  if (Token.Kind == tktDot) {
    reference.DatabaseFileName = reference.TableName;
    GetNextToken();
    reference.TableName = TokenValue();
    GetNextToken();
  }
  std::string alias;
  if (ParseAlias(alias)) reference.Alias = alias;
  if (IsKeyword(kwPASSWORD)) {
    ExpectNextToken(kVLMPasswordKinds, 30178,
                    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d");
    reference.Password = TokenValue();
    GetNextToken();
  }
  ParseJoins(reference);
  return true;
}

void TVLMSQLSelect::ParseJoins(TVLMTableReference& reference) {
  const TVLMTokenKinds word = VLMKinds({tktReservedWord});
  for (;;) {
    TJoinKind kind = TJoinKind::Inner;
    bool natural = false;
    bool joinWord = false;
    if (IsKeyword(kwCROSS)) {
      ExpectNextToken(word, 30168, kUnexpectedToken);
      kind = TJoinKind::Cross;
      joinWord = true;
    } else {
      if (IsKeyword(kwNATURAL)) {
        natural = true;
        joinWord = true;
        ExpectNextToken(word, 30169, kUnexpectedToken);
      }
      struct TWord {
        uint16_t Keyword;
        TJoinKind Kind;
        int32_t Code;
      };
      for (const TWord w : {TWord{kwINNER, TJoinKind::Inner, 30170}, TWord{kwLEFT, TJoinKind::Left, 30171},
                            TWord{kwRIGHT, TJoinKind::Right, 30172}, TWord{kwFULL, TJoinKind::Full, 30173}}) {
        if (!IsKeyword(w.Keyword)) continue;
        kind = w.Kind;
        joinWord = true;
        ExpectNextToken(word, w.Code, kUnexpectedToken);
        break;
      }
      if (joinWord && IsKeyword(kwOUTER)) ExpectNextToken(word, 30174, kUnexpectedToken);
    }
    if (!IsKeyword(kwJOIN)) {
      if (joinWord) RaiseTokenExpected(30175, "JOIN");
      return;
    }
    GetNextToken();
    auto right = std::make_unique<TVLMTableReference>();
    if (!ParseTableReference(*right)) RaiseAtToken(30176, kTableNameExpected);
    std::unique_ptr<TVLMExpression> on;
    std::unique_ptr<qv::StringList> usingFields;
    if (IsKeyword(kwON)) {
      GetNextToken();
      on = std::make_unique<TVLMExpression>();
      on->InMemory = Owner != nullptr && Owner->InMemory();
      on->ParseBoolean(this, Lexer);
      GetCurrentToken();
    } else if (IsKeyword(kwUSING)) {
      GetNextToken();
      if (Token.Kind != tktLeftParenthesis) RaiseTokenExpected(30167, "(");
      GetNextToken();
      usingFields = std::make_unique<qv::StringList>();
      ParseFieldNameList(*usingFields);
      if (Token.Kind == tktRightParenthesis) GetNextToken();
    }
    MakeJoin(reference, kind, natural, std::move(right), std::move(usingFields), std::move(on));
  }
}

// ------------------------------------------------------------- operators

namespace {

// Whether node, or a node below it, is a field reference without a
// qualifier to one of names (upper-cased), or a subquery.
bool NamesOrNests(TVLMExprNode* node, const std::vector<std::string>& names) {
  if (node == nullptr) return false;
  if (dynamic_cast<TVLMExprNodeSubquery*>(node) != nullptr) return true;
  if (auto* field = dynamic_cast<TVLMExprNodeField*>(node); field != nullptr && field->TableName.empty() &&
      std::find(names.begin(), names.end(), qv::UpperCase1252(field->FieldName)) != names.end())
    return true;
  for (int32_t i = 0; i < node->ChildCount(); ++i)
    if (NamesOrNests(node->Child(i), names)) return true;
  return false;
}

}  // namespace

std::vector<size_t> TVLMSQLSelect::JoinOrder(std::vector<std::unique_ptr<TVLMAO>>& entries) {
  std::vector<size_t> written(entries.size());
  for (size_t i = 0; i < written.size(); ++i) written[i] = i;
  // Only named tables, with every select item named: the columns come out
  // in the items' order whatever the joins' order.
  if (entries.size() < 3 || !Where || SelectAll) return written;
  for (const auto& reference : Tables)
    if (reference->Kind != TVLMTableReference::TKind::Table) return written;
  for (const TVLMFieldRef& item : Items)
    if (item.AllFields) return written;
  // A name without a qualifier that two tables have finds the first in the
  // joins' order: it must stay the written one's. A subquery is left as
  // written too.
  std::vector<std::string> shared, seen;
  for (const auto& entry : entries)
    for (const TVLMAOField& f : entry->Fields) {
      const std::string name = qv::UpperCase1252(f.Name);
      if (std::find(seen.begin(), seen.end(), name) != seen.end())
        shared.push_back(name);
      else
        seen.push_back(name);
    }
  for (const TVLMFieldRef& item : Items) {
    if (item.TableName.empty() && std::find(shared.begin(), shared.end(), qv::UpperCase1252(item.FieldName)) != shared.end())
      return written;
    if (item.Expression && NamesOrNests(item.Expression->GetRoot(), shared)) return written;
  }
  for (int32_t g = 0; g < GroupBy.Count(); ++g)
    if (GroupBy[g].TableName.empty() &&
        std::find(shared.begin(), shared.end(), qv::UpperCase1252(GroupBy[g].FieldName)) != shared.end())
      return written;
  for (const TVLMOrderByItem& item : OrderBy)
    if (item.Qualifier.empty() && std::find(shared.begin(), shared.end(), qv::UpperCase1252(item.FieldName)) != shared.end())
      return written;
  if (NamesOrNests(Where->GetRoot(), shared) || (Having && NamesOrNests(Having->GetRoot(), shared))) return written;

  // Greedy: the next table is the first written one that WHERE joins to a
  // table taken already; a table joined to none is taken in written order
  // only when no such one is left.
  std::vector<size_t> order{0};
  std::vector<bool> taken(entries.size(), false);
  taken[0] = true;
  try {
    while (order.size() < entries.size()) {
      size_t next = entries.size();
      for (size_t i = 0; i < entries.size() && next == entries.size(); ++i) {
        if (taken[i]) continue;
        for (size_t t : order)
          if (Where->HasJoinCondition(entries[t].get(), entries[i].get())) {
            next = i;
            break;
          }
      }
      if (next == entries.size())
        for (size_t i = 0; i < entries.size() && next == entries.size(); ++i)
          if (!taken[i]) next = i;
      order.push_back(next);
      taken[next] = true;
    }
  } catch (const EVLMException&) {
    return written;
  }
  return order;
}

std::unique_ptr<TVLMAO> TVLMSQLSelect::BuildFromOperator(TVLMDataSet* owner, TVLMQueryOperator* outerOperand,
                                                         TVLMCursor* outerCursor, bool allowOuterReferences) {
  // Each entry's operator, in written order; then the inner joins in the
  // order JoinOrder gives, so that no table is crossed with the rows so far
  // while WHERE joins another to them.
  std::vector<std::unique_ptr<TVLMAO>> entries;
  UnplacedOnNames_.clear();
  for (auto& reference : Tables) {
    try {
      entries.push_back(BuildEntryOperator(owner, *reference, Where.get(), nullptr, outerOperand, outerCursor,
                                           allowOuterReferences));
    } catch (const EVLMException& e) {
      if (e.NativeError != 20270) throw;
      // A misspelt name is refused as such; one that another table has is
      // out of the ON's reach.
      entries.clear();
      RefuseUnknownOnName(owner, outerOperand, outerCursor, allowOuterReferences);
      throw;
    }
  }
  const std::vector<size_t> order = JoinOrder(entries);
  std::unique_ptr<TVLMAO> source = std::move(entries[order[0]]);
  for (size_t n = 1; n < order.size(); ++n) {
    std::unique_ptr<TVLMAO> right = std::move(entries[order[n]]);
    std::vector<TVLMQualifiedFieldName> leftNames, rightNames;
    if (Where) Where->ExtractJoinFieldPairs(source.get(), right.get(), leftNames, rightNames);
    TVLMFields leftFields, rightFields;
    AppendPairs(leftNames, leftFields);
    AppendPairs(rightNames, rightFields);
    source = std::make_unique<TVLMAOJoin>(std::move(source), std::move(right),
                                          leftFields.Count() > 0 ? TVLMJoinKind::Inner : TVLMJoinKind::Cross, false,
                                          leftFields, rightFields, nullptr);
  }
  return source;
}

std::unique_ptr<TVLMAO> TVLMSQLSelect::BuildEntryOperator(TVLMDataSet* owner, TVLMTableReference& reference,
                                                          TVLMExpression* where,
                                                          std::unique_ptr<TVLMExpression>* leftover,
                                                          TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                                          bool allowOuterReferences) {
  if (reference.Kind == TVLMTableReference::TKind::Derived)
    return BuildDerivedTable(reference, owner, outerOperand, outerCursor, allowOuterReferences);
  if (reference.Kind == TVLMTableReference::TKind::Table) {
    std::unique_ptr<TVLMTable> table;
    CreateTableComponent(owner, reference.DatabaseFileName, reference.TableName, reference.Password,
                         reference.InMemory != 0, reference.Database, table, true);
    auto leaf = std::make_unique<TVLMAOTable>(reference.TableName, std::move(table), reference.Database.get(),
                                              reference.Alias);
    // With an alias its own name is a qualifier only while no table here,
    // or around this statement, exposes that name.
    leaf->NameQualifies = reference.Alias.empty() || !ScopeExposes(reference.TableName);
    return leaf;
  }
  const TJoinKind kind = reference.JoinKind;
  const bool outer = IsOuterJoin(kind);
  const bool natural = reference.Natural != 0;
  // A join with nothing to join on of its own takes over what its operand
  // joins could not place.
  const bool bare = !outer && !natural && !reference.UsingFields && !HasCondition(reference.OnCondition);
  std::unique_ptr<TVLMExpression> leftRest, rightRest;
  TVLMExpression* leftWhere = kind == TJoinKind::Right || kind == TJoinKind::Full ? nullptr : where;
  TVLMExpression* rightWhere = kind == TJoinKind::Left || kind == TJoinKind::Full ? nullptr : where;
  std::unique_ptr<TVLMAO> left = BuildEntryOperator(owner, *reference.Left, leftWhere, bare ? &leftRest : nullptr,
                                                    outerOperand, outerCursor, allowOuterReferences);
  std::unique_ptr<TVLMAO> right = BuildEntryOperator(owner, *reference.Right, rightWhere,
                                                     bare ? &rightRest : nullptr, outerOperand, outerCursor, allowOuterReferences);
  std::unique_ptr<TVLMExpression>& on = reference.OnCondition;
  GiveSelectList(on.get(), {left.get(), right.get()});
  for (std::unique_ptr<TVLMExpression>* rest : {&leftRest, &rightRest}) {
    if (!HasCondition(*rest)) continue;
    if (on)
      on->AndWith(**rest);
    else
      on = std::move(*rest);
  }

  TVLMFields leftFields, rightFields;
  if (!natural && kind != TJoinKind::Cross) {
    if (reference.UsingFields) {
      for (const std::string& name : *reference.UsingFields) {
        TVLMFieldRef l, r;
        l.FieldName = name;
        r.FieldName = name;
        leftFields.Add(std::move(l));
        rightFields.Add(std::move(r));
      }
    } else if (HasCondition(on)) {
      std::vector<TVLMQualifiedFieldName> leftNames, rightNames;
      on->ExtractJoinFieldPairs(left.get(), right.get(), leftNames, rightNames);
      AppendPairs(leftNames, leftFields);
      AppendPairs(rightNames, rightFields);
    }
  }
  if (!natural && !outer && where != nullptr) {
    // An inner join's WHERE equalities between its sides are keys as well.
    std::vector<TVLMQualifiedFieldName> leftNames, rightNames;
    where->ExtractJoinFieldPairs(left.get(), right.get(), leftNames, rightNames);
    AppendPairs(leftNames, leftFields);
    AppendPairs(rightNames, rightFields);
  }
  TVLMJoinKind joinKind = static_cast<TVLMJoinKind>(kind);
  if (joinKind == TVLMJoinKind::Cross && leftFields.Count() > 0) joinKind = TVLMJoinKind::Inner;

  std::unique_ptr<TVLMExpression> joinCondition;
  if (outer && HasCondition(on)) joinCondition = std::move(on);
  auto join = std::make_unique<TVLMAOJoin>(std::move(left), std::move(right), joinKind, natural, leftFields,
                                           rightFields, std::move(joinCondition));
  if (outer) {
    // The rest of an outer join's ON is evaluated on the join's own pairs:
    // it must name nothing but the two operands (or outer rows).
    if (join->JoinCondition &&
        !join->JoinCondition->GetRoot()->ResolveFields(join.get(), outerOperand, false, outerCursor)) {
      UnplacedOnNames_.clear();
      VLMAppendUnknownNames(join->JoinCondition->GetRoot(), {join.get(), outerOperand}, outerCursor,
                            UnplacedOnNames_);
      join.reset();
      RaiseOnNotApplicable();
    }
    return join;
  }
  if (HasCondition(on)) {
    on->ExtractConditionsFor(join.get(), outerOperand, false, true, outerCursor);
    if (!on->IsEmptyCondition()) {
      if (leftover == nullptr) {
        UnplacedOnNames_.clear();
        VLMAppendUnknownNames(on->GetRoot(), {join.get(), outerOperand}, outerCursor, UnplacedOnNames_);
        join.reset();
        RaiseOnNotApplicable();
      }
      *leftover = std::move(on);
    }
  }
  return join;
}

void TVLMSQLSelect::RefuseUnknownOnName(TVLMDataSet* owner, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                        bool allowOuterReferences) {
  if (UnplacedOnNames_.empty()) return;
  // The leaf of every named table; a derived table is not built again (its
  // query gave its items away): any name it may show counts as found.
  std::vector<std::unique_ptr<TVLMAO>> leaves;
  std::vector<std::string> derived;
  auto collect = [&](auto& self, TVLMTableReference& reference) -> void {
    switch (reference.Kind) {
      case TVLMTableReference::TKind::Join:
        self(self, *reference.Left);
        self(self, *reference.Right);
        return;
      case TVLMTableReference::TKind::Derived:
        derived.push_back(reference.Alias);
        return;
      default:
        leaves.push_back(BuildEntryOperator(owner, reference, nullptr, nullptr, outerOperand, outerCursor,
                                            allowOuterReferences));
    }
  };
  try {
    for (auto& reference : Tables) collect(collect, *reference);
  } catch (...) {
    return;
  }
  for (const TVLMQualifiedFieldName& name : UnplacedOnNames_) {
    const std::string& qualifier = name.TableName;
    bool found = false;
    bool qualifierKnown = qualifier.empty();
    TVLMIntegerArray list(0, 100, 10);
    for (const auto& leaf : leaves) {
      list.SetSize(0);
      if (leaf->FindFields(name.FieldName, qualifier, false, true, &list, false) > 0) found = true;
      list.SetSize(0);
      if (!qualifierKnown && leaf->FindFields("*", qualifier, false, true, &list, false) > 0) qualifierKnown = true;
    }
    for (const std::string& alias : derived)
      if (qualifier.empty() || qv::UpperCase1252(alias) == qv::UpperCase1252(qualifier)) found = true;
    // A qualifier that names no table here names one out of reach, or none:
    // no column to miss. Without one, an outer row may have the name.
    if (found || !qualifierKnown || NamesItem(name)) continue;
    if (qualifier.empty() && (allowOuterReferences || EnclosingScope != nullptr)) continue;
    throw EVLMException(10305, "Cannot find field %s", {name.FieldName});
  }
}
