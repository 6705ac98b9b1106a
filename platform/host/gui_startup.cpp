// Host GUI start-up: the process entry of the host program. It rebuilds the
// Windows command line from the arguments (the program's name between double
// quotes, then each argument after one blank, exactly as given), derives the
// tail as a Windows start-up does, calls WinMain and exits with its result.
// Compiled into the program only, so that test programs keep their own main.
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
  std::string commandLine = "\"";
  commandLine += argc > 0 ? argv[0] : "saverset";
  commandLine += '"';
  for (int i = 1; i < argc; ++i) {
    commandLine += ' ';
    commandLine += argv[i];
  }
  LPSTR tail = GetCommandLineTail(commandLine.data(), HostIsLeadByte);
  return WinMain(nullptr, nullptr, tail, SW_SHOWDEFAULT);
}
