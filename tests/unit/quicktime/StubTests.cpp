// The stubs and wrappers against a dispatcher of the test's own: what the routine behind
// the dispatcher receives, and what the caller gets back.
#include <gtest/gtest.h>

#include <cstring>

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

namespace {

struct Recorded {
    int calls = 0;
    uintptr_t args[12] = {};
    double value = 0.0;
    unsigned char record[64] = {};
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

TEST_F(StubTest, TwelveArgumentsAndAShortResult)
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

struct RecordView {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
    uint32_t slot[15];
};

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
    EXPECT_EQ(view.paramSize, 16);
    EXPECT_EQ(view.what, -13);
    EXPECT_EQ(view.slot[0], QTFourCC("scda"));
    EXPECT_EQ(view.slot[1], QTFourCC("isbd"));
    EXPECT_EQ(view.slot[2], 40u);
    EXPECT_EQ(view.slot[3], reinterpret_cast<uintptr_t>(&format));

    UInt32 packets = 44100;
    AudioBufferList buffers = {};
    SCAudioFillBuffer(ci, nullptr, reinterpret_cast<void *>(0x5151), &packets, &buffers, nullptr);
    view = RecordedComponentCall();
    EXPECT_EQ(view.paramSize, 20);
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
    EXPECT_EQ(view.paramSize, 20);
    EXPECT_EQ(view.what, -12);
    EXPECT_EQ(view.slot[3], reinterpret_cast<uintptr_t>(value));
    EXPECT_EQ(view.slot[4], reinterpret_cast<uintptr_t>(&used));

    // A 16-bit argument fills the low half of a zeroed slot.
    ComponentFunctionImplemented(ci, -1);
    view = RecordedComponentCall();
    EXPECT_EQ(view.paramSize, 4);
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

}  // namespace
