// The system's video decoders behind the engine (Media Foundation's H.264 transform, WIC for
// JPEG): every picture, taken in display order through the engine's TrackPictures, against
// ffmpeg's decoding of the same movie, forward and after jumps. H.264 pictures are ffmpeg's bit
// for bit in every colour (both decode exactly; Wine's GStreamer pipeline, which converts
// pictures it takes for BT.709 or full range, is told that they are BT.601 limited). A decoder
// that says it converted its pictures to another colour is compared in RGB, at 30 dB PSNR or
// better (colour edges take the chroma resampling). JPEG within 3 (another IDCT).
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "WindowsDecoders.h"
#include "testpaths.h"
#include "trackpictures.h"

using namespace qte;

namespace {

std::string g_media;  // Windows path of the media folder, with its separator

std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::vector<uint8_t> data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return data;
    fseek(f, 0, SEEK_END);
    data.resize(size_t(ftell(f)));
    fseek(f, 0, SEEK_SET);
    if (fread(data.data(), 1, data.size(), f) != data.size())
        data.clear();
    fclose(f);
    return data;
}

struct Opened {
    std::shared_ptr<Movie> movie;
    const Track *video = nullptr;
    std::vector<uint64_t> displayOrder;  // sample indices
};

Opened Open(const std::string &name)
{
    Opened o;
    Err trackErr = noErr;
    EXPECT_EQ(Movie::openFile(g_media + name, o.movie, &trackErr), noErr) << name;
    if (!o.movie)
        return o;
    for (size_t i = 0; i < o.movie->trackCount(); ++i)
        if (o.movie->track(i)->info().kind == Kind::video)
            o.video = o.movie->track(i);
    if (o.video) {
        for (uint64_t i = 0; i < o.video->sampleCount(); ++i)
            o.displayOrder.push_back(i);
        std::stable_sort(o.displayOrder.begin(), o.displayOrder.end(), [&](uint64_t a, uint64_t b) {
            return o.video->displayTime(a) < o.video->displayTime(b);
        });
    }
    return o;
}

// The picture's displayed area as NV12 bytes: Y rows, then interleaved U,V rows.
std::vector<uint8_t> Nv12Of(const Picture &p, int32_t w, int32_t h)
{
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < h; ++y)
        out.insert(out.end(), p.yuv.y + y * p.yuv.yStride, p.yuv.y + y * p.yuv.yStride + w);
    for (int32_t y = 0; y < h / 2; ++y) {
        for (int32_t x = 0; x < w / 2; ++x) {
            if (p.yuv.layout == YuvLayout::nv12) {
                out.push_back(p.yuv.u[y * p.yuv.uStride + 2 * x]);
                out.push_back(p.yuv.u[y * p.yuv.uStride + 2 * x + 1]);
            } else {
                out.push_back(p.yuv.u[y * p.yuv.uStride + x]);
                out.push_back(p.yuv.v[y * p.yuv.vStride + x]);
            }
        }
    }
    return out;
}

// R, G, B of 4:2:0 planes (NV12 layout, w x h), computed exactly in double precision.
std::vector<double> RgbOf(const uint8_t *nv12, int32_t w, int32_t h, const YuvColour &colour)
{
    const double kr = colour.matrix == YuvMatrix::bt709 ? 0.2126 : 0.299;
    const double kb = colour.matrix == YuvMatrix::bt709 ? 0.0722 : 0.114;
    const double ys = colour.fullRange ? 1.0 : 255.0 / 219, cs = colour.fullRange ? 1.0 : 255.0 / 224;
    const double y0 = colour.fullRange ? 0 : 16;
    std::vector<double> rgb;
    rgb.reserve(size_t(w) * h * 3);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t *uv = nv12 + size_t(w) * h + size_t(y / 2) * w + (x / 2) * 2;
            const double l = (nv12[size_t(y) * w + x] - y0) * ys, cb = (uv[0] - 128) * cs, cr = (uv[1] - 128) * cs;
            const double r = l + 2 * (1 - kr) * cr, b = l + 2 * (1 - kb) * cb;
            const double g = (l - kr * r - kb * b) / (1 - kr - kb);
            for (double v : {r, g, b})
                rgb.push_back(std::min(255.0, std::max(0.0, std::round(v))));
        }
    }
    return rgb;
}

double Psnr(const std::vector<double> &a, const std::vector<double> &b)
{
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

class H264Pictures : public ::testing::TestWithParam<const char *> {};

TEST_P(H264Pictures, AreFfmpegsInDisplayOrderForwardAndAfterJumps)
{
    Opened o = Open(GetParam());
    ASSERT_TRUE(o.video);
    std::unique_ptr<TrackPictures> pictures;
    ASSERT_EQ(TrackPictures::create(*o.video, pictures), noErr);
    const std::vector<uint8_t> reference = ReadFile(g_media + GetParam() + ".nv12");
    VideoCodec codec;
    ASSERT_EQ(videoCodecOf(o.video->info().descriptions[0], &codec), noErr);
    const int32_t w = int32_t(codec.width), h = int32_t(codec.height);
    const size_t frameBytes = size_t(w) * h * 3 / 2;
    ASSERT_EQ(reference.size(), frameBytes * o.displayOrder.size()) << "ffmpeg decoded another count";

    size_t exact = 0;  // pictures compared plane by plane
    auto check = [&](size_t k) {
        Picture p;
        bool got = false;
        const VideoCodec *used = nullptr;
        const Err e = pictures->pictureAt(o.video->displayTime(o.displayOrder[k]), &p, &got, &used);
        if (e != noErr || !got)
            return ::testing::AssertionFailure() << "no picture " << k << " (error " << e << ")";
        if (p.yuv.width < w || p.yuv.height < h)
            return ::testing::AssertionFailure() << "picture " << k << " is " << p.yuv.width << "x" << p.yuv.height;
        const std::vector<uint8_t> mine = Nv12Of(p, w, h);
        const uint8_t *theirs = reference.data() + k * frameBytes;
        const bool converted = p.ownColour && (p.colour.matrix != codec.colour.matrix ||
                                               p.colour.fullRange != codec.colour.fullRange);
        if (!converted) {
            if (std::memcmp(mine.data(), theirs, frameBytes) != 0)
                return ::testing::AssertionFailure() << "picture " << k << " differs from ffmpeg's";
            ++exact;
            return ::testing::AssertionSuccess();
        }
        const double psnr = Psnr(RgbOf(mine.data(), w, h, p.colour), RgbOf(theirs, w, h, codec.colour));
        if (psnr < 30)
            return ::testing::AssertionFailure() << "picture " << k << " at " << psnr << " dB";
        return ::testing::AssertionSuccess();
    };
    for (size_t k = 0; k < o.displayOrder.size(); ++k)
        ASSERT_TRUE(check(k));
    // Wine's decoder converts nothing it is told is BT.601 limited: every picture is the stream's own.
    EXPECT_EQ(exact, o.displayOrder.size());
    EXPECT_EQ(pictures->samplesDecoded(), o.video->sampleCount()) << "forward play restarted";
    std::mt19937 random(11);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(check(random() % o.displayOrder.size()));
}

INSTANTIATE_TEST_SUITE_P(Movies, H264Pictures,
                         ::testing::Values("bframes.mp4", "nob.mov", "nob.m4v", "nob.3gp", "hd.mp4",
                                           "full709.mp4", "hd720.mp4", "edited.mp4", "sar.mp4"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST(JpegPictures, AreFfmpegsWithinThree)
{
    Opened o = Open("jpeg.mov");
    ASSERT_TRUE(o.video);
    std::unique_ptr<TrackPictures> pictures;
    ASSERT_EQ(TrackPictures::create(*o.video, pictures), noErr);
    const std::vector<uint8_t> reference = ReadFile(g_media + "jpeg.mov.bgr24");
    const size_t frameBytes = 320 * 240 * 3;
    ASSERT_EQ(reference.size(), frameBytes * o.displayOrder.size());
    for (size_t k = 0; k < o.displayOrder.size(); ++k) {
        Picture p;
        bool got = false;
        const VideoCodec *used = nullptr;
        ASSERT_EQ(pictures->pictureAt(o.video->displayTime(o.displayOrder[k]), &p, &got, &used), noErr);
        ASSERT_TRUE(got && p.packed && p.width == 320 && p.height == 240) << k;
        int worst = 0;
        for (int32_t y = 0; y < 240; ++y)
            for (int32_t x = 0; x < 320 * 3; ++x)
                worst = std::max(worst, std::abs(int(p.planes[0][y * p.strides[0] + x]) -
                                                 int(reference[k * frameBytes + size_t(y) * 960 + x])));
        EXPECT_LE(worst, 3) << "picture " << k;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: decoder_tests MEDIA-DIR\n");
        return 2;
    }
    g_media = WindowsPathFromHost(argv[1]) + "\\";
    QtsInstallDecoders();
    return RUN_ALL_TESTS();
}
