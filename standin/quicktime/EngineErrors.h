// The engine's errors are QuickTime's own codes; the routines return them as OSErr.
#pragma once

#include "qtengine.h"
#include "quicktime/QuickTimeTypes.h"

// Anything outside the 16-bit range becomes paramErr.
inline OSErr QtsOSErr(qte::Err err)
{
    return (err >= -32768 && err <= 32767) ? OSErr(err) : paramErr;
}
