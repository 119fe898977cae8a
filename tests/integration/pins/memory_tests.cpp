// The per-frame and per-buffer paths allocate nothing: the allocations the filter module and the
// QuickTime stand-in make during a pass do not grow with the number of frames or buffers.
#include <windows.h>
#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "pin_graph.h"
#include "stream_checks.h"

namespace {

const REFERENCE_TIME kSecond = 10000000;

std::vector<HMODULE> CountedModules()
{
    return {GetModuleHandleA("QuorvexTavrolin.ax"), GetModuleHandleA("QuickTime.qts")};
}

// One pass over [0, stop) of every pin; the allocations counted during it, or -1.
long AllocationsOfPass(PinGraph &graph, REFERENCE_TIME stop, size_t *pSamples)
{
    for (size_t i = 0; i < graph.PinCount(); i++) {
        LONGLONG start = 0, end = stop;
        if (FAILED(graph.Seeking(i)->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &end,
                                                  AM_SEEKING_AbsolutePositioning)))
            return -1;
    }
    graph.ClearRecords();
    AllocationCounter::Reset();
    if (!graph.Play())
        return -1;
    const long count = AllocationCounter::Count();
    *pSamples = 0;
    for (size_t i = 0; i < graph.PinCount(); i++)
        *pSamples += graph.Sink(i)->SampleCount();
    return count;
}

struct MemoryCase {
    const char *movie;
    REFERENCE_TIME shortStop, longStop;
};

void PrintTo(const MemoryCase &c, std::ostream *os) { *os << c.movie; }

class Allocations : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(Allocations, DoNotGrowWithTheFramesOfAPass)
{
    const MemoryCase &c = GetParam();
    AllocationCounter counter(CountedModules());
    ASSERT_GE(counter.Hooked(), 2u) << "the modules' malloc imports";
    PinGraph graph;
    std::string where;
    AllocationCounter::Reset();
    ASSERT_EQ(graph.Open(c.movie, &where), S_OK) << where;
    // The counter sees the modules' allocations: opening a movie makes some.
    EXPECT_GT(AllocationCounter::Count(), 0);
    // Whatever the first pass makes once (the render target) stays out of the comparison.
    size_t samples = 0, shortSamples = 0, longSamples = 0;
    ASSERT_GE(AllocationsOfPass(graph, c.longStop, &samples), 0);
    const long shortPass = AllocationsOfPass(graph, c.shortStop, &shortSamples);
    const long longPass = AllocationsOfPass(graph, c.longStop, &longSamples);
    ASSERT_GE(shortPass, 0);
    ASSERT_GE(longPass, 0);
    ASSERT_GT(longSamples, shortSamples + 2) << "the long pass must deliver more";
    // A pass's set-up may allocate (a seek past the end of extraction makes a new session), so
    // the passes need not be equal; but the one with more frames must not take more.
    EXPECT_LE(longPass, shortPass) << shortSamples << " samples took " << shortPass
                                   << " allocations, " << longSamples << " took " << longPass;
}

// Video: 5 frames against 25 and 3 against 10; sound: one second against nine; H.264 and AAC
// through the system's decoders: half a second against eight (each pass makes its decoders).
INSTANTIATE_TEST_SUITE_P(Movies, Allocations,
                         ::testing::Values(MemoryCase{"rle24.mov", kSecond / 5, kSecond},
                                           MemoryCase{"raw24.mov", kSecond / 10, kSecond * 4 / 10},
                                           MemoryCase{"long.mov", kSecond, kSecond * 9},
                                           MemoryCase{"h264aac.mp4", kSecond / 2, kSecond * 8}));

}  // namespace
