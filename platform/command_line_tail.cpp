// Derivation of the command line tail, shared by the host and the Windows
// start-up.
#include "platform/command_line_tail.h"

LPSTR GetCommandLineTail(LPSTR commandLine, LeadByteTest isLeadByte) {
  BYTE* cursor = reinterpret_cast<BYTE*>(commandLine);
  if (*cursor == '"') {
    ++cursor;
    while (*cursor != '\0' && *cursor != '"') {
      // The trail byte of a double-byte character may have the value of a
      // quote; it belongs to the character and must not end the name.
      if (isLeadByte(*cursor) && cursor[1] != '\0') ++cursor;
      ++cursor;
    }
    if (*cursor == '"') ++cursor;
  } else {
    while (*cursor > ' ') ++cursor;
  }
  while (*cursor != '\0' && *cursor <= ' ') ++cursor;
  return reinterpret_cast<LPSTR>(cursor);
}
