// Host GUI start-up: the process entry of the host program. It rebuilds the
// Windows command line from the arguments (a fixed program name between
// double quotes, then each argument after one blank, exactly as given),
// derives the tail as a Windows start-up does, calls WinMain and exits with
// its result. Compiled into the program only, so that test programs keep
// their own main.
#include <string>

#include "platform/command_line_tail.h"
#include "platform/platform_services.h"

namespace {

// The host's ANSI code page is 1252, which has no double-byte characters.
BOOL HostIsLeadByte(BYTE) {
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  // Not argv[0]: a Linux path may hold a double quote, which would end the
  // quoted program name early and shift the tail. The tail never depends on
  // where the program lies.
  std::string commandLine = "\"saverset\"";
  for (int i = 1; i < argc; ++i) {
    commandLine += ' ';
    commandLine += argv[i];
  }
  LPSTR tail = GetCommandLineTail(commandLine.data(), HostIsLeadByte);
  return WinMain(nullptr, nullptr, tail, SW_SHOWDEFAULT);
}
