// Compressed video in display order: decoding order in, pictures by display time out.
#include "trackpictures.h"

#include "pictures.h"

#include <algorithm>
#include <cstring>

namespace qte {

namespace {
constexpr uint64_t kFarAhead = 60;      // samples past the last one sent before a new start
constexpr uint32_t kMaxSilent = 48;     // samples without a picture before giving up
constexpr uint32_t kMaxSampleBytes = 64u << 20;
constexpr uint64_t kPushOut = 16;       // units past its group the side decoder may take

// What a sample buffer is given at once: the largest sample, within reason (a damaged table may
// claim huge samples; larger real ones grow the buffer when read).
size_t sampleBytes(const Track& track) { return std::min<size_t>(track.maxSampleBytes(), 8u << 20); }

// The bytes of a picture's planes (0 for one that does not hold together).
size_t pictureBytes(const Picture& p) {
  PictureGeometry g;
  if (!pictureGeometry(p, &g)) return 0;
  size_t n = g.paletteBytes;
  for (int i = 0; i < g.planes; ++i) n += g.rowBytes[i] * g.rows[i];
  return n;
}

// Copies a picture into `dst` (pictureBytes(p) long), rows packed, as *out.
void copyPicture(const Picture& p, uint8_t* dst, Picture* out) {
  *out = p;
  PictureGeometry g;
  if (!pictureGeometry(p, &g)) return;
  const uint8_t* from[3] = {p.planes[0], p.planes[1], p.planes[2]};
  ptrdiff_t strides[3] = {p.strides[0], p.strides[1], p.strides[2]};
  if (!p.packed) {
    from[0] = p.yuv.y, from[1] = p.yuv.u, from[2] = p.yuv.v;
    strides[0] = p.yuv.yStride, strides[1] = p.yuv.uStride, strides[2] = p.yuv.vStride;
  }
  const uint8_t* to[3] = {};
  for (int i = 0; i < g.planes; ++i) {
    to[i] = dst;
    for (size_t r = 0; r < g.rows[i]; ++r)
      std::memcpy(dst + r * g.rowBytes[i], from[i] + ptrdiff_t(r) * strides[i], g.rowBytes[i]);
    dst += g.rowBytes[i] * g.rows[i];
  }
  if (p.packed) {
    for (int i = 0; i < g.planes; ++i) out->planes[i] = to[i], out->strides[i] = ptrdiff_t(g.rowBytes[i]);
    if (g.paletteBytes) {
      std::memcpy(dst, p.palette, g.paletteBytes);
      out->palette = reinterpret_cast<const uint32_t*>(dst);
    }
    return;
  }
  out->yuv.y = to[0], out->yuv.yStride = ptrdiff_t(g.rowBytes[0]);
  out->yuv.u = to[1], out->yuv.uStride = ptrdiff_t(g.rowBytes[1]);
  if (g.planes == 3) out->yuv.v = to[2], out->yuv.vStride = ptrdiff_t(g.rowBytes[2]);
}
}  // namespace

TrackPictures::TrackPictures(const Track& track) : track_(track), factory_(decoderFactory()) {}

TrackPictures::~TrackPictures() {
  {
    std::lock_guard<std::mutex> ring(ringLock_);
    stop_ = true;
  }
  wake_.notify_one();
  sideWake_.notify_one();
  if (helper_.joinable()) helper_.join();
  if (sideHelper_.joinable()) sideHelper_.join();
}

Err TrackPictures::create(const Track& track, std::unique_ptr<TrackPictures>& out) {
  const TrackInfo& info = track.info();
  if (!decoderFactory() || info.descriptions.empty() || track.sampleCount() == 0) return cantFindHandler;
  if (track.maxSampleBytes() > kMaxSampleBytes) return cantFindHandler;
  VideoCodec codec;
  const Err e = videoCodecOf(info.descriptions[0], &codec);
  if (e) return e;
  try {
    out.reset(new TrackPictures(track));
    // Whole-size buffers at once: which decoder reads which sample varies from pass to pass.
    out->sample_.reserve(sampleBytes(track));
    out->unit_.reserve(sampleBytes(track) + codec.header.size());
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  out->earliest_ = std::min<int64_t>(0, track.earliestDisplayTime());
  return noErr;
}

Err TrackPictures::startDecoder(uint32_t description) {
  decoder_.reset();
  description_ = 0;
  const SampleDescription* d = nullptr;
  Err e = track_.description(description, &d);
  if (!e) e = videoCodecOf(*d, &codec_);
  if (!e && codec_.nalLengthSize && !d->extension(fourcc("colr"), nullptr)) {
    // Without 'colr', the stream's own parameter sets say its colour, as a decoder reads them
    // ('avcC' may hold others that say nothing).
    if (inbandFor_ != description) {
      inbandFor_ = description;
      uint64_t offset = 0;
      uint32_t size = 0, at = 0;
      SampleRun run;
      inbandSays_ = track_.sampleLocation(next_, &offset, &size, &at) == noErr && at == description &&
                    (sample_.size() >= size || (sample_.resize(size), true)) &&
                    (run.offset = offset, run.bytes = size, track_.read(run, sample_.data()) == noErr) &&
                    avcSampleColour(sample_.data(), size, codec_.nalLengthSize, &inband_);
    }
    if (inbandSays_) codec_.colour = chooseColour(nullptr, &inband_, codec_.height);
  }
  if (!e) e = factory_->createVideo(codec_, decoder_);
  if (e) return e;
  description_ = description;
  drained_ = false;
  headerDue_ = true;
  silent_ = 0;
  return noErr;
}

// Under lock_.
Err TrackPictures::restart(uint64_t sync) {
  {
    std::lock_guard<std::mutex> ring(ringLock_);
    haveShown_ = false;
    aheadCount_ = 0;
    releaseSide();
  }
  lastTag_ = -1;
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  Err e = track_.sampleLocation(sync, &offset, &size, &description);
  if (e) return e;
  next_ = sync;
  return startDecoder(description);
}

Err TrackPictures::readUnit(uint64_t index, const VideoCodec& codec, bool header, std::vector<uint8_t>& sample,
                            std::vector<uint8_t>& unit, const uint8_t** data, size_t* bytes) const {
  *bytes = 0;
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  Err e = track_.sampleLocation(index, &offset, &size, &description);
  if (e) return e;
  if (sample.size() < size) sample.resize(size);
  SampleRun run;
  run.offset = offset;
  run.bytes = size;
  if (track_.read(run, sample.data())) return noErr;  // a sample outside the file shows nothing
  const uint8_t* p = sample.data();
  size_t n = size;
  if (codec.nalLengthSize) {
    if (avcSampleToAnnexB(sample.data(), size, codec.nalLengthSize, unit, &n)) return noErr;
    p = unit.data();
  }
  if (header && !codec.header.empty()) {
    // The parameter sets go in front of the unit, in the same buffer, which grows only when the
    // two do not fit (inserting them would leave it longer at every new decoder).
    const size_t h = codec.header.size();
    const bool inUnit = p == unit.data();
    if (unit.size() < n + h) unit.resize(n + h);
    if (inUnit) p = unit.data();  // it may have moved
    std::memmove(unit.data() + h, p, n);
    std::memcpy(unit.data(), codec.header.data(), h);
    p = unit.data();
    n += h;
  }
  *data = p;
  *bytes = n;
  return noErr;
}

// Reads the next sample in decoding order and sends it, rewritten for the decoder. A sample of
// another description drains this decoder first; one that cannot be read or that the decoder
// refuses is passed over; the side decoder's group is skipped.
Err TrackPictures::sendNext() {
  bool sideFree = false;
  {
    std::lock_guard<std::mutex> ring(ringLock_);
    if (sideOwns(next_) && next_ == sideFirst_) {
      next_ = sideEnd_;
      sideSkipped_ = true;
      if (next_ >= track_.sampleCount()) return noErr;  // the side's group ends the track
    }
    sideFree = !sideOff_ && side_ == Side::idle;
  }
  if (sideFree) assignSide();
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
  if ((e = readUnit(index, codec_, headerDue_, sample_, unit_, &unit, &bytes))) return e;
  if (!bytes) return noErr;
  headerDue_ = false;
  ++decoded_;
  ++silent_;
  decoder_->send(unit, bytes, tagOf(index));  // a refused unit costs its picture only
  return noErr;
}

// Decodes on until a picture whose tag is at least `targetTag` comes out: *got and *out with
// its sample; the pictures before it are passed over. *got stays false when nothing more comes,
// or before the decoder would give picture number `outLimit` (counting from the first).
Err TrackPictures::pull(int64_t targetTag, Picture* out, uint64_t* index, bool* got, uint64_t outLimit) {
  *got = false;
  for (;;) {
    if (picturesOut_ >= outLimit) return noErr;  // the next picture out could reuse one in use
    Picture p;
    bool have = false;
    Err e = decoder_->receive(&p, &have);
    if (e) return e;
    if (have) {
      ++picturesOut_;
      silent_ = 0;
      lastTag_ = p.time;
      if (p.time < targetTag) continue;  // shown before the target: passed over
      if (!track_.shownAt(p.time + earliest_, index)) continue;  // a tag no sample has
      *out = p;
      *got = true;
      return noErr;
    }
    if (silent_ > kMaxSilent) return badImageDescription;  // it takes samples and gives nothing
    if (!drained_ && next_ < track_.sampleCount()) {
      if ((e = sendNext())) return e;
    } else if (!drained_) {
      if ((e = decoder_->drain())) return e;
      drained_ = true;
    } else if (next_ < track_.sampleCount()) {
      // Drained for a new description: its decoder goes on from the next sample. Not while
      // decoding ahead: the pictures in use live in the old decoder.
      if (outLimit != UINT64_MAX) return noErr;
      uint64_t offset = 0;
      uint32_t size = 0, description = 0;
      if ((e = track_.sampleLocation(next_, &offset, &size, &description)) || (e = startDecoder(description)))
        return e;
    } else if (lastTag_ < 0) {
      return badImageDescription;  // every sample sent and drained, and not one picture
    } else {
      return noErr;  // nothing more comes
    }
  }
}

Err TrackPictures::pictureAt(int64_t mediaTime, Picture* out, bool* got, const VideoCodec** codec) {
  *got = false;
  *codec = &codec_;  // changed only here, under lock_ (the helpers make no main decoder)
  uint64_t target = 0;
  if (failed_ || !track_.shownAt(mediaTime, &target)) return noErr;
  const int64_t targetTag = tagOf(target);
  bool restartNeeded = false;
  {
    std::unique_lock<std::mutex> ring(ringLock_);
    if (haveShown_ && shownIndex_ == target) {
      *out = shown_;
      *got = true;
      return noErr;
    }
    if (side_ != Side::idle && target >= sideEnd_) releaseSide();  // gone past: free for the next
    if (side_ != Side::idle && target >= sideFirst_) {
      if (side_ != Side::failed && fromSide(target, ring, out, got)) return noErr;
      // The side failed, or lost this picture: the main decoder decodes the group, from its
      // start when it skipped it; no side decoder for this track from now on.
      restartNeeded = sideSkipped_;
      sideOff_ = true;
      releaseSide();
    }
    if (!restartNeeded && takeAhead(target, targetTag, out, got)) return noErr;
  }
  // Not decoded yet: the helper steps aside after its picture, which may be the one wanted.
  asking_ = true;
  std::lock_guard<std::mutex> lock(lock_);
  asking_ = false;
  if (failed_) return noErr;
  try {
    {
      std::lock_guard<std::mutex> ring(ringLock_);
      if (!restartNeeded && takeAhead(target, targetTag, out, got)) return noErr;
      aheadCount_ = 0;
      haveShown_ = false;
    }
    const uint64_t sync = track_.syncAtOrBefore(target);
    // Going on from what was sent serves a picture after the last one that came out, unless a
    // sync sample lies far past the samples sent: then a new start is quicker.
    const bool ahead = decoder_ && lastTag_ < targetTag && !restartNeeded;
    Err e = noErr;
    if (!ahead || (target > next_ + kFarAhead && sync > next_)) e = restart(sync);
    Picture p;
    uint64_t index = 0;
    bool have = false;
    // The side takes no group at or before the target: this pull would skip its picture.
    sideFloor_ = target + 1;
    if (!e) e = pull(targetTag, &p, &index, &have);
    sideFloor_ = 0;
    if (e) {
      failed_ = true;
      // No decoder for the format: the track stays undrawn, as one the engine cannot configure.
      return e == cantFindHandler ? noErr : e;
    }
    if (have) {
      std::lock_guard<std::mutex> ring(ringLock_);
      give(p, index, picturesOut_, out, got);
    }  // else nothing more: the area stays as it was
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

// Under ringLock_: the target's picture when it was decoded ahead, the pictures before it passed
// over. Pictures after the target stay for later calls.
bool TrackPictures::takeAhead(uint64_t target, int64_t targetTag, Picture* out, bool* got) {
  while (aheadCount_) {
    const Ahead& a = ahead_[aheadFirst_];
    if (a.index != target && tagOf(a.index) >= targetTag) return false;
    aheadFirst_ = (aheadFirst_ + 1) % kMaxAhead;
    --aheadCount_;
    if (a.index == target) {
      give(a.picture, a.index, a.ordinal, out, got);
      return true;
    }
  }
  return false;
}

// Under ringLock_.
void TrackPictures::give(const Picture& p, uint64_t index, uint64_t ordinal, Picture* out, bool* got) {
  shown_ = p;
  shownIndex_ = index;
  shownOrdinal_ = ordinal;
  haveShown_ = true;
  *out = p;
  *got = true;
}

void TrackPictures::decodeAhead() {
  std::lock_guard<std::mutex> ring(ringLock_);
  // The helper refills in runs: waking it costs more than a picture's work in some systems.
  if (failed_ || !haveShown_ || !helperIdle_ || wanted_ || aheadCount_ > kMaxAhead / 2) return;
  if (!helper_.joinable()) {
    try {
      helper_ = std::thread(&TrackPictures::helperLoop, this);
    } catch (...) {
      return;  // no thread: pictures are decoded when asked for
    }
  }
  wanted_ = true;
  wake_.notify_one();
}

void TrackPictures::helperLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> ring(ringLock_);
      helperIdle_ = true;
      wake_.wait(ring, [this] { return stop_ || wanted_; });
      if (stop_) return;
      wanted_ = false;
      helperIdle_ = false;
    }
    std::lock_guard<std::mutex> lock(lock_);
    // One picture at a time, while there is room: in the ring, and in the decoder's pictures
    // (the one given stays valid while fewer than picturesKept() more have come out).
    while (!stop_ && !asking_ && !failed_ && decoder_) {
      uint64_t limit = 0;
      {
        std::lock_guard<std::mutex> ring(ringLock_);
        if (!haveShown_ || aheadCount_ == kMaxAhead) break;
        limit = shownOrdinal_ + std::max(2u, decoder_->picturesKept()) - 1;
      }
      Ahead a;
      bool have = false;
      try {
        if (pull(lastTag_ + 1, &a.picture, &a.index, &have, limit)) failed_ = true;
      } catch (const std::bad_alloc&) {
        break;  // the caller decodes it when it asks
      }
      if (!have) break;  // the end, no room, or failed
      a.ordinal = picturesOut_;
      std::lock_guard<std::mutex> ring(ringLock_);
      ahead_[(aheadFirst_ + aheadCount_) % kMaxAhead] = a;  // the caller only takes from the front
      ++aheadCount_;
    }
  }
}

// Under lock_, the side idle (only the holder of lock_ assigns it): gives the side decoder the
// group after the one the main decoder is in, when the group suits.
void TrackPictures::assignSide() {
  const uint64_t count = track_.sampleCount();
  const uint64_t first = track_.syncAtOrAfter(std::max(next_ + 1, sideFloor_));
  if (first >= count || first == sideRejected_) return;
  const uint64_t end = track_.syncAtOrAfter(first + 1);
  if (!sideEligible(first, end)) {
    sideRejected_ = first;
    return;
  }
  std::lock_guard<std::mutex> ring(ringLock_);
  if (!sideHelper_.joinable()) {
    try {
      sideHelper_ = std::thread(&TrackPictures::sideLoop, this);
    } catch (...) {
      sideOff_ = true;  // no thread: one decoder does it all
      return;
    }
  }
  try {
    sideHave_.assign(end - first, false);
    sidePictures_.resize(end - first);
  } catch (const std::bad_alloc&) {
    return;
  }
  side_ = Side::assigned;
  sideFirst_ = first;
  sideEnd_ = end;
  sideColour_ = codec_.colour;
  sideSkipped_ = false;
  ++sideGeneration_;
  sideWake_.notify_one();
}

// A group the side decoder can take: of the main decoder's description, small enough to keep
// whole, and closed, as is the group after it (no picture shows before its group's sync sample:
// open groups lead with pictures that refer to the group before), so that each decoder starts
// cleanly at a sync sample.
bool TrackPictures::sideEligible(uint64_t first, uint64_t end) const {
  const uint64_t n = end - first, count = track_.sampleCount();
  if (n < kMinSideGroup || n > kMaxSideGroup || !codec_.width || !codec_.height) return false;
  const bool packed = (codecInfo(codec_.id).flags & kCodecPacked) != 0;
  const size_t picture = size_t(codec_.width) * codec_.height * (packed ? 3 : 2);
  if (picture > kMaxSideBytes / n) return false;
  uint64_t offset = 0;
  uint32_t size = 0, d1 = 0, d2 = 0;
  if (track_.sampleLocation(first, &offset, &size, &d1) || track_.sampleLocation(end - 1, &offset, &size, &d2) ||
      d1 != description_ || d2 != description_)
    return false;
  // Closed groups: the sync sample shows first in its group, and in the group after it.
  const int64_t start = track_.displayTime(first), next = end < count ? track_.displayTime(end) : 0;
  for (uint64_t i = first + 1; i < end; ++i)
    if (track_.displayTime(i) < start) return false;
  const uint64_t after = std::min(count, track_.syncAtOrAfter(end + 1));
  for (uint64_t i = end + 1; i < after; ++i)
    if (track_.displayTime(i) < next) return false;
  return true;
}

// Under ringLock_: whether the side decoder has `index`'s group.
bool TrackPictures::sideOwns(uint64_t index) const {
  return (side_ == Side::assigned || side_ == Side::done) && index >= sideFirst_ && index < sideEnd_;
}

// Under ringLock_.
void TrackPictures::releaseSide() {
  side_ = Side::idle;
  sideSkipped_ = false;
  ++sideGeneration_;
}

// Under ringLock_ (`ring` holds it): the side's picture of `target`, waited for while the side
// decodes; false when the side failed or finished its group without it.
bool TrackPictures::fromSide(uint64_t target, std::unique_lock<std::mutex>& ring, Picture* out, bool* got) {
  const uint64_t generation = sideGeneration_, k = target - sideFirst_;
  for (;;) {
    if (sideGeneration_ != generation) return false;
    if (sideHave_[k]) {
      give(sidePictures_[k], target, shownOrdinal_, out, got);  // the main decoder's pictures stay as they were
      return true;
    }
    if (side_ != Side::assigned) return false;
    sideReady_.wait(ring);
  }
}

void TrackPictures::sideLoop() {
  std::unique_lock<std::mutex> ring(ringLock_);
  uint64_t handled = 0;
  for (;;) {
    sideWake_.wait(ring, [&] { return stop_ || (side_ == Side::assigned && sideGeneration_ != handled); });
    if (stop_) return;
    handled = sideGeneration_;
    const uint64_t first = sideFirst_, end = sideEnd_;
    const YuvColour colour = sideColour_;
    ring.unlock();
    bool ok = false;
    try {
      ok = sideDecode(first, end, handled, colour);
    } catch (const std::bad_alloc&) {
    }
    ring.lock();
    if (sideGeneration_ == handled) {
      side_ = ok ? Side::done : Side::failed;
      sideOff_ = sideOff_ || !ok;  // a side decoder that fails once is not tried again
    }
    sideReady_.notify_all();
  }
}

// The side thread: decodes [first, end) and the units after it that push its last pictures out
// (or drains at the end of the track), keeping the group's pictures, shown in the main
// decoder's `colour`. False when it fails.
bool TrackPictures::sideDecode(uint64_t first, uint64_t end, uint64_t generation, const YuvColour& colour) {
  const uint64_t count = track_.sampleCount();
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  if (track_.sampleLocation(first, &offset, &size, &description)) return false;
  // Decoders go forward only (Wine's stamps pictures wrongly after a jump back in time).
  if (!sideDecoder_ || description != sideDescription_ || first < sideFed_) {
    sideDecoder_.reset();
    const SampleDescription* d = nullptr;
    if (track_.description(description, &d) || videoCodecOf(*d, &sideCodec_)) return false;
    sideCodec_.colour = colour;  // as the main decoder's (the stream's own parameter sets may say it)
    if (factory_->createVideo(sideCodec_, sideDecoder_)) return false;
    sideDescription_ = description;
    sideHeaderDue_ = true;
    sideSample_.reserve(sampleBytes(track_));
    sideUnit_.reserve(sampleBytes(track_) + sideCodec_.header.size());
  }
  const uint64_t want = end - first;
  uint64_t have = 0;
  uint32_t silent = 0;
  auto receiveAll = [&]() {
    for (;;) {
      Picture p;
      bool got = false;
      if (sideDecoder_->receive(&p, &got) || !got) return;
      silent = 0;
      have += sideKeep(p, first, end, generation);
    }
  };
  bool drain = true;
  for (uint64_t i = first; i < count && have < want; ++i) {
    if (i >= end + kPushOut || silent > kMaxSilent) {
      drain = false;
      break;
    }
    {
      std::lock_guard<std::mutex> ring(ringLock_);
      if (stop_ || sideGeneration_ != generation) return false;
    }
    if (i >= end && (track_.sampleLocation(i, &offset, &size, &description) || description != sideDescription_))
      break;  // another description after the group: drain instead
    const uint8_t* unit = nullptr;
    size_t bytes = 0;
    if (readUnit(i, sideCodec_, sideHeaderDue_, sideSample_, sideUnit_, &unit, &bytes)) return false;
    if (bytes) {
      sideHeaderDue_ = false;
      sideFed_ = i + 1;
      ++silent;
      if (i < end) ++decoded_;  // the units that push the last pictures out are not the group's
      sideDecoder_->send(unit, bytes, tagOf(i));  // a refused unit costs its picture only
    }
    receiveAll();
  }
  if (have < want && drain) {
    sideDecoder_->drain();
    receiveAll();
    sideDecoder_.reset();  // drained: the next group gets a new one
  }
  return true;
}

// The side thread: keeps a picture of [first, end) in its slot and publishes it; 1 when kept.
uint64_t TrackPictures::sideKeep(const Picture& p, uint64_t first, uint64_t end, uint64_t generation) {
  uint64_t index = 0;
  if (!track_.shownAt(p.time + earliest_, &index) || index < first || index >= end) return 0;
  const size_t bytes = pictureBytes(p), k = size_t(index - first);
  if (sideStoreGeneration_ != generation) {
    // The group's first picture sizes the slots; no picture of a group before is in use.
    sideStoreGeneration_ = generation;
    sideSlotBytes_ = bytes;
    if (sideStore_.size() < bytes * (end - first)) sideStore_.resize(bytes * (end - first));
  }
  if (bytes > sideSlotBytes_) return 0;  // a larger picture inside a group: it stays missing
  Picture copy;
  copyPicture(p, sideStore_.data() + k * sideSlotBytes_, &copy);
  std::lock_guard<std::mutex> ring(ringLock_);
  if (sideGeneration_ != generation || sideHave_[k]) return 0;
  sidePictures_[k] = copy;
  sideHave_[k] = true;
  sideReady_.notify_all();
  return 1;
}

}  // namespace qte
