# Cross-compiling for Windows with Debian's mingw-w64, for the architecture in
# ZYMRAN_MINGW_ARCH (set by the toolchain file that includes this one).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZYMRAN_MINGW_ARCH})
set(CMAKE_CXX_COMPILER ${ZYMRAN_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${ZYMRAN_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZYMRAN_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
