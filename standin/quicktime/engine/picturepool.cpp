// Decoded pictures' storage, counted by holds.
#include "picturepool.h"

#include <new>

namespace qte {

void PictureHold::reset() noexcept {
  PictureSlot* s = slot_;
  slot_ = nullptr;
  // The release orders every read of the planes by this holder before the slot's reuse.
  if (s && s->holds_.fetch_sub(1, std::memory_order_acq_rel) == 1) s->pool_->release(s);
}

PicturePool::Owner::Owner() {
  try {
    pool_ = new PicturePool;
    pool_->free_.reserve(kMaxSlots);
    pool_->slots_.reserve(kMaxSlots);
  } catch (const std::bad_alloc&) {
    delete pool_;
    pool_ = nullptr;
  }
}

PicturePool::Owner::~Owner() {
  if (!pool_) return;
  std::unique_lock<std::mutex> lock(pool_->lock_);
  pool_->unref(lock);
}

PictureSlot* PicturePool::take() {
  std::lock_guard<std::mutex> lock(lock_);
  if (free_.empty()) return nullptr;
  PictureSlot* s = free_.back();
  free_.pop_back();
  ++refs_;
  return s;
}

PictureSlot* PicturePool::add(std::unique_ptr<PictureSlot> slot) {
  std::lock_guard<std::mutex> lock(lock_);
  if (!slot || slots_.size() >= kMaxSlots) return nullptr;
  slot->pool_ = this;
  slots_.push_back(std::move(slot));  // reserved: no allocation
  ++refs_;
  return slots_.back().get();
}

size_t PicturePool::slotCount() {
  std::lock_guard<std::mutex> lock(lock_);
  return slots_.size();
}

void PicturePool::giveBack(PictureSlot* slot) {
  std::unique_lock<std::mutex> lock(lock_);
  slot->released();
  free_.push_back(slot);
  unref(lock);  // the owner still counts: never the last
}

PictureHold PicturePool::hold(PictureSlot* slot) {
  PictureHold h;
  slot->holds_.store(1, std::memory_order_relaxed);  // taken: no one else sees it
  h.slot_ = slot;
  return h;
}

void PicturePool::release(PictureSlot* slot) {
  std::unique_lock<std::mutex> lock(lock_);
  slot->released();
  free_.push_back(slot);
  unref(lock);
}

void PicturePool::unref(std::unique_lock<std::mutex>& lock) {
  const bool last = --refs_ == 0;
  lock.unlock();
  if (last) delete this;
}

}  // namespace qte
