// libFuzzer target over the codec configuration parsers and the YUV conversion: the same bytes
// go to every parser, and a small picture of any kind and colour built from them is converted by
// both YUV paths, which must agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecconfig.h"
#include "yuv.h"

using namespace qte;

namespace {
void yuvBothWays(const uint8_t* data, size_t size) {
  if (size < 14) return;
  const int32_t w = 1 + data[0] % 64, h = 1 + data[1] % 16, cw = w - 8 + data[2] % 80, ch = h - 4 + data[3] % 24;
  const int32_t dw = 1 + data[4] % 64, dh = 1 + data[5] % 16, x0 = int32_t(data[6] % 128) - 64, y0 = int32_t(data[7] % 32) - 16;
  const PixelFormat f = data[8] % 3 == 0 ? PixelFormat::rgb555 : data[8] % 3 == 1 ? PixelFormat::bgr24 : PixelFormat::bgr0;
  YuvColour colour{data[9] & 1 ? YuvMatrix::bt709 : YuvMatrix::bt601, (data[9] & 2) != 0};
  const bool nv12 = data[9] & 4;
  // The kind (depth, alignment, subsampling) and the rest of the colour.
  const int depths[] = {8, 9, 10, 12, 16}, shifts[][2] = {{1, 1}, {1, 0}, {0, 0}, {2, 0}, {2, 2}};
  const int depth = depths[data[10] % 5], sx = shifts[(data[10] >> 4) % 5][0], sy = shifts[(data[10] >> 4) % 5][1];
  const bool msb = depth > 8 && (data[10] & 8);
  if (data[11] % 4 == 3) colour.matrix = YuvMatrix::bt2020;
  colour.transfer = YuvTransfer((data[11] >> 2) % 3);
  colour.primaries = YuvPrimaries((data[11] >> 4) % 3);
  const size_t bytes = depth > 8 ? 2 : 1;
  const size_t cwid = size_t((w + (1 << sx) - 1) >> sx) * (nv12 ? 2 : 1) * bytes, chgt = size_t((h + (1 << sy) - 1) >> sy);
  // Planes exactly as large as the picture, filled from the input.
  std::vector<uint8_t> y(size_t(w) * h * bytes), u(cwid * chgt), v(nv12 ? 0 : cwid * chgt);
  size_t at = 12;
  for (auto* plane : {&y, &u, &v})
    for (uint8_t& b : *plane) b = data[at++ % size];
  YuvPicture p;
  p.layout = nv12 ? YuvLayout::nv12 : YuvLayout::planar;
  p.width = w, p.height = h;
  p.bitDepth = uint8_t(depth), p.msbAligned = msb;
  p.chromaShiftX = uint8_t(sx), p.chromaShiftY = uint8_t(sy);
  p.y = y.data(), p.yStride = ptrdiff_t(size_t(w) * bytes);
  p.u = u.data(), p.uStride = ptrdiff_t(cwid);
  p.v = nv12 ? nullptr : v.data(), p.vStride = ptrdiff_t(cwid);
  const int bpp = int(f) / 8;
  std::vector<uint8_t> a(size_t(dw) * dh * size_t(bpp), 0x5A), b = a;
  const Err ea = yuvToRgb(p, colour, cw, ch, {a.data(), dw, dh, dw * bpp, f}, x0, y0);
  const Err eb = yuvToRgbPlain(p, colour, cw, ch, {b.data(), dw, dh, dw * bpp, f}, x0, y0);
  if (ea != eb || a != b) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AvcConfig avc;
  ColourInfo colr;
  const bool haveAvc = parseAvcConfig(data, size, &avc) == noErr;
  const bool haveColr = parseColr(data, size, &colr) == noErr;
  chooseColour(haveColr ? &colr : nullptr, haveAvc ? &avc.vui : nullptr, avc.height);
  std::vector<uint8_t> out;
  size_t n = 0;
  for (uint32_t len : {1u, 2u, 4u}) {
    avcSampleToAnnexB(data, size, len, out, &n);
    avcSampleColour(data, size, len, &colr);
  }
  // An SPS said to be BT.601 says so already: a second rewrite changes nothing.
  if (size && (data[0] & 0x9F) == 7 && avcSpsAsSquareBt601(data, size, out) == noErr) {
    std::vector<uint8_t> again;
    if (avcSpsAsSquareBt601(out.data(), out.size(), again) != noErr || again != out) std::abort();
  }
  EsDescriptor es;
  AacConfig aac;
  if (parseEsds(data, size, &es) == noErr)
    parseAudioSpecificConfig(es.specificInfo.data(), es.specificInfo.size(), &aac);
  parseAudioSpecificConfig(data, size, &aac);
  MpegAudioHeader mpeg;
  parseMpegAudioHeader(data, size, &mpeg);
  // What a sound configuration accepts names a speaker (or none) for each of its channels.
  for (auto parse : {parseOpusConfig, parseFlacConfig, parseAlacConfig, parseAc3Config, parseAc3Frame, parseEac3Config}) {
    SoundConfig sound;
    if (parse(data, size, &sound) == noErr &&
        (sound.channels == 0 || sound.channels > 8 || sound.labels.size() != sound.channels || sound.sampleRate == 0))
      std::abort();
  }
  yuvBothWays(data, size);
  return 0;
}
