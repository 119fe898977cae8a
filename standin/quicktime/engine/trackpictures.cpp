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
    std::lock_guard<std::mutex> lock(lock_);
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

Err TrackPictures::restart(uint64_t sync) {
  haveShown_ = haveAhead_ = false;
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
// its sample; the pictures before it are passed over. *got stays false when nothing more comes.
Err TrackPictures::pull(int64_t targetTag, Picture* out, uint64_t* index, bool* got) {
  *got = false;
  for (;;) {
    Picture p;
    bool have = false;
    Err e = decoder_->receive(&p, &have);
    if (e) return e;
    if (have) {
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
      // Drained for a new description: its decoder goes on from the next sample.
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
  std::unique_lock<std::mutex> lock(lock_);  // waits for the helper's decoding ahead
  wanted_ = false;
  *got = false;
  *codec = &codec_;
  uint64_t target = 0;
  if (failed_ || !track_.shownAt(mediaTime, &target)) return noErr;
  if (haveShown_ && shownIndex_ == target) {
    *out = shown_;
    *got = true;
    return noErr;
  }
  if (haveAhead_ && aheadIndex_ == target) {  // decoded ahead, and asked for
    haveAhead_ = false;
    return give(ahead_, target, out, got);
  }
  haveShown_ = haveAhead_ = false;
  try {
    const int64_t targetTag = tagOf(target);
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
    return have ? give(p, index, out, got) : noErr;  // nothing more: the area stays as it was
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

Err TrackPictures::give(const Picture& p, uint64_t index, Picture* out, bool* got) {
  shown_ = p;
  shownIndex_ = index;
  haveShown_ = true;
  *out = p;
  *got = true;
  return noErr;
}

void TrackPictures::decodeAhead() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (failed_ || !decoder_ || haveAhead_ || !haveShown_) return;
    if (!helper_.joinable()) {
      try {
        helper_ = std::thread(&TrackPictures::helperLoop, this);
      } catch (...) {
        return;  // no thread: pictures are decoded when asked for
      }
    }
    wanted_ = true;
  }
  wake_.notify_one();
}

void TrackPictures::helperLoop() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || wanted_; });
    if (stop_) return;
    wanted_ = false;
    if (failed_ || !decoder_ || haveAhead_) continue;
    try {
      bool have = false;
      if (pull(lastTag_ + 1, &ahead_, &aheadIndex_, &have)) failed_ = true;
      haveAhead_ = have;
    } catch (const std::bad_alloc&) {
      // the caller decodes it when it asks
    }
  }
}

}  // namespace qte
