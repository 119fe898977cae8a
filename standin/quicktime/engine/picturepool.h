// Where a decoder's pictures live while anyone holds them. A decoder hands out each picture with
// a hold on the slot its planes are in (Picture::hold); copies of the picture share that hold,
// and the slot is free for a later picture only once the last copy is gone. The pool outlives
// its decoder while pictures of it are held: a decoder made for a new description, or a decoder
// let go after a jump, may go while the last picture it gave is still being drawn.
//
// A decoder adds a slot when every slot is held, so a pool grows to the most pictures held at
// once (the engine bounds that) and then allocates nothing. Holds are let go on any thread;
// slots are taken by the decoder's own thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace qte {

class PicturePool;

// One picture's storage, of the decoder's own kind (a frame of its library, a buffer).
class PictureSlot {
 public:
  PictureSlot() = default;
  PictureSlot(const PictureSlot&) = delete;
  PictureSlot& operator=(const PictureSlot&) = delete;
  virtual ~PictureSlot() = default;

 protected:
  // No picture holds the slot any more (on the thread that let the last hold go, the pool's lock
  // held): let go of what the picture referenced; keep what a later picture reuses.
  virtual void released() noexcept {}

 private:
  friend class PicturePool;
  friend class PictureHold;
  std::atomic<uint32_t> holds_{0};
  PicturePool* pool_ = nullptr;
};

// A counted hold on a slot: copying it holds the slot once more, destroying it lets go.
class PictureHold {
 public:
  PictureHold() = default;
  PictureHold(const PictureHold& o) noexcept : slot_(o.slot_) {
    if (slot_) slot_->holds_.fetch_add(1, std::memory_order_relaxed);
  }
  PictureHold(PictureHold&& o) noexcept : slot_(o.slot_) { o.slot_ = nullptr; }
  PictureHold& operator=(const PictureHold& o) noexcept {
    PictureHold copy(o);
    std::swap(slot_, copy.slot_);
    return *this;
  }
  PictureHold& operator=(PictureHold&& o) noexcept {
    std::swap(slot_, o.slot_);
    return *this;
  }
  ~PictureHold() { reset(); }
  void reset() noexcept;
  explicit operator bool() const { return slot_ != nullptr; }

 private:
  friend class PicturePool;
  PictureSlot* slot_ = nullptr;
};

class PicturePool {
 public:
  // The decoder's reference to its pool: the pool goes when this and the last hold are gone.
  class Owner {
   public:
    Owner();  // a new pool (none when it cannot be made: takeOrMake gives nothing)
    ~Owner();
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    PicturePool* operator->() const { return pool_; }
    // Makes `count` free slots with `make` at once, when a decoder starts: as many as the engine
    // holds of one decoder in forward play, so that a pass allocates no more the longer it runs.
    template <class S, class Make>
    void reserve(size_t count, Make make) {
      while (pool_ && pool_->slotCount() < count) {
        std::unique_ptr<S> made;
        try {
          made = make();
        } catch (const std::bad_alloc&) {
          return;
        }
        PictureSlot* s = pool_->add(std::move(made));
        if (!s) return;
        pool_->giveBack(s);
      }
    }
    // A free slot, taken, or when every slot is held one made by `make` (a std::unique_ptr<S>);
    // null when there is none to be had.
    template <class S, class Make>
    S* takeOrMake(Make make) {
      if (!pool_) return nullptr;
      if (PictureSlot* s = pool_->take()) return static_cast<S*>(s);
      std::unique_ptr<S> made;
      try {
        made = make();
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      return static_cast<S*>(pool_->add(std::move(made)));
    }

   private:
    PicturePool* pool_ = nullptr;
  };

  // The most slots a pool makes: far more than the engine holds of one decoder at once.
  static constexpr size_t kMaxSlots = 192;
  // What the engine holds of one decoder in forward play: the pictures decoded ahead, the one
  // shown, and the ones in hand while they change places.
  static constexpr size_t kUsualSlots = 10;

  // A free slot, taken for the decoder's next picture; null when every slot is held: then the
  // decoder adds one.
  PictureSlot* take();
  // A slot the decoder made, added taken; null (the slot deleted) past kMaxSlots.
  PictureSlot* add(std::unique_ptr<PictureSlot> slot);
  size_t slotCount();
  // A taken slot that no picture came out in: free again.
  void giveBack(PictureSlot* slot);
  // Hands a taken slot to the picture that came out in it.
  static PictureHold hold(PictureSlot* slot);

 private:
  friend class PictureHold;
  PicturePool() = default;
  ~PicturePool() = default;
  void release(PictureSlot* slot);  // its last hold went
  void unref(std::unique_lock<std::mutex>& lock);

  std::mutex lock_;
  std::vector<std::unique_ptr<PictureSlot>> slots_;  // under lock_, as free_ and refs_
  std::vector<PictureSlot*> free_;                   // reserved: letting go allocates nothing
  size_t refs_ = 1;  // the owner, and every slot taken or held
};

}  // namespace qte
