// saverset_launch.exe: starts a program with an exact command line and reports
// what the conformance run cannot see from outside Wine. Windows-only test
// tool; it is built with the Windows program and never shipped.
//
//   saverset_launch.exe PROGRAM LINE-FILE
//
// The bytes of LINE-FILE, unchanged (no line end is added or removed), are
// the full command line handed to CreateProcessA, with PROGRAM as the
// application name; so leading blanks, quotes, tabs and bytes above 127 reach
// the program as written. While the program runs, a hidden top-level window
// collects the WM_SETTINGCHANGE broadcasts, and every visible top-level
// window of the program is reported as it appears, with its visible controls.
// Printed on standard output, one item per line:
//   window No command line       a window of the program and its title
//   control Static Screen Saver Installation   its controls: class, text
//   control Button OK
//   exit 0xFFFFFFFF              the program's 32-bit exit code, in hex
//   broadcast WM_SETTINGCHANGE 17  one line per broadcast received, in order
//   live ScreenSaveActive=1      the live settings afterwards (SPI_GET...)
//   live ScreenSaveTimeOut=300
// The launcher's own exit code is 0 when the program ran, 2 otherwise.
#include <stdio.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::vector<UINT> g_broadcasts;
DWORD g_programId = 0;
std::set<HWND> g_reportedWindows;

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTINGCHANGE) {
    g_broadcasts.push_back(static_cast<UINT>(wParam));
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// A top-level window: message-only windows receive no broadcasts.
HWND CreateListener() {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = ListenerProc;
  windowClass.hInstance = GetModuleHandleA(NULL);
  windowClass.lpszClassName = "saverset_launch_listener";
  if (RegisterClassA(&windowClass) == 0) return NULL;
  return CreateWindowExA(0, windowClass.lpszClassName, "saverset_launch listener", WS_OVERLAPPED, 0,
                         0, 10, 10, NULL, NULL, windowClass.hInstance, NULL);
}

bool ReadWholeFile(const char* name, std::string& bytes) {
  FILE* file = fopen(name, "rb");
  if (file == NULL) return false;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.append(chunk, got);
  bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

std::string WindowText(HWND window) {
  char text[1024] = "";
  GetWindowTextA(window, text, sizeof(text));
  return text;
}

BOOL CALLBACK ReportControl(HWND control, LPARAM) {
  if (!IsWindowVisible(control)) return TRUE;
  char className[256] = "";
  GetClassNameA(control, className, sizeof(className));
  printf("control %s %s\n", className, WindowText(control).c_str());
  return TRUE;
}

BOOL CALLBACK ReportProgramWindow(HWND window, LPARAM) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId != g_programId || !IsWindowVisible(window)) return TRUE;
  if (!g_reportedWindows.insert(window).second) return TRUE;
  printf("window %s\n", WindowText(window).c_str());
  EnumChildWindows(window, ReportControl, 0);
  fflush(stdout);
  return TRUE;
}

void PumpMessages() {
  MSG message;
  while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: saverset_launch PROGRAM LINE-FILE\n");
    return 2;
  }
  std::string line;
  if (!ReadWholeFile(argv[2], line)) {
    fprintf(stderr, "saverset_launch: cannot read %s\n", argv[2]);
    return 2;
  }
  if (line.find('\0') != std::string::npos) {
    fprintf(stderr, "saverset_launch: %s holds a NUL byte\n", argv[2]);
    return 2;
  }

  HWND listener = CreateListener();
  if (listener == NULL) {
    fprintf(stderr, "saverset_launch: no listener window (error %lu)\n", GetLastError());
    return 2;
  }

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  // CreateProcessA may write into the command line; it gets its own copy.
  std::vector<char> commandLine(line.begin(), line.end());
  commandLine.push_back('\0');
  if (!CreateProcessA(argv[1], commandLine.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                      &process)) {
    fprintf(stderr, "saverset_launch: cannot start %s (error %lu)\n", argv[1], GetLastError());
    return 2;
  }
  CloseHandle(process.hThread);
  g_programId = process.dwProcessId;

  // Broadcasts are sent, not posted: they arrive only while this thread
  // dispatches messages, so wait for the program and for messages together.
  // The program's windows are looked for every 50 ms.
  for (;;) {
    DWORD woken = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 50, QS_ALLINPUT);
    PumpMessages();
    EnumWindows(ReportProgramWindow, 0);
    if (woken == WAIT_OBJECT_0) break;
    if (woken == WAIT_FAILED) {
      fprintf(stderr, "saverset_launch: wait failed (error %lu)\n", GetLastError());
      return 2;
    }
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
    fprintf(stderr, "saverset_launch: no exit code (error %lu)\n", GetLastError());
    return 2;
  }
  CloseHandle(process.hProcess);

  printf("exit 0x%08lX\n", exitCode);
  for (UINT action : g_broadcasts) printf("broadcast WM_SETTINGCHANGE %u\n", action);
  BOOL active = FALSE;
  if (SystemParametersInfoA(SPI_GETSCREENSAVEACTIVE, 0, &active, 0))
    printf("live ScreenSaveActive=%d\n", active ? 1 : 0);
  UINT timeout = 0;
  if (SystemParametersInfoA(SPI_GETSCREENSAVETIMEOUT, 0, &timeout, 0))
    printf("live ScreenSaveTimeOut=%u\n", timeout);
  DestroyWindow(listener);
  return 0;
}
