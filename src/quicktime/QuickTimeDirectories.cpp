// Finding QuickTime.qts on disk: the folder of a copy of ours already loaded, else the folder
// of the module that holds this binding, else the installation folders named in the registry,
// else the Windows system folder (and its QuickTime subfolder as the extension folder). A
// library is kept only when it carries this project's runtime mark.
#include <cstring>

#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeRuntimeMark.h"

namespace {

const char kQuickTimeKey[] = "Software\\Apple Computer, Inc.\\QuickTime";
const char kLibraryName[] = "QuickTime.qts";

class RegistryKey {
public:
    explicit RegistryKey(HKEY key) : m_key(key) {}
    ~RegistryKey() { RegCloseKey(m_key); }
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;

private:
    HKEY m_key;
};

bool EndsWithSeparator(const char *text)
{
    const size_t length = std::strlen(text);
    return length > 0 && (text[length - 1] == '\\' || text[length - 1] == '/');
}

// False when the separator does not fit.
bool AppendSeparator(char *buffer, DWORD bufferSize)
{
    if (EndsWithSeparator(buffer))
        return true;
    const size_t length = std::strlen(buffer);
    if (length + 2 > bufferSize)
        return false;
    buffer[length] = '\\';
    buffer[length + 1] = '\0';
    return true;
}

bool PathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The Windows system folder, or an empty text when it does not fit.
void GetWindowsSystemDirectory(char *buffer, DWORD bufferSize)
{
    const UINT length = GetSystemDirectoryA(buffer, bufferSize);
    if (length == 0 || length >= bufferSize)
        buffer[0] = '\0';
}

// The folder of a QuickTime.qts of ours that some module of the process loaded already. A
// foreign one (QuickTime for Windows) is passed over.
bool GetLoadedLibraryDirectory(char *buffer, DWORD bufferSize)
{
    const HMODULE loaded = GetModuleHandleA(kLibraryName);
    if (!loaded || !IsProjectQuickTimeRuntime(loaded))
        return false;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(loaded, path, sizeof path);
    if (length == 0 || length >= sizeof path || length < sizeof kLibraryName - 1)
        return false;
    const DWORD directoryLength = length - (sizeof kLibraryName - 1);
    if (directoryLength == 0 || bufferSize <= directoryLength + 1)
        return false;
    std::memcpy(buffer, path, directoryLength);
    buffer[directoryLength] = '\0';
    return true;
}

// The folder of the module this binding is linked into (the filter module), with its separator.
bool GetBindingModuleDirectory(char *buffer, DWORD bufferSize)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&GetBindingModuleDirectory), &self))
        return false;
    const DWORD length = GetModuleFileNameA(self, buffer, bufferSize);
    char *slash = length > 0 && length < bufferSize ? std::strrchr(buffer, '\\') : nullptr;
    if (!slash) {
        buffer[0] = '\0';
        return false;
    }
    slash[1] = '\0';
    return true;
}

// Loads a library and keeps it only when it is this project's runtime.
HMODULE LoadProjectRuntime(const char *path)
{
    const HMODULE module = LoadLibraryA(path);
    if (module && !IsProjectQuickTimeRuntime(module)) {
        FreeLibrary(module);
        return nullptr;
    }
    return module;
}

}  // namespace

extern "C" {

void ReadQuickTimeRegistryDirectory(const char *valueName, char *buffer, DWORD bufferSize)
{
    if (!buffer || bufferSize == 0)
        return;
    buffer[0] = '\0';
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    RegistryKey keyCloser(key);
    // One byte kept back: a value stored without its terminator still ends in one.
    DWORD size = bufferSize - 1;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer),
                         &size) != ERROR_SUCCESS) {
        buffer[0] = '\0';
        return;
    }
    buffer[size < bufferSize ? size : bufferSize - 1] = '\0';
    if (buffer[0] != '\0' && !AppendSeparator(buffer, bufferSize))
        buffer[0] = '\0';
}

BOOL GetQuickTimeSystemDirectory(char *buffer, DWORD bufferSize)
{
    if (!buffer || bufferSize == 0)
        return FALSE;
    buffer[0] = '\0';
    if (!GetLoadedLibraryDirectory(buffer, bufferSize)) {
        buffer[0] = '\0';
        ReadQuickTimeRegistryDirectory("QTSysDir", buffer, bufferSize);
        if (buffer[0] == '\0' || !PathExists(buffer))
            ReadQuickTimeRegistryDirectory("QuickTime.qts folder", buffer, bufferSize);
        if (buffer[0] == '\0' || !PathExists(buffer))
            GetWindowsSystemDirectory(buffer, bufferSize);
        if (buffer[0] != '\0' && !PathExists(buffer))
            buffer[0] = '\0';
    }
    if (buffer[0] != '\0' && !AppendSeparator(buffer, bufferSize))
        buffer[0] = '\0';
    return buffer[0] != '\0';
}

DWORD GetQuickTimeExtensionDirectory(char *buffer, DWORD bufferSize)
{
    if (!buffer || bufferSize == 0)
        return 0;
    ReadQuickTimeRegistryDirectory("QTExtDir", buffer, bufferSize);
    if (buffer[0] != '\0')
        return DWORD(std::strlen(buffer));

    static const char kSubfolder[] = "QuickTime\\";
    if (bufferSize <= sizeof kSubfolder)
        return 0;
    const DWORD room = bufferSize - (sizeof kSubfolder - 1);
    char system[MAX_PATH + 1];
    const DWORD systemRoom = room < sizeof system ? room : DWORD(sizeof system);
    GetWindowsSystemDirectory(system, systemRoom);
    if (!GetQuickTimeSystemDirectory(buffer, room))
        return 0;
    if (system[0] != '\0' && AppendSeparator(system, systemRoom) &&
        std::strcmp(buffer, system) == 0)
        std::strcat(buffer, kSubfolder);
    return DWORD(std::strlen(buffer));
}

HMODULE LoadQuickTimeLibrary(const char *fileName)
{
    char path[MAX_PATH];
    const size_t nameLength = std::strlen(fileName);
    if (nameLength >= sizeof path)
        return nullptr;
    const DWORD room = DWORD(sizeof path - nameLength);
    // Where QuickTime for Windows is installed too, the registry names its folder: the runtime
    // installed beside the filter module comes first, unless one of ours is loaded already.
    if (!GetLoadedLibraryDirectory(path, room) && GetBindingModuleDirectory(path, room)) {
        std::strcat(path, fileName);
        if (const HMODULE module = LoadProjectRuntime(path))
            return module;
    }
    if (!GetQuickTimeSystemDirectory(path, room))
        return nullptr;
    std::strcat(path, fileName);
    if (const HMODULE module = LoadProjectRuntime(path))
        return module;
    if (GetQuickTimeExtensionDirectory(path, room) == 0)
        return nullptr;
    std::strcat(path, fileName);
    return LoadProjectRuntime(path);
}

}  // extern "C"
