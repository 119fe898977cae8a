// What a decoded picture is made of, whatever its kind: its planes (how many bytes each row
// holds, how many rows), so that one copies it; and packed RGB pictures of every layout turned
// into the engine's frames of 0x00RRGGBB words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder.h"
#include "videocodecs.h"

namespace qte {

struct PictureGeometry {
  int planes = 0;             // 1 to 3 (nv12: 2)
  size_t rowBytes[3] = {};    // of the picture's width
  size_t rows[3] = {};
  size_t paletteBytes = 0;    // pal8: 256 words
};

// false for a picture that does not hold together (a size of 0, a missing plane, a stride
// shorter than its row).
bool pictureGeometry(const Picture& p, PictureGeometry* out);

// The top-left w x h of a packed picture as 0x00RRGGBB words (resizing f once for a new size).
// paramErr for a picture that does not hold together.
Err packedToFrame(const Picture& p, int32_t w, int32_t h, Frame& f);

}  // namespace qte
