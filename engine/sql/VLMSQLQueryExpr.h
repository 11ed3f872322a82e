// Query expressions: the SQL engine's side of the expression core's
// subquery node (VLMSQLQueryExpr.cpp holds the grammar and the subquery's
// states).
//
//   VLMCreateSubquery         the subquery factory the components' runtime
//                             installs in the expression services
//   VLMSubqueryRunCount       how often subquery results were filled
//   VLMReleaseKeptSubqueries  closes the trees correlated subqueries keep
//
// Error codes: 20760 a subquery outside an SQL statement (the others of
// query expressions are listed in VLMSQLQueryExpr.cpp).
#pragma once

#include <cstdint>
#include <memory>

class TVLMLexer;
class TVLMQueryContext;
class TVLMSubquery;

// The subquery factory of the expression services (the CreateSubquery
// member of TVLMExpressionServices, installed by the components' runtime):
// reads a query expression from lexer's current token (SELECT) up to the
// ')' that closes it, for the statement queryContext; 20760 when
// queryContext is no SQL statement (a subquery in a dataset filter).
std::unique_ptr<TVLMSubquery> VLMCreateSubquery(TVLMLexer& lexer, TVLMQueryContext* queryContext);
// How many times subquery results were filled since the process started: a
// subquery that refers to no outer row once per statement run, a
// correlated one once per outer row.
int64_t VLMSubqueryRunCount();
// Closes the trees that correlated subqueries of this thread keep between
// outer rows (they are built again when next asked).
void VLMReleaseKeptSubqueries();
