// Per-track sound decoding from any sample frame. Frames are counted in the decoded stream;
// classic tables hold one sample per frame, others one sample per packet of fixed frames.
// Compressed sound goes packet by packet to a decoder of the process's chain.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "description.h"
#include "packetdecoder.h"
#include "sampletable.h"
#include "timemath.h"

namespace qte {

namespace {
constexpr uint32_t kPcmFrames = 4096;       // decoded frames held for the reader
constexpr uint32_t kMaxPacketBytes = 1u << 20;
}  // namespace

// A decoder's stream over the track's packets: the table's samples, or for a version-1 entry
// of fixed packets whose table counts frames, runs of `packetSamples` of them. A jump makes a
// new decoder, fed from a packet or more before the target (the overlap of the packet before
// shapes the first one) and read forward to it.
struct Packets {
  PacketDecoder decoder;
  uint32_t rate = 0;                 // decoded frames per second
  uint32_t preRoll = 1;              // packets fed ahead of the target
  uint32_t packetSamples = 1;        // table samples per packet
  uint64_t count = 0;                // packets
  bool unavailable = false;          // no decoder takes it: silence
  uint64_t nextPacket = 0;           // the next packet to send
  uint64_t outPos = 0;               // decoded frame that the decoder gives next
};

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
  std::unique_ptr<Packets> packets;     // compressed sound only

  Err configurePackets();
  Err startPacket(uint64_t at, uint64_t* start) const;
  int64_t packetTime(uint64_t packet) const;
  Err restart(uint64_t at);
  Err pull();
  Err sendNext();
  Err decodeCompressed(uint64_t at, uint32_t frames, uint8_t* dst, uint32_t* got);
};

SoundDecoder::SoundDecoder() = default;
SoundDecoder::~SoundDecoder() = default;
const AudioFormat& SoundDecoder::format() const { return s_->fmt; }
const std::vector<uint32_t>& SoundDecoder::labels() const {
  static const std::vector<uint32_t> none;
  return s_->packets ? s_->packets->decoder.codec().labels : none;
}
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
    if (decoderDecodesSound(s.desc)) {
      Err e = s.configurePackets();
      if (e) return e;
      out = std::move(d);
      return noErr;
    }
    Err e = decodedFormat(s.desc, &s.fmt, nullptr);
    if (e) return e;
    const CodecId id = codecOf(s.desc);
    const bool ima = id == CodecId::ima4;
    const bool law = id == CodecId::ulaw || id == CodecId::alaw;
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

// The first packet configures MPEG audio. A table that counts frames needs packets of one size,
// as a version-1 entry gives them; compressed sound of any other kind has no such packets.
Err SoundDecoder::State::configurePackets() {
  State& s = *this;
  const Track& track = *s.track;
  s.packets.reset(new Packets);
  Packets& p = *s.packets;
  const uint32_t largest = track.maxSampleBytes();
  if (largest > kMaxPacketBytes) return cantFindHandler;
  s.raw.resize(std::max<uint32_t>(largest, 4));
  uint64_t offset = 0;
  uint32_t size = 0, di = 0;
  const uint8_t* first = nullptr;
  if (track.sampleCount() && track.sampleLocation(0, &offset, &size, &di) == noErr && size >= 4 &&
      size <= s.raw.size()) {
    SampleRun run;
    run.offset = offset;
    run.bytes = size;
    if (track.read(run, s.raw.data()) == noErr) first = s.raw.data();
  }
  Err e = p.decoder.configure(s.desc, first, size);
  if (e) return e;
  if (!decoderFactory()) return cantFindHandler;  // as undecodable as any unknown format
  if (track.sampleCount() == 0) p.unavailable = true;
  SampleRun run;
  if (track.sampleCount() && (track.locate(0, 1, 0, run) != noErr || run.count == 0)) return cantFindHandler;
  if (track.sampleCount() && run.durationEach == 1) {
    uint32_t packetFrames = 0, packetBytes = 0;
    soundPacking(s.desc, &packetFrames, &packetBytes);
    if (packetFrames < 2 || packetBytes == 0 || largest != packetBytes) return cantFindHandler;
    p.packetSamples = packetFrames;
  }
  p.count = (track.sampleCount() + p.packetSamples - 1) / p.packetSamples;
  s.fmt = p.decoder.codec().output;
  p.rate = uint32_t(std::lround(s.fmt.sampleRate));
  if (p.rate == 0 || !s.fmt.valid() || track.info().mediaTimeScale == 0) return cantFindHandler;
  // MPEG audio's bit reservoir reaches back up to 511 bytes, over several small frames.
  p.preRoll = p.decoder.codec().id == CodecId::mpegAudio ? 4 : 1;
  s.frameMode = false;
  s.total = uint64_t(mulDiv(track.sampleTime(track.sampleCount()), p.rate, track.info().mediaTimeScale));
  s.pcm.resize(size_t(kPcmFrames) * s.fmt.bytesPerFrame());
  s.pcmFirst = s.pcmFrames = 0;
  return noErr;
}

// The media time at which a packet starts (the track's end for the packet past the last).
int64_t SoundDecoder::State::packetTime(uint64_t packet) const {
  const uint64_t sample = packet * packets->packetSamples;
  return track->sampleTime(std::min(sample, track->sampleCount()));
}

// The packet a new decoder for frame `at` starts from.
Err SoundDecoder::State::startPacket(uint64_t at, uint64_t* start) const {
  const Packets& p = *packets;
  uint64_t index = 0;
  if (!track->sampleAt(mulDiv(int64_t(at), track->info().mediaTimeScale, p.rate), &index)) return invalidTime;
  index /= p.packetSamples;
  *start = index >= p.preRoll ? index - p.preRoll : 0;
  return noErr;
}

Err SoundDecoder::State::restart(uint64_t at) {
  Packets& p = *packets;
  uint64_t start = 0;
  if (Err e = startPacket(at, &start)) return e;
  if (Err e = p.decoder.start()) {
    p.unavailable = true;
    return e;
  }
  p.nextPacket = start;
  p.outPos = uint64_t(mulDiv(packetTime(start), p.rate, track->info().mediaTimeScale));
  pcmFirst = p.outPos;
  pcmFrames = 0;
  return noErr;
}

// Sends the next packet; one of another description is refused, as silence of its length.
Err SoundDecoder::State::sendNext() {
  Packets& p = *packets;
  const Track& t = *track;
  const uint64_t index = p.nextPacket++;
  uint64_t offset = 0;
  uint32_t size = 0, di = 0;
  Err e = t.sampleLocation(index * p.packetSamples, &offset, &size, &di);
  if (e) return e;
  const uint32_t scale = t.info().mediaTimeScale;
  // Its silence reaches the packet's end in the table from where the decoder is.
  const uint64_t end = uint64_t(mulDiv(packetTime(index + 1), p.rate, scale));
  const uint32_t frames = uint32_t(std::min<uint64_t>(end > p.outPos ? end - p.outPos : 0, kPcmFrames));
  const bool refused = size == 0 || size > raw.size() || di == 0 || di > t.info().descriptions.size() ||
                       t.info().descriptions[di - 1].format != desc.format;
  if (!refused) {
    SampleRun run;
    run.offset = offset;
    run.bytes = size;
    if ((e = t.read(run, raw.data()))) return e;
  }
  return p.decoder.send(refused ? nullptr : raw.data(), refused ? 0 : size, frames);
}

// Replaces the cache with the decoder's next frames; none at the end of the stream.
Err SoundDecoder::State::pull() {
  Packets& p = *packets;
  pcmFirst = p.outPos;
  pcmFrames = 0;
  for (;;) {
    uint32_t n = 0;
    Err e = p.decoder.receive(pcm.data(), kPcmFrames, &n);
    if (e) return e;
    if (n) {
      pcmFrames = n;
      p.outPos += n;
      return noErr;
    }
    if (p.nextPacket < p.count) {
      if ((e = sendNext())) return e;
      continue;
    }
    if (p.decoder.drained()) return noErr;
    if ((e = p.decoder.drain())) return e;
  }
}

Err SoundDecoder::State::decodeCompressed(uint64_t at, uint32_t frames, uint8_t* dst, uint32_t* got) {
  Packets& p = *packets;
  if (p.unavailable) return cantFindHandler;
  const size_t fb = fmt.bytesPerFrame();
  // Decoding forward beats a new decoder for a few packets.
  const uint64_t reach = uint64_t(std::max<uint32_t>(p.decoder.codec().framesPerPacket, 1)) * 4;
  while (*got < frames && at < total) {
    if (at >= pcmFirst && at < pcmFirst + pcmFrames) {
      const uint64_t skip = at - pcmFirst;
      const uint64_t n = std::min<uint64_t>({pcmFrames - skip, frames - *got, total - at});
      std::memcpy(dst + size_t(*got) * fb, pcm.data() + size_t(skip) * fb, size_t(n) * fb);
      *got += uint32_t(n);
      at += n;
      continue;
    }
    // A jump ahead makes a new decoder only where it starts past the packets already sent: a
    // stream whose packets decode to fewer frames than the table gives them never reaches its
    // table times, and restarting it there again would go round for ever.
    uint64_t start = 0;
    if (!p.decoder.started() || at < p.outPos ||
        (at - p.outPos > reach && startPacket(at, &start) == noErr && start > p.nextPacket)) {
      Err e = restart(at);
      if (e) return e;
    }
    Err e = pull();
    if (e) return e;
    if (pcmFrames == 0) break;  // the decoder gave all it had
  }
  return noErr;
}

Err SoundDecoder::decode(uint64_t at, uint32_t frames, void* dst, uint32_t* got) {
  State& s = *s_;
  std::lock_guard<std::mutex> lock(s.mu);
  *got = 0;
  if (s.packets) return s.decodeCompressed(at, frames, static_cast<uint8_t*>(dst), got);
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
