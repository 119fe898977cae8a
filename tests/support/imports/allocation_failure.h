// Makes the heap refuse large requests while a LargeAllocationFailure lives: the current
// program's imports of malloc, calloc, realloc, CoTaskMemAlloc and CoTaskMemRealloc fail
// (return null) for any request of `threshold` bytes or more and pass the others on. A 64-bit
// heap grants what a 32-bit one cannot, so a test that needs an allocation to fail injects the
// failure instead of asking for more than the address space. One lives at a time.
#pragma once

#include <cstddef>

#include "import_patch.h"

class LargeAllocationFailure {
public:
    explicit LargeAllocationFailure(size_t threshold);
    ~LargeAllocationFailure();
    LargeAllocationFailure(const LargeAllocationFailure &) = delete;
    LargeAllocationFailure &operator=(const LargeAllocationFailure &) = delete;

    // Whether every allocator the program imports was redirected.
    bool Active() const { return m_active; }
    static long Refused();  // requests refused so far

private:
    ImportPatches m_patches;
    bool m_active = false;
};
