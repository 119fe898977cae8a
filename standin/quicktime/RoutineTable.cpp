#include "RoutineTable.h"

#include <algorithm>
#include <vector>

namespace {

struct RegisteredList {
    const QtsRoutine *routines;
    size_t count;
};

// Constant-initialised, so registrations from any file's static constructors may come first.
constexpr size_t kMaxLists = 64;
RegisteredList g_lists[kMaxLists];
size_t g_listCount;
bool g_overflow;

struct SortedTable {
    std::vector<QtsRoutine> routines;
    bool consistent = true;
};

const SortedTable &Table()
{
    static const SortedTable table = [] {
        SortedTable sorted;
        for (size_t i = 0; i < g_listCount; ++i)
            sorted.routines.insert(sorted.routines.end(), g_lists[i].routines,
                                   g_lists[i].routines + g_lists[i].count);
        std::sort(sorted.routines.begin(), sorted.routines.end(),
                  [](const QtsRoutine &a, const QtsRoutine &b) { return a.selector < b.selector; });
        sorted.consistent =
            !g_overflow &&
            std::adjacent_find(sorted.routines.begin(), sorted.routines.end(),
                               [](const QtsRoutine &a, const QtsRoutine &b) {
                                   return a.selector == b.selector;
                               }) == sorted.routines.end();
        return sorted;
    }();
    return table;
}

}  // namespace

QtsRoutineRegistration::QtsRoutineRegistration(const QtsRoutine *routines, size_t count)
{
    if (g_listCount == kMaxLists) {
        g_overflow = true;
        return;
    }
    g_lists[g_listCount++] = {routines, count};
}

bool QtsRoutineTableIsConsistent()
{
    return Table().consistent;
}

// Entered from the dispatcher on whatever stack its caller had.
extern "C" __attribute__((force_align_arg_pointer)) QtsRoutineAddress
QtsFindRoutine(uint32_t selector)
{
    const std::vector<QtsRoutine> &routines = Table().routines;
    const auto found = std::lower_bound(
        routines.begin(), routines.end(), selector,
        [](const QtsRoutine &routine, uint32_t value) { return routine.selector < value; });
    if (found == routines.end() || found->selector != selector)
        return nullptr;
    return found->routine;
}
