// Integer steps of the pins' time arithmetic that stay defined for every input: truncation of a
// double (NaN gives 0, out-of-range values saturate), 64-bit products that saturate instead of
// wrapping, and narrowing to the pins' 32-bit units.
#pragma once

#include <windows.h>

#include <cmath>

inline LONGLONG TruncateToLongLong(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775807.0)
        return MAXLONGLONG;
    if (d <= -9223372036854775808.0)
        return -MAXLONGLONG - 1;
    return LONGLONG(d);
}

inline LONG SaturateToLong(LONGLONG ll)
{
    if (ll > MAXLONG)
        return MAXLONG;
    if (ll < -LONGLONG(MAXLONG) - 1)
        return -MAXLONG - 1;
    return LONG(ll);
}

inline LONGLONG SaturatingProduct(LONGLONG a, LONGLONG b)
{
    LONGLONG product;
    if (__builtin_mul_overflow(a, b, &product))
        return (a < 0) != (b < 0) ? -MAXLONGLONG - 1 : MAXLONGLONG;
    return product;
}
