// The command line tail: what a Windows GUI program's start-up hands to
// WinMain. Both backends derive it with this one function, so the program
// sees the same tail on every platform.
#ifndef SAVERSET_PLATFORM_COMMAND_LINE_TAIL_H
#define SAVERSET_PLATFORM_COMMAND_LINE_TAIL_H

#include "platform/platform_services.h"

// Tells whether `byte` is the lead byte of a double-byte character in the
// ANSI code page in force.
typedef BOOL (*LeadByteTest)(BYTE byte);

// Returns the tail of the full command line `commandLine`: the line without
// the program's name and the characters from 1 to 32 after it. Bytes are taken
// as unsigned. A name that starts with a double quote runs to the next double
// quote (a lead byte carries the byte after it past the quote test); any other
// name runs to the first byte of 32 or less. The tail points into
// `commandLine`; it begins with a byte above 32 or is empty.
//   "\"C:\\a b\\saverset.exe\" -g \"X\" D:\\x"  => "-g \"X\" D:\\x"
//   "saverset.exe\t \"X\""                     => "\"X\""
//   " \"X\" D:\\x"                             => "\"X\" D:\\x"
//   "\"unterminated"                           => ""
LPSTR GetCommandLineTail(LPSTR commandLine, LeadByteTest isLeadByte);

#endif  // SAVERSET_PLATFORM_COMMAND_LINE_TAIL_H
