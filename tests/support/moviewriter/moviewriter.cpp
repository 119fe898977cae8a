#include "moviewriter.h"

#include <cstdio>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace moviewriter {

namespace {
struct Out {
  Bytes b;
  void u8(uint32_t v) { b.push_back(uint8_t(v)); }
  void u16(uint32_t v) { u8(v >> 8); u8(v); }
  void u32(uint32_t v) { u16(v >> 16); u16(v); }
  void tag(const char* t) { for (int i = 0; i < 4; ++i) u8(uint8_t(t[i])); }
  void bytes(const Bytes& x) { b.insert(b.end(), x.begin(), x.end()); }
  void zeros(size_t n) { b.insert(b.end(), n, 0); }
  size_t open(const char* t) { size_t at = b.size(); u32(0); tag(t); return at; }
  void close(size_t at) {
    uint32_t n = uint32_t(b.size() - at);
    b[at] = uint8_t(n >> 24); b[at + 1] = uint8_t(n >> 16); b[at + 2] = uint8_t(n >> 8); b[at + 3] = uint8_t(n);
  }
};

uint64_t trackDuration(const Track& t) {
  uint64_t d = 0;
  for (auto& e : t.stts) d += uint64_t(e.first) * e.second;
  return d;
}

void matrix(Out& o, int32_t x, int32_t y) {
  const int32_t m[9] = {0x10000, 0, 0, 0, 0x10000, 0, x * 65536, y * 65536, 0x40000000};
  for (int32_t v : m) o.u32(uint32_t(v));
}
}  // namespace

Bytes videoDescription(const char* format, uint16_t width, uint16_t height, uint16_t depth) {
  Out o;
  o.u32(86);
  o.tag(format);
  o.zeros(6);
  o.u16(1);
  o.zeros(16);
  o.u16(width);
  o.u16(height);
  o.u32(72 << 16);
  o.u32(72 << 16);
  o.u32(0);
  o.u16(1);
  o.zeros(32);
  o.u16(depth);
  o.u16(0xffff);
  return o.b;
}

Bytes soundDescription(const char* format, uint16_t channels, uint16_t bits, uint32_t rate) {
  Out o;
  o.u32(36);
  o.tag(format);
  o.zeros(6);
  o.u16(1);
  o.u16(0);  // version 0
  o.zeros(6);
  o.u16(channels);
  o.u16(bits);
  o.u16(0);
  o.u16(0);
  o.u32(rate << 16);
  return o.b;
}

Bytes soundDescriptionV1(const char* format, uint16_t channels, uint32_t rate, int16_t compressionId,
                         uint32_t framesPerPacket, uint32_t bytesPerPacket, uint32_t bytesPerFrame) {
  Out o;
  o.u32(52);
  o.tag(format);
  o.zeros(6);
  o.u16(1);
  o.u16(1);  // version 1
  o.zeros(6);
  o.u16(channels);
  o.u16(16);
  o.u16(uint16_t(compressionId));
  o.u16(0);
  o.u32(rate << 16);
  o.u32(framesPerPacket);
  o.u32(bytesPerPacket);
  o.u32(bytesPerFrame);
  o.u32(2);
  return o.b;
}

std::vector<Bytes> adtsPackets(const Bytes& adts) {
  std::vector<Bytes> packets;
  for (size_t at = 0; at + 7 <= adts.size();) {
    const size_t length = size_t(adts[at + 3] & 3) << 11 | size_t(adts[at + 4]) << 3 | adts[at + 5] >> 5;
    if (adts[at] != 0xFF || (adts[at + 1] & 0xF7) != 0xF1 || length <= 7 || at + length > adts.size()) break;
    packets.emplace_back(adts.begin() + at + 7, adts.begin() + at + length);
    at += length;
  }
  return packets;
}

Bytes aacDescription(uint16_t channels, uint32_t rate, const Bytes& audioSpecificConfig) {
  Out o;
  o.bytes(soundDescription("mp4a", channels, 16, rate));
  size_t esds = o.open("esds");
  o.u32(0);
  // Descriptors with one-byte sizes: ES_Descriptor, DecoderConfigDescriptor (MPEG-4 audio, an
  // audio stream), DecoderSpecificInfo, SLConfigDescriptor.
  const uint32_t asc = uint32_t(audioSpecificConfig.size());
  o.u8(3); o.u8(3 + 2 + 13 + 2 + asc + 3);
  o.u16(1); o.u8(0);
  o.u8(4); o.u8(13 + 2 + asc);
  o.u8(0x40); o.u8(5 << 2 | 1); o.u8(0); o.u16(0); o.u32(0); o.u32(0);
  o.u8(5); o.u8(asc);
  o.bytes(audioSpecificConfig);
  o.u8(6); o.u8(1); o.u8(2);
  o.close(esds);
  o.close(0);  // the entry's own size
  return o.b;
}

namespace {
// The NAL units of an Annex B stream, start codes left out.
std::vector<Bytes> nalUnits(const Bytes& s) {
  std::vector<Bytes> units;
  size_t i = 0, start = SIZE_MAX;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;  // a four-byte start code's zero
        units.emplace_back(s.begin() + std::ptrdiff_t(start), s.begin() + std::ptrdiff_t(end));
      }
      i += 3;
      start = i;
      continue;
    }
    ++i;
  }
  if (start != SIZE_MAX && start < s.size()) units.emplace_back(s.begin() + std::ptrdiff_t(start), s.end());
  return units;
}
}  // namespace

Track h264Track(const Bytes& annexB, const Bytes& header, uint16_t width, uint16_t height,
                uint32_t timeScale, uint32_t duration) {
  Bytes sps, pps;
  for (const Bytes& nal : nalUnits(header)) {
    if (!nal.empty() && (nal[0] & 31) == 7 && sps.empty()) sps = nal;
    if (!nal.empty() && (nal[0] & 31) == 8 && pps.empty()) pps = nal;
  }
  Track t;
  t.timeScale = timeScale;
  t.width = width, t.height = height;
  Out o;
  o.bytes(videoDescription("avc1", width, height, 24));
  size_t avcC = o.open("avcC");
  o.u8(1);
  o.u8(sps.size() > 3 ? sps[1] : 66), o.u8(sps.size() > 3 ? sps[2] : 0), o.u8(sps.size() > 3 ? sps[3] : 30);
  o.u8(0xFF);  // four-byte lengths
  o.u8(0xE1), o.u16(uint16_t(sps.size())), o.bytes(sps);
  o.u8(1), o.u16(uint16_t(pps.size())), o.bytes(pps);
  o.close(avcC);
  o.close(0);
  t.description = o.b;
  Chunk chunk;
  Bytes picture;
  bool idr = false;
  for (const Bytes& nal : nalUnits(annexB)) {
    if (nal.empty()) continue;
    const uint8_t type = nal[0] & 31;
    const uint32_t n = uint32_t(nal.size());
    picture.insert(picture.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    picture.insert(picture.end(), nal.begin(), nal.end());
    idr = idr || type == 5;
    if (type < 1 || type > 5) continue;
    t.sizes.push_back(uint32_t(picture.size()));
    if (idr) t.sync.push_back(uint32_t(t.sizes.size()));
    chunk.data.insert(chunk.data.end(), picture.begin(), picture.end());
    picture.clear();
    idr = false;
  }
  chunk.samples = uint32_t(t.sizes.size());
  t.chunks.push_back(chunk);
  t.stts = {{uint32_t(t.sizes.size()), duration}};
  return t;
}

Bytes soundDescriptionV2(uint32_t channels, double rate, uint32_t bits, uint32_t flags) {
  Out o;
  o.u32(72);
  o.tag("lpcm");
  o.zeros(6);
  o.u16(1);
  o.u16(2);  // version 2
  o.zeros(6);
  o.u16(3);
  o.u16(16);
  o.u16(0xfffe);
  o.u16(0);
  o.u32(0x10000);
  o.u32(72);
  uint64_t r;
  std::memcpy(&r, &rate, 8);
  o.u32(uint32_t(r >> 32));
  o.u32(uint32_t(r));
  o.u32(channels);
  o.u32(0x7f000000);
  o.u32(bits);
  o.u32(flags);
  o.u32(bits / 8 * channels);
  o.u32(1);
  return o.b;
}

Bytes write(const Movie& m) {
  Out o;
  size_t ftyp = o.open("ftyp");
  o.tag("qt  ");
  o.u32(0x200);
  o.tag("qt  ");
  o.close(ftyp);
  // mdat: every chunk in order; remember offsets.
  std::vector<std::vector<uint32_t>> offsets(m.tracks.size());
  size_t mdat = o.open("mdat");
  for (size_t t = 0; t < m.tracks.size(); ++t)
    for (const Chunk& c : m.tracks[t].chunks) {
      offsets[t].push_back(uint32_t(o.b.size()));
      o.bytes(c.data);
    }
  o.close(mdat);

  uint64_t longest = 0;
  for (const Track& t : m.tracks) longest = std::max<uint64_t>(longest, trackDuration(t) * m.timeScale / t.timeScale);
  const uint32_t duration = m.duration ? m.duration : uint32_t(longest);
  size_t moov = o.open("moov");
  size_t mvhd = o.open("mvhd");
  o.u32(0); o.u32(0); o.u32(0);
  o.u32(m.timeScale);
  o.u32(duration);
  o.u32(0x10000); o.u16(0x100); o.zeros(10);
  matrix(o, 0, 0);
  o.zeros(24);
  o.u32(uint32_t(m.tracks.size() + 1));
  o.close(mvhd);
  for (size_t ti = 0; ti < m.tracks.size(); ++ti) {
    const Track& t = m.tracks[ti];
    size_t trak = o.open("trak");
    size_t tkhd = o.open("tkhd");
    o.u32(t.enabled ? 0xf : 0xe);
    o.u32(0); o.u32(0);
    o.u32(uint32_t(ti + 1));
    o.u32(0);
    o.u32(uint32_t(trackDuration(t) * m.timeScale / t.timeScale));
    o.zeros(8);
    o.u16(uint16_t(t.layer));
    o.u16(0);
    o.u16(t.handler == "soun" ? 0x100 : 0);
    o.u16(0);
    if (t.matrix.size() == 9) {
      for (int32_t v : t.matrix) o.u32(uint32_t(v));
    } else {
      matrix(o, t.x, t.y);
    }
    o.u32(t.width << 16);
    o.u32(t.height << 16);
    o.close(tkhd);
    if (!t.edits.empty()) {
      size_t edts = o.open("edts");
      size_t elst = o.open("elst");
      o.u32(0);
      o.u32(uint32_t(t.edits.size()));
      for (auto& e : t.edits) {
        o.u32(uint32_t(e.first));
        o.u32(uint32_t(int32_t(e.second)));
        o.u32(0x10000);
      }
      o.close(elst);
      o.close(edts);
    }
    size_t mdia = o.open("mdia");
    size_t mdhd = o.open("mdhd");
    o.u32(0); o.u32(0); o.u32(0);
    o.u32(t.timeScale);
    o.u32(uint32_t(trackDuration(t)));
    o.u16(0); o.u16(0);
    o.close(mdhd);
    size_t hdlr = o.open("hdlr");
    o.u32(0);
    o.tag("mhlr");
    o.tag(t.handler.c_str());
    o.zeros(12);
    o.u8(0);
    o.close(hdlr);
    size_t minf = o.open("minf");
    size_t stbl = o.open("stbl");
    size_t stsd = o.open("stsd");
    o.u32(0);
    o.u32(t.description.empty() ? 0 : uint32_t(1 + t.moreDescriptions.size()));
    o.bytes(t.description);
    for (const Bytes& d : t.moreDescriptions) o.bytes(d);
    o.close(stsd);
    size_t stts = o.open("stts");
    o.u32(0);
    o.u32(uint32_t(t.stts.size()));
    for (auto& e : t.stts) { o.u32(e.first); o.u32(e.second); }
    o.close(stts);
    if (!t.ctts.empty()) {
      size_t ctts = o.open("ctts");
      o.u32(0);
      o.u32(uint32_t(t.ctts.size()));
      for (auto& e : t.ctts) { o.u32(e.first); o.u32(uint32_t(e.second)); }
      o.close(ctts);
    }
    if (!t.sync.empty()) {
      size_t stss = o.open("stss");
      o.u32(0);
      o.u32(uint32_t(t.sync.size()));
      for (uint32_t s : t.sync) o.u32(s);
      o.close(stss);
    }
    size_t stsc = o.open("stsc");
    o.u32(0);
    o.u32(uint32_t(t.chunks.size()));
    for (size_t c = 0; c < t.chunks.size(); ++c) {
      o.u32(t.damageStsc ? 0 : uint32_t(c + 1));
      o.u32(t.chunks[c].samples);
      o.u32(t.chunks[c].description);
    }
    o.close(stsc);
    size_t stsz = o.open("stsz");
    o.u32(0);
    o.u32(t.constantSize);
    uint32_t count = 0;
    for (const Chunk& c : t.chunks) count += c.samples;
    o.u32(count);
    if (!t.constantSize) for (uint32_t s : t.sizes) o.u32(s);
    o.close(stsz);
    size_t stco = o.open("stco");
    o.u32(0);
    o.u32(uint32_t(offsets[ti].size()));
    for (uint32_t off : offsets[ti]) o.u32(off);
    o.close(stco);
    o.close(stbl);
    o.close(minf);
    o.close(mdia);
    o.close(trak);
  }
  o.close(moov);
  return o.b;
}

bool save(const std::string& path, const Bytes& b) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace moviewriter
