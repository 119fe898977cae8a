// The decoder library behind the engine (Debian's build of it, linked): pictures bit for bit as
// ffmpeg decodes them before any colour conversion, sound as ffmpeg's float, in display order
// through reordering, and the chain's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "helpers.h"
#include "libav.h"
#include "pictures.h"
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

}  // namespace
