// One video track's pictures in display order, decoded by the process's decoders (decoder.h):
// the container side of compressed video. Samples go to the decoder in decoding order, each with
// its display time as its tag; the picture shown at a media time is the one whose display time
// is the latest at or before it. Moving forward feeds on from the last sample fed; a jump back or
// far ahead starts a new decoder at the sync sample before the target and passes over the
// pictures before it; the end of the media drains the decoder. A change of sample description
// drains the decoder and starts one for the new description.
//
// While its caller draws and delivers a picture, a helper thread of the track decodes the next
// one (decodeAhead): forward play overlaps decoding with everything else. The two pictures, the
// one given and the one decoded ahead, stay valid together (decoders keep their last two).
//
// A decoder that takes samples and gives no picture is given up after a bounded number of
// samples; a sample it refuses costs that picture. Buffers grow at the first samples and on a
// new description, never per picture. One caller at a time (the Renderer holds its lock); the
// helper thread takes lock_ for its work.
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
  Err pull(int64_t targetTag, Picture* out, uint64_t* index, bool* got);
  Err give(const Picture& p, uint64_t index, Picture* out, bool* got);
  void helperLoop();
  int64_t tagOf(uint64_t index) const { return track_.displayTime(index) - earliest_; }

  const Track& track_;
  DecoderFactory* factory_;
  int64_t earliest_ = 0;              // the track's earliest display time: tag 0
  uint32_t description_ = 0;          // of the codec and decoder below (1-based); 0: none
  VideoCodec codec_;
  std::unique_ptr<VideoDecoder> decoder_;
  bool failed_ = false;               // the decoder gave up: nothing more is shown
  bool drained_ = false;
  bool headerDue_ = false;            // the next unit sent carries the codec's header
  uint64_t next_ = 0;                 // the next sample to send, in decoding order
  uint32_t silent_ = 0;               // samples sent since the last picture came out
  int64_t lastTag_ = -1;              // the tag of the last picture that came out
  bool haveShown_ = false;            // shown_ is the picture last given, still valid
  uint64_t shownIndex_ = 0;
  Picture shown_;
  std::atomic<uint64_t> decoded_{0};
  std::vector<uint8_t> sample_, unit_;  // read and rewritten units, kept between samples
  // Decoding ahead. lock_ guards the decoder and everything above while the helper works.
  std::mutex lock_;
  std::condition_variable wake_;
  std::thread helper_;
  bool stop_ = false, wanted_ = false;
  bool haveAhead_ = false;            // ahead_ is the picture after shown_, decoded ahead
  uint64_t aheadIndex_ = 0;
  Picture ahead_;
};

}  // namespace qte
