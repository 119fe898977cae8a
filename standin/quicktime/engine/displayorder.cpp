// The main decoder of a track: decoding order in, display order out.
#include "displayorder.h"

#include <algorithm>

namespace qte {

DisplayOrder::DisplayOrder(const Track& track, DecoderFactory* factory, Groups* groups)
    : track_(track),
      factory_(factory),
      groups_(groups),
      earliest_(std::min<int64_t>(0, track.earliestDisplayTime())),
      reader_(track) {}

Err DisplayOrder::startDecoder(uint32_t description) {
  decoder_.reset();  // its pictures still held stay valid: they hold its pool
  description_ = 0;
  const SampleDescription* d = nullptr;
  Err e = track_.description(description, &d);
  if (e) return e;
  std::shared_ptr<VideoCodec> codec;
  try {
    codec = std::make_shared<VideoCodec>();
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  if ((e = videoCodecOf(*d, codec.get()))) return e;
  if (codec->nalLengthSize && !d->extension(fourcc("colr"), nullptr)) {
    // Without 'colr', the stream's own parameter sets say its colour, as a decoder reads them
    // ('avcC' may hold others that say nothing).
    if (inbandFor_ != description) {
      inbandFor_ = description;
      uint64_t offset = 0;
      uint32_t size = 0, at = 0;
      const uint8_t* data = nullptr;
      size_t bytes = 0;
      inbandSays_ = track_.sampleLocation(next_, &offset, &size, &at) == noErr && at == description &&
                    reader_.sample(next_, &data, &bytes) == noErr && bytes &&
                    avcSampleColour(data, bytes, codec->nalLengthSize, &inband_);
    }
    if (inbandSays_) codec->colour = chooseColour(nullptr, &inband_, codec->height);
  }
  if ((e = factory_->createVideo(*codec, decoder_))) return e;
  codec_ = std::move(codec);
  description_ = description;
  drained_ = false;
  headerDue_ = true;
  silent_ = 0;
  return noErr;
}

Err DisplayOrder::restart(uint64_t sync) {
  lastTag_ = -1;
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  Err e = track_.sampleLocation(sync, &offset, &size, &description);
  if (e) return e;
  next_ = sync;
  if (decoder_ && description == description_ && decoder_->restart()) {
    drained_ = false;
    headerDue_ = true;
    silent_ = 0;
    return noErr;
  }
  return startDecoder(description);
}

// Reads the next sample in decoding order and sends it, rewritten for the decoder. A sample of
// another description drains this decoder first; one that cannot be read or that the decoder
// refuses is passed over; a group the second decoder took is skipped.
Err DisplayOrder::sendNext() {
  if (groups_) {
    next_ = groups_->beforeSending(next_, *this);
    if (next_ >= track_.sampleCount()) return noErr;  // the skipped group ends the track
  }
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  Err e = track_.sampleLocation(next_, &offset, &size, &description);
  if (e) return e;
  if (description != description_) {
    e = decoder_->drain();
    drained_ = true;
    return e;
  }
  const uint64_t index = next_++;
  const uint8_t* unit = nullptr;
  size_t bytes = 0;
  if ((e = reader_.unit(index, *codec_, headerDue_, &unit, &bytes))) return e;
  if (!bytes) return noErr;
  headerDue_ = false;
  sent_.fetch_add(1, std::memory_order_relaxed);
  ++silent_;
  decoder_->send(unit, bytes, tagOf(index));  // a refused unit costs its picture only
  return noErr;
}

Err DisplayOrder::pull(int64_t targetTag, ShownPicture* out, bool* got) {
  *got = false;
  if (failed_ || !decoder_) return noErr;
  const uint64_t count = track_.sampleCount();
  Err e = noErr;
  for (;;) {
    Picture p;
    bool have = false;
    if ((e = decoder_->receive(&p, &have))) break;
    if (have) {
      silent_ = 0;
      lastTag_ = p.time;
      uint64_t index = 0;
      if (p.time < targetTag) continue;  // shown before the target: passed over
      if (!track_.shownAt(p.time + earliest_, &index)) continue;  // a tag no sample has
      out->picture = std::move(p);
      out->codec = codec_;
      out->index = index;
      *got = true;
      return noErr;
    }
    if (silent_ > kMaxSilent) {
      e = badImageDescription;  // it takes samples and gives nothing
      break;
    }
    if (!drained_ && next_ < count) {
      if ((e = sendNext())) break;
    } else if (!drained_) {
      if ((e = decoder_->drain())) break;
      drained_ = true;
    } else if (next_ < count) {
      // Drained for a new description: its decoder goes on from the next sample.
      uint64_t offset = 0;
      uint32_t size = 0, description = 0;
      if ((e = track_.sampleLocation(next_, &offset, &size, &description)) || (e = startDecoder(description)))
        break;
    } else if (lastTag_ < 0) {
      e = badImageDescription;  // every sample sent and drained, and not one picture
      break;
    } else {
      return noErr;  // nothing more comes
    }
  }
  failed_ = true;
  return e;
}

}  // namespace qte
