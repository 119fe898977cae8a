// The decoder library beside the runtime: its DLLs are loaded from the runtime's own folder the
// first time a track asks for a decoder (never under the loader lock), and refused, once and
// for good, when they are missing, of another architecture or of another version.
#include <windows.h>

#include <mutex>

#include "WindowsDecoders.h"
#include "libav.h"

namespace {

// Unloaded only with the process: decoders made from them may live until then.
struct Library {
    HMODULE avutil = nullptr, avcodec = nullptr;
    qte::LibavFunctions functions;
    std::unique_ptr<qte::DecoderFactory> factory;
};

// The folder of this runtime, with its trailing separator; empty when unknown.
std::wstring RuntimeFolder()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&RuntimeFolder), &self))
        return std::wstring();
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::wstring();
    std::wstring folder(path, n);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

// Its dependencies (avutil, swresample, dav1d) resolve from the same folder, before the
// system's: a DLL of that name elsewhere on the path is not ours.
HMODULE LoadBeside(const std::wstring &folder, const wchar_t *name)
{
    return LoadLibraryExW((folder + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

Library *Load()
{
    const std::wstring folder = RuntimeFolder();
    if (folder.empty())
        return nullptr;
    static Library library;
    library.avutil = LoadBeside(folder, L"avutil-57.dll");
    library.avcodec = library.avutil ? LoadBeside(folder, L"avcodec-59.dll") : nullptr;
    if (!library.avcodec)
        return nullptr;  // missing, or not of this architecture: ERROR_BAD_EXE_FORMAT
    qte::LibavFunctions &f = library.functions;
#define QTS_LIBAV_ENTRY(name)                                                                              \
    f.name = reinterpret_cast<decltype(f.name)>(reinterpret_cast<void (*)()>(                             \
        GetProcAddress(library.avcodec, #name) ? GetProcAddress(library.avcodec, #name)                  \
                                               : GetProcAddress(library.avutil, #name)));
    QTE_LIBAV_FUNCTIONS(QTS_LIBAV_ENTRY)
#undef QTS_LIBAV_ENTRY
    library.factory = qte::makeLibavFactory(f);  // null when a function or the version is wrong
    return library.factory ? &library : nullptr;
}

}  // namespace

qte::DecoderFactory *QtsLibraryDecoders()
{
    static std::once_flag once;
    static Library *library = nullptr;
    std::call_once(once, [] { library = Load(); });
    return library ? library->factory.get() : nullptr;
}
