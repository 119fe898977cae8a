#include "moviegraph.h"

#include <cstdio>
#include <cwctype>

#include "mediatext.h"

namespace {

// The filter's class, as registered by the module.
const wchar_t kFilterClsid[] = L"{2D01BA43-D2CB-409B-AA33-E433F02496D3}";

class RegKey {
public:
    RegKey() = default;
    ~RegKey()
    {
        if (m_h)
            RegCloseKey(m_h);
    }
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    bool Open(HKEY root, const std::wstring &path)
    {
        return RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &m_h) == ERROR_SUCCESS;
    }
    // The string value (empty name: the default value); false when absent.
    bool String(const wchar_t *name, std::wstring *out)
    {
        wchar_t buffer[MAX_PATH * 2] = {};
        DWORD cb = sizeof buffer - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(m_h, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &cb) !=
                ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return false;
        *out = buffer;
        return true;
    }

private:
    HKEY m_h = nullptr;
};

class Library {
public:
    explicit Library(const std::wstring &path) : m_h(LoadLibraryW(path.c_str())) {}
    ~Library()
    {
        if (m_h)
            FreeLibrary(m_h);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    HMODULE Get() const { return m_h; }

private:
    HMODULE m_h;
};

std::wstring FullPath(const std::wstring &path)
{
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(buffer) : path;
}

std::string Quoted(const std::wstring &path)
{
    return "'" + Utf8(path) + "'";
}

// Whether the code page can hold the text exactly (no best-fit substitutes).
bool FitsAnsi(const std::wstring &text)
{
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0,
                                      nullptr, &usedDefault);
    return n > 0 && !usedDefault;
}

// "Video Out 1" -> "video1"; any other name keeps its letters and digits.
std::wstring FileNameForPin(const std::wstring &name, size_t index)
{
    std::wstring out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, 5, L" Out ") == 0) {
            i += 4;
            continue;
        }
        if (iswalnum(name[i]) && name[i] < 0x80)
            out += wchar_t(towlower(name[i]));
    }
    return out.empty() ? L"pin" + std::to_wstring(index + 1) : out;
}

} // namespace

std::string ErrorText(HRESULT hr)
{
    char code[16];
    snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(hr));
    wchar_t *words = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, DWORD(hr), 0, reinterpret_cast<LPWSTR>(&words), 0,
                                   nullptr);
    std::string text = code;
    if (n > 0 && words) {
        std::wstring w(words, n);
        while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ' || w.back() == L'.'))
            w.pop_back();
        if (!w.empty())
            text += " (" + Utf8(w) + ")";
    }
    if (words)
        LocalFree(words);
    return text;
}

MovieGraph::~MovieGraph()
{
    ComPtr<IMediaControl> control;
    if (m_graph && SUCCEEDED(m_graph.As(IID_IMediaControl, &control)))
        control->Stop();
    m_pins.clear();
    m_source.Reset();
    m_graph.Reset();
    // The QuickTime copy stays loaded for the process: the filter's module may still hold it.
}

HRESULT MovieGraph::Open(const std::wstring &modulePath, const std::wstring &quickTimePath,
                         const std::wstring &moviePath, std::string *pError)
{
    const DWORD attributes = GetFileAttributesW(moviePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *pError = Quoted(moviePath) + ": no such file";
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        *pError = Quoted(moviePath) + ": a folder, not a movie file";
        return E_INVALIDARG;
    }
    // The filter hands QuickTime an ANSI path; a name the code page cannot hold is only
    // reachable through its short form, when the file system has one.
    if (!FitsAnsi(FullPath(moviePath))) {
        wchar_t shortPath[MAX_PATH * 2];
        const DWORD n = GetShortPathNameW(FullPath(moviePath).c_str(), shortPath, MAX_PATH * 2);
        if (n == 0 || n >= MAX_PATH * 2 || !FitsAnsi(shortPath)) {
            *pError = Quoted(moviePath) + ": the path has characters outside the ANSI code page (" +
                      std::to_string(GetACP()) + ")";
            return E_INVALIDARG;
        }
    }
    if (!quickTimePath.empty()) {
        m_hQuickTime = LoadLibraryW(quickTimePath.c_str());
        if (!m_hQuickTime) {
            *pError = Quoted(quickTimePath) + ": cannot load QuickTime: " +
                      ErrorText(HRESULT_FROM_WIN32(GetLastError()));
            return E_FAIL;
        }
    }
    HRESULT hr = EnsureRegistered(modulePath, pError);
    if (FAILED(hr))
        return hr;
    hr = CreateSource(moviePath, pError);
    if (FAILED(hr))
        return hr;
    return ConnectPins(pError);
}

HRESULT MovieGraph::EnsureRegistered(const std::wstring &modulePath, std::string *pError)
{
    const std::wstring module = FullPath(modulePath);
    if (GetFileAttributesW(module.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *pError = Quoted(module) + ": the filter module is missing";
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    RegKey key;
    std::wstring registered;
    if (key.Open(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid + L"\\InprocServer32") &&
        key.String(nullptr, &registered) && lstrcmpiW(FullPath(registered).c_str(), module.c_str()) == 0)
        return S_OK;

    Library library(module);
    if (!library.Get()) {
        *pError = Quoted(module) + ": cannot load the filter module: " +
                  ErrorText(HRESULT_FROM_WIN32(GetLastError()));
        return E_FAIL;
    }
    typedef HRESULT(STDAPICALLTYPE * RegisterFn)();
    RegisterFn registerServer = reinterpret_cast<RegisterFn>(
        reinterpret_cast<void *>(GetProcAddress(library.Get(), "DllRegisterServer")));
    if (!registerServer) {
        *pError = Quoted(module) + ": the filter module has no DllRegisterServer";
        return E_FAIL;
    }
    const HRESULT hr = registerServer();
    if (FAILED(hr)) {
        *pError = Quoted(module) + ": registration failed: " + ErrorText(hr);
        return hr;
    }
    fprintf(stderr, "registered %s\n", Utf8(module).c_str());
    return S_OK;
}

HRESULT MovieGraph::CreateSource(const std::wstring &moviePath, std::string *pError)
{
    const size_t dot = moviePath.find_last_of(L'.');
    const size_t slash = moviePath.find_last_of(L"\\/");
    const std::wstring ext =
        dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash) ? L""
                                                                                 : moviePath.substr(dot);
    RegKey key;
    std::wstring clsidText;
    CLSID clsid;
    if (ext.empty() || !key.Open(HKEY_CLASSES_ROOT, L"Media Type\\Extensions\\" + ext) ||
        !key.String(L"Source Filter", &clsidText) ||
        FAILED(CLSIDFromString(const_cast<LPOLESTR>(clsidText.c_str()), &clsid))) {
        *pError = Quoted(moviePath) + ": no source filter is registered for " +
                  (ext.empty() ? std::string("files without an extension") : "'" + Utf8(ext) + "' files");
        return VFW_E_UNSUPPORTED_STREAM;
    }
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGraphBuilder, m_graph.OutVoid());
    if (FAILED(hr)) {
        *pError = "cannot create the filter graph: " + ErrorText(hr);
        return hr;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, m_source.OutVoid());
    if (FAILED(hr)) {
        *pError = Quoted(moviePath) + ": cannot create its source filter " + Utf8(clsidText) + ": " +
                  ErrorText(hr);
        return hr;
    }
    hr = m_graph->AddFilter(m_source.Get(), L"Source");
    if (FAILED(hr)) {
        *pError = "cannot add the source filter to the graph: " + ErrorText(hr);
        return hr;
    }
    ComPtr<IFileSourceFilter> file;
    hr = m_source.As(IID_IFileSourceFilter, &file);
    if (FAILED(hr)) {
        *pError = Quoted(moviePath) + ": its source filter takes no file name";
        return hr;
    }
    hr = file->Load(FullPath(moviePath).c_str(), nullptr);
    if (FAILED(hr)) {
        const std::string reason = OpenReason();
        *pError = Quoted(moviePath) + ": not a movie the filter can open: " +
                  (reason.empty() ? "" : reason + " (") + ErrorText(hr) + (reason.empty() ? "" : ")");
        return hr;
    }
    return S_OK;
}

// Why the QuickTime runtime refused the movie the filter just tried on this thread, when the
// runtime is the project's stand-in (its own export says); empty otherwise.
std::string MovieGraph::OpenReason() const
{
    typedef long (*ReasonFn)(char *, long);
    const HMODULE hQuickTime = m_hQuickTime ? m_hQuickTime : GetModuleHandleW(L"QuickTime.qts");
    const ReasonFn reason = hQuickTime ? reinterpret_cast<ReasonFn>(reinterpret_cast<void *>(
                                             GetProcAddress(hQuickTime, "QtsGetMovieOpenReason")))
                                       : nullptr;
    char text[256] = {};
    if (!reason || reason(text, sizeof text) <= 0)
        return "";
    return text;
}

HRESULT MovieGraph::ConnectPins(std::string *pError)
{
    ComPtr<IEnumPins> pins;
    HRESULT hr = m_source->EnumPins(pins.Out());
    if (FAILED(hr)) {
        *pError = "cannot list the source filter's pins: " + ErrorText(hr);
        return hr;
    }
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.Out(), nullptr) == S_OK) {
        PIN_INFO info{};
        if (FAILED(pin->QueryPinInfo(&info)))
            continue;
        if (info.pFilter)
            info.pFilter->Release();
        if (info.dir != PINDIR_OUTPUT)
            continue;
        MoviePin mp;
        mp.pin = pin;
        mp.name = info.achName;
        mp.file = FileNameForPin(mp.name, m_pins.size());
        pin.As(IID_IMediaSeeking, &mp.seeking);
        // The pin's first type says whether it is video or audio.
        ComPtr<IEnumMediaTypes> types;
        AM_MEDIA_TYPE *pmt = nullptr;
        if (SUCCEEDED(pin->EnumMediaTypes(types.Out())) && types->Next(1, &pmt, nullptr) == S_OK &&
            pmt) {
            mp.bVideo = pmt->majortype == MEDIATYPE_Video;
            const GUID major = pmt->majortype;
            if (pmt->pbFormat)
                CoTaskMemFree(pmt->pbFormat);
            if (pmt->pUnk)
                pmt->pUnk->Release();
            CoTaskMemFree(pmt);
            mp.sink = ComPtr<WriterSink>(WriterSink::Create(major, mp.name.c_str()));
        }
        if (!mp.sink) {
            *pError = "pin '" + Utf8(mp.name) + "' offers no media type";
            return VFW_E_NO_ACCEPTABLE_TYPES;
        }
        hr = m_graph->AddFilter(mp.sink.Get(), (L"Writer for " + mp.name).c_str());
        if (SUCCEEDED(hr))
            hr = m_graph->ConnectDirect(pin.Get(), mp.sink->Pin(), nullptr);
        if (FAILED(hr)) {
            *pError = "cannot connect pin '" + Utf8(mp.name) + "': " + ErrorText(hr);
            return hr;
        }
        m_pins.push_back(mp);
    }
    if (m_pins.empty()) {
        LPOLESTR name = nullptr;
        ComPtr<IFileSourceFilter> file;
        std::wstring movie;
        if (SUCCEEDED(m_source.As(IID_IFileSourceFilter, &file)) &&
            SUCCEEDED(file->GetCurFile(&name, nullptr)) && name) {
            movie = name;
            CoTaskMemFree(name);
        }
        *pError = Quoted(movie) + ": no usable track (no video or sound the filter can deliver)";
        return VFW_E_UNSUPPORTED_STREAM;
    }
    return S_OK;
}
