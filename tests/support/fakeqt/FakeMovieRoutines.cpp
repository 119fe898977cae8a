// The fake's opening, movie and media routines, answering from the test's MovieModel.
#include <algorithm>
#include <cstring>

#include "FakeQuickTimeState.h"
#include "FakeTimeline.h"
#include "HandleHeap.h"
#include "RoutineTable.h"

using namespace fakeqt;

namespace {

using State = FakeQuickTime::State;

const OSType kFsRdPerm = 1;

OSErr FakeNativePathNameToFSSpec(char *path, FSSpec *spec, long flags)
{
    FAKE_ROUTINE(NativePathNameToFSSpec, Arg(path), Arg(spec), Arg(flags));
    if (fault != noErr)
        return fault;
    if (!path || !spec)
        return paramErr;
    state.paths.push_back(path);
    std::memset(spec, 0, sizeof *spec);
    spec->parID = SInt32(state.paths.size());
    return noErr;
}

OSErr FakeOpenMovieFile(const FSSpec *spec, SInt16 *reference, SInt8 permission)
{
    FAKE_ROUTINE(OpenMovieFile, Arg(spec), Arg(reference), Arg(permission));
    if (fault != noErr)
        return fault;
    if (!spec || !reference)
        return paramErr;
    if (state.movieModel.openError != noErr)
        return state.movieModel.openError;
    if (state.movieModel.readOnlyFile && permission != kFsRdPerm)
        return permErr;
    const size_t index = size_t(spec->parID) - 1;
    const SInt16 number = state.nextFileReference++;
    state.openFiles[number] = index < state.paths.size() ? state.paths[index] : std::string();
    *reference = number;
    return noErr;
}

OSErr FakeNewMovieFromFile(Movie *movie, SInt16 reference, SInt16 *resId, StringPtr resName,
                           SInt16 flags, Boolean *dataRefWasChanged)
{
    FAKE_ROUTINE(NewMovieFromFile, Arg(movie), Arg(reference), Arg(resId), Arg(resName),
                 Arg(flags), Arg(dataRefWasChanged));
    if (!movie)
        return paramErr;
    *movie = nullptr;
    if (fault != noErr)
        return fault;
    if (state.openFiles.find(reference) == state.openFiles.end())
        return fnfErr;
    const MovieModel &model = state.movieModel;
    if (model.newMovieError != noErr && !model.movieDespiteError)
        return model.newMovieError;
    auto object = std::make_unique<State::MovieObject>();
    object->model = model;
    object->fileScale = model.timeScale;
    object->box = model.box;
    for (const TrackModel &track : model.tracks) {
        auto trackObject = std::make_unique<State::TrackObject>();
        trackObject->model = track;
        trackObject->media.model = &trackObject->model;
        trackObject->movie = object.get();
        object->tracks.push_back(std::move(trackObject));
    }
    *movie = reinterpret_cast<Movie>(object.get());
    state.movies.push_back(std::move(object));
    return model.newMovieError;
}

OSErr FakeCloseMovieFile(SInt16 reference)
{
    FAKE_ROUTINE(CloseMovieFile, Arg(reference));
    if (fault != noErr)
        return fault;
    return state.openFiles.erase(reference) ? noErr : OSErr(fnfErr);
}

void FakeDisposeMovie(Movie movie)
{
    FAKE_ROUTINE(DisposeMovie, Arg(movie));
    State::MovieObject *object = state.FindMovie(movie);
    SetMoviesError(object ? fault : OSErr(invalidMovie));
    if (object)
        object->disposed = true;
}

OSErr FakeGetMoviesError()
{
    return MoviesError();
}

// The routines below answer 0 or null with the fault (or invalidMovie/Track/Media) as the
// movies error, as QuickTime's queries do.
template <typename Object>
Object *Checked(Object *object, OSErr fault, OSErr invalid)
{
    SetMoviesError(fault != noErr ? fault : object ? noErr : invalid);
    return fault != noErr ? nullptr : object;
}

long FakeGetMovieTrackCount(Movie movie)
{
    FAKE_ROUTINE(GetMovieTrackCount, Arg(movie));
    const State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    return object ? long(object->tracks.size()) : 0;
}

Track FakeGetMovieIndTrackType(Movie movie, long index, OSType type, long flags)
{
    FAKE_ROUTINE(GetMovieIndTrackType, Arg(movie), Arg(index), Arg(type), Arg(flags));
    const State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    if (!object || index < 1)
        return nullptr;
    const bool byMediaType = (flags & 1) != 0;
    long seen = 0;
    for (const auto &track : object->tracks) {
        // Without movieTrackMediaType the type names a characteristic; the fake treats
        // 'eyes' (visual) as video and 'ears' (audible) as sound.
        const OSType wanted = byMediaType ? type
                              : type == QTFourCC("eyes") ? QTFourCC("vide")
                              : type == QTFourCC("ears") ? QTFourCC("soun") : type;
        if (track->model.type == wanted && !track->disposed && ++seen == index)
            return reinterpret_cast<Track>(track.get());
    }
    return nullptr;
}

TimeScale FakeGetMovieTimeScale(Movie movie)
{
    FAKE_ROUTINE(GetMovieTimeScale, Arg(movie));
    const State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    return object ? object->model.timeScale : 0;
}

TimeValue FakeGetMovieDuration(Movie movie)
{
    FAKE_ROUTINE(GetMovieDuration, Arg(movie));
    const State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    return object ? object->model.duration : 0;
}

void FakeSetMovieTimeScale(Movie movie, TimeScale scale)
{
    FAKE_ROUTINE(SetMovieTimeScale, Arg(movie), Arg(scale));
    State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    if (!object || scale <= 0)
        return;
    const LONGLONG old = object->model.timeScale;
    object->model.duration = TimeValue((LONGLONG(object->model.duration) * scale + old - 1) / old);
    object->time = TimeValue(LONGLONG(object->time) * scale / old);
    object->model.timeScale = scale;
}

// The media's duration in movie time, or the edits' sum.
TimeValue FakeGetTrackDuration(Track track)
{
    FAKE_ROUTINE(GetTrackDuration, Arg(track));
    const State::TrackObject *object = Checked(state.FindTrack(track), fault, invalidTrack);
    if (!object || object->model.timeScale <= 0 || object->movie->fileScale <= 0)
        return 0;
    LONGLONG fileUnits = 0;
    for (const TrackModel::Edit &e : object->model.edits)
        fileUnits += e.duration;
    if (object->model.edits.empty())
        fileUnits = (LONGLONG(object->model.duration) * object->movie->fileScale +
                     object->model.timeScale - 1) / object->model.timeScale;
    return TimeValue((fileUnits * object->movie->model.timeScale + object->movie->fileScale - 1) /
                     object->movie->fileScale);
}

void FakeGetMovieBox(Movie movie, Rect *box)
{
    FAKE_ROUTINE(GetMovieBox, Arg(movie), Arg(box));
    const State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    if (object && box)
        *box = object->box;
}

void FakeSetMovieBox(Movie movie, const Rect *box)
{
    FAKE_ROUTINE(SetMovieBox, Arg(movie), Arg(box));
    State::MovieObject *object = Checked(state.FindMovie(movie), fault, invalidMovie);
    if (object && box)
        object->box = *box;
}

Media FakeGetTrackMedia(Track track)
{
    FAKE_ROUTINE(GetTrackMedia, Arg(track));
    State::TrackObject *object = Checked(state.FindTrack(track), fault, invalidTrack);
    return object && !object->media.disposed ? reinterpret_cast<Media>(&object->media) : nullptr;
}

const TrackModel *MediaModel(State &state, Media media, OSErr fault)
{
    const State::MediaObject *object = Checked(state.FindMedia(media), fault, invalidMedia);
    return object ? object->model : nullptr;
}

TimeScale FakeGetMediaTimeScale(Media media)
{
    FAKE_ROUTINE(GetMediaTimeScale, Arg(media));
    const TrackModel *model = MediaModel(state, media, fault);
    return model ? model->timeScale : 0;
}

TimeValue FakeGetMediaDuration(Media media)
{
    FAKE_ROUTINE(GetMediaDuration, Arg(media));
    const TrackModel *model = MediaModel(state, media, fault);
    return model ? model->duration : 0;
}

long FakeGetMediaSampleCount(Media media)
{
    FAKE_ROUTINE(GetMediaSampleCount, Arg(media));
    const TrackModel *model = MediaModel(state, media, fault);
    return model ? model->sampleCount : 0;
}

void FakeGetMediaSampleDescription(Media media, long index, SampleDescriptionHandle desc)
{
    FAKE_ROUTINE(GetMediaSampleDescription, Arg(media), Arg(index), Arg(desc));
    const TrackModel *model = MediaModel(state, media, fault);
    if (!model)
        return;
    if (index != 1 || model->description.empty()) {
        SetMoviesError(badDataRefIndex);
        return;
    }
    const Handle h = reinterpret_cast<Handle>(desc);
    const OSErr err = QtsResizeHandle(h, Size(model->description.size()));
    if (err == noErr) {
        std::memcpy(*h, model->description.data(), model->description.size());
        state.descriptionSource[h] = model;
    }
    SetMoviesError(err);
}

OSErr FakeGetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension, OSType id)
{
    FAKE_ROUTINE(GetSoundDescriptionExtension, Arg(desc), Arg(extension), Arg(id));
    if (fault != noErr)
        return fault;
    if (!extension)
        return paramErr;
    const auto source = state.descriptionSource.find(reinterpret_cast<Handle>(desc));
    if (source == state.descriptionSource.end())
        return paramErr;
    const auto atom = source->second->extensions.find(id);
    if (atom == source->second->extensions.end())
        return paramErr;
    OSErr err;
    *extension = QtsNewHandle(Size(atom->second.size()), false, &err);
    if (*extension)
        std::memcpy(**extension, atom->second.data(), atom->second.size());
    return err;
}

// Samples fill a byte pattern of their index, so a test can tell which ones it got.
OSErr FakeGetMediaSample(Media media, Handle data, long maxSizeToGrow, long *size, TimeValue time,
                         TimeValue *sampleTime, TimeValue *durationPerSample,
                         SampleDescriptionHandle descH, long *descIndex, long maxSamples,
                         long *samples, SInt16 *flags)
{
    FAKE_ROUTINE(GetMediaSample, Arg(media), Arg(data), Arg(maxSizeToGrow), Arg(size), Arg(time),
                 Arg(sampleTime), Arg(durationPerSample), Arg(descH), Arg(descIndex),
                 Arg(maxSamples), Arg(samples), Arg(flags));
    if (fault != noErr)
        return fault;
    const TrackModel *model = MediaModel(state, media, noErr);
    if (!model)
        return invalidMedia;
    if (time < 0 || model->sampleDuration <= 0 || time / model->sampleDuration >= model->sampleCount)
        return invalidTime;
    const long first = time / model->sampleDuration;
    long count = model->sampleCount - first;
    if (maxSamples > 0)
        count = std::min(count, maxSamples);
    if (maxSizeToGrow > 0) {
        const long fit = model->sampleSize > 0 ? maxSizeToGrow / model->sampleSize : count;
        if (fit == 0)
            return maxSizeToGrowTooSmall;
        count = std::min(count, fit);
    }
    const long bytes = count * model->sampleSize;
    if (data) {
        if (const OSErr err = QtsResizeHandle(data, bytes))
            return err;
        for (long i = 0; i < count; ++i)
            std::memset(*data + i * model->sampleSize, int((first + i) & 0xFF), size_t(model->sampleSize));
    }
    if (size)
        *size = bytes;
    if (sampleTime)
        *sampleTime = first * model->sampleDuration;
    if (durationPerSample)
        *durationPerSample = model->sampleDuration;
    if (descIndex)
        *descIndex = 1;
    if (samples)
        *samples = count;
    if (flags)
        *flags = 0;
    return noErr;
}

// Sample starts on the model's grid: at the time itself with nextTimeEdgeOK, -1 past the end;
// with a negative rate the start at or before the time instead.
void NextSampleTime(const TrackModel *model, SInt16 flags, TimeValue time, Fixed rate, TimeValue *found,
                    TimeValue *duration)
{
    if (found)
        *found = -1;
    if (!model || model->sampleDuration <= 0 || model->sampleCount <= 0)
        return;
    const TimeValue step = model->sampleDuration;
    const bool edge = (flags & 0x4000) != 0;
    TimeValue start = 0;
    if (rate < 0) {
        const LONGLONG probe = std::min<LONGLONG>(edge ? time : LONGLONG(time) - 1,
                                                  LONGLONG(model->sampleCount) * step - 1);
        if (probe < 0)
            return;
        start = TimeValue(probe / step * step);
    } else {
        if (time >= 0) {
            start = time / step * step;
            if (start != time || !edge)
                start += step;
        }
        if (start >= model->sampleCount * step)
            return;
    }
    if (found)
        *found = start;
    if (duration)
        *duration = step;
}

void FakeGetMediaNextInterestingTime(Media media, SInt16 flags, TimeValue time, Fixed rate,
                                     TimeValue *found, TimeValue *duration)
{
    FAKE_ROUTINE(GetMediaNextInterestingTime, Arg(media), Arg(flags), Arg(time), Arg(rate),
                 Arg(found), Arg(duration));
    NextSampleTime(MediaModel(state, media, fault), flags, time, rate, found, duration);
}

// In movie time: the track's timeline (its samples' own times, through its edits).
void FakeGetTrackNextInterestingTime(Track track, SInt16 flags, TimeValue time, Fixed rate,
                                     TimeValue *found, TimeValue *duration)
{
    FAKE_ROUTINE(GetTrackNextInterestingTime, Arg(track), Arg(flags), Arg(time), Arg(rate),
                 Arg(found), Arg(duration));
    if (found)
        *found = -1;
    if (duration)
        *duration = 0;
    const State::TrackObject *object = Checked(state.FindTrack(track), fault, invalidTrack);
    if (!object)
        return;
    const Timeline timeline =
        TimelineOf(object->model, object->movie->fileScale, object->movie->model.timeScale);
    const LONGLONG at = NextInterestingTime(timeline, flags, time, rate);
    if (at < 0)
        return;
    if (found)
        *found = TimeValue(at);
    if (duration) {
        const LONGLONG next = NextInterestingTime(timeline, SInt16(flags & ~0x4000), at, 0x10000);
        *duration = TimeValue((next >= 0 ? next : object->movie->model.duration) - at);
    }
}

OSErr FakeDisposeTrackMedia(Media media)
{
    FAKE_ROUTINE(DisposeTrackMedia, Arg(media));
    if (fault != noErr)
        return fault;
    State::MediaObject *object = state.FindMedia(media);
    if (!object)
        return invalidMedia;
    object->disposed = true;
    return noErr;
}

void FakeDisposeMovieTrack(Track track)
{
    FAKE_ROUTINE(DisposeMovieTrack, Arg(track));
    State::TrackObject *object = Checked(state.FindTrack(track), fault, invalidTrack);
    if (object)
        object->disposed = true;
}

const QtsRoutine kFakeMovieRoutines[] = {
    QTS_ROUTINE_AS(NativePathNameToFSSpec, FakeNativePathNameToFSSpec),
    QTS_ROUTINE_AS(OpenMovieFile, FakeOpenMovieFile),
    QTS_ROUTINE_AS(NewMovieFromFile, FakeNewMovieFromFile),
    QTS_ROUTINE_AS(CloseMovieFile, FakeCloseMovieFile),
    QTS_ROUTINE_AS(DisposeMovie, FakeDisposeMovie),
    QTS_ROUTINE_AS(GetMoviesError, FakeGetMoviesError),
    QTS_ROUTINE_AS(GetMovieTrackCount, FakeGetMovieTrackCount),
    QTS_ROUTINE_AS(GetMovieIndTrackType, FakeGetMovieIndTrackType),
    QTS_ROUTINE_AS(GetMovieTimeScale, FakeGetMovieTimeScale),
    QTS_ROUTINE_AS(GetMovieDuration, FakeGetMovieDuration),
    QTS_ROUTINE_AS(GetMovieBox, FakeGetMovieBox),
    QTS_ROUTINE_AS(SetMovieBox, FakeSetMovieBox),
    QTS_ROUTINE_AS(GetTrackMedia, FakeGetTrackMedia),
    QTS_ROUTINE_AS(GetMediaTimeScale, FakeGetMediaTimeScale),
    QTS_ROUTINE_AS(GetMediaDuration, FakeGetMediaDuration),
    QTS_ROUTINE_AS(GetMediaSampleCount, FakeGetMediaSampleCount),
    QTS_ROUTINE_AS(GetMediaSampleDescription, FakeGetMediaSampleDescription),
    QTS_ROUTINE_AS(GetSoundDescriptionExtension, FakeGetSoundDescriptionExtension),
    QTS_ROUTINE_AS(GetMediaSample, FakeGetMediaSample),
    QTS_ROUTINE_AS(GetMediaNextInterestingTime, FakeGetMediaNextInterestingTime),
    QTS_ROUTINE_AS(GetTrackNextInterestingTime, FakeGetTrackNextInterestingTime),
    QTS_ROUTINE_AS(SetMovieTimeScale, FakeSetMovieTimeScale),
    QTS_ROUTINE_AS(GetTrackDuration, FakeGetTrackDuration),
    QTS_ROUTINE_AS(DisposeTrackMedia, FakeDisposeTrackMedia),
    QTS_ROUTINE_AS(DisposeMovieTrack, FakeDisposeMovieTrack),
};
QTS_REGISTER_ROUTINES(kFakeMovieRoutines);

}  // namespace
