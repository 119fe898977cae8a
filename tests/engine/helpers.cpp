#include "helpers.h"

#include "decoder.h"
#include "yuv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {
// The engine runs natively with the checking decoders, as the fuzzers do: compressed tracks
// take the decoding path, their sound is silence.
const bool kCheckingDecoders = (qte::setDecoderFactory(qte::checkingDecoderFactory()), true);
}  // namespace

std::string media(const std::string& name) { return std::string(QTE_MEDIA_DIR) + "/" + name; }

std::vector<uint8_t> run(const std::string& cmd) {
  std::vector<uint8_t> out;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  pclose(p);
  return out;
}

std::string ffprobe(const std::string& file, const std::string& entries) {
  auto b = run("ffprobe -v error -show_entries " + entries + " -of compact '" + file + "'");
  return std::string(b.begin(), b.end());
}

std::string field(const std::string& line, const std::string& key) {
  size_t at = line.find("|" + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  size_t end = line.find_first_of("|\n", at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  size_t a = 0;
  while (a < s.size()) {
    size_t e = s.find('\n', a);
    if (e == std::string::npos) e = s.size();
    if (e > a) v.push_back(s.substr(a, e - a));
    a = e + 1;
  }
  return v;
}

std::shared_ptr<qte::Movie> open(const std::string& name, qte::Err* trackErr) {
  std::shared_ptr<qte::Movie> m;
  qte::Err e = qte::Movie::openFile(media(name), m, trackErr);
  return e ? nullptr : m;
}

void dumpForCorpus(const std::vector<uint8_t>& movie) {
  const char* dir = std::getenv("QTE_DUMP_DIR");
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  if (!dir || !test) return;
  static int dumped = 0;
  std::ofstream(std::string(dir) + "/" + test->test_suite_name() + "." + test->name() + "-" +
                    std::to_string(++dumped) + ".mov",
                std::ios::binary)
      .write(reinterpret_cast<const char*>(movie.data()), std::streamsize(movie.size()));
}

std::vector<uint8_t> sampleBytes(const qte::Track& t, uint64_t i) {
  uint64_t off = 0;
  uint32_t size = 0, desc = 0;
  std::vector<uint8_t> b;
  if (t.sampleLocation(i, &off, &size, &desc) != qte::noErr) return b;
  qte::SampleRun run;
  run.offset = off;
  run.bytes = size;
  b.resize(size);
  if (t.read(run, b.data()) != qte::noErr) b.clear();
  return b;
}

const qte::Track* videoTrack(const qte::Movie& m) {
  for (size_t i = 0; i < m.trackCount(); ++i)
    if (m.track(i)->info().kind == qte::Kind::video) return m.track(i);
  return nullptr;
}

uint32_t expectedPixel(const qte::Track& t, int64_t movieTime) {
  using namespace qte;
  int64_t media = 0;
  uint64_t index = 0;
  if (!t.movieToMedia(movieTime, &media) || !t.shownAt(media, &index)) return 0xDEADBEEF;
  const int64_t tag = t.displayTime(index) - std::min<int64_t>(0, t.earliestDisplayTime());
  uint64_t offset = 0;
  uint32_t size = 0, description = 0;
  const SampleDescription* d = nullptr;
  VideoCodec codec;
  if (t.sampleLocation(index, &offset, &size, &description) || t.description(description, &d) ||
      videoCodecOf(*d, &codec)) {
    ADD_FAILURE() << "sample " << index << ": no configuration in its description " << description;
    return 0xDEADBEEF;
  }
  uint8_t planes[6] = {uint8_t(16 + tag % 220), uint8_t(16 + tag % 220), uint8_t(16 + tag % 220),
                       uint8_t(16 + tag % 220), 128, 128};
  YuvPicture p;
  p.layout = YuvLayout::nv12;
  p.y = planes;
  p.yStride = 2;
  p.u = planes + 4;
  p.uStride = 2;
  p.width = p.height = 2;
  uint32_t px = 0;
  const PixelBuffer one{reinterpret_cast<uint8_t*>(&px), 1, 1, 4, PixelFormat::bgr0};
  EXPECT_EQ(yuvToRgbPlain(p, codec.colour, 1, 1, one, 0, 0), noErr);
  return px;
}
