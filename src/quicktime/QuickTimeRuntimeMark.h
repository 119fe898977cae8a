// The mark only this project's QuickTime runtime carries. Apple's QuickTime for Windows installs
// a QuickTime.qts under the same registry value the loader reads and answers other selectors
// behind the same three exports: a call with ours would crash it or corrupt memory. So the
// loader binds no library that does not export this mark, built for the loader's own
// architecture; the runtime defines it (QtsRuntimeMark, exported as QuorvexRuntimeMark).
#pragma once

#include <windows.h>

#include <cstdint>

#define QT_RUNTIME_MARK_EXPORT "QuorvexRuntimeMark"

struct QuickTimeRuntimeMark {
    char name[40];              // kQuickTimeRuntimeMarkName
    uint16_t machine;          // IMAGE_FILE_MACHINE_I386 or IMAGE_FILE_MACHINE_AMD64
    uint16_t interfaceVersion;  // grows when selectors are added; a runtime answers all older ones
};

constexpr char kQuickTimeRuntimeMarkName[] = "Quorvex Tavrolin QuickTime runtime";
static_assert(sizeof kQuickTimeRuntimeMarkName <= sizeof(QuickTimeRuntimeMark::name), "mark name");
constexpr uint16_t kQuickTimeRuntimeInterface = 1;
#if defined(__x86_64__)
constexpr uint16_t kQuickTimeRuntimeMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr uint16_t kQuickTimeRuntimeMachine = IMAGE_FILE_MACHINE_I386;
#endif

// Whether a loaded library is this project's runtime, of this process's architecture, with at
// least the selectors this binding calls.
bool IsProjectQuickTimeRuntime(HMODULE module);
