// Writes the codec configurations and first samples of movies as seeds for fuzz_codec: each
// sample description's 'avcC' (and its first SPS), 'esds' (and its AudioSpecificConfig) and
// 'colr' payloads, and the first two samples of every track.
// usage: extract_configs OUTDIR MOVIE...
#include <cstdio>
#include <string>
#include <vector>

#include "codecconfig.h"
#include "qtengine.h"

using namespace qte;

namespace {
bool save(const std::string& path, const uint8_t* p, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(p, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: extract_configs OUTDIR MOVIE...\n");
    return 2;
  }
  const std::string out = argv[1];
  int written = 0;
  for (int i = 2; i < argc; ++i) {
    std::shared_ptr<Movie> m;
    if (Movie::openFile(argv[i], m, nullptr)) continue;
    const std::string base = out + "/" + std::to_string(i);
    for (size_t t = 0; t < m->trackCount(); ++t) {
      const Track& track = *m->track(t);
      for (const SampleDescription& d : track.info().descriptions) {
        static const struct { OSType type; const char* name; } kAtoms[] = {
            {fourcc("avcC"), "avcC"}, {fourcc("esds"), "esds"}, {fourcc("colr"), "colr"}};
        for (const auto& atom : kAtoms) {
          uint32_t n = 0;
          const uint8_t* p = d.extension(atom.type, &n);
          if (p && save(base + "-" + atom.name, p, n)) ++written;
          AvcConfig avc;  // the first SPS sits behind its start code
          if (p && atom.type == fourcc("avcC") && parseAvcConfig(p, n, &avc) == noErr && avc.annexB.size() > 4) {
            size_t end = 5;
            while (end + 3 < avc.annexB.size() && !(avc.annexB[end] == 0 && avc.annexB[end + 1] == 0 && avc.annexB[end + 2] == 0))
              ++end;
            if (end + 3 >= avc.annexB.size()) end = avc.annexB.size();
            if (save(base + "-sps", avc.annexB.data() + 4, end - 4)) ++written;
          }
          EsDescriptor es;
          if (p && atom.type == fourcc("esds") && parseEsds(p, n, &es) == noErr && !es.specificInfo.empty() &&
              save(base + "-asc", es.specificInfo.data(), es.specificInfo.size()))
            ++written;
        }
      }
      for (uint64_t s = 0; s < 2; ++s) {
        uint64_t off = 0;
        uint32_t size = 0, desc = 0;
        if (track.sampleLocation(s, &off, &size, &desc) || size > (64u << 10)) continue;
        std::vector<uint8_t> bytes(size);
        SampleRun run;
        run.offset = off;
        run.bytes = size;
        if (track.read(run, bytes.data()) == noErr && save(base + "-sample" + std::to_string(s), bytes.data(), size))
          ++written;
      }
    }
  }
  std::printf("%d seeds\n", written);
  return written ? 0 : 1;
}
