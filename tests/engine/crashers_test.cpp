// The inputs that once broke the engine (tests/fuzz/crashers), replayed through the fuzz
// target's own walk: each must come back, well within the fuzzers' time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(Crashers, EveryOneComesBackInTime) {
  namespace fs = std::filesystem;
  size_t replayed = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(QTE_CRASHERS_DIR)) {
    if (e.path().extension() == ".md") continue;
    SCOPED_TRACE(e.path().filename().string());
    const std::vector<uint8_t> b = run("cat '" + e.path().string() + "'");
    ASSERT_EQ(b.size(), e.file_size());
    const auto start = std::chrono::steady_clock::now();
    LLVMFuzzerTestOneInput(b.data(), b.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ++replayed;
  }
  EXPECT_GE(replayed, 2u);
}
