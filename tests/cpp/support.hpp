// Shared helpers of the store tests: Python snippets and allocation failure
// injection.
#pragma once

#include "HashStore.hpp"
#include "PythonObj.hpp"
#include "store_probe.hpp"

#include <cstddef>

// Result of a Python expression, evaluated in __main__ (so names defined by
// pyExec are visible). Aborts the test run on a Python error: a broken
// snippet is a broken test.
PythonObj pyEval(const char* expression);
void pyExec(const char* statements);

// Fails the nth allocation (1-based) made through operator new, new[] or
// calloc while the guard lives; fired() tells whether it got that far.
class FailNthAllocation {
public:
    explicit FailNthAllocation(int nth);
    ~FailNthAllocation();
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;
    bool fired() const;
};

// Blocks from operator new and new[] not yet given back.
long liveNewBlocks();
