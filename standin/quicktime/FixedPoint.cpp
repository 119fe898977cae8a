// The fixed-point routines; X2Fix and Fix2X take their values by address (the binding
// marshals doubles that way).
#include "FixedPointMath.h"
#include "RoutineTable.h"

extern "C" {

void QTDispatch_X2Fix(Fixed *result, const double *x)
{
    if (result && x)
        *result = QtsDoubleToFixed(*x);
}

void QTDispatch_Fix2X(double *result, const Fixed *x)
{
    if (result && x)
        *result = *x / 65536.0;
}

SInt16 FixRound(Fixed x)
{
    return QtsRoundFixed(x);
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
