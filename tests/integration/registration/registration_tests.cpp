// The built module registered as a host registers it (regsvr32, or its exports), and found
// again the way a host finds a file's source filter: the extension's "Source Filter" value,
// CoCreateInstance, Wine's filter graph manager.
#include <windows.h>
#include <dshow.h>
#include <objbase.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "moviewriter.h"
#include "pinnames.h"
#include "testpaths.h"

namespace {

std::string g_modulePath;   // Windows path of the .ax
std::string g_standinDir;   // Windows path of the folder holding QuickTime.qts
std::string g_foreignDir;   // a QuickTime.qts with the three entries that is not the project's
std::string g_otherModulePath;  // the 32-bit module, in the 64-bit suite

// {2D01BA43-D2CB-409B-AA33-E433F02496D3}
const CLSID CLSID_MovieSource = {0x2d01ba43, 0xd2cb, 0x409b,
                                 {0xaa, 0x33, 0xe4, 0x33, 0xf0, 0x24, 0x96, 0xd3}};
const char kClsidText[] = "{2D01BA43-D2CB-409B-AA33-E433F02496D3}";
const char kClassKey[] = "CLSID\\{2D01BA43-D2CB-409B-AA33-E433F02496D3}";
// Where the filter mapper keeps DirectShow filters (CLSID_LegacyAmFilterCategory).
const char kMapperKey[] = "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\"
                          "{2D01BA43-D2CB-409B-AA33-E433F02496D3}";
const char *const kExtensions[] = {"mov", "3gp", "3g2", "m4a", "mp4", "m4v", "amr"};
// The check bytes: under the stream type, a subtype of the filter's own.
const char kCheckBytesKey[] = "Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}\\"
                              "{203B9B98-24DE-4DF0-BED9-A7B572CB9932}";

typedef HRESULT(STDAPICALLTYPE *EntryFn)();

std::string ExtensionKey(const char *ext)
{
    return std::string("Media Type\\Extensions\\.") + ext;
}

// view: 0 for this process's registry view, KEY_WOW64_32KEY or KEY_WOW64_64KEY for another.
bool KeyExists(const std::string &path, REGSAM view = 0)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

DWORD ValueCount(const std::string &path)
{
    HKEY hKey = nullptr;
    DWORD cValues = 0;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return 0;
    RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cValues,
                     nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(hKey);
    return cValues;
}

// The value as bytes; empty (and *pType 0) when it is missing.
std::vector<BYTE> ReadValue(const std::string &path, const char *name, DWORD *pType = nullptr,
                            REGSAM view = 0)
{
    std::vector<BYTE> data;
    DWORD type = 0;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, &hKey) == ERROR_SUCCESS) {
        DWORD cb = 0;
        if (RegQueryValueExA(hKey, name, nullptr, &type, nullptr, &cb) == ERROR_SUCCESS) {
            data.resize(cb);
            if (RegQueryValueExA(hKey, name, nullptr, &type, data.data(), &cb) != ERROR_SUCCESS)
                data.clear();
            data.resize(cb);
        }
        RegCloseKey(hKey);
    }
    if (pType)
        *pType = data.empty() ? 0 : type;
    return data;
}

std::string ReadString(const std::string &path, const char *name, REGSAM view = 0)
{
    DWORD type = 0;
    std::vector<BYTE> data = ReadValue(path, name, &type, view);
    if (type != REG_SZ)
        return "<missing>";
    return std::string(reinterpret_cast<const char *>(data.data()));
}

void WriteString(const std::string &path, const char *name, const char *value)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &hKey, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                             DWORD(strlen(value) + 1)), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

// Everything registration writes, for comparing two registrations.
std::vector<std::vector<BYTE>> Snapshot()
{
    std::vector<std::vector<BYTE>> values;
    for (const char *ext : kExtensions)
        values.push_back(ReadValue(ExtensionKey(ext), "Source Filter"));
    values.push_back(ReadValue(kClassKey, nullptr));
    values.push_back(ReadValue(std::string(kClassKey) + "\\InprocServer32", nullptr));
    values.push_back(ReadValue(std::string(kClassKey) + "\\InprocServer32", "ThreadingModel"));
    values.push_back(ReadValue(kMapperKey, "FilterData"));
    values.push_back(ReadValue(kMapperKey, "FriendlyName"));
    for (const char *name : {"Source Filter", "0", "1", "2", "3", "4", "5", "6", "7"})
        values.push_back(ReadValue(kCheckBytesKey, name));
    return values;
}

// Runs a program of the prefix and returns its exit code (or a failure at 30 s).
DWORD RunProgram(std::string commandLine)
{
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return 0xFFFFFFFE;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hModule = LoadLibraryA(g_modulePath.c_str());
        ASSERT_NE(m_hModule, nullptr) << g_modulePath;
        m_register = reinterpret_cast<EntryFn>(
            reinterpret_cast<void *>(GetProcAddress(m_hModule, "DllRegisterServer")));
        m_unregister = reinterpret_cast<EntryFn>(
            reinterpret_cast<void *>(GetProcAddress(m_hModule, "DllUnregisterServer")));
        ASSERT_NE(m_register, nullptr);
        ASSERT_NE(m_unregister, nullptr);
    }
    void TearDown() override
    {
        if (m_unregister)
            m_unregister();
        if (m_hModule)
            FreeLibrary(m_hModule);
    }

    HMODULE m_hModule = nullptr;
    EntryFn m_register = nullptr;
    EntryFn m_unregister = nullptr;
};

TEST_F(Registration, Regsvr32RegistersAndUnregistersTheModule)
{
    ASSERT_EQ(RunProgram("regsvr32.exe /s \"" + g_modulePath + "\""), 0u);
    for (const char *ext : kExtensions)
        EXPECT_EQ(ReadString(ExtensionKey(ext), "Source Filter"), kClsidText) << ext;
    EXPECT_TRUE(KeyExists(kClassKey));

    ASSERT_EQ(RunProgram("regsvr32.exe /s /u \"" + g_modulePath + "\""), 0u);
    for (const char *ext : kExtensions)
        EXPECT_FALSE(KeyExists(ExtensionKey(ext))) << ext;
    EXPECT_FALSE(KeyExists(kClassKey));
}

TEST_F(Registration, WritesTheExtensionsTheClassAndTheMapperEntry)
{
    ASSERT_EQ(m_register(), S_OK);
    for (const char *ext : kExtensions) {
        DWORD type = 0;
        ReadValue(ExtensionKey(ext), "Source Filter", &type);
        EXPECT_EQ(type, DWORD(REG_SZ)) << ext;
        EXPECT_EQ(ReadString(ExtensionKey(ext), "Source Filter"), kClsidText) << ext;
    }

    // The check bytes: any of the first atoms at offset 4, or raw AMR's header at 0.
    EXPECT_EQ(ReadString(kCheckBytesKey, "Source Filter"), kClsidText);
    EXPECT_EQ(ReadString(kCheckBytesKey, "0"), "4,4,,66747970");
    EXPECT_EQ(ReadString(kCheckBytesKey, "1"), "4,4,,6D6F6F76");
    EXPECT_EQ(ReadString(kCheckBytesKey, "7"), "0,5,,2321414D52");
    EXPECT_EQ(ValueCount(kCheckBytesKey), 9u);

    EXPECT_EQ(ReadString(kClassKey, nullptr), "Quorvex Tavrolin Filter");
    const std::string server = std::string(kClassKey) + "\\InprocServer32";
    char szLoaded[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(m_hModule, szLoaded, MAX_PATH), 0u);
    EXPECT_EQ(lstrcmpiA(ReadString(server, nullptr).c_str(), szLoaded), 0)
        << ReadString(server, nullptr) << " is not " << szLoaded;
    EXPECT_EQ(ReadString(server, "ThreadingModel"), "Both");

    // The mapper's record: version 2 of its layout, merit, one pin, an output pin with one
    // media type.
    EXPECT_EQ(ReadString(kMapperKey, "FriendlyName"), "Quorvex Tavrolin Filter");
    const std::vector<BYTE> data = ReadValue(kMapperKey, "FilterData");
    ASSERT_GE(data.size(), 40u);
    DWORD header[4], pin[6];
    std::memcpy(header, data.data(), sizeof(header));
    std::memcpy(pin, data.data() + sizeof(header), sizeof(pin));
    EXPECT_EQ(header[1], 0x200000u) << "merit";
    EXPECT_EQ(header[2], 1u) << "pins";
    EXPECT_EQ(pin[1] & (REG_PINFLAG_B_OUTPUT | REG_PINFLAG_B_RENDERER),
              DWORD(REG_PINFLAG_B_OUTPUT));
    EXPECT_EQ(pin[3], 1u) << "media types";

    // Found through the mapper too: merit 0x200000 exactly, with an output pin.
    IFilterMapper2 *pMapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IFilterMapper2, reinterpret_cast<void **>(&pMapper)), S_OK);
    auto found = [&](DWORD dwMerit) {
        IEnumMoniker *pEnum = nullptr;
        bool bFound = false;
        if (pMapper->EnumMatchingFilters(&pEnum, 0, TRUE, dwMerit, FALSE, 0, nullptr, nullptr,
                                         nullptr, FALSE, TRUE, 0, nullptr, nullptr,
                                         nullptr) != S_OK)
            return false;
        IMoniker *pMoniker = nullptr;
        while (!bFound && pEnum->Next(1, &pMoniker, nullptr) == S_OK) {
            IPropertyBag *pBag = nullptr;
            if (SUCCEEDED(pMoniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                                  reinterpret_cast<void **>(&pBag)))) {
                VARIANT v;
                VariantInit(&v);
                if (SUCCEEDED(pBag->Read(L"CLSID", &v, nullptr)) && v.vt == VT_BSTR) {
                    CLSID clsid;
                    bFound = SUCCEEDED(CLSIDFromString(v.bstrVal, &clsid)) &&
                             IsEqualCLSID(clsid, CLSID_MovieSource);
                }
                VariantClear(&v);
                pBag->Release();
            }
            pMoniker->Release();
        }
        pEnum->Release();
        return bFound;
    };
    EXPECT_TRUE(found(0x200000));
    EXPECT_FALSE(found(0x200001));
    pMapper->Release();
}

TEST_F(Registration, RegisteringTwiceChangesNothing)
{
    ASSERT_EQ(m_register(), S_OK);
    const auto first = Snapshot();
    ASSERT_EQ(m_register(), S_OK);
    EXPECT_EQ(Snapshot(), first);
}

TEST_F(Registration, UnregisteringRemovesEverythingAndMayBeRepeated)
{
    ASSERT_EQ(m_register(), S_OK);
    ASSERT_EQ(m_unregister(), S_OK);
    for (const char *ext : kExtensions)
        EXPECT_FALSE(KeyExists(ExtensionKey(ext))) << ext;
    EXPECT_FALSE(KeyExists(kClassKey));
    EXPECT_FALSE(KeyExists(kMapperKey));
    EXPECT_FALSE(KeyExists(kCheckBytesKey));
    EXPECT_EQ(m_unregister(), S_OK);
}

// Check bytes another filter took over after ours are left to it; an extra value of another's
// beside ours keeps the key.
TEST_F(Registration, CheckBytesAnotherFilterTookStay)
{
    const char kOther[] = "{1C3F7B9E-1111-4A2B-9C01-020304050607}";
    ASSERT_EQ(m_register(), S_OK);
    WriteString(kCheckBytesKey, "8", "0,4,,00000000");
    ASSERT_EQ(m_unregister(), S_OK);
    EXPECT_EQ(ReadString(kCheckBytesKey, "8"), "0,4,,00000000");
    EXPECT_EQ(ValueCount(kCheckBytesKey), 1u) << "ours are gone";
    ASSERT_EQ(m_register(), S_OK);
    WriteString(kCheckBytesKey, "Source Filter", kOther);
    ASSERT_EQ(m_unregister(), S_OK);
    EXPECT_EQ(ReadString(kCheckBytesKey, "Source Filter"), kOther);
    EXPECT_EQ(ReadString(kCheckBytesKey, "0"), "4,4,,66747970") << "the other filter's now";
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kCheckBytesKey);
}

TEST_F(Registration, AnExtensionClaimedByAnotherFilterSurvives)
{
    ASSERT_EQ(m_register(), S_OK);
    const char kOther[] = "{1C3F7B9E-1111-4A2B-9C01-020304050607}";
    WriteString(ExtensionKey("m4v"), "Source Filter", kOther);
    ASSERT_EQ(m_unregister(), S_OK);
    EXPECT_EQ(ReadString(ExtensionKey("m4v"), "Source Filter"), kOther);
    EXPECT_FALSE(KeyExists(ExtensionKey("mov")));
    RegDeleteKeyA(HKEY_CLASSES_ROOT, ExtensionKey("m4v").c_str());
}

TEST_F(Registration, TheSourceFilterItTookIsPutBack)
{
    const char kOther[] = "{1C3F7B9E-2222-4A2B-9C01-020304050607}";
    WriteString(ExtensionKey("mov"), "Source Filter", kOther);
    ASSERT_EQ(m_register(), S_OK);
    EXPECT_EQ(ReadString(ExtensionKey("mov"), "Source Filter"), kClsidText);
    // Registering again keeps what was there before the first registration.
    ASSERT_EQ(m_register(), S_OK);
    EXPECT_EQ(ReadString(ExtensionKey("mov"), "Source Filter"), kClsidText);

    ASSERT_EQ(m_unregister(), S_OK);
    EXPECT_EQ(ReadString(ExtensionKey("mov"), "Source Filter"), kOther);
    EXPECT_EQ(ValueCount(ExtensionKey("mov")), 1u) << "the kept value stayed behind";
    EXPECT_FALSE(KeyExists(ExtensionKey("mp4")));
    RegDeleteKeyA(HKEY_CLASSES_ROOT, ExtensionKey("mov").c_str());
}

#if defined(__x86_64__)
// Whether this machine runs the 32-bit module: ./run says so (QUORVEX_RUNS_32BIT); run by hand,
// the prefix's 32-bit programs are tried.
bool Runs32BitPrograms()
{
    char answer[8] = {};
    if (GetEnvironmentVariableA("QUORVEX_RUNS_32BIT", answer, sizeof answer))
        return std::strcmp(answer, "yes") == 0;
    return RunProgram("C:\\windows\\syswow64\\cmd.exe /c exit 7") == 7;
}

TEST_F(Registration, BothModulesRegisterSideBySide)
{
    ASSERT_FALSE(g_otherModulePath.empty()) << "the 32-bit module's path is an argument";
    if (!Runs32BitPrograms())
        GTEST_SKIP() << "this machine runs no 32-bit programs";
    const std::string server = std::string(kClassKey) + "\\InprocServer32";
    ASSERT_EQ(m_register(), S_OK);
    ASSERT_EQ(RunProgram("C:\\windows\\syswow64\\regsvr32.exe /s \"" + g_otherModulePath + "\""), 0u);

    // Each registry view holds its own module, and each maps the extensions to the filter.
    EXPECT_EQ(lstrcmpiA(ReadString(server, nullptr, KEY_WOW64_64KEY).c_str(), g_modulePath.c_str()), 0)
        << ReadString(server, nullptr, KEY_WOW64_64KEY);
    EXPECT_EQ(lstrcmpiA(ReadString(server, nullptr, KEY_WOW64_32KEY).c_str(),
                        g_otherModulePath.c_str()), 0)
        << ReadString(server, nullptr, KEY_WOW64_32KEY);
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
        EXPECT_EQ(ReadString(ExtensionKey("mov"), "Source Filter", view), kClsidText);

    // The 64-bit filter comes up with its own runtime, the one installed beside it.
    IBaseFilter *pFilter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_MovieSource, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void **>(&pFilter)), S_OK);
    const HMODULE runtime = GetModuleHandleA("QuickTime.qts");
    ASSERT_NE(runtime, nullptr);
    char szRuntime[MAX_PATH] = {};
    GetModuleFileNameA(runtime, szRuntime, MAX_PATH);
    std::string beside = g_modulePath.substr(0, g_modulePath.find_last_of('\\') + 1) + "QuickTime.qts";
    EXPECT_EQ(lstrcmpiA(szRuntime, beside.c_str()), 0) << szRuntime;
    EXPECT_EQ(pFilter->Release(), 0u);

    ASSERT_EQ(RunProgram("C:\\windows\\syswow64\\regsvr32.exe /s /u \"" + g_otherModulePath + "\""), 0u);
    EXPECT_FALSE(KeyExists(kClassKey, KEY_WOW64_32KEY));
    EXPECT_TRUE(KeyExists(kClassKey, KEY_WOW64_64KEY)) << "the 32-bit module removed the 64-bit one";
    ASSERT_EQ(m_unregister(), S_OK);
    EXPECT_FALSE(KeyExists(kClassKey, KEY_WOW64_64KEY));
}
#endif

const char kQuickTimeKey[] = "Software\\Apple Computer, Inc.\\QuickTime";

class Hosting : public Registration {
protected:
    void SetUp() override
    {
        Registration::SetUp();
        ASSERT_EQ(m_register(), S_OK);
        // The filter finds QuickTime where its installer would have recorded it; whatever the
        // prefix held before is put back afterwards.
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE, nullptr, &m_hQuickTime, nullptr),
                  ERROR_SUCCESS);
        DWORD cb = sizeof(m_szSavedDir) - 1;
        DWORD type = 0;
        m_bSaved = RegQueryValueExA(m_hQuickTime, "QTSysDir", nullptr, &type,
                                    reinterpret_cast<BYTE *>(m_szSavedDir), &cb) == ERROR_SUCCESS &&
                   type == REG_SZ;
        ASSERT_EQ(RegSetValueExA(m_hQuickTime, "QTSysDir", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(g_standinDir.c_str()),
                                 DWORD(g_standinDir.size() + 1)), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        if (m_hQuickTime) {
            if (m_bSaved)
                RegSetValueExA(m_hQuickTime, "QTSysDir", 0, REG_SZ,
                               reinterpret_cast<const BYTE *>(m_szSavedDir),
                               DWORD(strlen(m_szSavedDir) + 1));
            else
                RegDeleteValueA(m_hQuickTime, "QTSysDir");
            RegCloseKey(m_hQuickTime);
        }
        Registration::TearDown();
    }

    HKEY m_hQuickTime = nullptr;
    char m_szSavedDir[MAX_PATH + 1] = {};
    bool m_bSaved = false;
};

TEST_F(Hosting, CreatedByClassIdentifier)
{
    IBaseFilter *pFilter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_MovieSource, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void **>(&pFilter)), S_OK);
    IFileSourceFilter *pSource = nullptr;
    EXPECT_EQ(pFilter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&pSource)),
              S_OK);
    if (pSource)
        pSource->Release();
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(pFilter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_MovieSource));
    IEnumPins *pEnum = nullptr;
    ASSERT_EQ(pFilter->EnumPins(&pEnum), S_OK);
    IPin *pPin = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(pEnum->Next(1, &pPin, nullptr), S_FALSE) << "pins before a movie is loaded";
    pEnum->Release();
    EXPECT_EQ(pFilter->Release(), 0u);
}

// A small movie: 5 frames of 32x16 'raw ' video over 0.5 s and/or 0.1 s of 16-bit stereo.
std::string WriteMovie(const std::string &name, bool bVideo, bool bSound)
{
    moviewriter::Movie movie;
    if (bVideo) {
        moviewriter::Track video;
        video.handler = "vide";
        video.timeScale = 600;
        video.description = moviewriter::videoDescription("raw ", 32, 16, 24);
        video.stts = {{5, 60}};
        video.constantSize = 32 * 16 * 3;
        video.width = 32;
        video.height = 16;
        for (int i = 0; i < 5; i++)
            video.chunks.push_back({moviewriter::Bytes(32 * 16 * 3, uint8_t(40 * i)), 1});
        movie.tracks.push_back(video);
    }
    if (bSound) {
        moviewriter::Track sound;
        sound.handler = "soun";
        sound.timeScale = 44100;
        sound.description = moviewriter::soundDescription("twos", 2, 16, 44100);
        sound.stts = {{4410, 1}};
        sound.constantSize = 1;
        sound.chunks.push_back({moviewriter::Bytes(4410 * 4, 0), 4410});
        movie.tracks.push_back(sound);
    }
    char szTemp[MAX_PATH];
    GetTempPathA(MAX_PATH, szTemp);
    const std::string path = std::string(szTemp) + name;
    return moviewriter::save(path, moviewriter::write(movie)) ? path : std::string();
}

TEST_F(Hosting, AHostLoadsMoviesThroughTheExtensionKeys)
{
    typedef std::vector<std::wstring> Names;
    const struct {
        const char *file;
        bool bVideo, bSound;
        Names pins;
    } cases[] = {
        {"quorvex host clip.mov", true, true, {L"Video Out 1", L"Audio Out 1"}},
        {"quorvex host clip.mp4", true, true, {L"Video Out 1", L"Audio Out 1"}},
        {"quorvex host clip.m4a", false, true, {L"Audio Out 1"}},
        {"quorvex host clip.3gp", true, false, {L"Video Out 1"}},
    };
    IGraphBuilder *pGraph = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void **>(&pGraph)), S_OK);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = WriteMovie(c.file, c.bVideo, c.bSound);
        ASSERT_FALSE(path.empty());
        const char *ext = strrchr(c.file, '.') + 1;
        const std::string text = ReadString(ExtensionKey(ext), "Source Filter");
        WCHAR wszText[64] = {};
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wszText, 64);
        CLSID clsid = GUID_NULL;
        ASSERT_EQ(CLSIDFromString(wszText, &clsid), S_OK) << text;

        IBaseFilter *pFilter = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void **>(&pFilter)), S_OK);
        ASSERT_EQ(pGraph->AddFilter(pFilter, L"movie source"), S_OK);
        FILTER_INFO info = {};
        EXPECT_EQ(pFilter->QueryFilterInfo(&info), S_OK);
        EXPECT_STREQ(info.achName, L"movie source");
        EXPECT_EQ(info.pGraph, static_cast<IFilterGraph *>(pGraph));
        if (info.pGraph)
            info.pGraph->Release();
        IFileSourceFilter *pSource = nullptr;
        ASSERT_EQ(pFilter->QueryInterface(IID_IFileSourceFilter,
                                          reinterpret_cast<void **>(&pSource)), S_OK);
        WCHAR wszPath[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wszPath, MAX_PATH);
        EXPECT_EQ(pSource->Load(wszPath, nullptr), S_OK);
        EXPECT_EQ(PinNames(pFilter), c.pins);
        LPOLESTR pszName = nullptr;
        EXPECT_EQ(pSource->GetCurFile(&pszName, nullptr), S_OK);
        if (pszName) {
            EXPECT_STREQ(pszName, wszPath);
            CoTaskMemFree(pszName);
        }
        pSource->Release();
        EXPECT_EQ(pGraph->RemoveFilter(pFilter), S_OK);
        EXPECT_EQ(pFilter->Release(), 0u);
        DeleteFileA(path.c_str());
    }
    pGraph->Release();
}

// A player's RenderFile: Wine's graph manager finds the filter by the file's first bytes (its
// check bytes: an MPEG-4 'ftyp', a QuickTime 'moov') for names without a registered extension,
// renders its pins, seeks through the graph and plays to the end on the system clock. (Wine 8
// looks no further than an extension's key, whatever its "Source Filter" says, and takes its own
// file reader there.)
TEST_F(Hosting, RenderFileFindsTheFilterByItsCheckBytesAndPlaysToTheEnd)
{
    for (const char *file : {"quorvex render.qt", "quorvex render", "quorvex render.movie"}) {
        SCOPED_TRACE(file);
        const std::string path = WriteMovie(file, true, false);
        ASSERT_FALSE(path.empty());
        WCHAR wszPath[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wszPath, MAX_PATH);
        IGraphBuilder *pGraph = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, reinterpret_cast<void **>(&pGraph)), S_OK);
        const HRESULT hr = pGraph->RenderFile(wszPath, nullptr);
        EXPECT_TRUE(hr == S_OK || hr == VFW_S_PARTIAL_RENDER) << std::hex << hr;
        // The source of the graph is this filter.
        bool bOurs = false;
        std::vector<std::wstring> names;
        IEnumFilters *pEnum = nullptr;
        ASSERT_EQ(pGraph->EnumFilters(&pEnum), S_OK);
        IBaseFilter *pFilter = nullptr;
        while (pEnum->Next(1, &pFilter, nullptr) == S_OK) {
            CLSID clsid = GUID_NULL;
            pFilter->GetClassID(&clsid);
            bOurs = bOurs || IsEqualCLSID(clsid, CLSID_MovieSource);
            FILTER_INFO info = {};
            if (SUCCEEDED(pFilter->QueryFilterInfo(&info))) {
                names.push_back(info.achName);
                if (info.pGraph)
                    info.pGraph->Release();
            }
            pFilter->Release();
        }
        pEnum->Release();
        std::string listed;
        for (const std::wstring &n : names)
            listed += std::string(n.begin(), n.end()) + "; ";
        EXPECT_TRUE(bOurs) << "the graph holds " << listed;

        IMediaControl *pControl = nullptr;
        IMediaEvent *pEvent = nullptr;
        ASSERT_EQ(pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&pControl)), S_OK);
        ASSERT_EQ(pGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void **>(&pEvent)), S_OK);
        if (bOurs) {
            // The graph's seek, which asks every pin for the times it settled on.
            IMediaSeeking *pSeeking = nullptr;
            ASSERT_EQ(pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&pSeeking)), S_OK);
            LONGLONG current = 1000000, stop = 0;
            EXPECT_EQ(pSeeking->SetPositions(&current, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime,
                                             &stop, AM_SEEKING_NoPositioning | AM_SEEKING_ReturnTime), S_OK);
            EXPECT_EQ(current, 1000000);
            EXPECT_EQ(stop, 5000000) << "five frames of 0.1 s";
            pSeeking->Release();
            EXPECT_TRUE(SUCCEEDED(pControl->Run()));
            LONG code = 0;
            EXPECT_EQ(pEvent->WaitForCompletion(10000, &code), S_OK);
            EXPECT_EQ(code, EC_COMPLETE);
            EXPECT_EQ(pControl->Stop(), S_OK);
        }
        pEvent->Release();
        pControl->Release();
        EXPECT_EQ(pGraph->Release(), 0u);
        DeleteFileA(path.c_str());
    }
}

// Run in a process of its own: a filter keeps its runtime loaded for the rest of the process.
TEST_F(Hosting, AForeignRuntimeIsNeverCalled)
{
    ASSERT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr) << "not the process's first runtime";
    // The module installed alone, where the registry names another QuickTime.qts (QuickTime
    // for Windows): it must start as without any runtime, not call into that library.
    char szTemp[MAX_PATH];
    GetTempPathA(MAX_PATH, szTemp);
    const std::string folder = std::string(szTemp) + "quorvex-alone\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string module = folder + "QuorvexTavrolin.ax";
    ASSERT_TRUE(CopyFileA(g_modulePath.c_str(), module.c_str(), FALSE));
    const std::string movie = WriteMovie("foreign-runtime.mov", true, false);
    ASSERT_FALSE(movie.empty());
    WCHAR wszMovie[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, movie.c_str(), -1, wszMovie, MAX_PATH);

    // Opens the movie through the lone module's own class object; the runtime it bound, if any.
    auto open = [&](HRESULT *phr) {
        std::string runtime = "<none>";
        const HMODULE hModule = LoadLibraryA(module.c_str());
        EXPECT_NE(hModule, nullptr);
        if (!hModule)
            return runtime;
        auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **)>(
            reinterpret_cast<void *>(GetProcAddress(hModule, "DllGetClassObject")));
        IClassFactory *pFactory = nullptr;
        IBaseFilter *pFilter = nullptr;
        IFileSourceFilter *pSource = nullptr;
        if (getClassObject(CLSID_MovieSource, IID_IClassFactory, reinterpret_cast<void **>(&pFactory)) == S_OK &&
            pFactory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void **>(&pFilter)) == S_OK &&
            pFilter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&pSource)) == S_OK) {
            *phr = pSource->Load(wszMovie, nullptr);
            if (const HMODULE bound = GetModuleHandleA("QuickTime.qts")) {
                char szPath[MAX_PATH] = {};
                GetModuleFileNameA(bound, szPath, MAX_PATH);
                runtime = szPath;
            }
        }
        if (pSource)
            pSource->Release();
        if (pFilter) {
            EXPECT_EQ(pFilter->Release(), 0u);
        }
        if (pFactory)
            pFactory->Release();
        FreeLibrary(hModule);
        return runtime;
    };

    ASSERT_EQ(RegSetValueExA(m_hQuickTime, "QTSysDir", 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(g_foreignDir.c_str()),
                             DWORD(g_foreignDir.size() + 1)), ERROR_SUCCESS);
    HRESULT hr = S_OK;
    EXPECT_EQ(open(&hr), "<none>") << "the foreign library is loaded";
    EXPECT_EQ(hr, E_FAIL);

    // The same module and movie with the project's runtime where the registry points.
    ASSERT_EQ(RegSetValueExA(m_hQuickTime, "QTSysDir", 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(g_standinDir.c_str()),
                             DWORD(g_standinDir.size() + 1)), ERROR_SUCCESS);
    hr = E_UNEXPECTED;
    const std::string runtime = open(&hr);
    EXPECT_EQ(lstrcmpiA(runtime.c_str(), (g_standinDir + "\\QuickTime.qts").c_str()), 0) << runtime;
    EXPECT_EQ(hr, S_OK);

    DeleteFileA(movie.c_str());
    DeleteFileA(module.c_str());
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: registration_tests MODULE STANDIN-DIR FOREIGN-QTS-DIR [32-BIT-MODULE]\n");
        return 2;
    }
    g_modulePath = WindowsPathFromHost(argv[1]);
    g_standinDir = WindowsPathFromHost(argv[2]);
    g_foreignDir = WindowsPathFromHost(argv[3]);
    if (argc > 4)
        g_otherModulePath = WindowsPathFromHost(argv[4]);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
