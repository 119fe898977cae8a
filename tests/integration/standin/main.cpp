// Loads the stand-in by full path before InitializeQTML, so that the binding takes that
// copy, as a host does that carries its own runtime. Arguments: the library, the media.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "quicktime/QuickTime.h"
#include "testpaths.h"

extern std::string g_mediaDir;

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: standin_routines_tests QuickTime.qts MEDIADIR\n");
        return 2;
    }
    g_mediaDir = argv[2];
    const std::string library = WindowsPathFromHost(argv[1]);
    if (!LoadLibraryA(library.c_str())) {
        std::fprintf(stderr, "cannot load %s\n", library.c_str());
        return 2;
    }
    const OSErr err = InitializeQTML(0);
    if (err != noErr || EnterMovies() != noErr) {
        std::fprintf(stderr, "InitializeQTML: %d\n", err);
        return 2;
    }
    const int result = RUN_ALL_TESTS();
    ExitMovies();
    TerminateQTML();
    return result;
}
