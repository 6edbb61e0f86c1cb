# Cross-building for Windows with Debian's mingw-w64 compilers; VORTISS_MINGW_TRIPLE names the
# target (set by the toolchain file that includes this one).
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX thread model: googletest needs std::mutex, which the win32 model of GCC 12 lacks.
# Its thread library is linked in statically like the rest of the runtime.
set(CMAKE_C_COMPILER ${VORTISS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORTISS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VORTISS_MINGW_TRIPLE}-windres)

# Headers and libraries of the target only; programs (objdump, Wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VORTISS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
