// Files as users meet them: movie fragments, files cut short, damaged movie headers, track
// matrices, and the reasons given for what the engine refuses.
#include <gtest/gtest.h>

#include <cstring>

#include "helpers.h"
#include "moviewriter.h"
#include "timemath.h"

using namespace qte;
namespace mw = moviewriter;

namespace {

std::vector<uint8_t> bytesOf(const std::string& name) { return run("cat '" + media(name) + "'"); }

std::shared_ptr<Movie> load(const std::vector<uint8_t>& b, Err* err, Err* trackErr = nullptr,
                            Reason* reason = nullptr) {
  dumpForCorpus(b);
  std::shared_ptr<Movie> m;
  *err = Movie::open(memorySource(b.data(), b.size()), m, trackErr, reason);
  return m;
}

// Where each 'moof' atom starts.
std::vector<size_t> moofsOf(const std::vector<uint8_t>& b) {
  std::vector<size_t> at;
  for (size_t i = 4; i + 4 < b.size(); ++i)
    if (std::memcmp(&b[i], "moof", 4) == 0) at.push_back(i - 4);
  return at;
}

std::vector<uint8_t> decodedSound(const Track& t) {
  std::unique_ptr<SoundDecoder> d;
  if (SoundDecoder::create(t, d) != noErr) return {};
  std::vector<uint8_t> pcm(size_t(d->totalFrames()) * d->format().bytesPerFrame());
  uint32_t got = 0;
  if (d->decode(0, uint32_t(d->totalFrames()), pcm.data(), &got) != noErr) return {};
  pcm.resize(size_t(got) * d->format().bytesPerFrame());
  return pcm;
}

// The fragmented copies hold the same samples, at the same times, as the movie written whole.
TEST(Fragments, HoldTheSamplesAndTimesOfTheUnfragmentedMovie) {
  std::shared_ptr<Movie> whole = open("whole.mov");
  ASSERT_TRUE(whole);
  for (const char* name : {"frag.mov", "fragmoof.mov", "fragnotfdt.mov"}) {
    SCOPED_TRACE(name);
    Err trackErr = 1;
    std::shared_ptr<Movie> m = open(name, &trackErr);
    ASSERT_TRUE(m);
    EXPECT_EQ(trackErr, noErr);
    ASSERT_EQ(m->trackCount(), whole->trackCount());
    EXPECT_EQ(m->duration() * whole->timeScale(), whole->duration() * m->timeScale());
    for (size_t k = 0; k < m->trackCount(); ++k) {
      const Track& a = *whole->track(k);
      const Track& b = *m->track(k);
      ASSERT_EQ(b.sampleCount(), a.sampleCount()) << "track " << k;
      EXPECT_EQ(b.info().mediaDuration, a.info().mediaDuration);
      if (b.info().kind == Kind::video) {
        for (uint64_t i = 0; i < a.sampleCount(); ++i) {
          EXPECT_EQ(b.sampleTime(i), a.sampleTime(i)) << "sample " << i;
          EXPECT_EQ(sampleBytes(b, i), sampleBytes(a, i)) << "sample " << i;
        }
        EXPECT_EQ(b.syncAtOrBefore(a.sampleCount() - 1), a.syncAtOrBefore(a.sampleCount() - 1));
        EXPECT_EQ(b.nextTrackTime(1000, nextTimeMediaSample, -0x10000), a.nextTrackTime(1000, nextTimeMediaSample, -0x10000));
      } else {
        const std::vector<uint8_t> pcm = decodedSound(a);
        ASSERT_FALSE(pcm.empty());
        EXPECT_TRUE(decodedSound(b) == pcm);
      }
    }
  }
}

// Fragments that disagree with the file or with themselves are cut off where they stop making
// sense: the samples before stay, nothing after a hole is taken.
TEST(Fragments, ContradictionsAreClippedNotTrusted) {
  std::vector<uint8_t> b = bytesOf("frag.mov");
  ASSERT_GT(b.size(), 10000u);
  const std::vector<size_t> moofs = moofsOf(b);
  ASSERT_GE(moofs.size(), 3u);
  Err e = 1;
  std::shared_ptr<Movie> whole = load(b, &e);
  ASSERT_TRUE(whole);
  const uint64_t frames = whole->track(0)->sampleCount();
  // The second fragment's video run points past the end of the file.
  std::vector<uint8_t> bad = b;
  for (size_t i = moofs[1]; i + 4 < moofs[2]; ++i) {
    if (std::memcmp(&bad[i], "tfhd", 4) == 0) {  // flags 0x39: the base data offset follows the id
      for (int k = 0; k < 8; ++k) bad[i + 12 + k] = 0x7f;
      break;
    }
  }
  std::shared_ptr<Movie> m = load(bad, &e);
  ASSERT_TRUE(m);
  const uint64_t first = m->track(0)->sampleCount();
  EXPECT_GT(first, 0u);
  EXPECT_LT(first, frames / 2);
  EXPECT_EQ(m->track(0)->info().duration, mulDivUp(m->track(0)->info().mediaDuration, m->timeScale(), m->track(0)->info().mediaTimeScale));
  // The track says why it stopped; the intact one says nothing.
  const Reason& closed = m->track(0)->info().closed;
  EXPECT_EQ(closed.kind, Reason::damaged);
  EXPECT_EQ(closed.track, 1u);
  EXPECT_EQ(closed.text(), "damaged: track 1: a fragment's samples run past the file or contradict its other samples");
  EXPECT_TRUE(whole->track(0)->info().closed.empty());
  // A fragment whose decode time goes back: its samples follow the ones before, as if it had none.
  bad = b;
  for (size_t i = moofs[2]; i + 4 < b.size(); ++i) {
    if (std::memcmp(&bad[i], "tfdt", 4) == 0) {
      std::memset(&bad[i + 8], 0, 8);
      break;
    }
  }
  m = load(bad, &e);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->track(0)->sampleCount(), frames);
  EXPECT_EQ(m->track(0)->sampleTime(frames - 1), whole->track(0)->sampleTime(frames - 1));
  // The first fragment decodes from 1 s (600 at the video's 600 a second): nothing plays
  // before, as an empty edit says.
  bad = b;
  for (size_t i = moofs[0]; i + 4 < moofs[1]; ++i) {
    if (std::memcmp(&bad[i], "tfdt", 4) == 0) {
      bad[i + 14] = 600 >> 8;
      bad[i + 15] = 600 & 255;
      break;
    }
  }
  m = load(bad, &e);
  ASSERT_TRUE(m);
  const Track& late = *m->track(0);
  EXPECT_EQ(late.sampleCount(), frames);
  ASSERT_EQ(late.info().edits.size(), 2u);
  EXPECT_EQ(late.info().edits[0].mediaTime, -1);
  EXPECT_EQ(late.nextTrackTime(0, nextTimeMediaSample | nextTimeEdgeOK), int64_t(m->timeScale()));
  EXPECT_EQ(late.info().duration, whole->track(0)->info().duration + m->timeScale());
  EXPECT_EQ(m->duration(), late.info().duration);
}

// The first fragment's first video sample holds no bytes: the samples after it keep their own
// sizes and follow it in the file (a size of 0 was once taken for one all samples share).
TEST(Fragments, AFirstSampleOfNoBytesKeepsTheSizesThatFollow) {
  std::vector<uint8_t> b = bytesOf("frag.mov");
  size_t trun = 0;
  for (size_t i = 4; i + 24 < b.size() && !trun; ++i)
    if (std::memcmp(&b[i], "trun", 4) == 0) trun = i;
  ASSERT_NE(trun, 0u);
  ASSERT_EQ(b[trun + 6], 0x02) << "ffmpeg's runs list each sample's size";
  ASSERT_EQ(b[trun + 7], 0x05) << "after a data offset and the first sample's flags";
  const size_t sizes = trun + 20;  // the first size, then one a sample
  std::memset(&b[sizes], 0, 4);
  Err e = 1, trackErr = 1;
  std::shared_ptr<Movie> m = load(b, &e, &trackErr);
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  ASSERT_GT(t.sampleCount(), 3u);
  uint64_t off0 = 0, off = 0;
  uint32_t size = 1, desc = 0;
  ASSERT_EQ(t.sampleLocation(0, &off0, &size, &desc), noErr);
  EXPECT_EQ(size, 0u);
  uint64_t expectedAt = off0;
  for (uint64_t i = 1; i < 3; ++i) {
    ASSERT_EQ(t.sampleLocation(i, &off, &size, &desc), noErr);
    const uint8_t* listed = &b[sizes + 4 * i];
    EXPECT_EQ(size, uint32_t(listed[0]) << 24 | uint32_t(listed[1]) << 16 | uint32_t(listed[2]) << 8 | listed[3]);
    EXPECT_EQ(off, expectedAt) << i;
    expectedAt += size;
  }
}

// Cut short inside 'mdat', at the start of a video sample, and before 'mdat': every track keeps
// the samples that lie inside the file and lasts as long as they do; the movie as long as the
// longest of them.
TEST(Truncated, TracksKeepTheSamplesInsideTheFile) {
  std::shared_ptr<Movie> whole = open("whole.mov");
  ASSERT_TRUE(whole);
  for (const char* name : {"cutmdat.mov", "cutsample.mov", "headeronly.mov"}) {
    SCOPED_TRACE(name);
    const uint64_t size = bytesOf(name).size();
    Err trackErr = 1;
    std::shared_ptr<Movie> m = open(name, &trackErr);
    ASSERT_TRUE(m);
    EXPECT_EQ(trackErr, noErr);
    ASSERT_EQ(m->trackCount(), whole->trackCount());
    int64_t longest = 0;
    for (size_t k = 0; k < m->trackCount(); ++k) {
      const Track& a = *whole->track(k);
      const Track& t = *m->track(k);
      const uint64_t n = t.sampleCount();
      EXPECT_LT(n, a.sampleCount());
      EXPECT_EQ(t.info().descriptions.size(), a.info().descriptions.size()) << "the format is still known";
      uint64_t off = 0;
      uint32_t bytes = 0, desc = 0;
      if (n) {
        ASSERT_EQ(t.sampleLocation(n - 1, &off, &bytes, &desc), noErr);
        EXPECT_LE(off + bytes, size) << "the last kept sample lies inside";
        EXPECT_EQ(sampleBytes(t, n - 1), sampleBytes(a, n - 1));
      }
      // The first sample left out does not lie inside (for sound, its whole packet).
      ASSERT_EQ(a.sampleLocation(n, &off, &bytes, &desc), noErr);
      EXPECT_GT(off + bytes, size);
      EXPECT_EQ(t.info().mediaDuration, a.sampleTime(n));
      EXPECT_EQ(t.info().duration, mulDivUp(a.sampleTime(n), m->timeScale(), a.info().mediaTimeScale));
      longest = std::max(longest, t.info().duration);
      SampleRun run;
      EXPECT_EQ(t.locate(a.sampleTime(n), 0, 0, run), invalidTime) << "nothing past the kept samples";
    }
    EXPECT_EQ(m->duration(), longest);
  }
  std::shared_ptr<Movie> m = open("headeronly.mov");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->duration(), 0);
  EXPECT_EQ(m->box().width(), 160);
}

// Reads that fail partway (a failing disk, a share gone): from `from` on, every read fails.
class FailingSource final : public ByteSource {
 public:
  FailingSource(const std::vector<uint8_t>& b, uint64_t from) : whole_(memorySource(b.data(), b.size())), from_(from) {}
  uint64_t size() const override { return whole_->size(); }
  Err read(uint64_t off, void* dst, size_t n) const override {
    return off + n > from_ ? invalidMedia : whole_->read(off, dst, n);
  }

 private:
  std::shared_ptr<ByteSource> whole_;
  uint64_t from_;
};

TEST(Truncated, ReadsThatFailSayTheFileCannotBeRead) {
  // A fragment that cannot be read: the tracks keep the samples before it and say why they stop.
  const std::vector<uint8_t> b = bytesOf("frag.mov");
  const std::vector<size_t> moofs = moofsOf(b);
  ASSERT_GE(moofs.size(), 3u);
  std::shared_ptr<Movie> m;
  ASSERT_EQ(Movie::open(std::make_shared<FailingSource>(b, moofs[2] + 8), m, nullptr), noErr);
  std::shared_ptr<Movie> whole = open("frag.mov");
  ASSERT_TRUE(whole);
  EXPECT_LT(m->track(0)->sampleCount(), whole->track(0)->sampleCount());
  EXPECT_EQ(m->track(0)->info().closed.kind, Reason::unreadable);
  EXPECT_EQ(m->track(0)->info().closed.text(), "track 1: a fragment cannot be read");
  // Raw AMR read in blocks: a block that cannot be read refuses the file, saying so.
  const std::vector<uint8_t> amr = bytesOf("amrnb.amr");
  ASSERT_GT(amr.size(), 600u);
  Reason reason;
  EXPECT_EQ(Movie::open(std::make_shared<FailingSource>(amr, 500), m, nullptr, &reason), invalidMovie);
  EXPECT_EQ(reason.kind, Reason::unreadable);
  EXPECT_EQ(reason.text(), "the file cannot be read");
}

TEST(Truncated, AMovieHeaderCutShortStillFails) {
  std::vector<uint8_t> b = bytesOf("cutmoov.mov");
  Err e = noErr;
  Reason reason;
  EXPECT_FALSE(load(b, &e, nullptr, &reason));
  EXPECT_EQ(e, invalidMovie);
  EXPECT_EQ(reason.text(), "damaged: 'moov' runs past the end of the file");
  b.resize(b.size() / 2);  // the 'moov' gone with the rest
  EXPECT_FALSE(load(b, &e, nullptr, &reason));
  EXPECT_EQ(e, noMovieFound);
  EXPECT_EQ(reason.text(), "damaged: no 'moov' atom");
}

// A missing or damaged movie header, or a time scale of 0: the largest media time scale counts
// the movie and the tracks give its duration. A media time scale of 0 silences that track alone.
TEST(MovieHeader, DamagedHeadersFallBackToTheTracks) {
  mw::Movie mv;
  mv.timeScale = 1000;
  for (uint32_t scale : {600u, 2400u}) {
    mw::Track t;
    t.timeScale = scale;
    t.description = mw::videoDescription("raw ", 2, 2, 24);
    t.stts = {{3, scale / 2}};  // 1.5 s
    t.sizes = {12, 12, 12};
    t.chunks.push_back({mw::Bytes(36, 7), 3});
    t.width = t.height = 2;
    t.edits = {{500, -1}, {1500, 0}};  // in the header's scale, which is lost with it
    mv.tracks.push_back(t);
  }
  const mw::Bytes good = mw::write(mv);
  auto patched = [&](const char* atom, size_t at, const std::vector<uint8_t>& with) {
    mw::Bytes b = good;
    for (size_t i = 0; i + 8 < b.size(); ++i)
      if (std::memcmp(&b[i + 4], atom, 4) == 0) {
        std::memcpy(&b[i + at], with.data(), with.size());
        break;
      }
    return b;
  };
  // 20 bytes of 'mvhd' (no time scale), the rest of its 108 a 'free' atom.
  const std::vector<uint8_t> cut = {0, 0, 0, 20, 'm', 'v', 'h', 'd', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0, 0, 0, 88, 'f', 'r', 'e', 'e'};
  const struct {
    const char* what;
    mw::Bytes file;
  } cases[] = {
      {"renamed", patched("mvhd", 4, {'m', 'v', 'h', 'x'})},
      {"time scale 0", patched("mvhd", 20, {0, 0, 0, 0})},
      {"cut short", patched("mvhd", 0, cut)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Err e = 1, trackErr = 1;
    Reason why;
    std::shared_ptr<Movie> m = load(c.file, &e, &trackErr, &why);
    SCOPED_TRACE(why.text());
    ASSERT_TRUE(m);
    EXPECT_EQ(trackErr, noErr);
    ASSERT_EQ(m->trackCount(), 2u);
    EXPECT_EQ(m->timeScale(), 2400u);
    EXPECT_EQ(m->duration(), 3600);
    EXPECT_TRUE(m->track(0)->info().edits.empty());
    EXPECT_EQ(m->track(0)->nextTrackTime(0, nextTimeMediaSample), 1200);
  }
  // A fragmented movie whose header's name is damaged: the fragments give the durations.
  std::vector<uint8_t> frag = bytesOf("frag.mov");
  for (size_t i = 0; i + 8 < frag.size(); ++i)
    if (std::memcmp(&frag[i + 4], "mvhd", 4) == 0) {
      frag[i + 7] = 'x';
      break;
    }
  Err fe = 1;
  std::shared_ptr<Movie> fm = load(frag, &fe);
  ASSERT_TRUE(fm);
  ASSERT_EQ(fm->trackCount(), 2u);
  EXPECT_EQ(fm->timeScale(), 22050u) << "the sound's scale, the largest";
  EXPECT_EQ(fm->duration(), 2 * 22050);
  EXPECT_EQ(fm->track(0)->sampleCount(), 50u);
  EXPECT_EQ(fm->track(0)->nextTrackTime(22050, nextTimeMediaSample | nextTimeEdgeOK, -0x10000), 22050);

  // A media time scale of 0: that track keeps its format and plays nothing; the movie is fine.
  Err e = 1, trackErr = 1;
  std::shared_ptr<Movie> m = load(patched("mdhd", 20, {0, 0, 0, 0}), &e, &trackErr);
  ASSERT_TRUE(m);
  EXPECT_EQ(trackErr, noErr);
  ASSERT_EQ(m->trackCount(), 2u);
  const Track& zero = *m->track(0);
  EXPECT_EQ(zero.sampleCount(), 0u);
  EXPECT_EQ(zero.info().descriptions.size(), 1u);
  EXPECT_EQ(zero.nextTrackTime(0, nextTimeMediaSample | nextTimeEdgeOK), -1);
  EXPECT_EQ(m->track(1)->sampleCount(), 3u);
  Err ge = 1;
  std::shared_ptr<Movie> intact = load(good, &ge);
  ASSERT_TRUE(intact);
  EXPECT_EQ(m->timeScale(), intact->timeScale());
  EXPECT_EQ(m->duration(), intact->duration());
  std::vector<uint8_t> buf(2 * 2 * 4);
  Renderer r(m);
  ASSERT_EQ(r.setBuffer(PixelBuffer{buf.data(), 2, 2, 8, PixelFormat::bgr0}), noErr);
  EXPECT_EQ(r.draw(600), noErr);
}

// A track whose media another file holds (its data reference lacks the self-reference flag)
// keeps its format and plays nothing; the movie opens without complaint.
TEST(ExternalData, ATrackWhoseMediaLiesElsewhereStaysSilent) {
  std::vector<uint8_t> b = bytesOf("upright.mov");
  size_t dref = 0;
  for (size_t i = 0; i + 24 < b.size() && !dref; ++i)
    if (std::memcmp(&b[i], "dref", 4) == 0) dref = i;
  ASSERT_NE(dref, 0u);
  ASSERT_EQ(b[dref + 23] & 1, 1) << "ffmpeg's movie keeps its media inside";
  b[dref + 23] = 0;
  Err e = 1, trackErr = 1;
  std::shared_ptr<Movie> m = load(b, &e, &trackErr);
  ASSERT_TRUE(m);
  EXPECT_EQ(trackErr, noErr);
  ASSERT_EQ(m->trackCount(), 1u);
  EXPECT_EQ(m->track(0)->sampleCount(), 0u);
  EXPECT_EQ(m->track(0)->info().descriptions[0].format, fourcc("rle "));
}

// A movie of one 2x2 'raw ' frame.
mw::Movie oneFrameMovie() {
  mw::Movie mv;
  mw::Track t;
  t.description = mw::videoDescription("raw ", 2, 2, 24);
  t.stts = {{1, 600}};
  t.sizes = {12};
  t.chunks.push_back({mw::Bytes(12, 1), 1});
  mv.tracks.push_back(t);
  return mv;
}

// A damaged table and a feature the engine lacks give different reasons naming the box.
TEST(Reasons, SeparateDamagedDataFromWhatIsNotSupported) {
  mw::Movie mv = oneFrameMovie();
  mw::Track t = mv.tracks[0];
  t.damageStsc = true;
  mv.tracks.push_back(t);
  Err e = 1, trackErr = noErr;
  Reason reason;
  ASSERT_TRUE(load(mw::write(mv), &e, &trackErr, &reason));
  EXPECT_EQ(trackErr, invalidTrack);
  EXPECT_EQ(reason.kind, Reason::damaged);
  EXPECT_EQ(reason.track, 2u);
  EXPECT_EQ(reason.text(), "damaged: track 2: 'stsc' first chunks do not increase from 1");

  mv.tracks.pop_back();
  mw::Bytes b = mw::write(mv);
  for (size_t i = 0; i + 8 < b.size(); ++i)
    if (std::memcmp(&b[i + 4], "mvhd", 4) == 0) std::memcpy(&b[i + 4], "cmov", 4);
  EXPECT_FALSE(load(b, &e, &trackErr, &reason));
  EXPECT_EQ(e, invalidMovie);
  EXPECT_EQ(reason.kind, Reason::unsupported);
  EXPECT_EQ(reason.track, 0u);
  EXPECT_EQ(reason.text().rfind("unsupported: 'cmov'", 0), 0u) << reason.text();
}

// Files of another kind, each as it begins: unsupported, not damaged. Files that begin like a
// movie and then break a rule stay damaged.
TEST(Reasons, OtherKindsOfFilesAreUnsupportedAndBrokenMoviesDamaged) {
  const std::string unsupported = "unsupported: not a QuickTime or MPEG-4 movie";
  Err e = 1;
  Reason reason;
  EXPECT_FALSE(load(bytesOf("raw.m4v"), &e, nullptr, &reason));  // ffmpeg's raw MPEG-4 part 2
  EXPECT_EQ(e, noMovieFound);
  EXPECT_EQ(reason.text(), unsupported);
  auto padded = [](std::vector<uint8_t> b) {
    b.resize(400, 0x5a);
    return b;
  };
  const std::vector<std::vector<uint8_t>> others = {
      padded({0, 0, 0, 1, 0x67, 0x64, 0, 0x1f, 0xac}),  // H.264 Annex B
      padded({0, 0, 1, 0xba, 0x44, 0, 4, 0, 4, 1}),    // MPEG program stream
      padded({0x47, 0x40, 0, 0x10, 0, 0, 0xb0, 0x0d}),  // MPEG transport stream
      padded({'R', 'I', 'F', 'F', 0x24, 0x08, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}),
      padded({0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}),
      padded({'n', 'o', 't', ' ', 'a', ' ', 'm', 'o', 'v', 'i', 'e', '\n'}),  // text
  };
  for (size_t i = 0; i < others.size(); ++i) {
    EXPECT_FALSE(load(others[i], &e, nullptr, &reason)) << i;
    EXPECT_EQ(e, noMovieFound) << i;
    EXPECT_EQ(reason.text(), unsupported) << i;
  }
  const mw::Bytes whole = mw::write(oneFrameMovie());
  mw::Bytes ftypFree(whole.begin(), whole.begin() + 20);  // 'ftyp', then an atom of nothing
  ftypFree.insert(ftypFree.end(), {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
  const std::vector<std::vector<uint8_t>> damaged = {
      mw::Bytes(whole.begin(), whole.begin() + 40),  // cut inside 'mdat'
      mw::Bytes(whole.begin() + 20, whole.begin() + 30),  // 'mdat' first, cut inside it
      ftypFree,
      mw::Bytes(64, 0),  // a movie whose start was lost
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    EXPECT_FALSE(load(damaged[i], &e, nullptr, &reason)) << i;
    EXPECT_EQ(e, noMovieFound) << i;
    EXPECT_EQ(reason.kind, Reason::damaged) << i << ": " << reason.text();
  }
}

// Raw AMR files, narrow- and wide-band (the latter as .awb and as .amr): one sound track of
// 20 ms frames whose sizes are ffmpeg's, each frame type's own; no decoder takes them, so they
// are silent. Several channels in one file are refused as unsupported.
TEST(RawAmr, OpensWithTheFramesFfprobeSees) {
  struct Case {
    const char* file;
    OSType format;
    uint32_t rate;
  };
  for (const Case& c : {Case{"amrnb.amr", fourcc("samr"), 8000}, Case{"amrwb.awb", fourcc("sawb"), 16000},
                        Case{"amrwb.amr", fourcc("sawb"), 16000}}) {
    SCOPED_TRACE(c.file);
    std::shared_ptr<Movie> m = open(c.file);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->brand(), fourcc("amr "));
    ASSERT_EQ(m->trackCount(), 1u);
    const Track& t = *m->track(0);
    EXPECT_EQ(t.info().kind, Kind::sound);
    EXPECT_EQ(t.info().descriptions[0].format, c.format);
    EXPECT_EQ(t.info().descriptions[0].sampleRate, c.rate);
    EXPECT_EQ(t.info().mediaTimeScale, c.rate);
    const std::vector<std::string> packets = lines(ffprobe(media(c.file), "packet=size,duration"));
    ASSERT_GT(packets.size(), 40u);
    ASSERT_EQ(t.sampleCount(), packets.size());
    int64_t duration = 0;
    for (uint64_t i = 0; i < packets.size(); ++i) {
      SampleRun run;
      ASSERT_EQ(t.locate(t.sampleTime(i), 1, 0, run), noErr) << i;
      EXPECT_EQ(std::to_string(run.bytes), field(packets[i], "size")) << i;
      EXPECT_EQ(std::to_string(run.durationEach), field(packets[i], "duration")) << i;
      duration += std::stoll(field(packets[i], "duration"));
    }
    EXPECT_EQ(t.info().mediaDuration, duration);
    EXPECT_EQ(m->duration(), duration * m->timeScale() / c.rate);
    // Configured for a decoder: the decoder library has AMR.
    std::unique_ptr<SoundDecoder> d;
    EXPECT_EQ(SoundDecoder::create(t, d), noErr);
  }
  for (const char* file : {"amrmc.amr", "amrwbmc.awb"}) {
    std::shared_ptr<Movie> m;
    Reason reason;
    EXPECT_EQ(Movie::openFile(media(file), m, nullptr, &reason), invalidMovie) << file;
    EXPECT_EQ(reason.text(), "unsupported: multi-channel raw AMR") << file;
  }
}

// A mirrored track and a scaled one: drawn as ffmpeg's autorotation shows the mirror, and the
// scaled box twice the size with every pixel doubled.
TEST(Matrix, MirrorAndScaleTransformTheBoxAndTheFrame) {
  std::shared_ptr<Movie> src = open("upright.mov");
  ASSERT_TRUE(src);
  const Track& st = *src->track(0);
  mw::Track t;
  t.description.assign(st.info().descriptions[0].stored.begin(), st.info().descriptions[0].stored.end());
  t.stts = {{1, 600}};
  t.sync = {};
  mw::Chunk c;
  c.data = sampleBytes(st, 0);
  t.sizes = {uint32_t(c.data.size())};
  t.chunks.push_back(c);
  t.width = 96, t.height = 64;
  // The movie's first frame as bgr0, the whole movie box (empty when it cannot be drawn).
  auto drawn = [](const std::shared_ptr<Movie>& m) {
    const int w = m->box().width(), h = m->box().height();
    std::vector<uint8_t> b(size_t(w) * h * 4, 0xEE);
    Renderer r(m);
    if (r.setBuffer(PixelBuffer{b.data(), w, h, w * 4, PixelFormat::bgr0}) || r.draw(0)) b.clear();
    return b;
  };
  const std::vector<uint8_t> upright = drawn(src);
  ASSERT_EQ(upright.size(), 96u * 64 * 4);
  auto px = [](const std::vector<uint8_t>& b, int w, int x, int y) {
    uint32_t v;
    std::memcpy(&v, &b[(size_t(y) * w + x) * 4], 4);
    return v;
  };
  // Mirror: x' = 96 - x.
  t.matrix = {-0x10000, 0, 0, 0, 0x10000, 0, 96 << 16, 0, 0x40000000};
  mw::Movie mv;
  mv.tracks.push_back(t);
  const mw::Bytes mirror = mw::write(mv);
  const std::string path = media("mirror-test.mov");
  ASSERT_TRUE(mw::save(path, mirror));
  Err e = 1;
  std::shared_ptr<Movie> m = load(mirror, &e);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->box().width(), 96);
  EXPECT_EQ(m->box().height(), 64);
  const std::vector<uint8_t> buf = drawn(m);
  const std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt bgr0 -");
  ASSERT_EQ(ref.size(), buf.size());
  size_t diff = 0;
  for (size_t i = 0; i < buf.size(); ++i) diff += (i % 4 != 3 && buf[i] != ref[i]);
  EXPECT_EQ(diff, 0u);
  EXPECT_EQ(px(buf, 96, 0, 10), px(upright, 96, 95, 10));

  // Twice the size, placed at (4, 2).
  mv.tracks[0].matrix = {0x20000, 0, 0, 0, 0x20000, 0, 4 << 16, 2 << 16, 0x40000000};
  m = load(mw::write(mv), &e);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->box().left, 4);
  EXPECT_EQ(m->box().top, 2);
  EXPECT_EQ(m->box().width(), 192);
  EXPECT_EQ(m->box().height(), 128);
  const std::vector<uint8_t> big = drawn(m);
  ASSERT_EQ(big.size(), 192u * 128 * 4);
  for (int y = 0; y < 128; y += 7)
    for (int x = 0; x < 192; x += 5) ASSERT_EQ(px(big, 192, x, y), px(upright, 96, x / 2, y / 2)) << x << "," << y;
}

// ffmpeg's stream copy from 1.35 s: the video's edit starts inside a sample. The sample holding a
// movie time is found through the edit, not by the time scales alone.
TEST(EditList, BackwardSearchFindsTheSampleHoldingATime) {
  std::shared_ptr<Movie> m = open("edited.mov");
  ASSERT_TRUE(m);
  const Track& v = *m->track(0);
  ASSERT_EQ(v.info().kind, Kind::video);
  ASSERT_FALSE(v.info().edits.empty());
  const uint32_t vs = m->timeScale();
  for (int64_t t : {int64_t(vs), int64_t(vs) * 3 / 2, int64_t(1)}) {
    int64_t media = 0;
    ASSERT_TRUE(v.movieToMedia(t, &media));
    uint64_t i = 0;
    ASSERT_TRUE(v.sampleAt(media, &i));
    const int64_t start = v.nextTrackTime(t, nextTimeMediaSample | nextTimeEdgeOK, -0x10000);
    ASSERT_GE(start, 0);
    EXPECT_LE(start, t);
    ASSERT_TRUE(v.movieToMedia(start, &media));
    uint64_t j = 0;
    ASSERT_TRUE(v.sampleAt(media, &j));
    EXPECT_EQ(j, i) << "at " << t;
    if (start > 0) {
      ASSERT_TRUE(v.movieToMedia(start - 1, &media));
      ASSERT_TRUE(v.sampleAt(media, &j));
      EXPECT_EQ(j + 1, i) << "one unit earlier is the sample before";
    }
  }
  EXPECT_EQ(v.nextTrackTime(0, nextTimeMediaSample | nextTimeEdgeOK, -0x10000), 0);
}

}  // namespace
