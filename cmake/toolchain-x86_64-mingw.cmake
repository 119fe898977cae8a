# 64-bit Windows: the twin that 64-bit players load, with the 64-bit build of the runtime.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
set(WINE_ARCH win64 CACHE INTERNAL "Wine prefix architecture of this tree")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
