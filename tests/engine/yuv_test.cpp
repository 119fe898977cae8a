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
  // Sample i of a plane, counted from its first byte, as a value of `depth` bits.
  uint32_t value(const std::vector<uint8_t>& plane, size_t i) const {
    if (depth == 8) return plane[i];
    const uint32_t word = uint32_t(plane[2 * i]) | uint32_t(plane[2 * i + 1]) << 8;
    return msb ? word >> (16 - depth) : word & ((1u << depth) - 1);
  }
  // The picture as ffmpeg's yuv444p of its depth (little-endian words holding the values), each
  // chroma sample repeated over the pixels it covers: what the conversion sees.
  std::vector<uint8_t> as444() const {
    std::vector<uint8_t> out;
    auto push = [&](uint32_t v) {
      out.push_back(uint8_t(v));
      if (depth > 8) out.push_back(uint8_t(v >> 8));
    };
    const size_t rowSamples = size_t(ys / bytes()), chromaSamples = size_t(cs / bytes());
    for (int32_t r = 0; r < h; ++r)
      for (int32_t x = 0; x < w; ++x) push(value(y, size_t(r) * rowSamples + size_t(x)));
    for (int plane = 0; plane < 2; ++plane)
      for (int32_t r = 0; r < h; ++r)
        for (int32_t x = 0; x < w; ++x) {
          const size_t at = size_t(r >> sy) * chromaSamples;
          push(layout == YuvLayout::nv12 ? value(u, at + 2 * size_t(x >> sx) + size_t(plane))
                                         : value(plane ? v : u, at + size_t(x >> sx)));
        }
    return out;
  }
  std::string format444() const { return depth == 8 ? "yuv444p" : "yuv444p" + std::to_string(depth) + "le"; }
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

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
    YuvColour colour{anyKind ? kMatrices[rng() % 3] : rng() & 1 ? YuvMatrix::bt709 : YuvMatrix::bt601, (rng() & 2) != 0};
    if (anyKind) {
      colour.transfer = YuvTransfer(rng() % 3);
      colour.primaries = YuvPrimaries(rng() % 3);
    }
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
                    << " matrix " << matrixName(colour.matrix) << " transfer " << int(colour.transfer)
                    << " primaries " << int(colour.primaries) << " crop " << cropW << "x" << cropH << " at " << x0
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
    ASSERT_NO_FATAL_FAILURE(writeFile(path, p.as444()));
    const std::string format444 = p.format444();
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

// PSNR of B,G,R,0 pixels against ffmpeg's G, B, R planes of the same pictures, over all three
// channels.
double psnr(const std::vector<uint8_t>& bgr0, const std::vector<uint8_t>& gbrp, size_t pixelsPerPicture) {
  double sum = 0;
  const size_t pictures = gbrp.size() / (3 * pixelsPerPicture);
  for (size_t f = 0; f < pictures; ++f)
    for (size_t i = 0; i < pixelsPerPicture; ++i) {
      const uint8_t* ours = bgr0.data() + 4 * (f * pixelsPerPicture + i);
      const uint8_t* ref = gbrp.data() + 3 * f * pixelsPerPicture + i;
      const int d[3] = {ours[0] - ref[pixelsPerPicture], ours[1] - ref[0], ours[2] - ref[2 * pixelsPerPicture]};
      for (int e : d) sum += double(e) * e;
    }
  const double mse = sum / double(3 * pictures * pixelsPerPicture);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// HDR and BT.2020 pictures against ffmpeg's chain doing the same steps in float: zimg without its
// approximations (agamma=0; with them it applies HLG's OOTF to each channel alone), light with
// 1.0 = 100 cd/m² (npl=100), BT.2020 to BT.709 primaries in linear light, the tonemap filter's
// Möbius curve (knee 0.3, peak 10 = 1000 cd/m², no desaturation), then BT.1886:
//   zscale=agamma=0:tin=<transfer>:pin=2020:min=2020_ncl:rin=limited:t=linear:p=2020:npl=100,
//   format=gbrpf32le,zscale=agamma=0:p=709,tonemap=tonemap=mobius:param=0.3:desat=0:peak=10,
//   zscale=agamma=0:t=bt709:r=full,format=gbrp
// (BT.2020 SDR takes it without the tonemap filter). The movies' frames as ffmpeg decodes them
// are wrapped in pictures as a decoder would hand them over. Against ffmpeg given our chroma (each
// sample repeated over its 2x2 block) the difference is the arithmetic's alone: seen 72.3 (HLG),
// 72.4 (PQ) and 77.6 dB, 99 % of the values equal, the rest 1 off but for a few dozen near black.
// Against ffmpeg's chain from the movie itself, zimg also interpolates chroma, taking it for
// left-sited: on testsrc2's one-pixel colour edges that alone costs 26 to 27 dB (seen 26.7, 25.8,
// 26.9; BT.2020 SDR, with no tone curve, as much; 8-bit pictures, whose chroma is repeated as
// ever, 27.9 against zimg and 48.7 against swscale, which repeats it too). That floor only
// catches gross faults.
struct LightCase {
  const char* movie;
  const char* transfer;  // zimg's name
  YuvTransfer colour;
  double ownChroma, ffmpegChroma;  // the PSNR each comparison must reach
};

TEST(Yuv, HdrAndBt2020WithinFfmpegsChain) {
  const int32_t w = 640, h = 360;
  const size_t n = size_t(w) * h, frameBytes = n * 3;  // 4:2:0 of 16-bit words
  const LightCase cases[] = {
      {"codec/hevc-hlg.mov", "arib-std-b67", YuvTransfer::hlg, 60, 25},
      {"codec/hevc-pq.mp4", "smpte2084", YuvTransfer::pq, 60, 25},
      {"codec/hevc-2020.mov", "bt2020-10", YuvTransfer::sdr, 60, 25},
  };
  const std::string path = ::testing::TempDir() + "light444-640x360.yuv";
  for (const LightCase& c : cases) {
    SCOPED_TRACE(c.movie);
    const std::vector<uint8_t> raw = run("ffmpeg -v error -i '" + media(c.movie) + "' -f rawvideo -pix_fmt yuv420p10le -");
    ASSERT_TRUE(!raw.empty() && raw.size() % frameBytes == 0) << raw.size();
    const size_t frames = raw.size() / frameBytes;
    const YuvColour colour{YuvMatrix::bt2020, false, c.colour, YuvPrimaries::bt2020};
    std::vector<uint8_t> ours(frames * n * 4), yuv444;
    for (size_t f = 0; f < frames; ++f) {
      const uint8_t* frame = raw.data() + f * frameBytes;
      Planes p;
      p.w = w, p.h = h, p.depth = 10;
      p.ys = 2 * w, p.cs = w;
      p.y.assign(frame, frame + 2 * n);
      p.u.assign(frame + 2 * n, frame + 2 * n + n / 2);
      p.v.assign(frame + 2 * n + n / 2, frame + 3 * n);
      ASSERT_EQ(yuvToRgb(p.picture(), colour, w, h, {ours.data() + f * n * 4, w, h, w * 4, PixelFormat::bgr0}, 0, 0),
                noErr);
      const std::vector<uint8_t> one = p.as444();
      yuv444.insert(yuv444.end(), one.begin(), one.end());
    }
    ASSERT_NO_FATAL_FAILURE(writeFile(path, yuv444));
    const std::string chain = std::string("zscale=agamma=0:tin=") + c.transfer +
                              ":pin=2020:min=2020_ncl:rin=limited:t=linear:p=2020:npl=100,format=gbrpf32le,"
                              "zscale=agamma=0:p=709," +
                              (c.colour == YuvTransfer::sdr ? "" : "tonemap=tonemap=mobius:param=0.3:desat=0:peak=10,") +
                              "zscale=agamma=0:t=bt709:r=full,format=gbrp";
    const std::vector<uint8_t> own = run("ffmpeg -v error -f rawvideo -pix_fmt yuv444p10le -s 640x360 -i '" + path +
                                         "' -vf " + chain + " -f rawvideo -");
    const std::vector<uint8_t> theirs = run("ffmpeg -v error -i '" + media(c.movie) + "' -vf " + chain + " -f rawvideo -");
    ASSERT_EQ(own.size(), frames * n * 3);
    ASSERT_EQ(theirs.size(), frames * n * 3);
    EXPECT_GE(psnr(ours, own, n), c.ownChroma);
    EXPECT_GE(psnr(ours, theirs, n), c.ffmpegChroma);
  }
  std::remove(path.c_str());
}

// Through every light path grey stays grey and rises with the signal from black to white; a
// BT.709 red, coded in BT.2020 SDR, comes out as BT.709's red.
TEST(Yuv, LightPathsKeepGreyAndMapPrimaries) {
  Planes p;
  p.w = 877 + 1, p.h = 1, p.depth = 10, p.sx = 0, p.sy = 0;  // 10-bit 4:4:4
  p.ys = p.cs = 2 * p.w;
  p.y.resize(size_t(p.ys)), p.u.resize(size_t(p.cs)), p.v.resize(size_t(p.cs));
  for (int32_t x = 0; x < 877; ++x) {  // Y from 64 (black) to 940 (white)
    p.put(p.y, p.ys, 0, x, uint32_t(64 + x));
    p.put(p.u, p.cs, 0, x, 512);
    p.put(p.v, p.cs, 0, x, 512);
  }
  // BT.709's red in BT.2020 light is (0.6274, 0.0691, 0.0164); its R'G'B' through BT.1886 and
  // the BT.2020 matrix, in 10-bit limited range.
  const double r = std::pow(0.6274, 1 / 2.4), g = std::pow(0.0691, 1 / 2.4), b = std::pow(0.0164, 1 / 2.4);
  const double y = 0.2627 * r + 0.6780 * g + 0.0593 * b;
  p.put(p.y, p.ys, 0, 877, uint32_t(std::lround(64 + 876 * y)));
  p.put(p.u, p.cs, 0, 877, uint32_t(std::lround(512 + 896 * (b - y) / (2 * (1 - 0.0593)))));
  p.put(p.v, p.cs, 0, 877, uint32_t(std::lround(512 + 896 * (r - y) / (2 * (1 - 0.2627)))));
  std::vector<uint8_t> out(size_t(p.w) * 4);
  for (YuvTransfer t : {YuvTransfer::sdr, YuvTransfer::pq, YuvTransfer::hlg}) {
    SCOPED_TRACE(int(t));
    ASSERT_EQ(yuvToRgb(p.picture(), {YuvMatrix::bt2020, false, t, YuvPrimaries::bt2020}, p.w, 1,
                       {out.data(), p.w, 1, p.w * 4, PixelFormat::bgr0}, 0, 0),
              noErr);
    for (int32_t x = 0; x < 877; ++x) {
      ASSERT_EQ(out[4 * size_t(x)], out[4 * size_t(x) + 1]) << x;
      ASSERT_EQ(out[4 * size_t(x) + 1], out[4 * size_t(x) + 2]) << x;
      if (x) ASSERT_GE(out[4 * size_t(x)], out[4 * size_t(x) - 4]) << x;
    }
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[4 * 876], 255);
    // Unmapped it would be (210, 84, 46). G and B keep what the 10-bit codes leave near black,
    // where one 10-bit step is several 8-bit BT.1886 steps.
    if (t == YuvTransfer::sdr) {
      EXPECT_GE(out[4 * 877 + 2], 250);  // R
      EXPECT_LE(out[4 * 877 + 1], 12);   // G
      EXPECT_LE(out[4 * 877], 12);       // B
    }
  }
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
