// The light side of the YUV conversion: transfer functions, HLG's OOTF, BT.2020 to BT.709 and
// the tone curve, as tables and a few float operations per pixel. The SSE2 path does, lane by
// lane, the float operations of the plain one in the same order (IEEE single precision; the
// build forbids fused multiply-adds), so both give the same bytes.
//
// Tone mapping: the Möbius curve (a linear-fractional map, ffmpeg's tonemap=mobius) on the
// largest of R, G, B, every channel scaled alike so that hue and saturation stay: light up to the
// knee (0.3, 30 cd/m²) is kept as it is, above it the curve bends, with the slope continuous, so
// that the peak (1000 cd/m², 10) becomes SDR white. Of the operators ffmpeg's filter has, it is
// the one that follows BT.2390's EETF for 1000 to 100 cd/m² (50, 100 and 203 cd/m² become 0.46,
// 0.66 and 0.83 of white, the EETF's 0.46, 0.70 and 0.88; Reinhard's 0.37, 0.55 and 0.74, Hable's
// 0.18, 0.31 and 0.51). PQ pictures are taken for the usual 1000 cd/m² mastering peak (brighter
// highlights clip); HLG's display peak is 1000 cd/m² by its OOTF.
#include "hdr.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qte {

namespace {

constexpr float pow2(int e) { return e < 0 ? pow2(e + 1) / 2 : e > 0 ? pow2(e - 1) * 2 : 1.0f; }

// A table indexed by a float's bits, its exponent and the top kBits of its mantissa: steps of
// 2^-kBits of the value, from 2^kLow up to 2^kHigh. Values outside clamp to the ends.
template <int kBits, int kLow, int kHigh>
struct LogScale {
  static constexpr int kShift = 23 - kBits;
  static constexpr int32_t kBase = (127 + kLow) << kBits;
  static constexpr int32_t kSize = ((127 + kHigh) << kBits) - kBase + 1;
  static constexpr float kFloor = pow2(kLow), kCeiling = pow2(kHigh);
  static int32_t index(float v) {
    v = v > kFloor ? v : kFloor;  // what maxps and minps do, lane by lane
    v = v < kCeiling ? v : kCeiling;
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return int32_t(u >> kShift) - kBase;
  }
  // The value in the middle of step i, which the table holds for the whole step.
  static double middle(int32_t i) {
    const uint32_t u = (uint32_t(i + kBase) << kShift) | (1u << (kShift - 1));
    float f;
    std::memcpy(&f, &u, 4);
    return std::min(double(kCeiling), double(f));
  }
#if defined(__SSE2__)
  static __m128i index(__m128 v) {
    v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(kFloor)), _mm_set1_ps(kCeiling));
    return _mm_sub_epi32(_mm_srli_epi32(_mm_castps_si128(v), kShift), _mm_set1_epi32(kBase));
  }
#endif
};
// 8-bit output: code 1 begins at 3.2e-7 (2^-21.6); a step moves a code by 0.1 at most.
using ScreenScale = LogScale<10, -22, 0>;
// HLG's gain, Ys^0.2, moves by 0.2 of a step of Ys: 0.08 % at most. Signal 2.0 is scene light 262.
using GainScale = LogScale<8, -28, 9>;

// Light, 1.0 = 100 cd/m², at each step of the signal.
struct SignalTable {
  float v[kSignalTop + 1];
  explicit SignalTable(double (*light)(double)) {
    for (int32_t i = 0; i <= kSignalTop; ++i) v[i] = float(light(double(i) / kSignalSteps));
  }
};

// SMPTE ST 2084: 1.0 of the signal is 10000 cd/m². The curve ends (its divisor reaches 0) near
// 1.99; at 1.5 it is 3e6 cd/m² already, which every tone curve takes for white.
double pqLight(double e) {
  const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
  const double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
  const double p = std::pow(std::min(e, 1.5), 1 / m2);
  return 100 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}
// BT.2100 HLG, the inverse OETF: scene light, 0..1. The OOTF follows, by luminance.
double hlgSceneLight(double e) {
  const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
  return e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
}
// BT.1886 with its black at 0: what BT.709 and BT.2020 SDR pictures show.
double sdrLight(double e) { return std::pow(e, 2.4); }

const float* pqTable() {
  static const SignalTable t(pqLight);
  return t.v;
}
const float* hlgTable() {
  static const SignalTable t(hlgSceneLight);
  return t.v;
}
const float* sdrTable() {
  static const SignalTable t(sdrLight);
  return t.v;
}

// HLG's OOTF for a 1000 cd/m² display (BT.2100: system gamma 1.2, no black lift): display light
// is scene light times 1000 cd/m² (10) times Ys^(1.2 - 1).
const float* hlgGainTable() {
  static const struct Gain {
    float v[GainScale::kSize];
    Gain() {
      for (int32_t i = 0; i < GainScale::kSize; ++i) v[i] = float(10 * std::pow(GainScale::middle(i), 0.2));
    }
  } t;
  return t.v;
}

// Light, 0..1 of SDR white, to 8-bit BT.1886.
const uint8_t* screenTable() {
  static const struct Screen {
    uint8_t v[ScreenScale::kSize];
    Screen() {
      for (int32_t i = 0; i < ScreenScale::kSize; ++i)
        v[i] = uint8_t(std::lround(255 * std::pow(ScreenScale::middle(i), 1 / 2.4)));
    }
  } t;
  return t.v;
}

// RGB to XYZ for primaries given as x, y of red, green and blue, with D65 white.
void rgbToXyz(const double xy[6], double out[9]) {
  const double wx = 0.3127, wy = 0.3290;
  double p[9];  // columns: each primary's XYZ at Y = 1
  for (int i = 0; i < 3; ++i) {
    const double x = xy[2 * i], y = xy[2 * i + 1];
    p[i] = x / y, p[3 + i] = 1, p[6 + i] = (1 - x - y) / y;
  }
  const double w[3] = {wx / wy, 1, (1 - wx - wy) / wy};
  // The primaries' weights that make white: solve p * s = w (Cramer's rule).
  auto det = [](const double* m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
  };
  const double d = det(p);
  for (int c = 0; c < 3; ++c) {
    double q[9];
    std::memcpy(q, p, sizeof q);
    for (int r = 0; r < 3; ++r) q[3 * r + c] = w[r];
    const double s = det(q) / d;
    for (int r = 0; r < 3; ++r) out[3 * r + c] = p[3 * r + c] * s;
  }
}

void invert(const double m[9], double out[9]) {
  const double d = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
  out[0] = (m[4] * m[8] - m[5] * m[7]) / d, out[1] = (m[2] * m[7] - m[1] * m[8]) / d, out[2] = (m[1] * m[5] - m[2] * m[4]) / d;
  out[3] = (m[5] * m[6] - m[3] * m[8]) / d, out[4] = (m[0] * m[8] - m[2] * m[6]) / d, out[5] = (m[2] * m[3] - m[0] * m[5]) / d;
  out[6] = (m[3] * m[7] - m[4] * m[6]) / d, out[7] = (m[1] * m[6] - m[0] * m[7]) / d, out[8] = (m[0] * m[4] - m[1] * m[3]) / d;
}

LightPath::Steps stepsFor(YuvTransfer transfer, bool wide) {
  LightPath::Steps s;
  s.toLight = transfer == YuvTransfer::pq ? pqTable() : transfer == YuvTransfer::hlg ? hlgTable() : sdrTable();
  s.toScreen = screenTable();
  if (transfer == YuvTransfer::hlg) {
    s.hlgGain = hlgGainTable();
    const float bt2020[3] = {0.2627f, 0.6780f, 0.0593f}, bt709[3] = {0.2126f, 0.7152f, 0.0722f};
    std::memcpy(s.luma, wide ? bt2020 : bt709, sizeof s.luma);
  }
  if (wide) {
    const double bt2020[6] = {0.708, 0.292, 0.170, 0.797, 0.131, 0.046};
    const double bt709[6] = {0.640, 0.330, 0.300, 0.600, 0.150, 0.060};
    double from[9], to[9], back[9];
    rgbToXyz(bt2020, from);
    rgbToXyz(bt709, to);
    invert(to, back);
    s.gamut = true;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        s.m[3 * r + c] = float(back[3 * r] * from[c] + back[3 * r + 1] * from[3 + c] + back[3 * r + 2] * from[6 + c]);
  }
  if (transfer != YuvTransfer::sdr) {
    const double j = 0.3, peak = 10;
    const double a = -j * j * (peak - 1) / (j * j - 2 * j + peak), b = (j * j - 2 * j * peak + peak) / (peak - 1);
    s.toneMap = true;
    s.knee = float(j), s.a = float(a), s.b = float(b), s.scale = float((b * b + 2 * b * j + j * j) / (b - a));
  }
  return s;
}

}  // namespace

const LightPath* LightPath::of(const YuvColour& colour) {
  // BT.601's primaries are taken for BT.709's, as SDR players take them.
  const bool wide = colour.primaries == YuvPrimaries::bt2020;
  switch (colour.transfer) {
    case YuvTransfer::sdr: {
      if (!wide) return nullptr;
      static const LightPath sdr2020(stepsFor(YuvTransfer::sdr, true));
      return &sdr2020;
    }
    case YuvTransfer::pq: {
      static const LightPath pq709(stepsFor(YuvTransfer::pq, false)), pq2020(stepsFor(YuvTransfer::pq, true));
      return wide ? &pq2020 : &pq709;
    }
    case YuvTransfer::hlg: {
      static const LightPath hlg709(stepsFor(YuvTransfer::hlg, false)), hlg2020(stepsFor(YuvTransfer::hlg, true));
      return wide ? &hlg2020 : &hlg709;
    }
  }
  return nullptr;
}

void LightPath::pixel(int32_t ri, int32_t gi, int32_t bi, uint8_t* R, uint8_t* G, uint8_t* B) const {
  float r = s_.toLight[ri], g = s_.toLight[gi], b = s_.toLight[bi];
  if (s_.hlgGain) {
    const float k = s_.hlgGain[GainScale::index(s_.luma[0] * r + s_.luma[1] * g + s_.luma[2] * b)];
    r *= k, g *= k, b *= k;
  }
  if (s_.gamut) {
    const float* m = s_.m;
    const float x = m[0] * r + m[1] * g + m[2] * b, y = m[3] * r + m[4] * g + m[5] * b;
    const float z = m[6] * r + m[7] * g + m[8] * b;
    r = x, g = y, b = z;
  }
  if (s_.toneMap) {
    float top = r > g ? r : g;
    top = top > b ? top : b;
    if (top > s_.knee) {
      const float k = s_.scale * (top + s_.a) / ((top + s_.b) * top);
      r *= k, g *= k, b *= k;
    }
  }
  *R = s_.toScreen[ScreenScale::index(r)];
  *G = s_.toScreen[ScreenScale::index(g)];
  *B = s_.toScreen[ScreenScale::index(b)];
}

void LightPath::sixteen(const int16_t* ri, const int16_t* gi, const int16_t* bi, uint8_t* R, uint8_t* G,
                        uint8_t* B) const {
#if defined(__SSE2__)
  float light[3][16];
  for (int i = 0; i < 16; ++i)
    light[0][i] = s_.toLight[ri[i]], light[1][i] = s_.toLight[gi[i]], light[2][i] = s_.toLight[bi[i]];
  int32_t at[3][16];
  for (int q = 0; q < 16; q += 4) {
    __m128 r = _mm_loadu_ps(light[0] + q), g = _mm_loadu_ps(light[1] + q), b = _mm_loadu_ps(light[2] + q);
    if (s_.hlgGain) {
      const __m128 ys = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(s_.luma[0]), r), _mm_mul_ps(_mm_set1_ps(s_.luma[1]), g)),
                                   _mm_mul_ps(_mm_set1_ps(s_.luma[2]), b));
      int32_t k[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(k), GainScale::index(ys));
      const __m128 gain = _mm_setr_ps(s_.hlgGain[k[0]], s_.hlgGain[k[1]], s_.hlgGain[k[2]], s_.hlgGain[k[3]]);
      r = _mm_mul_ps(r, gain), g = _mm_mul_ps(g, gain), b = _mm_mul_ps(b, gain);
    }
    if (s_.gamut) {
      const float* m = s_.m;
      auto row = [&](int i) {
        return _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(m[i]), r), _mm_mul_ps(_mm_set1_ps(m[i + 1]), g)),
                          _mm_mul_ps(_mm_set1_ps(m[i + 2]), b));
      };
      const __m128 x = row(0), y = row(3), z = row(6);
      r = x, g = y, b = z;
    }
    if (s_.toneMap) {
      const __m128 knee = _mm_set1_ps(s_.knee);
      const __m128 top = _mm_max_ps(_mm_max_ps(r, g), b);
      // Lanes at or below the knee keep their light (a factor of 1); the curve is evaluated at
      // the knee there, so that nothing divides by zero.
      const __m128 bent = _mm_cmpgt_ps(top, knee), t = _mm_max_ps(top, knee);
      const __m128 k = _mm_div_ps(_mm_mul_ps(_mm_set1_ps(s_.scale), _mm_add_ps(t, _mm_set1_ps(s_.a))),
                                  _mm_mul_ps(_mm_add_ps(t, _mm_set1_ps(s_.b)), t));
      const __m128 f = _mm_or_ps(_mm_and_ps(bent, k), _mm_andnot_ps(bent, _mm_set1_ps(1.0f)));
      r = _mm_mul_ps(r, f), g = _mm_mul_ps(g, f), b = _mm_mul_ps(b, f);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at[0] + q), ScreenScale::index(r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at[1] + q), ScreenScale::index(g));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at[2] + q), ScreenScale::index(b));
  }
  for (int i = 0; i < 16; ++i) R[i] = s_.toScreen[at[0][i]], G[i] = s_.toScreen[at[1][i]], B[i] = s_.toScreen[at[2][i]];
#else
  for (int i = 0; i < 16; ++i) pixel(ri[i], gi[i], bi[i], R + i, G + i, B + i);
#endif
}

}  // namespace qte
