// Shared test helpers: the generated media, the ffmpeg/ffprobe oracle, opening movies.
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
