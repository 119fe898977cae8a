// CFrameTimes: where a video track's frames lie on the movie's timeline, as QuickTime answers it
// (GetTrackNextInterestingTime): the frame shown at a time, the next time what the track shows
// changes, and, made when first asked for, the start of every frame in order, for positions
// counted in frames.
//
// Times are movie time in the movie's present scale (the video pin's units). A frame is shown
// from its start until the next frame starts, its edit ends or the track's samples run out;
// spans where the track shows nothing (before its first frame, empty edits, after its end) hold
// no frame. Not locked: the owning pin's lock guards it.
#pragma once

#include <windows.h>

#include <vector>

#include "quicktime/QuickTimeTypes.h"

class CFrameTimes {
public:
    explicit CFrameTimes(Track track) : m_Track(track) {}

    // The start of the frame shown at lTime, or -1 when the track shows nothing then.
    LONG ShownAt(LONG lTime) const;
    // The first frame start after lTime (at it with bAt), or -1 when no frame follows.
    LONG NextFrame(LONG lTime, bool bAt = false) const;
    // The first time after lTime at which a frame starts or the track stops showing one, or -1.
    LONG NextChange(LONG lTime) const;

    // Frames counted from the movie's start until lEnd: the start of each, and the time the last
    // one stops being shown. Made once (false when there is no memory for it, or more frames
    // than kMaxIndexed). Not a hot path: it asks QuickTime once per frame.
    bool Index(LONG lEnd);
    const std::vector<LONG> &Starts() const { return m_starts; }
    LONG ShownEnd() const { return m_lShownEnd; }

    static constexpr size_t kMaxIndexed = 16u << 20;

private:
    Track m_Track;
    bool m_bIndexed = false;
    bool m_bIndexFailed = false;
    std::vector<LONG> m_starts;
    LONG m_lShownEnd = 0;
};
