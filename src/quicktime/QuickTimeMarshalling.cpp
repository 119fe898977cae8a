// Routines whose doubles or 64-bit values cannot travel through a dispatch stub by value:
// the runtime receives the address of a result slot first, then the address of each
// argument, and the wrapper returns the slot.
#include "quicktime/QuickTime.h"

extern "C" Fixed X2Fix(double x)
{
    Fixed result = 0;
    QTDispatch_X2Fix(&result, &x);
    return result;
}

extern "C" double Fix2X(Fixed x)
{
    double result = 0.0;
    QTDispatch_Fix2X(&result, &x);
    return result;
}
