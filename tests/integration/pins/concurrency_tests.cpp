// Seeks, rate calls, quality messages and state changes from other threads while the pins
// deliver. A watchdog turns a deadlock into a failed run instead of a hung one.
#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "pin_graph.h"
#include "stream_checks.h"

namespace {

const DWORD kWatchdogMs = 30000;

// Threads that run a body until told to stop, joined with the watchdog's time-out.
class Workers {
public:
    ~Workers() { Join(); }
    template <typename F>
    void Start(F *body)
    {
        m_threads.push_back(CreateThread(nullptr, 0, &Workers::Run<F>, body, 0, nullptr));
        EXPECT_NE(m_threads.back(), nullptr);
    }
    // False when a thread has not ended in time: the process cannot be cleaned up then, so
    // the caller ends it as failed.
    bool Join()
    {
        bool ended = true;
        for (HANDLE h : m_threads) {
            if (!h)
                continue;
            ended = WaitForSingleObject(h, kWatchdogMs) == WAIT_OBJECT_0 && ended;
            CloseHandle(h);
        }
        m_threads.clear();
        return ended;
    }

private:
    template <typename F>
    static DWORD WINAPI Run(void *p)
    {
        (*static_cast<F *>(p))();
        return 0;
    }
    std::vector<HANDLE> m_threads;
};

void FailHung(const char *what)
{
    std::fprintf(stderr, "deadlock: %s did not end within %lu ms\n", what, kWatchdogMs);
    std::fflush(stderr);
    ExitProcess(3);
}

// Within each segment the stamps never go back; the sink saw samples in order. Two breaches
// of end-of-stream's order are races of the graph, not of the pins: a worker that ends its pass
// just as a seek begins its flush delivers end-of-stream inside the flush (a renderer drops
// it), and a sink stopped before the source may get the old pass's end-of-stream afterwards.
void ExpectStampsForward(const PinGraph &graph)
{
    for (size_t i = 0; i < graph.PinCount(); i++) {
        SCOPED_TRACE("pin " + std::to_string(i));
        for (const std::string &v : graph.Sink(i)->Violations()) {
            if (v != "EndOfStream while flushing" && v != "EndOfStream twice")
                ADD_FAILURE() << v;
        }
        const auto records = graph.Sink(i)->Records();
        const auto segments = Segments(records);
        for (size_t s = 0; s < segments.size(); s++) {
            for (size_t n = 1; n < segments[s].size(); n++) {
                const testsupport::SinkRecord &a = *segments[s][n - 1].record, &b = *segments[s][n].record;
                if (b.tStart < a.tStart || b.tStart < a.tStop - 1) {
                    ADD_FAILURE() << "segment " << s << " sample " << n << " starts at " << b.tStart
                                  << " after " << a.tStart << ".." << a.tStop;
                    return;
                }
            }
        }
    }
}

class Concurrency : public ::testing::TestWithParam<const char *> {};

TEST_P(Concurrency, SeeksRatesAndQualityWhileThePinsDeliver)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(GetParam(), &where), S_OK) << where;
    std::vector<ComPtr<IMediaSeeking>> seeking;
    std::vector<ComPtr<IQualityControl>> quality;
    for (size_t i = 0; i < graph.PinCount(); i++) {
        seeking.push_back(graph.Seeking(i));
        ASSERT_TRUE(seeking.back());
        ComPtr<IQualityControl> q;
        ASSERT_EQ(graph.Pin(i)->QueryInterface(IID_PPV_ARGS(&q)), S_OK);
        quality.push_back(q);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    auto seeker = [&] {
        for (unsigned n = 0; !stop; n++) {
            LONGLONG start = LONGLONG(n % 9) * 1000000;
            for (auto &s : seeking) {
                if (FAILED(s->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                           AM_SEEKING_NoPositioning)))
                    failures++;
            }
            Sleep(1);
        }
    };
    auto rater = [&] {
        while (!stop) {
            for (auto &s : seeking) {
                if (FAILED(s->SetRate(1.0)))
                    failures++;
            }
            Sleep(2);
        }
    };
    auto notifier = [&] {
        for (unsigned n = 0; !stop; n++) {
            Quality q = {};
            q.Type = Famine;
            q.Proportion = 1000;
            q.Late = 10000 * LONGLONG(n % 5);  // up to 4 ms late
            for (auto &c : quality)
                c->Notify(graph.Sink(0)->Filter(), q);
            Sleep(1);
        }
    };
    ASSERT_EQ(graph.Control()->Run(), S_OK);
    Workers workers;
    workers.Start(&seeker);
    workers.Start(&rater);
    workers.Start(&notifier);
    Sleep(1500);
    stop = true;
    if (!workers.Join())
        FailHung("a seeking, rate or quality thread");
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(graph.Stop(), S_OK);
    ExpectStampsForward(graph);
    // The calls kept the pins busy: several passes began.
    EXPECT_GT(Segments(graph.Sink(0)->Records()).size(), 5u);
}

TEST_P(Concurrency, StateChangesFromASecondThreadWhileSeeking)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(GetParam(), &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    auto changer = [&] {
        IMediaControl *control = graph.Control();
        for (int n = 0; n < 60; n++) {
            const HRESULT hr = n % 3 == 0 ? control->Run() : n % 3 == 1 ? control->Pause() : control->Stop();
            if (FAILED(hr))
                failures++;
        }
        stop = true;
    };
    auto seeker = [&] {
        for (unsigned n = 0; !stop; n++) {
            LONGLONG start = LONGLONG(n % 7) * 1300000;
            if (FAILED(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                             AM_SEEKING_NoPositioning)))
                failures++;
        }
    };
    Workers workers;
    workers.Start(&changer);
    workers.Start(&seeker);
    if (!workers.Join())
        FailHung("a state-changing or seeking thread");
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(graph.Stop(), S_OK);
    ExpectStampsForward(graph);
    // Still playable from the start afterwards.
    graph.ClearRecords();
    LONGLONG start = 0;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning), S_OK);
    LONGLONG snapped = -1;
    ASSERT_EQ(seeking->GetPositions(&snapped, nullptr), S_OK);
    ASSERT_TRUE(graph.Play());
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), graph.Sink(0)->Records(), &pass));
    EXPECT_EQ(pass[0].position, snapped);
}

// A renderer's early message (negative lateness) between two samples: the next sample's stamps
// must still not start before the last one's.
TEST(QualityMessages, AnEarlyMessageNeverTurnsTheStampsBack)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("rle24.mov", &where), S_OK) << where;
    ComPtr<IQualityControl> quality;
    ASSERT_EQ(graph.Pin(0)->QueryInterface(IID_PPV_ARGS(&quality)), S_OK);
    testsupport::TestSink *sink = graph.Sink(0);
    sink->SetBlockReceive(true);
    ASSERT_EQ(graph.Control()->Run(), S_OK);
    ASSERT_EQ(WaitForSingleObject(sink->ReceiveEnteredEvent(), 5000), WAIT_OBJECT_0);
    Quality q = {};
    q.Type = Flood;
    q.Proportion = 1000;
    q.Late = -1000000;  // 100 ms early: more than two frames
    EXPECT_EQ(quality->Notify(sink->Filter(), q), S_OK);
    sink->SetBlockReceive(false);
    sink->ReleaseReceive();
    ASSERT_EQ(WaitForSingleObject(sink->EndOfStreamEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(graph.Stop(), S_OK);
    const auto segments = Segments(sink->Records());
    ASSERT_EQ(segments.size(), 1u);
    ASSERT_GE(segments[0].size(), 2u);
    const REFERENCE_TIME first = segments[0][0].record->tStart, second = segments[0][1].record->tStart;
    EXPECT_GE(second, first);
    ExpectStampsForward(graph);
}

// The H.264 + AAC movie's pins decode through the system's decoders while the calls come.
INSTANTIATE_TEST_SUITE_P(Movies, Concurrency, ::testing::Values("av2snd.mov", "long.mov", "h264aac.mp4"));

}  // namespace
