// Linear PCM conversion: layouts, widths, channel mapping and linear-interpolation resampling.
#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qtengine.h"

namespace qte {

bool AudioFormat::operator==(const AudioFormat& o) const {
  return sampleRate == o.sampleRate && channels == o.channels && bits == o.bits && isFloat == o.isFloat &&
         (isSigned == o.isSigned || isFloat) && (bigEndian == o.bigEndian || bits == 8) &&
         (interleaved == o.interleaved || channels == 1);
}

bool AudioFormat::valid() const {
  if (!(sampleRate >= 1 && sampleRate <= 1e6) || channels == 0 || channels > 32) return false;
  if (isFloat) return bits == 32 || bits == 64;
  return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

namespace {
inline const uint8_t* at(const void* const* planes, const AudioFormat& f, uint32_t frame, uint32_t c) {
  const uint32_t b = f.bits / 8;
  if (f.interleaved) return static_cast<const uint8_t*>(planes[0]) + (size_t(frame) * f.channels + c) * b;
  return static_cast<const uint8_t*>(planes[c]) + size_t(frame) * b;
}

inline uint64_t loadBits(const uint8_t* p, uint32_t bytes, bool big) {
  switch (bytes) {  // the common widths without the loop
    case 1: return p[0];
    case 2: return big ? uint32_t(p[0] << 8 | p[1]) : uint32_t(p[1] << 8 | p[0]);
    case 4:
      return big ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                 : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    default: break;
  }
  uint64_t v = 0;
  for (uint32_t i = 0; i < bytes; ++i) v |= uint64_t(p[big ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
  return v;
}
inline void storeBits(uint8_t* p, uint64_t v, uint32_t bytes, bool big) {
  if (bytes == 2) {
    p[big ? 0 : 1] = uint8_t(v >> 8);
    p[big ? 1 : 0] = uint8_t(v);
    return;
  }
  for (uint32_t i = 0; i < bytes; ++i) p[big ? i : bytes - 1 - i] = uint8_t(v >> (8 * (bytes - 1 - i)));
}

// Integer sample as a left-justified int32.
inline int32_t loadInt(const uint8_t* p, const AudioFormat& f) {
  uint32_t bytes = f.bits / 8;
  uint32_t v = uint32_t(loadBits(p, bytes, f.bigEndian)) << (32 - f.bits);
  if (!f.isSigned) v ^= 0x80000000u;
  return int32_t(v);
}
inline void storeInt(uint8_t* p, int32_t lj, const AudioFormat& f) {
  uint32_t v = uint32_t(lj);
  if (!f.isSigned) v ^= 0x80000000u;
  storeBits(p, v >> (32 - f.bits), f.bits / 8, f.bigEndian);
}

inline double load(const uint8_t* p, const AudioFormat& f) {
  if (!f.isFloat) return loadInt(p, f) / 2147483648.0;
  uint64_t b = loadBits(p, f.bits / 8, f.bigEndian);
  if (f.bits == 32) {
    uint32_t u = uint32_t(b);
    float x;
    std::memcpy(&x, &u, 4);
    return x;
  }
  double x;
  std::memcpy(&x, &b, 8);
  return x;
}

inline void store(uint8_t* p, double v, const AudioFormat& f) {
  if (f.isFloat) {
    if (f.bits == 32) {
      float x = float(v);
      uint32_t u;
      std::memcpy(&u, &x, 4);
      storeBits(p, u, 4, f.bigEndian);
    } else {
      uint64_t u;
      std::memcpy(&u, &v, 8);
      storeBits(p, u, 8, f.bigEndian);
    }
    return;
  }
  const double scale = double(int64_t(1) << (f.bits - 1));
  const double hi = scale - 1, lo = -scale;
  double s = v * scale;
  if (!(s == s)) s = 0;  // NaN
  s = std::min(hi, std::max(lo, s));
  int64_t q = std::llrint(s);
  storeInt(p, int32_t(uint32_t(uint64_t(q) << (32 - f.bits))), f);
}
constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// One flat run of samples: interleaved, or a single channel.
bool flat(const AudioFormat& f) { return f.interleaved || f.channels == 1; }

void swap16(const uint8_t* in, uint8_t* out, size_t samples) {
  for (size_t i = 0; i < samples; ++i) {
    const uint8_t a = in[2 * i], b = in[2 * i + 1];
    out[2 * i] = b;
    out[2 * i + 1] = a;
  }
}

// x / 32768 exactly, as the general loop's double arithmetic gives it.
void s16ToF32(const uint8_t* in, bool bigEndian, float* out, size_t samples) {
  const float k = 1.f / 32768.f;
  for (size_t i = 0; i < samples; ++i) {
    const float v = float(int16_t(uint16_t(loadBits(in + 2 * i, 2, bigEndian)))) * k;
    std::memcpy(out + i, &v, sizeof v);  // the caller's buffer need not be aligned
  }
}

// The general loop's rule: scaled by 32768, NaN to 0, clamped, rounded to nearest (even).
inline int16_t f32ToS16One(float x) {
  float s = x * 32768.f;  // exact: a power of two (infinities clamp as the double would)
  if (!(s == s)) s = 0;
  s = std::min(32767.f, std::max(-32768.f, s));
  return int16_t(std::lrint(s));
}

void f32ToS16(const float* in, uint8_t* out, bool bigEndian, size_t samples) {
  size_t i = 0;
#if defined(__SSE2__)
  if (!bigEndian) {
    const __m128 scale = _mm_set1_ps(32768.f), hi = _mm_set1_ps(32767.f), lo = _mm_set1_ps(-32768.f);
    for (; i + 8 <= samples; i += 8) {
      __m128 a = _mm_mul_ps(_mm_loadu_ps(in + i), scale);
      __m128 b = _mm_mul_ps(_mm_loadu_ps(in + i + 4), scale);
      a = _mm_and_ps(a, _mm_cmpord_ps(a, a));  // NaN to 0
      b = _mm_and_ps(b, _mm_cmpord_ps(b, b));
      a = _mm_min_ps(_mm_max_ps(a, lo), hi);
      b = _mm_min_ps(_mm_max_ps(b, lo), hi);
      const __m128i w = _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), w);
    }
  }
#endif
  for (; i < samples; ++i) {
    float x;
    std::memcpy(&x, in + i, sizeof x);
    storeBits(out + 2 * i, uint16_t(f32ToS16One(x)), 2, bigEndian);
  }
}
// The general loop's rule at 32 bits: scaled by 2^31 in double, NaN to 0, clamped, rounded
// to nearest (even).
void f32ToS32(const float* in, uint8_t* out, size_t samples) {
  for (size_t i = 0; i < samples; ++i) {
    float x;
    std::memcpy(&x, in + i, sizeof x);
    double s = double(x) * 2147483648.0;
    if (!(s == s)) s = 0;
    s = std::min(2147483647.0, std::max(-2147483648.0, s));
    const int32_t v = int32_t(std::llrint(s));
    std::memcpy(out + 4 * i, &v, sizeof v);
  }
}
}  // namespace

Err Converter::setFormats(const AudioFormat& in, const AudioFormat& out) {
  if (!in.valid() || !out.valid()) return paramErr;
  if (out.isFloat && out.bits == 64) return paramErr;  // output is integer or 32-bit float
  in_ = in;
  out_ = out;
  std::fill(std::begin(mix_), std::end(mix_), 0.f);
  const uint32_t ic = in.channels, oc = out.channels;
  identity_ = ic == oc;
  if (ic == oc) {
    for (uint32_t c = 0; c < oc; ++c) mix_[c * ic + c] = 1;
  } else if (ic == 1) {
    for (uint32_t c = 0; c < std::min(oc, 2u); ++c) mix_[c * ic] = 1;  // mono to the front pair
  } else if (oc == 1) {
    for (uint32_t c = 0; c < ic; ++c) mix_[c] = 1.f / float(ic);
  } else if (ic == 6 && oc == 2) {
    // 5.1 (L R C LFE Ls Rs) folded down; normalised so that a full-scale sum does not clip.
    const float g = 1.f / (1.f + 0.7071f + 0.7071f);
    mix_[0 * 6 + 0] = g; mix_[0 * 6 + 2] = 0.7071f * g; mix_[0 * 6 + 4] = 0.7071f * g;
    mix_[1 * 6 + 1] = g; mix_[1 * 6 + 2] = 0.7071f * g; mix_[1 * 6 + 5] = 0.7071f * g;
  } else {
    for (uint32_t c = 0; c < std::min(ic, oc); ++c) mix_[c * ic + c] = 1;  // shared channels
  }
  resample_ = in.sampleRate != out.sampleRate;
  step_ = in.sampleRate / out.sampleRate;
  exact_ = !in.isFloat && !out.isFloat && ic == oc && !resample_;
  kernel_ = Kernel::none;
  if (ic == oc && !resample_ && flat(in) && flat(out)) {
    const bool hostFloatOut = out.isFloat && out.bits == 32 && out.bigEndian != kLittleEndianHost;
    const bool hostFloatIn = in.isFloat && in.bits == 32 && in.bigEndian != kLittleEndianHost;
    const bool s16In = !in.isFloat && in.bits == 16 && in.isSigned;
    const bool s16Out = !out.isFloat && out.bits == 16 && out.isSigned;
    const bool s32Out = !out.isFloat && out.bits == 32 && out.isSigned && out.bigEndian != kLittleEndianHost;
    if ((exact_ && in.bits == out.bits && in.isSigned == out.isSigned &&
         (in.bigEndian == out.bigEndian || in.bits == 8)) ||
        (hostFloatIn && hostFloatOut))
      kernel_ = Kernel::copy;
    else if (exact_ && s16In && s16Out)
      kernel_ = Kernel::swap16;
    else if (s16In && hostFloatOut)
      kernel_ = Kernel::s16ToF32;
    else if (hostFloatIn && s16Out)
      kernel_ = Kernel::f32ToS16;
    else if (hostFloatIn && s32Out && kLittleEndianHost)
      kernel_ = Kernel::f32ToS32;
  }
  reset();
  return noErr;
}

void Converter::reset() {
  phase_ = 0;
  havePrev_ = false;
  std::fill(std::begin(prev_), std::end(prev_), 0.0);
}

Err Converter::convert(const void* const* in, uint32_t inFrames, void* const* out, uint32_t outCap,
                       uint32_t* inUsed, uint32_t* outMade) {
  *inUsed = 0;
  *outMade = 0;
  if (!in_.valid() || !out_.valid()) return paramErr;
  const uint32_t ic = in_.channels, oc = out_.channels;
  uint8_t* const* o = reinterpret_cast<uint8_t* const*>(out);
  auto outAt = [&](uint32_t frame, uint32_t c) {
    return const_cast<uint8_t*>(at(reinterpret_cast<const void* const*>(o), out_, frame, c));
  };
  if (!resample_) {
    const uint32_t n = std::min(inFrames, outCap);
    if (kernel_ != Kernel::none) {
      const size_t samples = size_t(n) * oc;
      const uint8_t* src = static_cast<const uint8_t*>(in[0]);
      uint8_t* dst = o[0];
      switch (kernel_) {
        case Kernel::copy:
          if (samples) std::memmove(dst, src, samples * (out_.bits / 8));
          break;
        case Kernel::swap16:
          swap16(src, dst, samples);
          break;
        case Kernel::s16ToF32:
          s16ToF32(src, in_.bigEndian, reinterpret_cast<float*>(dst), samples);
          break;
        case Kernel::f32ToS16:
          f32ToS16(reinterpret_cast<const float*>(src), dst, out_.bigEndian, samples);
          break;
        case Kernel::f32ToS32:
          f32ToS32(reinterpret_cast<const float*>(src), dst, samples);
          break;
        case Kernel::none:
          break;
      }
      *inUsed = *outMade = n;
      return noErr;
    }
    if (exact_) {
      for (uint32_t f = 0; f < n; ++f)
        for (uint32_t c = 0; c < oc; ++c) storeInt(outAt(f, c), loadInt(at(in, in_, f, c), in_), out_);
    } else {
      double v[32];
      if (identity_) {
        for (uint32_t f = 0; f < n; ++f)
          for (uint32_t c = 0; c < oc; ++c) store(outAt(f, c), load(at(in, in_, f, c), in_), out_);
        *inUsed = *outMade = n;
        return noErr;
      }
      for (uint32_t f = 0; f < n; ++f) {
        for (uint32_t c = 0; c < ic; ++c) v[c] = load(at(in, in_, f, c), in_);
        for (uint32_t c = 0; c < oc; ++c) {
          double s = 0;
          for (uint32_t k = 0; k < ic; ++k) s += mix_[c * ic + k] * v[k];
          store(outAt(f, c), s, out_);
        }
      }
    }
    *inUsed = *outMade = n;
    return noErr;
  }
  // Linear interpolation. phase_ is the next output's position in input frames, where -1 is
  // the last frame of the previous call (prev_).
  if (!havePrev_ && inFrames) {
    for (uint32_t c = 0; c < ic; ++c) prev_[c] = load(at(in, in_, 0, c), in_);
    havePrev_ = true;
    phase_ = 0;
  }
  uint32_t made = 0;
  double a[32], b[32];
  while (made < outCap) {
    double ip = std::floor(phase_);
    int64_t i = int64_t(ip);
    if (i + 1 >= int64_t(inFrames)) break;  // needs frame i+1
    const double frac = phase_ - ip;
    for (uint32_t c = 0; c < ic; ++c) {
      a[c] = i < 0 ? prev_[c] : load(at(in, in_, uint32_t(i), c), in_);
      b[c] = load(at(in, in_, uint32_t(i + 1), c), in_);
    }
    for (uint32_t c = 0; c < oc; ++c) {
      double s = 0;
      for (uint32_t k = 0; k < ic; ++k) s += mix_[c * ic + k] * (a[k] + (b[k] - a[k]) * frac);
      store(outAt(made, c), s, out_);
    }
    ++made;
    phase_ += step_;
  }
  // Input before floor(phase_) is no longer needed; keep the last consumed frame as prev_.
  int64_t used = std::min<int64_t>(int64_t(std::floor(phase_)) + 1, int64_t(inFrames));
  if (made == outCap && used > 0) used = std::min<int64_t>(used, int64_t(std::floor(phase_)));
  if (used < 0) used = 0;
  if (used > 0) {
    for (uint32_t c = 0; c < ic; ++c) prev_[c] = load(at(in, in_, uint32_t(used - 1), c), in_);
    phase_ -= double(used);
  }
  *inUsed = uint32_t(used);
  *outMade = made;
  return noErr;
}

}  // namespace qte
