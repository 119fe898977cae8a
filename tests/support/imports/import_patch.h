// Points a module's imports at replacements for the life of an ImportPatches, and puts them
// back when it goes. A test uses it to count or to fail what the code under test asks of the
// system (allocations, DIB sections) without a seam in that code.
#pragma once

#include <windows.h>

#include <vector>

class ImportPatches {
public:
    ImportPatches() = default;
    ~ImportPatches();
    ImportPatches(const ImportPatches &) = delete;
    ImportPatches &operator=(const ImportPatches &) = delete;

    // Redirects every slot where `module` imports `name` from `dll`. *original receives the
    // routine the first slot pointed at, unless it holds one already. False when the module
    // imports no such routine.
    bool Redirect(HMODULE module, const char *dll, const char *name, void *replacement,
                  void **original);
    size_t Count() const { return m_slots.size(); }

private:
    struct Slot {
        void **address;
        void *original;
    };
    std::vector<Slot> m_slots;
};
