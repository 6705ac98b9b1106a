# Cross-build of the same sources as a 64-bit Windows program (Debian:
# g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64). This is a test stand-in,
# never shipped: it runs the Wine tests under wine64 on machines whose kernel
# runs no 32-bit code. The shipped program stays the 32-bit one
# (cmake/toolchain-i686-w64-mingw32.cmake), which relies on the file
# virtualization that Windows gives 32-bit programs only.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SAVERSET_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
