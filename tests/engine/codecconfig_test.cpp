// Codec configurations against ffprobe on ffmpeg-made movies, H.264 samples rewritten to Annex B
// against ffmpeg's own decoding of the movie, and hand-made damaged configurations.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "codecconfig.h"
#include "description.h"
#include "helpers.h"
#include "moviewriter.h"

using namespace qte;

namespace {
std::string codecMedia(const std::string& name) { return "codec/" + name; }

const SampleDescription& firstDescription(const Movie& m) { return m.track(0)->info().descriptions.at(0); }

std::vector<uint8_t> extension(const SampleDescription& d, const char (&type)[5]) {
  uint32_t n = 0;
  const uint8_t* p = d.extension(fourcc(type), &n);
  return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

std::vector<uint8_t> sample(const Track& t, uint64_t i) {
  uint64_t off = 0;
  uint32_t size = 0, desc = 0;
  std::vector<uint8_t> s;
  if (t.sampleLocation(i, &off, &size, &desc)) return s;
  s.resize(size);
  SampleRun run;
  run.offset = off;
  run.bytes = size;
  if (t.read(run, s.data())) s.clear();
  return s;
}

uint16_t matrixCode(const std::string& ffName) {
  if (ffName == "bt709") return 1;
  if (ffName == "bt470bg") return 5;
  if (ffName == "smpte170m") return 6;
  return 2;
}

struct VideoCase {
  const char* file;
  YuvColour colour;  // what the track's pictures are in
};

class H264 : public ::testing::TestWithParam<VideoCase> {};

TEST_P(H264, ConfigurationEqualsFfprobe) {
  const VideoCase c = GetParam();
  std::shared_ptr<Movie> m = open(codecMedia(c.file));
  ASSERT_TRUE(m);
  const SampleDescription& d = firstDescription(*m);
  ASSERT_EQ(d.format, fourcc("avc1"));
  const std::vector<uint8_t> avcC = extension(d, "avcC");
  AvcConfig a;
  ASSERT_EQ(parseAvcConfig(avcC.data(), avcC.size(), &a), noErr) << (a.why ? a.why : "");
  const std::string p = ffprobe(media(codecMedia(c.file)),
                                "stream=width,height,profile,level,color_range,color_space");
  EXPECT_EQ(std::to_string(a.width), field(p, "width"));
  EXPECT_EQ(std::to_string(a.height), field(p, "height"));
  EXPECT_EQ(std::to_string(a.level), field(p, "level"));
  const std::string profile = a.profile == 100 ? "High"
                              : a.profile == 77 ? "Main"
                              : a.profile == 66 ? ((a.compatibility & 0x40) ? "Constrained Baseline" : "Baseline")
                                                : "?";
  EXPECT_EQ(profile, field(p, "profile"));
  EXPECT_EQ(a.nalLengthSize, 4);
  EXPECT_EQ(a.spsCount, 1u);
  EXPECT_EQ(a.ppsCount, 1u);
  EXPECT_EQ(a.codedWidth % 16, 0u);
  EXPECT_GE(a.codedHeight, a.height);
  // ffprobe reports the stream's own VUI where it has one.
  const std::string space = field(p, "color_space"), range = field(p, "color_range");
  EXPECT_EQ(a.vui.described, space != "unknown");
  if (a.vui.described) EXPECT_EQ(a.vui.matrix, matrixCode(space));
  EXPECT_EQ(a.vui.rangeKnown, range != "unknown");
  if (a.vui.rangeKnown) EXPECT_EQ(a.vui.fullRange, range == "pc");

  ColourInfo colr;
  const std::vector<uint8_t> colrBytes = extension(d, "colr");
  const bool hasColr = !colrBytes.empty();
  if (hasColr) ASSERT_EQ(parseColr(colrBytes.data(), colrBytes.size(), &colr), noErr);
  const YuvColour chosen = chooseColour(hasColr ? &colr : nullptr, &a.vui, a.height);
  EXPECT_EQ(chosen.matrix, c.colour.matrix);
  EXPECT_EQ(chosen.fullRange, c.colour.fullRange);
}

// The parameter sets and every sample, rewritten, decode to the frames ffmpeg decodes from the
// movie itself.
class H264Stream : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m = open(codecMedia(GetParam()));
    ASSERT_TRUE(m);
    const std::vector<uint8_t> avcC = extension(firstDescription(*m), "avcC");
    ASSERT_EQ(parseAvcConfig(avcC.data(), avcC.size(), &a), noErr);
  }
  std::shared_ptr<Movie> m;
  AvcConfig a;
};

// Writes `stream` to `raw` and expects ffmpeg to decode it, as a raw H.264 stream, to the frames
// it decodes from the movie itself.
void expectDecodesLikeTheMovie(const std::vector<uint8_t>& stream, const std::string& raw, const char* file,
                               uint64_t frames) {
  std::FILE* f = std::fopen(raw.c_str(), "wb");
  ASSERT_TRUE(f);
  ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), f), stream.size());
  std::fclose(f);
  const std::string decode = " -fps_mode passthrough -f framemd5 -hash md5 - | grep -v '^#' | cut -d, -f6";
  const std::vector<uint8_t> ours = run("ffmpeg -v error -f h264 -i '" + raw + "'" + decode);
  const std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + media(codecMedia(file)) + "'" + decode);
  EXPECT_EQ(lines(std::string(ours.begin(), ours.end())).size(), frames);
  EXPECT_EQ(std::string(ours.begin(), ours.end()), std::string(ref.begin(), ref.end()));
}

TEST_P(H264Stream, AnnexBDecodesLikeTheMovie) {
  const char* file = GetParam();
  const Track& t = *m->track(0);
  std::vector<uint8_t> stream = a.annexB, out;
  const size_t firstCapacity = 1 << 20;
  out.reserve(firstCapacity);
  const uint8_t* before = nullptr;
  for (uint64_t i = 0; i < t.sampleCount(); ++i) {
    const std::vector<uint8_t> s = sample(t, i);
    ASSERT_FALSE(s.empty());
    size_t n = 0;
    ASSERT_EQ(avcSampleToAnnexB(s.data(), s.size(), a.nalLengthSize, out, &n), noErr) << "sample " << i;
    ASSERT_EQ(n, s.size());  // 4-byte lengths become 4-byte start codes
    if (i && n <= firstCapacity) EXPECT_EQ(out.data(), before) << "the buffer moved without growing";
    before = out.data();
    stream.insert(stream.end(), out.begin(), out.begin() + ptrdiff_t(n));
  }
  const std::string raw = ::testing::TempDir() + "annexb-" + file + ".h264";
  expectDecodesLikeTheMovie(stream, raw, file, t.sampleCount());
  std::remove(raw.c_str());
}

// The parameter sets split at their start codes.
std::vector<std::vector<uint8_t>> nalUnits(const std::vector<uint8_t>& annexB) {
  std::vector<std::vector<uint8_t>> units;
  for (size_t i = 0; i + 4 <= annexB.size();) {
    size_t end = i + 4;
    while (end + 4 <= annexB.size() && !(annexB[end] == 0 && annexB[end + 1] == 0 && annexB[end + 2] == 0 && annexB[end + 3] == 1)) ++end;
    if (end + 4 > annexB.size()) end = annexB.size();
    units.emplace_back(annexB.begin() + ptrdiff_t(i) + 4, annexB.begin() + ptrdiff_t(end));
    i = end;
  }
  return units;
}

// The stream with its SPS said to be BT.601 limited and of square pixels decodes to the very same
// pictures, and says so, whatever the original VUI said (or did not say).
TEST_P(H264Stream, AnSpsRewrittenAsSquareBt601DecodesToTheSamePictures) {
  const char* file = GetParam();
  const Track& t = *m->track(0);
  std::vector<uint8_t> stream, out;
  static const uint8_t kStart[4] = {0, 0, 0, 1};
  for (const std::vector<uint8_t>& nal : nalUnits(a.annexB)) {
    std::vector<uint8_t> unit = nal;
    if ((nal[0] & 31) == 7) {
      ASSERT_EQ(avcSpsAsSquareBt601(nal.data(), nal.size(), unit), noErr);
      AvcConfig before, after;
      const std::vector<uint8_t> wrapped = [&] {
        std::vector<uint8_t> c = {1, a.profile, a.compatibility, a.level, 0xFF, 0xE1, uint8_t(unit.size() >> 8),
                                  uint8_t(unit.size()), 0};
        c.insert(c.begin() + 8, unit.begin(), unit.end());
        return c;
      }();
      ASSERT_EQ(parseAvcConfig(wrapped.data(), wrapped.size(), &after), noErr) << (after.why ? after.why : "");
      EXPECT_EQ(after.width, a.width);
      EXPECT_EQ(after.height, a.height);
      EXPECT_TRUE(after.vui.described && after.vui.rangeKnown && !after.vui.fullRange);
      EXPECT_EQ(after.vui.matrix, 6);
      std::vector<uint8_t> again;
      ASSERT_EQ(avcSpsAsSquareBt601(unit.data(), unit.size(), again), noErr);
      EXPECT_EQ(again, unit) << "an SPS that says BT.601 already is kept as it is";
    }
    stream.insert(stream.end(), kStart, kStart + 4);
    stream.insert(stream.end(), unit.begin(), unit.end());
  }
  for (uint64_t i = 0; i < t.sampleCount(); ++i) {
    const std::vector<uint8_t> s = sample(t, i);
    size_t n = 0;
    ASSERT_EQ(avcSampleToAnnexB(s.data(), s.size(), a.nalLengthSize, out, &n), noErr);
    stream.insert(stream.end(), out.begin(), out.begin() + ptrdiff_t(n));
  }
  const std::string raw = ::testing::TempDir() + "bt601-" + file + ".h264";
  expectDecodesLikeTheMovie(stream, raw, file, t.sampleCount());
  const std::string p = ffprobe(raw, "stream=color_space,color_range,color_primaries");
  EXPECT_EQ(field(p, "color_space"), "smpte170m");
  EXPECT_EQ(field(p, "color_primaries"), "smpte170m");
  EXPECT_EQ(field(p, "color_range"), "tv");
  const std::string sar = field(ffprobe(raw, "stream=sample_aspect_ratio"), "sample_aspect_ratio");
  EXPECT_TRUE(sar == "N/A" || sar == "1:1" || sar == "0:1") << sar;
  std::remove(raw.c_str());
}

INSTANTIATE_TEST_SUITE_P(Movies, H264Stream,
                         ::testing::Values("h264-high.mp4", "h264-base.mov", "h264-1080.mp4", "h264-vui.mp4",
                                           "h264-range.mp4", "h264-sar.mp4"));

// HEVC: the 'hvcC' arrays in Annex B form ahead of the rewritten samples decode, as a raw HEVC
// stream, to the movie's own frames.
TEST(HevcStream, AnnexBDecodesLikeTheMovie) {
  std::shared_ptr<Movie> m = open(codecMedia("hevc.mp4"));
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  const std::vector<uint8_t> hvcC = extension(firstDescription(*m), "hvcC");
  HevcConfig h;
  ASSERT_EQ(parseHevcConfig(hvcC.data(), hvcC.size(), &h), noErr) << (h.why ? h.why : "");
  EXPECT_EQ(h.nalLengthSize, 4u);
  EXPECT_EQ(h.vpsCount, 1u);
  EXPECT_EQ(h.spsCount, 1u);
  EXPECT_EQ(h.ppsCount, 1u);
  std::vector<uint8_t> stream = h.annexB, out;
  for (uint64_t i = 0; i < t.sampleCount(); ++i) {
    const std::vector<uint8_t> s = sample(t, i);
    size_t n = 0;
    ASSERT_EQ(avcSampleToAnnexB(s.data(), s.size(), h.nalLengthSize, out, &n), noErr) << "sample " << i;
    stream.insert(stream.end(), out.begin(), out.begin() + ptrdiff_t(n));
  }
  const std::string raw = ::testing::TempDir() + "annexb-hevc.hevc";
  std::FILE* f = std::fopen(raw.c_str(), "wb");
  ASSERT_TRUE(f);
  ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), f), stream.size());
  std::fclose(f);
  const std::string decode = " -fps_mode passthrough -f framemd5 -hash md5 - | grep -v '^#' | cut -d, -f6";
  const std::vector<uint8_t> ours = run("ffmpeg -v error -f hevc -i '" + raw + "'" + decode);
  const std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + media(codecMedia("hevc.mp4")) + "'" + decode);
  EXPECT_EQ(lines(std::string(ours.begin(), ours.end())).size(), t.sampleCount());
  EXPECT_EQ(std::string(ours.begin(), ours.end()), std::string(ref.begin(), ref.end()));
  std::remove(raw.c_str());

  // Every cut of the configuration, and NAL units of another type or length past the atom, are
  // refused without reading outside it (exact-size copies under the sanitizers).
  for (size_t n = 0; n < hvcC.size(); ++n) {
    const std::vector<uint8_t> cut(hvcC.begin(), hvcC.begin() + ptrdiff_t(n));
    HevcConfig c;
    const Err e = parseHevcConfig(cut.data(), cut.size(), &c);
    if (e == noErr) EXPECT_LT(c.vpsCount + c.spsCount + c.ppsCount, 3u) << n;
  }
  std::vector<uint8_t> bad = hvcC;
  bad[21] = uint8_t((bad[21] & ~3) | 2);  // NAL length size 3
  HevcConfig c;
  EXPECT_EQ(parseHevcConfig(bad.data(), bad.size(), &c), invalidMedia);
  bad = hvcC;
  bad[23] = uint8_t((bad[23] & 0xC0) | 34);  // the first array (VPS) claims to hold PPS units
  EXPECT_EQ(parseHevcConfig(bad.data(), bad.size(), &c), invalidMedia);
  bad = hvcC;
  bad[26] = 0x7F;  // the first unit's length past the atom
  EXPECT_EQ(parseHevcConfig(bad.data(), bad.size(), &c), invalidMedia);
}

const YuvColour k601{YuvMatrix::bt601, false}, k601Full{YuvMatrix::bt601, true}, k709{YuvMatrix::bt709, false}, k709Full{YuvMatrix::bt709, true};

INSTANTIATE_TEST_SUITE_P(Movies, H264,
                         ::testing::Values(VideoCase{"h264-high.mp4", k601},   // nothing said: 360 lines
                                           VideoCase{"h264-base.mov", k601},   // nclc and VUI: BT.601
                                           VideoCase{"h264-1080.mp4", k709},   // nclx: BT.709
                                           VideoCase{"h264-full.mp4", k709Full},  // nclx full range
                                           VideoCase{"h264-full.mov", k709Full},  // nclc, range from VUI
                                           VideoCase{"h264-vui.mp4", k709Full},   // VUI alone
                                           VideoCase{"h264-range.mp4", k601Full},  // VUI range alone
                                           VideoCase{"h264-clash.mov", k709}),    // 'colr' before VUI
                         [](const ::testing::TestParamInfo<VideoCase>& i) {
                           std::string n = i.param.file;
                           for (char& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// AAC: rate and channels come from the AudioSpecificConfig; in .mov the 'esds' sits in 'wave'.
TEST(Aac, ConfigurationEqualsFfprobe) {
  for (const char* file : {"aac-mono-44.mp4", "aac-mono-48.mov", "aac-stereo-44.mov", "aac-stereo-48.mp4",
                           "aac-51-48.mp4", "aac-51-44.mov"}) {
    SCOPED_TRACE(file);
    std::shared_ptr<Movie> m = open(codecMedia(file));
    ASSERT_TRUE(m);
    const SampleDescription& d = firstDescription(*m);
    EXPECT_EQ(d.format, fourcc("mp4a"));
    if (std::strstr(file, ".mov")) {
      EXPECT_EQ(d.soundVersion, 1);
      EXPECT_TRUE(d.extension(fourcc("wave"), nullptr));
    }
    const std::vector<uint8_t> esds = extension(d, "esds");
    EsDescriptor es;
    ASSERT_EQ(parseEsds(esds.data(), esds.size(), &es), noErr) << (es.why ? es.why : "");
    EXPECT_TRUE(es.isAac());
    EXPECT_EQ(es.streamType, 5);
    AacConfig a;
    ASSERT_EQ(parseAudioSpecificConfig(es.specificInfo.data(), es.specificInfo.size(), &a), noErr);
    const std::string p = ffprobe(media(codecMedia(file)), "stream=sample_rate,channels,profile");
    EXPECT_EQ(std::to_string(a.outputRate), field(p, "sample_rate"));
    EXPECT_EQ(std::to_string(a.channels), field(p, "channels"));
    EXPECT_EQ(a.objectType, 2u);  // LC
    EXPECT_EQ(field(p, "profile"), "LC");
    EXPECT_FALSE(a.sbr);
    EXPECT_EQ(a.frameLength, 1024u);
    EXPECT_EQ(a.labels.size(), a.channels);
    if (a.channels == 6) EXPECT_EQ(a.labels.back(), uint32_t(kLabelLfe)) << "5.1 is C L R Ls Rs LFE in the stream";
  }
}

// MPEG audio: the frame headers of every sample of a movie, and a raw stream walked frame by
// frame, against ffprobe's rate, channels and packet count.
TEST(MpegAudio, HeadersEqualFfprobe) {
  for (const char* file : {"mp3-44.mp4", "mp3-22.mov"}) {
    SCOPED_TRACE(file);
    std::shared_ptr<Movie> m = open(codecMedia(file));
    ASSERT_TRUE(m);
    const SampleDescription& d = firstDescription(*m);
    if (d.format == fourcc("mp4a")) {
      const std::vector<uint8_t> esds = extension(d, "esds");
      EsDescriptor es;
      ASSERT_EQ(parseEsds(esds.data(), esds.size(), &es), noErr);
      EXPECT_TRUE(es.isMpegAudio());
      EXPECT_FALSE(es.isAac());
    } else {
      EXPECT_EQ(d.format, fourcc(".mp3"));
    }
    const std::string p = ffprobe(media(codecMedia(file)), "stream=sample_rate,channels");
    const std::vector<uint8_t> s = sample(*m->track(0), 0);
    MpegAudioHeader h;
    ASSERT_EQ(parseMpegAudioHeader(s.data(), s.size(), &h), noErr);
    EXPECT_EQ(std::to_string(h.sampleRate), field(p, "sample_rate"));
    EXPECT_EQ(std::to_string(h.channels), field(p, "channels"));
    EXPECT_EQ(h.layer, 3u);
    EXPECT_EQ(h.samplesPerFrame, h.version == 10 ? 1152u : 576u);
  }
  for (const char* file : {"mp2-48.mp2", "mp3-8.mp3", "mp3-44.mp4"}) {
    SCOPED_TRACE(file);
    const std::string path = media(codecMedia(file));
    const std::string p = ffprobe(path, "stream=sample_rate,channels");
    std::vector<uint8_t> bytes;
    if (std::strstr(file, ".mp4")) {  // its samples one after the other
      std::shared_ptr<Movie> m = open(codecMedia(file));
      ASSERT_TRUE(m);
      for (uint64_t i = 0; i < m->track(0)->sampleCount(); ++i) {
        const std::vector<uint8_t> s = sample(*m->track(0), i);
        bytes.insert(bytes.end(), s.begin(), s.end());
      }
    } else {
      bytes = run("cat '" + path + "'");
    }
    const std::vector<uint8_t> count = run("ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + path + "'");
    size_t at = 0, frames = 0;
    MpegAudioHeader h;
    while (at < bytes.size()) {
      ASSERT_EQ(parseMpegAudioHeader(bytes.data() + at, bytes.size() - at, &h), noErr) << "at " << at;
      ASSERT_GT(h.frameBytes, 0u);
      EXPECT_EQ(std::to_string(h.sampleRate), field(p, "sample_rate"));
      at += h.frameBytes;
      ++frames;
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_EQ(std::to_string(frames), lines(std::string(count.begin(), count.end())).at(0));
  }
}

// ---- Damaged and unusual configurations ------------------------------------------------------

// A small avcC: 640x360 High profile, one SPS and one PPS, as libx264 writes it.
std::vector<uint8_t> realAvcC() {
  std::shared_ptr<Movie> m = open(codecMedia("h264-high.mp4"));
  return m ? extension(firstDescription(*m), "avcC") : std::vector<uint8_t>();
}

TEST(AvcConfigDamage, RefusedWithoutReadingOutside) {
  const std::vector<uint8_t> good = realAvcC();
  ASSERT_GT(good.size(), 20u);
  AvcConfig a;
  ASSERT_EQ(parseAvcConfig(good.data(), good.size(), &a), noErr);
  const size_t spsLen = size_t(good[6]) << 8 | good[7];
  const size_t ppsEnd = 8 + spsLen + 1 + 2 + (size_t(good[8 + spsLen + 1]) << 8 | good[8 + spsLen + 2]);
  // Every cut inside the parameter sets is refused; each copy is exactly as long as the cut so
  // that ASan sees any read past it.
  for (size_t n = 0; n < ppsEnd; ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + ptrdiff_t(n));
    EXPECT_EQ(parseAvcConfig(cut.data(), cut.size(), &a), invalidMedia) << "cut at " << n;
    EXPECT_TRUE(a.why);
  }
  auto damaged = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> b = good;
    b.at(at) = value;
    return parseAvcConfig(b.data(), b.size(), &a);
  };
  EXPECT_EQ(damaged(4, 0xFE), invalidMedia);             // NAL length size 3
  EXPECT_EQ(damaged(5, 0xE0 | 31), invalidMedia);        // 31 SPS announced, one there
  EXPECT_EQ(damaged(6, 0xFF), invalidMedia);             // SPS length past the atom
  EXPECT_EQ(damaged(8 + spsLen, 255), invalidMedia);     // 255 PPS announced
  EXPECT_EQ(damaged(8, 0x68), invalidMedia);             // a PPS where the SPS belongs
  EXPECT_EQ(damaged(0, 2), cantFindHandler);             // another configurationVersion
  std::vector<uint8_t> empty = {1, 100, 0, 30, 0xFF, 0xE1, 0, 0, 1, 0, 0};  // zero-length SPS
  EXPECT_EQ(parseAvcConfig(empty.data(), empty.size(), &a), invalidMedia);
  // Without the High-profile tail the configuration stands.
  std::vector<uint8_t> noTail(good.begin(), good.begin() + ptrdiff_t(ppsEnd));
  ASSERT_EQ(parseAvcConfig(noTail.data(), noTail.size(), &a), noErr);
  EXPECT_FALSE(a.hasHighTail);
  EXPECT_EQ(a.width, 640u);
  // The one SPS and one PPS behind start codes.
  EXPECT_EQ(a.annexB.size(), ppsEnd - 3);  // 11 bytes of counts and lengths, 8 of start codes
  EXPECT_EQ(0, std::memcmp(a.annexB.data(), "\0\0\0\1", 4));
}

// An SPS without a VUI gains one that holds only the colour; a damaged one is refused.
TEST(AvcSps, AVuiIsAddedWhereThereIsNoneAndDamageIsRefused) {
  // Baseline, level 3.0, 640x480, frame_num and POC type 2, no cropping, no VUI.
  std::vector<uint8_t> bits;
  auto put = [&](uint32_t v, int k) { while (k--) bits.push_back(uint8_t(v >> k & 1)); };
  auto ue = [&](uint32_t v) {
    int k = 0;
    while ((v + 1) >> (k + 1)) ++k;
    put(0, k);
    put(v + 1, k + 1);
  };
  put(66, 8), put(0, 8), put(30, 8), ue(0), ue(0), ue(2), ue(1), put(0, 1), ue(39), ue(29), put(1, 1), put(1, 1),
      put(0, 1), put(0, 1), put(1, 1);
  while (bits.size() % 8) bits.push_back(0);
  std::vector<uint8_t> sps = {0x67};
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t b = 0;
    for (size_t j = 0; j < 8; ++j) b = uint8_t(b << 1 | bits[i + j]);
    sps.push_back(b);
  }
  std::vector<uint8_t> out;
  ASSERT_EQ(avcSpsAsSquareBt601(sps.data(), sps.size(), out), noErr);
  std::vector<uint8_t> avcC = {1, 66, 0, 30, 0xFF, 0xE1, 0, uint8_t(out.size())};
  avcC.insert(avcC.end(), out.begin(), out.end());
  avcC.push_back(0);
  AvcConfig a;
  ASSERT_EQ(parseAvcConfig(avcC.data(), avcC.size(), &a), noErr) << (a.why ? a.why : "");
  EXPECT_EQ(a.width, 640u);
  EXPECT_EQ(a.height, 480u);
  EXPECT_TRUE(a.vui.described && a.vui.rangeKnown && !a.vui.fullRange);
  EXPECT_EQ(a.vui.primaries, 6);
  EXPECT_EQ(a.vui.transfer, 6);
  EXPECT_EQ(a.vui.matrix, 6);

  EXPECT_EQ(avcSpsAsSquareBt601(sps.data(), 5, out), invalidMedia) << "cut inside the picture size";
  std::vector<uint8_t> zeros = {0x67, 66, 0, 30, 0, 0};
  EXPECT_EQ(avcSpsAsSquareBt601(zeros.data(), zeros.size(), out), invalidMedia) << "no stop bit";
  EXPECT_EQ(avcSpsAsSquareBt601(avcC.data(), avcC.size(), out), paramErr) << "not an SPS";

  // The same SPS inside a sample: its colour, found ahead of the slices only.
  auto sample = [](std::initializer_list<std::vector<uint8_t>> nals) {
    std::vector<uint8_t> b;
    for (const auto& n : nals) {
      b.insert(b.end(), {0, 0, uint8_t(n.size() >> 8), uint8_t(n.size())});
      b.insert(b.end(), n.begin(), n.end());
    }
    return b;
  };
  const std::vector<uint8_t> sei = {0x06, 0x05, 0x00, 0x80}, slice = {0x65, 0x88, 0x80};
  ColourInfo vui;
  std::vector<uint8_t> s = sample({sei, out, slice});
  ASSERT_TRUE(avcSampleColour(s.data(), s.size(), 4, &vui));
  EXPECT_TRUE(vui.rangeKnown && !vui.fullRange && vui.matrix == 6);
  s = sample({slice, out});
  EXPECT_FALSE(avcSampleColour(s.data(), s.size(), 4, &vui)) << "parameter sets after a slice";
  s = sample({sps});
  EXPECT_FALSE(avcSampleColour(s.data(), s.size(), 4, &vui)) << "an SPS that says no colour";
  s = sample({sei, out});
  s.resize(s.size() - 2);
  EXPECT_FALSE(avcSampleColour(s.data(), s.size(), 4, &vui)) << "a length past the sample";
}

TEST(AvcSample, LengthsPastTheSampleAreRefused) {
  std::vector<uint8_t> out(3, 0xAA);
  size_t n = 99;
  const uint8_t two[] = {0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 0, 0, 0, 0, 1, 0x41};  // IDR, empty, 1 byte
  ASSERT_EQ(avcSampleToAnnexB(two, sizeof two, 4, out, &n), noErr);
  const uint8_t want[] = {0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41};
  ASSERT_EQ(n, sizeof want);
  EXPECT_EQ(0, std::memcmp(out.data(), want, n));
  const uint8_t past[] = {0, 5, 0x65, 0x88, 0x00, 0x01};
  out.assign(4, 0xAA);
  EXPECT_EQ(avcSampleToAnnexB(past, sizeof past, 2, out, &n), invalidMedia);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out, std::vector<uint8_t>(4, 0xAA)) << "nothing written for a refused sample";
  const uint8_t cutLength[] = {3, 0x65, 0x88, 0x80, 0};  // one NAL, then half a length field
  EXPECT_EQ(avcSampleToAnnexB(cutLength, sizeof cutLength, 2, out, &n), invalidMedia);
  EXPECT_EQ(avcSampleToAnnexB(cutLength, sizeof cutLength, 3, out, &n), paramErr);
}

TEST(EsdsDamage, SizesCheckedAgainstTheirParents) {
  std::shared_ptr<Movie> m = open(codecMedia("aac-stereo-48.mp4"));
  ASSERT_TRUE(m);
  const std::vector<uint8_t> good = extension(firstDescription(*m), "esds");
  EsDescriptor es;
  ASSERT_EQ(parseEsds(good.data(), good.size(), &es), noErr);
  ASSERT_FALSE(es.specificInfo.empty());
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + ptrdiff_t(n));
    EXPECT_EQ(parseEsds(cut.data(), cut.size(), &es), invalidMedia) << "cut at " << n;
  }
  // ffmpeg writes each descriptor size in four bytes; a size past the parent is refused.
  ASSERT_EQ(good[4], 3);
  ASSERT_EQ(good[12], 4);
  ASSERT_EQ(good[30], 5);
  for (size_t i : {8, 16, 34}) {
    std::vector<uint8_t> b = good;
    b[i] = 0x7F;
    EXPECT_EQ(parseEsds(b.data(), b.size(), &es), invalidMedia) << "size at " << i;
  }
  // Optional ES_Descriptor fields, a five-byte size, and a descriptor that is not an ES one.
  const uint8_t withFields[] = {0, 0, 0, 0, 3, 18, 0, 1, 0xE0, 0, 7, 2, 'a', 'b', 0, 9,
                                4, 0x80, 0x80, 0x80, 5, 0x6B, 0x15, 0, 0, 0};
  EXPECT_EQ(parseEsds(withFields, sizeof withFields, &es), invalidMedia);  // DecoderConfig cut short
  const uint8_t full[] = {0, 0, 0, 0, 3, 0x80, 25, 0, 1, 0xE0, 0, 7, 2, 'a', 'b', 0, 9,
                          4, 13, 0x6B, 0x15, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2};
  ASSERT_EQ(parseEsds(full, sizeof full, &es), noErr) << (es.why ? es.why : "");
  EXPECT_TRUE(es.hasDependsOn && es.hasOcr);
  EXPECT_EQ(es.dependsOnEsId, 7);
  EXPECT_EQ(es.ocrEsId, 9);
  EXPECT_EQ(es.objectType, kObjectTypeMpeg1Audio);
  EXPECT_EQ(es.maxBitrate, 0x10000u);
  EXPECT_EQ(es.avgBitrate, 2u);
  EXPECT_TRUE(es.specificInfo.empty());
  const uint8_t fiveBytes[] = {0, 0, 0, 0, 3, 0x80, 0x80, 0x80, 0x80, 0};
  EXPECT_EQ(parseEsds(fiveBytes, sizeof fiveBytes, &es), invalidMedia);
  const uint8_t notEs[] = {0, 0, 0, 0, 4, 0};
  EXPECT_EQ(parseEsds(notEs, sizeof notEs, &es), invalidMedia);
}

// Writes AudioSpecificConfig bits MSB first.
struct Bits {
  std::vector<uint8_t> b;
  size_t n = 0;
  Bits& put(uint32_t v, int k) {
    for (int i = k - 1; i >= 0; --i, ++n) {
      if (n % 8 == 0) b.push_back(0);
      b.back() |= uint8_t(((v >> i) & 1) << (7 - n % 8));
    }
    return *this;
  }
};

Err parseBits(const Bits& bits, AacConfig* a) { return parseAudioSpecificConfig(bits.b.data(), bits.b.size(), a); }

TEST(AudioSpecificConfig, SignallingAndEscapes) {
  AacConfig a;
  // HE-AAC, explicit: SBR object type, core 22.05 kHz stereo, output 44.1 kHz, then AAC-LC.
  Bits he;
  he.put(5, 5).put(7, 4).put(2, 4).put(4, 4).put(2, 5).put(0, 3);
  ASSERT_EQ(parseBits(he, &a), noErr);
  EXPECT_TRUE(a.sbr);
  EXPECT_FALSE(a.ps);
  EXPECT_EQ(a.objectType, 2u);
  EXPECT_EQ(a.sampleRate, 22050u);
  EXPECT_EQ(a.outputRate, 44100u);
  EXPECT_EQ(a.channels, 2u);
  // HE-AAC v2 behind an AAC-LC core (backward-compatible): 0x2B7, SBR, then 0x548 and PS.
  Bits v2;
  v2.put(2, 5).put(6, 4).put(1, 4).put(0, 3).put(0x2B7, 11).put(5, 5).put(1, 1).put(3, 4).put(0x548, 11).put(1, 1);
  ASSERT_EQ(parseBits(v2, &a), noErr);
  EXPECT_TRUE(a.sbr && a.ps);
  EXPECT_EQ(a.sampleRate, 24000u);
  EXPECT_EQ(a.outputRate, 48000u);
  EXPECT_EQ(a.channels, 1u);
  // Escapes: object type 31+, an explicit 24-bit rate, and 960-sample frames.
  Bits esc;
  esc.put(31, 5).put(0, 6).put(15, 4).put(37800, 24).put(2, 4);
  ASSERT_EQ(parseBits(esc, &a), noErr);
  EXPECT_EQ(a.objectType, 32u);
  EXPECT_EQ(a.sampleRate, 37800u);
  EXPECT_EQ(a.frameLength, 0u);
  Bits short960;
  short960.put(2, 5).put(3, 4).put(2, 4).put(1, 1).put(0, 2);
  ASSERT_EQ(parseBits(short960, &a), noErr);
  EXPECT_EQ(a.frameLength, 960u);
  // A program config element: front C + L/R pair, back pair, one LFE = 6 channels.
  Bits pce;
  pce.put(2, 5).put(3, 4).put(0, 4).put(0, 3);
  pce.put(0, 4).put(1, 2).put(3, 4).put(2, 4).put(0, 4).put(1, 4).put(1, 2).put(0, 3).put(0, 4);
  pce.put(0, 1).put(0, 1).put(0, 1);
  pce.put(0, 1).put(0, 4).put(1, 1).put(1, 4).put(1, 1).put(2, 4).put(0, 4);
  pce.put(0, int(8 - pce.n % 8) % 8).put(2, 8).put('h', 8).put('i', 8);  // align, a comment
  Bits pceSbr = pce;  // SBR signalled behind the element: found past its comment
  pceSbr.put(0x2B7, 11).put(5, 5).put(1, 1).put(0, 4);
  ASSERT_EQ(parseBits(pceSbr, &a), noErr);
  EXPECT_TRUE(a.sbr);
  EXPECT_EQ(a.outputRate, 96000u);
  EXPECT_EQ(a.channels, 6u);
  EXPECT_EQ(a.channelConfig, 0u);
  EXPECT_EQ(a.channels, 6u);
  EXPECT_EQ(a.labels, (std::vector<uint32_t>{kLabelCenter, kLabelLeft, kLabelRight, kLabelLeftSurround,
                                             kLabelRightSurround, kLabelLfe}));
  // The same element cut short: the count is unknown, not guessed.
  Bits cutPce = pce;
  cutPce.b.resize(4);
  ASSERT_EQ(parseBits(cutPce, &a), invalidMedia);
  // Cut short, reserved rate index, object type 0.
  const uint8_t one[] = {0x12};
  EXPECT_EQ(parseAudioSpecificConfig(one, 1, &a), invalidMedia);
  Bits reserved;
  reserved.put(2, 5).put(13, 4).put(2, 4).put(0, 3);
  EXPECT_EQ(parseBits(reserved, &a), invalidMedia);
}

// The speakers each channel configuration and program config element names, as a channel
// mask (what a decoder is asked for and the pin announces), and their order once decoded.
TEST(AudioSpecificConfig, ChannelConfigurationsNameTheirSpeakers) {
  auto maskOf = [](const std::vector<uint32_t>& labels) {
    uint32_t m = 0;
    for (uint32_t l : labels) m |= speakerOf(l);
    return m;
  };
  const std::pair<uint32_t, uint32_t> configs[] = {{1, 0x4},    {2, 0x3},     {3, 0x7},   {4, 0x107},
                                                   {5, 0x37},   {6, 0x3F},    {7, 0x63F}, {11, 0x13F},
                                                   {12, 0x63F}, {14, 0x503F}};
  AacConfig a;
  for (const auto& c : configs) {
    Bits asc;
    asc.put(2, 5).put(3, 4).put(c.first, 4).put(0, 3);
    ASSERT_EQ(parseBits(asc, &a), noErr) << c.first;
    EXPECT_EQ(maskOf(a.labels), c.second) << c.first;
    EXPECT_EQ(a.channels, uint32_t(__builtin_popcount(c.second))) << c.first;
  }
  for (uint32_t reserved : {8u, 9u, 10u, 13u, 15u}) {
    Bits asc;
    asc.put(2, 5).put(3, 4).put(reserved, 4).put(0, 3);
    ASSERT_EQ(parseBits(asc, &a), noErr) << reserved;
    EXPECT_EQ(a.channels, 0u) << reserved;
  }
  // Program config elements: front (SCE, 2 CPE), side CPE, back CPE and SCE, LFE in any mix the
  // mask has; a second back pair or a side single has no speaker, and none is guessed.
  auto pce = [](std::initializer_list<int> front, std::initializer_list<int> side, std::initializer_list<int> back,
                int lfe) {
    Bits b;
    b.put(2, 5).put(3, 4).put(0, 4).put(0, 3);
    b.put(0, 4).put(1, 2).put(3, 4).put(uint32_t(front.size()), 4).put(uint32_t(side.size()), 4);
    b.put(uint32_t(back.size()), 4).put(uint32_t(lfe), 2).put(0, 3).put(0, 4).put(0, 3);
    uint32_t tag = 0;
    for (auto group : {front, side, back})
      for (int pair : group) b.put(uint32_t(pair), 1).put(tag++, 4);
    for (int i = 0; i < lfe; ++i) b.put(uint32_t(i), 4);
    b.put(0, int(8 - b.n % 8) % 8).put(0, 8);
    return b;
  };
  struct PceCase {
    Bits bits;
    uint32_t channels, mask;
  };
  const PceCase pces[] = {
      {pce({0, 1}, {1}, {1}, 1), 8, 0x63F},     // 7.1
      {pce({0, 1, 1}, {}, {1}, 1), 8, 0xFF},    // 7.1 with a pair either side of the centre
      {pce({0, 1}, {1}, {}, 1), 6, 0x60F},      // 5.1 at the sides
      {pce({1}, {}, {1, 0}, 0), 5, 0x133},      // front and back pairs, a back centre
      {pce({0}, {}, {}, 0), 1, 0x4},            // mono
      {pce({1, 0}, {0}, {1}, 0), 6, 0},         // a single at the side
      {pce({0, 1}, {}, {1, 1}, 1), 8, 0},       // two back pairs
  };
  for (const PceCase& c : pces) {
    ASSERT_EQ(parseBits(c.bits, &a), noErr);
    EXPECT_EQ(a.channels, c.channels);
    EXPECT_EQ(maskOf(a.labels), c.mask);
    if (c.mask) EXPECT_EQ(a.labels.size(), a.channels);
  }
  // Decoded, the channels come in the order of the mask: 7.1's side pair last.
  SampleDescription d;
  Bits seven;
  seven.put(2, 5).put(3, 4).put(7, 4).put(0, 3);
  const std::vector<uint8_t> entry = moviewriter::aacDescription(8, 48000, seven.b);
  ASSERT_EQ(parseDescription(entry.data(), entry.size(), Kind::sound, d), noErr);
  AudioCodec codec;
  ASSERT_EQ(audioCodecOf(d, nullptr, 0, &codec), noErr);
  EXPECT_EQ(codec.labels, (std::vector<uint32_t>{kLabelLeft, kLabelRight, kLabelCenter, kLabelLfe, kLabelLeftSurround,
                                                 kLabelRightSurround, kLabelLeftSurroundDirect,
                                                 kLabelRightSurroundDirect}));
}

TEST(MpegAudioHeader, ReservedFieldsAreRefused) {
  MpegAudioHeader h;
  const uint8_t good[] = {0xFF, 0xFB, 0x90, 0x44};  // MPEG-1 layer III 128 kbit/s 44.1 kHz
  ASSERT_EQ(parseMpegAudioHeader(good, 4, &h), noErr);
  EXPECT_EQ(h.frameBytes, 417u);
  EXPECT_EQ(parseMpegAudioHeader(good, 3, &h), invalidMedia);
  for (auto bad : {std::array<uint8_t, 4>{0xFF, 0xEB, 0x90, 0x44},    // version 01
                   std::array<uint8_t, 4>{0xFF, 0xF9, 0x90, 0x44},    // layer 00
                   std::array<uint8_t, 4>{0xFF, 0xFB, 0xF0, 0x44},    // bitrate 15
                   std::array<uint8_t, 4>{0xFF, 0xFB, 0x9C, 0x44},    // rate 3
                   std::array<uint8_t, 4>{0xFF, 0x7B, 0x90, 0x44}})   // no sync
    EXPECT_EQ(parseMpegAudioHeader(bad.data(), 4, &h), invalidMedia);
  const uint8_t layer1[] = {0xFF, 0xFF, 0x10, 0xC0};  // MPEG-1 layer I 32 kbit/s 44.1 kHz mono
  ASSERT_EQ(parseMpegAudioHeader(layer1, 4, &h), noErr);
  EXPECT_EQ(h.layer, 1u);
  EXPECT_EQ(h.samplesPerFrame, 384u);
  EXPECT_EQ(h.frameBytes, 32u);
  EXPECT_EQ(h.channels, 1u);
  const uint8_t freeFormat[] = {0xFF, 0xFB, 0x00, 0x44};
  ASSERT_EQ(parseMpegAudioHeader(freeFormat, 4, &h), noErr);
  EXPECT_EQ(h.frameBytes, 0u);
}

TEST(Colr, NclxNclcAndOthers) {
  ColourInfo c;
  const uint8_t nclx[] = {'n', 'c', 'l', 'x', 0, 9, 0, 16, 0, 9, 0x80};
  ASSERT_EQ(parseColr(nclx, sizeof nclx, &c), noErr);
  EXPECT_TRUE(c.described && c.rangeKnown && c.fullRange);
  EXPECT_EQ(c.primaries, 9);
  EXPECT_EQ(c.transfer, 16);
  EXPECT_EQ(c.matrix, 9);
  EXPECT_EQ(parseColr(nclx, sizeof nclx - 1, &c), invalidMedia);
  const uint8_t nclc[] = {'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 6};
  ASSERT_EQ(parseColr(nclc, sizeof nclc, &c), noErr);
  EXPECT_FALSE(c.rangeKnown);
  EXPECT_EQ(chooseColour(&c, nullptr, 1080).matrix, YuvMatrix::bt601);
  const uint8_t icc[] = {'p', 'r', 'o', 'f', 0, 0, 0, 0};
  EXPECT_EQ(parseColr(icc, sizeof icc, &c), cantFindHandler);
  // An unspecified matrix in 'colr' leaves the choice to the VUI, then to the picture height.
  ColourInfo unspecified;
  unspecified.described = true;
  ColourInfo vui;
  vui.described = true;
  vui.matrix = 1;
  EXPECT_EQ(chooseColour(&unspecified, &vui, 480).matrix, YuvMatrix::bt709);
  EXPECT_EQ(chooseColour(&unspecified, nullptr, 719).matrix, YuvMatrix::bt601);
  EXPECT_EQ(chooseColour(&unspecified, nullptr, 720).matrix, YuvMatrix::bt709);
  EXPECT_FALSE(chooseColour(nullptr, nullptr, 720).fullRange);
}

// The transfer and the primaries each come from 'colr', else the VUI; primaries neither states
// are the matrix's own. BT.2020's constant-luminance matrix (10) is converted as the other (9).
TEST(Colr, TransferPrimariesAndBt2020) {
  auto said = [](uint16_t primaries, uint16_t transfer, uint16_t matrix) {
    ColourInfo c;
    c.described = true;
    c.primaries = primaries, c.transfer = transfer, c.matrix = matrix;
    return c;
  };
  const ColourInfo none;  // a VUI without colour
  const YuvMatrix m601 = YuvMatrix::bt601, m709 = YuvMatrix::bt709, m2020 = YuvMatrix::bt2020;
  const YuvTransfer sdr = YuvTransfer::sdr, pq = YuvTransfer::pq, hlg = YuvTransfer::hlg;
  const YuvPrimaries p601 = YuvPrimaries::bt601, p709 = YuvPrimaries::bt709, p2020 = YuvPrimaries::bt2020;
  const struct {
    ColourInfo colr, vui;
    uint32_t height;
    YuvMatrix matrix;
    YuvTransfer transfer;
    YuvPrimaries primaries;
  } cases[] = {
      {said(9, 16, 9), none, 1080, m2020, pq, p2020},
      {said(9, 18, 9), none, 1080, m2020, hlg, p2020},
      {said(9, 14, 10), none, 1080, m2020, sdr, p2020},
      {said(9, 15, 9), none, 1080, m2020, sdr, p2020},
      {said(1, 1, 1), none, 480, m709, sdr, p709},
      {said(5, 6, 5), none, 1080, m601, sdr, p601},
      {said(6, 6, 6), none, 1080, m601, sdr, p601},
      {said(2, 2, 9), none, 1080, m2020, sdr, p2020},       // primaries follow the matrix
      {said(2, 2, 2), said(9, 18, 9), 480, m2020, hlg, p2020},  // all from the VUI
      {said(1, 2, 1), said(9, 16, 9), 1080, m709, pq, p709},    // only the transfer from the VUI
      {said(11, 16, 9), said(2, 2, 2), 1080, m2020, pq, p2020}, // P3 primaries: not ours to map
      {said(2, 2, 2), none, 1080, m709, sdr, p709},
      {said(2, 2, 2), none, 480, m601, sdr, p601},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.colr.primaries) + "/" + std::to_string(c.colr.transfer) + "/" +
                 std::to_string(c.colr.matrix) + " vui " + std::to_string(c.vui.primaries) + "/" +
                 std::to_string(c.vui.transfer) + "/" + std::to_string(c.vui.matrix));
    const YuvColour y = chooseColour(&c.colr, &c.vui, c.height);
    EXPECT_EQ(y.matrix, c.matrix);
    EXPECT_EQ(y.transfer, c.transfer);
    EXPECT_EQ(y.primaries, c.primaries);
  }
  const YuvColour nothing = chooseColour(nullptr, nullptr, 2160);
  EXPECT_EQ(nothing.transfer, sdr);
  EXPECT_EQ(nothing.primaries, p709);
}

// HEVC Main 10 movies as phones make them: the track's 'colr' ('nclc' in .mov, 'nclx' in .mp4)
// gives the pictures' conversion.
TEST(Colr, HdrMoviesConvertAsTheySay) {
  const struct {
    const char* file;
    YuvTransfer transfer;
  } cases[] = {{"hevc-hlg.mov", YuvTransfer::hlg}, {"hevc-pq.mp4", YuvTransfer::pq}, {"hevc-2020.mov", YuvTransfer::sdr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::shared_ptr<Movie> m = open(codecMedia(c.file));
    ASSERT_TRUE(m);
    VideoCodec codec;
    ASSERT_EQ(videoCodecOf(firstDescription(*m), &codec), noErr);
    EXPECT_EQ(codec.colour.matrix, YuvMatrix::bt2020);
    EXPECT_FALSE(codec.colour.fullRange);
    EXPECT_EQ(codec.colour.transfer, c.transfer);
    EXPECT_EQ(codec.colour.primaries, YuvPrimaries::bt2020);
  }
}
}  // namespace

namespace {
// An 8-bit 'smc ' entry with a colour table of `count` entries (entry k: grey k) of which
// `stored` are present, then a 'fiel' atom.
std::vector<uint8_t> paletteEntry(uint32_t count, uint32_t stored) {
  std::vector<uint8_t> e = moviewriter::videoDescription("smc ", 16, 16, 8);
  e[84] = e[85] = 0;
  auto u16 = [&](uint32_t v) { e.push_back(uint8_t(v >> 8)), e.push_back(uint8_t(v)); };
  u16(0), u16(0), u16(0x8000), u16(count - 1);
  for (uint32_t k = 0; k < stored; ++k) u16(k), u16(k * 0x101), u16(k * 0x101), u16(k * 0x101);
  for (int b : {0, 0, 0, 10, int('f'), int('i'), int('e'), int('l'), 1, 0}) e.push_back(uint8_t(b));
  for (int i = 0; i < 4; ++i) e[i] = uint8_t(e.size() >> (24 - 8 * i));
  return e;
}
}  // namespace

// The colour table after an image description's fixed fields: its atoms follow it; more entries
// than a palette holds are passed over; a table cut short gives no colours, and the atoms after
// the fixed fields are looked for as before.
TEST(ColourTable, InlineTablesAreBoundedAndTheirAtomsFollow) {
  SampleDescription d;
  std::vector<uint8_t> e = paletteEntry(300, 300);
  ASSERT_EQ(parseDescription(e.data(), e.size(), Kind::video, d), noErr);
  ASSERT_EQ(d.palette.size(), 256u);
  EXPECT_EQ(d.palette[0], 0xFF000000u);
  EXPECT_EQ(d.palette[200], 0xFFC8C8C8u);
  EXPECT_EQ(extension(d, "fiel"), (std::vector<uint8_t>{1, 0}));
  e = paletteEntry(16, 16);
  ASSERT_EQ(parseDescription(e.data(), e.size(), Kind::video, d), noErr);
  EXPECT_EQ(d.palette[15], 0xFF0F0F0Fu);
  EXPECT_EQ(d.palette[16], 0xFF000000u) << "entries the table does not name are black";
  EXPECT_EQ(extension(d, "fiel"), (std::vector<uint8_t>{1, 0}));
  e = paletteEntry(255, 2);
  ASSERT_EQ(parseDescription(e.data(), e.size(), Kind::video, d), noErr);
  EXPECT_TRUE(d.palette.empty());
}

// Without a table, the default of the depth; none at depths that have no palette.
TEST(ColourTable, DefaultTablesOfEachDepth) {
  SampleDescription d;
  auto parse = [&](uint16_t depth) {
    const std::vector<uint8_t> e = moviewriter::videoDescription("smc ", 16, 16, depth);
    return parseDescription(e.data(), e.size(), Kind::video, d);
  };
  ASSERT_EQ(parse(8), noErr);
  ASSERT_EQ(d.palette.size(), 256u);
  EXPECT_EQ(d.palette[0], 0xFFFFFFFFu);
  EXPECT_EQ(d.palette[1], 0xFFFFFFCCu);
  EXPECT_EQ(d.palette[214], 0xFF000033u);
  EXPECT_EQ(d.palette[215], 0xFFEE0000u);
  EXPECT_EQ(d.palette[254], 0xFF111111u);
  EXPECT_EQ(d.palette[255], 0xFF000000u);
  ASSERT_EQ(parse(4), noErr);
  EXPECT_EQ(d.palette[1], 0xFFFCF305u);
  EXPECT_EQ(d.palette[15], 0xFF000000u);
  ASSERT_EQ(parse(40), noErr);
  EXPECT_EQ(d.palette[0], 0xFFFFFFFFu);
  EXPECT_EQ(d.palette[128], 0xFF7F7F7Fu);
  EXPECT_EQ(d.palette[255], 0xFF000000u);
  ASSERT_EQ(parse(34), noErr);
  EXPECT_EQ(d.palette[1], 0xFFAAAAAAu);
  EXPECT_EQ(d.palette[3], 0xFF000000u);
  ASSERT_EQ(parse(24), noErr);
  EXPECT_TRUE(d.palette.empty());
}

// VP9: the 'vpcC' states the stream's colour and range, which count when no 'colr' does.
TEST(Vp9, ColourFromItsConfigurationWithoutColr) {
  std::vector<uint8_t> b = run("cat '" + media("video/vp9-pq.mp4") + "'");
  const std::string s(b.begin(), b.end());
  const size_t colr = s.find("colr");
  ASSERT_NE(colr, std::string::npos);
  for (const char* name : {"vp9-pq.mp4", "built-vp9-vpcc.mp4"}) {
    SCOPED_TRACE(name);
    if (std::string(name) != "vp9-pq.mp4") {
      std::memcpy(&b[colr], "free", 4);
      ASSERT_TRUE(moviewriter::save(media(std::string("video/") + name), b));
    }
    std::shared_ptr<Movie> m = open(std::string("video/") + name);
    ASSERT_TRUE(m);
    VideoCodec codec;
    ASSERT_EQ(videoCodecOf(firstDescription(*m), &codec), noErr);
    EXPECT_EQ(codec.colour.matrix, YuvMatrix::bt2020);
    EXPECT_EQ(codec.colour.transfer, YuvTransfer::pq);
    EXPECT_EQ(codec.colour.primaries, YuvPrimaries::bt2020);
    EXPECT_TRUE(codec.colour.fullRange);
  }
  // Without either, by the picture's height.
  std::shared_ptr<Movie> m = open("video/vp9.mp4");
  ASSERT_TRUE(m);
  VideoCodec codec;
  ASSERT_EQ(videoCodecOf(firstDescription(*m), &codec), noErr);
  EXPECT_EQ(codec.colour.matrix, YuvMatrix::bt601);
  EXPECT_EQ(codec.colour.transfer, YuvTransfer::sdr);
}
