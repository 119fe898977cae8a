// The fake's state, shared by its routine files. Every routine records its call and takes
// its fault under `lock`; the lock is recursive because the converter callbacks that the
// fake makes come back into it on the same thread.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <type_traits>

#include "FakeQuickTime.h"

namespace fakeqt {

struct FakeQuickTime::State {
    struct MediaObject {
        const TrackModel *model = nullptr;
        bool disposed = false;
    };
    struct MovieObject;
    struct TrackObject {
        TrackModel model;
        MediaObject media;
        MovieObject *movie = nullptr;
        bool disposed = false;
    };
    struct MovieObject {
        MovieModel model;  // time scale and duration as SetMovieTimeScale left them
        TimeScale fileScale = 0;  // the model's own, which its edits count
        std::vector<std::unique_ptr<TrackObject>> tracks;
        Rect box = {0, 0, 0, 0};
        TimeValue time = 0;
        HBITMAP bitmap = nullptr;  // of the attached GWorld
        bool disposed = false;
    };
    struct Session {
        AudioStreamBasicDescription format;
        UInt32 delivered = 0;
        bool ended = false;
    };
    struct GWorld {
        HBITMAP bitmap;
        bool disposed = false;
    };
    struct AudioComponent {
        AudioStreamBasicDescription input = {};
        AudioStreamBasicDescription output = {44100.0, QTFourCC("lpcm"), 12, 4, 1, 4, 2, 16, 0};
        bool closed = false;
    };
    struct Converter {
        SoundComponentData input;
        SoundComponentData output;
        bool closed = false;
        unsigned long leftOverFrames = 0;  // of the last FillBuffer, given first by the next
    };
    struct Fault {
        OSErr code;
        int times;
    };

    mutable std::recursive_mutex lock;
    MovieModel movieModel;
    ExtractionModel extraction;
    ConverterModel converter;
    OSErr gestaltError = noErr;
    long gestaltVersion = 0x07798000;
    std::map<uint32_t, Fault> faults;
    std::vector<Call> calls;
    std::vector<std::string> paths;            // FSSpec parID - 1
    std::map<SInt16, std::string> openFiles;   // reference number: path
    SInt16 nextFileReference = 1;
    // Objects live until the fake goes, so that a stale handle is recognised, never reused.
    std::vector<std::unique_ptr<MovieObject>> movies;
    std::vector<std::unique_ptr<Session>> sessions;
    std::vector<std::unique_ptr<GWorld>> gworlds;
    std::map<Handle, const TrackModel *> descriptionSource;
    std::vector<std::unique_ptr<AudioComponent>> components;
    std::vector<std::unique_ptr<Converter>> converters;

    void Record(uint32_t selector, std::initializer_list<uintptr_t> args)
    {
        calls.push_back({selector, std::vector<uintptr_t>(args)});
    }
    OSErr TakeFault(uint32_t selector);
    MovieObject *FindMovie(::Movie movie);
    TrackObject *FindTrack(::Track track);
    MediaObject *FindMedia(::Media media);
};

// Arguments as recorded: pointers by address, integers sign-extended.
template <typename T>
uintptr_t Arg(T value)
{
    if constexpr (std::is_pointer<T>::value)
        return reinterpret_cast<uintptr_t>(value);
    else
        return uintptr_t(intptr_t(value));
}

// Last errors, per thread as QuickTime keeps them.
void SetMoviesError(OSErr err);
OSErr MoviesError();
void SetMemoryError(OSErr err);
OSErr MemoryError();

}  // namespace fakeqt

// Opens a fake routine: records the call with its arguments and takes its fault.
#define FAKE_ROUTINE(name, ...)                                                          \
    fakeqt::FakeQuickTime::State &state = fakeqt::FakeQuickTime::Installed();            \
    std::lock_guard<std::recursive_mutex> stateLock(state.lock);                         \
    state.Record(kQTSel_##name, {__VA_ARGS__});                                          \
    const OSErr fault = state.TakeFault(kQTSel_##name);                                 \
    (void)fault
