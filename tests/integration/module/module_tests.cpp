// The built module as a host sees it: loaded by path, its exports looked up by name.
#include <windows.h>
#include <objbase.h>
#include <strmif.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testpaths.h"

namespace {

std::string g_modulePath;

template <typename Fn> Fn Export(HMODULE hModule, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(hModule, name)));
}

typedef HRESULT(STDAPICALLTYPE *GetClassObjectFn)(REFCLSID, REFIID, void **);
typedef HRESULT(STDAPICALLTYPE *CanUnloadNowFn)();

const CLSID CLSID_Unknown = {0x1c3f7b9e, 0x1111, 0x4a2b, {0x9c, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};
// {2D01BA43-D2CB-409B-AA33-E433F02496D3}
const CLSID CLSID_MovieSource = {0x2d01ba43, 0xd2cb, 0x409b, {0xaa, 0x33, 0xe4, 0x33, 0xf0, 0x24, 0x96, 0xd3}};

class Module : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hModule = LoadLibraryA(g_modulePath.c_str());
        ASSERT_NE(m_hModule, nullptr) << g_modulePath << ": error " << GetLastError();
    }
    void TearDown() override
    {
        if (m_hModule)
            FreeLibrary(m_hModule);
    }
    HMODULE m_hModule = nullptr;
};

TEST_F(Module, ExportsTheEntryPointsUndecorated)
{
    EXPECT_NE(GetProcAddress(m_hModule, "DllGetClassObject"), nullptr);
    EXPECT_NE(GetProcAddress(m_hModule, "DllCanUnloadNow"), nullptr);
    EXPECT_NE(GetProcAddress(m_hModule, "DllRegisterServer"), nullptr);
    EXPECT_NE(GetProcAddress(m_hModule, "DllUnregisterServer"), nullptr);
    EXPECT_EQ(GetProcAddress(m_hModule, "DllRegisterServer@0"), nullptr);
    EXPECT_EQ(GetProcAddress(m_hModule, "DllGetClassObject@12"), nullptr);
    EXPECT_EQ(GetProcAddress(m_hModule, "_DllGetClassObject@12"), nullptr);
}

TEST_F(Module, ClassObjectRulesWithoutLiveObjects)
{
    auto getClassObject = Export<GetClassObjectFn>(m_hModule, "DllGetClassObject");
    auto canUnloadNow = Export<CanUnloadNowFn>(m_hModule, "DllCanUnloadNow");
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);

    void *pv = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(getClassObject(CLSID_Unknown, IID_IPersist, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, reinterpret_cast<void *>(0xdeadbeef));
    EXPECT_EQ(getClassObject(CLSID_Unknown, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pv, reinterpret_cast<void *>(0xdeadbeef));
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(Module, ServesTheMovieSourceFilter)
{
    auto getClassObject = Export<GetClassObjectFn>(m_hModule, "DllGetClassObject");
    auto canUnloadNow = Export<CanUnloadNowFn>(m_hModule, "DllCanUnloadNow");
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);

    IClassFactory *pFactory = nullptr;
    ASSERT_EQ(getClassObject(CLSID_MovieSource, IID_IClassFactory,
                             reinterpret_cast<void **>(&pFactory)), S_OK);
    IBaseFilter *pFilter = reinterpret_cast<IBaseFilter *>(0xdeadbeef);
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IBaseFilter,
                                       reinterpret_cast<void **>(&pFilter)), S_OK);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a filter is alive";
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(pFilter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_MovieSource));
    EXPECT_EQ(pFilter->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(Module, CarriesItsVersionResource)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(g_modulePath.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(g_modulePath.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO *info = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&info), &len));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwFileType, static_cast<DWORD>(VFT_DLL));

    char *name = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void **>(&name), &len));
    EXPECT_STREQ(name, "QuorvexTavrolin.ax");
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: module_tests PATH-TO-MODULE\n");
        return 2;
    }
    g_modulePath = WindowsPathFromHost(argv[1]);
    return RUN_ALL_TESTS();
}
