// The command line parser: turns the command line tail into an InstallRequest
// or says why it is malformed.
#ifndef SAVERSET_INSTALLER_COMMAND_LINE_H
#define SAVERSET_INSTALLER_COMMAND_LINE_H

#include "installer/install_request.h"

typedef enum CommandLineResult {
  COMMAND_LINE_ACCEPTED,
  COMMAND_LINE_EMPTY,
  COMMAND_LINE_BAD_OPTION,
  COMMAND_LINE_NO_QUOTES,
  COMMAND_LINE_NO_NAME,
  COMMAND_LINE_NAME_TOO_LONG,
  COMMAND_LINE_PATH_TOO_LONG,
} CommandLineResult;

// The body text of every message box that reports a malformed command line.
#define COMMAND_LINE_ERROR_BODY "Screen Saver Installation"

// Parses the tail `[-<letter>] <anything> "<name>"<blanks><path>` into
// `request`. Only the first character of the tail can start an option; its
// one letter is taken whatever it is, and g or G sets `global`. Text before
// the opening quote is ignored; blanks (code 32 only) after the closing quote
// are skipped; the rest, unchanged, is the path. A name or path holding a CR
// or LF is malformed (NO_QUOTES, "Bad command line"). Writes a NUL over the
// closing quote. Reads the Windows directory to know whether the texts built
// from the name fit their buffers; writes nothing else anywhere.
//   "-g \"Aquarium\" D:\\Shows"  => ACCEPTED, name "Aquarium", path "D:\\Shows", global
//   "x \"A B\"\t"                => ACCEPTED, name "A B", path "\t"
//   ""                           => EMPTY
//   "-"                          => BAD_OPTION
//   "-\"Aquarium\""              => NO_QUOTES (the quote was taken as the option)
//   "\"\" D:\\x"                 => NO_NAME
//   "\"A\nB\" D:\\x"             => NO_QUOTES
CommandLineResult ParseCommandLine(LPSTR tail, InstallRequest* request);

// The message box title for a rejected command line, e.g. "No command line";
// NULL for COMMAND_LINE_ACCEPTED.
LPCSTR CommandLineErrorTitle(CommandLineResult result);

#endif  // SAVERSET_INSTALLER_COMMAND_LINE_H
