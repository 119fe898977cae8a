// libFuzzer target: open a movie from bytes and use it as the stand-in would: walk the tracks,
// read samples, find interesting times, draw a few frames, decode and extract a little sound,
// with the decoder library's decoders.
#include <cstdint>
#include <string>
#include <vector>

#include "decoder.h"
#include "libav.h"
#include "qtengine.h"

using namespace qte;

namespace {
// Compressed tracks reach their configuration parsers, the decoder library's decoders and the
// decode-order logic; the checking decoders take what the library has no decoder for. For one
// input: the crasher tests run it among others that want their own decoders.
class Decoders {
 public:
  Decoders() : old_(decoderFactory()) {
    static const std::unique_ptr<DecoderFactory> library =
        linkedLibav() ? makeLibavFactory(*linkedLibav()) : nullptr;
    static DecoderChain chain({library.get(), checkingDecoderFactory()});
    setDecoderFactory(library ? static_cast<DecoderFactory*>(&chain) : checkingDecoderFactory());
  }
  ~Decoders() { setDecoderFactory(old_); }

 private:
  DecoderFactory* old_;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Decoders decoders;
  std::shared_ptr<Movie> m;
  Err trackErr = noErr;
  Reason reason;
  if (Movie::open(memorySource(data, size), m, &trackErr, &reason) != noErr) return 0;
  for (size_t i = 0; i < m->trackCount(); ++i) {
    const Track& t = *m->track(i);
    SampleRun run;
    int64_t time = 0;
    for (int k = 0; k < 4 && time >= 0; ++k) {
      if (t.locate(time, 0, 1 << 20, run) == noErr) {
        std::vector<uint8_t> s(size_t(run.bytes));
        t.read(run, s.data());
      }
      time = t.nextMediaTime(time, nextTimeMediaSample);
    }
    t.nextTrackTime(m->duration() / 2, nextTimeMediaSample | nextTimeEdgeOK);
    t.nextTrackTime(m->duration() / 2, nextTimeSyncSample, -0x10000);
    std::unique_ptr<SoundDecoder> d;
    if (SoundDecoder::create(t, d) == noErr) {
      std::vector<uint8_t> pcm(size_t(512) * d->format().bytesPerFrame());
      uint32_t got = 0;
      d->decode(0, 512, pcm.data(), &got);
      d->decode(d->totalFrames() / 2, 512, pcm.data(), &got);
    }
  }
  std::vector<uint8_t> buf(96 * 72 * 4);
  Renderer r(m);
  if (r.setBuffer(PixelBuffer{buf.data(), 96, 72, 96 * 4, PixelFormat::bgr0}) == noErr) {
    const int64_t d = m->duration();
    for (int64_t t : {int64_t(0), d / 3, d / 4, d - 1}) r.draw(t);
  }
  std::unique_ptr<Extractor> x;
  if (Extractor::create(m, x) == noErr) {
    std::vector<float> a(size_t(1024) * 32);
    void* planes[32];
    for (int c = 0; c < 32; ++c) planes[c] = a.data() + c * 1024;
    uint32_t got = 0;
    bool done = false;
    x->fill(planes, 1024, &got, &done);
    x->setTime(m->duration() / 2, m->timeScale());
    x->fill(planes, 1024, &got, &done);
  }
  return 0;
}
