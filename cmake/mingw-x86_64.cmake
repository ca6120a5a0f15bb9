# Cross build for 64-bit Windows with mingw-w64 (SSE2 arithmetic is the default there).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KAVREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(KAVREL_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
