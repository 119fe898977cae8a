// Movie-level sound extraction: every decodable sound track is decoded, converted to the mix
// rate and mixed (or laid side by side with all channels discrete), then converted to the
// format last set. Output frames count from movie time 0 to the movie's duration.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "qtengine.h"
#include "timemath.h"

namespace qte {

namespace {
constexpr uint32_t kBlock = 1024;  // output frames mixed per step

struct Source {
  const Track* track = nullptr;
  std::unique_ptr<SoundDecoder> dec;
  Converter conv;             // decoded -> float32 interleaved at the mix rate
  uint32_t channels = 0, slot = 0;  // discrete: first output channel
  uint64_t next = UINT64_MAX;       // next decoder frame expected (continuity)
  uint32_t pending = 0;             // decoded frames waiting in `in`
  std::vector<uint8_t> in;
  std::vector<float> out;
};

// A source's label for its channel i: what its codec says, else by count.
uint32_t labelFor(const Source& s, uint32_t i) {
  const std::vector<uint32_t>& known = s.dec->labels();
  if (known.size() == s.channels) return known[i];
  if (s.channels == 1) return 42;                      // mono
  if (s.channels <= 2 || s.channels == 6) return i + 1;  // L R (C LFE Ls Rs)
  return 0x10000u | i;                                 // discrete
}
}  // namespace

struct Extractor::State {
  mutable std::mutex mu;  // guards everything below
  std::shared_ptr<const Movie> movie;
  std::vector<Source> sources;
  bool discrete = false;
  AudioFormat fmt;          // the output format
  uint32_t mixChannels = 0;
  uint32_t widest = 0;      // source index of the widest source
  uint64_t pos = 0, total = 0;  // output frames
  uint32_t maxBits = 0;
  double maxSourceRate = 0;
  Converter final_;
  std::vector<float> mix;

  Err configure();
  Err mixBlock(uint32_t frames);
};

Extractor::Extractor() = default;
Extractor::~Extractor() = default;

Err Extractor::State::configure() {
  uint32_t sum = 0, wide = 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    sources[i].slot = sum;
    sum += sources[i].channels;
    if (sources[i].channels > wide) {
      wide = sources[i].channels;
      widest = uint32_t(i);
    }
  }
  mixChannels = discrete ? sum : wide;
  if (mixChannels == 0) mixChannels = fmt.channels ? fmt.channels : 2;
  if (mixChannels > 32) return paramErr;
  for (Source& s : sources) {
    AudioFormat f;
    f.sampleRate = fmt.sampleRate;
    f.channels = discrete ? s.channels : mixChannels;
    f.bits = 32;
    f.isFloat = true;
    f.bigEndian = false;
    Err e = s.conv.setFormats(s.dec->format(), f);
    if (e) return e;
    s.next = UINT64_MAX;
    s.pending = 0;
  }
  AudioFormat m;
  m.sampleRate = fmt.sampleRate;
  m.channels = mixChannels;
  m.bits = 32;
  m.isFloat = true;
  m.bigEndian = false;
  Err e = final_.setFormats(m, fmt);
  if (e) return e;
  mix.assign(size_t(kBlock) * mixChannels, 0.f);
  total = uint64_t(mulDiv(movie->duration(), uint32_t(std::lround(fmt.sampleRate)), movie->timeScale()));
  return noErr;
}

Err Extractor::create(std::shared_ptr<const Movie> movie, std::unique_ptr<Extractor>& out) {
  if (!movie) return paramErr;
  try {
    std::unique_ptr<Extractor> x(new Extractor);
    x->s_.reset(new State);
    State& s = *x->s_;
    s.movie = movie;
    double rate = 0;
    for (size_t i = 0; i < movie->trackCount(); ++i) {
      const Track* t = movie->track(i);
      if (t->info().kind != Kind::sound || !t->info().enabled) continue;
      AudioFormat f;
      uint32_t bits = 0;
      if (!t->info().descriptions.empty() && decodedFormat(t->info().descriptions[0], &f, &bits) == noErr)
        s.maxBits = std::max(s.maxBits, bits);
      Source src;
      src.track = t;
      if (SoundDecoder::create(*t, src.dec) != noErr) continue;  // undecodable: silent
      src.channels = src.dec->format().channels;
      rate = std::max(rate, src.dec->format().sampleRate);
      s.maxSourceRate = rate;
      s.sources.push_back(std::move(src));
    }
    s.fmt.sampleRate = rate > 0 ? rate : 44100;
    s.fmt.bits = 32;
    s.fmt.isFloat = true;
    s.fmt.bigEndian = false;
    s.fmt.interleaved = false;
    s.fmt.channels = 0;
    s.discrete = false;
    for (const Source& src : s.sources) s.fmt.channels = std::max(s.fmt.channels, src.channels);
    if (!s.fmt.channels) s.fmt.channels = 2;
    Err e = s.configure();
    if (e) return e;
    out = std::move(x);
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

Err Extractor::setAllChannelsDiscrete(bool on) {
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->discrete = on;
  uint32_t sum = 0, wide = 0;
  for (const Source& src : s_->sources) sum += src.channels, wide = std::max(wide, src.channels);
  uint32_t ch = on ? sum : wide;
  if (ch) s_->fmt.channels = ch;
  try {
    return s_->configure();
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

AudioFormat Extractor::format() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->fmt;
}

Err Extractor::setFormat(const AudioFormat& f) {
  // Rates below 1 kHz are refused: a block of output would need too many source frames.
  if (!f.valid() || (f.isFloat && f.bits != 32) || f.sampleRate < 1000) return paramErr;
  std::lock_guard<std::mutex> lock(s_->mu);
  AudioFormat old = s_->fmt;
  s_->fmt = f;
  try {
    Err e = s_->configure();
    if (e) {
      s_->fmt = old;
      s_->configure();
    }
    return e;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

uint32_t Extractor::maxSampleSize() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return std::min<uint32_t>(s_->maxBits, 32);
}

std::vector<uint32_t> Extractor::channelLabels() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  std::vector<uint32_t> l;
  const State& s = *s_;
  if (s.sources.empty()) return l;
  if (s.discrete) {
    for (const Source& src : s.sources)
      for (uint32_t c = 0; c < src.channels; ++c) l.push_back(labelFor(src, c));
  } else {
    const Source& wide = s.sources[s.widest];
    for (uint32_t c = 0; c < wide.channels; ++c) l.push_back(labelFor(wide, c));
  }
  return l;
}

Err Extractor::setTime(int64_t time, uint32_t scale) {
  if (scale == 0) return paramErr;
  std::lock_guard<std::mutex> lock(s_->mu);
  if (time < 0) time = 0;
  s_->pos = uint64_t(mulDiv(time, uint32_t(std::lround(s_->fmt.sampleRate)), scale));
  for (Source& src : s_->sources) {
    src.next = UINT64_MAX;
    src.pending = 0;
  }
  return noErr;
}

int64_t Extractor::positionFrames() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return int64_t(s_->pos);
}

Err Extractor::State::mixBlock(uint32_t frames) {
  std::fill(mix.begin(), mix.begin() + size_t(frames) * mixChannels, 0.f);
  const uint32_t rate = uint32_t(std::lround(fmt.sampleRate));
  for (Source& s : sources) {
    const TrackInfo& info = s.track->info();
    // Where this block starts in the source's frames (edits applied).
    int64_t media = 0;
    if (!s.track->movieToMedia(int64_t(pos), rate, &media)) {
      s.next = UINT64_MAX;
      continue;  // silent here
    }
    const double srcRate = s.dec->format().sampleRate;
    uint64_t want = uint64_t(mulDiv(media, uint32_t(std::lround(srcRate)), info.mediaTimeScale));
    // Seamless unless the edit list or a seek moved the source. The frames still pending come
    // first: the block starts at the oldest of them, not at the next one to decode.
    uint64_t expected = s.next == UINT64_MAX ? UINT64_MAX : s.next - s.pending;
    int64_t tolerance = int64_t(srcRate / fmt.sampleRate) + 2;
    if (expected == UINT64_MAX || int64_t(want) - int64_t(expected) > tolerance ||
        int64_t(expected) - int64_t(want) > tolerance) {
      s.conv.reset();
      s.pending = 0;
      s.next = want;
    }
    const uint32_t inFrames = uint32_t(std::ceil(frames * srcRate / fmt.sampleRate)) + 4;
    const size_t ifb = s.dec->format().bytesPerFrame();
    if (s.in.size() < size_t(inFrames) * ifb) s.in.resize(size_t(inFrames) * ifb);
    const uint32_t oc = s.conv.output().channels;
    if (s.out.size() < size_t(frames) * oc) s.out.resize(size_t(frames) * oc);
    uint32_t made = 0;
    for (int round = 0; round < 4 && made < frames; ++round) {
      uint32_t got = 0;
      if (s.pending < inFrames) {
        Err e = s.dec->decode(s.next, inFrames - s.pending, s.in.data() + size_t(s.pending) * ifb, &got);
        if (e) break;
        s.next += got;
        s.pending += got;
      }
      if (s.pending == 0) break;
      const void* ip[1] = {s.in.data()};
      void* op[1] = {s.out.data() + size_t(made) * oc};
      uint32_t used = 0, out = 0;
      s.conv.convert(ip, s.pending, op, frames - made, &used, &out);
      std::memmove(s.in.data(), s.in.data() + size_t(used) * ifb, size_t(s.pending - used) * ifb);
      s.pending -= used;
      made += out;
      if (got == 0 && out == 0) break;  // the source has ended
    }
    const uint32_t base = discrete ? s.slot : 0;
    if (base == 0 && oc == mixChannels) {  // the usual case, as one run
      float* m = mix.data();
      const float* so = s.out.data();
      for (size_t i = 0, n = size_t(made) * oc; i < n; ++i) m[i] += so[i];
      continue;
    }
    for (uint32_t f = 0; f < made; ++f)
      for (uint32_t c = 0; c < oc; ++c) mix[size_t(f) * mixChannels + base + c] += s.out[size_t(f) * oc + c];
  }
  return noErr;
}

Err Extractor::fill(void* const* planes, uint32_t frames, uint32_t* got, bool* done) {
  State& s = *s_;
  std::lock_guard<std::mutex> lock(s.mu);
  *got = 0;
  *done = false;
  if (!planes) return paramErr;
  const uint32_t bpfOut = s.fmt.bytesPerFrame();
  try {
    while (*got < frames && s.pos < s.total) {
      // Blocks shrink when the output rate is far below a source's, so that the source frames
      // one block needs stay bounded.
      uint64_t block = kBlock;
      if (s.maxSourceRate > s.fmt.sampleRate)
        block = std::max<uint64_t>(1, uint64_t(kBlock * s.fmt.sampleRate / s.maxSourceRate));
      uint32_t n = uint32_t(std::min<uint64_t>({block, frames - *got, s.total - s.pos}));
      Err e = s.mixBlock(n);
      if (e) return e;
      const void* ip[1] = {s.mix.data()};
      void* op[32];
      for (uint32_t c = 0; c < (s.fmt.interleaved ? 1 : s.fmt.channels); ++c)
        op[c] = static_cast<uint8_t*>(planes[c]) + size_t(*got) * bpfOut;
      uint32_t used = 0, made = 0;
      s.final_.convert(ip, n, op, n, &used, &made);
      *got += n;
      s.pos += n;
    }
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  *done = s.pos >= s.total;
  return noErr;
}

}  // namespace qte
