// The decode-ahead helper of a track's pictures.
#include "decodeahead.h"

#include <algorithm>

#include "pictures.h"

namespace qte {

DecodeAhead::~DecodeAhead() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  if (helper_.joinable()) helper_.join();
}

bool DecodeAhead::take(uint64_t target, int64_t targetTag, const DisplayOrder& order, ShownPicture* out) {
  std::lock_guard<std::mutex> lock(lock_);
  while (count_) {
    ShownPicture& a = ring_[first_];
    if (a.index != target && order.tagOf(a.index) >= targetTag) return false;
    first_ = (first_ + 1) % kMaxAhead;
    --count_;
    if (a.index == target) {
      *out = std::move(a);
      return true;
    }
    a = ShownPicture();  // passed over: its decoder may reuse it
  }
  return false;
}

void DecodeAhead::clear() {
  std::lock_guard<std::mutex> lock(lock_);
  for (; count_; --count_, first_ = (first_ + 1) % kMaxAhead) ring_[first_] = ShownPicture();
}

void DecodeAhead::request() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!idle_ || wanted_ || count_ > depth_ / 2) return;
  if (!helper_.joinable()) {
    try {
      helper_ = std::thread(&DecodeAhead::loop, this);
    } catch (...) {
      return;  // no thread: pictures are decoded when asked for
    }
  }
  wanted_ = true;
  wake_.notify_one();
}

void DecodeAhead::stepAside(bool waiting) {
  std::lock_guard<std::mutex> lock(lock_);
  callerWaits_ = waiting;
}

void DecodeAhead::loop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      idle_ = true;
      wake_.wait(lock, [this] { return stop_ || wanted_; });
      if (stop_) return;
      wanted_ = false;
      idle_ = false;
    }
    for (;;) {
      std::lock_guard<std::mutex> decode(decodeLock_);
      {
        std::lock_guard<std::mutex> lock(lock_);
        if (stop_ || callerWaits_ || count_ >= depth_) break;
      }
      ShownPicture p;
      bool got = false;
      try {
        if (source_.nextPicture(&p, &got) || !got) break;  // the end, or failed: the caller sees it
      } catch (const std::bad_alloc&) {
        break;  // the caller decodes it when it asks
      }
      // Large pictures are colder when drawn, and hold the decoder's memory: fewer of them.
      size_t bytes = 0;
      PictureGeometry g;
      if (pictureGeometry(p.picture, &g))
        for (int i = 0; i < g.planes; ++i) bytes += g.rowBytes[i] * g.rows[i];
      std::lock_guard<std::mutex> lock(lock_);
      depth_ = unsigned(std::clamp<size_t>(bytes ? kAheadBytes / bytes : kMaxAhead, 2, kMaxAhead));
      ring_[(first_ + count_) % kMaxAhead] = std::move(p);  // the caller only takes from the front
      ++count_;
    }
  }
}

}  // namespace qte
