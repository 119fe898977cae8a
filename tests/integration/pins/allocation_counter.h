// Counts the allocations that given modules make: heap blocks (their imports of the C runtime's
// malloc, calloc and realloc and of CoTaskMemAlloc) and DIB sections (CreateDIBSection). The
// imports are pointed at counting forwarders while an AllocationCounter lives, and put back
// when it goes. (The modules link the C++ runtime statically, so operator new reaches malloc
// through the same import.)
#pragma once

#include <windows.h>

#include <vector>

#include "import_patch.h"

class AllocationCounter {
public:
    explicit AllocationCounter(const std::vector<HMODULE> &modules);
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter &) = delete;
    AllocationCounter &operator=(const AllocationCounter &) = delete;

    // The import slots redirected; 0 means nothing is being counted.
    size_t Hooked() const { return m_patches.Count(); }
    static long Count();           // heap blocks
    static long DibSections();
    static void Reset();

private:
    ImportPatches m_patches;
};
