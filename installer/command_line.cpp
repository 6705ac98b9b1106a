// The command line parser.
#include "installer/command_line.h"

#include <string.h>

#include "installer/registration.h"

static const struct {
  CommandLineResult result;
  LPCSTR title;
} kErrorTitles[] = {
    {COMMAND_LINE_EMPTY, "No command line"},
    {COMMAND_LINE_BAD_OPTION, "Bad command line option"},
    {COMMAND_LINE_NO_QUOTES, "Bad command line"},
    {COMMAND_LINE_NO_NAME, "No name specified"},
    {COMMAND_LINE_NAME_TOO_LONG, "Name too long"},
    {COMMAND_LINE_PATH_TOO_LONG, "Path too long"},
};

LPCSTR CommandLineErrorTitle(CommandLineResult result) {
  for (size_t i = 0; i < sizeof kErrorTitles / sizeof kErrorTitles[0]; ++i) {
    if (kErrorTitles[i].result == result) return kErrorTitles[i].title;
  }
  return NULL;
}

static BOOL HoldsLineEnd(LPCSTR text) {
  return strpbrk(text, "\r\n") != NULL;
}

CommandLineResult ParseCommandLine(LPSTR tail, InstallRequest* request) {
  request->name[0] = '\0';
  request->path[0] = '\0';
  request->global = 0;

  if (tail == NULL || *tail == '\0') return COMMAND_LINE_EMPTY;

  LPSTR cursor = tail;
  if (*cursor == '-') {
    ++cursor;
    if (*cursor == '\0') return COMMAND_LINE_BAD_OPTION;
    if (*cursor == 'g' || *cursor == 'G') request->global = 1;
    // The option is one letter, whatever it is, even a double quote.
    ++cursor;
  }

  LPSTR opening = strchr(cursor, '"');
  if (opening == NULL) return COMMAND_LINE_NO_QUOTES;
  LPSTR closing = strchr(opening + 1, '"');
  if (closing == NULL) return COMMAND_LINE_NO_QUOTES;
  *closing = '\0';

  LPCSTR name = opening + 1;
  if (*name == '\0') return COMMAND_LINE_NO_NAME;
  // Every file that records the name or the path keeps one entry per line: a
  // line end inside either would split an entry or smuggle in another.
  if (HoldsLineEnd(name)) return COMMAND_LINE_NO_QUOTES;
  // Tested before the copy: nothing may be written beyond a buffer.
  if (!ScreenSaverNameFits(name)) return COMMAND_LINE_NAME_TOO_LONG;
  lstrcpyA(request->name, name);

  LPCSTR path = closing + 1;
  while (*path == ' ') ++path;
  if (HoldsLineEnd(path)) return COMMAND_LINE_NO_QUOTES;
  if (lstrlenA(path) >= MAX_PATH) return COMMAND_LINE_PATH_TOO_LONG;
  lstrcpyA(request->path, path);
  return COMMAND_LINE_ACCEPTED;
}
