// YUV to RGB: the SIMD path against the plain loop, the plain loop against the exact formula,
// and against ffmpeg's own conversion of a libx264 picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "helpers.h"
#include "yuv.h"

using namespace qte;

namespace {

// A picture in planes of their own, each exactly as large as it must be, so that ASan sees a
// read past any of them.
struct Planes {
  int32_t w = 0, h = 0;
  YuvLayout layout = YuvLayout::planar;
  std::vector<uint8_t> y, u, v;
  ptrdiff_t ys = 0, cs = 0;
  YuvPicture picture() const {
    YuvPicture p;
    p.layout = layout;
    p.width = w;
    p.height = h;
    p.y = y.data();
    p.yStride = ys;
    p.u = u.data();
    p.uStride = cs;
    p.v = layout == YuvLayout::planar ? v.data() : nullptr;
    p.vStride = cs;
    return p;
  }
};

Planes randomPlanes(std::mt19937& rng, int32_t w, int32_t h, YuvLayout layout) {
  Planes p;
  p.w = w, p.h = h, p.layout = layout;
  const int32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  p.ys = w + int32_t(rng() % 3);
  p.cs = (layout == YuvLayout::nv12 ? 2 * cw : cw) + int32_t(rng() % 3);
  auto fill = [&](std::vector<uint8_t>& v, size_t n) {
    v.resize(n);
    for (uint8_t& b : v) b = uint8_t(rng());
  };
  // The last row only as long as the picture needs.
  fill(p.y, size_t(p.ys) * (h - 1) + w);
  const size_t chromaRow = layout == YuvLayout::nv12 ? 2 * size_t(cw) : size_t(cw);
  fill(p.u, size_t(p.cs) * (ch - 1) + chromaRow);
  if (layout == YuvLayout::planar) fill(p.v, size_t(p.cs) * (ch - 1) + chromaRow);
  return p;
}

const PixelFormat kFormats[] = {PixelFormat::rgb555, PixelFormat::bgr24, PixelFormat::bgr0};

TEST(Yuv, SimdEqualsPlainLoopAndClipsLikeTheRenderer) {
  std::mt19937 rng(12);
  for (int round = 0; round < 400; ++round) {
    const YuvLayout layout = round & 1 ? YuvLayout::nv12 : YuvLayout::planar;
    const int32_t w = 1 + int32_t(rng() % (round < 380 ? 90 : 700)), h = 1 + int32_t(rng() % 9);
    const Planes p = randomPlanes(rng, w, h, layout);
    const YuvColour colour{rng() & 1 ? YuvMatrix::bt709 : YuvMatrix::bt601, (rng() & 2) != 0};
    const PixelFormat f = kFormats[rng() % 3];
    const int bpp = int(f) / 8;
    const int32_t cropW = 1 + int32_t(rng() % uint32_t(w + 4)), cropH = 1 + int32_t(rng() % uint32_t(h + 2));
    const int32_t dw = 1 + int32_t(rng() % uint32_t(w + 20)), dh = 1 + int32_t(rng() % 12);
    const int32_t x0 = int32_t(rng() % uint32_t(dw + 40)) - 30, y0 = int32_t(rng() % 20) - 8;
    const ptrdiff_t stride = ptrdiff_t(dw) * bpp + ptrdiff_t(rng() % 5);
    std::vector<uint8_t> a(size_t(stride) * dh, 0xA5), b = a;
    PixelBuffer da{a.data(), dw, dh, stride, f}, db{b.data(), dw, dh, stride, f};
    ASSERT_EQ(yuvToRgb(p.picture(), colour, cropW, cropH, da, x0, y0), noErr);
    ASSERT_EQ(yuvToRgbPlain(p.picture(), colour, cropW, cropH, db, x0, y0), noErr);
    ASSERT_EQ(a, b) << "round " << round << ": " << w << "x" << h << " crop " << cropW << "x" << cropH << " at "
                    << x0 << "," << y0 << " into " << dw << "x" << dh << " format " << int(f);
    // Written exactly where the clipped picture lands; padding and the rest untouched.
    const int32_t xs = std::max(0, -x0), xe = std::min({cropW, w, dw - x0});
    const int32_t ys = std::max(0, -y0), ye = std::min({cropH, h, dh - y0});
    size_t outside = 0, inside = 0;
    for (int32_t y = 0; y < dh; ++y)
      for (ptrdiff_t x = 0; x < stride; ++x) {
        const int32_t px = int32_t(x / bpp) - x0, py = y - y0;
        const bool in = x < ptrdiff_t(dw) * bpp && px >= xs && px < xe && py >= ys && py < ye;
        const bool touched = a[size_t(y) * size_t(stride) + size_t(x)] != 0xA5;
        if (!in && touched) ++outside;
        if (in && touched) ++inside;
      }
    ASSERT_EQ(outside, 0u) << "round " << round;
    if (xs < xe && ys < ye) ASSERT_GT(inside, 0u) << "round " << round;
  }
}

TEST(Yuv, BadPicturesAndBuffersAreRefused) {
  std::mt19937 rng(3);
  const Planes p = randomPlanes(rng, 8, 4, YuvLayout::planar);
  std::vector<uint8_t> out(8 * 4 * 4);
  const PixelBuffer good{out.data(), 8, 4, 32, PixelFormat::bgr0};
  YuvPicture pic = p.picture();
  pic.yStride = 7;
  EXPECT_EQ(yuvToRgb(pic, YuvColour(), 8, 4, good, 0, 0), paramErr);
  pic = p.picture();
  pic.vStride = 3;
  EXPECT_EQ(yuvToRgb(pic, YuvColour(), 8, 4, good, 0, 0), paramErr);
  pic = p.picture();
  pic.v = nullptr;
  EXPECT_EQ(yuvToRgb(pic, YuvColour(), 8, 4, good, 0, 0), paramErr);
  PixelBuffer narrow = good;
  narrow.stride = 31;
  EXPECT_EQ(yuvToRgb(p.picture(), YuvColour(), 8, 4, narrow, 0, 0), paramErr);
  // A picture wholly off the buffer is no error and writes nothing.
  std::fill(out.begin(), out.end(), 0x11);
  EXPECT_EQ(yuvToRgb(p.picture(), YuvColour(), 8, 4, good, -8, 0), noErr);
  EXPECT_EQ(yuvToRgb(p.picture(), YuvColour(), 8, 4, good, 0, INT32_MAX), noErr);
  EXPECT_EQ(yuvToRgb(p.picture(), YuvColour(), 8, 4, good, INT32_MIN, 0), noErr);
  EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0x11));
}

// The plain loop against the formula in double precision. Rounding to nearest is off by 0.5;
// the fixed-point terms add at most 0.14 (three products floored at 1/32 each, the luma offset
// rounded to 1/64, coefficients of 13 fractional bits off by 2^-14 over at most 255 + 2 * 128
// steps of input). So a result lies within 0.65 of the exact value, and differs from the
// rounded exact value by 1 at most, only where the exact value is near a half.
TEST(Yuv, PlainLoopWithinRoundingOfTheExactFormula) {
  std::mt19937 rng(7);
  const int32_t n = 4096;  // 2x2 blocks, each with one chroma pair and four luma values
  Planes p;
  p.w = 2 * n, p.h = 2, p.ys = 2 * n, p.cs = n;
  p.y.resize(size_t(4) * n);
  p.u.resize(n);
  p.v.resize(n);
  const uint8_t edges[] = {0, 1, 15, 16, 17, 127, 128, 129, 235, 240, 254, 255};
  for (int32_t i = 0; i < n; ++i) {
    const bool edge = i < 12 * 12;
    p.u[size_t(i)] = edge ? edges[i % 12] : uint8_t(rng());
    p.v[size_t(i)] = edge ? edges[i / 12] : uint8_t(rng());
    for (int k = 0; k < 4; ++k) p.y[size_t(k / 2) * size_t(2 * n) + size_t(2 * i + k % 2)] = edge ? edges[(i + 5 * k) % 12] : uint8_t(rng());
  }
  std::vector<uint8_t> rgb24(size_t(2) * n * 3 * 2), rgb555(size_t(2) * n * 2 * 2), rgb32(size_t(2) * n * 4 * 2);
  for (YuvMatrix m : {YuvMatrix::bt601, YuvMatrix::bt709})
    for (bool full : {false, true}) {
      SCOPED_TRACE(std::string(m == YuvMatrix::bt709 ? "709" : "601") + (full ? " full" : " limited"));
      const YuvColour c{m, full};
      ASSERT_EQ(yuvToRgbPlain(p.picture(), c, p.w, 2, {rgb24.data(), p.w, 2, p.w * 3, PixelFormat::bgr24}, 0, 0), noErr);
      ASSERT_EQ(yuvToRgbPlain(p.picture(), c, p.w, 2, {rgb555.data(), p.w, 2, p.w * 2, PixelFormat::rgb555}, 0, 0), noErr);
      ASSERT_EQ(yuvToRgbPlain(p.picture(), c, p.w, 2, {rgb32.data(), p.w, 2, p.w * 4, PixelFormat::bgr0}, 0, 0), noErr);
      const double kr = m == YuvMatrix::bt709 ? 0.2126 : 0.299, kb = m == YuvMatrix::bt709 ? 0.0722 : 0.114;
      const double kg = 1 - kr - kb;
      double worst = 0;
      for (int32_t row = 0; row < 2; ++row)
        for (int32_t x = 0; x < p.w; ++x) {
          const double y = full ? p.y[size_t(row) * size_t(p.w) + size_t(x)] : (p.y[size_t(row) * size_t(p.w) + size_t(x)] - 16) * 255.0 / 219;
          const double cb = (p.u[size_t(x / 2)] - 128) * (full ? 1.0 : 255.0 / 224);
          const double cr = (p.v[size_t(x / 2)] - 128) * (full ? 1.0 : 255.0 / 224);
          const double exact[3] = {y + 2 * (1 - kb) * cb, y - 2 * kb * (1 - kb) / kg * cb - 2 * kr * (1 - kr) / kg * cr,
                                   y + 2 * (1 - kr) * cr};  // B, G, R
          const size_t i = size_t(row) * size_t(p.w) + size_t(x);
          for (int k = 0; k < 3; ++k) {
            const double want = std::min(255.0, std::max(0.0, exact[k]));
            worst = std::max(worst, std::fabs(rgb24[i * 3 + size_t(k)] - want));
            ASSERT_EQ(rgb32[i * 4 + size_t(k)], rgb24[i * 3 + size_t(k)]);
          }
          ASSERT_EQ(rgb32[i * 4 + 3], 0);
          const uint32_t p555 = uint32_t(rgb555[i * 2]) | uint32_t(rgb555[i * 2 + 1]) << 8;
          ASSERT_EQ(p555, uint32_t(rgb24[i * 3 + 2] >> 3) << 10 | uint32_t(rgb24[i * 3 + 1] >> 3) << 5 | uint32_t(rgb24[i * 3] >> 3));
        }
      EXPECT_LE(worst, 0.65);
    }
}

// ffmpeg's default yuv420p to bgr0 conversion is table-driven (up to 3 off), and with
// full_chroma_int it interpolates chroma, which this conversion does not. So ffmpeg is given the
// same chroma as ours (each sample repeated over its 2x2 block, as yuv444p) and its accurate,
// bitexact arithmetic: it then agrees to within 1 (seen: 1 at 0.1 to 0.25% of the values, both
// conversions rounding to nearest from slightly different fixed-point terms). Decoded pictures only: on out-of-gamut extremes (Y 250, U 250) ffmpeg's
// limited-range arithmetic overflows and wraps to 0 where the result clamps to 255.
TEST(Yuv, WithinOneOfFfmpegOnADecodedPicture) {
  const int32_t w = 640, h = 360;
  const size_t frame = size_t(w) * h * 3 / 2;
  const std::vector<uint8_t> yuv = run("ffmpeg -v error -i '" + media("codec/h264-high.mp4") +
                                       "' -frames:v 2 -f rawvideo -pix_fmt yuv420p -");
  ASSERT_EQ(yuv.size(), 2 * frame);
  std::vector<uint8_t> yuv444;
  for (size_t f = 0; f < 2; ++f) {
    const uint8_t* p = yuv.data() + f * frame;
    yuv444.insert(yuv444.end(), p, p + size_t(w) * h);
    for (int plane = 0; plane < 2; ++plane) {
      const uint8_t* c = p + size_t(w) * h + size_t(plane) * (w / 2) * (h / 2);
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) yuv444.push_back(c[size_t(y / 2) * (w / 2) + size_t(x / 2)]);
    }
  }
  const std::string path = ::testing::TempDir() + "yuv444-640x360.yuv";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  ASSERT_EQ(std::fwrite(yuv444.data(), 1, yuv444.size(), f), yuv444.size());
  std::fclose(f);
  std::vector<uint8_t> ours(size_t(w) * h * 4);
  for (YuvMatrix m : {YuvMatrix::bt601, YuvMatrix::bt709})
    for (bool full : {false, true}) {
      SCOPED_TRACE(std::string(m == YuvMatrix::bt709 ? "709" : "601") + (full ? " full" : " limited"));
      const std::vector<uint8_t> ref = run(
          "ffmpeg -v error -f rawvideo -pix_fmt yuv444p -s 640x360 -i '" + path + "' -vf scale=in_color_matrix=" +
          (m == YuvMatrix::bt709 ? "bt709" : "bt601") + ":in_range=" + (full ? "full" : "limited") +
          ":flags=accurate_rnd+bitexact+full_chroma_int -f rawvideo -pix_fmt bgr0 -");
      ASSERT_EQ(ref.size(), 2 * ours.size());
      int worst = 0;
      for (size_t fr = 0; fr < 2; ++fr) {
        YuvPicture pic;
        ASSERT_TRUE(yuvPictureInBuffer(yuv.data() + fr * frame, frame, YuvLayout::planar, false, w, h, w, h, &pic));
        ASSERT_EQ(yuvToRgb(pic, {m, full}, w, h, {ours.data(), w, h, w * 4, PixelFormat::bgr0}, 0, 0), noErr);
        for (size_t i = 0; i < ours.size(); ++i)
          if (i % 4 != 3) worst = std::max(worst, std::abs(int(ours[i]) - int(ref[fr * ours.size() + i])));
      }
      EXPECT_LE(worst, 1);
    }
  std::remove(path.c_str());
}

TEST(Yuv, PictureInOneBuffer) {
  // 6x5 picture in a buffer of stride 8 and 6 rows: I420 puts U then V, YV12 V then U.
  std::vector<uint8_t> buf(8 * 6 + 4 * 3 * 2);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i);
  YuvPicture i420, yv12, nv12;
  ASSERT_TRUE(yuvPictureInBuffer(buf.data(), buf.size(), YuvLayout::planar, false, 6, 5, 8, 6, &i420));
  ASSERT_TRUE(yuvPictureInBuffer(buf.data(), buf.size(), YuvLayout::planar, true, 6, 5, 8, 6, &yv12));
  EXPECT_EQ(i420.u, buf.data() + 48);
  EXPECT_EQ(i420.v, buf.data() + 48 + 12);
  EXPECT_EQ(i420.uStride, 4);
  EXPECT_EQ(yv12.u, i420.v);
  EXPECT_EQ(yv12.v, i420.u);
  EXPECT_FALSE(yuvPictureInBuffer(buf.data(), buf.size() - 1, YuvLayout::planar, false, 6, 5, 8, 6, &i420));
  ASSERT_TRUE(yuvPictureInBuffer(buf.data(), 8 * 6 + 8 * 3, YuvLayout::nv12, false, 6, 5, 8, 6, &nv12));
  EXPECT_EQ(nv12.u, buf.data() + 48);
  EXPECT_EQ(nv12.uStride, 8);
  EXPECT_FALSE(yuvPictureInBuffer(buf.data(), 8 * 6 + 8 * 3 - 1, YuvLayout::nv12, false, 6, 5, 8, 6, &nv12));
  EXPECT_FALSE(yuvPictureInBuffer(buf.data(), buf.size(), YuvLayout::planar, false, 6, 7, 8, 6, &i420));
}

}  // namespace
