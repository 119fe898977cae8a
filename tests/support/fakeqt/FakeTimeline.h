// What a fake track shows on its movie's timeline: the model's samples (their own durations,
// shown displayOffset after their decoding times) through its edits, in any movie time scale.
// A sample is shown from the first movie time that maps onto its start; spans where nothing is
// shown hold no frame. Answers GetTrackNextInterestingTime as the runtime does, by brute force.
#pragma once

#include <vector>

#include "FakeQuickTime.h"

namespace fakeqt {

struct ShownFrame {
    long sample;
    LONGLONG start, end;  // movie time
};

struct Timeline {
    std::vector<ShownFrame> frames;   // in time order
    std::vector<LONGLONG> boundaries; // where edits begin and end, and samples run out in one
};

// fileScale: the scale the model's edits are counted in; scale: the movie's present one.
Timeline TimelineOf(const TrackModel &track, LONGLONG fileScale, LONGLONG scale);

// The next (rate >= 0) or previous interesting time, -1 when none; flags as QuickTime's
// (nextTimeMediaSample 1, nextTimeTrackEdit 4, nextTimeEdgeOK 0x4000).
LONGLONG NextInterestingTime(const Timeline &timeline, SInt16 flags, LONGLONG time, Fixed rate);

}  // namespace fakeqt
