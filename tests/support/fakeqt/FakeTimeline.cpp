// The fake's timeline of a track, made afresh for every question (tests ask few).
#include "FakeTimeline.h"

#include <algorithm>

namespace fakeqt {

namespace {

LONGLONG CeilDiv(LONGLONG a, LONGLONG b)
{
    return a >= 0 ? (a + b - 1) / b : -((-a) / b);
}

}  // namespace

Timeline TimelineOf(const TrackModel &track, LONGLONG fileScale, LONGLONG scale)
{
    Timeline timeline;
    const LONGLONG ms = track.timeScale;
    if (ms <= 0 || scale <= 0 || fileScale <= 0 || track.sampleCount <= 0)
        return timeline;
    std::vector<LONGLONG> shown(size_t(track.sampleCount) + 1);
    shown[0] = track.displayOffset;
    for (long i = 0; i < track.sampleCount; ++i) {
        const LONGLONG duration = size_t(i) < track.sampleDurations.size()
                                      ? track.sampleDurations[size_t(i)]
                                      : track.sampleDuration;
        shown[size_t(i) + 1] = shown[size_t(i)] + duration;
    }
    const LONGLONG shownEnd = shown.back();

    struct Span {
        LONGLONG start, end, media;
    };
    std::vector<Span> spans;
    if (track.edits.empty()) {
        spans.push_back({0, CeilDiv(shownEnd * scale, ms), 0});
    } else {
        LONGLONG movieStart = 0;
        for (const TrackModel::Edit &e : track.edits) {
            spans.push_back({movieStart * scale / fileScale,
                             (movieStart + e.duration) * scale / fileScale, e.mediaTime});
            movieStart += e.duration;
        }
    }
    for (const Span &s : spans) {
        timeline.boundaries.push_back(s.start);
        timeline.boundaries.push_back(s.end);
        if (s.media < 0)
            continue;
        const LONGLONG out = s.start + CeilDiv((shownEnd - s.media) * scale, ms);
        if (out > s.start && out < s.end)
            timeline.boundaries.push_back(out);
        for (long i = 0; i < track.sampleCount; ++i) {
            if (shown[size_t(i) + 1] <= s.media)
                continue;
            const LONGLONG start =
                s.start + std::max<LONGLONG>(0, CeilDiv((shown[size_t(i)] - s.media) * scale, ms));
            const LONGLONG end =
                std::min(s.end, s.start + CeilDiv((shown[size_t(i) + 1] - s.media) * scale, ms));
            if (start >= s.end)
                break;
            if (start < end)
                timeline.frames.push_back({i, start, end});
        }
    }
    std::sort(timeline.boundaries.begin(), timeline.boundaries.end());
    return timeline;
}

LONGLONG NextInterestingTime(const Timeline &timeline, SInt16 flags, LONGLONG time, Fixed rate)
{
    const bool samples = (flags & 1) != 0, edits = (flags & 4) != 0, edge = (flags & 0x4000) != 0;
    LONGLONG best = -1;
    if (rate >= 0) {
        auto consider = [&](LONGLONG t) {
            if ((t > time || (edge && t == time)) && (best < 0 || t < best))
                best = t;
        };
        if (samples)
            for (const ShownFrame &f : timeline.frames)
                consider(f.start);
        if (edits)
            for (LONGLONG b : timeline.boundaries)
                consider(b);
        return best;
    }
    auto consider = [&](LONGLONG t) {
        if ((t < time || (edge && t == time)) && t > best)
            best = t;
    };
    if (samples)
        for (const ShownFrame &f : timeline.frames) {
            const bool holds = edge ? (f.start <= time && time < f.end)
                                    : (f.start < time && time <= f.end);
            if (holds)
                consider(f.start);
        }
    if (edits)
        for (LONGLONG b : timeline.boundaries)
            consider(b);
    return best;
}

}  // namespace fakeqt
