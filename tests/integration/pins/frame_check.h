// Comparing the frames a video pin delivered with ffmpeg's decoding of the same stream: each
// sample is the source frame shown at its position, and in a whole pass each of ffmpeg's frames
// comes once, at its own time.
#pragma once

#include <string>
#include <vector>

#include "pin_graph.h"

enum class FrameReference {
    kSameFormat,    // the reference is in the pin's own pixel format: byte for byte
    kFiveBitSource, // rgb555le reference, 32-bit pin: each 8-bit channel's top five bits
    kEightBitSource, // bgr0 reference, 16-bit pin: each channel narrowed to its top five bits
    // nv12 reference of a BT.601 limited-range stream, 32-bit pin: each channel within 1 of the
    // exact conversion (the runtime's integer conversion is within 0.65 of the exact value and
    // the reference is that value rounded)
    kBt601Source,
    // nv12 reference of a BT.709 full-range stream, 32-bit pin: the same, in that colour
    kBt709FullSource,
    // bgr0 reference of a 4:4:4 JPEG, 32-bit pin: each channel within 3 (WIC's IDCT and colour
    // conversion are not ffmpeg's)
    kJpegSource,
    // planar YUV reference of any subsampling and depth, named by ffmpeg ("yuv422p10le"), of a
    // BT.601 stream (limited range; full for "yuvj"), 32-bit pin: within 1 of the exact
    // conversion, each pixel with the chroma sample that covers it
    kPlanarBt601Source
};

struct FrameCheck {
    std::string movie;
    int stream = 0;
    std::string format;  // the reference's pixel format: bgr0 or rgb555le
    FrameReference kind = FrameReference::kSameFormat;
};

// Checks every sample of every segment of pin i; the first failure is reported with its
// segment, sample and frame. Returns the number of samples checked.
size_t ExpectFramesMatch(const PinGraph &graph, size_t pin, const FrameCheck &check);
// The source frame index of every sample of one segment.
std::vector<LONGLONG> FrameIndices(const std::vector<PlacedSample> &segment, const VideoGrid &grid);
// One whole pass of a video pin: one segment from the movie's start and one end-of-stream, each
// of ffmpeg's frames once and in order, every one a sync point and the first only a
// discontinuity, stamped at its own start and lasting until the next frame starts (the last at
// most until its own end), within the 100 ns unit that truncation may take from either stamp.
void ExpectFramesAtTheirTimes(testsupport::TestSink *sink,
                              const std::vector<testsupport::SinkRecord> &records,
                              const VideoGrid &grid, std::vector<PlacedSample> *pPass);
