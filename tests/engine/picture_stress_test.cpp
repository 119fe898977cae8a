// The pictures' threads under load: jumps and paced requests on compressed video, with the
// checking decoders and the library's, every picture drawn checked, while another thread
// decodes sound. One of the movies changes its sample description from group to group.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "helpers.h"
#include "libav.h"
#include "moviewriter.h"

using namespace qte;
namespace mw = moviewriter;

namespace {

constexpr uint32_t kFill = 0x5A5A5A5A;  // a Canvas before anything is drawn

// How long the stress test runs: QTE_STRESS_SECONDS, 2 by default (the ThreadSanitizer tree's
// ctest asks for 60).
double stressSeconds() {
  const char* s = std::getenv("QTE_STRESS_SECONDS");
  const double v = s ? std::atof(s) : 0;
  return v > 0 ? v : 2;
}

// A track whose sample description changes along it: two groups of h264-groups.mp4 (640x360,
// BT.601 by its size: description 1), two of h264-groups-709.mp4 (320x180, BT.709 full range:
// description 2), two of the first again, and so on, five changes. The first group of each pair leaves the
// second to the side decoder. Each group is a chunk naming its description; its pictures keep
// their order, and the groups follow one another in display order.
const char* const kChanges = "(h264-groups.mp4 and h264-groups-709.mp4 taking turns)";
constexpr int kRunsOfEach = 3;  // runs of two groups of each description

mw::Bytes writeDescriptionChanges() {
  constexpr uint32_t kFrame = 100;  // of a media time scale of 2500: 25 frames a second
  const char* sources[2] = {"codec/h264-groups.mp4", "codec/h264-groups-709.mp4"};
  std::shared_ptr<Movie> movies[2];
  std::vector<std::pair<uint64_t, uint64_t>> groups[2];  // [first, end): those of 8 samples or more
  mw::Track out;
  out.timeScale = 2500;
  for (int k = 0; k < 2; ++k) {
    movies[k] = open(sources[k]);
    const Track* t = movies[k] ? videoTrack(*movies[k]) : nullptr;
    if (!t) return {};
    (k ? out.moreDescriptions.emplace_back() : out.description) = t->info().descriptions[0].stored;
    for (uint64_t first = 0, end = 0; first < t->sampleCount(); first = end) {
      end = t->syncAtOrAfter(first + 1);
      if (end - first >= 8) groups[k].push_back({first, end});
    }
    if (groups[k].size() < 2 * kRunsOfEach) return {};
  }
  const Track& first = *videoTrack(*movies[0]);
  out.width = uint32_t(first.info().width), out.height = uint32_t(first.info().height);
  std::vector<int64_t> shift;  // each sample's place in display order less its place in decoding order
  for (size_t g = 0; g < 2 * kRunsOfEach; g += 2)
    for (int k = 0; k < 2; ++k)
      for (size_t h = g; h < g + 2; ++h) {
        const Track& t = *videoTrack(*movies[k]);
        const auto [from, end] = groups[k][h];
        out.sync.push_back(uint32_t(out.sizes.size() + 1));
        mw::Chunk chunk;
        chunk.samples = uint32_t(end - from);
        chunk.description = uint32_t(k + 1);
        for (uint64_t i = from; i < end; ++i) {
          int64_t rank = 0;
          for (uint64_t j = from; j < end; ++j) rank += t.displayTime(j) < t.displayTime(i);
          shift.push_back(rank - int64_t(i - from));
          const std::vector<uint8_t> sample = sampleBytes(t, i);
          chunk.data.insert(chunk.data.end(), sample.begin(), sample.end());
          out.sizes.push_back(uint32_t(sample.size()));
        }
        out.chunks.push_back(std::move(chunk));
      }
  // Composition offsets that are never negative, and an edit that starts at the first picture.
  const int64_t delay = -*std::min_element(shift.begin(), shift.end());
  for (int64_t s : shift) out.ctts.push_back({1, int32_t((s + delay) * kFrame)});
  const uint32_t n = uint32_t(out.sizes.size());
  out.stts = {{n, kFrame}};
  out.edits = {{int64_t(n) * kFrame * 600 / out.timeScale, delay * kFrame}};
  mw::Movie movie;
  movie.tracks.push_back(std::move(out));
  return mw::write(movie);
}

// A generated movie, or the one above.
std::shared_ptr<Movie> openMovie(const char* name) {
  if (name != kChanges) return open(name);
  static const mw::Bytes file = writeDescriptionChanges();
  std::shared_ptr<Movie> m;
  return !file.empty() && Movie::open(memorySource(file.data(), file.size()), m, nullptr) == noErr ? m : nullptr;
}

// The sample shown at movie time `time`, and its description (0 for none).
uint64_t shownAt(const Track& t, int64_t time, uint32_t* description) {
  int64_t media = 0;
  uint64_t index = 0, offset = 0;
  uint32_t size = 0;
  *description = 0;
  if (t.movieToMedia(time, &media) && t.shownAt(media, &index)) t.sampleLocation(index, &offset, &size, description);
  return index;
}

std::string hex(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%08X", v);
  return s;
}

size_t hashOf(const Canvas& c) {
  return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(c.px.data()), c.px.size() * 4));
}

// Another factory's decoders, counted by the width of their pictures.
class Counting final : public DecoderFactory {
 public:
  explicit Counting(DecoderFactory* inner) : inner_(inner) {}
  Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) override {
    std::lock_guard<std::mutex> lock(lock_);  // side decoders are made on their own threads
    ++made_[codec.width];
    return inner_->createVideo(codec, out);
  }
  Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) override {
    return inner_->createAudio(codec, out);
  }
  int made(uint32_t width) {
    std::lock_guard<std::mutex> lock(lock_);
    return made_[width];
  }

 private:
  DecoderFactory* inner_;
  std::mutex lock_;
  std::map<uint32_t, int> made_;
};

const std::unique_ptr<DecoderFactory>& library() {
  static const std::unique_ptr<DecoderFactory> factory = linkedLibav() ? makeLibavFactory(*linkedLibav()) : nullptr;
  return factory;
}

// Played forward, every frame time of the description-change movie shows its sample (checking
// decoders: its grey in its description's colour; the library's: a picture), and each
// description's runs of groups are shared by two decoders: more decoders are made for each than
// its runs' main decoders.
TEST(PictureStress, DescriptionChangesShowEveryFrameAndShareGroupsWithTheSideDecoder) {
  ASSERT_TRUE(library()) << "the linked library is not usable";
  for (DecoderFactory* kind : {checkingDecoderFactory(), library().get()}) {
    const bool checking = kind == checkingDecoderFactory();
    Counting counting(kind);
    FactoryScope scope(&counting);
    std::shared_ptr<Movie> m = openMovie(kChanges);
    ASSERT_TRUE(m) << "h264-groups.mp4 and h264-groups-709.mp4 need " << 2 * kRunsOfEach << " groups of 8 or more";
    const Track* t = videoTrack(*m);
    ASSERT_EQ(t->info().descriptions.size(), 2u);
    Renderer r(m);
    Canvas c(m->box().width(), m->box().height());
    ASSERT_EQ(r.setBuffer(c.buf), noErr);
    const int64_t frame = m->timeScale() / 25;
    int changes = 0;
    uint32_t last = 0;
    for (int64_t time = 0; time < m->duration(); time += frame) {
      uint32_t description = 0;
      shownAt(*t, time, &description);
      changes += last && description != last;
      last = description;
      std::fill(c.px.begin(), c.px.end(), kFill);
      ASSERT_EQ(r.draw(time), noErr) << time;
      if (checking)
        ASSERT_EQ(c.at(5, 5), expectedPixel(*t, time)) << "description " << description << " at " << time;
      ASSERT_NE(c.at(c.buf.width - 1, c.buf.height - 1), kFill) << "description " << description << " at " << time;
    }
    EXPECT_EQ(changes, 2 * kRunsOfEach - 1);
    for (uint32_t width : {640u, 320u})
      EXPECT_GT(counting.made(width), kRunsOfEach) << "no second decoder took a group " << width << " wide"
                                                   << (checking ? " (checking decoders)" : " (library)");
  }
}

// Decodes sound from random places on a thread of its own until finished.
class SoundLoad {
 public:
  explicit SoundLoad(const Track& track) : thread_([this, &track] { run(track); }) {}
  ~SoundLoad() { finish(); }
  int finish() {  // the decodes that failed
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return errors_;
  }

 private:
  void run(const Track& track) {
    std::unique_ptr<SoundDecoder> d;
    if (SoundDecoder::create(track, d) != noErr) {
      ++errors_;
      return;
    }
    std::vector<uint8_t> pcm(size_t(4096) * d->format().bytesPerFrame());
    std::mt19937 random(3);
    while (!stop_) {
      uint32_t got = 0;
      if (d->decode(random() % d->totalFrames(), 4096, pcm.data(), &got) != noErr) ++errors_;
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> errors_{0};
  std::thread thread_;  // last: it starts once the fields above are made
};

// The pictures of every sample of a movie as the library's decoders draw them in forward play,
// hashed, by sample.
void drawForward(const char* name, std::vector<size_t>& hashes) {
  std::shared_ptr<Movie> m = openMovie(name);
  ASSERT_TRUE(m) << name;
  const Track* t = videoTrack(*m);
  FactoryScope decoders(library().get());
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  hashes.assign(t->sampleCount(), 0);
  const int64_t frame = m->timeScale() / 25;
  for (int64_t time = 0; time < m->duration(); time += frame) {
    std::fill(c.px.begin(), c.px.end(), kFill);
    ASSERT_EQ(r.draw(time), noErr) << name << " at " << time;
    uint32_t description = 0;
    hashes[shownAt(*t, time, &description)] = hashOf(c);
  }
  std::vector<size_t> sorted = hashes;
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
      << name << ": two samples show the same picture, or one was not drawn: a wrong one could pass";
}

// The same, drawn once per movie: null when they cannot be (the test has failed).
const std::vector<size_t>* forwardPictures(const char* name) {
  static std::map<std::string, std::vector<size_t>> drawn;
  const auto known = drawn.find(name);
  if (known != drawn.end()) return &known->second;
  std::vector<size_t> hashes;
  drawForward(name, hashes);
  if (::testing::Test::HasFatalFailure()) return nullptr;
  return &(drawn[name] = std::move(hashes));
}

// A jump that the main decoder serves by decoding on, through a run of the other description
// and back, leaves the side decoder a group of that other description on the way: its pictures
// are still drawn by their own description (320x180 scaled to the box, BT.709 full range).
TEST(PictureStress, ASideGroupOfTheOtherDescriptionIsDrawnByItsOwn) {
  ASSERT_TRUE(library()) << "the linked library is not usable";
  const std::vector<size_t>* forward = forwardPictures(kChanges);
  ASSERT_TRUE(forward);
  for (DecoderFactory* kind : {checkingDecoderFactory(), library().get()}) {
    const bool checking = kind == checkingDecoderFactory();
    FactoryScope scope(kind);
    std::shared_ptr<Movie> m = openMovie(kChanges);
    ASSERT_TRUE(m);
    const Track* t = videoTrack(*m);
    Renderer r(m);
    Canvas c(m->box().width(), m->box().height());
    ASSERT_EQ(r.setBuffer(c.buf), noErr);
    // Frame 11 ends the first group (the side decoder has the second, the main decoder stops at
    // the other description's first run); frame 67 ends the second run of description 1, 68
    // begins the second run of description 2.
    const uint32_t wanted[3] = {1, 1, 2};
    int i = 0;
    for (const int64_t frame : {11, 67, 68}) {
      const int64_t time = frame * m->timeScale() / 25;
      uint32_t description = 0;
      const uint64_t sample = shownAt(*t, time, &description);
      ASSERT_EQ(description, wanted[i++]) << "frame " << frame << ": the movie is not as this test thinks";
      std::fill(c.px.begin(), c.px.end(), kFill);
      ASSERT_EQ(r.draw(time), noErr);
      const std::string where = std::string(checking ? "checking decoders" : "library") + ", frame " +
                                std::to_string(frame) + " (sample " + std::to_string(sample) + ", description " +
                                std::to_string(description) + ")";
      EXPECT_NE(c.at(c.buf.width - 1, c.buf.height - 1), kFill) << where << ": the picture does not cover the box";
      if (checking)
        EXPECT_EQ(c.at(5, 5), expectedPixel(*t, time)) << where;
      else
        EXPECT_EQ(hashOf(c), (*forward)[sample]) << where << ": not the picture forward play drew";
    }
  }
}

// A movie of the stress test and its pictures as the library draws them in forward play.
struct StressMovie {
  explicit StressMovie(const char* movie) : name(movie) {}
  const char* name;
  const std::vector<size_t>* forward = nullptr;
  std::unordered_map<size_t, uint64_t> sampleOf;  // the other way round: to say what was drawn instead
};

// Four random jumps, each followed by up to 24 frames paced 0, 4 or 8 ms apart, every drawn
// frame checked; the first few that are wrong are told, all counted in *failures.
void jumpAround(const StressMovie& movie, bool checking, std::mt19937& random, int* failures) {
  FactoryScope decoders(checking ? checkingDecoderFactory() : library().get());
  std::shared_ptr<Movie> m = openMovie(movie.name);
  ASSERT_TRUE(m);
  const Track* t = videoTrack(*m);
  Renderer r(m);
  Canvas c(m->box().width(), m->box().height());
  ASSERT_EQ(r.setBuffer(c.buf), noErr);
  const int64_t frame = m->timeScale() / 25;
  for (int burst = 0; burst < 4; ++burst) {
    int64_t time = int64_t(random() % uint32_t(m->duration()));
    const int steps = 1 + int(random() % 24);
    const int pauseMs = int(random() % 3) * 4;
    for (int step = 0; step < steps && time < m->duration(); ++step, time += frame) {
      uint32_t description = 0;
      const uint64_t sample = shownAt(*t, time, &description);
      std::fill(c.px.begin(), c.px.end(), kFill);
      const Err e = r.draw(time);
      const bool corner = c.at(c.buf.width - 1, c.buf.height - 1) != kFill;
      std::string wrong;
      if (e) {
        wrong = "error " + std::to_string(e);
      } else if (checking) {
        const uint32_t want = expectedPixel(*t, time);
        if (c.at(5, 5) != want || c.at(c.buf.width - 1, c.buf.height - 1) != want)
          wrong = "drew " + hex(c.at(5, 5)) + " (" + hex(c.at(c.buf.width - 1, c.buf.height - 1)) +
                  " in the far corner) for " + hex(want);
      } else if (const size_t drawn = hashOf(c); drawn != (*movie.forward)[sample]) {
        const auto other = movie.sampleOf.find(drawn);
        wrong = other != movie.sampleOf.end() ? "drew sample " + std::to_string(other->second) + "'s picture"
                : c.at(5, 5) == kFill && !corner ? "drew nothing"
                : !corner                        ? "drew a picture that does not cover the box"
                                                 : "drew no sample's picture";
      }
      if (!wrong.empty() && ++*failures <= 10)
        ADD_FAILURE() << movie.name << (checking ? ", checking decoders" : ", library") << ", at " << time
                      << " (sample " << sample << ", description " << description << "): " << wrong;
      if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
  }
}

// Random jumps, then runs of requests paced slower than decoding (the helper fills its ring) or
// not at all (it empties), through closed groups (the side decoder), B-frames and description
// changes, while another thread decodes sound. Every drawn picture is its sample's: with the
// checking decoders its grey, with the library's the very picture forward play drew.
TEST(PictureStress, JumpsAndPacedRequestsShowTheSampleDisplayedAtTheirTime) {
  ASSERT_TRUE(library()) << "the linked library is not usable";
  StressMovie movies[] = {StressMovie("codec/h264-groups.mp4"), StressMovie("codec/h264-high.mp4"), StressMovie(kChanges)};
  for (StressMovie& movie : movies) {
    movie.forward = forwardPictures(movie.name);
    ASSERT_TRUE(movie.forward);
    for (uint64_t s = 0; s < movie.forward->size(); ++s) movie.sampleOf[(*movie.forward)[s]] = s;
  }
  std::shared_ptr<Movie> sound = open("codec/aac-stereo-44.mov");
  ASSERT_TRUE(sound);
  SoundLoad load(*sound->track(0));
  const auto start = std::chrono::steady_clock::now();
  const auto until = start + std::chrono::duration<double>(stressSeconds());
  std::mt19937 random(11);
  int rounds = 0, failures = 0;
  // Each round: every movie with each kind of decoder. One round at least, however long it takes.
  do {
    for (const StressMovie& movie : movies)
      for (const bool checking : {true, false}) ASSERT_NO_FATAL_FAILURE(jumpAround(movie, checking, random, &failures));
    ++rounds;
  } while (std::chrono::steady_clock::now() < until);
  EXPECT_EQ(failures, 0) << "frame times drew wrongly (the first 10 are told above)";
  EXPECT_EQ(load.finish(), 0) << "sound decodes failed";
  std::printf("%d rounds of jumps (%zu movies, 2 kinds of decoder) in %.1f s\n", rounds, std::size(movies),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace
