// Shared pieces of the B-tree tests: the in-memory tree harness that the
// benchmark uses too, and the engine-error helpers.
#pragma once

#include "tests/support/engine/BTreeHarness.h"
#include "tests/support/EngineErrors.h"

namespace btree_test {

using namespace btree_harness;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

}  // namespace btree_test
