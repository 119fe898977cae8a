// One compressed sound stream through a decoder of the process's chain.
#include "packetdecoder.h"

#include <algorithm>
#include <cstring>

namespace qte {

namespace {
constexpr uint32_t kMaxSilentPackets = 32;  // packets a decoder may take without a sound
}  // namespace

Err PacketDecoder::configure(const SampleDescription& d, const uint8_t* first, size_t firstBytes, const char** why) {
  dec_.reset();
  configured_ = false;
  const Err e = audioCodecOf(d, first, firstBytes, &codec_, why);
  if (e) return e;
  if (!codec_.output.valid()) return cantFindHandler;
  configured_ = true;
  return noErr;
}

Err PacketDecoder::start() {
  dec_.reset();
  owed_ = silent_ = 0;
  sounded_ = drained_ = false;
  DecoderFactory* factory = decoderFactory();
  if (!configured_ || !factory) return cantFindHandler;
  const Err e = factory->createAudio(codec_, dec_);
  if (e) dec_.reset();
  return e;
}

Err PacketDecoder::send(const uint8_t* packet, size_t size, uint32_t frames) {
  if (!dec_ || drained_) return paramErr;
  if (!packet || size == 0 || dec_->send(packet, size) != noErr) {
    owed_ += frames;
    return noErr;
  }
  return ++silent_ > kMaxSilentPackets ? invalidMedia : noErr;
}

Err PacketDecoder::receive(void* out, uint32_t capacity, uint32_t* frames) {
  *frames = 0;
  if (!dec_) return paramErr;
  if (owed_ && capacity) {
    const uint32_t n = std::min(owed_, capacity);
    std::memset(out, 0, size_t(n) * codec_.output.bytesPerFrame());
    owed_ -= n;
    *frames = n;
    return noErr;
  }
  const Err e = dec_->receive(out, capacity, frames);
  if (e) return e;
  if (*frames) {
    sounded_ = true;
    silent_ = 0;
    return noErr;
  }
  return drained_ && !sounded_ && silent_ ? invalidMedia : noErr;
}

Err PacketDecoder::drain() {
  if (!dec_) return paramErr;
  if (drained_) return noErr;
  drained_ = true;
  return dec_->drain();
}

}  // namespace qte
