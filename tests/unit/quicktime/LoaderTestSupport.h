// What the loader tests share: the test libraries' folders, the registry values of the
// QuickTime installation, the binding's initial state and a clean process between cases.
#pragma once

#include <windows.h>

#include <string>

#include "testlib/TestQuickTimeState.h"

// "<folder of the test executable>\qts\<variant>\", where the build puts each QuickTime.qts.
std::string TestLibraryDirectory(const char *variant);
// The folder of the test executable: the module the binding is linked into.
std::string ProgramDirectory();
// The folder of the project's runtime built for the other architecture (its build tree beside
// this one), from QUORVEX_OTHER_ARCH_RUNTIME; empty when unset.
std::string OtherArchitectureRuntimeDirectory();
// The path of a loaded module.
std::string ModulePath(HMODULE module);

void SetQuickTimeRegistryValue(const char *name, const std::string &value);
void DeleteQuickTimeRegistryValues();

// Puts the binding record back as the module loaded it.
void ResetQuickTimeBindingToInitial();

// Frees every reference to a module named QuickTime.qts; false if one stays loaded.
bool UnloadQuickTimeLibraries();

// The state of the loaded test QuickTime.qts, or null.
TestQuickTimeState *LoadedTestQuickTime();
std::string LoadedQuickTimePath();

std::string WindowsSystemDirectory();  // with its trailing separator

// A copy of a test library at a path of the system folder, removed with its folder (when it
// created it) at the end of the scope.
class ScopedLibraryCopy {
public:
    ScopedLibraryCopy(const char *variant, const std::string &directory);
    ~ScopedLibraryCopy();
    ScopedLibraryCopy(const ScopedLibraryCopy &) = delete;
    ScopedLibraryCopy &operator=(const ScopedLibraryCopy &) = delete;
    bool ok() const { return m_ok; }

private:
    std::string m_path;
    std::string m_createdDirectory;
    bool m_ok = false;
};
