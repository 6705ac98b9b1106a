# Settings of the Windows program (included by the top-level CMakeLists.txt
# when the build targets Windows): subsystem, linking, version resource, and
# the launcher that the conformance run under Wine uses. The toolchain itself
# is cmake/toolchain-i686-w64-mingw32.cmake (or, for the 64-bit test
# stand-in, cmake/toolchain-x86_64-w64-mingw32.cmake).

# windres compiles the version resource.
enable_language(RC)

target_sources(saverset PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32/saverset.rc)
# The version shown in Explorer is the project's version.
set_property(SOURCE ${PROJECT_SOURCE_DIR}/platform/win32/saverset.rc APPEND PROPERTY COMPILE_DEFINITIONS
  SAVERSET_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
  SAVERSET_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  SAVERSET_VERSION_PATCH=${PROJECT_VERSION_PATCH})
# The release script names the zip after the same version.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/saverset-version.txt CONTENT "${PROJECT_VERSION}\n")

# Link options shared by every program of this build.
set(SAVERSET_WINDOWS_LINK_OPTIONS
  # libgcc and libstdc++ linked in, not taken from libgcc_s_*.dll and
  # libstdc++-6.dll, which a Windows machine does not have.
  -static-libgcc
  -static-libstdc++
  # Every other library (winpthread, should the toolchain pull it in) linked
  # in as well: the program imports only the system's own DLLs (kernel32,
  # user32, advapi32, and msvcrt, the C runtime that Windows ships).
  -static
  # Data Execution Prevention and address space layout randomisation; the
  # current binutils set them by default, older ones do not.
  -Wl,--nxcompat
  -Wl,--dynamicbase
  # No build time in the PE header (the linker would write the current time
  # there), so that two builds of one commit are the same file. The version
  # resource carries no time of its own.
  -Wl,--no-insert-timestamp)

target_link_options(saverset PRIVATE
  ${SAVERSET_WINDOWS_LINK_OPTIONS}
  # The GUI subsystem: Windows opens no console window for the program, and
  # the runtime enters through WinMainCRTStartup, which then calls main
  # (platform/win32/gui_startup.cpp).
  -mwindows
  # No symbols: the debug information that the statically linked runtime
  # libraries bring along is of no use on a user's machine.
  -s)

# The launcher of the conformance run: starts saverset.exe with an exact
# command line and prints its exit code. A console program, so that what it
# prints reaches the shell that runs it under Wine. It is not part of what a
# user gets.
add_executable(saverset_launch ${PROJECT_SOURCE_DIR}/tests/conformance/launcher.cpp)
target_link_libraries(saverset_launch PRIVATE user32 kernel32)
target_link_options(saverset_launch PRIVATE ${SAVERSET_WINDOWS_LINK_OPTIONS} -mconsole -s)
