// Checks of what a sink recorded that every pin test shares: the stamps of a segment, the
// stream's order, the sound's format and bytes.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstdint>
#include <vector>

#include "pin_graph.h"

int ScreenBits();
// Stamps of one segment run on from the segment's start, never back and without gaps; every
// sample is a sync point and the first one only a discontinuity.
void ExpectContiguous(const std::vector<PlacedSample> &segment);
// One pass as the sink recorded it: one segment of samples, contiguous, one end-of-stream and
// no breach of the stream's order. *pPass receives the segment's samples.
void ExpectOnePass(testsupport::TestSink *sink, const std::vector<testsupport::SinkRecord> &records,
                   std::vector<PlacedSample> *pPass);
// The sink saw no breach of the stream's order.
void ExpectOrderly(testsupport::TestSink *sink);
void ExpectWaveFormat(const AM_MEDIA_TYPE &mt, WORD channels, WORD bits, DWORD rate);
// The delivered bytes are the reference's. With silenceAfter, the delivery may go on past the
// reference's end with silence (up to 20 ms), as the movie-level path does to the movie's end.
void ExpectSoundMatches(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want,
                        size_t frameBytes, DWORD rate, bool silenceAfter);
// Linear interpolation of a 16-bit mono source at output frame m's position m × step (in source
// frames), rounded to nearest, to within one step of rounding (the phase the converter
// accumulates differs from one computed afresh). got holds count frames, stride values apart.
void ExpectInterpolated(const int16_t *got, size_t stride, size_t count,
                        const std::vector<int16_t> &in, double step);
