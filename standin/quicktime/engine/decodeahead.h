// Pictures decoded ahead on a thread of the track's: while the caller draws and delivers one
// picture, the helper decodes the next few in display order into a ring, so that forward play
// keeps the decoder busy while everything else runs, and a decoder that works on several
// pictures at once gets them. The ring holds up to kAheadBytes of pictures (2 to kMaxAhead); the
// helper refills it in runs once half of it is taken (waking a thread costs more than a
// picture's work in some systems).
//
// Locks, in this order: the owner's decode lock, then lock_ (the ring and the helper's state).
// The helper takes the decode lock for one picture at a time and puts the picture in the ring
// before letting go of it, so that a new start, made under the decode lock, never sees a picture
// of before it arrive after it emptied the ring. A caller about to wait for the decode lock says
// so (stepAside), and the helper ends its run at the next picture.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "displayorder.h"

namespace qte {

class DecodeAhead {
 public:
  // What the helper decodes: the picture after the last one out (decode lock held).
  class Source {
   public:
    virtual Err nextPicture(ShownPicture* out, bool* got) = 0;

   protected:
    ~Source() = default;
  };

  DecodeAhead(std::mutex& decodeLock, Source& source) : decodeLock_(decodeLock), source_(source) {}
  ~DecodeAhead();  // stops and joins the helper

  // The picture of sample `target` when it was decoded ahead, those before it passed over;
  // pictures after it stay for later calls. `order` tells the samples' tags.
  bool take(uint64_t target, int64_t targetTag, const DisplayOrder& order, ShownPicture* out);
  // The pictures decoded ahead go (decode lock held: a new start).
  void clear();
  // The caller drew a picture: the helper refills the ring when half of it is taken.
  void request();
  // The caller is about to wait for the decode lock (true), or has it (false).
  void stepAside(bool waiting);

 private:
  static constexpr unsigned kMaxAhead = 6;
  static constexpr size_t kAheadBytes = 24u << 20;
  void loop();

  std::mutex& decodeLock_;
  Source& source_;
  std::mutex lock_;
  std::condition_variable wake_;  // the helper waits on it for a request
  std::thread helper_;
  // Under lock_.
  bool stop_ = false, wanted_ = false, idle_ = true, callerWaits_ = false;
  ShownPicture ring_[kMaxAhead];  // the pictures after the one given, in display order
  unsigned first_ = 0, count_ = 0;
  unsigned depth_ = kMaxAhead;    // how many the ring holds, for the last picture's size
};

}  // namespace qte
