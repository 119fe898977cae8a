// The stand-in's selector table. Each manager file lists its routines and registers the
// list with QTS_REGISTER_ROUTINES; the dispatcher finds a routine by binary search over the
// union of all lists, built once when the library loads. A selector registered twice makes
// the load fail, so a clash never goes unnoticed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeSelectors.h"

typedef void (*QtsRoutineAddress)(void);

struct QtsRoutine {
    uint32_t selector;
    QtsRoutineAddress routine;
};

class QtsRoutineRegistration {
public:
    QtsRoutineRegistration(const QtsRoutine *routines, size_t count);
};

// True when every registration fitted and no selector appears twice.
bool QtsRoutineTableIsConsistent();

extern "C" QtsRoutineAddress QtsFindRoutine(uint32_t selector);

// A routine under its published name, or an internal stub's routine (QTDispatch_<name>).
#define QTS_ROUTINE(name) \
    QtsRoutine { kQTSel_##name, reinterpret_cast<QtsRoutineAddress>(&name) }
#define QTS_INTERNAL_ROUTINE(name) \
    QtsRoutine { kQTSel_##name, reinterpret_cast<QtsRoutineAddress>(&QTDispatch_##name) }
// A selector answered by a function of another name (the tests' fake QuickTime).
#define QTS_ROUTINE_AS(name, function) \
    QtsRoutine { kQTSel_##name, reinterpret_cast<QtsRoutineAddress>(&function) }
#define QTS_REGISTER_ROUTINES(table) \
    static const QtsRoutineRegistration table##Registration(table, sizeof table / sizeof table[0])
