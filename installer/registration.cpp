// The registration sequence.
#include "installer/registration.h"

#include "registry_paths/key_path.h"

#define SCREEN_SAVER_TIMEOUT_SECONDS 300

// Fills `buffer` (MAX_PATH bytes) with the Windows directory and returns its
// length; a failed call leaves the empty text, never an unfilled buffer.
static UINT GetWindowsDirectoryText(LPSTR buffer) {
  UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    buffer[0] = '\0';
    length = 0;
  }
  return length;
}

BOOL ScreenSaverNameFits(LPCSTR name) {
  CHAR screenSaverPath[MAX_PATH];
  // ".ini" and ".vqx" are as long as ".scr", and the screen saver file adds
  // the directory and a separator, so it is the longest of the three texts.
  return BuildScreenSaverPath(name, screenSaverPath);
}

BOOL BuildScreenSaverPath(LPCSTR name, LPSTR buffer) {
  UINT length = GetWindowsDirectoryText(buffer);
  if (length + 1 + lstrlenA(name) + 4 >= MAX_PATH) {
    buffer[0] = '\0';
    return FALSE;
  }
  // Always a separator, even after a directory that ends with one.
  lstrcatA(buffer, "\\");
  lstrcatA(buffer, name);
  lstrcatA(buffer, ".scr");
  return TRUE;
}

void RegisterScreenSaver(const InstallRequest* request) {
  CHAR settingsFile[MAX_PATH];
  CHAR dataFile[MAX_PATH];
  CHAR longForm[MAX_PATH];
  CHAR shortForm[MAX_PATH];

  if (!ScreenSaverNameFits(request->name)) return;

  lstrcpyA(settingsFile, request->name);
  lstrcatA(settingsFile, ".ini");
  WritePrivateProfileStringA("Run", request->global ? "GlobalPath" : "Path", request->path,
                             settingsFile);

  lstrcpyA(dataFile, request->name);
  lstrcatA(dataFile, ".vqx");
  WritePrivateProfileStringA("Run", "Data", dataFile, settingsFile);

  BuildScreenSaverPath(request->name, longForm);

  // Without a short form (no such file yet, or too long) the long form is the
  // best the profile can get.
  DWORD shortLength = GetShortPathNameA(longForm, shortForm, MAX_PATH);
  LPCSTR bootEntry = (shortLength > 0 && shortLength < MAX_PATH) ? shortForm : longForm;
  WritePrivateProfileStringA("Boot", "SCRNSAVE.EXE", bootEntry, "system.ini");

  WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "SCRNSAVE.EXE", longForm);

  SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, TRUE, NULL, SPIF_SENDWININICHANGE);
  SystemParametersInfoA(SPI_SETSCREENSAVETIMEOUT, SCREEN_SAVER_TIMEOUT_SECONDS, NULL,
                        SPIF_UPDATEINIFILE);
}
