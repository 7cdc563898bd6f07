# 64-bit Windows console program with MinGW-w64; the tests run it under Wine.
set(PARSE_BIN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PARSE_BIN_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
