// Picture planes, and packed RGB of every layout into frames.
#include "pictures.h"

#include <algorithm>
#include <cstring>

namespace qte {

namespace {

// Bits one pixel takes in a packed plane (mono: 1).
uint32_t packedBits(RgbLayout l) {
  switch (l) {
    case RgbLayout::bgr24: case RgbLayout::rgb24: return 24;
    case RgbLayout::bgra: case RgbLayout::rgba: case RgbLayout::argb: case RgbLayout::abgr: return 32;
    case RgbLayout::rgb555le: case RgbLayout::rgb555be: case RgbLayout::rgb565le: case RgbLayout::rgb565be: return 16;
    case RgbLayout::pal8: case RgbLayout::gray8: return 8;
    case RgbLayout::gray16le: case RgbLayout::gray16be: case RgbLayout::ya8: return 16;
    case RgbLayout::ya16be: return 32;
    case RgbLayout::rgb48le: case RgbLayout::rgb48be: return 48;
    case RgbLayout::rgba64le: case RgbLayout::rgba64be: return 64;
    case RgbLayout::monoWhite: case RgbLayout::monoBlack: return 1;
    case RgbLayout::gbrp: return 8;
    case RgbLayout::gbrp16le: return 16;
  }
  return 0;
}

inline uint32_t expand5(uint32_t v) { return (v << 3) | (v >> 2); }
inline uint32_t expand6(uint32_t v) { return (v << 2) | (v >> 4); }
inline uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) { return r << 16 | g << 8 | b; }
inline uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

// One row of w pixels into o.
void packedRow(const Picture& p, int32_t y, int32_t w, uint32_t* o) {
  const uint8_t* s = p.planes[0] + ptrdiff_t(y) * p.strides[0];
  switch (p.rgb) {
    case RgbLayout::bgr24: for (int32_t x = 0; x < w; ++x, s += 3) o[x] = rgb(s[2], s[1], s[0]); break;
    case RgbLayout::rgb24: for (int32_t x = 0; x < w; ++x, s += 3) o[x] = rgb(s[0], s[1], s[2]); break;
    case RgbLayout::bgra: for (int32_t x = 0; x < w; ++x, s += 4) o[x] = rgb(s[2], s[1], s[0]); break;
    case RgbLayout::rgba: for (int32_t x = 0; x < w; ++x, s += 4) o[x] = rgb(s[0], s[1], s[2]); break;
    case RgbLayout::argb: for (int32_t x = 0; x < w; ++x, s += 4) o[x] = rgb(s[1], s[2], s[3]); break;
    case RgbLayout::abgr: for (int32_t x = 0; x < w; ++x, s += 4) o[x] = rgb(s[3], s[2], s[1]); break;
    case RgbLayout::rgb555le:
    case RgbLayout::rgb555be:
      for (int32_t x = 0; x < w; ++x, s += 2) {
        const uint32_t v = p.rgb == RgbLayout::rgb555le ? le16(s) : be16(s);
        o[x] = rgb(expand5(v >> 10 & 31), expand5(v >> 5 & 31), expand5(v & 31));
      }
      break;
    case RgbLayout::rgb565le:
    case RgbLayout::rgb565be:
      for (int32_t x = 0; x < w; ++x, s += 2) {
        const uint32_t v = p.rgb == RgbLayout::rgb565le ? le16(s) : be16(s);
        o[x] = rgb(expand5(v >> 11 & 31), expand6(v >> 5 & 63), expand5(v & 31));
      }
      break;
    case RgbLayout::pal8: for (int32_t x = 0; x < w; ++x) o[x] = p.palette[s[x]] & 0x00FFFFFFu; break;
    case RgbLayout::gray8: for (int32_t x = 0; x < w; ++x) o[x] = rgb(s[x], s[x], s[x]); break;
    case RgbLayout::gray16le: for (int32_t x = 0; x < w; ++x) o[x] = rgb(s[2 * x + 1], s[2 * x + 1], s[2 * x + 1]); break;
    case RgbLayout::gray16be: for (int32_t x = 0; x < w; ++x) o[x] = rgb(s[2 * x], s[2 * x], s[2 * x]); break;
    case RgbLayout::ya8: for (int32_t x = 0; x < w; ++x) o[x] = rgb(s[2 * x], s[2 * x], s[2 * x]); break;
    case RgbLayout::ya16be: for (int32_t x = 0; x < w; ++x) o[x] = rgb(s[4 * x], s[4 * x], s[4 * x]); break;
    case RgbLayout::rgb48le: for (int32_t x = 0; x < w; ++x, s += 6) o[x] = rgb(s[1], s[3], s[5]); break;
    case RgbLayout::rgb48be: for (int32_t x = 0; x < w; ++x, s += 6) o[x] = rgb(s[0], s[2], s[4]); break;
    case RgbLayout::rgba64le: for (int32_t x = 0; x < w; ++x, s += 8) o[x] = rgb(s[1], s[3], s[5]); break;
    case RgbLayout::rgba64be: for (int32_t x = 0; x < w; ++x, s += 8) o[x] = rgb(s[0], s[2], s[4]); break;
    case RgbLayout::monoWhite:
    case RgbLayout::monoBlack: {
      const uint32_t one = p.rgb == RgbLayout::monoWhite ? 0 : 0xFFFFFFu, zero = one ^ 0xFFFFFFu;
      for (int32_t x = 0; x < w; ++x) o[x] = (s[x >> 3] >> (7 - (x & 7)) & 1) ? one : zero;
      break;
    }
    case RgbLayout::gbrp: {
      const uint8_t* b = p.planes[1] + ptrdiff_t(y) * p.strides[1];
      const uint8_t* r = p.planes[2] + ptrdiff_t(y) * p.strides[2];
      for (int32_t x = 0; x < w; ++x) o[x] = rgb(r[x], s[x], b[x]);
      break;
    }
    case RgbLayout::gbrp16le: {
      const uint8_t* b = p.planes[1] + ptrdiff_t(y) * p.strides[1];
      const uint8_t* r = p.planes[2] + ptrdiff_t(y) * p.strides[2];
      const int shift = p.depth > 8 ? p.depth - 8 : 0;
      for (int32_t x = 0; x < w; ++x)
        o[x] = rgb(std::min<uint32_t>(255, le16(r + 2 * x) >> shift), std::min<uint32_t>(255, le16(s + 2 * x) >> shift),
                   std::min<uint32_t>(255, le16(b + 2 * x) >> shift));
      break;
    }
  }
}

}  // namespace

bool pictureGeometry(const Picture& p, PictureGeometry* out) {
  *out = PictureGeometry();
  auto wide = [](ptrdiff_t stride, size_t need) { return size_t(stride < 0 ? -stride : stride) >= need; };
  if (p.packed) {
    if (p.width <= 0 || p.height <= 0 || !p.planes[0]) return false;
    const bool planar = p.rgb == RgbLayout::gbrp || p.rgb == RgbLayout::gbrp16le;
    out->planes = planar ? 3 : 1;
    for (int i = 0; i < out->planes; ++i) {
      out->rowBytes[i] = (size_t(p.width) * packedBits(p.rgb) + 7) / 8;
      out->rows[i] = size_t(p.height);
      if (!p.planes[i] || !wide(p.strides[i], out->rowBytes[i])) return false;
    }
    if (p.rgb == RgbLayout::pal8) {
      if (!p.palette) return false;
      out->paletteBytes = 256 * sizeof(uint32_t);
    }
    return true;
  }
  const YuvPicture& y = p.yuv;
  if (y.width <= 0 || y.height <= 0 || !y.y || !y.u || y.bitDepth < 8 || y.bitDepth > 16 || y.chromaShiftX > 2 ||
      y.chromaShiftY > 2)
    return false;
  const size_t sample = y.bitDepth > 8 ? 2 : 1;
  const size_t cw = (size_t(y.width) + (size_t(1) << y.chromaShiftX) - 1) >> y.chromaShiftX;
  const size_t ch = (size_t(y.height) + (size_t(1) << y.chromaShiftY) - 1) >> y.chromaShiftY;
  out->rowBytes[0] = size_t(y.width) * sample;
  out->rows[0] = size_t(y.height);
  if (y.layout == YuvLayout::nv12) {
    out->planes = 2;
    out->rowBytes[1] = cw * 2 * sample;
    out->rows[1] = ch;
    return wide(y.yStride, out->rowBytes[0]) && wide(y.uStride, out->rowBytes[1]);
  }
  out->planes = 3;
  out->rowBytes[1] = out->rowBytes[2] = cw * sample;
  out->rows[1] = out->rows[2] = ch;
  return y.v && wide(y.yStride, out->rowBytes[0]) && wide(y.uStride, cw * sample) && wide(y.vStride, cw * sample);
}

Err packedToFrame(const Picture& p, int32_t w, int32_t h, Frame& f) {
  PictureGeometry g;
  if (!p.packed || !pictureGeometry(p, &g)) return paramErr;
  w = std::min(w, p.width);
  h = std::min(h, p.height);
  if (w <= 0 || h <= 0) return paramErr;
  if (f.width != uint32_t(w) || f.height != uint32_t(h) || f.rgb555) {
    f.px.assign(size_t(w) * size_t(h), 0);
    f.width = uint32_t(w);
    f.height = uint32_t(h);
    f.rgb555 = false;
  }
  for (int32_t y = 0; y < h; ++y) packedRow(p, y, w, f.px.data() + size_t(y) * f.width);
  return noErr;
}

}  // namespace qte
