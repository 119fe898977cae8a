// Shared test helpers: the generated media, the ffmpeg/ffprobe oracle, opening movies, what the
// checking decoders draw.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "decoder.h"
#include "qtengine.h"

std::string media(const std::string& name);
// Runs a shell command and returns its standard output.
std::vector<uint8_t> run(const std::string& cmd);
std::string ffprobe(const std::string& file, const std::string& entries);  // compact output
// The value of key=... in a compact ffprobe line ("" when missing).
std::string field(const std::string& line, const std::string& key);
std::vector<std::string> lines(const std::string& s);
std::shared_ptr<qte::Movie> open(const std::string& name, qte::Err* trackErr = nullptr);
// With QTE_DUMP_DIR set, a movie a test opens from bytes is also written there, for
// tests/fuzz/keep_damaged to pick damaged files from.
void dumpForCorpus(const std::vector<uint8_t>& movie);
// A sample's bytes, read through the engine (empty when it cannot be read).
std::vector<uint8_t> sampleBytes(const qte::Track& t, uint64_t i);

// The movie's first video track (nullptr when it has none).
const qte::Track* videoTrack(const qte::Movie& m);
// B,G,R,0 of the checking decoders' picture for the sample shown at movie time t: grey level
// 16 + its time tag % 220 (whatever its size), in its own description's colour.
uint32_t expectedPixel(const qte::Track& t, int64_t movieTime);

// A bgr0 buffer to draw into, filled with 0x5A5A5A5A before anything is drawn.
struct Canvas {
  std::vector<uint32_t> px;
  qte::PixelBuffer buf;
  Canvas(int32_t w, int32_t h) : px(size_t(w) * h, 0x5A5A5A5A) {
    buf = qte::PixelBuffer{reinterpret_cast<uint8_t*>(px.data()), w, h, ptrdiff_t(w) * 4, qte::PixelFormat::bgr0};
  }
  uint32_t at(int32_t x, int32_t y) const { return px[size_t(y) * buf.width + x]; }
};

// Puts a decoder factory in place for a scope (the tests run with the checking decoders).
class FactoryScope {
 public:
  explicit FactoryScope(qte::DecoderFactory* f) : old_(qte::decoderFactory()) { qte::setDecoderFactory(f); }
  ~FactoryScope() { qte::setDecoderFactory(old_); }
  FactoryScope(const FactoryScope&) = delete;
  FactoryScope& operator=(const FactoryScope&) = delete;

 private:
  qte::DecoderFactory* old_;
};
