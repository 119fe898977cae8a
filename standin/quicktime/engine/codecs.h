// The codecs a movie's tracks may ask for, in one table: which sample entries (four-character
// codes, and for MPEG-4 entries the object type of their 'esds') name each one, how it is
// decoded (by the engine itself, or by a decoder: the runtime's library or the system's) and
// what its decoders need. codecOf() is the one place that looks at a description's codes;
// everything else asks by CodecId.
#pragma once

#include <cstdint>

#include "qtengine.h"

namespace qte {

enum class CodecId : uint8_t {
  unknown,
  // Video the engine draws itself.
  rawVideo,
  animation,  // 'rle '
  // Video for a decoder.
  h264,
  hevc,
  mpeg4,      // MPEG-4 part 2
  h263,
  av1,
  vp9,
  prores,
  jpeg,       // Photo-JPEG and Motion-JPEG A
  mjpegB,
  png,
  dv,
  cinepak,
  svq1,       // Sorenson Video 1
  svq3,       // Sorenson Video 3
  graphics,   // 'smc '
  roadPizza,  // 'rpza' (Video)
  planarRgb,  // '8BPS'
  // Sound the engine decodes itself.
  pcm,        // linear PCM of every kind ('raw ', 'twos', 'sowt', 'in24', 'fl32', 'lpcm' ...)
  ulaw,
  alaw,
  ima4,
  // Sound for a decoder.
  aac,
  mpegAudio,  // MPEG-1 and -2 layers I, II and III
  amrNb,
  amrWb,
  alac,
  ac3,
  eac3,
  opus,
  flac,
  qdesign2,
  mace3,
  mace6,
  gsm,
  dts,
  count
};

enum CodecFlag : uint32_t {
  kCodecInHouse = 1u << 0,   // the engine decodes it itself, exactly
  kCodecAnnexB = 1u << 1,    // decoders take Annex B units, the parameter sets ahead of the first
  kCodecReorders = 1u << 2,  // pictures may come out in another order than their samples go in
  kCodecPacked = 1u << 3,    // decoders deliver packed RGB rather than planar YUV
  kCodecEntryPalette = 1u << 4,  // 8-bit pictures take their colours from the sample entry
};

struct CodecInfo {
  CodecId id;
  Kind kind;
  const char* name;     // for messages
  const char* library;  // the decoder library's name for its decoder; null when it has none
  uint32_t flags;
};

const CodecInfo& codecInfo(CodecId id);
// The codec of a sample description: unknown for codes no row names. Allocates nothing: the
// per-sample paths ask.
CodecId codecOf(const SampleDescription& d);
inline bool inHouse(CodecId id) { return (codecInfo(id).flags & kCodecInHouse) != 0; }

}  // namespace qte
