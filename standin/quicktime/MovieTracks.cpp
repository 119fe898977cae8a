// The movie, track and media routines: counts, indexed lookup by type, time scales,
// durations, boxes, sample descriptions in the records' native layout, samples, and the
// next interesting times, each over the engine's immutable movie.
#include <algorithm>
#include <cstring>

#include "HandleHeap.h"
#include "description.h"
#include "decoder.h"
#include "MovieObjects.h"
#include "RoutineTable.h"
#include "timemath.h"

namespace {

constexpr long movieTrackMediaType = 1, movieTrackCharacteristic = 2, movieTrackEnabledOnly = 4;
constexpr SInt16 mediaSampleNotSync = 1;

TimeValue ClampTime(int64_t t)
{
    return TimeValue(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, t)));
}

std::vector<Track> TracksOf(QtsMovie &movie)
{
    std::lock_guard<std::mutex> lock(movie.lock);
    return movie.tracks;
}

bool TrackMatches(const qte::TrackInfo &info, OSType type, long flags)
{
    if ((flags & movieTrackEnabledOnly) && !info.enabled)
        return false;
    if (flags & movieTrackCharacteristic) {
        if (type == QTFourCC("eyes"))
            return info.kind == qte::Kind::video;
        if (type == QTFourCC("ears"))
            return info.kind == qte::Kind::sound;
        return false;
    }
    if (flags & movieTrackMediaType)
        return info.handler == type;
    return true;
}

// Swaps the description's fixed big-endian fields into native order: the sample
// description header, then the image or the sound (version 0, 1 or 2) fields.
void SwapField(uint8_t *bytes, size_t size, size_t offset, size_t width)
{
    if (offset + width > size)
        return;
    std::reverse(bytes + offset, bytes + offset + width);
}

void NativeDescription(uint8_t *bytes, size_t size, qte::Kind kind, uint16_t soundVersion)
{
    static const uint8_t header[][2] = {{0, 4}, {4, 4}, {8, 4}, {12, 2}, {14, 2}};
    static const uint8_t image[][2] = {{16, 2}, {18, 2}, {20, 4}, {24, 4}, {28, 4}, {32, 2},
                                       {34, 2}, {36, 4}, {40, 4}, {44, 4}, {48, 2}, {82, 2},
                                       {84, 2}};
    static const uint8_t sound[][2] = {{16, 2}, {18, 2}, {20, 4}, {24, 2}, {26, 2},
                                       {28, 2}, {30, 2}, {32, 4}};
    static const uint8_t sound1[][2] = {{36, 4}, {40, 4}, {44, 4}, {48, 4}};
    static const uint8_t sound2[][2] = {{36, 4}, {40, 8}, {48, 4}, {52, 4},
                                        {56, 4}, {60, 4}, {64, 4}, {68, 4}};
    for (const auto &f : header)
        SwapField(bytes, size, f[0], f[1]);
    if (kind == qte::Kind::video) {
        for (const auto &f : image)
            SwapField(bytes, size, f[0], f[1]);
    } else if (kind == qte::Kind::sound) {
        for (const auto &f : sound)
            SwapField(bytes, size, f[0], f[1]);
        if (soundVersion == 1) {
            for (const auto &f : sound1)
                SwapField(bytes, size, f[0], f[1]);
        } else if (soundVersion == 2) {
            for (const auto &f : sound2)
                SwapField(bytes, size, f[0], f[1]);
        }
    }
}

template <typename T>
void PutNative(uint8_t *bytes, size_t size, size_t offset, T value)
{
    if (offset + sizeof value <= size)
        std::memcpy(bytes + offset, &value, sizeof value);
}

// Compressed sound as its decoder sees it: the configuration's rate and channels (an 'mp4a'
// entry in an MP4 says 2 channels whatever the stream holds), and variable compression where
// each packet is a sample of its own size.
void DescribeDecodedSound(const qte::Track &track, const qte::SampleDescription &d, uint8_t *bytes,
                          size_t size)
{
    if (!qte::decoderDecodesSound(d) || d.soundVersion > 1)
        return;
    uint8_t first[4];
    uint64_t offset = 0;
    uint32_t firstSize = 0, desc = 0;
    qte::SampleRun run;
    const bool havePacket = track.sampleLocation(0, &offset, &firstSize, &desc) == qte::noErr &&
                            firstSize >= sizeof first;
    run.offset = offset;
    run.bytes = sizeof first;
    qte::AudioCodec codec;
    if (qte::audioCodecOf(d, havePacket && track.read(run, first) == qte::noErr ? first : nullptr, sizeof first,
                          &codec) != qte::noErr)
        return;
    PutNative(bytes, size, 24, SInt16(codec.channels));
    if (codec.sampleRate <= 0xFFFF)
        PutNative(bytes, size, 32, UInt32(codec.sampleRate) << 16);
    if (track.sampleCount() && track.locate(0, 1, 0, run) == qte::noErr && run.durationEach > 1)
        PutNative(bytes, size, 28, SInt16(-2));
}

OSErr CopyDescription(const qte::Track &track, uint32_t index, Handle out)
{
    const qte::TrackInfo &info = track.info();
    if (index < 1 || index > info.descriptions.size())
        return badDataRefIndex;
    const qte::SampleDescription &d = info.descriptions[index - 1];
    const OSErr err = QtsResizeHandle(out, Size(d.stored.size()));
    if (err != noErr)
        return err;
    uint8_t *bytes = reinterpret_cast<uint8_t *>(*out);
    std::memcpy(bytes, d.stored.data(), d.stored.size());
    NativeDescription(bytes, d.stored.size(), info.kind, d.soundVersion);
    if (info.kind == qte::Kind::sound)
        DescribeDecodedSound(track, d, bytes, d.stored.size());
    return noErr;
}

// Compressed sound's packets differ in size: a run of them is cut where the size changes, so
// that a reader can hand on one common packet size.
void KeepOneSize(const qte::Track &track, qte::SampleRun &run)
{
    if (run.count < 2 || run.durationEach <= 1 || run.description < 1 ||
        !qte::decoderDecodesSound(track.info().descriptions[run.description - 1]))
        return;
    uint64_t offset = 0;
    uint32_t first = 0, size = 0, desc = 0;
    track.sampleLocation(run.first, &offset, &first, &desc);
    uint64_t n = 1;
    while (n < run.count && track.sampleLocation(run.first + n, &offset, &size, &desc) == qte::noErr &&
           size == first)
        ++n;
    if (n == run.count)
        return;
    qte::SampleRun shorter;
    if (track.locate(run.time, n, 0, shorter) == qte::noErr && shorter.count == n)
        run = shorter;
}

uint32_t ReadBig32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void PutBig32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

constexpr OSType kDecompressionParams = QTFourCC("wave");

// The payload of the first atom of `type` in [begin, end), searching one level into a 'wave'.
bool FindAtom(const uint8_t *begin, const uint8_t *end, OSType type, int depth,
              const uint8_t **payload, size_t *size)
{
    while (end - begin >= 8) {
        const uint32_t atomSize = ReadBig32(begin);
        const OSType atomType = ReadBig32(begin + 4);
        if (atomSize < 8 || atomSize > size_t(end - begin))
            return false;
        if (atomType == type) {
            *payload = begin + 8;
            *size = atomSize - 8;
            return true;
        }
        if (atomType == QTFourCC("wave") && depth == 0 &&
            FindAtom(begin + 8, begin + atomSize, type, 1, payload, size))
            return true;
        begin += atomSize;
    }
    return false;
}

// The sample found lasts until the next one starts, or until `end`.
void AnswerNextTime(int64_t found, int64_t next, int64_t end, TimeValue *interestingTime,
                    TimeValue *interestingDuration)
{
    if (found < 0)
        return;
    if (interestingTime)
        *interestingTime = ClampTime(found);
    if (interestingDuration)
        *interestingDuration = ClampTime(std::max<int64_t>(0, (next >= 0 ? next : end) - found));
}

std::shared_ptr<QtsTrack> FindMedia(Media theMedia)
{
    return QtsMedia().Find(theMedia);
}

}  // namespace

extern "C" {

long GetMovieTrackCount(Movie theMovie)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie)
        return QtsSetMoviesError(paramErr), 0;
    QtsSetMoviesError(noErr);
    std::lock_guard<std::mutex> lock(movie->lock);
    return long(movie->tracks.size());
}

Track GetMovieIndTrackType(Movie theMovie, long index, OSType trackType, long flags)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie || index < 1)
        return QtsSetMoviesError(paramErr), nullptr;
    long seen = 0;
    for (Track handle : TracksOf(*movie)) {
        const std::shared_ptr<QtsTrack> track = QtsTracks().Find(handle);
        if (track && TrackMatches(track->engine->info(), trackType, flags) && ++seen == index) {
            QtsSetMoviesError(noErr);
            return handle;
        }
    }
    QtsSetMoviesError(noErr);  // no such track is an answer, not an error
    return nullptr;
}

TimeScale GetMovieTimeScale(Movie theMovie)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie)
        return QtsSetMoviesError(paramErr), 0;
    QtsSetMoviesError(noErr);
    return TimeScale(movie->timeScale.load());
}

void SetMovieTimeScale(Movie theMovie, TimeScale timeScale)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie || timeScale <= 0) {
        QtsSetMoviesError(paramErr);
        return;
    }
    std::lock_guard<std::mutex> lock(movie->lock);
    movie->time = ClampTime(qte::mulDiv(movie->time, uint32_t(timeScale), movie->timeScale.load()));
    movie->timeScale = uint32_t(timeScale);
    QtsSetMoviesError(noErr);
}

TimeValue GetMovieDuration(Movie theMovie)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie)
        return QtsSetMoviesError(paramErr), 0;
    QtsSetMoviesError(noErr);
    return ClampTime(QtsMovieTime(*movie, movie->engine->duration()));
}

void GetMovieBox(Movie theMovie, Rect *boxRect)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie || !boxRect) {
        QtsSetMoviesError(paramErr);
        return;
    }
    std::lock_guard<std::mutex> lock(movie->lock);
    *boxRect = movie->box;
    QtsSetMoviesError(noErr);
}

void SetMovieBox(Movie theMovie, const Rect *boxRect)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie || !boxRect || boxRect->right < boxRect->left || boxRect->bottom < boxRect->top) {
        QtsSetMoviesError(paramErr);
        return;
    }
    std::lock_guard<std::mutex> lock(movie->lock);
    movie->box = *boxRect;
    QtsSetMoviesError(QtsApplyMovieWorld(*movie));
}

Media GetTrackMedia(Track theTrack)
{
    const std::shared_ptr<QtsTrack> track = QtsTracks().Find(theTrack);
    if (!track)
        return QtsSetMoviesError(paramErr), nullptr;
    std::lock_guard<std::mutex> lock(track->movie->lock);
    const auto &tracks = track->movie->tracks;
    const auto found = std::find(tracks.begin(), tracks.end(), theTrack);
    QtsSetMoviesError(noErr);
    return found == tracks.end() ? nullptr : track->movie->media[size_t(found - tracks.begin())];
}

TimeScale GetMediaTimeScale(Media theMedia)
{
    const std::shared_ptr<QtsTrack> media = FindMedia(theMedia);
    if (!media)
        return QtsSetMoviesError(paramErr), 0;
    QtsSetMoviesError(noErr);
    return TimeScale(media->engine->info().mediaTimeScale);
}

TimeValue GetMediaDuration(Media theMedia)
{
    const std::shared_ptr<QtsTrack> media = FindMedia(theMedia);
    if (!media)
        return QtsSetMoviesError(paramErr), 0;
    QtsSetMoviesError(noErr);
    return ClampTime(media->engine->info().mediaDuration);
}

long GetMediaSampleCount(Media theMedia)
{
    const std::shared_ptr<QtsTrack> media = FindMedia(theMedia);
    if (!media)
        return QtsSetMoviesError(paramErr), 0;
    QtsSetMoviesError(noErr);
    return long(std::min<uint64_t>(media->engine->sampleCount(), INT32_MAX));
}

void GetMediaSampleDescription(Media theMedia, long index, SampleDescriptionHandle descH)
{
    const std::shared_ptr<QtsTrack> media = FindMedia(theMedia);
    Size size;
    if (!media || !descH || QtsGetHandleSize(reinterpret_cast<Handle>(descH), &size) != noErr) {
        QtsSetMoviesError(paramErr);
        return;
    }
    QtsSetMoviesError(CopyDescription(*media->engine, index < 1 ? 0 : uint32_t(index),
                                      reinterpret_cast<Handle>(descH)));
}

OSErr GetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension, OSType idType)
{
    if (extension)
        *extension = nullptr;
    Size size;
    if (!desc || !extension || QtsGetHandleSize(reinterpret_cast<Handle>(desc), &size) != noErr ||
        size_t(size) < sizeof(SoundDescription))
        return paramErr;
    const SoundDescription &sound = **desc;
    const size_t fixed = sound.version == 2 ? 72 : sound.version == 1 ? sizeof(SoundDescriptionV1)
                                                                        : sizeof(SoundDescription);
    size_t end = std::min<size_t>(size_t(size), sound.descSize > 0 ? size_t(sound.descSize) : 0);
    if (end < fixed)
        return paramErr;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(*desc);
    const uint8_t *payload = nullptr;
    size_t payloadSize = 0;
    if (FindAtom(bytes + fixed, bytes + end, idType, 0, &payload, &payloadSize)) {
        OSErr err;
        const Handle copy = QtsNewHandle(Size(payloadSize), false, &err);
        if (!copy)
            return err;
        if (payloadSize)
            std::memcpy(*copy, payload, payloadSize);
        *extension = copy;
        return noErr;
    }
    // An MP4 keeps a codec's configuration ('esds', 'dOps', 'dfLa', 'alac', 'dac3' ...) beside
    // the entry's fields, where QuickTime's own files keep it inside 'wave': the decompression
    // parameters are made as QuickTime makes them, 'frma' and that atom.
    qte::SampleDescription entry;  // the handle's fields are native: its atoms alone are read
    entry.kind = qte::Kind::sound;
    entry.format = sound.dataFormat;
    if (idType != kDecompressionParams ||
        qte::setExtensionAtoms(entry, bytes + fixed, end - fixed) != qte::noErr)
        return paramErr;
    uint32_t configSize = 0;
    const OSType configType = qte::soundConfigurationAtom(qte::codecOf(entry));
    const uint8_t *config = configType ? entry.extension(configType, &configSize) : nullptr;
    if (!config)
        return paramErr;
    const size_t atomSize = size_t(configSize) + 8;
    OSErr err;
    const Handle wave = QtsNewHandle(Size(12 + atomSize + 8), true, &err);
    if (!wave)
        return err;
    uint8_t *out = reinterpret_cast<uint8_t *>(*wave);
    PutBig32(out, 12);
    PutBig32(out + 4, QTFourCC("frma"));
    PutBig32(out + 8, sound.dataFormat);
    PutBig32(out + 12, uint32_t(atomSize));
    PutBig32(out + 16, configType);
    std::memcpy(out + 20, config, configSize);
    PutBig32(out + 12 + atomSize, 8);  // the terminator atom
    *extension = wave;
    return noErr;
}

OSErr GetMediaSample(Media theMedia, Handle dataOut, long maxSizeToGrow, long *size,
                     TimeValue time, TimeValue *sampleTime, TimeValue *durationPerSample,
                     SampleDescriptionHandle sampleDescriptionH, long *sampleDescriptionIndex,
                     long maxNumberOfSamples, long *numberOfSamples, SInt16 *sampleFlags)
{
    const std::shared_ptr<QtsTrack> media = FindMedia(theMedia);
    Size ignored;
    if (!media || maxSizeToGrow < 0 || maxNumberOfSamples < 0 ||
        (dataOut && QtsGetHandleSize(dataOut, &ignored) != noErr) ||
        (sampleDescriptionH &&
         QtsGetHandleSize(reinterpret_cast<Handle>(sampleDescriptionH), &ignored) != noErr))
        return QtsSetMoviesError(paramErr);
    const qte::Track &track = *media->engine;
    qte::SampleRun run;
    const qte::Err located = track.locate(time, uint64_t(maxNumberOfSamples),
                                          dataOut ? uint64_t(maxSizeToGrow) : 0, run);
    if (located != qte::noErr)
        return QtsSetMoviesError(QtsOSErr(located));
    if (run.description < 1 || run.description > track.info().descriptions.size())
        return QtsSetMoviesError(badDataRefIndex);
    KeepOneSize(track, run);
    if (run.bytes > uint64_t(INT32_MAX))
        return QtsSetMoviesError(maxSizeToGrowTooSmall);
    if (dataOut) {
        OSErr err = QtsResizeHandle(dataOut, Size(run.bytes));
        if (err == noErr)
            err = QtsOSErr(track.read(run, *dataOut));
        if (err != noErr)
            return QtsSetMoviesError(err);
    }
    if (sampleDescriptionH) {
        const OSErr err = CopyDescription(track, run.description,
                                          reinterpret_cast<Handle>(sampleDescriptionH));
        if (err != noErr)
            return QtsSetMoviesError(err);
    }
    if (size)
        *size = long(run.bytes);
    if (sampleTime)
        *sampleTime = ClampTime(run.time);
    if (durationPerSample)
        *durationPerSample = ClampTime(run.durationEach);
    if (sampleDescriptionIndex)
        *sampleDescriptionIndex = long(run.description);
    if (numberOfSamples)
        *numberOfSamples = long(std::min<uint64_t>(run.count, INT32_MAX));
    if (sampleFlags)
        *sampleFlags = run.sync ? 0 : mediaSampleNotSync;
    return QtsSetMoviesError(noErr);
}

void GetMediaNextInterestingTime(Media theMedia, SInt16 interestingTimeFlags, TimeValue time,
                                 Fixed rate, TimeValue *interestingTime,
                                 TimeValue *interestingDuration)
{
    if (interestingTime)
        *interestingTime = -1;
    if (interestingDuration)
        *interestingDuration = 0;
    const std::shared_ptr<QtsTrack> media = FindMedia(theMedia);
    if (!media) {
        QtsSetMoviesError(paramErr);
        return;
    }
    const qte::Track &track = *media->engine;
    const uint32_t flags = uint16_t(interestingTimeFlags);
    const int64_t found = track.nextMediaTime(time, flags, rate);
    const uint32_t after = flags & ~uint32_t(qte::nextTimeEdgeOK);
    AnswerNextTime(found, found >= 0 && interestingDuration ? track.nextMediaTime(found, after, 0x10000) : -1,
                   track.info().mediaDuration, interestingTime, interestingDuration);
    QtsSetMoviesError(noErr);
}

void GetTrackNextInterestingTime(Track theTrack, SInt16 interestingTimeFlags, TimeValue time,
                                 Fixed rate, TimeValue *interestingTime,
                                 TimeValue *interestingDuration)
{
    if (interestingTime)
        *interestingTime = -1;
    if (interestingDuration)
        *interestingDuration = 0;
    const std::shared_ptr<QtsTrack> track = QtsTracks().Find(theTrack);
    if (!track) {
        QtsSetMoviesError(paramErr);
        return;
    }
    const qte::Track &engine = *track->engine;
    const uint32_t scale = track->movie->timeScale;
    const uint32_t flags = uint16_t(interestingTimeFlags);
    const int64_t found = engine.nextTrackTime(time, flags, rate, scale);
    const uint32_t after = flags & ~uint32_t(qte::nextTimeEdgeOK);
    // The duration costs a second search; the video pins ask per frame and do not want it.
    AnswerNextTime(found,
                   found >= 0 && interestingDuration ? engine.nextTrackTime(found, after, 0x10000, scale) : -1,
                   QtsMovieTime(*track->movie, track->movie->engine->duration()), interestingTime,
                   interestingDuration);
    QtsSetMoviesError(noErr);
}

TimeValue GetTrackDuration(Track theTrack)
{
    const std::shared_ptr<QtsTrack> track = QtsTracks().Find(theTrack);
    if (!track)
        return QtsSetMoviesError(paramErr), 0;
    // Its edits' length; without edits, its media's, rounded up.
    const qte::TrackInfo &info = track->engine->info();
    int64_t duration = 0;
    for (const qte::Edit &e : info.edits)
        duration += e.duration;
    if (info.edits.empty())
        duration = qte::mulDivUp(info.mediaDuration, track->movie->engine->timeScale(),
                                 info.mediaTimeScale);
    QtsSetMoviesError(noErr);
    return ClampTime(QtsMovieTime(*track->movie, duration));
}

OSErr DisposeTrackMedia(Media theMedia)
{
    const std::shared_ptr<QtsTrack> media = QtsMedia().Remove(theMedia);
    if (!media)
        return QtsSetMoviesError(paramErr);
    std::lock_guard<std::mutex> lock(media->movie->lock);
    for (Media &m : media->movie->media) {
        if (m == theMedia)
            m = nullptr;
    }
    return QtsSetMoviesError(noErr);
}

void DisposeMovieTrack(Track theTrack)
{
    const std::shared_ptr<QtsTrack> track = QtsTracks().Remove(theTrack);
    if (!track) {
        QtsSetMoviesError(paramErr);
        return;
    }
    Media media = nullptr;
    {
        std::lock_guard<std::mutex> lock(track->movie->lock);
        auto &tracks = track->movie->tracks;
        const auto found = std::find(tracks.begin(), tracks.end(), theTrack);
        if (found != tracks.end()) {
            const size_t i = size_t(found - tracks.begin());
            media = track->movie->media[i];
            tracks.erase(found);
            track->movie->media.erase(track->movie->media.begin() + ptrdiff_t(i));
        }
    }
    QtsMedia().Remove(media);
    QtsSetMoviesError(noErr);
}

}  // extern "C"

namespace {
const QtsRoutine kMovieTrackRoutines[] = {
    QTS_ROUTINE(GetMovieTrackCount),          QTS_ROUTINE(GetMovieIndTrackType),
    QTS_ROUTINE(GetMovieTimeScale),           QTS_ROUTINE(GetMovieDuration),
    QTS_ROUTINE(SetMovieTimeScale),           QTS_ROUTINE(GetTrackDuration),
    QTS_ROUTINE(GetMovieBox),                 QTS_ROUTINE(SetMovieBox),
    QTS_ROUTINE(GetTrackMedia),               QTS_ROUTINE(GetMediaTimeScale),
    QTS_ROUTINE(GetMediaDuration),            QTS_ROUTINE(GetMediaSampleCount),
    QTS_ROUTINE(GetMediaSampleDescription),   QTS_ROUTINE(GetSoundDescriptionExtension),
    QTS_ROUTINE(GetMediaSample),              QTS_ROUTINE(GetMediaNextInterestingTime),
    QTS_ROUTINE(GetTrackNextInterestingTime), QTS_ROUTINE(DisposeTrackMedia),
    QTS_ROUTINE(DisposeMovieTrack),
};
QTS_REGISTER_ROUTINES(kMovieTrackRoutines);
}  // namespace
