// Signed 16.16 fixed-point conversions: round to nearest (halves away from zero) and
// saturate instead of wrapping; NaN converts to 0. Shared by the stand-in's routines and
// the tests' fake QuickTime.
#pragma once

#include "quicktime/QuickTimeTypes.h"

Fixed QtsDoubleToFixed(double x);
SInt16 QtsRoundFixed(Fixed x);
