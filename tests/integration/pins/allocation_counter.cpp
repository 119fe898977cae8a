#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>

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
        m_patches.Redirect(m, "msvcrt.dll", "malloc", reinterpret_cast<void *>(&CountingMalloc),
                           reinterpret_cast<void **>(&g_malloc));
        m_patches.Redirect(m, "msvcrt.dll", "calloc", reinterpret_cast<void *>(&CountingCalloc),
                           reinterpret_cast<void **>(&g_calloc));
        m_patches.Redirect(m, "msvcrt.dll", "realloc", reinterpret_cast<void *>(&CountingRealloc),
                           reinterpret_cast<void **>(&g_realloc));
        m_patches.Redirect(m, "gdi32.dll", "CreateDIBSection",
                           reinterpret_cast<void *>(&CountingCreateDIBSection),
                           reinterpret_cast<void **>(&g_createDIBSection));
        m_patches.Redirect(m, "ole32.dll", "CoTaskMemAlloc",
                           reinterpret_cast<void *>(&CountingCoTaskMemAlloc),
                           reinterpret_cast<void **>(&g_coTaskMemAlloc));
    }
}

AllocationCounter::~AllocationCounter() = default;
