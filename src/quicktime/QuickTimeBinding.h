// The process-wide binding to QuickTime.qts. Every stub reads QuickTimeBinding: it calls
// preCallHook while set, then jumps through dispatcher with the selector in EAX. The loader
// fills the record on InitializeQTML (and lazily on the first call before it) and resets it
// when the last TerminateQTML unbinds.
//
// Writers: InitializeQTML and TerminateQTML under the process-wide named mutex; the lazy
// hook without it (it runs before any initialisation). The stubs only read.
//
// Layout, which the stub assembly relies on: the first four fields are code addresses, one
// pointer apart (4 bytes on 32-bit, 8 on 64-bit): preCallHook at 0, dispatcher, callComponent
// and callComponentWithStorage at 1, 2 and 3 steps. The header is also read by the assembler,
// which sees only these offsets.
#pragma once

#if defined(__x86_64__)
#define QT_BINDING_STEP 8
#elif defined(__i386__)
#define QT_BINDING_STEP 4
#else
#error "the dispatch stubs exist for i386 and x86-64 only"
#endif
#define QT_BINDING_PRE_CALL_HOOK 0
#define QT_BINDING_DISPATCHER (1 * QT_BINDING_STEP)
#define QT_BINDING_CALL_COMPONENT (2 * QT_BINDING_STEP)
#define QT_BINDING_CALL_COMPONENT_WITH_STORAGE (3 * QT_BINDING_STEP)

#ifndef __ASSEMBLER__

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

static_assert(sizeof(void *) == QT_BINDING_STEP, "stub layout");
static_assert(offsetof(QuickTimeBindingRecord, preCallHook) == QT_BINDING_PRE_CALL_HOOK, "stub layout");
static_assert(offsetof(QuickTimeBindingRecord, dispatcher) == QT_BINDING_DISPATCHER, "stub layout");
static_assert(offsetof(QuickTimeBindingRecord, callComponent) == QT_BINDING_CALL_COMPONENT,
              "stub layout");
static_assert(offsetof(QuickTimeBindingRecord, callComponentWithStorage) ==
                  QT_BINDING_CALL_COMPONENT_WITH_STORAGE,
              "stub layout");

#endif  // __ASSEMBLER__
