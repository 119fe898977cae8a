#include "converter_intercept.h"

#include <cstring>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeSelectors.h"

namespace {

audiotest::ExpandingConverter g_model;
unsigned long g_lastFrames;
unsigned long g_mostBytes;

unsigned long OutputBytes(unsigned long units)
{
    return static_cast<unsigned long long>(units) * g_model.outFramesNum / g_model.outFramesDen *
           g_model.outFrameBytes;
}

}  // namespace

static_assert(kQTSel_SoundConverterGetBufferSizes == 0x00250029, "selector in the asm below");
static_assert(kQTSel_SoundConverterConvertBuffer == 0x0025002B, "selector in the asm below");

extern "C" {

QuickTimeEntry g_interceptedDispatcher;

OSErr InterceptGetBufferSizes(SoundConverter, unsigned long target, unsigned long *inputFrames,
                              unsigned long *inputBytes, unsigned long *outputBytes)
{
    const unsigned long units = target / g_model.inBytes;
    *inputFrames = units;
    *inputBytes = units * g_model.inBytes;
    *outputBytes = OutputBytes(units);
    return noErr;
}

OSErr InterceptConvertBuffer(SoundConverter, const void *, unsigned long frames, void *output,
                             unsigned long *outputFrames, unsigned long *outputBytes)
{
    const unsigned long bytes = OutputBytes(frames);
    std::memset(output, 0x5A, bytes);  // as far as a real converter would write
    g_lastFrames = frames;
    if (bytes > g_mostBytes)
        g_mostBytes = bytes;
    *outputFrames = bytes / g_model.outFrameBytes;
    *outputBytes = bytes;
    return noErr;
}

// Entered like the dispatcher: selector in EAX, the caller's arguments untouched.
__attribute__((naked)) void InterceptingDispatcher(void)
{
    // kQTSel_SoundConverterGetBufferSizes and kQTSel_SoundConverterConvertBuffer.
#if defined(__i386__)
    asm("cmpl $0x00250029, %eax\n\t"
        "je _InterceptGetBufferSizes\n\t"
        "cmpl $0x0025002B, %eax\n\t"
        "je _InterceptConvertBuffer\n\t"
        "jmp *_g_interceptedDispatcher");
#else
    asm("cmpl $0x00250029, %eax\n\t"
        "je InterceptGetBufferSizes\n\t"
        "cmpl $0x0025002B, %eax\n\t"
        "je InterceptConvertBuffer\n\t"
        "jmp *g_interceptedDispatcher(%rip)");
#endif
}

}  // extern "C"

namespace audiotest {

ConverterIntercept::ConverterIntercept(const ExpandingConverter &model)
{
    g_model = model;
    g_lastFrames = 0;
    g_mostBytes = 0;
    g_interceptedDispatcher = QuickTimeBinding.dispatcher;
    QuickTimeBinding.dispatcher = &InterceptingDispatcher;
}

ConverterIntercept::~ConverterIntercept()
{
    QuickTimeBinding.dispatcher = g_interceptedDispatcher;
}

unsigned long ConverterIntercept::LastFrames() const
{
    return g_lastFrames;
}

unsigned long ConverterIntercept::MostBytesWritten() const
{
    return g_mostBytes;
}

}  // namespace audiotest
