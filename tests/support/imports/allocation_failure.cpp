#include "allocation_failure.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace {

std::atomic<size_t> g_threshold{SIZE_MAX};  // SIZE_MAX: refuse nothing
std::atomic<long> g_refused{0};
void *(__cdecl *g_malloc)(size_t);
void *(__cdecl *g_calloc)(size_t, size_t);
void *(__cdecl *g_realloc)(void *, size_t);
LPVOID(WINAPI *g_coTaskMemAlloc)(SIZE_T);
LPVOID(WINAPI *g_coTaskMemRealloc)(LPVOID, SIZE_T);

bool Refuse(size_t n)
{
    if (n < g_threshold.load())
        return false;
    g_refused++;
    return true;
}

void *__cdecl FailingMalloc(size_t n)
{
    return Refuse(n) ? nullptr : g_malloc(n);
}
void *__cdecl FailingCalloc(size_t n, size_t size)
{
    const size_t total = size && n > SIZE_MAX / size ? SIZE_MAX : n * size;
    return Refuse(total) ? nullptr : g_calloc(n, size);
}
void *__cdecl FailingRealloc(void *p, size_t n)
{
    return Refuse(n) ? nullptr : g_realloc(p, n);
}
LPVOID WINAPI FailingCoTaskMemAlloc(SIZE_T n)
{
    return Refuse(n) ? nullptr : g_coTaskMemAlloc(n);
}
LPVOID WINAPI FailingCoTaskMemRealloc(LPVOID p, SIZE_T n)
{
    return Refuse(n) ? nullptr : g_coTaskMemRealloc(p, n);
}

}  // namespace

LargeAllocationFailure::LargeAllocationFailure(size_t threshold)
{
    g_threshold = threshold;
    g_refused = 0;
    const HMODULE program = GetModuleHandleW(nullptr);
    // The C runtime allocators are always imported; the COM ones only when the program uses
    // them.
    m_active = m_patches.Redirect(program, "msvcrt.dll", "malloc",
                                  reinterpret_cast<void *>(&FailingMalloc),
                                  reinterpret_cast<void **>(&g_malloc)) &&
               m_patches.Redirect(program, "msvcrt.dll", "calloc",
                                  reinterpret_cast<void *>(&FailingCalloc),
                                  reinterpret_cast<void **>(&g_calloc)) &&
               m_patches.Redirect(program, "msvcrt.dll", "realloc",
                                  reinterpret_cast<void *>(&FailingRealloc),
                                  reinterpret_cast<void **>(&g_realloc));
    m_patches.Redirect(program, "ole32.dll", "CoTaskMemAlloc",
                       reinterpret_cast<void *>(&FailingCoTaskMemAlloc),
                       reinterpret_cast<void **>(&g_coTaskMemAlloc));
    m_patches.Redirect(program, "ole32.dll", "CoTaskMemRealloc",
                       reinterpret_cast<void *>(&FailingCoTaskMemRealloc),
                       reinterpret_cast<void **>(&g_coTaskMemRealloc));
}

LargeAllocationFailure::~LargeAllocationFailure()
{
    g_threshold = SIZE_MAX;
}

long LargeAllocationFailure::Refused()
{
    return g_refused.load();
}
