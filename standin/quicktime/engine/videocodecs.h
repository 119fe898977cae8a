// In-house video decoders: 'raw ' and 'rle ' (Animation) at 16, 24 and 32 bits, into a frame of
// 32-bit pixels. 16-bit sources keep their 5-5-5 value (low 16 bits) so that RGB555 output is
// exact; deeper sources hold 0x00RRGGBB.
#pragma once

#include <vector>

#include "qtengine.h"

namespace qte {

struct Frame {
  uint32_t width = 0, height = 0;
  bool rgb555 = false;
  std::vector<uint32_t> px;
};

// Whether d is decodable and the frame geometry it needs.
bool videoGeometry(const SampleDescription& d, uint32_t* width, uint32_t* height);
// Decodes one sample into f (already sized). rle samples update f in place (delta frames).
Err decodeVideo(const SampleDescription& d, const uint8_t* data, size_t size, Frame& f);

}  // namespace qte
