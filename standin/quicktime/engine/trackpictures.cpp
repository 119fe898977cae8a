// Compressed video in display order: the main decoder, the pictures decoded ahead, the side's.
#include "trackpictures.h"

#include <algorithm>

namespace qte {

namespace {
constexpr uint64_t kFarAhead = 60;  // samples past the last one sent before a new start
constexpr uint32_t kMaxSampleBytes = 64u << 20;
}  // namespace

TrackPictures::TrackPictures(const Track& track)
    : track_(track),
      main_(track, decoderFactory(), &side_),
      side_(track, decoderFactory(), main_.earliest()),
      ahead_(decodeLock_, *this) {}

Err TrackPictures::create(const Track& track, std::unique_ptr<TrackPictures>& out) {
  const TrackInfo& info = track.info();
  if (!decoderFactory() || info.descriptions.empty() || track.sampleCount() == 0) return cantFindHandler;
  if (track.maxSampleBytes() > kMaxSampleBytes) return cantFindHandler;
  VideoCodec codec;
  const Err e = videoCodecOf(info.descriptions[0], &codec);
  if (e) return e;
  try {
    out.reset(new TrackPictures(track));
    // Whole-size buffers at once: which decoder reads which sample varies from pass to pass.
    out->main_.reserve(codec.header.size());
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  return noErr;
}

Err TrackPictures::pictureAt(int64_t mediaTime, Picture* out, bool* got, const VideoCodec** codec) {
  *got = false;
  *codec = nullptr;
  uint64_t target = 0;
  if (!track_.shownAt(mediaTime, &target)) return noErr;
  if (haveShown_ && shown_.index == target) {
    *out = shown_.picture;
    *codec = shown_.codec.get();
    *got = true;
    return noErr;
  }
  const int64_t targetTag = main_.tagOf(target);
  ShownPicture p;
  bool restart = false;
  try {
    if (side_.take(target, &p, &restart) == SideDecoder::Taken::shown ||
        (!restart && ahead_.take(target, targetTag, main_, &p))) {
      give(std::move(p), out, got, codec);
      return noErr;
    }
    // Not decoded yet: the helper steps aside after its picture, which may be the one wanted.
    ahead_.stepAside(true);
    std::lock_guard<std::mutex> decode(decodeLock_);
    ahead_.stepAside(false);
    // Meanwhile the helper may have decoded it, or offered its group to the side decoder (the
    // pull below would skip that group and pass over the picture).
    if (!restart && side_.take(target, &p, &restart) == SideDecoder::Taken::shown) {
      give(std::move(p), out, got, codec);
      return noErr;
    }
    if (main_.failed()) return noErr;
    if (!restart && ahead_.take(target, targetTag, main_, &p)) {
      give(std::move(p), out, got, codec);
      return noErr;
    }
    ahead_.clear();
    const uint64_t sync = track_.syncAtOrBefore(target);
    // Going on from what was sent serves a picture after the last one that came out, unless a
    // sync sample lies far past the samples sent: then a new start is quicker.
    const bool onwards = main_.started() && main_.lastTag() < targetTag && !restart;
    Err e = noErr;
    if (!onwards || (target > main_.next() + kFarAhead && sync > main_.next())) {
      side_.release();
      e = main_.restart(sync);
    }
    bool have = false;
    side_.setFloor(target + 1);  // the side takes no group this pull would pass over
    if (!e) e = main_.pull(targetTag, &p, &have);
    side_.setFloor(0);
    if (e) {
      main_.fail();
      // No decoder for the format: the track stays undrawn, as one the engine cannot configure.
      return e == cantFindHandler ? noErr : e;
    }
    if (have) give(std::move(p), out, got, codec);  // else nothing more: the area stays as it was
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

void TrackPictures::give(ShownPicture&& p, Picture* out, bool* got, const VideoCodec** codec) {
  shown_ = std::move(p);
  haveShown_ = true;
  *out = shown_.picture;
  *codec = shown_.codec.get();
  *got = true;
}

void TrackPictures::decodeAhead() {
  if (haveShown_) ahead_.request();
}

// The helper, decode lock held.
Err TrackPictures::nextPicture(ShownPicture* out, bool* got) {
  *got = false;
  if (!main_.started() || main_.failed()) return noErr;
  return main_.pull(main_.lastTag() + 1, out, got);
}

}  // namespace qte
