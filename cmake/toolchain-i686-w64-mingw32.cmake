# Cross-build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686,
# binutils-mingw-w64-i686). saverset is a 32-bit program, so the i686 target;
# the settings of the program itself (subsystem, static linking, resource)
# live in cmake/windows_program.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(SAVERSET_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
