// CFrameTimes: a video track's frames on the movie's timeline.
#include "pins/video/frametimes.h"

#include <new>

#include "quicktime/QuickTime.h"

namespace {

// QuickTime's interesting-time flags and search directions.
constexpr SInt16 kNextTimeMediaSample = 1 << 0;
constexpr SInt16 kNextTimeTrackEdit = 1 << 2;
constexpr SInt16 kNextTimeEdgeOK = 0x4000;
constexpr Fixed kForward = 0x00010000;
constexpr Fixed kBackward = -0x00010000;

LONG Ask(Track track, SInt16 flags, LONG lTime, Fixed rate)
{
    TimeValue found = -1;
    GetTrackNextInterestingTime(track, flags, lTime, rate, &found, nullptr);
    return found;
}

}  // namespace

LONG CFrameTimes::ShownAt(LONG lTime) const
{
    if (!m_Track || lTime < 0)
        return -1;
    const LONG lStart = Ask(m_Track, kNextTimeMediaSample | kNextTimeEdgeOK, lTime, kBackward);
    return lStart >= 0 && lStart <= lTime ? lStart : -1;
}

LONG CFrameTimes::NextFrame(LONG lTime, bool bAt) const
{
    if (!m_Track)
        return -1;
    const LONG lNext = Ask(m_Track, SInt16(kNextTimeMediaSample | (bAt ? kNextTimeEdgeOK : 0)),
                           lTime, kForward);
    return lNext >= lTime ? lNext : -1;
}

LONG CFrameTimes::NextChange(LONG lTime) const
{
    if (!m_Track)
        return -1;
    const LONG lNext = Ask(m_Track, kNextTimeMediaSample | kNextTimeTrackEdit, lTime, kForward);
    return lNext > lTime ? lNext : -1;
}

bool CFrameTimes::Index(LONG lEnd)
{
    if (m_bIndexed || m_bIndexFailed)
        return m_bIndexed;
    m_bIndexFailed = true;
    try {
        m_starts.clear();
        LONG lTime = NextFrame(0, true);
        while (lTime >= 0 && lTime < lEnd) {
            if (m_starts.size() >= kMaxIndexed)
                return false;
            m_starts.push_back(lTime);
            const LONG lNext = NextFrame(lTime);
            if (lNext <= lTime)
                break;
            lTime = lNext;
        }
    } catch (const std::bad_alloc &) {
        m_starts.clear();
        return false;
    }
    // The last frame lasts until what the track shows next changes (its edit or samples end).
    m_lShownEnd = lEnd;
    if (!m_starts.empty()) {
        const LONG lChange = NextChange(m_starts.back());
        if (lChange > 0 && lChange < lEnd)
            m_lShownEnd = lChange;
    }
    m_bIndexed = true;
    m_bIndexFailed = false;
    return true;
}
