# 32-bit Windows console program with MinGW-w64: the program the tool ships as. Its tests
# need a Wine that runs 32-bit programs, which a 64-bit-only kernel cannot.
set(PARSE_BIN_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PARSE_BIN_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
