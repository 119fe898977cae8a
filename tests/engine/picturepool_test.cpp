// Decoded pictures hold their planes: a picture stays as it came out while anyone holds a copy
// of it, however many pictures its decoder gives after it and after the decoder is gone; the
// storage is reused once let go.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "helpers.h"
#include "libav.h"
#include "unitreader.h"

using namespace qte;

namespace {

struct Counted final : PictureSlot {
  explicit Counted(int* alive) : alive_(alive) { ++*alive_; }
  ~Counted() override { --*alive_; }
  void released() noexcept override { ++releases; }
  int* alive_;
  int releases = 0;
};

TEST(PicturePool, SlotsAreReusedOnceLetGoAndOutliveTheirDecoder) {
  int alive = 0, made = 0;
  auto make = [&] {
    ++made;
    return std::unique_ptr<Counted>(new Counted(&alive));
  };
  std::unique_ptr<PicturePool::Owner> owner(new PicturePool::Owner);
  std::vector<PictureHold> held;
  for (int i = 0; i < 3; ++i) held.push_back(PicturePool::hold(owner->takeOrMake<Counted>(make)));
  PictureHold copy = held[0];  // a copy holds the same slot
  held.clear();
  EXPECT_EQ(made, 3);
  // Two free, one still held by the copy: three pictures more make one slot more.
  for (int i = 0; i < 3; ++i) held.push_back(PicturePool::hold(owner->takeOrMake<Counted>(make)));
  EXPECT_EQ(made, 4);
  held.clear();
  // The decoder goes; the picture it gave stays until its last copy does.
  owner.reset();
  EXPECT_EQ(alive, 4);
  copy.reset();
  EXPECT_EQ(alive, 0);
}

TEST(PicturePool, GrowsNoFurtherThanItsCap) {
  int alive = 0;
  PicturePool::Owner owner;
  std::vector<PictureHold> held;
  for (size_t i = 0; i < PicturePool::kMaxSlots; ++i) {
    Counted* s = owner.takeOrMake<Counted>([&] { return std::unique_ptr<Counted>(new Counted(&alive)); });
    ASSERT_TRUE(s) << i;
    held.push_back(PicturePool::hold(s));
  }
  EXPECT_EQ(owner.takeOrMake<Counted>([&] { return std::unique_ptr<Counted>(new Counted(&alive)); }), nullptr);
  EXPECT_EQ(alive, int(PicturePool::kMaxSlots));
  held.pop_back();
  Counted* again = owner.takeOrMake<Counted>([&] { return std::unique_ptr<Counted>(new Counted(&alive)); });
  ASSERT_NE(again, nullptr);
  held.push_back(PicturePool::hold(again));
  EXPECT_EQ(alive, int(PicturePool::kMaxSlots));
}

uint64_t lumaSum(const Picture& p) {
  uint64_t sum = 0;
  for (int32_t y = 0; y < p.yuv.height; ++y)
    for (int32_t x = 0; x < p.yuv.width; ++x) sum = sum * 31 + p.yuv.y[ptrdiff_t(y) * p.yuv.yStride + x];
  return sum;
}

// Every fourth picture of a whole track is kept while the rest come out and the decoder drains
// and goes: each must still be what it was when it came out (a reused buffer shows another
// picture; the checking decoders blank a buffer let go; ASan sees a freed one).
class PictureLifetime : public ::testing::TestWithParam<bool> {};

TEST_P(PictureLifetime, KeptPicturesStayAsTheyCameOut) {
  const bool library = GetParam();
  std::unique_ptr<DecoderFactory> libav;
  if (library) {
    ASSERT_TRUE(linkedLibav());
    libav = makeLibavFactory(*linkedLibav());
  }
  DecoderFactory* factory = library ? libav.get() : checkingDecoderFactory();
  std::shared_ptr<Movie> m = open("codec/h264-groups.mp4");
  ASSERT_TRUE(m);
  const Track* t = m->track(0);
  VideoCodec codec;
  ASSERT_EQ(videoCodecOf(t->info().descriptions[0], &codec), noErr);
  std::unique_ptr<VideoDecoder> decoder;
  ASSERT_EQ(factory->createVideo(codec, decoder), noErr);
  UnitReader reader(*t);
  std::vector<std::pair<Picture, uint64_t>> kept;
  size_t out = 0;
  auto receiveAll = [&] {
    Picture p;
    bool got = false;
    while (decoder->receive(&p, &got) == noErr && got) {
      if (out++ % 4 == 0) kept.emplace_back(p, lumaSum(p));
      p = Picture();
    }
  };
  for (uint64_t i = 0; i < t->sampleCount(); ++i) {
    const uint8_t* unit = nullptr;
    size_t bytes = 0;
    ASSERT_EQ(reader.unit(i, codec, i == 0, &unit, &bytes), noErr);
    ASSERT_EQ(decoder->send(unit, bytes, t->displayTime(i)), noErr) << i;
    receiveAll();
  }
  ASSERT_EQ(decoder->drain(), noErr);
  receiveAll();
  EXPECT_EQ(out, t->sampleCount());
  decoder.reset();
  ASSERT_GE(kept.size(), 10u);
  for (size_t k = 0; k < kept.size(); ++k) EXPECT_EQ(lumaSum(kept[k].first), kept[k].second) << "picture " << k * 4;
}

INSTANTIATE_TEST_SUITE_P(Decoders, PictureLifetime, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Library" : "Checking"; });

}  // namespace
