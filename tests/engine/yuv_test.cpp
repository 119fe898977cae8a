// YUV to RGB: the SIMD path against the plain loop on pictures of every kind, the plain loop
// against the exact formula at every depth, and against ffmpeg's own conversions of decoded
// pictures (swscale for 8 bits, zimg for deeper ones).
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

// A picture of any kind in planes of their own, each exactly as large as it must be, so that
// ASan sees a read past any of them. Strides are in bytes; samples deeper than 8 bits are
// little-endian words.
struct Planes {
  int32_t w = 0, h = 0;
  YuvLayout layout = YuvLayout::planar;
  int depth = 8;
  bool msb = false;
  int sx = 1, sy = 1;
  std::vector<uint8_t> y, u, v;
  ptrdiff_t ys = 0, cs = 0;
  int bytes() const { return depth > 8 ? 2 : 1; }
  int32_t cw() const { return (w + (1 << sx) - 1) >> sx; }
  int32_t ch() const { return (h + (1 << sy) - 1) >> sy; }
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
    p.bitDepth = uint8_t(depth);
    p.msbAligned = msb;
    p.chromaShiftX = uint8_t(sx), p.chromaShiftY = uint8_t(sy);
    return p;
  }
  // Sample i of a plane's row: a value of `depth` bits, stored as the picture's kind says.
  void put(std::vector<uint8_t>& plane, ptrdiff_t stride, int32_t row, int32_t i, uint32_t value) {
    uint8_t* at = plane.data() + row * stride + ptrdiff_t(i) * bytes();
    if (depth == 8) {
      at[0] = uint8_t(value);
      return;
    }
    const uint32_t word = msb ? value << (16 - depth) : value;
    at[0] = uint8_t(word), at[1] = uint8_t(word >> 8);
  }
};

// Random bytes: deeper samples then have bits outside their depth set too, which the conversion
// must ignore.
Planes randomPlanes(std::mt19937& rng, int32_t w, int32_t h, YuvLayout layout, int depth = 8, bool msb = false,
                    int sx = 1, int sy = 1) {
  Planes p;
  p.w = w, p.h = h, p.layout = layout, p.depth = depth, p.msb = msb, p.sx = sx, p.sy = sy;
  const int32_t cw = p.cw(), ch = p.ch();
  p.ys = ptrdiff_t(w) * p.bytes() + int32_t(rng() % 3);
  const size_t chromaRow = size_t(layout == YuvLayout::nv12 ? 2 * cw : cw) * size_t(p.bytes());
  p.cs = ptrdiff_t(chromaRow) + int32_t(rng() % 3);
  auto fill = [&](std::vector<uint8_t>& v, size_t n) {
    v.resize(n);
    for (uint8_t& b : v) b = uint8_t(rng());
  };
  // The last row only as long as the picture needs.
  fill(p.y, size_t(p.ys) * (h - 1) + size_t(w) * size_t(p.bytes()));
  fill(p.u, size_t(p.cs) * (ch - 1) + chromaRow);
  if (layout == YuvLayout::planar) fill(p.v, size_t(p.cs) * (ch - 1) + chromaRow);
  return p;
}

// The subsamplings decoders deliver (x, y shifts): 4:2:0, 4:2:2, 4:4:4, 4:1:1, 4:1:0.
const int kShifts[][2] = {{1, 1}, {1, 0}, {0, 0}, {2, 0}, {2, 2}};
const YuvMatrix kMatrices[] = {YuvMatrix::bt601, YuvMatrix::bt709, YuvMatrix::bt2020};
const char* matrixName(YuvMatrix m) { return m == YuvMatrix::bt601 ? "601" : m == YuvMatrix::bt709 ? "709" : "2020"; }

const PixelFormat kFormats[] = {PixelFormat::rgb555, PixelFormat::bgr24, PixelFormat::bgr0};

TEST(Yuv, SimdEqualsPlainLoopAndClipsLikeTheRenderer) {
  std::mt19937 rng(12);
  const int depths[] = {8, 9, 10, 12, 16};
  for (int round = 0; round < 1500; ++round) {
    // The first rounds are the 8-bit 4:2:0 SDR pictures of today's decoders; then every kind.
    const bool anyKind = round >= 400;
    const YuvLayout layout = round & 1 ? YuvLayout::nv12 : YuvLayout::planar;
    const int depth = anyKind ? depths[rng() % 5] : 8;
    const bool msb = depth > 8 && (rng() & 1);
    const int* shift = kShifts[anyKind ? rng() % 5 : 0];
    const int32_t w = 1 + int32_t(rng() % (round % 20 ? 90 : 700)), h = 1 + int32_t(rng() % 13);
    const Planes p = randomPlanes(rng, w, h, layout, depth, msb, shift[0], shift[1]);
    const YuvColour colour{anyKind ? kMatrices[rng() % 3] : rng() & 1 ? YuvMatrix::bt709 : YuvMatrix::bt601, (rng() & 2) != 0};
    const PixelFormat f = kFormats[rng() % 3];
    const int bpp = int(f) / 8;
    const int32_t cropW = 1 + int32_t(rng() % uint32_t(w + 4)), cropH = 1 + int32_t(rng() % uint32_t(h + 2));
    const int32_t dw = 1 + int32_t(rng() % uint32_t(w + 20)), dh = 1 + int32_t(rng() % 16);
    const int32_t x0 = int32_t(rng() % uint32_t(dw + 40)) - 30, y0 = int32_t(rng() % 20) - 8;
    const ptrdiff_t stride = ptrdiff_t(dw) * bpp + ptrdiff_t(rng() % 5);
    std::vector<uint8_t> a(size_t(stride) * dh, 0xA5), b = a;
    PixelBuffer da{a.data(), dw, dh, stride, f}, db{b.data(), dw, dh, stride, f};
    ASSERT_EQ(yuvToRgb(p.picture(), colour, cropW, cropH, da, x0, y0), noErr);
    ASSERT_EQ(yuvToRgbPlain(p.picture(), colour, cropW, cropH, db, x0, y0), noErr);
    ASSERT_EQ(a, b) << "round " << round << ": " << w << "x" << h << " depth " << depth << (msb ? " msb" : "")
                    << " shifts " << shift[0] << "," << shift[1] << (layout == YuvLayout::nv12 ? " nv12" : " planar")
                    << " matrix " << matrixName(colour.matrix) << " crop " << cropW << "x" << cropH << " at " << x0
                    << "," << y0 << " into " << dw << "x" << dh << " format " << int(f);
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
  // Depths outside 8..16 bits, 8-bit words said to be MSB-aligned, chroma of more than 1 in 4.
  for (auto spoil : std::initializer_list<void (*)(YuvPicture&)>{
           [](YuvPicture& q) { q.bitDepth = 7; }, [](YuvPicture& q) { q.bitDepth = 17; },
           [](YuvPicture& q) { q.msbAligned = true; }, [](YuvPicture& q) { q.chromaShiftX = 3; },
           [](YuvPicture& q) { q.chromaShiftY = 3; }}) {
    pic = p.picture();
    spoil(pic);
    EXPECT_EQ(yuvToRgb(pic, YuvColour(), 8, 4, good, 0, 0), paramErr);
  }
  // Rows of 16-bit samples are twice as long: the 8-bit strides no longer hold them.
  pic = p.picture();
  pic.bitDepth = 10;
  EXPECT_EQ(yuvToRgb(pic, YuvColour(), 8, 4, good, 0, 0), paramErr);
  const Planes deep = randomPlanes(rng, 8, 4, YuvLayout::nv12, 10, true, 0, 0);  // 4:4:4 P010-style
  pic = deep.picture();
  EXPECT_EQ(yuvToRgb(pic, YuvColour(), 8, 4, good, 0, 0), noErr);
  pic.uStride = 31;  // 8 pairs of words need 32 bytes
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

// The plain loop against the formula in double precision, at every depth, for every matrix and
// range. Rounding to nearest is off by 0.5; the fixed-point terms add at most 0.14 (three
// products floored at 1/32 each, the luma offset rounded to 1/64, coefficients of 13 fractional
// bits off by at most 0.031 over the input range). So a result lies within 0.65 of the exact
// value, and differs from the rounded exact value by 1 at most, only where the exact value is
// near a half.
TEST(Yuv, PlainLoopWithinRoundingOfTheExactFormula) {
  std::mt19937 rng(7);
  const int32_t n = 4096;  // 2x2 blocks, each with one chroma pair and four luma values
  std::vector<uint8_t> rgb24(size_t(2) * n * 3 * 2), rgb555(size_t(2) * n * 2 * 2), rgb32(size_t(2) * n * 4 * 2);
  for (int depth : {8, 9, 10, 12, 16})
    for (bool msb : {false, true}) {
      if (depth == 8 && msb) continue;
      Planes p;
      p.w = 2 * n, p.h = 2, p.depth = depth, p.msb = msb;
      p.ys = ptrdiff_t(p.w) * p.bytes(), p.cs = ptrdiff_t(n) * p.bytes();
      p.y.resize(size_t(2 * p.ys));
      p.u.resize(size_t(p.cs));
      p.v.resize(size_t(p.cs));
      const int s = depth - 8;
      const uint32_t top = (1u << depth) - 1;
      const uint32_t edges[] = {0, 1, 15u << s, 16u << s, (16u << s) + 1, (128u << s) - 1, 128u << s, (128u << s) + 1,
                                235u << s, 240u << s, top - 1, top};
      std::vector<uint32_t> Y(size_t(2) * p.w), U(n), V(n);
      for (int32_t i = 0; i < n; ++i) {
        const bool edge = i < 12 * 12;
        U[size_t(i)] = edge ? edges[i % 12] : rng() & top;
        V[size_t(i)] = edge ? edges[i / 12] : rng() & top;
        p.put(p.u, p.cs, 0, i, U[size_t(i)]);
        p.put(p.v, p.cs, 0, i, V[size_t(i)]);
        for (int k = 0; k < 4; ++k) {
          const int32_t row = k / 2, x = 2 * i + k % 2;
          const uint32_t value = edge ? edges[(i + 5 * k) % 12] : rng() & top;
          Y[size_t(row) * size_t(p.w) + size_t(x)] = value;
          p.put(p.y, p.ys, row, x, value);
        }
      }
      for (YuvMatrix m : kMatrices)
        for (bool full : {false, true}) {
          SCOPED_TRACE(std::to_string(depth) + (msb ? " bits msb " : " bits ") + matrixName(m) + (full ? " full" : " limited"));
          const YuvColour c{m, full};
          ASSERT_EQ(yuvToRgbPlain(p.picture(), c, p.w, 2, {rgb24.data(), p.w, 2, p.w * 3, PixelFormat::bgr24}, 0, 0), noErr);
          ASSERT_EQ(yuvToRgbPlain(p.picture(), c, p.w, 2, {rgb555.data(), p.w, 2, p.w * 2, PixelFormat::rgb555}, 0, 0), noErr);
          ASSERT_EQ(yuvToRgbPlain(p.picture(), c, p.w, 2, {rgb32.data(), p.w, 2, p.w * 4, PixelFormat::bgr0}, 0, 0), noErr);
          const double kr = m == YuvMatrix::bt601 ? 0.299 : m == YuvMatrix::bt709 ? 0.2126 : 0.2627;
          const double kb = m == YuvMatrix::bt601 ? 0.114 : m == YuvMatrix::bt709 ? 0.0722 : 0.0593;
          const double kg = 1 - kr - kb;
          // Full range: 2^d - 1 steps; limited: 219 (luma) and 224 (chroma) steps of 8 bits.
          const double lumaSteps = full ? top : double(219 << s), chromaSteps = full ? top : double(224 << s);
          double worst = 0;
          for (int32_t row = 0; row < 2; ++row)
            for (int32_t x = 0; x < p.w; ++x) {
              const size_t i = size_t(row) * size_t(p.w) + size_t(x);
              const double y = (double(Y[i]) - (full ? 0 : 16 << s)) * 255 / lumaSteps;
              const double cb = (double(U[size_t(x / 2)]) - (128 << s)) * 255 / chromaSteps;
              const double cr = (double(V[size_t(x / 2)]) - (128 << s)) * 255 / chromaSteps;
              const double exact[3] = {y + 2 * (1 - kb) * cb, y - 2 * kb * (1 - kb) / kg * cb - 2 * kr * (1 - kr) / kg * cr,
                                       y + 2 * (1 - kr) * cr};  // B, G, R
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

// Every kind of picture, made by ffmpeg from a decoded one (cut to 637x357 so that the last
// chroma samples cover fewer pixels), against zimg's conversion of the same samples: float
// arithmetic rounded to nearest, within 0.5 of the exact value (seen: 0.49997). zimg is given our
// chroma, each sample repeated over the pixels it covers, as 4:4:4 of the same depth; the two
// then agree within 1.
struct KindCase {
  const char* pixFmt;
  YuvLayout layout;
  int depth;
  bool msb;
  int sx, sy;
  YuvMatrix matrix;
  bool full;
};

TEST(Yuv, EveryKindWithinOneOfZimgOnADecodedPicture) {
  const int32_t w = 637, h = 357;
  const YuvLayout planar = YuvLayout::planar, nv12 = YuvLayout::nv12;
  const KindCase cases[] = {
      {"yuv422p10le", planar, 10, false, 1, 0, YuvMatrix::bt709, false},
      {"yuv444p12le", planar, 12, false, 0, 0, YuvMatrix::bt2020, true},
      {"yuv420p16le", planar, 16, false, 1, 1, YuvMatrix::bt601, true},
      {"yuv411p", planar, 8, false, 2, 0, YuvMatrix::bt601, false},
      {"yuv410p", planar, 8, false, 2, 2, YuvMatrix::bt709, true},
      {"p010le", nv12, 10, true, 1, 1, YuvMatrix::bt601, false},
      {"p210le", nv12, 10, true, 1, 0, YuvMatrix::bt2020, false},
      {"p416le", nv12, 16, true, 0, 0, YuvMatrix::bt709, true},
      {"nv24", nv12, 8, false, 0, 0, YuvMatrix::bt2020, false},
  };
  const std::string path = ::testing::TempDir() + "kind444-637x357.yuv";
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.pixFmt);
    const std::vector<uint8_t> raw = run("ffmpeg -v error -i '" + media("codec/h264-high.mp4") +
                                         "' -frames:v 1 -vf format=yuv444p,crop=637:357:0:0 -f rawvideo -pix_fmt " + c.pixFmt + " -");
    Planes p;
    p.w = w, p.h = h, p.layout = c.layout, p.depth = c.depth, p.msb = c.msb, p.sx = c.sx, p.sy = c.sy;
    const size_t b = size_t(p.bytes()), cw = size_t(p.cw()), ch = size_t(p.ch());
    const size_t luma = size_t(w) * h * b, chromaRow = (c.layout == nv12 ? 2 : 1) * cw * b;
    ASSERT_EQ(raw.size(), luma + chromaRow * ch * (c.layout == nv12 ? 1 : 2));
    p.ys = ptrdiff_t(w) * ptrdiff_t(b), p.cs = ptrdiff_t(chromaRow);
    p.y.assign(raw.begin(), raw.begin() + ptrdiff_t(luma));
    p.u.assign(raw.begin() + ptrdiff_t(luma), raw.begin() + ptrdiff_t(luma + chromaRow * ch));
    if (c.layout == planar) p.v.assign(raw.begin() + ptrdiff_t(luma + chromaRow * ch), raw.end());
    // The same samples as 4:4:4, in words holding the values in their low bits.
    auto sample = [&](const std::vector<uint8_t>& plane, size_t i) {
      if (b == 1) return uint32_t(plane[i]);
      const uint32_t v = uint32_t(plane[2 * i]) | uint32_t(plane[2 * i + 1]) << 8;
      return c.msb ? v >> (16 - c.depth) : v;
    };
    std::vector<uint8_t> yuv444;
    auto push = [&](uint32_t v) {
      yuv444.push_back(uint8_t(v));
      if (b == 2) yuv444.push_back(uint8_t(v >> 8));
    };
    for (size_t i = 0; i < size_t(w) * h; ++i) push(sample(p.y, i));
    for (int plane = 0; plane < 2; ++plane)
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
          const size_t cx = size_t(x >> c.sx), cy = size_t(y >> c.sy);
          push(c.layout == nv12 ? sample(p.u, cy * 2 * cw + 2 * cx + size_t(plane))
                                : sample(plane ? p.v : p.u, cy * cw + cx));
        }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    ASSERT_EQ(std::fwrite(yuv444.data(), 1, yuv444.size(), f), yuv444.size());
    std::fclose(f);
    const std::string format444 = c.depth == 8 ? "yuv444p" : "yuv444p" + std::to_string(c.depth) + "le";
    const char* zimgMatrix = c.matrix == YuvMatrix::bt601 ? "170m" : c.matrix == YuvMatrix::bt709 ? "709" : "2020_ncl";
    const std::vector<uint8_t> ref =
        run("ffmpeg -v error -f rawvideo -pix_fmt " + format444 + " -s 637x357 -i '" + path + "' -vf zscale=min=" +
            zimgMatrix + ":rin=" + (c.full ? "full" : "limited") +
            ":tin=709:pin=709:t=709:p=709:r=full,format=gbrp -f rawvideo -");  // planes G, B, R
    ASSERT_EQ(ref.size(), size_t(w) * h * 3);
    std::vector<uint8_t> ours(size_t(w) * h * 4);
    ASSERT_EQ(yuvToRgb(p.picture(), {c.matrix, c.full}, w, h, {ours.data(), w, h, w * 4, PixelFormat::bgr0}, 0, 0), noErr);
    int worst = 0;
    const size_t n = size_t(w) * h;
    for (size_t i = 0; i < n; ++i) {
      worst = std::max(worst, std::abs(int(ours[4 * i]) - int(ref[n + i])));
      worst = std::max(worst, std::abs(int(ours[4 * i + 1]) - int(ref[i])));
      worst = std::max(worst, std::abs(int(ours[4 * i + 2]) - int(ref[2 * n + i])));
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
