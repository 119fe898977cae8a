// The kept corpus: the inputs that once broke the engine (tests/fuzz/crashers) and a damaged
// file for each reason the engine gives (tests/fuzz/damaged), replayed through the fuzz target's
// own walk. Each must come back well within the fuzzers' time limit, and each damaged file must
// still give the reason it is named for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "damaged.h"
#include "helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
namespace fs = std::filesystem;

std::vector<fs::path> filesOf(const char* dir) {
  std::vector<fs::path> v;
  for (const fs::directory_entry& e : fs::directory_iterator(dir))
    if (e.path().extension() != ".md") v.push_back(e.path());
  std::sort(v.begin(), v.end());
  return v;
}

TEST(Corpus, EveryFileComesBackInTime) {
  size_t replayed = 0;
  for (const char* dir : {QTE_CRASHERS_DIR, QTE_DAMAGED_DIR}) {
    for (const fs::path& p : filesOf(dir)) {
      SCOPED_TRACE(p.filename().string());
      const std::vector<uint8_t> b = run("cat '" + p.string() + "'");
      ASSERT_EQ(b.size(), fs::file_size(p));
      const auto start = std::chrono::steady_clock::now();
      LLVMFuzzerTestOneInput(b.data(), b.size());
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 20u);
}

// A file whose reason changed is renamed for its new reason (or the change undone); the new
// reason may already have its file, and the old one may need another.
TEST(Corpus, DamagedFilesGiveTheReasonTheyAreNamedFor) {
  size_t checked = 0;
  for (const char* dir : {QTE_CRASHERS_DIR, QTE_DAMAGED_DIR}) {
    for (const fs::path& p : filesOf(dir)) {
      const std::string stem = p.stem().string();
      if (!damaged::namesAReason(stem)) continue;
      std::shared_ptr<qte::Movie> m;
      qte::Reason r;
      qte::Movie::openFile(p.string(), m, nullptr, &r);
      std::string given;
      bool named = false;
      for (const qte::Reason& x : damaged::reasonsGiven(m, r)) {
        named = named || damaged::namedFor(stem, damaged::slug(x));
        given += "\n  " + x.text() + " (" + damaged::slug(x) + ")";
      }
      EXPECT_TRUE(named) << p.filename().string() << " is named for a reason the engine no longer gives; it gives:"
                         << (given.empty() ? "\n  none" : given);
      ++checked;
    }
  }
  EXPECT_GE(checked, 20u);
}

// The names the folder's README promises.
TEST(Corpus, ReasonsNameFilesByKindAndRule) {
  EXPECT_EQ(damaged::slug(qte::Reason{qte::Reason::damaged, "'stsz' is cut short", 2}), "damaged-stsz-is-cut-short");
  EXPECT_EQ(damaged::slug(qte::Reason{qte::Reason::damaged, "a fragment's 'trun' is cut short", 1}),
            "damaged-a-fragments-trun-is-cut-short");
  EXPECT_EQ(damaged::slug(qte::Reason{qte::Reason::unsupported, "'cmov': the movie header is compressed", 0}),
            "unsupported-cmov-the-movie-header-is-compressed");
  EXPECT_TRUE(damaged::namedFor("damaged-stsz-is-cut-short", "damaged-stsz-is-cut-short"));
  EXPECT_TRUE(damaged::namedFor("damaged-stsz-is-cut-short--in-a-fragment", "damaged-stsz-is-cut-short"));
  EXPECT_FALSE(damaged::namedFor("damaged-stsz-is-cut-shorter", "damaged-stsz-is-cut-short"));
  EXPECT_FALSE(damaged::namedFor("damaged-stsz", "damaged-stsz-is-cut-short"));
  EXPECT_FALSE(damaged::namedFor("", ""));
}

}  // namespace
