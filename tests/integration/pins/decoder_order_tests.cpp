// The runtime's decoder chain in either order: its library first (the default), or the
// system's first (QUORVEX_DECODERS=system, which the suite's second run sets). Formats both
// take play as ffmpeg decodes them either way.
#include <windows.h>
#include <gtest/gtest.h>

#include "frame_check.h"
#include "pin_graph.h"
#include "stream_checks.h"

namespace {

std::string Order()
{
    char value[32] = {};
    const DWORD n = GetEnvironmentVariableA("QUORVEX_DECODERS", value, sizeof value);
    return n > 0 && n < sizeof value && std::string(value) == "system" ? "system first" : "library first";
}

void ExpectPlaysAsFfmpeg(const FrameCheck &check)
{
    SCOPED_TRACE(check.movie + ", " + Order());
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(check.movie, &where), S_OK) << where;
    ASSERT_TRUE(graph.IsVideo(0));
    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectFramesAtTheirTimes(graph.Sink(0), records, ReadGrid(check.movie, 0), &pass));
    EXPECT_EQ(ExpectFramesMatch(graph, 0, check), pass.size());
}

TEST(DecoderOrder, H264PlaysInThisOrder)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "needs a 32-bit screen";
    ExpectPlaysAsFfmpeg({"h264.mp4", 0, "nv12", FrameReference::kBt601Source});
}

TEST(DecoderOrder, PhotoJpegPlaysInThisOrder)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "needs a 32-bit screen";
    ExpectPlaysAsFfmpeg({"jpeg.mov", 0, "bgr0", FrameReference::kJpegSource});
}

// HEVC, which no system decoder here takes, still comes from the library behind them.
TEST(DecoderOrder, WhatOnlyTheLibraryTakesPlaysInThisOrder)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "needs a 32-bit screen";
    ExpectPlaysAsFfmpeg({"video/hevc-main10.mov", 0, "yuv420p10le", FrameReference::kPlanarBt601Source});
}

}  // namespace
