// pin_e2e_tests MODULE.ax QUICKTIME.qts MEDIA_DIR [gtest options]: the pins end to end, with
// the QuickTime.qts given (the default or the legacy stand-in) loaded before any filter.
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "pin_graph.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s MODULE.ax QUICKTIME.qts MEDIA_DIR\n", argv[0]);
        return 2;
    }
    g_config.mediaDir = argv[3];
    g_config.legacy = std::strstr(argv[2], "legacy") != nullptr;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    if (!SetUpModules(argv[1], argv[2])) {
        std::fprintf(stderr, "cannot load %s or %s\n", argv[2], argv[1]);
        return 2;
    }
    const int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
