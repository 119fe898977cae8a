// Reads a file's fixed version (VS_FIXEDFILEINFO file version). Shared by the loader's
// 7.0.2 test and the stand-in's Gestalt answer.
#pragma once

#include <windows.h>

struct QuickTimeFileVersion {
    DWORD mostSignificant;   // major << 16 | minor
    DWORD leastSignificant;  // third << 16 | fourth
};

// False when the file has no readable version resource.
bool ReadQuickTimeFileVersion(const char *path, QuickTimeFileVersion *version);

// The four parts, each cut to 8 bits, major in the top byte (7.0.2.0 is 0x07000200).
DWORD PackQuickTimeFileVersion(const QuickTimeFileVersion &version);
