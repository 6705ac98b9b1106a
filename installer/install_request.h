// The install request: what the command line asks for, filled by the command
// line parser and carried out by the registration.
#ifndef SAVERSET_INSTALLER_INSTALL_REQUEST_H
#define SAVERSET_INSTALLER_INSTALL_REQUEST_H

#include "platform/platform_services.h"

typedef struct InstallRequest {
  // The screen saver's name, as written between the double quotes.
  CHAR name[MAX_PATH];
  // The screen saver's data folder: the rest of the command line, possibly
  // empty, exactly as given.
  CHAR path[MAX_PATH];
  // Set by the option -g or -G: the path is recorded as "GlobalPath" rather
  // than "Path".
  BYTE global;
} InstallRequest;

#endif  // SAVERSET_INSTALLER_INSTALL_REQUEST_H
