// Shared pieces of the streaming tests: a pattern source and test sinks wired together, with
// reference counts checked when a test ends, and a guard that turns a hang into a failure.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "pattern_source.h"
#include "test_sink.h"

namespace streamingtest {

using testsupport::CPatternSource;
using testsupport::CPatternStream;
using testsupport::PatternConfig;
using testsupport::SinkRecord;
using testsupport::TestSink;

const DWORD kWaitMs = 5000;

inline ULONG RefCount(IUnknown *p)
{
    p->AddRef();
    return p->Release();
}

// Runs a function on a thread of its own. A call that has not finished when the object goes
// is abandoned (hung), and the process ends it at exit.
class BackgroundCall {
public:
    explicit BackgroundCall(std::function<void()> fn);
    ~BackgroundCall();
    BackgroundCall(const BackgroundCall &) = delete;
    BackgroundCall &operator=(const BackgroundCall &) = delete;
    bool Started() const { return m_hThread != nullptr; }
    // True once the function has returned, false after timeoutMs.
    bool Wait(DWORD timeoutMs);

private:
    std::function<void()> *m_pFn; // the thread's own once it may be abandoned
    HANDLE m_hThread;
    bool m_bDone = false;
};

// False when fn has not finished within timeoutMs.
bool FinishesWithin(DWORD timeoutMs, std::function<void()> fn);

// The hash the sink records for sample k of a pattern stream with cb bytes per sample.
uint32_t PatternHash(LONG k, LONG cb);

class StreamingTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A pin on the test's source filter; the filter owns it.
    CPatternStream *AddStream(const PatternConfig &config);
    // A sink that accepts exactly the pattern's default media type.
    TestSink *AddSink();
    void Connect(CPatternStream *pStream, TestSink *pSink);
    // Sinks first, as a graph does (downstream before upstream).
    HRESULT PauseAll();
    HRESULT StopAll();

    CPatternSource *m_pSource = nullptr;
    std::vector<TestSink *> m_sinks;
    LONG m_cObjects = 0;
};

} // namespace streamingtest
