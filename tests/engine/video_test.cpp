// Drawing against ffmpeg's decoding: every frame, in each picture format, straight and seeking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "helpers.h"

using namespace qte;

namespace {
struct Case {
  const char* file;
  PixelFormat format;
  const char* ffFormat;
};

// Movie time at which the first video track's sample i shows.
int64_t frameTime(const Movie& m, uint64_t i) {
  const Track& t = *m.track(0);
  int64_t media = t.sampleTime(i);
  return (media * m.timeScale() + t.info().mediaTimeScale - 1) / t.info().mediaTimeScale;
}

class Draw : public ::testing::TestWithParam<Case> {};

TEST_P(Draw, FramesEqualFfmpegStraightAndSeeking) {
  const Case c = GetParam();
  std::shared_ptr<Movie> m = open(c.file);
  ASSERT_TRUE(m);
  const int bpp = int(c.format) / 8;
  const int w = m->box().width(), h = m->box().height();
  const size_t frameBytes = size_t(w) * h * bpp;
  std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + media(c.file) + "' -map 0:v:0 -f rawvideo -pix_fmt " +
                                 c.ffFormat + " -");
  const uint64_t n = m->track(0)->sampleCount();
  ASSERT_EQ(ref.size(), frameBytes * n);
  // The buffer is wider than the movie (padding in the stride stays untouched).
  const ptrdiff_t stride = ptrdiff_t(w) * bpp + 8;
  std::vector<uint8_t> buf(size_t(stride) * h, 0xEE);
  Renderer r(m);
  PixelBuffer pb{buf.data(), w, h, stride, c.format};
  ASSERT_EQ(r.setBuffer(pb), noErr);
  auto check = [&](uint64_t i) {
    ASSERT_EQ(r.draw(frameTime(*m, i)), noErr);
    size_t diff = 0;
    for (int y = 0; y < h; ++y) {
      const uint8_t* a = buf.data() + y * stride;
      const uint8_t* b = ref.data() + i * frameBytes + size_t(y) * w * bpp;
      for (int x = 0; x < w * bpp; ++x) {
        if (c.format == PixelFormat::bgr0 && x % 4 == 3) {
          if (a[x] != 0) ++diff;
          continue;
        }
        if (a[x] != b[x]) ++diff;
      }
      if (a[w * bpp] != 0xEE) ++diff;
    }
    EXPECT_EQ(diff, 0u) << c.file << " frame " << i;
  };
  for (uint64_t i = 0; i < n; ++i) check(i);
  // Back and forth: the same frames as straight decoding.
  std::vector<uint64_t> order;
  for (uint64_t i = 0; i < n; ++i) order.push_back(i);
  std::mt19937 rng(7);
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(std::min<size_t>(order.size(), 12));
  for (uint64_t i : order) check(i);
  check(n - 1);
  check(0);
}

INSTANTIATE_TEST_SUITE_P(Media, Draw,
    ::testing::Values(Case{"raw24.mov", PixelFormat::bgr24, "bgr24"}, Case{"raw24.mov", PixelFormat::bgr0, "bgr0"},
                      Case{"raw32.mov", PixelFormat::bgr24, "bgr24"}, Case{"raw32.mov", PixelFormat::bgr0, "bgr0"},
                      Case{"raw16.mov", PixelFormat::rgb555, "rgb555le"},
                      Case{"rle24.mov", PixelFormat::bgr24, "bgr24"}, Case{"rle24.mov", PixelFormat::bgr0, "bgr0"},
                      Case{"rle32.mov", PixelFormat::bgr0, "bgr0"}, Case{"rle16.mov", PixelFormat::rgb555, "rgb555le"},
                      Case{"rle16.mov", PixelFormat::bgr24, "bgr24"},
                      // Quarter turns of the track matrix against ffmpeg's autorotated decoding.
                      Case{"rot90.mov", PixelFormat::bgr0, "bgr0"}, Case{"rot180.mov", PixelFormat::bgr24, "bgr24"},
                      Case{"rot270.mov", PixelFormat::bgr24, "bgr24"},
                      // Movie fragments: the samples come from the 'moof' atoms alone.
                      Case{"frag.mov", PixelFormat::bgr0, "bgr0"}, Case{"fragmoof.mov", PixelFormat::bgr24, "bgr24"}),
    [](const auto& info) {
      std::string s = std::string(info.param.file) + "_" + info.param.ffFormat;
      for (char& ch : s) if (!isalnum(uint8_t(ch))) ch = '_';
      return s;
    });

TEST(Draw, UndecodableTrackLeavesItsAreaAndBadBuffersAreRefused) {
  FactoryScope none(nullptr);  // the system has no decoder for it
  std::shared_ptr<Movie> m = open("mpeg4.mp4");
  ASSERT_TRUE(m);
  std::vector<uint8_t> buf(320 * 240 * 3, 0x5A);
  Renderer r(m);
  EXPECT_EQ(r.draw(0), paramErr);  // no buffer yet
  EXPECT_EQ(r.setBuffer(PixelBuffer{buf.data(), 320, 240, 100, PixelFormat::bgr24}), paramErr);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 320, 240, 960, PixelFormat::bgr24}), noErr);
  EXPECT_EQ(r.draw(0), noErr);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == 0x5A; }));
}
}  // namespace

#include <thread>

namespace {
TEST(Threads, DrawingAndExtractingOneMovieAtOnceGiveTheSingleThreadedResults) {
  std::shared_ptr<Movie> m = open("av2snd.mov");
  ASSERT_TRUE(m);
  const int w = m->box().width(), h = m->box().height();
  auto drawAll = [&](std::vector<uint8_t>& out) {
    std::vector<uint8_t> buf(size_t(w) * h * 3);
    Renderer r(m);
    r.setBuffer(PixelBuffer{buf.data(), w, h, w * 3, PixelFormat::bgr24});
    for (int64_t t = 0; t < m->duration(); t += m->timeScale() / 50) {
      r.draw(t);
      out.insert(out.end(), buf.begin(), buf.begin() + 999);
    }
  };
  auto extractAll = [&](std::vector<float>& out) {
    std::unique_ptr<Extractor> x;
    if (Extractor::create(m, x) != noErr) return;
    std::vector<float> l(777), r(777);
    void* p[2] = {l.data(), r.data()};
    uint32_t got = 0;
    bool done = false;
    while (!done && x->fill(p, 777, &got, &done) == noErr && got) out.insert(out.end(), l.begin(), l.begin() + got);
  };
  std::vector<uint8_t> pictures1, pictures2;
  std::vector<float> sound1, sound2;
  drawAll(pictures1);
  extractAll(sound1);
  std::thread a([&] { drawAll(pictures2); });
  std::thread b([&] { extractAll(sound2); });
  a.join();
  b.join();
  EXPECT_FALSE(pictures1.empty());
  EXPECT_FALSE(sound1.empty());
  EXPECT_EQ(pictures1, pictures2);
  EXPECT_EQ(sound1, sound2);
}
}  // namespace

namespace {
TEST(Draw, ForwardDecodesOnlyNewSamplesAndJumpsRestartAtTheSyncSample) {
  std::shared_ptr<Movie> m = open("rle24.mov");  // key frames every 10 samples
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  std::vector<uint8_t> buf(320 * 240 * 3);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 320, 240, 960, PixelFormat::bgr24}), noErr);
  // Frame by frame with GetTrackNextInterestingTime's stepping: every sample once.
  int64_t time = 0;
  uint64_t steps = 0;
  while (time >= 0) {
    ASSERT_EQ(r.draw(time), noErr);
    time = t.nextTrackTime(time, nextTimeMediaSample);
    ++steps;
  }
  EXPECT_EQ(steps, t.sampleCount());
  EXPECT_EQ(r.samplesDecoded(), t.sampleCount());
  ASSERT_EQ(r.draw(frameTime(*m, 13)), noErr);  // back: from sample 10
  EXPECT_EQ(r.samplesDecoded(), t.sampleCount() + 4);
  ASSERT_EQ(r.draw(frameTime(*m, 14)), noErr);  // forward by one
  EXPECT_EQ(r.samplesDecoded(), t.sampleCount() + 5);
  ASSERT_EQ(r.draw(frameTime(*m, 14) + 1), noErr);  // same sample: nothing to decode
  EXPECT_EQ(r.samplesDecoded(), t.sampleCount() + 5);
  ASSERT_EQ(r.draw(frameTime(*m, 22)), noErr);  // ahead past a key frame: from sample 20
  EXPECT_EQ(r.samplesDecoded(), t.sampleCount() + 8);
}
}  // namespace
