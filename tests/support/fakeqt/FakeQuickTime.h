// A programmable QuickTime for unit tests of the filter and its pins. Constructing a
// FakeQuickTime installs its dispatcher in the binding record (as if the test process had
// initialised QuickTime once: initCount 1, so the filter's InitializeQTML and TerminateQTML
// only count); destroying it puts the record back. One may be installed at a time.
//
// The test describes the movie that the next NewMovieFromFile opens (tracks by type, time
// scales, durations, sample counts and sizes, sample descriptions, boxes), picks the Gestalt
// answer, makes any routine fail with a code, and reads back every call with its arguments.
// Handles are real (the stand-in's handle heap), so locking and sizes behave as QuickTime's.
// Thread-safe: the pins call it from their worker threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeSelectors.h"

namespace fakeqt {

struct TrackModel {
    OSType type = QTFourCC("vide");
    TimeScale timeScale = 600;      // the media's
    TimeValue duration = 0;         // the media's, in its time scale
    long sampleCount = 0;
    TimeValue sampleDuration = 1;   // media units per sample
    // Sample times on the movie's timeline (GetTrackNextInterestingTime): sample i lasts its
    // own entry of sampleDurations where it has one; every sample is shown displayOffset media
    // units after its decoding time (a late first frame); the edits (movie time in the
    // model's time scale, media time -1 for an empty edit) place the media, which otherwise
    // plays from movie time 0.
    std::vector<TimeValue> sampleDurations;
    TimeValue displayOffset = 0;
    struct Edit {
        TimeValue duration;
        TimeValue mediaTime;
    };
    std::vector<Edit> edits;
    long sampleSize = 1;            // bytes per sample, as GetMediaSample delivers them
    std::vector<uint8_t> description;              // sample description 1; empty: none
    std::map<OSType, std::vector<uint8_t>> extensions;  // GetSoundDescriptionExtension atoms

    // An ImageDescription of the codec and size; samples at duration / samples apart.
    static TrackModel Video(SInt16 width, SInt16 height, OSType codec, TimeScale timeScale,
                            TimeValue duration, long samples);
    // A version-0 SoundDescription; one sample per sample frame.
    static TrackModel Sound(SInt16 channels, UInt32 rate, SInt16 bits, OSType format,
                            TimeScale timeScale, TimeValue duration, SInt16 compressionID = 0);
    static TrackModel Flash();
};

struct MovieModel {
    TimeScale timeScale = 600;
    TimeValue duration = 0;
    Rect box = {0, 0, 0, 0};
    std::vector<TrackModel> tracks;
    bool readOnlyFile = false;       // OpenMovieFile with write permission: permErr
    OSErr openError = noErr;         // OpenMovieFile fails with it whatever the permission
    OSErr newMovieError = noErr;     // NewMovieFromFile reports it ...
    bool movieDespiteError = false;  // ... and still gives the movie
};

// Movie audio extraction and the standard audio component ('scdi'/'audi').
struct ExtractionModel {
    AudioStreamBasicDescription format = {44100.0, QTFourCC("lpcm"), 0x29, 4, 1, 4, 2, 32, 0};
    UInt32 maxSampleSize = 16;          // 'mssz'; 0: unknown
    OSStatus maxSampleSizeError = 0;    // reading 'mssz' fails with it
    std::vector<uint8_t> channelLayout; // 'clay'; empty: size 0
    UInt32 totalFrames = 44100;         // frames the extraction delivers before completion
};

// The sound converter: converts frame for frame between its input and output formats.
struct ConverterModel {
    OSErr setInfoResult = noErr;        // every SoundConverterSetInfo
};

struct Call {
    uint32_t selector;
    std::vector<uintptr_t> args;
};

class FakeQuickTime {
public:
    FakeQuickTime();
    ~FakeQuickTime();
    FakeQuickTime(const FakeQuickTime &) = delete;
    FakeQuickTime &operator=(const FakeQuickTime &) = delete;

    void SetMovie(const MovieModel &movie);
    void SetGestalt(OSErr err, long qtimVersion);
    void SetExtraction(const ExtractionModel &extraction);
    void SetConverter(const ConverterModel &converter);
    // The routine of `selector` fails with `code` the next `times` calls (-1: every call).
    // Routines without an error result report it through GetMoviesError or MemError.
    void Fail(uint32_t selector, OSErr code, int times = -1);

    std::vector<Call> Calls() const;
    std::vector<Call> CallsTo(uint32_t selector) const;
    size_t CountOf(uint32_t selector) const;
    void ClearCalls();

    // The objects made for the opened movie, for comparing with recorded arguments.
    ::Movie OpenedMovie() const;
    ::Track TrackAt(size_t index) const;  // in the model's track order
    ::Media MediaAt(size_t index) const;
    std::string PathOf(const FSSpec &spec) const;
    TimeValue MovieTime() const;  // the last SetMovieTimeValue

    // Internal to the fake's routines.
    struct State;
    static State &Installed();

private:
    std::unique_ptr<State> m_state;
    QuickTimeBindingRecord m_savedBinding;
};

}  // namespace fakeqt
