// The process-wide binding to QuickTime.qts. Every stub reads QuickTimeBinding: it calls
// preCallHook while set, then jumps through dispatcher with the selector in EAX. The loader
// fills the record on InitializeQTML (and lazily on the first call before it) and resets it
// when the last TerminateQTML unbinds.
//
// Writers: InitializeQTML and TerminateQTML under the process-wide named mutex; the lazy
// hook without it (it runs before any initialisation). The stubs only read. The field
// order is fixed: the stub assembly addresses preCallHook at 0 and the entries at 4, 8, 12.
#pragma once

#include <windows.h>

#include "quicktime/QuickTimeTypes.h"

extern "C" {

typedef void (*QuickTimeHook)(void);
typedef void (*QuickTimeEntry)(void);

struct QuickTimeBindingRecord {
    QuickTimeHook preCallHook;
    QuickTimeEntry dispatcher;
    QuickTimeEntry callComponent;
    QuickTimeEntry callComponentWithStorage;
    HMODULE libraryModule;
    LONG initCount;
    DWORD versionExamined;
    DWORD versionAtLeast702;
};

extern QuickTimeBindingRecord QuickTimeBinding;

// The entry of every unbound call: no effect, result (selector & 0xFFFF0000) | 0xF7D1.
void QuickTimeNotBound(void);

// The initial hook, and the hook of the reset state (it retries resolution, which finds no
// library there).
void LazyBindQuickTime(void);
void ResolveQuickTimeEntryPointsHook(void);

void ReadQuickTimeRegistryDirectory(const char *valueName, char *buffer, DWORD bufferSize);
BOOL GetQuickTimeSystemDirectory(char *buffer, DWORD bufferSize);
DWORD GetQuickTimeExtensionDirectory(char *buffer, DWORD bufferSize);
HMODULE LoadQuickTimeLibrary(const char *fileName);
OSErr ResolveQuickTimeEntryPoints(void);
BOOL QuickTimeVersionAtLeast702(void);

// "QTMLInitTermMutex" + the process identifier in lower-case hexadecimal.
void FormatQuickTimeInitMutexName(DWORD processId, char *buffer, size_t bufferSize);

}  // extern "C"

static_assert(offsetof(QuickTimeBindingRecord, dispatcher) == 4, "stub layout");
static_assert(offsetof(QuickTimeBindingRecord, callComponent) == 8, "stub layout");
static_assert(offsetof(QuickTimeBindingRecord, callComponentWithStorage) == 12, "stub layout");
