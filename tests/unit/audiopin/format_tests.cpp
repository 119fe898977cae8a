// The one media type the pin offers, the buffers it asks for, and its private interface.
#include <windows.h>
#include <mmreg.h>

#include <cstddef>
#include <vector>

#include "audio_harness.h"
#include "framework/mediatype.h"

using namespace audiotest;
using fakeqt::TrackModel;

namespace {

// KSDATAFORMAT_SUBTYPE_PCM
constexpr GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

struct FormatCase {
    const char *name;
    SInt16 channels;
    UInt32 rate;
    SInt16 bits;
    long qtim;
    WORD tag;
    ULONG cbFormat;
    DWORD samplesPerSec;
    WORD blockAlign;
    DWORD channelMask;  // extensible only
};

class AudioFormatTest : public AudioPinTest {};

}  // namespace

TEST_F(AudioFormatTest, OffersOneTypeForEachFormat)
{
    const FormatCase cases[] = {
        {"44100 stereo 16", 2, 44100, 16, kQuickTime704, WAVE_FORMAT_PCM, 18, 44100, 4, 0},
        {"48000 six 16", 6, 48000, 16, kQuickTime704, WAVE_FORMAT_EXTENSIBLE, 40, 48000, 12, 0x3F},
        {"stereo 24", 2, 44100, 24, kQuickTime704, WAVE_FORMAT_EXTENSIBLE, 40, 44100, 6, 0x3},
        {"stereo 32", 2, 44100, 32, kQuickTime704, WAVE_FORMAT_EXTENSIBLE, 40, 44100, 8, 0x3},
        {"22050 mono 8", 1, 22050, 8, kQuickTime704, WAVE_FORMAT_PCM, 18, 22050, 1, 0},
        {"6000 per track", 1, 6000, 16, kQuickTime704, WAVE_FORMAT_PCM, 18, 44100, 2, 0},
    };
    for (const FormatCase &c : cases) {
        SCOPED_TRACE(c.name);
        const TrackModel track = TrackModel::Sound(c.channels, c.rate, c.bits, QTFourCC("twos"),
                                                   TimeScale(c.rate), TimeValue(c.rate) * 2);
        ASSERT_TRUE(Open(SoundMovie(track, 1200), c.qtim));
        AM_MEDIA_TYPE *pmt = OfferedType();
        ASSERT_NE(pmt, nullptr);
        EXPECT_EQ(pmt->majortype, MEDIATYPE_Audio);
        EXPECT_EQ(pmt->subtype, MEDIASUBTYPE_PCM);
        EXPECT_EQ(pmt->formattype, FORMAT_WaveFormatEx);
        EXPECT_TRUE(pmt->bFixedSizeSamples);
        EXPECT_FALSE(pmt->bTemporalCompression);
        EXPECT_EQ(pmt->lSampleSize, c.blockAlign);
        ASSERT_EQ(pmt->cbFormat, c.cbFormat);
        const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(pmt->pbFormat);
        EXPECT_EQ(pwfx->wFormatTag, c.tag);
        EXPECT_EQ(pwfx->nChannels, WORD(c.channels));
        EXPECT_EQ(pwfx->nSamplesPerSec, c.samplesPerSec);
        EXPECT_EQ(pwfx->wBitsPerSample, WORD(c.bits));
        EXPECT_EQ(pwfx->nBlockAlign, c.blockAlign);
        EXPECT_EQ(pwfx->nAvgBytesPerSec, DWORD(c.blockAlign) * c.samplesPerSec);
        if (c.tag == WAVE_FORMAT_EXTENSIBLE) {
            const WAVEFORMATEXTENSIBLE *pwfxe = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(pwfx);
            EXPECT_EQ(pwfx->cbSize, 22);
            EXPECT_EQ(pwfxe->Samples.wValidBitsPerSample, WORD(c.bits));
            EXPECT_EQ(pwfxe->dwChannelMask, c.channelMask);
            EXPECT_EQ(pwfxe->SubFormat, kSubtypePcm);
        } else {
            EXPECT_EQ(pwfx->cbSize, 0);
        }
        // The type accepted is exactly the type offered.
        EXPECT_EQ(m_pPin->QueryAccept(pmt), S_OK);
        if (c.tag == WAVE_FORMAT_EXTENSIBLE) {
            reinterpret_cast<WAVEFORMATEXTENSIBLE *>(pmt->pbFormat)->dwChannelMask = 0x33;
            EXPECT_EQ(m_pPin->QueryAccept(pmt), S_FALSE);
        }
        DeleteMediaType(pmt);
        Close();
    }
}

TEST_F(AudioFormatTest, ExtractionKeepsTheExtractionRate)
{
    fakeqt::ExtractionModel extraction;
    extraction.format.mSampleRate = 6000.0;
    m_pQt->SetExtraction(extraction);
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 6000, 16, QTFourCC("twos"), 6000, 12000), 1200),
                     kQuickTime779));
    AM_MEDIA_TYPE *pmt = OfferedType();
    ASSERT_NE(pmt, nullptr);
    ASSERT_EQ(pmt->cbFormat, 18u);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->nSamplesPerSec, 6000u);
    DeleteMediaType(pmt);
}

// On the movie-level path the layout names the speakers: their mask when each channel's label
// is a speaker of a mask, in the mask's order; otherwise the first speakers, one per channel.
TEST_F(AudioFormatTest, TheExtractionsLayoutNamesTheSpeakers)
{
    struct LayoutCase {
        const char *name;
        UInt32 channels;
        std::vector<UInt32> labels;
        DWORD mask;
    };
    const LayoutCase cases[] = {
        {"7.1 with a side pair", 8, {1, 2, 3, 4, 5, 6, 10, 11}, 0x63F},
        {"7.1 with front centres", 8, {1, 2, 3, 4, 5, 6, 7, 8}, 0xFF},
        {"4.0", 4, {1, 2, 3, 9}, 0x107},
        {"5.1 at the sides", 6, {1, 2, 3, 4, 10, 11}, 0x60F},
        {"front heights", 8, {1, 2, 3, 4, 5, 6, 13, 15}, 0x503F},
        {"mono and a pair", 3, {42, 5, 6}, 0x34},
        {"out of the mask's order", 3, {3, 1, 2}, 0x7},
        {"a speaker twice", 4, {1, 2, 1, 2}, 0xF},
        {"discrete channels", 3, {0x10000, 0x10001, 0x10002}, 0x7},
        {"fewer labels than channels", 4, {1, 2, 3}, 0xF},
        {"no layout", 3, {}, 0x7},
    };
    for (const LayoutCase &c : cases) {
        SCOPED_TRACE(c.name);
        const UInt32 channels = c.channels;
        fakeqt::ExtractionModel extraction;
        extraction.format.mChannelsPerFrame = channels;
        if (!c.labels.empty()) {
            extraction.channelLayout.assign(offsetof(AudioChannelLayout, mChannelDescriptions) +
                                                c.labels.size() * sizeof(AudioChannelDescription), 0);
            auto *layout = reinterpret_cast<AudioChannelLayout *>(extraction.channelLayout.data());
            layout->mNumberChannelDescriptions = UInt32(c.labels.size());
            for (size_t i = 0; i < c.labels.size(); i++)
                layout->mChannelDescriptions[i].mChannelLabel = c.labels[i];
        }
        m_pQt->SetExtraction(extraction);
        ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(SInt16(channels), 48000, 16, QTFourCC("mp4a"), 48000, 96000),
                                    1200),
                         kQuickTime779));
        AM_MEDIA_TYPE *pmt = OfferedType();
        ASSERT_NE(pmt, nullptr);
        ASSERT_EQ(pmt->cbFormat, sizeof(WAVEFORMATEXTENSIBLE));
        auto *pwfxe = reinterpret_cast<WAVEFORMATEXTENSIBLE *>(pmt->pbFormat);
        EXPECT_EQ(pwfxe->Format.nChannels, channels);
        EXPECT_EQ(pwfxe->dwChannelMask, c.mask);
        EXPECT_EQ(m_pPin->QueryAccept(pmt), S_OK);
        const DWORD firstSpeakers = (1u << channels) - 1;
        pwfxe->dwChannelMask = c.mask == firstSpeakers ? c.mask << 1 : firstSpeakers;
        EXPECT_EQ(m_pPin->QueryAccept(pmt), S_FALSE) << "only the speakers announced";
        DeleteMediaType(pmt);
        Close();
    }
}

TEST_F(AudioFormatTest, AudioInfoReportsFormatsAndTakesTheOverride)
{
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("mp4a"), 44100, 88200), 1200),
                     kQuickTime704));
    IMovieAudioInfo *pInfo = reinterpret_cast<IMovieAudioInfo *>(0xdeadbeef);
    ASSERT_EQ(m_pPin->QueryInterface(IID_IMovieAudioInfo, reinterpret_cast<void **>(&pInfo)), S_OK);
    DWORD code = 0xdeadbeef;
    EXPECT_EQ(pInfo->GetSourceFormat(&code), S_OK);
    EXPECT_EQ(code, QTFourCC("mp4a"));
    code = 0xdeadbeef;
    EXPECT_EQ(pInfo->GetOutputFormat(&code), S_OK);
    EXPECT_EQ(code, QTFourCC("NONE"));
    LONG rate = -1;
    EXPECT_EQ(pInfo->GetSampleRate(&rate), S_OK);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(pInfo->IsMpeg4Audio(), S_OK);
    EXPECT_EQ(pInfo->GetSampleRate(nullptr), E_POINTER);

    EXPECT_EQ(pInfo->SetOutputSampleRate(FALSE, 32000), S_OK);
    AM_MEDIA_TYPE *pmt = OfferedType();
    ASSERT_NE(pmt, nullptr);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->nSamplesPerSec, 44100u);
    DeleteMediaType(pmt);
    EXPECT_EQ(pInfo->SetOutputSampleRate(0x100, 32000), S_OK);  // only the low byte counts
    pmt = OfferedType();
    ASSERT_NE(pmt, nullptr);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->nSamplesPerSec, 44100u);
    DeleteMediaType(pmt);
    EXPECT_EQ(pInfo->SetOutputSampleRate(TRUE, 32000), S_OK);
    pmt = OfferedType();
    ASSERT_NE(pmt, nullptr);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->nSamplesPerSec, 32000u);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->nAvgBytesPerSec, 128000u);
    DeleteMediaType(pmt);
    rate = -1;
    EXPECT_EQ(pInfo->GetSampleRate(&rate), S_OK);
    EXPECT_EQ(rate, 44100) << "the source rate, never the override";

    // The next set-up converts to the new rate: a new converter.
    const size_t opened = m_pQt->CountOf(kQTSel_SoundConverterOpen);
    EXPECT_EQ(m_pAudio->PrepareTrackStreaming(), S_OK);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterOpen), opened + 1);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterClose), 1u);
    EXPECT_EQ(m_pAudio->PrepareTrackStreaming(), S_OK);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterOpen), opened + 1) << "set up once per rate";
    pInfo->Release();
}

TEST_F(AudioFormatTest, OtherSourceIsNotMpeg4)
{
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("ima4"), 44100, 88200), 1200),
                     kQuickTime704));
    IMovieAudioInfo *pInfo = nullptr;
    ASSERT_EQ(m_pPin->QueryInterface(IID_IMovieAudioInfo, reinterpret_cast<void **>(&pInfo)), S_OK);
    EXPECT_EQ(pInfo->IsMpeg4Audio(), S_FALSE);
    pInfo->Release();
}
