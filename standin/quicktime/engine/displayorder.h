// A track's main decoder, fed in decoding order, its pictures taken in display order: each
// sample goes to the decoder with its display time as its tag (counted from the track's
// earliest, so never negative), and the picture wanted is the first to come out with a tag at or
// after the one asked for, the pictures before it passed over. A change of sample description
// drains the decoder and starts one for the new description; the end of the media drains it.
// A decoder that takes samples and gives no picture is given up after a bounded number of
// samples; a sample it refuses costs that picture only.
//
// Not thread-safe: its owner (TrackPictures) holds its decode lock around every call, from the
// caller's thread or the decode-ahead thread.
#pragma once

#include <atomic>
#include <memory>

#include "decoder.h"
#include "unitreader.h"

namespace qte {

// A picture with the codec of its description, which says how to show it (its displayed size,
// its colour). Holding it keeps both.
struct ShownPicture {
  Picture picture;
  std::shared_ptr<const VideoCodec> codec;
  uint64_t index = 0;  // the sample it shows
};

class DisplayOrder {
 public:
  // Samples a decoder takes without giving a picture before it is given up.
  static constexpr uint32_t kMaxSilent = 48;

  // Between samples sent: a second decoder may take whole groups, which this one then skips.
  class Groups {
   public:
    // The sample to send next instead of `next` (past a group taken); may offer the group after
    // `next` to the second decoder.
    virtual uint64_t beforeSending(uint64_t next, const DisplayOrder& main) = 0;

   protected:
    ~Groups() = default;
  };

  DisplayOrder(const Track& track, DecoderFactory* factory, Groups* groups);
  void reserve(size_t headerBytes) { reader_.reserve(headerBytes); }

  // A new decoder for the description of sync sample `sync`, which is sent next.
  Err restart(uint64_t sync);
  // Decodes on until a picture whose tag is at least `targetTag` comes out (*got, with its
  // sample); false when nothing more comes. An error gives the decoder up: failed() from then.
  Err pull(int64_t targetTag, ShownPicture* out, bool* got);

  bool started() const { return decoder_ != nullptr; }
  bool failed() const { return failed_; }
  void fail() { failed_ = true; }
  int64_t lastTag() const { return lastTag_; }      // of the last picture out; -1 for none
  uint64_t next() const { return next_; }           // the next sample to send
  uint32_t description() const { return description_; }
  const VideoCodec* codec() const { return codec_.get(); }
  const std::shared_ptr<const VideoCodec>& sharedCodec() const { return codec_; }
  int64_t tagOf(uint64_t index) const { return track_.displayTime(index) - earliest_; }
  int64_t earliest() const { return earliest_; }
  uint64_t samplesSent() const { return sent_.load(std::memory_order_relaxed); }

 private:
  Err startDecoder(uint32_t description);
  Err sendNext();

  const Track& track_;
  DecoderFactory* const factory_;
  Groups* const groups_;
  const int64_t earliest_;          // the track's earliest display time: tag 0
  UnitReader reader_;
  uint32_t description_ = 0;        // of the codec and decoder below (1-based); 0: none
  std::shared_ptr<const VideoCodec> codec_;  // handed out with the pictures
  // The colour a stream says in its own parameter sets (read once per description, from the
  // sample its first decoder starts at), for H.264 without 'colr'.
  uint32_t inbandFor_ = 0;
  bool inbandSays_ = false;
  ColourInfo inband_;
  std::unique_ptr<VideoDecoder> decoder_;
  bool drained_ = false;
  bool failed_ = false;
  bool headerDue_ = false;          // the next unit sent carries the codec's header
  uint64_t next_ = 0;               // the next sample to send, in decoding order
  uint32_t silent_ = 0;             // samples sent since the last picture came out
  int64_t lastTag_ = -1;
  std::atomic<uint64_t> sent_{0};   // read by any thread
};

}  // namespace qte
