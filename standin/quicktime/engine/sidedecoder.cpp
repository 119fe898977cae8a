// The second decoder of a track, for closed groups ahead of the main one.
#include "sidedecoder.h"

#include <algorithm>

namespace qte {

namespace {
constexpr uint64_t kMinGroup = 8, kMaxGroup = 120;
constexpr size_t kMaxGroupBytes = 32u << 20;  // the pictures of a group, held at once
constexpr uint64_t kPushOut = 16;             // units past its group it may take
}  // namespace

SideDecoder::SideDecoder(const Track& track, DecoderFactory* factory, int64_t earliest)
    : track_(track), factory_(factory), earliest_(earliest), reader_(track) {}

SideDecoder::~SideDecoder() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

uint64_t SideDecoder::beforeSending(uint64_t next, const DisplayOrder& main) {
  bool idle = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if ((state_ == State::assigned || state_ == State::done) && next == first_) {
      next = end_;
      skipped_ = true;
    }
    idle = !off_ && state_ == State::idle;
  }
  if (idle && next < track_.sampleCount()) offer(next, main);
  return next;
}

// The group after the one `next` is in, when it suits.
void SideDecoder::offer(uint64_t next, const DisplayOrder& main) {
  const uint64_t count = track_.sampleCount();
  const uint64_t first = track_.syncAtOrAfter(std::max(next + 1, floor_));
  if (first >= count || (first == rejected_ && main.description() == rejectedFor_)) return;
  const uint64_t end = track_.syncAtOrAfter(first + 1);
  if (!suits(first, end, main)) {
    // Not again while the main decoder is on this description (on its own, the group may suit).
    rejected_ = first;
    rejectedFor_ = main.description();
    return;
  }
  std::lock_guard<std::mutex> lock(lock_);
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&SideDecoder::loop, this);
    } catch (...) {
      off_ = true;  // no thread: one decoder does it all
      return;
    }
  }
  try {
    // Grows to the largest group once; the pictures of the group before are let go.
    pictures_.assign(end - first, ShownPicture());
    have_.assign(end - first, false);
  } catch (const std::bad_alloc&) {
    return;
  }
  state_ = State::assigned;
  first_ = first;
  end_ = end;
  codec_ = main.sharedCodec();
  skipped_ = false;
  ++generation_;
  wake_.notify_one();
}

// A group of the main decoder's description, small enough to hold whole, and closed, as is the
// group after it (no picture shows before its group's sync sample: open groups lead with
// pictures that refer to the group before), so that each decoder starts cleanly at a sync sample.
bool SideDecoder::suits(uint64_t first, uint64_t end, const DisplayOrder& main) const {
  const VideoCodec* codec = main.codec();
  const uint64_t n = end - first, count = track_.sampleCount();
  if (!codec || n < kMinGroup || n > kMaxGroup || !codec->width || !codec->height) return false;
  const bool packed = (codecInfo(codec->id).flags & kCodecPacked) != 0;
  const size_t picture = size_t(codec->width) * codec->height * (packed ? 3 : 2);
  if (picture > kMaxGroupBytes / n) return false;
  uint64_t offset = 0;
  uint32_t size = 0, d1 = 0, d2 = 0;
  if (track_.sampleLocation(first, &offset, &size, &d1) || track_.sampleLocation(end - 1, &offset, &size, &d2) ||
      d1 != main.description() || d2 != main.description())
    return false;
  const int64_t start = track_.displayTime(first), next = end < count ? track_.displayTime(end) : 0;
  for (uint64_t i = first + 1; i < end; ++i)
    if (track_.displayTime(i) < start) return false;
  const uint64_t after = std::min(count, track_.syncAtOrAfter(end + 1));
  for (uint64_t i = end + 1; i < after; ++i)
    if (track_.displayTime(i) < next) return false;
  return true;
}

SideDecoder::Taken SideDecoder::take(uint64_t target, ShownPicture* out, bool* restart) {
  *restart = false;
  std::unique_lock<std::mutex> lock(lock_);
  if (state_ != State::idle && target >= end_) releaseLocked();  // gone past: free for the next
  if (state_ == State::idle || target < first_) return Taken::notItsGroup;
  const uint64_t generation = generation_, k = target - first_;
  while (state_ != State::failed && generation_ == generation) {
    if (have_[k]) {
      *out = pictures_[k];
      return Taken::shown;
    }
    if (state_ != State::assigned) break;  // done without it
    ready_.wait(lock);
  }
  // Failed, or lost this picture: no side decoder for this track from now on.
  *restart = skipped_;
  off_ = true;
  releaseLocked();
  return Taken::lost;
}

void SideDecoder::release() {
  std::lock_guard<std::mutex> lock(lock_);
  releaseLocked();
}

void SideDecoder::releaseLocked() {
  state_ = State::idle;
  skipped_ = false;
  ++generation_;
  for (ShownPicture& p : pictures_) p = ShownPicture();  // the caller's copy of one stays valid
  std::fill(have_.begin(), have_.end(), false);
}

void SideDecoder::loop() {
  std::unique_lock<std::mutex> lock(lock_);
  uint64_t handled = 0;
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || (state_ == State::assigned && generation_ != handled); });
    if (stop_) return;
    handled = generation_;
    const uint64_t first = first_, end = end_;
    const std::shared_ptr<const VideoCodec> codec = codec_;
    lock.unlock();
    bool ok = false;
    try {
      ok = decode(first, end, handled, *codec);
    } catch (const std::bad_alloc&) {
    }
    lock.lock();
    if (generation_ == handled) {
      state_ = ok ? State::done : State::failed;
      off_ = off_ || !ok;  // a side decoder that fails once is not tried again
    }
    ready_.notify_all();
  }
}

// The side's thread: decodes [first, end) and the units after it that push its last pictures
// out (or drains at the end of the track), keeping the group's pictures, which show in the main
// decoder's colour. False when it fails.
bool SideDecoder::decode(uint64_t first, uint64_t end, uint64_t generation, const VideoCodec& main) {
  const uint64_t count = track_.sampleCount();
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  if (track_.sampleLocation(first, &offset, &size, &description)) return false;
  // A decoder goes back, or on after draining, only when it can start again as a new one would
  // (Wine's stamps pictures wrongly after a jump back in time).
  bool fresh = !decoder_ || description != description_;
  if (!fresh && (first < fed_ || drained_)) {
    fresh = !decoder_->restart();
    headerDue_ = true;
    drained_ = false;
  }
  if (fresh) {
    decoder_.reset();
    const SampleDescription* d = nullptr;
    if (track_.description(description, &d) || videoCodecOf(*d, &decoderCodec_)) return false;
    decoderCodec_.colour = main.colour;  // the stream's own parameter sets may say it
    if (factory_->createVideo(decoderCodec_, decoder_)) return false;
    description_ = description;
    headerDue_ = true;
    drained_ = false;
    reader_.reserve(decoderCodec_.header.size());
  }
  const uint64_t want = end - first;
  uint64_t have = 0;
  uint32_t silent = 0;
  auto receiveAll = [&]() {
    for (;;) {
      Picture p;
      bool got = false;
      if (decoder_->receive(&p, &got) || !got) return;
      silent = 0;
      have += keep(p, first, end, generation);
    }
  };
  bool drain = true;
  for (uint64_t i = first; i < count && have < want; ++i) {
    if (i >= end + kPushOut || silent > DisplayOrder::kMaxSilent) {
      drain = false;
      break;
    }
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (stop_ || generation_ != generation) return false;
    }
    if (i >= end && (track_.sampleLocation(i, &offset, &size, &description) || description != description_))
      break;  // another description after the group: drain instead
    const uint8_t* unit = nullptr;
    size_t bytes = 0;
    if (reader_.unit(i, decoderCodec_, headerDue_, &unit, &bytes)) return false;
    if (bytes) {
      headerDue_ = false;
      fed_ = i + 1;
      ++silent;
      if (i < end) sent_.fetch_add(1, std::memory_order_relaxed);  // the units pushing pictures out are not the group's
      decoder_->send(unit, bytes, track_.displayTime(i) - earliest_);  // a refused unit costs its picture only
    }
    receiveAll();
  }
  if (have < want && drain) {
    decoder_->drain();
    receiveAll();
    drained_ = true;  // the next group restarts it
  }
  return true;
}

// The side's thread: holds a picture of [first, end) for the caller; 1 when kept.
uint64_t SideDecoder::keep(Picture& p, uint64_t first, uint64_t end, uint64_t generation) {
  uint64_t index = 0;
  if (!track_.shownAt(p.time + earliest_, &index) || index < first || index >= end) return 0;
  const size_t k = size_t(index - first);
  std::lock_guard<std::mutex> lock(lock_);
  if (generation_ != generation || have_[k]) return 0;
  ShownPicture& kept = pictures_[k];
  kept.picture = std::move(p);
  kept.codec = codec_;
  kept.index = index;
  have_[k] = true;
  ready_.notify_all();
  return 1;
}

}  // namespace qte
