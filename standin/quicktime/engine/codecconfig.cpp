// Codec configuration parsers. Nothing here recurses; every count is capped by its field width
// or by the bytes that hold it, and every allocation is bounded by the input's own size.
#include "codecconfig.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "atoms.h"

namespace qte {

namespace {

// MSB-first bit reader over bytes; like Cursor, a read past the end sets `bad` and yields 0.
struct BitReader {
  const uint8_t* p;
  size_t bits, pos = 0;
  bool bad = false;
  BitReader(const uint8_t* data, size_t n) : p(data), bits(n * 8) {}
  static BitReader ofBits(const uint8_t* data, size_t bits) {
    BitReader r(data, 0);
    r.bits = bits;
    return r;
  }
  size_t left() const { return bits - pos; }
  uint32_t u(uint32_t k) {  // k <= 32
    if (bad || k > left()) { bad = true; return 0; }
    uint32_t v = 0;
    for (uint32_t i = 0; i < k; ++i, ++pos) v = v << 1 | ((p[pos >> 3] >> (7 - (pos & 7))) & 1);
    return v;
  }
  bool flag() { return u(1) != 0; }
  void skip(size_t k) {
    if (bad || k > left()) bad = true;
    else pos += k;
  }
  // Exp-Golomb. Codes longer than 32 bits hold no value a parser could accept.
  uint32_t ue() {
    uint32_t zeros = 0;
    while (!bad && u(1) == 0) {
      if (++zeros > 31) { bad = true; return 0; }
    }
    if (bad) return 0;
    return uint32_t((uint64_t(1) << zeros) - 1 + u(zeros));
  }
  int32_t se() {
    uint32_t k = ue();
    return (k & 1) ? int32_t((k >> 1) + 1) : -int32_t(k >> 1);
  }
};

Err fail(const char** why, Err e, const char* reason) {
  *why = reason;
  return e;
}

// No picture here is more than 1024 macroblocks (or map units of field pairs) wide or tall.
constexpr uint32_t kMaxMacroblocks = 1024;

// Skips a scaling_list() of `n` entries.
void skipScalingList(BitReader& b, int n) {
  int last = 8, next = 8;
  for (int j = 0; j < n && !b.bad; ++j) {
    if (next != 0) {
      const int32_t delta = b.se();
      if (delta < -128 || delta > 127) { b.bad = true; return; }
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

bool highProfile(uint32_t p) {
  switch (p) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
    case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

// A NAL unit's payload without its header byte and emulation prevention bytes.
void unescapeNal(const uint8_t* nal, size_t n, std::vector<uint8_t>& rbsp) {
  rbsp.clear();
  rbsp.reserve(n);
  for (size_t i = 1, zeros = 0; i < n; ++i) {
    if (zeros >= 2 && nal[i] == 3) { zeros = 0; continue; }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    rbsp.push_back(nal[i]);
  }
}

// A sequence parameter set's fields up to its VUI, which the reader is left in front of: the
// picture size.
Err readSpsHead(BitReader& b, AvcConfig* c) {
  const uint32_t profile = b.u(8);
  b.u(16);  // constraint flags, level
  if (b.ue() > 31) return fail(&c->why, invalidMedia, "SPS: seq_parameter_set_id above 31");
  uint32_t chroma = 1;
  bool separatePlanes = false;
  if (highProfile(profile)) {
    chroma = b.ue();
    if (chroma > 3) return fail(&c->why, invalidMedia, "SPS: chroma_format_idc above 3");
    if (chroma == 3) separatePlanes = b.flag();
    if (b.ue() > 6 || b.ue() > 6) return fail(&c->why, invalidMedia, "SPS: bit depth above 14");
    b.u(1);  // qpprime_y_zero_transform_bypass_flag
    if (b.flag()) {
      for (int i = 0; i < (chroma != 3 ? 8 : 12) && !b.bad; ++i)
        if (b.flag()) skipScalingList(b, i < 6 ? 16 : 64);
    }
  }
  if (b.ue() > 12) return fail(&c->why, invalidMedia, "SPS: log2_max_frame_num above 16");
  const uint32_t pocType = b.ue();
  if (pocType == 0) {
    if (b.ue() > 12) return fail(&c->why, invalidMedia, "SPS: log2_max_pic_order_cnt_lsb above 16");
  } else if (pocType == 1) {
    b.u(1);
    b.se();
    b.se();
    const uint32_t cycle = b.ue();
    if (cycle > 255) return fail(&c->why, invalidMedia, "SPS: num_ref_frames_in_pic_order_cnt_cycle above 255");
    for (uint32_t i = 0; i < cycle && !b.bad; ++i) b.se();
  } else if (pocType != 2) {
    return fail(&c->why, invalidMedia, "SPS: pic_order_cnt_type above 2");
  }
  b.ue();   // max_num_ref_frames
  b.u(1);   // gaps_in_frame_num_value_allowed_flag
  const uint32_t widthMbs = b.ue() + 1, heightUnits = b.ue() + 1;
  const bool frameMbsOnly = b.flag();
  if (!frameMbsOnly) b.u(1);  // mb_adaptive_frame_field_flag
  b.u(1);                     // direct_8x8_inference_flag
  uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  if (b.flag())
    for (uint32_t& v : crop) v = b.ue();
  if (b.bad) return fail(&c->why, invalidMedia, "SPS: cut short");
  if (widthMbs > kMaxMacroblocks || heightUnits > kMaxMacroblocks)
    return fail(&c->why, invalidMedia, "SPS: picture larger than 16384 pixels");
  const uint32_t frameHeightMbs = heightUnits * (frameMbsOnly ? 1 : 2);
  // Crop units: chroma samples, and field pairs in interlaced streams.
  const uint32_t arrayType = separatePlanes ? 0 : chroma;
  const uint32_t unitX = arrayType == 1 || arrayType == 2 ? 2 : 1;
  const uint32_t unitY = (arrayType == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
  const uint64_t cropX = uint64_t(unitX) * (uint64_t(crop[0]) + crop[1]);
  const uint64_t cropY = uint64_t(unitY) * (uint64_t(crop[2]) + crop[3]);
  c->codedWidth = widthMbs * 16;
  c->codedHeight = frameHeightMbs * 16;
  if (cropX >= c->codedWidth || cropY >= c->codedHeight)
    return fail(&c->why, invalidMedia, "SPS: frame cropping larger than the picture");
  c->width = uint32_t(c->codedWidth - cropX);
  c->height = uint32_t(c->codedHeight - cropY);
  return noErr;
}

// The picture size and VUI colour of a sequence parameter set (NAL header included, emulation
// prevention still in).
Err parseSps(const uint8_t* nal, size_t n, AvcConfig* c) {
  std::vector<uint8_t> rbsp;  // SPS fields end long before 64 KiB
  unescapeNal(nal, n, rbsp);
  BitReader b(rbsp.data(), rbsp.size());
  const Err e = readSpsHead(b, c);
  if (e) return e;

  // VUI: only up to the colour description; what follows is of no use here.
  c->vui = ColourInfo();
  if (!b.flag()) return noErr;
  if (b.flag() && b.u(8) == 255) b.u(32);  // aspect_ratio_idc, Extended_SAR
  if (b.flag()) b.u(1);                    // overscan
  if (b.flag()) {                          // video_signal_type_present_flag
    b.u(3);                                // video_format
    const bool full = b.flag();
    const bool described = b.flag();
    uint32_t prim = 2, trc = 2, mat = 2;
    if (described) prim = b.u(8), trc = b.u(8), mat = b.u(8);
    if (b.bad) return noErr;  // a cut-short VUI says nothing, and the picture size stands
    c->vui.rangeKnown = true;
    c->vui.fullRange = full;
    c->vui.described = described;
    c->vui.primaries = uint16_t(prim);
    c->vui.transfer = uint16_t(trc);
    c->vui.matrix = uint16_t(mat);
  }
  return noErr;
}

// MSB-first bit writer.
struct BitWriter {
  std::vector<uint8_t> bytes;
  uint32_t used = 0;  // bits of the last byte in use; 0 when it is full or there is none
  void put(uint32_t v, uint32_t k) {
    while (k--) {
      if (used == 0) bytes.push_back(0);
      bytes.back() = uint8_t(bytes.back() | ((v >> k) & 1) << (7 - used));
      used = (used + 1) & 7;
    }
  }
  void copy(BitReader& b, size_t k) {
    for (; k && !b.bad; --k) put(b.u(1), 1);
  }
};

// One parameter set of an 'avcC': length, NAL of the expected type, appended behind a start code.
bool takeParameterSet(Cursor& c, uint32_t type, std::vector<uint8_t>& annexB, const uint8_t** nal, size_t* len) {
  const uint16_t n = c.u16();
  if (c.bad || n == 0 || !c.need(n)) return false;
  const uint8_t* p = c.p + c.pos;
  if ((p[0] & 0x9F) != type) return false;  // forbidden_zero_bit clear, nal_unit_type
  static const uint8_t kStart[4] = {0, 0, 0, 1};
  annexB.insert(annexB.end(), kStart, kStart + 4);
  annexB.insert(annexB.end(), p, p + n);
  c.skip(n);
  *nal = p;
  *len = n;
  return true;
}

}  // namespace

bool avcSampleColour(const uint8_t* sample, size_t n, uint32_t nalLengthSize, ColourInfo* vui) {
  if (!sample || !vui || nalLengthSize < 1 || nalLengthSize > 4) return false;
  size_t at = 0;
  while (n - at > nalLengthSize) {
    size_t length = 0;
    for (uint32_t k = 0; k < nalLengthSize; ++k) length = length << 8 | sample[at + k];
    at += nalLengthSize;
    if (length == 0 || length > n - at) return false;
    const uint8_t type = sample[at] & 31;
    if (type >= 1 && type <= 5) return false;  // slices: no parameter set follows
    AvcConfig c;
    if (type == 7 && parseSps(sample + at, length, &c) == noErr && (c.vui.rangeKnown || c.vui.described)) {
      *vui = c.vui;
      return true;
    }
    at += length;
  }
  return false;
}

Err parseAvcConfig(const uint8_t* data, size_t size, AvcConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = AvcConfig();
  AvcConfig& a = *out;
  Cursor c(data, size);
  const uint8_t version = c.u8();
  a.profile = c.u8();
  a.compatibility = c.u8();
  a.level = c.u8();
  const uint8_t lengthSize = uint8_t((c.u8() & 3) + 1);
  a.spsCount = c.u8() & 31;
  if (c.bad) return fail(&a.why, invalidMedia, "avcC: shorter than its fixed fields");
  if (version != 1) return fail(&a.why, cantFindHandler, "avcC: configurationVersion is not 1");
  if (lengthSize == 3) return fail(&a.why, invalidMedia, "avcC: NAL length size 3");
  a.nalLengthSize = lengthSize;
  try {
    a.annexB.reserve(size + 4 * 256);
    const uint8_t* firstSps = nullptr;
    size_t firstSpsLen = 0;
    for (uint32_t i = 0; i < a.spsCount; ++i) {
      const uint8_t* nal;
      size_t len;
      if (!takeParameterSet(c, 7, a.annexB, &nal, &len))
        return fail(&a.why, invalidMedia, "avcC: SPS empty, not an SPS or past the atom");
      if (!firstSps) firstSps = nal, firstSpsLen = len;
    }
    a.ppsCount = c.u8();
    if (c.bad) return fail(&a.why, invalidMedia, "avcC: no PPS count");
    for (uint32_t i = 0; i < a.ppsCount; ++i) {
      const uint8_t* nal;
      size_t len;
      if (!takeParameterSet(c, 8, a.annexB, &nal, &len))
        return fail(&a.why, invalidMedia, "avcC: PPS empty, not a PPS or past the atom");
    }
    // The High-profile tail is missing from many writers' files, and damaged in some: a tail
    // that does not hold together is ignored rather than refusing a usable configuration.
    if (highProfile(a.profile) && c.left() >= 4) {
      Cursor t = c;
      const uint8_t chroma = t.u8() & 3, luma = t.u8() & 7, chr = t.u8() & 7;
      const uint8_t extCount = t.u8();
      for (uint32_t i = 0; i < extCount && !t.bad; ++i) t.skip(t.u16());
      if (!t.bad) {
        a.hasHighTail = true;
        a.chromaFormat = chroma;
        a.bitDepthLuma = uint8_t(luma + 8);
        a.bitDepthChroma = uint8_t(chr + 8);
      }
    }
    if (firstSps) return parseSps(firstSps, firstSpsLen, &a);
  } catch (const std::bad_alloc&) {
    return fail(&a.why, memFullErr, "avcC: out of memory");
  }
  return noErr;
}

Err avcSpsAsSquareBt601(const uint8_t* nal, size_t n, std::vector<uint8_t>& out) {
  if (!nal || n < 2 || (nal[0] & 0x9F) != 7) return paramErr;
  try {
    std::vector<uint8_t> rbsp;
    unescapeNal(nal, n, rbsp);
    // The rbsp_stop_one_bit: the last bit set.
    size_t last = rbsp.size();
    while (last && rbsp[last - 1] == 0) --last;
    if (!last) return invalidMedia;
    uint32_t trailing = 0;
    while (!(rbsp[last - 1] >> trailing & 1)) ++trailing;
    const size_t stop = last * 8 - 1 - trailing;
    BitReader b = BitReader::ofBits(rbsp.data(), stop);  // it ends at the stop bit
    AvcConfig head;
    if (readSpsHead(b, &head)) return invalidMedia;
    BitWriter w;
    BitReader from = BitReader::ofBits(rbsp.data(), stop);
    w.copy(from, b.pos);
    const bool hadVui = b.flag();
    if (b.bad) return invalidMedia;
    w.put(1, 1);  // vui_parameters_present_flag
    if (hadVui) {
      if (b.flag() && b.u(8) == 255) b.u(32);  // the aspect ratio is dropped: square pixels
      w.put(0, 1);
      const size_t at = b.pos;
      if (b.flag()) b.u(1);  // overscan, kept
      from = BitReader::ofBits(rbsp.data(), stop);
      from.skip(at);
      w.copy(from, b.pos - at);
    } else {
      w.put(0, 2);  // no aspect ratio, no overscan
    }
    // video_signal_type: component (5), limited range, described as BT.601 525 (6, 6, 6).
    w.put(1, 1);
    w.put(5, 3);
    w.put(0, 1);
    w.put(1, 1);
    w.put(0x060606, 24);
    if (hadVui) {
      if (b.flag()) {  // the old video_signal_type is dropped
        b.u(4);
        if (b.flag()) b.u(24);
      }
      if (b.bad) return invalidMedia;
      from = BitReader::ofBits(rbsp.data(), stop);
      from.skip(b.pos);
      w.copy(from, stop - b.pos);  // the rest of the VUI as it was
    } else {
      // No chroma location, timing, HRD, picture structure or bitstream restriction: what a
      // missing VUI implies.
      w.put(0, 6);
    }
    w.put(1, 1);  // rbsp_stop_one_bit, then zeros to the byte
    if (w.used) w.put(0, 8 - w.used);
    out.clear();
    out.reserve(w.bytes.size() * 3 / 2 + 2);
    out.push_back(nal[0]);
    size_t zeros = 0;
    for (uint8_t byte : w.bytes) {
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

Err parseHevcConfig(const uint8_t* data, size_t size, HevcConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = HevcConfig();
  HevcConfig& h = *out;
  Cursor c(data, size);
  const uint8_t version = c.u8();
  c.skip(20);  // profile, tier, level, segmentation, parallelism, chroma, depths, frame rate
  const uint8_t lengthSize = uint8_t((c.u8() & 3) + 1);
  const uint8_t arrays = c.u8();
  if (c.bad) return fail(&h.why, invalidMedia, "hvcC: shorter than its fixed fields");
  if (version != 1) return fail(&h.why, cantFindHandler, "hvcC: configurationVersion is not 1");
  if (lengthSize == 3) return fail(&h.why, invalidMedia, "hvcC: NAL length size 3");
  h.nalLengthSize = lengthSize;
  try {
    h.annexB.reserve(size + 4 * 64);
    for (uint32_t a = 0; a < arrays; ++a) {
      const uint8_t type = c.u8() & 0x3F;
      const uint16_t count = c.u16();
      if (c.bad) return fail(&h.why, invalidMedia, "hvcC: an array's header runs past the atom");
      for (uint32_t i = 0; i < count; ++i) {
        const uint16_t n = c.u16();
        if (c.bad || n < 2 || !c.need(n)) return fail(&h.why, invalidMedia, "hvcC: a NAL unit empty or past the atom");
        const uint8_t* nal = c.p + c.pos;
        if ((nal[0] & 0x80) || ((nal[0] >> 1) & 0x3F) != type)
          return fail(&h.why, invalidMedia, "hvcC: a NAL unit not of its array's type");
        static const uint8_t kStart[4] = {0, 0, 0, 1};
        h.annexB.insert(h.annexB.end(), kStart, kStart + 4);
        h.annexB.insert(h.annexB.end(), nal, nal + n);
        c.skip(n);
        h.vpsCount += type == 32;
        h.spsCount += type == 33;
        h.ppsCount += type == 34;
      }
    }
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  return noErr;
}

Err avcSampleToAnnexB(const uint8_t* in, size_t n, uint32_t nalLengthSize, std::vector<uint8_t>& out,
                      size_t* outBytes) {
  if ((!in && n) || !outBytes) return paramErr;
  *outBytes = 0;
  if (nalLengthSize != 1 && nalLengthSize != 2 && nalLengthSize != 4) return paramErr;
  // Checked and measured first, so that a bad sample writes nothing and the buffer grows once.
  size_t total = 0;
  for (size_t at = 0; at < n;) {
    if (n - at < nalLengthSize) return invalidMedia;
    uint32_t len = 0;
    for (uint32_t i = 0; i < nalLengthSize; ++i) len = len << 8 | in[at + i];
    at += nalLengthSize;
    if (len > n - at) return invalidMedia;
    if (len) total += 4 + size_t(len);
    at += len;
  }
  if (out.size() < total) {
    try {
      out.resize(total);
    } catch (const std::bad_alloc&) {
      return memFullErr;
    }
  }
  uint8_t* o = out.data();
  for (size_t at = 0; at < n;) {
    uint32_t len = 0;
    for (uint32_t i = 0; i < nalLengthSize; ++i) len = len << 8 | in[at + i];
    at += nalLengthSize;
    if (len) {
      o[0] = 0, o[1] = 0, o[2] = 0, o[3] = 1;
      std::memcpy(o + 4, in + at, len);
      o += 4 + size_t(len);
    }
    at += len;
  }
  *outBytes = total;
  return noErr;
}

namespace {
// An MPEG-4 descriptor header: tag, then a size in up to four 7-bit groups. The descriptor must
// lie inside its parent's cursor; `body` is its content.
bool descriptor(Cursor& c, uint8_t* tag, Cursor* body) {
  *tag = c.u8();
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = c.u8();
    size = size << 7 | (b & 0x7F);
    if (!(b & 0x80)) break;
    if (i == 3) return false;  // a fifth size byte
  }
  if (c.bad || !c.need(size)) return false;
  *body = Cursor(c.p + c.pos, size);
  c.skip(size);
  return true;
}
}  // namespace

Err parseEsds(const uint8_t* data, size_t size, EsDescriptor* out, bool withInfo) {
  if ((!data && size) || !out) return paramErr;
  *out = EsDescriptor();
  EsDescriptor& e = *out;
  Cursor c(data, size);
  const uint32_t versionFlags = c.u32();
  if (c.bad) return fail(&e.why, invalidMedia, "esds: no version");
  if (versionFlags >> 24) return fail(&e.why, cantFindHandler, "esds: version is not 0");
  uint8_t tag;
  Cursor es;
  if (!descriptor(c, &tag, &es)) return fail(&e.why, invalidMedia, "esds: ES_Descriptor past the atom");
  if (tag != 3) return fail(&e.why, invalidMedia, "esds: first descriptor is not an ES_Descriptor");
  e.esId = es.u16();
  const uint8_t flags = es.u8();
  if (flags & 0x80) e.hasDependsOn = true, e.dependsOnEsId = es.u16();
  if (flags & 0x40) es.skip(es.u8());  // URL
  if (flags & 0x20) e.hasOcr = true, e.ocrEsId = es.u16();
  if (es.bad) return fail(&e.why, invalidMedia, "ES_Descriptor: fields past its size");
  // The DecoderConfigDescriptor is the first of the ES_Descriptor's children; others (SLConfig,
  // IPI pointers, ...) are skipped.
  Cursor dc;
  bool found = false;
  while (es.left() && !found) {
    if (!descriptor(es, &tag, &dc)) return fail(&e.why, invalidMedia, "ES_Descriptor: child past its size");
    found = tag == 4;
  }
  if (!found) return fail(&e.why, invalidMedia, "ES_Descriptor: no DecoderConfigDescriptor");
  e.objectType = dc.u8();
  e.streamType = dc.u8() >> 2;
  e.bufferSize = uint32_t(dc.u8()) << 16;
  e.bufferSize |= dc.u16();
  e.maxBitrate = dc.u32();
  e.avgBitrate = dc.u32();
  if (dc.bad) return fail(&e.why, invalidMedia, "DecoderConfigDescriptor: shorter than its fields");
  while (dc.left()) {
    Cursor dsi;
    if (!descriptor(dc, &tag, &dsi)) return fail(&e.why, invalidMedia, "DecoderConfigDescriptor: child past its size");
    if (tag != 5) continue;
    if (!withInfo) break;
    try {
      e.specificInfo.assign(dsi.p, dsi.p + dsi.n);
    } catch (const std::bad_alloc&) {
      return fail(&e.why, memFullErr, "esds: out of memory");
    }
    break;
  }
  return noErr;
}

namespace {
const uint32_t kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

uint32_t objectType(BitReader& b) {
  const uint32_t t = b.u(5);
  return t == 31 ? 32 + b.u(6) : t;
}

// samplingFrequencyIndex, or the explicit 24-bit rate behind index 15; 0 for a reserved index.
uint32_t samplingRate(BitReader& b) {
  const uint32_t i = b.u(4);
  if (i == 15) return b.u(24);
  return i < 13 ? kAacRates[i] : 0;
}

// A program_config_element: its channel count (0 when it is cut short) and, where its elements
// name speakers a channel mask has, their labels: at the front a centre and one or two pairs
// (the inner one left and right of centre), a side pair, a back pair and a back centre, an LFE.
uint32_t pceLayout(BitReader& b, std::vector<uint32_t>& labels) {
  b.u(4 + 2 + 4);  // element_instance_tag, object_type, sampling_frequency_index
  const uint32_t counts[3] = {b.u(4), b.u(4), b.u(4)};  // front, side, back elements
  const uint32_t lfe = b.u(2), assoc = b.u(3), cc = b.u(4);
  if (b.flag()) b.u(4);  // mono mixdown
  if (b.flag()) b.u(4);  // stereo mixdown
  if (b.flag()) b.u(3);  // matrix mixdown
  uint32_t channels = lfe, pairs[3] = {}, singles[3] = {};
  for (int at = 0; at < 3; ++at) {
    for (uint32_t i = 0; i < counts[at]; ++i) {
      const bool pair = b.flag();
      b.u(4);
      ++(pair ? pairs : singles)[at];
      channels += pair ? 2 : 1;
    }
  }
  b.skip(4 * lfe + 4 * assoc + 5 * cc);
  b.skip((8 - b.pos % 8) % 8);  // byte_alignment(), counted from the AudioSpecificConfig's start
  b.skip(size_t(b.u(8)) * 8);   // comment_field_data
  if (b.bad) return 0;
  labels.clear();
  if (singles[0] > 1 || pairs[0] > 2 || singles[1] || pairs[1] > 1 || pairs[2] > 1 || singles[2] > 1 || lfe > 1)
    return channels;  // speakers a mask does not have
  if (singles[0]) labels.push_back(channels == 1 ? kLabelMono : kLabelCenter);
  if (pairs[0] == 2) labels.insert(labels.end(), {kLabelLeftCenter, kLabelRightCenter});
  if (pairs[0]) labels.insert(labels.end(), {kLabelLeft, kLabelRight});
  if (pairs[1]) labels.insert(labels.end(), {kLabelLeftSurroundDirect, kLabelRightSurroundDirect});
  if (pairs[2]) labels.insert(labels.end(), {kLabelLeftSurround, kLabelRightSurround});
  if (singles[2]) labels.push_back(kLabelCenterSurround);
  if (lfe) labels.push_back(kLabelLfe);
  return channels;
}

bool gaSpecific(uint32_t aot) {
  switch (aot) {
    case 1: case 2: case 3: case 4: case 6: case 7: case 17: case 19: case 20: case 21: case 22: case 23:
      return true;
    default:
      return false;
  }
}

// AAC's channel configurations, their channels' speakers in stream order. Decoders deliver 7
// (C, Lc/Rc, L/R, Ls/Rs, LFE) as 7.1 with a side pair, as 12 is, not with a pair of front
// centres; 14 adds a pair of front heights to 5.1.
void configLabels(uint32_t config, std::vector<uint32_t>& l) {
  const uint32_t C = kLabelCenter, L = kLabelLeft, R = kLabelRight, Ls = kLabelLeftSurround,
                 Rs = kLabelRightSurround, Lsd = kLabelLeftSurroundDirect, Rsd = kLabelRightSurroundDirect,
                 Lfe = kLabelLfe;
  switch (config) {
    case 1: l = {kLabelMono}; break;
    case 2: l = {L, R}; break;
    case 3: l = {C, L, R}; break;
    case 4: l = {C, L, R, kLabelCenterSurround}; break;
    case 5: l = {C, L, R, Ls, Rs}; break;
    case 6: l = {C, L, R, Ls, Rs, Lfe}; break;
    case 7: l = {C, L, R, Lsd, Rsd, Ls, Rs, Lfe}; break;
    case 11: l = {C, L, R, Ls, Rs, kLabelCenterSurround, Lfe}; break;
    case 12: l = {C, L, R, Lsd, Rsd, Ls, Rs, Lfe}; break;
    case 14: l = {C, L, R, Ls, Rs, Lfe, kLabelVerticalHeightLeft, kLabelVerticalHeightRight}; break;
    default: l.clear(); break;
  }
}
}  // namespace

uint32_t speakerOf(uint32_t label) {
  switch (label) {
    case kLabelLeft: return 0x1;
    case kLabelRight: return 0x2;
    case kLabelCenter: case kLabelMono: return 0x4;
    case kLabelLfe: return 0x8;
    case kLabelLeftSurround: return 0x10;
    case kLabelRightSurround: return 0x20;
    case kLabelLeftCenter: return 0x40;
    case kLabelRightCenter: return 0x80;
    case kLabelCenterSurround: return 0x100;
    case kLabelLeftSurroundDirect: return 0x200;
    case kLabelRightSurroundDirect: return 0x400;
    case kLabelVerticalHeightLeft: return 0x1000;
    case kLabelVerticalHeightRight: return 0x4000;
    default: return 0;
  }
}

Err parseAudioSpecificConfig(const uint8_t* data, size_t size, AacConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = AacConfig();
  AacConfig& a = *out;
  BitReader b(data, size);
  a.objectType = objectType(b);
  a.sampleRate = samplingRate(b);
  a.channelConfig = b.u(4);
  uint32_t extRate = 0;
  if (a.objectType == 5 || a.objectType == 29) {  // explicit, hierarchical SBR (and PS)
    a.sbr = true;
    a.ps = a.objectType == 29;
    extRate = samplingRate(b);
    a.objectType = objectType(b);
  }
  if (b.bad) return fail(&a.why, invalidMedia, "AudioSpecificConfig: cut short");
  if (a.objectType == 0 || a.sampleRate == 0 || (a.sbr && extRate == 0))
    return fail(&a.why, invalidMedia, "AudioSpecificConfig: reserved object type or sampling frequency index");
  configLabels(a.channelConfig, a.labels);
  a.channels = uint32_t(a.labels.size());
  if (gaSpecific(a.objectType)) {
    a.frameLength = b.flag() ? 960 : 1024;
    if (b.flag()) b.u(14);  // coreCoderDelay
    const bool extension = b.flag();
    if (a.channelConfig == 0) a.channels = pceLayout(b, a.labels);
    if (a.objectType == 6 || a.objectType == 20) b.u(3);  // layerNr
    if (extension) {
      if (a.objectType == 22) b.u(5 + 11);
      if (a.objectType == 17 || a.objectType == 19 || a.objectType == 20 || a.objectType == 23) b.u(3);
      b.u(1);  // extensionFlag3
    }
    if (b.bad) return fail(&a.why, invalidMedia, "GASpecificConfig: cut short");
    // Backward-compatible signalling behind the core configuration.
    if (!a.sbr && b.left() >= 16 && b.u(11) == 0x2B7 && objectType(b) == 5 && b.flag()) {
      extRate = samplingRate(b);
      a.sbr = !b.bad && extRate != 0;
      if (a.sbr && b.left() >= 12 && b.u(11) == 0x548) a.ps = b.flag();
    }
  }
  a.outputRate = a.sbr ? extRate : a.sampleRate;
  return noErr;
}

Err parseMpegAudioHeader(const uint8_t* data, size_t size, MpegAudioHeader* out) {
  if ((!data && size) || !out) return paramErr;
  *out = MpegAudioHeader();
  MpegAudioHeader& h = *out;
  if (size < 4) return fail(&h.why, invalidMedia, "MPEG audio: header cut short");
  const uint32_t v = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
  if ((v >> 21) != 0x7FF) return fail(&h.why, invalidMedia, "MPEG audio: no frame sync");
  const uint32_t ver = (v >> 19) & 3, layerBits = (v >> 17) & 3, rateIndex = (v >> 10) & 3;
  const uint32_t brIndex = (v >> 12) & 15;
  if (ver == 1 || layerBits == 0 || rateIndex == 3 || brIndex == 15)
    return fail(&h.why, invalidMedia, "MPEG audio: reserved version, layer, rate or bitrate");
  h.version = ver == 3 ? 10 : ver == 2 ? 20 : 25;
  h.layer = 4 - layerBits;
  static const uint32_t kRates[3] = {44100, 48000, 32000};
  h.sampleRate = kRates[rateIndex] >> (ver == 3 ? 0 : ver == 2 ? 1 : 2);
  h.channels = ((v >> 6) & 3) == 3 ? 1 : 2;
  // kbit/s by [MPEG-1 layer I, II, III, MPEG-2/2.5 layer I, II and III][index].
  static const uint16_t kBitrates[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
  };
  const bool mpeg1 = ver == 3;
  const int row = mpeg1 ? int(h.layer) - 1 : (h.layer == 1 ? 3 : 4);
  h.bitrate = kBitrates[row][brIndex] * 1000u;
  h.samplesPerFrame = h.layer == 1 ? 384 : (h.layer == 3 && !mpeg1) ? 576 : 1152;
  const uint32_t padding = (v >> 9) & 1;
  if (h.bitrate) {
    if (h.layer == 1)
      h.frameBytes = (12 * h.bitrate / h.sampleRate + padding) * 4;
    else
      h.frameBytes = h.samplesPerFrame / 8 * h.bitrate / h.sampleRate + padding;
  }
  return noErr;
}

namespace {
constexpr uint32_t L = kLabelLeft, R = kLabelRight, C = kLabelCenter, Lfe = kLabelLfe, Ls = kLabelLeftSurround,
                   Rs = kLabelRightSurround, Lsd = kLabelLeftSurroundDirect, Rsd = kLabelRightSurroundDirect,
                   Cs = kLabelCenterSurround, Lc = kLabelLeftCenter, Rc = kLabelRightCenter;

// The speakers of each channel count as a codec's decoders lay them out (Opus's and Vorbis's,
// FLAC's, Apple Lossless's), for 1 to 8 channels.
using Layouts = std::vector<uint32_t>[8];
const Layouts& vorbisLayouts() {
  static const Layouts l = {{kLabelMono}, {L, R}, {L, R, C}, {L, R, Ls, Rs}, {L, R, C, Ls, Rs},
                            {L, R, C, Lfe, Ls, Rs}, {L, R, C, Lfe, Cs, Lsd, Rsd},
                            {L, R, C, Lfe, Ls, Rs, Lsd, Rsd}};
  return l;
}
const Layouts& flacLayouts() {
  static const Layouts l = {{kLabelMono}, {L, R}, {L, R, C}, {L, R, Ls, Rs}, {L, R, C, Lsd, Rsd},
                            {L, R, C, Lfe, Lsd, Rsd}, {L, R, C, Lfe, Cs, Lsd, Rsd},
                            {L, R, C, Lfe, Ls, Rs, Lsd, Rsd}};
  return l;
}
const Layouts& alacLayouts() {
  static const Layouts l = {{kLabelMono}, {L, R}, {L, R, C}, {L, R, C, Cs}, {L, R, C, Ls, Rs},
                            {L, R, C, Lfe, Ls, Rs}, {L, R, C, Lfe, Cs, Ls, Rs},
                            {L, R, C, Lfe, Ls, Rs, Lc, Rc}};
  return l;
}

// AC-3's audio coding modes: its speakers, a side pair for its surround pair as decoders give it.
void ac3Labels(uint32_t acmod, bool lfe, std::vector<uint32_t>& l) {
  static const std::vector<uint32_t> kModes[8] = {{L, R}, {kLabelMono}, {L, R}, {L, R, C}, {L, R, Cs},
                                                  {L, R, C, Cs}, {L, R, Lsd, Rsd}, {L, R, C, Lsd, Rsd}};
  l = kModes[acmod & 7];
  if (lfe) {
    if (l.size() == 1) l[0] = C;
    l.push_back(Lfe);
  }
}

const uint32_t kAc3Rates[3] = {48000, 44100, 32000};

// What an AC-3 stream of these header fields delivers.
Err ac3Sound(uint32_t fscod, uint32_t bsid, uint32_t acmod, uint32_t lfe, const char* reserved, const char* noMemory,
             SoundConfig& o) {
  if (fscod == 3 || bsid > 10) return fail(&o.why, invalidMedia, reserved);
  o.sampleRate = kAc3Rates[fscod];
  o.framesPerPacket = 1536;
  try {
    ac3Labels(acmod, lfe, o.labels);
  } catch (const std::bad_alloc&) {
    return fail(&o.why, memFullErr, noMemory);
  }
  o.channels = uint32_t(o.labels.size());
  return noErr;
}
}  // namespace

Err parseOpusConfig(const uint8_t* data, size_t size, SoundConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = SoundConfig();
  SoundConfig& o = *out;
  Cursor c(data, size);
  const uint8_t version = c.u8(), channels = c.u8();
  c.u16();  // pre-skip: the edit list's
  const uint32_t inputRate = c.u32();
  const uint16_t gain = c.u16();
  const uint8_t family = c.u8();
  if (c.bad) return fail(&o.why, invalidMedia, "dOps: cut short");
  if (version != 0) return fail(&o.why, cantFindHandler, "dOps: version is not 0");
  if (channels == 0 || channels > 8) return fail(&o.why, cantFindHandler, "dOps: no channels, or more than 8");
  uint8_t streams = 1, coupled = uint8_t(channels - 1);
  const uint8_t* map = nullptr;
  if (family != 0) {
    streams = c.u8();
    coupled = c.u8();
    if (!c.need(channels)) return fail(&o.why, invalidMedia, "dOps: channel mapping cut short");
    map = c.p + c.pos;
    if (streams == 0 || coupled > streams) return fail(&o.why, invalidMedia, "dOps: stream counts");
  } else if (channels > 2) {
    return fail(&o.why, invalidMedia, "dOps: mapping family 0 of more than two channels");
  }
  const uint8_t head[19] = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, channels, 0, 0,
                            uint8_t(inputRate), uint8_t(inputRate >> 8), uint8_t(inputRate >> 16),
                            uint8_t(inputRate >> 24), uint8_t(gain), uint8_t(gain >> 8), family};
  try {
    o.config.assign(head, head + sizeof head);
    if (map) {
      o.config.push_back(streams);
      o.config.push_back(coupled);
      o.config.insert(o.config.end(), map, map + channels);
    }
    if (family <= 1) o.labels = vorbisLayouts()[channels - 1];
    else o.labels.assign(channels, 0);
  } catch (const std::bad_alloc&) {
    return fail(&o.why, memFullErr, "dOps: out of memory");
  }
  o.sampleRate = 48000;
  o.channels = channels;
  o.framesPerPacket = 960;
  return noErr;
}

Err parseFlacConfig(const uint8_t* data, size_t size, SoundConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = SoundConfig();
  SoundConfig& o = *out;
  Cursor c(data, size);
  const uint32_t versionFlags = c.u32();
  const uint8_t type = c.u8();
  const uint32_t length = uint32_t(c.u16()) << 8 | c.u8();
  if (c.bad) return fail(&o.why, invalidMedia, "dfLa: cut short");
  if (versionFlags >> 24) return fail(&o.why, cantFindHandler, "dfLa: version is not 0");
  if ((type & 0x7F) != 0 || length != 34) return fail(&o.why, invalidMedia, "dfLa: the first block is no STREAMINFO");
  if (!c.need(34)) return fail(&o.why, invalidMedia, "dfLa: STREAMINFO cut short");
  const uint8_t* info = c.p + c.pos;
  BitReader b(info, 34);
  const uint32_t minBlock = b.u(16), maxBlock = b.u(16);
  b.skip(24 + 24);  // the smallest and largest frame sizes
  o.sampleRate = b.u(20);
  o.channels = b.u(3) + 1;
  o.bits = b.u(5) + 1;
  if (o.sampleRate == 0 || o.bits < 4 || maxBlock < 16 || minBlock > maxBlock)
    return fail(&o.why, invalidMedia, "STREAMINFO: no rate, sample size or block size");
  o.framesPerPacket = maxBlock;
  try {
    o.config.assign(info, info + 34);
    o.labels = flacLayouts()[o.channels - 1];
  } catch (const std::bad_alloc&) {
    return fail(&o.why, memFullErr, "dfLa: out of memory");
  }
  return noErr;
}

Err parseAlacConfig(const uint8_t* data, size_t size, SoundConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = SoundConfig();
  SoundConfig& o = *out;
  Cursor c(data, size);
  c.u32();  // version and flags
  o.framesPerPacket = c.u32();
  c.u8();  // compatible version
  o.bits = c.u8();
  c.skip(3);  // the Rice parameters
  o.channels = c.u8();
  c.skip(2 + 4 + 4);  // longest run, largest frame, average bit rate
  o.sampleRate = c.u32();
  if (c.bad) return fail(&o.why, invalidMedia, "alac: cut short");
  if (o.framesPerPacket == 0 || o.framesPerPacket > 4096 * 4096 || o.sampleRate == 0)
    return fail(&o.why, invalidMedia, "alac: no frame length or rate");
  if (o.channels == 0 || o.channels > 8 || (o.bits != 16 && o.bits != 20 && o.bits != 24 && o.bits != 32))
    return fail(&o.why, cantFindHandler, "alac: a channel count or sample size decoders lack");
  const uint8_t header[8] = {0, 0, 0, 36, 'a', 'l', 'a', 'c'};
  try {
    o.config.assign(header, header + 8);
    o.config.insert(o.config.end(), data, data + 28);
    o.labels = alacLayouts()[o.channels - 1];
  } catch (const std::bad_alloc&) {
    return fail(&o.why, memFullErr, "alac: out of memory");
  }
  return noErr;
}

Err parseAc3Config(const uint8_t* data, size_t size, SoundConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = SoundConfig();
  SoundConfig& o = *out;
  BitReader b(data, size);
  const uint32_t fscod = b.u(2), bsid = b.u(5);
  b.u(3);
  const uint32_t acmod = b.u(3), lfe = b.u(1);
  if (b.bad) return fail(&o.why, invalidMedia, "dac3: cut short");
  return ac3Sound(fscod, bsid, acmod, lfe, "dac3: reserved rate or stream version", "dac3: out of memory", o);
}

Err parseAc3Frame(const uint8_t* data, size_t size, SoundConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = SoundConfig();
  SoundConfig& o = *out;
  BitReader b(data, size);
  if (b.u(16) != 0x0B77) return fail(&o.why, invalidMedia, "AC-3: no frame sync");
  b.u(16);  // crc1
  const uint32_t fscod = b.u(2);
  b.u(6);  // frame size code
  const uint32_t bsid = b.u(5);
  b.u(3);
  const uint32_t acmod = b.u(3);
  if ((acmod & 1) && acmod != 1) b.u(2);  // centre mix level
  if (acmod & 4) b.u(2);                 // surround mix level
  if (acmod == 2) b.u(2);                // Dolby Surround mode
  const uint32_t lfe = b.u(1);
  if (b.bad) return fail(&o.why, invalidMedia, "AC-3: frame header cut short");
  return ac3Sound(fscod, bsid, acmod, lfe, "AC-3: reserved rate or stream version", "AC-3: out of memory", o);
}

Err parseEac3Config(const uint8_t* data, size_t size, SoundConfig* out) {
  if ((!data && size) || !out) return paramErr;
  *out = SoundConfig();
  SoundConfig& o = *out;
  BitReader b(data, size);
  b.u(13);  // data rate
  b.u(3);   // independent streams less one: the first is the programme
  const uint32_t fscod = b.u(2), bsid = b.u(5);
  b.u(1 + 1 + 3);
  const uint32_t acmod = b.u(3), lfe = b.u(1);
  b.u(3);
  const uint32_t dependents = b.u(4);
  const uint32_t locations = dependents ? b.u(9) : 0;
  if (b.bad) return fail(&o.why, invalidMedia, "dec3: cut short");
  if (fscod == 3 || bsid < 11 || bsid > 16) return fail(&o.why, invalidMedia, "dec3: reserved rate or stream version");
  o.sampleRate = kAc3Rates[fscod];
  o.framesPerPacket = 1536;
  try {
    ac3Labels(acmod, lfe, o.labels);
    // The dependent streams' channels by location: pairs but for the centre surround (2), top
    // surround (3), top centre (7) and second LFE (8).
    static const uint32_t kPlaces[9][2] = {{Lc, Rc}, {Ls, Rs}, {Cs, 0}, {0, 0}, {Lsd, Rsd}, {0, 0},
                                           {kLabelVerticalHeightLeft, kLabelVerticalHeightRight}, {0, 0}, {0, 0}};
    for (uint32_t k = 0; k < 9; ++k) {
      if (!(locations & (1u << k))) continue;
      const bool single = k == 2 || k == 3 || k == 7 || k == 8;
      o.labels.push_back(kPlaces[k][0]);
      if (!single) o.labels.push_back(kPlaces[k][1]);
    }
  } catch (const std::bad_alloc&) {
    return fail(&o.why, memFullErr, "dec3: out of memory");
  }
  o.channels = uint32_t(o.labels.size());
  if (o.channels > 8) return fail(&o.why, cantFindHandler, "dec3: more than 8 channels");
  return noErr;
}

Err parseColr(const uint8_t* data, size_t size, ColourInfo* out) {
  if ((!data && size) || !out) return paramErr;
  *out = ColourInfo();
  Cursor c(data, size);
  const OSType type = c.u32();
  if (type != fourcc("nclx") && type != fourcc("nclc")) return c.bad ? invalidMedia : cantFindHandler;
  const uint16_t prim = c.u16(), trc = c.u16(), mat = c.u16();
  const uint8_t range = type == fourcc("nclx") ? c.u8() : 0;
  if (c.bad) return invalidMedia;
  out->described = true;
  out->primaries = prim;
  out->transfer = trc;
  out->matrix = mat;
  out->rangeKnown = type == fourcc("nclx");
  out->fullRange = (range & 0x80) != 0;
  return noErr;
}

Err parseVpcc(const uint8_t* data, size_t size, ColourInfo* out) {
  if ((!data && size) || !out) return paramErr;
  *out = ColourInfo();
  Cursor c(data, size);
  const uint8_t version = c.u8();
  c.skip(3 + 2);  // flags, profile, level
  const uint8_t bits = c.u8();
  const uint8_t prim = c.u8(), trc = c.u8(), mat = c.u8();
  if (c.bad) return invalidMedia;
  if (version != 1) return cantFindHandler;  // version 0 has other fields here
  out->described = true;
  out->primaries = prim;
  out->transfer = trc;
  out->matrix = mat;
  out->rangeKnown = true;
  out->fullRange = (bits & 1) != 0;
  return noErr;
}

namespace {
// The matrices there are for a stated code: FCC and SMPTE 240M are near enough to their
// successors, and BT.2020's constant-luminance pictures (10) are converted as non-constant ones
// (9): greys come out right, saturated colours somewhat off (constant luminance weighs linear
// light rather than R'G'B', and scales chroma by its sign).
bool matrixOf(const ColourInfo* c, YuvMatrix* m) {
  if (!c || !c->described) return false;
  switch (c->matrix) {
    case 1: case 7: *m = YuvMatrix::bt709; return true;
    case 9: case 10: *m = YuvMatrix::bt2020; return true;
    case 4: case 5: case 6: *m = YuvMatrix::bt601; return true;
    default: return false;  // unspecified, RGB, YCgCo, reserved
  }
}

// PQ (16) and HLG (18) are HDR; every other stated transfer (BT.709, BT.601, BT.2020's 14 and 15
// ...) is shown as SDR.
bool transferOf(const ColourInfo* c, YuvTransfer* t) {
  if (!c || !c->described || c->transfer == 0 || c->transfer == 2 || c->transfer == 3) return false;
  *t = c->transfer == 16 ? YuvTransfer::pq : c->transfer == 18 ? YuvTransfer::hlg : YuvTransfer::sdr;
  return true;
}

bool primariesOf(const ColourInfo* c, YuvPrimaries* p) {
  if (!c || !c->described) return false;
  switch (c->primaries) {
    case 1: *p = YuvPrimaries::bt709; return true;
    case 5: case 6: *p = YuvPrimaries::bt601; return true;
    case 9: *p = YuvPrimaries::bt2020; return true;
    default: return false;
  }
}
}  // namespace

YuvColour chooseColour(const ColourInfo* colr, const ColourInfo* vui, uint32_t height) {
  YuvColour y;
  if (!matrixOf(colr, &y.matrix) && !matrixOf(vui, &y.matrix))
    y.matrix = height >= 720 ? YuvMatrix::bt709 : YuvMatrix::bt601;
  if (colr && colr->rangeKnown)
    y.fullRange = colr->fullRange;
  else if (vui && vui->rangeKnown)
    y.fullRange = vui->fullRange;
  if (!transferOf(colr, &y.transfer)) transferOf(vui, &y.transfer);
  // Primaries nobody states are the matrix's own.
  if (!primariesOf(colr, &y.primaries) && !primariesOf(vui, &y.primaries))
    y.primaries = y.matrix == YuvMatrix::bt2020 ? YuvPrimaries::bt2020
                  : y.matrix == YuvMatrix::bt601 ? YuvPrimaries::bt601
                                                 : YuvPrimaries::bt709;
  return y;
}

}  // namespace qte
