// The registration: the fixed sequence of writes that makes a screen saver
// the current user's screen saver.
#ifndef SAVERSET_INSTALLER_REGISTRATION_H
#define SAVERSET_INSTALLER_REGISTRATION_H

#include "installer/install_request.h"

// Tells whether every text built from `name` fits a MAX_PATH buffer: the
// settings file name (name + ".ini"), the data file name (name + ".vqx") and
// the screen saver file (Windows directory + "\" + name + ".scr").
BOOL ScreenSaverNameFits(LPCSTR name);

// Builds the long form of the screen saver file, the Windows directory + "\"
// + name + ".scr", into `buffer` (MAX_PATH bytes). Without a Windows directory
// the text starts at the "\". Returns FALSE, with an empty text, when the
// result would not fit.
BOOL BuildScreenSaverPath(LPCSTR name, LPSTR buffer);

// Makes the screen saver "<Windows directory>\<name>.scr" the current user's
// screen saver, in this order: the path under "GlobalPath" (global) or "Path"
// and "<name>.vqx" under "Data" in section [Run] of "<name>.ini"; the short
// form of the screen saver file in [Boot] SCRNSAVE.EXE of "system.ini" (the
// long form when there is no short form); the long form in the registry value
// HKEY_CURRENT_USER\Control Panel\Desktop\SCRNSAVE.EXE; the screen saver
// switched on (announced, not stored); the time-out set to 300 seconds
// (stored, not announced). A failing step does not stop the later ones. A
// request whose name does not fit (ScreenSaverNameFits) changes nothing.
void RegisterScreenSaver(const InstallRequest* request);

#endif  // SAVERSET_INSTALLER_REGISTRATION_H
