// Decoders that only check their input, for the engine's native builds (sanitizers, fuzzing,
// tests of the decode-order logic). A picture's luma is its time tag modulo 220, plus 16, so a
// test can tell which sample's picture was drawn; chroma is neutral. Sound is silence. H.264
// must come as Annex B, its first unit carrying the parameter sets.
#include <algorithm>
#include <cstring>

#include "decoder.h"

namespace qte {

namespace {

constexpr size_t kReorderDepth = 3;  // pictures held back, as a decoder with B-frames does

// Annex B: start codes, each NAL unit with a clear forbidden bit, at least one unit. Marks in
// *types the NAL unit types seen (bit per type).
bool validAnnexB(const uint8_t* p, size_t n, uint32_t* types) {
  size_t i = 0, units = 0;
  *types = 0;
  while (i + 3 <= n) {
    size_t code = 0;
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) code = 3;
    else if (i + 4 <= n && p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0 && p[i + 3] == 1) code = 4;
    if (!code) {
      if (units == 0) return false;  // bytes before the first start code
      ++i;
      continue;
    }
    i += code;
    if (i >= n || (p[i] & 0x80)) return false;
    *types |= 1u << (p[i] & 0x1F);
    ++units;
  }
  return units > 0;
}

class CheckingVideoDecoder final : public VideoDecoder {
 public:
  explicit CheckingVideoDecoder(const VideoCodec& c) : codec_(c) {
    const int32_t w = int32_t(std::max<uint32_t>(2, c.width)), h = int32_t(std::max<uint32_t>(2, c.height));
    pic_.layout = YuvLayout::nv12;
    pic_.width = w;
    pic_.height = h;
    pic_.yStride = w;
    pic_.uStride = ((w + 1) / 2) * 2;
    pool_.reserve<Planes>(PicturePool::kUsualSlots, [this] { return makePlanes(); });
  }
  Err send(const uint8_t* data, size_t size, int64_t time) override {
    if (!data || size == 0 || time < 0 || drained_) return paramErr;
    const bool avc = codec_.id == CodecId::h264;
    uint32_t types = 0;
    if ((codecInfo(codec_.id).flags & kCodecAnnexB) && !validAnnexB(data, size, &types)) return invalidMedia;
    // H.264's first unit must carry the parameter sets the decoder starts from.
    constexpr uint32_t kSps = 1u << 7, kPps = 1u << 8;
    if (avc && first_ && !codec_.header.empty() && (types & (kSps | kPps)) != (kSps | kPps)) return invalidMedia;
    first_ = false;
    if (codec_.id == CodecId::jpeg && (size < 2 || data[0] != 0xFF || data[1] != 0xD8))
      return invalidMedia;
    pending_.insert(std::upper_bound(pending_.begin(), pending_.end(), time), time);
    return noErr;
  }
  Err receive(Picture* out, bool* got) override {
    *got = false;
    if (pending_.empty() || (!drained_ && pending_.size() <= kReorderDepth)) return noErr;
    const int64_t time = pending_.front();
    pending_.erase(pending_.begin());
    const size_t luma = size_t(pic_.width) * pic_.height;
    Planes* slot = pool_.takeOrMake<Planes>([this] { return makePlanes(); });
    if (!slot) return memFullErr;
    std::vector<uint8_t>& planes = slot->bytes;
    std::memset(planes.data(), int(16 + time % 220), luma);
    *out = Picture();
    out->yuv = pic_;
    out->yuv.y = planes.data();
    out->yuv.u = planes.data() + luma;
    out->time = time;
    out->hold = PicturePool::hold(slot);
    *got = true;
    return noErr;
  }
  Err drain() override {
    drained_ = true;
    return noErr;
  }
  bool restart() override {
    pending_.clear();
    drained_ = false;
    first_ = true;  // the header comes again
    return true;
  }

 private:
  // A picture's planes; luma 0 (no tag's) once no one holds it, so that a picture drawn after
  // its last hold went shows wrong.
  struct Planes final : PictureSlot {
    std::vector<uint8_t> bytes;
    size_t luma = 0;
    void released() noexcept override { std::memset(bytes.data(), 0, luma); }
  };
  std::unique_ptr<Planes> makePlanes() const {
    std::unique_ptr<Planes> made(new Planes);
    made->luma = size_t(pic_.width) * pic_.height;
    made->bytes.assign(made->luma + size_t(pic_.uStride) * ((pic_.height + 1) / 2), 128);
    return made;
  }
  VideoCodec codec_;
  PicturePool::Owner pool_;
  YuvPicture pic_;
  std::vector<int64_t> pending_;  // at most kReorderDepth + 1 tags: receive() runs between sends
  bool drained_ = false;
  bool first_ = true;
};

class CheckingAudioDecoder final : public AudioDecoder {
 public:
  explicit CheckingAudioDecoder(const AudioCodec& c) : codec_(c) {}
  Err send(const uint8_t* packet, size_t size) override {
    if (!packet || size == 0) return paramErr;
    if (codec_.id == CodecId::mpegAudio) {
      MpegAudioHeader h;
      if (parseMpegAudioHeader(packet, size, &h)) return invalidMedia;
    }
    owed_ += codec_.framesPerPacket;
    return noErr;
  }
  Err receive(void* out, uint32_t capacity, uint32_t* frames) override {
    const uint32_t n = uint32_t(std::min<uint64_t>(owed_, capacity));
    std::memset(out, 0, size_t(n) * codec_.output.bytesPerFrame());
    owed_ -= n;
    *frames = n;
    return noErr;
  }
  Err drain() override { return noErr; }

 private:
  AudioCodec codec_;
  uint64_t owed_ = 0;  // frames of silence sent packets decode to
};

class CheckingFactory final : public DecoderFactory {
 public:
  Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) override {
    if (codec.width == 0 || codec.height == 0 || codec.width > 16384 || codec.height > 16384)
      return cantFindHandler;
    try {
      out.reset(new CheckingVideoDecoder(codec));
    } catch (const std::bad_alloc&) {
      return memFullErr;
    }
    return noErr;
  }
  Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) override {
    if (!codec.output.valid() || codec.framesPerPacket == 0) return cantFindHandler;
    out.reset(new CheckingAudioDecoder(codec));
    return noErr;
  }
};

}  // namespace

DecoderFactory* checkingDecoderFactory() {
  static CheckingFactory factory;
  return &factory;
}

}  // namespace qte
