// Movie structure against ffprobe: tracks, time scales, durations, sample counts, descriptions.
#include <gtest/gtest.h>

#include "helpers.h"

using namespace qte;

namespace {
std::string tag(OSType t) {
  std::string s;
  for (int i = 24; i >= 0; i -= 8) s += char(t >> i);
  return s;
}

class Probe : public ::testing::TestWithParam<const char*> {};

TEST_P(Probe, MatchesFfprobe) {
  const std::string name = GetParam();
  std::shared_ptr<Movie> m = open(name);
  ASSERT_TRUE(m) << name;
  auto ls = lines(ffprobe(media(name),
      "stream=codec_type,codec_tag_string,time_base,duration_ts,nb_frames,width,height,sample_rate,channels"));
  ASSERT_EQ(m->trackCount(), ls.size());
  for (size_t i = 0; i < ls.size(); ++i) {
    const std::string& l = ls[i];
    const TrackInfo& t = m->track(i)->info();
    SCOPED_TRACE(name + " track " + std::to_string(i));
    EXPECT_EQ(field(l, "codec_type") == "video", t.kind == Kind::video);
    EXPECT_EQ(field(l, "codec_type") == "audio", t.kind == Kind::sound);
    EXPECT_EQ("1/" + std::to_string(t.mediaTimeScale), field(l, "time_base"));
    // ISO files: ffprobe applies the edit list to durations, and the channel count lives in esds.
    const bool qt = m->brand() == fourcc("qt  ");
    if (qt) EXPECT_EQ(std::to_string(t.mediaDuration), field(l, "duration_ts"));
    EXPECT_EQ(std::to_string(m->track(i)->sampleCount()), field(l, "nb_frames"));
    ASSERT_FALSE(t.descriptions.empty());
    const SampleDescription& d = t.descriptions[0];
    std::string ffTag = field(l, "codec_tag_string");
    if (ffTag.size() == 4) EXPECT_EQ(ffTag, tag(d.format));
    if (t.kind == Kind::video) {
      EXPECT_EQ(std::to_string(d.width), field(l, "width"));
      EXPECT_EQ(std::to_string(d.height), field(l, "height"));
    } else {
      if (qt) EXPECT_EQ(std::to_string(d.channels), field(l, "channels"));
      EXPECT_EQ(std::to_string(int(d.sampleRate)), field(l, "sample_rate"));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Media, Probe,
    ::testing::Values("raw24.mov", "raw16.mov", "raw32.mov", "rle24.mov", "rle16.mov", "rle32.mov",
                      "twos.mov", "sowt.mov", "in24.mov", "in24le.mov", "fl32le.mov", "in32.mov", "fl32.mov", "fl64.mov", "ulaw.mov",
                      "alaw.mov", "ima4.mov", "raw8.mov", "six.mov", "av2snd.mov", "twovideo.mov",
                      "aac.m4a", "mpeg4.mp4", "h263.3gp"),
    [](const auto& info) {
      std::string s = info.param;
      for (char& c : s) if (!isalnum(uint8_t(c))) c = '_';
      return s;
    });

TEST(Movie, HeaderFieldsAndContainers) {
  std::shared_ptr<Movie> m = open("av2snd.mov");
  ASSERT_TRUE(m);
  auto fmt = lines(ffprobe(media("av2snd.mov"), "format=duration"));
  ASSERT_FALSE(fmt.empty());
  double seconds = std::stod(field("|" + fmt[0].substr(fmt[0].find('|') + 1), "duration"));
  EXPECT_NEAR(double(m->duration()) / m->timeScale(), seconds, 0.05);
  EXPECT_EQ(m->box().width(), 320);
  EXPECT_EQ(m->box().height(), 240);
  // Unknown codecs still open and report their format.
  std::shared_ptr<Movie> mp4 = open("mpeg4.mp4");
  ASSERT_TRUE(mp4);
  EXPECT_EQ(mp4->brand(), fourcc("isom"));
  EXPECT_EQ(mp4->track(0)->info().descriptions[0].format, fourcc("mp4v"));
  EXPECT_NE(mp4->track(0)->info().descriptions[0].extension(fourcc("esds"), nullptr), nullptr);
  EXPECT_FALSE(canDecodeVideo(mp4->track(0)->info().descriptions[0]));
  AudioFormat f;
  std::shared_ptr<Movie> aac = open("aac.m4a");
  ASSERT_TRUE(aac);
  // AAC decodes to what the system's decoders give: float at the configuration's rate.
  ASSERT_EQ(decodedFormat(aac->track(0)->info().descriptions[0], &f, nullptr), noErr);
  EXPECT_TRUE(f.isFloat);
  EXPECT_EQ(f.bits, 32u);
  EXPECT_EQ(f.sampleRate, 44100);
  // in24 keeps its 'wave' extension raw; its width comes from the format.
  std::shared_ptr<Movie> in24Movie = open("in24.mov");
  ASSERT_TRUE(in24Movie);
  const SampleDescription& in24 = in24Movie->track(0)->info().descriptions[0];
  EXPECT_NE(in24.extension(fourcc("wave"), nullptr), nullptr);
  ASSERT_EQ(decodedFormat(in24, &f, nullptr), noErr);
  EXPECT_EQ(f.bits, 24u);
  EXPECT_EQ(in24.sampleSize, 16);
  EXPECT_FALSE(in24.littleEndian);
  std::shared_ptr<Movie> le = open("in24le.mov");
  ASSERT_TRUE(le);
  const SampleDescription& in24le = le->track(0)->info().descriptions[0];
  EXPECT_NE(in24le.extension(fourcc("enda"), nullptr), nullptr);
  EXPECT_TRUE(in24le.littleEndian);
  ASSERT_EQ(decodedFormat(in24le, &f, nullptr), noErr);
  EXPECT_FALSE(f.bigEndian);
  // ima4 keeps its channel layout atom.
  std::shared_ptr<Movie> ima = open("ima4.mov");
  ASSERT_TRUE(ima);
  uint32_t chanSize = 0;
  EXPECT_NE(ima->track(0)->info().descriptions[0].extension(fourcc("chan"), &chanSize), nullptr);
  EXPECT_GE(chanSize, 12u);
}

TEST(Movie, MissingFileAndNoMovie) {
  std::shared_ptr<Movie> m;
  EXPECT_EQ(Movie::openFile(media("does-not-exist.mov"), m, nullptr), fnfErr);
  EXPECT_EQ(Movie::openFile(media("raw24.mov.cmd"), m, nullptr), noMovieFound);
}
}  // namespace
