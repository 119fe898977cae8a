// Compressed video in display order: decoding order in, pictures by display time out.
#include "trackpictures.h"

#include <algorithm>
#include <cstring>

namespace qte {

namespace {
constexpr uint64_t kFarAhead = 60;      // samples past the last one sent before a new start
constexpr uint32_t kMaxSilent = 48;     // samples without a picture before giving up
constexpr uint32_t kMaxSampleBytes = 64u << 20;
}  // namespace

TrackPictures::TrackPictures(const Track& track) : track_(track), factory_(decoderFactory()) {}

TrackPictures::~TrackPictures() {
  {
    std::lock_guard<std::mutex> ring(ringLock_);
    stop_ = true;
  }
  wake_.notify_one();
  if (helper_.joinable()) helper_.join();
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
  if (!e) e = factory_->createVideo(codec_, decoder_);
  if (e) return e;
  description_ = description;
  drained_ = false;
  headerDue_ = true;
  silent_ = 0;
  return noErr;
}

// Under both locks.
Err TrackPictures::restart(uint64_t sync) {
  haveShown_ = false;
  aheadCount_ = 0;
  lastTag_ = -1;
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  Err e = track_.sampleLocation(sync, &offset, &size, &description);
  if (e) return e;
  next_ = sync;
  return startDecoder(description);
}

// Reads the next sample in decoding order and sends it, rewritten for the decoder. A sample of
// another description drains this decoder first; one that cannot be read or that the decoder
// refuses is passed over.
Err TrackPictures::sendNext() {
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
  if (sample_.size() < size) sample_.resize(size);
  SampleRun run;
  run.offset = offset;
  run.bytes = size;
  if (track_.read(run, sample_.data())) return noErr;  // a sample outside the file shows nothing
  const uint8_t* unit = sample_.data();
  size_t bytes = size;
  if (codec_.nalLengthSize) {
    if (avcSampleToAnnexB(sample_.data(), size, codec_.nalLengthSize, unit_, &bytes)) return noErr;
    unit = unit_.data();
  }
  if (headerDue_ && !codec_.header.empty()) {
    // The parameter sets go in front of the first unit, in the same buffer.
    if (unit == sample_.data()) {
      unit_.assign(sample_.begin(), sample_.begin() + size);
      unit = unit_.data();
    }
    unit_.insert(unit_.begin(), codec_.header.begin(), codec_.header.end());
    unit = unit_.data();
    bytes += codec_.header.size();
  }
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
  *codec = &codec_;  // changed only here, under lock_ (the helper makes no decoder)
  uint64_t target = 0;
  if (failed_ || !track_.shownAt(mediaTime, &target)) return noErr;
  const int64_t targetTag = tagOf(target);
  {
    std::lock_guard<std::mutex> ring(ringLock_);
    if (haveShown_ && shownIndex_ == target) {
      *out = shown_;
      *got = true;
      return noErr;
    }
    if (takeAhead(target, targetTag, out, got)) return noErr;
  }
  // Not decoded yet: the helper steps aside after its picture, which may be the one wanted.
  asking_ = true;
  std::lock_guard<std::mutex> lock(lock_);
  asking_ = false;
  std::lock_guard<std::mutex> ring(ringLock_);
  if (failed_) return noErr;
  try {
    if (takeAhead(target, targetTag, out, got)) return noErr;
    aheadCount_ = 0;
    haveShown_ = false;
    const uint64_t sync = track_.syncAtOrBefore(target);
    // Going on from what was sent serves a picture after the last one that came out, unless a
    // sync sample lies far past the samples sent: then a new start is quicker.
    const bool ahead = decoder_ && lastTag_ < targetTag;
    Err e = noErr;
    if (!ahead || (target > next_ + kFarAhead && sync > next_)) e = restart(sync);
    Picture p;
    uint64_t index = 0;
    bool have = false;
    if (!e) e = pull(targetTag, &p, &index, &have);
    if (e) {
      failed_ = true;
      // No decoder for the format: the track stays undrawn, as one the engine cannot configure.
      return e == cantFindHandler ? noErr : e;
    }
    if (have) give(p, index, picturesOut_, out, got);  // else nothing more: the area stays as it was
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

}  // namespace qte
