// A source filter with one movie loaded from the fake QuickTime, its first pin as the audio
// pin, and samples from a real memory allocator to fill. Each test ends with the filter gone
// (the live-object count back where it started).
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "FakeQuickTime.h"
#include "pins/audio/movieaudiopin.h"

namespace audiotest {

constexpr long kQuickTime704 = 0x07048000;  // per-track path
constexpr long kQuickTime779 = 0x07798000;  // movie-level path

// A movie of one sound track, its movie time scale 600.
fakeqt::MovieModel SoundMovie(const fakeqt::TrackModel &track, TimeValue movieDuration);

class AudioPinTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the movie; the pin is the filter's first. False (and a test failure) without one.
    bool Open(const fakeqt::MovieModel &movie, long qtimVersion);
    void Close();

    // The pin's one offered media type (caller frees with DeleteMediaType), or null.
    AM_MEDIA_TYPE *OfferedType();
    // A sample of cbBuffer bytes from a committed allocator (the allocator is kept).
    IMediaSample *NewSample(long cbBuffer);
    // FillBuffer on a fresh sample: its result, actual length and times.
    struct Filled {
        HRESULT hr;
        long lActual;
        REFERENCE_TIME tStart;
        REFERENCE_TIME tStop;
        std::vector<BYTE> bytes;
    };
    Filled Fill(long cbBuffer);

    fakeqt::FakeQuickTime *m_pQt = nullptr;
    IBaseFilter *m_pFilter = nullptr;
    IPin *m_pPin = nullptr;               // not referenced beyond the filter's
    CMovieAudioPin *m_pAudio = nullptr;
    IMemAllocator *m_pAllocator = nullptr;
    long m_cbAllocator = 0;
    LONG m_nObjectsBefore = 0;
};

}  // namespace audiotest
