#include "FixedPointMath.h"

#include <cmath>

Fixed QtsDoubleToFixed(double x)
{
    const double scaled = x * 65536.0;
    if (std::isnan(scaled))
        return 0;
    if (scaled >= 2147483647.0)
        return Fixed(0x7FFFFFFF);
    if (scaled <= -2147483648.0)
        return Fixed(0x80000000u);
    return Fixed(std::lround(scaled));
}

SInt16 QtsRoundFixed(Fixed x)
{
    const int64_t value = x;
    const int64_t rounded = value >= 0 ? (value + 0x8000) >> 16 : -((-value + 0x8000) >> 16);
    if (rounded > 32767)
        return 32767;
    if (rounded < -32768)
        return -32768;
    return SInt16(rounded);
}
