// Wide-string helpers shared by the filter and pin bases.
#pragma once

#include <windows.h>

#include <stddef.h>

// A copy on the heap (delete[]), or null when pSrc is null or memory is short.
WCHAR *DuplicateWideString(LPCWSTR pSrc);

// Copies pSrc (null: empty) into a fixed array of cch characters, truncating and terminating.
void CopyWideTruncated(WCHAR *pDest, size_t cch, LPCWSTR pSrc);
