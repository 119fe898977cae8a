// Sample description fields and extension atoms.
#include "description.h"

#include "decoder.h"
#include "palettes.h"

namespace qte {

const uint8_t* SampleDescription::extension(OSType type, uint32_t* size) const {
  for (const Atom& a : atoms) {
    if (a.type != type) continue;
    if (size) *size = a.size;
    return stored.data() + a.offset;
  }
  if (size) *size = 0;
  return nullptr;
}

namespace {
// Records the atoms in [from, n) of the entry; the children of 'wave' too (one level).
void collectAtoms(SampleDescription& d, size_t from) {
  Cursor c(d.stored.data(), d.stored.size());
  c.pos = from;
  Atom a;
  int waveDepth = 0;
  size_t waveEnd = 0;
  while (d.atoms.size() < 64) {
    if (waveDepth && c.pos >= waveEnd) { c.n = d.stored.size(); c.pos = waveEnd; waveDepth = 0; }
    if (!nextAtom(c, a)) {
      if (waveDepth) { c.bad = false; c.n = d.stored.size(); c.pos = waveEnd; waveDepth = 0; continue; }
      break;
    }
    if (a.type == 0) break;  // terminator atoms
    d.atoms.push_back({a.type, uint32_t(a.body), uint32_t(a.size)});
    if (a.type == fourcc("wave") && !waveDepth) {
      waveDepth = 1;
      waveEnd = c.pos;
      c.pos = a.body;
      c.n = a.body + a.size;
    }
  }
}

// An 'enda' atom's flag: the samples are little-endian.
void readByteOrder(SampleDescription& d) {
  uint32_t n = 0;
  const uint8_t* enda = d.extension(fourcc("enda"), &n);
  if (enda && n >= 2) d.littleEndian = (enda[0] | enda[1]) != 0;
}
}  // namespace

size_t atomListBytes(const uint8_t* atoms, size_t limit) {
  Cursor c(atoms, limit);
  Atom a;
  size_t end = 0;
  // Sizes of 0 ("to the end") and 1 (64-bit) do not occur in such lists: they end them.
  for (Cursor peek = c; peek.u32() >= 8 && nextAtom(c, a) && a.type != 0; peek = c) end = c.pos;
  return end;
}

Err setExtensionAtoms(SampleDescription& d, const uint8_t* atoms, size_t size) {
  if (!atoms && size) return paramErr;
  if (size > kMaxDescriptionBytes) return invalidMedia;
  try {
    d.stored.assign(atoms, atoms + size);
    d.atoms.clear();
    collectAtoms(d, 0);
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  readByteOrder(d);
  return noErr;
}

Err parseDescription(const uint8_t* entry, size_t size, Kind kind, SampleDescription& d) {
  if (size < 16 || size > kMaxDescriptionBytes) return invalidMedia;
  d.kind = kind;
  d.stored.assign(entry, entry + size);
  Cursor c(d.stored.data(), size);
  c.u32();
  d.format = c.u32();
  c.skip(6);
  d.dataRefIndex = c.u16();
  if (kind == Kind::video && d.format != fourcc("flsh")) {
    if (size < 86) return badImageDescription;
    c.skip(16);  // version, revision, vendor, temporal and spatial quality
    d.width = c.u16();
    d.height = c.u16();
    c.skip(4 + 4 + 4 + 2 + 32);  // resolutions, data size, frame count, compressor name
    d.depth = c.u16();
    d.colorTableId = int16_t(c.u16());
    size_t atoms = 86;
    // A table that does not fit leaves the picture without colours rather than the entry
    // without its atoms.
    readColourTable(d.stored.data(), size, d.depth, d.colorTableId, &atoms, &d.palette);
    collectAtoms(d, atoms);
    return noErr;
  }
  if (kind != Kind::sound) {  // also Flash: no image fields
    collectAtoms(d, 16);
    return noErr;
  }
  if (size < 36) return invalidMedia;
  d.soundVersion = c.u16();
  c.skip(6);  // revision, vendor
  d.channels = c.u16();
  d.sampleSize = c.u16();
  d.compressionId = int16_t(c.u16());
  d.packetSize = c.u16();
  d.sampleRate = c.u32() / 65536.0;
  size_t fixed = 36;
  if (d.soundVersion == 1) {
    d.samplesPerPacket = c.u32();
    d.bytesPerPacket = c.u32();
    d.bytesPerFrame = c.u32();
    d.bytesPerSample = c.u32();
    fixed = 52;
  } else if (d.soundVersion == 2) {
    c.u32();  // sizeOfStructOnly
    d.sampleRate = c.f64();
    uint32_t ch = c.u32();
    d.channels = uint16_t(ch > 64 ? 0 : ch);
    c.u32();  // always 0x7F000000
    d.constBitsPerChannel = c.u32();
    d.lpcmFlags = c.u32();
    d.bytesPerFrame = c.u32();   // constBytesPerAudioPacket
    d.samplesPerPacket = c.u32();  // constLPCMFramesPerAudioPacket
    fixed = 72;
    d.littleEndian = (d.lpcmFlags & 2) == 0;
  }
  if (c.bad) return invalidMedia;
  if (!(d.sampleRate >= 0 && d.sampleRate < 1e7)) return invalidMedia;
  collectAtoms(d, fixed);
  readByteOrder(d);
  if (d.format == fourcc("sowt")) d.littleEndian = true;
  return noErr;
}

void soundPacking(const SampleDescription& d, uint32_t* packetFrames, uint32_t* packetBytes) {
  *packetFrames = 0;
  *packetBytes = 0;
  uint32_t ch = d.channels;
  if (ch == 0 || ch > 64) return;
  AudioFormat f;
  uint32_t real = 0;
  const CodecId id = codecOf(d);
  if (id == CodecId::pcm && decodedFormat(d, &f, &real) == noErr) {
    *packetFrames = 1;
    *packetBytes = f.bits / 8 * ch;
    return;
  }
  if (id == CodecId::ulaw || id == CodecId::alaw) {
    *packetFrames = 1;
    *packetBytes = ch;
    return;
  }
  if (id == CodecId::ima4) {
    *packetFrames = 64;
    *packetBytes = 34 * ch;
    return;
  }
  if (d.soundVersion == 1 && d.samplesPerPacket && d.bytesPerFrame) {
    *packetFrames = d.samplesPerPacket;
    *packetBytes = d.bytesPerFrame;
  }
}

}  // namespace qte
