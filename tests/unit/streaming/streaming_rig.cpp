#include "streaming_rig.h"

#include <memory>

namespace streamingtest {

namespace {

DWORD WINAPI RunFunction(LPVOID pv)
{
    (*static_cast<std::function<void()> *>(pv))();
    return 0;
}

} // namespace

BackgroundCall::BackgroundCall(std::function<void()> fn)
    : m_pFn(new std::function<void()>(std::move(fn))),
      m_hThread(CreateThread(nullptr, 0, RunFunction, m_pFn, 0, nullptr))
{
    if (!m_hThread) {
        delete m_pFn;
        m_pFn = nullptr;
    }
}

BackgroundCall::~BackgroundCall()
{
    if (!m_hThread)
        return;
    if (Wait(0))
        delete m_pFn;
    CloseHandle(m_hThread);
}

bool BackgroundCall::Wait(DWORD timeoutMs)
{
    if (m_hThread && !m_bDone)
        m_bDone = WaitForSingleObject(m_hThread, timeoutMs) == WAIT_OBJECT_0;
    return m_bDone;
}

bool FinishesWithin(DWORD timeoutMs, std::function<void()> fn)
{
    BackgroundCall call(std::move(fn));
    return call.Started() && call.Wait(timeoutMs);
}

uint32_t PatternHash(LONG k, LONG cb)
{
    std::vector<BYTE> bytes(static_cast<size_t>(cb));
    for (LONG i = 0; i < cb; i++)
        bytes[static_cast<size_t>(i)] = testsupport::PatternByte(k, i);
    return testsupport::Fnv1a(bytes.data(), bytes.size());
}

void StreamingTest::SetUp()
{
    m_cObjects = CBaseObject::ObjectsActive();
    m_pSource = CPatternSource::Create();
    ASSERT_NE(m_pSource, nullptr);
}

void StreamingTest::TearDown()
{
    if (!m_pSource)
        return;
    EXPECT_EQ(StopAll(), S_OK);
    for (int i = 0; i < m_pSource->GetPinCount(); i++) {
        IPin *pPin = m_pSource->GetPin(i);
        IPin *pPeer = nullptr;
        if (SUCCEEDED(pPin->ConnectedTo(&pPeer))) {
            EXPECT_EQ(pPeer->Disconnect(), S_OK);
            EXPECT_EQ(pPin->Disconnect(), S_OK);
            pPeer->Release();
        }
    }
    for (TestSink *pSink : m_sinks) {
        EXPECT_TRUE(pSink->Violations().empty()) << pSink->Violations()[0];
        EXPECT_EQ(pSink->RefCount(), 1u);
        pSink->Release();
    }
    m_sinks.clear();
    EXPECT_EQ(RefCount(m_pSource->Filter()), 1u);
    m_pSource->Filter()->Release();
    m_pSource = nullptr;
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjects) << "the filter and its pins must be gone";
}

CPatternStream *StreamingTest::AddStream(const PatternConfig &config)
{
    CPatternStream *pStream = nullptr;
    EXPECT_EQ(m_pSource->AddStream(config, L"Pattern", &pStream), S_OK);
    return pStream;
}

TestSink *StreamingTest::AddSink()
{
    TestSink *pSink = TestSink::Create();
    if (!pSink)
        return nullptr;
    pSink->AcceptExact(PatternConfig().mediaType);
    m_sinks.push_back(pSink);
    return pSink;
}

void StreamingTest::Connect(CPatternStream *pStream, TestSink *pSink)
{
    ASSERT_EQ(pStream->Connect(pSink->Pin(), nullptr), S_OK);
}

HRESULT StreamingTest::PauseAll()
{
    for (TestSink *pSink : m_sinks)
        pSink->Pause();
    return m_pSource->Pause();
}

HRESULT StreamingTest::StopAll()
{
    // Downstream first: a sink holding a sample in Receive lets it go when it stops.
    for (TestSink *pSink : m_sinks)
        pSink->Stop();
    return m_pSource->Stop();
}

} // namespace streamingtest
