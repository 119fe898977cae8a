// A video track's samples as its decoder takes them: read from the file, length-prefixed NAL
// units rewritten with start codes, the codec's header in front when a new decoder starts. The
// buffers are sized for the track's largest sample at once and grow only for a larger one, never
// per sample. Each decoder has its own reader; one thread uses it at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder.h"

namespace qte {

class UnitReader {
 public:
  explicit UnitReader(const Track& track) : track_(track) {}
  // Whole-size buffers for units with a header of `headerBytes`.
  void reserve(size_t headerBytes);
  // Sample `index` as it is in the file: *data and *bytes (0 for a sample outside the file).
  Err sample(uint64_t index, const uint8_t** data, size_t* bytes);
  // Sample `index` rewritten for `codec`'s decoder, its header in front when asked: *data and
  // *bytes, 0 for a sample that cannot be read or rewritten (it shows nothing).
  Err unit(uint64_t index, const VideoCodec& codec, bool header, const uint8_t** data, size_t* bytes);

 private:
  const Track& track_;
  std::vector<uint8_t> sample_, unit_;
};

}  // namespace qte
