// The test program's main: COM for the main thread, and the class table that the framework's
// module entry reads.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "pattern_source.h"

CFactoryTemplate g_Templates[] = {
    {L"Pattern Source", &testsupport::CLSID_PatternSource,
     testsupport::CPatternSource::CreateInstance, nullptr, nullptr},
};
int g_cTemplates = 1;

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
