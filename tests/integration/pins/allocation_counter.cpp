#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> g_count{0};
std::atomic<long> g_dibSections{0};
void *(__cdecl *g_malloc)(size_t) = nullptr;
void *(__cdecl *g_calloc)(size_t, size_t) = nullptr;
void *(__cdecl *g_realloc)(void *, size_t) = nullptr;
LPVOID(WINAPI *g_coTaskMemAlloc)(SIZE_T) = nullptr;
HBITMAP(WINAPI *g_createDIBSection)(HDC, const BITMAPINFO *, UINT, void **, HANDLE, DWORD) = nullptr;

void *__cdecl CountingMalloc(size_t n)
{
    g_count++;
    return g_malloc(n);
}
void *__cdecl CountingCalloc(size_t n, size_t size)
{
    g_count++;
    return g_calloc(n, size);
}
void *__cdecl CountingRealloc(void *p, size_t n)
{
    g_count++;
    return g_realloc(p, n);
}
LPVOID WINAPI CountingCoTaskMemAlloc(SIZE_T n)
{
    g_count++;
    return g_coTaskMemAlloc(n);
}

HBITMAP WINAPI CountingCreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits,
                                        HANDLE section, DWORD offset)
{
    g_dibSections++;
    return g_createDIBSection(dc, info, usage, bits, section, offset);
}

}  // namespace

long AllocationCounter::DibSections()
{
    return g_dibSections.load();
}

long AllocationCounter::Count()
{
    return g_count.load();
}

void AllocationCounter::Reset()
{
    g_count = 0;
    g_dibSections = 0;
}

AllocationCounter::AllocationCounter(const std::vector<HMODULE> &modules)
{
    for (HMODULE m : modules) {
        Hook(m, "msvcrt.dll", "malloc", reinterpret_cast<void *>(&CountingMalloc),
             reinterpret_cast<void **>(&g_malloc));
        Hook(m, "msvcrt.dll", "calloc", reinterpret_cast<void *>(&CountingCalloc),
             reinterpret_cast<void **>(&g_calloc));
        Hook(m, "msvcrt.dll", "realloc", reinterpret_cast<void *>(&CountingRealloc),
             reinterpret_cast<void **>(&g_realloc));
        Hook(m, "gdi32.dll", "CreateDIBSection", reinterpret_cast<void *>(&CountingCreateDIBSection),
             reinterpret_cast<void **>(&g_createDIBSection));
        Hook(m, "ole32.dll", "CoTaskMemAlloc", reinterpret_cast<void *>(&CountingCoTaskMemAlloc),
             reinterpret_cast<void **>(&g_coTaskMemAlloc));
    }
}

AllocationCounter::~AllocationCounter()
{
    for (const Slot &s : m_slots) {
        DWORD old = 0;
        if (VirtualProtect(s.address, sizeof(void *), PAGE_READWRITE, &old)) {
            *s.address = s.original;
            VirtualProtect(s.address, sizeof(void *), old, &old);
        }
    }
}

void AllocationCounter::Hook(HMODULE module, const char *dll, const char *name, void *replacement,
                             void **original)
{
    if (!module)
        return;
    BYTE *base = reinterpret_cast<BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress)
        return;
    for (auto *imp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name; imp++) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + imp->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(byName->Name), name) != 0)
                continue;
            void **address = reinterpret_cast<void **>(&slots->u1.Function);
            DWORD old = 0;
            if (!VirtualProtect(address, sizeof(void *), PAGE_READWRITE, &old))
                return;
            if (!*original)
                *original = *address;
            m_slots.push_back({address, *address});
            *address = replacement;
            VirtualProtect(address, sizeof(void *), old, &old);
        }
    }
}
