// Sound through the three routes the filter uses: movie audio extraction, the standard
// audio compression component fed by extraction, and the sound converter fed by media
// samples (whole buffers and through its fill callback), each against ffmpeg's decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "harness.h"
#include "moviewriter.h"

namespace mw = moviewriter;

namespace {

constexpr QTPropertyClass kXmov = QTFourCC("xmov"), kXaud = QTFourCC("xaud");

class ScopedExtraction {
public:
    explicit ScopedExtraction(Movie movie) { m_error = MovieAudioExtractionBegin(movie, 0, &m_session); }
    ~ScopedExtraction()
    {
        if (m_session)
            MovieAudioExtractionEnd(m_session);
    }
    MovieAudioExtractionRef get() const { return m_session; }
    OSStatus error() const { return m_error; }

private:
    MovieAudioExtractionRef m_session = nullptr;
    OSStatus m_error;
};

AudioStreamBasicDescription IntegerFormat(double rate, UInt32 channels, UInt32 bits)
{
    AudioStreamBasicDescription d = {};
    d.mSampleRate = rate;
    d.mFormatID = QTFourCC("lpcm");
    d.mFormatFlags = 0xC;
    d.mBytesPerPacket = d.mBytesPerFrame = bits / 8 * channels;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bits;
    return d;
}

// The common length must hold the whole second of sound; ffmpeg may add ima4's padding.
::testing::AssertionResult SamePcm(const std::vector<uint8_t> &ours, const std::vector<uint8_t> &ref,
                                   size_t atLeast)
{
    const size_t n = std::min(ours.size(), ref.size());
    if (n < atLeast)
        return ::testing::AssertionFailure() << "only " << ours.size() << " bytes of " << ref.size();
    for (size_t i = 0; i < n; ++i) {
        if (ours[i] != ref[i])
            return ::testing::AssertionFailure() << "byte " << i << ": " << int(ours[i]) << " vs " << int(ref[i]);
    }
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> FillAll(MovieAudioExtractionRef session, UInt32 bytesPerFrame, UInt32 channels)
{
    std::vector<uint8_t> out, block(1000 * bytesPerFrame);
    for (int guard = 0; guard < 100000; ++guard) {
        AudioBufferList list = {1, {{channels, UInt32(block.size()), block.data()}}};
        UInt32 frames = 1000, flags = 0;
        if (MovieAudioExtractionFillBuffer(session, &frames, &list, &flags) != noErr)
            break;
        out.insert(out.end(), block.begin(), block.begin() + frames * bytesPerFrame);
        if (flags & 1)
            break;
    }
    return out;
}

}  // namespace

TEST(Extraction, PropertiesDescribeTheMixAndRefuseBadRequests)
{
    ScopedMovie movie("sowt.mov");
    ASSERT_EQ(movie.error(), noErr);
    ScopedExtraction x(movie.get());
    ASSERT_EQ(x.error(), noErr);
    const Boolean discrete = 1;
    ASSERT_EQ(MovieAudioExtractionSetProperty(x.get(), kXmov, QTFourCC("disc"), 1, &discrete), noErr);
    AudioStreamBasicDescription asbd = {};
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("asbd"), sizeof asbd, &asbd, nullptr), noErr);
    EXPECT_EQ(asbd.mSampleRate, 44100.0);
    EXPECT_EQ(asbd.mChannelsPerFrame, 2u);
    EXPECT_EQ(asbd.mBitsPerChannel, 32u);
    EXPECT_EQ(asbd.mFormatFlags & 0x21, 0x21u) << "float, non-interleaved by default";
    UInt32 bits = 0;
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("mssz"), 4, &bits, nullptr), noErr);
    EXPECT_EQ(bits, 16u);
    ByteCount layoutSize = 0;
    ASSERT_EQ(MovieAudioExtractionGetPropertyInfo(x.get(), kXaud, QTFourCC("clay"), nullptr, &layoutSize, nullptr), noErr);
    EXPECT_EQ(layoutSize, 12u + 2 * 20u);
    std::vector<uint8_t> layout(layoutSize);
    ByteCount used = 0;
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("clay"), layoutSize, layout.data(), &used), noErr);
    EXPECT_EQ(used, layoutSize);
    EXPECT_EQ(reinterpret_cast<AudioChannelLayout *>(layout.data())->mNumberChannelDescriptions, 2u);

    EXPECT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("clay"), layoutSize - 1, layout.data(), nullptr),
              kQTPropertyBadValueSizeErr);
    EXPECT_EQ(MovieAudioExtractionSetProperty(x.get(), kXaud, QTFourCC("asbd"), 39, &asbd), kQTPropertyBadValueSizeErr);
    EXPECT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("zzzz"), 4, &bits, nullptr),
              kQTPropertyNotSupportedErr);
    EXPECT_EQ(MovieAudioExtractionSetProperty(x.get(), kXaud, QTFourCC("mssz"), 4, &bits), kQTPropertyNotSupportedErr);
    EXPECT_EQ(MovieAudioExtractionGetProperty(nullptr, kXaud, QTFourCC("asbd"), 40, &asbd, nullptr), paramErr);
    EXPECT_EQ(MovieAudioExtractionBegin(nullptr, 0, nullptr), paramErr);
    UInt32 frames = 10;
    EXPECT_EQ(MovieAudioExtractionFillBuffer(x.get(), &frames, nullptr, nullptr), paramErr);
}

TEST(Extraction, PcmEqualsFfmpegsAndTimeRepositions)
{
    ScopedMovie movie("sowt.mov");
    ASSERT_EQ(movie.error(), noErr);
    const std::vector<uint8_t> reference = ReadMedia("sowt.mov.s16le");
    ScopedExtraction x(movie.get());
    ASSERT_EQ(x.error(), noErr);
    const AudioStreamBasicDescription s16 = IntegerFormat(44100, 2, 16);
    ASSERT_EQ(MovieAudioExtractionSetProperty(x.get(), kXaud, QTFourCC("asbd"), sizeof s16, &s16), noErr);
    const std::vector<uint8_t> all = FillAll(x.get(), 4, 2);
    EXPECT_EQ(all.size(), 44100u * 4) << "the sound spans the movie";
    EXPECT_TRUE(SamePcm(all, reference, 44100 * 4));

    TimeRecord half = {{0, 300}, 600, nullptr};
    ASSERT_EQ(MovieAudioExtractionSetProperty(x.get(), kXmov, QTFourCC("time"), sizeof half, &half), noErr);
    const std::vector<uint8_t> rest = FillAll(x.get(), 4, 2);
    EXPECT_TRUE(SamePcm(rest, std::vector<uint8_t>(reference.begin() + 22050 * 4, reference.end()), 22050 * 4));
    TimeRecord before = {{0xFFFFFFFFu, 0xFFFFFF00u}, 600, nullptr};  // negative: clamps to 0
    ASSERT_EQ(MovieAudioExtractionSetProperty(x.get(), kXmov, QTFourCC("time"), sizeof before, &before), noErr);
    EXPECT_TRUE(SamePcm(FillAll(x.get(), 4, 2), reference, 44100 * 4));
}

namespace {

// The audio pin's input procedure: lends the extraction its own buffer when the component
// offers none.
struct PinFeed {
    MovieAudioExtractionRef session = nullptr;
    UInt32 bytesPerPacket = 0;
    std::vector<uint8_t> buffer;
    bool complete = false;
    int nullOffers = 0, ownBuffers = 0, calls = 0;
};

OSStatus PinInput(ComponentInstance, UInt32 *packets, AudioBufferList *data,
                  AudioStreamPacketDescription **, void *user)
{
    auto *feed = static_cast<PinFeed *>(user);
    ++feed->calls;
    if (data->mBuffers[0].mData)
        ++feed->ownBuffers;
    UInt32 pull = *packets;
    *packets = 0;
    if (feed->complete) {
        data->mBuffers[0].mData = nullptr;
        data->mBuffers[0].mDataByteSize = 0;
        return noErr;
    }
    if (!data->mBuffers[0].mData) {
        ++feed->nullOffers;
        if (feed->buffer.size() < pull * feed->bytesPerPacket)
            feed->buffer.resize(pull * feed->bytesPerPacket);
        data->mBuffers[0].mDataByteSize = UInt32(feed->buffer.size());
        data->mBuffers[0].mData = feed->buffer.data();
    }
    UInt32 flags = 0;
    const OSStatus status = MovieAudioExtractionFillBuffer(feed->session, &pull, data, &flags);
    if (flags & 1)
        feed->complete = true;
    *packets = pull;
    return status;
}

// Fills as the pin does, in buffers of 10000 packets, until the component makes nothing.
std::vector<uint8_t> PullThroughComponent(ComponentInstance ci, const AudioStreamBasicDescription &out,
                                          PinFeed *feed)
{
    std::vector<uint8_t> pcm, sample(out.mBytesPerFrame * 10000);
    for (int guard = 0; guard < 1000; ++guard) {
        AudioBufferList list = {1, {{out.mChannelsPerFrame, UInt32(sample.size()), sample.data()}}};
        UInt32 packets = 10000;
        const ComponentResult result = SCAudioFillBuffer(ci, PinInput, feed, &packets, &list, nullptr);
        EXPECT_EQ(result, noErr);
        if (result != noErr || packets == 0)
            break;
        EXPECT_EQ(list.mBuffers[0].mDataByteSize, packets * out.mBytesPerFrame);
        pcm.insert(pcm.end(), sample.begin(), sample.begin() + packets * out.mBytesPerFrame);
    }
    return pcm;
}

struct ScopedComponent {
    ComponentInstance ci = nullptr;
    OSErr error = OpenADefaultComponent(QTFourCC("scdi"), QTFourCC("audi"), &ci);
    ~ScopedComponent()
    {
        if (ci)
            CloseComponent(ci);
    }
};

}  // namespace

class StandardAudio : public ::testing::TestWithParam<const char *> {};

// The movie-level path: extraction at the largest real sample width, converted to packed
// interleaved integers by the component writing straight into the caller's buffer.
TEST_P(StandardAudio, ConvertsExtractedSoundLikeThePinAsks)
{
    const std::string name = GetParam();
    const bool wide = name == "in24.mov";
    ScopedMovie movie(name);
    ASSERT_EQ(movie.error(), noErr);
    const std::vector<uint8_t> reference = ReadMedia(name + (wide ? ".s24le" : ".s16le"));
    ScopedComponent audio;
    ASSERT_EQ(audio.error, noErr);
    ScopedExtraction x(movie.get());
    ASSERT_EQ(x.error(), noErr);
    const Boolean discrete = 1;
    ASSERT_EQ(MovieAudioExtractionSetProperty(x.get(), kXmov, QTFourCC("disc"), 1, &discrete), noErr);
    AudioStreamBasicDescription format;
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("asbd"), 40, &format, nullptr), noErr);
    UInt32 bits = 0;
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("mssz"), 4, &bits, nullptr), noErr);
    EXPECT_EQ(bits, wide ? 24u : name == "raw8.mov" ? 8u : 16u);
    format.mBitsPerChannel = bits;
    format.mFormatFlags = (format.mFormatFlags & ~0x21u) | 0x4;
    format.mBytesPerPacket = format.mBytesPerFrame = bits / 8 * format.mChannelsPerFrame;
    ASSERT_EQ(MovieAudioExtractionSetProperty(x.get(), kXaud, QTFourCC("asbd"), 40, &format), noErr);
    ByteCount layoutSize = 0;
    ASSERT_EQ(MovieAudioExtractionGetPropertyInfo(x.get(), kXaud, QTFourCC("clay"), nullptr, &layoutSize, nullptr), noErr);
    std::vector<uint8_t> layout(layoutSize);
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("clay"), layoutSize, layout.data(), &layoutSize), noErr);
    ASSERT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("isbd"), 40, &format), noErr);
    ASSERT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("icly"), layoutSize, layout.data()), noErr);
    // The pin's output: at least 16 bits, at the extraction's rate and channels.
    const UInt32 rate = UInt32(format.mSampleRate);
    const AudioStreamBasicDescription out = IntegerFormat(rate, format.mChannelsPerFrame, std::max(bits, 16u));
    ASSERT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("osbd"), 40, &out), noErr);

    PinFeed feed;
    feed.session = x.get();
    feed.bytesPerPacket = format.mBytesPerPacket;
    const std::vector<uint8_t> pcm = PullThroughComponent(audio.ci, out, &feed);
    EXPECT_GT(feed.nullOffers, 0) << "the component offered no buffer of its own";
    EXPECT_EQ(feed.ownBuffers, 0);
    EXPECT_EQ(pcm.size(), rate * out.mBytesPerFrame) << "one second of sound";
    EXPECT_TRUE(SamePcm(pcm, reference, rate * out.mBytesPerFrame));
}

INSTANTIATE_TEST_SUITE_P(Movies, StandardAudio, ::testing::Values("twos.mov", "in24.mov", "ulaw.mov", "raw8.mov",
                                                                 "six.mov"));

// A sound no decoder takes ('nope') extracts as silence with no known sample width, so the
// extraction stays planar float; the component lends it planes of its own.
TEST(StandardAudioComponent, PlanarExtractionOfAnUndecodedTrackGivesSilence)
{
    mw::Movie amr;
    mw::Track t;
    t.handler = "soun";
    t.timeScale = 8000;
    t.description = mw::soundDescription("nope", 1, 16, 8000);
    t.stts = {{50, 160}};  // a second of 20 ms packets
    t.constantSize = 32;
    mw::Chunk chunk;
    chunk.samples = 50;
    for (int i = 0; i < 50; ++i) {
        chunk.data.push_back(0x3C);
        chunk.data.insert(chunk.data.end(), 31, uint8_t(i));
    }
    t.chunks.push_back(chunk);
    amr.tracks.push_back(t);
    ASSERT_TRUE(mw::save(MediaPath("nope.mov"), mw::write(amr)));
    ScopedMovie movie("nope.mov");
    ASSERT_EQ(movie.error(), noErr);
    ScopedComponent audio;
    ASSERT_EQ(audio.error, noErr);
    ScopedExtraction x(movie.get());
    ASSERT_EQ(x.error(), noErr);
    AudioStreamBasicDescription format;
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("asbd"), 40, &format, nullptr), noErr);
    UInt32 bits = 99;
    ASSERT_EQ(MovieAudioExtractionGetProperty(x.get(), kXaud, QTFourCC("mssz"), 4, &bits, nullptr), noErr);
    EXPECT_EQ(bits, 0u);
    ASSERT_EQ(format.mFormatFlags & 0x21, 0x21u);
    ASSERT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("isbd"), 40, &format), noErr);
    const AudioStreamBasicDescription out =
        IntegerFormat(format.mSampleRate, format.mChannelsPerFrame, format.mBitsPerChannel);
    ASSERT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("osbd"), 40, &out), noErr);
    PinFeed feed;
    feed.session = x.get();
    feed.bytesPerPacket = format.mBytesPerPacket;
    const std::vector<uint8_t> pcm = PullThroughComponent(audio.ci, out, &feed);
    const int64_t frames = int64_t(GetMovieDuration(movie.get())) * int64_t(format.mSampleRate) /
                           GetMovieTimeScale(movie.get());
    EXPECT_EQ(int64_t(pcm.size()), frames * out.mBytesPerFrame) << "silence over the movie's duration";
    EXPECT_EQ(std::count(pcm.begin(), pcm.end(), 0), std::ptrdiff_t(pcm.size()));
    EXPECT_EQ(feed.nullOffers, 0) << "planar input needs planes of the component's";
}

TEST(StandardAudioComponent, RefusesWhatItCannotConvert)
{
    ScopedComponent audio;
    ASSERT_EQ(audio.error, noErr);
    AudioStreamBasicDescription d = IntegerFormat(44100, 2, 16);
    EXPECT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("isbd"), 39, &d), kQTPropertyBadValueSizeErr);
    EXPECT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("zzzz"), 40, &d), kQTPropertyNotSupportedErr);
    d.mFormatID = QTFourCC("aac ");
    EXPECT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("isbd"), 40, &d), paramErr);
    d = IntegerFormat(44100, 2, 16);
    EXPECT_EQ(QTSetComponentProperty(audio.ci, QTFourCC("scda"), QTFourCC("isbd"), 40, nullptr), paramErr);
    std::vector<uint8_t> sample(400);
    AudioBufferList list = {1, {{2, 400, sample.data()}}};
    UInt32 packets = 100;
    PinFeed feed;
    EXPECT_EQ(SCAudioFillBuffer(audio.ci, PinInput, &feed, &packets, &list, nullptr), paramErr)
        << "no formats set yet";
    EXPECT_EQ(feed.calls, 0);
}

namespace {

struct ConverterCase {
    const char *movie;
    const char *reference;
    SInt16 outputBits;
};

std::ostream &operator<<(std::ostream &out, const ConverterCase &c)
{
    return out << c.movie;
}

// The sound converter set up as the per-track path sets it up: the track's description,
// its 'wave' atom, variable bit rate asked for.
struct TrackConverter {
    SoundConverter sc = nullptr;
    OSErr error = paramErr;
    Media media = nullptr;
    SoundComponentData input = {}, output = {};
    SInt16 compressionID = 0;

    TrackConverter(const ScopedMovie &movie, SInt16 outputBits)
    {
        media = movie.media(QTFourCC("soun"), 1);
        ScopedHandle desc(NewHandle(0));
        GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
        if ((error = GetMoviesError()) != noErr)
            return;
        const SoundDescription sound = *desc.as<SoundDescription>();
        compressionID = sound.compressionID;
        input = {0, sound.dataFormat, sound.numChannels, sound.sampleSize, sound.sampleRate & 0xFFFF0000u, 0, nullptr, 0};
        output = {0, QTFourCC("NONE"), sound.numChannels, outputBits, sound.sampleRate & 0xFFFF0000u, 0, nullptr, 0};
        if ((error = SoundConverterOpen(&input, &output, &sc)) != noErr)
            return;
        error = SoundConverterSetInfo(sc, QTFourCC("cvbr"), reinterpret_cast<void *>(1));
        ScopedHandle wave;
        if (GetSoundDescriptionExtension(reinterpret_cast<SoundDescriptionHandle>(desc.get()), wave.out(),
                                         QTFourCC("wave")) == noErr) {
            const Size size = GetHandleSize(wave.get());
            Ptr atom = NewPtr(size);
            BlockMove(*wave.get(), atom, size);
            error = SoundConverterSetInfo(sc, QTFourCC("wave"), atom);
            DisposePtr(atom);
        }
        if (error == siUnknownInfoType || error == noErr)
            error = SoundConverterBeginConversion(sc);
    }
    ~TrackConverter()
    {
        if (sc)
            SoundConverterClose(sc);
    }
};

}  // namespace

// Each case's movie, its converter and ffmpeg's decoding of it.
class SoundConverterPcm : public ::testing::TestWithParam<ConverterCase> {
protected:
    void SetUp() override
    {
        const ConverterCase &c = GetParam();
        movie.reset(new ScopedMovie(c.movie));
        ASSERT_EQ(movie->error(), noErr);
        converter.reset(new TrackConverter(*movie, c.outputBits));
        ASSERT_EQ(converter->error, noErr);
        reference = ReadMedia(std::string(c.movie) + "." + c.reference);
    }
    std::unique_ptr<ScopedMovie> movie;
    std::unique_ptr<TrackConverter> converter;
    std::vector<uint8_t> reference;
};

// Whole media reads converted buffer by buffer, the constant-bit-rate way.
TEST_P(SoundConverterPcm, ConvertedBuffersEqualFfmpegs)
{
    const ConverterCase &c = GetParam();
    TrackConverter &conv = *converter;
    const long outFrameBytes = conv.output.numChannels * c.outputBits / 8;
    const long bytesPerSecond = (conv.output.sampleRate >> 16) * outFrameBytes;
    unsigned long inFrames = 0, inBytes = 0, outBytes = 0;
    ASSERT_EQ(SoundConverterGetBufferSizes(conv.sc, bytesPerSecond, &inFrames, &inBytes, &outBytes), noErr);
    ASSERT_GT(inBytes, 0ul);
    std::vector<uint8_t> pcm, converted(2 * bytesPerSecond);
    ScopedHandle data(NewHandle(bytesPerSecond));
    TimeValue t = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        long size = 0, count = 0;
        TimeValue duration = 0;
        if (GetMediaSample(conv.media, data.get(), bytesPerSecond, &size, t, nullptr, &duration, nullptr,
                           nullptr, 0, &count, nullptr) != noErr)
            break;
        const unsigned long frames = (unsigned long)(uint64_t(size) * inFrames / inBytes);
        unsigned long madeFrames = 0, madeBytes = 0;
        ASSERT_EQ(SoundConverterConvertBuffer(conv.sc, *data.get(), frames, converted.data(), &madeFrames,
                                              &madeBytes), noErr);
        ASSERT_LE(madeBytes, converted.size());
        EXPECT_EQ(madeBytes, madeFrames * outFrameBytes);
        pcm.insert(pcm.end(), converted.begin(), converted.begin() + madeBytes);
        t += count * duration;
    }
    EXPECT_TRUE(SamePcm(pcm, reference, size_t(bytesPerSecond)));
}

// The variable-bit-rate way: the converter pulls chunks through the fill callback.
TEST_P(SoundConverterPcm, FilledBuffersEqualFfmpegs)
{
    const ConverterCase &c = GetParam();
    TrackConverter &conv = *converter;
    struct Reader {
        Media media;
        TimeValue t = 0;
        ScopedHandle data{NewHandle(0)};
        ExtendedSoundComponentData record = {};
        int calls = 0;
    } reader;
    reader.media = conv.media;
    reader.record.desc = conv.input;
    reader.record.desc.flags = 0x4000;
    reader.record.recordSize = sizeof reader.record;
    reader.record.extendedFlags = 3;
    const SoundConverterFillBufferDataUPP proc = NewSoundConverterFillBufferDataUPP(
        [](SoundComponentDataPtr *out, void *refCon) -> Boolean {
            auto *r = static_cast<Reader *>(refCon);
            ++r->calls;
            long size = 0, count = 0;
            TimeValue duration = 0;
            *out = &r->record.desc;
            if (GetMediaSample(r->media, r->data.get(), 3000, &size, r->t, nullptr, &duration, nullptr,
                               nullptr, 0, &count, nullptr) != noErr)
                return false;
            r->t += count * duration;
            r->record.desc.buffer = reinterpret_cast<UInt8 *>(*r->data.get());
            r->record.desc.sampleCount = count * duration;
            r->record.bufferSize = size;
            return true;
        });
    ASSERT_NE(proc, nullptr);
    std::vector<uint8_t> pcm, buffer(5000);
    bool sawLeftOver = false, ranDry = false;
    for (int guard = 0; guard < 10000 && !ranDry; ++guard) {
        unsigned long bytes = 0, frames = 0, flags = 0;
        ASSERT_EQ(SoundConverterFillBuffer(conv.sc, proc, &reader, buffer.data(), buffer.size(), &bytes,
                                           &frames, &flags), noErr);
        ASSERT_LE(bytes, buffer.size());
        pcm.insert(pcm.end(), buffer.begin(), buffer.begin() + bytes);
        sawLeftOver = sawLeftOver || (flags & 2);
        ranDry = (flags & 1) != 0;
    }
    DisposeSoundConverterFillBufferDataUPP(proc);
    EXPECT_TRUE(ranDry) << "the end of the media was not reported";
    EXPECT_TRUE(sawLeftOver) << "3000-byte chunks into 5000-byte buffers leave data over";
    EXPECT_TRUE(SamePcm(pcm, reference, size_t(conv.output.numChannels) * c.outputBits / 8 * 44100 / 2));
}

INSTANTIATE_TEST_SUITE_P(Codecs, SoundConverterPcm,
                         ::testing::Values(ConverterCase{"twos.mov", "s16le", 16},
                                           ConverterCase{"sowt.mov", "s16le", 16},
                                           ConverterCase{"in24.mov", "s24le", 24},
                                           ConverterCase{"ulaw.mov", "s16le", 16},
                                           ConverterCase{"alaw.mov", "s16le", 16},
                                           ConverterCase{"ima4.mov", "s16le", 16},
                                           ConverterCase{"raw8.mov", "u8", 8},
                                           ConverterCase{"six.mov", "s16le", 16}));

TEST(SoundConverterErrors, RefusesUndecodableInputUnknownSelectorsAndBadArguments)
{
    SoundComponentData in = {0, QTFourCC("nope"), 1, 16, 8000u << 16, 0, nullptr, 0};
    SoundComponentData out = {0, QTFourCC("NONE"), 1, 16, 8000u << 16, 0, nullptr, 0};
    SoundConverter sc = reinterpret_cast<SoundConverter>(0x1);
    EXPECT_NE(SoundConverterOpen(&in, &out, &sc), noErr) << "no decoder has 'nope'";
    EXPECT_EQ(sc, nullptr);
    in.format = QTFourCC("twos");
    EXPECT_EQ(SoundConverterOpen(nullptr, &out, &sc), paramErr);
    EXPECT_EQ(SoundConverterOpen(&in, &out, nullptr), paramErr);
    ASSERT_EQ(SoundConverterOpen(&in, &out, &sc), noErr);
    EXPECT_EQ(SoundConverterSetInfo(sc, QTFourCC("zzzz"), nullptr), siUnknownInfoType);
    EXPECT_EQ(SoundConverterSetInfo(sc, QTFourCC("cvbr"), reinterpret_cast<void *>(1)), noErr);
    unsigned long frames, bytes, outBytes;
    ASSERT_EQ(SoundConverterGetBufferSizes(sc, 1001, &frames, &bytes, &outBytes), noErr);
    EXPECT_EQ(frames, 500ul);
    EXPECT_EQ(bytes, 1000ul);
    EXPECT_EQ(outBytes, 1000ul);
    EXPECT_EQ(SoundConverterGetBufferSizes(sc, 1000, nullptr, &bytes, &outBytes), paramErr);
    const int16_t big[2] = {0x0102, 0x0304};
    int16_t little[2] = {};
    unsigned long made = 0;
    ASSERT_EQ(SoundConverterConvertBuffer(sc, big, 2, little, &made, &bytes), noErr);
    EXPECT_EQ(made, 2ul);
    EXPECT_EQ(little[0], 0x0201);
    EXPECT_EQ(SoundConverterFillBuffer(sc, nullptr, nullptr, little, 4, &bytes, &made, &frames), paramErr);
    EXPECT_EQ(SoundConverterClose(sc), noErr);
    EXPECT_EQ(SoundConverterClose(sc), paramErr);
    EXPECT_EQ(SoundConverterConvertBuffer(sc, big, 2, little, &made, &bytes), paramErr);

    // ima4 counts its input in packets: 34 bytes a channel make 64 frames.
    in = {0, QTFourCC("ima4"), 2, 16, 44100u << 16, 0, nullptr, 0};
    out = {0, QTFourCC("NONE"), 2, 16, 44100u << 16, 0, nullptr, 0};
    ASSERT_EQ(SoundConverterOpen(&in, &out, &sc), noErr);
    ASSERT_EQ(SoundConverterGetBufferSizes(sc, 680, &frames, &bytes, &outBytes), noErr);
    EXPECT_EQ(frames, 10ul);
    EXPECT_EQ(bytes, 680ul);
    EXPECT_EQ(outBytes, 10ul * 64 * 4);
    SoundConverterClose(sc);
}

// Compressed sound as the per-track path reads it: the description says the configuration's
// rate and channels and variable compression; an MP4's 'esds' comes inside a 'wave' atom list
// as QuickTime's own files have it; samples come in runs of one size.
TEST(CompressedSound, DescriptionWaveAndSamplesAsTheConverterWantsThem)
{
    ScopedMovie movie("codec/aac-51-48.mp4");
    ASSERT_EQ(movie.error(), noErr);
    const Media media = movie.media(QTFourCC("soun"), 1);
    ScopedHandle desc(NewHandle(0));
    GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
    ASSERT_EQ(GetMoviesError(), noErr);
    const SoundDescription sound = *desc.as<SoundDescription>();
    EXPECT_EQ(sound.dataFormat, QTFourCC("mp4a"));
    EXPECT_EQ(sound.numChannels, 6);
    EXPECT_EQ(sound.sampleRate, 48000u << 16);
    EXPECT_EQ(sound.compressionID, -2);

    ScopedHandle esds, wave;
    const auto descH = reinterpret_cast<SoundDescriptionHandle>(desc.get());
    ASSERT_EQ(GetSoundDescriptionExtension(descH, esds.out(), QTFourCC("esds")), noErr);
    ASSERT_EQ(GetSoundDescriptionExtension(descH, wave.out(), QTFourCC("wave")), noErr);
    const Size esdsSize = GetHandleSize(esds.get());
    ASSERT_EQ(GetHandleSize(wave.get()), 12 + 8 + esdsSize + 8);
    const uint8_t *w = reinterpret_cast<const uint8_t *>(*wave.get());
    auto big32 = [](const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; };
    EXPECT_EQ(big32(w), 12u);
    EXPECT_EQ(big32(w + 4), QTFourCC("frma"));
    EXPECT_EQ(big32(w + 8), QTFourCC("mp4a"));
    EXPECT_EQ(big32(w + 12), uint32_t(8 + esdsSize));
    EXPECT_EQ(big32(w + 16), QTFourCC("esds"));
    EXPECT_EQ(std::memcmp(w + 20, *esds.get(), size_t(esdsSize)), 0);
    EXPECT_EQ(big32(w + 20 + esdsSize), 8u) << "the terminator atom";
    EXPECT_EQ(big32(w + 24 + esdsSize), 0u);

    // Runs of one packet size, the whole media in order.
    ScopedHandle data(NewHandle(0));
    TimeValue t = 0;
    long samples = 0, runs = 0;
    for (int guard = 0; guard < 100; ++guard) {
        long size = 0, count = 0;
        TimeValue duration = 0;
        if (GetMediaSample(media, data.get(), 1 << 20, &size, t, nullptr, &duration, nullptr, nullptr, 0, &count,
                           nullptr) != noErr)
            break;
        ASSERT_GT(count, 0);
        EXPECT_EQ(size % count, 0) << "at " << t;
        samples += count;
        ++runs;
        t += count * duration;
    }
    EXPECT_EQ(samples, GetMediaSampleCount(media));
    EXPECT_GT(runs, 1) << "AAC packets differ in size";
}
