# Cross-compiling for Windows (x86_64) with Debian's mingw-w64.
set(ZYMRAN_MINGW_ARCH x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
