// Samples read and rewritten for a video decoder.
#include "unitreader.h"

#include <algorithm>
#include <cstring>

namespace qte {

void UnitReader::reserve(size_t headerBytes) {
  // A damaged table may claim huge samples: larger real ones grow the buffers when read.
  const size_t bytes = std::min<size_t>(track_.maxSampleBytes(), 8u << 20);
  sample_.reserve(bytes);
  unit_.reserve(bytes + headerBytes);
}

Err UnitReader::sample(uint64_t index, const uint8_t** data, size_t* bytes) {
  *bytes = 0;
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  Err e = track_.sampleLocation(index, &offset, &size, &description);
  if (e) return e;
  if (sample_.size() < size) sample_.resize(size);
  SampleRun run;
  run.offset = offset;
  run.bytes = size;
  if (track_.read(run, sample_.data())) return noErr;  // a sample outside the file shows nothing
  *data = sample_.data();
  *bytes = size;
  return noErr;
}

Err UnitReader::unit(uint64_t index, const VideoCodec& codec, bool header, const uint8_t** data, size_t* bytes) {
  const uint8_t* p = nullptr;
  size_t n = 0;
  Err e = sample(index, &p, &n);
  *bytes = 0;
  if (e || !n) return e;
  if (codec.nalLengthSize) {
    if (avcSampleToAnnexB(p, n, codec.nalLengthSize, unit_, &n)) return noErr;
    p = unit_.data();
  }
  if (header && !codec.header.empty()) {
    // The parameter sets go in front of the unit, in the same buffer, which grows only when the
    // two do not fit (inserting them would leave it longer at every new decoder).
    const size_t h = codec.header.size();
    const bool inUnit = p == unit_.data();
    if (unit_.size() < n + h) unit_.resize(n + h);
    if (inUnit) p = unit_.data();  // it may have moved
    std::memmove(unit_.data() + h, p, n);
    std::memcpy(unit_.data(), codec.header.data(), h);
    p = unit_.data();
    n += h;
  }
  *data = p;
  *bytes = n;
  return noErr;
}

}  // namespace qte
