// The ANSI form of a file name, for QuickTime, which takes paths in the ANSI code page.
#pragma once

#include <windows.h>

// A new[] copy of pszPath in the ANSI code page. A name that the code page cannot hold exactly
// is replaced by the file's short (8.3) path when that one converts exactly; otherwise
// HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION). E_OUTOFMEMORY when memory is short.
// *ppszAnsi is null on failure.
HRESULT AnsiPathFromWide(LPCWSTR pszPath, char **ppszAnsi);
