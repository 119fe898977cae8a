// Decoded pictures hold their planes: a picture stays as it came out while anyone holds a copy
// of it, however many pictures its decoder gives after it and after the decoder is gone; the
// storage is reused once let go.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "helpers.h"

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

}  // namespace
