// A second decoder for small pictures in short closed groups. On a thread of its own it decodes
// the group after the one the main decoder is in, and the main decoder skips that group (feeding
// it the sync sample after the group pushes its last pictures out, as a cut between closed groups
// does). The group's pictures are held until the caller has gone past the group or starts anew.
//
// Lock: lock_ guards the group (state, bounds, generation), its pictures and stop_. The main
// decoder's calls (beforeSending, setFloor) come under its owner's decode lock, which is taken
// before lock_; the caller's (take, release) come from the caller's thread. The decoder, its codec
// and its reader belong to the side's thread alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "displayorder.h"

namespace qte {

class SideDecoder final : public DisplayOrder::Groups {
 public:
  SideDecoder(const Track& track, DecoderFactory* factory, int64_t earliest);
  ~SideDecoder();

  // The main decoder, before each sample it sends (decode lock held).
  uint64_t beforeSending(uint64_t next, const DisplayOrder& main) override;
  // While set, no group at or before `index` is offered (the main decoder is decoding towards
  // it and would skip its picture). Decode lock held.
  void setFloor(uint64_t index) { floor_ = index; }

  enum class Taken {
    notItsGroup,  // the caller decodes the picture as it would without a side decoder
    shown,        // *out is the picture
    lost          // the side failed or lost it: the main decoder decodes the group from now on
  };
  // The caller: the picture of sample `target` when the side has its group, waited for while the
  // side decodes it. When lost and the main decoder skipped the group, *restart: it must start
  // again before the group.
  Taken take(uint64_t target, ShownPicture* out, bool* restart);
  // The caller: the group goes (a new start of the main decoder).
  void release();
  uint64_t samplesSent() const { return sent_.load(std::memory_order_relaxed); }

 private:
  enum class State { idle, assigned, done, failed };
  void offer(uint64_t next, const DisplayOrder& main);
  bool suits(uint64_t first, uint64_t end, const DisplayOrder& main) const;
  void releaseLocked();
  void loop();
  bool decode(uint64_t first, uint64_t end, uint64_t generation, const VideoCodec& main);
  uint64_t keep(Picture& p, uint64_t first, uint64_t end, uint64_t generation);

  const Track& track_;
  DecoderFactory* const factory_;
  const int64_t earliest_;
  std::atomic<uint64_t> sent_{0};
  // The main decoder's (decode lock).
  uint64_t rejected_ = UINT64_MAX;  // the last group found unsuitable, and the main decoder's
  uint32_t rejectedFor_ = 0;        // description then
  uint64_t floor_ = 0;
  // Under lock_.
  std::mutex lock_;
  std::condition_variable wake_;    // the side's thread waits on it for a group
  std::condition_variable ready_;   // the caller waits on it for a picture
  std::thread thread_;
  bool stop_ = false;
  bool off_ = false;                // not for this track (after a failure, or without a thread)
  bool skipped_ = false;            // the main decoder skipped the group
  State state_ = State::idle;
  uint64_t first_ = 0, end_ = 0, generation_ = 0;
  std::shared_ptr<const VideoCodec> codec_;  // the main decoder's when the group was offered
  std::vector<ShownPicture> pictures_;       // by sample of the group
  std::vector<bool> have_;
  // The side's thread's own.
  std::unique_ptr<VideoDecoder> decoder_;
  VideoCodec decoderCodec_;
  uint32_t description_ = 0;
  bool headerDue_ = false;
  bool drained_ = false;
  uint64_t fed_ = 0;                // one past the last sample it was given
  UnitReader reader_;
};

}  // namespace qte
