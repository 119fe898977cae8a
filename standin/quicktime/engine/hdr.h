// From a picture's non-linear R'G'B' to the 8-bit BT.709 of an SDR screen, for pictures whose
// light needs more than a matrix: HDR (PQ, HLG) and BT.2020 primaries. The YUV conversion hands
// over R'G'B' in steps of 1/kSignalSteps (its own fixed point); a LightPath takes them to light
// (1.0 = 100 cd/m², SDR white), applies HLG's OOTF, maps BT.2020 primaries to BT.709 ones,
// tone-maps HDR light with the Möbius curve, and encodes BT.1886 (L^(1/2.4)) in 8 bits.
//
// These are the steps of ffmpeg's chain (zimg without approximations, then its tonemap filter):
//   zscale=agamma=0:t=linear:p=2020:npl=100, format=gbrpf32le, zscale=agamma=0:p=709,
//   tonemap=mobius:param=0.3:desat=0:peak=10, zscale=agamma=0:t=bt709:r=full, format=gbrp
// The tables are made once per transfer, at first use, and never change: nothing is allocated
// per picture.
#pragma once

#include <cstdint>

#include "codecconfig.h"

namespace qte {

constexpr int32_t kSignalSteps = 255 << 5;  // R'G'B' = 1.0
// Signal above 1.0 is light above the nominal peak (HLG's highlights, coding overshoots): it is
// kept up to 2.0, so that a channel's overshoot weighs in the luminance and the tone curve as it
// does in float arithmetic.
constexpr int32_t kSignalTop = 2 * kSignalSteps;

class LightPath {
 public:
  // The path a colour needs, or null for SDR of BT.709 or BT.601 primaries, whose R'G'B' is
  // already what the screen shows.
  static const LightPath* of(const YuvColour& colour);

  // One pixel, each of r, g, b in 0..kSignalTop, to 8-bit R, G, B.
  void pixel(int32_t r, int32_t g, int32_t b, uint8_t* R, uint8_t* G, uint8_t* B) const;
  // Sixteen pixels, each channel's values together: byte for byte what pixel() gives.
  void sixteen(const int16_t* r, const int16_t* g, const int16_t* b, uint8_t* R, uint8_t* G, uint8_t* B) const;

  struct Steps {
    const float* toLight = nullptr;  // kSignalTop + 1 values: the transfer's EOTF
    const float* hlgGain = nullptr;  // HLG: the OOTF's gain by scene luminance, else null
    float luma[3] = {};              // the source primaries' luminance weights (HLG)
    bool gamut = false;              // BT.2020 to BT.709 through `m`, in linear light
    float m[9] = {};
    bool toneMap = false;            // HDR: Möbius through (knee, a, b, scale)
    float knee = 0, a = 0, b = 0, scale = 0;
    const uint8_t* toScreen = nullptr;  // light 0..1, log-indexed, to 8-bit BT.1886
  };
  explicit LightPath(const Steps& s) : s_(s) {}

 private:
  Steps s_;
};

}  // namespace qte
