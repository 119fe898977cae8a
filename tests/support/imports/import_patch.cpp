#include "import_patch.h"

#include <cstring>

namespace {

bool WriteSlot(void **address, void *value)
{
    DWORD old = 0;
    if (!VirtualProtect(address, sizeof(void *), PAGE_READWRITE, &old))
        return false;
    *address = value;
    VirtualProtect(address, sizeof(void *), old, &old);
    return true;
}

}  // namespace

ImportPatches::~ImportPatches()
{
    for (auto slot = m_slots.rbegin(); slot != m_slots.rend(); ++slot)
        WriteSlot(slot->address, slot->original);
}

bool ImportPatches::Redirect(HMODULE module, const char *dll, const char *name, void *replacement,
                             void **original)
{
    if (!module)
        return false;
    BYTE *base = reinterpret_cast<BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress)
        return false;
    bool found = false;
    for (auto *imp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name; imp++) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + imp->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(byName->Name), name) != 0)
                continue;
            void **address = reinterpret_cast<void **>(&slots->u1.Function);
            void *previous = *address;
            if (!WriteSlot(address, replacement))
                return found;
            if (!*original)
                *original = previous;
            m_slots.push_back({address, previous});
            found = true;
        }
    }
    return found;
}
