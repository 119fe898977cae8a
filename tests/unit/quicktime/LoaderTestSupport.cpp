#include "LoaderTestSupport.h"

#include "quicktime/QuickTimeBinding.h"

namespace {
const char kQuickTimeKey[] = "Software\\Apple Computer, Inc.\\QuickTime";
}

std::string ProgramDirectory()
{
    std::string directory = ModulePath(nullptr);
    directory.erase(directory.find_last_of('\\') + 1);
    return directory;
}

std::string TestLibraryDirectory(const char *variant)
{
    return ProgramDirectory() + "qts\\" + variant + "\\";
}

std::string OtherArchitectureRuntimeDirectory()
{
    char unixPath[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("QUORVEX_OTHER_ARCH_RUNTIME", unixPath, sizeof unixPath);
    if (length == 0 || length >= sizeof unixPath)
        return std::string();
    // Wine shows the Unix root as drive Z:.
    std::string path = std::string("Z:") + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    if (path.back() != '\\')
        path += '\\';
    return path;
}

std::string ModulePath(HMODULE module)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

void SetQuickTimeRegistryValue(const char *name, const std::string &value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   DWORD(value.size() + 1));
    RegCloseKey(key);
}

void DeleteQuickTimeRegistryValues()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (const char *name : {"QTSysDir", "QuickTime.qts folder", "QTExtDir"})
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

void ResetQuickTimeBindingToInitial()
{
    QuickTimeBinding = {&LazyBindQuickTime, &QuickTimeNotBound, &QuickTimeNotBound,
                        &QuickTimeNotBound, nullptr, 0, 0, 0};
}

bool UnloadQuickTimeLibraries()
{
    for (int i = 0; i < 64; ++i) {
        const HMODULE module = GetModuleHandleA("QuickTime.qts");
        if (!module)
            return true;
        FreeLibrary(module);
    }
    return GetModuleHandleA("QuickTime.qts") == nullptr;
}

TestQuickTimeState *LoadedTestQuickTime()
{
    const HMODULE module = GetModuleHandleA("QuickTime.qts");
    if (!module)
        return nullptr;
    const auto state =
        reinterpret_cast<TestQuickTimeStateProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "TestQuickTimeState")));
    return state ? state() : nullptr;
}

std::string LoadedQuickTimePath()
{
    const HMODULE module = GetModuleHandleA("QuickTime.qts");
    return module ? ModulePath(module) : std::string();
}

std::string WindowsSystemDirectory()
{
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, sizeof path);
    return std::string(path, length) + "\\";
}

ScopedLibraryCopy::ScopedLibraryCopy(const char *variant, const std::string &directory)
    : m_path(directory + "QuickTime.qts")
{
    if (GetFileAttributesA(directory.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryA(directory.c_str(), nullptr))
            return;
        m_createdDirectory = directory;
    }
    const std::string source = TestLibraryDirectory(variant) + "QuickTime.qts";
    m_ok = CopyFileA(source.c_str(), m_path.c_str(), FALSE) != FALSE;
    if (!m_ok)
        m_path.clear();
}

ScopedLibraryCopy::~ScopedLibraryCopy()
{
    if (!m_path.empty())
        DeleteFileA(m_path.c_str());
    if (!m_createdDirectory.empty())
        RemoveDirectoryA(m_createdDirectory.c_str());
}
