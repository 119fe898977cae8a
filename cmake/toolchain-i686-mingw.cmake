# 32-bit Windows: the module that can drive a 32-bit QuickTime runtime.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_PREFIX i686-w64-mingw32)
set(WINE_ARCH win32 CACHE INTERNAL "Wine prefix architecture of this tree")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
