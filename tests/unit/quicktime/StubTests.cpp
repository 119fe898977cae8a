// The stubs and wrappers against a dispatcher of the test's own: what the routine behind
// the dispatcher receives, and what the caller gets back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeSelectors.h"

extern "C" {
uint32_t g_stubSelector;
void *g_stubRoutine;
uint32_t g_componentEntryCalls;
void StubTestDispatcher(void);
void StubTestComponentEntry(void);
}

// Records the selector, then enters the routine exactly as the runtime's dispatcher would.
// The component entry answers its first argument.
#if defined(__i386__)
asm(R"(
        .text
        .globl  _StubTestDispatcher
_StubTestDispatcher:
        movl    %eax, _g_stubSelector
        jmp     *_g_stubRoutine
        .globl  _StubTestComponentEntry
_StubTestComponentEntry:
        incl    _g_componentEntryCalls
        movl    4(%esp), %eax
        ret
)");
#else
asm(R"(
        .text
        .globl  StubTestDispatcher
StubTestDispatcher:
        movl    %eax, g_stubSelector(%rip)
        jmp     *g_stubRoutine(%rip)
        .globl  StubTestComponentEntry
StubTestComponentEntry:
        incl    g_componentEntryCalls(%rip)
        movl    %ecx, %eax
        ret
)");
#endif


#if defined(__x86_64__)
// The x86-64 contract. The hook below and the dispatcher's routine lookup (QtsFindRoutine,
// which the runtime's dispatcher entry calls; this test defines its own) clobber every
// volatile register and their own shadow space, so a missing save or restore in the stub's
// hook runner or in the dispatcher shows up as a wrong argument. Each records its entry stack
// pointer for the alignment check.
extern "C" {
uintptr_t g_hookEntryStack;
uintptr_t g_findEntryStack;
void ClobberingHook(void);
void ThrowingHook(void);
void ThrowHookError(void);
void WalkingHook(void);
void WalkFromHook(void);
void *LookUpRoutine(void);
void *g_expectedReturn;
void CallRecordingReturn(void (*function)(void));
void QtsDispatcher(void);  // standin/quicktime/DispatcherEntry.S
void CallWithMisalignedStack(void (*function)(void));
}

asm(R"(
        .text
        .macro  CLOBBER_VOLATILES
        movq    $0x5A5A5A5A5A5A5A5A, %rcx
        movq    %rcx, %rdx
        movq    %rcx, %r8
        movq    %rcx, %r9
        movq    %rcx, %r10
        movq    %rcx, %r11
        movq    %rcx, 8(%rsp)
        movq    %rcx, 16(%rsp)
        movq    %rcx, 24(%rsp)
        movq    %rcx, 32(%rsp)
        movq    %rcx, %xmm0
        movq    %rcx, %xmm1
        movq    %rcx, %xmm2
        movq    %rcx, %xmm3
        movq    %rcx, %xmm4
        movq    %rcx, %xmm5
        .endm

        .globl  ClobberingHook
ClobberingHook:
        movq    %rsp, g_hookEntryStack(%rip)
        CLOBBER_VOLATILES
        movq    %rcx, %rax
        ret

/* Poisons its shadow space, where a walk that took the hook runner for a leaf would look for a
 * return address, then throws from compiled C++. */
        .globl  ThrowingHook
ThrowingHook:
        CLOBBER_VOLATILES
        jmp     ThrowHookError

        .globl  WalkingHook
WalkingHook:
        CLOBBER_VOLATILES
        jmp     WalkFromHook

/* Calls the function and records where it returns to. */
        .globl  CallRecordingReturn
CallRecordingReturn:
        subq    $40, %rsp
        leaq    1f(%rip), %rax
        movq    %rax, g_expectedReturn(%rip)
        call    *%rcx
1:
        addq    $40, %rsp
        ret

/* The selector arrives in ECX; the routine is the one the test routed (none: unknown). */
        .globl  QtsFindRoutine
QtsFindRoutine:
        movq    %rsp, g_findEntryStack(%rip)
        movl    %ecx, g_stubSelector(%rip)
        CLOBBER_VOLATILES
        jmp     LookUpRoutine

/* Calls the function with a stack 8 bytes off the alignment the ABI promises a callee. */
        .globl  CallWithMisalignedStack
CallWithMisalignedStack:
        pushq   %rbx
        subq    $40, %rsp
        call    *%rcx
        addq    $40, %rsp
        popq    %rbx
        ret
)");
#endif

namespace {

struct Recorded {
    int calls = 0;
    uintptr_t args[12] = {};
    double value = 0.0;
    unsigned char record[4 + 15 * sizeof(ComponentParamSlot)] = {};
};
Recorded g_recorded;

int g_hookCalls;
int g_callsSeenByHook;

template <typename Routine>
void Route(Routine routine)
{
    g_stubRoutine = reinterpret_cast<void *>(routine);
}

class StubTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_saved = QuickTimeBinding;
        QuickTimeBinding.preCallHook = nullptr;
        QuickTimeBinding.dispatcher = &StubTestDispatcher;
        QuickTimeBinding.callComponent = &StubTestComponentEntry;
        QuickTimeBinding.callComponentWithStorage = &StubTestComponentEntry;
        g_recorded = Recorded();
        g_stubSelector = 0;
        g_stubRoutine = nullptr;
        g_hookCalls = 0;
        g_callsSeenByHook = -1;
        g_componentEntryCalls = 0;
    }
    void TearDown() override { QuickTimeBinding = m_saved; }

private:
    QuickTimeBindingRecord m_saved;
};

OSErr NoArguments()
{
    ++g_recorded.calls;
    return -2;
}

TEST_F(StubTest, RoutineWithoutArguments)
{
    Route(&NoArguments);
    EXPECT_EQ(EnterMovies(), -2);
    EXPECT_EQ(g_stubSelector, 0x00020001u);
    EXPECT_EQ(g_recorded.calls, 1);
}

OSErr GestaltRoutine(OSType selector, long *response)
{
    ++g_recorded.calls;
    g_recorded.args[0] = selector;
    g_recorded.args[1] = reinterpret_cast<uintptr_t>(response);
    *response = 0x07798000;
    return noErr;
}

TEST_F(StubTest, PointerArgumentsReachTheRoutine)
{
    Route(&GestaltRoutine);
    long response = 0x7EADBEEF;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), noErr);
    EXPECT_EQ(g_stubSelector, 0x00110001u);
    EXPECT_EQ(g_recorded.args[0], 0x7174696Du);
    EXPECT_EQ(g_recorded.args[1], reinterpret_cast<uintptr_t>(&response));
    EXPECT_EQ(response, 0x07798000);
}

OSErr GetMediaSampleRoutine(Media media, Handle data, long maxSize, long *size, TimeValue time,
                            TimeValue *sampleTime, TimeValue *duration,
                            SampleDescriptionHandle desc, long *descIndex, long maxSamples,
                            long *samples, SInt16 *flags)
{
    const uintptr_t values[12] = {
        reinterpret_cast<uintptr_t>(media), reinterpret_cast<uintptr_t>(data),
        uintptr_t(maxSize), reinterpret_cast<uintptr_t>(size), uintptr_t(time),
        reinterpret_cast<uintptr_t>(sampleTime), reinterpret_cast<uintptr_t>(duration),
        reinterpret_cast<uintptr_t>(desc), reinterpret_cast<uintptr_t>(descIndex),
        uintptr_t(maxSamples), reinterpret_cast<uintptr_t>(samples),
        reinterpret_cast<uintptr_t>(flags)};
    std::memcpy(g_recorded.args, values, sizeof values);
    *size = 176400;
    return maxSizeToGrowTooSmall;
}

// A call with twelve arguments (eight beyond the registers on x86-64) reaches the routine
// intact, and its 16-bit result and out-values come back.
void ExpectTwelveArgumentsArrive()
{
    Route(&GetMediaSampleRoutine);
    long size = -1;
    TimeValue sampleTime = 0, duration = 0;
    long samples = 0;
    const OSErr err = GetMediaSample(reinterpret_cast<Media>(0x1111), reinterpret_cast<Handle>(0x2222),
                                     176400, &size, -5, &sampleTime, &duration, nullptr, nullptr,
                                     0, &samples, nullptr);
    EXPECT_EQ(err, maxSizeToGrowTooSmall);
    EXPECT_EQ(g_stubSelector, 0x00020110u);
    EXPECT_EQ(g_recorded.args[0], 0x1111u);
    EXPECT_EQ(g_recorded.args[1], 0x2222u);
    EXPECT_EQ(g_recorded.args[2], 176400u);
    EXPECT_EQ(g_recorded.args[3], reinterpret_cast<uintptr_t>(&size));
    EXPECT_EQ(g_recorded.args[4], uintptr_t(-5));
    EXPECT_EQ(g_recorded.args[5], reinterpret_cast<uintptr_t>(&sampleTime));
    EXPECT_EQ(g_recorded.args[6], reinterpret_cast<uintptr_t>(&duration));
    EXPECT_EQ(g_recorded.args[7], 0u);
    EXPECT_EQ(g_recorded.args[8], 0u);
    EXPECT_EQ(g_recorded.args[9], 0u);
    EXPECT_EQ(g_recorded.args[10], reinterpret_cast<uintptr_t>(&samples));
    EXPECT_EQ(g_recorded.args[11], 0u);
    EXPECT_EQ(size, 176400);
}

TEST_F(StubTest, TwelveArgumentsAndAShortResult)
{
    ExpectTwelveArgumentsArrive();
}

Handle NewHandleRoutine(Size size)
{
    g_recorded.args[0] = uintptr_t(size);
    return reinterpret_cast<Handle>(0x00ABCDE0);
}

SInt16 FixRoundRoutine(Fixed x)
{
    g_recorded.args[0] = uintptr_t(x);
    return -3;
}

TEST_F(StubTest, PointerAndShortResults)
{
    Route(&NewHandleRoutine);
    EXPECT_EQ(NewHandle(77), reinterpret_cast<Handle>(0x00ABCDE0));
    EXPECT_EQ(g_stubSelector, 0x00150008u);
    EXPECT_EQ(g_recorded.args[0], 77u);

    Route(&FixRoundRoutine);
    EXPECT_EQ(FixRound(-0x30000), -3);
    EXPECT_EQ(g_stubSelector, 0x00100003u);
    EXPECT_EQ(g_recorded.args[0], uintptr_t(-0x30000));
}

void X2FixRoutine(Fixed *result, const double *x)
{
    ++g_recorded.calls;
    g_recorded.value = *x;
    *result = 0x00028000;
}

void Fix2XRoutine(double *result, const Fixed *x)
{
    g_recorded.args[0] = uintptr_t(*x);
    *result = -1.25;
}

TEST_F(StubTest, DoublesTravelByAddress)
{
    Route(&X2FixRoutine);
    EXPECT_EQ(X2Fix(2.5), 0x00028000);
    EXPECT_EQ(g_stubSelector, 0x00100011u);
    EXPECT_EQ(g_recorded.value, 2.5);
    EXPECT_EQ(g_recorded.calls, 1);

    Route(&Fix2XRoutine);
    EXPECT_EQ(Fix2X(-0x14000), -1.25);
    EXPECT_EQ(g_stubSelector, 0x00100012u);
    EXPECT_EQ(g_recorded.args[0], uintptr_t(-0x14000));
}

void CountingHook()
{
    ++g_hookCalls;
    g_callsSeenByHook = g_recorded.calls;
}

TEST_F(StubTest, HookRunsOnceBeforeTheDispatch)
{
    Route(&NoArguments);
    QuickTimeBinding.preCallHook = &CountingHook;
    EXPECT_EQ(EnterMovies(), -2);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(g_callsSeenByHook, 0);
    EXPECT_EQ(g_recorded.calls, 1);

    // A hook that stays set runs on every call; a cleared one on none.
    EXPECT_EQ(EnterMovies(), -2);
    EXPECT_EQ(g_hookCalls, 2);
    QuickTimeBinding.preCallHook = nullptr;
    EXPECT_EQ(EnterMovies(), -2);
    EXPECT_EQ(g_hookCalls, 2);
}

void UnhookingHook()
{
    ++g_hookCalls;
    QuickTimeBinding.preCallHook = nullptr;
    Route(&GestaltRoutine);
}

TEST_F(StubTest, HookMayBindTheCallItServes)
{
    Route(&NoArguments);
    QuickTimeBinding.preCallHook = &UnhookingHook;
    long response = 0;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), noErr);
    EXPECT_EQ(response, 0x07798000);
    EXPECT_EQ(g_recorded.args[1], reinterpret_cast<uintptr_t>(&response));
    EXPECT_EQ(g_hookCalls, 1);
}

ComponentResult ComponentDispatchRoutine(ComponentInstance ci, ComponentParameters *params)
{
    ++g_recorded.calls;
    g_recorded.args[0] = reinterpret_cast<uintptr_t>(ci);
    std::memcpy(g_recorded.record, params, 4 + params->paramSize);
    return 0x12345678;
}

#pragma pack(push, 2)
struct RecordView {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
    uintptr_t slot[15];
};
#pragma pack(pop)
constexpr UInt8 kSlot = sizeof(ComponentParamSlot);

RecordView RecordedComponentCall()
{
    RecordView view;
    std::memcpy(&view, g_recorded.record, sizeof view);
    return view;
}

TEST_F(StubTest, ComponentCallsBuildTheirRecord)
{
    Route(&ComponentDispatchRoutine);
    const ComponentInstance ci = reinterpret_cast<ComponentInstance>(0x4242);
    const AudioStreamBasicDescription format = {};

    EXPECT_EQ(QTSetComponentProperty(ci, QTFourCC("scda"), QTFourCC("isbd"), 40, &format),
              0x12345678);
    EXPECT_EQ(g_stubSelector, 0x00010000u);
    EXPECT_EQ(g_recorded.args[0], 0x4242u);
    RecordView view = RecordedComponentCall();
    EXPECT_EQ(view.flags, 0);
    EXPECT_EQ(view.paramSize, 4 * kSlot);
    EXPECT_EQ(view.what, -13);
    EXPECT_EQ(view.slot[0], QTFourCC("scda"));
    EXPECT_EQ(view.slot[1], QTFourCC("isbd"));
    EXPECT_EQ(view.slot[2], 40u);
    EXPECT_EQ(view.slot[3], reinterpret_cast<uintptr_t>(&format));

    UInt32 packets = 44100;
    AudioBufferList buffers = {};
    SCAudioFillBuffer(ci, nullptr, reinterpret_cast<void *>(0x5151), &packets, &buffers, nullptr);
    view = RecordedComponentCall();
    EXPECT_EQ(view.paramSize, 5 * kSlot);
    EXPECT_EQ(view.what, 130);
    EXPECT_EQ(view.slot[0], 0u);
    EXPECT_EQ(view.slot[1], 0x5151u);
    EXPECT_EQ(view.slot[2], reinterpret_cast<uintptr_t>(&packets));
    EXPECT_EQ(view.slot[3], reinterpret_cast<uintptr_t>(&buffers));
    EXPECT_EQ(view.slot[4], 0u);

    ByteCount used = 0;
    char value[8];
    QTGetComponentProperty(ci, QTFourCC("scda"), QTFourCC("osbd"), sizeof value, value, &used);
    view = RecordedComponentCall();
    EXPECT_EQ(view.paramSize, 5 * kSlot);
    EXPECT_EQ(view.what, -12);
    EXPECT_EQ(view.slot[3], reinterpret_cast<uintptr_t>(value));
    EXPECT_EQ(view.slot[4], reinterpret_cast<uintptr_t>(&used));

    // A 16-bit argument fills the low half of a zeroed slot.
    ComponentFunctionImplemented(ci, -1);
    view = RecordedComponentCall();
    EXPECT_EQ(view.paramSize, kSlot);
    EXPECT_EQ(view.what, -3);
    EXPECT_EQ(view.slot[0], 0x0000FFFFu);

    GetComponentVersion(ci);
    view = RecordedComponentCall();
    EXPECT_EQ(view.paramSize, 0);
    EXPECT_EQ(view.what, -4);
    EXPECT_EQ(g_recorded.calls, 5);
}

TEST_F(StubTest, ComponentEntriesJumpThroughTheirOwnFields)
{
    typedef ComponentResult (*EntryWithArgument)(long);
    const auto callComponent = reinterpret_cast<EntryWithArgument>(
        reinterpret_cast<void (*)()>(&CallComponent));
    const auto withStorage = reinterpret_cast<EntryWithArgument>(
        reinterpret_cast<void (*)()>(&CallComponentFunctionWithStorage));
    EXPECT_EQ(callComponent(0x77), 0x77);
    EXPECT_EQ(withStorage(0x78), 0x78);
    EXPECT_EQ(g_componentEntryCalls, 2u);
    EXPECT_EQ(g_stubSelector, 0u) << "a component entry went through the dispatcher";
}

TEST_F(StubTest, UnboundCallsAnswerWithTheirGroup)
{
    QuickTimeBinding.dispatcher = &QuickTimeNotBound;
    long response = 0x7EADBEEF;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &response), qtmlUninitialized);
    EXPECT_EQ(response, 0x7EADBEEF);
    EXPECT_EQ(MemError(), qtmlUninitialized);
    EXPECT_EQ(GetMovieTrackCount(nullptr), long(0x0002F7D1));
    EXPECT_EQ(NewHandle(16), reinterpret_cast<Handle>(0x0015F7D1));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(GetGWorldDevice(nullptr)), 0x001CF7D1u);
    EXPECT_EQ(MovieAudioExtractionEnd(nullptr), OSStatus(0x0002F7D1));
    EXPECT_EQ(QTSetComponentProperty(nullptr, 0, 0, 0, nullptr), ComponentResult(0x0001F7D1));
    // The result slot of a marshalled routine stays as the wrapper set it.
    EXPECT_EQ(X2Fix(1.0), 0);
    EXPECT_EQ(QuickTimeNotBoundResult(0x00250027), 0x0025F7D1u);
}

#if defined(__x86_64__)
double g_floats[5];
int g_lastInteger;

// Four floating-point arguments in XMM0-XMM3, the fifth and an integer on the stack.
double FloatingPointRoutine(double a, float b, double c, double d, double e, int f)
{
    g_floats[0] = a, g_floats[1] = b, g_floats[2] = c, g_floats[3] = d, g_floats[4] = e;
    g_lastInteger = f;
    return a + e;
}

void ExpectFloatingPointArgumentsArrive()
{
    Route(&FloatingPointRoutine);
    // The stub forwards whatever its caller passed: any prototype goes through any stub.
    const auto call = reinterpret_cast<double (*)(double, float, double, double, double, int)>(
        reinterpret_cast<void (*)()>(&EnterMovies));
    EXPECT_EQ(call(1.5, 2.25f, -3.0, 4.125, 1e300, -7), 1.5 + 1e300);
    EXPECT_EQ(g_floats[0], 1.5);
    EXPECT_EQ(g_floats[1], 2.25);
    EXPECT_EQ(g_floats[2], -3.0);
    EXPECT_EQ(g_floats[3], 4.125);
    EXPECT_EQ(g_floats[4], 1e300);
    EXPECT_EQ(g_lastInteger, -7);
}

TEST_F(StubTest, HookThatClobbersEveryVolatileRegisterChangesNoArgument)
{
    QuickTimeBinding.preCallHook = &ClobberingHook;
    ExpectTwelveArgumentsArrive();
    g_hookEntryStack = 0;
    ExpectFloatingPointArgumentsArrive();
    EXPECT_NE(g_hookEntryStack, 0u) << "the hook did not run";
}

void HookedEnterMovies()
{
    EnterMovies();
}

TEST_F(StubTest, HookIsCalledOnAnAlignedStack)
{
    Route(&NoArguments);
    QuickTimeBinding.preCallHook = &ClobberingHook;
    // A callee's entry stack sits 8 bytes below a 16-byte boundary (its return address).
    g_hookEntryStack = 0;
    EnterMovies();
    EXPECT_EQ(g_hookEntryStack % 16, 8u);
    g_hookEntryStack = 0;
    CallWithMisalignedStack(&HookedEnterMovies);
    EXPECT_EQ(g_hookEntryStack % 16, 8u) << "from a caller that broke the alignment";
    EXPECT_EQ(g_recorded.calls, 2);
}

struct HookError {
    int code;
};

}  // namespace

extern "C" void ThrowHookError()
{
    ++g_hookCalls;
    throw HookError{42};
}

namespace {

TEST_F(StubTest, ExceptionFromTheHookReachesTheCaller)
{
    Route(&NoArguments);
    QuickTimeBinding.preCallHook = &ThrowingHook;
    int caught = 0;
    try {
        EnterMovies();
    } catch (const HookError &error) {
        caught = error.code;
    }
    EXPECT_EQ(caught, 42);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(g_recorded.calls, 0) << "the routine ran after its hook threw";
    // The stubs go on working.
    QuickTimeBinding.preCallHook = nullptr;
    EXPECT_EQ(EnterMovies(), -2);
}

void *g_walk[8];
USHORT g_walked;
bool g_walkInLookup;

}  // namespace

extern "C" __attribute__((noinline)) void WalkFromHook()
{
    g_walked = RtlCaptureStackBackTrace(0, 8, g_walk, nullptr);
}

extern "C" void *LookUpRoutine()
{
    if (g_walkInLookup)
        WalkFromHook();
    return g_stubRoutine;
}

namespace {

TEST_F(StubTest, StackWalkFromTheHookPassesThroughTheStub)
{
    Route(&NoArguments);
    QuickTimeBinding.preCallHook = &WalkingHook;
    CallRecordingReturn(reinterpret_cast<void (*)(void)>(&EnterMovies));
    // From the hook's own frame: the hook runner, the stub, then the stub's caller.
    ASSERT_GE(g_walked, 4);
    const auto stub = reinterpret_cast<uintptr_t>(&EnterMovies);
    const auto inStub = reinterpret_cast<uintptr_t>(g_walk[2]);
    EXPECT_TRUE(inStub > stub && inStub < stub + 32) << g_walk[2] << " is not in the stub";
    EXPECT_EQ(g_walk[3], g_expectedReturn) << "the walk lost the stub's caller";
    EXPECT_EQ(g_recorded.calls, 1);
}

TEST_F(StubTest, StackWalkFromTheLookupPassesThroughTheDispatcher)
{
    Route(&NoArguments);
    QuickTimeBinding.dispatcher = &QtsDispatcher;
    g_walkInLookup = true;
    CallRecordingReturn(reinterpret_cast<void (*)(void)>(&EnterMovies));
    g_walkInLookup = false;
    // The walker, the lookup, the dispatcher, then the stub's caller (the stub jumped).
    ASSERT_GE(g_walked, 4);
    EXPECT_EQ(g_walk[3], g_expectedReturn) << "the walk lost the stub's caller";
    EXPECT_EQ(g_recorded.calls, 1);
}

TEST_F(StubTest, DispatcherKeepsEveryArgumentAroundItsLookup)
{
    QuickTimeBinding.dispatcher = &QtsDispatcher;
    g_findEntryStack = 0;
    ExpectTwelveArgumentsArrive();
    EXPECT_EQ(g_findEntryStack % 16, 8u) << "the lookup's stack is not aligned";
    ExpectFloatingPointArgumentsArrive();
    EXPECT_EQ(g_stubSelector, 0x00020001u);
    Route(&NoArguments);
    g_findEntryStack = 0;
    CallWithMisalignedStack(&HookedEnterMovies);
    EXPECT_EQ(g_findEntryStack % 16, 8u) << "from a caller that broke the alignment";
}

TEST_F(StubTest, DispatcherAnswersAnUnknownSelectorAsUnbound)
{
    QuickTimeBinding.dispatcher = &QtsDispatcher;
    g_stubRoutine = nullptr;
    EXPECT_EQ(GetMovieTrackCount(nullptr), long(0x0002F7D1));
    EXPECT_EQ(NewHandle(16), reinterpret_cast<Handle>(0x0015F7D1));
    EXPECT_EQ(g_stubSelector, 0x00150008u);
}
#endif

#if defined(__i386__)
// The 32-bit stubs stay the few instructions they have always been: load the hook, call the
// runner when one is set, load the selector, jump through the dispatcher field.
std::vector<int> StubCode(const void *binding, uint32_t selector, int jumpField)
{
    std::vector<int> code = {0xA1};
    auto address = [&](uintptr_t value) {
        for (int i = 0; i < 4; ++i)
            code.push_back(int((value >> (8 * i)) & 0xFF));
    };
    address(reinterpret_cast<uintptr_t>(binding));
    code.insert(code.end(), {0x85, 0xC0, 0x74, 0x05, 0xE8, -1, -1, -1, -1});
    if (jumpField == QT_BINDING_DISPATCHER) {
        code.push_back(0xB8);
        address(selector);
    }
    code.insert(code.end(), {0xFF, 0x25});
    address(reinterpret_cast<uintptr_t>(binding) + jumpField);
    return code;
}

// Compares code against a pattern (-1: any byte).
::testing::AssertionResult CodeIs(const void *function, const std::vector<int> &pattern)
{
    const auto *code = static_cast<const uint8_t *>(function);
    for (size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] >= 0 && code[i] != pattern[i])
            return ::testing::AssertionFailure() << "byte " << i << " is 0x" << std::hex
                                                 << int(code[i]) << ", not 0x" << pattern[i];
    return ::testing::AssertionSuccess();
}

const void *Code(void (*function)(void))
{
    return reinterpret_cast<const void *>(function);
}

TEST(StubCode, ThirtyTwoBitStubsKeepTheirInstructions)
{
    const void *binding = &QuickTimeBinding;
    EXPECT_TRUE(CodeIs(Code(reinterpret_cast<void (*)(void)>(&EnterMovies)),
                       StubCode(binding, 0x00020001, QT_BINDING_DISPATCHER)));
    EXPECT_TRUE(CodeIs(Code(reinterpret_cast<void (*)(void)>(&GetMediaSample)),
                       StubCode(binding, 0x00020110, QT_BINDING_DISPATCHER)));
    EXPECT_TRUE(CodeIs(Code(reinterpret_cast<void (*)(void)>(&CallComponent)),
                       StubCode(binding, 0, QT_BINDING_CALL_COMPONENT)));
    EXPECT_TRUE(CodeIs(Code(reinterpret_cast<void (*)(void)>(&CallComponentFunctionWithStorage)),
                       StubCode(binding, 0, QT_BINDING_CALL_COMPONENT_WITH_STORAGE)));

    // The hook runner the stubs call: align, call, restore.
    const auto *call = static_cast<const uint8_t *>(Code(reinterpret_cast<void (*)(void)>(&EnterMovies))) + 9;
    int32_t relative = 0;
    std::memcpy(&relative, call + 1, 4);
    EXPECT_TRUE(CodeIs(call + 5 + relative,
                       {0x55, 0x89, 0xE5, 0x83, 0xE4, 0xF0, 0xFF, 0xD0, 0x89, 0xEC, 0x5D, 0xC3}));
    EXPECT_TRUE(CodeIs(Code(&QuickTimeNotBound),
                       {0x25, 0x00, 0x00, 0xFF, 0xFF, 0x0D, 0xD1, 0xF7, 0x00, 0x00, 0xC3}));
}
#endif

}  // namespace
