#include "quicktime/QuickTimeFileVersion.h"

#include <memory>
#include <new>

bool ReadQuickTimeFileVersion(const char *path, QuickTimeFileVersion *version)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return false;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]());
    if (!block)
        return false;
    if (!GetFileVersionInfoA(path, 0, size, block.get()))
        return false;
    VS_FIXEDFILEINFO *info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueA(block.get(), "\\", reinterpret_cast<void **>(&info), &infoSize) ||
        !info || infoSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    version->mostSignificant = info->dwFileVersionMS;
    version->leastSignificant = info->dwFileVersionLS;
    return true;
}

DWORD PackQuickTimeFileVersion(const QuickTimeFileVersion &version)
{
    return ((HIWORD(version.mostSignificant) & 0xFF) << 24) |
           ((LOWORD(version.mostSignificant) & 0xFF) << 16) |
           ((HIWORD(version.leastSignificant) & 0xFF) << 8) |
           (LOWORD(version.leastSignificant) & 0xFF);
}
