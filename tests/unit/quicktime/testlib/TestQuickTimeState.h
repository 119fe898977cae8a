// What the loader tests' QuickTime.qts counts and how it answers.
#pragma once

#include "quicktime/QuickTimeTypes.h"

struct TestQuickTimeState {
    long initializeCalls;
    long lastInitializeFlags;
    long terminateCalls;
    long queryCalls;
    long otherCalls;
    long initializeResult;
    long queryAnswer;
};

typedef TestQuickTimeState *(*TestQuickTimeStateProc)(void);
