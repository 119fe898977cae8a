// Per-track sound decoding from any sample frame. Frames are counted in the decoded stream;
// classic tables hold one sample per frame, others one sample per packet of fixed frames.
#include <algorithm>
#include <cstring>

#include "sampletable.h"

namespace qte {

struct SoundDecoder::State {
  std::mutex mu;  // guards the scratch buffers
  const Track* track = nullptr;
  SampleDescription desc;
  AudioFormat fmt;
  uint32_t unitFrames = 1;  // frames per table sample (packet mode) or per packet (frame mode)
  bool frameMode = true;
  uint64_t total = 0;
  std::vector<uint8_t> raw, pcm;  // allocated once
  CodecState codec;
  uint64_t codecNext = UINT64_MAX;  // the unit after the last decoded one
  uint64_t pcmFirst = 0, pcmFrames = 0;  // frames held in `pcm` (a read-ahead cache)
};

SoundDecoder::SoundDecoder() = default;
SoundDecoder::~SoundDecoder() = default;
const AudioFormat& SoundDecoder::format() const { return s_->fmt; }
uint64_t SoundDecoder::totalFrames() const { return s_->total; }

Err SoundDecoder::create(const Track& track, std::unique_ptr<SoundDecoder>& out) {
  const TrackInfo& info = track.info();
  if (info.kind != Kind::sound || info.descriptions.empty()) return invalidTrack;
  try {
    std::unique_ptr<SoundDecoder> d(new SoundDecoder);
    d->s_.reset(new State);
    State& s = *d->s_;
    s.track = &track;
    s.desc = info.descriptions[0];
    for (const auto& other : info.descriptions)
      if (other.format != s.desc.format || other.channels != s.desc.channels) return cantFindHandler;
    Err e = decodedFormat(s.desc, &s.fmt, nullptr);
    if (e) return e;
    const bool ima = s.desc.format == fourcc("ima4");
    const bool law = s.desc.format == fourcc("ulaw") || s.desc.format == fourcc("alaw");
    // Stored bytes per frame, or per packet for ima4.
    const uint32_t inFrameBytes = ima ? 34 * s.fmt.channels : law ? s.fmt.channels : s.fmt.bytesPerFrame();
    uint64_t offset = 0;
    uint32_t size = 0, di = 0;
    // Frame mode: the table counts frames (durations of 1). Otherwise a sample is a packet.
    SampleRun run;
    s.frameMode = track.sampleCount() == 0;  // no samples (a header-only file): the format stands
    if (track.sampleCount() && track.locate(0, 1, 0, run) == noErr) {
      track.sampleLocation(0, &offset, &size, &di);
      s.frameMode = run.durationEach == 1;
    }
    s.unitFrames = ima ? 64 : 1;
    if (!s.frameMode && !ima) {
      // Packets of PCM must all be of one size for frames to map to samples.
      if (size == 0 || size % inFrameBytes || track.maxSampleBytes() != size) return cantFindHandler;
      s.unitFrames = size / inFrameBytes;
    }
    s.total = s.frameMode ? track.sampleCount() : track.sampleCount() * s.unitFrames;
    const size_t unitBytes = ima ? inFrameBytes : size_t(inFrameBytes) * s.unitFrames;
    const size_t rawCap = std::max<size_t>(unitBytes * (s.frameMode || ima ? 4096 / s.unitFrames + 1 : 1),
                                           track.maxSampleBytes());
    if (rawCap > (64u << 20)) return cantFindHandler;
    s.raw.resize(rawCap);
    s.pcm.resize((rawCap / inFrameBytes + 1) * (ima ? 64 : 1) * s.fmt.bytesPerFrame());
    out = std::move(d);
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

Err SoundDecoder::decode(uint64_t at, uint32_t frames, void* dst, uint32_t* got) {
  State& s = *s_;
  std::lock_guard<std::mutex> lock(s.mu);
  *got = 0;
  const Track& t = *s.track;
  const size_t fb = s.fmt.bytesPerFrame();
  uint8_t* o = static_cast<uint8_t*>(dst);
  while (*got < frames && at < s.total) {
    if (at < s.pcmFirst || at >= s.pcmFirst + s.pcmFrames) {
      // Decode the chunk-bounded run of whole units holding frame `at`.
      uint64_t sample = s.frameMode ? at : at / s.unitFrames;
      SampleRun run;
      Err e = t.locate(t.sampleTime(sample), 0, s.raw.size(), run);
      if (e) return e;
      if (run.description != 1 && t.info().descriptions[run.description - 1].format != s.desc.format)
        return cantFindHandler;
      if ((e = t.read(run, s.raw.data()))) return e;
      if (run.first != s.codecNext) s.codec.valid = false;  // not a continuation
      uint32_t made = 0;
      size_t used = 0;
      s.pcmFrames = 0;
      if ((e = decodePackets(s.desc, s.raw.data(), size_t(run.bytes), s.pcm.data(), s.pcm.size(), &made, &used,
                             &s.codec)))
        return e;
      s.codecNext = run.first + run.count;
      s.pcmFirst = s.frameMode ? run.first : run.first * s.unitFrames;
      s.pcmFrames = made;
      if (at < s.pcmFirst || at >= s.pcmFirst + made) return invalidMedia;
    }
    uint64_t skip = at - s.pcmFirst;
    uint64_t n = std::min<uint64_t>(s.pcmFrames - skip, frames - *got);
    n = std::min<uint64_t>(n, s.total - at);
    std::memcpy(o + size_t(*got) * fb, s.pcm.data() + size_t(skip) * fb, size_t(n) * fb);
    *got += uint32_t(n);
    at += n;
  }
  return noErr;
}

}  // namespace qte
