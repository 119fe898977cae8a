// Sound codecs: which PCM a description decodes to, and the decoding of ulaw, alaw and ima4.
// Uncompressed formats decode to themselves; the converter handles their layouts.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "decoder.h"

namespace qte {

namespace {
const int16_t kImaSteps[89] = {
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73, 80,
    88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494, 544, 598,
    658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327,
    3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635, 13899, 15289,
    16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int8_t kImaIndex[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

int16_t ulaw(uint8_t u) {
  u = uint8_t(~u);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return int16_t((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

int16_t alaw(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  int seg = (a & 0x70) >> 4;
  if (seg == 0) t += 8;
  else if (seg == 1) t += 0x108;
  else t = (t + 0x108) << (seg - 1);
  return int16_t((a & 0x80) ? t : -t);
}

struct LawTables {
  int16_t u[256], a[256];
  LawTables() {
    for (int i = 0; i < 256; ++i) {
      u[i] = ulaw(uint8_t(i));
      a[i] = alaw(uint8_t(i));
    }
  }
};
const LawTables& laws() {
  static const LawTables t;
  return t;
}

// One channel's 34-byte packet to 64 samples written every `stride` int16s.
void imaPacket(const uint8_t* p, int16_t* out, uint32_t stride, int32_t* statePred, int32_t* stateIndex, bool use) {
  int pred = int16_t(uint16_t(p[0] << 8 | p[1]) & 0xFF80);
  int index = std::min(p[1] & 0x7F, 88);
  // The header holds the predictor's top 9 bits: keep the exact one while they agree.
  if (use && statePred && *stateIndex == index && std::abs(pred - *statePred) <= 0x7F) pred = *statePred;
  for (int i = 0; i < 64; ++i) {
    int nib = (p[2 + i / 2] >> ((i & 1) * 4)) & 15;
    int step = kImaSteps[index];
    int diff = step >> 3;
    if (nib & 4) diff += step;
    if (nib & 2) diff += step >> 1;
    if (nib & 1) diff += step >> 2;
    pred += (nib & 8) ? -diff : diff;
    pred = std::max(-32768, std::min(32767, pred));
    index = std::max(0, std::min(88, index + kImaIndex[nib]));
    out[size_t(i) * stride] = int16_t(pred);
  }
  if (statePred) {
    *statePred = pred;
    *stateIndex = index;
  }
}
}  // namespace

Err decodedFormat(const SampleDescription& d, AudioFormat* out, uint32_t* realBits) {
  AudioFormat f;
  f.sampleRate = d.sampleRate;
  f.channels = d.channels;
  f.interleaved = true;
  f.bigEndian = !d.littleEndian;
  // The PCM family's layout is its configuration: it comes with its code.
  const OSType t = d.format;
  const CodecId id = codecOf(d);
  uint32_t bits = 0;
  if (t == fourcc("NONE") || t == fourcc("raw ") || t == fourcc("twos") || t == fourcc("sowt")) {
    bits = d.sampleSize;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return cantFindHandler;
    f.isSigned = !(bits == 8 && t != fourcc("twos") && t != fourcc("sowt"));
  } else if (t == fourcc("in24")) {
    bits = 24;
  } else if (t == fourcc("in32")) {
    bits = 32;
  } else if (t == fourcc("fl32") || t == fourcc("fl64")) {
    bits = t == fourcc("fl32") ? 32 : 64;
    f.isFloat = true;
  } else if (t == fourcc("lpcm")) {
    bits = d.constBitsPerChannel;
    f.isFloat = (d.lpcmFlags & 1) != 0;
    f.isSigned = (d.lpcmFlags & 4) != 0 || f.isFloat;
    f.bigEndian = (d.lpcmFlags & 2) != 0;
    if (f.isFloat ? (bits != 32 && bits != 64) : (bits != 8 && bits != 16 && bits != 24 && bits != 32))
      return cantFindHandler;
    if ((d.lpcmFlags & 0x20) || (d.bytesPerFrame && d.bytesPerFrame != bits / 8 * f.channels))
      return cantFindHandler;  // non-interleaved or padded layouts
  } else if (id == CodecId::ulaw || id == CodecId::alaw || id == CodecId::ima4) {
    bits = 16;
    f.bigEndian = false;
  } else if (id != CodecId::pcm && id != CodecId::unknown) {
    // What the system's decoder delivers, as the configuration says (not the sample entry).
    AudioCodec codec;
    const Err e = audioCodecOf(d, nullptr, 0, &codec);
    if (e) return e;
    *out = codec.output;
    // MPEG audio is 16-bit sound, whatever width its decoder hands over; lossless sound is
    // of its own width.
    if (realBits) *realBits = codec.sourceBits ? std::min<uint32_t>(codec.sourceBits, 32) : codec.output.bits;
    return noErr;
  } else {
    return cantFindHandler;
  }
  f.bits = bits;
  if (t == fourcc("sowt")) f.bigEndian = false;
  if (!f.valid()) return cantFindHandler;
  *out = f;
  if (realBits) *realBits = std::min<uint32_t>(bits, 32);
  return noErr;
}

Err decodePackets(const SampleDescription& d, const uint8_t* in, size_t inBytes, void* out, size_t outCap,
                  uint32_t* framesOut, size_t* bytesUsed, CodecState* state) {
  AudioFormat f;
  const CodecId id = codecOf(d);
  if (!inHouse(id)) return cantFindHandler;  // packets go to a SoundDecoder's decoder
  Err e = decodedFormat(d, &f, nullptr);
  if (e) return e;
  const uint32_t ch = f.channels;
  const size_t outFrame = f.bytesPerFrame();
  size_t frames = 0, used = 0;
  if (id == CodecId::ima4) {
    const size_t packet = 34 * size_t(ch);
    size_t packets = std::min(inBytes / packet, outCap / (outFrame * 64));
    int16_t* o = static_cast<int16_t*>(out);
    const bool carry = state && state->valid;
    for (size_t p = 0; p < packets; ++p)
      for (uint32_t c = 0; c < ch; ++c)
        imaPacket(in + p * packet + c * 34, o + p * 64 * ch + c, ch,
                  state ? &state->predictor[c] : nullptr, state ? &state->index[c] : nullptr, carry || p > 0);
    if (state && packets) state->valid = true;
    frames = packets * 64;
    used = packets * packet;
  } else if (id == CodecId::ulaw || id == CodecId::alaw) {
    const int16_t* table = id == CodecId::ulaw ? laws().u : laws().a;
    size_t n = std::min(inBytes / ch, outCap / outFrame) * ch;
    int16_t* o = static_cast<int16_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = table[in[i]];
    frames = n / ch;
    used = n;
  } else {
    frames = std::min(inBytes / outFrame, outCap / outFrame);
    used = frames * outFrame;
    if (used) std::memcpy(out, in, used);
  }
  *framesOut = uint32_t(frames);
  if (bytesUsed) *bytesUsed = used;
  return noErr;
}

}  // namespace qte
