// The loader against real folders, registry values and QuickTime.qts variants built by the
// tests: where the library is found, what binding it gives, and every failure's state.
#include <gtest/gtest.h>

#include <cstring>

#include "LoaderTestSupport.h"
#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeBinding.h"

namespace {

const long kPoison = 0x7EADBEEF;

class LoaderTest : public testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override
    {
        Clean();
        EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr) << "a test leaked a reference";
    }
    static void Clean()
    {
        UnloadQuickTimeLibraries();
        ResetQuickTimeBindingToInitial();
        DeleteQuickTimeRegistryValues();
    }
};

void ExpectReset()
{
    EXPECT_EQ(QuickTimeBinding.preCallHook, &ResolveQuickTimeEntryPointsHook);
    EXPECT_EQ(QuickTimeBinding.dispatcher, &QuickTimeNotBound);
    EXPECT_EQ(QuickTimeBinding.callComponent, &QuickTimeNotBound);
    EXPECT_EQ(QuickTimeBinding.callComponentWithStorage, &QuickTimeNotBound);
    EXPECT_EQ(QuickTimeBinding.libraryModule, nullptr);
    EXPECT_EQ(QuickTimeBinding.initCount, 0);
}

void ExpectBoundTo(HMODULE module)
{
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(QuickTimeBinding.preCallHook, nullptr);
    EXPECT_EQ(reinterpret_cast<FARPROC>(QuickTimeBinding.dispatcher),
              GetProcAddress(module, "theQuickTimeDispatcher"));
    EXPECT_EQ(reinterpret_cast<FARPROC>(QuickTimeBinding.callComponent),
              GetProcAddress(module, "_CallComponent"));
    EXPECT_EQ(reinterpret_cast<FARPROC>(QuickTimeBinding.callComponentWithStorage),
              GetProcAddress(module, "_CallComponentFunctionWithStorage"));
}

std::string SystemDirectory()
{
    char buffer[MAX_PATH];
    std::memset(buffer, 'x', sizeof buffer);
    if (!GetQuickTimeSystemDirectory(buffer, sizeof buffer))
        return "<none>";
    return buffer;
}

std::string ExtensionDirectory()
{
    char buffer[MAX_PATH];
    std::memset(buffer, 'x', sizeof buffer);
    const DWORD length = GetQuickTimeExtensionDirectory(buffer, sizeof buffer);
    if (length == 0)
        return "<none>";
    EXPECT_EQ(length, std::strlen(buffer));
    return buffer;
}

// --- finding the folders ---------------------------------------------------------------

TEST_F(LoaderTest, RegistryDirectoryGetsOneSeparator)
{
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    ReadQuickTimeRegistryDirectory("QTSysDir", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");

    SetQuickTimeRegistryValue("QTSysDir", "C:\\Program Files\\QuickTime");
    ReadQuickTimeRegistryDirectory("QTSysDir", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "C:\\Program Files\\QuickTime\\");

    SetQuickTimeRegistryValue("QTSysDir", "D:/qt/");
    ReadQuickTimeRegistryDirectory("QTSysDir", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "D:/qt/");

    // Too long for the buffer: nothing rather than a cut path.
    SetQuickTimeRegistryValue("QTSysDir", std::string(80, 'a'));
    std::memset(buffer, 'x', sizeof buffer);
    ReadQuickTimeRegistryDirectory("QTSysDir", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
}

TEST_F(LoaderTest, SystemDirectoryTakesTheFirstExistingCandidate)
{
    const std::string current = TestLibraryDirectory("current");
    const std::string other = TestLibraryDirectory("other");

    EXPECT_EQ(SystemDirectory(), WindowsSystemDirectory());

    SetQuickTimeRegistryValue("QTSysDir", "C:\\no such folder");
    EXPECT_EQ(SystemDirectory(), WindowsSystemDirectory());

    SetQuickTimeRegistryValue("QuickTime.qts folder", other.substr(0, other.size() - 1));
    EXPECT_EQ(SystemDirectory(), other);

    SetQuickTimeRegistryValue("QTSysDir", current);
    EXPECT_EQ(SystemDirectory(), current);

    EXPECT_FALSE(GetQuickTimeSystemDirectory(nullptr, MAX_PATH));
}

TEST_F(LoaderTest, LoadedLibraryTakesPrecedenceOverTheRegistry)
{
    const std::string other = TestLibraryDirectory("other");
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("current"));
    const HMODULE loaded = LoadLibraryA((other + "QuickTime.qts").c_str());
    ASSERT_NE(loaded, nullptr);

    EXPECT_EQ(SystemDirectory(), other);

    ASSERT_EQ(InitializeQTML(0), noErr);
    EXPECT_EQ(QuickTimeBinding.libraryModule, loaded);
    ExpectBoundTo(loaded);
    TerminateQTML();
    FreeLibrary(loaded);
}

TEST_F(LoaderTest, ExtensionDirectory)
{
    EXPECT_EQ(ExtensionDirectory(), WindowsSystemDirectory() + "QuickTime\\");

    const std::string current = TestLibraryDirectory("current");
    SetQuickTimeRegistryValue("QTSysDir", current);
    EXPECT_EQ(ExtensionDirectory(), current);

    // Taken as it stands: it is not tested for existence.
    SetQuickTimeRegistryValue("QTExtDir", "C:\\no such folder");
    EXPECT_EQ(ExtensionDirectory(), "C:\\no such folder\\");
}

// --- InitializeQTML and TerminateQTML -------------------------------------------------

TEST_F(LoaderTest, MissingLibraryLeavesTheBindingReset)
{
    SetQuickTimeRegistryValue("QTSysDir", "C:\\no such folder");
    EXPECT_EQ(InitializeQTML(0), qtmlDllLoadErr);
    ExpectReset();

    // From the reset state a call finds no library, even once one could be found.
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("current"));
    long response = kPoison;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), qtmlUninitialized);
    EXPECT_EQ(response, kPoison);
    EXPECT_EQ(GetMovieTrackCount(nullptr), long(0x0002F7D1));
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
    ExpectReset();
}

TEST_F(LoaderTest, BindsAndPassesTheFlags)
{
    const std::string current = TestLibraryDirectory("current");
    SetQuickTimeRegistryValue("QTSysDir", current);

    ASSERT_EQ(InitializeQTML(0x1234), noErr);
    EXPECT_EQ(LoadedQuickTimePath(), current + "QuickTime.qts");
    EXPECT_EQ(QuickTimeBinding.libraryModule, GetModuleHandleA("QuickTime.qts"));
    EXPECT_EQ(QuickTimeBinding.initCount, 1);
    ExpectBoundTo(QuickTimeBinding.libraryModule);
    TestQuickTimeState *state = LoadedTestQuickTime();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->initializeCalls, 1);
    EXPECT_EQ(state->lastInitializeFlags, 0x1234);

    TerminateQTML();
    ExpectReset();
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, NestedInitialisationsRunTheLibraryOnce)
{
    const std::string path = TestLibraryDirectory("current") + "QuickTime.qts";
    // The test's own reference keeps the counters readable after the binding lets go.
    const HMODULE held = LoadLibraryA(path.c_str());
    ASSERT_NE(held, nullptr);
    TestQuickTimeState *state = LoadedTestQuickTime();
    ASSERT_NE(state, nullptr);

    ASSERT_EQ(InitializeQTML(0), noErr);
    ASSERT_EQ(InitializeQTML(0), noErr);
    EXPECT_EQ(QuickTimeBinding.initCount, 2);
    EXPECT_EQ(state->initializeCalls, 1);

    TerminateQTML();
    EXPECT_EQ(QuickTimeBinding.initCount, 1);
    EXPECT_EQ(state->terminateCalls, 0);
    ExpectBoundTo(held);

    TerminateQTML();
    EXPECT_EQ(state->terminateCalls, 1);
    ExpectReset();

    TerminateQTML();
    EXPECT_EQ(state->terminateCalls, 1);
    EXPECT_EQ(QuickTimeBinding.initCount, 0);

    // The binding released exactly the reference it took.
    FreeLibrary(held);
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, MissingEntryPointFreesTheLibrary)
{
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("nodispatcher"));
    EXPECT_EQ(InitializeQTML(0), qtmlDllEntryNotFoundErr);
    ExpectReset();
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, LibraryStartUpFailureIsReturned)
{
    const HMODULE held =
        LoadLibraryA((TestLibraryDirectory("initfails") + "QuickTime.qts").c_str());
    ASSERT_NE(held, nullptr);
    TestQuickTimeState *state = LoadedTestQuickTime();
    ASSERT_NE(state, nullptr);

    EXPECT_EQ(InitializeQTML(0), memFullErr);
    EXPECT_EQ(state->initializeCalls, 1);
    ExpectReset();

    FreeLibrary(held);
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

// --- only the project's own runtime is bound -------------------------------------------

TEST_F(LoaderTest, ForeignLibraryIsNotBound)
{
    // QuickTime for Windows where the registry points: the same three entries, no mark.
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("foreign"));
    EXPECT_EQ(InitializeQTML(0), qtmlDllLoadErr);
    ExpectReset();
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr) << "the foreign library stayed loaded";

    // Nor does a call made before any initialisation bind it.
    ResetQuickTimeBindingToInitial();
    long response = kPoison;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), qtmlUninitialized);
    EXPECT_EQ(response, kPoison);
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, ForeignLibraryLoadedAlreadyIsPassedOver)
{
    const HMODULE foreign =
        LoadLibraryA((TestLibraryDirectory("foreign") + "QuickTime.qts").c_str());
    ASSERT_NE(foreign, nullptr);
    const std::string current = TestLibraryDirectory("current");
    SetQuickTimeRegistryValue("QTSysDir", current);
    EXPECT_EQ(SystemDirectory(), current);

    ASSERT_EQ(InitializeQTML(0), noErr);
    EXPECT_NE(QuickTimeBinding.libraryModule, foreign);
    EXPECT_EQ(ModulePath(QuickTimeBinding.libraryModule), current + "QuickTime.qts");
    ExpectBoundTo(QuickTimeBinding.libraryModule);
    TerminateQTML();
    FreeLibrary(foreign);
}

TEST_F(LoaderTest, LibraryOfTheOtherArchitectureIsNotBound)
{
    const std::string other = OtherArchitectureRuntimeDirectory();
    ASSERT_FALSE(other.empty()) << "QUORVEX_OTHER_ARCH_RUNTIME is not set";
    ASSERT_NE(GetFileAttributesA((other + "QuickTime.qts").c_str()), INVALID_FILE_ATTRIBUTES)
        << other << "QuickTime.qts is missing: ./run build builds both trees";
    SetQuickTimeRegistryValue("QTSysDir", other);
    EXPECT_EQ(InitializeQTML(0), qtmlDllLoadErr);
    ExpectReset();
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, RuntimeBesideTheModuleComesBeforeTheRegistry)
{
    // Where the registry names another installation, the runtime beside the module is taken.
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("other"));
    const ScopedLibraryCopy beside("current", ProgramDirectory());
    ASSERT_TRUE(beside.ok());
    ASSERT_EQ(InitializeQTML(0), noErr);
    EXPECT_EQ(LoadedQuickTimePath(), ProgramDirectory() + "QuickTime.qts");
    TerminateQTML();
    ExpectReset();
}

TEST_F(LoaderTest, FallsBackToTheSystemFolder)
{
    ScopedLibraryCopy copy("current", WindowsSystemDirectory());
    ASSERT_TRUE(copy.ok());
    ASSERT_EQ(InitializeQTML(0), noErr);
    EXPECT_EQ(LoadedQuickTimePath(), WindowsSystemDirectory() + "QuickTime.qts");
    TerminateQTML();
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, FallsBackToTheQuickTimeSubfolderOfTheSystemFolder)
{
    const std::string subfolder = WindowsSystemDirectory() + "QuickTime\\";
    ScopedLibraryCopy copy("current", subfolder);
    ASSERT_TRUE(copy.ok());
    ASSERT_EQ(InitializeQTML(0), noErr);
    EXPECT_EQ(LoadedQuickTimePath(), subfolder + "QuickTime.qts");
    TerminateQTML();
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
}

TEST_F(LoaderTest, MutexName)
{
    char name[64];
    std::memset(name, 'x', sizeof name);
    FormatQuickTimeInitMutexName(0x1A2B, name, sizeof name);
    EXPECT_STREQ(name, "QTMLInitTermMutex1a2b");
    FormatQuickTimeInitMutexName(0xABCDEF01, name, sizeof name);
    EXPECT_STREQ(name, "QTMLInitTermMutexabcdef01");
}

DWORD WINAPI InitializeOnThread(void *result)
{
    *static_cast<OSErr *>(result) = InitializeQTML(0);
    return 0;
}

TEST_F(LoaderTest, InitializationWaitsForTheProcessMutex)
{
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("current"));
    char name[64];
    FormatQuickTimeInitMutexName(GetCurrentProcessId(), name, sizeof name);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    ASSERT_NE(mutex, nullptr);

    OSErr result = 1;
    const HANDLE thread = CreateThread(nullptr, 0, InitializeOnThread, &result, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 300), DWORD(WAIT_TIMEOUT)) << "did not wait";
    EXPECT_EQ(QuickTimeBinding.initCount, 0);
    ReleaseMutex(mutex);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), DWORD(WAIT_OBJECT_0)) << "still waiting";
    EXPECT_EQ(result, noErr);
    CloseHandle(thread);
    CloseHandle(mutex);
    TerminateQTML();
}

// --- lazy binding ---------------------------------------------------------------------

TEST_F(LoaderTest, LazyBindingOfAnOldLibraryKeepsItWithoutTheQuery)
{
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("old"));
    long response = kPoison;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), OSErr(0x5EED)) << "call not served";

    const HMODULE module = GetModuleHandleA("QuickTime.qts");
    EXPECT_EQ(QuickTimeBinding.libraryModule, module);
    ExpectBoundTo(module);
    TestQuickTimeState *state = LoadedTestQuickTime();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->otherCalls, 1);
    EXPECT_EQ(state->queryCalls, 0);
    EXPECT_EQ(state->initializeCalls, 0);
    EXPECT_EQ(QuickTimeBinding.versionExamined, 1u);
    EXPECT_EQ(QuickTimeBinding.versionAtLeast702, 0u);
}

TEST_F(LoaderTest, LazyBindingOfA702LibraryAsksTheQuery)
{
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("current"));
    EXPECT_EQ(MemError(), OSErr(0x5EED));
    TestQuickTimeState *state = LoadedTestQuickTime();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->queryCalls, 1);
    EXPECT_EQ(state->otherCalls, 1);
    // The query answered false: the reference stays with the binding.
    EXPECT_EQ(QuickTimeBinding.libraryModule, GetModuleHandleA("QuickTime.qts"));
    EXPECT_EQ(QuickTimeBinding.versionAtLeast702, 1u);

    EXPECT_EQ(MemError(), OSErr(0x5EED));
    EXPECT_EQ(state->queryCalls, 1);
}

TEST_F(LoaderTest, LazyBindingWithoutALibraryRetriesLater)
{
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("nodispatcher"));
    long response = kPoison;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), qtmlUninitialized);
    EXPECT_EQ(response, kPoison);
    EXPECT_EQ(QuickTimeBinding.preCallHook, &LazyBindQuickTime);
    EXPECT_EQ(QuickTimeBinding.dispatcher, &QuickTimeNotBound);
    EXPECT_EQ(QuickTimeBinding.callComponent, &QuickTimeNotBound);
    EXPECT_NE(QuickTimeBinding.libraryModule, nullptr);

    UnloadQuickTimeLibraries();
    QuickTimeBinding.libraryModule = nullptr;
    SetQuickTimeRegistryValue("QTSysDir", "C:\\no such folder");
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), qtmlUninitialized);
    EXPECT_EQ(QuickTimeBinding.preCallHook, &LazyBindQuickTime);

    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("old"));
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), OSErr(0x5EED));
    EXPECT_EQ(QuickTimeBinding.preCallHook, nullptr);
}

TEST_F(LoaderTest, VersionTestLoadsTheLibraryOnlyForItsDuration)
{
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("current"));
    EXPECT_TRUE(QuickTimeVersionAtLeast702());
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), nullptr);
    EXPECT_EQ(QuickTimeBinding.versionExamined, 1u);

    // Examined once: a different library later does not change the answer.
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("old"));
    EXPECT_TRUE(QuickTimeVersionAtLeast702());

    QuickTimeBinding.versionExamined = 0;
    QuickTimeBinding.versionAtLeast702 = 0;
    EXPECT_FALSE(QuickTimeVersionAtLeast702());

    QuickTimeBinding.versionExamined = 0;
    SetQuickTimeRegistryValue("QTSysDir", "C:\\no such folder");
    EXPECT_FALSE(QuickTimeVersionAtLeast702());
    EXPECT_EQ(QuickTimeBinding.versionExamined, 0u);
}

// Runs in a process of its own: the module stays pinned.
TEST(LazyPinned, QueryTrueReleasesTheReferenceButNeverUnloadsTheBoundLibrary)
{
    UnloadQuickTimeLibraries();
    ResetQuickTimeBindingToInitial();
    DeleteQuickTimeRegistryValues();
    SetQuickTimeRegistryValue("QTSysDir", TestLibraryDirectory("shared"));

    EXPECT_EQ(MemError(), OSErr(0x5EED));
    const HMODULE module = GetModuleHandleA("QuickTime.qts");
    ASSERT_NE(module, nullptr);
    TestQuickTimeState *state = LoadedTestQuickTime();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->queryCalls, 1);
    EXPECT_EQ(QuickTimeBinding.libraryModule, nullptr);
    ExpectBoundTo(module);

    // Whoever else held it lets go: the module stays, and so does every bound call.
    EXPECT_TRUE(!UnloadQuickTimeLibraries());
    EXPECT_EQ(MemError(), OSErr(0x5EED));
    EXPECT_EQ(state->otherCalls, 2);
    DeleteQuickTimeRegistryValues();
}

}  // namespace
