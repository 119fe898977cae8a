// Signed 16.16 fixed point. Conversions round to nearest (halves away from zero) and
// saturate instead of wrapping; NaN converts to 0.
#include <cmath>

#include "RoutineTable.h"

extern "C" {

void QTDispatch_X2Fix(Fixed *result, const double *x)
{
    if (!result || !x)
        return;
    const double scaled = *x * 65536.0;
    if (std::isnan(scaled))
        *result = 0;
    else if (scaled >= 2147483647.0)
        *result = Fixed(0x7FFFFFFF);
    else if (scaled <= -2147483648.0)
        *result = Fixed(0x80000000u);
    else
        *result = Fixed(std::lround(scaled));
}

void QTDispatch_Fix2X(double *result, const Fixed *x)
{
    if (result && x)
        *result = *x / 65536.0;
}

SInt16 FixRound(Fixed x)
{
    const int64_t value = x;
    const int64_t rounded = value >= 0 ? (value + 0x8000) >> 16 : -((-value + 0x8000) >> 16);
    if (rounded > 32767)
        return 32767;
    if (rounded < -32768)
        return -32768;
    return SInt16(rounded);
}

}  // extern "C"

namespace {
const QtsRoutine kFixedPointRoutines[] = {
    QTS_INTERNAL_ROUTINE(X2Fix),
    QTS_INTERNAL_ROUTINE(Fix2X),
    QTS_ROUTINE(FixRound),
};
QTS_REGISTER_ROUTINES(kFixedPointRoutines);
}  // namespace
