// YUV 4:2:0 to RGB. Every path computes, per pixel, in 16-bit integers (5 fractional bits):
//   y = (Y * cy) >> 8,  u = U - 128,  v = V - 128
//   R = (y + ((v*rv) >> 8) + bias) >> 5
//   G = (y + ((u*gu) >> 8) + ((v*gv) >> 8) + bias) >> 5
//   B = (y + ((u*bu) >> 8) + bias) >> 5
// clamped to 0..255, with coefficients of 13 fractional bits and `bias` holding the rounding and
// the luma offset. Each (a*b) >> 8 is what pmulhw gives for a << 8 and b, so the SSE2 path does
// sixteen-bit arithmetic and still matches the plain loop to the byte; no sum leaves int16.
// Each floor costs at most 1/32 and the coefficients at most 0.031 over the input range, so a
// result lies within 0.5 + 3/32 + 1/64 + 0.031 < 0.65 of the exact value.
#include "yuv.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qte {

namespace {

struct Coeffs {
  int32_t cy, rv, gu, gv, bu, bias;
};

constexpr int32_t fixed(double v) { return int32_t(v * 8192 + (v < 0 ? -0.5 : 0.5)); }

// From the luma weights Kr, Kb; limited range stretches 219 luma and 224 chroma steps to 255.
constexpr Coeffs makeCoeffs(double kr, double kb, bool full) {
  const double kg = 1 - kr - kb;
  const double ys = full ? 1.0 : 255.0 / 219.0, cs = full ? 1.0 : 255.0 / 224.0;
  const int32_t cy = fixed(ys);
  const int32_t offset = full ? 0 : (16 * cy + 128) >> 8;  // 16 * cy in the units of y
  return Coeffs{cy,
                fixed(2 * (1 - kr) * cs),
                fixed(-2 * kb * (1 - kb) / kg * cs),
                fixed(-2 * kr * (1 - kr) / kg * cs),
                fixed(2 * (1 - kb) * cs),
                16 - offset};
}

constexpr Coeffs kCoeffs[2][2] = {
    {makeCoeffs(0.299, 0.114, false), makeCoeffs(0.299, 0.114, true)},
    {makeCoeffs(0.2126, 0.0722, false), makeCoeffs(0.2126, 0.0722, true)},
};

inline uint8_t clamp8(int32_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
// Floor of a*b / 256, as pmulhw computes it for a << 8 (arithmetic shifts of negatives floor).
inline int32_t mulhi8(int32_t a, int32_t b) { return (a * b) >> 8; }

// One output pixel; the plain loop and the SIMD path's edges.
inline void pixel(const Coeffs& k, int32_t y, int32_t u, int32_t v, PixelFormat f, uint8_t* o) {
  const int32_t t = mulhi8(y, k.cy) + k.bias;
  u -= 128;
  v -= 128;
  const uint8_t r = clamp8((t + mulhi8(v, k.rv)) >> 5);
  const uint8_t g = clamp8((t + mulhi8(u, k.gu) + mulhi8(v, k.gv)) >> 5);
  const uint8_t b = clamp8((t + mulhi8(u, k.bu)) >> 5);
  switch (f) {
    case PixelFormat::rgb555: {
      const uint32_t p = uint32_t(r >> 3) << 10 | uint32_t(g >> 3) << 5 | uint32_t(b >> 3);
      o[0] = uint8_t(p), o[1] = uint8_t(p >> 8);
      break;
    }
    case PixelFormat::bgr24:
      o[0] = b, o[1] = g, o[2] = r;
      break;
    case PixelFormat::bgr0:
      o[0] = b, o[1] = g, o[2] = r, o[3] = 0;
      break;
  }
}

// One output row: luma row `yr`, chroma rows `ur`/`vr` (nv12: `ur` interleaved), pixels
// [xs, xe) of the picture written to the destination row `o`, picture column x at x + x0.
struct Row {
  const uint8_t *yr, *ur, *vr;
  uint8_t* o;
  ptrdiff_t x0;
  uint8_t* at(int32_t x, int bpp) const { return o + (x0 + x) * bpp; }
};

inline void plainSpan(const Coeffs& k, bool nv12, PixelFormat f, const Row& r, int32_t xs, int32_t xe) {
  const int bpp = int(f) / 8;
  for (int32_t x = xs; x < xe; ++x) {
    const int32_t c = x >> 1;
    const int32_t u = nv12 ? r.ur[2 * c] : r.ur[c];
    const int32_t v = nv12 ? r.ur[2 * c + 1] : r.vr[c];
    pixel(k, r.yr[x], u, v, f, r.at(x, bpp));
  }
}

#if defined(__SSE2__)
// Sixteen pixels from an even x: the chroma terms of eight chroma samples, each duplicated for
// its two pixels, shared by the rows given (one, or the two of a chroma row). The bias is in.
struct Chroma {
  __m128i r[2], g[2], b[2];
};

inline Chroma chromaTerms(const Coeffs& k, bool nv12, const uint8_t* ur, const uint8_t* vr, int32_t x) {
  const __m128i zero = _mm_setzero_si128(), sign = _mm_set1_epi16(int16_t(0x8000));
  __m128i u, v;  // (C - 128) << 8
  if (nv12) {
    const __m128i uv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ur + x));
    u = _mm_xor_si128(_mm_slli_epi16(uv, 8), sign);
    v = _mm_xor_si128(_mm_and_si128(uv, _mm_set1_epi16(int16_t(0xFF00))), sign);
  } else {
    u = _mm_xor_si128(_mm_unpacklo_epi8(zero, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ur + x / 2))), sign);
    v = _mm_xor_si128(_mm_unpacklo_epi8(zero, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(vr + x / 2))), sign);
  }
  const __m128i bias = _mm_set1_epi16(int16_t(k.bias));
  const __m128i r = _mm_add_epi16(_mm_mulhi_epi16(v, _mm_set1_epi16(int16_t(k.rv))), bias);
  const __m128i g = _mm_add_epi16(_mm_add_epi16(_mm_mulhi_epi16(u, _mm_set1_epi16(int16_t(k.gu))),
                                                _mm_mulhi_epi16(v, _mm_set1_epi16(int16_t(k.gv)))),
                                  bias);
  const __m128i b = _mm_add_epi16(_mm_mulhi_epi16(u, _mm_set1_epi16(int16_t(k.bu))), bias);
  Chroma c;
  c.r[0] = _mm_unpacklo_epi16(r, r), c.r[1] = _mm_unpackhi_epi16(r, r);
  c.g[0] = _mm_unpacklo_epi16(g, g), c.g[1] = _mm_unpackhi_epi16(g, g);
  c.b[0] = _mm_unpacklo_epi16(b, b), c.b[1] = _mm_unpackhi_epi16(b, b);
  return c;
}

// B,G,R,0 pixels (four per vector) to 12 packed B,G,R bytes at the bottom of the vector.
inline __m128i compact24(__m128i p) {
  const __m128i lo = _mm_and_si128(p, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
  const __m128i hi = _mm_and_si128(_mm_srli_epi64(p, 8), _mm_set_epi32(0xFFFF, 0xFF000000, 0xFFFF, 0xFF000000));
  const __m128i pairs = _mm_or_si128(lo, hi);  // six bytes at the bottom of each half
  return _mm_or_si128(_mm_and_si128(pairs, _mm_set_epi32(0, 0, 0xFFFF, -1)),
                      _mm_and_si128(_mm_srli_si128(pairs, 2), _mm_set_epi32(0, -1, 0xFFFF0000, 0)));
}

inline void sixteen(const Coeffs& k, PixelFormat f, const uint8_t* yr, const Chroma& c, uint8_t* o) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yr));
  const __m128i cy = _mm_set1_epi16(int16_t(k.cy));
  const __m128i t[2] = {_mm_mulhi_epu16(_mm_unpacklo_epi8(zero, y), cy), _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, y), cy)};
  __m128i r[2], g[2], b[2];
  for (int i = 0; i < 2; ++i) {
    r[i] = _mm_srai_epi16(_mm_add_epi16(t[i], c.r[i]), 5);
    g[i] = _mm_srai_epi16(_mm_add_epi16(t[i], c.g[i]), 5);
    b[i] = _mm_srai_epi16(_mm_add_epi16(t[i], c.b[i]), 5);
  }
  const __m128i R = _mm_packus_epi16(r[0], r[1]), G = _mm_packus_epi16(g[0], g[1]), B = _mm_packus_epi16(b[0], b[1]);
  if (f == PixelFormat::rgb555) {
    const __m128i top5 = _mm_set1_epi16(0xF8);
    for (int h = 0; h < 2; ++h) {
      const __m128i r16 = h ? _mm_unpackhi_epi8(R, zero) : _mm_unpacklo_epi8(R, zero);
      const __m128i g16 = h ? _mm_unpackhi_epi8(G, zero) : _mm_unpacklo_epi8(G, zero);
      const __m128i b16 = h ? _mm_unpackhi_epi8(B, zero) : _mm_unpacklo_epi8(B, zero);
      const __m128i p = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(r16, top5), 7),
                                                  _mm_slli_epi16(_mm_and_si128(g16, top5), 2)),
                                     _mm_srli_epi16(b16, 3));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * h), p);
    }
    return;
  }
  const __m128i bgLo = _mm_unpacklo_epi8(B, G), bgHi = _mm_unpackhi_epi8(B, G);
  const __m128i r0Lo = _mm_unpacklo_epi8(R, zero), r0Hi = _mm_unpackhi_epi8(R, zero);
  const __m128i px[4] = {_mm_unpacklo_epi16(bgLo, r0Lo), _mm_unpackhi_epi16(bgLo, r0Lo),
                         _mm_unpacklo_epi16(bgHi, r0Hi), _mm_unpackhi_epi16(bgHi, r0Hi)};
  if (f == PixelFormat::bgr0) {
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * i), px[i]);
    return;
  }
  // 24 bits: each 16-byte store writes four bytes past its 12, which the next one overwrites;
  // the last writes exactly its own.
  for (int i = 0; i < 3; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 12 * i), compact24(px[i]));
  const __m128i last = compact24(px[3]);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 36), last);
  const uint32_t tail = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(last, 8)));
  std::memcpy(o + 44, &tail, 4);
}

// The rows of one chroma row (one or two), pixels [xs, xe).
void simdSpan(const Coeffs& k, bool nv12, PixelFormat f, const Row* rows, int n, int32_t xs, int32_t xe) {
  const int bpp = int(f) / 8;
  int32_t x = xs;
  if (x & 1) {  // an odd start shares its chroma with a pixel left of the span
    for (int i = 0; i < n; ++i) plainSpan(k, nv12, f, rows[i], x, std::min(x + 1, xe));
    ++x;
  }
  for (; x + 16 <= xe; x += 16) {
    const Chroma c = chromaTerms(k, nv12, rows[0].ur, rows[0].vr, x);
    for (int i = 0; i < n; ++i) sixteen(k, f, rows[i].yr + x, c, rows[i].at(x, bpp));
  }
  for (int i = 0; i < n; ++i) plainSpan(k, nv12, f, rows[i], x, xe);
}
#endif

bool pictureValid(const YuvPicture& p) {
  if (p.width <= 0 || p.height <= 0 || !p.y || !p.u) return false;
  if (p.bitDepth != 8 || p.chromaShiftX != 1 || p.chromaShiftY != 1 || p.msbAligned) return false;  // 8-bit 4:2:0 only
  const ptrdiff_t cw = (ptrdiff_t(p.width) + 1) / 2;
  auto wide = [](ptrdiff_t stride, ptrdiff_t need) { return (stride < 0 ? -stride : stride) >= need; };
  if (!wide(p.yStride, p.width)) return false;
  if (p.layout == YuvLayout::nv12) return wide(p.uStride, 2 * cw);
  return p.v && wide(p.uStride, cw) && wide(p.vStride, cw);
}

Err convert(const YuvPicture& pic, const YuvColour& colour, int32_t w, int32_t h, const PixelBuffer& dst,
            int32_t x0, int32_t y0, bool simd) {
  if (!pictureValid(pic)) return paramErr;
  if (!dst.bits || dst.width <= 0 || dst.height <= 0) return paramErr;
  if (dst.format != PixelFormat::rgb555 && dst.format != PixelFormat::bgr24 && dst.format != PixelFormat::bgr0)
    return paramErr;
  const int bpp = int(dst.format) / 8;
  if ((dst.stride < 0 ? -dst.stride : dst.stride) < ptrdiff_t(dst.width) * bpp) return paramErr;
  const Coeffs& k = kCoeffs[colour.matrix == YuvMatrix::bt709][colour.fullRange];
  const bool nv12 = pic.layout == YuvLayout::nv12;
  // The renderer's clipping, in 64 bits so that far-off origins cannot overflow.
  const int64_t xs = std::max<int64_t>(0, -int64_t(x0)), ys = std::max<int64_t>(0, -int64_t(y0));
  const int64_t xe = std::min<int64_t>({w, pic.width, int64_t(dst.width) - x0});
  const int64_t ye = std::min<int64_t>({h, pic.height, int64_t(dst.height) - y0});
  if (xs >= xe || ys >= ye) return noErr;
  auto row = [&](int64_t y) {
    const ptrdiff_t c = ptrdiff_t(y >> 1);
    return Row{pic.y + ptrdiff_t(y) * pic.yStride, pic.u + c * pic.uStride, nv12 ? nullptr : pic.v + c * pic.vStride,
               dst.bits + ptrdiff_t(y0 + y) * dst.stride, x0};
  };
#if defined(__SSE2__)
  if (simd) {
    for (int64_t y = ys; y < ye;) {
      Row rows[2] = {row(y), Row()};
      int n = 1;
      if (!(y & 1) && y + 1 < ye) rows[n++] = row(y + 1);
      simdSpan(k, nv12, dst.format, rows, n, int32_t(xs), int32_t(xe));
      y += n;
    }
    return noErr;
  }
#else
  (void)simd;
#endif
  for (int64_t y = ys; y < ye; ++y) plainSpan(k, nv12, dst.format, row(y), int32_t(xs), int32_t(xe));
  return noErr;
}

}  // namespace

bool yuvPictureInBuffer(const uint8_t* data, size_t bytes, YuvLayout layout, bool yv12, int32_t width,
                        int32_t height, ptrdiff_t stride, int32_t rows, YuvPicture* out) {
  if (!data || !out || width <= 0 || height <= 0 || rows < height || stride < width) return false;
  if (stride > (ptrdiff_t(1) << 20) || rows > (1 << 20)) return false;
  // In 64 bits: a 32-bit size_t could wrap.
  const uint64_t lumaBytes = uint64_t(stride) * uint64_t(rows);
  const uint64_t chromaRows = (uint64_t(height) + 1) / 2, chromaRowsStored = (uint64_t(rows) + 1) / 2;
  const ptrdiff_t cStride = layout == YuvLayout::nv12 ? stride : stride / 2;
  if (cStride < (layout == YuvLayout::nv12 ? 2 : 1) * ((ptrdiff_t(width) + 1) / 2)) return false;
  // The last plane needs only the rows the picture uses, not the whole allocation.
  const uint64_t need = layout == YuvLayout::nv12 ? lumaBytes + uint64_t(cStride) * chromaRows
                                                  : lumaBytes + uint64_t(cStride) * (chromaRowsStored + chromaRows);
  if (uint64_t(bytes) < need) return false;
  YuvPicture p;
  p.layout = layout;
  p.width = width;
  p.height = height;
  p.y = data;
  p.yStride = stride;
  p.uStride = cStride;
  p.u = data + size_t(lumaBytes);
  if (layout == YuvLayout::planar) {
    p.vStride = cStride;
    p.v = p.u + size_t(cStride) * size_t(chromaRowsStored);
    if (yv12) std::swap(p.u, p.v);
  }
  *out = p;
  return true;
}

Err yuvToRgb(const YuvPicture& pic, const YuvColour& colour, int32_t w, int32_t h, const PixelBuffer& dst,
             int32_t x0, int32_t y0) {
  return convert(pic, colour, w, h, dst, x0, y0, true);
}

Err yuvToRgbPlain(const YuvPicture& pic, const YuvColour& colour, int32_t w, int32_t h,
                  const PixelBuffer& dst, int32_t x0, int32_t y0) {
  return convert(pic, colour, w, h, dst, x0, y0, false);
}

}  // namespace qte
