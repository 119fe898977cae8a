// Time-scale arithmetic without overflow: a * b / c for non-negative b, c, rounding down.
#pragma once

#include <cstdint>

namespace qte {

inline int64_t mulDiv(int64_t a, uint32_t b, uint32_t c) {
  if (c == 0) return 0;
  bool neg = a < 0;
  uint64_t ua = neg ? uint64_t(0) - uint64_t(a) : uint64_t(a);
  uint64_t q = ua / c, r = ua % c;
  const uint64_t lim = uint64_t(1) << 62;
  uint64_t hi = (q != 0 && b > lim / q) ? lim : q * b;
  uint64_t v = hi + (r * b) / c;  // r < c <= 2^32, so r * b fits
  if (v > lim) v = lim;
  if (neg) {
    // Round toward minus infinity for negative values.
    bool exact = (r * b) % c == 0;
    return -int64_t(v) - (exact ? 0 : 1);
  }
  return int64_t(v);
}

// The ceiling of a * b / c.
inline int64_t mulDivUp(int64_t a, uint32_t b, uint32_t c) { return -mulDiv(-a, b, c); }

}  // namespace qte
