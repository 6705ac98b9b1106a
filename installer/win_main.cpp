// The program's entry: parse the command line, report a malformed one, or
// register the screen saver.
#include "installer/command_line.h"
#include "installer/registration.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  InstallRequest request;
  CommandLineResult result = ParseCommandLine(commandLine, &request);
  if (result != COMMAND_LINE_ACCEPTED) {
    // The message stands in the title bar and the program's purpose in the
    // body.
    MessageBoxA(NULL, COMMAND_LINE_ERROR_BODY, CommandLineErrorTitle(result), MB_OK);
    return -1;
  }
  RegisterScreenSaver(&request);
  return 0;
}
