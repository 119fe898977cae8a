// The COM object base, the class factory and the module entry points, over a class table of
// the test's own.
#include <windows.h>
#include <strmif.h>

#include <vector>

#include <gtest/gtest.h>

#include "framework/combase.h"
#include "test_objects.h"

namespace {

const CLSID CLSID_TestObject = {0x6b1c0001, 0x1d2e, 0x4f30, {0x91, 0x42, 1, 0, 0, 0, 0, 0}};
const CLSID CLSID_TestHooked = {0x6b1c0002, 0x1d2e, 0x4f30, {0x91, 0x42, 2, 0, 0, 0, 0, 0}};
const CLSID CLSID_Missing = {0x6b1c0003, 0x1d2e, 0x4f30, {0x91, 0x42, 3, 0, 0, 0, 0, 0}};

enum class CreateMode { Normal, NullWithSuccess, NullWithFailure, ObjectWithFailure };
CreateMode g_mode = CreateMode::Normal;
int g_cCreated = 0;
int g_cDestroyed = 0;
bool g_bTouchInDestructor = false;

class CTestObject : public CUnknown, public IPersist {
public:
    explicit CTestObject(LPUNKNOWN pOuter) : CUnknown("test object", pOuter) { g_cCreated++; }
    ~CTestObject() override
    {
        g_cDestroyed++;
        if (g_bTouchInDestructor) {
            // What a destructor that hands itself to a helper does.
            NonDelegatingAddRef();
            NonDelegatingRelease();
        }
    }

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override
    {
        if (IsEqualIID(riid, IID_IPersist))
            return GetInterface(static_cast<IPersist *>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP GetClassID(CLSID *pClsID) override
    {
        *pClsID = CLSID_TestObject;
        return S_OK;
    }
};

CUnknown *CALLBACK CreateTestObject(LPUNKNOWN pOuter, HRESULT *phr)
{
    switch (g_mode) {
    case CreateMode::NullWithSuccess:
        return nullptr;
    case CreateMode::NullWithFailure:
        *phr = E_ACCESSDENIED;
        return nullptr;
    case CreateMode::ObjectWithFailure:
        *phr = E_ABORT;
        return new CTestObject(pOuter);
    case CreateMode::Normal:
        break;
    }
    return new CTestObject(pOuter);
}

struct InitCall {
    BOOL bLoading;
    CLSID clsid;
};
std::vector<InitCall> g_initCalls;

void CALLBACK InitHook(BOOL bLoading, const CLSID *rclsid)
{
    g_initCalls.push_back({bLoading, *rclsid});
}

// Resets the creation hooks and checks that a test left no object alive.
class ComBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_mode = CreateMode::Normal;
        g_cCreated = g_cDestroyed = 0;
        g_bTouchInDestructor = false;
        m_cObjectsBefore = CBaseObject::ObjectsActive();
    }
    void TearDown() override { EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjectsBefore); }

    IClassFactory *GetFactory(REFCLSID clsid)
    {
        IClassFactory *pFactory = nullptr;
        EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory,
                                    reinterpret_cast<void **>(&pFactory)),
                  S_OK);
        return pFactory;
    }

    LONG m_cObjectsBefore = 0;
};

} // namespace

CFactoryTemplate g_Templates[] = {
    {L"Test object", &CLSID_TestObject, CreateTestObject, nullptr, nullptr},
    {L"Test object with hook", &CLSID_TestHooked, CreateTestObject, InitHook, nullptr},
};
int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

TEST_F(ComBase, GetClassObjectChecksInterfaceBeforeClass)
{
    void *pv = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(DllGetClassObject(CLSID_TestObject, IID_IPersist, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, reinterpret_cast<void *>(0xdeadbeef));
    EXPECT_EQ(DllGetClassObject(CLSID_Missing, IID_IPersist, &pv), E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(CLSID_Missing, IID_IClassFactory, &pv),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pv, reinterpret_cast<void *>(0xdeadbeef));
}

TEST_F(ComBase, FactoryCountsAsObjectAndAnswersItsInterfaces)
{
    IUnknown *pUnk = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_TestHooked, IID_IUnknown, reinterpret_cast<void **>(&pUnk)),
              S_OK);
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjectsBefore + 1);
    EXPECT_EQ(RefCount(pUnk), 1u);
    EXPECT_INTERFACE(pUnk, IID_IClassFactory, true);
    EXPECT_INTERFACE(pUnk, IID_IUnknown, true);
    EXPECT_INTERFACE(pUnk, IID_IPersist, false);
    EXPECT_EQ(pUnk->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(pUnk->AddRef(), 2u);
    EXPECT_EQ(pUnk->Release(), 1u);
    EXPECT_EQ(pUnk->Release(), 0u);
}

TEST_F(ComBase, CreateInstanceHandsOutExactlyOneReference)
{
    IClassFactory *pFactory = GetFactory(CLSID_TestObject);
    ASSERT_NE(pFactory, nullptr);

    IPersist *pPersist = reinterpret_cast<IPersist *>(0xdeadbeef);
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IPersist,
                                       reinterpret_cast<void **>(&pPersist)),
              S_OK);
    EXPECT_EQ(RefCount(pPersist), 1u);
    EXPECT_INTERFACE(pPersist, IID_IUnknown, true);
    EXPECT_INTERFACE(pPersist, IID_IBaseFilter, false);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(pPersist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestObject));

    // Never 0 while alive; 0 exactly when destroyed.
    EXPECT_EQ(pPersist->AddRef(), 2u);
    EXPECT_EQ(pPersist->Release(), 1u);
    EXPECT_EQ(g_cDestroyed, 0);
    EXPECT_EQ(pPersist->Release(), 0u);
    EXPECT_EQ(g_cDestroyed, 1);

    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IPersist, nullptr), E_POINTER);
    EXPECT_EQ(g_cCreated, 1);
    pFactory->Release();
}

TEST_F(ComBase, CreateInstanceOfMissingInterfaceLeavesNoObject)
{
    IClassFactory *pFactory = GetFactory(CLSID_TestObject);
    ASSERT_NE(pFactory, nullptr);
    LONG cWithFactory = CBaseObject::ObjectsActive();

    void *pv = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IBaseFilter, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_cCreated, 1);
    EXPECT_EQ(g_cDestroyed, 1);
    EXPECT_EQ(CBaseObject::ObjectsActive(), cWithFactory);
    pFactory->Release();
}

TEST_F(ComBase, CreateInstanceReportsTheCreationStatus)
{
    IClassFactory *pFactory = GetFactory(CLSID_TestObject);
    ASSERT_NE(pFactory, nullptr);
    void *pv = reinterpret_cast<void *>(0xdeadbeef);

    g_mode = CreateMode::NullWithSuccess;
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, &pv), E_OUTOFMEMORY);
    g_mode = CreateMode::NullWithFailure;
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, &pv), E_ACCESSDENIED);
    EXPECT_EQ(pv, reinterpret_cast<void *>(0xdeadbeef));

    // An object that comes with a failure is destroyed, not handed out.
    g_mode = CreateMode::ObjectWithFailure;
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, &pv), E_ABORT);
    EXPECT_EQ(pv, reinterpret_cast<void *>(0xdeadbeef));
    EXPECT_EQ(g_cCreated, 1);
    EXPECT_EQ(g_cDestroyed, 1);
    pFactory->Release();
}

TEST_F(ComBase, AggregationOnlyThroughIUnknown)
{
    IClassFactory *pFactory = GetFactory(CLSID_TestObject);
    ASSERT_NE(pFactory, nullptr);
    CCountingUnknown outer;

    void *pv = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(pFactory->CreateInstance(&outer, IID_IPersist, &pv), E_NOINTERFACE);
    EXPECT_EQ(g_cCreated, 0);

    IUnknown *pInner = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void **>(&pInner)),
              S_OK);
    EXPECT_EQ(outer.m_cRef, 1);

    // The inner interfaces answer for the outer object; the non-delegating IUnknown does not.
    IPersist *pPersist = nullptr;
    ASSERT_EQ(pInner->QueryInterface(IID_IPersist, reinterpret_cast<void **>(&pPersist)), S_OK);
    EXPECT_EQ(outer.m_cRef, 2);
    IUnknown *pViaPersist = nullptr;
    EXPECT_EQ(pPersist->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&pViaPersist)),
              S_OK);
    EXPECT_EQ(pViaPersist, static_cast<IUnknown *>(&outer));
    EXPECT_EQ(outer.m_cRef, 3);
    pViaPersist->Release();
    EXPECT_EQ(pPersist->AddRef(), 3u);
    EXPECT_EQ(pPersist->Release(), 2u);
    pPersist->Release();
    EXPECT_EQ(outer.m_cRef, 1);

    EXPECT_EQ(g_cDestroyed, 0);
    EXPECT_EQ(pInner->Release(), 0u);
    EXPECT_EQ(g_cDestroyed, 1);
    EXPECT_EQ(outer.m_cRef, 1);
    pFactory->Release();
}

TEST_F(ComBase, ReferenceTakenDuringDestructionDoesNotDestroyTwice)
{
    g_bTouchInDestructor = true;
    HRESULT hr = S_OK;
    CUnknown *pObj = CreateTestObject(nullptr, &hr);
    EXPECT_EQ(pObj->NonDelegatingAddRef(), 1u);
    EXPECT_EQ(pObj->NonDelegatingRelease(), 0u);
    EXPECT_EQ(g_cDestroyed, 1);
}

TEST_F(ComBase, NonDelegatingInterfaceTable)
{
    HRESULT hr = S_OK;
    CUnknown *pObj = CreateTestObject(nullptr, &hr);
    pObj->NonDelegatingAddRef();
    EXPECT_EQ(pObj->NonDelegatingQueryInterface(IID_IUnknown, nullptr), E_POINTER);
    void *pv = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(pObj->NonDelegatingQueryInterface(IID_IClassFactory, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    ASSERT_EQ(pObj->NonDelegatingQueryInterface(IID_IUnknown, &pv), S_OK);
    EXPECT_EQ(pv, pObj->GetOwner());
    static_cast<IUnknown *>(pv)->Release();
    EXPECT_EQ(GetInterface(pObj->GetOwner(), nullptr), E_POINTER);
    EXPECT_EQ(pObj->NonDelegatingRelease(), 0u);
}

TEST_F(ComBase, CanUnloadOnlyWithoutObjectsAndLocks)
{
    ASSERT_EQ(m_cObjectsBefore, 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    IClassFactory *pFactory = GetFactory(CLSID_TestObject);
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    IUnknown *pObj = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&pObj)),
              S_OK);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    pFactory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);   // the object and the lock
    pObj->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);   // the lock
    EXPECT_EQ(CBaseObject::ObjectsActive(), 0);

    pFactory = GetFactory(CLSID_TestObject);
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    pFactory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ComBase, EntryPointRecordsPlatformAndCallsInitHooks)
{
    g_initCalls.clear();
    HINSTANCE hInst = GetModuleHandleW(nullptr);
    EXPECT_TRUE(DllEntryPoint(hInst, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(g_hInst, hInst);
    EXPECT_EQ(g_osInfo.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(g_amPlatform, DWORD(VER_PLATFORM_WIN32_NT));
    ASSERT_EQ(g_initCalls.size(), 1u);   // only the row with a hook
    EXPECT_TRUE(g_initCalls[0].bLoading);
    EXPECT_TRUE(IsEqualCLSID(g_initCalls[0].clsid, CLSID_TestHooked));

    EXPECT_TRUE(DllEntryPoint(hInst, DLL_THREAD_ATTACH, nullptr));
    EXPECT_EQ(g_initCalls.size(), 1u);
    EXPECT_TRUE(DllEntryPoint(hInst, DLL_PROCESS_DETACH, nullptr));
    ASSERT_EQ(g_initCalls.size(), 2u);
    EXPECT_FALSE(g_initCalls[1].bLoading);
    EXPECT_TRUE(IsEqualCLSID(g_initCalls[1].clsid, CLSID_TestHooked));
}
