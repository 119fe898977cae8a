// Bounds-checked big-endian reading of atom payloads held in memory, and atom iteration.
// A Cursor never reads outside its range: a short read sets `bad` and yields zeros, so parsers
// check `bad` once after a group of fields instead of after each one.
#pragma once

#include <cstdint>
#include <cstring>

#include "qtengine.h"

namespace qte {

enum : uint32_t {
  kMaxAtomDepth = 16,                 // nesting depth the parser follows
  kMaxMoovBytes = 512u << 20,         // largest 'moov' read into memory
  kMaxTracks = 256,
  kMaxDescriptions = 64,
  kMaxDescriptionBytes = 1u << 20,
  kMaxEdits = 65536,
  kMaxTableSamples = 1u << 26,        // samples a table materialises (sizes / prefix sums)
  kMaxFragments = 1u << 18,           // 'moof' atoms followed
  kMaxMoofBytes = 64u << 20,          // largest 'moof' read into memory
};

struct Cursor {
  const uint8_t* p = nullptr;
  size_t n = 0, pos = 0;
  bool bad = false;
  Cursor() = default;
  Cursor(const uint8_t* data, size_t size) : p(data), n(size) {}
  size_t left() const { return pos <= n ? n - pos : 0; }
  bool need(size_t k) {
    if (bad || k > left()) { bad = true; return false; }
    return true;
  }
  void skip(size_t k) { if (need(k)) pos += k; }
  uint8_t u8() { return need(1) ? p[pos++] : 0; }
  uint16_t u16() {
    if (!need(2)) return 0;
    uint16_t v = uint16_t(p[pos] << 8 | p[pos + 1]);
    pos += 2;
    return v;
  }
  uint32_t u32() {
    if (!need(4)) return 0;
    uint32_t v = uint32_t(p[pos]) << 24 | uint32_t(p[pos + 1]) << 16 | uint32_t(p[pos + 2]) << 8 | p[pos + 3];
    pos += 4;
    return v;
  }
  uint64_t u64() { uint64_t hi = u32(); return hi << 32 | u32(); }
  double f64() {
    uint64_t b = u64();
    double d;
    std::memcpy(&d, &b, 8);
    return d;
  }
};

// One atom inside a Cursor's range: payload [body, body+size) relative to the cursor's data.
struct Atom {
  OSType type = 0;
  size_t body = 0, size = 0;
};

// Reads the next atom header at c.pos and moves past the atom. False at the end or when the
// header is damaged (c.bad set for damage). A size of 0 means "to the end of the range".
inline bool nextAtom(Cursor& c, Atom& a) {
  if (c.left() < 8) return false;
  size_t start = c.pos;
  uint64_t size = c.u32();
  a.type = c.u32();
  size_t header = 8;
  if (size == 1) {
    size = c.u64();
    header = 16;
  } else if (size == 0) {
    size = c.n - start;
  }
  if (c.bad || size < header || size > c.n - start) { c.bad = true; return false; }
  a.body = start + header;
  a.size = size_t(size) - header;
  c.pos = start + size_t(size);
  return true;
}

inline Cursor sub(const Cursor& c, const Atom& a) { return Cursor(c.p + a.body, a.size); }

}  // namespace qte
