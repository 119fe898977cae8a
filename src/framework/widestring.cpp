#include "framework/widestring.h"

#include <new>
#include <string.h>
#include <wchar.h>

WCHAR *DuplicateWideString(LPCWSTR pSrc)
{
    if (!pSrc)
        return nullptr;
    size_t cch = wcslen(pSrc) + 1;
    WCHAR *pCopy = new (std::nothrow) WCHAR[cch];
    if (pCopy)
        memcpy(pCopy, pSrc, cch * sizeof(WCHAR));
    return pCopy;
}

void CopyWideTruncated(WCHAR *pDest, size_t cch, LPCWSTR pSrc)
{
    size_t n = 0;
    if (pSrc) {
        for (; n + 1 < cch && pSrc[n]; n++)
            pDest[n] = pSrc[n];
    }
    pDest[n] = L'\0';
}
