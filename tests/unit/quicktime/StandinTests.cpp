// The QuickTime.qts stand-in through the binding, as the filter reaches it: the library is
// loaded by full path before the first InitializeQTML, which then binds that copy.
// Arguments: the library's path and the 'qtim' answer its flavour must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeRuntimeMark.h"

extern "C" uint32_t CallDispatcherWithSelector(uint32_t selector, void *dispatcher);

// Enters the dispatcher the way a stub does: by a jump, the selector in EAX.
#if defined(__i386__)
asm(R"(
        .text
        .globl  _CallDispatcherWithSelector
_CallDispatcherWithSelector:
        movl    4(%esp), %eax
        movl    8(%esp), %ecx
        jmp     *%ecx
)");
#else
asm(R"(
        .text
        .globl  CallDispatcherWithSelector
CallDispatcherWithSelector:
        movl    %ecx, %eax
        jmp     *%rdx
)");
#endif

namespace {

HMODULE g_library;
long g_expectedVersion;

std::vector<std::string> ExportedNames(HMODULE module)
{
    const auto *base = reinterpret_cast<const BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (entry.VirtualAddress == 0)
        return names;
    const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + entry.VirtualAddress);
    const auto *nameRvas = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.push_back(reinterpret_cast<const char *>(base + nameRvas[i]));
    std::sort(names.begin(), names.end());
    return names;
}

// QuickTime's three entries, the mark that tells the loader this runtime is the project's, and
// the stand-in's own answer to why a movie was refused.
TEST(Standin, ExportsTheThreeEntriesTheRuntimeMarkAndTheOpenReason)
{
    const std::vector<std::string> expected = {"QtsGetMovieOpenReason", "QuorvexRuntimeMark",
                                               "_CallComponent",
                                               "_CallComponentFunctionWithStorage",
                                               "theQuickTimeDispatcher"};
    EXPECT_EQ(ExportedNames(g_library), expected);
    EXPECT_TRUE(IsProjectQuickTimeRuntime(g_library));
    EXPECT_EQ(QuickTimeBinding.libraryModule, g_library);
    EXPECT_EQ(QuickTimeBinding.preCallHook, nullptr);
}

TEST(Standin, UnknownSelectorsAnswerAsUnbound)
{
    void *dispatcher = reinterpret_cast<void *>(GetProcAddress(g_library, "theQuickTimeDispatcher"));
    ASSERT_NE(dispatcher, nullptr);
    EXPECT_EQ(CallDispatcherWithSelector(0x00FE0001, dispatcher), 0x00FEF7D1u);
    EXPECT_EQ(CallDispatcherWithSelector(0x0015FFFF, dispatcher), 0x0015F7D1u);
    EXPECT_EQ(CallDispatcherWithSelector(0, dispatcher), 0x0000F7D1u);
}

#if defined(__i386__)
TEST(Standin, ThirtyTwoBitDispatcherKeepsItsInstructions)
{
    // Push the selector, look the routine up, jump to it; unknown: the unbound answer.
    const auto *code = reinterpret_cast<const uint8_t *>(GetProcAddress(g_library, "theQuickTimeDispatcher"));
    ASSERT_NE(code, nullptr);
    const uint8_t expected[] = {0x50, 0xE8, 0, 0, 0, 0, 0x59, 0x85, 0xC0, 0x74, 0x02, 0xFF, 0xE0, 0x89,
                                0xC8, 0x25, 0x00, 0x00, 0xFF, 0xFF, 0x0D, 0xD1, 0xF7, 0x00, 0x00, 0xC3};
    for (size_t i = 0; i < sizeof expected; ++i) {
        if (i >= 2 && i <= 5)
            continue;  // the call's displacement
        EXPECT_EQ(code[i], expected[i]) << "byte " << i;
    }
}
#endif

TEST(Standin, GestaltAnswersTheFlavoursVersion)
{
    long response = 0x7EADBEEF;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), noErr);
    EXPECT_EQ(response, g_expectedVersion);

    response = 0x7EADBEEF;
    EXPECT_EQ(Gestalt(QTFourCC("sysv"), &response), gestaltUndefSelectorErr);
    EXPECT_EQ(response, 0x7EADBEEF);
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), nullptr), paramErr);
}

TEST(Standin, StartUpCountsAndTheQuery)
{
    // main's InitializeQTML started the library once.
    EXPECT_EQ(QTDispatch_IsQTMLInitialized(), 1);
    EXPECT_EQ(QTDispatch_InitializeQTML(0), noErr);
    QTDispatch_TerminateQTML();
    EXPECT_EQ(QTDispatch_IsQTMLInitialized(), 1);
    QTDispatch_TerminateQTML();
    EXPECT_EQ(QTDispatch_IsQTMLInitialized(), 0);
    QTDispatch_TerminateQTML();
    EXPECT_EQ(QTDispatch_IsQTMLInitialized(), 0) << "the count went below zero";
    EXPECT_EQ(QTDispatch_InitializeQTML(0), noErr);
    EXPECT_EQ(QTDispatch_IsQTMLInitialized(), 1);

    EXPECT_EQ(EnterMovies(), noErr);
    ExitMovies();
}

TEST(StandinMemory, HandlesGrowUnlessLocked)
{
    Handle h = NewHandle(16);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(MemError(), noErr);
    ASSERT_NE(*h, nullptr);
    EXPECT_EQ(GetHandleSize(h), 16);
    std::memcpy(*h, "0123456789abcdef", 16);

    SetHandleSize(h, 1 << 20);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 1 << 20);
    EXPECT_EQ(std::memcmp(*h, "0123456789abcdef", 16), 0);

    HLock(h);
    EXPECT_EQ(MemError(), noErr);
    const Ptr locked = *h;
    SetHandleSize(h, 100);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*h, locked);
    SetHandleSize(h, 1 << 20);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*h, locked);
    SetHandleSize(h, (1 << 20) + 1);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(GetHandleSize(h), 1 << 20);
    EXPECT_EQ(*h, locked);
    MoveHHi(h);
    EXPECT_EQ(MemError(), memLockedErr);

    HUnlock(h);
    MoveHHi(h);
    EXPECT_EQ(MemError(), noErr);
    SetHandleSize(h, (1 << 20) + 1);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(std::memcmp(*h, "0123456789abcdef", 16), 0);

    DisposeHandle(h);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 0);
    EXPECT_EQ(MemError(), nilHandleErr);
    DisposeHandle(h);
    EXPECT_EQ(MemError(), nilHandleErr);
    HLock(reinterpret_cast<Handle>(&h));
    EXPECT_EQ(MemError(), nilHandleErr);
}

TEST(StandinMemory, EmptyClearedAndRefusedAllocations)
{
    Handle empty = NewHandle(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(*empty, nullptr);
    EXPECT_EQ(GetHandleSize(empty), 0);
    DisposeHandle(empty);

    Handle cleared = NewHandleClear(8);
    ASSERT_NE(cleared, nullptr);
    EXPECT_EQ(std::memcmp(*cleared, "\0\0\0\0\0\0\0\0", 8), 0);
    DisposeHandle(cleared);

    EXPECT_EQ(NewHandle(-1), nullptr);
    EXPECT_EQ(MemError(), memFullErr);

    Ptr p = NewPtrClear(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetPtrSize(p), 10);
    std::memcpy(p, "abcdefghij", 10);
    BlockMove(p, p + 2, 6);
    EXPECT_EQ(std::memcmp(p, "ababcdefij", 10), 0);
    DisposePtr(p);
    EXPECT_EQ(MemError(), noErr);
}

DWORD WINAPI MemErrorOnThread(void *result)
{
    const OSErr before = MemError();
    Handle h = NewHandle(4);
    DisposeHandle(h);
    *static_cast<OSErr *>(result) = OSErr(before == noErr && MemError() == noErr ? 1 : 0);
    return 0;
}

TEST(StandinMemory, MemErrorIsPerThread)
{
    GetHandleSize(nullptr);
    ASSERT_EQ(MemError(), nilHandleErr);
    OSErr result = -1;
    const HANDLE thread = CreateThread(nullptr, 0, MemErrorOnThread, &result, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), DWORD(WAIT_OBJECT_0));
    CloseHandle(thread);
    EXPECT_EQ(result, 1) << "the other thread saw this thread's error";
    EXPECT_EQ(MemError(), nilHandleErr);
}

TEST(StandinFixedPoint, X2FixRoundsToNearestAndSaturates)
{
    EXPECT_EQ(X2Fix(1.5), 0x00018000);
    EXPECT_EQ(X2Fix(-1.5), -0x00018000);
    EXPECT_EQ(X2Fix(29.97), 1964114);  // 29.97 * 65536 = 1964113.92
    EXPECT_EQ(X2Fix(-29.97), -1964114);
    EXPECT_EQ(X2Fix(0.5 / 65536), 1);
    EXPECT_EQ(X2Fix(-0.5 / 65536), -1);
    EXPECT_EQ(X2Fix(0.49 / 65536), 0);
    EXPECT_EQ(X2Fix(32767.99999), 0x7FFFFFFF);
    EXPECT_EQ(X2Fix(40000.0), 0x7FFFFFFF);
    EXPECT_EQ(X2Fix(-32768.0), Fixed(0x80000000u));
    EXPECT_EQ(X2Fix(-40000.0), Fixed(0x80000000u));
    EXPECT_EQ(X2Fix(std::numeric_limits<double>::infinity()), 0x7FFFFFFF);
    EXPECT_EQ(X2Fix(std::nan("")), 0);
    EXPECT_EQ(Fix2X(-0x14000), -1.25);
}

TEST(StandinFixedPoint, FixRound)
{
    EXPECT_EQ(FixRound(0x00018000), 2);
    EXPECT_EQ(FixRound(0x00017FFF), 1);
    EXPECT_EQ(FixRound(-0x00018000), -2);
    EXPECT_EQ(FixRound(-0x00017FFF), -1);
    EXPECT_EQ(FixRound(0), 0);
    EXPECT_EQ(FixRound(0x7FFFFFFF), 32767);
    EXPECT_EQ(FixRound(Fixed(0x80000000u)), -32768);
    EXPECT_EQ(FixRound(X2Fix(29.97)), 30);
}

TEST(Standin, OffsetRect)
{
    Rect box = {10, 20, 110, 220};
    MacOffsetRect(&box, -20, -10);
    EXPECT_EQ(box.top, 0);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.bottom, 100);
    EXPECT_EQ(box.right, 200);
    MacOffsetRect(nullptr, 1, 1);
}

TEST(Standin, ComponentsThatDoNotExist)
{
    ComponentInstance ci = reinterpret_cast<ComponentInstance>(0x7EADBEEF);
    EXPECT_EQ(OpenADefaultComponent(QTFourCC("zzzz"), QTFourCC("zzzz"), &ci),
              couldntGetRequiredComponent);
    EXPECT_EQ(ci, nullptr);
    const ComponentInstance bogus = reinterpret_cast<ComponentInstance>(0x1234);
    EXPECT_EQ(CloseComponent(bogus), invalidComponentID);
    EXPECT_EQ(QTSetComponentProperty(bogus, 0, 0, 0, nullptr), badComponentInstance);
    EXPECT_EQ(GetComponentVersion(bogus), badComponentInstance);
}

std::string WindowsPath(const char *path)
{
    std::string result = path[0] == '/' ? std::string("Z:") + path : std::string(path);
    std::replace(result.begin(), result.end(), '/', '\\');
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s QuickTime.qts expected-qtim-version\n", argv[0]);
        return 2;
    }
    const std::string path = WindowsPath(argv[1]);
    g_expectedVersion = long(std::strtoul(argv[2], nullptr, 0));
    g_library = LoadLibraryA(path.c_str());
    if (!g_library) {
        std::fprintf(stderr, "cannot load %s (%lu)\n", path.c_str(), GetLastError());
        return 2;
    }
    const OSErr err = InitializeQTML(0);
    if (err != noErr) {
        std::fprintf(stderr, "InitializeQTML: %d\n", err);
        return 2;
    }
    const int result = RUN_ALL_TESTS();
    TerminateQTML();
    FreeLibrary(g_library);
    return result;
}
