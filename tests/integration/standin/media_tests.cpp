// Movies, tracks and media against ffprobe's view of the same files: counts, types, time
// scales, durations, descriptions in the records' native layout, samples and their
// counting, and the next interesting times.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "harness.h"

namespace {

long Number(const std::map<std::string, std::string> &m, const char *key)
{
    const auto found = m.find(key);
    return found == m.end() ? -1 : std::strtol(found->second.c_str(), nullptr, 10);
}

long TimeBaseScale(const std::map<std::string, std::string> &m)
{
    const auto found = m.find("time_base");
    if (found == m.end())
        return -1;
    const size_t slash = found->second.find('/');
    return std::strtol(found->second.c_str() + slash + 1, nullptr, 10);
}

OSType Tag(const std::map<std::string, std::string> &m)
{
    const std::string tag = m.at("codec_tag_string") + "    ";
    return (OSType(UInt8(tag[0])) << 24) | (OSType(UInt8(tag[1])) << 16) |
           (OSType(UInt8(tag[2])) << 8) | OSType(UInt8(tag[3]));
}

}  // namespace

class MediaAgainstProbe : public ::testing::TestWithParam<const char *> {};

TEST_P(MediaAgainstProbe, TracksDescriptionsAndTimesAgree)
{
    std::map<std::string, std::string> format;
    const auto streams = ProbeStreams(GetParam(), &format);
    ASSERT_FALSE(streams.empty()) << "no probe for " << GetParam();
    ScopedMovie movie(GetParam());
    ASSERT_EQ(movie.error(), noErr);
    ASSERT_EQ(GetMovieTrackCount(movie.get()), long(streams.size()));
    const double seconds = std::strtod(format["duration"].c_str(), nullptr);
    EXPECT_NEAR(double(GetMovieDuration(movie.get())) / GetMovieTimeScale(movie.get()), seconds, 0.01);

    long videoIndex = 0, soundIndex = 0;
    for (const auto &stream : streams) {
        const bool video = stream.at("codec_type") == "video";
        const OSType type = video ? QTFourCC("vide") : QTFourCC("soun");
        const long index = video ? ++videoIndex : ++soundIndex;
        const Media media = movie.media(type, index);
        ASSERT_NE(media, nullptr) << "track " << stream.at("index");
        EXPECT_EQ(GetMediaTimeScale(media), TimeBaseScale(stream));
        EXPECT_EQ(GetMediaDuration(media), Number(stream, "duration_ts"));
        ScopedHandle desc(NewHandle(0));
        GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
        ASSERT_EQ(GetMoviesError(), noErr);
        const auto &header = *desc.as<SampleDescription>();
        EXPECT_EQ(header.descSize, GetHandleSize(desc.get()));
        EXPECT_EQ(header.dataFormat, Tag(stream));
        EXPECT_EQ(header.dataRefIndex, 1);
        if (video) {
            const auto &image = *desc.as<ImageDescription>();
            EXPECT_EQ(image.width, Number(stream, "width"));
            EXPECT_EQ(image.height, Number(stream, "height"));
            EXPECT_EQ(GetMediaSampleCount(media), Number(stream, "nb_frames"));
        } else {
            const auto &sound = *desc.as<SoundDescription>();
            EXPECT_EQ(sound.numChannels, Number(stream, "channels"));
            EXPECT_EQ(sound.sampleRate >> 16, UInt32(Number(stream, "sample_rate")));
            // Sound counts sample frames; ima4's variable packets count one a sample.
            const long expected = sound.compressionID == -2 ? Number(stream, "nb_frames")
                                                              : Number(stream, "duration_ts");
            EXPECT_EQ(GetMediaSampleCount(media), expected);
        }
    }
    EXPECT_EQ(movie.media(QTFourCC("vide"), videoIndex + 1), nullptr);
    EXPECT_EQ(movie.media(QTFourCC("soun"), soundIndex + 1), nullptr);
    EXPECT_EQ(GetMovieIndTrackType(movie.get(), 1, QTFourCC("flsh"), 1), nullptr);
    EXPECT_EQ(GetMoviesError(), noErr) << "no such track is no error";
}

INSTANTIATE_TEST_SUITE_P(Movies, MediaAgainstProbe,
                         ::testing::Values("av2snd.mov", "raw24.mov", "rle16.mov", "twos.mov",
                                           "ima4.mov", "six.mov"));

TEST(Media, IndexedLookupCountsOnlyTracksOfTheType)
{
    ScopedMovie movie("av2snd.mov");
    ASSERT_EQ(movie.error(), noErr);
    const Movie m = movie.get();
    const Track video = GetMovieIndTrackType(m, 1, QTFourCC("vide"), 1);
    const Track sound1 = GetMovieIndTrackType(m, 1, QTFourCC("soun"), 1);
    const Track sound2 = GetMovieIndTrackType(m, 2, QTFourCC("soun"), 1);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(sound1, nullptr);
    ASSERT_NE(sound2, nullptr);
    EXPECT_NE(sound1, sound2);
    EXPECT_EQ(GetMovieIndTrackType(m, 1, QTFourCC("eyes"), 2), video);
    EXPECT_EQ(GetMovieIndTrackType(m, 2, QTFourCC("ears"), 2), sound2);
    EXPECT_EQ(GetMovieIndTrackType(m, 0, QTFourCC("soun"), 1), nullptr);
    EXPECT_EQ(GetMediaTimeScale(GetTrackMedia(sound1)), 22050);
    EXPECT_EQ(GetMediaTimeScale(GetTrackMedia(sound2)), 44100);

    DisposeMovieTrack(sound1);
    EXPECT_EQ(GetMoviesError(), noErr);
    EXPECT_EQ(GetMovieTrackCount(m), 2);
    EXPECT_EQ(GetMovieIndTrackType(m, 1, QTFourCC("soun"), 1), sound2);
    EXPECT_EQ(GetTrackMedia(sound1), nullptr);
}

TEST(Media, BoxesMoveAndDescriptionsRefuseBadIndices)
{
    ScopedMovie movie("raw24.mov");
    ASSERT_EQ(movie.error(), noErr);
    Rect box = {1, 1, 1, 1};
    GetMovieBox(movie.get(), &box);
    EXPECT_EQ(box.top, 0);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.bottom, 240);
    EXPECT_EQ(box.right, 320);
    MacOffsetRect(&box, 5, 7);
    SetMovieBox(movie.get(), &box);
    Rect moved = {};
    GetMovieBox(movie.get(), &moved);
    EXPECT_EQ(std::memcmp(&moved, &box, sizeof box), 0);
    GetMovieBox(movie.get(), nullptr);
    EXPECT_EQ(GetMoviesError(), paramErr);

    const Media media = movie.media(QTFourCC("vide"), 1);
    ScopedHandle desc(NewHandle(16));
    GetMediaSampleDescription(media, 2, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
    EXPECT_EQ(GetMoviesError(), badDataRefIndex);
    GetMediaSampleDescription(media, 0, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
    EXPECT_EQ(GetMoviesError(), badDataRefIndex);
    GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(&box));
    EXPECT_EQ(GetMoviesError(), paramErr) << "a pointer that is no handle";
    GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
    ASSERT_EQ(GetMoviesError(), noErr);
    const auto &image = *desc.as<ImageDescription>();
    EXPECT_EQ(image.cType, QTFourCC("raw "));
    EXPECT_EQ(image.depth, 24);
    EXPECT_EQ(image.width, 320);
}

TEST(Media, SoundDescriptionExtensionsAreCopiedOut)
{
    ScopedMovie movie("in24.mov");
    ASSERT_EQ(movie.error(), noErr);
    ScopedHandle desc(NewHandle(0));
    GetMediaSampleDescription(movie.media(QTFourCC("soun"), 1), 1,
                              reinterpret_cast<SampleDescriptionHandle>(desc.get()));
    ASSERT_EQ(GetMoviesError(), noErr);
    const auto sound = reinterpret_cast<SoundDescriptionHandle>(desc.get());
    ScopedHandle wave;
    ASSERT_EQ(GetSoundDescriptionExtension(sound, wave.out(), QTFourCC("wave")), noErr);
    ASSERT_NE(wave.get(), nullptr);
    // The 'wave' atom holds 'frma' naming the format, as stored (big-endian).
    const Size size = GetHandleSize(wave.get());
    ASSERT_GE(size, 12);
    EXPECT_EQ(std::memcmp(*wave.get() + 4, "frma", 4), 0);
    EXPECT_EQ(std::memcmp(*wave.get() + 8, "in24", 4), 0);

    Handle none = reinterpret_cast<Handle>(0x1);
    EXPECT_EQ(GetSoundDescriptionExtension(sound, &none, QTFourCC("esds")), paramErr);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(GetSoundDescriptionExtension(nullptr, &none, QTFourCC("wave")), paramErr);
    EXPECT_EQ(GetSoundDescriptionExtension(sound, nullptr, QTFourCC("wave")), paramErr);
}

TEST(Media, SamplesComeAsConsecutiveRunsThatFit)
{
    ScopedMovie movie("twos.mov");
    ASSERT_EQ(movie.error(), noErr);
    const Media media = movie.media(QTFourCC("soun"), 1);
    const std::vector<uint8_t> reference = ReadMedia("twos.mov.s16le");
    ASSERT_GE(reference.size(), 4000u);
    ScopedHandle data(NewHandle(0));
    long size = 0, count = 0, index = 0;
    TimeValue time = -1, duration = -1;
    SInt16 flags = -1;
    ASSERT_EQ(GetMediaSample(media, data.get(), 1000, &size, 100, &time, &duration, nullptr, &index,
                             0, &count, &flags), noErr);
    EXPECT_EQ(size, 1000);
    EXPECT_EQ(count, 250) << "a sound sample is one sample frame";
    EXPECT_EQ(time, 100);
    EXPECT_EQ(duration, 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(GetHandleSize(data.get()), 1000);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(*data.get());
    for (size_t i = 0; i < 1000; i += 2) {
        ASSERT_EQ(bytes[i], reference[400 + i + 1]) << "byte " << i;  // stored big-endian
        ASSERT_EQ(bytes[i + 1], reference[400 + i]) << "byte " << i;
    }
    ASSERT_EQ(GetMediaSample(media, data.get(), 0, &size, 0, nullptr, nullptr, nullptr, nullptr,
                             10, &count, nullptr), noErr);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(size, 40);

    EXPECT_EQ(GetMediaSample(media, data.get(), 3, &size, 0, nullptr, nullptr, nullptr, nullptr,
                             0, &count, nullptr), maxSizeToGrowTooSmall);
    EXPECT_EQ(GetMoviesError(), maxSizeToGrowTooSmall);
    EXPECT_EQ(GetMediaSample(media, data.get(), 0, &size, 44100, nullptr, nullptr, nullptr, nullptr,
                             0, &count, nullptr), invalidTime);
    EXPECT_EQ(GetMediaSample(media, reinterpret_cast<Handle>(&size), 0, &size, 0, nullptr, nullptr,
                             nullptr, nullptr, 0, &count, nullptr), paramErr);
    EXPECT_EQ(GetMediaSample(nullptr, data.get(), 0, &size, 0, nullptr, nullptr, nullptr, nullptr,
                             0, &count, nullptr), paramErr);

    // A locked handle that cannot grow in place is refused, not overrun.
    ScopedHandle locked(NewHandle(8));
    HLock(locked.get());
    EXPECT_EQ(GetMediaSample(media, locked.get(), 1000, &size, 0, nullptr, nullptr, nullptr, nullptr,
                             0, &count, nullptr), memFullErr);
    HUnlock(locked.get());

    ScopedMovie video("raw24.mov");
    const Media pictures = video.media(QTFourCC("vide"), 1);
    EXPECT_EQ(GetMediaSample(pictures, data.get(), 1000, &size, 0, nullptr, nullptr, nullptr, nullptr,
                             0, &count, nullptr), maxSizeToGrowTooSmall);
    ScopedHandle desc(NewHandle(0));
    ASSERT_EQ(GetMediaSample(pictures, data.get(), 0, &size, 30, &time, &duration,
                             reinterpret_cast<SampleDescriptionHandle>(desc.get()), &index, 1, &count,
                             nullptr), noErr);
    EXPECT_EQ(size, 320 * 240 * 3);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(time, 24);
    EXPECT_EQ(duration, 24);
    EXPECT_EQ(desc.as<ImageDescription>()->cType, QTFourCC("raw "));
}

TEST(Media, VariablePacketsCountOneSampleEach)
{
    ScopedMovie movie("ima4.mov");
    ASSERT_EQ(movie.error(), noErr);
    const Media media = movie.media(QTFourCC("soun"), 1);
    ScopedHandle data(NewHandle(0));
    long size = 0, count = 0;
    TimeValue duration = 0;
    ASSERT_EQ(GetMediaSample(media, data.get(), 68 * 10, &size, 0, nullptr, &duration, nullptr,
                             nullptr, 0, &count, nullptr), noErr);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(size, 680) << "stereo ima4 packets are 34 bytes a channel";
    EXPECT_EQ(duration, 64);
    EXPECT_EQ(GetMediaSample(media, data.get(), 67, &size, 0, nullptr, nullptr, nullptr, nullptr, 0,
                             &count, nullptr), maxSizeToGrowTooSmall);
}

TEST(Media, NextInterestingTimesInMediaAndMovieTime)
{
    ScopedMovie movie("raw24.mov");
    ASSERT_EQ(movie.error(), noErr);
    const Track track = GetMovieIndTrackType(movie.get(), 1, QTFourCC("vide"), 1);
    const Media media = GetTrackMedia(track);
    TimeValue found = 0, duration = 0;
    GetMediaNextInterestingTime(media, 1, 0, 0x10000, &found, &duration);
    EXPECT_EQ(found, 24);
    EXPECT_EQ(duration, 24);
    GetMediaNextInterestingTime(media, 0x4001, 24, 0x10000, &found, &duration);
    EXPECT_EQ(found, 24) << "the edge counts with nextTimeEdgeOK";
    GetMediaNextInterestingTime(media, 0x4001, 25, 0x10000, &found, nullptr);
    EXPECT_EQ(found, 48);
    GetMediaNextInterestingTime(media, 1, 216, 0x10000, &found, &duration);
    EXPECT_EQ(found, -1) << "no sample after the last";
    GetMediaNextInterestingTime(media, 1, 100, -0x10000, &found, nullptr);
    EXPECT_EQ(found, 96) << "backward search";

    const TimeScale scale = GetMovieTimeScale(movie.get());
    GetTrackNextInterestingTime(track, 1, 0, 0x10000, &found, &duration);
    EXPECT_EQ(found, 24 * scale / 600);
    GetTrackNextInterestingTime(nullptr, 1, 0, 0x10000, &found, &duration);
    EXPECT_EQ(found, -1);
    EXPECT_EQ(GetMoviesError(), paramErr);
}
