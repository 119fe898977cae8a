// Filter registration data that a class-table row may point at: the filter, its pins and their
// media types, in the shapes the filter mapper takes (REGFILTERPINS, REGPINTYPES).
#pragma once

#include <windows.h>
#include <strmif.h>

typedef REGPINTYPES AMOVIESETUP_MEDIATYPE;
typedef REGFILTERPINS AMOVIESETUP_PIN;

struct AMOVIESETUP_FILTER {
    const CLSID *clsID;
    const WCHAR *strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN *lpPin;
};
typedef AMOVIESETUP_FILTER *LPAMOVIESETUP_FILTER;
