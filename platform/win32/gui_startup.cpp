// The GUI start-up of the Windows program. Only Win32-specific code lives in
// this folder; the rules of the command line tail are shared with the host
// start-up (platform/command_line_tail.cpp).
//
// The MinGW runtime calls `main` after its own start-up. The program ignores
// the runtime's argument vector and its own idea of a tail and takes the full
// command line from GetCommandLineA, so that the tail that reaches WinMain
// follows the same rules here as on the host.
#include "platform/command_line_tail.h"
#include "platform/platform_services.h"

namespace {

// The lead bytes of the system's ANSI code page, for the quoted program name.
BOOL IsLeadByteOfAnsiCodePage(BYTE byte) {
  return IsDBCSLeadByte(byte);
}

// The show state the process was started with, as the system's own start-up
// of a GUI program hands it to WinMain.
int StartupShowCommand() {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoA(&startup);
  if ((startup.dwFlags & STARTF_USESHOWWINDOW) != 0) return startup.wShowWindow;
  return SW_SHOWDEFAULT;
}

}  // namespace

int main() {
  LPSTR tail = GetCommandLineTail(GetCommandLineA(), IsLeadByteOfAnsiCodePage);
  return WinMain(GetModuleHandleA(NULL), NULL, tail, StartupShowCommand());
}
