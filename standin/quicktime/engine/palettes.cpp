// Colour tables of image descriptions and the Macintosh default tables.
#include "palettes.h"

#include "atoms.h"

namespace qte {

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;
inline uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) { return kOpaque | r << 16 | g << 8 | b; }

// The 16-colour table of 4-bit colour.
constexpr uint32_t kDefault4[16] = {
    0xFFFFFF, 0xFCF305, 0xFF6402, 0xDD0806, 0xF20884, 0x4600A5, 0x0000D4, 0x02ABEA,
    0x1FB714, 0x006411, 0x562C05, 0x90713A, 0xC0C0C0, 0x808080, 0x404040, 0x000000,
};
constexpr uint32_t kDefault2[4] = {0xFFFFFF, 0xACACAC, 0x555555, 0x000000};

void defaultTable(uint16_t depth, uint32_t* out) {
  if (depth == 2 || depth == 4) {
    const uint32_t* t = depth == 2 ? kDefault2 : kDefault4;
    for (int i = 0; i < (1 << depth); ++i) out[i] = kOpaque | t[i];
    return;
  }
  if (depth == 8) {
    // The 6x6x6 cube from white, without its black; ramps of red, green, blue and grey in the
    // steps the cube leaves out; black last.
    int i = 0;
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b)
          if (i < 215) out[i++] = rgb(0xFF - 0x33 * r, 0xFF - 0x33 * g, 0xFF - 0x33 * b);
    constexpr uint8_t kRamp[10] = {0xEE, 0xDD, 0xBB, 0xAA, 0x88, 0x77, 0x55, 0x44, 0x22, 0x11};
    for (uint8_t v : kRamp) out[i++] = rgb(v, 0, 0);
    for (uint8_t v : kRamp) out[i++] = rgb(0, v, 0);
    for (uint8_t v : kRamp) out[i++] = rgb(0, 0, v);
    for (uint8_t v : kRamp) out[i++] = rgb(v, v, v);
    out[i] = rgb(0, 0, 0);
    return;
  }
  // Grey, 1 to 8 bits: white to black.
  const int n = 1 << (depth - 32);
  for (int k = 0; k < n; ++k) {
    const uint32_t v = 255u - uint32_t(k * 255 / (n - 1));
    out[k] = rgb(v, v, v);
  }
}

bool palettized(uint16_t depth) { return depth == 2 || depth == 4 || depth == 8 || (depth >= 33 && depth <= 40); }

}  // namespace

bool readColourTable(const uint8_t* entry, size_t size, uint16_t depth, int16_t colorTableId, size_t* at,
                     std::vector<uint32_t>* palette) {
  palette->clear();
  if (!palettized(depth)) return true;
  palette->assign(256, kOpaque);
  if (colorTableId != 0) {
    defaultTable(depth, palette->data());
    return true;
  }
  Cursor c(entry, size);
  c.pos = *at;
  c.skip(6);  // seed, flags
  const uint32_t count = uint32_t(c.u16()) + 1;
  if (c.bad || c.left() / 8 < count) {
    palette->clear();
    return false;
  }
  // Entries in index order: their own index fields are not trusted (writers leave them 0).
  for (uint32_t k = 0; k < count; ++k) {
    c.skip(2);
    const uint16_t r = c.u16(), g = c.u16(), b = c.u16();
    if (k < 256) (*palette)[k] = rgb(r >> 8, g >> 8, b >> 8);
  }
  *at = c.pos;
  return true;
}

}  // namespace qte
