#include "quicktime/QuickTimeRuntimeMark.h"

#include <cstring>

bool IsProjectQuickTimeRuntime(HMODULE module)
{
    if (!module)
        return false;
    const auto *base = reinterpret_cast<const BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->FileHeader.Machine != kQuickTimeRuntimeMachine)
        return false;
    const auto *mark = reinterpret_cast<const QuickTimeRuntimeMark *>(
        reinterpret_cast<const void *>(GetProcAddress(module, QT_RUNTIME_MARK_EXPORT)));
    return mark &&
           std::memcmp(mark->name, kQuickTimeRuntimeMarkName, sizeof kQuickTimeRuntimeMarkName) == 0 &&
           mark->machine == kQuickTimeRuntimeMachine &&
           mark->interfaceVersion >= kQuickTimeRuntimeInterface;
}
