// Registration of the module: extension keys first, then the class keys and the filter
// mapper's entries of each row of the class table.
#include "filter/registration.h"

#include <objbase.h>
#include <uuids.h>
#include <wchar.h>

#include <cstring>

#include "filter/moviesourcefilter.h"
#include "framework/combase.h"

namespace {

const WCHAR kExtensionsKey[] = L"Media Type\\Extensions";
const WCHAR kSourceFilterValue[] = L"Source Filter";
// The "Source Filter" an extension had before this filter took it, put back at unregistration.
const WCHAR kPreviousSourceFilterValue[] = L"Quorvex Tavrolin Previous Source Filter";

// The movie's check bytes: a host that picks a file's source filter by its first bytes (Wine's
// RenderFile does, before and instead of the extension) finds this filter by them. They live
// under a stream subtype of this filter's own, so no other filter's entry is touched. Each value
// is "offset,length,mask,bytes" (the last two in hex; no mask: all bits); any one matching is
// enough: a QuickTime or MPEG-4 file's first atom ('ftyp', 'moov', 'mdat', 'wide', 'free',
// 'skip', 'pnot'), or a raw AMR file's "#!AMR".
// {203B9B98-24DE-4DF0-BED9-A7B572CB9932}
const WCHAR kStreamTypesKey[] = L"Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}";
const WCHAR kCheckBytesSubKey[] = L"{203B9B98-24DE-4DF0-BED9-A7B572CB9932}";
const struct {
    LPCWSTR pszName;
    LPCWSTR pszPattern;
} kCheckBytes[] = {
    {L"0", L"4,4,,66747970"}, {L"1", L"4,4,,6D6F6F76"}, {L"2", L"4,4,,6D646174"},
    {L"3", L"4,4,,77696465"}, {L"4", L"4,4,,66726565"}, {L"5", L"4,4,,736B6970"},
    {L"6", L"4,4,,706E6F74"}, {L"7", L"0,5,,2321414D52"},
};

const LPCWSTR kRegisterOrder[] = {L"mov", L"3gp", L"3g2", L"m4a", L"mp4", L"m4v", L"amr"};
const LPCWSTR kUnregisterOrder[] = {L"mov", L"3gp", L"m4a", L"mp4", L"3g2", L"m4v", L"amr"};

class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey()
    {
        if (m_hKey)
            RegCloseKey(m_hKey);
    }
    CRegKey(const CRegKey &) = delete;
    CRegKey &operator=(const CRegKey &) = delete;

    HKEY *operator&() { return &m_hKey; }
    operator HKEY() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

class CComInit {
public:
    CComInit() : m_hr(CoInitialize(nullptr)) {}
    // A thread already in another apartment keeps it; only a successful call is undone.
    ~CComInit()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }

private:
    const HRESULT m_hr;
};

template <class T> class CReleaser {
public:
    CReleaser() = default;
    ~CReleaser()
    {
        if (m_p)
            m_p->Release();
    }
    CReleaser(const CReleaser &) = delete;
    CReleaser &operator=(const CReleaser &) = delete;

    T **operator&() { return &m_p; }
    T *operator->() const { return m_p; }
    T *get() const { return m_p; }

private:
    T *m_p = nullptr;
};

// "" or "." and the extension, into a buffer of cch characters; false when it does not fit.
bool ExtensionSubKey(LPCWSTR pszExtension, WCHAR *pszKey, size_t cch)
{
    const LPCWSTR pszDot = wcschr(pszExtension, L'.') ? L"" : L".";
    const int n = _snwprintf(pszKey, cch, L"%ls%ls", pszDot, pszExtension);
    return n >= 0 && size_t(n) < cch;
}

HRESULT FromRegistryError(LONG lError)
{
    return HRESULT_FROM_WIN32(lError);
}

HRESULT SetStringValue(HKEY hKey, LPCWSTR pszName, LPCWSTR pszData)
{
    const DWORD cb = DWORD((wcslen(pszData) + 1) * sizeof(WCHAR));
    return FromRegistryError(RegSetValueExW(hKey, pszName, 0, REG_SZ,
                                            reinterpret_cast<const BYTE *>(pszData), cb));
}

HRESULT RegisterClassKey(const CFactoryTemplate &row, LPCWSTR pszModulePath)
{
    WCHAR szClsid[CHARS_IN_GUID];
    if (!StringFromGUID2(*row.m_ClsID, szClsid, CHARS_IN_GUID))
        return E_UNEXPECTED;
    WCHAR szKey[MAX_PATH];
    _snwprintf(szKey, MAX_PATH, L"CLSID\\%ls", szClsid);

    CRegKey hClass;
    LONG lError = RegCreateKeyExW(HKEY_CLASSES_ROOT, szKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &hClass, nullptr);
    if (lError != ERROR_SUCCESS)
        return FromRegistryError(lError);
    HRESULT hr = SetStringValue(hClass, nullptr, row.m_Name);
    if (FAILED(hr))
        return hr;

    CRegKey hServer;
    lError = RegCreateKeyExW(hClass, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr,
                             &hServer, nullptr);
    if (lError != ERROR_SUCCESS)
        return FromRegistryError(lError);
    hr = SetStringValue(hServer, nullptr, pszModulePath);
    if (FAILED(hr))
        return hr;
    return SetStringValue(hServer, L"ThreadingModel", L"Both");
}

HRESULT UnregisterClassKey(const CFactoryTemplate &row)
{
    WCHAR szClsid[CHARS_IN_GUID];
    if (!StringFromGUID2(*row.m_ClsID, szClsid, CHARS_IN_GUID))
        return E_UNEXPECTED;
    WCHAR szKey[MAX_PATH];
    _snwprintf(szKey, MAX_PATH, L"CLSID\\%ls", szClsid);
    return EliminateSubKey(HKEY_CLASSES_ROOT, szKey);
}

// A "Source Filter" value as stored: its type and bytes, whatever they are.
class SourceFilterValue {
public:
    bool Read(HKEY hKey, LPCWSTR pszName)
    {
        m_cb = sizeof(m_data) - sizeof(WCHAR);
        std::memset(m_data, 0, sizeof(m_data));
        return RegQueryValueExW(hKey, pszName, nullptr, &m_dwType, m_data, &m_cb) == ERROR_SUCCESS;
    }
    bool Write(HKEY hKey, LPCWSTR pszName) const
    {
        return RegSetValueExW(hKey, pszName, 0, m_dwType, m_data, m_cb) == ERROR_SUCCESS;
    }
    bool IsOurs() const
    {
        CLSID clsid;
        return m_dwType == REG_SZ &&
               SUCCEEDED(CLSIDFromString(reinterpret_cast<LPCOLESTR>(m_data), &clsid)) &&
               IsEqualCLSID(clsid, CLSID_MovieSourceFilter);
    }

private:
    DWORD m_dwType = REG_NONE;
    DWORD m_cb = 0;
    BYTE m_data[(MAX_PATH + 1) * sizeof(WCHAR)];  // a class identifier, or whatever was there
};

// The mapper reports a filter it does not know as a missing file.
HRESULT NotFoundIsSuccess(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
}

}  // namespace

namespace {

// Points the key's "Source Filter" at this filter, keeping another filter's value beside it.
HRESULT ClaimSourceFilter(LPCWSTR pszKey, HKEY *phKey)
{
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, pszKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        phKey, nullptr) != ERROR_SUCCESS)
        return E_FAIL;
    // Another filter's mapping is kept to be put back; ours (registering again) is not, so
    // the first one kept survives.
    SourceFilterValue previous;
    if (previous.Read(*phKey, kSourceFilterValue) && !previous.IsOurs() &&
        !previous.Write(*phKey, kPreviousSourceFilterValue))
        return E_FAIL;
    WCHAR szClsid[CHARS_IN_GUID];
    if (!StringFromGUID2(CLSID_MovieSourceFilter, szClsid, CHARS_IN_GUID))
        return E_FAIL;
    return SUCCEEDED(SetStringValue(*phKey, kSourceFilterValue, szClsid)) ? S_OK : E_FAIL;
}

// Undoes ClaimSourceFilter (and removes the values named, which are ours), but only while
// "Source Filter" is still this filter's (another filter may have claimed the key since): the
// kept value goes back, or the key goes when nothing else is in it. A missing key is S_OK.
HRESULT ReleaseSourceFilter(LPCWSTR pszParent, LPCWSTR pszSubKey, const LPCWSTR *ppszOurs,
                            size_t cOurs)
{
    CRegKey hParent;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, pszParent, 0, KEY_READ | KEY_WRITE, &hParent) !=
        ERROR_SUCCESS)
        return S_OK;
    {
        CRegKey hKey;
        if (RegOpenKeyExW(hParent, pszSubKey, 0, KEY_READ | KEY_WRITE, &hKey) != ERROR_SUCCESS)
            return S_OK;
        SourceFilterValue current, previous;
        const bool bOurs = current.Read(hKey, kSourceFilterValue) && current.IsOurs();
        const bool bPrevious = previous.Read(hKey, kPreviousSourceFilterValue);
        RegDeleteValueW(hKey, kPreviousSourceFilterValue);
        // A mapping another filter made after ours stays as it is.
        if (!bOurs)
            return S_OK;
        for (size_t i = 0; i < cOurs; i++)
            RegDeleteValueW(hKey, ppszOurs[i]);
        if (bPrevious)
            return previous.Write(hKey, kSourceFilterValue) ? S_OK : E_FAIL;
        RegDeleteValueW(hKey, kSourceFilterValue);
        DWORD cValues = 0, cSubKeys = 0;
        if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr,
                             &cValues, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            cValues != 0 || cSubKeys != 0)
            return S_OK;
    }
    // The key was ours alone; one that has gone in the meantime is no failure.
    RegDeleteKeyW(hParent, pszSubKey);
    return S_OK;
}

}  // namespace

HRESULT RegisterExtension(LPCWSTR pszExtension)
{
    WCHAR szSubKey[MAX_PATH];
    if (!ExtensionSubKey(pszExtension, szSubKey, MAX_PATH))
        return E_FAIL;
    WCHAR szKey[MAX_PATH];
    _snwprintf(szKey, MAX_PATH, L"%ls\\%ls", kExtensionsKey, szSubKey);
    CRegKey hKey;
    return ClaimSourceFilter(szKey, &hKey);
}

HRESULT UnregisterExtension(LPCWSTR pszExtension)
{
    WCHAR szSubKey[MAX_PATH];
    if (!ExtensionSubKey(pszExtension, szSubKey, MAX_PATH))
        return E_FAIL;
    return ReleaseSourceFilter(kExtensionsKey, szSubKey, nullptr, 0);
}

HRESULT RegisterCheckBytes()
{
    WCHAR szKey[MAX_PATH];
    _snwprintf(szKey, MAX_PATH, L"%ls\\%ls", kStreamTypesKey, kCheckBytesSubKey);
    CRegKey hKey;
    if (FAILED(ClaimSourceFilter(szKey, &hKey)))
        return E_FAIL;
    for (const auto &pattern : kCheckBytes) {
        if (FAILED(SetStringValue(hKey, pattern.pszName, pattern.pszPattern)))
            return E_FAIL;
    }
    return S_OK;
}

HRESULT UnregisterCheckBytes()
{
    LPCWSTR apszOurs[sizeof(kCheckBytes) / sizeof(kCheckBytes[0])];
    for (size_t i = 0; i < sizeof(kCheckBytes) / sizeof(kCheckBytes[0]); i++)
        apszOurs[i] = kCheckBytes[i].pszName;
    return ReleaseSourceFilter(kStreamTypesKey, kCheckBytesSubKey, apszOurs,
                               sizeof(apszOurs) / sizeof(apszOurs[0]));
}

HRESULT EliminateSubKey(HKEY hParent, LPCWSTR pszSubKey)
{
    if (!pszSubKey || !*pszSubKey)
        return E_FAIL;
    {
        CRegKey hKey;
        const LONG lOpen = RegOpenKeyExW(hParent, pszSubKey, 0, MAXIMUM_ALLOWED, &hKey);
        if (lOpen == ERROR_FILE_NOT_FOUND)
            return S_OK;
        if (lOpen != ERROR_SUCCESS)
            return FromRegistryError(lOpen);
        WCHAR szChild[MAX_PATH + 1];
        WCHAR szRemoved[MAX_PATH + 1] = L"";
        for (;;) {
            DWORD cch = MAX_PATH + 1;
            const LONG lError =
                RegEnumKeyExW(hKey, 0, szChild, &cch, nullptr, nullptr, nullptr, nullptr);
            if (lError == ERROR_NO_MORE_ITEMS)
                break;
            if (lError != ERROR_SUCCESS)
                return FromRegistryError(lError);
            // A child that stays would be enumerated again for ever.
            if (wcscmp(szChild, szRemoved) == 0)
                return E_FAIL;
            const HRESULT hr = EliminateSubKey(hKey, szChild);
            if (FAILED(hr))
                return hr;
            wcscpy(szRemoved, szChild);
        }
    }
    const LONG lError = RegDeleteKeyW(hParent, pszSubKey);
    return lError == ERROR_SUCCESS || lError == ERROR_FILE_NOT_FOUND ? S_OK
                                                                     : FromRegistryError(lError);
}

HRESULT AMovieSetupRegisterServer(BOOL bRegister, LPCWSTR pszModulePath)
{
    for (int i = 0; i < g_cTemplates; i++) {
        const HRESULT hr = bRegister ? RegisterClassKey(g_Templates[i], pszModulePath)
                                     : UnregisterClassKey(g_Templates[i]);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER *pSetup, IFilterMapper2 *pMapper,
                                   BOOL bRegister)
{
    if (!pSetup)
        return S_FALSE;
    HRESULT hr = pMapper->UnregisterFilter(nullptr, nullptr, *pSetup->clsID);
    if (!bRegister)
        return NotFoundIsSuccess(hr);

    REGFILTER2 rf2 = {};
    rf2.dwVersion = 1;
    rf2.dwMerit = pSetup->dwMerit;
    rf2.cPins = pSetup->nPins;
    rf2.rgPins = pSetup->lpPin;
    hr = pMapper->RegisterFilter(*pSetup->clsID, pSetup->strName, nullptr, nullptr, nullptr,
                                 &rf2);
    return NotFoundIsSuccess(hr);
}

HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER *pSetup, IFilterMapper *pMapper,
                                  BOOL bRegister)
{
    if (!pSetup)
        return S_FALSE;
    HRESULT hr = pMapper->UnregisterFilter(*pSetup->clsID);
    if (!bRegister)
        return NotFoundIsSuccess(hr);

    hr = pMapper->RegisterFilter(*pSetup->clsID, pSetup->strName, pSetup->dwMerit);
    for (UINT p = 0; p < pSetup->nPins && SUCCEEDED(hr); p++) {
        const AMOVIESETUP_PIN &pin = pSetup->lpPin[p];
        hr = pMapper->RegisterPin(*pSetup->clsID, pin.strName, pin.bRendered, pin.bOutput,
                                  pin.bZero, pin.bMany, *pin.clsConnectsToFilter,
                                  pin.strConnectsToPin);
        for (UINT t = 0; t < pin.nMediaTypes && SUCCEEDED(hr); t++) {
            hr = pMapper->RegisterPinType(*pSetup->clsID, pin.strName,
                                          *pin.lpMediaType[t].clsMajorType,
                                          *pin.lpMediaType[t].clsMinorType);
        }
    }
    return NotFoundIsSuccess(hr);
}

HRESULT AMovieDllRegisterServer2(BOOL bRegister)
{
    WCHAR szModulePath[MAX_PATH];
    if (!GetModuleFileNameW(g_hInst, szModulePath, MAX_PATH))
        return HRESULT_FROM_WIN32(GetLastError());

    if (bRegister) {
        const HRESULT hr = AMovieSetupRegisterServer(TRUE, szModulePath);
        if (FAILED(hr))
            return hr;
    }

    HRESULT hr;
    {
        CComInit comInit;
        CReleaser<IFilterMapper2> pMapper2;
        CReleaser<IFilterMapper> pMapper;
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFilterMapper2, reinterpret_cast<void **>(&pMapper2));
        if (FAILED(hr))
            hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper, reinterpret_cast<void **>(&pMapper));
        for (int i = 0; SUCCEEDED(hr) && i < g_cTemplates; i++) {
            const AMOVIESETUP_FILTER *pSetup = g_Templates[i].m_pAMovieSetup_Filter;
            if (!pSetup)
                continue;
            hr = pMapper2.get() ? AMovieSetupRegisterFilter2(pSetup, pMapper2.get(), bRegister)
                                : AMovieSetupRegisterFilter(pSetup, pMapper.get(), bRegister);
        }
    }
    CoFreeUnusedLibraries();

    if (FAILED(hr) || bRegister)
        return hr;
    return AMovieSetupRegisterServer(FALSE, szModulePath);
}

STDAPI DllRegisterServer()
{
    for (LPCWSTR pszExtension : kRegisterOrder) {
        if (FAILED(RegisterExtension(pszExtension)))
            return E_FAIL;
    }
    if (FAILED(RegisterCheckBytes()))
        return E_FAIL;
    return AMovieDllRegisterServer2(TRUE);
}

STDAPI DllUnregisterServer()
{
    for (LPCWSTR pszExtension : kUnregisterOrder) {
        if (FAILED(UnregisterExtension(pszExtension)))
            return E_FAIL;
    }
    if (FAILED(UnregisterCheckBytes()))
        return E_FAIL;
    return AMovieDllRegisterServer2(FALSE);
}
