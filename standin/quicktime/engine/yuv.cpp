// YUV to RGB. Each sample is first taken to 16 bits, S: an 8-bit one is V << 8, a deeper one its
// bitDepth bits at the top (as P010 stores them). Every path then computes, per pixel, in 16-bit
// integers (5 fractional bits):
//   y = (S_Y * cy) >> 16,  u = S_U - 32768,  v = S_V - 32768
//   R = (y + ((v*rv) >> 16) + bias) >> 5
//   G = (y + ((u*gu) >> 16) + ((v*gv) >> 16) + bias) >> 5
//   B = (y + ((u*bu) >> 16) + bias) >> 5
// clamped to 0..255, with coefficients of 13 fractional bits and `bias` holding the rounding and
// the luma offset. For 8-bit samples this is (Y * cy) >> 8 and ((C - 128) * k) >> 8, the
// arithmetic 8-bit pictures have always had. Each (a*b) >> 16 is what pmulhuw (luma) and pmulhw
// (chroma) give, so the SSE2 path does sixteen-bit arithmetic and still matches the plain loop to
// the byte; no sum leaves int16, not even with BT.2020's larger blue coefficient.
// Each floor costs at most 1/32 and the coefficients at most 0.031 over the input range, so a
// result lies within 0.5 + 3/32 + 1/64 + 0.031 < 0.65 of the exact value, at every depth.
// Pictures whose light must change (HDR, BT.2020 primaries) skip the rounding and the >> 5: the
// sums are then R'G'B' in steps of 1/8160, which a LightPath (hdr.h) takes to 8-bit BT.709.
#include "yuv.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hdr.h"

namespace qte {

namespace {

struct Coeffs {
  int32_t cy, rv, gu, gv, bu, bias;
};

int32_t fixed(double v) { return int32_t(v * 8192 + (v < 0 ? -0.5 : 0.5)); }

// From the luma weights Kr, Kb. Limited range stretches 219 luma and 224 chroma steps (of 8 bits,
// or 4x as many of 10) to 255; full range has 2^d - 1 steps of d bits, where S counts 2^d.
Coeffs makeCoeffs(YuvMatrix m, bool full, int depth, bool light) {
  const double kr = m == YuvMatrix::bt601 ? 0.299 : m == YuvMatrix::bt709 ? 0.2126 : 0.2627;
  const double kb = m == YuvMatrix::bt601 ? 0.114 : m == YuvMatrix::bt709 ? 0.0722 : 0.0593;
  const double kg = 1 - kr - kb;
  const double deep = full ? 255.0 * double(1 << depth) / (256.0 * double((1 << depth) - 1)) : 1.0;  // 1 at 8 bits
  const double ys = full ? 1.0 : 255.0 / 219.0, cs = full ? 1.0 : 255.0 / 224.0;
  const int32_t cy = fixed(ys * deep);
  const int32_t offset = full ? 0 : (16 * cy + 128) >> 8;  // 16 * cy in the units of y
  // Light wants the sums themselves: +1 rather than +16 centres the floors' loss.
  return Coeffs{cy,
                fixed(2 * (1 - kr) * cs * deep),
                fixed(-2 * kb * (1 - kb) / kg * cs * deep),
                fixed(-2 * kr * (1 - kr) / kg * cs * deep),
                fixed(2 * (1 - kb) * cs * deep),
                (light ? 1 : 16) - offset};
}

// How a plane's samples become S: bytes, or 16-bit little-endian words shifted up and masked to
// their bitDepth bits (bits outside them are not the picture's).
struct Depth {
  bool wide = false;
  int shift = 0;
  uint16_t mask = 0xFF00;
};

Depth depthOf(const YuvPicture& p) {
  if (p.bitDepth == 8) return Depth();
  const int spare = 16 - p.bitDepth;
  return p.msbAligned ? Depth{true, 0, uint16_t(0xFFFFu << spare)} : Depth{true, spare, 0xFFFF};
}

inline int32_t sampleAt(const Depth& d, const uint8_t* row, ptrdiff_t i) {
  if (!d.wide) return int32_t(row[i]) << 8;
  const uint32_t w = uint32_t(row[2 * i]) | uint32_t(row[2 * i + 1]) << 8;
  return int32_t(uint16_t(w << d.shift) & d.mask);
}

// A picture's kind: its samples, layout and chroma subsampling.
struct Kind {
  Depth depth;
  bool nv12 = false;
  int sx = 1, sy = 1;
};

inline uint8_t clamp8(int32_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
inline int32_t clampSignal(int32_t v) { return v < 0 ? 0 : v > kSignalTop ? kSignalTop : v; }
// Floor of a*b / 65536, as pmulhw and pmulhuw compute it (arithmetic shifts of negatives floor).
inline int32_t mulhi(int32_t a, int32_t b) { return (a * b) >> 16; }

inline void put(PixelFormat f, uint8_t r, uint8_t g, uint8_t b, uint8_t* o) {
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

// One output pixel from its samples as S; the plain loop and the SIMD path's edges.
inline void pixel(const Coeffs& k, const LightPath* light, int32_t y, int32_t u, int32_t v, PixelFormat f,
                  uint8_t* o) {
  const int32_t t = mulhi(y, k.cy) + k.bias;
  u -= 32768;
  v -= 32768;
  const int32_t r = t + mulhi(v, k.rv), g = t + mulhi(u, k.gu) + mulhi(v, k.gv), b = t + mulhi(u, k.bu);
  uint8_t R, G, B;
  if (light)
    light->pixel(clampSignal(r), clampSignal(g), clampSignal(b), &R, &G, &B);
  else
    R = clamp8(r >> 5), G = clamp8(g >> 5), B = clamp8(b >> 5);
  put(f, R, G, B, o);
}

// One output row: luma row `yr`, chroma rows `ur`/`vr` (nv12: `ur` interleaved), pixels
// [xs, xe) of the picture written to the destination row `o`, picture column x at x + x0.
struct Row {
  const uint8_t *yr, *ur, *vr;
  uint8_t* o;
  ptrdiff_t x0;
  uint8_t* at(int32_t x, int bpp) const { return o + (x0 + x) * bpp; }
};

void plainSpan(const Coeffs& k, const LightPath* light, const Kind& kind, PixelFormat f, const Row& r, int32_t xs,
               int32_t xe) {
  const int bpp = int(f) / 8;
  const Depth& d = kind.depth;
  for (int32_t x = xs; x < xe; ++x) {
    const ptrdiff_t c = x >> kind.sx;
    const int32_t u = kind.nv12 ? sampleAt(d, r.ur, 2 * c) : sampleAt(d, r.ur, c);
    const int32_t v = kind.nv12 ? sampleAt(d, r.ur, 2 * c + 1) : sampleAt(d, r.vr, c);
    pixel(k, light, sampleAt(d, r.yr, x), u, v, f, r.at(x, bpp));
  }
}

#if defined(__SSE2__)
inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Sixteen pixels' chroma terms (the bias in), each in the lanes of the pixel it covers, shared
// by the rows of one chroma row.
struct Chroma {
  __m128i r[2], g[2], b[2];
};

// The coefficients in every lane, made once per span: the loop's stores could alias a Coeffs in
// memory, and the broadcasts would be redone for every sixteen pixels.
struct Lanes {
  __m128i cy, rv, gu, gv, bu, bias;
  explicit Lanes(const Coeffs& k)
      : cy(_mm_set1_epi16(int16_t(k.cy))), rv(_mm_set1_epi16(int16_t(k.rv))), gu(_mm_set1_epi16(int16_t(k.gu))),
        gv(_mm_set1_epi16(int16_t(k.gv))), bu(_mm_set1_epi16(int16_t(k.bu))), bias(_mm_set1_epi16(int16_t(k.bias))) {}
};

// Words to S, as sampleAt() does.
struct Widen {
  __m128i count, mask;
  explicit Widen(const Depth& d)
      : count(_mm_cvtsi32_si128(d.shift)), mask(_mm_set1_epi16(int16_t(d.mask))) {}
  __m128i operator()(__m128i w) const { return _mm_and_si128(_mm_sll_epi16(w, count), mask); }
};

// Interleaved U,V words, four pairs in each of a and b, to U and V vectors of eight.
inline void unzip(__m128i a, __m128i b, __m128i& u, __m128i& v) {
  auto gather = [](__m128i x) {  // U0 U1 U2 U3 V0 V1 V2 V3
    x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(3, 1, 2, 0));
    x = _mm_shufflehi_epi16(x, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_shuffle_epi32(x, _MM_SHUFFLE(3, 1, 2, 0));
  };
  a = gather(a), b = gather(b);
  u = _mm_unpacklo_epi64(a, b), v = _mm_unpackhi_epi64(a, b);
}

// The SSE2 path is made for each kind of samples (kWide: words), layout (kNv12) and horizontal
// subsampling (kSx), and with or without a light path (whose call would otherwise cost the SDR
// loop its registers), so that nothing per pixel asks which.
//
// S - 32768 of the 16 >> kSx chroma samples of sixteen pixels from x (a multiple of 1 << kSx):
// U and V in u[0], v[0] (their first 16 >> kSx lanes), and in u[1], v[1] too for 4:4:4. Reads
// no sample past the ones the pixels use.
template <bool kWide, bool kNv12, int kSx>
inline void chromaSamples(const Widen& widen, const uint8_t* ur, const uint8_t* vr, int32_t x, __m128i u[2],
                          __m128i v[2]) {
  const __m128i zero = _mm_setzero_si128();
  const ptrdiff_t c = x >> kSx;
  constexpr int n = 16 >> kSx;
  u[1] = v[1] = zero;
  if (!kWide) {
    if (kNv12) {  // 2n bytes: U in the low byte of each word
      const __m128i hi = _mm_set1_epi16(int16_t(0xFF00));
      const __m128i uv[2] = {n == 4 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ur + 2 * c)) : load(ur + 2 * c),
                             n == 16 ? load(ur + 2 * c + 16) : zero};
      for (int i = 0; i < 2; ++i) u[i] = _mm_slli_epi16(uv[i], 8), v[i] = _mm_and_si128(uv[i], hi);
    } else {
      auto bytes = [&](const uint8_t* p, __m128i out[2]) {
        if (n == 16) {
          const __m128i b = load(p);
          out[0] = _mm_unpacklo_epi8(zero, b), out[1] = _mm_unpackhi_epi8(zero, b);
          return;
        }
        __m128i b;
        if (n == 8) {
          b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        } else {
          int32_t four;
          std::memcpy(&four, p, 4);
          b = _mm_cvtsi32_si128(four);
        }
        out[0] = _mm_unpacklo_epi8(zero, b), out[1] = zero;
      };
      bytes(ur + c, u);
      bytes(vr + c, v);
    }
  } else if (kNv12) {  // 2n words
    const uint8_t* p = ur + 4 * c;
    if (n == 4) {
      unzip(load(p), zero, u[0], v[0]);
    } else {
      unzip(load(p), load(p + 16), u[0], v[0]);
      if (n == 16) unzip(load(p + 32), load(p + 48), u[1], v[1]);
    }
    u[0] = widen(u[0]), v[0] = widen(v[0]);
    if (n == 16) u[1] = widen(u[1]), v[1] = widen(v[1]);
  } else {  // n words from each plane
    auto words = [&](const uint8_t* p, __m128i out[2]) {
      out[0] = widen(n == 4 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)) : load(p));
      out[1] = n == 16 ? widen(load(p + 16)) : zero;
    };
    words(ur + 2 * c, u);
    words(vr + 2 * c, v);
  }
  const __m128i sign = _mm_set1_epi16(int16_t(0x8000));
  for (int i = 0; i < (n == 16 ? 2 : 1); ++i) u[i] = _mm_xor_si128(u[i], sign), v[i] = _mm_xor_si128(v[i], sign);
}

template <bool kWide, bool kNv12, int kSx>
inline Chroma chromaTerms(const Lanes& k, const Widen& widen, const uint8_t* ur, const uint8_t* vr, int32_t x) {
  __m128i u[2], v[2];
  chromaSamples<kWide, kNv12, kSx>(widen, ur, vr, x, u, v);
  __m128i r[2], g[2], b[2];
  for (int i = 0; i < (kSx == 0 ? 2 : 1); ++i) {
    r[i] = _mm_add_epi16(_mm_mulhi_epi16(v[i], k.rv), k.bias);
    g[i] = _mm_add_epi16(_mm_add_epi16(_mm_mulhi_epi16(u[i], k.gu), _mm_mulhi_epi16(v[i], k.gv)), k.bias);
    b[i] = _mm_add_epi16(_mm_mulhi_epi16(u[i], k.bu), k.bias);
  }
  Chroma c;
  auto spread = [&](const __m128i* t, __m128i* out) {
    if (kSx == 0) {
      out[0] = t[0], out[1] = t[1];
    } else if (kSx == 1) {
      out[0] = _mm_unpacklo_epi16(t[0], t[0]), out[1] = _mm_unpackhi_epi16(t[0], t[0]);
    } else {
      const __m128i two = _mm_unpacklo_epi16(t[0], t[0]);
      out[0] = _mm_unpacklo_epi32(two, two), out[1] = _mm_unpackhi_epi32(two, two);
    }
  };
  spread(r, c.r);
  spread(g, c.g);
  spread(b, c.b);
  return c;
}

// Sixteen luma samples from x as S, eight in each vector.
template <bool kWide>
inline void lumaSamples(const Widen& widen, const uint8_t* yr, int32_t x, __m128i s[2]) {
  if (!kWide) {
    const __m128i zero = _mm_setzero_si128(), y = load(yr + x);
    s[0] = _mm_unpacklo_epi8(zero, y), s[1] = _mm_unpackhi_epi8(zero, y);
  } else {
    s[0] = widen(load(yr + 2 * x)), s[1] = widen(load(yr + 2 * x + 16));
  }
}

// B,G,R,0 pixels (four per vector) to 12 packed B,G,R bytes at the bottom of the vector.
inline __m128i compact24(__m128i p) {
  const __m128i lo = _mm_and_si128(p, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
  const __m128i hi = _mm_and_si128(_mm_srli_epi64(p, 8), _mm_set_epi32(0xFFFF, 0xFF000000, 0xFFFF, 0xFF000000));
  const __m128i pairs = _mm_or_si128(lo, hi);  // six bytes at the bottom of each half
  return _mm_or_si128(_mm_and_si128(pairs, _mm_set_epi32(0, 0, 0xFFFF, -1)),
                      _mm_and_si128(_mm_srli_si128(pairs, 2), _mm_set_epi32(0, -1, 0xFFFF0000, 0)));
}

// Sixteen pixels' R, G and B bytes stored in the buffer's format.
inline void put16(PixelFormat f, __m128i R, __m128i G, __m128i B, uint8_t* o) {
  const __m128i zero = _mm_setzero_si128();
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

template <bool kLight>
inline void sixteen(const Lanes& k, const LightPath* light, PixelFormat f, const __m128i ys[2], const Chroma& c,
                    uint8_t* o) {
  const __m128i t[2] = {_mm_mulhi_epu16(ys[0], k.cy), _mm_mulhi_epu16(ys[1], k.cy)};
  __m128i r[2], g[2], b[2];
  for (int i = 0; i < 2; ++i) {
    r[i] = _mm_add_epi16(t[i], c.r[i]);
    g[i] = _mm_add_epi16(t[i], c.g[i]);
    b[i] = _mm_add_epi16(t[i], c.b[i]);
  }
  if (!kLight) {
    put16(f, _mm_packus_epi16(_mm_srai_epi16(r[0], 5), _mm_srai_epi16(r[1], 5)),
          _mm_packus_epi16(_mm_srai_epi16(g[0], 5), _mm_srai_epi16(g[1], 5)),
          _mm_packus_epi16(_mm_srai_epi16(b[0], 5), _mm_srai_epi16(b[1], 5)), o);
    return;
  }
  const __m128i zero = _mm_setzero_si128(), top = _mm_set1_epi16(int16_t(kSignalTop));
  int16_t signal[3][16];
  for (int i = 0; i < 2; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(signal[0] + 8 * i), _mm_min_epi16(_mm_max_epi16(r[i], zero), top));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(signal[1] + 8 * i), _mm_min_epi16(_mm_max_epi16(g[i], zero), top));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(signal[2] + 8 * i), _mm_min_epi16(_mm_max_epi16(b[i], zero), top));
  }
  uint8_t rgb[3][16];
  light->sixteen(signal[0], signal[1], signal[2], rgb[0], rgb[1], rgb[2]);
  put16(f, load(rgb[0]), load(rgb[1]), load(rgb[2]), o);
}

// The rows of one chroma row (one to four), pixels [xs, xe).
template <bool kWide, bool kNv12, int kSx, bool kLight>
void simdSpan(const Coeffs& k, const LightPath* light, const Kind& kind, PixelFormat f, const Row* rows, int n,
              int32_t xs, int32_t xe) {
  const int bpp = int(f) / 8;
  const Widen widen(kind.depth);
  const Lanes lanes(k);
  int32_t x = xs;
  // A start inside a chroma sample's pixels shares its chroma with pixels left of the span.
  for (; x < xe && (x & ((1 << kSx) - 1)); ++x)
    for (int i = 0; i < n; ++i) plainSpan(k, light, kind, f, rows[i], x, x + 1);
  for (; x + 16 <= xe; x += 16) {
    const Chroma c = chromaTerms<kWide, kNv12, kSx>(lanes, widen, rows[0].ur, rows[0].vr, x);
    for (int i = 0; i < n; ++i) {
      __m128i ys[2];
      lumaSamples<kWide>(widen, rows[i].yr, x, ys);
      sixteen<kLight>(lanes, light, f, ys, c, rows[i].at(x, bpp));
    }
  }
  for (int i = 0; i < n; ++i) plainSpan(k, light, kind, f, rows[i], x, xe);
}

using SimdSpan = void (*)(const Coeffs&, const LightPath*, const Kind&, PixelFormat, const Row*, int, int32_t, int32_t);

template <bool kWide, bool kNv12, bool kLight>
SimdSpan simdSpanFor(int sx) {
  return sx == 0 ? simdSpan<kWide, kNv12, 0, kLight> : sx == 1 ? simdSpan<kWide, kNv12, 1, kLight>
                                                               : simdSpan<kWide, kNv12, 2, kLight>;
}

template <bool kLight>
SimdSpan simdSpanFor(const Kind& kind) {
  if (kind.depth.wide) return kind.nv12 ? simdSpanFor<true, true, kLight>(kind.sx) : simdSpanFor<true, false, kLight>(kind.sx);
  return kind.nv12 ? simdSpanFor<false, true, kLight>(kind.sx) : simdSpanFor<false, false, kLight>(kind.sx);
}
#endif

bool pictureValid(const YuvPicture& p) {
  if (p.width <= 0 || p.height <= 0 || !p.y || !p.u) return false;
  if (p.bitDepth < 8 || p.bitDepth > 16 || (p.bitDepth == 8 && p.msbAligned)) return false;
  if (p.chromaShiftX > 2 || p.chromaShiftY > 2) return false;
  const ptrdiff_t bytes = p.bitDepth > 8 ? 2 : 1;
  const ptrdiff_t cw = (ptrdiff_t(p.width) + (1 << p.chromaShiftX) - 1) >> p.chromaShiftX;
  auto wide = [](ptrdiff_t stride, ptrdiff_t need) { return (stride < 0 ? -stride : stride) >= need; };
  if (!wide(p.yStride, p.width * bytes)) return false;
  if (p.layout == YuvLayout::nv12) return wide(p.uStride, 2 * cw * bytes);
  return p.v && wide(p.uStride, cw * bytes) && wide(p.vStride, cw * bytes);
}

Err convert(const YuvPicture& pic, const YuvColour& colour, int32_t w, int32_t h, const PixelBuffer& dst,
            int32_t x0, int32_t y0, bool simd) {
  if (!pictureValid(pic)) return paramErr;
  if (!dst.bits || dst.width <= 0 || dst.height <= 0) return paramErr;
  if (dst.format != PixelFormat::rgb555 && dst.format != PixelFormat::bgr24 && dst.format != PixelFormat::bgr0)
    return paramErr;
  const int bpp = int(dst.format) / 8;
  if ((dst.stride < 0 ? -dst.stride : dst.stride) < ptrdiff_t(dst.width) * bpp) return paramErr;
  const LightPath* light = LightPath::of(colour);
  const Coeffs k = makeCoeffs(colour.matrix, colour.fullRange, pic.bitDepth, light != nullptr);
  Kind kind;
  kind.depth = depthOf(pic);
  kind.nv12 = pic.layout == YuvLayout::nv12;
  kind.sx = pic.chromaShiftX, kind.sy = pic.chromaShiftY;
  // The renderer's clipping, in 64 bits so that far-off origins cannot overflow.
  const int64_t xs = std::max<int64_t>(0, -int64_t(x0)), ys = std::max<int64_t>(0, -int64_t(y0));
  const int64_t xe = std::min<int64_t>({w, pic.width, int64_t(dst.width) - x0});
  const int64_t ye = std::min<int64_t>({h, pic.height, int64_t(dst.height) - y0});
  if (xs >= xe || ys >= ye) return noErr;
  auto row = [&](int64_t y) {
    const ptrdiff_t c = ptrdiff_t(y >> kind.sy);
    return Row{pic.y + ptrdiff_t(y) * pic.yStride, pic.u + c * pic.uStride,
               kind.nv12 ? nullptr : pic.v + c * pic.vStride, dst.bits + ptrdiff_t(y0 + y) * dst.stride, x0};
  };
#if defined(__SSE2__)
  if (simd) {
    const SimdSpan span = light ? simdSpanFor<true>(kind) : simdSpanFor<false>(kind);
    for (int64_t y = ys; y < ye;) {
      Row rows[4];
      int n = 0;
      do {
        rows[n] = row(y + n);
        ++n;
      } while (n < 4 && y + n < ye && ((y + n) >> kind.sy) == (y >> kind.sy));
      span(k, light, kind, dst.format, rows, n, int32_t(xs), int32_t(xe));
      y += n;
    }
    return noErr;
  }
#else
  (void)simd;
#endif
  for (int64_t y = ys; y < ye; ++y) plainSpan(k, light, kind, dst.format, row(y), int32_t(xs), int32_t(xe));
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
