// Compressed video's container side through the checking decoders: the picture drawn at each
// time is the sample displayed then (composition offsets and edits applied), forward, after
// jumps, and to the end; a configuration that cannot be used leaves the track's area alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "helpers.h"
#include "moviewriter.h"

using namespace qte;

namespace {

class CheckingDecoders : public ::testing::Test {
 protected:
  FactoryScope decoders_{checkingDecoderFactory()};
};

TEST_F(CheckingDecoders, EveryFrameTimeShowsTheSampleDisplayedThen) {
  // libx264 with three B-frames: composition offsets and an edit that skips their delay.
  std::shared_ptr<Movie> m = open("codec/h264-high.mp4");
  ASSERT_TRUE(m);
  const Track* t = videoTrack(*m);
  ASSERT_TRUE(t);
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  const int64_t frame = m->timeScale() / 25;
  std::vector<uint64_t> shown;
  for (int64_t time = 0; time < m->duration(); time += frame) {
    ASSERT_EQ(r.draw(time), noErr) << time;
    EXPECT_EQ(c.at(5, 5), expectedPixel(*t, time)) << "at " << time;
    EXPECT_EQ(c.at(c.buf.width - 1, c.buf.height - 1), c.at(5, 5)) << "the picture covers the box";
    int64_t media = 0;
    uint64_t index = 0;
    if (t->movieToMedia(time, &media) && t->shownAt(media, &index)) shown.push_back(index);
  }
  // Every sample shows once, in an order other than decoding order.
  std::vector<uint64_t> sorted = shown;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(sorted.size(), t->sampleCount());
  EXPECT_NE(sorted, shown) << "no reordering in this movie: it tests nothing";
  EXPECT_EQ(r.samplesDecoded(), t->sampleCount()) << "forward play decodes each sample once";
}

// The samples decoded once the decode-ahead helper has stopped (no change for 60 ms).
uint64_t settled(const Renderer& r) {
  uint64_t n = r.samplesDecoded();
  for (int quiet = 0, tries = 0; quiet < 3 && tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t now = std::exchange(n, r.samplesDecoded());
    quiet = now == n ? quiet + 1 : 0;
  }
  return n;
}

TEST_F(CheckingDecoders, JumpsShowTheSampleDisplayedAtTheirTime) {
  std::shared_ptr<Movie> m = open("codec/h264-high.mp4");
  ASSERT_TRUE(m);
  const Track* t = videoTrack(*m);
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  std::mt19937 random(7);
  for (int i = 0; i < 40; ++i) {
    const int64_t time = int64_t(random() % uint32_t(m->duration()));
    ASSERT_EQ(r.draw(time), noErr);
    EXPECT_EQ(c.at(7, 3), expectedPixel(*t, time)) << "at " << time;
  }
  // Drawing the same time again decodes nothing, once the helper has filled its ring.
  const uint64_t decoded = r.samplesDecoded();
  ASSERT_EQ(r.draw(m->duration() / 2), noErr);
  ASSERT_EQ(r.draw(m->duration() / 2), noErr);
  ASSERT_EQ(r.draw(m->duration() / 2), noErr);
  EXPECT_LE(r.samplesDecoded() - decoded, t->sampleCount());
  const uint64_t after = settled(r);
  ASSERT_EQ(r.draw(m->duration() / 2), noErr);
  EXPECT_EQ(settled(r), after);
}

TEST_F(CheckingDecoders, AnUnusableConfigurationLeavesTheAreaAsItWas) {
  // An 'avc1' entry whose 'avcC' says a NAL length of 3, then a track without any decoder.
  moviewriter::Track v;
  v.handler = "vide";
  v.timeScale = 600;
  moviewriter::Bytes d = moviewriter::videoDescription("avc1", 32, 16, 24);
  const uint8_t avcC[] = {0, 0, 0, 15, 'a', 'v', 'c', 'C', 1, 0x64, 0, 0x1F, 0xFE, 0xE0, 0};
  d.insert(d.end(), avcC, avcC + sizeof avcC);
  d[3] = uint8_t(d.size());
  v.description = d;
  v.stts = {{3, 200}};
  v.constantSize = 8;
  v.width = 32;
  v.height = 16;
  v.chunks.push_back({moviewriter::Bytes(24, 0), 3});
  moviewriter::Movie movie;
  movie.tracks.push_back(v);
  const moviewriter::Bytes file = moviewriter::write(movie);
  std::shared_ptr<Movie> m;
  Err trackErr = noErr;
  ASSERT_EQ(Movie::open(memorySource(file.data(), file.size()), m, &trackErr), noErr);
  ASSERT_EQ(m->trackCount(), 1u) << "the track opens and reports its format";
  EXPECT_EQ(m->track(0)->info().descriptions[0].format, fourcc("avc1"));
  Renderer r(m);
  Canvas c(32, 16);
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  EXPECT_EQ(r.draw(0), noErr);
  EXPECT_EQ(r.draw(300), noErr);
  EXPECT_TRUE(std::all_of(c.px.begin(), c.px.end(), [](uint32_t p) { return p == 0x5A5A5A5A; }));

  FactoryScope noDecoders(nullptr);
  std::shared_ptr<Movie> h = open("codec/h264-base.mov");
  ASSERT_TRUE(h);
  Renderer none(h);
  Canvas c2(h->box().width(), h->box().height());
  ASSERT_EQ(none.setBuffer(c2.buf), noErr);
  EXPECT_EQ(none.draw(0), noErr);
  EXPECT_TRUE(std::all_of(c2.px.begin(), c2.px.end(), [](uint32_t p) { return p == 0x5A5A5A5A; }));
}

// The checking decoders, counted: how many the engine made.
class Counting final : public DecoderFactory {
 public:
  std::atomic<int> made{0};  // the side decoder is made on its own thread
  Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) override {
    ++made;
    return checkingDecoderFactory()->createVideo(codec, out);
  }
  Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) override {
    return checkingDecoderFactory()->createAudio(codec, out);
  }
};

// Closed groups of pictures are decoded by two decoders at once: every frame time still shows
// its sample, forward, after jumps into and out of the side decoder's groups, and to the end.
TEST_F(CheckingDecoders, TwoDecodersShareClosedGroupsAndShowEveryFrame) {
  Counting counting;
  FactoryScope scope(&counting);
  std::shared_ptr<Movie> m = open("codec/h264-groups.mp4");
  ASSERT_TRUE(m);
  const Track* t = videoTrack(*m);
  ASSERT_TRUE(t);
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  const int64_t frame = m->timeScale() / 25;
  for (int pass = 0; pass < 2; ++pass) {
    for (int64_t time = 0; time < m->duration(); time += frame) {
      ASSERT_EQ(r.draw(time), noErr) << time;
      ASSERT_EQ(c.at(5, 5), expectedPixel(*t, time)) << "pass " << pass << " at " << time;
    }
  }
  // Two passes (a jump back) and a group after another: the two decoders start again, no more
  // are made (each would cost threads and memory).
  EXPECT_EQ(counting.made.load(), 2) << "no second decoder took a group, or decoders were made again";
  std::mt19937 random(5);
  for (int i = 0; i < 60; ++i) {
    // Short steps forward, through group boundaries, and jumps anywhere.
    int64_t time = int64_t(random() % uint32_t(m->duration()));
    for (int step = 0; step < 8 && time < m->duration(); ++step, time += frame) {
      ASSERT_EQ(r.draw(time), noErr);
      ASSERT_EQ(c.at(3, 7), expectedPixel(*t, time)) << "jump " << i << " at " << time;
    }
  }
}

// Open groups (leading pictures refer to the group before) are decoded by one decoder.
TEST_F(CheckingDecoders, OpenGroupsStayWithOneDecoder) {
  Counting counting;
  FactoryScope scope(&counting);
  std::shared_ptr<Movie> m = open("codec/h264-opengop.mp4");
  ASSERT_TRUE(m);
  const Track* t = videoTrack(*m);
  ASSERT_TRUE(t);
  bool leading = false;  // a sample shown before the sync sample it follows in decoding order
  for (uint64_t i = 1; i < t->sampleCount(); ++i)
    leading = leading || t->displayTime(i) < t->displayTime(t->syncAtOrBefore(i));
  ASSERT_TRUE(leading) << "no open group in this movie: it tests nothing";
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  const int64_t frame = m->timeScale() / 25;
  for (int64_t time = 0; time < m->duration(); time += frame) {
    ASSERT_EQ(r.draw(time), noErr) << time;
    ASSERT_EQ(c.at(5, 5), expectedPixel(*t, time)) << time;
  }
  EXPECT_EQ(counting.made.load(), 1);
}

// Decoders that misbehave: one takes every sample and never gives a picture (Wine's transforms
// do so silently for some inputs), one refuses the samples of every third display time.
class Misbehaving final : public DecoderFactory {
 public:
  enum Kind { silent, refusing } kind = silent;
  std::atomic<uint64_t> sent{0};  // samples come from the caller and the helper thread
  Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) override {
    std::unique_ptr<VideoDecoder> inner;
    Err e = checkingDecoderFactory()->createVideo(codec, inner);
    if (e) return e;
    out.reset(new Decoder(this, std::move(inner)));
    return noErr;
  }
  Err createAudio(const AudioCodec&, std::unique_ptr<AudioDecoder>&) override { return cantFindHandler; }

 private:
  struct Decoder final : VideoDecoder {
    Decoder(Misbehaving* f, std::unique_ptr<VideoDecoder> d) : factory(f), inner(std::move(d)) {}
    Err send(const uint8_t* data, size_t size, int64_t time) override {
      ++factory->sent;
      // The first unit carries the parameter sets: without it nothing decodes.
      const bool first = std::exchange(firstUnit, false);
      if (factory->kind == refusing && !first && time % 3 == 1) return invalidMedia;
      return factory->kind == silent ? noErr : inner->send(data, size, time);
    }
    Err receive(Picture* out, bool* got) override { return inner->receive(out, got); }
    Err drain() override { return inner->drain(); }
    Misbehaving* factory;
    std::unique_ptr<VideoDecoder> inner;
    bool firstUnit = true;
  };
};

TEST_F(CheckingDecoders, ADecoderThatGivesNothingIsGivenUpNotWaitedFor) {
  Misbehaving silent;
  FactoryScope scope(&silent);
  std::shared_ptr<Movie> m = open("codec/h264-high.mp4");
  ASSERT_TRUE(m);
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  EXPECT_NE(r.draw(0), noErr);
  const uint64_t sent = silent.sent.load();
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, 64u) << "a bounded number of samples";
  // Given up: later frames send nothing more, and the area stays as it was.
  EXPECT_EQ(r.draw(m->duration() / 2), noErr);
  EXPECT_EQ(silent.sent.load(), sent);
  EXPECT_TRUE(std::all_of(c.px.begin(), c.px.end(), [](uint32_t p) { return p == 0x5A5A5A5A; }));
}

// Plays `movie` forward with decoders that refuse the samples of every third display time:
// of its *samples, *shown frame times show their own picture and *refused samples were refused
// (their pictures lost).
void playRefusing(const char* movie, int* samples, int* shown, int* refused) {
  Misbehaving refusing;
  refusing.kind = Misbehaving::refusing;
  FactoryScope scope(&refusing);
  std::shared_ptr<Movie> m = open(movie);
  ASSERT_TRUE(m);
  const Track* t = videoTrack(*m);
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  *samples = int(t->sampleCount());
  *shown = *refused = 0;
  const int64_t frame = m->timeScale() / 25;
  for (int64_t time = 0; time < m->duration(); time += frame) {
    ASSERT_EQ(r.draw(time), noErr) << time;
    *shown += c.at(5, 5) == expectedPixel(*t, time);
  }
  for (uint64_t i = 1; i < t->sampleCount(); ++i)
    *refused += (t->displayTime(i) - std::min<int64_t>(0, t->earliestDisplayTime())) % 3 == 1;
  ASSERT_GT(*refused, 0);
}

TEST_F(CheckingDecoders, ARefusedSampleCostsItsPictureOnly) {
  int samples = 0, shown = 0, refused = 0;
  ASSERT_NO_FATAL_FAILURE(playRefusing("codec/h264-high.mp4", &samples, &shown, &refused));
  // The refused pictures are lost (their times show the next picture); every other frame time
  // shows its own.
  EXPECT_EQ(shown, samples - refused);
}

// The same with two decoders: a picture the side decoder lost sends the main decoder back to
// its group's start, and every picture that was not refused still shows at its time (the
// decoders' first units are never refused, so a few more may show).
TEST_F(CheckingDecoders, ARefusedSampleInTheSideDecodersGroupCostsItsPictureOnly) {
  int samples = 0, shown = 0, refused = 0;
  ASSERT_NO_FATAL_FAILURE(playRefusing("codec/h264-groups.mp4", &samples, &shown, &refused));
  EXPECT_GE(shown, samples - refused);
  EXPECT_LT(shown, samples) << "nothing was refused";
}

}  // namespace
