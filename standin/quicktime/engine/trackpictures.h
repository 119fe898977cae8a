// One video track's pictures in display order, decoded by the process's decoders (decoder.h):
// the container side of compressed video. The picture shown at a media time is the one whose
// display time is the latest at or before it.
//
// Three parts, each in its own file: the main decoder fed in decoding order (DisplayOrder), the
// pictures decoded ahead on a helper thread while the caller draws (DecodeAhead), and a second
// decoder for short closed groups of small pictures (SideDecoder). Moving forward takes the
// picture decoded ahead, or decodes on from the last sample sent; a jump back or far ahead starts
// a new decoder at the sync sample before the target and passes over the pictures before it.
//
// Pictures hold their planes (Picture::hold): the one given, those decoded ahead and the side's
// stay valid whatever the decoders do next, a new decoder for a new description included.
//
// Locks, in this order: decodeLock_ (the main decoder: DisplayOrder's state, taken by the caller
// when it must decode itself, and by the helper for each picture it decodes ahead), then either
// DecodeAhead's or SideDecoder's own lock, never both; a decoder's picture pool's lock comes
// last. shown_ is the caller's alone: one caller at a time (the Renderer holds its lock).
#pragma once

#include <memory>
#include <mutex>

#include "decodeahead.h"
#include "displayorder.h"
#include "sidedecoder.h"

namespace qte {

class TrackPictures final : private DecodeAhead::Source {
 public:
  // cantFindHandler without a decoder factory or without a configuration for the track's first
  // description; the decoder itself is made at the first picture asked for.
  static Err create(const Track& track, std::unique_ptr<TrackPictures>& out);
  ~TrackPictures() = default;

  // The picture shown at `mediaTime`: *got false when none is (before the first picture, no
  // decoder for the format, or the track's decoding failed: then the error, once). Copies of
  // the picture hold it; *codec, which says how to show it, stays valid until the next call.
  Err pictureAt(int64_t mediaTime, Picture* out, bool* got, const VideoCodec** codec);
  // The next pictures are decoded on the helper thread while the caller draws the one given.
  void decodeAhead();
  uint64_t samplesDecoded() const { return main_.samplesSent() + side_.samplesSent(); }

 private:
  explicit TrackPictures(const Track& track);
  Err nextPicture(ShownPicture* out, bool* got) override;
  void give(ShownPicture&& p, Picture* out, bool* got, const VideoCodec** codec);

  const Track& track_;
  std::mutex decodeLock_;
  // Destroyed in reverse: the threads stop before the main decoder they use goes.
  DisplayOrder main_;
  SideDecoder side_;
  DecodeAhead ahead_;
  bool haveShown_ = false;  // the caller's
  ShownPicture shown_;
};

}  // namespace qte
