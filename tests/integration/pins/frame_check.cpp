#include "frame_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// B, G, R of one pixel of an NV12 picture in BT.601 limited range or BT.709 full range,
// converted exactly.
void YuvToBgr(const uint8_t *nv12, size_t width, size_t height, size_t x, size_t y, bool bt709Full, double bgr[3])
{
    const uint8_t *uv = nv12 + width * height + (y / 2) * width + (x / 2) * 2;
    const double kr = bt709Full ? 0.2126 : 0.299, kb = bt709Full ? 0.0722 : 0.114;
    const double ys = bt709Full ? 1.0 : 255.0 / 219, cs = bt709Full ? 1.0 : 255.0 / 224;
    const double l = (nv12[y * width + x] - (bt709Full ? 0 : 16)) * ys;
    const double cb = (uv[0] - 128) * cs, cr = (uv[1] - 128) * cs;
    const double r = l + 2 * (1 - kr) * cr, b = l + 2 * (1 - kb) * cb, g = (l - kr * r - kb * b) / (1 - kr - kb);
    const double v[3] = {b, g, r};
    for (int i = 0; i < 3; i++)
        bgr[i] = std::min(255.0, std::max(0.0, std::round(v[i])));
}

// A planar reference's layout, from ffmpeg's name of it: yuv[j]4XXp[NNle].
struct Planar {
    bool valid = false, full = false;
    int shiftX = 0, shiftY = 0, depth = 8;
};

Planar PlanarOf(const std::string &format)
{
    Planar p;
    size_t at = format.rfind("yuv", 0) == 0 ? 3 : std::string::npos;
    if (at == std::string::npos)
        return p;
    p.full = format.compare(at, 1, "j") == 0;
    at += p.full;
    const std::string sub = format.substr(at, 3);
    if (sub == "420") p.shiftX = 1, p.shiftY = 1;
    else if (sub == "422") p.shiftX = 1;
    else if (sub == "411") p.shiftX = 2;
    else if (sub == "410") p.shiftX = 2, p.shiftY = 2;
    else if (sub != "444") return p;
    const std::string rest = format.substr(at + 3);
    if (rest != "p" && rest != "p10le" && rest != "p12le")
        return p;
    p.depth = rest == "p" ? 8 : std::atoi(rest.c_str() + 1);
    p.valid = true;
    return p;
}

size_t PlanarFrameBytes(const Planar &p, size_t width, size_t height)
{
    const size_t cw = (width + (size_t(1) << p.shiftX) - 1) >> p.shiftX;
    const size_t ch = (height + (size_t(1) << p.shiftY) - 1) >> p.shiftY;
    return (width * height + 2 * cw * ch) * (p.depth > 8 ? 2 : 1);
}

// B, G, R of one pixel of a planar BT.601 picture, converted exactly from its samples scaled to
// eight bits.
void PlanarToBgr(const Planar &p, const uint8_t *frame, size_t width, size_t height, size_t x, size_t y,
                 double bgr[3])
{
    const size_t cw = (width + (size_t(1) << p.shiftX) - 1) >> p.shiftX;
    const size_t ch = (height + (size_t(1) << p.shiftY) - 1) >> p.shiftY;
    const size_t bytes = p.depth > 8 ? 2 : 1;
    auto at = [&](size_t plane, size_t index) {
        const uint8_t *s = frame + (plane ? width * height + (plane - 1) * cw * ch : 0) * bytes + index * bytes;
        const unsigned v = bytes == 2 ? unsigned(s[0]) | unsigned(s[1]) << 8 : s[0];
        return double(v) / double(1 << (p.depth - 8));
    };
    const size_t c = (y >> p.shiftY) * cw + (x >> p.shiftX);
    const double kr = 0.299, kb = 0.114;
    const double ys = p.full ? 1.0 : 255.0 / 219, cs = p.full ? 1.0 : 255.0 / 224;
    const double l = (at(0, y * width + x) - (p.full ? 0 : 16)) * ys;
    const double cb = (at(1, c) - 128) * cs, cr = (at(2, c) - 128) * cs;
    const double r = l + 2 * (1 - kr) * cr, b = l + 2 * (1 - kb) * cb, g = (l - kr * r - kb * b) / (1 - kr - kb);
    const double v[3] = {b, g, r};
    for (int i = 0; i < 3; i++)
        bgr[i] = std::min(255.0, std::max(0.0, std::round(v[i])));
}

}  // namespace

std::vector<LONGLONG> FrameIndices(const std::vector<PlacedSample> &segment, const VideoGrid &grid)
{
    std::vector<LONGLONG> frames;
    for (const PlacedSample &s : segment)
        frames.push_back(grid.FrameOfStamp(s.position));
    return frames;
}

size_t ExpectFramesMatch(const PinGraph &graph, size_t pin, const FrameCheck &check)
{
    const std::string name = check.movie + ".v" + std::to_string(check.stream);
    const VideoGrid grid = ReadGrid(check.movie, check.stream);
    const std::vector<uint8_t> reference = ReadMedia(name + "." + check.format);
    EXPECT_TRUE(grid.valid()) << name << ".probe";
    const AM_MEDIA_TYPE mt = graph.Type(pin);
    EXPECT_TRUE(IsEqualGUID(mt.formattype, FORMAT_VideoInfo));
    if (!grid.valid() || reference.empty() || mt.cbFormat < sizeof(VIDEOINFOHEADER))
        return 0;
    const BITMAPINFOHEADER &bmi = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat)->bmiHeader;
    EXPECT_EQ(bmi.biWidth, grid.width);
    EXPECT_EQ(labs(bmi.biHeight), grid.height);
    if (bmi.biWidth != grid.width || labs(bmi.biHeight) != grid.height)
        return 0;

    const size_t width = size_t(grid.width), height = size_t(grid.height);
    const size_t pinBytes = size_t(bmi.biBitCount) / 8;
    const Planar planar = check.kind == FrameReference::kPlanarBt601Source ? PlanarOf(check.format) : Planar();
    EXPECT_EQ(planar.valid, check.kind == FrameReference::kPlanarBt601Source) << check.format;
    const bool yuv = check.kind == FrameReference::kBt601Source || check.kind == FrameReference::kBt709FullSource ||
                     planar.valid;
    const size_t refBytes = check.format == "bgr0" ? 4 : 2;  // else rgb555le
    const size_t stride = (width * pinBytes + 3) & ~size_t(3);
    const size_t refFrame = planar.valid ? PlanarFrameBytes(planar, width, height)
                            : yuv        ? width * height * 3 / 2
                                         : width * height * refBytes;
    EXPECT_EQ(reference.size(), refFrame * size_t(grid.frames)) << name;
    if (check.kind == FrameReference::kSameFormat || check.kind == FrameReference::kJpegSource)
        EXPECT_EQ(pinBytes, refBytes);
    else
        EXPECT_EQ(pinBytes, check.kind == FrameReference::kEightBitSource ? 2u : 4u);

    const std::vector<testsupport::SinkRecord> records = graph.Sink(pin)->Records();
    const std::vector<std::vector<PlacedSample>> segments = Segments(records);
    size_t checked = 0;
    for (size_t s = 0; s < segments.size(); s++) {
        for (size_t n = 0; n < segments[s].size(); n++) {
            const PlacedSample &sample = segments[s][n];
            const LONGLONG k = grid.FrameOfStamp(sample.position);
            const std::vector<BYTE> &bytes = sample.record->bytes;
            SCOPED_TRACE(name + " segment " + std::to_string(s) + " sample " + std::to_string(n) +
                         " frame " + std::to_string(k));
            if (bytes.size() != stride * height || size_t(sample.record->lActual) != bytes.size()) {
                ADD_FAILURE() << "length " << bytes.size() << ", not " << stride * height;
                return checked;
            }
            const uint8_t *ref = reference.data() + size_t(k) * refFrame;
            for (size_t y = 0; y < height && yuv; y++) {
                const uint8_t *got = bytes.data() + y * stride;
                for (size_t x = 0; x < width; x++) {
                    double want[3];
                    if (planar.valid)
                        PlanarToBgr(planar, ref, width, height, x, y, want);
                    else
                        YuvToBgr(ref, width, height, x, y, check.kind == FrameReference::kBt709FullSource, want);
                    for (int c = 0; c < 3; c++) {
                        if (std::fabs(got[4 * x + c] - want[c]) > 1) {
                            ADD_FAILURE() << "pixel " << x << " of row " << y << " channel " << c << ": "
                                          << int(got[4 * x + c]) << " for " << want[c];
                            return checked;
                        }
                    }
                }
            }
            for (size_t y = 0; y < height && !yuv; y++) {
                const uint8_t *got = bytes.data() + y * stride;
                const uint8_t *want = ref + y * width * refBytes;
                if (check.kind == FrameReference::kSameFormat && refBytes != 4) {
                    if (std::memcmp(got, want, width * refBytes) != 0) {
                        size_t x = 0;
                        while (got[x] == want[x])
                            x++;
                        ADD_FAILURE() << "row " << y << " differs at byte " << x << ": "
                                      << int(got[x]) << " for " << int(want[x]);
                        return checked;
                    }
                    continue;
                }
                if (check.kind == FrameReference::kSameFormat || check.kind == FrameReference::kJpegSource) {
                    // B, G, R and a zero byte; ffmpeg's bgr0 leaves 255 in the unused byte.
                    const int tolerance = check.kind == FrameReference::kJpegSource ? 3 : 0;
                    for (size_t x = 0; x < width; x++) {
                        bool same = got[4 * x + 3] == 0;
                        for (int c = 0; c < 3; c++)
                            same = same && std::abs(int(got[4 * x + c]) - int(want[4 * x + c])) <= tolerance;
                        if (!same) {
                            ADD_FAILURE() << "pixel " << x << " of row " << y << " differs";
                            return checked;
                        }
                    }
                    continue;
                }
                if (check.kind == FrameReference::kEightBitSource) {
                    for (size_t x = 0; x < width; x++) {
                        const unsigned v = unsigned(got[2 * x]) | unsigned(got[2 * x + 1]) << 8;
                        const uint8_t *p = want + 4 * x;
                        if (v != (unsigned(p[2] >> 3) << 10 | unsigned(p[1] >> 3) << 5 | unsigned(p[0] >> 3))) {
                            ADD_FAILURE() << "pixel " << x << " of row " << y << " differs";
                            return checked;
                        }
                    }
                    continue;
                }
                for (size_t x = 0; x < width; x++) {
                    const unsigned v = unsigned(want[2 * x]) | unsigned(want[2 * x + 1]) << 8;
                    const unsigned b = got[4 * x] >> 3, g = got[4 * x + 1] >> 3, r = got[4 * x + 2] >> 3;
                    if (b != (v & 31) || g != (v >> 5 & 31) || r != (v >> 10 & 31)) {
                        ADD_FAILURE() << "pixel " << x << " of row " << y << " differs";
                        return checked;
                    }
                }
            }
            checked++;
        }
    }
    return checked;
}

void ExpectFramesAtTheirTimes(testsupport::TestSink *sink,
                              const std::vector<testsupport::SinkRecord> &records,
                              const VideoGrid &grid, std::vector<PlacedSample> *pPass)
{
    ASSERT_TRUE(grid.valid());
    const std::vector<std::vector<PlacedSample>> segments = Segments(records);
    ASSERT_EQ(segments.size(), 1u);
    const std::vector<PlacedSample> &pass = segments[0];
    size_t starts = 0;
    for (const testsupport::SinkRecord &r : records)
        starts += r.kind == testsupport::SinkRecord::kNewSegment && r.tStart == 0;
    EXPECT_EQ(starts, 1u) << "the segment starts at the movie's start";
    EXPECT_EQ(EndOfStreamCount(records), 1u);
    for (const std::string &v : sink->Violations())
        ADD_FAILURE() << v;
    ASSERT_EQ(LONGLONG(pass.size()), grid.frames) << "ffmpeg decodes " << grid.frames << " frames";
    for (size_t k = 0; k < pass.size(); k++) {
        const testsupport::SinkRecord &r = *pass[k].record;
        SCOPED_TRACE("frame " + std::to_string(k));
        ASSERT_EQ(r.timeResult, S_OK);
        ASSERT_LE(llabs(pass[k].position - grid.Start(LONGLONG(k))), 1) << pass[k].position;
        const REFERENCE_TIME stop = pass[k].position + (r.tStop - r.tStart);
        if (k + 1 < pass.size()) {
            ASSERT_LE(llabs(stop - grid.Start(LONGLONG(k) + 1)), 1) << stop;
        } else {
            ASSERT_GT(stop, pass[k].position);
            if (grid.durations[k] > 0) {  // ffprobe may not know it ("N/A")
                ASSERT_LE(stop, grid.End(LONGLONG(k)) + 1);
            }
        }
        EXPECT_TRUE(r.bSyncPoint);
        EXPECT_EQ(r.bDiscontinuity, k == 0);
    }
    *pPass = pass;
}
