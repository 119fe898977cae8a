// 'raw ' and 'rle ' decoding.
#include "videocodecs.h"

#include "codecs.h"

#include "atoms.h"

namespace qte {

namespace {
constexpr uint32_t kMaxDim = 8192;
constexpr uint32_t kMaxPixels = 1u << 24;  // frame buffers stay below 64 MB

inline uint32_t pixel(const uint8_t* p, uint32_t bytes) {
  switch (bytes) {
    case 2: return uint32_t(p[0] << 8 | p[1]) & 0x7fff;
    case 3: return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    default: return uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];  // A,R,G,B: alpha dropped
  }
}

Err decodeRaw(const uint8_t* data, size_t size, uint32_t bytes, Frame& f) {
  size_t row = size_t(f.width) * bytes;
  size_t stride = row;
  // Rows may be padded; the sample size tells the stride.
  if (f.height && size % f.height == 0 && size / f.height >= row) stride = size / f.height;
  if (size < stride * (f.height - 1) + row) return badImageDescription;
  for (uint32_t y = 0; y < f.height; ++y) {
    const uint8_t* p = data + stride * y;
    uint32_t* o = f.px.data() + size_t(y) * f.width;
    for (uint32_t x = 0; x < f.width; ++x, p += bytes) o[x] = pixel(p, bytes);
  }
  return noErr;
}

Err decodeRle(const uint8_t* data, size_t size, uint32_t bytes, Frame& f) {
  Cursor c(data, size);
  if (size < 8) return noErr;  // an empty sample: the frame does not change
  c.u32();  // chunk size (the sample size is authoritative)
  uint16_t header = c.u16();
  uint32_t y = 0, lines = f.height;
  if (header & 0x0008) {
    y = c.u16();
    c.skip(2);
    lines = c.u16();
    c.skip(2);
  }
  if (c.bad) return noErr;
  for (; lines > 0 && y < f.height; --lines, ++y) {
    uint8_t skip = c.u8();
    if (c.bad || skip == 0) break;
    uint32_t* row = f.px.data() + size_t(y) * f.width;
    uint32_t x = skip - 1u;
    for (;;) {
      int8_t code = int8_t(c.u8());
      if (c.bad) return invalidMedia;
      if (code == -1) break;
      if (code == 0) {
        skip = c.u8();
        x += skip - 1u;
        if (skip == 0) return invalidMedia;
      } else if (code < -1) {
        if (!c.need(bytes)) return invalidMedia;
        uint32_t v = pixel(c.p + c.pos, bytes);
        c.pos += bytes;
        for (int k = 0; k < -code; ++k, ++x)
          if (x < f.width) row[x] = v;
      } else {
        if (!c.need(size_t(code) * bytes)) return invalidMedia;
        for (int k = 0; k < code; ++k, ++x, c.pos += bytes)
          if (x < f.width) row[x] = pixel(c.p + c.pos, bytes);
      }
      if (x > f.width + 255u * 2) return invalidMedia;  // runaway line
    }
  }
  return noErr;
}
}  // namespace

bool videoGeometry(const SampleDescription& d, uint32_t* width, uint32_t* height) {
  const CodecId id = codecOf(d);
  if (id != CodecId::rawVideo && id != CodecId::animation) return false;
  if (d.depth != 16 && d.depth != 24 && d.depth != 32) return false;
  if (d.width == 0 || d.height == 0 || d.width > kMaxDim || d.height > kMaxDim) return false;
  if (uint32_t(d.width) * d.height > kMaxPixels) return false;
  *width = d.width;
  *height = d.height;
  return true;
}

bool canDecodeVideo(const SampleDescription& d) {
  uint32_t w, h;
  return videoGeometry(d, &w, &h);
}

Err decodeVideo(const SampleDescription& d, const uint8_t* data, size_t size, Frame& f) {
  uint32_t w = 0, h = 0;
  if (!videoGeometry(d, &w, &h) || f.width != w || f.height != h) return badImageDescription;
  const uint32_t bytes = d.depth / 8;
  f.rgb555 = d.depth == 16;
  return codecOf(d) == CodecId::rawVideo ? decodeRaw(data, size, bytes, f) : decodeRle(data, size, bytes, f);
}

}  // namespace qte
