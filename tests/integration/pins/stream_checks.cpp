#include "stream_checks.h"

#include <gtest/gtest.h>
#include <mmreg.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

int ScreenBits()
{
    HDC hdc = GetDC(nullptr);
    const int bits = hdc ? GetDeviceCaps(hdc, BITSPIXEL) : 0;
    if (hdc)
        ReleaseDC(nullptr, hdc);
    return bits;
}

void ExpectContiguous(const std::vector<PlacedSample> &segment)
{
    REFERENCE_TIME next = 0, last = 0;
    for (size_t n = 0; n < segment.size(); n++) {
        const testsupport::SinkRecord &r = *segment[n].record;
        ASSERT_EQ(r.timeResult, S_OK) << "sample " << n;
        ASSERT_GE(r.tStart, last) << "sample " << n;
        ASSERT_LE(llabs(r.tStart - next), 1) << "sample " << n;
        last = r.tStart;
        ASSERT_GT(r.tStop, r.tStart) << "sample " << n;
        EXPECT_TRUE(r.bSyncPoint) << "sample " << n;
        EXPECT_EQ(r.bDiscontinuity, n == 0) << "sample " << n;
        next = r.tStop;
    }
}

void ExpectOrderly(testsupport::TestSink *sink)
{
    const std::vector<std::string> violations = sink->Violations();
    for (const std::string &v : violations)
        ADD_FAILURE() << v;
}

void ExpectOnePass(testsupport::TestSink *sink, const std::vector<testsupport::SinkRecord> &records,
                   std::vector<PlacedSample> *pPass)
{
    const std::vector<std::vector<PlacedSample>> segments = Segments(records);
    ASSERT_EQ(segments.size(), 1u);
    ASSERT_FALSE(segments[0].empty());
    ExpectContiguous(segments[0]);
    EXPECT_EQ(EndOfStreamCount(records), 1u);
    ExpectOrderly(sink);
    *pPass = segments[0];
}

void ExpectWaveFormat(const AM_MEDIA_TYPE &mt, WORD channels, WORD bits, DWORD rate)
{
    ASSERT_TRUE(IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx));
    ASSERT_GE(mt.cbFormat, sizeof(WAVEFORMATEX));
    const WAVEFORMATEX &wfx = *reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
    EXPECT_EQ(wfx.nChannels, channels);
    EXPECT_EQ(wfx.wBitsPerSample, bits);
    EXPECT_EQ(wfx.nSamplesPerSec, rate);
    EXPECT_EQ(wfx.nBlockAlign, channels * bits / 8);
    const bool extensible = channels > 2 || bits > 16;
    EXPECT_EQ(wfx.wFormatTag, extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM);
    if (!extensible)
        return;
    ASSERT_GE(mt.cbFormat, sizeof(WAVEFORMATEXTENSIBLE));
    const auto &ext = *reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(mt.pbFormat);
    EXPECT_EQ(ext.Samples.wValidBitsPerSample, bits);
    EXPECT_TRUE(IsEqualGUID(ext.SubFormat, MEDIASUBTYPE_PCM));
}

void ExpectSoundMatches(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want,
                        size_t frameBytes, DWORD rate, bool silenceAfter)
{
    if (!silenceAfter || got.size() < want.size()) {
        ASSERT_EQ(got.size(), want.size()) << "bytes";
    }
    const size_t extra = got.size() - want.size();
    EXPECT_LE(extra, frameBytes * rate / 50) << "bytes of silence past the sound";
    for (size_t i = 0; i < want.size(); i++) {
        if (got[i] != want[i]) {
            ADD_FAILURE() << "byte " << i << " (frame " << i / frameBytes << ") is " << int(got[i])
                          << ", not " << int(want[i]);
            return;
        }
    }
    // Silence in the delivered format: 0x80 for 8 bits, 0 otherwise.
    const uint8_t silence = frameBytes == 1 ? 0x80 : 0;
    for (size_t i = want.size(); i < got.size(); i++) {
        if (got[i] != silence) {
            ADD_FAILURE() << "byte " << i << " past the sound is " << int(got[i]);
            return;
        }
    }
}

void ExpectInterpolated(const int16_t *got, size_t stride, size_t count,
                        const std::vector<int16_t> &in, double step)
{
    for (size_t m = 0; m < count; m++) {
        const double phase = double(m) * step;
        const size_t i = size_t(std::floor(phase));
        ASSERT_LT(i, in.size()) << "frame " << m << " lies past the source";
        const double a = in[i], b = in[i + 1 < in.size() ? i + 1 : i];
        const long want = std::lround(a + (b - a) * (phase - double(i)));
        const long value = got[m * stride];
        if (labs(value - want) > 1) {
            ADD_FAILURE() << "frame " << m << " is " << value << ", not " << want;
            return;
        }
    }
}
