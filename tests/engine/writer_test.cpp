// Movies ffmpeg cannot make (written by the test movie writer) and damaged input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "helpers.h"
#include "moviewriter.h"

using namespace qte;
namespace mw = moviewriter;

namespace {
// A 'raw ' 24-bit track of one solid w x h frame at (x, y).
mw::Track solid(uint8_t r, uint8_t g, uint8_t b, uint32_t w, uint32_t h, int32_t x, int32_t y, int16_t layer) {
  mw::Track t;
  t.description = mw::videoDescription("raw ", uint16_t(w), uint16_t(h), 24);
  t.stts = {{1, 600}};
  t.width = w, t.height = h, t.x = x, t.y = y, t.layer = layer;
  mw::Chunk c;
  for (uint32_t i = 0; i < w * h; ++i) c.data.insert(c.data.end(), {r, g, b});
  t.sizes = {uint32_t(c.data.size())};
  t.chunks.push_back(c);
  return t;
}

std::shared_ptr<Movie> load(const mw::Bytes& b, Err* trackErr = nullptr, Err* err = nullptr) {
  dumpForCorpus(b);
  std::shared_ptr<Movie> m;
  Err e = Movie::open(memorySource(b.data(), b.size()), m, trackErr);
  if (err) *err = e;
  return e ? nullptr : m;
}

uint32_t pixelAt(const std::vector<uint8_t>& buf, int w, int x, int y) {
  const uint8_t* p = &buf[(size_t(y) * w + x) * 3];
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// Pictures of another size than their track (non-square pixels: a picture 2 wide in a track 4
// wide) are scaled to the track's box, bilinear, into every pixel format.
TEST(Writer, PicturesAreScaledToTheirTracksBox) {
  mw::Movie mv;
  mw::Track t;
  t.description = mw::videoDescription("raw ", 2, 1, 24);
  t.stts = {{1, 600}};
  t.width = 4, t.height = 2;
  mw::Chunk c;
  c.data = {0, 0, 0, 200, 100, 40};  // R, G, B of two pixels
  t.sizes = {6};
  t.chunks.push_back(c);
  mv.tracks.push_back(t);
  std::shared_ptr<Movie> m = load(mw::write(mv));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->box().width(), 4);
  EXPECT_EQ(m->box().height(), 2);
  // Pixel centres onto pixel centres: 0, a quarter, three quarters, all of the second pixel.
  const uint32_t want[4] = {0x000000, 0x32190A, 0x964B1E, 0xC86428};
  std::vector<uint8_t> buf(4 * 2 * 3, 0x33);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 4, 2, 12, PixelFormat::bgr24}), noErr);
  ASSERT_EQ(r.draw(0), noErr);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(pixelAt(buf, 4, x, y), want[x]) << x << "," << y;
  std::vector<uint8_t> b16(4 * 2 * 2, 0x33);
  Renderer r16(m);
  ASSERT_EQ(r16.setBuffer(PixelBuffer{b16.data(), 4, 2, 8, PixelFormat::rgb555}), noErr);
  ASSERT_EQ(r16.draw(0), noErr);
  for (int x = 0; x < 4; ++x) {
    const uint32_t v = uint32_t(b16[2 * x]) | uint32_t(b16[2 * x + 1]) << 8;
    EXPECT_EQ(v, ((want[x] >> 19) & 31) << 10 | ((want[x] >> 11) & 31) << 5 | ((want[x] >> 3) & 31)) << x;
  }
}

// A track whose chunks name other sample descriptions: each sample is located with its own
// entry and drawn by its size (the 1x1 one scaled to the track's 2x2).
TEST(Writer, ChunksTakeTheDescriptionTheyName) {
  mw::Track t = solid(200, 0, 0, 2, 2, 0, 0, 0);
  t.moreDescriptions = {mw::videoDescription("raw ", 1, 1, 24)};
  mw::Chunk two = t.chunks[0];  // red, then blue, of entry 1
  for (int i = 0; i < 4; ++i) two.data.insert(two.data.end(), {0, 0, 200});
  two.samples = 2;
  const mw::Chunk white = solid(255, 255, 255, 2, 2, 0, 0, 0).chunks[0];
  t.chunks = {two, mw::Chunk{{0, 200, 0}, 1, 2}, white};
  t.sizes = {12, 12, 3, 12};
  t.stts = {{4, 600}};
  mw::Movie mv;
  mv.tracks.push_back(t);
  std::shared_ptr<Movie> m = load(mw::write(mv));
  ASSERT_TRUE(m);
  const Track& tr = *m->track(0);
  ASSERT_EQ(tr.info().descriptions.size(), 2u);
  EXPECT_EQ(tr.info().descriptions[1].width, 1);
  const uint32_t wantDescription[4] = {1, 1, 2, 1}, wantPixel[4] = {0xC80000, 0x0000C8, 0x00C800, 0xFFFFFF};
  std::vector<uint8_t> buf(2 * 2 * 3, 0x33);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 2, 2, 6, PixelFormat::bgr24}), noErr);
  for (uint64_t i = 0; i < 4; ++i) {
    uint64_t offset = 0;
    uint32_t size = 0, description = 0;
    ASSERT_EQ(tr.sampleLocation(i, &offset, &size, &description), noErr);
    EXPECT_EQ(description, wantDescription[i]) << i;
    SampleRun run;
    ASSERT_EQ(tr.locate(int64_t(i) * 600, 0, 0, run), noErr);
    EXPECT_EQ(run.description, wantDescription[i]) << i;
    EXPECT_EQ(run.first + run.count, i == 0 ? 2u : i + 1) << "a run stays in its chunk";
    ASSERT_EQ(r.draw(int64_t(i) * 600), noErr);
    EXPECT_EQ(pixelAt(buf, 2, 0, 0), wantPixel[i]) << i;
    EXPECT_EQ(pixelAt(buf, 2, 1, 1), wantPixel[i]) << i;
  }
}

// A track matrix of near-zero scale (as a music store's encoder writes) or one that cannot be
// inverted is taken for the identity: the track keeps its size and is drawn, from its edit on.
TEST(Writer, DegenerateMatricesAreTheIdentity) {
  for (const std::vector<int32_t>& matrix : {std::vector<int32_t>{1, 0, 0, 0, 1, 0, 0, 0, 0x40000000},
                                             std::vector<int32_t>{0x10000, 0x10000, 0, 0x10000, 0x10000, 0, 0, 0, 0x40000000}}) {
    mw::Movie mv;
    mw::Track t = solid(200, 100, 40, 8, 6, 0, 0, 0);
    t.matrix = matrix;
    t.edits = {{59, -1}, {9, 0}};  // (movie units of 600) nothing, then the picture
    mv.tracks.push_back(t);
    std::shared_ptr<Movie> m = load(mw::write(mv));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->box().width(), 8);
    EXPECT_EQ(m->box().height(), 6);
    EXPECT_FALSE(m->track(0)->info().transformed);
    std::vector<uint8_t> buf(8 * 6 * 3, 0x33);
    Renderer r(m);
    ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 8, 6, 24, PixelFormat::bgr24}), noErr);
    ASSERT_EQ(r.draw(30), noErr);
    EXPECT_EQ(pixelAt(buf, 8, 7, 5), 0x333333u) << "nothing in the empty edit";
    ASSERT_EQ(r.draw(60), noErr);
    EXPECT_EQ(pixelAt(buf, 8, 7, 5), 0xC86428u);
  }
}

TEST(Writer, BoxesLayersAndUndecodableTracks) {
  mw::Movie mv;
  mv.tracks.push_back(solid(255, 0, 0, 8, 6, 2, 3, 0));   // red, behind
  mv.tracks.push_back(solid(0, 0, 255, 4, 4, 4, 4, -1));  // blue, layer -1: in front
  mv.tracks.push_back(solid(0, 255, 0, 2, 2, 2, 3, 0));   // green, same layer as red, later: over it
  mw::Track flash;
  flash.handler = "flsh";
  flash.description = {0, 0, 0, 16, 'f', 'l', 's', 'h', 0, 0, 0, 0, 0, 0, 0, 1};
  flash.stts = {{1, 600}};
  flash.sizes = {4};
  flash.chunks.push_back({{1, 2, 3, 4}, 1});
  flash.width = 3, flash.height = 2, flash.x = 11, flash.y = 3;
  mv.tracks.push_back(flash);
  mw::Track empty;
  empty.description = mw::videoDescription("raw ", 4, 4, 24);
  mv.tracks.push_back(empty);
  Err trackErr = 1;
  std::shared_ptr<Movie> m = load(mw::write(mv), &trackErr);
  ASSERT_TRUE(m);
  EXPECT_EQ(trackErr, noErr);
  ASSERT_EQ(m->trackCount(), 5u);
  EXPECT_EQ(m->track(3)->info().handler, fourcc("flsh"));
  EXPECT_EQ(m->track(4)->sampleCount(), 0u);
  const Rect box = m->box();  // union of red (2,3)-(10,9), blue (4,4)-(8,8), flash (11,3)-(14,5)
  EXPECT_EQ(box.left, 2);
  EXPECT_EQ(box.top, 3);
  EXPECT_EQ(box.right, 14);
  EXPECT_EQ(box.bottom, 9);
  const int w = box.width(), h = box.height();
  std::vector<uint8_t> buf(size_t(w) * h * 3, 0x11);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), w, h, w * 3, PixelFormat::bgr24}), noErr);
  ASSERT_EQ(r.draw(0), noErr);
  EXPECT_EQ(pixelAt(buf, w, 0, 0), 0x00ff00u);  // green over red
  EXPECT_EQ(pixelAt(buf, w, 3, 0), 0xff0000u);
  EXPECT_EQ(pixelAt(buf, w, 2, 1), 0x0000ffu);  // blue in front at its place
  EXPECT_EQ(pixelAt(buf, w, 7, 5), 0xff0000u);
  EXPECT_EQ(pixelAt(buf, w, 9, 0), 0x111111u);  // the flash track's area stays as it was
  EXPECT_EQ(pixelAt(buf, w, 10, 1), 0x111111u);
  // After the movie's end nothing is drawn over the last frame either.
  EXPECT_EQ(r.draw(100000), noErr);
}

TEST(Writer, SoundAtOddTimeScales) {
  for (uint32_t rate : {4000u, 6000u}) {
    mw::Movie mv;
    mw::Track t;
    t.handler = "soun";
    t.timeScale = rate;
    t.description = mw::soundDescription("twos", 1, 16, rate);
    t.stts = {{rate, 1}};
    t.constantSize = 2;
    for (int c = 0; c < 4; ++c) {
      mw::Chunk ch;
      ch.samples = rate / 4;
      for (uint32_t i = 0; i < ch.samples; ++i) {
        int16_t v = int16_t((c * ch.samples + i) % 3000);
        ch.data.push_back(uint8_t(v >> 8));
        ch.data.push_back(uint8_t(v));
      }
      t.chunks.push_back(ch);
    }
    mv.tracks.push_back(t);
    std::shared_ptr<Movie> m = load(mw::write(mv));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->track(0)->sampleCount(), rate);
    std::unique_ptr<SoundDecoder> d;
    ASSERT_EQ(SoundDecoder::create(*m->track(0), d), noErr);
    std::vector<int16_t> pcm(rate);
    uint32_t got = 0;
    ASSERT_EQ(d->decode(0, rate, pcm.data(), &got), noErr);
    ASSERT_EQ(got, rate);
    // Big-endian twos comes out as stored: swap to compare.
    for (uint32_t i = 0; i < rate; i += 97) {
      uint16_t u = uint16_t(pcm[i]);
      EXPECT_EQ(int16_t(uint16_t(u >> 8 | u << 8)), int16_t(i % 3000));
    }
    std::unique_ptr<Extractor> x;
    ASSERT_EQ(Extractor::create(m, x), noErr);
    EXPECT_EQ(x->format().sampleRate, rate);
    EXPECT_EQ(x->format().channels, 1u);
  }
}

TEST(Writer, DamagedTrackIsDroppedAndReported) {
  mw::Movie mv;
  mv.tracks.push_back(solid(1, 2, 3, 4, 4, 0, 0, 0));
  mw::Track bad = solid(4, 5, 6, 4, 4, 0, 0, 0);
  bad.damageStsc = true;
  mv.tracks.push_back(bad);
  Err trackErr = noErr;
  std::shared_ptr<Movie> m = load(mw::write(mv), &trackErr);
  ASSERT_TRUE(m);
  EXPECT_EQ(trackErr, invalidTrack);
  EXPECT_EQ(m->trackCount(), 1u);
}

TEST(Writer, BrokenFilesGiveErrorsNotCrashes) {
  mw::Movie mv;
  mv.tracks.push_back(solid(1, 2, 3, 4, 4, 0, 0, 0));
  mw::Bytes good = mw::write(mv);
  Err e = noErr;
  // No 'moov' at all.
  mw::Bytes noMoov(good.begin(), good.begin() + 20);
  EXPECT_FALSE(load(noMoov, nullptr, &e));
  EXPECT_EQ(e, noMovieFound);
  // A truncated 'moov'.
  mw::Bytes cut(good.begin(), good.end() - 30);
  EXPECT_FALSE(load(cut, nullptr, &e));
  EXPECT_EQ(e, invalidMovie);
}

// Every truncation and many random corruptions of real movies: open, read, draw, decode.
void exercise(const mw::Bytes& b) {
  std::shared_ptr<Movie> m = load(b);
  if (!m) return;
  std::vector<uint8_t> buf(64 * 64 * 4);
  Renderer r(m);
  r.setBuffer(PixelBuffer{buf.data(), 64, 64, 256, PixelFormat::bgr0});
  for (int64_t t = 0; t < 3; ++t) r.draw(t * m->timeScale() / 10);
  for (size_t i = 0; i < m->trackCount(); ++i) {
    const Track& t = *m->track(i);
    SampleRun run;
    if (t.locate(0, 0, 1 << 20, run) == noErr) {
      std::vector<uint8_t> s(size_t(run.bytes));
      t.read(run, s.data());
    }
    t.nextTrackTime(0, nextTimeMediaSample);
    std::unique_ptr<SoundDecoder> d;
    if (SoundDecoder::create(t, d) == noErr) {
      std::vector<uint8_t> pcm(4096 * 64);
      uint32_t got;
      d->decode(0, 1000, pcm.data(), &got);
    }
  }
  std::unique_ptr<Extractor> x;
  if (Extractor::create(m, x) == noErr) {
    std::vector<float> a(2048 * 32);
    void* p[32];
    for (int c = 0; c < 32; ++c) p[c] = a.data() + c * 2048;
    uint32_t got;
    bool done;
    x->fill(p, 2048, &got, &done);
  }
}

TEST(Writer, TruncatedAndCorruptedMoviesAreSafe) {
  for (const char* name : {"rle16.mov", "ima4.mov", "av2snd.mov"}) {
    auto whole = run("cat '" + media(name) + "'");
    ASSERT_GT(whole.size(), 1000u);
    size_t moov = 0;
    for (size_t i = 0; i + 8 < whole.size(); ++i)
      if (std::memcmp(&whole[i + 4], "moov", 4) == 0) moov = i;
    for (size_t len = 0; len < whole.size(); len += 1 + whole.size() / 50) exercise(mw::Bytes(whole.begin(), whole.begin() + len));
    std::mt19937 rng(11);
    for (int k = 0; k < 60; ++k) {
      mw::Bytes b = whole;
      for (int j = 0; j < 4; ++j) b[moov + rng() % (b.size() - moov)] = uint8_t(rng());
      exercise(b);
    }
  }
}
}  // namespace

namespace {
TEST(Writer, EditListsMapTimesAndInterestingTimes) {
  mw::Movie mv;
  mw::Track t = solid(9, 9, 9, 4, 4, 0, 0, 0);
  mw::Chunk c = t.chunks[0];
  t.chunks.clear();
  t.sizes.clear();
  for (int i = 0; i < 10; ++i) {
    t.chunks.push_back(c);
    t.sizes.push_back(uint32_t(c.data.size()));
  }
  t.stts = {{10, 60}};
  t.sync = {1, 6};
  t.edits = {{300, -1}, {600, 0}};  // half a second of nothing, then the media
  mv.tracks.push_back(t);
  std::shared_ptr<Movie> m = load(mw::write(mv));
  ASSERT_TRUE(m);
  const Track& tr = *m->track(0);
  int64_t media = 0;
  EXPECT_FALSE(tr.movieToMedia(100, &media));
  ASSERT_TRUE(tr.movieToMedia(420, &media));
  EXPECT_EQ(media, 120);
  EXPECT_EQ(tr.nextTrackTime(0, nextTimeMediaSample), 300);
  EXPECT_EQ(tr.nextTrackTime(300, nextTimeMediaSample), 360);
  EXPECT_EQ(tr.nextTrackTime(300, nextTimeMediaSample | nextTimeEdgeOK), 300);
  EXPECT_EQ(tr.nextTrackTime(890, nextTimeMediaSample), -1);
  EXPECT_EQ(tr.nextMediaTime(10, nextTimeSyncSample), 300);
  EXPECT_EQ(tr.syncAtOrBefore(8), 5u);
  const SampleDescription* d = nullptr;
  EXPECT_EQ(tr.description(1, &d), noErr);
  EXPECT_EQ(tr.description(2, &d), badDataRefIndex);
  EXPECT_EQ(tr.description(0, &d), badDataRefIndex);
  // Nothing is drawn in the empty edit.
  std::vector<uint8_t> buf(4 * 4 * 3, 0x33);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 4, 4, 12, PixelFormat::bgr24}), noErr);
  ASSERT_EQ(r.draw(100), noErr);
  EXPECT_EQ(buf[0], 0x33);
  ASSERT_EQ(r.draw(400), noErr);
  EXPECT_EQ(buf[0], 9);
}

// Where a track's frames are on the movie's timeline: in presentation order (B-frames reordered
// by their composition offsets), through an empty edit and an edit that starts inside a frame and
// ends inside another, with the edges the video pins ask for, in the movie's own scale and in a
// finer one.
TEST(Writer, TrackTimesFollowPresentationOrderAndEdits) {
  mw::Movie mv;
  mw::Track t = solid(9, 9, 9, 4, 4, 0, 0, 0);
  mw::Chunk c = t.chunks[0];
  t.chunks.assign(8, c);
  t.sizes.assign(8, uint32_t(c.data.size()));
  t.timeScale = 3000;
  // Decoded I P B B P B B P at 100 units each; shown at 1 2 3 4 5 6 7 8 hundred (I, B, B, P ...).
  t.stts = {{8, 100}};
  t.ctts = {{1, 100}, {1, 300}, {2, 0}, {1, 300}, {2, 0}, {1, 100}};
  // 100 movie units (of 600) of nothing, then media 150..650 (inside the first frame to inside
  // the sixth), then the rest from 650.
  t.edits = {{100, -1}, {100, 150}, {20, 650}};
  mv.tracks.push_back(t);
  std::shared_ptr<Movie> m = load(mw::write(mv));
  ASSERT_TRUE(m);
  const Track& tr = *m->track(0);
  const uint32_t kSample = nextTimeMediaSample, kEdge = nextTimeEdgeOK, kEdit = nextTimeTrackEdit;
  // Frames start (in media) at 100 200 300 ... 800; through the edit (media 150 at movie 100, 5
  // media units a movie unit) at movie 100 (the frame begun before the edit), 110, 130, 150, 170,
  // 190; the third edit shows media 650..750 from 200: 200 (frame 600..700 begun), 210.
  const std::vector<int64_t> starts = {100, 110, 130, 150, 170, 190, 200, 210};
  int64_t time = -1;
  std::vector<int64_t> got;
  for (time = tr.nextTrackTime(0, kSample | kEdge); time >= 0; time = tr.nextTrackTime(time, kSample))
    got.push_back(time);
  EXPECT_EQ(got, starts);
  // The frame shown at a time, and none in the empty edit or past the samples.
  EXPECT_EQ(tr.nextTrackTime(50, kSample | kEdge, -0x10000), -1);
  EXPECT_EQ(tr.nextTrackTime(100, kSample | kEdge, -0x10000), 100);
  EXPECT_EQ(tr.nextTrackTime(129, kSample | kEdge, -0x10000), 110);
  EXPECT_EQ(tr.nextTrackTime(130, kSample | kEdge, -0x10000), 130);
  EXPECT_EQ(tr.nextTrackTime(130, kSample, -0x10000), 110);
  EXPECT_EQ(tr.nextTrackTime(205, kSample | kEdge, -0x10000), 200);
  EXPECT_EQ(tr.nextTrackTime(250, kSample | kEdge, -0x10000), -1) << "past the last edit";
  // With the edits' edges: the empty edit's end, each edit's end, where the samples run out.
  got.clear();
  for (time = tr.nextTrackTime(0, kEdit | kEdge); time >= 0; time = tr.nextTrackTime(time, kEdit))
    got.push_back(time);
  EXPECT_EQ(got, (std::vector<int64_t>{0, 100, 200, 220}));
  EXPECT_EQ(tr.nextTrackTime(190, kSample | kEdit), 200);
  EXPECT_EQ(tr.nextTrackTime(219, kSample | kEdit), 220);
  EXPECT_EQ(tr.nextTrackTime(230, kSample | kEdit), -1) << "nothing after the last edit";
  // In a movie scale five times finer, the same times five times larger.
  got.clear();
  for (time = tr.nextTrackTime(0, kSample | kEdge, 0x10000, 3000); time >= 0;
       time = tr.nextTrackTime(time, kSample, 0x10000, 3000))
    got.push_back(time);
  std::vector<int64_t> fine;
  for (int64_t s : starts) fine.push_back(s * 5);
  EXPECT_EQ(got, fine);
  // Drawing at those times shows those frames: each frame once, as the pins draw them.
  std::vector<uint8_t> buf(4 * 4 * 3, 0x33);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 4, 4, 12, PixelFormat::bgr24}), noErr);
  const uint64_t before = r.samplesDecoded();
  for (int64_t s : fine) ASSERT_EQ(r.draw(s, 3000), noErr);
  EXPECT_EQ(buf[0], 9);
  EXPECT_GT(r.samplesDecoded(), before);
}

TEST(Writer, FrameCountedIma4CountsWholePacketsAndDecodesLikeFfmpeg) {
  // The packets of ffmpeg's ima4 file re-written the classic way: one sample per frame.
  std::shared_ptr<Movie> src = open("ima4.mov");
  ASSERT_TRUE(src);
  const Track& st = *src->track(0);
  mw::Track t;
  t.handler = "soun";
  t.timeScale = 44100;
  t.description = mw::soundDescriptionV1("ima4", 2, 44100, 0, 64, 34, 68);
  t.constantSize = 1;
  uint64_t frames = 0;
  for (int64_t time = 0; time >= 0;) {
    SampleRun run;
    ASSERT_EQ(st.locate(time, 0, 0, run), noErr);
    mw::Chunk c;
    c.data.resize(size_t(run.bytes));
    ASSERT_EQ(st.read(run, c.data.data()), noErr);
    c.samples = uint32_t(run.count * 64);
    frames += c.samples;
    t.chunks.push_back(c);
    time = st.nextMediaTime(run.time + int64_t(run.count) * 64 - 1, nextTimeMediaSample);
  }
  t.stts = {{uint32_t(frames), 1}};
  mw::Movie mv;
  mv.timeScale = 44100;
  mv.tracks.push_back(t);
  std::shared_ptr<Movie> m = load(mw::write(mv));
  ASSERT_TRUE(m);
  const Track& tr = *m->track(0);
  EXPECT_EQ(tr.sampleCount(), frames);
  SampleRun run;
  ASSERT_EQ(tr.locate(100, 200, 0, run), noErr);  // starts at its packet, whole packets
  EXPECT_EQ(run.first, 64u);
  EXPECT_EQ(run.count, 192u);
  EXPECT_EQ(run.bytes, 3u * 68);
  EXPECT_EQ(run.durationEach, 1);
  EXPECT_EQ(tr.locate(0, 0, 67, run), maxSizeToGrowTooSmall);
  ASSERT_EQ(tr.locate(0, 0, 68 * 5 + 10, run), noErr);
  EXPECT_EQ(run.count, 5u * 64);

  std::vector<int16_t> a(size_t(frames) * 2), b(size_t(frames) * 2);
  for (auto [track, out] : {std::pair<const Track*, int16_t*>{&st, a.data()}, {&tr, b.data()}}) {
    std::unique_ptr<SoundDecoder> d;
    ASSERT_EQ(SoundDecoder::create(*track, d), noErr);
    ASSERT_EQ(d->totalFrames(), frames);
    uint32_t got = 0;
    ASSERT_EQ(d->decode(0, uint32_t(frames), out, &got), noErr);
    EXPECT_EQ(got, frames);
  }
  EXPECT_EQ(a, b);
}

TEST(Writer, RawAmrOpensAsOneSoundTrack) {
  mw::Bytes amr = {'#', '!', 'A', 'M', 'R', '\n'};
  for (int i = 0; i < 50; ++i) {
    amr.push_back(0x3C);  // 12.2 kbit/s: 31 bytes follow
    amr.insert(amr.end(), 31, uint8_t(i));
  }
  std::shared_ptr<Movie> m = load(amr);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->trackCount(), 1u);
  const Track& t = *m->track(0);
  EXPECT_EQ(t.info().kind, Kind::sound);
  EXPECT_EQ(t.info().descriptions[0].format, fourcc("samr"));
  EXPECT_EQ(t.info().mediaTimeScale, 8000u);
  EXPECT_EQ(t.sampleCount(), 50u);
  EXPECT_EQ(t.nextMediaTime(0, nextTimeMediaSample), 160);
  SampleRun run;
  ASSERT_EQ(t.locate(160 * 3, 1, 0, run), noErr);
  EXPECT_EQ(run.bytes, 32u);
  EXPECT_EQ(run.offset, 6u + 3 * 32);
}
}  // namespace

namespace {
TEST(Writer, Version2LpcmAbove65535Hz) {
  mw::Movie mv;
  mw::Track t;
  t.handler = "soun";
  t.timeScale = 96000;
  t.description = mw::soundDescriptionV2(2, 96000.0, 32, 1 | 8);  // float, packed, little-endian
  t.stts = {{960, 1}};
  t.constantSize = 8;
  mw::Chunk c;
  c.samples = 960;
  for (int i = 0; i < 960 * 2; ++i) {
    float v = float(i) / 2048;
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    c.data.insert(c.data.end(), b, b + 4);
  }
  t.chunks.push_back(c);
  mv.tracks.push_back(t);
  std::shared_ptr<Movie> m = load(mw::write(mv));
  ASSERT_TRUE(m);
  const SampleDescription& d = m->track(0)->info().descriptions[0];
  EXPECT_EQ(d.soundVersion, 2);
  EXPECT_EQ(d.sampleRate, 96000.0);
  EXPECT_EQ(d.channels, 2);
  AudioFormat f;
  uint32_t bits = 0;
  ASSERT_EQ(decodedFormat(d, &f, &bits), noErr);
  EXPECT_TRUE(f.isFloat);
  EXPECT_FALSE(f.bigEndian);
  EXPECT_EQ(bits, 32u);
  std::unique_ptr<SoundDecoder> dec;
  ASSERT_EQ(SoundDecoder::create(*m->track(0), dec), noErr);
  std::vector<float> pcm(960 * 2);
  uint32_t got = 0;
  ASSERT_EQ(dec->decode(0, 960, pcm.data(), &got), noErr);
  ASSERT_EQ(got, 960u);
  EXPECT_EQ(0, std::memcmp(pcm.data(), c.data.data(), c.data.size()));
  std::unique_ptr<Extractor> x;
  ASSERT_EQ(Extractor::create(m, x), noErr);
  EXPECT_EQ(x->format().sampleRate, 96000.0);
}
}  // namespace

namespace {
// An 'mp4a' entry whose configuration cannot be used: the track opens and reports its format,
// its sound is silence, and nothing reads past the damaged descriptor.
TEST(Writer, UnusableAacConfigurationLeavesTheTrackOpenAndSilent) {
  mw::Movie m;
  mw::Track t;
  t.handler = "soun";
  t.timeScale = 44100;
  mw::Bytes d = mw::soundDescription("mp4a", 2, 16, 44100);
  // ES_Descriptor (tag 3) claiming 200 bytes where 9 follow; then a well-formed one whose
  // AudioSpecificConfig names no sampling rate at all (index 15 without the 24-bit escape).
  const mw::Bytes bad = {0, 0, 0, 17, 'e', 's', 'd', 's', 0, 0, 0, 0, 3, 200, 0, 1, 0, 4, 2, 0x40, 0x15};
  d.insert(d.end(), bad.begin(), bad.end());
  d[3] = uint8_t(d.size());
  t.description = d;
  t.stts = {{4, 1024}};
  t.constantSize = 0;
  t.sizes = {10, 12, 9, 11};
  mw::Chunk c;
  c.samples = 4;
  c.data.assign(42, 0x21);
  t.chunks.push_back(c);
  m.tracks.push_back(t);
  Err trackErr = noErr;
  std::shared_ptr<Movie> movie = load(mw::write(m), &trackErr);
  ASSERT_TRUE(movie);
  EXPECT_EQ(trackErr, noErr);
  const Track& track = *movie->track(0);
  EXPECT_EQ(track.info().descriptions[0].format, fourcc("mp4a"));
  AudioFormat f;
  EXPECT_EQ(decodedFormat(track.info().descriptions[0], &f, nullptr), invalidMedia);
  std::unique_ptr<SoundDecoder> dec;
  EXPECT_EQ(SoundDecoder::create(track, dec), invalidMedia);
  std::unique_ptr<Extractor> x;
  ASSERT_EQ(Extractor::create(movie, x), noErr);
  std::vector<float> l(4096, 1.f), r(4096, 1.f);
  void* planes[2] = {l.data(), r.data()};
  uint32_t got = 0;
  bool done = false;
  ASSERT_EQ(x->fill(planes, 4096, &got, &done), noErr);
  EXPECT_GT(got, 0u);
  for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(l[i], 0.f);
}
}  // namespace
