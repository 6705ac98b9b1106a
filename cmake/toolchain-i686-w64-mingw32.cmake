# Cross-build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686,
# binutils-mingw-w64-i686). saverset is a 32-bit program, so the i686 target;
# the settings of the program itself (subsystem, static linking, resource)
# live in cmake/windows_program.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(SAVERSET_MINGW_TRIPLE i686-w64-mingw32)

# The "-win32" flavour of the compiler uses the Win32 thread model: it needs
# no winpthread DLL at run time, which keeps the program to the system's own
# DLLs. Fall back to the default driver where the flavoured one is missing.
find_program(SAVERSET_MINGW_CXX NAMES ${SAVERSET_MINGW_TRIPLE}-g++-win32 ${SAVERSET_MINGW_TRIPLE}-g++ REQUIRED)
find_program(SAVERSET_MINGW_CC NAMES ${SAVERSET_MINGW_TRIPLE}-gcc-win32 ${SAVERSET_MINGW_TRIPLE}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${SAVERSET_MINGW_CXX})
set(CMAKE_C_COMPILER ${SAVERSET_MINGW_CC})
# windres compiles the version resource (.rc) into the program.
find_program(CMAKE_RC_COMPILER NAMES ${SAVERSET_MINGW_TRIPLE}-windres REQUIRED)

# Headers and libraries come from the MinGW-w64 sysroot only, never from the
# build machine; programs (compilers, python) still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SAVERSET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
