// Sound: GetMediaSample counting, decoders and converter against ffmpeg, extraction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoder.h"
#include "helpers.h"
#include "moviewriter.h"

using namespace qte;

namespace {
struct Case {
  const char* file;
  const char* ffFormat;  // ffmpeg's output format for the comparison
  uint32_t bits;
  bool isFloat;
};

// The whole first sound track decoded and converted to little-endian interleaved PCM.
std::vector<uint8_t> decodeAll(const Movie& m, const AudioFormat& target) {
  std::vector<uint8_t> out;
  std::unique_ptr<SoundDecoder> dec;
  if (SoundDecoder::create(*m.track(0), dec) != noErr) return out;
  Converter conv;
  AudioFormat t = target;
  t.sampleRate = dec->format().sampleRate;
  t.channels = dec->format().channels;
  if (conv.setFormats(dec->format(), t) != noErr) return out;
  std::vector<uint8_t> pcm(4096 * dec->format().bytesPerFrame()), cvt(4096 * t.bytesPerFrame());
  uint64_t at = 0;
  for (;;) {
    uint32_t got = 0;
    // Odd piece sizes cross chunk and packet boundaries.
    if (dec->decode(at, 1000 + uint32_t(at % 77), pcm.data(), &got) != noErr || got == 0) break;
    const void* in[1] = {pcm.data()};
    void* o[1] = {cvt.data()};
    uint32_t used = 0, made = 0;
    conv.convert(in, got, o, 4096, &used, &made);
    out.insert(out.end(), cvt.begin(), cvt.begin() + size_t(made) * t.bytesPerFrame());
    at += got;
  }
  return out;
}
}  // namespace

namespace {
class Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Decode, EqualsFfmpeg) {
  const Case c = GetParam();
  std::shared_ptr<Movie> m = open(c.file);
  ASSERT_TRUE(m);
  AudioFormat t;
  t.bits = c.bits;
  t.isFloat = c.isFloat;
  t.isSigned = std::string(c.ffFormat) != "u8";
  t.bigEndian = false;
  std::vector<uint8_t> ours = decodeAll(*m, t);
  std::string codec = std::string("pcm_") + c.ffFormat;
  std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + media(c.file) + "' -f " + c.ffFormat + " -acodec " + codec + " -");
  ASSERT_GT(ref.size(), 1000u);
  // ffmpeg trims the last ima4 packet to the edit list; the rest must agree.
  const size_t slack = std::string(c.file) == "ima4.mov" ? 64 * 4 : 0;
  ASSERT_LE(ref.size(), ours.size()) << ours.size();
  ASSERT_LE(ours.size() - ref.size(), slack);
  if (!c.isFloat) {
    size_t first = 0;
    while (first < ref.size() && ours[first] == ref[first]) ++first;
    EXPECT_EQ(first, ref.size()) << "first difference at byte " << first;
    return;
  }
  size_t bad = 0;
  for (size_t i = 0; i + 4 <= ref.size(); i += 4) {
    float a, b;
    std::memcpy(&a, &ours[i], 4);
    std::memcpy(&b, &ref[i], 4);
    if (std::fabs(a - b) > 1.0f / 8388608) ++bad;
  }
  EXPECT_EQ(bad, 0u);
}

INSTANTIATE_TEST_SUITE_P(Media, Decode,
    ::testing::Values(Case{"twos.mov", "s16le", 16, false}, Case{"sowt.mov", "s16le", 16, false},
                      Case{"in24.mov", "s32le", 32, false}, Case{"in32.mov", "s32le", 32, false},
                      Case{"fl32.mov", "f32le", 32, true}, Case{"fl64.mov", "f32le", 32, true},
                      Case{"ulaw.mov", "s16le", 16, false}, Case{"alaw.mov", "s16le", 16, false},
                      Case{"ima4.mov", "s16le", 16, false}, Case{"raw8.mov", "s16le", 16, false},
                      Case{"six.mov", "s16le", 16, false}, Case{"twos.mov", "f32le", 32, true},
                      Case{"twos.mov", "u8", 8, false},
                      Case{"in24le.mov", "s32le", 32, false}, Case{"fl32le.mov", "f32le", 32, true}, Case{"in24.mov", "s16le", 16, false},
                      Case{"ulaw.mov", "s24le", 24, false}, Case{"fl32.mov", "s16le", 16, false}),
    [](const auto& info) {
      std::string s = std::string(info.param.file) + "_" + info.param.ffFormat;
      for (char& ch : s) if (!isalnum(uint8_t(ch))) ch = '_';
      return s;
    });

TEST(MediaSample, CountsFramesPacketsAndLimits) {
  std::shared_ptr<Movie> m = open("twos.mov");
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  SampleRun r;
  ASSERT_EQ(t.locate(0, 0, 0, r), noErr);
  EXPECT_GT(r.count, 1u);  // a whole chunk of frames
  EXPECT_EQ(r.bytes, r.count * 4);
  EXPECT_EQ(r.durationEach, 1);
  ASSERT_EQ(t.locate(100, 10, 0, r), noErr);
  EXPECT_EQ(r.first, 100u);
  EXPECT_EQ(r.count, 10u);
  ASSERT_EQ(t.locate(0, 0, 41, r), noErr);
  EXPECT_EQ(r.count, 10u);  // as many as fit in 41 bytes
  EXPECT_EQ(t.locate(0, 0, 3, r), maxSizeToGrowTooSmall);
  EXPECT_EQ(t.locate(44100, 0, 0, r), invalidTime);
  EXPECT_EQ(t.locate(-1, 0, 0, r), invalidTime);

  // ima4 from ffmpeg: variable (compressionID -2): one packet is one sample of 64 frames.
  std::shared_ptr<Movie> ima = open("ima4.mov");
  ASSERT_TRUE(ima);
  const Track& it = *ima->track(0);
  EXPECT_EQ(it.info().descriptions[0].compressionId, -2);
  ASSERT_EQ(it.locate(64 * 3 + 5, 2, 0, r), noErr);
  EXPECT_EQ(r.first, 3u);
  EXPECT_EQ(r.count, 2u);
  EXPECT_EQ(r.durationEach, 64);
  EXPECT_EQ(r.bytes, 2u * 68);
  EXPECT_EQ(r.time, 64 * 3);
}

TEST(MediaSample, NextInterestingTimes) {
  std::shared_ptr<Movie> m = open("rle24.mov");  // 25 fps in a 600 time scale
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  EXPECT_EQ(t.nextMediaTime(0, nextTimeMediaSample), 24);
  EXPECT_EQ(t.nextMediaTime(0, nextTimeMediaSample | nextTimeEdgeOK), 0);
  EXPECT_EQ(t.nextMediaTime(30, nextTimeMediaSample), 48);
  EXPECT_EQ(t.nextMediaTime(580, nextTimeMediaSample), -1);
  EXPECT_EQ(t.nextMediaTime(-5, nextTimeMediaSample), 0);
  EXPECT_EQ(t.nextMediaTime(30, nextTimeMediaSample, -0x10000), 24);
  EXPECT_EQ(t.nextMediaTime(30, nextTimeSyncSample), 240);  // key frames every 10
  // In movie time (the movie's scale differs), through the edit list.
  const uint32_t ms = m->timeScale();
  EXPECT_EQ(t.nextTrackTime(0, nextTimeMediaSample), int64_t(ms) / 25);
  EXPECT_EQ(t.nextTrackTime(0, nextTimeMediaSample | nextTimeEdgeOK), 0);
  EXPECT_EQ(t.nextTrackTime(m->duration() - 1, nextTimeMediaSample), -1);
}

TEST(Extraction, DefaultFormatEqualsFfmpegAndSpansTheMovie) {
  std::shared_ptr<Movie> m = open("twos.mov");
  ASSERT_TRUE(m);
  std::unique_ptr<Extractor> x;
  ASSERT_EQ(Extractor::create(m, x), noErr);
  AudioFormat f = x->format();
  EXPECT_TRUE(f.isFloat);
  EXPECT_EQ(f.bits, 32u);
  EXPECT_FALSE(f.interleaved);
  EXPECT_EQ(f.channels, 2u);
  EXPECT_EQ(f.sampleRate, 44100);
  EXPECT_EQ(x->maxSampleSize(), 16u);
  std::vector<float> l(50000), r(50000);
  void* planes[2] = {l.data(), r.data()};
  uint32_t got = 0, total = 0;
  bool done = false;
  while (!done) {
    void* p[2] = {l.data() + total, r.data() + total};
    ASSERT_EQ(x->fill(p, std::min<uint32_t>(3000, 50000 - total), &got, &done), noErr);
    total += got;
    if (!got) break;
  }
  (void)planes;
  EXPECT_TRUE(done);
  EXPECT_EQ(total, uint32_t(int64_t(m->duration()) * 44100 / m->timeScale()));
  std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + media("twos.mov") + "' -f f32le -acodec pcm_f32le -");
  ASSERT_GE(ref.size(), size_t(total) * 8);
  size_t bad = 0;
  for (uint32_t i = 0; i < total; ++i) {
    float a, b;
    std::memcpy(&a, &ref[size_t(i) * 8], 4);
    std::memcpy(&b, &ref[size_t(i) * 8 + 4], 4);
    if (a != l[i] || b != r[i]) ++bad;
  }
  EXPECT_EQ(bad, 0u);
  // Formats the extractor refuses keep the last one.
  AudioFormat slow = x->format();
  slow.sampleRate = 500;
  EXPECT_EQ(x->setFormat(slow), paramErr);
  EXPECT_EQ(x->format().sampleRate, 44100);
  // Seeking: negative clamps to 0; a time in the middle restarts there.
  ASSERT_EQ(x->setTime(-100, 600), noErr);
  EXPECT_EQ(x->positionFrames(), 0);
  ASSERT_EQ(x->setTime(m->timeScale() / 2, m->timeScale()), noErr);
  void* p[2] = {l.data(), r.data()};
  ASSERT_EQ(x->fill(p, 100, &got, &done), noErr);
  float a;
  std::memcpy(&a, &ref[size_t(22050) * 8], 4);
  EXPECT_EQ(l[0], a);
}

TEST(Extraction, SeveralTracksDiscreteAndMixed) {
  std::shared_ptr<Movie> m = open("av2snd.mov");  // mono 22050 for 1 s, stereo 44100 for 0.6 s
  ASSERT_TRUE(m);
  std::unique_ptr<Extractor> x;
  ASSERT_EQ(Extractor::create(m, x), noErr);
  EXPECT_EQ(x->format().sampleRate, 44100);
  EXPECT_EQ(x->format().channels, 2u);
  EXPECT_EQ(x->channelLabels(), (std::vector<uint32_t>{1, 2}));
  ASSERT_EQ(x->setAllChannelsDiscrete(true), noErr);
  EXPECT_EQ(x->format().channels, 3u);
  EXPECT_EQ(x->channelLabels(), (std::vector<uint32_t>{42, 1, 2}));
  AudioFormat f = x->format();
  f.interleaved = true;
  f.bits = 16;
  f.isFloat = false;
  ASSERT_EQ(x->setFormat(f), noErr);
  std::vector<int16_t> buf(size_t(44100) * 3 * 2);
  void* p[1] = {buf.data()};
  uint32_t got = 0;
  bool done = false;
  ASSERT_EQ(x->fill(p, 44100 * 2, &got, &done), noErr);
  EXPECT_TRUE(done);
  EXPECT_EQ(got, uint32_t(int64_t(m->duration()) * 44100 / m->timeScale()));
  // The stereo track ends at 0.6 s: silence after it in its channels, the mono one goes on.
  double tail = 0, monoTail = 0, early = 0;
  for (uint32_t i = 30000; i < 40000; ++i) {
    tail += std::abs(buf[size_t(i) * 3 + 1]) + std::abs(buf[size_t(i) * 3 + 2]);
    monoTail += std::abs(buf[size_t(i) * 3]);
  }
  for (uint32_t i = 1000; i < 2000; ++i) early += std::abs(buf[size_t(i) * 3 + 1]);
  EXPECT_EQ(tail, 0);
  EXPECT_GT(monoTail, 0);
  EXPECT_GT(early, 0);
  EXPECT_EQ(open("in24.mov") ? [] { std::unique_ptr<Extractor> y; Extractor::create(open("in24.mov"), y); return y->maxSampleSize(); }() : 0u, 24u);
}

TEST(Converter, ResamplesAndMapsChannels) {
  // A ramp at 8000 Hz to 16000 Hz: linear interpolation puts midpoints between inputs, also
  // across the boundary between two calls.
  AudioFormat in, out;
  in.sampleRate = 8000;
  in.channels = 1;
  in.bits = 16;
  out = in;
  out.sampleRate = 16000;
  out.channels = 2;
  out.isFloat = true;
  out.bits = 32;
  Converter c;
  ASSERT_EQ(c.setFormats(in, out), noErr);
  int16_t ramp[8] = {0, 1000, 2000, 3000, 4000, 5000, 6000, 7000};
  float o[64] = {};
  uint32_t used = 0, made = 0, total = 0;
  const void* ip[1] = {ramp};
  void* op[1] = {o};
  ASSERT_EQ(c.convert(ip, 4, op, 32, &used, &made), noErr);
  EXPECT_EQ(used, 4u);
  total = made;
  const void* ip2[1] = {ramp + 4};
  void* op2[1] = {o + total * 2};
  ASSERT_EQ(c.convert(ip2, 4, op2, 32 - total, &used, &made), noErr);
  total += made;
  EXPECT_GE(total, 13u);
  for (uint32_t i = 0; i < total; ++i) {
    EXPECT_NEAR(o[i * 2], 500.0 * i / 32768, 1e-6) << i;
    EXPECT_EQ(o[i * 2], o[i * 2 + 1]);  // mono fans out to both
  }
  AudioFormat bad = in;
  bad.channels = 0;
  EXPECT_EQ(c.setFormats(bad, out), paramErr);
}
}  // namespace

namespace {
AudioFormat pcm(uint32_t bits, bool isFloat, bool bigEndian, uint32_t channels = 1) {
  AudioFormat f;
  f.sampleRate = 44100;
  f.channels = channels;
  f.bits = bits;
  f.isFloat = isFloat;
  f.bigEndian = bigEndian;
  return f;
}

// The rule every float to 16-bit conversion follows, written out independently.
int16_t quantised(float x) {
  double s = double(x) * 32768.0;
  if (std::isnan(s)) s = 0;
  s = std::min(32767.0, std::max(-32768.0, s));
  return int16_t(std::llrint(s));
}

TEST(Converter, StraightRunsKeepTheGeneralRule) {
  // 14 stereo frames: whole vector steps and a scalar tail; halfway points round to even.
  const float specials[] = {0.f, -0.f, 1.f, -1.f, 2.f, -2.f, 0.5f / 32768, 1.5f / 32768, std::nanf(""),
                            -0.5f / 32768, -1.5f / 32768, 32767.5f / 32768, -32768.5f / 32768,
                            std::nanf(""), INFINITY, -INFINITY, 1e30f, -1e30f, 0.123456f, -0.654321f,
                            3e-5f, -3e-5f, 0.99999f, -0.99999f, 0.25f, 1.0f / 3, 2.5f / 32768,
                            -2.5f / 32768};
  const uint32_t n = sizeof specials / sizeof specials[0];
  ASSERT_EQ(n % 2, 0u);
  for (bool big : {false, true}) {
    Converter c;
    ASSERT_EQ(c.setFormats(pcm(32, true, false, 2), pcm(16, false, big, 2)), noErr);
    std::vector<uint8_t> out(n * 2, 0xCD);
    const void* ip[1] = {specials};
    void* op[1] = {out.data()};
    uint32_t used = 0, made = 0;
    ASSERT_EQ(c.convert(ip, n / 2, op, n / 2, &used, &made), noErr);
    EXPECT_EQ(made, n / 2);
    for (uint32_t i = 0; i < n; ++i) {
      const uint16_t v = big ? uint16_t(out[2 * i] << 8 | out[2 * i + 1]) : uint16_t(out[2 * i + 1] << 8 | out[2 * i]);
      EXPECT_EQ(int16_t(v), quantised(specials[i])) << "sample " << i << (big ? " big-endian" : "");
    }
  }

  // Float to 32-bit integers and to float: the interleaved runs are what the general loop
  // makes of the same samples laid out in planes.
  for (const AudioFormat& to : {pcm(32, false, false, 2), pcm(32, true, false, 2)}) {
    AudioFormat planar = to;
    planar.interleaved = false;
    AudioFormat from = pcm(32, true, false, 2), fromPlanar = from;
    fromPlanar.interleaved = false;
    Converter straight, general;
    ASSERT_EQ(straight.setFormats(from, to), noErr);
    ASSERT_EQ(general.setFormats(fromPlanar, planar), noErr);
    std::vector<float> left, right;
    for (uint32_t i = 0; i < n; i += 2) left.push_back(specials[i]), right.push_back(specials[i + 1]);
    std::vector<uint32_t> run(n), l(n / 2), r(n / 2);
    const void* ip[1] = {specials};
    void* op[1] = {run.data()};
    const void* pp[2] = {left.data(), right.data()};
    void* gp[2] = {l.data(), r.data()};
    uint32_t used = 0, made = 0;
    ASSERT_EQ(straight.convert(ip, n / 2, op, n / 2, &used, &made), noErr);
    ASSERT_EQ(general.convert(pp, n / 2, gp, n / 2, &used, &made), noErr);
    for (uint32_t i = 0; i < n; ++i) {
      if (to.isFloat && std::isnan(specials[i])) continue;  // NaN stays NaN, its payload aside
      EXPECT_EQ(run[i], i % 2 ? r[i / 2] : l[i / 2]) << "sample " << i << (to.isFloat ? " to float" : " to 32 bits");
    }
  }

  // 16-bit to float is exact, from either byte order; to 16 bits again is the same samples.
  const int16_t ints[] = {0, 1, -1, 32767, -32768, 12345, -12345, 256, -256};
  for (bool big : {false, true}) {
    std::vector<uint8_t> in;
    for (int16_t v : ints) {
      const uint8_t hi = uint8_t(uint16_t(v) >> 8), lo = uint8_t(v);
      in.push_back(big ? hi : lo);
      in.push_back(big ? lo : hi);
    }
    Converter toFloat, toLittle;
    ASSERT_EQ(toFloat.setFormats(pcm(16, false, big), pcm(32, true, false)), noErr);
    ASSERT_EQ(toLittle.setFormats(pcm(16, false, big), pcm(16, false, false)), noErr);
    std::vector<float> f(9);
    std::vector<int16_t> back(9);
    const void* ip[1] = {in.data()};
    void* fp[1] = {f.data()};
    void* bp[1] = {back.data()};
    uint32_t used = 0, made = 0;
    ASSERT_EQ(toFloat.convert(ip, 9, fp, 9, &used, &made), noErr);
    ASSERT_EQ(made, 9u);
    ASSERT_EQ(toLittle.convert(ip, 9, bp, 9, &used, &made), noErr);
    ASSERT_EQ(made, 9u);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(f[i], float(ints[i] / 32768.0)) << i;
      EXPECT_EQ(back[i], ints[i]) << i << (big ? " swapped" : " copied");
    }
  }
}
}  // namespace

// ---- Compressed sound through the process's decoders ----------------------------------------

namespace {
// Sound that says where it came from: every sample of a frame holds the count of frames the
// decoder delivered before it, plus one (refused packets are the zeros). It refuses every
// `refuseEvery`-th packet it is sent, or with `mute` takes packets and never answers.
struct Tagging final : DecoderFactory {
  uint32_t refuseEvery = 0;
  bool mute = false;
  int made = 0;
  uint64_t sent = 0;
  std::vector<uint64_t> firstSent;  // packets sent before each decoder's first output, by decoder

  struct Dec final : AudioDecoder {
    Tagging& f;
    AudioCodec c;
    uint64_t owed = 0, delivered = 0, packets = 0;
    explicit Dec(Tagging& factory, const AudioCodec& codec) : f(factory), c(codec) {}
    Err send(const uint8_t*, size_t) override {
      ++f.sent;
      if (f.refuseEvery && ++packets % f.refuseEvery == 0) return invalidMedia;
      if (!f.mute) owed += c.framesPerPacket;
      return noErr;
    }
    Err receive(void* out, uint32_t capacity, uint32_t* frames) override {
      const uint32_t n = uint32_t(std::min<uint64_t>(owed, capacity));
      float* o = static_cast<float*>(out);
      for (uint32_t i = 0; i < n; ++i)
        for (uint32_t ch = 0; ch < c.channels; ++ch) o[size_t(i) * c.channels + ch] = float(delivered + i + 1);
      owed -= n;
      delivered += n;
      *frames = n;
      return noErr;
    }
    Err drain() override { return noErr; }
  };
  Err createVideo(const VideoCodec&, std::unique_ptr<VideoDecoder>&) override { return cantFindHandler; }
  Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) override {
    ++made;
    out.reset(new Dec(*this, codec));
    return noErr;
  }
};

// The decoded frame at which a table sample's sound begins.
uint64_t packetStart(const Track& t, uint64_t index, uint32_t rate) {
  return uint64_t(t.sampleTime(index)) * rate / t.info().mediaTimeScale;
}

// Every frame through the extractor from the start; the count it gave.
uint64_t extractAll(Extractor& x, std::vector<float>* first = nullptr) {
  const AudioFormat f = x.format();
  std::vector<std::vector<float>> planes(f.channels, std::vector<float>(2048));
  std::vector<void*> p(f.channels);
  uint64_t total = 0;
  bool done = false;
  while (!done) {
    for (uint32_t c = 0; c < f.channels; ++c) p[c] = planes[c].data();
    uint32_t got = 0;
    if (x.fill(p.data(), 2048, &got, &done) != noErr || got == 0) break;
    if (first && first->empty())
      for (uint32_t c = 0; c < f.channels; ++c) first->push_back(planes[c][0]);
    total += got;
  }
  return total;
}
}  // namespace

// Rate, channels and layout come from the configuration; 'mssz' is the decoder's width; the
// edit list trims AAC's priming and the count is ffmpeg's (its stream duration).
TEST(SystemSound, ExtractionTakesTheConfigurationAndTheEditList) {
  FactoryScope scope(checkingDecoderFactory());
  struct Want { const char* file; uint32_t channels, rate, bits; std::vector<uint32_t> labels; };
  const Want cases[] = {
      {"aac-mono-44.mp4", 1, 44100, 32, {kLabelMono}},
      {"aac-stereo-44.mov", 2, 44100, 32, {kLabelLeft, kLabelRight}},
      {"aac-51-48.mp4", 6, 48000, 32, {1, 2, 3, 4, 5, 6}},
      {"aac-51-44.mov", 6, 44100, 32, {1, 2, 3, 4, 5, 6}},
      {"aac-40-tones.mp4", 4, 48000, 32, {kLabelLeft, kLabelRight, kLabelCenter, kLabelCenterSurround}},
      {"aac-71-tones.mp4", 8, 48000, 32, {1, 2, 3, 4, 5, 6, kLabelLeftSurroundDirect, kLabelRightSurroundDirect}},
      {"mp3-44.mp4", 2, 44100, 16, {kLabelLeft, kLabelRight}},
      {"mp3-22.mov", 1, 22050, 16, {kLabelMono}},
  };
  for (const Want& w : cases) {
    SCOPED_TRACE(w.file);
    std::shared_ptr<Movie> m = open(std::string("codec/") + w.file);
    ASSERT_TRUE(m);
    std::unique_ptr<Extractor> x;
    ASSERT_EQ(Extractor::create(m, x), noErr);
    ASSERT_EQ(x->setAllChannelsDiscrete(true), noErr);
    EXPECT_EQ(x->format().channels, w.channels);
    EXPECT_EQ(x->format().sampleRate, w.rate);
    EXPECT_EQ(x->maxSampleSize(), w.bits);
    EXPECT_EQ(x->channelLabels(), w.labels);
    const std::string probe = ffprobe(media(std::string("codec/") + w.file), "stream=duration_ts");
    EXPECT_EQ(extractAll(*x), std::stoull(field(probe, "duration_ts")));
  }
}

// The decoder is made at the first sound, once while reading straight on, and again at a jump,
// fed from the packet before the target's and read forward to it.
TEST(SystemSound, JumpsRestartWithPreRollAndDiscardWhatComesBefore) {
  Tagging tags;
  FactoryScope scope(&tags);
  std::shared_ptr<Movie> m = open("codec/aac-stereo-48.mp4");
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  std::unique_ptr<SoundDecoder> dec;
  ASSERT_EQ(SoundDecoder::create(t, dec), noErr);
  EXPECT_EQ(tags.made, 0);
  EXPECT_EQ(dec->totalFrames(), uint64_t(t.sampleTime(t.sampleCount())));
  std::vector<float> pcm(2 * 700);
  uint64_t at = 0;
  uint32_t got = 0;
  while (at < dec->totalFrames()) {
    ASSERT_EQ(dec->decode(at, 700, pcm.data(), &got), noErr);
    ASSERT_GT(got, 0u);
    for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(pcm[2 * i], float(at + i + 1)) << at + i;
    at += got;
  }
  EXPECT_EQ(at, dec->totalFrames());
  EXPECT_EQ(tags.made, 1);

  uint64_t target = 0;
  ASSERT_TRUE(t.sampleAt(t.sampleTime(7) + 100, &target));
  const uint64_t jump = uint64_t(t.sampleTime(7)) + 100;
  ASSERT_EQ(dec->decode(jump, 10, pcm.data(), &got), noErr);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(tags.made, 2);
  EXPECT_EQ(pcm[0], float(jump - packetStart(t, target - 1, 48000) + 1));
  // Backwards restarts too.
  ASSERT_EQ(dec->decode(5, 1, pcm.data(), &got), noErr);
  EXPECT_EQ(tags.made, 3);
  EXPECT_EQ(pcm[0], 6.f);
}

// Through the extractor in pieces of any size: one decoder for the whole pass, the edit list
// trimming the priming frames, every frame once and in order. The first piece ends two frames
// short of a packet, where the frames read ahead of it cross into the next one.
TEST(SystemSound, ExtractionReadsStraightOnWithOneDecoder) {
  Tagging tags;
  FactoryScope scope(&tags);
  std::shared_ptr<Movie> m = open("codec/aac-stereo-48.mp4");
  ASSERT_TRUE(m);
  std::unique_ptr<Extractor> x;
  ASSERT_EQ(Extractor::create(m, x), noErr);
  const int64_t skipped = m->track(0)->info().edits.at(0).mediaTime;
  std::vector<float> l(1024), r(1024);
  uint64_t at = 0;
  bool done = false;
  while (!done) {
    void* planes[2] = {l.data(), r.data()};
    uint32_t got = 0;
    ASSERT_EQ(x->fill(planes, at ? 300 + uint32_t(at % 400) : uint32_t(2048 - skipped - 2), &got, &done), noErr);
    ASSERT_TRUE(got || done);
    for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(l[i], float(at + i + skipped + 1)) << at + i;
    at += got;
  }
  EXPECT_EQ(tags.made, 1);
}

// A refused packet costs its own frames; a decoder that only takes packets is an error within
// a bounded number of them; no factory leaves the track out as an undecodable one.
TEST(SystemSound, RefusedPacketsAreSilenceAndAMuteDecoderIsAnError) {
  std::shared_ptr<Movie> m = open("codec/aac-stereo-48.mp4");
  ASSERT_TRUE(m);
  const Track& t = *m->track(0);
  {
    Tagging tags;
    tags.refuseEvery = 3;
    FactoryScope scope(&tags);
    std::unique_ptr<SoundDecoder> dec;
    ASSERT_EQ(SoundDecoder::create(t, dec), noErr);
    std::vector<float> pcm(2 * dec->totalFrames());
    uint32_t got = 0;
    ASSERT_EQ(dec->decode(0, uint32_t(dec->totalFrames()), pcm.data(), &got), noErr);
    ASSERT_EQ(got, dec->totalFrames());
    for (uint64_t p = 0; p + 1 < t.sampleCount(); ++p) {
      const bool refused = (p + 1) % 3 == 0;
      for (uint64_t f = packetStart(t, p, 48000); f < packetStart(t, p + 1, 48000); ++f)
        ASSERT_EQ(pcm[2 * f] == 0.f, refused) << "packet " << p << " frame " << f;
    }
  }
  {
    Tagging tags;
    tags.mute = true;
    FactoryScope scope(&tags);
    std::unique_ptr<SoundDecoder> dec;
    ASSERT_EQ(SoundDecoder::create(t, dec), noErr);
    std::vector<float> pcm(2 * 100);
    uint32_t got = 0;
    EXPECT_NE(dec->decode(0, 100, pcm.data(), &got), noErr);
    EXPECT_EQ(got, 0u);
    EXPECT_LE(tags.sent, t.sampleCount());
  }
  {
    FactoryScope scope(nullptr);
    std::unique_ptr<SoundDecoder> dec;
    EXPECT_EQ(SoundDecoder::create(t, dec), cantFindHandler);
    std::unique_ptr<Extractor> x;
    ASSERT_EQ(Extractor::create(m, x), noErr);
    EXPECT_TRUE(x->channelLabels().empty());
    std::vector<float> first;
    EXPECT_EQ(extractAll(*x, &first), uint64_t(m->duration()) * 44100 / m->timeScale());
    EXPECT_EQ(first.at(0), 0.f);
  }
}

// Where the table gives packets more time than they decode to, the decoded sound ends early and
// a read past it gives nothing, at once: each call decodes forward or gives up (a jump there
// used to make a new decoder at the same packet again and again).
TEST(SystemSound, PacketsShorterThanTheirTableTimesEndTheSoundEarly) {
  namespace mw = moviewriter;
  mw::Movie mv;
  mw::Track t;
  t.handler = "soun";
  t.timeScale = 44100;
  t.description = mw::aacDescription(2, 44100, {0x12, 0x10});  // AAC-LC, 44.1 kHz, stereo
  t.stts = {{5, 8830}};  // five packets of 1024 frames, each said to last 8830
  t.sizes = {20, 21, 22, 23, 24};
  mw::Chunk c;
  c.samples = 5;
  c.data.assign(20 + 21 + 22 + 23 + 24, 0x21);
  t.chunks.push_back(c);
  mv.tracks.push_back(t);
  const mw::Bytes file = mw::write(mv);
  std::shared_ptr<Movie> m;
  Err trackErr = noErr;
  ASSERT_EQ(Movie::open(memorySource(file.data(), file.size()), m, &trackErr), noErr);
  Tagging tags;
  FactoryScope scope(&tags);
  std::unique_ptr<SoundDecoder> dec;
  ASSERT_EQ(SoundDecoder::create(*m->track(0), dec), noErr);
  ASSERT_EQ(dec->totalFrames(), 5u * 8830);
  std::vector<float> pcm(2 * 5 * 8830);
  uint32_t got = 0;
  ASSERT_EQ(dec->decode(0, 5 * 8830, pcm.data(), &got), noErr);
  EXPECT_EQ(got, 5u * 1024);
  EXPECT_EQ(pcm[2 * (5 * 1024 - 1)], float(5 * 1024));
  for (const uint64_t at : {uint64_t(5 * 8830 / 2), uint64_t(5 * 1024), uint64_t(5 * 8830 - 1)}) {
    ASSERT_EQ(dec->decode(at, 512, pcm.data(), &got), noErr) << at;
    EXPECT_EQ(got, 0u) << at;
  }
  EXPECT_LE(tags.made, 4);
  // Inside the decoded sound a jump still lands on its frame.
  ASSERT_EQ(dec->decode(3000, 10, pcm.data(), &got), noErr);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(pcm[0], 3001.f);
}
