#include "filter/ansipath.h"

#include <new>

namespace {

// Converts exactly or not at all: no best-fit look-alikes, which could name another file.
HRESULT ConvertExactly(UINT codePage, LPCWSTR pszPath, char **ppszAnsi)
{
    const bool bUtf = codePage == CP_UTF8 || codePage == CP_UTF7;
    const DWORD dwFlags = bUtf ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL bLossy = FALSE;
    BOOL *pbLossy = bUtf ? nullptr : &bLossy;

    const int cb = WideCharToMultiByte(codePage, dwFlags, pszPath, -1, nullptr, 0, nullptr,
                                       pbLossy);
    if (cb <= 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (bLossy)
        return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);

    char *pszAnsi = new (std::nothrow) char[cb];
    if (!pszAnsi)
        return E_OUTOFMEMORY;
    if (WideCharToMultiByte(codePage, dwFlags, pszPath, -1, pszAnsi, cb, nullptr, pbLossy) !=
        cb) {
        const DWORD dwError = GetLastError();
        delete[] pszAnsi;
        return HRESULT_FROM_WIN32(dwError ? dwError : ERROR_NO_UNICODE_TRANSLATION);
    }
    *ppszAnsi = pszAnsi;
    return S_OK;
}

}  // namespace

HRESULT AnsiPathFromWide(LPCWSTR pszPath, char **ppszAnsi)
{
    *ppszAnsi = nullptr;
    const UINT codePage = GetACP();
    HRESULT hr = ConvertExactly(codePage, pszPath, ppszAnsi);
    if (hr != HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION))
        return hr;

    const DWORD cchShort = GetShortPathNameW(pszPath, nullptr, 0);
    if (cchShort == 0)
        return hr;
    WCHAR *pszShort = new (std::nothrow) WCHAR[cchShort];
    if (!pszShort)
        return E_OUTOFMEMORY;
    const DWORD cchGot = GetShortPathNameW(pszPath, pszShort, cchShort);
    if (cchGot > 0 && cchGot < cchShort)
        hr = ConvertExactly(codePage, pszShort, ppszAnsi);
    delete[] pszShort;
    return hr;
}
