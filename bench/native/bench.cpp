// Engine benchmarks against the ffmpeg tools on the same files, measured in the same run:
//  open      a movie of 1,000,000 samples: Movie::open against ffprobe
//  video     decode-and-convert frames/s of 'raw ' and 'rle ' 640x480 against ffmpeg to rawvideo
//  sound     decode+convert to s16 and extraction against ffmpeg decoding to s16le
//  yuv       a 1920x1080 picture to B,G,R,0 against one memcpy of the 8 MB result: 8-bit I420 and
//            NV12 (the goal: at most 2), and 10-bit 4:2:0, P010, 4:2:2 and 4:4:4
//  hdr       1920x1080 10-bit 4:2:0 HLG frames tone-mapped to B,G,R,0, frames/s against ffmpeg's
//            zscale + tonemap chain doing the same steps on the same frames (default threads)
// Each line prints both times and the ratio (peer time / ours: above 1 means we are faster),
// except yuv, which prints ours / memcpy.
// Usage: engine_bench WORKDIR [open|video|sound|yuv|hdr]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "moviewriter.h"
#include "qtengine.h"
#include "yuv.h"

using namespace qte;
namespace mw = moviewriter;

namespace {
double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

template <class F>
double best(int runs, F f) {
  double b = 1e30;
  for (int i = 0; i < runs; ++i) {
    double t = now();
    f();
    b = std::min(b, now() - t);
  }
  return b;
}

double shell(const std::string& cmd, int runs) {
  return best(runs, [&] {
    if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
  });
}

void report(const char* what, double ours, double peer) {
  std::printf("%-44s ours %8.4f s  peer %8.4f s  ratio %.2fx\n", what, ours, peer, peer / ours);
}

std::shared_ptr<Movie> openOrDie(const std::string& path) {
  std::shared_ptr<Movie> m;
  if (Movie::openFile(path, m, nullptr)) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  return m;
}

void benchOpen(const std::string& dir) {
  // One sound-like track of 1,000,000 variable-size samples, each its own chunk.
  const std::string path = dir + "/million.mov";
  mw::Movie mv;
  mw::Track t;
  t.handler = "soun";
  t.timeScale = 44100;
  t.description = mw::soundDescriptionV1("ima4", 1, 44100, -2, 64, 34, 34);
  const uint32_t n = 1000000;
  t.stts = {{n, 64}};
  t.sizes.assign(n, 34);
  mw::Chunk c;
  c.data.assign(34 * 100, 0);
  c.samples = 100;
  t.chunks.assign(n / 100, c);
  mv.timeScale = 44100;
  mv.tracks.push_back(t);
  if (!mw::save(path, mw::write(mv))) std::exit(1);
  double ours = best(5, [&] { openOrDie(path); });
  double peer = shell("ffprobe -v error -show_streams '" + path + "'", 3);
  report("open, 1,000,000 samples", ours, peer);
}

void benchVideo(const std::string& dir, const char* name, const char* codec, const char* pix) {
  const std::string path = dir + "/" + name;
  std::string make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=640x480:rate=25 -t 4 -c:v " + std::string(codec) +
                     " -pix_fmt " + pix + " -g 25 '" + path + "'";
  if (std::system(make.c_str())) std::exit(1);
  std::shared_ptr<Movie> m = openOrDie(path);
  std::vector<uint8_t> buf(640 * 480 * 3);
  const int64_t frames = int64_t(m->track(0)->sampleCount());
  double ours = best(3, [&] {
    Renderer r(m);
    r.setBuffer(PixelBuffer{buf.data(), 640, 480, 640 * 3, PixelFormat::bgr24});
    for (int64_t i = 0; i < frames; ++i) r.draw(m->track(0)->sampleTime(uint64_t(i)) * m->timeScale() /
                                                m->track(0)->info().mediaTimeScale);
  });
  double peer = shell("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt bgr24 -y /dev/null", 3);
  std::string what = std::string("video ") + name + " to bgr24 (" + std::to_string(frames) + " frames)";
  report(what.c_str(), ours, peer);
}

void benchSound(const std::string& dir, const char* name, const char* codec) {
  const std::string path = dir + "/" + name;
  std::string make = "ffmpeg -v error -y -f lavfi -i 'aevalsrc=sin(2*PI*440*t)|sin(2*PI*660*t):s=44100:d=60' -c:a " +
                     std::string(codec) + " '" + path + "'";
  if (std::system(make.c_str())) std::exit(1);
  std::shared_ptr<Movie> m = openOrDie(path);
  std::vector<uint8_t> pcm(8192 * 16), out(8192 * 8);
  double ours = best(3, [&] {
    std::unique_ptr<SoundDecoder> d;
    if (SoundDecoder::create(*m->track(0), d)) std::exit(1);
    Converter c;
    AudioFormat f = d->format();
    f.bits = 16;
    f.isFloat = false;
    f.bigEndian = false;
    c.setFormats(d->format(), f);
    uint64_t at = 0;
    uint32_t got = 0;
    while (d->decode(at, 8192, pcm.data(), &got) == noErr && got) {
      const void* in[1] = {pcm.data()};
      void* o[1] = {out.data()};
      uint32_t used, made;
      c.convert(in, got, o, 8192, &used, &made);
      at += got;
    }
  });
  double peer = shell("ffmpeg -v error -i '" + path + "' -f s16le -y /dev/null", 3);
  report((std::string("sound ") + name + " decode+convert to s16").c_str(), ours, peer);
  std::vector<float> l(8192), r(8192);
  double ext = best(3, [&] {
    std::unique_ptr<Extractor> x;
    if (Extractor::create(m, x)) std::exit(1);
    void* p[2] = {l.data(), r.data()};
    uint32_t got = 0;
    bool done = false;
    while (!done && x->fill(p, 8192, &got, &done) == noErr && got) {
    }
  });
  report((std::string("sound ") + name + " extraction (float)").c_str(), ext, peer);
}
// A 1920x1080 picture of the kind given, with detail in every plane; the values do not change
// the work done.
struct BenchPicture {
  std::vector<uint8_t> bytes;
  YuvPicture p;
  BenchPicture(YuvLayout layout, int depth, bool msb, int sx, int sy) {
    const int32_t w = 1920, h = 1080, b = depth > 8 ? 2 : 1;
    const int32_t cw = (w + (1 << sx) - 1) >> sx, ch = (h + (1 << sy) - 1) >> sy;
    const size_t luma = size_t(w) * h * b, chroma = size_t(cw) * ch * b;
    bytes.resize(luma + 2 * chroma);
    uint32_t seed = 1;
    for (uint8_t& v : bytes) v = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    p.layout = layout;
    p.width = w, p.height = h;
    p.bitDepth = uint8_t(depth), p.msbAligned = msb;
    p.chromaShiftX = uint8_t(sx), p.chromaShiftY = uint8_t(sy);
    p.y = bytes.data(), p.yStride = w * b;
    p.u = bytes.data() + luma, p.uStride = (layout == YuvLayout::nv12 ? 2 : 1) * cw * b;
    p.v = layout == YuvLayout::nv12 ? nullptr : p.u + chroma, p.vStride = p.uStride;
  }
};

void benchYuv(const BenchPicture& pic, const char* name) {
  const int32_t w = pic.p.width, h = pic.p.height;
  std::vector<uint8_t> out(size_t(w) * h * 4), copy(out.size(), 1);
  const PixelBuffer dst{out.data(), w, h, w * 4, PixelFormat::bgr0};
  const YuvColour colour{YuvMatrix::bt709, false};
  // Interleaved rounds so that both see the same machine; the best of each, over enough rounds
  // to find quiet moments on a shared machine.
  double ours = 1e30, mem = 1e30;
  for (int round = 0; round < 100; ++round) {
    ours = std::min(ours, best(1, [&] { yuvToRgb(pic.p, colour, w, h, dst, 0, 0); }));
    mem = std::min(mem, best(1, [&] { std::memcpy(out.data(), copy.data(), out.size()); }));
  }
  std::printf("%-44s ours %7.3f ms  memcpy %7.3f ms  ours/memcpy %.2fx\n", name, ours * 1e3, mem * 1e3, ours / mem);
}

// Frames/s of HLG pictures tone-mapped, against ffmpeg's chain of the same steps (the one the
// engine tests match) and its default one, whose approximate gamma applies HLG's OOTF to each
// channel alone but runs faster. The peer reads the frames from a file; ours has them in memory.
void benchHdr(const std::string& dir) {
  const int32_t w = 1920, h = 1080, frames = 24;
  const size_t frameBytes = size_t(w) * h * 3;  // 4:2:0 in 16-bit words
  const std::string raw = dir + "/hlg-1080p10.yuv";
  const std::string make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " +
                           std::to_string(frames) +
                           " -vf scale=out_color_matrix=bt2020:out_range=tv -pix_fmt yuv420p10le -f rawvideo '" + raw + "'";
  if (std::system(make.c_str())) std::exit(1);
  std::vector<uint8_t> all(frameBytes * frames);
  std::FILE* f = std::fopen(raw.c_str(), "rb");
  if (!f || std::fread(all.data(), 1, all.size(), f) != all.size()) std::exit(1);
  std::fclose(f);
  std::vector<uint8_t> out(size_t(w) * h * 4);
  const PixelBuffer dst{out.data(), w, h, w * 4, PixelFormat::bgr0};
  const YuvColour hlg{YuvMatrix::bt2020, false, YuvTransfer::hlg, YuvPrimaries::bt2020};
  const double ours = best(3, [&] {
    for (int32_t i = 0; i < frames; ++i) {
      YuvPicture p;
      p.width = w, p.height = h, p.bitDepth = 10;
      p.y = all.data() + size_t(i) * frameBytes, p.yStride = 2 * w;
      p.u = p.y + size_t(w) * h * 2, p.v = p.u + size_t(w) * h / 2, p.uStride = p.vStride = w;
      yuvToRgb(p, hlg, w, h, dst, 0, 0);
    }
  });
  const std::string chain =
      "zscale=agamma=0:tin=arib-std-b67:pin=2020:min=2020_ncl:rin=limited:t=linear:p=2020:npl=100,format=gbrpf32le,"
      "zscale=agamma=0:p=709,tonemap=tonemap=mobius:param=0.3:desat=0:peak=10,zscale=agamma=0:t=bt709:r=full";
  auto peer = [&](const std::string& vf) {
    return shell("ffmpeg -v error -f rawvideo -pix_fmt yuv420p10le -s 1920x1080 -i '" + raw + "' -vf " + vf +
                     " -f rawvideo -pix_fmt bgr0 -y /dev/null", 3);
  };
  const double same = peer(chain), fast = peer(std::regex_replace(chain, std::regex("agamma=0:"), ""));
  std::printf("%-44s ours %8.1f  peer %8.1f frames/s  ratio %.2fx\n", "hdr HLG 1080p10 tone-mapped to bgr0", frames / ours,
              frames / same, same / ours);
  std::printf("%-44s ours %8.1f  peer %8.1f frames/s  ratio %.2fx\n", "  peer's default (approximate) gamma",
              frames / ours, frames / fast, fast / ours);
  std::printf("  peer: ffmpeg -f rawvideo -pix_fmt yuv420p10le -s 1920x1080 -i FILE -vf %s -f rawvideo -pix_fmt bgr0\n",
              chain.c_str());
  std::remove(raw.c_str());
}
}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  const std::string only = argc > 2 ? argv[2] : "";
  if (only.empty() || only == "open") benchOpen(dir);
  if (only.empty() || only == "video") {
    benchVideo(dir, "raw640.mov", "rawvideo", "rgb24");
    benchVideo(dir, "rle640.mov", "qtrle", "rgb24");
  }
  if (only.empty() || only == "sound") {
    benchSound(dir, "twos60.mov", "pcm_s16be");
    benchSound(dir, "ima60.mov", "adpcm_ima_qt");
  }
  if (only.empty() || only == "yuv") {
    benchYuv(BenchPicture(YuvLayout::planar, 8, false, 1, 1), "yuv I420 1920x1080 to bgr0");
    benchYuv(BenchPicture(YuvLayout::nv12, 8, false, 1, 1), "yuv NV12 1920x1080 to bgr0");
    benchYuv(BenchPicture(YuvLayout::planar, 10, false, 1, 1), "yuv 10-bit 4:2:0 1920x1080 to bgr0");
    benchYuv(BenchPicture(YuvLayout::nv12, 10, true, 1, 1), "yuv P010 1920x1080 to bgr0");
    benchYuv(BenchPicture(YuvLayout::planar, 10, false, 1, 0), "yuv 10-bit 4:2:2 1920x1080 to bgr0");
    benchYuv(BenchPicture(YuvLayout::planar, 10, false, 0, 0), "yuv 10-bit 4:4:4 1920x1080 to bgr0");
  }
  if (only.empty() || only == "hdr") benchHdr(dir);
  return 0;
}
