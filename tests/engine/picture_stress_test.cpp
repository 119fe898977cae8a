// The pictures' threads under load: jumps and paced requests on compressed video, every picture
// drawn checked, while another thread decodes sound. Its length is QTE_STRESS_SECONDS.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "helpers.h"
#include "libav.h"

using namespace qte;

namespace {

// How long the stress test runs: QTE_STRESS_SECONDS, 2 by default (the ThreadSanitizer tree's
// ctest asks for 60).
double stressSeconds() {
  const char* s = std::getenv("QTE_STRESS_SECONDS");
  const double v = s ? std::atof(s) : 0;
  return v > 0 ? v : 2;
}

// The pictures' threads under load: random jumps, then runs of requests paced slower than
// decoding (the helper fills its ring) or not at all (it empties), through closed groups (the
// side decoder) and B-frames, with the checking decoders (every picture checked) and the
// library's (every draw succeeds), while another thread decodes sound from random places.
TEST(PictureStress, JumpsAndPacedRequestsShowTheSampleDisplayedAtTheirTime) {
  const LibavFunctions* linked = linkedLibav();
  ASSERT_TRUE(linked);
  const std::unique_ptr<DecoderFactory> library = makeLibavFactory(*linked);
  ASSERT_TRUE(library);
  FactoryScope scope(checkingDecoderFactory());
  std::shared_ptr<Movie> sound = open("codec/aac-stereo-44.mov");
  ASSERT_TRUE(sound);
  std::atomic<bool> stop{false};
  std::atomic<int> soundErrors{0};
  std::thread soundThread([&] {
    std::unique_ptr<SoundDecoder> d;
    if (SoundDecoder::create(*sound->track(0), d) != noErr) {
      ++soundErrors;
      return;
    }
    std::vector<uint8_t> pcm(size_t(4096) * d->format().bytesPerFrame());
    std::mt19937 random(3);
    while (!stop.load()) {
      uint32_t got = 0;
      if (d->decode(random() % d->totalFrames(), 4096, pcm.data(), &got) != noErr) ++soundErrors;
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(stressSeconds());
  const char* movies[] = {"codec/h264-groups.mp4", "codec/h264-high.mp4"};
  std::mt19937 random(11);
  int rounds = 0;
  // Every decoder on every movie at least once, however long that takes.
  while (rounds < 4 || std::chrono::steady_clock::now() < until) {
    const bool checking = rounds % 4 < 2;
    FactoryScope decoders(checking ? checkingDecoderFactory() : library.get());
    std::shared_ptr<Movie> m = open(movies[rounds % 2]);
    ASSERT_TRUE(m);
    const Track* t = videoTrack(*m);
    Renderer r(m);
    Canvas c(m->box().width(), m->box().height());
    ASSERT_EQ(r.setBuffer(c.buf), noErr);
    const int64_t frame = m->timeScale() / 25;
    for (int burst = 0; burst < 8; ++burst) {
      int64_t time = int64_t(random() % uint32_t(m->duration()));
      const int steps = 1 + int(random() % 24);
      const int pauseMs = int(random() % 3) * 4;  // 0, 4 or 8 ms between frames
      for (int step = 0; step < steps && time < m->duration(); ++step, time += frame) {
        ASSERT_EQ(r.draw(time), noErr) << movies[rounds % 2] << " at " << time;
        if (checking) ASSERT_EQ(c.at(5, 5), expectedPixel(*t, time)) << movies[rounds % 2] << " at " << time;
        if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
      }
    }
    ++rounds;
  }
  stop = true;
  soundThread.join();
  EXPECT_EQ(soundErrors.load(), 0);
}

}  // namespace
