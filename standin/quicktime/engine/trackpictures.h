// One video track's pictures in display order, decoded by the process's decoders (decoder.h):
// the container side of compressed video. Samples go to the decoder in decoding order, each with
// its display time as its tag; the picture shown at a media time is the one whose display time
// is the latest at or before it. Moving forward feeds on from the last sample fed; a jump back or
// far ahead starts a new decoder at the sync sample before the target and passes over the
// pictures before it; the end of the media drains the decoder. A change of sample description
// drains the decoder and starts one for the new description.
//
// While its caller draws and delivers a picture, a helper thread of the track decodes the next
// ones (decodeAhead), a few pictures ahead: forward play keeps the decoder busy while everything
// else runs, and a decoder that works on several frames at once gets them. The picture given and
// those decoded ahead stay valid together: the helper stops before the decoder would reuse the
// picture given (VideoDecoder::picturesKept).
//
// Small pictures in short closed groups of pictures are decoded by two decoders at once: a side
// decoder, on a thread of its own, decodes the group after the one the main decoder is in, its
// pictures copied out, and the main decoder skips that group (feeding the sync sample after it
// pushes the main decoder's last pictures out, as a cut between closed groups does).
//
// A decoder that takes samples and gives no picture is given up after a bounded number of
// samples; a sample it refuses costs that picture. Buffers grow at the first samples and on a
// new description, never per picture. One caller at a time (the Renderer holds its lock).
//
// Locks, in this order: lock_ guards the main decoder and the samples sent (the helper holds it
// while it decodes, the caller when it must decode itself); ringLock_ guards the pictures decoded
// ahead, the side decoder's group and pictures, and the one given, briefly. A picture decoded
// ahead is taken under ringLock_ alone, so the caller never waits for a picture being decoded
// when the one it wants is ready. The side decoder belongs to its thread alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "decoder.h"

namespace qte {

class TrackPictures {
 public:
  // cantFindHandler without a decoder factory or without a configuration for the track's first
  // description; the decoder itself is made at the first picture asked for.
  static Err create(const Track& track, std::unique_ptr<TrackPictures>& out);
  ~TrackPictures();

  // The picture shown at `mediaTime`: *got false when none is (before the first picture, no
  // decoder for the format, or the track's decoding failed: then the error, once). It stays
  // valid until the next call; `codec` says how to show it.
  Err pictureAt(int64_t mediaTime, Picture* out, bool* got, const VideoCodec** codec);
  // The next picture is decoded on the helper thread while the caller draws the one given.
  void decodeAhead();
  uint64_t samplesDecoded() const { return decoded_; }

 private:
  explicit TrackPictures(const Track& track);
  Err restart(uint64_t sync);
  Err startDecoder(uint32_t description);
  Err sendNext();
  // Reads sample `index` and rewrites it for `codec`'s decoder (the header in front when asked):
  // *data and *bytes; a sample that cannot be read or rewritten gives *bytes 0.
  Err readUnit(uint64_t index, const VideoCodec& codec, bool header, std::vector<uint8_t>& sample,
               std::vector<uint8_t>& unit, const uint8_t** data, size_t* bytes) const;
  void assignSide();  // under lock_, the side idle
  bool sideEligible(uint64_t first, uint64_t end) const;
  bool sideOwns(uint64_t index) const;  // under ringLock_
  bool fromSide(uint64_t target, std::unique_lock<std::mutex>& ring, Picture* out, bool* got);
  void releaseSide();  // under ringLock_
  void sideLoop();
  bool sideDecode(uint64_t first, uint64_t end, uint64_t generation, const YuvColour& colour);
  uint64_t sideKeep(const Picture& p, uint64_t first, uint64_t end, uint64_t generation);
  Err pull(int64_t targetTag, Picture* out, uint64_t* index, bool* got, uint64_t outLimit = UINT64_MAX);
  void give(const Picture& p, uint64_t index, uint64_t ordinal, Picture* out, bool* got);
  bool takeAhead(uint64_t target, int64_t targetTag, Picture* out, bool* got);
  void wakeHelper();
  void helperLoop();
  int64_t tagOf(uint64_t index) const { return track_.displayTime(index) - earliest_; }

  const Track& track_;
  DecoderFactory* factory_;
  int64_t earliest_ = 0;              // the track's earliest display time: tag 0
  // Under lock_:
  uint32_t description_ = 0;          // of the codec and decoder below (1-based); 0: none
  VideoCodec codec_;
  // The colour a stream says in its own parameter sets (read once per description, from the
  // sample its first decoder starts at), for H.264 without 'colr'. Under lock_.
  uint32_t inbandFor_ = 0;
  bool inbandSays_ = false;
  ColourInfo inband_;
  std::unique_ptr<VideoDecoder> decoder_;
  bool drained_ = false;
  bool headerDue_ = false;            // the next unit sent carries the codec's header
  uint64_t next_ = 0;                 // the next sample to send, in decoding order
  uint32_t silent_ = 0;               // samples sent since the last picture came out
  int64_t lastTag_ = -1;              // the tag of the last picture that came out
  std::atomic<uint64_t> decoded_{0};
  std::vector<uint8_t> sample_, unit_;  // read and rewritten units, kept between samples
  // Decoding ahead.
  struct Ahead {
    Picture picture;
    uint64_t index = 0;    // its sample
    uint64_t ordinal = 0;  // which picture out of the decoders it was (picturesOut_)
  };
  static constexpr unsigned kMaxAhead = 6;
  std::mutex lock_;
  std::mutex ringLock_;
  std::condition_variable wake_;      // the helper waits on it under ringLock_
  std::thread helper_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> asking_{false};   // the caller waits for lock_: the helper steps aside
  std::atomic<bool> failed_{false};   // the decoder gave up: nothing more is shown
  uint64_t picturesOut_ = 0;          // pictures that came out of the decoders (lock_)
  // Under ringLock_:
  bool wanted_ = false, helperIdle_ = true;
  bool haveShown_ = false;            // shown_ is the picture last given, still valid
  uint64_t shownIndex_ = 0, shownOrdinal_ = 0;
  Picture shown_;
  Ahead ahead_[kMaxAhead];            // the pictures after shown_, in display order: a ring
  unsigned aheadFirst_ = 0, aheadCount_ = 0;

  // The side decoder. Its group [sideFirst_, sideEnd_) is the side's from its assignment until
  // the caller has gone past it, a new start, or a failure; its pictures lie in sideStore_, one
  // slot per sample of the group.
  enum class Side { idle, assigned, done, failed };
  static constexpr uint64_t kMinSideGroup = 8, kMaxSideGroup = 120;
  static constexpr size_t kMaxSideBytes = 32u << 20;
  std::thread sideHelper_;
  std::condition_variable sideWake_;     // the side thread waits on it under ringLock_
  std::condition_variable sideReady_;    // the caller waits on it for the side's pictures
  bool sideOff_ = false;                 // not for this track (set after a failure)
  bool sideSkipped_ = false;             // the main decoder skipped the side's group
  Side side_ = Side::idle;
  uint64_t sideFirst_ = 0, sideEnd_ = 0, sideGeneration_ = 0;
  YuvColour sideColour_;  // the main decoder's colour when the group was assigned
  std::vector<uint8_t> sideStore_;       // written by the side thread, read once published
  size_t sideSlotBytes_ = 0;
  std::vector<Picture> sidePictures_;    // by sample, for the group
  std::vector<bool> sideHave_;
  uint64_t sideRejected_ = UINT64_MAX;    // the last group found unsuitable (lock_)
  uint64_t sideFloor_ = 0;               // the side's next group starts here or later (lock_)
  // The side thread's own.
  uint64_t sideStoreGeneration_ = 0;     // the group the slots are sized for
  std::unique_ptr<VideoDecoder> sideDecoder_;
  VideoCodec sideCodec_;
  uint32_t sideDescription_ = 0;
  bool sideHeaderDue_ = false;
  uint64_t sideFed_ = 0;                 // one past the last sample it was given
  std::vector<uint8_t> sideSample_, sideUnit_;
};

}  // namespace qte
