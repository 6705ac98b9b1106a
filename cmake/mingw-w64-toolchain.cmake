# What both MinGW-w64 toolchain files share: the compilers and windres of the
# target named by SAVERSET_MINGW_TRIPLE, and a sysroot of that target only.
# Included by cmake/toolchain-i686-w64-mingw32.cmake (the shipped 32-bit
# program) and cmake/toolchain-x86_64-w64-mingw32.cmake (the 64-bit test
# stand-in); the settings of the program itself live in
# cmake/windows_program.cmake.
set(CMAKE_SYSTEM_NAME Windows)

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
