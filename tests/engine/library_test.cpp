// The decoder library behind the engine (Debian's build of it, linked): pictures bit for bit as
// ffmpeg decodes them before any colour conversion, sound as ffmpeg's float, in display order
// through reordering, and the chain's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "helpers.h"
#include "description.h"
#include "libav.h"
#include "moviewriter.h"
#include "pictures.h"
#include "timemath.h"
#include "trackpictures.h"

using namespace qte;

namespace {

DecoderFactory* library() {
  static std::unique_ptr<DecoderFactory> factory = linkedLibav() ? makeLibavFactory(*linkedLibav()) : nullptr;
  return factory.get();
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library()) << "the linked library is not usable"; }
  FactoryScope decoders_{library()};
};

const Track* trackOf(const Movie& m, Kind kind) {
  for (size_t i = 0; i < m.trackCount(); ++i)
    if (m.track(i)->info().kind == kind) return m.track(i);
  return nullptr;
}

// A picture's planes as ffmpeg's rawvideo writes them: rows packed, of the displayed size.
void appendPlanes(const YuvPicture& p, int32_t w, int32_t h, std::vector<uint8_t>& out) {
  const size_t sample = p.bitDepth > 8 ? 2 : 1;
  const int32_t cw = (w + (1 << p.chromaShiftX) - 1) >> p.chromaShiftX;
  const int32_t ch = (h + (1 << p.chromaShiftY) - 1) >> p.chromaShiftY;
  const uint8_t* planes[3] = {p.y, p.u, p.v};
  const ptrdiff_t strides[3] = {p.yStride, p.uStride, p.vStride};
  for (int i = 0; i < 3; ++i)
    for (int32_t r = 0; r < (i ? ch : h); ++r) {
      const uint8_t* row = planes[i] + r * strides[i];
      out.insert(out.end(), row, row + size_t(i ? cw : w) * sample);
    }
}

struct VideoCase {
  const char* file;    // under the media folder
  const char* pixFmt;  // ffmpeg's name of the decoder's output format; "bgr0": the drawn RGB
};

// A packed picture's rows as rawvideo has them, or (bgr0) as the engine draws them: B G R and a
// byte that is not compared.
void appendPacked(const Picture& p, int32_t w, int32_t h, bool drawn, std::vector<uint8_t>& out) {
  if (drawn) {
    Frame f;
    ASSERT_EQ(packedToFrame(p, w, h, f), noErr);
    for (uint32_t px : f.px)
      for (int i = 0; i < 4; ++i) out.push_back(i < 3 ? uint8_t(px >> (8 * i)) : 0);
    return;
  }
  PictureGeometry g;
  ASSERT_TRUE(pictureGeometry(p, &g));
  ASSERT_EQ(g.planes, 1);
  const size_t rowBytes = g.rowBytes[0] / size_t(p.width) * size_t(w);
  for (int32_t r = 0; r < h; ++r) {
    const uint8_t* row = p.planes[0] + r * p.strides[0];
    out.insert(out.end(), row, row + rowBytes);
  }
}

// Every sample's picture of the file's video track, asked for in display order, against ffmpeg's
// frames of the same file.
void expectPicturesOfFfmpeg(const std::string& file, const std::string& pixFmt) {
  std::shared_ptr<Movie> m = open(file);
  ASSERT_TRUE(m);
  const Track* t = trackOf(*m, Kind::video);
  ASSERT_TRUE(t);
  std::unique_ptr<TrackPictures> pictures;
  ASSERT_EQ(TrackPictures::create(*t, pictures), noErr);
  std::vector<int64_t> times;
  for (uint64_t i = 0; i < t->sampleCount(); ++i) times.push_back(t->displayTime(i));
  std::sort(times.begin(), times.end());
  const bool drawn = pixFmt == "bgr0";
  std::vector<uint8_t> ours;
  int32_t w = 0, h = 0;
  for (int64_t time : times) {
    Picture p;
    bool got = false;
    const VideoCodec* codec = nullptr;
    ASSERT_EQ(pictures->pictureAt(time - std::min<int64_t>(0, t->earliestDisplayTime()), &p, &got, &codec), noErr);
    ASSERT_TRUE(got) << "no picture at " << time;
    ASSERT_EQ(p.packed, drawn || pixFmt.find("yuv") == std::string::npos) << pixFmt;
    w = std::min<int32_t>(p.packed ? p.width : p.yuv.width, int32_t(codec->width));
    h = std::min<int32_t>(p.packed ? p.height : p.yuv.height, int32_t(codec->height));
    if (p.packed) appendPacked(p, w, h, drawn, ours);
    else appendPlanes(p.yuv, w, h, ours);
  }
  std::vector<uint8_t> ref = run("ffmpeg -v error -i '" + media(file) + "' -fps_mode passthrough -f rawvideo -pix_fmt " +
                                 pixFmt + " -");
  ASSERT_EQ(ours.size(), ref.size()) << w << "x" << h;
  if (drawn)
    for (size_t i = 3; i < ref.size(); i += 4) ref[i] = 0;
  size_t first = 0;
  while (first < ref.size() && ours[first] == ref[first]) ++first;
  EXPECT_EQ(first, ref.size()) << "first difference at byte " << first << ": " << int(ours[first]) << " for "
                               << int(ref[first]);
}

class LibraryVideo : public Library, public ::testing::WithParamInterface<VideoCase> {};

TEST_P(LibraryVideo, PicturesEqualFfmpegBitForBit) {
  expectPicturesOfFfmpeg(GetParam().file, GetParam().pixFmt);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LibraryVideo,
    ::testing::Values(VideoCase{"codec/h264-high.mp4", "yuv420p"}, VideoCase{"codec/h264-opengop.mp4", "yuv420p"},
                      VideoCase{"codec/hevc.mp4", "yuv420p"}, VideoCase{"video/hevc-main.mp4", "yuv420p"},
                      VideoCase{"video/hevc-main-hev1.mov", "yuv420p"}, VideoCase{"video/hevc-main10.mov", "yuv420p10le"},
                      VideoCase{"video/hevc-main10-hev1.mp4", "yuv420p10le"}, VideoCase{"video/mpeg4.mp4", "yuv420p"},
                      VideoCase{"video/mpeg4.mov", "yuv420p"}, VideoCase{"video/h263.3gp", "yuv420p"},
                      VideoCase{"video/av1.mp4", "yuv420p"}, VideoCase{"video/vp9.mp4", "yuv420p"},
                      VideoCase{"video/vp9-10.mp4", "yuv420p10le"}, VideoCase{"video/prores-0.mov", "yuv422p10le"},
                      VideoCase{"video/prores-1.mov", "yuv422p10le"}, VideoCase{"video/prores-2.mov", "yuv422p10le"},
                      VideoCase{"video/prores-3.mov", "yuv422p10le"}, VideoCase{"video/prores-4.mov", "yuv444p12le"},
                      VideoCase{"video/prores-5.mov", "yuv444p12le"}, VideoCase{"video/jpeg.mov", "yuvj420p"},
                      VideoCase{"video/mjpa.mov", "yuvj422p"}, VideoCase{"video/png-rgb24.mov", "rgb24"},
                      VideoCase{"video/png-rgba.mov", "rgba"}, VideoCase{"video/png-rgb48.mov", "rgb48be"},
                      VideoCase{"video/png-pal8.mov", "bgr0"}, VideoCase{"video/png-gray.mov", "gray"},
                      VideoCase{"video/dv-pal.mov", "yuv420p"}, VideoCase{"video/dv-ntsc.mov", "yuv411p"},
                      VideoCase{"video/dv-50.mov", "yuv422p"}, VideoCase{"video/cinepak.mov", "rgb24"},
                      VideoCase{"video/svq1.mov", "yuv410p"}, VideoCase{"video/rpza.mov", "rgb555le"},
                      VideoCase{"video/smc.mov", "bgr0"}),
    [](const ::testing::TestParamInfo<VideoCase>& i) {
      std::string s = i.param.file;
      std::replace_if(s.begin(), s.end(), [](char ch) { return !isalnum(ch); }, '_');
      return s;
    });

namespace mw = moviewriter;

// The video samples of a movie made by ffmpeg, each a chunk of its own, under another
// description: for the entries ffmpeg does not write.
mw::Track videoTrackOf(const Track& t, const mw::Bytes& description) {
  mw::Track out;
  out.timeScale = t.info().mediaTimeScale;
  out.description = description;
  out.width = uint32_t(t.info().width), out.height = uint32_t(t.info().height);
  for (uint64_t i = 0; i < t.sampleCount(); ++i) {
    mw::Chunk c;
    c.data = sampleBytes(t, i);
    out.sizes.push_back(uint32_t(c.data.size()));
    out.chunks.push_back(std::move(c));
    const int64_t next = i + 1 < t.sampleCount() ? t.sampleTime(i + 1) : t.info().mediaDuration;
    out.stts.push_back({1, uint32_t(next - t.sampleTime(i))});
  }
  return out;
}

std::string saved(const std::string& name, const mw::Track& t) {
  mw::Movie m;
  m.tracks.push_back(t);
  const std::string path = "video/built-" + name;
  return mw::save(media(path), mw::write(m)) ? path : std::string();
}

// A colour table as an entry carries it after its fixed fields (the size field grown).
mw::Bytes withColourTable(mw::Bytes entry, const std::vector<uint32_t>& colours) {
  entry[84] = entry[85] = 0;  // colour table ID 0: the table follows
  auto u16 = [&](uint32_t v) { entry.push_back(uint8_t(v >> 8)), entry.push_back(uint8_t(v)); };
  u16(0), u16(0), u16(0), u16(uint32_t(colours.size() - 1));
  for (size_t i = 0; i < colours.size(); ++i) {
    // Index fields other than the position: the position counts (as for ffmpeg).
    u16(uint32_t(colours.size() - 1 - i));
    for (int shift : {16, 8, 0}) u16((colours[i] >> shift & 0xFF) * 0x101);
  }
  const uint32_t n = uint32_t(entry.size());
  for (int i = 0; i < 4; ++i) entry[i] = uint8_t(n >> (24 - 8 * i));
  return entry;
}

// Graphics ('smc ') at 8 bits: the decoder has no colours of its own; the entry's table, and the
// default table when the entry has none, as ffmpeg shows them.
TEST_F(Library, EightBitPicturesTakeTheEntrysColours) {
  std::shared_ptr<Movie> m = open("video/smc.mov");
  ASSERT_TRUE(m);
  const Track& t = *trackOf(*m, Kind::video);
  const mw::Bytes plain = mw::videoDescription("smc ", 320, 180, 8);
  const std::string byDefault = saved("smc-default.mov", videoTrackOf(t, plain));
  ASSERT_FALSE(byDefault.empty());
  expectPicturesOfFfmpeg(byDefault, "bgr0");
  std::vector<uint32_t> colours(256);
  for (uint32_t i = 0; i < 256; ++i) colours[i] = (i * 0x9E3779B1u) >> 8;
  const std::string inTable = saved("smc-table.mov", videoTrackOf(t, withColourTable(plain, colours)));
  ASSERT_FALSE(inTable.empty());
  expectPicturesOfFfmpeg(inTable, "bgr0");
}

// Planar RGB ('8BPS'), which no encoder writes: PackBits rows of each plane in turn after every
// row's length; 24-bit and 8-bit with the entry's colours.
mw::Bytes planarRgbFrame(const std::vector<std::vector<uint8_t>>& planes, uint32_t w, uint32_t h) {
  std::vector<mw::Bytes> rows;
  for (const std::vector<uint8_t>& plane : planes)
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t* s = plane.data() + y * w;
      mw::Bytes r;
      for (uint32_t x = 0; x < w;) {
        uint32_t run = 1;
        while (x + run < w && run < 128 && s[x + run] == s[x]) ++run;
        if (run > 1) {
          r.push_back(uint8_t(257 - run)), r.push_back(s[x]);
        } else {
          uint32_t lit = 1;
          while (x + lit < w && lit < 128 && !(x + lit + 1 < w && s[x + lit] == s[x + lit + 1])) ++lit;
          r.push_back(uint8_t(lit - 1));
          r.insert(r.end(), s + x, s + x + lit);
          run = lit;
        }
        x += run;
      }
      rows.push_back(std::move(r));
    }
  mw::Bytes out;
  for (const mw::Bytes& r : rows) out.push_back(uint8_t(r.size() >> 8)), out.push_back(uint8_t(r.size()));
  for (const mw::Bytes& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

TEST_F(Library, PlanarRgbEqualsFfmpeg) {
  constexpr uint32_t w = 96, h = 40;
  std::vector<uint32_t> colours(256);
  for (uint32_t i = 0; i < 256; ++i) colours[i] = (i * 0x6F4A7C15u) >> 8;
  for (uint16_t depth : {24, 8}) {
    SCOPED_TRACE(depth);
    mw::Track t;
    t.description = mw::videoDescription("8BPS", w, h, depth);
    if (depth == 8) t.description = withColourTable(t.description, colours);
    t.width = w, t.height = h;
    for (uint32_t k = 0; k < 4; ++k) {
      // Runs and noise, each plane its own, changing from frame to frame.
      std::vector<std::vector<uint8_t>> planes(depth / 8, std::vector<uint8_t>(w * h));
      for (size_t p = 0; p < planes.size(); ++p)
        for (uint32_t i = 0; i < w * h; ++i)
          planes[p][i] = (i % w) < 40 ? uint8_t((i / w + k * 7 + p * 50) & 0xF0) : uint8_t((i * 2654435761u + k + p) >> 13);
      mw::Chunk c;
      c.data = planarRgbFrame(planes, w, h);
      t.sizes.push_back(uint32_t(c.data.size()));
      t.chunks.push_back(std::move(c));
    }
    t.stts = {{4, 60}};
    const std::string file = saved("8bps-" + std::to_string(depth) + ".mov", t);
    ASSERT_FALSE(file.empty());
    expectPicturesOfFfmpeg(file, "bgr0");
  }
}

// Dolby Vision's 'dvh1' with an 'hvcC' decodes as the HEVC it carries (its base layer).
TEST_F(Library, DolbyVisionEntryWithHevcConfigurationIsHevc) {
  std::vector<uint8_t> b = run("cat '" + media("video/hevc-main.mp4") + "'");
  const std::string s(b.begin(), b.end());
  const size_t stsd = s.find("stsd");
  ASSERT_NE(stsd, std::string::npos);
  const size_t code = s.find("hvc1", stsd);
  ASSERT_NE(code, std::string::npos);
  std::memcpy(&b[code], "dvh1", 4);
  ASSERT_TRUE(mw::save(media("video/built-dvh1.mp4"), b));
  std::shared_ptr<Movie> m = open("video/built-dvh1.mp4");
  ASSERT_TRUE(m);
  EXPECT_EQ(codecOf(trackOf(*m, Kind::video)->info().descriptions[0]), CodecId::hevc);
  expectPicturesOfFfmpeg("video/built-dvh1.mp4", "yuv420p");
}

// Sorenson Video 3, which no encoder writes: the library's decoder takes the entry from its code
// on and reads the sequence header inside 'SMI ' (its picture size, the field lengths it
// states); one that overruns its atom is refused.
TEST_F(Library, SorensonVideo3TakesItsEntryAsConfiguration) {
  auto entry = [](uint32_t seqhSize) {
    mw::Bytes e = mw::videoDescription("SVQ3", 200, 100, 24);
    // Frame size code 7 (12-bit width and height follow), half- and third-pel flags, four
    // unknown bits, low delay, an unknown bit, no extra bytes, no watermark.
    uint8_t seqh[8] = {};
    uint32_t at = 0;
    auto put = [&](uint32_t v, uint32_t bits) {
      for (uint32_t i = bits; i-- > 0; ++at) seqh[at / 8] |= uint8_t((v >> i & 1) << (7 - at % 8));
    };
    put(7, 3), put(200, 12), put(100, 12), put(0b11, 2), put(0, 4), put(1, 1), put(0, 1), put(0, 1), put(0, 1);
    const uint32_t atom = 8 + 8 + sizeof seqh;
    for (int i = 0; i < 4; ++i) e.push_back(uint8_t(atom >> (24 - 8 * i)));
    for (char c : std::string("SMI SEQH")) e.push_back(uint8_t(c));
    for (int i = 0; i < 4; ++i) e.push_back(uint8_t(seqhSize >> (24 - 8 * i)));
    e.insert(e.end(), seqh, seqh + sizeof seqh);
    for (int i = 0; i < 4; ++i) e[i] = uint8_t(e.size() >> (24 - 8 * i));
    return e;
  };
  for (uint32_t seqhSize : {8u, 64u}) {
    SCOPED_TRACE(seqhSize);
    const mw::Bytes e = entry(seqhSize);
    SampleDescription d;
    ASSERT_EQ(parseDescription(e.data(), e.size(), Kind::video, d), noErr);
    VideoCodec codec;
    ASSERT_EQ(videoCodecOf(d, &codec), noErr);
    ASSERT_EQ(codec.id, CodecId::svq3);
    EXPECT_EQ(codec.config, mw::Bytes(e.begin() + 4, e.end()));
    std::unique_ptr<VideoDecoder> decoder;
    EXPECT_EQ(library()->createVideo(codec, decoder), seqhSize == 8 ? noErr : invalidMedia);
  }
}

// A JPEG picture (one scan, no restart markers) in Motion-JPEG B's layout, which no encoder
// writes: a header of offsets to the tables, frame and scan segments, and the scan's bytes
// without their stuffing; empty for a picture it cannot take.
mw::Bytes motionJpegB(const mw::Bytes& jpeg) {
  mw::Bytes segments;
  uint32_t offsets[5] = {};  // DQT, DHT, SOF, SOS, the scan's data; from the picture's start
  constexpr uint32_t kHeader = 40;
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const uint8_t marker = jpeg[at + 1];
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (at + 2 + length > jpeg.size()) return {};
    const int slot = marker == 0xDB ? 0 : marker == 0xC4 ? 1 : marker == 0xC0 ? 2 : marker == 0xDA ? 3 : -1;
    if (slot >= 0) {
      if (offsets[slot]) return {};  // one segment of each kind only
      offsets[slot] = kHeader + uint32_t(segments.size());
      segments.insert(segments.end(), jpeg.begin() + at + 2, jpeg.begin() + at + 2 + length);
    }
    at += 2 + length;
    if (marker == 0xDA) break;
  }
  offsets[4] = kHeader + uint32_t(segments.size());
  for (; at + 1 < jpeg.size() && !(jpeg[at] == 0xFF && jpeg[at + 1] != 0); ++at) {
    segments.push_back(jpeg[at]);
    if (jpeg[at] == 0xFF) ++at;  // its stuffed zero
  }
  mw::Bytes out(kHeader, 0);
  const uint32_t total = kHeader + uint32_t(segments.size());
  const uint32_t fields[9] = {fourcc("mjpg"), total, total, 0, offsets[0], offsets[1], offsets[2], offsets[3], offsets[4]};
  for (int f = 0; f < 9; ++f)
    for (int i = 0; i < 4; ++i) out[4 + 4 * f + i] = uint8_t(fields[f] >> (24 - 8 * i));
  out.insert(out.end(), segments.begin(), segments.end());
  return out;
}

TEST_F(Library, MotionJpegBEqualsFfmpeg) {
  std::shared_ptr<Movie> m = open("video/jpeg.mov");
  ASSERT_TRUE(m);
  mw::Track t = videoTrackOf(*trackOf(*m, Kind::video), mw::videoDescription("mjpb", 320, 180, 24));
  t.sizes.clear();
  for (mw::Chunk& c : t.chunks) {
    c.data = motionJpegB(c.data);
    ASSERT_FALSE(c.data.empty());
    t.sizes.push_back(uint32_t(c.data.size()));
  }
  const std::string file = saved("mjpb.mov", t);
  ASSERT_FALSE(file.empty());
  expectPicturesOfFfmpeg(file, "yuvj420p");
}

// The first sound track decoded to float, interleaved.
std::vector<float> decodeSound(const Movie& m) {
  std::vector<float> out;
  const Track* t = trackOf(m, Kind::sound);
  std::unique_ptr<SoundDecoder> dec;
  if (!t || SoundDecoder::create(*t, dec) != noErr) return out;
  const AudioFormat f = dec->format();
  if (!f.isFloat || f.bits != 32 || !f.interleaved) return out;
  std::vector<float> block(4096 * f.channels);
  for (uint64_t at = 0;;) {
    uint32_t got = 0;
    if (dec->decode(at, 4096, block.data(), &got) != noErr || got == 0) break;
    out.insert(out.end(), block.begin(), block.begin() + size_t(got) * f.channels);
    at += got;
  }
  return out;
}

class LibrarySound : public Library, public ::testing::WithParamInterface<const char*> {};

// ffmpeg's float, sample for sample, from the first packet (the edit list ignored on both sides):
// the media's duration of it, which the last packet may pass.
TEST_P(LibrarySound, EqualsFfmpegFloat) {
  const std::string file = std::string("codec/") + GetParam();
  std::shared_ptr<Movie> m = open(file);
  ASSERT_TRUE(m);
  const std::vector<float> ours = decodeSound(*m);
  const std::vector<uint8_t> bytes =
      run("ffmpeg -v error -ignore_editlist 1 -i '" + media(file) + "' -f f32le -");
  std::vector<float> ref(bytes.size() / 4);
  std::memcpy(ref.data(), bytes.data(), ref.size() * 4);
  ASSERT_GT(ours.size(), 1000u);
  ASSERT_LE(ours.size(), ref.size());
  ASSERT_GT(ours.size(), ref.size() * 9 / 10);
  ref.resize(ours.size());
  size_t first = 0;
  while (first < ref.size() && ours[first] == ref[first]) ++first;
  EXPECT_EQ(first, ref.size()) << "first difference at sample " << first << " of " << ref.size();
}

INSTANTIATE_TEST_SUITE_P(Formats, LibrarySound,
                         ::testing::Values("aac-stereo-44.mov", "aac-51-48.mp4", "mp3-44.mp4", "mp3-22.mov"));
struct SoundCase {
  const char* file;         // of make-sound-movies.sh
  uint32_t decoderSkips;    // frames ffmpeg's decoder drops itself (Opus: the 'dOps' pre-skip)
  const char* decoder;      // ffmpeg's decoder when its default is not ours ("": the default)
};

class LibrarySoundFormats : public Library, public ::testing::WithParamInterface<SoundCase> {};

// ffmpeg's float from the first packet on, as LibrarySound, for the formats ffmpeg encodes and
// for streams of valid frames over noise; decoded as long as the track lasts.
TEST_P(LibrarySoundFormats, EqualsFfmpegFloat) {
  const SoundCase c = GetParam();
  const std::string file = std::string("codec/") + c.file;
  std::shared_ptr<Movie> m = open(file);
  ASSERT_TRUE(m);
  const Track* t = trackOf(*m, Kind::sound);
  ASSERT_TRUE(t);
  std::unique_ptr<SoundDecoder> dec;
  ASSERT_EQ(SoundDecoder::create(*t, dec), noErr);
  const uint32_t channels = dec->format().channels;
  const std::vector<float> ours = decodeSound(*m);
  const bool raw = std::strstr(c.file, ".amr") || std::strstr(c.file, ".awb");
  const std::vector<uint8_t> bytes =
      run(std::string("ffmpeg -v error ") + (raw ? "" : "-ignore_editlist 1 ") + (*c.decoder ? "-c:a " : "") +
          c.decoder + " -i '" + media(file) + "' -f f32le -");
  std::vector<float> ref(bytes.size() / 4);
  if (!ref.empty()) std::memcpy(ref.data(), bytes.data(), ref.size() * 4);
  // The table's duration of sound, to the frame.
  const uint64_t frames = uint64_t(mulDiv(t->sampleTime(t->sampleCount()), int64_t(dec->format().sampleRate),
                                          t->info().mediaTimeScale));
  ASSERT_EQ(dec->totalFrames(), frames);
  ASSERT_EQ(ours.size(), frames * channels);
  const size_t skip = size_t(c.decoderSkips) * channels;
  ASSERT_GT(ours.size(), skip + 1000);
  ASSERT_LE(ours.size() - skip, ref.size());
  ASSERT_GT(ours.size(), ref.size() * 9 / 10);
  size_t first = skip;
  while (first < ours.size() && ours[first] == ref[first - skip]) ++first;
  EXPECT_EQ(first, ours.size()) << "first difference at sample " << first << " of " << ours.size();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LibrarySoundFormats,
    // libopus's pre-skip is 312 frames. ffmpeg's default layer II decoder is its fixed-point
    // one (within 1.04 16-bit steps of the float one, which ours is).
    ::testing::Values(SoundCase{"alac-16.m4a", 0, ""}, SoundCase{"alac-24.mov", 0, ""},
                      SoundCase{"ac3-51.mp4", 0, ""}, SoundCase{"eac3-51.mp4", 0, ""},
                      SoundCase{"opus-stereo.mp4", 312, ""}, SoundCase{"opus-51.mp4", 312, ""},
                      SoundCase{"flac.mp4", 0, ""}, SoundCase{"mp2.mov", 0, "mp3float"},
                      SoundCase{"mp3-24.mov", 0, ""}, SoundCase{"gsm.mov", 0, ""}, SoundCase{"amr-nb.mov", 0, ""},
                      SoundCase{"amr-wb.3gp", 0, ""}, SoundCase{"amr-nb.amr", 0, ""}, SoundCase{"amr-wb.awb", 0, ""},
                      SoundCase{"mace3.mov", 0, ""}, SoundCase{"mace6.mov", 0, ""}),
    [](const ::testing::TestParamInfo<SoundCase>& i) {
      std::string s = i.param.file;
      std::replace_if(s.begin(), s.end(), [](char ch) { return !isalnum(ch); }, '_');
      return s;
    });

// HE-AAC: no encoder here makes it, so an AAC-LC stream at 24 kHz goes into a movie whose
// configuration signals SBR at 48 kHz (v1), and parametric stereo too (v2), explicitly. The
// decoder upsamples the core without SBR data and makes PS's two channels: the rate, channels
// and packet length the configuration gives, and ffmpeg's float for the same movie.
TEST_F(Library, HeAacTakesRateAndChannelsFromSbrAndPs) {
  const std::vector<uint8_t> adts = run("cat '" + media("codec/aac-mono-24.adts") + "'");
  const std::vector<std::vector<uint8_t>> packets = moviewriter::adtsPackets(adts);
  ASSERT_GT(packets.size(), 5u);
  // Object type 5 (SBR) or 29 (PS), core 24 kHz mono, SBR at 48 kHz, then AAC-LC.
  const struct { const char* name; uint8_t objectType; uint32_t channels; } cases[] = {
      {"heaac-v1.mp4", 0x2B, 1}, {"heaac-v2.mp4", 0xEB, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    moviewriter::Movie mv;
    mv.timeScale = 48000;
    moviewriter::Track t;
    t.handler = "soun";
    t.timeScale = 48000;
    t.description = moviewriter::aacDescription(uint16_t(c.channels), 48000, {c.objectType, 0x09, 0x88, 0x00});
    t.stts = {{uint32_t(packets.size()), 2048}};
    moviewriter::Chunk chunk;
    chunk.samples = uint32_t(packets.size());
    for (const auto& p : packets) {
      t.sizes.push_back(uint32_t(p.size()));
      chunk.data.insert(chunk.data.end(), p.begin(), p.end());
    }
    t.chunks.push_back(chunk);
    mv.tracks.push_back(t);
    const std::string file = std::string("codec/") + c.name;
    ASSERT_TRUE(moviewriter::save(media(file), moviewriter::write(mv)));
    std::shared_ptr<Movie> m = open(file);
    ASSERT_TRUE(m);
    std::unique_ptr<SoundDecoder> dec;
    ASSERT_EQ(SoundDecoder::create(*trackOf(*m, Kind::sound), dec), noErr);
    EXPECT_EQ(dec->format().sampleRate, 48000);
    EXPECT_EQ(dec->format().channels, c.channels);
    EXPECT_EQ(dec->totalFrames(), packets.size() * 2048);
    const std::vector<float> ours = decodeSound(*m);
    const std::vector<uint8_t> bytes = run("ffmpeg -v error -i '" + media(file) + "' -f f32le -");
    std::vector<float> ref(bytes.size() / 4);
    if (!ref.empty()) std::memcpy(ref.data(), bytes.data(), ref.size() * 4);
    const size_t frames = packets.size() * 2048;
    ASSERT_EQ(ours.size(), frames * c.channels);
    // ffmpeg's decoder makes mono SBR two channels (PS may turn up in it): ours is the first.
    const size_t refChannels = ref.size() / frames;
    ASSERT_EQ(ref.size(), frames * refChannels);
    ASSERT_GE(refChannels, c.channels);
    size_t first = 0;
    while (first < ours.size() &&
           ours[first] == ref[first / c.channels * refChannels + first % c.channels])
      ++first;
    EXPECT_EQ(first, ours.size()) << "first difference at sample " << first;
  }
}

// ffmpeg's decoding as a WAVE file: its channel mask and float samples.
struct Wave {
  uint32_t mask = 0, channels = 0;
  std::vector<float> samples;
};
bool parseWave(const std::vector<uint8_t>& b, Wave* w) {
  auto u32 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24; };
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8, end = std::min(b.size(), body + size);
    if (std::memcmp(&b[at], "fmt ", 4) == 0 && size >= 24) {
      w->channels = uint32_t(b[body + 2]) | uint32_t(b[body + 3]) << 8;
      if (size >= 24 && uint32_t(b[body]) == 0xFE && b[body + 1] == 0xFF) w->mask = u32(body + 20);
    } else if (std::memcmp(&b[at], "data", 4) == 0) {
      w->samples.resize((end - body) / 4);
      std::memcpy(w->samples.data(), &b[body], w->samples.size() * 4);
      return w->channels != 0;
    }
    at = body + size + (size & 1);
  }
  return false;
}

// A tone of its own in each channel: every speaker our labels name carries ffmpeg's channel for
// that speaker, sample for sample, and the speakers are ffmpeg's.
TEST_F(Library, EachChannelLandsOnTheSpeakerItsLabelNames) {
  const struct { const char* name; size_t decoderSkips; } cases[] = {
      {"ac3-51.mp4", 0}, {"eac3-51.mp4", 0}, {"opus-51.mp4", 312}, {"opus-71.mp4", 312}, {"flac-71.mp4", 0},
      {"alac-71.m4a", 0}};
  for (const auto& c : cases) {
    const char* name = c.name;
    SCOPED_TRACE(name);
    const std::string file = std::string("codec/") + name;
    std::shared_ptr<Movie> m = open(file);
    ASSERT_TRUE(m);
    std::unique_ptr<SoundDecoder> dec;
    ASSERT_EQ(SoundDecoder::create(*trackOf(*m, Kind::sound), dec), noErr);
    const std::vector<uint32_t> labels = dec->labels();
    const std::vector<float> ours = decodeSound(*m);
    Wave want;
    ASSERT_TRUE(parseWave(run("ffmpeg -v error -ignore_editlist 1 -i '" + media(file) + "' -c:a pcm_f32le -f wav -"), &want));
    ASSERT_EQ(labels.size(), want.channels);
    uint32_t mask = 0;
    for (uint32_t l : labels) {
      ASSERT_NE(speakerOf(l), 0u) << "label " << l;
      mask |= speakerOf(l);
    }
    ASSERT_EQ(mask, want.mask);
    const size_t frames = ours.size() / labels.size() - c.decoderSkips;
    ASSERT_GT(frames, 10000u);
    ASSERT_LE(frames, want.samples.size() / want.channels);
    for (size_t k = 0; k < labels.size(); ++k) {
      // ffmpeg's channels go in the order of their speakers' bits.
      const size_t j = size_t(__builtin_popcount(want.mask & (speakerOf(labels[k]) - 1)));
      size_t f = 0;
      while (f < frames && ours[(f + c.decoderSkips) * labels.size() + k] == want.samples[f * want.channels + j]) ++f;
      EXPECT_EQ(f, frames) << "label " << labels[k] << " differs at frame " << f;
    }
  }
}

// A factory that counts what it was asked and takes nothing.
class Refusing final : public DecoderFactory {
 public:
  explicit Refusing(Err answer) : answer_(answer) {}
  Err createVideo(const VideoCodec&, std::unique_ptr<VideoDecoder>&) override { return ++asked, answer_; }
  Err createAudio(const AudioCodec&, std::unique_ptr<AudioDecoder>&) override { return ++asked, answer_; }
  int asked = 0;

 private:
  Err answer_;
};

TEST(DecoderChain, TheFirstFactoryThatTakesTheCodecWins) {
  ASSERT_TRUE(library());
  std::shared_ptr<Movie> m = open("codec/aac-stereo-44.mov");
  ASSERT_TRUE(m);
  AudioCodec codec;
  ASSERT_EQ(audioCodecOf(trackOf(*m, Kind::sound)->info().descriptions[0], nullptr, 0, &codec), noErr);
  Refusing none(cantFindHandler), broken(invalidMedia);
  std::unique_ptr<AudioDecoder> d;
  DecoderChain chain({&none, library(), &broken});
  EXPECT_EQ(chain.createAudio(codec, d), noErr);
  EXPECT_TRUE(d);
  EXPECT_EQ(none.asked, 1);
  EXPECT_EQ(broken.asked, 0) << "tried past the one that took it";
  // None takes it: a source that took the codec and failed says why, else cantFindHandler.
  DecoderChain failing({&none, &broken, &none});
  EXPECT_EQ(failing.createAudio(codec, d), invalidMedia);
  EXPECT_FALSE(d);
  DecoderChain empty({&none});
  EXPECT_EQ(empty.createAudio(codec, d), cantFindHandler);
}

// A library of another version than the headers' (older, or of another major) or without one of
// the functions is refused: no factory, and the chain goes on without it.
TEST(LibraryLoading, OtherVersionsAndMissingFunctionsAreRefused) {
  const LibavFunctions* linked = linkedLibav();
  ASSERT_TRUE(linked);
  EXPECT_TRUE(makeLibavFactory(*linked));
  LibavFunctions f = *linked;
  f.avcodec_version = [] { return unsigned(AV_VERSION_INT(LIBAVCODEC_VERSION_MAJOR, 0, 0)); };
  EXPECT_FALSE(makeLibavFactory(f)) << "older than the headers";
  f.avcodec_version = [] { return unsigned(AV_VERSION_INT(LIBAVCODEC_VERSION_MAJOR + 1, 0, 0)); };
  EXPECT_FALSE(makeLibavFactory(f)) << "a later major";
  f = *linked;
  f.avutil_version = [] { return unsigned(AV_VERSION_INT(LIBAVUTIL_VERSION_MAJOR - 1, 99, 100)); };
  EXPECT_FALSE(makeLibavFactory(f)) << "an earlier avutil";
  f = *linked;
  f.av_buffer_pool_get = nullptr;
  EXPECT_FALSE(makeLibavFactory(f)) << "a function missing";
}

}  // namespace
