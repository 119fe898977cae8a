// The fake QuickTime through the binding, the way the filter and its pins will drive it.
#include <gtest/gtest.h>

#include <cstring>

#include "FakeQuickTime.h"

using fakeqt::FakeQuickTime;
using fakeqt::MovieModel;
using fakeqt::TrackModel;

namespace {

const OSType kVideo = QTFourCC("vide");
const OSType kSound = QTFourCC("soun");

MovieModel TwoSoundTracksAndVideo()
{
    MovieModel movie;
    movie.timeScale = 600;
    movie.duration = 6000;
    movie.box = {10, 20, 250, 340};
    movie.tracks.push_back(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 441000));
    movie.tracks.push_back(TrackModel::Video(320, 240, QTFourCC("raw "), 600, 6000, 300));
    movie.tracks.push_back(TrackModel::Sound(1, 22050, 8, QTFourCC("raw "), 22050, 220500));
    return movie;
}

// Opens the model as the filter does; null on failure.
Movie OpenMovie(OSErr *newMovieErr = nullptr)
{
    char path[] = "C:\\movies\\test.mov";
    FSSpec spec;
    NativePathNameToFSSpec(path, &spec, 0);
    SInt16 reference = 0;
    if (OpenMovieFile(&spec, &reference, 3) != noErr && OpenMovieFile(&spec, &reference, 1) != noErr)
        return nullptr;
    Movie movie = reinterpret_cast<Movie>(0x7EADBEEF);
    const OSErr err = NewMovieFromFile(&movie, reference, nullptr, nullptr, 1, nullptr);
    if (newMovieErr)
        *newMovieErr = err;
    CloseMovieFile(reference);
    return movie;
}

TEST(FakeQuickTime, InstallsIntoTheBindingAndRestoresIt)
{
    const QuickTimeBindingRecord before = QuickTimeBinding;
    {
        FakeQuickTime fake;
        EXPECT_EQ(QuickTimeBinding.preCallHook, nullptr);
        EXPECT_EQ(QuickTimeBinding.initCount, 1);
        EXPECT_EQ(InitializeQTML(0), noErr);
        EXPECT_EQ(QuickTimeBinding.initCount, 2);
        EXPECT_EQ(EnterMovies(), noErr);
        ExitMovies();
        TerminateQTML();
        EXPECT_EQ(QuickTimeBinding.initCount, 1);
        EXPECT_EQ(fake.CountOf(kQTSel_InitializeQTML), 0u) << "the library was started again";
        EXPECT_EQ(fake.CountOf(kQTSel_EnterMovies), 1u);
        EXPECT_EQ(fake.CountOf(kQTSel_ExitMovies), 1u);
    }
    EXPECT_EQ(QuickTimeBinding.preCallHook, before.preCallHook);
    EXPECT_EQ(QuickTimeBinding.dispatcher, before.dispatcher);
    EXPECT_EQ(QuickTimeBinding.initCount, before.initCount);
}

TEST(FakeQuickTime, GestaltAnswers)
{
    FakeQuickTime fake;
    long version = 0;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &version), noErr);
    EXPECT_EQ(version, 0x07798000);
    fake.SetGestalt(noErr, 0x070FFFFF);
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &version), noErr);
    EXPECT_EQ(version, 0x070FFFFF);
    fake.SetGestalt(-5551, 0);
    version = 0x7EADBEEF;
    EXPECT_EQ(Gestalt(QTFourCC("qtim"), &version), -5551);
    EXPECT_EQ(version, 0x7EADBEEF);
}

TEST(FakeQuickTime, OpensTheModelWithTracksByType)
{
    FakeQuickTime fake;
    MovieModel model = TwoSoundTracksAndVideo();
    model.readOnlyFile = true;
    fake.SetMovie(model);

    const Movie movie = OpenMovie();
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(movie, fake.OpenedMovie());
    const std::vector<fakeqt::Call> opens = fake.CallsTo(kQTSel_OpenMovieFile);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].args[2], 3u);
    EXPECT_EQ(opens[1].args[2], 1u);
    EXPECT_EQ(fake.CountOf(kQTSel_NativePathNameToFSSpec), 1u);
    char path[] = "D:\\other.mov";
    FSSpec spec;
    std::memset(&spec, 0xCC, sizeof spec);
    EXPECT_EQ(NativePathNameToFSSpec(path, &spec, 0), noErr);
    EXPECT_EQ(spec.vRefNum, 0);
    EXPECT_EQ(fake.PathOf(spec), "D:\\other.mov");

    EXPECT_EQ(GetMovieTrackCount(movie), 3);
    EXPECT_EQ(GetMovieIndTrackType(movie, 1, kSound, 1), fake.TrackAt(0));
    EXPECT_EQ(GetMovieIndTrackType(movie, 2, kSound, 1), fake.TrackAt(2));
    EXPECT_EQ(GetMovieIndTrackType(movie, 1, kVideo, 1), fake.TrackAt(1));
    EXPECT_EQ(GetMovieIndTrackType(movie, 2, kVideo, 1), nullptr);
    EXPECT_EQ(GetMovieIndTrackType(movie, 1, QTFourCC("flsh"), 1), nullptr);
    EXPECT_EQ(GetMovieTimeScale(movie), 600);
    EXPECT_EQ(GetMovieDuration(movie), 6000);

    const Media media = GetTrackMedia(fake.TrackAt(2));
    EXPECT_EQ(media, fake.MediaAt(2));
    EXPECT_EQ(GetMediaTimeScale(media), 22050);
    EXPECT_EQ(GetMediaDuration(media), 220500);
    EXPECT_EQ(GetMediaSampleCount(GetTrackMedia(fake.TrackAt(1))), 300);
}

TEST(FakeQuickTime, MovieBoxMovesToTheOrigin)
{
    FakeQuickTime fake;
    fake.SetMovie(TwoSoundTracksAndVideo());
    const Movie movie = OpenMovie();
    Rect box = {};
    GetMovieBox(movie, &box);
    MacOffsetRect(&box, SInt16(-box.left), SInt16(-box.top));
    SetMovieBox(movie, &box);
    Rect moved = {1, 1, 1, 1};
    GetMovieBox(movie, &moved);
    EXPECT_EQ(moved.top, 0);
    EXPECT_EQ(moved.left, 0);
    EXPECT_EQ(moved.bottom, 240);
    EXPECT_EQ(moved.right, 320);
}

TEST(FakeQuickTime, OpeningFailures)
{
    FakeQuickTime fake;
    MovieModel model = TwoSoundTracksAndVideo();
    model.openError = fnfErr;
    fake.SetMovie(model);
    EXPECT_EQ(OpenMovie(), nullptr);

    model.openError = noErr;
    model.newMovieError = invalidTrack;
    fake.SetMovie(model);
    OSErr err = noErr;
    EXPECT_EQ(OpenMovie(&err), nullptr);
    EXPECT_EQ(err, invalidTrack);

    model.movieDespiteError = true;
    fake.SetMovie(model);
    const Movie movie = OpenMovie(&err);
    EXPECT_NE(movie, nullptr);
    EXPECT_EQ(err, invalidTrack);
}

TEST(FakeQuickTime, DisposalsAreRecordedAndStaleHandlesRecognised)
{
    FakeQuickTime fake;
    fake.SetMovie(TwoSoundTracksAndVideo());
    const Movie movie = OpenMovie();
    const Track track = GetMovieIndTrackType(movie, 1, kVideo, 1);
    const Media media = GetTrackMedia(track);

    EXPECT_EQ(DisposeTrackMedia(media), noErr);
    DisposeMovieTrack(track);
    DisposeMovie(movie);
    EXPECT_EQ(GetMoviesError(), noErr);
    DisposeMovie(movie);
    EXPECT_EQ(GetMoviesError(), invalidMovie);
    EXPECT_EQ(DisposeTrackMedia(media), invalidMedia);

    const std::vector<fakeqt::Call> medias = fake.CallsTo(kQTSel_DisposeTrackMedia);
    ASSERT_EQ(medias.size(), 2u);
    EXPECT_EQ(medias[0].args[0], reinterpret_cast<uintptr_t>(fake.MediaAt(1)));
    ASSERT_EQ(fake.CountOf(kQTSel_DisposeMovieTrack), 1u);
    EXPECT_EQ(fake.CallsTo(kQTSel_DisposeMovieTrack)[0].args[0], reinterpret_cast<uintptr_t>(fake.TrackAt(1)));
    EXPECT_EQ(fake.CountOf(kQTSel_DisposeMovie), 2u);
}

TEST(FakeQuickTime, SampleDescriptionsAndExtensions)
{
    FakeQuickTime fake;
    MovieModel model = TwoSoundTracksAndVideo();
    model.tracks[0].extensions[QTFourCC("wave")] = {1, 2, 3, 4, 5};
    fake.SetMovie(model);
    const Movie movie = OpenMovie();

    Handle desc = NewHandle(0);
    GetMediaSampleDescription(GetTrackMedia(GetMovieIndTrackType(movie, 1, kSound, 1)), 1,
                              reinterpret_cast<SampleDescriptionHandle>(desc));
    EXPECT_EQ(GetMoviesError(), noErr);
    ASSERT_EQ(GetHandleSize(desc), 36);
    const auto *sound = reinterpret_cast<const SoundDescription *>(*desc);
    EXPECT_EQ(sound->dataFormat, QTFourCC("twos"));
    EXPECT_EQ(sound->numChannels, 2);
    EXPECT_EQ(sound->sampleSize, 16);
    EXPECT_EQ(sound->sampleRate >> 16, 44100u);

    Handle extension = reinterpret_cast<Handle>(0x7EADBEEF);
    EXPECT_EQ(GetSoundDescriptionExtension(reinterpret_cast<SoundDescriptionHandle>(desc), &extension,
                                           QTFourCC("wave")),
              noErr);
    ASSERT_EQ(GetHandleSize(extension), 5);
    EXPECT_EQ(std::memcmp(*extension, "\1\2\3\4\5", 5), 0);
    DisposeHandle(extension);
    EXPECT_EQ(GetSoundDescriptionExtension(reinterpret_cast<SoundDescriptionHandle>(desc), &extension,
                                           QTFourCC("esds")),
              paramErr);

    fake.Fail(kQTSel_GetMediaSampleDescription, badDataRefIndex, 1);
    GetMediaSampleDescription(fake.MediaAt(1), 1, reinterpret_cast<SampleDescriptionHandle>(desc));
    EXPECT_EQ(GetMoviesError(), badDataRefIndex);
    GetMediaSampleDescription(fake.MediaAt(1), 1, reinterpret_cast<SampleDescriptionHandle>(desc));
    EXPECT_EQ(GetMoviesError(), noErr);
    EXPECT_EQ(GetHandleSize(desc), 86);
    EXPECT_EQ(reinterpret_cast<const ImageDescription *>(*desc)->cType, QTFourCC("raw "));
    DisposeHandle(desc);
}

TEST(FakeQuickTime, MediaSamplesFitTheSizeLimit)
{
    FakeQuickTime fake;
    fake.SetMovie(TwoSoundTracksAndVideo());
    OpenMovie();
    const Media media = fake.MediaAt(0);
    Handle data = NewHandle(176400);
    HLock(data);
    long size = -1, samples = -1;
    TimeValue sampleTime = -1, duration = -1;
    EXPECT_EQ(GetMediaSample(media, data, 176400, &size, 1000, &sampleTime, &duration, nullptr,
                             nullptr, 0, &samples, nullptr),
              noErr);
    EXPECT_EQ(size, 176400);
    EXPECT_EQ(samples, 44100);
    EXPECT_EQ(duration, 1);
    EXPECT_EQ(sampleTime, 1000);
    EXPECT_EQ(UInt8((*data)[0]), 1000 & 0xFF);

    EXPECT_EQ(GetMediaSample(media, data, 3, &size, 0, nullptr, &duration, nullptr, nullptr, 0,
                             &samples, nullptr),
              maxSizeToGrowTooSmall);
    // Locked, and asked for more than it holds.
    EXPECT_EQ(GetMediaSample(media, data, 200000, &size, 0, nullptr, &duration, nullptr, nullptr,
                             0, &samples, nullptr),
              memFullErr);
    EXPECT_EQ(GetMediaSample(media, data, 176400, &size, 441000, nullptr, &duration, nullptr,
                             nullptr, 0, &samples, nullptr),
              invalidTime);

    fake.Fail(kQTSel_GetMediaSample, maxSizeToGrowTooSmall, 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(GetMediaSample(media, data, 4, &size, 0, nullptr, nullptr, nullptr, nullptr, 0,
                                 &samples, nullptr),
                  maxSizeToGrowTooSmall);
    EXPECT_EQ(GetMediaSample(media, data, 4, &size, 0, nullptr, nullptr, nullptr, nullptr, 0,
                             &samples, nullptr),
              noErr);
    EXPECT_EQ(samples, 1);
    HUnlock(data);
    DisposeHandle(data);
}

TEST(FakeQuickTime, NextInterestingTimeFollowsTheSampleGrid)
{
    FakeQuickTime fake;
    fake.SetMovie(TwoSoundTracksAndVideo());
    OpenMovie();
    const Media video = fake.MediaAt(1);  // 300 samples of 20
    TimeValue found = 0, duration = 0;
    GetMediaNextInterestingTime(video, 1, 30, 0x10000, &found, &duration);
    EXPECT_EQ(found, 40);
    EXPECT_EQ(duration, 20);
    GetMediaNextInterestingTime(video, 1, 40, 0x10000, &found, &duration);
    EXPECT_EQ(found, 60);
    GetMediaNextInterestingTime(video, 0x4001, 40, 0x10000, &found, &duration);
    EXPECT_EQ(found, 40);
    GetMediaNextInterestingTime(video, 1, -25, 0x10000, &found, &duration);
    EXPECT_EQ(found, 0);
    GetMediaNextInterestingTime(video, 1, 5980, 0x10000, &found, &duration);
    EXPECT_EQ(found, -1);
}

TEST(FakeQuickTime, DrawingFillsTheDibSectionWithTheMovieTime)
{
    FakeQuickTime fake;
    fake.SetMovie(TwoSoundTracksAndVideo());
    const Movie movie = OpenMovie();
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 4;
    info.bmiHeader.biHeight = -2;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);

    GWorldPtr world = reinterpret_cast<GWorldPtr>(0x7EADBEEF);
    ASSERT_EQ(NewGWorldFromHBITMAP(&world, nullptr, nullptr, 0, bitmap, nullptr), noErr);
    ASSERT_NE(world, nullptr);
    SetMovieGWorld(movie, world, GetGWorldDevice(world));
    SetMovieTimeValue(movie, 0x137);
    EXPECT_EQ(fake.MovieTime(), 0x137);
    MoviesTask(movie, 0);
    const auto *pixels = static_cast<const UInt8 *>(bits);
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(pixels[i], 0x37) << i;
    DisposeGWorld(world);
    EXPECT_EQ(fake.CountOf(kQTSel_DisposeGWorld), 1u);
    DeleteObject(bitmap);

    fake.Fail(kQTSel_NewGWorldFromHBITMAP, paramErr, 1);
    EXPECT_EQ(NewGWorldFromHBITMAP(&world, nullptr, nullptr, 0, bitmap, nullptr), paramErr);
    EXPECT_EQ(world, nullptr);
}

struct PullState {
    MovieAudioExtractionRef session;
    UInt32 flags;
    int calls;
};

OSStatus PullFromExtraction(ComponentInstance, UInt32 *packets, AudioBufferList *data,
                            AudioStreamPacketDescription **, void *user)
{
    auto *pull = static_cast<PullState *>(user);
    ++pull->calls;
    static char buffer[44100 * 8];
    data->mBuffers[0].mData = buffer;
    data->mBuffers[0].mDataByteSize = sizeof buffer;
    return MovieAudioExtractionFillBuffer(pull->session, packets, data, &pull->flags);
}

TEST(FakeQuickTime, ExtractionThroughTheAudioComponent)
{
    FakeQuickTime fake;
    fakeqt::ExtractionModel extraction;
    extraction.totalFrames = 50000;
    fake.SetExtraction(extraction);
    fake.SetMovie(TwoSoundTracksAndVideo());
    const Movie movie = OpenMovie();

    ComponentInstance audio = nullptr;
    ASSERT_EQ(OpenADefaultComponent(QTFourCC("scdi"), QTFourCC("audi"), &audio), noErr);
    PullState pull = {nullptr, 0, 0};
    ASSERT_EQ(MovieAudioExtractionBegin(movie, 0, &pull.session), noErr);
    AudioStreamBasicDescription format = {};
    EXPECT_EQ(MovieAudioExtractionGetProperty(pull.session, QTFourCC("xaud"), QTFourCC("asbd"),
                                              sizeof format, &format, nullptr),
              noErr);
    EXPECT_EQ(format.mSampleRate, 44100.0);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    UInt32 maxSampleSize = 0;
    EXPECT_EQ(MovieAudioExtractionGetProperty(pull.session, QTFourCC("xaud"), QTFourCC("mssz"),
                                              4, &maxSampleSize, nullptr),
              noErr);
    EXPECT_EQ(maxSampleSize, 16u);
    ByteCount layoutSize = 99;
    EXPECT_EQ(MovieAudioExtractionGetPropertyInfo(pull.session, QTFourCC("xaud"), QTFourCC("clay"),
                                                  nullptr, &layoutSize, nullptr),
              noErr);
    EXPECT_EQ(layoutSize, 0u);

    AudioStreamBasicDescription output = {44100.0, QTFourCC("lpcm"), 12, 4, 1, 4, 2, 16, 0};
    EXPECT_EQ(QTSetComponentProperty(audio, QTFourCC("scda"), QTFourCC("osbd"), sizeof output, &output), noErr);
    static char sample[176400 * 2];
    AudioBufferList buffers = {1, {{2, sizeof sample, sample}}};
    UInt32 packets = 44100;
    EXPECT_EQ(SCAudioFillBuffer(audio, &PullFromExtraction, &pull, &packets, &buffers, nullptr), noErr);
    EXPECT_EQ(packets, 44100u);
    EXPECT_EQ(buffers.mBuffers[0].mDataByteSize, 176400u);
    EXPECT_EQ(pull.flags, 0u);

    packets = 44100;
    buffers.mBuffers[0].mDataByteSize = sizeof sample;
    EXPECT_EQ(SCAudioFillBuffer(audio, &PullFromExtraction, &pull, &packets, &buffers, nullptr), noErr);
    EXPECT_EQ(packets, 5900u);
    EXPECT_EQ(pull.flags, 1u) << "completion not flagged with the last frames";
    EXPECT_EQ(pull.calls, 2);

    const std::vector<fakeqt::Call> componentCalls = fake.CallsTo(kQTSel_CallComponentDispatch);
    ASSERT_EQ(componentCalls.size(), 3u);
    EXPECT_EQ(componentCalls[0].args[1], uintptr_t(-13));
    EXPECT_EQ(componentCalls[1].args[1], 130u);
    EXPECT_EQ(MovieAudioExtractionEnd(pull.session), noErr);
    EXPECT_EQ(CloseComponent(audio), noErr);
    EXPECT_EQ(CloseComponent(audio), invalidComponentID);
}

struct ChunkSource {
    SoundComponentData data;
    int chunksLeft;
};

Boolean NextChunk(SoundComponentDataPtr *data, void *refCon)
{
    auto *source = static_cast<ChunkSource *>(refCon);
    *data = &source->data;
    if (source->chunksLeft == 0)
        return false;
    --source->chunksLeft;
    return true;
}

TEST(FakeQuickTime, SoundConverter)
{
    FakeQuickTime fake;
    const SoundComponentData input = {0, QTFourCC("ima4"), 2, 16, 44100u << 16, 0, nullptr, 0};
    const SoundComponentData output = {0, QTFourCC("NONE"), 2, 16, 44100u << 16, 0, nullptr, 0};
    SoundConverter sc = nullptr;
    ASSERT_EQ(SoundConverterOpen(&input, &output, &sc), noErr);
    fakeqt::ConverterModel converter;
    converter.setInfoResult = siUnknownInfoType;
    fake.SetConverter(converter);
    EXPECT_EQ(SoundConverterSetInfo(sc, QTFourCC("cvbr"), reinterpret_cast<void *>(1)), siUnknownInfoType);
    EXPECT_EQ(SoundConverterBeginConversion(sc), noErr);

    unsigned long frames = 0, inBytes = 0, outBytes = 0;
    EXPECT_EQ(SoundConverterGetBufferSizes(sc, 176400, &frames, &inBytes, &outBytes), noErr);
    EXPECT_EQ(frames, 44100u);
    EXPECT_EQ(outBytes, 176400u);

    static char out[176400];
    ChunkSource source = {input, 3};
    source.data.sampleCount = 20000;
    unsigned long written = 0, writtenFrames = 0, flags = 0;
    const SoundConverterFillBufferDataUPP proc = NewSoundConverterFillBufferDataUPP(&NextChunk);
    EXPECT_EQ(SoundConverterFillBuffer(sc, proc, &source, out, sizeof out, &written, &writtenFrames, &flags), noErr);
    EXPECT_EQ(written, 176400u);
    EXPECT_EQ(writtenFrames, 44100u);
    EXPECT_EQ(flags, 2u);
    // What had no room comes first in the next fill, then the source runs dry.
    EXPECT_EQ(SoundConverterFillBuffer(sc, proc, &source, out, sizeof out, &written, &writtenFrames, &flags), noErr);
    EXPECT_EQ(writtenFrames, 60000u - 44100u);
    EXPECT_EQ(written, (60000u - 44100u) * 4);
    EXPECT_EQ(flags, 1u);
    EXPECT_EQ(SoundConverterFillBuffer(sc, proc, &source, out, sizeof out, &written, &writtenFrames, &flags), noErr);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(flags, 1u);
    // A new conversion drops what a fill left over.
    source.chunksLeft = 1;
    EXPECT_EQ(SoundConverterFillBuffer(sc, proc, &source, out, 8000, &written, &writtenFrames, &flags), noErr);
    EXPECT_EQ(flags, 2u);
    EXPECT_EQ(SoundConverterBeginConversion(sc), noErr);
    EXPECT_EQ(SoundConverterFillBuffer(sc, proc, &source, out, sizeof out, &written, &writtenFrames, &flags), noErr);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(flags, 1u);
    EXPECT_EQ(SoundConverterClose(sc), noErr);
    EXPECT_EQ(SoundConverterClose(sc), paramErr);
}

TEST(FakeQuickTime, FixedPointAndMemoryAreReal)
{
    FakeQuickTime fake;
    EXPECT_EQ(FixRound(X2Fix(29.97)), 30);
    EXPECT_EQ(X2Fix(1e9), 0x7FFFFFFF);
    Handle h = NewHandle(16);
    HLock(h);
    SetHandleSize(h, 32);
    EXPECT_EQ(MemError(), memFullErr);
    fake.Fail(kQTSel_NewHandle, memFullErr, 1);
    EXPECT_EQ(NewHandle(4), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    HUnlock(h);
    DisposeHandle(h);
    EXPECT_EQ(MemError(), noErr);
    const std::vector<fakeqt::Call> locks = fake.CallsTo(kQTSel_HLock);
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].args[0], reinterpret_cast<uintptr_t>(h));
}

}  // namespace
