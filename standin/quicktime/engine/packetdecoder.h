// Compressed sound packet by packet, for both of the runtime's sound paths (the movie-level
// extraction and the sound converter): the codec's configuration, a decoder from the process's
// chain, packets in and float PCM out. The policy lives here once: a packet the decoder refuses
// is silence of that packet's length, a decoder that takes packet after packet and gives nothing
// is an error, and a jump takes a new decoder (decoders keep no position that could be reset).
#pragma once

#include <memory>

#include "decoder.h"

namespace qte {

class PacketDecoder {
 public:
  // The codec a description asks for (`first`: the stream's first packet, which configures MPEG
  // audio and AC-3 without a 'dac3'). Drops any decoder.
  Err configure(const SampleDescription& d, const uint8_t* first, size_t firstBytes, const char** why = nullptr);
  bool configured() const { return configured_; }
  const AudioCodec& codec() const { return codec_; }

  // A new decoder from the chain, the stream starting over: cantFindHandler when none takes it.
  Err start();
  bool started() const { return dec_ != nullptr; }
  void stop() { dec_.reset(); }

  // One packet whose sound lasts `frames` frames: a refused one comes out as that many frames
  // of silence. invalidMedia when the decoder has taken too many packets without a sound.
  Err send(const uint8_t* packet, size_t size, uint32_t frames);
  // Up to `capacity` frames in codec().output; none when it wants a packet, or after drain(),
  // at the end (invalidMedia then if the decoder never sounded the packets it took).
  Err receive(void* out, uint32_t capacity, uint32_t* frames);
  // No more packets: what the decoder holds comes out through receive().
  Err drain();
  bool drained() const { return drained_; }

 private:
  AudioCodec codec_;
  bool configured_ = false;
  std::unique_ptr<AudioDecoder> dec_;
  uint32_t owed_ = 0;    // frames of silence for refused packets, given before any other
  uint32_t silent_ = 0;  // packets taken since the decoder last gave sound
  bool sounded_ = false, drained_ = false;
};

}  // namespace qte
