// Decoded YUV pictures (planar, or NV12-style with U and V interleaved; 8 to 16 bits; 4:2:0,
// 4:2:2, 4:4:4, 4:1:1, 4:1:0) to the engine's pixel formats. Each chroma sample covers its block
// of luma. SDR pictures of BT.601 or BT.709 primaries take integer arithmetic, rounded to nearest
// and clamped (within 0.65 of the exact value at every depth: yuv.cpp says why); HDR pictures
// (PQ, HLG) are tone-mapped to SDR BT.709 and BT.2020 primaries mapped to BT.709 ones (hdr.h).
// RGB555 keeps the top five bits of each 8-bit result. The SSE2 path gives exactly the bytes of
// the plain loop. Nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecconfig.h"
#include "qtengine.h"

namespace qte {

enum class YuvLayout { planar, nv12 };

// A picture as a decoder delivered it, e.g. 640x368 for a 640x360 stream. Chroma planes hold
// ceil(width / 2^chromaShiftX) x ceil(height / 2^chromaShiftY) samples (4:2:0: 1, 1; 4:2:2:
// 1, 0; 4:4:4: 0, 0; 4:1:1: 2, 0; 4:1:0: 2, 2); for nv12, `u` is the interleaved U,V plane and
// `v` unused. Samples deeper than 8 bits are 16-bit little-endian words holding bitDepth bits,
// in the low bits, or in the high bits when msbAligned (P010, P016).
struct YuvPicture {
  YuvLayout layout = YuvLayout::planar;
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  ptrdiff_t yStride = 0, uStride = 0, vStride = 0;
  int32_t width = 0, height = 0;
  uint8_t bitDepth = 8;
  uint8_t chromaShiftX = 1, chromaShiftY = 1;
  bool msbAligned = false;
};

// The planes of a picture stored in one buffer the way Media Foundation's I420, IYUV, YV12 and
// NV12 buffers are: Y rows of `stride` bytes, `rows` of them (the buffer's height, which may
// exceed the picture's), then the chroma plane(s) at half the stride (NV12: the full stride).
// `yv12` puts V before U. False when the buffer is too small for it.
bool yuvPictureInBuffer(const uint8_t* data, size_t bytes, YuvLayout layout, bool yv12, int32_t width,
                        int32_t height, ptrdiff_t stride, int32_t rows, YuvPicture* out);

// Converts the top-left w x h of `pic` into `dst` at (x0, y0), clipped to the picture and to the
// buffer as the renderer clips frames. paramErr for a picture or buffer that does not hold
// together.
Err yuvToRgb(const YuvPicture& pic, const YuvColour& colour, int32_t w, int32_t h, const PixelBuffer& dst,
             int32_t x0, int32_t y0);
// The same without the SIMD path: the reference the SIMD path must equal.
Err yuvToRgbPlain(const YuvPicture& pic, const YuvColour& colour, int32_t w, int32_t h,
                  const PixelBuffer& dst, int32_t x0, int32_t y0);

}  // namespace qte
