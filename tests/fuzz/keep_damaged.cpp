// Keeps one small file for each reason the engine gives for damaged files. Every input is opened
// and its reasons collected (damaged.h); for each reason that OUTDIR holds no file for yet, the
// smallest input giving it is cut down to 16 KB while the engine still gives it (the rule
// rarely depends on the samples: 'mdat' goes first), written to OUTDIR under the reason's name,
// and a line for the folder's README is printed.
// usage: keep_damaged OUTDIR FILE...
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "damaged.h"

using namespace qte;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

bool gives(const Bytes& b, const std::string& want) {
  std::shared_ptr<Movie> m;
  Reason r;
  Movie::open(memorySource(b.data(), b.size()), m, nullptr, &r);
  for (const Reason& x : damaged::reasonsGiven(m, r))
    if (damaged::slug(x) == want) return true;
  return false;
}

uint64_t be(const Bytes& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | b[at + i];
  return v;
}

void putBe(Bytes& b, size_t at, int n, uint64_t v) {
  for (int i = n - 1; i >= 0; --i, v >>= 8) b[at + i] = uint8_t(v);
}

struct Box {
  size_t at = 0, size = 0, header = 8;
  bool container = false;
  std::vector<size_t> parents;  // indices into the list, outermost first
};

// The atom tree as far as it is whole; a damaged list ends its level.
void listBoxes(const Bytes& b, size_t from, size_t to, std::vector<size_t>& parents, std::vector<Box>& out) {
  static const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "edts", "dinf",
                                            "mvex", "moof", "traf", "udta", "mfra"};
  for (size_t at = from; to - at >= 8 && parents.size() < 8;) {
    Box x;
    x.at = at;
    x.size = size_t(be(b, at, 4));
    if (x.size == 1) {
      if (to - at < 16) return;
      x.size = size_t(be(b, at + 8, 8));
      x.header = 16;
    } else if (x.size == 0) {
      x.size = to - at;
    }
    if (x.size < x.header || x.size > to - at) return;
    const std::string type(b.begin() + long(at) + 4, b.begin() + long(at) + 8);
    x.container = std::find(std::begin(kContainers), std::end(kContainers), type) != std::end(kContainers);
    x.parents = parents;
    out.push_back(x);
    if (x.container) {
      parents.push_back(out.size() - 1);
      listBoxes(b, at + x.header, at + x.size, parents, out);
      parents.pop_back();
    }
    at += x.size;
  }
}

// The bytes without [at, at + n), which lie inside `outer` (and its parents), whose sizes shrink.
Bytes without(const Bytes& b, const std::vector<Box>& boxes, const std::vector<size_t>& outer, size_t at, size_t n) {
  Bytes c = b;
  for (size_t i : outer) {
    const Box& x = boxes[i];
    if (x.header == 16) putBe(c, x.at + 8, 8, x.size - n);
    else if (be(c, x.at, 4) != 0) putBe(c, x.at, 4, x.size - n);
  }
  c.erase(c.begin() + long(at), c.begin() + long(at + n));
  return c;
}

// One step towards `target` bytes with the same reason, or false when none was found: the ends
// of atoms' bodies (the samples, in 'mdat') as far as the file is over, or whole bodies, then
// whole atoms, then the end of the file.
bool shrink(Bytes& b, const std::string& want, size_t target) {
  if (b.size() <= target) return false;
  const size_t over = b.size() - target;
  std::vector<Box> boxes;
  std::vector<size_t> parents;
  listBoxes(b, 0, b.size(), parents, boxes);
  std::vector<size_t> order(boxes.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t l, size_t r) { return boxes[l].size > boxes[r].size; });
  for (size_t i : order) {
    const Box& x = boxes[i];
    std::vector<size_t> outer = x.parents;
    outer.push_back(i);
    const size_t body = x.size - x.header;
    if (x.container || !body) continue;
    for (size_t cut : {std::min(over, body), body}) {
      Bytes c = without(b, boxes, outer, x.at + x.size - cut, cut);
      if (gives(c, want)) return b.swap(c), true;
      if (cut == body) break;
    }
  }
  for (size_t i : order) {
    Bytes c = without(b, boxes, boxes[i].parents, boxes[i].at, boxes[i].size);
    if (gives(c, want)) return b.swap(c), true;
  }
  Bytes c(b.begin(), b.begin() + long(target));
  if (gives(c, want)) return b.swap(c), true;
  return false;
}

bool readAll(const std::string& path, Bytes& out) {
  std::ifstream f(path, std::ios::binary);
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return f.is_open() && !f.bad();
}

bool writeAll(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  return bool(f.flush());
}

// Small enough for the tree, large enough to keep some samples for the fuzz target's walk.
constexpr size_t kTarget = 16384;

struct Found {
  std::string path, text;
  uintmax_t size = 0;
  size_t files = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: keep_damaged OUTDIR FILE...\n");
    return 2;
  }
  const fs::path out = argv[1];
  std::map<std::string, Found> found;
  size_t whole = 0;
  for (int i = 2; i < argc; ++i) {
    std::shared_ptr<Movie> m;
    Reason r;
    Movie::openFile(argv[i], m, nullptr, &r);
    const std::vector<Reason> reasons = damaged::reasonsGiven(m, r);
    whole += reasons.empty();
    std::error_code error;
    const uintmax_t size = fs::file_size(argv[i], error);
    for (const Reason& x : reasons) {
      Found& f = found[damaged::slug(x)];
      if (!f.files++ || size < f.size) f = Found{argv[i], x.text(), size, f.files};
    }
  }
  std::fprintf(stderr, "%d files: %zu open whole, %zu reasons\n", argc - 2, whole, found.size());
  int failed = 0;
  for (const auto& [slug, f] : found) {
    std::fprintf(stderr, "%s: %zu files, smallest %s (%ju bytes)\n", slug.c_str(), f.files, f.path.c_str(), f.size);
    if (!damaged::namesAReason(slug)) continue;  // a file that cannot be read is not kept
    bool kept = false;
    for (const fs::directory_entry& e : fs::directory_iterator(out))
      kept = kept || damaged::namedFor(e.path().stem().string(), slug);
    if (kept) continue;
    Bytes b;
    if (!readAll(f.path, b)) {
      std::fprintf(stderr, "cannot read %s\n", f.path.c_str());
      ++failed;
      continue;
    }
    for (int steps = 0; steps < 10000 && shrink(b, slug, kTarget);) ++steps;
    if (b.size() > kTarget) std::fprintf(stderr, "%s stays at %zu bytes\n", slug.c_str(), b.size());
    const std::string ext = fs::path(f.path).extension().string();
    const std::string name = slug + (ext.empty() ? ".bin" : ext);
    if (!writeAll((out / name).string(), b)) {
      std::fprintf(stderr, "cannot write %s\n", name.c_str());
      ++failed;
      continue;
    }
    std::printf("| %s | %s | %s (%ju bytes), cut to %zu bytes |\n", name.c_str(), f.text.c_str(),
                fs::path(f.path).filename().c_str(), f.size, b.size());
  }
  return failed ? 1 : 0;
}
