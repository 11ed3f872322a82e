// The link between the engine's definitions and cursors and the expression
// module, which builds on both.
//
// Field definitions own the parsed form of an expression default, and cursors
// own the expression parsed from a dataset's filter text; both only hold and
// free those trees and ask for two services: parsing a default and binding a
// filter to a cursor. The expression module installs the services once, before
// it hands out its first expression (its constructor does it), so that
// definitions and cursors build and link without it.
//
// An expression is owned through TVLMExpressionPtr; the deleter hands the tree
// back to the module's free routine.
//
// Two services come from above the core: the SQL engine's subquery factory
// and the components' table opener for LASTAUTOINC. They install a copy of
// the module's services (VLMExpressionModuleServices) with their member set.
//
// Field references of an expression may also be bound to a query operator of
// the SQL engine. The core sees such an operator only through the abstract
// TVLMQueryOperator of the query seam (VLMQuerySeam.h), from which the SQL
// engine's operators derive.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <string>

class TVLMExpression;
class TVLMCursor;
class TVLMVariant;
class TVLMQueryOperator;
class TVLMLexer;
class TVLMQueryContext;
class TVLMSubquery;
class TVLMAutoincTable;

struct TVLMExpressionDeleter {
  // Frees the expression through the installed services.
  void operator()(TVLMExpression* expression) const noexcept;
};
using TVLMExpressionPtr = std::unique_ptr<TVLMExpression, TVLMExpressionDeleter>;

struct TVLMExpressionServices {
  // Destroys one expression made by the module.
  void (*FreeExpression)(TVLMExpression* expression) noexcept = nullptr;
  // A new expression parsed from a default value when the value holds an
  // expression default (a non-empty text that parses as a value expression
  // whose result text differs from the text); nullptr otherwise.
  TVLMExpression* (*ParseDefaultExpression)(const TVLMVariant& defaultValue) = nullptr;
  // Binds the expression's field references to cursor; operand and
  // outerCursor are handed on unchanged.
  void (*BindToCursor)(TVLMExpression& expression, TVLMCursor* cursor, TVLMQueryOperator* operand,
                       TVLMCursor* outerCursor) = nullptr;
  // Registered by the SQL engine: reads a subquery's SELECT from lexer (its
  // current token is SELECT) for the statement queryContext (may be
  // nullptr), leaving the lexer at the first token after it. Without it a
  // subquery cannot be parsed.
  std::unique_ptr<TVLMSubquery> (*CreateSubquery)(TVLMLexer& lexer, TVLMQueryContext* queryContext) = nullptr;
  // Registered by the components: opens the table LASTAUTOINC reads, raising
  // the table layer's error when it cannot.
  std::unique_ptr<TVLMAutoincTable> (*OpenAutoincTable)(const std::string& sessionName,
                                                        const std::string& databaseName,
                                                        const std::string& tableName, bool inMemory) = nullptr;
};

// Installs the services (the object must live as long as the process, or
// until another call replaces it) and returns the ones installed before.
// nullptr removes them.
const TVLMExpressionServices* VLMInstallExpressionServices(const TVLMExpressionServices* services);
// The installed services; nullptr before the module installed them.
const TVLMExpressionServices* VLMGetExpressionServices();
